#include "nn/nn_error.h"

#include <gtest/gtest.h>

namespace kovrant {
namespace {

struct MessageCase {
  NnError error;
  const char* expected;
};

class NnErrorMessageTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(NnErrorMessageTest, RendersExactText) { EXPECT_EQ(GetParam().error.message(), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, NnErrorMessageTest,
    ::testing::Values(
        MessageCase{NnError::io("No such file or directory"), "reading weights: No such file or directory"},
        MessageCase{NnError::bad_magic(), "not an eisnn weight file (bad magic bytes)"},
        MessageCase{NnError::truncated(), "weight file is truncated"},
        MessageCase{NnError::missing("w.blocks.2.norm1.bias"), "weight file is missing \"w.blocks.2.norm1.bias\""},
        MessageCase{NnError::unparsable("n_grid"), "weight file has an unparsable value for \"n_grid\""},
        MessageCase{NnError::unparsable("circuit \"R0-\" in a\\b.eisnn"),
                    "weight file has an unparsable value for \"circuit \\\"R0-\\\" in a\\\\b.eisnn\""},
        MessageCase{NnError::unknown_estimator("median"),
                    "weight file was normalised with the \"median\" scale estimator, which this build does not "
                    "implement (supported: reactive_centroid)"},
        MessageCase{NnError::unknown_encoding(3), "weight file uses tensor encoding 3, which this build does not know"},
        MessageCase{NnError::shape_mismatch("scaling", 11, 12), "tensor \"scaling\" has 11 elements, expected 12"},
        MessageCase{NnError::too_few_points(1), "need at least 2 frequency points to guess, got 1"}));

}  // namespace
}  // namespace kovrant
