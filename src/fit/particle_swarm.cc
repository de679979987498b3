#include "fit/particle_swarm.h"

#include <algorithm>
#include <cmath>

#include "util/portable_math.h"

namespace kovrant {
namespace {

struct Particle {
  std::vector<double> position;
  std::vector<double> velocity;
  std::vector<double> best_position;
  double best_cost;
};

double clamp_into(double x, double lower, double upper) { return x < lower ? lower : (x > upper ? upper : x); }

// Index of the particle whose personal best ranks lowest (the first on ties).
size_t best_particle(const std::vector<Particle>& swarm) {
  size_t best = 0;
  for (size_t i = 1; i < swarm.size(); ++i) {
    if (ranks_below(swarm[i].best_cost, swarm[best].best_cost)) best = i;
  }
  return best;
}

}  // namespace

SearchResult<double> particle_swarm_minimize(const Objective& objective, const SearchBox<double>& box,
                                             const ParticleSwarmSettings& settings, Rng& rng, StopCheck& stop) {
  SearchResult<double> result;
  if (settings.particles == 0) return result;
  const size_t dimension = box.lower.size();

  std::vector<Particle> swarm(settings.particles);
  for (Particle& particle : swarm) {
    particle.position.resize(dimension);
    particle.velocity.resize(dimension);
    for (size_t j = 0; j < dimension; ++j) {
      const double width = box.upper[j] - box.lower[j];
      particle.position[j] = uniform_between(rng, box.lower[j], box.upper[j]);
      particle.velocity[j] = uniform_between(rng, -width, width);
    }
    particle.best_position = particle.position;
    particle.best_cost = objective(particle.position);
    if (stop.should_stop()) {
      result.interrupted = true;
      return result;
    }
  }
  std::vector<double> swarm_best = swarm[best_particle(swarm)].best_position;

  for (std::uint64_t generation = 1; generation <= settings.generations; ++generation) {
    for (Particle& particle : swarm) {
      // Checked per particle: one generation of a large swarm can take long.
      if (stop.should_stop()) {
        result.interrupted = true;
        return result;
      }
      for (size_t j = 0; j < dimension; ++j) {
        const double r_cognitive = uniform_unit(rng);
        const double r_social = uniform_unit(rng);
        const double x = particle.position[j];
        double& v = particle.velocity[j];
        v = settings.inertia * v + settings.cognitive * r_cognitive * (particle.best_position[j] - x) +
            settings.social * r_social * (swarm_best[j] - x);
        particle.position[j] = clamp_into(x + v, box.lower[j], box.upper[j]);
      }
      const double cost = objective(particle.position);
      if (ranks_below(cost, particle.best_cost)) {
        particle.best_position = particle.position;
        particle.best_cost = cost;
      }
    }
    swarm_best = swarm[best_particle(swarm)].best_position;
    result.iterations = generation;
  }

  const Particle& best = swarm[best_particle(swarm)];
  result.found = true;
  result.best_point = best.best_position;
  result.best_cost = best.best_cost;
  return result;
}

SearchBox<double> pso_search_box(std::span<const Bounds> bounds, std::span<const double> values) {
  const size_t count = std::min(bounds.size(), values.size());
  SearchBox<double> box;
  box.lower.resize(count);
  box.upper.resize(count);
  for (size_t j = 0; j < count; ++j) {
    const double lo = bounds[j].lo;
    const double hi = bounds[j].hi;
    if (std::isfinite(hi)) {
      box.lower[j] = lo;
      box.upper[j] = hi;
      continue;
    }
    const double magnitude = std::fabs(values[j]);
    const double m = magnitude <= 1e-6 ? 1e-6 : magnitude;
    box.lower[j] = portable_log10(std::fmax(std::fmax(m * 1e-4, lo) - lo, 1e-300));
    box.upper[j] = portable_log10(std::fmax(m * 1e4 - lo, 1e-300));
  }
  return box;
}

}  // namespace kovrant
