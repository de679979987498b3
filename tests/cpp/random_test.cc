#include "fit/random.h"

#include <gtest/gtest.h>

namespace kovrant {
namespace {

TEST(Random, SeededGeneratorsRepeatWhileStreamsAndUnseededOnesDiffer) {
  Rng a = make_rng(123, 0), b = make_rng(123, 0), c = make_rng(123, 1);
  bool any_difference = false;
  for (int i = 0; i < 16; ++i) {
    const auto x = a(), y = b(), z = c();
    EXPECT_EQ(x, y);
    any_difference = any_difference || x != z;
  }
  EXPECT_TRUE(any_difference);
  Rng d = make_rng(std::nullopt, 0), e = make_rng(std::nullopt, 0);
  EXPECT_NE(d(), e());
}

TEST(Random, UniformConversionsStayInRange) {
  Rng rng = make_rng(5, 0);
  double lowest = 1.0, highest = 0.0;
  for (int i = 0; i < 10000; ++i) {
    const double u = uniform_unit(rng);
    const float f = uniform_unit_f32(rng);
    ASSERT_TRUE(u >= 0.0 && u < 1.0) << u;
    ASSERT_TRUE(f >= 0.0f && f < 1.0f) << f;
    ASSERT_LT(uniform_index(rng, 7), 7u);
    lowest = std::min(lowest, u);
    highest = std::max(highest, u);
  }
  EXPECT_LT(lowest, 0.01);
  EXPECT_GT(highest, 0.99);
}

}  // namespace
}  // namespace kovrant
