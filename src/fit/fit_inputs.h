// The preparation that every fitting method shares.
//
// Contract: prepare_fit() checks, in this order, that there are as many
// frequencies as impedances (LengthMismatch), at least one frequency
// (EmptySpectrum) and at least one parameter (NoParameters), before any
// evaluation. It then converts hertz to angular frequency (f * 2 pi), computes
// the weights and reads the circuit's bounds and current values.
#pragma once

#include <span>
#include <vector>

#include "circuit/tree.h"
#include "fit/fit_error.h"
#include "fit/residuals.h"
#include "util/result.h"

namespace kovrant {

struct FitInputs {
  std::vector<double> omegas;
  std::vector<double> weights;
  std::vector<Bounds> bounds;
  std::vector<double> start_values;
};

Result<FitInputs, FitError> prepare_fit(const SeriesList& series, std::span<const double> frequencies_hz,
                                        std::span<const Complex> impedances, Weighting weighting);

}  // namespace kovrant
