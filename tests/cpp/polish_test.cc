#include "fit/polish.h"

#include <gtest/gtest.h>

#include "fit/levenberg_marquardt.h"
#include "synthetic_spectrum.h"

namespace kovrant {
namespace {

// The polish of `best`, after a global method that spent `global_evaluations`.
// The problem starts from `best`, so the feasible start never beats it.
Result<FitOutcome, FitError> polish_from(const SyntheticSpectrum& s, const std::vector<double>& best,
                                         std::uint64_t iterations, std::uint64_t global_evaluations,
                                         std::span<const Complex> measured = {}) {
  const SeriesList tree = circuit_with("R0-(R1,C1)", best);
  FitProblem problem = problem_for(tree, s);
  if (!measured.empty()) problem.impedances = measured;
  const EvalCounter counter = make_eval_counter();
  counter->store(global_evaluations);
  StopCheck stop;
  return polish_or_fallback(problem, best, iterations, counter, stop);
}

TEST(Polish, ImprovedPointTakesThePolishedOutcome) {
  const auto s = synthetic_spectrum("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 20, -1.0, 5.0, 0.01, 2);
  const std::vector<double> rough = {8.0, 130.0, 2e-5};
  const auto run = polish_from(s, rough, 777, 1000);
  ASSERT_TRUE(run.ok());
  const FitOutcome& o = run.value();
  StopCheck stop;
  const SeriesList start = circuit_with("R0-(R1,C1)", rough);
  const FitProblem problem = problem_for(start, s);
  const auto direct = levenberg_marquardt_fit(problem, rough, LmSettings{}, stop);
  ASSERT_TRUE(direct.ok());
  EXPECT_EQ(o.values, direct.value().values);
  EXPECT_EQ(o.iterations, direct.value().iterations);
  EXPECT_EQ(o.success, direct.value().success);
  // Global evaluations, the fallback's 1 + 2P, the feasible start's cost, then
  // the polish's own.
  EXPECT_EQ(o.impedance_evals, 1000u + 7u + 1u + direct.value().impedance_evals);
}

TEST(Polish, UnimprovablePointKeepsTheFallbackWithSuccessAndGlobalIterations) {
  // Exact data at the exact point: cost 0, which the polish (starting from
  // the log10 round trip of the values) cannot beat.
  const std::vector<double> truth = {10.0, 100.0, 1e-5};
  const auto s = synthetic_spectrum("R0-(R1,C1)", truth, 20);
  const auto run = polish_from(s, truth, 321, 0);
  ASSERT_TRUE(run.ok());
  const FitOutcome& o = run.value();
  EXPECT_EQ(o.values, truth);
  EXPECT_EQ(o.cost, 0.0);
  EXPECT_TRUE(o.success);
  EXPECT_EQ(o.iterations, 321u);
  EXPECT_GT(o.impedance_evals, 7u);
}

// A NaN cost is no fit: the fallback is kept but reported as a failure.
TEST(Polish, NanPolishedCostFallsBackAsFailure) {
  const auto s = synthetic_spectrum("R0-(R1,C1)", {10.0, 100.0, 1e-5}, 20);
  std::vector<Complex> measured = s.impedances;
  measured[4].re = NAN;
  const auto run = polish_from(s, {8.0, 130.0, 2e-5}, 55, 0, measured);
  ASSERT_TRUE(run.ok());
  EXPECT_FALSE(run.value().success);
  EXPECT_TRUE(std::isnan(run.value().cost));
  EXPECT_EQ(run.value().iterations, 55u);
  EXPECT_EQ(run.value().values, (std::vector<double>{8.0, 130.0, 2e-5}));
}

}  // namespace
}  // namespace kovrant
