#include "fit/lmder_solver.h"

#include <cminpack.h>

namespace kovrant {
namespace {

struct CallbackContext {
  const LeastSquaresFunctions* functions;
  size_t n;
};

// cminpack's calling convention: iflag 1 asks for residuals, 2 for the
// Jacobian; a negative return value ends the solve.
int lmder_callback(void* context, int m, int n, const double* x, double* fvec, double* fjac, int ldfjac, int iflag) {
  const auto& ctx = *static_cast<const CallbackContext*>(context);
  const std::span<const double> point(x, static_cast<size_t>(n));
  if (iflag == 1) {
    return ctx.functions->residuals(point, std::span<double>(fvec, static_cast<size_t>(m))) ? 0 : -1;
  }
  if (iflag == 2) {
    return ctx.functions->jacobian(point, std::span<double>(fjac, static_cast<size_t>(ldfjac) * ctx.n)) ? 0 : -1;
  }
  return 0;
}

LmderTermination termination_of(int info) {
  switch (info) {
    case 1:
      return LmderTermination::SmallCostReduction;
    case 2:
      return LmderTermination::SmallStep;
    case 3:
      return LmderTermination::SmallCostReductionAndStep;
    case 4:
      return LmderTermination::OrthogonalGradient;
    case 5:
      return LmderTermination::EvaluationLimit;
    case 6:
      return LmderTermination::FtolTooSmall;
    case 7:
      return LmderTermination::XtolTooSmall;
    case 8:
      return LmderTermination::GtolTooSmall;
    default:
      return info < 0 ? LmderTermination::UserStop : LmderTermination::ImproperInput;
  }
}

}  // namespace

bool is_converged(LmderTermination termination) {
  switch (termination) {
    case LmderTermination::SmallCostReduction:
    case LmderTermination::SmallStep:
    case LmderTermination::SmallCostReductionAndStep:
    case LmderTermination::OrthogonalGradient:
      return true;
    default:
      return false;
  }
}

LmderSolver::LmderSolver(size_t residual_count, size_t param_count)
    : m_(residual_count),
      n_(param_count),
      residuals_(residual_count),
      jacobian_(residual_count * param_count),
      diag_(param_count),
      pivots_(param_count),
      qtf_(param_count),
      work_n_(3 * param_count),
      work_m_(residual_count) {}

LmderReport LmderSolver::minimize(const LeastSquaresFunctions& functions, std::span<double> x,
                                  const LmderSettings& settings) {
  CallbackContext context{&functions, n_};
  const int m = static_cast<int>(m_);
  const int n = static_cast<int>(n_);
  int nfev = 0;
  int njev = 0;
  const int info = lmder(lmder_callback, &context, m, n, x.data(), residuals_.data(), jacobian_.data(), m,
                         settings.ftol, settings.xtol, settings.gtol, settings.max_residual_evaluations, diag_.data(),
                         /*mode=*/1, settings.step_bound_factor, /*nprint=*/0, &nfev, &njev, pivots_.data(),
                         qtf_.data(), work_n_.data(), work_n_.data() + n_, work_n_.data() + 2 * n_, work_m_.data());
  return LmderReport{termination_of(info), nfev, njev};
}

}  // namespace kovrant
