#include "nn/reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

namespace kovrant {
namespace {

struct HalfCase {
  std::uint16_t bits;
  double expected;
};

class Binary16Test : public ::testing::TestWithParam<HalfCase> {};

TEST_P(Binary16Test, DecodesExactly) {
  const HalfCase c = GetParam();
  const double value = decode_binary16(c.bits);
  EXPECT_EQ(value, c.expected) << std::hex << c.bits;
  EXPECT_EQ(std::signbit(value), std::signbit(c.expected)) << std::hex << c.bits;
}

INSTANTIATE_TEST_SUITE_P(Values, Binary16Test,
                         ::testing::Values(HalfCase{0x0000, 0.0}, HalfCase{0x8000, -0.0}, HalfCase{0x3C00, 1.0},
                                           HalfCase{0xC000, -2.0}, HalfCase{0x3555, 0.333251953125},
                                           HalfCase{0x7BFF, 65504.0},                 // largest normal
                                           HalfCase{0x0400, 6.103515625e-05},         // smallest normal
                                           HalfCase{0x0001, 5.9604644775390625e-08},  // smallest subnormal
                                           HalfCase{0x03FF, 6.097555160522461e-05},   // largest subnormal
                                           HalfCase{0x8001, -5.9604644775390625e-08},
                                           HalfCase{0x7C00, std::numeric_limits<double>::infinity()},
                                           HalfCase{0xFC00, -std::numeric_limits<double>::infinity()}));

TEST(Binary16, EveryNanBecomesQuiet) {
  for (std::uint16_t bits : {0x7C01, 0x7E00, 0x7FFF, 0xFC01, 0xFD00}) {
    const double value = decode_binary16(bits);
    ASSERT_TRUE(std::isnan(value)) << std::hex << bits;
    const auto raw = std::bit_cast<std::uint64_t>(value);
    EXPECT_NE(raw & (1ull << 51), 0u) << "quiet bit, " << std::hex << bits;
    EXPECT_EQ(std::signbit(value), (bits & 0x8000) != 0);
  }
}

TEST(Binary16, AllFiniteValuesMatchBinary32Widening) {
  // Every finite binary16 value is exactly representable in binary32; build
  // that binary32 independently from the bit fields and compare.
  for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
    const std::uint32_t exponent = (bits >> 10) & 0x1F, mantissa = bits & 0x3FF;
    if (exponent == 0x1F) continue;
    float expected = exponent == 0 ? static_cast<float>(mantissa) / 16777216.0f
                                   : std::bit_cast<float>(((exponent + 112) << 23) | (mantissa << 13));
    if (bits & 0x8000) expected = -expected;
    ASSERT_EQ(decode_binary16(static_cast<std::uint16_t>(bits)), static_cast<double>(expected)) << bits;
  }
}

TEST(Binary32, WidensLittleEndianBits) {
  const unsigned char bytes[] = {0x00, 0x00, 0xC0, 0x3F};
  EXPECT_EQ(decode_binary32(load_u32(bytes)), 1.5);
}

struct Utf8Case {
  std::vector<unsigned char> bytes;
  bool valid;
};

class Utf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Test, Classifies) { EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(Sequences, Utf8Test,
                         ::testing::Values(Utf8Case{{}, true}, Utf8Case{{'R', '0'}, true}, Utf8Case{{0xC3, 0xA9}, true},
                                           Utf8Case{{0xE2, 0x82, 0xAC}, true}, Utf8Case{{0xF0, 0x9F, 0x98, 0x80}, true},
                                           Utf8Case{{0xF4, 0x8F, 0xBF, 0xBF}, true},   // U+10FFFF
                                           Utf8Case{{0x80}, false},                    // stray continuation
                                           Utf8Case{{0xC0, 0xAF}, false},              // overlong
                                           Utf8Case{{0xE0, 0x80, 0xAF}, false},        // overlong
                                           Utf8Case{{0xED, 0xA0, 0x80}, false},        // surrogate
                                           Utf8Case{{0xF4, 0x90, 0x80, 0x80}, false},  // above U+10FFFF
                                           Utf8Case{{0xE2, 0x82}, false},              // cut short
                                           Utf8Case{{0xE2, 0x28, 0xAC}, false},        // bad continuation
                                           Utf8Case{{0xFF}, false}));

TEST(Reader, ReadsLittleEndianFieldsInOrder) {
  const std::vector<unsigned char> buffer = {7, 0x01, 0x02, 0x03, 0x04, 2, 0, 0, 0, 'h', 'i', 9};
  Reader reader(buffer);
  EXPECT_EQ(reader.u8(), 7);
  EXPECT_EQ(reader.u32(), 0x04030201u);
  EXPECT_EQ(reader.string(), "hi");
  EXPECT_EQ(reader.position(), 11u);
  EXPECT_EQ(reader.u32(), std::nullopt);  // only one byte left
  EXPECT_EQ(reader.position(), 11u);
  EXPECT_EQ(reader.u8(), 9);
  EXPECT_EQ(reader.u8(), std::nullopt);
}

TEST(Reader, RefusesLengthsPastTheEndWithoutWrapping) {
  const std::vector<unsigned char> huge_length = {0xFF, 0xFF, 0xFF, 0xFF, 'a'};
  Reader reader(huge_length);
  EXPECT_EQ(reader.string(), std::nullopt);
  EXPECT_EQ(reader.position(), 0u);
  EXPECT_EQ(reader.bytes(std::numeric_limits<std::size_t>::max()), std::nullopt);
  EXPECT_TRUE(reader.bytes(5).has_value());
  EXPECT_TRUE(reader.bytes(0).has_value());
  EXPECT_EQ(reader.bytes(1), std::nullopt);
}

TEST(Reader, RefusesStringsThatAreNotUtf8) {
  const std::vector<unsigned char> buffer = {2, 0, 0, 0, 0xC3, 0x28};
  Reader reader(buffer);
  EXPECT_EQ(reader.string(), std::nullopt);
  EXPECT_EQ(reader.position(), 0u);
}

}  // namespace
}  // namespace kovrant
