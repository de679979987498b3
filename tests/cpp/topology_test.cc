#include "models/topology.h"

#include <gtest/gtest.h>

#include "circuit/parser.h"
#include "test_trees.h"

namespace kovrant {
namespace {

struct KeyCase {
  const char* circuit;
  const char* key;
};

void PrintTo(const KeyCase& c, std::ostream* out) { *out << c.circuit; }

class CanonicalKeyTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(CanonicalKeyTest, IgnoresLabelsAndOrder) { EXPECT_EQ(canonical(tree(GetParam().circuit)).key, GetParam().key); }

INSTANTIATE_TEST_SUITE_P(
    Circuits, CanonicalKeyTest,
    ::testing::Values(KeyCase{"R0-(R1,C1)", "[([C],[R]),R]"}, KeyCase{"(R7,C2)-R3", "[([C],[R]),R]"},
                      KeyCase{"L0-R0-(R1,C1)", "[([C],[R]),L,R]"}, KeyCase{"R0", "[R]"},
                      KeyCase{"R0-(R1,CPE1)", "[([Cpe],[R]),R]"}, KeyCase{"R0-(R1-W1,CPE1)", "[([Cpe],[R,W]),R]"},
                      KeyCase{"R0-(W1-R1,CPE1)", "[([Cpe],[R,W]),R]"}, KeyCase{"R0-Zarc1", "[R,Zarc]"}));

TEST(CanonicalKey, EveryKindUsesItsKindName) {
  EXPECT_EQ(canonical(tree("La0-Wo1-Ws2-G3-Gs4-TLMQ5-T6-K7")).key, "[G,Gs,K,La,T,Tlmq,Wo,Ws]");
}

TEST(CanonicalSpans, FollowTheSortedShapes) {
  // R0 (0), R1 (1), C1 (2): sorted as the group ([C],[R]) then R.
  const Canonical c = canonical(tree("R0-(R1,C1)"));
  ASSERT_EQ(c.spans.size(), 3u);
  EXPECT_EQ(c.spans[0].start, 2u);
  EXPECT_EQ(c.spans[1].start, 1u);
  EXPECT_EQ(c.spans[2].start, 0u);
  const Canonical cpe = canonical(tree("(CPE0,R0)"));
  ASSERT_EQ(cpe.spans.size(), 2u);
  EXPECT_EQ(cpe.spans[0].start, 0u);
  EXPECT_EQ(cpe.spans[0].count, 2u);
  EXPECT_EQ(cpe.spans[1].start, 2u);
  EXPECT_EQ(cpe.spans[1].count, 1u);
}

TEST(Shapes, AdvanceTheCounterInWrittenOrder) {
  std::size_t counter = 5;
  const std::vector<Shape> s = shapes(tree("CPE0-(R1,C1)-R2"), counter);
  EXPECT_EQ(counter, 5u + 2 + 1 + 1 + 1);
  EXPECT_EQ(series_key(s), "[([C],[R]),Cpe,R]");
  ASSERT_TRUE(s[0].is_group);
  EXPECT_EQ(s[0].branches[0][0].start, 8u);  // C1 after CPE0 (5, 6) and R1 (7)
  EXPECT_EQ(s[1].start, 5u);
  EXPECT_EQ(series_key(std::vector<Shape>{}), "[]");
}

struct PermCase {
  const char* model;
  const char* user;
  std::optional<std::vector<std::size_t>> perm;
};

void PrintTo(const PermCase& c, std::ostream* out) { *out << c.model << " <- " << c.user; }

class MatchTopologyTest : public ::testing::TestWithParam<PermCase> {};

TEST_P(MatchTopologyTest, MapsUserParametersToModelParameters) {
  EXPECT_EQ(match_topology(tree(GetParam().model), tree(GetParam().user)), GetParam().perm);
}

using Perm = std::vector<std::size_t>;

INSTANTIATE_TEST_SUITE_P(
    Circuits, MatchTopologyTest,
    ::testing::Values(PermCase{"R0-(R1,C1)", "(R1,C2)-R3", Perm{1, 2, 0}},
                      PermCase{"R0-(R1,C1)", "R0-(R1,C1)", Perm{0, 1, 2}},
                      PermCase{"R0-(R1,C1)", "(C1,R1)-R0", Perm{2, 1, 0}},
                      PermCase{"R0-(R1,C1)", "R0-(R1,CPE1)", std::nullopt}, PermCase{"R0-(R1,C1)", "R0", std::nullopt},
                      // Identical groups pair in written order.
                      PermCase{"R0-(R1,CPE1)-(R2,CPE2)", "(R2,CPE2)-R0-(R1,CPE1)", Perm{1, 2, 3, 0, 4, 5, 6}},
                      PermCase{"R0-(R1-W1,CPE1)", "R0-(W1-R1,CPE1)", Perm{0, 2, 1, 3, 4}},
                      PermCase{"L0-R0-(R1,C1)", "R0-(R1,C1)-L0", Perm{1, 2, 3, 0}},
                      PermCase{"R0-(R1,CPE1)-(R2-Wo2,CPE2)", "(CPE2,Wo2-R2)-(CPE1,R1)-R0",
                               Perm{7, 8, 5, 6, 4, 2, 3, 1, 0}}));

TEST(MatchOrExpand, DirectMatchesAreNotExpanded) {
  const auto m = match_or_expand(tree("R0-(R1,C1)"), tree("(R5,C9)-R2"));
  ASSERT_TRUE(m.has_value());
  EXPECT_FALSE(m->expanded);
  EXPECT_EQ(m->perm, (Perm{1, 2, 0}));
}

TEST(MatchOrExpand, ShorthandsMatchThroughTheirPairs) {
  // R0-Zarc1 expands to R0-(R, Cpe): user parameters R0.r, R.r, Cpe.q, Cpe.alpha.
  const auto zarc = match_or_expand(tree("R0-(R1,CPE1)"), tree("R0-Zarc1"));
  ASSERT_TRUE(zarc.has_value());
  EXPECT_TRUE(zarc->expanded);
  EXPECT_EQ(zarc->perm, (Perm{0, 1, 2, 3}));
  const auto k = match_or_expand(tree("R0-(R1,C1)"), tree("K1-R0"));
  ASSERT_TRUE(k.has_value());
  EXPECT_TRUE(k->expanded);
  EXPECT_EQ(k->perm, (Perm{1, 2, 0}));
}

TEST(MatchOrExpand, NothingToExpandOrNoMatchAfterExpanding) {
  EXPECT_FALSE(match_or_expand(tree("R0-(R1,C1)"), tree("R0-(R1,CPE1)")).has_value());
  EXPECT_FALSE(match_or_expand(tree("R0-(R1,C1)"), tree("R0-(R1,K1)")).has_value());
}

}  // namespace
}  // namespace kovrant
