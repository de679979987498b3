// Measured spectra from Python arguments: two sequences, or one object with
// item access by column name (a pandas DataFrame, a dict of lists, ...).
#pragma once

#include <optional>
#include <vector>

#include "fit/residuals.h"
#include "fit/spectrum_input.h"
#include "python/py_ref.h"

namespace kovrant::python {

// `impedances` null (or None) selects the frame form. nullopt with an
// exception set on failure.
std::optional<Spectrum> read_spectrum(PyObject* frequencies, PyObject* impedances);

// impedance()'s argument: a sequence of frequencies, else a frame's
// frequency column (all rows kept).
bool read_frequencies(PyObject* argument, std::vector<double>& out);

// The scheme a `weight` text names.
std::optional<Weighting> weighting_from_text(std::string_view text);

}  // namespace kovrant::python
