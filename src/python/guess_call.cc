#include "python/guess_call.h"

#include "models/guess.h"
#include "models/model_table.h"
#include "python/circuit_type.h"
#include "python/conversions.h"
#include "python/spectrum.h"

namespace kovrant::python {

PyObject* ml_circuits(PyObject*, PyObject*) {
  return guarded([] { return str_list(model_table::names()).release(); });
}

std::optional<std::optional<std::string>> weights_path_argument(PyObject* object) {
  if (object == nullptr || object == Py_None) return std::optional<std::string>();
  auto path = str_argument(object, "weights");
  if (!path) return std::nullopt;
  return std::optional<std::string>(std::move(*path));
}

std::optional<std::vector<double>> guessed_values(const SeriesList& nodes, const Spectrum& spectrum,
                                                  const std::optional<std::string>& weights_path) {
  // Guessing touches no Python object, so other threads may run meanwhile.
  auto guessed = [&] {
    GilRelease unlocked;
    return guess_params(nodes, spectrum.frequencies, spectrum.impedances, weights_path);
  }();
  if (!guessed) {
    raise_message(PyExc_ValueError, guessed.error());
    return std::nullopt;
  }
  return std::move(guessed).value();
}

PyObject* guess(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"frequencies", "impedances", "weights", nullptr};
  PyObject* frequencies = nullptr;
  PyObject* impedances = nullptr;
  PyObject* weights = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:guess", const_cast<char**>(keywords), &frequencies, &impedances,
                                   &weights)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    const auto weights_path = weights_path_argument(weights);
    if (!weights_path) return nullptr;
    const auto spectrum = read_spectrum(frequencies, impedances);
    if (!spectrum) return nullptr;
    const auto values = guessed_values(circuit_of(self).nodes, *spectrum, *weights_path);
    if (!values) return nullptr;
    return float_list(*values).release();
  });
}

}  // namespace kovrant::python
