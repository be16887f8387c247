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

import numpy as np

from kelvara import _kernels
from kelvara.models import EXACT_STEPS, GAS_CONSTANT

# The kernels' model codes, by the model's name.
_CODES = {"isodesmic": 0, "denaturation_isodesmic": 0, "cooperative": 1, "denaturation": 1,
          "cooperative_n": 2, "coop_iso": 3, "isodesmic_direct": 4}
# The constants of the kernels, in their argument order.
_CONSTANTS = ("k", "sigma", "k_iso")


class _Buffer:
    """A bytearray of doubles and the NumPy array sharing its memory."""

    def __init__(self, size):
        self.raw = bytearray(8 * size)
        self.array = np.frombuffer(self.raw, dtype=np.float64)


class _Points:
    """A workspace of the kernels for up to `capacity` points of one model.

    `solve(values, temperature, conc, solvent)` takes the plain values of
    the parameters (log-scale ones as themselves) and the points: K per
    point (NaN where a series at one temperature has none), c_tot per point,
    the good-solvent fraction per point (denaturation).  It returns the
    fractions and keeps their derivatives in the logarithms of the constants
    in `slopes_of`; both are views valid until the next call."""

    def __init__(self, model, nuc_size, capacity):
        self.model = model
        self.code = _CODES[model.name]
        self.nuc_size = int(nuc_size) if model.takes_nuc_size else 0
        self.capacity = int(capacity)
        self.uses = {"k": True, "sigma": self.code in (1, 2, 3), "k_iso": self.code == 3}
        self.inputs = {n: _Buffer(self.capacity) for n in _CONSTANTS if self.uses[n]}
        self.fraction = _Buffer(self.capacity)
        self.slopes_of = {n: _Buffer(self.capacity) for n in _CONSTANTS if self.uses[n]}

    def _constants(self, values, rt, solvent):
        """Fill the kernels' constants from the values, as the temperature
        models compute them: K = exp(dS / R - dH / (T R)), sigma = exp(-dH_nuc
        / (T R)); at one temperature as given; in a denaturation K = exp(-(dG0
        + m f) / (T R))."""
        model = self.model
        n = rt.size
        view = {name: buffer.array[:n] for name, buffer in self.inputs.items()}

        def exp(name):
            _kernels.exp(self.inputs[name].raw, n)

        with np.errstate(over="ignore", under="ignore", divide="ignore", invalid="ignore"):
            if model.denaturation:
                np.divide(-(values["delta_g0"] + values["m"] * solvent), rt, out=view["k"])
                exp("k")
                if "sigma" in model.thermo:
                    view["sigma"].fill(values["sigma"])
                return
            if model.constants and all(name in values for name in model.constants):
                view["k"].fill(values["k_coop" if model.name == "coop_iso" else "k"])
                for name in ("sigma", "k_iso"):
                    if name in model.constants:
                        view[name].fill(values[name])
                return

            def rule(h, s, name):
                np.subtract(values[s] / GAS_CONSTANT, values[h] / rt, out=view[name])
                exp(name)

            if model.name == "coop_iso":
                rule("delta_h_iso", "delta_s_iso", "k_iso")
                rule("delta_h_coop", "delta_s_coop", "k")
                nucleation = "delta_h_nuc_coop"
            else:
                rule("delta_h", "delta_s", "k")
                nucleation = "delta_h_nuc" if model.cooperative else None
            if nucleation is not None:
                # exp(dS_nuc / R - dH_nuc / (T R)); at dS_nuc = 0 the same
                # double as the temperature models' exp(-dH_nuc / (T R)).
                np.subtract(values.get("delta_s_nuc", 0.0) / GAS_CONSTANT, values[nucleation] / rt,
                            out=view["sigma"])
                exp("sigma")

    def solve(self, values, temperature, conc, solvent=None, slopes=True):
        """The fraction aggregated at every point; with `slopes`, its
        derivatives are left in `slopes_of`.  Raises the model's
        ValueError where a solver fails."""
        temperature = np.asarray(temperature, dtype=float)
        n = temperature.size
        if n > self.capacity:
            raise ValueError(f"{n} points exceed the workspace of {self.capacity}")
        self._constants(values, temperature * GAS_CONSTANT, solvent)
        inputs = [self.inputs[name].raw if name in self.inputs else None for name in _CONSTANTS]
        outputs = [self.slopes_of[name].raw if slopes and name in self.slopes_of else None for name in _CONSTANTS]
        conc = np.broadcast_to(np.asarray(conc, dtype=float), (n,))
        _kernels.solve(self.code, self.nuc_size, EXACT_STEPS, np.ascontiguousarray(conc).tobytes(), *inputs,
                       self.fraction.raw, None, *outputs)
        return self.fraction.array[:n]

    def factors(self, name, temperature, solvent=None):
        """(constant, d ln constant / d value) pairs of a parameter at the
        points (`temperature` and `solvent` per point): how the parameter
        moves the logarithms of the constants, whose derivatives solve()
        leaves in `slopes_of`."""
        model = self.model
        with np.errstate(divide="ignore", invalid="ignore"):
            minus_inverse_rt = -1.0 / (np.asarray(temperature, dtype=float) * GAS_CONSTANT)
        if model.denaturation:
            table = {"delta_g0": [("k", minus_inverse_rt)], "m": [("k", minus_inverse_rt * solvent)],
                     "sigma": [("sigma", 1.0)]}
        elif model.constants and name in model.constants:
            table = {name: [("k" if name == "k_coop" else name, 1.0)]}
        else:
            inverse_r = 1.0 / GAS_CONSTANT
            table = {"delta_h": [("k", minus_inverse_rt)], "delta_s": [("k", inverse_r)],
                     "delta_h_nuc": [("sigma", minus_inverse_rt)],
                     "delta_h_iso": [("k_iso", minus_inverse_rt)], "delta_s_iso": [("k_iso", inverse_r)],
                     "delta_h_coop": [("k", minus_inverse_rt)], "delta_s_coop": [("k", inverse_r)],
                     "delta_h_nuc_coop": [("sigma", minus_inverse_rt)], "delta_s_nuc": [("sigma", inverse_r)]}
        return table.get(name, [])
