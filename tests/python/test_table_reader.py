"""Tables and more instrument formats: column maps, dialects, and faulty or hostile files."""

import gc
import io
import os
import warnings

import numpy as np
import pytest

from kovrant_tools import read_spectra, read_spectrum
from kovrant_tools import reader_input
from kovrant_tools.table_reader import ColumnMap

from test_readers import BATTERY, DATA

REFERENCE = read_spectra(DATA / "pyimpspec-multiple-spectra.mpt")[0]


@pytest.mark.parametrize("name, sweeps, points, cycles", [
    ("headerless-biologic.csv", 1, 43, [None]),
    ("eclab-peis-10-loops.csv", 10, 70, list(range(1, 11))),
    ("battery-frequencies-real-imag.parquet", 1, 66, [None]),
])
def test_common_layouts_read_without_options(name, sweeps, points, cycles):
    if name.endswith(".parquet"):
        pytest.importorskip("pyarrow")
    spectra = read_spectra(DATA / name)
    assert [(len(s), s.metadata.get("cycle")) for s in spectra] == [(points, c) for c in cycles]
    if name.startswith("headerless"):
        expected = read_spectrum(DATA / "exampleDataBioLogic.mpt")
    elif name.startswith("battery"):
        expected = read_spectrum(BATTERY)
    else:
        # First row: 1.0000186E+006 Hz, |Z| 2.0838017E+001 ohm, phase 5.9490868E+001 degrees.
        assert spectra[0].frequencies[0] == 1.0000186e6
        assert abs(spectra[0].impedances[0]) == pytest.approx(20.838017, rel=1e-15)
        assert np.degrees(np.angle(spectra[0].impedances[0])) == pytest.approx(59.490868, rel=1e-14)
        return
    np.testing.assert_array_equal(spectra[0].frequencies, expected.frequencies)
    np.testing.assert_array_equal(spectra[0].impedances, expected.impedances)


@pytest.mark.parametrize("name, fmt, sweeps, rtol", [
    ("pyimpspec-data.idf", "ivium", 1, 1e-5),
    ("pyimpspec-data.ids", "ivium", 2, 1e-5),
    ("pyimpspec-data.pssession", "pssession", 1, 1e-7),
])
def test_instrument_formats_match_the_same_spectrum(name, fmt, sweeps, rtol):
    spectra = read_spectra(DATA / name)
    assert len(spectra) == sweeps and spectra[0].metadata["format"] == fmt
    for spectrum in spectra:
        np.testing.assert_allclose(spectrum.frequencies, REFERENCE.frequencies, rtol=rtol)
        np.testing.assert_allclose(spectrum.impedances, REFERENCE.impedances, rtol=rtol)


def test_eclab_and_gamry_variants():
    geis = read_spectra(DATA / "yadg-geis.issue_149.mpt")
    assert [len(s) for s in geis] == [21] * 4 and geis[0].metadata["technique"].startswith("Galvano")
    if pytest.importorskip("galvani"):
        binary = read_spectra(DATA / "yadg-geis.issue_149.mpr")
        np.testing.assert_allclose(binary[3].impedances, geis[3].impedances, rtol=1e-6)
    # Re(Z) and -Im(Z), not the counter electrode's Re(Zce) and -Im(Zce), as written on line 72.
    with_ece = read_spectrum(DATA / "yadg-peis.issue_225.with_ece.mpt")
    assert (len(with_ece), with_ece.frequencies[0], with_ece.impedances[0]) == (32, 1.9999814e5,
                                                                                  1.2273843 - 0.11151811j)
    # Decimal commas throughout; the raw (not drift-corrected) columns come first.
    drift = read_spectrum(DATA / "pyimpspec-drift-corrected.DTA")
    assert (len(drift), drift.frequencies[0], drift.impedances[0]) == (55, 100078.1, 691.6887 - 148.9397j)


def test_gamry_curves_are_sweeps(tmp_path):
    text = (DATA / "exampleDataGamry.DTA").read_text(encoding="cp1252")
    start = text.index("ZCURVE")
    (tmp_path / "two.DTA").write_text(text + text[start:], encoding="cp1252")
    spectra = read_spectra(tmp_path / "two.DTA")
    assert [(len(s), s.metadata["cycle"]) for s in spectra] == [(72, 0), (72, 1)]


@pytest.mark.parametrize("text, columns, expected", [
    # Positions, unit prefixes and -Im.
    ("1,2,3,4\n2,3,4,5\n", "f=0:kHz,re=2:mOhm,-im=3", [(1e3, 3e-3 - 4e-3j), (2e3, 4e-3 - 5e-3j)]),
    # |Z| and phase in radians, named; the header's own units (kOhm) apply.
    ("x;Freq/Hz;|Z| / kOhm;phase [rad]\n0;10;2;0.5\n0;20;1;-0.5\n", "f=Freq/Hz,mod=|Z| / kOhm,phase=phase [rad]",
     [(10, 2e3 * np.exp(0.5j)), (20, 1e3 * np.exp(-0.5j))]),
    # The column named -Z'' holds -Im; a header the reader would not recognise.
    ("Hz\tR\t-Z''\n5\t1.5\t2.5\n", "f=Hz,re=R,im=-Z''", [(5, 1.5 - 2.5j)]),
    # Recognised without a map: units from the header, -Phase negated.
    ("Frequency (kHz),Z (mOhm),-Phase (deg)\n1,1000,90\n", None, [(1e3, -1j)]),
    # Re without Im: |Z| and phase describe the impedance.
    ("f,re,|Z|,phase\n1,5,2,90\n", None, [(1, 2j)]),
])
def test_column_maps_and_header_units(text, columns, expected):
    spectrum = read_spectrum(io.StringIO(text), columns=columns)
    np.testing.assert_allclose(spectrum.frequencies, [f for f, _ in expected], rtol=1e-15)
    np.testing.assert_allclose(spectrum.impedances, [z for _, z in expected], rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("text", ["f=Freq/Hz,re=Z',im=-Z''", "f=0:kHz,mod=1:mOhm,-phase=2:rad,sweep=4", "-im=2,re=1,f=0"])
def test_column_map_text_round_trips(text):
    columns = ColumnMap.parse(text)
    assert ColumnMap.parse(columns.to_text()) == columns


@pytest.mark.parametrize("text, message", [
    ("f=0,re=1", "give re with im"),
    ("f=0,re=1,im=2,x=3", "unknown key 'x'"),
    ("f=0,f=1,re=1,im=2", "'f' given twice"),
    ("f=0,re=1:kHz,im=2", "impedance_unit: expected a unit of impedance, got 'kHz'"),
    ("f0", "expected key=column"),
])
def test_column_map_text_errors(text, message):
    with pytest.raises(ValueError, match=message):
        ColumnMap.parse(text)


@pytest.mark.parametrize("text, message", [
    # The header is on line 1: the error names it, the columns, and the option that reads the file.
    ("A;B;C\n1;2;3\n2;3;4\n", r"line 1: expected columns naming .* the header has 0: 'A', 1: 'B', 2: 'C'\. "
                               r".*--columns 'f=A,re=B,im=C'"),
    ("1 2 3 4 5\n2 3 4 5 6\n", r"line 1: expected a header row or three columns .* the first row has 5: 0: '1'"),
    ("f,re,mod\n1,2,3\n", r"line 1: expected columns naming .* 2: 'mod'\. .*--columns 'f=f,re=re,im=mod'"),
    ("", r"line 1: expected an impedance table, the file is empty"),
])
def test_unrecognised_layouts(text, message):
    with pytest.raises(ValueError, match=f"<StringIO>: {message}"):
        read_spectra(io.StringIO(text))


@pytest.mark.parametrize("text, expected", [
    # pandas to_csv(decimal=","): quoted fields hold the commas.
    ('f,re,im\n"1000,5","12,5","-1,5"\n"100,5","13,5","-2,5"\n', [(1000.5, 12.5 - 1.5j), (100.5, 13.5 - 2.5j)]),
    ("f;re;im\n1000,5;12,5;-1,5\n", [(1000.5, 12.5 - 1.5j)]),
    ("f\tre\tim\n1000\t12\t-1\n", [(1000, 12 - 1j)]),
])
def test_decimal_mark_is_decided_per_file(text, expected):
    spectrum = read_spectrum(io.StringIO(text))
    assert list(zip(spectrum.frequencies, spectrum.impedances)) == expected


def test_appended_tables_are_sweeps():
    spectra = read_spectra(io.StringIO("f,re,im\n1000,1,-1\n10,1,-2\nf,re,im\n1000,2,-2\n"))
    assert [(len(s), s.metadata["cycle"], s.metadata["first_line"]) for s in spectra] == [(2, 0, 2), (1, 1, 5)]


@pytest.mark.parametrize("text, line", [
    ('freq\tzre\tzim\n100.5\t12.5\t-1.5\n"1,000"\t13.5\t-2.5\n', 3),
    ('freq\tzre\tzim\n"1,000"\t12.5\t-1.5\n', 2),
])
def test_thousands_separators_are_refused(text, line):
    with pytest.raises(ValueError, match=f"line {line}: expected a number .* no decimal mark"):
        read_spectra(io.StringIO(text))


def _gamry(replace):
    return (DATA / "exampleDataGamry.DTA").read_bytes().replace(*replace)


@pytest.mark.parametrize("content, outcome", [
    (lambda: _gamry((b"TAG\tEISPOT", b"TAG")), 72),
    (lambda: _gamry((b"\n", b"\r")), 72),  # CR-only line endings
    (lambda: _gamry((b"NOTES\tNOTES\t2", b"NOTES\tNOTES")), r"line \d+: expected the NOTES record's count"),
    (lambda: _gamry((b"NOTES\tNOTES\t2", b"NOTES\tNOTES\tinf")), r"line \d+: expected the NOTES .* got 'inf'"),
    (lambda: _gamry((b"NOTES\tNOTES\t2", b"NOTES\tNOTES\tnan")), r"line \d+: expected the NOTES .* got 'nan'"),
    (lambda: (DATA / "exampleDataVersaStudio.par").read_bytes().replace(b"Segment1>", b"SegmentX>"), 61),
    (lambda: BATTERY.read_text().encode("utf-16"), 66),
    (lambda: BATTERY.read_text().encode("utf-16-le"), 66),
    (lambda: (DATA / "yadg-peis.issue_225.no_ece.mpr").read_bytes()[:9000], r"record 1: expected an EC-Lab data"),
    (lambda: b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(600), r"record 1: an old binary workbook \(.xls\)"),
    (lambda: (DATA / "battery-frequencies-real-imag.parquet").read_bytes().replace(b"real [Ohm]", b"\xffeal [Ohm]"),
     r"record 1: expected a readable Parquet file: UnicodeDecodeError"),
    (lambda: (DATA / "battery-frequencies-real-imag.parquet").read_bytes()[:-40] + bytes(40),
     r"record 1: expected a readable Parquet file"),
])
def test_faulty_files_read_or_name_file_and_line(tmp_path, content, outcome):
    path = tmp_path / "file.dat"
    path.write_bytes(content())
    if isinstance(outcome, int):
        assert sum(len(s) for s in read_spectra(path)) == outcome
        return
    with pytest.raises(ValueError, match=f"{path}: {outcome}"):
        read_spectra(path)


def test_inputs_without_bound_are_refused(tmp_path, monkeypatch):
    os.mkfifo(tmp_path / "fifo")
    with pytest.raises(ValueError, match="fifo: line 1: expected a regular file, got a FIFO"):
        read_spectra(tmp_path / "fifo")
    with pytest.raises(ValueError, match="/dev/zero: line 1: expected a regular file, got a device"):
        read_spectra("/dev/zero", format="table")
    monkeypatch.setattr(reader_input, "MAX_BYTES", 1000)
    with pytest.raises(ValueError, match="expected at most 1000 bytes from a file object"):
        read_spectra(io.BytesIO(bytes(1001)))
    monkeypatch.setattr(reader_input, "MAX_LINE_CHARACTERS", 100)
    (tmp_path / "long.csv").write_bytes(b"f,re,im\n" + b"1" * 200)
    with pytest.raises(ValueError, match="long.csv: line 2: longer than 100 characters"):
        read_spectra(tmp_path / "long.csv")


ROWS = "f,re,im\n1.000e+03,1.250e+00,-1.250e+00\n1.000e+02,2.500e+00,-2.500e+00\n"


@pytest.mark.parametrize("last, points", [
    ("1.000e+01,3.750e+00,-0.", 2), ("1.000e+01,3.750e+00,-3.75", 2), ("1.000e+01,3.750e+00", 2),
    ("1.000e+01,3.750e+00,-3.750e+0", 2), ("1.000e+01,3.750e+00,-3.750e+00", 3), ("1.000e+01,3.750e+00,-3.750e+00\n", 3),
    ("1.000e+01,3.750e+00,-3.750e+00\n# end of data", 3),
])
def test_cut_last_line_is_left_out_with_a_warning(tmp_path, last, points):
    (tmp_path / "table.csv").write_text(ROWS + last)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        spectrum = read_spectrum(tmp_path / "table.csv")
    assert len(spectrum) == points
    assert len(caught) == 3 - points and all("line 4: the file ends inside" in str(w.message) for w in caught)


def test_cut_instrument_file_is_left_out_with_a_warning(tmp_path):
    text = (DATA / "exampleDataGamry.DTA").read_text(encoding="cp1252").rstrip("\r\n")
    (tmp_path / "cut.DTA").write_text(text[:-3], encoding="cp1252")
    with pytest.warns(UserWarning, match="the file ends inside this line"):
        assert len(read_spectrum(tmp_path / "cut.DTA")) == 71


@pytest.mark.parametrize("opener", [lambda path: io.BytesIO(path.read_bytes()),
                                    lambda path: io.StringIO(path.read_text(encoding="cp1252"))])
def test_file_objects_read_as_paths(opener):
    for name in ("exampleDataBioLogic.mpt", "exampleDataGamry.DTA", "headerless-biologic.csv"):
        from_object = read_spectrum(opener(DATA / name))
        np.testing.assert_array_equal(from_object.impedances, read_spectrum(DATA / name).impedances)


def test_every_reader_closes_its_files():
    pytest.importorskip("galvani")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        for name in ("yadg-peis.issue_225.no_ece.mpr", "exampleDataGamry.DTA", "headerless-biologic.csv"):
            read_spectra(DATA / name)
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, ResourceWarning)]


def test_excel_workbook(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    battery = read_spectrum(BATTERY)
    workbook = openpyxl.Workbook()
    sheet = workbook.active
    sheet.append(["measured on", "a cell"])
    sheet.append(["Frequency (Hz)", "Z' (Ω)", "-Z'' (Ω)"])
    for f, z in zip(battery.frequencies, battery.impedances):
        sheet.append([float(f), float(z.real), float(-z.imag)])
    workbook.save(tmp_path / "book.xlsx")
    spectrum = read_spectrum(tmp_path / "book.xlsx")
    assert spectrum.metadata["format"] == "excel" and spectrum.metadata["first_line"] == 3
    # The workbook stores 15 significant digits.
    np.testing.assert_allclose(spectrum.impedances, battery.impedances, rtol=1e-14)
