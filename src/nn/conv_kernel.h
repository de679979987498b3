// The dilated 1-D convolution of Guesser::conv1d, blocked for speed.
//
// Contract: blocked_conv() writes exactly the bits of the plain loop
// y[o][t] = b[o], then for each input channel i and each tap k in order,
// y[o][t] += W[o][i][k] * x[i][t + k*dilation - M] (M = (taps-1)*dilation/2),
// skipping taps whose weight is exactly 0.0 and taps that fall outside
// 0..length-1. Only the work is rearranged: a block of output positions is
// accumulated in registers over all (i, k) instead of streaming every (i, k)
// through memory, so each output still sees the same additions in the same
// order. The caller checks the tensor sizes; blocked_conv_applies() says
// whether the shape is one the blocked loop handles (small kernels, and
// dilations no longer than the input), and plain_conv() serves the rest.
#pragma once

#include <cstddef>
#include <vector>

namespace kovrant {

struct ConvShape {
  std::size_t in_channels;
  std::size_t out_channels;
  std::size_t length;
  std::size_t taps;
  std::size_t dilation;
};

inline constexpr std::size_t kMaxBlockedTaps = 16;

// weights: out_channels * in_channels * taps values; bias: out_channels;
// x: in_channels * length; y: out_channels * length.

// The convolution, by the blocked loop where it applies, else the plain one.
void dilated_conv(const ConvShape& shape, const double* weights, const double* bias, const double* x, double* y);

// The plain loop, for every shape (huge dilations included).
void plain_conv(const ConvShape& shape, const double* weights, const double* bias, const double* x, double* y);

bool blocked_conv_applies(const ConvShape& shape);

// The blocked loop, for shapes where blocked_conv_applies(); `scratch` is
// reused between calls for the zero-padded copy of x.
void blocked_conv(const ConvShape& shape, const double* weights, const double* bias, const double* x, double* y,
                  std::vector<double>& scratch);

}  // namespace kovrant
