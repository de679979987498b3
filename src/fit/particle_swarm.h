// Particle swarm optimisation inside a box, and the box it searches for a fit.
//
// Contract (particle_swarm_minimize): particles start uniformly inside the
// box with velocities uniform in +-(upper - lower) per coordinate. Each
// generation moves every particle by
//   v = inertia v + cognitive r1 (personal best - x) + social r2 (swarm best - x)
// (r1, r2 uniform in [0, 1) per coordinate), clamps it into the box, evaluates
// it and updates its personal best; the swarm best is updated after the whole
// generation. Costs compare with ranks_below. No particles means no best
// point (found = false). `iterations` counts the generations run. The stop
// check is polled before every particle's evaluation and ends the search
// (interrupted, no result).
//
// Contract (pso_search_box): per parameter, finite upper bound: the bounds;
// infinite or NaN upper bound: four decades either side of |p0| in internal
// coordinates, m = |p0| (1e-6 when |p0| <= 1e-6), lower end
// log10(max(max(m 1e-4, lo) - lo, 1e-300)) and upper end
// log10(max(m 1e4 - lo, 1e-300)). max ignores a NaN operand.
#pragma once

#include "circuit/tree.h"
#include "fit/objective.h"
#include "fit/random.h"
#include "fit/stop_check.h"

namespace kovrant {

struct ParticleSwarmSettings {
  double inertia = 0.7213475204444817;    // 1 / (2 ln 2)
  double cognitive = 1.1931471805599454;  // 1/2 + ln 2
  double social = 1.1931471805599454;
  std::uint64_t particles = 200;
  std::uint64_t generations = 1000;
};

SearchResult<double> particle_swarm_minimize(const Objective& objective, const SearchBox<double>& box,
                                             const ParticleSwarmSettings& settings, Rng& rng, StopCheck& stop);

// Over the first min(len(bounds), len(values)) parameters.
SearchBox<double> pso_search_box(std::span<const Bounds> bounds, std::span<const double> values);

}  // namespace kovrant
