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

// s^2 (J^T J)^-1 over the free parameters (row-major P x P, NaN in the rows
// and columns of held ones), with s^2 = chi_square / dof; absent without
// degrees of freedom or for a singular J^T J.
std::optional<std::vector<double>> covariance_matrix(std::span<const double> jacobian, size_t rows,
                                                     const std::vector<bool>& fixed, double chi_square) {
  const size_t p = fixed.size();
  std::vector<size_t> free;
  std::vector<double> free_columns;
  for (size_t j = 0; j < p; ++j) {
    if (fixed[j]) continue;
    free.push_back(j);
    free_columns.insert(free_columns.end(), jacobian.begin() + j * rows, jacobian.begin() + (j + 1) * rows);
  }
  const size_t f = free.size();
  const double dof = static_cast<double>(f == 0 ? 0 : rows) - static_cast<double>(f);
  if (dof <= 0.0) return std::nullopt;
  const auto inverse = invert_matrix(normal_matrix(free_columns, rows, f), f);
  if (!inverse) return std::nullopt;
  const double variance_scale = chi_square / dof;
  std::vector<double> covariance(p * p, std::nan(""));
  for (size_t r = 0; r < f; ++r) {
    for (size_t c = 0; c < f; ++c) covariance[free[r] * p + free[c]] = (*inverse)[r * f + c] * variance_scale;
  }
  return covariance;
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
  outcome.covariance = covariance_matrix(jacobian, rows, problem.fixed, outcome.chi_square);
  if (outcome.covariance) {
    // A negative diagonal entry (rounding on a near-singular matrix) gives NaN.
    std::vector<double> errors(p);
    for (size_t j = 0; j < p; ++j) errors[j] = std::sqrt((*outcome.covariance)[j * p + j]);
    outcome.standard_errors = std::move(errors);
  }
  outcome.fitted_circuit = rebuild(series, values);
  outcome.param_names = param_names(series);
  outcome.values = std::move(values);
  outcome.iterations = iterations;
  outcome.success = success && std::isfinite(outcome.cost);
  outcome.impedance_evals = counter->load();
  return outcome;
}

}  // namespace kovrant
