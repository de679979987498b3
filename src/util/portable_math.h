// Transcendental functions that give the same bits on every x86-64 CPU.
//
// Contract: tanh_in_place() replaces each value by its hyperbolic tangent,
// within 1 ulp of the correctly rounded result (checked against mpmath by
// bench/check_portable_math.py, like the scalar functions below). They use only additions, multiplications,
// divisions and bit operations, evaluated in the order written (the build
// turns off contraction into fused multiply-adds), so no choice the C library
// or the CPU makes at load time can change a result. Exact cases: tanh(+-0)
// is +-0, |x| < 2^-27 gives x, |x| >= 19.1 gives +-1 (tanh rounds to 1 from
// 19.06 on), NaN stays NaN.
#pragma once

#include <cstddef>
#include <span>

namespace kovrant {

void tanh_in_place(std::span<double> values);

// One value, through the same code as tanh_in_place.
double portable_tanh(double x);

// e^x, ln x, log10 x, 10^x, x^y, the angle of (x, y), sin and cos, sinh and
// cosh, and the length of (x, y), each within 1 ulp, from double-double
// arithmetic rounded once. Exact cases: pow(x, 1) = x, pow(x, 0.5) = sqrt(x),
// pow(x, 0) = pow(1, y) = 1, sin and cos of |x| < 2^-27 are x and 1, sinh of
// |x| < 2^-27 is x; zeros, infinities and NaNs take the C library's exactly
// specified values. Results below the normal range may round twice.
double portable_exp(double x);
double portable_log(double x);
double portable_log10(double x);
double portable_exp10(double x);
double portable_pow(double x, double y);
double portable_atan2(double y, double x);
double portable_hypot(double x, double y);

struct SinCos {
  double sin;
  double cos;
};
SinCos portable_sincos(double x);

struct SinhCosh {
  double sinh;
  double cosh;
};
SinhCosh portable_sinh_cosh(double x);

// ln x carried beyond double precision (about 2^-66 relative), for raising
// one x to many powers:
// pow_from_log(precise_log(x), y) is portable_pow(x, y), bit for bit, at
// about a third of its cost.
struct PreciseLog {
  double x;
  double hi;
  double lo;
};
PreciseLog precise_log(double x);
double pow_from_log(const PreciseLog& log_x, double y);

// out[i] = precise_log(xs[i]) for i < count, bit for bit, vectorised.
void precise_logs(const double* xs, std::size_t count, PreciseLog* out);

// out[i] = pow_from_log(logs[i], y) for i < count, bit for bit, vectorised.
void powers_from_logs(const PreciseLog* logs, double y, std::size_t count, double* out);

}  // namespace kovrant
