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

// A float64 array holding a copy of `values`: 1-D, or 2-D with `columns`
// columns when `columns` is not 0 (row-major).
PyRef float_array(const std::vector<double>& values, size_t columns = 0);

}  // namespace kovrant::python
