#include "circuit/describe.h"

#include <gtest/gtest.h>

#include <limits>

#include "circuit/params.h"
#include "circuit/parser.h"
#include "util/text.h"

namespace kovrant {
namespace {

SeriesList parsed(std::string_view text) {
  auto result = parse(text);
  EXPECT_TRUE(result.ok()) << text;
  return std::move(result).value();
}

Element element_of_kind(Kind kind, std::initializer_list<double> values) {
  Element element;
  element.kind = kind;
  std::copy(values.begin(), values.end(), element.values.begin());
  return element;
}

TEST(DescribeCircuit, HeadingPaddingAndEmptyCircuit) {
  EXPECT_EQ(describe_circuit(parsed("R0")), "Circuit (1 parameter)\n  R0.r = 1          [ohm]  bounds (1e-12, inf)");
  EXPECT_EQ(describe_circuit(parsed("R0-(R1,CPE1)")),
            "Circuit (4 parameters)\n"
            "  R0.r       = 1          [ohm]  bounds (1e-12, inf)\n"
            "  R1.r       = 1          [ohm]  bounds (1e-12, inf)\n"
            "  CPE1.q     = 0.001      [ohm^-1*s^alpha]  bounds (1e-12, inf)\n"
            "  CPE1.alpha = 0.8        [-]  bounds (0, 1)");
  EXPECT_EQ(describe_circuit(SeriesList{}), "Circuit (0 parameters)\n");
  // Values longer than the column are not cut.
  EXPECT_EQ(describe_circuit(rebuild(parsed("R0"), std::vector<double>{0.123456789012})),
            "Circuit (1 parameter)\n  R0.r = 0.123456789012 [ohm]  bounds (1e-12, inf)");
}

struct NumberText {
  double value;
  const char* plain;
  const char* literal;
};

class NumberFormats : public ::testing::TestWithParam<NumberText> {};

TEST_P(NumberFormats, PlainAndLiteral) {
  EXPECT_EQ(format_plain_number(GetParam().value), GetParam().plain);
  EXPECT_EQ(format_float_literal(GetParam().value), GetParam().literal);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Text, NumberFormats,
    ::testing::Values(NumberText{1e-5, "1e-5", "1e-5"}, NumberText{1e6, "1e6", "1000000.0"},
                      NumberText{0.0001, "0.0001", "0.0001"}, NumberText{999999, "999999", "999999.0"},
                      NumberText{0.0, "0", "0.0"}, NumberText{-0.0, "-0", "-0.0"}, NumberText{100, "100", "100.0"},
                      NumberText{kInf, "inf", "inf"}, NumberText{-kInf, "-inf", "-inf"},
                      NumberText{std::numeric_limits<double>::quiet_NaN(), "NaN", "NaN"},
                      NumberText{-2.5, "-2.5", "-2.5"}, NumberText{1e-12, "1e-12", "1e-12"},
                      NumberText{123456.789, "123456.789", "123456.789"}, NumberText{-3e20, "-3e20", "-3e20"},
                      NumberText{2.5e6, "2.5e6", "2500000.0"}, NumberText{1e16, "1e16", "1e16"},
                      NumberText{9999999999999998.0, "9.999999999999998e15", "9999999999999998.0"}));

TEST(DescribeElement, UsesKindNameFieldsAndFloatLiterals) {
  EXPECT_EQ(describe_element(element_of_kind(Kind::R, {100})), "Element.R(r=100.0)");
  EXPECT_EQ(describe_element(element_of_kind(Kind::La, {1e-6, 0.8})), "Element.La(l=1e-6, alpha=0.8)");
  EXPECT_EQ(describe_element(element_of_kind(Kind::Zarc, {1.0, 0.001, 0.8})),
            "Element.Zarc(r=1.0, tau_k=0.001, gamma=0.8)");
  EXPECT_EQ(describe_element(element_of_kind(Kind::T, {1.5e-5, 1e16, -kInf, std::numeric_limits<double>::quiet_NaN()})),
            "Element.T(a=1.5e-5, b=1e16, k_tau=-inf, tau=NaN)");
}

// Reordering and the full report with suggestions and listing are compared as
// Python sees them in tests/python/test_circuit.py.
TEST(AssignNamedValues, OnlyMissingNamesGiveNoUnknownLines) {
  const auto values = assign_named_values(parsed("R0-C1"), std::vector<std::pair<std::string, double>>{});
  ASSERT_FALSE(values.ok());
  EXPECT_EQ(values.error().substr(0, values.error().find('\n')), "missing parameter(s): [\"R0.r\", \"C1.c\"]");
}

TEST(AssignNamedValues, QuotesNamesWithEscapes) {
  const std::vector<std::pair<std::string, double>> supplied = {{"R0.r", 1.0}, {"a\"b\\c\n", 2.0}};
  const auto values = assign_named_values(parsed("R0"), supplied);
  ASSERT_FALSE(values.ok());
  EXPECT_EQ(values.error().substr(0, values.error().find('\n')), "unknown parameter \"a\\\"b\\\\c\\n\"");
}

TEST(DescribeFitResult, FormatsCountsChiSquareAndParamsLikeADict) {
  using Names = std::vector<std::string>;
  using Values = std::vector<double>;
  EXPECT_EQ(describe_fit_result(true, 12, 345, 0.0012345678, Names{"R0.r", "C1.c"}, Values{1.0, 1e-7}),
            "FitResult(success=true, iterations=12, impedance_evals=345, chi_square=1.234568e-3, "
            "params={\"R0.r\": 1.0, \"C1.c\": 1e-7})");
  EXPECT_EQ(describe_fit_result(false, 0, 0, 0.0, Names{}, Values{}),
            "FitResult(success=false, iterations=0, impedance_evals=0, chi_square=0.000000e0, params={})");
  // A repeated name keeps its first position and its last value.
  EXPECT_EQ(describe_fit_result(true, 1, 2, 1.0, Names{"R0.r", "C1.c", "R0.r"}, Values{1.0, 0.25, 2.0}),
            "FitResult(success=true, iterations=1, impedance_evals=2, chi_square=1.000000e0, "
            "params={\"R0.r\": 2.0, \"C1.c\": 0.25})");
}

TEST(Messages, CountsAndDepth) {
  EXPECT_EQ(value_count_message(3, 2), "expected 3 values, got 2");
  EXPECT_EQ(too_few_params_message(4, 2), "expected at least 4 params, got 2");
  EXPECT_EQ(nesting_too_deep_message(257),
            "parallel groups would be nested 257 levels deep, more than the 256 levels a circuit may have");
}

}  // namespace
}  // namespace kovrant

namespace kovrant {
namespace {

TEST(NotationOf, WritesLabelsAndParsesBackToTheSameNames) {
  for (const char* text : {"R0", "R0-(R1,CPE1)", "L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)", "R0-((R1,C1),(R2-W2,C2))-Zarc3"}) {
    const SeriesList tree = parse(text).value();
    EXPECT_EQ(to_notation(tree), text);
  }
  // Unlabelled elements are written with the automatic labels of their parameter names.
  SeriesList composed{Node::element_node(Element::default_for_code("R").value()),
                      Node::parallel_node({{Node::element_node(Element::default_for_code("R").value())},
                                           {Node::element_node(Element::default_for_code("CPE").value())}})};
  const std::string text = to_notation(composed);
  EXPECT_EQ(text, "R0-(R1,Cpe0)");
  EXPECT_EQ(param_names(parse(text).value()), param_names(composed));
}

}  // namespace
}  // namespace kovrant
