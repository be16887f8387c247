"""Text as labs write it: the encoding, a sample of the head, files read once when they are pipes or
FIFOs, separators and decimal marks, where a table of numbers starts (and whether it has a header),
and the file line of a table row."""

from __future__ import annotations

import csv
import hashlib
import io as _io
import math
import os
import pathlib
import re
import stat
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

from kelvara.io.reading import ReadError

NA_VALUES = ["", "NA", "N/A", "NaN", "nan", "#N/A", "#NA", "-", "null"]


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


class DataFile:
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


@dataclass(frozen=True)
class Sample:
    """A file as the formats tell it apart: the file, its first bytes, their
    encoding and their whole lines."""

    file: DataFile
    head: bytes
    encoding: str
    lines: List[str]


def sample(path: DataFile) -> Sample:
    return Sample(path, *_sample(path))


def _sample(path: DataFile, size=1 << 18, most=1 << 26) -> Tuple[bytes, str, List[str]]:
    """The file's first bytes (at least one whole line, if it has one within
    `most` bytes), their encoding, and their whole lines."""
    try:
        with path.open() as handle:
            head = handle.read(size)
            # Until a whole line and the start of the next: a header that
            # nearly fills the sample still comes with a row of data.
            while len(head) < most and len(head.splitlines()) < 3:
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


def numeric(cell, decimal):
    if isinstance(cell, (int, float)) and not isinstance(cell, bool):
        return math.isfinite(cell)
    cell = _unquoted(cell)
    return bool(_NUMBER.match(cell)) and ("," if decimal == "." else ".") not in cell


def _unquoted(cell) -> str:
    """A cell as text, without the quotes some programs put around every field."""
    text = str(cell).strip()
    return text[1:-1].strip() if len(text) >= 2 and text[0] == text[-1] == '"' else text


def is_comment(line):
    return line.lstrip().startswith("#")


def cells_of(lines, sep) -> List[List[str]]:
    """Each line's cells as a CSV reader splits them (a quoted cell keeps
    its separators: "A, run 1" is one cell), separators at the end of a
    line left out."""
    out = []
    for line in lines:
        if '"' not in line:
            out.append(line.rstrip().rstrip(sep).split(sep))
            continue
        # Line by line: a quote left open never joins the next line to it.
        # (A NUL in a label stands aside: the reader of Python 3.9 refuses it.)
        cells = [cell.replace("\ue000", "\x00") for cell in
                 next(csv.reader([line.rstrip("\r\n").replace("\x00", "\ue000")], delimiter=sep), [])]
        while cells and not cells[-1].strip():
            cells.pop()
        out.append(cells)
    return out


def separator(lines) -> str:
    body = [line for line in lines if line.strip() and not is_comment(line)][-30:]
    for sep in ("\t", ";", ","):
        counts = [len(cells) for cells in cells_of(body, sep)]
        if counts and max(counts) >= 2 and sum(c == max(counts) for c in counts) >= 0.6 * len(counts):
            return sep
    return ","


def decimal_mark(lines, sep, forced) -> str:
    if forced:
        return forced
    if sep == ",":
        return "."
    cells = [cell.strip() for row in cells_of([line for line in lines[-30:] if not is_comment(line)], sep)
             for cell in row]
    commas = sum(bool(re.match(r"^[-+]?\d*,\d+(?:[eE][-+]?\d+)?$", c)) for c in cells)
    points = sum(bool(re.match(r"^[-+]?\d*\.\d+(?:[eE][-+]?\d+)?$", c)) for c in cells)
    return "," if commas > points else "."


def blank(cell) -> bool:
    return cell is None or (isinstance(cell, float) and math.isnan(cell)) or not _unquoted(cell)


@dataclass
class _Located:
    header: Optional[int]  # the index (into the rows given) of the header row; None: no header
    first: int  # the index of the first row of numbers
    bare_header: Optional[List[str]] = None  # a header of unitless numbers ("T (°C),5,10,20")
    units: Optional[int] = None  # a row of units below the header (Origin's layout): its index


# What a row of units holds besides temperature and concentration units:
# the signals' (mdeg, a.u., ppm, absorbance, counts, M-1 cm-1, ...).
_SIGNAL_UNIT = re.compile(r"^(?:m?deg|a\.?\s*u\.?|arb\.?\s*units?|ppm|abs\.?|absorbance|od|counts|cps|%|nm|mau|m?v|volts?|-|"
                          r"(?:l\s*)?(?:mol|m)\s*-1\s*(?:l\s*)?cm\s*-1|m\^-1\s*cm\^-1|cm-1|mre|\w*\s*deg\s*cm2\s*dmol-1)$",
                          re.IGNORECASE)


def is_units_row(cells) -> bool:
    """Whether a row names units only ("°C, mdeg, µM"; a cell may be empty):
    the units row of Origin's layout, between the names and the data."""
    from kelvara.units import concentration_divisor, temperature_unit

    given = [str(c).strip().strip("()[]").strip() for c in cells if not blank(c)]
    if len(given) < 2:
        return False
    for unit in given:
        # One letter is a unit in capitals only: "c" and "t" are names
        # ("-" says the quantity has none).
        if len(unit) == 1 and not unit.isupper() and unit != "-":
            return False
        if temperature_unit(unit) is None and concentration_divisor(unit) is None and not _SIGNAL_UNIT.match(unit):
            return False
    return True


def locate(rows: Sequence[Sequence[object]], decimal) -> Optional[_Located]:
    """Where the table starts in rows of cells: the header is the last row
    with as many cells before the first three rows of numbers; rows of
    nothing but numbers from the first on are a table without a header.
    None when there is no table of numbers at all."""
    def cells(row):
        row = list(row)
        while row and blank(row[-1]):
            row.pop()
        return row

    def numeric_row(row):
        row = cells(row)
        numbers = sum(numeric(c, decimal) for c in row if not blank(c))
        return len(row) >= 2 and numbers >= 2 and numbers >= 0.5 * len(row)

    def all_numbers(row):
        row = cells(row)
        return len(row) >= 2 and all(blank(c) or str(c).strip() in NA_VALUES or numeric(c, decimal) for c in row)

    def gapped_row(row):
        # A row of data with missing values ("nan" where a signal was not
        # recorded): numbers and gaps only, no header.
        row = cells(row)
        return any(numeric(c, decimal) for c in row) and all_numbers(row)

    for k in range(len(rows)):
        if not all(numeric_row(row) for row in rows[k:k + 3]):
            continue
        width = len(cells(rows[k]))
        for i in range(k - 1, -1, -1):
            if len(cells(rows[i])) >= min(width, 2) and not numeric_row(rows[i]) and not gapped_row(rows[i]):
                # Origin's layout: names, a row of units, perhaps a row of
                # comments, then the data.
                for units in (i, i - 1):
                    if units >= 1 and is_units_row(rows[units]) and len(cells(rows[units - 1])) >= 2 \
                            and not is_units_row(rows[units - 1]) and not numeric_row(rows[units - 1]):
                        return _Located(units - 1, k, units=units)
                return _Located(i, i + 1)
        if all(all_numbers(row) for row in rows[k:k + 3]):
            if k == 0 or len(cells(rows[k - 1])) < 2:
                return _Located(None, k)
        if not all_numbers(rows[k]) and all(all_numbers(row) for row in rows[k + 1:k + 3]):
            # A header whose column names are bare numbers.
            return _Located(None, k + 1, [str(c).strip() for c in cells(rows[k])])
        return None
    return None


def line_numbers(path, encoding, header_line, positions, comment):
    """1-based file lines of the given data rows (0-based, in the order the
    table holds them: blank and comment lines are not rows); `header_line`
    is the 0-based line before the first data row."""
    wanted: Dict[int, Optional[int]] = {int(p): None for p in positions}
    last = max(wanted) if wanted else -1
    row = -1
    with _io.TextIOWrapper(path.open(), encoding=encoding, errors="replace", newline=None) as handle:
        for number, line in enumerate(handle, start=1):
            if number <= header_line + 1:
                continue
            if not line.strip() or (comment and is_comment(line)):
                continue
            row += 1
            if row in wanted:
                wanted[row] = number
            if row >= last:
                break
    return [wanted[int(p)] for p in positions]


def read_text(path: DataFile, encoding):
    try:
        with path.open() as handle:
            return handle.read().decode(encoding, errors="replace")
    except OSError as error:
        raise ReadError(f"cannot read {path}: {error.strerror}") from None


def file_sha256(path) -> Optional[str]:
    """The SHA-256 of a file's bytes, or None where it cannot be read."""
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as handle:
            for block in iter(lambda: handle.read(1 << 20), b""):
                digest.update(block)
    except OSError:
        return None
    return digest.hexdigest()


def whole_lines(text: str, lines, end: int, notes) -> int:
    """The end of an instrument's data rows without a last line the file
    does not end: an export ends every line, so one without its line end
    was cut short, maybe inside a number (-3 of -38.2419).  It is left out,
    with a note."""
    if end == len(lines) and end and text and not text.endswith(("\n", "\r")):
        notes.append(f"line {end}, the last, has no line end: the file was cut short, maybe inside a number; "
                     "it is left out")
        return end - 1
    return end

