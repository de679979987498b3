// The multi-start Levenberg-Marquardt fit, the default fitting method.
//
// Contract (levenberg_marquardt_fit): builds nine starting candidates from
// the start values p0: p0; p0 with every free parameter of infinite physical
// upper bound times 3, 1/3, 8 and 1/8; p0 with every free parameter of finite
// physical upper bound at 20, 40, 60 and 80 % of its feasible range (values
// of narrowed parameters clamped into their feasible bounds). They are solved
// in ascending order of cost (stable, IEEE totalOrder) until a solve is
// converged with a finite cost and plausible, or max_starts solves are done. Every solve is judged at its
// feasible point (its values clamped into the bounds): the cost, the "best so
// far" test (converged beats not converged, then lower cost) and the
// plausibility test, under which a free value on a finite bound is not
// plausible (held parameters pass).
// - When the best point touches a finite (or narrowed) bound, the touching
//   parameters are held there and the point is solved again; the re-solve is
//   kept when its feasible cost is lower (or equal and converged). Rounds go
//   on while a kept re-solve touches further bounds, at most P rounds.
// - The returned cost is never above the cost at the feasible start: if the
//   feasible start is lower, it is returned (converged as the best solve was).
//   Returned values count as converged only when they are a converged
//   solve's own, unclamped result.
// - Ends with build_outcome; `iterations` is the total of the solver's
//   residual evaluations over all solves.
// - Errors: InvalidArgument "ftol must be >= 0" (then xtol, gtol) for a
//   negative or NaN tolerance; Interrupted when the stop check fires. A
//   single solve never fails otherwise.
//
// Contract (levenberg_marquardt_single_start): one lmder solve in internal
// coordinates from x0 with factor 100, diagonal scaling and at most
// max(max_iterations, 1) * (P + 1) residual evaluations. Its Jacobian is the
// model's Jacobian at physical(x) times dp/dx, with the columns of fixed
// parameters zeroed. Converged means lmder's ftol, xtol or gtol test held
// (exactly zero residuals included); a numerical failure is not converged.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "circuit/tree.h"
#include "fit/fit_error.h"
#include "fit/fit_outcome.h"
#include "fit/fit_problem.h"
#include "fit/lmder_solver.h"
#include "fit/spectrum_model.h"
#include "fit/stop_check.h"
#include "util/result.h"

namespace kovrant {

struct LmSettings {
  double ftol = 1e-8;
  double xtol = 1e-8;
  double gtol = 1e-8;
  std::uint32_t max_iterations = 200;
  // The walk solves at most this many of its starts (in cost order); 0 means
  // all of them. A ranking's first look at a candidate needs only one.
  std::uint32_t max_starts = 0;
};

// One solve's least-squares problem: residuals at physical(x) and their
// chain-rule Jacobian in internal coordinates. Both return false, ending the
// solve, when the stop check fires or on a numerical failure: non-finite
// residuals at the solve's first point (lmder cannot move from there) or a
// non-finite Jacobian entry. Non-finite residuals at a trial point are left to
// lmder, which rejects the step.
class LmProblem {
 public:
  enum class Failure { None, Stopped, NonFinite };

  LmProblem(SpectrumModel& model, std::span<const Bounds> bounds, const std::vector<bool>& fixed, StopCheck& stop);

  bool residuals(std::span<const double> x, std::span<double> out);
  bool jacobian(std::span<const double> x, std::span<double> out);
  Failure failure() const { return failure_; }

 private:
  std::span<const double> to_physical(std::span<const double> x);
  bool fail(Failure failure);

  SpectrumModel& model_;
  std::span<const Bounds> bounds_;
  const std::vector<bool>& fixed_;
  StopCheck& stop_;
  std::vector<double> physical_;
  bool first_evaluation_ = true;
  Failure failure_ = Failure::None;
};

struct LmSolve {
  std::vector<double> params;  // physical values
  bool converged = false;
  std::uint64_t evaluations = 0;
};

// `solver` must be sized for the model (2N residuals, P parameters).
Result<LmSolve, FitError> levenberg_marquardt_single_start(SpectrumModel& model, LmderSolver& solver,
                                                           std::span<const Bounds> bounds, std::span<const double> x0,
                                                           const std::vector<bool>& fixed, const LmSettings& settings,
                                                           StopCheck& stop);

// The solves of one fit share a model (on one evaluation counter) and a solver.
struct LmContext {
  const FitProblem& problem;
  SpectrumModel model;
  LmderSolver solver;

  LmContext(const FitProblem& problem, EvalCounter counter);
  double cost(std::span<const double> params) { return model.cost(params); }
};

// Where a multi-start search ends: feasible values, their cost, whether they
// are a converged solve's result, and the solver's residual evaluations.
struct LmEnd {
  std::vector<double> values;
  double cost = 0.0;
  bool converged = false;
  bool kept_start = false;  // no solve got below the feasible start
  bool cut = false;         // max_starts ended the walk before a plausible solve, with starts left
  std::uint64_t solver_evaluations = 0;
};

// The multi-start search of levenberg_marquardt_fit from `start_values`,
// without building an outcome.
Result<LmEnd, FitError> levenberg_marquardt_search(LmContext& context, std::span<const double> start_values,
                                                   const LmSettings& settings, StopCheck& stop);

// The search plus build_outcome, on a counter of its own.
Result<FitOutcome, FitError> levenberg_marquardt_fit(const FitProblem& problem, std::span<const double> start_values,
                                                     const LmSettings& settings, StopCheck& stop);

// The nine starting vectors, in their order before sorting.
std::vector<std::vector<double>> lm_start_candidates(const FitProblem& problem, std::span<const double> start_values);

// a before b under IEEE 754 totalOrder (-NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN).
bool total_order_less(double a, double b);

// Whether a solve's physical values are away from finite bounds and within
// six decades of the start values (see the .cc for the exact tests). Held
// parameters (a set flag in `held`, which may be empty) are the caller's
// choice and pass whatever their value.
bool is_plausible(std::span<const double> values, std::span<const double> start_values, std::span<const Bounds> bounds,
                  const std::vector<bool>& held = {});

}  // namespace kovrant
