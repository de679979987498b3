"""Impedance spectra from instrument files and tables, with the format recognised from the content.

`read_spectra(source)` returns every sweep of a file (loops, cycles, segments,
curves), each with its index in `metadata["sweep"]` and, where the file numbers
them, the file's own number in `metadata["cycle"]`; `read_spectrum(source)`
returns the one sweep of a single-sweep file. A source is a path or a file
object. Rows an instrument writes as markers (zero frequency with zero
impedance, e.g. at the end of a loop) are dropped and counted in
`metadata["dropped_markers"]`; any other bad row raises a ValueError naming the
file, the line (or record) and what was expected. A final line cut short (no
line ending, a value shorter than its column's) is left out with a warning.

Tables (CSV, TSV, Excel, Parquet, and the table inside EC-Lab, Gamry and
VersaStudio files) have their columns recognised from the header; a
`ColumnMap` (`columns=`, or its text form "f=0,re=1,im=2") says which is which
where the header does not.
"""

from __future__ import annotations

import re
from typing import Optional, Union

import numpy as np

from .instrument_formats import COLUMN_FORMATS, READERS, RECORD_FORMATS
from .reader_input import Source, SourceLike, split_lines, text_encoding
from .spectrum import Spectrum
from .table_reader import ColumnMap, Points

# Format names accepted by `format=`, with the instrument software each comes from.
FORMATS = {
    "mpt": "BioLogic EC-Lab text (.mpt), any column set",
    "mpr": "BioLogic EC-Lab binary (.mpr, needs galvani)",
    "dta": "Gamry Framework (.DTA), one or more ZCURVE tables",
    "zplot": "Scribner ZPlot/ZView (.z) and its quoted-header variant",
    "par": "Princeton Applied Research VersaStudio (.par)",
    "ivium": "Ivium (.idf, .ids)",
    "pssession": "PalmSens PSTrace session (.pssession)",
    "table": "delimited text table (CSV, TSV, ...), with or without a header row: battery-data CSV, "
             "EC-Lab CSV, CH Instruments, Autolab/NOVA, Parstat and PowerSuite exports, hand-made files",
    "excel": "Excel workbook (.xlsx, first sheet; needs openpyxl)",
    "parquet": "table in Parquet (needs pyarrow)",
}

__all__ = ["FORMATS", "ColumnMap", "detect_format", "read_spectra", "read_spectrum"]


def detect_format(source: Union[SourceLike, Source]) -> str:
    """The format name (a key of `FORMATS`) of a file, recognised from its first bytes and lines."""
    source = source if isinstance(source, Source) else Source(source)
    start = source.head()
    if start.startswith(b"BIO-LOGIC MODULAR FILE"):
        return "mpr"
    if start.startswith(b"PAR1"):
        return "parquet"
    if start.startswith(b"PK\x03\x04"):
        if b"xl/" in start or b"[Content_Types].xml" in start:
            return "excel"
        raise ValueError(f"{source.name}: record 1: a zip archive that is no .xlsx workbook")
    if start.startswith(b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"):
        raise ValueError(f"{source.name}: record 1: an old binary workbook (.xls); save it as .xlsx or CSV")
    text = start.decode(text_encoding(start), errors="replace").lstrip("\ufeff")
    lines = split_lines(text)
    first = lines[0].strip() if lines else ""
    if re.match(r"(EC|BT)-Lab ASCII FILE", first) or first.startswith("freq/Hz\t"):
        return "mpt"
    if first == "EXPLAIN":
        return "dta"
    if first.startswith("ZPLOT2") or re.match(r'"Z\w* Data File', first):
        return "zplot"
    if first == "<Application>" or re.search(r"^<Segment\w*>", text, re.M):
        return "par"
    if first.startswith("{") and '"PalmSens.' in text[:400]:
        return "pssession"
    if "\nCorrosion=" in text[:1024] and "\nSolarcell=" in text[:1024]:
        return "ivium"
    return "table"


def read_spectra(source: SourceLike, *, format: Optional[str] = None,
                 columns: Union[ColumnMap, str, None] = None) -> list[Spectrum]:
    """Every sweep in an impedance file, as a list of `Spectrum` in file order.

    source: a path, or a binary or text file object (read once, not closed).
    format: one of `FORMATS`; by default recognised from the content.
    columns: which column holds which quantity, for tables, EC-Lab text and
    binary, Gamry, VersaStudio, Excel and Parquet files (a `ColumnMap` or its text
    form, such as "f=Freq/Hz,re=Z',im=-Z''" or "f=0,re=1,im=2"); by default
    the columns are recognised from the header, and a table without a header
    and with three columns is read as frequency, Re(Z), Im(Z).

    Sweeps are split by the file's cycle, loop, curve or segment index, and
    otherwise where the frequency runs back to the start of the sweep. Every
    fault in the file raises a ValueError naming the file and the line or
    record (OSError when the file cannot be read at all); a layout whose
    columns cannot be told apart raises a ValueError listing the columns and
    the `columns=` text that would read it.
    """
    if isinstance(columns, str):
        columns = ColumnMap.parse(columns)
    elif columns is not None and not isinstance(columns, ColumnMap):
        raise TypeError(f"columns: expected a ColumnMap or its text form, got {type(columns).__name__}")
    if format is not None and format not in READERS:
        raise ValueError(f"unknown format {format!r}, expected one of {', '.join(FORMATS)}")
    source = Source(source)
    format = format or detect_format(source)
    if columns is not None and format not in COLUMN_FORMATS:
        raise ValueError(f"{source.name}: columns= applies to the formats {', '.join(COLUMN_FORMATS)}, "
                         f"not to {format}, whose columns are fixed")
    points, metadata = READERS[format](source, columns)
    metadata = {"source": source.name, "format": format, **{k: v for k, v in metadata.items() if v is not None}}
    return _spectra(points, metadata, source.name, "record" if format in RECORD_FORMATS else
                    "row" if format == "excel" else "line")


def _spectra(points: Points, metadata: dict, name: str, where: str) -> list[Spectrum]:
    frequencies = np.frombuffer(points.frequencies, dtype=np.float64)
    impedances = np.frombuffer(points.real, dtype=np.float64) + 1j * np.frombuffer(points.imaginary,
                                                                                    dtype=np.float64)
    lines = np.frombuffer(points.lines, dtype=np.int64)
    sweeps = np.frombuffer(points.sweeps, dtype=np.float64)
    bad = ~(np.isfinite(frequencies) & np.isfinite(impedances))
    if bad.any():
        index = int(np.argmax(bad))
        raise ValueError(f"{name}: {where} {lines[index]}: expected finite numbers, got frequency "
                         f"{frequencies[index]} and impedance {impedances[index]}")
    markers = (frequencies == 0) & (impedances == 0)
    wrong = ~markers & (frequencies <= 0)
    if wrong.any():
        index = int(np.argmax(wrong))
        raise ValueError(f"{name}: {where} {lines[index]}: expected a positive frequency, got {frequencies[index]}")
    kept = np.flatnonzero(~markers)
    if not kept.size:
        raise ValueError(f"{name}: {where} {lines[-1] if lines.size else 1}: expected measured points, found "
                         f"{'only marker rows' if lines.size else 'an empty table'}")
    starts = _sweep_starts(frequencies[kept], sweeps[kept])
    ends = np.append(starts[1:], kept.size)
    # A marker row belongs to the sweep it ends (the one before it).
    marker_sweeps = np.searchsorted(starts, np.searchsorted(kept, np.flatnonzero(markers)) - 1, side="right") - 1
    marker_counts = np.bincount(np.maximum(marker_sweeps, 0), minlength=starts.size)
    spectra = []
    for sweep, (start, end) in enumerate(zip(starts, ends)):
        points_of_sweep = kept[start:end]
        cycle = sweeps[points_of_sweep[0]]
        spectra.append(Spectrum(frequencies[points_of_sweep], impedances[points_of_sweep], {
            **metadata, "sweep": sweep, "dropped_markers": int(marker_counts[sweep]),
            "first_line": int(lines[points_of_sweep[0]]),
            # The file's own loop, cycle, curve or segment number, where it writes one.
            **({"cycle": int(cycle) if float(cycle).is_integer() else float(cycle)} if not np.isnan(cycle) else {})}))
    return spectra


def _sweep_starts(frequencies: np.ndarray, sweeps: np.ndarray) -> np.ndarray:
    """Indices where a new sweep begins: a change of the sweep index, or a frequency running back."""
    steps = np.sign(np.diff(frequencies))
    moving = steps[steps != 0]
    direction = moving[0] if moving.size else 0
    changed = ~((sweeps[1:] == sweeps[:-1]) | (np.isnan(sweeps[1:]) & np.isnan(sweeps[:-1])))
    breaks = changed | (steps == -direction) if direction else changed
    return np.concatenate(([0], np.flatnonzero(breaks) + 1))


def read_spectrum(source: SourceLike, *, format: Optional[str] = None,
                  columns: Union[ColumnMap, str, None] = None) -> Spectrum:
    """The one sweep of an impedance file as a `Spectrum` (see `read_spectra` for the arguments).

    A file holding several sweeps raises a ValueError that says how many, so
    that no sweep is fitted in place of another; use `read_spectra` for those.
    """
    spectra = read_spectra(source, format=format, columns=columns)
    if len(spectra) > 1:
        raise ValueError(f"{spectra[0].metadata['source']}: holds {len(spectra)} sweeps (starting at lines "
                         f"{', '.join(str(s.metadata['first_line']) for s in spectra[:20])}"
                         f"{', ...' if len(spectra) > 20 else ''}); use read_spectra to get each of them")
    return spectra[0]
