// Owning handle for PyObject references and a scoped release of the GIL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <utility>

namespace kovrant::python {

// True on a thread that CPython ended while it waited for the GIL at
// interpreter exit: its stack is being unwound without the GIL, so no
// reference count may be touched any more (the objects are abandoned).
inline thread_local bool g_thread_lost_gil = false;

// Retakes the GIL. At exit CPython 3.11 ends a daemon thread that asks for it
// with pthread_exit, which unwinds this thread's stack as a forced unwind:
// that unwind must pass through every frame up to the thread's start, so
// every caller up to the Python entry point must be free to throw.
inline void restore_gil(PyThreadState* state) {
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    g_thread_lost_gil = true;
    throw;
  }
}

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
  ~PyRef() {
    if (!g_thread_lost_gil) Py_XDECREF(object_);
  }

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
// The destructor may end the thread at interpreter exit (see restore_gil).
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() noexcept(false) { restore_gil(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace kovrant::python
