"""Noise or a shape the model misses: the checks asked of residuals that
only a rich autoregression makes white.  A stationary noise of long enough
memory can mimic a smooth misfit within one curve; three things an
instrument's noise does and a missed shape does not tell them apart: it is
independent from one curve to the next, its power is greatest at the
longest stretches, and it is the same along a curve."""

from __future__ import annotations

import math

import numpy as np

# Curves shorter than this (in points, on the shorter one's grid) are not
# compared with each other.
_PAIR_POINTS = 20


def noise_rather_than_shape(curves, series, acf, coefficients, averaged, transition, short=False) -> bool:
    """Whether residuals (`series`, each curve's in the order measured)
    whose autoregression (`coefficients`, with the autocorrelations `acf`
    it implies) whitens them are noise rather than a shape the model
    misses: independent from curve to curve, with a spectrum that does not
    peak away from zero, and as large within the transitions (`transition`:
    a boolean array per curve, or None) as on the plateaus, once averaged
    over the noise's span (`averaged`: each curve's whole residuals so
    averaged).  Without a second curve to compare, they are not.

    `short`: curves of a few tens of points, read together.  There the
    autoregression of smoothed noise peaks anywhere (a boxcar of five
    points read from 3 x 37 reads peaks of 2 to 17), so its spectrum is not
    asked; the residuals must be as large within the transitions as on the
    plateaus, more strictly (noise reads 0.6 to 1.9, a wrong model 2.0 to
    5.1), and that must be readable."""
    coherence, pairs = _coherence(curves, series, acf)
    if pairs == 0 or coherence > _chi2_999(pairs):
        return False
    if short:
        uneven = _unevenness(averaged, transition, _SHORT_POINTS)
        return uneven is not None and uneven <= _UNEVEN_SHORT
    if _spectral_peak(coefficients) > _PEAK:
        return False
    uneven = _unevenness(averaged, transition, 2 * _PAIR_POINTS)
    return uneven is None or uneven <= _UNEVEN


def _coherence(curves, series, acf):
    """(statistic, pairs): how much the residuals of different curves go
    together, sum over pairs of curves of z^2, z their correlation (on the
    shorter curve's grid, in the order of x) over its standard deviation
    for independent noise of these autocorrelations (Bartlett's:
    sqrt(sum_k rho_k^2 / n)); chi-squared with `pairs` degrees of freedom
    when the residuals are noise."""
    sorted_series = [r[np.argsort(c.x, kind="stable")] if r.size == c.size else r for c, r in zip(curves, series)]
    spread = 1.0 + 2.0 * float(np.sum(np.square(acf[1:])))
    total, pairs = 0.0, 0
    for a in range(len(sorted_series)):
        for b in range(a + 1, len(sorted_series)):
            x, y = sorted_series[a], sorted_series[b]
            n = min(x.size, y.size)
            if n < _PAIR_POINTS:
                continue
            grid = np.linspace(0.0, 1.0, n)
            x = np.interp(grid, np.linspace(0.0, 1.0, x.size), x)
            y = np.interp(grid, np.linspace(0.0, 1.0, y.size), y)
            x, y = x - x.mean(), y - y.mean()
            norm = math.sqrt(float(x @ x) * float(y @ y))
            if not norm > 0.0:
                continue
            total += (float(x @ y) / norm) ** 2 * n / spread
            pairs += 1
    return total, pairs


# The highest peak of the autoregression's spectrum over its value at
# frequency zero that noise may have: boxcar and Savitzky-Golay smoothings
# read up to 2.1 after a fit (bench/noise_panel.py), a second pathway missed
# 2.4 to 3.6.
_PEAK = 3.0


# How much more the residuals, averaged over the noise's span, may move
# within the transitions than on the plateaus: noise of every kind in
# bench/noise_panel.py reads 0.3 to 1.9, a missed second pathway 4.9 to 5.5.
_UNEVEN = 3.0
# The same for curves read together because each is short, and the fewest
# points within the transitions and on the plateaus it is read from.
_UNEVEN_SHORT = 2.0
_SHORT_POINTS = 8


def _unevenness(averaged, transition, fewest):
    """The mean square of the averaged residuals within the transitions
    (`transition`: a boolean array per curve) over that on the plateaus;
    None where it cannot be told (either from fewer than `fewest` points)."""
    if transition is None:
        return None
    inside, outside = [0.0, 0], [0.0, 0]
    for r, where in zip(averaged, transition):
        if r is None or where is None or where.size != r.size:
            continue
        squares = r * r
        inside[0] += float(squares[where].sum())
        inside[1] += int(where.sum())
        outside[0] += float(squares[~where].sum())
        outside[1] += int((~where).sum())
    if min(inside[1], outside[1]) < fewest or not outside[0] > 0.0:
        return None
    return (inside[0] / inside[1]) / (outside[0] / outside[1])


def _spectral_peak(coefficients):
    """max over frequencies of the autoregression's spectrum over its
    value at frequency zero (1 for noise whose power is greatest at the
    longest stretches)."""
    f = np.linspace(0.0, 0.5, 501)
    z = np.exp(-2j * np.pi * np.outer(f, np.arange(1, coefficients.size + 1)))
    spectrum = 1.0 / np.abs(1.0 - z @ coefficients) ** 2
    return float(spectrum.max() / spectrum[0])


def _chi2_999(dof):
    """The 99.9 % point of chi-squared with `dof` degrees of freedom."""
    from scipy.stats import chi2

    return float(chi2.ppf(0.999, dof))
