"""Reading spectra stored as CSV in the battery data format."""

import csv
from pathlib import Path

import numpy as np


def read_spectrum_csv(path):
    """Columns of a CSV file as a dict of column name to list of floats.

    The dict works wherever kovrant accepts a dataframe, since kovrant only
    looks columns up by name.
    """
    with Path(path).open(newline="") as handle:
        rows = csv.reader(line for line in handle if not line.startswith("#"))
        header = next(rows)
        columns = {name: [] for name in header}
        for row in rows:
            if not row:
                continue
            if len(row) != len(header):
                raise ValueError(f"{path}: row with {len(row)} fields under a header of {len(header)}")
            for name, text in zip(header, row):
                columns[name].append(float(text))
    return columns


def write_spectrum_csv(path, frequencies, impedances):
    """Writes frequencies (Hz) and complex impedances (ohm) as a battery-data CSV."""
    with Path(path).open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"])
        for f, z in zip(frequencies, impedances):
            writer.writerow([repr(float(f)), repr(float(z.real)), repr(float(z.imag))])


def _first_column(columns, names):
    for name in names:
        if name in columns:
            return np.asarray(columns[name], dtype=float)
    raise ValueError(f"no column named {' or '.join(map(repr, names))}")


def spectrum_arrays(columns):
    """Positive-frequency rows of a battery-data table as (frequencies, complex impedances)."""
    frequencies = _first_column(columns, ("Frequency / Hz", "frequency_hertz"))
    real = _first_column(columns, ("Real Impedance / ohm", "real_impedance_ohm"))
    imaginary = _first_column(columns, ("Imaginary Impedance / ohm", "imaginary_impedance_ohm"))
    keep = frequencies > 0
    return frequencies[keep], (real + 1j * imaginary)[keep]
