#include "fit/spectrum_input.h"

#include <cmath>

#include "util/text.h"
#include "util/portable_math.h"

namespace kovrant {
namespace {

constexpr double kRadiansPerDegree = 0.017453292519943295;

std::string row_count_mismatch(size_t frequency_rows, const ColumnPair& a, const ColumnPair& b, size_t impedance_rows) {
  return "frequency column has " + std::to_string(frequency_rows) + " rows but " + a.label() + " and " + b.label() +
         " have " + std::to_string(impedance_rows);
}

std::vector<Complex> from_parts(const std::vector<double>& real, const std::vector<double>& imaginary) {
  std::vector<Complex> impedances(real.size());
  for (size_t i = 0; i < real.size(); ++i) impedances[i] = {real[i], imaginary[i]};
  return impedances;
}

std::vector<Complex> from_polar_degrees(const std::vector<double>& modulus, const std::vector<double>& phase) {
  std::vector<Complex> impedances(modulus.size());
  for (size_t i = 0; i < modulus.size(); ++i) {
    const SinCos angle = portable_sincos(phase[i] * kRadiansPerDegree);
    impedances[i] = {modulus[i] * angle.cos, modulus[i] * angle.sin};
  }
  return impedances;
}

// NaN frequencies fail the comparison and go too.
Spectrum keep_positive_frequencies(const std::vector<double>& frequencies, const std::vector<Complex>& impedances) {
  Spectrum kept;
  for (size_t i = 0; i < frequencies.size(); ++i) {
    if (frequencies[i] > 0.0) {
      kept.frequencies.push_back(frequencies[i]);
      kept.impedances.push_back(impedances[i]);
    }
  }
  return kept;
}

}  // namespace

std::string ColumnPair::label() const { return debug_quote(first) + " or " + debug_quote(second); }

Result<Spectrum, std::string> spectrum_from_lists(std::vector<double> frequencies, std::vector<Complex> impedances) {
  if (frequencies.size() != impedances.size())
    return std::string("frequencies and impedances must have the same length");
  return Spectrum{std::move(frequencies), std::move(impedances)};
}

Result<Spectrum, std::string> spectrum_from_columns(FrameColumns columns) {
  std::vector<Complex> impedances;
  const ColumnPair* first_used;
  const ColumnPair* second_used;
  if (columns.real && columns.imaginary) {
    if (columns.real->size() != columns.imaginary->size()) {
      return std::string("real and imaginary impedance columns must have the same length");
    }
    impedances = from_parts(*columns.real, *columns.imaginary);
    first_used = &kRealColumn;
    second_used = &kImaginaryColumn;
  } else if (columns.modulus && columns.phase) {
    if (columns.modulus->size() != columns.phase->size()) {
      return std::string("absolute impedance and phase columns must have the same length");
    }
    impedances = from_polar_degrees(*columns.modulus, *columns.phase);
    first_used = &kModulusColumn;
    second_used = &kPhaseColumn;
  } else {
    return "no impedance columns: expected " + kRealColumn.label() + " together with " + kImaginaryColumn.label() +
           ", or " + kModulusColumn.label() + " together with " + kPhaseColumn.label();
  }
  if (columns.frequency.size() != impedances.size()) {
    return row_count_mismatch(columns.frequency.size(), *first_used, *second_used, impedances.size());
  }
  Spectrum kept = keep_positive_frequencies(columns.frequency, impedances);
  if (kept.frequencies.empty()) {
    return "no measured points: every row of the " + kFrequencyColumn.label() + " column is zero or negative";
  }
  return kept;
}

std::string not_numeric_message(std::string_view column_name) {
  return "column " + debug_quote(column_name) + " is not numeric";
}

std::string missing_frequency_column_message() {
  return "expected a dataframe with a " + kFrequencyColumn.label() +
         " column, or frequencies and impedances as two arguments";
}

std::string not_frequencies_message() {
  return "expected a sequence of frequencies, or a dataframe with a " + kFrequencyColumn.label() + " column";
}

Result<Weighting, std::string> parse_weighting(std::string_view text) {
  if (text == "unit") return Weighting::Unit;
  if (text == "modulus") return Weighting::Modulus;
  return "unknown weight scheme " + debug_quote(text) + ", expected \"modulus\" or \"unit\"";
}

}  // namespace kovrant
