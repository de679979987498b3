#include "python/fit_call.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "circuit/params.h"
#include "fit/fit_dispatch.h"
#include "fit/start_point.h"
#include "models/model_table.h"
#include "models/registry.h"
#include "python/circuit_type.h"
#include "python/conversions.h"
#include "python/fit_result_type.h"
#include "python/guess_call.h"
#include "python/spectrum.h"

namespace kovrant::python {
namespace {

constexpr char kNoModelWarning[] =
    "There is no ML model to guess initial parameters for this circuit. Supply your own with "
    "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass guess_init=False to silence this. "
    "Models available for ";

// An int (or anything with __index__) no larger than `max`; a wrong type is a
// TypeError naming the argument, a negative or too large value CPython's
// OverflowError.
template <typename Unsigned>
bool unsigned_argument(PyObject* object, const char* name, Unsigned& out) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) {
    name_argument_in_type_error(name);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (value > std::numeric_limits<Unsigned>::max()) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': %llu does not fit in %d bits", name, value,
                 static_cast<int>(8 * sizeof(Unsigned)));
    return false;
  }
  out = static_cast<Unsigned>(value);
  return true;
}

bool is_numpy_bool(PyObject* object) {
  const std::string_view type_name = Py_TYPE(object)->tp_name;
  return type_name == "numpy.bool" || type_name == "numpy.bool_";
}

// None, True, False or a NumPy boolean; an int such as 1 is refused.
bool guess_init_argument(PyObject* object, std::optional<bool>& out) {
  if (object == Py_None) return true;
  if (PyBool_Check(object) || is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = truth == 1;
    return true;
  }
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (type_name) PyErr_Format(PyExc_TypeError, "argument 'guess_init': must be bool or None, not %U", type_name.get());
  return false;
}

bool text_argument(PyObject* object, const char* name, std::string& out) {
  if (object == nullptr) return true;
  auto text = str_argument(object, name);
  if (!text) return false;
  out = std::move(*text);
  return true;
}

template <typename Unsigned>
bool optional_unsigned(PyObject* object, const char* name, Unsigned& out) {
  return object == nullptr || unsigned_argument(object, name, out);
}

bool optional_float(PyObject* object, const char* name, double& out) {
  return object == nullptr || float_argument(object, name, out);
}

}  // namespace

std::optional<FitArguments> read_fit_arguments(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"frequencies",
                                   "impedances",
                                   "guess_init",
                                   "weights",
                                   "weight",
                                   "method",
                                   "max_iterations",
                                   "ftol",
                                   "xtol",
                                   "num_particles",
                                   "generations",
                                   "nelder_mead_iterations",
                                   "de_evaluations",
                                   "sa_iterations",
                                   "sa_initial_temperature",
                                   "basin_hopping_hops",
                                   "basin_hopping_step_size",
                                   "basin_hopping_temperature",
                                   "seed",
                                   nullptr};
  PyObject* o[19] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOOOOOOOOOOOOO:fit", const_cast<char**>(keywords), &o[0], &o[1],
                                   &o[2], &o[3], &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11], &o[12],
                                   &o[13], &o[14], &o[15], &o[16], &o[17], &o[18])) {
    return std::nullopt;
  }
  FitArguments a;
  FitSettings& s = a.settings;
  a.frequencies = o[0];
  a.impedances = o[1] == Py_None ? nullptr : o[1];
  if (o[2] != nullptr && !guess_init_argument(o[2], a.guess_init)) return std::nullopt;
  auto weights_path = weights_path_argument(o[3]);
  if (!weights_path) return std::nullopt;
  a.weights_path = std::move(*weights_path);
  const bool converted = text_argument(o[4], "weight", a.weight) && text_argument(o[5], "method", a.method) &&
                         optional_unsigned(o[6], "max_iterations", s.max_iterations) &&
                         optional_float(o[7], "ftol", s.ftol) && optional_float(o[8], "xtol", s.xtol) &&
                         optional_unsigned(o[9], "num_particles", s.num_particles) &&
                         optional_unsigned(o[10], "generations", s.generations) &&
                         optional_unsigned(o[11], "nelder_mead_iterations", s.nelder_mead_iterations) &&
                         optional_unsigned(o[12], "de_evaluations", s.de_evaluations) &&
                         optional_unsigned(o[13], "sa_iterations", s.sa_iterations) &&
                         optional_float(o[14], "sa_initial_temperature", s.sa_initial_temperature) &&
                         optional_unsigned(o[15], "basin_hopping_hops", s.basin_hopping_hops) &&
                         optional_float(o[16], "basin_hopping_step_size", s.basin_hopping_step_size) &&
                         optional_float(o[17], "basin_hopping_temperature", s.basin_hopping_temperature);
  if (!converted) return std::nullopt;
  if (o[18] != nullptr && o[18] != Py_None) {
    std::uint64_t seed = 0;
    if (!unsigned_argument(o[18], "seed", seed)) return std::nullopt;
    s.seed = seed;
  }
  return a;
}

StartPoint start_decision(const CircuitObject& circuit, std::optional<bool> guess_init, bool weights_given) {
  // The model search runs only when its answer can change the start.
  const auto start_with = [&](bool model_exists) {
    return choose_start_point(guess_init, weights_given, circuit.values_given, model_exists);
  };
  const StartPoint start = start_with(true);
  if (start == start_with(false)) return start;
  return start_with(find_for_topology(circuit.nodes).has_value());
}

std::optional<StartTree> start_tree(const CircuitObject& circuit, const FitArguments& arguments,
                                    const Spectrum& spectrum, std::string_view no_model_warning, int stack_level) {
  switch (start_decision(circuit, arguments.guess_init, arguments.weights_path.has_value())) {
    case StartPoint::OwnValues:
      return StartTree{circuit.nodes, true};
    case StartPoint::WarnThenOwnValues: {
      const std::string message = std::string(no_model_warning) + model_table::quoted_names();
      if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), stack_level) < 0) return std::nullopt;
      return StartTree{circuit.nodes, false};
    }
    case StartPoint::Guess: {
      const auto values = guessed_values(circuit.nodes, spectrum, arguments.weights_path);
      if (!values) return std::nullopt;
      return StartTree{rebuild(circuit.nodes, *values), false};
    }
  }
  return std::nullopt;
}

namespace {

FitRecord record_of(FitOutcome outcome) {
  FitRecord record;
  record.circuit = std::move(outcome.fitted_circuit);
  record.names = std::move(outcome.param_names);
  record.values = std::move(outcome.values);
  record.standard_errors = std::move(outcome.standard_errors);
  record.success = outcome.success;
  record.iterations = outcome.iterations;
  record.impedance_evals = outcome.impedance_evals;
  record.cost = outcome.cost;
  record.chi_square = outcome.chi_square;
  return record;
}

}  // namespace

// The fit asks now and then whether to stop: that briefly retakes the GIL to
// run pending signal handlers, so a Ctrl-C raises KeyboardInterrupt within
// about a millisecond of being seen.
std::optional<FitOutcome> run_fit(const FitArguments& arguments, const SeriesList& start, const Spectrum& spectrum,
                                  Weighting weighting, const FitConstraints& constraints) {
  FitSettings settings = arguments.settings;
  PyThreadState* released = PyEval_SaveThread();
  settings.should_stop = [&released] {
    restore_gil(released);
    const bool interrupted = PyErr_CheckSignals() != 0;
    released = PyEval_SaveThread();
    return interrupted;
  };
  auto result = run_fit_method(arguments.method, start, spectrum.frequencies, spectrum.impedances, weighting, settings,
                               constraints);
  restore_gil(released);
  if (PyErr_Occurred()) return std::nullopt;  // a signal handler raised while the fit ran
  if (!result) {
    raise_message(PyExc_ValueError, result.error().message());
    return std::nullopt;
  }
  return std::move(result).value();
}

bool check_fittable(const Spectrum& spectrum) {
  if (auto error = check_spectrum_values(spectrum.frequencies, spectrum.impedances)) {
    raise_message(PyExc_ValueError, error->message());
    return false;
  }
  return true;
}

namespace {

// Parameters that share a name (a Series of circuits with the same labels)
// collapse into one entry of FitResult.params and .stderr, the last one
// winning, while FitResult.circuit keeps them all. False with an exception
// set when a warning filter turns the warning into an error.
bool warn_if_names_collapse(const std::vector<std::string>& names) {
  const std::set<std::string_view> distinct(names.begin(), names.end());
  if (distinct.size() == names.size()) return true;
  const std::string message = "FitResult.params and FitResult.stderr hold " + std::to_string(distinct.size()) +
                              " names for the circuit's " + std::to_string(names.size()) +
                              " parameters: parameters that share a name keep only the last one's value; "
                              "FitResult.circuit holds every fitted value";
  return PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) == 0;
}

}  // namespace

PyObject* fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const auto arguments = read_fit_arguments(args, kwargs);
    if (!arguments) return nullptr;
    const auto spectrum = read_spectrum(arguments->frequencies, arguments->impedances);
    if (!spectrum) return nullptr;
    const auto weighting = weighting_from_text(arguments->weight);
    if (!weighting) return nullptr;
    // Refused before guessing: such a spectrum would give a guess and a fit of NaNs.
    if (!check_fittable(*spectrum)) return nullptr;
    const auto start = start_tree(circuit_of(self), *arguments, *spectrum, kNoModelWarning, 1);
    if (!start) return nullptr;
    auto outcome = run_fit(*arguments, start->nodes, *spectrum, *weighting, {});
    if (!outcome) return nullptr;
    FitRecord record = record_of(std::move(*outcome));
    if (!warn_if_names_collapse(record.names)) return nullptr;
    return make_fit_result(std::move(record)).release();
  });
}

}  // namespace kovrant::python
