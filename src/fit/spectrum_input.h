// Measured spectra as callers hand them in: two lists, or the columns of a
// battery-data-format dataframe, and the name of a weighting scheme.
//
// Contract: every failure is a message for the user, returned as a value.
// Column lookups themselves happen in the caller (they need the frame
// object); this module knows the column names and turns what was found into
// a Spectrum. Frequencies stay in hertz.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "elements/complex.h"
#include "fit/residuals.h"
#include "util/result.h"

namespace kovrant {

struct Spectrum {
  std::vector<double> frequencies;
  std::vector<Complex> impedances;
};

// A quantity's two column names, tried in this order.
struct ColumnPair {
  std::string_view first;
  std::string_view second;

  // "\"Frequency / Hz\" or \"frequency_hertz\""
  std::string label() const;
};

inline constexpr ColumnPair kFrequencyColumn{"Frequency / Hz", "frequency_hertz"};
inline constexpr ColumnPair kRealColumn{"Real Impedance / ohm", "real_impedance_ohm"};
inline constexpr ColumnPair kImaginaryColumn{"Imaginary Impedance / ohm", "imaginary_impedance_ohm"};
inline constexpr ColumnPair kModulusColumn{"Absolute Impedance / ohm", "absolute_impedance_ohm"};
inline constexpr ColumnPair kPhaseColumn{"Phase / deg", "phase_degree"};

// The columns found in a frame; an absent column is nullopt.
struct FrameColumns {
  std::vector<double> frequency;
  std::optional<std::vector<double>> real;
  std::optional<std::vector<double>> imaginary;
  std::optional<std::vector<double>> modulus;
  std::optional<std::vector<double>> phase;
};

// Two-argument form: both lists unchanged, provided their lengths agree.
Result<Spectrum, std::string> spectrum_from_lists(std::vector<double> frequencies, std::vector<Complex> impedances);

// Frame form: impedances from real and imaginary parts (preferred) or from
// modulus and phase in degrees; rows whose frequency is not above zero are
// dropped.
Result<Spectrum, std::string> spectrum_from_columns(FrameColumns columns);

// "column \"Phase / deg\" is not numeric"
std::string not_numeric_message(std::string_view column_name);

// A frame without any frequency column.
std::string missing_frequency_column_message();

// An impedance() argument that is neither frequencies nor such a frame.
std::string not_frequencies_message();

// "modulus" or "unit", exactly.
Result<Weighting, std::string> parse_weighting(std::string_view text);

}  // namespace kovrant
