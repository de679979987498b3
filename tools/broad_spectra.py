"""The broad training distribution: synthetic spectra shaped like measured ones.

Wider than synthetic_spectra (the distribution the shipped networks saw):
CPE alpha 0.3 to 1, arcs from 0.7 decade apart, R0 from 1/100 to 20x the first
arc, diffusion magnitudes of 0.3 to 3x their arc at the lowest frequency,
finite-length bends anywhere in the lower half of the window, windows that cut
a feature, 0 to 5 % noise, and the artefacts of real cells: an inductive
(cable) tail on topologies without L, a few outliers, drift at low frequency.

A quarter of the spectra come from a richer circuit (one more arc, a diffusion
tail or an inductive loop) that the topology cannot represent; their targets
are the topology's best fit to the spectrum (fit_targets.best_fit), since no
true values exist for it.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from .synthetic_spectra import (TWO_PI, Spectrum, add_noise, sample_frequencies, simulate)

ALPHA_RANGE = (0.3, 1.0)
ARC_LOG_FREQUENCY = (-2.0, 5.5)
ARC_RESISTANCE = (1e-3, 1e5)
R0_OVER_R1 = (0.01, 20.0)
MIN_ARC_GAP = 0.7  # decades between two arcs
MAX_ARC_GAP = 3.5
SECOND_ARC_RATIO = (0.1, 10.0)
DIFFUSION_MAGNITUDE = (0.3, 3.0)  # |Z| of the diffusion element at fmin over its arc's R
DIFFUSION_REACH = (0.3, 2.5)  # decades the window reaches below the slowest arc
WINDOW_DECADES = (2.5, 9.0)
MIN_WINDOW = 2.0
NOISE_MAX = 0.05
RICHER_SHARE = 0.25
CUT_SHARE = 0.3
TAIL_SHARE = 0.3
OUTLIER_SHARE = 0.15
DRIFT_SHARE = 0.2
# Labels of the elements a richer circuit adds; the built-in circuits use 0 to 2.
EXTRA_LABEL = 9


def _log_uniform(rng, lo, hi):
    return 10.0 ** rng.uniform(math.log10(lo), math.log10(hi))


def _tau(log_f):
    return 1.0 / (TWO_PI * 10.0 ** log_f)


@dataclass
class Arc:
    r: float
    log_f: float  # characteristic frequency, log10 Hz
    alpha: float = 1.0

    @property
    def coefficient(self):
        """C for an ideal arc, Q = tau^alpha / R for a CPE arc."""
        return _tau(self.log_f) ** self.alpha / self.r


@dataclass
class Layout:
    """Circuit values and features of one draw; `fill` sets what depends on the window.

    Values are in the circuit's parameter order, leaving out L0; `fill`
    entries take (rng, values, log_lo, log_hi) and write the window-dependent
    ones (NaN until then).
    """
    values: list[float]
    arcs: list[Arc]
    diffusion: bool = False
    fill: list = field(default_factory=list)


def draw_arcs(rng, count, ideal):
    """`count` arcs, the first the fastest, each next one 0.7 to 3.5 decades slower."""
    first = Arc(_log_uniform(rng, *ARC_RESISTANCE), rng.uniform(*ARC_LOG_FREQUENCY),
                1.0 if ideal else rng.uniform(*ALPHA_RANGE))
    arcs = [first]
    for _ in range(count - 1):
        arcs.append(Arc(first.r * _log_uniform(rng, *SECOND_ARC_RATIO),
                        arcs[-1].log_f - rng.uniform(MIN_ARC_GAP, MAX_ARC_GAP),
                        1.0 if ideal else rng.uniform(*ALPHA_RANGE)))
    return arcs


def series_resistance(rng, first_arc):
    return first_arc.r * _log_uniform(rng, *R0_OVER_R1)


def _warburg_filler(index, arc_r):
    """Sets W.aw so that |Z_W| at fmin is 0.3 to 3x the arc's resistance."""
    def fill(rng, values, log_lo, log_hi):
        magnitude = arc_r * _log_uniform(rng, *DIFFUSION_MAGNITUDE)
        values[index] = magnitude * math.sqrt(TWO_PI * 10.0 ** log_lo / 2.0)
    return fill


def _bend_filler(index, arc_log_f):
    """Puts the finite-length bend in the lower half of the window, below its arc."""
    def fill(rng, values, log_lo, log_hi):
        top = max(log_lo, min(0.5 * (log_lo + log_hi), arc_log_f))
        values[index] = _tau(rng.uniform(log_lo, top))
    return fill


def _inductance_filler(rng, values, log_lo, log_hi):
    """L0 whose reactance at fmax is 0.05 to 20 times R0 (values[1])."""
    values[0] = values[1] * _log_uniform(rng, 0.05, 20.0) / (TWO_PI * 10.0 ** log_hi)


def layout_of(rng, key):
    """Values and features for built-in topology `key` (without its L0 when it has one)."""
    base = key.removesuffix("_l")
    if base == "rc":
        (a,) = draw_arcs(rng, 1, ideal=True)
        return Layout([series_resistance(rng, a), a.r, a.coefficient], [a])
    if base == "rq":
        (a,) = draw_arcs(rng, 1, ideal=False)
        return Layout([series_resistance(rng, a), a.r, a.coefficient, a.alpha], [a])
    if base == "two_rc":
        a, b = draw_arcs(rng, 2, ideal=True)
        return Layout([series_resistance(rng, a), a.r, a.coefficient, b.r, b.coefficient], [a, b])
    if base == "two_rq":
        a, b = draw_arcs(rng, 2, ideal=False)
        return Layout([series_resistance(rng, a), a.r, a.coefficient, a.alpha,
                       b.r, b.coefficient, b.alpha], [a, b])
    if base == "randles":
        (a,) = draw_arcs(rng, 1, ideal=False)
        return Layout([series_resistance(rng, a), a.r, math.nan, a.coefficient, a.alpha], [a],
                      diffusion=True, fill=[_warburg_filler(2, a.r)])
    if base == "sei_randles":
        a, b = draw_arcs(rng, 2, ideal=False)
        return Layout([series_resistance(rng, a), a.r, a.coefficient, a.alpha, b.r, math.nan,
                       b.coefficient, b.alpha], [a, b], diffusion=True,
                      fill=[_warburg_filler(5, b.r)])
    if base == "sei_randles_wo":
        a, b = draw_arcs(rng, 2, ideal=False)
        z0 = b.r * _log_uniform(rng, *DIFFUSION_MAGNITUDE)
        return Layout([series_resistance(rng, a), a.r, a.coefficient, a.alpha, b.r, z0, math.nan,
                       b.coefficient, b.alpha], [a, b], diffusion=True,
                      fill=[_bend_filler(6, b.log_f)])
    raise KeyError(key)


def _arc_margin(arc):
    # A depressed arc spreads over more decades; show most of it.
    return 0.7 + 1.5 * (1.0 - arc.alpha)


def sample_window(rng, layout: Layout):
    """(log10 fmin, log10 fmax): the features with margins, sometimes cut at one end."""
    fast, slow = layout.arcs[0], layout.arcs[-1]
    hi = fast.log_f + _arc_margin(fast)
    lo = (slow.log_f - rng.uniform(*DIFFUSION_REACH) if layout.diffusion
          else slow.log_f - _arc_margin(slow))
    span = max(hi - lo, rng.uniform(*WINDOW_DECADES))
    lo -= rng.uniform(0.0, span - (hi - lo))
    hi = lo + span
    if rng.uniform() < CUT_SHARE:
        # Cut into the slowest or the fastest feature, as short measurements do.
        if rng.uniform() < 0.7:
            lo = max(lo, slow.log_f + rng.uniform(-0.5, 0.5))
        else:
            hi = min(hi, fast.log_f + rng.uniform(-0.5, 0.5))
        if hi - lo < MIN_WINDOW:
            lo = hi - MIN_WINDOW
    return lo, hi


# What a richer circuit adds in series, by kind; each returns (notation, values).
def _extra_arc(rng, layout, log_lo, log_hi):
    taken = [a.log_f for a in layout.arcs]
    for _ in range(20):
        log_f = rng.uniform(log_lo, log_hi)
        if min(abs(log_f - t) for t in taken) >= MIN_ARC_GAP:
            break
    arc = Arc(layout.arcs[0].r * _log_uniform(rng, 0.05, 2.0), log_f, rng.uniform(*ALPHA_RANGE))
    n = EXTRA_LABEL
    return f"(R{n},CPE{n})", [arc.r, arc.coefficient, arc.alpha]


def _extra_diffusion(rng, layout, log_lo, log_hi):
    magnitude = layout.arcs[-1].r * _log_uniform(rng, *DIFFUSION_MAGNITUDE)
    return f"W{EXTRA_LABEL}", [magnitude * math.sqrt(TWO_PI * 10.0 ** log_lo / 2.0)]


def _extra_loop(rng, layout, log_lo, log_hi):
    # (R, L) in parallel: an inductive loop centred at a frequency inside the window.
    r = layout.arcs[0].r * _log_uniform(rng, 0.05, 0.5)
    log_f = rng.uniform(log_lo, 0.5 * (log_lo + log_hi))
    n = EXTRA_LABEL
    return f"(R{n},L{n})", [r, r / (TWO_PI * 10.0 ** log_f)]


EXTRAS = {"arc": _extra_arc, "diffusion": _extra_diffusion, "loop": _extra_loop}


def extra_kinds(key):
    """Richer-circuit additions that `key` cannot represent (no second tail)."""
    has_diffusion = key in ("randles", "sei_randles", "sei_randles_wo")
    return tuple(k for k in EXTRAS if not (has_diffusion and k == "diffusion"))


def add_artefacts(rng, frequencies, z, with_tail):
    """Inductive tail (when the topology has no L), outliers and low-frequency drift."""
    z = z.copy()
    omega = TWO_PI * frequencies
    if with_tail and rng.uniform() < TAIL_SHARE:
        at_top = np.argmax(frequencies)
        reactance = abs(z[at_top]) * _log_uniform(rng, 0.05, 2.0)
        z += 1j * omega * reactance / omega[at_top]
    if rng.uniform() < DRIFT_SHARE:
        # The slowest points take longest to measure: the cell drifts meanwhile.
        lowest = np.argmin(frequencies)
        drift = abs(z[lowest]) * rng.uniform(0.01, 0.05) * rng.choice([-1.0, 1.0])
        z += drift * (frequencies[lowest] / frequencies)
    if rng.uniform() < OUTLIER_SHARE:
        picks = rng.choice(len(z), size=int(rng.integers(1, 4)), replace=False)
        z[picks] *= 1.0 + rng.uniform(0.05, 0.3, len(picks)) * np.exp(
            1j * rng.uniform(0, TWO_PI, len(picks)))
    return z


@dataclass
class BroadSpectrum(Spectrum):
    """A spectrum with its circuit; `values` are true values unless `richer`.

    For a richer spectrum `values` holds the topology's part of the richer
    circuit (the start of the best-fit search) and `circuit` the richer circuit.
    """
    circuit: str = ""
    richer: bool = False


def sample_spectrum(rng, key: str, circuit: str, noise=None, richer=None) -> BroadSpectrum:
    """One spectrum of topology `key`; noise is drawn from 0-5 % unless given.

    `richer` None draws it with probability RICHER_SHARE.
    """
    layout = layout_of(rng, key)
    log_lo, log_hi = sample_window(rng, layout)
    inductive = key.endswith("_l")
    base_values = list(layout.values)
    for fill in layout.fill:
        fill(rng, base_values, log_lo, log_hi)
    values = ([math.nan] if inductive else []) + base_values
    if inductive:
        _inductance_filler(rng, values, log_lo, log_hi)
    richer = rng.uniform() < RICHER_SHARE if richer is None else richer
    full_circuit, full_values = circuit, list(values)
    if richer:
        kind = extra_kinds(key)[int(rng.integers(len(extra_kinds(key))))]
        notation, extra = EXTRAS[kind](rng, layout, log_lo, log_hi)
        full_circuit, full_values = f"{circuit}-{notation}", values + extra
    f = sample_frequencies(rng, log_lo, log_hi)
    z = simulate(full_circuit, full_values, f)
    sigma = rng.uniform(0.0, NOISE_MAX) if noise is None else noise
    z = add_artefacts(rng, f, add_noise(rng, z, sigma), with_tail=not inductive)
    return BroadSpectrum(f, z, np.asarray(values), circuit=full_circuit, richer=richer)
