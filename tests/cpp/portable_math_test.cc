#include "util/portable_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace kovrant {
namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Distance from the long double tanh in units of the double ulp there.
double ulps_from_reference(double x, double y) {
  const long double reference = tanhl(static_cast<long double>(x));
  const double rounded = std::fabs(static_cast<double>(reference));
  const double ulp = std::nextafter(rounded, std::numeric_limits<double>::infinity()) - rounded;
  return static_cast<double>(fabsl(static_cast<long double>(y) - reference)) / ulp;
}

// A sample of the mpmath check in bench/check_portable_math.py: uniform
// arguments and arguments spread over every binade down to 2^-40.
TEST(PortableTanh, WithinOneUlpAndSameBitsVectorAndScalar) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> uniform(-21.0, 21.0), exponent(-40.0, 4.5);
  std::vector<double> xs;
  for (int i = 0; i < 100000; ++i) {
    xs.push_back(i % 2 == 0 ? uniform(rng) : std::copysign(std::exp2(exponent(rng)), uniform(rng)));
  }
  std::vector<double> ys = xs;
  tanh_in_place(ys);  // the vector clone this CPU picks
  for (size_t i = 0; i < xs.size(); ++i) {
    ASSERT_LE(ulps_from_reference(xs[i], ys[i]), 1.0) << xs[i];
    ASSERT_TRUE(same_bits(ys[i], portable_tanh(xs[i]))) << xs[i];
    ASSERT_TRUE(same_bits(portable_tanh(-xs[i]), -ys[i])) << xs[i];
  }
}

TEST(PortableTanh, ExactCases) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double x, expected;
  };
  for (const Case& c : {Case{0.0, 0.0}, Case{-0.0, -0.0}, Case{1e-300, 1e-300}, Case{-0x1p-28, -0x1p-28},
                        Case{19.1, 1.0}, Case{-25.0, -1.0}, Case{inf, 1.0}, Case{-inf, -1.0}}) {
    EXPECT_TRUE(same_bits(portable_tanh(c.x), c.expected)) << c.x;
  }
  EXPECT_TRUE(std::isnan(portable_tanh(std::numeric_limits<double>::quiet_NaN())));
}

}  // namespace
}  // namespace kovrant
