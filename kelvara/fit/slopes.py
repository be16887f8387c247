"""Sloping signals (and species signals) chosen by the data.

Most CD and UV curves slope a little in temperature where nothing changes.
Left out, such a slope biases the thermodynamic values without leaving a
misfit the noise would show; let in where there is none, it costs precision
and can hide a model that does not apply.  Unless told (``baseline_slope``
and ``aggregate_slope`` True or False), `fit` asks the data:

* The monomer's slope is kept when the fitted slopes differ from zero beyond
  chance: a Wald test on the fit with them, whose covariance allows for the
  correlated noise, at the 99 % level (chi-squared with one degree of
  freedom per slope).  The monomer is seen alone on the plateau above the
  transition, where its slope is the data's own.
* The aggregate's slope is then tested the same way, on top of the
  monomer's choice, and kept only when the fit without it leaves residuals
  that are noise.  The aggregate is seen alone only where the fraction is
  near 1; elsewhere its slope bends the transition's shape, which is what
  the model is tested on, and a misfit it would take away may as well be a
  model that does not apply.

Each model of a comparison chooses for itself, so that none wins by
absorbing a slope the others were not given.

The same trial decides, for cooperative_n, whether the oligomers up to
the nucleus give a signal of their own (species signals): kept when their
fitted signals differ from the polymers' beyond chance (a Wald test of the
differences, at 99 %), chosen before the slopes: a model that misses silent
oligomers leaves a misfit that a slope of either signal would take for its
own (and so keep a wrong answer that looks sound).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, List, Optional, Sequence, Tuple

import numpy as np
from scipy.stats import chi2 as chi2_distribution

from kelvara.errors import KelvaraError
from kelvara.fit.terms import term_of

__all__ = ["LEVEL", "Choice", "choose_slopes", "choose_species", "undecided_slopes"]

LEVEL = 0.99

# option -> (parameter name's stem, words, the flags that force either way)
_KINDS = {
    "baseline_slope": ("slope", "monomer baseline slope", "--baseline-slope", "--no-baseline-slope"),
    "aggregate_slope": ("aggregate_slope", "aggregate signal slope", "--aggregate-slope", "--no-aggregate-slope"),
    "species_signals": ("oligomer_amplitude", "species signals", "--species-signals", "--no-species-signals"),
}


@dataclass(frozen=True)
class Choice:
    """How one slope (or species signals) was chosen: `kept` or not, by
    the data (`chosen`) or as given; the Wald statistic of its `count` slopes and the `limit` it
    was held against; `reason` is "wald", "misfit" (the residuals without
    it are not noise), "confounded" (with it the data show no transition),
    "too few points", "not converged" or "given"."""

    option: str
    kept: bool
    chosen: bool
    reason: str
    statistic: Optional[float] = None
    limit: Optional[float] = None
    count: int = 0

    @property
    def text(self) -> str:
        stem, words, keep, drop = _KINDS[self.option]
        verdict = "kept" if self.kept else "left out"
        if not self.chosen:
            return f"{words}: {verdict}, as asked"
        flag = drop if self.kept else keep
        if self.reason == "wald" and self.option == "species_signals":
            how = "differ" if self.kept else "do not differ"
            return (f"{words}: {verdict}, chosen by the data (the oligomers' signals {how} from the polymers' "
                    f"beyond chance: Wald chi2 {self.statistic:.3g} on {self.count}, {'above' if self.kept else 'below'} "
                    f"{self.limit:.3g}, the {LEVEL:.0%} point); {flag} forces it")
        if self.reason == "wald":
            slopes = "the slope" if self.count == 1 else f"the {self.count} slopes"
            differ = "differ" if self.count > 1 else "differs"
            how = f"{differ} from 0 beyond chance" if self.kept else f"{'do' if self.count > 1 else 'does'} not " \
                f"differ from 0 beyond chance"
            return (f"{words}: {verdict}, chosen by the data ({slopes} {how}: Wald chi2 {self.statistic:.3g}, "
                    f"{'above' if self.kept else 'below'} {self.limit:.3g}, the {LEVEL:.0%} point, with the "
                    f"correlated noise allowed for); {flag} forces it")
        if self.reason == "misfit":
            return (f"{words}: left out: the residuals without it are not noise, and a slope of the aggregate "
                    "cannot be told from a shape the model misses (it could hide a model that does not apply); "
                    f"{flag} forces it")
        if self.reason == "confounded":
            return (f"{words}: left out: with it the data show no transition (they cannot tell such a slope from "
                    f"the transition); {flag} forces it")
        if self.reason == "too few points":
            return f"{words}: left out: too few points to fit it; {flag} forces it"
        return f"{words}: left out: the fit with it did not converge or leaves it undetermined; {flag} forces it"

    def to_dict(self) -> dict:
        def number(value):
            return value if value is not None and math.isfinite(value) else None

        return {"option": self.option, "kept": self.kept, "chosen_by_data": self.chosen, "reason": self.reason,
                "wald_chi2": number(self.statistic), "limit": number(self.limit), "terms": self.count,
                "level": LEVEL, "text": self.text}


def undecided_slopes(curves, baseline_slope, aggregate_slope,
                     named: Sequence[str]) -> Tuple[Optional[bool], Optional[bool]]:
    """(baseline_slope, aggregate_slope) with None where the data choose:
    False when no curve varies in temperature (nothing to slope), True when
    a parameter of the slope is started, fixed or bounded by name."""
    against_temperature = any(term_of(c).sloped for c in curves)
    out = []
    for option, given in (("baseline_slope", baseline_slope), ("aggregate_slope", aggregate_slope)):
        stem = _KINDS[option][0]
        if given is None and not against_temperature:
            given = False
        elif given is None and any(n == stem or n.startswith(stem + "[") for n in named):
            given = True
        out.append(given)
    return out[0], out[1]


def choose_slopes(run: Callable[..., Tuple[Any, list]], baseline_slope: Optional[bool],
                  aggregate_slope: Optional[bool], species: bool = False):
    """(best result, every result, choices): `run(baseline, aggregate)`
    fits with those slopes and returns (the best result, every result of a
    nucleus scan); `run(baseline, aggregate, near)` fits once, without a
    search, from the thermodynamic values of the result `near` (a trial of
    one more slope, nested in it).  None for either slope lets the data
    choose: a slope kept by its trial is then fitted with the full search.
    With `species`, species signals are chosen too (choose_species), first:
    a model that misses silent oligomers leaves a misfit that a slope of
    either signal would take for its own."""
    choices: List[Choice] = []
    baseline, aggregate = bool(baseline_slope), bool(aggregate_slope)
    best, results = run(baseline, aggregate)
    species_choice = None
    if species:
        best, results, species_choice = choose_species(run, best, results, baseline, aggregate)
    kept = species_choice.kept if species_choice is not None else None
    if baseline_slope is None:
        choice = _try(run, "baseline_slope", True, aggregate, best, kept)
        if choice.kept:
            baseline = True
            best, results = run(baseline, aggregate, None, kept)
    else:
        choice = Choice("baseline_slope", baseline, False, "given")
    choices.append(choice)
    if species_choice is not None:
        choices.append(species_choice)
    if aggregate_slope is None:
        if not (best.converged and not any(p.kind == "model" for p in best.problems)):
            choice = Choice("aggregate_slope", False, True, "misfit" if best.converged else "not converged")
        else:
            choice = _try(run, "aggregate_slope", baseline, True, best, kept)
            if choice.kept:
                best, results = run(baseline, True, None, kept)
    else:
        choice = Choice("aggregate_slope", aggregate, False, "given")
    choices.append(choice)
    return best, results, choices


# With the slope the data show no transition: they cannot tell the slope
# from the transition.  (A parameter left undetermined by the slope is not
# that: a pathway that only absorbed the slope is rightly undetermined.)
_CONFOUNDED = {"no_transition"}


def _try(run, option, baseline, aggregate, near, species=None):
    """The choice of a slope the data choose, from a trial fit with it
    started at the fit without it (`near`)."""
    try:
        trial, _ = run(baseline, aggregate, near, species)
    except KelvaraError:  # too few points for the slopes too
        return Choice(option, False, True, "too few points")
    choice = _tested(trial, option)
    if choice.kept and any(getattr(p, "code", None) in _CONFOUNDED for p in trial.problems):
        choice = Choice(option, False, True, "confounded", choice.statistic, choice.limit, choice.count)
    return choice


def choose_species(run, best, results, baseline, aggregate):
    """(best, every result, the choice) of species signals the data choose:
    a trial with them from the fit without, kept when the oligomers'
    signals differ from the polymers' beyond chance (Wald, 99 %), and then
    searched in full.  Over a scan of nucleus sizes every size is fitted
    with them too (silent oligomers of four make a dimer nucleus without
    species signals fit best): the sizes then compare with the same
    signals, and the test is made at the best size of that scan."""
    if len(results) > 1:
        try:
            trial, trials = run(baseline, aggregate, None, True)
        except KelvaraError:
            return best, results, Choice("species_signals", False, True, "too few points")
        choice = _species_test(trial)
        # The sizes are compared within the family with species signals,
        # which holds the one without at every size (equal signals): a
        # size is rejected only when no signals of the oligomers save it.
        return (trial, trials, choice) if choice.kept else (best, trials, choice)
    try:
        trial, trials = run(baseline, aggregate, best, True)
    except KelvaraError:
        return best, results, Choice("species_signals", False, True, "too few points")
    choice = _species_test(trial)
    searched = False
    if choice.reason != "wald":
        # From a fit without them that went astray a trial cannot start
        # well: they get a search of their own.
        trial, trials = run(baseline, aggregate, None, True)
        choice, searched = _species_test(trial), True
    if choice.kept:
        best, results = (trial, trials) if searched else run(baseline, aggregate, None, True)
    return best, results, choice


def _species_test(trial) -> Choice:
    """The Wald test of the oligomers' signals against the polymers' in a
    fit with species signals."""
    pairs = [(n, n.replace("oligomer_", "")) for n in trial.free
             if n.startswith("oligomer_amplitude") and n.replace("oligomer_", "") in trial.free]
    return _wald(trial, "species_signals", pairs)


def _tested(result, option) -> Choice:
    """The Wald test of a fit's free slopes of one kind against 0."""
    stem = _KINDS[option][0]
    return _wald(result, option, [(n, None) for n in result.free if n == stem or n.startswith(stem + "[")])


def _wald(result, option, contrasts) -> Choice:
    """The choice from a Wald test that the contrasts (a, b) of free
    parameters, the value of a less that of b (or 0 where b is None), are
    all 0, with the fit's own covariance, at the LEVEL point of chi-squared
    with one degree of freedom per contrast."""
    if not contrasts or not result.converged:
        return Choice(option, False, True, "not converged", count=len(contrasts))
    # Only the parameters of the contrasts: another one left undetermined
    # (NaN in the covariance) does not touch the test.
    involved = sorted({result.free.index(n) for pair in contrasts for n in pair if n is not None})
    at = {result.free[j]: column for column, j in enumerate(involved)}
    weights = np.zeros((len(contrasts), len(involved)))
    for row, (a, b) in enumerate(contrasts):
        weights[row, at[a]] = 1.0
        if b is not None:
            weights[row, at[b]] = -1.0
    values = weights @ np.array([result.parameters[result.free[j]].value for j in involved])
    spread = weights @ np.asarray(result.covariance)[np.ix_(involved, involved)] @ weights.T
    statistic = math.nan
    if np.all(np.isfinite(spread)) and np.all(np.isfinite(values)):
        try:
            statistic = float(values @ np.linalg.solve(spread, values))
        except np.linalg.LinAlgError:
            pass
    if not (math.isfinite(statistic) and statistic >= 0):
        return Choice(option, False, True, "not converged", count=len(contrasts))
    limit = float(chi2_distribution.ppf(LEVEL, len(contrasts)))
    return Choice(option, statistic > limit, True, "wald", statistic, limit, len(contrasts))
