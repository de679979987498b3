#include "fit/spectrum_model.h"

#include <algorithm>
#include <cstring>

#include "parallel/thread_pool.h"
#include "util/vector_clones.h"

namespace kovrant {
namespace {

// Below this many Jacobian entries (2N x P) waking the worker pool costs more
// than the columns themselves.
constexpr size_t kParallelJacobianEntries = 16384;

}  // namespace

SpectrumModel::SpectrumModel(const SeriesList& series, std::span<const double> omegas,
                             std::span<const Complex> measured, std::span<const double> weights, EvalCounter counter)
    : compiled_(series),
      omegas_(omegas),
      measured_(measured),
      weights_(weights),
      counter_(std::move(counter)),
      workspace_(compiled_.make_workspace()),
      leaf_impedances_(compiled_.leaf_count() * omegas.size()),
      leaf_params_(compiled_.param_count()),
      model_block_(compiled_.block_size()),
      residual_buffer_(2 * omegas.size()) {
  const bool parallel = residual_count() * param_count() >= kParallelJacobianEntries;
  column_scratch_.resize(parallel ? param_count() : std::min<size_t>(param_count(), 1));
  for (ColumnScratch& scratch : column_scratch_) {
    scratch.workspace = compiled_.make_workspace();
    scratch.leaf_blocks.resize(compiled_.leaf_count());
    scratch.shifted_leaf.resize(compiled_.block_size());
    scratch.model_plus.resize(compiled_.block_size());
    scratch.model_minus.resize(compiled_.block_size());
  }
}

void SpectrumModel::evaluate_leaves(std::span<const double> params) {
  const size_t n = omegas_.size();
  for (size_t leaf = 0; leaf < compiled_.leaf_count(); ++leaf) {
    compiled_.evaluate_leaf(leaf, params.data() + compiled_.leaf_param_offset(leaf), omegas_.data(), n,
                            leaf_impedances_.data() + leaf * n);
  }
  std::copy_n(params.begin(), param_count(), leaf_params_.begin());
  leaf_impedances_valid_ = true;
}

KOVRANT_VECTOR_CLONES
void SpectrumModel::residuals(std::span<const double> params, std::span<double> out) {
  counter_->fetch_add(1, std::memory_order_relaxed);
  evaluate_leaves(params);
  const size_t n = omegas_.size();
  const size_t block = compiled_.block_size();
  for (size_t start = 0; start < n; start += block) {
    const size_t count = std::min(block, n - start);
    for (size_t leaf = 0; leaf < compiled_.leaf_count(); ++leaf) {
      workspace_.leaf_blocks[leaf] = leaf_impedances_.data() + leaf * n + start;
    }
    compiled_.combine(workspace_.leaf_blocks.data(), count, model_block_.data(), workspace_);
    for (size_t i = 0; i < count; ++i) {
      const Complex& measured = measured_[start + i];
      const double weight = weights_[start + i];
      out[2 * (start + i)] = (model_block_[i].re - measured.re) / weight;
      out[2 * (start + i) + 1] = (model_block_[i].im - measured.im) / weight;
    }
  }
}

double SpectrumModel::cost(std::span<const double> params) {
  residuals(params, residual_buffer_);
  return cost_of(residual_buffer_);
}

void SpectrumModel::jacobian(std::span<const double> params, std::span<double> out) {
  const size_t p = param_count();
  counter_->fetch_add(2 * p, std::memory_order_relaxed);
  const bool cached =
      leaf_impedances_valid_ && std::memcmp(params.data(), leaf_params_.data(), p * sizeof(double)) == 0;
  if (!cached) evaluate_leaves(params);
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
    for (size_t l = 0; l < compiled_.leaf_count(); ++l)
      scratch.leaf_blocks[l] = leaf_impedances_.data() + l * n + start;
    scratch.leaf_blocks[leaf] = scratch.shifted_leaf.data();
    values[field] = plus;
    compiled_.evaluate_leaf(leaf, values, omegas_.data() + start, count, scratch.shifted_leaf.data());
    compiled_.combine(scratch.leaf_blocks.data(), count, scratch.model_plus.data(), scratch.workspace);
    values[field] = minus;
    compiled_.evaluate_leaf(leaf, values, omegas_.data() + start, count, scratch.shifted_leaf.data());
    compiled_.combine(scratch.leaf_blocks.data(), count, scratch.model_minus.data(), scratch.workspace);
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

}  // namespace kovrant
