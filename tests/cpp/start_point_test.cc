#include "fit/start_point.h"

#include <gtest/gtest.h>

namespace kovrant {
namespace {

struct Case {
  std::optional<bool> guess_init;
  bool weights_given;
  bool values_given;
  bool model_exists;
  StartPoint expected;
};

class ChooseStartPoint : public ::testing::TestWithParam<Case> {};

TEST_P(ChooseStartPoint, FollowsTheFitRules) {
  const Case& c = GetParam();
  EXPECT_EQ(choose_start_point(c.guess_init, c.weights_given, c.values_given, c.model_exists), c.expected);
}

using S = StartPoint;
INSTANTIATE_TEST_SUITE_P(
    Fit, ChooseStartPoint,
    ::testing::Values(
        // Unset: guess for parsed circuits, keep explicit values.
        Case{std::nullopt, false, false, true, S::Guess}, Case{std::nullopt, false, true, true, S::OwnValues},
        Case{std::nullopt, false, false, false, S::WarnThenOwnValues},
        Case{std::nullopt, false, true, false, S::OwnValues},
        // A weight file makes an unset guess_init guess even over explicit values.
        Case{std::nullopt, true, true, false, S::Guess}, Case{std::nullopt, true, false, true, S::Guess},
        // True always guesses, even without a model (the guess then raises).
        Case{true, false, true, true, S::Guess}, Case{true, false, false, false, S::Guess},
        // False never guesses; the weight file is ignored.
        Case{false, true, false, true, S::OwnValues}, Case{false, false, false, false, S::OwnValues}));

}  // namespace
}  // namespace kovrant
