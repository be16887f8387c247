"""What is fitted: `--range 5:85C` keeps the points within a range of temperatures (or of
concentrations, for a series), `--exclude 62.5C` and `--exclude 60:64C` drop a point or a span
(`62.5C@10 µM`: of that curve only).  Each is checked when given and reported with what it dropped."""

from __future__ import annotations

import dataclasses
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from kelvara.curves import Curve
from kelvara.io.reading import MIN_POINTS, ReadError
from kelvara.units import (
    UnitError,
    concentration_argument,
    concentration_label,
    split_unit,
    temperature_argument,
    temperature_label,
    temperature_unit,
)


class Span(NamedTuple):
    """A range as given: what it applies to ("temperature" or
    "concentration"), its ends in K or mol/L (None: open), whether it is one
    value, and the text."""

    vary: str
    low: Optional[float]
    high: Optional[float]
    single: bool
    text: str
    celsius: bool = False  # given in °C: shown in °C
    curve: Optional[str] = None  # the one curve it applies to, by label ("62.5C@10 µM")


def parse_span(text: str, what: str) -> Span:
    """A range "5:85C", "278:358K", "1uM:50uM", ":85C", or (for --exclude)
    one value "62.5C": the unit at the end serves both ends.  "@LABEL" after
    it names the one curve it applies to."""
    text = str(text).strip()
    values, at, curve = text.partition("@")
    if at and not curve.strip():
        raise ReadError(f"{what} {text!r}: name the curve after @, by its label (e.g. 62.5C@10 µM), or leave out "
                        "the @ for every curve")
    parts = values.split(":")
    if len(parts) > 2 or not any(p.strip() for p in parts):
        raise ReadError(f"{what} {text!r}: give a range LOW:HIGH with a unit, e.g. {_EXAMPLE[what]}")
    if len(parts) == 1 and what == "--range":
        raise ReadError(f"{what} {text!r} is one value; give a range LOW:HIGH, e.g. 5:85C (either end may be left "
                        "open: :85C)")
    unit = split_unit(parts[-1].strip())[1] or split_unit(parts[0].strip())[1]
    if not unit:
        raise ReadError(f"{what} {text!r}: give the unit, e.g. {_EXAMPLE[what]} (°C or K, or a concentration "
                        "unit such as uM for a series)")
    vary = "temperature" if temperature_unit(unit) in ("K", "C") else "concentration"
    ends: List[Optional[float]] = []
    for part in parts:
        part = part.strip()
        if not part:
            ends.append(None)
            continue
        number, own = split_unit(part)
        if number is None:
            raise ReadError(f"{what} {text!r}: {part!r} is not a number, e.g. {_EXAMPLE[what]}")
        try:
            # The part as given (its own unit, or the range's): never a number re-written from a misreading.
            given = part if own else part + unit
            if vary == "temperature":
                ends.append(temperature_argument(given, what=what))
            else:
                ends.append(concentration_argument(given, what)[0])
        except UnitError as error:
            raise ReadError(f"{what} {text!r}: {error}") from None
    celsius = temperature_unit(unit) == "C"
    if len(ends) == 1:
        return Span(vary, ends[0], ends[0], True, text, celsius, curve.strip() or None)
    low, high = ends
    if low is not None and high is not None and low > high:
        raise ReadError(f"{what} {text!r}: the low end lies above the high end")
    return Span(vary, low, high, False, text, celsius, curve.strip() or None)


_EXAMPLE = {"--range": "5:85C", "--exclude": "62.5C or 60:64C"}


def select(curves: List[Curve], kept: Optional[str], excluded: Sequence[str], notes: List[str]) -> List[Curve]:
    """The curves with only the points inside `kept` and outside every span
    of `excluded` (a single value drops each curve's point nearest to it,
    within half the curve's spacing), each with a note of what it dropped.
    A span that applies to no curve, a value with no point, or a curve left
    with too few points is an error."""
    spans = ([parse_span(kept, "--range")] if kept else []) + [parse_span(e, "--exclude") for e in excluded]
    if not spans:
        return curves
    drop = [np.zeros(c.size, dtype=bool) for c in curves]
    for k, span in enumerate(spans):
        what = "--range" if kept and k == 0 else "--exclude"
        applies = [i for i, c in enumerate(curves) if c.vary == span.vary and span.curve in (None, c.name)]
        if span.curve is not None and not applies:
            labels = ", ".join(repr(c.name) for c in curves[:6]) + (" ..." if len(curves) > 6 else "")
            raise ReadError(f"{what} {span.text}: no curve {span.curve!r} against {span.vary}; the curves are {labels}")
        if not applies:
            raise ReadError(f"{what} {span.text}: no curve varies {span.vary} (the curves vary "
                            f"{', '.join(sorted({str(c.vary) for c in curves}))})")
        dropped = 0
        for i in applies:
            x = curves[i].x
            if span.single:
                assert span.low is not None
                near = _nearest(x, span.low, span.vary)
                inside = np.zeros(x.size, dtype=bool)
                if near is not None:
                    inside[near] = True
            else:
                inside = np.ones(x.size, dtype=bool)
                if span.low is not None:
                    inside &= x >= span.low
                if span.high is not None:
                    inside &= x <= span.high
            gone = inside if what == "--exclude" else ~inside
            dropped += int(np.count_nonzero(gone & ~drop[i]))
            drop[i] |= gone
        if span.single and dropped == 0:
            raise ReadError(f"--exclude {span.text}: no curve has a point there")
        total = sum(curves[i].size for i in applies)
        notes.append(f"{what} {span.text} ({_shown(span)}): dropped {dropped} of {total} points")
    out = []
    for curve, gone in zip(curves, drop):
        if not gone.any():
            out.append(curve)
            continue
        if curve.size - int(gone.sum()) < MIN_POINTS:
            raise ReadError(f"curve {curve.name!r} keeps {curve.size - int(gone.sum())} point(s) of {curve.size} "
                            f"within --range and --exclude; a curve needs at least {MIN_POINTS}")
        keep = ~gone
        per_point: Dict[str, Any] = {name: np.asarray(getattr(curve, name))[keep]
                                     for name in ("temperature", "c_tot", "solvent", "signal")
                                     if np.ndim(getattr(curve, name)) == 1}
        out.append(dataclasses.replace(curve, **per_point))
    return out


def _nearest(x, value, vary) -> Optional[int]:
    """The point nearest to `value`: a temperature within half the curve's
    spacing (0.01 K at least), a concentration within 1 % (a series'
    spacing is on a log scale)."""
    j = int(np.argmin(np.abs(x - value)))
    if vary == "concentration":
        tolerance = 0.01 * abs(value)
    else:
        steps = np.abs(np.diff(np.sort(x)))
        steps = steps[steps > 0]
        tolerance = max(0.5 * float(np.median(steps)) if steps.size else 0.0, 0.01)
    return j if abs(x[j] - value) <= tolerance else None


def _shown(span: Span) -> str:
    def one(v):
        if v is None:
            return "open"
        return temperature_label(v, "°C" if span.celsius else "K") if span.vary == "temperature" else concentration_label(v)

    return one(span.low) if span.single else f"{one(span.low)} to {one(span.high)}"


def checked(kept: Optional[str], excluded: Sequence[str]) -> Tuple[Optional[str], Tuple[str, ...]]:
    """The options as given, each parsed once to refuse a bad one early."""
    if kept is not None:
        parse_span(kept, "--range")
    for e in excluded:
        parse_span(e, "--exclude")
    return kept, tuple(excluded)

