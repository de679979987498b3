// The catalogue of the fourteen element kinds.
//
// Contract: for each kind, kind_info() gives its kind name, catalogue code,
// field names, units, default values and parameter count; every other part of
// the system reads the physics of an element from here. Element is a plain
// value (kind plus up to four doubles, no label). element_impedance() evaluates
// the textbook formula of a kind at one angular frequency with no guard
// against zero denominators or non-finite values: IEEE results propagate.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "elements/complex.h"
#include "util/portable_math.h"

namespace kovrant {

enum class Kind : std::uint8_t { R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T };

inline constexpr int kKindCount = 14;
inline constexpr int kMaxFields = 4;

struct KindInfo {
  std::string_view name;  // "Cpe": class names, reprs, automatic labels
  std::string_view code;  // "CPE": the catalogue code listed in error reports
  int param_count;
  std::array<std::string_view, kMaxFields> fields;
  std::array<std::string_view, kMaxFields> units;
  std::array<double, kMaxFields> defaults;
};

const KindInfo& kind_info(Kind kind);

// Kinds in catalogue order, for walking the whole catalogue.
const std::array<Kind, kKindCount>& all_kinds();

struct Bounds {
  double lo;
  double hi;
};

// Default physical bounds of a parameter, decided by its field name alone.
Bounds default_bounds_for_field(std::string_view field);

struct Element {
  Kind kind = Kind::R;
  std::array<double, kMaxFields> values{};

  // The fourteen catalogue codes, in kind order.
  static const std::array<std::string_view, kKindCount> CODES;

  // The default element of the kind whose parser code is exactly `code`
  // ("CPE" and "Cpe" both give a CPE), or nothing.
  static std::optional<Element> default_for_code(std::string_view code);

  int param_count() const { return kind_info(kind).param_count; }
  std::span<const double> field_values() const {
    return std::span<const double>(values.data(), static_cast<size_t>(param_count()));
  }
};

// Impedance of an element of `kind` whose fields are values[0..param_count)
// at angular frequency omega (rad/s).
Complex element_impedance(Kind kind, const double* values, double omega);

inline Complex element_impedance(const Element& element, double omega) {
  return element_impedance(element.kind, element.values.data(), omega);
}

// The same impedance at omegas[0..count), bit-identical to element_impedance
// at each point; the angle of (j*omega)^exponent is computed once per call.
// log_omegas, when given, holds precise_log(omegas[i]) for every i, which
// spares the kinds with a j*omega exponent (below) most of their cost.
void element_impedance_list(Kind kind, const double* values, const double* omegas, size_t count, Complex* out,
                            const PreciseLog* log_omegas = nullptr);

// CPE and TLMQ raise j*omega to one of their fields: its index, else -1.
// Their impedance splits into (j*omega)^exponent, which only that field
// changes, and the rest, so a caller that varies another field can keep the
// powers: element_impedance_from_powers(kind, values, omegas, powers, ...)
// with powers from j_omega_powers(values[field], omegas, ...) gives the bits
// of element_impedance_list.
int j_omega_exponent_field(Kind kind);
void j_omega_powers(double exponent, const double* omegas, const PreciseLog* log_omegas, size_t count, Complex* out);
void element_impedance_from_powers(Kind kind, const double* values, const double* omegas, const Complex* powers,
                                   size_t count, Complex* out);

}  // namespace kovrant
