// Simulated annealing with the "fast" schedule over a plain objective.
//
// Contract: iterates exactly `iterations` times unless the stop check fires.
// Iteration k (from 1) draws a neighbour of the current point at temperature
// T (T0 at k = 1), accepts it when its cost ranks below the current cost, or
// else when u < 1 / (1 + exp((c_new - c_current) / T)) with u uniform in
// [0, 1) from `acceptance_rng`; then T = T0 / (k + 1). The best point seen is
// kept apart from the current one and is always found. The caller checks T0.
#pragma once

#include "fit/objective.h"
#include "fit/random.h"
#include "fit/stop_check.h"

namespace kovrant {

// Writes a neighbour of `from` at `temperature` into `to`.
using NeighbourMove = std::function<void(std::span<const double> from, double temperature, std::span<double> to)>;

SearchResult<double> simulated_annealing_minimize(const Objective& objective, const NeighbourMove& neighbour,
                                                  std::span<const double> x0, double initial_temperature,
                                                  std::uint64_t iterations, Rng& acceptance_rng, StopCheck& stop);

}  // namespace kovrant
