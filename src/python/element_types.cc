#include "python/element_types.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "circuit/describe.h"
#include "python/conversions.h"
#include "python/type_support.h"

namespace kovrant::python {
namespace {

constexpr char kElementDoc[] =
    "A single circuit element.\n\nThese are Python subclasses taking its fields as arguments.\n"
    "They are combined with `Series()` and `Parallel()`.";
constexpr char kNoElementConstructor[] = "No constructor defined for Element";

// Everything a kind's class needs to outlive it: CPython keeps pointers into
// the names, keyword list, getters and slots.
struct KindClass {
  Kind kind;
  std::string class_name;       // "Element_Cpe"
  std::string qualified_name;   // "kovrant.Element_Cpe"
  std::string doc;              // "Element_Cpe(q, alpha)\n--\n\n", the text signature
  std::string argument_format;  // "OO:Element_Cpe"
  std::vector<std::string> fields;
  std::vector<char*> keywords;
  std::vector<PyGetSetDef> getters;
  std::vector<PyType_Slot> slots;
  PyType_Spec spec{};
  PyTypeObject* type = nullptr;
};

std::array<KindClass, kKindCount>& kind_classes();

PyTypeObject* g_element_type = nullptr;

ElementObject* as_element_object(PyObject* object) { return reinterpret_cast<ElementObject*>(object); }

PyObject* element_repr(PyObject* self) {
  return guarded([&] { return str_from_utf8(describe_element(element_of(self))).release(); });
}

PyObject* field_getter(PyObject* self, void* closure) {
  const auto field = reinterpret_cast<std::intptr_t>(closure);
  return PyFloat_FromDouble(element_of(self).values[static_cast<size_t>(field)]);
}

const KindClass* class_of_type(PyTypeObject* type) {
  for (const KindClass& kind_class : kind_classes()) {
    if (kind_class.type == type) return &kind_class;
  }
  return nullptr;
}

PyObject* new_element(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const KindClass* kind_class = class_of_type(type);
  if (kind_class == nullptr) {
    PyErr_SetString(PyExc_TypeError, kNoElementConstructor);
    return nullptr;
  }
  std::array<PyObject*, kMaxFields> arguments{};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, kind_class->argument_format.c_str(),
                                   const_cast<char**>(kind_class->keywords.data()), &arguments[0], &arguments[1],
                                   &arguments[2], &arguments[3])) {
    return nullptr;
  }
  Element element;
  element.kind = kind_class->kind;
  for (size_t i = 0; i < kind_class->fields.size(); ++i) {
    if (!float_argument(arguments[i], kind_class->fields[i].c_str(), element.values[i])) return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_element_object(self)->element) Element(element);
  return self;
}

// Pickled as Element.<Kind>(*values): the subclasses are not module
// attributes under their class names, so they cannot be pickled by name.
PyObject* element_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const Element& element = element_of(self);
    PyRef operator_module = PyRef::steal(PyImport_ImportModule("operator"));
    PyRef methodcaller =
        operator_module ? PyRef::steal(PyObject_GetAttrString(operator_module.get(), "methodcaller")) : PyRef{};
    PyRef caller_arguments = PyRef::steal(PyTuple_New(1 + element.param_count()));
    PyRef kind_name = str_from_utf8(kind_info(element.kind).name);
    if (!methodcaller || !caller_arguments || !kind_name) return nullptr;
    PyTuple_SET_ITEM(caller_arguments.get(), 0, kind_name.release());
    for (int i = 0; i < element.param_count(); ++i) {
      PyObject* value = PyFloat_FromDouble(element.values[static_cast<size_t>(i)]);
      if (value == nullptr) return nullptr;
      PyTuple_SET_ITEM(caller_arguments.get(), 1 + i, value);
    }
    PyRef caller = PyRef::steal(PyObject_CallObject(methodcaller.get(), caller_arguments.get()));
    if (!caller) return nullptr;
    return Py_BuildValue("(O(O))", caller.get(), reinterpret_cast<PyObject*>(g_element_type));
  });
}

PyMethodDef kElementMethods[] = {
    {"__reduce__", element_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void describe_kind_class(KindClass& kind_class, Kind kind) {
  const KindInfo& info = kind_info(kind);
  kind_class.kind = kind;
  kind_class.class_name = "Element_" + std::string(info.name);
  kind_class.qualified_name = "kovrant." + kind_class.class_name;
  kind_class.argument_format = std::string(static_cast<size_t>(info.param_count), 'O') + ":" + kind_class.class_name;
  std::string signature;
  for (int i = 0; i < info.param_count; ++i) {
    kind_class.fields.emplace_back(info.fields[i]);
    if (i > 0) signature += ", ";
    signature += kind_class.fields.back();
  }
  kind_class.doc = kind_class.class_name + "(" + signature + ")\n--\n\n";
  for (size_t i = 0; i < kind_class.fields.size(); ++i) {
    kind_class.keywords.push_back(kind_class.fields[i].data());
    kind_class.getters.push_back({kind_class.fields[i].c_str(), field_getter, nullptr, nullptr,
                                  reinterpret_cast<void*>(static_cast<std::intptr_t>(i))});
  }
  kind_class.keywords.push_back(nullptr);
  kind_class.getters.push_back({});
  kind_class.slots = {
      {Py_tp_new, reinterpret_cast<void*>(new_element)},
      {Py_tp_doc, kind_class.doc.data()},
      {Py_tp_getset, kind_class.getters.data()},
      {0, nullptr},
  };
  kind_class.spec = {kind_class.qualified_name.c_str(), sizeof(ElementObject), 0, Py_TPFLAGS_DEFAULT,
                     kind_class.slots.data()};
}

// Built once and never freed, like the types that point into them.
std::array<KindClass, kKindCount>& kind_classes() {
  static auto* classes = [] {
    auto* described = new std::array<KindClass, kKindCount>();
    for (Kind kind : all_kinds()) describe_kind_class((*described)[static_cast<size_t>(kind)], kind);
    return described;
  }();
  return *classes;
}

PyRef match_args(const KindClass& kind_class) {
  PyRef names = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kind_class.fields.size())));
  if (!names) return {};
  for (size_t i = 0; i < kind_class.fields.size(); ++i) {
    PyRef name = str_from_utf8(kind_class.fields[i]);
    if (!name) return {};
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name.release());
  }
  return names;
}

PyTypeObject* create_base_type() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(refuse_construction<kNoElementConstructor>)},
      {Py_tp_repr, reinterpret_cast<void*>(element_repr)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<ElementObject>)},
      {Py_tp_doc, const_cast<char*>(kElementDoc)},
      {Py_tp_methods, kElementMethods},
      {0, nullptr},
  };
  static PyType_Spec spec = {"kovrant.Element", sizeof(ElementObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                             slots};
  return create_type(spec, nullptr, "Element");
}

PyRef create_kind_class(KindClass& kind_class, PyTypeObject* base) {
  const char* name = kind_class.class_name.c_str();
  PyRef type =
      PyRef::steal(reinterpret_cast<PyObject*>(create_type(kind_class.spec, reinterpret_cast<PyObject*>(base), name)));
  PyRef names = match_args(kind_class);
  if (!type || !names ||
      !set_class_attribute(reinterpret_cast<PyTypeObject*>(type.get()), "__match_args__", names.get(), name)) {
    return {};
  }
  return type;
}

// The base, then every subclass, then the subclasses as attributes of the
// base. Freezing goes base first, as a frozen class may only derive from
// frozen ones. Nothing is kept unless all of it succeeds.
PyTypeObject* create_element_types() {
  PyRef base = PyRef::steal(reinterpret_cast<PyObject*>(create_base_type()));
  if (!base) return nullptr;
  PyTypeObject* base_type = reinterpret_cast<PyTypeObject*>(base.get());
  std::array<PyRef, kKindCount> kind_types;
  for (Kind kind : all_kinds()) {
    PyRef& kind_type = kind_types[static_cast<size_t>(kind)];
    kind_type = create_kind_class(kind_classes()[static_cast<size_t>(kind)], base_type);
    const std::string short_name(kind_info(kind).name);
    if (!kind_type || !set_class_attribute(base_type, short_name.c_str(), kind_type.get(), "Element")) return nullptr;
  }
  if (!freeze_type(base_type, "Element")) return nullptr;
  for (Kind kind : all_kinds()) {
    KindClass& kind_class = kind_classes()[static_cast<size_t>(kind)];
    PyRef& kind_type = kind_types[static_cast<size_t>(kind)];
    if (!freeze_type(reinterpret_cast<PyTypeObject*>(kind_type.get()), kind_class.class_name.c_str())) return nullptr;
  }
  for (Kind kind : all_kinds()) {
    kind_classes()[static_cast<size_t>(kind)].type =
        reinterpret_cast<PyTypeObject*>(kind_types[static_cast<size_t>(kind)].release());
  }
  return reinterpret_cast<PyTypeObject*>(base.release());
}

}  // namespace

PyTypeObject* element_type() {
  if (g_element_type == nullptr) g_element_type = create_element_types();
  return g_element_type;
}

bool is_element(PyObject* object) { return g_element_type != nullptr && PyObject_TypeCheck(object, g_element_type); }

const Element& element_of(PyObject* object) { return as_element_object(object)->element; }

PyRef make_element(const Element& element) {
  if (element_type() == nullptr) return {};
  PyTypeObject* type = kind_classes()[static_cast<size_t>(element.kind)].type;
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return {};
  new (&as_element_object(self.get())->element) Element(element);
  return self;
}

}  // namespace kovrant::python
