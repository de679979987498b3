"""Peaks of a distribution of relaxation times, and the series circuit they suggest.

A peak is a local maximum of gamma(ln tau) that reaches `threshold` times the
largest one; its region runs to the lowest points between it and its
neighbours, so the resistances of all peaks add up to the polarisation
resistance. Position, resistance and width are measured the same way on the
estimate and on each of its samples, whose spread gives the uncertainties.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import NamedTuple

import numpy as np

LN10 = math.log(10.0)
# A dip between two maxima must fall this fraction below the lower one for both to count.
MIN_DIP = 0.02
# Exponents a Zarc-shaped peak may take: below 0.3 a peak is no longer one process; at 1 it is a line.
SMALLEST_EXPONENT = 0.3
LARGEST_EXPONENT = 0.995
SHAPE_ITERATIONS = 40
# Refitting the spectrum from the peaks: at most this many Zarcs, each kept within this many decades of its
# peak, and a chi-square at most this many times that of the distribution.
MAX_REFINED_PEAKS = 4
REFINE_SHIFT = 0.5
REFINE_CHI_RATIO = 2.0
REFINE_ITERATIONS = 30


@dataclass(frozen=True)
class DrtPeak:
    """One process: its time constant tau (s), resistance (ohm) and width, with standard errors.

    Each peak is described by the Zarc-shaped distribution fitted to it:
    tau = 1/(2 pi f) is its centre, so the process shows in the spectrum near
    `frequency` = 1/(2 pi tau); resistance is its whole area, tails included
    (negative for a negative peak of a signed distribution); width is its full
    width at half maximum in decades of tau, and exponent the Zarc exponent
    that width belongs to. The *_stderr values are NaN when the method gives
    no spread.
    """

    tau: float
    resistance: float
    width: float
    exponent: float
    tau_stderr: float
    resistance_stderr: float
    width_stderr: float

    @property
    def frequency(self) -> float:
        """1/(2 pi tau) in Hz: where the process shows in the spectrum."""
        return 1.0 / (2.0 * math.pi * self.tau)


class CircuitStart(NamedTuple):
    """A circuit notation and start values by parameter name, for `kovrant_tools.fit(..., start=...)`."""

    notation: str
    start: dict[str, float]


def peak_regions(gamma: np.ndarray, threshold: float) -> list[tuple[int, int, int]]:
    """(first, last, top) index of each positive peak of gamma; first/last bound its region, inclusive."""
    height = float(np.max(gamma, initial=0.0))
    if not height > 0.0:
        return []
    rising = np.diff(gamma)
    tops = [i for i in range(gamma.size)
            if gamma[i] >= threshold * height
            and (i == 0 or rising[i - 1] > 0.0) and (i == gamma.size - 1 or rising[i] <= 0.0)]
    tops = _distinct(gamma, tops)
    regions = []
    start = 0
    for position, top in enumerate(tops):
        if position + 1 < len(tops):
            # The region ends at the lowest point before the next top.
            end = top + int(np.argmin(gamma[top:tops[position + 1] + 1]))
        else:
            end = gamma.size - 1
        regions.append((start, end, top))
        start = end + 1 if end < gamma.size - 1 else end
    return regions


def _distinct(gamma, tops):
    """The tops left once a top whose dip to a neighbour is shallower than MIN_DIP of its height merges into it."""
    merged = True
    while merged and len(tops) > 1:
        merged = False
        for left, right in zip(tops, tops[1:]):
            lower = min(gamma[left], gamma[right])
            if np.min(gamma[left:right + 1]) > (1.0 - MIN_DIP) * lower:
                tops = [top for top in tops if top != (left if gamma[left] < gamma[right] else right)]
                merged = True
                break
    return tops


def peak_measures(samples: np.ndarray, y: np.ndarray, region: tuple[int, int, int]) -> np.ndarray:
    """(tau, resistance, width) of one peak region for each row of `samples` (gamma on the grid `y`).

    Returns an array of shape (rows, 3). tau comes from a parabola through the
    largest point and its neighbours; width is the full width at half maximum
    in decades, with crossings interpolated linearly and cut at the region's
    ends.
    """
    first, last, _ = region
    part = samples[:, first:last + 1]
    grid = y[first:last + 1]
    step = float(y[1] - y[0])
    rows = np.arange(part.shape[0])
    top = np.argmax(part, axis=1)
    inner = np.clip(top, 1, max(part.shape[1] - 2, 1))
    if part.shape[1] >= 3:
        left, centre, right = part[rows, inner - 1], part[rows, inner], part[rows, inner + 1]
        curvature = left - 2.0 * centre + right
        shift = np.where(curvature < 0.0, 0.5 * (left - right) / np.where(curvature < 0.0, curvature, -1.0), 0.0)
        position = grid[inner] + np.clip(shift, -1.0, 1.0) * step
        position = np.where(top == inner, position, grid[top])
    else:
        position = grid[top]
    resistance = part.sum(axis=1) * step  # regions tile the grid, so the areas add up to the total
    half = 0.5 * part[rows, top]
    index = np.arange(part.shape[1])
    below = part < half[:, None]
    left_index = np.where(below & (index < top[:, None]), index, -1).max(axis=1)
    right_index = np.where(below & (index > top[:, None]), index, part.shape[1]).min(axis=1)
    left_edge = _crossing(part, grid, left_index, left_index + 1, half, grid[0])
    right_edge = _crossing(part, grid, right_index, right_index - 1, half, grid[-1])
    width = (right_edge - left_edge) / LN10
    return np.column_stack([np.exp(position), resistance, width])


def _crossing(part, grid, outside, inside, half, end):
    """Where the curve crosses `half` between the points `outside` (below it) and `inside`; `end` if none."""
    found = (outside >= 0) & (outside < part.shape[1])
    outside_c = np.clip(outside, 0, part.shape[1] - 1)
    inside_c = np.clip(inside, 0, part.shape[1] - 1)
    rows = np.arange(part.shape[0])
    low, high = part[rows, outside_c], part[rows, inside_c]
    fraction = np.where(high > low, (half - low) / np.where(high > low, high - low, 1.0), 0.0)
    crossing = grid[outside_c] + fraction * (grid[inside_c] - grid[outside_c])
    return np.where(found, crossing, end)


def zarc_width(exponent: float) -> float:
    """Full width at half maximum, in decades, of a Zarc's distribution: a*y = arccosh(2 + cos(a pi)) there."""
    return 2.0 * math.acosh(2.0 + math.cos(math.pi * exponent)) / exponent / LN10


def _logistic(value):
    return 1.0 / (1.0 + np.exp(-np.clip(value, -50.0, 50.0)))


def _logit(fraction):
    fraction = min(max(fraction, 1e-6), 1.0 - 1e-6)
    return math.log(fraction / (1.0 - fraction))


@dataclass(frozen=True)
class _ShapeModel:
    """A sum of Zarc shapes; per peak the unknowns are ln r, and the centre and exponent mapped into their ranges.

    Each centre stays within its peak's region, so no component wanders off
    to take another peak's place or to the end of the grid.
    """

    y: np.ndarray
    signs: np.ndarray
    centre_low: np.ndarray
    centre_high: np.ndarray

    def decode(self, theta):
        """(resistance, centre, exponent) arrays."""
        log_resistance, centre_raw, exponent_raw = theta.reshape(-1, 3).T
        resistance = self.signs * np.exp(np.minimum(log_resistance, 700.0))
        centre = self.centre_low + (self.centre_high - self.centre_low) * _logistic(centre_raw)
        exponent = SMALLEST_EXPONENT + (LARGEST_EXPONENT - SMALLEST_EXPONENT) * _logistic(exponent_raw)
        return resistance, centre, exponent

    def encode(self, resistance, centre, exponent):
        theta = []
        for index in range(self.signs.size):
            span = self.centre_high[index] - self.centre_low[index]
            theta += [math.log(max(abs(resistance[index]), 1e-300)),
                      _logit((centre[index] - self.centre_low[index]) / span if span > 0 else 0.5),
                      _logit((exponent[index] - SMALLEST_EXPONENT) / (LARGEST_EXPONENT - SMALLEST_EXPONENT))]
        return np.array(theta)

    def components(self, theta):
        """One row per peak: its shape on y."""
        resistance, centre, exponent = self.decode(theta)
        u = self.y[None, :] - centre[:, None]
        with np.errstate(over="ignore"):
            denominator = np.cosh(exponent[:, None] * u) + np.cos(np.pi * exponent)[:, None]
        return (resistance * np.sin(np.pi * exponent) / (2.0 * np.pi))[:, None] / denominator

    def jacobian(self, theta, components):
        """d(sum of shapes)/d theta, analytically, one column per unknown."""
        _, centre, exponent = self.decode(theta)
        _, centre_raw, exponent_raw = theta.reshape(-1, 3).T
        u = self.y[None, :] - centre[:, None]
        a = exponent[:, None]
        with np.errstate(over="ignore", invalid="ignore"):
            denominator = np.cosh(a * u) + np.cos(np.pi * a)
            slope = np.sinh(a * u) / denominator
            d_centre = np.nan_to_num(components * a * slope)
            d_exponent = np.nan_to_num(components * (np.pi / np.tan(np.pi * a) - u * slope
                                                     + np.pi * np.sin(np.pi * a) / denominator))
        centre_gain = _logistic(centre_raw) * (1.0 - _logistic(centre_raw)) * (self.centre_high - self.centre_low)
        exponent_gain = (_logistic(exponent_raw) * (1.0 - _logistic(exponent_raw))
                         * (LARGEST_EXPONENT - SMALLEST_EXPONENT))
        columns = np.stack([components, d_centre * centre_gain[:, None], d_exponent * exponent_gain[:, None]],
                           axis=1)
        return columns.reshape(-1, self.y.size).T

    def fit(self, theta, gamma):
        """Levenberg-Marquardt on the squared gap between gamma and the sum of the shapes; (theta, Jacobian)."""
        components = self.components(theta)
        cost = float(np.sum((components.sum(axis=0) - gamma) ** 2))
        damping = 1e-3
        for _ in range(SHAPE_ITERATIONS):
            jacobian = self.jacobian(theta, components)
            normal = jacobian.T @ jacobian
            gradient = jacobian.T @ (components.sum(axis=0) - gamma)
            improved = False
            floor = 1e-12 * max(float(np.max(np.diag(normal))), 1e-300)
            while damping < 1e12:
                step = np.linalg.solve(normal + damping * np.diag(np.diag(normal) + floor), -gradient)
                trial = theta + step
                trial_components = self.components(trial)
                with np.errstate(over="ignore"):
                    trial_cost = float(np.sum((trial_components.sum(axis=0) - gamma) ** 2))
                if np.isfinite(trial_cost) and trial_cost < cost:
                    improved = cost - trial_cost > 1e-6 * cost
                    theta, components, cost, damping = trial, trial_components, trial_cost, damping / 3.0
                    break
                damping *= 4.0
            if not improved:
                break
        return theta, self.jacobian(theta, components)


def _shares(components, signs):
    """Each peak's share of gamma at each point: its shape over the sum of the shapes of its sign."""
    shares = np.zeros_like(components)
    for sign in (1.0, -1.0):
        mine = signs == sign
        total = components[mine].sum(axis=0)
        shares[mine] = np.divide(components[mine], total, out=np.zeros_like(components[mine]), where=total != 0.0)
    return shares


def rough_peaks(gamma: np.ndarray, y: np.ndarray, threshold: float, signed: bool
                ) -> list[tuple[float, tuple[int, int, int], DrtPeak]]:
    """(sign, region, peak) of each peak, measured directly: tau at the maximum, area of its region, width.

    The exponent is that of the Zarc as wide as the peak; no uncertainties.
    """
    found = []
    for sign in (1.0, -1.0) if signed else (1.0,):
        curve = np.maximum(sign * gamma, 0.0)
        for region in peak_regions(curve, threshold):
            tau, resistance, width = peak_measures(curve[None, :], y, region)[0]
            found.append((sign, region, DrtPeak(tau=float(tau), resistance=float(sign * resistance),
                                                width=float(width), exponent=zarc_exponent(width),
                                                tau_stderr=math.nan, resistance_stderr=math.nan,
                                                width_stderr=math.nan)))
    return found


def find_peaks(gamma: np.ndarray, samples: np.ndarray | None, y: np.ndarray, threshold: float,
               signed: bool) -> tuple[DrtPeak, ...]:
    """Peaks of gamma (and, when `signed`, of -gamma as negative peaks), ordered by tau.

    Each peak found on gamma becomes one Zarc-shaped component, and the
    components are fitted to gamma together. A peak's resistance is its share
    of the area of gamma, split at each point in proportion to the fitted
    shapes: overlapping peaks divide the area between them by their shapes,
    each keeps its own tails, and the resistances add up to the area of gamma
    (of each sign). The spread of `samples` (rows of gamma) gives the standard
    errors, through the linearised shape fit for tau and width.
    """
    found = rough_peaks(gamma, y, threshold, signed)
    if not found:
        return ()
    signs = [sign for sign, _, _ in found]
    regions = [region for _, region, _ in found]
    starts = [(abs(peak.resistance), math.log(peak.tau),
               min(max(peak.exponent, SMALLEST_EXPONENT + 0.01), LARGEST_EXPONENT - 0.01)) for _, _, peak in found]
    model = _ShapeModel(y=y, signs=np.array(signs), centre_low=np.array([y[first] for first, _, _ in regions]),
                        centre_high=np.array([y[last] for _, last, _ in regions]))
    theta, jacobian = model.fit(model.encode(*(np.array(column) for column in zip(*starts))), gamma)
    step = float(y[1] - y[0])
    # Components the fit shrank below the threshold of the total area are left out; the others share their area.
    areas = np.abs(_shares(model.components(theta), model.signs) @ gamma) * step
    kept = np.flatnonzero(areas >= threshold * max(float(areas.sum()), 1e-300))
    if kept.size == 0:
        kept = np.array([int(np.argmax(areas))])
    shares = _shares(model.components(theta)[kept], model.signs[kept])
    resistances = shares @ gamma * step
    spread = np.full(theta.size, math.nan)
    resistance_spread = np.full(len(signs), math.nan)
    if samples is not None and samples.shape[0] > 1:
        # d theta = (J'J)^-1 J' d gamma for each sample's departure from the estimate.
        normal = jacobian.T @ jacobian
        gain = np.linalg.solve(normal + 1e-12 * np.trace(normal) * np.eye(theta.size), jacobian.T)
        spread = np.std((samples - gamma[None, :]) @ gain.T, axis=0).reshape(-1, 3)[kept].ravel()
        resistance_spread = np.std(samples @ shares.T * step, axis=0)
    theta = theta.reshape(-1, 3)[kept].ravel()
    model = _ShapeModel(y=y, signs=model.signs[kept], centre_low=model.centre_low[kept],
                        centre_high=model.centre_high[kept])
    _, centres, exponents = model.decode(theta)
    _, centre_raw, exponent_raw = theta.reshape(-1, 3).T
    centre_gain = _logistic(centre_raw) * (1.0 - _logistic(centre_raw)) * (model.centre_high - model.centre_low)
    exponent_gain = _logistic(exponent_raw) * (1.0 - _logistic(exponent_raw)) * (LARGEST_EXPONENT - SMALLEST_EXPONENT)
    peaks = []
    for index in range(kept.size):
        exponent = float(exponents[index])
        width_slope = (zarc_width(exponent + 1e-6) - zarc_width(exponent)) / 1e-6 * exponent_gain[index]
        tau = math.exp(centres[index])
        peaks.append(DrtPeak(tau=tau, resistance=float(resistances[index]), width=zarc_width(exponent),
                             exponent=exponent, tau_stderr=tau * centre_gain[index] * spread[3 * index + 1],
                             resistance_stderr=float(resistance_spread[index]),
                             width_stderr=abs(width_slope) * spread[3 * index + 2]))
    return tuple(sorted(peaks, key=lambda peak: peak.tau))


def zarc_exponent(width: float) -> float:
    """The exponent of the Zarc whose distribution has this full width at half maximum (decades).

    A Zarc r/(1 + (j w tau0)^a) has gamma(y) = r sin(a pi) / (2 pi (cosh(a y) + cos(a pi))),
    whose half maximum lies at a*y = arccosh(2 + cos(a pi)); the width falls
    monotonically with a, so bisection finds it. Clipped to [0.5, 1].
    """
    if not math.isfinite(width) or width <= zarc_width(0.999):
        return 1.0
    if width >= zarc_width(0.5):
        return 0.5
    low, high = 0.5, 0.999
    for _ in range(50):
        middle = 0.5 * (low + high)
        low, high = (middle, high) if zarc_width(middle) > width else (low, middle)
    return 0.5 * (low + high)


def circuit_start(peaks: tuple[DrtPeak, ...], series_resistance: float, inductance: float | None,
                  element: str) -> CircuitStart:
    """Series resistance, an inductance when given, and one element per positive peak, with start values.

    element: "zarc" gives Zarc<k> (r, tau_k, gamma); "rcpe" gives a parallel
    (R<k>,CPE<k>) with q = tau^alpha / r. Negative peaks have no such element
    and are left out.
    """
    if element not in ("zarc", "rcpe"):
        raise ValueError(f"element must be 'zarc' or 'rcpe', got {element!r}")
    parts = ["R0"]
    start = {"R0.r": max(float(series_resistance), 1e-12)}
    if inductance is not None:
        parts.append("L0")
        start["L0.l"] = float(inductance)
    for index, peak in enumerate((peak for peak in peaks if peak.resistance > 0.0), start=1):
        exponent = peak.exponent
        if element == "zarc":
            parts.append(f"Zarc{index}")
            start.update({f"Zarc{index}.r": peak.resistance, f"Zarc{index}.tau_k": peak.tau,
                          f"Zarc{index}.gamma": exponent})
        else:
            parts.append(f"(R{index},CPE{index})")
            start.update({f"R{index}.r": peak.resistance, f"CPE{index}.q": peak.tau ** exponent / peak.resistance,
                          f"CPE{index}.alpha": exponent})
    return CircuitStart("-".join(parts), start)


def refine_peaks(peaks: tuple[DrtPeak, ...], frequencies: np.ndarray, impedances: np.ndarray,
                 series_resistance: float, inductance: float, reference_chi_square: float
                 ) -> tuple[DrtPeak, ...] | None:
    """The peaks re-measured by fitting the spectrum with R0, L0 and one Zarc per peak; None if not better.

    The regularised distribution blurs neighbouring peaks into each other, so
    their areas are only as good as the blur allows; a fit of the spectrum
    itself, started from the peaks, is not blurred. It is kept when it
    converged, every Zarc stayed within REFINE_SHIFT decades of its peak, and
    its chi-square (relative residuals, both parts) is at most
    REFINE_CHI_RATIO times `reference_chi_square`; then the fit's standard
    errors are the peaks' uncertainties. Peaks outside the measured range of
    tau = 1/(2 pi f) are not refitted and keep their measures.
    """
    import kovrant

    # A peak beyond the measured tau range is not resolved by the points; it keeps its measures.
    shortest = 1.0 / (2.0 * math.pi * float(np.max(frequencies)))
    longest = 1.0 / (2.0 * math.pi * float(np.min(frequencies)))
    outside = tuple(peak for peak in peaks if not shortest <= peak.tau <= longest)
    peaks = tuple(peak for peak in peaks if shortest <= peak.tau <= longest)
    if not peaks or len(peaks) > MAX_REFINED_PEAKS or any(peak.resistance <= 0.0 for peak in peaks):
        return None
    notation, start = circuit_start(peaks, series_resistance, inductance if inductance > 1e-12 else None, "zarc")
    try:
        result = kovrant.Circuit(notation).with_named_values(start).fit(frequencies, impedances, guess_init=False,
                                                                        max_iterations=REFINE_ITERATIONS)
    except (ValueError, ArithmeticError):
        return None
    params, stderr = result.params, result.stderr or {}
    if not result.success or not result.chi_square <= REFINE_CHI_RATIO * reference_chi_square:
        return None
    refined = []
    for index, peak in enumerate(peaks, start=1):
        tau, exponent = params[f"Zarc{index}.tau_k"], params[f"Zarc{index}.gamma"]
        if not (abs(math.log10(tau / peak.tau)) <= REFINE_SHIFT and 0.0 < exponent <= 1.0):
            return None
        exponent_error = _stderr(stderr, f"Zarc{index}.gamma")
        slope = abs(zarc_width(min(exponent, 0.999)) - zarc_width(min(exponent, 0.999) - 1e-6)) / 1e-6
        refined.append(DrtPeak(tau=tau, resistance=params[f"Zarc{index}.r"], width=zarc_width(min(exponent, 0.999999)),
                               exponent=exponent, tau_stderr=_stderr(stderr, f"Zarc{index}.tau_k"),
                               resistance_stderr=_stderr(stderr, f"Zarc{index}.r"),
                               width_stderr=slope * exponent_error))
    return tuple(sorted(refined + list(outside), key=lambda peak: peak.tau))


def _stderr(stderr, name):
    value = stderr.get(name)
    return math.nan if value is None else float(value)
