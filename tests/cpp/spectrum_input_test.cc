#include "fit/spectrum_input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kovrant {
namespace {

constexpr const char* kFrequencyLabel = "\"Frequency / Hz\" or \"frequency_hertz\"";

TEST(SpectrumFromLists, KeepsEveryRow) {
  const auto spectrum = spectrum_from_lists({0.0, -1.0, 2.0}, {{1, 2}, {3, 4}, {5, 6}});
  ASSERT_TRUE(spectrum.ok());
  EXPECT_EQ(spectrum.value().frequencies, (std::vector<double>{0.0, -1.0, 2.0}));
  EXPECT_EQ(spectrum.value().impedances.size(), 3u);
}

TEST(SpectrumFromLists, LengthsMustAgree) {
  const auto spectrum = spectrum_from_lists({1.0, 2.0}, {{1, 2}});
  ASSERT_FALSE(spectrum.ok());
  EXPECT_EQ(spectrum.error(), "frequencies and impedances must have the same length");
}

TEST(SpectrumFromColumns, PrefersRealAndImaginaryAndDropsNonPositiveRows) {
  FrameColumns columns;
  columns.frequency = {1.0, 0.0, std::numeric_limits<double>::quiet_NaN(), 4.0};
  columns.real = std::vector<double>{1, 2, 3, 4};
  columns.imaginary = std::vector<double>{-1, -2, -3, -4};
  columns.modulus = std::vector<double>{9, 9, 9, 9};
  columns.phase = std::vector<double>{9, 9, 9, 9};
  const auto spectrum = spectrum_from_columns(columns);
  ASSERT_TRUE(spectrum.ok());
  EXPECT_EQ(spectrum.value().frequencies, (std::vector<double>{1.0, 4.0}));
  ASSERT_EQ(spectrum.value().impedances.size(), 2u);
  EXPECT_EQ(spectrum.value().impedances[1], (Complex{4, -4}));
}

TEST(SpectrumFromColumns, ModulusAndPhaseInDegrees) {
  FrameColumns columns;
  columns.frequency = {1.0, 2.0};
  columns.modulus = std::vector<double>{2.0, 2.0};
  columns.phase = std::vector<double>{90.0, -45.0};
  const auto spectrum = spectrum_from_columns(columns);
  ASSERT_TRUE(spectrum.ok());
  EXPECT_NEAR(spectrum.value().impedances[0].re, 0.0, 1e-15);
  EXPECT_DOUBLE_EQ(spectrum.value().impedances[0].im, 2.0);
  EXPECT_DOUBLE_EQ(spectrum.value().impedances[1].re, std::sqrt(2.0));
  EXPECT_DOUBLE_EQ(spectrum.value().impedances[1].im, -std::sqrt(2.0));
}

struct ColumnsCase {
  FrameColumns columns;
  std::string message;
};

class SpectrumFromColumnsFailure : public testing::TestWithParam<ColumnsCase> {};

TEST_P(SpectrumFromColumnsFailure, Message) {
  const auto spectrum = spectrum_from_columns(GetParam().columns);
  ASSERT_FALSE(spectrum.ok());
  EXPECT_EQ(spectrum.error(), GetParam().message);
}

const std::string kReal = "\"Real Impedance / ohm\" or \"real_impedance_ohm\"";
const std::string kImaginary = "\"Imaginary Impedance / ohm\" or \"imaginary_impedance_ohm\"";
const std::string kModulus = "\"Absolute Impedance / ohm\" or \"absolute_impedance_ohm\"";
const std::string kPhase = "\"Phase / deg\" or \"phase_degree\"";

INSTANTIATE_TEST_SUITE_P(
    Frames, SpectrumFromColumnsFailure,
    testing::Values(
        ColumnsCase{{{1.0}, std::vector<double>{1.0}, std::nullopt, std::nullopt, std::vector<double>{1.0}},
                    "no impedance columns: expected " + kReal + " together with " + kImaginary + ", or " + kModulus +
                        " together with " + kPhase},
        ColumnsCase{{{1.0}, std::vector<double>{1.0, 2.0}, std::vector<double>{1.0}, std::nullopt, std::nullopt},
                    "real and imaginary impedance columns must have the same length"},
        ColumnsCase{{{1.0}, std::nullopt, std::nullopt, std::vector<double>{1.0}, std::vector<double>{}},
                    "absolute impedance and phase columns must have the same length"},
        ColumnsCase{{{1.0, 2.0, 3.0}, std::vector<double>{1, 2}, std::vector<double>{1, 2}, std::nullopt, std::nullopt},
                    "frequency column has 3 rows but " + kReal + " and " + kImaginary + " have 2"},
        ColumnsCase{{{1.0}, std::nullopt, std::nullopt, std::vector<double>{1, 2}, std::vector<double>{1, 2}},
                    "frequency column has 1 rows but " + kModulus + " and " + kPhase + " have 2"},
        ColumnsCase{{{0.0, -1.0}, std::vector<double>{1, 2}, std::vector<double>{1, 2}, std::nullopt, std::nullopt},
                    std::string("no measured points: every row of the ") + kFrequencyLabel +
                        " column is zero or negative"}));

TEST(SpectrumMessages, ColumnsAndArguments) {
  EXPECT_EQ(not_numeric_message("Phase / deg"), "column \"Phase / deg\" is not numeric");
  EXPECT_EQ(missing_frequency_column_message(),
            std::string("expected a dataframe with a ") + kFrequencyLabel +
                " column, or frequencies and impedances as two arguments");
  EXPECT_EQ(not_frequencies_message(),
            std::string("expected a sequence of frequencies, or a dataframe with a ") + kFrequencyLabel + " column");
}

TEST(ParseWeighting, ExactNamesOnly) {
  EXPECT_EQ(parse_weighting("modulus").value(), Weighting::Modulus);
  EXPECT_EQ(parse_weighting("unit").value(), Weighting::Unit);
  for (const char* text : {"Unit", "MODULUS", " unit", "abs", ""}) {
    const auto weighting = parse_weighting(text);
    ASSERT_FALSE(weighting.ok()) << text;
    EXPECT_EQ(weighting.error(),
              "unknown weight scheme \"" + std::string(text) + "\", expected \"modulus\" or \"unit\"");
  }
}

}  // namespace
}  // namespace kovrant
