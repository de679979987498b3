#include "python/composition.h"

#include <algorithm>
#include <vector>

#include "circuit/describe.h"
#include "python/circuit_type.h"
#include "python/conversions.h"
#include "python/element_types.h"

namespace kovrant::python {
namespace {

// One series list per part, copied so the result shares nothing with its
// inputs, and whether every part had explicitly given values.
struct Parts {
  std::vector<SeriesList> lists;
  bool values_given = true;
};

bool read_part(PyObject* item, Parts& parts) {
  if (is_element(item)) {
    parts.lists.push_back({Node::element_node(element_of(item))});
    return true;
  }
  if (is_circuit(item)) {
    const CircuitObject& circuit = circuit_of(item);
    parts.lists.push_back(circuit.nodes);
    parts.values_given = parts.values_given && circuit.values_given;
    return true;
  }
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(item)));
  if (type_name) {
    PyErr_Format(PyExc_TypeError, "argument 'parts': expected Element or Circuit items, got '%U' at index %zu",
                 type_name.get(), parts.lists.size());
  }
  return false;
}

bool read_parts(PyObject* args, PyObject* kwargs, const char* format, Parts& parts) {
  PyObject* sequence = single_argument(args, kwargs, format, "parts");
  if (sequence == nullptr) return false;
  if (!require_sequence(sequence)) {
    name_argument_in_type_error("parts");
    return false;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!read_part(item.get(), parts)) return false;
  }
  return !PyErr_Occurred();
}

PyObject* series(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Parts parts;
    if (!read_parts(args, kwargs, "O:Series", parts)) return nullptr;
    SeriesList joined;
    for (SeriesList& list : parts.lists) std::move(list.begin(), list.end(), std::back_inserter(joined));
    return make_circuit(std::move(joined), parts.values_given).release();
  });
}

PyObject* parallel(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Parts parts;
    if (!read_parts(args, kwargs, "O:Parallel", parts)) return nullptr;
    size_t depth = 1;
    for (const SeriesList& list : parts.lists) depth = std::max(depth, 1 + nesting_depth(list));
    if (depth > kMaxNesting) return raise_message(PyExc_ValueError, nesting_too_deep_message(depth));
    SeriesList group{Node::parallel_node(std::move(parts.lists))};
    return make_circuit(std::move(group), parts.values_given).release();
  });
}

PyMethodDef kSeries = {"Series", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(series)),
                       METH_VARARGS | METH_KEYWORDS, "Series(parts)\n--\n\nConnect elements and circuits end to end."};

PyMethodDef kParallel = {"Parallel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parallel)),
                         METH_VARARGS | METH_KEYWORDS,
                         "Parallel(parts)\n--\n\nConnect elements and circuits as parallel branches."};

}  // namespace

PyMethodDef& series_definition() { return kSeries; }
PyMethodDef& parallel_definition() { return kParallel; }

}  // namespace kovrant::python
