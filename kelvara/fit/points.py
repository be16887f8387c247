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

from typing import Any, List, Tuple

import numpy as np

from kelvara import _kernels
from kelvara.models import EXACT_STEPS, GAS_CONSTANT, Doubles, constants

# Two pathways' inputs, in solve_pathways' order (every other kernel's are
# the list _kernels.MODELS declares for it).
_PATHWAY_SLOTS = ("k", "sigma", "k_b", "sigma_b")


class Workspace:
    """A workspace of the kernels for up to `capacity` points of one model.

    `solve(values, temperature, conc, solvent)` takes the plain values of
    the parameters (log-scale ones as themselves) and the points: K per
    point (NaN where a series at one temperature has none), c_tot per point,
    the good-solvent fraction per point (denaturation).  It returns the
    fractions and keeps their derivatives in the logarithms of the constants
    in `slopes_of`; both are views valid until the next call."""

    def __init__(self, model, nuc_size, capacity):
        self.model = model
        self.code, self.declared = _kernels.MODELS[model.kernel]  # its code, and its inputs in their order
        self.nuc_size = int(nuc_size) if model.takes_nuc_size else 0
        self.capacity = int(capacity)
        self.slots = model.slots  # the kernels' input of each constant, by its name
        self.inputs = {name: Doubles(self.capacity) for name in self.slots}
        self.fraction = Doubles(self.capacity)
        self.monomer = Doubles(self.capacity)
        self.slopes_of = {slot: Doubles(self.capacity) for slot in self.slots.values()}
        self.pathways = bool(model.pathways)
        if self.pathways:  # B's share and the 8 blocks of derivatives
            self.share_b = Doubles(self.capacity)
            self.blocks = Doubles(8 * self.capacity)

    def solve(self, values, temperature, conc, solvent=None, slopes=True):
        """The fraction aggregated at every point; with `slopes`, its
        derivatives are left in `slopes_of`.  Raises the model's
        ValueError where a solver fails."""
        temperature = np.asarray(temperature, dtype=float)
        n = temperature.size
        if n > self.capacity:
            raise ValueError(f"{n} points exceed the workspace of {self.capacity}")
        constants(self.model, values, temperature, solvent, into=self.inputs)
        by_slot = {slot: self.inputs[name].raw for name, slot in self.slots.items()}
        conc = np.broadcast_to(np.asarray(conc, dtype=float), (n,))
        self.conc = conc
        if self.pathways:
            return self._solve_pathways(by_slot, n, slopes)
        _kernels.solve(self.code, self.nuc_size, EXACT_STEPS, np.ascontiguousarray(conc).tobytes(),
                       tuple(by_slot[slot] for slot in self.declared), self.fraction.raw, self.monomer.raw,
                       tuple(self.slopes_of[slot].raw for slot in self.declared) if slopes else None)
        return self.fraction.array[:n]

    def _solve_pathways(self, by_slot, n, slopes):
        k, sigma, k_b, sigma_b = (by_slot[s] for s in _PATHWAY_SLOTS)
        _kernels.solve_pathways(np.ascontiguousarray(self.conc).tobytes(), k, sigma, k_b, sigma_b,
                                self.fraction.raw, self.monomer.raw, self.share_b.raw,
                                self.blocks.raw if slopes else None)
        if slopes:
            blocks = self.blocks.array[: 8 * n].reshape(8, n)
            for j, slot in enumerate(_PATHWAY_SLOTS):
                self.slopes_of[slot].array[:n] = blocks[j]
        return self.fraction.array[:n]

    def species(self, slopes=True):
        """(second, first, moves): the shares of c_tot held in the two kinds
        of aggregate with signals of their own, at the points of the last
        `solve`, and with `slopes` their derivatives by kernel input
        ({("second", "k"): ..., ...}).  Two pathways: B's share and A's.
        Else oligomers up to the nucleus (sizes 2 to n, each formed with
        sigma k) and polymers beyond it:

        With x = k m, y = sigma x, u = 1 - x and q = y^(n-1), the oligomers
        hold m sum_{i=2}^{n} i y^(i-1) and the polymers m x q ((n + 1) -
        n x) / u^2 (the series sum_{i>n} i x^i in closed form).  At fixed m
        the oligomers move by m sum i (i - 1) y^(i-1) in either logarithm,
        the polymers by m x q (B - A) in ln k and (n - 1) times their share
        in ln sigma, with A = ((n + 1) - n x) / u^2 and B = ((n + 1)^2 -
        n (n + 2) x) / u^2 + 2 x ((n + 1) - n x) / u^3 (sum i^2 x^i over
        sum i x^i, times the latter's A); and m itself moves by dm = -c_tot
        d fraction (the root of the mass balance), which moves the
        oligomers by sum i^2 y^(i-1) dm and the polymers by x q B dm.
        Where the polymers hold more than half the aggregate they are the
        fraction less the oligomers (and so are their derivatives)."""
        count = self.conc.size
        if self.pathways:
            second = self.share_b.array[:count]
            first = self.fraction.array[:count] - second
            if not slopes:
                return second, first, {}
            blocks = self.blocks.array[: 8 * count].reshape(8, count)
            moves = {}
            for j, slot in enumerate(_PATHWAY_SLOTS):
                moves["second", slot] = blocks[4 + j]
                moves["first", slot] = blocks[j] - blocks[4 + j]
            return second, first, moves
        k = self.inputs[self._rate("k")].array[:count]
        sigma = self.inputs[self._rate("sigma")].array[:count]
        m = self.monomer.array[:count]
        n = max(self.nuc_size, 2)
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            x = k * m
            y = sigma * x
            q = np.ones(count)
            held = np.zeros(count)  # sum i y^(i-1)
            paired = np.zeros(count)  # sum i (i-1) y^(i-1)
            squared = np.zeros(count)  # sum i^2 y^(i-1)
            for i in range(2, n + 1):
                q = q * y
                held += i * q
                paired += (i * (i - 1)) * q
                squared += (i * i) * q
            u = 1.0 - x  # q is y^(n-1) by now
            a = ((n + 1) - n * x) / (u * u)
            b = ((n + 1) ** 2 - n * (n + 2) * x) / (u * u) + 2.0 * x * ((n + 1) - n * x) / (u * u * u)
            xq = x * q
            oligomers = m * held / self.conc
            polymers = m * xq * a / self.conc
            # Where the polymers hold most, x is near 1 and u = 1 - x has
            # lost digits: there they are the fraction less the oligomers.
            total = self.fraction.array[:count]
            most = (total > 0.0) & (polymers > 0.5 * total)
            polymers = np.where(most, total - oligomers, polymers)
            if not slopes:
                return oligomers, polymers, {}
            moves = {}
            for slot in ("k", "sigma"):
                d_fraction = self.slopes_of[slot].array[:count]
                moves["second", slot] = m * paired / self.conc - squared * d_fraction
                own = m * xq * (b - a) / self.conc if slot == "k" else (n - 1) * polymers
                moves["first", slot] = np.where(most, d_fraction - moves["second", slot],
                                                   own - xq * b * d_fraction)
            return oligomers, polymers, moves

    def _rate(self, slot):
        """The name of the input that feeds kernel slot `slot`."""
        return next(name for name, own in self.slots.items() if own == slot)

    def factors(self, name, temperature, solvent=None):
        """(kernel input, d ln constant / d value) pairs of a parameter at
        the points (`temperature` and `solvent` per point): how the parameter
        moves the logarithms of the constants, whose derivatives solve()
        leaves in `slopes_of`."""
        model = self.model
        with np.errstate(divide="ignore", invalid="ignore"):
            minus_inverse_rt = -1.0 / (np.asarray(temperature, dtype=float) * GAS_CONSTANT)
        if model.denaturation:
            table = {"delta_g0": [("k", minus_inverse_rt)], "m": [("k", minus_inverse_rt * solvent)],
                     "sigma": [("sigma", 1.0)]}
            return table.get(name, [])
        if name in model.constants:
            return [(self.slots[name], 1.0)]
        out: List[Tuple[str, Any]] = []
        for rate in model.rates:
            if name == rate.enthalpy:
                out.append((rate.slot, minus_inverse_rt))
            elif name == rate.entropy:
                out.append((rate.slot, 1.0 / GAS_CONSTANT))
        return out
