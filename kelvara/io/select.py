"""What is fitted: `--range 5:85C` keeps the points within a range of temperatures (or of
concentrations, for a series), `--exclude 62.5C` and `--exclude 60:64C` drop a point or a span
(`62.5C@10 µM`: of that curve only).  Each is checked when given and reported with what it dropped."""

from __future__ import annotations

import dataclasses
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from kelvara.curves import Curve
from kelvara.io.given import Span, parse_span
from kelvara.io.reading import MIN_POINTS, ReadError
from kelvara.units import concentration_label, temperature_label


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
