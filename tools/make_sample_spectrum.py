"""Generates data/sample_randles.csv, the bundled sample spectrum.

Run from the repository root: python -m tools.make_sample_spectrum
The spectrum is the circuit below evaluated by kovrant at 61 frequencies
(10 kHz down to 10 mHz, ten per decade), with independent Gaussian noise of
0.5 % of |Z| added to the real and imaginary parts (seed 2026).
"""

from pathlib import Path

import numpy as np

import kovrant
from kovrant_tools.spectra import write_spectrum_csv

CIRCUIT = "R0-(R1-W1,CPE1)"
VALUES = {"R0.r": 0.015, "R1.r": 0.02, "W1.aw": 0.004, "CPE1.q": 2.0, "CPE1.alpha": 0.85}
NOISE = 0.005
SEED = 2026


def main():
    frequencies = np.logspace(4, -2, 61)
    circuit = kovrant.Circuit(CIRCUIT).with_named_values(VALUES)
    clean = circuit.impedance(frequencies.tolist())
    rng = np.random.default_rng(SEED)
    noise = NOISE * np.abs(clean) * (rng.standard_normal(61) + 1j * rng.standard_normal(61))
    target = Path(__file__).resolve().parents[1] / "data" / "sample_randles.csv"
    write_spectrum_csv(target, frequencies, clean + noise)
    print(f"wrote {target}")


if __name__ == "__main__":
    main()
