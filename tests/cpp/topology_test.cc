#include "models/topology.h"

#include <gtest/gtest.h>

#include "test_trees.h"

namespace kovrant {
namespace {

using Perm = std::vector<std::size_t>;

TEST(CanonicalKey, IgnoresLabelsAndOrder) {
  const std::pair<const char*, const char*> cases[] = {
      {"R0-(R1,C1)", "[([C],[R]),R]"},
      {"(R7,C2)-R3", "[([C],[R]),R]"},
      {"L0-R0-(R1,C1)", "[([C],[R]),L,R]"},
      {"R0", "[R]"},
      {"R0-(R1,CPE1)", "[([Cpe],[R]),R]"},
      {"R0-(R1-W1,CPE1)", "[([Cpe],[R,W]),R]"},
      {"R0-(W1-R1,CPE1)", "[([Cpe],[R,W]),R]"},
      {"R0-Zarc1", "[R,Zarc]"},
      {"La0-Wo1-Ws2-G3-Gs4-TLMQ5-T6-K7", "[G,Gs,K,La,T,Tlmq,Wo,Ws]"},  // kind names, whatever the code
  };
  for (const auto& [circuit, key] : cases) EXPECT_EQ(canonical(tree(circuit)).key, key) << circuit;
}

TEST(Canonical, SpansFollowTheSortedShapes) {
  const auto spans = [](const char* circuit) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    for (const ParamSpan& s : canonical(tree(circuit)).spans) out.emplace_back(s.start, s.count);
    return out;
  };
  // R0 (0), R1 (1), C1 (2): sorted as the group ([C],[R]) then R.
  EXPECT_EQ(spans("R0-(R1,C1)"), (std::vector<std::pair<std::size_t, std::size_t>>{{2, 1}, {1, 1}, {0, 1}}));
  EXPECT_EQ(spans("(CPE0,R0)"), (std::vector<std::pair<std::size_t, std::size_t>>{{0, 2}, {2, 1}}));

  std::size_t counter = 5;
  const std::vector<Shape> s = shapes(tree("CPE0-(R1,C1)-R2"), counter);
  EXPECT_EQ(counter, 5u + 2 + 1 + 1 + 1);
  EXPECT_EQ(series_key(s), "[([C],[R]),Cpe,R]");
  ASSERT_TRUE(s[0].is_group);
  EXPECT_EQ(s[0].branches[0][0].start, 8u);  // C1 after CPE0 (5, 6) and R1 (7)
  EXPECT_EQ(s[1].start, 5u);
  EXPECT_EQ(series_key(std::vector<Shape>{}), "[]");
}

TEST(MatchTopology, MapsUserParametersToModelParameters) {
  const std::tuple<const char*, const char*, std::optional<Perm>> cases[] = {
      {"R0-(R1,C1)", "(R1,C2)-R3", Perm{1, 2, 0}},
      {"R0-(R1,C1)", "R0-(R1,C1)", Perm{0, 1, 2}},
      {"R0-(R1,C1)", "(C1,R1)-R0", Perm{2, 1, 0}},
      {"R0-(R1,C1)", "R0-(R1,CPE1)", std::nullopt},
      {"R0-(R1,C1)", "R0", std::nullopt},
      // Identical groups pair in written order.
      {"R0-(R1,CPE1)-(R2,CPE2)", "(R2,CPE2)-R0-(R1,CPE1)", Perm{1, 2, 3, 0, 4, 5, 6}},
      {"R0-(R1-W1,CPE1)", "R0-(W1-R1,CPE1)", Perm{0, 2, 1, 3, 4}},
      {"L0-R0-(R1,C1)", "R0-(R1,C1)-L0", Perm{1, 2, 3, 0}},
      {"R0-(R1,CPE1)-(R2-Wo2,CPE2)", "(CPE2,Wo2-R2)-(CPE1,R1)-R0", Perm{7, 8, 5, 6, 4, 2, 3, 1, 0}},
  };
  for (const auto& [model, user, perm] : cases) {
    EXPECT_EQ(match_topology(tree(model), tree(user)), perm) << model << " <- " << user;
  }
}

TEST(MatchOrExpand, ExpandsKAndZarcOnlyWhenTheDirectMatchFails) {
  const std::tuple<const char*, const char*, std::optional<Perm>, bool> cases[] = {
      {"R0-(R1,C1)", "(R5,C9)-R2", Perm{1, 2, 0}, false},
      // Expanded trees: R0, R.r, Cpe.q, Cpe.alpha and R.r, C.c, R0.
      {"R0-(R1,CPE1)", "R0-Zarc1", Perm{0, 1, 2, 3}, true},
      {"R0-(R1,C1)", "K1-R0", Perm{1, 2, 0}, true},
      {"R0-(R1,C1)", "R0-(R1,CPE1)", std::nullopt, false},  // nothing to expand
      {"R0-(R1,C1)", "R0-(R1,K1)", std::nullopt, false},    // no match after expanding
  };
  for (const auto& [model, user, perm, expanded] : cases) {
    const auto m = match_or_expand(tree(model), tree(user));
    ASSERT_EQ(m.has_value(), perm.has_value()) << model << " <- " << user;
    if (!m) continue;
    EXPECT_EQ(m->perm, *perm) << user;
    EXPECT_EQ(m->expanded, expanded) << user;
  }
}

}  // namespace
}  // namespace kovrant
