"""Kramers-Kronig test, preprocessing helpers and the `kovrant validate` command."""

import sys
from pathlib import Path

import numpy as np
import pytest

import kovrant

ROOT = Path(__file__).resolve().parents[2]

from kovrant_tools import Spectrum, kramers_kronig, read_spectrum
from kovrant_tools import preprocessing as pre
from kovrant_tools.cli import main

FREQUENCIES = np.logspace(5, -2, 100)
BATTERY = ROOT / "data" / "measured" / "li_ion_battery.csv"


def _impedance(notation, values, frequencies=FREQUENCIES):
    return kovrant.Circuit(notation).with_values(values).impedance(frequencies)


def _noise(z, level, seed=3):
    rng = np.random.default_rng(seed)
    return level * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))


@pytest.mark.parametrize("notation, values", [
    ("R0-(R1,C1)-(R2,C2)", [0.02, 0.05, 1e-3, 0.1, 1.0]),
    ("R0-(R1,CPE1)", [0.02, 0.05, 1.5, 0.9]),
])
def test_ideal_circuit_data_fits_below_1e_6(notation, values):
    result = kramers_kronig((FREQUENCIES, _impedance(notation, values)))
    assert max(np.abs(result.residuals_real).max(), np.abs(result.residuals_imag).max()) < 1e-6
    assert result.passed and result.verdict.startswith("valid")


def test_series_capacitance_and_inductance_are_recovered():
    omega = 2 * np.pi * FREQUENCIES
    z = 1e-6j * omega + 0.01 + 0.05 / (1 + 1j * omega * 0.02) + 1 / (1j * omega * 3.0)
    result = kramers_kronig((FREQUENCIES, z), capacitance=True, inductance=True)
    assert result.inductance == pytest.approx(1e-6, rel=1e-6)
    assert result.capacitance == pytest.approx(3.0, rel=1e-6)
    assert not kramers_kronig((FREQUENCIES, z), capacitance=False, inductance=False).passed
    chosen = kramers_kronig((FREQUENCIES, z))
    assert chosen.passed and chosen.inductance == pytest.approx(1e-6, rel=1e-6)
    assert chosen.series_terms == "series capacitance and inductance (chosen automatically)"


@pytest.mark.parametrize("forced, terms", [
    ({}, "no series terms (chosen automatically)"),          # noise-free: no term halves a rounding-level misfit
    ({"inductance": True}, "series inductance (chosen automatically)"),
    ({"capacitance": False, "inductance": False}, "no series terms"),
])
def test_series_terms_are_added_only_where_they_help(forced, terms):
    result = kramers_kronig((FREQUENCIES, _impedance("R0-(R1,CPE1)", [0.02, 0.05, 1.5, 0.9])), **forced)
    assert result.series_terms == terms and result.passed


def test_measured_cable_inductance_is_chosen():
    spectrum = read_spectrum(BATTERY)
    assert not kramers_kronig(spectrum, capacitance=False, inductance=False).passed
    chosen = kramers_kronig(spectrum)
    assert chosen.passed and chosen.inductance > 0 and chosen.automatic


def test_extreme_frequency_span_gives_a_reason():
    frequencies = np.logspace(200, -200, 50)
    result = kramers_kronig((frequencies, 1 + 1 / (1 + 1e-3j * frequencies)))
    assert np.isfinite(result.rms)
    assert result.passed or result.verdict.partition(": ")[2]


def test_drift_is_flagged_where_it_happens():
    # The charge-transfer resistance grows by 20 % over the sweep; the slow low-frequency points take
    # nearly all the time, so the drift shows at the low-frequency end.
    elapsed = np.cumsum(1 / FREQUENCIES)
    elapsed /= elapsed[-1]
    z = np.array([_impedance("R0-(R1,C1)-(R2,C2)", [0.02, 0.05, 1e-3, 0.1 * (1 + 0.2 * t), 1.0], [f])[0]
                  for f, t in zip(FREQUENCIES, elapsed)])
    z += _noise(z, 0.002)
    drifting = kramers_kronig((FREQUENCIES, z))
    assert not drifting.passed
    assert drifting.flagged.any() and FREQUENCIES[drifting.flagged].max() < 0.1
    steady = kramers_kronig((FREQUENCIES, _impedance("R0-(R1,C1)-(R2,C2)", [0.02, 0.05, 1e-3, 0.1, 1.0])
                             + _noise(z, 0.002)))
    assert steady.passed and steady.rms < 0.004


def test_real_battery_spectrum_is_valid_with_inductance_and_capacitance():
    result = kramers_kronig(read_spectrum(BATTERY), inductance=True, capacitance=True)
    assert result.passed and result.n_elements > 5


@pytest.mark.parametrize("spectrum, keywords, message", [
    (([1.0, 2.0, 2.0], [1, 1, 1]), {}, "at least 3 distinct frequencies, got 2"),
    (([3.0, 2.0, 1.0], [1, 1, 1]), {"max_elements": 4}, r"between 1 and the number of points \(3\), got 4"),
    (([3.0, 2.0, 1.0], [1, np.nan, 1]), {}, "point 1 has frequency 2.0"),
    (([3.0, 2.0, 0.0], [1, 1, 1]), {}, "point 2 has frequency 0.0"),
    (([3.0, 2.0, 1.0], [1, 1, 1]), {"mu_limit": 0}, "mu_limit must lie in"),
    (([3.0, 2.0, 1.0], [1, 1, 1]), {"threshold": -1}, "threshold must be a finite positive number, got -1"),
    (([3.0, 2.0, 1.0], [1, 1, 1]), {"threshold": np.inf}, "threshold must be a finite positive number, got inf"),
    (([3.0, 2.0, 1.0], [1, 1, 1]), {"inductance": "yes"}, "inductance must be True, False or None"),
])
def test_kk_rejects_bad_input(spectrum, keywords, message):
    with pytest.raises(ValueError, match=message):
        kramers_kronig(spectrum, **keywords)


SPECTRUM = Spectrum([100.0, 1.0, 1000.0, 10.0, 10.0], [1 - 1j, 3 - 2j, 1 + 0.5j, 2 - 1j, 4 - 3j], {"cell": "A"})


@pytest.mark.parametrize("step, frequencies, removed", [
    (lambda s: pre.crop(s, f_min=5, f_max=500), [100, 10, 10], {"crop": 2}),
    (lambda s: pre.drop_inductive(s, above=10), [100, 1, 10, 10], {"drop_inductive": 1}),
    (lambda s: pre.sort_by_frequency(s), [1000, 100, 10, 10, 1], {}),
    (lambda s: pre.sort_by_frequency(s, descending=False), [1, 10, 10, 100, 1000], {}),
    (lambda s: pre.merge_repeated(pre.crop(s, f_max=100)), [100, 10, 1], {"crop": 1, "merge_repeated": 1}),
])
def test_preprocessing_steps(step, frequencies, removed):
    result = step(SPECTRUM)
    assert result.frequencies.tolist() == frequencies
    assert result.metadata.get("removed", {}) == removed and result.metadata["cell"] == "A"
    assert SPECTRUM.frequencies.tolist() == [100, 1, 1000, 10, 10]  # the input is left as it was


def test_merge_averages_and_outliers_follow_the_kk_flags():
    assert pre.merge_repeated(SPECTRUM).impedances[2] == 3 - 2j
    z = _impedance("R0-(R1,CPE1)", [0.02, 0.05, 1.5, 0.9])
    z += _noise(z, 0.003)
    z[40] *= 1.05
    spectrum = Spectrum(FREQUENCIES, z)
    result = kramers_kronig(spectrum)
    assert np.flatnonzero(result.flagged).tolist() == [40]
    cleaned = pre.drop_outliers(spectrum, result)
    assert len(cleaned) == 99 and cleaned.metadata["removed"] == {"drop_outliers": 1}
    assert kramers_kronig(cleaned).passed
    with pytest.raises(ValueError, match="belongs to another spectrum"):
        pre.drop_outliers(SPECTRUM, result)
    with pytest.raises(ValueError, match=r"f_min \(10 Hz\) is above f_max \(1 Hz\)"):
        pre.crop(SPECTRUM, f_min=10, f_max=1)


def test_validate_command(tmp_path, capsys, monkeypatch):
    pytest.importorskip("matplotlib")
    monkeypatch.chdir(tmp_path)
    plot = tmp_path / "kk.png"
    assert main(["validate", str(BATTERY), "--inductance", "--capacitance", "--plot", str(plot)]) == 0
    assert capsys.readouterr().out.startswith(f"{BATTERY.name}: valid: rms residual 0.13%")
    assert plot.read_bytes().startswith(b"\x89PNG")
    plot.unlink()
    out = tmp_path / "kk"
    assert main(["validate", str(ROOT / "tests" / "data" / "pyimpspec-multiple-spectra.mpt"), "--out", str(out)]) == 0
    assert sorted(p.name for p in out.iterdir()) == [f"pyimpspec-multiple-spectra_sweep{i}_kk.png" for i in range(3)]
    assert main(["validate", str(ROOT / "tests" / "data" / "exampleDataParstat.txt")]) == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["kk"]  # nothing in the current folder by default


def test_validate_exit_codes_do_not_need_matplotlib(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    assert main(["validate", str(BATTERY), "--out", str(tmp_path)]) == 0
    assert "kovrant: note: no plot li_ion_battery_kk.png: matplotlib is not installed" in capsys.readouterr().err
    # Forcing the terms out fails the spectrum, and the test's own choice is suggested.
    assert main(["validate", str(BATTERY), "--no-inductance", "--no-capacitance"]) == 1
    err = capsys.readouterr().err
    assert "--capacitance --inductance" in err and "the spectrum is valid" in err
    # In a folder, an unreadable file is an error of its own and the others are still tested.
    (tmp_path / "a.csv").write_bytes(BATTERY.read_bytes())
    (tmp_path / "b.csv").write_text("not a spectrum\n")
    assert main(["validate", str(tmp_path)]) == 2
    captured = capsys.readouterr()
    assert captured.out.startswith("a.csv: valid") and captured.err.startswith("kovrant: error: b.csv: ")


@pytest.mark.parametrize("arguments, message", [
    (["validate", "no/such/file.mpt"], "kovrant: error: [Errno 2] No such file or directory"),
    (["validate", str(ROOT / "tests" / "data" / "exampleDataBioLogic_MissingFreq.mpt")],
     "MissingFreq.mpt: line 61: expected columns"),
])
def test_validate_user_errors_are_one_line(arguments, message, capsys):
    assert main(arguments) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1 and "Traceback" not in err
