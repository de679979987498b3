// Our one door to MINPACK's lmder (through cminpack): Levenberg-Marquardt
// least squares with a caller-supplied Jacobian.
//
// Contract:
// - LmderSolver owns every work array of one problem size (m residuals, n
//   parameters), so repeated solves of that size allocate nothing.
// - minimize() starts from x, leaves the final iterate in x and reports why it
//   stopped, with the numbers of residual and Jacobian evaluations. It never
//   fails: improper input (m < n, a negative tolerance, no evaluations
//   allowed) is reported as ImproperInput with x unchanged.
// - The Jacobian is m x n, column-major with leading dimension m. A callback
//   that returns false stops the solve (UserStop). The Jacobian is asked for
//   only at points whose residuals were evaluated before.
// - Residuals that are exactly zero end the solve with OrthogonalGradient:
//   lmder tests the scaled gradient, which is zero there, and has no code of
//   its own for that case.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

namespace kovrant {

struct LmderSettings {
  double ftol = 1e-8;
  double xtol = 1e-8;
  double gtol = 1e-8;
  double step_bound_factor = 100.0;
  int max_residual_evaluations = 200;
};

// lmder's info codes 0 to 8, and a negative code for a stop by a callback.
enum class LmderTermination {
  ImproperInput,
  SmallCostReduction,
  SmallStep,
  SmallCostReductionAndStep,
  OrthogonalGradient,
  EvaluationLimit,
  FtolTooSmall,
  XtolTooSmall,
  GtolTooSmall,
  UserStop,
};

// The ftol, xtol and gtol tests (codes 1 to 4).
bool is_converged(LmderTermination termination);

struct LmderReport {
  LmderTermination termination = LmderTermination::ImproperInput;
  int residual_evaluations = 0;
  int jacobian_evaluations = 0;
};

struct LeastSquaresFunctions {
  // Fills the m residuals at x; false stops the solve.
  std::function<bool(std::span<const double> x, std::span<double> residuals)> residuals;
  // Fills the m x n column-major Jacobian at x; false stops the solve.
  std::function<bool(std::span<const double> x, std::span<double> jacobian)> jacobian;
};

class LmderSolver {
 public:
  LmderSolver(size_t residual_count, size_t param_count);

  LmderReport minimize(const LeastSquaresFunctions& functions, std::span<double> x, const LmderSettings& settings);

 private:
  size_t m_;
  size_t n_;
  std::vector<double> residuals_;
  std::vector<double> jacobian_;
  std::vector<double> diag_;
  std::vector<int> pivots_;
  std::vector<double> qtf_;
  std::vector<double> work_n_;  // three work arrays of n
  std::vector<double> work_m_;
};

}  // namespace kovrant
