"""Writing spectra as CSV in the battery data format (read them back with `read_spectrum`)."""

import csv
from pathlib import Path


def write_spectrum_csv(path, frequencies, impedances):
    """Writes frequencies (Hz) and complex impedances (ohm) as a battery-data CSV."""
    with Path(path).open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"])
        for f, z in zip(frequencies, impedances):
            writer.writerow([repr(float(f)), repr(float(z.real)), repr(float(z.imag))])
