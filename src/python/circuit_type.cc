#include "python/circuit_type.h"

#include <cstring>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "circuit/describe.h"
#include "circuit/evaluate.h"
#include "circuit/params.h"
#include "circuit/parser.h"
#include "fit/residuals.h"
#include "models/model_table.h"
#include "python/conversions.h"
#include "python/element_types.h"
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

// Pickling rebuilds a circuit through the public constructors alone, so the
// module needs no hidden reconstructor. A circuit that notation can write
// (every element labelled, labels unique, no empty group or branch) becomes
// Circuit(notation), then with_values when its values were given. Any other
// circuit is composed again: Circuit(label) for a labelled element, element
// objects for unlabelled ones, Series/Parallel for the structure. A circuit
// whose values were not given always holds a labelled element with default
// values (only the constructor clears the flag, and composition keeps it
// cleared only through such parts), and reducing those elements to
// Circuit(label) restores the cleared flag through composition.

bool write_notation(const SeriesList& series, std::unordered_set<std::string>& labels, std::string& out) {
  if (series.empty()) return false;
  for (size_t i = 0; i < series.size(); ++i) {
    const Node& node = series[i];
    if (i > 0) out += '-';
    if (!node.is_parallel) {
      if (!node.label || !labels.insert(*node.label).second) return false;
      out += *node.label;
      continue;
    }
    if (node.branches.empty()) return false;
    out += '(';
    for (size_t b = 0; b < node.branches.size(); ++b) {
      if (b > 0) out += ',';
      if (!write_notation(node.branches[b], labels, out)) return false;
    }
    out += ')';
  }
  return true;
}

std::optional<std::string> notation_of(const SeriesList& series) {
  std::unordered_set<std::string> labels;
  std::string notation;
  if (!write_notation(series, labels, notation)) return std::nullopt;
  return notation;
}

bool same_bits(const Element& a, const Element& b) {
  return a.kind == b.kind && std::memcmp(a.values.data(), b.values.data(), sizeof(a.values)) == 0;
}

// Whether every element of `series` holds the values parsing `parsed` gave.
bool holds_parsed_values(const SeriesList& series, const SeriesList& parsed) {
  const std::vector<Leaf> leaves = collect_leaves(series);
  const std::vector<Leaf> parsed_leaves = collect_leaves(parsed);
  if (leaves.size() != parsed_leaves.size()) return false;
  for (size_t i = 0; i < leaves.size(); ++i) {
    if (!same_bits(*leaves[i].element, *parsed_leaves[i].element)) return false;
  }
  return true;
}

bool has_default_labelled_element(const SeriesList& series) {
  for (const Leaf& leaf : collect_leaves(series)) {
    if (!*leaf.label) continue;
    const auto parsed = parse(**leaf.label);
    if (parsed && holds_parsed_values({Node::element_node(*leaf.element)}, parsed.value())) return true;
  }
  return false;
}

// The flag a part gets when its circuit is composed again: cleared only where
// the part can carry a cleared flag (see above).
bool part_values_given(const SeriesList& part, bool values_given) {
  return values_given || !has_default_labelled_element(part);
}

PyRef kovrant_attribute(const char* name) {
  PyRef module = PyRef::steal(PyImport_ImportModule("kovrant"));
  if (!module) return {};
  return PyRef::steal(PyObject_GetAttrString(module.get(), name));
}

PyRef reduction(PyRef callable, PyRef arguments) {
  if (!callable || !arguments) return {};
  return PyRef::steal(PyTuple_Pack(2, callable.get(), arguments.get()));
}

PyRef single_tuple(PyRef item) {
  if (!item) return {};
  return PyRef::steal(PyTuple_Pack(1, item.get()));
}

// The notation that rebuilds the circuit and the tree parsed from it; nothing
// when notation cannot write the circuit, or when the values are not the
// notation's defaults yet the flag says not given.
std::optional<std::pair<std::string, SeriesList>> rebuilding_notation(const SeriesList& nodes, bool values_given) {
  auto notation = notation_of(nodes);
  if (!notation) return std::nullopt;
  auto parsed = parse(*notation);
  if (!parsed) return std::nullopt;
  if (!values_given && !holds_parsed_values(nodes, parsed.value())) return std::nullopt;
  return std::pair{std::move(*notation), std::move(parsed).value()};
}

// Circuit(notation), or Circuit(notation).with_values(values).
PyRef reduce_to_notation(std::pair<std::string, SeriesList> notation, const SeriesList& nodes, bool values_given) {
  PyTypeObject* type = circuit_type();
  if (!values_given) {
    return reduction(PyRef::borrow(reinterpret_cast<PyObject*>(type)), single_tuple(str_from_utf8(notation.first)));
  }
  PyRef with_values_method = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "with_values"));
  PyRef unvalued = make_circuit(std::move(notation.second), false);
  PyRef values = float_list(param_values(nodes));
  if (!unvalued || !values) return PyRef{};
  return reduction(with_values_method, PyRef::steal(PyTuple_Pack(2, unvalued.get(), values.get())));
}

// A composition step of a pickled circuit: pickling it writes the call
// Series(parts) or Parallel(parts) that rebuilds its part. Never unpickled as
// itself, so the class needs no importable name.
struct DeferredCallObject {
  PyObject ob_base;
  PyRef reduction;  // (callable, args)
};

PyObject* deferred_call_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(reinterpret_cast<DeferredCallObject*>(self)->reduction.get());
}

PyTypeObject* deferred_call_type() {
  static PyMethodDef methods[] = {
      {"__reduce__", deferred_call_reduce, METH_NOARGS, nullptr},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<DeferredCallObject>)},
      {Py_tp_methods, methods},
      {0, nullptr},
  };
  static PyType_Spec spec = {"kovrant._CompositionStep", sizeof(DeferredCallObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             slots};
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_type(spec, nullptr, "_CompositionStep");
  return type;
}

PyRef deferred_call(PyRef reduction) {
  PyTypeObject* type = deferred_call_type();
  if (type == nullptr || !reduction) return {};
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return {};
  new (&reinterpret_cast<DeferredCallObject*>(self.get())->reduction) PyRef(std::move(reduction));
  return self;
}

PyRef object_list(size_t count, auto&& make_item) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return {};
  for (size_t i = 0; i < count; ++i) {
    PyRef item = make_item(i);
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

PyRef composition_step(const SeriesList& nodes, bool values_given, std::vector<PyRef>& steps);

// What unpickles to `part` of a circuit whose flag is `values_given`: an
// element object for a lone unlabelled element, the part as a circuit when
// notation can write it (its own reduction is then flat), else its
// composition step, appended to `steps` after those of its own parts.
PyRef part_rebuilder(SeriesList part, bool values_given, std::vector<PyRef>& steps) {
  if (part.size() == 1 && !part.front().is_parallel && !part.front().label) return make_element(part.front().element);
  const bool part_given = part_values_given(part, values_given);
  if (rebuilding_notation(part, part_given)) return make_circuit(std::move(part), part_given);
  return composition_step(part, part_given, steps);
}

PyRef composition_step(const SeriesList& nodes, bool values_given, std::vector<PyRef>& steps) {
  const bool parallel = nodes.size() == 1 && nodes.front().is_parallel;
  const size_t count = parallel ? nodes.front().branches.size() : nodes.size();
  PyRef parts = object_list(count, [&](size_t i) {
    return part_rebuilder(parallel ? nodes.front().branches[i] : SeriesList{nodes[i]}, values_given, steps);
  });
  PyRef step = deferred_call(reduction(kovrant_attribute(parallel ? "Parallel" : "Series"), single_tuple(parts)));
  if (step) steps.push_back(step);
  return step;
}

// A circuit that notation cannot write is composed again from its parts. Its
// nested compositions are listed innermost first and the last one returned
// (operator.itemgetter(-1)), so that pickle meets every part before the part
// that holds it and refers back to it: the pickling depth stays the same
// however deep the circuit nests.
PyRef reduce_to_composition(const CircuitObject& circuit) {
  std::vector<PyRef> steps;
  PyRef top = composition_step(circuit.nodes, circuit.values_given, steps);
  if (!top) return {};
  if (steps.size() == 1) return reinterpret_cast<DeferredCallObject*>(top.get())->reduction;
  PyRef operator_module = PyRef::steal(PyImport_ImportModule("operator"));
  if (!operator_module) return {};
  PyRef last = PyRef::steal(PyObject_CallMethod(operator_module.get(), "itemgetter", "i", -1));
  PyRef list = object_list(steps.size(), [&](size_t i) { return steps[i]; });
  return reduction(std::move(last), single_tuple(std::move(list)));
}

PyObject* circuit_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const CircuitObject& circuit = circuit_of(self);
    if (auto notation = rebuilding_notation(circuit.nodes, circuit.values_given)) {
      return reduce_to_notation(std::move(*notation), circuit.nodes, circuit.values_given).release();
    }
    return reduce_to_composition(circuit).release();
  });
}

// Circuits are immutable values: a copy, shallow or deep, is a new object
// holding a copy of the tree, made without recursing through Python.
PyObject* circuit_copy(PyObject* self, PyObject*) {
  return guarded([&] {
    const CircuitObject& circuit = circuit_of(self);
    return make_circuit(circuit.nodes, circuit.values_given).release();
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
    {"__reduce__", as_cfunction(circuit_reduce), METH_NOARGS, nullptr},
    {"__copy__", as_cfunction(circuit_copy), METH_NOARGS, nullptr},
    {"__deepcopy__", as_cfunction(circuit_copy), METH_O, nullptr},
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
