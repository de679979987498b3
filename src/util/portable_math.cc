#include "util/portable_math.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "util/vector_clones.h"

namespace kovrant {
namespace {

// A double-double: the unevaluated sum hi + lo.
struct Pair {
  double hi;
  double lo;
};

// a + b exactly (Knuth).
constexpr Pair two_sum(double a, double b) {
  const double s = a + b;
  const double b_virtual = s - a;
  const double a_virtual = s - b_virtual;
  return {s, (a - a_virtual) + (b - b_virtual)};
}

// a * b exactly (Dekker; no fused multiply-add), for |a|, |b| far below 2^996.
constexpr Pair two_product(double a, double b) {
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

// c[0] + z (c[1] + z (c[2] + ...)), innermost first. The loop has a fixed
// trip count, so the compiler unrolls it and loops over lists still vectorise.
template <std::size_t N>
constexpr double horner(double z, const std::array<double, N>& c) {
  double p = c[N - 1];
  for (std::size_t i = N - 1; i-- > 0;) p = p * z + c[i];
  return p;
}

// sign^i / (first + step i)! for i < N: the Taylor coefficients the series
// below use (factorials up to 22! are exact in doubles).
template <std::size_t N>
constexpr std::array<double, N> inverse_factorials(int first, int step, double sign) {
  std::array<double, N> c{};
  double factorial = 1.0;
  int n = 0;
  double term_sign = 1.0;
  for (std::size_t i = 0; i < N; ++i) {
    for (; n < first + step * static_cast<int>(i); ++n) factorial *= n + 1;
    c[i] = term_sign / factorial;
    term_sign *= sign;
  }
  return c;
}

// The series' coefficients past their leading terms, fixed at compile time.
constexpr auto kExpm1Tail = inverse_factorials<14>(3, 1, 1.0);  // 1/3! .. 1/16!
constexpr auto kSinTail = inverse_factorials<9>(5, 2, -1.0);    // 1/5! - 1/7! .. to 1/21!
constexpr auto kCosTail = inverse_factorials<10>(4, 2, -1.0);   // 1/4! - 1/6! .. to 1/22!
constexpr auto kSinhTail = inverse_factorials<8>(5, 2, 1.0);    // 1/5! + 1/7! .. to 1/19!

constexpr double kSaturation = 19.1;
constexpr double kTiny = 0x1p-27;
constexpr double kInvLn2 = 1.4426950408889634;
constexpr double kLn2Hi = 6.93147180369123816490e-01;  // 32 significant bits, so k * kLn2Hi is exact
constexpr double kLn2Lo = 1.90821492927058770002e-10;
constexpr double kShifter = 0x1.8p52;  // adding it rounds to an integer kept in the low mantissa bits

// (e^r - 1 - r - r^2/2) / r^3 for |r| <= ln2/2: the Taylor terms up to r^16,
// whose remainder is below 2^-70 relative to e^r - 1.
constexpr double expm1_tail(double r) {
  return horner(r, kExpm1Tail);
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
constexpr Pair divide(Pair a, Pair b) {
  const double q0 = a.hi / b.hi;
  const Pair q0_b = two_product(q0, b.hi);
  const double remainder = (((a.hi - q0_b.hi) - q0_b.lo) + a.lo) - q0 * b.lo;
  return two_sum(q0, remainder / b.hi);
}

constexpr Pair add(Pair a, Pair b) {
  const Pair s = two_sum(a.hi, b.hi);
  return two_sum(s.hi, (s.lo + a.lo) + b.lo);
}

constexpr double kLn2LoFull = 1.9082149292705877e-10;  // ln 2 - kLn2Hi, to double precision

// e^t for a double-double t with |t.hi| <= ln 2, as a double-double to about
// 2^-100 by the Taylor series; only builds the table below.
constexpr Pair exp_series(Pair t) {
  const double shifted = t.hi * kInvLn2 + kShifter;
  const double k = shifted - kShifter;  // 0 or +-1
  const Pair r = two_sum(t.hi - k * kLn2Hi, t.lo - k * kLn2LoFull);
  const Pair square = two_product(r.hi, r.hi);
  const Pair head = two_sum(r.hi, 0.5 * square.hi);
  const double low = 0.5 * square.lo + (r.hi * square.hi) * expm1_tail(r.hi) + r.lo * (1.0 + r.hi);
  const Pair em1 = two_sum(head.hi, head.lo + low);
  const Pair one_plus = two_sum(1.0, em1.hi);
  const double scale = k == 0.0 ? 1.0 : (k > 0.0 ? 2.0 : 0.5);
  return {one_plus.hi * scale, (one_plus.lo + em1.lo) * scale};
}

// 2^(j/128) for j = 0..127 as double-doubles, folded by the compiler (whose
// constant arithmetic rounds exactly like the machine's).
constexpr int kExpTableBits = 7;
constexpr int kExpTableSize = 1 << kExpTableBits;
constexpr double kTableInvLn2 = kInvLn2 * kExpTableSize;
constexpr double kTableLn2Hi = kLn2Hi / kExpTableSize;  // still 32 significant bits
constexpr double kTableLn2Lo = kLn2LoFull / kExpTableSize;

struct ExpTable {
  Pair entries[kExpTableSize];
};

constexpr ExpTable make_exp_table() {
  ExpTable table{};
  for (int j = 0; j < kExpTableSize; ++j) {
    const Pair e = exp_series({j * kTableLn2Hi, j * kTableLn2Lo});
    table.entries[j] = two_sum(e.hi, e.lo);
  }
  return table;
}

constexpr ExpTable kExpTable = make_exp_table();

// e^t for |t.hi| <= 708 as an unevaluated sum: t = (k/128) ln 2 + r with
// |r| <= ln2/256, e^t = 2^(k/128) (1 + p), p = e^r - 1 by its Taylor series
// to r^6 in doubles (|p| < 0.0028, so its rounding stays below 0.01 ulp of
// the result). Rounding the sum once gives at most 0.51 ulp.
inline Pair exp_parts(Pair t) {
  const double shifted = t.hi * kTableInvLn2 + kShifter;
  const double k = shifted - kShifter;
  const double r = ((t.hi - k * kTableLn2Hi) - k * kTableLn2Lo) + t.lo;
  const double p =
      r + (r * r) * (0.5 + r * (1.0 / 6.0 + r * (1.0 / 24.0 + r * (1.0 / 120.0 + r * (1.0 / 720.0)))));
  const std::int64_t k_int = std::bit_cast<std::int64_t>(shifted) - std::bit_cast<std::int64_t>(kShifter);
  const Pair& entry = kExpTable.entries[k_int & (kExpTableSize - 1)];
  const double scale = std::bit_cast<double>(((k_int >> kExpTableBits) + 1023) << 52);
  return {entry.hi * scale, (entry.hi * p + entry.lo) * scale};
}

// e^t rounded once, over the whole double range: beyond |t| = 708 the
// exponent is moved by 64 ln 2 first and put back by an exact scaling (one
// more rounding for results below the normal range).
double exp_rounded(Pair t) {
  if (std::fabs(t.hi) <= 708.0) {
    const Pair e = exp_parts(t);
    return e.hi + e.lo;
  }
  if (t.hi != t.hi) return t.hi;
  if (t.hi > 710.0) return std::numeric_limits<double>::infinity();
  if (t.hi < -746.0) return 0.0;
  const double sign = t.hi > 0.0 ? 1.0 : -1.0;
  const Pair e = exp_parts({t.hi - sign * (64.0 * kLn2Hi), t.lo - sign * (64.0 * kLn2LoFull)});
  return (e.hi + e.lo) * (t.hi > 0.0 ? 0x1p64 : 0x1p-64);
}

// e^t as a normalised double-double, for |t.hi| <= 708.
inline Pair exp_pair(Pair t) {
  const Pair e = exp_parts(t);
  return two_sum(e.hi, e.lo);
}

constexpr Pair multiply(Pair a, Pair b) {
  const Pair p = two_product(a.hi, b.hi);
  return two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

// ln y for y in [1/2, 2] by 2 atanh((y - 1) / (y + 1)), every term in
// double-doubles (to about 2^-100); only builds the table below.
constexpr Pair log_series(double y) {
  const Pair s = divide({y - 1.0, 0.0}, two_sum(y, 1.0));  // y - 1 is exact here
  const Pair s_square = multiply(s, s);
  Pair power = s, sum = {0.0, 0.0};
  for (int k = 0; k < 40; ++k) {
    sum = add(sum, divide(power, {2.0 * k + 1.0, 0.0}));
    power = multiply(power, s_square);
  }
  return {2.0 * sum.hi, 2.0 * sum.lo};
}

// For f in [1 + j/128, 1 + (j+1)/128): inverse ~ 1/(1 + (j + 1/2)/128),
// rounded to a double, and -ln(inverse), so that ln f = ln(f inverse) -
// ln(inverse) with f inverse within 1/256 of 1.
struct LogEntry {
  double inverse;
  Pair minus_log_inverse;
};

constexpr int kLogTableBits = 7;
constexpr int kLogTableSize = 1 << kLogTableBits;

struct LogTable {
  LogEntry entries[kLogTableSize];
};

constexpr LogTable make_log_table() {
  LogTable table{};
  for (int j = 0; j < kLogTableSize; ++j) {
    const double inverse = 1.0 / (1.0 + (j + 0.5) / kLogTableSize);
    const Pair log_inverse = log_series(inverse);
    table.entries[j] = {inverse, {-log_inverse.hi, -log_inverse.lo}};
  }
  return table;
}

constexpr LogTable kLogTable = make_log_table();

// ln(1 + r) for a double-double |r| <= 1/128: r - r^2/2 in double-doubles,
// r^3 (1/3 - r/4 + ...) to r^12 in doubles.
inline Pair log1p_small(Pair r) {
  const double z = r.hi;
  constexpr std::array<double, 10> kCoefficients = {1.0 / 3.0,  -1.0 / 4.0, 1.0 / 5.0,  -1.0 / 6.0, 1.0 / 7.0,
                                                     -1.0 / 8.0, 1.0 / 9.0,  -1.0 / 10.0, 1.0 / 11.0, -1.0 / 12.0};
  const double rest = horner(z, kCoefficients);
  const Pair square = two_product(z, z);
  const Pair head = two_sum(z, -0.5 * square.hi);
  const double low = ((head.lo - 0.5 * square.lo) + (z * square.hi) * rest) + r.lo * (1.0 - z);
  return two_sum(head.hi, low);
}

// a where `pick`, else b, through bit masks: both sides are computed, so a
// loop over a list stays free of branches and vectorises (the compiler may
// not run floating-point work speculatively to if-convert a plain ?:).
inline double select(bool pick, double a, double b) {
  const std::uint64_t mask = -static_cast<std::uint64_t>(pick);
  return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & mask) | (std::bit_cast<std::uint64_t>(b) & ~mask));
}

// ln(2^extra x) for a normal x > 0 as a double-double (to about 2^-66
// relative, 2^-90 away from 1): near 1 the series of ln(1 + r) with r = x - 1
// exactly, else x = 2^m f and ln f from the table entry of f's leading
// mantissa bits. Both cases are computed and one is selected, which keeps
// the loop of precise_logs() free of branches.
inline Pair log_of_normal(double x, int extra) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const bool near_one = (x >= 0.9921875) & (x <= 1.0078125);
  const double f = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFULL) | 0x3FF0000000000000ULL);  // in [1, 2)
  const LogEntry& entry = kLogTable.entries[(bits >> (52 - kLogTableBits)) & (kLogTableSize - 1)];
  const Pair product = two_product(f, entry.inverse);
  const Pair r_table = two_sum(product.hi - 1.0, product.lo);  // product.hi - 1 is exact
  const Pair r = {select(near_one, x - 1.0, r_table.hi), select(near_one, 0.0, r_table.lo)};  // x - 1 is exact near 1
  const double m = select(near_one, 0.0, static_cast<double>(static_cast<int>(bits >> 52) - 1023 + extra));
  const Pair minus_log_inverse = {select(near_one, 0.0, entry.minus_log_inverse.hi),
                                  select(near_one, 0.0, entry.minus_log_inverse.lo)};
  return add(add({m * kLn2Hi, m * kLn2LoFull}, minus_log_inverse), log1p_small(r));
}

// ln x for finite x > 0 as a double-double.
Pair log_pair(double x) {
  if (x < std::numeric_limits<double>::min()) return log_of_normal(x * 0x1p54, -54);
  return log_of_normal(x, 0);
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
constexpr Pair kLn10Pair = {2.302585092994046, -2.1707562233822494e-16};

// e^(y ln x) from ln x as a double-double, for finite x > 0 and finite y.
double pow_core(Pair log_x, double y) {
  const double t_hi = y * log_x.hi;
  if (!(std::fabs(t_hi) <= 1000.0)) return t_hi > 0.0 ? std::numeric_limits<double>::infinity() : 0.0;
  const Pair p = two_product(y, log_x.hi);
  return exp_rounded(two_sum(p.hi, p.lo + y * log_x.lo));
}

// The bits of 2/pi after the binary point, most significant first, behind
// one zero word: enough for the reduction of any finite double.
constexpr std::uint64_t kTwoOverPiBits[] = {
    0x0000000000000000, 0xA2F9836E4E441529, 0xFC2757D1F534DDC0, 0xDB6295993C439041, 0xFE5163ABDEBBC561,
    0xB7246E3A424DD2E0, 0x06492EEA09D1921C, 0xFE1DEB1CB129A73E, 0xE88235F52EBB4484, 0xE99C7026B45F7E41,
    0x3991D639835339F4, 0x9C845F8BBDF9283B, 0x1FF897FFDE05980F, 0xEF2F118B5A0A6D1F, 0x6D367ECF27CB09B7,
    0x4F463F669E5FEA2D, 0x7527BAC7EBE5F17B, 0x3D0739F78A5292EA, 0x6BFB5FB11F8D5D08, 0x56033046FC7B6BAB,
    0xF0CFBC209AF4361D, 0xA9E391615EE61B08, 0x6599855F14A06840};

// 64 bits of the stream above starting at bit n (bit 0 = the top of word 0).
std::uint64_t two_over_pi_window(int n) {
  const int word = n >> 6, shift = n & 63;
  if (shift == 0) return kTwoOverPiBits[word];
  return (kTwoOverPiBits[word] << shift) | (kTwoOverPiBits[word + 1] >> (64 - shift));
}

// x reduced by multiples of pi/2: x = q pi/2 + r with |r| <= pi/4 (a hair
// more in the fast path), q modulo 4.
struct Reduced {
  int quadrant;
  Pair r;
};

// The fast path, |x| < 2^19: pi/2 as three 33-bit parts and a fourth, so
// that k times each of the first three is exact for k < 2^19 and x - k P1 is
// exact as well (Sterbenz); the rest is carried as a double-double.
Reduced reduce_medium(double x) {
  constexpr double kTwoOverPi = 0.6366197723675814;
  constexpr double kHalfPi1 = 1.5707963267341256, kHalfPi2 = 6.077100506303966e-11,
                   kHalfPi3 = 2.0222662487111665e-21, kHalfPi4 = 8.4784276603689e-32;
  const double shifted = x * kTwoOverPi + kShifter;
  const double k = shifted - kShifter;
  const Pair s = two_sum(x - k * kHalfPi1, -(k * kHalfPi2));
  const Pair t = two_sum(s.hi, -(k * kHalfPi3));
  const Pair r = two_sum(t.hi, (s.lo + t.lo) - k * kHalfPi4);
  const auto k_int = std::bit_cast<std::int64_t>(shifted) - std::bit_cast<std::int64_t>(kShifter);
  return {static_cast<int>(k_int & 3), r};
}

// Payne-Hanek: x = m 2^e exactly; m times a 192-bit window of 2/pi that
// starts where the product's bits stop mattering modulo 4 gives the
// quadrant and a fraction accurate to far more than the closest approach
// of any double to a multiple of pi/2 (about 2^-61 relative) needs.
Reduced reduce_large(double x) {
  int exponent = 0;
  const double mantissa = std::frexp(std::fabs(x), &exponent);  // in [0.5, 1)
  const auto m = static_cast<std::uint64_t>(std::ldexp(mantissa, 53));
  const int e = exponent - 53;       // |x| = m 2^e
  const int first_bit = e - 1 + 63;  // bit b_i of 2/pi sits at i + 63; those with e - i >= 2 only add multiples of 4
  using Wide = unsigned __int128;
  const Wide low = static_cast<Wide>(m) * two_over_pi_window(first_bit + 128);
  const Wide mid = static_cast<Wide>(m) * two_over_pi_window(first_bit + 64) + (low >> 64);
  const Wide high = static_cast<Wide>(m) * two_over_pi_window(first_bit) + (mid >> 64);
  // The product's binary point lies 190 bits up: bits 190 and 191 are the
  // quadrant, the 190 below the fraction (shifted up by 2 to fill 192 bits).
  const auto h = static_cast<std::uint64_t>(high), md = static_cast<std::uint64_t>(mid),
             lw = static_cast<std::uint64_t>(low);
  int quadrant = static_cast<int>(h >> 62);
  std::uint64_t f2 = (h << 2) | (md >> 62), f1 = (md << 2) | (lw >> 62), f0 = lw << 2;
  bool negative = false;
  if (f2 >> 63) {  // fraction >= 1/2: take the next quadrant and the negated remainder
    quadrant = (quadrant + 1) & 3;
    negative = true;
    f2 = ~f2, f1 = ~f1, f0 = ~f0;  // 2^192 - f = ~f + 1, the +1 below the precision kept
  }
  // Normalise the 192-bit fraction so its top bit is set, keeping 128 bits.
  int shift = 0;
  while (f2 == 0 && shift < 128) f2 = f1, f1 = f0, f0 = 0, shift += 64;
  const int lead = std::countl_zero(f2);
  if (lead > 0 && lead < 64) {
    f2 = (f2 << lead) | (f1 >> (64 - lead));
    f1 = (f1 << lead) | (f0 >> (64 - lead));
  }
  shift += lead;
  // fraction = f2 2^(-64 - shift) + f1 2^(-128 - shift), as a double-double.
  const auto top = static_cast<double>(f2 >> 11);  // 53 bits, exact
  const auto rest = static_cast<double>((f2 << 53) | (f1 >> 11));
  const Pair fraction = two_sum(std::ldexp(top, -53 - shift), std::ldexp(rest, -117 - shift));
  const Pair product = two_product(fraction.hi, kHalfPiPair.hi);
  Pair r = two_sum(product.hi, product.lo + (fraction.hi * kHalfPiPair.lo + fraction.lo * kHalfPiPair.hi));
  if (negative) r = {-r.hi, -r.lo};
  if (std::signbit(x)) return {(4 - quadrant) & 3, {-r.hi, -r.lo}};
  return {quadrant, r};
}

// t^3 rounded, and t^3 / 6 as a double-double: the second term of the sine
// and sinh series, which must be carried beyond double precision.
struct Cube {
  double cube;
  Pair sixth;
};

inline Cube cube_over_six(double t) {
  constexpr double kSixthLo = 9.25185853854297e-18;  // 1/6 - (double)(1/6)
  const Pair square = two_product(t, t);
  const Pair cube = two_product(t, square.hi);
  const Pair sixth = two_product(cube.hi, 1.0 / 6.0);
  return {cube.hi, {sixth.hi, sixth.lo + (cube.lo + t * square.lo) / 6.0 + cube.hi * kSixthLo}};
}

// sin r for |r| <= pi/4 + a hair: r - r^3/6 in double-double, the rest of
// the series (to r^21) in doubles.
double sin_kernel(Pair r) {
  const double z = r.hi * r.hi;
  const double rest = horner(z, kSinTail);  // (sin r - r + r^3/6) / r^5
  const Cube cube = cube_over_six(r.hi);
  const Pair head = two_sum(r.hi, -cube.sixth.hi);
  return head.hi + (((head.lo - cube.sixth.lo) + (cube.cube * z) * rest) + r.lo * (1.0 - 0.5 * z));
}

// cos r for |r| <= pi/4 + a hair: 1 - r^2/2 in double-double, the rest (to r^22) in doubles.
double cos_kernel(Pair r) {
  const Pair square = two_product(r.hi, r.hi);
  const double z = square.hi;
  const double rest = horner(z, kCosTail);  // (cos r - 1 + r^2/2) / r^4
  const Pair head = two_sum(1.0, -0.5 * square.hi);
  return head.hi + (((head.lo - 0.5 * square.lo) + (z * z) * rest) - r.hi * r.lo);
}

// sinh t for 2^-27 <= |t| < 1/2: t + t^3/6 in double-double, the rest (to t^19) in doubles.
double sinh_series(double t) {
  const double rest = horner(t * t, kSinhTail);  // (sinh t - t - t^3/6) / t^5
  const Cube cube = cube_over_six(t);
  const Pair head = two_sum(t, cube.sixth.hi);
  return head.hi + ((head.lo + cube.sixth.lo) + (cube.cube * (t * t)) * rest);
}

}  // namespace

KOVRANT_WIDE_VECTOR_CLONES
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

// Zeros, infinities and NaNs take the C library's exactly specified values.
double portable_exp(double x) { return exp_rounded({x, 0.0}); }

double portable_log(double x) {
  if (!(x > 0.0) || std::isinf(x)) return std::log(x);
  const Pair l = log_pair(x);
  return l.hi + l.lo;
}

double portable_log10(double x) {
  if (!(x > 0.0) || std::isinf(x)) return std::log10(x);
  const Pair l = divide(log_pair(x), kLn10Pair);
  return l.hi + l.lo;
}

double portable_exp10(double x) {
  if (!std::isfinite(x)) return std::pow(10.0, x);
  return pow_core(kLn10Pair, x);
}

static bool pow_needs_special_case(double x, double y) {
  return y == 1.0 || y == 0.5 || y == 0.0 || !(x > 0.0) || std::isinf(x) || !std::isfinite(y) || x == 1.0;
}

double portable_pow(double x, double y) {
  if (y == 1.0) return x;
  if (y == 0.5 && x > 0.0) return std::sqrt(x);
  if (pow_needs_special_case(x, y)) return std::pow(x, y);
  return pow_core(log_pair(x), y);
}

PreciseLog precise_log(double x) {
  if (!(x > 0.0) || std::isinf(x)) return {x, std::log(x), 0.0};
  const Pair l = log_pair(x);
  return {x, l.hi, l.lo};
}

double pow_from_log(const PreciseLog& log_x, double y) {
  if (pow_needs_special_case(log_x.x, y)) return portable_pow(log_x.x, y);
  return pow_core({log_x.hi, log_x.lo}, y);
}

// Two passes: the common case for every point, in a loop free of branches
// that the AVX2 clone vectorises, then, only if some point needs it,
// pow_from_log itself wherever the common case does not apply (same bits
// either way).
KOVRANT_WIDE_VECTOR_CLONES
void powers_from_logs(const PreciseLog* logs, double y, std::size_t count, double* out) {
  if (pow_needs_special_case(2.0, y)) {  // an exponent the common case never handles
    for (std::size_t i = 0; i < count; ++i) out[i] = pow_from_log(logs[i], y);
    return;
  }
  unsigned any_special = 0;  // an integer reduction, which vectorises
  for (std::size_t i = 0; i < count; ++i) {
    const double x = logs[i].x;
    const Pair p = two_product(y, logs[i].hi);
    const Pair e = exp_parts(two_sum(p.hi, p.lo + y * logs[i].lo));
    out[i] = e.hi + e.lo;
    any_special |= !(x > 0.0) | (x == std::numeric_limits<double>::infinity()) | (x == 1.0) |
                   !(std::fabs(p.hi) <= 707.0);
  }
  if (!any_special) return;
  for (std::size_t i = 0; i < count; ++i) {
    if (pow_needs_special_case(logs[i].x, y) || !(std::fabs(y * logs[i].hi) <= 707.0)) {
      out[i] = pow_from_log(logs[i], y);
    }
  }
}

KOVRANT_WIDE_VECTOR_CLONES
void precise_logs(const double* xs, std::size_t count, PreciseLog* out) {
  unsigned any_special = 0;  // an integer reduction, which vectorises
  for (std::size_t i = 0; i < count; ++i) {
    const double x = xs[i];
    const Pair l = log_of_normal(x, 0);
    out[i] = {x, l.hi, l.lo};
    any_special |= !(x >= std::numeric_limits<double>::min()) | (x == std::numeric_limits<double>::infinity());
  }
  if (!any_special) return;
  for (std::size_t i = 0; i < count; ++i) {
    if (!(xs[i] >= std::numeric_limits<double>::min()) || std::isinf(xs[i])) out[i] = precise_log(xs[i]);
  }
}

SinCos portable_sincos(double x) {
  if (!std::isfinite(x)) return {x - x, x - x};
  if (std::fabs(x) < 0x1p-27) return {x, 1.0};
  Reduced reduced{0, {x, 0.0}};
  if (std::fabs(x) > 0.7853981633974483) reduced = std::fabs(x) < 0x1p19 ? reduce_medium(x) : reduce_large(x);
  const double s = sin_kernel(reduced.r), c = cos_kernel(reduced.r);
  switch (reduced.quadrant) {
    case 0:
      return {s, c};
    case 1:
      return {c, -s};
    case 2:
      return {-s, -c};
    default:
      return {-c, s};
  }
}

SinhCosh portable_sinh_cosh(double x) {
  const double a = std::fabs(x);
  if (!(a < 22.0)) {  // e^-|x| no longer reaches the last bit; NaN too
    const double half_e = exp_rounded({a - kLn2Hi, -kLn2LoFull});
    return {std::copysign(half_e, x), half_e};
  }
  const Pair e = exp_pair({a, 0.0});
  const Pair inverse = exp_pair({-a, 0.0});
  const Pair sum = add(e, inverse);
  const double cosh = 0.5 * (sum.hi + sum.lo);
  if (a < 0x1p-27) return {x, cosh};
  if (a < 0.5) return {sinh_series(x), cosh};
  const Pair difference = add(e, {-inverse.hi, -inverse.lo});
  return {std::copysign(0.5 * (difference.hi + difference.lo), x), cosh};
}

double portable_hypot(double x, double y) {
  if (std::isinf(x) || std::isinf(y)) return std::numeric_limits<double>::infinity();
  if (x != x || y != y) return x + y;
  const double larger = std::fmax(std::fabs(x), std::fabs(y));
  if (larger == 0.0) return 0.0;
  int exponent = 0;
  std::frexp(larger, &exponent);
  const double a = std::ldexp(std::fabs(x), -exponent), b = std::ldexp(std::fabs(y), -exponent);
  const Pair sum = add(two_product(a, a), two_product(b, b));
  const double root = std::sqrt(sum.hi);
  const Pair root_square = two_product(root, root);
  const double correction = (((sum.hi - root_square.hi) - root_square.lo) + sum.lo) / (2.0 * root);
  return std::ldexp(root + correction, exponent);
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
