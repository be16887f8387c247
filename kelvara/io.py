"""Reading measured curves from the files labs write, with their units.

    >>> from kelvara.io import read_curves
    >>> curves = read_curves(["cd_5uM.txt", "cd_10uM.txt"])          # JASCO exports
    >>> curves = read_curves("melts.csv", c_tot=["5 uM", "10 uM"])    # Cary export

Layouts, told apart by their content (not by the file name):

- long: one row per point, with temperature, signal and concentration
  columns and an optional ``curve`` column;
- wide: a temperature column and one signal column per curve, each headed by
  its concentration with a unit (``5 uM``, ``c = 1e-5 M``, ``10µM``);
- a temperature and a signal column only: one curve, its concentration given
  with ``c_tot``;
- JASCO CD temperature scans (``XYDATA``), one curve per file;
- Agilent Cary UV-vis thermal exports, one or more samples, each split where
  the temperature turns into its cooling and heating stages;
- Excel ``.xlsx`` workbooks (the first sheet, or ``sheet``), long or wide.

Text may be separated by commas, semicolons or tabs, use decimal commas, be
UTF-8 (with or without a byte-order mark), UTF-16 with a BOM or cp1252, and
carry metadata lines before its header and ``#`` comments.  Empty, NA, NaN
and #N/A cells drop their row, with a note.  Temperatures come out in kelvin
and concentrations in mol/L: units are read from headers and cells (K, °C,
C, degC; M, mol/L, mM, uM, µM, nM), and numbers without a unit that cannot
be kelvin or mol/L are refused.  Every problem is a `ReadError` (a
ValueError) of one sentence naming the file, its 1-based line and column.

Needs pandas (the ``fit`` extra).
"""

from __future__ import annotations

import io as _io
import math
import pathlib
import re
from collections import Counter
from dataclasses import dataclass
from typing import Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np

from kelvara.fit import Curve

__all__ = ["ReadError", "read_curves", "parse_concentration"]

# Column roles, found by the first word of a header (case-insensitive).
ROLES = {
    "temperature": {"temperature", "temp", "t"},
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
KELVIN_FLOOR = 150.0  # K: below this a unitless temperature is taken for Celsius by mistake
PLAUSIBLE_MOLAR = 0.5  # mol/L: a unitless concentration this high is not in mol/L
UNIT_CHOICES = "M, mol/L, mM, uM (µM) or nM"

# Divisors to mol/L (5 / 1e6 is the double nearest 5e-6; 5 * 1e-6 is not).
_CONCENTRATION_UNITS = {
    "m": 1.0, "mol/l": 1.0, "mol l-1": 1.0, "mol·l-1": 1.0, "mol/dm3": 1.0,
    "mm": 1e3, "mmol/l": 1e3, "um": 1e6, "µm": 1e6, "μm": 1e6, "umol/l": 1e6, "µmol/l": 1e6,
    "nm": 1e9, "nmol/l": 1e9,
}
# The prefix decides the factor, so "mM" and "MM" must not meet: matched on the text as written.
_CONCENTRATION_PATTERN = re.compile(
    r"([-+]?(?:\d+(?:[.,]\d*)?|[.,]\d+)(?:[eE][-+]?\d+)?)\s*"
    r"(mol\s*/\s*[lL]|mol\s*[lL]-1|mol/dm3|[mMuµμn]mol/[lL]|mM|uM|µM|μM|nM|M)(?![A-Za-z])"
)
_TEMPERATURE_UNITS = {"k": "K", "kelvin": "K", "°c": "C", "ºc": "C", "c": "C", "degc": "C", "deg c": "C",
                      "oc": "C", "celsius": "C", "° c": "C"}


class ReadError(ValueError):
    """A file that cannot be read as curves: one sentence naming the file,
    the line and the column."""


def parse_concentration(text) -> Optional[float]:
    """A concentration with its unit, in mol/L ("5 uM", "c = 1e-5 M",
    "10µM", "3.3e-005 mol/L", "0,5 mM"); None when the text holds none."""
    match = _CONCENTRATION_PATTERN.search(str(text))
    if not match:
        return None
    number, unit = match.groups()
    unit_key = re.sub(r"\s+", " ", unit.replace("·", " ")).lower().replace(" /", "/").replace("/ ", "/")
    divisor = 1e3 if unit == "mM" else 1.0 if unit == "M" else _CONCENTRATION_UNITS.get(unit_key)
    if divisor is None:
        return None
    return float(number.replace(",", ".")) / divisor


def concentration_argument(text: str) -> Tuple[float, bool]:
    """A value given on the command line: a number (mol/L) or a number with a
    unit; returns (mol/L, whether a unit was given)."""
    value = parse_concentration(text)
    if value is not None:
        return value, True
    try:
        return float(text), False
    except ValueError:
        raise ReadError(f"--c-tot takes a concentration such as 5e-6 or 5uM, not {text!r}") from None


def _header_unit(header: str) -> Optional[str]:
    """The unit a header states: inside brackets ("T (°C)", "CD [mdeg]"),
    after a slash ("T / K") or after an underscore ("temperature_K")."""
    text = header.strip()
    found = re.findall(r"[\(\[]\s*([^\)\]]*?)\s*[\)\]]", text)
    if found:
        return found[-1]
    if "/" in text:
        return text.split("/", 1)[1].strip()
    if "_" in text:
        return text.rsplit("_", 1)[1].strip()
    parts = text.split()
    return parts[-1] if len(parts) > 1 else None


def _temperature_unit(header: str) -> Optional[str]:
    unit = _header_unit(header)
    return None if unit is None else _TEMPERATURE_UNITS.get(unit.strip().lower())


def _concentration_divisor(header: str) -> Optional[float]:
    """What divides a concentration column's values to give mol/L, by its
    header's unit."""
    unit = _header_unit(header)
    if unit is None:
        return None
    key = re.sub(r"\s+", " ", unit).lower()
    if unit == "mM":
        return 1e3
    if unit == "M":
        return 1.0
    return _CONCENTRATION_UNITS.get(key)


_HEADER_TEMPERATURE = re.compile(r"^\s*(?:t\s*=\s*)?([-+]?\d+(?:[.,]\d+)?)\s*(°\s*c|ºc|degc|c|k)\s*$", re.IGNORECASE)


def header_temperature(header) -> Optional[float]:
    """The temperature a column is headed by, in kelvin ("25 °C", "T = 298.15
    K"): a concentration series of the wide layout; None otherwise."""
    match = _HEADER_TEMPERATURE.match(str(header))
    if not match:
        return None
    value = float(match.group(1).replace(",", "."))
    return value if match.group(2).lower() == "k" else value + 273.15


def _role_of(header):
    if parse_concentration(header) is not None or header_temperature(header) is not None:
        return None  # a value with its unit ("c = 1e-5 M", "25 °C") heads a curve of the wide layout
    word = _first_word(header)
    if word == "c" and re.match(r"\s*c_?tot", str(header).strip().lower()):
        return "concentration"
    for role, words in ROLES.items():
        if word in words:
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


def _sample(path: pathlib.Path, size=1 << 18) -> Tuple[bytes, str, List[str]]:
    try:
        with open(path, "rb") as handle:
            head = handle.read(size)
    except FileNotFoundError:
        raise ReadError(f"no such file: {path}") from None
    except OSError as error:
        raise ReadError(f"cannot read {path}: {error.strerror}") from None
    encoding = _encoding(head)
    text = head.decode(encoding, errors="replace")
    lines = text.splitlines()
    if len(head) == size and lines:
        lines = lines[:-1]  # the last line may be cut off
    return head, encoding, lines


_NUMBER = re.compile(r"^\s*[-+]?(?:\d+(?:[.,]\d*)?|[.,]\d+)(?:[eE][-+]?\d+)?\s*$")


def _numeric(cell, decimal):
    cell = cell.strip()
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


def _header_index(lines, sep, decimal) -> Optional[int]:
    """The line (0-based) that heads the data: the last line with as many
    cells before the first three rows of numbers."""
    def numeric_row(line):
        cells = [c for c in line.rstrip().rstrip(sep).split(sep)]
        numbers = sum(_numeric(c, decimal) for c in cells if c.strip())
        return len(cells) >= 2 and numbers >= 2 and numbers >= 0.5 * len(cells)

    rows = [(i, line) for i, line in enumerate(lines) if line.strip() and not _is_comment(line)]
    for k in range(len(rows)):
        if all(numeric_row(line) for _, line in rows[k:k + 3]) and k + 1 <= len(rows):
            width = len(rows[k][1].rstrip().rstrip(sep).split(sep))
            for i, line in reversed(rows[:k]):
                cells = line.rstrip().rstrip(sep).split(sep)
                if len(cells) >= min(width, 2) and not numeric_row(line):
                    return i
            return None
    return None


def _line_numbers(path, encoding, header_line, positions, comment):
    """1-based file lines of the given data rows (0-based, in the order the
    table holds them: blank and comment lines are not rows)."""
    wanted = {int(p): None for p in positions}
    last = max(wanted) if wanted else -1
    row = -1
    with open(path, encoding=encoding, errors="replace", newline=None) as handle:
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
    to force decimal commas.  sheet: the Excel sheet (default the first).
    segment: "cooling", "heating" or "all" stages of a Cary export.  notes:
    a list that receives one sentence per thing worth knowing (rows dropped
    for missing values).

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
    notes = notes if notes is not None else []
    pending: List[_Pending] = []
    for path in paths:
        read = _read_file(path, options, notes)
        if vary not in ("auto", "temperature") and any(p.vary != vary for p in read):
            raise ReadError(f"{path} holds curves against temperature (an instrument's temperature scan), "
                            f"not a {vary} series")
        pending += read
    _assign_concentrations(pending, c_tot or [])
    _assign_temperature(pending, fixed_temperature, temperature)
    curves = []
    for p in pending:
        try:
            curves.append(Curve(p.temperature, p.signal, p.c_tot, label=p.label, signal_name=p.signal_name,
                                solvent=p.solvent, vary=p.vary, source=p.path))
        except ValueError as error:
            raise ReadError(f"{p.path}: {error}") from None
    return curves


_TEMPERATURE_ARGUMENT = re.compile(r"^\s*([-+]?(?:\d+(?:[.,]\d*)?|[.,]\d+)(?:[eE][-+]?\d+)?)\s*(.*?)\s*$")


def temperature_argument(value, celsius=False) -> float:
    """A temperature given by hand, in kelvin: a number (kelvin, or Celsius
    with `celsius`) or a number with its unit ("20C", "20 °C", "293.15 K")."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        number, unit = float(value), ""
    else:
        match = _TEMPERATURE_ARGUMENT.match(str(value))
        unit = match.group(2) if match else None
        if match is None or (unit and unit.lower() not in _TEMPERATURE_UNITS):
            raise ReadError(f"--temperature takes a temperature such as 293.15 or 20C, not {value!r}")
        number = float(match.group(1).replace(",", "."))
    scale = _TEMPERATURE_UNITS.get(unit.lower()) if unit else ("C" if celsius else "K")
    kelvin = number + 273.15 if scale == "C" else number
    if not math.isfinite(kelvin) or kelvin <= 0.0:
        raise ReadError(f"--temperature {value}: not a temperature above absolute zero")
    if not unit and not celsius and kelvin < KELVIN_FLOOR:
        raise ReadError(f"--temperature {value}: {kelvin:g} K is implausibly cold; if it is in degrees Celsius "
                        "give the unit, e.g. --temperature 20C")
    return kelvin


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
    values = [v if isinstance(v, (int, float)) and not isinstance(v, bool) else concentration_argument(str(v))[0]
              for v in given]
    for v, text in zip(values, given):
        if not (math.isfinite(v) and v > 0):
            raise ReadError(f"--c-tot must be positive, not {text!r}")
        if not isinstance(text, str) or parse_concentration(text) is None:
            if v >= PLAUSIBLE_MOLAR:
                raise ReadError(f"--c-tot {text}: {v:g} mol/L is not a plausible concentration; give its unit "
                                f"({UNIT_CHOICES}), e.g. --c-tot 5uM")
    missing = [p for p in pending if p.c_tot is None]
    if not values:
        for p in missing:
            p.c_tot = p.stated
        missing = [p for p in missing if p.c_tot is None]
    if not missing:
        if values:
            raise ReadError("--c-tot was given, but every curve has its concentration from its file")
        return
    files = list(dict.fromkeys(p.path for p in missing))
    if len(values) == len(missing):
        for p, v in zip(missing, values):
            p.c_tot = v
    elif len(values) == len(files):
        by_file = dict(zip(files, values))
        for p in missing:
            p.c_tot = by_file[p.path]
    elif not values:
        names = ", ".join(f"{p.label}" for p in missing[:4]) + (" ..." if len(missing) > 4 else "")
        raise ReadError(f"{missing[0].path}: no concentration for {len(missing)} curve(s) ({names}); "
                        f"give --c-tot VALUE with a unit (e.g. --c-tot 5uM) once per curve or per file")
    else:
        raise ReadError(f"--c-tot given {len(values)} times, but {len(missing)} curves in {len(files)} "
                        "files need a concentration: give one per curve or one per file, in order")


def _read_file(path: pathlib.Path, options: _Options, notes) -> List[_Pending]:
    head, encoding, lines = _sample(path)
    if not head.strip():
        raise ReadError(f"{path} is empty")
    if head.startswith(b"PK\x03\x04"):
        return _read_excel(path, options, notes)
    if head.startswith(b"\xd0\xcf\x11\xe0"):
        raise ReadError(f"{path}: old Excel (.xls) files are not read; save it as .xlsx or CSV")
    stripped = [line.strip() for line in lines]
    if "XYDATA" in stripped and any(s.upper().startswith("XUNITS") for s in stripped):
        return _read_jasco(path, encoding, options)
    if _is_cary(lines):
        return _read_cary(path, encoding, options, notes)
    return _read_text_table(path, encoding, lines, options, notes)


def _read_text_table(path, encoding, lines, options, notes):
    import pandas as pd

    if not any(line.strip() for line in lines):
        raise ReadError(f"{path} is empty")
    sep = _separator(lines)
    decimal = _decimal(lines, sep, options.decimal)
    header_line = _header_index(lines, sep, decimal)
    if header_line is None:
        content = [line for line in lines if line.strip() and not _is_comment(line)]
        if len(content) <= 1:
            raise ReadError(f"{path} has a header but no data rows" if content else f"{path} is empty")
        raise ReadError(f"{path}: no header row followed by rows of numbers (separated by "
                        f"{_SEPARATOR_NAMES[sep]}, decimal {decimal!r})")
    comment = any(_is_comment(line) for line in lines[header_line + 1:])
    try:
        table = pd.read_csv(
            path, sep=sep, decimal=decimal, encoding=encoding, skiprows=header_line, header=0,
            na_values=NA_VALUES, keep_default_na=True, skip_blank_lines=True,
            comment="#" if comment else None, index_col=False, skipinitialspace=True,
            usecols=lambda h: bool(str(h).strip()) and not str(h).startswith("Unnamed:"),
        )
    except (ValueError, pd.errors.ParserError, UnicodeDecodeError) as error:
        raise ReadError(f"{path}: cannot be read as a table: {str(error).splitlines()[0]}") from None
    except MemoryError:
        raise ReadError(f"{path}: not enough memory to read it") from None
    table.columns = [str(c).strip() for c in table.columns]

    def where(positions):
        return _line_numbers(path, encoding, header_line, positions, comment)

    tables = [table]
    del table  # _from_table lets go of it once its columns are out
    curves = _from_table(path, tables.pop(), options, notes, where, path.stem)
    stated = _stated_concentration(lines[:header_line])
    for curve in curves:
        curve.stated = stated
    return curves


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


_SEPARATOR_NAMES = {",": "commas", ";": "semicolons", "\t": "tabs"}


def _pick(headers, role, chosen, required=True):
    if chosen is not None:
        matches = [h for h in headers if str(h).strip().lower() == chosen.strip().lower()] or \
                  [h for h in headers if _matches(h, chosen)]
        if not matches:
            raise ReadError(f"no column named {chosen!r} (the columns are {', '.join(map(repr, headers))})")
        return matches[0]
    matches = [h for h in headers if _role_of(h) == role]
    if len(matches) > 1:
        names = ", ".join(repr(h) for h in matches)
        raise ReadError(f"ambiguous {role} column: {names} (choose one with --{role}-column)")
    return matches[0] if matches else None


def _numbers(path, table, column, where):
    """A column as float64, or the error naming the first cell that is not a number."""
    import pandas as pd

    values = table[column]
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


def _temperatures(path, column, values, options, where):
    """Kelvin, from the header's unit or --celsius; unitless values below
    150 K are refused."""
    unit = _temperature_unit(column)
    if unit == "K" and options.celsius:
        raise ReadError(f"{path}: --celsius contradicts the header {column!r}, which says kelvin")
    if unit == "C" or (unit is None and options.celsius):
        return values + 273.15
    if unit is None:
        finite = np.flatnonzero(np.isfinite(values) & (values < KELVIN_FLOOR))
        if finite.size:
            line = where([finite[0]])[0]
            raise ReadError(
                f"{path}, line {line}, column {column!r}: {values[finite[0]]:g} is below {KELVIN_FLOOR:g} K; "
                "if the temperatures are in degrees Celsius, give --celsius or say so in the header, "
                "e.g. 'T (°C)'")
    return values


def _concentrations(path, table, column, where):
    """The distinct concentrations of a column in mol/L, and for every row
    the index of its own (-1 where missing): from the header's unit, from
    units in the cells, or unitless (refused from 0.5 up, which is no
    assay's mol/L).  Factorising first keeps a long column cheap."""
    import pandas as pd

    codes, uniques = pd.factorize(table[column], use_na_sentinel=True)
    divisor = _concentration_divisor(column)
    values = np.empty(len(uniques))
    for k, cell in enumerate(uniques):
        value = parse_concentration(cell) if isinstance(cell, str) else None
        unit = value is not None or divisor is not None
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
        if not unit and value >= PLAUSIBLE_MOLAR:
            line = where([int(np.flatnonzero(codes == k)[0])])[0]
            raise ReadError(
                f"{path}, line {line}, column {column!r}: concentration {cell} has no unit and is not "
                f"plausible in mol/L; give the unit ({UNIT_CHOICES}) in the header, e.g. "
                f"'{column} (uM)', or use --c-tot")
        values[k] = value
    return codes, values


def _from_table(path, table, options, notes, where, stem) -> List[_Pending]:
    """Curves from a table whose columns are named by its header row."""
    headers = list(table.columns)
    if len(table) == 0:
        raise ReadError(f"{path} has a header but no data rows")
    t_col = _pick(headers, "temperature", options.temperature_column)
    c_col = _pick(headers, "concentration", options.concentration_column)
    s_col = _pick(headers, "signal", options.signal_column)
    k_col = _pick(headers, "curve", options.curve_column)
    f_col = _solvent_column(headers, options.solvent_column) \
        if options.vary in ("auto", "solvent") or options.solvent_column else None
    if s_col is None and not any(parse_concentration(h) is not None for h in headers):
        # One more column beside what varies is the signal, whatever its
        # name ("fraction" included).
        left = [h for h in headers if h not in (t_col, c_col, k_col)]
        if options.vary != "solvent" and len(left) == 1 and (t_col is not None or c_col is not None):
            s_col, f_col = left[0], None
        elif f_col is not None and len(left) == 2:
            s_col = next(h for h in left if h != f_col)
    temperature = None if t_col is None else \
        _temperatures(path, t_col, _numbers(path, table, t_col, where), options, where)
    vary = options.vary
    if vary == "auto":
        vary = _told_vary(table, t_col, c_col, s_col, f_col, temperature, headers)
    if vary == "solvent":
        return _solvent_table(path, table, options, notes, where, stem, t_col, c_col, s_col, k_col, f_col,
                              temperature)
    if vary == "concentration":
        return _series_table(path, table, notes, where, stem, t_col, c_col, s_col, k_col, temperature)
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
        curves, dropped = [], []
        for h in wide:
            signal = _numbers(path, table, h, where)
            keep = np.isfinite(temperature) & ~np.isnan(signal)
            if not keep.all():
                dropped.append((h, int((~keep).sum())))
            curves.append(_Pending(temperature[keep], signal[keep], parse_concentration(h), h, str(path)))
        _note_dropped(path, dropped, notes)
        return curves

    if s_col is None:
        raise ReadError(f"{path}: no signal column among {', '.join(map(repr, headers))} "
                        "(name it with --signal-column)")
    signal = _numbers(path, table, s_col, where)
    n = len(table)
    c_codes = c_values = None
    if c_col is not None:
        c_codes, c_values = _concentrations(path, table, c_col, where)
    codes, labels = _curve_codes(table, k_col, c_codes, None if c_values is None else list(map(_label, c_values)),
                                 stem)
    del table  # the columns needed are out; a long table is released here
    missing = np.isnan(temperature) | np.isnan(signal)
    if c_codes is not None and c_codes is not codes:
        missing |= c_codes < 0
    curves = []
    for label, rows in _groups(path, codes, labels, missing, notes):
        c_tot = None if c_codes is None else _one_concentration(path, label, c_codes, c_values, rows, where)
        if rows.size == n:
            t, y = temperature, signal
        else:
            t, y = temperature[rows], signal[rows]
        curves.append(_Pending(t, y, c_tot, label, str(path), s_col))
    return curves


def _solvent_column(headers, chosen):
    """The good-solvent fraction's column: chosen by name, or the first of
    f, solvent fraction, good solvent, fraction (a second one, "fraction
    aggregated" say, may be the signal)."""
    if chosen is not None:
        return _pick(headers, "solvent", chosen)
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


def _curve_codes(table, k_col, by, by_labels, stem):
    """The curve of every row (-1 where missing) and the curves' labels: by
    the curve column, else by the codes `by` (with their labels), else one
    curve for all rows."""
    import pandas as pd

    if k_col is not None:
        codes, uniques = pd.factorize(table[k_col], use_na_sentinel=True)
        return codes, [str(u) for u in uniques]
    if by is not None:
        return by, by_labels
    return np.zeros(len(table), dtype=np.int8), [stem]


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


def _series_table(path, table, notes, where, stem, t_col, c_col, s_col, k_col, temperature):
    """Concentration series: one curve per value of the curve column, else
    per temperature (readings within a kelvin), else one."""
    headers = list(table.columns)
    if c_col is None:
        raise ReadError(f"{path}: no concentration column among {', '.join(map(repr, headers))} for a "
                        "concentration series (name it with --concentration-column)")
    wide = [h for h in headers if h not in (c_col, k_col) and header_temperature(h) is not None]
    if s_col is None and t_col is None and wide:
        # One series per column, headed by its temperature ("25 °C").
        c_codes, c_values = _concentrations(path, table, c_col, where)
        concentration = np.where(c_codes >= 0, c_values[np.maximum(c_codes, 0)], math.nan)
        curves = []
        for h in wide:
            signal = _numbers(path, table, h, where)
            codes, labels = _curve_codes(table, None, None, None, h)
            for label, rows in _groups(path, codes, labels, np.isnan(concentration) | np.isnan(signal), notes):
                curves.append(_Pending(header_temperature(h), signal[rows], concentration[rows], label, str(path),
                                       None, "concentration"))
        return curves
    if s_col is None:
        raise ReadError(f"{path}: no signal column among {', '.join(map(repr, headers))} "
                        "(name it with --signal-column)")
    signal = _numbers(path, table, s_col, where)
    c_codes, c_values = _concentrations(path, table, c_col, where)
    concentration = np.where(c_codes >= 0, c_values[np.maximum(c_codes, 0)], math.nan)
    by = labels = None
    if temperature is not None and k_col is None:
        by, centres = _temperature_groups(temperature)
        labels = [f"{t:.5g} K" for t in centres]
    missing = np.isnan(signal) | np.isnan(concentration)
    if temperature is not None:
        missing |= np.isnan(temperature)
    codes, labels = _curve_codes(table, k_col, by, labels, stem)
    curves = []
    for label, rows in _groups(path, codes, labels, missing, notes):
        t = _one_temperature(path, label, temperature, rows, where)
        if k_col is None and t is not None:
            label = f"{t:.5g} K"
        curves.append(_Pending(t, signal[rows], concentration[rows], label, str(path), s_col, "concentration"))
    if len(curves) > 1 and all(np.unique(p.c_tot).size < 4 for p in curves):
        raise ReadError(f"{path}: read as concentration series, its {len(curves)} series hold 3 concentrations "
                        "or fewer each; it looks like curves against temperature (leave out --vary)")
    return curves


def _solvent_fractions(path, table, f_col, where):
    values = _numbers(path, table, f_col, where)
    unit = _header_unit(f_col)
    if unit is not None and "%" in unit:
        values = values / 100.0
    bad = np.flatnonzero((values < 0.0) | (values > 1.0))
    if bad.size:
        line = where([bad[0]])[0]
        hint = "" if unit and "%" in unit else " (percentages need % in the header, e.g. 'f (%)')"
        raise ReadError(f"{path}, line {line}, column {f_col!r}: {values[bad[0]]:g} is not a fraction between 0 "
                        f"and 1{hint}")
    return values


def _solvent_table(path, table, options, notes, where, stem, t_col, c_col, s_col, k_col, f_col, temperature):
    """Denaturations: the signal against the good-solvent fraction, one curve
    per value of the curve column or of the concentration column, or one per
    column headed by its concentration ("5 uM")."""
    headers = list(table.columns)
    if f_col is None:
        raise ReadError(f"{path}: no solvent-fraction column among {', '.join(map(repr, headers))} (name it f, "
                        "fraction, good solvent or solvent fraction, or choose it with --solvent-column)")
    solvent = _solvent_fractions(path, table, f_col, where)
    wide = [h for h in headers if h not in (t_col, k_col, f_col) and _role_of(h) is None
            and parse_concentration(h) is not None]
    if s_col is None and c_col is None and wide:
        curves = []
        for h in wide:
            signal = _numbers(path, table, h, where)
            codes, labels = _curve_codes(table, None, None, None, h)
            for label, rows in _groups(path, codes, labels, np.isnan(solvent) | np.isnan(signal), notes):
                t = _one_temperature(path, label, temperature, rows, where)
                curves.append(_Pending(t, signal[rows], parse_concentration(h), h, str(path), None, "solvent",
                                       solvent[rows]))
        return curves
    if s_col is None:
        raise ReadError(f"{path}: no signal column among {', '.join(map(repr, headers))} "
                        "(name it with --signal-column)")
    signal = _numbers(path, table, s_col, where)
    c_codes = c_values = None
    missing = np.isnan(solvent) | np.isnan(signal)
    if temperature is not None:
        missing |= np.isnan(temperature)
    if c_col is not None:
        c_codes, c_values = _concentrations(path, table, c_col, where)
        missing |= c_codes < 0
    codes, labels = _curve_codes(table, k_col, c_codes, None if c_values is None else list(map(_label, c_values)),
                                 stem)
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


def _read_text(path, encoding):
    try:
        return pathlib.Path(path).read_text(encoding=encoding, errors="replace")
    except OSError as error:
        raise ReadError(f"cannot read {path}: {error.strerror}") from None


def _read_jasco(path, encoding, options) -> List[_Pending]:
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
    end = start
    while end < len(lines) and lines[end].strip() and not lines[end].startswith("#"):
        end += 1
    if end == start:
        raise ReadError(f"{path}, line {start + 1}: no data after XYDATA")
    x_unit = keys.get("XUNITS", "")
    x_unit = re.sub(r"\s+", "", x_unit.lower())
    if "temperature" not in x_unit:
        raise ReadError(f"{path}: XUNITS is {keys.get('XUNITS', '')!r}, not a temperature: "
                        "this is not a temperature scan")
    celsius = "[c]" in x_unit or "°c" in x_unit or "(c)" in x_unit
    if "[k]" in x_unit and options.celsius:
        raise ReadError(f"{path}: --celsius contradicts XUNITS {keys['XUNITS']!r}, which says kelvin")
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
        matches = [j for j, name in enumerate(y_names) if _matches(name, options.signal_column)]
        if not matches:
            raise ReadError(f"{path}: no Y column named {options.signal_column!r} (the Y columns are "
                            f"{', '.join(map(repr, y_names))})")
        column = matches[0] + 1
    if column >= table.shape[1]:
        raise ReadError(f"{path}: the data rows have no column {column + 1}")

    def where(positions):
        return [start + 1 + int(p) for p in positions]

    x = _numbers(path, table, 0, where)
    y = _numbers(path, table, column, where)
    temperature = x + 273.15 if celsius else x
    keep = ~np.isnan(temperature) & ~np.isnan(y)
    c_tot = None
    for line in lines[end:]:
        key, _, value = line.partition("\t")
        if key.strip().lower() == "concentration" and value.strip():
            c_tot = parse_concentration(value)
            if c_tot is None:
                try:
                    c_tot = float(value.strip().split()[0].replace(",", "."))
                except ValueError:
                    c_tot = None
    label = keys.get("TITLE") or path.stem
    return [_Pending(temperature[keep], y[keep], c_tot, label, str(path),
                     y_names[column - 1] if column - 1 < len(y_names) else None)]


def _is_cary(lines) -> bool:
    rows = [line for line in lines if line.strip()][:2]
    if len(rows) < 2:
        return False
    first, second = rows[0].split(","), rows[1].split(",")
    if len(second) < 2 or _role_of(second[0]) != "temperature":
        return False
    pairs = [second[j] for j in range(0, len(second) - 1, 2) if second[j].strip()]
    return all(_role_of(h) == "temperature" for h in pairs) and (len(first) < 2 or not first[1].strip())


def _read_cary(path, encoding, options, notes) -> List[_Pending]:
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
    decimal = options.decimal or "."
    table = pd.read_csv(_io.StringIO("\n".join(lines[start + 2:end])), sep=",", header=None,
                        decimal=decimal, na_values=NA_VALUES, skipinitialspace=True)

    def where(positions):
        return [start + 3 + int(p) for p in positions]

    curves = []
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
        if unit == "C" or (unit is None and options.celsius):
            t = t + 273.15
        elif unit is None:
            t = _temperatures(path, headers[j], t, options, where)
        c_tot = parse_concentration(name)
        for stage, part in _stages(t):
            if options.segment != "all" and stage != options.segment:
                continue
            curves.append(_Pending(t[part], y[part], c_tot, f"{name} ({stage})", str(path),
                                   headers[j + 1] or None))
    if not curves:
        raise ReadError(f"{path}: no {options.segment} stage in any sample")
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


def _read_excel(path, options, notes) -> List[_Pending]:
    import pandas as pd

    try:
        raw = pd.read_excel(path, sheet_name=options.sheet if options.sheet is not None else 0,
                            header=None, engine="openpyxl")
    except ImportError:
        raise ReadError("reading Excel files needs openpyxl: python -m pip install 'kelvara[fit]'") from None
    except (ValueError, KeyError) as error:
        raise ReadError(f"{path}: {str(error).splitlines()[0]}") from None
    except Exception as error:  # openpyxl raises its own types for damaged files
        raise ReadError(f"{path}: cannot be read as an Excel workbook ({type(error).__name__})") from None
    raw = raw.dropna(how="all").dropna(axis=1, how="all")
    numeric = raw.apply(lambda column: pd.to_numeric(column, errors="coerce")).notna()
    counts = numeric.sum(axis=1).to_numpy()
    header_row = None
    for k in range(len(raw)):
        if counts[k:k + 3].size and np.all(counts[k:k + 3] >= 2) and k > 0:
            header_row = k - 1
            break
    if header_row is None:
        raise ReadError(f"{path}: no header row followed by rows of numbers")
    headers = [str(h).strip() for h in raw.iloc[header_row]]
    table = raw.iloc[header_row + 1:].copy()
    table.columns = headers
    table = table.loc[:, [h for h in headers if h and h != "nan"]]
    table = table.apply(lambda column: column.map(lambda v: math.nan if isinstance(v, str) and v.strip() in
                                                   NA_VALUES else v))
    rows = list(table.index)

    def where(positions):
        return [int(rows[int(p)]) + 1 for p in positions]

    return _from_table(f"{path} (sheet {options.sheet or 1})", table.reset_index(drop=True), options, notes,
                       where, path.stem)
