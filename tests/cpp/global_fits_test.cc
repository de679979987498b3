#include "fit/global_fits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fit/fit_dispatch.h"
#include "fit/levenberg_marquardt.h"
#include "synthetic_spectrum.h"

namespace kovrant {
namespace {

const double kInf = std::numeric_limits<double>::infinity();
const char* const kRc = "R0-(R1,C1)";
const std::vector<double> kRcTruth = {10.0, 100.0, 1e-5};
const std::vector<double> kRcStart = {4.0, 300.0, 4e-5};

// Small budgets keep every method to a few milliseconds.
FitSettings quick_settings() {
  FitSettings settings;
  settings.num_particles = 20;
  settings.generations = 30;
  settings.nelder_mead_iterations = 500;
  settings.de_evaluations = 300;
  settings.sa_iterations = 300;
  settings.basin_hopping_hops = 3;
  settings.seed = 12345;
  return settings;
}

Result<FitOutcome, FitError> fit(std::string_view method, const SyntheticSpectrum& s, const FitSettings& settings,
                                 const std::vector<double>& start = kRcStart) {
  return run_fit_method(method, circuit_with(kRc, start), s.frequencies_hz, s.impedances, Weighting::Modulus, settings);
}

class EveryMethod : public ::testing::TestWithParam<std::string_view> {};

// With its seed every method repeats exactly, except differential evolution,
// which is seeded from the operating system whatever the seed.
TEST_P(EveryMethod, RecoversKnownParametersFromNoisyDataAndRepeats) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 30, -1.0, 5.0, 0.005, 8);
  const auto result = fit(GetParam(), s, quick_settings());
  ASSERT_TRUE(result.ok()) << result.error().message();
  const FitOutcome& o = result.value();
  EXPECT_TRUE(o.success);
  for (size_t j = 0; j < 3; ++j) EXPECT_NEAR(o.values[j], kRcTruth[j], 0.02 * kRcTruth[j]) << j;
  EXPECT_GT(o.iterations, 0u);
  EXPECT_GT(o.impedance_evals, 1u + 2u * 3u);
  EXPECT_EQ(o.param_names.size(), 3u);
  const auto again = fit(GetParam(), s, quick_settings());
  ASSERT_TRUE(again.ok());
  if (GetParam() == "differential_evolution") {
    EXPECT_NE(again.value().values, o.values);
    return;
  }
  EXPECT_EQ(again.value().values, o.values);
  EXPECT_EQ(again.value().iterations, o.iterations);
  EXPECT_EQ(again.value().impedance_evals, o.impedance_evals);
  EXPECT_EQ(again.value().cost, o.cost);
}

TEST_P(EveryMethod, InputErrorsComeFirstAndInOrder) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 5);
  FitSettings settings = quick_settings();
  settings.ftol = -1.0;                    // would fail later, in LM
  settings.sa_initial_temperature = -1.0;  // would fail later, in SA
  settings.basin_hopping_step_size = -1.0;
  const std::vector<Complex> fewer(s.impedances.begin(), s.impedances.end() - 1);
  auto kind = [&](const SeriesList& circuit, std::span<const double> f, std::span<const Complex> z) {
    return run_fit_method(GetParam(), circuit, f, z, Weighting::Unit, settings).error().kind;
  };
  EXPECT_EQ(kind(SeriesList{}, s.frequencies_hz, fewer), FitError::Kind::LengthMismatch);
  EXPECT_EQ(kind(SeriesList{}, {}, {}), FitError::Kind::EmptySpectrum);
  EXPECT_EQ(kind(SeriesList{}, s.frequencies_hz, s.impedances), FitError::Kind::NoParameters);
}

// A stop before the first iteration, and for the methods that do not converge
// early, a stop at the first poll after the start with budgets of about a
// second, which a method that never polled again would finish.
TEST_P(EveryMethod, StopCallbackInterrupts) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 20, -1.0, 5.0, 0.01, 1);
  FitSettings settings = quick_settings();
  auto interrupted = [&] {
    const auto result = fit(GetParam(), s, settings);
    return !result.ok() && result.error().kind == FitError::Kind::Interrupted;
  };
  settings.should_stop = [] { return true; };
  EXPECT_TRUE(interrupted());
  if (GetParam() == "levenberg_marquardt" || GetParam() == "nelder_mead") return;
  settings.num_particles = 50;
  settings.generations = 80'000;
  settings.de_evaluations = 400'000;
  settings.sa_iterations = 4'000'000;
  settings.basin_hopping_hops = 40'000;
  int polls = 0;
  settings.should_stop = [&polls] { return ++polls >= 2; };
  EXPECT_TRUE(interrupted());
}

TEST_P(EveryMethod, NonFiniteDataAndOddStartsDoNotCrash) {
  auto s = synthetic_spectrum(kRc, kRcTruth, 15);
  // R1 = 0 on its open bound starts at internal coordinate -300.
  const auto zero_start = fit(GetParam(), s, quick_settings(), {10.0, 0.0, 1e-5});
  ASSERT_TRUE(zero_start.ok()) << zero_start.error().message();
  EXPECT_TRUE(std::isfinite(zero_start.value().cost));
  const auto nan_start = fit(GetParam(), s, quick_settings(), {NAN, 300.0, 4e-5});
  if (GetParam() == "differential_evolution") {
    // A NaN start collapses the search interval of that parameter.
    ASSERT_FALSE(nan_start.ok());
    EXPECT_EQ(nan_start.error().message(),
              "differential evolution cannot search parameter \"R0.r\": its search interval [-300, -300] is empty");
  } else {
    ASSERT_TRUE(nan_start.ok()) << nan_start.error().message();
    EXPECT_EQ(nan_start.value().values.size(), 3u);
  }
  s.impedances[2] = {NAN, 1.0};
  s.frequencies_hz[7] = 0.0;
  const auto result = fit(GetParam(), s, quick_settings());
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message(), "impedance at index 2 is (NaN+1j) ohm; a fit needs finite impedances");
}

// A held parameter keeps its start value and a narrowed bound holds, in
// every method; the free ones still fit, and the held one has no error.
TEST_P(EveryMethod, HoldsFixedParametersAndNarrowedBounds) {
  const char* const rq = "R0-(R1,CPE1)";
  const auto s = synthetic_spectrum(rq, {10.0, 100.0, 1e-5, 0.9}, 30, -1.0, 5.0, 0.005, 3);
  const SeriesList start = circuit_with(rq, {10.0, 60.0, 3e-5, 0.7});
  FitConstraints constraints;
  constraints.fixed = {true, false, false, false};
  constraints.bounds = {{1e-12, kInf}, {1e-12, 80.0}, {1e-12, kInf}, {0.6, 0.8}};
  const auto result = run_fit_method(GetParam(), start, s.frequencies_hz, s.impedances, Weighting::Modulus,
                                     quick_settings(), constraints);
  ASSERT_TRUE(result.ok()) << result.error().message();
  const FitOutcome& o = result.value();
  EXPECT_EQ(o.values[0], 10.0);
  EXPECT_EQ(o.values[1], 80.0);  // the optimum lies above the narrowed bound
  EXPECT_EQ(o.values[3], 0.8);
  ASSERT_TRUE(o.standard_errors.has_value());
  EXPECT_TRUE(std::isnan((*o.standard_errors)[0]));
  EXPECT_TRUE(std::isfinite((*o.standard_errors)[2]));
}

TEST(FitConstraints, RefusesBoundsOutsideThePhysicalOnesAndStartsOutsideTheBounds) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 10);
  const SeriesList start = circuit_with(kRc, kRcStart);
  const struct {
    std::vector<Bounds> bounds;
    const char* message;
  } cases[] = {
      {{{0.0, kInf}, {1e-12, kInf}, {1e-12, kInf}}, "bounds [0, inf] of \"R0.r\" must be an interval inside its physical bounds [1e-12, inf]"},
      {{{1e-12, kInf}, {500.0, 400.0}, {1e-12, kInf}}, "bounds [500, 400] of \"R1.r\" must be an interval"},
      {{{1e-12, kInf}, {1e-12, kInf}, {1e-4, 1.0}}, "start value 4e-5 of \"C1.c\" lies outside its bounds [0.0001, 1]"},
  };
  for (const auto& c : cases) {
    const auto result = make_fit_problem(start, s.frequencies_hz, s.impedances, Weighting::Modulus, {{}, c.bounds});
    ASSERT_FALSE(result.ok()) << c.message;
    EXPECT_EQ(result.error().message().rfind(c.message, 0), 0u) << result.error().message();
  }
}

INSTANTIATE_TEST_SUITE_P(Methods, EveryMethod, ::testing::ValuesIn(kFitMethodNames));

struct ArgumentCase {
  const char* method;
  const char* setting;
  double value;
  const char* error;  // nullptr: the fit succeeds and reaches the exact values
};

// Sets the named setting; an unknown name fails the test.
void change(FitSettings& s, std::string_view name, double value) {
  if (name == "xtol") return void(s.xtol = value);
  if (name == "ftol") return void(s.ftol = value);
  if (name == "sa_initial_temperature") return void(s.sa_initial_temperature = value);
  if (name == "sa_iterations") return void(s.sa_iterations = static_cast<std::uint64_t>(value));
  if (name == "basin_hopping_step_size") return void(s.basin_hopping_step_size = value);
  if (name == "basin_hopping_temperature") return void(s.basin_hopping_temperature = value);
  if (name == "num_particles") return void(s.num_particles = static_cast<std::uint32_t>(value));
  if (name == "generations") return void(s.generations = static_cast<std::uint64_t>(value));
  if (name == "de_evaluations") return void(s.de_evaluations = static_cast<std::uint32_t>(value));
  if (name == "nelder_mead_iterations") return void(s.nelder_mead_iterations = static_cast<std::uint64_t>(value));
  ADD_FAILURE() << "no setting " << name;
}

const char* const kBadTemperature =
    "solver error: Invalid parameter: \"`SimulatedAnnealing`: Initial temperature must be > 0.\"";
const char* const kBadSaTemperature = "sa_initial_temperature must be a finite number > 0";
const char* const kBadStep = "basin_hopping_step_size must be a finite number >= 0";

class MethodArgument : public ::testing::TestWithParam<ArgumentCase> {};

// Each method checks only its own settings; absurd but usable budgets still
// end in a polished fit.
TEST_P(MethodArgument, IsCheckedByItsMethodOnly) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 15);
  FitSettings settings = quick_settings();
  change(settings, GetParam().setting, GetParam().value);
  const auto result = fit(GetParam().method, s, settings);
  if (GetParam().error) {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), GetParam().error);
    return;
  }
  ASSERT_TRUE(result.ok()) << result.error().message();
  EXPECT_TRUE(result.value().success);
  for (size_t j = 0; j < 3; ++j) EXPECT_NEAR(result.value().values[j], kRcTruth[j], 1e-6 * kRcTruth[j]) << j;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MethodArgument,
    ::testing::Values(
        ArgumentCase{"simulated_annealing", "sa_initial_temperature", 0.0, kBadTemperature},
        ArgumentCase{"simulated_annealing", "sa_initial_temperature", -HUGE_VAL, kBadTemperature},
        ArgumentCase{"simulated_annealing", "sa_initial_temperature", NAN, kBadSaTemperature},
        ArgumentCase{"simulated_annealing", "sa_initial_temperature", HUGE_VAL, kBadSaTemperature},
        ArgumentCase{"simulated_annealing", "sa_iterations", 0, nullptr},
        ArgumentCase{"basin_hopping", "basin_hopping_step_size", -1.0, kBadStep},
        ArgumentCase{"basin_hopping", "basin_hopping_step_size", NAN, kBadStep},
        ArgumentCase{"basin_hopping", "basin_hopping_step_size", HUGE_VAL, kBadStep},
        ArgumentCase{"basin_hopping", "basin_hopping_step_size", 0.0, nullptr},
        ArgumentCase{"basin_hopping", "basin_hopping_temperature", NAN, "basin_hopping_temperature must not be NaN"},
        ArgumentCase{"basin_hopping", "basin_hopping_temperature", 0.0, nullptr},
        ArgumentCase{"basin_hopping", "basin_hopping_temperature", HUGE_VAL, nullptr},
        ArgumentCase{"particle_swarm", "num_particles", 0, "solver error: particle swarm found no best position"},
        ArgumentCase{"particle_swarm", "generations", 0, nullptr},
        ArgumentCase{"nelder_mead", "nelder_mead_iterations", 0, nullptr},
        ArgumentCase{"levenberg_marquardt", "xtol", -2.0, "xtol must be >= 0"},
        // Settings of the other methods are not looked at.
        ArgumentCase{"levenberg_marquardt", "sa_initial_temperature", 0.0, nullptr},
        ArgumentCase{"levenberg_marquardt", "basin_hopping_temperature", NAN, nullptr},
        ArgumentCase{"nelder_mead", "ftol", NAN, nullptr}, ArgumentCase{"nelder_mead", "xtol", -1.0, nullptr},
        ArgumentCase{"particle_swarm", "basin_hopping_step_size", HUGE_VAL, nullptr},
        ArgumentCase{"differential_evolution", "xtol", NAN, nullptr},
        ArgumentCase{"simulated_annealing", "ftol", -1.0, nullptr}));

TEST(FitDispatch, UnknownMethodIsReportedBeforeInputChecks) {
  const auto result = run_fit_method("Levenberg_Marquardt", SeriesList{}, {}, {}, Weighting::Modulus, FitSettings{});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, FitError::Kind::UnknownMethod);
  EXPECT_EQ(result.error().detail, "Levenberg_Marquardt");
}

// max_iterations = 0 behaves as 1, which allows at most P + 1 = 4 evaluations
// in each of the nine solves.
TEST(FitDispatch, LevenbergMarquardtIterationLimitOfZeroActsAsOne) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 20);
  FitSettings settings;
  settings.max_iterations = 0;
  const auto zero = fit("levenberg_marquardt", s, settings);
  settings.max_iterations = 1;
  const auto one = fit("levenberg_marquardt", s, settings);
  const auto full = fit("levenberg_marquardt", s, FitSettings{});
  ASSERT_TRUE(zero.ok() && one.ok() && full.ok());
  EXPECT_EQ(zero.value().values, one.value().values);
  EXPECT_EQ(zero.value().iterations, one.value().iterations);
  EXPECT_EQ(zero.value().impedance_evals, one.value().impedance_evals);
  EXPECT_LE(one.value().iterations, 9u * 4u);
  EXPECT_NE(one.value().iterations, full.value().iterations);
}

TEST(BasinHoppingFit, NoHopsReturnsTheInitialFitRebuilt) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 20, -1.0, 5.0, 0.01, 5);
  FitSettings settings = quick_settings();
  settings.basin_hopping_hops = 0;
  const auto hopping = fit("basin_hopping", s, settings);
  StopCheck stop;
  const SeriesList start = circuit_with(kRc, kRcStart);
  const FitProblem problem = problem_for(start, s);
  const auto lm = levenberg_marquardt_fit(problem, problem.start_values, LmSettings{}, stop);
  ASSERT_TRUE(hopping.ok() && lm.ok());
  EXPECT_EQ(hopping.value().values, lm.value().values);
  EXPECT_EQ(hopping.value().iterations, lm.value().iterations);
  EXPECT_TRUE(hopping.value().success);
  // Hops are searches without outcomes of their own: with none, the count is
  // the initial search's plus the final outcome's, as for the LM fit.
  EXPECT_EQ(hopping.value().impedance_evals, lm.value().impedance_evals);
}

TEST(GlobalFit, CountsTheMethodsOwnEvaluations) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 10);
  // Annealing: the start, one per neighbour, the fallback's 1 + 2P and at least
  // the polish's nine candidates. Differential evolution: at least one
  // evaluation per run and its best recomputed in f64, for each of ten runs.
  const struct {
    const char* method;
    const char* setting;
    double value;
    std::uint64_t at_least;
  } cases[] = {{"simulated_annealing", "sa_iterations", 40, 1 + 40 + 7 + 9},
               {"differential_evolution", "de_evaluations", 0, 10 * (1 + 1) + 7 + 9},
               {"differential_evolution", "de_evaluations", 1, 10 * (1 + 1) + 7 + 9},
               {"differential_evolution", "de_evaluations", 150, 10 * (150 + 1) + 7 + 9}};
  for (const auto& c : cases) {
    FitSettings settings = quick_settings();
    change(settings, c.setting, c.value);
    const auto result = fit(c.method, s, settings);
    ASSERT_TRUE(result.ok()) << c.method;
    EXPECT_GE(result.value().impedance_evals, c.at_least) << c.method << " " << c.value;
  }
}

}  // namespace
}  // namespace kovrant
