#include "python/fit_result_type.h"

#include <algorithm>

#include "circuit/describe.h"
#include "python/circuit_type.h"
#include "python/conversions.h"
#include "python/type_support.h"

namespace kovrant::python {
namespace {

constexpr char kNoFitResultConstructor[] = "No constructor defined for FitResult";

struct FitResultObject {
  PyObject ob_base;
  FitRecord record;
};

PyTypeObject* g_fit_result_type = nullptr;

const FitRecord& record_of(PyObject* self) { return reinterpret_cast<FitResultObject*>(self)->record; }

// {name: value} over as many pairs as the shorter list has.
PyRef named_dict(const std::vector<std::string>& names, const std::vector<double>& values) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  const size_t pairs = std::min(names.size(), values.size());
  for (size_t i = 0; i < pairs; ++i) {
    PyRef key = str_from_utf8(names[i]);
    PyRef value = PyRef::steal(PyFloat_FromDouble(values[i]));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
  }
  return dict;
}

PyObject* get_circuit(PyObject* self, void*) {
  return guarded([&] { return make_circuit(record_of(self).circuit, true).release(); });
}

PyObject* get_params(PyObject* self, void*) {
  return guarded([&] { return named_dict(record_of(self).names, record_of(self).values).release(); });
}

PyObject* get_stderr(PyObject* self, void*) {
  const FitRecord& record = record_of(self);
  if (!record.standard_errors) Py_RETURN_NONE;
  return guarded([&] { return named_dict(record.names, *record.standard_errors).release(); });
}

PyObject* get_success(PyObject* self, void*) { return PyBool_FromLong(record_of(self).success); }

PyObject* get_iterations(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(record_of(self).iterations); }

PyObject* get_impedance_evals(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(record_of(self).impedance_evals);
}

PyObject* get_cost(PyObject* self, void*) { return PyFloat_FromDouble(record_of(self).cost); }

PyObject* get_chi_square(PyObject* self, void*) { return PyFloat_FromDouble(record_of(self).chi_square); }

PyObject* fit_result_repr(PyObject* self) {
  const FitRecord& record = record_of(self);
  return guarded([&] {
    return str_from_utf8(describe_fit_result(record.success, record.iterations, record.impedance_evals,
                                             record.chi_square, record.names, record.values))
        .release();
  });
}

PyGetSetDef kAttributes[] = {
    {"circuit", get_circuit, nullptr, nullptr, nullptr},
    {"params", get_params, nullptr, nullptr, nullptr},
    {"stderr", get_stderr, nullptr, nullptr, nullptr},
    {"success", get_success, nullptr, nullptr, nullptr},
    {"iterations", get_iterations, nullptr, nullptr, nullptr},
    {"impedance_evals", get_impedance_evals, nullptr, nullptr, nullptr},
    {"cost", get_cost, nullptr, nullptr, nullptr},
    {"chi_square", get_chi_square, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* create_fit_result_type() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(refuse_construction<kNoFitResultConstructor>)},
      {Py_tp_repr, reinterpret_cast<void*>(fit_result_repr)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<FitResultObject>)},
      {Py_tp_getset, kAttributes},
      {0, nullptr},
  };
  static PyType_Spec spec = {"kovrant.FitResult", sizeof(FitResultObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return create_type(spec, nullptr, "FitResult");
}

}  // namespace

PyTypeObject* fit_result_type() {
  if (g_fit_result_type == nullptr) g_fit_result_type = create_fit_result_type();
  return g_fit_result_type;
}

PyRef make_fit_result(FitRecord record) {
  PyTypeObject* type = fit_result_type();
  if (type == nullptr) return {};
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return {};
  new (&reinterpret_cast<FitResultObject*>(self.get())->record) FitRecord(std::move(record));
  return self;
}

}  // namespace kovrant::python
