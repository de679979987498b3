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


# --- series fits (kovrant_tools.fit_series) ---------------------------------------


def plot_series_parameters(report, names=None, covariate=None, ax=None):
    """Every parameter of a SeriesReport against the covariate, joint vs independent; returns the Figure.

    The joint values are a line with their 95 % band; the independent fits
    the series started from are points with their 95 % error bars. names: the
    parameters to draw (default: all that are not fixed); covariate: the
    x-axis, a covariate name of the report (default: its first, else the
    position in the series). ax: None for a new figure, or one Axes per name.
    """
    plt = _pyplot()
    names = [name for name in report.names if report.roles[name] != "fixed"] if names is None else list(names)
    unknown = [name for name in names if name not in report.params]
    if unknown or not names:
        raise ValueError(f"no such parameter(s) {unknown}; the report has {report.names}")
    x, x_label = _series_axis(report, covariate)
    if ax is None:
        columns = min(3, len(names))
        rows = -(-len(names) // columns)
        figure, axes = plt.subplots(rows, columns, figsize=(4.6 * columns, 3.4 * rows), layout="constrained",
                                    squeeze=False)
        axes = axes.ravel()
        for extra in axes[len(names):]:
            extra.set_visible(False)
    else:
        axes = list(ax)
        figure = axes[0].figure
    order = np.argsort(x, kind="stable")
    for axes_one, name in zip(axes, names):
        low, high = report.intervals[name]
        independent = report.independent_params[name]
        spread = 1.96 * report.independent_stderr[name]
        axes_one.errorbar(x, independent, yerr=np.where(np.isfinite(spread), spread, 0.0), fmt=".", color="0.55",
                          markersize=4, elinewidth=0.7, label="independent fits")
        axes_one.fill_between(x[order], low[order], high[order], color="C1", alpha=0.3, linewidth=0,
                              label="joint, 95 % band")
        axes_one.plot(x[order], report.params[name][order], "-", color="C1", label="joint")
        axes_one.set_title(f"{name} ({report.roles[name].replace('_', ' ')})", fontsize=10)
        axes_one.set_xlabel(x_label)
        axes_one.grid(alpha=0.3)
        shown = np.concatenate([independent, low, high, report.params[name]])
        shown = shown[np.isfinite(shown)]
        logarithmic = shown.size and np.all(independent > 0) and shown.max() > 20 * shown[shown > 0].min()
        if logarithmic:
            axes_one.set_yscale("log")
            shown = np.log10(shown[shown > 0])
        if shown.size:
            # The values and the joint band set the scale; an undetermined
            # independent error bar runs off it rather than flattening it.
            pad = 0.08 * max(shown.max() - shown.min(), 1e-12 * max(abs(shown.max()), 1.0))
            limits = (shown.min() - pad, shown.max() + pad)
            axes_one.set_ylim(*(10.0 ** np.array(limits) if logarithmic else limits))
    axes[0].legend(fontsize=8)
    figure.suptitle(f"{report.notation or 'circuit'}: {len(report)} spectra, joint vs independent fits")
    return figure


def plot_series_fits(report, indices=None, ax=None):
    """Nyquist plots of chosen spectra of a SeriesReport with their joint and independent models.

    indices: positions in the series (default: first, middle and last).
    ax: None for a new figure, or one Axes per index. Returns the Figure.
    """
    plt = _pyplot()
    count = len(report)
    indices = sorted({0, count // 2, count - 1}) if indices is None else list(indices)
    for index in indices:
        if not 0 <= index < count:
            raise ValueError(f"index {index} is outside the series of {count} spectra")
    if ax is None:
        figure, axes = plt.subplots(1, len(indices), figsize=(4.6 * len(indices), 4.2), layout="constrained",
                                    squeeze=False)
        axes = axes.ravel()
    else:
        axes = list(ax)
        figure = axes[0].figure
    for axes_one, index in zip(axes, indices):
        frequencies, measured = report.spectra[index]
        grid = np.logspace(np.log10(frequencies.min()), np.log10(frequencies.max()), 200)
        joint = report.fitted_circuit(index).impedance(grid)
        independent = report.circuit.with_values(
            [float(report.independent_params[name][index]) for name in report.names]).impedance(grid)
        axes_one.plot(measured.real, -measured.imag, "o", markersize=3, color="C0", label="measured")
        axes_one.plot(independent.real, -independent.imag, "--", color="0.45", label="independent fit")
        axes_one.plot(joint.real, -joint.imag, "-", color="C1", label="joint fit")
        axes_one.set_aspect("equal", adjustable="datalim")
        label = ", ".join(f"{name} = {values[index]:.4g}" for name, values in report.covariates.items()
                          if np.issubdtype(np.asarray(values).dtype, np.number))
        axes_one.set_title(f"spectrum {index}" + (f" ({label})" if label else ""), fontsize=10)
        axes_one.set(xlabel="Re Z / ohm", ylabel="-Im Z / ohm")
        axes_one.grid(alpha=0.3)
    axes[0].legend(fontsize=8)
    return figure


def _series_axis(report, covariate):
    """(x values, label) for series plots: a numeric covariate, else the position in the series."""
    if covariate is None:
        numeric = [name for name, values in report.covariates.items()
                   if np.issubdtype(np.asarray(values).dtype, np.number)]
        covariate = numeric[0] if numeric else None
    if covariate is None:
        return np.arange(len(report), dtype=float), "position in the series"
    if covariate not in report.covariates:
        raise ValueError(f"no covariate {covariate!r}; the report has {list(report.covariates)}")
    return np.asarray(report.covariates[covariate], dtype=float), covariate
