#include "fit/levenberg_marquardt.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <numeric>
#include <optional>

#include "fit/fit_inputs.h"
#include "fit/objective.h"

namespace kovrant {
namespace {

constexpr double kGrowthFactors[] = {3.0, 0.3333333333333333, 8.0, 0.125};
constexpr double kRangeFractions[] = {0.2, 0.4, 0.6, 0.8};

std::optional<FitError> check_tolerances(const LmSettings& settings) {
  // NaN fails ">= 0" as well: it would silently disable a convergence test.
  if (!(settings.ftol >= 0.0)) return FitError::invalid_argument("ftol must be >= 0");
  if (!(settings.xtol >= 0.0)) return FitError::invalid_argument("xtol must be >= 0");
  if (!(settings.gtol >= 0.0)) return FitError::invalid_argument("gtol must be >= 0");
  return std::nullopt;
}

int max_residual_evaluations(std::uint32_t max_iterations, size_t param_count) {
  const std::uint64_t patience = std::max<std::uint32_t>(max_iterations, 1);
  const std::uint64_t limit = patience * (static_cast<std::uint64_t>(param_count) + 1);
  return static_cast<int>(std::min<std::uint64_t>(limit, INT_MAX));
}

struct WalkResult {
  std::vector<double> params;
  bool converged = false;
  double cost = 0.0;
};

// Whether `candidate` should replace `best` during the walk. A NaN cost ranks
// after every number, so a NaN first result cannot block a finite one.
bool improves_on(const WalkResult& candidate, const WalkResult* best) {
  if (best == nullptr) return true;
  if (candidate.converged && !best->converged) return true;
  return ranks_below(candidate.cost, best->cost) && candidate.converged == best->converged;
}

// Everything the solves of one fit share.
struct LmFitContext {
  SpectrumModel model;
  LmderSolver solver;

  LmFitContext(const SeriesList& series, const FitInputs& inputs, std::span<const Complex> impedances)
      : model(series, inputs.omegas, impedances, inputs.weights, make_eval_counter()),
        solver(model.residual_count(), model.param_count()) {}

  double cost(std::span<const double> params) { return model.cost(params); }
};

}  // namespace

LmProblem::LmProblem(SpectrumModel& model, std::span<const Bounds> bounds, const std::vector<bool>& fixed,
                     StopCheck& stop)
    : model_(model), bounds_(bounds), fixed_(fixed), stop_(stop), physical_(model.param_count()) {}

std::span<const double> LmProblem::to_physical(std::span<const double> x) {
  for (size_t j = 0; j < physical_.size(); ++j) physical_[j] = physical_value(x[j], bounds_[j]);
  return physical_;
}

bool LmProblem::fail(Failure failure) {
  failure_ = failure;
  return false;
}

bool LmProblem::residuals(std::span<const double> x, std::span<double> out) {
  if (stop_.should_stop()) return fail(Failure::Stopped);
  model_.residuals(to_physical(x), out);
  if (first_evaluation_) {
    first_evaluation_ = false;
    for (double r : out) {
      if (!std::isfinite(r)) return fail(Failure::NonFinite);
    }
  }
  return true;
}

bool LmProblem::jacobian(std::span<const double> x, std::span<double> out) {
  if (stop_.should_stop()) return fail(Failure::Stopped);
  const std::span<const double> p = to_physical(x);
  model_.jacobian(p, out);
  const size_t rows = model_.residual_count();
  for (size_t j = 0; j < p.size(); ++j) {
    double* column = out.data() + j * rows;
    if (fixed_[j]) {
      std::fill_n(column, rows, 0.0);
      continue;
    }
    const double derivative = physical_derivative(p[j], bounds_[j]);
    for (size_t k = 0; k < rows; ++k) {
      column[k] *= derivative;
      if (!std::isfinite(column[k])) return fail(Failure::NonFinite);
    }
  }
  return true;
}

Result<LmSolve, FitError> levenberg_marquardt_single_start(SpectrumModel& model, LmderSolver& solver,
                                                           std::span<const Bounds> bounds, std::span<const double> x0,
                                                           const std::vector<bool>& fixed, const LmSettings& settings,
                                                           StopCheck& stop) {
  if (auto error = check_tolerances(settings)) return *error;
  LmProblem problem(model, bounds, fixed, stop);
  const LeastSquaresFunctions functions{
      [&problem](std::span<const double> x, std::span<double> r) { return problem.residuals(x, r); },
      [&problem](std::span<const double> x, std::span<double> j) { return problem.jacobian(x, j); }};
  std::vector<double> x(x0.begin(), x0.end());
  const LmderSettings lmder_settings{settings.ftol, settings.xtol, settings.gtol, 100.0,
                                     max_residual_evaluations(settings.max_iterations, model.param_count())};
  const LmderReport report = solver.minimize(functions, x, lmder_settings);
  if (problem.failure() == LmProblem::Failure::Stopped) return FitError::interrupted();

  LmSolve solve;
  solve.params = physical(x, bounds);
  solve.converged = is_converged(report.termination);
  solve.evaluations = static_cast<std::uint64_t>(report.residual_evaluations);
  return solve;
}

std::vector<std::vector<double>> lm_start_candidates(std::span<const double> start_values,
                                                     std::span<const Bounds> bounds) {
  std::vector<std::vector<double>> candidates;
  candidates.emplace_back(start_values.begin(), start_values.end());
  for (double factor : kGrowthFactors) {
    std::vector<double> candidate(start_values.begin(), start_values.end());
    for (size_t j = 0; j < candidate.size(); ++j) {
      if (!std::isfinite(bounds[j].hi)) candidate[j] *= factor;
    }
    candidates.push_back(std::move(candidate));
  }
  for (double fraction : kRangeFractions) {
    std::vector<double> candidate(start_values.begin(), start_values.end());
    for (size_t j = 0; j < candidate.size(); ++j) {
      if (std::isfinite(bounds[j].hi)) candidate[j] = bounds[j].lo + fraction * (bounds[j].hi - bounds[j].lo);
    }
    candidates.push_back(std::move(candidate));
  }
  return candidates;
}

bool total_order_less(double a, double b) {
  // Flipping the magnitude bits of negative numbers makes the two's-complement
  // order of the bit patterns the totalOrder of the values.
  auto key = [](double v) {
    const auto bits = std::bit_cast<std::int64_t>(v);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
  };
  return key(a) < key(b);
}

bool is_plausible(std::span<const double> values, std::span<const double> start_values,
                  std::span<const Bounds> bounds) {
  const size_t count = std::min({values.size(), start_values.size(), bounds.size()});
  for (size_t j = 0; j < count; ++j) {
    const double v = values[j];
    const double lo = bounds[j].lo;
    const double hi = bounds[j].hi;
    if (std::isfinite(hi)) {
      // Not within a millionth of the range of either bound.
      const double margin = (hi - lo) * 1e-6;
      if (!(std::fabs(v - lo) > margin && std::fabs(hi - v) > margin)) return false;
      continue;
    }
    // Clear of the lower bound and within six decades of the start value.
    const double ratio = v / std::fmax(std::fabs(start_values[j]), 1e-300);
    if (!(v > lo * 100.0 && std::isfinite(ratio) && ratio >= 1e-6 && ratio < 1e6)) return false;
  }
  return true;
}

Result<FitOutcome, FitError> levenberg_marquardt_fit(const SeriesList& series, std::span<const double> frequencies_hz,
                                                     std::span<const Complex> impedances, Weighting weighting,
                                                     const LmSettings& settings, StopCheck& stop) {
  auto prepared = prepare_fit(series, frequencies_hz, impedances, weighting);
  if (!prepared) return prepared.error();
  const FitInputs& inputs = prepared.value();
  const std::span<const Bounds> bounds = inputs.bounds;
  const size_t p = bounds.size();
  LmFitContext context(series, inputs, impedances);

  const std::vector<std::vector<double>> candidates = lm_start_candidates(inputs.start_values, bounds);
  std::vector<double> candidate_costs;
  for (const auto& candidate : candidates) candidate_costs.push_back(context.cost(candidate));
  std::vector<size_t> order(candidates.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return total_order_less(candidate_costs[a], candidate_costs[b]); });

  const std::vector<bool> none_fixed(p, false);
  std::uint64_t evaluations = 0;
  std::optional<WalkResult> best;
  for (size_t index : order) {
    auto solve = levenberg_marquardt_single_start(context.model, context.solver, bounds,
                                                  internal(candidates[index], bounds), none_fixed, settings, stop);
    if (!solve) return solve.error();
    evaluations += solve.value().evaluations;
    WalkResult result{std::move(solve.value().params), solve.value().converged, 0.0};
    result.cost = context.cost(result.params);
    const bool ok = result.converged && std::isfinite(result.cost);
    const bool plausible = ok && is_plausible(result.params, inputs.start_values, bounds);
    if (improves_on(result, best ? &*best : nullptr)) best = std::move(result);
    if (plausible) break;
  }

  std::vector<double> final_params(p);
  std::vector<bool> at_bound(p, false);
  bool any_at_bound = false;
  for (size_t j = 0; j < p; ++j) {
    const double b = best->params[j];
    final_params[j] = clamp_into_bounds(b, bounds[j]);
    at_bound[j] = std::isfinite(bounds[j].hi) && (b <= bounds[j].lo || b >= bounds[j].hi);
    any_at_bound = any_at_bound || at_bound[j];
  }
  bool converged = best->converged;
  if (!any_at_bound) {
    final_params = best->params;
  } else {
    auto resolve = levenberg_marquardt_single_start(context.model, context.solver, bounds,
                                                    internal(final_params, bounds), at_bound, settings, stop);
    if (!resolve) return resolve.error();
    evaluations += resolve.value().evaluations;
    const double resolved_cost = context.cost(resolve.value().params);
    if (resolved_cost < best->cost && resolve.value().converged) {
      final_params = std::move(resolve.value().params);
      converged = true;
    }
  }
  return build_outcome(series, final_params, converged, evaluations, inputs.omegas, impedances, inputs.weights,
                       context.model.counter());
}

}  // namespace kovrant
