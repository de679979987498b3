// Nelder-Mead downhill simplex over a plain objective.
//
// Contract: the simplex has n + 1 vertices of n coordinates. Each iteration
// orders the vertices by cost (ranks_below, stable) and then reflects,
// expands, contracts or shrinks with the coefficients of the settings. The
// search ends when the population standard deviation of the vertex costs is
// below cost_sd_tolerance (NaN never is), after max_iterations iterations, or
// when the stop check fires (interrupted). The best vertex is always found.
#pragma once

#include "fit/objective.h"
#include "fit/stop_check.h"

namespace kovrant {

struct NelderMeadSettings {
  double reflection = 1.0;
  double expansion = 2.0;
  double contraction = 0.5;
  double shrink = 0.5;
  double cost_sd_tolerance = 2.220446049250313e-16;
  std::uint64_t max_iterations = 2000;
};

// Vertex 0 is x0; vertex k moves coordinate k-1 by 0.1 * |x0| (0.1 when
// |x0| <= 1e-8).
std::vector<std::vector<double>> initial_simplex(std::span<const double> x0);

SearchResult<double> nelder_mead_minimize(const Objective& objective, std::vector<std::vector<double>> simplex,
                                          const NelderMeadSettings& settings, StopCheck& stop);

}  // namespace kovrant
