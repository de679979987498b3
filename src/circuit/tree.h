// The circuit tree: a series list of nodes, each an element (with an optional
// label) or a parallel group of branches, each branch again a series list.
//
// Contract: trees are plain values; copying is a deep copy. Tree order is
// depth-first, left to right, all of a parallel node's first branch before its
// second; parameter vectors and evaluation follow it. Every tree the system
// builds nests parallel groups at most kMaxNesting deep, so the recursive walks
// over trees cannot exhaust the stack.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "elements/element.h"

namespace kovrant {

inline constexpr size_t kMaxNesting = 256;

struct Node;
using SeriesList = std::vector<Node>;

struct Node {
  bool is_parallel = false;
  Element element;                   // element nodes only
  std::optional<std::string> label;  // element nodes only
  std::vector<SeriesList> branches;  // parallel nodes only

  static Node element_node(const Element& element, std::optional<std::string> label = std::nullopt) {
    Node node;
    node.element = element;
    node.label = std::move(label);
    return node;
  }
  static Node parallel_node(std::vector<SeriesList> branches) {
    Node node;
    node.is_parallel = true;
    node.branches = std::move(branches);
    return node;
  }
};

// One element node of a tree, as seen by collect_leaves.
struct Leaf {
  const Element* element;
  const std::optional<std::string>* label;
};

// All element nodes in tree order, as references into `series`.
std::vector<Leaf> collect_leaves(const SeriesList& series);

// Deepest nesting of parallel groups (0 for a tree without any).
size_t nesting_depth(const SeriesList& series);

// The K/Zarc rewrite: K(r, tau_k) becomes (R(r), C(tau_k / r)) and
// Zarc(r, tau_k, gamma) becomes (R(r), Cpe(tau_k^gamma / r, gamma)), both
// unlabelled. Sets `changed` when anything was rewritten; never clears it.
SeriesList expand_series(const SeriesList& series, bool& changed);

}  // namespace kovrant
