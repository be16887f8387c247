"""Percentile intervals by refitting resamples of a fit's residuals (drawn within each curve; where
the noise is correlated, its innovations, correlated again)."""

from __future__ import annotations

import sys

import numpy as np
from scipy.signal import lfilter


def resample_fits(result, problem, x, resamples, seed, progress):
    """`FitResult.run_bootstrap` for the problem `result` was fitted as, at
    its best values `x`."""
    rng = np.random.default_rng(seed)
    fitted = [problem.signal(x, i, c.x) for i, c in enumerate(problem.curves)]
    residuals = [c.residuals / problem.scale for c in result.curve_results]
    rho = result.noise_model.per_curve(len(residuals)) if result.noise_model is not None else [0.0] * len(residuals)
    show = _progress(progress, resamples)
    samples = []
    for r in range(resamples):
        data = [f + _resampled(res, c, rng) for f, res, c in zip(fitted, residuals, rho)]
        refit = problem.solve(x, data)
        if refit.status > 0:
            samples.append(np.concatenate([problem.external_vector(refit.x),
                                           problem.derived_vector(refit.x)]))
        show(r + 1)
    names = problem.free + list(problem.derived_names())
    drawn = np.array(samples)
    result.bootstrap_samples = dict(zip(names, drawn.T)) if len(drawn) else {}
    result.bootstrap = {
        name: (float(np.percentile(values, 2.5)), float(np.percentile(values, 97.5)))
        for name, values in result.bootstrap_samples.items()
    }
    if len(drawn) < resamples:
        result.notes.append(f"bootstrap: {resamples - len(drawn)} of {resamples} refits failed")
    return result.bootstrap


def _resampled(residuals, rho, rng):
    """The residuals drawn with replacement; for noise correlated with
    lag-1 correlation rho, their innovations drawn and filtered back
    (a sieve bootstrap), starting from a residual drawn at random."""
    if rho == 0.0 or residuals.size < 2:
        return rng.choice(residuals, size=residuals.size, replace=True)
    innovations = residuals[1:] - rho * residuals[:-1]
    drawn = rng.choice(innovations, size=residuals.size, replace=True)
    drawn[0] = rng.choice(residuals)
    return lfilter([1.0], [1.0, -rho], drawn)


def _progress(progress, total):
    """A progress bar on stderr when it is a terminal (or when asked), or
    `progress(done, total)` when it is a callable."""
    if callable(progress):
        return lambda done: progress(done, total)
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
