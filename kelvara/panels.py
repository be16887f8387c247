"""What one panel of a fit's figure says: its axis labels in the data's
units, the curves' legend names, the marks of where each curve is half way
(Te, c50, f50) and the concentration axis's ticks.  Needs matplotlib only
where it sets ticks; reads the result's public values."""

from __future__ import annotations

import math
import re
from typing import List, Optional, Tuple

import numpy as np

from kelvara.models import MODELS
from kelvara.units import concentration_label, concentration_scale, temperature_label


def _literal(text: str) -> str:
    """Text matplotlib draws as written: a "$" in a header or a label is a
    dollar sign, not the start of mathtext (which a stray one breaks)."""
    return text.replace("$", r"\$")


def _signal_label(curves):
    names = {c.signal_name for c in curves if c.signal_name}
    return names.pop() if len(names) == 1 else "Signal"


def _residual_label(curves):
    """"Residual" with the signal's unit: the unit in the signal's header
    ("CD (mdeg)", "A [a.u.]"), else the signal's own name."""
    label = _signal_label(curves)
    match = re.search(r"[(\[]([^()\[\]]+)[)\]]\s*$", label)
    unit = match.group(1) if match else ("signal" if label == "Signal" else label)
    return f"Residual ({unit})"


# What each kind of curve puts on its x axis, and what marks half way.
_X_LABELS = {"temperature": "Temperature (K)", "concentration": "Total concentration (mol/L)",
             "solvent": "Fraction of good solvent", "time": "Time (s)"}
# A legend at a journal's size: short handles, tight rows (it must find room inside a small panel).
_COMPACT = dict(handlelength=1.0, handletextpad=0.4, labelspacing=0.25, borderpad=0.2)
_MARKS = {"temperature": r"▼ $T_\mathrm{e}$", "concentration": r"▼ $c_{50}$", "solvent": r"▼ $f_{50}$",
          "time": r"▼ $t_{50}$"}
_MARK_NAMES = {"temperature": "Te", "concentration": "c50", "solvent": "f50", "time": "t50"}  # the page's


def _kinds(curves):
    return [kind for kind in ("temperature", "concentration", "solvent", "time") if any(c.vary == kind for c in curves)]


def _groups(curves):
    """(kind, channel) of each column of panels: one per kind, or, where
    curves of a kind carry several signals (channels of the same samples:
    "CD (mdeg)", "HT (V)"), one per signal (channel None: every curve)."""
    out: List[Tuple[str, Optional[str]]] = []
    for kind in _kinds(curves):
        names = list(dict.fromkeys(c.signal_name for c in curves if c.vary == kind))
        out += [(kind, name) for name in names] if len(names) > 1 else [(kind, None)]
    return out


def _colours(plt, curves):
    """A colour per curve: by concentration where channels repeat them."""
    def level(curve):  # a curve at one concentration; a series has none
        return float(curve.c_tot) if curve.vary != "concentration" and curve.c_tot is not None else None

    if len({c.signal_name for c in curves}) > 1:
        levels = sorted({level(c) for c in curves} - {None})
        if levels:
            spread = plt.get_cmap("viridis")(np.linspace(0.0, 0.85, len(levels)))
            return [spread[levels.index(level(c))] if level(c) in levels else spread[0] for c in curves]
    return plt.get_cmap("viridis")(np.linspace(0.0, 0.85, len(curves)))


def _x_label(kind, celsius, curves=None):
    if kind == "concentration" and curves:
        return f"Total concentration ({_concentration_unit(curves)[1]})"
    return "Temperature (°C)" if kind == "temperature" and celsius else _X_LABELS[kind]


def _concentration_unit(curves):
    """(factor, unit) of a concentration axis: the unit the middle of the
    series reads best in (µM for series in µM, not 10⁻⁶ mol/L)."""
    ends = [float(f(c.x)) for c in curves if c.vary == "concentration" for f in (np.min, np.max)]
    return concentration_scale(math.sqrt(min(ends) * max(ends))) if ends else (1.0, "M")


def _concentration_ticks(axis, curves):
    """A log concentration axis labelled in its unit (0.1, 1, 10)."""
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    factor = _concentration_unit(curves)[0]
    ends = [float(f(c.x)) for c in curves if c.vary == "concentration" for f in (np.min, np.max)]
    if ends and math.log10(max(ends) / min(ends)) < 1.5:  # a decade or so: 1, 2, 5 in each, not one tick
        axis.xaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    axis.xaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value / factor:g}"))
    axis.xaxis.set_minor_formatter(NullFormatter())


def _curve_label(curve):
    """A curve's legend entry: its label whole (sample, stage, file), with its
    concentration (or a series' temperature) added when the label does not
    already say it."""
    if curve.vary == "concentration":
        label = "" if curve.temperature is None else temperature_label(curve.temperature, curve.temperature_unit)
    else:
        label = concentration_label(curve.c_tot)
    if curve.label and curve.label != label and not curve.names_condition:
        label = f"{curve.label} ({label})" if label else curve.label
    elif curve.label and curve.names_condition:
        label = curve.label
    return label or "series"


# Te is marked where the polymer sets in sharply: sigma(Te) below this (at
# 0.1 and above the curve bends gradually and nothing sets in at Te).
SHARP_ONSET_SIGMA = 0.1


def half_way_mark(result, i, kind):
    """Where curve i is marked, or None: its Te where aggregation sets in
    sharply there (a cooperative model's sigma(Te) below SHARP_ONSET_SIGMA,
    or a per-curve te), a series' c50 or a denaturation's f50.  Two
    pathways are not marked: A's Te is where A alone would set in, with B
    beside it not a point of the curve."""
    fitted = result.curve_results[i]
    if MODELS[result.model].pathways:
        return None
    if kind != "temperature":
        return fitted.midpoint[1] if fitted.midpoint else None
    sigma = result.derived.get(f"sigma(Te)[{i}]")
    if sigma is not None and not (np.isfinite(sigma.value) and sigma.value < SHARP_ONSET_SIGMA):
        return None
    return fitted.te
