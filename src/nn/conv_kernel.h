// The dilated 1-D convolution of Guesser::conv1d, blocked for speed.
//
// Contract: blocked_conv() writes exactly the bits of the plain loop
// y[o][t] = b[o], then for each input channel i and each tap k in order,
// y[o][t] += W[o][i][k] * x[i][t + k*dilation - M] (M = (taps-1)*dilation/2),
// skipping taps whose weight is exactly 0.0 and taps that fall outside
// 0..length-1. Only the work is rearranged: a block of output positions is
// accumulated in registers over all (i, k) instead of streaming every (i, k)
// through memory, so each output still sees the same additions in the same
// order. Where the input is all finite, groups of four output channels that
// may read the padding run side by side over a block of positions (4, 8 or
// 32, by the vector unit), sharing the loads of x, one slice of input channels at a time (the partial sums wait
// in y, as doubles); there a zero tap adds 0 * x = +-0 to a sum that is
// never -0.0, which leaves it unchanged, exactly as skipping it would. The
// caller checks the tensor sizes; blocked_conv_applies() says whether the
// shape is one the blocked loop handles (small kernels, and dilations no
// longer than the input), and plain_conv() serves the rest.
//
// The per-weight decisions (which taps are zero, whether a channel may read
// the zero padding as input, where each tap reads) depend on the weights and
// the shape only, so prepare_conv() makes them once into a PreparedConv that
// run_prepared() then applies to any number of inputs; a PreparedConv keeps
// no pointer to the weights.
//
// The blocked loop runs on the widest vector unit of the CPU unless a
// narrower one is asked for; every unit gives the same bits.
#pragma once

#include <cstddef>
#include <vector>

#include "util/vector_clones.h"

namespace kovrant {

struct ConvShape {
  std::size_t in_channels;
  std::size_t out_channels;
  std::size_t length;
  std::size_t taps;
  std::size_t dilation;

  bool operator==(const ConvShape&) const = default;
};

inline constexpr std::size_t kMaxBlockedTaps = 16;
inline constexpr std::size_t kDenseOutputs = 4;

// One non-zero weight and where it reads, relative to the first output
// position of a block in the padded input.
struct PackedTap {
  std::ptrdiff_t offset;
  double weight;
};

// A blocked convolution's weights, laid out for run_prepared().
struct PreparedConv {
  ConvShape shape{};
  std::size_t pad_left = 0;
  std::size_t stride = 0;  // padded row length
  std::vector<double> bias;
  // Output channel o's non-zero taps, in (i, k) order, are
  // packed[first[o]..first[o+1]), unless exact[o]: such a channel must not
  // read the padding as input and takes the masked loop over `weights`.
  std::vector<std::size_t> first;
  std::vector<PackedTap> packed;
  std::vector<bool> exact;
  std::vector<double> weights;        // all weights where some channel is exact, else empty
  std::vector<std::ptrdiff_t> shift;  // k*dilation - M, per tap
  std::vector<bool> reaches;          // tap k reads inside the input for some position
  // Where tap (i, k) reads, at i * taps + k; for each full group g of
  // kDenseOutputs (D) channels, whether they all may read the padding
  // (dense[g]), and their weights side by side:
  // grouped[((g * in_channels + i) * taps + k) * D + a] is W[D*g + a][i][k].
  std::vector<std::ptrdiff_t> offsets;
  std::vector<bool> dense;
  std::vector<double> grouped;
};

// weights: out_channels * in_channels * taps values; bias: out_channels;
// x: in_channels * length; y: out_channels * length.

// The plain loop, for every shape (huge dilations included).
void plain_conv(const ConvShape& shape, const double* weights, const double* bias, const double* x, double* y);

bool blocked_conv_applies(const ConvShape& shape);

// The weights of a shape where blocked_conv_applies(), prepared once.
PreparedConv prepare_conv(const ConvShape& shape, const double* weights, const double* bias);

// The blocked loop with prepared weights; `scratch` is reused between calls
// for the zero-padded copy of x.
void run_prepared(const PreparedConv& prepared, const double* x, double* y, std::vector<double>& scratch,
                  VectorUnit unit = widest_vector_unit());

// prepare_conv() and run_prepared() in one step.
void blocked_conv(const ConvShape& shape, const double* weights, const double* bias, const double* x, double* y,
                  std::vector<double>& scratch, VectorUnit unit = widest_vector_unit());

}  // namespace kovrant
