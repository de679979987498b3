#include "circuit/parser.h"

#include <gtest/gtest.h>

#include "circuit/params.h"

namespace kovrant {
namespace {

struct Failure {
  const char* text;
  ParseError::Kind kind;
  const char* message;
};

class ParseFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(ParseFailure, ReportsKindAndMessage) {
  const auto result = parse(GetParam().text);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, GetParam().kind);
  EXPECT_EQ(result.error().message(), GetParam().message);
}

using K = ParseError::Kind;
INSTANTIATE_TEST_SUITE_P(
    Notation, ParseFailure,
    ::testing::Values(Failure{"", K::UnexpectedEnd, "unexpected end of input"},
                      Failure{"R0-", K::UnexpectedEnd, "unexpected end of input"},
                      Failure{"R0-(R1,", K::UnexpectedEnd, "unexpected end of input"},
                      Failure{"(R1;R2)", K::UnexpectedEnd, "unexpected end of input"},
                      Failure{"(R1 R2)", K::UnexpectedEnd, "unexpected end of input"},
                      Failure{"(R1,R2", K::UnexpectedEnd, "unexpected end of input"},
                      Failure{"R0 - R1", K::TrailingInput, "unexpected trailing input at position 2"},
                      Failure{"R0 R1", K::TrailingInput, "unexpected trailing input at position 2"},
                      Failure{"R0)", K::TrailingInput, "unexpected trailing input at position 2"},
                      Failure{"R0,R1", K::TrailingInput, "unexpected trailing input at position 2"},
                      Failure{"R", K::UnexpectedCharacter, "unexpected character at position 1"},
                      Failure{"CPE", K::UnexpectedCharacter, "unexpected character at position 3"},
                      Failure{"R-R1", K::UnexpectedCharacter, "unexpected character at position 1"},
                      Failure{"Rx", K::UnexpectedCharacter, "unexpected character at position 2"},
                      Failure{"-R0", K::UnexpectedCharacter, "unexpected character at position 0"},
                      Failure{"R0--R1", K::UnexpectedCharacter, "unexpected character at position 3"},
                      Failure{"()", K::UnexpectedCharacter, "unexpected character at position 1"},
                      Failure{"R0-P(R1,C1)", K::UnexpectedCharacter, "unexpected character at position 4"},
                      Failure{"r0", K::UnknownCode, "unknown element code \"r\" at position 0"},
                      Failure{"R0-Q1", K::UnknownCode, "unknown element code \"Q\" at position 3"},
                      Failure{"pR1", K::UnknownCode, "unknown element code \"pR\" at position 0"},
                      Failure{"R1-R1", K::DuplicateLabel, "duplicate element label \"R1\""},
                      Failure{"R1-(R1,C2)", K::DuplicateLabel, "duplicate element label \"R1\""},
                      // Positions count characters, not bytes.
                      Failure{"\xC3\xA9\xC3\xA9R0", K::UnexpectedCharacter, "unexpected character at position 0"},
                      Failure{"R0-\xE2\x82\xAC", K::UnexpectedCharacter, "unexpected character at position 3"},
                      Failure{"R0\xE2\x82\xAC-R1", K::TrailingInput, "unexpected trailing input at position 2"},
                      Failure{"(R0)\xE2\x82\xAC\xE2\x82\xAC", K::TrailingInput,
                              "unexpected trailing input at position 4"}));

TEST(Parse, BuildsTreesWithLabels) {
  ASSERT_EQ(parse("R0").value().size(), 1u);
  EXPECT_EQ(parse("R0-C1-L2").value().size(), 3u);
  const auto tree = parse("R0-(R1-W1,CPE1)");
  ASSERT_TRUE(tree.ok());
  ASSERT_EQ(tree.value().size(), 2u);
  EXPECT_FALSE(tree.value()[0].is_parallel);
  EXPECT_EQ(*tree.value()[0].label, "R0");
  const Node& group = tree.value()[1];
  ASSERT_TRUE(group.is_parallel);
  ASSERT_EQ(group.branches.size(), 2u);
  EXPECT_EQ(group.branches[0].size(), 2u);
  EXPECT_EQ(group.branches[1][0].element.kind, Kind::Cpe);
  EXPECT_EQ(*group.branches[1][0].label, "CPE1");

  EXPECT_EQ(param_names(parse("R0-(R1,C1)").value()), param_names(parse("R0-p(R1,C1)").value()));
  for (const char* text : {"(R0)", "p(R0)"}) {
    const auto one = parse(text);
    ASSERT_TRUE(one.ok());
    ASSERT_EQ(one.value().size(), 1u);
    EXPECT_TRUE(one.value()[0].is_parallel);
    EXPECT_EQ(one.value()[0].branches.size(), 1u);
  }
  EXPECT_EQ(param_names(parse("Cpe1-CPE2-R007-Zarc12").value()),
            (std::vector<std::string>{"Cpe1.q", "Cpe1.alpha", "CPE2.q", "CPE2.alpha", "R007.r", "Zarc12.r",
                                      "Zarc12.tau_k", "Zarc12.gamma"}));
  EXPECT_TRUE(parse("R1-C1").ok());
  EXPECT_TRUE(parse("CPE1-Cpe1").ok());
}

TEST(Parse, DeepNestingFailsCleanly) {
  const auto result = parse(std::string(1000000, '('));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, ParseError::Kind::TooDeep);
  EXPECT_EQ(result.error().position, kMaxNesting);
  EXPECT_EQ(result.error().message(), "parallel groups nested deeper than 256 levels at position 256");

  const std::string allowed = std::string(kMaxNesting, '(') + "R0" + std::string(kMaxNesting, ')');
  const auto ok = parse(allowed);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(nesting_depth(ok.value()), kMaxNesting);
}

// parse_error_report is compared in full, with and without an echo and caret,
// as Python sees it in tests/python/test_circuit.py.

TEST(ExpandSeries, RewritesKAndZarc) {
  bool changed = false;
  const auto tree = parse("R0-K1").value();
  const SeriesList expanded = expand_series(tree, changed);
  EXPECT_TRUE(changed);
  ASSERT_EQ(expanded.size(), 2u);
  EXPECT_EQ(*expanded[0].label, "R0");
  ASSERT_TRUE(expanded[1].is_parallel);
  EXPECT_EQ(expanded[1].branches[0][0].element.kind, Kind::R);
  EXPECT_EQ(expanded[1].branches[0][0].element.values[0], 1.0);
  EXPECT_EQ(expanded[1].branches[1][0].element.kind, Kind::C);
  EXPECT_EQ(expanded[1].branches[1][0].element.values[0], 0.001 / 1.0);
  EXPECT_FALSE(expanded[1].branches[1][0].label.has_value());

  SeriesList zarc = parse("(R0,Zarc1)").value();
  zarc[0].branches[1][0].element.values = {4.0, 0.01, 0.7, 0.0};
  const SeriesList zarc_expanded = expand_series(zarc, changed);
  const Element& cpe = zarc_expanded[0].branches[1][0].branches[1][0].element;
  EXPECT_EQ(cpe.kind, Kind::Cpe);
  EXPECT_EQ(cpe.values[0], std::pow(0.01, 0.7) / 4.0);
  EXPECT_EQ(cpe.values[1], 0.7);

  bool untouched = false;
  expand_series(parse("R0-(R1,C1)").value(), untouched);
  EXPECT_FALSE(untouched);
}

}  // namespace
}  // namespace kovrant
