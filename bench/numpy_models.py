"""The bisection sweeps written with NumPy, vectorised over temperatures.

The same arithmetic as the compiled sweeps, one array operation per step
over all temperatures at once: what a NumPy user would write instead.
"""

import numpy as np

R = 8.314
STEPS = 100


def constant(delta_h, delta_s, temp):
    return np.exp(delta_s / R - delta_h / (temp * R))


def bisect(upper, balance, conc):
    lower = np.zeros_like(upper)
    for _ in range(STEPS):
        m = (lower + upper) * 0.5
        down = balance(m) - conc <= 0.0
        lower = np.where(down, m, lower)
        upper = np.where(down, upper, m)
    return 1.0 - ((lower + upper) * 0.5) / conc


def aggregate(q, x):
    return (q * ((x * x) * (2.0 - x))) / ((1.0 - x) * (1.0 - x))


def temp_isodesmic_model_direct(temp, delta_h, delta_s, c_tot, scaler):
    x = c_tot * constant(delta_h, delta_s, temp)
    t = np.sqrt(x + 0.25)
    d = (x + 0.5) + t
    small = x * (2.0 * t + 3.0) / ((2.0 * t + 1.0) * d)
    return scaler * np.where(x < 1.0, small, 1.0 - 1.0 / d)


def temp_isodesmic_model(temp, delta_h, delta_s, c_tot, scaler):
    k = constant(delta_h, delta_s, temp)
    return scaler * bisect(1.0 / k, lambda m: m / (1.0 - k * m) ** 2, c_tot)


def temp_cooperative_model(temp, delta_h, delta_s, delta_h_nuc, c_tot, scaler):
    k = constant(delta_h, delta_s, temp)
    q = np.exp(-delta_h_nuc / (temp * R)) / k
    return scaler * bisect(1.0 / k, lambda m: m + aggregate(q, k * m), c_tot)


def temp_cooperative_model_n(temp, delta_h, delta_s, delta_h_nuc, c_tot, scaler, nuc_size):
    k = constant(delta_h, delta_s, temp)
    sigma = np.exp(-delta_h_nuc / (temp * R))
    power = sigma ** (nuc_size - 1) / k
    log_sigma = np.log1p(sigma - 1.0)

    def balance(m):
        x = k * m
        s = np.zeros_like(x)
        px, ps, w = x * x, sigma, 2.0
        for j in range(nuc_size - 2, 0, -1):
            s = s - px * ((ps * w) * np.expm1(log_sigma * j))
            px, ps, w = x * px, sigma * ps, w + 1.0
        return np.where(x >= 1.0, np.inf, (m + aggregate(power, x)) + s / k)

    return scaler * bisect(1.0 / k, balance, c_tot)


def temp_coop_iso_model(temp, dh_iso, ds_iso, dh_coop, ds_coop, dh_nuc, c_tot, scaler):
    k_iso = constant(dh_iso, ds_iso, temp)
    k_coop = constant(dh_coop, ds_coop, temp)
    q = np.exp(-dh_nuc / (temp * R)) / k_coop

    def balance(m):
        a1 = 1.0 - k_iso * m
        return ((m / (a1 * a1)) + (m + aggregate(q, k_coop * m))) - m

    return scaler * bisect(np.fmin(1.0 / k_iso, 1.0 / k_coop), balance, c_tot)
