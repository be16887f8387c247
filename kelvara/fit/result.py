"""What a fit gives back: `FitResult` with its parameters, derived values,
per-curve results and statistics, and the verdict (`ok`, `problems`); shown
as text (`summary`), plain data (`to_dict`), a DataFrame (`to_frame`), HTML
for notebooks, a table of every point (`curve_table`) and a figure (`plot`).
Profiles and the bootstrap are run from here on request; nothing here
searches."""

from __future__ import annotations

import functools
import math
import pathlib
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Dict, Iterable, List, Optional, Tuple, Union

import numpy as np
from scipy.stats import f as f_distribution

from kelvara import __version__
from kelvara.errors import KelvaraError
from kelvara.fit.curves import Curve, came_in_celsius
from kelvara.fit.noise import NoiseModel, smoothed_pieces, noise_window
from kelvara.fit.records import Derived, Parameter
from kelvara.fit.terms import term_of
from kelvara.fit.threads import one_blas_thread
from kelvara.fit.uncertainty import Profile, profile_one
from kelvara.models import degree_of_polymerisation, unit_of
from kelvara.names import curve_labels, labelled, signal_unit, signal_units

if TYPE_CHECKING:
    from kelvara.fit.options import FitOptions
    from kelvara.fit.problem import FitProblem
    from kelvara.fit.slopes import Choice


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
    midpoint: Optional[Tuple[str, float]] = None  # ("c50", mol/L), ("f50", fraction) or ("t50", s): half way
    # The residuals averaged over the noise's correlation length, in % of
    # the fitted signal change: "rms", "max", and "noise", the RMS that
    # noise alone would leave after the same averaging.
    misfit_percent: Optional[Dict[str, float]] = None
    oligomer_amplitude: Optional[float] = None  # species signals: the oligomers' signal (amplitude is the polymers')
    amplitude_b: Optional[float] = None  # two pathways: B's signal (amplitude is A's)


class NucleusSupport:
    """What a scan of nucleus sizes says: the best size, the range of sizes
    the data do not reject (likelihood ratio at `level`), and each size's
    rise of chi2 above the best in residual variances."""

    def __init__(self, best, supported, rise, level, text, failed=(), kept=None):
        self.best = best
        self.supported = supported  # the lowest and highest size not rejected
        self.rise = rise  # of the converged sizes
        self.level = level
        self.text = text
        self.failed = list(failed)  # sizes whose fit did not converge: left out
        self.kept = sorted(rise) if kept is None else list(kept)  # every size not rejected

    def to_dict(self):
        return {"best": self.best, "supported": list(self.supported), "not_rejected": list(self.kept),
                "failed": list(self.failed), "level": self.level,
                "rise": {str(n): _json_float(r) for n, r in self.rise.items()}}


def _one_at_a_time(method):
    """A result's refits share its problem's workspace: threads that profile
    or bootstrap one result take turns (each then gets what it would alone)."""

    @functools.wraps(method)
    def locked(self, *args, **kwargs):
        with self._fit.lock:
            return method(self, *args, **kwargs)

    return locked


@dataclass
class FitResult:
    """Best values, their uncertainties, the statistics and the verdict of one fit.

    Attributes
    ----------
    model : str
        The model's name.
    parameters : dict of str to Parameter
        Every parameter with its value, standard error (NaN when fixed, on a
        bound or not determined) and unit (J/mol, J/(mol K), K, L/mol, or the
        signal's own).
    derived : dict of str to Derived
        Derived values with propagated errors: Te[i] (K), sigma(Te)[i],
        K and dG at 298.15 K (L/mol, J/mol), c50[i] (mol/L), f50[i].
    curve_results : list of CurveResult
        Per curve: baseline, amplitude, slope, Te or half-way point, residuals
        (also as `curves`, their former name).
    chi2, reduced_chi2, aic, bic : float
        Statistics, in the signal's unit squared for chi2.
    problems : list of Problem
        Why the fit is not to be trusted: sentences, each with its code and
        kind (empty when `ok`).
    notes : list of str
        What else is worth knowing.
    options : FitOptions
        What the fit was asked to do (its keywords, as one frozen value).
    choices : list of Choice
        Whether the monomer's and the aggregate's signals slope in T (and,
        for cooperative_n, whether the oligomers have a signal of their
        own), and how each was chosen: as given, or by the data
        (`kelvara.fit.slopes`).
    """

    model: str
    nuc_size: Optional[int]
    parameters: Dict[str, Parameter]
    curve_results: List[CurveResult]
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
    nuc_size_support: Optional["NucleusSupport"] = None
    noise_model: Optional[NoiseModel] = None  # how the residuals are correlated; None: too few points to say
    options: Optional["FitOptions"] = None  # what the fit was asked to do
    choices: List["Choice"] = field(default_factory=list)  # the slopes and species signals fitted, and how chosen
    _problem: Optional["FitProblem"] = field(default=None, repr=False)  # the fit's problem, for predictions and refits
    _x: Optional[np.ndarray] = field(default=None, repr=False)
    _error_scales: Optional[Dict[str, float]] = field(default=None, repr=False)

    @property
    def curves(self) -> List[CurveResult]:
        """The results per curve, as `curve_results` (their former name; the
        curves fitted are `data`)."""
        return self.curve_results

    @property
    def weighting(self) -> Optional[str]:
        """How the curves were weighted against each other, in words (None:
        equally, or no fit to say)."""
        return getattr(self._problem, "weight_note", None) or None

    @property
    def _fit(self) -> "FitProblem":
        if self._problem is None:
            raise RuntimeError("this result holds no fit to evaluate")
        return self._problem

    @property
    def ok(self) -> bool:
        """True when nothing speaks against the fit: see `problems`."""
        return not self.problems

    @property
    def failure(self) -> List[str]:
        """Why the fit is NOT OK, in kind: "answer" when the answer itself
        is wrong or unknown (not converged, not determined, on a bound, too
        few points, no transition, a half-way point far outside the data),
        "model" when the model does not describe the data (structure in
        the residuals, outliers); empty when ok."""
        kinds = {getattr(p, "kind", "answer") for p in self.problems}
        if not self.converged:
            # The residuals of an unfinished fit say nothing of the model.
            kinds.discard("model")
            kinds.add("answer")
        return [k for k in ("answer", "model") if k in kinds]

    @property
    def short_verdict(self) -> str:
        """ok, or NOT OK with its kind: (answer), (model) or (answer, model)."""
        return "ok" if self.ok else f"NOT OK ({', '.join(self.failure)})"

    @property
    def verdict(self) -> str:
        """"ok", or NOT OK with its kind in words."""
        if self.ok:
            return "ok"
        words = {"answer": "the answer is not determined or not found",
                 "model": "the model does not describe the data"}
        return "NOT OK: " + "; ".join(words[k] for k in self.failure)

    @property
    def bootstrap_resamples(self) -> int:
        """How many bootstrap refits the intervals come from (0 before
        run_bootstrap)."""
        return len(next(iter(self.bootstrap_samples.values()))) if self.bootstrap_samples else 0

    @property
    def correlation(self) -> np.ndarray:
        """Correlation matrix of the free parameters (order: `free`)."""
        sd = np.sqrt(np.diag(self.covariance))
        with np.errstate(invalid="ignore", divide="ignore"):
            return self.covariance / np.outer(sd, sd)

    def value(self, name):
        return self.parameters[name].value

    @property
    def labels(self) -> List[str]:
        """Each curve's label, unique: what a curve's values are named by
        ("Te (5 µM)" for Te[0])."""
        return curve_labels(self.curve_results)

    @property
    def signal_unit(self) -> str:
        """The unit the signal's header states ("mdeg"), or "signal"."""
        return signal_unit(self._problem.curves) if self._problem is not None else "signal"

    @property
    def signal_units(self) -> List[str]:
        """Each curve's signal unit as its header states it ("signal" where
        none does): a channel's parameters are shown in their own."""
        return signal_units(self._problem.curves) if self._problem is not None else []

    def shown_name(self, name: str) -> str:
        """A parameter's or derived value's name as the summary prints it:
        a curve's by its label ("Te (5 µM)")."""
        return labelled(name, self.labels)

    @property
    def data(self) -> List[Curve]:
        """The curves the fit was made from, in its order (frozen: what was
        fitted).  `curves` holds each one's fitted values."""
        return list(self._fit.curves)

    @property
    def thermodynamic(self) -> List[str]:
        """The model's own parameters, in order: the thermodynamic ones of a
        mass-balance model, a per-curve model's per-curve values (te[0], ...);
        not the baselines and amplitudes."""
        return list(self._fit.nonlinear)

    def fitted_as_logarithm(self, name: str) -> bool:
        """Whether `name` was fitted as its logarithm (its error is then
        relative: K, sigma, and such)."""
        return name in self._fit.log_names

    def _index(self, curve_index) -> int:
        if isinstance(curve_index, (bool, np.bool_)) or not isinstance(curve_index, (int, np.integer)):
            raise TypeError(f"curve_index must be an integer, not {type(curve_index).__name__}")
        if not -len(self.curve_results) <= curve_index < len(self.curve_results):
            raise IndexError(f"curve_index {curve_index} is out of range: the fit has {len(self.curve_results)} curves")
        return int(curve_index) % len(self.curve_results)

    def fraction(self, x, curve_index=0) -> np.ndarray:
        """The fraction aggregated that the fitted model gives for curve
        `curve_index` at the points x of what it varies (for a per-curve
        model, its degree of aggregation)."""
        i = self._index(curve_index)
        problem = self._fit
        return problem.fraction(problem.values(self._x), problem.curves[i], np.asarray(x, dtype=float))

    def error_scale(self, name: str) -> float:
        """How much the noise's correlation widens `name`'s standard error
        over what independent points would give (1 for white noise): its
        profile widens by the same."""
        return (self._error_scales or {}).get(name, 1.0)

    @property
    def with_species(self) -> bool:
        """Whether the oligomers and the polymers have signals of their own
        (then `species` gives their shares)."""
        return bool(self._fit.species)

    def species(self, x, curve_index=0) -> Optional[Dict[str, np.ndarray]]:
        """With species signals, the shares of c_tot held in oligomers up to
        the nucleus ("oligomers") and in polymers beyond it ("polymers");
        with two pathways, in each ("pathway_a", "pathway_b"); at the points
        x of curve `curve_index`.  None without."""
        i = self._index(curve_index)
        problem = self._fit
        if not problem.species:
            return None
        shares = problem.species_fractions(problem.values(self._x), problem.curves[i], np.asarray(x, dtype=float))
        first, second = problem.model.species
        return {first: shares[:, 2], second: shares[:, 1]}

    def fitted(self, curve_index=0) -> np.ndarray:
        """The fitted signal at the measured points of curve `curve_index`."""
        return self.predict(self.data[self._index(curve_index)].x, curve_index)

    def eval(self, x, curve_index=0) -> np.ndarray:
        """The fitted signal of curve `curve_index` at x (as `predict`)."""
        return self.predict(x, curve_index)

    def predict(self, x, curve_index=0):
        """Modelled signal of curve `curve_index` at the points x of what it
        varies: temperatures (K), total concentrations (mol/L) or
        good-solvent fractions."""
        i = self._index(curve_index)
        x = np.asarray(x, dtype=float)
        return self._fit.scale * self._fit.signal(self._x, i, x)

    def curve_table(self) -> Dict[str, np.ndarray]:
        """Every point as columns, to plot again: curve, c_tot (mol/L),
        temperature (K; NaN where not given), solvent (the good-solvent
        fraction, in a fit of denaturations), signal, fitted, residual,
        fraction (aggregated, from the model), aggregation (the signal
        normalised by the fitted baseline and amplitude: the degree of
        aggregation the data show), dp_n and dp_n_all (number-average degree
        of polymerisation of the aggregates, and of all species with the
        monomer)."""
        problem = self._fit
        values = problem.values(self._x)
        solvent = "solvent" in problem.kinds
        columns: Dict[str, list] = {k: [] for k in ("curve", "c_tot", "temperature") + (("solvent",) if solvent else ())
                   + ("signal", "fitted", "residual", "fraction", "aggregation")}
        for i, (curve, fitted) in enumerate(zip(problem.curves, self.curve_results)):
            n = curve.size
            fraction = problem.fraction(values, curve, curve.x)
            term = term_of(curve)
            dt, solvent_x = term.slope_axis(curve, curve.x), term.solvent(curve, curve.x)
            weight = curve.concentrations() if problem.extensive else 1.0
            with np.errstate(divide="ignore", invalid="ignore"):
                aggregation = ((curve.signal / weight - fitted.baseline - fitted.slope * dt)
                               / (fitted.amplitude + fitted.aggregate_slope * dt))
            columns["curve"].append(np.full(n, curve.label if curve.label is not None else str(i), dtype=object))
            columns["c_tot"].append(curve.concentrations())
            columns["temperature"].append(curve.temperatures())
            if solvent:
                columns["solvent"].append(np.full(n, math.nan) if solvent_x is None else solvent_x)
            columns["signal"].append(curve.signal)
            columns["fitted"].append(curve.signal + fitted.residuals)
            columns["residual"].append(fitted.residuals)
            columns["fraction"].append(fraction)
            columns["aggregation"].append(aggregation)
            shares = self.species(curve.x, i)
            for name, share in sorted((shares or {}).items()):
                columns.setdefault(name, []).append(share)
            if problem.model.mass_balance:
                dp_n, dp_n_all = degree_of_polymerisation(
                    problem.model.name, problem.plain(values), curve.temperatures(), curve.concentrations(),
                    fraction, problem.nuc_size, solvent_x)
                columns.setdefault("dp_n", []).append(dp_n)
                columns.setdefault("dp_n_all", []).append(dp_n_all)
        return {k: np.concatenate(v) for k, v in columns.items()}

    def plot(self, ax=None, *, aggregation: bool = False, celsius: Optional[bool] = None):
        """The fit as a matplotlib Figure: data, fitted curves with their
        half-way marks (Te, c50, f50), residuals, the degree of aggregation
        with `aggregation`, and the likelihood profiles after `profile()`.

        Parameters
        ----------
        ax : matplotlib Axes, optional
            Draw only the data and fitted curves into this Axes (of a figure
            of one's own); its figure is returned.
        aggregation : bool
            Add a panel of the degree of aggregation (data normalised by the
            fitted baselines and amplitudes, with the model's fraction).
        celsius : bool, optional
            Temperatures in °C; default: as the curves came in.

        Returns
        -------
        matplotlib.figure.Figure
        """
        from kelvara import plot  # matplotlib only when a figure is asked for

        curves = self._fit.curves
        if celsius is None:
            celsius = came_in_celsius(curves)
        if ax is not None:
            return plot.draw_fit(ax, self, curves, celsius=celsius).figure
        return plot.fit_figure(self, curves, celsius=celsius, aggregation=aggregation)

    def to_frame(self):
        """Parameters and derived values as a pandas DataFrame (value,
        stderr, unit, kind, fixed, at_bound)."""
        import pandas as pd

        rows = [dict(name=p.name, kind="parameter", value=p.value, stderr=p.stderr, unit=p.unit,
                     fixed=p.fixed, at_bound=p.at_bound) for p in self.parameters.values()]
        rows += [dict(name=d.name, kind="derived", value=d.value, stderr=d.stderr, unit=d.unit,
                      fixed=False, at_bound=False) for d in self.derived.values()]
        for row in rows:
            row.update(self.intervals(str(row["name"])))
        return pd.DataFrame(rows).set_index("name")

    def misfit(self, curve_index: int) -> np.ndarray:
        """The misfit of a curve: its residuals averaged over the noise's
        correlation length (see CurveResult.misfit_percent), in the
        signal's unit, point by point in the curve's order."""
        residuals = self.curve_results[curve_index].residuals
        if self.noise_model is None:
            return residuals.copy()
        return np.concatenate(list(smoothed_pieces(residuals, self.noise_model.misfit_span)))

    def misfit_window(self, curve_index: int) -> int:
        """The number of points a curve's misfit is averaged over."""
        size = self.curve_results[curve_index].residuals.size
        return 1 if self.noise_model is None else noise_window(self.noise_model.misfit_span, size)

    def intervals(self, name: str) -> Dict[str, float]:
        """The profile and bootstrap interval ends of a parameter or derived
        value (profile_low, profile_high, bootstrap_low, bootstrap_high),
        those computed: NaN where an end was not found or not asked for."""
        out = {}
        profile = (self.profiles or {}).get(name)
        if self.profiles is not None:
            out["profile_low"] = math.nan if profile is None or profile.low is None else profile.low
            out["profile_high"] = math.nan if profile is None or profile.high is None else profile.high
        if self.bootstrap is not None:
            out["bootstrap_low"], out["bootstrap_high"] = self.bootstrap.get(name, (math.nan, math.nan))
        return out

    def report(self, path=None, *, command: Optional[str] = None) -> Union[str, pathlib.Path]:
        """The fit as one self-contained HTML page for a paper's supporting
        information (inputs with their SHA-256, the model's equations and
        papers, the verdict, values rounded to their errors with intervals,
        correlations, statistics, figures, a methods paragraph, versions);
        it prints cleanly to PDF from a browser.  Written to `path` (whose
        Path is returned), or returned as text when no path is given."""
        from kelvara import report

        page = report.fit_report(self, command=command)
        if path is None:
            return page
        report.write(path, page)
        return pathlib.Path(path)

    def __repr__(self) -> str:
        """A few lines: the model and verdict, the free values that are not
        a curve's own, rounded to their errors, and the data's size."""
        from kelvara.summary import short_lines  # the display: imported when asked for

        return "\n".join(short_lines(self))

    def _repr_html_(self) -> str:
        from html import escape

        from kelvara.report import derived_rows, parameter_rows, value_table

        verdict = (f"<p style='color:firebrick'><b>{escape(self.verdict)}</b></p><ul>"
                   + "".join(f"<li>{escape(p)}</li>" for p in self.problems) + "</ul>"
                   if self.problems else "<p><b>ok</b></p>")
        rows = parameter_rows(self) + derived_rows(self)
        notes = "".join(f"<li>{escape(n)}</li>" for n in self.notes)
        return (f"<h4>kelvara fit: {escape(self.model)} model</h4>{verdict}"
                + (f"<ul>{notes}</ul>" if notes else "") + value_table(self, rows)
                + f"<p>chi2 {self.chi2:.6g}, {self.n_points} points, {len(self.free)} free parameters</p>")

    def summary(self, temperature_unit: str = "K") -> str:
        """The fit as text: verdict, parameters with standard errors and
        units, intervals, derived values, correlations and statistics.
        temperature_unit "°C" shows temperatures (Te, tm, te) in degrees
        Celsius; their standard errors are the same in both units."""
        from kelvara.summary import fit_summary  # the display: imported when asked for

        return fit_summary(self, temperature_unit)

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
            "failure": self.failure,
            "problems": [str(p) for p in self.problems],
            "problem_codes": [getattr(p, "code", None) for p in self.problems],
            "notes": notes,
            "model": self.model,
            "nuc_size": self.nuc_size,
            "nuc_size_scan": None if self.nuc_size_scan is None else dict(
                {"chi2": {str(n): _json_float(c) for n, c in self.nuc_size_scan.items()}},
                **(self.nuc_size_support.to_dict() if self.nuc_size_support is not None else {})),
            "parameters": {
                p.name: {"value": _json_float(p.value), "stderr": _json_float(p.stderr), "fixed": p.fixed,
                         "at_bound": p.at_bound, "unit": p.unit, "label": self.shown_name(p.name)}
                for p in self.parameters.values()
            },
            "noise_model": None if self.noise_model is None else self.noise_model.to_dict(),
            "options": None if self.options is None else self.options.to_dict(),
            "choices": [c.to_dict() for c in self.choices],
            "curves": [_curve_dict(c, curve.signal_name) for c, curve in zip(self.curve_results, self.data)],
            "derived": {d.name: {"value": _json_float(d.value), "stderr": _json_float(d.stderr), "unit": d.unit,
                                 "label": self.shown_name(d.name)}
                        for d in self.derived.values()},
            "signal_unit": self.signal_unit,
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

    @one_blas_thread
    @_one_at_a_time
    def profile(self, names: Optional[Iterable[str]] = None, level: float = 0.95,
                max_steps: int = 24) -> Dict[str, Profile]:
        """Profile-likelihood intervals of the free thermodynamic parameters
        (or of `names`): each is stepped away from its best value, the other
        free parameters are refitted at every step, and the interval ends
        where chi2 has risen by the F-test's amount at `level`.  Honest where
        the Jacobian's errors are only a linear approximation (delta_h and
        delta_s are correlated at 0.9996).  Sets and returns `profiles`."""
        problem = self._fit
        if names is None:
            names = [n for n in self.free if n in problem.nonlinear_set]
        names = list(names)
        for name in names:
            if name not in self.free:
                raise KelvaraError(f"cannot profile {name!r}: it is not a free parameter of this fit")
        n, p = self.n_points, len(self.free)
        chi2_min = self.chi2 / problem.scale**2
        if n - p <= 0:
            raise KelvaraError("a profile needs more points than free parameters")
        rise = f_distribution.ppf(level, 1, n - p) / (n - p)
        scales = self._error_scales or {}
        profiles = {}
        for name in names:
            # Correlated noise lets chi2 rise further by chance: the rise
            # allowed grows as the parameter's variance does.
            threshold = chi2_min * (1.0 + rise * scales.get(name, 1.0) ** 2)
            profiles[name] = profile_one(problem, self, name, chi2_min, threshold, level, max_steps)
        self.profiles = profiles
        return profiles

    @one_blas_thread
    @_one_at_a_time
    def run_bootstrap(self, resamples=200, seed=None, progress=None):
        """Percentile intervals (2.5 %, 97.5 %) from residual resampling: each
        resample adds the residuals, drawn with replacement within each curve,
        to the fitted curves and fits again from the best values.  Where the
        noise is correlated (see `noise_model`), the residuals' innovations
        r_t - rho r_(t-1) are drawn instead and correlated again, so that
        each resample's noise is as correlated as the data's.  Sets and
        returns `bootstrap`; `bootstrap_samples` keeps the parameter values.
        `progress`: a bar on stderr (True; None: when stderr is a terminal),
        or a callable, called as ``progress(done, resamples)``."""
        from kelvara.fit.bootstrap import resample_fits

        return resample_fits(self, self._fit, self._x, resamples, seed, progress)


def _curve_dict(c, channel=None):
    out = {"label": c.label, "channel": channel, "vary": c.vary, "c_tot": c.c_tot, "temperature": c.temperature,
           "baseline": c.baseline, "slope": c.slope, "amplitude": c.amplitude, "te": _json_float(c.te)}
    if c.oligomer_amplitude is not None:
        out["oligomer_amplitude"] = c.oligomer_amplitude
    if c.amplitude_b is not None:
        out["amplitude_b"] = c.amplitude_b
    if c.midpoint is not None:
        out[c.midpoint[0]] = _json_float(c.midpoint[1])
    out["misfit_percent"] = None if c.misfit_percent is None else \
        {k: _json_float(v) for k, v in c.misfit_percent.items()}
    return out


def _json_float(value):
    return None if value is None or not math.isfinite(value) else float(value)
