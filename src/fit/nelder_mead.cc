#include "fit/nelder_mead.h"

#include <algorithm>
#include <cmath>

namespace kovrant {
namespace {

struct Simplex {
  std::vector<std::vector<double>> vertices;
  std::vector<double> costs;
  std::vector<size_t> order;  // vertex indices, best first

  // Stable insertion sort: simplices are small and this allocates nothing.
  void sort() {
    for (size_t i = 1; i < order.size(); ++i) {
      const size_t moving = order[i];
      size_t j = i;
      for (; j > 0 && ranks_below(costs[moving], costs[order[j - 1]]); --j) order[j] = order[j - 1];
      order[j] = moving;
    }
  }

  double cost_standard_deviation() const {
    const double count = static_cast<double>(costs.size());
    double mean = 0.0;
    for (double c : costs) mean += c;
    mean /= count;
    double sum_squares = 0.0;
    for (double c : costs) sum_squares += (c - mean) * (c - mean);
    return std::sqrt(sum_squares / count);
  }
};

// out = base + factor * (toward - base)
void move_along(std::span<const double> base, std::span<const double> toward, double factor, std::span<double> out) {
  for (size_t j = 0; j < out.size(); ++j) out[j] = base[j] + factor * (toward[j] - base[j]);
}

}  // namespace

std::vector<std::vector<double>> initial_simplex(std::span<const double> x0) {
  std::vector<std::vector<double>> simplex(x0.size() + 1, std::vector<double>(x0.begin(), x0.end()));
  for (size_t k = 0; k < x0.size(); ++k) {
    const double magnitude = std::fabs(x0[k]);
    simplex[k + 1][k] += magnitude > 1e-8 ? 0.1 * magnitude : 0.1;
  }
  return simplex;
}

SearchResult<double> nelder_mead_minimize(const Objective& objective, std::vector<std::vector<double>> vertices,
                                          const NelderMeadSettings& settings, StopCheck& stop) {
  Simplex simplex;
  simplex.vertices = std::move(vertices);
  const size_t vertex_count = simplex.vertices.size();
  const size_t dimension = vertex_count - 1;
  simplex.costs.resize(vertex_count);
  simplex.order.resize(vertex_count);
  for (size_t v = 0; v < vertex_count; ++v) {
    simplex.costs[v] = objective(simplex.vertices[v]);
    simplex.order[v] = v;
  }

  std::vector<double> centroid(dimension), reflected(dimension), trial(dimension);
  SearchResult<double> result;
  while (true) {
    simplex.sort();
    if (simplex.cost_standard_deviation() < settings.cost_sd_tolerance) break;
    if (result.iterations >= settings.max_iterations) break;
    if (stop.should_stop()) {
      result.interrupted = true;
      break;
    }
    ++result.iterations;

    const size_t best = simplex.order.front();
    const size_t worst = simplex.order.back();
    const size_t second_worst = simplex.order[vertex_count - 2];
    std::fill(centroid.begin(), centroid.end(), 0.0);
    for (size_t v : simplex.order) {
      if (v == worst) continue;
      for (size_t j = 0; j < dimension; ++j) centroid[j] += simplex.vertices[v][j];
    }
    for (double& c : centroid) c /= static_cast<double>(dimension);

    auto replace_worst = [&](const std::vector<double>& point, double cost) {
      simplex.vertices[worst] = point;
      simplex.costs[worst] = cost;
    };

    move_along(centroid, simplex.vertices[worst], -settings.reflection, reflected);
    const double reflected_cost = objective(reflected);
    if (ranks_below(reflected_cost, simplex.costs[best])) {
      move_along(centroid, reflected, settings.expansion, trial);
      const double expanded_cost = objective(trial);
      if (ranks_below(expanded_cost, reflected_cost)) {
        replace_worst(trial, expanded_cost);
      } else {
        replace_worst(reflected, reflected_cost);
      }
      continue;
    }
    if (ranks_below(reflected_cost, simplex.costs[second_worst])) {
      replace_worst(reflected, reflected_cost);
      continue;
    }
    const bool outside = ranks_below(reflected_cost, simplex.costs[worst]);
    move_along(centroid, outside ? reflected : simplex.vertices[worst], settings.contraction, trial);
    const double contracted_cost = objective(trial);
    // Outside, the contraction must be no worse than the reflection; inside,
    // strictly better than the worst vertex.
    const bool contraction_accepted =
        outside ? !ranks_below(reflected_cost, contracted_cost) : ranks_below(contracted_cost, simplex.costs[worst]);
    if (contraction_accepted) {
      replace_worst(trial, contracted_cost);
      continue;
    }
    for (size_t v = 0; v < vertex_count; ++v) {
      if (v == best) continue;
      move_along(simplex.vertices[best], simplex.vertices[v], settings.shrink, simplex.vertices[v]);
      simplex.costs[v] = objective(simplex.vertices[v]);
    }
  }

  const size_t best = simplex.order.front();
  result.found = true;
  result.best_point = simplex.vertices[best];
  result.best_cost = simplex.costs[best];
  return result;
}

}  // namespace kovrant
