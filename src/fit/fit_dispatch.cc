#include "fit/fit_dispatch.h"

#include "fit/global_fits.h"
#include "fit/levenberg_marquardt.h"

namespace kovrant {

Result<FitOutcome, FitError> run_fit_method(std::string_view method, const SeriesList& start,
                                            std::span<const double> frequencies_hz, std::span<const Complex> impedances,
                                            Weighting weighting, const FitSettings& settings) {
  StopCheck stop(settings.should_stop);
  if (method == "levenberg_marquardt") {
    const LmSettings lm{settings.ftol, settings.xtol, 1e-8, settings.max_iterations};
    return levenberg_marquardt_fit(start, frequencies_hz, impedances, weighting, lm, stop);
  }
  if (method == "nelder_mead") {
    return nelder_mead_fit(start, frequencies_hz, impedances, weighting, settings.nelder_mead_iterations, stop);
  }
  if (method == "simulated_annealing") {
    return simulated_annealing_fit(start, frequencies_hz, impedances, weighting, settings.sa_initial_temperature,
                                   settings.sa_iterations, settings.seed, stop);
  }
  if (method == "basin_hopping") {
    const BasinHoppingSettings hopping{settings.basin_hopping_hops, settings.basin_hopping_step_size,
                                       settings.basin_hopping_temperature};
    return basin_hopping_fit(start, frequencies_hz, impedances, weighting, hopping, settings.seed, stop);
  }
  if (method == "particle_swarm") {
    return particle_swarm_fit(start, frequencies_hz, impedances, weighting, settings.num_particles,
                              settings.generations, settings.seed, stop);
  }
  if (method == "differential_evolution") {
    return differential_evolution_fit(start, frequencies_hz, impedances, weighting, settings.de_evaluations,
                                      std::nullopt, stop);
  }
  return FitError{FitError::Kind::UnknownMethod, std::string(method)};
}

}  // namespace kovrant
