#include "nn/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kovrant {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ParseUnsigned, AcceptsOnlyDigitsWithAnOptionalPlus) {
  for (const auto& [text, value] : std::vector<std::pair<const char*, std::size_t>>{
           {"64", 64}, {"+64", 64}, {"0", 0}, {"007", 7}, {"18446744073709551615", std::size_t(-1)}}) {
    EXPECT_EQ(parse_unsigned_text(text), value) << text;
  }
  for (const char* text : {"", "+", "-1", " 64", "64 ", "6 4", "1e3", "0x10", "++1", "1.0", "18446744073709551616",
                           "99999999999999999999"}) {
    EXPECT_EQ(parse_unsigned_text(text), std::nullopt) << '"' << text << '"';
  }
}

TEST(ParseFloat, AcceptsTheDecimalFormAndNamedValues) {
  for (const auto& [text, expected] :
       std::vector<std::pair<const char*, double>>{{"0.05", 0.05},
                                                   {"1", 1.0},
                                                   {"+2.5", 2.5},
                                                   {"-0", -0.0},
                                                   {"1.", 1.0},
                                                   {".5", 0.5},
                                                   {"1E-3", 0.001},
                                                   {"2.5e+2", 250.0},
                                                   {"inf", kInf},
                                                   {"-Infinity", -kInf},
                                                   {"+INF", kInf},
                                                   {"1e400", kInf},
                                                   {"-1e-400", -0.0},
                                                   {"0.0000001e-320", 0.0},
                                                   {"123456789e99999999999999", kInf},
                                                   {"4.9406564584124654e-324", 4.9406564584124654e-324}}) {
    const auto value = parse_float_text(text);
    ASSERT_TRUE(value.has_value()) << text;
    EXPECT_EQ(*value, expected) << text;
    EXPECT_EQ(std::signbit(*value), std::signbit(expected)) << text;
  }
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
