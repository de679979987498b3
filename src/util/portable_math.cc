#include "util/portable_math.h"

#include <bit>
#include <cmath>
#include <cstdint>

#include "util/vector_clones.h"

namespace kovrant {
namespace {

// A double-double: the unevaluated sum hi + lo.
struct Pair {
  double hi;
  double lo;
};

// a + b exactly (Knuth).
inline Pair two_sum(double a, double b) {
  const double s = a + b;
  const double b_virtual = s - a;
  const double a_virtual = s - b_virtual;
  return {s, (a - a_virtual) + (b - b_virtual)};
}

// a * b exactly (Dekker; no fused multiply-add), for |a|, |b| far below 2^996.
inline Pair two_product(double a, double b) {
  constexpr double kSplitter = 134217729.0;  // 2^27 + 1
  const double ca = kSplitter * a;
  const double a_hi = ca - (ca - a);
  const double a_lo = a - a_hi;
  const double cb = kSplitter * b;
  const double b_hi = cb - (cb - b);
  const double b_lo = b - b_hi;
  const double p = a * b;
  return {p, ((a_hi * b_hi - p) + a_hi * b_lo + a_lo * b_hi) + a_lo * b_lo};
}

constexpr double kSaturation = 19.1;
constexpr double kTiny = 0x1p-27;
constexpr double kInvLn2 = 1.4426950408889634;
constexpr double kLn2Hi = 6.93147180369123816490e-01;  // 32 significant bits, so k * kLn2Hi is exact
constexpr double kLn2Lo = 1.90821492927058770002e-10;
constexpr double kShifter = 0x1.8p52;  // adding it rounds to an integer kept in the low mantissa bits

// (e^r - 1 - r - r^2/2) / r^3 for |r| <= ln2/2: the Taylor terms up to r^16,
// whose remainder is below 2^-70 relative to e^r - 1.
inline double expm1_tail(double r) {
  double p = 1.0 / 20922789888000.0;  // 1/16!
  p = p * r + 1.0 / 1307674368000.0;
  p = p * r + 1.0 / 87178291200.0;
  p = p * r + 1.0 / 6227020800.0;
  p = p * r + 1.0 / 479001600.0;
  p = p * r + 1.0 / 39916800.0;
  p = p * r + 1.0 / 3628800.0;
  p = p * r + 1.0 / 362880.0;
  p = p * r + 1.0 / 40320.0;
  p = p * r + 1.0 / 5040.0;
  p = p * r + 1.0 / 720.0;
  p = p * r + 1.0 / 120.0;
  p = p * r + 1.0 / 24.0;
  return p * r + 1.0 / 6.0;
}

// tanh(|x|) = -E / (2 + E) with E = e^(-2|x|) - 1 carried as a double-double
// throughout, so that the one final rounding dominates the error.
inline double tanh_of(double x) {
  const double magnitude_x = std::fabs(x);
  const double a = magnitude_x < kSaturation ? magnitude_x : kSaturation;  // NaN too; restored below
  const double t = -2.0 * a;

  // t = k ln2 + r, |r| <= ln2/2, r carried as r_hi + r_lo.
  const double shifted = t * kInvLn2 + kShifter;
  const double k = shifted - kShifter;
  const Pair r = two_sum(t - k * kLn2Hi, -(k * kLn2Lo));

  // e^r - 1 = r + r^2/2 + r^3 tail(r), plus r_lo (1 + r) for the low part of r.
  const Pair square = two_product(r.hi, r.hi);
  const Pair head = two_sum(r.hi, 0.5 * square.hi);
  const double low = 0.5 * square.lo + (r.hi * square.hi) * expm1_tail(r.hi) + r.lo * (1.0 + r.hi);
  const Pair em1 = two_sum(head.hi, head.lo + low);

  // e^t = 2^k (1 + em1); 2^k from k's bits in `shifted`.
  const std::int64_t k_bits = std::bit_cast<std::int64_t>(shifted) << 52;
  const double scale = std::bit_cast<double>(k_bits + std::bit_cast<std::int64_t>(1.0));
  const Pair one_plus = two_sum(1.0, em1.hi);
  const Pair e_t = {one_plus.hi * scale, (one_plus.lo + em1.lo) * scale};

  // E = e^t - 1, then -E / (2 + E) with one correction of the quotient.
  const Pair e_minus = two_sum(e_t.hi, -1.0);
  const Pair big_e = {e_minus.hi, e_minus.lo + e_t.lo};
  const Pair denominator_sum = two_sum(2.0, big_e.hi);
  const Pair denominator = {denominator_sum.hi, denominator_sum.lo + big_e.lo};
  const double q0 = -big_e.hi / denominator.hi;
  const Pair q0_d = two_product(q0, denominator.hi);
  const double remainder = (((-big_e.hi - q0_d.hi) - q0_d.lo) - big_e.lo) - q0 * denominator.lo;
  const double quotient = q0 + remainder / denominator.hi;

  double result = magnitude_x < kTiny ? magnitude_x : quotient;
  result = magnitude_x >= kSaturation ? 1.0 : result;
  result = x != x ? x : std::copysign(result, x);
  return result;
}

}  // namespace

KOVRANT_VECTOR_CLONES
void tanh_in_place(std::span<double> values) {
  for (double& value : values) value = tanh_of(value);
}

double portable_tanh(double x) { return tanh_of(x); }

}  // namespace kovrant
