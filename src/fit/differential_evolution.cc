#include "fit/differential_evolution.h"

#include <algorithm>

namespace kovrant {
namespace {

constexpr float kMinF = 0.1f;
constexpr float kFRange = 0.9f;  // F in [0.1, 1.0)
constexpr float kRedrawProbability = 0.1f;

struct Population {
  std::vector<float> positions;  // kDePopulation x dimension, row by row
  std::vector<float> costs;
  std::vector<float> f;
  std::vector<float> cr;
  size_t evaluated = 0;

  float* position(size_t i, size_t dimension) { return positions.data() + i * dimension; }
};

float clamp_into(float x, float lower, float upper) { return x < lower ? lower : (x > upper ? upper : x); }

// Three distinct indices, all different from `target`.
void pick_donors(Rng& rng, size_t target, size_t donors[3]) {
  for (int d = 0; d < 3; ++d) {
    size_t candidate;
    do {
      candidate = static_cast<size_t>(uniform_index(rng, kDePopulation));
    } while (candidate == target || std::find(donors, donors + d, candidate) != donors + d);
    donors[d] = candidate;
  }
}

}  // namespace

SearchResult<float> jde_minimize(const ObjectiveF32& objective, const SearchBox<float>& box,
                                 std::uint64_t evaluation_budget, Rng& rng, StopCheck& stop) {
  const size_t dimension = box.lower.size();
  const std::uint64_t budget = std::max<std::uint64_t>(evaluation_budget, 1);

  Population population;
  population.positions.resize(kDePopulation * dimension);
  population.costs.resize(kDePopulation);
  population.f.resize(kDePopulation);
  population.cr.resize(kDePopulation);
  for (size_t i = 0; i < kDePopulation; ++i) {
    float* x = population.position(i, dimension);
    for (size_t j = 0; j < dimension; ++j) {
      x[j] = box.lower[j] + (box.upper[j] - box.lower[j]) * uniform_unit_f32(rng);
    }
    population.f[i] = kMinF + kFRange * uniform_unit_f32(rng);
    population.cr[i] = uniform_unit_f32(rng);
  }

  SearchResult<float> result;
  std::vector<float> trial(dimension);
  for (std::uint64_t evaluation = 0; evaluation < budget; ++evaluation) {
    if (stop.should_stop()) {
      result.interrupted = true;
      break;
    }
    result.iterations = evaluation + 1;
    if (population.evaluated < kDePopulation) {
      const size_t i = population.evaluated++;
      population.costs[i] = objective(std::span<const float>(population.position(i, dimension), dimension));
      continue;
    }
    const size_t target = static_cast<size_t>(evaluation % kDePopulation);
    const float f =
        uniform_unit_f32(rng) < kRedrawProbability ? kMinF + kFRange * uniform_unit_f32(rng) : population.f[target];
    const float cr = uniform_unit_f32(rng) < kRedrawProbability ? uniform_unit_f32(rng) : population.cr[target];
    size_t donors[3];
    pick_donors(rng, target, donors);
    const size_t forced = static_cast<size_t>(uniform_index(rng, dimension));
    const float* base = population.position(donors[0], dimension);
    const float* plus = population.position(donors[1], dimension);
    const float* minus = population.position(donors[2], dimension);
    const float* parent = population.position(target, dimension);
    for (size_t j = 0; j < dimension; ++j) {
      const bool from_mutant = j == forced || uniform_unit_f32(rng) < cr;
      const float value = from_mutant ? base[j] + f * (plus[j] - minus[j]) : parent[j];
      trial[j] = clamp_into(value, box.lower[j], box.upper[j]);
    }
    const float trial_cost = objective(trial);
    if (ranks_below(trial_cost, population.costs[target])) {
      std::copy(trial.begin(), trial.end(), population.position(target, dimension));
      population.costs[target] = trial_cost;
      population.f[target] = f;
      population.cr[target] = cr;
    }
  }

  if (population.evaluated == 0) return result;
  size_t best = 0;
  for (size_t i = 1; i < population.evaluated; ++i) {
    if (ranks_below(population.costs[i], population.costs[best])) best = i;
  }
  const float* best_position = population.position(best, dimension);
  result.found = true;
  result.best_point.assign(best_position, best_position + dimension);
  result.best_cost = population.costs[best];
  return result;
}

}  // namespace kovrant
