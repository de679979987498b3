#include "fit/global_fits.h"

#include <cmath>
#include <new>
#include <stdexcept>

#include "circuit/params.h"
#include "fit/differential_evolution.h"
#include "fit/levenberg_marquardt.h"
#include "fit/nelder_mead.h"
#include "fit/particle_swarm.h"
#include "fit/polish.h"
#include "fit/simulated_annealing.h"
#include "util/text.h"
#include "util/portable_math.h"

namespace kovrant {
namespace {

// Generator streams, so that the generators of one seed are independent.
constexpr std::uint64_t kSaAcceptanceStream = 1;
constexpr std::uint64_t kSaNeighbourStream = 2;
constexpr std::uint64_t kBasinHoppingStream = 3;
constexpr std::uint64_t kParticleSwarmStream = 4;
constexpr std::uint64_t kFirstDeRunStream = 10;

constexpr LmSettings kBasinHoppingLmSettings{1e-8, 1e-8, 1e-8, 200, 0};

// The model on the global method's counter and the cost it searches.
struct GlobalFit {
  const FitProblem& problem;
  EvalCounter counter = make_eval_counter();
  SpectrumModel model;
  PsoProblem cost;

  explicit GlobalFit(const FitProblem& fit_problem)
      : problem(fit_problem),
        model(*problem.series, problem.omegas, problem.impedances, problem.weights, counter),
        cost(model, problem) {}
  GlobalFit(const GlobalFit&) = delete;
  GlobalFit& operator=(const GlobalFit&) = delete;

  std::vector<double> start_x() const { return internal(problem.start_values, problem.transform_bounds); }

  Result<FitOutcome, FitError> polish(std::span<const double> best_x, std::uint64_t iterations, StopCheck& stop) {
    return polish_or_fallback(problem, physical(best_x, problem.transform_bounds), iterations, counter, stop);
  }
};

// The particle-swarm box, narrowed to the caller's bounds where they are
// tighter than the physical ones.
SearchBox<double> search_box(const FitProblem& problem) {
  SearchBox<double> box = pso_search_box(problem.transform_bounds, problem.start_values);
  for (size_t j = 0; j < box.lower.size(); ++j) {
    if (!problem.narrowed(j)) continue;
    const Bounds& physical_bounds = problem.transform_bounds[j];
    box.lower[j] = std::fmax(box.lower[j], internal_value(problem.bounds[j].lo, physical_bounds));
    box.upper[j] = std::fmin(box.upper[j], internal_value(problem.bounds[j].hi, physical_bounds));
  }
  return box;
}

std::optional<FitError> check_annealing_temperature(double initial_temperature) {
  if (initial_temperature <= 0.0) {
    return FitError::solver("Invalid parameter: \"`SimulatedAnnealing`: Initial temperature must be > 0.\"");
  }
  // NaN or +inf would turn every neighbour into NaN or infinity.
  if (!std::isfinite(initial_temperature)) {
    return FitError::invalid_argument("sa_initial_temperature must be a finite number > 0");
  }
  return std::nullopt;
}

std::optional<FitError> check_basin_hopping(const BasinHoppingSettings& settings) {
  if (!(settings.step_size >= 0.0) || !std::isfinite(settings.step_size)) {
    return FitError::invalid_argument("basin_hopping_step_size must be a finite number >= 0");
  }
  // NaN would silently reject every uphill hop.
  if (std::isnan(settings.temperature)) {
    return FitError::invalid_argument("basin_hopping_temperature must not be NaN");
  }
  return std::nullopt;
}

// The differential-evolution box in single precision; an interval that is
// empty there cannot seed a population.
Result<SearchBox<float>, FitError> single_precision_box(const SearchBox<double>& box, const FitProblem& problem) {
  SearchBox<float> narrow;
  for (size_t j = 0; j < box.lower.size(); ++j) {
    const float lower = static_cast<float>(box.lower[j]);
    const float upper = static_cast<float>(box.upper[j]);
    if (!(lower < upper)) {
      return FitError::invalid_argument("differential evolution cannot search parameter " +
                                        debug_quote(param_names(*problem.series)[j]) + ": its search interval [" +
                                        format_plain_number(box.lower[j]) + ", " + format_plain_number(box.upper[j]) +
                                        "] is empty");
    }
    narrow.lower.push_back(lower);
    narrow.upper.push_back(upper);
  }
  return narrow;
}

}  // namespace

PsoProblem::PsoProblem(SpectrumModel& model, const FitProblem& problem)
    : model_(model), problem_(problem), physical_(model.param_count()), widened_(model.param_count()) {}

double PsoProblem::cost(std::span<const double> x) {
  for (size_t j = 0; j < physical_.size(); ++j) {
    physical_[j] = problem_.fixed[j] ? problem_.start_values[j]
                                     : clamp_into_bounds(physical_value(x[j], problem_.transform_bounds[j]),
                                                         problem_.bounds[j]);
  }
  return model_.cost(physical_);
}

float PsoProblem::cost_f32(std::span<const float> x) {
  for (size_t j = 0; j < widened_.size(); ++j) widened_[j] = static_cast<double>(x[j]);
  return static_cast<float>(cost(widened_));
}

void SaProblem::neighbour(std::span<const double> from, double temperature, std::span<double> to) {
  for (size_t j = 0; j < from.size(); ++j) to[j] = from[j] + uniform_between(rng_, -temperature, temperature);
}

Result<FitOutcome, FitError> nelder_mead_fit(const FitProblem& problem, std::uint64_t max_iterations,
                                             StopCheck& stop) {
  GlobalFit fit(problem);
  NelderMeadSettings settings;
  settings.max_iterations = max_iterations;
  const auto result = nelder_mead_minimize([&fit](std::span<const double> x) { return fit.cost.cost(x); },
                                           initial_simplex(fit.start_x()), settings, stop);
  if (result.interrupted) return FitError::interrupted();
  return fit.polish(result.best_point, result.iterations, stop);
}

Result<FitOutcome, FitError> simulated_annealing_fit(const FitProblem& problem, double initial_temperature,
                                                     std::uint64_t iterations, std::optional<std::uint64_t> seed,
                                                     StopCheck& stop) {
  if (auto error = check_annealing_temperature(initial_temperature)) return *error;
  GlobalFit fit(problem);
  Rng acceptance_rng = make_rng(seed, kSaAcceptanceStream);
  SaProblem annealing(fit.cost, make_rng(seed, kSaNeighbourStream));
  const auto result = simulated_annealing_minimize(
      [&annealing](std::span<const double> x) { return annealing.cost(x); },
      [&annealing](std::span<const double> from, double temperature, std::span<double> to) {
        annealing.neighbour(from, temperature, to);
      },
      fit.start_x(), initial_temperature, iterations, acceptance_rng, stop);
  if (result.interrupted) return FitError::interrupted();
  return fit.polish(result.best_point, result.iterations, stop);
}

Result<FitOutcome, FitError> basin_hopping_fit(const FitProblem& problem, const BasinHoppingSettings& settings,
                                               std::optional<std::uint64_t> seed, StopCheck& stop) {
  if (auto error = check_basin_hopping(settings)) return *error;
  Rng rng = make_rng(seed, kBasinHoppingStream);
  // Every LM search counts on one counter, so impedance_evals is their sum.
  const EvalCounter counter = make_eval_counter();
  LmContext context(problem, counter);

  auto initial = levenberg_marquardt_search(context, problem.start_values, kBasinHoppingLmSettings, stop);
  if (!initial) return initial.error();
  LmEnd current = std::move(initial.value());
  std::vector<double> best_values = current.values;
  double best_cost = current.cost;
  std::uint64_t iterations = current.solver_evaluations;

  for (std::uint32_t hop = 0; hop < settings.hops; ++hop) {
    if (stop.should_stop()) return FitError::interrupted();
    std::vector<double> x = internal(current.values, problem.transform_bounds);
    for (double& coordinate : x) coordinate += uniform_between(rng, -settings.step_size, settings.step_size);
    auto trial = levenberg_marquardt_search(context, physical(x, problem.transform_bounds), kBasinHoppingLmSettings,
                                            stop);
    if (!trial) return trial.error();
    iterations += trial.value().solver_evaluations;
    const double trial_cost = trial.value().cost;
    if (!std::isfinite(trial_cost)) continue;
    // NaN ranks last, so a NaN start cannot block every later result.
    if (ranks_below(trial_cost, best_cost)) {
      best_values = trial.value().values;
      best_cost = trial_cost;
    }
    const bool accepted = ranks_below(trial_cost, current.cost) ||
                          portable_exp(-(trial_cost - current.cost) / settings.temperature) > uniform_unit(rng);
    if (accepted) current = std::move(trial.value());
  }
  return build_outcome(problem, best_values, true, iterations, counter);
}

Result<FitOutcome, FitError> particle_swarm_fit(const FitProblem& problem, std::uint32_t num_particles,
                                                std::uint64_t generations, std::optional<std::uint64_t> seed,
                                                StopCheck& stop) {
  GlobalFit fit(problem);
  const SearchBox<double> box = search_box(problem);
  ParticleSwarmSettings settings;
  settings.particles = num_particles;
  settings.generations = generations;
  Rng rng = make_rng(seed, kParticleSwarmStream);
  SearchResult<double> result;
  try {
    result = particle_swarm_minimize([&fit](std::span<const double> x) { return fit.cost.cost(x); }, box, settings,
                                     rng, stop);
  } catch (const std::bad_alloc&) {
    return FitError::invalid_argument("num_particles is too large: the swarm does not fit in memory");
  } catch (const std::length_error&) {
    return FitError::invalid_argument("num_particles is too large: the swarm does not fit in memory");
  }
  if (result.interrupted) return FitError::interrupted();
  if (!result.found) return FitError::solver("particle swarm found no best position");
  return fit.polish(result.best_point, result.iterations, stop);
}

Result<FitOutcome, FitError> differential_evolution_fit(const FitProblem& problem, std::uint32_t evaluations_per_run,
                                                        std::optional<std::uint64_t> generator_seed, StopCheck& stop) {
  auto box = single_precision_box(search_box(problem), problem);
  if (!box) return box.error();
  GlobalFit fit(problem);

  std::vector<double> best_x;
  double best_cost = 0.0;
  std::uint64_t evaluations = 0;
  for (int run = 0; run < kDeRuns; ++run) {
    Rng rng = make_rng(generator_seed, kFirstDeRunStream + static_cast<std::uint64_t>(run));
    const auto result = jde_minimize([&fit](std::span<const float> x) { return fit.cost.cost_f32(x); }, box.value(),
                                     evaluations_per_run, rng, stop);
    if (result.interrupted) return FitError::interrupted();
    evaluations += result.iterations;
    const std::vector<double> run_x(result.best_point.begin(), result.best_point.end());
    const double run_cost = fit.cost.cost(run_x);
    if (run == 0 || ranks_below(run_cost, best_cost)) {
      best_x = run_x;
      best_cost = run_cost;
    }
  }
  return fit.polish(best_x, evaluations, stop);
}

}  // namespace kovrant
