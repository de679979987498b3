#include "eisnn_builder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <fstream>

namespace kovrant::testing {
namespace {

void put_u32(std::vector<unsigned char>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

void put_string(std::vector<unsigned char>& out, const std::string& text) {
  put_u32(out, static_cast<std::uint32_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

void put_f32(std::vector<unsigned char>& out, float value) { put_u32(out, std::bit_cast<std::uint32_t>(value)); }

std::string join(const std::vector<std::uint32_t>& values) {
  std::string text;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text += ',';
    text += std::to_string(values[i]);
  }
  return text;
}

std::string field_of(const std::string& name) { return name.substr(name.find('.') + 1); }
std::string label_of(const std::string& name) { return name.substr(0, name.find('.')); }

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
  for (float value : values) put_f32(data, value);
  return tensor_bytes(name, 0, dims, data);
}

EisnnBuilder& EisnnBuilder::tensor_f16(const std::string& name, const std::vector<std::uint32_t>& dims,
                                       const std::vector<std::uint16_t>& bits) {
  std::vector<unsigned char> data;
  for (std::uint16_t value : bits) {
    data.push_back(static_cast<unsigned char>(value & 0xFF));
    data.push_back(static_cast<unsigned char>(value >> 8));
  }
  return tensor_bytes(name, 1, dims, data);
}

EisnnBuilder& EisnnBuilder::tensor_i8(const std::string& name, const std::vector<std::uint32_t>& dims, float scale,
                                      const std::vector<std::int8_t>& values) {
  std::vector<unsigned char> data;
  put_f32(data, scale);
  for (std::int8_t value : values) data.push_back(static_cast<unsigned char>(value));
  return tensor_bytes(name, 2, dims, data);
}

EisnnBuilder& EisnnBuilder::vector_f32(const std::string& name, const std::vector<float>& values) {
  return tensor_f32(name, {static_cast<std::uint32_t>(values.size())}, values);
}

EisnnBuilder& EisnnBuilder::trailing(const std::vector<unsigned char>& bytes) {
  trailing_.insert(trailing_.end(), bytes.begin(), bytes.end());
  return *this;
}

std::vector<unsigned char> EisnnBuilder::bytes() const {
  std::vector<unsigned char> out = {'E', 'I', 'S', 'N', 'N', '0', '0', '1'};
  put_u32(out, meta_count_);
  out.insert(out.end(), metadata_.begin(), metadata_.end());
  put_u32(out, tensor_count_);
  out.insert(out.end(), tensors_.begin(), tensors_.end());
  out.insert(out.end(), trailing_.begin(), trailing_.end());
  return out;
}

void PrintTo(const NetworkShape& shape, std::ostream* out) {
  *out << "n_grid " << shape.n_grid << ", channels " << shape.channels << ", kernel " << shape.kernel << ", groups "
       << shape.groups << ", dilations " << join(shape.dilations);
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

std::vector<float> structural_scaling(const std::vector<std::string>& param_names) {
  std::vector<float> rows;
  for (const std::string& name : param_names) {
    const std::string field = field_of(name);
    float ref = -1.0f;
    if (field == "q") {
      for (std::size_t j = 0; j < param_names.size(); ++j) {
        if (param_names[j] == label_of(name) + ".alpha") ref = static_cast<float>(j);
      }
    }
    if (field == "c")
      rows.insert(rows.end(), {-1, -1, 0, -1});
    else if (field == "l")
      rows.insert(rows.end(), {1, -1, 0, -1});
    else if (field == "q")
      rows.insert(rows.end(), {-1, 0, -1, ref});
    else if (field == "alpha")
      rows.insert(rows.end(), {0, 0, 0, -1});
    else if (field == "aw")
      rows.insert(rows.end(), {1, 0.5f, 0, -1});
    else if (field == "tau")
      rows.insert(rows.end(), {0, -1, 0, -1});
    else
      rows.insert(rows.end(), {1, 0, 0, -1});  // r, z0
  }
  return rows;
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
  const auto random_values = [&](std::size_t count) {
    std::vector<float> values(count);
    for (float& value : values) value = weight(rng);
    return values;
  };
  const std::uint32_t c = shape.channels, k = shape.kernel, h = shape.hidden;
  const std::vector<std::string> names = split_names(shape.param_names);
  const auto p = static_cast<std::uint32_t>(names.size());

  EisnnBuilder builder;
  builder.meta("circuit", shape.circuit)
      .meta("param_names", shape.param_names)
      .meta("estimator", "reactive_centroid")
      .meta("n_grid", std::to_string(shape.n_grid))
      .meta("channels", std::to_string(c))
      .meta("kernel", std::to_string(k))
      .meta("groups", std::to_string(shape.groups))
      .meta("dilations", join(shape.dilations))
      .meta("alpha_min", shape.alpha_min)
      .meta("alpha_max", shape.alpha_max);
  const auto add = [&](const std::string& name, const std::vector<std::uint32_t>& dims,
                       const std::vector<float>& values) {
    if (name != shape.omitted_tensor) builder.tensor_f32(name, dims, values);
  };
  const auto add_vector = [&](const std::string& name, const std::vector<float>& values) {
    add(name, {static_cast<std::uint32_t>(values.size())}, values);
  };
  add("w.stem.weight", {c, 3, k}, random_values(c * 3 * k));
  add_vector("w.stem.bias", random_values(c));
  for (std::size_t i = 0; i < shape.dilations.size(); ++i) {
    const std::string prefix = "w.blocks." + std::to_string(i) + ".";
    for (const char* conv : {"conv1", "conv2"}) {
      add(prefix + conv + ".weight", {c, c, k}, random_values(c * c * k));
      add_vector(prefix + conv + ".bias", random_values(c));
    }
    for (const char* norm : {"norm1", "norm2"}) {
      std::vector<float> gamma = random_values(c);
      for (float& g : gamma) g += 1.0f;
      add_vector(prefix + norm + ".weight", gamma);
      add_vector(prefix + norm + ".bias", random_values(c));
    }
  }
  add("w.head.0.weight", {h, 2 * c + 2}, random_values(h * (2 * c + 2)));
  add_vector("w.head.0.bias", random_values(h));
  add("w.head.2.weight", {h, h}, random_values(h * h));
  add_vector("w.head.2.bias", random_values(h));
  add("w.head.4.weight", {2 * p, h}, random_values(2 * p * h));
  add_vector("w.head.4.bias", random_values(2 * p));

  std::vector<float> mean = random_values(p), spread(p), log_params(p);
  std::uniform_real_distribution<float> positive(0.2f, 1.5f);
  for (std::uint32_t j = 0; j < p; ++j) {
    const bool is_alpha = field_of(names[j]) == "alpha";
    log_params[j] = is_alpha ? 0.0f : 1.0f;
    spread[j] = positive(rng);
    if (is_alpha) mean[j] = 0.8f;
  }
  builder.vector_f32("target_mean", mean);
  builder.vector_f32("target_std", spread);
  builder.tensor_f32("scaling", {p, 4}, structural_scaling(names));
  builder.vector_f32("log_params", log_params);
  return builder;
}

}  // namespace kovrant::testing
