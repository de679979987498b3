#include "fit/spectrum_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "synthetic_spectrum.h"

namespace kovrant {
namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct ModelCase {
  const char* notation;
  std::vector<double> values;
  size_t points;
};

class SpectrumModelBits : public ::testing::TestWithParam<ModelCase> {};

// Every number must equal the plain residuals and jacobian_columns bit for
// bit, at the start, after a move (cached leaves of other parameters), and
// with NaN and zero parameters.
TEST_P(SpectrumModelBits, MatchesPlainResidualsAndJacobian) {
  const ModelCase& c = GetParam();
  const SyntheticSpectrum s = synthetic_spectrum(c.notation, c.values, c.points, -2.0, 6.0, 0.02, 3);
  const SeriesList tree = parse(c.notation).value();
  const auto omegas = angular(s.frequencies_hz);
  for (Weighting weighting : {Weighting::Modulus, Weighting::Unit}) {
    const auto weights = compute_weights(s.impedances, weighting);
    const EvalCounter model_counter = make_eval_counter();
    SpectrumModel model(tree, omegas, s.impedances, weights, model_counter);
    const size_t p = model.param_count();
    const size_t rows = model.residual_count();

    std::vector<std::vector<double>> points = {c.values, c.values, c.values};
    for (double& v : points[1]) v *= 1.37;
    points[2][0] = std::numeric_limits<double>::quiet_NaN();
    points[2][p - 1] = 0.0;
    for (const auto& params : points) {
      const EvalCounter plain_counter = make_eval_counter();
      const auto expected_r = residuals(tree, params, omegas, s.impedances, weights, plain_counter);
      const auto expected_j = jacobian_columns(tree, params, omegas, s.impedances, weights, plain_counter);
      std::vector<double> r(rows), j(rows * p);
      // Ask for the Jacobian both after residuals at the same point (cached
      // leaves) and cold.
      for (bool warm : {true, false}) {
        const std::uint64_t before = model_counter->load();
        if (warm) model.residuals(params, r);
        if (!warm) model.residuals(points[0] == params ? points[1] : points[0], r);
        model.jacobian(params, j);
        EXPECT_EQ(model_counter->load() - before, 1 + 2 * p);
        if (warm) {
          for (size_t k = 0; k < rows; ++k) ASSERT_TRUE(same_bits(r[k], expected_r[k])) << k;
        }
        for (size_t col = 0; col < p; ++col) {
          for (size_t k = 0; k < rows; ++k) {
            ASSERT_TRUE(same_bits(j[col * rows + k], expected_j[col][k]))
                << c.notation << " column " << col << " row " << k;
          }
        }
      }
      EXPECT_EQ(plain_counter->load(), 1 + 2 * p);
      EXPECT_TRUE(same_bits(model.cost(params), cost_of(expected_r)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Circuits, SpectrumModelBits,
    ::testing::Values(ModelCase{"R0-(R1,C1)", {10.0, 100.0, 1e-5}, 30},
                      ModelCase{"R0-(R1-W1,C1)", {10.0, 100.0, 30.0, 1e-5}, 60},
                      ModelCase{"L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)",
                                {2e-7, 0.012, 0.02, 1.5, 0.85, 0.01, 0.006, 40.0, 3.0, 0.8},
                                150},  // several blocks of frequencies
                      ModelCase{"R0-((R1,C1)-(R2,C2),CPE3)", {1.0, 2.0, 1e-3, 3.0, 1e-4, 1e-3, 0.7}, 7},
                      // Leaves that keep (j omega)^exponent for their other columns; an
                      // exponent of 0.5 takes the square root instead.
                      ModelCase{"R0-(R1,TLMQ1)-CPE2", {1.0, 2.0, 3.0, 1e-3, 0.8, 1e-4, 0.5}, 40},
                      ModelCase{"R0-(R1,CPE1)-(R2,CPE2)", {1.0, 2.0, 1e-4, 0.9, 5.0, 1e-2, 0.7}, 1500},  // parallel
                      ModelCase{"R0-(R1,C1)-(R2,C2)-(R3,C3)-(R4,C4)-(R5,C5)-(R6,C6)",  // parallel columns
                                {1.0, 2.0, 1e-3, 3.0, 1e-4, 4.0, 1e-5, 5.0, 1e-6, 6.0, 1e-2, 7.0, 1e-1},
                                700}));

}  // namespace
}  // namespace kovrant
