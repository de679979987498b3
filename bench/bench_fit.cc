// Time per call of the default Levenberg-Marquardt fit (and, for scale, one
// residual evaluation and one Jacobian) on a 60-point randles spectrum.
//
// Run: build/<dir>/kovrant_bench_fit
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "circuit/evaluate.h"
#include "circuit/params.h"
#include "circuit/parser.h"
#include "fit/levenberg_marquardt.h"
#include "fit/random.h"
#include "fit/spectrum_model.h"

namespace {

using namespace kovrant;
using Clock = std::chrono::steady_clock;

// Median seconds per call over `rounds` rounds of `calls` calls.
template <typename Body>
double median_seconds(int rounds, int calls, Body&& body) {
  std::vector<double> per_call;
  for (int round = 0; round < rounds; ++round) {
    const auto start = Clock::now();
    for (int k = 0; k < calls; ++k) body();
    per_call.push_back(std::chrono::duration<double>(Clock::now() - start).count() / calls);
  }
  std::sort(per_call.begin(), per_call.end());
  return per_call[per_call.size() / 2];
}

}  // namespace

int main() {
  const SeriesList truth = rebuild(parse("R0-(R1-W1,CPE1)").value(), std::vector<double>{10.0, 50.0, 30.0, 1e-5, 0.85});
  std::vector<double> frequencies;
  std::vector<Complex> impedances;
  Rng rng = make_rng(1, 0);
  for (int i = 0; i < 60; ++i) {
    const double f = std::pow(10.0, -2.0 + 7.0 * i / 59.0);
    Complex z = impedance(truth, f * kTwoPi);
    z.re *= 1.0 + uniform_between(rng, -0.01, 0.01);
    z.im *= 1.0 + uniform_between(rng, -0.01, 0.01);
    frequencies.push_back(f);
    impedances.push_back(z);
  }
  const SeriesList start = rebuild(truth, std::vector<double>{13.0, 35.0, 40.0, 1.5e-5, 0.75});

  StopCheck stop;
  const FitProblem problem = make_fit_problem(start, frequencies, impedances, Weighting::Modulus).value();
  const auto outcome = levenberg_marquardt_fit(problem, problem.start_values, LmSettings{}, stop);
  if (!outcome) {
    std::printf("fit failed: %s\n", outcome.error().message().c_str());
    return 1;
  }
  const double fit_seconds = median_seconds(15, 200, [&] {
    StopCheck no_stop;
    const FitProblem built = make_fit_problem(start, frequencies, impedances, Weighting::Modulus).value();
    auto r = levenberg_marquardt_fit(built, built.start_values, LmSettings{}, no_stop);
    if (!r) std::abort();
  });

  std::vector<double> omegas;
  for (double f : frequencies) omegas.push_back(f * kTwoPi);
  const auto weights = compute_weights(impedances, Weighting::Modulus);
  SpectrumModel model(truth, omegas, impedances, weights, make_eval_counter());
  const std::vector<double> params = param_values(start);
  std::vector<double> r(model.residual_count()), j(model.residual_count() * model.param_count());
  const double residual_seconds = median_seconds(15, 5000, [&] { model.residuals(params, r); });
  const double jacobian_seconds = median_seconds(15, 2000, [&] {
    model.residuals(params, r);
    model.jacobian(params, j);
  });

  std::printf("randles, 60 points, default LM fit: %.1f us per fit (%llu residual evaluations counted, cost %.3e)\n",
              fit_seconds * 1e6, static_cast<unsigned long long>(outcome.value().impedance_evals),
              outcome.value().cost);
  std::printf("one residual evaluation: %.2f us; residuals plus Jacobian: %.2f us\n", residual_seconds * 1e6,
              jacobian_seconds * 1e6);
  return 0;
}
