#include "fit/levenberg_marquardt.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>

#include "fit/objective.h"
#include "util/vector_clones.h"

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
  std::vector<double> values;  // feasible
  bool converged = false;      // the solver's own verdict
  bool clamped = false;        // values differ from the solve's result
  double cost = 0.0;
};

// Whether `candidate` should replace `best` during the walk. A NaN cost ranks
// after every number, so a NaN first result cannot block a finite one.
bool improves_on(const WalkResult& candidate, const WalkResult* best) {
  if (best == nullptr) return true;
  if (candidate.converged && !best->converged) return true;
  return ranks_below(candidate.cost, best->cost) && candidate.converged == best->converged;
}

// A solve's result judged at its feasible point.
WalkResult judge(LmContext& context, const LmSolve& solve) {
  WalkResult result;
  const FitProblem& problem = context.problem;
  result.values = problem.feasible(solve.params);
  result.converged = solve.converged;
  for (size_t j = 0; j < result.values.size(); ++j) {
    // Held parameters differ from the solve's only by the coordinate round trip.
    result.clamped = result.clamped || (!problem.fixed[j] && !(result.values[j] == solve.params[j]) &&
                                        !std::isnan(solve.params[j]));
  }
  result.cost = context.cost(result.values);
  return result;
}

// Free parameters whose feasible value sits on a bound that the search may
// push against: a finite upper bound, or a bound the caller narrowed.
std::vector<bool> touching_bounds(const FitProblem& problem, std::span<const double> values,
                                  const std::vector<bool>& held) {
  std::vector<bool> touching(values.size(), false);
  for (size_t j = 0; j < values.size(); ++j) {
    const Bounds& b = problem.bounds[j];
    const bool limited = std::isfinite(b.hi) || problem.narrowed(j);
    touching[j] = !held[j] && limited && (values[j] <= b.lo || values[j] >= b.hi);
  }
  return touching;
}

// Holds the parameters on bounds and solves again, round after round, while
// a kept re-solve puts further parameters on bounds.
Result<WalkResult, FitError> settle_on_bounds(LmContext& context, WalkResult best, const LmSettings& settings,
                                              std::uint64_t& evaluations, StopCheck& stop) {
  const FitProblem& problem = context.problem;
  std::vector<bool> held = problem.fixed;
  for (size_t round = 0; round < problem.param_count(); ++round) {
    const std::vector<bool> touching = touching_bounds(problem, best.values, held);
    if (std::find(touching.begin(), touching.end(), true) == touching.end()) break;
    for (size_t j = 0; j < held.size(); ++j) held[j] = held[j] || touching[j];
    auto resolve = levenberg_marquardt_single_start(context.model, context.solver, problem.transform_bounds,
                                                    internal(best.values, problem.transform_bounds), held, settings,
                                                    stop);
    if (!resolve) return resolve.error();
    evaluations += resolve.value().evaluations;
    WalkResult settled = judge(context, resolve.value());
    const bool kept = ranks_below(settled.cost, best.cost) ||
                      (settled.converged && !settled.clamped && settled.cost == best.cost);
    if (!kept) break;
    best = std::move(settled);
  }
  return best;
}

// column *= factor; whether every entry stayed finite. One pass with no early
// exit, so that it vectorises.
KOVRANT_VECTOR_CLONES
bool scale_column(double* column, size_t rows, double factor) {
  unsigned finite = 1;  // an integer reduction, which vectorises
  for (size_t k = 0; k < rows; ++k) {
    column[k] *= factor;
    finite &= std::fabs(column[k]) <= std::numeric_limits<double>::max() ? 1u : 0u;
  }
  return finite != 0;
}

// lmder's first trust radius is its step factor times the scaled norm of the
// start. A start whose every coordinate lies a hair off the origin (every
// value 1 above a lower bound of 1e-12 gives -4e-13) makes that radius
// vanishingly small, and the first tiny step then passes the convergence
// tests. lmder takes the factor itself as the radius at the origin exactly,
// so such a start is moved there; any other start is left untouched.
void snap_to_origin(std::span<double> x) {
  constexpr double kNearOrigin = 1e-6;
  const bool near = std::all_of(x.begin(), x.end(), [](double v) { return std::fabs(v) <= kNearOrigin; });
  if (near) std::fill(x.begin(), x.end(), 0.0);
}

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
    if (!scale_column(column, rows, physical_derivative(p[j], bounds_[j]))) return fail(Failure::NonFinite);
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
  snap_to_origin(x);
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

std::vector<std::vector<double>> lm_start_candidates(const FitProblem& problem, std::span<const double> start_values) {
  const std::span<const Bounds> physical_bounds = problem.transform_bounds;
  std::vector<double> base(start_values.begin(), start_values.end());
  for (size_t j = 0; j < base.size(); ++j) {
    if (problem.fixed[j]) base[j] = problem.start_values[j];
  }
  // A narrowed parameter's candidate stays inside its feasible bounds.
  auto inside = [&problem](std::vector<double> candidate) {
    for (size_t j = 0; j < candidate.size(); ++j) {
      if (problem.narrowed(j)) candidate[j] = clamp_into_bounds(candidate[j], problem.bounds[j]);
    }
    return candidate;
  };
  std::vector<std::vector<double>> candidates;
  candidates.push_back(base);
  for (double factor : kGrowthFactors) {
    std::vector<double> candidate = base;
    for (size_t j = 0; j < candidate.size(); ++j) {
      if (!problem.fixed[j] && !std::isfinite(physical_bounds[j].hi)) candidate[j] *= factor;
    }
    candidates.push_back(inside(std::move(candidate)));
  }
  for (double fraction : kRangeFractions) {
    std::vector<double> candidate = base;
    for (size_t j = 0; j < candidate.size(); ++j) {
      const Bounds& b = problem.bounds[j];
      if (!problem.fixed[j] && std::isfinite(physical_bounds[j].hi)) candidate[j] = b.lo + fraction * (b.hi - b.lo);
    }
    candidates.push_back(inside(std::move(candidate)));
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
                  std::span<const Bounds> bounds, const std::vector<bool>& held) {
  const size_t count = std::min({values.size(), start_values.size(), bounds.size()});
  for (size_t j = 0; j < count; ++j) {
    if (j < held.size() && held[j]) continue;
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

LmContext::LmContext(const FitProblem& problem, EvalCounter counter)
    : problem(problem),
      model(*problem.series, problem.omegas, problem.impedances, problem.weights, std::move(counter)),
      solver(model.residual_count(), model.param_count()) {}

Result<LmEnd, FitError> levenberg_marquardt_search(LmContext& context, std::span<const double> start_values,
                                                   const LmSettings& settings, StopCheck& stop) {
  const FitProblem& problem = context.problem;
  const std::vector<std::vector<double>> candidates = lm_start_candidates(problem, start_values);
  std::vector<double> candidate_costs;
  for (const auto& candidate : candidates) candidate_costs.push_back(context.cost(candidate));
  std::vector<size_t> order(candidates.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return total_order_less(candidate_costs[a], candidate_costs[b]); });

  // The first candidate is the start itself; its cost is reused when it is feasible.
  const std::vector<double> feasible_start = problem.feasible(candidates[0]);
  const double start_cost = feasible_start == candidates[0] ? candidate_costs[0] : context.cost(feasible_start);

  std::uint64_t evaluations = 0;
  std::optional<WalkResult> best;
  std::uint32_t solved = 0;
  bool cut = false;
  for (size_t index : order) {
    auto solve = levenberg_marquardt_single_start(context.model, context.solver, problem.transform_bounds,
                                                  internal(candidates[index], problem.transform_bounds),
                                                  problem.fixed, settings, stop);
    if (!solve) return solve.error();
    evaluations += solve.value().evaluations;
    WalkResult result = judge(context, solve.value());
    const bool ok = solve.value().converged && std::isfinite(result.cost);
    const bool plausible = ok && is_plausible(result.values, start_values, problem.bounds, problem.fixed);
    if (improves_on(result, best ? &*best : nullptr)) best = std::move(result);
    if (plausible) break;
    if (++solved == settings.max_starts) {
      cut = solved < order.size();
      break;
    }
  }

  auto settled = settle_on_bounds(context, std::move(*best), settings, evaluations, stop);
  if (!settled) return settled.error();
  WalkResult& end = settled.value();
  if (ranks_below(start_cost, end.cost)) {
    // No solve found a point below the start: keep the start, as good as the
    // best solve's end.
    return LmEnd{feasible_start, start_cost, end.converged, true, cut, evaluations};
  }
  return LmEnd{std::move(end.values), end.cost, end.converged && !end.clamped, false, cut, evaluations};
}

Result<FitOutcome, FitError> levenberg_marquardt_fit(const FitProblem& problem, std::span<const double> start_values,
                                                     const LmSettings& settings, StopCheck& stop) {
  const EvalCounter counter = make_eval_counter();
  LmContext context(problem, counter);
  auto end = levenberg_marquardt_search(context, start_values, settings, stop);
  if (!end) return end.error();
  FitOutcome outcome =
      build_outcome(problem, end.value().values, end.value().converged, end.value().solver_evaluations, counter);
  outcome.walk_cut = end.value().cut;
  return outcome;
}

}  // namespace kovrant
