"""Spectra: tables headed by wavelengths.  `--wavelength 600nm` (or several) picks, from variable-
temperature spectra (a temperature per row, a wavelength per column), a dilution series of spectra
(a concentration per row) or spectra by column (a wavelength per row, a temperature per column),
the signal at the nearest measured wavelength (within half the grid's spacing, each measured
wavelength once): one curve per wavelength asked, several of them channels of the same sample."""

from __future__ import annotations

from typing import Dict, List

import numpy as np

from kelvara.io.given import wavelength_of
from kelvara.io.reading import PendingCurve, ReadError
from kelvara.io.tables import TableSource, concentrations, numbers_of, role_of, temperatures
from kelvara.io.units import header_temperature

_WAVELENGTH_WORDS = {"wavelength", "lambda", "λ", "wl", "nm"}


def by_wavelength(source: TableSource, table, headers) -> List[PendingCurve]:
    """The curves at the wavelengths asked (see the module)."""
    path, options = source.path, source.options
    asked = [wavelength_of(w) for w in options.wavelength]
    columns = {h: wavelength_of(h) for h in headers[1:]}
    columns = {h: w for h, w in columns.items() if w is not None}
    if len(columns) >= 2:
        return _by_column(source, table, headers, columns, asked)
    temperatures_in_header = {h: header_temperature(h) for h in headers[1:]}
    temperatures_in_header = {h: t for h, t in temperatures_in_header.items() if t is not None}
    first = str(headers[0])
    # "Wavelength (nm)": its unit would read as nM to the concentration's rules.
    if len(temperatures_in_header) >= 2 and first.strip().lower().split(" ")[0].strip("()[]/") in _WAVELENGTH_WORDS:
        return _by_row(source, table, first, temperatures_in_header, asked)
    raise ReadError(f"{path}: --wavelength needs a table headed by wavelengths (columns '300 nm' or 300 beside "
                    "a temperature or concentration column), or a wavelength column beside columns headed by "
                    "temperatures ('20 °C')")


def _nearest(path, measured, asked, where):
    """The index of the measured wavelength nearest to each asked: refused
    where none lies within half the grid's spacing (1 nm at least), and
    where two asked land on one measured (its points would be fitted twice,
    the errors shrinking by the square root of two).  `where(j)` names
    measured j in messages ("column '600'", "line 12")."""
    measured = np.asarray(measured, dtype=float)
    step = float(np.median(np.abs(np.diff(np.sort(measured))))) if measured.size > 1 else 0.0
    grid = f"the measured run {measured.min():g} to {measured.max():g} nm" + (f", every {step:g} nm" if step else "")
    chosen: Dict[float, float] = {}
    out = []
    for wanted in asked:
        j = int(np.argmin(np.abs(measured - wanted)))
        if abs(measured[j] - wanted) > max(step, 1.0) and not measured.min() <= wanted <= measured.max():
            raise ReadError(f"{path}: --wavelength {wanted:g}nm lies outside the measured {measured.min():g} to "
                            f"{measured.max():g} nm")
        if abs(measured[j] - wanted) > max(0.5 * step, 1.0):
            raise ReadError(f"{path}: --wavelength {wanted:g}nm: no wavelength was measured near it (the nearest, "
                            f"{where(j)} at {measured[j]:g} nm, lies {abs(measured[j] - wanted):g} nm away; {grid})")
        if j in chosen:
            raise ReadError(f"{path}: --wavelength {chosen[j]:g}nm and {wanted:g}nm both read {where(j)} "
                            f"({measured[j]:g} nm): its points would be fitted twice; ask each measured wavelength "
                            f"once ({grid})")
        chosen[j] = wanted
        out.append(j)
    return out


def _label(source, wavelength, several):
    return f"{source.stem} · {wavelength:g} nm" if several else source.stem


def _by_column(source, table, headers, columns, asked):
    """A row per temperature (or concentration), a column per wavelength."""
    path, options = source.path, source.options
    x_col = headers[0]
    role = role_of(x_col)
    names, measured = list(columns), list(columns.values())
    several = len(asked) > 1
    curves, chosen = [], []
    if role == "concentration" or options.vary == "concentration":
        codes, values = concentrations(source, table, x_col)
        c_tot = values[codes]
        source.reading.layout = "spectra, a concentration per row and a wavelength per column"
    else:
        kelvin = temperatures(source, x_col, numbers_of(path, table, x_col, source.where))
        source.reading.layout = "spectra, a temperature per row and a wavelength per column"
    for wanted, j in zip(asked, _nearest(path, measured, asked, lambda j: f"column {names[j]!r}")):
        header = names[j]
        signal = numbers_of(path, table, header, source.where)
        source.role(header, "signal", "", of=f"{wanted:g} nm asked, {measured[j]:g} nm measured")
        chosen.append(f"{wanted:g} nm: column {header!r} ({measured[j]:g} nm)")
        name = f"{measured[j]:g} nm"
        if role == "concentration" or options.vary == "concentration":
            keep = ~np.isnan(signal) & (codes >= 0)
            curves.append(PendingCurve(None, signal[keep], c_tot[keep], _label(source, measured[j], several),
                                       str(path), name, vary="concentration"))
        else:
            keep = ~np.isnan(signal) & np.isfinite(kelvin)
            curves.append(PendingCurve(kelvin[keep], signal[keep], None, _label(source, measured[j], several),
                                       str(path), name))
    source.notes.append(f"{path}: the wavelengths asked, at the nearest measured: {'; '.join(chosen)}")
    _fold_unused(source, names, f"{len(names)} columns headed by wavelengths, {min(measured):g} to "
                                f"{max(measured):g} nm")
    return curves


def _fold_unused(source, headers, words):
    """The report names the columns read; the others of a spectrum are one
    phrase of its details, not hundreds of lines."""
    folded = set(headers)
    source.reading.columns = [c for c in source.reading.columns if c.header not in folded or c.role != "unused"]
    source.reading.details = (source.reading.details + "; " if source.reading.details else "") + words


def _by_row(source, table, first, columns, asked):
    """A row per wavelength, a column per temperature (in the header)."""
    path = source.path
    measured = numbers_of(path, table, first, source.where)
    source.role(first, "wavelength", "nm")
    source.reading.layout = "spectra, a wavelength per row and a temperature per column"
    names = list(columns)
    kelvin = np.array([columns[h] for h in names])
    if not any(str(h).strip().lower().endswith("k") for h in names):
        source.reading.temperature_unit = "°C"
    several = len(asked) > 1
    curves, chosen = [], []
    _fold_unused(source, names, f"{len(names)} columns headed by temperatures, {names[0]} to {names[-1]}, each "
                                f"a spectrum of {len(measured)} wavelengths")
    for wanted, row in zip(asked, _nearest(path, measured, asked, lambda j: f"line {source.where([j])[0]}")):
        signal = np.array([numbers_of(path, table, h, source.where)[row] for h in names])
        keep = ~np.isnan(signal)
        chosen.append(f"{wanted:g} nm: line {source.where([row])[0]} ({measured[row]:g} nm)")
        curves.append(PendingCurve(kelvin[keep], signal[keep], None, _label(source, measured[row], several),
                                   str(path), f"{measured[row]:g} nm"))
    source.notes.append(f"{path}: the wavelengths asked, at the nearest measured: {'; '.join(chosen)}")
    return curves
