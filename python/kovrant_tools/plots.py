"""Plots of fits and spectra (matplotlib, the optional extra kovrant[plot])."""
from __future__ import annotations

import numpy as np

from .spectrum import as_arrays

INSTALL_HINT = "plots need matplotlib: pip install kovrant[plot]"


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError(INSTALL_HINT) from error
    return plt


def _frequency_label(frequency):
    for scale, unit in ((1e6, "MHz"), (1e3, "kHz"), (1.0, "Hz"), (1e-3, "mHz")):
        if frequency >= scale * 0.999:
            return f"{frequency / scale:g} {unit}"
    return f"{frequency:g} Hz"


def plot_fit(report, ax=None):
    """Nyquist, Bode and residual plots of a FitReport; returns the Figure.

    ax: None for a new figure, or three Axes (Nyquist, Bode, residuals) to
    draw into. The Nyquist plot has equal scales, -Im Z upwards and the model
    marked at every whole decade of frequency; the Bode plot shows |Z| (left
    axis) and the phase (right axis); the residual panel shows the weighted
    residuals of the real and imaginary parts (in % for modulus weighting).
    """
    plt = _pyplot()
    if ax is None:
        figure = plt.figure(figsize=(12, 8.5), layout="constrained")
        grid = figure.add_gridspec(2, 2, height_ratios=(3, 1.4))
        nyquist, bode, residual = (figure.add_subplot(grid[0, 0]), figure.add_subplot(grid[0, 1]),
                                   figure.add_subplot(grid[1, :]))
    else:
        nyquist, bode, residual = ax
        figure = nyquist.figure
    _draw_nyquist(nyquist, report)
    _draw_bode(bode, report)
    _draw_residuals(residual, report)
    title = report.notation
    figure.suptitle(f"{title}: chi-square {report.chi_square:.4g}, AIC {report.aic:.1f}")
    return figure


def _draw_nyquist(ax, report):
    measured, curve = report.impedances, report.model_curve
    ax.plot(measured.real, -measured.imag, "o", markersize=4, color="C0", label="measured")
    ax.plot(curve.real, -curve.imag, "-", color="C1", label="model")
    exponents = np.log10(report.model_frequencies)
    decades = np.isclose(exponents, np.round(exponents))
    ax.plot(curve.real[decades], -curve.imag[decades], "D", markersize=6, color="C3", label="model, whole decades")
    for frequency, z in _spaced(report.model_frequencies[decades], curve[decades], measured):
        ax.annotate(_frequency_label(frequency), (z.real, -z.imag), textcoords="offset points", xytext=(5, 5),
                    fontsize=8, color="C3")
    ax.set_aspect("equal", adjustable="datalim")
    ax.set_xlabel("Re Z / ohm")
    ax.set_ylabel("-Im Z / ohm")
    ax.set_title("Nyquist")
    ax.grid(alpha=0.3)
    ax.legend(loc="upper left", bbox_to_anchor=(0.0, -0.12), ncols=3, fontsize=8, frameon=False)


def _spaced(frequencies, points, measured, least_gap=0.04):
    """The (frequency, point) pairs at least `least_gap` of the plot's extent apart, so labels stay legible."""
    extent = max(np.ptp(measured.real), np.ptp(measured.imag), 1e-300)
    kept = []
    for frequency, point in zip(frequencies, points):
        if all(abs(point - other) >= least_gap * extent for _, other in kept):
            kept.append((frequency, point))
    return kept


def _draw_bode(ax, report):
    phase_ax = ax.twinx()
    measured, curve, grid = report.impedances, report.model_curve, report.model_frequencies
    ax.loglog(report.frequencies, np.abs(measured), "o", markersize=4, color="C0", label="|Z| measured")
    ax.loglog(grid, np.abs(curve), "-", color="C0", label="|Z| model")
    phase_ax.semilogx(report.frequencies, -np.degrees(np.angle(measured)), "s", markersize=3, color="C2",
                      label="-phase measured")
    phase_ax.semilogx(grid, -np.degrees(np.angle(curve)), "--", color="C2", label="-phase model")
    ax.set_xlabel("frequency / Hz")
    ax.set_ylabel("|Z| / ohm", color="C0")
    phase_ax.set_ylabel("-phase / degree", color="C2")
    ax.set_title("Bode")
    ax.grid(alpha=0.3, which="both")
    handles = ax.get_legend_handles_labels()[0] + phase_ax.get_legend_handles_labels()[0]
    ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(0.0, -0.12), ncols=2, fontsize=8,
              frameon=False)


def _draw_residuals(ax, report):
    if report.weight == "modulus":
        scale, label = 100.0, "(model - measured) / |Z| / %"
    else:
        scale, label = 1.0, "model - measured / ohm"
    ax.semilogx(report.frequencies, scale * report.residuals.real, "o-", markersize=3, label="real")
    ax.semilogx(report.frequencies, scale * report.residuals.imag, "s-", markersize=3, label="imaginary")
    ax.axhline(0.0, color="black", linewidth=0.8)
    ax.set_xlabel("frequency / Hz")
    ax.set_ylabel(label)
    ax.set_title("residuals")
    ax.grid(alpha=0.3)
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)


def plot_spectra(spectra, values=None, label="spectrum", cmap="viridis", ax=None):
    """Nyquist and Bode |Z| plots of several spectra coloured by a value; returns the Figure.

    spectra: a sequence of spectra (any form that fit accepts). values: one
    number per spectrum for the colour scale (state of charge, cycle,
    temperature, ...), by default its position; label: the colour bar's
    title. ax: None for a new figure, or two Axes (Nyquist, Bode).
    """
    plt = _pyplot()
    spectra = [as_arrays(spectrum) for spectrum in spectra]
    if not spectra:
        raise ValueError("plot_spectra needs at least one spectrum")
    values = np.arange(len(spectra), dtype=float) if values is None else np.asarray(values, dtype=float)
    if values.shape != (len(spectra),):
        raise ValueError(f"{len(spectra)} spectra but {values.size} values")
    if ax is None:
        figure, (nyquist, bode) = plt.subplots(1, 2, figsize=(12, 5), layout="constrained")
    else:
        nyquist, bode = ax
        figure = nyquist.figure
    low, high = values.min(), values.max()
    norm = plt.Normalize(low, high if high > low else low + 1.0)
    colours = plt.get_cmap(cmap)
    for (frequencies, impedances), value in zip(spectra, values):
        order = np.argsort(frequencies)
        colour = colours(norm(value))
        nyquist.plot(impedances.real[order], -impedances.imag[order], ".-", markersize=3, color=colour)
        bode.loglog(frequencies[order], np.abs(impedances[order]), ".-", markersize=3, color=colour)
    nyquist.set_aspect("equal", adjustable="datalim")
    nyquist.set(xlabel="Re Z / ohm", ylabel="-Im Z / ohm", title="Nyquist")
    bode.set(xlabel="frequency / Hz", ylabel="|Z| / ohm", title="Bode")
    for axes in (nyquist, bode):
        axes.grid(alpha=0.3)
    colour_bar = figure.colorbar(plt.cm.ScalarMappable(norm=norm, cmap=colours), ax=[nyquist, bode])
    colour_bar.set_label(label)
    return figure
