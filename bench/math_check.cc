// Reads float64 values from stdin and writes their portable tanh to stdout,
// both raw little-endian arrays; the mpmath comparison in
// bench/check_portable_math.py drives it.
#include <cstdio>
#include <vector>

#include "util/portable_math.h"

int main() {
  std::vector<double> values(1 << 16);
  size_t count = 0;
  while ((count = std::fread(values.data(), sizeof(double), values.size(), stdin)) > 0) {
    kovrant::tanh_in_place({values.data(), count});
    std::fwrite(values.data(), sizeof(double), count, stdout);
  }
  return 0;
}
