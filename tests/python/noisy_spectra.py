"""Synthetic spectra with proportional complex noise, shared by the fitting and ranking tests."""
import numpy as np

import kovrant


def noisy(notation, values, frequencies, *, noise, seed):
    """(frequencies, impedances) of `notation` at `values`, each point scaled by 1 + noise * (complex normal)."""
    z = kovrant.Circuit(notation).with_named_values(values).impedance(frequencies)
    rng = np.random.default_rng(seed)
    return frequencies, z * (1 + noise * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z))))
