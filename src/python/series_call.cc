#include "python/series_call.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/params.h"
#include "fit/series_fit.h"
#include "models/guess.h"
#include "python/conversions.h"
#include "python/spectrum.h"

namespace kovrant::python {

const char kFitSeriesDoc[] =
    "fit_series(circuit, spectra, parameters, starts=None, *, weight='modulus', fallback='guess',\n"
    "           guess_weights=None, poor_fit=1e-3, max_iterations=200, ftol=1e-10, xtol=1e-10,\n"
    "           gtol=1e-10, data_used=None)\n--\n\n"
    "Fits `circuit` to every (frequencies, impedances) pair of `spectra` as one\n"
    "problem. `parameters` holds one tuple per circuit parameter: (role, groups,\n"
    "law, covariate, degree, smoothing, lower, upper) with role 'per_spectrum',\n"
    "'shared', 'law' or 'fixed', groups None or one int per spectrum, law None,\n"
    "'arrhenius' or 'polynomial' with one covariate value per spectrum.\n"
    "Without `starts` (one list of values per spectrum) the spectra are first\n"
    "fitted one by one, warm-started along the series, from the fallback\n"
    "('guess': the network's guess, 'values': the circuit's values; fixed\n"
    "parameters always keep the circuit's values); those fits are returned\n"
    "under 'independent'. Returns a dict of flat row-major lists.";

namespace {

using Role = SeriesParameter::Role;

bool set_item(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef flat(const std::vector<std::vector<double>>& rows) {
  std::vector<double> values;
  for (const auto& row : rows) values.insert(values.end(), row.begin(), row.end());
  return float_list(values);
}

PyRef bool_list(const std::vector<bool>& flags) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(flags.size())));
  if (!list) return {};
  for (size_t i = 0; i < flags.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(flags[i] ? Py_True : Py_False));
  }
  return list;
}

PyRef count(std::uint64_t value) { return PyRef::steal(PyLong_FromUnsignedLongLong(value)); }

bool index_sequence(PyObject* object, const char* name, std::vector<size_t>& out) {
  std::vector<double> numbers;
  if (!float_sequence_argument(object, name, numbers)) return false;
  for (double number : numbers) {
    if (!(number >= 0.0) || number != static_cast<double>(static_cast<size_t>(number))) {
      PyErr_Format(PyExc_ValueError, "argument '%s': group %R is not an index >= 0", name,
                   PyRef::steal(PyFloat_FromDouble(number)).get());
      return false;
    }
    out.push_back(static_cast<size_t>(number));
  }
  return true;
}

// One parameter's tuple (role, groups, law, covariate, degree, smoothing, lower, upper).
bool read_parameter(PyObject* item, SeriesParameter& out) {
  const char *role = nullptr, *law = nullptr;
  PyObject *groups = nullptr, *covariate = nullptr;
  Py_ssize_t degree = 1;
  if (!PyArg_ParseTuple(item, "sOzOnddd:parameter", &role, &groups, &law, &covariate, &degree, &out.smoothing,
                        &out.bounds.lo, &out.bounds.hi)) {
    return false;
  }
  const std::string_view role_text = role;
  if (role_text == "per_spectrum") {
    out.role = Role::PerSpectrum;
  } else if (role_text == "shared") {
    out.role = Role::Shared;
    if (groups != Py_None && !index_sequence(groups, "groups", out.group)) return false;
  } else if (role_text == "fixed") {
    out.role = Role::Fixed;
  } else if (role_text == "law") {
    out.role = Role::Law;
    const std::string_view law_text = law == nullptr ? "" : law;
    if (law_text != "arrhenius" && law_text != "polynomial") {
      return raise_message(PyExc_ValueError, "law must be 'arrhenius' or 'polynomial'") != nullptr;
    }
    if (degree < 0) return raise_message(PyExc_ValueError, "degree must be >= 0") != nullptr;
    out.law.kind = law_text == "arrhenius" ? SeriesLaw::Kind::Arrhenius : SeriesLaw::Kind::Polynomial;
    out.law.degree = static_cast<size_t>(degree);
    if (!float_sequence_argument(covariate, "covariate", out.law.covariate)) return false;
  } else {
    PyErr_Format(PyExc_ValueError, "unknown role %R", PyTuple_GET_ITEM(item, 0));
    return false;
  }
  return true;
}

template <typename Item>
bool for_each_item(PyObject* sequence, const char* message, Item item) {
  PyRef items = PyRef::steal(PySequence_Fast(sequence, message));
  if (!items) return false;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
  for (Py_ssize_t k = 0; k < size; ++k) {
    if (!item(PySequence_Fast_GET_ITEM(items.get(), k))) return false;
  }
  return true;
}

struct SeriesArguments {
  const SeriesList* tree = nullptr;
  std::vector<Spectrum> spectra;
  std::vector<SeriesParameter> parameters;
  std::optional<std::vector<std::vector<double>>> starts;
  Weighting weighting = Weighting::Modulus;
  bool guess_fallback = true;
  std::optional<std::string> guess_weights;
  double poor_fit = 1e-3;
  std::uint32_t max_iterations = 200;
  SeriesSettings settings;
  std::vector<bool> data_used;
};

std::optional<SeriesArguments> read_arguments(PyObject* args, PyObject* kwargs, TreeReader read_tree) {
  static const char* keywords[] = {"circuit", "spectra",  "parameters",     "starts", "weight",
                                   "fallback", "guess_weights", "poor_fit", "max_iterations", "ftol",
                                   "xtol",    "gtol",     "data_used",      nullptr};
  PyObject *circuit, *spectra, *parameters, *starts = Py_None, *data_used = Py_None, *guess_weights = Py_None;
  const char *weight = "modulus", *fallback = "guess";
  unsigned int max_iterations = 200;
  SeriesArguments a;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O$ssOdIdddO:fit_series", const_cast<char**>(keywords), &circuit,
                                   &spectra, &parameters, &starts, &weight, &fallback, &guess_weights, &a.poor_fit,
                                   &max_iterations, &a.settings.ftol, &a.settings.xtol, &a.settings.gtol,
                                   &data_used)) {
    return std::nullopt;
  }
  a.max_iterations = max_iterations;
  a.settings.poor_fit = a.poor_fit;
  a.settings.max_iterations = max_iterations;
  a.tree = read_tree(circuit);
  if (a.tree == nullptr) return std::nullopt;
  const auto weighting = weighting_from_text(weight);
  if (!weighting) return std::nullopt;
  a.weighting = *weighting;
  const std::string_view fallback_text = fallback;
  if (fallback_text != "guess" && fallback_text != "values") {
    raise_message(PyExc_ValueError, "fallback must be 'guess' or 'values'");
    return std::nullopt;
  }
  a.guess_fallback = fallback_text == "guess";
  if (guess_weights != Py_None) {
    auto path = str_argument(guess_weights, "guess_weights");
    if (!path) return std::nullopt;
    a.guess_weights = std::move(*path);
  }
  const bool read = for_each_item(spectra, "argument 'spectra': expected a sequence of pairs", [&](PyObject* pair) {
    PyObject *frequencies, *impedances;
    if (!PyArg_ParseTuple(pair, "OO:spectrum", &frequencies, &impedances)) return false;
    auto spectrum = read_spectrum(frequencies, impedances);
    if (!spectrum) return false;
    a.spectra.push_back(std::move(*spectrum));
    return true;
  }) && for_each_item(parameters, "argument 'parameters': expected a sequence of tuples", [&](PyObject* item) {
    a.parameters.emplace_back();
    return read_parameter(item, a.parameters.back());
  });
  if (!read) return std::nullopt;
  if (starts != Py_None) {
    a.starts.emplace();
    const bool starts_read = for_each_item(starts, "argument 'starts': expected a sequence", [&](PyObject* row) {
      a.starts->emplace_back();
      return float_sequence_argument(row, "starts", a.starts->back());
    });
    if (!starts_read) return std::nullopt;
  }
  if (data_used != Py_None) {
    const bool flags_read = for_each_item(data_used, "argument 'data_used': expected a sequence", [&](PyObject* flag) {
      const int truth = PyObject_IsTrue(flag);
      a.data_used.push_back(truth == 1);
      return truth >= 0;
    });
    if (!flags_read) return std::nullopt;
  }
  return a;
}

PyRef independent_dict(const std::vector<IndependentFit>& fits) {
  std::vector<std::vector<double>> values, errors;
  std::vector<double> chi_square;
  std::vector<bool> success, warm;
  std::uint64_t evals = 0;
  for (const IndependentFit& fit : fits) {
    values.push_back(fit.values);
    errors.push_back(fit.standard_errors);
    chi_square.push_back(fit.chi_square);
    success.push_back(fit.success);
    warm.push_back(fit.warm);
    evals += fit.impedance_evals;
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  const bool filled = set_item(dict.get(), "values", flat(values)) && set_item(dict.get(), "stderr", flat(errors)) &&
                      set_item(dict.get(), "chi_square", float_list(chi_square)) &&
                      set_item(dict.get(), "success", bool_list(success)) &&
                      set_item(dict.get(), "warm", bool_list(warm)) &&
                      set_item(dict.get(), "impedance_evals", count(evals));
  return filled ? dict : PyRef{};
}

PyRef outcome_dict(const SeriesOutcome& outcome, PyRef independent) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  const bool filled =
      set_item(dict.get(), "values", flat(outcome.values)) &&
      set_item(dict.get(), "stderr", flat(outcome.standard_errors)) &&
      set_item(dict.get(), "globals", float_list(outcome.globals)) &&
      set_item(dict.get(), "global_covariance", float_list(outcome.global_covariance)) &&
      set_item(dict.get(), "chi_square", float_list(outcome.chi_square)) &&
      set_item(dict.get(), "penalty", PyRef::steal(PyFloat_FromDouble(outcome.penalty))) &&
      set_item(dict.get(), "residual_count", count(outcome.residual_count)) &&
      set_item(dict.get(), "free_count", count(outcome.free_count)) &&
      set_item(dict.get(), "iterations", count(outcome.iterations)) &&
      set_item(dict.get(), "impedance_evals", count(outcome.impedance_evals)) &&
      set_item(dict.get(), "success", PyRef::borrow(outcome.success ? Py_True : Py_False)) &&
      set_item(dict.get(), "termination", str_from_utf8(termination_text(outcome.termination))) &&
      set_item(dict.get(), "independent", std::move(independent));
  return filled ? dict : PyRef{};
}

// The fallback start of one spectrum: the guess or the circuit's values, with
// the held parameters at the circuit's values.
FallbackStart fallback_of(const SeriesArguments& a, const std::vector<double>& own_values) {
  return [&a, own_values](size_t i, std::string& message) -> std::optional<std::vector<double>> {
    if (!a.guess_fallback) return own_values;
    auto guess = guess_params(*a.tree, a.spectra[i].frequencies, a.spectra[i].impedances, a.guess_weights);
    if (!guess) {
      message = guess.error();
      return std::nullopt;
    }
    std::vector<double> values = std::move(guess).value();
    for (size_t j = 0; j < values.size(); ++j) {
      if (a.parameters[j].role == Role::Fixed) values[j] = own_values[j];
    }
    return values;
  };
}

}  // namespace

// The solve asks now and then whether to stop: that briefly retakes the GIL
// to run pending signal handlers, so Ctrl-C ends it promptly.
PyObject* fit_series(PyObject* args, PyObject* kwargs, TreeReader read_tree) {
  return guarded([&]() -> PyObject* {
    auto arguments = read_arguments(args, kwargs, read_tree);
    if (!arguments) return nullptr;
    SeriesArguments& a = *arguments;
    const size_t p = param_count(*a.tree);
    if (a.parameters.size() != p) {
      return raise_message(PyExc_ValueError, "parameters describes " + std::to_string(a.parameters.size()) +
                                                 " parameters; the circuit has " + std::to_string(p));
    }
    SeriesProblem problem;
    problem.circuit = a.tree;
    problem.parameters = a.parameters;
    problem.weighting = a.weighting;
    problem.data_used = a.data_used;
    for (const Spectrum& spectrum : a.spectra) problem.spectra.push_back({spectrum.frequencies, spectrum.impedances});

    PyThreadState* released = PyEval_SaveThread();
    const StopCallback should_stop = [&released] {
      PyEval_RestoreThread(released);
      const bool interrupted = PyErr_CheckSignals() != 0;
      released = PyEval_SaveThread();
      return interrupted;
    };
    a.settings.should_stop = should_stop;
    std::optional<FitError> error;
    std::optional<std::vector<IndependentFit>> independent;
    if (a.starts) {
      problem.starts = std::move(*a.starts);
    } else {
      std::vector<bool> fixed;
      std::vector<Bounds> bounds;
      for (const SeriesParameter& parameter : a.parameters) {
        fixed.push_back(parameter.role == Role::Fixed);
        bounds.push_back(parameter.bounds);
      }
      auto fits = independent_fits(*a.tree, problem.spectra, a.weighting, fixed, bounds,
                                   fallback_of(a, param_values(*a.tree)), a.poor_fit, a.max_iterations, should_stop);
      if (fits) {
        for (const IndependentFit& fit : fits.value()) problem.starts.push_back(fit.values);
        independent = std::move(fits).value();
      } else {
        error = fits.error();
      }
    }
    std::optional<SeriesOutcome> outcome;
    if (!error) {
      auto result = series_fit(problem, a.settings);
      if (result) {
        outcome = std::move(result).value();
      } else {
        error = result.error();
      }
    }
    PyEval_RestoreThread(released);
    if (PyErr_Occurred()) return nullptr;  // a signal handler raised while the fit ran
    if (error) return raise_message(PyExc_ValueError, error->message());
    PyRef independent_part = independent ? independent_dict(*independent) : PyRef::borrow(Py_None);
    if (!independent_part) return nullptr;
    return outcome_dict(*outcome, std::move(independent_part)).release();
  });
}

}  // namespace kovrant::python
