"""The kinds of data a fit takes, one class each.

A fit is a sum of terms over its curves that share the thermodynamic
parameters; what differs from one kind of data to the next is said here
once: what the points of a curve are to the model (the temperatures, total
concentrations and good-solvent fractions the kernels take), what the
linear signal parameters multiply (a baseline and amplitude, sloping in
temperature where the curve runs over temperature; times c_tot for an
extensive signal), the axis its transition is sought on, where on the
model's plane that transition lies, and how a point is named to leave it
out.  A new kind of data is a new class in `TERMS`."""

from __future__ import annotations

import math
from typing import Dict, Optional, Tuple

import numpy as np

from kelvara.curves import REFERENCE_TEMPERATURE
from kelvara.units import KELVIN_OFFSET


class Term:
    """The curves of one kind of data (see the module's text)."""

    kind = ""
    sloped = False  # its baselines and aggregate signals may slope in temperature
    log_axis = False  # its transition is sought on ln x

    def axes(self, curve, x) -> Tuple[np.ndarray, object, Optional[np.ndarray]]:
        """What the kernels take at the points x of `curve`: temperatures,
        total concentrations (an array, or one value) and good-solvent
        fractions (None where there are none)."""
        raise NotImplementedError

    def slope_axis(self, curve, x) -> np.ndarray:
        """What a baseline's slope multiplies at the points x: T - 298.15 K
        along a temperature ramp, 0 elsewhere."""
        return np.zeros(np.shape(x))

    def concentrations(self, curve, x):
        """The total concentration at the points x (what multiplies an
        extensive signal's baseline and amplitude)."""
        return curve.c_tot

    def axis(self, curve) -> np.ndarray:
        """The curve's own axis as its transition is sought on it."""
        return np.log(curve.x) if self.log_axis else curve.x

    def from_axis(self, value: float) -> float:
        return math.exp(value) if self.log_axis else value

    def transition(self, curve, where: float) -> Tuple[float, float]:
        """(temperature, c_tot) of a point of the curve at `where` on its axis."""
        return curve.temperature, curve.c_tot

    def solvent(self, curve, x) -> Optional[np.ndarray]:
        return None

    def exclusion(self, curve, x: float) -> Optional[str]:
        """How --exclude names the point at x (None: no option drops it)."""
        return None


class TemperatureCurves(Term):
    """Cooling and heating curves: the signal against temperature at one
    total concentration."""

    kind = "temperature"
    sloped = True

    def axes(self, curve, x):
        return np.asarray(x, dtype=float), curve.c_tot, None

    def slope_axis(self, curve, x):
        return np.asarray(x, dtype=float) - REFERENCE_TEMPERATURE

    def transition(self, curve, where):
        return where, curve.c_tot

    def exclusion(self, curve, x):
        return f"{x - KELVIN_OFFSET:.6g}C" if curve.temperature_unit == "°C" else f"{x:.6g}K"


class ConcentrationSeries(Term):
    """A concentration series: the signal against the total concentration
    at one temperature."""

    kind = "concentration"
    log_axis = True

    def axes(self, curve, x):
        x = np.asarray(x, dtype=float)
        return _at_temperature(curve, x), x, None

    def concentrations(self, curve, x):
        return np.asarray(x, dtype=float)

    def transition(self, curve, where):
        return curve.temperature, where

    def exclusion(self, curve, x):
        return f"{x * 1e6:.6g}uM"


class Denaturations(Term):
    """A solvent denaturation: the signal against the fraction of good
    solvent at one temperature and total concentration."""

    kind = "solvent"

    def axes(self, curve, x):
        x = np.asarray(x, dtype=float)
        return _at_temperature(curve, x), curve.c_tot, x

    def solvent(self, curve, x):
        return np.asarray(x, dtype=float)


class TimeTraces(Term):
    """A time trace after a temperature jump, a mixing or a seeding: the
    signal against time at one temperature and total concentration.  The
    kernels' equilibrium at its points is the trace's end; the trace itself
    is simulated (kelvara.kinetics) from the curve's start."""

    kind = "time"

    def axes(self, curve, x):
        x = np.asarray(x, dtype=float)
        return _at_temperature(curve, x), curve.c_tot, None

    def exclusion(self, curve, x):
        return f"{x:.6g}s"


def _at_temperature(curve, x):
    return np.full(x.shape, math.nan if curve.temperature is None else curve.temperature)


# The terms by what their curves vary, in the order results list them.
TERMS: Dict[str, Term] = {term.kind: term for term in (TemperatureCurves(), ConcentrationSeries(), Denaturations(),
                                                       TimeTraces())}


def term_of(curve) -> Term:
    """The term a curve belongs to."""
    return TERMS[curve.vary]
