"""The linear algebra of a fit, block by block.

Nothing here holds a matrix as tall as the data: the points are taken in
blocks of a few thousand rows, each block's design (the baselines, slopes
and amplitudes of its curve), model derivatives and residuals are formed,
used and dropped.  What the optimiser sees is the R factor of the QR
decomposition of [Jacobian | residuals], stacked block by block (a tall,
skinny QR): with rho its last column and R the rest, |rho|^2 is chi2 and
R^T R, R^T rho are the Gauss-Newton matrix and gradient, so a trust-region
step on (rho, R) is the very step on the full problem, whatever its length.

The linear parameters (baselines, slopes, amplitudes) are projected out:
their best values come from the normal equations of the scaled design,
and the projected problem's R from the QR of [design | model derivatives |
residuals], whose lower right block is the QR of their parts orthogonal to
the design."""

from __future__ import annotations

import math
from typing import NamedTuple, Optional

import numpy as np
from scipy.signal import lfilter

from kelvara.fit.curves import REFERENCE_TEMPERATURE

# Doubles in one block's matrix: 1 MB, whatever the number of columns.
BLOCK_CELLS = 1 << 17
MIN_ROWS = 1024  # and at least this many rows
_KEPT_CELLS = 1 << 21  # doubles of every block's design that a projection keeps between its passes (16 MB)
_SLOPES = ("slope", "aggregate_slope")  # kinds whose regressor carries T - 298.15 K
_ON_FRACTION = ("amplitude", "aggregate_slope")  # kinds that multiply the fraction (the polymers')
_LINEAR = ("baseline", "slope", "amplitude", "aggregate_slope", "oligomer_amplitude", "amplitude_b")


class _Projection(NamedTuple):
    """The linear parameters solved for given nonlinear values: chi2, the
    best linear values, chi2 of each curve, and (rho, R) of the projected
    problem (None when not asked for)."""

    chi2: float
    beta: np.ndarray
    per_curve: np.ndarray
    rho: Optional[np.ndarray]
    factor: Optional[np.ndarray]


class _Stack:
    """The R factor of a tall matrix given block by block."""

    def __init__(self, columns):
        self.r = np.zeros((0, columns))

    def add(self, block):
        # A block touches few columns (its curve's baseline and amplitude,
        # the parameters that move its fraction): those are reduced on
        # their own first, then the small R joins the stack.
        used = np.flatnonzero(np.any(block != 0.0, axis=0))
        if used.size < block.shape[1]:
            local = np.linalg.qr(block[:, used], mode="r")
            block = np.zeros((local.shape[0], block.shape[1]))
            block[:, used] = local
        self.r = np.linalg.qr(np.vstack([self.r, block]), mode="r")

    def square(self):
        """R padded to a square (when fewer rows than columns came)."""
        columns = self.r.shape[1]
        out = np.zeros((columns, columns))
        out[: self.r.shape[0]] = self.r
        return out


class Blocks:
    """Mixin of _Problem: the blocks, the design and the compressed
    least-squares problems."""

    def _build_terms(self):
        """Per curve, the linear terms: (kind, column among the free linear
        parameters or None when fixed, fixed value); the blocks of rows."""
        offsets = np.cumsum([0] + [c.size for c in self.curves])
        self.rows = [slice(int(a), int(b)) for a, b in zip(offsets[:-1], offsets[1:])]
        column = {n: j for j, n in enumerate(self.free_linear)}
        self.terms = []
        for i in range(len(self.curves)):
            terms = []
            for kind in _LINEAR:
                name = self.per_curve.get((kind, i))
                if name is not None:
                    terms.append((kind, column.get(name), self.fixed.get(name, 0.0)))
            self.terms.append(terms)
        self.own_columns = [sorted({j for _, j, _ in terms if j is not None}) for terms in self.terms]
        width = len(self.free) + 2
        size = max(MIN_ROWS, BLOCK_CELLS // width)
        self.blocks = [(i, slice(a, min(a + size, c.size))) for i, c in enumerate(self.curves)
                       for a in range(0, c.size, size)]
        self.block_size = size

    def _regressors(self, i, part):
        """weight and T - 298.15 K (0 off temperature) at a block's points."""
        curve = self.curves[i]
        x = curve.x[part]
        dt = x - REFERENCE_TEMPERATURE if curve.vary == "temperature" else np.zeros(x.size)
        return self.weight(i, x), dt

    def _own_design(self, i, part, fraction, y):
        """A block's design over the free linear parameters of its own curve
        (its baseline, slope, amplitudes; shared ones too), those
        parameters' columns, and the right-hand side, weighted.  With species
        signals `fraction` has three columns, the fraction aggregated, the
        oligomers' and the polymers' shares: the amplitudes multiply the
        polymers' share."""
        weight, dt = self._regressors(i, part)
        n = part.stop - part.start
        columns = self.own_columns[i]
        design = np.zeros((n, len(columns)))
        rhs = np.array(y[part], dtype=float)
        oligomers = None
        if fraction.ndim == 2:
            oligomers, fraction = fraction[:, 1], fraction[:, 2]
        for kind, j, fixed in self.terms[i]:
            regressor = weight * (dt if kind in _SLOPES else 1.0)
            if kind in _ON_FRACTION:
                regressor = regressor * fraction
            elif kind == self.second_kind:
                regressor = regressor * oligomers
            if j is None:
                rhs -= fixed * regressor
            else:
                design[:, columns.index(j)] += regressor
        w = 1.0 if self.curve_weights is None else self.curve_weights[i]
        return design * w, columns, rhs * w

    def _block_jacobian(self, values, i, part, fraction, y, linear):
        """A block's Jacobian in every free parameter and its residuals at
        the linear values `linear` (free ones, by column), both weighted."""
        design, columns, rhs = self._own_design(i, part, fraction, y)
        jac = np.zeros((design.shape[0], len(self.free)))
        if self.free_thermo:
            jac[:, self.thermo_index] = self.model_slopes(values, i, part, linear, self.free_thermo)
        jac[:, self.linear_index[columns]] = design
        return jac, design @ linear[columns] - rhs

    def _amplitude(self, i, part, linear, kinds=_ON_FRACTION):
        """What multiplies the fraction (the polymers' share) at a block's
        points (weighted), at the linear values `linear` (free ones, by
        column)."""
        weight, dt = self._regressors(i, part)
        out = np.zeros(part.stop - part.start)
        for kind, j, fixed in self.terms[i]:
            if kind in kinds:
                out = out + weight * (dt if kind in _SLOPES else 1.0) * (fixed if j is None else linear[j])
        return out * (1.0 if self.curve_weights is None else self.curve_weights[i])

    def model_slopes(self, values, i, part, linear, names):
        """The model's derivatives in the nonlinear parameters `names` at a
        block's points (weighted), at the linear values `linear`: the
        amplitude times d fraction; with species signals each species'
        amplitude times d (its share)."""
        amplitude = self._amplitude(i, part, linear)
        if not self.species:
            return amplitude[:, None] * self.block_slopes(values, i, part, names)
        second = self._amplitude(i, part, linear, (self.second_kind,))
        return (amplitude[:, None] * self.block_slopes(values, i, part, names, "first")
                + second[:, None] * self.block_slopes(values, i, part, names, "second"))

    def _data(self, data):
        return self.observed if data is None else data

    def projection(self, theta, data=None, factor=True):
        """For free nonlinear values theta: the best linear values, chi2
        (total and per curve) and, with `factor`, (rho, R) of the projected
        problem.  None where the model cannot be evaluated."""
        key = (tuple(np.asarray(theta, dtype=float).tolist()), factor)
        cached = self._projected
        if cached is not None and cached[0] == key and cached[1] is data:
            return cached[2]
        values = self.thermo_values(theta)
        fractions = self.fractions(values, slopes=factor)
        if fractions is None:
            return None
        out = self._project(values, fractions, self._data(data), factor)
        self._projected = (key, data, out)
        return out

    def _project(self, values, fractions, y, factor):
        linear = len(self.free_linear)
        gram = np.zeros((linear, linear))
        moment = np.zeros(linear)
        # The blocks' designs are kept for the second pass where they are
        # small beside the data (else made again, block by block).
        kept = [] if self.n_points * (max(map(len, self.own_columns), default=0) + 1) <= _KEPT_CELLS else None
        for i, part in self.blocks:
            # A block moves its own curve's columns only: their small gram.
            made = self._own_design(i, part, fractions[i][part], y[i])
            design, columns, rhs = made
            gram[np.ix_(columns, columns)] += design.T @ design
            moment[columns] += design.T @ rhs
            if kept is not None:
                kept.append(made)
        beta = _solve_normal(gram, moment) if linear else np.zeros(0)
        if not np.all(np.isfinite(beta)):
            return None
        per_curve = np.zeros(len(self.curves))
        names = self.free_thermo
        # A regressor that is zero at every point (a species no curve holds)
        # fixes nothing; left in, it would shift the rows of R that belong to
        # the design and hide part of chi2 from the projected problem.
        used = np.diag(gram) > 0.0
        width = int(used.sum())
        stack = _Stack(width + len(names) + 1) if factor else None
        for b, (i, part) in enumerate(self.blocks):
            design, columns, rhs = kept[b] if kept is not None else self._own_design(i, part, fractions[i][part], y[i])
            r = design @ beta[columns] - rhs
            per_curve[i] += float(r @ r)
            if stack is not None:
                full = np.zeros((design.shape[0], linear))
                full[:, columns] = design
                design = full
                slopes = self.model_slopes(values, i, part, beta, names)
                # A derivative the kernels cannot give (an overflowing
                # constant) is a flat direction to the optimiser.
                slopes[~np.isfinite(slopes)] = 0.0
                stack.add(np.column_stack([design[:, used], slopes, -rhs]))
        chi2 = float(per_curve.sum())
        if not math.isfinite(chi2):
            return None
        rho = jac = None
        if stack is not None:
            r = stack.square()[width:, width:]
            rho, jac = r[:, -1].copy(), r[:, :-1].copy()
            if not (np.all(np.isfinite(rho)) and np.all(np.isfinite(jac))):
                return None
        return _Projection(chi2, beta, per_curve, rho, jac)

    def compressed(self, x, data=None, keep=None):
        """(rho, R) of the full problem at the free values x (columns
        `keep` of the free parameters, all by default), or None where the
        model cannot be evaluated."""
        values = self.values(x)
        fractions = self.fractions(values)
        if fractions is None:
            return None
        y = self._data(data)
        keep = np.arange(len(self.free)) if keep is None else np.asarray(keep, dtype=int)
        linear = np.asarray(x, dtype=float)[self.linear_index]
        stack = _Stack(keep.size + 1)
        for i, part in self.blocks:
            jac, r = self._block_jacobian(values, i, part, fractions[i][part], y[i], linear)
            stack.add(np.column_stack([jac[:, keep], r]))
        r = stack.square()
        rho, jac = r[:, -1].copy(), r[:, :-1].copy()
        if not (np.all(np.isfinite(rho)) and np.all(np.isfinite(jac))):
            return None
        return rho, jac

    def correlated_gram(self, x, rho):
        """J^T Sigma J at the free values x for noise correlated within each
        curve as a first-order autoregression of unit variance, lag-1
        correlation rho[i] for curve i (Sigma_st = rho^|s - t|; 0: white):
        the middle of the sandwich covariance.  The double sum is taken in
        one forward pass, J^T J + rho sum_t (J_t F_{t-1}^T + F_{t-1} J_t^T)
        with F_t = J_t + rho F_{t-1}, so it goes block by block like the
        rest.  None where the model cannot be evaluated."""
        values = self.values(x)
        fractions = self.fractions(values)
        if fractions is None:
            return None
        linear = np.asarray(x, dtype=float)[self.linear_index]
        p = len(self.free)
        gram = np.zeros((p, p))
        carry = None  # F at the last row of the curve's previous block
        for i, part in self.blocks:
            jac, _ = self._block_jacobian(values, i, part, fractions[i][part], self.observed[i], linear)
            gram += jac.T @ jac
            r = float(rho[i])
            if r == 0.0:
                continue
            if part.start == 0:
                carry = np.zeros(p)
            filtered = lfilter([1.0], [1.0, -r], jac, axis=0, zi=(r * carry)[None, :])[0]
            before = np.vstack([carry[None, :], filtered[:-1]])  # F_{t-1}
            cross = jac.T @ before
            gram += r * (cross + cross.T)
            carry = filtered[-1].copy()
        return gram if np.all(np.isfinite(gram)) else None

    def flat_chi2(self):
        """chi2 of baselines (and slopes) alone: every fraction zero."""
        zeros = [np.zeros((c.size, 3) if self.species else c.size) for c in self.curves]
        return self._project({}, zeros, self.observed, False).chi2

    def penalty_rho(self, columns):
        """What a failed evaluation gives the optimiser: chi2 as a constant
        residual of `penalty` at every point would, and no slope."""
        rho = np.zeros(columns + 1)
        rho[-1] = self.penalty * math.sqrt(self.n_points)
        return rho


def _solve_normal(gram, moment):
    """The linear least-squares solution from the normal equations of the
    column-scaled design: the system is a few columns wide, and the scaling
    keeps it accurate for the well-posed systems of a fit; a singular one
    gets the minimum-norm solution."""
    if not (np.all(np.isfinite(gram)) and np.all(np.isfinite(moment))):
        # LAPACK may never return on non-finite input.
        return np.full(gram.shape[0], math.nan)
    norms = np.sqrt(np.diag(gram))
    norms[norms == 0.0] = 1.0
    return np.linalg.lstsq(gram / np.outer(norms, norms), moment / norms, rcond=1e-13)[0] / norms
