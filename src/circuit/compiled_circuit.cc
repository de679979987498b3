#include "circuit/compiled_circuit.h"

#include <algorithm>
#include <limits>

#include "util/vector_clones.h"

namespace kovrant {
namespace {

// Keeps a workspace's slot buffers near 1 MiB even for huge circuits.
constexpr size_t kSlotBufferBudget = 65536;

// out[i] = 1 / z[i] for a block (out may be z). A check pass decides whether
// the whole block is in range, so that the common case runs the plain loop,
// which vectorises; a block with an out-of-range entry takes the scaled path.
inline void reciprocals(const Complex* z, size_t count, Complex* out) {
  size_t out_of_range = 0;
  for (size_t i = 0; i < count; ++i) out_of_range += reciprocal_in_range(z[i]) ? 0 : 1;
  if (out_of_range == 0) {
    for (size_t i = 0; i < count; ++i) out[i] = reciprocal(z[i]);
  } else {
    for (size_t i = 0; i < count; ++i) out[i] = guarded_reciprocal(z[i]);
  }
}

// The same for out != z in one pass: each |z|^2 is computed once and also
// tells whether the block must be redone by the scaled path.
inline void reciprocals_into(const Complex* z, size_t count, Complex* out) {
  unsigned out_of_range = 0;  // an integer reduction, which vectorises
  for (size_t i = 0; i < count; ++i) {
    const double norm = z[i].re * z[i].re + z[i].im * z[i].im;
    out[i] = {z[i].re / norm, -z[i].im / norm};
    out_of_range |= (norm >= std::numeric_limits<double>::min()) & (norm <= std::numeric_limits<double>::max()) ? 0u : 1u;
  }
  if (out_of_range != 0) {
    for (size_t i = 0; i < count; ++i) out[i] = guarded_reciprocal(z[i]);
  }
}

}  // namespace

CompiledCircuit::CompiledCircuit(const SeriesList& series) {
  zero_slot_ = collect_leaves(series).size();  // after the leaves' own slots
  slot_count_ = zero_slot_ + 1;
  result_slot_ = compile_series(series);
  find_first_steps();
  block_ = std::clamp<size_t>(kSlotBufferBudget / slot_count_, 1, kBlock);
}

// The sum of a series list runs from zero, adding each term in order; a
// parallel group's admittance likewise adds the branches' reciprocals.
unsigned CompiledCircuit::compile_series(const SeriesList& series) {
  unsigned sum = static_cast<unsigned>(zero_slot());
  for (const Node& node : series) {
    unsigned term = 0;
    if (!node.is_parallel) {
      term = static_cast<unsigned>(leaves_.size());
      leaves_.push_back({node.element.kind, param_count_});
      const int count = node.element.param_count();
      param_leaf_.insert(param_leaf_.end(), static_cast<size_t>(count), term);
      param_count_ += static_cast<size_t>(count);
    } else {
      unsigned admittance = static_cast<unsigned>(zero_slot());
      for (const SeriesList& branch : node.branches) {
        const unsigned branch_sum = compile_series(branch);
        const unsigned branch_admittance = new_slot();
        steps_.push_back({true, branch_admittance, branch_sum, 0});
        const unsigned running = new_slot();
        steps_.push_back({false, running, admittance, branch_admittance});
        admittance = running;
      }
      term = new_slot();
      steps_.push_back({true, term, admittance, 0});
    }
    const unsigned running = new_slot();
    steps_.push_back({false, running, sum, term});
    sum = running;
  }
  return sum;
}

// A leaf's slot is read by exactly one step: the series sum that adds it.
void CompiledCircuit::find_first_steps() {
  first_step_.resize(leaves_.size());
  for (size_t i = 0; i < steps_.size(); ++i) {
    if (!steps_[i].is_reciprocal && steps_[i].b < leaves_.size()) first_step_[steps_[i].b] = i;
  }
}

CompiledCircuit::Workspace CompiledCircuit::make_workspace() const {
  Workspace workspace;
  workspace.slot_values.resize(slot_count_ * block_);  // zero-initialised, which the zero slot relies on
  for (size_t slot = 0; slot < slot_count_; ++slot) workspace.slots.push_back(workspace.slot_values.data() + slot * block_);
  if (uses_log_omegas()) workspace.log_omegas.resize(block_);
  return workspace;
}

void CompiledCircuit::evaluate_leaf(size_t leaf, const double* leaf_values, const double* omegas, size_t count,
                                    Complex* out, const PreciseLog* log_omegas) const {
  element_impedance_list(leaves_[leaf].kind, leaf_values, omegas, count, out, log_omegas);
}

bool CompiledCircuit::uses_log_omegas() const {
  return std::any_of(leaves_.begin(), leaves_.end(), [](const LeafInfo& leaf) { return j_omega_exponent_field(leaf.kind) >= 0; });
}

void CompiledCircuit::evaluate(std::span<const double> params, std::span<const double> omegas, std::span<Complex> out,
                               Workspace& workspace) const {
  for (size_t start = 0; start < omegas.size(); start += block_) {
    const size_t count = std::min(block_, omegas.size() - start);
    const PreciseLog* log_omegas = nullptr;
    if (!workspace.log_omegas.empty()) {
      precise_logs(omegas.data() + start, count, workspace.log_omegas.data());
      log_omegas = workspace.log_omegas.data();
    }
    for (size_t leaf = 0; leaf < leaves_.size(); ++leaf) {
      evaluate_leaf(leaf, params.data() + leaves_[leaf].param_offset, omegas.data() + start, count,
                    workspace.slots[leaf], log_omegas);
    }
    combine(workspace.slots.data(), count);
    std::copy_n(workspace.slots[result_slot_], count, out.data() + start);
  }
}

KOVRANT_VECTOR_CLONES
void CompiledCircuit::combine(Complex* const* slots, size_t count) const {
  for (const Step& step : steps_) {
    Complex* dst = slots[step.dst];
    const Complex* a = slots[step.a];
    if (step.is_reciprocal) {
      reciprocals_into(a, count, dst);  // a step never writes the slot it reads
      continue;
    }
    const Complex* b = slots[step.b];
    for (size_t i = 0; i < count; ++i) dst[i] = a[i] + b[i];
  }
}

// Every slot but the zero slot feeds at most one step, so the steps that
// depend on the leaf form a chain, each taking the previous one's result; the
// walk skips the steps off that chain.
KOVRANT_VECTOR_CLONES
void CompiledCircuit::recombine(size_t leaf, const Complex* const* slots, size_t count, Complex* values) const {
  size_t changed = leaf;
  for (size_t s = first_step_[leaf]; s < steps_.size(); ++s) {
    const Step& step = steps_[s];
    if (step.a == changed) {
      if (step.is_reciprocal) {
        reciprocals(values, count, values);
      } else {
        const Complex* b = slots[step.b];
        for (size_t i = 0; i < count; ++i) values[i] = values[i] + b[i];
      }
    } else if (!step.is_reciprocal && step.b == changed) {
      const Complex* a = slots[step.a];
      for (size_t i = 0; i < count; ++i) values[i] = a[i] + values[i];
    } else {
      continue;
    }
    changed = step.dst;
  }
}

}  // namespace kovrant
