#include "fit/residuals.h"

#include <algorithm>
#include <cmath>

#include "circuit/compiled_circuit.h"
#include "parallel/thread_pool.h"
#include "util/portable_math.h"

namespace kovrant {
namespace {

void residuals_into(const CompiledCircuit& compiled, CompiledCircuit::Workspace& workspace,
                    std::span<const double> params, std::span<const double> omegas, std::span<const Complex> measured,
                    std::span<const double> weights, std::vector<Complex>& model, std::vector<double>& out) {
  const size_t n = omegas.size();
  model.resize(n);
  out.resize(2 * n);
  compiled.evaluate(params, omegas, model, workspace);
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = (model[i].re - measured[i].re) / weights[i];
    out[2 * i + 1] = (model[i].im - measured[i].im) / weights[i];
  }
}

}  // namespace

std::vector<double> compute_weights(std::span<const Complex> measured, Weighting weighting) {
  std::vector<double> weights(measured.size(), 1.0);
  if (weighting == Weighting::Unit) return weights;
  for (size_t i = 0; i < measured.size(); ++i) {
    const double modulus = portable_hypot(measured[i].re, measured[i].im);
    weights[i] = std::fmax(modulus, 1e-30);
  }
  return weights;
}

std::vector<double> residuals(const SeriesList& series, std::span<const double> params, std::span<const double> omegas,
                              std::span<const Complex> measured, std::span<const double> weights,
                              const EvalCounter& counter) {
  counter->fetch_add(1, std::memory_order_relaxed);
  const CompiledCircuit compiled(series);
  CompiledCircuit::Workspace workspace = compiled.make_workspace();
  std::vector<Complex> model;
  std::vector<double> out;
  residuals_into(compiled, workspace, params, omegas, measured, weights, model, out);
  return out;
}

std::vector<std::vector<double>> jacobian_columns(const SeriesList& series, std::span<const double> params,
                                                  std::span<const double> omegas, std::span<const Complex> measured,
                                                  std::span<const double> weights, const EvalCounter& counter) {
  const CompiledCircuit compiled(series);
  const size_t p = compiled.param_count();
  std::vector<std::vector<double>> columns(p);
  auto columns_from = [&](size_t begin, size_t end) {
    CompiledCircuit::Workspace workspace = compiled.make_workspace();
    std::vector<Complex> model;
    std::vector<double> plus, minus;
    for (size_t j = begin; j < end; ++j) {
      const double step = kJacobianStepFactor * std::fmax(std::fabs(params[j]), 1e-8);
      std::vector<double> shifted(params.begin(), params.begin() + static_cast<std::ptrdiff_t>(p));
      shifted[j] = params[j] + step;
      counter->fetch_add(1, std::memory_order_relaxed);
      residuals_into(compiled, workspace, shifted, omegas, measured, weights, model, plus);
      shifted[j] = params[j] - step;
      counter->fetch_add(1, std::memory_order_relaxed);
      residuals_into(compiled, workspace, shifted, omegas, measured, weights, model, minus);
      std::vector<double>& column = columns[j];
      column.resize(std::min(plus.size(), minus.size()));
      for (size_t k = 0; k < column.size(); ++k) column[k] = (plus[k] - minus[k]) / (2.0 * step);
    }
  };
  if (2 * omegas.size() * p < kParallelJacobianEntries) {
    columns_from(0, p);
  } else {
    parallel_for(p, columns_from);
  }
  return columns;
}

double cost_of(std::span<const double> residual_vector) {
  double sum = -0.0;
  for (double r : residual_vector) sum += r * r;
  return 0.5 * sum;
}

std::vector<double> physical(std::span<const double> internal_coordinates, std::span<const Bounds> bounds) {
  const size_t n = std::min(internal_coordinates.size(), bounds.size());
  std::vector<double> values(n);
  for (size_t j = 0; j < n; ++j) {
    values[j] =
        std::isfinite(bounds[j].hi) ? internal_coordinates[j] : bounds[j].lo + portable_exp10(internal_coordinates[j]);
  }
  return values;
}

std::vector<double> internal(std::span<const double> physical_values, std::span<const Bounds> bounds) {
  const size_t n = std::min(physical_values.size(), bounds.size());
  std::vector<double> coordinates(n);
  for (size_t j = 0; j < n; ++j) {
    coordinates[j] = std::isfinite(bounds[j].hi) ? physical_values[j]
                                                 : portable_log10(std::fmax(physical_values[j] - bounds[j].lo, 1e-300));
  }
  return coordinates;
}

double physical_derivative(double physical_value, const Bounds& bounds) {
  return std::isfinite(bounds.hi) ? 1.0 : (physical_value - bounds.lo) * kLn10;
}

}  // namespace kovrant
