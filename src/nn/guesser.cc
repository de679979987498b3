#include "nn/guesser.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "nn/conv_kernel.h"
#include "nn/number_text.h"
#include "nn/reader.h"
#include "nn/size_math.h"
#include "util/vector_clones.h"

namespace kovrant {
namespace {

// y = W x + b. Each output's sum runs in index order from -0.0; eight
// outputs are summed side by side only so that their independent chains
// overlap.
KOVRANT_WIDE_VECTOR_CLONES
void linear_rows(const double* w, const double* b, const double* x, std::size_t out_features,
                 std::size_t in_features, double* y) {
  constexpr std::size_t kSideBySide = 8;
  std::size_t o = 0;
  for (; o + kSideBySide <= out_features; o += kSideBySide) {
    const double* row = w + o * in_features;
    double sums[kSideBySide];
    std::fill_n(sums, kSideBySide, -0.0);
    for (std::size_t i = 0; i < in_features; ++i) {
#pragma GCC unroll 8
      for (std::size_t a = 0; a < kSideBySide; ++a) sums[a] += row[a * in_features + i] * x[i];
    }
    for (std::size_t a = 0; a < kSideBySide; ++a) y[o + a] = sums[a] + b[o + a];
  }
  for (; o < out_features; ++o) {
    const double* row = w + o * in_features;
    double sum = -0.0;
    for (std::size_t i = 0; i < in_features; ++i) sum += row[i] * x[i];
    y[o] = sum + b[o];
  }
}

constexpr char kMagic[] = "EISNN001";
constexpr std::size_t kMagicSize = 8;

using Metadata = std::map<std::string, std::string, std::less<>>;

// Element count of a tensor: the product of its dims, but at least 1.
std::size_t element_count(const std::vector<std::size_t>& dims) {
  std::size_t count = 1;
  for (std::size_t dim : dims) {
    if (dim == 0) return 1;
    count = saturating_mul(count, dim);
  }
  return count;
}

// Bytes of stored data for `count` elements of `encoding` (0, 1 or 2).
std::size_t data_size(std::uint8_t encoding, std::size_t count) {
  switch (encoding) {
    case 0:
      return saturating_mul(count, 4);
    case 1:
      return saturating_mul(count, 2);
    default:
      return count > std::numeric_limits<std::size_t>::max() - 4 ? std::numeric_limits<std::size_t>::max() : count + 4;
  }
}

std::vector<double> decode_elements(std::uint8_t encoding, std::size_t count, std::span<const unsigned char> data) {
  std::vector<double> values(count);
  if (encoding == 0) {
    for (std::size_t i = 0; i < count; ++i) values[i] = decode_binary32(load_u32(&data[4 * i]));
  } else if (encoding == 1) {
    for (std::size_t i = 0; i < count; ++i) values[i] = decode_binary16(load_u16(&data[2 * i]));
  } else {
    const double scale = decode_binary32(load_u32(data.data()));
    for (std::size_t i = 0; i < count; ++i) {
      values[i] = static_cast<double>(static_cast<std::int8_t>(data[4 + i])) * scale;
    }
  }
  return values;
}

struct NamedTensor {
  std::string name;
  Tensor tensor;
};

Result<NamedTensor, NnError> read_tensor(Reader& reader) {
  auto name = reader.string();
  const auto encoding = reader.u8();
  const auto rank = name && encoding ? reader.u8() : std::nullopt;
  if (!rank) return NnError::truncated();
  std::vector<std::size_t> dims(*rank);
  for (std::size_t& dim : dims) {
    const auto value = reader.u32();
    if (!value) return NnError::truncated();
    dim = *value;
  }
  if (*encoding > 2) return NnError::unknown_encoding(*encoding);
  const std::size_t count = element_count(dims);
  const auto data = reader.bytes(data_size(*encoding, count));
  if (!data) return NnError::truncated();
  return NamedTensor{std::move(*name), Tensor{std::move(dims), decode_elements(*encoding, count, *data)}};
}

// Scaling row from (a, b, c, ref); ref rounds half away from zero and
// saturates to the 32-bit range, NaN giving 0.
Scaling scaling_row(std::span<const double, 4> row) {
  const double rounded = std::round(row[3]);
  std::int32_t ref = 0;
  if (rounded >= 2147483647.0) {
    ref = std::numeric_limits<std::int32_t>::max();
  } else if (rounded <= -2147483648.0) {
    ref = std::numeric_limits<std::int32_t>::min();
  } else if (!std::isnan(rounded)) {
    ref = static_cast<std::int32_t>(rounded);
  }
  return {row[0], row[1], row[2], ref};
}

Result<const std::string*, NnError> meta(const Metadata& metadata, std::string_view key) {
  const auto found = metadata.find(key);
  if (found == metadata.end()) return NnError::missing(std::string(key));
  return &found->second;
}

Result<std::size_t, NnError> meta_unsigned(const Metadata& metadata, std::string_view key) {
  const auto text = meta(metadata, key);
  if (!text) return text.error();
  const auto value = parse_unsigned_text(*text.value());
  if (!value) return NnError::unparsable(std::string(key));
  return *value;
}

Result<double, NnError> meta_float(const Metadata& metadata, std::string_view key) {
  const auto text = meta(metadata, key);
  if (!text) return text.error();
  const auto value = parse_float_text(*text.value());
  if (!value) return NnError::unparsable(std::string(key));
  return *value;
}

std::vector<std::string> split_at_commas(std::string_view text) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) break;
    pieces.emplace_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  pieces.emplace_back(text.substr(start));
  return pieces;
}

// ASCII white space, as trimmed around each dilation.
std::string_view trim_ascii(std::string_view text) {
  constexpr std::string_view kBlank = " \t\n\r\f\v";
  const std::size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

Result<std::vector<std::size_t>, NnError> meta_dilations(const Metadata& metadata) {
  const auto text = meta(metadata, "dilations");
  if (!text) return text.error();
  std::vector<std::size_t> dilations;
  for (const std::string& piece : split_at_commas(*text.value())) {
    const auto value = parse_unsigned_text(trim_ascii(piece));
    if (!value) return NnError::unparsable("dilations");
    dilations.push_back(*value);
  }
  return dilations;
}

// Steps 4 and 5 of loading: the statistics tensors and the scaling rows.
std::optional<NnError> take_statistics(Guesser& guesser) {
  for (const char* name : {"target_mean", "target_std", "log_params"}) {
    if (!guesser.tensors.contains(name)) return NnError::missing(name);
  }
  guesser.target_mean = guesser.tensors.at("target_mean").data;
  guesser.target_std = guesser.tensors.at("target_std").data;
  for (double value : guesser.tensors.at("log_params").data) guesser.log_params.push_back(value != 0.0);

  const auto scaling = guesser.tensors.find("scaling");
  if (scaling == guesser.tensors.end()) return NnError::missing("scaling");
  const std::vector<double>& values = scaling->second.data;
  const std::size_t expected = saturating_mul(guesser.target_mean.size(), 4);
  if (values.size() != expected) return NnError::shape_mismatch("scaling", values.size(), expected);
  for (std::size_t row = 0; row < guesser.target_mean.size(); ++row) {
    guesser.scaling.push_back(scaling_row(std::span<const double, 4>(values.data() + 4 * row, 4)));
  }
  return std::nullopt;
}

// Step 6 of loading: the metadata keys, in their fixed order.
std::optional<NnError> take_metadata(Guesser& guesser, const Metadata& metadata) {
  auto dilations = meta_dilations(metadata);
  if (!dilations) return dilations.error();
  guesser.dilations = std::move(dilations.value());

  const auto estimator = meta(metadata, "estimator");
  if (!estimator) return estimator.error();
  if (*estimator.value() != kReactiveCentroid) return NnError::unknown_estimator(*estimator.value());

  const auto circuit = meta(metadata, "circuit");
  if (!circuit) return circuit.error();
  guesser.circuit = *circuit.value();
  const auto names = meta(metadata, "param_names");
  if (!names) return names.error();
  guesser.param_names = split_at_commas(*names.value());

  for (auto [key, field] : {std::pair{"n_grid", &guesser.n_grid}, std::pair{"channels", &guesser.channels},
                            std::pair{"kernel", &guesser.kernel}, std::pair{"groups", &guesser.groups}}) {
    const auto value = meta_unsigned(metadata, key);
    if (!value) return value.error();
    *field = value.value();
  }
  for (auto [key, field] : {std::pair{"alpha_min", &guesser.alpha_min}, std::pair{"alpha_max", &guesser.alpha_max}}) {
    const auto value = meta_float(metadata, key);
    if (!value) return value.error();
    *field = value.value();
  }
  return std::nullopt;
}

std::string weight_name(std::string_view layer) { return "w." + std::string(layer) + ".weight"; }
std::string bias_name(std::string_view layer) { return "w." + std::string(layer) + ".bias"; }

// The error for a layer whose output would exceed kMaxLayerValues.
NnError too_large(std::string_view layer, std::size_t values) {
  return NnError::unparsable(std::string(layer) + " would produce " + std::to_string(values) +
                             " values, more than the limit of " + std::to_string(kMaxLayerValues));
}

}  // namespace

Result<Guesser, NnError> Guesser::from_bytes(std::span<const unsigned char> bytes) {
  if (bytes.size() < kMagicSize) return NnError::truncated();
  if (std::memcmp(bytes.data(), kMagic, kMagicSize) != 0) return NnError::bad_magic();
  if (bytes.size() < kMagicSize + 4) return NnError::truncated();

  Reader reader(bytes);
  reader.bytes(kMagicSize);
  Metadata metadata;
  const std::uint32_t meta_count = *reader.u32();
  for (std::uint32_t i = 0; i < meta_count; ++i) {
    auto key = reader.string();
    auto value = key ? reader.string() : std::nullopt;
    if (!value) return NnError::truncated();
    metadata.insert_or_assign(std::move(*key), std::move(*value));
  }

  Guesser guesser;
  const auto tensor_count = reader.u32();
  if (!tensor_count) return NnError::truncated();
  for (std::uint32_t i = 0; i < *tensor_count; ++i) {
    auto record = read_tensor(reader);
    if (!record) return record.error();
    guesser.tensors.insert_or_assign(std::move(record.value().name), std::move(record.value().tensor));
  }

  if (auto error = take_statistics(guesser)) return *error;
  if (auto error = take_metadata(guesser, metadata)) return *error;
  guesser.prepare_convolutions();
  return guesser;
}

namespace {

// A layer's "w.{layer}.weight" and "w.{layer}.bias" tensors with their names.
struct LayerTensors {
  std::string weight_name;
  std::string bias_name;
  const Tensor* weight;
  const Tensor* bias;
};

Result<LayerTensors, NnError> layer_tensors(const Guesser& guesser, std::string_view layer) {
  LayerTensors found{weight_name(layer), bias_name(layer), nullptr, nullptr};
  const auto weight = guesser.tensor(found.weight_name);
  if (!weight) return weight.error();
  const auto bias = guesser.tensor(found.bias_name);
  if (!bias) return bias.error();
  found.weight = weight.value();
  found.bias = bias.value();
  return found;
}

}  // namespace

Result<const Tensor*, NnError> Guesser::tensor(std::string_view name) const {
  const auto found = tensors.find(name);
  if (found == tensors.end()) return NnError::missing(std::string(name));
  return &found->second;
}

namespace {

// A convolution layer's tensors, checked against each other and the shape.
struct ConvLayer {
  const double* weights;
  const double* bias;
  ConvShape shape;
};

Result<ConvLayer, NnError> conv_layer(const Guesser& guesser, std::string_view layer, std::size_t in_channels,
                                      std::size_t dilation) {
  const auto tensors = layer_tensors(guesser, layer);
  if (!tensors) return tensors.error();
  const auto& [w_name, b_name, weight, bias] = tensors.value();
  const Tensor& w = *weight;
  const std::vector<double>& b = bias->data;
  if (w.dims.empty()) return NnError::unparsable(w_name + " has no dimensions");

  const ConvShape shape{in_channels, w.dims[0], guesser.n_grid, guesser.kernel, dilation};
  const std::size_t weight_count = saturating_mul(saturating_mul(shape.out_channels, in_channels), shape.taps);
  if (w.data.size() < weight_count) return NnError::shape_mismatch(w_name, w.data.size(), weight_count);
  if (b.size() < shape.out_channels) return NnError::shape_mismatch(b_name, b.size(), shape.out_channels);
  return ConvLayer{w.data.data(), b.data(), shape};
}

}  // namespace

const PreparedConv* PreparedConvs::find(std::string_view layer, const double* weights, const double* bias,
                                        const ConvShape& shape) const {
  const auto found = entries_.find(layer);
  if (found == entries_.end()) return nullptr;
  const Entry& entry = found->second;
  const bool same = entry.weights == weights && entry.bias == bias && entry.conv.shape == shape;
  return same ? &entry.conv : nullptr;
}

void Guesser::prepare_convolutions() {
  const auto prepare = [this](std::string layer, std::size_t in_channels, std::size_t dilation) {
    const auto found = conv_layer(*this, layer, in_channels, dilation);
    // A layer that fails its checks is reported when it runs.
    if (!found || !blocked_conv_applies(found.value().shape)) return;
    const auto& [weights, bias, shape] = found.value();
    prepared_convs.add(std::move(layer), {weights, bias, prepare_conv(shape, weights, bias)});
  };
  prepare("stem", kInputChannels, 1);
  for (std::size_t i = 0; i < dilations.size(); ++i) {
    for (const char* conv : {".conv1", ".conv2"}) prepare("blocks." + std::to_string(i) + conv, channels, dilations[i]);
  }
}

Result<std::vector<double>, NnError> Guesser::conv1d(std::span<const double> x, std::size_t in_channels,
                                                     std::string_view layer, std::size_t dilation) const {
  std::vector<double> y, scratch;
  if (auto error = conv1d_into(x, in_channels, layer, dilation, y, scratch)) return *error;
  return y;
}

std::optional<NnError> Guesser::conv1d_into(std::span<const double> x, std::size_t in_channels,
                                            std::string_view layer, std::size_t dilation, std::vector<double>& y,
                                            std::vector<double>& scratch) const {
  const auto found = conv_layer(*this, layer, in_channels, dilation);
  if (!found) return found.error();
  const auto& [weights, bias, shape] = found.value();
  const std::size_t input_count = saturating_mul(in_channels, shape.length);
  if (x.size() < input_count) return NnError::shape_mismatch(std::string(layer), x.size(), input_count);
  const std::size_t output_count = saturating_mul(shape.out_channels, shape.length);
  if (output_count > kMaxLayerValues) return too_large(layer, output_count);

  y.resize(output_count);
  if (!blocked_conv_applies(shape)) {
    plain_conv(shape, weights, bias, x.data(), y.data());
  } else if (const PreparedConv* prepared = prepared_convs.find(layer, weights, bias, shape)) {
    run_prepared(*prepared, x.data(), y.data(), scratch);
  } else {
    blocked_conv(shape, weights, bias, x.data(), y.data(), scratch);
  }
  return std::nullopt;
}

KOVRANT_WIDE_VECTOR_CLONES
std::optional<NnError> Guesser::group_norm(std::span<double> x, std::string_view layer) const {
  const auto tensors = layer_tensors(*this, layer);
  if (!tensors) return tensors.error();
  const auto& [w_name, b_name, weight, bias] = tensors.value();
  const std::vector<double>& gamma = weight->data;
  const std::vector<double>& beta = bias->data;
  if (groups == 0) return NnError::unparsable("groups is 0, so " + std::string(layer) + " has no group to normalise");
  if (gamma.size() < channels) return NnError::shape_mismatch(w_name, gamma.size(), channels);
  if (beta.size() < channels) return NnError::shape_mismatch(b_name, beta.size(), channels);

  const std::size_t length = n_grid;
  const std::size_t per_group = channels / groups;
  const std::size_t block = saturating_mul(length, per_group);
  const std::size_t covered = saturating_mul(groups, block);
  if (x.size() < covered) return NnError::shape_mismatch(std::string(layer), x.size(), covered);
  if (per_group == 0) return std::nullopt;

  // Each group's sums run in index order from -0.0; several groups are
  // summed side by side only so that their independent chains overlap.
  constexpr std::size_t kSideBySide = 8;
  double means[kSideBySide], inverses[kSideBySide];
  for (std::size_t first = 0; first < groups; first += kSideBySide) {
    const std::size_t count = std::min(kSideBySide, groups - first);
    double* base = x.data() + first * block;
    double sums[kSideBySide], squares[kSideBySide];
    std::fill_n(sums, kSideBySide, -0.0);
    std::fill_n(squares, kSideBySide, -0.0);
    for (std::size_t k = 0; k < block; ++k) {
      for (std::size_t g = 0; g < count; ++g) sums[g] += base[g * block + k];
    }
    for (std::size_t g = 0; g < count; ++g) means[g] = sums[g] / static_cast<double>(block);
    for (std::size_t k = 0; k < block; ++k) {
      for (std::size_t g = 0; g < count; ++g) {
        const double d = base[g * block + k] - means[g];
        squares[g] += d * d;
      }
    }
    for (std::size_t g = 0; g < count; ++g) {
      inverses[g] = 1.0 / std::sqrt(squares[g] / static_cast<double>(block) + 1e-5);
    }
    for (std::size_t g = 0; g < count; ++g) {
      double* values = base + g * block;
      const double mean = means[g], inv = inverses[g];
      for (std::size_t local = 0; local < per_group; ++local) {
        const std::size_t c = (first + g) * per_group + local;
        double* channel = values + local * length;
        for (std::size_t t = 0; t < length; ++t) channel[t] = ((channel[t] - mean) * inv) * gamma[c] + beta[c];
      }
    }
  }
  return std::nullopt;
}

Result<std::vector<double>, NnError> Guesser::linear(std::span<const double> x, std::string_view layer) const {
  const auto tensors = layer_tensors(*this, layer);
  if (!tensors) return tensors.error();
  const auto& [w_name, b_name, weight, bias] = tensors.value();
  const Tensor& w = *weight;
  const std::vector<double>& b = bias->data;
  if (w.dims.size() < 2) return NnError::unparsable(w_name + " has fewer than 2 dimensions");

  const std::size_t out_features = w.dims[0], in_features = w.dims[1];
  if (x.size() != in_features) return NnError::shape_mismatch(std::string(layer), x.size(), in_features);
  const std::size_t weight_count = saturating_mul(out_features, in_features);
  if (w.data.size() < weight_count) return NnError::shape_mismatch(w_name, w.data.size(), weight_count);
  if (b.size() < out_features) return NnError::shape_mismatch(b_name, b.size(), out_features);

  std::vector<double> y(out_features);
  linear_rows(w.data.data(), b.data(), x.data(), out_features, in_features, y.data());
  return y;
}

}  // namespace kovrant
