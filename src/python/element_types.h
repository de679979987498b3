// The Python class Element and its fourteen subclasses Element_<Kind>, one
// per catalogue kind, each holding one element value.
#pragma once

#include "elements/element.h"
#include "python/py_ref.h"

namespace kovrant::python {

struct ElementObject {
  PyObject ob_base;
  Element element;
};

// The base class, with its subclasses attached as Element.<Kind>; built on
// first use. Borrowed reference, or null with an exception set.
PyTypeObject* element_type();

bool is_element(PyObject* object);
const Element& element_of(PyObject* object);

// A new instance of the element's Element_<Kind> class.
PyRef make_element(const Element& element);

}  // namespace kovrant::python
