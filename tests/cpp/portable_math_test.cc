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

// Distance from a long double reference in units of the double ulp there.
double ulps_from(long double reference, double y) {
  const double rounded = std::fabs(static_cast<double>(reference));
  const double ulp = std::nextafter(rounded, std::numeric_limits<double>::infinity()) - rounded;
  return static_cast<double>(fabsl(static_cast<long double>(y) - reference)) / ulp;
}

// Samples of the mpmath check, against the long double functions.
TEST(PortableMath, ExpLogPowAtan2WithinOneUlp) {
  std::mt19937_64 rng(12);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 20000; ++i) {
    const double x = (unit(rng) * 2.0 - 1.0) * 700.0;
    const double positive = std::exp2(unit(rng) * 200.0 - 100.0);
    const double y = (unit(rng) * 2.0 - 1.0) * 3.0;
    const double decades = (unit(rng) * 2.0 - 1.0) * 300.0;
    const double a = std::copysign(std::exp2(unit(rng) * 40.0 - 20.0), y), b = std::copysign(positive, x);
    ASSERT_LE(ulps_from(expl(x), portable_exp(x)), 1.0) << x;
    ASSERT_LE(ulps_from(logl(positive), portable_log(positive)), 1.0) << positive;
    ASSERT_LE(ulps_from(powl(positive, y), portable_pow(positive, y)), 1.0) << positive << " " << y;
    ASSERT_LE(ulps_from(powl(10.0L, decades), portable_pow(10.0, decades)), 1.0) << decades;
    ASSERT_LE(ulps_from(atan2l(a, b), portable_atan2(a, b)), 1.0) << a << " " << b;
  }
}

// The functions of the element formulas and the fit coordinates, including
// sine and cosine arguments far beyond the fast reduction (up to 2^1000).
TEST(PortableMath, TrigHyperbolicHypotLog10Exp10WithinOneUlp) {
  std::mt19937_64 rng(13);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 20000; ++i) {
    const double near = (unit(rng) * 2.0 - 1.0) * 41.0;
    const double far = std::copysign(std::exp2(unit(rng) * 1030.0 - 30.0), near);
    for (double x : {near, far}) {
      const SinCos t = portable_sincos(x);
      ASSERT_LE(ulps_from(sinl(x), t.sin), 1.0) << x;
      ASSERT_LE(ulps_from(cosl(x), t.cos), 1.0) << x;
    }
    const SinhCosh h = portable_sinh_cosh(near);
    ASSERT_LE(ulps_from(sinhl(near), h.sinh), 1.0) << near;
    ASSERT_LE(ulps_from(coshl(near), h.cosh), 1.0) << near;
    const double a = std::exp2(unit(rng) * 60.0 - 30.0), b = -std::exp2(unit(rng) * 60.0 - 30.0);
    ASSERT_LE(ulps_from(hypotl(a, b), portable_hypot(a, b)), 1.0) << a << " " << b;
    ASSERT_LE(ulps_from(log10l(a), portable_log10(a)), 1.0) << a;
    const double decades = (unit(rng) * 2.0 - 1.0) * 300.0;
    ASSERT_LE(ulps_from(powl(10.0L, decades), portable_exp10(decades)), 1.0) << decades;
    const double alpha = unit(rng);
    ASSERT_TRUE(same_bits(pow_from_log(precise_log(a), alpha), portable_pow(a, alpha))) << a << " " << alpha;
  }
}

// The vectorised lists against the scalar functions, over ordinary values
// and every special case their second pass hands back.
TEST(PortableMath, ListsGiveTheScalarBits) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> xs = {0.0, -1.0, inf, nan, 5e-324, 1e-310, 1.0, 0.9921875, 1.0078125, 1e300, 2.0};
  std::mt19937_64 rng(14);
  std::uniform_real_distribution<double> decades(-12.0, 12.0);
  for (int i = 0; i < 1000; ++i) xs.push_back(std::pow(10.0, decades(rng)));
  std::vector<PreciseLog> logs(xs.size());
  precise_logs(xs.data(), xs.size(), logs.data());
  std::vector<double> powers(xs.size());
  for (double y : {0.83, 1.0, 0.5, 0.0, -0.6, 250.0, nan}) {
    powers_from_logs(logs.data(), y, logs.size(), powers.data());
    for (size_t i = 0; i < xs.size(); ++i) {
      const PreciseLog scalar = precise_log(xs[i]);
      ASSERT_TRUE(same_bits(logs[i].hi, scalar.hi) && same_bits(logs[i].lo, scalar.lo)) << xs[i];
      ASSERT_TRUE(same_bits(powers[i], pow_from_log(scalar, y))) << xs[i] << " " << y;
    }
  }
}

TEST(PortableMath, ExactCases) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(portable_pow(10.0, 2.0), 100.0);
  EXPECT_EQ(portable_pow(10.0, -3.0), 0.001);
  EXPECT_EQ(portable_pow(7.3, 1.0), 7.3);
  EXPECT_EQ(portable_pow(2.0, 0.5), std::sqrt(2.0));
  EXPECT_EQ(portable_pow(0.0, 0.8), 0.0);
  EXPECT_EQ(portable_pow(1.0, 123.4), 1.0);
  EXPECT_EQ(portable_pow(10.0, 400.0), inf);
  EXPECT_EQ(portable_exp10(2.0), 100.0);
  EXPECT_EQ(portable_log10(1000.0), 3.0);
  EXPECT_EQ(portable_hypot(3.0, -4.0), 5.0);
  EXPECT_EQ(portable_hypot(0.0, 7.3), 7.3);
  EXPECT_LE(ulps_from(hypotl(1e300L, 1e300L), portable_hypot(1e300, 1e300)), 1.0);
  EXPECT_TRUE(same_bits(portable_sinh_cosh(-0.0).sinh, -0.0));
  EXPECT_EQ(portable_sinh_cosh(800.0).cosh, inf);
  EXPECT_EQ(portable_sincos(0.0).cos, 1.0);
  EXPECT_TRUE(std::isnan(portable_sincos(inf).sin));
  for (double y : {1.0, 0.5, 0.0, -2.5}) {
    for (double x : {0.0, 1.0, 4.0, inf}) EXPECT_TRUE(same_bits(pow_from_log(precise_log(x), y), portable_pow(x, y)));
  }
  EXPECT_LE(ulps_from(expl(709.0L), portable_exp(709.0)), 1.0);  // past the table's range, still in doubles
  EXPECT_EQ(portable_exp(710.0), inf);
  EXPECT_EQ(portable_exp(0.0), 1.0);
  EXPECT_EQ(portable_exp(-inf), 0.0);
  EXPECT_EQ(portable_log(1.0), 0.0);
  EXPECT_EQ(portable_log(0.0), -inf);
  EXPECT_TRUE(std::isnan(portable_log(-1.0)));
  EXPECT_EQ(portable_atan2(1.0, 0.0), std::atan2(1.0, 0.0));
  EXPECT_EQ(portable_atan2(-0.0, -1.0), -std::atan2(0.0, -1.0));
  EXPECT_EQ(portable_atan2(1.0, 1.0), 0.7853981633974483);  // pi/4, exactly as rounded
  // Magnitudes at the ends of the range, which once overflowed the division.
  const double huge = std::numeric_limits<double>::max();
  EXPECT_EQ(portable_atan2(-7.373350122283756e307, 1.2807079892284348), -std::atan2(1.0, 0.0));
  EXPECT_EQ(portable_atan2(1e-300, huge), 0.0);
  EXPECT_EQ(portable_atan2(huge, huge), 0.7853981633974483);
  EXPECT_LE(ulps_from(atan2l(static_cast<long double>(-5e-324), static_cast<long double>(1e-300)), portable_atan2(-5e-324, 1e-300)), 1.0);
  EXPECT_LE(ulps_from(atan2l(static_cast<long double>(3e-310), static_cast<long double>(7e-310)), portable_atan2(3e-310, 7e-310)), 1.0);
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
