// The common last step of the global fitting methods.
//
// Contract: polish_or_fallback() builds the fallback outcome at the global
// method's best point (success = true, the method's iteration count, on the
// method's counter), then runs levenberg_marquardt_fit from that point with
// fixed settings (ftol = xtol = gtol = 1e-8, 200 iterations) and its own
// counter, whose evaluations are then added to the method's counter. The
// polished outcome wins when its cost is finite and not above the fallback's.
// Either way impedance_evals is the method's counter after that addition. An
// error of the polish (including Interrupted) is the result.
#pragma once

#include <cstdint>
#include <span>

#include "fit/fit_error.h"
#include "fit/fit_outcome.h"
#include "fit/stop_check.h"
#include "util/result.h"

namespace kovrant {

Result<FitOutcome, FitError> polish_or_fallback(const SeriesList& series, std::span<const double> best_values,
                                                std::uint64_t iterations, std::span<const double> frequencies_hz,
                                                std::span<const Complex> impedances, Weighting weighting,
                                                std::span<const double> omegas, std::span<const double> weights,
                                                const EvalCounter& counter, StopCheck& stop);

}  // namespace kovrant
