"""The time traces of a fit: each simulated from its start with the fit's
values (kelvara.kinetics), the fraction aggregated at its times, and the
derivatives of that fraction in the fitted parameters from the
sensitivities integrated beside it.

The thermodynamic parameters move the run's constants (K, sigma at the
trace's temperature) and, for a start from equilibrium, the start's (at its
temperature): d fraction / d delta_h = s_K (-1 / R T) + s_K0 (-1 / R T0),
and so on; k_plus and nucleation_ratio are fitted as their logarithms."""

from __future__ import annotations

from typing import Dict, List

import numpy as np

from kelvara.errors import KelvaraError
from kelvara.kinetics import run_from
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
        names = set()
        for name in self.problem.free_thermo:
            moves = _MOVES.get(name)
            if moves is not None:
                names.update(m for m in moves[:2] if m is not None)
        return sorted(names)

    def _arguments(self, values):
        plain = self.problem.plain(values)
        energies = (plain["delta_h"], plain["delta_s"], plain.get("delta_h_nuc", 0.0), plain.get("delta_s_nuc", 0.0))
        return energies, plain["k_plus"], plain["nucleation_ratio"]

    def simulate(self, values, curve, times, slopes=()):
        energies, k_plus, ratio = self._arguments(values)
        return run_from(np.asarray(times, dtype=float), curve.c_tot, curve.temperature, curve.start,
                        self.nuc_size, energies, k_plus, ratio, wanted=tuple(slopes))

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

    def slope(self, name, rows) -> np.ndarray:
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
