#include "circuit/compiled_circuit.h"

#include <algorithm>

#include "util/vector_clones.h"

namespace kovrant {
namespace {

// Keeps a workspace's per-leaf buffers near 1 MiB even for huge circuits.
constexpr size_t kLeafBufferBudget = 65536;

// into[i] += 1 / z[i] for a block. A check pass decides whether the whole
// block is in range, so that the common case runs the plain loop, which
// vectorises; a block with an out-of-range entry takes the scalar path.
inline void add_reciprocals(const Complex* z, size_t count, Complex* into) {
  size_t out_of_range = 0;
  for (size_t i = 0; i < count; ++i) out_of_range += reciprocal_in_range(z[i]) ? 0 : 1;
  if (out_of_range == 0) {
    for (size_t i = 0; i < count; ++i) into[i] = into[i] + reciprocal(z[i]);
  } else {
    for (size_t i = 0; i < count; ++i) into[i] = into[i] + guarded_reciprocal(z[i]);
  }
}

}  // namespace

CompiledCircuit::CompiledCircuit(const SeriesList& series) {
  compile(series, 0);
  block_ = std::clamp<size_t>(kLeafBufferBudget / std::max<size_t>(leaves_.size(), 1), 1, kBlock);
}

void CompiledCircuit::compile(const SeriesList& series, size_t depth) {
  max_depth_ = std::max(max_depth_, depth);
  for (const Node& node : series) {
    if (!node.is_parallel) {
      const size_t leaf = leaves_.size();
      leaves_.push_back({node.element.kind, param_count_});
      const int count = node.element.param_count();
      param_leaf_.insert(param_leaf_.end(), static_cast<size_t>(count), leaf);
      param_count_ += static_cast<size_t>(count);
      program_.push_back({Op::AddLeaf, static_cast<unsigned>(leaf)});
      continue;
    }
    program_.push_back({Op::BeginParallel, 0});
    max_depth_ = std::max(max_depth_, depth + 1);
    for (const SeriesList& branch : node.branches) {
      program_.push_back({Op::BeginBranch, 0});
      compile(branch, depth + 1);
      program_.push_back({Op::EndBranch, 0});
    }
    program_.push_back({Op::EndParallel, 0});
  }
}

CompiledCircuit::Workspace CompiledCircuit::make_workspace() const {
  Workspace workspace;
  workspace.leaf_values.resize(leaves_.size() * block_);
  workspace.leaf_blocks.resize(leaves_.size());
  workspace.series_sums.resize((max_depth_ + 1) * block_);
  workspace.admittances.resize((max_depth_ + 1) * block_);
  return workspace;
}

void CompiledCircuit::evaluate_leaf(size_t leaf, const double* leaf_values, const double* omegas, size_t count,
                                    Complex* out) const {
  element_impedance_list(leaves_[leaf].kind, leaf_values, omegas, count, out);
}

void CompiledCircuit::evaluate(std::span<const double> params, std::span<const double> omegas, std::span<Complex> out,
                               Workspace& workspace) const {
  for (size_t start = 0; start < omegas.size(); start += block_) {
    const size_t count = std::min(block_, omegas.size() - start);
    for (size_t leaf = 0; leaf < leaves_.size(); ++leaf) {
      Complex* buffer = workspace.leaf_values.data() + leaf * block_;
      evaluate_leaf(leaf, params.data() + leaves_[leaf].param_offset, omegas.data() + start, count, buffer);
      workspace.leaf_blocks[leaf] = buffer;
    }
    combine(workspace.leaf_blocks.data(), count, out.data() + start, workspace);
  }
}

KOVRANT_VECTOR_CLONES
void CompiledCircuit::combine(const Complex* const* leaf_blocks, size_t count, Complex* out,
                              Workspace& workspace) const {
  // Level d's running series sum lives at series_sums[d * block_], the
  // admittance of the parallel group open at level d at admittances[d * block_].
  size_t level = 0;
  Complex* sums = workspace.series_sums.data();
  Complex* admittances = workspace.admittances.data();
  std::fill_n(sums, count, Complex{0.0, 0.0});
  for (const Step& step : program_) {
    Complex* sum = sums + level * block_;
    switch (step.op) {
      case Op::AddLeaf: {
        const Complex* z = leaf_blocks[step.leaf];
        for (size_t i = 0; i < count; ++i) sum[i] = sum[i] + z[i];
        break;
      }
      case Op::BeginParallel:
        std::fill_n(admittances + level * block_, count, Complex{0.0, 0.0});
        break;
      case Op::BeginBranch:
        ++level;
        std::fill_n(sums + level * block_, count, Complex{0.0, 0.0});
        break;
      case Op::EndBranch: {
        --level;
        add_reciprocals(sum, count, admittances + level * block_);
        break;
      }
      case Op::EndParallel: {
        add_reciprocals(admittances + level * block_, count, sum);
        break;
      }
    }
  }
  std::copy_n(sums, count, out);
}

}  // namespace kovrant
