"""Excel workbooks, read through openpyxl's read-only mode at the cost of the cells that exist: the
first sheet holding a table, or the one named (any case) or numbered."""

from __future__ import annotations

import math
from contextlib import contextmanager
from typing import List, Tuple

from kelvara.io.delimited import MAX_COLUMNS, bare_header_error, given_per_column, unnamed_columns, with_units
from kelvara.io.layouts import from_table
from kelvara.io.reading import FileRead, FileReading, ReadError, ReadOptions, PendingCurve
from kelvara.io.tables import table_source
from kelvara.io.text import NA_VALUES, Sample, blank, locate


def _sheet_rows(sheet, shown, notes) -> List[Tuple[int, list]]:
    """(1-based row number, cells) of the rows that hold something, trailing
    empty cells cut: the cost follows the cells that exist, not the range a
    sheet claims (a stray cell in column XFD would otherwise make every row
    16,384 cells wide).  A row with a value beyond MAX_COLUMNS beside values
    within them is refused, as a line of text that wide is; a row of nothing
    but such far values is left out, with a note."""
    rows, far, unvalued = [], [], []
    for number, present in _present_cells(sheet):
        held = [(column, value) for column, value in present if not blank(value)]
        if held:
            unvalued += [(number, column) for column, value in present if value is None]
        present = held
        if not present:
            continue
        last = max(column for column, _ in present)
        if last > MAX_COLUMNS:
            if any(column <= MAX_COLUMNS for column, _ in present):
                raise ReadError(f"{shown}, row {number}: a value in column {last}; kelvara reads tables of at most "
                                f"{MAX_COLUMNS} columns (is the sheet's layout what it seems?)")
            far.append(number)
            continue
        cells: list = [None] * last
        for column, value in present:
            cells[column - 1] = value
        rows.append((number, cells))
    if far:
        notes.append(f"{shown}: left out {len(far)} row(s) holding only values beyond column {MAX_COLUMNS} (row "
                     f"{far[0]}{' ...' if len(far) > 1 else ''})")
    uncalculated = _formulas(sheet, set(unvalued)) if unvalued else []
    if uncalculated:
        number, column = min(uncalculated)
        raise ReadError(f"{shown}, row {number}, column {column}: a formula the workbook holds no value for ("
                        f"{len(uncalculated)} such cell(s): it was saved by a program that does not calculate "
                        "formulas); open it in a spreadsheet program, save it, and read it again")
    return rows


def _formulas(sheet, cells):
    """Which of `cells` ((row, column) of cells present without a value)
    hold a formula; none where openpyxl's parser is not what this code knows."""
    with _parsed(sheet, formulas=True) as rows:
        return [] if rows is None else [(number, cell["column"]) for number, row in rows for cell in row
                                        if cell.get("data_type") == "f" and (number, cell["column"]) in cells]


def _present_cells(sheet):
    """(row number, [(column, value), ...]) of the cells a sheet's file
    holds, read by openpyxl's own parser without the padding of its rows;
    through its rows, at most MAX_COLUMNS wide, where that parser is not
    what this code knows."""
    with _parsed(sheet) as rows:
        if rows is None:
            if hasattr(sheet, "reset_dimensions"):
                sheet.reset_dimensions()
            rows = enumerate(sheet.iter_rows(values_only=True, max_col=MAX_COLUMNS + 1), start=1)
            for number, row in rows:
                yield number, list(enumerate(row, start=1))
            return
        for number, row in rows:
            yield number, [(cell["column"], cell["value"]) for cell in row]


@contextmanager
def _parsed(sheet, formulas=False):
    """The rows of a sheet's file as openpyxl's own parser reads them
    ((row number, cells as dicts)), formulas as formulas or, as the book
    was opened, their values; None where that parser is not what this
    code knows."""
    try:
        from openpyxl.worksheet._reader import WorkSheetParser

        book = sheet.parent
        formats = {} if formulas else {"data_only": book.data_only, "epoch": book.epoch,
                                       "date_formats": book._date_formats}
        if not formulas and hasattr(book, "_timedelta_formats"):
            formats["timedelta_formats"] = book._timedelta_formats
        source = sheet._get_source()
    except (ImportError, AttributeError):
        yield None
        return
    try:
        yield WorkSheetParser(source, sheet._shared_strings, **formats).parse()
    finally:
        source.close()


def is_xlsx(sample: Sample) -> bool:
    return sample.head.startswith(b"PK\x03\x04")


def is_xls(sample: Sample) -> bool:
    return sample.head.startswith(b"\xd0\xcf\x11\xe0")


def refuse_xls(sample: Sample, options: ReadOptions) -> FileRead:
    raise ReadError(f"{sample.file}: old Excel (.xls) files are not read; save it as .xlsx or CSV")


def read_xlsx(sample: Sample, options: ReadOptions) -> FileRead:
    """An Excel workbook: the first sheet holding a table (or `sheet`), long
    or wide."""
    try:
        import openpyxl
    except ImportError:
        raise ReadError("reading Excel files needs openpyxl: python -m pip install 'kelvara[fit]'") from None
    path = sample.file
    reading = FileReading(str(path), "")
    notes: List[str] = []
    with path.open() as handle:  # a stream: openpyxl judges a path by its extension, not its content
        curves = _read_workbook(path, handle, openpyxl, options, notes, reading)
    return FileRead(curves, reading, notes)


def _read_workbook(path, handle, openpyxl, options, notes, reading) -> List[PendingCurve]:
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
                rows = _sheet_rows(book[name], f"{path} (sheet {name!r})", notes)
            except ReadError:
                raise
            except Exception as error:
                raise ReadError(f"{path}: sheet {name!r} cannot be read ({type(error).__name__})") from None
            located = locate([cells for _, cells in rows], ".")
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
        if not options.wavelength and not given_per_column(options, located.bare_header):
            raise bare_header_error(shown, rows[located.first - 1][0], located.bare_header, options)
        located.header = located.first - 1  # the numbers name curves whose concentrations --c-tot gives
    header_row = located.header
    headerless = header_row is None
    body = rows[located.first:]
    if header_row is None:
        width = max(len(cells) for _, cells in body[:3])
        headers = [f"column {j + 1}" for j in range(width)]
    else:
        header = rows[header_row][1]
        width = len(header)
        unnamed_columns(shown, width, body, "row")
        headers = [f"column {j + 1}" if blank(h) else str(h).strip() for j, h in enumerate(header)]
        if located.units is not None:
            headers = with_units(headers, rows[located.units][1])
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
    details = f"sheet {name!r}{note}, " + ("no header, data from row " f"{numbers[0]}" if header_row is None else
                                           f"header in row {rows[header_row][0]}" + (
                                               "" if located.units is None else
                                               f", units in row {rows[located.units][0]}"))
    table, source = table_source(shown, table, options, notes, where, path.stem, reading, details, headerless)
    return from_table(source, table)
