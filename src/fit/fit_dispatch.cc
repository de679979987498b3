#include "fit/fit_dispatch.h"

#include "fit/global_fits.h"
#include "fit/levenberg_marquardt.h"

namespace kovrant {

namespace {

bool is_fit_method(std::string_view method) {
  for (std::string_view name : kFitMethodNames) {
    if (method == name) return true;
  }
  return false;
}

}  // namespace

Result<FitOutcome, FitError> run_fit_method(std::string_view method, const SeriesList& start,
                                            std::span<const double> frequencies_hz, std::span<const Complex> impedances,
                                            Weighting weighting, const FitSettings& settings,
                                            const FitConstraints& constraints) {
  if (!is_fit_method(method)) return FitError{FitError::Kind::UnknownMethod, std::string(method)};
  auto built = make_fit_problem(start, frequencies_hz, impedances, weighting, constraints);
  if (!built) return built.error();
  const FitProblem& problem = built.value();
  StopCheck stop(settings.should_stop);
  if (method == "levenberg_marquardt") {
    const LmSettings lm{settings.ftol, settings.xtol, 1e-8, settings.max_iterations, settings.lm_max_starts};
    return levenberg_marquardt_fit(problem, problem.start_values, lm, stop);
  }
  if (method == "nelder_mead") return nelder_mead_fit(problem, settings.nelder_mead_iterations, stop);
  if (method == "simulated_annealing") {
    return simulated_annealing_fit(problem, settings.sa_initial_temperature, settings.sa_iterations, settings.seed,
                                   stop);
  }
  if (method == "basin_hopping") {
    const BasinHoppingSettings hopping{settings.basin_hopping_hops, settings.basin_hopping_step_size,
                                       settings.basin_hopping_temperature};
    return basin_hopping_fit(problem, hopping, settings.seed, stop);
  }
  if (method == "particle_swarm") {
    return particle_swarm_fit(problem, settings.num_particles, settings.generations, settings.seed, stop);
  }
  return differential_evolution_fit(problem, settings.de_evaluations, std::nullopt, stop);
}

}  // namespace kovrant
