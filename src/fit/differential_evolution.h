// Self-adaptive differential evolution (jDE, DE/rand/1/bin) in single
// precision.
//
// Contract: one run over a box whose every interval has lower < upper. The
// population of kPopulation individuals starts uniformly inside the box, each
// with its own F (uniform in [0.1, 1.0)) and CR (uniform in [0, 1)). The run
// spends exactly max(evaluation_budget, 1) objective evaluations, one at a
// time: first the initial individuals in order, then one trial per step for
// the targets in turn. A trial redraws F and CR with probability 0.1 each,
// mutates x_r1 + F (x_r2 - x_r3) with r1, r2, r3 distinct and not the target,
// crosses over binomially (one coordinate always from the mutant), is clamped
// into the box, and replaces its target (with its F and CR) only when its cost
// ranks strictly below the target's. The best is the evaluated individual of
// lowest cost. The stop check ends the run early (interrupted).
#pragma once

#include "fit/objective.h"
#include "fit/random.h"
#include "fit/stop_check.h"

namespace kovrant {

inline constexpr size_t kDePopulation = 100;

// `iterations` of the result counts objective evaluations.
SearchResult<float> jde_minimize(const ObjectiveF32& objective, const SearchBox<float>& box,
                                 std::uint64_t evaluation_budget, Rng& rng, StopCheck& stop);

}  // namespace kovrant
