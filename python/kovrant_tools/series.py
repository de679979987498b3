"""fit_series(): one circuit fitted to a series of spectra as one problem.

Every parameter of the circuit plays one role across the series: its own
value in each spectrum (optionally smoothed along the series), one value
shared by all spectra (or by each group of them), a law of a per-spectrum
covariate (Arrhenius in temperature, a polynomial), or held fixed. The native
engine first fits every spectrum alone, each warm-started from the previous
one, and then solves the joint problem from those fits.
"""
from __future__ import annotations

import json
import math
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

import kovrant

from ._optional import require
from .batch import _items
from .fitting import _fixed, _narrowed_bounds, _unknown_name, as_circuit, start_point
from .report import CORRELATION_LIMIT, CONFIDENCE, _finite_or_none, student_t_quantile
from .spectrum import as_arrays

if TYPE_CHECKING:
    from .spectrum import SpectrumLike

# Law text -> (kind for the engine, polynomial degree); "polynomial" takes its degree as a second argument.
LAW_KINDS = {"arrhenius": ("arrhenius", 1), "linear": ("polynomial", 1), "quadratic": ("polynomial", 2),
             "polynomial": ("polynomial", None)}
LAW_PATTERN = re.compile(r"^\s*(\w+)\s*\(\s*([^,()]+?)\s*(?:,\s*(\d+)\s*)?\)\s*$")
# Smoothing strengths tried by smooth="cv", and the folds of its cross-validation.
CV_STRENGTHS = tuple(10.0 ** k for k in range(-6, 3))
CV_FOLDS = 5
# A joint chi-square above this multiple of the independent fits' total is reported as a poor description.
JOINT_CHI_SQUARE_LIMIT = 1.5
# A mean squared weighted residual below this is an exact fit, whatever the ratio.
EXACT_MEAN_SQUARE = 1e-12
# Below this many kelvin a temperature column is most likely in degrees Celsius.
CELSIUS_SUSPICION = 150.0


@dataclass(frozen=True)
class SeriesLaw:
    """A parameter tied to a covariate: ``kind`` "arrhenius" or "polynomial", ``degree`` of the polynomial."""

    kind: str
    covariate: str
    degree: int = 1

    def coefficient_names(self) -> list[str]:
        if self.kind == "arrhenius":
            return ["A", "Ea"]
        return [f"c{k}" for k in range(self.degree + 1)]

    def __str__(self) -> str:
        if self.kind == "arrhenius":
            return f"arrhenius({self.covariate})"
        return f"polynomial({self.covariate}, {self.degree})"


@dataclass(frozen=True)
class SeriesReport:
    """Outcome of a joint fit of one circuit to a series of spectra.

    Per spectrum (arrays in series order): ``params`` and ``stderr`` (name ->
    array), ``intervals`` (name -> (low, high) arrays, value -/+ t * stderr),
    ``chi_square``, and the independent fits the joint solve started from
    (``independent_params``, ``independent_stderr``, ``independent_chi_square``).
    Global unknowns (shared values and law coefficients): ``global_names``
    such as ``"R0.r"``, ``"R0.r[group]"``, ``"R1.r:Ea"``, with
    ``global_values``, ``global_stderr``, ``global_intervals`` and
    ``covariance`` (their joint covariance, NaN when undetermined).
    ``shared`` maps each shared name to its value (a dict group -> value when
    shared per group), ``laws`` each law-tied name to its coefficients
    (Arrhenius: ``A`` in the parameter's unit and ``Ea`` in eV, from
    p = A exp(Ea / (k_B T)); polynomial: ``c0``, ``c1``, ... of
    p = sum c_k z^k).

    The covariance is s^2 (J^T J + penalty)^-1 of the joint problem with
    s^2 = ``chi_square_total`` / ``dof``, ``dof`` = data residuals - unknowns;
    intervals use Student's t at 95 %.
    """

    circuit: kovrant.Circuit
    notation: str | None
    names: list[str]
    roles: dict[str, str]
    laws_used: dict[str, SeriesLaw]
    smooth: dict[str, float]
    ids: list[tuple]
    id_names: tuple[str, ...]
    covariates: dict[str, np.ndarray]
    params: dict[str, np.ndarray]
    stderr: dict[str, np.ndarray]
    intervals: dict[str, tuple[np.ndarray, np.ndarray]]
    chi_square: np.ndarray
    chi_square_total: float
    penalty: float
    dof: int
    global_names: list[str]
    global_values: np.ndarray
    global_stderr: np.ndarray
    global_intervals: dict[str, tuple[float, float]]
    covariance: np.ndarray
    shared: dict[str, Any]
    laws: dict[str, dict[str, float]]
    independent_params: dict[str, np.ndarray]
    independent_stderr: dict[str, np.ndarray]
    independent_chi_square: np.ndarray
    success: bool
    termination: str
    iterations: int
    impedance_evals: int
    weight: str
    spectra: list[tuple[np.ndarray, np.ndarray]] = field(repr=False)
    cv_scores: dict[float, float] = field(default_factory=dict)
    warnings: list[str] = field(default_factory=list)

    def __len__(self) -> int:
        return len(self.ids)

    def fitted_circuit(self, index: int) -> kovrant.Circuit:
        """The circuit with spectrum `index`'s jointly fitted values."""
        return self.circuit.with_values([float(self.params[name][index]) for name in self.names])

    def to_frame(self):
        """One row per spectrum: ids, covariates, each parameter with ``<name>_stderr``, chi_square (needs pandas)."""
        pd = require("pandas", "SeriesReport.to_frame")

        columns = {name: [ids[k] for ids in self.ids] for k, name in enumerate(self.id_names)}
        columns.update({name: values for name, values in self.covariates.items() if name not in columns})
        for name in self.names:
            columns[name] = self.params[name]
            columns[name + "_stderr"] = self.stderr[name]
        columns["chi_square"] = self.chi_square
        return pd.DataFrame(columns)

    def to_dict(self) -> dict:
        """Everything but the measured points as dicts, lists, floats, ints, bools and strings."""
        return {
            "circuit": self.notation,
            "names": list(self.names),
            "roles": dict(self.roles),
            "laws_used": {name: str(law) for name, law in self.laws_used.items()},
            "smooth": dict(self.smooth),
            "id_names": list(self.id_names),
            "ids": [list(ids) for ids in self.ids],
            "covariates": {name: values.tolist() for name, values in self.covariates.items()},
            "params": {name: values.tolist() for name, values in self.params.items()},
            "stderr": {name: values.tolist() for name, values in self.stderr.items()},
            "chi_square": self.chi_square.tolist(),
            "chi_square_total": self.chi_square_total,
            "penalty": self.penalty,
            "dof": self.dof,
            "globals": [{"name": name, "value": float(value), "stderr": float(error),
                         "ci95_low": self.global_intervals.get(name, (math.nan,) * 2)[0],
                         "ci95_high": self.global_intervals.get(name, (math.nan,) * 2)[1]}
                        for name, value, error in zip(self.global_names, self.global_values, self.global_stderr)],
            "covariance": self.covariance.tolist(),
            "independent_params": {name: values.tolist() for name, values in self.independent_params.items()},
            "independent_chi_square": self.independent_chi_square.tolist(),
            "success": self.success,
            "termination": self.termination,
            "iterations": self.iterations,
            "impedance_evals": self.impedance_evals,
            "weight": self.weight,
            "cv_scores": {repr(strength): score for strength, score in self.cv_scores.items()},
            "warnings": list(self.warnings),
        }

    def to_json(self, indent: int | None = 2) -> str:
        """``to_dict()`` as JSON; NaN and infinities become null."""
        return json.dumps(_finite_or_none(self.to_dict()), indent=indent, allow_nan=False)

    def __str__(self) -> str:
        status = "converged" if self.success else "NOT converged"
        lines = [f"Series fit of {self.notation or 'circuit'} to {len(self)} spectra: {status} ({self.termination})",
                 f"  chi-square {self.chi_square_total:.6g} in total, dof {self.dof}, "
                 f"{self.iterations} iterations, {self.impedance_evals} impedance evaluations"]
        width = max([len("parameter")] + [len(name) for name in self.global_names])
        if self.global_names:
            lines.append(f"  {'parameter':<{width}}  {'value':>12}  {'stderr':>10}  {'95 % interval':>27}")
        for name, value, error in zip(self.global_names, self.global_values, self.global_stderr):
            low, high = self.global_intervals.get(name, (math.nan, math.nan))
            lines.append(f"  {name:<{width}}  {value:>12.6g}  {error:>10.3g}  {f'[{low:.5g}, {high:.5g}]':>27}")
        per_spectrum = [name for name in self.names if self.roles[name] == "per_spectrum"]
        if per_spectrum:
            lines.append(f"  per spectrum: {', '.join(per_spectrum)}"
                         + (f" (smoothed: {', '.join(f'{n}={s:g}' for n, s in self.smooth.items())})"
                            if self.smooth else ""))
        lines.extend(f"warning: {text}" for text in self.warnings)
        return "\n".join(lines)


def fit_series(spectra: SpectrumLike | Sequence[SpectrumLike] | Mapping | str, circuit, *,
               shared: Sequence[str] | Mapping[str, str | None] = (),
               laws: Mapping[str, str] | None = None, smooth: float | str | Mapping[str, float] | None = None,
               covariates: Mapping[str, Sequence[float]] | None = None, ids: str | Sequence[str] | None = None,
               by: str | Sequence[str] | None = None, client=None, fixed=None, bounds=None,
               weight: str = "modulus", guess_init: bool | None = None, weights: str | None = None,
               poor_fit: float = 1e-3, max_iterations: int = 200, ftol: float = 1e-10, xtol: float = 1e-10,
               gtol: float = 1e-10) -> SeriesReport | dict[Any, SeriesReport]:
    """Fit `circuit` to a series of spectra jointly; returns a SeriesReport.

    spectra: as ``fit_many`` takes them: a list (or iterable) of spectra, a
    mapping id -> spectrum, a directory, or a long DataFrame with `ids`
    naming its spectrum id column(s). The series order is the input order;
    smoothing ties consecutive spectra.

    shared: names with one value for the whole series, or a mapping name ->
    covariate whose distinct values form groups with one value each (None:
    the whole series).
    laws: name -> "arrhenius(T)" (T in kelvin; p = A exp(Ea / (k_B T)), Ea
    in eV), "linear(z)", "quadratic(z)" or "polynomial(z, degree)".
    smooth: penalty strength on consecutive differences of every per-spectrum
    parameter (in the search coordinates: decades for positive parameters),
    a mapping name -> strength, or "cv" for one strength chosen by 5-fold
    cross-validation over 1e-6 .. 1e2 (nine joint fits per fold).
    covariates: name -> one value per spectrum; a covariate not given here is
    read from each spectrum's ``metadata`` or, for a long DataFrame, from its
    column of that name (constant within each spectrum).
    by: covariate name(s) splitting the spectra into independent series
    (one per cell, say); returns a dict key -> SeriesReport, the series run
    as Dask tasks with `client` (a ``dask.distributed.Client``).
    fixed, bounds: as in ``kovrant_tools.fit``; a fixed parameter keeps the
    circuit's (or the given) value in every spectrum.
    guess_init, weights: the start of a spectrum without a usable warm start,
    as in Circuit.fit (the machine-learning guess unless the circuit carries
    its own values). poor_fit: a spectrum's fit with chi_square / (2 N) above
    this does not warm-start the next. max_iterations, ftol, xtol, gtol: of
    the joint Levenberg-Marquardt solve.
    """
    notation = circuit if isinstance(circuit, str) else None
    circuit = as_circuit(circuit)
    id_names, items, _ = _items(spectra, ids)
    items = list(items)
    if not items:
        raise ValueError("spectra holds no spectrum")
    plan = _plan(circuit, notation, shared, laws, smooth, fixed, bounds, weight, guess_init, weights, poor_fit,
                 max_iterations, ftol, xtol, gtol)
    columns = _covariate_columns(items, plan.covariate_names(by), covariates)
    if by is None:
        return _fit_one_series(plan, id_names, items, columns)
    keys = (by,) if isinstance(by, str) else tuple(by)
    groups: dict[Any, list[int]] = {}
    for position in range(len(items)):
        key = tuple(columns[name][position] for name in keys)
        groups.setdefault(key[0] if len(keys) == 1 else key, []).append(position)
    tasks = {key: ([items[k] for k in members], {name: values[members] for name, values in columns.items()})
             for key, members in groups.items()}
    if client is None:
        return {key: _fit_one_series(plan, id_names, part, cols) for key, (part, cols) in tasks.items()}
    futures = {key: client.submit(_fit_one_series, plan, id_names, part, cols, pure=False)
               for key, (part, cols) in tasks.items()}
    return {key: future.result() for key, future in futures.items()}


# --- the plan: roles, laws, smoothing, options ---------------------------------


@dataclass(frozen=True)
class _Plan:
    """Everything that is the same for every series of one call; pickled to Dask workers."""

    circuit: kovrant.Circuit
    notation: str | None
    roles: dict[str, str]
    group_by: dict[str, str]
    laws: dict[str, SeriesLaw]
    smooth: dict[str, float] | str
    bounds: dict[str, tuple[float, float]]
    weight: str
    guess_init: bool | None
    guess_weights: str | None
    poor_fit: float
    solve_options: dict

    def covariate_names(self, by) -> list[str]:
        names = [law.covariate for law in self.laws.values()] + list(self.group_by.values())
        names += [by] if isinstance(by, str) else list(by or ())
        return list(dict.fromkeys(names))


def _plan(circuit, notation, shared, laws, smooth, fixed, bounds, weight, guess_init, weights, poor_fit,
          max_iterations, ftol, xtol, gtol) -> _Plan:
    names = circuit.param_names()
    roles = dict.fromkeys(names, "per_spectrum")

    def claim(name, role, argument):
        if name not in roles:
            raise _unknown_name(name, names, argument)
        if roles[name] != "per_spectrum":
            raise ValueError(f"{name} is both {roles[name]} and {role}: give each parameter one role")
        roles[name] = role

    fixed_values, fixed_names = _fixed(fixed, names)
    for name in sorted(fixed_names):
        claim(name, "fixed", "fixed")
    # Whether the circuit carries its own values decides the fallback start,
    # before the fixed values are written into it.
    if fixed_values:
        merged = {**dict(zip(names, circuit.param_values())), **fixed_values}
        circuit = circuit.with_values([merged[name] for name in names])
    if isinstance(shared, str):
        shared = [shared]
    group_by = {name: group for name, group in shared.items() if group is not None} if isinstance(shared, Mapping) \
        else {}
    for name in shared:
        claim(name, "shared", "shared")
    parsed_laws = {}
    for name, text in (laws or {}).items():
        claim(name, "law", "laws")
        parsed_laws[name] = _parse_law(name, text)
        if parsed_laws[name].kind == "arrhenius" and circuit.param_bounds()[names.index(name)][1] != math.inf:
            raise ValueError(f"laws: {name} is bounded above; an Arrhenius law needs a positive, unbounded parameter")
    user_bounds = _narrowed_bounds(bounds, circuit)
    if not isinstance(poor_fit, int | float) or not poor_fit > 0:
        raise ValueError(f"poor_fit must be a positive number, got {poor_fit!r}")
    return _Plan(circuit=circuit, notation=notation, roles=roles, group_by=group_by, laws=parsed_laws,
                 smooth=_smoothing(smooth, roles), bounds=user_bounds, weight=weight,
                 guess_init=guess_init, guess_weights=weights, poor_fit=float(poor_fit),
                 solve_options={"max_iterations": int(max_iterations), "ftol": float(ftol), "xtol": float(xtol),
                                "gtol": float(gtol)})


def _parse_law(name, text) -> SeriesLaw:
    match = LAW_PATTERN.match(str(text))
    if not match or match.group(1).lower() not in LAW_KINDS:
        raise ValueError(f"laws: {name}: {text!r} is not a law; write arrhenius(T), linear(z), quadratic(z) "
                         "or polynomial(z, degree)")
    kind, degree = LAW_KINDS[match.group(1).lower()]
    if degree is None:
        if match.group(3) is None:
            raise ValueError(f"laws: {name}: polynomial needs a degree, e.g. polynomial({match.group(2)}, 2)")
        degree = int(match.group(3))
    elif match.group(3) is not None:
        raise ValueError(f"laws: {name}: {match.group(1)}() takes one covariate, got {text!r}")
    return SeriesLaw(kind, match.group(2), degree)


def _smoothing(smooth, roles):
    per_spectrum = [name for name, role in roles.items() if role == "per_spectrum"]
    if smooth is None:
        return {}
    if isinstance(smooth, str):
        if smooth != "cv":
            raise ValueError(f"smooth must be a strength, a dict name -> strength or 'cv', not {smooth!r}")
        return "cv"
    if isinstance(smooth, Mapping):
        strengths = {}
        for name, strength in smooth.items():
            if roles.get(name) != "per_spectrum":
                raise ValueError(f"smooth: {name!r} is not a per-spectrum parameter of this fit "
                                 f"(those are {', '.join(per_spectrum) or 'none'})")
            strengths[name] = _strength(strength, name)
        return strengths
    strength = _strength(smooth, "smooth")
    return {name: strength for name in per_spectrum}


def _strength(value, name):
    number = float(value)
    if not (math.isfinite(number) and number >= 0):
        raise ValueError(f"smooth: {name} = {value!r} must be a finite number >= 0")
    return number


def _fallback(plan, first_spectrum):
    """('guess' or 'values', warnings): how a spectrum without a warm start begins, as Circuit.fit decides."""
    where = start_point(plan.circuit, {"guess_init": plan.guess_init, "weights": plan.guess_weights})
    if where == "own values":
        return "values", []
    if where == "catalogue":
        return "values", ["there is no network to guess this circuit's start: spectra without a warm start begin "
                          "at the circuit's values"]
    plan.circuit.guess(*first_spectrum, weights=plan.guess_weights)  # a wrong weights file fails here, not later
    return "guess", []


def _covariate_columns(items, names, given):
    """name -> array with one value per spectrum, from `given`, spectrum metadata or long-frame columns."""
    given = dict(given or {})
    columns = {}
    for name in names:
        if name in given:
            values = np.asarray(given[name])
            if values.shape != (len(items),):
                raise ValueError(f"covariates: {name} has {values.size} values for {len(items)} spectra")
        else:
            values = np.asarray([_covariate_of(spectrum, name) for _, spectrum in items])
        columns[name] = values
    for name, values in given.items():
        if name not in columns:
            columns[name] = np.asarray(values)
    return columns


def _covariate_of(spectrum, name):
    metadata = getattr(spectrum, "metadata", None)
    if isinstance(metadata, Mapping) and name in metadata:
        return metadata[name]
    if hasattr(spectrum, "columns") and name in spectrum.columns:
        column = np.asarray(spectrum[name])
        return column[0]
    raise ValueError(f"covariate {name!r} is neither in covariates= nor in the spectra's metadata or columns")


# --- one series ---------------------------------------------------------------


def _fit_one_series(plan: _Plan, id_names, items, columns) -> SeriesReport:
    names = plan.circuit.param_names()
    spectra = [_spectrum_arrays(spectrum) for _, spectrum in items]
    count = len(spectra)
    fallback, start_warnings = _fallback(plan, spectra[0])
    groups = {}
    for name, covariate in plan.group_by.items():
        labels, codes = np.unique(columns[covariate].astype(str), return_inverse=True)
        groups[name] = (list(labels), codes.tolist())
    found_warnings = start_warnings
    for name, law in plan.laws.items():
        temperatures = np.asarray(columns[law.covariate], dtype=float)
        if law.kind == "arrhenius" and np.nanmax(temperatures) < CELSIUS_SUSPICION:
            found_warnings.append(f"{name}: the temperatures {law.covariate} are all below {CELSIUS_SUSPICION:g} "
                                  "K; an Arrhenius law needs kelvin (add 273.15 to degrees Celsius)")

    def parameters(strengths):
        rows = []
        for name in names:
            role = plan.roles[name]
            law = plan.laws.get(name)
            lo, hi = plan.bounds[name]
            rows.append((role, groups[name][1] if name in groups else None, law.kind if law else None,
                         np.asarray(columns[law.covariate], dtype=float).tolist() if law else None,
                         law.degree if law else 1, strengths.get(name, 0.0), lo, hi))
        return rows

    from . import _engine  # the native series fit, built with the package

    common = dict(weight=plan.weight, **plan.solve_options)
    smooth = plan.smooth
    cv_scores = {}
    if smooth == "cv":
        independent = _engine.fit_series(plan.circuit, spectra, parameters({}), fallback=fallback,
                                         guess_weights=plan.guess_weights, poor_fit=plan.poor_fit, **common)
        starts = np.asarray(independent["values"]).reshape(count, len(names)).tolist()
        per_spectrum = [name for name in names if plan.roles[name] == "per_spectrum"]
        cv_scores = _cross_validate(_engine, plan, spectra, starts, per_spectrum, parameters, common)
        best = min(cv_scores, key=lambda strength: (cv_scores[strength], -strength))
        smooth = {name: best for name in per_spectrum}
        outcome = _engine.fit_series(plan.circuit, spectra, parameters(smooth), starts, **common)
        outcome["independent"] = independent["independent"]
    else:
        outcome = _engine.fit_series(plan.circuit, spectra, parameters(smooth), fallback=fallback,
                                     guess_weights=plan.guess_weights, poor_fit=plan.poor_fit, **common)
    return _report(plan, id_names, [ids for ids, _ in items], spectra, columns, groups, smooth, outcome, cv_scores,
                   found_warnings)


def _spectrum_arrays(spectrum):
    """(frequencies, impedances); a file that could not be read arrives as its error."""
    if isinstance(spectrum, BaseException):
        raise spectrum
    return as_arrays(spectrum)


def _cross_validate(engine, plan, spectra, starts, per_spectrum, parameters, common):
    """Strength -> chi-square of the held-out spectra, summed over CV_FOLDS interleaved folds."""
    count = len(spectra)
    if count < 2 * CV_FOLDS or not per_spectrum:
        raise ValueError(f"smooth='cv' needs at least {2 * CV_FOLDS} spectra and a per-spectrum parameter")
    scores = {}
    for strength in CV_STRENGTHS:
        strengths = {name: strength for name in per_spectrum}
        total = 0.0
        for fold in range(CV_FOLDS):
            used = [position % CV_FOLDS != fold for position in range(count)]
            outcome = engine.fit_series(plan.circuit, spectra, parameters(strengths), starts, data_used=used,
                                        **common)
            held_out = np.asarray(outcome["values"]).reshape(count, -1)
            for position in range(count):
                if not used[position]:
                    total += _chi_square(plan.circuit, spectra[position], held_out[position], plan.weight)
        scores[strength] = total
    return scores


def _chi_square(circuit, spectrum, values, weight):
    frequencies, impedances = spectrum
    model = circuit.with_values([float(v) for v in values]).impedance(frequencies)
    scale = np.abs(impedances) if weight == "modulus" else 1.0
    residuals = (model - impedances) / scale
    return float(np.sum(residuals.real ** 2 + residuals.imag ** 2))


def _report(plan, id_names, ids, spectra, columns, groups, smooth, outcome, cv_scores, found_warnings):
    names = plan.circuit.param_names()
    count = len(spectra)
    values = np.asarray(outcome["values"], dtype=float).reshape(count, len(names))
    errors = np.asarray(outcome["stderr"], dtype=float).reshape(count, len(names))
    dof = int(outcome["residual_count"]) - int(outcome["free_count"])
    t = student_t_quantile(0.5 + CONFIDENCE / 2, dof) if dof > 0 else math.nan

    global_names, shared, laws = [], {}, {}
    for name in names:
        if plan.roles[name] == "shared":
            labels = groups[name][0] if name in groups else [None]
            global_names += [name if label is None else f"{name}[{label}]" for label in labels]
        elif plan.roles[name] == "law":
            global_names += [f"{name}:{coefficient}" for coefficient in plan.laws[name].coefficient_names()]
    global_values = np.asarray(outcome["globals"], dtype=float)
    covariance = np.asarray(outcome["global_covariance"], dtype=float).reshape(len(global_values), -1)
    with np.errstate(invalid="ignore"):
        global_stderr = np.sqrt(np.diag(covariance)) if len(global_values) else np.zeros(0)
    global_intervals = {name: (float(v - t * s), float(v + t * s))
                        for name, v, s in zip(global_names, global_values, global_stderr) if math.isfinite(t * s)}
    position = 0
    for name in names:
        if plan.roles[name] == "shared":
            labels = groups[name][0] if name in groups else [None]
            chunk = global_values[position:position + len(labels)].tolist()
            shared[name] = chunk[0] if labels == [None] else dict(zip(labels, chunk))
            position += len(labels)
        elif plan.roles[name] == "law":
            coefficient_names = plan.laws[name].coefficient_names()
            laws[name] = dict(zip(coefficient_names, global_values[position:position + len(coefficient_names)]
                                  .tolist()))
            position += len(coefficient_names)

    independent = outcome["independent"]
    start_values = np.asarray(independent["values"], dtype=float).reshape(count, len(names))
    start_errors = np.asarray(independent["stderr"], dtype=float).reshape(count, len(names))
    params = {name: values[:, j] for j, name in enumerate(names)}
    stderr = {name: errors[:, j] for j, name in enumerate(names)}
    found_warnings += _warnings(plan, names, params, stderr, outcome, independent, global_names, covariance,
                                spectra)
    return SeriesReport(
        circuit=plan.circuit, notation=plan.notation, names=names, roles=dict(plan.roles),
        laws_used=dict(plan.laws), smooth=dict(smooth), ids=[tuple(i) for i in ids], id_names=tuple(id_names),
        covariates={name: np.asarray(column) for name, column in columns.items()}, params=params, stderr=stderr,
        intervals={name: (params[name] - t * stderr[name], params[name] + t * stderr[name]) for name in names},
        chi_square=np.asarray(outcome["chi_square"], dtype=float),
        chi_square_total=float(np.sum(outcome["chi_square"])), penalty=float(outcome["penalty"]), dof=dof,
        global_names=global_names, global_values=global_values, global_stderr=global_stderr,
        global_intervals=global_intervals, covariance=covariance, shared=shared, laws=laws,
        independent_params={name: start_values[:, j] for j, name in enumerate(names)},
        independent_stderr={name: start_errors[:, j] for j, name in enumerate(names)},
        independent_chi_square=np.asarray(independent["chi_square"], dtype=float),
        success=bool(outcome["success"]), termination=outcome["termination"],
        iterations=int(outcome["iterations"]),
        impedance_evals=int(outcome["impedance_evals"]) + int(independent["impedance_evals"]),
        weight=plan.weight, spectra=spectra, cv_scores=cv_scores, warnings=found_warnings)


def _warnings(plan, names, params, stderr, outcome, independent, global_names, covariance, spectra):
    found = []
    if not outcome["success"]:
        found.append(f"the joint fit did not converge: {outcome['termination']}")
    joint, alone = float(np.sum(outcome["chi_square"])), float(np.sum(independent["chi_square"]))
    exact = EXACT_MEAN_SQUARE * sum(2 * len(frequencies) for frequencies, _ in spectra)
    if joint > JOINT_CHI_SQUARE_LIMIT * alone + exact:
        found.append(f"the joint chi-square is {joint / alone:.3g} times that of the independent fits: the shared "
                     "values and laws do not describe this series well")
    failed = len(independent["success"]) - sum(independent["success"])
    if failed:
        found.append(f"{failed} of {len(independent['success'])} independent fits did not converge")
    for name in names:
        if plan.roles[name] == "fixed":
            continue
        lo, hi = plan.bounds[name]
        for side, bound in (("lower", lo), ("upper", hi)):
            if math.isfinite(bound):
                touching = np.sum(np.abs(params[name] - bound) <= 1e-9 * (abs(bound) + (hi - lo if math.isfinite(hi)
                                                                                        else 0.0)))
                if touching:
                    found.append(f"{name} is at its {side} bound {bound:.6g} in {touching} spectra")
        undetermined = int(np.sum(np.isnan(stderr[name])))
        if undetermined:
            found.append(f"{name} has no standard error (NaN) in {undetermined} spectra: the data do not determine it")
    flipped = sum(np.mean(np.imag(z) > 0) > 0.5 for _, z in spectra)
    if flipped:
        found.append(f"{flipped} spectra have Im Z > 0 at most points: is the sign of the imaginary part flipped?")
    if len(global_names) > 1:
        with np.errstate(invalid="ignore", divide="ignore"):
            scale = np.sqrt(np.diag(covariance))
            correlation = covariance / np.outer(scale, scale)
        owner = [name.partition(":")[0] if ":" in name else None for name in global_names]
        for i, j in zip(*np.nonzero(np.triu(np.abs(correlation) > CORRELATION_LIMIT, 1))):
            if owner[i] is not None and owner[i] == owner[j]:
                continue  # a law's prefactor and exponent always move together
            found.append(f"{global_names[i]} and {global_names[j]} are correlated ({correlation[i, j]:+.4f})")
    return found
