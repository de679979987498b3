#include "models/model_table.h"

#include <gtest/gtest.h>

#include "circuit/params.h"
#include "circuit/parser.h"

namespace kovrant::model_table {
namespace {

TEST(ModelTable, ListsTheElevenKeysInRegistryOrderAndEveryCircuitParses) {
  EXPECT_EQ(names(), (std::vector<std::string>{"rc", "rc_l", "rq", "rq_l", "two_rc", "two_rc_l", "two_rq", "two_rq_l",
                                               "randles", "sei_randles", "sei_randles_wo"}));
  EXPECT_EQ(quoted_names(),
            "'rc', 'rc_l', 'rq', 'rq_l', 'two_rc', 'two_rc_l', 'two_rq', 'two_rq_l', 'randles', 'sei_randles', "
            "'sei_randles_wo'");
  for (const Entry& entry : entries()) EXPECT_TRUE(parse(entry.circuit).ok()) << entry.key;
}

TEST(ModelTable, KeysMatchIgnoringAsciiCaseOnly) {
  EXPECT_EQ(notation_for_key("randles"), "R0-(R1-W1,CPE1)");
  EXPECT_EQ(notation_for_key("RANDLES"), "R0-(R1-W1,CPE1)");
  EXPECT_EQ(notation_for_key("Sei_Randles_Wo"), "R0-(R1,CPE1)-(R2-Wo2,CPE2)");
  EXPECT_EQ(notation_for_key(" randles"), std::nullopt);
  EXPECT_EQ(notation_for_key("rc_"), std::nullopt);
  EXPECT_EQ(notation_for_key(""), std::nullopt);
  // U+0130 lower-cases to "i" outside ASCII; it must not match "rq" spelled otherwise.
  EXPECT_EQ(notation_for_key("r\xC4\xB0"), std::nullopt);
}

TEST(ParseCircuitText, TrimsReplacesModelKeysAndEchoesTheTrimmedText) {
  const auto parsed = parse_circuit_text("  Randles \n");
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(param_names(parsed.value()), (std::vector<std::string>{"R0.r", "R1.r", "W1.aw", "CPE1.q", "CPE1.alpha"}));

  const auto failed = parse_circuit_text("\t R0-Q1  ");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().substr(0, failed.error().find("\n\nsyntax:")),
            "unknown element code \"Q\" at position 3\n\n  R0-Q1\n     ^");

  const auto blank = parse_circuit_text(" \t\n");
  ASSERT_FALSE(blank.ok());
  EXPECT_EQ(blank.error().substr(0, blank.error().find('\n')), "unexpected end of input");
}

}  // namespace
}  // namespace kovrant::model_table
