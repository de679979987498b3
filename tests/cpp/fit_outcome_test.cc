#include "fit/fit_outcome.h"

#include <gtest/gtest.h>

#include "synthetic_spectrum.h"

namespace kovrant {
namespace {

FitOutcome outcome_for(const SyntheticSpectrum& s, const std::string& notation, const std::vector<double>& params,
                       Weighting weighting = Weighting::Modulus) {
  const SeriesList tree = parse(notation).value();
  return build_outcome(problem_for(tree, s, weighting), params, true, 17, make_eval_counter());
}

TEST(FitOutcome, RecordsCostCountersNamesAndRebuiltCircuit) {
  const auto s = synthetic_spectrum("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 20, -1.0, 5.0, 0.01, 4);
  const std::vector<double> params = {11.0, 90.0, 2e-5};
  const FitOutcome o = outcome_for(s, "R0-(R1,C1)", params);
  const auto weights = compute_weights(s.impedances, Weighting::Modulus);
  const double expected_cost = cost_of(residuals(parse("R0-(R1,C1)").value(), params, angular(s.frequencies_hz),
                                                 s.impedances, weights, make_eval_counter()));
  EXPECT_EQ(o.cost, expected_cost);
  EXPECT_EQ(o.chi_square, 2.0 * expected_cost);
  EXPECT_EQ(o.values, params);
  EXPECT_EQ(param_values(o.fitted_circuit), params);
  EXPECT_EQ(o.param_names, (std::vector<std::string>{"R0.r", "R1.r", "C1.c"}));
  EXPECT_EQ(o.iterations, 17u);
  EXPECT_TRUE(o.success);
  EXPECT_EQ(o.impedance_evals, 1u + 2u * 3u);
  ASSERT_TRUE(o.standard_errors.has_value());
  for (double e : *o.standard_errors) EXPECT_GT(e, 0.0);
}

TEST(FitOutcome, StandardErrorOfAResistorMatchesClosedForm) {
  // Unit weights, model R0: J has 1 in the N real rows, so
  // stderr = sqrt(chi_square / (2N - 1) / N).
  const auto s = synthetic_spectrum("R0", {5.0}, 8, -1.0, 5.0, 0.05, 6);
  const FitOutcome run = outcome_for(s, "R0", {5.2}, Weighting::Unit);
  ASSERT_TRUE(run.standard_errors.has_value());
  const double expected = std::sqrt(run.chi_square / 15.0 / 8.0);
  EXPECT_NEAR((*run.standard_errors)[0], expected, 1e-6 * expected);
}

// No standard errors without degrees of freedom (N = 2, P = 4), or with a
// singular J^T J: in T with k_tau = 1e4, csch saturates to exactly 0, so `b`
// has no influence and a zero Jacobian column, by the closed form (P = 4) and
// by elimination (P = 5).
TEST(FitOutcome, NoStandardErrorsWithoutDegreesOfFreedomOrWhenSingular) {
  const std::vector<double> rq = {10.0, 100.0, 1e-5, 0.8};
  const FitOutcome two_points = outcome_for(synthetic_spectrum("R0-(R1,CPE1)", rq, 2), "R0-(R1,CPE1)", rq);
  EXPECT_FALSE(two_points.standard_errors.has_value());
  EXPECT_EQ(two_points.cost, 0.0);
  EXPECT_EQ(two_points.chi_square, 0.0);
  const std::vector<double> t_values = {1.0, 1.0, 1e4, 1e-3}, rt_values = {3.0, 1.0, 1.0, 1e4, 1e-3};
  const auto alone = synthetic_spectrum("T1", t_values, 12, -1.0, 3.0, 0.01, 1);
  EXPECT_FALSE(outcome_for(alone, "T1", t_values).standard_errors.has_value());
  const auto with_r = synthetic_spectrum("R0-T1", rt_values, 12, -1.0, 3.0, 0.01, 1);
  EXPECT_FALSE(outcome_for(with_r, "R0-T1", rt_values).standard_errors.has_value());
}

TEST(FitOutcome, ValuesOutsideBoundsAreClampedAndCostIsOfTheClampedValues) {
  const auto s = synthetic_spectrum("R0-(R1,CPE1)", {10.0, 100.0, 1e-5, 0.9}, 15);
  const FitOutcome clamped = outcome_for(s, "R0-(R1,CPE1)", {10.0, 100.0, 1e-5, 1.3});
  const FitOutcome at_bound = outcome_for(s, "R0-(R1,CPE1)", {10.0, 100.0, 1e-5, 1.0});
  EXPECT_EQ(clamped.values[3], 1.0);
  EXPECT_EQ(clamped.cost, at_bound.cost);
  EXPECT_EQ(outcome_for(s, "R0-(R1,CPE1)", {-4.0, 100.0, 1e-5, 0.9}).values[0], 1e-12);
  // NaN is not clamped and does not crash.
  const FitOutcome with_nan = outcome_for(s, "R0-(R1,CPE1)", {NAN, 100.0, 1e-5, 0.9});
  EXPECT_TRUE(std::isnan(with_nan.values[0]));
  EXPECT_TRUE(std::isnan(with_nan.cost));
}

}  // namespace
}  // namespace kovrant
