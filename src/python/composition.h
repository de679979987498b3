// The module functions Series(parts) and Parallel(parts), which build a
// Circuit from element objects and circuits.
#pragma once

#include "python/py_ref.h"

namespace kovrant::python {

PyMethodDef& series_definition();
PyMethodDef& parallel_definition();

}  // namespace kovrant::python
