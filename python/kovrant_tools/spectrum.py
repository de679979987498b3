"""One measured impedance spectrum, and the conversion of every accepted spectrum form to arrays.

A `Spectrum` holds frequencies in Hz (float64), impedances in ohm (complex128)
and a metadata dict. Item access by the battery-data column names returns
columns, so a `Spectrum` can be passed wherever kovrant takes a dataframe.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Protocol, Union

import numpy as np
import numpy.typing as npt

# Battery-data column names: each quantity under its long and its snake_case name.
FREQUENCY_COLUMNS = ("Frequency / Hz", "frequency_hertz")
REAL_COLUMNS = ("Real Impedance / ohm", "real_impedance_ohm")
IMAGINARY_COLUMNS = ("Imaginary Impedance / ohm", "imaginary_impedance_ohm")
MODULUS_COLUMNS = ("Absolute Impedance / ohm", "absolute_impedance_ohm")
PHASE_COLUMNS = ("Phase / deg", "phase_degree")


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

    def __init__(self, frequencies, impedances, metadata=None):
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
    def from_frame(cls, frame, metadata=None):
        """A spectrum from a pandas/polars frame or dict with battery-data columns."""
        frequencies, impedances = as_arrays(frame)
        return cls(frequencies, impedances, metadata)

    def replace(self, frequencies, impedances, **metadata_updates):
        """A new spectrum with other points and this one's metadata, updated by the keywords."""
        return Spectrum(frequencies, impedances, {**self.metadata, **metadata_updates})

    def __len__(self):
        return self.frequencies.size

    def __getitem__(self, name):
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

    def to_frame(self):
        """A pandas DataFrame with the three long battery-data columns (needs pandas)."""
        try:
            import pandas as pd
        except ImportError as error:
            raise ImportError("Spectrum.to_frame needs pandas: pip install pandas") from error
        frame = pd.DataFrame({
            FREQUENCY_COLUMNS[0]: self.frequencies,
            REAL_COLUMNS[0]: self.impedances.real,
            IMAGINARY_COLUMNS[0]: self.impedances.imag,
        })
        frame.attrs.update(self.metadata)
        return frame

    def __repr__(self):
        if len(self) == 0:
            band = "no points"
        else:
            band = f"{len(self)} points, {self.frequencies.min():.4g} to {self.frequencies.max():.4g} Hz"
        source = self.metadata.get("source")
        return f"Spectrum({band}{f', from {source}' if source else ''})"


def _column(frame, names):
    for name in names:
        try:
            column = frame[name]
        except (KeyError, IndexError, TypeError, ValueError):
            continue
        try:
            return np.asarray(column, dtype=np.float64)
        except (TypeError, ValueError) as error:
            raise ValueError(f"column {name!r} is not numeric") from error
    return None


def frame_columns(frame):
    """(frequencies, impedances) of every row of a battery-data table, as they are."""
    frequencies = _column(frame, FREQUENCY_COLUMNS)
    if frequencies is None:
        raise ValueError(f"no frequency column: expected {' or '.join(map(repr, FREQUENCY_COLUMNS))}")
    real, imaginary = _column(frame, REAL_COLUMNS), _column(frame, IMAGINARY_COLUMNS)
    if real is not None and imaginary is not None:
        impedances = real + 1j * imaginary
    else:
        modulus, phase = _column(frame, MODULUS_COLUMNS), _column(frame, PHASE_COLUMNS)
        if modulus is None or phase is None:
            raise ValueError(
                f"no impedance columns: expected {REAL_COLUMNS[0]!r} with {IMAGINARY_COLUMNS[0]!r}, "
                f"or {MODULUS_COLUMNS[0]!r} with {PHASE_COLUMNS[0]!r} (or their snake_case names)")
        impedances = modulus * np.exp(1j * np.radians(phase))
    if frequencies.shape != impedances.shape:
        raise ValueError(f"frequency column has {frequencies.size} rows but the impedance columns have "
                         f"{impedances.size}")
    return frequencies, impedances


def as_arrays(spectrum):
    """(frequencies float64, impedances complex128) of any accepted spectrum form.

    Accepts a `(frequencies, impedances)` pair, a dict or dataframe with
    battery-data columns, or any object with `.frequencies` and `.impedances`.
    A table loses its rows with a frequency that is not above zero, as
    `kovrant.Circuit.fit` drops them; other forms pass every row through. The
    arrays are copies.
    """
    if hasattr(spectrum, "frequencies") and hasattr(spectrum, "impedances"):
        frequencies, impedances = spectrum.frequencies, spectrum.impedances
    elif isinstance(spectrum, tuple) and len(spectrum) == 2:
        frequencies, impedances = spectrum
    elif hasattr(spectrum, "__getitem__") and not isinstance(spectrum, (str, bytes, list, tuple, np.ndarray)):
        # As kovrant reads a frame: rows whose frequency is not above zero
        # (an instrument's loop markers, DC rows) are not measured points.
        frequencies, impedances = frame_columns(spectrum)
        measured = frequencies > 0
        frequencies, impedances = frequencies[measured], impedances[measured]
    else:
        raise TypeError("expected a (frequencies, impedances) pair, a table with battery-data columns, "
                        f"or an object with .frequencies and .impedances, got {type(spectrum).__name__}")
    frequencies = np.array(frequencies, dtype=np.float64).ravel()
    impedances = np.array(impedances, dtype=np.complex128).ravel()
    if frequencies.shape != impedances.shape:
        raise ValueError(f"frequencies and impedances must have the same length, got {frequencies.size} "
                         f"and {impedances.size}")
    return frequencies, impedances
