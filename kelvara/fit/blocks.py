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
their best values come from the normal equations of the scaled design, and
the projected problem's R is the QR of [model derivatives | residuals]
orthogonal to the design (the lower right block of the QR of [design |
model derivatives | residuals]).  The search evaluates that many times
over; it goes through the data in chunks that hold many curves at once,
each curve's few design columns side by side, so that its cost is in the
points, not in the number of curves."""

from __future__ import annotations

import math
from typing import Any, Dict, List, NamedTuple, Optional, cast

import numpy as np
from scipy.signal import lfilter

from kelvara.fit.parts import ProblemParts

# Doubles in one block's matrix: 1 MB, whatever the number of columns.
BLOCK_CELLS = 1 << 17
MIN_ROWS = 1024  # and at least this many rows
_SLOPES = ("slope", "aggregate_slope")  # kinds whose regressor carries T - 298.15 K
_ON_FRACTION = ("amplitude", "aggregate_slope")  # kinds that multiply the fraction (the polymers')
_LINEAR = ("baseline", "slope", "amplitude", "aggregate_slope", "oligomer_amplitude", "amplitude_b")
_CHUNK_BLOCKS = 4  # a chunk's temporaries: up to this many blocks' worth of doubles (4 MB)
_KEPT_POINTS = 1 << 18  # up to this many points, the chunks' fixed rows are kept between projections


class _Chunk(NamedTuple):
    """Rows start to stop of the data (every curve's points in order): the
    pieces of curves they hold, (curve index, points of that curve), and
    where each piece begins within the chunk."""

    start: int
    stop: int
    pieces: list
    curves: np.ndarray
    offsets: np.ndarray


class _Rows(NamedTuple):
    """What a chunk's rows carry whatever the parameters: the curve of each
    row, its weight on the baseline and amplitudes (c_tot / c_ref for an
    extensive signal, times the curve's weight), the curve's weight alone,
    T - 298.15 K (0 off temperature), the kernels' temperature and good-
    solvent fraction (or None), and the observed signal (scaled)."""

    curve: np.ndarray
    weight: np.ndarray
    curve_weight: np.ndarray
    dt: np.ndarray
    temperature: np.ndarray
    solvent: Optional[np.ndarray]
    observed: Optional[np.ndarray]


class _Projection(NamedTuple):
    """The linear parameters solved for given nonlinear values: chi2, the
    best linear values, chi2 of each curve, and (rho, R) of the projected
    problem (None when not asked for)."""

    chi2: float
    beta: np.ndarray
    per_curve: np.ndarray
    rho: Optional[np.ndarray]
    factor: Optional[np.ndarray]


class _Zeros:
    """Fractions of zero at every point, made a chunk at a time as asked for
    (not an array as large as the data)."""

    def __init__(self, columns):
        self.columns = columns

    def __getitem__(self, part):
        count = part.stop - part.start
        return np.zeros((count, self.columns) if self.columns else count)


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
            local = cast(np.ndarray, np.linalg.qr(block[:, used], mode="r"))
            block = np.zeros((local.shape[0], block.shape[1]))
            block[:, used] = local
        self.r = cast(np.ndarray, np.linalg.qr(np.vstack([self.r, block]), mode="r"))

    def square(self):
        """R padded to a square (when fewer rows than columns came)."""
        columns = self.r.shape[1]
        out = np.zeros((columns, columns))
        out[: self.r.shape[0]] = self.r
        return out


class Blocks(ProblemParts):
    """Mixin of _Problem: the blocks, the design and the compressed
    least-squares problems."""

    def _build_terms(self):
        """Per curve, the linear terms: (kind, column among the free linear
        parameters or None when fixed, fixed value); the blocks of rows."""
        offsets = np.cumsum([0] + [c.size for c in self.curves])
        self.rows = [slice(int(a), int(b)) for a, b in zip(offsets[:-1], offsets[1:])]
        column = {n: j for j, n in enumerate(self.free_linear)}
        self.linear_terms = []
        for i in range(len(self.curves)):
            terms = []
            for kind in _LINEAR:
                name = self.per_curve.get((kind, i))
                if name is not None:
                    terms.append((kind, column.get(name), self.fixed.get(name, 0.0)))
            self.linear_terms.append(terms)
        self.own_columns = [sorted({j for _, j, _ in terms if j is not None}) for terms in self.linear_terms]
        width = len(self.free) + 2
        size = max(MIN_ROWS, BLOCK_CELLS // width)
        self.blocks = [(i, slice(a, min(a + size, c.size))) for i, c in enumerate(self.curves)
                       for a in range(0, c.size, size)]
        self.block_size = size
        # Per curve and kind of linear term: its column among the free
        # linear parameters (-1: fixed or absent) and its fixed value.
        self.kind_columns = np.full((len(self.curves), len(_LINEAR)), -1)
        self.kind_fixed = np.zeros((len(self.curves), len(_LINEAR)))
        for i, terms in enumerate(self.linear_terms):
            for kind, j, fixed in terms:
                if j is None:
                    self.kind_fixed[i, _LINEAR.index(kind)] = fixed
                else:
                    self.kind_columns[i, _LINEAR.index(kind)] = j
        self.kinds_used = [k for k in range(len(_LINEAR))
                           if np.any(self.kind_columns[:, k] >= 0) or np.any(self.kind_fixed[:, k] != 0.0)]
        k, t = len(self.kinds_used), len(self.free_thermo)
        rows = max(MIN_ROWS, _CHUNK_BLOCKS * BLOCK_CELLS // (k * (k + 2 * t + 1) + t + 8))
        self.chunks = []
        pieces, start, filled = [], 0, 0
        for i, curve in enumerate(self.curves):
            a = 0
            while a < curve.size:
                b = min(curve.size, a + rows - filled)
                pieces.append((i, slice(a, b)))
                filled += b - a
                a = b
                if filled == rows:
                    self.chunks.append(_chunk(start, pieces))
                    pieces, start, filled = [], start + filled, 0
        if pieces:
            self.chunks.append(_chunk(start, pieces))
        self._rows_kept = None

    def _regressors(self, i, part):
        """weight and T - 298.15 K (0 off temperature) at a block's points."""
        curve = self.curves[i]
        x = curve.x[part]
        return self.weight(i, x), self.terms[i].slope_axis(curve, x)

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
        for kind, j, fixed in self.linear_terms[i]:
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
        for kind, j, fixed in self.linear_terms[i]:
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
        if self.fractions(values, slopes=factor) is None:
            return None
        out = self._project(values, self._fraction, data, factor)
        self._projected = (key, data, out)
        return out

    def _chunk_rows(self, chunk):
        """The fixed rows of a chunk (see _Rows)."""
        parts = []
        for i, part in chunk.pieces:
            curve = self.curves[i]
            weight, dt = self._regressors(i, part)
            scale = 1.0 if self.curve_weights is None else float(self.curve_weights[i])
            temperature, _, solvent = self._axes(curve, curve.x[part])
            parts.append((np.full(dt.size, i), np.broadcast_to(weight * scale, dt.shape), np.full(dt.size, scale),
                          dt, temperature, np.zeros(dt.size) if solvent is None else solvent,
                          self.observed[i][part]))
        columns: List[Any] = [np.concatenate(c) for c in zip(*parts)]
        if not self.model.denaturation:
            columns[5] = None
        return _Rows(*columns)

    def _rows(self, chunk_index, data):
        """A chunk's fixed rows, kept between projections up to _KEPT_POINTS
        points, with the signal `data` (None: the observed one)."""
        if self._rows_kept is None or self._rows_kept[0] is not self.curve_weights:
            self._rows_kept = (self.curve_weights, {})
        kept: Dict[int, Any] = self._rows_kept[1]
        rows = kept.get(chunk_index)
        if rows is None:
            rows = self._chunk_rows(self.chunks[chunk_index])
            if self.n_points <= _KEPT_POINTS:
                kept[chunk_index] = rows
        if data is not None:
            chunk = self.chunks[chunk_index]
            rows = rows._replace(observed=np.concatenate([np.asarray(data[i][part], dtype=float)
                                                          for i, part in chunk.pieces]))
        return rows

    def _regressors_of(self, rows, fraction):
        """The regressors of the linear kinds in use, one column each, at a
        chunk's rows: weight times 1, dt, the fraction (polymers' share),
        dt times it, the second species' share."""
        if fraction.ndim == 2:
            second, fraction = fraction[:, 1], fraction[:, 2]
        else:
            second = np.zeros(fraction.shape)
        w, dt = rows.weight, rows.dt
        out = np.empty((w.size, len(self.kinds_used)))
        for column, kind in enumerate(self.kinds_used):
            on = (1.0, dt, fraction, dt * fraction, second, second)[kind]
            np.multiply(w, on, out=out[:, column])
        return out

    def _project(self, values, whole, y, factor):
        """The projection (see _Projection) with the fractions of every point
        in `whole` (one column, or three with species signals) and the
        signal `y` (None: the observed one)."""
        used = self.kinds_used
        free = self.kind_columns[:, used] >= 0  # per curve and kind in use
        curves, names = len(self.curves), self.free_thermo
        # Each curve's normal equations over its own kinds: design^T design
        # and design^T signal, the fixed kinds' share taken off the signal.
        squares = np.zeros((curves, len(used), len(used)))
        sums = np.zeros((curves, len(used)))
        fixed = self.kind_fixed[:, used]
        kept: Optional[List[Any]] = [] if self.n_points <= _KEPT_POINTS else None
        for c, chunk in enumerate(self.chunks):
            rows = self._rows(c, y)
            design = self._regressors_of(rows, whole[chunk.start:chunk.stop])
            rhs = rows.observed * rows.curve_weight
            if np.any(fixed != 0.0):
                rhs = rhs - np.einsum("nk,nk->n", design, fixed[rows.curve])
            np.add.at(squares, chunk.curves,
                      np.add.reduceat(design[:, :, None] * design[:, None, :], chunk.offsets, axis=0))
            np.add.at(sums, chunk.curves, np.add.reduceat(design * rhs[:, None], chunk.offsets, axis=0))
            if kept is not None:
                kept.append([rows, design, None])
        solve = self._normal_solver(squares * (free[:, :, None] & free[:, None, :]))
        beta = solve(sums * free)
        if beta is None:
            return None
        by_kind = self.kind_fixed[:, used] + beta  # every curve's linear values, the fixed ones too
        every_kind = self.kind_fixed.copy()
        every_kind[:, used] = by_kind
        per_curve = np.zeros(curves)
        moved = np.zeros((curves, len(used), len(names)))  # design^T (model derivatives)
        for c, chunk in enumerate(self.chunks):
            rows, design, _ = kept[c] if kept is not None else (self._rows(c, y), None, None)
            if design is None:
                design = self._regressors_of(rows, whole[chunk.start:chunk.stop])
            r = np.einsum("nk,nk->n", design, by_kind[rows.curve]) - rows.observed * rows.curve_weight
            np.add.at(per_curve, chunk.curves, np.add.reduceat(r * r, chunk.offsets))
            if factor:
                slopes = self._chunk_slopes(values, chunk, rows, every_kind)
                np.add.at(moved, chunk.curves,
                          np.add.reduceat(design[:, :, None] * slopes[:, None, :], chunk.offsets, axis=0))
                if kept is not None:
                    kept[c][2] = (slopes, r)
        chi2 = float(per_curve.sum())
        if not math.isfinite(chi2):
            return None
        linear = np.zeros(len(self.free_linear))
        linear[self.kind_columns[:, used][free]] = beta[free]
        if not factor:
            return _Projection(chi2, linear, per_curve, None, None)
        # The model's derivatives orthogonal to the design: less their least-
        # squares fit by the design's columns (the residuals are already).
        fitted = solve(moved * free[:, :, None])
        if fitted is None:
            return None
        stack = _Stack(len(names) + 1)
        for c, chunk in enumerate(self.chunks):
            if kept is not None:
                rows, design, (slopes, r) = kept[c]
            else:
                rows = self._rows(c, y)
                design = self._regressors_of(rows, whole[chunk.start:chunk.stop])
                slopes = self._chunk_slopes(values, chunk, rows, every_kind)
                r = np.einsum("nk,nk->n", design, by_kind[rows.curve]) - rows.observed * rows.curve_weight
            block = np.column_stack([slopes - np.einsum("nk,nkt->nt", design, fitted[rows.curve]), r])
            # Curve by curve: each moves few of the columns (its own
            # parameters' and the shared ones), which are reduced alone.
            for start, stop in zip(chunk.offsets, [*chunk.offsets[1:], block.shape[0]]):
                stack.add(block[start:stop])
        r = stack.square()
        rho, jac = r[:, -1].copy(), r[:, :-1].copy()
        if not (np.all(np.isfinite(rho)) and np.all(np.isfinite(jac))):
            return None
        return _Projection(chi2, linear, per_curve, rho, jac)

    def _normal_solver(self, squares):
        """Solves the design's normal equations, given each curve's gram over
        its free kinds (0 elsewhere), for right-hand sides given the same
        way (per curve and kind, then any trailing axes), answering per
        curve and kind (0 for kinds not free), or None when not finite.
        Where no linear parameter is shared between curves, the equations
        are each curve's own, solved all at once; otherwise they are
        gathered into one system."""
        used = self.kinds_used
        free = self.kind_columns[:, used] >= 0
        columns = self.kind_columns[:, used][free]
        if not np.all(np.isfinite(squares)):
            return lambda rhs: None  # LAPACK may never return on non-finite input
        if columns.size == np.unique(columns).size:
            norms = np.sqrt(np.einsum("ckk->ck", squares))
            norms[norms == 0.0] = 1.0
            inverse = np.linalg.pinv(squares / (norms[:, :, None] * norms[:, None, :]), rcond=1e-13, hermitian=True)

            def each(rhs):
                shape = (slice(None), slice(None)) + (None,) * (rhs.ndim - 2)
                out = np.einsum("ckl,cl...->ck...", inverse, rhs / norms[shape]) / norms[shape]
                return out if np.all(np.isfinite(out)) else None
            return each
        count = len(self.free_linear)
        gram = np.zeros((count, count))
        pairs = free[:, :, None] & free[:, None, :]
        where = np.broadcast_to(self.kind_columns[:, used][:, :, None], pairs.shape)
        np.add.at(gram, (where[pairs], np.swapaxes(where, 1, 2)[pairs]), squares[pairs])

        def solve(rhs):
            moment = np.zeros((count,) + rhs.shape[2:])
            np.add.at(moment, columns, rhs[free])
            solution = _solve_normal(gram, moment)
            if not np.all(np.isfinite(solution)):
                return None
            out = np.zeros(rhs.shape)
            out[free] = solution[columns]
            return out
        return solve

    def _chunk_slopes(self, values, chunk, rows, by_kind):
        """The model's derivatives in the free nonlinear parameters at a
        chunk's rows (weighted), at the linear values `by_kind` (per curve
        and kind): the amplitude times d fraction, with species signals each
        species' amplitude times d (its share).  A derivative the kernels
        cannot give (an overflowing constant) is a flat direction: 0."""
        names = self.free_thermo
        curve = rows.curve
        amplitude = rows.weight * (by_kind[curve, 2] + rows.dt * by_kind[curve, 3])
        if not self.species:
            out = amplitude[:, None] * self.span_slopes(values, chunk, rows, names)
        else:
            second = rows.weight * by_kind[curve, _LINEAR.index(self.second_kind)]
            out = (amplitude[:, None] * self.span_slopes(values, chunk, rows, names, "first")
                   + second[:, None] * self.span_slopes(values, chunk, rows, names, "second"))
        out[~np.isfinite(out)] = 0.0
        return out

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
        carry: Any = None  # F at the last row of the curve's previous block
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
        return self._project({}, _Zeros(3 if self.species else 0), None, False).chi2

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
    scale = norms if moment.ndim == 1 else norms[:, None]
    return np.linalg.lstsq(gram / np.outer(norms, norms), moment / scale, rcond=1e-13)[0] / scale


def _chunk(start, pieces):
    lengths = [part.stop - part.start for _, part in pieces]
    offsets = np.cumsum([0] + lengths[:-1])
    return _Chunk(start, start + sum(lengths), pieces, np.array([i for i, _ in pieces]), offsets)
