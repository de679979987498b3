#include "fit/levenberg_marquardt.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "synthetic_spectrum.h"

namespace kovrant {
namespace {

const double kInf = std::numeric_limits<double>::infinity();
const char* const kRc = "R0-(R1,C1)";
const std::vector<double> kRcTruth = {10.0, 100.0, 1e-5};
const std::vector<double> kRcStart = {3.0, 400.0, 1e-4};

Result<FitOutcome, FitError> lm_fit(const SeriesList& start, const SyntheticSpectrum& s,
                                    const LmSettings& settings = {}) {
  StopCheck stop;
  const FitProblem problem = problem_for(start, s);
  return levenberg_marquardt_fit(problem, problem.start_values, settings, stop);
}

// One solve of the R0-(R1,C1) problem from x0; an error throws.
LmSolve single_start(const SyntheticSpectrum& s, std::span<const Bounds> bounds, std::span<const double> x0,
                     const std::vector<bool>& fixed) {
  const SeriesList tree = parse(kRc).value();
  const auto omegas = angular(s.frequencies_hz);
  const auto weights = compute_weights(s.impedances, Weighting::Modulus);
  SpectrumModel model(tree, omegas, s.impedances, weights, make_eval_counter());
  LmderSolver solver(model.residual_count(), model.param_count());
  StopCheck stop;
  return levenberg_marquardt_single_start(model, solver, bounds, x0, fixed, LmSettings{}, stop).value();
}

TEST(LmFit, RecoversKnownParameters) {
  const struct {
    const char* notation;
    std::vector<double> truth, start;
    double noise, tolerance;
  } cases[] = {{"R0-(R1,CPE1)", {5.0, 50.0, 2e-5, 0.85}, {10.0, 20.0, 1e-4, 0.7}, 0.0, 1e-6},
               {"R0-(R1-W1,C1)", {10.0, 100.0, 30.0, 1e-5}, {20.0, 50.0, 10.0, 5e-5}, 0.005, 0.05}};
  for (const auto& c : cases) {
    const auto s = synthetic_spectrum(c.notation, c.truth, 40, -2.0, 5.0, c.noise, 11);
    const auto result = lm_fit(circuit_with(c.notation, c.start), s);
    ASSERT_TRUE(result.ok()) << result.error().message();
    const FitOutcome& o = result.value();
    EXPECT_TRUE(o.success) << c.notation;
    for (size_t j = 0; j < c.truth.size(); ++j) EXPECT_NEAR(o.values[j], c.truth[j], c.tolerance * c.truth[j]) << j;
    EXPECT_TRUE(o.standard_errors.has_value());
    EXPECT_EQ(o.chi_square, 2.0 * o.cost);
    EXPECT_GT(o.iterations, 0u);
  }
}

TEST(LmFit, ExactStartConvergesInOneSolve) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 25);
  const auto result = lm_fit(circuit_with(kRc, kRcTruth), s);
  ASSERT_TRUE(result.ok());
  const FitOutcome& o = result.value();
  EXPECT_TRUE(o.success);
  // The solve starts from internal(p0), whose round trip through log10 moves
  // p0 by an ulp or so, so the residuals are tiny rather than exactly zero.
  for (size_t j = 0; j < 3; ++j) EXPECT_NEAR(o.values[j], kRcTruth[j], 1e-12 * kRcTruth[j]) << j;
  EXPECT_LT(o.cost, 1e-25);
  EXPECT_LE(o.iterations, 3u);
  // One solve: 9 candidates, its residual evaluations and one Jacobian (2P),
  // the cost of its result, and build_outcome (1 + 2P).
  EXPECT_EQ(o.impedance_evals, 9u + o.iterations + 6u + 1u + (1u + 6u));

  // With finite upper bounds x = p exactly, so the residuals at the start are
  // zero and lmder stops on its first evaluation.
  const std::vector<Bounds> finite(3, Bounds{0.0, 1e300});
  const LmSolve solve = single_start(s, finite, kRcTruth, {false, false, false});
  EXPECT_TRUE(solve.converged);
  EXPECT_EQ(solve.evaluations, 1u);
  EXPECT_EQ(solve.params, kRcTruth);
}

// An R-(R,C) spectrum fitted with a CPE: every solve ends with alpha on its
// upper bound 1, which the walk does not accept, so it tries every start.
TEST(LmFit, MaxStartsCutsTheWalkAndSaysSo) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 25);
  const SeriesList start = circuit_with("R0-(R1,CPE1)", {3.0, 400.0, 1e-4, 0.9});
  const struct {
    std::uint32_t max_starts;
    bool cut;
  } cases[] = {{0, false}, {1, true}, {9, false}};
  std::uint64_t whole_walk = 0;
  for (const auto& c : cases) {
    LmSettings settings;
    settings.max_starts = c.max_starts;
    const auto result = lm_fit(start, s, settings);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value().walk_cut, c.cut) << c.max_starts;
    EXPECT_NEAR(result.value().values[3], 1.0, 1e-6) << c.max_starts;
    const std::uint64_t iterations = result.value().iterations;
    if (c.max_starts == 0) whole_walk = iterations;
    EXPECT_EQ(iterations < whole_walk, c.cut) << c.max_starts;
  }
  // A plausible first solve ends the walk before the cap matters.
  LmSettings one;
  one.max_starts = 1;
  EXPECT_FALSE(lm_fit(circuit_with(kRc, kRcStart), s, one).value().walk_cut);
}

// Every start value 1 puts every internal coordinate a hair off 0, where
// lmder's first trust radius would be tiny and its first step would pass for
// convergence; such fits must reach the exact optimum all the same.
TEST(LmFit, StartWithEveryValueOneReachesTheOptimum) {
  const struct {
    const char* notation;
    std::vector<double> truth;
  } cases[] = {{"R0", {2.0}}, {"R0-C1", {2.0, 0.5}}, {kRc, {3.0, 2.0, 0.2}}};
  for (const auto& c : cases) {
    const auto s = synthetic_spectrum(c.notation, c.truth, 12, -1.0, 1.0, 0.0, 3);
    const auto result = lm_fit(circuit_with(c.notation, std::vector<double>(c.truth.size(), 1.0)), s);
    ASSERT_TRUE(result.ok()) << c.notation;
    EXPECT_TRUE(result.value().success) << c.notation;
    EXPECT_LT(result.value().chi_square, 1e-20) << c.notation;
    for (size_t j = 0; j < c.truth.size(); ++j) EXPECT_NEAR(result.value().values[j], c.truth[j], 1e-8) << c.notation;
  }
}

TEST(LmSingleStart, FixedParameterStaysPut) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 20);
  const std::vector<Bounds> bounds = param_bounds(parse(kRc).value());
  const std::vector<double> x0 = internal(std::vector<double>{12.0, 80.0, 2e-5}, bounds);
  const LmSolve solve = single_start(s, bounds, x0, {true, false, false});
  EXPECT_EQ(solve.params[0], physical_value(x0[0], bounds[0]));
  EXPECT_NE(solve.params[1], 80.0);
  EXPECT_GT(solve.evaluations, 1u);
}

// Each parameter follows the rule of its own upper bound: an infinite one is
// scaled in candidates 2 to 5 and kept in 6 to 9, a finite one kept in 2 to 5
// and placed at 20, 40, 60 and 80 % of its range in 6 to 9.
TEST(LmFit, CandidatesFollowEachParametersBound) {
  FitProblem problem;
  problem.transform_bounds = {{0.0, 1.0}, {2.0, 4.0}, {0.0, kInf}, {1e-12, kInf}};
  problem.bounds = problem.transform_bounds;
  problem.fixed.assign(4, false);
  problem.start_values = {0.5, 3.0, 2.0, 9.0};
  const auto candidates = lm_start_candidates(problem, problem.start_values);
  const double third = 0.3333333333333333;
  const std::vector<std::vector<double>> expected = {{0.5, 3.0, 2.0, 9.0},
                                                     {0.5, 3.0, 6.0, 27.0},
                                                     {0.5, 3.0, 2.0 * third, 9.0 * third},
                                                     {0.5, 3.0, 16.0, 72.0},
                                                     {0.5, 3.0, 0.25, 1.125},
                                                     {0.2, 2.0 + 0.2 * 2.0, 2.0, 9.0},
                                                     {0.4, 2.0 + 0.4 * 2.0, 2.0, 9.0},
                                                     {0.6, 2.0 + 0.6 * 2.0, 2.0, 9.0},
                                                     {0.8, 2.0 + 0.8 * 2.0, 2.0, 9.0}};
  EXPECT_EQ(candidates, expected);
}

TEST(LmFit, TotalOrderPlacesSignedNansAtTheEnds) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> sorted = {-nan, -kInf, -1.0, -0.0, 0.0, 1e-300, 1.0, kInf, nan};
  for (size_t a = 0; a < sorted.size(); ++a) {
    for (size_t b = 0; b < sorted.size(); ++b)
      EXPECT_EQ(total_order_less(sorted[a], sorted[b]), a < b) << a << " " << b;
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

TEST(LmFit, NoParametersToTestIsPlausible) { EXPECT_TRUE(is_plausible({}, {}, {})); }

TEST(LmFit, HeldParameterOnItsBoundIsPlausible) {
  // A user holding an exponent at 1 chose that value; only the free one is judged.
  const std::vector<Bounds> bounds = {{0.0, 1.0}, {0.0, 1.0}};
  EXPECT_TRUE(is_plausible(std::vector<double>{1.0, 0.5}, std::vector<double>{1.0, 0.5}, bounds, {true, false}));
  EXPECT_FALSE(is_plausible(std::vector<double>{1.0, 0.5}, std::vector<double>{1.0, 0.5}, bounds, {false, true}));
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

TEST(LmFit, BestBeyondAFiniteBoundIsClampedAndHeldThere) {
  // The data want alpha = 1.08, above the bound 1.
  const auto s = synthetic_spectrum("R0-(R1,CPE1)", {5.0, 50.0, 2e-5, 1.08}, 30);
  const auto result = lm_fit(circuit_with("R0-(R1,CPE1)", {4.0, 60.0, 1e-5, 0.9}), s);
  ASSERT_TRUE(result.ok());
  const FitOutcome& o = result.value();
  EXPECT_EQ(o.values[3], 1.0);
  EXPECT_GT(o.cost, 0.0);
  EXPECT_TRUE(std::isfinite(o.cost));
  // The held solve refits the others with alpha = 1: no worse than a fit
  // started at the clamped unconstrained optimum.
  const auto from_clamped = lm_fit(circuit_with("R0-(R1,CPE1)", {5.0, 50.0, 2e-5, 1.0}), s);
  ASSERT_TRUE(from_clamped.ok());
  EXPECT_LE(o.cost, from_clamped.value().cost * (1.0 + 1e-9));
}

struct ToleranceCase {
  LmSettings settings;
  const char* message;  // nullptr: accepted
};

class LmTolerance : public ::testing::TestWithParam<ToleranceCase> {};

TEST_P(LmTolerance, IsCheckedInOrder) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 10);
  const auto result = lm_fit(circuit_with(kRc, kRcStart), s, GetParam().settings);
  if (!GetParam().message) {
    EXPECT_TRUE(result.ok());
    return;
  }
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, FitError::Kind::InvalidArgument);
  EXPECT_EQ(result.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Cases, LmTolerance,
                         ::testing::Values(ToleranceCase{{-1.0, -1.0, -1.0, 200}, "ftol must be >= 0"},
                                           ToleranceCase{{1e-8, -1e-3, -1.0, 200}, "xtol must be >= 0"},
                                           ToleranceCase{{1e-8, 1e-8, -1e-9, 200}, "gtol must be >= 0"},
                                           ToleranceCase{{NAN, 1e-8, 1e-8, 200}, "ftol must be >= 0"},
                                           ToleranceCase{{1e-8, NAN, 1e-8, 200}, "xtol must be >= 0"},
                                           ToleranceCase{{kInf, kInf, 1e-8, 200}, nullptr}));

// Points that no model value can meet are refused, naming the first of them.
TEST(FitProblem, RefusesNonFiniteDataAndNonPositiveFrequencies) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 12);
  auto with_nan = s, with_inf = s, with_zero_frequency = s, with_negative_frequency = s;
  with_nan.impedances[3].re = NAN;
  with_inf.impedances[5].im = -kInf;
  with_zero_frequency.frequencies_hz[0] = 0.0;
  with_negative_frequency.frequencies_hz[7] = -2.0;
  const struct {
    const SyntheticSpectrum* spectrum;
    const char* message;
  } cases[] = {{&with_nan, "impedance at index 3 is (NaN-"},
               {&with_inf, "impedance at index 5 is ("},
               {&with_zero_frequency, "frequency at index 0 is 0 Hz; a fit needs finite frequencies > 0"},
               {&with_negative_frequency, "frequency at index 7 is -2 Hz"}};
  const SeriesList start = circuit_with(kRc, kRcStart);
  for (const auto& c : cases) {
    const auto problem = make_fit_problem(start, c.spectrum->frequencies_hz, c.spectrum->impedances,
                                          Weighting::Modulus);
    ASSERT_FALSE(problem.ok()) << c.message;
    EXPECT_EQ(problem.error().kind, FitError::Kind::InvalidArgument);
    EXPECT_EQ(problem.error().message().rfind(c.message, 0), 0u) << problem.error().message();
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

}  // namespace
}  // namespace kovrant
