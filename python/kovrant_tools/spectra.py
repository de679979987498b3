"""Writing spectra as CSV in the battery data format (read them back with `read_spectrum`)."""

import csv
from pathlib import Path

from .spectrum import FREQUENCY_COLUMNS, IMAGINARY_COLUMNS, REAL_COLUMNS


def write_spectrum_csv(path, frequencies, impedances):
    """Writes frequencies (Hz) and complex impedances (ohm) as a battery-data CSV."""
    with Path(path).open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow([FREQUENCY_COLUMNS[0], REAL_COLUMNS[0], IMAGINARY_COLUMNS[0]])
        for f, z in zip(frequencies, impedances):
            writer.writerow([repr(float(f)), repr(float(z.real)), repr(float(z.imag))])
