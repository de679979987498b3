"""Degenerate limits of a fit: elements the data cannot see, and what is left without them.

A fit may end with a resistance at 1e182, a capacitance that shorts its arc
at every measured frequency, an exponent at 1 or a diffusion time far beyond
the lowest frequency. The parameters are then not determined, but the model
is: it equals a simpler circuit. Each such case is a `Limit`: which element,
which limit, the equivalent circuit as a notation with its values, and its
chi-square. A limit is reported only when the simpler circuit fits (nearly)
as well: its chi-square exceeds the fit's by less than one noise variance
(chi-square / dof), the change no residual can show.

Candidates are screened by value first (an element's impedance two decades
away from the spectrum's, an exponent within 0.03 of a bound, a time constant
two decades outside the window), so a report pays for few evaluations.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

import kovrant

from . import structure

if TYPE_CHECKING:
    from .report import FitReport

TWO_PI = 6.283185307179586
# An element whose impedance stays this far below (above) the spectrum's is a candidate short (open);
# the chi-square test decides.
IMPEDANCE_RATIO = 1e-2
# An exponent this close to a bound is a candidate for the bound.
EXPONENT_MARGIN = 0.03
# A time constant this many decades outside 1 / (2 pi f) of the window is a candidate.
WINDOW_DECADES = 2.0


@dataclass(frozen=True)
class Limit:
    """One degenerate limit of a fit."""

    element: str  # label, "R2"
    parameter: str  # the parameter that went to the limit, "R2.r"
    limit: str  # "open", "short", "capacitor", "resistor", "inductor", "warburg", "parallel rc"
    equivalent: str  # notation of the circuit the fit equals
    values: dict[str, float]  # parameter values of `equivalent`
    chi_square: float  # of `equivalent` at `values`

    @property
    def warning(self) -> str:
        what = {"open": "is an open circuit", "short": "is a short circuit", "capacitor": "acts as a capacitor",
                "resistor": "acts as a resistor", "inductor": "acts as an inductor",
                "warburg": "acts as a semi-infinite Warburg element",
                "parallel rc": "acts as a resistor and capacitor", "series rc": "acts as a resistor and capacitor",
                }[self.limit]
        return (f"{self.element} {what} over the measured range ({self.parameter} at a degenerate limit); "
                f"the fit equals {self.equivalent} (chi-square {self.chi_square:.4g})")


def find_limits(report: "FitReport") -> tuple[Limit, ...]:
    """The degenerate limits of a fitted report."""
    return limits_of(report.notation, report.params, report.frequencies, report.impedances,
                     chi_square=report.chi_square, dof=report.dof, weight=report.weight)


def limits_of(notation: str, params: dict[str, float], frequencies, impedances, *, chi_square: float, dof: int,
              weight: str = "modulus") -> tuple[Limit, ...]:
    """The degenerate limits of circuit `notation` at `params` on a spectrum (see the module docstring)."""
    series = structure.parse(notation)
    frequencies = np.asarray(frequencies, dtype=float)
    impedances = np.asarray(impedances, dtype=complex)
    if not len(frequencies) or not math.isfinite(chi_square):
        return ()
    window = _Window(frequencies, impedances)
    allowed = chi_square * (1.0 + 1.0 / max(dof, 1)) + 1e-300
    found = []
    for element in structure.elements(series):
        for parameter, limit, replacement, values in _candidates(element, params, window, series):
            simpler = structure.replace(series, element.label, replacement)
            if not simpler:
                continue  # the whole circuit open or shorted: no model left
            equivalent = structure.notation(simpler)
            kept = {name: params[name] for other in structure.elements(simpler) for name in other.names()
                    if name in params}
            kept.update(values)
            cost = _chi_square(equivalent, kept, frequencies, impedances, weight)
            if cost <= allowed:
                found.append(Limit(element.label, parameter, limit, equivalent, kept, cost))
                break  # one limit per element: the first that holds
    return tuple(found)


def simplest_equivalent(notation: str, params: dict[str, float], frequencies, impedances, *, chi_square: float,
                        dof: int, weight: str = "modulus") -> tuple[str, dict[str, float]]:
    """The circuit left after applying degenerate limits one after another, with its values.

    Each round applies the limit that removes the most parameters; the fit's
    own chi-square stays the reference, so small losses cannot pile up.
    """
    while True:
        found = limits_of(notation, params, frequencies, impedances, chi_square=chi_square, dof=dof, weight=weight)
        if not found:
            return notation, params
        chosen = min(found, key=lambda limit: (len(limit.values), limit.chi_square))
        notation, params = chosen.equivalent, chosen.values


class _Window:
    """The measured range: angular frequencies and the smallest and largest |Z|."""

    def __init__(self, frequencies, impedances):
        self.omega_min = TWO_PI * float(frequencies.min())
        self.omega_max = TWO_PI * float(frequencies.max())
        modulus = np.abs(impedances)
        self.z_min = float(modulus.min())
        self.z_max = float(modulus.max())

    def tiny(self, largest_modulus):
        return largest_modulus < IMPEDANCE_RATIO * self.z_min

    def huge(self, smallest_modulus):
        return smallest_modulus > self.z_max / IMPEDANCE_RATIO

    def tau_above(self, tau):
        return tau * self.omega_min > 10 ** WINDOW_DECADES

    def tau_below(self, tau):
        return tau * self.omega_max < 10 ** -WINDOW_DECADES


# The kinds of the elements each kind may turn into.
_REPLACEMENT_KINDS = {"CPE": "CR", "Cpe": "CR", "La": "L", "Wo": "WRC", "Ws": "WR", "G": "R", "K": "R", "Zarc": "RK"}


def _candidates(element, params, window, series):
    """(parameter, limit, replacement series or None for open, new values) worth checking."""
    code, label = element.code, element.label
    value = {field: params[f"{label}.{field}"] for field in structure.FIELDS[code]}
    short, open_ = (), None
    # New elements take the digits of the one they replace, unless that label is taken.
    new_label = {kind: structure.free_label(series, kind, label) for kind in _REPLACEMENT_KINDS.get(code, ())}

    def new(kind):
        return structure.Element(kind, new_label[kind])

    if code == "R":
        r = value["r"]
        if window.tiny(r):
            yield f"{label}.r", "short", short, {}
        if window.huge(r):
            yield f"{label}.r", "open", open_, {}
    elif code == "C":
        c = value["c"]
        if window.tiny(1 / (window.omega_min * c)):
            yield f"{label}.c", "short", short, {}
        if window.huge(1 / (window.omega_max * c)):
            yield f"{label}.c", "open", open_, {}
    elif code in ("CPE", "Cpe"):
        q, alpha = value["q"], value["alpha"]
        if window.tiny(1 / (q * window.omega_min ** alpha)):
            yield f"{label}.q", "short", short, {}
        if window.huge(1 / (q * window.omega_max ** alpha)):
            yield f"{label}.q", "open", open_, {}
        if alpha >= 1 - EXPONENT_MARGIN:
            yield (f"{label}.alpha", "capacitor", (new("C"),), {f"{new_label['C']}.c": q})
        if alpha <= EXPONENT_MARGIN:
            yield f"{label}.alpha", "resistor", (new("R"),), {f"{new_label['R']}.r": 1 / q}
    elif code in structure.INDUCTIVE_CODES:
        if window.tiny(window.omega_max * value["l"]):
            yield f"{label}.l", "short", short, {}
        if code == "La" and value["alpha"] >= 1 - EXPONENT_MARGIN:
            yield f"{label}.alpha", "inductor", (new("L"),), {f"{new_label['L']}.l": value["l"]}
    elif code == "W":
        if window.tiny(value["aw"] * math.sqrt(2 / window.omega_min)):
            yield f"{label}.aw", "short", short, {}
    elif code in ("Wo", "Ws"):
        z0, tau = value["z0"], value["tau"]
        if window.tiny(z0 / math.sqrt(max(window.omega_min * tau, 1e-300)) + z0):
            yield f"{label}.z0", "short", short, {}
        if window.tau_above(tau):
            yield f"{label}.tau", "warburg", (new("W"),), {
                f"{new_label['W']}.aw": z0 / math.sqrt(2 * tau)}
        if window.tau_below(tau):
            if code == "Ws":
                yield f"{label}.tau", "resistor", (new("R"),), {f"{new_label['R']}.r": z0}
            else:
                yield f"{label}.tau", "series rc", (new("R"),
                                                   new("C")), {
                    f"{new_label['R']}.r": z0 / 3, f"{new_label['C']}.c": tau / z0}
    elif code in ("G", "Gs"):
        if window.tiny(value["rg"]):
            yield f"{label}.rg", "short", short, {}
        if code == "G" and window.tau_below(value["tg"]):
            yield f"{label}.tg", "resistor", (new("R"),), {f"{new_label['R']}.r": value["rg"]}
    elif code in ("K", "Zarc"):
        r, tau = value["r"], value["tau_k"]
        if window.tiny(r):
            yield f"{label}.r", "short", short, {}
        if window.tau_below(tau):
            yield f"{label}.tau_k", "resistor", (new("R"),), {f"{new_label['R']}.r": r}
        if code == "Zarc" and value["gamma"] >= 1 - EXPONENT_MARGIN:
            yield f"{label}.gamma", "parallel rc", (new("K"),), {
                f"{new_label['K']}.r": r, f"{new_label['K']}.tau_k": tau}


def _chi_square(notation, values, frequencies, impedances, weight):
    try:
        circuit = kovrant.Circuit(notation)
        residuals = np.asarray(circuit.residuals([values[name] for name in circuit.param_names()], frequencies,
                                                 impedances, weight=weight))
    except (ValueError, KeyError):
        return math.inf
    cost = float(residuals @ residuals)
    return cost if math.isfinite(cost) else math.inf
