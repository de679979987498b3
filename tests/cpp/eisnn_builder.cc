#include "eisnn_builder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <fstream>
#include <map>

namespace kovrant::testing {
namespace {

void put_u32(std::vector<unsigned char>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

void put_string(std::vector<unsigned char>& out, const std::string& text) {
  put_u32(out, static_cast<std::uint32_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

std::vector<std::string> split_names(const std::string& text) {
  std::vector<std::string> names;
  std::size_t start = 0;
  for (std::size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1) {
    names.push_back(text.substr(start, comma - start));
  }
  names.push_back(text.substr(start));
  return names;
}

// Rows (a, b, c, ref) by field; r and z0 take the default (1, 0, 0, -1).
std::vector<float> structural_scaling(const std::vector<std::string>& names) {
  static const std::map<std::string, std::vector<float>> kRows = {{"c", {-1, -1, 0, -1}},   {"l", {1, -1, 0, -1}},
                                                                  {"q", {-1, 0, -1, -1}},   {"alpha", {0, 0, 0, -1}},
                                                                  {"aw", {1, 0.5f, 0, -1}}, {"tau", {0, -1, 0, -1}}};
  std::vector<float> rows;
  for (const std::string& name : names) {
    const std::string label = name.substr(0, name.find('.')), field = name.substr(name.find('.') + 1);
    const auto found = kRows.find(field);
    std::vector<float> row = found == kRows.end() ? std::vector<float>{1, 0, 0, -1} : found->second;
    for (std::size_t j = 0; j < names.size(); ++j) {  // a CPE's q refers to its alpha
      if (field == "q" && names[j] == label + ".alpha") row[3] = static_cast<float>(j);
    }
    rows.insert(rows.end(), row.begin(), row.end());
  }
  return rows;
}

}  // namespace

EisnnBuilder& EisnnBuilder::meta(const std::string& key, const std::string& value) {
  put_string(metadata_, key);
  put_string(metadata_, value);
  ++meta_count_;
  return *this;
}

EisnnBuilder& EisnnBuilder::tensor_bytes(const std::string& name, std::uint8_t encoding,
                                         const std::vector<std::uint32_t>& dims,
                                         const std::vector<unsigned char>& data) {
  put_string(tensors_, name);
  tensors_.push_back(encoding);
  tensors_.push_back(static_cast<unsigned char>(dims.size()));
  for (std::uint32_t dim : dims) put_u32(tensors_, dim);
  tensors_.insert(tensors_.end(), data.begin(), data.end());
  ++tensor_count_;
  return *this;
}

EisnnBuilder& EisnnBuilder::tensor_f32(const std::string& name, const std::vector<std::uint32_t>& dims,
                                       const std::vector<float>& values) {
  std::vector<unsigned char> data;
  for (float value : values) put_u32(data, std::bit_cast<std::uint32_t>(value));
  return tensor_bytes(name, 0, dims, data);
}

EisnnBuilder& EisnnBuilder::vector_f32(const std::string& name, const std::vector<float>& values) {
  return tensor_f32(name, {static_cast<std::uint32_t>(values.size())}, values);
}

std::vector<unsigned char> EisnnBuilder::bytes() const {
  std::vector<unsigned char> out = {'E', 'I', 'S', 'N', 'N', '0', '0', '1'};
  put_u32(out, meta_count_);
  out.insert(out.end(), metadata_.begin(), metadata_.end());
  put_u32(out, tensor_count_);
  out.insert(out.end(), tensors_.begin(), tensors_.end());
  return out;
}

std::string write_temp_file(const std::string& name, const std::vector<unsigned char>& bytes) {
  const std::string path = ::testing::TempDir() + "kovrant_" + std::to_string(getpid()) + "_" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(out.good()) << path;
  return path;
}

EisnnBuilder random_network(const NetworkShape& shape, std::mt19937_64& rng, float scale) {
  std::uniform_real_distribution<float> weight(-scale, scale);
  const auto random_values = [&](std::size_t count, float offset = 0.0f) {
    std::vector<float> values(count);
    for (float& value : values) value = weight(rng) + offset;
    return values;
  };
  const std::uint32_t c = shape.channels, k = shape.kernel, h = shape.hidden;
  const std::vector<std::string> names = split_names(shape.param_names);
  const auto p = static_cast<std::uint32_t>(names.size());
  std::string dilations;
  for (std::uint32_t d : shape.dilations) {
    if (!dilations.empty()) dilations += ',';
    dilations += std::to_string(d);
  }

  EisnnBuilder builder;
  builder.meta("circuit", shape.circuit)
      .meta("param_names", shape.param_names)
      .meta("estimator", "reactive_centroid")
      .meta("n_grid", std::to_string(shape.n_grid))
      .meta("channels", std::to_string(c))
      .meta("kernel", std::to_string(k))
      .meta("groups", std::to_string(shape.groups))
      .meta("dilations", dilations)
      .meta("alpha_min", "0.05")
      .meta("alpha_max", "1.0");
  const auto add = [&](const std::string& name, const std::vector<std::uint32_t>& dims,
                       const std::vector<float>& values) {
    if (name != shape.omitted_tensor) builder.tensor_f32(name, dims, values);
  };
  add("w.stem.weight", {c, 3, k}, random_values(c * 3 * k));
  add("w.stem.bias", {c}, random_values(c));
  for (std::size_t i = 0; i < shape.dilations.size(); ++i) {
    const std::string prefix = "w.blocks." + std::to_string(i) + ".";
    for (const char* conv : {"conv1", "conv2"}) {
      add(prefix + conv + ".weight", {c, c, k}, random_values(c * c * k));
      add(prefix + conv + ".bias", {c}, random_values(c));
    }
    for (const char* norm : {"norm1", "norm2"}) {
      add(prefix + norm + ".weight", {c}, random_values(c, 1.0f));
      add(prefix + norm + ".bias", {c}, random_values(c));
    }
  }
  add("w.head.0.weight", {h, 2 * c + 2}, random_values(h * (2 * c + 2)));
  add("w.head.0.bias", {h}, random_values(h));
  add("w.head.2.weight", {h, h}, random_values(h * h));
  add("w.head.2.bias", {h}, random_values(h));
  add("w.head.4.weight", {2 * p, h}, random_values(2 * p * h));
  add("w.head.4.bias", {2 * p}, random_values(2 * p));

  std::vector<float> mean = random_values(p), spread(p), log_params(p);
  std::uniform_real_distribution<float> positive(0.2f, 1.5f);
  for (std::uint32_t j = 0; j < p; ++j) {
    const bool is_alpha = names[j].ends_with(".alpha");
    log_params[j] = is_alpha ? 0.0f : 1.0f;
    spread[j] = positive(rng);
    if (is_alpha) mean[j] = 0.8f;
  }
  return builder.vector_f32("target_mean", mean)
      .vector_f32("target_std", spread)
      .tensor_f32("scaling", {p, 4}, structural_scaling(names))
      .vector_f32("log_params", log_params);
}

}  // namespace kovrant::testing
