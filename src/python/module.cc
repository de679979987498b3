// The import entry point: one module object per process, one interpreter.
#include <atomic>
#include <cstdint>
#include <string>

#include "python/circuit_type.h"
#include "python/composition.h"
#include "python/conversions.h"
#include "python/element_types.h"
#include "python/fit_result_type.h"
#include "python/numpy_array.h"
#include "python/py_ref.h"

namespace kovrant::python {
namespace {

PyModuleDef g_module_definition = {
    PyModuleDef_HEAD_INIT, "kovrant", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Created once and kept for the life of the process, so that importing again
// after `del sys.modules["kovrant"]` yields the same object.
PyObject* g_module = nullptr;

// The core's state (the worker pool, loaded networks) is process-wide, so
// only the first interpreter that imports the module may use it.
std::atomic<std::int64_t> g_interpreter_id{-1};

bool claim_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return false;
  std::int64_t owner = -1;
  if (g_interpreter_id.compare_exchange_strong(owner, id) || owner == id) return true;
  PyErr_SetString(PyExc_ImportError, "kovrant does not support sub-interpreters; import it in the main interpreter");
  return false;
}

bool add_object(PyObject* module, const char* name, PyObject* object) {
  return object != nullptr && PyModule_AddObjectRef(module, name, object) == 0;
}

bool add_function(PyObject* module, PyMethodDef& definition) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  PyRef function = PyRef::steal(PyCFunction_NewEx(&definition, nullptr, module_name.get()));
  return add_object(module, definition.ml_name, function.get());
}

// The element classes again under their short names, as found on Element.
bool add_element_shortcuts(PyObject* module, PyTypeObject* element) {
  for (Kind kind : all_kinds()) {
    const std::string name(kind_info(kind).name);
    PyRef kind_class = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(element), name.c_str()));
    if (!add_object(module, name.c_str(), kind_class.get())) return false;
  }
  return true;
}

bool populate(PyObject* module) {
  PyTypeObject* element = element_type();
  return add_object(module, "Element", reinterpret_cast<PyObject*>(element)) &&
         add_object(module, "Circuit", reinterpret_cast<PyObject*>(circuit_type())) &&
         add_object(module, "FitResult", reinterpret_cast<PyObject*>(fit_result_type())) &&
         add_function(module, series_definition()) && add_function(module, parallel_definition()) &&
         add_element_shortcuts(module, element);
}

PyObject* create_module() {
  if (!import_numpy()) return nullptr;
  PyRef module = PyRef::steal(PyModule_Create(&g_module_definition));
  if (!module || !populate(module.get())) return nullptr;
  g_module = module.release();
  return Py_NewRef(g_module);
}

}  // namespace
}  // namespace kovrant::python

PyMODINIT_FUNC PyInit_kovrant() {
  using namespace kovrant::python;
  return guarded([]() -> PyObject* {
    if (!claim_interpreter()) return nullptr;
    if (g_module != nullptr) return Py_NewRef(g_module);
    return create_module();
  });
}
