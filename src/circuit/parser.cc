#include "circuit/parser.h"

#include <unordered_set>

#include "util/text.h"

namespace kovrant {
namespace {

bool is_ascii_letter(char32_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }

class Parser {
 public:
  explicit Parser(std::string_view text) : characters_(decode_characters(text)) {}

  Result<SeriesList, ParseError> parse_all() {
    SeriesList series;
    if (auto error = parse_series(series, 0)) return std::move(*error);
    if (position_ != characters_.size()) return ParseError{ParseError::Kind::TrailingInput, position_, {}};
    return series;
  }

 private:
  using MaybeError = std::optional<ParseError>;

  bool at(char32_t c) const { return position_ < characters_.size() && characters_[position_] == c; }

  MaybeError parse_series(SeriesList& series, size_t depth) {
    if (auto error = parse_item(series, depth)) return error;
    while (at('-')) {
      ++position_;
      if (auto error = parse_item(series, depth)) return error;
    }
    return std::nullopt;
  }

  MaybeError parse_item(SeriesList& series, size_t depth) {
    const bool open = at('(');
    const bool p_open = at('p') && position_ + 1 < characters_.size() && characters_[position_ + 1] == '(';
    if (!open && !p_open) return parse_element(series);
    if (depth >= kMaxNesting) return ParseError{ParseError::Kind::TooDeep, position_, {}};
    position_ += open ? 1 : 2;
    return parse_parallel(series, depth + 1);
  }

  MaybeError parse_parallel(SeriesList& series, size_t depth) {
    std::vector<SeriesList> branches;
    while (true) {
      SeriesList branch;
      if (auto error = parse_series(branch, depth)) return error;
      branches.push_back(std::move(branch));
      if (at(',')) {
        ++position_;
      } else if (at(')')) {
        ++position_;
        break;
      } else {
        return ParseError{ParseError::Kind::UnexpectedEnd, 0, {}};
      }
    }
    series.push_back(Node::parallel_node(std::move(branches)));
    return std::nullopt;
  }

  MaybeError parse_element(SeriesList& series) {
    if (position_ >= characters_.size()) return ParseError{ParseError::Kind::UnexpectedEnd, 0, {}};
    const size_t start = position_;
    while (position_ < characters_.size() && is_ascii_letter(characters_[position_])) ++position_;
    if (position_ == start) return ParseError{ParseError::Kind::UnexpectedCharacter, position_, {}};
    const size_t letters_end = position_;
    while (position_ < characters_.size() && is_ascii_digit(characters_[position_])) ++position_;
    if (position_ == letters_end) return ParseError{ParseError::Kind::UnexpectedCharacter, position_, {}};
    // Letters and digits are ASCII, so each character is one byte.
    std::string code(characters_.begin() + start, characters_.begin() + letters_end);
    std::string label(characters_.begin() + start, characters_.begin() + position_);
    const auto element = Element::default_for_code(code);
    if (!element) return ParseError{ParseError::Kind::UnknownCode, start, std::move(code)};
    series.push_back(Node::element_node(*element, std::move(label)));
    return std::nullopt;
  }

  std::vector<char32_t> characters_;
  size_t position_ = 0;
};

std::string catalogue_line(std::string_view code) {
  const auto element = Element::default_for_code(code);
  if (!element) std::abort();  // Element::CODES entries must all be valid
  const KindInfo& info = kind_info(element->kind);
  std::string line = "  " + std::string(code);
  line.append(code.size() < 4 ? 4 - code.size() : 0, ' ');
  line += "  ";
  for (int i = 0; i < info.param_count; ++i) {
    if (i > 0) line += ", ";
    line += std::string(info.fields[i]) + " [" + std::string(info.units[i]) + "]";
  }
  return line;
}

}  // namespace

std::string ParseError::message() const {
  switch (kind) {
    case Kind::UnexpectedCharacter:
      return "unexpected character at position " + std::to_string(position);
    case Kind::UnexpectedEnd:
      return "unexpected end of input";
    case Kind::UnknownCode:
      return "unknown element code " + debug_quote(text) + " at position " + std::to_string(position);
    case Kind::TrailingInput:
      return "unexpected trailing input at position " + std::to_string(position);
    case Kind::DuplicateLabel:
      return "duplicate element label " + debug_quote(text);
    case Kind::TooDeep:
      return "parallel groups nested deeper than " + std::to_string(kMaxNesting) + " levels at position " +
             std::to_string(position);
  }
  return {};
}

Result<SeriesList, ParseError> parse(std::string_view text) {
  auto parsed = Parser(text).parse_all();
  if (!parsed) return parsed;
  std::unordered_set<std::string_view> seen;
  for (const Leaf& leaf : collect_leaves(parsed.value())) {
    const std::string& label = **leaf.label;
    if (!seen.insert(label).second) return ParseError{ParseError::Kind::DuplicateLabel, 0, label};
  }
  return parsed;
}

std::string parse_error_report(const ParseError& error, std::string_view parsed_text) {
  std::string report = error.message();
  if (error.has_position()) {
    report += "\n\n  ";
    report += parsed_text;
    report += "\n  ";
    report.append(error.position, ' ');
    report += '^';
  }
  report +=
      "\n\nsyntax:\n"
      "  - every element needs a numeric label, e.g. \"R0\" and \"C1\", not \"R\" and \"C\"\n"
      "  - connect elements in series with '-', e.g. \"R0-C1\"\n"
      "  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or \"R0-p(R1,C1)\"\n"
      "\navailable elements (code, parameters, [units]):";
  for (std::string_view code : Element::CODES) {
    report += '\n';
    report += catalogue_line(code);
  }
  return report;
}

}  // namespace kovrant
