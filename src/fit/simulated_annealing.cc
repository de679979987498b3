#include "fit/simulated_annealing.h"

#include <cmath>

#include "util/portable_math.h"

namespace kovrant {

SearchResult<double> simulated_annealing_minimize(const Objective& objective, const NeighbourMove& neighbour,
                                                  std::span<const double> x0, double initial_temperature,
                                                  std::uint64_t iterations, Rng& acceptance_rng, StopCheck& stop) {
  std::vector<double> current(x0.begin(), x0.end());
  std::vector<double> candidate(x0.size());
  double current_cost = objective(current);

  SearchResult<double> result;
  result.found = true;
  result.best_point = current;
  result.best_cost = current_cost;

  double temperature = initial_temperature;
  for (std::uint64_t k = 1; k <= iterations; ++k) {
    if (stop.should_stop()) {
      result.interrupted = true;
      break;
    }
    neighbour(current, temperature, candidate);
    const double candidate_cost = objective(candidate);
    bool accepted = ranks_below(candidate_cost, current_cost);
    if (!accepted) {
      const double probability = 1.0 / (1.0 + portable_exp((candidate_cost - current_cost) / temperature));
      accepted = uniform_unit(acceptance_rng) < probability;
    }
    if (accepted) {
      current.swap(candidate);
      current_cost = candidate_cost;
      if (ranks_below(current_cost, result.best_cost)) {
        result.best_point = current;
        result.best_cost = current_cost;
      }
    }
    result.iterations = k;
    temperature = initial_temperature / static_cast<double>(k + 1);
  }
  return result;
}

}  // namespace kovrant
