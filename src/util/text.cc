#include "util/text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace kovrant {
namespace {

// Length of the UTF-8 sequence introduced by `lead`, or 1 for a stray byte.
size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes one character at text[i], returning its code point and length.
std::pair<char32_t, size_t> decode_one(std::string_view text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const size_t length = sequence_length(lead);
  if (length == 1 || i + length > text.size()) return {lead, 1};
  static constexpr unsigned char kLeadMask[] = {0, 0, 0x1F, 0x0F, 0x07};
  char32_t code = lead & kLeadMask[length];
  for (size_t k = 1; k < length; ++k) {
    const auto byte = static_cast<unsigned char>(text[i + k]);
    if (!is_continuation(byte)) return {lead, 1};
    code = (code << 6) | (byte & 0x3F);
  }
  return {code, length};
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string shortest(double x, std::chars_format format) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, x, format);
  return std::string(buffer, result.ptr);
}

// "2.5e+06" -> "2.5e6", "1e-05" -> "1e-5".
std::string bare_exponent(std::string text) {
  const size_t e = text.find('e');
  if (e == std::string::npos) return text;
  std::string mantissa = text.substr(0, e);
  size_t i = e + 1;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  while (i + 1 < text.size() && text[i] == '0') ++i;
  return mantissa + "e" + (negative ? "-" : "") + text.substr(i);
}

std::string non_finite_text(double x) {
  if (std::isnan(x)) return "NaN";
  return x < 0 ? "-inf" : "inf";
}

}  // namespace

std::vector<char32_t> decode_characters(std::string_view text) {
  std::vector<char32_t> characters;
  characters.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto [code, length] = decode_one(text, i);
    characters.push_back(code);
    i += length;
  }
  return characters;
}

size_t character_count(std::string_view text) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); i += decode_one(text, i).second) ++count;
  return count;
}

std::string debug_quote(std::string_view text) {
  std::string quoted = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto [code, length] = decode_one(text, i);
    switch (code) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      case 0:
        quoted += "\\0";
        break;
      default:
        if (code < 0x20 || code == 0x7F) {
          char buffer[16];
          std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(code));
          quoted += buffer;
        } else {
          quoted.append(text.substr(i, length));
        }
    }
    i += length;
  }
  quoted += "\"";
  return quoted;
}

std::string_view trim_white_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    const auto [code, length] = decode_one(text, begin);
    if (!is_white_space(code)) break;
    begin += length;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && is_continuation(static_cast<unsigned char>(text[start]))) --start;
    const auto [code, length] = decode_one(text, start);
    if (start + length != end || !is_white_space(code)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string format_plain_number(double x) {
  const double magnitude = std::fabs(x);
  if (x == 0.0 || std::isinf(x) || (magnitude >= 1e-4 && magnitude < 1e6)) {
    if (std::isinf(x)) return non_finite_text(x);
    return shortest(x, std::chars_format::fixed);
  }
  if (std::isnan(x)) return "NaN";
  return bare_exponent(shortest(x, std::chars_format::scientific));
}

std::string format_float_literal(double x) {
  if (!std::isfinite(x)) return non_finite_text(x);
  const double magnitude = std::fabs(x);
  if (x != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16)) {
    return bare_exponent(shortest(x, std::chars_format::scientific));
  }
  std::string text = shortest(x, std::chars_format::fixed);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

std::string format_scientific(double x, int digits) {
  if (!std::isfinite(x)) return non_finite_text(x);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*e", digits, x);
  return bare_exponent(buffer);
}

}  // namespace kovrant
