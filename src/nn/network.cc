#include "nn/network.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>

#include "nn/size_math.h"
#include "util/portable_math.h"
#include "util/vector_clones.h"

namespace kovrant {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;

// Key whose signed integer order is the IEEE 754 total order of doubles.
std::int64_t total_order_key(double x) {
  const auto bits = std::bit_cast<std::int64_t>(x);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

double magnitude(Complex z) { return portable_hypot(z.re, z.im); }

double upper_median_magnitude(std::span<const Complex> impedances) {
  std::vector<double> magnitudes(impedances.size());
  std::transform(impedances.begin(), impedances.end(), magnitudes.begin(), magnitude);
  std::sort(magnitudes.begin(), magnitudes.end(),
            [](double a, double b) { return total_order_key(a) < total_order_key(b); });
  return magnitudes[magnitudes.size() / 2];
}

// Channel means (from -0.0, in order), channel maxima (NaN ignored), then the
// two global scalars.
std::vector<double> pool(std::span<const double> h, std::size_t channels, std::size_t length, const Features& input) {
  std::vector<double> pooled(2 * channels + 2);
  for (std::size_t c = 0; c < channels; ++c) {
    const double* row = h.data() + c * length;
    double sum = -0.0;
    double maximum = -std::numeric_limits<double>::infinity();
    for (std::size_t t = 0; t < length; ++t) {
      sum += row[t];
      if (row[t] > maximum) maximum = row[t];
    }
    pooled[c] = sum / static_cast<double>(length);
    pooled[channels + c] = maximum;
  }
  pooled[2 * channels] = input.span_scalar;
  pooled[2 * channels + 1] = input.count_scalar;
  return pooled;
}

// The activations of one forward pass and the padded copy of a
// convolution's input, reused by every layer so that layers allocate nothing.
struct Activations {
  std::vector<double> h, y, z, padded;
};

// One residual block: h = GELU(h + norm2(conv2(GELU(norm1(conv1(h)))))).
std::optional<NnError> residual_block(const Guesser& guesser, Activations& a, std::size_t index,
                                      std::size_t dilation) {
  const std::string prefix = "blocks." + std::to_string(index) + ".";
  if (auto error = guesser.conv1d_into(a.h, guesser.channels, prefix + "conv1", dilation, a.y, a.padded)) {
    return error;
  }
  if (auto error = guesser.group_norm(a.y, prefix + "norm1")) return error;
  gelu_in_place(a.y);
  if (auto error = guesser.conv1d_into(a.y, guesser.channels, prefix + "conv2", dilation, a.z, a.padded)) {
    return error;
  }
  if (auto error = guesser.group_norm(a.z, prefix + "norm2")) return error;
  const std::size_t overlap = std::min(a.z.size(), a.h.size());
  for (std::size_t j = 0; j < overlap; ++j) a.h[j] = a.z[j] + a.h[j];
  gelu_in_place(a.h);
  return std::nullopt;
}

// Clamp that lets NaN through and needs no ordering of its bounds.
double clamp_keeping_nan(double y, double lo, double hi) {
  if (y < lo) return lo;
  if (y > hi) return hi;
  return y;
}

// Decoding reads P entries of every statistics list and one referenced entry
// per scaling row; anything shorter or out of range is reported here.
std::optional<NnError> decoding_error(const Guesser& guesser, std::size_t head_size) {
  const std::size_t p = guesser.param_names.size();
  if (head_size < p) return NnError::shape_mismatch("head.4", head_size, p);
  if (guesser.target_mean.size() < p) return NnError::shape_mismatch("target_mean", guesser.target_mean.size(), p);
  if (guesser.target_std.size() < p) return NnError::shape_mismatch("target_std", guesser.target_std.size(), p);
  if (guesser.log_params.size() < p) return NnError::shape_mismatch("log_params", guesser.log_params.size(), p);
  if (guesser.scaling.size() < p) {
    return NnError::shape_mismatch("scaling", saturating_mul(guesser.scaling.size(), 4), saturating_mul(p, 4));
  }
  bool has_linear = false;
  for (std::size_t j = 0; j < p; ++j) {
    const std::int32_t ref = guesser.scaling[j].ref;
    if (ref >= 0 && static_cast<std::size_t>(ref) >= p) {
      return NnError::unparsable("scaling row " + std::to_string(j) + " refers to output " + std::to_string(ref) +
                                 " of " + std::to_string(p));
    }
    has_linear = has_linear || !guesser.log_params[j];
  }
  const bool ordered = guesser.alpha_min <= guesser.alpha_max;  // false for NaN too
  if (has_linear && !ordered) {
    return NnError::unparsable("alpha_min must not exceed alpha_max, and neither may be NaN");
  }
  return std::nullopt;
}

}  // namespace

ScaleEstimate reactive_centroid(std::span<const double> frequencies, std::span<const Complex> impedances) {
  const std::size_t n = std::min(frequencies.size(), impedances.size());
  double weight = 0.0, log_omega = 0.0, log_z = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double f = frequencies[i];
    const double z = magnitude(impedances[i]);
    if (f <= 0.0 || z <= 0.0) continue;
    const double share = -impedances[i].im / z;
    const double w = share > 0.0 ? share : 0.0;  // NaN counts as 0
    weight += w;
    log_omega += w * portable_log(kTwoPi * f);
    log_z += w * portable_log(z);
  }
  if (weight >= 1e-9) return {portable_exp(log_omega / weight), portable_exp(log_z / weight)};

  double sum = 0.0;
  for (double f : frequencies) sum += portable_log(kTwoPi * f);
  return {portable_exp(sum / static_cast<double>(frequencies.size())), upper_median_magnitude(impedances)};
}

std::vector<std::size_t> frequency_order(std::span<const double> frequencies) {
  std::vector<std::size_t> order(frequencies.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return total_order_key(frequencies[a]) < total_order_key(frequencies[b]);
  });
  return order;
}

std::vector<double> unwrap_phase(std::span<const double> raw) {
  std::vector<double> phase(raw.size());
  for (std::size_t k = 0; k < raw.size(); ++k) {
    if (k == 0) {
      phase[0] = raw[0];
      continue;
    }
    const double previous = phase[k - 1];
    const double step = raw[k] - previous;
    double wrapped = step - kTwoPi * std::floor((step + kPi) / kTwoPi);
    if (wrapped == -kPi && raw[k] > previous) wrapped = kPi;
    phase[k] = previous + wrapped;
  }
  return phase;
}

double interpolate(std::span<const double> xs, std::span<const double> ys, double x) {
  const std::size_t last = xs.size() - 1;
  if (xs[0] >= x) return ys[0];
  if (x >= xs[last] || last == 0) return ys[last];
  const std::size_t leading = static_cast<std::size_t>(
      std::partition_point(xs.begin(), xs.end(), [x](double v) { return v <= x; }) - xs.begin());
  const std::size_t lo = std::max<std::size_t>(leading, 1) - 1;
  const std::size_t hi = lo + 1;
  if (xs[hi] == xs[lo]) return ys[lo];
  return (x - xs[lo]) * (ys[hi] - ys[lo]) / (xs[hi] - xs[lo]) + ys[lo];
}

double gelu(double v) { return (portable_tanh(0.7978845608028654 * (0.044715 * v * v * v + v)) + 1.0) * (v * 0.5); }

KOVRANT_WIDE_VECTOR_CLONES
void gelu_in_place(std::span<double> values) {
  // Three passes, so that the arithmetic around tanh runs on whole vectors;
  // each value sees the same operations as in gelu().
  constexpr std::size_t kChunk = 256;
  double arguments[kChunk];
  for (std::size_t start = 0; start < values.size(); start += kChunk) {
    const std::size_t count = std::min(kChunk, values.size() - start);
    double* v = values.data() + start;
    for (std::size_t i = 0; i < count; ++i) arguments[i] = 0.7978845608028654 * (0.044715 * v[i] * v[i] * v[i] + v[i]);
    tanh_in_place({arguments, count});
    for (std::size_t i = 0; i < count; ++i) v[i] = (arguments[i] + 1.0) * (v[i] * 0.5);
  }
}

Features features(std::size_t n_grid, std::span<const double> frequencies, std::span<const Complex> impedances,
                  const ScaleEstimate& scale) {
  const std::size_t count = frequencies.size();
  std::vector<double> log_f(count), log_z(count), raw_phase(count);
  const std::vector<std::size_t> order = frequency_order(frequencies);
  for (std::size_t k = 0; k < count; ++k) {
    const Complex z = impedances[order[k]];
    log_f[k] = portable_log10(frequencies[order[k]]);
    log_z[k] = portable_log10(magnitude(z));
    raw_phase[k] = portable_atan2(z.im, z.re);
  }
  const std::vector<double> phase = unwrap_phase(raw_phase);

  const double lo = log_f[0];
  const double span = log_f[count - 1] - log_f[0];
  const double step = n_grid >= 2 ? span / static_cast<double>(n_grid - 1) : 0.0;
  const double log_z_c = portable_log10(scale.z_c);
  const double log_f_c = portable_log10(scale.omega_c / kTwoPi);

  Features result;
  result.input.resize(kInputChannels * n_grid);
  double* magnitude_channel = result.input.data();
  double* phase_channel = magnitude_channel + n_grid;
  double* frequency_channel = phase_channel + n_grid;
  for (std::size_t t = 0; t < n_grid; ++t) {
    const double g = static_cast<double>(t) * step + lo;
    magnitude_channel[t] = interpolate(log_f, log_z, g) - log_z_c;
    phase_channel[t] = interpolate(log_f, phase, g) / kHalfPi;
    frequency_channel[t] = (g - log_f_c) * 0.25;
  }
  result.span_scalar = span * 0.125;
  result.count_scalar = portable_log10(static_cast<double>(count)) * 0.5;
  return result;
}

Result<std::vector<double>, NnError> forward(const Guesser& guesser, const Features& input) {
  if (guesser.channels == 0) {
    return NnError::unparsable("channels is 0, so the network has no channel to convolve or pool");
  }
  Activations a;
  if (auto error = guesser.conv1d_into(input.input, kInputChannels, "stem", 1, a.h, a.padded)) return *error;
  for (std::size_t i = 0; i < guesser.dilations.size(); ++i) {
    if (auto error = residual_block(guesser, a, i, guesser.dilations[i])) return *error;
  }

  const std::size_t pooled_values = saturating_mul(guesser.channels, guesser.n_grid);
  if (a.h.size() < pooled_values) return NnError::shape_mismatch("stem", a.h.size(), pooled_values);
  std::vector<double> v = pool(a.h, guesser.channels, guesser.n_grid, input);
  for (const char* layer : {"head.0", "head.2"}) {
    auto hidden = guesser.linear(v, layer);
    if (!hidden) return hidden.error();
    v = std::move(hidden.value());
    gelu_in_place(v);
  }
  return guesser.linear(v, "head.4");
}

Result<std::vector<double>, NnError> decode(const Guesser& guesser, std::span<const double> head,
                                            const ScaleEstimate& scale) {
  if (auto error = decoding_error(guesser, head.size())) return *error;
  const std::size_t p = guesser.param_names.size();
  std::vector<double> y(p);
  for (std::size_t j = 0; j < p; ++j) {
    const double v = head[j] * guesser.target_std[j] + guesser.target_mean[j];
    y[j] = guesser.log_params[j] ? portable_pow(10.0, v) : clamp_keeping_nan(v, guesser.alpha_min, guesser.alpha_max);
  }
  std::vector<double> out(p);
  for (std::size_t j = 0; j < p; ++j) {
    const Scaling& s = guesser.scaling[j];
    const double exponent = s.ref < 0 ? s.b : s.b + s.c * y[static_cast<std::size_t>(s.ref)];
    out[j] = (y[j] * portable_pow(scale.z_c, s.a)) * portable_pow(scale.omega_c, exponent);
  }
  return out;
}

Result<std::vector<double>, NnError> infer(const Guesser& guesser, std::span<const double> frequencies,
                                           std::span<const Complex> impedances) {
  const std::size_t points = std::min(frequencies.size(), impedances.size());
  if (points < 2) return NnError::too_few_points(points);
  if (impedances.size() < frequencies.size()) {
    return NnError::shape_mismatch("impedances", impedances.size(), frequencies.size());
  }
  const std::size_t input_values = saturating_mul(kInputChannels, guesser.n_grid);
  if (input_values > kMaxLayerValues) {
    return NnError::unparsable("n_grid " + std::to_string(guesser.n_grid) + " needs " + std::to_string(input_values) +
                               " input values, more than the limit of " + std::to_string(kMaxLayerValues));
  }
  const ScaleEstimate scale = reactive_centroid(frequencies, impedances);
  const Features input = features(guesser.n_grid, frequencies, impedances, scale);
  auto head = forward(guesser, input);
  if (!head) return head.error();
  return decode(guesser, head.value(), scale);
}

}  // namespace kovrant
