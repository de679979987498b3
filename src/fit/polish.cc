#include "fit/polish.h"

#include <cmath>

#include "fit/levenberg_marquardt.h"
#include "fit/objective.h"

namespace kovrant {
namespace {

constexpr LmSettings kPolishSettings{1e-8, 1e-8, 1e-8, 200};

}  // namespace

Result<FitOutcome, FitError> polish_or_fallback(const FitProblem& problem, std::span<const double> best_values,
                                                std::uint64_t iterations, const EvalCounter& counter,
                                                StopCheck& stop) {
  FitOutcome fallback = build_outcome(problem, best_values, true, iterations, counter);
  const std::vector<double> start = problem.feasible_start();
  LmContext context(problem, counter);
  if (ranks_below(context.cost(start), fallback.cost)) {
    fallback = build_outcome(problem, start, true, iterations, counter);
  }
  auto polished = levenberg_marquardt_search(context, fallback.values, kPolishSettings, stop);
  if (!polished) return polished.error();
  const LmEnd& end = polished.value();
  if (end.kept_start || !(std::isfinite(end.cost) && end.cost <= fallback.cost)) {
    fallback.impedance_evals = counter->load();
    return fallback;
  }
  return build_outcome(problem, end.values, end.converged, end.solver_evaluations, counter);
}

}  // namespace kovrant
