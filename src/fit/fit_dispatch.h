// The fit dispatcher: runs one of the six fitting methods by name.
//
// Contract: run_fit_method() matches the method name exactly (case-sensitive)
// against kFitMethodNames and passes each method the settings it uses:
//   "levenberg_marquardt": ftol, xtol, gtol = 1e-8, max_iterations, lm_max_starts
//   "nelder_mead": nelder_mead_iterations
//   "simulated_annealing": sa_initial_temperature, sa_iterations, seed
//   "basin_hopping": basin_hopping_hops, _step_size, _temperature, seed
//   "particle_swarm": num_particles, generations, seed
//   "differential_evolution": de_evaluations (never seeded)
// Any other name gives UnknownMethod before anything else is looked at. The
// fit problem (spectrum checks, constraints) is built once, then passed to the
// method. Every
// method polls should_stop (when set) between iterations, at most once per
// kStopPollInterval, and ends with Interrupted once it returns true. Runs on
// the calling thread apart from the worker pool's Jacobian columns; touches
// no Python object.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "circuit/tree.h"
#include "fit/fit_error.h"
#include "fit/fit_outcome.h"
#include "fit/fit_problem.h"
#include "fit/residuals.h"
#include "fit/stop_check.h"
#include "util/result.h"

namespace kovrant {

// The numeric arguments of Circuit.fit with their defaults, and the
// cancellation callback.
struct FitSettings {
  std::uint32_t max_iterations = 200;
  double ftol = 1e-8;
  double xtol = 1e-8;
  std::uint32_t num_particles = 200;
  std::uint64_t generations = 1000;
  std::uint64_t nelder_mead_iterations = 2000;
  std::uint32_t de_evaluations = 20000;
  std::uint64_t sa_iterations = 5000;
  double sa_initial_temperature = 2.0;
  std::uint32_t basin_hopping_hops = 20;
  double basin_hopping_step_size = 1.0;
  double basin_hopping_temperature = 1.0;
  std::optional<std::uint64_t> seed;
  StopCallback should_stop;
  // Not a Circuit.fit argument: the toolkit's ranking caps the LM walk (0: every start).
  std::uint32_t lm_max_starts = 0;
};

Result<FitOutcome, FitError> run_fit_method(std::string_view method, const SeriesList& start,
                                            std::span<const double> frequencies_hz, std::span<const Complex> impedances,
                                            Weighting weighting, const FitSettings& settings,
                                            const FitConstraints& constraints = {});

}  // namespace kovrant
