// The problem every fitting method solves, built once per fit.
//
// Contract (make_fit_problem): checks, in this order, that there are as many
// frequencies as impedances (LengthMismatch), at least one frequency
// (EmptySpectrum), at least one parameter (NoParameters), that every
// frequency is finite and > 0 and every impedance finite (InvalidArgument
// naming the first bad index, see check_spectrum_values), and that the
// constraints fit the circuit (InvalidArgument), before any evaluation. It
// converts hertz to angular frequency (f * 2 pi), computes the weights and
// reads the circuit's bounds and current values.
//
// Bounds come in two roles. `transform_bounds` are always the circuit's
// physical bounds; they choose each parameter's search coordinate (its own
// value for a finite upper bound, decades above the lower bound otherwise),
// so a caller's narrower bounds never change how a parameter is searched.
// `bounds` are the feasible region: the physical bounds, or the caller's
// narrower ones. Every result is judged, and reported, at values clamped into
// `bounds`. A fixed parameter is held at its start value throughout.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "circuit/tree.h"
#include "fit/fit_error.h"
#include "fit/residuals.h"
#include "util/result.h"

namespace kovrant {

// Optional limits from the caller. Empty vectors mean "none": nothing held,
// the physical bounds. Non-empty ones have one entry per parameter; bounds
// must lie inside the physical ones with lo <= hi, and the start values
// inside them.
struct FitConstraints {
  std::vector<bool> fixed;
  std::vector<Bounds> bounds;
};

struct FitProblem {
  const SeriesList* series = nullptr;  // borrowed: the circuit with its start values
  std::span<const Complex> impedances;  // borrowed
  std::vector<double> omegas;
  std::vector<double> weights;
  std::vector<Bounds> transform_bounds;
  std::vector<Bounds> bounds;
  std::vector<bool> fixed;  // one flag per parameter
  std::vector<double> start_values;

  size_t param_count() const { return start_values.size(); }
  bool narrowed(size_t j) const { return bounds[j].lo != transform_bounds[j].lo || bounds[j].hi != transform_bounds[j].hi; }
  // `values` clamped into the feasible bounds (NaN stays NaN), held
  // parameters at their start values.
  std::vector<double> feasible(std::span<const double> values) const;
  // The feasible start: the start values clamped into the bounds.
  std::vector<double> feasible_start() const { return feasible(start_values); }
};

// The series list and the spectrum must outlive the problem.
Result<FitProblem, FitError> make_fit_problem(const SeriesList& series, std::span<const double> frequencies_hz,
                                              std::span<const Complex> impedances, Weighting weighting,
                                              const FitConstraints& constraints = {});

// The first non-finite or non-positive frequency, or non-finite impedance,
// over the first min(len) entries, as an InvalidArgument error.
std::optional<FitError> check_spectrum_values(std::span<const double> frequencies_hz,
                                              std::span<const Complex> impedances);

}  // namespace kovrant
