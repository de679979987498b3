// Circuit.ml_circuits, Circuit.guess, and the guessed start of Circuit.fit.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "circuit/tree.h"
#include "fit/spectrum_input.h"
#include "python/py_ref.h"

namespace kovrant::python {

PyObject* ml_circuits(PyObject* cls, PyObject* unused);
PyObject* guess(PyObject* self, PyObject* args, PyObject* kwargs);

// The network's starting values for `nodes` in param_names() order, computed
// with the GIL released; nullopt with a ValueError set when no guess can be
// made.
std::optional<std::vector<double>> guessed_values(const SeriesList& nodes, const Spectrum& spectrum,
                                                  const std::optional<std::string>& weights_path);

// `weights`: None, or a str path; nullopt with a TypeError naming the argument
// otherwise. The outer optional is the success flag.
std::optional<std::optional<std::string>> weights_path_argument(PyObject* object);

}  // namespace kovrant::python
