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

TEST_P(MatrixInverseSize, ProductWithInverseIsIdentity) {
  const size_t n = GetParam();
  Rng rng = make_rng(42 + n, 0);
  const std::vector<double> m = random_matrix(n, rng);
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
}

TEST_P(MatrixInverseSize, SingularMatrixHasNoInverse) {
  const size_t n = GetParam();
  Rng rng = make_rng(7 + n, 0);
  std::vector<double> m = random_matrix(n, rng);
  for (size_t k = 0; k < n; ++k) m[k * n + (n - 1)] = 0.0;  // a zero column
  EXPECT_FALSE(invert_matrix(m, n).has_value());
}

TEST_P(MatrixInverseSize, PivotingHandlesZeroLeadingEntry) {
  const size_t n = GetParam();
  // The anti-diagonal permutation matrix is its own inverse.
  std::vector<double> m(n * n, 0.0);
  for (size_t r = 0; r < n; ++r) m[r * n + (n - 1 - r)] = 1.0;
  const auto inverse = invert_matrix(m, n);
  ASSERT_TRUE(inverse.has_value());
  for (size_t k = 0; k < n * n; ++k) EXPECT_EQ((*inverse)[k], m[k]);
}

INSTANTIATE_TEST_SUITE_P(Sizes, MatrixInverseSize, ::testing::Values(1, 2, 3, 4, 5, 6, 9));

TEST(MatrixInverse, EmptyMatrixHasEmptyInverse) {
  const auto inverse = invert_matrix({}, 0);
  ASSERT_TRUE(inverse.has_value());
  EXPECT_TRUE(inverse->empty());
}

TEST(MatrixInverse, ClosedFormTwoByTwoIsExact) {
  const std::vector<double> m = {4.0, 7.0, 2.0, 6.0};
  const auto inverse = invert_matrix(m, 2);
  ASSERT_TRUE(inverse.has_value());
  EXPECT_EQ((*inverse)[0], 0.6);
  EXPECT_EQ((*inverse)[1], -0.7);
  EXPECT_EQ((*inverse)[2], -0.2);
  EXPECT_EQ((*inverse)[3], 0.4);
}

TEST(MatrixInverse, NanEntryPropagates) {
  const std::vector<double> m = {NAN, 0.0, 0.0, 1.0};
  const auto inverse = invert_matrix(m, 2);
  ASSERT_TRUE(inverse.has_value());
  EXPECT_TRUE(std::isnan((*inverse)[0]));
}

}  // namespace
}  // namespace kovrant
