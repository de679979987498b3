#include "fit/levenberg_marquardt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "synthetic_spectrum.h"

namespace kovrant {
namespace {

const double kInf = std::numeric_limits<double>::infinity();

Result<FitOutcome, FitError> lm_fit(const SeriesList& start, const SyntheticSpectrum& s,
                                    const LmSettings& settings = {}, Weighting weighting = Weighting::Modulus) {
  StopCheck stop;
  return levenberg_marquardt_fit(start, s.frequencies_hz, s.impedances, weighting, settings, stop);
}

void expect_relative_near(const std::vector<double>& actual, const std::vector<double>& expected, double tolerance) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t j = 0; j < actual.size(); ++j) {
    EXPECT_NEAR(actual[j], expected[j], tolerance * std::fabs(expected[j])) << "parameter " << j;
  }
}

struct RecoveryCase {
  const char* notation;
  std::vector<double> truth;
  std::vector<double> start;
  double noise;
  double tolerance;
};

class LmRecovery : public ::testing::TestWithParam<RecoveryCase> {};

TEST_P(LmRecovery, RecoversKnownParameters) {
  const RecoveryCase& c = GetParam();
  const auto s = synthetic_spectrum(c.notation, c.truth, 40, -2.0, 5.0, c.noise, 11);
  const auto result = lm_fit(circuit_with(c.notation, c.start), s);
  ASSERT_TRUE(result.ok()) << result.error().message();
  const FitOutcome& o = result.value();
  EXPECT_TRUE(o.success);
  expect_relative_near(o.values, c.truth, c.tolerance);
  EXPECT_TRUE(o.standard_errors.has_value());
  EXPECT_EQ(o.chi_square, 2.0 * o.cost);
  EXPECT_GT(o.iterations, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Circuits, LmRecovery,
    ::testing::Values(RecoveryCase{"R0-(R1,C1)", {10.0, 100.0, 1e-5}, {3.0, 400.0, 1e-4}, 0.0, 1e-6},
                      RecoveryCase{"R0-(R1,C1)", {10.0, 100.0, 1e-5}, {3.0, 400.0, 1e-4}, 0.01, 0.03},
                      RecoveryCase{"R0-(R1,CPE1)", {5.0, 50.0, 2e-5, 0.85}, {10.0, 20.0, 1e-4, 0.7}, 0.0, 1e-6},
                      RecoveryCase{"R0-(R1-W1,C1)", {10.0, 100.0, 30.0, 1e-5}, {20.0, 50.0, 10.0, 5e-5}, 0.005, 0.05}));

TEST(LmFit, ExactStartConvergesInOneSolve) {
  const std::vector<double> truth = {10.0, 100.0, 1e-5};
  const auto s = synthetic_spectrum("R0-(R1,C1)", truth, 25);
  const auto result = lm_fit(circuit_with("R0-(R1,C1)", truth), s);
  ASSERT_TRUE(result.ok());
  const FitOutcome& o = result.value();
  EXPECT_TRUE(o.success);
  // The solve starts from internal(p0), whose round trip through log10 moves
  // p0 by an ulp or so, so the residuals are tiny rather than exactly zero.
  expect_relative_near(o.values, truth, 1e-12);
  EXPECT_LT(o.cost, 1e-25);
  EXPECT_LE(o.iterations, 3u);
  // One solve: 9 candidates, its residual evaluations and one Jacobian (2P),
  // the cost of its result, and build_outcome (1 + 2P).
  EXPECT_EQ(o.impedance_evals, 9u + o.iterations + 6u + 1u + (1u + 6u));
}

TEST(LmFit, ZeroResidualsAtTheStartConvergeAtOnce) {
  // Finite upper bounds keep x = p exactly, so the solve starts at the exact
  // values and lmder stops on its first evaluation.
  const std::vector<double> truth = {10.0, 100.0, 1e-5};
  const auto s = synthetic_spectrum("R0-(R1,C1)", truth, 25);
  const SeriesList tree = parse("R0-(R1,C1)").value();
  const auto omegas = angular(s.frequencies_hz);
  const auto weights = compute_weights(s.impedances, Weighting::Modulus);
  SpectrumModel model(tree, omegas, s.impedances, weights, make_eval_counter());
  LmderSolver solver(model.residual_count(), model.param_count());
  const std::vector<Bounds> bounds(3, Bounds{0.0, 1e300});
  StopCheck stop;
  const auto solve =
      levenberg_marquardt_single_start(model, solver, bounds, truth, {false, false, false}, LmSettings{}, stop);
  ASSERT_TRUE(solve.ok());
  EXPECT_TRUE(solve.value().converged);
  EXPECT_EQ(solve.value().evaluations, 1u);
  EXPECT_EQ(solve.value().params, truth);
}

TEST(LmFit, CandidatesWithFiniteUpperBoundsOnly) {
  const std::vector<Bounds> bounds = {{0.0, 1.0}, {2.0, 4.0}};
  const auto candidates = lm_start_candidates(std::vector<double>{0.5, 3.0}, bounds);
  ASSERT_EQ(candidates.size(), 9u);
  for (int k = 0; k < 5; ++k) EXPECT_EQ(candidates[k], (std::vector<double>{0.5, 3.0})) << k;
  EXPECT_EQ(candidates[5], (std::vector<double>{0.2, 2.0 + 0.2 * 2.0}));
  EXPECT_EQ(candidates[6], (std::vector<double>{0.4, 2.0 + 0.4 * 2.0}));
  EXPECT_EQ(candidates[7], (std::vector<double>{0.6, 2.0 + 0.6 * 2.0}));
  EXPECT_EQ(candidates[8], (std::vector<double>{0.8, 2.0 + 0.8 * 2.0}));
}

TEST(LmFit, CandidatesWithInfiniteUpperBoundsOnly) {
  const std::vector<Bounds> bounds = {{0.0, kInf}, {1e-12, kInf}};
  const auto candidates = lm_start_candidates(std::vector<double>{2.0, 9.0}, bounds);
  ASSERT_EQ(candidates.size(), 9u);
  EXPECT_EQ(candidates[1], (std::vector<double>{6.0, 27.0}));
  EXPECT_EQ(candidates[2], (std::vector<double>{2.0 * 0.3333333333333333, 9.0 * 0.3333333333333333}));
  EXPECT_EQ(candidates[3], (std::vector<double>{16.0, 72.0}));
  EXPECT_EQ(candidates[4], (std::vector<double>{0.25, 1.125}));
  for (int k = 5; k < 9; ++k) EXPECT_EQ(candidates[k], (std::vector<double>{2.0, 9.0})) << k;
}

TEST(LmFit, TotalOrderPlacesSignedNansAtTheEnds) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> sorted = {-nan, -kInf, -1.0, -0.0, 0.0, 1e-300, 1.0, kInf, nan};
  for (size_t a = 0; a < sorted.size(); ++a) {
    for (size_t b = 0; b < sorted.size(); ++b) {
      EXPECT_EQ(total_order_less(sorted[a], sorted[b]), a < b) << a << " " << b;
    }
  }
}

struct PlausibilityCase {
  double value;
  double start;
  Bounds bounds;
  bool plausible;
};

class LmPlausibility : public ::testing::TestWithParam<PlausibilityCase> {};

TEST_P(LmPlausibility, Decides) {
  const PlausibilityCase& c = GetParam();
  const std::vector<Bounds> bounds = {c.bounds};
  EXPECT_EQ(is_plausible(std::vector<double>{c.value}, std::vector<double>{c.start}, bounds), c.plausible);
}

INSTANTIATE_TEST_SUITE_P(Cases, LmPlausibility,
                         ::testing::Values(PlausibilityCase{0.5, 0.5, {0.0, 1.0}, true},
                                           PlausibilityCase{1e-7, 0.5, {0.0, 1.0}, false},  // within 1e-6 of the range
                                           PlausibilityCase{1.0 - 2e-6, 0.5, {0.0, 1.0}, true},  // just clear of hi
                                           PlausibilityCase{1.5, 0.5, {0.0, 1.0}, true},  // distances are absolute
                                           PlausibilityCase{NAN, 0.5, {0.0, 1.0}, false},
                                           PlausibilityCase{10.0, 1.0, {0.0, kInf}, true},
                                           PlausibilityCase{2e-10, 1.0, {1e-12, kInf}, false},  // not above 100 lo
                                           PlausibilityCase{1e6, 1.0, {0.0, kInf}, false},      // ratio 1e6
                                           PlausibilityCase{9.9e5, 1.0, {0.0, kInf}, true},
                                           PlausibilityCase{1e-6, 1.0, {0.0, kInf}, true},  // ratio exactly 1e-6
                                           PlausibilityCase{1e-7, 1.0, {0.0, kInf}, false},
                                           PlausibilityCase{1e-5, 0.0, {0.0, kInf}, false},  // start 0: ratio 1e295
                                           PlausibilityCase{kInf, 1.0, {0.0, kInf}, false}));

TEST(LmFit, NoParametersToTestIsPlausible) { EXPECT_TRUE(is_plausible({}, {}, {})); }

TEST(LmFit, BestBeyondAFiniteBoundIsClampedAndHeldThere) {
  // The data want alpha = 1.08, above the bound 1.
  const auto s = synthetic_spectrum("R0-(R1,CPE1)", {5.0, 50.0, 2e-5, 1.08}, 30);
  const auto result = lm_fit(circuit_with("R0-(R1,CPE1)", {4.0, 60.0, 1e-5, 0.9}), s);
  ASSERT_TRUE(result.ok());
  const FitOutcome& o = result.value();
  EXPECT_EQ(o.values[3], 1.0);
  EXPECT_GT(o.cost, 0.0);
  EXPECT_TRUE(std::isfinite(o.cost));
  // The held solve refits the others with alpha = 1: better than the clamped
  // unconstrained optimum.
  const auto unconstrained_clamped =
      lm_fit(circuit_with("R0-(R1,CPE1)", {5.0, 50.0, 2e-5, 1.0}), s, LmSettings{1e-8, 1e-8, 1e-8, 200});
  ASSERT_TRUE(unconstrained_clamped.ok());
  EXPECT_LE(o.cost, unconstrained_clamped.value().cost * (1.0 + 1e-9));
}

TEST(LmFit, ZeroIterationsBehaveAsOne) {
  const auto s = synthetic_spectrum("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 20);
  const SeriesList start = circuit_with("R0-(R1,C1)", {3.0, 400.0, 1e-4});
  const auto zero = lm_fit(start, s, LmSettings{1e-8, 1e-8, 1e-8, 0});
  const auto one = lm_fit(start, s, LmSettings{1e-8, 1e-8, 1e-8, 1});
  ASSERT_TRUE(zero.ok() && one.ok());
  EXPECT_EQ(zero.value().values, one.value().values);
  EXPECT_EQ(zero.value().iterations, one.value().iterations);
  EXPECT_EQ(zero.value().impedance_evals, one.value().impedance_evals);
  // At most (P + 1) = 4 evaluations for each of the nine solves.
  EXPECT_LE(one.value().iterations, 9u * 4u);
}

struct ToleranceCase {
  LmSettings settings;
  const char* message;
};

class LmTolerance : public ::testing::TestWithParam<ToleranceCase> {};

TEST_P(LmTolerance, IsRejectedWithItsMessage) {
  const auto s = synthetic_spectrum("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 10);
  const auto result = lm_fit(circuit_with("R0-(R1,C1)", {3.0, 400.0, 1e-4}), s, GetParam().settings);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, FitError::Kind::InvalidArgument);
  EXPECT_EQ(result.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Cases, LmTolerance,
                         ::testing::Values(ToleranceCase{{-1.0, 1e-8, 1e-8, 200}, "ftol must be >= 0"},
                                           ToleranceCase{{-1.0, -1.0, -1.0, 200}, "ftol must be >= 0"},
                                           ToleranceCase{{1e-8, -1e-3, -1.0, 200}, "xtol must be >= 0"},
                                           ToleranceCase{{1e-8, 1e-8, -1e-9, 200}, "gtol must be >= 0"},
                                           ToleranceCase{{NAN, 1e-8, 1e-8, 200}, "ftol must be >= 0"},
                                           ToleranceCase{{1e-8, NAN, 1e-8, 200}, "xtol must be >= 0"}));

TEST(LmFit, InfiniteToleranceIsAcceptedAndEndsEarly) {
  const auto s = synthetic_spectrum("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 10);
  const auto result = lm_fit(circuit_with("R0-(R1,C1)", {3.0, 400.0, 1e-4}), s, LmSettings{kInf, kInf, 1e-8, 200});
  ASSERT_TRUE(result.ok());
}

TEST(LmFit, InputErrorsInOrder) {
  const auto s = synthetic_spectrum("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 10);
  StopCheck stop;
  const SeriesList rc = circuit_with("R0-(R1,C1)", {3.0, 400.0, 1e-4});
  const std::vector<Complex> fewer(s.impedances.begin(), s.impedances.end() - 1);
  auto kind_of = [&](const SeriesList& circuit, std::span<const double> f, std::span<const Complex> z) {
    const auto result = levenberg_marquardt_fit(circuit, f, z, Weighting::Modulus, LmSettings{}, stop);
    return result.ok() ? std::optional<FitError::Kind>() : std::optional(result.error().kind);
  };
  EXPECT_EQ(kind_of(SeriesList{}, s.frequencies_hz, fewer), FitError::Kind::LengthMismatch);
  EXPECT_EQ(kind_of(SeriesList{}, {}, {}), FitError::Kind::EmptySpectrum);
  EXPECT_EQ(kind_of(SeriesList{}, s.frequencies_hz, s.impedances), FitError::Kind::NoParameters);
  EXPECT_EQ(kind_of(rc, s.frequencies_hz, s.impedances), std::nullopt);
}

TEST(LmFit, NonFiniteDataAndZeroFrequencyDoNotCrash) {
  auto s = synthetic_spectrum("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 12);
  const SeriesList start = circuit_with("R0-(R1,C1)", {3.0, 400.0, 1e-4});
  auto with_nan = s;
  with_nan.impedances[3].re = NAN;
  auto with_inf = s;
  with_inf.impedances[5].im = -kInf;
  auto with_zero_frequency = s;
  with_zero_frequency.frequencies_hz[0] = 0.0;
  for (const auto* spectrum : {&with_nan, &with_inf, &with_zero_frequency}) {
    const auto result = lm_fit(start, *spectrum);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value().values.size(), 3u);
    EXPECT_FALSE(std::isfinite(result.value().cost));
    // Non-finite residuals at each start are a numerical failure: every one
    // of the nine solves ends after its first evaluation, not converged.
    EXPECT_FALSE(result.value().success);
    EXPECT_EQ(result.value().iterations, 9u);
  }
}

TEST(LmFit, FewerResidualsThanParametersIsNotConvergedButReturns) {
  // One frequency gives two residuals for four parameters.
  const auto s = synthetic_spectrum("R0-(R1,CPE1)", {5.0, 50.0, 2e-5, 0.85}, 1);
  const auto result = lm_fit(circuit_with("R0-(R1,CPE1)", {4.0, 60.0, 1e-5, 0.9}), s);
  ASSERT_TRUE(result.ok());
  EXPECT_FALSE(result.value().success);
  EXPECT_FALSE(result.value().standard_errors.has_value());
}

TEST(LmFit, StopCheckInterrupts) {
  const auto s = synthetic_spectrum("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 20);
  StopCheck stop([] { return true; });
  const auto result = levenberg_marquardt_fit(circuit_with("R0-(R1,C1)", {3.0, 400.0, 1e-4}), s.frequencies_hz,
                                              s.impedances, Weighting::Modulus, LmSettings{}, stop);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, FitError::Kind::Interrupted);
}

TEST(LmSingleStart, FixedParameterStaysPut) {
  const auto s = synthetic_spectrum("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 20);
  const SeriesList tree = parse("R0-(R1,C1)").value();
  const auto omegas = angular(s.frequencies_hz);
  const auto weights = compute_weights(s.impedances, Weighting::Modulus);
  SpectrumModel model(tree, omegas, s.impedances, weights, make_eval_counter());
  LmderSolver solver(model.residual_count(), model.param_count());
  const std::vector<Bounds> bounds = param_bounds(tree);
  const std::vector<double> start = {12.0, 80.0, 2e-5};
  std::vector<double> x0(3);
  for (size_t j = 0; j < 3; ++j) x0[j] = internal_value(start[j], bounds[j]);
  StopCheck stop;
  const auto solve =
      levenberg_marquardt_single_start(model, solver, bounds, x0, {true, false, false}, LmSettings{}, stop);
  ASSERT_TRUE(solve.ok());
  EXPECT_EQ(solve.value().params[0], physical_value(x0[0], bounds[0]));
  EXPECT_NE(solve.value().params[1], start[1]);
  EXPECT_GT(solve.value().evaluations, 1u);
}

}  // namespace
}  // namespace kovrant
