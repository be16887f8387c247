"""A table's columns and their roles: roles from units and first words, columns chosen by name, first
word or position, numbers and concentrations read from a column with the line of any bad cell, and
rows grouped into curves (refused when a column would make more than 30)."""

from __future__ import annotations

import math
import re
from collections import Counter
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence

import numpy as np

from kelvara.io.reading import ColumnReading, FileReading, MissingColumn, ReadError, ReadOptions, note_dropped
from kelvara.io.units import bracketed_unit, header_unit, in_kelvin, header_temperature_unit, header_temperature
from kelvara.units import (HIGHEST_MOLAR, LOWEST_MOLAR, PLAUSIBLE_MOLAR, UNIT_CHOICES, concentration_divisor,
                           parse_concentration, temperature_unit)

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
_WAVELENGTH_WORDS = {"wavelength", "lambda", "λ", "wl"}
MAX_CURVES_FROM_VALUES = 30  # a column splitting the rows into more curves is not a curve column


# Time units a header may state, as factors to seconds.
_TIME_UNITS = {"s": 1.0, "sec": 1.0, "secs": 1.0, "seconds": 1.0, "ms": 1e-3, "min": 60.0, "mins": 60.0,
               "minutes": 60.0, "h": 3600.0, "hr": 3600.0, "hours": 3600.0}


def time_factor(unit) -> Optional[float]:
    """What turns a time in `unit` into seconds (None: not a time unit)."""
    return None if unit is None else _TIME_UNITS.get(str(unit).strip().lower())


def role_of(header):
    """A header's role: by the unit it states (a temperature unit decides,
    whatever the words; a concentration unit with a name that says
    concentration), else by its words."""
    if parse_concentration(header) is not None or header_temperature(header) is not None:
        return None  # a value with its unit ("c = 1e-5 M", "25 °C") heads a curve of the wide layout
    if first_word(header) in _WAVELENGTH_WORDS:
        return None  # "Wavelength (nm)": nanometres, which the concentration's units would read as nM
    unit = bracketed_unit(str(header).strip())
    if unit is not None:
        if time_factor(unit) is not None:
            return "time"  # "t (s)", "Time [min]"
        if temperature_unit(unit) is not None:
            return "temperature"
        if concentration_divisor(unit) is not None:
            # By its name and unit together: "Dye (uM)" is no total concentration.
            return "concentration" if _says_concentration(header) else None
    word = first_word(header)
    if word == "time":
        return "time"
    if word == "c" and re.match(r"\s*c_?tot", str(header).strip().lower()):
        return "concentration"
    words = set(re.split(r"[\s_(\[/=:.,]+", str(header).strip().lower()))
    if words & ROLES["temperature"] - {"t"}:
        return "temperature"  # "Sample Temp", "Block temperature"
    for role, names in ROLES.items():
        if word in names:
            return role
    return None


def _says_concentration(header):
    """Whether a header's words name a total concentration ("c (uM)",
    "Conc./uM", "c_tot [M]", "Total concentration (mM)", or a name in
    square brackets as chemists write one: "[PBI] (uM)")."""
    text = str(header).strip().lower()
    words = set(re.split(r"[\s_(\[/=:.,]+", text))
    return bool(words & ROLES["concentration"]) or bool(re.match(r"c_?tot|\[[^\]]+\]", text))


def first_word(header):
    """The header's first word, lower-case, without a closing full stop
    ("Temp. (°C)", "Conc./uM")."""
    return re.split(r"[\s_(\[/=:]", str(header).strip().lower(), maxsplit=1)[0].rstrip(".")


def header_matches(header, chosen):
    """A header chosen by name: the whole header, or its first word
    (`--signal-column CD` finds `CD [mdeg]`)."""
    header, chosen = str(header).strip().lower(), chosen.strip().lower()
    return header == chosen or first_word(header) == chosen


@dataclass
class TableSource:
    """A table being read: what messages name, where its rows lie in the
    file, the 1-based positions of its columns, and its report."""

    path: object  # shown in messages: the path, with the sheet of a workbook
    options: ReadOptions
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


def _named(table, headerless):
    """The table with its columns named by their header ("column N" for a
    blank one, or in a file without a header; a repeated name gets ".1"),
    empty columns without a header (a separator at the end of each line)
    dropped; and the 1-based position in the file of every column kept."""
    names: List[str] = []
    seen: Counter = Counter()
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


def table_source(path, table, options, notes, where, stem, reading, details, headerless):
    """The table named, and the context its curves are read in."""
    table, positions = _named(table, headerless)
    reading.layout, reading.details = "a table", details
    reading.columns = [ColumnReading(positions[h], h, "unused") for h in table.columns]
    return table, TableSource(path, options, notes, where, stem, reading, positions, headerless)


def pick(source: TableSource, headers, role, chosen, required=True):
    """The column of a role: the one chosen (by header, first word or
    1-based position), else the one header that names the role."""
    if chosen is not None:
        text = str(chosen).strip()
        if text.isdigit():
            position = int(text)
            matches = [h for h in headers if source.positions.get(h) == position]
            if not matches:
                raise MissingColumn(f"{source.path}: --{role}-column {text}: there is no column {position} (the file "
                                f"has {max(source.positions.values(), default=0)} columns)")
            return matches[0]
        matches = [h for h in headers if str(h).strip().lower() == text.lower()] or \
                  [h for h in headers if header_matches(h, text)]
        if not matches:
            raise MissingColumn(f"{source.path}: no column named {chosen!r} (the columns are "
                            f"{_listed(headers)}; a number chooses a column by its position)")
        return matches[0]
    if source.headerless:
        return None
    matches = [h for h in headers if role_of(h) == role]
    if len(matches) > 1:
        names = _listed(matches)
        raise ReadError(f"{source.path}: ambiguous {role} column: {names} (choose one with --{role}-column NAME "
                        "or its position)")
    return matches[0] if matches else None


def numbers_of(path, table, column, where):
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
        raise ReadError(f"{path}, line {line}, column {column!r}: the number overflows a double (or is infinite)")
    return out


def _shown(cell, width=40):
    """A cell as a message quotes it: a huge field is cut short."""
    text = repr(cell)
    return text if len(text) <= width else text[:width - 5] + "...'"


def temperatures(source: TableSource, column, values):
    """Kelvin, from the header's unit or --celsius, recorded in the report."""
    unit = None if source.headerless else header_temperature_unit(column)
    written = None if source.headerless else bracketed_unit(column)
    if unit is None and written:
        # A unit the header states and kelvara does not know is not kelvin.
        raise ReadError(f"{source.path}: the temperature column {column!r} states the unit {written!r}, which is "
                        "not a temperature unit kelvara reads (°C or K); say one of them in the header")
    if unit == "K" and source.options.celsius:
        raise ReadError(f"{source.path}: --celsius contradicts the header {column!r}, which says kelvin (to show "
                        "the results in °C, use --display-unit C)")
    kelvin, words = in_kelvin(source.path, column, values, unit, source.options.celsius, source.where)
    source.role(column, "temperature", words)
    source.reading.temperature_unit = "°C" if words.startswith("°C") else "K"
    return kelvin


def concentrations(source: TableSource, table, column):
    """The distinct concentrations of a column in mol/L, and for every row
    the index of its own (-1 where missing): from the header's unit, from
    units in the cells, or unitless (refused from 0.5 up, which is no
    assay's mol/L).  Factorising first keeps a long column cheap."""
    import pandas as pd

    path, where = source.path, source.where
    codes, uniques = pd.factorize(table[column], use_na_sentinel=True)
    unit = None if source.headerless else header_unit(column)
    divisor = concentration_divisor(unit)
    if unit is not None and divisor is None and bracketed_unit(column) is not None \
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
        if given and not LOWEST_MOLAR <= value <= HIGHEST_MOLAR:
            line = where([int(np.flatnonzero(codes == k)[0])])[0]
            raise ReadError(f"{path}, line {line}, column {column!r}: concentration {cell} is {value:g} mol/L, not "
                            f"a plausible concentration of a solution measured here (1 pM to {HIGHEST_MOLAR:g} M)")
        values[k] = value
    if divisor is not None:
        words = f"{unit} (from the header)"
    source.role(column, "concentration", words)
    return codes, values


def unnamed(source, header):
    """A column the header leaves blank (a spreadsheet's index, say), in a
    file that has a header."""
    return not source.headerless and header == f"column {source.positions.get(header)}"


def signal_unit(source, column):
    unit = None if source.headerless else header_unit(column)
    return unit if unit and unit.lower() != column.lower() else ""


def curve_codes(source, table, k_col, by, by_labels, by_column, what="curve"):
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


def groups(path, codes, labels, missing, notes):
    """(label, rows) of each curve, by a mask (no sorted copies of the
    columns); rows `missing` a value, or without a curve, are dropped with
    a note."""
    if missing.any() or (codes < 0).any():
        lost = codes[missing | (codes < 0)]
        note_dropped(path, list(Counter("?" if k < 0 else labels[k] for k in lost.tolist()).items()), notes)
        codes = np.where(missing, -1, codes)
    if not (codes >= 0).any():
        raise ReadError(f"{path}: every data row has a missing value")
    for k, label in enumerate(labels):
        rows = np.flatnonzero(codes == k)
        if rows.size:
            yield label, rows


def one_concentration(path, label, c_codes, c_values, rows, where):
    """The concentration of a curve's rows (mol/L): one, or the error."""
    own = c_codes[rows]
    differ = np.flatnonzero(own != own[0])
    if differ.size:
        line = where([rows[int(differ[0])]])[0]
        other = c_values[own[differ[0]]] if own[differ[0]] >= 0 else math.nan
        raise ReadError(f"{path}, line {line}: curve {label!r} has two concentrations, "
                        f"{c_values[own[0]]:g} and {other:g} mol/L")
    return float(c_values[own[0]])


def _listed(names, most=12):
    """Names for a message: the first `most`, and how many more."""
    shown = ", ".join(repr(name) for name in names[:most])
    return shown if len(names) <= most else f"{shown} and {len(names) - most} more"
