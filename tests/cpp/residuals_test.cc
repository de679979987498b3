#include "fit/residuals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fit/spectrum_model.h"
#include "synthetic_spectrum.h"

namespace kovrant {
namespace {

const double kInf = std::numeric_limits<double>::infinity();

TEST(Weights, ModulusAndUnit) {
  const std::vector<Complex> z{{3.0, 4.0}, {0.0, 0.0}, {std::nan(""), 1.0}};
  EXPECT_EQ(compute_weights(z, Weighting::Modulus), (std::vector<double>{5.0, 1e-30, 1e-30}));
  EXPECT_EQ(compute_weights(z, Weighting::Unit), (std::vector<double>{1.0, 1.0, 1.0}));
}

TEST(Residuals, ModelMinusMeasuredOverWeightAndCountsOnce) {
  auto s = synthetic_spectrum("R0-(R1,C1)", {2.5, 25.0, 2e-4}, 5, -1.0, 4.0, 0.02, 1);
  s.impedances[2] = {0.0, 0.0};  // weight 1e-30 under Modulus: the model value times 1e30
  const SeriesList tree = parse("R0-(R1,C1)").value();
  const auto omegas = angular(s.frequencies_hz);
  const std::vector<double> params{2.0, 30.0, 1e-4};
  const SeriesList valued = rebuild(tree, params);
  for (Weighting weighting : {Weighting::Unit, Weighting::Modulus}) {
    const auto weights = compute_weights(s.impedances, weighting);
    const EvalCounter counter = make_eval_counter();
    const auto r = residuals(tree, params, omegas, s.impedances, weights, counter);
    EXPECT_EQ(counter->load(), 1u);
    ASSERT_EQ(r.size(), 10u);
    for (size_t i = 0; i < 5; ++i) {
      const Complex model = impedance(valued, omegas[i]);
      EXPECT_EQ(r[2 * i], (model.re - s.impedances[i].re) / weights[i]);
      EXPECT_EQ(r[2 * i + 1], (model.im - s.impedances[i].im) / weights[i]);
    }
  }
  const EvalCounter counter = make_eval_counter();
  EXPECT_TRUE(residuals(tree, params, {}, {}, {}, counter).empty());
  EXPECT_EQ(counter->load(), 1u);
}

TEST(Jacobian, CentralDifferencesWithExactStepRule) {
  const auto s = synthetic_spectrum("R0-(R1,CPE1)", {5.0, 100.0, 1e-4, 0.8}, 7, -1.0, 4.0, 0.02, 2);
  const SeriesList tree = parse("R0-(R1,CPE1)").value();
  const auto omegas = angular(s.frequencies_hz);
  const auto weights = compute_weights(s.impedances, Weighting::Modulus);
  // Steps of 6.055454452393343e-14 (p = 0, the 1e-8 floor) and 6.055454452393343 (p = 1e6).
  for (const std::vector<double>& params :
       {std::vector<double>{0.0, 1e6, 1e-4, 0.8}, std::vector<double>{5.0, 100.0, 1e-4, 0.8}}) {
    const EvalCounter counter = make_eval_counter();
    const auto columns = jacobian_columns(tree, params, omegas, s.impedances, weights, counter);
    EXPECT_EQ(counter->load(), 8u);
    ASSERT_EQ(columns.size(), 4u);
    for (size_t j = 0; j < 4; ++j) {
      const double h = 6.055454452393343e-06 * std::max(std::fabs(params[j]), 1e-8);
      auto plus = params, minus = params;
      plus[j] += h;
      minus[j] -= h;
      const auto rp = residuals(tree, plus, omegas, s.impedances, weights, make_eval_counter());
      const auto rm = residuals(tree, minus, omegas, s.impedances, weights, make_eval_counter());
      ASSERT_EQ(columns[j].size(), 14u);
      for (size_t k = 0; k < 14; ++k) EXPECT_EQ(columns[j][k], (rp[k] - rm[k]) / (2.0 * h));
    }
    if (params[0] == 0.0) continue;  // a step of 6e-14 is lost next to R1 = 1e6
    // Analytic check: d r / d R0 is 1 / weight in the real rows.
    for (size_t i = 0; i < 7; ++i) EXPECT_NEAR(columns[0][2 * i] * weights[i], 1.0, 1e-6);
  }
  const EvalCounter counter = make_eval_counter();
  EXPECT_TRUE(jacobian_columns(SeriesList{}, {}, omegas, s.impedances, weights, counter).empty());
  EXPECT_EQ(counter->load(), 0u);
}

// The vector maps and the scalar ones that the fast model uses agree bit for bit.
TEST(InternalCoordinates, LogAboveLowerBoundForOpenParameters) {
  const std::vector<Bounds> bounds{{0.0, kInf}, {5.0, kInf}, {0.0, 1.0}, {1e-12, std::nan("")}, {1e-12, kInf}};
  const std::vector<double> ps{0.0, 105.0, 0.3, 1e-12, NAN}, xs{-300.0, 2.0, 0.3, -300.0, -300.0};
  const std::vector<double> xs2{0.0, 3.0, 0.25, 2.5, -7.123},
      ps2{1.0, 1005.0, 0.25, 1e-12 + std::pow(10.0, 2.5), 1e-12 + std::pow(10.0, -7.123)};
  EXPECT_EQ(internal(ps, bounds), xs);
  EXPECT_EQ(physical(xs2, bounds), ps2);
  for (size_t j = 0; j < bounds.size(); ++j) {
    EXPECT_EQ(internal_value(ps[j], bounds[j]), xs[j]) << j;
    EXPECT_EQ(physical_value(xs2[j], bounds[j]), ps2[j]) << j;
  }
  EXPECT_EQ(physical_derivative(0.5, {0.0, 1.0}), 1.0);
  EXPECT_EQ(physical_derivative(15.0, {5.0, kInf}), 10.0 * 2.302585092994046);
}

TEST(Cost, HalfSumOfSquares) {
  EXPECT_EQ(cost_of(std::vector<double>{3.0, 4.0}), 12.5);
  EXPECT_TRUE(std::signbit(cost_of({})));
}

}  // namespace
}  // namespace kovrant
