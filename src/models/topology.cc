#include "models/topology.h"

#include <algorithm>

namespace kovrant {
namespace {

bool key_less(const Shape& a, const Shape& b) { return a.key < b.key; }

Shape group_shape(const Node& node, std::size_t& counter) {
  struct Branch {
    std::string key;
    std::vector<Shape> shapes;
  };
  std::vector<Branch> branches;
  branches.reserve(node.branches.size());
  for (const SeriesList& branch : node.branches) {
    std::vector<Shape> branch_shapes = shapes(branch, counter);
    branches.push_back({series_key(branch_shapes), std::move(branch_shapes)});
  }
  std::stable_sort(branches.begin(), branches.end(), [](const Branch& a, const Branch& b) { return a.key < b.key; });

  Shape group;
  group.is_group = true;
  group.key = "(";
  for (std::size_t b = 0; b < branches.size(); ++b) {
    if (b > 0) group.key += ",";
    group.key += branches[b].key;
    group.branches.push_back(std::move(branches[b].shapes));
  }
  group.key += ")";
  return group;
}

void collect_spans(std::span<const Shape> shapes, std::vector<ParamSpan>& spans) {
  for (const Shape& shape : shapes) {
    if (!shape.is_group) {
      spans.push_back({shape.start, shape.count});
      continue;
    }
    for (const std::vector<Shape>& branch : shape.branches) collect_spans(branch, spans);
  }
}

}  // namespace

std::vector<Shape> shapes(const SeriesList& nodes, std::size_t& counter) {
  std::vector<Shape> result;
  result.reserve(nodes.size());
  for (const Node& node : nodes) {
    if (node.is_parallel) {
      result.push_back(group_shape(node, counter));
      continue;
    }
    Shape leaf;
    leaf.key = std::string(kind_info(node.element.kind).name);
    leaf.start = counter;
    leaf.count = static_cast<std::size_t>(node.element.param_count());
    counter += leaf.count;
    result.push_back(std::move(leaf));
  }
  std::stable_sort(result.begin(), result.end(), key_less);
  return result;
}

std::string series_key(std::span<const Shape> shapes) {
  std::string key = "[";
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    if (i > 0) key += ",";
    key += shapes[i].key;
  }
  key += ']';
  return key;
}

Canonical canonical(const SeriesList& nodes) {
  std::size_t counter = 0;
  const std::vector<Shape> sorted = shapes(nodes, counter);
  Canonical result;
  result.key = series_key(sorted);
  collect_spans(sorted, result.spans);
  return result;
}

std::optional<std::vector<std::size_t>> match_topology(const SeriesList& model, const SeriesList& user) {
  return match_forms(canonical(model), canonical(user));
}

std::optional<std::vector<std::size_t>> match_forms(const Canonical& model_form, const Canonical& user_form) {
  if (model_form.key != user_form.key) return std::nullopt;
  std::size_t total = 0;
  for (const ParamSpan& span : user_form.spans) total += span.count;
  std::vector<std::size_t> perm(total, 0);
  const std::size_t paired = std::min(model_form.spans.size(), user_form.spans.size());
  for (std::size_t i = 0; i < paired; ++i) {
    const ParamSpan& user_span = user_form.spans[i];
    const ParamSpan& model_span = model_form.spans[i];
    for (std::size_t j = 0; j < user_span.count; ++j) perm[user_span.start + j] = model_span.start + j;
  }
  return perm;
}

std::optional<TopologyMatch> match_or_expand(const SeriesList& model, const SeriesList& user) {
  if (auto perm = match_topology(model, user)) return TopologyMatch{std::move(*perm), false};
  bool changed = false;
  const SeriesList expanded = expand_series(user, changed);
  if (!changed) return std::nullopt;
  if (auto perm = match_topology(model, expanded)) return TopologyMatch{std::move(*perm), true};
  return std::nullopt;
}

}  // namespace kovrant
