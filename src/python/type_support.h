// Building the module's heap types from specifications.
#pragma once

#include "python/py_ref.h"

namespace kovrant::python {

// PyType_FromSpecWithBases, reporting a failure as RuntimeError("An error
// occurred while initializing class <class_name>") caused by the original
// error. Returns a new reference or null.
PyTypeObject* create_type(PyType_Spec& spec, PyObject* base, const char* class_name);

// Adds a class attribute to a type that is not frozen yet.
bool set_class_attribute(PyTypeObject* type, const char* name, PyObject* value, const char* class_name);

// Makes the type immutable from Python once its attributes are in place.
bool freeze_type(PyTypeObject* type, const char* class_name);

// tp_dealloc of the module's types: frees the object and drops the reference
// that every instance of a heap type holds on its type.
template <typename Object>
void dealloc_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Object*>(self)->~Object();
  type->tp_free(self);
  Py_DECREF(type);
}

// A tp_new for classes that Python may not instantiate.
template <const char* Message>
PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, Message);
  return nullptr;
}

}  // namespace kovrant::python
