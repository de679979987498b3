// The circuit notation: "R0-(R1,CPE1)", "L0-R0-p(R1,CPE1)-W2".
//
// Contract: parse() reads the whole text by recursive descent with one shared
// position and no backtracking, and returns the tree or the first ParseError.
// Positions count characters (code points), not bytes. Parsed element nodes
// carry their notation text as label, and labels are unique. Groups nested
// deeper than kMaxNesting fail with TooDeep rather than recursing further.
#pragma once

#include <string>
#include <string_view>

#include "circuit/tree.h"
#include "util/result.h"

namespace kovrant {

struct ParseError {
  enum class Kind { UnexpectedCharacter, UnexpectedEnd, UnknownCode, TrailingInput, DuplicateLabel, TooDeep };
  Kind kind;
  size_t position = 0;  // UnexpectedCharacter, UnknownCode, TrailingInput, TooDeep
  std::string text;     // the code (UnknownCode) or the label (DuplicateLabel)

  bool has_position() const { return kind != Kind::UnexpectedEnd && kind != Kind::DuplicateLabel; }
  std::string message() const;
};

Result<SeriesList, ParseError> parse(std::string_view text);

// The multi-line report shown for a parse error of `parsed_text`: the message,
// the text with a caret under the position (for errors that have one), the
// syntax summary and the element catalogue.
std::string parse_error_report(const ParseError& error, std::string_view parsed_text);

}  // namespace kovrant
