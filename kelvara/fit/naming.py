"""Which of two competing pathways is A: a rule, not where the search ended.

The two pathways' model is the same with A and B swapped (when every option
treats them alike), so a fit started elsewhere may end with the names the
other way round.  The rule, stated in the output: A is the pathway that
holds more of the monomer at the lowest temperature measured, at the highest
concentration (the one that prevails when cold); B the other (in pathway
complexity, typically the one that forms first on cooling and gives way)."""

from __future__ import annotations

from typing import Optional

import numpy as np

RULE = ("pathway A is the one holding more of the monomer at the lowest temperature measured (at the highest "
        "c_tot), B the other")

# B's parameters are A's with "_b"; these belong to neither.
_SHARED = ("baseline", "slope")


def _partner(name: str, names) -> Optional[str]:
    """B's counterpart of A's parameter, A's of B's, the parameter itself
    where it belongs to neither pathway, None where it belongs to one only
    (an aggregate slope: A's)."""
    base, bracket, index = name.partition("[")
    if base in _SHARED:
        return name
    other = base[:-2] if base.endswith("_b") else base + "_b"
    other += bracket + index
    return other if other in names else None


def _alike(problem) -> bool:
    """Whether every option treats A and B alike: each parameter has its
    counterpart, free or fixed alike at the same value, within the same
    bounds."""
    names = set(problem.names)
    for name in names:
        other = _partner(name, names)
        if other is None or problem.bounds.get(name) != problem.bounds.get(other):
            return False
        if (name in problem.fixed) != (other in problem.fixed) or problem.fixed.get(name) != problem.fixed.get(other):
            return False
    return True


def _b_prevails(problem, values) -> bool:
    """Whether B holds more of the monomer than A at the lowest temperature
    of the curve at the highest c_tot, for the model's values by name."""
    from kelvara.fit.points import Workspace

    temperature = [i for i, c in enumerate(problem.curves) if c.vary == "temperature"]
    if not temperature:
        return False
    curve = problem.curves[max(temperature, key=lambda i: problem.curves[i].c_tot)]
    try:
        work = Workspace(problem.model, problem.nuc_size, 1)
        work.solve({n: float(values[n]) for n in problem.nonlinear}, np.array([float(np.min(curve.x))]),
                   np.array([curve.c_tot]), slopes=False)
        share_b, share_a, _ = work.species(slopes=False)
    except (ValueError, ArithmeticError):
        return False
    return bool(share_b[0] > share_a[0])


def _order(names):
    """The permutation of `names` that swaps A's and B's."""
    index = {name: j for j, name in enumerate(names)}
    return np.array([index[_partner(name, index)] for name in names], dtype=int)


def named_by_rule(problem, x: np.ndarray):
    """The permutation of the free parameters that names A and B by the
    rule at x (the identity where the fit ended that way already, where the
    options treat the two differently, so that the user's naming stands, or
    where the shares cannot be evaluated)."""
    identity = np.arange(len(problem.free))
    if not problem.model.pathways or not _alike(problem) or not _b_prevails(problem, problem.values(x)):
        return identity
    return _order(problem.free)


def ends_by_rule(problem, ends):
    """The search's ends (chi2, free thermodynamic values) named by the
    same rule: an end that is the best's mirror image is the best."""
    if not problem.model.pathways or not _alike(problem):
        return ends
    order = _order(problem.free_thermo)
    out = []
    for chi2, theta in ends:
        values = problem.thermo_values(theta)
        out.append((chi2, np.asarray(theta)[order] if _b_prevails(problem, values) else theta))
    return out


def naming_note(problem) -> str:
    """What the output says of the names A and B."""
    if _alike(problem):
        return f"pathways: {RULE}, whichever way the search ended"
    return "pathways: A and B as the options name them (they treat the two differently)"
