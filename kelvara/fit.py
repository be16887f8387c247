"""Global fits of the models to measured cooling and heating curves,
concentration series and solvent denaturations, alone or together.

Needs the ``fit`` extra (NumPy and SciPy): ``python -m pip install 'kelvara[fit]'``.

A curve is a signal measured against temperature at one total
concentration, against the total concentration at one temperature (a
concentration series), or against the fraction of a good solvent at one
temperature and concentration (a denaturation).  All curves of a fit share
the parameters of one model (for example ``delta_h``, ``delta_s`` and
``delta_h_nuc`` of the cooperative model; ``k`` and ``sigma`` for a series at
one temperature; ``delta_g0``, ``m`` and ``sigma`` for denaturations); each
curve is

    signal = baseline + slope * (T - 298.15 K) + amplitude * fraction

where ``fraction`` is the fraction aggregated from the model's ``_core``
functions, ``baseline`` (and, against temperature, the optional ``slope``)
describe the signal of the free monomer, and ``amplitude`` the change on
full aggregation.  Each of these is per curve or shared, as chosen.

A fit is a global search: many starts spread over plausible elongation
temperatures, enthalpies and cooperativities are screened cheaply (the
baselines and amplitudes of a trial set are solved for exactly, as a linear
least-squares problem), the most promising are refined, and the best is
polished over every parameter at once.  The result carries a verdict:
``result.ok`` is False, and ``result.problems`` says why in sentences, when
the fit did not converge, a thermodynamic parameter is not determined by the
data, the data show no transition, the residuals hold structure beyond the
noise, or an elongation temperature lies far outside the measured range.

    >>> from kelvara.fit import Curve, fit
    >>> result = fit([Curve(temps, signal, 1e-5), ...], "cooperative")
    >>> print(result.summary())
"""

from __future__ import annotations

import math
import sys
import warnings
from dataclasses import dataclass, field
from typing import Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
from scipy.optimize import least_squares
from scipy.stats import f as f_distribution

from kelvara import __version__
from kelvara.models import (EXPERIMENTS, GAS_CONSTANT, MODELS, concentration_fraction, constants, degree_of_polymerisation,
                            half_aggregation_constant, unit_of)

__all__ = [
    "GAS_CONSTANT",
    "MODELS",
    "REFERENCE_TEMPERATURE",
    "VARIED",
    "Comparison",
    "Curve",
    "FitResult",
    "Profile",
    "celsius",
    "check",
    "compare",
    "fit",
]

REFERENCE_TEMPERATURE = 298.15  # K: derived K and dG, and the baseline slope's origin
# The largest nucleus a fit takes: each evaluation costs more as the nucleus
# grows (100 fits in about a second, 1000 in about 20 s); published scans stop near 10.
MAX_FITTED_NUC_SIZE = 100


def celsius(temperatures):
    """Temperatures in degrees Celsius, as kelvin."""
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
    `concentration_series` and `denaturation` spell it out."""

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
        # A field set anew (curve.temperature = curve.temperature + 5) drops
        # what was made from the old one; fit() checks the curve again.
        if name != "_temperature_list":
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


@dataclass
class Parameter:
    name: str
    value: float
    stderr: float  # NaN when fixed, on a bound, or not determined by the data
    fixed: bool
    bounds: Tuple[float, float] = (-math.inf, math.inf)
    at_bound: bool = False
    per_concentration: bool = False  # a baseline or amplitude of an extensive signal

    @property
    def determined(self) -> bool:
        """A free parameter whose standard error could be estimated."""
        return not self.fixed and not self.at_bound and math.isfinite(self.stderr)

    @property
    def unit(self) -> str:
        unit = unit_of(self.name)
        return unit.replace("signal", "signal L/mol", 1) if self.per_concentration else unit


@dataclass
class Derived:
    name: str
    value: float
    stderr: float

    @property
    def unit(self) -> str:
        return unit_of(self.name)


@dataclass
class CurveResult:
    label: Optional[str]
    c_tot: Optional[float]  # None for a concentration series
    baseline: float
    slope: float
    amplitude: float
    te: Optional[float]  # elongation temperature (K), cooperative models
    residuals: np.ndarray
    aggregate_slope: float = 0.0  # the aggregated state's signal per K (aggregate_slope=True)
    vary: str = "temperature"
    temperature: Optional[float] = None  # K, of a concentration series or denaturation
    midpoint: Optional[Tuple[str, float]] = None  # ("c50", mol/L) or ("f50", fraction) at half aggregation


@dataclass
class Profile:
    """chi2 along one parameter, every other free parameter refitted at each
    value.  `low` and `high` bound the interval where chi2 stays below
    `threshold` (an F-test at `level`); None where the profile never rises
    that far within the bounds or the search."""

    name: str
    values: np.ndarray
    chi2: np.ndarray
    threshold: float
    level: float
    low: Optional[float]
    high: Optional[float]
    converged: bool = True  # False when a refit stopped early: the interval may be too narrow


@dataclass
class FitResult:
    """Best values, their uncertainties, the statistics and the verdict of one fit."""

    model: str
    nuc_size: Optional[int]
    parameters: Dict[str, Parameter]
    curves: List[CurveResult]
    covariance: np.ndarray  # of the free parameters, in `free` order; NaN where not determined
    free: List[str]
    derived: Dict[str, Derived]
    chi2: float
    reduced_chi2: float
    aic: float
    bic: float
    n_points: int
    converged: bool
    message: str
    nfev: int
    notes: List[str] = field(default_factory=list)
    problems: List[str] = field(default_factory=list)
    noise: Optional[float] = None  # noise standard deviation estimated from the data (signal units)
    starts: Tuple[int, int, int] = (1, 1, 1)  # (screened, refined, reaching the best chi2)
    bootstrap: Optional[Dict[str, Tuple[float, float]]] = None
    bootstrap_samples: Optional[Dict[str, np.ndarray]] = None
    profiles: Optional[Dict[str, Profile]] = None
    nuc_size_scan: Optional[Dict[int, float]] = None
    _problem: Optional["_Problem"] = field(default=None, repr=False)
    _x: Optional[np.ndarray] = field(default=None, repr=False)

    @property
    def ok(self) -> bool:
        """True when nothing speaks against the fit: see `problems`."""
        return not self.problems

    @property
    def correlation(self) -> np.ndarray:
        """Correlation matrix of the free parameters (order: `free`)."""
        sd = np.sqrt(np.diag(self.covariance))
        with np.errstate(invalid="ignore", divide="ignore"):
            return self.covariance / np.outer(sd, sd)

    def value(self, name):
        return self.parameters[name].value

    def predict(self, x, curve_index=0):
        """Modelled signal of curve `curve_index` at the points x of what it
        varies: temperatures (K), total concentrations (mol/L) or
        good-solvent fractions."""
        if isinstance(curve_index, (bool, np.bool_)) or not isinstance(curve_index, (int, np.integer)):
            raise TypeError(f"curve_index must be an integer, not {type(curve_index).__name__}")
        if not -len(self.curves) <= curve_index < len(self.curves):
            raise IndexError(f"curve_index {curve_index} is out of range: the fit has {len(self.curves)} curves")
        x = np.asarray(x, dtype=float)
        return self._problem.scale * self._problem.signal(self._x, int(curve_index) % len(self.curves), x)

    def curve_table(self) -> Dict[str, np.ndarray]:
        """Every point as columns, to plot again: curve, c_tot (mol/L),
        temperature (K; NaN where not given), solvent (the good-solvent
        fraction, in a fit of denaturations), signal, fitted, residual,
        fraction (aggregated, from the model), aggregation (the signal
        normalised by the fitted baseline and amplitude: the degree of
        aggregation the data show), dp_n and dp_n_all (number-average degree
        of polymerisation of the aggregates, and of all species with the
        monomer)."""
        problem = self._problem
        values = problem.values(self._x)
        solvent = "solvent" in problem.kinds
        columns = {k: [] for k in ("curve", "c_tot", "temperature") + (("solvent",) if solvent else ())
                   + ("signal", "fitted", "residual", "fraction", "aggregation")}
        for i, (curve, fitted) in enumerate(zip(problem.curves, self.curves)):
            n = curve.size
            fraction = problem.fraction(values, curve, curve.x)
            dt = curve.x - REFERENCE_TEMPERATURE if curve.vary == "temperature" else 0.0
            weight = curve.concentrations() if problem.extensive else 1.0
            with np.errstate(divide="ignore", invalid="ignore"):
                aggregation = ((curve.signal / weight - fitted.baseline - fitted.slope * dt)
                               / (fitted.amplitude + fitted.aggregate_slope * dt))
            columns["curve"].append(np.full(n, curve.label if curve.label is not None else str(i), dtype=object))
            columns["c_tot"].append(curve.concentrations())
            columns["temperature"].append(curve.temperatures())
            if solvent:
                columns["solvent"].append(curve.x if curve.vary == "solvent" else np.full(n, math.nan))
            columns["signal"].append(curve.signal)
            columns["fitted"].append(curve.signal + fitted.residuals)
            columns["residual"].append(fitted.residuals)
            columns["fraction"].append(fraction)
            columns["aggregation"].append(aggregation)
            if problem.model.mass_balance:
                dp_n, dp_n_all = degree_of_polymerisation(
                    problem.model.name, problem.plain(values), curve.temperatures(), curve.concentrations(),
                    fraction, problem.nuc_size, curve.x if curve.vary == "solvent" else None)
                columns.setdefault("dp_n", []).append(dp_n)
                columns.setdefault("dp_n_all", []).append(dp_n_all)
        return {k: np.concatenate(v) for k, v in columns.items()}

    def to_frame(self):
        """Parameters and derived values as a pandas DataFrame (value,
        stderr, unit, kind, fixed, at_bound)."""
        import pandas as pd

        rows = [dict(name=p.name, kind="parameter", value=p.value, stderr=p.stderr, unit=p.unit,
                     fixed=p.fixed, at_bound=p.at_bound) for p in self.parameters.values()]
        rows += [dict(name=d.name, kind="derived", value=d.value, stderr=d.stderr, unit=d.unit,
                      fixed=False, at_bound=False) for d in self.derived.values()]
        return pd.DataFrame(rows).set_index("name")

    def _repr_html_(self) -> str:
        from html import escape

        verdict = ("<p style='color:firebrick'><b>NOT OK:</b></p><ul>"
                   + "".join(f"<li>{escape(p)}</li>" for p in self.problems) + "</ul>"
                   if self.problems else "<p><b>ok</b></p>")
        rows = "".join(
            f"<tr><td>{escape(p.name)}</td><td>{_format(p.value)}</td>"
            f"<td>{'fixed' if p.fixed else 'at bound' if p.at_bound else _format(p.stderr)}</td>"
            f"<td>{escape(p.unit)}</td></tr>" for p in self.parameters.values())
        rows += "".join(f"<tr><td>{escape(d.name)}</td><td>{_format(d.value)}</td><td>{_format(d.stderr)}</td>"
                        f"<td>{escape(d.unit)}</td></tr>" for d in self.derived.values())
        return (f"<h4>kelvara fit: {escape(self.model)} model</h4>{verdict}"
                "<table><tr><th>name</th><th>value</th><th>std. error</th><th>unit</th></tr>"
                f"{rows}</table><p>chi2 {self.chi2:.6g}, {self.n_points} points, "
                f"{len(self.free)} free parameters</p>")

    def summary(self, temperature_unit: str = "K") -> str:
        """The fit as text: verdict, parameters with standard errors and
        units, intervals, derived values, correlations and statistics.
        temperature_unit "°C" shows temperatures (Te, tm, te) in degrees
        Celsius; their standard errors are the same in both units."""
        if temperature_unit not in ("K", "°C"):
            raise ValueError(f"temperature_unit must be 'K' or '°C', not {temperature_unit!r}")

        def shown(value, unit):
            if unit == "K" and temperature_unit == "°C":
                return value - 273.15, "°C"
            return value, unit

        lines = []
        if self.problems:
            lines.append("NOT OK: this fit is not to be trusted:")
            lines += [f"  - {p}" for p in self.problems]
        lines.append(f"model: {self.model}" + (f" (nuc_size {self.nuc_size})" if self.nuc_size else ""))
        lines += self.notes
        screened, refined, reached = self.starts
        if refined > 1:
            lines.append(f"global search: {screened} starts screened, {refined} refined, "
                         f"{reached} reached the best chi2")
        lines.append(f"{'parameter':24}{'value':>16}{'std. error':>14}  unit")
        for p in self.parameters.values():
            if p.fixed:
                error = "fixed"
            elif p.at_bound:
                error = "at bound"
            else:
                error = _format(p.stderr)
            value, unit = shown(p.value, p.unit)
            lines.append(f"{p.name:24}{_format(value):>16}{error:>14}  {unit}")
        if self.profiles:
            level = next(iter(self.profiles.values())).level
            lines.append(f"profile-likelihood {100 * level:g} % intervals:")
            for pr in self.profiles.values():
                warning = "" if pr.converged else "  (some refits did not converge: may be too narrow)"
                unit = unit_of(pr.name)
                low, high = (shown(v, unit)[0] if v is not None else None for v in (pr.low, pr.high))
                lines.append(f"  {pr.name:22}[{_format(low)}, {_format(high)}]  {shown(0.0, unit)[1]}" + warning)
        if self.bootstrap:
            lines.append("bootstrap 95 % intervals:")
            for name, (low, high) in self.bootstrap.items():
                lines.append(f"  {name:22}[{_format(low)}, {_format(high)}]")
        lines.append("derived:")
        for d in self.derived.values():
            value, unit = shown(d.value, d.unit)
            lines.append(f"  {d.name:22}{_format(value):>16}{_format(d.stderr):>14}  {unit}")
        thermo = [n for n in self.free if n in self._problem.nonlinear_set]
        if len(thermo) > 1:
            lines.append("correlation of the thermodynamic parameters:")
            index = [self.free.index(n) for n in thermo]
            corr = self.correlation[np.ix_(index, index)]
            lines.append(" " * 24 + "".join(f"{n[:12]:>13}" for n in thermo))
            for n, row in zip(thermo, corr):
                lines.append(f"  {n:22}" + "".join(f"{_format(v, '13.5f'):>13}" for v in row))
        noise = f", noise SD {self.noise:.3g} (from the data)" if self.noise else ""
        lines.append(
            f"chi2 {self.chi2:.6g}, reduced chi2 {self.reduced_chi2:.6g}{noise}, AIC {self.aic:.3f}, "
            f"BIC {self.bic:.3f}, {self.n_points} points, {len(self.free)} free parameters, "
            f"{self.nfev} model evaluations"
        )
        return "\n".join(lines)

    def to_dict(self) -> dict:
        """Plain data (JSON-ready, no NaN or infinity): verdict, model,
        parameters, curves, derived values, statistics and intervals, with
        units.  A value that cannot be given is None."""
        correlation = self.correlation
        unknown = [p.name for p in self.parameters.values() if not p.fixed and not p.at_bound
                   and not math.isfinite(p.stderr)]
        unknown += [d.name for d in self.derived.values() if not (math.isfinite(d.value) and math.isfinite(d.stderr))]
        notes = list(self.notes)
        if unknown:
            notes.append("null where a value or its error cannot be computed (not determined, infinite, or "
                         "depending on a parameter that is not determined): " + ", ".join(unknown))
        return {
            "kelvara_version": __version__,
            "ok": self.ok,
            "problems": list(self.problems),
            "notes": notes,
            "model": self.model,
            "nuc_size": self.nuc_size,
            "parameters": {
                p.name: {"value": _json_float(p.value), "stderr": _json_float(p.stderr), "fixed": p.fixed,
                         "at_bound": p.at_bound, "unit": p.unit}
                for p in self.parameters.values()
            },
            "curves": [_curve_dict(c) for c in self.curves],
            "derived": {d.name: {"value": _json_float(d.value), "stderr": _json_float(d.stderr), "unit": d.unit}
                        for d in self.derived.values()},
            "correlation": {"parameters": list(self.free),
                            "matrix": [[_json_float(v) for v in row] for row in correlation]},
            "statistics": {
                "chi2": self.chi2, "reduced_chi2": _json_float(self.reduced_chi2),
                "noise_sd": _json_float(self.noise), "aic": _json_float(self.aic),
                "bic": _json_float(self.bic), "n_points": self.n_points, "converged": self.converged,
                "nfev": self.nfev, "starts_screened": self.starts[0], "starts_refined": self.starts[1],
                "starts_reaching_best": self.starts[2],
            },
            "profile": None if self.profiles is None else {
                p.name: {"low": _json_float(p.low), "high": _json_float(p.high), "level": p.level,
                         "unit": unit_of(p.name), "converged": p.converged}
                for p in self.profiles.values()
            },
            "bootstrap": None if self.bootstrap is None else
            {name: [_json_float(v) for v in interval] for name, interval in self.bootstrap.items()},
        }

    def profile(self, names: Optional[Iterable[str]] = None, level: float = 0.95,
                max_steps: int = 14) -> Dict[str, Profile]:
        """Profile-likelihood intervals of the free thermodynamic parameters
        (or of `names`): each is stepped away from its best value, the other
        free parameters are refitted at every step, and the interval ends
        where chi2 has risen by the F-test's amount at `level`.  Honest where
        the Jacobian's errors are only a linear approximation (delta_h and
        delta_s are correlated at 0.9996).  Sets and returns `profiles`."""
        problem = self._problem
        if names is None:
            names = [n for n in self.free if n in problem.nonlinear_set]
        names = list(names)
        for name in names:
            if name not in self.free:
                raise ValueError(f"cannot profile {name!r}: it is not a free parameter of this fit")
        n, p = self.n_points, len(self.free)
        chi2_min = self.chi2 / problem.scale**2
        if n - p <= 0:
            raise ValueError("a profile needs more points than free parameters")
        threshold = chi2_min * (1.0 + f_distribution.ppf(level, 1, n - p) / (n - p))
        profiles = {}
        for name in names:
            profiles[name] = _profile_one(problem, self, name, chi2_min, threshold, level, max_steps)
        self.profiles = profiles
        return profiles

    def run_bootstrap(self, resamples=200, seed=None, progress=None):
        """Percentile intervals (2.5 %, 97.5 %) from residual resampling: each
        resample adds the residuals, drawn with replacement within each curve,
        to the fitted curves and fits again from the best values.  Sets and
        returns `bootstrap`; `bootstrap_samples` keeps the parameter values."""
        problem = self._problem
        rng = np.random.default_rng(seed)
        fitted = [problem.signal(self._x, i, c.x) for i, c in enumerate(problem.curves)]
        residuals = [c.residuals / problem.scale for c in self.curves]
        show = _progress(progress, resamples)
        samples = []
        for r in range(resamples):
            data = [f + rng.choice(res, size=res.size, replace=True) for f, res in zip(fitted, residuals)]
            refit = problem.solve(self._x, data)
            if refit.status > 0:
                samples.append(np.concatenate([problem.external_vector(refit.x),
                                               problem.derived_vector(refit.x)]))
            show(r + 1)
        names = problem.free + list(problem.derived_names())
        samples = np.array(samples)
        self.bootstrap_samples = dict(zip(names, samples.T)) if len(samples) else {}
        self.bootstrap = {
            name: (float(np.percentile(values, 2.5)), float(np.percentile(values, 97.5)))
            for name, values in self.bootstrap_samples.items()
        }
        if len(samples) < resamples:
            self.notes.append(f"bootstrap: {resamples - len(samples)} of {resamples} refits failed")
        return self.bootstrap


def _curve_dict(c):
    out = {"label": c.label, "vary": c.vary, "c_tot": c.c_tot, "temperature": c.temperature,
           "baseline": c.baseline, "slope": c.slope, "amplitude": c.amplitude, "te": _json_float(c.te)}
    if c.midpoint is not None:
        out[c.midpoint[0]] = _json_float(c.midpoint[1])
    return out


def _format(value, style=".6g"):
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return "n/a"
    return format(value, style)


def _json_float(value):
    return None if value is None or not math.isfinite(value) else float(value)


def _progress(progress, total):
    """A progress bar on stderr when it is a terminal (or when asked)."""
    if progress is None:
        progress = sys.stderr.isatty()
    if not progress:
        return lambda done: None

    def show(done):
        width = 30
        filled = width * done // total
        sys.stderr.write(f"\rbootstrap [{'#' * filled}{'.' * (width - filled)}] {done}/{total}")
        if done == total:
            sys.stderr.write("\n")
        sys.stderr.flush()

    return show


class _Exhausted(Exception):
    """The caller's cap on model evaluations was reached."""


class _Problem:
    """The parameter vector, the residuals and the derived values of a fit.

    Internally the signal is divided by one scale (the largest change within
    a curve), so baselines, slopes and amplitudes are of order one whatever
    the signal's unit; they are multiplied back on the way out.  Everything
    else, the optimiser's path included, then does not depend on that unit.
    """

    def __init__(self, curves, model, nuc_size, shared_amplitude, shared_baseline, baseline_slope,
                 start, fix, bounds, budget=None, aggregate_slope=False, extensive=False, shared=()):
        self.curves = curves
        self.model = model
        self.nuc_size = nuc_size
        self.curve_index = {id(c): i for i, c in enumerate(curves)}
        # The nonlinear parameters: the model's shared thermodynamic ones, or
        # a phenomenological model's per curve (one name when shared).
        unknown = sorted(set(shared) - set(model.per_curve))
        if unknown:
            raise ValueError(f"cannot share {unknown[0]!r}: the per-curve parameters of {model.name!r} are "
                             f"{', '.join(model.per_curve) or 'none'}")
        self.kinds = [kind for kind in VARIED if any(c.vary == kind for c in curves)]
        for kind in self.kinds:
            if kind not in model.experiments:
                raise ValueError(_experiment_mismatch(model, kind))
        # A series at one temperature determines the constants there, not
        # their temperature dependence; several temperatures, or temperature
        # curves beside it, share the thermodynamic parameters.
        self.at_one_temperature = bool(model.constants) and self.kinds == ["concentration"] and \
            len({c.temperature for c in curves}) == 1
        self.nonlinear = list(model.constants if self.at_one_temperature else model.thermo)
        if not self.at_one_temperature and any(c.vary == "concentration" and c.temperature is None
                                               for c in curves):
            raise ValueError("a fit across temperatures needs the temperature of every concentration series")
        for name in model.per_curve:
            self.nonlinear += [name] if name in shared else [f"{name}[{i}]" for i in range(len(curves))]
        self.nonlinear_set = set(self.nonlinear)
        self.log_names = {n for n in self.nonlinear if n.split("[")[0] in model.log_scale}
        if self.at_one_temperature:
            self.log_names = set(self.nonlinear)
        self.names = list(self.nonlinear)
        self.per_curve = {}  # (kind, curve index) -> name
        for kind, shared, wanted in (("baseline", shared_baseline, True), ("slope", shared_baseline, baseline_slope),
                                     ("amplitude", shared_amplitude, True),
                                     ("aggregate_slope", shared_amplitude, aggregate_slope)):
            if not wanted:
                continue
            if kind in ("slope", "aggregate_slope") and "temperature" not in self.kinds:
                raise ValueError(f"{'baseline_slope' if kind == 'slope' else kind} applies to curves "
                                 "against temperature")
            for i in range(len(curves)):
                if kind in ("slope", "aggregate_slope") and curves[i].vary != "temperature":
                    continue
                name = kind if shared else f"{kind}[{i}]"
                if name not in self.names:
                    self.names.append(name)
                self.per_curve[kind, i] = name
        for given in (start, fix, bounds):
            unknown = sorted(set(given) - set(self.names))
            if unknown:
                raise ValueError(
                    f"unknown parameter {unknown[0]!r} for model {model.name!r}; "
                    f"its parameters are {', '.join(self.names)}"
                )
        self.scale = _signal_scale(curves)
        # An extensive signal is c_tot (baseline + amplitude fraction): the
        # regressors carry c_tot / c_ref, c_ref the geometric mean, so that
        # the internal values stay of order one.
        self.extensive = extensive
        self.c_ref = math.exp(float(np.mean([np.mean(np.log(c.concentrations())) for c in curves]))) \
            if extensive else 1.0
        self.observed = [c.signal / self.scale for c in curves]
        # Each point against its neighbours: what the noise is read from, once.
        self.noise_values = [_noise_values(c, y) for c, y in zip(curves, self.observed)]
        self.curve_weights, self.weight_note = _curve_weights(curves, self.noise_values)
        self.fixed = {n: self.internal(n, float(v)) for n, v in fix.items()}
        self.free = [n for n in self.names if n not in self.fixed]
        self.bounds = {}
        for name in self.names:
            low, high = (float(b) for b in bounds.get(name, (-math.inf, math.inf)))
            if not low < high:
                raise ValueError(f"bounds of {name!r} are empty: {low} to {high}")
            if name in self.log_names:
                if high <= 0:
                    raise ValueError(f"bounds of {name!r} hold no positive value: {low} to {high}")
                self.bounds[name] = (-math.inf if low <= 0 else math.log10(low), math.log10(high))
            else:
                self.bounds[name] = (self.internal(name, low), self.internal(name, high))
        self.n_points = sum(c.size for c in curves)
        if self.n_points <= len(self.free):
            raise ValueError(
                f"{self.n_points} points cannot determine {len(self.free)} free parameters"
            )
        self.free_thermo = [n for n in self.free if n in self.nonlinear_set]
        self.free_linear = [n for n in self.free if n not in self.nonlinear_set]
        self.thermo_index = np.array([self.free.index(n) for n in self.free_thermo], dtype=int)
        self.linear_index = np.array([self.free.index(n) for n in self.free_linear], dtype=int)
        self._build_design()
        self.nfev = 0
        self.budget = budget
        self.penalty = 1e3
        self.frozen_branches = None  # per curve: where a piecewise model switches, held for a derivative

    def internal(self, name, value):
        if name in self.log_names:
            if value < 0 or math.isnan(value):
                raise ValueError(f"{name} must be positive, not {value!r}")
            return math.log10(value) if value > 0 else -math.inf
        return value if name in self.nonlinear_set else value * self.c_ref / self.scale

    def external(self, name, value):
        if name in self.log_names:
            return 10.0 ** value
        return value if name in self.nonlinear_set else value * self.scale / self.c_ref

    def external_slope(self, name, value):
        """d external / d internal at an internal value: what turns an
        internal standard error into an external one."""
        if name in self.log_names:
            return 10.0 ** value * math.log(10.0)
        return self.external(name, 1.0)

    def external_vector(self, x):
        return np.array([self.external(n, v) for n, v in zip(self.free, x)])

    def plain(self, values):
        """Values with the log-scale ones turned back into their own."""
        return {n: (self.external(n, v) if n in self.log_names else v) for n, v in values.items()}

    def weight(self, i, x):
        """What multiplies curve i's baseline and amplitude at the points x:
        c_tot / c_ref for an extensive signal, else 1."""
        if not self.extensive:
            return 1.0
        curve = self.curves[i]
        return (np.asarray(x, dtype=float) if curve.vary == "concentration" else curve.c_tot) / self.c_ref

    def _build_design(self):
        """The columns of the linear parameters that do not depend on the
        model (baselines and slopes) and where each amplitude goes."""
        offsets = np.cumsum([0] + [c.size for c in self.curves])
        self.rows = [slice(int(a), int(b)) for a, b in zip(offsets[:-1], offsets[1:])]
        self.row_weights = None if self.curve_weights is None else \
            np.concatenate([np.full(c.size, w) for c, w in zip(self.curves, self.curve_weights)])
        self.y = np.concatenate(self.observed)
        column = {n: j for j, n in enumerate(self.free_linear)}
        self.static = np.zeros((self.n_points, len(self.free_linear)))
        self.static_fixed = np.zeros(self.n_points)  # fixed baselines and slopes
        # Per curve, the terms that multiply the fraction: (column or None
        # when fixed, fixed value, regressor).
        self.fraction_terms = []
        for i, curve in enumerate(self.curves):
            rows = self.rows[i]
            weight = self.weight(i, curve.x)
            dt = curve.x - REFERENCE_TEMPERATURE if curve.vary == "temperature" else np.zeros(curve.size)
            for kind, regressor in (("baseline", weight + 0.0 * dt), ("slope", weight * dt)):
                name = self.per_curve.get((kind, i))
                if name is None:
                    continue
                if name in column:
                    self.static[rows, column[name]] += regressor
                else:
                    self.static_fixed[rows] += self.fixed[name] * regressor
            terms = []
            for kind, regressor in (("amplitude", weight + 0.0 * dt), ("aggregate_slope", weight * dt)):
                name = self.per_curve.get((kind, i))
                if name is not None:
                    terms.append((column.get(name), self.fixed.get(name, 0.0), regressor))
            self.fraction_terms.append(terms)

    def _count(self):
        self.nfev += 1
        if self.budget is not None and self.nfev > self.budget:
            raise _Exhausted

    def values(self, x):
        values = dict(self.fixed)
        values.update(zip(self.free, x))
        return values

    def thermo_values(self, theta):
        values = {n: self.fixed[n] for n in self.nonlinear if n in self.fixed}
        values.update(zip(self.free_thermo, theta))
        return values

    def fraction(self, values, curve, temperature):
        """The fraction aggregated of `curve` at the points `temperature`
        (what the curve varies: K, mol/L or the good-solvent fraction)."""
        if curve.vary != "temperature":
            x = np.asarray(temperature, dtype=float)
            t = math.nan if curve.temperature is None else curve.temperature
            concentration = x if curve.vary == "concentration" else curve.c_tot
            consts = constants(self.model, self.plain(values), np.full(x.shape, t),
                               x if curve.vary == "solvent" else None)
            return concentration_fraction(self.model, consts, concentration, self.nuc_size)
        if not self.model.mass_balance:
            i = self.curve_index[id(curve)]
            own = {}
            for p in self.model.per_curve:
                name = p if p in self.nonlinear_set else f"{p}[{i}]"
                own[p] = self.external(name, values[name]) if name in self.log_names else values[name]
            if self.frozen_branches is not None:
                own["branch"] = self.frozen_branches[i]
            return np.asarray(self.model.curve_fraction(own, np.asarray(temperature, dtype=float)), dtype=float)
        thermo = [values[n] for n in self.model.thermo]
        extra = (self.nuc_size,) if self.model.name == "cooperative_n" else ()
        # The curve's own temperatures are converted to a list once.
        temps = curve.temperature_list if temperature is curve.temperature else temperature.tolist()
        fraction = np.array(self.model.function(temps, *thermo, curve.c_tot, 1.0, *extra))
        return self._exact_where_weak(fraction, values, curve.c_tot, np.asarray(temperature, dtype=float))

    # The sweeps take 100 halvings of [0, 1/K], which know the free monomer
    # to (1/K) 2^-101: not to the last bit once K c_tot falls below about
    # 1e-14 (there 100 steps can even give -0.18 for a true 2e-30).  Where
    # K c_tot < 1e-9 the fit recomputes with the concentration functions'
    # exact step count (steps past the fixed point cost nothing).
    WEAK = 1e-9

    def _exact_where_weak(self, fraction, values, c_tot, temperature):
        name = self.model.name
        if name == "isodesmic_direct" or temperature.size == 0:
            return fraction  # the closed form needs no steps
        # ln K is linear in 1/T: if neither end of the range is weak, no point is.
        limit = math.log(self.WEAK / c_tot)
        pairs = [("delta_h_coop", "delta_s_coop"), ("delta_h_iso", "delta_s_iso")] if name == "coop_iso" \
            else [("delta_h", "delta_s")]
        ends = (float(temperature.min()), float(temperature.max()))

        def strong(h, s):  # K c_tot >= WEAK at both ends, so everywhere between
            return all(values[s] / GAS_CONSTANT - values[h] / (t * GAS_CONSTANT) >= limit for t in ends)

        if ends[0] > 0 and any(strong(h, s) for h, s in pairs):
            return fraction
        rt = temperature * GAS_CONSTANT
        h, s = ("delta_h_coop", "delta_s_coop") if name == "coop_iso" else ("delta_h", "delta_s")
        with np.errstate(over="ignore", under="ignore", invalid="ignore"):
            k = np.exp(values[s] / GAS_CONSTANT - values[h] / rt)
            k_iso = np.exp(values["delta_s_iso"] / GAS_CONSTANT - values["delta_h_iso"] / rt) \
                if name == "coop_iso" else k
        weak = np.flatnonzero((np.maximum(k, k_iso) * c_tot < self.WEAK) & (temperature > 0))
        if weak.size:
            fraction[weak] = concentration_fraction(self.model, constants(self.model, values, temperature[weak]),
                                                    c_tot, self.nuc_size)
        return fraction

    def fractions(self, values):
        """The fraction aggregated of every curve, or None where the model
        raises its error or gives non-finite values."""
        self._count()
        try:
            out = [self.fraction(values, c, c.x) for c in self.curves]
        except (ValueError, OverflowError):
            return None
        # A fraction aggregated lies in [0, 1]; far outside, the parameters
        # have left the model's domain (a negative K, say), and such values
        # would only swamp the linear algebra.
        return out if all(np.all((f > -0.5) & (f < 1.5)) for f in out) else None

    def linear_values(self, values, i):
        """baseline, slope, amplitude and aggregate slope of curve i (internal units)."""
        return tuple(values[self.per_curve[kind, i]] if (kind, i) in self.per_curve else 0.0
                     for kind in ("baseline", "slope", "amplitude", "aggregate_slope"))

    def compose(self, values, i, x, fraction):
        baseline, slope, amplitude, aggregate_slope = self.linear_values(values, i)
        dt = np.asarray(x, dtype=float) - REFERENCE_TEMPERATURE if self.curves[i].vary == "temperature" else 0.0
        return self.weight(i, x) * (baseline + slope * dt + (amplitude + aggregate_slope * dt) * fraction)

    def signal(self, x, i, temperature):
        """Model signal of curve i (internal units)."""
        values = self.values(x)
        return self.compose(values, i, temperature, self.fraction(values, self.curves[i], temperature))

    def model_minus_data(self, x, data=None):
        """Model minus data for every point (internal units), or None where
        the model raises its error or gives non-finite values."""
        values = self.values(x)
        fractions = self.fractions(values)
        if fractions is None:
            return None
        parts = []
        for i, curve in enumerate(self.curves):
            observed = self.observed[i] if data is None else data[i]
            part = self.compose(values, i, curve.x, fractions[i]) - observed
            parts.append(part if self.curve_weights is None else part * self.curve_weights[i])
        r = np.concatenate(parts)
        return r if np.all(np.isfinite(r)) else None

    def residuals(self, x, data=None):
        """What the optimiser sees: a parameter set where the model fails
        gets a large constant residual, which it steps away from."""
        r = self.model_minus_data(x, data)
        return np.full(self.n_points, self.penalty) if r is None else r

    def project(self, theta, data=None):
        """For free thermodynamic values `theta`: the best baselines, slopes
        and amplitudes by linear least squares, and the residuals there.
        None where the model cannot be evaluated."""
        fractions = self.fractions(self.thermo_values(theta))
        if fractions is None:
            return None
        y = self.y if data is None else np.concatenate(data)
        rhs = y - self.static_fixed
        design = self.static.copy()
        for i, f in enumerate(fractions):
            for j, fixed, regressor in self.fraction_terms[i]:
                if j is None:
                    rhs[self.rows[i]] -= fixed * regressor * f
                else:
                    design[self.rows[i], j] += regressor * f
        design, rhs = self.weigh(design), self.weigh(rhs)
        if design.shape[1]:
            beta = _least_squares_linear(design, rhs)
            r = design @ beta - rhs
        else:
            beta, r = np.zeros(0), -rhs
        return (r, beta) if np.all(np.isfinite(r)) else None

    def weigh(self, rows):
        """Rows (a vector or a design) times their curve's weight: a fit of
        curves with different noise counts each point by its own noise."""
        if self.row_weights is None:
            return rows
        return rows * (self.row_weights if rows.ndim == 1 else self.row_weights[:, None])

    def projected_residuals(self, theta, data=None):
        out = self.project(theta, data)
        return np.full(self.n_points, self.penalty) if out is None else out[0]

    def full_vector(self, theta, beta):
        x = np.empty(len(self.free))
        x[self.thermo_index] = theta
        x[self.linear_index] = beta
        return x

    def free_bounds(self, names=None):
        names = self.free if names is None else names
        return ([self.bounds[n][0] for n in names], [self.bounds[n][1] for n in names])

    def solve(self, x0, data=None, max_nfev=None, hold=None):
        """scipy's least_squares from x0 (clipped into the bounds), on the
        curves' own signals or on `data`.  `hold`: indices of x kept at
        their values in x0."""
        low, high = self.free_bounds()
        x0 = np.clip(np.asarray(x0, dtype=float), low, high)
        if hold:
            keep = np.array([j for j in range(len(x0)) if j not in hold], dtype=int)
            base = x0.copy()

            def fun(z):
                x = base.copy()
                x[keep] = z
                return self.residuals(x, data)

            result = least_squares(
                fun, x0[keep], bounds=(np.array(low)[keep], np.array(high)[keep]),
                x_scale="jac", method="trf", xtol=1e-12, ftol=1e-12, gtol=1e-10,
                max_nfev=max_nfev or 200 * (len(keep) + 1),
            )
            x = base.copy()
            x[keep] = result.x
            result.x = x
            return result
        return least_squares(
            self.residuals, x0, args=(data,), bounds=(low, high),
            x_scale="jac", method="trf", xtol=1e-12, ftol=1e-12, gtol=1e-10,
            max_nfev=max_nfev or 200 * (len(x0) + 1),
        )

    def jacobian(self, x):
        """Central differences of the residuals in every free parameter, or
        None where the model cannot be evaluated next to x.  A piecewise
        model keeps each point in its regime meanwhile: a point jumping
        across the step at Te is not a slope."""
        if "te" in self.model.per_curve:
            values = self.values(x)
            self.frozen_branches = [values["te" if "te" in self.nonlinear_set else f"te[{i}]"]
                                    for i in range(len(self.curves))]
        try:
            return self._central_differences(x)
        finally:
            self.frozen_branches = None

    def _central_differences(self, x):
        columns = []
        for j, name in enumerate(self.free):
            base = name.split("[")[0]
            typical = 1e3 if base.startswith(("delta_h", "h_e", "delta_g")) or base == "m" else 1.0
            step = 6e-6 * max(abs(x[j]), typical)
            up, down = x.copy(), x.copy()
            up[j] += step
            down[j] -= step
            r_up, r_down = self.model_minus_data(up), self.model_minus_data(down)
            if r_up is None or r_down is None:
                return None
            columns.append((r_up - r_down) / (up[j] - down[j]))
        return np.column_stack(columns) if columns else np.zeros((self.n_points, 0))

    # Derived values: functions of the parameter values.

    def derived_functions(self):
        if not self.model.mass_balance:
            return self._phenomenological_derived()
        out = {}
        if self.model.denaturation:
            # Half aggregated where K(f) = K50 of the curve's c_tot:
            # dG0 + m f50 = -RT ln K50.
            for i, curve in enumerate(self.curves):
                rt = GAS_CONSTANT * curve.temperature
                out[f"f50[{i}]"] = (lambda rt, c: lambda v: (
                    -rt * math.log(half_aggregation_constant(self.plain(v).get("sigma", 1.0), c))
                    - v["delta_g0"]) / v["m"])(rt, curve.c_tot)
            return out
        series = [i for i, c in enumerate(self.curves) if c.vary == "concentration"]
        for i in series:
            out[f"c50[{i}]"] = (lambda t: lambda v: self.half_concentration(v, t))(self.curves[i].temperature)
        if self.at_one_temperature:
            t = self.curves[0].temperature
            if t is not None:
                for k in self.nonlinear:
                    if k.startswith("k"):
                        label = "dG" + k[1:]
                        out[f"{label}({t:g} K)"] = (lambda k: lambda v: -GAS_CONSTANT * t * v[k] * math.log(10.0))(k)
            return out
        h, s, nuc = self.model.elongation
        if self.model.name == "coop_iso":
            out["K_iso(298.15 K)"] = lambda v: _k(v["delta_h_iso"], v["delta_s_iso"], REFERENCE_TEMPERATURE)
            out["dG_iso(298.15 K)"] = lambda v: v["delta_h_iso"] - REFERENCE_TEMPERATURE * v["delta_s_iso"]
        label = "K_coop" if self.model.name == "coop_iso" else "K"
        out[f"{label}(298.15 K)"] = lambda v: _k(v[h], v[s], REFERENCE_TEMPERATURE)
        out[f"dG{label[1:]}(298.15 K)"] = lambda v: v[h] - REFERENCE_TEMPERATURE * v[s]
        temperature_curves = [(i, c) for i, c in enumerate(self.curves) if c.vary == "temperature"]
        if self.model.cooperative:
            for i, curve in temperature_curves:
                te = (lambda c: lambda v: v[h] / (v[s] + GAS_CONSTANT * math.log(c)))(curve.c_tot)
                out[f"Te[{i}]"] = te
                out[f"sigma(Te)[{i}]"] = (lambda te: lambda v: math.exp(-v[nuc] / (GAS_CONSTANT * te(v))))(te)
                self._dp_at(out, "Te", i, curve, te)
        elif self.model.name in ("isodesmic", "isodesmic_direct"):
            # Half the monomer aggregated: m = c/2 in c = m / (1 - K m)^2 gives
            # K c = 2 - sqrt(2), so Tm = dH / (dS - R ln((2 - sqrt(2)) / c)).
            for i, curve in temperature_curves:
                log_ratio = math.log((2.0 - math.sqrt(2.0)) / curve.c_tot)
                tm = (lambda r: lambda v: v[h] / (v[s] - GAS_CONSTANT * r))(log_ratio)
                out[f"Tm[{i}]"] = tm
                self._dp_at(out, "Tm", i, curve, tm)
        return out

    def half_concentration(self, values, temperature):
        """c50: the total concentration at which half the monomer is
        aggregated, at `temperature` (mol/L).  In closed form for a dimer
        nucleus (see half_aggregation_constant), else by bisection in ln c
        on the model's own fraction, which grows with c."""
        consts = constants(self.model, self.plain(values), [math.nan if temperature is None else temperature])
        if self.model.name in ("isodesmic", "cooperative"):
            sigma = consts["sigma"][0] if "sigma" in consts else 1.0
            return half_aggregation_constant(sigma, 1.0) / consts["k"][0]
        low, high = -80.0, 10.0  # ln c
        for _ in range(100):
            middle = 0.5 * (low + high)
            fraction = concentration_fraction(self.model, consts, math.exp(middle), self.nuc_size)[0]
            if fraction < 0.5:
                low = middle
            else:
                high = middle
            if high - low < 1e-13:
                break
        return math.exp(0.5 * (low + high))

    def _dp_at(self, out, where, i, curve, temperature):
        """dp_n and dp_n_all of curve i at a derived temperature."""
        def both(v):
            t = np.array([temperature(v)])
            fraction = self.fraction(v, curve, t)
            return degree_of_polymerisation(self.model.name, v, t, curve.c_tot, fraction, self.nuc_size)

        out[f"dp_n({where})[{i}]"] = lambda v: float(both(v)[0][0])
        out[f"dp_n_all({where})[{i}]"] = lambda v: float(both(v)[1][0])

    def derived_names(self):
        return list(self.derived_functions())

    def derived_vector(self, x):
        values = self.values(x)
        out = []
        for f in self.derived_functions().values():
            try:
                out.append(f(values))
            except (ArithmeticError, ValueError):
                out.append(math.nan)
        return np.array(out, dtype=float)

    def _phenomenological_derived(self):
        """van der Schoot: Nn(Te)[i] = ka^(-1/3), and with two or more
        concentrations the van 't Hoff line 1/Te = (R / dH) ln c_tot + dS / dH
        (from K(Te) c_tot = 1), weighted by the Te errors of the fit."""
        out = {}
        if self.model.name != "vanderschoot":
            return out
        n = len(self.curves)

        def own(p, i):
            return p if p in self.nonlinear_set else f"{p}[{i}]"

        for i in range(n):
            out[f"Nn(Te)[{i}]"] = (lambda name: lambda v: 10.0 ** (-v[name] / 3.0))(own("ka", i))
        if len({c.c_tot for c in self.curves}) >= 2 and "te" not in self.nonlinear_set:
            logs = np.log([c.c_tot for c in self.curves])
            weights = getattr(self, "vh_weights", None)

            def line(v):
                te = np.array([v[f"te[{i}]"] for i in range(n)])
                w = np.ones(n) if weights is None else weights
                a, b = np.polyfit(logs, 1.0 / te, 1, w=np.sqrt(w))
                return a, b

            out["delta_h_vh"] = lambda v: GAS_CONSTANT / line(v)[0]
            out["delta_s_vh"] = lambda v: line(v)[1] * GAS_CONSTANT / line(v)[0]
        return out

    def derived(self, x, covariance):
        """Values with errors propagated to first order (numerical
        gradient); NaN where the value depends on a parameter whose error is
        not determined."""
        if self.model.name == "vanderschoot" and "te" not in self.nonlinear_set:
            # van 't Hoff weights: 1 / var(1/Te) from the fit's own Te errors.
            variance = np.array([covariance[j, j] if n.startswith("te[") else math.nan
                                 for j, n in enumerate(self.free)])
            te = self.values(x)
            weights = []
            for i in range(len(self.curves)):
                name = f"te[{i}]"
                var = variance[self.free.index(name)] if name in self.free else math.nan
                weights.append(te[name] ** 4 / var if math.isfinite(var) and var > 0 else 1.0)
            self.vh_weights = np.array(weights)
        base = self.derived_vector(x)
        gradient = np.zeros((len(base), len(x)))
        for j in range(len(x)):
            step = 1e-6 * max(abs(x[j]), 1.0)
            up, down = x.copy(), x.copy()
            up[j] += step
            down[j] -= step
            gradient[:, j] = (self.derived_vector(up) - self.derived_vector(down)) / (2 * step)
        unknown = ~np.isfinite(np.diag(covariance))
        known = np.where(np.isfinite(covariance), covariance, 0.0)
        variance = np.einsum("ij,jk,ik->i", gradient, known, gradient)
        depends = (np.abs(gradient[:, unknown]) > 0).any(axis=1) | ~np.isfinite(gradient).all(axis=1)
        errors = np.sqrt(np.where((variance >= 0) & ~depends, variance, np.nan))
        return {
            name: Derived(name, float(v), float(e))
            for name, v, e in zip(self.derived_names(), base, errors)
        }


def _least_squares_linear(design, rhs):
    """The linear least-squares solution through the normal equations of
    the column-scaled design: the system is a few columns wide, so this is
    several times faster than an SVD of the whole design, and the scaling
    keeps it accurate for the well-posed systems of a fit; a singular one
    gets the minimum-norm solution."""
    gram = design.T @ design
    if not np.all(np.isfinite(gram)):
        # LAPACK may never return on non-finite input.
        return np.full(design.shape[1], math.nan)
    norms = np.sqrt(np.diag(gram))
    norms[norms == 0.0] = 1.0
    scaled = gram / np.outer(norms, norms)
    return np.linalg.lstsq(scaled, (design.T @ rhs) / norms, rcond=1e-13)[0] / norms


def _signal_scale(curves):
    """One positive number with the signal's unit: the largest change within
    a curve, or the largest magnitude when nothing changes."""
    spread = max(float(np.ptp(c.signal)) for c in curves)
    if spread > 0.0:
        return spread
    size = max(float(np.max(np.abs(c.signal))) for c in curves)
    return size if size > 0.0 else 1.0


def _k(delta_h, delta_s, temperature):
    return math.exp(delta_s / GAS_CONSTANT - delta_h / (GAS_CONSTANT * temperature))


# --- starting values --------------------------------------------------------------

# Enthalpies of elongation over the range the field reports (J/mol), and
# nucleation enthalpies from weak to strong cooperativity (sigma at 330 K from
# about 0.5 to 1e-7).
_ENTHALPIES = (-40e3, -80e3, -140e3, -230e3)
_NUCLEATION = (3e3, 18e3, 40e3)
_REFINED = 3  # starts refined after the screening, besides the guessed one


def _axis(curve):
    """What a curve varies, as its x axis: ln c for a concentration series."""
    return np.log(curve.x) if curve.vary == "concentration" else curve.x


def _steepest(curve):
    """Where the curve changes fastest (K, mol/L or fraction), from a
    running mean over 5 % of its points (so that noise does not decide)."""
    found = _steepest_on_axis(curve)
    return None if found is None else math.exp(found) if curve.vary == "concentration" else found


def _steepest_on_axis(curve):
    x = _axis(curve)
    order = np.argsort(x)
    t, y = x[order], curve.signal[order]
    if len(t) < 5 or np.ptp(t) <= 0:
        return None
    window = max(1, len(t) // 20)
    smooth = np.convolve(y, np.ones(window) / window, mode="valid")
    centre = np.convolve(t, np.ones(window) / window, mode="valid")
    if len(smooth) < 2 or np.ptp(centre) <= 0:
        return None
    keep = np.concatenate([[True], np.diff(centre) > 0])
    smooth, centre = smooth[keep], centre[keep]
    if len(smooth) < 2:
        return None
    return float(centre[int(np.argmax(np.abs(np.gradient(smooth, centre))))])


def _guess(problem: _Problem) -> Dict[str, float]:
    """One start from the data, as a single local fit takes it: the steepest
    point of each curve marks where K c_tot is about 1; those temperatures
    against c_tot give the enthalpy (van 't Hoff), or -100 kJ/mol."""
    if not problem.model.mass_balance:
        return _per_curve_start(problem, 0.0, -80000.0, 1e-4)
    if problem.model.denaturation:
        curve = problem.curves[0]
        steepest = _steepest(curve)
        return _denaturation_start(problem.model, curve.temperature, curve.c_tot,
                                   float(np.median(curve.x)) if steepest is None else steepest, 15e3, 1e-2)
    if problem.at_one_temperature:
        found = [c for c in map(_steepest, problem.curves) if c is not None]
        middle = found[0] if found else math.exp(float(np.median(_axis(problem.curves[0]))))
        return _constants_start(problem.model, 1.0 / middle, 1e-2, 0.1)
    transitions = [_transition(c) for c in problem.curves]
    transitions = [t for t in transitions if t is not None]
    delta_h = -100000.0
    if len({c for _, c in transitions}) >= 2:
        inverse_t = np.array([1.0 / t for t, _ in transitions])
        log_c = np.log([c for _, c in transitions])
        slope = np.polyfit(inverse_t, log_c, 1)[0]  # ln c = dH / (R Tm) - dS / R
        if -1e6 < slope * GAS_CONSTANT < -1e4:
            delta_h = slope * GAS_CONSTANT
    if transitions:
        tm, c = transitions[0]
    else:
        curve = problem.curves[0]
        c = math.exp(float(np.mean(np.log(curve.concentrations()))))
        tm = float(np.median(curve.temperatures()))
    return _thermo_start(problem.model, delta_h, tm, c, 20000.0, 0.1)


def _transition(curve):
    """(temperature, c_tot) where the curve changes fastest, or None."""
    found = _steepest(curve)
    if found is None:
        return None
    return (found, curve.c_tot) if curve.vary == "temperature" else (curve.temperature, found)


def _constants_start(model, k, sigma, iso_ratio):
    """Constants at one temperature; the mixed model's isodesmic pathway
    iso_ratio times weaker."""
    values = {"k": k, "sigma": sigma, "k_coop": k, "k_iso": iso_ratio * k}
    return {n: values[n] for n in model.constants}


def _denaturation_start(model, temperature, c_tot, anchor, m, sigma):
    """delta_g0 with K(anchor) c_tot = 1 at the curve's temperature."""
    delta_g0 = GAS_CONSTANT * temperature * math.log(c_tot) - m * anchor
    values = {"delta_g0": delta_g0, "m": m, "sigma": sigma}
    return {n: values[n] for n in model.thermo}


def _thermo_start(model, delta_h, anchor, c_tot, delta_h_nuc, iso_ratio):
    """Thermodynamic values with K(anchor) c_tot = 1; for the mixed model a
    weaker isodesmic pathway (0.6 delta_h, K_iso c_tot = iso_ratio there)."""
    delta_s = delta_h / anchor - GAS_CONSTANT * math.log(c_tot)
    thermo = {
        "delta_h": delta_h, "delta_s": delta_s, "delta_h_nuc": delta_h_nuc,
        "delta_h_coop": delta_h, "delta_s_coop": delta_s, "delta_h_nuc_coop": delta_h_nuc,
        "delta_h_iso": 0.6 * delta_h,
        "delta_s_iso": 0.6 * delta_h / anchor - GAS_CONSTANT * math.log(c_tot / iso_ratio),
    }
    return {n: thermo[n] for n in model.thermo}


# Starts of the phenomenological models, per curve: Te or Tm offsets from the
# steepest point (K), enthalpies (J/mol) and activation constants.
_OFFSETS = (-8.0, -3.0, 0.0, 3.0, 8.0, 15.0)
_CURVE_ENTHALPIES = (-40e3, -90e3, -180e3)
_ACTIVATION = (1e-2, 1e-4, 1e-6)


def _per_curve_start(problem, offset, enthalpy, activation):
    """Values of every per-curve parameter: each curve's Te (or Tm) at its
    steepest point plus offset; a shared one takes the mean."""
    values = {}
    for p in problem.model.per_curve:
        per = []
        for curve in problem.curves:
            steepest = _steepest(curve)
            middle = float(np.median(curve.temperature)) if steepest is None else steepest
            per.append({"te": middle + offset, "tm": middle + offset, "h_e": enthalpy,
                        "delta_h": enthalpy, "ka": activation}[p])
        if p in problem.nonlinear_set:
            values[p] = float(np.mean(per))
        else:
            values.update({f"{p}[{i}]": v for i, v in enumerate(per)})
    return values


def _candidates(problem: _Problem) -> List[Dict[str, float]]:
    """Starts spread over plausible values: the elongation temperature at
    each curve's steepest point and on a grid that runs half the measured
    range beyond either edge (a transition cut off at an edge still gets a
    start beyond it), each with every enthalpy of _ENTHALPIES and, for the
    cooperative models, every nucleation enthalpy of _NUCLEATION."""
    model = problem.model
    if not model.mass_balance:
        activations = _ACTIVATION if "ka" in model.per_curve else (None,)
        return [_per_curve_start(problem, offset, h, a) for offset in _OFFSETS for h in _CURVE_ENTHALPIES
                for a in activations]
    if model.denaturation:
        return _denaturation_candidates(problem)
    if problem.at_one_temperature:
        return _constants_candidates(problem)
    anchors = []
    temperature_curves = [c for c in problem.curves if c.vary == "temperature"]
    if temperature_curves:
        low = min(float(c.temperature.min()) for c in temperature_curves)
        high = max(float(c.temperature.max()) for c in temperature_curves)
        width = max(high - low, 10.0)
        c_mid = math.exp(float(np.mean([math.log(c.c_tot) for c in temperature_curves])))
        anchors += [(t, c_mid) for t in np.linspace(low - 0.5 * width, high + 0.5 * width, 5) if t > 0.3 * low]
    for curve in problem.curves:
        if curve.vary == "concentration":
            # K c = 1 across the measured concentrations and a decade beyond.
            logs = np.log10(curve.x)
            anchors += [(curve.temperature, 10.0 ** g) for g in np.linspace(logs.min() - 1, logs.max() + 1, 5)]
        transition = _transition(curve)
        if transition is not None:
            anchors.append(transition)
    nucleation = _NUCLEATION if model.cooperative else (0.0,)
    iso_ratios = (0.1, 0.005) if model.name == "coop_iso" else (0.1,)
    out = []
    for anchor, c_tot in anchors:
        for delta_h in _ENTHALPIES:
            for nuc in nucleation:
                for ratio in iso_ratios:
                    out.append(_thermo_start(model, delta_h, anchor, c_tot, nuc, ratio))
    return out


# Starts of a series at one temperature (cooperativities) and of a
# denaturation (m, J/mol).
_SIGMAS = (0.3, 1e-1, 1e-2, 1e-3, 1e-4, 1e-6)
_M_VALUES = (5e3, 15e3, 40e3, 100e3)


def _constants_candidates(problem):
    """K c = 1 on a grid from a decade below to a decade above the measured
    concentrations and at each series' steepest point, with every
    cooperativity of _SIGMAS."""
    logs = np.concatenate([np.log10(c.x) for c in problem.curves])
    middles = [1.0 / 10.0 ** g for g in np.linspace(logs.min() - 1.0, logs.max() + 1.0, 7)]
    middles += [1.0 / c for c in map(_steepest, problem.curves) if c is not None]
    sigmas = _SIGMAS if "sigma" in problem.model.constants else (None,)
    ratios = (0.1, 0.005) if problem.model.name == "coop_iso" else (0.1,)
    return [_constants_start(problem.model, k, sigma, ratio) for k in middles for sigma in sigmas
            for ratio in ratios]


def _denaturation_candidates(problem):
    """K c_tot = 1 at fractions spread from half the measured span below to
    half above it and at each curve's steepest point, with every m of
    _M_VALUES and (cooperative) every sigma of _SIGMAS."""
    model = problem.model
    low = min(float(c.x.min()) for c in problem.curves)
    high = max(float(c.x.max()) for c in problem.curves)
    width = max(high - low, 0.05)
    reference = problem.curves[len(problem.curves) // 2]
    anchors = [(reference, f) for f in np.linspace(low - 0.5 * width, high + 0.5 * width, 5)]
    anchors += [(c, f) for c in problem.curves for f in [_steepest(c)] if f is not None]
    sigmas = _SIGMAS[1:] if "sigma" in model.thermo else (None,)
    return [_denaturation_start(model, curve.temperature, curve.c_tot, f, m, sigma)
            for curve, f in anchors for m in _M_VALUES for sigma in sigmas]


def _experiment_mismatch(model, kind):
    """Why `model` cannot fit a curve that varies `kind`, in one sentence,
    with the models that can."""
    fits = " and ".join(EXPERIMENTS[k] for k in model.experiments)
    others = ", ".join(m.name for m in MODELS.values() if kind in m.experiments)
    return f"the {model.name} model fits {fits}, not {EXPERIMENTS[kind]}; use {others}"


def _theta(problem, thermo):
    """Free thermodynamic values of a start, clipped into the bounds."""
    low, high = problem.free_bounds(problem.free_thermo)
    return np.clip([problem.internal(n, thermo[n]) for n in problem.free_thermo], low, high)


def _refine(problem, theta, max_nfev):
    """A local fit of the thermodynamic parameters alone, the linear ones
    solved for exactly at every step; returns (chi2, theta)."""
    low, high = problem.free_bounds(problem.free_thermo)
    result = least_squares(
        problem.projected_residuals, theta, bounds=(low, high), x_scale="jac", method="trf",
        xtol=1e-8, ftol=1e-8, gtol=1e-8, max_nfev=max_nfev or 100 * (len(theta) + 1),
    )
    return float(result.fun @ result.fun), result.x


def _search(problem: _Problem, start: Dict[str, float], notes: List[str], search: bool, max_nfev):
    """The start of the final fit: (x0, screened, refined, reaching best)."""
    guess = _guess(problem)
    if not problem.free_thermo:
        projected = problem.project(np.zeros(0))
        if projected is None:
            raise ValueError("the model cannot be evaluated at the fixed thermodynamic values")
        return problem.full_vector(np.zeros(0), _linear_start(problem, projected[1])), 1, 1, 1

    given = {n: start[n] for n in problem.free_thermo if n in start}
    first = dict(guess)
    first.update(given)
    starts = [_theta(problem, first)]
    if given and problem.project(starts[0]) is None:
        # The model raises its error (or overflows) at the given start: take
        # the guessed value for each given parameter until it evaluates.
        for name in given:
            first[name] = guess[name]
            notes.append(f"start value of {name} replaced by {guess[name]:.6g}: the model fails there")
            starts[0] = _theta(problem, first)
            if problem.project(starts[0]) is not None:
                break

    screened = 1
    if search:
        scored = []
        seen = set()
        for thermo in _candidates(problem):
            theta = _theta(problem, thermo)
            key = tuple(np.round(theta, 6))
            if key in seen:
                continue
            seen.add(key)
            projected = problem.project(theta)
            if projected is not None:
                r = projected[0]
                per_curve = np.array([float(r[rows] @ r[rows]) for rows in problem.rows])
                scored.append((float(r @ r), len(scored), theta, per_curve))
        screened += len(seen)
        scored.sort(key=lambda item: item[:2])
        if scored and not problem.model.mass_balance:
            # Curves that share nothing nonlinear are best started each at its
            # own best: the k-th best start of every curve, put together.
            suffix = [n.rsplit("[", 1)[1].rstrip("]") if "[" in n else None for n in problem.free_thermo]
            for k in range(min(_REFINED, len(scored))):
                theta = scored[0][2].copy()
                for i in range(len(problem.curves)):
                    chosen = sorted(scored, key=lambda item: item[3][i])[k][2]
                    for j, owner in enumerate(suffix):
                        if owner == str(i):
                            theta[j] = chosen[j]
                starts.append(theta)
        starts += _diverse([item[2] for item in scored], problem, _REFINED)

    refined = []
    for theta in starts:
        if problem.project(theta) is None:
            continue
        refined.append(_refine(problem, theta, max_nfev))
    if not refined:
        raise ValueError("the model cannot be evaluated at any starting values; give `start`")
    best_chi2, best_theta = min(refined, key=lambda item: item[0])
    # The same minimum, reached from several starts, agrees to the
    # optimiser's tolerance; residuals of 1e-7 of the signal's change are
    # zero for this count (noise-free data).
    tolerance = 1e-6 * best_chi2 + problem.n_points * 1e-14
    reached = sum(1 for chi2, _ in refined if chi2 <= best_chi2 + tolerance)
    beta = problem.project(best_theta)[1]
    return (problem.full_vector(best_theta, _linear_start(problem, beta)),
            screened, len(refined), reached)


def _linear_start(problem, beta):
    low, high = problem.free_bounds(problem.free_linear)
    return np.clip(beta, low, high)


def _diverse(thetas, problem, count):
    """The first `count` of the sorted starts, skipping one that lies close
    to a start already taken (it would most likely reach the same minimum)."""
    taken = []
    def span(name):
        base = name.split("[")[0]
        if base.startswith("delta_s"):
            return 30.0
        if base in ("te", "tm"):
            return 5.0
        return 1.0 if name in problem.log_names else 1e4

    spans = np.array([span(n) for n in problem.free_thermo])
    for theta in thetas:
        if all(np.max(np.abs(theta - t) / spans) > 0.25 for t in taken):
            taken.append(theta)
            if len(taken) == count:
                break
    return taken


# --- the verdict ------------------------------------------------------------------


def _noise_values(curve, y):
    """Each point of a curve against the quadratic through its two
    neighbours on either side (in what it varies; ln c for a series),
    normalised to the noise's own scale.  A quadratic, not a straight line,
    so that a transition sampled by few points reads as little curvature as
    can be: a 41-point denaturation 20 noise SDs high reads 1.2 times its
    noise this way, 3.5 times against the line through two neighbours."""
    x = _axis(curve)
    # A reading recorded twice (the same x and the same value) says nothing
    # of the noise: against its twin it would read none at all.
    _, first = np.unique(np.stack([x, y], axis=1), axis=0, return_index=True)
    if first.size < x.size:
        keep = np.sort(first)
        x, y = x[keep], y[keep]
    order = np.argsort(x, kind="stable")
    t, y = x[order], y[order]
    if len(t) < 5:
        return np.zeros(0)
    centre = np.arange(2, len(t) - 2)
    around = centre[:, None] + np.array([-2, -1, 1, 2])
    span = t[centre + 2] - t[centre - 2]
    ok = span > 0
    dt = (t[around] - t[centre][:, None]) / np.where(ok, span, 1.0)[:, None]
    design = np.stack([np.ones_like(dt), dt, dt * dt], axis=2)  # (points, 4, 3)
    normal = np.einsum("pki,pkj->pij", design, design)
    ok &= np.abs(np.linalg.det(normal)) > 1e-9
    normal[~ok] = np.eye(3)
    first = np.linalg.solve(normal, np.broadcast_to(np.array([1.0, 0.0, 0.0]), (len(centre), 3))[..., None])
    weights = np.einsum("pki,pi->pk", design, first[..., 0])  # the quadratic at the centre, from the four
    e = (y[centre] - np.einsum("pk,pk->p", weights, y[around])) / np.sqrt(1.0 + np.einsum("pk,pk->p", weights,
                                                                                        weights))
    return e[ok]


# Curves whose noise differs by more than this factor, and by more than
# _STRUCTURE_SDS standard deviations of the estimates' own scatter, are
# weighted each by its own noise read from the data (each from at least
# _OWN_NOISE points): a cooling curve in mdeg beside a series in absorbance,
# or curves normalised each by its own concentration, would otherwise count
# only as their numbers' size.
_NOISE_SPREAD = 2.0
_OWN_NOISE = 8


def _curve_weights(curves, noise_values):
    """(weights per curve, note): 1 / each curve's noise SD, scaled to a
    geometric mean of 1, when the curves' noise differs beyond chance;
    (None, None) otherwise (every point counts the same)."""
    sds, counts = [], []
    for values in noise_values:
        counts.append(values.size)
        sds.append(1.4826 * float(np.median(np.abs(values))) if values.size >= _OWN_NOISE else math.nan)
    known = [j for j, sd in enumerate(sds) if math.isfinite(sd) and sd > 0.0]
    if len(known) < 2:
        return None, None
    high = max(known, key=lambda j: sds[j])
    low = min(known, key=lambda j: sds[j])
    # ln SD of a median-based estimate scatters by sqrt(_NOISE_SPREAD_VALUES / n) / 2.
    scatter = 0.5 * math.sqrt(_NOISE_SPREAD_VALUES / counts[high] + _NOISE_SPREAD_VALUES / counts[low])
    if sds[high] <= max(_NOISE_SPREAD, math.exp(_STRUCTURE_SDS * scatter)) * sds[low]:
        return None, None
    middle = math.exp(float(np.mean([math.log(sds[j]) for j in known])))
    weights = [middle / sd if math.isfinite(sd) and sd > 0.0 else 1.0 for sd in sds]
    scale = _signal_scale(curves)
    shown = ", ".join(f"{c.name} {sd * scale:.3g}" for c, sd in zip(curves, sds) if math.isfinite(sd))
    return weights, (f"each curve weighted by its own noise, read from the data (noise SD {shown}: "
                     f"{sds[high] / sds[low]:.3g}x apart); chi2 and the noise SD are of the weighted residuals")


def _noise_variance(problem: _Problem) -> Optional[float]:
    """Variance of the noise from the data alone (internal units, weighted
    as the fit weighs): each point against the quadratic through its
    neighbours (see _noise_values), and a median so that the few points
    where the curve bends sharply do not count.  None with too few points."""
    weights = problem.curve_weights or [1.0] * len(problem.curves)
    normalised = [values * w for values, w in zip(problem.noise_values, weights)]
    values = np.concatenate(normalised) if normalised else np.zeros(0)
    problem.noise_count = values.size
    if values.size < 8:
        return None
    sd = 1.4826 * float(np.median(np.abs(values)))
    return sd * sd


# A fit whose residual variance exceeds the noise variance read from the data
# by this factor leaves structure that the model does not describe.  Clean
# synthetic data and the example stay below 1.3; a missed minimum or a wrong
# model lies far above.
_STRUCTURE_RATIO = 2.0
# A short series (a concentration series of 20 points) measures both
# variances roughly: the ratio may then reach this many of its own standard
# deviations (sqrt(_NOISE_SPREAD_VALUES / n) for the median-based variance of
# n values, measured on pure noise from 20 to 300 points; sqrt(2 / dof) for
# the residuals') before it counts as structure.
_STRUCTURE_SDS = 4.0
_NOISE_SPREAD_VALUES = 12.0
# Above this, the median residual itself (as a variance, against the noise)
# says the misfit is systematic rather than a few outliers.
_OUTLIER_BULK = 1.5
# A transition is seen when adding it lowers chi2 by this many noise
# variances (a flat signal gains about as many as there are extra parameters).
_TRANSITION_GAIN = 60.0


# A thermodynamic parameter is not determined when its standard error exceeds
# both its value and this size.
_TYPICAL = {"J/mol": 10e3, "J/(mol K)": 30.0, "K": 10.0}
# A cooperativity below this has left any value a measurement can tell
# from zero.
_VANISHING = 1e-12
# Residual degrees of freedom below which the noise cannot be measured.
_MIN_DOF = 5


def _verdict(problem, x, converged, message, rss, dof, parameters, derived, noise_var, curve_results):
    problems = []
    if not converged:
        problems.append(f"the fit did not converge: {message}")
    for name in problem.nonlinear:
        p = parameters[name]
        if p.fixed:
            continue
        if p.at_bound:
            side = p.bounds[0] if abs(p.value - p.bounds[0]) <= abs(p.value - p.bounds[1]) else p.bounds[1]
            problems.append(f"{name} ends on its bound {side:g} {p.unit}: the data do not determine it "
                            "within the bounds")
        elif name in problem.log_names and name.startswith("sigma") and p.value < _VANISHING:
            problems.append(f"{name} runs off towards zero ({p.value:.3g}): the data bound it from above only "
                            "(a transition as sharp as can be fits them as well); fix it, or measure closer "
                            "to the onset")
        elif not math.isfinite(p.stderr):
            problems.append(f"{name} is not determined by the data (its standard error cannot be estimated)")
        elif name in problem.log_names:
            if p.stderr > math.log(10.0) * p.value:  # more than a factor of ten either way
                problems.append(f"{name} is not determined by the data: its standard error ({p.stderr:.3g}) "
                                "spans more than a decade")
        elif p.stderr > max(abs(p.value), _TYPICAL[p.unit]):
            problems.append(f"{name} is not determined by the data: its standard error ({p.stderr:.3g} "
                            f"{p.unit}) exceeds its value")
    if dof < _MIN_DOF:
        problems.append(f"only {problem.n_points} points for {len(x)} free parameters: too few to tell "
                        "the noise from the model, so the standard errors mean little")

    # No transition: compare with the fit of baselines (and slopes) alone.
    flat = problem.weigh(problem.static)
    target = problem.weigh(problem.y - problem.static_fixed)
    if flat.shape[1]:
        beta = np.linalg.lstsq(flat, target, rcond=None)[0]
        r_flat = flat @ beta - target
    else:
        r_flat = -target
    rss_flat = float(r_flat @ r_flat)
    floor = (1e-7) ** 2  # internal units: a millionth or so of the signal's change
    if noise_var is not None:
        variance = max(noise_var, floor)
        gain = (rss_flat - rss) / variance
        if gain < _TRANSITION_GAIN:
            problems.append(
                f"the data show no transition: the model lowers chi2 by only {max(gain, 0.0):.3g} noise "
                "variances below baselines alone (the amplitude is not distinguishable from zero)")
        ratio = (rss / dof) / variance
        spread = math.sqrt(_NOISE_SPREAD_VALUES / max(getattr(problem, "noise_count", 0), 1) + 2.0 / max(dof, 1))
        if ratio > max(_STRUCTURE_RATIO, 1.0 + _STRUCTURE_SDS * spread):
            # Systematic misfit moves the bulk of the residuals; a few gross
            # outliers move only their sum of squares.
            residuals = problem.residuals(x)
            bulk = (1.4826 * float(np.median(np.abs(residuals)))) ** 2 / variance
            if bulk > _OUTLIER_BULK:
                problems.append(
                    f"the fit leaves structure in the residuals: their variance is {ratio:.3g} times the "
                    "noise variance estimated from the data (a wrong model, or a missed minimum)")
            else:
                far = int(np.sum(np.abs(residuals) > 5.0 * math.sqrt(variance)))
                problems.append(
                    f"{far} point(s) lie more than 5 noise SDs from the fit and make the residual variance "
                    f"{ratio:.3g} times the noise variance, while the bulk of the residuals is noise: "
                    "outliers pull a least-squares fit; check or remove them")
    elif rss_flat <= rss * (1 + 1e-9):
        problems.append("the data show no transition: the model fits no better than baselines alone")

    far = []
    for i, (curve, result) in enumerate(zip(problem.curves, curve_results)):
        label = curve.label or f"curve {i}"
        x = np.log10(curve.x) if curve.vary == "concentration" else curve.x
        low, high = float(x.min()), float(x.max())
        if result.te is not None:
            width = max(high - low, 1.0)
            te = result.te
            if not math.isfinite(te) or te <= 0:
                problems.append(f"Te of {label} is not a temperature ({te:g} K)")
            elif te < low - width or te > high + width:
                problems.append(f"Te of {label} ({te:.5g} K) lies far outside its measured range "
                                f"{low:g} to {high:g} K")
        elif result.midpoint is not None and math.isfinite(result.midpoint[1]):
            # Half aggregation more than the measured span beyond it: the
            # series shows the transition's foot at most.
            name, value = result.midpoint
            where = math.log10(value) if name == "c50" and value > 0 else value if name == "f50" else -math.inf
            width = max(high - low, 1.0 if name == "c50" else 0.1)
            if not low - width <= where <= high + width:
                shown, unit = (f"{value:.3g} mol/L", "concentrations") if name == "c50" else \
                    (f"{value:.3g}", "good-solvent fractions")
                span = f"{curve.x.min():.3g} to {curve.x.max():.3g}"
                far.append((label, f"{name} of {label} ({shown}) lies far outside its measured {unit} {span}: "
                                   "the data show too little of the transition"))
    if len(far) > 3:
        # One sentence for many series, naming a few.
        names = ", ".join(label for label, _ in far[:3])
        far = [(None, f"the half-aggregation point of {len(far)} of the {len(problem.curves)} curves ({names}, "
                      "...) lies far outside their measured range: the data show too little of the transition")]
    problems += [text for _, text in far]
    return problems


# --- fitting ----------------------------------------------------------------------


def fit(
    curves: Union[Curve, Iterable[Curve]],
    model: str = "cooperative",
    *,
    nuc_size: Union[int, Iterable[int], None] = None,
    shared_amplitude: bool = False,
    shared_baseline: bool = False,
    baseline_slope: bool = False,
    start: Optional[Mapping[str, float]] = None,
    fix: Optional[Mapping[str, float]] = None,
    bounds: Optional[Mapping[str, Tuple[float, float]]] = None,
    max_nfev: Optional[int] = None,
    search: bool = True,
    aggregate_slope: bool = False,
    extensive: bool = False,
    shared: Iterable[str] = (),
) -> FitResult:
    """Fit one model globally to the curves.

    model: one of MODELS ("isodesmic", "isodesmic_direct", "cooperative",
    "cooperative_n", "coop_iso", "vanderschoot", "isodesmic_sigmoid" for
    curves against temperature; the mass-balance ones also for
    concentration series, where a series at one temperature fits "k" (and
    "sigma"; "k_iso", "k_coop", "sigma") on a log scale and several
    temperatures or cooling curves beside it share the thermodynamic
    parameters; "denaturation" and "denaturation_isodesmic" for solvent
    denaturations: "delta_g0", "m" (J/mol) and "sigma").  nuc_size (cooperative_n only): a nucleus
    size, or several (e.g. range(2, 9)): each is fitted and the best kept.
    start, fix, bounds: by parameter name (the thermodynamic names of the
    model, and "amplitude[i]", "baseline[i]", "slope[i]" per curve i, or
    without the index when shared), in J/mol, J/(mol K) and the signal's
    unit.  max_nfev: a cap on the model evaluations of the whole fit.
    aggregate_slope: the aggregated state's signal slopes in T too
    ("aggregate_slope[i]").  extensive: the signal is proportional to the
    concentration (raw absorbance, CD in mdeg): signal = c_tot (baseline +
    amplitude fraction), baselines and amplitudes per mol/L, so that one
    amplitude can be shared across concentrations.  shared: per-curve
    parameters of a phenomenological model that every curve shares
    (shared=("h_e",) for vanderschoot).
    search: False fits once from the guessed (or given) start instead of
    searching; faster, but it may end in a local minimum.

    The result's verdict (`ok`, `problems`) says whether it can be trusted.
    A fit that stops without converging also issues a RuntimeWarning.
    """
    curves, sizes, make, start = _setup(curves, model, nuc_size, shared_amplitude, shared_baseline, baseline_slope,
                                        start, fix, bounds, max_nfev, aggregate_slope, extensive, shared)
    results = [_fit_problem(make(size), dict(start), search) for size in sizes]
    best = min(results, key=lambda r: (not r.converged, r.chi2))
    if len(sizes) > 1:
        best.nuc_size_scan = {r.nuc_size: r.chi2 for r in results}
        best.notes.append("nuc_size scanned: " + ", ".join(
            f"{r.nuc_size}: chi2 {r.chi2:.6g}" for r in results))
    if not best.converged:
        warnings.warn(f"kelvara.fit: the {model} fit did not converge: {best.message}",
                      RuntimeWarning, stacklevel=2)
    return best


def check(curves: Union[Curve, Iterable[Curve]], model: str = "cooperative", **options) -> None:
    """Raise the ValueError that `fit` would raise for these curves and
    options (an unknown model or parameter, a bad bound), without fitting."""
    keywords = dict(nuc_size=None, shared_amplitude=False, shared_baseline=False, baseline_slope=False,
                    start=None, fix=None, bounds=None, max_nfev=None, aggregate_slope=False, extensive=False,
                    shared=())
    unknown = set(options) - set(keywords) - {"search"}
    if unknown:
        raise TypeError(f"check() got an unexpected keyword argument {sorted(unknown)[0]!r}")
    keywords.update((k, v) for k, v in options.items() if k != "search")
    _, sizes, make, _ = _setup(curves, model, **keywords)
    make(sizes[0])


def _setup(curves, model, nuc_size, shared_amplitude, shared_baseline, baseline_slope, start, fix, bounds, max_nfev,
           aggregate_slope, extensive, shared):
    """Everything `fit` checks before it fits: (the curves, the nucleus
    sizes to fit, a function that makes the problem of one size, the
    starting values as numbers)."""
    curves = [curves] if isinstance(curves, Curve) else list(curves)
    if not curves:
        raise ValueError("no curves to fit")
    for curve in curves:
        if not isinstance(curve, Curve):
            raise ValueError(f"expected Curve objects, got {type(curve).__name__}")
        curve.validate()
    if not isinstance(model, str):
        raise ValueError(f"model must be a model's name, such as 'cooperative', not {model!r}")
    start, fix, bounds = (_numbers_by_name(given, what) for given, what in
                          ((start, "start"), (fix, "fix"), (bounds, "bounds")))
    for name, value in fix.items():
        low, high = bounds.get(name, (-math.inf, math.inf))
        if not low <= value <= high:
            raise ValueError(f"{name} is fixed at {value:g}, outside its own bounds {low:g} to {high:g}")
    if max_nfev is not None and (isinstance(max_nfev, bool) or not isinstance(max_nfev, int) or max_nfev < 1):
        raise ValueError(f"max_nfev must be a positive whole number, not {max_nfev!r}")
    if model not in MODELS:
        raise ValueError(f"unknown model {model!r}; the models are {', '.join(MODELS)}")
    entry = MODELS[model]
    if model == "cooperative_n":
        sizes = [2] if nuc_size is None else ([nuc_size] if isinstance(nuc_size, int) else list(nuc_size))
        if not sizes or any(int(n) < 2 for n in sizes):
            raise ValueError(f"nuc_size must be 2 or more, got {nuc_size!r}")
        if any(int(n) > MAX_FITTED_NUC_SIZE for n in sizes):
            raise ValueError(f"nuc_size must be at most {MAX_FITTED_NUC_SIZE} in a fit, got {nuc_size!r}: a fit's "
                             "cost grows with the nucleus (one of 1000 takes about 20 s)")
    elif nuc_size is not None:
        raise ValueError(f"nuc_size applies to the cooperative_n model, not {model!r}")
    else:
        sizes = [None]


    def make(size):
        return _Problem(curves, entry, size, shared_amplitude, shared_baseline, baseline_slope,
                        dict(start or {}), dict(fix or {}), dict(bounds or {}), max_nfev,
                        aggregate_slope=aggregate_slope, extensive=extensive,
                        shared=tuple([shared] if isinstance(shared, str) else shared))

    return curves, sizes, make, start


def _numbers_by_name(given, what):
    """start, fix or bounds as {name: float} (or {name: (float, float)}),
    refusing what is not a number with the name it was given for."""
    if given is None:
        return {}
    if not isinstance(given, Mapping):
        raise ValueError(f"{what} must map parameter names to values, not {type(given).__name__}")
    out = {}
    for name, value in given.items():
        try:
            if what == "bounds":
                low, high = value
                out[name] = (float(low), float(high))
            else:
                out[name] = float(value)
        except (TypeError, ValueError):
            shape = "a pair of numbers (low, high)" if what == "bounds" else "a number"
            raise ValueError(f"{what} of {name!r} must be {shape}, not {value!r}") from None
        if what != "bounds" and not math.isfinite(out[name]):
            raise ValueError(f"{what} of {name!r} must be finite, not {value!r}")
    return out


def _fit_problem(problem: _Problem, start: Dict[str, float], search: bool) -> FitResult:
    notes = [problem.weight_note] if problem.weight_note else []
    exhausted = False
    try:
        x0, screened, refined, reached = _search(problem, start, notes, search, None)
        # From the refined start the polish needs a few steps; a fit that
        # wanders for long has a direction the data do not fix.
        result = problem.solve(x0, max_nfev=20 * (len(x0) + 1))
        x, converged, message = result.x, bool(result.success) and result.status > 0, result.message
        active = result.active_mask != 0
    except _Exhausted:
        exhausted = True
    if exhausted:
        # Out of evaluations: report the guess, not converged.
        budget, problem.budget = problem.budget, None
        guess = _guess(problem)
        theta = _theta(problem, guess)
        projected = problem.project(theta)
        beta = projected[1] if projected is not None else np.zeros(len(problem.free_linear))
        x = problem.full_vector(theta, _linear_start(problem, beta))
        screened = refined = reached = 0
        converged, message = False, f"stopped after {budget} model evaluations (the cap given)"
        active = np.zeros(len(x), dtype=bool)
    problem.budget = None

    final = problem.model_minus_data(x)
    if final is None:
        converged = False
        message = "the model cannot be evaluated at the final values"
    residuals = problem.residuals(x) if final is None else final
    n, p = problem.n_points, len(x)
    rss = float(residuals @ residuals)
    dof = n - p

    covariance = _covariance(problem, x, rss / dof, active, notes)
    errors = np.sqrt(np.diag(covariance))

    scale = problem.scale
    values = problem.values(x)
    parameters = {}
    for name in problem.names:
        fixed = name in problem.fixed
        j = problem.free.index(name) if not fixed else None
        stderr = math.nan if fixed else problem.external_slope(name, float(values[name])) * float(errors[j])
        parameters[name] = Parameter(
            name, problem.external(name, float(values[name])), stderr, fixed,
            tuple(problem.external(name, b) for b in problem.bounds[name]),
            at_bound=bool(not fixed and active[j]),
            per_concentration=problem.extensive and name not in problem.nonlinear_set)

    derived = problem.derived(x, covariance)
    curve_results = []
    for i, curve in enumerate(problem.curves):
        baseline, slope, amplitude, aggregate_slope = (
            problem.external("baseline", float(v)) for v in problem.linear_values(values, i))
        te = derived[f"Te[{i}]"].value if f"Te[{i}]" in derived else None
        if "te" in problem.model.per_curve:
            te = parameters["te" if "te" in problem.nonlinear_set else f"te[{i}]"].value
        midpoint = next(((name, derived[f"{name}[{i}]"].value) for name in ("c50", "f50")
                         if f"{name}[{i}]" in derived), None)
        weight = 1.0 if problem.curve_weights is None else problem.curve_weights[i]
        curve_results.append(CurveResult(
            curve.label, None if curve.vary == "concentration" else curve.c_tot, baseline, slope, amplitude, te,
            residuals[problem.rows[i]] * scale / weight, aggregate_slope, curve.vary,
            None if curve.vary == "temperature" else curve.temperature, midpoint))

    noise_var = _noise_variance(problem)
    problems = _verdict(problem, x, converged, message, rss, dof, parameters, derived, noise_var, curve_results)
    vague = [q.name for q in parameters.values() if q.name.startswith("amplitude") and q.determined
             and q.stderr > abs(q.value)]
    if vague:
        notes.append(f"{', '.join(vague)}: standard error above the value; those curves show too little of the "
                     "transition to fix their own signal change (the verdict judges the thermodynamic parameters only)")
    factors = [problem.external_slope(n, float(v)) for n, v in zip(problem.free, x)]
    external_covariance = covariance * np.outer(factors, factors)
    log_term = n * math.log(rss / n) if rss > 0 else -math.inf
    return FitResult(
        model=problem.model.name, nuc_size=problem.nuc_size, parameters=parameters, curves=curve_results,
        covariance=external_covariance, free=list(problem.free), derived=derived, chi2=rss * scale**2,
        reduced_chi2=rss * scale**2 / dof, aic=log_term + 2 * p + 2 * n * math.log(scale),
        bic=log_term + p * math.log(n) + 2 * n * math.log(scale), n_points=n,
        converged=converged, message=message, nfev=problem.nfev, notes=notes, problems=problems,
        noise=None if noise_var is None else math.sqrt(noise_var) * scale,
        starts=(screened, refined, reached), _problem=problem, _x=x,
    )


def _covariance(problem, x, variance, active, notes):
    """Covariance of the free parameters (internal units) from the full
    Jacobian, scaled by the residual variance.  A parameter on a bound is
    held there; one that lies in a direction the Jacobian cannot resolve
    (rank deficiency), or whose variance is not finite, gets NaN."""
    p = len(x)
    covariance = np.full((p, p), math.nan)
    if p == 0:
        return covariance
    jacobian = problem.jacobian(x)
    if jacobian is None:
        notes.append("the Jacobian cannot be computed next to the best values: no standard errors")
        return covariance
    use = np.flatnonzero(~active)
    j = jacobian[:, use]
    norms = np.sqrt(np.sum(j * j, axis=0))
    usable = norms > 0
    if not np.all(usable):
        # A parameter that does not change the model at all.
        use, j, norms = use[usable], j[:, usable], norms[usable]
    if use.size == 0:
        return covariance
    _, singular, vt = np.linalg.svd(j / norms, full_matrices=False)
    resolved = singular > 1e-8 * singular[0]
    unresolved = np.any(np.abs(vt[~resolved]) > 1e-4, axis=0) if not np.all(resolved) else np.zeros(use.size, bool)
    inner = (vt[resolved].T / singular[resolved] ** 2) @ vt[resolved]
    inner = inner / np.outer(norms, norms) * variance
    inner[unresolved, :] = math.nan
    inner[:, unresolved] = math.nan
    covariance[np.ix_(use, use)] = inner
    return covariance


# --- profiles ---------------------------------------------------------------------


def _profile_one(problem, result, name, chi2_min, threshold, level, max_steps):
    j = problem.free.index(name)
    x_best = result._x
    best = x_best[j]
    # Stepped in the fit's own coordinates (log10 for a log-scale parameter).
    stderr = result.parameters[name].stderr / problem.external_slope(name, best)
    low_bound, high_bound = problem.bounds[name]
    if math.isfinite(stderr) and stderr > 0:
        step = 0.7 * stderr
    else:
        step = 0.05 * abs(best) if best != 0 else (1000.0 if "delta_s" not in name else 5.0)
    points = [(best, chi2_min)]
    ends = {}
    converged = True
    for direction in (-1.0, 1.0):
        x = x_best.copy()
        previous = (best, chi2_min)
        size = step
        end = None
        for _ in range(max_steps):
            value = previous[0] + direction * size
            limit = low_bound if direction < 0 else high_bound
            if (value - limit) * direction >= 0:
                value = limit
            if value == previous[0]:
                break
            x[j] = value
            refit = problem.solve(x, hold=[j], max_nfev=10 * len(x) + 20)
            if refit.status <= 0:
                converged = False
            if not np.isfinite(refit.cost):
                break
            chi2 = 2.0 * float(refit.cost)
            x = refit.x
            points.append((value, chi2))
            if chi2 >= threshold:
                # The crossing, from sqrt(chi2 - chi2_min), nearly linear in the value.
                a, b = math.sqrt(max(previous[1] - chi2_min, 0.0)), math.sqrt(chi2 - chi2_min)
                target = math.sqrt(threshold - chi2_min)
                fraction = (target - a) / (b - a) if b > a else 1.0
                end = float(previous[0] + fraction * (value - previous[0]))
                break
            if chi2 - chi2_min < 0.05 * (threshold - chi2_min):
                size *= 2.0  # still flat: stride out
            previous = (value, chi2)
            if value == limit:
                break
        ends[direction] = end
    points.sort()
    def outside(value):
        return None if value is None else float(problem.external(name, value))

    return Profile(name, np.array([problem.external(name, v) for v, _ in points]),
                   np.array([c for _, c in points]) * problem.scale**2, threshold * problem.scale**2,
                   level, outside(ends[-1.0]), outside(ends[1.0]), converged)


@dataclass
class Comparison:
    """Several models fitted to the same curves: the fits that are ok first,
    by AIC (BIC alongside), then those that are not; `best` is never one
    that is not ok."""

    results: List[FitResult]

    @property
    def best(self) -> Optional[FitResult]:
        """The ok fit with the lowest AIC, or None when no fit is ok."""
        return self.results[0] if self.results and self.results[0].ok else None

    def to_dict(self) -> dict:
        """Plain data (strict JSON): the ranking and every model's results."""
        best = self.best
        return {
            "kelvara_version": __version__,
            "ok": best is not None,
            "best": None if best is None else best.model,
            "ranking": [r.model for r in self.results],
            "models": [r.to_dict() for r in self.results],
        }

    def summary(self) -> str:
        good = [r for r in self.results if r.ok] or self.results
        aic0 = min(r.aic for r in good)
        bic0 = min(r.bic for r in good)
        lines = [f"{'model':18}{'free':>6}{'chi2':>14}{'AIC':>12}{'dAIC':>9}{'BIC':>12}{'dBIC':>9}  verdict"]
        for r in self.results:
            name = r.model + (f" n={r.nuc_size}" if r.nuc_size else "")
            lines.append(f"{name:18}{len(r.free):>6}{r.chi2:>14.6g}{r.aic:>12.3f}{r.aic - aic0:>9.2f}"
                         f"{r.bic:>12.3f}{r.bic - bic0:>9.2f}  {'ok' if r.ok else 'NOT OK'}")
        lines.append("")
        lines.append("main parameters (value +- std. error):")
        for r in self.results:
            main = ", ".join(
                f"{n} {_format(r.parameters[n].value, '.6g')} +- "
                f"{'fixed' if r.parameters[n].fixed else _format(r.parameters[n].stderr, '.3g')} {unit_of(n)}"
                for n in r._problem.nonlinear)
            lines.append(f"  {r.model}: {main}")
        for r in self.results:
            for problem in r.problems:
                lines.append(f"{r.model}: {problem}")
        if self.best is None:
            lines.append("no model fits well enough to be ranked best")
        return "\n".join(lines)


def compare(curves, models: Sequence[str] = ("isodesmic", "cooperative", "coop_iso"), **options) -> Comparison:
    """Fit every model to the same curves and rank them by AIC (BIC
    alongside); fits that are not ok come last, whatever their AIC.  Every
    model sees the same points, so their AIC compare; a phenomenological
    model pays for each of its per-curve parameters (three per curve for
    vanderschoot against three in all for cooperative)."""
    curves = [curves] if isinstance(curves, Curve) else list(curves)
    results = []
    for model in models:
        model_options = dict(options)
        if model != "cooperative_n":
            model_options.pop("nuc_size", None)
        if model in MODELS and "shared" in model_options:
            # each model shares what it has of the names given
            names = model_options["shared"]
            names = [names] if isinstance(names, str) else list(names)
            model_options["shared"] = tuple(n for n in names if n in MODELS[model].per_curve)
        results.append(fit(curves, model, **model_options))
    results.sort(key=lambda r: (not r.ok, r.aic, r.bic))
    return Comparison(results)
