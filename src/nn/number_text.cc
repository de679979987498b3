#include "nn/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace kovrant {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != lower[i]) return false;
  }
  return true;
}

// Where the parts of a decimal number lie in its text (sign excluded).
struct DecimalLayout {
  std::size_t mantissa_end = 0;  // index of the exponent marker, or the length
  long long exponent = 0;        // saturated well beyond the double range
};

// Validates digits[.digits][(e|E)[sign]digits]; nothing else may follow.
std::optional<DecimalLayout> scan_decimal(std::string_view text) {
  std::size_t i = 0;
  std::size_t digits = 0;
  while (i < text.size() && is_digit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && is_digit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  DecimalLayout layout{i, 0};
  if (i == text.size()) return layout;
  if (text[i] != 'e' && text[i] != 'E') return std::nullopt;
  ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  for (; i < text.size(); ++i) {
    if (!is_digit(text[i])) return std::nullopt;
    if (layout.exponent < 1'000'000'000) layout.exponent = layout.exponent * 10 + (text[i] - '0');
  }
  if (negative) layout.exponent = -layout.exponent;
  return layout;
}

// Decimal exponent of the leading non-zero digit of the mantissa, used to
// tell overflow from underflow when the conversion is out of range.
long long leading_digit_exponent(std::string_view mantissa) {
  const std::size_t point = mantissa.find('.');
  const std::size_t integer_digits = point == std::string_view::npos ? mantissa.size() : point;
  long long position = static_cast<long long>(integer_digits);
  for (char c : mantissa) {
    if (c == '.') continue;
    --position;
    if (c != '0') return position;
  }
  return 0;
}

}  // namespace

std::optional<std::size_t> parse_unsigned_text(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  for (char c : text) {
    if (!is_digit(c)) return std::nullopt;
    const std::size_t digit = static_cast<std::size_t>(c - '0');
    if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<double> parse_float_text(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  const double sign = negative ? -1.0 : 1.0;
  if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity")) {
    return sign * std::numeric_limits<double>::infinity();
  }
  if (equals_ignoring_case(text, "nan")) return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
  const auto layout = scan_decimal(text);
  if (!layout) return std::nullopt;
  double magnitude = 0.0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), magnitude, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    const long long scale = leading_digit_exponent(text.substr(0, layout->mantissa_end)) + layout->exponent;
    magnitude = scale > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
    return std::nullopt;
  }
  return sign * magnitude;
}

}  // namespace kovrant
