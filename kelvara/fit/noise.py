"""The noise of a fit's residuals: white or correlated from point to point
(an autoregression the data choose, told from a shape the model misses),
the misfit beside it, and how much of it averages away over a window.  The
noise each point shows against its neighbours is kelvara.fit.point_noise's."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import List, Optional

import numpy as np

from kelvara.fit.point_noise import PIECE as _PIECE
# Their old home: kelvara.fit.noise.noise_per_point and the others keep working.
from kelvara.fit.point_noise import NOISE_SPREAD_VALUES, STRUCTURE_SDS  # noqa: F401
from kelvara.fit.point_noise import noise_per_point, noise_summary, weights_of_curves  # noqa: F401
from kelvara.fit.shape import noise_rather_than_shape

# The residuals' correlation from point to point (an instrument's time
# constant over a slow ramp) is read from curves of at least this many
# points, in the order they were measured.
_CORRELATION_POINTS = 40
# Shorter curves are read together, each from at least this many points.
_SHORTEST_POOLED = 12
_POOLED_SDS = 2.0
# A lag-1 correlation within this many of its standard errors (1 / sqrt(n)
# for white noise) of zero is white noise: the errors stay as they are.
_CORRELATION_SDS = 3.0
# Noise correlated over more than this fraction of a curve cannot be told
# from a shape the model misses: residuals that stay together longer are
# counted as misfit.  (AR(1) noise of lag-1 correlation 0.95 over 401-point
# curves reads at most 1/10 of a curve after a fit; a second pathway beside
# the cooperative one, under the same noise correlated at 0.9, reads 1/5 or
# more, a wrong model 1/20 of a curve at most and usually all of it.)
_NOISE_SPAN = 1.0 / 7.0
# Curves read together because each is short: noise that passes the checks
# of kelvara.fit.shape may span this much of each.
_POOLED_NOISE_SPAN = 1.0 / 2.0


@dataclass
class NoiseModel:
    """How the residuals are correlated from point to point, read from the
    fit's own residuals as a first-order autoregression within each curve
    (the noise of a smoothing instrument read along a ramp).

    `rho` is the lag-1 correlation the errors use (0 for white noise) and
    `span` the number of points over which the noise is correlated,
    (1 + rho) / (1 - rho); `error_scale` is how much the correlation
    widens the standard errors of the thermodynamic parameters; `misfit`
    says that the residuals stay correlated over so much of a curve
    (`measured_span` points), or keep such correlation once the noise's own
    is taken out, that they are a shape the model misses rather than noise
    (in words; None when they are noise)."""

    rho: float
    span: float
    measured_rho: float
    measured_span: float
    curves: List[int]
    misfit: Optional[str]  # why the residuals are a shape the model misses rather than noise; None: noise
    error_scale: float = 1.0
    # The noise's own lag-1 correlation where the residuals are a misfit
    # (read from their local variance at two scales, which a smooth shape
    # hardly moves); rho otherwise.  The misfit is averaged over its span.
    noise_rho: Optional[float] = None
    # The autoregression read from the residuals: its order (1 for the
    # first-order one) and the noise's autocorrelations it implies at lags
    # 0, 1, 2, ... (None: those of a first-order one of lag-1 correlation
    # rho); the span and rho above are those of the first-order noise with
    # the same variance of long averages (the spectrum at frequency zero).
    order: int = 1
    autocorrelation: Optional[np.ndarray] = field(default=None, repr=False)
    # The autoregression's coefficients phi_1 .. phi_order (None for white noise).
    coefficients: Optional[np.ndarray] = field(default=None, repr=False)
    # The misfit was read from the innovations' correlation alone (not from
    # residuals correlated over too much of a curve): it counts only where it
    # is larger than what the noise alone leaves.
    misfit_from_whiteness: bool = False
    # Read from curves each too short to read alone, pooled.
    pooled: bool = False

    @property
    def described(self) -> str:
        """How the correlation was read, as the notes and the Methods both
        say it: the first-order autoregression's lag-1 correlation, or a
        richer one's order with the residuals' own lag-1 correlation."""
        how = f"lag-1 correlation {self.rho:.2f}" if self.order <= 1 else (
            f"an autoregression of order {self.order}; the residuals' lag-1 correlation {self.measured_rho:.2f}")
        where = "the curves together, each too short alone" if self.pooled else "each curve"
        return f"{how}, read from the residuals along {where}"

    @property
    def misfit_rho(self) -> float:
        return self.rho if self.noise_rho is None else self.noise_rho

    @property
    def misfit_span(self) -> float:
        return (1.0 + self.misfit_rho) / (1.0 - self.misfit_rho)

    @property
    def white(self) -> bool:
        return self.rho == 0.0

    def local_ratio(self) -> float:
        """How much larger the noise's variance is than its reading against
        neighbouring points (see local_noise_ratio): from the
        autocorrelations read where the residuals are noise, from the
        first-order noise of misfit_rho where they are a misfit."""
        if self.misfit is None and self.autocorrelation is not None:
            return local_noise_ratio(self.autocorrelation)
        return local_noise_ratio(self.misfit_rho)

    def per_curve(self, count):
        """rho of every curve: the noise's for the curves it was read from,
        0 for the others (too short to read it, or independent samples)."""
        return [self.rho if i in self.curves else 0.0 for i in range(count)]

    def to_dict(self):
        return {"lag1_correlation": self.rho, "correlated_points": self.span,
                "measured_lag1_correlation": self.measured_rho, "measured_correlated_points": self.measured_span,
                "autoregression_order": self.order,
                "curves": list(self.curves), "error_scale": self.error_scale, "misfit": self.misfit is not None,
                "pooled": self.pooled}


def fit_noise_model(curves, residuals, rows, free_count, transitions=None):
    """The NoiseModel of a fit from its residuals (internal units, curve by
    curve at `rows`), or None when no curve is long enough to read it.

    The residuals' autocovariances are pooled over the curves of
    temperature ramps with enough points.  Whether they are noise at all is
    read from the lag-1 correlation alone, which no smooth shape passes
    for: residuals correlated over too much of a curve, or whose
    innovations stay correlated, are a misfit (see `misfit`; the fit
    then weighs it against what the noise alone leaves).  How far the noise
    is correlated comes from an autoregression of the order the Bayesian
    information criterion picks (1 to _AR_ORDERS: the noise of a
    first-order filter, of a moving average or a Savitzky-Golay smoothing,
    of a second-order filter): its spectrum at frequency zero gives how many
    points' worth the noise is correlated over (for the first order (1 +
    rho) / (1 - rho)), which sets the errors.  A fit absorbs the slowest part
    of the noise (each of its p smooth directions takes about one correlated
    stretch), which lowers that measure; with n points, in terms of the
    first-order noise of the same span, 1 - rho_measured is about (1 - rho)
    n / (n - p span), solved for rho.  `transitions`, called only where
    the checks of kelvara.fit.shape are asked, gives each curve's points
    within its transition (or None).  White noise (a lag-1 correlation
    within _CORRELATION_SDS standard errors of zero, or negative) keeps the
    errors of independent points."""
    ramps = [i for i, c in enumerate(curves) if c.vary in ("temperature", "time")]  # read in order
    use = [i for i in ramps if curves[i].size >= _CORRELATION_POINTS]
    pooled = False
    if not use:
        # Curves too short to read alone (variable-temperature spectra of
        # 37 temperatures): read together, when together they are enough.
        use = [i for i in ramps if curves[i].size >= _SHORTEST_POOLED]
        if sum(curves[i].size for i in use) < _CORRELATION_POINTS or len(use) < 2:
            return None
        pooled = True
    series = [_once(curves[i], residuals[rows[i]]) for i in use]
    covariances, n = _autocovariances(series, _AR_ORDERS)
    if not covariances[0] > 0.0:
        return None
    lag1 = min(max(covariances[1] / covariances[0], 0.0), 1.0 - 1e-9)
    # A fit pulls its residuals' lag-1 correlation down by about p / n
    # (each of its p smooth directions takes one correlated stretch): on
    # long ramps a trifle, on curves read together because each is short,
    # most of what is there; there it is added back, and two standard
    # errors tell (calling white noise correlated costs little: its rho is
    # read near zero; calling correlated noise white hides it).
    white = lag1 <= _CORRELATION_SDS / math.sqrt(n) if not pooled else \
        lag1 + free_count / n <= _POOLED_SDS / math.sqrt(n)
    lengths = sorted(curves[i].size for i in use)
    longest_noise = _NOISE_SPAN * lengths[len(lengths) // 2]
    # The spectrum of an autoregression read from curves of under a hundred
    # points peaks anywhere for smoothed noise: such curves are checked as
    # short ones.
    short = pooled or lengths[len(lengths) // 2] < _SPECTRUM_POINTS
    # A misfit: correlated over too much of a curve, or innovations that
    # stay correlated.  A higher order could take a smooth misfit for noise
    # of long memory, so where only it whitens the residuals they must pass
    # the checks of kelvara.fit.shape too.
    lag1_span = (1.0 + lag1) / (1.0 - lag1)
    # Whether what remains is white is asked of the innovations of the
    # autoregression the data choose, not of the first order alone: white
    # noise on top of a slow drift (the commonest noise of a CD ramp) is
    # no first-order noise, and its first-order innovations stay correlated.
    chosen = _autoregression(covariances, n, math.log(n)) if not white else np.zeros(0)
    if not chosen.size:
        chosen = np.array([lag1])
    q, size = _innovations(series, chosen)

    checked = {}

    def passes_shape_checks(coefficients, short=False):
        key = (coefficients.tobytes(), short)
        if key not in checked:
            checked[key] = _shape_checks(coefficients, short)
        return checked[key]

    def _shape_checks(coefficients, short):
        # Noise is independent from curve to curve; a missed shape is not
        # (it recurs, or turns over, from one concentration to the next).
        # Nor does an instrument's noise have most of its power at some
        # stretch of tens of points rather than at the longest (a spectrum
        # that peaks away from zero: the lobes of a missed shape, whose
        # mean the baseline takes).  And noise is the same along a curve: a
        # missed shape sits where the signal changes (`transition`: each
        # curve's points in its transition, from the fit).
        acf = _implied_autocorrelation(covariances / covariances[0], coefficients, _ACF_LAGS)
        span = _span_of(covariances, coefficients)
        averaged = [np.concatenate(list(smoothed_pieces(residuals[rows[i]], span))) if math.isfinite(span) else None
                    for i in use]
        where = transitions() if transitions is not None else None
        return noise_rather_than_shape([curves[i] for i in use], series, acf, coefficients, averaged,
                                       [where[i] for i in use] if where is not None else None, short)

    as_noise = widened = False
    if pooled and not white and max(lag1_span, _span_of(covariances, chosen)) > longest_noise:
        # Curves of a few tens of points: noise smoothed over five or nine
        # of them (a boxcar, a Savitzky-Golay filter, a second-order
        # filter) spans more than a seventh of each, so its length alone
        # cannot tell it from a shape; the checks of kelvara.fit.shape do.
        widened = passes_shape_checks(chosen, short=True)
    if not white and q > _WHITENESS_Q:
        # From a few hundred points Bayes's criterion keeps the first order
        # for a boxcar of five points, whose innovations then stay
        # correlated: Akaike's order may whiten them, and noise passes the
        # checks.
        richer = _autoregression(covariances, n, 2.0)
        if richer.size > chosen.size and _innovations(series, richer)[0] <= _WHITENESS_Q \
                and passes_shape_checks(richer, short=short):
            as_noise = True
            widened = widened or pooled
    if widened:  # noise that passes may span up to half a curve
        longest_noise = _POOLED_NOISE_SPAN * lengths[len(lengths) // 2]
    first_order = _innovations(series, lag1) if chosen.size > 1 else (q, size)
    if chosen.size > 1 and first_order[0] > _WHITENESS_Q and not as_noise:
        # Only the richer autoregression makes them noise: it could as well
        # be following a smooth shape the model misses, so it must pass
        # the checks of kelvara.fit.shape.  Without a second curve to tell,
        # the first order decides.
        if not passes_shape_checks(chosen, short=short):
            chosen = np.array([lag1])
            q, size = first_order
        else:
            # Noise by all three, even where no autoregression of up to
            # _AR_ORDERS terms whitens it (a boxcar of nine points is a
            # moving average no short autoregression matches).
            as_noise = True
    # How far the residuals are correlated, by the same autoregression (its
    # spectrum at frequency zero): a misfit that the autoregression takes
    # for long memory shows here, far beyond what an instrument's noise spans.
    lag1_span = max(lag1_span, _span_of(covariances, chosen)) if not white else lag1_span
    misfit = None
    from_whiteness = False
    if lag1_span > longest_noise:
        misfit = (f"the residuals stay correlated over about {lag1_span:.0f} points, too large a part of each "
                  "curve to be an instrument's noise")
    elif not white and not as_noise and q > _WHITENESS_Q and size > _WHITENESS_SIZE:
        from_whiteness = True
        misfit = (f"the residuals are not noise correlated from point to point: with that correlation ("
                  f"{lag1:.2f}, an autoregression of order {chosen.size}) taken out they remain correlated "
                  f"(portmanteau Q = {q:.3g} over lags 1 to {_WHITENESS_LAGS + chosen.size - 1}; noise alone "
                  f"stays below {_WHITENESS_Q:.3g})")
    noise_rho = None
    if misfit is not None:
        noise_rho = _rho_from_scales(series, 1.0 - 2.0 / (longest_noise + 1.0))
    if white:
        return NoiseModel(0.0, 1.0, lag1, lag1_span, use, misfit, noise_rho=noise_rho, order=0,
                          misfit_from_whiteness=from_whiteness, pooled=pooled)
    # How far the noise is correlated: where the residuals are noise, from
    # the autoregression that the Bayesian criterion picks (the noise of a
    # smoothing is no first-order one); else from the first order.
    coefficients = np.array([lag1])
    if misfit is None or from_whiteness:
        coefficients = chosen
    autocorrelation = _implied_autocorrelation(covariances / covariances[0], coefficients, _ACF_LAGS)
    measured_span = min(max(_span_of(covariances, coefficients), 1.0), longest_noise)
    measured = (measured_span - 1.0) / (measured_span + 1.0)
    order = int(coefficients.size)
    # 1 - rho = u, 1 - measured = v, p span / n = 2 p / (n u): u^2 - v u + 2 p v / n = 0.
    v = 1.0 - measured
    discriminant = v * v - 8.0 * free_count * v / n
    u = 0.5 * (v + math.sqrt(discriminant)) if discriminant >= 0.0 else 0.5 * v
    # Never beyond what noise can be (the rest is misfit, and said so).
    u = max(u, 2.0 / (longest_noise + 1.0))
    rho = 1.0 - u
    return NoiseModel(rho, (1.0 + rho) / (1.0 - rho), lag1, measured_span, use, misfit, noise_rho=noise_rho,
                      order=order, autocorrelation=autocorrelation, coefficients=coefficients,
                      misfit_from_whiteness=from_whiteness, pooled=pooled)


# The highest order of the autoregression read from the residuals, and the
# lags of the autocorrelations kept (enough for any averaging window).
_AR_ORDERS = 20
_ACF_LAGS = 64
_SPECTRUM_POINTS = 100


def _autocovariances(series, lags):
    """(gamma_0 .. gamma_lags, n): the autocovariances of the residuals
    pooled over the curves (each curve's own products, over all points)."""
    out = np.zeros(lags + 1)
    n = 0
    for r in series:
        for k in range(min(lags, r.size - 1) + 1):
            out[k] += float(r[k:] @ r[:r.size - k])
        n += r.size
    return out / max(n, 1), n


def _autoregression(covariances, n, penalty):
    """The coefficients phi_1 .. phi_p of the autoregression (Yule-Walker,
    by Levinson's recursion) of the order from 1 to _AR_ORDERS that the
    criterion n ln sigma_p^2 + p penalty prefers (ln n: Bayes's, 2:
    Akaike's); empty where none can be fitted."""
    rho = covariances / covariances[0]
    phi = np.zeros(0)
    variance = 1.0
    best, best_score = np.zeros(0), math.inf
    for order in range(1, covariances.size):
        k = (rho[order] - float(phi @ rho[order - 1:0:-1])) / variance if phi.size else rho[1]
        if not -1.0 < k < 1.0:
            break
        phi = np.concatenate([phi - k * phi[::-1], [k]])
        variance *= 1.0 - k * k
        score = n * math.log(variance) + order * penalty
        if score < best_score:
            best, best_score = phi.copy(), score
    return best


def _span_of(covariances, coefficients):
    """The number of points an autoregression's noise is correlated over:
    its spectrum at frequency zero over its variance, sigma^2 / (1 - sum
    phi)^2 / gamma_0 ((1 + rho) / (1 - rho) for the first order)."""
    innovation = float(covariances[0] - coefficients @ covariances[1:coefficients.size + 1])
    total = 1.0 - float(np.sum(coefficients))
    return innovation / (total * total) / covariances[0] if total > 0.0 and innovation > 0.0 else math.inf


def _implied_autocorrelation(measured, coefficients, lags):
    """The autocorrelations at lags 0 .. lags of the autoregression: the
    measured ones up to its order, then its recursion rho_k = sum phi_j
    rho_(k-j)."""
    p = coefficients.size
    out = np.zeros(lags + 1)
    out[:p + 1] = measured[:p + 1]
    for k in range(p + 1, lags + 1):
        out[k] = float(coefficients @ out[k - 1::-1][:p])
    return out


# Residuals of noise correlated from point to point, with that correlation
# taken out (r_t - rho r_(t-1), the innovations), are white: their
# portmanteau statistic Q = n sum_k acf(k)^2 over the first lags is
# chi-squared with that many degrees of freedom.  Beyond its 0.1 % point,
# and with correlations of some size (not a trifle that millions of points
# make significant), the residuals are a shape.  Over 3 x 401 points: the
# right model under AR(1) noise of 0.5 to 0.95 reads Q of 20 at most (36
# fits), a second pathway beside the cooperative one 36 to 63 under noise
# correlated at 0.5, 200 or more under white noise.
_WHITENESS_LAGS = 10
_WHITENESS_Q = 29.588
_WHITENESS_SIZE = 0.05


def whitened(r, coefficients):
    """The innovations r_t - sum_j phi_j r_(t-j) of a curve's residuals r
    under the autoregression phi (from its order on)."""
    p = coefficients.size
    out = r[p:].copy()
    for j in range(1, p + 1):
        out -= coefficients[j - 1] * r[p - j:r.size - j]
    return out


def _once(curve, r):
    """A curve's residuals without the repeats of a reading recorded twice
    in a row (the same x and signal as the point before it): a repeat is
    not noise correlated with its twin."""
    x, y = curve.x, curve.signal
    repeat = np.zeros(r.size, dtype=bool)
    repeat[1:] = (x[1:] == x[:-1]) & (y[1:] == y[:-1])
    return r[~repeat] if repeat.any() else r


def _innovations(series, coefficients):
    """(Q, size): the portmanteau statistic of the innovations r_t -
    sum_j phi_j r_(t-j) within each curve's residuals (`series`; a number
    phi is the first order's rho) over lags 1 to _WHITENESS_LAGS, and the
    root of the sum of their squared autocorrelations."""
    phi = np.atleast_1d(np.asarray(coefficients, dtype=float))
    p = phi.size
    # Over lags 1 .. _WHITENESS_LAGS + p - 1: the first order's ten lags,
    # and one more for each further coefficient the autoregression spends.
    count = _WHITENESS_LAGS + p - 1
    lags = np.zeros(count)
    total = 0.0
    n = 0
    for r in series:
        # In pieces that overlap by the lags, each lag's products counted once.
        for start in range(p, r.size, _PIECE):
            stop = min(start + _PIECE, r.size)
            before = max(start - count, p)
            a = r[before:stop].copy()
            for j in range(1, p + 1):
                a -= phi[j - 1] * r[before - j:stop - j]
            own = a[start - before:]
            total += float(own @ own)
            n += own.size
            for k in range(1, count + 1):
                first = max(start - before, k)
                if a.size > first:
                    lags[k - 1] += float(a[first:] @ a[first - k:a.size - k])
    if not total > 0.0:
        return 0.0, 0.0
    acf = lags / total
    return n * float(acf @ acf), math.sqrt(float(acf @ acf))


_TAPS = np.array([1.0 / 6.0, -2.0 / 3.0, 1.0, -2.0 / 3.0, 1.0 / 6.0])


def _along(series, step):
    """The mean square of each point against the quadratic through its
    neighbours `step` and 2 `step` points away on either side, in the
    order measured: noise at that scale, which a smooth shape hardly
    reaches."""
    total, count = 0.0, 0
    for r in series:
        for a in range(2 * step, r.size - 2 * step, _PIECE):
            centre = np.arange(a, min(a + _PIECE, r.size - 2 * step))
            e = sum(t * r[centre + (k - 2) * step] for k, t in enumerate(_TAPS))
            total += float(e @ e)
            count += e.size
    return total / count if count else math.nan


def _rho_from_scales(series, highest):
    """The noise's lag-1 correlation from how its local variance grows
    from neighbours 1 to 4 points away: L(rho) / L(rho^4) for AR(1) noise
    (1 for white noise, 4 for noise correlated far beyond 4 points), so
    that a misfit, smooth over many points, does not count.  At most
    `highest`: beyond about 0.9 the scales cannot tell."""
    near, far = _along(series, 1), _along(series, 4)
    if not (near > 0.0 and math.isfinite(far)):
        return 0.0
    ratio = far / near
    low, high = 0.0, highest
    if ratio <= 1.0:
        return 0.0
    if ratio >= local_noise_ratio(high) / local_noise_ratio(high ** 4):
        return high
    for _ in range(50):
        middle = 0.5 * (low + high)
        if local_noise_ratio(middle) / local_noise_ratio(middle ** 4) < ratio:
            low = middle
        else:
            high = middle
    return 0.5 * (low + high)


def local_noise_ratio(rho):
    """The variance of noise of lag-1 correlation rho (first order), or of
    the autocorrelations rho (an array: lags 0, 1, ...), over the variance
    that the neighbour comparison of noise_per_point reads from it (equally
    spaced points: the quadratic through the two neighbours on either side
    weighs them 2/3 and -1/6): 1 for white noise, about 15 for rho = 0.9."""
    lags = np.abs(np.subtract.outer(np.arange(5), np.arange(5)))
    correlation = _autocorrelations(rho, 4)
    local = float(_TAPS @ correlation[lags] @ _TAPS) / float(_TAPS @ _TAPS)
    return 1.0 / local if local > 0.0 else math.inf


def _autocorrelations(rho, lags):
    """Lags 0 .. lags of the autocorrelations `rho` (an array, zero beyond
    its end), or of first-order noise of lag-1 correlation rho."""
    if np.ndim(rho) == 0:
        return float(rho) ** np.arange(lags + 1)
    out = np.zeros(lags + 1)
    given = np.asarray(rho, dtype=float)[:lags + 1]
    out[:given.size] = given
    return out


def noise_window(span, size):
    """The averaging window for noise correlated over `span` points: odd,
    at least 3 points and a fortieth of the curve (so that white noise is
    averaged down too), at most a quarter of the curve's `size`."""
    return int(min(max(3, size // 40, round(span)), max(3, size // 4))) | 1


def smoothed_pieces(r, span):
    """The residuals r averaged over the window of `span` (see noise_window),
    the window shrinking at the ends, piece by piece: the misfit that
    remains when the noise is averaged out."""
    half = noise_window(span, r.size) // 2
    total = np.empty(r.size + 1)
    total[0] = 0.0
    np.cumsum(r, out=total[1:])
    for a in range(0, r.size, _PIECE):
        index = np.arange(a, min(a + _PIECE, r.size))
        low, high = np.maximum(index - half, 0), np.minimum(index + half + 1, r.size)
        yield (total[high] - total[low]) / (high - low)


def _averaged_variance(rho, width):
    """The variance of the mean of `width` consecutive values of noise of
    unit variance with lag-1 correlation rho (first order) or the
    autocorrelations rho (an array): (width + 2 sum_h (width - h) rho_h) /
    width^2."""
    lags = np.arange(1, width)
    correlation = _autocorrelations(rho, max(width - 1, 0))[1:]
    return float(width + 2.0 * np.sum((width - lags) * correlation)) / (width * width)


def misfit_percentages(curve, residuals, noise_model, noise_sd, i):
    """A curve's misfit (see CurveResult.misfit_percent), or None for a
    curve too short to average or without a signal change.  Piece by
    piece: nothing as large as the curve beyond one running sum."""
    if noise_model is None or i not in noise_model.curves:
        return None
    span = noise_model.misfit_span
    high, low = -math.inf, math.inf
    for a in range(0, residuals.size, _PIECE):
        fitted = curve.signal[a:a + _PIECE] + residuals[a:a + _PIECE]
        high, low = max(high, float(fitted.max())), min(low, float(fitted.min()))
    change = high - low
    # A fit that is nearly flat has no signal change to measure by: the
    # data's own range serves (no misfit of 1e17 %).
    measured = float(np.max(curve.signal)) - float(np.min(curve.signal))
    if change < 0.5 * measured:
        change = measured
    if not change > 0.0:
        return None
    squares, largest = 0.0, 0.0
    for piece in smoothed_pieces(residuals, span):
        squares += float(piece @ piece)
        largest = max(largest, float(np.max(np.abs(piece))))
    own = noise_model.autocorrelation if noise_model.misfit is None and noise_model.autocorrelation is not None \
        else noise_model.misfit_rho
    alone = noise_sd * math.sqrt(_averaged_variance(own, noise_window(span, residuals.size)))
    return {"rms": 100.0 * math.sqrt(squares / residuals.size) / change, "max": 100.0 * largest / change,
            "noise": 100.0 * alone / change}
