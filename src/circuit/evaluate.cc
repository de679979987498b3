#include "circuit/evaluate.h"

#include <cstdlib>
#include <vector>

#include "circuit/compiled_circuit.h"
#include "circuit/params.h"
#include "parallel/thread_pool.h"

namespace kovrant {
namespace {

template <typename ElementImpedance>
Complex series_sum(const SeriesList& series, ElementImpedance& element_z) {
  Complex sum{0.0, 0.0};
  for (const Node& node : series) {
    if (!node.is_parallel) {
      sum = sum + element_z(node.element);
      continue;
    }
    Complex admittance{0.0, 0.0};
    for (const SeriesList& branch : node.branches) {
      admittance = admittance + guarded_reciprocal(series_sum(branch, element_z));
    }
    sum = sum + guarded_reciprocal(admittance);
  }
  return sum;
}

}  // namespace

Complex impedance(const SeriesList& series, double omega) {
  auto stored = [omega](const Element& element) { return element_impedance(element, omega); };
  return series_sum(series, stored);
}

Complex series_impedance_with_params(const SeriesList& series, double omega, ValueCursor& cursor) {
  auto from_cursor = [omega, &cursor](const Element& element) {
    const int count = element.param_count();
    if (cursor.end - cursor.next < count) std::abort();  // impedance_from_iter: not enough values supplied
    const Complex z = element_impedance(element.kind, cursor.next, omega);
    cursor.next += count;
    return z;
  };
  return series_sum(series, from_cursor);
}

void impedance_list(const SeriesList& series, std::span<const double> frequencies_hz, std::span<Complex> out) {
  const size_t n = frequencies_hz.size();
  std::vector<double> omegas(n);
  for (size_t i = 0; i < n; ++i) omegas[i] = frequencies_hz[i] * kTwoPi;
  const CompiledCircuit compiled(series);
  const std::vector<double> values = param_values(series);
  // Points begin..end of `parts` equal parts, with one workspace for them all.
  auto evaluate_parts = [&](size_t parts, size_t begin, size_t end) {
    const size_t first = begin * n / parts, last = end * n / parts;
    CompiledCircuit::Workspace workspace = compiled.make_workspace();
    compiled.evaluate(values, std::span<const double>(omegas).subspan(first, last - first),
                      out.subspan(first, last - first), workspace);
  };
  if (n < kParallelThreshold) {
    evaluate_parts(1, 0, 1);
    return;
  }
  // One part per thread: every further part would cost a workspace and a hand-over.
  const size_t parts = parallel_thread_count();
  parallel_for(parts, [&](size_t begin, size_t end) { evaluate_parts(parts, begin, end); });
}

}  // namespace kovrant
