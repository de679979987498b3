"""Instrument readers on real files, their errors, and the Spectrum object."""

from pathlib import Path

import numpy as np
import pytest

import kovrant
from kovrant_tools import Spectrum, read_spectra, read_spectrum
from kovrant_tools.readers import detect_format

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "data"
BATTERY = ROOT / "data" / "measured" / "li_ion_battery.csv"

# file, detected format, points, first and last (frequency, impedance) as written in the file, instrument.
REAL_FILES = [
    ("exampleDataBioLogic.mpt", "mpt", 43, (1000.3201, 65.470886 - 0.38998979j),
     (0.01689554, 110.97003 - 2.3458567j), "SP-150 (SN 10791079)"),
    ("exampleDataGamry.DTA", "dta", 72, (200015.6, 825.8584 - 1367.239j), (0.0158898, 17007.49 - 6635.557j),
     "REF3000-34128"),
    ("exampleDataZPlot.z", "zplot", 21, (3e5, 147.77 - 11.335j), (3e3, 613.68 - 137.13j), "ZPlot 3.2c"),
    ("exampleDataAutolab.txt", "zplot", 41, (1e4, 0.013785863964281 + 0.007191946305823j),
     (0.1, 0.0345697771923854 - 0.00390292888845954j), "Z60W"),
    ("exampleDataCHInstruments.txt", "table", 73, (9.961e4, 98.91 - 2.748j), (0.1, 5685 - 15860j), "CHI660E"),
    ("exampleDataParstat.txt", "table", 31, (1e4, -0.00049816280376104 + 0.0175143479976367j),
     (10.0, 0.0270946491457229 - 0.00399791080333837j), None),
    ("exampleDataVersaStudio.par", "par", 61, (1e5, 55.31571 + 4.575431j), (0.02154435, 1516.313 - 122.8279j),
     "VersaSTAT4 16334007"),
    ("exampleDataPowersuite.txt", "table", 30, (0.1, 423929.46 - 49014.063j), (2e6, -470.54113 - 1397.7358j),
     None),
]


@pytest.mark.parametrize("name, fmt, count, first, last, instrument", REAL_FILES, ids=[c[0] for c in REAL_FILES])
def test_real_files_read_as_written(name, fmt, count, first, last, instrument):
    spectrum = read_spectrum(DATA / name)
    assert detect_format(DATA / name) == fmt == spectrum.metadata["format"]
    assert spectrum.frequencies.dtype == np.float64 and spectrum.impedances.dtype == np.complex128
    assert len(spectrum) == count
    assert (spectrum.frequencies[0], spectrum.impedances[0]) == first
    assert (spectrum.frequencies[-1], spectrum.impedances[-1]) == last
    assert spectrum.metadata.get("instrument") == instrument
    assert spectrum.metadata["source"] == str(DATA / name)


def test_file_metadata():
    biologic = read_spectrum(DATA / "exampleDataBioLogic.mpt").metadata
    assert biologic["date"] == "02/04/2018 10:02:46"
    assert biologic["technique"] == "Potentio Electrochemical Impedance Spectroscopy"
    gamry = read_spectrum(DATA / "exampleDataGamryABORT.DTA").metadata
    assert (gamry["mode"], gamry["aborted"], gamry["date"]) == ("potentiostatic", True, "3/18/2020 16:54:44")
    # The Parstat export starts with DC rows at zero frequency and zero impedance.
    assert read_spectrum(DATA / "exampleDataParstat.txt").metadata["dropped_markers"] == 781


def test_galvanostatic_gamry(tmp_path):
    text = (DATA / "exampleDataGamry.DTA").read_bytes().replace(b"TAG\tEISPOT", b"TAG\tEISGALV")
    (tmp_path / "galv.DTA").write_bytes(text)
    spectrum = read_spectrum(tmp_path / "galv.DTA")
    assert spectrum.metadata["mode"] == "galvanostatic" and len(spectrum) == 72


def test_sweeps_split_where_the_frequency_runs_back():
    spectra = read_spectra(DATA / "pyimpspec-multiple-spectra.mpt")
    assert [s.metadata["sweep"] for s in spectra] == [0, 1, 2]
    assert [len(s) for s in spectra] == [29, 29, 29]
    assert spectra[1].frequencies[0] == 1e4 and spectra[1].impedances[0] == 109.00918 - 26.55568j
    with pytest.raises(ValueError, match="holds 3 sweeps .*use read_spectra"):
        read_spectrum(DATA / "pyimpspec-multiple-spectra.mpt")


def _biologic_lines():
    return (DATA / "exampleDataBioLogic.mpt").read_text(encoding="cp1252").splitlines(keepends=True)


def _with_field(line, index, text):
    fields = line.split("\t")
    fields[index] = text
    return "\t".join(fields)


def test_loop_markers_are_dropped_and_counted(tmp_path):
    lines = _biologic_lines()
    marker = "\t".join(["0"] * 10 + ["2"] + ["0"] * 7) + "\n"
    # Two loops, each ended by a marker row; the second loop has cycle number 2.
    second = [_with_field(line, 10, "2") for line in lines[61:]]
    (tmp_path / "loops.mpt").write_text("".join(lines + ["\n", marker] + second + ["\n", marker]), encoding="cp1252")
    spectra = read_spectra(tmp_path / "loops.mpt")
    assert [(len(s), s.metadata["dropped_markers"], s.metadata["cycle"]) for s in spectra] == [(43, 1, 1), (43, 1, 2)]
    np.testing.assert_array_equal(spectra[0].impedances, spectra[1].impedances)


@pytest.mark.parametrize("edit, message", [
    (lambda lines: lines[:65] + [_with_field(lines[65], 1, "12,3abc")] + lines[66:],
     r"line 66: expected a number for real part, got '12,3abc'"),
    (lambda lines: lines[:70] + [_with_field(lines[70], 0, "NaN")] + lines[71:], r"line 71: expected finite numbers"),
    (lambda lines: lines[:70] + [_with_field(lines[70], 0, "-5")] + lines[71:],
     r"line 71: expected a positive frequency"),
    (lambda lines: lines[:61], r"line 1: expected measured points, found an empty table"),
    (lambda lines: [], r"line 1: expected an impedance table, the file is empty"),
    (lambda lines: ["just some notes\n", "1 2 3\n"], r"line 1: expected columns naming the frequency and the "
                                                     r"impedance, the header has 0: 'just', 1: 'some'"),
])
def test_bad_files_name_file_line_and_expectation(tmp_path, edit, message):
    path = tmp_path / "bad.mpt"
    path.write_text("".join(edit(_biologic_lines())), encoding="cp1252")
    with pytest.raises(ValueError, match=f"{path}: {message}"):
        read_spectra(path)


def test_missing_column_and_unknown_format():
    path = DATA / "exampleDataBioLogic_MissingFreq.mpt"
    with pytest.raises(ValueError, match=r"MissingFreq.mpt: line 61: expected columns .* 0: 'Re\(Z\)/Ohm', .* 9: 'cycle "
                                         r"number', .*--columns 'f=time/s,re=Re\(Z\)/Ohm,im=-Im\(Z\)/Ohm'"):
        read_spectrum(path)
    with pytest.raises(ValueError, match="unknown format 'xls', expected one of mpt, mpr"):
        read_spectrum(path, format="xls")


@pytest.mark.parametrize("header, row", [
    ("frequency_hertz,real_impedance_ohm,imaginary_impedance_ohm", "{f},{re},{im}"),
    ("Frequency / Hz,Absolute Impedance / ohm,Phase / deg", "{f},{mod},{phase}"),
    # Autolab NOVA column export: semicolons, -Z'' in a column of its own.
    ("Index;Frequency (Hz);Z' (Ω);-Z'' (Ω);Z (Ω);-Phase (°);Time (s)", "1;{f};{re};{neg_im};{mod};0;0"),
])
def test_table_variants(tmp_path, header, row):
    battery = read_spectrum(BATTERY)
    lines = [header] + [row.format(f=f, re=z.real, im=z.imag, neg_im=-z.imag, mod=abs(z),
                                   phase=np.degrees(np.angle(z)))
                        for f, z in zip(battery.frequencies, battery.impedances)]
    (tmp_path / "table.txt").write_text("\n".join(lines), encoding="utf-8")
    spectrum = read_spectrum(tmp_path / "table.txt")
    np.testing.assert_array_equal(spectrum.frequencies, battery.frequencies)
    np.testing.assert_allclose(spectrum.impedances, battery.impedances, rtol=1e-12)


def test_parquet_round_trip(tmp_path):
    pytest.importorskip("pyarrow")
    battery = read_spectrum(BATTERY)
    battery.to_frame().to_parquet(tmp_path / "battery.parquet")
    spectrum = read_spectrum(tmp_path / "battery.parquet")
    assert spectrum.metadata["format"] == "parquet"
    np.testing.assert_array_equal(spectrum.impedances, battery.impedances)


def test_mpr_matches_its_text_export():
    pytest.importorskip("galvani")
    binary = read_spectrum(DATA / "yadg-peis.issue_225.no_ece.mpr")
    text = read_spectrum(DATA / "yadg-peis.issue_225.no_ece.mpt")
    assert (binary.metadata["format"], len(binary), binary.metadata["cycle"]) == ("mpr", 32, 1)
    # The binary file stores single precision.
    np.testing.assert_allclose(binary.frequencies, text.frequencies, rtol=1e-7)
    np.testing.assert_allclose(binary.impedances, text.impedances, rtol=1e-6)


def test_spectrum_is_accepted_as_a_battery_data_frame():
    spectrum = read_spectrum(BATTERY)
    circuit = kovrant.Circuit("R0-(R1,C1)")
    values = [0.02, 0.01, 1.0]
    as_pair = circuit.residuals(values, spectrum.frequencies, spectrum.impedances)
    assert circuit.residuals(values, spectrum) == as_pair
    assert circuit.residuals(values, spectrum.to_frame()) == as_pair
    frame_back = Spectrum.from_frame(spectrum.to_frame())
    np.testing.assert_array_equal(frame_back.impedances, spectrum.impedances)
    with pytest.raises(KeyError):
        spectrum["Voltage / V"]
    with pytest.raises(ValueError, match="same length, got 2 and 1"):
        Spectrum([1.0, 2.0], [1 + 1j])
