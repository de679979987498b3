"""Synthetic impedance spectra with known parameters, one sampler per topology.

Every spectrum is computed by kovrant itself through `simulate`. Parameters
are drawn so that each feature of the circuit (arcs, the high-frequency
resistance, the inductive tail, the diffusion tail) shows inside the window.
Identical groups are labelled in a canonical order: arc 1 is the faster one
(higher characteristic frequency).
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

TWO_PI = 2.0 * math.pi
MIN_POINTS = 20
MAX_POINTS = 200
MAX_DECADES = 10.0
MIN_DECADES = 3.0


def simulate(circuit: str, values, frequencies) -> np.ndarray:
    """Complex impedance of `circuit` with `values` at `frequencies` (Hz), by kovrant."""
    import kovrant

    model = kovrant.Circuit(circuit).with_values([float(v) for v in values])
    return np.asarray(model.impedance([float(f) for f in frequencies]), dtype=np.complex128)


@dataclass
class Draw:
    """Parameters of one circuit and where its features lie on the log10(f) axis."""
    values: list[float]
    feature_lo: float  # log10 Hz of the slowest feature
    feature_hi: float  # log10 Hz of the fastest feature
    margin_lo: float  # decades the window must extend below feature_lo
    margin_hi: float  # decades the window must extend above feature_hi
    inductive: bool = False  # an L0 value is still to be set from the window


def _log_uniform(rng, lo, hi):
    return 10.0 ** rng.uniform(math.log10(lo), math.log10(hi))


def _alpha(rng):
    return rng.uniform(0.5, 1.0)


def _arc_margin(alpha):
    # A depressed arc spreads over more decades; show its plateau on each side.
    return 1.0 + 2.0 * (1.0 - alpha)


def _arc_frequency(rng):
    return rng.uniform(-2.0, 5.0)


def _arc_resistance(rng):
    return _log_uniform(rng, 0.1, 1e4)


def _series_resistance(rng, r1):
    return r1 * 10.0 ** rng.uniform(-1.0, 1.3)


def _tau(log_f):
    return 1.0 / (TWO_PI * 10.0 ** log_f)


def _rc_arc(rng, log_f):
    r = _arc_resistance(rng)
    return r, _tau(log_f) / r


def _rq_arc(rng, log_f, alpha, r=None):
    r = _arc_resistance(rng) if r is None else r
    return r, _tau(log_f) ** alpha / r, alpha


def _second_arc_offset(rng, alpha_fast, alpha_slow):
    # Depressed arcs need a wider gap to stay two arcs.
    least = 1.0 + 2.0 * (1.0 - min(alpha_fast, alpha_slow))
    return least + rng.uniform(0.0, 2.5)


def _diffusion_offset(rng):
    return rng.uniform(0.5, 3.0)


def draw_rc(rng):
    lf = _arc_frequency(rng)
    r1, c1 = _rc_arc(rng, lf)
    return Draw([_series_resistance(rng, r1), r1, c1], lf, lf, 1.0, 1.0)


def draw_rq(rng):
    lf, alpha = _arc_frequency(rng), _alpha(rng)
    r1, q1, a1 = _rq_arc(rng, lf, alpha)
    m = _arc_margin(alpha)
    return Draw([_series_resistance(rng, r1), r1, q1, a1], lf, lf, m, m)


def draw_two_rc(rng):
    lf1 = _arc_frequency(rng)
    lf2 = lf1 - _second_arc_offset(rng, 1.0, 1.0)
    r1, c1 = _rc_arc(rng, lf1)
    r2 = r1 * 10.0 ** rng.uniform(-1.0, 1.0)
    c2 = _tau(lf2) / r2
    return Draw([_series_resistance(rng, r1), r1, c1, r2, c2], lf2, lf1, 1.0, 1.0)


def _two_arcs(rng):
    a1, a2 = _alpha(rng), _alpha(rng)
    lf1 = _arc_frequency(rng)
    lf2 = lf1 - _second_arc_offset(rng, a1, a2)
    r1, q1, _ = _rq_arc(rng, lf1, a1)
    r2 = r1 * 10.0 ** rng.uniform(-1.0, 1.0)
    _, q2, _ = _rq_arc(rng, lf2, a2, r=r2)
    return (r1, q1, a1, lf1), (r2, q2, a2, lf2)


def draw_two_rq(rng):
    (r1, q1, a1, lf1), (r2, q2, a2, lf2) = _two_arcs(rng)
    return Draw([_series_resistance(rng, r1), r1, q1, a1, r2, q2, a2],
                lf2, lf1, _arc_margin(a2), _arc_margin(a1))


def _warburg_coefficient(r, log_f_arc, rng):
    """aw whose diffusion magnitude equals r below the arc; returns (aw, log10 f)."""
    log_f_w = log_f_arc - _diffusion_offset(rng)
    omega_w = TWO_PI * 10.0 ** log_f_w
    return r * math.sqrt(omega_w / 2.0), log_f_w


def draw_randles(rng):
    lf, alpha = _arc_frequency(rng), _alpha(rng)
    r1, q1, a1 = _rq_arc(rng, lf, alpha)
    aw, lf_w = _warburg_coefficient(r1, lf, rng)
    return Draw([_series_resistance(rng, r1), r1, aw, q1, a1], lf_w, lf, 0.5,
                _arc_margin(alpha))


def draw_sei_randles(rng):
    (r1, q1, a1, lf1), (r2, q2, a2, lf2) = _two_arcs(rng)
    aw, lf_w = _warburg_coefficient(r2, lf2, rng)
    return Draw([_series_resistance(rng, r1), r1, q1, a1, r2, aw, q2, a2], lf_w, lf1, 0.5,
                _arc_margin(a1))


def draw_sei_randles_wo(rng):
    (r1, q1, a1, lf1), (r2, q2, a2, lf2) = _two_arcs(rng)
    z0 = r2 * 10.0 ** rng.uniform(-1.0, 1.0)
    lf_t = lf2 - _diffusion_offset(rng)
    tau_w = 1.0 / (TWO_PI * 10.0 ** lf_t)
    return Draw([_series_resistance(rng, r1), r1, q1, a1, r2, z0, tau_w, q2, a2], lf_t, lf1,
                0.7, _arc_margin(a1))


def _with_inductor(draw_base):
    def draw(rng):
        base = draw_base(rng)
        return Draw([math.nan] + base.values, base.feature_lo, base.feature_hi, base.margin_lo,
                    max(base.margin_hi, 1.0), inductive=True)
    return draw


DRAWS = {
    "rc": draw_rc,
    "rc_l": _with_inductor(draw_rc),
    "rq": draw_rq,
    "rq_l": _with_inductor(draw_rq),
    "two_rc": draw_two_rc,
    "two_rc_l": _with_inductor(draw_two_rc),
    "two_rq": draw_two_rq,
    "two_rq_l": _with_inductor(draw_two_rq),
    "randles": draw_randles,
    "sei_randles": draw_sei_randles,
    "sei_randles_wo": draw_sei_randles_wo,
}


def sample_window(rng, draw: Draw, cut_slowest: bool = False):
    """(log10 fmin, log10 fmax) covering every feature with its margins.

    With `cut_slowest` the window ends exactly at the slowest feature, so that
    feature shows only by half.
    """
    lo = draw.feature_lo - draw.margin_lo
    hi = draw.feature_hi + draw.margin_hi
    needed = hi - lo
    span = rng.uniform(max(MIN_DECADES, needed), max(MAX_DECADES, needed))
    below = rng.uniform(0.0, span - needed)
    lo -= below
    hi += span - needed - below
    if cut_slowest:
        lo = draw.feature_lo
    return lo, hi


def set_inductance(rng, values, log_fmax):
    """L0 whose reactance at fmax is 0.5 to 20 times the series resistance R0."""
    reactance = values[1] * _log_uniform(rng, 0.5, 20.0)
    values[0] = reactance / (TWO_PI * 10.0 ** log_fmax)


def sample_frequencies(rng, log_lo, log_hi):
    """Log-spaced points (20 to 200), descending, ascending or shuffled."""
    n = int(rng.integers(MIN_POINTS, MAX_POINTS + 1))
    f = np.logspace(log_lo, log_hi, n)
    order = rng.uniform()
    if order < 0.5:
        return f[::-1].copy()
    if order < 0.8:
        return f
    return rng.permutation(f)


def add_noise(rng, z, sigma):
    """Gaussian noise of standard deviation sigma*|Z| on each of Re and Im."""
    scale = sigma * np.abs(z)
    return z + scale * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z)))


@dataclass
class Spectrum:
    frequencies: np.ndarray
    impedances: np.ndarray
    values: np.ndarray


def sample_spectrum(rng, key: str, circuit: str, noise=None, cut_slowest=False) -> Spectrum:
    """One noisy spectrum of topology `key`; noise is drawn from 0-3 % unless given."""
    draw = DRAWS[key](rng)
    log_lo, log_hi = sample_window(rng, draw, cut_slowest)
    values = list(draw.values)
    if draw.inductive:
        set_inductance(rng, values, log_hi)
    f = sample_frequencies(rng, log_lo, log_hi)
    z = simulate(circuit, values, f)
    sigma = rng.uniform(0.0, 0.03) if noise is None else noise
    return Spectrum(f, add_noise(rng, z, sigma), np.asarray(values))
