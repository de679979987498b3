#include "fit/fit_error.h"

#include <gtest/gtest.h>

namespace kovrant {
namespace {

struct TextCase {
  FitError error;
  const char* text;
};

class FitErrorText : public ::testing::TestWithParam<TextCase> {};

TEST_P(FitErrorText, MessageIsExact) { EXPECT_EQ(GetParam().error.message(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, FitErrorText,
    ::testing::Values(
        TextCase{{FitError::Kind::LengthMismatch, ""}, "frequencies and impedances must have the same length"},
        TextCase{{FitError::Kind::EmptySpectrum, ""}, "frequencies and impedances must not be empty"},
        TextCase{{FitError::Kind::NoParameters, ""}, "circuit topology has no parameters to fit"},
        TextCase{FitError::solver("particle swarm found no best position"),
                 "solver error: particle swarm found no best position"},
        TextCase{{FitError::Kind::UnknownMethod, "Levenberg_Marquardt"},
                 "unknown fit method \"Levenberg_Marquardt\", expected one of \"levenberg_marquardt\", "
                 "\"particle_swarm\", \"nelder_mead\", \"differential_evolution\", \"simulated_annealing\", "
                 "\"basin_hopping\""},
        TextCase{{FitError::Kind::UnknownMethod, "a\"b\\c\n"},
                 "unknown fit method \"a\\\"b\\\\c\\n\", expected one of \"levenberg_marquardt\", "
                 "\"particle_swarm\", \"nelder_mead\", \"differential_evolution\", \"simulated_annealing\", "
                 "\"basin_hopping\""},
        TextCase{FitError::interrupted(), "fit interrupted"}));

}  // namespace
}  // namespace kovrant
