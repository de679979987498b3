#include "nn/reader.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace kovrant {

std::optional<std::span<const unsigned char>> Reader::bytes(std::size_t count) {
  if (count > bytes_.size() - position_) return std::nullopt;
  const auto view = bytes_.subspan(position_, count);
  position_ += count;
  return view;
}

std::optional<std::uint8_t> Reader::u8() {
  const auto view = bytes(1);
  if (!view) return std::nullopt;
  return (*view)[0];
}

std::optional<std::uint32_t> Reader::u32() {
  const auto view = bytes(4);
  if (!view) return std::nullopt;
  return load_u32(view->data());
}

std::optional<std::string> Reader::string() {
  const std::size_t start = position_;
  const auto length = u32();
  if (!length) return std::nullopt;
  const auto view = bytes(*length);
  if (!view || !is_valid_utf8(*view)) {
    position_ = start;
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(view->data()), view->size());
}

bool is_valid_utf8(std::span<const unsigned char> bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    // The second byte's allowed range excludes overlong forms, surrogates and
    // code points above U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (length > bytes.size() - i) return false;
    if (bytes[i + 1] < low || bytes[i + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

double decode_binary16(std::uint16_t bits) {
  const bool negative = (bits & 0x8000) != 0;
  const unsigned exponent = (bits >> 10) & 0x1F;
  const unsigned mantissa = bits & 0x3FF;
  if (exponent == 0x1F) {
    if (mantissa == 0) return negative ? -INFINITY : INFINITY;
    const std::uint64_t nan = (static_cast<std::uint64_t>(negative) << 63) | (0x7FFull << 52) | (1ull << 51) |
                              (static_cast<std::uint64_t>(mantissa) << 42);
    return std::bit_cast<double>(nan);
  }
  // Normals carry the implicit leading bit; subnormals scale by 2^-24 directly.
  const double magnitude = exponent == 0
                               ? std::ldexp(static_cast<double>(mantissa), -24)
                               : std::ldexp(static_cast<double>(mantissa | 0x400), static_cast<int>(exponent) - 25);
  return negative ? -magnitude : magnitude;
}

double decode_binary32(std::uint32_t bits) { return static_cast<double>(std::bit_cast<float>(bits)); }

std::uint16_t load_u16(const unsigned char* at) { return static_cast<std::uint16_t>(at[0] | (at[1] << 8)); }

std::uint32_t load_u32(const unsigned char* at) {
  return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
         (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

}  // namespace kovrant
