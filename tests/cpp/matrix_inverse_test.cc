#include "fit/matrix_inverse.h"

#include <gtest/gtest.h>

#include <cmath>

#include "fit/random.h"

namespace kovrant {
namespace {

// Diagonally dominant, so well conditioned at every size.
std::vector<double> random_matrix(size_t n, Rng& rng) {
  std::vector<double> m(n * n);
  for (size_t r = 0; r < n; ++r) {
    for (size_t c = 0; c < n; ++c) m[r * n + c] = uniform_between(rng, -1.0, 1.0) + (r == c ? 2.0 * n : 0.0);
  }
  return m;
}

class MatrixInverseSize : public ::testing::TestWithParam<size_t> {};

// Sizes 1 to 4 use the closed forms, larger ones elimination.
TEST_P(MatrixInverseSize, InvertsOrReportsSingular) {
  const size_t n = GetParam();
  Rng rng = make_rng(42 + n, 0);
  std::vector<double> m = random_matrix(n, rng);
  const auto inverse = invert_matrix(m, n);
  ASSERT_TRUE(inverse.has_value());
  ASSERT_EQ(inverse->size(), n * n);
  for (size_t r = 0; r < n; ++r) {
    for (size_t c = 0; c < n; ++c) {
      double sum = 0.0;
      for (size_t k = 0; k < n; ++k) sum += m[r * n + k] * (*inverse)[k * n + c];
      EXPECT_NEAR(sum, r == c ? 1.0 : 0.0, 1e-13) << r << "," << c;
    }
  }
  for (size_t k = 0; k < n; ++k) m[k * n + (n - 1)] = 0.0;  // a zero column
  EXPECT_FALSE(invert_matrix(m, n).has_value());
  // The anti-diagonal permutation, its own inverse, needs pivoting.
  std::vector<double> swap(n * n, 0.0);
  for (size_t r = 0; r < n; ++r) swap[r * n + (n - 1 - r)] = 1.0;
  EXPECT_EQ(invert_matrix(swap, n), swap);
}

INSTANTIATE_TEST_SUITE_P(Sizes, MatrixInverseSize, ::testing::Values(1, 2, 3, 4, 5, 6, 9));

TEST(MatrixInverse, EmptyExactAndNanCases) {
  EXPECT_EQ(invert_matrix({}, 0), std::vector<double>{});
  EXPECT_EQ(invert_matrix(std::vector<double>{4.0, 7.0, 2.0, 6.0}, 2), (std::vector<double>{0.6, -0.7, -0.2, 0.4}));
  const auto with_nan = invert_matrix(std::vector<double>{NAN, 0.0, 0.0, 1.0}, 2);
  ASSERT_TRUE(with_nan.has_value());
  EXPECT_TRUE(std::isnan((*with_nan)[0]));
}

}  // namespace
}  // namespace kovrant
