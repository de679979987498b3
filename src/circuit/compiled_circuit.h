// A circuit tree flattened for evaluating many frequencies at once, and for
// re-evaluating it cheaply when a single leaf changes.
//
// Contract: evaluate() gives, for every frequency, exactly the bits of
// series_impedance_with_params() on the source tree: it performs the same
// operations in the same order per point, but element by element over blocks
// of frequencies, so per-element work that does not depend on the frequency
// (the angle of (j*omega)^alpha) is done once per block. Leaves are numbered
// in tree order; leaf_param_offset(l) is the index of leaf l's first value in
// the parameter vector. A Workspace belongs to one thread at a time.
//
// The combination of leaf impedances is a list of steps over value slots:
// slots [0, leaf_count) hold the leaf impedances, slot zero_slot() holds
// zeros, and every other slot one intermediate sum or reciprocal. combine()
// fills every slot; recombine() then gives the model value with one leaf
// replaced, recomputing only the steps on that leaf's path to the root and
// reading all others from the filled slots, with the bits combine() would
// give for the changed leaf.
#pragma once

#include <span>
#include <vector>

#include "circuit/tree.h"

namespace kovrant {

class CompiledCircuit {
 public:
  static constexpr size_t kBlock = 64;

  struct Workspace {
    std::vector<Complex> slot_values;     // slot_count() * block_size()
    std::vector<Complex*> slots;          // slot_count() pointers into slot_values
    std::vector<PreciseLog> log_omegas;   // block_size() when uses_log_omegas(), else empty
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

  size_t slot_count() const { return slot_count_; }
  size_t zero_slot() const { return zero_slot_; }
  // The slot that ends up holding the model impedance.
  size_t result_slot() const { return result_slot_; }

  Workspace make_workspace() const;

  // Model impedance at omegas[i] for every i, with `params` in tree order
  // (at least param_count() values).
  void evaluate(std::span<const double> params, std::span<const double> omegas, std::span<Complex> out,
                Workspace& workspace) const;

  // Impedance of one leaf at omegas[0..count); log_omegas as for
  // element_impedance_list (null, or the omegas' precise_log values).
  void evaluate_leaf(size_t leaf, const double* leaf_values, const double* omegas, size_t count, Complex* out,
                     const PreciseLog* log_omegas = nullptr) const;

  // Whether some leaf raises j*omega to a power (j_omega_exponent_field()),
  // and so would use the omegas' logarithms.
  bool uses_log_omegas() const;

  // Fills every slot past the leaves for `count` points: slots[s] points at
  // slot s's values (the leaf slots and the zero slot already filled).
  void combine(Complex* const* slots, size_t count) const;

  // The model value for `count` points with leaf `leaf` taking the values in
  // `values`, written over `values`; the other slots as combine() left them.
  void recombine(size_t leaf, const Complex* const* slots, size_t count, Complex* values) const;

 private:
  // dst = a + b, or dst = 1 / a.
  struct Step {
    bool is_reciprocal;
    unsigned dst;
    unsigned a;
    unsigned b;
  };
  struct LeafInfo {
    Kind kind;
    size_t param_offset;
  };

  unsigned compile_series(const SeriesList& series);
  unsigned new_slot() { return static_cast<unsigned>(slot_count_++); }
  void find_first_steps();

  std::vector<LeafInfo> leaves_;
  std::vector<size_t> param_leaf_;
  std::vector<Step> steps_;
  std::vector<size_t> first_step_;  // per leaf: the step that adds it to its series
  size_t param_count_ = 0;
  size_t slot_count_ = 0;
  size_t zero_slot_ = 0;
  size_t result_slot_ = 0;
  size_t block_ = kBlock;
};

}  // namespace kovrant
