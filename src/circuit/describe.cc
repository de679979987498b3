#include "circuit/describe.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "circuit/params.h"
#include "util/text.h"

namespace kovrant {
namespace {

// `text` followed by spaces up to `width` characters.
std::string pad_right(std::string text, size_t width) {
  const size_t length = character_count(text);
  if (length < width) text.append(width - length, ' ');
  return text;
}

size_t longest_length(const std::vector<std::string>& texts) {
  size_t longest = 0;
  for (const std::string& text : texts) longest = std::max(longest, character_count(text));
  return longest;
}

std::string bounds_text(const Bounds& bounds) {
  return "bounds (" + format_plain_number(bounds.lo) + ", " + format_plain_number(bounds.hi) + ")";
}

// ["a", "b"]
std::string quoted_list(std::span<const std::string> texts) {
  std::string list = "[";
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) list += ", ";
    list += debug_quote(texts[i]);
  }
  return list + "]";
}

std::string unknown_parameter_line(const std::string& key, const std::vector<std::string>& names) {
  std::string line = "unknown parameter " + debug_quote(key);
  if (const auto best = closest_param_name(key, names)) line += " (did you mean " + debug_quote(*best) + "?)";
  return line;
}

}  // namespace

std::string describe_circuit(const SeriesList& series) {
  const std::vector<std::string> names = param_names(series);
  const std::vector<double> values = param_values(series);
  const std::vector<std::string> units = param_units(series);
  const std::vector<Bounds> bounds = param_bounds(series);
  const size_t width = longest_length(names);
  const size_t rows = std::min({names.size(), values.size(), units.size(), bounds.size()});

  std::string text = "Circuit (" + std::to_string(names.size()) + " parameter" + (names.size() == 1 ? "" : "s") + ")\n";
  for (size_t i = 0; i < rows; ++i) {
    if (i > 0) text += "\n";
    text += "  " + pad_right(names[i], width) + " = " + pad_right(format_plain_number(values[i]), 10) + " [" +
            units[i] + "]  " + bounds_text(bounds[i]);
  }
  return text;
}

std::string describe_element(const Element& element) {
  const KindInfo& info = kind_info(element.kind);
  std::string text = "Element." + std::string(info.name) + "(";
  for (int i = 0; i < info.param_count; ++i) {
    if (i > 0) text += ", ";
    text += std::string(info.fields[i]) + "=" + format_float_literal(element.values[i]);
  }
  return text + ")";
}

Result<std::vector<double>, std::string> assign_named_values(const SeriesList& series,
                                                             std::span<const std::pair<std::string, double>> supplied) {
  const std::vector<std::string> names = param_names(series);
  const std::unordered_set<std::string_view> known(names.begin(), names.end());
  std::unordered_map<std::string_view, double> by_name;
  std::vector<std::string> unknown;
  for (const auto& [key, value] : supplied) {
    by_name[key] = value;
    if (!known.contains(key)) unknown.push_back(key);
  }
  std::vector<std::string> missing;
  std::vector<double> values;
  values.reserve(names.size());
  for (const std::string& name : names) {
    const auto found = by_name.find(name);
    if (found == by_name.end()) {
      missing.push_back(name);
    } else {
      values.push_back(found->second);
    }
  }
  if (!unknown.empty() || !missing.empty()) return named_values_report(series, unknown, missing);
  return values;
}

std::string named_values_report(const SeriesList& series, std::span<const std::string> unknown,
                                std::span<const std::string> missing) {
  const std::vector<std::string> names = param_names(series);
  const std::vector<std::string> units = param_units(series);
  const std::vector<Bounds> bounds = param_bounds(series);
  std::vector<std::string> lines;
  for (const std::string& key : unknown) lines.push_back(unknown_parameter_line(key, names));
  if (!missing.empty()) lines.push_back("missing parameter(s): " + quoted_list(missing));
  lines.emplace_back();
  lines.emplace_back("valid parameters for this circuit:");
  const size_t width = longest_length(names);
  for (size_t i = 0; i < names.size(); ++i) {
    lines.push_back("  " + pad_right(names[i], width) + "  [" + units[i] + "]  " + bounds_text(bounds[i]));
  }
  std::string report;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) report += "\n";
    report += lines[i];
  }
  return report;
}

std::string describe_fit_result(bool success, std::uint64_t iterations, std::uint64_t impedance_evals,
                                double chi_square, std::span<const std::string> names, std::span<const double> values) {
  const size_t pairs = std::min(names.size(), values.size());
  std::vector<std::string_view> order;
  std::unordered_map<std::string_view, double> last_value;
  for (size_t i = 0; i < pairs; ++i) {
    if (!last_value.contains(names[i])) order.push_back(names[i]);
    last_value[names[i]] = values[i];
  }
  std::string params;
  for (const std::string_view name : order) {
    if (!params.empty()) params += ", ";
    params += debug_quote(name) + ": " + format_float_literal(last_value[name]);
  }
  return "FitResult(success=" + std::string(success ? "true" : "false") + ", iterations=" + std::to_string(iterations) +
         ", impedance_evals=" + std::to_string(impedance_evals) + ", chi_square=" + format_scientific(chi_square, 6) +
         ", params={" + params + "})";
}

std::string value_count_message(size_t expected, size_t got) {
  return "expected " + std::to_string(expected) + " values, got " + std::to_string(got);
}

std::string too_few_params_message(size_t expected, size_t got) {
  return "expected at least " + std::to_string(expected) + " params, got " + std::to_string(got);
}

std::string nesting_too_deep_message(size_t depth) {
  return "parallel groups would be nested " + std::to_string(depth) + " levels deep, more than the " +
         std::to_string(kMaxNesting) + " levels a circuit may have";
}

}  // namespace kovrant

namespace kovrant {
namespace {

// Writes `series` consuming one label per element from `labels` in tree order.
void write_notation(const SeriesList& series, std::vector<std::string>::const_iterator& labels, std::string& out) {
  for (size_t i = 0; i < series.size(); ++i) {
    if (i > 0) out += '-';
    const Node& node = series[i];
    if (!node.is_parallel) {
      out += *labels++;
      continue;
    }
    out += '(';
    for (size_t b = 0; b < node.branches.size(); ++b) {
      if (b > 0) out += ',';
      write_notation(node.branches[b], labels, out);
    }
    out += ')';
  }
}

}  // namespace

std::string to_notation(const SeriesList& series) {
  // Element labels as the parameter names carry them, automatic ones included.
  std::vector<std::string> labels;
  const std::vector<std::string> names = param_names(series);
  size_t offset = 0;
  for (const Leaf& leaf : collect_leaves(series)) {
    const std::string& first = names[offset];
    labels.push_back(first.substr(0, first.rfind('.')));
    offset += static_cast<size_t>(leaf.element->param_count());
  }
  std::string out;
  auto cursor = std::as_const(labels).begin();
  write_notation(series, cursor, out);
  return out;
}

}  // namespace kovrant
