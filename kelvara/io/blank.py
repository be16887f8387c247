"""Blanks: a reference measured over the same temperatures (the buffer in cell 1 of a multi-cell
run) subtracted from every curve, from a file of its own (`--blank FILE`, interpolated at each
curve's temperatures) or from a column beside the signal (`--blank-column`, row by row)."""

from __future__ import annotations

import dataclasses
import math
import pathlib
from typing import List, Optional

import numpy as np

from kelvara.curves import Curve
from kelvara.io.reading import FileRead, ReadError, ReadOptions
from kelvara.io.text import file_sha256
from kelvara.units import temperature_label

# How far a curve may reach beyond the blank's temperatures (K): a
# thermometer's jitter, not an extrapolation.
_REACH = 0.05


def subtract_column(done: FileRead, blank: FileRead, column: str) -> FileRead:
    """The file's curves less the blank column read beside them, row by
    row: the same rows, so the same temperatures."""
    if len(blank.curves) != len(done.curves):
        raise ReadError(f"{done.reading.path}: --blank-column {column}: the blank column gives {len(blank.curves)} "
                        f"curve(s) where the signal gives {len(done.curves)}")
    for p, b in zip(done.curves, blank.curves):
        same = np.array_equal(np.asarray(p.temperature, dtype=float), np.asarray(b.temperature, dtype=float))
        if not same or p.signal.shape != b.signal.shape:
            raise ReadError(f"{done.reading.path}: --blank-column {column}: curve {p.label!r} and its blank do not "
                            "share their rows (a missing value in one of them?)")
        p.signal = p.signal - b.signal
    for c in blank.reading.columns:
        if c.role == "signal":
            for j, own in enumerate(done.reading.columns):
                if own.position == c.position:
                    done.reading.columns[j] = dataclasses.replace(own, role="blank", unit=c.unit)
    done.notes.append(f"{done.reading.path}: subtracted the blank column {column!r} from the signal, row by row")
    return done


def read_blank(path: str, options: ReadOptions, read_file) -> "Blank":
    """The blank file: one curve of the signal against temperature (the
    same columns as the data's, by default), by temperature."""
    own = dataclasses.replace(options, c_tot=(), segment="all", range=None, exclude=(), blank=None,
                              blank_column=None)
    try:
        done = read_file(pathlib.Path(path), own)
    except ReadError as error:
        raise ReadError(f"the blank {path}: {str(error).split(': ', 1)[-1]}") from None
    curves = [p for p in done.curves if p.vary == "temperature" and isinstance(p.temperature, np.ndarray)]
    if len(curves) != 1 or len(done.curves) != 1:
        raise ReadError(f"the blank {path} holds {len(done.curves)} curves; a blank is one signal against "
                        "temperature")
    t, where = np.unique(curves[0].temperature, return_inverse=True)
    y = np.bincount(where, weights=curves[0].signal) / np.bincount(where)
    return Blank(str(path), t, y, file_sha256(path), done.reading.temperature_unit)


@dataclasses.dataclass
class Blank:
    """A blank read: its file, temperatures (K, increasing), signal at them,
    the file's SHA-256 and the unit its temperatures came in."""

    path: str
    temperature: np.ndarray
    signal: np.ndarray
    sha256: Optional[str]
    unit: str

    def subtract(self, curves: List[Curve], notes: List[str]) -> List[Curve]:
        """Every curve against temperature less the blank interpolated at its
        temperatures; a curve reaching beyond the blank's is refused."""
        low, high = float(self.temperature[0]), float(self.temperature[-1])
        out = []
        for curve in curves:
            if curve.vary != "temperature":
                raise ReadError(f"--blank {self.path}: curve {curve.name!r} varies {curve.vary}; a blank is "
                                "subtracted from curves against temperature")
            t = np.asarray(curve.temperature)
            if t.min() < low - _REACH or t.max() > high + _REACH:
                unit = curve.temperature_unit
                raise ReadError(f"--blank {self.path}: the blank spans {temperature_label(low, unit)} to "
                                f"{temperature_label(high, unit)}, but curve {curve.name!r} reaches "
                                f"{temperature_label(float(t.min()), unit)} to {temperature_label(float(t.max()), unit)}; "
                                "fit only where both were measured, e.g. --range "
                                f"{_range_text(max(low, t.min()), min(high, t.max()), unit)}")
            out.append(dataclasses.replace(curve, signal=curve.signal - np.interp(t, self.temperature, self.signal)))
        notes.append(f"subtracted the blank {self.path} (SHA-256 {self.sha256 or 'not a file'}; {self.signal.size} "
                     f"temperatures, {temperature_label(low, self.unit)} to {temperature_label(high, self.unit)}), "
                     "interpolated at each curve's temperatures")
        return out

    def to_dict(self) -> dict:
        return {"path": self.path, "sha256": self.sha256, "points": int(self.signal.size),
                "low": float(self.temperature[0]), "high": float(self.temperature[-1])}


def _range_text(low, high, unit):
    """The range of temperatures both were measured over, as --range takes it
    (to 0.01 K inside its ends)."""
    if unit == "°C":
        return f"{math.ceil((low - 273.15) * 100) / 100:g}:{math.floor((high - 273.15) * 100) / 100:g}C"
    return f"{math.ceil(low * 100) / 100:g}:{math.floor(high * 100) / 100:g}K"

