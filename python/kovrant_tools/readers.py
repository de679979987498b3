"""Impedance spectra from instrument files, with the format recognised from the content.

`read_spectra(path)` returns every sweep of a file (loops, cycles, segments),
each with its index in `metadata["sweep"]` and, where the file numbers them,
the file's own number in `metadata["cycle"]`; `read_spectrum(path)` returns the
one sweep of a single-sweep file. Rows an instrument writes as markers (zero
frequency with zero impedance, e.g. at the end of a loop) are dropped and
counted in `metadata["dropped_markers"]`; any other bad row raises a
ValueError naming the file, the line and what was expected.
"""

import math
import re
import struct
from pathlib import Path

import numpy as np

from .spectrum import Spectrum, frame_columns

# Header names of the text-table columns, lower-cased; one entry per quantity.
# "negative_imaginary" columns hold -Im(Z).
COLUMN_NAMES = {
    "frequency": ("freq/hz", "frequency (hz)", "frequency", "frequency / hz", "frequency_hertz", "freq(hz)",
                  "freq", "frequency(hz)", "freq (hz)"),
    "real": ("re(z)/ohm", "z'/ohm", "zre (ohms)", "zre", "zreal", "z real", "z'(a)", "z' (ω)", "z' (ohm)",
             "real impedance / ohm", "real_impedance_ohm"),
    "imaginary": ('z"/ohm', "zim (ohms)", "zimg", "zimag", "z imag", "z''(b)", "imaginary impedance / ohm",
                  "imaginary_impedance_ohm"),
    "negative_imaginary": ("-im(z)/ohm", "-z'' (ω)", "-z'' (ohm)", "-z\" (ω)"),
    "modulus": ("absolute impedance / ohm", "absolute_impedance_ohm"),
    "phase": ("phase / deg", "phase_degree"),
    "cycle": ("cycle number",),
}
_QUANTITY_OF_NAME = {name: quantity for quantity, names in COLUMN_NAMES.items() for name in names}

# Format names accepted by `format=`, with the instrument software each comes from.
FORMATS = {
    "mpt": "BioLogic EC-Lab text (.mpt)",
    "mpr": "BioLogic EC-Lab binary (.mpr, needs galvani)",
    "dta": "Gamry Framework (.DTA)",
    "zplot": "Scribner ZPlot/ZView (.z) and its quoted-header variant",
    "par": "Princeton Applied Research VersaStudio (.par)",
    "table": "delimited text table with a header row: battery-data CSV, CH Instruments, Autolab/NOVA, "
             "Parstat and PowerSuite text exports",
    "parquet": "battery-data table in Parquet (needs pyarrow)",
}


class _Rows:
    """Points gathered while reading, each with the line (or record) it came from."""

    def __init__(self):
        self.frequencies, self.impedances, self.sweeps, self.lines = [], [], [], []

    def add(self, frequency, impedance, line, sweep=None):
        self.frequencies.append(frequency)
        self.impedances.append(impedance)
        self.lines.append(line)
        self.sweeps.append(sweep)


def _number(text, path, line, what):
    text = text.strip().strip('"')
    try:
        return float(text)
    except ValueError:
        pass
    try:
        # Instruments in many locales write a decimal comma.
        return float(text.replace(",", "."))
    except ValueError:
        raise ValueError(f"{path}: line {line}: expected a number for {what}, got {text!r}") from None


def _read_text(path):
    data = Path(path).read_bytes()
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        # EC-Lab and Gamry write in the Windows code page.
        return data.decode("cp1252", errors="replace")


def _split_fields(line, delimiter):
    if delimiter is None:
        return line.split()
    return [field.strip().strip('"') for field in line.rstrip("\r\n").split(delimiter)]


def _table_header(fields):
    """Quantity -> column index for a header row, or None when it names no frequency and impedance."""
    columns = {}
    for index, field in enumerate(fields):
        quantity = _QUANTITY_OF_NAME.get(field.strip().strip('"').lower())
        if quantity is not None and quantity not in columns:
            columns[quantity] = index
    has_impedance = "real" in columns and ({"imaginary", "negative_imaginary"} & columns.keys())
    if "frequency" in columns and (has_impedance or {"modulus", "phase"} <= columns.keys()):
        return columns
    return None


def _value(fields, columns, quantity, path, line):
    index = columns[quantity]
    if index >= len(fields):
        raise ValueError(f"{path}: line {line}: expected at least {index + 1} fields, got {len(fields)}")
    return _number(fields[index], path, line, quantity.replace("_", " "))


def _point(fields, columns, path, line):
    """(frequency, impedance) of one data row under a header mapping."""
    def value(quantity):
        return _value(fields, columns, quantity, path, line)

    frequency = value("frequency")
    if "real" in columns and "imaginary" in columns:
        impedance = complex(value("real"), value("imaginary"))
    elif "real" in columns:
        impedance = complex(value("real"), -value("negative_imaginary"))
    else:
        phase = math.radians(value("phase"))
        impedance = value("modulus") * complex(math.cos(phase), math.sin(phase))
    return frequency, impedance


def _cycle(fields, columns, path, line):
    """The row's cycle (loop) number, or None when the table has no such column."""
    return _value(fields, columns, "cycle", path, line) if "cycle" in columns else None


def _key_values(lines, separator):
    """'key <separator> value' lines of a header as a dict, keys and values stripped."""
    pairs = {}
    for line in lines:
        key, found, value = line.partition(separator)
        if found and key.strip() and value.strip():
            pairs.setdefault(key.strip(), value.strip())
    return pairs


def _read_mpt(path, text):
    lines = text.splitlines()
    match = re.match(r"Nb header lines\s*:\s*(\d+)", lines[1]) if len(lines) > 1 else None
    header_count = int(match.group(1)) if match else 1
    header_line = header_count  # 1-based number of the column-name row
    if header_line > len(lines):
        raise ValueError(f"{path}: line {len(lines)}: file ends inside its {header_count}-line header")
    header = _key_values(lines[:header_line - 1], " : ")
    fields = lines[header_line - 1].split("\t")
    columns = _table_header(fields)
    if columns is None:
        raise ValueError(f"{path}: line {header_line}: expected columns 'freq/Hz', 'Re(Z)/Ohm' and "
                         f"'-Im(Z)/Ohm', got {lines[header_line - 1].strip()!r}")
    rows = _Rows()
    for number, line in enumerate(lines[header_line:], start=header_line + 1):
        if not line.strip():
            continue
        fields = line.split("\t")
        rows.add(*_point(fields, columns, path, number), number, _cycle(fields, columns, path, number))
    metadata = {
        "instrument": header.get("Device"),
        "date": header.get("Acquisition started on"),
        "technique": lines[3].strip() if match and len(lines) > 3 else None,
        "header": header,
    }
    return rows, metadata


def _read_dta(path, text):
    lines = text.splitlines()
    header_lines, rows, number = [], _Rows(), 0
    while number < len(lines):
        line = lines[number]
        number += 1
        if line.split("\t", 1)[0] != "ZCURVE":
            header_lines.append(line)
            continue
        names = lines[number].split("\t") if number < len(lines) else []
        columns = _table_header(names)
        if columns is None:
            raise ValueError(f"{path}: line {number + 1}: expected the ZCURVE column names 'Freq', 'Zreal' "
                             "and 'Zimag'")
        number += 2  # the names and the units rows
        while number < len(lines) and lines[number].startswith("\t"):
            rows.add(*_point(lines[number].split("\t"), columns, path, number + 1), number + 1)
            number += 1
    if not rows.lines:
        raise ValueError(f"{path}: line {len(lines)}: expected a ZCURVE table, found none")
    # Header records are KEY, TYPE, VALUE, ...; the TAG record alone is KEY, VALUE.
    tags = {fields[0]: fields[1] if fields[0] == "TAG" else fields[2] for fields in
            (line.split("\t") for line in header_lines) if fields[0] and len(fields) > 2 or fields[0] == "TAG"}
    notes_at = next((i for i, line in enumerate(header_lines) if line.startswith("NOTES\t")), None)
    notes = ""
    if notes_at is not None:
        count = int(_number(header_lines[notes_at].split("\t")[2], path, notes_at + 1, "the notes line count"))
        notes = "\n".join(line.strip() for line in header_lines[notes_at + 1:notes_at + 1 + count]).strip()
    metadata = {
        "instrument": tags.get("PSTAT"),
        "date": " ".join(filter(None, (tags.get("DATE"), tags.get("TIME")))) or None,
        "technique": tags.get("TITLE"),
        "mode": {"EISPOT": "potentiostatic", "EISGALV": "galvanostatic"}.get(tags.get("TAG")),
        "notes": notes,
        "aborted": tags.get("EXPERIMENTABORTED") == "T",
        "header": {key: value for key, value in tags.items() if key not in ("NOTES",)},
    }
    return rows, metadata


# ZPlot's fixed column order, shared by its quoted-header variant: frequency, amplitude, bias,
# time, Z', Z'', ...
_ZPLOT_COLUMNS = {"frequency": 0, "real": 4, "imaginary": 5}


def _read_zplot(path, text):
    lines = text.splitlines()
    if lines[0].startswith("ZPLOT2"):
        end = next((i for i, line in enumerate(lines) if line.strip() == "End Comments"), None)
        if end is None:
            raise ValueError(f"{path}: line {len(lines)}: expected an 'End Comments' line before the data")
        header = _key_values(lines[1:end], ":")
        first_data, delimiter = end + 1, "\t"
        instrument = "ZPlot " + header.get("Measured Data, ZPlot", "")
    else:
        names_at = next((i for i, line in enumerate(lines[:40]) if "Freq" in line and "Z'" in line), None)
        if names_at is None:
            raise ValueError(f"{path}: line 1: expected a quoted column-name row naming Freq(Hz), Z'(a) and Z''(b)")
        header = {f"line {i + 1}": line.strip('"').strip() for i, line in enumerate(lines[1:names_at], 1)
                  if line.strip('"').strip()}
        first_data, delimiter = names_at + 1, ","
        instrument = lines[0].strip().strip('"').split(" Data File")[0]
    rows = _Rows()
    for number, line in enumerate(lines[first_data:], start=first_data + 1):
        if line.strip():
            rows.add(*_point(_split_fields(line, delimiter), _ZPLOT_COLUMNS, path, number), number)
    metadata = {
        "instrument": instrument.strip(),
        "date": " ".join(filter(None, (header.get("Date"), header.get("Time")))) or None,
        "technique": header.get("Experiment Type"),
        "header": header,
    }
    return rows, metadata


def _read_par(path, text):
    lines = text.splitlines()
    sections, section = {}, None
    rows, segment = _Rows(), 0
    columns = None
    for number, line in enumerate(lines, start=1):
        tag = re.fullmatch(r"<(/?)(\w+)>", line.strip())
        if tag:
            section = None if tag.group(1) else tag.group(2)
            if section and section.startswith("Segment"):
                segment, columns = int(section.removeprefix("Segment") or 0), None
            continue
        if section is None:
            continue
        if section.startswith("Segment"):
            if line.startswith("Definition="):
                columns = _table_header(_split_fields(line.removeprefix("Definition="), ","))
                if columns is None:
                    raise ValueError(f"{path}: line {number}: expected a Definition naming "
                                     "'Frequency(Hz)', 'Z Real' and 'Z Imag'")
            elif columns is not None and line.strip() and line[0] in "-0123456789":
                rows.add(*_point(_split_fields(line, ","), columns, path, number), number, segment)
        else:
            key, found, value = line.partition("=")
            if found:
                sections.setdefault(section, {}).setdefault(key.strip(), value.strip())
    instrument = sections.get("Instrument", {})
    experiment = sections.get("Experiment", {})
    metadata = {
        "instrument": " ".join(filter(None, (instrument.get("Type"), instrument.get("SN")))) or None,
        "date": " ".join(filter(None, (experiment.get("DateAcquired"), experiment.get("TimeAcquired")))) or None,
        "software": " ".join(filter(None, (sections.get("Application", {}).get(key) for key in ("Name", "Version")))),
        "header": sections,
    }
    return rows, metadata


def _delimiter(line):
    for delimiter in ("\t", ";", ","):
        if delimiter in line:
            return delimiter
    return None


def _read_table(path, text):
    lines = text.splitlines()
    for at, line in enumerate(lines):
        delimiter = _delimiter(line)
        columns = _table_header(_split_fields(line, delimiter))
        if columns is not None:
            break
    else:
        names = ", ".join(repr(names[0]) for names in (COLUMN_NAMES["frequency"], COLUMN_NAMES["real"],
                                                        COLUMN_NAMES["imaginary"]))
        raise ValueError(f"{path}: line {len(lines)}: expected a header row naming a frequency column and two "
                         f"impedance columns (such as {names}), found none")
    rows = _Rows()
    for number, line in enumerate(lines[at + 1:], start=at + 2):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        fields = _split_fields(line, delimiter)
        rows.add(*_point(fields, columns, path, number), number, _cycle(fields, columns, path, number))
    preamble = [line for line in lines[:at] if line.strip()]
    header = {**_key_values(preamble, ":"), **_key_values(preamble, "=")}
    metadata = {
        "instrument": header.get("Instrument Model"),
        # CH Instruments writes the date as the first line.
        "date": preamble[0].strip() if preamble and re.search(r"\d{4}\s+\d+:\d+", preamble[0]) else None,
        "technique": preamble[1].strip() if len(preamble) > 1 and "Impedance" in preamble[1] else None,
        "header": header,
    }
    return rows, metadata


def _rows_of_arrays(frequencies, impedances, sweeps=None):
    rows = _Rows()
    rows.frequencies, rows.impedances = list(frequencies), list(impedances)
    rows.lines = list(range(1, len(rows.frequencies) + 1))
    rows.sweeps = list(sweeps) if sweeps is not None else [None] * len(rows.lines)
    return rows


def _read_parquet(path, text=None):
    try:
        import pyarrow.parquet as pq
    except ImportError as error:
        raise ImportError("reading Parquet needs pyarrow: pip install 'kovrant[parquet]'") from error
    table = pq.read_table(path)
    try:
        frequencies, impedances = frame_columns(table.to_pydict())
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from None
    return _rows_of_arrays(frequencies, impedances), {"header": dict(table.schema.metadata or {})}


def _read_mpr(path, text=None):
    try:
        from galvani import BioLogic
    except ImportError as error:
        raise ImportError("reading .mpr needs galvani (GPL-3.0, installed separately): "
                          "pip install 'kovrant[mpr]'") from error
    try:
        mpr = BioLogic.MPRfile(str(path))
    except (ValueError, KeyError, IndexError, NotImplementedError, EOFError, AssertionError, struct.error) as error:
        raise ValueError(f"{path}: record 1: expected an EC-Lab data file galvani can read; it reports: "
                         f"{error!r}") from error
    data = mpr.data
    names = data.dtype.names
    for needed in ("freq/Hz", "Re(Z)/Ohm", "-Im(Z)/Ohm"):
        if needed not in names:
            raise ValueError(f"{path}: record 1: expected a {needed!r} field, the file has {', '.join(names)}")
    sweeps = data["cycle number"] if "cycle number" in names else None
    rows = _rows_of_arrays(data["freq/Hz"], data["Re(Z)/Ohm"] - 1j * data["-Im(Z)/Ohm"], sweeps)
    date = getattr(mpr, "startdate", None)
    return rows, {"date": str(date) if date is not None else None, "header": {}}


_READERS = {
    "mpt": _read_mpt, "mpr": _read_mpr, "dta": _read_dta, "zplot": _read_zplot, "par": _read_par,
    "table": _read_table, "parquet": _read_parquet,
}
_BINARY = {"mpr", "parquet"}


def detect_format(path):
    """The format name of a file, recognised from its first bytes and lines."""
    with Path(path).open("rb") as handle:
        start = handle.read(4096)
    if start.startswith(b"BIO-LOGIC MODULAR FILE"):
        return "mpr"
    if start.startswith(b"PAR1"):
        return "parquet"
    text = start.decode("utf-8-sig", errors="replace").lstrip("\ufeff")
    first = text.split("\n", 1)[0].strip()
    if re.match(r"(EC|BT)-Lab ASCII FILE", first) or first.startswith("freq/Hz\t"):
        return "mpt"
    if first == "EXPLAIN":
        return "dta"
    if first.startswith("ZPLOT2") or re.match(r'"Z\w* Data File', first):
        return "zplot"
    if first == "<Application>" or "<Segment1>" in text:
        return "par"
    return "table"


def _sweep_starts(frequencies, sweeps):
    """Indices where a new sweep begins: a change of the sweep index, or a frequency running back."""
    steps = np.sign(np.diff(frequencies))
    direction = next((step for step in steps if step != 0), 0)
    return [0] + [i for i in range(1, len(frequencies))
                  if sweeps[i] != sweeps[i - 1] or steps[i - 1] == -direction]


def read_spectra(path, format=None):
    """Every sweep in an impedance file, as a list of `Spectrum` in file order.

    `format` forces one of `FORMATS`; by default it is recognised from the
    content. Sweeps are split by the file's cycle, loop or segment index, and
    otherwise where the frequency runs back to the start of the sweep.
    """
    path = Path(path)
    if format is None:
        format = detect_format(path)
    elif format not in _READERS:
        raise ValueError(f"unknown format {format!r}, expected one of {', '.join(FORMATS)}")
    text = None if format in _BINARY else _read_text(path)
    if text is not None and not text.strip():
        raise ValueError(f"{path}: line 1: expected an impedance table, the file is empty")
    rows, metadata = _READERS[format](path, text)
    where = "record" if format in _BINARY else "line"
    frequencies = np.array(rows.frequencies, dtype=np.float64)
    impedances = np.array(rows.impedances, dtype=np.complex128)
    for index in np.flatnonzero(~(np.isfinite(frequencies) & np.isfinite(impedances))):
        raise ValueError(f"{path}: {where} {rows.lines[index]}: expected finite numbers, got frequency "
                         f"{frequencies[index]} and impedance {impedances[index]}")
    markers = (frequencies == 0) & (impedances == 0)
    for index in np.flatnonzero(~markers & (frequencies <= 0)):
        raise ValueError(f"{path}: {where} {rows.lines[index]}: expected a positive frequency, got "
                         f"{frequencies[index]}")
    kept = np.flatnonzero(~markers)
    sweep_of_kept = np.zeros(kept.size, dtype=int)
    sweep_of_kept[_sweep_starts(frequencies[kept], [rows.sweeps[i] for i in kept])[1:]] = 1
    sweep_of_kept = np.cumsum(sweep_of_kept)
    # A marker row belongs to the sweep it ends (the one before it).
    sweep_of_marker = sweep_of_kept[np.maximum(np.searchsorted(kept, np.flatnonzero(markers)) - 1, 0)] \
        if kept.size else np.zeros(0, dtype=int)
    metadata = {"source": str(path), "format": format, **{k: v for k, v in metadata.items() if v is not None}}
    spectra = []
    for sweep in range(int(sweep_of_kept[-1]) + 1 if kept.size else 0):
        points = kept[sweep_of_kept == sweep]
        cycle = rows.sweeps[points[0]]
        spectra.append(Spectrum(frequencies[points], impedances[points], {
            **metadata, "sweep": sweep, "dropped_markers": int((sweep_of_marker == sweep).sum()),
            "first_line": rows.lines[points[0]],
            # The file's own loop, cycle or segment number, where it writes one.
            **({"cycle": int(cycle) if float(cycle).is_integer() else cycle} if cycle is not None else {})}))
    if not spectra:
        raise ValueError(f"{path}: {where} {rows.lines[-1] if rows.lines else 1}: expected measured points, "
                         f"found {'only marker rows' if rows.lines else 'an empty table'}")
    return spectra


def read_spectrum(path, format=None):
    """The one sweep of an impedance file as a `Spectrum` (see `read_spectra`).

    A file holding several sweeps raises a ValueError that says how many, so
    that no sweep is fitted in place of another; use `read_spectra` for those.
    """
    spectra = read_spectra(path, format)
    if len(spectra) > 1:
        raise ValueError(f"{path}: holds {len(spectra)} sweeps (starting at lines "
                         f"{', '.join(str(s.metadata['first_line']) for s in spectra)}); "
                         "use read_spectra to get each of them")
    return spectra[0]
