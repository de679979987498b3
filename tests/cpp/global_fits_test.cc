#include "fit/global_fits.h"

#include <gtest/gtest.h>

#include <cmath>

#include "fit/fit_dispatch.h"
#include "fit/levenberg_marquardt.h"
#include "synthetic_spectrum.h"

namespace kovrant {
namespace {

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

TEST_P(EveryMethod, RecoversKnownParametersFromNoisyData) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 30, -1.0, 5.0, 0.005, 8);
  const auto result = fit(GetParam(), s, quick_settings());
  ASSERT_TRUE(result.ok()) << result.error().message();
  const FitOutcome& o = result.value();
  EXPECT_TRUE(o.success);
  for (size_t j = 0; j < 3; ++j) EXPECT_NEAR(o.values[j], kRcTruth[j], 0.02 * kRcTruth[j]) << j;
  EXPECT_GT(o.iterations, 0u);
  EXPECT_GT(o.impedance_evals, 1u + 2u * 3u);
  EXPECT_EQ(o.param_names.size(), 3u);
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

TEST_P(EveryMethod, StopCallbackInterrupts) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 20);
  FitSettings settings = quick_settings();
  settings.should_stop = [] { return true; };
  const auto result = fit(GetParam(), s, settings);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, FitError::Kind::Interrupted);
}

TEST_P(EveryMethod, NonFiniteDataAndZeroFrequencyDoNotCrash) {
  auto s = synthetic_spectrum(kRc, kRcTruth, 15);
  s.impedances[2] = {NAN, 1.0};
  s.impedances[7].im = INFINITY;
  s.frequencies_hz[0] = 0.0;
  const auto result = fit(GetParam(), s, quick_settings());
  ASSERT_TRUE(result.ok()) << result.error().message();
  EXPECT_EQ(result.value().values.size(), 3u);
  EXPECT_FALSE(std::isfinite(result.value().cost));
}

TEST_P(EveryMethod, NanStartValueDoesNotCrash) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 15);
  const auto result = fit(GetParam(), s, quick_settings(), {NAN, 300.0, 4e-5});
  if (GetParam() == "differential_evolution") {
    // A NaN start collapses the search interval of that parameter.
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, FitError::Kind::InvalidArgument);
    EXPECT_EQ(result.error().message(),
              "differential evolution cannot search parameter \"R0.r\": its search interval [-300, -300] is empty");
    return;
  }
  ASSERT_TRUE(result.ok()) << result.error().message();
  EXPECT_EQ(result.value().values.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Methods, EveryMethod, ::testing::ValuesIn(kFitMethodNames));

class SeededMethod : public ::testing::TestWithParam<std::string_view> {};

TEST_P(SeededMethod, SameSeedGivesIdenticalResults) {
  const auto s = synthetic_spectrum("R0-(R1,CPE1)", {5.0, 50.0, 2e-5, 0.85}, 25, -1.0, 5.0, 0.01, 3);
  auto run = [&] {
    return run_fit_method(GetParam(), circuit_with("R0-(R1,CPE1)", {2.0, 200.0, 1e-4, 0.6}), s.frequencies_hz,
                          s.impedances, Weighting::Modulus, quick_settings());
  };
  const auto first = run(), second = run();
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(first.value().values, second.value().values);
  EXPECT_EQ(first.value().iterations, second.value().iterations);
  EXPECT_EQ(first.value().impedance_evals, second.value().impedance_evals);
  EXPECT_EQ(first.value().cost, second.value().cost);
}

INSTANTIATE_TEST_SUITE_P(Methods, SeededMethod,
                         ::testing::Values("simulated_annealing", "basin_hopping", "particle_swarm"));

// Budgets of about a second: a method that did not poll after its start would
// finish and succeed instead of being interrupted.
class LongRunningMethod : public ::testing::TestWithParam<std::string_view> {};

TEST_P(LongRunningMethod, StopsWhenTheCallbackTurnsTrueMidway) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 20, -1.0, 5.0, 0.01, 1);
  FitSettings settings;
  settings.num_particles = 50;
  settings.generations = 80'000;
  settings.de_evaluations = 400'000;
  settings.sa_iterations = 4'000'000;
  settings.basin_hopping_hops = 40'000;
  int polls = 0;
  settings.should_stop = [&polls] { return ++polls >= 2; };  // the first poll after the start
  const auto result = fit(GetParam(), s, settings);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, FitError::Kind::Interrupted);
}

INSTANTIATE_TEST_SUITE_P(Methods, LongRunningMethod,
                         ::testing::Values("simulated_annealing", "basin_hopping", "particle_swarm",
                                           "differential_evolution"));

struct ArgumentCase {
  const char* method;
  const char* setting;
  double value;
  const char* error;  // nullptr: the fit succeeds and reaches the exact values
};

void change(FitSettings& s, std::string_view name, double value) {
  if (name == "xtol") s.xtol = value;
  if (name == "ftol") s.ftol = value;
  if (name == "sa_initial_temperature") s.sa_initial_temperature = value;
  if (name == "sa_iterations") s.sa_iterations = static_cast<std::uint64_t>(value);
  if (name == "basin_hopping_step_size") s.basin_hopping_step_size = value;
  if (name == "basin_hopping_temperature") s.basin_hopping_temperature = value;
  if (name == "num_particles") s.num_particles = static_cast<std::uint32_t>(value);
  if (name == "generations") s.generations = static_cast<std::uint64_t>(value);
  if (name == "nelder_mead_iterations") s.nelder_mead_iterations = static_cast<std::uint64_t>(value);
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

TEST(FitDispatch, LevenbergMarquardtReceivesItsIterationLimit) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 20);
  FitSettings settings;
  settings.max_iterations = 1;
  const auto limited = fit("levenberg_marquardt", s, settings);
  const auto full = fit("levenberg_marquardt", s, FitSettings{});
  ASSERT_TRUE(limited.ok() && full.ok());
  EXPECT_LE(limited.value().iterations, 9u * 4u);
  EXPECT_NE(limited.value().iterations, full.value().iterations);
}

TEST(SimulatedAnnealingFit, CountsOneEvaluationPerIteration) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 10);
  FitSettings settings = quick_settings();
  settings.sa_iterations = 40;
  const auto result = fit("simulated_annealing", s, settings);
  ASSERT_TRUE(result.ok());
  // Start, 40 neighbours and the fallback's 1 + 2P, plus the polish.
  EXPECT_GE(result.value().impedance_evals, 1u + 40u + 7u + 9u);
}

TEST(NelderMeadFit, ZeroStartOnOpenBoundStartsAtMinus300) {
  // R1 = 0 maps to -300; the fit must still run and end in the bounds.
  const auto s = synthetic_spectrum(kRc, kRcTruth, 15);
  const auto result = fit("nelder_mead", s, quick_settings(), {10.0, 0.0, 1e-5});
  ASSERT_TRUE(result.ok());
  EXPECT_GE(result.value().values[1], 1e-12);
}

TEST(BasinHoppingFit, NoHopsReturnsTheInitialFitRebuilt) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 20, -1.0, 5.0, 0.01, 5);
  FitSettings settings = quick_settings();
  settings.basin_hopping_hops = 0;
  const auto hopping = fit("basin_hopping", s, settings);
  StopCheck stop;
  const auto lm = levenberg_marquardt_fit(circuit_with(kRc, kRcStart), s.frequencies_hz, s.impedances,
                                          Weighting::Modulus, LmSettings{}, stop);
  ASSERT_TRUE(hopping.ok() && lm.ok());
  EXPECT_EQ(hopping.value().values, lm.value().values);
  EXPECT_EQ(hopping.value().iterations, lm.value().iterations);
  EXPECT_TRUE(hopping.value().success);
  EXPECT_EQ(hopping.value().impedance_evals, lm.value().impedance_evals + 7u);
}

TEST(DifferentialEvolutionFit, CountsEveryEvaluationOfTheTenRuns) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 10);
  StopCheck stop;
  for (std::uint32_t budget : {0u, 1u, 150u}) {
    const auto result = differential_evolution_fit(circuit_with(kRc, kRcStart), s.frequencies_hz, s.impedances,
                                                   Weighting::Modulus, budget, 9, stop);
    ASSERT_TRUE(result.ok());
    const std::uint64_t per_run = budget == 0 ? 1 : budget;
    // Each run's cost evaluations, its best recomputed in f64, the fallback
    // and at least the polish's nine candidates.
    EXPECT_GE(result.value().impedance_evals, 10u * per_run + 10u + 7u + 9u);
  }
}

TEST(DifferentialEvolutionFit, SameGeneratorSeedGivesIdenticalResults) {
  const auto s = synthetic_spectrum(kRc, kRcTruth, 10, -1.0, 5.0, 0.01, 2);
  StopCheck stop;
  auto run = [&] {
    return differential_evolution_fit(circuit_with(kRc, kRcStart), s.frequencies_hz, s.impedances, Weighting::Modulus,
                                      200, 4, stop);
  };
  const auto first = run(), second = run();
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(first.value().values, second.value().values);
  EXPECT_EQ(first.value().impedance_evals, second.value().impedance_evals);
}

}  // namespace
}  // namespace kovrant
