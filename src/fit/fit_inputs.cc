#include "fit/fit_inputs.h"

#include "circuit/evaluate.h"
#include "circuit/params.h"

namespace kovrant {

Result<FitInputs, FitError> prepare_fit(const SeriesList& series, std::span<const double> frequencies_hz,
                                        std::span<const Complex> impedances, Weighting weighting) {
  if (frequencies_hz.size() != impedances.size()) return FitError{FitError::Kind::LengthMismatch, {}};
  if (frequencies_hz.empty()) return FitError{FitError::Kind::EmptySpectrum, {}};
  if (param_count(series) == 0) return FitError{FitError::Kind::NoParameters, {}};
  FitInputs inputs;
  inputs.omegas.reserve(frequencies_hz.size());
  for (double f : frequencies_hz) inputs.omegas.push_back(f * kTwoPi);
  inputs.weights = compute_weights(impedances, weighting);
  inputs.bounds = param_bounds(series);
  inputs.start_values = param_values(series);
  return inputs;
}

}  // namespace kovrant
