// The objective interface shared by the derivative-free solvers.
//
// Contract: an objective returns the cost of a point; lower is better. Costs
// may be NaN or infinite: every solver ranks them with ranks_below, under
// which NaN ranks after +infinity and never ends a search. A solver reports
// its best point, the best cost, its own iteration count and whether the stop
// callback ended it early.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace kovrant {

using Objective = std::function<double(std::span<const double> x)>;
using ObjectiveF32 = std::function<float(std::span<const float> x)>;

// Strict weak order on costs: the usual < with NaN after every number.
template <typename Real>
inline bool ranks_below(Real a, Real b) {
  return a < b || (std::isnan(b) && !std::isnan(a));
}

// A box in search coordinates, one interval [lower_j, upper_j] per coordinate.
template <typename Real>
struct SearchBox {
  std::vector<Real> lower;
  std::vector<Real> upper;
};

template <typename Real>
struct SearchResult {
  bool found = false;  // false only when the solver had no point at all
  std::vector<Real> best_point;
  Real best_cost = 0;
  std::uint64_t iterations = 0;
  bool interrupted = false;
};

}  // namespace kovrant
