#include "fit/fit_problem.h"

#include <algorithm>
#include <cmath>

#include "circuit/evaluate.h"
#include "circuit/params.h"
#include "fit/spectrum_model.h"
#include "util/text.h"

namespace kovrant {
namespace {

std::string complex_text(const Complex& z) {
  const std::string imag = format_plain_number(z.im);
  std::string text = "(";
  text += format_plain_number(z.re);
  if (!imag.starts_with('-')) text += '+';
  text += imag;
  text += "j)";
  return text;
}

std::string interval_text(double lo, double hi) {
  std::string text = "[";
  text += format_plain_number(lo);
  text += ", ";
  text += format_plain_number(hi);
  text += ']';
  return text;
}

// "frequency at index 3 is 0"
std::string point_text(std::string_view what, size_t index, const std::string& value) {
  std::string text(what);
  text += " at index ";
  text += std::to_string(index);
  text += " is ";
  text += value;
  return text;
}

std::optional<FitError> check_constraints(const FitConstraints& constraints, const SeriesList& series,
                                          std::span<const Bounds> physical, std::span<const double> start) {
  const size_t p = physical.size();
  if (!constraints.fixed.empty() && constraints.fixed.size() != p) {
    return FitError::invalid_argument("expected " + std::to_string(p) + " fixed flags, got " +
                                      std::to_string(constraints.fixed.size()));
  }
  if (constraints.bounds.empty()) return std::nullopt;
  if (constraints.bounds.size() != p) {
    return FitError::invalid_argument("expected " + std::to_string(p) + " bounds, got " +
                                      std::to_string(constraints.bounds.size()));
  }
  const std::vector<std::string> names = param_names(series);
  for (size_t j = 0; j < p; ++j) {
    const Bounds& b = constraints.bounds[j];
    const std::string range = interval_text(b.lo, b.hi);
    if (!(b.lo <= b.hi) || b.lo < physical[j].lo || b.hi > physical[j].hi) {
      return FitError::invalid_argument(std::string("bounds ") + range + " of " + debug_quote(names[j]) +
                                        " must be an interval inside its physical bounds " +
                                        interval_text(physical[j].lo, physical[j].hi));
    }
    if (!(start[j] >= b.lo && start[j] <= b.hi)) {
      return FitError::invalid_argument("start value " + format_plain_number(start[j]) + " of " +
                                        debug_quote(names[j]) + " lies outside its bounds " + range);
    }
  }
  return std::nullopt;
}

}  // namespace

std::vector<double> FitProblem::feasible(std::span<const double> values) const {
  std::vector<double> clamped(values.begin(), values.end());
  for (size_t j = 0; j < std::min(clamped.size(), bounds.size()); ++j)
    clamped[j] = fixed[j] ? start_values[j] : clamp_into_bounds(clamped[j], bounds[j]);
  return clamped;
}

std::optional<FitError> check_spectrum_values(std::span<const double> frequencies_hz,
                                              std::span<const Complex> impedances) {
  const size_t n = std::min(frequencies_hz.size(), impedances.size());
  for (size_t i = 0; i < n; ++i) {
    // A zero, negative or non-finite frequency has no meaningful model value,
    // and a non-finite impedance turns every cost into NaN.
    if (!(std::isfinite(frequencies_hz[i]) && frequencies_hz[i] > 0.0)) {
      return FitError::invalid_argument(point_text("frequency", i, format_plain_number(frequencies_hz[i])) +
                                        " Hz; a fit needs finite frequencies > 0");
    }
    if (!(std::isfinite(impedances[i].re) && std::isfinite(impedances[i].im))) {
      return FitError::invalid_argument(point_text("impedance", i, complex_text(impedances[i])) +
                                        " ohm; a fit needs finite impedances");
    }
  }
  return std::nullopt;
}

Result<FitProblem, FitError> make_fit_problem(const SeriesList& series, std::span<const double> frequencies_hz,
                                              std::span<const Complex> impedances, Weighting weighting,
                                              const FitConstraints& constraints) {
  if (frequencies_hz.size() != impedances.size()) return FitError{FitError::Kind::LengthMismatch, {}};
  if (frequencies_hz.empty()) return FitError{FitError::Kind::EmptySpectrum, {}};
  if (param_count(series) == 0) return FitError{FitError::Kind::NoParameters, {}};
  if (auto error = check_spectrum_values(frequencies_hz, impedances)) return *error;
  FitProblem problem;
  problem.series = &series;
  problem.impedances = impedances;
  problem.transform_bounds = param_bounds(series);
  problem.start_values = param_values(series);
  if (auto error = check_constraints(constraints, series, problem.transform_bounds, problem.start_values)) {
    return *error;
  }
  problem.bounds = constraints.bounds.empty() ? problem.transform_bounds : constraints.bounds;
  problem.fixed = constraints.fixed.empty() ? std::vector<bool>(problem.start_values.size(), false) : constraints.fixed;
  problem.omegas.reserve(frequencies_hz.size());
  for (double f : frequencies_hz) problem.omegas.push_back(f * kTwoPi);
  problem.weights = compute_weights(impedances, weighting);
  return problem;
}

}  // namespace kovrant
