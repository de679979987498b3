// A circuit tree flattened for evaluating many frequencies at once.
//
// Contract: evaluate() gives, for every frequency, exactly the bits of
// series_impedance_with_params() on the source tree: it performs the same
// operations in the same order per point, but element by element over blocks
// of frequencies, so per-element work that does not depend on the frequency
// (the angle of (j*omega)^alpha) is done once per block. Leaves are numbered
// in tree order; leaf_param_offset(l) is the index of leaf l's first value in
// the parameter vector. A Workspace belongs to one thread at a time.
#pragma once

#include <span>
#include <vector>

#include "circuit/tree.h"

namespace kovrant {

class CompiledCircuit {
 public:
  static constexpr size_t kBlock = 64;

  struct Workspace {
    std::vector<Complex> leaf_values;         // leaf_count * block_size()
    std::vector<const Complex*> leaf_blocks;  // leaf_count
    std::vector<Complex> series_sums;         // (depth + 1) * block_size()
    std::vector<Complex> admittances;         // (depth + 1) * block_size()
  };

  explicit CompiledCircuit(const SeriesList& series);

  // Points per block: kBlock, fewer for circuits with very many leaves.
  size_t block_size() const { return block_; }
  size_t leaf_count() const { return leaves_.size(); }
  size_t param_count() const { return param_count_; }
  Kind leaf_kind(size_t leaf) const { return leaves_[leaf].kind; }
  size_t leaf_param_offset(size_t leaf) const { return leaves_[leaf].param_offset; }
  // The leaf that owns parameter `param`.
  size_t leaf_of_param(size_t param) const { return param_leaf_[param]; }

  Workspace make_workspace() const;

  // Model impedance at omegas[i] for every i, with `params` in tree order
  // (at least param_count() values).
  void evaluate(std::span<const double> params, std::span<const double> omegas, std::span<Complex> out,
                Workspace& workspace) const;

  // Impedance of one leaf at omegas[0..count).
  void evaluate_leaf(size_t leaf, const double* leaf_values, const double* omegas, size_t count, Complex* out) const;

  // Combines per-leaf impedances of one block (leaf l at leaf_blocks[l],
  // count <= block_size() points each) by the tree structure into out.
  void combine(const Complex* const* leaf_blocks, size_t count, Complex* out, Workspace& workspace) const;

 private:
  enum class Op : unsigned char { AddLeaf, BeginParallel, BeginBranch, EndBranch, EndParallel };
  struct Step {
    Op op;
    unsigned leaf;  // AddLeaf only
  };
  struct LeafInfo {
    Kind kind;
    size_t param_offset;
  };

  void compile(const SeriesList& series, size_t depth);

  std::vector<LeafInfo> leaves_;
  std::vector<size_t> param_leaf_;
  std::vector<Step> program_;
  size_t param_count_ = 0;
  size_t max_depth_ = 0;
  size_t block_ = kBlock;
};

}  // namespace kovrant
