"""Reading measured curves from the files labs write, with their units.

    >>> from kelvara.io import read, read_curves
    >>> curves = read_curves(["cd_5uM.txt", "cd_10uM.txt"])          # JASCO exports
    >>> curves = read_curves("melts.csv", c_tot=["5 uM", "10 uM"])    # Cary export
    >>> reading = read("melts.csv"); print(reading.text())             # how it was read

Layouts, told apart by their content (not by the file name):

- long: one row per point, with temperature, signal and concentration
  columns and an optional ``curve`` column;
- wide: a temperature column and one signal column per curve, each headed by
  its concentration with a unit (``5 uM``, ``c = 1e-5 M``, ``10µM``);
- a temperature and a signal column only: one curve, its concentration given
  with ``c_tot``;
- numbers without a header: two columns are temperature and signal; more
  are chosen by their 1-based position (``temperature_column="1"``);
- JASCO CD temperature scans (``XYDATA``), one curve per file;
- Agilent Cary UV-vis thermal exports, one or more samples, each split where
  the temperature turns into its cooling and heating stages;
- Excel ``.xlsx`` workbooks (the first sheet holding a table, or ``sheet``),
  long or wide.

Columns take their role from a unit in their header (``Sample Temp (°C)`` is
a temperature, ``[PBI] (uM)`` a concentration) or from their first word.
Text may be separated by commas, semicolons or tabs, use decimal commas, be
UTF-8 (with or without a byte-order mark), UTF-16 with a BOM or cp1252, and
carry metadata lines before its header and ``#`` comments.  Empty, NA, NaN
and #N/A cells drop their row, with a note.  Temperatures come out in kelvin
and concentrations in mol/L; numbers that cannot be in the unit they are
taken for (Celsius above 150, kelvin above 600 or below 150, a bare
concentration of 0.5 mol/L) are refused, as are curves of fewer than 5
points and readings that would split a file into more than 30 curves by the
values of a column.  Every problem is a `ReadError` (a ValueError) of one
sentence naming the file, its 1-based line and column.  `read` says how each
file was read: its layout, every column's role and unit, and the curves.

Needs pandas (the ``fit`` extra).
"""

from __future__ import annotations

import io as _io
import math
import os
import pathlib
import re
import stat
from collections import Counter
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np

from kelvara.fit import Curve
from kelvara.units import (KELVIN_FLOOR, KELVIN_OFFSET, PLAUSIBLE_MOLAR, UNIT_CHOICES, UnitError,
                           concentration_argument as _concentration_argument, concentration_divisor,
                           parse_concentration, temperature_argument as _temperature_argument, temperature_unit)

__all__ = ["ReadError", "Reading", "FileReading", "read", "read_curves", "parse_concentration"]

# Column roles, found by the first word of a header (case-insensitive).
ROLES = {
    "temperature": {"temperature", "temp", "t", "temperatur", "température"},
    "signal": {"signal", "absorbance", "abs", "cd", "ellipticity", "fluorescence", "intensity", "y",
               "theta", "θ", "mdeg", "od", "emission", "extinction", "alpha", "α", "phi", "φ", "degree",
               "aggregation", "epsilon", "ε", "normalised", "normalized"},
    "concentration": {"concentration", "conc", "c", "ctot", "c_tot"},
    "curve": {"curve", "series", "sample"},
    # the fraction of good solvent: "f", "fraction", "good solvent", "solvent fraction"
    "solvent": {"f", "fraction", "good", "solvent", "volume"},
}
VARY = ("auto", "temperature", "concentration", "solvent")
NA_VALUES = ["", "NA", "N/A", "NaN", "nan", "#N/A", "#NA", "-", "null"]
CELSIUS_RANGE = (-100.0, 150.0)  # °C: a solution measured outside this is kelvin by mistake
KELVIN_CEILING = 600.0  # K: no solution of a self-assembling compound is measured hotter
MAX_CURVES_FROM_VALUES = 30  # a column splitting the rows into more curves is not a curve column
MIN_POINTS = 5  # a curve of fewer points fits nothing


class ReadError(ValueError):
    """A file that cannot be read as curves: one sentence naming the file,
    the line and the column."""


def concentration_argument(text: str, what: str = "--c-tot") -> Tuple[float, bool]:
    """A value given on the command line: a number (mol/L) or a number with a
    unit; returns (mol/L, whether a unit was given)."""
    try:
        return _concentration_argument(text, what)
    except UnitError as error:
        raise ReadError(str(error)) from None


def temperature_argument(value, celsius=False) -> float:
    """A temperature given by hand, in kelvin: a number (kelvin, or Celsius
    with `celsius`) or a number with its unit ("20C", "20 °C", "293.15 K")."""
    try:
        return _temperature_argument(value, celsius)
    except UnitError as error:
        raise ReadError(str(error)) from None


# --- how a file was read --------------------------------------------------------------


@dataclass
class ColumnReading:
    """One column of a file: its 1-based position (None for a value an
    instrument file states by key), its header, the role it was given
    (temperature, signal, concentration, curve, solvent or unused), the
    unit assumed, in words, and the curve it belongs to, if one."""

    position: Optional[int]
    header: str
    role: str
    unit: str = ""
    of: str = ""  # the curve or sample the column belongs to, where it serves one


@dataclass
class CurveReading:
    """One curve as read: label, concentration (mol/L; None for a series),
    points, what varies and its range (K, mol/L or fraction), the fixed
    temperature of a series or denaturation (K), and where c_tot came from."""

    label: str
    c_tot: Optional[float]
    points: int
    varies: str
    low: float
    high: float
    temperature: Optional[float] = None
    c_tot_from: str = "file"


@dataclass
class FileReading:
    """How one file was read."""

    path: str
    layout: str
    details: str = ""
    columns: List[ColumnReading] = field(default_factory=list)
    curves: List[CurveReading] = field(default_factory=list)
    temperature_unit: str = "K"  # the unit the file's temperatures came in: "K" or "°C"

    def text(self) -> str:
        lines = [f"read {self.path} as {self.layout}" + (f"; {self.details}" if self.details else "") + ":"]
        width = max((len(_column_name(c)) for c in self.columns), default=0)
        for c in self.columns:
            lines.append(f"  {_column_name(c):{width}}  {c.role}" + (f", {c.unit}" if c.unit else "")
                         + (f", of {c.of}" if c.of else ""))
        kinds = Counter(c.varies for c in self.curves)
        lines.append(f"  {len(self.curves)} curve(s): "
                     + ", ".join(f"{n} against {kind}" for kind, n in kinds.items()))
        for c in self.curves:
            lines.append(f"    {c.label}: {_curve_words(c, self.temperature_unit)}")
        return "\n".join(lines)

    def to_dict(self) -> dict:
        return {
            "path": self.path, "layout": self.layout, "details": self.details,
            "temperature_unit": self.temperature_unit,
            "columns": [dict(position=c.position, header=c.header, role=c.role, unit=c.unit, of=c.of)
                        for c in self.columns],
            "curves": [dict(label=c.label, c_tot=c.c_tot, c_tot_from=c.c_tot_from, points=c.points, varies=c.varies,
                            low=c.low, high=c.high, temperature=c.temperature) for c in self.curves],
        }


def _column_name(c: ColumnReading) -> str:
    where = f"column {c.position}" if c.position is not None else "value"
    return f"{where} {c.header!r}" if c.header != f"column {c.position}" else where


def _curve_words(c: CurveReading, unit: str) -> str:
    def temperature(kelvin):
        return f"{kelvin - KELVIN_OFFSET:.4g} °C" if unit == "°C" else f"{kelvin:.5g} K"

    if c.varies == "temperature":
        span = f"{temperature(c.low)} to {temperature(c.high)}"
    elif c.varies == "concentration":
        span = f"c_tot {_label(c.low)} to {_label(c.high)}"
    else:
        span = f"good-solvent fraction {c.low:.3g} to {c.high:.3g}"
    words = [] if c.c_tot is None else [f"c_tot {_label(c.c_tot)}"
                                        + ("" if c.c_tot_from == "file" else f" ({c.c_tot_from})")]
    if c.temperature is not None:
        words.append(f"at {temperature(c.temperature)}")
    return ", ".join(words + [f"{c.points} points", span])


@dataclass
class Reading:
    """What `read` gives: the curves, how each file was read, and the notes
    (rows dropped, stages left out)."""

    curves: List[Curve]
    files: List[FileReading]
    notes: List[str]
    options: Dict[str, object] = field(default_factory=dict)

    @property
    def temperature_unit(self) -> str:
        """"°C" when every file with temperatures gave them in Celsius, else "K"."""
        units = {f.temperature_unit for f in self.files if any(c.varies == "temperature" or c.temperature
                                                               is not None for c in f.curves)}
        return "°C" if units == {"°C"} else "K"

    def text(self) -> str:
        return "\n".join([f.text() for f in self.files] + [f"note: {n}" for n in self.notes])

    def to_dict(self) -> dict:
        return {"files": [f.to_dict() for f in self.files], "notes": list(self.notes),
                "options": {k: v for k, v in self.options.items() if v not in (None, [], False)}}


# --- units in headers --------------------------------------------------------------


def _header_unit(header: str) -> Optional[str]:
    """The unit a header states: inside brackets ("T (°C)", "CD [mdeg]"),
    after a slash ("T / K") or after an underscore ("temperature_K")."""
    text = header.strip()
    found = _bracketed_unit(text)
    if found is not None:
        return found
    if "_" in text:
        return text.rsplit("_", 1)[1].strip()
    parts = text.split()
    return parts[-1] if len(parts) > 1 else None


def _bracketed_unit(text: str) -> Optional[str]:
    """The unit in brackets or after a slash: the forms that say a unit and
    nothing else ("Sample Temp (°C)", "Conc./uM")."""
    found = re.findall(r"[\(\[]\s*([^\)\]]*?)\s*[\)\]]", text)
    if found:
        return found[-1]
    if "/" in text:
        return text.split("/", 1)[1].strip()
    return None


def _temperature_unit(header: str) -> Optional[str]:
    return temperature_unit(_header_unit(header))


_HEADER_TEMPERATURE = re.compile(r"^\s*(?:t\s*=\s*)?([-+]?\d+(?:[.,]\d+)?)\s*(°\s*c|ºc|degc|c|k)\s*$", re.IGNORECASE)


def header_temperature(header) -> Optional[float]:
    """The temperature a column is headed by, in kelvin ("25 °C", "T = 298.15
    K"): a concentration series of the wide layout; None otherwise."""
    match = _HEADER_TEMPERATURE.match(str(header))
    if not match:
        return None
    value = float(match.group(1).replace(",", "."))
    return value if match.group(2).lower() == "k" else value + KELVIN_OFFSET


def _role_of(header):
    """A header's role: by the unit it states (a temperature or a
    concentration unit decides, whatever the words), else by its words."""
    if parse_concentration(header) is not None or header_temperature(header) is not None:
        return None  # a value with its unit ("c = 1e-5 M", "25 °C") heads a curve of the wide layout
    unit = _bracketed_unit(str(header).strip())
    if unit is not None:
        if temperature_unit(unit) is not None:
            return "temperature"
        if concentration_divisor(unit) is not None:
            return "concentration"
    word = _first_word(header)
    if word == "c" and re.match(r"\s*c_?tot", str(header).strip().lower()):
        return "concentration"
    words = set(re.split(r"[\s_(\[/=:.,]+", str(header).strip().lower()))
    if words & ROLES["temperature"] - {"t"}:
        return "temperature"  # "Sample Temp", "Block temperature"
    for role, names in ROLES.items():
        if word in names:
            return role
    return None


def _first_word(header):
    """The header's first word, lower-case, without a closing full stop
    ("Temp. (°C)", "Conc./uM")."""
    return re.split(r"[\s_(\[/=:]", str(header).strip().lower(), maxsplit=1)[0].rstrip(".")


def _matches(header, chosen):
    """A header chosen by name: the whole header, or its first word
    (`--signal-column CD` finds `CD [mdeg]`)."""
    header, chosen = str(header).strip().lower(), chosen.strip().lower()
    return header == chosen or _first_word(header) == chosen


# --- text -------------------------------------------------------------------------


def _encoding(head: bytes) -> str:
    if head.startswith(b"\xef\xbb\xbf"):
        return "utf-8-sig"
    if head.startswith((b"\xff\xfe", b"\xfe\xff")):
        return "utf-16"
    try:
        head.decode("utf-8")
        return "utf-8"
    except UnicodeDecodeError as error:
        if error.start >= len(head) - 3:  # a character cut off by the sample's end
            return "utf-8"
        return "cp1252"


class _DataFile:
    """A data file that can be read more than once: a regular file from
    disk each time; a pipe, a FIFO or a device (/dev/stdin, <(...)) read
    once into memory.  Messages show its path."""

    def __init__(self, path: pathlib.Path):
        self.path = pathlib.Path(path)
        self.data: Optional[bytes] = None
        try:
            mode = os.stat(self.path).st_mode
            if stat.S_ISDIR(mode):
                raise ReadError(f"{path} is a folder, not a data file")
            if not stat.S_ISREG(mode):
                with open(self.path, "rb") as handle:
                    self.data = handle.read()
        except FileNotFoundError:
            raise ReadError(f"no such file: {path}") from None
        except OSError as error:
            raise ReadError(f"cannot read {path}: {error.strerror}") from None

    def __str__(self):
        return str(self.path)

    @property
    def stem(self):
        return self.path.stem

    def open(self):
        """A new binary stream from the start of the file."""
        if self.data is not None:
            return _io.BytesIO(self.data)
        try:
            return open(self.path, "rb")
        except OSError as error:
            raise ReadError(f"cannot read {self.path}: {error.strerror}") from None


def _sample(path: _DataFile, size=1 << 18, most=1 << 26) -> Tuple[bytes, str, List[str]]:
    """The file's first bytes (at least one whole line, if it has one within
    `most` bytes), their encoding, and their whole lines."""
    try:
        with path.open() as handle:
            head = handle.read(size)
            while len(head) < most and b"\n" not in head and b"\r" not in head:
                more = handle.read(size)
                if not more:
                    break
                head += more
            full = len(head) >= size and handle.read(1) != b""
    except OSError as error:
        raise ReadError(f"cannot read {path}: {error.strerror}") from None
    encoding = _encoding(head)
    text = head.decode(encoding, errors="replace")
    lines = text.splitlines()
    if full and len(lines) > 1:
        lines = lines[:-1]  # the last line may be cut off
    return head, encoding, lines


_NUMBER = re.compile(r"^\s*[-+]?(?:\d+(?:[.,]\d*)?|[.,]\d+)(?:[eE][-+]?\d+)?\s*$")


def _numeric(cell, decimal):
    if isinstance(cell, (int, float)) and not isinstance(cell, bool):
        return math.isfinite(cell)
    cell = str(cell).strip()
    return bool(_NUMBER.match(cell)) and ("," if decimal == "." else ".") not in cell


def _is_comment(line):
    return line.lstrip().startswith("#")


def _separator(lines) -> str:
    body = [line for line in lines if line.strip() and not _is_comment(line)][-30:]
    for sep in ("\t", ";", ","):
        counts = [len(line.rstrip(sep).split(sep)) for line in body]
        if counts and max(counts) >= 2 and sum(c == max(counts) for c in counts) >= 0.6 * len(counts):
            return sep
    return ","


def _decimal(lines, sep, forced) -> str:
    if forced:
        return forced
    if sep == ",":
        return "."
    cells = [cell.strip() for line in lines[-30:] if not _is_comment(line) for cell in line.split(sep)]
    commas = sum(bool(re.match(r"^[-+]?\d*,\d+(?:[eE][-+]?\d+)?$", c)) for c in cells)
    points = sum(bool(re.match(r"^[-+]?\d*\.\d+(?:[eE][-+]?\d+)?$", c)) for c in cells)
    return "," if commas > points else "."


def _blank(cell) -> bool:
    return cell is None or (isinstance(cell, float) and math.isnan(cell)) or not str(cell).strip()


@dataclass
class _Located:
    header: Optional[int]  # the index (into the rows given) of the header row; None: no header
    first: int  # the index of the first row of numbers
    bare_header: Optional[List[str]] = None  # a header of unitless numbers ("T (°C),5,10,20")


def _locate(rows: List[Sequence[object]], decimal) -> Optional[_Located]:
    """Where the table starts in rows of cells: the header is the last row
    with as many cells before the first three rows of numbers; rows of
    nothing but numbers from the first on are a table without a header.
    None when there is no table of numbers at all."""
    def cells(row):
        row = list(row)
        while row and _blank(row[-1]):
            row.pop()
        return row

    def numeric_row(row):
        row = cells(row)
        numbers = sum(_numeric(c, decimal) for c in row if not _blank(c))
        return len(row) >= 2 and numbers >= 2 and numbers >= 0.5 * len(row)

    def all_numbers(row):
        row = cells(row)
        return len(row) >= 2 and all(_blank(c) or str(c).strip() in NA_VALUES or _numeric(c, decimal) for c in row)

    for k in range(len(rows)):
        if not all(numeric_row(row) for row in rows[k:k + 3]):
            continue
        width = len(cells(rows[k]))
        for i in range(k - 1, -1, -1):
            if len(cells(rows[i])) >= min(width, 2) and not numeric_row(rows[i]):
                return _Located(i, i + 1)
        if all(all_numbers(row) for row in rows[k:k + 3]):
            if k == 0 or len(cells(rows[k - 1])) < 2:
                return _Located(None, k)
        if not all_numbers(rows[k]) and all(all_numbers(row) for row in rows[k + 1:k + 3]):
            # A header whose column names are bare numbers.
            return _Located(None, k + 1, [str(c).strip() for c in cells(rows[k])])
        return None
    return None


def _line_numbers(path, encoding, header_line, positions, comment):
    """1-based file lines of the given data rows (0-based, in the order the
    table holds them: blank and comment lines are not rows); `header_line`
    is the 0-based line before the first data row."""
    wanted = {int(p): None for p in positions}
    last = max(wanted) if wanted else -1
    row = -1
    with _io.TextIOWrapper(path.open(), encoding=encoding, errors="replace", newline=None) as handle:
        for number, line in enumerate(handle, start=1):
            if number <= header_line + 1:
                continue
            if not line.strip() or (comment and _is_comment(line)):
                continue
            row += 1
            if row in wanted:
                wanted[row] = number
            if row >= last:
                break
    return [wanted[int(p)] for p in positions]


# --- the reader -------------------------------------------------------------------


@dataclass
class _Options:
    celsius: bool
    temperature_column: Optional[str]
    signal_column: Optional[str]
    concentration_column: Optional[str]
    curve_column: Optional[str]
    decimal: Optional[str]
    sheet: Optional[str]
    segment: str
    vary: str = "auto"
    solvent_column: Optional[str] = None


@dataclass
class _Source:
    """A table being read: what messages name, where its rows lie in the
    file, the 1-based positions of its columns, and its report."""

    path: object  # shown in messages: the path, with the sheet of a workbook
    options: _Options
    notes: List[str]
    where: Callable[[Sequence[int]], List[int]]
    stem: str
    reading: FileReading
    positions: Dict[str, int] = field(default_factory=dict)
    headerless: bool = False

    def role(self, header, role, unit="", of=""):
        """Record a column's role in the report (the first role given holds)."""
        for column in self.reading.columns:
            if column.header == header and column.role == "unused":
                column.role, column.unit, column.of = role, unit, of


@dataclass
class _Pending:
    """A curve read from a file, perhaps still without its concentration
    (or, for a series, its temperature)."""

    temperature: Union[np.ndarray, float, None]
    signal: np.ndarray
    c_tot: Union[float, np.ndarray, None]
    label: str
    path: str
    signal_name: Optional[str] = None
    vary: str = "temperature"
    solvent: Optional[np.ndarray] = None
    stated: Optional[float] = None  # a concentration stated above the header, when --c-tot gives none
    file: int = 0  # which file, in the order given
    c_tot_from: str = "file"


def read(
    paths: Union[str, pathlib.Path, Iterable[Union[str, pathlib.Path]]],
    *,
    c_tot: Optional[Sequence[Union[float, str]]] = None,
    celsius: bool = False,
    temperature_column: Optional[str] = None,
    signal_column: Optional[str] = None,
    concentration_column: Optional[str] = None,
    curve_column: Optional[str] = None,
    decimal: Optional[str] = None,
    sheet: Optional[str] = None,
    segment: str = "all",
    vary: str = "auto",
    temperature: Union[float, str, None] = None,
    solvent_column: Optional[str] = None,
) -> Reading:
    """The curves of one or several files (in kelvin and mol/L), how each
    file was read, and the notes: see `read_curves` for the options.  Raises
    `ReadError` for anything that cannot be read without a guess."""
    given = dict(c_tot=list(c_tot) if c_tot else None, celsius=celsius, temperature_column=temperature_column,
                 signal_column=signal_column, concentration_column=concentration_column,
                 curve_column=curve_column, decimal=decimal, sheet=sheet, segment=segment, vary=vary,
                 temperature=temperature, solvent_column=solvent_column)
    if isinstance(paths, (str, pathlib.Path)):
        paths = [paths]
    paths = [pathlib.Path(p) for p in paths]
    if not paths:
        raise ReadError("no data file given")
    if decimal not in (None, ".", ","):
        raise ReadError(f"decimal must be '.' or ',', not {decimal!r}")
    if segment not in ("all", "cooling", "heating"):
        raise ReadError(f"segment must be cooling, heating or all, not {segment!r}")
    if vary not in VARY:
        raise ReadError(f"vary must be one of {', '.join(VARY)}, not {vary!r}")
    fixed_temperature = None if temperature is None else temperature_argument(temperature, celsius)
    options = _Options(celsius, temperature_column, signal_column, concentration_column, curve_column,
                       decimal, sheet, segment, vary, solvent_column)
    notes: List[str] = []
    pending: List[_Pending] = []
    files: List[FileReading] = []
    for index, path in enumerate(paths):
        reading = FileReading(str(path), "")
        read_here = _read_file(path, options, notes, reading)
        if vary not in ("auto", "temperature") and any(p.vary != vary for p in read_here):
            raise ReadError(f"{path} holds curves against temperature (an instrument's temperature scan), "
                            f"not a {vary} series")
        for p in read_here:
            p.file = index
        files.append(reading)
        pending += read_here
    _assign_concentrations(pending, c_tot or [])
    _assign_temperature(pending, fixed_temperature, temperature)
    _distinct_labels(pending, paths)
    curves = []
    for p in pending:
        try:
            curve = Curve(p.temperature, p.signal, p.c_tot, label=p.label, signal_name=p.signal_name,
                          solvent=p.solvent, vary=p.vary, source=p.path,
                          temperature_unit=files[p.file].temperature_unit)
        except ValueError as error:
            raise ReadError(f"{p.path}: {error}") from None
        twice = curve.size - np.unique(np.stack([curve.x, curve.signal], axis=1), axis=0).shape[0]
        if twice:
            notes.append(f"{p.path}: curve {p.label!r}: {twice} point(s) repeat another exactly (the same "
                         f"{curve.vary} and signal); each counts in the fit as a reading of its own")
        if curve.size < MIN_POINTS:
            raise ReadError(f"{p.path}: curve {p.label!r} has {curve.size} point(s); a curve needs at least "
                            f"{MIN_POINTS} (is the file read as you meant? kelvara read {p.path} shows how)")
        curves.append(curve)
        files[p.file].curves.append(_curve_reading(curve, p.c_tot_from))
    return Reading(curves, files, notes, given)


def read_curves(
    paths: Union[str, pathlib.Path, Iterable[Union[str, pathlib.Path]]],
    *,
    c_tot: Optional[Sequence[Union[float, str]]] = None,
    celsius: bool = False,
    temperature_column: Optional[str] = None,
    signal_column: Optional[str] = None,
    concentration_column: Optional[str] = None,
    curve_column: Optional[str] = None,
    decimal: Optional[str] = None,
    sheet: Optional[str] = None,
    segment: str = "all",
    notes: Optional[List[str]] = None,
    vary: str = "auto",
    temperature: Union[float, str, None] = None,
    solvent_column: Optional[str] = None,
) -> List[Curve]:
    """The curves of one or several files, in kelvin and mol/L.

    c_tot: concentrations for the curves whose files state none, in order:
    one per such curve, or one per such file (numbers in mol/L, or text with
    a unit, "5uM").  celsius: unitless temperature columns are in degrees
    Celsius (a header unit that says otherwise is an error).  decimal: ","
    to force decimal commas.  sheet: the Excel sheet, by name (any case) or
    1-based number (default: the first sheet holding a table of numbers).
    segment: "cooling", "heating" or "all" stages of a Cary export.  notes:
    a list that receives how each file was read (one text per file: layout,
    columns with their roles and units, curves) and then one sentence per
    thing worth knowing (rows dropped for missing values).

    temperature_column, signal_column, concentration_column, curve_column,
    solvent_column: a column by its header, its header's first word, or its
    1-based position ("1"; the only way into a file without a header).

    vary: what the curves vary: "temperature" (cooling and heating curves),
    "concentration" (a concentration series: one curve per temperature, or
    per value of a curve column), "solvent" (a denaturation against the
    fraction of good solvent, in a column named f, fraction, good solvent or
    solvent fraction, or `solvent_column`; one curve per concentration), or
    "auto": a solvent column beside a signal makes a denaturation, a
    concentration that varies more than the temperature a concentration
    series.  temperature: of a series whose file has no temperature column
    (kelvin, or text with a unit: "20C", "293.15 K").
    """
    reading = read(paths, c_tot=c_tot, celsius=celsius, temperature_column=temperature_column,
                   signal_column=signal_column, concentration_column=concentration_column,
                   curve_column=curve_column, decimal=decimal, sheet=sheet, segment=segment, vary=vary,
                   temperature=temperature, solvent_column=solvent_column)
    if notes is not None:
        notes += [f.text() for f in reading.files] + reading.notes
    return reading.curves


def _curve_reading(curve: Curve, c_tot_from: str) -> CurveReading:
    x = curve.x
    return CurveReading(curve.name, None if curve.vary == "concentration" else float(curve.c_tot), curve.size,
                        curve.vary, float(np.min(x)), float(np.max(x)),
                        None if curve.vary == "temperature" else curve.temperature, c_tot_from)


def _distinct_labels(pending, paths):
    """Curves that would share a label keep what tells them apart: the file
    they came from (its name, or its path when names repeat), else their
    place in it."""
    files = {}
    for p in pending:
        files.setdefault(p.label, set()).add(p.file)
    names = Counter(paths[i].name for i in {p.file for p in pending})
    for p in pending:
        if len(files[p.label]) > 1:
            name = paths[p.file].name
            p.label = f"{p.label} ({name if names[name] == 1 else paths[p.file]})"
    counts = Counter(p.label for p in pending)
    seen: Counter = Counter()
    for p in pending:
        if counts[p.label] > 1:
            seen[p.label] += 1
            p.label = f"{p.label} #{seen[p.label]}"


def _assign_temperature(pending, kelvin, given):
    """The temperature given by hand goes to every series whose file has
    none; a denaturation cannot do without one."""
    for p in pending:
        if kelvin is not None and p.vary == "temperature":
            raise ReadError(f"--temperature {given} was given, but {p.path} holds curves against temperature")
        if kelvin is not None and p.temperature is not None and abs(p.temperature - kelvin) > _SERIES_SPREAD:
            raise ReadError(f"--temperature {given} was given, but {p.path} has a temperature column that says "
                            f"{p.temperature:g} K")
        if p.temperature is None:
            p.temperature = kelvin
        if p.temperature is None and p.vary == "solvent":
            raise ReadError(f"{p.path}: a solvent denaturation needs its temperature: give a temperature column "
                            "or --temperature VALUE (e.g. --temperature 293.15 or 20C)")


def _assign_concentrations(pending, given):
    values = [concentration_argument(v)[0] for v in given]
    missing = [p for p in pending if p.c_tot is None]
    if not values:
        for p in missing:
            p.c_tot, p.c_tot_from = p.stated, "stated above the header"
        missing = [p for p in missing if p.c_tot is None]
    if not missing:
        if values:
            raise ReadError("--c-tot was given, but every curve has its concentration from its file")
        return
    files = list(dict.fromkeys(p.path for p in missing))
    if len(values) == len(missing):
        for p, v in zip(missing, values):
            p.c_tot, p.c_tot_from = v, "--c-tot"
    elif len(values) == len(files):
        by_file = dict(zip(files, values))
        for p in missing:
            p.c_tot, p.c_tot_from = by_file[p.path], "--c-tot"
    elif not values:
        names = ", ".join(f"{p.label}" for p in missing[:4]) + (" ..." if len(missing) > 4 else "")
        raise ReadError(f"{missing[0].path}: no concentration for {len(missing)} curve(s) ({names}); "
                        f"give --c-tot VALUE with a unit (e.g. --c-tot 5uM) once per curve or per file")
    else:
        raise ReadError(f"--c-tot given {len(values)} times, but {len(missing)} curves in {len(files)} "
                        "files need a concentration: give one per curve or one per file, in order")


def _read_file(path: pathlib.Path, options: _Options, notes, reading: FileReading) -> List[_Pending]:
    path = _DataFile(path)
    head, encoding, lines = _sample(path)
    if not head.strip():
        raise ReadError(f"{path} is empty")
    if head.startswith(b"PK\x03\x04"):
        return _read_excel(path, options, notes, reading)
    if head.startswith(b"\xd0\xcf\x11\xe0"):
        raise ReadError(f"{path}: old Excel (.xls) files are not read; save it as .xlsx or CSV")
    stripped = [line.strip() for line in lines]
    if "XYDATA" in stripped and any(s.upper().startswith("XUNITS") for s in stripped):
        return _read_jasco(path, encoding, options, notes, reading)
    if _is_cary(lines):
        return _read_cary(path, encoding, options, notes, reading)
    return _read_text_table(path, encoding, lines, options, notes, reading)


_SEPARATOR_NAMES = {",": "commas", ";": "semicolons", "\t": "tabs"}


def _read_text_table(path, encoding, lines, options, notes, reading):
    import pandas as pd

    if not any(line.strip() for line in lines):
        raise ReadError(f"{path} is empty")
    sep = _separator(lines)
    decimal = _decimal(lines, sep, options.decimal)
    content = [(i, line) for i, line in enumerate(lines) if line.strip() and not _is_comment(line)]
    located = _locate([line.rstrip().rstrip(sep).split(sep) for _, line in content], decimal)
    if located is None:
        if len(content) <= 1:
            raise ReadError(f"{path} has a header but no data rows" if content else f"{path} is empty")
        raise ReadError(f"{path}: no header row followed by rows of numbers (separated by "
                        f"{_SEPARATOR_NAMES[sep]}, decimal {decimal!r})")
    if located.bare_header is not None:
        raise _bare_header_error(path, content[located.first - 1][0] + 1, located.bare_header)
    headerless = located.header is None
    first_line = content[located.first][0]
    header_line = first_line - 1 if headerless else content[located.header][0]
    comment = any(_is_comment(line) for line in lines[header_line + 1:])
    try:
        with path.open() as handle:
            table = pd.read_csv(
                handle, sep=sep, decimal=decimal, encoding=encoding, skiprows=first_line if headerless else header_line,
                header=None if headerless else 0, na_values=NA_VALUES, keep_default_na=True,
                skip_blank_lines=True, comment="#" if comment else None, index_col=False, skipinitialspace=True,
            )
    except (ValueError, pd.errors.ParserError, UnicodeDecodeError) as error:
        raise ReadError(f"{path}: cannot be read as a table: {str(error).splitlines()[0]}") from None
    except MemoryError:
        raise ReadError(f"{path}: not enough memory to read it") from None
    layout = f"{_SEPARATOR_NAMES[sep]}, decimal {decimal!r}, " + (
        f"no header, data from line {first_line + 1}" if headerless else f"header on line {header_line + 1}")

    def where(positions):
        return _line_numbers(path, encoding, header_line, positions, comment)

    tables = list(_source(path, table, options, notes, where, path.stem, reading, layout, headerless))
    source = tables.pop()
    del table  # _from_table lets go of it once its columns are out
    curves = _from_table(source, tables.pop())
    stated = _stated_concentration(lines[:header_line])
    for curve in curves:
        curve.stated = stated
    return curves


def _bare_header_error(path, line, cells):
    bare = [c for c in cells if _numeric(c, ".")]
    shown = ", ".join(bare[:4]) + (" ..." if len(bare) > 4 else "")
    return ReadError(f"{path}, line {line}: the header names columns by bare numbers ({shown}); a column headed "
                     "by its concentration needs the unit, e.g. '5 uM' (or by its temperature, e.g. '25 °C')")


def _named(table, headerless):
    """The table with its columns named by their header ("column N" for a
    blank one, or in a file without a header; a repeated name gets ".1"),
    empty columns without a header (a separator at the end of each line)
    dropped; and the 1-based position in the file of every column kept."""
    names, seen = [], Counter()
    for j, h in enumerate(table.columns):
        text = "" if h is None else str(h).strip()
        name = f"column {j + 1}" if headerless or not text or text.startswith("Unnamed:") else text
        if seen[name]:
            name = f"{name}.{seen[name]}"
        seen[name] += 1
        names.append(name)
    keep = [j for j, name in enumerate(names) if name != f"column {j + 1}" or not table.iloc[:, j].isna().all()]
    table.columns = names
    if len(keep) < len(names):
        table = table.iloc[:, keep]
    return table, {names[j]: j + 1 for j in keep}


def _source(path, table, options, notes, where, stem, reading, details, headerless):
    """The table named, and the context its curves are read in."""
    table, positions = _named(table, headerless)
    reading.layout, reading.details = "a table", details
    reading.columns = [ColumnReading(positions[h], h, "unused") for h in table.columns]
    return table, _Source(path, options, notes, where, stem, reading, positions, headerless)


_STATED = re.compile(r"^\s*#?\s*(?:c_?tot|conc\w*|c)\s*[:=,;\t]\s*(\S.*)$", re.IGNORECASE)


def _stated_concentration(lines) -> Optional[float]:
    """A concentration stated above the header ("c = 5 uM", "# c_tot: 1e-5
    M", "Concentration: 10 µM"): for the curves of the file that have none.
    A number without a unit counts only below 0.5 (mol/L)."""
    for line in lines:
        match = _STATED.match(line)
        if not match:
            continue
        text = match.group(1).strip().strip(",;")
        value = parse_concentration(text)
        if value is None:
            try:
                value = float(text.split()[0].replace(",", "."))
            except (ValueError, IndexError):
                continue
            if not 0.0 < value < PLAUSIBLE_MOLAR:
                continue
        if value > 0.0 and math.isfinite(value):
            return value
    return None


def _pick(source: _Source, headers, role, chosen, required=True):
    """The column of a role: the one chosen (by header, first word or
    1-based position), else the one header that names the role."""
    if chosen is not None:
        text = str(chosen).strip()
        if text.isdigit():
            position = int(text)
            matches = [h for h in headers if source.positions.get(h) == position]
            if not matches:
                raise ReadError(f"{source.path}: --{role}-column {text}: there is no column {position} (the file "
                                f"has {max(source.positions.values(), default=0)} columns)")
            return matches[0]
        matches = [h for h in headers if str(h).strip().lower() == text.lower()] or \
                  [h for h in headers if _matches(h, text)]
        if not matches:
            raise ReadError(f"{source.path}: no column named {chosen!r} (the columns are "
                            f"{', '.join(map(repr, headers))}; a number chooses a column by its position)")
        return matches[0]
    if source.headerless:
        return None
    matches = [h for h in headers if _role_of(h) == role]
    if len(matches) > 1:
        names = ", ".join(repr(h) for h in matches)
        raise ReadError(f"{source.path}: ambiguous {role} column: {names} (choose one with --{role}-column NAME "
                        "or its position)")
    return matches[0] if matches else None


def _numbers(path, table, column, where):
    """A column as float64, or the error naming the first cell that is not a number."""
    import pandas as pd

    values = table[column]
    if isinstance(values, pd.DataFrame):  # two columns of one name: the first
        values = values.iloc[:, 0]
    if not pd.api.types.is_numeric_dtype(values):
        converted = pd.to_numeric(values, errors="coerce")
        bad = np.flatnonzero(converted.isna().to_numpy() & values.notna().to_numpy())
        if bad.size:
            # pandas gives up on some numbers Python reads (1e999, as infinity, caught below).
            converted = converted.to_numpy(dtype=float, copy=True)
            for j in bad.tolist():
                try:
                    converted[j] = float(str(values.iloc[j]).strip())
                except ValueError:
                    pass
            bad = bad[np.isnan(converted[bad])]
        if bad.size:
            line = where([bad[0]])[0]
            raise ReadError(f"{path}, line {line}, column {column!r}: {_shown(values.iloc[bad[0]])} is not a number")
        values = pd.Series(converted)
    out = values.to_numpy(dtype=float)
    infinite = np.flatnonzero(np.isinf(out))
    if infinite.size:
        line = where([infinite[0]])[0]
        raise ReadError(f"{path}, line {line}, column {column!r}: the number overflows a double")
    return out


def _shown(cell, width=40):
    """A cell as a message quotes it: a huge field is cut short."""
    text = repr(cell)
    return text if len(text) <= width else text[:width - 5] + "...'"


def _kelvin(path, column, values, unit, celsius_given, where):
    """Kelvin from values in `unit` ("K", "C", "F" or None: kelvin unless
    --celsius), refusing numbers that cannot be in the unit they are taken
    for.  Returns (kelvin, the unit in words)."""
    if unit == "F":
        raise ReadError(f"{path}, column {column!r}: temperatures in degrees Fahrenheit are not read; give them "
                        "in °C or K")
    celsius = unit == "C" or (unit is None and celsius_given)
    finite = np.isfinite(values)
    if celsius:
        low, high = CELSIUS_RANGE
        bad = np.flatnonzero(finite & ((values < low) | (values > high)))
        if bad.size:
            j = bad[np.argmax(np.abs(values[bad]))]
            fix = "say K in the header (e.g. 'T (K)')" if unit == "C" else "leave out --celsius"
            looks = "these look like kelvin; " if values[j] > high else ""
            raise ReadError(f"{path}, line {where([j])[0]}, column {column!r}: {values[j]:g} °C is outside "
                            f"{low:g} to {high:g} °C; {looks}{fix}")
        return values + KELVIN_OFFSET, "°C" + (" (--celsius)" if unit is None else "")
    bad = np.flatnonzero(finite & (values < KELVIN_FLOOR))
    if bad.size:
        j = bad[0]
        fix = "give --celsius or say so in the header, e.g. 'T (°C)'" if unit is None else \
            "say °C in the header, e.g. 'T (°C)'"
        raise ReadError(f"{path}, line {where([j])[0]}, column {column!r}: {values[j]:g} is below "
                        f"{KELVIN_FLOOR:g} K; if the temperatures are in degrees Celsius, {fix}")
    bad = np.flatnonzero(finite & (values > KELVIN_CEILING))
    if bad.size:
        j = bad[0]
        raise ReadError(f"{path}, line {where([j])[0]}, column {column!r}: {values[j]:g} K is above "
                        f"{KELVIN_CEILING:g} K; these are not temperatures in kelvin (choose the temperature "
                        "column with --temperature-column)")
    return values, "K" + ("" if unit == "K" else " (no unit in the header)")


def _temperatures(source: _Source, column, values):
    """Kelvin, from the header's unit or --celsius, recorded in the report."""
    unit = None if source.headerless else _temperature_unit(column)
    if unit == "K" and source.options.celsius:
        raise ReadError(f"{source.path}: --celsius contradicts the header {column!r}, which says kelvin (to show "
                        "the results in °C, use --display-unit C)")
    kelvin, words = _kelvin(source.path, column, values, unit, source.options.celsius, source.where)
    source.role(column, "temperature", words)
    source.reading.temperature_unit = "°C" if words.startswith("°C") else "K"
    return kelvin


def _concentrations(source: _Source, table, column):
    """The distinct concentrations of a column in mol/L, and for every row
    the index of its own (-1 where missing): from the header's unit, from
    units in the cells, or unitless (refused from 0.5 up, which is no
    assay's mol/L).  Factorising first keeps a long column cheap."""
    import pandas as pd

    path, where = source.path, source.where
    codes, uniques = pd.factorize(table[column], use_na_sentinel=True)
    unit = None if source.headerless else _header_unit(column)
    divisor = concentration_divisor(unit)
    if unit is not None and divisor is None and _bracketed_unit(column) is not None \
            and temperature_unit(unit) is None and not any(isinstance(u, str) for u in uniques):
        raise ReadError(f"{path}, column {column!r}: {unit!r} is not a concentration unit (give "
                        f"{UNIT_CHOICES})")
    values = np.empty(len(uniques))
    words = "mol/L (no unit)"
    for k, cell in enumerate(uniques):
        value = parse_concentration(cell) if isinstance(cell, str) else None
        given = value is not None or divisor is not None
        if value is not None:
            words = "from each cell's unit"
        if value is None:
            try:
                value = float(str(cell).strip().replace(",", ".")) / (divisor or 1.0)
            except ValueError:
                line = where([int(np.flatnonzero(codes == k)[0])])[0]
                raise ReadError(f"{path}, line {line}, column {column!r}: {_shown(cell)} is not a concentration "
                                f"(a number, with a unit such as {UNIT_CHOICES})") from None
        if not value > 0.0:
            line = where([int(np.flatnonzero(codes == k)[0])])[0]
            raise ReadError(f"{path}, line {line}, column {column!r}: total concentration must be positive, "
                            f"not {cell}")
        if not given and value >= PLAUSIBLE_MOLAR:
            line = where([int(np.flatnonzero(codes == k)[0])])[0]
            fix = "a column without a header holds mol/L: give the concentration with --c-tot instead" \
                if source.headerless else f"give the unit ({UNIT_CHOICES}) in the header, e.g. '{column} (uM)', " \
                "or use --c-tot"
            raise ReadError(f"{path}, line {line}, column {column!r}: concentration {cell} has no unit and is not "
                            f"plausible in mol/L; {fix}")
        values[k] = value
    if divisor is not None:
        words = f"{unit} (from the header)"
    source.role(column, "concentration", words)
    return codes, values


def _from_table(source: _Source, table) -> List[_Pending]:
    """Curves from a table whose columns are named by its header row (or
    "column N" without one)."""
    path, options = source.path, source.options
    headers = list(table.columns)
    if len(table) == 0:
        raise ReadError(f"{path} has a header but no data rows")
    t_col = _pick(source, headers, "temperature", options.temperature_column)
    c_col = _pick(source, headers, "concentration", options.concentration_column)
    s_col = _pick(source, headers, "signal", options.signal_column)
    k_col = _pick(source, headers, "curve", options.curve_column)
    f_col = _solvent_column(source, headers, options.solvent_column) \
        if options.vary in ("auto", "solvent") or options.solvent_column else None
    chosen = [c for c in (t_col, c_col, s_col, k_col, f_col) if c is not None]
    if len(set(chosen)) < len(chosen):
        twice = next(c for c in chosen if chosen.count(c) > 1)
        raise ReadError(f"{path}: column {twice!r} is chosen for two roles")
    if source.headerless:
        t_col, s_col, f_col, c_col = _headerless_roles(source, headers, t_col, s_col, f_col, c_col)
    if s_col is None and not any(parse_concentration(h) is not None for h in headers):
        # One more column beside what varies is the signal, whatever its
        # name ("fraction" included).
        left = [h for h in headers if h not in (t_col, c_col, k_col) and not _unnamed(source, h)]
        if options.vary != "solvent" and len(left) == 1 and (t_col is not None or c_col is not None):
            s_col, f_col = left[0], None
        elif f_col is not None and len(left) == 2:
            s_col = next(h for h in left if h != f_col)
    temperature = None if t_col is None else _temperatures(source, t_col, _numbers(path, table, t_col, source.where))
    vary = options.vary
    if vary == "auto":
        vary = _told_vary(table, t_col, c_col, s_col, f_col, temperature, headers)
    if k_col is not None:
        source.role(k_col, "curve")
    if vary == "solvent":
        source.reading.layout = "a solvent denaturation"
        return _solvent_table(source, table, t_col, c_col, s_col, k_col, f_col, temperature)
    if vary == "concentration":
        source.reading.layout = "a concentration series"
        return _series_table(source, table, t_col, c_col, s_col, k_col, temperature)
    if t_col is None:
        raise ReadError(f"{path}: no temperature column among {', '.join(map(repr, headers))} "
                        "(name it with --temperature-column; a concentration series or a denaturation "
                        "needs --vary concentration or --vary solvent)")

    wide = [h for h in headers if h not in (t_col, k_col) and _role_of(h) is None
            and parse_concentration(h) is not None]
    if c_col is None and s_col is None and wide:
        others = [h for h in headers if h not in wide and h != t_col]
        if others:
            raise ReadError(f"{path}: column {others[0]!r} carries no concentration; in the wide layout "
                            "every signal column is headed by one, e.g. '5 uM'")
        source.reading.layout = "a wide table, one signal column per concentration"
        curves, dropped = [], []
        for h in wide:
            signal = _numbers(path, table, h, source.where)
            keep = np.isfinite(temperature) & ~np.isnan(signal)
            if not keep.all():
                dropped.append((h, int((~keep).sum())))
            source.role(h, "signal", of=f"the curve at {_label(parse_concentration(h))}")
            curves.append(_Pending(temperature[keep], signal[keep], parse_concentration(h), h, str(path)))
        _note_dropped(path, dropped, source.notes)
        return curves

    if s_col is None:
        raise ReadError(f"{path}: no signal column among {', '.join(map(repr, headers))} "
                        "(name it with --signal-column, by its header or its position)")
    signal = _numbers(path, table, s_col, source.where)
    source.role(s_col, "signal", _signal_unit(source, s_col))
    n = len(table)
    c_codes = c_values = None
    if c_col is not None:
        c_codes, c_values = _concentrations(source, table, c_col)
    source.reading.layout = "a long table, one row per point" if (c_col or k_col) else "one curve"
    codes, labels = _curve_codes(source, table, k_col, c_codes, None if c_values is None else
                                 list(map(_label, c_values)), c_col)
    del table  # the columns needed are out; a long table is released here
    missing = np.isnan(temperature) | np.isnan(signal)
    if c_codes is not None and c_codes is not codes:
        missing |= c_codes < 0
    curves = []
    for label, rows in _groups(path, codes, labels, missing, source.notes):
        c_tot = None if c_codes is None else _one_concentration(path, label, c_codes, c_values, rows, source.where)
        if rows.size == n:
            t, y = temperature, signal
        else:
            t, y = temperature[rows], signal[rows]
        curves.append(_Pending(t, y, c_tot, label, str(path), s_col))
    return curves


def _unnamed(source, header):
    """A column the header leaves blank (a spreadsheet's index, say), in a
    file that has a header."""
    return not source.headerless and header == f"column {source.positions.get(header)}"


def _signal_unit(source, column):
    unit = None if source.headerless else _header_unit(column)
    return unit if unit and unit.lower() != column.lower() else ""


def _headerless_roles(source, headers, t_col, s_col, f_col, c_col):
    """A table without a header: two columns are what varies and the
    signal; more must be chosen by position."""
    vary = source.options.vary
    if not any((t_col, s_col, f_col, c_col)):
        if len(headers) != 2:
            raise ReadError(
                f"{source.path}: no header, and {len(headers)} columns of numbers: choose them by position, "
                "e.g. --temperature-column 1 --signal-column 2 (--celsius for °C, --c-tot 5uM for the "
                "concentration)")
        first, second = headers
        if vary == "concentration":
            return None, second, None, first
        if vary == "solvent":
            return None, second, first, None
        return first, second, None, None
    if s_col is None:
        left = [h for h in headers if h not in (t_col, f_col, c_col)]
        if len(left) != 1:
            raise ReadError(f"{source.path}: no header: choose the signal column by its position too, e.g. "
                            f"--signal-column {source.positions[left[0]]}")
        s_col = left[0]
    return t_col, s_col, f_col, c_col


def _solvent_column(source, headers, chosen):
    """The good-solvent fraction's column: chosen by name, or the first of
    f, solvent fraction, good solvent, fraction (a second one, "fraction
    aggregated" say, may be the signal)."""
    if chosen is not None:
        return _pick(source, headers, "solvent", chosen)
    if source.headerless:
        return None
    found = [h for h in headers if _role_of(h) == "solvent"]
    for word in ("f", "solvent", "good", "volume", "fraction"):
        for h in found:
            if _first_word(h) == word:
                return h
    return None


def _told_vary(table, t_col, c_col, s_col, f_col, temperature, headers):
    """What a table varies, from its content: a solvent-fraction column
    beside a signal (or concentration-headed columns) at one temperature is a
    denaturation; a concentration column with more distinct values than the
    temperature has (or with no temperature) is a concentration series."""
    steady = temperature is None or np.nanmax(temperature) - np.nanmin(temperature) <= _SERIES_SPREAD
    wide = any(parse_concentration(h) is not None and _role_of(h) is None for h in headers)
    if f_col is not None and (s_col is not None or wide) and steady:
        return "solvent"
    if c_col is not None and s_col is None and temperature is None and \
            any(header_temperature(h) is not None for h in headers):
        return "concentration"
    if c_col is not None and s_col is not None:
        if temperature is None:
            return "concentration"
        distinct_t = len(_temperature_groups(temperature)[1])
        distinct_c = table[c_col].nunique(dropna=True)
        if distinct_c > distinct_t:
            return "concentration"
    return "temperature"


# A series is measured at one temperature: readings within this many kelvin
# are one temperature (a thermostat's log wanders by a few tenths).
_SERIES_SPREAD = 1.0


def _curve_codes(source, table, k_col, by, by_labels, by_column, what="curve"):
    """The curve of every row (-1 where missing) and the curves' labels: by
    the curve column, else by the codes `by` (with their labels, from
    `by_column`), else one curve for all rows.  A column that would split
    the rows into more than MAX_CURVES_FROM_VALUES curves is not read so."""
    import pandas as pd

    if k_col is not None:
        codes, uniques = pd.factorize(table[k_col], use_na_sentinel=True)
        labels = [str(u) for u in uniques]
        by_column = k_col
    elif by is not None:
        codes, labels = by, by_labels
    else:
        return np.zeros(len(table), dtype=np.int8), [source.stem]
    plural = "series" if what == "series" else f"{what}s"
    if len(labels) > MAX_CURVES_FROM_VALUES:
        raise ReadError(
            f"{source.path}: one {what} per value of column {by_column!r} would make {len(labels)} {plural} "
            f"(more than {MAX_CURVES_FROM_VALUES}); that column does not tell {plural} apart: choose the columns "
            "with --temperature-column, --signal-column, --concentration-column and --curve-column, or --vary")
    return codes, labels


def _groups(path, codes, labels, missing, notes):
    """(label, rows) of each curve, by a mask (no sorted copies of the
    columns); rows `missing` a value, or without a curve, are dropped with
    a note."""
    if missing.any() or (codes < 0).any():
        lost = codes[missing | (codes < 0)]
        _note_dropped(path, list(Counter("?" if k < 0 else labels[k] for k in lost.tolist()).items()), notes)
        codes = np.where(missing, -1, codes)
    if not (codes >= 0).any():
        raise ReadError(f"{path}: every data row has a missing value")
    for k, label in enumerate(labels):
        rows = np.flatnonzero(codes == k)
        if rows.size:
            yield label, rows


def _one_concentration(path, label, c_codes, c_values, rows, where):
    """The concentration of a curve's rows (mol/L): one, or the error."""
    own = c_codes[rows]
    differ = np.flatnonzero(own != own[0])
    if differ.size:
        line = where([rows[int(differ[0])]])[0]
        other = c_values[own[differ[0]]] if own[differ[0]] >= 0 else math.nan
        raise ReadError(f"{path}, line {line}: curve {label!r} has two concentrations, "
                        f"{c_values[own[0]]:g} and {other:g} mol/L")
    return float(c_values[own[0]])


def _temperature_groups(temperature):
    """Readings that lie within _SERIES_SPREAD of the lowest of their group
    are one temperature: (group of each row, -1 where missing; the groups'
    lowest readings).  Grouped on the distinct readings to 0.01 K, so that
    a long temperature scan costs little."""
    finite = np.isfinite(temperature)
    rounded = np.round(np.where(finite, temperature, 0.0), 2)
    distinct = np.unique(rounded[finite])
    starts, group = [], np.empty(distinct.size, dtype=np.int64)
    for j, value in enumerate(distinct.tolist()):
        if not starts or value - starts[-1] > _SERIES_SPREAD:
            starts.append(value)
        group[j] = len(starts) - 1
    codes = np.where(finite, group[np.searchsorted(distinct, rounded)] if distinct.size else -1, -1)
    return codes, starts


def _one_temperature(path, label, temperature, rows, where):
    """The temperature of a series (the mean of its readings), or None."""
    if temperature is None:
        return None
    own = temperature[rows]
    if np.ptp(own) > _SERIES_SPREAD:
        line = where([rows[int(np.argmax(np.abs(own - own[0])))]])[0]
        raise ReadError(f"{path}, line {line}: series {label!r} spans temperatures {own.min():g} to "
                        f"{own.max():g} K; a series is measured at one temperature (give a curve column "
                        "to tell series apart)")
    return float(np.mean(own))


def _kelvin_label(kelvin, unit):
    return f"{kelvin - KELVIN_OFFSET:.4g} °C" if unit == "°C" else f"{kelvin:.5g} K"


def _series_table(source: _Source, table, t_col, c_col, s_col, k_col, temperature):
    """Concentration series: one curve per value of the curve column, else
    per temperature (readings within a kelvin), else one."""
    path, where, notes = source.path, source.where, source.notes
    headers = list(table.columns)
    if c_col is None:
        raise ReadError(f"{path}: no concentration column among {', '.join(map(repr, headers))} for a "
                        "concentration series (name it with --concentration-column)")
    wide = [h for h in headers if h not in (c_col, k_col) and header_temperature(h) is not None]
    if s_col is None and t_col is None and wide:
        # One series per column, headed by its temperature ("25 °C").
        source.reading.layout = "a concentration series, one signal column per temperature"
        c_codes, c_values = _concentrations(source, table, c_col)
        concentration = np.where(c_codes >= 0, c_values[np.maximum(c_codes, 0)], math.nan)
        curves = []
        for h in wide:
            signal = _numbers(path, table, h, where)
            source.role(h, "signal", of=f"the series at {_kelvin_label(header_temperature(h), 'K')}")
            codes, labels = np.zeros(len(table), dtype=np.int8), [h]
            for label, rows in _groups(path, codes, labels, np.isnan(concentration) | np.isnan(signal), notes):
                curves.append(_Pending(header_temperature(h), signal[rows], concentration[rows], label, str(path),
                                       None, "concentration"))
        return curves
    if s_col is None:
        raise ReadError(f"{path}: no signal column among {', '.join(map(repr, headers))} "
                        "(name it with --signal-column)")
    signal = _numbers(path, table, s_col, where)
    source.role(s_col, "signal", _signal_unit(source, s_col))
    c_codes, c_values = _concentrations(source, table, c_col)
    concentration = np.where(c_codes >= 0, c_values[np.maximum(c_codes, 0)], math.nan)
    by = labels = None
    unit = source.reading.temperature_unit
    if temperature is not None and k_col is None:
        by, centres = _temperature_groups(temperature)
        labels = [_kelvin_label(t, unit) for t in centres]
    missing = np.isnan(signal) | np.isnan(concentration)
    if temperature is not None:
        missing |= np.isnan(temperature)
    codes, labels = _curve_codes(source, table, k_col, by, labels, t_col, what="series")
    curves = []
    for label, rows in _groups(path, codes, labels, missing, notes):
        t = _one_temperature(path, label, temperature, rows, where)
        if k_col is None and t is not None:
            label = _kelvin_label(t, unit)
        curves.append(_Pending(t, signal[rows], concentration[rows], label, str(path), s_col, "concentration"))
    if len(curves) > 1 and all(np.unique(p.c_tot).size < 4 for p in curves):
        raise ReadError(f"{path}: read as concentration series, its {len(curves)} series hold 3 concentrations "
                        "or fewer each; it looks like curves against temperature (leave out --vary)")
    return curves


def _solvent_fractions(source, table, f_col):
    path = source.path
    values = _numbers(path, table, f_col, source.where)
    unit = None if source.headerless else _header_unit(f_col)
    percent = unit is not None and "%" in unit
    if percent:
        values = values / 100.0
    bad = np.flatnonzero((values < 0.0) | (values > 1.0))
    if bad.size:
        line = source.where([bad[0]])[0]
        hint = "" if percent else " (percentages need % in the header, e.g. 'f (%)')"
        raise ReadError(f"{path}, line {line}, column {f_col!r}: {values[bad[0]]:g} is not a fraction between 0 "
                        f"and 1{hint}")
    source.role(f_col, "solvent", "% of good solvent" if percent else "fraction of good solvent")
    return values


def _solvent_table(source: _Source, table, t_col, c_col, s_col, k_col, f_col, temperature):
    """Denaturations: the signal against the good-solvent fraction, one curve
    per value of the curve column or of the concentration column, or one per
    column headed by its concentration ("5 uM")."""
    path, where, notes = source.path, source.where, source.notes
    headers = list(table.columns)
    if f_col is None:
        raise ReadError(f"{path}: no solvent-fraction column among {', '.join(map(repr, headers))} (name it f, "
                        "fraction, good solvent or solvent fraction, or choose it with --solvent-column)")
    solvent = _solvent_fractions(source, table, f_col)
    wide = [h for h in headers if h not in (t_col, k_col, f_col) and _role_of(h) is None
            and parse_concentration(h) is not None]
    if s_col is None and c_col is None and wide:
        source.reading.layout = "a solvent denaturation, one signal column per concentration"
        curves = []
        for h in wide:
            signal = _numbers(path, table, h, where)
            source.role(h, "signal", of=f"the curve at {_label(parse_concentration(h))}")
            codes, labels = np.zeros(len(table), dtype=np.int8), [h]
            for label, rows in _groups(path, codes, labels, np.isnan(solvent) | np.isnan(signal), notes):
                t = _one_temperature(path, label, temperature, rows, where)
                curves.append(_Pending(t, signal[rows], parse_concentration(h), h, str(path), None, "solvent",
                                       solvent[rows]))
        return curves
    if s_col is None:
        raise ReadError(f"{path}: no signal column among {', '.join(map(repr, headers))} "
                        "(name it with --signal-column)")
    signal = _numbers(path, table, s_col, where)
    source.role(s_col, "signal", _signal_unit(source, s_col))
    c_codes = c_values = None
    missing = np.isnan(solvent) | np.isnan(signal)
    if temperature is not None:
        missing |= np.isnan(temperature)
    if c_col is not None:
        c_codes, c_values = _concentrations(source, table, c_col)
        missing |= c_codes < 0
    codes, labels = _curve_codes(source, table, k_col, c_codes,
                                 None if c_values is None else list(map(_label, c_values)), c_col)
    curves = []
    for label, rows in _groups(path, codes, labels, missing, notes):
        t = _one_temperature(path, label, temperature, rows, where)
        c_tot = None if c_codes is None else _one_concentration(path, label, c_codes, c_values, rows, where)
        curves.append(_Pending(t, signal[rows], c_tot, label, str(path), s_col, "solvent", solvent[rows]))
    return curves


def _label(c_tot):
    """A concentration as a label, in the unit that reads best."""
    for factor, unit in ((1.0, "M"), (1e-3, "mM"), (1e-6, "µM"), (1e-9, "nM")):
        if c_tot >= factor:
            return f"{c_tot / factor:.4g} {unit}"
    return f"{c_tot:g} M"


def _note_dropped(path, dropped, notes):
    if dropped:
        total = sum(n for _, n in dropped)
        where = ", ".join(f"{n} from {name}" for name, n in dropped)
        notes.append(f"{path}: dropped {total} row(s) with missing values ({where})")


# --- instrument exports -------------------------------------------------------------


def _read_text(path: _DataFile, encoding):
    try:
        with path.open() as handle:
            return handle.read().decode(encoding, errors="replace")
    except OSError as error:
        raise ReadError(f"cannot read {path}: {error.strerror}") from None


def _read_jasco(path, encoding, options, notes, reading) -> List[_Pending]:
    """A JASCO temperature scan: KEY<TAB>VALUE lines, XYDATA, rows of x and
    y values, and an extended section that may state the concentration."""
    import pandas as pd

    lines = _read_text(path, encoding).splitlines()
    keys = {}
    start = None
    for i, line in enumerate(lines):
        if line.strip() == "XYDATA":
            start = i + 1
            break
        key, _, value = line.partition("\t")
        keys[key.strip().upper()] = value.strip()
    if start is None:
        raise ReadError(f"{path}: no XYDATA line")
    end = start
    while end < len(lines) and lines[end].strip() and not lines[end].startswith("#"):
        end += 1
    if end == start:
        raise ReadError(f"{path}, line {start + 1}: no data after XYDATA")
    x_units = keys.get("XUNITS", "")
    x_unit = re.sub(r"\s+", "", x_units.lower())
    if "temperature" not in x_unit:
        raise ReadError(f"{path}: XUNITS is {x_units!r}, not a temperature: this is not a temperature scan")
    bracket = _bracketed_unit(x_units)
    unit = temperature_unit(bracket) if bracket else None
    if unit is None and "°c" in x_unit:
        unit = "C"
    if unit == "K" and options.celsius:
        raise ReadError(f"{path}: --celsius contradicts XUNITS {x_units!r}, which says kelvin")
    y_names = [keys[k] for k in ("YUNITS", "Y2UNITS", "Y3UNITS") if keys.get(k)]
    data = lines[start:end]
    decimal = options.decimal or ("," if any(re.search(r"\d,\d", line) for line in data[:20]) else ".")
    try:
        table = pd.read_csv(_io.StringIO("\n".join(data)), sep="\t", header=None, decimal=decimal,
                            skipinitialspace=True, na_values=NA_VALUES)
    except (ValueError, pd.errors.ParserError) as error:
        raise ReadError(f"{path}: the rows after XYDATA cannot be read: {str(error).splitlines()[0]}") from None
    column = 1
    if options.signal_column is not None:
        chosen = options.signal_column.strip()
        if chosen.isdigit() and 2 <= int(chosen) <= table.shape[1]:
            column = int(chosen) - 1
        else:
            matches = [j for j, name in enumerate(y_names) if _matches(name, chosen)]
            if not matches:
                raise ReadError(f"{path}: no Y column named {options.signal_column!r} (the Y columns are "
                                f"{', '.join(map(repr, y_names))}, or columns 2 to {table.shape[1]} by position)")
            column = matches[0] + 1
    if column >= table.shape[1]:
        raise ReadError(f"{path}: the data rows have no column {column + 1}")

    def where(positions):
        return [start + 1 + int(p) for p in positions]

    x = _numbers(path, table, 0, where)
    y = _numbers(path, table, column, where)
    temperature, words = _kelvin(path, "XUNITS " + x_units, x, unit, options.celsius, where)
    keep = ~np.isnan(temperature) & ~np.isnan(y)
    _note_dropped(path, [] if keep.all() else [(y_names[column - 1] if column - 1 < len(y_names) else
                                                f"column {column + 1}", int((~keep).sum()))], notes)
    c_tot = _jasco_concentration(path, lines, end)
    label = keys.get("TITLE") or path.stem
    reading.layout, reading.details = "a JASCO temperature scan", f"data from line {start + 1}"
    reading.temperature_unit = "°C" if words.startswith("°C") else "K"
    reading.columns = [ColumnReading(1, x_units or "X", "temperature", words)]
    for j in range(1, table.shape[1]):
        name = y_names[j - 1] if j - 1 < len(y_names) else f"column {j + 1}"
        reading.columns.append(ColumnReading(j + 1, name, "signal" if j == column else "unused"))
    return [_Pending(temperature[keep], y[keep], c_tot, label, str(path),
                     y_names[column - 1] if column - 1 < len(y_names) else None)]


def _jasco_concentration(path, lines, end):
    """The concentration of a JASCO extended section (`Concentration<TAB>10
    uM`), in mol/L; a bare number counts only below 0.5 (mol/L)."""
    for number, line in enumerate(lines[end:], start=end + 1):
        key, _, value = line.partition("\t")
        if key.strip().lower() != "concentration" or not value.strip():
            continue
        text = value.strip()
        c_tot = parse_concentration(text)
        if c_tot is not None:
            return c_tot
        words = text.split()
        try:
            c_tot = float(words[0].replace(",", "."))
        except ValueError:
            return None
        if len(words) > 1 or not 0.0 < c_tot < PLAUSIBLE_MOLAR:
            raise ReadError(f"{path}, line {number}: the concentration {text!r} has no unit this reader knows "
                            f"({UNIT_CHOICES}); give it with --c-tot, e.g. --c-tot 10uM")
        return c_tot
    return None


def _is_cary(lines) -> bool:
    rows = [line for line in lines if line.strip()][:2]
    if len(rows) < 2:
        return False
    first, second = rows[0].split(","), rows[1].split(",")
    if len(second) < 2 or _role_of(second[0]) != "temperature":
        return False
    pairs = [second[j] for j in range(0, len(second) - 1, 2) if second[j].strip()]
    return all(_role_of(h) == "temperature" for h in pairs) and (len(first) < 2 or not first[1].strip())


def _read_cary(path, encoding, options, notes, reading) -> List[_Pending]:
    """An Agilent Cary thermal export: sample names in row 1, each followed
    by an empty cell; `Temperature (°C),Abs` pairs in row 2; data to the
    first blank line, heating and cooling stages appended in the same columns."""
    import pandas as pd

    lines = _read_text(path, encoding).splitlines()
    start = next(i for i, line in enumerate(lines) if line.strip())
    names = [n.strip() for n in lines[start].split(",")]
    headers = [h.strip() for h in lines[start + 1].split(",")]
    end = start + 2
    while end < len(lines) and lines[end].strip():
        end += 1
    if end == start + 2:
        raise ReadError(f"{path}: a Cary export with no data rows")
    decimal = options.decimal or "."
    try:
        table = pd.read_csv(_io.StringIO("\n".join(lines[start + 2:end])), sep=",", header=None,
                            decimal=decimal, na_values=NA_VALUES, skipinitialspace=True)
    except (ValueError, pd.errors.ParserError) as error:
        raise ReadError(f"{path}: the data rows from line {start + 3} cannot be read: "
                        f"{str(error).splitlines()[0]}") from None

    def where(positions):
        return [start + 3 + int(p) for p in positions]

    reading.layout, reading.details = "a Cary thermal export", f"samples on line {start + 1}"
    reading.columns = [ColumnReading(j + 1, h or f"column {j + 1}", "unused") for j, h in enumerate(headers)]
    curves, short = [], []
    for j in range(0, len(headers) - 1, 2):
        if not headers[j] or j + 1 >= table.shape[1]:
            continue
        name = names[j] if j < len(names) and names[j] else f"sample {j // 2 + 1}"
        unit = _temperature_unit(headers[j]) or ("C" if "°" in headers[j] else None)
        if unit == "K" and options.celsius:
            raise ReadError(f"{path}: --celsius contradicts the header {headers[j]!r}, which says kelvin")
        t = _numbers(path, table, j, where)
        y = _numbers(path, table, j + 1, where)
        keep = ~np.isnan(t) & ~np.isnan(y)
        t, y = t[keep], y[keep]
        t, words = _kelvin(path, headers[j], t, unit, options.celsius, lambda p: where(np.flatnonzero(keep)[p]))
        reading.temperature_unit = "°C" if words.startswith("°C") else "K"
        reading.columns[j] = ColumnReading(j + 1, headers[j], "temperature", words, name)
        reading.columns[j + 1] = ColumnReading(j + 2, headers[j + 1] or f"column {j + 2}", "signal", "", name)
        c_tot = parse_concentration(name)
        for stage, part in _stages(t):
            if options.segment != "all" and stage != options.segment:
                continue
            if part.stop - part.start < MIN_POINTS:
                short.append(f"{name} ({stage}, {part.stop - part.start} points)")
                continue
            curves.append(_Pending(t[part], y[part], c_tot, f"{name} ({stage})", str(path),
                                   headers[j + 1] or None))
    if short:
        notes.append(f"{path}: left out {len(short)} stage(s) of fewer than {MIN_POINTS} points where the "
                     f"temperature turns: {', '.join(short)}")
    if not curves:
        raise ReadError(f"{path}: no {options.segment} stage of {MIN_POINTS} points or more in any sample")
    return curves


def _stages(t):
    """Runs where the temperature moves one way: ("cooling" | "heating", slice).
    A stage ends at the last point its own direction reached; the next one
    starts right after it (so a turning point recorded twice goes once to each)."""
    step = np.sign(np.diff(t))
    out = []
    begin, direction, end = 0, 0.0, len(t)
    for i, s in enumerate(step):
        if s == 0:
            continue
        if direction == 0:
            direction = s
        elif s != direction:
            out.append((begin, end, direction))
            begin, direction = end, s
        end = i + 2  # this step reaches point i + 1
    out.append((begin, len(t), direction))
    return [("cooling" if d < 0 else "heating", slice(a, b)) for a, b, d in out if b - a >= 2]


# --- Excel ----------------------------------------------------------------------------


def _sheet_rows(sheet) -> List[Tuple[int, list]]:
    """(1-based row number, cells) of the rows that hold something, trailing
    empty cells cut: the cost follows the cells that exist, not the range a
    sheet claims."""
    if hasattr(sheet, "reset_dimensions"):
        sheet.reset_dimensions()
    rows = []
    for number, row in enumerate(sheet.iter_rows(values_only=True), start=1):
        cells = list(row)
        while cells and _blank(cells[-1]):
            cells.pop()
        if cells:
            rows.append((number, cells))
    return rows


def _read_excel(path, options, notes, reading) -> List[_Pending]:
    try:
        import openpyxl
    except ImportError:
        raise ReadError("reading Excel files needs openpyxl: python -m pip install 'kelvara[fit]'") from None
    with path.open() as handle:  # a stream: openpyxl judges a path by its extension, not its content
        return _read_workbook(path, handle, openpyxl, options, notes, reading)


def _read_workbook(path, handle, openpyxl, options, notes, reading) -> List[_Pending]:
    import pandas as pd

    try:
        book = openpyxl.load_workbook(handle, read_only=True, data_only=True)
    except Exception as error:  # openpyxl raises its own types for damaged files
        raise ReadError(f"{path}: cannot be read as an Excel workbook ({type(error).__name__})") from None
    try:
        names = list(book.sheetnames)
        listed = ", ".join(map(repr, names))
        if options.sheet is not None:
            wanted = str(options.sheet).strip()
            chosen = [n for n in names if n.strip().lower() == wanted.lower()]
            if not chosen and wanted.isdigit() and 1 <= int(wanted) <= len(names):
                chosen = [names[int(wanted) - 1]]
            if not chosen:
                raise ReadError(f"{path}: no sheet {options.sheet!r}; its sheets are {listed}")
        else:
            chosen = names
        found = None
        for name in chosen:
            try:
                rows = _sheet_rows(book[name])
            except Exception as error:
                raise ReadError(f"{path}: sheet {name!r} cannot be read ({type(error).__name__})") from None
            located = _locate([cells for _, cells in rows], ".")
            if located is not None:
                found = name, rows, located
                break
    finally:
        book.close()
    if found is None:
        if options.sheet is not None:
            raise ReadError(f"{path}: sheet {chosen[0]!r} holds no table (a header row followed by rows of numbers); "
                            f"the sheets are {listed}")
        raise ReadError(f"{path}: no sheet holds a table (a header row followed by rows of numbers); the sheets "
                        f"are {listed}")
    name, rows, located = found
    shown = f"{path} (sheet {name!r})"
    if located.bare_header is not None:
        raise _bare_header_error(shown, rows[located.first - 1][0], located.bare_header)
    headerless = located.header is None
    body = rows[located.first:]
    if headerless:
        width = max(len(cells) for _, cells in body[:3])
        headers = [f"column {j + 1}" for j in range(width)]
    else:
        header = rows[located.header][1]
        width = len(header)
        headers = [f"column {j + 1}" if _blank(h) else str(h).strip() for j, h in enumerate(header)]
    data = [cells[:width] + [None] * (width - len(cells)) for _, cells in body]
    table = pd.DataFrame(data, columns=range(width), dtype=object)
    table = table.apply(lambda column: column.map(lambda v: math.nan if v is None or (isinstance(v, str) and
                                                                                      v.strip() in NA_VALUES) else v))
    table.columns = headers
    numbers = [number for number, _ in body]

    def where(positions):
        return [numbers[int(p)] for p in positions]

    note = "" if options.sheet is not None or name == names[0] else \
        f" (the first holding a table; the sheets are {listed})"
    details = f"sheet {name!r}{note}, " + ("no header, data from row " f"{numbers[0]}" if headerless else
                                           f"header in row {rows[located.header][0]}")
    table, source = _source(shown, table, options, notes, where, path.stem, reading, details, headerless)
    return _from_table(source, table)
