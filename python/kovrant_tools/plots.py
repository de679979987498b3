"""Nyquist and Bode plots of a measured spectrum and a model."""

import numpy as np


def save_nyquist_bode(path, frequencies, measured, model, title):
    """Writes a PNG with the Nyquist plot on the left and the Bode plots on the right."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    frequencies = np.asarray(frequencies, dtype=float)
    measured = np.asarray(measured, dtype=complex)
    model = np.asarray(model, dtype=complex)
    order = np.argsort(frequencies)

    figure, (nyquist, modulus) = plt.subplots(1, 2, figsize=(11, 4.5))
    nyquist.plot(measured.real, -measured.imag, "o", markersize=4, label="data")
    nyquist.plot(model.real[order], -model.imag[order], "-", label="model")
    nyquist.set_xlabel("Re Z / ohm")
    nyquist.set_ylabel("-Im Z / ohm")
    nyquist.set_aspect("equal", adjustable="datalim")
    nyquist.legend()
    nyquist.set_title(title)

    phase = modulus.twinx()
    modulus.loglog(frequencies, np.abs(measured), "o", markersize=4, color="C0", label="|Z| data")
    modulus.loglog(frequencies[order], np.abs(model[order]), "-", color="C0", label="|Z| model")
    phase.semilogx(frequencies, np.degrees(np.angle(measured)), "s", markersize=3, color="C1", label="phase data")
    phase.semilogx(frequencies[order], np.degrees(np.angle(model[order])), "--", color="C1", label="phase model")
    modulus.set_xlabel("frequency / Hz")
    modulus.set_ylabel("|Z| / ohm")
    phase.set_ylabel("phase / degree")
    modulus.legend(loc="upper center")
    phase.legend(loc="lower center")
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    plt.close(figure)
