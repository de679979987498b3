// Conversions between Python objects and the core's plain values, and the
// error conventions of the bindings.
//
// Contract: every function that can fail returns false / an empty PyRef /
// nullopt with a Python exception set. Text crosses the boundary as UTF-8
// encoded with "surrogatepass", so lone surrogates survive both ways.
#pragma once

#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "elements/complex.h"
#include "elements/element.h"
#include "python/py_ref.h"

namespace kovrant::python {

std::optional<std::string> utf8_of(PyObject* str);
PyRef str_from_utf8(std::string_view text);

// Sets `type` with a message from core text. Returns null for `return`.
PyObject* raise_message(PyObject* type, std::string_view message);

// The only argument of a call that takes `keyword` by position or by name, as
// a borrowed reference; null with CPython's usual TypeError otherwise.
// `format` is "O:<function name>".
PyObject* single_argument(PyObject* args, PyObject* kwargs, const char* format, const char* keyword);

// The pending exception as a normalised exception object (traceback
// attached), clearing it; empty when none is pending.
PyRef take_pending_exception();

// Raises `type` with the str `message`, caused by `cause` (when given).
// A null `message` means building it failed; that error stays pending.
void raise_caused_by(PyObject* type, PyRef message, PyRef cause);

// Turns a pending TypeError into TypeError("argument '<name>': <reason>");
// other exceptions stay as they are.
void name_argument_in_type_error(const char* name);

// Clears the pending exception when it is an ordinary one (an Exception
// subclass other than MemoryError) and returns true; leaves MemoryError,
// KeyboardInterrupt and other BaseException-only errors pending and returns
// false, since those must reach the caller.
bool discard_ordinary_error();

// False with a TypeError unless `object` may be read as a list: a str is
// refused ("Can't extract `str` to `Vec`"), and so is anything that is not a
// sequence ("'<type>' object cannot be converted to 'Sequence'").
bool require_sequence(PyObject* object);

// A str refused as a list: "Can't extract `str` to `Vec`"; a non-sequence:
// "'<type>' object cannot be converted to 'Sequence'". Then every item through
// float() (or complex()) conversion; the first failure stands.
bool float_sequence(PyObject* object, std::vector<double>& out);
bool complex_sequence(PyObject* object, std::vector<Complex>& out);

// The same, with a TypeError naming the argument.
bool float_sequence_argument(PyObject* object, const char* name, std::vector<double>& out);
bool float_argument(PyObject* object, const char* name, double& out);
std::optional<std::string> str_argument(PyObject* object, const char* name);

PyRef float_list(std::span<const double> values);
PyRef str_list(std::span<const std::string> texts);
PyRef bounds_list(std::span<const Bounds> bounds);

// Runs `body`, turning a C++ exception that escapes it into a Python one, so
// that none crosses into the interpreter. Not noexcept: the forced unwind that
// ends a thread at interpreter exit (see restore_gil) must pass through.
template <typename Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return nullptr;
  }
}

}  // namespace kovrant::python
