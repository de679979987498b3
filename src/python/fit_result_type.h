// The Python class FitResult: the read-only outcome of Circuit.fit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "circuit/tree.h"
#include "python/py_ref.h"

namespace kovrant::python {

// What a FitResult holds; every attribute read builds a new Python object
// from it.
struct FitRecord {
  SeriesList circuit;
  std::vector<std::string> names;
  std::vector<double> values;
  std::optional<std::vector<double>> standard_errors;
  bool success = false;
  std::uint64_t iterations = 0;
  std::uint64_t impedance_evals = 0;
  double cost = 0.0;
  double chi_square = 0.0;
};

// Built on first use. Borrowed reference, or null with an exception set.
PyTypeObject* fit_result_type();

// The only way to make a FitResult; Python itself cannot construct one.
PyRef make_fit_result(FitRecord record);

}  // namespace kovrant::python
