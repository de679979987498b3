"""Data-driven start values for any circuit the notation can write.

The spectrum is read once into features (high-frequency intercept,
inductance, arcs with their resistance and time constant, a diffusion or
capacitive low-frequency tail) by a small regularised relaxation-time
decomposition. The features are then mapped onto the circuit's structure:
series resistors share the intercept, inductors take the inductance, each
parallel group (and each K, Zarc, G) takes an arc, diffusion elements take
the tail. Where the mapping is ambiguous (more groups than arcs, several
orders, several exponents) every assignment is built and scored by its cost,
which costs one model evaluation each, and the cheapest come first.
"""
from __future__ import annotations

import itertools
import math
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING

import numpy as np

import kovrant

from . import _engine_loader, structure
from .spectrum import as_arrays

if TYPE_CHECKING:
    from .spectrum import SpectrumLike

TWO_PI = 6.283185307179586
# Relaxation-time grid: points per decade, and decades beyond the measured window.
GRID_PER_DECADE = 5
GRID_MARGIN_DECADES = 1.0
# Tikhonov weight of the decomposition, relative to the mean column norm.
SMOOTHING = 1e-2
# An arc holds at least this share of the total arc resistance.
MIN_ARC_SHARE = 0.01
# Exponents tried for constant-phase elements (ideal capacitors fit alpha = 1).
EXPONENTS = (0.95, 0.8)
# Most assignments of arcs to groups scored per circuit.
MAX_ASSIGNMENTS = 64


@dataclass(frozen=True)
class Arc:
    resistance: float
    tau: float  # characteristic time constant, 1 / (2 pi f_peak)


@dataclass(frozen=True)
class Features:
    """What a spectrum shows, in ohms, seconds, henry and farad."""

    r_inf: float  # high-frequency intercept
    inductance: float  # series inductance (0 when the spectrum shows none)
    arcs: tuple[Arc, ...]  # by ascending time constant (high frequency first)
    tail_capacitance: float  # series capacitance of a blocking tail (inf when none)
    warburg: float  # aw of a 45-degree tail at the lowest frequencies (0 when none)
    omega_min: float
    omega_max: float
    modulus: float  # median |Z|
    diffusion_tau: float = math.nan  # time constant given to finite-length diffusion (default 1 / omega_min)


def spectrum_features(frequencies, impedances) -> Features:
    """The features of a spectrum (arrays of frequencies in Hz and complex impedances)."""
    order = np.argsort(frequencies)
    omega = TWO_PI * np.asarray(frequencies, dtype=float)[order]
    z = np.asarray(impedances, dtype=complex)[order]
    taus = _tau_grid(omega)
    coefficients = _decompose(omega, z, taus)
    r_inf, inductance, inverse_capacitance = coefficients[:3]
    arcs = _arcs(taus, coefficients[3:], (1 / omega[-1], 1 / omega[0]))
    # The arcs' share of -Im Z at the lowest frequencies; the rest is a tail.
    low = slice(0, max(2, len(omega) // 10))
    tail = -z.imag[low] - _arc_imag(arcs, omega[low])
    warburg = float(np.median(np.clip(tail, 0, None) * np.sqrt(omega[low]))) if len(omega) else 0.0
    return Features(
        r_inf=max(float(r_inf), 0.0), inductance=max(float(inductance), 0.0), arcs=arcs,
        tail_capacitance=1.0 / inverse_capacitance if inverse_capacitance > 0 else math.inf,
        warburg=warburg, omega_min=float(omega[0]), omega_max=float(omega[-1]),
        modulus=float(np.median(np.abs(z))))


def _tau_grid(omega):
    low = -math.log10(omega[-1]) - GRID_MARGIN_DECADES
    high = -math.log10(omega[0]) + GRID_MARGIN_DECADES
    count = max(2, int(round((high - low) * GRID_PER_DECADE)) + 1)
    return np.logspace(low, high, count)


def _decompose(omega, z, taus):
    """Non-negative [r_inf, L, 1/C, g_1..g_M] with Z ~ r_inf + jwL + 1/(jwC) + sum g_k/(1 + jw tau_k).

    Modulus-weighted ridge regression; negative coefficients are dropped and
    the rest solved again, a few rounds (a cheap non-negative least squares).
    """
    wt = omega[:, None] * taus[None, :]
    kernel = 1.0 / (1.0 + 1j * wt)
    columns = np.concatenate([np.ones((len(omega), 1)), 1j * omega[:, None], 1.0 / (1j * omega[:, None]), kernel],
                             axis=1)
    weight = 1.0 / np.maximum(np.abs(z), 1e-30)
    design = np.concatenate([(columns * weight[:, None]).real, (columns * weight[:, None]).imag])
    target = np.concatenate([(z * weight).real, (z * weight).imag])
    norms = np.linalg.norm(design, axis=0)
    norms[norms == 0] = 1.0
    design = design / norms
    ridge = SMOOTHING * np.ones(design.shape[1])
    ridge[:3] = 1e-9
    active = np.ones(design.shape[1], dtype=bool)
    solution = np.zeros(design.shape[1])
    for _ in range(8):
        a = design[:, active]
        lhs = a.T @ a + np.diag(ridge[active] ** 2)
        solution[:] = 0.0
        solution[active] = np.linalg.solve(lhs, a.T @ target)
        negative = solution < 0
        if not negative.any():
            break
        active &= ~negative
    return np.clip(solution, 0.0, None) / norms


def _arcs(taus, weights, window):
    """Peaks of the relaxation-time distribution, each with its whole basin's resistance.

    Basins run between local minima of the distribution; a basin with less
    than MIN_ARC_SHARE of the total inside the measured `window` of time
    constants (all of it when that is empty) is noise, not an arc. Weight
    beyond the window is where a low-frequency tail lands; counting it would
    hide a small arc that the data show plainly.
    """
    inside = (taus >= window[0]) & (taus <= window[1])
    total = float(weights[inside].sum()) or float(weights.sum())
    if total <= 0:
        return ()
    interior = np.arange(1, len(weights) - 1)
    minima = interior[(weights[interior] <= weights[interior - 1]) & (weights[interior] < weights[interior + 1])]
    edges = [0, *minima.tolist(), len(weights)]
    arcs = []
    for start, stop in zip(edges, edges[1:]):
        basin = weights[start:stop]
        resistance = float(basin.sum())
        if resistance > MIN_ARC_SHARE * total:
            log_tau = float(np.sum(basin * np.log(taus[start:stop])) / resistance)
            arcs.append(Arc(resistance, math.exp(log_tau)))
    return tuple(arcs)


def _arc_imag(arcs, omega):
    total = np.zeros_like(omega)
    for arc in arcs:
        wt = omega * arc.tau
        total += arc.resistance * wt / (1 + wt * wt)
    return total


def data_starts(circuit: str | kovrant.Circuit, spectrum: "SpectrumLike", *, count: int = 3) -> list[list[float]]:
    """Up to `count` start vectors (``param_names()`` order), cheapest cost first.

    circuit: a notation, a model name or a kovrant.Circuit.
    """
    if count < 1:
        raise ValueError(f"count must be at least 1, got {count}")
    frequencies, impedances = as_arrays(spectrum)
    model = circuit if isinstance(circuit, kovrant.Circuit) else kovrant.Circuit(circuit)
    features = spectrum_features(frequencies, impedances)
    series = _series_of(circuit, model)
    names = model.param_names()
    bounds = dict(zip(names, model.param_bounds()))
    candidates = []
    units = dict(zip(names, model.param_units()))
    for assignment in _assignments(series, model, features):
        values = [float(np.clip(assignment.get(name, _generic_value(name, units[name], features)), *bounds[name]))
                  for name in names]
        residuals = np.asarray(model.residuals(values, frequencies, impedances))
        cost = float(residuals @ residuals)
        if math.isfinite(cost):
            candidates.append((cost, values))
    if not candidates:
        return [model.param_values()]
    candidates.sort(key=lambda pair: pair[0])
    unique = []
    for _, values in candidates:
        if values not in unique:
            unique.append(values)
        if len(unique) == count:
            break
    return unique


def _generic_value(name, unit, features):
    """A value of the spectrum's scale for a parameter no mapping placed, by its unit."""
    omega_mid = math.sqrt(features.omega_min * features.omega_max)
    if unit == "ohm":
        return 0.3 * features.modulus
    if unit == "s":
        return 1.0 / omega_mid
    if unit == "F":
        return 1.0 / (omega_mid * features.modulus)
    if unit == "H":
        return 1e-3 * features.modulus / features.omega_max
    if unit.startswith("ohm^-1*s^"):
        return 1.0 / (omega_mid ** 0.9 * features.modulus)
    if name.endswith((".alpha", ".gamma")):
        return 0.9
    return 1.0


def data_start(circuit: str | kovrant.Circuit, spectrum: "SpectrumLike") -> list[float]:
    """The cheapest data-driven start vector, in ``param_names()`` order."""
    return data_starts(circuit, spectrum, count=1)[0]


def _series_of(circuit, model):
    """The circuit's structure, from its notation (for a Circuit object, the one the engine writes)."""
    notation = circuit if isinstance(circuit, str) else _engine_loader.load_engine().notation(model)
    return structure.parse(notation)


def _arc_slots(series):
    """Top-level nodes that make an arc: parallel groups and the arc-shaped elements."""
    return [node for node in series
            if isinstance(node, structure.Parallel)
            or node.code in ("K", "Zarc", "G", "Gs", "T", "TLMQ", "Tlmq")]


def _arc_choices(arcs, slots, features):
    """Ways to give each slot an arc: the arcs grouped into `slots` runs, or padded."""
    if slots == 0:
        return [()]
    total = sum(arc.resistance for arc in arcs) or features.modulus
    if not arcs:
        # No arc visible: spread time constants over the window.
        taus = np.logspace(-math.log10(features.omega_max), -math.log10(features.omega_min), slots + 2)[1:-1]
        return [tuple(Arc(total / slots, float(tau)) for tau in taus)]
    choices = []
    if len(arcs) >= slots:
        # Contiguous groups of arcs (in time-constant order) merged into one each.
        for cuts in itertools.combinations(range(1, len(arcs)), slots - 1):
            bounds = (0, *cuts, len(arcs))
            choices.append(tuple(_merged(arcs[a:b]) for a, b in zip(bounds, bounds[1:])))
            if len(choices) >= MAX_ASSIGNMENTS // 4:
                break
        if len(arcs) > slots:
            largest = sorted(arcs, key=lambda arc: -arc.resistance)[:slots]
            choices.append(tuple(sorted(largest, key=lambda arc: arc.tau)))
    else:
        # Fewer arcs than slots: the spare slots take small arcs beyond the window or split the largest.
        spare = slots - len(arcs)
        small = 0.02 * total
        edges = (Arc(small, 0.3 / features.omega_max), Arc(small, 3.0 / features.omega_min))
        for extra in itertools.combinations_with_replacement(edges, spare):
            choices.append(tuple(sorted((*arcs, *extra), key=lambda arc: arc.tau)))
        largest = max(range(len(arcs)), key=lambda index: arcs[index].resistance)
        big = arcs[largest]
        split = [Arc(big.resistance / (spare + 1), big.tau * 10 ** (step - spare / 2)) for step in range(spare + 1)]
        choices.append(tuple(sorted((*arcs[:largest], *split, *arcs[largest + 1:]), key=lambda arc: arc.tau)))
    return choices


def _merged(arcs):
    resistance = sum(arc.resistance for arc in arcs)
    log_tau = sum(arc.resistance * math.log(arc.tau) for arc in arcs) / resistance
    return Arc(resistance, math.exp(log_tau))


def _assignments(series, model, features):
    """Name -> value dicts, one per way of mapping the features onto the circuit."""
    slots = _arc_slots(series)
    count = 0
    # A finite-length diffusion bends at 1/tau: inside the window, or far below it (the semi-infinite form).
    finite = any(element.code in ("Wo", "Ws") for element in structure.elements(series))
    taus = (1.0 / features.omega_min, 1e3 / features.omega_min) if finite else (1.0 / features.omega_min,)
    variants = [replace(features, diffusion_tau=tau) for tau in taus]
    for features, arcs in itertools.product(variants, _arc_choices(features.arcs, len(slots), features)):
        orders = itertools.permutations(range(len(slots))) if len(slots) <= 4 else [tuple(range(len(slots)))]
        for order in orders:
            for alpha in EXPONENTS:
                values = {}
                _assign_series(series, values, features, alpha,
                               {id(slots[slot]): arcs[index] for index, slot in enumerate(order)})
                yield values
                count += 1
                if count >= MAX_ASSIGNMENTS:
                    return


def _assign_series(series, values, features, alpha, arc_of):
    """Values for the top level: resistors share the intercept, slots take their arcs."""
    resistors = [node for node in series if isinstance(node, structure.Element) and node.code == "R"]
    for node in series:
        if id(node) in arc_of:
            _assign_arc(node, arc_of[id(node)], values, features, alpha)
        elif isinstance(node, structure.Element) and node.code == "R":
            # The first resistor carries the intercept, further ones a small share.
            share = 1.0 if node is resistors[0] else 0.05
            values[node.label + ".r"] = max(features.r_inf * share, 1e-6 * features.modulus)
        else:
            _assign_tail_element(node, values, features, alpha)


def _assign_tail_element(node, values, features, alpha):
    """A top-level element outside the arcs: inductance, tail capacitance, diffusion."""
    label, code = node.label, node.code
    omega_min = features.omega_min
    if code in structure.INDUCTIVE_CODES:
        # Without a visible inductance: one thousandth of the intercept at the top frequency.
        inductance = features.inductance or 1e-3 * max(features.r_inf, 1e-3 * features.modulus) / features.omega_max
        values[label + ".l"] = inductance
        if code == "La":
            values[label + ".alpha"] = 0.95
    elif code == "C":
        values[label + ".c"] = _tail_capacitance(features)
    elif code in ("CPE", "Cpe"):
        capacitance = _tail_capacitance(features)
        values[label + ".q"] = capacitance * omega_min ** (1 - alpha)
        values[label + ".alpha"] = alpha
    elif code in structure.DIFFUSION_CODES:
        _assign_diffusion(node, values, features)


def _tail_capacitance(features):
    if math.isfinite(features.tail_capacitance):
        return features.tail_capacitance
    # No blocking tail: large enough to stay invisible at the lowest frequency.
    return 100.0 / (features.omega_min * features.modulus)


def _assign_diffusion(node, values, features, scale=1.0):
    """Warburg-type elements sized to the low-frequency tail (or, without one, to the spectrum)."""
    aw = features.warburg or 0.1 * features.modulus * math.sqrt(features.omega_min)
    aw *= scale
    if node.code == "W":
        values[node.label + ".aw"] = aw
        return
    tau = features.diffusion_tau if math.isfinite(features.diffusion_tau) else 1.0 / features.omega_min
    values[node.label + ".tau"] = tau
    values[node.label + ".z0"] = aw * math.sqrt(2.0 * tau)


def _assign_arc(node, arc, values, features, alpha):
    """An arc of resistance R and time constant tau on a group or an arc-shaped element."""
    label, r, tau = getattr(node, "label", None), arc.resistance, arc.tau
    if isinstance(node, structure.Parallel):
        _assign_group(node, arc, values, features, alpha)
    elif node.code == "K":
        values.update({label + ".r": r, label + ".tau_k": tau})
    elif node.code == "Zarc":
        values.update({label + ".r": r, label + ".tau_k": tau, label + ".gamma": alpha})
    elif node.code == "G":
        values.update({label + ".rg": r, label + ".tg": tau})
    elif node.code == "Gs":
        values.update({label + ".rg": r, label + ".tg": tau, label + ".phi": 1.0})
    elif node.code in ("TLMQ", "Tlmq"):
        values.update({label + ".r_ion": 3.0 * r, label + ".qs": tau ** alpha / r, label + ".gamma": alpha})
    elif node.code == "T":
        values.update({label + ".a": r, label + ".b": r, label + ".k_tau": 1.0, label + ".tau": tau})


def _assign_group(group, arc, values, features, alpha):
    """A parallel group: branches that pass DC share the arc resistance, the others its capacitance.

    A DC branch holding a diffusion element (R-W, the Randles branch) gives it
    the tail; any nested group inside a branch takes a share of the arc.
    """
    dc_branches = [branch for branch in group.branches if structure.passes_dc(branch)]
    capacitance = arc.tau / arc.resistance
    for branch in group.branches:
        if branch in dc_branches:
            # Parallel DC paths combine to the arc's resistance.
            resistance = arc.resistance * len(dc_branches)
        else:
            # A resistor in series with the capacitive path: small, or the whole arc without a DC path.
            resistance = 0.1 * arc.resistance if dc_branches else arc.resistance
        resistors = [node for node in branch if isinstance(node, structure.Element) and node.code == "R"]
        for node in branch:
            if isinstance(node, structure.Parallel):
                _assign_group(node, Arc(0.5 * resistance, arc.tau), values, features, alpha)
                continue
            code, label = node.code, node.label
            if code == "R":
                values[label + ".r"] = resistance / len(resistors)
            elif code == "C":
                values[label + ".c"] = capacitance
            elif code in ("CPE", "Cpe"):
                values[label + ".q"] = arc.tau ** alpha / arc.resistance
                values[label + ".alpha"] = alpha
            elif code in structure.DIFFUSION_CODES:
                _assign_diffusion(node, values, features)
            elif code in structure.INDUCTIVE_CODES:
                _assign_tail_element(node, values, features, alpha)
            else:
                _assign_arc(node, Arc(resistance, arc.tau), values, features, alpha)
