#include "python/type_support.h"

#include "python/conversions.h"

namespace kovrant::python {
namespace {

// Replaces the pending error by the class-initialisation error, keeping the
// original as its cause.
void report_class_failure(const char* class_name) {
  PyRef cause = take_pending_exception();
  PyRef message = PyRef::steal(PyUnicode_FromFormat("An error occurred while initializing class %s", class_name));
  raise_caused_by(PyExc_RuntimeError, std::move(message), std::move(cause));
}

}  // namespace

PyTypeObject* create_type(PyType_Spec& spec, PyObject* base, const char* class_name) {
  PyObject* type = PyType_FromSpecWithBases(&spec, base);
  if (type == nullptr) report_class_failure(class_name);
  return reinterpret_cast<PyTypeObject*>(type);
}

bool set_class_attribute(PyTypeObject* type, const char* name, PyObject* value, const char* class_name) {
  if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, value) == 0) return true;
  report_class_failure(class_name);
  return false;
}

bool freeze_type(PyTypeObject* type, const char* class_name) {
#if PY_VERSION_HEX >= 0x030E0000
  if (PyType_Freeze(type) == 0) return true;
  report_class_failure(class_name);
  return false;
#else
  (void)class_name;
  type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(type);
  return true;
#endif
}

}  // namespace kovrant::python
