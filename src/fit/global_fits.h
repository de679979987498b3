// The five global fitting methods: Nelder-Mead, simulated annealing, basin
// hopping, particle swarm and differential evolution.
//
// Contract shared by all five:
// - They take a checked FitProblem, then check their own arguments
//   (InvalidArgument, or the Solver error of simulated annealing for a
//   temperature <= 0), before evaluating anything.
// - They search in internal coordinates from the problem's start values; a
//   point is costed at its values clamped into the feasible bounds, with held
//   parameters at their start values. They end in polish_or_fallback (basin
//   hopping: build_outcome on its best LM search, each hop a search without
//   an outcome of its own). Non-finite costs never end a search; they rank
//   after every number.
// - The stop check ends any of them with Interrupted.
// - With a seed, simulated annealing, basin hopping and particle swarm are
//   deterministic whatever the thread count; without one, generators are
//   seeded from std::random_device. Differential evolution is seeded from the
//   operating system unless a generator seed is passed (for tests; the fit
//   dispatcher never passes one).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "circuit/tree.h"
#include "fit/fit_error.h"
#include "fit/fit_outcome.h"
#include "fit/fit_problem.h"
#include "fit/random.h"
#include "fit/spectrum_model.h"
#include "fit/stop_check.h"
#include "util/result.h"

namespace kovrant {

// Cost at internal coordinates: 1/2 sum r^2 of the residuals at physical(x)
// clamped into the feasible bounds, held parameters at their start values.
// The f32 form widens x to f64 and rounds the f64 cost to f32.
class PsoProblem {
 public:
  PsoProblem(SpectrumModel& model, const FitProblem& problem);

  double cost(std::span<const double> x);
  float cost_f32(std::span<const float> x);

 private:
  SpectrumModel& model_;
  const FitProblem& problem_;
  std::vector<double> physical_;
  std::vector<double> widened_;
};

// The annealing problem: PsoProblem's cost plus a neighbour move that shifts
// every coordinate by an independent uniform draw from [-T, T), from its own
// generator.
class SaProblem {
 public:
  SaProblem(PsoProblem& cost, Rng neighbour_rng) : cost_(cost), rng_(neighbour_rng) {}

  double cost(std::span<const double> x) { return cost_.cost(x); }
  void neighbour(std::span<const double> from, double temperature, std::span<double> to);

 private:
  PsoProblem& cost_;
  Rng rng_;
};

struct BasinHoppingSettings {
  std::uint32_t hops = 20;
  double step_size = 1.0;
  double temperature = 1.0;
};

// Simplex from internal(p0); `iterations` = Nelder-Mead iterations run.
Result<FitOutcome, FitError> nelder_mead_fit(const FitProblem& problem, std::uint64_t max_iterations,
                                             StopCheck& stop);

// Errors: Solver "Invalid parameter: ..." for T0 <= 0; InvalidArgument for a
// NaN or infinite T0.
Result<FitOutcome, FitError> simulated_annealing_fit(const FitProblem& problem, double initial_temperature,
                                                     std::uint64_t iterations, std::optional<std::uint64_t> seed,
                                                     StopCheck& stop);

// Errors: InvalidArgument for a negative or non-finite step size or a NaN
// temperature.
Result<FitOutcome, FitError> basin_hopping_fit(const FitProblem& problem, const BasinHoppingSettings& settings,
                                               std::optional<std::uint64_t> seed, StopCheck& stop);

// Errors: Solver "particle swarm found no best position" without particles;
// InvalidArgument when the swarm does not fit in memory.
Result<FitOutcome, FitError> particle_swarm_fit(const FitProblem& problem, std::uint32_t num_particles,
                                                std::uint64_t generations, std::optional<std::uint64_t> seed,
                                                StopCheck& stop);

inline constexpr int kDeRuns = 10;

// Errors: InvalidArgument for a search-box interval that is empty in single
// precision. `iterations` = cost evaluations of all ten runs.
Result<FitOutcome, FitError> differential_evolution_fit(const FitProblem& problem, std::uint32_t evaluations_per_run,
                                                        std::optional<std::uint64_t> generator_seed, StopCheck& stop);

}  // namespace kovrant
