// Test helper: writes EISNN001 byte buffers, from hand-picked records or as
// small random networks of any size.
#pragma once

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace kovrant::testing {

class EisnnBuilder {
 public:
  EisnnBuilder& meta(const std::string& key, const std::string& value);
  // Raw record: name, encoding byte, dims, then `data` as stored.
  EisnnBuilder& tensor_bytes(const std::string& name, std::uint8_t encoding, const std::vector<std::uint32_t>& dims,
                             const std::vector<unsigned char>& data);
  EisnnBuilder& tensor_f32(const std::string& name, const std::vector<std::uint32_t>& dims,
                           const std::vector<float>& values);
  EisnnBuilder& tensor_f16(const std::string& name, const std::vector<std::uint32_t>& dims,
                           const std::vector<std::uint16_t>& bits);
  EisnnBuilder& tensor_i8(const std::string& name, const std::vector<std::uint32_t>& dims, float scale,
                          const std::vector<std::int8_t>& values);
  // A rank-1 binary32 tensor.
  EisnnBuilder& vector_f32(const std::string& name, const std::vector<float>& values);

  // Everything appended after the last tensor record.
  EisnnBuilder& trailing(const std::vector<unsigned char>& bytes);

  std::vector<unsigned char> bytes() const;

 private:
  std::vector<unsigned char> metadata_;
  std::vector<unsigned char> tensors_;
  std::vector<unsigned char> trailing_;
  std::uint32_t meta_count_ = 0;
  std::uint32_t tensor_count_ = 0;
};

// A complete, consistent network description; the defaults are tiny.
struct NetworkShape {
  std::string circuit = "R0-(R1,C1)";
  std::string param_names = "R0.r,R1.r,C1.c";
  std::uint32_t n_grid = 8;
  std::uint32_t channels = 4;
  std::uint32_t kernel = 3;
  std::uint32_t groups = 2;
  std::vector<std::uint32_t> dilations = {1, 2};
  std::uint32_t hidden = 6;
  std::string alpha_min = "0.05";
  std::string alpha_max = "1.0";
  std::string omitted_tensor;  // a "w." tensor to leave out, if any
};

// "n_grid 8, channels 4, kernel 3, groups 2, dilations 1,2" in test output.
void PrintTo(const NetworkShape& shape, std::ostream* out);

// Metadata, random "w." weights in [-scale, scale] (binary32), random
// statistics, and the structural log_params/scaling rows of the parameter
// kinds named in shape.param_names.
EisnnBuilder random_network(const NetworkShape& shape, std::mt19937_64& rng, float scale = 0.5f);

// Scaling rows (a, b, c, ref) by field name: r, c, l, q, alpha, aw, z0, tau.
std::vector<float> structural_scaling(const std::vector<std::string>& param_names);

std::vector<std::string> split_names(const std::string& text);

// Writes `bytes` to a file in the test temporary directory whose name is
// unique to this process and `name`, and returns its path.
std::string write_temp_file(const std::string& name, const std::vector<unsigned char>& bytes);

}  // namespace kovrant::testing
