#include "circuit/params.h"

#include <algorithm>
#include <array>

#include "util/text.h"

namespace kovrant {
namespace {

// Calls visit(info, field index, element values, name label) for every
// parameter in order.
template <typename Visit>
void for_each_param(const SeriesList& series, Visit&& visit) {
  for (const Leaf& leaf : collect_leaves(series)) {
    const KindInfo& info = kind_info(leaf.element->kind);
    for (int field = 0; field < info.param_count; ++field) visit(*leaf.element, info, field);
  }
}

void rebuild_into(const SeriesList& series, std::span<const double> values, size_t& cursor, SeriesList& out) {
  out.reserve(series.size());
  for (const Node& node : series) {
    if (node.is_parallel) {
      std::vector<SeriesList> branches(node.branches.size());
      for (size_t b = 0; b < node.branches.size(); ++b) rebuild_into(node.branches[b], values, cursor, branches[b]);
      out.push_back(Node::parallel_node(std::move(branches)));
      continue;
    }
    Element element = node.element;
    const int count = element.param_count();
    std::copy_n(values.begin() + static_cast<std::ptrdiff_t>(cursor), count, element.values.begin());
    cursor += static_cast<size_t>(count);
    out.push_back(Node::element_node(element, node.label));
  }
}

size_t edit_distance(const std::vector<char32_t>& a, const std::vector<char32_t>& b) {
  std::vector<size_t> previous(b.size() + 1), current(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t substitution = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitution});
    }
    std::swap(previous, current);
  }
  return previous[b.size()];
}

}  // namespace

size_t param_count(const SeriesList& series) {
  size_t count = 0;
  for (const Leaf& leaf : collect_leaves(series)) count += static_cast<size_t>(leaf.element->param_count());
  return count;
}

std::vector<std::string> param_names(const SeriesList& series) {
  std::vector<std::string> names;
  std::array<size_t, kKindCount> counters{};
  for (const Leaf& leaf : collect_leaves(series)) {
    const KindInfo& info = kind_info(leaf.element->kind);
    std::string label;
    if (leaf.label->has_value()) {
      label = **leaf.label;
    } else {
      size_t& counter = counters[static_cast<size_t>(leaf.element->kind)];
      label = std::string(info.name) + std::to_string(counter++);
    }
    for (int field = 0; field < info.param_count; ++field)
      names.push_back(label + "." + std::string(info.fields[field]));
  }
  return names;
}

std::vector<std::string> param_units(const SeriesList& series) {
  std::vector<std::string> units;
  for_each_param(series,
                 [&](const Element&, const KindInfo& info, int field) { units.emplace_back(info.units[field]); });
  return units;
}

std::vector<Bounds> param_bounds(const SeriesList& series) {
  std::vector<Bounds> bounds;
  for_each_param(series, [&](const Element&, const KindInfo& info, int field) {
    bounds.push_back(default_bounds_for_field(info.fields[field]));
  });
  return bounds;
}

std::vector<double> param_values(const SeriesList& series) {
  std::vector<double> values;
  for_each_param(series,
                 [&](const Element& element, const KindInfo&, int field) { values.push_back(element.values[field]); });
  return values;
}

SeriesList rebuild(const SeriesList& series, std::span<const double> values) {
  if (values.size() < param_count(series)) std::abort();  // callers check the count first
  SeriesList out;
  size_t cursor = 0;
  rebuild_into(series, values, cursor, out);
  return out;
}

std::optional<std::string> closest_param_name(std::string_view unknown, const std::vector<std::string>& candidates) {
  const std::vector<char32_t> unknown_chars = decode_characters(unknown);
  const size_t k = unknown_chars.size();
  const size_t threshold = k < 6 ? 2 : k / 2;
  std::optional<size_t> best;
  size_t best_distance = 0;
  for (size_t i = 0; i < candidates.size(); ++i) {
    const size_t distance = edit_distance(unknown_chars, decode_characters(candidates[i]));
    if (!best || distance < best_distance) {
      best = i;
      best_distance = distance;
    }
  }
  if (!best || best_distance > threshold) return std::nullopt;
  return candidates[*best];
}

}  // namespace kovrant
