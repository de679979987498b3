// Canonical topology of a circuit tree, and parameter permutations between
// circuits of the same topology.
//
// Contract: a circuit's canonical key ignores labels, the order of series
// elements and the order of parallel branches; two trees with equal keys
// have the same elements in an equivalent arrangement. Element keys are kind
// names ("Cpe" whatever code the notation used). Ties between equal keys keep
// the written order, so identical parallel groups pair up in written order.
// match_or_expand also tries the user tree with every K and Zarc rewritten
// into its (R, C) or (R, Cpe) pair. Parameter indices follow the tree order of
// the circuit they belong to.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/tree.h"

namespace kovrant {

// Canonical description of one node: an element leaf with its parameter span,
// or a parallel group with its branches in canonical order.
struct Shape {
  std::string key;
  bool is_group = false;
  std::size_t start = 0;                     // leaves: first parameter index
  std::size_t count = 0;                     // leaves: number of parameters
  std::vector<std::vector<Shape>> branches;  // groups
};

struct ParamSpan {
  std::size_t start = 0;
  std::size_t count = 0;
};

struct Canonical {
  std::string key;
  std::vector<ParamSpan> spans;  // leaf spans, depth-first in canonical order
};

// Shapes of one series list, sorted by key (bytewise, stable); `counter` is
// the running parameter index and advances past every leaf.
std::vector<Shape> shapes(const SeriesList& nodes, std::size_t& counter);

// "[" + the keys joined with "," + "]".
std::string series_key(std::span<const Shape> shapes);

Canonical canonical(const SeriesList& nodes);

// perm[u] = the model parameter whose value becomes user parameter u, when
// both trees have the same canonical key.
std::optional<std::vector<std::size_t>> match_topology(const SeriesList& model, const SeriesList& user);

// match_topology on trees already in canonical form.
std::optional<std::vector<std::size_t>> match_forms(const Canonical& model_form, const Canonical& user_form);

struct TopologyMatch {
  std::vector<std::size_t> perm;
  bool expanded = false;  // perm indexes the user tree after expand_series
};

// match_topology on the user tree as written, else on its K/Zarc expansion
// (only when it has something to expand).
std::optional<TopologyMatch> match_or_expand(const SeriesList& model, const SeriesList& user);

}  // namespace kovrant
