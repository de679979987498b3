#include "circuit/params.h"

#include <gtest/gtest.h>

#include <limits>

#include "circuit/parser.h"

namespace kovrant {
namespace {

const double kInf = std::numeric_limits<double>::infinity();

TEST(Params, ListsNamesUnitsBoundsValuesInTreeOrder) {
  const SeriesList tree = parse("R0-(R1,CPE1)").value();
  EXPECT_EQ(param_count(tree), 4u);
  EXPECT_EQ(param_names(tree), (std::vector<std::string>{"R0.r", "R1.r", "CPE1.q", "CPE1.alpha"}));
  EXPECT_EQ(param_units(tree), (std::vector<std::string>{"ohm", "ohm", "ohm^-1*s^alpha", "-"}));
  const auto bounds = param_bounds(tree);
  ASSERT_EQ(bounds.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(bounds[i].lo, 1e-12);
    EXPECT_EQ(bounds[i].hi, kInf);
  }
  EXPECT_EQ(bounds[3].lo, 0.0);
  EXPECT_EQ(bounds[3].hi, 1.0);
  EXPECT_EQ(param_values(tree), (std::vector<double>{1.0, 1.0, 0.001, 0.8}));
  EXPECT_EQ(param_names(parse("L0-R0-(R1,CPE1)-(R2,CPE2)").value()),
            (std::vector<std::string>{"L0.l", "R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "CPE2.q", "CPE2.alpha"}));
}

TEST(Params, EmptyTreeHasNothing) {
  const SeriesList empty;
  EXPECT_EQ(param_count(empty), 0u);
  EXPECT_TRUE(param_names(empty).empty() && param_units(empty).empty() && param_bounds(empty).empty() &&
              param_values(empty).empty());
}

// Automatic labels (per-kind counters that ignore explicit labels) are checked
// through Series() and Parallel() in tests/python/test_elements.py.

TEST(Params, RebuildKeepsShapeAndLabels) {
  const SeriesList tree = parse("R0-(R1,CPE1)").value();
  const std::vector<double> values{10, 20, 1e-5, 0.9};
  const SeriesList rebuilt = rebuild(tree, values);
  EXPECT_EQ(param_values(rebuilt), values);
  EXPECT_EQ(param_names(rebuilt), param_names(tree));
  ASSERT_TRUE(rebuilt[1].is_parallel);
  EXPECT_EQ(rebuilt[1].branches.size(), 2u);
  EXPECT_EQ(param_values(tree), (std::vector<double>{1.0, 1.0, 0.001, 0.8}));
}

struct Suggestion {
  const char* unknown;
  std::vector<std::string> candidates;
  std::optional<std::string> expected;
};

class ClosestName : public ::testing::TestWithParam<Suggestion> {};

TEST_P(ClosestName, SuggestsWithinThreshold) {
  EXPECT_EQ(closest_param_name(GetParam().unknown, GetParam().candidates), GetParam().expected);
}

const std::vector<std::string> kRq{"R0.r", "R1.r", "CPE1.q", "CPE1.alpha"};

INSTANTIATE_TEST_SUITE_P(Params, ClosestName,
                         ::testing::Values(Suggestion{"R0.x", {"R0.r", "R1.r"}, "R0.r"},
                                           Suggestion{"CPE1.alfa", kRq, "CPE1.alpha"},
                                           Suggestion{"completely_wrong", kRq, std::nullopt},
                                           Suggestion{"R2.r", {"R0.r", "R1.r"}, "R0.r"},
                                           Suggestion{"R0.r", {}, std::nullopt},
                                           // 3 characters: threshold 2; distance 3 is too far.
                                           Suggestion{"xyz", {"abc"}, std::nullopt},
                                           // Distance counts characters, not bytes.
                                           Suggestion{"R\xC3\xA9.r", {"R0.r"}, "R0.r"}));

}  // namespace
}  // namespace kovrant
