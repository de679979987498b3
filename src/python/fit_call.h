// Circuit.fit: argument conversion, start point, and the fit itself with the
// GIL released.
#pragma once

#include "python/py_ref.h"

namespace kovrant::python {

PyObject* fit(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace kovrant::python
