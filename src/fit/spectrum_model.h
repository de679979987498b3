// The circuit against one measured spectrum, evaluated without allocation:
// the engine behind every fitting method.
//
// Contract:
// - residuals() and jacobian() give exactly the bits of residuals() and
//   jacobian_columns() of fit/residuals.h at the same parameters, and add the
//   same amounts (1 and 2P) to the evaluation counter.
// - The Jacobian reuses every intermediate value of the last residual
//   evaluation when it is asked for at the same parameters (bit for bit);
//   a perturbed column re-evaluates only the leaf that owns the parameter and
//   recomputes only the sums and reciprocals on that leaf's path to the root;
//   a CPE or TLMQ leaf keeps its (j omega)^exponent for the columns of its
//   other fields.
//   Large problems spread the columns over the worker pool; results never
//   depend on the thread count.
// - The spans given to the constructor must outlive the model. A model
//   belongs to one thread at a time (its own parallel work aside).
// - physical_value() and internal_value() are the scalar forms of physical()
//   and internal() of fit/residuals.h, bit for bit, for loops that must not
//   allocate.
#pragma once

#include <cmath>
#include <span>
#include <vector>

#include "circuit/compiled_circuit.h"
#include "fit/residuals.h"
#include "util/portable_math.h"

namespace kovrant {

inline double physical_value(double x, const Bounds& bounds) {
  return std::isfinite(bounds.hi) ? x : bounds.lo + portable_exp10(x);
}

inline double internal_value(double p, const Bounds& bounds) {
  return std::isfinite(bounds.hi) ? p : portable_log10(std::fmax(p - bounds.lo, 1e-300));
}

// v limited to [lo, hi]; NaN stays NaN.
inline double clamp_into_bounds(double v, const Bounds& bounds) {
  return v < bounds.lo ? bounds.lo : (v > bounds.hi ? bounds.hi : v);
}

class SpectrumModel {
 public:
  SpectrumModel(const SeriesList& series, std::span<const double> omegas, std::span<const Complex> measured,
                std::span<const double> weights, EvalCounter counter);

  size_t param_count() const { return compiled_.param_count(); }
  size_t residual_count() const { return 2 * omegas_.size(); }
  const EvalCounter& counter() const { return counter_; }

  // The 2N residuals at `params` (param_count values) into `out`.
  void residuals(std::span<const double> params, std::span<double> out);

  // cost_of(residuals(params)), through an internal buffer.
  double cost(std::span<const double> params);

  // The 2N x P Jacobian, column-major, into `out`.
  void jacobian(std::span<const double> params, std::span<double> out);

 private:
  // Scratch of one Jacobian column task.
  struct ColumnScratch {
    std::vector<const Complex*> slots;  // slot_count() pointers into slot_values_
    std::vector<Complex> model_plus;    // block_size() values
    std::vector<Complex> model_minus;   // block_size() values
  };

  // Evaluates the leaves and every combination slot at `params`.
  void evaluate_slots(std::span<const double> params);
  // Points slots[s] at slot s's values from point `start` on.
  void point_slots(size_t start, std::vector<const Complex*>& slots) const;
  void jacobian_column(size_t j, std::span<const double> params, ColumnScratch& scratch, double* column) const;
  void evaluate_perturbed_leaf(size_t leaf, size_t field, const double* values, size_t start, size_t count,
                               Complex* out) const;
  static constexpr size_t kNoPowers = static_cast<size_t>(-1);
  const PreciseLog* log_omegas_from(size_t start) const {
    return log_omegas_.empty() ? nullptr : log_omegas_.data() + start;
  }

  CompiledCircuit compiled_;
  std::span<const double> omegas_;
  std::span<const Complex> measured_;
  std::span<const double> weights_;
  EvalCounter counter_;
  std::vector<PreciseLog> log_omegas_;  // precise_log of each omega, when a leaf uses them; else empty
  std::vector<size_t> power_offset_;     // per leaf: where its N powers start in leaf_powers_ (kNoPowers: none)
  std::vector<Complex> leaf_powers_;     // (j omega)^exponent of the leaves that raise j omega, at slot_params_

  std::vector<Complex> slot_values_;  // slot-major: slot s's N values at s * N
  std::vector<double> slot_params_;   // the parameters slot_values_ belong to
  bool slots_valid_ = false;
  std::vector<Complex*> slots_;
  std::vector<double> residual_buffer_;
  std::vector<ColumnScratch> column_scratch_;  // one per column, used by the task that starts there
};

}  // namespace kovrant
