// One circuit fitted to a series of spectra as one least-squares problem.
//
// Contract:
// - Every circuit parameter has a role across the series: PerSpectrum (its own
//   value in every spectrum, optionally tied to its neighbours by a smoothing
//   penalty), Shared (one value per group of spectra), Law (a function of a
//   per-spectrum covariate with fitted coefficients) or Fixed (held at each
//   spectrum's start value).
// - Unknowns live in the core's search coordinates: a parameter with an
//   infinite physical upper bound as log10(p - lo), else as itself; law
//   coefficients as described at SeriesLaw. Values are evaluated clamped into
//   the feasible bounds.
// - The cost is 1/2 sum over spectra of the squared weighted residuals of
//   fit/residuals.h plus 1/2 sum_j smoothing_j sum_i (x_{i+1,j} - x_{i,j})^2
//   over consecutive spectra. Spectra whose data are switched off (held out)
//   keep their unknowns, determined by the penalty alone.
// - series_fit() runs Levenberg-Marquardt on the whole problem; each step
//   solves the normal equations by eliminating the per-spectrum blocks (block
//   tridiagonal with smoothing, block diagonal without) and solving the Schur
//   complement on the shared columns. After it converges, spectra that fit
//   more than 25 % worse than their own start are refitted with the shared
//   values held, and the solve runs again when that lowers the cost (at most
//   three more times). Spectra are evaluated on the worker pool; results
//   never depend on the thread count.
// - Covariances are s^2 (J^T J + penalty)^-1 at the solution with
//   s^2 = data chi-square / (data residuals - unknowns), from the same block
//   elimination (diagonal blocks of the inverse by the block recursion).
// - independent_fits() fits every spectrum alone, each from the previous
//   spectrum's result when that fit was good (one Levenberg-Marquardt solve,
//   the default multi-start fit when that is not good), else from the
//   fallback start with the default fit.
// - Errors (inconsistent sizes, a bad role description, a bad spectrum) are
//   returned as FitError values before any evaluation; an interrupted solve
//   ends with FitError::interrupted().
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/tree.h"
#include "fit/fit_error.h"
#include "fit/residuals.h"
#include "fit/stop_check.h"
#include "util/result.h"

namespace kovrant {

inline constexpr double kBoltzmannEv = 8.617333262e-5;  // eV / K

// p_i = law(z_i). Arrhenius: p = A exp(Ea / (k_B T)) with T = z in kelvin,
// Ea in eV (positive for a thermally activated resistance); searched as
// (ln p at the mean 1/T, Ea), reported as (A, Ea). Polynomial: p = sum_k c_k
// z^k, k = 0..degree; searched in a centred, scaled covariate, reported in z.
struct SeriesLaw {
  enum class Kind { Arrhenius, Polynomial };
  Kind kind = Kind::Polynomial;
  std::vector<double> covariate;  // one per spectrum
  size_t degree = 1;              // Polynomial only

  size_t coefficient_count() const { return kind == Kind::Arrhenius ? 2 : degree + 1; }
};

struct SeriesParameter {
  enum class Role { PerSpectrum, Shared, Law, Fixed };
  Role role = Role::PerSpectrum;
  std::vector<size_t> group;  // Shared: group of each spectrum, 0..groups-1; empty: one group
  SeriesLaw law;              // Law only
  double smoothing = 0.0;     // PerSpectrum only: penalty weight, >= 0
  Bounds bounds{};            // feasible bounds, inside the physical ones

  size_t group_count() const;
};

struct SeriesSpectrum {
  std::span<const double> frequencies_hz;  // borrowed
  std::span<const Complex> impedances;     // borrowed
};

struct SeriesSettings {
  // Before the joint solve, refit every spectrum's per-spectrum parameters
  // with the others held at their starts (see series_fit).
  bool refit_per_spectrum = true;
  double poor_fit = 1e-3;  // chi_square / (2N) above this: a refit is not good
  std::uint32_t max_iterations = 200;
  double ftol = 1e-10;  // relative cost change
  double xtol = 1e-10;  // relative step size
  double gtol = 1e-10;  // scaled gradient
  StopCallback should_stop;
};

// The per-spectrum starting values (P physical values each, in parameter
// order) come from independent fits; shared values start at the median of
// their group, law coefficients at the law through the starts (a median
// line for two coefficients, else least squares), refitted twice by least
// squares without the starts more than 3 robust deviations off it.
// Then each spectrum's per-spectrum parameters are refitted with the shared,
// law and fixed ones held, from the previous spectrum's refit (when that was
// good) and, when that start gives no good fit, from its own start too; the
// better one is kept. This lets an independent fit that confused two
// elements (a resistance taking another's place) start the joint solve
// consistent with the rest of the series.
struct SeriesProblem {
  const SeriesList* circuit = nullptr;  // borrowed
  std::vector<SeriesSpectrum> spectra;
  std::vector<SeriesParameter> parameters;  // one per circuit parameter
  Weighting weighting = Weighting::Modulus;
  std::vector<std::vector<double>> starts;  // one per spectrum
  std::vector<bool> data_used;              // empty: every spectrum's data count
};

enum class SeriesTermination { CostConverged, StepConverged, GradientConverged, MaxIterations, NumericalFailure };

std::string termination_text(SeriesTermination termination);

// Reported global unknowns, in parameter order: a Shared parameter's groups
// in group order, a Law parameter's reported coefficients.
struct SeriesOutcome {
  std::vector<std::vector<double>> values;           // per spectrum: P physical values
  std::vector<std::vector<double>> standard_errors;  // per spectrum: P, NaN for fixed or undetermined
  std::vector<double> globals;
  std::vector<double> global_covariance;  // globals x globals, row-major; NaN when undetermined
  std::vector<double> chi_square;         // per spectrum: sum of squared weighted residuals
  double data_chi_square = 0.0;           // over the spectra whose data count
  double penalty = 0.0;                   // sum_j smoothing_j sum_i (dx)^2
  size_t residual_count = 0;              // data residuals that count
  size_t free_count = 0;                  // unknowns of the joint problem
  std::uint64_t iterations = 0;
  std::uint64_t impedance_evals = 0;
  bool success = false;
  SeriesTermination termination = SeriesTermination::MaxIterations;
};

Result<SeriesOutcome, FitError> series_fit(const SeriesProblem& problem, const SeriesSettings& settings);

// One spectrum's own fit.
struct IndependentFit {
  std::vector<double> values;
  std::vector<double> standard_errors;  // NaN when undetermined or fixed
  double chi_square = 0.0;
  bool success = false;
  bool warm = false;  // started from the previous spectrum's result
  std::uint64_t impedance_evals = 0;
};

// The start of spectrum i when no warm start serves; nullopt with `message`
// filled when none can be made.
using FallbackStart = std::function<std::optional<std::vector<double>>(size_t spectrum, std::string& message)>;

// A fit is good for warm-starting the next when it converged and
// chi_square / (2N) <= poor_fit. `fixed` and `bounds` as FitConstraints.
Result<std::vector<IndependentFit>, FitError> independent_fits(const SeriesList& circuit,
                                                               std::span<const SeriesSpectrum> spectra,
                                                               Weighting weighting, const std::vector<bool>& fixed,
                                                               const std::vector<Bounds>& bounds,
                                                               const FallbackStart& fallback, double poor_fit,
                                                               std::uint32_t max_iterations,
                                                               const StopCallback& should_stop);

}  // namespace kovrant
