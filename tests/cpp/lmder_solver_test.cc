#include "fit/lmder_solver.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kovrant {
namespace {

// Rosenbrock's function as two residuals, minimum 0 at (1, 1).
LeastSquaresFunctions rosenbrock() {
  LeastSquaresFunctions f;
  f.residuals = [](std::span<const double> x, std::span<double> r) {
    r[0] = 10.0 * (x[1] - x[0] * x[0]);
    r[1] = 1.0 - x[0];
    return true;
  };
  f.jacobian = [](std::span<const double> x, std::span<double> j) {
    j[0] = -20.0 * x[0];  // column 0
    j[1] = -1.0;
    j[2] = 10.0;  // column 1
    j[3] = 0.0;
    return true;
  };
  return f;
}

struct EndCase {
  size_t residual_count;
  std::vector<double> x0;
  LmderSettings settings;
  LmderTermination termination;
  int evaluations;
};

class LmderEnd : public ::testing::TestWithParam<EndCase> {};

TEST_P(LmderEnd, ReportsWhyItStopped) {
  const EndCase& c = GetParam();
  LmderSolver solver(c.residual_count, 2);
  std::vector<double> x = c.x0;
  const LmderReport report = solver.minimize(rosenbrock(), x, c.settings);
  EXPECT_EQ(report.termination, c.termination);
  EXPECT_EQ(is_converged(report.termination), c.termination == LmderTermination::OrthogonalGradient);
  EXPECT_EQ(report.residual_evaluations, c.evaluations);
  if (c.evaluations <= 1) {
    EXPECT_EQ(x, c.x0);  // no step taken
  }
}

using T = LmderTermination;
INSTANTIATE_TEST_SUITE_P(
    Cases, LmderEnd,
    ::testing::Values(EndCase{2, {1.0, 1.0}, LmderSettings{}, T::OrthogonalGradient, 1},  // exactly zero residuals
                      EndCase{2, {-1.2, 1.0}, LmderSettings{1e-14, 1e-14, 0.0, 100.0, 3}, T::EvaluationLimit, 3},
                      // Improper input: fewer residuals than parameters, a
                      // negative ftol, no evaluations allowed.
                      EndCase{1, {-1.2, 1.0}, LmderSettings{}, T::ImproperInput, 0},
                      EndCase{2, {-1.2, 1.0}, LmderSettings{-1.0, 1e-8, 1e-8, 100.0, 10}, T::ImproperInput, 0},
                      EndCase{2, {-1.2, 1.0}, LmderSettings{1e-8, 1e-8, 1e-8, 100.0, 0}, T::ImproperInput, 0}));

TEST(LmderSolver, CallbackCanStopTheSolve) {
  LmderSolver solver(2, 2);
  std::vector<double> x = {-1.2, 1.0};
  LeastSquaresFunctions f = rosenbrock();
  int calls = 0;
  auto inner = f.residuals;
  f.residuals = [&](std::span<const double> p, std::span<double> r) { return inner(p, r) && ++calls < 3; };
  const LmderReport report = solver.minimize(f, x, LmderSettings{});
  EXPECT_EQ(report.termination, LmderTermination::UserStop);
  EXPECT_EQ(calls, 3);
}

}  // namespace
}  // namespace kovrant
