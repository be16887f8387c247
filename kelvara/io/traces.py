"""Time traces: a time column (s, ms, min, h, told by its header) beside one
signal or one signal column per concentration ("5 uM"), and Bio-Logic
stopped-flow exports (a "BIO-KINE ASCII FILE" with _UNITX, _UNITY and a
_DATA block of time and signal per trace)."""

from __future__ import annotations

import re
from typing import Dict, List, Optional

import numpy as np

from kelvara.io.reading import FileRead, FileReading, PendingCurve, ReadError, ReadOptions, note_dropped
from kelvara.io.tables import (TableSource, bracketed_unit, concentrations, curve_codes, groups, numbers_of,
                                one_concentration, signal_unit, time_factor, unnamed)
from kelvara.io.text import Sample, read_text
from kelvara.units import concentration_label, parse_concentration


def in_seconds(path, header, times, notes) -> tuple:
    """(the times in seconds, the unit its header states): seconds where
    it states none, said in `notes` (k_plus scales with the unit)."""
    stated = bracketed_unit(str(header))
    if stated is None:
        notes.append(f"{path}: the time column {header!r} states no unit: read in seconds (head it "
                     "'time (min)' or 'time (ms)' otherwise; k_plus scales with it)")
    factor = time_factor(stated or "s")
    if factor is None:
        raise ReadError(f"{path}: the time column {header!r} is in {stated!r}, not s, ms, min or h")
    return times * factor, stated or "s (no unit stated)"


def time_table(source: TableSource, table, x_col, s_col, c_col=None, k_col=None, t_col=None) -> List[PendingCurve]:
    """Curves against time from a table with a time column: one per signal
    column headed by a concentration, the one signal column, or, in the long
    layout, one trace per value of the curve or concentration column."""
    path = source.path
    headers = list(table.columns)
    times, unit = in_seconds(path, x_col, numbers_of(path, table, x_col, source.where), source.notes)
    source.role(x_col, "time", unit)
    if c_col is not None or k_col is not None:
        return _long_traces(source, table, times, s_col, c_col, k_col, (x_col, t_col, c_col, k_col))
    wide = [h for h in headers if h not in (x_col, t_col) and parse_concentration(h) is not None]
    if s_col is None and not wide:
        left = [h for h in headers if h not in (x_col, t_col) and not unnamed(source, h)]
        if len(left) != 1:
            raise ReadError(f"{path}: no signal column among {', '.join(map(repr, left))} beside the time "
                            "(name it with --signal-column, or head each trace's column by its concentration, "
                            "e.g. '5 uM')")
        s_col = left[0]
    columns = [(h, parse_concentration(h)) for h in wide] if s_col is None else [(s_col, None)]
    source.reading.layout = ("time traces, one signal column per concentration" if s_col is None
                             else "a time trace")
    curves, dropped = [], []
    for header, c_tot in columns:
        signal = numbers_of(path, table, header, source.where)
        keep = np.isfinite(times) & np.isfinite(signal)
        if not keep.all():
            dropped.append((header, int((~keep).sum())))
        source.role(header, "signal", signal_unit(source, header) if c_tot is None else "",
                    of=None if c_tot is None else f"the trace at {concentration_label(c_tot)}")
        # Traces headed by their concentrations are one signal (one panel,
        # one unit); a lone signal column names it.
        curves.append(trace_curve(times[keep], signal[keep], c_tot, str(header), str(path),
                             None if c_tot is not None else str(header), c_tot is not None))
    note_dropped(path, dropped, source.notes)
    return curves


def _long_traces(source: TableSource, table, times, s_col, c_col, k_col, taken) -> List[PendingCurve]:
    """One row per point: a trace per value of the curve column, else of the
    concentration column."""
    path = source.path
    left = [h for h in table.columns if h not in taken and not unnamed(source, h)]
    if s_col is None and len(left) == 1:
        s_col = left[0]
    if s_col is None:
        raise ReadError(f"{path}: no signal column among {', '.join(map(repr, left))} beside the time "
                        "(name it with --signal-column)")
    signal = numbers_of(path, table, s_col, source.where)
    source.role(s_col, "signal", signal_unit(source, s_col))
    c_codes = c_values = None
    if c_col is not None:
        c_codes, c_values = concentrations(source, table, c_col)
    if k_col is not None:
        source.role(k_col, "curve")
    source.reading.layout = "time traces, one row per point"
    codes, labels = curve_codes(source, table, k_col, c_codes,
                                None if c_values is None else list(map(concentration_label, c_values)), c_col,
                                what="trace")
    missing = ~np.isfinite(times) | ~np.isfinite(signal)
    if c_codes is not None:
        missing |= c_codes < 0
    curves = []
    for label, rows in groups(path, codes, labels, missing, source.notes):
        c_tot = None if c_codes is None else one_concentration(path, label, c_codes, c_values, rows, source.where)
        curves.append(trace_curve(times[rows], signal[rows], c_tot, label, str(path), str(s_col),
                             k_col is None and c_col is not None))
    return curves


def trace_curve(times, signal, c_tot, label, path, signal_name, names_condition) -> PendingCurve:
    order = np.argsort(times, kind="stable")
    if np.any(np.diff(times[order]) <= 0.0):
        raise ReadError(f"{path}: trace {label!r} repeats a time; each time is read once")
    return PendingCurve(None, signal[order], c_tot, label, path, signal_name, vary="time", time=times[order],
                        names_condition=names_condition)


def is_biologic(sample: Sample) -> bool:
    first = next((line.strip() for line in sample.lines if line.strip()), "")
    return first.lstrip("\ufeff").upper().startswith("BIO-KINE")


def read_biologic(sample: Sample, options: ReadOptions) -> FileRead:
    """A Bio-Logic stopped-flow export: _UNITX and _UNITY name the units of
    time and signal (on the key's line or the next); each _DATA block holds
    a trace, one time and signal per line, until a blank line or the next
    key."""
    path = sample.file
    lines = read_text(path, sample.encoding).splitlines()
    keys: Dict[str, str] = {}
    blocks: List[List[str]] = []
    block: Optional[List[str]] = None
    for i, line in enumerate(lines):
        stripped = line.strip()
        if stripped.startswith("_"):
            parts = re.split(r"[\t=:]+|\s+", stripped, maxsplit=1)
            key, value = parts[0].upper(), (parts[1].strip() if len(parts) > 1 else "")
            if not value and key != "_DATA" and i + 1 < len(lines) and not lines[i + 1].strip().startswith("_"):
                value = lines[i + 1].strip()
            keys.setdefault(key, value)
            block = [] if key == "_DATA" else None
            if block is not None:
                blocks.append(block)
            continue
        if block is not None:
            if not stripped:
                block = None
            else:
                block.append(stripped)
    if not blocks or not any(blocks):
        raise ReadError(f"{path}: a Bio-Logic export with no _DATA block of time and signal")
    x_unit = keys.get("_UNITX", "") or "s"
    notes = [] if keys.get("_UNITX") else [f"{path}: no _UNITX: the times are read in seconds"]
    factor = time_factor(x_unit)
    if factor is None:
        raise ReadError(f"{path}: _UNITX is {x_unit!r}, not a time (s, ms, min): this is no kinetic trace")
    y_unit = keys.get("_UNITY", "")
    decimal = options.decimal or ("," if any(re.search(r"\d,\d", row) and "\t" in row for b in blocks
                                             for row in b[:20]) else ".")
    curves = []
    for number, rows in enumerate(blocks, start=1):
        values = []
        for row in rows:
            cells = [c for c in re.split(r"[\t;]" if decimal == "," else r"[\s,;]+", row) if c.strip()]
            try:
                values.append([float(c.replace(",", ".")) for c in cells[:2]])
            except ValueError:
                raise ReadError(f"{path}: in _DATA block {number}, {row!r} is not a time and a signal") from None
            if len(values[-1]) < 2:
                raise ReadError(f"{path}: in _DATA block {number}, {row!r} holds no signal beside its time")
        data = np.array(values, dtype=float)
        label = "trace" if len(blocks) == 1 else f"trace {number}"
        curves.append(trace_curve(data[:, 0] * factor, data[:, 1], None, label, str(path),
                             f"signal [{y_unit}]" if y_unit else "signal", False))
    reading = FileReading(str(path), "a Bio-Logic stopped-flow export",
                          f"time in {x_unit}" + (f", signal in {y_unit}" if y_unit else ""))
    return FileRead(curves, reading, notes)
