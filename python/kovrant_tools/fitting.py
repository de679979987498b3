"""fit(): one circuit fitted to one spectrum, with held parameters, narrowed bounds and a FitReport.

Every toolkit fit (`fit`, `fit_many`, the command line) goes through `solve`,
which hands the whole start decision to the native engine: the circuit's
explicit values, else the machine-learning guess, else the catalogue values,
exactly as ``kovrant.Circuit.fit`` decides, with the user's ``start`` values
laid over it. Without fixed parameters and bounds the numbers are exactly
``Circuit.fit``'s.
"""
from __future__ import annotations

import difflib
import math
import os
import sys
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, Union

import numpy as np
import numpy.typing as npt

import kovrant

from . import _engine_loader
from .report import FitReport, _source_of
from .spectrum import as_arrays

if TYPE_CHECKING:
    from .spectrum import SpectrumLike

Method = Literal["levenberg_marquardt", "nelder_mead", "simulated_annealing", "basin_hopping", "particle_swarm",
                 "differential_evolution"]
Weight = Literal["modulus", "unit"]
Strategy = Literal["thorough", "fast"]
# A circuit argument: a notation ("R0-(R1,CPE1)"), a model name ("randles") or a kovrant.Circuit.
CircuitLike = Union[str, kovrant.Circuit]
Fixed = Union[Mapping[str, float], Iterable[str], str, None]
Bounds = Union[Mapping[str, tuple[float, float]], None]

# Integer settings of Circuit.fit and the largest value each accepts.
INTEGER_SETTINGS = {
    "max_iterations": 2**32 - 1, "num_particles": 2**32 - 1, "generations": 2**64 - 1,
    "nelder_mead_iterations": 2**64 - 1, "de_evaluations": 2**32 - 1, "sa_iterations": 2**64 - 1,
    "basin_hopping_hops": 2**32 - 1, "seed": 2**64 - 1,
}
_ENGINE = _engine_loader.load_engine()
_PACKAGE_PREFIX = os.path.dirname(os.path.abspath(__file__)) + os.sep


@dataclass(frozen=True)
class Solution:
    """What one solve returns, before any statistics: values and counters in ``names`` order."""

    names: list[str]
    circuit: kovrant.Circuit
    values: list[float]
    stderr: list[float] | None
    covariance: npt.NDArray[np.float64] | None
    start: list[float]
    guessed: bool
    fixed: frozenset[str]
    bounds: dict[str, tuple[float, float]]
    success: bool
    iterations: int
    impedance_evals: int
    cost: float
    chi_square: float
    walk_cut: bool = False  # a capped walk (max_starts) left starts untried


    @property
    def params(self) -> dict[str, float]:
        return dict(zip(self.names, self.values))

    @property
    def stderr_by_name(self) -> dict[str, float] | None:
        return None if self.stderr is None else dict(zip(self.names, self.stderr))


def fit(spectrum: SpectrumLike, circuit: CircuitLike, *, fixed: Fixed = None, bounds: Bounds = None,
        start: Mapping[str, float] | None = None, method: Method = "levenberg_marquardt", weight: Weight = "modulus",
        strategy: Strategy = "thorough", **settings: Any) -> FitReport:
    """Fit `circuit` to `spectrum` and return a FitReport.

    spectrum: a (frequencies, impedances) pair, a dict or DataFrame with
    battery-data columns, or an object with ``.frequencies`` and
    ``.impedances`` (such as a `Spectrum`). circuit: a notation
    ("R0-(R1,CPE1)"), a model name ("randles") or a kovrant.Circuit.

    start: name -> value for some or all parameters; the others start where
    ``Circuit.fit`` would start them: the circuit's explicit values, else the
    machine-learning guess (``guess_init``/``weights`` settings as in
    Circuit.fit), else the catalogue values with a UserWarning. fixed:
    name -> value, or names held at their start value. bounds: name ->
    (lo, hi) inside the physical bounds of ``param_bounds()``. Given and
    explicit start values outside the bounds are an error; a guess is moved
    into them.

    strategy: "thorough" (default) also tries the boundary faces measured
    spectra end on and, for circuits without a network, data-driven starts
    (see `kovrant_tools.strategies`); "fast" is Circuit.fit's walk alone, and
    without fixed and bounds gives exactly Circuit.fit's numbers.

    settings: the other keyword arguments of Circuit.fit (max_iterations,
    ftol, xtol, seed, nelder_mead_iterations, ...).
    """
    _check_order(spectrum, circuit)
    if strategy != "fast":
        from .strategies import STRATEGIES, thorough_fit

        if strategy not in STRATEGIES:
            raise ValueError(f"unknown strategy {strategy!r}, expected one of {', '.join(map(repr, STRATEGIES))}")
        return thorough_fit(spectrum, circuit, fixed=fixed, bounds=bounds, start=start, method=method,
                            weight=weight, **settings)
    notation, circuit = circuit_and_notation(circuit)
    frequencies, impedances = as_arrays(spectrum)
    solution = solve(circuit, frequencies, impedances, fixed=fixed, bounds=bounds, start=start, method=method,
                     weight=weight, **settings)
    return FitReport.from_solution(solution, circuit, notation, frequencies, impedances, method=method,
                                   weight=weight, source=_source_of(spectrum))


def solve(circuit: kovrant.Circuit, frequencies: npt.ArrayLike, impedances: npt.ArrayLike, *, fixed: Fixed = None,
          bounds: Bounds = None, start: Mapping[str, float] | None = None, method: str = "levenberg_marquardt",
          weight: str = "modulus", **settings: Any) -> Solution:
    """The fit of `fit` without the report: values, standard errors, covariance and counters."""
    names = circuit.param_names()
    _refuse_repeated_names(names)
    fixed_values, fixed_names = _fixed(fixed, names)
    given = _checked_start(start, fixed_values, names)
    narrowed = _narrowed_bounds(bounds, circuit)
    for name, value in given.items():
        _check_inside(name, value, narrowed[name])
    _check_integer_settings(settings)
    constrained = bool(fixed_names) or bounds is not None
    outcome = _ENGINE.fit_constrained(
        circuit, frequencies, impedances,
        [name in fixed_names for name in names] if constrained else [],
        [narrowed[name][0] for name in names] if constrained else [],
        [narrowed[name][1] for name in names] if constrained else [],
        start=[given.get(name, math.nan) for name in names] if given else None,
        stacklevel=_user_stacklevel(), method=method, weight=weight, **settings)
    return Solution(names=names, circuit=outcome["circuit"], values=outcome["values"], stderr=outcome["stderr"],
                    covariance=outcome["covariance"], start=outcome["start"], guessed=outcome["guessed"],
                    fixed=fixed_names, bounds=narrowed, success=outcome["success"],
                    iterations=outcome["iterations"], impedance_evals=outcome["impedance_evals"],
                    cost=outcome["cost"], chi_square=outcome["chi_square"], walk_cut=outcome["walk_cut"])


def start_point(circuit: kovrant.Circuit, settings: Mapping[str, Any]) -> str:
    """Where Circuit.fit would start `circuit` with these settings: "own values", "guess" or "catalogue"."""
    return _ENGINE.start_point(circuit, settings.get("guess_init"), settings.get("weights") is not None)


def as_circuit(circuit: CircuitLike) -> kovrant.Circuit:
    """A kovrant.Circuit from a notation, a model name or a Circuit."""
    return circuit_and_notation(circuit)[1]


def circuit_and_notation(circuit: CircuitLike) -> tuple[str, kovrant.Circuit]:
    """(the notation or model name as given, else written from the tree; the kovrant.Circuit)."""
    if isinstance(circuit, kovrant.Circuit):
        return _ENGINE.notation(circuit), circuit
    if isinstance(circuit, str):
        try:
            return circuit.strip(), kovrant.Circuit(circuit)
        except ValueError as error:
            raise ValueError(f"circuit {circuit!r}: {error}{_model_name_hint(circuit)}") from None
    raise TypeError(f"circuit must be a notation, a model name or a kovrant.Circuit, not {type(circuit).__name__}")


def _model_name_hint(text: str) -> str:
    """" (did you mean 'randles'?)" for a misspelt model name, else ""."""
    word = text.strip()
    if not word.isidentifier():
        return ""
    close = difflib.get_close_matches(word.lower(), kovrant.Circuit.ml_circuits(), n=1, cutoff=0.6)
    return f"\n(did you mean the model {close[0]!r}?)" if close else ""


def _check_order(spectrum: object, circuit: object) -> None:
    if isinstance(spectrum, (str, kovrant.Circuit)) and not isinstance(circuit, (str, kovrant.Circuit)):
        raise TypeError("fit() takes the spectrum first and the circuit second: fit(spectrum, circuit, ...)")


def _user_stacklevel() -> int:
    """Warnings from the engine point at the first caller outside this package (the engine call is level 1)."""
    frame = sys._getframe(1)
    level = 1
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE_PREFIX):
        frame = frame.f_back
        level += 1
    return level


def _refuse_repeated_names(names: list[str]) -> None:
    repeated = sorted({name for name in names if names.count(name) > 1})
    if repeated:
        raise ValueError(f"the circuit repeats the parameter name(s) {', '.join(map(repr, repeated))}, so results "
                         "by name would lose values; give its elements distinct labels")


def _check_integer_settings(settings: Mapping[str, Any]) -> None:
    for name in settings.keys() & INTEGER_SETTINGS.keys():
        value, largest = settings[name], INTEGER_SETTINGS[name]
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{name} must be an integer, got {value!r}")
        if not 0 <= value <= largest:
            raise ValueError(f"{name} must be an integer from 0 to {largest}, got {value}")


def _unknown_name(name: str, names: list[str], role: str) -> ValueError:
    close = difflib.get_close_matches(name, names, n=1, cutoff=0.5)
    hint = f" (did you mean {close[0]!r}?)" if close else ""
    return ValueError(f"{role}: unknown parameter {name!r}{hint}; this circuit has {', '.join(names)}")


def _checked(values: Mapping[str, Any], names: list[str], role: str) -> dict[str, float]:
    if not isinstance(values, Mapping):
        raise TypeError(f"{role} must be a dict of parameter name to value, not {type(values).__name__}")
    for name in values:
        if name not in names:
            raise _unknown_name(name, names, role)
    return {name: _finite(value, name, role) for name, value in values.items()}


def _finite(value: Any, name: str, role: str) -> float:
    if isinstance(value, (bool, np.bool_)):
        # True would silently become 1.0: a flag where a value belongs.
        raise TypeError(f"{role}: {name} = {value!r} is a boolean, not a number")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{role}: {name} = {number} is not a finite number")
    return number


def _fixed(fixed: Fixed, names: list[str]) -> tuple[dict[str, float], frozenset[str]]:
    """(name -> value for fixed parameters given a value, every fixed name)."""
    if fixed is None:
        return {}, frozenset()
    if isinstance(fixed, Mapping):
        values = _checked(fixed, names, "fixed")
        return values, frozenset(values)
    if isinstance(fixed, str):
        fixed = [fixed]
    fixed = list(fixed)
    for name in fixed:
        if name not in names:
            raise _unknown_name(name, names, "fixed")
    return {}, frozenset(fixed)


def _checked_start(start: Mapping[str, float] | None, fixed_values: dict[str, float],
                   names: list[str]) -> dict[str, float]:
    user_start = _checked(start or {}, names, "start")
    for name, value in fixed_values.items():
        if user_start.get(name, value) != value:
            raise ValueError(f"{name} is fixed at {value} but given start {user_start[name]}")
    return {**user_start, **fixed_values}


def _narrowed_bounds(bounds: Bounds, circuit: kovrant.Circuit) -> dict[str, tuple[float, float]]:
    """name -> (lo, hi) for every parameter: the physical bounds, narrowed by the user's."""
    names = circuit.param_names()
    physical = dict(zip(names, circuit.param_bounds()))
    if bounds is None:
        return physical
    if not isinstance(bounds, Mapping):
        raise TypeError(f"bounds must be a dict of parameter name to (lo, hi), not {type(bounds).__name__}")
    narrowed = dict(physical)
    for name, bound in bounds.items():
        if name not in physical:
            raise _unknown_name(name, names, "bounds")
        try:
            lo, hi = (float(value) for value in bound)
        except (TypeError, ValueError) as error:
            raise ValueError(f"bounds: {name} needs (lo, hi), got {bound!r}") from error
        phys_lo, phys_hi = physical[name]
        if not (phys_lo <= lo < hi <= phys_hi):
            raise ValueError(f"bounds: {name} = ({lo:g}, {hi:g}) must satisfy "
                             f"{phys_lo:g} <= lo < hi <= {phys_hi:g} (its physical range)")
        narrowed[name] = (lo, hi)
    return narrowed


def _check_inside(name: str, value: float, bound: tuple[float, float]) -> None:
    lo, hi = bound
    if not lo <= value <= hi:
        raise ValueError(f"start: {name} = {value:g} is outside its bounds ({lo:g}, {hi:g})")
