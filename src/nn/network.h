// Inference of a guesser network: from a measured spectrum to the network's
// starting parameters, in the order of its param_names.
//
// Contract: infer() runs four stages, each a function below so it can be
// checked on its own: the reactive-centroid scale estimate (omega_c, Z_c),
// features on a log-frequency grid of n_grid points, the residual 1-D
// convolutional network with pooling and a three-layer head, and decoding
// (de-normalisation, exponentiation or clamping, rescaling). All arithmetic is
// in doubles with the summation orders documented per function, so results
// are reproducible to the last bit. The numbers are not validated: a
// non-positive frequency yields non-finite values that propagate. Structural
// problems (missing tensors, shapes that disagree with the metadata or with
// each other) are returned as NnError before anything is read out of bounds.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "elements/complex.h"
#include "nn/guesser.h"

namespace kovrant {

inline constexpr double kTwoPi = 6.283185307179586;

struct ScaleEstimate {
  double omega_c = 0.0;  // characteristic angular frequency, rad/s
  double z_c = 0.0;      // characteristic impedance magnitude, ohm
};

// Weighted geometric means of 2*pi*f and |Z|, weighted by the capacitive share
// -Im Z / |Z| of each point with f > 0 and |Z| > 0 among the first
// min(nf, nz); with a total weight below 1e-9, the geometric mean of all 2*pi*f
// and the upper median of all |Z| (IEEE total order) instead. Needs at least
// one frequency and one impedance.
ScaleEstimate reactive_centroid(std::span<const double> frequencies, std::span<const Complex> impedances);

// Indices of `frequencies` sorted ascending in IEEE total order; equal values
// keep their input order.
std::vector<std::size_t> frequency_order(std::span<const double> frequencies);

// Phases made continuous: each step to the next raw phase is reduced into
// [-pi, pi), and a step of exactly -pi towards a larger raw value becomes +pi.
std::vector<double> unwrap_phase(std::span<const double> raw);

// Piecewise-linear interpolation in ascending xs, holding the end values
// outside [xs.front(), xs.back()]. xs and ys have the same, non-zero length.
double interpolate(std::span<const double> xs, std::span<const double> ys, double x);

// GELU in its tanh form, evaluated exactly as
// (portable_tanh(0.7978845608028654 * (0.044715*v*v*v + v)) + 1.0) * (v * 0.5),
// with the tanh of util/portable_math.h, so that guesses do not depend on the CPU.
double gelu(double v);

// gelu() of every value in place, bit for bit.
void gelu_in_place(std::span<double> values);

struct Features {
  std::vector<double> input;  // 3 * n_grid values: log magnitude, phase, frequency
  double span_scalar = 0.0;   // decades spanned, times 0.125
  double count_scalar = 0.0;  // log10(point count), times 0.5
};

// The network input for a spectrum with impedances.size() >= frequencies.size() >= 1.
Features features(std::size_t n_grid, std::span<const double> frequencies, std::span<const Complex> impedances,
                  const ScaleEstimate& scale);

// The stem, residual blocks, pooling and head: the raw head outputs.
Result<std::vector<double>, NnError> forward(const Guesser& guesser, const Features& input);

// Parameters from the first P head outputs (P = param_names.size()).
Result<std::vector<double>, NnError> decode(const Guesser& guesser, std::span<const double> head,
                                            const ScaleEstimate& scale);

// The whole inference. Needs at least 2 frequencies and as many impedances
// (TooFewPoints otherwise, with the smaller count).
Result<std::vector<double>, NnError> infer(const Guesser& guesser, std::span<const double> frequencies,
                                           std::span<const Complex> impedances);

}  // namespace kovrant
