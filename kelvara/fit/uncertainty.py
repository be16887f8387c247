"""Uncertainty beyond the best values: the covariance of the free
parameters from the Jacobian (NaN where not determined), and profile
likelihoods (each parameter stepped, the others refitted, the interval
where chi2 stays below the F-test's threshold)."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional

import numpy as np


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


def sandwich_covariance(unit, gram):
    """The covariance of least-squares estimates under correlated noise:
    B (J^T Sigma J) B with B the white-noise covariance for unit variance
    (`unit`, NaN where not determined) and `gram` = J^T Sigma J; and the
    number of residual degrees of freedom the fit takes from the noise,
    tr(H Sigma) = tr(B J^T Sigma J) (the number of free parameters for
    white noise)."""
    out = np.full(unit.shape, math.nan)
    known = np.flatnonzero(np.isfinite(np.diag(unit)))
    if known.size == 0:
        return out, 0.0
    b = unit[np.ix_(known, known)]
    b = np.where(np.isfinite(b), b, 0.0)
    middle = gram[np.ix_(known, known)]
    out[np.ix_(known, known)] = b @ middle @ b
    return out, float(np.trace(b @ middle))


def covariance_of(problem, x, variance, active, notes):
    """Covariance of the free parameters (internal units) from the full
    Jacobian, scaled by the residual variance.  A parameter on a bound is
    held there; one that lies in a direction the Jacobian cannot resolve
    (rank deficiency), or whose variance is not finite, gets NaN."""
    p = len(x)
    covariance = np.full((p, p), math.nan)
    if p == 0:
        return covariance
    jacobian = problem.jacobian_factor(x)  # R: J = Q R, so J's columns have R's singular values
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


def profile_one(problem, result, name, chi2_min, threshold, level, max_steps):
    j = problem.free.index(name)
    x_best = result._x
    best = x_best[j]
    # Stepped in the fit's own coordinates (log10 for a log-scale parameter).
    stderr = result.parameters[name].stderr / problem.external_slope(name, best)
    low_bound, high_bound = problem.bounds[name]
    if math.isfinite(stderr) and stderr > 0:
        step = 0.35 * stderr  # some nine points to either side: a curve that draws smoothly
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
            if chi2 - chi2_min < 0.01 * (threshold - chi2_min):
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
