#include "circuit/tree.h"

#include <algorithm>
#include <cmath>

#include "util/portable_math.h"

namespace kovrant {
namespace {

void collect_into(const SeriesList& series, std::vector<Leaf>& leaves) {
  for (const Node& node : series) {
    if (node.is_parallel) {
      for (const SeriesList& branch : node.branches) collect_into(branch, leaves);
    } else {
      leaves.push_back({&node.element, &node.label});
    }
  }
}

Node two_branch_parallel(Element first, Element second) {
  std::vector<SeriesList> branches(2);
  branches[0].push_back(Node::element_node(first));
  branches[1].push_back(Node::element_node(second));
  return Node::parallel_node(std::move(branches));
}

Element make_element(Kind kind, std::initializer_list<double> values) {
  Element element;
  element.kind = kind;
  std::copy(values.begin(), values.end(), element.values.begin());
  return element;
}

}  // namespace

std::vector<Leaf> collect_leaves(const SeriesList& series) {
  std::vector<Leaf> leaves;
  collect_into(series, leaves);
  return leaves;
}

size_t nesting_depth(const SeriesList& series) {
  size_t depth = 0;
  for (const Node& node : series) {
    if (!node.is_parallel) continue;
    for (const SeriesList& branch : node.branches) depth = std::max(depth, 1 + nesting_depth(branch));
    if (node.branches.empty()) depth = std::max<size_t>(depth, 1);
  }
  return depth;
}

SeriesList expand_series(const SeriesList& series, bool& changed) {
  SeriesList expanded;
  expanded.reserve(series.size());
  for (const Node& node : series) {
    if (node.is_parallel) {
      std::vector<SeriesList> branches;
      branches.reserve(node.branches.size());
      for (const SeriesList& branch : node.branches) branches.push_back(expand_series(branch, changed));
      expanded.push_back(Node::parallel_node(std::move(branches)));
      continue;
    }
    const auto& v = node.element.values;
    if (node.element.kind == Kind::K) {
      expanded.push_back(two_branch_parallel(make_element(Kind::R, {v[0]}), make_element(Kind::C, {v[1] / v[0]})));
      changed = true;
    } else if (node.element.kind == Kind::Zarc) {
      expanded.push_back(two_branch_parallel(make_element(Kind::R, {v[0]}),
                                             make_element(Kind::Cpe, {portable_pow(v[1], v[2]) / v[0], v[2]})));
      changed = true;
    } else {
      expanded.push_back(node);
    }
  }
  return expanded;
}

}  // namespace kovrant
