"""Blanks: a reference measured over the same temperatures (the buffer in cell 1 of a multi-cell
run) subtracted from every curve, from a file of its own (`--blank FILE`, interpolated at each
curve's temperatures) or from a column beside the signal (`--blank-column`, row by row)."""

from __future__ import annotations

import dataclasses
import math
import pathlib
from typing import Dict, List, Optional, Tuple

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
    """The blank file: one signal against temperature (the same columns as
    the data's, by default), by temperature; a blank measured over a ramp
    keeps its cooling and heating stages apart, each for the data's own."""
    from kelvara.io.stages import stages

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
    t, y = curves[0].temperature, curves[0].signal
    runs = stages(t) or []
    parts: Dict[Tuple[str, int], Tuple[np.ndarray, np.ndarray]] = {}
    if len(runs) > 1:
        seen: Dict[str, int] = {}
        for stage, part in runs:
            seen[stage] = seen.get(stage, 0) + 1
            if part.stop - part.start >= 2:
                parts[(stage, seen[stage])] = _by_temperature(t[part], y[part])
    whole = _by_temperature(t, y)
    return Blank(str(path), whole[0], whole[1], file_sha256(path), done.reading.temperature_unit, parts)


def _by_temperature(t, y):
    """(temperatures increasing, the mean signal at each)."""
    kelvin, where = np.unique(t, return_inverse=True)
    return kelvin, np.bincount(where, weights=y) / np.bincount(where)


@dataclasses.dataclass
class Blank:
    """A blank read: its file, temperatures (K, increasing), signal at them,
    the file's SHA-256, the unit its temperatures came in, and, for a blank
    measured over a ramp, each stage's temperatures and signal by (kind,
    number): ("cooling", 1), ("heating", 1), ("cooling", 2) ..."""

    path: str
    temperature: np.ndarray
    signal: np.ndarray
    sha256: Optional[str]
    unit: str
    stages: Dict[Tuple[str, int], Tuple[np.ndarray, np.ndarray]] = dataclasses.field(default_factory=dict)

    def _own(self, stage: Optional[str], number: int, name: str) -> Tuple[np.ndarray, np.ndarray]:
        """The blank for a stage of the data: the whole blank where it has
        one stage, else its stage of the same kind and number (the first of
        that kind where it has fewer)."""
        if not self.stages:
            return self.temperature, self.signal
        kinds = [key for key in sorted(self.stages, key=lambda k: k[1]) if key[0] == stage]
        if not kinds:
            held = " and ".join(sorted({kind for kind, _ in self.stages}))
            what = f"a {stage} stage" if stage else "not a ramp of cooling or heating stages"
            raise ReadError(f"--blank {self.path}: the blank holds {held} stages, each subtracted from the data's "
                            f"own, but curve {name!r} is {what}")
        own = next((key for key in kinds if key[1] == number), kinds[0])
        return self.stages[own]

    def subtracted(self, p):
        """A curve read (PendingCurve) less its blank, interpolated at its
        temperatures (where it reaches beyond the blank, reach() refuses it
        once --range and --exclude have had their say)."""
        if p.vary != "temperature" or not isinstance(p.temperature, np.ndarray):
            raise ReadError(f"--blank {self.path}: curve {p.label!r} varies {p.vary}; a blank is subtracted from "
                            "curves against temperature")
        t, y = self._own(p.stage, p.stage_number, p.label)
        return dataclasses.replace(p, signal=p.signal - np.interp(p.temperature, t, y))

    def reach(self, curves: List[Curve], stages: List[Tuple[Optional[str], int]], notes: List[str]) -> None:
        """Refuse a curve that reaches beyond the temperatures of its blank
        (`stages`: each curve's stage kind and number), and note the
        subtraction."""
        for curve, (stage, number) in zip(curves, stages):
            kelvin, _ = self._own(stage, number, curve.name)
            low, high = float(kelvin[0]), float(kelvin[-1])
            t = np.asarray(curve.temperature)
            if t.min() < low - _REACH or t.max() > high + _REACH:
                unit = curve.temperature_unit
                of = f"the blank's {stage} stage" if self.stages else "the blank"
                raise ReadError(f"--blank {self.path}: {of} spans {temperature_label(low, unit)} to "
                                f"{temperature_label(high, unit)}, but curve {curve.name!r} reaches "
                                f"{temperature_label(float(t.min()), unit)} to "
                                f"{temperature_label(float(t.max()), unit)}; "
                                "fit only where both were measured, e.g. --range "
                                f"{_range_text(max(low, t.min()), min(high, t.max()), unit)}")
        low, high = float(self.temperature[0]), float(self.temperature[-1])
        apart = (f"; its {len(self.stages)} stages each subtracted from the data's stages of the same kind "
                 "(cooling from cooling, heating from heating), before their comparison") if self.stages else ""
        notes.append(f"subtracted the blank {self.path} (SHA-256 {self.sha256 or 'not a file'}; {self.signal.size} "
                     f"temperatures, {temperature_label(low, self.unit)} to {temperature_label(high, self.unit)}), "
                     f"interpolated at each curve's temperatures{apart}")

    def to_dict(self) -> dict:
        return {"path": self.path, "sha256": self.sha256, "points": int(self.signal.size),
                "low": float(self.temperature[0]), "high": float(self.temperature[-1]),
                "stages": [f"{kind} {number}" for kind, number in self.stages]}


def _range_text(low, high, unit):
    """The range of temperatures both were measured over, as --range takes it
    (to 0.01 K inside its ends)."""
    if unit == "°C":
        return f"{math.ceil((low - 273.15) * 100) / 100:g}:{math.floor((high - 273.15) * 100) / 100:g}C"
    return f"{math.ceil(low * 100) / 100:g}:{math.floor(high * 100) / 100:g}K"

