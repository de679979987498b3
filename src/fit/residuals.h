// Weights, weighted residuals, their central-difference Jacobian and the
// internal coordinates in which the optimisers search.
//
// Contract:
// - Residuals are interleaved [re0, im0, re1, im1, ...], each (model -
//   measured) / weight, with the model from the circuit at `params` (the
//   tree's stored values are not used). Callers pass measured values and
//   weights of the same length as omegas, and at least param_count params.
// - Every residual evaluation adds exactly 1 to the evaluation counter, with an
//   atomic increment, before any work; a Jacobian adds 2P.
// - Jacobian column j uses the step h = cbrt(2^-52) * max(|p_j|, 1e-8) and the
//   divisor 2h; columns are returned in order, computed on the worker pool
//   from kParallelJacobianEntries values (2N x P) on.
// - A parameter with a finite upper bound is searched as itself; one with an
//   infinite (or NaN) upper bound as x = log10(max(p - lo, 1e-300)).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "circuit/tree.h"

namespace kovrant {

enum class Weighting { Modulus, Unit };

using EvalCounter = std::shared_ptr<std::atomic<std::uint64_t>>;

inline EvalCounter make_eval_counter() { return std::make_shared<std::atomic<std::uint64_t>>(0); }

inline constexpr double kJacobianStepFactor = 6.055454452393343e-06;  // cbrt(2^-52)
// Below this many Jacobian entries waking the worker pool costs more than
// the columns themselves.
inline constexpr size_t kParallelJacobianEntries = 16384;
inline constexpr double kLn10 = 2.302585092994046;

std::vector<double> compute_weights(std::span<const Complex> measured, Weighting weighting);

std::vector<double> residuals(const SeriesList& series, std::span<const double> params, std::span<const double> omegas,
                              std::span<const Complex> measured, std::span<const double> weights,
                              const EvalCounter& counter);

// P columns of 2N values each; column j is d residuals / d p_j.
std::vector<std::vector<double>> jacobian_columns(const SeriesList& series, std::span<const double> params,
                                                  std::span<const double> omegas, std::span<const Complex> measured,
                                                  std::span<const double> weights, const EvalCounter& counter);

// cost = 1/2 sum r^2, summed in index order from -0.0.
double cost_of(std::span<const double> residual_vector);

std::vector<double> physical(std::span<const double> internal_coordinates, std::span<const Bounds> bounds);
std::vector<double> internal(std::span<const double> physical_values, std::span<const Bounds> bounds);

// d p_j / d x_j at the physical value p_j.
double physical_derivative(double physical_value, const Bounds& bounds);

}  // namespace kovrant
