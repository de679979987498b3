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
- without a network, the fit is also solved from the next-cheapest
  data-driven starts, `DATA_STARTS` in all (one start often ends in a
  poorer minimum);
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
from typing import TYPE_CHECKING, get_args

import numpy as np

import kovrant

from . import _engine_loader
from .fitting import Strategy
from .report import FitReport, _source_of
from .spectrum import as_arrays

if TYPE_CHECKING:
    from .fitting import Solution
    from .spectrum import SpectrumLike

STRATEGIES: tuple[Strategy, ...] = get_args(Strategy)
# A candidate must beat the incumbent's chi-square by this factor to replace it.
IMPROVEMENT = 1.0 - 1e-9
EXPONENT_FIELDS = (".alpha", ".gamma")
# Data starts solved for a circuit without a network: the fast fit takes the cheapest, the
# thorough strategy the others (on bench/bench_real_data.py, 2 reach 90 % of own circuits, 4 reach 97 %).
DATA_STARTS = 4


@dataclass(frozen=True)
class StartedFit:
    """A fast fit with the starts it came from, for refining later."""

    report: FitReport
    solution: Solution
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
    from .fitting import circuit_and_notation, solve, start_point
    from .starts import data_starts

    notation, model = circuit_and_notation(circuit)
    frequencies, impedances = as_arrays(spectrum)
    names = model.param_names()
    user_start = dict(start or {})
    if isinstance(fixed, Mapping):
        user_start.update(fixed)  # held values are starts too
    starts = []
    if start_point(model, settings) == "catalogue" and not set(names) <= set(user_start):
        starts = data_starts(circuit if isinstance(circuit, str) else model, (frequencies, impedances),
                             count=DATA_STARTS)
        start = {**dict(zip(names, starts[0])), **user_start}
    solution = solve(model, frequencies, impedances, fixed=fixed, bounds=bounds, start=start, method=method,
                     weight=weight, **settings)
    spare = [[user_start.get(name, value) for name, value in zip(names, values)] for values in starts[1:]]
    report = FitReport.from_solution(solution, model, notation, frequencies, impedances, method=method, weight=weight,
                                     source=_source_of(spectrum))
    return StartedFit(report, solution, model, list(solution.start), spare)


def refine(started: StartedFit, **settings) -> FitReport:
    """The started fit, improved by the extra solves of the thorough strategy."""
    from .fitting import solve

    base, report, model = started.solution, started.report, started.circuit
    if report.method != "levenberg_marquardt":
        return report
    names, held, bounds = base.names, base.fixed, base.bounds
    frequencies, impedances = report.frequencies, report.impedances
    best = base
    work = {"iterations": base.iterations, "impedance_evals": base.impedance_evals}
    solve_settings = {key: value for key, value in settings.items()
                      if key not in ("guess_init", "weights", "method", "weight")}

    def attempt(values, hold):
        nonlocal best
        start = {name: float(np.clip(value, *bounds[name])) for name, value in zip(names, values)}
        outcome = solve(model, frequencies, impedances, fixed=sorted(hold), bounds=bounds, start=start,
                        method=report.method, weight=report.weight, **solve_settings)
        work["iterations"] += outcome.iterations
        work["impedance_evals"] += outcome.impedance_evals
        if _better(outcome, best):
            best = outcome

    for name in names:
        if name.endswith(EXPONENT_FIELDS) and name not in held and bounds[name][1] == 1.0:
            attempt([1.0 if other == name else value for other, value in zip(names, started.origin)], held | {name})
    for values in started.spare_starts:
        attempt(values, held)
    # Finite-length diffusion at its semi-infinite face: 1/tau four decades below the lowest measured
    # frequency, z0 keeping the Warburg coefficient z0 / sqrt(2 tau) of the start.
    slowest = 1e4 / (2 * math.pi * float(np.min(frequencies)))
    for index, name in enumerate(names):
        label, _, field = name.partition(".")
        if field == "tau" and label.rstrip("0123456789") in ("Wo", "Ws") and name not in held \
                and f"{label}.z0" not in held:
            values = list(started.origin)
            z0 = names.index(f"{label}.z0")
            values[z0] *= math.sqrt(slowest / values[index])
            values[index] = slowest
            attempt(values, held | {name})

    if best is base:
        return replace(report, iterations=work["iterations"], impedance_evals=work["impedance_evals"])
    # A face found by holding a parameter is reported with the user's held set: its statistics at that point.
    restated = _restated(best, model, frequencies, impedances, held, report.weight)
    final = replace(restated, iterations=work["iterations"], impedance_evals=work["impedance_evals"])
    return FitReport.from_solution(final, model, report.notation, frequencies, impedances, method=report.method,
                                   weight=report.weight, source=report.source)


def _better(candidate: Solution, incumbent: Solution) -> bool:
    """A lower chi-square by more than rounding, never a non-converged one over a converged one."""
    return candidate.chi_square < IMPROVEMENT * incumbent.chi_square and (candidate.success or not incumbent.success)


def _restated(solution: Solution, model: kovrant.Circuit, frequencies, impedances, held, weight) -> Solution:
    """`solution` with standard errors and covariance at its values, holding only `held`."""
    if solution.fixed == held:
        return solution
    at_best = _engine_loader.load_engine().outcome_at(model.with_values(solution.values), frequencies, impedances,
                                                       [name in held for name in solution.names], weight=weight)
    return replace(solution, stderr=at_best["stderr"], covariance=at_best["covariance"], fixed=held)


