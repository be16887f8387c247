"""How files were read, as data: the report of each file (layout, every column's role and unit, the
curves), the whole reading, the error every reader raises, and the curves on their way from a file."""

from __future__ import annotations

import math
import re
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple, Union

import numpy as np

from kelvara.curves import Curve
from kelvara.io.errors import MissingColumn, ReadError  # noqa: F401 (the readers take both from here)
from kelvara.io.given import check_wavelengths, checked
from kelvara.units import concentration_label, temperature_label

MIN_POINTS = 5  # a curve of fewer points fits nothing


@dataclass
class ColumnReading:
    """One column of a file: its 1-based position (None for a value an
    instrument file states by key), its header, the role it was given
    (temperature, signal, concentration, curve, solvent or unused), the
    unit assumed, in words, and the curve it belongs to, if one."""

    position: Optional[int]
    header: str
    role: str
    unit: str = ""
    of: str = ""  # the curve or sample the column belongs to, where it serves one


@dataclass
class CurveReading:
    """One curve as read: label, concentration (mol/L; None for a series),
    points, what varies and its range (K, mol/L or fraction), the fixed
    temperature of a series or denaturation (K), and where c_tot came from."""

    label: str
    c_tot: Optional[float]
    points: int
    varies: str
    low: float
    high: float
    temperature: Optional[float] = None
    c_tot_from: str = "file"


@dataclass
class FileReading:
    """How one file was read."""

    path: str
    layout: str
    details: str = ""
    columns: List[ColumnReading] = field(default_factory=list)
    curves: List[CurveReading] = field(default_factory=list)
    temperature_unit: str = "K"  # the unit the file's temperatures came in: "K" or "°C"

    def text(self) -> str:
        lines = [f"read {self.path} as {self.layout}" + (f"; {self.details}" if self.details else "") + ":"]
        width = max((len(_column_name(c)) for c in self.columns), default=0)
        for c in self.columns:
            lines.append(f"  {_column_name(c):{width}}  {c.role}" + (f", {c.unit}" if c.unit else "")
                         + (f", of {c.of}" if c.of else ""))
        kinds = Counter(c.varies for c in self.curves)
        lines.append(f"  {len(self.curves)} curve(s): "
                     + ", ".join(f"{n} against {kind}" for kind, n in kinds.items()))
        for curve in self.curves:
            lines.append(f"    {curve.label}: {_curve_words(curve, self.temperature_unit)}")
        return "\n".join(lines)

    def to_dict(self) -> dict:
        return {
            "path": self.path, "layout": self.layout, "details": self.details,
            "temperature_unit": self.temperature_unit,
            "columns": [dict(position=c.position, header=c.header, role=c.role, unit=c.unit, of=c.of)
                        for c in self.columns],
            "curves": [dict(label=c.label, c_tot=c.c_tot, c_tot_from=c.c_tot_from, points=c.points, varies=c.varies,
                            low=c.low, high=c.high, temperature=c.temperature) for c in self.curves],
        }


def _column_name(c: ColumnReading) -> str:
    where = f"column {c.position}" if c.position is not None else "value"
    return f"{where} {c.header!r}" if c.header != f"column {c.position}" else where


def _curve_words(c: CurveReading, unit: str) -> str:
    def temperature(kelvin):
        return temperature_label(kelvin, unit)

    if c.varies == "temperature":
        span = f"{temperature(c.low)} to {temperature(c.high)}"
    elif c.varies == "concentration":
        span = f"c_tot {concentration_label(c.low)} to {concentration_label(c.high)}"
    elif c.varies == "time":
        span = f"{c.low:.4g} to {c.high:.4g} s"
    else:
        span = f"good-solvent fraction {c.low:.3g} to {c.high:.3g}"
    words = [] if c.c_tot is None else [f"c_tot {concentration_label(c.c_tot)}"
                                        + ("" if c.c_tot_from == "file" else f" ({c.c_tot_from})")]
    if c.temperature is not None:
        words.append(f"at {temperature(c.temperature)}")
    return ", ".join(words + [f"{c.points} points", span])


_LENGTH_UNITS = {"cm": 1.0, "mm": 0.1, "µm": 1e-4, "um": 1e-4, "m": 100.0}


def path_length_cm(given) -> float:
    """A cell's path length in cm: a number (cm), or text with its unit
    ("1mm", "10 mm", "0.1 cm"); anything else, or not above 0, is refused."""
    if isinstance(given, (int, float)) and not isinstance(given, bool):
        value, unit = float(given), "cm"
    else:
        found = re.fullmatch(r"\s*([0-9.]+(?:[eE][-+]?\d+)?)\s*([a-zµ]*)\s*", str(given))
        if not found or found.group(2) not in ("", *_LENGTH_UNITS):
            raise ReadError(f"--path-length takes a length with its unit (1mm, 10 mm, 0.1cm; cm without one), "
                            f"not {given!r}")
        value, unit = float(found.group(1)), found.group(2) or "cm"
    cm = value * _LENGTH_UNITS[unit]
    if not (math.isfinite(cm) and cm > 0.0):
        raise ReadError(f"--path-length must be above 0, not {given!r}")
    return cm


VARY = ("auto", "temperature", "concentration", "solvent", "time")
SEGMENTS = ("all", "cooling", "heating")


@dataclass(frozen=True)
class ReadOptions:
    """How files are read: the options of `read`, checked once, shared by
    `read`, the command line and the app (see `read` for each)."""

    c_tot: Tuple[Union[float, str], ...] = ()
    celsius: bool = False
    temperature_column: Optional[str] = None
    signal_column: Union[str, Tuple[str, ...], None] = None  # several: channels of the same samples
    concentration_column: Optional[str] = None
    curve_column: Optional[str] = None
    decimal: Optional[str] = None
    sheet: Optional[str] = None
    segment: str = "all"
    vary: str = "auto"
    temperature: Union[float, str, None] = None
    solvent_column: Optional[str] = None
    range: Optional[str] = None  # the points kept: "5:85C" (a series: "1uM:50uM")
    exclude: Tuple[str, ...] = ()  # points or spans dropped: "62.5C", "60:64C"
    blank: Optional[str] = None  # a file whose signal against temperature is subtracted from every curve
    blank_column: Optional[str] = None  # a column beside the signal subtracted from it, row by row
    wavelength: Tuple[str, ...] = ()  # of a table headed by wavelengths: the signal's ("600nm")
    path_length: Tuple[Union[float, str], ...] = ()  # each file's cell ("1mm"; cm without a unit), or one for all
    # Time traces: where they start (an equilibrium at this temperature; a
    # stopped-flow dilution of one; seeds added), the same for every trace.
    start_temperature: Union[float, str, None] = None
    dilution: Union[float, str, None] = None
    seeds: Union[float, str, None] = None

    def __post_init__(self):
        # One value alone ("10uM", 1e-5) is one concentration, not a sequence of characters.
        object.__setattr__(self, "c_tot", (self.c_tot,) if isinstance(self.c_tot, (str, int, float))
                           else tuple(self.c_tot or ()))
        given = (self.path_length,) if isinstance(self.path_length, (str, int, float)) else self.path_length
        object.__setattr__(self, "path_length", tuple(given or ()))
        for length in self.path_length:
            path_length_cm(length)
        object.__setattr__(self, "exclude", (self.exclude,) if isinstance(self.exclude, str)
                           else tuple(self.exclude or ()))
        checked(self.range, self.exclude)
        object.__setattr__(self, "wavelength", (self.wavelength,) if isinstance(self.wavelength, str)
                           else tuple(self.wavelength or ()))
        check_wavelengths(self.wavelength)
        if isinstance(self.signal_column, (list, tuple)):
            chosen = tuple(dict.fromkeys(str(c) for c in self.signal_column))
            if len(chosen) < len(self.signal_column):
                raise ReadError(f"a signal column is given twice: {', '.join(map(repr, self.signal_column))}")
            object.__setattr__(self, "signal_column", chosen[0] if len(chosen) == 1 else (chosen or None))
        if self.decimal not in (None, ".", ","):
            raise ReadError(f"decimal must be '.' or ',', not {self.decimal!r}")
        if self.segment not in SEGMENTS:
            raise ReadError(f"segment must be cooling, heating or all, not {self.segment!r}")
        if self.vary not in VARY:
            raise ReadError(f"vary must be one of {', '.join(VARY)}, not {self.vary!r}")

    @classmethod
    def of(cls, given: Any) -> "ReadOptions":
        """The reading options among an object's attributes (the command
        line's parsed options); absent ones take their defaults."""
        return cls(**{name: getattr(given, name) for name in cls.__dataclass_fields__ if hasattr(given, name)
                      and getattr(given, name) is not None})

    @property
    def channels(self) -> Tuple[str, ...]:
        """The signal columns read as channels of the same samples (none
        when one signal, or none, is chosen)."""
        return self.signal_column if isinstance(self.signal_column, tuple) else ()

    def to_dict(self) -> Dict[str, Any]:
        """The options given (not at their defaults), as plain data."""
        out: Dict[str, Any] = {}
        for name in self.__dataclass_fields__:
            value = getattr(self, name)
            if value not in (None, (), False):
                out[name] = list(value) if isinstance(value, tuple) else value
        return out


@dataclass
class Reading:
    """What `read` gives: the curves, how each file was read, and the notes
    (rows dropped, stages left out)."""

    curves: List[Curve]
    files: List[FileReading]
    notes: List[str]
    options: ReadOptions = field(default_factory=ReadOptions)
    blank: Optional[Dict[str, Any]] = None  # the blank file subtracted: path, sha256, points, low, high (K)

    def __iter__(self):
        """The curves: a Reading goes straight to `fit` and `compare`."""
        return iter(self.curves)

    def __len__(self) -> int:
        return len(self.curves)

    def __getitem__(self, index):
        return self.curves[index]

    @property
    def temperature_unit(self) -> str:
        """"°C" when every file with temperatures gave them in Celsius, else "K"."""
        units = {f.temperature_unit for f in self.files if any(c.varies == "temperature" or c.temperature
                                                               is not None for c in f.curves)}
        return "°C" if units == {"°C"} else "K"

    def text(self) -> str:
        return "\n".join([f.text() for f in self.files] + [f"note: {n}" for n in self.notes])

    def to_dict(self) -> dict:
        out = {"files": [f.to_dict() for f in self.files], "notes": list(self.notes),
               "options": self.options.to_dict()}
        if self.blank is not None:
            out["blank"] = dict(self.blank)
        return out


@dataclass
class FileRead:
    """What a reader gives for one file: its curves (perhaps still without
    their concentration), how it was read, and its notes."""

    curves: List["PendingCurve"]
    reading: FileReading
    notes: List[str] = field(default_factory=list)
    ignored: Tuple[str, ...] = ()  # the options given that its format does not use (ReadOptions' names)
    called: str = ""  # what its format is called ("a Cary thermal export")


@dataclass
class PendingCurve:
    """A curve read from a file, perhaps still without its concentration
    (or, for a series, its temperature)."""

    temperature: Union[np.ndarray, float, None]
    signal: np.ndarray
    c_tot: Union[float, np.ndarray, None]
    label: str
    path: str
    signal_name: Optional[str] = None
    vary: str = "temperature"
    solvent: Optional[np.ndarray] = None
    stated: Optional[float] = None  # a concentration stated above the header, when --c-tot gives none
    titled: Optional[float] = None  # a concentration a title names: only checked against --c-tot
    file: int = 0  # which file, in the order given
    c_tot_from: str = "file"
    names_condition: bool = False  # the label is (or states) its concentration, or a series' temperature
    label_stages: bool = False  # every stage is labelled "(cooling)" or "(heating)", even when it is the only one
    stage: Optional[str] = None  # "cooling" or "heating", once split
    stage_number: int = 1  # the first, second, ... stage of that kind of its sample
    sample: Optional[str] = None  # the label before the split: the stages of one sample share it
    hysteresis: Optional[str] = None  # the sentence, when its cooling and heating differ beyond the noise
    time: Optional[np.ndarray] = None  # s, per point of a time trace


def note_dropped(path, dropped, notes):
    if dropped:
        total = sum(n for _, n in dropped)
        where = ", ".join(f"{n} from {name}" for name, n in dropped)
        notes.append(f"{path}: dropped {total} row(s) with missing values ({where})")
