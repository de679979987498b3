"""Tables of impedance points: which column is which, and reading them row by row.

A table is text with one point per line (any delimiter: tab, semicolon, comma
or spaces; quoted fields; decimal point or comma, decided once per file), a
spreadsheet, or a Parquet file. Its columns are recognised from a header row
(`Freq/Hz`, `Re(Z)/Ohm`, `-Im(Z)/Ohm`, `|Z|/Ohm`, `Phase(Z)/deg`, `Z'`,
`-Z''`, `Zreal`, `frequencies [Hz]`, `real [Ohm]`, ... with unit prefixes
such as kHz, mHz, mOhm, kOhm, and phase in degrees or radians); a file without
a header row and with three columns is read as frequency, Re, Im. Any other
layout is read with a `ColumnMap` naming the columns.
"""

from __future__ import annotations

import csv
import functools
import math
import re
from array import array
from collections import deque
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Optional, Union

import numpy as np

from .reader_input import looks_truncated, warn_truncated

Column = Union[str, int]

# Normalised header names (lower case, spaces for runs of blanks and
# underscores, units removed) of each quantity; a name starting with "-" holds
# the negated value.
QUANTITY_NAMES = {
    "frequency": ("freq", "frequency", "frequencies", "f", "freq.", "frequency hertz"),
    "real": ("re(z)", "z'", "zre", "zreal", "z real", "z re", "re z", "real", "re", "real impedance",
             "real part", "z'(a)", "re(impedance)", "impedance real", "zr"),
    "imaginary": ("im(z)", "z''", "zim", "zimag", "zimg", "z imag", "z im", "im z", "imag", "im", "imaginary",
                  "imaginary impedance", "imag impedance", "imaginary part", "z''(b)", "im(impedance)",
                  "impedance imaginary", "zi"),
    "modulus": ("|z|", "z", "zmod", "mod(z)", "modulus", "abs(z)", "absolute impedance", "|impedance|",
                "impedance magnitude", "magnitude", "z mod", "impedance", "z magnitude"),
    "phase": ("phase(z)", "phase", "zphz", "phz", "theta", "phase angle", "phase(impedance)", "z phase"),
    "sweep": ("cycle number", "cycle", "loop", "sweep", "loop number", "cycle no", "sweep number",
              "cycle index", "loop index", "sweep index"),
}
_QUANTITY_OF = {name: quantity for quantity, names in QUANTITY_NAMES.items() for name in names}

# Unit symbols, scale to Hz, ohm or degrees; prefixes are case-sensitive (mHz is not MHz).
_UNIT_BASES = {"hz": ("frequency", 1.0), "hertz": ("frequency", 1.0), "ohm": ("impedance", 1.0),
               "ohms": ("impedance", 1.0), "deg": ("angle", 1.0), "degree": ("angle", 1.0),
               "degrees": ("angle", 1.0), "°": ("angle", 1.0), "rad": ("angle", 180.0 / math.pi),
               "radian": ("angle", 180.0 / math.pi), "radians": ("angle", 180.0 / math.pi)}
_PREFIXES = {"": 1.0, "m": 1e-3, "u": 1e-6, "µ": 1e-6, "μ": 1e-6, "n": 1e-9, "k": 1e3, "K": 1e3, "M": 1e6,
             "G": 1e9}
_KIND_OF_QUANTITY = {"frequency": "frequency", "real": "impedance", "imaginary": "impedance",
                     "modulus": "impedance", "phase": "angle"}


def unit_scale(unit: str) -> Optional[tuple[str, float]]:
    """(kind, factor to Hz, ohm or degrees) of a unit symbol such as kHz, mOhm, kΩ, rad; None if unknown."""
    unit = unit.strip().replace("Ω", "Ohm").replace("ω", "Ohm").replace("Ω", "Ohm")
    for size in (0, 1):
        prefix, base = unit[:size], unit[size:]
        if prefix in _PREFIXES and base.lower() in _UNIT_BASES:
            kind, factor = _UNIT_BASES[base.lower()]
            if kind == "angle" and prefix:
                return None
            return kind, _PREFIXES[prefix] * factor
    return None


_TRAILING_UNIT = re.compile(r"^(.*?)\s*(?:\(([^()]*)\)|\[([^\[\]]*)\])\s*$")


def split_unit(name: str) -> tuple[str, str]:
    """(name, unit) of a header such as 'freq/Hz', 'Z (Ω)', 'real [Ohm]', 'frequency_hertz'; unit '' if none."""
    name = name.strip().strip('"').strip()
    match = _TRAILING_UNIT.match(name)
    if match and unit_scale(match.group(2) or match.group(3) or ""):
        return match.group(1), (match.group(2) or match.group(3)).strip()
    base, slash, unit = name.rpartition("/")
    if slash and base and unit_scale(unit):
        return base.strip(), unit.strip()
    base, underscore, unit = name.rpartition("_")
    if underscore and base and unit_scale(unit):
        return base, unit
    return name, ""


def _normalised(name: str) -> str:
    name = name.replace("″", "''").replace("’", "'").replace("′", "'").replace('"', "''")
    return re.sub(r"[\s_]+", " ", name.strip().lower())


@dataclass(frozen=True)
class _Recognised:
    quantity: str
    negated: bool
    scale: float
    unit: str


@functools.lru_cache(maxsize=4096)
def recognise(name: str) -> Optional[_Recognised]:
    """What a header names: its quantity, whether it holds the negated value, and its unit scale."""
    base, unit = split_unit(name)
    base = _normalised(base)
    negated = base.startswith("-") and len(base) > 1
    quantity = _QUANTITY_OF.get(base[1:].strip() if negated else base)
    if quantity is None or (negated and quantity not in ("imaginary", "phase")):
        return None
    scale = unit_scale(unit) if unit else None
    if scale is not None and scale[0] != _KIND_OF_QUANTITY.get(quantity, scale[0]):
        return None  # e.g. a column 'Z / deg' is no impedance
    return _Recognised(quantity, negated, scale[1] if scale else 1.0, unit)


_KEYS = {"f": "frequency", "freq": "frequency", "frequency": "frequency", "re": "real", "real": "real",
         "im": "imaginary", "imag": "imaginary", "imaginary": "imaginary", "-im": "-imaginary",
         "-imag": "-imaginary", "-imaginary": "-imaginary", "mod": "modulus", "modulus": "modulus",
         "abs": "modulus", "|z|": "modulus", "phase": "phase", "-phase": "-phase", "sweep": "sweep",
         "loop": "sweep", "cycle": "sweep"}
_SHORT_KEYS = {"frequency": "f", "real": "re", "imaginary": "im", "modulus": "mod", "phase": "phase",
               "sweep": "sweep"}


@dataclass(frozen=True)
class ColumnMap:
    """Which column of a table holds which quantity, by header name or by position from 0.

    Quantities left out are recognised from the header row where there is
    one. `negative_imaginary` / `negative_phase`: the column holds -Im(Z) /
    the negated phase (a named column whose name starts with '-', such as
    `-Z''`, always does). Units: None takes them from the header names, else
    Hz, ohm and degrees; give e.g. "kHz", "mOhm", "kOhm", "rad" to override.

    Text form (`ColumnMap.parse`, the command line's `--columns`): entries
    `key=column` separated by commas, the column a header name or a
    position, optionally followed by `:unit`. Keys: `f` (frequency), `re`,
    `im`, `-im` (the column holds -Im), `mod` (|Z|), `phase`, `-phase`,
    `sweep` (also `loop`, `cycle`: a column numbering the sweeps). Examples:
    `"f=Freq/Hz,re=Z',im=-Z''"`, `"f=0,re=1,im=2"`, `"f=0:kHz,mod=1:mOhm,phase=2:rad"`.
    Names holding a comma cannot be given in the text form.
    """

    frequency: Optional[Column] = None
    real: Optional[Column] = None
    imaginary: Optional[Column] = None
    modulus: Optional[Column] = None
    phase: Optional[Column] = None
    sweep: Optional[Column] = None
    negative_imaginary: bool = False
    negative_phase: bool = False
    frequency_unit: Optional[str] = None
    impedance_unit: Optional[str] = None
    phase_unit: Optional[str] = None

    def __post_init__(self):
        for field in ("frequency", "real", "imaginary", "modulus", "phase", "sweep"):
            value = getattr(self, field)
            if value is not None and (isinstance(value, bool) or not isinstance(value, (str, int))
                                      or (isinstance(value, int) and value < 0) or value == ""):
                raise ValueError(f"ColumnMap {field}: expected a header name or a position from 0, got {value!r}")
        for field, kind in (("frequency_unit", "frequency"), ("impedance_unit", "impedance"),
                            ("phase_unit", "angle")):
            unit = getattr(self, field)
            if unit is not None and (unit_scale(unit) or ("", 0))[0] != kind:
                raise ValueError(f"ColumnMap {field}: expected a unit of {kind}, got {unit!r}")
        if (self.real is None) != (self.imaginary is None) or (self.modulus is None) != (self.phase is None):
            raise ValueError("ColumnMap: give re with im, or mod with phase, not one alone")

    @classmethod
    def parse(cls, text: str) -> "ColumnMap":
        """A map from its text form, such as "f=Freq/Hz,re=Z',im=-Z''" or "f=0,re=1,im=2"."""
        values: dict = {}
        for entry in (part.strip() for part in text.split(",")):
            key, equals, column = entry.partition("=")
            key = key.strip().lower()
            if not equals or not column.strip():
                raise ValueError(f"column map {text!r}: expected key=column, got {entry!r}")
            if key not in _KEYS:
                raise ValueError(f"column map {text!r}: unknown key {key!r}, expected one of "
                                 f"{', '.join(sorted(set(_KEYS)))}")
            field = _KEYS[key]
            if field.startswith("-"):
                field = field[1:]
                values[f"negative_{field}"] = True
            if field in values:
                raise ValueError(f"column map {text!r}: {key!r} given twice")
            column, unit = _column_and_unit(column.strip())
            values[field] = int(column) if column.isdigit() else column
            if unit:
                unit_field = {"frequency": "frequency_unit", "phase": "phase_unit",
                              "sweep": None}.get(field, "impedance_unit")
                if unit_field is None or values.get(unit_field, unit) != unit:
                    raise ValueError(f"column map {text!r}: unit {unit!r} does not fit {key!r}")
                values[unit_field] = unit
        return cls(**values)

    def to_text(self) -> str:
        """The text form, which `parse` reads back to an equal map."""
        entries = []
        for field, key in _SHORT_KEYS.items():
            column = getattr(self, field)
            if column is None:
                continue
            negated = (field == "imaginary" and self.negative_imaginary) or (field == "phase" and self.negative_phase)
            unit = {"frequency": self.frequency_unit, "phase": self.phase_unit, "sweep": None}.get(
                field, self.impedance_unit)
            entries.append(f"{'-' if negated else ''}{key}={column}{f':{unit}' if unit else ''}")
        return ",".join(entries)

    def given(self) -> dict:
        """Quantity -> column of the entries this map names."""
        return {field: getattr(self, field) for field in _SHORT_KEYS if getattr(self, field) is not None}


def _column_and_unit(text):
    column, colon, unit = text.rpartition(":")
    if colon and column and unit_scale(unit):
        return column.strip(), unit.strip()
    return text, ""


@dataclass(frozen=True)
class Layout:
    """Resolved columns of one table: positions, signs and scales of the quantities it holds."""

    positions: dict  # quantity -> index
    negated: frozenset
    scales: dict  # quantity -> factor to Hz / ohm / degrees
    names: tuple  # the header, or () for a headerless table

    def describe(self) -> str:
        """The ColumnMap text that reads this table again (names where the header has them)."""
        entries = []
        for quantity, key in _SHORT_KEYS.items():
            if quantity not in self.positions:
                continue
            index = self.positions[quantity]
            name = self.names[index].strip() if index < len(self.names) else ""
            named = bool(name) and "," not in name
            label = name if named else str(index)
            sign = "-" if quantity in self.negated and not (named and name.startswith("-")) else ""
            entries.append(f"{sign}{key}={label}")
        return ",".join(entries)


def _complete(found: dict) -> bool:
    return "frequency" in found and ({"real", "imaginary"} <= found.keys() or {"modulus", "phase"} <= found.keys())


def layout_of_header(names: Sequence[str], columns: Optional[ColumnMap]) -> Optional[Layout]:
    """The layout of a table with this header row, or None when it names no frequency and impedance."""
    found, negated, scales = {}, set(), {}
    for index, name in enumerate(names):
        recognised = recognise(name)
        if recognised is not None and recognised.quantity not in found:
            found[recognised.quantity] = index
            scales[recognised.quantity] = recognised.scale
            if recognised.negated:
                negated.add(recognised.quantity)
    if columns is not None:
        for quantity, column in columns.given().items():
            index = column if isinstance(column, int) else _index_of_name(names, column)
            if index is None:
                return None
            found[quantity] = index
            recognised = recognise(names[index]) if index < len(names) else None
            scales[quantity] = recognised.scale if recognised and recognised.quantity == quantity else 1.0
            negated.discard(quantity)
            if isinstance(column, str) and column.strip().startswith("-") and quantity in ("imaginary", "phase"):
                negated.add(quantity)
        if columns.given().keys() & {"real", "imaginary"}:
            found.pop("modulus", None), found.pop("phase", None)
        elif columns.given().keys() & {"modulus", "phase"}:
            found.pop("real", None), found.pop("imaginary", None)
    if not _complete(found):
        return None
    # One pair describes the impedance: Re and Im where both are there, else |Z| and phase.
    unused = ("modulus", "phase") if {"real", "imaginary"} <= found.keys() else ("real", "imaginary")
    for quantity in unused:
        found.pop(quantity, None)
    return _with_map_options(Layout(found, frozenset(negated), scales, tuple(names)), columns)


def layout_by_position(width: int, columns: Optional[ColumnMap], names: Sequence[str] = ()) -> Optional[Layout]:
    """The layout of a table read by position: the map's, or frequency, Re, Im for three columns."""
    if columns is not None:
        given = columns.given()
        if not _complete(given) or not all(isinstance(c, int) for c in given.values()):
            return None
        return _with_map_options(Layout(dict(given), frozenset(), {}, tuple(names)), columns)
    if width == 3:
        return Layout({"frequency": 0, "real": 1, "imaginary": 2}, frozenset(), {}, tuple(names))
    return None


def _with_map_options(layout, columns):
    if columns is None:
        return layout
    negated = set(layout.negated)
    for quantity, flag in (("imaginary", columns.negative_imaginary), ("phase", columns.negative_phase)):
        if flag:
            negated.add(quantity)
    scales = dict(layout.scales)
    for unit, quantities in ((columns.frequency_unit, ("frequency",)),
                             (columns.impedance_unit, ("real", "imaginary", "modulus")),
                             (columns.phase_unit, ("phase",))):
        if unit is not None:
            for quantity in quantities:
                scales[quantity] = unit_scale(unit)[1]
    return Layout(layout.positions, frozenset(negated), scales, layout.names)


def _index_of_name(names, wanted):
    stripped = [name.strip().strip('"').strip() for name in names]
    if wanted in stripped:
        return stripped.index(wanted)
    lowered = [_normalised(name) for name in stripped]
    return lowered.index(_normalised(wanted)) if _normalised(wanted) in lowered else None


class Points:
    """Points gathered while reading, each with the line (or record) it came from, in compact arrays."""

    def __init__(self):
        self.frequencies, self.real, self.imaginary = array("d"), array("d"), array("d")
        self.sweeps, self.lines = array("d"), array("q")

    def add(self, frequency: float, impedance: complex, line: int, sweep: float = math.nan):
        self.frequencies.append(frequency)
        self.real.append(impedance.real)
        self.imaginary.append(impedance.imag)
        self.lines.append(line)
        self.sweeps.append(sweep)

    @classmethod
    def of_arrays(cls, frequencies, impedances, lines=None, sweeps=None) -> "Points":
        points = cls()
        frequencies = np.asarray(frequencies, dtype=np.float64).ravel()
        impedances = np.asarray(impedances, dtype=np.complex128).ravel()
        points.frequencies = array("d", frequencies.tobytes())
        points.real = array("d", np.ascontiguousarray(impedances.real).tobytes())
        points.imaginary = array("d", np.ascontiguousarray(impedances.imag).tobytes())
        points.lines = array("q", (np.arange(1, frequencies.size + 1) if lines is None
                                   else np.asarray(lines, dtype=np.int64)).tobytes())
        points.sweeps = array("d", (np.full(frequencies.size, math.nan) if sweeps is None
                                    else np.asarray(sweeps, dtype=np.float64)).tobytes())
        return points


def impedances_of(layout: Layout, first, second):
    """Complex impedances from the two impedance columns of a layout, as arrays in the file's units."""
    if "real" in layout.positions:
        real = first * layout.scales.get("real", 1.0)
        imaginary = second * layout.scales.get("imaginary", 1.0)
        if "imaginary" in layout.negated:
            imaginary = -imaginary
        return real + 1j * imaginary
    modulus = first * layout.scales.get("modulus", 1.0)
    phase = np.radians(second * layout.scales.get("phase", 1.0))
    if "phase" in layout.negated:
        phase = -phase
    return modulus * np.exp(1j * phase)


_NUMBER = re.compile(r"^[+-]?(?:\d+(?:[.,]\d*)?|[.,]\d+)(?:[eE][+-]?\d+)?$|^[+-]?(?:nan|inf|infinity)$", re.I)
_DELIMITERS = ("\t", ";", ",", None)


def split_fields(line: str, delimiter: Optional[str]) -> list[str]:
    """The fields of a line, blanks around them removed; quoted fields keep their delimiters."""
    if delimiter is None:
        return line.split()
    if '"' in line:
        return [field.strip() for field in next(csv.reader([line], delimiter=delimiter))]
    return [field.strip() for field in line.split(delimiter)]


def _numeric_fields(line):
    """(delimiter, fields) when the line is a row of two or more numbers, else None."""
    for delimiter in _DELIMITERS:
        fields = split_fields(line, delimiter)
        while fields and not fields[-1]:
            fields.pop()
        if len(fields) >= 2 and all(_NUMBER.match(field) for field in fields):
            return delimiter, fields
    return None


class _Decimal:
    """The file's decimal mark, decided by the first number that writes one and then held for the file."""

    def __init__(self, name, where):
        self.mark = None
        self.name, self.where = name, where

    def number(self, text: str, line: int, what: str) -> float:
        comma, point = "," in text, "." in text
        if not (comma and point) and not (comma and self.mark == ".") and not (point and self.mark == ","):
            try:
                value = float(text.replace(",", ".") if comma else text)
            except ValueError:
                pass
            else:
                if comma or point:
                    self.mark = "," if comma else "."
                return value
        note = ""
        if self.mark == "." and "," in text:
            note = " (the file writes decimal points, so a comma here is no decimal mark)"
        elif self.mark == "," and "." in text:
            note = " (the file writes decimal commas, so a point here is no decimal mark)"
        raise ValueError(f"{self.name}: {self.where} {line}: expected a number for {what}, got {text!r}{note}")


MAX_PREAMBLE_LINES = 10000


def read_table(lines: Iterable[tuple[int, str, bool]], name: str, columns: Optional[ColumnMap] = None, *,
               where: str = "line", header_at: Optional[int] = None) -> tuple[Points, dict]:
    """Points of a text table, read a line at a time, and its metadata.

    lines: (number, text, had a line ending) in file order. header_at: the
    number of the line that holds the column names, where the format fixes it.
    """
    lines = iter(lines)
    preamble: list[str] = []
    candidate: Optional[tuple[int, str]] = None  # the last text line: the header of an unrecognised table
    layout = delimiter = None
    first_data: Optional[tuple[int, str, bool]] = None
    number, header = 0, None
    for number, line, ended in lines:
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        if header_at is None or number == header_at:
            layout, delimiter = _header_layout(line, columns)
        if layout is not None:
            header = line
            break
        if header_at is not None:
            if number >= header_at:
                raise _unrecognised(name, where, number, _best_split(line), columns)
            preamble.append(line)
            continue
        numeric = _numeric_fields(line)
        if numeric is not None:
            delimiter, data_fields = numeric
            names = ()
            if candidate is not None:
                names = tuple(split_fields(candidate[1], delimiter))
                if len(names) != len(data_fields):
                    names = ()
            # A text line above the first row with as many fields is a header, recognised or not.
            layout = layout_by_position(len(data_fields), columns, names) if columns or not names else None
            if layout is None:
                raise _unrecognised(name, where, candidate[0] if names else number,
                                    list(names) or data_fields, columns, bool(names))
            first_data = (number, line, ended)
            if names:
                preamble.pop()
            break
        preamble.append(line)
        candidate = (number, line)
        if len(preamble) > MAX_PREAMBLE_LINES:
            break
    if layout is None:
        if header_at is not None and preamble:
            raise ValueError(f"{name}: {where} {number}: expected column names on line {header_at}, "
                             "the file ends before it")
        if candidate is None:
            raise ValueError(f"{name}: {where} 1: expected an impedance table, the file is empty")
        raise _unrecognised(name, where, candidate[0], _best_split(candidate[1]), columns)
    points = read_rows(_chain(first_data, lines), name, layout, delimiter, where, repeated_header=header)
    header = _preamble_pairs(preamble)
    return points, {"columns": layout.describe(), "header": header, "preamble": preamble}


def _chain(first, rest):
    if first is not None:
        yield first
    yield from rest


def _header_layout(line, columns):
    # A map by position alone names no header: the header is then one recognised as it stands.
    by_name = columns is not None and any(isinstance(c, str) for c in columns.given().values())
    for delimiter in _DELIMITERS:
        names = split_fields(line, delimiter)
        if len(names) < 2:
            continue
        layout = layout_of_header(names, None)
        if columns is not None and (by_name or layout is not None):
            layout = layout_of_header(names, columns)
        if layout is not None:
            return layout, delimiter
    return None, None


def _best_split(line):
    return next(fields for fields in (split_fields(line, delimiter) for delimiter in _DELIMITERS)
                if len(fields) >= 2 or not fields or fields == line.split())


def _unrecognised(name, where, number, names, columns, header=True):
    names = list(names)
    while names and not names[-1]:
        names.pop()  # a trailing delimiter
    listed = ", ".join(f"{index}: {field!r}" for index, field in enumerate(names))
    suggestion = _suggest(names, header)
    if columns is not None:
        problem = f"expected the columns {columns.to_text()!r}, the table has {listed}"
    elif header:
        problem = f"expected columns naming the frequency and the impedance, the header has {listed}"
    else:
        problem = (f"expected a header row or three columns (frequency, Re, Im), the first row has "
                   f"{len(names)}: {listed}")
    return ValueError(f"{name}: {where} {number}: {problem}. Say which column is "
                      f"which, e.g. read_spectra(..., columns=ColumnMap.parse({suggestion!r})) or "
                      f"--columns {suggestion!r}")


def _suggest(names, header):
    if not header or len(names) < 3:
        return "f=0,re=1,im=2"
    found = {}
    for index, field in enumerate(names):
        recognised = recognise(field)
        if recognised and recognised.quantity not in found:
            found[recognised.quantity] = index
    chosen = []
    for quantity in ("frequency", "real", "imaginary"):
        index = found.get(quantity)
        if index is None or index in chosen:
            free = [i for i in range(len(names)) if i not in chosen]
            index = next((i for i in free if i not in found.values()), free[0])
        chosen.append(index)
    labels = [names[i] if names[i] and "," not in names[i] else str(i) for i in chosen]
    return f"f={labels[0]},re={labels[1]},im={labels[2]}"


def _preamble_pairs(preamble):
    pairs = {}
    for line in preamble:
        for separator in (" : ", ":", "="):
            key, found, value = line.partition(separator)
            if found and key.strip() and value.strip():
                pairs.setdefault(key.strip(), value.strip())
                break
    return pairs


def read_rows(lines: Iterable[tuple[int, str, bool]], name: str, layout: Layout, delimiter: Optional[str],
              where: str, *, repeated_header: Optional[str] = None) -> Points:
    """Points of the data rows of a table whose layout is known; a cut-short last row is left out.

    repeated_header: the header line, skipped where it comes again (tables appended to one file).
    """
    positions = layout.positions
    frequency_at = positions["frequency"]
    first_at, second_at = ((positions["real"], positions["imaginary"]) if "real" in positions
                           else (positions["modulus"], positions["phase"]))
    sweep_at = positions.get("sweep")
    needed = max(positions.values()) + 1
    what = ("frequency", "real part" if "real" in positions else "modulus",
            "imaginary part" if "real" in positions else "phase", "sweep")
    decimal = _Decimal(name, where)
    frequencies, firsts, seconds, sweeps, numbers = array("d"), array("d"), array("d"), array("d"), array("q")
    recent: deque = deque(maxlen=8)
    plain = delimiter is not None
    columns = (frequency_at, first_at, second_at, sweep_at)
    table_starts: list[int] = []  # where a repeated header starts another table
    nan = math.nan
    for number, line, ended in lines:
        row = line.split(delimiter) if plain and '"' not in line else split_fields(line, delimiter)
        if not ended and looks_truncated(line, recent):
            warn_truncated(name, number, line)
            break
        if len(row) < needed:
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            raise ValueError(f"{name}: {where} {number}: expected at least {needed} fields, got {len(row)}")
        try:
            # Unless the file writes decimal commas, plain float() reads each field (blanks and all).
            if decimal.mark == ",":
                raise ValueError
            values = (float(row[frequency_at]), float(row[first_at]), float(row[second_at]),
                      float(row[sweep_at]) if sweep_at is not None else nan)
            if decimal.mark is None and any("." in row[at] for at in columns if at is not None):
                decimal.mark = "."
        except ValueError:
            if line == repeated_header:
                table_starts.append(len(numbers))
                continue
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            values = tuple(nan if at is None else decimal.number(row[at].strip(), number, what[index])
                           for index, at in enumerate(columns))
        frequencies.append(values[0])
        firsts.append(values[1])
        seconds.append(values[2])
        sweeps.append(values[3])
        numbers.append(number)
        recent.append(line)
    points = Points()
    scale = layout.scales.get("frequency", 1.0)
    f = np.frombuffer(frequencies, dtype=np.float64) * scale if scale != 1.0 else np.frombuffer(frequencies)
    impedances = impedances_of(layout, np.frombuffer(firsts, dtype=np.float64),
                               np.frombuffer(seconds, dtype=np.float64))
    points.frequencies = array("d", np.ascontiguousarray(f).tobytes()) if scale != 1.0 else frequencies
    del firsts, seconds
    points.real = array("d", np.ascontiguousarray(impedances.real).tobytes())
    points.imaginary = array("d", np.ascontiguousarray(impedances.imag).tobytes())
    points.sweeps, points.lines = sweeps, numbers
    if table_starts and sweep_at is None:
        # Each appended table is a sweep of its own, numbered from 0.
        tables = np.searchsorted(np.array(table_starts), np.arange(len(numbers)), side="right")
        points.sweeps = array("d", tables.astype(np.float64).tobytes())
    return points


def read_frame(names: Sequence[str], column: Callable[[int], np.ndarray], name: str,
               columns: Optional[ColumnMap] = None) -> tuple[Points, dict]:
    """Points of a columnar table (Parquet): names and a function giving column `index` as floats."""
    names = [str(n) for n in names]
    layout = layout_of_header(names, columns) or (
        layout_by_position(len(names), columns, names) if columns is not None else None)
    if layout is None:
        raise _unrecognised(name, "record", 1, names, columns)
    positions = layout.positions
    frequencies = column(positions["frequency"]) * layout.scales.get("frequency", 1.0)
    pair = ("real", "imaginary") if "real" in positions else ("modulus", "phase")
    impedances = impedances_of(layout, column(positions[pair[0]]), column(positions[pair[1]]))
    sweeps = column(positions["sweep"]) if "sweep" in positions else None
    return Points.of_arrays(frequencies, impedances, sweeps=sweeps), {"columns": layout.describe()}
