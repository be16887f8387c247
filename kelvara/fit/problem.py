"""The fit as a least-squares problem: the parameter vector (free, fixed,
bounded, log-scaled), the signal's scaling, the model's fractions, the
residuals, the baselines and amplitudes solved exactly for given
thermodynamic parameters, and the Jacobian.  Derived values come from the
`_DerivedValues` mixin (derived.py)."""

from __future__ import annotations

import math

import numpy as np
from scipy.optimize import least_squares

from kelvara.fit.curves import REFERENCE_TEMPERATURE, VARIED, _signal_scale
from kelvara.fit.derived import _DerivedValues
from kelvara.fit.noise import _curve_weights, _noise_values
from kelvara.fit.points import _Points
from kelvara.models import EXPERIMENTS, MODELS, curve_fraction_slopes


class _Exhausted(Exception):
    """The caller's cap on model evaluations was reached."""


class _Problem(_DerivedValues):
    """The parameter vector, the residuals and the derived values of a fit.

    Internally the signal is divided by one scale (the largest change within
    a curve), so baselines, slopes and amplitudes are of order one whatever
    the signal's unit; they are multiplied back on the way out.  Everything
    else, the optimiser's path included, then does not depend on that unit.
    """

    def __init__(self, curves, model, nuc_size, shared_amplitude, shared_baseline, baseline_slope,
                 start, fix, bounds, budget=None, aggregate_slope=False, extensive=False, shared=()):
        self.curves = curves
        self.model = model
        self.nuc_size = nuc_size
        self.curve_index = {id(c): i for i, c in enumerate(curves)}
        # The nonlinear parameters: the model's shared thermodynamic ones, or
        # a phenomenological model's per curve (one name when shared).
        unknown = sorted(set(shared) - set(model.per_curve))
        if unknown:
            raise ValueError(f"cannot share {unknown[0]!r}: the per-curve parameters of {model.name!r} are "
                             f"{', '.join(model.per_curve) or 'none'}")
        self.kinds = [kind for kind in VARIED if any(c.vary == kind for c in curves)]
        for kind in self.kinds:
            if kind not in model.experiments:
                raise ValueError(_experiment_mismatch(model, kind))
        # A series at one temperature determines the constants there, not
        # their temperature dependence; several temperatures, or temperature
        # curves beside it, share the thermodynamic parameters.
        self.at_one_temperature = bool(model.constants) and self.kinds == ["concentration"] and \
            len({c.temperature for c in curves}) == 1
        self.nonlinear = list(model.constants if self.at_one_temperature else model.thermo)
        if not self.at_one_temperature and any(c.vary == "concentration" and c.temperature is None
                                               for c in curves):
            raise ValueError("a fit across temperatures needs the temperature of every concentration series")
        for name in model.per_curve:
            self.nonlinear += [name] if name in shared else [f"{name}[{i}]" for i in range(len(curves))]
        self.nonlinear_set = set(self.nonlinear)
        self.log_names = {n for n in self.nonlinear if n.split("[")[0] in model.log_scale}
        if self.at_one_temperature:
            self.log_names = set(self.nonlinear)
        self.names = list(self.nonlinear)
        self.per_curve = {}  # (kind, curve index) -> name
        for kind, shared, wanted in (("baseline", shared_baseline, True), ("slope", shared_baseline, baseline_slope),
                                     ("amplitude", shared_amplitude, True),
                                     ("aggregate_slope", shared_amplitude, aggregate_slope)):
            if not wanted:
                continue
            if kind in ("slope", "aggregate_slope") and "temperature" not in self.kinds:
                raise ValueError(f"{'baseline_slope' if kind == 'slope' else kind} applies to curves "
                                 "against temperature")
            for i in range(len(curves)):
                if kind in ("slope", "aggregate_slope") and curves[i].vary != "temperature":
                    continue
                name = kind if shared else f"{kind}[{i}]"
                if name not in self.names:
                    self.names.append(name)
                self.per_curve[kind, i] = name
        for given in (start, fix, bounds):
            unknown = sorted(set(given) - set(self.names))
            if unknown:
                raise ValueError(
                    f"unknown parameter {unknown[0]!r} for model {model.name!r}; "
                    f"its parameters are {', '.join(self.names)}"
                )
        self.scale = _signal_scale(curves)
        # An extensive signal is c_tot (baseline + amplitude fraction): the
        # regressors carry c_tot / c_ref, c_ref the geometric mean, so that
        # the internal values stay of order one.
        self.extensive = extensive
        self.c_ref = math.exp(float(np.mean([np.mean(np.log(c.concentrations())) for c in curves]))) \
            if extensive else 1.0
        self.observed = [c.signal / self.scale for c in curves]
        # Each point against its neighbours: what the noise is read from, once.
        self.noise_values = [_noise_values(c, y) for c, y in zip(curves, self.observed)]
        self.curve_weights, self.weight_note = _curve_weights(curves, self.noise_values)
        self.fixed = {n: self.internal(n, float(v)) for n, v in fix.items()}
        self.free = [n for n in self.names if n not in self.fixed]
        self.bounds = {}
        for name in self.names:
            low, high = (float(b) for b in bounds.get(name, (-math.inf, math.inf)))
            if not low < high:
                raise ValueError(f"bounds of {name!r} are empty: {low} to {high}")
            if name in self.log_names:
                if high <= 0:
                    raise ValueError(f"bounds of {name!r} hold no positive value: {low} to {high}")
                self.bounds[name] = (-math.inf if low <= 0 else math.log10(low), math.log10(high))
            else:
                self.bounds[name] = (self.internal(name, low), self.internal(name, high))
        self.n_points = sum(c.size for c in curves)
        if self.n_points <= len(self.free):
            raise ValueError(
                f"{self.n_points} points cannot determine {len(self.free)} free parameters"
            )
        self.free_thermo = [n for n in self.free if n in self.nonlinear_set]
        self.free_linear = [n for n in self.free if n not in self.nonlinear_set]
        self.thermo_index = np.array([self.free.index(n) for n in self.free_thermo], dtype=int)
        self.linear_index = np.array([self.free.index(n) for n in self.free_linear], dtype=int)
        self._build_design()
        self.points = self._points(curves, [c.x for c in curves]) if model.mass_balance else None
        self._evaluated = None  # (key, fractions): the last evaluation, its slopes in self.points
        self._projected = None  # (key, data, residuals, beta, design): the last projection
        self.nfev = 0
        self.budget = budget
        self.penalty = 1e3
        self.frozen_branches = None  # per curve: where a piecewise model switches, held for a derivative

    def internal(self, name, value):
        if name in self.log_names:
            if value < 0 or math.isnan(value):
                raise ValueError(f"{name} must be positive, not {value!r}")
            return math.log10(value) if value > 0 else -math.inf
        return value if name in self.nonlinear_set else value * self.c_ref / self.scale

    def external(self, name, value):
        if name in self.log_names:
            return 10.0 ** value
        return value if name in self.nonlinear_set else value * self.scale / self.c_ref

    def external_slope(self, name, value):
        """d external / d internal at an internal value: what turns an
        internal standard error into an external one."""
        if name in self.log_names:
            return 10.0 ** value * math.log(10.0)
        return self.external(name, 1.0)

    def external_vector(self, x):
        return np.array([self.external(n, v) for n, v in zip(self.free, x)])

    def plain(self, values):
        """Values with the log-scale ones turned back into their own."""
        return {n: (self.external(n, v) if n in self.log_names else v) for n, v in values.items()}

    def weight(self, i, x):
        """What multiplies curve i's baseline and amplitude at the points x:
        c_tot / c_ref for an extensive signal, else 1."""
        if not self.extensive:
            return 1.0
        curve = self.curves[i]
        return (np.asarray(x, dtype=float) if curve.vary == "concentration" else curve.c_tot) / self.c_ref

    def _build_design(self):
        """The columns of the linear parameters that do not depend on the
        model (baselines and slopes) and where each amplitude goes."""
        offsets = np.cumsum([0] + [c.size for c in self.curves])
        self.rows = [slice(int(a), int(b)) for a, b in zip(offsets[:-1], offsets[1:])]
        self.row_weights = None if self.curve_weights is None else \
            np.concatenate([np.full(c.size, w) for c, w in zip(self.curves, self.curve_weights)])
        self.y = np.concatenate(self.observed)
        column = {n: j for j, n in enumerate(self.free_linear)}
        self.static = np.zeros((self.n_points, len(self.free_linear)))
        self.static_fixed = np.zeros(self.n_points)  # fixed baselines and slopes
        # Per curve, the terms that multiply the fraction: (column or None
        # when fixed, fixed value, regressor).
        self.fraction_terms = []
        for i, curve in enumerate(self.curves):
            rows = self.rows[i]
            weight = self.weight(i, curve.x)
            dt = curve.x - REFERENCE_TEMPERATURE if curve.vary == "temperature" else np.zeros(curve.size)
            for kind, regressor in (("baseline", weight + 0.0 * dt), ("slope", weight * dt)):
                name = self.per_curve.get((kind, i))
                if name is None:
                    continue
                if name in column:
                    self.static[rows, column[name]] += regressor
                else:
                    self.static_fixed[rows] += self.fixed[name] * regressor
            terms = []
            for kind, regressor in (("amplitude", weight + 0.0 * dt), ("aggregate_slope", weight * dt)):
                name = self.per_curve.get((kind, i))
                if name is not None:
                    terms.append((column.get(name), self.fixed.get(name, 0.0), regressor))
            self.fraction_terms.append(terms)

    def _count(self):
        self.nfev += 1
        if self.budget is not None and self.nfev > self.budget:
            raise _Exhausted

    def values(self, x):
        values = dict(self.fixed)
        values.update(zip(self.free, x))
        return values

    def thermo_values(self, theta):
        values = {n: self.fixed[n] for n in self.nonlinear if n in self.fixed}
        values.update(zip(self.free_thermo, theta))
        return values

    def _points(self, curves, axes):
        """The kernels' view of `curves` at the points `axes` (what each
        varies)."""
        temperature, conc, solvent = [], [], []
        for curve, x in zip(curves, axes):
            x = np.asarray(x, dtype=float)
            if curve.vary == "temperature":
                temperature.append(x)
            else:
                temperature.append(np.full(x.shape, math.nan if curve.temperature is None else curve.temperature))
            conc.append(x if curve.vary == "concentration" else np.full(x.shape, curve.c_tot))
            solvent.append(x if curve.vary == "solvent" else np.zeros(x.shape))
        return _Points(self.model, self.nuc_size, np.concatenate(temperature), np.concatenate(conc),
                       np.concatenate(solvent) if self.model.denaturation else None)

    def fraction(self, values, curve, temperature):
        """The fraction aggregated of `curve` at the points `temperature`
        (what the curve varies: K, mol/L or the good-solvent fraction)."""
        if not self.model.mass_balance:
            return self._curve_fraction(values, self.curve_index[id(curve)], temperature)
        return self._points([curve], [temperature]).solve(self.plain(values), slopes=False)

    def _own(self, values, i):
        """The per-curve parameters of curve i, as themselves."""
        own = {}
        for p in self.model.per_curve:
            name = p if p in self.nonlinear_set else f"{p}[{i}]"
            own[p] = self.external(name, values[name]) if name in self.log_names else values[name]
        return own

    def _curve_fraction(self, values, i, temperature):
        own = self._own(values, i)
        if self.frozen_branches is not None:
            own["branch"] = self.frozen_branches[i]
        return np.asarray(self.model.curve_fraction(own, np.asarray(temperature, dtype=float)), dtype=float)

    def fractions(self, values):
        """The fraction aggregated of every curve, or None where the model
        raises its error or gives non-finite values.  One call of the
        kernels for every point of every curve; the same values again cost
        nothing (the optimiser asks for the Jacobian where it has just
        evaluated)."""
        key = tuple(values[n] for n in self.nonlinear)
        if self._evaluated is not None and self._evaluated[0] == key and self.frozen_branches is None:
            return self._evaluated[1]
        self._count()
        out = self._fractions(values)
        self._evaluated = (key, out) if self.frozen_branches is None else None
        return out

    def _fractions(self, values):
        try:
            if self.points is not None:
                every = self.points.solve(self.plain(values))
                out = [every[rows] for rows in self.rows]
            else:
                out = [self._curve_fraction(values, i, c.x) for i, c in enumerate(self.curves)]
        except (ValueError, OverflowError):
            return None
        # A fraction aggregated lies in [0, 1]; far outside, the parameters
        # have left the model's domain (a negative K, say), and such values
        # would only swamp the linear algebra.
        return out if all(np.all((f > -0.5) & (f < 1.5)) for f in out) else None

    def fraction_slopes(self, values, names):
        """d fraction / d parameter (internal units) at every point, one
        column per name of `names` (free nonlinear parameters), at `values`
        (evaluated first if they are not the last evaluated)."""
        if self.fractions(values) is None:
            return None
        out = np.zeros((self.n_points, len(names)))
        if self.points is not None:
            for j, name in enumerate(names):
                out[:, j] = self.points.slope(name, name in self.log_names)
            return out
        for i, curve in enumerate(self.curves):
            own = self._own(values, i)
            slopes = curve_fraction_slopes(self.model.name, own, curve.x)
            for j, name in enumerate(names):
                base = name.split("[")[0]
                if name == base or name == f"{base}[{i}]":
                    column = slopes[base]
                    if name in self.log_names:
                        column = column * own[base] * math.log(10.0)
                    out[self.rows[i], j] = column
        return out

    def linear_values(self, values, i):
        """baseline, slope, amplitude and aggregate slope of curve i (internal units)."""
        return tuple(values[self.per_curve[kind, i]] if (kind, i) in self.per_curve else 0.0
                     for kind in ("baseline", "slope", "amplitude", "aggregate_slope"))

    def compose(self, values, i, x, fraction):
        baseline, slope, amplitude, aggregate_slope = self.linear_values(values, i)
        dt = np.asarray(x, dtype=float) - REFERENCE_TEMPERATURE if self.curves[i].vary == "temperature" else 0.0
        return self.weight(i, x) * (baseline + slope * dt + (amplitude + aggregate_slope * dt) * fraction)

    def signal(self, x, i, temperature):
        """Model signal of curve i (internal units)."""
        values = self.values(x)
        return self.compose(values, i, temperature, self.fraction(values, self.curves[i], temperature))

    def model_minus_data(self, x, data=None):
        """Model minus data for every point (internal units), or None where
        the model raises its error or gives non-finite values."""
        values = self.values(x)
        fractions = self.fractions(values)
        if fractions is None:
            return None
        parts = []
        for i, curve in enumerate(self.curves):
            observed = self.observed[i] if data is None else data[i]
            part = self.compose(values, i, curve.x, fractions[i]) - observed
            parts.append(part if self.curve_weights is None else part * self.curve_weights[i])
        r = np.concatenate(parts)
        return r if np.all(np.isfinite(r)) else None

    def residuals(self, x, data=None):
        """What the optimiser sees: a parameter set where the model fails
        gets a large constant residual, which it steps away from."""
        r = self.model_minus_data(x, data)
        return np.full(self.n_points, self.penalty) if r is None else r

    def _linear_system(self, fractions, data=None):
        """The weighted design of the free linear parameters and the
        right-hand side, for given fractions."""
        y = self.y if data is None else np.concatenate(data)
        rhs = y - self.static_fixed
        design = self.static.copy()
        for i, f in enumerate(fractions):
            for j, fixed, regressor in self.fraction_terms[i]:
                if j is None:
                    rhs[self.rows[i]] -= fixed * regressor * f
                else:
                    design[self.rows[i], j] += regressor * f
        return self.weigh(design), self.weigh(rhs)

    def project(self, theta, data=None):
        """For free thermodynamic values `theta`: the best baselines, slopes
        and amplitudes by linear least squares, and the residuals there.
        None where the model cannot be evaluated."""
        key = (tuple(theta), id(data))
        if self._projected is not None and self._projected[0] == key and self._projected[1] is data:
            return self._projected[2]
        fractions = self.fractions(self.thermo_values(theta))
        if fractions is None:
            return None
        design, rhs = self._linear_system(fractions, data)
        if design.shape[1]:
            beta = _least_squares_linear(design, rhs)
            r = design @ beta - rhs
        else:
            beta, r = np.zeros(0), -rhs
        out = (r, beta) if np.all(np.isfinite(r)) else None
        self._projected = (key, data, out, design)
        return out

    def _amplitudes(self, x):
        """What multiplies the fraction at each point (the amplitude and
        aggregate slope terms, at the free values x of every parameter)."""
        out = np.zeros(self.n_points)
        for i, terms in enumerate(self.fraction_terms):
            for j, fixed, regressor in terms:
                out[self.rows[i]] += regressor * (fixed if j is None else x[self.linear_index[j]])
        return out

    def projected_jacobian(self, theta, data=None):
        """The Jacobian of the projected residuals in theta (Kaufman's
        form: the model's derivative at the best linear values, with the
        part the linear parameters absorb projected out)."""
        projected = self.project(theta, data)
        if projected is None or not self.free_thermo:
            return np.zeros((self.n_points, len(self.free_thermo)))
        design = self._projected[3]
        x = self.full_vector(np.asarray(theta, dtype=float), projected[1])
        slopes = self.fraction_slopes(self.thermo_values(theta), self.free_thermo)
        model = self.weigh(self._amplitudes(x)[:, None] * slopes)
        if design.shape[1]:
            model = model - design @ _least_squares_linear(design, model)
        # The optimiser needs finite numbers; a column it cannot have is flat.
        return np.where(np.isfinite(model), model, 0.0)

    def weigh(self, rows):
        """Rows (a vector or a design) times their curve's weight: a fit of
        curves with different noise counts each point by its own noise."""
        if self.row_weights is None:
            return rows
        return rows * (self.row_weights if rows.ndim == 1 else self.row_weights[:, None])

    def projected_residuals(self, theta, data=None):
        out = self.project(theta, data)
        return np.full(self.n_points, self.penalty) if out is None else out[0]

    def full_vector(self, theta, beta):
        x = np.empty(len(self.free))
        x[self.thermo_index] = theta
        x[self.linear_index] = beta
        return x

    def free_bounds(self, names=None):
        names = self.free if names is None else names
        return ([self.bounds[n][0] for n in names], [self.bounds[n][1] for n in names])

    def solve(self, x0, data=None, max_nfev=None, hold=None):
        """scipy's least_squares from x0 (clipped into the bounds), on the
        curves' own signals or on `data`.  `hold`: indices of x kept at
        their values in x0."""
        low, high = self.free_bounds()
        x0 = np.clip(np.asarray(x0, dtype=float), low, high)
        if hold:
            keep = np.array([j for j in range(len(x0)) if j not in hold], dtype=int)
            base = x0.copy()

            def fun(z):
                x = base.copy()
                x[keep] = z
                return self.residuals(x, data)

            def jac(z):
                x = base.copy()
                x[keep] = z
                return self.residual_jacobian(x)[:, keep]

            result = least_squares(
                fun, x0[keep], jac=jac, bounds=(np.array(low)[keep], np.array(high)[keep]),
                x_scale="jac", method="trf", xtol=1e-12, ftol=1e-12, gtol=1e-10,
                max_nfev=max_nfev or 200 * (len(keep) + 1),
            )
            x = base.copy()
            x[keep] = result.x
            result.x = x
            return result
        return least_squares(
            self.residuals, x0, jac=lambda x, *_: self.residual_jacobian(x), args=(data,), bounds=(low, high),
            x_scale="jac", method="trf", xtol=1e-12, ftol=1e-12, gtol=1e-10,
            max_nfev=max_nfev or 200 * (len(x0) + 1),
        )

    def jacobian(self, x):
        """The Jacobian of the residuals in every free parameter at x, or
        None where the model cannot be evaluated there: exact, by the chain
        rule through the kernels' derivatives (or the phenomenological
        shapes' own)."""
        values = self.values(x)
        fractions = self.fractions(values)
        if fractions is None:
            return None
        out = np.empty((self.n_points, len(self.free)))
        if self.free_thermo:
            slopes = self.fraction_slopes(values, self.free_thermo)
            out[:, self.thermo_index] = self._amplitudes(x)[:, None] * slopes
        if self.free_linear:
            design = self.static.copy()
            for i, f in enumerate(fractions):
                for j, _, regressor in self.fraction_terms[i]:
                    if j is not None:
                        design[self.rows[i], j] += regressor * f
            out[:, self.linear_index] = design
        out = self.weigh(out)
        return out if np.all(np.isfinite(out)) else None

    def residual_jacobian(self, x):
        """jacobian(x), zeros where the model fails (the optimiser never
        accepts such a point, as its residuals are the penalty)."""
        out = self.jacobian(x)
        return np.zeros((self.n_points, len(self.free))) if out is None else out

    def numerical_jacobian(self, x):
        """Central differences of the residuals in every free parameter, or
        None where the model cannot be evaluated next to x.  A piecewise
        model keeps each point in its regime meanwhile: a point jumping
        across the step at Te is not a slope.  The oracle of the exact
        Jacobian."""
        if "te" in self.model.per_curve:
            values = self.values(x)
            self.frozen_branches = [values["te" if "te" in self.nonlinear_set else f"te[{i}]"]
                                    for i in range(len(self.curves))]
        try:
            return self._central_differences(x)
        finally:
            self.frozen_branches = None

    def _central_differences(self, x):
        columns = []
        for j, name in enumerate(self.free):
            base = name.split("[")[0]
            typical = 1e3 if base.startswith(("delta_h", "h_e", "delta_g")) or base == "m" else 1.0
            step = 6e-6 * max(abs(x[j]), typical)
            up, down = x.copy(), x.copy()
            up[j] += step
            down[j] -= step
            r_up, r_down = self.model_minus_data(up), self.model_minus_data(down)
            if r_up is None or r_down is None:
                return None
            columns.append((r_up - r_down) / (up[j] - down[j]))
        return np.column_stack(columns) if columns else np.zeros((self.n_points, 0))

    # Derived values: functions of the parameter values.


def _least_squares_linear(design, rhs):
    """The linear least-squares solution through the normal equations of
    the column-scaled design: the system is a few columns wide, so this is
    several times faster than an SVD of the whole design, and the scaling
    keeps it accurate for the well-posed systems of a fit; a singular one
    gets the minimum-norm solution."""
    gram = design.T @ design
    if not np.all(np.isfinite(gram)):
        # LAPACK may never return on non-finite input.
        return np.full(design.shape[1:2] + rhs.shape[1:], math.nan)
    norms = np.sqrt(np.diag(gram))
    norms[norms == 0.0] = 1.0
    scaled = gram / np.outer(norms, norms)
    column = norms if rhs.ndim == 1 else norms[:, None]  # one right-hand side or several
    return np.linalg.lstsq(scaled, (design.T @ rhs) / column, rcond=1e-13)[0] / column


def _experiment_mismatch(model, kind):
    """Why `model` cannot fit a curve that varies `kind`, in one sentence,
    with the models that can."""
    fits = " and ".join(EXPERIMENTS[k] for k in model.experiments)
    others = ", ".join(m.name for m in MODELS.values() if kind in m.experiments)
    return f"the {model.name} model fits {fits}, not {EXPERIMENTS[kind]}; use {others}"
