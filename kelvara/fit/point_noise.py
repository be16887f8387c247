"""The noise, read from the data themselves: each point against the
quadratic through its four neighbours, pooled into one variance for the
verdict, and per-curve weights when curves' noise differs beyond chance."""

from __future__ import annotations

import math

import numpy as np

from kelvara.fit.curves import axis_of, signal_scale

# A short series (a concentration series of 20 points) measures both
# variances roughly: the ratio may then reach this many of its own standard
# deviations (sqrt(NOISE_SPREAD_VALUES / n) for the median-based variance of
# n values, measured on pure noise from 20 to 300 points; sqrt(2 / dof) for
# the residuals') before it counts as structure.
STRUCTURE_SDS = 4.0
NOISE_SPREAD_VALUES = 12.0


def noise_per_point(curve, y):
    """Each point of a curve against the quadratic through its two
    neighbours on either side (in what it varies; ln c for a series),
    normalised to the noise's own scale.  A quadratic, not a straight line,
    so that a transition sampled by few points reads as little curvature as
    can be: a 41-point denaturation 20 noise SDs high reads 1.2 times its
    noise this way, 3.5 times against the line through two neighbours."""
    x = axis_of(curve)
    # A reading recorded twice (the same x and the same value) says nothing
    # of the noise: against its twin it would read none at all.
    # (A stable sort by x, then y: a reading equal to the one before it is a
    # repeat; the first of each stays, in the curve's own order.)
    order = np.lexsort((y, x))
    repeat = np.zeros(x.size, dtype=bool)
    repeat[order[1:]] = (x[order[1:]] == x[order[:-1]]) & (y[order[1:]] == y[order[:-1]])
    del order
    if repeat.any():
        x, y = x[~repeat], y[~repeat]
    order = np.argsort(x, kind="stable")
    t, y = x[order], y[order]
    if len(t) < 5:
        return np.zeros(0)
    # In pieces: each point's small system takes some 300 bytes at once.
    return np.concatenate([_against_neighbours(t, y, np.arange(a, min(a + PIECE, len(t) - 2)))
                           for a in range(2, len(t) - 2, PIECE)])


# The stretches of a curve whose noise is read apart (each of at least
# _STRETCH points) where the noise may differ along it.
_STRETCHES = 8
_STRETCH = 10

# Points worked on at once: a million-point curve never makes arrays of its
# full length per step.
PIECE = 16384


def _against_neighbours(t, y, centre):
    around = centre[:, None] + np.array([-2, -1, 1, 2])
    span = t[centre + 2] - t[centre - 2]
    ok = span > 0
    dt = (t[around] - t[centre][:, None]) / np.where(ok, span, 1.0)[:, None]
    design = np.stack([np.ones_like(dt), dt, dt * dt], axis=2)  # (points, 4, 3)
    normal = np.einsum("pki,pkj->pij", design, design)
    ok &= np.abs(np.linalg.det(normal)) > 1e-9
    normal[~ok] = np.eye(3)
    first = np.linalg.solve(normal, np.broadcast_to(np.array([1.0, 0.0, 0.0]), (len(centre), 3))[..., None])
    weights = np.einsum("pki,pi->pk", design, first[..., 0])  # the quadratic at the centre, from the four
    e = (y[centre] - np.einsum("pk,pk->p", weights, y[around])) / np.sqrt(1.0 + np.einsum("pk,pk->p", weights,
                                                                                        weights))
    return e[ok]


# Curves whose noise differs by more than this factor, and by more than
# STRUCTURE_SDS standard deviations of the estimates' own scatter, are
# weighted each by its own noise read from the data (each from at least
# _OWN_NOISE points): a cooling curve in mdeg beside a series in absorbance,
# or curves normalised each by its own concentration, would otherwise count
# only as their numbers' size.
_NOISE_SPREAD = 2.0
_OWN_NOISE = 8


def weights_of_curves(curves, noise_values):
    """(weights per curve, note): 1 / each curve's noise SD, scaled to a
    geometric mean of 1, when the curves' noise differs beyond chance;
    (None, None) otherwise (every point counts the same)."""
    sds, counts = [], []
    for values in noise_values:
        counts.append(values.size)
        sds.append(1.4826 * float(np.median(np.abs(values))) if values.size >= _OWN_NOISE else math.nan)
    known = [j for j, sd in enumerate(sds) if math.isfinite(sd) and sd > 0.0]
    if len(known) < 2:
        return None, None
    high = max(known, key=lambda j: sds[j])
    low = min(known, key=lambda j: sds[j])
    # ln SD of a median-based estimate scatters by sqrt(NOISE_SPREAD_VALUES / n) / 2.
    scatter = 0.5 * math.sqrt(NOISE_SPREAD_VALUES / counts[high] + NOISE_SPREAD_VALUES / counts[low])
    if sds[high] <= max(_NOISE_SPREAD, math.exp(STRUCTURE_SDS * scatter)) * sds[low]:
        return None, None
    middle = math.exp(float(np.mean([math.log(sds[j]) for j in known])))
    weights = [middle / sd if math.isfinite(sd) and sd > 0.0 else 1.0 for sd in sds]
    scale = signal_scale(curves)
    shown = ", ".join(f"{c.name} {sd * scale:.3g}" for c, sd in zip(curves, sds) if math.isfinite(sd))
    return weights, (f"each curve weighted by its own noise, read from the data (noise SD {shown}: "
                     f"{sds[high] / sds[low]:.3g}x apart); chi2 and the noise SD are of the weighted residuals")


def noise_summary(noise_values, weights):
    """(variance, count): the variance of the noise from the data alone
    (internal units, weighted as the fit weighs): each point against the
    quadratic through its neighbours (see noise_per_point), and a median so
    that the few points where the curve bends sharply do not count.  None
    with too few points."""
    weights = weights or [1.0] * len(noise_values)
    count = sum(values.size for values in noise_values)
    if count < 8:
        return None, count
    # |value w| of every point in one array, and its median in place: the
    # same numbers as the median of the normalised values' magnitudes.
    magnitudes = np.empty(count)
    start = 0
    for values, w in zip(noise_values, weights):
        np.multiply(np.abs(values), abs(w), out=magnitudes[start:start + values.size])
        start += values.size
    sd = 1.4826 * float(np.median(magnitudes, overwrite_input=True))
    variance = sd * sd
    # Noise that grows with the signal (a photomultiplier's) or along a
    # ramp: a median over all points reads the quiet part only, below the
    # mean variance the residuals show.  The median of each stretch of a
    # curve, averaged over the stretches, reads the mean and keeps the
    # median's indifference to the few points where a curve bends sharply.
    stretches = [(values, w) for values, w in zip(noise_values, weights) if values.size >= _STRETCHES * _STRETCH]
    if stretches:
        total, points = 0.0, 0
        for values, w in stretches:
            for piece in np.array_split(np.abs(values) * abs(w), _STRETCHES):
                total += (1.4826 * float(np.median(piece))) ** 2 * piece.size
                points += piece.size
        uneven = total / points
        # Only where the stretches differ beyond the medians' own scatter.
        if uneven > variance * (1.0 + STRUCTURE_SDS * math.sqrt(NOISE_SPREAD_VALUES / points)):
            variance = uneven
    return variance, count
