"""The fit's view of curves: the axis it works on (ln c for a concentration
series), the signal's scale and the unit figures are drawn in.  The curve
itself lives in `kelvara.curves` (re-exported here)."""

from __future__ import annotations

import numpy as np

from kelvara.errors import KelvaraError
from kelvara.curves import REFERENCE_TEMPERATURE, VARIED, Curve, celsius
from kelvara.fit.terms import term_of
from kelvara.models import EXPERIMENTS, MODELS

__all__ = ["REFERENCE_TEMPERATURE", "VARIED", "Curve", "celsius"]


def axis_of(curve):
    """What a curve varies, as its x axis: ln c for a concentration series."""
    return term_of(curve).axis(curve)


SIGNAL_SIZES = (1e-100, 1e100)  # what a sum of squared residuals holds, over millions of points, without overflow


def signal_scale(curves):
    """One positive number with the signal's unit: the largest change within
    a curve, or the largest magnitude when nothing changes.  A signal whose
    size is beyond `SIGNAL_SIZES` is refused: its squares are not numbers."""
    with np.errstate(over="ignore"):
        spread = max(float(np.ptp(c.signal)) for c in curves)
        size = max(float(np.max(np.abs(c.signal))) for c in curves)
    scale = spread if spread > 0.0 else size if size > 0.0 else 1.0
    low, high = SIGNAL_SIZES
    if not low <= scale <= high:
        raise KelvaraError(f"the signal changes by {scale:.3g} in its own unit: kelvara fits signals of size "
                           f"{low:g} to {high:g}; rescale the column (to mdeg, or to absorbance units)")
    return scale


def came_in_celsius(curves) -> bool:
    """Every curve against temperature came in °C (and there is one): the
    unit its figures are drawn in by default."""
    kinds = [c.temperature_unit for c in curves if c.vary == "temperature"]
    return bool(kinds) and all(unit == "°C" for unit in kinds)


class Scaled:
    """A signal divided by the scale, computed for the points asked for
    (`scaled[part]`, `scaled[:]` for all): the same doubles as dividing the
    whole signal, without holding them."""

    def __init__(self, signal, scale):
        self.signal = signal
        self.scale = scale
        self.size = signal.size

    def __getitem__(self, part):
        return self.signal[part] / self.scale


def experiment_mismatch(model, kind):
    """Why `model` cannot fit a curve that varies `kind`, in one sentence,
    with the models that can."""
    fits = " and ".join(EXPERIMENTS[k] for k in model.experiments)
    others = ", ".join(m.name for m in MODELS.values() if kind in m.experiments)
    return f"the {model.name} model fits {fits}, not {EXPERIMENTS[kind]}; use {others}"
