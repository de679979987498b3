"""Trimming and tidying a measured spectrum before a fit.

Every helper takes a spectrum in any form `as_arrays` accepts and returns a
new `Spectrum`; the input is never changed. Metadata is carried over, and
`metadata["removed"]` counts the points each step removed, by step name, so
that nothing disappears unaccounted for.
"""

from __future__ import annotations

import math
import numbers
from typing import TYPE_CHECKING

import numpy as np

from .spectrum import Spectrum, as_arrays

if TYPE_CHECKING:
    from .spectrum import SpectrumLike
    from .validation import KramersKronigResult


def _spectrum(spectrum: SpectrumLike) -> Spectrum:
    if isinstance(spectrum, Spectrum):
        return spectrum
    return Spectrum(*as_arrays(spectrum))


def _check_number(value: object, name: str, what: str) -> None:
    """Refuses a value that is not a real number, or is NaN (which every comparison would let through)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or math.isnan(value):
        raise ValueError(f"{name} must be {what}, got {value!r}")


def _keep(spectrum: Spectrum, keep: np.ndarray, step: str) -> Spectrum:
    removed = {**spectrum.metadata.get("removed", {})}
    removed[step] = removed.get(step, 0) + int(np.count_nonzero(~keep))
    return spectrum.replace(spectrum.frequencies[keep], spectrum.impedances[keep], removed=removed)


def crop(spectrum: SpectrumLike, f_min: float | None = None, f_max: float | None = None) -> Spectrum:
    """Only the points with f_min <= frequency <= f_max (either bound may be None)."""
    spectrum = _spectrum(spectrum)
    for bound, name in ((f_min, "f_min"), (f_max, "f_max")):
        if bound is not None:
            _check_number(bound, name, "a frequency in Hz or None")
    if f_min is not None and f_max is not None and f_min > f_max:
        raise ValueError(f"f_min ({f_min} Hz) is above f_max ({f_max} Hz)")
    keep = np.ones(len(spectrum), dtype=bool)
    if f_min is not None:
        keep &= spectrum.frequencies >= f_min
    if f_max is not None:
        keep &= spectrum.frequencies <= f_max
    return _keep(spectrum, keep, "crop")


def drop_inductive(spectrum: SpectrumLike, above: float = 0.0) -> Spectrum:
    """Without the points above `above` Hz whose imaginary part is positive (inductive)."""
    spectrum = _spectrum(spectrum)
    _check_number(above, "above", "a frequency in Hz")
    keep = ~((spectrum.frequencies > above) & (spectrum.impedances.imag > 0))
    return _keep(spectrum, keep, "drop_inductive")


def drop_outliers(spectrum: SpectrumLike, kk_result: KramersKronigResult) -> Spectrum:
    """Without the points a `kramers_kronig` result of this same spectrum flagged."""
    spectrum = _spectrum(spectrum)
    if not np.array_equal(kk_result.frequencies, spectrum.frequencies):
        raise ValueError("the Kramers-Kronig result belongs to another spectrum: its frequencies differ")
    return _keep(spectrum, ~kk_result.flagged, "drop_outliers")


def sort_by_frequency(spectrum: SpectrumLike, descending: bool = True) -> Spectrum:
    """The points ordered by frequency, high to low by default (the usual sweep order)."""
    spectrum = _spectrum(spectrum)
    order = np.argsort(spectrum.frequencies, kind="stable")
    if descending:
        order = order[::-1]
    return spectrum.replace(spectrum.frequencies[order], spectrum.impedances[order])


def merge_repeated(spectrum: SpectrumLike, rtol: float = 1e-9) -> Spectrum:
    """One point per frequency: points whose frequencies agree within `rtol` become their mean.

    The result is sorted high to low; `metadata["removed"]["merge_repeated"]`
    counts the points merged away. `rtol` must be finite and not negative, and
    every frequency finite (a NaN would take its neighbours into its mean).
    """
    _check_number(rtol, "rtol", "a finite number, 0 or more")
    if not (math.isfinite(rtol) and rtol >= 0):
        raise ValueError(f"rtol must be a finite number, 0 or more, got {rtol!r}")
    spectrum = _spectrum(spectrum)
    bad = np.flatnonzero(~np.isfinite(spectrum.frequencies))
    if bad.size:
        raise ValueError(f"merge_repeated needs finite frequencies: point {bad[0]} has frequency "
                         f"{spectrum.frequencies[bad[0]]}")
    spectrum = sort_by_frequency(spectrum, descending=True)
    f, z = spectrum.frequencies, spectrum.impedances
    if f.size == 0:
        return spectrum
    new_group = np.concatenate([[True], np.abs(np.diff(f)) > rtol * np.abs(f[1:])])
    group = np.cumsum(new_group) - 1
    counts = np.bincount(group)
    merged_f = np.bincount(group, weights=f) / counts
    merged_z = (np.bincount(group, weights=z.real) + 1j * np.bincount(group, weights=z.imag)) / counts
    removed = {**spectrum.metadata.get("removed", {})}
    removed["merge_repeated"] = removed.get("merge_repeated", 0) + int(f.size - merged_f.size)
    return spectrum.replace(merged_f, merged_z, removed=removed)
