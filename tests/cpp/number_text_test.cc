#include "nn/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kovrant {
namespace {

TEST(ParseUnsigned, AcceptsPlainDigitsWithOptionalPlus) {
  EXPECT_EQ(parse_unsigned_text("64"), 64u);
  EXPECT_EQ(parse_unsigned_text("+64"), 64u);
  EXPECT_EQ(parse_unsigned_text("0"), 0u);
  EXPECT_EQ(parse_unsigned_text("007"), 7u);
  EXPECT_EQ(parse_unsigned_text("18446744073709551615"), std::numeric_limits<std::size_t>::max());
}

TEST(ParseUnsigned, RejectsEverythingElse) {
  for (const char* text : {"", "+", "-1", " 64", "64 ", "6 4", "1e3", "0x10", "++1", "1.0", "18446744073709551616",
                           "99999999999999999999"}) {
    EXPECT_EQ(parse_unsigned_text(text), std::nullopt) << '"' << text << '"';
  }
}

struct FloatCase {
  const char* text;
  double expected;
};

class ParseFloatTest : public ::testing::TestWithParam<FloatCase> {};

TEST_P(ParseFloatTest, Parses) {
  const auto value = parse_float_text(GetParam().text);
  ASSERT_TRUE(value.has_value()) << GetParam().text;
  EXPECT_EQ(*value, GetParam().expected) << GetParam().text;
  EXPECT_EQ(std::signbit(*value), std::signbit(GetParam().expected)) << GetParam().text;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseFloatTest,
    ::testing::Values(FloatCase{"0.05", 0.05}, FloatCase{"1.0", 1.0}, FloatCase{"1", 1.0}, FloatCase{"+2.5", 2.5},
                      FloatCase{"-0", -0.0}, FloatCase{"1.", 1.0}, FloatCase{".5", 0.5}, FloatCase{"1e3", 1000.0},
                      FloatCase{"1E-3", 0.001}, FloatCase{"2.5e+2", 250.0}, FloatCase{"inf", kInf},
                      FloatCase{"-Infinity", -kInf}, FloatCase{"+INF", kInf}, FloatCase{"1e400", kInf},
                      FloatCase{"-1e400", -kInf}, FloatCase{"1e-400", 0.0}, FloatCase{"-1e-400", -0.0},
                      FloatCase{"0.0000001e-320", 0.0}, FloatCase{"123456789e99999999999999", kInf},
                      FloatCase{"4.9406564584124654e-324", 4.9406564584124654e-324}));

TEST(ParseFloat, AcceptsNanInAnyCase) {
  for (const char* text : {"nan", "NaN", "-NAN", "+nan"}) {
    const auto value = parse_float_text(text);
    ASSERT_TRUE(value.has_value()) << text;
    EXPECT_TRUE(std::isnan(*value)) << text;
  }
}

TEST(ParseFloat, RejectsOtherForms) {
  for (const char* text :
       {"", " 1.0", "1.0 ", ".", "-", "e5", "1e", "1e+", "0x1p3", "1,5", "nan(1)", "infin", "1.0f", "--1", "1e5.0"}) {
    EXPECT_EQ(parse_float_text(text), std::nullopt) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace kovrant
