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
    title = report.circuit or "circuit"
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


# Distribution of relaxation times: gamma(tau) with band and peaks, its reconstruction, and maps over a series.

from ._optional import require  # noqa: E402  (this block stands on its own)

def _tau_to_frequency(values):
    """tau = 1/(2 pi f) and back: the same map both ways (zero and negative values kept finite for matplotlib)."""
    values = np.asarray(values, dtype=float)
    return 1.0 / (2.0 * np.pi * np.where(values > 0.0, values, np.nan))


def plot_drt(result, ax=None):
    """gamma(tau) of a DrtResult with its band and peaks; returns the Figure.

    The lower axis is tau in s on a log scale, the upper axis the frequency
    1/(2 pi tau) where that process shows in the spectrum. Each peak is marked
    at its tau with its resistance. ax: None for a new figure, or an Axes.
    """
    plt = require("matplotlib.pyplot", "plotting")
    if ax is None:
        figure, ax = plt.subplots(figsize=(8, 4.8), layout="constrained")
    else:
        figure = ax.figure
    ax.fill_between(result.tau, result.gamma_lower, result.gamma_upper, color="C0", alpha=0.25, linewidth=0,
                    label=f"{result.band_level:.0%} band")
    ax.plot(result.tau, result.gamma, color="C0", label="γ(τ)")
    for number, peak in enumerate(result.peaks, start=1):
        height = float(np.interp(np.log(peak.tau), np.log(result.tau), result.gamma))
        ax.plot(peak.tau, height, "v", color="C3", markersize=7, label="peaks" if number == 1 else None)
        # Neighbouring labels alternate in height so that close peaks stay legible.
        ax.annotate(f"{number}: {peak.resistance:.3g} Ω", (peak.tau, height), textcoords="offset points",
                    xytext=(0, 8 + 18 * (number % 2 == 0)), ha="center", fontsize=8, color="C3")
    ax.set_xscale("log")
    ax.set_xlabel("τ / s   (τ = 1/(2π f))")
    ax.set_ylabel("γ / Ω")
    ax.axhline(0.0, color="black", linewidth=0.6)
    top = ax.secondary_xaxis("top", functions=(_tau_to_frequency, _tau_to_frequency))
    top.set_xlabel("frequency 1/(2π τ) / Hz")
    rule = result.regularisation_rule
    ax.set_title(f"{result.method}, λ = {result.regularisation:.2g} ({rule}), "
                 f"R∞ = {result.series_resistance:.4g} Ω, "
                 f"Rp = {result.polarisation_resistance:.4g} Ω", fontsize=10)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8)
    return figure


def plot_drt_fit(result, ax=None):
    """The spectrum rebuilt from a DrtResult against the measured points, and the residuals; returns the Figure.

    ax: None for a new figure, or two Axes (Nyquist, residuals). Residuals are
    (model - measured) / |measured| in %, real and imaginary parts.
    """
    plt = require("matplotlib.pyplot", "plotting")
    if ax is None:
        figure, (nyquist, residual) = plt.subplots(1, 2, figsize=(12, 4.8), layout="constrained")
    else:
        nyquist, residual = ax
        figure = nyquist.figure
    low, high = np.log10(result.frequencies.min()), np.log10(result.frequencies.max())
    dense = np.logspace(low, high, max(400, 10 * result.frequencies.size))
    curve = result.impedance(dense)
    nyquist.plot(result.impedances.real, -result.impedances.imag, "o", markersize=4, color="C0", label="measured")
    nyquist.plot(curve.real, -curve.imag, "-", color="C1", label="from γ(τ)")
    nyquist.set_aspect("equal", adjustable="datalim")
    nyquist.set(xlabel="Re Z / Ω", ylabel="-Im Z / Ω", title="reconstruction")
    nyquist.grid(alpha=0.3)
    nyquist.legend(fontsize=8)
    order = np.argsort(result.frequencies)
    residual.semilogx(result.frequencies[order], 100 * result.residuals.real[order], "o-", markersize=3,
                      label="real")
    residual.semilogx(result.frequencies[order], 100 * result.residuals.imag[order], "s-", markersize=3,
                      label="imaginary")
    residual.axhline(0.0, color="black", linewidth=0.8)
    residual.set(xlabel="frequency / Hz", ylabel="(model - measured) / |Z| / %", title="residuals")
    residual.grid(alpha=0.3)
    residual.legend(fontsize=8)
    return figure


def plot_drt_map(series, ax=None, *, label="spectrum", cmap="viridis"):
    """gamma against tau (log, lower axis) and the series coordinate (upper to lower rows) as an image.

    series: a DrtSeries from `drt_many`; its `values` give the vertical axis
    (rows sorted by value; a spectrum without a value or a distribution is
    left out). label: the vertical axis title (cycle, state of charge,
    temperature, ...). Returns the Figure.
    """
    plt = require("matplotlib.pyplot", "plotting")
    usable = np.isfinite(series.values) & np.all(np.isfinite(series.gamma), axis=1)
    if not usable.any():
        raise ValueError("no spectrum of the series has both a value and a distribution")
    order = np.flatnonzero(usable)[np.argsort(series.values[usable], kind="stable")]
    values, gamma = series.values[order], series.gamma[order]
    if ax is None:
        figure, ax = plt.subplots(figsize=(8, 5), layout="constrained")
    else:
        figure = ax.figure
    log_tau = np.log10(series.tau)
    tau_edges = 10 ** np.concatenate([[1.5 * log_tau[0] - 0.5 * log_tau[1]], 0.5 * (log_tau[1:] + log_tau[:-1]),
                                      [1.5 * log_tau[-1] - 0.5 * log_tau[-2]]])
    if values.size > 1:
        middle = 0.5 * (values[1:] + values[:-1])
        value_edges = np.concatenate([[2 * values[0] - middle[0]], middle, [2 * values[-1] - middle[-1]]])
    else:
        value_edges = np.array([values[0] - 0.5, values[0] + 0.5])
    image = ax.pcolormesh(tau_edges, value_edges, gamma, cmap=cmap, shading="flat")
    ax.set_xscale("log")
    ax.set_xlabel("τ / s   (τ = 1/(2π f))")
    ax.set_ylabel(label)
    top = ax.secondary_xaxis("top", functions=(_tau_to_frequency, _tau_to_frequency))
    top.set_xlabel("frequency 1/(2π τ) / Hz")
    figure.colorbar(image, ax=ax).set_label("γ / Ω")
    return figure
