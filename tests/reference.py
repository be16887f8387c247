"""Straightforward Python transcriptions of every model, operation by operation.

Python floats are IEEE doubles and every operation below rounds once, in the
written order, as the compiled code must; math.exp, math.expm1 and
math.log1p call the same C library.  Comparing the compiled results with
these bit for bit catches any reordering, fused operation or shortcut that
changes a double.  Only the IEEE behaviour Python refuses (division by zero,
overflow in exp) is spelled out.
"""

import math

GAS_CONSTANT = 8.314
SWEEP_ITERATIONS = 100
ISODESMIC_ERROR = "K * c_monomer must be less than 1 for the isodesmic model."
COOPERATIVE_ERROR = "K * c_monomer must be less than 1 for the cooperative model."
NUCLEUS_ERROR = "Nucleation size must be at least 2."
INF = math.inf
SMALLEST_NORMAL = 2.0 ** -1022


class ModelError(Exception):
    pass


def div(a, b):
    """a / b with IEEE results where Python raises."""
    if b != 0.0:
        return a / b
    if a == 0.0 or math.isnan(a) or math.isnan(b):
        return math.nan
    return math.copysign(1.0, a) * math.copysign(1.0, b) * INF


def exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return INF


def expm1(x):
    try:
        return math.expm1(x)
    except OverflowError:
        return INF


def log1p(x):
    if x == -1.0:
        return -INF
    if x < -1.0:
        return math.nan
    return math.log1p(x)


def final_fraction(lower, upper, conc):
    return 1.0 - div((lower + upper) * 0.5, conc)


def isodesmic_model(conc, k, num_itr):
    lower, upper = 0.0, div(1.0, k)
    for _ in range(num_itr):
        m = (lower + upper) * 0.5
        p = k * m
        if p > 1.0:
            raise ModelError(ISODESMIC_ERROR)
        t1 = 1.0 - p
        t2 = t1 * t1
        t3 = div(m, t2)
        r = t3 - conc
        if r > 0 or math.isnan(r):
            upper = m
        else:
            lower = m
    m = (upper + lower) * 0.5
    if k * m > 1.0:
        raise ModelError(ISODESMIC_ERROR)
    return 1.0 - div(m, conc)


def cooperative_model(conc, k, sigma, num_itr):
    upper, lower = div(1.0, k), 0.0
    if num_itr != 0:
        if k == 0.0:
            for _ in range(num_itr):
                m = (lower + upper) * 0.5
                f = m - conc
                if f <= 0:
                    lower = m
                else:
                    upper = m
        else:
            q = div(sigma, k)
            for _ in range(num_itr):
                m = (lower + upper) * 0.5
                x = k * m
                if x >= 1.0:
                    raise ModelError(COOPERATIVE_ERROR)
                t1 = 1.0 - x
                t2 = x * x
                t3 = 2.0 - x
                t4 = t2 * t3
                t5 = q * t4
                t6 = t1 * t1
                t7 = div(t5, t6)
                t8 = m + t7
                f = t8 - conc
                if f <= 0:
                    lower = m
                else:
                    upper = m
    return div((upper + lower) * (-0.5), conc) + 1.0


def power_by_squaring(sigma, exponent):
    r = sigma if exponent & 1 else 1.0
    b = sigma
    exponent >>= 1
    while exponent:
        b = b * b
        if exponent & 1:
            r = r * b
        exponent >>= 1
    return r


def favoured(conc, k, sigma, nuc_size):
    """Nucleation favoured: the balance is the positive sum below."""
    return (nuc_size >= 3 and 1.0 < sigma < INF and 0.0 < k < INF and div(1.0, k) < INF
            and 0.0 < conc < INF)


def favoured_sum(x, sigma, nuc_size):
    """k F - x where nucleation is favoured: every term positive."""
    y = sigma * x
    p, b, w = x, 0.0, 2.0
    for _ in range(nuc_size - 2):
        p = p * y
        p = 0.0 if p < SMALLEST_NORMAL else p
        t = w * p
        b = b + t
        w = w + 1.0
    p = p * y
    p = 0.0 if p < SMALLEST_NORMAL else p
    u = 1.0 - x
    nu = w * u
    a = nu + x
    top = p * a
    bottom = u * u
    return b + div(top, bottom)


def cooperative_model_n(conc, k, sigma, nuc_size, num_itr):
    if nuc_size < 2:
        raise ModelError(NUCLEUS_ERROR)
    upper, lower = div(1.0, k), 0.0
    if num_itr == 0:
        return 1.0 - div((div(1.0, k) * 0.5), conc)
    power = div(power_by_squaring(sigma, nuc_size - 1), k)
    positive = favoured(conc, k, sigma, nuc_size)

    def balance(m):
        if k == 0.0:
            return m
        x = k * m
        if x >= 1.0:
            return INF
        if positive:
            return m + favoured_sum(x, sigma, nuc_size) / k
        t1 = x * x
        t2 = 2.0 - x
        t3 = t1 * t2
        t4 = power * t3
        t5 = 1.0 - x
        t6 = t5 * t5
        e = div(t4, t6)
        s = 0.0
        if nuc_size > 2:
            log_sigma = log1p(sigma - 1.0)
            px, ps, w, j = x * x, sigma, 2.0, nuc_size - 2
            while j != 0:
                t = px * ((ps * w) * expm1(log_sigma * float(j)))
                s = s - t
                px = x * px
                ps = sigma * ps
                w = w + 1.0
                j = j - 1
        return (m + e) + div(s, k)

    for _ in range(num_itr):
        m = (lower + upper) * 0.5
        d = balance(m) - conc
        if d <= 0:
            lower = m
        else:
            upper = m
    m = (lower + upper) * 0.5
    ratio = m / conc if positive else None
    if positive and m in (lower, upper) and ratio > 0.5 and k * m < 1.0:
        return (favoured_sum(k * m, sigma, nuc_size) / k) / conc
    return final_fraction(lower, upper, conc)


def coop_iso_model(conc, k_iso, k_coop, sigma, num_itr):
    a, b = div(1.0, k_iso), div(1.0, k_coop)
    upper = b if math.isnan(a) else a if math.isnan(b) else min(a, b)
    lower = 0.0
    if num_itr != 0:
        cooperative = k_coop != 0.0
        q = div(sigma, k_coop) if cooperative else 0.0
        for _ in range(num_itr):
            m = (lower + upper) * 0.5
            xi = k_iso * m
            if xi > 1.0:
                raise ModelError(ISODESMIC_ERROR)
            if cooperative:
                xc = k_coop * m
                if xc >= 1.0:
                    raise ModelError(COOPERATIVE_ERROR)
            a1 = 1.0 - xi
            a2 = a1 * a1
            t_iso = div(m, a2)
            t_coop = m
            if cooperative:
                b1 = 1.0 - xc
                b2 = xc * xc
                b3 = 2.0 - xc
                b4 = b2 * b3
                b5 = q * b4
                b6 = b1 * b1
                b7 = div(b5, b6)
                t_coop = m + b7
            f = (t_iso + t_coop) - m
            d = f - conc
            if d <= 0:
                lower = m
            else:
                upper = m
    return final_fraction(lower, upper, conc)


def isodesmic_textbook(x):
    """The closed form in its nine textbook steps."""
    a = x + x
    b = a + 1.0
    d = x * 4.0
    d = d + 1.0
    s = math.sqrt(d) if d >= 0 else math.nan
    n = b - s
    t = div(n, a)
    u = div(t, x)
    return 1.0 - u


def equilibrium_constant(delta_h, delta_s, temp):
    """exp(dS / R + dH / (T * -R)), in exactly that order."""
    q = delta_s / GAS_CONSTANT
    p = temp * (-GAS_CONSTANT)
    h = div(delta_h, p)
    s = q + h
    return exp(s)


def sigma_at(delta_h_nuc, temp):
    return exp(div(-delta_h_nuc, temp * GAS_CONSTANT))


def sweep(temp, scaler, step):
    return [scaler * step(t) for t in temp]


def temp_isodesmic_model(temp, delta_h, delta_s, c_tot, scaler):
    return sweep(
        temp,
        scaler,
        lambda t: isodesmic_model(c_tot, equilibrium_constant(delta_h, delta_s, t), SWEEP_ITERATIONS),
    )


def temp_cooperative_model(temp, delta_h, delta_s, delta_h_nuc, c_tot, scaler):
    return sweep(
        temp,
        scaler,
        lambda t: cooperative_model(
            c_tot, equilibrium_constant(delta_h, delta_s, t), sigma_at(delta_h_nuc, t), SWEEP_ITERATIONS
        ),
    )


def temp_cooperative_model_n(temp, delta_h, delta_s, delta_h_nuc, c_tot, scaler, nuc_size):
    return sweep(
        temp,
        scaler,
        lambda t: cooperative_model_n(
            c_tot,
            equilibrium_constant(delta_h, delta_s, t),
            sigma_at(delta_h_nuc, t),
            nuc_size,
            SWEEP_ITERATIONS,
        ),
    )


def temp_coop_iso_model(temp, dh_iso, ds_iso, dh_coop, ds_coop, dh_nuc, c_tot, scaler):
    return sweep(
        temp,
        scaler,
        lambda t: coop_iso_model(
            c_tot,
            equilibrium_constant(dh_iso, ds_iso, t),
            equilibrium_constant(dh_coop, ds_coop, t),
            sigma_at(dh_nuc, t),
            SWEEP_ITERATIONS,
        ),
    )


# Mass balances in plain algebra (total monomer at free monomer m), for
# checking that a returned fraction sits on the root.


def isodesmic_total(m, k):
    x = k * m
    return INF if x >= 1.0 else m / (1.0 - x) ** 2


def cooperative_total(m, k, sigma):
    x = k * m
    return INF if x >= 1.0 else m + sigma / k * x * x * (2.0 - x) / (1.0 - x) ** 2


def mixed_total(m, k_iso, k_coop, sigma):
    return isodesmic_total(m, k_iso) + cooperative_total(m, k_coop, sigma) - m


def on_the_root(total, fraction, conc, rel=1e-11):
    """True when the free monomer conc * (1 - fraction) is within a relative
    rel (plus the rounding of the fraction itself) of the root of
    total(m) = conc: the total is below conc just under it and above just
    over it."""
    m = conc * (1.0 - fraction)
    eps = rel + 4e-16 / (1.0 - fraction)
    return total(m * (1.0 - eps)) <= conc <= total(m * (1.0 + eps))


def exact_nucleus_fraction(conc, k, sigma, n, digits=50):
    """The fraction aggregated of the nucleus-of-n model in `digits` digits
    (mpmath), as the aggregated share of c_tot at the root of
    k F = x + sum_{i=2}^{n-1} i sigma^(i-1) x^i + sigma^(n-1) x^n (n (1 - x) + x) / (1 - x)^2."""
    import mpmath as mp

    with mp.workdps(digits):
        k, s = mp.mpf(k), mp.mpf(sigma)
        target = k * mp.mpf(conc)

        def total(x):
            head = x + sum(i * s ** (i - 1) * x ** i for i in range(2, n))
            return head + s ** (n - 1) * x ** n * (n * (1 - x) + x) / (1 - x) ** 2

        low, high = mp.mpf(0), mp.mpf(1)
        for _ in range(4 * digits + 20):
            middle = (low + high) / 2
            low, high = (middle, high) if total(middle) <= target else (low, middle)
        x = (low + high) / 2
        return float((total(x) - x) / target)


def exact_nucleus_species(conc, k, sigma, n, digits=50):
    """(fraction aggregated, share held in oligomers of 2 to n monomers) of
    the nucleus-of-n model in `digits` digits: each species' concentration
    summed one by one, sigma^(i-1) k^(i-1) m^i up to the nucleus and
    sigma^(n-1) k^(i-1) m^i beyond it, at the root of the mass balance."""
    import mpmath as mp

    with mp.workdps(digits):
        k, s = mp.mpf(k), mp.mpf(sigma)
        target = k * mp.mpf(conc)

        def parts(x):
            oligomers = sum(i * s ** (i - 1) * x ** i for i in range(2, n + 1))
            polymers = s ** (n - 1) * mp.nsum(lambda i: i * x ** i, [n + 1, mp.inf])
            return oligomers, polymers

        low, high = mp.mpf(0), mp.mpf(1)
        for _ in range(4 * digits + 20):
            middle = (low + high) / 2
            oligomers, polymers = parts(middle)
            low, high = (middle, high) if middle + oligomers + polymers <= target else (low, middle)
        x = (low + high) / 2
        oligomers, polymers = parts(x)
        return float((oligomers + polymers) / target), float(oligomers / target)
