#include "nn/conv_kernel.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "util/vector_clones.h"

namespace kovrant {
namespace {

// Output positions accumulated together: 32 doubles fill eight 256-bit
// registers, leaving room for the operands.
constexpr std::size_t kPositions = 32;

// Four doubles as one value, so that a block's sums live in registers.
typedef double Lanes __attribute__((vector_size(32)));
typedef double UnalignedLanes __attribute__((vector_size(32), aligned(8)));
typedef long long LaneMask __attribute__((vector_size(32)));
constexpr std::size_t kLanes = 4;
constexpr std::size_t kVectors = kPositions / kLanes;

#define KOVRANT_LOAD_LANES(p) (*reinterpret_cast<const UnalignedLanes*>(p))

struct Taps {
  std::ptrdiff_t shift[kMaxBlockedTaps];  // k*dilation - M
  bool reaches[kMaxBlockedTaps];          // some output position reads inside the input
  bool all_reach;
  std::size_t pad_left;
  std::size_t stride;  // padded row length
};

Taps tap_layout(const ConvShape& shape) {
  Taps taps{};
  const auto length = static_cast<std::ptrdiff_t>(shape.length);
  const auto half_span = static_cast<std::ptrdiff_t>((shape.taps - 1) * shape.dilation / 2);
  std::ptrdiff_t left = 0, right = 0;
  taps.all_reach = true;
  for (std::size_t k = 0; k < shape.taps; ++k) {
    const std::ptrdiff_t s = static_cast<std::ptrdiff_t>(k * shape.dilation) - half_span;
    taps.shift[k] = s;
    taps.reaches[k] = s > -length && s < length;
    taps.all_reach = taps.all_reach && taps.reaches[k];
    if (!taps.reaches[k]) continue;
    left = std::max(left, -s);
    right = std::max(right, s);
  }
  const std::size_t rounded = (shape.length + kPositions - 1) / kPositions * kPositions;
  taps.pad_left = static_cast<std::size_t>(left);
  taps.stride = taps.pad_left + rounded + static_cast<std::size_t>(right);
  return taps;
}

// Whether output channel o may read the zero padding as if it were input.
// A finite tap times a zero is a zero, and s + (+-0.0) is s bit for bit
// unless s is -0.0. A running sum that starts from a bias other than -0.0
// never becomes -0.0 (only -0.0 + -0.0 gives -0.0), so for such a channel
// with finite taps that all reach the input, the padding adds nothing,
// exactly as if those taps had been skipped. A NaN bias is sent to the exact
// path too, which leaves its payload untouched where nothing adds.
bool padding_is_neutral(const double* w_o, std::size_t count, double bias, const Taps& layout) {
  if (std::isnan(bias) || (bias == 0.0 && std::signbit(bias)) || !layout.all_reach) return false;
  bool neutral = true;
  for (std::size_t n = 0; n < count; ++n) neutral &= std::isfinite(w_o[n]);
  return neutral;
}

KOVRANT_VECTOR_CLONES
void conv_rows(const ConvShape& shape, const Taps& layout, const double* weights, const double* bias,
               const double* padded, double* y) {
  const auto length = static_cast<std::ptrdiff_t>(shape.length);
  const std::size_t taps = shape.taps;
  const LaneMask lane = {0, 1, 2, 3};
  for (std::size_t o = 0; o < shape.out_channels; ++o) {
    const double* w_o = weights + o * shape.in_channels * taps;
    const bool neutral = padding_is_neutral(w_o, shape.in_channels * taps, bias[o], layout);
    for (std::ptrdiff_t t0 = 0; t0 < length; t0 += kPositions) {
      // Copied lane by lane: 0.0 + bias would turn a -0.0 bias into +0.0.
      const Lanes start = {bias[o], bias[o], bias[o], bias[o]};
      Lanes acc[kVectors];
#pragma GCC unroll 8
      for (std::size_t v = 0; v < kVectors; ++v) acc[v] = start;
      const double* block = padded + layout.pad_left + static_cast<std::size_t>(t0);
      for (std::size_t i = 0; i < shape.in_channels; ++i) {
        const double* row = block + i * layout.stride;
        const double* w_oi = w_o + i * taps;
        for (std::size_t k = 0; k < taps; ++k) {
          const double tap = w_oi[k];
          if (tap == 0.0) continue;  // skipped, as the plain loop does
          const double* p = row + layout.shift[k];
          if (neutral) {
#pragma GCC unroll 8
            for (std::size_t v = 0; v < kVectors; ++v) acc[v] += tap * KOVRANT_LOAD_LANES(p + v * kLanes);
            continue;
          }
          if (!layout.reaches[k]) continue;
          // Only positions whose tap lands inside the input take the sum;
          // the others keep theirs untouched.
          const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, -layout.shift[k] - t0);
          const std::ptrdiff_t hi = std::min<std::ptrdiff_t>(kPositions, length - layout.shift[k] - t0);
          for (std::size_t v = 0; v < kVectors; ++v) {
            const LaneMask j = lane + static_cast<long long>(v * kLanes);
            const Lanes sum = acc[v] + tap * KOVRANT_LOAD_LANES(p + v * kLanes);
            acc[v] = ((j >= lo) & (j < hi)) ? sum : acc[v];
          }
        }
      }
      double out[kPositions];
      std::memcpy(out, acc, sizeof out);
      const std::size_t count = std::min<std::size_t>(kPositions, static_cast<std::size_t>(length - t0));
      std::memcpy(y + o * shape.length + static_cast<std::size_t>(t0), out, count * sizeof(double));
    }
  }
}

}  // namespace

bool blocked_conv_applies(const ConvShape& shape) {
  // Bounded taps and dilation keep every shift and the padding small and
  // exact; with no input channel the scratch copy would be empty.
  return shape.in_channels > 0 && shape.length > 0 && shape.taps > 0 && shape.taps <= kMaxBlockedTaps &&
         shape.dilation <= shape.length;
}

void blocked_conv(const ConvShape& shape, const double* weights, const double* bias, const double* x, double* y,
                  std::vector<double>& scratch) {
  const Taps layout = tap_layout(shape);
  scratch.assign(shape.in_channels * layout.stride, 0.0);
  for (std::size_t i = 0; i < shape.in_channels; ++i) {
    std::copy_n(x + i * shape.length, shape.length, scratch.data() + i * layout.stride + layout.pad_left);
  }
  conv_rows(shape, layout, weights, bias, scratch.data(), y);
}

void plain_conv(const ConvShape& shape, const double* weights, const double* bias, const double* x, double* y) {
  const std::size_t length = shape.length, taps = shape.taps, in_channels = shape.in_channels;
  // Tap k reads position t + k*dilation - half_span; 128-bit arithmetic keeps
  // huge dilations exact, and taps that land entirely outside are skipped.
  using Wide = unsigned __int128;
  const Wide half_span = taps == 0 ? 0 : static_cast<Wide>(taps - 1) * shape.dilation / 2;
  for (std::size_t o = 0; o < shape.out_channels; ++o) {
    double* row = y + o * length;
    std::fill(row, row + length, bias[o]);
    for (std::size_t i = 0; i < in_channels; ++i) {
      const double* source = x + i * length;
      const double* w_oi = weights + (o * in_channels + i) * taps;
      for (std::size_t k = 0; k < taps; ++k) {
        const double tap = w_oi[k];
        if (tap == 0.0) continue;
        const Wide reach = static_cast<Wide>(k) * shape.dilation;
        if (reach >= half_span) {
          const Wide shift = reach - half_span;
          if (shift >= length) continue;
          const std::size_t s = static_cast<std::size_t>(shift);
          for (std::size_t t = 0; t + s < length; ++t) row[t] += tap * source[t + s];
        } else {
          const Wide shift = half_span - reach;
          if (shift >= length) continue;
          const std::size_t s = static_cast<std::size_t>(shift);
          for (std::size_t t = s; t < length; ++t) row[t] += tap * source[t - s];
        }
      }
    }
  }
}

void dilated_conv(const ConvShape& shape, const double* weights, const double* bias, const double* x, double* y) {
  if (!blocked_conv_applies(shape)) {
    plain_conv(shape, weights, bias, x, y);
    return;
  }
  std::vector<double> padded;
  blocked_conv(shape, weights, bias, x, y, padded);
}

}  // namespace kovrant
