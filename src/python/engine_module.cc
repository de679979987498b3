// kovrant_tools._engine: the toolkit's native entry points. They live in the
// kovrant shared object (PyInit__engine beside PyInit_kovrant), so the toolkit
// uses the very same core, worker pool, network cache and Circuit type;
// kovrant_tools loads this module from kovrant's file. Every argument is
// converted as Circuit.fit converts it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "circuit/describe.h"
#include "circuit/params.h"
#include "python/circuit_type.h"
#include "python/conversions.h"
#include "python/fit_call.h"
#include "python/numpy_array.h"
#include "python/series_call.h"
#include "python/spectrum.h"

namespace kovrant::python {
namespace {

constexpr char kModuleDoc[] = "Native entry points of kovrant_tools; use kovrant_tools.fit.";

constexpr char kFitConstrainedDoc[] =
    "fit_constrained(circuit, frequencies, impedances, fixed, lower, upper, *, start=None, stacklevel=1, "
    "max_starts=None, **settings)\n--\n\n"
    "Fits `circuit`, holding the parameters flagged in `fixed` and keeping\n"
    "every parameter within [lower, upper] (empty sequences: nothing held, the\n"
    "physical bounds). The start is decided as Circuit.fit decides it (the\n"
    "circuit's explicit values, else the guess, else the catalogue values with\n"
    "a UserWarning at `stacklevel`); `start` (one value per parameter, NaN for\n"
    "none) overrides it where given. Guessed values are moved into the bounds;\n"
    "given and explicit ones must lie inside them. `settings` are Circuit.fit's\n"
    "keyword arguments; `max_starts` caps the LM walk's solves (None: all).\n"
    "Returns a dict with values, stderr and covariance\n"
    "(None without degrees of freedom; NaN for held parameters), success,\n"
    "iterations, impedance_evals, cost, chi_square, circuit (the fitted\n"
    "kovrant.Circuit), start (the values the fit started from), guessed\n"
    "(whether they came from the guess) and walk_cut (max_starts ended the\n"
    "walk with starts left and no plausible solve).";

constexpr char kOutcomeAtDoc[] =
    "outcome_at(circuit, frequencies, impedances, fixed, weight='modulus')\n--\n\n"
    "The dict of fit_constrained for the circuit's current values, without\n"
    "fitting: cost, chi-square, and the standard errors and covariance of the\n"
    "parameters not flagged in `fixed`.";

constexpr char kNotationDoc[] =
    "notation(circuit)\n--\n\n"
    "The circuit in the notation, unlabelled elements under the automatic\n"
    "labels of their parameter names: 'R0-(R1,Cpe0)'.";

constexpr char kFrameArraysDoc[] =
    "frame_arrays(frame)\n--\n\n"
    "(frequencies, impedances) as NumPy arrays from a table with battery-data\n"
    "columns, read exactly as Circuit.fit reads it (rows whose frequency is not\n"
    "above zero dropped).";

constexpr char kStartPointDoc[] =
    "start_point(circuit, guess_init, weights_given)\n--\n\n"
    "Where Circuit.fit would start `circuit` with these settings: 'own values',\n"
    "'guess' or 'catalogue' (no model: the catalogue values, after a warning).";

constexpr char kNoModelWarning[] =
    "There is no ML model to guess initial parameters for this circuit, so it starts from the catalogue values; "
    "pass start={name: value, ...} to choose them. Models available for ";

bool flag_sequence(PyObject* object, std::vector<bool>& out) {
  PyRef items = PyRef::steal(PySequence_Fast(object, "argument 'fixed': expected a sequence of booleans"));
  if (!items) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  for (Py_ssize_t k = 0; k < count; ++k) {
    const int truth = PyObject_IsTrue(PySequence_Fast_GET_ITEM(items.get(), k));
    if (truth < 0) return false;
    out.push_back(truth == 1);
  }
  return true;
}

bool set_item(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// A row-major square matrix as a 2-D float64 array, or None.
PyRef matrix_array(const std::optional<std::vector<double>>& matrix, size_t size) {
  if (!matrix) return PyRef::borrow(Py_None);
  return float_array(*matrix, size);
}

PyRef outcome_dict(const FitOutcome& outcome) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  PyRef errors = outcome.standard_errors ? float_list(*outcome.standard_errors) : PyRef::borrow(Py_None);
  const bool filled =
      set_item(dict.get(), "values", float_list(outcome.values)) && set_item(dict.get(), "stderr", errors) &&
      set_item(dict.get(), "covariance", matrix_array(outcome.covariance, outcome.values.size())) &&
      set_item(dict.get(), "success", PyRef::borrow(outcome.success ? Py_True : Py_False)) &&
      set_item(dict.get(), "iterations", PyRef::steal(PyLong_FromUnsignedLongLong(outcome.iterations))) &&
      set_item(dict.get(), "impedance_evals", PyRef::steal(PyLong_FromUnsignedLongLong(outcome.impedance_evals))) &&
      set_item(dict.get(), "cost", PyRef::steal(PyFloat_FromDouble(outcome.cost))) &&
      set_item(dict.get(), "chi_square", PyRef::steal(PyFloat_FromDouble(outcome.chi_square))) &&
      set_item(dict.get(), "walk_cut", PyRef::borrow(outcome.walk_cut ? Py_True : Py_False));
  return filled ? dict : PyRef{};
}

// The kovrant.Circuit argument; null with a TypeError for anything else.
const CircuitObject* circuit_argument(PyObject* object) {
  if (!is_circuit(object)) {
    PyErr_SetString(PyExc_TypeError, "argument 'circuit': must be a kovrant.Circuit");
    return nullptr;
  }
  return &circuit_of(object);
}

// Pops `key` from the keyword dict (a copy the caller owns), or null when absent.
PyRef pop_keyword(PyObject* kwargs, const char* key) {
  if (kwargs == nullptr) return {};
  PyObject* value = PyDict_GetItemString(kwargs, key);
  if (value == nullptr) return {};
  PyRef held = PyRef::borrow(value);
  if (PyDict_DelItemString(kwargs, key) < 0) return {};
  return held;
}

std::string outside_message(const std::string& name, double value, Bounds bound) {
  char text[256];
  std::snprintf(text, sizeof text, "start: %s = %g is outside its bounds (%g, %g)", name.c_str(), value, bound.lo,
                bound.hi);
  return text;
}

// The values the fit starts from: the user's where given, else the circuit's
// start as Circuit.fit chooses it, a guess moved into `bounds`. nullopt with
// an exception set.
std::optional<std::vector<double>> start_values(const CircuitObject& circuit, const FitArguments& arguments,
                                                const Spectrum& spectrum, std::span<const double> given,
                                                std::span<const Bounds> bounds, int stack_level, bool& guessed) {
  const std::vector<std::string> names = param_names(circuit.nodes);
  const bool all_given = !given.empty() && std::all_of(given.begin(), given.end(), [](double v) { return !std::isnan(v); });
  std::vector<double> values(given.begin(), given.end());
  bool own_values = true;
  guessed = false;
  if (!all_given) {
    const auto start = start_tree(circuit, arguments, spectrum, kNoModelWarning, stack_level);
    if (!start) return std::nullopt;
    own_values = start->own_values;
    guessed = !own_values;
    const std::vector<double> chosen = param_values(start->nodes);
    values.resize(chosen.size(), std::numeric_limits<double>::quiet_NaN());
    for (size_t j = 0; j < chosen.size(); ++j) {
      if (!std::isnan(values[j])) continue;
      values[j] = own_values ? chosen[j] : std::clamp(chosen[j], bounds[j].lo, bounds[j].hi);
    }
  }
  for (size_t j = 0; j < values.size(); ++j) {
    if (!(bounds[j].lo <= values[j] && values[j] <= bounds[j].hi)) {
      raise_message(PyExc_ValueError, outside_message(names[j], values[j], bounds[j]));
      return std::nullopt;
    }
  }
  return values;
}

PyObject* fit_constrained(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_GET_SIZE(args) != 6) {
      PyErr_SetString(PyExc_TypeError,
                      "fit_constrained() takes circuit, frequencies, impedances, fixed, lower and upper");
      return nullptr;
    }
    const CircuitObject* circuit = circuit_argument(PyTuple_GET_ITEM(args, 0));
    if (circuit == nullptr) return nullptr;
    const size_t count = param_count(circuit->nodes);
    FitConstraints constraints;
    std::vector<double> lower, upper, given;
    if (!flag_sequence(PyTuple_GET_ITEM(args, 3), constraints.fixed) ||
        !float_sequence_argument(PyTuple_GET_ITEM(args, 4), "lower", lower) ||
        !float_sequence_argument(PyTuple_GET_ITEM(args, 5), "upper", upper)) {
      return nullptr;
    }
    PyRef settings = PyRef::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
    if (!settings) return nullptr;
    PyRef start = pop_keyword(settings.get(), "start");
    PyRef level = pop_keyword(settings.get(), "stacklevel");
    PyRef walk = pop_keyword(settings.get(), "max_starts");
    if (walk && walk.get() == Py_None) walk = PyRef();
    if (PyErr_Occurred()) return nullptr;
    long long max_starts = 0;  // every start
    if (walk) {
      max_starts = PyLong_AsLongLong(walk.get());
      if (max_starts == -1 && PyErr_Occurred()) return nullptr;
      if (max_starts < 1 || max_starts > UINT32_MAX) {
        return raise_message(PyExc_ValueError, "max_starts must be a positive integer below 2**32");
      }
    }
    if (start && start.get() != Py_None && !float_sequence_argument(start.get(), "start", given)) return nullptr;
    int stack_level = 1;
    if (level) {
      stack_level = static_cast<int>(PyLong_AsLong(level.get()));
      if (stack_level == -1 && PyErr_Occurred()) return nullptr;
    }
    const bool sizes_ok = (constraints.fixed.empty() || constraints.fixed.size() == count) &&
                          lower.size() == upper.size() && (lower.empty() || lower.size() == count) &&
                          (given.empty() || given.size() == count);
    if (!sizes_ok) return raise_message(PyExc_ValueError, "fixed, lower, upper and start need one entry per parameter");
    for (size_t j = 0; j < lower.size(); ++j) constraints.bounds.push_back({lower[j], upper[j]});
    const std::vector<Bounds> bounds = constraints.bounds.empty() ? param_bounds(circuit->nodes) : constraints.bounds;

    PyRef spectrum_args = PyRef::steal(PyTuple_GetSlice(args, 1, 3));
    if (!spectrum_args) return nullptr;
    auto arguments = read_fit_arguments(spectrum_args.get(), settings.get());
    if (!arguments) return nullptr;
    arguments->settings.lm_max_starts = static_cast<std::uint32_t>(max_starts);
    const auto spectrum = read_spectrum(arguments->frequencies, arguments->impedances);
    if (!spectrum) return nullptr;
    const auto weighting = weighting_from_text(arguments->weight);
    if (!weighting || !check_fittable(*spectrum)) return nullptr;
    bool guessed = false;
    const auto values = start_values(*circuit, *arguments, *spectrum, given, bounds, stack_level, guessed);
    if (!values) return nullptr;
    const SeriesList start_tree_values = rebuild(circuit->nodes, *values);
    const auto outcome = run_fit(*arguments, start_tree_values, *spectrum, *weighting, constraints);
    if (!outcome) return nullptr;
    PyRef dict = outcome_dict(*outcome);
    if (!dict || !set_item(dict.get(), "start", float_list(*values)) ||
        !set_item(dict.get(), "circuit", make_circuit(outcome->fitted_circuit, true)) ||
        !set_item(dict.get(), "guessed", PyRef::borrow(guessed ? Py_True : Py_False))) {
      return nullptr;
    }
    return dict.release();
  });
}

PyObject* outcome_at(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"circuit", "frequencies", "impedances", "fixed", "weight", nullptr};
    PyObject *circuit_object, *frequencies, *impedances, *fixed, *weight = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|O:outcome_at", const_cast<char**>(keywords),
                                     &circuit_object, &frequencies, &impedances, &fixed, &weight)) {
      return nullptr;
    }
    const CircuitObject* circuit = circuit_argument(circuit_object);
    if (circuit == nullptr) return nullptr;
    FitConstraints constraints;
    if (!flag_sequence(fixed, constraints.fixed)) return nullptr;
    std::string weight_text = "modulus";
    if (weight != nullptr) {
      auto text = str_argument(weight, "weight");
      if (!text) return nullptr;
      weight_text = std::move(*text);
    }
    const auto spectrum = read_spectrum(frequencies, impedances);
    if (!spectrum) return nullptr;
    const auto weighting = weighting_from_text(weight_text);
    if (!weighting || !check_fittable(*spectrum)) return nullptr;
    auto problem =
        make_fit_problem(circuit->nodes, spectrum->frequencies, spectrum->impedances, *weighting, constraints);
    if (!problem) return raise_message(PyExc_ValueError, problem.error().message());
    const FitProblem& built = problem.value();
    return outcome_dict(build_outcome(built, built.start_values, true, 0, make_eval_counter())).release();
  });
}

PyObject* notation(PyObject*, PyObject* circuit_object) {
  return guarded([&]() -> PyObject* {
    const CircuitObject* circuit = circuit_argument(circuit_object);
    if (circuit == nullptr) return nullptr;
    const std::string text = to_notation(circuit->nodes);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* frame_arrays(PyObject*, PyObject* frame) {
  return guarded([&]() -> PyObject* {
    auto spectrum = read_spectrum(frame, nullptr);
    if (!spectrum) return nullptr;
    PyRef frequencies = float_array(spectrum->frequencies);
    if (!frequencies) return nullptr;
    PyRef impedances = complex_array(std::move(spectrum->impedances));
    if (!impedances) return nullptr;
    return PyTuple_Pack(2, frequencies.get(), impedances.get());
  });
}

// FRAME_COLUMNS: quantity -> (first name, second name), the one table of battery-data column names.
bool add_frame_columns(PyObject* module) {
  PyRef table = PyRef::steal(PyDict_New());
  if (!table) return false;
  const std::pair<const char*, ColumnPair> quantities[] = {
      {"frequency", kFrequencyColumn}, {"real", kRealColumn}, {"imaginary", kImaginaryColumn},
      {"modulus", kModulusColumn},     {"phase", kPhaseColumn},
  };
  for (const auto& [quantity, pair] : quantities) {
    PyRef names = PyRef::steal(Py_BuildValue("(s#s#)", pair.first.data(), static_cast<Py_ssize_t>(pair.first.size()),
                                             pair.second.data(), static_cast<Py_ssize_t>(pair.second.size())));
    if (!names || PyDict_SetItemString(table.get(), quantity, names.get()) < 0) return false;
  }
  return PyModule_AddObjectRef(module, "FRAME_COLUMNS", table.get()) == 0;
}

PyObject* start_point(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *circuit_object, *guess_init;
    int weights_given = 0;
    if (!PyArg_ParseTuple(args, "OOp:start_point", &circuit_object, &guess_init, &weights_given)) return nullptr;
    const CircuitObject* circuit = circuit_argument(circuit_object);
    if (circuit == nullptr) return nullptr;
    std::optional<bool> wanted;
    if (guess_init != Py_None) {
      const int truth = PyObject_IsTrue(guess_init);
      if (truth < 0) return nullptr;
      wanted = truth == 1;
    }
    switch (start_decision(*circuit, wanted, weights_given != 0)) {
      case StartPoint::OwnValues:
        return PyUnicode_FromString("own values");
      case StartPoint::Guess:
        return PyUnicode_FromString("guess");
      case StartPoint::WarnThenOwnValues:
        return PyUnicode_FromString("catalogue");
    }
    return raise_message(PyExc_SystemError, "unknown start point");
  });
}

// The tree of a kovrant.Circuit, for entry points that take a tree reader.
const SeriesList* tree_of(PyObject* circuit_object) {
  const CircuitObject* circuit = circuit_argument(circuit_object);
  return circuit == nullptr ? nullptr : &circuit->nodes;
}

PyObject* fit_series_entry(PyObject*, PyObject* args, PyObject* kwargs) { return fit_series(args, kwargs, tree_of); }

// CATALOGUE: notation code -> field names, under the catalogue code ("CPE")
// and the kind name ("Cpe"), both of which the notation accepts.
bool add_catalogue(PyObject* module) {
  PyRef table = PyRef::steal(PyDict_New());
  if (!table) return false;
  for (Kind kind : all_kinds()) {
    const KindInfo& info = kind_info(kind);
    PyRef fields = PyRef::steal(PyTuple_New(info.param_count));
    if (!fields) return false;
    for (int f = 0; f < info.param_count; ++f) {
      PyRef name = str_from_utf8(info.fields[static_cast<size_t>(f)]);
      if (!name) return false;
      PyTuple_SET_ITEM(fields.get(), f, name.release());
    }
    for (std::string_view code : {info.code, info.name}) {
      PyRef key = str_from_utf8(code);
      if (!key || PyDict_SetItem(table.get(), key.get(), fields.get()) < 0) return false;
    }
  }
  return PyModule_AddObjectRef(module, "CATALOGUE", table.get()) == 0;
}

PyMethodDef g_functions[] = {
    {"fit_constrained", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_constrained)),
     METH_VARARGS | METH_KEYWORDS, kFitConstrainedDoc},
    {"outcome_at", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(outcome_at)),
     METH_VARARGS | METH_KEYWORDS, kOutcomeAtDoc},
    {"notation", notation, METH_O, kNotationDoc},
    {"frame_arrays", frame_arrays, METH_O, kFrameArraysDoc},
    {"start_point", start_point, METH_VARARGS, kStartPointDoc},
    {"fit_series", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_series_entry)),
     METH_VARARGS | METH_KEYWORDS, kFitSeriesDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_definition = {
    PyModuleDef_HEAD_INIT, "kovrant_tools._engine", kModuleDoc, 0, g_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kovrant::python

PyMODINIT_FUNC PyInit__engine() {
  using namespace kovrant::python;
  return guarded([]() -> PyObject* {
    if (!import_numpy()) return nullptr;
    PyRef module = PyRef::steal(PyModule_Create(&g_module_definition));
    if (!module || !add_frame_columns(module.get()) || !add_catalogue(module.get())) return nullptr;
    return module.release();
  });
}
