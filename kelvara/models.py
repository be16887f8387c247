"""The one table of models: what the fit, the command and its help all read.

Each entry names a model, its `_core` functions (over temperatures and over
concentrations), its thermodynamic parameters with their units, which of
them are the elongation enthalpy, entropy and nucleation enthalpy, and a
sentence on when the field uses it.  Units of every other name the package
writes (per-curve parameters, derived values, the `_core` parameters of
`kelvara curve`) are here too, written once.

Needs nothing beyond `_core`.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Dict, Optional, Tuple

from kelvara import _core

__all__ = ["GAS_CONSTANT", "MODELS", "Model", "PARAMETER_UNITS", "degree_of_polymerisation", "unit_of"]

GAS_CONSTANT = 8.314  # J/(mol K), as in the models


@dataclass(frozen=True)
class Model:
    """One model: its functions, its thermodynamic parameters, which of them
    are the elongation enthalpy and entropy and the nucleation enthalpy (None
    for the isodesmic models, which have no elongation temperature and no
    sigma), and when the field uses it."""

    name: str
    function: Optional[Callable]  # over temperatures: temp_* of _core (mass-balance models)
    concentration_function: Optional[Callable]  # over total concentrations
    thermo: Tuple[str, ...]  # shared by every curve
    elongation: Tuple[Optional[str], Optional[str], Optional[str]]
    description: str
    per_curve: Tuple[str, ...] = ()  # phenomenological models: parameters of each curve
    log_scale: Tuple[str, ...] = ()  # fitted as their base-10 logarithm
    curve_fraction: Optional[Callable] = None  # (parameters of one curve, temperatures) -> fraction

    @property
    def cooperative(self) -> bool:
        return self.elongation[2] is not None

    @property
    def takes_nuc_size(self) -> bool:
        return self.name == "cooperative_n"

    @property
    def mass_balance(self) -> bool:
        """Solved from a mass balance by _core (not a phenomenological shape)."""
        return self.function is not None


_COOPERATIVE = ("delta_h", "delta_s", "delta_h_nuc")
MODELS: Dict[str, Model] = {
    model.name: model
    for model in [
        Model("isodesmic", _core.temp_isodesmic_model, _core.isodesmic_model, ("delta_h", "delta_s"),
              ("delta_h", "delta_s", None),
              "every monomer addition has the same constant K: a gradual, sigmoidal transition with no "
              "critical temperature (e.g. many dyes and small aromatic stacks)"),
        Model("isodesmic_direct", _core.temp_isodesmic_model_direct, _core.isodesmic_model_direct,
              ("delta_h", "delta_s"), ("delta_h", "delta_s", None),
              "the isodesmic model in closed form: the same curves, computed directly"),
        Model("cooperative", _core.temp_cooperative_model, _core.cooperative_model, _COOPERATIVE, _COOPERATIVE,
              "nucleation-elongation with a dimer nucleus: a sharp onset at the elongation temperature Te, "
              "the usual choice for cooperative supramolecular polymers"),
        Model("cooperative_n", _core.temp_cooperative_model_n, _core.cooperative_model_n, _COOPERATIVE,
              _COOPERATIVE,
              "the cooperative model with a nucleus of nuc_size monomers (--nuc-size N, or A:B to scan), "
              "when a dimer nucleus does not describe the onset"),
        Model("coop_iso", _core.temp_coop_iso_model, _core.coop_iso_model,
              ("delta_h_iso", "delta_s_iso", "delta_h_coop", "delta_s_coop", "delta_h_nuc_coop"),
              ("delta_h_coop", "delta_s_coop", "delta_h_nuc_coop"),
              "an isodesmic and a cooperative pathway competing (e.g. off-pathway aggregates); needs "
              "data that show both"),
        Model("vanderschoot", None, None, (), (None, None, None),
              "the nucleation-elongation model of van der Schoot (Smulders et al., Chem. Eur. J. 2010): "
              "per cooling curve an elongation temperature te, an elongation enthalpy h_e and an activation "
              "constant ka (Nn(Te) = ka^-1/3); a van 't Hoff line through ln c_tot against 1/Te gives "
              "delta_h_vh and delta_s_vh. For comparison with published values",
              per_curve=("te", "h_e", "ka"), log_scale=("ka",), curve_fraction=lambda p, t: vanderschoot(
                  t, p["te"], p["h_e"], p["ka"], p.get("branch"))),
        Model("isodesmic_sigmoid", None, None, (), (None, None, None),
              "the sigmoid used for isodesmic curves: per curve a melting temperature tm and an enthalpy "
              "delta_h, phi = 1 / (1 + exp(-0.908 delta_h (T - tm) / (R tm^2))). For comparison with "
              "published values; the isodesmic model fits the mass balance itself",
              per_curve=("tm", "delta_h"), curve_fraction=lambda p, t: isodesmic_sigmoid(
                  t, p["tm"], p["delta_h"])),
    ]
}

# The unit of every parameter a user sets or the package reports, by name.
PARAMETER_UNITS = {
    "delta_h": "J/mol", "delta_s": "J/(mol K)", "delta_h_nuc": "J/mol",
    "delta_h_iso": "J/mol", "delta_s_iso": "J/(mol K)", "delta_h_coop": "J/mol",
    "delta_s_coop": "J/(mol K)", "delta_h_nuc_coop": "J/mol", "c_tot": "mol/L",
    "k": "L/mol", "k_iso": "L/mol", "k_coop": "L/mol", "sigma": "1",
    "baseline": "signal", "amplitude": "signal", "slope": "signal/K", "aggregate_slope": "signal/K",
    "Te": "K", "Tm": "K", "sigma(Te)": "1", "nuc_size": "1",
    "te": "K", "h_e": "J/mol", "ka": "1", "tm": "K", "delta_h_vh": "J/mol", "delta_s_vh": "J/(mol K)",
}
PARAMETER_MEANINGS = {
    "delta_h": "enthalpy of elongation", "delta_s": "entropy of elongation",
    "delta_h_nuc": "nucleation penalty: sigma = exp(-delta_h_nuc / RT)",
    "delta_h_iso": "enthalpy of the isodesmic pathway", "delta_s_iso": "entropy of the isodesmic pathway",
    "delta_h_coop": "enthalpy of cooperative elongation", "delta_s_coop": "entropy of cooperative elongation",
    "delta_h_nuc_coop": "nucleation penalty of the cooperative pathway",
    "te": "elongation temperature of the curve", "h_e": "molar elongation enthalpy (negative)",
    "ka": "activation constant of nucleation, fitted on a log scale", "tm": "melting temperature of the curve",
}


def unit_of(name: str) -> str:
    """The unit of a parameter or derived value, by its name ("baseline[2]",
    "K(298.15 K)", "Te[0]"); "signal" is the unit of the data's own signal."""
    base = name.split("[")[0]
    if base in PARAMETER_UNITS:
        return PARAMETER_UNITS[base]
    base = base.split("(")[0]
    if base.startswith("dG"):
        return "J/mol"
    if base.startswith("K"):
        return "L/mol"
    return PARAMETER_UNITS.get(base, "1")


def equilibrium_constant(delta_h, delta_s, temperature):
    """K = exp(delta_s / R - delta_h / (R T)), R = 8.314 J/(mol K), as the models compute it."""
    import numpy as np

    return np.exp(delta_s / GAS_CONSTANT - delta_h / (np.asarray(temperature, dtype=float) * GAS_CONSTANT))


def degree_of_polymerisation(model: str, values, temperature, c_tot, fraction, nuc_size=None):
    """(dp_n, dp_n_all): the number-average degree of polymerisation of the
    aggregates (species of 2 or more) and of all species (monomer included),
    from the free monomer m = c_tot (1 - fraction) at each temperature.

    With x = K m, the aggregates of i monomers are x^i / K (isodesmic),
    (sigma / K) x^i (dimer nucleus), sigma^(i-1) x^i / K up to the nucleus
    and sigma^(n-1) x^i / K beyond (nucleus of n), or both pathways' sums
    (mixed), so that their number N and the monomer they hold M are geometric
    series in closed form; dp_n = M / N and dp_n_all = (m + M) / (m + N)."""
    import numpy as np

    t = np.asarray(temperature, dtype=float)
    m = c_tot * (1.0 - np.asarray(fraction, dtype=float))

    def series(k, weight, x):
        # sum_{i>=2} weight x^i / k and sum_{i>=2} i weight x^i / k
        number = weight * x * x / (1.0 - x) / k
        held = weight * x * x * (2.0 - x) / ((1.0 - x) ** 2) / k
        return number, held

    if model in ("isodesmic", "isodesmic_direct"):
        k = equilibrium_constant(values["delta_h"], values["delta_s"], t)
        number, held = series(k, 1.0, k * m)
    elif model == "cooperative":
        k = equilibrium_constant(values["delta_h"], values["delta_s"], t)
        sigma = np.exp(-values["delta_h_nuc"] / (t * GAS_CONSTANT))
        number, held = series(k, sigma, k * m)
    elif model == "cooperative_n":
        n = int(nuc_size)
        k = equilibrium_constant(values["delta_h"], values["delta_s"], t)
        sigma = np.exp(-values["delta_h_nuc"] / (t * GAS_CONSTANT))
        x = k * m
        number = np.zeros_like(x)
        held = np.zeros_like(x)
        term = x * x * sigma  # sigma^(i-1) x^i at i = 2
        for i in range(2, n):
            number = number + term
            held = held + i * term
            term = term * sigma * x
        tail = sigma ** (n - 1) * x ** n  # sum_{i>=n} x^i = x^n / (1 - x), and i x^i likewise
        number = (number + tail / (1.0 - x)) / k
        held = (held + tail * (n - (n - 1) * x) / ((1.0 - x) ** 2)) / k
    elif model == "coop_iso":
        k_iso = equilibrium_constant(values["delta_h_iso"], values["delta_s_iso"], t)
        k_coop = equilibrium_constant(values["delta_h_coop"], values["delta_s_coop"], t)
        sigma = np.exp(-values["delta_h_nuc_coop"] / (t * GAS_CONSTANT))
        n_iso, h_iso = series(k_iso, 1.0, k_iso * m)
        n_coop, h_coop = series(k_coop, sigma, k_coop * m)
        number, held = n_iso + n_coop, h_iso + h_coop
    else:
        raise ValueError(f"{model} is not a mass-balance model: it has no species distribution")
    with np.errstate(divide="ignore", invalid="ignore"):
        return held / number, (m + held) / (m + number)


def vanderschoot(temperature, te, h_e, ka, branch=None):
    """Degree of aggregation of the van der Schoot model, piecewise at Te:
    1 - exp(-h_e (T - Te) / (R Te^2)) at and below Te (phi_SAT folded into the
    amplitude), ka^(1/3) exp((2/3 ka^(-1/3) - 1) h_e (T - Te) / (R Te^2))
    above (a small step at Te, as published).  branch: the temperature that
    splits the two regimes, when not Te itself (a derivative in Te that does
    not count points jumping across the step)."""
    import numpy as np

    t = np.asarray(temperature, dtype=float)
    z = h_e * (t - te) / (GAS_CONSTANT * te * te)
    with np.errstate(over="ignore", invalid="ignore"):
        elongation = -np.expm1(-z)
        third = ka ** (1.0 / 3.0)
        nucleation = third * np.exp((2.0 / (3.0 * third) - 1.0) * z)
    return np.where(t <= (te if branch is None else branch), elongation, nucleation)


# The slope factor of the isodesmic sigmoid as published.
SIGMOID_FACTOR = 0.908


def isodesmic_sigmoid(temperature, tm, delta_h):
    """phi = 1 / (1 + exp(-0.908 delta_h (T - tm) / (R tm^2)))."""
    import numpy as np

    t = np.asarray(temperature, dtype=float)
    z = SIGMOID_FACTOR * delta_h * (t - tm) / (GAS_CONSTANT * tm * tm)
    with np.errstate(over="ignore"):
        return 1.0 / (1.0 + np.exp(-z))
