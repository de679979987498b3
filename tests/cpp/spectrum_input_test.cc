#include "fit/spectrum_input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kovrant {
namespace {

TEST(SpectrumFromLists, KeepsEveryRowAndNeedsEqualLengths) {
  const auto spectrum = spectrum_from_lists({0.0, -1.0, 2.0}, {{1, 2}, {3, 4}, {5, 6}});
  ASSERT_TRUE(spectrum.ok());
  EXPECT_EQ(spectrum.value().frequencies, (std::vector<double>{0.0, -1.0, 2.0}));
  EXPECT_EQ(spectrum.value().impedances.size(), 3u);
  const auto mismatched = spectrum_from_lists({1.0, 2.0}, {{1, 2}});
  ASSERT_FALSE(mismatched.ok());
  EXPECT_EQ(mismatched.error(), "frequencies and impedances must have the same length");
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

TEST(SpectrumFromColumns, RowCountsNameTheColumnsUsed) {
  FrameColumns columns;
  columns.frequency = {1.0};
  columns.modulus = std::vector<double>{1, 2};
  columns.phase = std::vector<double>{1, 2};
  const auto spectrum = spectrum_from_columns(columns);
  ASSERT_FALSE(spectrum.ok());
  EXPECT_EQ(spectrum.error(),
            "frequency column has 1 rows but \"Absolute Impedance / ohm\" or \"absolute_impedance_ohm\" and "
            "\"Phase / deg\" or \"phase_degree\" have 2");
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
