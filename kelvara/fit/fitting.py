"""`fit` and `check`: from curves and options to a `FitResult`: the
options checked, the problem built, the search run (for every nucleus size
asked), the covariance, derived values and verdict assembled."""

from __future__ import annotations

import math
import warnings
from typing import Any, Dict, Iterable, List, Mapping, Optional, Tuple, Union, cast

import numpy as np

from kelvara.errors import KelvaraError
from kelvara.fit.curves import Curve
from kelvara.fit.noise import fit_noise_model, misfit_percentages, noise_window
from kelvara.fit.naming import ends_by_rule, named_by_rule, naming_note
from kelvara.fit.options import MAX_FITTED_NUC_SIZE, FitOptions, nuc_sizes  # noqa: F401 (re-exported)
from kelvara.fit.problem import Exhausted, FitProblem
from kelvara.fit.result import CurveResult, FitResult, Parameter
from kelvara.fit.scan import nucleus_support, rival_sizes
from kelvara.fit.search import first_guess, linear_start, search_starts, theta_of
from kelvara.fit.slopes import choose_slopes, undecided_slopes
from kelvara.fit.terms import term_of
from kelvara.fit.threads import one_blas_thread
from kelvara.fit.uncertainty import covariance_of, sandwich_covariance
from kelvara.fit.verdict import judge, physical_notes, plateau_check, rival_minima, undetermined, with_cures
from kelvara.models import KINETIC, MODELS

MAX_CURVES = 100  # in one fit: each brings its own baseline and amplitude (100 cooperative curves: about 13 s)


@one_blas_thread
def fit(
    curves: Union[Curve, Iterable[Curve]],
    model: str = "cooperative",
    options: Optional[FitOptions] = None,
    *,
    nuc_size: Union[int, Iterable[int], None] = None,
    shared_amplitude: bool = False,
    shared_baseline: bool = False,
    baseline_slope: Optional[bool] = None,
    start: Optional[Mapping[str, float]] = None,
    fix: Optional[Mapping[str, float]] = None,
    bounds: Optional[Mapping[str, Tuple[float, float]]] = None,
    max_nfev: Optional[int] = None,
    search: bool = True,
    aggregate_slope: Optional[bool] = None,
    extensive: bool = False,
    shared: Iterable[str] = (),
    free: Iterable[str] = (),
    species_signals: Optional[bool] = None,
    signal_model: str = "aggregated",
) -> FitResult:
    """Fit one model globally to the curves.

    Parameters
    ----------
    curves : Curve or iterable of Curve
        Cooling or heating curves, concentration series and solvent
        denaturations, alone or together.
    model : str
        One of `kelvara.models.MODELS`: "isodesmic", "isodesmic_direct",
        "cooperative", "cooperative_n", "coop_iso", "vanderschoot",
        "isodesmic_sigmoid" for curves against temperature (the mass-balance
        ones also for concentration series: a series at one temperature fits
        "k" (and "sigma"; "k_iso", "k_coop", "sigma") on a log scale, several
        temperatures or cooling curves beside it share the thermodynamic
        parameters); "denaturation" and "denaturation_isodesmic" for solvent
        denaturations ("delta_g0", "m" in J/mol and "sigma").
    options : FitOptions, optional
        All of the options below as one value (then give none of them): a
        result's own (`result.options`) fits again as it was fitted.
    nuc_size : int or iterable of int, optional
        cooperative_n only: a nucleus size, or several (``range(2, 9)``),
        each fitted and the best kept; at most 100.
    shared_amplitude, shared_baseline : bool
        One amplitude (baseline) for every curve instead of one each.
    baseline_slope, aggregate_slope : bool or None
        The monomer's (the aggregate's) signal slopes in T, in signal/K:
        True or False as given; None (the default) lets the data choose,
        for curves against temperature (`kelvara.fit.slopes`), and the
        result says which it chose and why (`result.choices`).
    start, fix : mapping of str to float, optional
        Starting or fixed values by parameter name: the model's
        thermodynamic names and "baseline[i]", "amplitude[i]", "slope[i]"
        per curve i (without the index when shared), in J/mol, J/(mol K),
        K, L/mol and the signal's unit.
    bounds : mapping of str to (float, float), optional
        Lower and upper bounds by name, in the same units.
    max_nfev : int, optional
        A cap on the model evaluations of the whole fit.
    search : bool
        False fits once from the guessed (or given) start instead of
        searching: faster, but it may end in a local minimum.
    extensive : bool
        The signal is proportional to the concentration (raw absorbance, CD
        in mdeg): signal = c_tot (baseline + amplitude fraction), baselines
        and amplitudes per mol/L, so that one amplitude can serve every curve.
    shared : iterable of str
        Per-curve parameters of a phenomenological model that every curve
        shares (``("h_e",)`` for vanderschoot).
    free : iterable of str
        Parameters fixed unless freed: ``("delta_s_nuc",)``, the entropy
        of nucleation of the cooperative models across temperatures
        (J/(mol K); sigma = exp(delta_s_nuc / R - delta_h_nuc / (R T)),
        0 when not freed).

    species_signals : bool or None
        The models with a nucleus: the oligomers up to the nucleus (sizes 2
        to n) give a signal of their own, "oligomer_amplitude[i]" per curve
        (shared with `shared_amplitude`), and "amplitude[i]" is the
        polymers' (the aggregated state beyond the nucleus).  Equal
        amplitudes are the fit without it.  None (the default): the data
        choose for cooperative_n (whose nucleus holds enough to tell), no
        species signals for the others.
    signal_model : {"aggregated", "stacked"}
        What the amplitude multiplies: "aggregated" (the default), the
        fraction of molecules in aggregates, 1 - m/c_tot; "stacked" (the
        isodesmic model only), the stacked fraction K m, the stacking
        contacts per molecule, 1 - (all species)/c_tot: the convention of
        the NMR dilution analyses that report K from the equal-K model
        (Bindfit's), which gives a larger K for the same data.

    Returns
    -------
    FitResult
        Best values with standard errors, derived values, statistics, and
        the verdict (`ok`, `problems`) that says whether it can be trusted.
        A fit that stops without converging also issues a RuntimeWarning.

    Raises
    ------
    ValueError
        Curves or options that cannot be fitted as given (an unknown model
        or parameter, a fixed value outside its bounds, too few points),
        before any fitting.
    """
    given = FitOptions(nuc_size=nuc_size, shared_amplitude=shared_amplitude, shared_baseline=shared_baseline,
                       baseline_slope=baseline_slope, aggregate_slope=aggregate_slope, extensive=extensive,
                       start=start, fix=fix, bounds=bounds, max_nfev=max_nfev, search=search, shared=shared,
                       free=free, species_signals=species_signals, signal_model=signal_model)
    if options is None:
        options = given
    elif not isinstance(options, FitOptions):
        raise KelvaraError(f"options must be FitOptions, not {type(options).__name__} (give the options as keywords)")
    elif given != FitOptions():
        raise KelvaraError("give the fit's options either as FitOptions or as keywords, not both")
    search = options.search
    curves, sizes, make, numbers = _setup(curves, model, options)

    def run(baseline, aggregate, near=None, species=None):
        species = _species_asked(model, options) if species is None else species
        if near is None:
            results = [_fit_problem(make(size, baseline, aggregate, bool(species)), dict(numbers), search)
                       for size in sizes]
        else:  # a trial of one more term, from the fit without it
            thermo = {n: p.value for n, p in near.parameters.items()
                      if n in near._problem.nonlinear_set and not p.fixed}
            problem = make(near.nuc_size, baseline, aggregate, bool(species))
            results = [_fit_problem(problem, thermo, False, trial=True)]
        return min(results, key=lambda r: (not (r.converged and math.isfinite(r.chi2)), r.chi2)), results

    baseline, aggregate = _slopes_asked(curves, options)
    traces = any(c.vary == "time" for c in cast(List[Curve], curves))  # a list by now (_setup)
    chosen_species = _species_asked(model, options) is None and not traces
    best, results, choices = choose_slopes(run, baseline, aggregate, species=chosen_species)
    for result in results:
        result.options = options
    if not any(term_of(c).sloped for c in best.data):  # a series has no temperature to slope in: nothing was chosen
        choices = [c for c in choices if c.option not in ("baseline_slope", "aggregate_slope")]
    best.choices = choices
    best.notes[:0] = [c.text for c in choices if c.chosen]
    best.problems = with_cures(best)
    if len(sizes) > 1:
        best.nuc_size_scan = {r.nuc_size: r.chi2 for r in results if r.nuc_size is not None}
        best.nuc_size_support = nucleus_support(best, results)
        best.notes.append(best.nuc_size_support.text)
        if best.ok:
            best.problems += rival_sizes(best, results, best.nuc_size_support)
    if not best.converged:
        warnings.warn(f"kelvara.fit: the {model} fit did not converge: {best.message}",
                      RuntimeWarning, stacklevel=2)
    return best


def check(curves: Union[Curve, Iterable[Curve]], model: str = "cooperative", **keywords) -> None:
    """Raise the ValueError that `fit` would raise for these curves and
    options (an unknown model or parameter, a bad bound), without fitting."""
    unknown = set(keywords) - set(FitOptions.__dataclass_fields__)
    if unknown:
        raise TypeError(f"check() got an unexpected keyword argument {sorted(unknown)[0]!r}")
    options = FitOptions(**keywords)
    curves, sizes, make, _ = _setup(curves, model, options)
    baseline, aggregate = _slopes_asked(curves, options)
    make(sizes[0], bool(baseline), bool(aggregate), bool(_species_asked(model, options)))


def _species_asked(model, options):
    """species_signals as asked; None where the data choose (cooperative_n,
    apart from time traces, which have no species signals yet)."""
    if options.species_signals is not None:
        return options.species_signals
    return None if MODELS[model].takes_nuc_size and MODELS[model].nucleated else False


def _slopes_asked(curves, options):
    """(baseline_slope, aggregate_slope) as asked, None where the data choose."""
    named = [name for given in (options.start, options.fix, options.bounds) for name in given or {}]
    return undecided_slopes(curves, options.baseline_slope, options.aggregate_slope, named)


def _setup(curves, model, options: FitOptions):
    """Everything `fit` checks before it fits: (the curves, the nucleus
    sizes to fit, a function that makes the problem of one size, the
    starting values as numbers)."""
    nuc_size, max_nfev, shared, free = options.nuc_size, options.max_nfev, options.shared, options.free
    curves = [curves] if isinstance(curves, Curve) else list(curves)
    if not curves:
        raise KelvaraError("no curves to fit")
    if len(curves) > MAX_CURVES:
        raise KelvaraError(f"{len(curves)} curves are more than one fit takes ({MAX_CURVES}: each brings its own "
                           "baseline and amplitude); fit them in groups, a file or a --signal-column at a time")
    for curve in curves:
        if not isinstance(curve, Curve):
            raise KelvaraError(f"expected Curve objects, got {type(curve).__name__}")
        curve.validate()
    if not isinstance(model, str):
        raise KelvaraError(f"model must be a model's name, such as 'cooperative', not {model!r}")
    start, fix, bounds = (_numbers_by_name(given, what) for given, what in
                          ((options.start, "start"), (options.fix, "fix"), (options.bounds, "bounds")))
    for name, value in fix.items():
        low, high = bounds.get(name, (-math.inf, math.inf))
        if not low <= value <= high:
            raise KelvaraError(f"{name} is fixed at {value:g}, outside its own bounds {low:g} to {high:g}")
    if max_nfev is not None and (isinstance(max_nfev, bool) or not isinstance(max_nfev, int) or max_nfev < 1):
        raise KelvaraError(f"max_nfev must be a positive whole number, not {max_nfev!r}")
    if model not in MODELS:
        raise KelvaraError(f"unknown model {model!r}; the models are {', '.join(MODELS)}")
    entry = MODELS[model]
    start, fix = _penalties(entry, start, fix, bounds)
    sizes: List[Optional[int]] = [None]
    if isinstance(nuc_size, str):  # text is the command line's: here sizes are numbers
        raise KelvaraError(f"nuc_size must be a whole number or a range of them (range(2, 7)), not {nuc_size!r}")
    checked_size = nuc_sizes(nuc_size, model)
    if entry.takes_nuc_size:
        sizes = [2] if checked_size is None else [checked_size] if isinstance(checked_size, int) else \
            list(checked_size)

    # The entropy of nucleation is 0 unless freed (or fixed at a value).
    free = [free] if isinstance(free, str) else list(free)
    optional = list(entry.nucleation_entropies)
    for name in free:
        if name not in optional:
            raise KelvaraError(f"cannot free {name!r}: " + (
                f"the parameter{'s' if len(optional) > 1 else ''} fixed unless freed in the {model} model "
                f"{'are' if len(optional) > 1 else 'is'} {' and '.join(optional)}" if optional else
                f"the {model} model has no parameter fixed unless freed (delta_s_nuc belongs to the cooperative "
                "models across temperatures)"))
    for name in free:
        if name in fix:
            raise KelvaraError(f"{name} cannot be both freed and fixed")

    def make(size, baseline_slope, aggregate_slope, species_signals):
        return FitProblem(curves, entry, size, options.shared_amplitude, options.shared_baseline,
                        baseline_slope, dict(start), dict(fix), dict(bounds), max_nfev,
                        aggregate_slope=aggregate_slope, extensive=options.extensive,
                        shared=tuple(shared), free=tuple(free), species_signals=species_signals,
                        signal_model=options.signal_model)

    return curves, sizes, make, start


def _penalties(entry, start, fix, bounds):
    """start and fix with the nucleation step's own values (delta_h_n, as
    papers publish them) turned into the penalties the model fits:
    delta_h_nuc = delta_h_n - delta_h, the elongation's value taken from
    fix (for a fixed one) or from fix or start (for a start)."""
    pairs = entry.absolute_nucleation
    start, fix = dict(start), dict(fix)
    for name in bounds:
        if name in pairs:
            own, penalty = pairs[name]
            raise KelvaraError(f"bounds take the penalty {penalty}, not {name} (= {own} + {penalty})")
    for given, what in ((fix, "fix"), (start, "start")):
        for name in [n for n in given if n in pairs]:
            own, penalty = pairs[name]
            if penalty in fix or penalty in start:
                raise KelvaraError(f"{name} and {penalty} say the same (= {own} + {penalty}): give one of them")
            known = fix if what == "fix" else {**start, **fix}
            if own not in known:
                raise KelvaraError(
                    f"{what} {name} needs {own} {'fixed' if what == 'fix' else 'fixed or started'} too: kelvara "
                    f"fits the penalty {penalty} = {name} - {own}; give --{what} {own}=VALUE as well, or "
                    f"--{what} {penalty}=VALUE")
            given[penalty] = given.pop(name) - known[own]
    return start, fix


def _numbers_by_name(given, what):
    """start, fix or bounds as {name: float} (or {name: (float, float)}),
    refusing what is not a number with the name it was given for."""
    if given is None:
        return {}
    if not isinstance(given, Mapping):
        raise KelvaraError(f"{what} must map parameter names to values, not {type(given).__name__}")
    out: Dict[str, Any] = {}
    for name, value in given.items():
        try:
            if what == "bounds":
                low, high = value
                out[name] = (float(low), float(high))
            else:
                out[name] = float(value)
        except (TypeError, ValueError):
            shape = "a pair of numbers (low, high)" if what == "bounds" else "a number"
            raise KelvaraError(f"{what} of {name!r} must be {shape}, not {value!r}") from None
        if what != "bounds" and not math.isfinite(out[name]):
            raise KelvaraError(f"{what} of {name!r} must be finite, not {value!r}")
    return out


def _sum_of_squares(misfit):
    return None if misfit is None else float(misfit @ misfit)


def _fit_problem(problem: FitProblem, start: Dict[str, float], search: bool, trial: bool = False) -> FitResult:
    """The fit of `problem` from `start` (searched from there with
    `search`).  A `trial` (of one more slope or species signals, whose Wald
    test reads its covariance and whose verdict only says whether the data
    still show a transition) skips the derived values, the physical notes,
    the plateau check and the rival minima."""
    notes = [problem.weight_note] if problem.weight_note else []
    exhausted = False
    try:
        x0, screened, refined, reached, ends = search_starts(problem, start, notes, search, None)
        # From the refined start the polish needs a few steps; a fit that
        # wanders for long has a direction the data do not fix.
        if len(x0) == 0:  # every parameter fixed: an evaluation, nothing to fit
            x, converged, message, active = x0, True, "every parameter fixed: evaluated", np.zeros(0, dtype=bool)
        else:
            result = problem.solve(x0, max_nfev=20 * (len(x0) + 1))
            x, converged, message = result.x, bool(result.success) and result.status > 0, result.message
            active = result.active_mask != 0
        # Each misfit as its sum of squares at once: two vectors as large as the data are not held together.
        start_rss, end_rss = _sum_of_squares(problem.model_minus_data(x0)), _sum_of_squares(problem.model_minus_data(x))
        if start_rss is not None and (end_rss is None or end_rss > start_rss):
            # The polish left the refined minimum for a worse point (a linear
            # parameter the data hardly fix can pull the full problem's steps
            # astray): the refined minimum stands, as converged as it was.
            x, converged = x0, True
            message = "the refined minimum (the polish over every parameter did not improve it)"
            active = np.zeros(len(x), dtype=bool)
    except Exhausted:
        exhausted = True
    if exhausted:
        # Out of evaluations: report the guess, not converged.
        budget, problem.budget = problem.budget, None
        guess = first_guess(problem)
        theta = theta_of(problem, guess)
        projected = problem.project(theta)
        beta = projected.beta if projected is not None else np.zeros(len(problem.free_linear))
        x = problem.full_vector(theta, linear_start(problem, beta))
        screened = refined = reached = 0
        ends = []
        converged, message = False, f"stopped after {budget} model evaluations (the cap given)"
        active = np.zeros(len(x), dtype=bool)
    problem.budget = None
    if not exhausted and not trial:  # two pathways: A and B by the stated rule, not by where the search ended
        order = named_by_rule(problem, x)
        x, active, ends = np.asarray(x)[order], np.asarray(active)[order], ends_by_rule(problem, ends)
        notes += [naming_note(problem)] if problem.model.pathways else []

    # The covariance first, for a unit variance: its derivatives are held as
    # large as the data, and let go before the residuals are made.
    unit_covariance = covariance_of(problem, x, 1.0, active, notes)
    problem.release()
    final = problem.model_minus_data(x)
    if final is None:
        converged = False
        message = "the model cannot be evaluated at the final values"
    residuals = problem.residuals(x) if final is None else final
    n, p = problem.n_points, len(x)
    rss = float(residuals @ residuals)
    dof = n - p
    covariance = unit_covariance * (rss / dof)
    noise_model = fit_noise_model(problem.curves, residuals, problem.rows, p, lambda: _transitions(problem, x)) \
        if final is not None else None
    variance = rss / dof  # of the noise, internal units
    if noise_model is not None and not noise_model.white:
        covariance, variance = _correlated(problem, x, unit_covariance, covariance, rss, noise_model, notes)
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

    derived = {} if trial else problem.derived(x, _without_the_undetermined(problem, parameters, covariance))
    noise_var = problem.noise_variance
    curve_results = _curve_results(problem, values, parameters, derived, residuals, noise_model, noise_var,
                                   variance)
    if noise_model is not None and noise_model.misfit_from_whiteness:
        # A misfit read from the correlation alone counts only where it is
        # larger than what the noise alone leaves; else it is the noise's own
        # shape (a moving average, a smoothing), which no autoregression
        # takes out.
        sizes = [c.misfit_percent for c in curve_results if c.misfit_percent is not None]
        if sizes and all(m["rms"] <= m["noise"] for m in sizes):
            notes.append(f"noise: smoothed, it seems (as by a moving average or a Savitzky-Golay filter): the "
                         f"residuals stay correlated once their lag-1 correlation ({noise_model.measured_rho:.2f}) is "
                         f"taken out, but the misfit that would mean (up to {max(m['rms'] for m in sizes):.2g} % RMS "
                         "of a curve's signal change) is smaller than what the noise alone leaves "
                         f"({max(m['noise'] for m in sizes):.2g} %): they count as noise")
            noise_model.misfit, noise_model.noise_rho, noise_model.misfit_from_whiteness = None, None, False
            curve_results = _curve_results(problem, values, parameters, derived, residuals, noise_model,
                                           noise_var, variance)

    problems = judge(problem, x, converged, message, rss, dof, parameters, derived, noise_var, curve_results,
                        residuals, noise_model, variance)
    if not trial:
        notes += physical_notes(problem, parameters, derived, curve_results)
    if converged and not trial:
        missing, seen = plateau_check(problem, x, curve_results)
        problems += missing
        notes += seen
        spread = rss / dof
        if noise_model is not None and not noise_model.white and noise_model.misfit is None:
            spread *= noise_model.error_scale ** 2  # chi2 wanders further under correlated noise
        problems += rival_minima(problem, ends, rss, parameters, spread)
    problem.release()
    if noise_model is not None:
        notes += _noise_notes(noise_model, curve_results)
    elif any(c.vary == "temperature" for c in problem.curves):
        notes.append("noise: its correlation from point to point could not be read (too few points along the "
                     "ramps): the standard errors are those of independent points, too small if the instrument "
                     "smoothed its readings")
    vague = [q.name for q in parameters.values() if q.name.startswith("amplitude") and q.determined
             and q.stderr > abs(q.value)]
    if vague:
        notes.append(f"{', '.join(vague)}: standard error above the value; those curves show too little of the "
                     "transition to fix their own signal change (the verdict judges the thermodynamic parameters only)")
    factors = [problem.external_slope(n, float(v)) for n, v in zip(problem.free, x)]
    with np.errstate(over="ignore", invalid="ignore"):
        # A parameter run far off on a log scale (one the data do not
        # determine, as the verdict says) has a covariance beyond doubles.
        external_covariance = covariance * np.outer(factors, factors)
    log_term = n * math.log(rss / n) if rss > 0 else -math.inf
    return FitResult(
        model=problem.model.name, nuc_size=problem.nuc_size, parameters=parameters, curve_results=curve_results,
        covariance=external_covariance, free=list(problem.free), derived=derived, chi2=rss * scale**2,
        reduced_chi2=rss * scale**2 / dof, aic=log_term + 2 * p + 2 * n * math.log(scale),
        bic=log_term + p * math.log(n) + 2 * n * math.log(scale), n_points=n,
        converged=converged, message=message, nfev=problem.nfev, notes=notes, problems=problems,
        noise=None if noise_var is None else math.sqrt(noise_var * _read_as(noise_model)) * scale,
        starts=(screened, refined, reached), noise_model=noise_model, _problem=problem, _x=x,
        _error_scales=_error_scales(unit_covariance * (rss / dof), covariance, problem.free),
    )


def _transitions(problem, x):
    """Each curve's points within its transition (the fraction aggregated
    between 0.05 and 0.95 at the fit), None where it cannot be told."""
    values = problem.values(x)
    out: List[Any] = []
    for curve in problem.curves:
        try:
            f = np.asarray(problem.fraction(values, curve, curve.x), dtype=float)
        except (ArithmeticError, ValueError):
            out.append(None)
            continue
        out.append((f > 0.05) & (f < 0.95) if f.shape == (curve.size,) and np.all(np.isfinite(f)) else None)
    return out


def _without_the_undetermined(problem, parameters, covariance):
    """The covariance with the rows and columns of the thermodynamic
    parameters that the verdict calls not determined unknown: what is
    derived from them is not determined either (no sigma(Te) of 1e-321 +-
    0 from a delta_h_nuc of 1e149 +- 3e149)."""
    # (k_plus and a are fitted as logarithms, where their trade-off along a
    # trace stays finite: t50 is determined where either alone is not.)
    vague = [j for j, name in enumerate(problem.free) if name in problem.nonlinear_set and name not in KINETIC
             and not parameters[name].at_bound and undetermined(problem, name, parameters[name])]
    if not vague:
        return covariance
    covariance = covariance.copy()
    covariance[vague, :] = math.nan
    covariance[:, vague] = math.nan
    return covariance


def _curve_results(problem, values, parameters, derived, residuals, noise_model, noise_var, variance):
    """Each curve's result, with its misfit against the noise alone: from
    the residuals where they are noise, else from the neighbouring points
    as such noise reads there."""
    scale = problem.scale
    noise_alone = variance
    if noise_model is not None and noise_model.misfit and noise_var is not None:
        noise_alone = noise_var * noise_model.local_ratio()
    curve_results = []
    for i, curve in enumerate(problem.curves):
        baseline, slope, amplitude, aggregate_slope = (
            problem.external("baseline", float(v)) for v in problem.linear_values(values, i))
        te = derived[f"Te[{i}]"].value if f"Te[{i}]" in derived else None
        if "te" in problem.model.per_curve:
            te = parameters["te" if "te" in problem.nonlinear_set else f"te[{i}]"].value
        midpoint = next(((name, derived[f"{name}[{i}]"].value) for name in ("c50", "f50", "t50")
                         if f"{name}[{i}]" in derived), None)
        weight = 1.0 if problem.curve_weights is None else problem.curve_weights[i]
        own = residuals[problem.rows[i]] * scale / weight
        curve_results.append(CurveResult(
            curve.label, None if curve.vary == "concentration" else curve.c_tot, baseline, slope, amplitude, te,
            own, aggregate_slope, curve.vary, None if curve.vary == "temperature" else curve.temperature, midpoint,
            misfit_percentages(curve, own, noise_model, math.sqrt(noise_alone) * scale / weight, i),
            **({problem.second_kind: problem.external("baseline", float(problem.second_amplitude(values, i)))}
               if problem.species else {})))
    return curve_results


def _correlated(problem, x, unit_covariance, white, rss, noise_model, notes):
    """(covariance, noise variance) under the correlated noise of
    `noise_model`: the sandwich B (J^T Sigma J) B, the variance from chi2
    over the degrees of freedom the fit leaves to such noise.  The white
    noise's (`white`, rss / (n - p)) where the sandwich cannot be formed."""
    n, p = problem.n_points, len(x)
    gram = problem.correlated_gram(x, noise_model.per_curve(len(problem.curves)))
    if gram is None:
        notes.append("the errors could not allow for the correlated noise: they are those of independent points "
                     "and too small")
        return white, rss / (n - p)
    sandwich, taken = sandwich_covariance(unit_covariance, gram)
    dof = n - taken
    if dof < max(p, 0.25 * n):
        # The fit takes most of what such noise leaves: as much as can be said.
        dof = max(p, 0.25 * n)
    variance = rss / dof
    covariance = sandwich * variance
    thermo = [j for j, name in enumerate(problem.free) if name in problem.nonlinear_set]
    ratios = [covariance[j, j] / white[j, j] for j in thermo
              if math.isfinite(covariance[j, j]) and math.isfinite(white[j, j]) and white[j, j] > 0]
    noise_model.error_scale = math.sqrt(float(np.median(ratios))) if ratios else 1.0
    return covariance, variance


def _read_as(noise_model):
    """How much larger the noise is than its reading against neighbouring
    points: 1 for white noise, more for noise correlated from point to
    point (the noise SD reported is the noise's own)."""
    if noise_model is None or noise_model.white:
        return 1.0
    return noise_model.local_ratio()


def _noise_notes(noise_model, curve_results):
    """What the summary says of the noise and the misfit."""
    notes = []
    if noise_model.white and not noise_model.misfit:
        notes.append(f"noise: independent from point to point (lag-1 correlation of the residuals "
                     f"{noise_model.measured_rho:.2f}, none beyond chance)")
    if not noise_model.white and noise_model.misfit:
        notes.append(f"noise: the residuals are a misfit rather than noise (see the verdict), so how far they are "
                     f"correlated says nothing of the noise: the errors, scaled by {noise_model.error_scale:.2g} for "
                     "that correlation, mean little")
    elif not noise_model.white:
        notes.append(f"noise: residuals correlated over about {noise_model.span:.0f} points "
                     f"({noise_model.described}); standard "
                     f"errors, profiles and the bootstrap allow for it: errors scaled by "
                     f"{noise_model.error_scale:.2g} from those of independent points")
    sized = [(c.label or f"curve {i}", c.misfit_percent) for i, c in enumerate(curve_results)
             if c.misfit_percent is not None]
    if sized:
        shown = "; ".join(f"{label} {m['rms']:.2g} / {m['max']:.2g}" for label, m in sized[:8])
        more = f"; ... ({len(sized) - 8} more)" if len(sized) > 8 else ""
        noise = max(m["noise"] for _, m in sized)
        alone = "noise alone would leave up to about" if noise_model.misfit else "noise alone leaves about"
        width = noise_window(noise_model.misfit_span, max(c.residuals.size for c in curve_results))
        notes.append(f"misfit (residuals averaged over about {width} points, % of each "
                     f"curve's signal change, RMS / largest): {shown}{more}; {alone} {noise:.2g} % RMS")
    return notes


def _error_scales(white, covariance, names):
    """Each free parameter's standard error over the one independent points
    would give it (1 for white noise): the profiles widen by the same."""
    out = {}
    for j, name in enumerate(names):
        a, b = white[j, j], covariance[j, j]
        out[name] = math.sqrt(b / a) if math.isfinite(a) and math.isfinite(b) and a > 0 else 1.0
    return out
