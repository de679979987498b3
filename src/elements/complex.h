// Double-precision complex arithmetic with fixed, portable definitions.
//
// Contract: every operation is the textbook formula, evaluated in the order
// written here, with no Annex G recovery of infinities and no scaling or
// special cases beyond those stated. std::complex does not promise this (its
// division is a scaled algorithm and its product may call __muldc3), and
// results must not change with the compiler or the machine. The layout is two
// doubles, real part first, so arrays of Complex can be handed to NumPy as
// complex128 buffers.
#pragma once

#include <cmath>
#include <limits>

namespace kovrant {

struct Complex {
  double re = 0.0;
  double im = 0.0;
};

inline Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
inline Complex operator-(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }
inline Complex operator*(Complex a, Complex b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
inline Complex operator*(double s, Complex a) { return {s * a.re, s * a.im}; }
inline Complex operator*(Complex a, double s) { return {a.re * s, a.im * s}; }
inline bool operator==(Complex a, Complex b) { return a.re == b.re && a.im == b.im; }

// a / b as a * conj(b) / |b|^2, with no guard against |b|^2 == 0.
inline Complex operator/(Complex a, Complex b) {
  const double norm = b.re * b.re + b.im * b.im;
  const double re = a.re * b.re + a.im * b.im;
  const double im = a.im * b.re - a.re * b.im;
  return {re / norm, im / norm};
}

// A real number divided by a complex one: the same formula with a.im = 0.
inline Complex operator/(double a, Complex b) { return Complex{a, 0.0} / b; }
inline Complex operator/(Complex a, double s) { return {a.re / s, a.im / s}; }

// 1 / z as conj(z) / |z|^2, with no guard: elements call it on values whose
// |z|^2 stays in range, and their loops vectorise.
inline Complex reciprocal(Complex z) {
  const double norm = z.re * z.re + z.im * z.im;
  return {z.re / norm, -z.im / norm};
}

// Whether |z|^2 is a normal number (neither overflows nor underflows), where
// reciprocal(z) is as exact as the formula allows; false for NaN.
inline bool reciprocal_in_range(Complex z) {
  const double norm = z.re * z.re + z.im * z.im;
  return (norm >= std::numeric_limits<double>::min()) & (norm <= std::numeric_limits<double>::max());
}

// 1 / z for a z out of that range: a finite, non-zero z is first scaled by a
// power of two (exact) so that |z|^2 stays in range; zero and non-finite z
// take the plain formula.
Complex scaled_reciprocal(Complex z);

// 1 / z for parallel groups, whose branch impedances and admittances may lie
// anywhere: reciprocal() in range (|z| between about 1e-154 and 1e154), to
// the bit, and scaled_reciprocal() outside it, so that neither overflow nor
// underflow of |z|^2 reaches the result.
inline Complex guarded_reciprocal(Complex z) {
  if (reciprocal_in_range(z)) [[likely]] return reciprocal(z);
  return scaled_reciprocal(z);
}

// Principal square root: non-negative real part; on the negative real axis the
// imaginary part takes the sign of the (zero) imaginary part. glibc's csqrt
// implements exactly this branch cut.
Complex principal_sqrt(Complex z);

// z^e for a real exponent: exact for e = 1, 0.5 and 0, polar form otherwise,
// through the portable functions of util/portable_math.h.
Complex real_power(Complex z, double e);

// tanh(z), exactly +-1 when |Re z| > 20, else
// (sinh 2x + j sin 2y) / (cosh 2x + cos 2y), with the portable sinh, cosh,
// sin and cos, so that no choice of the C library changes a bit.
Complex saturating_tanh(Complex z);

}  // namespace kovrant
