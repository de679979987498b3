#include "fit/nelder_mead.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kovrant {
namespace {

double rosenbrock(std::span<const double> x) {
  return 100.0 * (x[1] - x[0] * x[0]) * (x[1] - x[0] * x[0]) + (1.0 - x[0]) * (1.0 - x[0]);
}

TEST(NelderMead, InitialSimplexStepsByTenPercentOrByOneTenth) {
  const std::vector<double> x0 = {-300.0, 0.0, 5e-9, 2.0};
  const auto simplex = initial_simplex(x0);
  ASSERT_EQ(simplex.size(), 5u);
  EXPECT_EQ(simplex[0], x0);
  EXPECT_EQ(simplex[1][0], -270.0);
  EXPECT_EQ(simplex[2][1], 0.1);
  EXPECT_EQ(simplex[3][2], 5e-9 + 0.1);
  EXPECT_EQ(simplex[4][3], 2.0 + 0.2);
  EXPECT_EQ(simplex[4][0], -300.0);
}

TEST(NelderMead, FindsRosenbrockMinimumWithinTheIterationLimit) {
  StopCheck stop;
  const auto simplex = initial_simplex(std::vector<double>{-1.2, 1.0});
  const auto result = nelder_mead_minimize(rosenbrock, simplex, NelderMeadSettings{}, stop);
  ASSERT_TRUE(result.found);
  EXPECT_NEAR(result.best_point[0], 1.0, 1e-4);
  EXPECT_NEAR(result.best_point[1], 1.0, 1e-4);
  EXPECT_LT(result.best_cost, 1e-9);
  EXPECT_LT(result.iterations, 2000u);
  EXPECT_FALSE(result.interrupted);
  NelderMeadSettings settings;
  for (std::uint64_t limit : {0u, 1u, 7u}) {
    settings.max_iterations = limit;
    const auto limited = nelder_mead_minimize(rosenbrock, simplex, settings, stop);
    EXPECT_EQ(limited.iterations, limit);
    EXPECT_TRUE(limited.found);
  }
}

TEST(NelderMead, EqualCostsStopBeforeTheFirstIteration) {
  StopCheck stop;
  const auto result = nelder_mead_minimize([](std::span<const double>) { return 3.0; },
                                           initial_simplex(std::vector<double>{1.0, 2.0}), NelderMeadSettings{}, stop);
  EXPECT_EQ(result.iterations, 0u);
  EXPECT_EQ(result.best_point, (std::vector<double>{1.0, 2.0}));
}

TEST(NelderMead, NanAndInfiniteCostsRankLastAndDoNotEndTheSearch) {
  // Undefined (NaN) left of x = 0.5 and infinite above x = 3; the start is
  // NaN but one vertex is not, and the search must reach the minimum at 2.
  const Objective objective = [](std::span<const double> x) {
    if (x[0] < 0.5) return std::nan("");
    if (x[0] > 3.0) return HUGE_VAL;
    return (x[0] - 2.0) * (x[0] - 2.0);
  };
  StopCheck stop;
  const auto result =
      nelder_mead_minimize(objective, initial_simplex(std::vector<double>{0.48}), NelderMeadSettings{}, stop);
  EXPECT_NEAR(result.best_point[0], 2.0, 1e-6);
  EXPECT_GT(result.iterations, 0u);
}

}  // namespace
}  // namespace kovrant
