// kovrant_tools._engine.fit_series: the joint fit of a series of spectra,
// for kovrant_tools.fit_series. Converts arguments and results only; the
// work is fit/series_fit's.
#pragma once

#include "circuit/tree.h"
#include "python/py_ref.h"

namespace kovrant::python {

// Reads a kovrant.Circuit's tree; null with a TypeError for anything else.
using TreeReader = const SeriesList* (*)(PyObject* circuit);

extern const char kFitSeriesDoc[];

// The engine's fit_series(args, kwargs), reading the circuit with `read_tree`.
PyObject* fit_series(PyObject* args, PyObject* kwargs, TreeReader read_tree);

}  // namespace kovrant::python
