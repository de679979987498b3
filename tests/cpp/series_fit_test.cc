#include "fit/series_fit.h"

#include <gtest/gtest.h>

#include <cmath>

#include "synthetic_spectrum.h"

namespace kovrant {
namespace {

using Role = SeriesParameter::Role;
const char* const kCircuit = "R0-(R1,CPE1)";  // R0.r, R1.r, CPE1.q, CPE1.alpha
const double kInf = std::numeric_limits<double>::infinity();

// A series over temperatures: R0 constant, R1 Arrhenius with 0.4 eV, the CPE
// drifting smoothly.
struct Series {
  std::vector<double> kelvin;
  std::vector<std::vector<double>> truth;
  std::vector<SyntheticSpectrum> spectra;
};

double arrhenius(double prefactor, double energy, double kelvin) {
  return prefactor * std::exp(energy / (kBoltzmannEv * kelvin));
}

Series temperature_series(size_t count, double noise = 0.0) {
  Series s;
  for (size_t i = 0; i < count; ++i) {
    const double kelvin = 273.15 + 10.0 * static_cast<double>(i);
    const std::vector<double> values = {0.05, arrhenius(2e-8, 0.4, kelvin), 1e-3 * (1.0 + 0.05 * i), 0.85};
    s.kelvin.push_back(kelvin);
    s.truth.push_back(values);
    s.spectra.push_back(synthetic_spectrum(kCircuit, values, 40, -2.0, 5.0, noise, i + 1));
  }
  return s;
}

struct Problem {
  SeriesList tree = parse(kCircuit).value();
  SeriesProblem problem;
};

// R0 shared, R1 Arrhenius, the CPE per spectrum; starts off the truth.
std::unique_ptr<Problem> problem_of(const Series& s, double smoothing = 0.0) {
  auto p = std::make_unique<Problem>();
  p->problem.circuit = &p->tree;
  const auto physical = param_bounds(p->tree);
  for (size_t j = 0; j < 4; ++j) {
    SeriesParameter parameter;
    parameter.bounds = physical[j];
    parameter.role = j == 0 ? Role::Shared : (j == 1 ? Role::Law : Role::PerSpectrum);
    if (j == 1) parameter.law = {SeriesLaw::Kind::Arrhenius, s.kelvin, 1};
    if (j >= 2) parameter.smoothing = smoothing;
    p->problem.parameters.push_back(parameter);
  }
  for (size_t i = 0; i < s.spectra.size(); ++i) {
    p->problem.spectra.push_back({s.spectra[i].frequencies_hz, s.spectra[i].impedances});
    std::vector<double> start = s.truth[i];
    start[0] *= 1.2 + 0.02 * i;
    start[1] *= 0.7;
    start[2] *= 1.3;
    start[3] = 0.8;
    p->problem.starts.push_back(start);
  }
  return p;
}

TEST(SeriesFit, RecoversSharedLawAndPerSpectrumValuesOfAnExactSeries) {
  const Series s = temperature_series(6);
  const auto p = problem_of(s);
  const auto result = series_fit(p->problem, {});
  ASSERT_TRUE(result.ok()) << result.error().message();
  const SeriesOutcome& out = result.value();
  EXPECT_TRUE(out.success) << termination_text(out.termination);
  ASSERT_EQ(out.globals.size(), 3u);  // R0, A, Ea
  EXPECT_NEAR(out.globals[0], 0.05, 1e-9);
  EXPECT_NEAR(out.globals[1] / 2e-8, 1.0, 1e-6);
  EXPECT_NEAR(out.globals[2], 0.4, 1e-7);
  for (size_t i = 0; i < s.truth.size(); ++i) {
    for (size_t j = 0; j < 4; ++j) EXPECT_NEAR(out.values[i][j] / s.truth[i][j], 1.0, 1e-6) << i << " " << j;
    EXPECT_LT(out.chi_square[i], 1e-16);
  }
  EXPECT_EQ(out.free_count, 6u * 2 + 3);
  EXPECT_GT(out.impedance_evals, 0u);
}

TEST(SeriesFit, ErrorsOfNoisyDataAreFiniteAndCoverTheTruth) {
  const Series s = temperature_series(8, 0.003);
  const auto p = problem_of(s);
  const SeriesOutcome out = series_fit(p->problem, {}).value();
  ASSERT_TRUE(out.success);
  const double energy_error = std::sqrt(out.global_covariance[2 * 3 + 2]);
  EXPECT_GT(energy_error, 0.0);
  EXPECT_LT(std::fabs(out.globals[2] - 0.4), 5.0 * energy_error);
  for (size_t i = 0; i < s.truth.size(); ++i) {
    for (size_t j = 0; j < 4; ++j) {
      const double error = out.standard_errors[i][j];
      ASSERT_TRUE(std::isfinite(error) && error > 0.0) << i << " " << j;
      EXPECT_LT(std::fabs(out.values[i][j] - s.truth[i][j]), 6.0 * error) << i << " " << j;
    }
  }
}

TEST(SeriesFit, SmoothingPullsNeighboursTogetherAndFillsHeldOutSpectra) {
  const Series s = temperature_series(7, 0.01);
  const auto spread_of = [&](double smoothing, const std::vector<bool>& used) {
    auto p = problem_of(s, smoothing);
    p->problem.data_used = used;
    const SeriesOutcome out = series_fit(p->problem, {}).value();
    EXPECT_TRUE(out.success);
    double spread = 0.0;
    for (size_t i = 0; i + 1 < out.values.size(); ++i) {
      spread += std::fabs(std::log10(out.values[i + 1][2] / out.values[i][2]));
    }
    return std::pair{spread, out};
  };
  const auto [free_spread, free_fit] = spread_of(0.0, {});
  const auto [stiff_spread, stiff_fit] = spread_of(1e4, {});
  EXPECT_LT(stiff_spread, 0.05 * free_spread);
  EXPECT_GT(stiff_fit.penalty, 0.0);
  // Spectrum 3's data left out: its values come from its neighbours alone.
  std::vector<bool> used(7, true);
  used[3] = false;
  const auto [held_spread, held_fit] = spread_of(1.0, used);
  EXPECT_EQ(held_fit.chi_square[3], 0.0);
  for (size_t j : {2, 3}) {
    const double value = held_fit.values[3][j];
    EXPECT_GE(value, std::min(held_fit.values[2][j], held_fit.values[4][j]) - 1e-12) << j;
    EXPECT_LE(value, std::max(held_fit.values[2][j], held_fit.values[4][j]) + 1e-12) << j;
  }
}

TEST(SeriesFit, PolynomialLawAndGroupsReportInTheirOwnTerms) {
  // R1 linear in a covariate z, R0 shared per group of three spectra.
  std::vector<double> z = {0, 1, 2, 3, 4, 5};
  SeriesList tree = parse(kCircuit).value();
  std::vector<SyntheticSpectrum> spectra;
  SeriesProblem problem;
  problem.circuit = &tree;
  for (size_t i = 0; i < z.size(); ++i) {
    const std::vector<double> truth = {i < 3 ? 0.1 : 0.2, 3.0 + 2.0 * z[i], 1e-3, 0.9};
    spectra.push_back(synthetic_spectrum(kCircuit, truth, 30, -2.0, 5.0));
    problem.starts.push_back({0.15, 4.0 + 2.0 * z[i], 1.2e-3, 0.85});
  }
  for (size_t i = 0; i < z.size(); ++i) problem.spectra.push_back({spectra[i].frequencies_hz, spectra[i].impedances});
  const auto physical = param_bounds(tree);
  problem.parameters = {{Role::Shared, {0, 0, 0, 1, 1, 1}, {}, 0.0, physical[0]},
                        {Role::Law, {}, {SeriesLaw::Kind::Polynomial, z, 1}, 0.0, physical[1]},
                        {Role::PerSpectrum, {}, {}, 0.0, physical[2]},
                        {Role::Fixed, {}, {}, 0.0, physical[3]}};
  for (auto& start : problem.starts) start[3] = 0.9;
  const SeriesOutcome out = series_fit(problem, {}).value();
  ASSERT_TRUE(out.success);
  ASSERT_EQ(out.globals.size(), 4u);
  EXPECT_NEAR(out.globals[0], 0.1, 1e-8);
  EXPECT_NEAR(out.globals[1], 0.2, 1e-8);
  EXPECT_NEAR(out.globals[2], 3.0, 1e-7);
  EXPECT_NEAR(out.globals[3], 2.0, 1e-7);
  EXPECT_TRUE(std::isnan(out.standard_errors[0][3]));  // fixed
}

TEST(SeriesFit, InconsistentProblemsAreErrorValues) {
  const Series s = temperature_series(3);
  const std::vector<std::pair<const char*, std::function<void(SeriesProblem&)>>> cases = {
      {"one start per spectrum", [](SeriesProblem& p) { p.starts.pop_back(); }},
      {"covariate is constant", [](SeriesProblem& p) { p.parameters[1].law.covariate = {300, 300, 300}; }},
      {"kelvin", [](SeriesProblem& p) { p.parameters[1].law.covariate[0] = -1.0; }},
      {"groups need one entry", [](SeriesProblem& p) { p.parameters[0].group = {0, 1}; }},
      {"smoothing must be", [](SeriesProblem& p) { p.parameters[2].smoothing = -1.0; }},
      {"describes 3 parameters", [](SeriesProblem& p) { p.parameters.pop_back(); }},
      {"spectrum 1: ", [](SeriesProblem& p) { p.spectra[1].impedances = p.spectra[1].impedances.first(3); }},
  };
  for (const auto& [text, spoil] : cases) {
    auto p = problem_of(s);
    spoil(p->problem);
    const auto result = series_fit(p->problem, {});
    ASSERT_FALSE(result.ok()) << text;
    EXPECT_NE(result.error().message().find(text), std::string::npos) << result.error().message();
  }
  auto p = problem_of(s);
  SeriesSettings settings;
  settings.should_stop = [] { return true; };
  EXPECT_EQ(series_fit(p->problem, settings).error().kind, FitError::Kind::Interrupted);
}

TEST(SeriesFit, ASpectrumStartedWithItsArcsSwappedEndsWithTheRestOfTheSeries) {
  // Two arcs: R1 Arrhenius (0.4 eV), R2 per spectrum. Spectrum 3 starts with
  // the arcs exchanged, an exact minimum of its own fit; the law pins R1, and
  // the per-spectrum refits bring R2 and the capacitors back.
  const char* const two_arcs = "R0-(R1,C1)-(R2,C2)";
  std::vector<double> kelvin;
  std::vector<std::vector<double>> truth;
  std::vector<SyntheticSpectrum> spectra;
  for (size_t i = 0; i < 6; ++i) {
    kelvin.push_back(273.15 + 10.0 * static_cast<double>(i));
    truth.push_back({0.05, arrhenius(2e-8, 0.4, kelvin.back()), 1e-5, 0.3 + 0.02 * i, 1e-1});
    spectra.push_back(synthetic_spectrum(two_arcs, truth.back(), 40, -2.0, 5.0));
  }
  const SeriesList tree = parse(two_arcs).value();
  SeriesProblem problem;
  problem.circuit = &tree;
  const auto physical = param_bounds(tree);
  for (size_t j = 0; j < 5; ++j) {
    SeriesParameter parameter{j == 0 ? Role::Shared : (j == 1 ? Role::Law : Role::PerSpectrum), {}, {}, 0.0,
                              physical[j]};
    if (j == 1) parameter.law = {SeriesLaw::Kind::Arrhenius, kelvin, 1};
    problem.parameters.push_back(parameter);
  }
  for (size_t i = 0; i < spectra.size(); ++i) {
    problem.spectra.push_back({spectra[i].frequencies_hz, spectra[i].impedances});
    const auto& t = truth[i];
    problem.starts.push_back(i == 3 ? std::vector<double>{t[0], t[3], t[4], t[1], t[2]} : t);
  }
  const SeriesOutcome out = series_fit(problem, {}).value();
  ASSERT_TRUE(out.success);
  for (size_t j = 0; j < 5; ++j) EXPECT_NEAR(out.values[3][j] / truth[3][j], 1.0, 1e-6) << j;
  EXPECT_NEAR(out.globals[2], 0.4, 1e-8);
}

TEST(IndependentFits, WarmStartAlongTheSeriesAndFallBackOnlyWhenNeeded) {
  const Series s = temperature_series(4, 0.001);
  const SeriesList tree = parse(kCircuit).value();
  std::vector<SeriesSpectrum> spectra;
  for (const auto& spectrum : s.spectra) spectra.push_back({spectrum.frequencies_hz, spectrum.impedances});
  size_t fallbacks = 0;
  const FallbackStart fallback = [&](size_t i, std::string&) -> std::optional<std::vector<double>> {
    ++fallbacks;
    return std::vector<double>{0.1, s.truth[i][1] * 2.0, 2e-3, 0.8};
  };
  const auto fits = independent_fits(tree, spectra, Weighting::Modulus, {}, {}, fallback, 1e-3, 200, {}).value();
  ASSERT_EQ(fits.size(), 4u);
  EXPECT_EQ(fallbacks, 1u);
  EXPECT_FALSE(fits[0].warm);
  for (size_t i = 0; i < fits.size(); ++i) {
    EXPECT_TRUE(fits[i].success);
    EXPECT_EQ(fits[i].warm, i > 0);
    EXPECT_NEAR(fits[i].values[1] / s.truth[i][1], 1.0, 0.05);
  }
  // A held parameter keeps its start exactly in every spectrum.
  const auto held = independent_fits(tree, spectra, Weighting::Modulus, {false, false, false, true},
                                     param_bounds(tree), fallback, 1e-3, 200, {})
                        .value();
  for (const IndependentFit& fit : held) {
    EXPECT_EQ(fit.values[3], 0.8);
    EXPECT_TRUE(std::isnan(fit.standard_errors[3]));
  }
  // A fit poorer than poor_fit never warm-starts the next: every spectrum then
  // begins at the fallback.
  fallbacks = 0;
  const auto poor = independent_fits(tree, spectra, Weighting::Modulus, {}, {}, fallback, 1e-12, 200, {}).value();
  EXPECT_EQ(fallbacks, 4u);
  for (const IndependentFit& fit : poor) EXPECT_FALSE(fit.warm);
  const FallbackStart refuse = [](size_t, std::string& message) -> std::optional<std::vector<double>> {
    message = "no guess here";
    return std::nullopt;
  };
  const auto refused = independent_fits(tree, spectra, Weighting::Modulus, {}, {}, refuse, 1e-3, 200, {});
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().message().find("spectrum 0: no guess here"), std::string::npos);
}

}  // namespace
}  // namespace kovrant
