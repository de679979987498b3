// Test helper: writes EISNN001 byte buffers, from hand-picked records or as
// small random networks of any size.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace kovrant::testing {

class EisnnBuilder {
 public:
  EisnnBuilder& meta(const std::string& key, const std::string& value);
  // A raw record: name, encoding byte, dims, then `data` exactly as stored.
  EisnnBuilder& tensor_bytes(const std::string& name, std::uint8_t encoding, const std::vector<std::uint32_t>& dims,
                             const std::vector<unsigned char>& data);
  // A binary32 record; vector_f32 gives it the single dim values.size().
  EisnnBuilder& tensor_f32(const std::string& name, const std::vector<std::uint32_t>& dims,
                           const std::vector<float>& values);
  EisnnBuilder& vector_f32(const std::string& name, const std::vector<float>& values);

  std::vector<unsigned char> bytes() const;

 private:
  std::vector<unsigned char> metadata_, tensors_;
  std::uint32_t meta_count_ = 0, tensor_count_ = 0;
};

// A complete, consistent network description; the defaults are tiny.
struct NetworkShape {
  std::string circuit = "R0-(R1,C1)";
  std::string param_names = "R0.r,R1.r,C1.c";
  std::uint32_t n_grid = 8, channels = 4, kernel = 3, groups = 2;
  std::vector<std::uint32_t> dilations = {1, 2};
  std::uint32_t hidden = 6;
  std::string omitted_tensor;  // a "w." tensor to leave out, if any
};

// Metadata, random "w." weights in [-scale, scale], random statistics, and
// the structural log_params/scaling rows of the kinds in shape.param_names.
EisnnBuilder random_network(const NetworkShape& shape, std::mt19937_64& rng, float scale = 0.5f);

// Writes `bytes` to a file in the test temporary directory whose name is
// unique to this process and `name`, and returns its path.
std::string write_temp_file(const std::string& name, const std::vector<unsigned char>& bytes);

}  // namespace kovrant::testing
