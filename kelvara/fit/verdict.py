"""The verdict: whether a fit can be trusted, and why not.  Not converged,
a parameter not determined or on its bound, too few points, no transition,
structure left in the residuals beyond the noise (or a few outliers), a
half-way point far outside the data, cooling and heating of a sample that
differ (hysteresis).  Each reason is a `Problem`: its
sentence, a stable code and its kind, which tells a wrong answer ("answer")
from a model that does not describe the data ("model")."""

from __future__ import annotations

import math
from typing import List

import numpy as np

from kelvara.fit.curves import came_in_celsius
from kelvara.fit.point_noise import NOISE_SPREAD_VALUES, STRUCTURE_SDS
from kelvara.fit.terms import term_of
from kelvara.units import KELVIN_OFFSET, TYPICAL_SIZE

# A fit whose residual variance exceeds the noise variance read from the data
# by this factor leaves structure that the model does not describe.  Clean
# synthetic data and the example stay below 1.3; a missed minimum or a wrong
# model lies far above.
_STRUCTURE_RATIO = 2.0
# Above this, the median residual itself (as a variance, against the noise)
# says the misfit is systematic rather than a few outliers.
_OUTLIER_BULK = 1.5
# A transition is seen when adding it lowers chi2 by this many noise
# variances (a flat signal gains about as many as there are extra parameters).
_TRANSITION_GAIN = 60.0
# A thermodynamic parameter is not determined when its standard error exceeds
# both its value and the size such values take (TYPICAL_SIZE); one fitted on
# a log scale (sigma, K) when its error exceeds its value: it cannot be told
# from zero.
# A cooperativity below this has left any value a measurement can tell
# from zero.
_VANISHING = 1e-12
# Residual degrees of freedom below which the noise cannot be measured.
_MIN_DOF = 5
# Another minimum of the search rivals the best when its chi2 lies within the
# 95 % likelihood-ratio limit (chi-squared, one degree of freedom) in residual
# variances and a thermodynamic value lies this many standard errors away.
_RIVAL_RISE = 3.841458820694124
_RIVAL_SDS = 3.0


def undetermined(problem, name, p) -> str:
    """Why a free parameter of `problem` that is on no bound is not
    determined by the data, as the end of a sentence that begins with
    its name (" (its standard error cannot be estimated)"); "" when it is
    determined."""
    if not math.isfinite(p.stderr):
        return " (its standard error cannot be estimated)"
    if name in problem.log_names:
        if p.stderr > p.value:
            return (f": its standard error ({p.stderr:.3g}) exceeds its value ({p.value:.3g}), which the data cannot "
                    "tell from zero")
    elif p.stderr > max(abs(p.value), TYPICAL_SIZE.get(p.unit, 0.0)):
        return f": its standard error ({p.stderr:.3g} {p.unit}) exceeds its value"
    return ""


# Every problem's code and kind: "answer" when the answer itself is wrong or
# unknown, "model" when the model does not describe the data.
KINDS = {
    "not_converged": "answer",
    "on_bound": "answer",
    "sigma_vanishing": "answer",
    "not_determined": "answer",
    "too_few_points": "answer",
    "no_transition": "answer",
    "structure": "model",
    "outliers": "model",
    "te_not_a_temperature": "answer",
    "te_far_outside": "answer",
    "midpoint_far_outside": "answer",
    "no_plateau": "answer",
    "rival_minimum": "answer",
    "hysteresis": "model",
}


class Problem(str):
    """One reason a fit is not to be trusted: the sentence it is (a str, as
    `problems` always held), with its stable `code` and its `kind`."""

    code: str
    kind: str

    def __new__(cls, code: str, text: str) -> "Problem":
        self = super().__new__(cls, text)
        self.code = code
        self.kind = KINDS[code]
        return self

    def __reduce__(self):
        return Problem, (self.code, str(self))


def judge(problem, x, converged, message, rss, dof, parameters, derived, noise_var, curve_results,
             residuals, noise_model=None, fit_variance=None):
    problems: List[Problem] = []

    def add(code, text):
        problems.append(Problem(code, text))

    if not converged:
        add("not_converged", f"the fit did not converge: {message}")
    for name in problem.nonlinear:
        p = parameters[name]
        if p.fixed:
            continue
        if p.at_bound:
            side = p.bounds[0] if abs(p.value - p.bounds[0]) <= abs(p.value - p.bounds[1]) else p.bounds[1]
            add("on_bound", f"{name} ends on its bound {side:g} {p.unit}: the data do not determine it "
                "within the bounds")
        elif name in problem.log_names and name.startswith("sigma") and p.value < _VANISHING:
            add("sigma_vanishing", f"{name} runs off towards zero ({p.value:.3g}): the data bound it from above "
                "only (a transition as sharp as can be fits them as well); fix it, or measure closer to the onset")
        elif undetermined(problem, name, p):
            add("not_determined", f"{name} is not determined by the data{undetermined(problem, name, p)}")
    if dof < _MIN_DOF:
        add("too_few_points", f"only {problem.n_points} points for {len(x)} free parameters: too few to tell "
            "the noise from the model, so the standard errors mean little")

    # No transition: compare with the fit of baselines (and slopes) alone.
    rss_flat = problem.flat_chi2()
    floor = (1e-7) ** 2  # internal units: a millionth or so of the signal's change
    if noise_var is not None:
        variance = max(noise_var, floor)
        gain = (rss_flat - rss) / variance
        if gain < _TRANSITION_GAIN:
            add("no_transition", f"the data show no transition: the model lowers chi2 by only "
                f"{max(gain, 0.0):.3g} noise variances below baselines alone (the amplitude is not "
                "distinguishable from zero)")
        correlated = noise_model is not None and not noise_model.white
        if noise_model is not None and noise_model.misfit and fit_variance > floor:
            add("structure", _misfit_text(noise_model, curve_results))
        else:
            # Against the noise read from neighbouring points, which reads
            # correlated noise as smaller than it is by a known factor.
            expected = noise_model.local_ratio() if correlated else 1.0
            ratio = (fit_variance if correlated else rss / dof) / variance / expected
            span = noise_model.span if correlated else 1.0
            spread = math.sqrt(NOISE_SPREAD_VALUES / max(getattr(problem, "noise_count", 0), 1)
                               + 2.0 * span / max(dof, 1))
            if ratio > max(_STRUCTURE_RATIO, 1.0 + STRUCTURE_SDS * spread):
                add(*_structure_text(problem, ratio, residuals, variance * expected,
                                     noise_model if correlated else None, curve_results))
    elif rss_flat <= rss * (1 + 1e-9):
        add("no_transition", "the data show no transition: the model fits no better than baselines alone")

    far = []
    for i, (curve, result) in enumerate(zip(problem.curves, curve_results)):
        label = curve.label or f"curve {i}"
        x = np.log10(curve.x) if term_of(curve).log_axis else curve.x
        low, high = float(x.min()), float(x.max())
        if result.te is not None:
            width = max(high - low, 1.0)
            te = result.te
            if not math.isfinite(te) or te <= 0:
                add("te_not_a_temperature", f"Te of {label} is not a temperature ({te:g} K)")  # K: below 0 K
            elif te < low - width or te > high + width:
                add("te_far_outside", f"Te of {label} ({_degrees(problem, te)}) lies far outside its measured "
                    f"range {_degrees(problem, low, high)}")
        elif result.midpoint is not None and result.midpoint[0] != "t50" and math.isfinite(result.midpoint[1]):
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
    for _, text in far:
        add("midpoint_far_outside", text)
    # Read from the data before any model: a sample whose cooling and
    # heating differ is not at equilibrium while measured.
    for text in dict.fromkeys(c.hysteresis for c in problem.curves if c.hysteresis):
        add("hysteresis", text)
    return problems


_WINDOW_CODES = ("no_plateau", "no_transition", "te_far_outside", "midpoint_far_outside")


def with_cures(result) -> List[Problem]:
    """The problems of a fit with the common cure named where there is one:
    structure left by one amplitude shared by curves at several
    concentrations (--extensive), or by plateaus held flat as asked
    (--baseline-slope, --aggregate-slope).  Outliers name --exclude
    already; a --range is the reading's (see `with_window_cure`)."""
    options = result.options
    extensive = options is not None and options.extensive
    concentrations = {c.c_tot for c in result.curve_results if c.c_tot is not None}
    data = result.data if getattr(result, "_problem", None) is not None else []
    series = any(c.vary == "concentration" for c in data)
    out = []
    for problem in result.problems:
        cures = []
        if problem.code == "structure":
            if not extensive and (series or "amplitude" in result.parameters and len(concentrations) > 1):
                cures.append("if the signal grows with the concentration (absorbance, CD in mdeg), --extensive "
                             "describes it")
            for option, words, flag in (("baseline_slope", "monomer baseline", "--baseline-slope"),
                                        ("aggregate_slope", "aggregate signal", "--aggregate-slope")):
                # Only where it was asked: a series has no temperature to slope in.
                if options is not None and getattr(options, option) is False:
                    cures.append(f"the {words} was held flat as asked: {flag} lets a sloping plateau slope")
            entropy = result.parameters.get("delta_s_nuc")
            if entropy is not None and entropy.fixed and entropy.value == 0.0 and options is not None \
                    and "delta_s_nuc" not in (options.fix or {}) and any(c.vary == "temperature" for c in data):
                cures.append("nucleation may have an entropy of its own (sigma above 1 at high temperature): "
                             "--free delta_s_nuc fits it")
        out.append(Problem(problem.code, f"{problem}; {'; '.join(cures)}") if cures else problem)
    return out


def with_window_cure(problems: List[Problem], window: str) -> List[Problem]:
    """The problems with the cure of a --range `window` that may have cut
    the transition off, where the verdict found no plateau, no transition
    or a midpoint far outside."""
    return [Problem(p.code, f"{p}; --range {window} may cut the transition off: widen it")
            if p.code in _WINDOW_CODES else p for p in problems]


def _misfit_text(noise_model, curve_results):
    return (f"the fit leaves structure in the residuals, which the model does not describe: {noise_model.misfit}, "
            f"so they follow a shape the model misses{_misfit_sizes(curve_results)} "
            "(a wrong model, or a missed minimum)")


def _structure_text(problem, ratio, residuals, variance, noise_model, curve_results):
    """Structure beyond the noise: systematic (the bulk of the residuals
    moves) or a few outliers, as (code, text)."""
    noise = "the noise variance estimated from the data" if noise_model is None else (
        f"the variance of noise correlated over {noise_model.span:.0f} points, as estimated from the data")
    bulk = (1.4826 * float(np.median(np.abs(residuals)))) ** 2 / variance
    if bulk > _OUTLIER_BULK or noise_model is not None:
        return "structure", (f"the fit leaves structure in the residuals: their variance is {ratio:.3g} times "
                             f"{noise}{_misfit_sizes(curve_results)} (a wrong model, or a missed minimum)")
    far = int(np.sum(np.abs(residuals) > 5.0 * math.sqrt(variance)))
    return "outliers", (f"{far} point(s) lie more than 5 noise SDs from the fit and make the residual variance "
            f"{ratio:.3g} times the noise variance, while the bulk of the residuals is noise: "
            "outliers pull a least-squares fit; check or remove them"
            f"{_how_to_drop(problem, residuals, 5.0 * math.sqrt(variance))}")


def _how_to_drop(problem, residuals, limit, most=3):
    """The options that leave out the worst points beyond `limit`: '; the
    worst: --exclude '62.5C@10 µM', ...', in the data's units."""

    worst = [j for j in np.argsort(-np.abs(residuals))[:most] if abs(residuals[j]) > limit]
    offsets = np.cumsum([0] + [c.size for c in problem.curves])
    shown = []
    for j in sorted(worst):
        i = int(np.searchsorted(offsets, j, side="right") - 1)
        curve, x = problem.curves[i], float(problem.curves[i].x[j - offsets[i]])
        value = term_of(curve).exclusion(curve, x)
        if value is None:
            continue  # a solvent fraction: no option drops it yet
        shown.append(f"--exclude '{value}@{curve.name}'")
    return f"; the worst: {', '.join(shown)}" if shown else ""


def _misfit_sizes(curve_results):
    sizes = [c.misfit_percent for c in curve_results if c.misfit_percent is not None]
    if not sizes:
        return ""
    rms = max(s["rms"] for s in sizes)
    largest = max(s["max"] for s in sizes)
    return f"; systematic misfit up to {rms:.2g} % of a curve's signal change (RMS), {largest:.2g} % at most"


# Beyond this, sigma says nucleation is favoured so strongly that the
# assembly is anti-cooperative; a degree of polymerisation beyond
# _DP_LIMIT means the fraction aggregated is within rounding of 1.
_ANTI_COOPERATIVE = 10.0
_DP_LIMIT = 1e9


def physical_notes(problem, parameters, derived, curve_results):
    """What a chemist must know of values that are numbers but may mean
    nothing physical: a positive elongation enthalpy (aggregation that grows
    on heating), a Te outside the measured range, sigma far above 1 (nucleation
    favoured: anti-cooperative), a degree of polymerisation beyond any the
    sample could hold.  Notes, in words; the verdict judges them where they
    make the answer undetermined (te_not_a_temperature, te_far_outside)."""
    notes = []
    model = problem.model
    enthalpy = model.elongation[0]
    temperature_curves = [c for c in problem.curves if c.vary == "temperature"]
    if enthalpy and temperature_curves and enthalpy in parameters and parameters[enthalpy].value > 0.0:
        notes.append(f"{enthalpy} is positive ({parameters[enthalpy].value / 1000.0:.3g} kJ/mol): in this fit "
                     "aggregation grows on heating, the aggregate being the high-temperature state; if the assembly "
                     "forms on cooling, the fit has found something else (e.g. a monomer-dimer balance)")
    for i, (curve, result) in enumerate(zip(problem.curves, curve_results)):
        if result.te is None or not math.isfinite(result.te) or result.te <= 0 or curve.vary != "temperature":
            continue
        low, high = float(curve.x.min()), float(curve.x.max())
        if not low <= result.te <= high:
            notes.append(f"Te of {curve.label or f'curve {i}'} ({_degrees(problem, result.te)}) lies outside its "
                         f"measured range {_degrees(problem, low, high)}: it is extrapolated")
    sigmas = [d.value for name, d in derived.items() if name.startswith("sigma(Te)") and math.isfinite(d.value)]
    if "sigma" in parameters and not parameters["sigma"].fixed:
        sigmas.append(parameters["sigma"].value)
    if sigmas and max(sigmas) > _ANTI_COOPERATIVE:
        notes.append(f"sigma is far above 1 (up to {max(sigmas):.3g}): nucleation is favoured over elongation, the "
                     "assembly is anti-cooperative (which may be real; the cooperative picture of a nucleus then "
                     "does not hold)")
    large = sorted(name for name, d in derived.items() if name.startswith("dp_n") and d.value > _DP_LIMIT)
    if large:
        notes.append(f"{', '.join(large[:4])}{' ...' if len(large) > 4 else ''}: beyond {_DP_LIMIT:.0e}, a chain "
                     "longer than any sample holds; the fraction aggregated is within rounding of 1 there, so these "
                     "say nothing")
    for i, curve in enumerate(problem.curves):
        short = [name for name in ("t50", "t90") if f"{name}[{i}]" in derived
                 and math.isnan(derived[f"{name}[{i}]"].value)]
        if curve.vary == "time" and short:
            notes.append(f"{' and '.join(short)} of {curve.label or f'trace {i}'}: not reached within its times (to "
                         f"{float(curve.x.max()):g} s): the fitted trace goes less than "
                         f"{'half' if 't50' in short else 'nine tenths'} of the way to its equilibrium by then")
    return notes


# A curve shows a plateau where its fraction aggregated comes within this
# of 0 (the free monomer) or of 1 (the aggregate) at a measured point.
_PLATEAU = 0.1


def plateau_check(problem, x, curve_results):
    """(problems, notes): the transition must lie in the data.  A curve
    whose fitted fraction does not come near 0 and near 1 within its
    measured temperatures shows no plateau on one side (or either): its
    baseline and amplitude are extrapolated from the model's shape.  For a
    model with parameters of each curve (phenomenological), any such curve
    leaves the answer undetermined; for a mass-balance model the curves
    share the thermodynamics and the model's shape fixes the rest, and only
    when no curve shows a plateau on either side (the transition is wider
    than every window) is the answer undetermined; a curve without one is a
    note."""
    values = problem.values(x)
    open_curves = []
    seen = set()  # the plateaus some curve shows: "aggregate", "monomer"
    for i, curve in enumerate(problem.curves):
        if curve.vary != "temperature":
            continue
        try:
            f = problem.fraction(values, curve, curve.x)
        except (ArithmeticError, ValueError):
            continue
        if not np.all(np.isfinite(f)):
            continue
        cold = f[int(np.argmin(curve.x))] >= f[int(np.argmax(curve.x))]  # aggregated on the cold side
        missing = []
        low_t, high_t = float(curve.x.min()), float(curve.x.max())
        seen |= {"aggregate"} if float(f.max()) >= 1.0 - _PLATEAU else set()
        seen |= {"monomer"} if float(f.min()) <= _PLATEAU else set()
        if float(f.max()) < 1.0 - _PLATEAU:
            missing.append(f"of the aggregate {'below' if cold else 'above'} "
                           f"{_degrees(problem, low_t if cold else high_t)} "
                           f"(the fraction aggregated reaches {float(f.max()):.2f})")
        if float(f.min()) > _PLATEAU:
            missing.append(f"of the free monomer {'above' if cold else 'below'} "
                           f"{_degrees(problem, high_t if cold else low_t)} "
                           f"(the fraction aggregated falls to {float(f.min()):.2f} only)")
        if missing:
            label = curve.label or f"curve {i}"
            open_curves.append(f"{label} shows no plateau {' and none '.join(missing)}")
    if not open_curves:
        return [], []
    extrapolated = ": its baseline and amplitude are extrapolated from the model's shape"
    if not problem.model.mass_balance or not seen:
        shown = open_curves if len(open_curves) <= 3 else open_curves[:3] + [f"{len(open_curves) - 3} more"]
        return [Problem("no_plateau", "the transition is not in the data: " + "; ".join(shown)
                        + (extrapolated if len(open_curves) == 1 else ": their baselines and amplitudes are "
                           "extrapolated from the model's shape"))], []
    return [], [text + extrapolated for text in open_curves[:8]]


def rival_minima(problem, ends, rss, parameters, variance):
    """A problem when another end of the search fits about as well as the
    best (chi2 within the likelihood-ratio limit, in residual `variance`s)
    far from it (a thermodynamic value more than _RIVAL_SDS standard errors
    away): the data do not single out one answer, and the standard errors,
    which describe one minimum, understate what is unknown."""
    if not (variance > 0 and math.isfinite(variance)):
        return []
    for chi2, theta in sorted(ends, key=lambda end: end[0]):
        rise = (chi2 - rss) / variance
        if not (math.isfinite(rise) and rise <= _RIVAL_RISE):
            continue
        away = []
        for name, value in zip(problem.free_thermo, theta):
            p = parameters[name]
            other = problem.external(name, float(value))
            if p.determined and abs(other - p.value) > _RIVAL_SDS * p.stderr:
                away.append((abs(other - p.value) / p.stderr, name, other, p.unit))
        if away:
            shown = ", ".join(f"{name} {_in_unit(other, unit)}" for _, name, other, unit in away)
            return [Problem("rival_minimum", (
                f"the data do not single out one answer: another minimum fits about as well (chi2 within "
                f"{max(rise, 0.0):.2g} residual variances of the best, inside the 95 % likelihood-ratio limit of "
                f"{_RIVAL_RISE:.2f}) at {shown}, up to {max(a[0] for a in away):.0f} standard errors from the best; "
                "the standard errors describe one minimum only"))]
    return []


def _degrees(problem, kelvin, high=None):
    """A temperature (or the range kelvin to high) in the unit the curves
    came in: °C where every curve against temperature was read in °C."""
    celsius = came_in_celsius(problem.curves)

    def one(k):
        return f"{k - KELVIN_OFFSET:.4g} °C" if celsius else f"{k:.5g} K"
    if high is None:
        return one(kelvin)
    return f"{one(kelvin).split()[0]} to {one(high)}"


def _in_unit(value, unit):
    if unit == "J/mol":
        return f"{value / 1000:.4g} kJ/mol"
    return f"{value:.4g} {unit}".rstrip()
