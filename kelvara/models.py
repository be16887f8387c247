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

import math
from dataclasses import dataclass
from typing import Callable, Dict, Optional, Tuple

from kelvara import _core
from kelvara.errors import KelvaraError

__all__ = ["GAS_CONSTANT", "MODELS", "Model", "PARAMETER_UNITS", "curve_fraction_slopes", "degree_of_polymerisation",
           "unit_of"]

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
    # What the model fits: "temperature" (cooling and heating curves),
    # "concentration" (series against c_tot) and "solvent" (denaturation).
    experiments: Tuple[str, ...] = ("temperature",)
    # At one temperature: the constants the concentration function takes,
    # fitted on a log scale when a series holds one temperature only.
    constants: Tuple[str, ...] = ()
    # The entropy of nucleation, sigma = exp(delta_s_nuc / R - delta_h_nuc /
    # (R T)): a parameter of the cooperative models across temperatures,
    # fixed at 0 unless freed.
    nucleation_entropy: Optional[str] = None

    @property
    def cooperative(self) -> bool:
        return self.elongation[2] is not None

    @property
    def takes_nuc_size(self) -> bool:
        return self.name == "cooperative_n"

    @property
    def mass_balance(self) -> bool:
        """Solved from a mass balance by _core (not a phenomenological shape)."""
        return self.function is not None or self.concentration_function is not None

    @property
    def denaturation(self) -> bool:
        return self.experiments == ("solvent",)


# The experiments a model may fit, by what their curves vary.
EXPERIMENTS = {"temperature": "curves against temperature", "concentration": "concentration series",
               "solvent": "solvent denaturations"}
_COOPERATIVE = ("delta_h", "delta_s", "delta_h_nuc")
_BOTH = ("temperature", "concentration")
MODELS: Dict[str, Model] = {
    model.name: model
    for model in [
        Model("isodesmic", _core.temp_isodesmic_model, _core.isodesmic_model, ("delta_h", "delta_s"),
              ("delta_h", "delta_s", None),
              "every monomer addition has the same constant K: a gradual, sigmoidal transition with no "
              "critical temperature (e.g. many dyes and small aromatic stacks)",
              experiments=_BOTH, constants=("k",)),
        Model("isodesmic_direct", _core.temp_isodesmic_model_direct, _core.isodesmic_model_direct,
              ("delta_h", "delta_s"), ("delta_h", "delta_s", None),
              "the isodesmic model in closed form: the same curves, computed directly"),
        Model("cooperative", _core.temp_cooperative_model, _core.cooperative_model, _COOPERATIVE, _COOPERATIVE,
              "nucleation-elongation with a dimer nucleus: a sharp onset at the elongation temperature Te, "
              "the usual choice for cooperative supramolecular polymers",
              experiments=_BOTH, constants=("k", "sigma"), nucleation_entropy="delta_s_nuc"),
        Model("cooperative_n", _core.temp_cooperative_model_n, _core.cooperative_model_n, _COOPERATIVE,
              _COOPERATIVE,
              "the cooperative model with a nucleus of nuc_size monomers (--nuc-size N, or A:B to scan), "
              "when a dimer nucleus does not describe the onset",
              experiments=_BOTH, constants=("k", "sigma"), nucleation_entropy="delta_s_nuc"),
        Model("coop_iso", _core.temp_coop_iso_model, _core.coop_iso_model,
              ("delta_h_iso", "delta_s_iso", "delta_h_coop", "delta_s_coop", "delta_h_nuc_coop"),
              ("delta_h_coop", "delta_s_coop", "delta_h_nuc_coop"),
              "an isodesmic and a cooperative pathway competing (e.g. off-pathway aggregates); needs "
              "data that show both",
              experiments=_BOTH, constants=("k_iso", "k_coop", "sigma"), nucleation_entropy="delta_s_nuc"),
        Model("denaturation", None, _core.cooperative_model, ("delta_g0", "m", "sigma"), (None, None, None),
              "solvent denaturation of a cooperative polymer (Korevaar et al., JACS 2012): dimer nucleus, "
              "Ke = exp(-(delta_g0 + m f) / RT) at good-solvent fraction f, a constant sigma",
              log_scale=("sigma",), experiments=("solvent",)),
        Model("denaturation_isodesmic", None, _core.isodesmic_model, ("delta_g0", "m"), (None, None, None),
              "solvent denaturation of an isodesmic polymer: K = exp(-(delta_g0 + m f) / RT)",
              experiments=("solvent",)),
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
    "delta_h": "J/mol", "delta_s": "J/(mol K)", "delta_h_nuc": "J/mol", "delta_s_nuc": "J/(mol K)",
    "delta_h_iso": "J/mol", "delta_s_iso": "J/(mol K)", "delta_h_coop": "J/mol",
    "delta_s_coop": "J/(mol K)", "delta_h_nuc_coop": "J/mol", "c_tot": "mol/L",
    "k": "L/mol", "k_iso": "L/mol", "k_coop": "L/mol", "sigma": "1",
    "baseline": "signal", "amplitude": "signal", "slope": "signal/K", "aggregate_slope": "signal/K",
    "Te": "K", "Tm": "K", "sigma(Te)": "1", "nuc_size": "1",
    "te": "K", "h_e": "J/mol", "ka": "1", "tm": "K", "delta_h_vh": "J/mol", "delta_s_vh": "J/(mol K)",
    "delta_g0": "J/mol", "m": "J/mol", "f50": "1", "c50": "mol/L", "temperature": "K", "solvent": "1",
}
PARAMETER_MEANINGS = {
    "delta_h": "enthalpy of elongation", "delta_s": "entropy of elongation",
    "delta_h_nuc": "nucleation penalty: sigma = exp(delta_s_nuc / R - delta_h_nuc / RT)",
    "delta_s_nuc": "entropy of nucleation (fixed at 0 unless freed: --free delta_s_nuc)",
    "delta_h_iso": "enthalpy of the isodesmic pathway", "delta_s_iso": "entropy of the isodesmic pathway",
    "delta_h_coop": "enthalpy of cooperative elongation", "delta_s_coop": "entropy of cooperative elongation",
    "delta_h_nuc_coop": "nucleation penalty of the cooperative pathway",
    "te": "elongation temperature of the curve", "h_e": "molar elongation enthalpy (negative)",
    "ka": "activation constant of nucleation, fitted on a log scale", "tm": "melting temperature of the curve",
    "k": "elongation constant at the series' temperature, fitted on a log scale",
    "k_iso": "constant of the isodesmic pathway, fitted on a log scale",
    "k_coop": "elongation constant of the cooperative pathway, fitted on a log scale",
    "sigma": "cooperativity: nucleation constant / elongation constant, fitted on a log scale",
    "delta_g0": "Gibbs energy of elongation without good solvent (f = 0)",
    "m": "how much a unit fraction of good solvent raises the Gibbs energy of elongation",
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


def constants(model: Model, values, temperature, solvent=None):
    """The constants the concentration function takes, in its order (k; k
    and sigma; k_iso, k_coop and sigma), as lists of floats, one per point
    (`temperature` and, for denaturation, `solvent` per point): given
    directly (a series at one temperature), from the thermodynamic
    parameters exactly as the temperature models compute them (rt = T 8.314,
    K = exp(dS / 8.314 - dH / rt), sigma = exp(-dH_nuc / rt)), or for
    denaturation K = exp(-(dG0 + m f) / rt) at good-solvent fraction f."""
    import numpy as np

    t = np.asarray(temperature, float).tolist()
    count = len(t)
    exp = math.exp
    if model.denaturation:
        out = {"k": [exp(-(values["delta_g0"] + values["m"] * f) / (tt * GAS_CONSTANT))
                     for tt, f in zip(t, np.asarray(solvent, float).tolist())]}
        if "sigma" in model.thermo:
            out["sigma"] = [values["sigma"]] * count
        return out
    if model.constants and all(n in values for n in model.constants):
        return {n: [values[n]] * count for n in model.constants}

    def rule(h, s):
        q = values[s] / GAS_CONSTANT
        return [exp(q - values[h] / (tt * GAS_CONSTANT)) for tt in t]

    def nucleation(h):  # with no entropy of nucleation, exp(0 - h / rt) is exp(-h / rt) to the bit
        q = values.get("delta_s_nuc", 0.0) / GAS_CONSTANT
        return [exp(q - values[h] / (tt * GAS_CONSTANT)) for tt in t]

    if model.name == "coop_iso":
        return {"k_iso": rule("delta_h_iso", "delta_s_iso"), "k_coop": rule("delta_h_coop", "delta_s_coop"),
                "sigma": nucleation("delta_h_nuc_coop")}
    out = {"k": rule("delta_h", "delta_s")}
    if model.cooperative:
        out["sigma"] = nucleation("delta_h_nuc")
    return out


# Halvings of [0, 1/K] that reach the bracket's fixed point from any start
# (steps past it cost nothing): every fraction is then exact to double
# precision, down to K c_tot of about 1e-600.
EXACT_STEPS = 2200


def concentration_fraction(model: Model, consts, c_tot, nuc_size=None, steps=EXACT_STEPS):
    """The fraction aggregated at each total concentration from _core's
    concentration function.  Where the dimer-nucleus solver ends in its
    guard (the root within rounding of 1/K: a tiny sigma with a large K
    c_tot), the nucleus-size solver with n = 2, which gives the same doubles
    wherever both succeed, answers instead."""
    import numpy as np

    solve = model.concentration_function
    if solve is None or solve is _core.isodesmic_model_direct:
        raise KelvaraError(f"the {model.name} model has no bisected concentration function")
    columns = list(consts.values())  # in the function's own order (see constants)
    c = np.broadcast_to(np.asarray(c_tot, float), (len(columns[0]),)).tolist()
    extra = (nuc_size,) if model.takes_nuc_size else ()
    out = []
    for cc, *ks in zip(c, *columns):
        try:
            out.append(solve(cc, *ks, *extra, steps))
        except ValueError:
            if solve is not _core.cooperative_model:
                raise
            k, sigma = ks
            out.append(_core.cooperative_model_n(cc, k, sigma, 2, steps))
    return np.array(out, dtype=float)


def half_aggregation_constant(sigma, c_tot):
    """K at which half the monomer is aggregated at c_tot (dimer nucleus;
    sigma = 1 is the isodesmic model): with the free monomer c_tot / 2 and
    x = K c_tot / 2, the balance becomes (1 - x)^2 = sigma x (2 - x), so
    x = 1 - sqrt(sigma / (1 + sigma))."""
    return 2.0 * (1.0 - math.sqrt(sigma / (1.0 + sigma))) / c_tot


def degree_of_polymerisation(model: str, values, temperature, c_tot, fraction, nuc_size=None, solvent=None):
    """(dp_n, dp_n_all): the number-average degree of polymerisation of the
    aggregates (species of 2 or more) and of all species (monomer included),
    from the free monomer m = c_tot (1 - fraction) at each point, with the
    model's constants there (see `constants`).

    With x = K m, the aggregates of i monomers are x^i / K (isodesmic),
    (sigma / K) x^i (dimer nucleus), sigma^(i-1) x^i / K up to the nucleus
    and sigma^(n-1) x^i / K beyond (nucleus of n), or both pathways' sums
    (mixed), so that their number N and the monomer they hold M are geometric
    series in closed form; dp_n = M / N and dp_n_all = (m + M) / (m + N)."""
    import numpy as np

    entry = MODELS[model]
    if not entry.mass_balance:
        raise KelvaraError(f"{model} is not a mass-balance model: it has no species distribution")
    fraction = np.asarray(fraction, dtype=float)
    m = np.asarray(c_tot, dtype=float) * (1.0 - fraction)
    temperature = np.broadcast_to(np.asarray(temperature, dtype=float), fraction.shape)
    consts = {n: np.array(v, dtype=float) for n, v in constants(entry, values, temperature, solvent).items()}

    def series(k, weight, x):
        # sum_{i>=2} weight x^i / k and sum_{i>=2} i weight x^i / k
        number = weight * x * x / (1.0 - x) / k
        held = weight * x * x * (2.0 - x) / ((1.0 - x) ** 2) / k
        return number, held

    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        if model == "coop_iso":
            n_iso, h_iso = series(consts["k_iso"], 1.0, consts["k_iso"] * m)
            n_coop, h_coop = series(consts["k_coop"], consts["sigma"], consts["k_coop"] * m)
            number, held = n_iso + n_coop, h_iso + h_coop
        elif model == "cooperative_n":
            n = int(nuc_size)
            k, sigma = consts["k"], consts["sigma"]
            x = k * m
            number = np.zeros_like(x)
            held = np.zeros_like(x)
            term = x * x * sigma  # sigma^(i-1) x^i at i = 2
            for i in range(2, n):
                number = number + term
                held = held + i * term
                term = term * sigma * x
            tail = (sigma * x) ** (n - 1) * x  # sigma^(n-1) sum_{i>=n} x^i = that / (1 - x), i x^i likewise
            number = (number + tail / (1.0 - x)) / k
            held = (held + tail * (n - (n - 1) * x) / ((1.0 - x) ** 2)) / k
        else:
            k = consts["k"]
            number, held = series(k, consts.get("sigma", 1.0), k * m)
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


def curve_fraction_slopes(model, p, temperature):
    """The derivatives of a phenomenological model's fraction in each of
    its per-curve parameters (te, h_e and ka; tm and delta_h), at the
    temperatures, each within its own regime (a point does not jump across
    the step of the van der Schoot model at Te)."""
    import numpy as np

    t = np.asarray(temperature, dtype=float)
    if model == "isodesmic_sigmoid":
        tm, delta_h = p["tm"], p["delta_h"]
        phi = isodesmic_sigmoid(t, tm, delta_h)
        dz = phi * (1.0 - phi) * SIGMOID_FACTOR / (GAS_CONSTANT * tm * tm)
        return {"delta_h": dz * (t - tm), "tm": -dz * delta_h * (2.0 * t - tm) / tm}
    te, h_e, ka = p["te"], p["h_e"], p["ka"]
    rte2 = GAS_CONSTANT * te * te
    z = h_e * (t - te) / rte2
    dz_dh = (t - te) / rte2
    dz_dte = -h_e * (2.0 * t - te) / (rte2 * te)
    third = ka ** (1.0 / 3.0)
    rate = 2.0 / (3.0 * third) - 1.0
    with np.errstate(over="ignore", invalid="ignore"):
        below = np.exp(-z)  # d phi / dz at and below Te
        grown = np.exp(rate * z)
        above = third * rate * grown
        # d phi / d ka through ka^(1/3): e^(rate z) (1 - 2 z / (3 ka^(1/3))) d ka^(1/3) / d ka
        d_ka = grown * (1.0 - 2.0 * z / (3.0 * third)) * third / (3.0 * ka)
    elongation = t <= te
    slope = np.where(elongation, below, above)
    return {"h_e": slope * dz_dh, "te": slope * dz_dte, "ka": np.where(elongation, 0.0, d_ka)}


# The slope factor of the isodesmic sigmoid as published.
SIGMOID_FACTOR = 0.908


def isodesmic_sigmoid(temperature, tm, delta_h):
    """phi = 1 / (1 + exp(-0.908 delta_h (T - tm) / (R tm^2)))."""
    import numpy as np

    t = np.asarray(temperature, dtype=float)
    z = SIGMOID_FACTOR * delta_h * (t - tm) / (GAS_CONSTANT * tm * tm)
    with np.errstate(over="ignore"):
        return 1.0 / (1.0 + np.exp(-z))
