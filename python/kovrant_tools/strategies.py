"""Fit strategies of kovrant_tools.fit: "fast" (Circuit.fit's walk) and "thorough".

Measured spectra often have their best fit on a face of the parameter box:
a constant-phase exponent at 1 (the element is a capacitor), or an element
switched off. The multi-start walk from inside the box rarely ends exactly
on such a face, and a walk from catalogue placeholders ends far from any
good minimum. "thorough" is the fast fit, started from the network's guess
or (without a network) from the data-driven start of `starts.py`, refined by
a few more solves:

- each free exponent with upper bound 1 is held at 1 and the walk is run
  again from the same start: on the measured spectra of bench/ this finds
  the best fit in most cases where the fast fit misses it, and with held
  parameters exempt from the plausibility test a held walk is cheap;
- without a network, the fit is also solved from the second-cheapest
  data-driven start (one start often ends in a poorer minimum);
- each finite-length diffusion element (Wo, Ws) is held at its semi-infinite
  face (tau four decades beyond the lowest frequency), where the best fits
  of battery spectra often lie.
The lowest chi-square wins (a converged result beats a non-converged one);
the report counts the work of every solve. Only "levenberg_marquardt" is
refined; the other methods search globally already.
"""
from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass, replace
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


@dataclass(frozen=True)
class StartedFit:
    """A fast fit with the starts it came from, for refining later."""

    report: FitReport
    circuit: kovrant.Circuit
    origin: list[float]  # the start of the fast fit, param_names() order
    spare_starts: list[list[float]]  # further data-driven starts (none when a network guessed)


def thorough_fit(spectrum: "SpectrumLike", circuit, *, fixed=None, bounds=None, start=None,
                 method="levenberg_marquardt", weight="modulus", **settings) -> FitReport:
    """kovrant_tools.fit with strategy="thorough" (see the module docstring)."""
    started = started_fit(spectrum, circuit, fixed=fixed, bounds=bounds, start=start, method=method, weight=weight,
                          **settings)
    return refine(started, **settings)


def started_fit(spectrum: "SpectrumLike", circuit, *, fixed=None, bounds=None, start=None,
                method="levenberg_marquardt", weight="modulus", **settings) -> StartedFit:
    """The fast fit, from the data-driven start where Circuit.fit would use catalogue placeholders."""
    from .fitting import as_circuit, fit
    from .spectrum import as_arrays
    from .starts import data_starts

    model = as_circuit(circuit)
    frequencies, impedances = as_arrays(spectrum)
    names = model.param_names()
    user_start = dict(start or {})
    if isinstance(fixed, Mapping):
        user_start.update(fixed)  # held values are starts too
    origin = _fast_start(model, frequencies, impedances, settings)
    starts = []
    if origin is None and not set(names) <= set(user_start):
        starts = data_starts(circuit if isinstance(circuit, str) else model, (frequencies, impedances), count=2)
        origin = starts[0]
        start = {**dict(zip(names, origin)), **user_start}
    elif origin is not None and fixed is None and bounds is None and start is None:
        # The start the fast fit would choose, given explicitly: the same walk without a second guess.
        start = dict(zip(names, origin))
        settings = {key: value for key, value in settings.items() if key not in ("guess_init", "weights")}
    report = fit(spectrum=(frequencies, impedances), circuit=circuit, fixed=fixed, bounds=bounds, start=start,
                 method=method, weight=weight, strategy="fast", **settings)
    if origin is None:
        origin = model.param_values()
    origin = [user_start.get(name, value) for name, value in zip(names, origin)]
    spare = [[user_start.get(name, value) for name, value in zip(names, values)] for values in starts[1:]]
    return StartedFit(report, model, origin, spare)


def refine(started: StartedFit, **settings) -> FitReport:
    """The started fit, improved by the extra solves of the thorough strategy."""
    from . import _engine

    base, model = started.report, started.circuit
    if base.method != "levenberg_marquardt":
        return base
    names = base.names
    held = base.fixed
    lower = [base.bounds[name][0] for name in names]
    upper = [base.bounds[name][1] for name in names]
    best = {"values": [base.params[name] for name in names], "chi_square": base.chi_square, "success": base.success}
    work = {"iterations": base.iterations, "impedance_evals": base.impedance_evals}
    solve_settings = {key: value for key, value in settings.items()
                      if key not in ("guess_init", "weights", "method", "weight")}

    def solve(values, hold):
        nonlocal best
        outcome = _engine.fit_constrained(
            model.with_values([float(np.clip(v, lo, hi)) for v, lo, hi in zip(values, lower, upper)]),
            base.frequencies, base.impedances, [name in hold for name in names], lower, upper,
            method=base.method, weight=base.weight, **solve_settings)
        work["iterations"] += outcome["iterations"]
        work["impedance_evals"] += outcome["impedance_evals"]
        if outcome["chi_square"] < IMPROVEMENT * best["chi_square"] and (outcome["success"] or not best["success"]):
            best = {"values": list(outcome["values"]), "chi_square": outcome["chi_square"],
                    "success": outcome["success"]}

    for name in names:
        if name.endswith(EXPONENT_FIELDS) and name not in held and base.bounds[name][1] == 1.0:
            solve([1.0 if other == name else value for other, value in zip(names, started.origin)], held | {name})
    for values in started.spare_starts:
        solve(values, held)
    # Finite-length diffusion at its semi-infinite face: 1/tau four decades below the lowest measured
    # frequency, z0 keeping the Warburg coefficient z0 / sqrt(2 tau) of the start.
    slowest = 1e4 / (2 * math.pi * float(np.min(base.frequencies)))
    for index, name in enumerate(names):
        label, _, field = name.partition(".")
        if field == "tau" and label.rstrip("0123456789") in ("Wo", "Ws") and name not in held \
                and f"{label}.z0" not in held:
            values = list(started.origin)
            z0 = names.index(f"{label}.z0")
            values[z0] *= math.sqrt(slowest / values[index])
            values[index] = slowest
            solve(values, held | {name})

    if best["chi_square"] >= base.chi_square:
        return replace(base, iterations=work["iterations"], impedance_evals=work["impedance_evals"])
    return build_report(model, base.circuit, base.frequencies, base.impedances, best["values"], held, base.bounds,
                        chi_square=best["chi_square"], success=best["success"], iterations=work["iterations"],
                        impedance_evals=work["impedance_evals"], method=base.method, weight=base.weight)


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
