"""From a named table to curves, by what the curves vary: cooling and heating curves (long, wide, one
curve), concentration series (one per temperature, or one column per temperature) and solvent
denaturations; a table without a header by the positions chosen."""

from __future__ import annotations

import math
from typing import List

import numpy as np

from kelvara.io.reading import PendingCurve, ReadError, note_dropped
from kelvara.io.traces import time_table
from kelvara.io.wavelengths import by_wavelength
from kelvara.io.text import numeric
from kelvara.io.tables import (
    concentrations,
    curve_codes,
    first_word,
    groups,
    numbers_of,
    one_concentration,
    pick,
    role_of,
    signal_unit,
    TableSource,
    temperatures,
    unnamed,
)
from kelvara.io.units import header_unit, header_temperature
from kelvara.units import concentration_label, parse_concentration, temperature_label

# A series is measured at one temperature: readings within this many kelvin
# are one temperature (a thermostat's log wanders by a few tenths).
SERIES_SPREAD = 1.0


def from_table(source: TableSource, table) -> List[PendingCurve]:
    """Curves from a table whose columns are named by its header row (or
    "column N" without one)."""
    path, options = source.path, source.options
    headers = list(table.columns)
    if len(table) == 0:
        raise ReadError(f"{path} has a header but no data rows")
    if options.wavelength:
        return by_wavelength(source, table, headers)
    t_col = pick(source, headers, "temperature", options.temperature_column)
    c_col = pick(source, headers, "concentration", options.concentration_column)
    s_col = pick(source, headers, "signal", options.signal_column)
    k_col = pick(source, headers, "curve", options.curve_column)
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
        left = [h for h in headers if h not in (t_col, c_col, k_col) and not unnamed(source, h)]
        if options.vary != "solvent" and len(left) == 1 and (t_col is not None or c_col is not None):
            s_col, f_col = left[0], None
        elif f_col is not None and len(left) == 2:
            s_col = next(h for h in left if h != f_col)
    temperature = None if t_col is None else temperatures(source, t_col, numbers_of(path, table, t_col, source.where))
    vary = options.vary
    x_col = pick(source, headers, "time", None) if vary in ("auto", "time") else None
    if vary == "auto" and x_col is not None and t_col is None and f_col is None:
        vary = "time"
    if vary == "time":
        if x_col is None:
            raise ReadError(f"{path}: no time column among {', '.join(map(repr, headers))} (head it 'time (s)', "
                            "'t (min)' or 'Time [ms]')")
        return time_table(source, table, x_col, s_col, c_col, k_col, t_col)
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
    assert temperature is not None  # read from t_col

    wide = [h for h in headers if h not in (t_col, k_col) and role_of(h) is None
            and parse_concentration(h) is not None]
    bare = [h for h in headers if h != t_col and numeric(str(h), ".")]
    if c_col is None and s_col is None and not wide and len(options.c_tot) == len(bare) == len(headers) - 1 and bare:
        # Columns headed by bare numbers, their concentrations given by hand.
        source.reading.layout = "a wide table, one signal column per concentration"
        source.notes.append(f"{path}: the header names the signal columns by bare numbers "
                            f"({', '.join(map(str, bare[:4]))}{' ...' if len(bare) > 4 else ''}); "
                            "each is a curve whose concentration comes from --c-tot, in order")
        return _column_curves(source, table, bare, temperature, lambda h: f"the curve headed {h}",
                              lambda h, rows, signal: PendingCurve(temperature[rows], signal[rows], None,
                                                                   str(h), str(path)))
    if c_col is None and s_col is None and wide:
        others = [h for h in headers if h not in wide and h != t_col]
        if others:
            raise ReadError(f"{path}: column {others[0]!r} carries no concentration; in the wide layout "
                            "every signal column is headed by one, e.g. '5 uM'")
        source.reading.layout = "a wide table, one signal column per concentration"
        curves, dropped = [], []
        for h in wide:
            signal = numbers_of(path, table, h, source.where)
            keep = np.isfinite(temperature) & ~np.isnan(signal)
            if not keep.all():
                dropped.append((h, int((~keep).sum())))
            source.role(h, "signal", of=f"the curve at {concentration_label(parse_concentration(h))}")
            curves.append(PendingCurve(temperature[keep], signal[keep], parse_concentration(h), h, str(path),
                                       names_condition=True))
        note_dropped(path, dropped, source.notes)
        return curves

    if s_col is None:
        raise ReadError(f"{path}: no signal column among {', '.join(map(repr, headers))} "
                        "(name it with --signal-column, by its header or its position)")
    signal = numbers_of(path, table, s_col, source.where)
    source.role(s_col, "signal", signal_unit(source, s_col))
    n = len(table)
    c_codes = c_values = None
    if c_col is not None:
        c_codes, c_values = concentrations(source, table, c_col)
    source.reading.layout = "a long table, one row per point" if (c_col or k_col) else "one curve"
    codes, labels = curve_codes(source, table, k_col, c_codes, None if c_values is None else
                                 list(map(concentration_label, c_values)), c_col)
    del table  # the columns needed are out; a long table is released here
    missing = np.isnan(temperature) | np.isnan(signal)
    if c_codes is not None and c_codes is not codes:
        missing |= c_codes < 0
    curves = []
    for label, rows in groups(path, codes, labels, missing, source.notes):
        c_tot = None if c_codes is None else one_concentration(path, label, c_codes, c_values, rows, source.where)
        if rows.size == n:
            t, y = temperature, signal
        else:
            t, y = temperature[rows], signal[rows]
        curves.append(PendingCurve(t, y, c_tot, label, str(path), s_col,
                                   names_condition=k_col is None and c_col is not None))
    return curves


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
        return pick(source, headers, "solvent", chosen)
    if source.headerless:
        return None
    found = [h for h in headers if role_of(h) == "solvent"]
    for word in ("f", "solvent", "good", "volume", "fraction"):
        for h in found:
            if first_word(h) == word:
                return h
    return None


def _told_vary(table, t_col, c_col, s_col, f_col, temperature, headers):
    """What a table varies, from its content: a solvent-fraction column
    beside a signal (or concentration-headed columns) at one temperature is a
    denaturation; a concentration column with more distinct values than the
    temperature has (or with no temperature) is a concentration series."""
    steady = temperature is None or np.nanmax(temperature) - np.nanmin(temperature) <= SERIES_SPREAD
    wide = any(parse_concentration(h) is not None and role_of(h) is None for h in headers)
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


def _temperature_groups(temperature):
    """Readings that lie within SERIES_SPREAD of the lowest of their group
    are one temperature: (group of each row, -1 where missing; the groups'
    lowest readings).  Grouped on the distinct readings to 0.01 K, so that
    a long temperature scan costs little."""
    finite = np.isfinite(temperature)
    rounded = np.round(np.where(finite, temperature, 0.0), 2)
    distinct = np.unique(rounded[finite])
    starts: List[float] = []
    group = np.empty(distinct.size, dtype=np.int64)
    for j, value in enumerate(distinct.tolist()):
        if not starts or value - starts[-1] > SERIES_SPREAD:
            starts.append(value)
        group[j] = len(starts) - 1
    codes = np.where(finite, group[np.searchsorted(distinct, rounded)] if distinct.size else -1, -1)
    return codes, starts


def _one_temperature(path, label, temperature, rows, where):
    """The temperature of a series (the mean of its readings), or None."""
    if temperature is None:
        return None
    own = temperature[rows]
    if np.ptp(own) > SERIES_SPREAD:
        line = where([rows[int(np.argmax(np.abs(own - own[0])))]])[0]
        raise ReadError(f"{path}, line {line}: series {label!r} spans temperatures {own.min():g} to "
                        f"{own.max():g} K; a series is measured at one temperature (give a curve column "
                        "to tell series apart)")
    return float(np.mean(own))


def _series_table(source: TableSource, table, t_col, c_col, s_col, k_col, temperature):
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
        c_codes, c_values = concentrations(source, table, c_col)
        concentration = np.where(c_codes >= 0, c_values[np.maximum(c_codes, 0)], math.nan)
        return _column_curves(
            source, table, wide, concentration,
            lambda h: f"the series at {temperature_label(header_temperature(h), 'K')}",
            lambda h, rows, signal: PendingCurve(header_temperature(h), signal[rows], concentration[rows], h, str(path),
                                                 None, "concentration", names_condition=True))
    if s_col is None:
        raise ReadError(f"{path}: no signal column among {', '.join(map(repr, headers))} "
                        "(name it with --signal-column)")
    signal = numbers_of(path, table, s_col, where)
    source.role(s_col, "signal", signal_unit(source, s_col))
    c_codes, c_values = concentrations(source, table, c_col)
    concentration = np.where(c_codes >= 0, c_values[np.maximum(c_codes, 0)], math.nan)
    by = labels = None
    unit = source.reading.temperature_unit
    if temperature is not None and k_col is None:
        by, centres = _temperature_groups(temperature)
        labels = [temperature_label(t, unit) for t in centres]
    missing = np.isnan(signal) | np.isnan(concentration)
    if temperature is not None:
        missing |= np.isnan(temperature)
    codes, labels = curve_codes(source, table, k_col, by, labels, t_col, what="series")
    curves = []
    for label, rows in groups(path, codes, labels, missing, notes):
        t = _one_temperature(path, label, temperature, rows, where)
        if k_col is None and t is not None:
            label = temperature_label(t, unit)
        curves.append(PendingCurve(t, signal[rows], concentration[rows], label, str(path), s_col, "concentration",
                                   names_condition=k_col is None and t is not None))
    if len(curves) > 1 and all(np.unique(np.asarray(p.c_tot, dtype=float)).size < 4 for p in curves):
        raise ReadError(f"{path}: read as concentration series, its {len(curves)} series hold 3 concentrations "
                        "or fewer each; it looks like curves against temperature (leave out --vary)")
    return curves


def _solvent_fractions(source, table, f_col):
    path = source.path
    values = numbers_of(path, table, f_col, source.where)
    unit = None if source.headerless else header_unit(f_col)
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


def _solvent_table(source: TableSource, table, t_col, c_col, s_col, k_col, f_col, temperature):
    """Denaturations: the signal against the good-solvent fraction, one curve
    per value of the curve column or of the concentration column, or one per
    column headed by its concentration ("5 uM")."""
    path, where, notes = source.path, source.where, source.notes
    headers = list(table.columns)
    if f_col is None:
        raise ReadError(f"{path}: no solvent-fraction column among {', '.join(map(repr, headers))} (name it f, "
                        "fraction, good solvent or solvent fraction, or choose it with --solvent-column)")
    solvent = _solvent_fractions(source, table, f_col)
    wide = [h for h in headers if h not in (t_col, k_col, f_col) and role_of(h) is None
            and parse_concentration(h) is not None]
    if s_col is None and c_col is None and wide:
        source.reading.layout = "a solvent denaturation, one signal column per concentration"
        return _column_curves(
            source, table, wide, solvent, lambda h: f"the curve at {concentration_label(parse_concentration(h))}",
            lambda h, rows, signal: PendingCurve(_one_temperature(path, h, temperature, rows, where), signal[rows],
                                                 parse_concentration(h), h, str(path), None, "solvent", solvent[rows],
                                                 names_condition=True))
    if s_col is None:
        raise ReadError(f"{path}: no signal column among {', '.join(map(repr, headers))} "
                        "(name it with --signal-column)")
    signal = numbers_of(path, table, s_col, where)
    source.role(s_col, "signal", signal_unit(source, s_col))
    c_codes = c_values = None
    missing = np.isnan(solvent) | np.isnan(signal)
    if temperature is not None:
        missing |= np.isnan(temperature)
    if c_col is not None:
        c_codes, c_values = concentrations(source, table, c_col)
        missing |= c_codes < 0
    codes, labels = curve_codes(source, table, k_col, c_codes,
                                 None if c_values is None else list(map(concentration_label, c_values)), c_col)
    curves = []
    for label, rows in groups(path, codes, labels, missing, notes):
        t = _one_temperature(path, label, temperature, rows, where)
        c_tot = None if c_codes is None else one_concentration(path, label, c_codes, c_values, rows, where)
        curves.append(PendingCurve(t, signal[rows], c_tot, label, str(path), s_col, "solvent", solvent[rows],
                                   names_condition=k_col is None and c_col is not None))
    return curves


def _column_curves(source: TableSource, table, columns, varied, of, make) -> List[PendingCurve]:
    """One curve per column (a wide layout against concentration or solvent):
    each column's signal against the shared `varied` values, rows missing
    either dropped with a note; `of(h)` names the curve in the report and
    `make(h, rows, signal)` builds it."""
    curves = []
    for h in columns:
        signal = numbers_of(source.path, table, h, source.where)
        source.role(h, "signal", of=of(h))
        codes = np.zeros(len(table), dtype=np.int8)
        for _, rows in groups(source.path, codes, [h], np.isnan(varied) | np.isnan(signal), source.notes):
            curves.append(make(h, rows, signal))
    return curves
