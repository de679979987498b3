#include "fit/spectrum_model.h"

#include <algorithm>
#include <cstring>

#include "parallel/thread_pool.h"
#include "util/vector_clones.h"

namespace kovrant {
SpectrumModel::SpectrumModel(const SeriesList& series, std::span<const double> omegas,
                             std::span<const Complex> measured, std::span<const double> weights, EvalCounter counter)
    : compiled_(series),
      omegas_(omegas),
      measured_(measured),
      weights_(weights),
      counter_(std::move(counter)),
      slot_values_(compiled_.slot_count() * omegas.size()),  // zero-initialised, which the zero slot relies on
      slot_params_(compiled_.param_count()),
      slots_(compiled_.slot_count()),
      residual_buffer_(2 * omegas.size()) {
  if (compiled_.uses_log_omegas()) {
    log_omegas_.resize(omegas.size());
    precise_logs(omegas.data(), omegas.size(), log_omegas_.data());
  }
  power_offset_.assign(compiled_.leaf_count(), kNoPowers);
  size_t powers = 0;
  for (size_t leaf = 0; leaf < compiled_.leaf_count(); ++leaf) {
    if (j_omega_exponent_field(compiled_.leaf_kind(leaf)) < 0) continue;
    power_offset_[leaf] = powers;
    powers += omegas.size();
  }
  leaf_powers_.resize(powers);
  const bool parallel = residual_count() * param_count() >= kParallelJacobianEntries;
  column_scratch_.resize(parallel ? param_count() : std::min<size_t>(param_count(), 1));
  for (ColumnScratch& scratch : column_scratch_) {
    scratch.slots.resize(compiled_.slot_count());
    scratch.model_plus.resize(compiled_.block_size());
    scratch.model_minus.resize(compiled_.block_size());
  }
}

void SpectrumModel::point_slots(size_t start, std::vector<const Complex*>& slots) const {
  const size_t n = omegas_.size();
  for (size_t slot = 0; slot < slots.size(); ++slot) slots[slot] = slot_values_.data() + slot * n + start;
}

void SpectrumModel::evaluate_slots(std::span<const double> params) {
  const size_t n = omegas_.size();
  for (size_t leaf = 0; leaf < compiled_.leaf_count(); ++leaf) {
    const double* values = params.data() + compiled_.leaf_param_offset(leaf);
    Complex* out = slot_values_.data() + leaf * n;
    if (power_offset_[leaf] == kNoPowers) {
      compiled_.evaluate_leaf(leaf, values, omegas_.data(), n, out, log_omegas_from(0));
      continue;
    }
    const Kind kind = compiled_.leaf_kind(leaf);
    Complex* powers = leaf_powers_.data() + power_offset_[leaf];
    j_omega_powers(values[j_omega_exponent_field(kind)], omegas_.data(), log_omegas_from(0), n, powers);
    element_impedance_from_powers(kind, values, omegas_.data(), powers, n, out);
  }
  const size_t block = compiled_.block_size();
  for (size_t start = 0; start < n; start += block) {
    for (size_t slot = 0; slot < slots_.size(); ++slot) slots_[slot] = slot_values_.data() + slot * n + start;
    compiled_.combine(slots_.data(), std::min(block, n - start));
  }
  std::copy_n(params.begin(), param_count(), slot_params_.begin());
  slots_valid_ = true;
}

KOVRANT_VECTOR_CLONES
void SpectrumModel::residuals(std::span<const double> params, std::span<double> out) {
  counter_->fetch_add(1, std::memory_order_relaxed);
  evaluate_slots(params);
  const Complex* model = slot_values_.data() + compiled_.result_slot() * omegas_.size();
  for (size_t i = 0; i < omegas_.size(); ++i) {
    out[2 * i] = (model[i].re - measured_[i].re) / weights_[i];
    out[2 * i + 1] = (model[i].im - measured_[i].im) / weights_[i];
  }
}

double SpectrumModel::cost(std::span<const double> params) {
  residuals(params, residual_buffer_);
  return cost_of(residual_buffer_);
}

void SpectrumModel::jacobian(std::span<const double> params, std::span<double> out) {
  const size_t p = param_count();
  counter_->fetch_add(2 * p, std::memory_order_relaxed);
  const bool cached = slots_valid_ && std::memcmp(params.data(), slot_params_.data(), p * sizeof(double)) == 0;
  if (!cached) evaluate_slots(params);
  const size_t rows = residual_count();
  if (column_scratch_.size() > 1) {
    parallel_for(p, [this, params, out, rows](size_t begin, size_t end) {
      for (size_t j = begin; j < end; ++j) jacobian_column(j, params, column_scratch_[begin], out.data() + j * rows);
    });
    return;
  }
  for (size_t j = 0; j < p; ++j) jacobian_column(j, params, column_scratch_[0], out.data() + j * rows);
}

KOVRANT_VECTOR_CLONES
void SpectrumModel::jacobian_column(size_t j, std::span<const double> params, ColumnScratch& scratch,
                                    double* column) const {
  const size_t leaf = compiled_.leaf_of_param(j);
  const size_t offset = compiled_.leaf_param_offset(leaf);
  const size_t field = j - offset;
  const size_t field_count = static_cast<size_t>(kind_info(compiled_.leaf_kind(leaf)).param_count);
  double values[kMaxFields];
  std::copy_n(params.begin() + static_cast<std::ptrdiff_t>(offset), field_count, values);
  const double step = kJacobianStepFactor * std::fmax(std::fabs(params[j]), 1e-8);
  const double plus = params[j] + step;
  const double minus = params[j] - step;

  const size_t n = omegas_.size();
  const size_t block = compiled_.block_size();
  for (size_t start = 0; start < n; start += block) {
    const size_t count = std::min(block, n - start);
    point_slots(start, scratch.slots);
    values[field] = plus;
    evaluate_perturbed_leaf(leaf, field, values, start, count, scratch.model_plus.data());
    compiled_.recombine(leaf, scratch.slots.data(), count, scratch.model_plus.data());
    values[field] = minus;
    evaluate_perturbed_leaf(leaf, field, values, start, count, scratch.model_minus.data());
    compiled_.recombine(leaf, scratch.slots.data(), count, scratch.model_minus.data());
    for (size_t i = 0; i < count; ++i) {
      const Complex& measured = measured_[start + i];
      const double weight = weights_[start + i];
      const double re_plus = (scratch.model_plus[i].re - measured.re) / weight;
      const double im_plus = (scratch.model_plus[i].im - measured.im) / weight;
      const double re_minus = (scratch.model_minus[i].re - measured.re) / weight;
      const double im_minus = (scratch.model_minus[i].im - measured.im) / weight;
      column[2 * (start + i)] = (re_plus - re_minus) / (2.0 * step);
      column[2 * (start + i) + 1] = (im_plus - im_minus) / (2.0 * step);
    }
  }
}

// The leaf at `values` (one field moved from slot_params_) for points
// start..start+count: from its kept powers when the moved field is not their
// exponent, else from scratch.
void SpectrumModel::evaluate_perturbed_leaf(size_t leaf, size_t field, const double* values, size_t start,
                                            size_t count, Complex* out) const {
  const Kind kind = compiled_.leaf_kind(leaf);
  if (power_offset_[leaf] != kNoPowers && static_cast<int>(field) != j_omega_exponent_field(kind)) {
    element_impedance_from_powers(kind, values, omegas_.data() + start,
                                  leaf_powers_.data() + power_offset_[leaf] + start, count, out);
    return;
  }
  compiled_.evaluate_leaf(leaf, values, omegas_.data() + start, count, out, log_omegas_from(start));
}

}  // namespace kovrant
