#include "python/circuit_type.h"

#include <optional>
#include <string>
#include <vector>

#include "circuit/describe.h"
#include "circuit/evaluate.h"
#include "circuit/params.h"
#include "fit/residuals.h"
#include "models/model_table.h"
#include "python/conversions.h"
#include "python/fit_call.h"
#include "python/guess_call.h"
#include "python/numpy_array.h"
#include "python/spectrum.h"
#include "python/type_support.h"

namespace kovrant::python {
namespace {

constexpr char kCircuitDoc[] = "Circuit(s)\n--\n\n";

constexpr char kMlCircuitsDoc[] =
    "ml_circuits()\n--\n\n"
    "Names accepted by the constructor that have trained initial-parameter\n"
    "models, and so get a guessed starting point from `fit()` by default.";

constexpr char kGuessDoc[] =
    "guess($self, frequencies, impedances=None, weights=None)\n--\n\n"
    "Machine-learning guess of starting parameters for this circuit's\n"
    "topology, in `param_names()` order.\n"
    "\n"
    "Series and parallel elements may be written with any order and labels:\n"
    "`(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach\n"
    "the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the\n"
    "`R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.\n"
    "\n"
    "`weights` loads a `.eisnn` file from disk instead of looking for a\n"
    "bundled model.\n"
    "\n"
    "Raises if no model has been trained for this topology, or if `weights`\n"
    "was trained for a different one.";

constexpr char kParamNamesDoc[] =
    "param_names($self)\n--\n\n"
    "Parameter names, in the same order `with_values()` consumes and\n"
    "`with_named_values()` expects as keys.";

constexpr char kWithValuesDoc[] =
    "with_values($self, values)\n--\n\n"
    "Rebuild this circuit with a new flat parameter vector, assigned\n"
    "positionally in `param_names()` order.";

constexpr char kWithNamedValuesDoc[] =
    "with_named_values($self, values)\n--\n\n"
    "Rebuild this circuit with parameter values looked up by name (see\n"
    "`param_names()`). Every name must be present and no unknown names\n"
    "may be supplied.";

constexpr char kImpedanceDoc[] = "impedance($self, frequencies)\n--\n\n";

constexpr char kParamValuesDoc[] =
    "param_values($self)\n--\n\n"
    "Current parameter values, in `param_names()` order.";

constexpr char kParamBoundsDoc[] =
    "param_bounds($self)\n--\n\n"
    "Default physical-validity `(lo, hi)` bounds per parameter, in\n"
    "`param_names()` order. `hi` is `inf` for open-bound parameters.";

constexpr char kParamUnitsDoc[] =
    "param_units($self)\n--\n\n"
    "Physical units per parameter";

constexpr char kResidualsDoc[] =
    "residuals($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
    "Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an\n"
    "arbitrary parameter vector -- the same building block `fit()` uses\n"
    "internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.\n"
    "`scipy.optimize.least_squares`) can drive this circuit's math directly.";

constexpr char kJacobianDoc[] =
    "jacobian($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
    "Central-difference Jacobian of `residuals()` at `params`, shape `(2 *\n"
    "len(frequencies), len(params))` -- rows are residuals, columns are\n"
    "parameters, matching what `scipy.optimize.least_squares(jac=...)` expects.";

constexpr char kFitDoc[] =
    "fit($self, frequencies, impedances=None, guess_init=None, weights=None, weight=\"modulus\", "
    "method=\"levenberg_marquardt\", max_iterations=200, ftol=1e-8, xtol=1e-8, num_particles=200, "
    "generations=1000, nelder_mead_iterations=2000, de_evaluations=20000, sa_iterations=5000, "
    "sa_initial_temperature=2.0, basin_hopping_hops=20, basin_hopping_step_size=1.0, "
    "basin_hopping_temperature=1.0, seed=None)\n--\n\n"
    "Fit this circuit's parameters to a measured spectrum.\n"
    "\n"
    "Accepts two sequences of frequencies and impedances, or a single battery\n"
    "data format dataframe (`impedances` left as None).\n"
    "\n"
    "`guess_init` unset means start from a machine-learning guess whenever the\n"
    "circuit is not explicitly given starting parameters. If no model has been\n"
    "trained for the topology it warns and starts from placeholder values.\n"
    "\n"
    "`True` always guesses, and raises rather than warns when it cannot.\n"
    "`False` never guesses.";

PyTypeObject* g_circuit_type = nullptr;

CircuitObject* as_circuit_object(PyObject* object) { return reinterpret_cast<CircuitObject*>(object); }

const SeriesList& nodes_of(PyObject* self) { return circuit_of(self).nodes; }

// Everything residuals() and jacobian() need, read from their arguments.
struct ResidualInputs {
  std::vector<double> params;
  std::vector<double> omegas;
  std::vector<Complex> measured;
  Weighting weighting;
};

// Argument conversion, then the spectrum, then the weighting scheme, then the
// parameter count.
std::optional<ResidualInputs> read_residual_inputs(PyObject* self, PyObject* args, PyObject* kwargs,
                                                   const char* format) {
  static const char* keywords[] = {"params", "frequencies", "impedances", "weight", nullptr};
  PyObject* params_object;
  PyObject* frequencies_object;
  PyObject* impedances_object = nullptr;
  PyObject* weight_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &params_object,
                                   &frequencies_object, &impedances_object, &weight_object)) {
    return std::nullopt;
  }
  ResidualInputs inputs;
  if (!float_sequence_argument(params_object, "params", inputs.params)) return std::nullopt;
  std::string weight_text = "modulus";
  if (weight_object != nullptr) {
    auto text = str_argument(weight_object, "weight");
    if (!text) return std::nullopt;
    weight_text = std::move(*text);
  }
  auto spectrum = read_spectrum(frequencies_object, impedances_object);
  if (!spectrum) return std::nullopt;
  const auto weighting = weighting_from_text(weight_text);
  if (!weighting) return std::nullopt;
  const size_t expected = param_count(nodes_of(self));
  if (inputs.params.size() < expected) {
    raise_message(PyExc_ValueError, too_few_params_message(expected, inputs.params.size()));
    return std::nullopt;
  }
  inputs.omegas = std::move(spectrum->frequencies);
  for (double& frequency : inputs.omegas) frequency *= kTwoPi;
  inputs.measured = std::move(spectrum->impedances);
  inputs.weighting = *weighting;
  return inputs;
}

PyObject* circuit_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* text_object = single_argument(args, kwargs, "O:Circuit", "s");
  if (text_object == nullptr) return nullptr;
  return guarded([&]() -> PyObject* {
    const auto text = str_argument(text_object, "s");
    if (!text) return nullptr;
    auto parsed = model_table::parse_circuit_text(*text);
    if (!parsed) return raise_message(PyExc_ValueError, parsed.error());
    return make_circuit(std::move(parsed).value(), false).release();
  });
}

PyObject* circuit_repr(PyObject* self) {
  return guarded([&] { return str_from_utf8(describe_circuit(nodes_of(self))).release(); });
}

PyObject* get_param_names(PyObject* self, PyObject*) {
  return guarded([&] { return str_list(param_names(nodes_of(self))).release(); });
}

PyObject* get_param_values(PyObject* self, PyObject*) {
  return guarded([&] { return float_list(param_values(nodes_of(self))).release(); });
}

PyObject* get_param_bounds(PyObject* self, PyObject*) {
  return guarded([&] { return bounds_list(param_bounds(nodes_of(self))).release(); });
}

PyObject* get_param_units(PyObject* self, PyObject*) {
  return guarded([&] { return str_list(param_units(nodes_of(self))).release(); });
}

PyObject* with_values(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* values_object = single_argument(args, kwargs, "O:with_values", "values");
  if (values_object == nullptr) return nullptr;
  return guarded([&]() -> PyObject* {
    std::vector<double> values;
    if (!float_sequence_argument(values_object, "values", values)) return nullptr;
    const SeriesList& nodes = nodes_of(self);
    const size_t expected = param_count(nodes);
    if (values.size() != expected) return raise_message(PyExc_ValueError, value_count_message(expected, values.size()));
    return make_circuit(rebuild(nodes, values), true).release();
  });
}

// The (name, value) pairs of a dict of str to float, in its order.
bool named_values_argument(PyObject* object, std::vector<std::pair<std::string, double>>& out) {
  if (!PyDict_Check(object)) {
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (type_name) PyErr_Format(PyExc_TypeError, "argument 'values': must be dict, not %U", type_name.get());
    return false;
  }
  // A snapshot, because float conversion may run code that changes the dict.
  PyRef items = PyRef::steal(PyDict_Items(object));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(item, 0);
    if (!PyUnicode_Check(key)) {
      PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(key)));
      if (type_name) PyErr_Format(PyExc_TypeError, "argument 'values': keys must be str, not %U", type_name.get());
      return false;
    }
    auto name = utf8_of(key);
    if (!name) return false;
    double value;
    if (!float_argument(PyTuple_GET_ITEM(item, 1), "values", value)) return false;
    out.emplace_back(std::move(*name), value);
  }
  return true;
}

PyObject* with_named_values(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* values_object = single_argument(args, kwargs, "O:with_named_values", "values");
  if (values_object == nullptr) return nullptr;
  return guarded([&]() -> PyObject* {
    std::vector<std::pair<std::string, double>> supplied;
    if (!named_values_argument(values_object, supplied)) return nullptr;
    const SeriesList& nodes = nodes_of(self);
    auto values = assign_named_values(nodes, supplied);
    if (!values) return raise_message(PyExc_ValueError, values.error());
    return make_circuit(rebuild(nodes, values.value()), true).release();
  });
}

PyObject* impedance(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* frequencies_object = single_argument(args, kwargs, "O:impedance", "frequencies");
  if (frequencies_object == nullptr) return nullptr;
  return guarded([&]() -> PyObject* {
    std::vector<double> frequencies;
    if (!read_frequencies(frequencies_object, frequencies)) return nullptr;
    std::vector<Complex> values(frequencies.size());
    {
      GilRelease unlocked;
      impedance_list(nodes_of(self), frequencies, values);
    }
    return complex_array(std::move(values)).release();
  });
}

PyObject* residuals_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    auto inputs = read_residual_inputs(self, args, kwargs, "OO|OO:residuals");
    if (!inputs) return nullptr;
    std::vector<double> result;
    {
      GilRelease unlocked;
      const std::vector<double> weights = compute_weights(inputs->measured, inputs->weighting);
      result =
          residuals(nodes_of(self), inputs->params, inputs->omegas, inputs->measured, weights, make_eval_counter());
    }
    return float_list(result).release();
  });
}

// Columns (one per parameter) turned into rows (one per residual).
PyRef rows_of(const std::vector<std::vector<double>>& columns) {
  const size_t row_count = columns.empty() ? 0 : columns.front().size();
  PyRef rows = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(row_count)));
  if (!rows) return {};
  std::vector<double> row(columns.size());
  for (size_t i = 0; i < row_count; ++i) {
    for (size_t j = 0; j < columns.size(); ++j) row[j] = columns[j][i];
    PyRef list = float_list(row);
    if (!list) return {};
    PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), list.release());
  }
  return rows;
}

PyObject* jacobian_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    auto inputs = read_residual_inputs(self, args, kwargs, "OO|OO:jacobian");
    if (!inputs) return nullptr;
    std::vector<std::vector<double>> columns;
    {
      GilRelease unlocked;
      const std::vector<double> weights = compute_weights(inputs->measured, inputs->weighting);
      columns = jacobian_columns(nodes_of(self), inputs->params, inputs->omegas, inputs->measured, weights,
                                 make_eval_counter());
    }
    return rows_of(columns).release();
  });
}

template <typename Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kMethods[] = {
    {"ml_circuits", as_cfunction(ml_circuits), METH_NOARGS | METH_STATIC, kMlCircuitsDoc},
    {"guess", as_cfunction(guess), METH_VARARGS | METH_KEYWORDS, kGuessDoc},
    {"param_names", as_cfunction(get_param_names), METH_NOARGS, kParamNamesDoc},
    {"with_values", as_cfunction(with_values), METH_VARARGS | METH_KEYWORDS, kWithValuesDoc},
    {"with_named_values", as_cfunction(with_named_values), METH_VARARGS | METH_KEYWORDS, kWithNamedValuesDoc},
    {"impedance", as_cfunction(impedance), METH_VARARGS | METH_KEYWORDS, kImpedanceDoc},
    {"param_values", as_cfunction(get_param_values), METH_NOARGS, kParamValuesDoc},
    {"param_bounds", as_cfunction(get_param_bounds), METH_NOARGS, kParamBoundsDoc},
    {"param_units", as_cfunction(get_param_units), METH_NOARGS, kParamUnitsDoc},
    {"residuals", as_cfunction(residuals_method), METH_VARARGS | METH_KEYWORDS, kResidualsDoc},
    {"jacobian", as_cfunction(jacobian_method), METH_VARARGS | METH_KEYWORDS, kJacobianDoc},
    {"fit", as_cfunction(fit), METH_VARARGS | METH_KEYWORDS, kFitDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* create_circuit_type() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(circuit_new)},
      {Py_tp_repr, reinterpret_cast<void*>(circuit_repr)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<CircuitObject>)},
      {Py_tp_methods, kMethods},
      {Py_tp_doc, const_cast<char*>(kCircuitDoc)},
      {0, nullptr},
  };
  static PyType_Spec spec = {"kovrant.Circuit", sizeof(CircuitObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                             slots};
  return create_type(spec, nullptr, "Circuit");
}

}  // namespace

PyTypeObject* circuit_type() {
  if (g_circuit_type == nullptr) g_circuit_type = create_circuit_type();
  return g_circuit_type;
}

PyRef make_circuit(SeriesList nodes, bool values_given) {
  PyTypeObject* type = circuit_type();
  if (type == nullptr) return {};
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return {};
  CircuitObject* circuit = as_circuit_object(self.get());
  new (&circuit->nodes) SeriesList(std::move(nodes));
  circuit->values_given = values_given;
  return self;
}

bool is_circuit(PyObject* object) { return g_circuit_type != nullptr && Py_IS_TYPE(object, g_circuit_type); }

const CircuitObject& circuit_of(PyObject* object) { return *as_circuit_object(object); }

}  // namespace kovrant::python
