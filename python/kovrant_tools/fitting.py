"""fit(): Circuit.fit with fixed parameters, narrowed bounds and a FitReport."""
from __future__ import annotations

import difflib
import math
import warnings
from collections.abc import Mapping
from functools import partial

import numpy as np

import kovrant

from .report import FitReport, build_report
from .spectrum import as_arrays


def fit(circuit, spectrum, fixed=None, bounds=None, start=None, method="levenberg_marquardt", weight="modulus",
        strategy="thorough", **settings) -> FitReport:
    """Fit `circuit` to `spectrum` and return a FitReport.

    circuit: a notation ("R0-(R1,CPE1)"), a model name ("randles") or a
    kovrant.Circuit. spectrum: a (frequencies, impedances) pair, a dict or
    DataFrame with battery-data columns, or an object with ``.frequencies``
    and ``.impedances``.

    start: name -> value for some or all parameters; the others start from
    the circuit's explicit values, else from the machine-learning guess
    (``guess_init``/``weights`` settings as in Circuit.fit), else from the
    catalogue values with a UserWarning. fixed: name -> value, or names held at
    their start value. bounds: name -> (lo, hi) inside the physical bounds of
    ``param_bounds()``. A user-given start outside the bounds is an error; a
    guessed one is moved into them.

    settings: the other keyword arguments of Circuit.fit (max_iterations,
    ftol, xtol, seed, nelder_mead_iterations, ...).

    strategy: "fast" is Circuit.fit's walk (without fixed and bounds exactly
    Circuit.fit's numbers); "thorough" (default) also tries the boundary
    faces and the data-driven starts of kovrant_tools.strategies.
    """
    if strategy != "fast":
        from .strategies import STRATEGIES, thorough_fit

        if strategy not in STRATEGIES:
            raise ValueError(f"unknown strategy {strategy!r}, expected one of {', '.join(map(repr, STRATEGIES))}")
        return thorough_fit(spectrum, circuit, fixed=fixed, bounds=bounds, start=start, method=method,
                            weight=weight, **settings)
    notation = circuit if isinstance(circuit, str) else None
    circuit = as_circuit(circuit)
    frequencies, impedances = as_arrays(spectrum)
    names = circuit.param_names()
    fixed_values, fixed_names = _fixed(fixed, names)
    user_start = _checked_start(start, fixed_values, names)
    user_bounds = _narrowed_bounds(bounds, circuit)
    guess_settings = {key: settings.pop(key) for key in ("guess_init", "weights") if key in settings}
    for name, value in user_start.items():
        _check_inside(name, value, user_bounds[name])
    report = partial(build_report, circuit, notation, frequencies, impedances, method=method, weight=weight)

    if not fixed_names and not bounds:
        if user_start:
            circuit = circuit.with_values(
                _start_values(circuit, frequencies, impedances, user_start, user_bounds, guess_settings))
        else:
            settings.update(guess_settings)
        result = circuit.fit(frequencies, impedances, method=method, weight=weight, **settings)
        return report([result.params[name] for name in names], frozenset(), user_bounds,
                      chi_square=result.chi_square, success=result.success, iterations=result.iterations,
                      impedance_evals=result.impedance_evals)

    start_values = _start_values(circuit, frequencies, impedances, user_start, user_bounds, guess_settings)

    from . import _engine  # the native constrained fit, built with the package

    outcome = _engine.fit_constrained(
        circuit.with_values(start_values), frequencies, impedances, [name in fixed_names for name in names],
        [user_bounds[name][0] for name in names], [user_bounds[name][1] for name in names],
        method=method, weight=weight, **settings)
    return report(outcome["values"], fixed_names, user_bounds, chi_square=outcome["chi_square"],
                  success=outcome["success"], iterations=outcome["iterations"],
                  impedance_evals=outcome["impedance_evals"])


def as_circuit(circuit):
    """A kovrant.Circuit from a notation, a model name or a Circuit."""
    if isinstance(circuit, kovrant.Circuit):
        return circuit
    if isinstance(circuit, str):
        return kovrant.Circuit(circuit)
    raise TypeError(f"circuit must be a notation, a model name or a kovrant.Circuit, not {type(circuit).__name__}")


def _start_values(circuit, frequencies, impedances, user_start, bounds, guess_settings):
    """The user's start where given; elsewhere Circuit.fit's choice.

    The circuit's explicit values count as the user's and must lie inside
    `bounds`; a guess (or the catalogue fallback) is moved into them.
    """
    names = circuit.param_names()
    if set(names) <= set(user_start):
        return [user_start[name] for name in names]
    base, guessed = _default_start(circuit, frequencies, impedances, guess_settings)
    start = []
    for name, value in zip(names, base):
        if name in user_start:
            value = user_start[name]
        elif guessed:
            value = float(np.clip(value, *bounds[name]))
        else:
            _check_inside(name, value, bounds[name])
        start.append(value)
    return start


def _default_start(circuit, frequencies, impedances, guess_settings):
    """(start values, whether they were guessed) chosen as Circuit.fit chooses them."""
    guess_init, weights = guess_settings.get("guess_init"), guess_settings.get("weights")
    wants_guess = guess_init if guess_init is not None else weights is not None or not _values_given(circuit)
    if not wants_guess:
        return circuit.param_values(), False
    try:
        return circuit.guess(frequencies, impedances, weights=weights), True
    except ValueError as error:
        if guess_init or weights is not None or not str(error).startswith("No training data"):
            raise
        warnings.warn(f"{error}. Starting from the catalogue values; pass start={{...}} to choose them.",
                      UserWarning, stacklevel=4)
        return circuit.param_values(), True


def _values_given(circuit):
    """Whether the circuit's values differ from its elements' catalogue defaults.

    kovrant keeps the "values given" flag inside the Circuit; a circuit that
    still holds every default is what the constructor builds, and
    fitting it from those placeholders is never what its user means.
    """
    labels = list(dict.fromkeys(name.rpartition(".")[0] for name in circuit.param_names()))
    defaults = []
    for label in labels:
        try:
            defaults.extend(kovrant.Circuit(label).param_values())
        except ValueError:
            return True
    return defaults != circuit.param_values()


def _unknown_name(name, names, role):
    close = difflib.get_close_matches(name, names, n=1, cutoff=0.5)
    hint = f" (did you mean {close[0]!r}?)" if close else ""
    return ValueError(f"{role}: unknown parameter {name!r}{hint}; this circuit has {', '.join(names)}")


def _checked(values: Mapping, names, role):
    if not isinstance(values, Mapping):
        raise TypeError(f"{role} must be a dict of parameter name to value, not {type(values).__name__}")
    for name in values:
        if name not in names:
            raise _unknown_name(name, names, role)
    return {name: _finite(value, name, role) for name, value in values.items()}


def _finite(value, name, role):
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{role}: {name} = {number} is not a finite number")
    return number


def _fixed(fixed, names):
    """(name -> value for fixed parameters given a value, every fixed name)."""
    if fixed is None:
        return {}, frozenset()
    if isinstance(fixed, Mapping):
        values = _checked(fixed, names, "fixed")
        return values, frozenset(values)
    if isinstance(fixed, str):
        fixed = [fixed]
    for name in fixed:
        if name not in names:
            raise _unknown_name(name, names, "fixed")
    return {}, frozenset(fixed)


def _checked_start(start, fixed_values, names):
    user_start = _checked(start or {}, names, "start")
    for name, value in fixed_values.items():
        if user_start.get(name, value) != value:
            raise ValueError(f"{name} is fixed at {value} but given start {user_start[name]}")
    return {**user_start, **fixed_values}


def _narrowed_bounds(bounds, circuit):
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


def _check_inside(name, value, bound):
    lo, hi = bound
    if not lo <= value <= hi:
        raise ValueError(f"start: {name} = {value:g} is outside its bounds ({lo:g}, {hi:g})")
