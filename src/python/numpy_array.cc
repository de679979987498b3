#include "python/numpy_array.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <memory>

namespace kovrant::python {
namespace {

static_assert(sizeof(Complex) == 2 * sizeof(double), "Complex must be laid out as complex128");

constexpr const char* kBufferCapsuleName = "kovrant.impedance_buffer";

void free_buffer(PyObject* capsule) {
  delete static_cast<std::vector<Complex>*>(PyCapsule_GetPointer(capsule, kBufferCapsuleName));
}

}  // namespace

bool import_numpy() { return _import_array() >= 0; }

PyRef complex_array(std::vector<Complex> values) {
  npy_intp length = static_cast<npy_intp>(values.size());
  if (values.empty()) return PyRef::steal(PyArray_SimpleNew(1, &length, NPY_COMPLEX128));
  auto buffer = std::make_unique<std::vector<Complex>>(std::move(values));
  PyRef capsule = PyRef::steal(PyCapsule_New(buffer.get(), kBufferCapsuleName, free_buffer));
  if (!capsule) return {};
  buffer.release();
  auto* data = static_cast<std::vector<Complex>*>(PyCapsule_GetPointer(capsule.get(), kBufferCapsuleName))->data();
  PyRef array = PyRef::steal(PyArray_SimpleNewFromData(1, &length, NPY_COMPLEX128, data));
  if (!array) return {};
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) return {};
  return array;
}

}  // namespace kovrant::python

namespace kovrant::python {

PyRef float_array(const std::vector<double>& values, size_t columns) {
  npy_intp shape[2] = {static_cast<npy_intp>(values.size()), 0};
  if (columns != 0) shape[0] /= static_cast<npy_intp>(shape[1] = static_cast<npy_intp>(columns));
  PyRef array = PyRef::steal(PyArray_SimpleNew(columns == 0 ? 1 : 2, shape, NPY_FLOAT64));
  if (!array) return {};
  std::copy(values.begin(), values.end(), static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))));
  return array;
}

}  // namespace kovrant::python
