#include "fit/particle_swarm.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kovrant {
namespace {

double bowl(std::span<const double> x) { return (x[0] - 1.0) * (x[0] - 1.0) + (x[1] + 2.0) * (x[1] + 2.0); }

SearchResult<double> run_swarm(const Objective& objective, std::uint64_t particles, std::uint64_t generations,
                               std::uint64_t seed) {
  Rng rng = make_rng(seed, 0);
  StopCheck stop;
  ParticleSwarmSettings settings;
  settings.particles = particles;
  settings.generations = generations;
  return particle_swarm_minimize(objective, SearchBox<double>{{-5.0, -5.0}, {5.0, 5.0}}, settings, rng, stop);
}

// NaN costs left of x = 0 lose to numbers.
TEST(ParticleSwarm, FindsTheMinimumWithinTheBox) {
  const Objective objective = [](std::span<const double> x) { return x[0] < 0.0 ? std::nan("") : bowl(x); };
  const auto result = run_swarm(objective, 30, 200, 11);
  ASSERT_TRUE(result.found);
  EXPECT_EQ(result.iterations, 200u);
  EXPECT_NEAR(result.best_point[0], 1.0, 1e-6);
  EXPECT_NEAR(result.best_point[1], -2.0, 1e-6);
  // The unconstrained minimum (8, 8) lies outside; the best is the corner.
  const Objective outside = [](std::span<const double> x) {
    return (x[0] - 8.0) * (x[0] - 8.0) + (x[1] - 8.0) * (x[1] - 8.0);
  };
  EXPECT_EQ(run_swarm(outside, 20, 100, 12).best_point, (std::vector<double>{5.0, 5.0}));
}

TEST(ParticleSwarm, SameSeedGivesSameResultAndOtherSeedsDiffer) {
  const auto first = run_swarm(bowl, 10, 5, 21), second = run_swarm(bowl, 10, 5, 21),
             other = run_swarm(bowl, 10, 5, 22);
  EXPECT_EQ(first.best_point, second.best_point);
  EXPECT_NE(first.best_point, other.best_point);
}

struct BoxCase {
  Bounds bounds;
  double value;
  double lower;
  double upper;
};

class PsoSearchBoxCase : public ::testing::TestWithParam<BoxCase> {};

TEST_P(PsoSearchBoxCase, MatchesExpectedInterval) {
  const BoxCase& c = GetParam();
  const std::vector<Bounds> bounds = {c.bounds};
  const std::vector<double> values = {c.value};
  const SearchBox<double> box = pso_search_box(bounds, values);
  ASSERT_EQ(box.lower.size(), 1u);
  EXPECT_DOUBLE_EQ(box.lower[0], c.lower);
  EXPECT_DOUBLE_EQ(box.upper[0], c.upper);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PsoSearchBoxCase,
    ::testing::Values(BoxCase{{0.0, INFINITY}, 100.0, -2.0, 6.0},                      // four decades either side
                      BoxCase{{0.0, INFINITY}, 0.0, -10.0, -2.0},                      // start 0 uses 1e-6
                      BoxCase{{0.0, INFINITY}, -100.0, -2.0, 6.0},                     // magnitude of the start
                      BoxCase{{0.0, 1.0}, 0.3, 0.0, 1.0},                              // finite bounds are the box
                      BoxCase{{0.0, 1.0}, 7.0, 0.0, 1.0},                              // whatever the start
                      BoxCase{{1e-3, INFINITY}, 1.0, -300.0, std::log10(1e4 - 1e-3)},  // lo above m 1e-4
                      BoxCase{{1e5, INFINITY}, 1.0, -300.0, -300.0},                   // lo above m 1e4: degenerate
                      BoxCase{{0.0, NAN}, 100.0, -2.0, 6.0},            // NaN upper bound counts as infinite
                      BoxCase{{0.0, INFINITY}, NAN, -300.0, -300.0}));  // NaN start

TEST(PsoSearchBox, UsesTheShorterOfBoundsAndValues) {
  const std::vector<Bounds> bounds = {{0.0, 1.0}, {0.0, 1.0}};
  EXPECT_EQ(pso_search_box(bounds, std::vector<double>{0.5}).lower.size(), 1u);
}

}  // namespace
}  // namespace kovrant
