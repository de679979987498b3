#include "fit/simulated_annealing.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kovrant {
namespace {

double bowl(std::span<const double> x) { return (x[0] - 1.0) * (x[0] - 1.0) + (x[1] + 2.0) * (x[1] + 2.0); }

NeighbourMove uniform_move(Rng& rng) {
  return [&rng](std::span<const double> from, double temperature, std::span<double> to) {
    for (size_t j = 0; j < from.size(); ++j) to[j] = from[j] + uniform_between(rng, -temperature, temperature);
  };
}

// The cost is NaN right of x = 3, where the run starts: it must leave, and no
// NaN point may become the best.
TEST(SimulatedAnnealing, ApproachesTheMinimumPastNanCosts) {
  const Objective objective = [](std::span<const double> x) { return x[0] > 3.0 ? std::nan("") : bowl(x); };
  Rng moves = make_rng(5, 1), acceptance = make_rng(5, 2);
  StopCheck stop;
  const std::vector<double> x0 = {3.3, -1.0};
  const auto result = simulated_annealing_minimize(objective, uniform_move(moves), x0, 2.0, 5000, acceptance, stop);
  EXPECT_EQ(result.iterations, 5000u);
  EXPECT_LT(result.best_cost, 1e-3);
  EXPECT_EQ(result.best_cost, bowl(result.best_point));
}

TEST(SimulatedAnnealing, TemperatureFollowsTheFastSchedule) {
  std::vector<double> temperatures;
  const NeighbourMove record = [&](std::span<const double> from, double temperature, std::span<double> to) {
    temperatures.push_back(temperature);
    std::copy(from.begin(), from.end(), to.begin());
  };
  Rng acceptance = make_rng(1, 0);
  StopCheck stop;
  const std::vector<double> x0 = {0.0};
  simulated_annealing_minimize([](std::span<const double>) { return 0.0; }, record, x0, 2.0, 4, acceptance, stop);
  EXPECT_EQ(temperatures, (std::vector<double>{2.0, 1.0, 2.0 / 3.0, 0.5}));
}

}  // namespace
}  // namespace kovrant
