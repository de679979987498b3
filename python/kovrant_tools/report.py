"""FitReport: the statistics of one fit as plain, picklable Python data."""
from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from functools import lru_cache

import numpy as np

from . import _engine
from .limits import limits_of

# |correlation| above this means the data cannot tell two parameters apart.
CORRELATION_LIMIT = 0.99
CONFIDENCE = 0.95
# Points per decade of the smooth model curve kept for plots.
CURVE_POINTS_PER_DECADE = 20


@dataclass(frozen=True)
class FitReport:
    """Outcome and statistics of fitting one circuit to one spectrum.

    With n = 2N residuals (real and imaginary part of each of the N points,
    weighted as in the fit), k free parameters, RSS = ``chi_square`` (the sum of
    the squared weighted residuals) and dof = n - k:

    - ``reduced_chi_square`` = RSS / dof
    - ``aic`` = n ln(RSS / n) + 2 k
    - ``bic`` = n ln(RSS / n) + k ln(n)
    - covariance of the free parameters = s^2 (J^T J)^-1 with s^2 = RSS / dof and
      J the Jacobian of the weighted residuals in physical units;
      ``stderr`` is the square root of its diagonal;
    - ``confidence_intervals``: value -/+ t(0.975, dof) * stderr (Student's t).

    Fixed parameters have stderr NaN and NaN rows and columns in the
    correlation matrix (``names`` order); they, and free parameters without a
    standard error (dof <= 0, singular J^T J), have no confidence interval.
    ``residuals`` are the weighted residuals (model - measured) / weight per
    point, complex. ``model_frequencies``/``model_curve`` hold the fitted model
    on a dense grid across the measured range, for plots.
    """

    circuit: str | None  # notation or model name; None when given as a Circuit object
    names: list[str]
    units: list[str]
    params: dict[str, float]
    stderr: dict[str, float]
    fixed: frozenset[str]
    bounds: dict[str, tuple[float, float]]
    confidence_intervals: dict[str, tuple[float, float]]
    correlation: np.ndarray
    chi_square: float
    reduced_chi_square: float
    aic: float
    bic: float
    dof: int
    success: bool
    iterations: int
    impedance_evals: int
    method: str
    weight: str
    frequencies: np.ndarray
    impedances: np.ndarray
    model_impedances: np.ndarray
    residuals: np.ndarray
    model_frequencies: np.ndarray
    model_curve: np.ndarray
    warnings: list[str] = field(default_factory=list)
    limits: tuple = ()  # kovrant_tools.limits.Limit: elements the data cannot see, each also a warning

    @property
    def free(self) -> list[str]:
        """Names of the parameters the fit adjusted, in ``names`` order."""
        return [name for name in self.names if name not in self.fixed]

    def _parameter_rows(self):
        rows = []
        for name, unit in zip(self.names, self.units):
            low, high = self.confidence_intervals.get(name, (math.nan, math.nan))
            lower, upper = self.bounds[name]
            rows.append({
                "name": name, "unit": unit, "value": self.params[name], "stderr": self.stderr[name],
                "ci95_low": low, "ci95_high": high, "fixed": name in self.fixed,
                "lower": lower, "upper": upper,
            })
        return rows

    def to_dict(self) -> dict:
        """Everything in the report as dicts, lists, floats, ints, bools and strings."""
        return {
            "circuit": self.circuit,
            "parameters": self._parameter_rows(),
            "correlation": self.correlation.tolist(),
            "chi_square": self.chi_square,
            "reduced_chi_square": self.reduced_chi_square,
            "aic": self.aic,
            "bic": self.bic,
            "dof": self.dof,
            "success": self.success,
            "iterations": self.iterations,
            "impedance_evals": self.impedance_evals,
            "method": self.method,
            "weight": self.weight,
            "points": {
                "frequency_hertz": self.frequencies.tolist(),
                "measured_real_ohm": self.impedances.real.tolist(),
                "measured_imaginary_ohm": self.impedances.imag.tolist(),
                "model_real_ohm": self.model_impedances.real.tolist(),
                "model_imaginary_ohm": self.model_impedances.imag.tolist(),
                "residual_real": self.residuals.real.tolist(),
                "residual_imaginary": self.residuals.imag.tolist(),
            },
            "warnings": list(self.warnings),
        }

    def to_json(self, indent: int | None = 2) -> str:
        """``to_dict()`` as JSON; NaN and infinities (no JSON numbers) become null."""
        return json.dumps(_finite_or_none(self.to_dict()), indent=indent, allow_nan=False)

    def to_frame(self):
        """One row per parameter (value, stderr, 95 % interval, fixed, bounds), indexed by name."""
        try:
            import pandas as pd
        except ImportError as error:
            raise ImportError("FitReport.to_frame needs pandas: pip install pandas") from error
        return pd.DataFrame(self._parameter_rows()).set_index("name")

    def __str__(self) -> str:
        rows = self._parameter_rows()
        width = max([len("parameter")] + [len(row["name"]) for row in rows])
        status = "converged" if self.success else "NOT converged"
        lines = [
            f"Fit of {self.circuit or 'circuit'} ({self.method}, {self.weight} weighting): {status}",
            f"  chi-square {self.chi_square:.6g}, reduced {self.reduced_chi_square:.6g}, "
            f"AIC {self.aic:.2f}, BIC {self.bic:.2f}, {len(self.frequencies)} points, dof {self.dof}",
            "",
            f"  {'parameter':<{width}}  {'value':>12}  {'stderr':>10}  {'95 % interval':>27}  unit",
        ]
        for row in rows:
            if row["fixed"]:
                spread = f"{'(fixed)':>10}  {'':>27}"
            else:
                interval = f"[{row['ci95_low']:.5g}, {row['ci95_high']:.5g}]"
                spread = f"{row['stderr']:>10.3g}  {interval:>27}"
            lines.append(f"  {row['name']:<{width}}  {row['value']:>12.6g}  {spread}  {row['unit']}")
        lines.extend(f"warning: {text}" for text in self.warnings)
        return "\n".join(lines)


def build_report(circuit, notation, frequencies, impedances, values, fixed, bounds, *, chi_square, success,
                 iterations, impedance_evals, method, weight) -> FitReport:
    """Statistics of a finished fit.

    circuit: the kovrant.Circuit that was fitted (its values are not used);
    values: fitted values in ``param_names()`` order; fixed: names held;
    bounds: name -> (lo, hi) the fit respected.
    """
    names = circuit.param_names()
    values = np.asarray(values, dtype=float)
    free = np.array([name not in fixed for name in names], dtype=bool)
    n_residuals = 2 * len(frequencies)
    n_free = int(free.sum())
    dof = n_residuals - n_free

    fitted = circuit.with_values(values.tolist())
    covariance = _covariance(fitted, frequencies, impedances, weight, free)
    stderr = np.full(len(names), math.nan)
    stderr[free] = np.sqrt(np.diag(covariance)) if n_free else []
    correlation = np.full((len(names), len(names)), math.nan)
    with np.errstate(invalid="ignore", divide="ignore"):
        correlation[np.ix_(free, free)] = covariance / np.outer(stderr[free], stderr[free])
    t = student_t_quantile(0.5 + CONFIDENCE / 2, dof) if dof > 0 else math.nan
    intervals = {name: (float(v - t * s), float(v + t * s))
                 for name, v, s in zip(names, values, stderr) if math.isfinite(t * s)}

    model = fitted.impedance(frequencies)
    scale = np.maximum(np.abs(impedances), 1e-30) if weight == "modulus" else 1.0
    curve_frequencies = _dense_grid(frequencies)
    # An exact fit (chi-square 0) is infinitely likely: AIC and BIC are -inf.
    log_rss = math.log(chi_square / n_residuals) if chi_square > 0 else -math.inf
    reduced = chi_square / dof if dof > 0 else math.nan

    params = dict(zip(names, values.tolist()))
    stderr_by_name = dict(zip(names, stderr.tolist()))
    limits = limits_of(notation, params, frequencies, impedances, chi_square=chi_square, dof=dof,
                       weight=weight) if notation is not None else ()
    return FitReport(
        circuit=notation, names=names, units=circuit.param_units(), params=params, stderr=stderr_by_name,
        fixed=frozenset(name for name in names if name in fixed), bounds=dict(bounds),
        confidence_intervals=intervals, correlation=correlation, chi_square=float(chi_square),
        reduced_chi_square=reduced, aic=n_residuals * log_rss + 2 * n_free,
        bic=n_residuals * log_rss + n_free * math.log(n_residuals),
        dof=dof, success=bool(success), iterations=int(iterations), impedance_evals=int(impedance_evals),
        method=method, weight=weight, frequencies=np.asarray(frequencies, dtype=float),
        impedances=np.asarray(impedances, dtype=complex), model_impedances=model,
        residuals=(model - impedances) / scale, model_frequencies=curve_frequencies,
        model_curve=fitted.impedance(curve_frequencies),
        warnings=_warnings(names, params, stderr_by_name, free, bounds, correlation, impedances)
        + [limit.warning for limit in limits], limits=limits,
    )


def _covariance(fitted, frequencies, impedances, weight, free):
    """s^2 (J^T J)^-1 over the free parameters, from the fitting engine; NaN where it does not exist."""
    n_free = int(free.sum())
    matrix = _engine.outcome_at(fitted, frequencies, impedances, (~free).tolist(), weight=weight)["covariance"]
    if matrix is None:
        return np.full((n_free, n_free), math.nan)
    covariance = np.asarray(matrix, dtype=float)[np.ix_(free, free)]
    # A negative variance is rounding on a near-singular matrix: no error estimate.
    bad = ~(np.diag(covariance) >= 0)
    covariance[bad, :] = math.nan
    covariance[:, bad] = math.nan
    return covariance


def _dense_grid(frequencies):
    """Descending log grid over the measured range that contains every whole decade."""
    positive = np.asarray(frequencies, dtype=float)
    positive = positive[positive > 0]
    if positive.size == 0:
        return np.asarray(frequencies, dtype=float)
    low, high = np.log10(positive.min()), np.log10(positive.max())
    steps = np.arange(np.ceil(low * CURVE_POINTS_PER_DECADE), np.floor(high * CURVE_POINTS_PER_DECADE) + 1)
    exponents = np.unique(np.concatenate([[low, high], steps / CURVE_POINTS_PER_DECADE]))
    return 10.0 ** exponents[::-1]


def _is_at(value, bound, span):
    return abs(value - bound) <= 1e-9 * (abs(bound) + span)


def _warnings(names, params, stderr, free, bounds, correlation, impedances):
    found = []
    for name, is_free in zip(names, free):
        if not is_free:
            continue
        lower, upper = bounds[name]
        span = upper - lower if math.isfinite(upper) else 0.0
        for side, bound in (("lower", lower), ("upper", upper)):
            if math.isfinite(bound) and _is_at(params[name], bound, span):
                found.append(f"{name} = {params[name]:.6g} is at its {side} bound {bound:.6g}")
        if math.isnan(stderr[name]):
            found.append(f"{name} has no standard error (NaN): the data do not determine it")
    if len(impedances) and np.mean(np.imag(impedances) > 0) > 0.5:
        found.append("most points have Im Z > 0: is the sign of the imaginary part flipped?")
    for i, j in zip(*np.nonzero(np.triu(np.abs(correlation) > CORRELATION_LIMIT, 1))):
        found.append(f"{names[i]} and {names[j]} are correlated ({correlation[i, j]:+.4f})")
    return found


def _finite_or_none(value):
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: _finite_or_none(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite_or_none(item) for item in value]
    return value


@lru_cache(maxsize=256)
def student_t_quantile(probability: float, dof: int) -> float:
    """The `probability` quantile of Student's t distribution with `dof` degrees of freedom."""
    if not 0.0 < probability < 1.0 or dof <= 0:
        raise ValueError(f"need 0 < probability < 1 and dof > 0, got {probability} and {dof}")
    if probability < 0.5:
        return -student_t_quantile(1.0 - probability, dof)
    # Bisection on the distribution function: monotonic and robust for any dof.
    low, high = 0.0, 1.0
    while _student_t_cdf(high, dof) < probability:
        low, high = high, high * 2.0
    for _ in range(80):
        middle = 0.5 * (low + high)
        if _student_t_cdf(middle, dof) < probability:
            low = middle
        else:
            high = middle
    return 0.5 * (low + high)


def _student_t_cdf(t, dof):
    """P(T <= t) for t >= 0, through the regularized incomplete beta function."""
    x = dof / (dof + t * t)
    return 1.0 - 0.5 * _incomplete_beta(0.5 * dof, 0.5, x)


def _incomplete_beta(a, b, x):
    """Regularized incomplete beta I_x(a, b) by its continued fraction (modified Lentz)."""
    if x <= 0.0:
        return 0.0
    if x >= 1.0:
        return 1.0
    log_front = math.lgamma(a + b) - math.lgamma(a) - math.lgamma(b) + a * math.log(x) + b * math.log1p(-x)
    if x > (a + 1.0) / (a + b + 2.0):
        # The fraction converges fast only below the mean; use the symmetry otherwise.
        return 1.0 - _incomplete_beta(b, a, 1.0 - x)
    tiny = 1e-300
    c, d = 1.0, 1.0 - (a + b) * x / (a + 1.0)
    d = 1.0 / (d if abs(d) > tiny else tiny)
    result = d
    for m in range(1, 10000):
        for numerator in (m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m)),
                          -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1))):
            d = 1.0 + numerator * d
            d = 1.0 / (d if abs(d) > tiny else tiny)
            c = 1.0 + numerator / c
            c = c if abs(c) > tiny else tiny
            result *= c * d
        if abs(c * d - 1.0) < 1e-15:
            break
    return math.exp(log_front) * result / a
