// The number syntax of weight-file metadata values.
//
// Contract: both parsers take the whole text and accept nothing around the
// number (no white space).
// - parse_unsigned_text: an optional "+", then one or more ASCII digits;
//   values that do not fit size_t are rejected.
// - parse_float_text: an optional sign, then either digits with an optional
//   point and an optional exponent (at least one digit before the exponent),
//   or "inf", "infinity", "nan" in any letter case. Correctly rounded; values
//   beyond the double range become infinities, values below it signed zeros.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace kovrant {

std::optional<std::size_t> parse_unsigned_text(std::string_view text);
std::optional<double> parse_float_text(std::string_view text);

}  // namespace kovrant
