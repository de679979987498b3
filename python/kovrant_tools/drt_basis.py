"""The linear model behind the distribution of relaxation times: Gaussian basis, kernels, penalty.

A distribution gamma(tau) in ohm, over y = ln(tau), gives the impedance

    Z(f) = R_inf + j*2*pi*f*L + integral gamma(y) / (1 + j*2*pi*f*exp(y)) dy,

so a process of time constant tau shows where f = 1/(2*pi*tau). gamma is a sum
of Gaussians exp(-((y - y_m)/w)^2) centred on a uniform grid of ln(tau) with
spacing d and width w = WIDTH_PER_SPACING * d; each Gaussian's integral against
the kernel depends only on u = ln(2*pi*f*tau_m), so one table per width serves
every frequency and every centre.
"""
from __future__ import annotations

import functools
import math
from dataclasses import dataclass

import numpy as np

# Width of each Gaussian in grid spacings: wide enough that neighbours overlap
# into a smooth curve, narrow enough to follow peaks a third of a decade apart.
WIDTH_PER_SPACING = 1.0
# The kernel tables: u from -U_LIMIT to U_LIMIT in steps of U_STEP; beyond them
# the kernels have reached their limits (the basis integral, or zero).
U_LIMIT = 40.0
U_STEP = 0.01
QUADRATURE_POINTS = 121
# How far the tau grid reaches past the measured 1/(2 pi f) on each side, in decades: the tails of
# processes at the ends of the band need room, but gamma out there is barely fixed by the points.
GRID_MARGIN_DECADES = 0.5
QUADRATURE_HALF_WIDTH = 6.0  # in Gaussian widths: exp(-36) is below double precision


@dataclass(frozen=True)
class Basis:
    """Gaussian centres (ln tau) of one problem and the grid gamma is reported on."""

    centres: np.ndarray  # ln(tau_m), uniform
    spacing: float  # grid step in ln(tau)
    output: np.ndarray  # ln(tau) where gamma is reported

    @property
    def width(self) -> float:
        return WIDTH_PER_SPACING * self.spacing

    def values(self, y: np.ndarray) -> np.ndarray:
        """gamma at y per unit coefficient: one row per y, one column per centre."""
        return np.exp(-np.square((y[:, None] - self.centres[None, :]) / self.width))

    def derivative(self, y: np.ndarray, order: int) -> np.ndarray:
        """The `order`-th derivative of `values` along y (order 0, 1 or 2)."""
        z = (y[:, None] - self.centres[None, :]) / self.width
        gauss = np.exp(-np.square(z))
        if order == 0:
            return gauss
        if order == 1:
            return -2.0 * z * gauss / self.width
        if order == 2:
            return (4.0 * z * z - 2.0) * gauss / self.width ** 2
        raise ValueError(f"derivative order must be 0, 1 or 2, got {order}")


def make_basis(frequencies: np.ndarray, points_per_decade: float, tau_range: tuple[float, float] | None,
               output_per_centre: int = 3) -> Basis:
    """Centres covering tau = 1/(2 pi f) of the measured band, widened by one decade each side.

    tau_range: (smallest, largest) tau in s instead of the measured band (a
    common grid for a series of spectra).
    """
    if tau_range is None:
        margin = GRID_MARGIN_DECADES * math.log(10.0)
        low = math.log(1.0 / (2.0 * math.pi * float(np.max(frequencies)))) - margin
        high = math.log(1.0 / (2.0 * math.pi * float(np.min(frequencies)))) + margin
    else:
        smallest, largest = (float(value) for value in tau_range)
        if not (0.0 < smallest < largest < math.inf):
            raise ValueError(f"tau_range must be (smallest, largest) with 0 < smallest < largest, got {tau_range}")
        low, high = math.log(smallest), math.log(largest)
    spacing = math.log(10.0) / points_per_decade
    count = max(int(math.ceil((high - low) / spacing)) + 1, 2)
    centres = low + spacing * np.arange(count)
    output = np.linspace(centres[0], centres[-1], (count - 1) * output_per_centre + 1)
    return Basis(centres=centres, spacing=spacing, output=output)


@functools.lru_cache(maxsize=8)
def _kernel_tables(width: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(u grid, real kernel, imaginary kernel) of one Gaussian of `width`, tabulated once per width."""
    u = np.arange(-U_LIMIT, U_LIMIT + U_STEP / 2, U_STEP)
    z = np.linspace(-QUADRATURE_HALF_WIDTH * width, QUADRATURE_HALF_WIDTH * width, QUADRATURE_POINTS)
    weights = np.exp(-np.square(z / width)) * (z[1] - z[0])
    real = np.empty_like(u)
    imaginary = np.empty_like(u)
    for start in range(0, u.size, 2048):  # blocks keep the temporary small
        x = u[start:start + 2048, None] + z[None, :]
        # 1/(1 + j e^x) = (1 - j e^x) / (1 + e^2x), written without overflow for large x.
        real[start:start + 2048] = (0.5 * (1.0 - np.tanh(x))) @ weights
        imaginary[start:start + 2048] = (-0.5 / np.cosh(x)) @ weights
    return u, real, imaginary


def kernel_matrix(frequencies: np.ndarray, basis: Basis) -> np.ndarray:
    """Complex impedance of each Gaussian (columns) at each frequency (rows), per unit coefficient."""
    u_table, real_table, imaginary_table = _kernel_tables(basis.width)
    u = np.log(2.0 * np.pi * frequencies)[:, None] + basis.centres[None, :]
    plateau = real_table[0]
    real = np.interp(u, u_table, real_table, left=plateau, right=0.0)
    imaginary = np.interp(u, u_table, imaginary_table, left=0.0, right=0.0)
    return real + 1j * imaginary


def penalty_matrix(basis: Basis, order: int) -> np.ndarray:
    """R with coefficients' R-norm = integral of (d^order gamma / dy^order)^2 dy, by quadrature."""
    step = basis.spacing / 8.0
    y = np.arange(basis.centres[0] - 4 * basis.width, basis.centres[-1] + 4 * basis.width + step / 2, step)
    derivative = basis.derivative(y, order)
    return (derivative.T @ derivative) * step
