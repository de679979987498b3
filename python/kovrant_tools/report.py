"""FitReport: the outcome and statistics of one fit, as plain, picklable Python data.

The report keeps what the fit produced (values, standard errors, covariance,
counters, start) and derives everything else (intervals, correlation,
information criteria, model curves, warnings) on first use, so that making a
report costs next to nothing beside the fit itself.
"""
from __future__ import annotations

import json
import math
from collections.abc import Mapping
from dataclasses import dataclass
from functools import cached_property, lru_cache
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import kovrant

from . import _engine_loader
from ._optional import require
from .limits import Limit, find_limits

if TYPE_CHECKING:
    import pandas

    from .fitting import Solution
    from .spectrum import SpectrumLike

# |correlation| above this means the data cannot tell two parameters apart.
CORRELATION_LIMIT = 0.99
CONFIDENCE = 0.95
# Points per decade of the smooth model curve kept for plots.
CURVE_POINTS_PER_DECADE = 20
# Why a fit stopped, as `termination` says it.
CONVERGED = "converged"
NOT_CONVERGED = "not converged"
COST_NOT_FINITE = "cost not finite"


@dataclass(frozen=True, eq=False)
class FitReport:
    """Outcome and statistics of fitting one circuit to one spectrum.

    The names of `kovrant.FitResult` mean the same here: ``circuit`` (the
    fitted ``kovrant.Circuit``), ``params``, ``stderr`` (None when the fit has
    no standard errors at all; NaN for a held parameter or one the data do not
    determine), ``success``, ``iterations``, ``impedance_evals``, ``cost`` and
    ``chi_square``. Beside them: ``notation`` (the circuit as written, or as
    the notation of a composed circuit), ``covariance`` (over ``names``, NaN
    rows and columns for held parameters; None when it does not exist),
    ``start`` (the values the fit started from; None when unknown),
    ``termination`` ("converged", "not converged" or "cost not finite") and
    ``source`` (the spectrum's file, when it came from one).

    With n = 2N residuals (real and imaginary part of each of the N points,
    weighted as in the fit), k free parameters, RSS = ``chi_square`` and
    dof = n - k:

    - ``reduced_chi_square`` = RSS / dof
    - ``aic`` = n ln(RSS / n) + 2 k
    - ``bic`` = n ln(RSS / n) + k ln(n)
    - ``covariance`` = s^2 (J^T J)^-1 over the free parameters, s^2 = RSS / dof,
      J the Jacobian of the weighted residuals in physical units; ``stderr`` is
      the square root of its diagonal;
    - ``confidence_intervals``: value -/+ t(0.975, dof) * stderr (Student's t).

    ``residuals`` are the weighted residuals (model - measured) / weight per
    point, complex. ``model_frequencies``/``model_curve`` hold the fitted model
    on a dense grid across the measured range, for plots.
    """

    circuit: kovrant.Circuit
    notation: str
    names: list[str]
    units: list[str]
    params: dict[str, float]
    stderr: dict[str, float] | None
    covariance: npt.NDArray[np.float64] | None
    fixed: frozenset[str]
    bounds: dict[str, tuple[float, float]]
    start: dict[str, float] | None
    chi_square: float
    cost: float
    dof: int
    success: bool
    termination: str
    iterations: int
    impedance_evals: int
    method: str
    weight: str
    frequencies: npt.NDArray[np.float64]
    impedances: npt.NDArray[np.complex128]
    source: str | None = None
    notes: tuple[str, ...] = ()  # said by whoever made the report (a ranking), shown after the warnings

    # --- construction ---------------------------------------------------------

    @classmethod
    def from_solution(cls, solution: Solution, circuit: kovrant.Circuit, notation: str, frequencies: npt.ArrayLike,
                      impedances: npt.ArrayLike, *, method: str, weight: str, source: str | None = None) -> FitReport:
        """The report of a finished `fitting.solve` of `circuit`."""
        names = solution.names
        frequencies = np.asarray(frequencies, dtype=float)
        return cls(
            circuit=solution.circuit, notation=notation, names=names,
            units=circuit.param_units(), params=solution.params, stderr=solution.stderr_by_name,
            covariance=_matrix(solution.covariance), fixed=solution.fixed, bounds=dict(solution.bounds),
            start=dict(zip(names, solution.start)), chi_square=float(solution.chi_square),
            cost=float(solution.cost), dof=2 * frequencies.size - (len(names) - len(solution.fixed)),
            success=bool(solution.success), termination=_termination(solution.success, solution.chi_square),
            iterations=int(solution.iterations), impedance_evals=int(solution.impedance_evals), method=method,
            weight=weight, frequencies=frequencies, impedances=np.asarray(impedances, dtype=complex), source=source)

    @classmethod
    def from_result(cls, result: kovrant.FitResult, spectrum: SpectrumLike, *,
                    method: str = "levenberg_marquardt", weight: str = "modulus") -> FitReport:
        """The report of a ``kovrant.Circuit.fit`` result on the spectrum it was fitted to.

        `method` and `weight` should be those the fit used; the covariance is
        computed at the fitted values with that weighting.
        """
        from .fitting import circuit_and_notation
        from .spectrum import as_arrays

        notation, circuit = circuit_and_notation(result.circuit)
        frequencies, impedances = as_arrays(spectrum)
        names = circuit.param_names()
        outcome = _engine_loader.load_engine().outcome_at(circuit, frequencies, impedances, [False] * len(names),
                                                          weight=weight)
        stderr = outcome["stderr"]
        return cls(
            circuit=circuit, notation=notation, names=names, units=circuit.param_units(),
            params=dict(zip(names, circuit.param_values())),
            stderr=None if stderr is None else dict(zip(names, stderr)), covariance=_matrix(outcome["covariance"]),
            fixed=frozenset(), bounds=dict(zip(names, circuit.param_bounds())), start=None,
            chi_square=float(result.chi_square), cost=float(result.cost), dof=2 * frequencies.size - len(names),
            success=bool(result.success), termination=_termination(result.success, result.chi_square),
            iterations=int(result.iterations), impedance_evals=int(result.impedance_evals), method=method,
            weight=weight, frequencies=frequencies, impedances=impedances,
            source=_source_of(spectrum))

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> FitReport:
        """The report `to_dict` described (values, intervals and warnings as saved)."""
        rows = data["parameters"]
        names = [row["name"] for row in rows]
        values = [_number(row["value"]) for row in rows]
        points = data["points"]
        frequencies = np.asarray(points["frequency_hertz"], dtype=float)
        impedances = np.asarray(points["measured_real_ohm"], dtype=float) + 1j * np.asarray(
            points["measured_imaginary_ohm"], dtype=float)
        circuit = kovrant.Circuit(data["notation"]).with_values(values)
        stderr = None if data.get("stderr_missing") else {row["name"]: _number(row["stderr"]) for row in rows}
        starts = [row.get("start") for row in rows]
        covariance = data.get("covariance")
        report = cls(
            circuit=circuit, notation=data["notation"], names=names, units=[row["unit"] for row in rows],
            params=dict(zip(names, values)), stderr=stderr,
            covariance=_matrix(None if covariance is None else [[_number(v) for v in row] for row in covariance]),
            fixed=frozenset(row["name"] for row in rows if row["fixed"]),
            bounds={row["name"]: (_number(row["lower"]), _number(row["upper"])) for row in rows},
            start=None if any(value is None for value in starts) else dict(zip(names, map(float, starts))),
            chi_square=_number(data["chi_square"]), cost=_number(data["cost"]), dof=int(data["dof"]),
            success=bool(data["success"]), termination=data["termination"], iterations=int(data["iterations"]),
            impedance_evals=int(data["impedance_evals"]), method=data["method"], weight=data["weight"],
            frequencies=frequencies, impedances=impedances, source=data.get("source"))
        # Warnings are part of what was reported; keep them as saved.
        report.__dict__["warnings"] = list(data.get("warnings", []))
        return report

    @classmethod
    def from_json(cls, text: str) -> FitReport:
        """The report a `to_json` text describes."""
        return cls.from_dict(json.loads(text))

    # --- derived on first use ---------------------------------------------

    @property
    def free(self) -> list[str]:
        """Names of the parameters the fit adjusted, in ``names`` order."""
        return [name for name in self.names if name not in self.fixed]

    @property
    def reduced_chi_square(self) -> float:
        return self.chi_square / self.dof if self.dof > 0 else math.nan

    @property
    def aic(self) -> float:
        return self._residual_count * self._log_rss + 2 * len(self.free)

    @property
    def bic(self) -> float:
        return self._residual_count * self._log_rss + len(self.free) * math.log(self._residual_count)

    @property
    def _residual_count(self) -> int:
        return 2 * self.frequencies.size

    @property
    def _log_rss(self) -> float:
        # An exact fit (chi-square 0) is infinitely likely: AIC and BIC are -inf.
        return math.log(self.chi_square / self._residual_count) if self.chi_square > 0 else -math.inf

    @cached_property
    def _stderr_array(self) -> npt.NDArray[np.float64]:
        if self.stderr is None:
            return np.full(len(self.names), math.nan)
        return np.array([self.stderr[name] for name in self.names], dtype=float)

    @cached_property
    def correlation(self) -> npt.NDArray[np.float64]:
        """Correlation matrix over ``names`` (NaN rows and columns where there is no standard error)."""
        if self.covariance is None:
            return np.full((len(self.names), len(self.names)), math.nan)
        stderr = self._stderr_array
        with np.errstate(invalid="ignore", divide="ignore"):
            return self.covariance / np.outer(stderr, stderr)

    @cached_property
    def confidence_intervals(self) -> dict[str, tuple[float, float]]:
        """name -> (low, high) at 95 % for free parameters with a standard error."""
        t = student_t_quantile(0.5 + CONFIDENCE / 2, self.dof) if self.dof > 0 else math.nan
        intervals = {}
        for name, spread in zip(self.names, self._stderr_array):
            value = self.params[name]
            if name not in self.fixed and math.isfinite(t * spread):
                intervals[name] = (float(value - t * spread), float(value + t * spread))
        return intervals

    @cached_property
    def model_impedances(self) -> npt.NDArray[np.complex128]:
        return self.circuit.impedance(self.frequencies)

    @cached_property
    def relative_rms(self) -> float:
        """The rms of |model - measured| / |measured|: the misfit whatever the weighting."""
        relative = np.abs(self.model_impedances - self.impedances) / np.abs(self.impedances)
        return float(np.sqrt(np.mean(relative ** 2)))

    @cached_property
    def residuals(self) -> npt.NDArray[np.complex128]:
        # The engine's own weighted residuals, interleaved [re0, im0, re1, im1, ...].
        interleaved = self.circuit.residuals([self.params[name] for name in self.names], self.frequencies.tolist(),
                                             self.impedances.tolist(), weight=self.weight)
        pairs = np.asarray(interleaved, dtype=float).reshape(-1, 2)
        return pairs[:, 0] + 1j * pairs[:, 1]

    @cached_property
    def model_frequencies(self) -> npt.NDArray[np.float64]:
        return _dense_grid(self.frequencies)

    @cached_property
    def model_curve(self) -> npt.NDArray[np.complex128]:
        return self.circuit.impedance(self.model_frequencies)

    @cached_property
    def limits(self) -> tuple[Limit, ...]:
        """Degenerate limits: elements the data cannot see, each with the simpler circuit the fit equals."""
        return find_limits(self)

    @cached_property
    def warnings(self) -> list[str]:
        """Plain-language notes on what the fit could not determine or pressed against, then the `notes`."""
        return [*_warnings(self), *(limit.warning for limit in self.limits), *self.notes]

    def predict(self, frequencies: npt.ArrayLike) -> npt.NDArray[np.complex128]:
        """The fitted circuit's impedance (ohm) at `frequencies` (Hz)."""
        return self.circuit.impedance(np.asarray(frequencies, dtype=float).ravel().tolist())

    # --- output ------------------------------------------------------------

    def _parameter_rows(self) -> list[dict[str, Any]]:
        rows = []
        for name, unit, spread in zip(self.names, self.units, self._stderr_array):
            low, high = self.confidence_intervals.get(name, (math.nan, math.nan))
            lower, upper = self.bounds[name]
            rows.append({
                "name": name, "unit": unit, "value": self.params[name], "stderr": float(spread),
                "ci95_low": low, "ci95_high": high, "fixed": name in self.fixed,
                "lower": lower, "upper": upper, "start": None if self.start is None else self.start[name],
            })
        return rows

    def to_dict(self) -> dict[str, Any]:
        """Everything in the report as dicts, lists, floats, ints, bools and strings."""
        return {
            "notation": self.notation,
            "source": self.source,
            "parameters": self._parameter_rows(),
            "stderr_missing": self.stderr is None,
            "covariance": None if self.covariance is None else self.covariance.tolist(),
            "correlation": self.correlation.tolist(),
            "chi_square": self.chi_square,
            "cost": self.cost,
            "reduced_chi_square": self.reduced_chi_square,
            "aic": self.aic,
            "bic": self.bic,
            "dof": self.dof,
            "success": self.success,
            "termination": self.termination,
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

    def to_frame(self) -> pandas.DataFrame:
        """One row per parameter (value, stderr, 95 % interval, fixed, bounds, start), indexed by name."""
        pd = require("pandas", "FitReport.to_frame")
        return pd.DataFrame(self._parameter_rows()).set_index("name")

    def __repr__(self) -> str:
        return (f"FitReport({self.notation!r}, success={self.success}, chi_square={self.chi_square:.6g}, "
                f"{len(self.frequencies)} points)")

    def __str__(self) -> str:
        rows = self._parameter_rows()
        width = max([len("parameter")] + [len(row["name"]) for row in rows])
        status = "converged" if self.success else f"NOT converged ({self.termination})"
        source = f" to {self.source}" if self.source else ""
        lines = [
            f"Fit of {self.notation}{source} ({self.method}, {self.weight} weighting): {status}",
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


def _termination(success: bool, chi_square: float) -> str:
    if success:
        return CONVERGED
    return NOT_CONVERGED if math.isfinite(chi_square) else COST_NOT_FINITE


def _matrix(matrix: npt.ArrayLike | None) -> npt.NDArray[np.float64] | None:
    if matrix is None:
        return None
    matrix = np.asarray(matrix, dtype=float)
    diagonal = matrix.diagonal()
    # A negative variance is rounding on a near-singular matrix: no error estimate.
    if (diagonal < 0).any():
        matrix = matrix.copy()
        bad = matrix.diagonal() < 0
        matrix[bad, :] = math.nan
        matrix[:, bad] = math.nan
    return matrix


def _number(value: Any) -> float:
    """A JSON number, with null (a NaN or infinity on the way out) read back as NaN."""
    return math.nan if value is None else float(value)


def _source_of(spectrum: object) -> str | None:
    metadata = getattr(spectrum, "metadata", None)
    source = metadata.get("source") if isinstance(metadata, Mapping) else None
    return None if source is None else str(source)


def _dense_grid(frequencies: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Descending log grid over the measured range that contains every whole decade."""
    positive = np.asarray(frequencies, dtype=float)
    positive = positive[positive > 0]
    if positive.size == 0:
        return np.asarray(frequencies, dtype=float)
    low, high = np.log10(positive.min()), np.log10(positive.max())
    steps = np.arange(np.ceil(low * CURVE_POINTS_PER_DECADE), np.floor(high * CURVE_POINTS_PER_DECADE) + 1)
    exponents = np.unique(np.concatenate([[low, high], steps / CURVE_POINTS_PER_DECADE]))
    return 10.0 ** exponents[::-1]


def _is_at(value: float, bound: float, span: float) -> bool:
    return abs(value - bound) <= 1e-9 * (abs(bound) + span)


def _warnings(report: FitReport) -> list[str]:
    found = []
    names, params, fixed = report.names, report.params, report.fixed
    for name, spread in zip(names, report._stderr_array):
        if name in fixed:
            continue
        lower, upper = report.bounds[name]
        span = upper - lower if math.isfinite(upper) else 0.0
        for side, bound in (("lower", lower), ("upper", upper)):
            if math.isfinite(bound) and _is_at(params[name], bound, span):
                found.append(f"{name} = {params[name]:.6g} is at its {side} bound {bound:.6g}")
        if math.isnan(spread):
            found.append(f"{name} has no standard error (NaN): the data do not determine it")
    if len(report.impedances) and np.mean(np.imag(report.impedances) > 0) > 0.5:
        found.append("most points have Im Z > 0: is the sign of the imaginary part flipped?")
    correlation = report.correlation
    with np.errstate(invalid="ignore"):
        strong = np.triu(np.abs(correlation) > CORRELATION_LIMIT, 1)
    for i, j in zip(*np.nonzero(strong)):
        found.append(f"{names[i]} and {names[j]} are correlated ({correlation[i, j]:+.4f})")
    return found


def _finite_or_none(value: Any) -> Any:
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


def _student_t_cdf(t: float, dof: int) -> float:
    """P(T <= t) for t >= 0, through the regularized incomplete beta function."""
    x = dof / (dof + t * t)
    return 1.0 - 0.5 * _incomplete_beta(0.5 * dof, 0.5, x)


def _incomplete_beta(a: float, b: float, x: float) -> float:
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
