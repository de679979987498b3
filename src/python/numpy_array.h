// The only use of the NumPy C API: handing computed impedances to Python.
#pragma once

#include <vector>

#include "elements/complex.h"
#include "python/py_ref.h"

namespace kovrant::python {

// Loads NumPy's C API; false with an exception set if NumPy is unusable.
bool import_numpy();

// A 1-D complex128 array over `values`' own buffer (no copy); the buffer is
// released with the array.
PyRef complex_array(std::vector<Complex> values);

}  // namespace kovrant::python
