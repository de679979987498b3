"""plot_fit, plot_spectra and plot_kramers_kronig."""
import sys
from pathlib import Path

import numpy as np
import pytest

import kovrant
from kovrant_tools import fit, kramers_kronig, plot_fit, plot_spectra, read_spectra
from kovrant_tools.plots import plot_kramers_kronig

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
FREQUENCIES = np.logspace(4, -2, 40)
CELL = kovrant.Circuit("R0-(R1,CPE1)")


def spectrum(r1):
    return FREQUENCIES, CELL.with_values([0.02, r1, 1.5, 0.9]).impedance(FREQUENCIES)


@pytest.fixture
def report():
    return fit(spectrum(0.05), CELL)


def test_plot_fit_draws_nyquist_bode_and_residuals(report, tmp_path):
    figure = plot_fit(report)
    nyquist, bode, residuals = figure.axes[:3]
    assert nyquist.get_aspect() == 1.0
    assert nyquist.get_ylabel() == "-Im Z / ohm"
    # The arc of a capacitive cell lies above the real axis.
    assert min(line.get_ydata().min() for line in nyquist.get_lines()) >= -1e-12
    decade_labels = [text.get_text() for text in nyquist.texts]
    assert "1 Hz" in decade_labels and "10 mHz" in decade_labels
    assert bode.get_xscale() == "log" and bode.get_yscale() == "log"
    assert residuals.get_legend() is not None
    figure.savefig(tmp_path / "fit.png")
    plt.close(figure)


@pytest.mark.parametrize("kind, xlabel", [(None, "Re Z / ohm"), ("nyquist", "Re Z / ohm"),
                                           ("bode", "frequency / Hz"), ("residuals", "frequency / Hz")])
def test_plot_fit_into_given_axes(report, kind, xlabel):
    figure, axes = plt.subplots(1, 3)
    assert plot_fit(report, ax=axes) is figure
    single_figure, single = plt.subplots()
    assert plot_fit(report, kind=kind, ax=single) is single_figure
    assert single.get_xlabel() == xlabel and len(single_figure.axes) == (2 if kind == "bode" else 1)
    plt.close("all")


def test_dominant_feature_gets_an_inset_and_labels_do_not_collide():
    frequencies = np.logspace(6, -2, 70)
    blocking = kovrant.Circuit("R0-(R1,C1)-(R2,CPE2)-C3")
    values = [5, 20, 1e-8, 40, 1e-4, 0.8, 1e-5]
    report = fit((frequencies, blocking.with_values(values).impedance(frequencies)), blocking,
                 start=dict(zip(blocking.param_names(), values)))
    nyquist = plot_fit(report, kind="nyquist").axes[0]
    (inset,) = nyquist.child_axes
    # The inset shows the two arcs (tens of ohm), not the capacitive tail (megaohm).
    assert inset.get_ylim()[1] < 100 < nyquist.get_ylim()[1]
    shown = [text.get_window_extent() for axes in (nyquist, inset) for text in axes.texts if text.get_visible()]
    assert len(shown) >= 4 and not any(a.overlaps(b) for i, a in enumerate(shown) for b in shown[i + 1:])
    assert not plot_fit(report, kind="nyquist", nyquist="equal").axes[0].child_axes
    assert plot_fit(report, kind="nyquist", nyquist="log").axes[0].get_xscale() == "log"
    plt.close("all")


def test_few_spectra_get_a_legend_many_a_colour_bar():
    files = read_spectra(ROOT / "tests" / "data" / "pyimpspec-multiple-spectra.mpt")
    figure = plot_spectra(files)
    nyquist, modulus, phase = figure.axes
    assert [t.get_text() for t in nyquist.get_legend().get_texts()] == [
        f"pyimpspec-multiple-spectra.mpt sweep {i}" for i in range(3)]
    assert phase.get_ylabel() == "-phase / degree" and len(phase.get_lines()) == 3
    assert not modulus.yaxis.get_minor_formatter()(0.03)  # no minor tick labels on |Z|
    many = plot_spectra([spectrum(r) for r in np.linspace(0.03, 0.08, 9)], values=np.arange(9) * 10, label="SOC / %")
    assert many.axes[-1].get_ylabel() == "SOC / %" and many.axes[0].get_legend() is None
    assert [t.get_text() for t in plot_spectra([spectrum(0.03)], values=[20], label="SOC / %").axes[0]
            .get_legend().get_texts()] == ["SOC / % 20"]
    plt.close("all")


def test_kramers_kronig_plot_names_the_series_terms():
    figure = plot_kramers_kronig(kramers_kronig(spectrum(0.05)))
    assert "no series terms (chosen automatically)" in figure.axes[0].get_title()
    plt.close(figure)


@pytest.mark.parametrize("call, message", [
    (lambda r: plot_spectra([]), "at least one spectrum"),
    (lambda r: plot_spectra([spectrum(0.05)], values=[1, 2]), "1 spectra but 2 values"),
    (lambda r: plot_fit(r, kind="phase"), "unknown kind 'phase'"),
    (lambda r: plot_fit(r, ax=plt.subplots(1, 2)[1]), "three Axes"),
    (lambda r: plot_fit(r, nyquist="zoom"), "unknown nyquist scale 'zoom'"),
])
def test_bad_arguments_are_refused(report, call, message):
    with pytest.raises(ValueError, match=message):
        call(report)
    plt.close("all")


def test_missing_matplotlib_says_how_to_install_and_backend_is_left_alone(report, monkeypatch):
    backend = matplotlib.get_backend()
    plt.close(plot_fit(report))
    assert matplotlib.get_backend() == backend
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"pip install 'kovrant\[plot\]'"):
        plot_fit(report)
