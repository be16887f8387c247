"""The curve: one measured curve, as every part of kelvara takes it.

A `Curve` holds the signal against what varies (temperature in K, total
concentration in mol/L, or the fraction of good solvent), the fixed
conditions (c_tot, a series' temperature), a label and where it came from.
It checks itself on construction and is frozen: its arrays are read-only
copies.  NumPy only: reading files makes curves without importing the fit.
`celsius` turns degrees Celsius into kelvin."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Optional, Sequence, Union

import numpy as np

from kelvara.errors import KelvaraError
from kelvara.units import KELVIN_OFFSET

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
    return np.asarray(temperatures, dtype=float) + KELVIN_OFFSET


# What a curve varies: its x axis.
VARIED = ("temperature", "concentration", "solvent", "time")


# Where a trace may start: all monomer, or an equilibrium.
STARTS = ("monomer", "equilibrium")


@dataclass(frozen=True)
class Start:
    """Where a time trace starts at time 0: all monomer ("monomer": mixing
    from a good solvent), or the equilibrium ("equilibrium") at
    `temperature` (K; None: the run's) of a solution `dilution` times as
    concentrated, diluted at time 0 (a stopped-flow mixing ratio; with a
    temperature other than the run's, a jump); `seeds` mol/L of aggregates
    of `seed_size` monomers added then, their monomers part of c_tot."""

    kind: str = "monomer"
    temperature: Optional[float] = None
    dilution: float = 1.0
    seeds: float = 0.0
    seed_size: int = 100

    def __post_init__(self):
        from kelvara.errors import KelvaraError

        if self.kind not in STARTS:
            raise KelvaraError(f"the start is 'monomer' or 'equilibrium', not {self.kind!r}")
        if self.kind == "monomer" and self.temperature is not None:
            raise KelvaraError("a start temperature needs a start from equilibrium: give start='equilibrium' (a "
                               "temperature jump) or leave the start temperature out (all monomer at time 0)")
        if self.temperature is not None and not (math.isfinite(self.temperature) and self.temperature > 0.0):
            raise KelvaraError(f"the start temperature must be a positive number of kelvin, not {self.temperature!r}")
        if not (math.isfinite(self.dilution) and self.dilution >= 1.0):
            raise KelvaraError(f"the dilution is the ratio of volumes after and before mixing, 1 or more, not "
                               f"{self.dilution:g}; give 3.5 for a 1 + 2.5 stopped-flow mix")
        if not (math.isfinite(self.seeds) and self.seeds >= 0.0):
            raise KelvaraError(f"seeds are a concentration of aggregates (mol/L), 0 or more, not {self.seeds:g}")

    def described(self, unit: str = "K") -> str:
        from kelvara.units import temperature_label

        if self.kind == "monomer":
            words = ["all monomer"]
        else:
            words = ["the equilibrium" + ("" if self.temperature is None else
                                          " at " + temperature_label(self.temperature, unit))]
        if self.dilution != 1.0:
            words.append(f"diluted {self.dilution:g}-fold at time 0")
        if self.seeds > 0.0:
            words.append(f"{self.seeds:.3g} mol/L of seeds of {self.seed_size} added")
        return ", ".join(words)


def _frozen(values):
    """A read-only float array: a copy unless it is one already."""
    if isinstance(values, np.ndarray) and values.dtype == float and not values.flags.writeable:
        return values
    array = np.array(values, dtype=float)
    array.setflags(write=False)
    return array


@dataclass(frozen=True)
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
    itself on construction and is frozen: its arrays are copies, read-only,
    so that nothing done to the data afterwards changes a fit made from it.
    For a changed curve make a new one: ``dataclasses.replace(curve,
    temperature=curve.temperature + 5)``, which is checked again.

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
    names_condition : bool
        The label is, or states, the curve's concentration (a series': its
        temperature), as the file gave it: a legend does not add it again.
    hysteresis : str, optional
        Where the curve is a stage of a ramp whose cooling and heating
        differ beyond the noise, the sentence saying so: an equilibrium
        model does not apply, and every fit of the curve says it.
    """

    # Given as numbers or sequences; checked, a float where it is fixed and
    # a read-only array where it varies (see `vary`).
    temperature: Any
    signal: Any  # a read-only float array once checked
    c_tot: Any
    label: Optional[str] = None
    signal_name: Optional[str] = None  # the signal's column header with its unit, e.g. "CD [mdeg]"
    solvent: Union[np.ndarray, Sequence[float], None] = None
    vary: Optional[str] = None
    source: Optional[str] = None  # the file it was read from
    temperature_unit: str = "K"  # the unit its temperatures came in ("K" or "°C"): the unit they are shown in
    names_condition: bool = False  # the label states its concentration (a series': its temperature)
    hysteresis: Optional[str] = None  # its cooling and heating differ beyond the noise: the sentence
    time: Union[np.ndarray, Sequence[float], None] = None  # s, per point of a time trace
    start: Optional[Start] = None  # a time trace's start (all monomer unless given)

    @classmethod
    def time_trace(cls, time, signal, temperature, c_tot, start=None, label=None, signal_name=None, source=None):
        """A time trace: the signal against time (s, from the jump, mixing
        or seeding) at one temperature (K) and total concentration."""
        return cls(temperature, signal, c_tot, label, signal_name, vary="time", source=source, time=time,
                   start=start if start is not None else Start())

    @classmethod
    def concentration_series(cls, c_tot, signal, temperature=None, label=None, signal_name=None, source=None):
        return cls(temperature, signal, c_tot, label, signal_name, vary="concentration", source=source)

    @classmethod
    def denaturation(cls, solvent, signal, temperature, c_tot, label=None, signal_name=None, source=None):
        return cls(temperature, signal, c_tot, label, signal_name, solvent=solvent, vary="solvent", source=source)

    def __post_init__(self):
        self.validate()

    def _set(self, name, value):
        # Bringing a field to its type during the check; nothing else
        # changes a frozen curve.
        if value is not getattr(self, name):
            object.__setattr__(self, name, value)

    # Frozen, but with array fields: compared and hashed by identity.
    __eq__ = object.__eq__
    __hash__ = object.__hash__

    def validate(self):
        """Check the fields and bring them to their types (read-only float
        arrays, one c_tot and temperature where they are fixed): ValueError
        naming the curve and what is wrong.  Run on construction; a frozen
        curve passes it again unchanged."""
        vary = self.vary
        if vary is None:
            vary = "time" if self.time is not None else "solvent" if self.solvent is not None else \
                "concentration" if np.ndim(self.c_tot) == 1 else "temperature"
        if vary not in VARIED:
            raise KelvaraError(f"vary must be one of {', '.join(VARIED)}, not {vary!r}")
        self._set("vary", vary)
        self._set("signal", _frozen(self.signal))
        name = self.name
        per_point = {"temperature": "temperature", "concentration": "c_tot", "solvent": "solvent",
                     "time": "time"}[vary]
        values = _frozen(getattr(self, per_point))
        if values.ndim != 1 or self.signal.ndim != 1:
            raise KelvaraError(f"{name}: {per_point} and signal must be one-dimensional")
        if len(values) != len(self.signal):
            plural = {"temperature": "temperatures", "c_tot": "concentrations", "solvent": "solvent fractions",
                      "time": "times"}
            raise KelvaraError(f"{name}: {len(values)} {plural[per_point]} but {len(self.signal)} signal values")
        if len(values) == 0:
            raise KelvaraError(f"{name}: no points")
        for what, v in ((per_point, values), ("signal", self.signal)):
            bad = np.flatnonzero(~np.isfinite(v))
            if bad.size:
                raise KelvaraError(f"{name}: {what} is not finite at point {bad[0]} ({v[bad[0]]})")
        self._set(per_point, values)
        if vary == "temperature":
            if np.any(values <= 0.0):
                raise KelvaraError(f"{name}: temperatures must be positive kelvin (use celsius() to convert)")
        else:
            if self.temperature is not None or vary in ("solvent", "time"):
                t = _one_number(self.temperature, f"{name}: the temperature")
                if t <= 0.0:
                    raise KelvaraError(f"{name}: the temperature must be positive kelvin, not {t!r}")
                self._set("temperature", t)
            if len(values) > 1 and np.ptp(values) == 0.0:
                what = {"c_tot": "the total concentration", "solvent": "the good-solvent fraction",
                        "time": "the time"}[per_point]
                raise KelvaraError(f"{name}: {what} does not vary: every point is at {values[0]:g}")
        if vary == "concentration":
            bad = np.flatnonzero(values <= 0.0)
            if bad.size:
                raise KelvaraError(f"{name}: concentrations must be positive, not {values[bad[0]]:g} "
                                 f"(point {bad[0]})")
            return
        if vary == "time":
            if values[0] < 0.0 or np.any(np.diff(values) <= 0.0):
                raise KelvaraError(f"{name}: times must start at 0 or later (the jump, mixing or seeding is time 0) "
                                   "and increase from each point to the next")
            if self.start is None:
                self._set("start", Start())
            elif not isinstance(self.start, Start):
                raise KelvaraError(f"{name}: start must be a kelvara.curves.Start, not {self.start!r}")
        if vary == "solvent":
            bad = np.flatnonzero((values < 0.0) | (values > 1.0))
            if bad.size:
                raise KelvaraError(f"{name}: the good-solvent fraction must lie between 0 and 1, not "
                                 f"{values[bad[0]]:g} (point {bad[0]})")
        try:
            c_tot = float(self.c_tot)
        except (TypeError, ValueError):
            raise KelvaraError(f"{name}: the total concentration must be one number, not {self.c_tot!r}") from None
        if not math.isfinite(c_tot) or c_tot <= 0.0:
            raise KelvaraError(f"{name}: total concentration must be positive and finite, not {self.c_tot!r}")
        self._set("c_tot", c_tot)

    @property
    def x(self) -> np.ndarray:
        """What varies, per point: K, mol/L or the good-solvent fraction."""
        return np.asarray({"temperature": self.temperature, "concentration": self.c_tot,
                           "solvent": self.solvent, "time": self.time}[str(self.vary)])

    @property
    def size(self) -> int:
        return len(self.signal)

    def temperatures(self) -> np.ndarray:
        """The temperature of every point (NaN where not given)."""
        if self.vary == "temperature":
            return np.asarray(self.temperature)
        return np.full(self.size, math.nan if self.temperature is None else self.temperature)

    def concentrations(self) -> np.ndarray:
        """The total concentration of every point."""
        return np.asarray(self.c_tot) if self.vary == "concentration" else np.full(self.size, self.c_tot)

    @property
    def name(self):
        if self.label is not None:
            return self.label
        if self.vary == "temperature":
            return f"curve at c_tot={self.c_tot!r}"
        if self.vary == "concentration":
            return "concentration series" + (f" at {self.temperature!r} K" if self.temperature else "")
        if self.vary == "time":
            return f"time trace at c_tot={self.c_tot!r}"
        return f"denaturation at c_tot={self.c_tot!r}"


def _one_number(value, what):
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise KelvaraError(f"{what} must be one number, not {value!r}") from None
    if not math.isfinite(number):
        raise KelvaraError(f"{what} must be finite, not {value!r}")
    return number
