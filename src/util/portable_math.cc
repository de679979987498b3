#include "util/portable_math.h"

#include <algorithm>
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
// throughout, so that the one final rounding dominates the error. The work
// is cut into four stages whose dependency chains are short enough for the
// CPU to overlap many values when tanh_in_place() runs each stage over a
// whole chunk; tanh_of() chains them for one value, with the same operations.

// Stage 1: -2 min(|x|, kSaturation) = k ln2 + r, |r| <= ln2/2, r carried as
// r_hi + r_lo; `shifted` holds k in its low mantissa bits.
struct TanhReduced {
  double r_hi;
  double r_lo;
  double shifted;
};

inline TanhReduced tanh_reduce(double x) {
  const double magnitude_x = std::fabs(x);
  const double a = magnitude_x < kSaturation ? magnitude_x : kSaturation;  // NaN too; restored in tanh_finish
  const double t = -2.0 * a;
  const double shifted = t * kInvLn2 + kShifter;
  const double k = shifted - kShifter;
  const Pair r = two_sum(t - k * kLn2Hi, -(k * kLn2Lo));
  return {r.hi, r.lo, shifted};
}

// Stage 2 is expm1_tail(r_hi). Stage 3: E = e^t - 1 and the denominator 2 + E.
struct TanhFraction {
  Pair big_e;
  Pair denominator;
};

inline TanhFraction tanh_fraction(const TanhReduced& reduced, double tail) {
  // e^r - 1 = r + r^2/2 + r^3 tail(r), plus r_lo (1 + r) for the low part of r.
  const double r_hi = reduced.r_hi;
  const Pair square = two_product(r_hi, r_hi);
  const Pair head = two_sum(r_hi, 0.5 * square.hi);
  const double low = 0.5 * square.lo + (r_hi * square.hi) * tail + reduced.r_lo * (1.0 + r_hi);
  const Pair em1 = two_sum(head.hi, head.lo + low);

  // e^t = 2^k (1 + em1); 2^k from k's bits in `shifted`.
  const std::int64_t k_bits = std::bit_cast<std::int64_t>(reduced.shifted) << 52;
  const double scale = std::bit_cast<double>(k_bits + std::bit_cast<std::int64_t>(1.0));
  const Pair one_plus = two_sum(1.0, em1.hi);
  const Pair e_t = {one_plus.hi * scale, (one_plus.lo + em1.lo) * scale};

  const Pair e_minus = two_sum(e_t.hi, -1.0);
  const Pair big_e = {e_minus.hi, e_minus.lo + e_t.lo};
  const Pair denominator_sum = two_sum(2.0, big_e.hi);
  return {big_e, {denominator_sum.hi, denominator_sum.lo + big_e.lo}};
}

// Stage 4: -E / (2 + E) with one correction of the quotient, then the
// exact cases and the sign of x.
inline double tanh_finish(double x, const TanhFraction& fraction) {
  const Pair& big_e = fraction.big_e;
  const Pair& denominator = fraction.denominator;
  const double q0 = -big_e.hi / denominator.hi;
  const Pair q0_d = two_product(q0, denominator.hi);
  const double remainder = (((-big_e.hi - q0_d.hi) - q0_d.lo) - big_e.lo) - q0 * denominator.lo;
  const double quotient = q0 + remainder / denominator.hi;

  const double magnitude_x = std::fabs(x);
  double result = magnitude_x < kTiny ? magnitude_x : quotient;
  result = magnitude_x >= kSaturation ? 1.0 : result;
  result = x != x ? x : std::copysign(result, x);
  return result;
}

inline double tanh_of(double x) {
  const TanhReduced reduced = tanh_reduce(x);
  return tanh_finish(x, tanh_fraction(reduced, expm1_tail(reduced.r_hi)));
}

// a / b for double-doubles, to about 2^-100 relative.
inline Pair divide(Pair a, Pair b) {
  const double q0 = a.hi / b.hi;
  const Pair q0_b = two_product(q0, b.hi);
  const double remainder = (((a.hi - q0_b.hi) - q0_b.lo) + a.lo) - q0 * b.lo;
  return two_sum(q0, remainder / b.hi);
}

inline Pair add(Pair a, Pair b) {
  const Pair s = two_sum(a.hi, b.hi);
  return two_sum(s.hi, (s.lo + a.lo) + b.lo);
}

constexpr Pair kTwoThirds = {0.6666666666666666, 3.700743415417188e-17};
constexpr double kLn2LoFull = 1.9082149292705877e-10;  // ln 2 - kLn2Hi, to double precision

// e^t for a double-double t with |t.hi| <= 708, as a double-double.
Pair exp_pair(Pair t) {
  const double shifted = t.hi * kInvLn2 + kShifter;
  const double k = shifted - kShifter;
  const Pair r = two_sum(t.hi - k * kLn2Hi, t.lo - k * kLn2LoFull);
  const Pair square = two_product(r.hi, r.hi);
  const Pair head = two_sum(r.hi, 0.5 * square.hi);
  const double low = 0.5 * square.lo + (r.hi * square.hi) * expm1_tail(r.hi) + r.lo * (1.0 + r.hi);
  const Pair em1 = two_sum(head.hi, head.lo + low);
  const Pair one_plus = two_sum(1.0, em1.hi);
  const double scale = std::ldexp(1.0, static_cast<int>(k));  // exact: |k| <= 1022
  return {one_plus.hi * scale, (one_plus.lo + em1.lo) * scale};
}

// ln x for finite x > 0 as a double-double: x = 2^m f with f in [1/sqrt2, sqrt2),
// ln f = 2 atanh(s), s = (f - 1) / (f + 1), |s| <= 0.172.
Pair log_pair(double x) {
  int m = 0;
  double f = std::frexp(x, &m);  // f in [0.5, 1)
  if (f < 0.7071067811865476) {
    f *= 2.0;
    m -= 1;
  }
  const Pair s = divide({f - 1.0, 0.0}, two_sum(f, 1.0));
  const Pair s_square = two_product(s.hi, s.hi);
  const double z = s_square.hi;
  // ln f = 2s + s^3 (2/3 + z (2/5 + 2/7 z + ...)); the 2/3 and s^3 carried as
  // double-doubles, the rest (below 1/50 of the tail) in doubles.
  double rest = 2.0 / 27;
  for (int i = 12; i >= 3; --i) rest = rest * z + 2.0 / (2 * i + 1);
  rest = rest * z + 2.0 / 5;
  const Pair q = two_sum(kTwoThirds.hi, rest * z + kTwoThirds.lo);
  const Pair cube = two_product(s.hi, s_square.hi);
  const Pair s_cubed = {cube.hi, cube.lo + s.hi * s_square.lo + 3.0 * s_square.hi * s.lo};
  const Pair tail = two_product(s_cubed.hi, q.hi);
  const Pair ln_f = add({2.0 * s.hi, 2.0 * s.lo}, {tail.hi, tail.lo + s_cubed.hi * q.lo + s_cubed.lo * q.hi});
  const double md = static_cast<double>(m);
  return add({md * kLn2Hi, md * kLn2LoFull}, ln_f);
}

// atan t for t in [0, 1] as a double-double: atan t = atan c + atan u with
// c the nearest multiple of 1/8 and u = (t - c) / (1 + t c), |u| <= 1/16.
Pair atan_pair(Pair t) {
  static constexpr Pair kAtanEighths[] = {
      {0.0, 0.0},
      {0.12435499454676144, -3.1253241424539383e-18},
      {0.24497866312686414, 1.0698755618734451e-17},
      {0.35877067027057225, -2.4623815582638635e-17},
      {0.4636476090008061, 2.2698777452961687e-17},
      {0.5585993153435624, -5.4556305485916264e-18},
      {0.6435011087932844, 1.5834785051444286e-17},
      {0.7188299996216245, -2.1478388444456983e-17},
      {0.7853981633974483, 3.061616997868383e-17},
  };
  const int index = static_cast<int>(t.hi * 8.0 + 0.5);
  const double c = index / 8.0;
  const Pair tc = two_product(t.hi, c);
  const Pair u = divide(add(t, {-c, 0.0}), add({1.0, 0.0}, {tc.hi, tc.lo + t.lo * c}));
  const double z = u.hi * u.hi;
  double q = -1.0 / 23;  // (-1)^i / (2i + 1), Horner in u^2 from u^22 down
  for (int i = 10; i >= 1; --i) q = q * z + ((i % 2 == 0) ? 1.0 : -1.0) / (2 * i + 1);
  return add(kAtanEighths[index], add(u, {(u.hi * z) * q, 0.0}));
}

constexpr Pair kHalfPiPair = {1.5707963267948966, 6.123233995736766e-17};
constexpr Pair kPiPair = {3.141592653589793, 1.2246467991473532e-16};

}  // namespace

KOVRANT_VECTOR_CLONES
void tanh_in_place(std::span<double> values) {
  // Stage by stage over chunks that stay in the L1 cache, one array per
  // field so that each stage vectorises.
  constexpr std::size_t kChunk = 128;
  double r_hi[kChunk], r_lo[kChunk], shifted[kChunk], tail[kChunk];
  double e_hi[kChunk], e_lo[kChunk], d_hi[kChunk], d_lo[kChunk];
  for (std::size_t start = 0; start < values.size(); start += kChunk) {
    const std::size_t count = std::min(kChunk, values.size() - start);
    double* v = values.data() + start;
    for (std::size_t i = 0; i < count; ++i) {
      const TanhReduced reduced = tanh_reduce(v[i]);
      r_hi[i] = reduced.r_hi, r_lo[i] = reduced.r_lo, shifted[i] = reduced.shifted;
    }
    for (std::size_t i = 0; i < count; ++i) tail[i] = expm1_tail(r_hi[i]);
    for (std::size_t i = 0; i < count; ++i) {
      const TanhFraction fraction = tanh_fraction({r_hi[i], r_lo[i], shifted[i]}, tail[i]);
      e_hi[i] = fraction.big_e.hi, e_lo[i] = fraction.big_e.lo;
      d_hi[i] = fraction.denominator.hi, d_lo[i] = fraction.denominator.lo;
    }
    for (std::size_t i = 0; i < count; ++i) v[i] = tanh_finish(v[i], {{e_hi[i], e_lo[i]}, {d_hi[i], d_lo[i]}});
  }
}

double portable_tanh(double x) { return tanh_of(x); }

// Zeros, infinities, NaNs and results beyond the double range go to the C
// library: its answers there are exact values, the same on every CPU.
double portable_exp(double x) {
  if (!(std::fabs(x) <= 708.0)) return std::exp(x);
  const Pair e = exp_pair({x, 0.0});
  return e.hi + e.lo;
}

double portable_log(double x) {
  if (!(x > 0.0) || std::isinf(x)) return std::log(x);
  const Pair l = log_pair(x);
  return l.hi + l.lo;
}

double portable_pow(double x, double y) {
  if (y == 1.0) return x;
  if (y == 0.5 && x > 0.0) return std::sqrt(x);
  if (!(x > 0.0) || std::isinf(x) || !std::isfinite(y) || y == 0.0 || x == 1.0) return std::pow(x, y);
  const Pair l = log_pair(x);
  const Pair p = two_product(y, l.hi);
  const Pair t = two_sum(p.hi, p.lo + y * l.lo);
  if (!(std::fabs(t.hi) <= 708.0)) return std::pow(x, y);
  const Pair e = exp_pair(t);
  return e.hi + e.lo;
}

double portable_atan2(double y, double x) {
  if (y == 0.0 || x == 0.0 || !std::isfinite(x) || !std::isfinite(y)) return std::atan2(y, x);
  // Only the ratio matters: scaling both by a power of two (exact) keeps the
  // double-double division away from overflow in its splitting, whatever
  // the magnitudes; a ratio below the normal range rounds towards zero,
  // where atan(t) = t anyway.
  int exponent = 0;
  std::frexp(std::fmax(std::fabs(y), std::fabs(x)), &exponent);
  const double ay = std::ldexp(std::fabs(y), -exponent), ax = std::ldexp(std::fabs(x), -exponent);
  const bool steep = ay > ax;
  const Pair ratio = steep ? divide({ax, 0.0}, {ay, 0.0}) : divide({ay, 0.0}, {ax, 0.0});
  Pair angle = atan_pair(ratio);  // in [0, pi/4]
  if (steep) angle = add(kHalfPiPair, {-angle.hi, -angle.lo});
  if (x < 0.0) angle = add(kPiPair, {-angle.hi, -angle.lo});
  const double magnitude = angle.hi + angle.lo;
  return std::signbit(y) ? -magnitude : magnitude;
}

}  // namespace kovrant
