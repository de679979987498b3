"""The `kovrant` command and the CSV helpers of kovrant_tools."""

import csv
import json
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

from kovrant_tools import cli, commands_fit, fit, read_spectrum
from kovrant_tools.spectra import write_spectrum_csv

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "data" / "sample_randles.csv"


def test_csv_round_trip_keeps_every_bit(tmp_path):
    frequencies = np.array([1e4, 3.3, 0.01])
    impedances = np.array([0.1 - 0.2j, 1 / 3 + 1e-17j, -5.5j])
    path = tmp_path / "spectrum.csv"
    write_spectrum_csv(path, frequencies, impedances)
    spectrum = read_spectrum(path)
    assert spectrum.frequencies.tolist() == frequencies.tolist()
    assert spectrum.impedances.tolist() == impedances.tolist()


@pytest.mark.parametrize("text, expected", [
    ("R0.r=1,R1.r=2.5", {"R0.r": 1.0, "R1.r": 2.5}),
    (" R0.r = 1e-3 ,", {"R0.r": 1e-3}),
])
def test_start_values(text, expected):
    assert commands_fit._start_items(text) == expected


@pytest.mark.parametrize("argv, message", [
    (["--start", "R0.r"], "expected NAME=VALUE"),
    (["--bounds", "CPE1.alpha=0.6"], "expected NAME=LO:HI"),
    (["--fix", "R0.r=abc"], "'abc' is not a number"),
    (["--fix", "R0.r=nan"], "argument --fix: 'nan' is not a finite number"),
    (["--fmin", "-1"], "above 0 Hz"),
])
def test_malformed_options_are_usage_errors(argv, message, capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["fit", str(SAMPLE), "--circuit", "randles", *argv])
    assert stop.value.code == 2
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("argv, message", [
    (["--circuit", "randles", "--fix", "R0.x=1"], "unknown parameter 'R0.x' (did you mean 'R0.r'?)"),
    (["--circuit", "randles", "--bounds", "CPE1.alpha=0.6:1.5"], "CPE1.alpha = (0.6, 1.5) must satisfy"),
    ([], "give --circuit, or --rank"),
    (["--circuit", "randles", "--sweep", "1"], "--sweep 1, but the file holds 1 sweep (0 to 0)"),
])
def test_user_errors_are_one_line_and_exit_2(argv, message, capsys):
    assert cli.main(["fit", str(SAMPLE), *argv]) == 2
    err = capsys.readouterr().err
    assert err.startswith("kovrant: error: ") and message in err and err.count("\n") == 1


@pytest.mark.parametrize("circuit, first_line", [
    ("R0-(R1", "kovrant: error: --circuit 'R0-(R1': unexpected end of input"),
    ("randels", "kovrant: error: --circuit 'randels': unexpected character at position 7 (did you mean 'randles'?)"),
])
def test_circuit_errors_name_the_circuit_and_keep_the_catalogue(circuit, first_line, capsys):
    assert cli.main(["fit", str(SAMPLE), "--circuit", circuit]) == 2
    err = capsys.readouterr().err.splitlines()
    assert err[0] == first_line
    assert "available elements (code, parameters, [units]):" in err and "  TLMQ  r_ion [ohm], qs [F*s^(gamma-1)], gamma [-]" in err


def test_out_naming_a_file_is_a_user_error(tmp_path, capsys):
    (tmp_path / "taken").write_text("")
    assert cli.main(["fit", str(SAMPLE), "--circuit", "randles", "--out", str(tmp_path / "taken")]) == 2
    assert capsys.readouterr().err == f"kovrant: error: --out {tmp_path / 'taken'}: a file of that name exists; --out names a folder\n"


def test_version(capsys):
    import kovrant_tools

    with pytest.raises(SystemExit) as stop:
        cli.main(["--version"])
    assert stop.value.code == 0 and capsys.readouterr().out == f"kovrant {kovrant_tools.__version__}\n"


def test_missing_file_is_a_user_error(tmp_path, capsys):
    assert cli.main(["fit", str(tmp_path / "absent.csv"), "--circuit", "randles"]) == 2
    assert "No such file" in capsys.readouterr().err


def test_fit_writes_report_and_plot(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    start = "R0.r=0.03,R1.r=0.01,W1.aw=0.002,CPE1.q=1,CPE1.alpha=0.8"
    assert cli.main(["fit", str(SAMPLE), "--circuit", "randles", "--start", start, "--out", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert "converged" in out.splitlines()[0]
    report = json.loads((tmp_path / "sample_randles_fit.json").read_text())
    assert report["notation"] == "randles" and report["source"] == str(SAMPLE) and report["sweep"] is None
    # The sample was made with R0.r = 0.015 and 0.5 % noise.
    r0 = next(row["value"] for row in report["parameters"] if row["name"] == "R0.r")
    assert r0 == pytest.approx(0.015, rel=0.02)
    with (tmp_path / "sample_randles_fit.csv").open() as handle:
        assert [row["name"] for row in csv.DictReader(handle)] == ["R0.r", "R1.r", "W1.aw", "CPE1.q", "CPE1.alpha"]
    assert (tmp_path / "sample_randles_fit.png").read_bytes().startswith(b"\x89PNG")


def test_rank_fits_the_best_and_works_without_matplotlib(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    assert cli.main(["fit", str(SAMPLE), "--rank", "--out", str(tmp_path)]) == 0
    assert "kovrant: note: no plot sample_randles_fit.png: matplotlib is not installed" in capsys.readouterr().err
    with (tmp_path / "sample_randles_ranking.csv").open() as handle:
        rows = list(csv.DictReader(handle))
    # The eleven built-ins and the simpler circuits their degenerate fits equal.
    assert rows[0]["circuit"] == "randles" and len(rows) >= 11
    assert json.loads((tmp_path / "sample_randles_fit.json").read_text())["notation"] == "randles"
    assert not (tmp_path / "sample_randles_fit.png").exists()


def test_warnings_are_one_line_each(capsys, monkeypatch):
    # A circuit without a network starts from the data: no placeholder warning any more.
    assert cli.main(["fit", str(SAMPLE), "--circuit", "R0-(R1,C1)-W2"]) == 0
    assert capsys.readouterr().err == ""

    def fit_with_a_warning(*args, **kwargs):
        warnings.warn("first line\nsecond line", UserWarning)
        return fit(*args, **kwargs)

    monkeypatch.setattr(commands_fit, "fit", fit_with_a_warning)
    assert cli.main(["fit", str(SAMPLE), "--circuit", "randles"]) == 0
    assert capsys.readouterr().err == "kovrant: warning: first line\n"


def test_many_spectra_give_one_table(tmp_path, capsys):
    folder = tmp_path / "runs"
    folder.mkdir()
    for name in ("a.csv", "b.csv"):
        (folder / name).write_bytes(SAMPLE.read_bytes())
    (folder / "broken.csv").write_text("no spectrum here\n")
    glob_text = str(folder / "*.csv")
    assert cli.main(["fit", glob_text, "--circuit", "randles", "--fmin", "1", "--out", str(tmp_path / "out")]) == 0
    table = capsys.readouterr().out
    assert (tmp_path / "out" / "fits.csv").read_text() == table
    rows = {Path(row["file"]).name: row for row in csv.DictReader(table.splitlines())}
    assert sorted(rows) == ["a.csv", "b.csv", "broken.csv"]
    assert rows["a.csv"]["R1.r"] == rows["b.csv"]["R1.r"] != "" and rows["a.csv"]["success"] == "True"
    assert rows["broken.csv"]["R1.r"] == "" and "broken.csv" in rows["broken.csv"]["error"]
    # The folder itself reads the same files.
    assert cli.main(["fit", str(folder), "--circuit", "randles", "--fmin", "1"]) == 0
    assert capsys.readouterr().out == table


def test_frequency_range_and_inductive_points_are_left_out(tmp_path):
    argv = ["fit", str(SAMPLE), "--circuit", "randles", "--fmin", "1", "--fmax", "1000", "--drop-inductive"]
    assert cli.main([*argv, "--out", str(tmp_path)]) == 0
    frequencies = json.loads((tmp_path / "sample_randles_fit.json").read_text())["points"]["frequency_hertz"]
    assert 1 <= min(frequencies) and max(frequencies) <= 1000 and 0 < len(frequencies) < 61
