"""Ramps: a curve whose temperature goes down and up again (90 -> 5 -> 90 °C in one file) split
into its cooling and heating stages, whatever the layout; and the cooling and heating of one sample
compared, without a model, for a hysteresis beyond the noise."""

from __future__ import annotations

import math
import pathlib
from dataclasses import replace
from typing import Dict, List, Optional, Tuple

import numpy as np

from kelvara.io.reading import MIN_POINTS, FileRead, PendingCurve, ReadError
from kelvara.units import concentration_label

# A turn is a move against the stage's direction of more than this share of
# the whole span (at least _TURN_KELVIN): an instrument's jitter and hold
# times stay inside a stage.
_TURN_SHARE = 0.03
_TURN_KELVIN = 1.0
# More stages than this is not a ramp but temperatures out of order.
_MOST_STAGES = 8
# Cooling and heating differ when their shift exceeds this many standard
# errors and this many kelvin (thermal lag of a scanning instrument stays
# below it).
_HYSTERESIS_SES = 4.0
_HYSTERESIS_KELVIN = 1.0
_WIDEST_SHIFT = 20.0  # K: the shifts tried, either way
_TRANSITION_SDS = 10.0  # a transition to compare changes the signal by this many noise SDs
_SHIFT_GAIN = 25.0  # and a shift lowers chi2 by this many noise variances below none
_SEARCH_POINTS = 4000  # of the cooling curve, the most the shifts are tried on (and the error is of)
_STEP = 0.05  # K between the shifts tried: a resolution, as a uniform error


def stages(t: np.ndarray) -> Optional[List[Tuple[str, slice]]]:
    """The runs where the temperature moves one way, as ("cooling" |
    "heating", rows), or None when the temperatures are not in the order of
    a ramp (more than a few turns).  A stage ends where its direction
    reached its extreme first; the next begins right after it."""
    t = np.asarray(t, dtype=float)
    if t.size < 2:
        return [("cooling", slice(0, t.size))]
    tolerance = max(_TURN_KELVIN, _TURN_SHARE * float(np.ptp(t)))
    moved = np.flatnonzero(np.abs(t - t[0]) > tolerance)
    if moved.size == 0:  # no move beyond the jitter: one stage, by its ends
        return [("cooling" if t[-1] <= t[0] else "heating", slice(0, t.size))]
    direction = 1.0 if t[moved[0]] > t[0] else -1.0
    out, start = [], 0
    while True:
        run = direction * t[start:]
        reached = np.maximum.accumulate(run)
        back = np.flatnonzero(reached - run > tolerance)
        if back.size == 0:
            out.append((direction, slice(start, t.size)))
            break
        turn = int(np.argmax(run[: back[0]]))  # its first point at the extreme
        out.append((direction, slice(start, start + turn + 1)))
        start, direction = start + turn + 1, -direction
        if len(out) >= _MOST_STAGES:
            return None
    return [("heating" if d > 0 else "cooling", part) for d, part in out]


def split_ramps(done: FileRead, segment: str, blank=None) -> FileRead:
    """A file's curves against temperature split into their stages (labels
    "(cooling)", "(heating)", "(cooling 2)"; a curve of one stage keeps its
    label unless its reader labels every stage), stages too short to fit
    left out with a note, the `blank` (kelvara.io.blank.Blank) subtracted
    from each stage, cooling and heating of one sample then compared, and
    only the stages of `segment` kept ("all": every one)."""
    path = done.reading.path
    curves: List[PendingCurve] = []
    short: List[str] = []
    split: List[str] = []
    for p in done.curves:
        if p.vary != "temperature" or not isinstance(p.temperature, np.ndarray):
            curves.append(p)
            continue
        runs = stages(p.temperature)
        if runs is None:
            if segment != "all":
                raise ReadError(f"{path}: --segment {segment}: the temperatures of {p.label!r} are not in the "
                                "order of a ramp (they turn more than a few times), so it has no stages")
            curves.append(p)
            continue
        if len(runs) == 1 and not p.label_stages:
            curves.append(replace(p, stage=runs[0][0], sample=p.label))
            continue
        seen: Dict[str, int] = {}
        if len(runs) > 1:
            split.append(f"{p.label} ({len(runs)})")
        for stage, part in runs:
            seen[stage] = seen.get(stage, 0) + 1
            label = f"{p.label} ({stage}{'' if seen[stage] == 1 else f' {seen[stage]}'})"
            if part.stop - part.start < MIN_POINTS:
                short.append(f"{label[len(p.label) + 2:-1]} of {p.label}, {part.stop - part.start} points")
                continue
            curves.append(replace(p, temperature=p.temperature[part], signal=p.signal[part], label=label,
                                  stage=stage, stage_number=seen[stage], sample=p.label))
    notes = list(done.notes)
    if split:
        notes.append(f"{path}: split where the temperature turns into cooling and heating stages: "
                     f"{', '.join(split)}; --segment cooling or heating picks one kind")
    if short:
        notes.append(f"{path}: left out {len(short)} stage(s) of fewer than {MIN_POINTS} points where the "
                     f"temperature turns: {'; '.join(short)}")
    if blank is not None:
        # First: a blank whose stages differ would otherwise read as hysteresis.
        curves = [blank.subtracted(p) for p in curves]
    notes += _compare_stages(curves)
    if segment != "all":
        kept = [p for p in curves if p.stage in (None, segment)]
        if not any(p.stage == segment for p in kept):
            raise ReadError(f"{path}: no {segment} stage of {MIN_POINTS} points or more in any sample")
        curves = kept
    return FileRead(curves, done.reading, notes)


def _compare_stages(curves: List[PendingCurve]) -> List[str]:
    """Each sample's first cooling and first heating compared: where they
    differ by a shift in temperature beyond the noise, every stage of the
    sample carries the sentence (and the fit says it), which is also
    returned as a note."""
    samples: Dict[Tuple[str, str], Dict[str, PendingCurve]] = {}
    for p in curves:
        if p.stage is not None and p.sample is not None:
            samples.setdefault((p.path, p.sample), {}).setdefault(p.stage, p)
    notes = []
    for (_, name), found in samples.items():
        if set(found) == {"cooling", "heating"}:
            marked = [p for p in curves if (p.path, p.sample) == (found["cooling"].path, name)]
            notes += _compared(found["cooling"], found["heating"], name, marked)
    return notes


def compare_across_files(curves: List[PendingCurve]) -> List[str]:
    """Cooling and heating of one sample measured into separate files (one
    stage each, the same concentration and channel) compared as the stages
    of one file are; returns the notes."""
    alone: Dict[Tuple[str, str], int] = {}
    for p in curves:
        if p.stage is not None:
            key = (p.path, p.sample or p.label)
            alone[key] = alone.get(key, 0) + 1
    groups: Dict[Tuple[float, Optional[str]], Dict[str, List[PendingCurve]]] = {}
    for p in curves:
        if p.stage is None or alone[(p.path, p.sample or p.label)] != 1 or not isinstance(p.c_tot, float):
            continue
        groups.setdefault((p.c_tot, p.signal_name), {}).setdefault(p.stage, []).append(p)
    notes = []
    for (c_tot, _), found in groups.items():
        cooling, heating = found.get("cooling", []), found.get("heating", [])
        if len(cooling) == 1 and len(heating) == 1 and cooling[0].file != heating[0].file:
            name = f"{concentration_label(c_tot)} ({pathlib.Path(cooling[0].path).name} and " \
                   f"{pathlib.Path(heating[0].path).name})"
            notes += _compared(cooling[0], heating[0], name, [cooling[0], heating[0]], at=False)
    return notes


def _compared(cooling, heating, name, marked, at=True) -> List[str]:
    """The sentence when cooling and heating differ beyond the noise, set
    on every curve `marked`; [] when they do not (or cannot be compared)."""
    shift = hysteresis(np.asarray(cooling.temperature), cooling.signal,
                       np.asarray(heating.temperature), heating.signal)
    if shift is None:
        return []
    value, error = shift
    if not abs(value) > max(_HYSTERESIS_KELVIN, _HYSTERESIS_SES * error):
        return []
    where = f" at {concentration_label(cooling.c_tot)}" if at and isinstance(cooling.c_tot, float) and \
        not cooling.names_condition else ""
    text = (f"cooling and heating of {name} differ by {abs(value):.1f} K{where} (the heating curve lies "
            f"{'higher' if value > 0 else 'lower'} in temperature; ± {error:.2g} K): the assembly may not be "
            "at equilibrium; an equilibrium model does not apply")
    for p in marked:
        p.hysteresis = text
    return [text]


def hysteresis(t_cool, y_cool, t_heat, y_heat) -> Optional[Tuple[float, float]]:
    """The shift in temperature (K) that lays the heating curve onto the
    cooling one, an offset in signal allowed: y_cool(T) = y_heat(T + shift)
    + a, by least squares over the shifts within 20 K, and its standard
    error from the noise of both curves (read from second differences, or
    what is left between them where that is more), the heating curve's
    slope and its spacing.  None where the curves share too little of
    their temperatures or show no transition to lay onto each other; an
    infinite error where a shift is no better than none."""
    # The heating curve by temperature, points at one temperature (a hold)
    # taken as their mean.
    th, where = np.unique(np.asarray(t_heat, dtype=float), return_inverse=True)
    yh = np.bincount(where, weights=np.asarray(y_heat, dtype=float)) / np.bincount(where)
    tc, yc = np.asarray(t_cool, dtype=float), np.asarray(y_cool, dtype=float)
    shifts = np.arange(-_WIDEST_SHIFT, _WIDEST_SHIFT + 1e-9, _STEP)
    # The shifts are tried on at most _SEARCH_POINTS of the cooling curve.
    every = max(1, tc.size // _SEARCH_POINTS)
    noise_cooling = _noise(yc)
    tc, yc = tc[::every], yc[::every]
    best = []
    for shift in shifts:
        inside = (tc + shift >= th[0]) & (tc + shift <= th[-1])
        if np.count_nonzero(inside) < MIN_POINTS:
            best.append(math.inf)
            continue
        best.append(_left_after(tc[inside], yc[inside], np.interp(tc[inside] + shift, th, yh))[0])
    costs = np.array(best)
    if not np.any(np.isfinite(costs)):
        return None
    j = int(np.argmin(costs))
    if j in (0, shifts.size - 1) or not np.all(np.isfinite(costs[j - 1:j + 2])):
        # At the edge of the search: no shift found within it, which says
        # nothing of how large one is.
        return None
    shift = float(shifts[j])
    a, b, c = costs[j - 1:j + 2]
    curvature = a - 2 * b + c
    if curvature > 0:
        shift += _STEP * 0.5 * (a - c) / curvature
    inside = (tc + shift >= th[0]) & (tc + shift <= th[-1])
    if np.count_nonzero(inside) < 3 * MIN_POINTS:
        return None
    if th.size < 3 * MIN_POINTS:
        return None
    # The heating curve's slope from its running mean (a noisy curve's
    # own differences are mostly noise), and a transition well above the
    # noise, or there is nothing to lay onto the other curve.
    width = max(3, th.size // 25)
    window = np.ones(width)
    smooth = np.convolve(yh, window, "same") / np.convolve(np.ones(yh.size), window, "same")
    if np.ptp(smooth) < _TRANSITION_SDS * math.sqrt(_noise(yh)):
        return None
    amplitude = _left_after(tc[inside], yc[inside], np.interp(tc[inside] + shift, th, yh))[1]
    slope = amplitude * np.interp(tc[inside] + shift, th, np.gradient(smooth, th))
    spread = float(np.sum((slope - slope.mean()) ** 2))
    # The noise of both curves, or what is left between them where that is
    # more (the interpolation's error, a shape that is not only shifted).
    noise = max(noise_cooling + _noise(yh), float(costs[j]))
    if spread <= 0.0 or not math.isfinite(noise):
        return None
    # The shift must lay the curves onto each other better than none does,
    # beyond chance.
    at_zero = costs[np.argmin(np.abs(shifts))]
    if np.count_nonzero(inside) * (at_zero - costs[j]) / noise < _SHIFT_GAIN:
        return (shift, math.inf)
    # Shifts between the heating curve's points interpolate (and so smooth)
    # its noise, which favours them: up to half its spacing, as a uniform
    # error beside the noise's.
    spacing = float(np.median(np.diff(th)))
    error = math.sqrt(noise / spread + (0.5 * spacing) ** 2 / 3.0 + _STEP ** 2 / 12.0)
    return (shift, error) if error < _WIDEST_SHIFT / 2 else None


def _left_after(t, y, shifted):
    """(mean square, amplitude): what is left of the cooling curve y once
    the shifted heating curve is laid onto it with an amplitude, an offset
    and a slope in T of its own (each stage's baseline, slope and signal
    change may differ: only the transition's place is compared)."""
    design = np.column_stack([np.ones_like(t), t - t.mean(), shifted])
    try:  # the normal equations of three columns: tried at every shift, so kept small
        coefficients = np.linalg.solve(design.T @ design, design.T @ y)
    except np.linalg.LinAlgError:  # a heating curve flat where it is laid
        coefficients = np.linalg.lstsq(design, y, rcond=None)[0]
    left = y - design @ coefficients
    return float(np.mean(left * left)), float(coefficients[2])


def _noise(y):
    """The noise variance of a signal from its second differences (robust:
    the median absolute value, scaled)."""
    if y.size < 3:
        return math.inf
    second = np.diff(y, 2)
    return float((1.4826 * np.median(np.abs(second))) ** 2 / 6.0)
