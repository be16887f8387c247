"""Global fits of the temperature models to measured cooling and heating curves.

Needs the ``fit`` extra (NumPy and SciPy): ``python -m pip install 'kelvara[fit]'``.

A curve is a signal measured against temperature at one total concentration.
All curves of a fit share the thermodynamic parameters of one model (for
example ``delta_h``, ``delta_s`` and ``delta_h_nuc`` of the cooperative
model); each curve is

    signal(T) = baseline + slope * (T - 298.15 K) + amplitude * fraction(T)

where ``fraction`` is the fraction aggregated from the model's ``temp_*``
function, ``baseline`` (and the optional ``slope``) describe the signal of
the free monomer, and ``amplitude`` the change on full aggregation.  Each of
these is per curve or shared, as chosen.

    >>> from kelvara.fit import Curve, fit
    >>> result = fit([Curve(temps, signal, 1e-5), ...], "cooperative")
    >>> print(result.summary())
"""

from __future__ import annotations

import math
import sys
import warnings
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
from scipy.optimize import least_squares

from kelvara import _core

__all__ = [
    "GAS_CONSTANT",
    "MODELS",
    "REFERENCE_TEMPERATURE",
    "Comparison",
    "Curve",
    "FitResult",
    "celsius",
    "compare",
    "fit",
]

GAS_CONSTANT = 8.314  # J/(mol K), as in the models
REFERENCE_TEMPERATURE = 298.15  # K: derived K and dG, and the baseline slope's origin


@dataclass(frozen=True)
class ModelEntry:
    """One model as the fit sees it: its temp_* function, its parameters, and
    which of them are the elongation enthalpy and entropy and the nucleation
    enthalpy (None for the isodesmic models, which have no elongation
    temperature and no sigma)."""

    name: str
    function: Callable
    thermo: Tuple[str, ...]
    elongation: Tuple[str, str, Optional[str]]

    @property
    def cooperative(self) -> bool:
        return self.elongation[2] is not None


_COOPERATIVE = ("delta_h", "delta_s", "delta_h_nuc")
MODELS: Dict[str, ModelEntry] = {
    entry.name: entry
    for entry in [
        ModelEntry("isodesmic", _core.temp_isodesmic_model, ("delta_h", "delta_s"),
                   ("delta_h", "delta_s", None)),
        ModelEntry("isodesmic_direct", _core.temp_isodesmic_model_direct, ("delta_h", "delta_s"),
                   ("delta_h", "delta_s", None)),
        ModelEntry("cooperative", _core.temp_cooperative_model, _COOPERATIVE, _COOPERATIVE),
        ModelEntry("cooperative_n", _core.temp_cooperative_model_n, _COOPERATIVE, _COOPERATIVE),
        ModelEntry("coop_iso", _core.temp_coop_iso_model,
                   ("delta_h_iso", "delta_s_iso", "delta_h_coop", "delta_s_coop", "delta_h_nuc_coop"),
                   ("delta_h_coop", "delta_s_coop", "delta_h_nuc_coop")),
    ]
}


def celsius(temperatures):
    """Temperatures in degrees Celsius, as kelvin."""
    return np.asarray(temperatures, dtype=float) + 273.15


@dataclass
class Curve:
    """One measured curve: temperatures (K), signal (any unit), total
    concentration (mol/L) and an optional label."""

    temperature: Sequence[float]
    signal: Sequence[float]
    c_tot: float
    label: Optional[str] = None

    def __post_init__(self):
        self.temperature = np.asarray(self.temperature, dtype=float)
        self.signal = np.asarray(self.signal, dtype=float)
        name = self.name
        if self.temperature.ndim != 1 or self.signal.ndim != 1:
            raise ValueError(f"{name}: temperature and signal must be one-dimensional")
        if len(self.temperature) != len(self.signal):
            raise ValueError(
                f"{name}: {len(self.temperature)} temperatures but {len(self.signal)} signal values"
            )
        if len(self.temperature) == 0:
            raise ValueError(f"{name}: no points")
        for what, values in (("temperature", self.temperature), ("signal", self.signal)):
            bad = np.flatnonzero(~np.isfinite(values))
            if bad.size:
                raise ValueError(f"{name}: {what} is not finite at point {bad[0]} ({values[bad[0]]})")
        if np.any(self.temperature <= 0.0):
            raise ValueError(f"{name}: temperatures must be positive kelvin (use celsius() to convert)")
        c_tot = float(self.c_tot)
        if not math.isfinite(c_tot) or c_tot <= 0.0:
            raise ValueError(f"{name}: total concentration must be positive and finite, not {self.c_tot!r}")
        self.c_tot = c_tot
        self.temperature_list = self.temperature.tolist()

    @property
    def name(self):
        return self.label if self.label is not None else f"curve at c_tot={self.c_tot!r}"


@dataclass
class Parameter:
    name: str
    value: float
    stderr: float  # NaN for a fixed parameter or where it cannot be estimated
    fixed: bool
    bounds: Tuple[float, float] = (-math.inf, math.inf)


@dataclass
class Derived:
    name: str
    value: float
    stderr: float


@dataclass
class CurveResult:
    label: Optional[str]
    c_tot: float
    baseline: float
    slope: float
    amplitude: float
    te: Optional[float]  # elongation temperature (K), cooperative models
    residuals: np.ndarray


@dataclass
class FitResult:
    """Best values, their uncertainties and the statistics of one fit."""

    model: str
    nuc_size: Optional[int]
    parameters: Dict[str, Parameter]
    curves: List[CurveResult]
    covariance: np.ndarray  # of the free parameters, in `free` order
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
    bootstrap: Optional[Dict[str, Tuple[float, float]]] = None
    bootstrap_samples: Optional[Dict[str, np.ndarray]] = None
    nuc_size_scan: Optional[Dict[int, float]] = None
    _problem: Optional["_Problem"] = field(default=None, repr=False)
    _x: Optional[np.ndarray] = field(default=None, repr=False)

    @property
    def correlation(self) -> np.ndarray:
        """Correlation matrix of the free parameters (order: `free`)."""
        sd = np.sqrt(np.diag(self.covariance))
        with np.errstate(invalid="ignore", divide="ignore"):
            return self.covariance / np.outer(sd, sd)

    def value(self, name):
        return self.parameters[name].value

    def predict(self, temperature, curve_index=0):
        """Modelled signal of curve `curve_index` at the given temperatures."""
        return self._problem.signal(self._x, curve_index, np.asarray(temperature, dtype=float))

    def summary(self) -> str:
        lines = [f"model: {self.model}" + (f" (nuc_size {self.nuc_size})" if self.nuc_size else "")]
        if not self.converged:
            lines.append(f"WARNING: the fit did not converge: {self.message}")
        lines += self.notes
        lines.append(f"{'parameter':24}{'value':>16}{'std. error':>14}")
        for p in self.parameters.values():
            error = "fixed" if p.fixed else _format(p.stderr)
            lines.append(f"{p.name:24}{_format(p.value):>16}{error:>14}")
        if self.bootstrap:
            lines.append("bootstrap 95 % intervals:")
            for name, (low, high) in self.bootstrap.items():
                lines.append(f"  {name:22}[{_format(low)}, {_format(high)}]")
        lines.append("derived:")
        for d in self.derived.values():
            lines.append(f"  {d.name:22}{_format(d.value):>16}{_format(d.stderr):>14}")
        thermo = [n for n in self.free if n in MODELS[self.model].thermo]
        if len(thermo) > 1:
            lines.append("correlation of the thermodynamic parameters:")
            index = [self.free.index(n) for n in thermo]
            corr = self.correlation[np.ix_(index, index)]
            lines.append(" " * 24 + "".join(f"{n[:12]:>13}" for n in thermo))
            for n, row in zip(thermo, corr):
                lines.append(f"  {n:22}" + "".join(f"{v:13.5f}" for v in row))
        lines.append(
            f"chi2 {self.chi2:.6g}, reduced chi2 {self.reduced_chi2:.6g}, AIC {self.aic:.3f}, "
            f"BIC {self.bic:.3f}, {self.n_points} points, {len(self.free)} free parameters, "
            f"{self.nfev} model evaluations"
        )
        return "\n".join(lines)

    def to_dict(self) -> dict:
        """Plain data (JSON-ready): model, parameters, curves, derived, statistics."""
        return {
            "model": self.model,
            "nuc_size": self.nuc_size,
            "parameters": {
                p.name: {"value": p.value, "stderr": _json_float(p.stderr), "fixed": p.fixed}
                for p in self.parameters.values()
            },
            "curves": [
                {"label": c.label, "c_tot": c.c_tot, "baseline": c.baseline, "slope": c.slope,
                 "amplitude": c.amplitude, "te": c.te}
                for c in self.curves
            ],
            "derived": {d.name: {"value": _json_float(d.value), "stderr": _json_float(d.stderr)}
                        for d in self.derived.values()},
            "statistics": {
                "chi2": self.chi2, "reduced_chi2": _json_float(self.reduced_chi2), "aic": self.aic,
                "bic": self.bic, "n_points": self.n_points, "converged": self.converged,
                "nfev": self.nfev,
            },
            "bootstrap": None if self.bootstrap is None else
            {name: list(interval) for name, interval in self.bootstrap.items()},
        }

    def run_bootstrap(self, resamples=200, seed=None, progress=None):
        """Percentile intervals (2.5 %, 97.5 %) from residual resampling: each
        resample adds the residuals, drawn with replacement within each curve,
        to the fitted curves and fits again from the best values.  Sets and
        returns `bootstrap`; `bootstrap_samples` keeps the parameter values."""
        problem = self._problem
        rng = np.random.default_rng(seed)
        fitted = [problem.signal(self._x, i, c.temperature) for i, c in enumerate(problem.curves)]
        residuals = [c.residuals for c in self.curves]
        show = _progress(progress, resamples)
        samples = []
        for r in range(resamples):
            data = [f + rng.choice(res, size=res.size, replace=True) for f, res in zip(fitted, residuals)]
            refit = problem.solve(self._x, data)
            if refit.status > 0:
                samples.append(np.concatenate([refit.x, problem.derived_vector(refit.x)]))
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


def _format(value):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    return f"{value:.6g}"


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


class _Problem:
    """The parameter vector, the residuals and the derived values of a fit."""

    def __init__(self, curves, model, nuc_size, shared_amplitude, shared_baseline, baseline_slope,
                 start, fix, bounds):
        self.curves = curves
        self.model = model
        self.nuc_size = nuc_size
        self.names = list(model.thermo)
        self.per_curve = {}  # (kind, curve index) -> name
        for kind, shared in (("baseline", shared_baseline), ("slope", shared_baseline),
                             ("amplitude", shared_amplitude)):
            if kind == "slope" and not baseline_slope:
                continue
            for i in range(len(curves)):
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
        self.fixed = dict(fix)
        self.free = [n for n in self.names if n not in self.fixed]
        self.bounds = {n: tuple(map(float, bounds.get(n, (-math.inf, math.inf)))) for n in self.names}
        for name, (low, high) in self.bounds.items():
            if not low < high:
                raise ValueError(f"bounds of {name!r} are empty: {low} to {high}")
        self.n_points = sum(len(c.temperature) for c in curves)
        if self.n_points <= len(self.free):
            raise ValueError(
                f"{self.n_points} points cannot determine {len(self.free)} free parameters"
            )
        self.nfev = 0
        self.penalty = 1e3 * max(1.0, max(float(np.ptp(c.signal)) for c in curves))

    def values(self, x):
        values = dict(self.fixed)
        values.update(zip(self.free, x))
        return values

    def fraction(self, values, curve, temperature):
        thermo = [values[n] for n in self.model.thermo]
        extra = (self.nuc_size,) if self.model.name == "cooperative_n" else ()
        # The curve's own temperatures are converted to a list once.
        temps = curve.temperature_list if temperature is curve.temperature else temperature.tolist()
        return np.array(self.model.function(temps, *thermo, curve.c_tot, 1.0, *extra))

    def signal(self, x, i, temperature):
        values = self.values(x)
        curve = self.curves[i]
        baseline = values[self.per_curve["baseline", i]]
        slope = values[self.per_curve["slope", i]] if ("slope", i) in self.per_curve else 0.0
        amplitude = values[self.per_curve["amplitude", i]]
        fraction = self.fraction(values, curve, temperature)
        return baseline + slope * (temperature - REFERENCE_TEMPERATURE) + amplitude * fraction

    def model_minus_data(self, x, data=None):
        """Model minus data for every point, or None where the model raises
        its error or gives non-finite values."""
        self.nfev += 1
        parts = []
        try:
            for i, curve in enumerate(self.curves):
                observed = curve.signal if data is None else data[i]
                parts.append(self.signal(x, i, curve.temperature) - observed)
        except ValueError:
            return None
        r = np.concatenate(parts)
        return r if np.all(np.isfinite(r)) else None

    def residuals(self, x, data=None):
        """What the optimiser sees: a parameter set where the model fails
        gets a large constant residual, which it steps away from."""
        r = self.model_minus_data(x, data)
        return np.full(self.n_points, self.penalty) if r is None else r

    def valid(self, x):
        return self.model_minus_data(x) is not None

    def solve(self, x0, data=None, max_nfev=None):
        """scipy's least_squares from x0 (clipped into the bounds), on the
        curves' own signals or on `data`."""
        low = [self.bounds[n][0] for n in self.free]
        high = [self.bounds[n][1] for n in self.free]
        return least_squares(
            self.residuals, np.clip(x0, low, high), args=(data,), bounds=(low, high),
            x_scale="jac", method="trf", xtol=1e-12, ftol=1e-12, gtol=1e-10,
            max_nfev=max_nfev or 200 * (len(x0) + 1),
        )

    # Derived values: functions of the parameter values.

    def derived_functions(self):
        h, s, nuc = self.model.elongation
        out = {}
        if self.model.name == "coop_iso":
            out["K_iso(298.15 K)"] = lambda v: _k(v["delta_h_iso"], v["delta_s_iso"], REFERENCE_TEMPERATURE)
            out["dG_iso(298.15 K)"] = lambda v: v["delta_h_iso"] - REFERENCE_TEMPERATURE * v["delta_s_iso"]
        label = "K_coop" if self.model.name == "coop_iso" else "K"
        out[f"{label}(298.15 K)"] = lambda v: _k(v[h], v[s], REFERENCE_TEMPERATURE)
        out[f"dG{label[1:]}(298.15 K)"] = lambda v: v[h] - REFERENCE_TEMPERATURE * v[s]
        if self.model.cooperative:
            for i, curve in enumerate(self.curves):
                te = (lambda c: lambda v: v[h] / (v[s] + GAS_CONSTANT * math.log(c)))(curve.c_tot)
                out[f"Te[{i}]"] = te
                out[f"sigma(Te)[{i}]"] = (lambda te: lambda v: math.exp(-v[nuc] / (GAS_CONSTANT * te(v))))(te)
        return out

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
        return np.array(out)

    def derived(self, x, covariance):
        """Values with errors propagated to first order (numerical gradient)."""
        base = self.derived_vector(x)
        gradient = np.zeros((len(base), len(x)))
        for j in range(len(x)):
            step = 1e-6 * max(abs(x[j]), 1.0)
            up, down = x.copy(), x.copy()
            up[j] += step
            down[j] -= step
            gradient[:, j] = (self.derived_vector(up) - self.derived_vector(down)) / (2 * step)
        variance = np.einsum("ij,jk,ik->i", gradient, covariance, gradient)
        errors = np.sqrt(np.where(variance >= 0, variance, np.nan))
        return {
            name: Derived(name, float(v), float(e))
            for name, v, e in zip(self.derived_names(), base, errors)
        }


def _k(delta_h, delta_s, temperature):
    return math.exp(delta_s / GAS_CONSTANT - delta_h / (GAS_CONSTANT * temperature))


def _guess(problem: _Problem) -> Dict[str, float]:
    """Starting values from the data.  Each curve's monomer baseline comes
    from its high-temperature end and its amplitude from the change to the
    low-temperature end; where it changes fastest marks its transition
    temperature Tm, at which K c_tot is about 1.  Tm against c_tot over the
    curves gives the enthalpy and entropy (van 't Hoff); with one curve the
    enthalpy is taken as -100 kJ/mol."""
    guess = {}
    transitions = []
    for i, curve in enumerate(problem.curves):
        order = np.argsort(curve.temperature)
        t, y = curve.temperature[order], curve.signal[order]
        edge = max(1, len(t) // 10)
        high, low = float(np.mean(y[-edge:])), float(np.mean(y[:edge]))
        guess.setdefault(problem.per_curve["baseline", i], high)
        guess.setdefault(problem.per_curve["amplitude", i], low - high if low != high else 1.0)
        if ("slope", i) in problem.per_curve:
            guess.setdefault(problem.per_curve["slope", i], 0.0)
        if len(t) >= 5 and np.ptp(t) > 0:
            # A running mean over 5 % of the points keeps noise from
            # deciding where the curve is steepest.
            window = max(1, len(t) // 20)
            smooth = np.convolve(y, np.ones(window) / window, mode="valid")
            centre = t[window // 2: window // 2 + len(smooth)]
            steepest = int(np.argmax(np.abs(np.gradient(smooth, centre)))) if len(smooth) >= 2 else 0
            transitions.append((float(centre[steepest]), curve.c_tot))
    delta_h = -100000.0
    if len({c for _, c in transitions}) >= 2:
        inverse_t = np.array([1.0 / t for t, _ in transitions])
        log_c = np.log([c for _, c in transitions])
        slope = np.polyfit(inverse_t, log_c, 1)[0]  # ln c = dH / (R Tm) - dS / R
        if -1e6 < slope * GAS_CONSTANT < -1e4:
            delta_h = slope * GAS_CONSTANT
    tm, c = transitions[0] if transitions else (300.0, problem.curves[0].c_tot)
    delta_s = delta_h / tm - GAS_CONSTANT * math.log(c)  # K(Tm) c = 1
    thermo = {
        "delta_h": delta_h, "delta_s": delta_s, "delta_h_nuc": 20000.0,
        "delta_h_coop": delta_h, "delta_s_coop": delta_s, "delta_h_nuc_coop": 20000.0,
        # a weaker isodesmic pathway: K_iso c = 0.1 at Tm
        "delta_h_iso": 0.6 * delta_h,
        "delta_s_iso": 0.6 * delta_h / tm - GAS_CONSTANT * math.log(10.0 * c),
    }
    for name in problem.model.thermo:
        guess.setdefault(name, thermo[name])
    return guess


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
) -> FitResult:
    """Fit one model globally to the curves.

    model: one of MODELS ("isodesmic", "isodesmic_direct", "cooperative",
    "cooperative_n", "coop_iso").  nuc_size (cooperative_n only): a nucleus
    size, or several (e.g. range(2, 9)): each is fitted and the best kept.
    start, fix, bounds: by parameter name (the thermodynamic names of the
    model, and "amplitude[i]", "baseline[i]", "slope[i]" per curve i, or
    without the index when shared).  max_nfev: a cap on the optimiser's
    residual evaluations (default 200 per free parameter and one).

    A fit that stops without converging says so: `converged` is False, the
    summary begins with a warning, and a RuntimeWarning is issued.
    """
    curves = [curves] if isinstance(curves, Curve) else list(curves)
    if not curves:
        raise ValueError("no curves to fit")
    for curve in curves:
        if not isinstance(curve, Curve):
            raise ValueError(f"expected Curve objects, got {type(curve).__name__}")
    if model not in MODELS:
        raise ValueError(f"unknown model {model!r}; the models are {', '.join(MODELS)}")
    entry = MODELS[model]
    if model == "cooperative_n":
        sizes = [2] if nuc_size is None else ([nuc_size] if isinstance(nuc_size, int) else list(nuc_size))
        if not sizes or any(int(n) < 2 for n in sizes):
            raise ValueError(f"nuc_size must be 2 or more, got {nuc_size!r}")
    elif nuc_size is not None:
        raise ValueError(f"nuc_size applies to the cooperative_n model, not {model!r}")
    else:
        sizes = [None]

    results = []
    for size in sizes:
        problem = _Problem(curves, entry, size, shared_amplitude, shared_baseline, baseline_slope,
                           dict(start or {}), dict(fix or {}), dict(bounds or {}))
        results.append(_fit_problem(problem, dict(start or {}), max_nfev))
    best = min(results, key=lambda r: r.chi2)
    if len(sizes) > 1:
        best.nuc_size_scan = {r.nuc_size: r.chi2 for r in results}
        best.notes.append("nuc_size scanned: " + ", ".join(
            f"{r.nuc_size}: chi2 {r.chi2:.6g}" for r in results))
    return best


def _fit_problem(problem: _Problem, start: Dict[str, float], max_nfev: Optional[int]) -> FitResult:
    notes = []
    guess = _guess(problem)
    x_guess = np.array([guess[n] for n in problem.free])
    x0 = np.array([start.get(n, guess[n]) for n in problem.free])
    if not problem.valid(x0):
        # The model raises its error (or overflows) at the given start: take
        # the guessed value for each given parameter until it evaluates.
        for name in [n for n in problem.free if n in start]:
            x0[problem.free.index(name)] = guess[name]
            notes.append(f"start value of {name} replaced by {guess[name]:.6g}: the model fails there")
            if problem.valid(x0):
                break
        else:
            x0 = x_guess
            if not problem.valid(x0):
                raise ValueError("the model cannot be evaluated at the starting values; give `start`")

    result = problem.solve(x0, max_nfev=max_nfev)
    x = result.x
    final = problem.model_minus_data(x)
    residuals = problem.residuals(x) if final is None else final
    n, p = problem.n_points, len(x)
    rss = float(residuals @ residuals)
    dof = n - p
    converged = bool(result.success) and result.status > 0 and final is not None

    # Covariance from the Jacobian, scaled by the residual variance; the
    # pseudo-inverse copes with the near-degeneracy of dH and dS.
    jacobian = result.jac
    _, singular, vt = np.linalg.svd(jacobian, full_matrices=False)
    threshold = np.finfo(float).eps * max(jacobian.shape) * (singular[0] if singular.size else 0.0)
    keep = singular > threshold
    covariance = (vt[keep].T / singular[keep] ** 2) @ vt[keep] * (rss / dof)
    if not np.all(keep):
        notes.append("the Jacobian is singular: some standard errors cannot be estimated")
    errors = np.sqrt(np.diag(covariance))

    values = problem.values(x)
    parameters = {}
    for name in problem.names:
        fixed = name in problem.fixed
        stderr = math.nan if fixed else float(errors[problem.free.index(name)])
        parameters[name] = Parameter(name, float(values[name]), stderr, fixed, problem.bounds[name])

    derived = problem.derived(x, covariance)
    curve_results = []
    offset = 0
    for i, curve in enumerate(problem.curves):
        size = len(curve.temperature)
        slope = values[problem.per_curve["slope", i]] if ("slope", i) in problem.per_curve else 0.0
        te = derived[f"Te[{i}]"].value if f"Te[{i}]" in derived else None
        curve_results.append(CurveResult(
            curve.label, curve.c_tot, float(values[problem.per_curve["baseline", i]]), float(slope),
            float(values[problem.per_curve["amplitude", i]]), te, residuals[offset:offset + size]))
        offset += size

    log_term = n * math.log(rss / n) if rss > 0 else -math.inf
    fit_result = FitResult(
        model=problem.model.name, nuc_size=problem.nuc_size, parameters=parameters, curves=curve_results,
        covariance=covariance, free=list(problem.free), derived=derived, chi2=rss,
        reduced_chi2=rss / dof, aic=log_term + 2 * p, bic=log_term + p * math.log(n), n_points=n,
        converged=converged, message=result.message, nfev=problem.nfev, notes=notes,
        _problem=problem, _x=x,
    )
    if not converged:
        warnings.warn(f"kelvara.fit: the {problem.model.name} fit did not converge: {result.message}",
                      RuntimeWarning, stacklevel=3)
    return fit_result


@dataclass
class Comparison:
    """Several models fitted to the same curves, best (lowest AIC) first."""

    results: List[FitResult]

    @property
    def best(self) -> FitResult:
        return self.results[0]

    def summary(self) -> str:
        aic0 = min(r.aic for r in self.results)
        bic0 = min(r.bic for r in self.results)
        lines = [f"{'model':18}{'free':>6}{'chi2':>14}{'AIC':>12}{'dAIC':>9}{'BIC':>12}{'dBIC':>9}  converged"]
        for r in self.results:
            name = r.model + (f" n={r.nuc_size}" if r.nuc_size else "")
            lines.append(f"{name:18}{len(r.free):>6}{r.chi2:>14.6g}{r.aic:>12.3f}{r.aic - aic0:>9.2f}"
                         f"{r.bic:>12.3f}{r.bic - bic0:>9.2f}  {'yes' if r.converged else 'NO'}")
        return "\n".join(lines)


def compare(curves, models: Sequence[str] = ("isodesmic", "cooperative", "coop_iso"), **options) -> Comparison:
    """Fit every model to the same curves and rank them by AIC (BIC alongside)."""
    curves = [curves] if isinstance(curves, Curve) else list(curves)
    results = []
    for model in models:
        model_options = dict(options)
        if model != "cooperative_n":
            model_options.pop("nuc_size", None)
        results.append(fit(curves, model, **model_options))
    results.sort(key=lambda r: (r.aic, r.bic))
    return Comparison(results)
