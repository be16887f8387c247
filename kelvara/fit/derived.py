"""Derived values as functions of the parameter vector: elongation
temperatures with sigma and the degrees of polymerisation there, K and dG at
298.15 K, c50 of a series, f50 of a denaturation and t50, t90 of a time
trace, each with its standard error from the covariance.  A mixin of the
fit's problem."""

from __future__ import annotations

import math
from typing import Any, Callable, Dict

import numpy as np

from kelvara.fit.curves import REFERENCE_TEMPERATURE
from kelvara.fit.parts import ProblemParts
from kelvara.fit.records import Derived
from kelvara.models import (
    GAS_CONSTANT,
    NUCLEATION_ROLES,
    concentration_fraction,
    constants,
    degree_of_polymerisation,
    half_aggregation_constant,
)


def _a_temperature(kelvin):
    """kelvin, when it is a temperature (finite, above absolute zero)."""
    if not (math.isfinite(kelvin) and kelvin > 0.0):
        raise ValueError(f"{kelvin} K is not a temperature")
    return kelvin


def _k(delta_h, delta_s, temperature):
    return math.exp(delta_s / GAS_CONSTANT - delta_h / (GAS_CONSTANT * temperature))


class DerivedValues(ProblemParts):
    """The derived values of a fit (Te, sigma(Te), K and dG at 298.15 K, c50,
    f50, degrees of polymerisation) as functions of the parameter vector,
    with their standard errors from the covariance: the part of the problem
    that turns best values into what a chemist reports."""

    def derived_functions(self):
        if not self.model.mass_balance:
            return self._phenomenological_derived()
        out = {}
        if self.model.denaturation:
            # Half aggregated where K(f) = K50 of the curve's c_tot:
            # dG0 + m f50 = -RT ln K50.
            for i, curve in enumerate(self.curves):
                rt = GAS_CONSTANT * curve.temperature
                out[f"f50[{i}]"] = (lambda rt, c: lambda v: (
                    -rt * math.log(half_aggregation_constant(self.plain(v).get("sigma", 1.0), c))
                    - v["delta_g0"]) / v["m"])(rt, curve.c_tot)
            return out
        series = [i for i, c in enumerate(self.curves) if c.vary == "concentration"]
        for i in series:
            out[f"c50[{i}]"] = (lambda t: lambda v: self.half_concentration(v, t))(self.curves[i].temperature)
        if self.at_one_temperature:
            t = self.curves[0].temperature
            if t is not None:
                for k in self.nonlinear:
                    if k.startswith("k"):
                        label = "dG" + k[1:]
                        out[f"{label}({t:g} K)"] = (lambda k: lambda v: -GAS_CONSTANT * t * v[k] * math.log(10.0))(k)
            return out
        h, s, nuc = self.model.elongation
        for rate in self.model.rates:
            if rate.role not in NUCLEATION_ROLES:  # K and dG of each pathway: K, or K_iso and K_coop, or K and K_b
                label = "K" + rate.name[1:]
                out[f"{label}(298.15 K)"] = (lambda r: lambda v: _k(v[r.enthalpy], v[r.entropy],
                                                                   REFERENCE_TEMPERATURE))(rate)
                out[f"dG{label[1:]}(298.15 K)"] = (lambda r: lambda v: v[r.enthalpy]
                                                   - REFERENCE_TEMPERATURE * v[r.entropy])(rate)
        # The nucleation step's own enthalpy and entropy (what papers publish):
        # the elongation's plus the penalty.
        for name, (own, penalty) in self.model.absolute_nucleation.items():
            out[name] = (lambda own, penalty: lambda v: v[own] + v.get(penalty, 0.0))(own, penalty)
        temperature_curves = [(i, c) for i, c in enumerate(self.curves) if c.vary == "temperature"]
        if self.model.cooperative:
            for i, curve in temperature_curves:
                te = (lambda c: lambda v: v[h] / (v[s] + GAS_CONSTANT * math.log(c)))(curve.c_tot)
                out[f"Te[{i}]"] = te
                # What holds at Te holds nowhere when Te is no temperature.
                te = (lambda te: lambda v: _a_temperature(te(v)))(te)
                out[f"sigma(Te)[{i}]"] = (lambda te: lambda v: math.exp(
                    v.get("delta_s_nuc", 0.0) / GAS_CONSTANT - v[nuc] / (GAS_CONSTANT * te(v))))(te)
                self._dp_at(out, "Te", i, curve, te)
        elif self.model.function is not None:  # isodesmic
            # Half the monomer aggregated: m = c/2 in c = m / (1 - K m)^2 gives
            # K c = 2 - sqrt(2), so Tm = dH / (dS - R ln((2 - sqrt(2)) / c)).
            for i, curve in temperature_curves:
                log_ratio = math.log((2.0 - math.sqrt(2.0)) / curve.c_tot)
                tm = (lambda r: lambda v: v[h] / (v[s] - GAS_CONSTANT * r))(log_ratio)
                out[f"Tm[{i}]"] = tm
                self._dp_at(out, "Tm", i, curve, (lambda tm: lambda v: _a_temperature(tm(v)))(tm))
        traces = getattr(self, "traces", None)
        if traces is not None:
            out.update(traces.derived())
        return out

    def half_concentration(self, values, temperature):
        """c50: the total concentration at which half the monomer is
        aggregated, at `temperature` (mol/L).  In closed form for a dimer
        nucleus (see half_aggregation_constant), else by bisection in ln c
        on the model's own fraction, which grows with c."""
        consts = constants(self.model, self.plain(values), [math.nan if temperature is None else temperature])
        if self.model.closed_half:
            sigma = consts["sigma"][0] if "sigma" in consts else 1.0
            return half_aggregation_constant(sigma, 1.0) / consts["k"][0]
        low, high = -80.0, 10.0  # ln c
        for _ in range(100):
            middle = 0.5 * (low + high)
            fraction = concentration_fraction(self.model, consts, math.exp(middle), self.nuc_size)[0]
            if fraction < 0.5:
                low = middle
            else:
                high = middle
            if high - low < 1e-13:
                break
        return math.exp(0.5 * (low + high))

    def _dp_at(self, out, where, i, curve, temperature):
        """dp_n and dp_n_all of curve i at a derived temperature."""
        last: Dict[str, Any] = {}  # dp_n and dp_n_all of the same values: one evaluation

        def both(v):
            key = tuple(v.items())
            if last.get("key") != key:
                t = np.array([temperature(v)])
                fraction = self.fraction(v, curve, t)
                last["key"] = key
                last["out"] = degree_of_polymerisation(self.model.name, v, t, curve.c_tot, fraction, self.nuc_size)
            return last["out"]

        out[f"dp_n({where})[{i}]"] = lambda v: float(both(v)[0][0])
        out[f"dp_n_all({where})[{i}]"] = lambda v: float(both(v)[1][0])

    @property
    def _te_per_curve(self):
        return "te" in self.model.per_curve and "te" not in self.nonlinear_set

    def derived_names(self):
        return list(self.derived_functions())

    def derived_vector(self, x):
        values = self.values(x)
        out = []
        for f in self.derived_functions().values():
            try:
                out.append(f(values))
            except (ArithmeticError, ValueError):
                out.append(math.nan)
        return np.array(out, dtype=float)

    def _phenomenological_derived(self):
        """Per curve with an activation constant: Nn(Te)[i] = ka^(-1/3); with an
        elongation temperature per curve at two or more concentrations, the
        van 't Hoff line 1/Te = (R / dH) ln c_tot + dS / dH (from K(Te) c_tot
        = 1), weighted by the Te errors of the fit (van der Schoot)."""
        out: Dict[str, Callable[[Dict[str, float]], Any]] = {}
        if "ka" not in self.model.per_curve:
            return out
        n = len(self.curves)

        def own(p, i):
            return p if p in self.nonlinear_set else f"{p}[{i}]"

        for i in range(n):
            out[f"Nn(Te)[{i}]"] = (lambda name: lambda v: 10.0 ** (-v[name] / 3.0))(own("ka", i))
        if len({c.c_tot for c in self.curves}) >= 2 and self._te_per_curve:
            logs = np.log([c.c_tot for c in self.curves])
            weights = getattr(self, "vh_weights", None)

            def line(v):
                te = np.array([v[f"te[{i}]"] for i in range(n)])
                w = np.ones(n) if weights is None else weights
                a, b = np.polyfit(logs, 1.0 / te, 1, w=np.sqrt(w))
                return a, b

            out["delta_h_vh"] = lambda v: GAS_CONSTANT / line(v)[0]
            out["delta_s_vh"] = lambda v: line(v)[1] * GAS_CONSTANT / line(v)[0]
        return out

    def derived(self, x, covariance):
        """Values with errors propagated to first order (numerical
        gradient); NaN where the value depends on a parameter whose error is
        not determined."""
        if self._te_per_curve:
            # van 't Hoff weights: 1 / var(1/Te) from the fit's own Te errors.
            variance = np.array([covariance[j, j] if n.startswith("te[") else math.nan
                                 for j, n in enumerate(self.free)])
            te = self.values(x)
            weights = []
            for i in range(len(self.curves)):
                name = f"te[{i}]"
                var = variance[self.free.index(name)] if name in self.free else math.nan
                weights.append(te[name] ** 4 / var if math.isfinite(var) and var > 0 else 1.0)
            self.vh_weights = np.array(weights)
        base = self.derived_vector(x)
        gradient = np.zeros((len(base), len(x)))
        for j in range(len(x)):
            if self.free[j] not in self.nonlinear_set:
                continue  # no derived value reads a baseline, slope or amplitude
            step = 1e-6 * max(abs(x[j]), 1.0)
            up, down = x.copy(), x.copy()
            up[j] += step
            down[j] -= step
            gradient[:, j] = (self.derived_vector(up) - self.derived_vector(down)) / (2 * step)
        unknown = ~np.isfinite(np.diag(covariance))
        known = np.where(np.isfinite(covariance), covariance, 0.0)
        variance = np.einsum("ij,jk,ik->i", gradient, known, gradient)
        depends = (np.abs(gradient[:, unknown]) > 0).any(axis=1) | ~np.isfinite(gradient).all(axis=1)
        for j in np.flatnonzero(unknown).tolist():
            if self.free[j] in self.nonlinear_set:
                # A value that underflows or saturates (a sigma of 1e-321, a
                # fraction of 1) has no slope there, yet depends on the
                # parameter all the same: a step of its own size tells.
                far = x.copy()
                far[j] += 0.5 * max(abs(x[j]), 1.0)
                moved = self.derived_vector(far)
                depends |= ~((moved == base) | (np.isnan(moved) & np.isnan(base)))
        errors = np.sqrt(np.where((variance >= 0) & ~depends, variance, np.nan))
        return {
            name: Derived(name, float(v), float(e))
            for name, v, e in zip(self.derived_names(), base, errors)
        }
