// Reads float64 arguments from stdin and writes one float64 result per
// argument (per pair of arguments for pow and atan2) to stdout, both raw
// little-endian arrays; bench/check_portable_math.py drives it.
//
// Run: kovrant_math_check tanh|exp|log|log10|exp10|pow|atan2|hypot|sin|cos|sinh|cosh|powlog
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "util/portable_math.h"

namespace {

double apply(const char* name, const double* arguments) {
  using namespace kovrant;
  if (std::strcmp(name, "exp") == 0) return portable_exp(arguments[0]);
  if (std::strcmp(name, "log") == 0) return portable_log(arguments[0]);
  if (std::strcmp(name, "pow") == 0) return portable_pow(arguments[0], arguments[1]);
  if (std::strcmp(name, "atan2") == 0) return portable_atan2(arguments[0], arguments[1]);
  if (std::strcmp(name, "hypot") == 0) return portable_hypot(arguments[0], arguments[1]);
  if (std::strcmp(name, "powlog") == 0) return pow_from_log(precise_log(arguments[0]), arguments[1]);
  if (std::strcmp(name, "log10") == 0) return portable_log10(arguments[0]);
  if (std::strcmp(name, "exp10") == 0) return portable_exp10(arguments[0]);
  if (std::strcmp(name, "sin") == 0) return portable_sincos(arguments[0]).sin;
  if (std::strcmp(name, "cos") == 0) return portable_sincos(arguments[0]).cos;
  if (std::strcmp(name, "sinh") == 0) return portable_sinh_cosh(arguments[0]).sinh;
  if (std::strcmp(name, "cosh") == 0) return portable_sinh_cosh(arguments[0]).cosh;
  return portable_tanh(arguments[0]);
}

}  // namespace

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "tanh";
  const bool pairs = std::strcmp(name, "pow") == 0 || std::strcmp(name, "atan2") == 0 ||
                     std::strcmp(name, "hypot") == 0 || std::strcmp(name, "powlog") == 0;
  const size_t width = pairs ? 2 : 1;
  std::vector<double> arguments(width * 4096), results(4096);
  size_t count = 0;
  while ((count = std::fread(arguments.data(), sizeof(double) * width, results.size(), stdin)) > 0) {
    if (std::strcmp(name, "tanh") == 0) {
      std::copy_n(arguments.data(), count, results.data());
      kovrant::tanh_in_place({results.data(), count});  // the vectorised form the network uses
    } else {
      for (size_t i = 0; i < count; ++i) results[i] = apply(name, arguments.data() + width * i);
    }
    std::fwrite(results.data(), sizeof(double), count, stdout);
  }
  return 0;
}
