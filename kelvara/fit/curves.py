"""The curve: what a fit is made of.

A `Curve` holds one measured curve: the signal against what varies
(temperature in K, total concentration in mol/L, or the fraction of good
solvent), the fixed conditions (c_tot, a series' temperature), a label and
where it came from.  It checks itself on construction and again in every
fit.  `celsius` turns degrees Celsius into kelvin; `_axis` is the axis the
fit works on (ln c for a concentration series)."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List, Optional, Sequence, Union

import numpy as np

REFERENCE_TEMPERATURE = 298.15  # K: derived K and dG, and the baseline slope's origin


def celsius(temperatures):
    """Temperatures in degrees Celsius, as kelvin.

    Parameters
    ----------
    temperatures : array_like of float
        °C.

    Returns
    -------
    numpy.ndarray
        K (each value plus 273.15).
    """
    return np.asarray(temperatures, dtype=float) + 273.15


# What a curve varies: its x axis.
VARIED = ("temperature", "concentration", "solvent")


@dataclass
class Curve:
    """One measured curve: the signal (any unit) against what varies.

    - a cooling or heating curve: temperatures (K) per point, one total
      concentration c_tot (mol/L);
    - a concentration series: c_tot per point at one temperature (K; None
      when a fit at one temperature does not need it);
    - a solvent denaturation: good-solvent fractions `solvent` (0 to 1) per
      point at one temperature and one c_tot.

    `vary` is told from which of them is given per point; the class methods
    `concentration_series` and `denaturation` spell it out.  The curve checks
    itself on construction and again in every fit (`validate`).

    Attributes
    ----------
    temperature : array of float, float or None
        K: per point for a curve against temperature, else the one
        temperature of a series or denaturation.
    signal : array of float
        The measured signal, in its own unit.
    c_tot : float or array of float
        Total concentration, mol/L: one, or per point for a series.
    label : str, optional
        What names the curve in tables, legends and outputs.
    signal_name : str, optional
        The signal's column header with its unit, e.g. "CD [mdeg]".
    solvent : array of float, optional
        The fraction of good solvent per point (denaturations), 0 to 1.
    vary : {"temperature", "concentration", "solvent"}, optional
        What varies along the curve.
    source : str, optional
        The file the curve was read from.
    temperature_unit : {"K", "°C"}
        The unit its temperatures came in, and the unit they are shown in.
    """

    temperature: Union[Sequence[float], float, None]
    signal: Sequence[float]
    c_tot: Union[float, Sequence[float]]
    label: Optional[str] = None
    signal_name: Optional[str] = None  # the signal's column header with its unit, e.g. "CD [mdeg]"
    solvent: Optional[Sequence[float]] = None
    vary: Optional[str] = None
    source: Optional[str] = None  # the file it was read from
    temperature_unit: str = "K"  # the unit its temperatures came in ("K" or "°C"): the unit they are shown in

    @classmethod
    def concentration_series(cls, c_tot, signal, temperature=None, label=None, signal_name=None, source=None):
        return cls(temperature, signal, c_tot, label, signal_name, vary="concentration", source=source)

    @classmethod
    def denaturation(cls, solvent, signal, temperature, c_tot, label=None, signal_name=None, source=None):
        return cls(temperature, signal, c_tot, label, signal_name, solvent=solvent, vary="solvent", source=source)

    def __post_init__(self):
        self.validate()

    def __setattr__(self, name, value):
        # Temperatures set anew (curve.temperature = curve.temperature + 5)
        # drop the list made from the old ones; validate() setting the same
        # array back keeps it, so that no fit pays for it twice.
        if name == "temperature" and value is not self.__dict__.get("temperature"):
            self.__dict__.pop("_temperature_list", None)
        object.__setattr__(self, name, value)

    def validate(self):
        """Check the fields and bring them to their types (float arrays, one
        c_tot and temperature where they are fixed): ValueError naming the
        curve and what is wrong.  Run on construction and by every fit, so
        that a field changed since is judged too."""
        vary = self.vary
        if vary is None:
            vary = "solvent" if self.solvent is not None else \
                "concentration" if np.ndim(self.c_tot) == 1 else "temperature"
        if vary not in VARIED:
            raise ValueError(f"vary must be one of {', '.join(VARIED)}, not {vary!r}")
        self.vary = vary
        self.signal = np.asarray(self.signal, dtype=float)
        name = self.name
        per_point = {"temperature": "temperature", "concentration": "c_tot", "solvent": "solvent"}[vary]
        values = np.asarray(getattr(self, per_point), dtype=float)
        if values.ndim != 1 or self.signal.ndim != 1:
            raise ValueError(f"{name}: {per_point} and signal must be one-dimensional")
        if len(values) != len(self.signal):
            plural = {"temperature": "temperatures", "c_tot": "concentrations", "solvent": "solvent fractions"}
            raise ValueError(f"{name}: {len(values)} {plural[per_point]} but {len(self.signal)} signal values")
        if len(values) == 0:
            raise ValueError(f"{name}: no points")
        for what, v in ((per_point, values), ("signal", self.signal)):
            bad = np.flatnonzero(~np.isfinite(v))
            if bad.size:
                raise ValueError(f"{name}: {what} is not finite at point {bad[0]} ({v[bad[0]]})")
        setattr(self, per_point, values)
        if vary == "temperature":
            if np.any(values <= 0.0):
                raise ValueError(f"{name}: temperatures must be positive kelvin (use celsius() to convert)")
        else:
            if self.temperature is not None or vary == "solvent":
                t = _one_number(self.temperature, f"{name}: the temperature")
                if t <= 0.0:
                    raise ValueError(f"{name}: the temperature must be positive kelvin, not {t!r}")
                self.temperature = t
            if len(values) > 1 and np.ptp(values) == 0.0:
                what = {"c_tot": "the total concentration", "solvent": "the good-solvent fraction"}[per_point]
                raise ValueError(f"{name}: {what} does not vary: every point is at {values[0]:g}")
        if vary == "concentration":
            bad = np.flatnonzero(values <= 0.0)
            if bad.size:
                raise ValueError(f"{name}: concentrations must be positive, not {values[bad[0]]:g} "
                                 f"(point {bad[0]})")
            return
        if vary == "solvent":
            bad = np.flatnonzero((values < 0.0) | (values > 1.0))
            if bad.size:
                raise ValueError(f"{name}: the good-solvent fraction must lie between 0 and 1, not "
                                 f"{values[bad[0]]:g} (point {bad[0]})")
        try:
            c_tot = float(self.c_tot)
        except (TypeError, ValueError):
            raise ValueError(f"{name}: the total concentration must be one number, not {self.c_tot!r}") from None
        if not math.isfinite(c_tot) or c_tot <= 0.0:
            raise ValueError(f"{name}: total concentration must be positive and finite, not {self.c_tot!r}")
        self.c_tot = c_tot

    @property
    def x(self) -> np.ndarray:
        """What varies, per point: K, mol/L or the good-solvent fraction."""
        return {"temperature": self.temperature, "concentration": self.c_tot, "solvent": self.solvent}[self.vary]

    @property
    def size(self) -> int:
        return len(self.signal)

    def temperatures(self) -> np.ndarray:
        """The temperature of every point (NaN where not given)."""
        if self.vary == "temperature":
            return self.temperature
        return np.full(self.size, math.nan if self.temperature is None else self.temperature)

    def concentrations(self) -> np.ndarray:
        """The total concentration of every point."""
        return self.c_tot if self.vary == "concentration" else np.full(self.size, self.c_tot)

    @property
    def temperature_list(self) -> List[float]:
        """The temperatures as a list, as the models take them: made once,
        when first needed (a long curve read only to be looked at never
        pays for it)."""
        cached = self.__dict__.get("_temperature_list")
        if cached is None:
            cached = self.__dict__["_temperature_list"] = self.temperature.tolist()
        return cached

    @property
    def name(self):
        if self.label is not None:
            return self.label
        if self.vary == "temperature":
            return f"curve at c_tot={self.c_tot!r}"
        if self.vary == "concentration":
            return "concentration series" + (f" at {self.temperature!r} K" if self.temperature else "")
        return f"denaturation at c_tot={self.c_tot!r}"


def _one_number(value, what):
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be one number, not {value!r}") from None
    if not math.isfinite(number):
        raise ValueError(f"{what} must be finite, not {value!r}")
    return number


def _axis(curve):
    """What a curve varies, as its x axis: ln c for a concentration series."""
    return np.log(curve.x) if curve.vary == "concentration" else curve.x


def _signal_scale(curves):
    """One positive number with the signal's unit: the largest change within
    a curve, or the largest magnitude when nothing changes."""
    spread = max(float(np.ptp(c.signal)) for c in curves)
    if spread > 0.0:
        return spread
    size = max(float(np.max(np.abs(c.signal))) for c in curves)
    return size if size > 0.0 else 1.0


def _came_in_celsius(curves) -> bool:
    """Every curve against temperature came in °C (and there is one): the
    unit its figures are drawn in by default."""
    kinds = [c.temperature_unit for c in curves if c.vary == "temperature"]
    return bool(kinds) and all(unit == "°C" for unit in kinds)
