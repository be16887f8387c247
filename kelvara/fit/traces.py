"""The time traces of a fit: each simulated from its start with the fit's
values (kelvara.kinetics), the fraction aggregated at its times, and the
derivatives of that fraction in the fitted parameters from the
sensitivities integrated beside it.

The thermodynamic parameters move the run's constants (K, sigma at the
trace's temperature) and, for a start from equilibrium, the start's (at its
temperature): d fraction / d delta_h = s_K (-1 / R T) + s_K0 (-1 / R T0),
and so on; k_plus and nucleation_ratio are fitted as their logarithms."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Set, Union

import numpy as np

from kelvara.errors import KelvaraError
from kelvara.kinetics import ATOL, CUTOFF, RTOL, crossing, run_from
from kelvara.models import GAS_CONSTANT, KINETIC

# What each parameter moves: (slope of the run, slope of the start, what
# multiplies them: "enthalpy" -1 / R T, "entropy" 1 / R, "log" 1).
_MOVES = {
    "delta_h": ("k", "k_start", "enthalpy"),
    "delta_s": ("k", "k_start", "entropy"),
    "delta_h_nuc": ("sigma", "sigma_start", "enthalpy"),
    "delta_s_nuc": ("sigma", "sigma_start", "entropy"),
    "k_plus": ("k_plus", None, "log"),
    "nucleation_ratio": ("nucleation_ratio", None, "log"),
}


# t50 and t90 are found on a grid of this many times over the trace's, from
# a simulation this tight (their errors come from differences of them).
_CROSSING_POINTS = 400
_CROSSING_RTOL = 1e-9
_CROSSING_ATOL = 1e-13


def _crossing_grid(curve):
    positive = curve.x[curve.x > 0]
    if positive.size < 2:
        return None
    return np.concatenate(([0.0], np.geomspace(positive.min(), positive.max(), _CROSSING_POINTS)))


def _cached(function):
    """`function` of the values, evaluated once for the same values."""
    last: Dict[str, Any] = {}

    def call(values):
        key = tuple(values.items())
        if last.get("key") != key:
            last["key"], last["out"] = key, function(values)
        return last["out"]

    return call


def check_traces(problem, model, species_signals) -> None:
    """Refuse what time traces cannot be fitted with (said before any work)."""
    if "time" not in problem.kinds:
        return
    if species_signals:
        raise KelvaraError("species signals are not built for time traces yet: fit the traces with one amplitude")
    if problem.extensive:
        raise KelvaraError("an extensive signal is not built for time traces yet: give each trace's signal as "
                           "measured")


class Traces:
    """The time traces of `problem` (indices into its curves)."""

    def __init__(self, problem):
        self.problem = problem
        self.indices = [i for i, c in enumerate(problem.curves) if c.vary == "time"]
        self.nuc_size = int(problem.nuc_size or 2)
        self.chained: Dict[str, np.ndarray] = {}

    def wanted(self) -> List[str]:
        """The simulations' slopes the free parameters need."""
        names: Set[str] = set()
        for name in self.problem.free_thermo:
            moves = _MOVES.get(name)
            if moves is not None:
                names.update(m for m in moves[:2] if m is not None)
        return sorted(names)

    def _arguments(self, values):
        plain = self.problem.plain(values)
        energies = (plain["delta_h"], plain["delta_s"], plain.get("delta_h_nuc", 0.0), plain.get("delta_s_nuc", 0.0))
        return energies, plain["k_plus"], plain["nucleation_ratio"]

    def simulate(self, values, curve, times, slopes=(), rtol=RTOL, atol=ATOL, cutoff=None):
        energies, k_plus, ratio = self._arguments(values)
        return run_from(np.asarray(times, dtype=float), curve.c_tot, curve.temperature, curve.start,
                        self.nuc_size, energies, k_plus, ratio, cutoff=cutoff, wanted=tuple(slopes), rtol=rtol,
                        atol=atol)

    def evaluate(self, values, fraction, kept) -> None:
        """Every trace's fraction into `fraction` (the fit's array of every
        point) and, where `kept` holds the kernels' slopes, the traces'
        rows of those zeroed and their derivatives in the free parameters
        kept in `chained`.  Raises ValueError where a simulation fails."""
        wanted = self.wanted() if kept else []
        if kept and not self.chained:
            self.chained = {name: np.zeros(self.problem.n_points) for name in self.problem.free_thermo}
        for i in self.indices:
            curve = self.problem.curves[i]
            rows = self.problem.rows[i]
            run = self.simulate(values, curve, curve.x, wanted)
            fraction[rows] = run.fraction
            if not kept:
                continue
            for store in kept.values():
                store[rows] = 0.0
            start_temperature = curve.start.temperature or curve.temperature
            for name in self.problem.free_thermo:
                moves = _MOVES.get(name)
                column = self.chained[name]
                if moves is None:
                    column[rows] = 0.0
                    continue
                run_slope, start_slope, kind = moves
                factor, start_factor = {"enthalpy": (-1.0 / (GAS_CONSTANT * curve.temperature),
                                                     -1.0 / (GAS_CONSTANT * start_temperature)),
                                        "entropy": (1.0 / GAS_CONSTANT, 1.0 / GAS_CONSTANT),
                                        "log": (1.0, 0.0)}[kind]
                total = run.slopes[run_slope] * factor
                if start_slope in run.slopes:
                    total = total + run.slopes[start_slope] * start_factor
                column[rows] = total

    def derived(self) -> Dict[str, Callable[[Dict[str, float]], float]]:
        """t50 and t90 of each trace (s: when the fraction has gone half and
        nine tenths of the way from its start to the equilibrium at the
        trace's temperature, within the times measured; NaN beyond them) and,
        over the traces at two or more concentrations that reach half way,
        the slope of log t50 against log c_tot."""
        out: Dict[str, Callable[[Dict[str, float]], float]] = {}
        for i in self.indices:
            times = _crossing_grid(self.problem.curves[i])
            if times is None:
                continue
            both = _cached(lambda v, i=i, times=times: self._crossings(v, i, times))
            out[f"t50[{i}]"] = (lambda both: lambda v: both(v)[0])(both)
            out[f"t90[{i}]"] = (lambda both: lambda v: both(v)[1])(both)
        concentrations = {self.problem.curves[i].c_tot for i in self.indices}
        if len(concentrations) >= 2:
            halves = [(i, out[f"t50[{i}]"]) for i in self.indices if f"t50[{i}]" in out]
            logs = np.log10([self.problem.curves[i].c_tot for i, _ in halves])

            def exponent(v):
                t = np.array([f(v) for _, f in halves])
                kept = np.isfinite(t) & (t > 0.0)  # traces that reach half way within their times
                if len(set(logs[kept])) < 2:
                    return float("nan")
                return float(np.polyfit(logs[kept], np.log10(t[kept]), 1)[0])

            out["t50_exponent"] = exponent
        return out

    def _crossings(self, values, i, times):
        run = self.simulate(values, self.problem.curves[i], times, rtol=_CROSSING_RTOL, atol=_CROSSING_ATOL)
        return crossing(times, run.progress, 0.5), crossing(times, run.progress, 0.9)

    def slope(self, name, rows) -> Union[float, np.ndarray]:
        """d fraction / d `name` at `rows` of every point (0 off the traces;
        per natural log for k_plus and nucleation_ratio)."""
        column = self.chained.get(name)
        return 0.0 if column is None else column[rows]


# The starts of a search: k_plus scanned over its bounds on this many points
# per decade for each of these nucleation ratios.
_SCAN_PER_DECADE = 8
_SCAN_RTOL = 1e-4
_RATIOS = (1.0, 1e-2, 1e-4, 1e-6)


def _half_way_guess(problem) -> float:
    """k_plus ~ 1 / (c_tot t) from each signal's half-way time (the median
    over the traces), where no simulation serves."""
    guesses = []
    for curve in problem.curves:
        if curve.vary != "time" or curve.size < 3:
            continue
        signal = curve.signal
        change = np.abs(signal - signal[0]) / max(abs(float(signal[-1] - signal[0])), 1e-300)
        reached = np.flatnonzero(change >= 0.5)
        half = float(curve.x[reached[0]]) if reached.size else float(curve.x[-1])
        guesses.append(1.0 / (curve.c_tot * max(half, float(curve.x[curve.x > 0].min(initial=1.0)))))
    return float(np.median(guesses)) if guesses else 1e5


def kinetic_scan(problem, values) -> List[Dict[str, float]]:
    """k_plus and a for the search, best first: the thermodynamics of
    `values` held, each ratio of _RATIOS simulated once per trace at
    k_plus = 1 on times spanning the bounds (every rate is k_plus times a
    constant, so k_plus t is the trace's own clock and one run serves every
    k_plus), each k_plus of a grid over the bounds scored by the traces'
    chi2 with their best baseline and amplitude; the best k_plus per ratio."""
    traces = Traces(problem)
    held = dict(problem.fixed)  # the fit's own scale (log10 of the rate constants)
    held.update({n: problem.internal(n, v) for n, v in values.items() if n not in KINETIC and n in problem.free})
    low, high = KINETIC_BOUNDS["k_plus"]
    grid = np.logspace(np.log10(low), np.log10(high), int(np.log10(high / low) * _SCAN_PER_DECADE) + 1)
    # Either one fixed is scanned at its own value only.
    if "k_plus" in problem.fixed:
        grid = np.array([problem.external("k_plus", problem.fixed["k_plus"])])
    ratios = [problem.external("nucleation_ratio", problem.fixed["nucleation_ratio"])] \
        if "nucleation_ratio" in problem.fixed else _RATIOS
    found = []
    for ratio in ratios:
        chi2 = np.zeros(grid.size)
        try:
            for i in traces.indices:
                curve = problem.curves[i]
                positive = curve.x[curve.x > 0]
                if positive.size < 2:
                    continue
                clock = np.concatenate(([0.0], np.geomspace(low * positive.min(), high * positive.max(), 400)))
                # A start needs no more sizes than the kernels' default
                # (the fit's own runs raise them where the tail is long).
                run = traces.simulate({**held, "k_plus": problem.internal("k_plus", 1.0),
                                       "nucleation_ratio": problem.internal("nucleation_ratio", ratio)}, curve, clock,
                                      rtol=_SCAN_RTOL, cutoff=CUTOFF)
                logs = np.log(clock[1:])
                for j, k_plus in enumerate(grid):
                    at = np.where(curve.x > 0, np.interp(np.log(np.maximum(k_plus * curve.x, clock[1])), logs,
                                                         run.fraction[1:]), run.fraction[0])
                    design = np.stack([np.ones_like(at), at], axis=1)
                    _, residual, rank, _ = np.linalg.lstsq(design, curve.signal, rcond=None)
                    own = float(residual[0]) if rank == 2 and residual.size else \
                        float(np.sum((curve.signal - curve.signal.mean()) ** 2))
                    chi2[j] += own * (1.0 if problem.curve_weights is None else problem.curve_weights[i] ** 2)
        except (KelvaraError, ValueError, ArithmeticError):
            continue
        best = int(np.argmin(chi2))
        found.append((chi2[best], {"k_plus": float(grid[best]), "nucleation_ratio": ratio}))
    return [guess for _, guess in sorted(found, key=lambda pair: pair[0])]


def kinetic_guess(problem, values=None) -> Dict[str, float]:
    """k_plus and a for a single local fit: the scan's best with the
    thermodynamics of `values`, else from the traces' half-way times."""
    found = kinetic_scan(problem, values) if values else []
    return found[0] if found else {"k_plus": _half_way_guess(problem), "nucleation_ratio": 1.0}


def with_kinetics(problem, candidates: List[Dict[str, float]]) -> List[Dict[str, float]]:
    """The search's starts with k_plus and a: each thermodynamic start with
    the scan's best for the first, and the first with the best of every
    ratio and a decade either side of them."""
    if problem.traces is None or not candidates:
        return candidates
    first = candidates[0]
    found = kinetic_scan(problem, first) or [kinetic_guess(problem)]
    out = [{**c, **found[0]} for c in candidates]
    out += [{**first, "k_plus": guess["k_plus"] * f, "nucleation_ratio": guess["nucleation_ratio"]}
            for guess in found for f in (0.1, 1.0, 10.0)]
    return out


# Where the rate constants are sought unless bounds are given: k_plus from
# far below anything measured to beyond diffusion control (L/(mol s)), a
# from nucleation all but shut off to a thousand times elongation's rate.
KINETIC_BOUNDS = {"k_plus": (1e-2, 1e12), "nucleation_ratio": (1e-12, 1e3)}


def kinetic_bounds(kinds) -> Dict[str, tuple]:
    return dict(KINETIC_BOUNDS) if "time" in kinds else {}


def kinetic_names(kinds) -> tuple:
    """The nonlinear parameters time traces add to a fit."""
    return KINETIC if "time" in kinds else ()
