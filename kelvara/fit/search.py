"""Finding the best fit: starting values guessed from the curves' own
transitions, many starts screened cheaply (baselines and amplitudes solved
exactly for each trial set), the most promising and most diverse refined,
and the best polished over every parameter."""

from __future__ import annotations

import math
from typing import Dict, List

import numpy as np
from scipy.optimize import least_squares

from kelvara.errors import KelvaraError
from kelvara.fit.curves import axis_of
from kelvara.fit.problem import FitProblem
from kelvara.fit.terms import term_of
from kelvara.fit.traces import kinetic_guess, with_kinetics
from kelvara.models import GAS_CONSTANT

# Enthalpies of elongation over the range the field reports (J/mol), and
# nucleation enthalpies from weak to strong cooperativity (sigma at 330 K from
# about 0.5 to 1e-7).
_ENTHALPIES = (-40e3, -80e3, -140e3, -230e3)
_NUCLEATION = (3e3, 18e3, 40e3)
_REFINED = 3  # starts refined after the screening, besides the guessed one
_SCREEN_POINTS = 3000  # a larger problem screens its starts on every k-th point
_NEAR_BEST = 25.0  # residual variances of the thinned copy: its ends this near its best are refined on every point
_NUCLEATION_ENTROPIES = (-40.0, 0.0, 40.0, 100.0)  # J/(mol K), when free
# With species signals and a free entropy, nucleation may be favoured where
# the transition sets in and disfavoured below: oligomers that fill up
# first and then give way to polymers.  Such starts put sigma = 1 at the
# bottom of the measured window, a quarter and half way up it, with these
# entropies of nucleation (J/(mol K)).
_CROSSINGS = (0.0, 0.25, 0.5)
_FAVOURED_ENTROPIES = (150.0, 400.0)
_FAVOURED_REFINED = 6  # their landscape has many nearly equal minima


def _steepest(curve):
    """Where the curve changes fastest (K, mol/L or fraction), from a
    running mean over 5 % of its points (so that noise does not decide)."""
    found = _steepest_on_axis(curve)
    return None if found is None else term_of(curve).from_axis(found)


# A curve longer than this is read at every k-th point to find where it
# changes fastest (a start, not a result: a running mean over 5 % of the
# points needs no more).
_STEEPEST_POINTS = 20000


def _steepest_on_axis(curve):
    x, signal = axis_of(curve), curve.signal
    if x.size > _STEEPEST_POINTS:
        step = x.size // (_STEEPEST_POINTS // 2)
        x, signal = x[::step], signal[::step]
    order = np.argsort(x)
    t, y = x[order], signal[order]
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


def first_guess(problem: FitProblem) -> Dict[str, float]:
    """One start from the data, as a single local fit takes it: the steepest
    point of each curve marks where K c_tot is about 1; those temperatures
    against c_tot give the enthalpy (van 't Hoff), or -100 kJ/mol; time
    traces' half-way times give k_plus."""
    guess = _first_guess(problem)
    return {**kinetic_guess(problem, guess), **guess} if problem.traces is not None else guess


def _first_guess(problem: FitProblem) -> Dict[str, float]:
    if not problem.model.mass_balance:
        return _per_curve_start(problem, 0.0, -80000.0, 1e-4)
    if problem.model.denaturation:
        curve = problem.curves[0]
        steepest = _steepest(curve)
        return _denaturation_start(problem.model, curve.temperature, curve.c_tot,
                                   float(np.median(curve.x)) if steepest is None else steepest, 15e3, 1e-2)
    if problem.at_one_temperature:
        found = [c for c in map(_steepest, problem.curves) if c is not None]
        middle = found[0] if found else math.exp(float(np.median(axis_of(problem.curves[0]))))
        return _constants_start(problem.model, 1.0 / middle, 1e-2, 0.1)
    transitions = [_transition(c) for c in problem.curves if c.vary != "time"]
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
    return term_of(curve).transition(curve, found)


def _ratios(model):
    """K of the competing pathway over K of the elongation at a start's
    anchor: an isodesmic pathway weaker there; a second cooperative one
    weaker (the first alone), or stronger (it forms first on cooling and, with
    its smaller enthalpy, gives way to the first below)."""
    if model.pathways:
        return (0.1, 10.0)
    return (0.1, 0.005) if model.competing else (0.1,)


def _constants_start(model, k, sigma, iso_ratio):
    """Constants at one temperature; a competing pathway iso_ratio times
    weaker."""
    values = {"elongation": k, "nucleation": sigma, "competing": iso_ratio * k}
    return {rate.name: values[rate.role] for rate in model.rates}


def _denaturation_start(model, temperature, c_tot, anchor, m, sigma):
    """delta_g0 with K(anchor) c_tot = 1 at the curve's temperature."""
    delta_g0 = GAS_CONSTANT * temperature * math.log(c_tot) - m * anchor
    values = {"delta_g0": delta_g0, "m": m, "sigma": sigma}
    return {n: values[n] for n in model.thermo}


def _thermo_start(model, delta_h, anchor, c_tot, delta_h_nuc, iso_ratio, delta_s_nuc=0.0):
    """Thermodynamic values with K(anchor) c_tot = 1; a competing pathway
    weaker (0.6 delta_h, K_iso c_tot = iso_ratio there).
    An entropy of nucleation keeps sigma(anchor) where delta_h_nuc alone
    would put it."""
    delta_s = delta_h / anchor - GAS_CONSTANT * math.log(c_tot)
    delta_h_nuc = delta_h_nuc + anchor * delta_s_nuc
    given = {
        "elongation": (delta_h, delta_s), "nucleation": (delta_h_nuc, delta_s_nuc),
        "competing": (0.6 * delta_h, 0.6 * delta_h / anchor - GAS_CONSTANT * math.log(c_tot / iso_ratio)),
        "competing_nucleation": (delta_h_nuc, 0.0),
    }
    thermo = {}
    for rate in model.rates:
        thermo[rate.enthalpy], thermo[rate.entropy] = given[rate.role]
    names = model.thermo + model.nucleation_entropies
    return {n: thermo[n] for n in names}


# Starts of the phenomenological models, per curve: Te or Tm offsets from the
# steepest point (K), enthalpies (J/mol) and activation constants.
_OFFSETS = (-8.0, -3.0, 0.0, 3.0, 8.0, 15.0)
_CURVE_ENTHALPIES = (-40e3, -90e3, -180e3)
_ACTIVATION = (1e-2, 1e-4, 1e-6)


def _crossing_start(model, delta_h, anchor, c_tot, crossing, delta_s_nuc):
    """An elongation as _thermo_start's, and sigma = exp(delta_s_nuc / R
    (1 - crossing / T)): 1 at `crossing`, above 1 over it."""
    start = _thermo_start(model, delta_h, anchor, c_tot, 0.0, 0.1, 0.0)
    nucleation = next(rate for rate in model.rates if rate.role == "nucleation")
    start[nucleation.enthalpy], start[nucleation.entropy] = delta_s_nuc * crossing, delta_s_nuc
    return start


def _middles(problem):
    """Each curve's steepest point (or its median temperature)."""
    middles = []
    for curve in problem.curves:
        steepest = _steepest(curve)
        middles.append(float(np.median(curve.temperature)) if steepest is None else steepest)
    return middles


def _per_curve_start(problem, offset, enthalpy, activation, middles=None):
    """Values of every per-curve parameter: each curve's Te (or Tm) at its
    steepest point plus offset (`middles`: those points, found once for
    many starts); a shared one takes the mean."""
    values = {}
    middles = _middles(problem) if middles is None else middles
    for p, kind in zip(problem.model.per_curve, problem.model.starts):
        per = []
        for middle in middles:
            per.append({"temperature": middle + offset, "enthalpy": enthalpy, "activation": activation}[kind])
        if p in problem.nonlinear_set:
            values[p] = float(np.mean(per))
        else:
            values.update({f"{p}[{i}]": v for i, v in enumerate(per)})
    return values


def _candidates(problem: FitProblem, favoured: bool = False) -> List[Dict[str, float]]:
    """_starts with k_plus and a where there are time traces."""
    return with_kinetics(problem, _starts(problem, favoured))


def _starts(problem: FitProblem, favoured: bool = False) -> List[Dict[str, float]]:
    """Starts spread over plausible values: the elongation temperature at
    each curve's steepest point and on a grid that runs half the measured
    range beyond either edge (a transition cut off at an edge still gets a
    start beyond it), each with every enthalpy of _ENTHALPIES and, for the
    cooperative models, every nucleation enthalpy of _NUCLEATION; with
    `favoured`, the starts of nucleation favoured at the transition instead
    (species signals with a free entropy of nucleation; else none)."""
    model = problem.model
    if favoured and not (problem.species and model.nucleated and model.nucleation_entropy in problem.free_thermo
                         and not problem.at_one_temperature):
        return []
    if not model.mass_balance:
        activations = _ACTIVATION if "activation" in model.starts else (None,)
        middles = _middles(problem)
        return [_per_curve_start(problem, offset, h, a, middles) for offset in _OFFSETS for h in _CURVE_ENTHALPIES
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
        # Channels of one sample show its transition again, a little apart:
        # one start there is enough.
        if transition is not None and not any(abs(transition[0] - t) < 1.0 and abs(transition[1] / c - 1.0) < 0.01
                                              for t, c in anchors):
            anchors.append(transition)
    nucleation = _NUCLEATION if model.cooperative else (0.0,)
    iso_ratios = _ratios(model)
    # A free entropy of nucleation: sigma's temperature dependence steeper
    # or shallower than the enthalpy's alone.
    entropies = _NUCLEATION_ENTROPIES if model.nucleation_entropy in problem.free_thermo else (0.0,)
    if favoured:
        if not temperature_curves:
            return []
        return [_crossing_start(model, delta_h, anchor, c_tot, low + share * width, entropy)
                for anchor, c_tot in anchors for delta_h in _ENTHALPIES for share in _CROSSINGS
                for entropy in _FAVOURED_ENTROPIES]
    out = []
    for anchor, c_tot in anchors:
        for delta_h in _ENTHALPIES:
            for nuc in nucleation:
                for ratio in iso_ratios:
                    for entropy in entropies:
                        out.append(_thermo_start(model, delta_h, anchor, c_tot, nuc, ratio, entropy))
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
    ratios = _ratios(problem.model)
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


def theta_of(problem, thermo):
    """Free thermodynamic values of a start, clipped into the bounds."""
    low, high = problem.free_bounds(problem.free_thermo)
    return np.clip([problem.internal(n, thermo[n]) for n in problem.free_thermo], low, high)


def _refine(problem, theta, max_nfev):
    """A local fit of the thermodynamic parameters alone, the linear ones
    solved for exactly at every step; returns (chi2, theta)."""
    low, high = problem.free_bounds(problem.free_thermo)
    # From a start far out (a trial from a degenerate fit) the trust region
    # may divide by a vanishing step on its way: that is no result.
    with np.errstate(divide="ignore", invalid="ignore"):
        result = least_squares(
            problem.projected_rho, theta, jac=problem.projected_jacobian, bounds=(low, high), x_scale="jac",
            method="trf", xtol=1e-8, ftol=1e-8, gtol=1e-8, max_nfev=max_nfev or 100 * (len(theta) + 1),
        )
    return float(result.fun @ result.fun), result.x


def search_starts(problem: FitProblem, start: Dict[str, float], notes: List[str], search: bool, max_nfev):
    """The start of the final fit: (x0, screened, refined, reaching best,
    every refined end as (chi2, theta))."""
    guess = first_guess(problem)
    if not problem.free_thermo:
        projected = problem.project(np.zeros(0))
        if projected is None:
            raise KelvaraError("the model cannot be evaluated at the fixed thermodynamic values")
        return problem.full_vector(np.zeros(0), linear_start(problem, projected.beta)), 1, 1, 1, []

    given = {n: start[n] for n in problem.free_thermo if n in start}
    first = dict(guess)
    first.update(given)
    starts = [theta_of(problem, first)]
    if given and problem.project(starts[0]) is None:
        # The model raises its error (or overflows) at the given start: take
        # the guessed value for each given parameter until it evaluates.
        for name in given:
            first[name] = guess[name]
            notes.append(f"start value of {name} replaced by {guess[name]:.6g}: the model fails there")
            starts[0] = theta_of(problem, first)
            if problem.project(starts[0]) is not None:
                break

    screened = 1
    screen = problem
    if search:
        # Starts are screened on a thinned copy of a large problem: a chi2 to
        # rank them by, not a result.
        screen = problem.thinned(_SCREEN_POINTS)
        (scored, distinct), (favoured, more) = (_screened(screen, _candidates(problem, f)) for f in (False, True))
        screened += distinct + more
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
        # The favoured starts score worse at first (the oligomers' signal is
        # not yet where it belongs): the best of them are refined as well.
        starts += _diverse([item[2] for item in favoured], problem, _FAVOURED_REFINED)

    refined = []
    thin_ends: list = []
    taken: list = []
    for theta in starts:
        if any(np.array_equal(theta, t) for t in taken) or problem.project(theta) is None:
            continue  # the same start again reaches the same end
        taken.append(theta)
        if screen is not problem and problem.model.mass_balance:
            thin_ends.append(_refine(screen, theta, max_nfev))
        else:
            refined.append(_refine(problem, theta, max_nfev))
    if thin_ends:
        # Refined on the thinned copy first; the ends near its best are
        # refined again on every point from there (each starts next to its
        # minimum), and only they can rival the best.  (A piecewise shape's
        # chi2 has a minimum wherever a point crosses its step: it is
        # refined on every point from the start.)
        best = min(chi2 for chi2, _ in thin_ends)
        variance = best / max(screen.n_points - len(screen.free), 1)
        refined += [_refine(problem, theta, max_nfev) for chi2, theta in thin_ends
                    if chi2 <= best + _NEAR_BEST * variance]
    if screen is not problem:
        problem.nfev += screen.nfev
    if not refined:
        raise KelvaraError("the model cannot be evaluated at any starting values; give `start`")
    best_chi2, best_theta = min(refined, key=lambda item: item[0])
    # The same minimum, reached from several starts, agrees to the
    # optimiser's tolerance; residuals of 1e-7 of the signal's change are
    # zero for this count (noise-free data).
    tolerance = 1e-6 * best_chi2 + problem.n_points * 1e-14
    reached = sum(1 for chi2, _ in refined if chi2 <= best_chi2 + tolerance)
    beta = problem.project(best_theta).beta
    return (problem.full_vector(best_theta, linear_start(problem, beta)),
            screened, len(taken), reached, refined)


def _screened(problem, candidates):
    """((chi2, order, theta, chi2 per curve) of every distinct start that
    evaluates, best first; how many distinct starts there were)."""
    scored: list = []
    seen = set()
    for thermo in candidates:
        theta = theta_of(problem, thermo)
        key = tuple(np.round(theta, 6))
        if key in seen:
            continue
        seen.add(key)
        projected = problem.project(theta)
        if projected is not None:
            scored.append((projected.chi2, len(scored), theta, projected.per_curve))
    scored.sort(key=lambda item: item[:2])
    return scored, len(seen)


def linear_start(problem, beta):
    low, high = problem.free_bounds(problem.free_linear)
    return np.clip(beta, low, high)


def _diverse(thetas, problem, count):
    """The first `count` of the sorted starts, skipping one that lies close
    to a start already taken (it would most likely reach the same minimum)."""
    taken: list = []
    kinds = dict(zip(problem.model.per_curve, problem.model.starts))

    def span(name):
        base = name.split("[")[0]
        if base.startswith("delta_s"):
            return 30.0
        if kinds.get(base) == "temperature":
            return 5.0
        return 1.0 if name in problem.log_names else 1e4

    spans = np.array([span(n) for n in problem.free_thermo])
    for theta in thetas:
        if all(np.max(np.abs(theta - t) / spans) > 0.25 for t in taken):
            taken.append(theta)
            if len(taken) == count:
                break
    return taken
