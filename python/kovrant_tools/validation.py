"""Linear Kramers-Kronig test of a measured spectrum (Boukamp 1995; Schönleber et al. 2014).

The spectrum is fitted with an ohmic resistance and M RC elements whose time
constants are fixed and log-spaced from 1/(2 pi f_max) to 1/(2 pi f_min), plus
optionally a series capacitance and inductance. The model is linear in the
resistances, so one weighted linear least-squares solve per M suffices.
Weights are 1/|Z|, so the residuals are relative to |Z|.

Series capacitance and inductance: by default the test chooses them. It runs
all four models (neither, capacitance, inductance, both) and keeps the one
with the lowest pseudo chi-square times 2 to the power of the number of series
terms, so a term is kept only when it halves the misfit, and only when its
fitted value is positive (a negative inductance or capacitance is no physical
cable or blocking electrode). Cable inductance at high frequency and a
blocking electrode's capacitive tail are otherwise read as violations of
causality. `capacitance=`/`inductance=` True or False force a term in or out.

M grows from 1 until the mu criterion of Schönleber et al.,
mu = 1 - sum(|R_k|, R_k < 0) / sum(|R_k|, R_k >= 0), falls below `mu_limit`
(0.85): from there on the fit starts to follow noise with resistances of both
signs, so more elements would only over-fit. On sharp, noise-free spectra mu
also dips while the time-constant grid is merely too coarse; such a dip is
passed over when one of the next five element counts still halves the pseudo
chi-square.

Verdict: the spectrum passes when the root-mean-square relative residual,
sqrt(pseudo chi-square / 2N), is at most `threshold` (default 0.01, i.e. 1 %),
and no point is flagged. A point is flagged when its real or imaginary
residual exceeds four robust standard deviations of all residuals
(1.4826 times their median absolute value), and never when both stay within
`threshold`.
"""

from __future__ import annotations

import dataclasses
import functools
import math
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from .spectrum import as_arrays

if TYPE_CHECKING:
    from .spectrum import SpectrumLike

_ROBUST_SIGMA = 1.4826  # median absolute deviation -> standard deviation for normal noise
_FLAG_SIGMAS = 4.0
_LOOKAHEAD = 5  # element counts looked ahead before a dip of mu is taken as over-fitting


@dataclass(frozen=True, repr=False)
class KramersKronigResult:
    """Outcome of `kramers_kronig`: the fit, residuals per point and the verdict."""

    frequencies: np.ndarray        # Hz, as given
    impedances: np.ndarray         # measured, ohm
    fitted: np.ndarray             # the KK-compliant model at the same frequencies, ohm
    residuals_real: np.ndarray     # (Z' - Z'_fit) / |Z|
    residuals_imag: np.ndarray     # (Z'' - Z''_fit) / |Z|
    pseudo_chi_square: float       # sum of the squared real and imaginary residuals
    n_elements: int                # M, the number of RC elements used
    mu: float                      # the mu criterion at M
    time_constants: np.ndarray     # s, the M fixed tau_k
    resistances: np.ndarray        # ohm, the M fitted R_k
    series_resistance: float       # ohm
    capacitance: float | None      # F, None when not fitted (inf when the fit finds no capacitive part)
    inductance: float | None       # H, None when not fitted
    threshold: float
    flagged: np.ndarray            # bool per point: residual beyond the flag limit
    automatic: bool = False        # whether the test chose the series capacitance and inductance itself

    @property
    def rms(self):
        """Root-mean-square relative residual, sqrt(pseudo chi-square / 2N)."""
        return float(np.sqrt(self.pseudo_chi_square / (2 * self.frequencies.size)))

    @property
    def passed(self):
        """True when the rms residual is within the threshold and no point is flagged."""
        return bool(self.rms <= self.threshold and not self.flagged.any())

    @property
    def series_terms(self):
        """The series terms of the model, in words: 'series capacitance and inductance', ..., or 'no series terms'."""
        terms = [name for name, value in (("capacitance", self.capacitance), ("inductance", self.inductance))
                 if value is not None]
        text = "series " + " and ".join(terms) if terms else "no series terms"
        return text + (" (chosen automatically)" if self.automatic else "")

    @property
    def verdict(self):
        """'valid' or 'invalid', with the reason, as one line."""
        if self.passed:
            return f"valid: rms residual {self.rms:.2%} <= {self.threshold:.2%}, no point flagged"
        if not np.isfinite(self.rms):
            return ("invalid: the Kramers-Kronig model gives no finite residuals (frequencies "
                    f"{self.frequencies.min():.3g} to {self.frequencies.max():.3g} Hz)")
        reasons = []
        if self.rms > self.threshold:
            reasons.append(f"rms residual {self.rms:.2%} > {self.threshold:.2%}")
        if self.flagged.any():
            reasons.append(f"{int(self.flagged.sum())} of {self.flagged.size} points flagged")
        return "invalid: " + ", ".join(reasons)

    def __repr__(self):
        return (f"KramersKronigResult({self.verdict}; {self.series_terms}, M={self.n_elements}, mu={self.mu:.3f}, "
                f"pseudo chi-square={self.pseudo_chi_square:.3g})")


def _design(omega, taus, inductance_first):
    """Model columns, real-part rows over imaginary-part rows: series R, the RC elements, then 1/C and L
    (L and 1/C with `inductance_first`)."""
    n, m = omega.size, taus.size
    design = np.zeros((2 * n, m + 3))
    # 1/(1 + j wt) split into parts in forms that stay finite when wt overflows or underflows
    # (spectra spanning hundreds of decades): 1/(1 + wt^2) and -1/(wt + 1/wt).
    with np.errstate(over="ignore", divide="ignore", under="ignore"):
        wt = np.multiply.outer(omega, taus)
        design[:n, 1:m + 1] = 1.0 / (1.0 + wt * wt)
        design[n:, 1:m + 1] = -1.0 / (wt + 1.0 / wt)
    design[:n, 0] = 1.0
    capacitance_column, inductance_column = (m + 2, m + 1) if inductance_first else (m + 1, m + 2)
    design[n:, capacitance_column] = -1.0 / omega
    design[n:, inductance_column] = omega
    return design


class _Fits:
    """Weighted least-squares fits of the test's model for each M and choice of series terms.

    A Householder QR of [A | b] holds the fit of every leading block of A's
    columns (its first k rows of the last column are Q^T b for the first k
    columns, the rest the residual), so one factorization per M, with the
    columns ordered series R, RC elements, 1/C, L, serves the models without
    terms, with the capacitance and with both; a second, with L before 1/C,
    the model with the inductance alone. QR is stable like SVD here and
    several times faster.
    """

    def __init__(self, frequencies, impedances):
        self.omega = 2 * np.pi * frequencies
        weight = 1.0 / np.abs(impedances)
        self.row_weights = np.concatenate([weight, weight])[:, None]
        self.target = np.concatenate([impedances.real * weight, impedances.imag * weight])
        self.tau_low, self.tau_high = 1.0 / self.omega.max(), 1.0 / self.omega.min()
        self._factors, self._fits = {}, {}

    def _factor(self, m, inductance_first):
        if (m, inductance_first) not in self._factors:
            self._factors[m, inductance_first] = self._factorize(m, inductance_first)
        return self._factors[m, inductance_first]

    def _factorize(self, m, inductance_first):
        taus = np.geomspace(self.tau_low, self.tau_high, m) if m > 1 else np.array([np.sqrt(self.tau_low *
                                                                                             self.tau_high)])
        design = _design(self.omega, taus, inductance_first)
        system = np.empty((design.shape[0], design.shape[1] + 1))
        np.multiply(design, self.row_weights, out=system[:, :-1])
        system[:, -1] = self.target
        return taus, design, system, np.linalg.qr(system, mode="r")

    def fit(self, m, capacitance, inductance):
        """(time constants, design columns, coefficients, misfit) with M = m and the terms given."""
        if (m, capacitance, inductance) not in self._fits:
            self._fits[m, capacitance, inductance] = self._solve(m, capacitance, inductance)
        return self._fits[m, capacitance, inductance]

    def _solve(self, m, capacitance, inductance):
        taus, design, system, r = self._factor(m, inductance and not capacitance)
        k = 1 + m + capacitance + inductance
        try:
            coefficients = np.linalg.solve(r[:k, :k], r[:k, -1])
            misfit = float(r[k:, -1] @ r[k:, -1])
        except np.linalg.LinAlgError:  # exactly dependent columns: let SVD pick the minimum-norm answer
            coefficients = np.linalg.lstsq(system[:, :k], self.target, rcond=None)[0]
            misfit = float(np.sum((system[:, :k] @ coefficients - self.target) ** 2))
        return taus, design[:, :k], coefficients, misfit


def _mu(resistances):
    positive = resistances[resistances >= 0].sum()
    negative = -resistances[resistances < 0].sum()
    return 1.0 - negative / positive if positive > 0 else -np.inf


def kramers_kronig(spectrum: SpectrumLike, *, capacitance: bool | None = None, inductance: bool | None = None,
                   mu_limit: float = 0.85, max_elements: int | None = None,
                   threshold: float = 0.01) -> KramersKronigResult:
    """Linear Kramers-Kronig test of `spectrum` (any form `as_arrays` accepts).

    `capacitance`/`inductance`: True adds a series capacitance/inductance to
    the model (for blocking electrodes and cable inductance), False leaves it
    out, None (the default) lets the test choose as the module documentation
    describes; `result.series_terms` says what was used. The number of RC
    elements grows from 1 until mu < `mu_limit`, at most `max_elements`
    (default and largest: the number of points). `threshold`: the largest rms
    relative residual of a valid spectrum, finite and positive. Returns a
    `KramersKronigResult`; see the module documentation for the verdict and
    the flagging rule.
    """
    frequencies, impedances = as_arrays(spectrum)
    if np.unique(frequencies).size < 3:
        raise ValueError("the Kramers-Kronig test needs at least 3 distinct frequencies, got "
                         f"{np.unique(frequencies).size}")
    bad = ~(np.isfinite(frequencies) & np.isfinite(impedances) & (frequencies > 0) & (impedances != 0))
    if bad.any():
        index = int(np.flatnonzero(bad)[0])
        raise ValueError(f"point {index} has frequency {frequencies[index]} and impedance {impedances[index]}; "
                         "expected a finite positive frequency and a finite non-zero impedance")
    if not 0 < mu_limit <= 1:
        raise ValueError(f"mu_limit must lie in (0, 1], got {mu_limit}")
    if not (math.isfinite(threshold) and threshold > 0):
        raise ValueError(f"threshold must be a finite positive number, got {threshold}")
    max_elements = frequencies.size if max_elements is None else int(max_elements)
    if not 1 <= max_elements <= frequencies.size:
        raise ValueError(f"max_elements must lie between 1 and the number of points ({frequencies.size}), "
                         f"got {max_elements}")
    for name, value in (("capacitance", capacitance), ("inductance", inductance)):
        if value not in (None, True, False):
            raise ValueError(f"{name} must be True, False or None (chosen by the test), got {value!r}")
    test = functools.partial(_test, _Fits(frequencies, impedances), frequencies, impedances, mu_limit=mu_limit,
                             max_elements=max_elements, threshold=threshold)
    if capacitance is not None and inductance is not None:
        return test(capacitance=capacitance, inductance=inductance)
    choices = [(c, i) for c in ((False, True) if capacitance is None else (capacitance,))
               for i in ((False, True) if inductance is None else (inductance,))]
    candidates = [test(capacitance=c, inductance=i) for c, i in choices]

    def kept(result, choice):
        # A term the test adds must be positive: a negative one is no cable or blocking electrode.
        c, i = choice
        return ((capacitance is not None or not c or result.capacitance > 0)
                and (inductance is not None or not i or result.inductance > 0))

    # Misfits below an rms of a hundredth of the threshold count as equal: halving noise-free rounding is no gain.
    floor = 2 * frequencies.size * (threshold / 100) ** 2

    def score(result):
        # Each series term must at least halve the misfit to be worth its place.
        terms = (result.capacitance is not None) + (result.inductance is not None)
        return max(result.pseudo_chi_square, floor) * 2.0 ** terms

    best = min((r for r, choice in zip(candidates, choices) if kept(r, choice)), key=score)
    return dataclasses.replace(best, automatic=True)


def _test(fits, frequencies, impedances, *, capacitance, inductance, mu_limit, max_elements, threshold):
    """The test with the series terms given."""

    def fit(m):
        return fits.fit(m, capacitance, inductance)

    def settled(m):
        # A dip of mu while more elements still halve the misfit is a coarse grid, not over-fitting.
        best_ahead = min(fit(k)[3] for k in range(m + 1, min(m + _LOOKAHEAD, max_elements) + 1))
        return best_ahead >= 0.5 * fit(m)[3]

    m = next((m for m in range(1, max_elements + 1)
              if _mu(fit(m)[2][1:m + 1]) < mu_limit and (m == max_elements or settled(m))), max_elements)
    taus, design, coefficients, _ = fit(m)
    mu = _mu(coefficients[1:m + 1])
    model = design @ coefficients
    fitted = model[:frequencies.size] + 1j * model[frequencies.size:]
    weight = 1.0 / np.abs(impedances)
    residuals_real = (impedances.real - fitted.real) * weight
    residuals_imag = (impedances.imag - fitted.imag) * weight
    both = np.concatenate([residuals_real, residuals_imag])
    flag_limit = max(_FLAG_SIGMAS * _ROBUST_SIGMA * np.median(np.abs(both)), threshold)
    extra = iter(coefficients[m + 1:])
    inverse_capacitance = next(extra) if capacitance else None
    return KramersKronigResult(
        frequencies=frequencies, impedances=impedances, fitted=fitted,
        residuals_real=residuals_real, residuals_imag=residuals_imag,
        pseudo_chi_square=float(both @ both), n_elements=m, mu=float(mu), time_constants=taus,
        resistances=coefficients[1:m + 1], series_resistance=float(coefficients[0]),
        capacitance=None if inverse_capacitance is None else
        (float(1.0 / inverse_capacitance) if inverse_capacitance != 0 else float("inf")),
        inductance=float(next(extra)) if inductance else None,
        threshold=float(threshold),
        flagged=(np.abs(residuals_real) > flag_limit) | (np.abs(residuals_imag) > flag_limit),
    )

