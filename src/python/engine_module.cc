// kovrant_tools._engine: kovrant's fit with held parameters and narrowed
// bounds, for kovrant_tools.fit. It reads the tree of a kovrant.Circuit
// directly (both modules are built together from the same sources, so they
// share the object's layout) and converts every other argument as
// Circuit.fit does.
#include <span>
#include <string>
#include <vector>

#include "python/circuit_type.h"
#include "python/conversions.h"
#include "python/fit_call.h"
#include "python/numpy_array.h"
#include "python/series_call.h"
#include "python/spectrum.h"

namespace kovrant::python {
namespace {

constexpr char kModuleDoc[] = "Private fitting engine of kovrant_tools; use kovrant_tools.fit.";

constexpr char kFitConstrainedDoc[] =
    "fit_constrained(circuit, frequencies, impedances, fixed, lower, upper, **settings)\n--\n\n"
    "Fits `circuit` from its current values, holding the parameters flagged in\n"
    "`fixed` and keeping every parameter within [lower, upper], which must lie\n"
    "inside the physical bounds and contain the start. `settings` are\n"
    "Circuit.fit's keyword arguments. Returns a dict with values, stderr and\n"
    "covariance (None without degrees of freedom; NaN for held parameters),\n"
    "success, iterations, impedance_evals, cost and chi_square.";

constexpr char kOutcomeAtDoc[] =
    "outcome_at(circuit, frequencies, impedances, fixed, weight='modulus')\n--\n\n"
    "The dict of fit_constrained for the circuit's current values, without\n"
    "fitting: cost, chi-square, and the standard errors and covariance of the\n"
    "parameters not flagged in `fixed`.";

// kovrant.Circuit; the module keeps its type alive for the process.
PyTypeObject* kovrant_circuit_type() {
  PyRef module = PyRef::steal(PyImport_ImportModule("kovrant"));
  if (!module) return nullptr;
  PyRef type = PyRef::steal(PyObject_GetAttrString(module.get(), "Circuit"));
  if (!type) return nullptr;
  if (!PyType_Check(type.get())) {
    PyErr_SetString(PyExc_TypeError, "kovrant.Circuit is not a type");
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type.get());
}

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

// Rows of a row-major square matrix, or None.
PyRef matrix_list(const std::optional<std::vector<double>>& matrix, size_t size) {
  if (!matrix) return PyRef::borrow(Py_None);
  PyRef rows = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!rows) return {};
  for (size_t r = 0; r < size; ++r) {
    PyRef row = float_list(std::span<const double>(*matrix).subspan(r * size, size));
    if (!row) return {};
    PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(r), row.release());
  }
  return rows;
}

PyRef outcome_dict(const FitOutcome& outcome) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  PyRef errors = outcome.standard_errors ? float_list(*outcome.standard_errors) : PyRef::borrow(Py_None);
  const bool filled =
      set_item(dict.get(), "values", float_list(outcome.values)) && set_item(dict.get(), "stderr", errors) &&
      set_item(dict.get(), "covariance", matrix_list(outcome.covariance, outcome.values.size())) &&
      set_item(dict.get(), "success", PyRef::borrow(outcome.success ? Py_True : Py_False)) &&
      set_item(dict.get(), "iterations", PyRef::steal(PyLong_FromUnsignedLongLong(outcome.iterations))) &&
      set_item(dict.get(), "impedance_evals", PyRef::steal(PyLong_FromUnsignedLongLong(outcome.impedance_evals))) &&
      set_item(dict.get(), "cost", PyRef::steal(PyFloat_FromDouble(outcome.cost))) &&
      set_item(dict.get(), "chi_square", PyRef::steal(PyFloat_FromDouble(outcome.chi_square)));
  return filled ? dict : PyRef{};
}

// The tree of a kovrant.Circuit, read in place (the layout is shared); null
// with a TypeError for anything else.
const SeriesList* tree_of(PyObject* circuit) {
  PyTypeObject* circuit_class = kovrant_circuit_type();
  if (circuit_class == nullptr) return nullptr;
  if (!Py_IS_TYPE(circuit, circuit_class)) {
    PyErr_SetString(PyExc_TypeError, "argument 'circuit': must be a kovrant.Circuit");
    return nullptr;
  }
  return &reinterpret_cast<const CircuitObject*>(circuit)->nodes;
}

PyObject* fit_constrained(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_GET_SIZE(args) != 6) {
      PyErr_SetString(PyExc_TypeError,
                      "fit_constrained() takes circuit, frequencies, impedances, fixed, lower and upper");
      return nullptr;
    }
    const SeriesList* start = tree_of(PyTuple_GET_ITEM(args, 0));
    if (start == nullptr) return nullptr;
    FitConstraints constraints;
    std::vector<double> lower, upper;
    if (!flag_sequence(PyTuple_GET_ITEM(args, 3), constraints.fixed) ||
        !float_sequence_argument(PyTuple_GET_ITEM(args, 4), "lower", lower) ||
        !float_sequence_argument(PyTuple_GET_ITEM(args, 5), "upper", upper)) {
      return nullptr;
    }
    if (lower.size() != upper.size()) return raise_message(PyExc_ValueError, "lower and upper differ in length");
    for (size_t j = 0; j < lower.size(); ++j) constraints.bounds.push_back({lower[j], upper[j]});

    PyRef spectrum_args = PyRef::steal(PyTuple_GetSlice(args, 1, 3));
    if (!spectrum_args) return nullptr;
    const auto arguments = read_fit_arguments(spectrum_args.get(), kwargs);
    if (!arguments) return nullptr;
    const auto spectrum = read_spectrum(arguments->frequencies, arguments->impedances);
    if (!spectrum) return nullptr;
    const auto weighting = weighting_from_text(arguments->weight);
    if (!weighting || !check_fittable(*spectrum)) return nullptr;
    const auto outcome = run_fit(*arguments, *start, *spectrum, *weighting, constraints);
    if (!outcome) return nullptr;
    return outcome_dict(*outcome).release();
  });
}

PyObject* outcome_at(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"circuit", "frequencies", "impedances", "fixed", "weight", nullptr};
    PyObject *circuit, *frequencies, *impedances, *fixed, *weight = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|O:outcome_at", const_cast<char**>(keywords), &circuit,
                                     &frequencies, &impedances, &fixed, &weight)) {
      return nullptr;
    }
    const SeriesList* tree = tree_of(circuit);
    if (tree == nullptr) return nullptr;
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
    auto problem = make_fit_problem(*tree, spectrum->frequencies, spectrum->impedances, *weighting, constraints);
    if (!problem) return raise_message(PyExc_ValueError, problem.error().message());
    const FitProblem& built = problem.value();
    return outcome_dict(build_outcome(built, built.start_values, true, 0, make_eval_counter())).release();
  });
}

PyMethodDef g_functions[] = {
    {"fit_constrained", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_constrained)),
     METH_VARARGS | METH_KEYWORDS, kFitConstrainedDoc},
    {"outcome_at", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(outcome_at)),
     METH_VARARGS | METH_KEYWORDS, kOutcomeAtDoc},
    {"fit_series",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         +[](PyObject*, PyObject* args, PyObject* kwargs) { return fit_series(args, kwargs, tree_of); })),
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
    return PyModule_Create(&g_module_definition);
  });
}
