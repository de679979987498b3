#include "fit/polish.h"

#include <cmath>

#include "circuit/params.h"
#include "fit/levenberg_marquardt.h"

namespace kovrant {
namespace {

constexpr LmSettings kPolishSettings{1e-8, 1e-8, 1e-8, 200};

}  // namespace

Result<FitOutcome, FitError> polish_or_fallback(const SeriesList& series, std::span<const double> best_values,
                                                std::uint64_t iterations, std::span<const double> frequencies_hz,
                                                std::span<const Complex> impedances, Weighting weighting,
                                                std::span<const double> omegas, std::span<const double> weights,
                                                const EvalCounter& counter, StopCheck& stop) {
  FitOutcome fallback = build_outcome(series, best_values, true, iterations, omegas, impedances, weights, counter);
  const SeriesList start = rebuild(series, best_values);
  auto polished = levenberg_marquardt_fit(start, frequencies_hz, impedances, weighting, kPolishSettings, stop);
  if (!polished) return polished.error();
  counter->fetch_add(polished.value().impedance_evals, std::memory_order_relaxed);
  const bool polish_wins = std::isfinite(polished.value().cost) && polished.value().cost <= fallback.cost;
  FitOutcome result = polish_wins ? std::move(polished.value()) : std::move(fallback);
  result.impedance_evals = counter->load();
  return result;
}

}  // namespace kovrant
