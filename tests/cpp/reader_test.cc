#include "nn/reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

namespace kovrant {
namespace {

TEST(Binary16, EveryFiniteValueMatchesAnIndependentBinary32) {
  // Every finite binary16 value is exactly a binary32; build that one from
  // the bit fields and compare, signed zeros and subnormals included.
  for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
    const std::uint32_t exponent = (bits >> 10) & 0x1F, mantissa = bits & 0x3FF;
    if (exponent == 0x1F) continue;
    float expected = exponent == 0 ? static_cast<float>(mantissa) / 16777216.0f
                                   : std::bit_cast<float>(((exponent + 112) << 23) | (mantissa << 13));
    if (bits & 0x8000) expected = -expected;
    const double value = decode_binary16(static_cast<std::uint16_t>(bits));
    ASSERT_EQ(value, static_cast<double>(expected)) << bits;
    ASSERT_EQ(std::signbit(value), (bits & 0x8000) != 0) << bits;
  }
  EXPECT_EQ(decode_binary16(0x7BFF), 65504.0);
  EXPECT_EQ(decode_binary16(0x0001), 5.9604644775390625e-08);
}

TEST(Binary16, InfinitiesStayAndEveryNanBecomesQuiet) {
  EXPECT_EQ(decode_binary16(0x7C00), std::numeric_limits<double>::infinity());
  EXPECT_EQ(decode_binary16(0xFC00), -std::numeric_limits<double>::infinity());
  for (std::uint16_t bits : {0x7C01, 0x7E00, 0x7FFF, 0xFC01, 0xFD00}) {
    const double value = decode_binary16(bits);
    ASSERT_TRUE(std::isnan(value)) << std::hex << bits;
    EXPECT_NE(std::bit_cast<std::uint64_t>(value) & (1ull << 51), 0u) << "quiet bit, " << std::hex << bits;
    EXPECT_EQ(std::signbit(value), (bits & 0x8000) != 0);
  }
}

TEST(Utf8, AcceptsWellFormedSequencesOnly) {
  const std::pair<std::vector<unsigned char>, bool> cases[] = {
      {{}, true},
      {{'R', '0'}, true},
      {{0xC3, 0xA9}, true},
      {{0xE2, 0x82, 0xAC}, true},
      {{0xF0, 0x9F, 0x98, 0x80}, true},
      {{0xF4, 0x8F, 0xBF, 0xBF}, true},   // U+10FFFF
      {{0x80}, false},                    // stray continuation
      {{0xC0, 0xAF}, false},              // overlong
      {{0xE0, 0x80, 0xAF}, false},        // overlong
      {{0xED, 0xA0, 0x80}, false},        // surrogate
      {{0xF4, 0x90, 0x80, 0x80}, false},  // above U+10FFFF
      {{0xE2, 0x82}, false},              // cut short
      {{0xE2, 0x28, 0xAC}, false},        // bad continuation
      {{0xFF}, false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(is_valid_utf8(cases[i].first), cases[i].second) << i;
}

TEST(Reader, ReadsLittleEndianFieldsInOrder) {
  const std::vector<unsigned char> buffer = {7, 0x00, 0x00, 0xC0, 0x3F, 2, 0, 0, 0, 'h', 'i', 9};
  Reader reader(buffer);
  EXPECT_EQ(reader.u8(), 7);
  const auto bits = reader.u32();
  ASSERT_TRUE(bits.has_value());
  EXPECT_EQ(*bits, 0x3FC00000u);
  EXPECT_EQ(decode_binary32(*bits), 1.5);
  EXPECT_EQ(reader.string(), "hi");
  EXPECT_EQ(reader.position(), 11u);
  EXPECT_EQ(reader.u32(), std::nullopt);  // only one byte left
  EXPECT_EQ(reader.position(), 11u);
  EXPECT_EQ(reader.u8(), 9);
  EXPECT_EQ(reader.u8(), std::nullopt);
}

TEST(Reader, RefusesReadsPastTheEndAndStringsThatAreNotUtf8) {
  const std::vector<unsigned char> huge_length = {0xFF, 0xFF, 0xFF, 0xFF, 'a'};
  Reader reader(huge_length);
  EXPECT_EQ(reader.string(), std::nullopt);
  EXPECT_EQ(reader.position(), 0u);
  EXPECT_EQ(reader.bytes(std::numeric_limits<std::size_t>::max()), std::nullopt);
  EXPECT_TRUE(reader.bytes(5).has_value());
  EXPECT_TRUE(reader.bytes(0).has_value());
  EXPECT_EQ(reader.bytes(1), std::nullopt);

  const std::vector<unsigned char> not_utf8 = {2, 0, 0, 0, 0xC3, 0x28};
  Reader second(not_utf8);
  EXPECT_EQ(second.string(), std::nullopt);
  EXPECT_EQ(second.position(), 0u);
}

}  // namespace
}  // namespace kovrant
