"""JASCO CD temperature and time scans: KEY<TAB>VALUE lines, XYDATA rows, and an extended section that
may state the concentration."""

from __future__ import annotations

import io as _io
import re
from typing import List

import numpy as np

from kelvara.io.reading import (ColumnReading, FileRead, FileReading, MissingColumn, ReadError, ReadOptions,
                                note_dropped, PendingCurve)
from kelvara.io.tables import header_matches, numbers_of, time_factor
from kelvara.io.traces import trace_curve
from kelvara.io.text import NA_VALUES, Sample, read_text, whole_lines
from kelvara.io.units import bracketed_unit, in_kelvin
from kelvara.units import PLAUSIBLE_MOLAR, UNIT_CHOICES, parse_concentration, temperature_unit


def is_jasco(sample: Sample) -> bool:
    stripped = [line.strip() for line in sample.lines]
    return "XYDATA" in stripped and any(s.upper().startswith("XUNITS") for s in stripped)


def read_jasco(sample: Sample, options: ReadOptions) -> FileRead:
    """A JASCO temperature or time scan: KEY<TAB>VALUE lines, XYDATA, rows
    of x and y values, and an extended section that may state the
    concentration."""
    import pandas as pd

    path = sample.file
    reading = FileReading(str(path), "")
    notes: List[str] = []
    text = read_text(path, sample.encoding)
    lines = text.splitlines()
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
    end = whole_lines(text, lines, end, notes)
    if end == start:
        raise ReadError(f"{path}, line {start + 1}: no data after XYDATA")
    x_units = keys.get("XUNITS", "")
    x_unit = re.sub(r"\s+", "", x_units.lower())
    bracket = bracketed_unit(x_units)
    seconds = time_factor(bracket if bracket else x_units)
    if "temperature" not in x_unit and seconds is None:
        raise ReadError(f"{path}: XUNITS is {x_units!r}, neither a temperature nor a time (s, min): this is "
                        "not a temperature or time scan")
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
        chosen = str(options.signal_column).strip()  # one column here: channels are read one by one
        if chosen.isdigit() and 2 <= int(chosen) <= table.shape[1]:
            column = int(chosen) - 1
        else:
            matches = [j for j, name in enumerate(y_names) if header_matches(name, chosen)]
            if not matches:
                raise MissingColumn(f"{path}: no Y column named {options.signal_column!r} (the Y columns are "
                                f"{', '.join(map(repr, y_names))}, or columns 2 to {table.shape[1]} by position)")
            column = matches[0] + 1
    if column >= table.shape[1]:
        raise ReadError(f"{path}: the data rows have no column {column + 1}")

    def where(positions):
        return [start + 1 + int(p) for p in positions]

    x = numbers_of(path, table, 0, where)
    y = numbers_of(path, table, column, where)
    if seconds is not None:
        x, words = x * seconds, (bracket or x_units).strip()
    else:
        x, words = in_kelvin(path, "XUNITS " + x_units, x, unit, options.celsius, where)
        reading.temperature_unit = "°C" if words.startswith("°C") else "K"
    keep = ~np.isnan(x) & ~np.isnan(y)
    note_dropped(path, [] if keep.all() else [(y_names[column - 1] if column - 1 < len(y_names) else
                                                f"column {column + 1}", int((~keep).sum()))], notes)
    c_tot = _jasco_concentration(path, lines, end)
    label = keys.get("TITLE") or path.stem
    kind = "time" if seconds is not None else "temperature"
    reading.layout, reading.details = f"a JASCO {kind} scan", f"data from line {start + 1}"
    reading.columns = [ColumnReading(1, x_units or "X", kind, words)]
    for j in range(1, table.shape[1]):
        name = y_names[j - 1] if j - 1 < len(y_names) else f"column {j + 1}"
        reading.columns.append(ColumnReading(j + 1, name, "signal" if j == column else "unused"))
    signal_name = y_names[column - 1] if column - 1 < len(y_names) else None
    if seconds is not None:
        curve = trace_curve(x[keep], y[keep], c_tot, label, str(path), signal_name, False)
    else:
        curve = PendingCurve(x[keep], y[keep], c_tot, label, str(path), signal_name)
    # A title that names a concentration ("PBI 10uM") is checked against
    # --c-tot, never read as the concentration.
    curve.titled = parse_concentration(keys["TITLE"]) if keys.get("TITLE") else None
    return FileRead([curve], reading, notes)


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
