#include "fit/fit_outcome.h"

#include <algorithm>
#include <cmath>

#include "circuit/params.h"
#include "fit/matrix_inverse.h"
#include "fit/spectrum_model.h"

namespace kovrant {
namespace {

// J^T J of a column-major rows x p matrix, row-major p x p.
std::vector<double> normal_matrix(std::span<const double> jacobian, size_t rows, size_t p) {
  std::vector<double> a(p * p);
  for (size_t r = 0; r < p; ++r) {
    for (size_t c = r; c < p; ++c) {
      double sum = 0.0;
      for (size_t k = 0; k < rows; ++k) sum += jacobian[r * rows + k] * jacobian[c * rows + k];
      a[r * p + c] = sum;
      a[c * p + r] = sum;
    }
  }
  return a;
}

std::optional<std::vector<double>> standard_errors(std::span<const double> jacobian, size_t rows, size_t p,
                                                   double chi_square) {
  const double dof = static_cast<double>(p == 0 ? 0 : rows) - static_cast<double>(p);
  if (dof <= 0.0) return std::nullopt;
  const auto inverse = invert_matrix(normal_matrix(jacobian, rows, p), p);
  if (!inverse) return std::nullopt;
  const double variance_scale = chi_square / dof;
  std::vector<double> errors(p);
  for (size_t j = 0; j < p; ++j) errors[j] = std::sqrt((*inverse)[j * p + j] * variance_scale);
  return errors;
}

// The errors of the free parameters from their columns alone; held ones get
// NaN, since they were not estimated.
std::optional<std::vector<double>> free_standard_errors(std::span<const double> jacobian, size_t rows,
                                                        const std::vector<bool>& fixed, double chi_square) {
  std::vector<double> free_columns;
  size_t free_count = 0;
  for (size_t j = 0; j < fixed.size(); ++j) {
    if (fixed[j]) continue;
    free_columns.insert(free_columns.end(), jacobian.begin() + j * rows, jacobian.begin() + (j + 1) * rows);
    ++free_count;
  }
  const auto free_errors = standard_errors(free_columns, rows, free_count, chi_square);
  if (!free_errors) return std::nullopt;
  std::vector<double> errors(fixed.size(), std::nan(""));
  for (size_t j = 0, k = 0; j < fixed.size(); ++j) {
    if (!fixed[j]) errors[j] = (*free_errors)[k++];
  }
  return errors;
}

}  // namespace

FitOutcome build_outcome(const FitProblem& problem, std::span<const double> params, bool success,
                         std::uint64_t iterations, const EvalCounter& counter) {
  const SeriesList& series = *problem.series;
  std::vector<double> values = problem.feasible(params);

  SpectrumModel model(series, problem.omegas, problem.impedances, problem.weights, counter);
  const size_t rows = model.residual_count();
  const size_t p = model.param_count();
  std::vector<double> residual_vector(rows);
  model.residuals(values, residual_vector);
  std::vector<double> jacobian(rows * p);
  model.jacobian(values, jacobian);

  FitOutcome outcome;
  outcome.cost = cost_of(residual_vector);
  outcome.chi_square = outcome.cost + outcome.cost;
  const bool any_fixed = std::find(problem.fixed.begin(), problem.fixed.end(), true) != problem.fixed.end();
  outcome.standard_errors = any_fixed ? free_standard_errors(jacobian, rows, problem.fixed, outcome.chi_square)
                                      : standard_errors(jacobian, rows, p, outcome.chi_square);
  outcome.fitted_circuit = rebuild(series, values);
  outcome.param_names = param_names(series);
  outcome.values = std::move(values);
  outcome.iterations = iterations;
  outcome.success = success && std::isfinite(outcome.cost);
  outcome.impedance_evals = counter->load();
  return outcome;
}

}  // namespace kovrant
