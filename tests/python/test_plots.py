"""plot_fit and plot_spectra."""
import sys

import numpy as np
import pytest

import kovrant
from kovrant_tools import fit, plot_fit, plot_spectra

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

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


def test_plot_fit_into_given_axes(report):
    figure, axes = plt.subplots(1, 3)
    assert plot_fit(report, ax=axes) is figure
    plt.close(figure)


def test_plot_spectra_has_a_colour_bar():
    figure = plot_spectra([spectrum(r) for r in (0.03, 0.05, 0.08)], values=[10, 50, 90], label="SOC / %")
    colour_bar = figure.axes[-1]
    assert colour_bar.get_ylabel() == "SOC / %"
    assert len(figure.axes[0].get_lines()) == 3
    plt.close(figure)


@pytest.mark.parametrize("spectra, values, message", [
    ([], None, "at least one spectrum"),
    ([spectrum(0.05)], [1, 2], "1 spectra but 2 values"),
])
def test_plot_spectra_rejects(spectra, values, message):
    with pytest.raises(ValueError, match=message):
        plot_spectra(spectra, values=values)


def test_missing_matplotlib_says_how_to_install(report, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"pip install kovrant\[plot\]"):
        plot_fit(report)
