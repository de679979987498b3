"""The command-line main job and the CSV helpers of kovrant_tools."""

import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))

from kovrant_tools import __main__ as cli  # noqa: E402
from kovrant_tools.spectra import read_spectrum_csv, spectrum_arrays, write_spectrum_csv  # noqa: E402


def test_csv_round_trip_keeps_every_bit(tmp_path):
    frequencies = np.array([1e4, 3.3, 0.01, 0.0])
    impedances = np.array([0.1 - 0.2j, 1 / 3 + 1e-17j, -5.5j, 2.0])
    path = tmp_path / "spectrum.csv"
    write_spectrum_csv(path, frequencies, impedances)
    got_f, got_z = spectrum_arrays(read_spectrum_csv(path))
    # The zero-frequency row is not a measured point.
    assert got_f.tolist() == frequencies[:3].tolist()
    assert got_z.tolist() == impedances[:3].tolist()


@pytest.mark.parametrize("text, message", [
    ("Frequency / Hz,Real Impedance / ohm\n1,2\n", "Imaginary Impedance"),
    ("Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm\n1,2\n", "row with 2 fields"),
])
def test_malformed_csv_is_reported(tmp_path, text, message):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        spectrum_arrays(read_spectrum_csv(path))


@pytest.mark.parametrize("text, expected", [
    ("R0.r=1,R1.r=2.5", {"R0.r": 1.0, "R1.r": 2.5}),
    (" R0.r = 1e-3 ,", {"R0.r": 1e-3}),
])
def test_parse_values(text, expected):
    assert cli.parse_values(text) == expected


def test_parse_values_rejects_items_without_value():
    with pytest.raises(Exception, match="NAME=VALUE"):
        cli.parse_values("R0.r")


def test_main_job_fits_the_sample_and_writes_a_plot(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    plot = tmp_path / "fit.png"
    start = "R0.r=0.03,R1.r=0.01,W1.aw=0.002,CPE1.q=1,CPE1.alpha=0.8"
    cli.main([str(ROOT / "data" / "sample_randles.csv"), "--circuit", "randles", "--values", start,
              "--plot", str(plot)])
    out = capsys.readouterr().out
    assert out.startswith("FitResult(success=true")
    assert plot.read_bytes().startswith(b"\x89PNG")
    # The sample was made with R0.r = 0.015 and 0.5 % noise.
    r0 = float(next(line.split()[1] for line in out.splitlines() if line.strip().startswith("R0.r ")))
    assert r0 == pytest.approx(0.015, rel=0.02)
