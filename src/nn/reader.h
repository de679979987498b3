// Little-endian reading of an EISNN001 byte buffer.
//
// Contract: a Reader walks a borrowed buffer with a byte position. Every read
// either consumes exactly its bytes and returns the value, or returns nothing
// and leaves the position unchanged when the read would pass the end of the
// buffer; the bounds test never overflows. string() also returns nothing for
// bytes that are not well-formed UTF-8. The decode_* helpers widen one stored
// element to a double exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kovrant {

class Reader {
 public:
  explicit Reader(std::span<const unsigned char> bytes) : bytes_(bytes) {}

  std::optional<std::uint8_t> u8();
  std::optional<std::uint32_t> u32();
  // A u32 byte length followed by that many UTF-8 bytes.
  std::optional<std::string> string();
  // The next `count` bytes, as a view into the buffer.
  std::optional<std::span<const unsigned char>> bytes(std::size_t count);

  std::size_t position() const { return position_; }

 private:
  std::span<const unsigned char> bytes_;
  std::size_t position_ = 0;
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::span<const unsigned char> bytes);

// IEEE binary16 bits to double, exact for normals, subnormals and infinities;
// a NaN keeps its sign and payload and becomes quiet.
double decode_binary16(std::uint16_t bits);

// IEEE binary32 bits to double.
double decode_binary32(std::uint32_t bits);

// Little-endian unsigned integers from the first bytes of `at`.
std::uint16_t load_u16(const unsigned char* at);
std::uint32_t load_u32(const unsigned char* at);

}  // namespace kovrant
