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
from kelvara.kinetics import ATOL, RTOL, run_from
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


def _crossing(times, progress, level) -> float:
    """The time progress first reaches `level`, by a cubic through the four
    grid points around it in log time (NaN where it is not reached)."""
    reached = np.flatnonzero(progress >= level)
    if reached.size == 0 or reached[0] == 0:
        return float("nan")
    j = int(reached[0])
    low, high = max(j - 2, 1), min(j + 2, len(times))
    if high - low < 4:
        low, high = max(high - 4, 1), min(low + 4, len(times))
    x, y = np.log(times[low:high]), progress[low:high]
    if len(x) < 2:
        return float("nan")
    coefficients = np.polyfit(x, y - level, min(3, len(x) - 1))
    roots = [r.real for r in np.roots(coefficients) if abs(r.imag) < 1e-9 and
             np.log(times[j - 1]) - 1e-12 <= r.real <= np.log(times[j]) + 1e-12]
    if not roots:
        t0, t1, p0, p1 = times[j - 1], times[j], progress[j - 1], progress[j]
        return float(t0 + (level - p0) * (t1 - t0) / (p1 - p0))
    return float(np.exp(min(roots)))


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

    def simulate(self, values, curve, times, slopes=(), rtol=RTOL, atol=ATOL):
        energies, k_plus, ratio = self._arguments(values)
        return run_from(np.asarray(times, dtype=float), curve.c_tot, curve.temperature, curve.start,
                        self.nuc_size, energies, k_plus, ratio, wanted=tuple(slopes), rtol=rtol, atol=atol)

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
        return _crossing(times, run.progress, 0.5), _crossing(times, run.progress, 0.9)

    def slope(self, name, rows) -> Union[float, np.ndarray]:
        """d fraction / d `name` at `rows` of every point (0 off the traces;
        per natural log for k_plus and nucleation_ratio)."""
        column = self.chained.get(name)
        return 0.0 if column is None else column[rows]


# The starts of a search: k_plus at these factors of the guess from the
# traces' half-times, each with these nucleation ratios.
_K_PLUS_FACTORS = (1e-3, 10.0 ** -1.5, 1.0, 10.0 ** 1.5, 1e3)
_RATIOS = (1.0, 1e-2, 1e-4)


def kinetic_guess(problem) -> Dict[str, float]:
    """k_plus from the traces as measured: each signal's half-way time t
    gives k_plus ~ 1 / (c_tot t) (the median over the traces); a = 1."""
    guesses = []
    for curve in problem.curves:
        if curve.vary != "time" or curve.size < 3:
            continue
        signal = curve.signal
        change = np.abs(signal - signal[0]) / max(abs(float(signal[-1] - signal[0])), 1e-300)
        reached = np.flatnonzero(change >= 0.5)
        half = float(curve.x[reached[0]]) if reached.size else float(curve.x[-1])
        guesses.append(1.0 / (curve.c_tot * max(half, float(curve.x[curve.x > 0].min(initial=1.0)))))
    return {"k_plus": float(np.median(guesses)) if guesses else 1e5, "nucleation_ratio": 1.0}


def with_kinetics(problem, candidates: List[Dict[str, float]]) -> List[Dict[str, float]]:
    """The search's starts with k_plus and a: each thermodynamic start with
    the guess, and the first of them across the grid of both."""
    if problem.traces is None or not candidates:
        return candidates
    guess = kinetic_guess(problem)
    out = [{**guess, **c} for c in candidates]
    first = candidates[0]
    out += [{**first, "k_plus": guess["k_plus"] * f, "nucleation_ratio": a} for f in _K_PLUS_FACTORS
            for a in _RATIOS]
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
