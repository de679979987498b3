"""Distribution of relaxation times (DRT) of one impedance spectrum.

The spectrum is modelled as a series resistance, a series inductance and a
continuum of RC processes:

    Z(f) = R_inf + j*2*pi*f*L + integral gamma(ln tau) / (1 + j*2*pi*f*tau) d(ln tau),

with the time constant tau = 1/(2*pi*f) in seconds (not 1/f) and gamma in
ohm. gamma is a sum of Gaussians on a log tau grid (`drt_basis`), fitted by
Tikhonov-regularised least squares on residuals weighted by 1/|Z|, with
gamma >= 0 unless `signed=True`. The regularisation strength is chosen from
the data (generalised cross-validation by default). The band is the
Bayesian posterior of this model (the penalty is a Gaussian prior);
`method="bootstrap"` re-solves on resampled residuals instead.
"""
from __future__ import annotations

import json
import math
import statistics
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Literal

import numpy as np

from .drt_basis import Basis, kernel_matrix, make_basis, penalty_matrix
from .drt_peaks import CircuitStart, DrtPeak, circuit_start, find_peaks
from .drt_peaks import refine_peaks as _refined_peaks
from .spectrum import as_arrays

if TYPE_CHECKING:
    from .spectrum import SpectrumLike

METHODS = ("tikhonov", "bootstrap")
PARTS = ("both", "real", "imag")
RULES = ("gcv", "lcurve", "reim", "evidence")
# Candidate strengths for the automatic rules (the penalty acts on gamma / max|Z|).
LAMBDA_GRID = np.logspace(-9.0, 1.0, 81)
# Samples of the estimate behind the peak uncertainties of the Gaussian band.
PEAK_SAMPLES = 48
# Relative ridge added to matrices that must be inverted, so that none is singular.
JITTER = 1e-12
SMALLEST_SPECTRUM = 3


@dataclass(frozen=True, eq=False)  # arrays have no single truth value to compare by
class DrtResult:
    """A distribution of relaxation times, its band, peaks and the spectrum it reconstructs.

    tau: the grid of time constants in s, tau = 1/(2 pi f) (a process at tau
    shows near the frequency 1/(2 pi tau), see `frequency`). gamma: the
    distribution in ohm per unit of ln(tau), so that the area under gamma over
    ln(tau) is a resistance. gamma_lower, gamma_upper: the band at `band_level`
    (Gaussian posterior of the regularised fit for "tikhonov", bootstrap
    percentiles for "bootstrap"). peaks: `DrtPeak`s ordered by tau;
    peak_source: "fit" when they were re-measured by a Zarc fit of the
    spectrum, "distribution" when they are measured on gamma.
    series_resistance (ohm) and inductance (H): the fitted R_inf and L.
    polarisation_resistance: the area under gamma (ohm). frequencies,
    impedances: the points fitted; model_impedances: the reconstruction there;
    residuals: (model - measured) / |measured|, complex. regularisation: the
    lambda used; regularisation_rule: how it was chosen ("gcv", "lcurve",
    "reim", "evidence" or "given"). chi_square: sum of squared relative
    residuals of the fitted part(s). warnings: what was dropped or clipped.
    """

    tau: np.ndarray
    gamma: np.ndarray
    gamma_lower: np.ndarray
    gamma_upper: np.ndarray
    band_level: float
    peaks: tuple[DrtPeak, ...]
    peak_source: str
    series_resistance: float
    inductance: float
    polarisation_resistance: float
    frequencies: np.ndarray
    impedances: np.ndarray
    model_impedances: np.ndarray
    residuals: np.ndarray
    regularisation: float
    regularisation_rule: str
    method: str
    part: str
    signed: bool
    chi_square: float
    warnings: tuple[str, ...] = ()
    _basis: Basis | None = field(default=None, repr=False)
    _coefficients: np.ndarray | None = field(default=None, repr=False)

    @property
    def frequency(self) -> np.ndarray:
        """1/(2 pi tau) in Hz for each point of `tau`."""
        return 1.0 / (2.0 * math.pi * self.tau)

    def impedance(self, frequencies) -> np.ndarray:
        """The reconstructed impedance (ohm) at any frequencies (Hz)."""
        frequencies = np.asarray(frequencies, dtype=np.float64).ravel()
        kernel = kernel_matrix(frequencies, self._basis)
        return (self.series_resistance + 2j * math.pi * frequencies * self.inductance
                + kernel @ self._coefficients)

    def to_circuit(self, *, element: str = "zarc", inductance: bool | None = None) -> CircuitStart:
        """A series circuit with one element per positive peak, and its start values.

        element: "zarc" (Zarc<k>: r, tau_k, gamma) or "rcpe" (a parallel
        (R<k>,CPE<k>)). The exponents come from each peak's width (the Zarc
        whose distribution is as wide; 1 for the narrowest). inductance: add L0;
        by default when the fitted inductance is above zero. Returns
        (notation, start) for `kovrant_tools.fit(spectrum, notation,
        start=start)` or `kovrant.Circuit(notation).with_named_values(start)`.
        """
        with_inductance = self.inductance > 0.0 if inductance is None else inductance
        return circuit_start(self.peaks, self.series_resistance,
                             max(self.inductance, 1e-12) if with_inductance else None, element)

    def to_dict(self) -> dict:
        """Plain numbers and lists: settings, fitted series values, peaks and the distribution."""
        return {
            "method": self.method, "part": self.part, "signed": self.signed,
            "regularisation": self.regularisation, "regularisation_rule": self.regularisation_rule,
            "series_resistance": self.series_resistance, "inductance": self.inductance,
            "polarisation_resistance": self.polarisation_resistance, "chi_square": self.chi_square,
            "peak_source": self.peak_source,
            "band_level": self.band_level,
            "peaks": [{"tau": peak.tau, "tau_stderr": peak.tau_stderr, "frequency": peak.frequency,
                       "resistance": peak.resistance, "resistance_stderr": peak.resistance_stderr,
                       "width": peak.width, "width_stderr": peak.width_stderr,
                       "exponent": peak.exponent} for peak in self.peaks],
            "tau": self.tau.tolist(), "gamma": self.gamma.tolist(),
            "gamma_lower": self.gamma_lower.tolist(), "gamma_upper": self.gamma_upper.tolist(),
            "warnings": list(self.warnings),
        }

    def to_json(self) -> str:
        """`to_dict` as JSON text (NaN written as null)."""
        return json.dumps(_without_nan(self.to_dict()), indent=1)


def drt(spectrum: SpectrumLike, *, method: Literal["tikhonov", "bootstrap"] = "tikhonov",
        regularisation: Literal["gcv", "lcurve", "reim", "evidence"] | float = "gcv",
        part: Literal["both", "real", "imag"] = "both", signed: bool = False, order: int = 1, points_per_decade: float = 10.0,
        tau_range: tuple[float, float] | None = None, band_level: float = 0.95, peak_threshold: float = 0.01,
        refine_peaks: bool = True, samples: int = 50, seed: int | None = None) -> DrtResult:
    """The distribution of relaxation times gamma(tau) of a spectrum, with band and peaks.

    tau is the time constant 1/(2 pi f) in s; gamma is in ohm per unit ln(tau).
    spectrum: any spectrum form (`(frequencies, impedances)`, a table with
    battery-data columns, a `Spectrum`). Points with a non-finite value, a
    frequency not above zero or a zero impedance are left out (see `warnings`).

    method: "tikhonov" (one regularised fit; its band is the Bayesian
    posterior of the regularised model, a Gaussian with the penalty at the
    fit's strength as prior and the noise of largest evidence under it,
    around the fit and cut at zero) or
    "bootstrap" (`samples` refits on resampled residuals, each choosing its
    own strength; band and peak uncertainties from their spread). `seed` makes
    the samples behind the peak uncertainties repeatable.
    regularisation: the strength lambda (a number >= 0, acting on gamma /
    max|Z| against residuals relative to |Z|) or the rule that chooses it:
    "gcv" (generalised cross-validation), "lcurve" (largest curvature of the
    L-curve), "reim" (fit real and imaginary parts apart and predict each
    other) or "evidence" (largest marginal likelihood of the Gaussian model).
    part: fit "both" parts, only the "real" or only the "imag"inary part (the
    other series value is then fitted to the remaining part afterwards).
    signed: allow negative gamma (inductive loops) instead of gamma >= 0.
    order: the derivative of gamma that is penalised (0, 1 or 2).
    points_per_decade: Gaussians per decade of tau. tau_range: (smallest,
    largest) tau of the grid, by default the measured 1/(2 pi f) widened by a
    decade each side. band_level: the band's probability. peak_threshold:
    smallest peak height, as a fraction of the largest (and smallest peak
    area, as a fraction of the total).
    refine_peaks: re-measure the peaks by a fit of the spectrum with one Zarc
    per peak, started from them, kept when it fits about as well as the
    distribution (`peak_source` says which was kept; see
    `drt_peaks.refine_peaks`). The distribution itself is never changed.
    """
    _check_options(method, regularisation, part, order, points_per_decade, band_level, peak_threshold, samples)
    frequencies, impedances, notes = _measured_points(spectrum)
    basis = make_basis(frequencies, points_per_decade, tau_range)
    kernel = kernel_matrix(frequencies, basis)
    scale = float(np.max(np.abs(impedances)))
    penalty = penalty_matrix(basis, order)
    penalty_factor = np.linalg.cholesky(penalty + JITTER * np.trace(penalty) / len(penalty) * np.eye(len(penalty)))
    system = _System.build(frequencies, impedances, kernel, scale, part)
    standard = _StandardForm.build(system, penalty_factor)
    if isinstance(regularisation, str):
        if regularisation == "reim" and part != "both":
            raise ValueError(f"regularisation='reim' needs part='both', got part={part!r}")
        strength = (_reim_lambda(frequencies, impedances, kernel, scale, penalty_factor)
                    if regularisation == "reim" else _rule_lambda(standard, regularisation))
        rule = regularisation
        if strength in (LAMBDA_GRID[0], LAMBDA_GRID[-1]):
            notes.append(f"the {rule} rule found no best strength inside {LAMBDA_GRID[0]:g} to {LAMBDA_GRID[-1]:g} "
                         f"and took {strength:g}; the residuals may be dominated by systematic errors (another "
                         "rule, or a given strength, may suit this spectrum better)")
    else:
        strength, rule = float(regularisation), "given"
    solution = system.solve(strength, penalty, signed)
    output = basis.values(basis.output)
    gamma_coefficients = solution[system.nuisance:]
    gamma = scale * output @ gamma_coefficients
    if method == "tikhonov":
        # The band is the posterior of the estimate's own prior, with the noise of largest evidence under it; a
        # strength at an end of the rules' range (or below it) means no rule found one, and the evidence's serves.
        edge = rule != "given" and strength in (LAMBDA_GRID[0], LAMBDA_GRID[-1])
        prior = _rule_lambda(standard, "evidence") if edge or strength < LAMBDA_GRID[0] else strength
        lower, upper, sample_curves = _gaussian_band(system, solution, prior, _evidence_noise(standard, prior),
                                                     penalty, output, scale, band_level, signed, seed)
    else:
        lower, upper, sample_curves = _bootstrap_band(system, standard, solution, strength, rule, penalty,
                                                      output, scale, band_level, signed, samples, seed)
    series_resistance, inductance = system.series_values(solution, kernel @ (scale * gamma_coefficients), signed)
    coefficients = scale * gamma_coefficients
    model = series_resistance + 2j * math.pi * frequencies * inductance + kernel @ coefficients
    residuals = (model - impedances) / np.abs(impedances)
    fitted = {"both": np.concatenate([residuals.real, residuals.imag]), "real": residuals.real,
              "imag": residuals.imag}[part]
    step = basis.output[1] - basis.output[0]
    peaks = find_peaks(gamma, sample_curves, basis.output, peak_threshold, signed)
    peak_source = "distribution"
    if refine_peaks:
        both_parts = float(np.sum(residuals.real ** 2 + residuals.imag ** 2))
        refined = _refined_peaks(peaks, frequencies, impedances, series_resistance, inductance, both_parts)
        if refined is not None:
            peaks, peak_source = refined, "fit"
    return DrtResult(
        tau=np.exp(basis.output), gamma=gamma, gamma_lower=lower, gamma_upper=upper, band_level=band_level,
        peaks=peaks, peak_source=peak_source,
        series_resistance=series_resistance, inductance=inductance,
        polarisation_resistance=float(np.sum(gamma) * step),
        frequencies=frequencies, impedances=impedances, model_impedances=model, residuals=residuals,
        regularisation=strength, regularisation_rule=rule, method=method, part=part, signed=signed,
        chi_square=float(fitted @ fitted), warnings=tuple(notes), _basis=basis, _coefficients=coefficients)


def _check_options(method, regularisation, part, order, points_per_decade, band_level, peak_threshold, samples):
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, got {method!r}")
    if part not in PARTS:
        raise ValueError(f"part must be one of {', '.join(map(repr, PARTS))}, got {part!r}")
    if isinstance(regularisation, str):
        if regularisation not in RULES:
            raise ValueError(f"regularisation must be a number >= 0 or one of {', '.join(map(repr, RULES))}, "
                             f"got {regularisation!r}")
    elif not (isinstance(regularisation, (int, float)) and math.isfinite(regularisation) and regularisation >= 0):
        raise ValueError(f"regularisation must be a finite number >= 0 or a rule name, got {regularisation!r}")
    if order not in (0, 1, 2):
        raise ValueError(f"order must be 0, 1 or 2, got {order!r}")
    if not (math.isfinite(points_per_decade) and 1.0 <= points_per_decade <= 100.0):
        raise ValueError(f"points_per_decade must lie in [1, 100], got {points_per_decade!r}")
    if not 0.0 < band_level < 1.0:
        raise ValueError(f"band_level must lie between 0 and 1, got {band_level!r}")
    if not 0.0 <= peak_threshold < 1.0:
        raise ValueError(f"peak_threshold must lie in [0, 1), got {peak_threshold!r}")
    if not (isinstance(samples, int) and samples >= 2):
        raise ValueError(f"samples must be an integer >= 2, got {samples!r}")


def _measured_points(spectrum):
    frequencies, impedances = as_arrays(spectrum)
    usable = np.isfinite(frequencies) & (frequencies > 0.0) & np.isfinite(impedances) & (impedances != 0.0)
    notes = []
    if not usable.all():
        notes.append(f"left out {int(np.count_nonzero(~usable))} of {usable.size} points with a non-finite value, "
                     "a frequency not above zero or a zero impedance")
    if np.count_nonzero(usable) < SMALLEST_SPECTRUM:
        raise ValueError(f"a distribution of relaxation times needs at least {SMALLEST_SPECTRUM} usable points, "
                         f"got {int(np.count_nonzero(usable))} of {usable.size}")
    return frequencies[usable], impedances[usable], notes


@dataclass
class _System:
    """Weighted, scaled least squares: columns [R_inf?, L?, Gaussians], rows Re and/or Im of (model - Z)/|Z|.

    R_inf and L are unpenalised; R_inf is free, L and the Gaussians are >= 0
    unless signed. Unknowns are in units of max|Z| (L in max|Z| / omega_max).
    """

    matrix: np.ndarray
    target: np.ndarray
    nuisance: int
    has_resistance: bool
    has_inductance: bool
    frequencies: np.ndarray
    impedances: np.ndarray
    scale: float
    omega_max: float

    @classmethod
    def build(cls, frequencies, impedances, kernel, scale, part):
        weight = scale / np.abs(impedances)
        omega = 2.0 * math.pi * frequencies
        omega_max = float(omega.max())
        rows_real, rows_imag = part in ("both", "real"), part in ("both", "imag")
        columns = []
        if rows_real:
            columns.append(np.ones_like(frequencies) + 0j)
        if rows_imag:
            columns.append(1j * omega / omega_max)
        complex_matrix = np.column_stack(columns + [kernel]) * weight[:, None]
        complex_target = impedances / np.abs(impedances)
        blocks = ([complex_matrix.real] if rows_real else []) + ([complex_matrix.imag] if rows_imag else [])
        targets = ([complex_target.real] if rows_real else []) + ([complex_target.imag] if rows_imag else [])
        return cls(matrix=np.vstack(blocks), target=np.concatenate(targets), nuisance=len(columns),
                   has_resistance=rows_real, has_inductance=rows_imag, frequencies=frequencies,
                   impedances=impedances, scale=scale, omega_max=omega_max)

    def normal_equations(self, strength, penalty):
        gram = self.matrix.T @ self.matrix
        gram[self.nuisance:, self.nuisance:] += strength * penalty
        gram[np.diag_indices_from(gram)] += JITTER * max(np.trace(gram) / len(gram), 1e-300)
        return gram

    def bounded(self, signed):
        """Which unknowns must stay >= 0."""
        mask = np.ones(self.matrix.shape[1], dtype=bool)
        if self.has_resistance:
            mask[0] = False
        if signed:
            mask[:] = False
        return mask

    def solve(self, strength, penalty, signed, target=None):
        """The unknowns at one strength (for `target`, by default the measured one)."""
        gram = self.normal_equations(strength, penalty)
        rhs = self.matrix.T @ (self.target if target is None else target)
        return nonnegative_quadratic(gram, rhs, self.bounded(signed))[0]

    def series_values(self, solution, gamma_impedance, signed):
        """(R_inf in ohm, L in H); the one not fitted comes from the other part of the spectrum."""
        weight = 1.0 / np.abs(self.impedances) ** 2
        omega = 2.0 * math.pi * self.frequencies
        if self.has_resistance:
            resistance = float(solution[0] * self.scale)
        else:
            resistance = float(np.sum(weight * (self.impedances.real - gamma_impedance.real)) / np.sum(weight))
        if self.has_inductance:
            inductance = float(solution[self.nuisance - 1] * self.scale / self.omega_max)
        else:
            remainder = self.impedances.imag - gamma_impedance.imag
            inductance = float(np.sum(weight * omega * remainder) / np.sum(weight * omega * omega))
            if not signed:
                inductance = max(inductance, 0.0)
        return resistance, inductance


def nonnegative_quadratic(gram: np.ndarray, rhs: np.ndarray, bounded: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Minimise x'Gx/2 - rhs'x with x[bounded] >= 0 (Lawson-Hanson active set); (x, mask of x not held at 0).

    gram must be symmetric positive definite. Unbounded unknowns stay free
    throughout.
    """
    size = rhs.size
    free = ~bounded.copy()
    x = np.zeros(size)
    if free.any():
        x[free] = np.linalg.solve(gram[np.ix_(free, free)], rhs[free])
    tolerance = 1e-12 * max(float(np.max(np.abs(rhs))), 1e-300)
    for _ in range(3 * size):  # each round frees one unknown; a bound on rounds guards against cycling
        gradient = rhs - gram @ x
        candidates = bounded & ~free & (gradient > tolerance)
        if not candidates.any():
            break
        free[np.flatnonzero(candidates)[np.argmax(gradient[candidates])]] = True
        for _ in range(size):
            trial = np.zeros(size)
            trial[free] = np.linalg.solve(gram[np.ix_(free, free)], rhs[free])
            negative = free & bounded & (trial <= 0.0)
            if not negative.any():
                x = trial
                break
            steps = x[negative] / (x[negative] - trial[negative])
            x = x + float(np.min(steps)) * (trial - x)
            free &= ~(bounded & (x <= tolerance))
            x[~free] = 0.0
    return x, free


@dataclass
class _StandardForm:
    """The unconstrained problem after projecting out R_inf and L, as an SVD in h = Gamma^T g coordinates."""

    singular: np.ndarray
    left: np.ndarray  # left singular vectors
    nuisance_basis: np.ndarray  # orthonormal columns spanning the R_inf and L columns
    beta: np.ndarray
    floor: float  # squared residual no strength can remove
    degrees: int  # rows left after the projection

    @classmethod
    def build(cls, system, penalty_factor):
        nuisance_basis, _ = np.linalg.qr(system.matrix[:, :system.nuisance])
        gaussians = system.matrix[:, system.nuisance:]
        projected = gaussians - nuisance_basis @ (nuisance_basis.T @ gaussians)
        left, singular, _ = np.linalg.svd(np.linalg.solve(penalty_factor, projected.T).T, full_matrices=False)
        form = cls(singular=singular, left=left, nuisance_basis=nuisance_basis, beta=np.empty(0), floor=0.0,
                   degrees=system.matrix.shape[0] - system.nuisance)
        return form.retarget(system.target)

    def retarget(self, target):
        """The same problem with another right-hand side."""
        projected = target - self.nuisance_basis @ (self.nuisance_basis.T @ target)
        beta = self.left.T @ projected
        floor = max(float(projected @ projected - beta @ beta), 0.0)
        return _StandardForm(singular=self.singular, left=self.left, nuisance_basis=self.nuisance_basis,
                             beta=beta, floor=floor, degrees=self.degrees)


def _rule_lambda(standard: _StandardForm, rule: str) -> float:
    """The grid strength that the rule prefers (unconstrained model, as the rules are defined for it)."""
    s2 = standard.singular[None, :] ** 2
    lam = LAMBDA_GRID[:, None]
    shrink = lam / (s2 + lam)
    residual = np.sum((shrink * standard.beta) ** 2, axis=1) + standard.floor
    if rule == "gcv":
        remaining = standard.degrees - np.sum(s2 / (s2 + lam), axis=1)
        score = residual / np.maximum(remaining, 1e-3) ** 2
        return float(LAMBDA_GRID[np.argmin(score)])
    if rule == "evidence":
        # h ~ N(0, sigma^2/lambda), noise N(0, sigma^2), sigma^2 at its maximum for each lambda.
        quadratic = np.sum(standard.beta ** 2 / (1.0 + s2 / lam), axis=1) + standard.floor
        log_evidence = (-0.5 * standard.degrees * np.log(np.maximum(quadratic, 1e-300) / standard.degrees)
                        - 0.5 * np.sum(np.log1p(s2 / lam), axis=1))
        return float(LAMBDA_GRID[np.argmax(log_evidence)])
    # L-curve: the corner is the largest curvature of (log residual, log seminorm) over log lambda.
    seminorm = np.sum((np.sqrt(s2) * standard.beta / (s2 + lam)) ** 2, axis=1)
    rho, eta = np.log(np.maximum(residual, 1e-300)), np.log(np.maximum(seminorm, 1e-300))
    t = np.log(LAMBDA_GRID)
    d_rho, d_eta = np.gradient(rho, t), np.gradient(eta, t)
    dd_rho, dd_eta = np.gradient(d_rho, t), np.gradient(d_eta, t)
    curvature = (d_rho * dd_eta - dd_rho * d_eta) / np.maximum((d_rho ** 2 + d_eta ** 2) ** 1.5, 1e-300)
    return float(LAMBDA_GRID[2:-2][np.argmax(curvature[2:-2])])


def _reim_lambda(frequencies, impedances, kernel, scale, penalty_factor) -> float:
    """The strength whose real-part fit best predicts the imaginary part and vice versa."""
    error = np.zeros(LAMBDA_GRID.size)
    for fitted, predicted in (("real", "imag"), ("imag", "real")):
        source = _System.build(frequencies, impedances, kernel, scale, fitted)
        other = _System.build(frequencies, impedances, kernel, scale, predicted)
        coefficients = _ridge_path(source, penalty_factor)
        prediction = other.matrix[:, other.nuisance:] @ coefficients  # one column per strength
        misfit = other.target[:, None] - prediction
        nuisance = other.matrix[:, :other.nuisance]
        basis_q, _ = np.linalg.qr(nuisance)
        misfit -= basis_q @ (basis_q.T @ misfit)  # its own series value is refitted
        error += np.sum(misfit ** 2, axis=0)
    return float(LAMBDA_GRID[np.argmin(error)])


def _ridge_path(system, penalty_factor):
    """Unconstrained Gaussian coefficients at every grid strength (columns)."""
    nuisance = system.matrix[:, :system.nuisance]
    gaussians = system.matrix[:, system.nuisance:]
    basis_q, _ = np.linalg.qr(nuisance)
    projected = gaussians - basis_q @ (basis_q.T @ gaussians)
    target = system.target - basis_q @ (basis_q.T @ system.target)
    standard = np.linalg.solve(penalty_factor, projected.T).T
    u, singular, vt = np.linalg.svd(standard, full_matrices=False)
    filtered = (singular[:, None] / (singular[:, None] ** 2 + LAMBDA_GRID[None, :])) * (u.T @ target)[:, None]
    return np.linalg.solve(penalty_factor.T, vt.T @ filtered)


def _normal_quantile(level):
    return statistics.NormalDist().inv_cdf(0.5 + 0.5 * level)


def _inverse_factor(matrix):
    """W with W W' = matrix^-1, for a symmetric positive semi-definite matrix (tiny eigenvalues floored)."""
    values, vectors = np.linalg.eigh(matrix)
    floor = JITTER * max(float(values[-1]), 1e-300)
    return vectors / np.sqrt(np.maximum(values, floor))[None, :]


def _evidence_noise(standard, strength):
    """The noise variance of largest marginal likelihood at this prior strength (relative residuals squared)."""
    s2 = standard.singular ** 2
    quadratic = float(np.sum(standard.beta ** 2 / (1.0 + s2 / strength))) + standard.floor
    return quadratic / max(standard.degrees, 1)


def _gaussian_band(system, solution, strength, variance, penalty, output, scale, level, signed, seed):
    """Band and sample curves from the Gaussian posterior of the regularised model around the fit.

    The prior is the penalty at `strength` (gamma ~ N(0, sigma^2 / strength
    R^-1)) and sigma^2 = `variance` the noise of the relative residuals; a
    non-negative fit clips the band and the samples at zero.
    """
    gram = system.normal_equations(strength, penalty)
    factor = _inverse_factor(gram)
    curve_map = scale * output @ factor[system.nuisance:, :]
    spread = math.sqrt(variance) * np.sqrt(np.sum(curve_map ** 2, axis=1))
    gamma = scale * output @ solution[system.nuisance:]
    half = _normal_quantile(level) * spread
    lower, upper = gamma - half, gamma + half
    draws = gamma[None, :] + math.sqrt(variance) * (
        np.random.default_rng(seed).standard_normal((PEAK_SAMPLES, factor.shape[1])) @ curve_map.T)
    if not signed:
        lower, draws = np.maximum(lower, 0.0), np.maximum(draws, 0.0)
    return lower, upper, draws


def _bootstrap_band(system, standard, solution, strength, rule, penalty, output, scale, level, signed, samples,
                    seed):
    """Band and sample curves from refits to the fit plus resampled (inflated) residuals."""
    rng = np.random.default_rng(seed)
    fitted = system.matrix @ solution
    residual = system.target - fitted
    rows = residual.size
    parts = 2 if system.has_resistance and system.has_inductance else 1
    points = rows // parts
    used = min(float(np.count_nonzero(solution)), rows - 1.0)
    residual = residual * math.sqrt(rows / max(rows - used, 1.0))
    curves = np.empty((samples, output.shape[0]))
    for sample in range(samples):
        # Real and imaginary residuals of one frequency travel together.
        pick = rng.integers(0, points, points)
        target = fitted + residual[(np.arange(parts)[:, None] * points + pick[None, :]).ravel()]
        lam = strength
        if rule in ("gcv", "lcurve", "evidence"):
            lam = _rule_lambda(standard.retarget(target), rule)
        refit = system.solve(lam, penalty, signed, target)
        curves[sample] = scale * output @ refit[system.nuisance:]
    tail = 0.5 * (1.0 - level)
    lower, upper = np.quantile(curves, [tail, 1.0 - tail], axis=0)
    return lower, upper, curves


def _without_nan(value):
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {key: _without_nan(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_without_nan(item) for item in value]
    return value
