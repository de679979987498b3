#include "python/spectrum.h"

#include <string>

#include "python/conversions.h"

namespace kovrant::python {
namespace {

enum class Lookup { Found, Absent, Failed };

// frame[name]; an ordinary exception from the lookup means "absent".
Lookup item_by_name(PyObject* frame, std::string_view name, PyRef& item) {
  PyRef key = str_from_utf8(name);
  if (!key) return Lookup::Failed;
  item = PyRef::steal(PyObject_GetItem(frame, key.get()));
  if (item) return Lookup::Found;
  return discard_ordinary_error() ? Lookup::Absent : Lookup::Failed;
}

// One quantity of a frame, under its first or else its second name.
// Failed means an exception is pending (a non-numeric column included).
Lookup column(PyObject* frame, const ColumnPair& pair, std::vector<double>& out) {
  PyRef item;
  std::string_view found_name = pair.first;
  Lookup lookup = item_by_name(frame, pair.first, item);
  if (lookup == Lookup::Absent) {
    found_name = pair.second;
    lookup = item_by_name(frame, pair.second, item);
  }
  if (lookup != Lookup::Found) return lookup;
  if (float_sequence(item.get(), out)) return Lookup::Found;
  if (discard_ordinary_error()) raise_message(PyExc_ValueError, not_numeric_message(found_name));
  return Lookup::Failed;
}

// An optional column: nullopt when absent. False when an error is pending.
bool optional_column(PyObject* frame, const ColumnPair& pair, std::optional<std::vector<double>>& out) {
  std::vector<double> values;
  const Lookup lookup = column(frame, pair, values);
  if (lookup == Lookup::Failed) return false;
  if (lookup == Lookup::Found) out = std::move(values);
  return true;
}

std::optional<Spectrum> from_result(Result<Spectrum, std::string> result) {
  if (result) return std::move(result).value();
  raise_message(PyExc_ValueError, result.error());
  return std::nullopt;
}

std::optional<Spectrum> read_frame(PyObject* frame) {
  FrameColumns columns;
  const Lookup frequency = column(frame, kFrequencyColumn, columns.frequency);
  if (frequency == Lookup::Failed) return std::nullopt;
  if (frequency == Lookup::Absent) {
    raise_message(PyExc_ValueError, missing_frequency_column_message());
    return std::nullopt;
  }
  if (!optional_column(frame, kRealColumn, columns.real) ||
      !optional_column(frame, kImaginaryColumn, columns.imaginary) ||
      !optional_column(frame, kModulusColumn, columns.modulus) ||
      !optional_column(frame, kPhaseColumn, columns.phase)) {
    return std::nullopt;
  }
  return from_result(spectrum_from_columns(std::move(columns)));
}

std::optional<Spectrum> read_two_lists(PyObject* frequencies, PyObject* impedances) {
  std::vector<double> frequency_list;
  if (!float_sequence(frequencies, frequency_list)) return std::nullopt;
  std::vector<Complex> impedance_list;
  if (!complex_sequence(impedances, impedance_list)) return std::nullopt;
  return from_result(spectrum_from_lists(std::move(frequency_list), std::move(impedance_list)));
}

}  // namespace

std::optional<Spectrum> read_spectrum(PyObject* frequencies, PyObject* impedances) {
  if (impedances == nullptr || impedances == Py_None) return read_frame(frequencies);
  return read_two_lists(frequencies, impedances);
}

bool read_frequencies(PyObject* argument, std::vector<double>& out) {
  if (float_sequence(argument, out)) return true;
  if (!discard_ordinary_error()) return false;
  out.clear();
  const Lookup lookup = column(argument, kFrequencyColumn, out);
  if (lookup == Lookup::Absent) raise_message(PyExc_ValueError, not_frequencies_message());
  return lookup == Lookup::Found;
}

std::optional<Weighting> weighting_from_text(std::string_view text) {
  auto scheme = parse_weighting(text);
  if (scheme) return scheme.value();
  raise_message(PyExc_ValueError, scheme.error());
  return std::nullopt;
}

}  // namespace kovrant::python
