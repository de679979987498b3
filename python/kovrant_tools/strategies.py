"""Fit strategies of kovrant_tools.fit: "fast" (Circuit.fit's walk) and "thorough".

Measured spectra often have their best fit on a face of the parameter box:
a constant-phase exponent at 1 (the element is a capacitor), or an element
switched off. A walk that starts inside the box rarely ends exactly there,
and a fit from the wrong start ends in a poorer local minimum. "thorough"
runs the fast fit and then, only where its result hints at one of these
cases, a few more solves:

- each free exponent that ended near its upper bound 1 is held there, alone
  and (with several) all together, and the fit is solved again;
- a fit that ended in a poor or undetermined place (degenerate limits, NaN
  standard errors, not converged, or a start from catalogue placeholders)
  is also solved from the data-driven starts of `starts.py`.
The best chi-square wins; the report counts the work of every solve.
"""
from __future__ import annotations

import math
import warnings
from typing import TYPE_CHECKING

import numpy as np

import kovrant

from .report import FitReport, build_report

if TYPE_CHECKING:
    from .spectrum import SpectrumLike

STRATEGIES = ("fast", "thorough")
# A candidate must beat the incumbent's chi-square by this factor to replace it.
IMPROVEMENT = 1.0 - 1e-9
EXPONENT_FIELDS = (".alpha", ".gamma")


def thorough_fit(spectrum: "SpectrumLike", circuit, *, fixed=None, bounds=None, start=None,
                 method="levenberg_marquardt", weight="modulus", **settings) -> FitReport:
    """kovrant_tools.fit with strategy="thorough" (see the module docstring)."""
    from . import _engine
    from .fitting import as_circuit, fit
    from .spectrum import as_arrays
    from .starts import data_starts

    notation = circuit if isinstance(circuit, str) else None
    model = as_circuit(circuit)
    frequencies, impedances = as_arrays(spectrum)
    names = model.param_names()
    user_start = dict(start or {})
    origin = _fast_start(model, frequencies, impedances, settings)
    starts = []
    if origin is None and not set(names) <= set(user_start):
        # No network and no values: the data-driven start replaces the catalogue placeholders.
        starts = data_starts(notation if notation is not None else model, (frequencies, impedances), count=2)
        origin = starts[0]
    base_start = {**dict(zip(names, origin)), **user_start} if starts else start
    base = fit(spectrum=(frequencies, impedances), circuit=circuit, fixed=fixed, bounds=bounds, start=base_start,
               method=method, weight=weight, strategy="fast", **settings)
    if method != "levenberg_marquardt":
        return base

    held = base.fixed
    lower = [base.bounds[name][0] for name in names]
    upper = [base.bounds[name][1] for name in names]
    best = {"values": [base.params[name] for name in names], "chi_square": base.chi_square,
            "success": base.success}
    work = {"iterations": base.iterations, "impedance_evals": base.impedance_evals}
    solve_settings = {key: value for key, value in settings.items() if key not in ("guess_init", "weights")}

    def solve(values, hold):
        nonlocal best
        outcome = _engine.fit_constrained(
            model.with_values([float(np.clip(v, lo, hi)) for v, lo, hi in zip(values, lower, upper)]),
            frequencies, impedances, [name in hold for name in names], lower, upper,
            method=method, weight=weight, **solve_settings)
        work["iterations"] += outcome["iterations"]
        work["impedance_evals"] += outcome["impedance_evals"]
        if outcome["chi_square"] < IMPROVEMENT * best["chi_square"] and (outcome["success"] or not best["success"]):
            best = {"values": list(outcome["values"]), "chi_square": outcome["chi_square"],
                    "success": outcome["success"]}

    # Each exponent held at 1 from the fast fit's own start: the boundary face
    # the walk from inside the box rarely ends on, reached in one cheap walk.
    origin = [user_start.get(name, value) for name, value in zip(names, origin if origin is not None else
                                                                   [base.params[name] for name in names])]
    for name in names:
        if name.endswith(EXPONENT_FIELDS) and name not in held and base.bounds[name][1] == 1.0:
            solve([1.0 if other == name else value for other, value in zip(names, origin)], held | {name})

    if starts and _looks_lost(base):
        solve([user_start.get(name, value) for name, value in zip(names, starts[-1])], held)

    if best["chi_square"] >= base.chi_square:
        return _with_work(base, work)
    return build_report(model, notation, frequencies, impedances, best["values"], held, base.bounds,
                        chi_square=best["chi_square"], success=best["success"], iterations=work["iterations"],
                        impedance_evals=work["impedance_evals"], method=method, weight=weight)


def _looks_lost(report):
    """Whether a fit ended where a different start may do better."""
    return (not report.success or bool(report.limits)
            or any(math.isnan(report.stderr[name]) for name in report.free))


def _with_work(report, work):
    """The report with the work of every solve counted."""
    from dataclasses import replace

    return replace(report, iterations=work["iterations"], impedance_evals=work["impedance_evals"])


def _fast_start(model: kovrant.Circuit, frequencies, impedances, settings) -> list[float] | None:
    """The start Circuit.fit takes (the circuit's values or a network's guess); None for catalogue placeholders."""
    from .fitting import _values_given

    guess_init, weights = settings.get("guess_init"), settings.get("weights")
    if guess_init is False or (_values_given(model) and not guess_init and weights is None):
        return model.param_values()
    try:
        return model.guess(frequencies, impedances, weights=weights)
    except ValueError as error:
        if weights is None and str(error).startswith("No training data"):
            return None
        raise
