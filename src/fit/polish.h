// The common last step of the global fitting methods.
//
// Contract: polish_or_fallback() builds the fallback outcome at the global
// method's best point (success = true, the method's iteration count, on the
// method's counter); when the feasible start of the problem has a lower cost
// than that point (the search never evaluated it, or only outside the
// bounds), the fallback is built at the start instead. It then runs
// levenberg_marquardt_fit from the fallback's values with fixed settings
// (ftol = xtol = gtol = 1e-8, 200 iterations); its evaluations are counted on
// the method's counter. The polished outcome wins when the polish moved off
// its start and its cost is finite and not above the fallback's. Either way impedance_evals is the method's
// counter at the end. An error of the polish (including Interrupted) is the
// result.
#pragma once

#include <cstdint>
#include <span>

#include "fit/fit_error.h"
#include "fit/fit_outcome.h"
#include "fit/fit_problem.h"
#include "fit/stop_check.h"
#include "util/result.h"

namespace kovrant {

Result<FitOutcome, FitError> polish_or_fallback(const FitProblem& problem, std::span<const double> best_values,
                                                std::uint64_t iterations, const EvalCounter& counter,
                                                StopCheck& stop);

}  // namespace kovrant
