// A loaded guesser network (EISNN001 weights) and its layer operations.
//
// Contract: Guesser::from_bytes reads the whole EISNN001 layout from a byte
// buffer in a fixed order of steps and returns the first failure as an
// NnError; a failure leaves nothing behind. Trailing bytes are ignored and a
// later metadata key or tensor name replaces an earlier one. The loader checks
// only the metadata keys and the four statistics tensors; "w." tensors are
// looked up by name when a layer runs, and each layer checks that the tensors
// it reads agree with their dimensions and with its input, so an inconsistent
// file yields an NnError instead of an out-of-bounds read. Activations are
// flat arrays in channel-major order: (channel c, position t) at c * n_grid + t.
// A Guesser is immutable after loading and safe to share between threads.
// Loading also prepares the weights of the stem's and the residual blocks'
// convolutions for the blocked loop, so that each guess only runs them; a
// copy of a Guesser, or a layer whose tensors or shape differ from what was
// prepared, prepares its weights again on every call, with the same results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nn/conv_kernel.h"
#include "nn/nn_error.h"
#include "util/result.h"

namespace kovrant {

struct Tensor {
  std::vector<std::size_t> dims;  // outermost first
  std::vector<double> data;       // max(product of dims, 1) values
};

// How one output is rescaled by the spectrum's characteristic impedance and
// angular frequency: out = y * Z_c^a * omega_c^(b + c * y[ref]).
struct Scaling {
  double a = 0.0;
  double b = 0.0;
  double c = 0.0;
  std::int32_t ref = -1;  // negative: no dependence on another output
};

// Layer outputs larger than this many values are refused rather than
// allocated; the built-in networks use at most 64 channels x 64 positions.
inline constexpr std::size_t kMaxLayerValues = std::size_t{1} << 24;

// The network input's channels: log magnitude, phase, log frequency.
inline constexpr std::size_t kInputChannels = 3;

// Convolution weights prepared at loading, by layer name, with the data
// they were prepared from (compared, never read). A copy starts empty: its
// tensors live elsewhere.
class PreparedConvs {
 public:
  struct Entry {
    const double* weights;
    const double* bias;
    PreparedConv conv;
  };

  PreparedConvs() = default;
  PreparedConvs(const PreparedConvs&) {}
  PreparedConvs& operator=(const PreparedConvs&) {
    entries_.clear();
    return *this;
  }
  PreparedConvs(PreparedConvs&&) = default;
  PreparedConvs& operator=(PreparedConvs&&) = default;

  void add(std::string layer, Entry entry) { entries_.insert_or_assign(std::move(layer), std::move(entry)); }

  // The prepared weights of `layer`, if they were made from exactly this
  // data and shape.
  const PreparedConv* find(std::string_view layer, const double* weights, const double* bias,
                           const ConvShape& shape) const;

 private:
  std::map<std::string, Entry, std::less<>> entries_;
};

struct Guesser {
  std::string circuit;
  std::vector<std::string> param_names;
  std::vector<std::size_t> dilations;
  std::vector<double> target_mean;
  std::vector<double> target_std;
  std::vector<bool> log_params;
  std::vector<Scaling> scaling;
  std::map<std::string, Tensor, std::less<>> tensors;
  std::size_t n_grid = 0;
  std::size_t channels = 0;
  std::size_t kernel = 0;
  std::size_t groups = 0;
  double alpha_min = 0.0;
  double alpha_max = 0.0;
  PreparedConvs prepared_convs;

  static Result<Guesser, NnError> from_bytes(std::span<const unsigned char> bytes);

  // Prepares the weights of the stem and of each residual block's two
  // convolutions, where their tensors pass the layer's checks; from_bytes()
  // calls it once the metadata is read.
  void prepare_convolutions();

  // The tensor stored under `name`, or Missing(name).
  Result<const Tensor*, NnError> tensor(std::string_view name) const;

  // Dilated 1-D convolution over n_grid positions with zero padding, stride 1
  // and length kept: y[o][t] = b[o] + sum over i, then k, of
  // W[o][i][k] * x[i][t + k*dilation - M], M = floor((kernel - 1) * dilation / 2),
  // accumulated from b[o] in that order; taps whose weight is exactly 0.0 are
  // skipped. Output: (dims[0] of the weight) * n_grid values.
  Result<std::vector<double>, NnError> conv1d(std::span<const double> x, std::size_t in_channels,
                                              std::string_view layer, std::size_t dilation) const;

  // conv1d() into `y`, resized to the output, with `scratch` for the padded
  // input: reused buffers allocate nothing once they are large enough.
  // Returns the error, if any; y is unspecified on error.
  std::optional<NnError> conv1d_into(std::span<const double> x, std::size_t in_channels, std::string_view layer,
                                     std::size_t dilation, std::vector<double>& y,
                                     std::vector<double>& scratch) const;

  // Group normalisation in place over `groups` contiguous channel blocks
  // (population variance, epsilon 1e-5), then per-channel scale and shift.
  // Channels beyond groups * floor(channels / groups) are left unchanged.
  // Returns the error, if any; x is untouched on error.
  std::optional<NnError> group_norm(std::span<double> x, std::string_view layer) const;

  // y[o] = (sum over i of W[o][i] * x[i], from -0.0 in index order) + b[o].
  Result<std::vector<double>, NnError> linear(std::span<const double> x, std::string_view layer) const;
};

}  // namespace kovrant
