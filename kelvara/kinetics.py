"""Nucleated supramolecular polymerisation in time.

The same model as the equilibrium fits, one monomer at a time: an aggregate
of i monomers grows by one at the rate a k+ m while it is no larger than the
nucleus would become (i + 1 <= n) and k+ m beyond, and shrinks by one at the
rate its equilibrium constant gives (sigma K up to the nucleus, K beyond),
so that at long times the state is exactly the equilibrium of the
nucleus-size-n model (n = 2 the cooperative model; sigma = 1 isodesmic).

Every aggregate up to `cutoff` monomers is followed explicitly; the larger
ones are kept as their number and total size, exact at equilibrium.  Mass
is conserved to rounding.  The integration (three-stage Radau IIA, O(N) per
step) runs in the compiled kernels.

    >>> from kelvara.kinetics import simulate
    >>> run = simulate(times, 10e-6, "20C", start_temperature="40C", nuc_size=8,
    ...                delta_h=-80e3, delta_s=-150.0, delta_h_nuc=20e3, k_plus=1e6)
    >>> run.fraction, run.t50

Units are SI: times in s, concentrations in mol/L, k+ in L/(mol s),
enthalpies in J/mol, entropies in J/(mol K), temperatures in K (a text such
as "20C" or "293.15 K" is read too).
"""

import math
from dataclasses import dataclass, field
from typing import Dict, Optional, Tuple

import numpy as np

from kelvara import _kernels
from kelvara.curves import Start
from kelvara.errors import KelvaraError
from kelvara.models import EXACT_STEPS, MODELS, constants
from kelvara.units import concentration_argument, quantity, temperature_argument

__all__ = ["CUTOFF", "SLOPES", "Simulation", "SimulationError", "Start", "simulate", "equilibrium_fraction"]

# Aggregates followed one by one; larger ones are lumped in two moments.
# Unless a cutoff is given, a run whose tail held more than TAIL_SHARE of
# c_tot is made again with four times as many sizes, up to MOST_CUTOFF.
CUTOFF = 1000
TAIL_SHARE = 0.1
MOST_CUTOFF = 16000
# Tolerances of the integration: relative, and absolute in units of c_tot.
RTOL = 1e-6
ATOL = 1e-8
# Steps a run may take: enough for ten decades at any tolerance offered,
# fewer the more sizes it follows (a fit's wild trial ends in seconds).
MAX_STEPS = 20_000
# The size of seeds added at time 0 when none is given.
SEED_SIZE = Start.seed_size

_MODEL = MODELS["cooperative_n"]
_CODE = _kernels.MODELS["cooperative_n"][0]


class SimulationError(KelvaraError):
    """The integration could not meet its tolerance: there is no trace."""


@dataclass(frozen=True)
class Simulation:
    """One run: the sums at each time, and what they came from.

    `fraction` is the share of c_tot in aggregates (1 - m / c_tot, as the
    equilibrium models define it); `monomer`, `oligomers` (in aggregates of
    2 to n monomers), `polymers` (in larger ones) are mol/L of monomer, and
    `polymer_count` the mol/L of polymers (their ends).  `slopes` (when
    asked) holds the derivatives of the fraction in the logarithms of K,
    sigma, k_plus and nucleation_ratio at the run's temperature and of K
    and sigma at the start's ("k_start", "sigma_start"; absent when the
    start is all monomer).  `beyond_cutoff` is
    the share of c_tot in aggregates larger than the cutoff: the tail is
    exact at equilibrium, and within about 1e-8 of every size followed
    while it holds a tenth of the mass (simulate raises the cutoff until it
    does, unless one is given)."""

    times: np.ndarray
    c_tot: float
    temperature: float
    nuc_size: int
    start: Start
    fraction: np.ndarray
    monomer: np.ndarray
    oligomers: np.ndarray
    polymers: np.ndarray
    polymer_count: np.ndarray
    beyond_cutoff: np.ndarray
    start_fraction: float
    equilibrium_fraction: float
    cutoff: int
    steps: int
    states: Optional[np.ndarray] = field(default=None, repr=False)
    slopes: Optional[Dict[str, np.ndarray]] = field(default=None, repr=False)

    @property
    def number_of_polymers(self) -> np.ndarray:
        return self.polymer_count

    @property
    def mean_length(self) -> np.ndarray:
        """Monomers per polymer (NaN where there are none)."""
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(self.polymer_count > 0.0, self.polymers / self.polymer_count, np.nan)

    @property
    def progress(self) -> np.ndarray:
        """How far the fraction has gone from its start to the equilibrium
        at the run's temperature (0 to 1; NaN when they are the same)."""
        change = self.equilibrium_fraction - self.start_fraction
        if not abs(change) > 1e-9:
            return np.full_like(self.fraction, np.nan)
        return (self.fraction - self.start_fraction) / change

    def half_time(self, level: float = 0.5) -> float:
        """The time (s) at which the progress first reaches `level`,
        interpolated linearly between the two times around it; NaN when it
        is not reached within the times simulated."""
        return crossing(self.times, self.progress, level)

    @property
    def t50(self) -> float:
        return self.half_time(0.5)

    @property
    def t90(self) -> float:
        return self.half_time(0.9)

    @property
    def sizes(self) -> np.ndarray:
        """The aggregate size of each column of `states` up to the cutoff
        (1 is the monomer); the last two columns are the number of larger
        aggregates and their excess over the cutoff, in mol/L."""
        return np.arange(1, self.cutoff + 1)


def crossing(times, progress, level: float) -> float:
    """The first time at which `progress` reaches `level` (NaN if it never
    does): by a cubic through the four points around it in log time (a
    trace is smooth in log time; a line between two points of a sparse grid
    misses by a good part of a step), by a line where the cubic finds no
    root between the two points."""
    p = np.asarray(progress, dtype=float)
    t = np.asarray(times, dtype=float)
    reached = np.flatnonzero(p >= level)
    if reached.size == 0:
        return math.nan
    j = int(reached[0])
    if j == 0:
        return float(t[0])
    low, high = max(j - 2, 1), min(j + 2, len(t))
    if high - low < 4:
        low, high = max(high - 4, 1), min(low + 4, len(t))
    positive = t[low:high] > 0.0
    if high - low >= 2 and positive.all():
        x, y = np.log(t[low:high]), p[low:high]
        coefficients = np.polyfit(x, y - level, min(3, len(x) - 1))
        left = math.log(t[j - 1]) if t[j - 1] > 0.0 else -math.inf
        roots = [r.real for r in np.roots(coefficients) if abs(r.imag) < 1e-9 and
                 left - 1e-12 <= r.real <= math.log(t[j]) + 1e-12]
        if roots:
            return float(np.exp(min(roots)))
    t0, t1, p0, p1 = float(t[j - 1]), float(t[j]), p[j - 1], p[j]
    return t0 + (level - p0) * (t1 - t0) / (p1 - p0)


def _rates(temperature: float, delta_h, delta_s, delta_h_nuc, delta_s_nuc) -> Tuple[float, float]:
    """K and sigma at one temperature, exactly as the equilibrium models
    compute them."""
    values = {"delta_h": delta_h, "delta_s": delta_s, "delta_h_nuc": delta_h_nuc, "delta_s_nuc": delta_s_nuc}
    view = constants(_MODEL, values, [temperature])
    return float(view["k"][0]), float(view["sigma"][0])


def _monomer(c_tot: float, k: float, sigma: float, nuc_size: int) -> float:
    monomer = bytearray(8)
    fraction = bytearray(8)
    _kernels.solve(_CODE, nuc_size, EXACT_STEPS, np.array([c_tot]).tobytes(),
                   (np.array([k]).tobytes(), np.array([sigma]).tobytes()), fraction, monomer, None)
    return float(np.frombuffer(monomer)[0])


def equilibrium_fraction(c_tot: float, k: float, sigma: float, nuc_size: int) -> float:
    """The equilibrium fraction aggregated of the nucleus-size-n model, by
    the kernels' exact bisection."""
    return 1.0 - _monomer(c_tot, k, sigma, nuc_size) / c_tot


def equilibrium_state(c_tot: float, k: float, sigma: float, nuc_size: int, cutoff: int) -> np.ndarray:
    """Every size's concentration at equilibrium (mol/L): the monomer,
    c_2 .. c_cutoff, then the number of larger aggregates and their excess
    size over the cutoff (the geometric tail, summed).  Where x = K m is so
    near 1 that 1 - x has lost more digits than the mass beyond the cutoff
    (polymers far longer than it), the tail's ratio is taken from the mass
    it must hold instead."""
    m = _monomer(c_tot, k, sigma, nuc_size)
    x = k * m
    steps = np.arange(2, cutoff + 1)
    ratio = np.where(steps <= nuc_size, sigma * x, x)  # c_i / c_(i-1)
    c = m * np.concatenate(([1.0], np.cumprod(ratio)))
    count = excess = 0.0
    last = c[-1] * x
    if last > 0.0:
        u = 1.0 - x
        beyond = c_tot - float(np.dot(np.arange(1, cutoff + 1), c))
        if beyond > u * c_tot:
            # 1 - x has lost more digits than the mass beyond has: with
            # N P + Q = beyond, P = c_N x v, Q = c_N x v^2, v = 1 / (1 - x)
            v = 0.5 * (math.sqrt(cutoff * cutoff + 4.0 * beyond / last) - cutoff)
            count = last * v
            excess = count * v
        elif u > 0.0:
            count = last / u
            excess = count / u
    return np.concatenate((c, [count, excess]))


def _positive(value, what: str, cure: str) -> float:
    number = float(value)
    if not (math.isfinite(number) and number > 0.0):
        raise KelvaraError(f"{what} must be positive and finite, not {value!r}; {cure}")
    return number


def _energy(value, unit: str, what: str) -> float:
    if isinstance(value, str):
        return quantity(value, unit, what)
    number = float(value)
    if not math.isfinite(number):
        raise KelvaraError(f"{what} must be finite, not {value!r}")
    return number


def checked_times(times) -> np.ndarray:
    """Times in s, refused unless finite, not negative and increasing."""
    t = np.asarray(times, dtype=float).reshape(-1)
    if t.size == 0:
        raise KelvaraError("no times were given; give the times (s) at which to report the state")
    if not np.all(np.isfinite(t)):
        raise KelvaraError("every time must be a finite number of seconds; drop the empty or non-numeric ones")
    if t[0] < 0.0:
        raise KelvaraError(f"times must not be negative (the first is {t[0]:g} s); count them from the jump "
                           "or the mixing, which is time 0")
    if t.size > 1 and not np.all(np.diff(t) > 0.0):
        raise KelvaraError("times must increase from each to the next; sort them and drop repeats")
    return t


def start_of(start: Optional[str], start_temperature, dilution, seeds, seed_size, nuc_size: int) -> Start:
    """The start, checked (kelvara.curves.Start checks itself): its kind
    follows from what is given unless said."""
    dilution, seeds = float(dilution), float(seeds)
    size = int(seed_size)
    if size != seed_size or size <= nuc_size:
        raise KelvaraError(f"seeds must be larger than the nucleus ({nuc_size}), not of {seed_size!r}; give "
                           "seed_size in monomers")
    kind = start if start is not None else (
        "equilibrium" if start_temperature is not None or dilution > 1.0 else "monomer")
    temperature = None if start_temperature is None else temperature_argument(start_temperature,
                                                                             what="start_temperature")
    return Start(kind, temperature, dilution, seeds, size)


def simulate(times, c_tot, temperature, start_temperature=None, nuc_size: int = 2, *, delta_h, delta_s,
             delta_h_nuc=0.0, delta_s_nuc=0.0, k_plus, nucleation_ratio=1.0, dilution=1.0, seeds=0.0,
             start: Optional[str] = None, seed_size: int = SEED_SIZE, cutoff: Optional[int] = None,
             rtol: float = RTOL, atol: float = ATOL, states: bool = False, slopes=False) -> Simulation:
    """The state at each of `times` (s) after time 0, at `temperature`.

    Starts: all monomer (the default: mixing from a good solvent); the
    equilibrium at `start_temperature` (a temperature jump); with
    `dilution` > 1 the equilibrium of a solution that many times as
    concentrated, diluted at time 0 (at `start_temperature`, or the run's);
    `seeds` mol/L of aggregates of `seed_size` monomers added at time 0.
    `c_tot` is the total concentration after mixing, seeds included.

    Bad input is refused before any work (KelvaraError, naming the cure); an
    integration that cannot meet its tolerance raises SimulationError.
    With `states`, every size's concentration at every time is kept
    (`Simulation.states`, mol/L); with `slopes` (True, or some of SLOPES),
    the derivatives of the fraction in the logarithms of the constants
    (`Simulation.slopes`), from the sensitivities integrated beside the
    state."""
    t = checked_times(times)
    c_tot = concentration_argument(c_tot, "c_tot")[0]
    run_temperature = temperature_argument(temperature, what="temperature")
    n = int(nuc_size)
    if n != nuc_size or n < 2:
        raise KelvaraError(f"the nucleus size is a whole number of monomers, 2 or more, not {nuc_size!r}")
    k_plus = _positive(k_plus, "k_plus", "give the elongation rate constant in L/(mol s), e.g. 1e6")
    ratio = _positive(nucleation_ratio, "nucleation_ratio", "give a, the nucleation rate constant over k_plus "
                                                            "(1 when they are the same)")
    begin = start_of(start, start_temperature, dilution, seeds, seed_size, n)
    size = CUTOFF if cutoff is None else int(cutoff)
    if size != (CUTOFF if cutoff is None else cutoff) or size < n + 2:
        raise KelvaraError(f"the cutoff must be a whole number above the nucleus size plus one ({n + 1}), not "
                           f"{cutoff!r}")
    if not (0.0 < rtol < 1.0 and atol > 0.0):
        raise KelvaraError("rtol must lie between 0 and 1 and atol be positive")
    energies = (_energy(delta_h, "J/mol", "delta_h"), _energy(delta_s, "J/(mol K)", "delta_s"),
                _energy(delta_h_nuc, "J/mol", "delta_h_nuc"), _energy(delta_s_nuc, "J/(mol K)", "delta_s_nuc"))
    wanted = () if not slopes else SLOPES if slopes is True else tuple(slopes)
    unknown = sorted(set(wanted) - set(SLOPES))
    if unknown:
        raise KelvaraError(f"no slope in {unknown[0]!r}: the slopes are in {', '.join(SLOPES)}")
    return run_from(t, c_tot, run_temperature, begin, n, energies, k_plus, ratio, cutoff, rtol=rtol, atol=atol,
                    states=states, wanted=wanted)


def run_from(t: np.ndarray, c_tot: float, run_temperature: float, begin: Start, n: int, energies, k_plus: float,
             ratio: float, cutoff: Optional[int] = None, rtol: float = RTOL, atol: float = ATOL,
             states: bool = False, wanted=()) -> Simulation:
    """simulate() of checked values: times in s, c_tot in mol/L, the run's
    temperature in K, its start, the nucleus size, (delta_h, delta_s,
    delta_h_nuc, delta_s_nuc), k_plus and a; `wanted` names the slopes."""
    size = CUTOFF if cutoff is None else int(cutoff)
    k, sigma = _rates(run_temperature, *energies)
    if not (math.isfinite(k) and k > 0.0 and math.isfinite(sigma) and sigma > 0.0):
        raise KelvaraError(f"K = {k:g} L/mol and sigma = {sigma:g} at {run_temperature:g} K: the enthalpies and "
                           "entropies give no finite, positive equilibrium constants there")
    seed_mass = begin.seeds * begin.seed_size
    if seed_mass >= c_tot:
        raise KelvaraError(f"the seeds hold {seed_mass:.3g} mol/L of monomer, all of c_tot ({c_tot:.3g}) or "
                           "more; give fewer or smaller seeds")

    def run(size):
        state = _start_state(begin, c_tot - seed_mass, run_temperature, energies, n, size)
        _add_seeds(state, begin)
        names = []
        start_blocks = [state]
        if wanted:
            names = [name for name in SLOPES[:4] if name in wanted]
            start_blocks += [np.zeros_like(state)] * len(names)
            if begin.kind == "equilibrium" and {"k_start", "sigma_start"} & set(wanted):
                moved = _start_slopes(begin, c_tot - seed_mass, run_temperature, energies, n, size)
                for name, block in zip(("k_start", "sigma_start"), moved):
                    if name in wanted:
                        names.append(name)
                        start_blocks.append(block)
        forcings = tuple(_FORCINGS.get(name, _FORCINGS["none"]) for name in names)
        dim = size + 2
        blocks = 1 + len(names)
        sums = bytearray(8 * 5 * blocks * t.size)
        kept = bytearray(8 * dim * t.size) if states else None
        try:
            start_of_run = (np.concatenate(start_blocks) / c_tot).tobytes()
            most = max(MAX_STEPS * CUTOFF // size, MAX_STEPS // 10)
            stats = _kernels.simulate(n, k, sigma, k_plus, ratio, c_tot, start_of_run, forcings,
                                      t.tobytes(), float(rtol), float(atol), most, sums, kept)
        except ArithmeticError as error:
            raise SimulationError(f"the simulation could not be completed: {error}; the rates may be too far "
                                  "apart for the tolerance (try a looser rtol) or the times too long"
                                  ) from None
        every = np.frombuffer(sums).reshape(t.size, blocks, 5)
        out = every[:, 0, :] * c_tot
        monomer = out[:, 0].copy()
        return Simulation(
            times=t, c_tot=c_tot, temperature=run_temperature, nuc_size=n, start=begin,
            fraction=1.0 - monomer / c_tot, monomer=monomer, oligomers=out[:, 1].copy(),
            polymers=out[:, 2].copy(), polymer_count=out[:, 3].copy(), beyond_cutoff=out[:, 4] / c_tot,
            start_fraction=1.0 - state[0] / c_tot,
            equilibrium_fraction=equilibrium_fraction(c_tot, k, sigma, n), cutoff=size, steps=int(stats[0]),
            states=None if kept is None else np.frombuffer(kept).reshape(-1, dim) * c_tot,
            slopes={name: -every[:, 1 + j, 0].copy() for j, name in enumerate(names)} if wanted else None)

    result = run(size)
    # The tail's closure is exact at equilibrium and within rounding of the
    # integration while the tail holds little: where it held more than
    # TAIL_SHARE of c_tot, the run is made again with four times the sizes.
    while cutoff is None and size < MOST_CUTOFF and float(np.max(result.beyond_cutoff)) > TAIL_SHARE:
        size *= 4
        result = run(size)
    return result


# What the fraction's derivatives are taken in: the logarithms of the run's
# constants, then of the start's (an equilibrium start only).
SLOPES = ("k", "sigma", "k_plus", "nucleation_ratio", "k_start", "sigma_start")
# The kernels' codes of what a sensitivity is taken in.
_FORCINGS = {"k": 0, "sigma": 1, "k_plus": 2, "nucleation_ratio": 3, "none": 4}
# The relative step of the start's derivatives (its state is exact to rounding).
_START_STEP = 1e-6


def _start_slopes(begin: Start, c_free: float, run_temperature: float, energies, nuc_size: int, cutoff: int):
    """d state / d ln K and d ln sigma of an equilibrium start (mol/L), by
    central differences of its exact state."""
    at = begin.temperature if begin.temperature is not None else run_temperature
    k0, sigma0 = _rates(at, *energies)
    c = c_free * begin.dilution
    for moved in ((k0, 0), (sigma0, 1)):
        up, down = [k0, sigma0], [k0, sigma0]
        up[moved[1]] = moved[0] * math.exp(_START_STEP)
        down[moved[1]] = moved[0] * math.exp(-_START_STEP)
        change = (equilibrium_state(c, up[0], up[1], nuc_size, cutoff)
                  - equilibrium_state(c, down[0], down[1], nuc_size, cutoff))
        yield change / (2.0 * _START_STEP) / begin.dilution


def _start_state(begin: Start, c_free: float, run_temperature: float, energies, nuc_size: int,
                 cutoff: int) -> np.ndarray:
    """The concentrations at time 0 after mixing, before any seeds, of
    c_free mol/L of monomer."""
    if begin.kind == "monomer":
        state = np.zeros(cutoff + 2)
        state[0] = c_free
        return state
    at = begin.temperature if begin.temperature is not None else run_temperature
    k0, sigma0 = _rates(at, *energies)
    if not (math.isfinite(k0) and k0 > 0.0 and math.isfinite(sigma0) and sigma0 > 0.0):
        raise KelvaraError(f"K = {k0:g} L/mol and sigma = {sigma0:g} at the start temperature ({at:g} K): no "
                           "equilibrium to start from")
    return equilibrium_state(c_free * begin.dilution, k0, sigma0, nuc_size, cutoff) / begin.dilution


def _add_seeds(state: np.ndarray, begin: Start) -> None:
    if begin.seeds <= 0.0:
        return
    cutoff = state.size - 2
    if begin.seed_size <= cutoff:
        state[begin.seed_size - 1] += begin.seeds
    else:
        state[cutoff] += begin.seeds
        state[cutoff + 1] += begin.seeds * (begin.seed_size - cutoff)
