"""One measured impedance spectrum, and the conversion of every accepted spectrum form to arrays.

A `Spectrum` holds frequencies in Hz (float64), impedances in ohm (complex128)
and a metadata dict. Item access by the battery-data column names returns
columns, so a `Spectrum` can be passed wherever kovrant takes a dataframe.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any, Protocol, Union

import numpy as np
import numpy.typing as npt

from . import _engine_loader
from ._optional import require

# Battery-data column names, each quantity under its long and its snake_case
# name, from the one table the core reads frames with.
_COLUMNS = _engine_loader.load_engine().FRAME_COLUMNS
FREQUENCY_COLUMNS: tuple[str, str] = _COLUMNS["frequency"]
REAL_COLUMNS: tuple[str, str] = _COLUMNS["real"]
IMAGINARY_COLUMNS: tuple[str, str] = _COLUMNS["imaginary"]
MODULUS_COLUMNS: tuple[str, str] = _COLUMNS["modulus"]
PHASE_COLUMNS: tuple[str, str] = _COLUMNS["phase"]


class HasArrays(Protocol):
    """Anything with frequency and impedance arrays, such as a `Spectrum`."""

    @property
    def frequencies(self) -> npt.ArrayLike: ...

    @property
    def impedances(self) -> npt.ArrayLike: ...


# Every form a spectrum argument accepts: a (frequencies, impedances) pair, a
# table (dict, DataFrame) with battery-data columns, or an object with arrays.
SpectrumLike = Union[tuple[npt.ArrayLike, npt.ArrayLike], Mapping[str, Any], HasArrays, Any]


class Spectrum:
    """Frequencies (Hz), complex impedances (ohm) and the metadata of one sweep.

    `spectrum["Frequency / Hz"]`, `spectrum["Real Impedance / ohm"]` and
    `spectrum["Imaginary Impedance / ohm"]` (or their snake_case names) return
    the columns, so `circuit.fit(spectrum)` works directly.
    """

    __slots__ = ("frequencies", "impedances", "metadata")

    def __init__(self, frequencies: npt.ArrayLike, impedances: npt.ArrayLike,
                 metadata: Mapping[str, Any] | None = None) -> None:
        frequencies = np.array(frequencies, dtype=np.float64).ravel()
        impedances = np.array(impedances, dtype=np.complex128).ravel()
        if frequencies.shape != impedances.shape:
            raise ValueError(
                f"frequencies and impedances must have the same length, got {frequencies.size} and {impedances.size}")
        frequencies.flags.writeable = False
        impedances.flags.writeable = False
        self.frequencies = frequencies
        self.impedances = impedances
        self.metadata = dict(metadata or {})

    @classmethod
    def from_frame(cls, frame: Any, metadata: Mapping[str, Any] | None = None) -> Spectrum:
        """A spectrum from a pandas/polars frame or dict with battery-data columns."""
        frequencies, impedances = as_arrays(frame)
        return cls(frequencies, impedances, metadata)

    def replace(self, frequencies: npt.ArrayLike, impedances: npt.ArrayLike, **metadata_updates: Any) -> Spectrum:
        """A new spectrum with other points and this one's metadata, updated by the keywords."""
        return Spectrum(frequencies, impedances, {**self.metadata, **metadata_updates})

    def __len__(self) -> int:
        return self.frequencies.size

    def __getitem__(self, name: str) -> npt.NDArray[np.float64]:
        if name in FREQUENCY_COLUMNS:
            return self.frequencies
        if name in REAL_COLUMNS:
            return self.impedances.real
        if name in IMAGINARY_COLUMNS:
            return self.impedances.imag
        if name in MODULUS_COLUMNS:
            return np.abs(self.impedances)
        if name in PHASE_COLUMNS:
            return np.degrees(np.angle(self.impedances))
        raise KeyError(name)

    def to_frame(self) -> Any:
        """A pandas DataFrame with the three long battery-data columns (needs pandas)."""
        pd = require("pandas", "Spectrum.to_frame")
        frame = pd.DataFrame({
            FREQUENCY_COLUMNS[0]: self.frequencies,
            REAL_COLUMNS[0]: self.impedances.real,
            IMAGINARY_COLUMNS[0]: self.impedances.imag,
        })
        frame.attrs.update(self.metadata)
        return frame

    def __repr__(self) -> str:
        if len(self) == 0:
            band = "no points"
        else:
            band = f"{len(self)} points, {self.frequencies.min():.4g} to {self.frequencies.max():.4g} Hz"
        source = self.metadata.get("source")
        return f"Spectrum({band}{f', from {source}' if source else ''})"


def frame_columns(frame: Any) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]]:
    """(frequencies, impedances) of a battery-data table, read as kovrant reads it.

    Impedances come from the real and imaginary columns, else from modulus and
    phase in degrees; rows whose frequency is not above zero (an instrument's
    loop markers, DC rows) are not measured points and are dropped.
    """
    return _engine_loader.load_engine().frame_arrays(frame)


def missing_spectrum_columns(columns: Iterable[str]) -> str | None:
    """What a table with these column names lacks to hold a spectrum, in words; None when nothing."""
    present = set(columns)

    def has(quantity: tuple[str, str]) -> bool:
        return not present.isdisjoint(quantity)

    if not has(FREQUENCY_COLUMNS):
        return f"frequency column ({' or '.join(map(repr, FREQUENCY_COLUMNS))})"
    if (has(REAL_COLUMNS) and has(IMAGINARY_COLUMNS)) or (has(MODULUS_COLUMNS) and has(PHASE_COLUMNS)):
        return None
    return (f"impedance columns ({REAL_COLUMNS[0]!r} with {IMAGINARY_COLUMNS[0]!r}, or {MODULUS_COLUMNS[0]!r} with "
            f"{PHASE_COLUMNS[0]!r}, or their snake_case names)")


def as_arrays(spectrum: SpectrumLike) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]]:
    """(frequencies float64, impedances complex128) of any accepted spectrum form.

    Accepts a `(frequencies, impedances)` pair, a dict or dataframe with
    battery-data columns, or any object with `.frequencies` and `.impedances`.
    A table is read as `kovrant.Circuit.fit` reads it (rows with a frequency
    that is not above zero dropped); other forms pass every row through. The
    arrays are copies.
    """
    if hasattr(spectrum, "frequencies") and hasattr(spectrum, "impedances"):
        frequencies, impedances = spectrum.frequencies, spectrum.impedances
    elif isinstance(spectrum, tuple) and len(spectrum) == 2:
        frequencies, impedances = spectrum
    elif hasattr(spectrum, "__getitem__") and not isinstance(spectrum, (str, bytes, list, tuple, np.ndarray)):
        frequencies, impedances = frame_columns(spectrum)
    else:
        raise TypeError("expected a (frequencies, impedances) pair, a table with battery-data columns, "
                        f"or an object with .frequencies and .impedances, got {type(spectrum).__name__}")
    frequencies = np.array(frequencies, dtype=np.float64).ravel()
    impedances = np.array(impedances, dtype=np.complex128).ravel()
    if frequencies.shape != impedances.shape:
        raise ValueError(f"frequencies and impedances must have the same length, got {frequencies.size} "
                         f"and {impedances.size}")
    return frequencies, impedances
