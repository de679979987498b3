#include "elements/complex.h"

#include <complex>

#include "util/portable_math.h"

namespace kovrant {

Complex scaled_reciprocal(Complex z) {
  const bool finite_nonzero = std::isfinite(z.re) && std::isfinite(z.im) && (z.re != 0.0 || z.im != 0.0);
  if (!finite_nonzero) return reciprocal(z);
  const int exponent = std::ilogb(std::fmax(std::fabs(z.re), std::fabs(z.im)));
  const double re = std::scalbn(z.re, -exponent), im = std::scalbn(z.im, -exponent);
  const double scaled_norm = re * re + im * im;  // in [1, 8)
  return {std::scalbn(re / scaled_norm, -exponent), std::scalbn(-im / scaled_norm, -exponent)};
}

Complex principal_sqrt(Complex z) {
  // libstdc++ forwards this to the C library's csqrt.
  const std::complex<double> root = std::sqrt(std::complex<double>(z.re, z.im));
  return {root.real(), root.imag()};
}

Complex real_power(Complex z, double e) {
  if (e == 1.0) return z;
  if (e == 0.5) return principal_sqrt(z);
  if (e == 0.0) return {1.0, 0.0};
  const double modulus = portable_hypot(z.re, z.im);
  const double theta = portable_atan2(z.im, z.re);
  const double r = portable_pow(modulus, e);
  const SinCos angle = portable_sincos(e * theta);
  return {r * angle.cos, r * angle.sin};
}

Complex saturating_tanh(Complex z) {
  if (std::fabs(z.re) > 20.0) return {std::signbit(z.re) ? -1.0 : 1.0, 0.0};
  const SinhCosh h = portable_sinh_cosh(2.0 * z.re);
  const SinCos t = portable_sincos(2.0 * z.im);
  const Complex numerator{h.sinh, t.sin};
  return numerator / (h.cosh + t.cos);
}

}  // namespace kovrant
