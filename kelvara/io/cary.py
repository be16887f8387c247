"""Agilent Cary thermal and kinetics exports: sample names above `Temperature (°C),Abs` (or
`Time (sec),Abs`) pairs, each sample's cooling and heating stages appended in its columns (split where
the temperature turns by the reader)."""

from __future__ import annotations

import io as _io
from typing import List
import numpy as np

from kelvara.io.reading import ColumnReading, FileRead, FileReading, ReadError, ReadOptions, PendingCurve
from kelvara.io.tables import numbers_of, role_of
from kelvara.io.traces import in_seconds, trace_curve
from kelvara.io.text import NA_VALUES, Sample, read_text, whole_lines
from kelvara.io.units import bracketed_unit, header_temperature_unit, in_kelvin
from kelvara.units import parse_concentration, temperature_unit


def is_cary(sample: Sample) -> bool:
    rows = [line for line in sample.lines if line.strip()][:2]
    if len(rows) < 2:
        return False
    first, second = rows[0].split(","), rows[1].split(",")
    while second and not second[-1].strip():
        second.pop()  # Cary ends its lines with a comma
    # Sample names each followed by an empty cell, over pairs of a
    # temperature and a signal: a title line above a table with a third
    # column (a concentration) is not one.
    if len(second) < 2 or len(second) % 2 or len(first) < 2 or first[1].strip():
        return False
    varied = role_of(second[0])
    return varied in ("temperature", "time") and all((role_of(h) == varied) == (j % 2 == 0)
                                                      for j, h in enumerate(second))


def _temperature_unit(path, header):
    """The unit a Cary temperature header states ("C" or "K"; its degree
    sign perhaps mangled by a code page: "Â°C", "\ufffdC"), None where it
    states none; a unit it states that is no temperature's is refused, as
    the delimited reader refuses it ("mK" is not kelvin, "°Ré" not Celsius)."""
    unit = header_temperature_unit(header)
    written = bracketed_unit(header)
    if unit is None and written:
        unit = temperature_unit(written.replace("Â°", "°").replace("\ufffd", "°"))
        if unit not in ("C", "K"):
            raise ReadError(f"{path}: the temperature column {header!r} states the unit {written!r}, which is not "
                            "a temperature unit kelvara reads (°C or K); say one of them in the header")
    return unit


def read_cary(sample: Sample, options: ReadOptions) -> FileRead:
    """An Agilent Cary thermal export: sample names in row 1, each followed
    by an empty cell; `Temperature (°C),Abs` pairs in row 2; data to the
    first blank line, heating and cooling stages appended in the same columns."""
    import pandas as pd

    path = sample.file
    reading = FileReading(str(path), "")
    notes: List[str] = []
    text = read_text(path, sample.encoding)
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.strip())
    names = [n.strip() for n in lines[start].split(",")]
    headers = [h.strip() for h in lines[start + 1].split(",")]
    end = start + 2
    while end < len(lines) and lines[end].strip():
        end += 1
    end = whole_lines(text, lines, end, notes)
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

    kinetics = role_of(headers[0]) == "time"
    reading.layout = "a Cary kinetics export" if kinetics else "a Cary thermal export"
    reading.details = f"samples on line {start + 1}"
    reading.columns = [ColumnReading(j + 1, h or f"column {j + 1}", "unused") for j, h in enumerate(headers)]
    curves = []
    for j in range(0, len(headers) - 1, 2):
        if not headers[j] or j + 1 >= table.shape[1]:
            continue
        name = names[j] if j < len(names) and names[j] else f"sample {j // 2 + 1}"
        if kinetics:
            curves.append(_trace(path, table, j, headers, name, where, reading, notes))
            continue
        unit = _temperature_unit(path, headers[j])
        if unit == "K" and options.celsius:
            raise ReadError(f"{path}: --celsius contradicts the header {headers[j]!r}, which says kelvin")
        t = numbers_of(path, table, j, where)
        y = numbers_of(path, table, j + 1, where)
        keep = ~np.isnan(t) & ~np.isnan(y)
        t, y = t[keep], y[keep]
        t, words = in_kelvin(path, headers[j], t, unit, options.celsius, lambda p: where(np.flatnonzero(keep)[p]))
        reading.temperature_unit = "°C" if words.startswith("°C") else "K"
        reading.columns[j] = ColumnReading(j + 1, headers[j], "temperature", words, name)
        reading.columns[j + 1] = ColumnReading(j + 2, headers[j + 1] or f"column {j + 2}", "signal", "", name)
        c_tot = parse_concentration(name)
        curves.append(PendingCurve(t, y, c_tot, name, str(path), headers[j + 1] or None,
                                   names_condition=c_tot is not None, label_stages=True))
    if not curves:
        raise ReadError(f"{path}: a Cary export with no sample")
    return FileRead(curves, reading, notes)


def _trace(path, table, j, headers, name, where, reading, notes) -> PendingCurve:
    """One sample's trace of a kinetics export: its time (in the header's
    unit, read in seconds) and signal columns."""
    t = numbers_of(path, table, j, where)
    y = numbers_of(path, table, j + 1, where)
    keep = ~np.isnan(t) & ~np.isnan(y)
    seconds, unit = in_seconds(path, headers[j], t[keep], notes)
    reading.columns[j] = ColumnReading(j + 1, headers[j], "time", unit, name)
    reading.columns[j + 1] = ColumnReading(j + 2, headers[j + 1] or f"column {j + 2}", "signal", "", name)
    c_tot = parse_concentration(name)
    return trace_curve(seconds, y[keep], c_tot, name, str(path), headers[j + 1] or None, c_tot is not None)
