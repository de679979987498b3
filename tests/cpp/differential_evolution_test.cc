#include "fit/differential_evolution.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kovrant {
namespace {

float bowl(std::span<const float> x) { return (x[0] - 1.0f) * (x[0] - 1.0f) + (x[1] + 2.0f) * (x[1] + 2.0f); }

SearchResult<float> run_de(const ObjectiveF32& objective, std::uint64_t budget, std::uint64_t seed) {
  Rng rng = make_rng(seed, 0);
  StopCheck stop;
  return jde_minimize(objective, SearchBox<float>{{-5.0f, -5.0f}, {5.0f, 5.0f}}, budget, rng, stop);
}

TEST(DifferentialEvolution, FindsTheMinimumAndNanCostsLoseToNumbers) {
  const auto result = run_de([](std::span<const float> x) { return x[0] < 0.0f ? NAN : bowl(x); }, 5000, 3);
  ASSERT_TRUE(result.found);
  EXPECT_NEAR(result.best_point[0], 1.0f, 1e-3f);
  EXPECT_NEAR(result.best_point[1], -2.0f, 1e-3f);
}

// With one evaluation the best is the first initial individual, whatever the
// others would cost.
TEST(DifferentialEvolution, SpendsExactlyTheBudgetAndAtLeastOneEvaluation) {
  for (std::uint64_t budget : {0u, 1u, 50u, 100u, 101u, 777u}) {
    std::uint64_t calls = 0;
    std::vector<float> first;
    const auto result = run_de(
        [&](std::span<const float> x) {
          if (calls++ == 0) first.assign(x.begin(), x.end());
          return bowl(x);
        },
        budget, 4);
    const std::uint64_t expected = budget == 0 ? 1 : budget;
    EXPECT_EQ(result.iterations, expected);
    EXPECT_EQ(calls, expected);
    ASSERT_TRUE(result.found);
    if (expected == 1) {
      EXPECT_EQ(result.best_point, first);
    }
  }
}

TEST(DifferentialEvolution, TrialsStayInsideTheBox) {
  bool outside = false;
  run_de(
      [&](std::span<const float> x) {
        for (float v : x) outside = outside || v < -5.0f || v > 5.0f;
        return -x[0];  // pushes toward the upper face
      },
      3000, 9);
  EXPECT_FALSE(outside);
}

TEST(DifferentialEvolution, SameGeneratorStateGivesSameResult) {
  const auto first = run_de(bowl, 400, 17), second = run_de(bowl, 400, 17), other = run_de(bowl, 400, 18);
  EXPECT_EQ(first.best_point, second.best_point);
  EXPECT_NE(first.best_point, other.best_point);
}

}  // namespace
}  // namespace kovrant
