// Owning handle for PyObject references and a scoped release of the GIL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kovrant::python {

// Owns one strong reference (or none).
class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef& other) : object_(Py_XNewRef(other.object_)) {}
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a new reference (as returned by most C API calls); null is allowed.
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed pointer.
  static PyRef borrow(PyObject* object) { return PyRef(Py_XNewRef(object)); }

  PyObject* get() const { return object_; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

// Releases the GIL for its lifetime; no Python object may be touched meanwhile.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace kovrant::python
