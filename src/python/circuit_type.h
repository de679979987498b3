// The Python class Circuit: an immutable circuit tree plus the flag that says
// whether its values were given explicitly.
#pragma once

#include "circuit/tree.h"
#include "python/py_ref.h"

namespace kovrant::python {

struct CircuitObject {
  PyObject ob_base;
  SeriesList nodes;
  bool values_given;
};

// Built on first use. Borrowed reference, or null with an exception set.
PyTypeObject* circuit_type();

PyRef make_circuit(SeriesList nodes, bool values_given);

bool is_circuit(PyObject* object);
const CircuitObject& circuit_of(PyObject* object);

}  // namespace kovrant::python
