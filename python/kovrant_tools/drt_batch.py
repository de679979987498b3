"""Distributions of relaxation times of many spectra on one common tau grid, for tables and maps.

The input forms are those of `fit_many` (a list, a mapping of id to spectrum,
a directory of files, or a long DataFrame with `by`). Every spectrum gets the
same tau grid, so the rows of `gamma` line up into an image of gamma against
tau and the series coordinate (cycle, state of charge, temperature, ...).
"""
from __future__ import annotations

import math
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np

from .batch import _items, _thread_count
from .drt import DrtResult, drt
from .spectrum import as_arrays

# Failures that belong to one spectrum and go into its row; anything else stops the batch.
SPECTRUM_ERRORS = (ValueError, TypeError, ArithmeticError, np.linalg.LinAlgError)


@dataclass(frozen=True, eq=False)  # arrays have no single truth value to compare by
class DrtSeries:
    """One distribution per spectrum, on a common grid.

    id_names: the id columns (as in `fit_many`); ids: one tuple per spectrum.
    values: the series coordinate of each spectrum (float; NaN where unknown).
    tau: the common grid in s, tau = 1/(2 pi f). gamma: one row per spectrum
    (ohm), NaN for a spectrum whose distribution failed. results: the
    `DrtResult` of each spectrum, or None; errors: None, or the failure's
    type and message.
    """

    id_names: tuple[str, ...]
    ids: tuple[tuple, ...]
    values: np.ndarray
    tau: np.ndarray
    gamma: np.ndarray
    results: tuple[DrtResult | None, ...]
    errors: tuple[str | None, ...]

    def peak_rows(self) -> list[dict]:
        """One dict per peak of every spectrum: ids, value, peak number, tau, resistance, width, exponent, errors."""
        rows = []
        for ids, value, result in zip(self.ids, self.values, self.results):
            for number, peak in enumerate(result.peaks if result is not None else (), start=1):
                rows.append({**dict(zip(self.id_names, ids)), "value": float(value), "peak": number,
                             "tau": peak.tau, "tau_stderr": peak.tau_stderr, "frequency": peak.frequency,
                             "resistance": peak.resistance, "resistance_stderr": peak.resistance_stderr,
                             "width": peak.width, "width_stderr": peak.width_stderr, "exponent": peak.exponent})
        return rows


def drt_many(spectra, *, by=None, values=None, threads: int | None = None,
             tau_range: tuple[float, float] | None = None, **drt_options) -> DrtSeries:
    """`drt` of every spectrum, on one tau grid; a spectrum that fails gets a NaN row and its error.

    spectra: as for `fit_many` (list, mapping, directory, or long DataFrame
    with `by`). values: the series coordinate for a map: one number per
    spectrum, or the name of a metadata entry of each spectrum (a `Spectrum`'s
    ``metadata``, e.g. "temperature"); by default the position.
    threads: worker threads (default: every core this process may use).
    tau_range: (smallest, largest) tau of the common grid; by default
    1/(2 pi f) over all spectra's frequencies, widened by a decade each side.
    drt_options: keyword arguments of `drt` (method, regularisation, ...).
    """
    if "tau_range" in drt_options:
        raise TypeError("give tau_range once, as drt_many's own keyword")
    id_names, items, _ = _items(spectra, by)
    items = list(items)
    if not items:
        raise ValueError("drt_many needs at least one spectrum")
    ids = tuple(ids for ids, _ in items)
    coordinates = _coordinates(values, [spectrum for _, spectrum in items])
    arrays = []
    for _, spectrum in items:
        if isinstance(spectrum, Exception):  # a file of a directory that could not be read
            arrays.append(spectrum)
            continue
        try:
            arrays.append(as_arrays(spectrum))
        except SPECTRUM_ERRORS as error:
            arrays.append(error)
    grid = tau_range or _common_range(arrays)
    threads = _thread_count(threads)

    def one(spectrum):
        if isinstance(spectrum, Exception):
            return None, f"{type(spectrum).__name__}: {spectrum}"
        try:
            return drt(spectrum, tau_range=grid, **drt_options), None
        except SPECTRUM_ERRORS as error:
            return None, f"{type(error).__name__}: {error}"

    with ThreadPoolExecutor(max_workers=threads) as pool:
        outcomes = list(pool.map(one, arrays))
    results = tuple(result for result, _ in outcomes)
    tau = next((result.tau for result in results if result is not None), None)
    if tau is None:
        raise ValueError(f"no spectrum gave a distribution; first error: {outcomes[0][1]}")
    gamma = np.array([result.gamma if result is not None else np.full(tau.size, math.nan) for result in results])
    return DrtSeries(id_names=tuple(id_names), ids=ids, values=coordinates, tau=tau, gamma=gamma, results=results,
                     errors=tuple(error for _, error in outcomes))


def _coordinates(values, spectra):
    if values is None:
        return np.arange(len(spectra), dtype=float)
    if isinstance(values, str):
        return np.array([float(getattr(spectrum, "metadata", {}).get(values, math.nan)) for spectrum in spectra])
    coordinates = np.asarray(values, dtype=float).ravel()
    if coordinates.size != len(spectra):
        raise ValueError(f"{len(spectra)} spectra but {coordinates.size} values")
    return coordinates


def _common_range(arrays):
    """(smallest, largest) tau over every readable spectrum's positive, finite frequencies, a decade wider."""
    frequencies = np.concatenate([item[0] for item in arrays if not isinstance(item, Exception)] or [np.empty(0)])
    frequencies = frequencies[np.isfinite(frequencies) & (frequencies > 0.0)]
    if frequencies.size == 0:
        raise ValueError("no spectrum has a usable frequency")
    return (1.0 / (2.0 * math.pi * frequencies.max()) / 10.0, 1.0 / (2.0 * math.pi * frequencies.min()) * 10.0)
