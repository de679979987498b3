#include "models/model_table.h"

#include "circuit/parser.h"
#include "util/text.h"

namespace kovrant::model_table {
namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::span<const Entry> entries() { return kModelEntries; }

std::vector<std::string> names() {
  std::vector<std::string> keys;
  for (const Entry& entry : kModelEntries) keys.emplace_back(entry.key);
  return keys;
}

std::string quoted_names() {
  std::string text;
  for (const Entry& entry : kModelEntries) {
    if (!text.empty()) text += ", ";
    text.append("'").append(entry.key).append("'");
  }
  return text;
}

std::optional<std::string_view> notation_for_key(std::string_view text) {
  for (const Entry& entry : kModelEntries) {
    if (equals_ignoring_ascii_case(text, entry.key)) return entry.circuit;
  }
  return std::nullopt;
}

Result<SeriesList, std::string> parse_circuit_text(std::string_view text) {
  const std::string_view trimmed = trim_white_space(text);
  const std::string_view notation = notation_for_key(trimmed).value_or(trimmed);
  auto parsed = parse(notation);
  if (!parsed) return parse_error_report(parsed.error(), notation);
  return std::move(parsed).value();
}

}  // namespace kovrant::model_table
