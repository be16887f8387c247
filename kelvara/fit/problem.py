"""The fit as a least-squares problem: the parameter vector (free, fixed,
bounded, log-scaled), the signal's scaling, the model's fractions, the
residuals, the baselines and amplitudes solved exactly for given
thermodynamic parameters, and the Jacobian.  Derived values come from the
`DerivedValues` mixin (derived.py)."""

from __future__ import annotations

import dataclasses
import math
import threading
from typing import Callable, cast

import numpy as np
from scipy.optimize import least_squares

from kelvara.errors import KelvaraError
from kelvara.fit.blocks import Blocks
from kelvara.fit.curves import Scaled, experiment_mismatch, signal_scale
from kelvara.fit.derived import DerivedValues
from kelvara.fit.point_noise import noise_per_point, noise_summary, weights_of_curves
from kelvara.fit.points import Workspace
from kelvara.fit.terms import TERMS, term_of
from kelvara.fit.traces import Traces, check_traces, kinetic_bounds, kinetic_names
from kelvara.models import curve_fraction_slopes, nucleated_models
from kelvara.names import signal_units

# Points the kernels take in one call (a workspace of some 1 MB per array).
KERNEL_POINTS = 1 << 16
_KEPT_AXES = 1 << 18  # up to this many points, the kernels' inputs are kept between evaluations


class Exhausted(Exception):
    """The caller's cap on model evaluations was reached."""


def _every(curve, step):
    """Every step-th point of a curve, from its first."""
    per_point = {name: getattr(curve, name)[::step] for name in ("temperature", "c_tot", "solvent")
                 if np.ndim(getattr(curve, name)) == 1}
    return dataclasses.replace(curve, signal=curve.signal[::step], **per_point)


class FitProblem(Blocks, DerivedValues):
    """The parameter vector, the residuals and the derived values of a fit.

    Internally the signal is divided by one scale (the largest change within
    a curve), so baselines, slopes and amplitudes are of order one whatever
    the signal's unit; they are multiplied back on the way out.  Everything
    else, the optimiser's path included, then does not depend on that unit.
    """

    def __init__(self, curves, model, nuc_size, shared_amplitude, shared_baseline, baseline_slope,
                 start, fix, bounds, budget=None, aggregate_slope=False, extensive=False, shared=(), free=(),
                 species_signals=False, signal_model="aggregated"):
        self.curves = curves
        self.model = model
        self.nuc_size = nuc_size
        self._arguments = dict(model=model, nuc_size=nuc_size, shared_amplitude=shared_amplitude,
                               shared_baseline=shared_baseline, baseline_slope=baseline_slope, start=start, fix=fix,
                               bounds=bounds, aggregate_slope=aggregate_slope, extensive=extensive, shared=shared,
                               free=free, species_signals=species_signals, signal_model=signal_model)
        self.curve_index = {id(c): i for i, c in enumerate(curves)}
        # The nonlinear parameters: the model's shared thermodynamic ones, or
        # a phenomenological model's per curve (one name when shared).
        unknown = sorted(set(shared) - set(model.per_curve))
        if unknown:
            raise KelvaraError(f"cannot share {unknown[0]!r}: the per-curve parameters of {model.name!r} are "
                             f"{', '.join(model.per_curve) or 'none'}")
        # One term per kind of data (kelvara.fit.terms), sharing the thermodynamic parameters.
        self.terms = [term_of(c) for c in curves]
        self.kinds = [kind for kind, term in TERMS.items() if term in self.terms]
        for kind in self.kinds:
            if kind not in model.experiments:
                raise KelvaraError(experiment_mismatch(model, kind))
        # A series at one temperature determines the constants there, not
        # their temperature dependence; several temperatures, or temperature
        # curves beside it, share the thermodynamic parameters.
        self.at_one_temperature = bool(model.constants) and self.kinds == ["concentration"] and \
            len({c.temperature for c in curves}) == 1
        self.nonlinear = list(model.constants if self.at_one_temperature else model.thermo)
        for entropy in model.nucleation_entropies:
            if entropy in free and self.at_one_temperature:
                raise KelvaraError(f"{entropy} needs curves at more than one temperature: a series at one "
                                   "temperature determines sigma there, not its enthalpy and entropy")
            if not self.at_one_temperature:
                self.nonlinear.append(entropy)
                if entropy not in free and entropy not in fix:
                    fix = {**fix, entropy: 0.0}  # fixed unless freed
        if not self.at_one_temperature and any(c.vary == "concentration" and c.temperature is None
                                               for c in curves):
            raise KelvaraError("a fit across temperatures needs the temperature of every concentration series")
        for name in model.per_curve:
            self.nonlinear += [name] if name in shared else [f"{name}[{i}]" for i in range(len(curves))]
        self.nonlinear += kinetic_names(self.kinds)
        self.nonlinear_set = set(self.nonlinear)
        self.log_names = {n for n in self.nonlinear if n.split("[")[0] in model.log_scale}
        self.log_names.update(kinetic_names(self.kinds))
        if self.at_one_temperature:
            self.log_names = set(self.nonlinear)
        self.names = list(self.nonlinear)
        # Oligomers up to the nucleus with a signal of their own: the
        # amplitude is then the polymers'.
        if species_signals and not model.nucleated:
            raise KelvaraError(f"species_signals applies to the models with a nucleus ({nucleated_models()}), "
                               f"not {model.name!r}")
        # Two pathways always give each aggregate its own signal.
        self.species = bool(species_signals) or bool(model.pathways)
        if signal_model not in ("aggregated", "stacked"):
            raise KelvaraError(f"signal_model is aggregated or stacked, not {signal_model!r}")
        if signal_model == "stacked" and model.kernel != "isodesmic":
            raise KelvaraError(f"signal_model stacked (the stacked fraction K m) applies to the isodesmic model, "
                               f"not {model.name!r}")
        self.stacked = signal_model == "stacked"
        self.second_kind = model.second_amplitude
        units = [u for u in dict.fromkeys(signal_units(curves)) if u != "signal"]
        for asked, what in ((shared_amplitude, "shared_amplitude"), (shared_baseline, "shared_baseline")):
            if asked and len(units) > 1:
                raise KelvaraError(
                    f"{what} shares one value across every curve, but these curves' signals are in "
                    f"{len(units)} units ({', '.join(units)}): fit the curves of one signal with it, or leave it "
                    "out (each curve then has its own)")
        self.per_curve = {}  # (kind, curve index) -> name
        for kind, shared, wanted in (("baseline", shared_baseline, True), ("slope", shared_baseline, baseline_slope),
                                     ("amplitude", shared_amplitude, True),
                                     ("aggregate_slope", shared_amplitude, aggregate_slope),
                                     (self.second_kind, shared_amplitude, self.species)):
            if not wanted:
                continue
            if kind in ("slope", "aggregate_slope") and not any(term.sloped for term in self.terms):
                raise KelvaraError(f"{'baseline_slope' if kind == 'slope' else kind} applies to curves "
                                 "against temperature")
            for i in range(len(curves)):
                if kind in ("slope", "aggregate_slope") and not self.terms[i].sloped:
                    continue
                name = kind if shared else f"{kind}[{i}]"
                if name not in self.names:
                    self.names.append(name)
                self.per_curve[kind, i] = name
        for given in (start, fix, bounds):
            unknown = sorted(set(given) - set(self.names))
            if unknown:
                raise KelvaraError(
                    f"unknown parameter {unknown[0]!r} for model {model.name!r}; "
                    f"its parameters are {', '.join(self.names)}"
                )
        self.scale = signal_scale(curves)
        # An extensive signal is c_tot (baseline + amplitude fraction): the
        # regressors carry c_tot / c_ref, c_ref the geometric mean, so that
        # the internal values stay of order one.
        self.extensive = extensive
        check_traces(self, model, species_signals)
        self.c_ref = math.exp(float(np.mean([np.mean(np.log(c.concentrations())) for c in curves]))) \
            if extensive else 1.0
        # The signals in internal units, divided block by block when used
        # (a copy would be as large as the data).
        self.observed = [Scaled(c.signal, self.scale) for c in curves]
        # Each point against its neighbours: what the noise is read from,
        # once; only the weights and the pooled variance are kept.
        noise_values = [noise_per_point(c, c.signal / self.scale) for c in curves]
        self.curve_weights, self.weight_note = weights_of_curves(curves, noise_values)
        self.noise_variance, self.noise_count = noise_summary(noise_values, self.curve_weights)
        del noise_values
        self.fixed = {n: self.internal(n, float(v)) for n, v in fix.items()}
        self.free = [n for n in self.names if n not in self.fixed]
        self.bounds = {}
        bounds = {**kinetic_bounds(self.kinds), **bounds}
        for name in self.names:
            low, high = (float(b) for b in bounds.get(name, (-math.inf, math.inf)))
            if not low < high:
                raise KelvaraError(f"bounds of {name!r} are empty: {low} to {high}")
            if name in self.log_names:
                if high <= 0:
                    raise KelvaraError(f"bounds of {name!r} hold no positive value: {low} to {high}")
                self.bounds[name] = (-math.inf if low <= 0 else math.log10(low), math.log10(high))
            else:
                self.bounds[name] = (self.internal(name, low), self.internal(name, high))
        self.n_points = sum(c.size for c in curves)
        if self.n_points <= len(self.free):
            raise KelvaraError(
                f"{self.n_points} points cannot determine {len(self.free)} free parameters"
            )
        self.free_thermo = [n for n in self.free if n in self.nonlinear_set]
        self.free_linear = [n for n in self.free if n not in self.nonlinear_set]
        self.thermo_index = np.array([self.free.index(n) for n in self.free_thermo], dtype=int)
        self.linear_index = np.array([self.free.index(n) for n in self.free_linear], dtype=int)
        self._build_terms()
        # The last evaluation: the fraction at every point and, for the
        # mass-balance models, its derivatives in the logarithms of the
        # constants, filled block by block through one kernel workspace.
        # The kernels take every point of every curve in one call, up to
        # KERNEL_POINTS at a time (a larger file in as many calls).
        offsets = range(0, self.n_points, KERNEL_POINTS)
        self.spans = [(a, min(a + KERNEL_POINTS, self.n_points)) for a in offsets]
        self.lock = threading.RLock()  # one workspace: a result's refits run one at a time
        self.points = Workspace(model, nuc_size, min(KERNEL_POINTS, self.n_points)) if model.mass_balance else None
        self.traces = Traces(self) if "time" in self.kinds else None
        self._fraction = None  # allocated by the first evaluation (see release)
        self._axes_kept = {}
        self._slopes = {}
        self._evaluated = None  # (key, fractions or None)
        self._projected = None  # (key, data, projection)
        self.nfev = 0
        self.budget = budget
        self.penalty = 1e3
        self.frozen_branches = None  # per curve: where a piecewise model switches, held for a derivative

    def internal(self, name, value):
        if name in self.log_names:
            if value < 0 or math.isnan(value):
                raise KelvaraError(f"{name} must be positive, not {value!r}")
            return math.log10(value) if value > 0 else -math.inf
        return value if name in self.nonlinear_set else value * self.c_ref / self.scale

    def external(self, name, value):
        if name in self.log_names:
            return 10.0 ** float(value)  # OverflowError, not inf, far out
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
        return self.terms[i].concentrations(self.curves[i], x) / self.c_ref

    def thinned(self, most):
        """The same problem on every k-th point of each curve, about `most`
        points in all, weighted as this one (its chi2 ranks starts as this
        one's does, at a fraction of the cost), or this problem itself where
        it is no larger or has an evaluation cap."""
        step = -(-self.n_points // int(most))
        if step <= 1 or self.budget is not None or self.traces is not None:
            return self  # (a trace costs one simulation however many points it keeps)
        curves = [_every(c, step) for c in self.curves]
        try:
            thin = FitProblem(curves, **self._arguments)
        except KelvaraError:
            return self
        thin.curve_weights = self.curve_weights
        return thin

    def _count(self):
        self.nfev += 1
        if self.budget is not None and self.nfev > self.budget:
            raise Exhausted

    def values(self, x):
        values = dict(self.fixed)
        values.update(zip(self.free, x))
        return values

    def thermo_values(self, theta):
        values = {n: self.fixed[n] for n in self.nonlinear if n in self.fixed}
        values.update(zip(self.free_thermo, theta))
        return values

    def _axes(self, curve, x):
        """What the kernels take at the points x of `curve`: temperatures,
        total concentrations and good-solvent fractions."""
        return term_of(curve).axes(curve, x)

    def _span_axes(self, start, stop):
        """The kernels' temperatures, concentrations and good-solvent
        fractions of the points start to stop (of every curve, in order),
        kept for the next evaluation where the data are not large."""
        key = (start, stop)
        if key in self._axes_kept:
            return self._axes_kept[key]
        axes = self._make_span_axes(start, stop)
        if self.n_points <= _KEPT_AXES:
            self._axes_kept[key] = axes
        return axes

    def _make_span_axes(self, start, stop):
        pieces = []
        for i, curve in enumerate(self.curves):
            a, b = max(start, self.rows[i].start), min(stop, self.rows[i].stop)
            if a < b:
                local = slice(a - self.rows[i].start, b - self.rows[i].start)
                temperature, conc, solvent = self._axes(curve, curve.x[local])
                pieces.append((temperature, np.broadcast_to(conc, temperature.shape),
                               np.zeros(temperature.shape) if solvent is None else solvent))
        temperature, conc, solvent = (np.concatenate(p) for p in zip(*pieces))
        return temperature, conc, (solvent if self.model.denaturation else None)

    def fraction(self, values, curve, temperature):
        """The fraction aggregated of `curve` at the points `temperature`
        (what the curve varies: K, mol/L or the good-solvent fraction)."""
        if not self.model.mass_balance:
            return self._curve_fraction(values, self.curve_index[id(curve)], temperature)
        return self.species_fractions(values, curve, temperature)[:, 0].copy()

    def species_fractions(self, values, curve, x):
        """The fraction aggregated of `curve` at the points x and, with
        species signals, the shares held in oligomers up to the nucleus and
        in polymers beyond it: an array of one column (or three)."""
        x = np.asarray(x, dtype=float)
        if curve.vary == "time":
            return cast(Traces, self.traces).simulate(values, curve, x).fraction[:, None]
        points = Workspace(self.model, self.nuc_size, max(x.size, 1))
        temperature, conc, solvent = self._axes(curve, x)
        total = points.solve(self.plain(values), temperature, conc, solvent, slopes=False)
        if not self.species:
            return total.copy()[:, None]
        return np.column_stack([total, *points.species(slopes=False)[:2]])

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
        fraction = cast(Callable, self.model.curve_fraction)  # a per-curve model's
        return np.asarray(fraction(own, np.asarray(temperature, dtype=float)), dtype=float)

    def fractions(self, values, slopes=True):
        """The fraction aggregated of every curve, or None where the model
        raises its error or gives non-finite values.  One call of the
        kernels for every point of every curve; the same values again cost
        nothing (the optimiser asks for the Jacobian where it has just
        evaluated).  With `slopes`, the derivatives are kept for
        block_slopes (two more arrays as large as the data)."""
        key = tuple(values[n] for n in self.nonlinear)
        cached = self._evaluated
        if cached is not None and cached[0] == key and self.frozen_branches is None and (cached[2] or not slopes):
            return cached[1]
        self._count()
        slopes = slopes or self.points is None  # a shape's derivatives come from its values
        out = self._fractions(values, slopes)
        self._evaluated = (key, out, slopes) if self.frozen_branches is None else None
        return out

    def release(self):
        """Let go of the last evaluation's buffers (the next evaluation
        makes them anew)."""
        self._fraction = None
        self._slopes = {}
        self._evaluated = None
        self._projected = None

    def _fractions(self, values, slopes):
        """The fractions of the curves as views of one array (valid until
        the next evaluation), or None."""
        if self._fraction is None:
            self._fraction = np.empty((self.n_points, 3)) if self.species else np.empty(self.n_points)
        if slopes and self.points is not None and not self._slopes:
            self._slopes = {name: np.empty(self.n_points) for name in self.points.slopes_of}
            if self.species:
                self._slopes.update({(kind, name): np.empty(self.n_points) for kind in ("second", "first")
                                     for name in self.points.slopes_of})
        kept = self._slopes if slopes else {}
        try:
            if self.points is not None:
                plain = self.plain(values)
                for start, stop in self.spans:
                    total = self.points.solve(plain, *self._span_axes(start, stop))
                    if self.species:
                        self._fraction[start:stop, 0] = total
                        oligomers, polymers, moves = self.points.species(slopes=bool(kept))
                        self._fraction[start:stop, 1] = oligomers
                        self._fraction[start:stop, 2] = polymers
                        for name, move in moves.items():
                            kept[name][start:stop] = move
                    else:
                        self._fraction[start:stop] = total
                    for name, store in kept.items():
                        if isinstance(name, str):
                            store[start:stop] = self.points.slopes_of[name].array[: stop - start]
                    if self.stacked:
                        self._stack(start, stop, kept)
                if self.traces is not None:
                    self.traces.evaluate(values, self._fraction, kept)
            else:
                for i, curve in enumerate(self.curves):
                    self._fraction[self.rows[i]] = self._curve_fraction(values, i, curve.x)
        except (ValueError, OverflowError):
            return None
        # A fraction aggregated lies in [0, 1]; far outside, the parameters
        # have left the model's domain (a negative K, say), and such values
        # would only swamp the linear algebra.
        if not np.all((self._fraction > -0.5) & (self._fraction < 1.5)):
            return None
        if self.species and not np.all(np.isfinite(self._fraction)):
            return None
        return [self._fraction[rows] for rows in self.rows]

    def block_slopes(self, values, i, part, names, species=None):
        """d fraction / d parameter (internal units) at the points `part`
        of curve i, one column per name of `names` (free nonlinear
        parameters), from the last evaluation (which must be of `values`);
        with `species` ("second" or "first": oligomers or polymers, or
        pathway B or A), of that species' share."""
        curve = self.curves[i]
        out = np.zeros((part.stop - part.start, len(names)))
        if self.points is not None:
            rows = slice(self.rows[i].start + part.start, self.rows[i].start + part.stop)
            temperature, _, solvent = self._axes(curve, curve.x[part])
            for j, name in enumerate(names):
                for constant, factor in self.points.factors(name, temperature, solvent):
                    out[:, j] += self._slopes[(species, constant) if species else constant][rows] * factor
                if self.traces is not None:
                    out[:, j] += self.traces.slope(name, rows)
                if name in self.log_names:
                    out[:, j] *= math.log(10.0)
            return out
        own = self._own(values, i)
        slopes = curve_fraction_slopes(self.model.name, own, curve.x[part])
        for j, name in enumerate(names):
            base = name.split("[")[0]
            if name == base or name == f"{base}[{i}]":
                column = slopes[base]
                if name in self.log_names:
                    column = column * own[base] * math.log(10.0)
                out[:, j] = column
        return out

    def span_slopes(self, values, chunk, rows, names, species=None):
        """block_slopes at the rows of a chunk (see blocks.py), every curve
        of it at once."""
        if self.points is None:
            return np.concatenate([self.block_slopes(values, i, part, names, species) for i, part in chunk.pieces])
        out = np.zeros((chunk.stop - chunk.start, len(names)))
        rows_of = slice(chunk.start, chunk.stop)
        for j, name in enumerate(names):
            for constant, factor in self.points.factors(name, rows.temperature, rows.solvent):
                out[:, j] += self._slopes[(species, constant) if species else constant][rows_of] * factor
            if self.traces is not None:
                out[:, j] += self.traces.slope(name, rows_of)
            if name in self.log_names:
                out[:, j] *= math.log(10.0)
        return out

    def linear_values(self, values, i):
        """baseline, slope, amplitude and aggregate slope of curve i (internal units)."""
        return tuple(values[self.per_curve[kind, i]] if (kind, i) in self.per_curve else 0.0
                     for kind in ("baseline", "slope", "amplitude", "aggregate_slope"))

    def second_amplitude(self, values, i):
        """The signal of curve i's second kind of aggregate, the oligomers'
        or pathway B's (internal units; 0 without species signals)."""
        name = self.per_curve.get((self.second_kind, i))
        return 0.0 if name is None else values[name]

    def compose(self, values, i, x, fraction):
        """The signal of curve i at the points x from the fraction
        aggregated there (with species signals: the fraction, the
        oligomers' and the polymers' shares)."""
        baseline, slope, amplitude, aggregate_slope = self.linear_values(values, i)
        dt = self.terms[i].slope_axis(self.curves[i], x)
        if self.species:
            oligomers, polymers = fraction[:, 1], fraction[:, 2]
            return self.weight(i, x) * (baseline + slope * dt + (amplitude + aggregate_slope * dt) * polymers
                                        + self.second_amplitude(values, i) * oligomers)
        return self.weight(i, x) * (baseline + slope * dt + (amplitude + aggregate_slope * dt) * fraction)

    def _stack(self, start, stop, kept):
        """The stacked fraction x = K m in place of the fraction aggregated
        at the points start to stop, from the workspace's last solve, and
        its derivative: dx/dln K = x + K dm/dln K, with dm = -c_tot
        d(fraction) at the root of the mass balance."""
        count = stop - start
        points = cast(Workspace, self.points)  # a mass-balance model's
        k = points.inputs[points._rate("k")].array[:count]
        stacked = k * points.monomer.array[:count]
        for name, store in kept.items():
            store[start:stop] = stacked - k * points.conc[:count] * store[start:stop]
        self._fraction[start:stop] = stacked

    def stacked_fraction(self, values, curve, x):
        """The stacked fraction K m of `curve` at the points x."""
        x = np.asarray(x, dtype=float)
        points = Workspace(self.model, self.nuc_size, max(x.size, 1))
        temperature, conc, solvent = self._axes(curve, x)
        points.solve(self.plain(values), temperature, conc, solvent, slopes=False)
        return points.inputs[points._rate("k")].array[: x.size] * points.monomer.array[: x.size]

    def signal(self, x, i, temperature):
        """Model signal of curve i (internal units)."""
        values = self.values(x)
        fraction = self.species_fractions(values, self.curves[i], temperature) if self.species else \
            self.stacked_fraction(values, self.curves[i], temperature) if self.stacked else \
            self.fraction(values, self.curves[i], temperature)
        return self.compose(values, i, temperature, fraction)

    def model_minus_data(self, x, data=None):
        """Model minus data for every point (internal units), or None where
        the model raises its error or gives non-finite values."""
        values = self.values(x)
        fractions = self.fractions(values, slopes=False)
        if fractions is None:
            return None
        r = np.empty(self.n_points)
        for i, part in self.blocks:  # block by block: no temporaries as large as a curve
            curve = self.curves[i]
            observed = self.observed[i][part] if data is None else data[i][part]
            rows = slice(self.rows[i].start + part.start, self.rows[i].start + part.stop)
            r[rows] = self.compose(values, i, curve.x[part], fractions[i][part]) - observed
            if self.curve_weights is not None:
                r[rows] *= self.curve_weights[i]
        return r if np.all(np.isfinite(r)) else None

    def residuals(self, x, data=None):
        """What the optimiser sees: a parameter set where the model fails
        gets a large constant residual, which it steps away from."""
        r = self.model_minus_data(x, data)
        return np.full(self.n_points, self.penalty) if r is None else r

    def project(self, theta, data=None):
        """For free nonlinear values `theta`: (chi2, the best baselines,
        slopes and amplitudes, chi2 per curve) by linear least squares, or
        None where the model cannot be evaluated."""
        return self.projection(theta, data, factor=False)

    def projected_rho(self, theta, data=None):
        """What the optimiser of the nonlinear values sees (see blocks.py)."""
        out = self.projection(theta, data)
        return self.penalty_rho(len(self.free_thermo)) if out is None else out.rho

    def projected_jacobian(self, theta, data=None):
        """R of the projected problem: Kaufman's form, the model's
        derivative at the best linear values with the part the linear
        parameters absorb projected out."""
        out = self.projection(theta, data)
        width = len(self.free_thermo)
        return np.zeros((width + 1, width)) if out is None else out.factor

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
        their values in x0.  The residuals it sees are the compressed ones
        (see blocks.py): the same steps, chi2 and gradient as the full."""
        low, high = self.free_bounds()
        x0 = np.clip(np.asarray(x0, dtype=float), low, high)
        keep = np.array([j for j in range(len(x0)) if not hold or j not in hold], dtype=int)
        base = x0.copy()

        def full(z):
            x = base.copy()
            x[keep] = z
            return x

        def evaluate(z):
            out = self.compressed(full(z), data, keep)
            return (self.penalty_rho(keep.size), np.zeros((keep.size + 1, keep.size))) if out is None else out

        with np.errstate(divide="ignore", invalid="ignore"):  # a vanishing step on the way is no result
            result = least_squares(
                lambda z: evaluate(z)[0], x0[keep], jac=lambda z: evaluate(z)[1],
                bounds=(np.array(low)[keep], np.array(high)[keep]),
                x_scale="jac", method="trf", xtol=1e-12, ftol=1e-12, gtol=1e-10,
                max_nfev=max_nfev or 200 * (keep.size + 1),
            )
        result.x = full(result.x)
        return result

    def jacobian_factor(self, x):
        """R of the Jacobian at x (square, one row and column per free
        parameter), or None: what the covariance needs, J^T J = R^T R."""
        out = self.compressed(x)
        return None if out is None else out[1][:-1]
