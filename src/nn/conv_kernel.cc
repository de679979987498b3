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

// Four doubles as one value, so that a block's sums live in registers; the
// dense loop runs eight at a time where the CPU has 512-bit registers.
typedef double Lanes __attribute__((vector_size(32)));
typedef double UnalignedLanes __attribute__((vector_size(32), aligned(8)));
typedef double NarrowLanes __attribute__((vector_size(16)));
typedef double UnalignedNarrowLanes __attribute__((vector_size(16), aligned(8)));
typedef double WideLanes __attribute__((vector_size(64)));
typedef double UnalignedWideLanes __attribute__((vector_size(64), aligned(8)));
typedef long long LaneMask __attribute__((vector_size(32)));
constexpr std::size_t kLanes = 4;
constexpr std::size_t kVectors = kPositions / kLanes;
// Input channels whose padded rows the dense loop reads together.
constexpr std::size_t kInputSlice = 16;

// A vector type's unaligned twin and its width.
template <typename V>
struct LaneTraits;
template <>
struct LaneTraits<Lanes> {
  using Unaligned = UnalignedLanes;
  static constexpr std::size_t kWidth = 4;
};
template <>
struct LaneTraits<NarrowLanes> {
  using Unaligned = UnalignedNarrowLanes;
  static constexpr std::size_t kWidth = 2;
};
template <>
struct LaneTraits<WideLanes> {
  using Unaligned = UnalignedWideLanes;
  static constexpr std::size_t kWidth = 8;
};

#define KOVRANT_LOAD_LANES(p) (*reinterpret_cast<const UnalignedLanes*>(p))

// Helpers of conv_rows are always inlined, so that each of its versions
// compiles them for its own instruction set.
#define KOVRANT_CLONE_INLINE __attribute__((always_inline)) inline

// Helpers fill vectors in place: a vector returned by value would change the
// calling convention between the versions.
template <typename V>
KOVRANT_CLONE_INLINE void load_lanes(V& v, const double* p) {
  v = *reinterpret_cast<const typename LaneTraits<V>::Unaligned*>(p);
}

// Copied lane by lane: 0.0 + value would turn a -0.0 into +0.0.
template <typename V>
KOVRANT_CLONE_INLINE void splat(V& v, double value) {
  for (std::size_t lane = 0; lane < LaneTraits<V>::kWidth; ++lane) v[lane] = value;
}

// The first min(remaining, width * N) sums of a block, written to y.
template <typename V, std::size_t N>
KOVRANT_CLONE_INLINE void store_block(const V (&acc)[N], std::size_t remaining, double* y) {
  constexpr std::size_t kWidth = LaneTraits<V>::kWidth;
  if (remaining >= kWidth * N) {
    for (std::size_t v = 0; v < N; ++v) *reinterpret_cast<typename LaneTraits<V>::Unaligned*>(y + v * kWidth) = acc[v];
    return;
  }
  double out[kWidth * N];
  std::memcpy(out, acc, sizeof out);
  std::memcpy(y, out, remaining * sizeof(double));
}

// The first min(remaining, width * N) values at y, as a block of sums.
template <typename V, std::size_t N>
KOVRANT_CLONE_INLINE void load_block(V (&acc)[N], std::size_t remaining, const double* y) {
  constexpr std::size_t kWidth = LaneTraits<V>::kWidth;
  if (remaining >= kWidth * N) {
    for (std::size_t v = 0; v < N; ++v) load_lanes(acc[v], y + v * kWidth);
    return;
  }
  double in[kWidth * N] = {};
  std::memcpy(in, y, remaining * sizeof(double));
  std::memcpy(acc, in, sizeof in);
}

// Where each tap reads and how much zero padding that needs around a row.
void lay_out_taps(PreparedConv& prepared) {
  const ConvShape& shape = prepared.shape;
  const auto length = static_cast<std::ptrdiff_t>(shape.length);
  const auto half_span = static_cast<std::ptrdiff_t>((shape.taps - 1) * shape.dilation / 2);
  std::ptrdiff_t left = 0, right = 0;
  for (std::size_t k = 0; k < shape.taps; ++k) {
    const std::ptrdiff_t s = static_cast<std::ptrdiff_t>(k * shape.dilation) - half_span;
    const bool reaches = s > -length && s < length;
    prepared.shift.push_back(s);
    prepared.reaches.push_back(reaches);
    if (!reaches) continue;
    left = std::max(left, -s);
    right = std::max(right, s);
  }
  const std::size_t rounded = (shape.length + kPositions - 1) / kPositions * kPositions;
  prepared.pad_left = static_cast<std::size_t>(left);
  prepared.stride = prepared.pad_left + rounded + static_cast<std::size_t>(right);
}

// Whether output channel o may read the zero padding as if it were input.
// A finite tap times a zero is a zero, and s + (+-0.0) is s bit for bit
// unless s is -0.0. A running sum that starts from a bias other than -0.0
// never becomes -0.0 (only -0.0 + -0.0 gives -0.0), so for such a channel
// with finite taps that all reach the input, the padding adds nothing,
// exactly as if those taps had been skipped. A NaN bias is sent to the exact
// path too, which leaves its payload untouched where nothing adds.
bool padding_is_neutral(const double* w_o, std::size_t count, double bias, const PreparedConv& prepared) {
  const bool all_reach = std::find(prepared.reaches.begin(), prepared.reaches.end(), false) == prepared.reaches.end();
  if (std::isnan(bias) || (bias == 0.0 && std::signbit(bias)) || !all_reach) return false;
  return std::all_of(w_o, w_o + count, [](double w) { return std::isfinite(w); });
}

// Output channel o, which may read the padding: its packed taps over every block.
KOVRANT_CLONE_INLINE void packed_channel(const PreparedConv& prepared, std::size_t o, const double* padded,
                                         double* y_o) {
  const std::size_t length = prepared.shape.length;
  const PackedTap* begin = prepared.packed.data() + prepared.first[o];
  const PackedTap* end = prepared.packed.data() + prepared.first[o + 1];
  const double bias = prepared.bias[o];
  for (std::size_t t0 = 0; t0 < length; t0 += kPositions) {
    // Copied lane by lane: 0.0 + bias would turn a -0.0 bias into +0.0.
    const Lanes start = {bias, bias, bias, bias};
    Lanes acc[kVectors];
#pragma GCC unroll 8
    for (std::size_t v = 0; v < kVectors; ++v) acc[v] = start;
    const double* block = padded + prepared.pad_left + t0;
    for (const PackedTap* tap = begin; tap != end; ++tap) {
      const double weight = tap->weight;
      const double* p = block + tap->offset;
#pragma GCC unroll 8
      for (std::size_t v = 0; v < kVectors; ++v) acc[v] += weight * KOVRANT_LOAD_LANES(p + v * kLanes);
    }
    store_block<Lanes>(acc, length - t0, y_o + t0);
  }
}

// Output channel o, which must not read the padding: every tap is masked to
// the positions where it lands inside the input.
KOVRANT_CLONE_INLINE void masked_channel(const PreparedConv& prepared, std::size_t o, const double* padded,
                                         double* y_o) {
  const ConvShape& shape = prepared.shape;
  const auto length = static_cast<std::ptrdiff_t>(shape.length);
  const std::size_t taps = shape.taps;
  const double* w_o = prepared.weights.data() + o * shape.in_channels * taps;
  const double bias = prepared.bias[o];
  const LaneMask lane = {0, 1, 2, 3};
  for (std::ptrdiff_t t0 = 0; t0 < length; t0 += kPositions) {
    const Lanes start = {bias, bias, bias, bias};
    Lanes acc[kVectors];
    for (std::size_t v = 0; v < kVectors; ++v) acc[v] = start;
    const double* block = padded + prepared.pad_left + static_cast<std::size_t>(t0);
    for (std::size_t i = 0; i < shape.in_channels; ++i) {
      const double* row = block + i * prepared.stride;
      const double* w_oi = w_o + i * taps;
      for (std::size_t k = 0; k < taps; ++k) {
        const double tap = w_oi[k];
        if (tap == 0.0 || !prepared.reaches[k]) continue;  // skipped, as the plain loop does
        const double* p = row + prepared.shift[k];
        // Only positions whose tap lands inside the input take the sum;
        // the others keep theirs untouched.
        const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, -prepared.shift[k] - t0);
        const std::ptrdiff_t hi = std::min<std::ptrdiff_t>(kPositions, length - prepared.shift[k] - t0);
        for (std::size_t v = 0; v < kVectors; ++v) {
          const LaneMask j = lane + static_cast<long long>(v * kLanes);
          const Lanes sum = acc[v] + tap * KOVRANT_LOAD_LANES(p + v * kLanes);
          acc[v] = ((j >= lo) & (j < hi)) ? sum : acc[v];
        }
      }
    }
    store_block<Lanes>(acc, static_cast<std::size_t>(length - t0), y_o + t0);
  }
}

// Taps (i, k) numbered n = i * taps + k from `first` to `last` of output
// channels 4g..4g+3, which all may read the padding, side by side, zero
// taps included; needs a finite input. The sums start from the bias, or go
// on from the partial sums in y. A block is N vectors of type V: its
// kDenseOutputs x N sums and the N vectors of x they share stay in
// registers, so that each multiply and each add costs one instruction and
// the loads and broadcasts are shared by many of them.
template <typename V, std::size_t N>
KOVRANT_CLONE_INLINE void dense_group(const PreparedConv& prepared, std::size_t g, std::size_t first, std::size_t last,
                                      const double* padded, double* y) {
  constexpr std::size_t kWidth = LaneTraits<V>::kWidth;
  constexpr std::size_t kBlock = kWidth * N;
  static_assert(kPositions % kBlock == 0, "a block must not read past the rounded row");
  const std::size_t length = prepared.shape.length;
  const double* weights = prepared.grouped.data() + (g * prepared.offsets.size() + first) * kDenseOutputs;
  const double* bias = prepared.bias.data() + g * kDenseOutputs;
  const std::ptrdiff_t* offsets = prepared.offsets.data();
  for (std::size_t t0 = 0; t0 < length; t0 += kBlock) {
    V acc[kDenseOutputs][N];
    for (std::size_t a = 0; a < kDenseOutputs; ++a) {
      if (first == 0) {
        for (std::size_t v = 0; v < N; ++v) splat(acc[a][v], bias[a]);
      } else {
        load_block(acc[a], length - t0, y + (g * kDenseOutputs + a) * length + t0);
      }
    }
    const double* block = padded + prepared.pad_left + t0;
    const double* w = weights;
    for (std::size_t n = first; n < last; ++n, w += kDenseOutputs) {
      const double* p = block + offsets[n];
      V x[N];
#pragma GCC unroll 4
      for (std::size_t v = 0; v < N; ++v) load_lanes(x[v], p + v * kWidth);
#pragma GCC unroll 4
      for (std::size_t a = 0; a < kDenseOutputs; ++a) {
        const double weight = w[a];
#pragma GCC unroll 4
        for (std::size_t v = 0; v < N; ++v) acc[a][v] += weight * x[v];
      }
    }
    for (std::size_t a = 0; a < kDenseOutputs; ++a) {
      store_block(acc[a], length - t0, y + (g * kDenseOutputs + a) * length + t0);
    }
  }
}

// The whole convolution, the dense groups in blocks of N vectors of type V.
template <typename V, std::size_t N>
KOVRANT_CLONE_INLINE void conv_rows_with(const PreparedConv& prepared, const double* padded, bool finite_input,
                                         double* y) {
  const std::size_t length = prepared.shape.length;
  const auto is_dense = [&](std::size_t g) { return finite_input && g < prepared.dense.size() && prepared.dense[g]; };
  // A slice of input rows at a time, so that they stay in the L1 cache
  // while every group passes over them; the partial sums wait in y.
  const std::size_t taps = prepared.shape.taps;
  for (std::size_t i0 = 0; i0 < prepared.shape.in_channels; i0 += kInputSlice) {
    const std::size_t i1 = std::min(i0 + kInputSlice, prepared.shape.in_channels);
    for (std::size_t g = 0; g < prepared.dense.size(); ++g) {
      if (is_dense(g)) dense_group<V, N>(prepared, g, i0 * taps, i1 * taps, padded, y);
    }
  }
  for (std::size_t o = 0; o < prepared.shape.out_channels; ++o) {
    if (is_dense(o / kDenseOutputs)) continue;
    if (prepared.exact[o]) {
      masked_channel(prepared, o, padded, y + o * length);
    } else {
      packed_channel(prepared, o, padded, y + o * length);
    }
  }
}

// One version per vector unit, each block filling most of its registers
// with sums, the shared x and a weight: 4 x 2 sums of two in the baseline's
// sixteen 128-bit registers, 4 x 2 of four in 256-bit ones, 4 x 4 of eight
// in the thirty-two 512-bit ones.
void conv_rows_baseline(const PreparedConv& prepared, const double* padded, bool finite_input, double* y) {
  conv_rows_with<NarrowLanes, 2>(prepared, padded, finite_input, y);
}

#if KOVRANT_HAS_VECTOR_UNITS
__attribute__((target("avx2"))) void conv_rows_avx2(const PreparedConv& prepared, const double* padded,
                                                     bool finite_input, double* y) {
  conv_rows_with<Lanes, 2>(prepared, padded, finite_input, y);
}

__attribute__((target("avx512f"))) void conv_rows_avx512(const PreparedConv& prepared, const double* padded,
                                                          bool finite_input, double* y) {
  conv_rows_with<WideLanes, 4>(prepared, padded, finite_input, y);
}
#endif

void conv_rows(const PreparedConv& prepared, const double* padded, bool finite_input, double* y, VectorUnit unit) {
#if KOVRANT_HAS_VECTOR_UNITS
  switch (usable_vector_unit(unit)) {
    case VectorUnit::Avx512:
      return conv_rows_avx512(prepared, padded, finite_input, y);
    case VectorUnit::Avx2:
      return conv_rows_avx2(prepared, padded, finite_input, y);
    case VectorUnit::Baseline:
      break;
  }
#else
  (void)unit;
#endif
  conv_rows_baseline(prepared, padded, finite_input, y);
}

// The dense loop's offsets, and the weights of each group of channels that
// all may read the padding, side by side.
void group_weights(PreparedConv& prepared, const double* weights) {
  const ConvShape& shape = prepared.shape;
  const std::size_t per_output = shape.in_channels * shape.taps;
  for (std::size_t n = 0; n < per_output; ++n) {
    const std::size_t i = n / shape.taps, k = n % shape.taps;
    prepared.offsets.push_back(static_cast<std::ptrdiff_t>(i * prepared.stride) + prepared.shift[k]);
  }
  const std::size_t groups = shape.out_channels / kDenseOutputs;
  prepared.grouped.resize(groups * per_output * kDenseOutputs);
  for (std::size_t g = 0; g < groups; ++g) {
    const auto first = prepared.exact.begin() + static_cast<std::ptrdiff_t>(g * kDenseOutputs);
    prepared.dense.push_back(std::find(first, first + kDenseOutputs, true) == first + kDenseOutputs);
    for (std::size_t n = 0; n < per_output; ++n) {
      for (std::size_t a = 0; a < kDenseOutputs; ++a) {
        prepared.grouped[(g * per_output + n) * kDenseOutputs + a] = weights[(g * kDenseOutputs + a) * per_output + n];
      }
    }
  }
}

bool all_finite(const double* x, std::size_t count) {
  bool finite = true;
  for (std::size_t n = 0; n < count; ++n) finite &= x[n] - x[n] == 0.0;  // NaN for infinities and NaN
  return finite;
}

}  // namespace

bool blocked_conv_applies(const ConvShape& shape) {
  // Bounded taps and dilation keep every shift and the padding small and
  // exact; with no input channel the scratch copy would be empty.
  return shape.in_channels > 0 && shape.length > 0 && shape.taps > 0 && shape.taps <= kMaxBlockedTaps &&
         shape.dilation <= shape.length;
}

PreparedConv prepare_conv(const ConvShape& shape, const double* weights, const double* bias) {
  PreparedConv prepared;
  prepared.shape = shape;
  prepared.bias.assign(bias, bias + shape.out_channels);
  lay_out_taps(prepared);
  const std::size_t per_output = shape.in_channels * shape.taps;
  prepared.first.push_back(0);
  for (std::size_t o = 0; o < shape.out_channels; ++o) {
    const double* w_o = weights + o * per_output;
    const bool exact = !padding_is_neutral(w_o, per_output, bias[o], prepared);
    prepared.exact.push_back(exact);
    for (std::size_t n = 0; n < per_output && !exact; ++n) {
      if (w_o[n] == 0.0) continue;  // skipped, as the plain loop does
      const std::size_t i = n / shape.taps, k = n % shape.taps;
      const auto offset = static_cast<std::ptrdiff_t>(i * prepared.stride) + prepared.shift[k];
      prepared.packed.push_back({offset, w_o[n]});
    }
    prepared.first.push_back(prepared.packed.size());
  }
  if (std::find(prepared.exact.begin(), prepared.exact.end(), true) != prepared.exact.end()) {
    prepared.weights.assign(weights, weights + shape.out_channels * per_output);
  }
  group_weights(prepared, weights);
  return prepared;
}

void run_prepared(const PreparedConv& prepared, const double* x, double* y, std::vector<double>& scratch,
                  VectorUnit unit) {
  const ConvShape& shape = prepared.shape;
  // Only the padding needs zeros: the rest is overwritten by the copy.
  scratch.resize(shape.in_channels * prepared.stride);
  for (std::size_t i = 0; i < shape.in_channels; ++i) {
    double* row = scratch.data() + i * prepared.stride;
    std::fill_n(row, prepared.pad_left, 0.0);
    std::copy_n(x + i * shape.length, shape.length, row + prepared.pad_left);
    std::fill(row + prepared.pad_left + shape.length, row + prepared.stride, 0.0);
  }
  conv_rows(prepared, scratch.data(), all_finite(x, shape.in_channels * shape.length), y, unit);
}

void blocked_conv(const ConvShape& shape, const double* weights, const double* bias, const double* x, double* y,
                  std::vector<double>& scratch, VectorUnit unit) {
  run_prepared(prepare_conv(shape, weights, bias), x, y, scratch, unit);
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

}  // namespace kovrant
