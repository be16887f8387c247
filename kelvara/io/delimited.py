"""Delimited text tables (CSV, semicolons, tabs; long, wide, series, denaturations, or numbers without
a header): located, parsed by pandas, and handed to the layouts; a concentration stated above the
header serves the file's curves."""

from __future__ import annotations

import math
import re
from typing import List, Optional

from kelvara.io.layouts import from_table
from kelvara.io.reading import FileRead, FileReading, ReadError, ReadOptions
from kelvara.io.tables import table_source
from kelvara.io.text import (NA_VALUES, Sample, blank, cells_of, decimal_mark, is_comment, line_numbers, locate, numeric,
                             separator)
from kelvara.units import PLAUSIBLE_MOLAR, parse_concentration

MAX_COLUMNS = 4000  # a wide table of spectra at every 0.25 nm from 200 to 1100 nm fits
_SEPARATOR_NAMES = {",": "commas", ";": "semicolons", "\t": "tabs"}


def read_delimited(sample: Sample, options: ReadOptions) -> FileRead:
    """Delimited text in any layout (see kelvara.io.layouts)."""
    import pandas as pd

    path, encoding, lines = sample.file, sample.encoding, sample.lines
    reading = FileReading(str(path), "")
    notes: List[str] = []
    if not any(line.strip() for line in lines):
        raise ReadError(f"{path} is empty")
    sep = separator(lines)
    widest = max(range(len(lines)), key=lambda i: lines[i].count(sep))
    if lines[widest].count(sep) >= MAX_COLUMNS:
        raise ReadError(f"{path}, line {widest + 1}: {lines[widest].count(sep) + 1} columns; kelvara reads tables of "
                        f"at most {MAX_COLUMNS} (is the file's layout what it seems, one row per line?)")
    decimal = decimal_mark(lines, sep, options.decimal)
    content = [(i, line) for i, line in enumerate(lines) if line.strip() and not is_comment(line)]
    split = cells_of([line for _, line in content], sep)
    located = locate(split, decimal)
    if located is None:
        if len(content) <= 1:
            raise ReadError(f"{path} has a header but no data rows" if content else f"{path} is empty")
        raise ReadError(f"{path}: no header row followed by rows of numbers (separated by "
                        f"{_SEPARATOR_NAMES[sep]}, decimal {decimal!r})")
    if located.bare_header is not None:
        if not options.wavelength and not given_per_column(options, located.bare_header):
            raise bare_header_error(path, content[located.first - 1][0] + 1, located.bare_header, options)
        located.header = located.first - 1  # curves whose concentrations --c-tot gives, or wavelengths
    headerless = located.header is None
    if located.header is not None:
        unnamed_columns(path, len(split[located.header]),
                        [(content[k][0] + 1, row) for k, row in enumerate(split[located.first:], located.first)],
                        "line")
    first_line = content[located.first][0]
    header_line = first_line - 1 if located.header is None else content[located.header][0]
    named, units_line = None, None
    if located.units is not None and located.header is not None:
        # Read from the row above the data; the names take their units.
        names, units = (split[j] for j in (located.header, located.units))
        named = with_units(names, units)
        names_line, header_line, units_line = header_line, content[located.first - 1][0], content[located.units][0]
    comment = any(is_comment(line) for line in lines[header_line + 1:])
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
    if named is not None and units_line is not None:
        table.columns = named + list(table.columns[len(named):])
        where_header = f"header on line {names_line + 1}, units on line {units_line + 1}"
    else:
        where_header = f"header on line {header_line + 1}"
    layout = f"{_SEPARATOR_NAMES[sep]}, decimal {decimal!r}, " + (
        f"no header, data from line {first_line + 1}" if headerless else where_header)

    def where(positions):
        return line_numbers(path, encoding, header_line, positions, comment)

    tables = list(table_source(path, table, options, notes, where, path.stem, reading, layout, headerless))
    source = tables.pop()
    del table  # from_table lets go of it once its columns are out
    curves = from_table(source, tables.pop())
    stated = _stated_concentration(lines[:header_line])
    for curve in curves:
        curve.stated = stated
    return FileRead(curves, reading, notes)


def unnamed_columns(shown, named, rows, unit):
    """Refuse data rows wider than their header: a value without a header
    (a header cell merged over two columns leaves the second unnamed) would
    otherwise be left out unsaid.  `rows`: (number, cells) of the data; a
    row with nothing under the header is no row of the table (a stray cell)."""
    for number, cells in rows:
        if all(blank(cell) for cell in cells[:named]):
            continue
        extra = [j for j in range(named, len(cells)) if not blank(cells[j])]
        if extra:
            columns = ", ".join(str(j + 1) for j in extra)
            raise ReadError(f"{shown}, {unit} {number}: column{'s' if len(extra) > 1 else ''} {columns} "
                            f"{'hold' if len(extra) > 1 else 'holds'} values but the header names {named} columns "
                            "(a header cell merged over two columns names only the first); give every column a "
                            "header of its own")


def with_units(names, units):
    """Column names with the units of the row below them: "Temperature"
    over "°C" is "Temperature (°C)"; a name that states a unit keeps it."""
    out = []
    for j, name in enumerate(names):
        name = str(name).strip().strip('"')
        unit = str(units[j]).strip().strip('"') if j < len(units) and units[j] is not None else ""
        if unit.lower() in ("", "nan", "none") or unit in name:
            out.append(name or f"column {j + 1}")
        else:
            out.append(f"{name or f'column {j + 1}'} ({unit.strip('()[]').strip()})")
    return out


def given_per_column(options, cells) -> bool:
    """--c-tot gives one concentration per column headed by a bare number."""
    return len(options.c_tot) == sum(numeric(c, ".") for c in cells)


def bare_header_error(path, line, cells, options):
    bare = [c for c in cells if numeric(c, ".")]
    shown = ", ".join(bare[:4]) + (" ..." if len(bare) > 4 else "")
    given = f" ({len(options.c_tot)} given for {len(bare)} columns)" if options.c_tot else ""
    return ReadError(f"{path}, line {line}: the header names columns by bare numbers ({shown}); a column headed "
                     "by its concentration needs the unit, e.g. '5 uM' (or by its temperature, e.g. '25 °C'), or give "
                     f"each column's concentration with --c-tot, in order{given}; columns headed by wavelengths are "
                     "read with --wavelength, e.g. --wavelength 600nm")


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
