// Circuit.fit: argument conversion, start point, and the fit itself with the
// GIL released. The conversion and the run also serve kovrant_tools' private
// engine module, so that both take their arguments the same way.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "fit/fit_dispatch.h"
#include "fit/spectrum_input.h"
#include "fit/start_point.h"
#include "python/circuit_type.h"
#include "python/spectrum.h"
#include "python/py_ref.h"

namespace kovrant::python {

struct FitArguments {
  PyObject* frequencies = nullptr;
  PyObject* impedances = nullptr;
  std::optional<bool> guess_init;
  std::optional<std::string> weights_path;
  std::string weight = "modulus";
  std::string method = "levenberg_marquardt";
  FitSettings settings;
};

// Circuit.fit's arguments after the circuit, converted in signature order;
// the first failure ends it (nullopt with an exception set).
std::optional<FitArguments> read_fit_arguments(PyObject* args, PyObject* kwargs);

// ValueError naming the first point no fit can use; false then.
bool check_fittable(const Spectrum& spectrum);

// The method on `start`, with the GIL released. nullopt with an exception
// set: a FitError as ValueError, or what a signal handler raised.
std::optional<FitOutcome> run_fit(const FitArguments& arguments, const SeriesList& start, const Spectrum& spectrum,
                                  Weighting weighting, const FitConstraints& constraints);

// Where Circuit.fit starts `circuit`: its own values, a guess, or (no model)
// the catalogue values after a warning.
StartPoint start_decision(const CircuitObject& circuit, std::optional<bool> guess_init, bool weights_given);

// The tree a fit starts from, as Circuit.fit decides it: the circuit's own
// values, a guess, or (no model: a UserWarning made of `no_model_warning` and
// the model names, at `stack_level`) the catalogue values. own_values says
// whether the values are the circuit's explicit ones. nullopt with an
// exception set when guessing fails or a filter turns the warning into an error.
struct StartTree {
  SeriesList nodes;
  bool own_values;
};
std::optional<StartTree> start_tree(const CircuitObject& circuit, const FitArguments& arguments,
                                    const Spectrum& spectrum, std::string_view no_model_warning, int stack_level);

PyObject* fit(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace kovrant::python
