#include "fit/series_fit.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numbers>
#include <string>

#include "circuit/params.h"
#include "fit/fit_dispatch.h"
#include "fit/fit_problem.h"
#include "fit/levenberg_marquardt.h"
#include "fit/lmder_solver.h"
#include "fit/spectrum_model.h"
#include "parallel/thread_pool.h"

namespace kovrant {

size_t SeriesParameter::group_count() const {
  return group.empty() ? 1 : *std::max_element(group.begin(), group.end()) + 1;
}

std::string termination_text(SeriesTermination termination) {
  switch (termination) {
    case SeriesTermination::CostConverged:
      return "the relative change of the cost fell below ftol";
    case SeriesTermination::StepConverged:
      return "the relative step fell below xtol";
    case SeriesTermination::GradientConverged:
      return "the scaled gradient fell below gtol";
    case SeriesTermination::MaxIterations:
      return "the iteration limit was reached";
    case SeriesTermination::NumericalFailure:
      return "the residuals or the step are not finite";
  }
  return "";
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr size_t kNone = static_cast<size_t>(-1);
// Damping never falls below this on a column the data leave flat, so the
// damped system stays positive definite.
constexpr double kDampingFloor = 1e-12;
// A refit of the per-spectrum parameters is good when its chi-square is at
// most this multiple of the spectrum's own fit's: before the joint solve,
// with rough shared values, and after it.
constexpr double kStartTolerance = 2.0;
constexpr double kRescueTolerance = 1.25;
// ...plus this mean square per residual, so that an exact spectrum (own
// chi-square 0) can be fitted well too.
constexpr double kGoodSlack = 1e-6;
// Joint solves after the first, each from spectra refitted out of a poorer basin.
constexpr int kRescueRounds = 3;

using Role = SeriesParameter::Role;

// ---- small dense algebra (row-major) ----------------------------------------

// Lower Cholesky factor in place, upper part zeroed; false unless positive definite.
bool cholesky(double* a, size_t n) {
  for (size_t j = 0; j < n; ++j) {
    double d = a[j * n + j];
    for (size_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
    if (!(d > 0.0) || !std::isfinite(d)) return false;
    d = std::sqrt(d);
    a[j * n + j] = d;
    for (size_t i = j + 1; i < n; ++i) {
      double s = a[i * n + j];
      for (size_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
      a[i * n + j] = s / d;
    }
    for (size_t k = j + 1; k < n; ++k) a[j * n + k] = 0.0;
  }
  return true;
}

// B (n x m) := L^-1 B.
void solve_lower(const double* l, size_t n, double* b, size_t m) {
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = 0; k < i; ++k) {
      const double f = l[i * n + k];
      for (size_t c = 0; c < m; ++c) b[i * m + c] -= f * b[k * m + c];
    }
    for (size_t c = 0; c < m; ++c) b[i * m + c] /= l[i * n + i];
  }
}

// B (n x m) := L^-T B.
void solve_upper(const double* l, size_t n, double* b, size_t m) {
  for (size_t i = n; i-- > 0;) {
    for (size_t k = i + 1; k < n; ++k) {
      const double f = l[k * n + i];
      for (size_t c = 0; c < m; ++c) b[i * m + c] -= f * b[k * m + c];
    }
    for (size_t c = 0; c < m; ++c) b[i * m + c] /= l[i * n + i];
  }
}

// The inverse of the matrix whose Cholesky factor is `l`.
std::vector<double> inverse_from_factor(const double* l, size_t n) {
  std::vector<double> inverse(n * n, 0.0);
  for (size_t i = 0; i < n; ++i) inverse[i * n + i] = 1.0;
  solve_lower(l, n, inverse.data(), n);
  solve_upper(l, n, inverse.data(), n);
  return inverse;
}

double median(std::vector<double> values) {
  if (values.empty()) return kNaN;
  const size_t half = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + half, values.end());
  const double upper = values[half];
  if (values.size() % 2 == 1) return upper;
  return 0.5 * (upper + *std::max_element(values.begin(), values.begin() + half));
}

// Least-squares coefficients of y on the columns basis(x_i)[k], k < m; empty when singular.
template <typename Basis>
std::vector<double> least_squares(const std::vector<double>& x, const std::vector<double>& y, size_t m, Basis basis) {
  std::vector<double> normal(m * m, 0.0), rhs(m, 0.0), row(m);
  for (size_t i = 0; i < x.size(); ++i) {
    for (size_t k = 0; k < m; ++k) row[k] = basis(x[i], k);
    for (size_t a = 0; a < m; ++a) {
      rhs[a] += row[a] * y[i];
      for (size_t b = 0; b < m; ++b) normal[a * m + b] += row[a] * row[b];
    }
  }
  if (!cholesky(normal.data(), m)) return {};
  solve_lower(normal.data(), m, rhs.data(), 1);
  solve_upper(normal.data(), m, rhs.data(), 1);
  return rhs;
}

// The least-squares coefficients again, without the points more than three
// robust standard deviations (1.4826 median absolute deviations) off the fit.
template <typename Basis>
std::vector<double> robust_refit(const std::vector<double>& x, const std::vector<double>& y,
                                 const std::vector<double>& coefficients, Basis basis) {
  std::vector<double> residuals(x.size()), magnitudes(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    double fitted = 0.0;
    for (size_t k = 0; k < coefficients.size(); ++k) fitted += coefficients[k] * basis(x[i], k);
    residuals[i] = y[i] - fitted;
    magnitudes[i] = std::fabs(residuals[i]);
  }
  const double spread = 3.0 * 1.4826 * median(magnitudes);
  if (!(spread > 0.0)) return coefficients;
  std::vector<double> kept_x, kept_y;
  for (size_t i = 0; i < x.size(); ++i) {
    if (std::fabs(residuals[i]) <= spread) {
      kept_x.push_back(x[i]);
      kept_y.push_back(y[i]);
    }
  }
  auto refitted = least_squares(kept_x, kept_y, coefficients.size(), basis);
  return refitted.empty() ? coefficients : refitted;
}

// Theil-Sen line through (basis(x, 1), y): the median of the pairwise
// slopes (all pairs up to kAllPairs of them, else each point with the one
// half the sorted series away) and the median intercept. A few points far
// off, such as fits that swapped two elements, do not move it. Empty when
// every point has the same abscissa.
template <typename Basis>
std::vector<double> median_line(const std::vector<double>& x, const std::vector<double>& y, Basis basis) {
  constexpr size_t kAllPairs = 200000;
  const size_t n = x.size();
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  const auto abscissa = [&](size_t i) { return basis(x[i], 1); };
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return abscissa(a) < abscissa(b); });
  std::vector<double> slopes;
  const auto add = [&](size_t a, size_t b) {
    const double dx = abscissa(b) - abscissa(a);
    if (dx != 0.0) slopes.push_back((y[b] - y[a]) / dx);
  };
  if (n * (n - 1) / 2 <= kAllPairs) {
    for (size_t a = 0; a < n; ++a) {
      for (size_t b = a + 1; b < n; ++b) add(order[a], order[b]);
    }
  } else {
    for (size_t a = 0; a + n / 2 < n; ++a) add(order[a], order[a + n / 2]);
  }
  if (slopes.empty()) return {};
  const double slope = median(slopes);
  std::vector<double> intercepts(n);
  for (size_t i = 0; i < n; ++i) intercepts[i] = y[i] - slope * abscissa(i);
  return {median(intercepts), slope};
}

double binomial(size_t n, size_t k) {
  double value = 1.0;
  for (size_t i = 1; i <= k; ++i) value = value * static_cast<double>(n - k + i) / static_cast<double>(i);
  return value;
}

// sqrt(diag((J^T J)^-1) chi_square / dof) over the free columns of the
// column-major physical Jacobian, dof = rows - free; NaN for held columns,
// and for all when dof <= 0 or J^T J is singular.
std::vector<double> standard_errors(const std::vector<double>& jacobian, size_t rows, const std::vector<bool>& held,
                                    double chi_square) {
  const size_t p = held.size();
  std::vector<double> errors(p, kNaN);
  std::vector<size_t> free;
  for (size_t j = 0; j < p; ++j) {
    if (!held[j]) free.push_back(j);
  }
  const size_t f = free.size();
  if (rows <= f || f == 0) return errors;
  std::vector<double> normal(f * f);
  for (size_t a = 0; a < f; ++a) {
    for (size_t b = 0; b <= a; ++b) {
      double sum = 0.0;
      for (size_t r = 0; r < rows; ++r) sum += jacobian[free[a] * rows + r] * jacobian[free[b] * rows + r];
      normal[a * f + b] = normal[b * f + a] = sum;
    }
  }
  if (!cholesky(normal.data(), f)) return errors;
  const std::vector<double> inverse = inverse_from_factor(normal.data(), f);
  const double scale = chi_square / static_cast<double>(rows - f);
  for (size_t a = 0; a < f; ++a) {
    const double variance = inverse[a * f + a] * scale;
    errors[free[a]] = variance >= 0.0 ? std::sqrt(variance) : kNaN;
  }
  return errors;
}

// ---- the layout of the unknowns ---------------------------------------------

// How one spectrum's circuit parameters follow from the unknowns.
struct Layout {
  size_t spectra = 0;
  size_t params = 0;                // P
  size_t locals = 0;                // L: PerSpectrum parameters
  size_t globals = 0;               // G
  size_t touched = 0;               // globals that one spectrum depends on
  std::vector<size_t> local_param;  // L parameter indices
  std::vector<size_t> local_of;     // per parameter: index among the locals, or kNone
  std::vector<size_t> global_offset;
  std::vector<Bounds> transform;  // physical bounds: the search coordinates
  std::vector<double> centre;     // Law: mean 1/(k T) (Arrhenius) or mean z (Polynomial)
  std::vector<double> scale;      // Polynomial: half range of z
};

// The unknowns: L values per spectrum, then the G globals.
struct Unknowns {
  std::vector<double> local;  // spectra x L
  std::vector<double> global;
};

double law_basis(const SeriesLaw& law, double centre, double scale, size_t i, size_t k) {
  if (law.kind == SeriesLaw::Kind::Arrhenius) return k == 0 ? 1.0 : 1.0 / (kBoltzmannEv * law.covariate[i]) - centre;
  return std::pow((law.covariate[i] - centre) / scale, static_cast<double>(k));
}

class SeriesSolver {
 public:
  SeriesSolver(const SeriesProblem& problem, Layout layout, std::vector<std::vector<double>> omegas,
               std::vector<std::vector<double>> weights, EvalCounter counter)
      : problem_(problem), layout_(std::move(layout)), omegas_(std::move(omegas)), weights_(std::move(weights)),
        counter_(std::move(counter)) {
    const size_t n = layout_.spectra, l = layout_.locals, t = layout_.touched, g = layout_.globals;
    blocks_.resize(n);
    for (size_t i = 0; i < n; ++i) {
      Block& b = blocks_[i];
      if (uses(i)) {
        b.model = std::make_unique<SpectrumModel>(*problem.circuit, omegas_[i], problem.spectra[i].impedances,
                                                  weights_[i], counter_);
        b.residual.resize(b.model->residual_count());
      }
      b.params.resize(layout_.params);
      b.factor.resize(layout_.params);
      b.touched_index.resize(t);
      b.touched_param.resize(t);
      b.touched_factor.resize(t);
      b.u.resize(l * l);
      b.w.resize(l * t);
      b.v.resize(t * t);
      b.grad_local.resize(l);
      b.grad_touched.resize(t);
      b.damping.assign(l, 0.0);
      b.chol.resize(l * l);
      b.coupling.resize(l * l);
      b.x.resize(l * g);
      b.x0.resize(l);
    }
    v_.resize(g * g);
    grad_global_.resize(g);
    damping_global_.assign(g, 0.0);
    schur_.resize(g * g);
  }

  bool uses(size_t i) const { return problem_.data_used.empty() || problem_.data_used[i]; }
  const Layout& layout() const { return layout_; }

  // Physical parameters of spectrum i and dp/d(unknown) for its local and
  // touched unknowns (0 where the value was clamped).
  void spectrum_params(size_t i, const Unknowns& u) {
    Block& b = blocks_[i];
    size_t touched = 0;
    for (size_t j = 0; j < layout_.params; ++j) {
      const SeriesParameter& parameter = problem_.parameters[j];
      double value = 0.0;
      double derivative = 0.0;
      switch (parameter.role) {
        case Role::PerSpectrum:
        case Role::Shared: {
          const size_t first = layout_.global_offset[j];
          const double x = parameter.role == Role::PerSpectrum
                               ? u.local[i * layout_.locals + layout_.local_of[j]]
                               : u.global[first + (parameter.group.empty() ? 0 : parameter.group[i])];
          value = physical_value(x, layout_.transform[j]);
          derivative = physical_derivative(value, layout_.transform[j]);
          if (parameter.role == Role::Shared) {
            b.touched_index[touched] = first + (parameter.group.empty() ? 0 : parameter.group[i]);
            b.touched_param_factor(touched++, j, derivative);
          }
          break;
        }
        case Role::Law: {
          const size_t first = layout_.global_offset[j];
          const size_t count = parameter.law.coefficient_count();
          if (parameter.law.kind == SeriesLaw::Kind::Arrhenius) {
            const double basis = law_basis(parameter.law, layout_.centre[j], layout_.scale[j], i, 1);
            value = std::exp(u.global[first] + u.global[first + 1] * basis);
          } else {
            for (size_t k = 0; k < count; ++k) {
              value += u.global[first + k] * law_basis(parameter.law, layout_.centre[j], layout_.scale[j], i, k);
            }
          }
          for (size_t k = 0; k < count; ++k) {
            const double basis = law_basis(parameter.law, layout_.centre[j], layout_.scale[j], i, k);
            b.touched_index[touched] = first + k;
            b.touched_param_factor(touched++, j,
                                   parameter.law.kind == SeriesLaw::Kind::Arrhenius ? value * basis : basis);
          }
          derivative = 1.0;
          break;
        }
        case Role::Fixed:
          value = problem_.starts[i][j];
          break;
      }
      const double clamped = clamp_into_bounds(value, parameter.bounds);
      if (clamped != value) {
        derivative = 0.0;
        if (parameter.role != Role::PerSpectrum) {
          // Every touched unknown of this parameter loses its influence.
          for (size_t k = 0; k < touched; ++k) {
            if (b.touched_param[k] == j) b.touched_factor[k] = 0.0;
          }
        }
      }
      b.params[j] = clamped;
      b.factor[j] = derivative;
    }
  }

  // Data cost of every spectrum at `u` (0 for held-out ones), on the pool.
  // False when any is not finite.
  bool evaluate_costs(const Unknowns& u) {
    parallel_for(layout_.spectra, [&](size_t begin, size_t end) {
      for (size_t i = begin; i < end; ++i) {
        spectrum_params(i, u);
        Block& b = blocks_[i];
        if (!uses(i)) {
          b.chi_square = 0.0;
          continue;
        }
        b.model->residuals(b.params, b.residual);
        double sum = 0.0;
        for (double r : b.residual) sum += r * r;
        b.chi_square = sum;
      }
    });
    for (const Block& b : blocks_) {
      if (!std::isfinite(b.chi_square)) return false;
    }
    return true;
  }

  double penalty(const Unknowns& u) const {
    double sum = 0.0;
    for (size_t a = 0; a < layout_.locals; ++a) {
      const double weight = problem_.parameters[layout_.local_param[a]].smoothing;
      if (weight == 0.0) continue;
      for (size_t i = 0; i + 1 < layout_.spectra; ++i) {
        const double d = u.local[(i + 1) * layout_.locals + a] - u.local[i * layout_.locals + a];
        sum += weight * d * d;
      }
    }
    return sum;
  }

  double total_cost(const Unknowns& u) const {
    double chi = 0.0;
    for (const Block& b : blocks_) chi += b.chi_square;
    return 0.5 * (chi + penalty(u));
  }

  // Residuals, Jacobians and the normal-equation blocks at `u`, then the
  // global sums (in spectrum order). Requires evaluate_costs(u) just before,
  // so that each model reuses its last evaluation.
  bool build_normal_equations(const Unknowns& u) {
    const size_t l = layout_.locals, t = layout_.touched, p = layout_.params;
    parallel_for(layout_.spectra, [&](size_t begin, size_t end) {
      for (size_t i = begin; i < end; ++i) {
        Block& b = blocks_[i];
        std::fill(b.u.begin(), b.u.end(), 0.0);
        std::fill(b.w.begin(), b.w.end(), 0.0);
        std::fill(b.v.begin(), b.v.end(), 0.0);
        std::fill(b.grad_local.begin(), b.grad_local.end(), 0.0);
        std::fill(b.grad_touched.begin(), b.grad_touched.end(), 0.0);
        b.finite = true;
        if (!uses(i)) continue;
        spectrum_params(i, u);
        // Per-thread scratch: the Jacobian and its Gram matrix are consumed
        // right here, so no spectrum keeps its own.
        thread_local std::vector<double> jacobian, gram;
        jacobian.resize(b.model->residual_count() * p);
        b.model->jacobian(b.params, jacobian);
        const size_t rows = b.residual.size();
        // Gram matrix of the physical Jacobian and its product with the residuals.
        gram.assign(p * p + p, 0.0);
        for (size_t c = 0; c < p; ++c) {
          const double* column = jacobian.data() + c * rows;
          double dot = 0.0;
          for (size_t r = 0; r < rows; ++r) dot += column[r] * b.residual[r];
          gram[p * p + c] = dot;
          for (size_t d = 0; d <= c; ++d) {
            const double* other = jacobian.data() + d * rows;
            double sum = 0.0;
            for (size_t r = 0; r < rows; ++r) sum += column[r] * other[r];
            gram[c * p + d] = sum;
            gram[d * p + c] = sum;
          }
        }
        const auto entry = [&](size_t c, size_t d) { return gram[c * p + d]; };
        for (size_t a = 0; a < l; ++a) {
          const size_t ja = layout_.local_param[a];
          const double fa = b.factor[ja];
          b.grad_local[a] = fa * gram[p * p + ja];
          for (size_t c = 0; c < l; ++c) {
            const size_t jc = layout_.local_param[c];
            b.u[a * l + c] = fa * b.factor[jc] * entry(ja, jc);
          }
          for (size_t k = 0; k < t; ++k) {
            b.w[a * t + k] = fa * b.touched_factor[k] * entry(ja, b.touched_param[k]);
          }
        }
        for (size_t k = 0; k < t; ++k) {
          const size_t jk = b.touched_param[k];
          b.grad_touched[k] = b.touched_factor[k] * gram[p * p + jk];
          for (size_t m = 0; m < t; ++m) {
            b.v[k * t + m] = b.touched_factor[k] * b.touched_factor[m] * entry(jk, b.touched_param[m]);
          }
        }
        for (double value : b.u) b.finite = b.finite && std::isfinite(value);
        for (double value : b.w) b.finite = b.finite && std::isfinite(value);
        for (double value : b.v) b.finite = b.finite && std::isfinite(value);
      }
    });
    const size_t g = layout_.globals;
    std::fill(v_.begin(), v_.end(), 0.0);
    std::fill(grad_global_.begin(), grad_global_.end(), 0.0);
    for (const Block& b : blocks_) {
      if (!b.finite) return false;
      for (size_t k = 0; k < t; ++k) {
        grad_global_[b.touched_index[k]] += b.grad_touched[k];
        for (size_t m = 0; m < t; ++m) v_[b.touched_index[k] * g + b.touched_index[m]] += b.v[k * t + m];
      }
    }
    // The smoothing penalty's gradient joins the per-spectrum gradients.
    for (size_t a = 0; a < l; ++a) {
      const double weight = problem_.parameters[layout_.local_param[a]].smoothing;
      if (weight == 0.0) continue;
      for (size_t i = 0; i + 1 < layout_.spectra; ++i) {
        const double d = weight * (u.local[(i + 1) * l + a] - u.local[i * l + a]);
        blocks_[i].grad_local[a] -= d;
        blocks_[i + 1].grad_local[a] += d;
      }
    }
    return true;
  }

  // Marquardt's scaling: the largest diagonal of the normal matrix seen so far.
  void update_damping() {
    const size_t l = layout_.locals;
    for (size_t i = 0; i < layout_.spectra; ++i) {
      Block& b = blocks_[i];
      for (size_t a = 0; a < l; ++a) {
        const double diagonal = b.u[a * l + a] + penalty_diagonal(i, a);
        b.damping[a] = std::max({b.damping[a], diagonal, kDampingFloor});
      }
    }
    for (size_t k = 0; k < layout_.globals; ++k) {
      damping_global_[k] = std::max({damping_global_[k], v_[k * layout_.globals + k], kDampingFloor});
    }
  }

  double penalty_diagonal(size_t i, size_t a) const {
    const double weight = problem_.parameters[layout_.local_param[a]].smoothing;
    const size_t neighbours = (i > 0 ? 1 : 0) + (i + 1 < layout_.spectra ? 1 : 0);
    return weight * static_cast<double>(neighbours);
  }

  // Factors the block tridiagonal matrix A + mu D of the locals, forms
  // X = A^-1 W, x0 = A^-1 grad_local and the Schur complement
  // S = V + mu D - W^T X with its right-hand side. False when not positive
  // definite.
  bool factor(double mu, std::vector<double>& schur_rhs) {
    const size_t l = layout_.locals, g = layout_.globals, t = layout_.touched, n = layout_.spectra;
    std::vector<double> dense_w(l * g);
    for (size_t i = 0; i < n; ++i) {
      Block& b = blocks_[i];
      for (size_t a = 0; a < l; ++a) {
        for (size_t c = 0; c < l; ++c) b.chol[a * l + c] = b.u[a * l + c];
        b.chol[a * l + a] += penalty_diagonal(i, a) + mu * b.damping[a];
      }
      // Coupling to the previous spectrum: C = A_{i,i-1} L_{i-1}^-T, with
      // A_{i,i-1} = -diag(smoothing).
      std::fill(b.coupling.begin(), b.coupling.end(), 0.0);
      if (i > 0 && smoothed_) {
        const Block& previous = blocks_[i - 1];
        // C^T = L_{i-1}^-1 A_{i-1,i}: solve with the diagonal right-hand side.
        std::vector<double>& ct = coupling_scratch_;
        ct.assign(l * l, 0.0);
        for (size_t a = 0; a < l; ++a) ct[a * l + a] = -problem_.parameters[layout_.local_param[a]].smoothing;
        solve_lower(previous.chol.data(), l, ct.data(), l);
        for (size_t a = 0; a < l; ++a) {
          for (size_t c = 0; c < l; ++c) b.coupling[a * l + c] = ct[c * l + a];
        }
        for (size_t a = 0; a < l; ++a) {
          for (size_t c = 0; c < l; ++c) {
            double sum = 0.0;
            for (size_t m = 0; m < l; ++m) sum += b.coupling[a * l + m] * b.coupling[c * l + m];
            b.chol[a * l + c] -= sum;
          }
        }
      }
      if (!cholesky(b.chol.data(), l)) return false;
      // Forward substitution of [W | grad].
      std::fill(b.x.begin(), b.x.end(), 0.0);
      for (size_t a = 0; a < l; ++a) {
        for (size_t k = 0; k < t; ++k) b.x[a * g + b.touched_index[k]] += b.w[a * t + k];
        b.x0[a] = b.grad_local[a];
      }
      if (i > 0 && smoothed_) subtract_coupled(b, blocks_[i - 1], b.coupling, false, l, g);
      solve_lower(b.chol.data(), l, b.x.data(), g);
      solve_lower(b.chol.data(), l, b.x0.data(), 1);
    }
    for (size_t i = n; i-- > 0;) {
      Block& b = blocks_[i];
      if (i + 1 < n && smoothed_) subtract_coupled(b, blocks_[i + 1], blocks_[i + 1].coupling, true, l, g);
      solve_upper(b.chol.data(), l, b.x.data(), g);
      solve_upper(b.chol.data(), l, b.x0.data(), 1);
    }
    schur_ = v_;
    schur_rhs.assign(g, 0.0);
    for (size_t k = 0; k < g; ++k) {
      schur_[k * g + k] += mu * damping_global_[k];
      schur_rhs[k] = -grad_global_[k];
    }
    for (const Block& b : blocks_) {
      std::fill(dense_w.begin(), dense_w.end(), 0.0);
      for (size_t a = 0; a < l; ++a) {
        for (size_t k = 0; k < t; ++k) dense_w[a * g + b.touched_index[k]] += b.w[a * t + k];
      }
      for (size_t a = 0; a < l; ++a) {
        for (size_t k = 0; k < g; ++k) {
          const double wk = dense_w[a * g + k];
          if (wk == 0.0) continue;
          schur_rhs[k] += wk * b.x0[a];
          for (size_t m = 0; m < g; ++m) schur_[k * g + m] -= wk * b.x[a * g + m];
        }
      }
    }
    return cholesky(schur_.data(), g);
  }

  // The damped Gauss-Newton step; false when the damped system is singular.
  bool step(double mu, Unknowns& delta) {
    std::vector<double> rhs;
    if (!factor(mu, rhs)) return false;
    const size_t l = layout_.locals, g = layout_.globals;
    solve_lower(schur_.data(), g, rhs.data(), 1);
    solve_upper(schur_.data(), g, rhs.data(), 1);
    delta.global = rhs;
    delta.local.resize(layout_.spectra * l);
    for (size_t i = 0; i < layout_.spectra; ++i) {
      const Block& b = blocks_[i];
      for (size_t a = 0; a < l; ++a) {
        double value = -b.x0[a];
        for (size_t k = 0; k < g; ++k) value -= b.x[a * g + k] * delta.global[k];
        delta.local[i * l + a] = value;
      }
    }
    for (double value : delta.local) {
      if (!std::isfinite(value)) return false;
    }
    for (double value : delta.global) {
      if (!std::isfinite(value)) return false;
    }
    return true;
  }

  // 1/2 delta^T (mu D delta - grad): the decrease the damped model predicts.
  double predicted_decrease(double mu, const Unknowns& delta) const {
    const size_t l = layout_.locals;
    double sum = 0.0;
    for (size_t i = 0; i < layout_.spectra; ++i) {
      const Block& b = blocks_[i];
      for (size_t a = 0; a < l; ++a) {
        const double d = delta.local[i * l + a];
        sum += d * (mu * b.damping[a] * d - b.grad_local[a]);
      }
    }
    for (size_t k = 0; k < layout_.globals; ++k) {
      sum += delta.global[k] * (mu * damping_global_[k] * delta.global[k] - grad_global_[k]);
    }
    return 0.5 * sum;
  }

  // max |grad_k| / sqrt(D_k * 2 cost): the cosine-like gradient test.
  double scaled_gradient(double cost) const {
    if (!(cost > 0.0)) return 0.0;
    double largest = 0.0;
    for (const Block& b : blocks_) {
      for (size_t a = 0; a < layout_.locals; ++a) {
        largest = std::max(largest, std::fabs(b.grad_local[a]) / std::sqrt(b.damping[a] * 2.0 * cost));
      }
    }
    for (size_t k = 0; k < layout_.globals; ++k) {
      largest = std::max(largest, std::fabs(grad_global_[k]) / std::sqrt(damping_global_[k] * 2.0 * cost));
    }
    return largest;
  }

  // Covariances at the solution, given the normal equations built there:
  // s^2 S^-1 for the globals, s^2 (Sigma_ii + X_i S^-1 X_i^T) for each
  // spectrum's locals, where Sigma_ii are the diagonal blocks of A^-1.
  // False when the undamped system is singular.
  bool covariances(double s2, std::vector<double>& global_cov, std::vector<std::vector<double>>& local_cov) {
    // A tiny relative ridge keeps a direction the data leave flat from
    // voiding every error: that direction's own error comes out huge.
    std::vector<double> unused;
    if (!factor(0.0, unused) && !factor(1e-10, unused)) return false;
    const size_t l = layout_.locals, g = layout_.globals, n = layout_.spectra;
    const std::vector<double> s_inverse = inverse_from_factor(schur_.data(), g);
    global_cov.resize(g * g);
    for (size_t k = 0; k < g * g; ++k) global_cov[k] = s2 * s_inverse[k];
    local_cov.assign(n, std::vector<double>(l * l, 0.0));
    std::vector<double> sigma_next, sigma(l * l), cross(l * l), chol_inverse;
    for (size_t i = n; i-- > 0;) {
      const Block& b = blocks_[i];
      chol_inverse.assign(l * l, 0.0);
      for (size_t a = 0; a < l; ++a) chol_inverse[a * l + a] = 1.0;
      solve_lower(b.chol.data(), l, chol_inverse.data(), l);  // L_ii^-1
      // Sigma_ii = L^-T L^-1 - Sigma_{i,i+1} C_{i+1} L^-1, with
      // Sigma_{i+1,i} = -Sigma_{i+1,i+1} C_{i+1} L^-1.
      for (size_t a = 0; a < l; ++a) {
        for (size_t c = 0; c < l; ++c) {
          double sum = 0.0;
          for (size_t m = 0; m < l; ++m) sum += chol_inverse[m * l + a] * chol_inverse[m * l + c];
          sigma[a * l + c] = sum;
        }
      }
      if (i + 1 < n && smoothed_) {
        const Block& next = blocks_[i + 1];
        // cl = C_{i+1} L^-1; cross = Sigma_{i+1,i} = -sigma_next cl.
        std::vector<double> cl(l * l, 0.0);
        for (size_t a = 0; a < l; ++a) {
          for (size_t c = 0; c < l; ++c) {
            double sum = 0.0;
            for (size_t m = 0; m < l; ++m) sum += next.coupling[a * l + m] * chol_inverse[m * l + c];
            cl[a * l + c] = sum;
          }
        }
        for (size_t a = 0; a < l; ++a) {
          for (size_t c = 0; c < l; ++c) {
            double sum = 0.0;
            for (size_t m = 0; m < l; ++m) sum += sigma_next[a * l + m] * cl[m * l + c];
            cross[a * l + c] = -sum;
          }
        }
        for (size_t a = 0; a < l; ++a) {
          for (size_t c = 0; c < l; ++c) {
            double sum = 0.0;
            for (size_t m = 0; m < l; ++m) sum += cross[m * l + a] * cl[m * l + c];
            sigma[a * l + c] -= sum;
          }
        }
      }
      sigma_next = sigma;
      std::vector<double>& out = local_cov[i];
      for (size_t a = 0; a < l; ++a) {
        for (size_t c = 0; c < l; ++c) {
          double sum = sigma[a * l + c];
          for (size_t k = 0; k < g; ++k) {
            double row = 0.0;
            for (size_t m = 0; m < g; ++m) row += s_inverse[k * g + m] * b.x[c * g + m];
            sum += b.x[a * g + k] * row;
          }
          out[a * l + c] = s2 * sum;
        }
      }
    }
    return true;
  }

  void set_smoothed(bool smoothed) { smoothed_ = smoothed; }

  SpectrumModel& model(size_t i) { return *blocks_[i].model; }

  // The data cost of spectrum i (which must count) at physical `params`.
  double model_cost(size_t i, std::span<const double> params) { return blocks_[i].model->cost(params); }

  struct Block {
    std::unique_ptr<SpectrumModel> model;
    std::vector<double> residual, params, factor;
    std::vector<size_t> touched_index, touched_param;
    std::vector<double> touched_factor;
    std::vector<double> u, w, v, grad_local, grad_touched, damping, chol, coupling, x, x0;
    double chi_square = 0.0;
    bool finite = true;

    void touched_param_factor(size_t k, size_t param, double factor_value) {
      touched_param[k] = param;
      touched_factor[k] = factor_value;
    }
  };

  const Block& block(size_t i) const { return blocks_[i]; }

 private:
  // b.x -= C * neighbour.x (and the same on x0), C the l x l `coupling`,
  // read transposed when `transposed`: one pass of the block substitutions.
  static void subtract_coupled(Block& b, const Block& neighbour, const std::vector<double>& coupling, bool transposed,
                               size_t l, size_t g) {
    for (size_t a = 0; a < l; ++a) {
      for (size_t m = 0; m < l; ++m) {
        const double c = transposed ? coupling[m * l + a] : coupling[a * l + m];
        if (c == 0.0) continue;
        for (size_t k = 0; k < g; ++k) b.x[a * g + k] -= c * neighbour.x[m * g + k];
        b.x0[a] -= c * neighbour.x0[m];
      }
    }
  }

  const SeriesProblem& problem_;
  Layout layout_;
  std::vector<std::vector<double>> omegas_;
  std::vector<std::vector<double>> weights_;
  EvalCounter counter_;
  std::vector<Block> blocks_;
  std::vector<double> v_, grad_global_, damping_global_, schur_, coupling_scratch_;
  bool smoothed_ = false;
};

// ---- checks and starting point ----------------------------------------------

Result<Layout, FitError> make_layout(const SeriesProblem& problem) {
  if (problem.circuit == nullptr) return FitError::invalid_argument("the series has no circuit");
  Layout layout;
  layout.spectra = problem.spectra.size();
  layout.params = param_count(*problem.circuit);
  const size_t n = layout.spectra;
  if (n == 0) return FitError::invalid_argument("the series holds no spectra");
  if (layout.params == 0) return FitError{FitError::Kind::NoParameters, {}};
  if (problem.parameters.size() != layout.params) {
    return FitError::invalid_argument("the series describes " + std::to_string(problem.parameters.size()) +
                                      " parameters; the circuit has " + std::to_string(layout.params));
  }
  if (problem.starts.size() != n) return FitError::invalid_argument("the series needs one start per spectrum");
  if (!problem.data_used.empty() && problem.data_used.size() != n) {
    return FitError::invalid_argument("data_used needs one flag per spectrum");
  }
  const std::vector<std::string> names = param_names(*problem.circuit);
  layout.transform = param_bounds(*problem.circuit);
  layout.local_of.assign(layout.params, kNone);
  layout.global_offset.assign(layout.params, kNone);
  layout.centre.assign(layout.params, 0.0);
  layout.scale.assign(layout.params, 1.0);
  for (size_t i = 0; i < n; ++i) {
    if (problem.starts[i].size() != layout.params) {
      return FitError::invalid_argument("start " + std::to_string(i) + " has " +
                                        std::to_string(problem.starts[i].size()) + " values; the circuit has " +
                                        std::to_string(layout.params) + " parameters");
    }
  }
  for (size_t j = 0; j < layout.params; ++j) {
    const SeriesParameter& parameter = problem.parameters[j];
    const std::string& name = names[j];
    if (!(parameter.bounds.lo <= parameter.bounds.hi)) {
      return FitError::invalid_argument(name + ": lower bound above upper bound");
    }
    switch (parameter.role) {
      case Role::PerSpectrum:
        if (!(parameter.smoothing >= 0.0) || !std::isfinite(parameter.smoothing)) {
          return FitError::invalid_argument(name + ": smoothing must be finite and >= 0");
        }
        layout.local_of[j] = layout.locals++;
        layout.local_param.push_back(j);
        break;
      case Role::Shared:
        if (!parameter.group.empty() && parameter.group.size() != n) {
          return FitError::invalid_argument(name + ": the groups need one entry per spectrum");
        }
        layout.global_offset[j] = layout.globals;
        layout.globals += parameter.group_count();
        ++layout.touched;
        break;
      case Role::Law: {
        const SeriesLaw& law = parameter.law;
        if (law.covariate.size() != n) {
          return FitError::invalid_argument(name + ": the law's covariate needs one value per spectrum");
        }
        for (double z : law.covariate) {
          if (!std::isfinite(z) || (law.kind == SeriesLaw::Kind::Arrhenius && !(z > 0.0))) {
            return FitError::invalid_argument(name + ": covariate value " + std::to_string(z) +
                                              (law.kind == SeriesLaw::Kind::Arrhenius
                                                   ? " is not a temperature in kelvin (> 0)"
                                                   : " is not finite"));
          }
        }
        double lo = law.covariate[0], hi = law.covariate[0], sum = 0.0;
        for (double z : law.covariate) {
          lo = std::min(lo, z);
          hi = std::max(hi, z);
          sum += law.kind == SeriesLaw::Kind::Arrhenius ? 1.0 / (kBoltzmannEv * z) : z;
        }
        if (!(hi > lo)) return FitError::invalid_argument(name + ": the law's covariate is constant");
        layout.centre[j] = sum / static_cast<double>(n);
        if (law.kind == SeriesLaw::Kind::Polynomial) layout.scale[j] = 0.5 * (hi - lo);
        layout.global_offset[j] = layout.globals;
        layout.globals += law.coefficient_count();
        layout.touched += law.coefficient_count();
        break;
      }
      case Role::Fixed:
        break;
    }
  }
  return layout;
}

std::string name_with_group(const std::string& name, size_t group) {
  return name + " (group " + std::to_string(group) + ")";
}

// The unknowns at the independent starts: locals as they are, shared values
// at their group medians, law coefficients by least squares through them.
Result<Unknowns, FitError> starting_unknowns(const SeriesProblem& problem, const Layout& layout) {
  const size_t n = layout.spectra;
  Unknowns u;
  u.local.resize(n * layout.locals);
  u.global.assign(layout.globals, 0.0);
  const std::vector<std::string> names = param_names(*problem.circuit);
  for (size_t j = 0; j < layout.params; ++j) {
    const SeriesParameter& parameter = problem.parameters[j];
    const Bounds& transform = layout.transform[j];
    const auto start_x = [&](size_t i) {
      return internal_value(clamp_into_bounds(problem.starts[i][j], parameter.bounds), transform);
    };
    switch (parameter.role) {
      case Role::PerSpectrum:
        for (size_t i = 0; i < n; ++i) u.local[i * layout.locals + layout.local_of[j]] = start_x(i);
        break;
      case Role::Shared:
        for (size_t group = 0; group < parameter.group_count(); ++group) {
          std::vector<double> members;
          for (size_t i = 0; i < n; ++i) {
            const bool member = parameter.group.empty() || parameter.group[i] == group;
            if (member && std::isfinite(start_x(i))) members.push_back(start_x(i));
          }
          if (members.empty()) {
            return FitError::invalid_argument(name_with_group(names[j], group) + ": no spectrum gives a start");
          }
          u.global[layout.global_offset[j] + group] = median(members);
        }
        break;
      case Role::Law: {
        std::vector<double> positions, targets;
        const bool arrhenius = parameter.law.kind == SeriesLaw::Kind::Arrhenius;
        for (size_t i = 0; i < n; ++i) {
          const double p = problem.starts[i][j];
          if (!std::isfinite(p) || (arrhenius && !(p > 0.0))) continue;
          positions.push_back(static_cast<double>(i));
          targets.push_back(arrhenius ? std::log(p) : p);
        }
        const size_t count = parameter.law.coefficient_count();
        const auto basis = [&](double position, size_t k) {
          return law_basis(parameter.law, layout.centre[j], layout.scale[j], static_cast<size_t>(position), k);
        };
        auto coefficients = count == 2 ? median_line(positions, targets, basis)
                                       : least_squares(positions, targets, count, basis);
        for (int round = 0; round < 2 && !coefficients.empty(); ++round) {
          coefficients = robust_refit(positions, targets, coefficients, basis);
        }
        if (coefficients.empty()) {
          return FitError::invalid_argument(names[j] + ": the starts do not determine the law (too few distinct "
                                                       "covariate values with usable values)");
        }
        std::copy(coefficients.begin(), coefficients.end(), u.global.begin() + layout.global_offset[j]);
        break;
      }
      case Role::Fixed:
        break;
    }
  }
  return u;
}

// Reported global values and d(reported)/d(unknown), block by parameter.
void report_globals(const SeriesProblem& problem, const Layout& layout, const Unknowns& u,
                    std::vector<double>& values, std::vector<double>& transform) {
  const size_t g = layout.globals;
  values.assign(g, 0.0);
  transform.assign(g * g, 0.0);
  for (size_t j = 0; j < layout.params; ++j) {
    const SeriesParameter& parameter = problem.parameters[j];
    const size_t first = layout.global_offset[j];
    if (parameter.role == Role::Shared) {
      for (size_t group = 0; group < parameter.group_count(); ++group) {
        const size_t k = first + group;
        const double value = physical_value(u.global[k], layout.transform[j]);
        values[k] = clamp_into_bounds(value, parameter.bounds);
        transform[k * g + k] = values[k] == value ? physical_derivative(value, layout.transform[j]) : 0.0;
      }
    } else if (parameter.role == Role::Law && parameter.law.kind == SeriesLaw::Kind::Arrhenius) {
      // ln p = a + Ea (1/(kT) - centre)  =>  A = exp(a - Ea centre).
      const double a = u.global[first], energy = u.global[first + 1], centre = layout.centre[j];
      const double prefactor = std::exp(a - energy * centre);
      values[first] = prefactor;
      values[first + 1] = energy;
      transform[first * g + first] = prefactor;
      transform[first * g + first + 1] = -prefactor * centre;
      transform[(first + 1) * g + first + 1] = 1.0;
    } else if (parameter.role == Role::Law) {
      // sum_k b_k ((z - m)/s)^k = sum_q c_q z^q with c_q = sum_{k>=q} b_k C(k,q) (-m)^(k-q) / s^k.
      const size_t count = parameter.law.coefficient_count();
      const double m = layout.centre[j], s = layout.scale[j];
      for (size_t q = 0; q < count; ++q) {
        for (size_t k = q; k < count; ++k) {
          const double entry = binomial(k, q) * std::pow(-m, static_cast<double>(k - q)) /
                               std::pow(s, static_cast<double>(k));
          transform[(first + q) * g + first + k] = entry;
          values[first + q] += entry * u.global[first + k];
        }
      }
    }
  }
}

// Fits one spectrum's per-spectrum parameters with the others held at `u`.
class LocalRefitter {
 public:
  LocalRefitter(const SeriesProblem& problem, const Layout& layout, SeriesSolver& solver,
                const SeriesSettings& settings)
      : problem_(problem), layout_(layout), solver_(solver), poor_fit_(settings.poor_fit) {
    for (const SeriesParameter& parameter : problem.parameters) {
      held_.push_back(parameter.role != Role::PerSpectrum);
      bounds_.push_back(parameter.bounds);
    }
    lm_settings_.max_iterations = settings.max_iterations;
    fit_settings_.max_iterations = settings.max_iterations;
  }

  // (physical values, chi-square) from `locals` (search coordinates), or
  // nullopt when that fit fails. Leaves `locals` in u's row i. One
  // Levenberg-Marquardt solve on the spectrum's own model, its result
  // clamped into the feasible bounds; when that is not good, the core's
  // multi-start fit from the same point too, keeping the better.
  std::optional<std::pair<std::vector<double>, double>> refit(size_t i, Unknowns& u,
                                                              const std::vector<double>& locals) {
    std::copy(locals.begin(), locals.end(), u.local.begin() + static_cast<std::ptrdiff_t>(i * layout_.locals));
    solver_.spectrum_params(i, u);
    const std::vector<double> start = solver_.block(i).params;
    SpectrumModel& model = solver_.model(i);
    std::optional<std::pair<std::vector<double>, double>> best;
    auto solve = levenberg_marquardt_single_start(model, lmder_for(model.residual_count()), layout_.transform,
                                                  internal(start, layout_.transform), held_, lm_settings_,
                                                  never_stop_);
    if (solve) {
      std::vector<double> values = std::move(solve.value().params);
      for (size_t j = 0; j < values.size(); ++j) values[j] = clamp_into_bounds(values[j], bounds_[j]);
      const double chi_square = 2.0 * model.cost(values);
      if (std::isfinite(chi_square)) best = std::pair{std::move(values), chi_square};
    }
    if (best && good(i, best->second)) return best;
    const SeriesSpectrum& spectrum = problem_.spectra[i];
    auto result = run_fit_method("levenberg_marquardt", rebuild(*problem_.circuit, start), spectrum.frequencies_hz,
                                 spectrum.impedances, problem_.weighting, fit_settings_,
                                 FitConstraints{held_, bounds_});
    if (result && std::isfinite(result.value().chi_square) &&
        (!best || result.value().chi_square < best->second)) {
      best = std::pair{std::move(result.value().values), result.value().chi_square};
    }
    return best;
  }

  // Row i of u set to the per-spectrum values of `values`.
  void store(size_t i, Unknowns& u, const std::vector<double>& values) const {
    for (size_t a = 0; a < layout_.locals; ++a) {
      const size_t j = layout_.local_param[a];
      u.local[i * layout_.locals + a] = internal_value(values[j], layout_.transform[j]);
    }
  }

  // The spectrum's own independent start in search coordinates.
  std::vector<double> own_start(size_t i) const {
    std::vector<double> locals;
    for (size_t j : layout_.local_param) {
      locals.push_back(internal_value(clamp_into_bounds(problem_.starts[i][j], problem_.parameters[j].bounds),
                                      layout_.transform[j]));
    }
    return locals;
  }

  // The spectrum's own fit, every parameter free, is the yardstick: a fit
  // holding some of them loses little when the series agrees with it.
  // Before the joint solve the held values are rough, so the refits there
  // are judged with kStartTolerance, afterwards with kRescueTolerance.
  bool good(size_t i, double chi_square) {
    const double residual_count = 2.0 * static_cast<double>(problem_.spectra[i].impedances.size());
    return chi_square / residual_count <= poor_fit_ &&
           chi_square <= tolerance_ * 2.0 * solver_.model_cost(i, problem_.starts[i]) + kGoodSlack * residual_count;
  }

  void set_tolerance(double tolerance) { tolerance_ = tolerance; }

 private:
  const SeriesProblem& problem_;
  const Layout& layout_;
  SeriesSolver& solver_;
  std::vector<bool> held_;
  std::vector<Bounds> bounds_;
  LmSettings lm_settings_;
  FitSettings fit_settings_;
  StopCheck never_stop_;
  double poor_fit_;
  double tolerance_ = kStartTolerance;
  std::vector<std::unique_ptr<LmderSolver>> lmder_solvers_;  // one per residual count met

  LmderSolver& lmder_for(size_t residual_count) {
    for (size_t k = 0; k < lmder_sizes_.size(); ++k) {
      if (lmder_sizes_[k] == residual_count) return *lmder_solvers_[k];
    }
    lmder_sizes_.push_back(residual_count);
    lmder_solvers_.push_back(std::make_unique<LmderSolver>(residual_count, layout_.params));
    return *lmder_solvers_.back();
  }
  std::vector<size_t> lmder_sizes_;
};

// Refits the per-spectrum unknowns of every spectrum whose data count, with
// the shared, law and fixed parameters held at `u`, chained along the series.
std::optional<FitError> refit_per_spectrum(const Layout& layout, SeriesSolver& solver, LocalRefitter& refitter,
                                           Unknowns& u, StopCheck& stop) {
  std::vector<double> previous;  // the last good refit's unknowns
  for (size_t i = 0; i < layout.spectra; ++i) {
    if (stop.should_stop()) return FitError::interrupted();
    if (!solver.uses(i)) {
      previous.clear();
      continue;
    }
    const std::vector<double> own = refitter.own_start(i);
    auto best = previous.empty() ? std::nullopt : refitter.refit(i, u, previous);
    if (!best || !refitter.good(i, best->second)) {
      auto cold = refitter.refit(i, u, own);
      if (cold && (!best || cold->second < best->second)) best = std::move(cold);
    }
    if (!best) {
      std::copy(own.begin(), own.end(), u.local.begin() + static_cast<std::ptrdiff_t>(i * layout.locals));
      previous.clear();
      continue;
    }
    refitter.store(i, u, best->first);
    if (refitter.good(i, best->second)) {
      const auto row = u.local.begin() + static_cast<std::ptrdiff_t>(i * layout.locals);
      previous.assign(row, row + static_cast<std::ptrdiff_t>(layout.locals));
    } else {
      previous.clear();
    }
  }
  return std::nullopt;
}

// After a joint solve: every spectrum that fits much worse than on its own
// is refitted, globals held, from its own start and from its neighbours'
// values; u takes the better values when the total cost drops. Returns
// whether it did (then the joint solve runs again).
Result<bool, FitError> rescue_stuck_spectra(const Layout& layout, SeriesSolver& solver, LocalRefitter& refitter,
                                            Unknowns& u, StopCheck& stop) {
  if (!solver.evaluate_costs(u)) return false;
  const double before = solver.total_cost(u);
  std::vector<double> chi_square(layout.spectra);
  for (size_t i = 0; i < layout.spectra; ++i) chi_square[i] = solver.block(i).chi_square;
  Unknowns candidate = u;
  bool changed = false;
  const size_t l = layout.locals;
  for (size_t i = 0; i < layout.spectra; ++i) {
    if (stop.should_stop()) return FitError::interrupted();
    if (!solver.uses(i) || refitter.good(i, chi_square[i])) continue;
    std::vector<std::vector<double>> starts = {refitter.own_start(i)};
    for (size_t neighbour : {i - 1, i + 1}) {
      if (neighbour >= layout.spectra) continue;  // i - 1 wraps around at i = 0
      const auto row = u.local.begin() + static_cast<std::ptrdiff_t>(neighbour * l);
      starts.emplace_back(row, row + static_cast<std::ptrdiff_t>(l));
    }
    const auto current = u.local.begin() + static_cast<std::ptrdiff_t>(i * l);
    const std::vector<double> kept(current, current + static_cast<std::ptrdiff_t>(l));
    double best = chi_square[i];
    std::optional<std::vector<double>> best_values;
    for (const auto& start : starts) {
      auto fit = refitter.refit(i, candidate, start);
      if (fit && fit->second < best) {
        best = fit->second;
        best_values = std::move(fit->first);
      }
    }
    std::copy(kept.begin(), kept.end(), candidate.local.begin() + static_cast<std::ptrdiff_t>(i * l));
    if (best_values) {
      refitter.store(i, candidate, *best_values);
      changed = true;
    }
  }
  if (changed && solver.evaluate_costs(candidate) && solver.total_cost(candidate) < before) {
    u = std::move(candidate);
    return true;
  }
  solver.evaluate_costs(u);
  return false;
}

// Levenberg-Marquardt on the whole problem from u; sets the outcome's
// termination and adds its iterations. Returns whether it converged.
Result<bool, FitError> solve_jointly(SeriesSolver& solver, Unknowns& u, const SeriesSettings& settings,
                                     StopCheck& stop, SeriesOutcome& outcome) {
  outcome.termination = SeriesTermination::MaxIterations;
  const bool finite = solver.evaluate_costs(u);
  if (!finite) {
    outcome.termination = SeriesTermination::NumericalFailure;
    return false;
  }
  double cost = solver.total_cost(u);
  double mu = 1e-3;
  double growth = 2.0;
  Unknowns delta, trial;
  const std::uint32_t iteration_limit = std::max<std::uint32_t>(settings.max_iterations, 1);
  for (std::uint32_t iteration = 0; iteration < iteration_limit; ++iteration) {
    if (stop.should_stop()) return FitError::interrupted();
    ++outcome.iterations;
    if (!solver.build_normal_equations(u)) {
      outcome.termination = SeriesTermination::NumericalFailure;
      return false;
    }
    solver.update_damping();
    if (solver.scaled_gradient(cost) <= settings.gtol || cost == 0.0) {
      outcome.termination = SeriesTermination::GradientConverged;
      return true;
    }
    // Raise the damping until a step lowers the cost.
    bool accepted = false;
    bool step_small = false;
    bool cost_small = false;
    for (int attempt = 0; attempt < 60 && !accepted; ++attempt) {
      if (stop.should_stop()) return FitError::interrupted();
      if (!solver.step(mu, delta)) {
        mu *= growth;
        growth *= 2.0;
        continue;
      }
      double step_norm = 0.0, value_norm = 0.0;
      trial = u;
      for (size_t k = 0; k < u.local.size(); ++k) {
        trial.local[k] += delta.local[k];
        step_norm += delta.local[k] * delta.local[k];
        value_norm += u.local[k] * u.local[k];
      }
      for (size_t k = 0; k < u.global.size(); ++k) {
        trial.global[k] += delta.global[k];
        step_norm += delta.global[k] * delta.global[k];
        value_norm += u.global[k] * u.global[k];
      }
      step_small = std::sqrt(step_norm) <= settings.xtol * (std::sqrt(value_norm) + settings.xtol);
      const double predicted = solver.predicted_decrease(mu, delta);
      const bool trial_finite = solver.evaluate_costs(trial);
      const double trial_cost = trial_finite ? solver.total_cost(trial) : kNaN;
      if (trial_finite && trial_cost <= cost && predicted > 0.0) {
        const double ratio = (cost - trial_cost) / predicted;
        mu *= std::max(1.0 / 3.0, 1.0 - std::pow(2.0 * ratio - 1.0, 3));
        growth = 2.0;
        cost_small = cost - trial_cost <= settings.ftol * cost && predicted <= settings.ftol * cost;
        u = trial;
        cost = trial_cost;
        accepted = true;
      } else {
        if (step_small) break;
        mu *= growth;
        growth *= 2.0;
      }
    }
    if (!accepted) {
      // The costs of the last trial are in the models: restore those at u.
      solver.evaluate_costs(u);
      outcome.termination = step_small ? SeriesTermination::StepConverged : SeriesTermination::NumericalFailure;
      return step_small;
    }
    if (cost_small) {
      outcome.termination = SeriesTermination::CostConverged;
      return true;
    }
    if (step_small) {
      outcome.termination = SeriesTermination::StepConverged;
      return true;
    }
  }
  return false;
}

}  // namespace

Result<SeriesOutcome, FitError> series_fit(const SeriesProblem& problem, const SeriesSettings& settings) {
  if (!(settings.ftol >= 0.0)) return FitError::invalid_argument("ftol must be >= 0");
  if (!(settings.xtol >= 0.0)) return FitError::invalid_argument("xtol must be >= 0");
  if (!(settings.gtol >= 0.0)) return FitError::invalid_argument("gtol must be >= 0");
  auto layout_result = make_layout(problem);
  if (!layout_result) return layout_result.error();
  Layout layout = std::move(layout_result).value();
  const size_t n = layout.spectra;
  std::vector<std::vector<double>> omegas(n), weights(n);
  for (size_t i = 0; i < n; ++i) {
    const SeriesSpectrum& spectrum = problem.spectra[i];
    const std::string which = "spectrum " + std::to_string(i) + ": ";
    if (spectrum.frequencies_hz.size() != spectrum.impedances.size()) {
      return FitError::invalid_argument(which + std::to_string(spectrum.frequencies_hz.size()) + " frequencies but " +
                                        std::to_string(spectrum.impedances.size()) + " impedances");
    }
    if (spectrum.frequencies_hz.empty()) return FitError::invalid_argument(which + "no points");
    if (auto error = check_spectrum_values(spectrum.frequencies_hz, spectrum.impedances)) {
      return FitError::invalid_argument(which + error->message());
    }
    for (double f : spectrum.frequencies_hz) omegas[i].push_back(f * 2.0 * std::numbers::pi);
    weights[i] = compute_weights(spectrum.impedances, problem.weighting);
  }
  auto start = starting_unknowns(problem, layout);
  if (!start) return start.error();
  Unknowns u = std::move(start).value();

  bool smoothed = false;
  for (size_t a : layout.local_param) smoothed = smoothed || problem.parameters[a].smoothing > 0.0;
  EvalCounter counter = make_eval_counter();
  SeriesSolver solver(problem, layout, std::move(omegas), std::move(weights), counter);
  solver.set_smoothed(smoothed);
  StopCheck stop(settings.should_stop);
  LocalRefitter refitter(problem, layout, solver, settings);
  const bool refits = settings.refit_per_spectrum && layout.locals > 0 && layout.globals > 0;
  if (refits) {
    if (auto error = refit_per_spectrum(layout, solver, refitter, u, stop)) return *error;
    refitter.set_tolerance(kRescueTolerance);
  }

  SeriesOutcome outcome;
  bool converged = false;
  for (int round = 0;; ++round) {
    auto solved = solve_jointly(solver, u, settings, stop, outcome);
    if (!solved) return solved.error();
    converged = solved.value();
    if (!refits || round == kRescueRounds) break;
    auto rescued = rescue_stuck_spectra(layout, solver, refitter, u, stop);
    if (!rescued) return rescued.error();
    if (!rescued.value()) break;
  }

  // Results at u: per-spectrum values, chi-squares and covariances.
  const bool finite = solver.evaluate_costs(u);
  outcome.values.resize(n);
  outcome.standard_errors.assign(n, std::vector<double>(layout.params, kNaN));
  outcome.chi_square.resize(n);
  for (size_t i = 0; i < n; ++i) {
    outcome.chi_square[i] = solver.block(i).chi_square;
    if (solver.uses(i)) {
      outcome.data_chi_square += outcome.chi_square[i];
      outcome.residual_count += 2 * problem.spectra[i].impedances.size();
    }
  }
  outcome.penalty = solver.penalty(u);
  outcome.free_count = n * layout.locals + layout.globals;
  std::vector<double> transform;
  report_globals(problem, layout, u, outcome.globals, transform);
  const size_t g = layout.globals, l = layout.locals;
  outcome.global_covariance.assign(g * g, kNaN);
  std::vector<double> global_cov;
  std::vector<std::vector<double>> local_cov;
  const double dof = static_cast<double>(outcome.residual_count) - static_cast<double>(outcome.free_count);
  const double s2 = dof > 0.0 ? outcome.data_chi_square / dof : kNaN;
  const bool have_covariance = finite && dof > 0.0 && solver.build_normal_equations(u) &&
                               solver.covariances(s2, global_cov, local_cov);
  for (size_t i = 0; i < n; ++i) {
    solver.spectrum_params(i, u);
    const auto& b = solver.block(i);
    outcome.values[i] = b.params;
    if (!have_covariance) continue;
    size_t touched = 0;
    for (size_t j = 0; j < layout.params; ++j) {
      const SeriesParameter& parameter = problem.parameters[j];
      double variance = kNaN;
      if (parameter.role == Role::PerSpectrum) {
        const size_t a = layout.local_of[j];
        variance = b.factor[j] * b.factor[j] * local_cov[i][a * l + a];
      } else if (parameter.role != Role::Fixed) {
        const size_t count = parameter.role == Role::Law ? parameter.law.coefficient_count() : 1;
        variance = 0.0;
        for (size_t k = 0; k < count; ++k) {
          for (size_t m = 0; m < count; ++m) {
            variance += b.touched_factor[touched + k] * b.touched_factor[touched + m] *
                        global_cov[b.touched_index[touched + k] * g + b.touched_index[touched + m]];
          }
        }
        touched += count;
      }
      outcome.standard_errors[i][j] = variance >= 0.0 ? std::sqrt(variance) : kNaN;
    }
  }
  if (have_covariance) {
    for (size_t a = 0; a < g; ++a) {
      for (size_t c = 0; c < g; ++c) {
        double sum = 0.0;
        for (size_t k = 0; k < g; ++k) {
          for (size_t m = 0; m < g; ++m) sum += transform[a * g + k] * global_cov[k * g + m] * transform[c * g + m];
        }
        outcome.global_covariance[a * g + c] = sum;
      }
    }
  }
  outcome.impedance_evals = counter->load();
  outcome.success = converged && finite && std::isfinite(outcome.data_chi_square);
  return outcome;
}

Result<std::vector<IndependentFit>, FitError> independent_fits(const SeriesList& circuit,
                                                               std::span<const SeriesSpectrum> spectra,
                                                               Weighting weighting, const std::vector<bool>& fixed,
                                                               const std::vector<Bounds>& bounds,
                                                               const FallbackStart& fallback, double poor_fit,
                                                               std::uint32_t max_iterations,
                                                               const StopCallback& should_stop) {
  const size_t p = param_count(circuit);
  FitSettings settings;
  settings.max_iterations = max_iterations;
  settings.should_stop = should_stop;
  const FitConstraints constraints{fixed, bounds};
  StopCheck stop(should_stop);
  const auto fit_from = [&](size_t i, std::vector<double> start) -> Result<IndependentFit, FitError> {
    if (!bounds.empty()) {
      for (size_t j = 0; j < p; ++j) start[j] = clamp_into_bounds(start[j], bounds[j]);
    }
    auto result = run_fit_method("levenberg_marquardt", rebuild(circuit, start), spectra[i].frequencies_hz,
                                 spectra[i].impedances, weighting, settings, constraints);
    if (!result) return result.error();
    FitOutcome& outcome = result.value();
    IndependentFit fit;
    fit.values = std::move(outcome.values);
    fit.standard_errors = outcome.standard_errors ? *outcome.standard_errors : std::vector<double>(p, kNaN);
    fit.chi_square = outcome.chi_square;
    fit.success = outcome.success;
    fit.impedance_evals = outcome.impedance_evals;
    return fit;
  };
  const auto is_good = [&](const IndependentFit& fit, size_t i) {
    const double mean_square = fit.chi_square / (2.0 * static_cast<double>(spectra[i].impedances.size()));
    return fit.success && std::isfinite(mean_square) && mean_square <= poor_fit;
  };
  // A warm start is first tried with one Levenberg-Marquardt solve on the
  // spectrum's own model; the core's multi-start fit runs only when that is
  // not good.
  const std::vector<Bounds> transform = param_bounds(circuit);
  const std::vector<Bounds>& feasible = bounds.empty() ? transform : bounds;
  const std::vector<bool> held = fixed.empty() ? std::vector<bool>(p, false) : fixed;
  std::vector<size_t> lmder_sizes;
  std::vector<std::unique_ptr<LmderSolver>> lmder_solvers;
  StopCheck never_stop;
  LmSettings lm_settings;
  lm_settings.max_iterations = max_iterations;
  std::vector<double> jacobian;
  const auto quick_fit = [&](size_t i, const std::vector<double>& start) -> std::optional<IndependentFit> {
    const SeriesSpectrum& spectrum = spectra[i];
    std::vector<double> omegas;
    for (double f : spectrum.frequencies_hz) omegas.push_back(f * 2.0 * std::numbers::pi);
    const std::vector<double> weights = compute_weights(spectrum.impedances, weighting);
    EvalCounter counter = make_eval_counter();
    SpectrumModel model(circuit, omegas, spectrum.impedances, weights, counter);
    const size_t rows = model.residual_count();
    size_t k = 0;
    while (k < lmder_sizes.size() && lmder_sizes[k] != rows) ++k;
    if (k == lmder_sizes.size()) {
      lmder_sizes.push_back(rows);
      lmder_solvers.push_back(std::make_unique<LmderSolver>(rows, p));
    }
    std::vector<double> x0(p);
    for (size_t j = 0; j < p; ++j) x0[j] = internal_value(clamp_into_bounds(start[j], feasible[j]), transform[j]);
    auto solve = levenberg_marquardt_single_start(model, *lmder_solvers[k], transform, x0, held, lm_settings,
                                                  never_stop);
    if (!solve) return std::nullopt;
    IndependentFit fit;
    fit.values = std::move(solve.value().params);
    // Held values come back through the search coordinates; keep them exact.
    for (size_t j = 0; j < p; ++j) {
      fit.values[j] = clamp_into_bounds(held[j] ? start[j] : fit.values[j], feasible[j]);
    }
    fit.chi_square = 2.0 * model.cost(fit.values);
    fit.success = solve.value().converged && std::isfinite(fit.chi_square);
    jacobian.resize(rows * p);
    model.jacobian(fit.values, jacobian);
    fit.standard_errors = standard_errors(jacobian, rows, held, fit.chi_square);
    fit.impedance_evals = counter->load();
    return fit;
  };
  std::vector<IndependentFit> fits;
  fits.reserve(spectra.size());
  const IndependentFit* previous = nullptr;
  for (size_t i = 0; i < spectra.size(); ++i) {
    std::optional<IndependentFit> warm;
    if (previous != nullptr) {
      if (stop.should_stop()) return FitError::interrupted();
      warm = quick_fit(i, previous->values);
      if (!warm || !is_good(*warm, i)) {
        const std::uint64_t quick_evals = warm ? warm->impedance_evals : 0;
        auto result = fit_from(i, previous->values);
        if (!result) return result.error();
        warm = std::move(result).value();
        warm->impedance_evals += quick_evals;
      }
      warm->warm = true;
    }
    if (!warm || !is_good(*warm, i)) {
      std::string message;
      auto values = fallback(i, message);
      if (!values) return FitError::invalid_argument("spectrum " + std::to_string(i) + ": " + message);
      if (values->size() != p) {
        return FitError::invalid_argument("the fallback start of spectrum " + std::to_string(i) + " has " +
                                          std::to_string(values->size()) + " values, not " + std::to_string(p));
      }
      auto result = fit_from(i, std::move(*values));
      if (!result) return result.error();
      IndependentFit cold = std::move(result).value();
      const auto badness = [](const IndependentFit& fit) {
        return std::pair{!fit.success, std::isfinite(fit.chi_square) ? fit.chi_square : HUGE_VAL};
      };
      const std::uint64_t evals = cold.impedance_evals + (warm ? warm->impedance_evals : 0);
      if (!warm || badness(cold) < badness(*warm)) warm = std::move(cold);
      warm->impedance_evals = evals;
    }
    fits.push_back(std::move(*warm));
    previous = is_good(fits.back(), i) ? &fits.back() : nullptr;
  }
  return fits;
}

}  // namespace kovrant
