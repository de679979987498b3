"""Instrument files: each reader turns one format into points and metadata.

Every reader takes a `Source` (and, for formats with named columns, an
optional `ColumnMap`) and returns `(Points, metadata)`; every fault in a file
raises a ValueError naming the file and the line or record.
"""

from __future__ import annotations

import json
import re
from typing import Optional

import numpy as np

from ._optional import require
from .reader_input import Source, drop_truncated_last_line, split_lines
from .table_reader import (ColumnMap, Layout, Points, layout_of_header, read_frame, read_rows, read_table,
                           split_fields)


def _text_lines(source: Source) -> list[str]:
    text = drop_truncated_last_line(source.text(), source.name)
    if not text.strip():
        raise ValueError(f"{source.name}: line 1: expected an impedance file, the file is empty")
    return split_lines(text)


def _key_values(lines, separator):
    """'key <separator> value' lines of a header as a dict, keys and values stripped."""
    pairs = {}
    for line in lines:
        key, found, value = line.partition(separator)
        if found and key.strip() and value.strip():
            pairs.setdefault(key.strip(), value.strip())
    return pairs


def _concatenate(parts: list[tuple[Points, float]]) -> Points:
    """One set of points from several, each part's points numbered with its own sweep."""
    joined = Points()
    for points, sweep in parts:
        joined.frequencies.extend(points.frequencies)
        joined.real.extend(points.real)
        joined.imaginary.extend(points.imaginary)
        joined.lines.extend(points.lines)
        joined.sweeps.extend([sweep] * len(points.lines))
    return joined


def read_mpt(source: Source, columns: Optional[ColumnMap] = None):
    head = split_lines(source.head(4096).decode("cp1252", errors="replace"))
    match = re.match(r"Nb header lines\s*:\s*(\d+)", head[1]) if len(head) > 1 else None
    header_at = int(match.group(1)) if match else 1
    points, metadata = read_table(source.lines(), source.name, columns, header_at=header_at)
    preamble = metadata.pop("preamble")
    header = _key_values(preamble, " : ")
    metadata.update({
        "instrument": header.get("Device"),
        "date": header.get("Acquisition started on"),
        "technique": preamble[2].strip() if match and len(preamble) > 2 else None,
        "header": header,
    })
    return points, metadata


def read_table_file(source: Source, columns: Optional[ColumnMap] = None):
    points, metadata = read_table(source.lines(), source.name, columns)
    preamble = metadata.pop("preamble")
    header = metadata["header"]
    metadata.update({
        "instrument": header.get("Instrument Model"),
        # CH Instruments writes the date as the first line.
        "date": preamble[0].strip() if preamble and re.search(r"\d{4}\s+\d+:\d+", preamble[0]) else None,
        "technique": preamble[1].strip() if len(preamble) > 1 and "Impedance" in preamble[1] else None,
    })
    return points, metadata


def _dta_header(lines, name):
    """Gamry header records: KEY, TYPE, VALUE, ...; the TAG record alone is KEY, VALUE."""
    tags, notes = {}, ""
    number = 0
    while number < len(lines):
        fields = lines[number].split("\t")
        number += 1
        key = fields[0]
        if not key or key.startswith("ZCURVE"):
            continue
        if key == "TAG":
            tags.setdefault("TAG", fields[1].strip() if len(fields) > 1 else "")
        elif key == "NOTES" and len(fields) > 1 and fields[1] == "NOTES":
            count = _note_count(fields, name, number, len(lines) - number)
            notes = "\n".join(line.strip() for line in lines[number:number + count]).strip()
            number += count
        elif len(fields) > 2:
            tags.setdefault(key, fields[2].strip())
    return tags, notes


def _note_count(fields, name, number, remaining):
    text = fields[2].strip() if len(fields) > 2 else ""
    if not re.fullmatch(r"\d+", text) or int(text) > remaining:
        raise ValueError(f"{name}: line {number}: expected the NOTES record's count of lines (at most "
                         f"{remaining}), got {text!r}")
    return int(text)


def read_dta(source: Source, columns: Optional[ColumnMap] = None):
    lines = _text_lines(source)
    parts = []
    for index, line in enumerate(lines):
        if not line.startswith("ZCURVE"):
            continue
        names = lines[index + 1].split("\t") if index + 1 < len(lines) else []
        layout = layout_of_header(names, columns)
        if layout is None:
            raise ValueError(f"{source.name}: line {index + 2}: expected the {line.split(chr(9))[0]} column names "
                             f"'Freq', 'Zreal' and 'Zimag', got {[n for n in names if n]}")
        first = index + 3  # past the names and the units rows
        end = first
        while end < len(lines) and lines[end].startswith("\t"):
            end += 1
        rows = ((number + 1, lines[number], True) for number in range(first, end))
        parts.append((read_rows(rows, source.name, layout, "\t", "line"), float(len(parts))))
    if not parts:
        raise ValueError(f"{source.name}: line {len(lines)}: expected a ZCURVE table, found none")
    tags, notes = _dta_header(lines, source.name)
    metadata = {
        "instrument": tags.get("PSTAT"),
        "date": " ".join(filter(None, (tags.get("DATE"), tags.get("TIME")))) or None,
        "technique": tags.get("TITLE"),
        "mode": {"EISPOT": "potentiostatic", "EISGALV": "galvanostatic"}.get(tags.get("TAG")),
        "notes": notes,
        "aborted": tags.get("EXPERIMENTABORTED") == "T",
        "header": tags,
    }
    # One curve: no sweep numbers of the file's own, so that sweeps split where the frequency runs back.
    points = _concatenate(parts) if len(parts) > 1 else parts[0][0]
    return points, metadata


# ZPlot's fixed column order, shared by its quoted-header variant: frequency, amplitude, bias,
# time, Z', Z'', ...
_ZPLOT_LAYOUT = Layout({"frequency": 0, "real": 4, "imaginary": 5}, frozenset(), {}, ())


def read_zplot(source: Source, columns: Optional[ColumnMap] = None):
    lines = _text_lines(source)
    if lines[0].startswith("ZPLOT2"):
        end = next((i for i, line in enumerate(lines) if line.strip() == "End Comments"), None)
        if end is None:
            raise ValueError(f"{source.name}: line {len(lines)}: expected an 'End Comments' line before the data")
        header = _key_values(lines[1:end], ":")
        first_data, delimiter = end + 1, "\t"
        instrument = "ZPlot " + header.get("Measured Data, ZPlot", "")
    else:
        names_at = next((i for i, line in enumerate(lines[:40]) if "Freq" in line and "Z'" in line), None)
        if names_at is None:
            raise ValueError(f"{source.name}: line 1: expected a quoted column-name row naming Freq(Hz), Z'(a) "
                             "and Z''(b)")
        header = {f"line {i + 1}": line.strip('"').strip() for i, line in enumerate(lines[1:names_at], 1)
                  if line.strip('"').strip()}
        first_data, delimiter = names_at + 1, ","
        instrument = lines[0].strip().strip('"').split(" Data File")[0]
    rows = ((number + 1, lines[number], True) for number in range(first_data, len(lines)))
    metadata = {
        "instrument": instrument.strip(),
        "date": " ".join(filter(None, (header.get("Date"), header.get("Time")))) or None,
        "technique": header.get("Experiment Type"),
        "header": header,
    }
    return read_rows(rows, source.name, _ZPLOT_LAYOUT, delimiter, "line"), metadata


def read_par(source: Source, columns: Optional[ColumnMap] = None):
    lines = _text_lines(source)
    sections, section = {}, None
    parts, layout, rows = [], None, []

    def close_segment():
        if rows:
            parts.append((read_rows(rows, source.name, layout, ",", "line"), float(len(parts))))
        rows.clear()

    for number, line in enumerate(lines, start=1):
        tag = re.fullmatch(r"<(/?)(\w+)>", line.strip())
        if tag:
            close_segment()
            section = None if tag.group(1) else tag.group(2)
            layout = None
            continue
        if section is None:
            continue
        if section.startswith("Segment"):
            if line.startswith("Definition="):
                layout = layout_of_header(split_fields(line.removeprefix("Definition="), ","), columns)
                if layout is None:
                    raise ValueError(f"{source.name}: line {number}: expected a Definition naming "
                                     "'Frequency(Hz)', 'Z Real' and 'Z Imag'")
            elif layout is not None and line.strip() and line[0] in "-0123456789":
                rows.append((number, line, True))
        else:
            key, found, value = line.partition("=")
            if found:
                sections.setdefault(section, {}).setdefault(key.strip(), value.strip())
    close_segment()
    if not parts:
        raise ValueError(f"{source.name}: line {len(lines)}: expected a <Segment> with a Definition and data rows")
    instrument = sections.get("Instrument", {})
    experiment = sections.get("Experiment", {})
    metadata = {
        "instrument": " ".join(filter(None, (instrument.get("Type"), instrument.get("SN")))) or None,
        "date": " ".join(filter(None, (experiment.get("DateAcquired"), experiment.get("TimeAcquired")))) or None,
        "software": " ".join(filter(None, (sections.get("Application", {}).get(key) for key in ("Name", "Version")))),
        "header": sections,
    }
    return _concatenate(parts), metadata


def read_ivium(source: Source, columns: Optional[ColumnMap] = None):
    """Ivium .idf (one dataset) and .ids (several): each 'primary_data' block is one sweep.

    A block is the line 'primary_data', the number of columns, the number of
    rows, then rows of Re(Z), Im(Z) and frequency.
    """
    lines = _text_lines(source)
    parts, methods, header = [], {}, {}
    for index, line in enumerate(lines):
        key, found, value = line.partition("=")
        if found and key in ("Method", "Technique", "Title", "starttime", "serialnumber", "software"):
            header.setdefault(key, value.strip())
            if key == "Method":
                methods[index] = value.strip()
        if line.strip() != "primary_data":
            continue
        method = methods[max(methods)] if methods else None
        if method != "Impedance":
            raise ValueError(f"{source.name}: line {index + 1}: expected an impedance dataset, the file's "
                             f"Method is {method!r}")
        column_count = _count(lines, index + 1, source.name, "the number of columns")
        row_count = _count(lines, index + 2, source.name, "the number of rows")
        if column_count < 3 or index + 3 + row_count > len(lines):
            raise ValueError(f"{source.name}: line {index + 2}: expected at least 3 columns and {row_count} rows "
                             f"after it, got {column_count} columns and {len(lines) - index - 3} lines")
        rows = ((number + 1, lines[number], True) for number in range(index + 3, index + 3 + row_count))
        layout = Layout({"real": 0, "imaginary": 1, "frequency": 2}, frozenset(), {}, ())
        parts.append((read_rows(rows, source.name, layout, None, "line"), float(len(parts))))
    if not parts:
        raise ValueError(f"{source.name}: line {len(lines)}: expected a 'primary_data' block, found none")
    metadata = {"instrument": header.get("serialnumber") or None, "date": header.get("starttime") or None,
                "technique": header.get("Technique"), "header": header}
    return _concatenate(parts), metadata


def _count(lines, index, name, what):
    text = lines[index].strip() if index < len(lines) else ""
    if not text.isdigit():
        raise ValueError(f"{name}: line {index + 1}: expected {what}, got {text!r}")
    return int(text)


def read_pssession(source: Source, columns: Optional[ColumnMap] = None):
    """PalmSens PSTrace session: each measurement's data set is one spectrum (its sweeps split as usual)."""
    text = source.text().strip("\ufeff\x00 \r\n")
    try:
        session = json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"{source.name}: line {error.lineno}: expected a PalmSens session (JSON): "
                         f"{error.msg}") from None
    measurements = session.get("Measurements") if isinstance(session, dict) else None
    if not isinstance(measurements, list):
        raise ValueError(f"{source.name}: record 1: expected a list of 'Measurements'")
    parts, titles = [], []
    for number, measurement in enumerate(measurements, start=1):
        arrays = _palmsens_arrays(measurement, source.name, number)
        if arrays is None:
            continue
        frequencies, real, imaginary = arrays
        parts.append((Points.of_arrays(frequencies, real + 1j * imaginary), float(len(parts))))
        titles.append(measurement.get("Title"))
    if not parts:
        raise ValueError(f"{source.name}: record 1: expected a measurement with Frequency, ZRe and ZIm arrays, "
                         "found none")
    first = measurements[0] if isinstance(measurements[0], dict) else {}
    metadata = {"instrument": first.get("DeviceSerial"), "technique": "EIS", "titles": titles,
                "header": {"CoreVersion": session.get("CoreVersion")}}
    return _concatenate(parts), metadata


def _palmsens_arrays(measurement, name, number):
    """(frequencies, Re, Im) of one measurement, None when it holds no impedance."""
    values = (measurement.get("DataSet") or {}).get("Values") if isinstance(measurement, dict) else None
    if not isinstance(values, list):
        raise ValueError(f"{name}: record {number}: expected a DataSet with Values in this measurement")
    by_description = {entry.get("Description"): entry for entry in values if isinstance(entry, dict)}
    if not {"Frequency", "ZRe", "ZIm"} <= by_description.keys():
        return None
    arrays = []
    for key in ("Frequency", "ZRe", "ZIm"):
        entry = by_description[key]
        try:
            arrays.append(np.array([float(value["V"]) for value in entry["DataValues"]], dtype=np.float64))
        except (KeyError, TypeError, ValueError) as error:
            raise ValueError(f"{name}: record {number}: expected numbers 'V' in the {key} array: {error!r}") from None
    if not arrays[0].size == arrays[1].size == arrays[2].size:
        raise ValueError(f"{name}: record {number}: the Frequency, ZRe and ZIm arrays have "
                         f"{', '.join(str(a.size) for a in arrays)} values, expected one length")
    # PSTrace stores -Z'' under ZIm; its unit says so.
    quantity = str(((by_description["ZIm"].get("Unit") or {}).get("Q")) or "-Z''")
    return arrays[0], arrays[1], -arrays[2] if quantity.startswith("-") else arrays[2]


def read_parquet(source: Source, columns: Optional[ColumnMap] = None):
    parquet = require("pyarrow.parquet", "reading Parquet")
    try:
        with source.binary() as handle:
            table = parquet.read_table(handle)
        names = list(table.column_names)
        header = {key.decode(errors="replace"): value.decode(errors="replace")[:200]
                  for key, value in (table.schema.metadata or {}).items()}
    except Exception as error:  # pyarrow reports damaged files with its own exception types
        raise ValueError(f"{source.name}: record 1: expected a readable Parquet file: "
                         f"{type(error).__name__}: {error}") from None

    def column(index):
        try:
            return np.asarray(table.column(index).to_numpy(zero_copy_only=False), dtype=np.float64)
        except Exception as error:  # pyarrow refuses nested or binary columns with its own types
            raise ValueError(f"{source.name}: record 1: expected numbers in column {names[index]!r}: "
                             f"{error}") from None

    points, metadata = read_frame(names, column, source.name, columns)
    return points, {**metadata, "header": header}


def read_excel(source: Source, columns: Optional[ColumnMap] = None):
    """The first sheet of an .xlsx workbook, read as a table with rows numbered as in the sheet."""
    openpyxl = require("openpyxl", "reading Excel workbooks")
    try:
        with source.binary() as handle:
            workbook = openpyxl.load_workbook(handle, read_only=True, data_only=True)
            try:
                sheet = workbook.worksheets[0]
                rows = [(number, "\t".join(_cell_text(value) for value in values), True)
                        for number, values in enumerate(sheet.iter_rows(values_only=True), start=1)]
                title = sheet.title
            finally:
                workbook.close()
    except Exception as error:  # openpyxl reports damaged workbooks with many exception types
        raise ValueError(f"{source.name}: row 1: expected a readable .xlsx workbook: "
                         f"{type(error).__name__}: {error}") from None
    points, metadata = read_table(rows, source.name, columns, where="row")
    metadata.pop("preamble")
    return points, {**metadata, "sheet": title}


def _cell_text(value):
    if value is None:
        return ""
    if isinstance(value, float):
        return repr(value)
    return re.sub(r"[\t\r\n]", " ", str(value))


def read_mpr(source: Source, columns: Optional[ColumnMap] = None):
    biologic = require("galvani.BioLogic", "reading .mpr files")
    try:
        with source.binary() as handle:
            mpr = biologic.MPRfile(handle)
    except Exception as error:  # galvani reports damaged files with many exception types
        raise ValueError(f"{source.name}: record 1: expected an EC-Lab data file galvani can read; it reports: "
                         f"{type(error).__name__}: {error}") from None
    data = mpr.data
    names = list(data.dtype.names or ())
    # The record's fields carry EC-Lab's column names, so every column set reads as a table does.
    points, metadata = read_frame(names, lambda index: np.asarray(data[names[index]], dtype=np.float64),
                                  source.name, columns)
    date = getattr(mpr, "startdate", None)
    return points, {**metadata, "date": str(date) if date is not None else None, "header": {}}


READERS = {
    "mpt": read_mpt, "mpr": read_mpr, "dta": read_dta, "zplot": read_zplot, "par": read_par,
    "table": read_table_file, "parquet": read_parquet, "excel": read_excel, "ivium": read_ivium,
    "pssession": read_pssession,
}
# Formats whose columns are named in the file, so that a ColumnMap applies.
COLUMN_FORMATS = ("table", "mpt", "mpr", "parquet", "excel", "dta", "par")
# Formats whose points are records, not lines.
RECORD_FORMATS = ("mpr", "parquet", "pssession")
