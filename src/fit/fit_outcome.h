// The record every fitting method ends with, and how it is built.
//
// Contract (build_outcome): takes exactly P values, clamps them into the
// problem's feasible bounds (NaN stays NaN), evaluates residuals (cost = 1/2
// sum r^2 from -0.0, chi_square = cost + cost) and the Jacobian at the
// clamped values, and estimates standard errors
// sqrt(diag((J^T J)^-1) * chi_square / dof) over the F free parameters, with
// dof = 2N - F, from the covariance matrix s^2 (J^T J)^-1 that the outcome
// also keeps; a fixed parameter's error, row and column are NaN. They are absent when
// dof <= 0 or J^T J is singular; a negative diagonal entry gives NaN.
// success is reported false when the cost is not finite, whatever the caller
// says: such a result is no fit. impedance_evals is the counter read last, so
// it includes the 1 + 2P evaluations made here. It cannot fail.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/tree.h"
#include "fit/fit_problem.h"
#include "fit/residuals.h"

namespace kovrant {

struct FitOutcome {
  SeriesList fitted_circuit;
  std::vector<std::string> param_names;
  std::vector<double> values;
  std::optional<std::vector<double>> standard_errors;
  std::optional<std::vector<double>> covariance;  // P x P, row-major; NaN for held parameters
  std::uint64_t iterations = 0;
  std::uint64_t impedance_evals = 0;
  double cost = 0.0;
  double chi_square = 0.0;
  bool success = false;
  bool walk_cut = false;  // the LM walk stopped at its max_starts with starts left, none plausible
};

FitOutcome build_outcome(const FitProblem& problem, std::span<const double> params, bool success,
                         std::uint64_t iterations, const EvalCounter& counter);

}  // namespace kovrant
