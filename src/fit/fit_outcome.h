// The record every fitting method ends with, and how it is built.
//
// Contract (build_outcome): takes exactly P values, clamps them into their
// bounds (NaN stays NaN), evaluates residuals (cost = 1/2 sum r^2 from
// -0.0, chi_square = cost + cost) and the Jacobian at the clamped values, and
// estimates standard errors sqrt(diag((J^T J)^-1) * chi_square / dof) with
// dof = 2N - P. They are absent when dof <= 0 or J^T J is singular; a negative
// diagonal entry gives NaN. impedance_evals is the counter read last, so it
// includes the 1 + 2P evaluations made here. It cannot fail.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/tree.h"
#include "fit/residuals.h"

namespace kovrant {

struct FitOutcome {
  SeriesList fitted_circuit;
  std::vector<std::string> param_names;
  std::vector<double> values;
  std::optional<std::vector<double>> standard_errors;
  std::uint64_t iterations = 0;
  std::uint64_t impedance_evals = 0;
  double cost = 0.0;
  double chi_square = 0.0;
  bool success = false;
};

FitOutcome build_outcome(const SeriesList& series, std::span<const double> params, bool success,
                         std::uint64_t iterations, std::span<const double> omegas, std::span<const Complex> measured,
                         std::span<const double> weights, const EvalCounter& counter);

}  // namespace kovrant
