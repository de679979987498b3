#include "fit/residuals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "circuit/evaluate.h"
#include "circuit/params.h"
#include "circuit/parser.h"

namespace kovrant {
namespace {

const double kInf = std::numeric_limits<double>::infinity();

struct Spectrum {
  std::vector<double> omegas;
  std::vector<Complex> measured;
};

Spectrum spectrum_of(const SeriesList& tree, size_t n) {
  Spectrum s;
  for (size_t i = 0; i < n; ++i) {
    s.omegas.push_back(kTwoPi * std::pow(10.0, -1.0 + 5.0 * static_cast<double>(i) / std::max<size_t>(n - 1, 1)));
    const Complex z = impedance(tree, s.omegas.back());
    s.measured.push_back({z.re * 1.01, z.im * 0.98});
  }
  return s;
}

TEST(Weights, ModulusAndUnit) {
  const std::vector<Complex> z{{3.0, 4.0}, {0.0, 0.0}, {std::nan(""), 1.0}};
  EXPECT_EQ(compute_weights(z, Weighting::Modulus), (std::vector<double>{5.0, 1e-30, 1e-30}));
  EXPECT_EQ(compute_weights(z, Weighting::Unit), (std::vector<double>{1.0, 1.0, 1.0}));
}

TEST(Residuals, ModelMinusMeasuredOverWeightAndCountsOnce) {
  const SeriesList tree = parse("R0-(R1,C1)").value();
  const Spectrum s = spectrum_of(tree, 5);
  const std::vector<double> params{2.0, 30.0, 1e-4};
  for (Weighting weighting : {Weighting::Unit, Weighting::Modulus}) {
    const auto weights = compute_weights(s.measured, weighting);
    const EvalCounter counter = make_eval_counter();
    const auto r = residuals(tree, params, s.omegas, s.measured, weights, counter);
    EXPECT_EQ(counter->load(), 1u);
    ASSERT_EQ(r.size(), 10u);
    const SeriesList valued = rebuild(tree, params);
    for (size_t i = 0; i < 5; ++i) {
      const Complex model = impedance(valued, s.omegas[i]);
      EXPECT_EQ(r[2 * i], (model.re - s.measured[i].re) / weights[i]);
      EXPECT_EQ(r[2 * i + 1], (model.im - s.measured[i].im) / weights[i]);
    }
  }
  const EvalCounter counter = make_eval_counter();
  EXPECT_TRUE(residuals(tree, params, {}, {}, {}, counter).empty());
  EXPECT_EQ(counter->load(), 1u);
}

TEST(Residuals, ZeroMeasuredPointIsScaledByTinyWeight) {
  const SeriesList tree = parse("R0").value();
  const std::vector<Complex> measured{{0.0, 0.0}};
  const auto weights = compute_weights(measured, Weighting::Modulus);
  const auto r =
      residuals(tree, std::vector<double>{2.0}, std::vector<double>{1.0}, measured, weights, make_eval_counter());
  EXPECT_EQ(r[0], 2.0 / 1e-30);
}

TEST(Jacobian, CentralDifferencesWithExactStepRule) {
  const SeriesList tree = parse("R0-(R1,CPE1)").value();
  const Spectrum s = spectrum_of(tree, 7);
  const auto weights = compute_weights(s.measured, Weighting::Modulus);
  for (const std::vector<double>& params :
       {std::vector<double>{0.0, 1e6, 1e-4, 0.8}, std::vector<double>{5.0, 100.0, 1e-4, 0.8}}) {
    const EvalCounter counter = make_eval_counter();
    const auto columns = jacobian_columns(tree, params, s.omegas, s.measured, weights, counter);
    EXPECT_EQ(counter->load(), 8u);
    ASSERT_EQ(columns.size(), 4u);
    for (size_t j = 0; j < 4; ++j) {
      const double h = 6.055454452393343e-06 * std::max(std::fabs(params[j]), 1e-8);
      auto plus = params, minus = params;
      plus[j] += h;
      minus[j] -= h;
      const auto rp = residuals(tree, plus, s.omegas, s.measured, weights, make_eval_counter());
      const auto rm = residuals(tree, minus, s.omegas, s.measured, weights, make_eval_counter());
      ASSERT_EQ(columns[j].size(), 14u);
      for (size_t k = 0; k < 14; ++k) EXPECT_EQ(columns[j][k], (rp[k] - rm[k]) / (2.0 * h));
    }
    if (params[0] == 0.0) continue;
    // Analytic check: d r / d R0 is 1 / weight in the real rows.
    for (size_t i = 0; i < 7; ++i) EXPECT_NEAR(columns[0][2 * i] * weights[i], 1.0, 1e-6);
  }
}

TEST(Jacobian, NoParametersNoColumns) {
  const EvalCounter counter = make_eval_counter();
  EXPECT_TRUE(jacobian_columns(SeriesList{}, {}, std::vector<double>{1.0}, std::vector<Complex>{{1.0, 0.0}},
                               std::vector<double>{1.0}, counter)
                  .empty());
  EXPECT_EQ(counter->load(), 0u);
}

TEST(InternalCoordinates, LogAboveLowerBoundForOpenParameters) {
  const std::vector<Bounds> bounds{{0.0, kInf}, {5.0, kInf}, {0.0, 1.0}, {1e-12, std::nan("")}};
  EXPECT_EQ(internal(std::vector<double>{0.0, 105.0, 0.3, 1e-12}, bounds),
            (std::vector<double>{-300.0, 2.0, 0.3, -300.0}));
  EXPECT_EQ(physical(std::vector<double>{0.0, 3.0, 0.3}, bounds), (std::vector<double>{1.0, 1005.0, 0.3}));
  EXPECT_EQ(internal(std::vector<double>{std::nan("")}, bounds), (std::vector<double>{-300.0}));
  EXPECT_EQ(physical_derivative(0.5, {0.0, 1.0}), 1.0);
  EXPECT_EQ(physical_derivative(15.0, {5.0, kInf}), 10.0 * 2.302585092994046);
}

TEST(Cost, HalfSumOfSquares) {
  EXPECT_EQ(cost_of(std::vector<double>{3.0, 4.0}), 12.5);
  EXPECT_TRUE(std::signbit(cost_of({})));
}

}  // namespace
}  // namespace kovrant
