"""Reading measured curves from the files labs write, with their units.

    >>> from kelvara.io import read, read_curves
    >>> curves = read_curves(["cd_5uM.txt", "cd_10uM.txt"])          # JASCO exports
    >>> curves = read_curves("melts.csv", c_tot=["5 uM", "10 uM"])    # Cary export
    >>> reading = read("melts.csv"); print(reading.text())             # how it was read

Layouts, told apart by their content (not by the file name):

- long: one row per point, with temperature, signal and concentration
  columns and an optional ``curve`` column;
- wide: a temperature column and one signal column per curve, each headed by
  its concentration with a unit (``5 uM``, ``c = 1e-5 M``, ``10µM``);
- a temperature and a signal column only: one curve, its concentration given
  with ``c_tot``;
- numbers without a header: two columns are temperature and signal; more
  are chosen by their 1-based position (``temperature_column="1"``);
- JASCO CD temperature scans (``XYDATA``), one curve per file;
- Agilent Cary UV-vis thermal exports, one or more samples, each split where
  the temperature turns into its cooling and heating stages;
- Excel ``.xlsx`` workbooks (the first sheet holding a table, or ``sheet``),
  long or wide.

Columns take their role from a unit in their header (``Sample Temp (°C)`` is
a temperature, ``[PBI] (uM)`` a concentration) or from their first word.
Text may be separated by commas, semicolons or tabs, use decimal commas, be
UTF-8 (with or without a byte-order mark), UTF-16 with a BOM or cp1252, and
carry metadata lines before its header and ``#`` comments.  Empty, NA, NaN
and #N/A cells drop their row, with a note.  Temperatures come out in kelvin
and concentrations in mol/L; numbers that cannot be in the unit they are
taken for (Celsius above 150, kelvin above 600 or below 150, a bare
concentration of 0.5 mol/L) are refused, as are curves of fewer than 5
points and readings that would split a file into more than 30 curves by the
values of a column.  Every problem is a `ReadError` (a ValueError) of one
sentence naming the file, its 1-based line and column.  `read` says how each
file was read: its layout, every column's role and unit, and the curves.

Needs pandas (the ``fit`` extra).
"""

from kelvara.io.detect import FORMATS, Format, read, read_curves
from kelvara.io.reading import (
    MIN_POINTS,
    VARY,
    ColumnReading,
    CurveReading,
    FileRead,
    FileReading,
    ReadError,
    Reading,
    ReadOptions,
)
from kelvara.io.tables import MAX_CURVES_FROM_VALUES, ROLES
from kelvara.io.text import NA_VALUES
from kelvara.io.units import (
    CELSIUS_RANGE,
    KELVIN_CEILING,
    concentration_argument,
    header_temperature,
    temperature_argument,
)
from kelvara.units import parse_concentration

__all__ = [
    "CELSIUS_RANGE",
    "FORMATS",
    "KELVIN_CEILING",
    "MAX_CURVES_FROM_VALUES",
    "MIN_POINTS",
    "NA_VALUES",
    "ROLES",
    "VARY",
    "ColumnReading",
    "CurveReading",
    "FileRead",
    "FileReading",
    "Format",
    "ReadError",
    "ReadOptions",
    "Reading",
    "concentration_argument",
    "header_temperature",
    "parse_concentration",
    "read",
    "read_curves",
    "temperature_argument",
]
