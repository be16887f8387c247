"""Every point of a fit in one call of the array kernels: the model's
constants at each point, computed exactly as the temperature models compute
them, then the fraction aggregated and its derivatives in the logarithms of
the constants, which the chain rule turns into derivatives in the fitted
parameters (ln K = dS/R - dH/(RT), ln sigma = -dH_nuc/(RT), ...).

The fractions are the concentration solvers' own doubles with enough
bisection steps to reach the fixed point: exact to the last bit at any
K c_tot, and the same as the temperature models wherever their 100 steps
reach it."""

from __future__ import annotations

import math

import numpy as np

from kelvara import _kernels
from kelvara.models import EXACT_STEPS, GAS_CONSTANT

# The kernels' model codes, by the model's name.
_CODES = {"isodesmic": 0, "denaturation_isodesmic": 0, "cooperative": 1, "denaturation": 1,
          "cooperative_n": 2, "coop_iso": 3, "isodesmic_direct": 4}
_LN10 = math.log(10.0)
# The constants of the kernels, in their argument order.
_CONSTANTS = ("k", "sigma", "k_iso")


class _Buffer:
    """A bytearray of doubles and the NumPy array sharing its memory."""

    def __init__(self, size):
        self.raw = bytearray(8 * size)
        self.array = np.frombuffer(self.raw, dtype=np.float64)


def kernel_code(model):
    return _CODES.get(model.name)


class _Points:
    """The points of one or more curves as the kernels take them.

    temperature: K per point (NaN where a series at one temperature has
    none); conc: c_tot per point; solvent: the good-solvent fraction per
    point (denaturation) or None.  `solve(values)` takes the plain values
    of the parameters (log-scale ones as themselves) and returns the
    fractions, keeping the derivatives for `slopes`."""

    def __init__(self, model, nuc_size, temperature, conc, solvent=None):
        self.model = model
        self.code = _CODES[model.name]
        self.nuc_size = int(nuc_size) if model.takes_nuc_size else 0
        temperature = np.ascontiguousarray(temperature, dtype=float)
        self.size = temperature.size
        self.rt = temperature * GAS_CONSTANT
        with np.errstate(divide="ignore", invalid="ignore"):
            self.minus_inverse_rt = -1.0 / self.rt
        self.solvent = None if solvent is None else np.ascontiguousarray(solvent, dtype=float)
        self.conc = bytes(np.ascontiguousarray(conc, dtype=float).tobytes())
        self.inputs = {name: _Buffer(self.size) for name in _CONSTANTS}
        self.fraction = _Buffer(self.size)
        self.slopes_of = {name: _Buffer(self.size) for name in _CONSTANTS}

    def _constants(self, values):
        """Fill the kernels' constants from the values, as the temperature
        models compute them: K = exp(dS / R - dH / (T R)), sigma = exp(-dH_nuc
        / (T R)); at one temperature as given; in a denaturation K = exp(-(dG0
        + m f) / (T R))."""
        model = self.model
        k, sigma, k_iso = (self.inputs[n].array for n in _CONSTANTS)
        with np.errstate(over="ignore", under="ignore", divide="ignore", invalid="ignore"):
            if model.denaturation:
                np.divide(-(values["delta_g0"] + values["m"] * self.solvent), self.rt, out=k)
                _kernels.exp(self.inputs["k"].raw)
                if "sigma" in model.thermo:
                    sigma.fill(values["sigma"])
                return
            if model.constants and all(n in values for n in model.constants):
                k.fill(values["k_coop" if model.name == "coop_iso" else "k"])
                if "sigma" in model.constants:
                    sigma.fill(values["sigma"])
                if "k_iso" in model.constants:
                    k_iso.fill(values["k_iso"])
                return

            def rule(h, s, out, name):
                np.subtract(values[s] / GAS_CONSTANT, values[h] / self.rt, out=out)
                _kernels.exp(self.inputs[name].raw)

            if model.name == "coop_iso":
                rule("delta_h_iso", "delta_s_iso", k_iso, "k_iso")
                rule("delta_h_coop", "delta_s_coop", k, "k")
                nucleation = "delta_h_nuc_coop"
            else:
                rule("delta_h", "delta_s", k, "k")
                nucleation = "delta_h_nuc" if model.cooperative else None
            if nucleation is not None:
                np.divide(-values[nucleation], self.rt, out=sigma)
                _kernels.exp(self.inputs["sigma"].raw)

    def solve(self, values, slopes=True):
        """The fraction aggregated at every point (a new array); with
        `slopes`, its derivatives are kept for `slopes()`.  Raises the
        model's ValueError where a solver fails."""
        self._constants(values)
        uses = {"k": True, "sigma": self.code in (1, 2, 3), "k_iso": self.code == 3}
        inputs = [self.inputs[n].raw if uses[n] else None for n in _CONSTANTS]
        outputs = [self.slopes_of[n].raw if slopes and uses[n] else None for n in _CONSTANTS]
        _kernels.solve(self.code, self.nuc_size, EXACT_STEPS, self.conc, *inputs, self.fraction.raw, None,
                       *outputs)
        return self.fraction.array.copy()

    def sensitivity(self, name):
        """(constant, d ln constant / d value) pairs of a parameter, the
        derivative per point or one number: how the parameter moves the
        logarithms of the constants."""
        model = self.model
        if model.denaturation:
            return {"delta_g0": [("k", self.minus_inverse_rt)],
                    "m": [("k", self.minus_inverse_rt * self.solvent)],
                    "sigma": [("sigma", 1.0)]}.get(name, [])
        if model.constants and name in model.constants:
            return [("k" if name == "k_coop" else name, 1.0)]
        inverse_r = 1.0 / GAS_CONSTANT
        table = {"delta_h": [("k", self.minus_inverse_rt)], "delta_s": [("k", inverse_r)],
                 "delta_h_nuc": [("sigma", self.minus_inverse_rt)],
                 "delta_h_iso": [("k_iso", self.minus_inverse_rt)], "delta_s_iso": [("k_iso", inverse_r)],
                 "delta_h_coop": [("k", self.minus_inverse_rt)], "delta_s_coop": [("k", inverse_r)],
                 "delta_h_nuc_coop": [("sigma", self.minus_inverse_rt)]}
        return table.get(name, [])

    def slope(self, name, log_scale=False):
        """d fraction / d parameter at every point, from the last solve();
        for a log-scale parameter, in its base-10 logarithm."""
        out = np.zeros(self.size)
        for constant, factor in self.sensitivity(name):
            out += self.slopes_of[constant].array * factor
        if log_scale:
            out *= _LN10
        return out
