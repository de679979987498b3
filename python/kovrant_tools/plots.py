"""Plots of fits, spectra and Kramers-Kronig residuals (matplotlib, the optional extra kovrant[plot]).

Every function returns the matplotlib Figure it drew on and never changes the
backend or any other global setting; save or show the figure as you like.
Each draws into new Axes by default, or into the Axes given as `ax`.
"""
from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from ._optional import require
from .spectrum import as_arrays

if TYPE_CHECKING:
    from .report import FitReport
    from .spectrum import SpectrumLike
    from .validation import KramersKronigResult

PANELS = ("nyquist", "bode", "residuals")
NYQUIST_SCALES = ("auto", "equal", "log")
# Up to this many spectra get a legend entry each; more get a colour bar.
MAX_LEGEND_ENTRIES = 8
# The high-frequency points get an inset when they fill at most this share of the Nyquist plot's extent
# (but at least INSET_LEAST_SHARE, so a plain cluster of points at the series resistance does not).
INSET_SHARE = 0.15
INSET_LEAST_SHARE = 0.01


def _pyplot():
    return require("matplotlib.pyplot", "plotting")


def _frequency_label(frequency):
    for scale, unit in ((1e6, "MHz"), (1e3, "kHz"), (1.0, "Hz"), (1e-3, "mHz")):
        if frequency >= scale * 0.999:
            return f"{frequency / scale:.3g} {unit}"
    return f"{frequency:g} Hz"


def _notation(report):
    return report.notation


def plot_fit(report: FitReport, *, kind: Literal["nyquist", "bode", "residuals"] | None = None, ax: Any = None,
             nyquist: Literal["auto", "equal", "log"] = "auto",
             source: str | None = None) -> Any:
    """Nyquist, Bode and residual plots of a FitReport; returns the Figure.

    kind: None for all three panels, or one of "nyquist", "bode", "residuals"
    for that panel alone. ax: None for a new figure; one Axes for a single
    panel (a single Axes with kind None gets the Nyquist panel); three Axes
    (Nyquist, Bode, residuals) for all three.

    The Nyquist panel has -Im Z upwards and the model marked at whole decades
    of frequency, labelled where the labels do not overlap. nyquist: "equal"
    (equal scales), "log" (log Re Z against log -Im Z; points with Im Z >= 0
    are left out), or "auto" (equal scales, with an inset that enlarges the
    high-frequency points when one larger feature squeezes them together).
    The Bode panel shows |Z| (left axis) and the phase (right axis); the
    residual panel the weighted residuals of the real and imaginary parts (in
    % for modulus weighting). source: the measured file, for the title.
    """
    if kind is not None and kind not in PANELS:
        raise ValueError(f"unknown kind {kind!r}, expected one of {', '.join(map(repr, PANELS))} or None")
    if nyquist not in NYQUIST_SCALES:
        raise ValueError(f"unknown nyquist scale {nyquist!r}, expected one of {', '.join(map(repr, NYQUIST_SCALES))}")
    plt = _pyplot()
    draw = {"nyquist": lambda axes: _draw_fit_nyquist(axes, report, nyquist),
            "bode": lambda axes: _draw_fit_bode(axes, report),
            "residuals": lambda axes: _draw_residuals(axes, report)}
    if kind is not None or _is_axes(ax):
        kind = kind or "nyquist"
        if ax is None:
            figure, ax = plt.subplots(figsize=(6.4, 5.2), layout="constrained")
        elif not _is_axes(ax):
            raise ValueError(f"kind={kind!r} draws one panel: pass one Axes as ax, not {type(ax).__name__}")
        draw[kind](ax)
        ax.set_title(f"{_notation(report)}{_source_text(source)}", fontsize=10)
        return ax.figure
    if ax is None:
        figure = plt.figure(figsize=(12, 8.5), layout="constrained")
        grid = figure.add_gridspec(2, 2, height_ratios=(3, 1.4))
        ax = (figure.add_subplot(grid[0, 0]), figure.add_subplot(grid[0, 1]), figure.add_subplot(grid[1, :]))
    elif len(ax) != 3:
        raise ValueError(f"all three panels need three Axes (Nyquist, Bode, residuals), got {len(ax)}")
    for name, axes in zip(PANELS, ax):
        draw[name](axes)
    figure = ax[0].figure
    figure.suptitle(f"{_notation(report)}{_source_text(source)}: chi-square {report.chi_square:.4g}, "
                    f"BIC {report.bic:.1f}")
    return figure


def _is_axes(ax):
    return ax is not None and hasattr(ax, "plot") and hasattr(ax, "figure")


def _source_text(source):
    return f" fitted to {Path(source).name}" if source else ""


def _draw_fit_nyquist(ax, report, scale):
    measured, curve, grid = report.impedances, report.model_curve, report.model_frequencies
    ax.plot(measured.real, -measured.imag, "o", markersize=4, color="C0", label="measured")
    ax.plot(curve.real, -curve.imag, "-", color="C1", label="model")
    _nyquist_axes(ax, scale)
    exponents = np.log10(grid)
    decades = np.isclose(exponents, np.round(exponents))
    ax.plot(curve.real[decades], -curve.imag[decades], "D", markersize=5, color="C3",
            label="model, whole decades")
    labels = _label_decades(ax, grid[decades], curve[decades])
    ax.legend(loc="upper left", bbox_to_anchor=(0.0, -0.12), ncols=3, fontsize=8, frameon=False)
    if scale == "auto":
        _inset_high_frequencies(ax, report.frequencies, measured, grid, curve, labels)


def _nyquist_axes(ax, scale):
    """Scales, labels and ticks of a Nyquist panel; call after the data are drawn."""
    if scale == "log":
        ax.set_xscale("log")
        ax.set_yscale("log")
        _log_ticks(ax.xaxis, *ax.get_xlim())
        _log_ticks(ax.yaxis, *ax.get_ylim())
    else:
        ax.set_aspect("equal", adjustable="datalim")
        _plain_linear_ticks(ax)
    ax.set_xlabel("Re Z / ohm")
    ax.set_ylabel("-Im Z / ohm")
    ax.grid(alpha=0.3, which="both" if scale == "log" else "major")


def _label_decades(ax, frequencies, points):
    """Frequency labels beside the decade markers; a label that would overlap an earlier one is left out."""
    texts = [ax.annotate(_frequency_label(f), (z.real, -z.imag), textcoords="offset points", xytext=(5, 5),
                         fontsize=8, color="C3") for f, z in zip(frequencies, points)]
    _drop_overlapping(ax.figure, texts)
    return texts


def _drop_overlapping(figure, texts):
    # Text extents are known only after a layout pass; one pass without rendering is cheap.
    figure.draw_without_rendering()
    kept = []
    for text in texts:
        box = text.get_window_extent()
        inside = text.axes.get_window_extent().expanded(1.02, 1.02)
        if not inside.contains(box.x0, box.y0) or any(box.overlaps(other) for other in kept):
            text.set_visible(False)
        else:
            kept.append(box)


def _squeezed_head(frequencies, measured):
    """How many of the highest-frequency points a larger feature squeezes into a corner of the Nyquist plot.

    Zooms in while the highest-frequency points fill at most INSET_SHARE of the current extent and hold
    most of its points (a capacitive tail or a large arc grows the extent point by point). The answer is
    the smallest such part that holds a feature of its own: -Im Z falling, after some point, by a tenth
    of its range (an arc's top and the valley after it). 0 when there is none.
    """
    points = measured[np.argsort(frequencies)[::-1]]
    count, found = points.size, 0
    while True:
        extent = max(np.ptp(points[:count].real), np.ptp(points[:count].imag), 1e-300)
        head = next((k for k in range(count, 1, -1)
                     if max(np.ptp(points[:k].real), np.ptp(points[:k].imag)) <= INSET_SHARE * extent), 0)
        if head < 5 or (found and head < 0.6 * count):
            return found
        count = head
        minus_imag = -points[:count].imag
        lowest_after = np.minimum.accumulate(minus_imag[::-1])[::-1]
        if np.any(minus_imag - lowest_after > 0.1 * np.ptp(minus_imag)):
            found = count


def _inset_high_frequencies(ax, frequencies, measured, grid, curve, labels):
    """An enlarged view of the high-frequency points when a larger feature squeezes them together."""
    count = _squeezed_head(frequencies, measured)
    if count == 0:
        return
    order = np.argsort(frequencies)[::-1][:count]
    lowest = frequencies[order].min()
    inset = ax.inset_axes(_emptiest_corner(ax, measured))
    inset.plot(measured[order].real, -measured[order].imag, "o", markersize=3, color="C0")
    part = grid >= lowest
    inset.plot(curve.real[part], -curve.imag[part], "-", color="C1")
    exponents = np.log10(grid[part])
    decades = np.isclose(exponents, np.round(exponents))
    inset.plot(curve.real[part][decades], -curve.imag[part][decades], "D", markersize=4, color="C3")
    inset.set_aspect("equal", adjustable="datalim")
    inset.tick_params(labelsize=7)
    inset.locator_params(nbins=4)
    _plain_linear_ticks(inset)
    inset.grid(alpha=0.3)
    inset.set_title(f"above {_frequency_label(lowest)}", fontsize=8)
    ax.indicate_inset_zoom(inset, edgecolor="grey")
    ax.figure.draw_without_rendering()
    covered = inset.get_tightbbox()
    for text in labels:
        if text.get_visible() and text.get_window_extent().overlaps(covered):
            text.set_visible(False)
    _drop_overlapping(ax.figure, [t for t in labels if t.get_visible()]
                      + [inset.annotate(_frequency_label(f), (z.real, -z.imag), textcoords="offset points",
                                        xytext=(4, 4), fontsize=7, color="C3")
                         for f, z in zip(grid[part][decades], curve[part][decades])])


def _emptiest_corner(ax, measured):
    """Inset bounds (axes fractions) in the corner that hides the fewest measured points."""
    ax.figure.draw_without_rendering()
    where = ax.transAxes.inverted().transform(ax.transData.transform(np.column_stack([measured.real, -measured.imag])))
    corners = [(0.5, 0.5), (0.03, 0.5), (0.5, 0.06)]

    def hidden(corner):
        x, y = corner
        return int(np.sum((where[:, 0] >= x) & (where[:, 0] <= x + 0.47) & (where[:, 1] >= y) & (where[:, 1] <= y + 0.44)))

    x, y = min(corners, key=hidden)
    return (x, y, 0.47, 0.44)


def _plain_linear_ticks(ax):
    # Long tick numbers collide; a power-of-ten factor at the axis end keeps them short.
    ax.ticklabel_format(axis="both", style="sci", scilimits=(-2, 3), useMathText=True)


def _log_ticks(axis, low, high):
    """Plain-number labels on a log axis: at decades for long spans, at 1, 2 and 5 (or more) times them for short."""
    ticker = require("matplotlib.ticker", "plotting")
    ratio = high / low if low > 0 else np.inf
    short = ratio < 150
    subs = (1.0, 1.5, 2.0, 3.0, 4.0, 5.0, 7.0) if ratio < 8 else (1.0, 2.0, 5.0) if short else (1.0,)
    axis.set_major_locator(ticker.LogLocator(base=10, subs=subs))
    axis.set_major_formatter(ticker.FuncFormatter(lambda value, _: f"{value:g}") if short
                             else ticker.LogFormatterSciNotation())
    axis.set_minor_formatter(ticker.NullFormatter())


def _modulus_axis(ax):
    """|Z| on a log axis with plain tick labels and no minor labels."""
    ax.set_yscale("log")
    _log_ticks(ax.yaxis, *ax.get_ylim())
    ax.set_ylabel("|Z| / ohm")


def _draw_fit_bode(ax, report):
    phase_ax = ax.twinx()
    measured, curve, grid = report.impedances, report.model_curve, report.model_frequencies
    ax.loglog(report.frequencies, np.abs(measured), "o", markersize=4, color="C0", label="|Z| measured")
    ax.loglog(grid, np.abs(curve), "-", color="C0", label="|Z| model")
    phase_ax.semilogx(report.frequencies, -np.degrees(np.angle(measured)), "s", markersize=3, color="C2",
                      label="-phase measured")
    phase_ax.semilogx(grid, -np.degrees(np.angle(curve)), "--", color="C2", label="-phase model")
    _modulus_axis(ax)
    ax.yaxis.label.set_color("C0")
    ax.set_xlabel("frequency / Hz")
    phase_ax.set_ylabel("-phase / degree", color="C2")
    ax.grid(alpha=0.3)
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
    ax.grid(alpha=0.3)
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)


def plot_spectra(spectra: Sequence[SpectrumLike], values: Sequence[float] | None = None, *,
                 names: Sequence[str] | None = None, label: str = "spectrum", cmap: str = "viridis",
                 nyquist: Literal["auto", "equal", "log"] = "equal", ax: Any = None) -> Any:
    """Nyquist and Bode plots (|Z| and phase) of several spectra; returns the Figure.

    spectra: a sequence of spectra (any form that fit accepts). Up to eight
    spectra get one legend entry each, named by `names`, else by `values`
    ("<label> <value>"), else by their source file (and sweep), else by their
    position. More spectra are coloured by `values` (state of charge, cycle,
    temperature, ...; by default their position) on a colour bar titled
    `label`. nyquist: "equal" or "log", as in `plot_fit`. ax: None for a new
    figure, or three Axes (Nyquist, |Z|, phase), or two (Nyquist, Bode: the
    phase then goes on a second y axis of the Bode Axes).
    """
    if nyquist not in ("equal", "log"):
        raise ValueError(f"unknown nyquist scale {nyquist!r}, expected 'equal' or 'log'")
    plt = _pyplot()
    spectra = list(spectra)
    if not spectra:
        raise ValueError("plot_spectra needs at least one spectrum")
    count = len(spectra)
    if values is not None:
        values = np.asarray(values, dtype=float)
        if values.shape != (count,):
            raise ValueError(f"{count} spectra but {values.size} values")
    if names is not None and len(names) != count:
        raise ValueError(f"{count} spectra but {len(names)} names")
    arrays = [as_arrays(spectrum) for spectrum in spectra]
    if ax is None:
        figure = plt.figure(figsize=(12, 5.5), layout="constrained")
        grid = figure.add_gridspec(2, 2, width_ratios=(1.1, 1))
        nyquist_ax = figure.add_subplot(grid[:, 0])
        modulus_ax = figure.add_subplot(grid[0, 1])
        phase_ax = figure.add_subplot(grid[1, 1], sharex=modulus_ax)
        modulus_ax.tick_params(labelbottom=False)
        twin = False
    elif len(ax) == 3:
        nyquist_ax, modulus_ax, phase_ax = ax
        twin = False
    elif len(ax) == 2:
        nyquist_ax, modulus_ax = ax
        phase_ax = modulus_ax.twinx()
        twin = True
    else:
        raise ValueError(f"plot_spectra draws into two or three Axes, got {len(ax)}")
    figure = nyquist_ax.figure
    legend = count <= MAX_LEGEND_ENTRIES
    if legend:
        colours = [f"C{i % 10}" for i in range(count)]
        entries = _spectrum_names(spectra, values, names, label)
    else:
        shown = np.arange(count, dtype=float) if values is None else values
        low, high = shown.min(), shown.max()
        norm = plt.Normalize(low, high if high > low else low + 1.0)
        colour_map = plt.get_cmap(cmap)
        colours = [colour_map(norm(value)) for value in shown]
        entries = [None] * count
    for (frequencies, impedances), colour, entry in zip(arrays, colours, entries):
        order = np.argsort(frequencies)
        f, z = frequencies[order], impedances[order]
        nyquist_ax.plot(z.real, -z.imag, ".-", markersize=3, color=colour, label=entry)
        modulus_ax.loglog(f, np.abs(z), ".-", markersize=3, color=colour)
        phase_ax.semilogx(f, -np.degrees(np.angle(z)), "--" if twin else ".-", markersize=3, color=colour)
    _nyquist_axes(nyquist_ax, nyquist)
    _modulus_axis(modulus_ax)
    phase_ax.set_ylabel("-phase / degree" + (" (dashed)" if twin else ""))
    for axes in (modulus_ax,) if twin else (phase_ax,) if ax is None else (modulus_ax, phase_ax):
        axes.set_xlabel("frequency / Hz")
    for axes in (modulus_ax,) if twin else (modulus_ax, phase_ax):
        axes.grid(alpha=0.3)
    if legend:
        nyquist_ax.legend(fontsize=8)
    else:
        colour_bar = figure.colorbar(plt.cm.ScalarMappable(norm=norm, cmap=colour_map),
                                     ax=[nyquist_ax, modulus_ax, phase_ax])
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

def _spectrum_names(spectra, values, names, label):
    if names is not None:
        return [str(name) for name in names]
    if values is not None:
        return [f"{label} {value:g}" for value in values]
    metadata = [getattr(spectrum, "metadata", None) or {} for spectrum in spectra]
    sources = [entry.get("source") for entry in metadata]
    found = []
    for position, (entry, source) in enumerate(zip(metadata, sources)):
        if source is None:
            found.append(f"{label} {position}")
        else:
            several = sources.count(source) > 1 and entry.get("sweep") is not None
            found.append(Path(source).name + (f" sweep {entry['sweep']}" if several else ""))
    return found


def plot_kramers_kronig(result: KramersKronigResult, *, ax: Any = None, title: str | None = None) -> Any:
    """The relative Kramers-Kronig residuals against frequency, flagged points marked; returns the Figure.

    ax: None for a new figure, or one Axes. title: by default the verdict,
    the number of RC elements and the series terms of the test.
    """
    plt = _pyplot()
    if ax is None:
        figure, ax = plt.subplots(figsize=(7, 4), layout="constrained")
    order = np.argsort(result.frequencies)
    f = result.frequencies[order]
    ax.semilogx(f, 100 * result.residuals_real[order], "o-", markersize=4, label="real")
    ax.semilogx(f, 100 * result.residuals_imag[order], "s-", markersize=4, label="imaginary")
    flagged = result.flagged[order]
    if flagged.any():
        worst = np.maximum(np.abs(result.residuals_real), np.abs(result.residuals_imag))[order]
        ax.semilogx(f[flagged], 100 * worst[flagged], "x", color="red", markersize=9,
                    label="flagged (largest |residual|)")
    for sign in (-1, 1):
        ax.axhline(sign * 100 * result.threshold, color="grey", linestyle=":", linewidth=1,
                   label="threshold" if sign > 0 else None)
    ax.axhline(0, color="black", linewidth=0.5)
    ax.set_xlabel("frequency / Hz")
    ax.set_ylabel("residual / % of |Z|")
    ax.set_title(title or f"Kramers-Kronig, M={result.n_elements}, {result.series_terms}:\n{result.verdict}",
                 fontsize=9)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8)
    return ax.figure
