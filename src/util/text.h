// Text helpers shared by messages and reprs.
//
// Contract: pure functions on UTF-8 text. Byte sequences that are not valid
// UTF-8 (including encoded lone surrogates, which Python passes through with
// "surrogatepass") are decoded leniently: every code unit sequence of the
// usual shape counts as one character, and a stray byte counts as one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kovrant {

// The characters of `text`, one code point per entry.
std::vector<char32_t> decode_characters(std::string_view text);

// Character count of `text` (Unicode scalar values, not bytes).
size_t character_count(std::string_view text);

// `text` in double quotes, with quotes, backslashes and control characters
// escaped by a backslash ("\"", "\\", "\n", "\u{1b}").
std::string debug_quote(std::string_view text);

// Removes Unicode white space from both ends.
std::string_view trim_white_space(std::string_view text);

// Plain number text: shortest round-trip digits without exponent for 0,
// infinities and 1e-4 <= |x| < 1e6 ("100", "0.5", "inf"); otherwise shortest
// scientific form with a bare exponent ("1e-12", "2.5e6", "NaN").
std::string format_plain_number(double x);

// Float text that always shows a fraction or an exponent: "1.0", "0.25",
// "1e-7", "1.5e20" (exponent form below 1e-4 or from 1e16 on), "inf", "NaN".
std::string format_float_literal(double x);

// Scientific form with exactly `digits` digits after the point and a bare
// exponent: "1.234568e-3", "0.000000e0".
std::string format_scientific(double x, int digits);

}  // namespace kovrant
