#include "python/conversions.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace kovrant::python {
namespace {

// A lying __len__ must not make us reserve gigabytes up front.
constexpr Py_ssize_t kMaxReservation = Py_ssize_t{1} << 20;

PyObject* type_name_of(PyObject* object) { return PyType_GetName(Py_TYPE(object)); }

// len(object) as a capacity hint; a failing __len__ is ignored unless its
// error is not an ordinary one. Returns -1 with that error pending.
Py_ssize_t capacity_hint(PyObject* object) {
  const Py_ssize_t length = PyObject_Size(object);
  if (length >= 0) return std::min(length, kMaxReservation);
  return discard_ordinary_error() ? 0 : -1;
}

// Calls convert(item) on every item of a sequence; stops at the first failure.
template <typename Convert>
bool for_each_item(PyObject* object, Convert&& convert) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!convert(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// Copies a one-dimensional buffer whose items have the struct format
// `format` ("d": float64, "Zd": complex128) into `out`; the values are those
// that iterating the object would give, without a Python object per item.
// Returns false, with no error set, when the object has no such buffer.
template <typename Item>
bool copy_typed_buffer(PyObject* object, std::string_view format, std::vector<Item>& out) {
  if (!PyObject_CheckBuffer(object)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
    PyErr_Clear();
    return false;
  }
  std::string_view item_format = view.format != nullptr ? view.format : "B";
  if (!item_format.empty() && (item_format[0] == '=' || item_format[0] == '<' || item_format[0] == '@')) {
    item_format.remove_prefix(1);
  }
  const bool usable = view.ndim == 1 && item_format == format && view.itemsize == sizeof(Item);
  if (usable) {
    out.resize(static_cast<size_t>(view.shape[0]));
    const char* base = static_cast<const char*>(view.buf);
    for (Py_ssize_t i = 0; i < view.shape[0]; ++i)
      std::memcpy(&out[static_cast<size_t>(i)], base + i * view.strides[0], sizeof(Item));
  }
  PyBuffer_Release(&view);
  return usable;
}

}  // namespace

bool require_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    PyRef name = PyRef::steal(type_name_of(object));
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'", name.get());
    return false;
  }
  return true;
}

std::optional<std::string> utf8_of(PyObject* str) {
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!bytes) return std::nullopt;
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

PyRef str_from_utf8(std::string_view text) {
  return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

PyObject* raise_message(PyObject* type, std::string_view message) {
  PyRef text = str_from_utf8(message);
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* single_argument(PyObject* args, PyObject* kwargs, const char* format, const char* keyword) {
  char* keywords[] = {const_cast<char*>(keyword), nullptr};
  PyObject* argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &argument)) return nullptr;
  return argument;
}

PyRef take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
#endif
}

void raise_caused_by(PyObject* type, PyRef message, PyRef cause) {
  if (!message) return;
  PyErr_SetObject(type, message.get());
  if (!cause) return;
  PyRef raised = take_pending_exception();
  PyException_SetContext(raised.get(), Py_NewRef(cause.get()));
  PyException_SetCause(raised.get(), cause.release());
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(raised.release());
#else
  PyObject* value = raised.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

void name_argument_in_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyRef original = take_pending_exception();
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
  raise_caused_by(PyExc_TypeError, std::move(message), std::move(original));
}

bool discard_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
  PyErr_Clear();
  return true;
}

namespace {

// The shared body of the two list conversions: the buffer fast path, then
// convert(item, out) for every item; the first failure stands.
template <typename Item, typename Convert>
bool item_sequence(PyObject* object, std::string_view buffer_format, std::vector<Item>& out, Convert&& convert) {
  if (!require_sequence(object)) return false;
  if (copy_typed_buffer(object, buffer_format, out)) return true;
  const Py_ssize_t hint = capacity_hint(object);
  if (hint < 0) return false;
  out.reserve(static_cast<size_t>(hint));
  return for_each_item(object, [&](PyObject* item) { return convert(item, out); });
}

}  // namespace

bool float_sequence(PyObject* object, std::vector<double>& out) {
  return item_sequence(object, "d", out, [](PyObject* item, std::vector<double>& values) {
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) return false;
    values.push_back(value);
    return true;
  });
}

bool complex_sequence(PyObject* object, std::vector<Complex>& out) {
  return item_sequence(object, "Zd", out, [](PyObject* item, std::vector<Complex>& values) {
    const Py_complex value = PyComplex_AsCComplex(item);
    if (value.real == -1.0 && PyErr_Occurred()) return false;
    values.push_back({value.real, value.imag});
    return true;
  });
}

bool float_sequence_argument(PyObject* object, const char* name, std::vector<double>& out) {
  if (float_sequence(object, out)) return true;
  name_argument_in_type_error(name);
  return false;
}

bool float_argument(PyObject* object, const char* name, double& out) {
  out = PyFloat_AsDouble(object);
  if (out != -1.0 || !PyErr_Occurred()) return true;
  name_argument_in_type_error(name);
  return false;
}

std::optional<std::string> str_argument(PyObject* object, const char* name) {
  if (!PyUnicode_Check(object)) {
    PyRef type_name = PyRef::steal(type_name_of(object));
    if (type_name) PyErr_Format(PyExc_TypeError, "argument '%s': must be str, not %U", name, type_name.get());
    return std::nullopt;
  }
  return utf8_of(object);
}

PyRef float_list(std::span<const double> values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return {};
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* number = PyFloat_FromDouble(values[i]);
    if (!number) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
  }
  return list;
}

PyRef str_list(std::span<const std::string> texts) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return {};
  for (size_t i = 0; i < texts.size(); ++i) {
    PyRef text = str_from_utf8(texts[i]);
    if (!text) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text.release());
  }
  return list;
}

PyRef bounds_list(std::span<const Bounds> bounds) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(bounds.size())));
  if (!list) return {};
  for (size_t i = 0; i < bounds.size(); ++i) {
    PyObject* pair = Py_BuildValue("(dd)", bounds[i].lo, bounds[i].hi);
    if (!pair) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list;
}

}  // namespace kovrant::python
