"""The one table of models: what the fit, the kernels, the commands, the
page and the report all read.

Each entry names a model, its `_core` functions (over temperatures and over
concentrations), the array kernel that solves its mass balance, its
thermodynamic parameters with their units and the equilibrium constants
they give, its per-curve parameters and how a fit starts them, the
experiments it fits (and is the default for), its equations, assumptions
and papers, and a sentence on when the field uses it.  Units of every other
name the package writes (per-curve parameters, derived values, the `_core`
parameters of `kelvara curve`) are here too, written once.

Needs nothing beyond the compiled modules (NumPy where arrays are made).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable, Dict, Mapping, Optional, Tuple

from kelvara import _core, _kernels
from kelvara.errors import KelvaraError
from kelvara.quantities import PARAMETER_MEANINGS, PARAMETER_UNITS  # noqa: F401 (their old home)

__all__ = ["GAS_CONSTANT", "MODELS", "Constant", "Model", "PARAMETER_UNITS", "constants", "curve_fraction_slopes",
           "degree_of_polymerisation", "unit_of"]

GAS_CONSTANT = 8.314  # J/(mol K), as in the models


@dataclass(frozen=True)
class Constant:
    """An equilibrium constant of a mass-balance model: its name (at one
    temperature it is fitted by this name, on a log scale; K_iso(298.15 K)
    is derived under it), the kernels' input it fills (k, sigma, k_iso, k_b
    or sigma_b), and the parameters that give it across temperatures, K =
    exp(entropy / R - enthalpy / (R T)).  Its role: the elongation (the
    constant whose temperature is Te), the nucleation (sigma: its entropy is
    0 unless freed), a competing pathway, or that pathway's nucleation
    (its entropy 0)."""

    name: str
    slot: str
    enthalpy: str
    entropy: str
    role: str = "elongation"


# What a per-curve parameter is, by its unit; a fit starts a temperature at a
# curve's steepest point, and scans enthalpies and activation constants.
START_KINDS = {"temperature": "K", "enthalpy": "J/mol", "activation": "1"}


@dataclass(frozen=True)
class Model:
    """One model: its functions and kernel, its thermodynamic parameters and
    the constants they give, its per-curve parameters (phenomenological
    models) and how each is started, what it fits and is the default for,
    and what the report says of it."""

    name: str
    function: Optional[Callable]  # over temperatures: temp_* of _core (mass-balance models)
    concentration_function: Optional[Callable]  # over total concentrations
    thermo: Tuple[str, ...]  # shared by every curve
    description: str
    kernel: Optional[str] = None  # its name in _kernels.MODELS: the array kernel of its mass balance
    # The constants of its mass balance, in the concentration function's
    # order (denaturations give theirs from delta_g0, m and sigma instead).
    rates: Tuple[Constant, ...] = ()
    takes_nuc_size: bool = False  # a nucleus size, given or scanned
    per_curve: Tuple[str, ...] = ()  # phenomenological models: parameters of each curve
    starts: Tuple[str, ...] = ()  # what each per-curve parameter is: one of START_KINDS
    log_scale: Tuple[str, ...] = ()  # fitted as their base-10 logarithm
    curve_fraction: Optional[Callable] = None  # (parameters of one curve, temperatures) -> fraction
    curve_slopes: Optional[Callable] = None  # (the same) -> its derivatives by per-curve parameter
    # What the model fits: "temperature" (cooling and heating curves),
    # "concentration" (series against c_tot) and "solvent" (denaturation);
    # what it is the default fit for, and what the models compared by
    # default are.
    experiments: Tuple[str, ...] = ("temperature",)
    default_for: Tuple[str, ...] = ()
    compared_for: Tuple[str, ...] = ()
    # Two pathways that compete for the monomer, each with a signal of its
    # own: their names, the first's signal is the amplitude, the second's
    # amplitude_b (solved by the kernels without a _core function).
    pathways: Tuple[str, ...] = ()
    # The report: what a paper calls it (figures and headings), equations
    # (matplotlib mathtext), assumptions, papers to cite.
    title: str = ""
    equations: Tuple[str, ...] = ()
    assumptions: Tuple[str, ...] = ()
    citations: Tuple[str, ...] = ()

    def __post_init__(self):
        if len(self.starts) != len(self.per_curve) or not set(self.starts) <= set(START_KINDS):
            raise ValueError(f"{self.name}: each per-curve parameter needs a start, one of {tuple(START_KINDS)}")
        if (self.kernel is None) != (self.function is None and self.concentration_function is None
                                     and not self.pathways) or (
                self.kernel is not None and self.kernel not in _kernels.MODELS):
            raise ValueError(f"{self.name}: a mass-balance model needs a kernel of {sorted(_kernels.MODELS)}")

    def _rate(self, role: str) -> Optional[Constant]:
        return next((r for r in self.rates if r.role == role), None)

    @property
    def elongation(self) -> Tuple[Optional[str], Optional[str], Optional[str]]:
        """The elongation enthalpy and entropy and the nucleation enthalpy
        (None for models without them: no Te and no sigma)."""
        rate, nucleation = self._rate("elongation"), self._rate("nucleation")
        return (rate.enthalpy if rate else None, rate.entropy if rate else None,
                nucleation.enthalpy if nucleation else None)

    @property
    def cooperative(self) -> bool:
        return self._rate("nucleation") is not None

    @property
    def nucleated(self) -> bool:
        """Monomers pass through oligomers up to a nucleus (each formed with
        sigma k) before the polymers: the kernels can say how much the
        oligomers hold, which species signals need."""
        return self.kernel in ("cooperative", "cooperative_n") and {"k", "sigma"} <= set(self.slots.values())

    @property
    def competing(self) -> bool:
        """Two pathways compete for the monomer."""
        return self._rate("competing") is not None

    @property
    def species(self) -> Tuple[str, ...]:
        """The two kinds of aggregate that may give signals of their own
        (the first's is the amplitude): a nucleated model's polymers and
        oligomers (with species signals), or two pathways."""
        return tuple(self.pathways) if self.pathways else ("polymers", "oligomers")

    @property
    def second_amplitude(self) -> str:
        """The name of the second kind's own signal."""
        return "amplitude_b" if self.pathways else "oligomer_amplitude"

    @property
    def nucleation_entropy(self) -> Optional[str]:
        """The entropy of nucleation, sigma = exp(delta_s_nuc / R - delta_h_nuc
        / (R T)): a parameter of the cooperative models across temperatures,
        fixed at 0 unless freed."""
        nucleation = self._rate("nucleation")
        return nucleation.entropy if nucleation else None

    @property
    def nucleation_entropies(self) -> Tuple[str, ...]:
        """Every entropy of nucleation, each 0 unless freed: the nucleation's
        and a competing pathway's own."""
        return tuple(r.entropy for r in self.rates if r.role in NUCLEATION_ROLES)

    @property
    def absolute_nucleation(self) -> Dict[str, Tuple[str, str]]:
        """The nucleation step's own enthalpy and entropy, as papers publish
        them, by name: each the elongation's value plus the penalty kelvara
        fits (delta_h_n = delta_h + delta_h_nuc, since sigma K = exp((delta_s
        + delta_s_nuc) / R - (delta_h + delta_h_nuc) / (R T))), as {absolute:
        (elongation's, penalty)}.  Only the models fitted across temperatures."""
        if self.denaturation or self.function is None and not self.pathways:
            return {}
        partner = {"nucleation": "elongation", "competing_nucleation": "competing"}
        out = {}
        for rate in self.rates:
            if rate.role in partner:
                own = self._rate(partner[rate.role])
                if own is not None:
                    suffix = rate.enthalpy.partition("_nuc")[2]  # the pathway's: "_b", "_coop"
                    entropy = rate.entropy.replace("_nuc", "_n")
                    out[rate.enthalpy.replace("_nuc", "_n")] = (own.enthalpy, rate.enthalpy)
                    out[entropy if entropy.endswith(suffix) else entropy + suffix] = (own.entropy, rate.entropy)
        return out

    @property
    def constants(self) -> Tuple[str, ...]:
        """At one temperature (a concentration series): the constants fitted
        instead of the thermodynamic parameters, on a log scale."""
        return tuple(r.name for r in self.rates) if "concentration" in self.experiments else ()

    @property
    def slots(self) -> Dict[str, str]:
        """The kernels' input of each constant, by the constant's name."""
        if self.rates:
            return {r.name: r.slot for r in self.rates}
        return {name: name for name in _kernels.MODELS[self.kernel][1]} if self.kernel else {}

    @property
    def closed_half(self) -> bool:
        """Half aggregation has a closed form (isodesmic or dimer nucleus)."""
        return self.kernel in ("isodesmic", "cooperative")

    @property
    def mass_balance(self) -> bool:
        """Solved from a mass balance (not a phenomenological shape)."""
        return self.kernel is not None

    @property
    def denaturation(self) -> bool:
        return self.experiments == ("solvent",)


# The roles of nucleation constants, whose entropy is 0 unless given.
NUCLEATION_ROLES = ("nucleation", "competing_nucleation")

# The experiments a model may fit, by what their curves vary.
EXPERIMENTS = {"temperature": "curves against temperature", "concentration": "concentration series",
               "solvent": "solvent denaturations", "time": "time traces"}
KINETIC = ("k_plus", "nucleation_ratio")  # what time traces add (kelvara.kinetics), fitted as log10

GENERAL = ("T. F. A. de Greef, M. M. J. Smulders, M. Wolffs, A. P. H. J. Schenning, R. P. Sijbesma, "
           "E. W. Meijer, Supramolecular Polymerization, Chem. Rev. 2009, 109, 5687-5754.")
MARTIN = "R. B. Martin, Comparisons of Indefinite Self-Association Models, Chem. Rev. 1996, 96, 3043-3064."
GOLDSTEIN = ("R. F. Goldstein, L. Stryer, Cooperative polymerization reactions. Analytical approximations, "
            "numerical examples, and experimental strategy, Biophys. J. 1986, 50, 583-599.")
ZHAO = ("D. Zhao, J. S. Moore, Nucleation-elongation: a mechanism for cooperative supramolecular "
      "polymerization, Org. Biomol. Chem. 2003, 1, 3471-3491.")
SMULDERS = ("M. M. J. Smulders, M. M. L. Nieuwenhuizen, T. F. A. de Greef, P. van der Schoot, "
         "A. P. H. J. Schenning, E. W. Meijer, How to Distinguish Isodesmic from Cooperative "
         "Supramolecular Polymerisation, Chem. Eur. J. 2010, 16, 362-367.")
KOREVAAR_JACS = ("P. A. Korevaar, C. Schaefer, T. F. A. de Greef, E. W. Meijer, Controlling Chemical "
             "Self-Assembly by Solvent-Dependent Dynamics, J. Am. Chem. Soc. 2012, 134, 13482-13491.")
KOREVAAR_NATURE = ("P. A. Korevaar, S. J. George, A. J. Markvoort, M. M. J. Smulders, P. A. J. Hilbers, "
              "A. P. H. J. Schenning, T. F. A. de Greef, E. W. Meijer, Pathway complexity in "
              "supramolecular polymerization, Nature 2012, 481, 492-496.")

VAN_DER_ZWAAG = ("D. van der Zwaag, P. A. Pieters, P. A. Korevaar, A. J. Markvoort, A. J. H. Spiering, "
                 "T. F. A. de Greef, E. W. Meijer, Kinetic Analysis as a Tool to Distinguish Pathway Complexity "
                 "in Molecular Assembly: An Unexpected Outcome of Structural Variation, J. Am. Chem. Soc. 2015, "
                 "137, 12677-12688.")


# Equations (matplotlib mathtext) and assumptions the models share.
_CONSTANTS = [r"$K = \exp\left(\frac{\Delta S}{R} - \frac{\Delta H}{R\,T}\right)$"]
_SIGMA = [r"$\sigma = \exp\left(\frac{\Delta S_\mathrm{nuc}}{R} - \frac{\Delta H_\mathrm{nuc}}{R\,T}\right)$"]
_FRACTION = [r"$\alpha = 1 - m\,/\,c_\mathrm{tot}$"]
_ISODESMIC = [r"$c_\mathrm{tot} = \frac{m}{(1 - K m)^2}$"]
_COOPERATIVE = [r"$c_\mathrm{tot} = m + \frac{\sigma}{K}\,\frac{x^2\,(2 - x)}{(1 - x)^2},\quad x = K m$",
                r"$T_e = \frac{\Delta H}{\Delta S + R \ln c_\mathrm{tot}}$"]
_MASS_BALANCE = ["every monomer is free or in an aggregate, at equilibrium at each temperature",
                 "the signal is linear in the fraction aggregated: baseline + amplitude x fraction "
                 "(with a slope in T where asked)"]
_SAME_K = "every monomer addition has the same equilibrium constant K"
_BOTH, _IN_TIME = ("temperature", "concentration"), ("temperature", "concentration", "time")
_ELONGATION = Constant("k", "k", "delta_h", "delta_s")
_NUCLEATION = Constant("sigma", "sigma", "delta_h_nuc", "delta_s_nuc", "nucleation")
MODELS: Dict[str, Model] = {
    model.name: model
    for model in [
        Model("isodesmic", _core.temp_isodesmic_model, _core.isodesmic_model, ("delta_h", "delta_s"),
              "every monomer addition has the same constant K: a gradual, sigmoidal transition with no "
              "critical temperature (e.g. many dyes and small aromatic stacks)",
              kernel="isodesmic", rates=(_ELONGATION,), experiments=_BOTH, compared_for=_BOTH,
              equations=tuple(_CONSTANTS + _ISODESMIC + _FRACTION), assumptions=tuple(_MASS_BALANCE + [_SAME_K]),
              title="isodesmic model", citations=(MARTIN, GENERAL)),
        Model("isodesmic_direct", _core.temp_isodesmic_model_direct, _core.isodesmic_model_direct,
              ("delta_h", "delta_s"), "the isodesmic model in closed form: the same curves, computed directly",
              kernel="isodesmic_direct", rates=(_ELONGATION,),
              equations=tuple(_CONSTANTS + _ISODESMIC + _FRACTION), assumptions=tuple(_MASS_BALANCE + [_SAME_K]),
              title="isodesmic model (closed form)", citations=(MARTIN, GENERAL)),
        Model("cooperative", _core.temp_cooperative_model, _core.cooperative_model,
              ("delta_h", "delta_s", "delta_h_nuc"),
              "nucleation-elongation with a dimer nucleus: a sharp onset at the elongation temperature Te, "
              "the usual choice for cooperative supramolecular polymers",
              kernel="cooperative", rates=(_ELONGATION, _NUCLEATION), experiments=_IN_TIME, default_for=_IN_TIME,
              compared_for=_IN_TIME, equations=tuple(_CONSTANTS + _SIGMA + _COOPERATIVE + _FRACTION),
              assumptions=tuple(_MASS_BALANCE + [
                  "a dimer nucleus: the first addition has the constant sigma K, every later one K "
                  "(nucleation-elongation)", "delta_s_nuc is 0 unless freed"]),
              title="cooperative model (dimer nucleus)", citations=(GOLDSTEIN, ZHAO, GENERAL)),
        Model("cooperative_n", _core.temp_cooperative_model_n, _core.cooperative_model_n,
              ("delta_h", "delta_s", "delta_h_nuc"),
              "the cooperative model with a nucleus of nuc_size monomers (--nuc-size N, or A:B to scan), "
              "when a dimer nucleus does not describe the onset",
              kernel="cooperative_n", rates=(_ELONGATION, _NUCLEATION), takes_nuc_size=True, experiments=_IN_TIME,
              compared_for=_IN_TIME, equations=tuple(_CONSTANTS + _SIGMA + _FRACTION),
              assumptions=tuple(_MASS_BALANCE + [
                  "a nucleus of n monomers: additions up to the nucleus have the constant sigma K, later ones K",
                  "delta_s_nuc is 0 unless freed"]),
              title="cooperative model (nucleus of n)", citations=(GOLDSTEIN, ZHAO, GENERAL)),
        Model("coop_iso", _core.temp_coop_iso_model, _core.coop_iso_model,
              ("delta_h_iso", "delta_s_iso", "delta_h_coop", "delta_s_coop", "delta_h_nuc_coop"),
              "an isodesmic and a cooperative pathway competing (e.g. off-pathway aggregates); needs "
              "data that show both",
              kernel="coop_iso",
              rates=(Constant("k_iso", "k_iso", "delta_h_iso", "delta_s_iso", "competing"),
                     Constant("k_coop", "k", "delta_h_coop", "delta_s_coop"),
                     Constant("sigma", "sigma", "delta_h_nuc_coop", "delta_s_nuc", "nucleation")),
              experiments=_BOTH, compared_for=("temperature",), equations=tuple(_CONSTANTS + _SIGMA + _FRACTION),
              assumptions=tuple(_MASS_BALANCE + [
                  "an isodesmic and a cooperative (dimer nucleus) pathway compete for the same free monomer"]),
              title="isodesmic and cooperative pathways", citations=(KOREVAAR_NATURE, GOLDSTEIN, MARTIN)),
        Model("two_pathways", None, None,
              ("delta_h", "delta_s", "delta_h_nuc", "delta_h_b", "delta_s_b", "delta_h_nuc_b"),
              "two cooperative pathways (A and B, each nucleation-elongation with a dimer nucleus) compete for "
              "the same free monomer, each aggregate with a signal of its own (amplitude: A's, amplitude_b: "
              "B's; in CD often of opposite sign): pathway complexity, e.g. an off-pathway aggregate that forms "
              "first on cooling and gives way to the stable one",
              kernel="two_pathways", pathways=("pathway_a", "pathway_b"),
              rates=(_ELONGATION, _NUCLEATION, Constant("k_b", "k_b", "delta_h_b", "delta_s_b", "competing"),
                     Constant("sigma_b", "sigma_b", "delta_h_nuc_b", "delta_s_nuc_b", "competing_nucleation")),
              equations=(*_CONSTANTS, *_SIGMA,
                         r"$c_\mathrm{tot} = m + \sum_{P = A, B} \frac{\sigma_P}{K_P}\,\frac{x_P^2\,(2 - x_P)}"
                         r"{(1 - x_P)^2},\quad x_P = K_P\, m$",
                         r"$S = b + a_A\,\alpha_A + a_B\,\alpha_B,\quad \alpha_P = \mathrm{monomer\ held\ in\ }P"
                         r"\,/\,c_\mathrm{tot}$"),
              assumptions=tuple(_MASS_BALANCE[:1] + [
                  "two pathways, each with a dimer nucleus (the first addition sigma K, every later one K), "
                  "compete for the same free monomer at equilibrium",
                  "the signal is baseline + A's amplitude × A's share + B's amplitude × B's share (with a slope "
                  "in T where asked)", "delta_s_nuc and delta_s_nuc_b are 0 unless freed"]),
              title="two competing cooperative pathways", citations=(VAN_DER_ZWAAG, KOREVAAR_NATURE, GOLDSTEIN)),
        Model("denaturation_isodesmic", None, _core.isodesmic_model, ("delta_g0", "m"),
              "solvent denaturation of an isodesmic polymer: K = exp(-(delta_g0 + m f) / RT)",
              kernel="isodesmic", experiments=("solvent",), compared_for=("solvent",),
              equations=(r"$K = \exp\left(-\frac{\Delta G^0 + m\,f}{R\,T}\right)$", *_ISODESMIC, *_FRACTION),
              assumptions=tuple(_MASS_BALANCE + ["the free energy is linear in the good-solvent fraction f"]),
              title="isodesmic solvent denaturation", citations=(KOREVAAR_JACS, MARTIN)),
        Model("denaturation", None, _core.cooperative_model, ("delta_g0", "m", "sigma"),
              "solvent denaturation of a cooperative polymer (Korevaar et al., JACS 2012): dimer nucleus, "
              "Ke = exp(-(delta_g0 + m f) / RT) at good-solvent fraction f, a constant sigma",
              kernel="cooperative", log_scale=("sigma",), experiments=("solvent",), default_for=("solvent",),
              compared_for=("solvent",),
              equations=(r"$K_e = \exp\left(-\frac{\Delta G^0 + m\,f}{R\,T}\right)$", _COOPERATIVE[0],
                         *_FRACTION),
              assumptions=tuple(_MASS_BALANCE + ["the elongation free energy is linear in the good-solvent "
                                                 "fraction f", "a constant sigma, a dimer nucleus"]),
              title="cooperative solvent denaturation", citations=(KOREVAAR_JACS, GENERAL)),
        Model("vanderschoot", None, None, (),
              "the nucleation-elongation model of van der Schoot (Smulders et al., Chem. Eur. J. 2010): "
              "per cooling curve an elongation temperature te, an elongation enthalpy h_e and an activation "
              "constant ka (Nn(Te) = ka^-1/3); a van 't Hoff line through ln c_tot against 1/Te gives "
              "delta_h_vh and delta_s_vh. For comparison with published values",
              per_curve=("te", "h_e", "ka"), starts=("temperature", "enthalpy", "activation"), log_scale=("ka",),
              curve_fraction=lambda p, t: vanderschoot(t, p["te"], p["h_e"], p["ka"], p.get("branch")),
              curve_slopes=lambda p, t: _vanderschoot_slopes(t, p["te"], p["h_e"], p["ka"]),
              assumptions=("per cooling curve an elongation temperature te, an elongation enthalpy h_e and an "
                           "activation constant ka, piecewise at te (elongation regime below, nucleation above)",),
              title="van der Schoot model", citations=(SMULDERS,)),
        Model("isodesmic_sigmoid", None, None, (),
              "the sigmoid used for isodesmic curves: per curve a melting temperature tm and an enthalpy "
              "delta_h, phi = 1 / (1 + exp(-0.908 delta_h (T - tm) / (R tm^2))). For comparison with "
              "published values; the isodesmic model fits the mass balance itself",
              per_curve=("tm", "delta_h"), starts=("temperature", "enthalpy"),
              curve_fraction=lambda p, t: isodesmic_sigmoid(t, p["tm"], p["delta_h"]),
              curve_slopes=lambda p, t: _sigmoid_slopes(t, p["tm"], p["delta_h"]),
              assumptions=("per curve a sigmoid in T with a melting temperature tm and an enthalpy: the "
                           "isodesmic model's shape near half aggregation",),
              title="isodesmic sigmoid", citations=(SMULDERS, MARTIN)),
    ]
}

def nucleated_models() -> str:
    """The models whose oligomers may have a signal of their own, as a phrase."""
    return ", ".join(m.name for m in MODELS.values() if m.nucleated)


def sized_models() -> str:
    """The models that take a nucleus size, as a phrase ("cooperative_n")."""
    return " or ".join(m.name for m in MODELS.values() if m.takes_nuc_size)


def unit_of(name: str) -> str:
    """The unit of a parameter or derived value, by its name ("baseline[2]",
    "K(298.15 K)", "Te[0]"); "signal" is the unit of the data's own signal."""
    base = name.split("[")[0]
    if base in PARAMETER_UNITS:
        return PARAMETER_UNITS[base]
    for model in MODELS.values():
        if base in model.per_curve:
            return START_KINDS[model.starts[model.per_curve.index(base)]]
    base = base.split("(")[0]
    if base.startswith("dG"):
        return "J/mol"
    if base.startswith("K"):
        return "L/mol"
    return PARAMETER_UNITS.get(base, "1")


class Doubles:
    """A bytearray of doubles and the NumPy array sharing its memory: what
    the kernels read and write."""

    def __init__(self, size: int):
        import numpy as np

        self.raw = bytearray(8 * size)
        self.array = np.frombuffer(self.raw, dtype=np.float64)


def constants(model: Model, values, temperature, solvent=None, into: Optional[Mapping[str, Doubles]] = None):
    """The constants of the model's mass balance at each point, by name in
    the concentration function's order (k; k and sigma; k_iso, k_coop and
    sigma), as float arrays (views of `into`'s workspaces when given): as
    given (a series at one temperature), from the thermodynamic parameters
    exactly as the temperature models compute them (rt = T 8.314, K =
    exp(dS / 8.314 - dH / rt); sigma's entropy 0 unless given, and exp(0 -
    h / rt) is exp(-h / rt) to the bit), or for a denaturation K = exp(-(dG0
    + m f) / rt) at good-solvent fraction f (`solvent`, per point).  exp is
    the library's, the same function as the models'."""
    import numpy as np

    rt = np.asarray(temperature, dtype=float).reshape(-1) * GAS_CONSTANT
    count = rt.size
    names = list(model.slots)
    buffers = into if into is not None else {name: Doubles(count) for name in names}
    view = {name: buffers[name].array[:count] for name in names}

    def exp(name):
        _kernels.exp(buffers[name].raw, count)

    with np.errstate(over="ignore", under="ignore", divide="ignore", invalid="ignore"):
        if model.denaturation:
            np.divide(-(values["delta_g0"] + values["m"] * np.asarray(solvent, dtype=float)), rt, out=view["k"])
            exp("k")
            if "sigma" in view:
                view["sigma"].fill(values["sigma"])
        elif model.constants and all(name in values for name in model.constants):
            for name in model.constants:
                view[name].fill(values[name])
        else:
            for rate in model.rates:
                entropy = values.get(rate.entropy, 0.0) if rate.role in NUCLEATION_ROLES else values[rate.entropy]
                np.subtract(entropy / GAS_CONSTANT, values[rate.enthalpy] / rt, out=view[rate.name])
                exp(rate.name)
    return view


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
    if solve is None or model.kernel == "isodesmic_direct":
        raise KelvaraError(f"the {model.name} model has no bisected concentration function")
    columns = [np.asarray(v, dtype=float).tolist() for v in consts.values()]  # in the function's order
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
        if entry.pathways:
            n_a, h_a = series(consts["k"], consts["sigma"], consts["k"] * m)
            n_b, h_b = series(consts["k_b"], consts["sigma_b"], consts["k_b"] * m)
            number, held = n_a + n_b, h_a + h_b
        elif entry.competing:
            slot = {v: n for n, v in entry.slots.items()}  # the constant in each kernel input
            k_iso, k_coop = consts[slot["k_iso"]], consts[slot["k"]]
            n_iso, h_iso = series(k_iso, 1.0, k_iso * m)
            n_coop, h_coop = series(k_coop, consts["sigma"], k_coop * m)
            number, held = n_iso + n_coop, h_iso + h_coop
        elif entry.takes_nuc_size:
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
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        elongation = -np.expm1(-z)
        third = np.float64(ka) ** (1.0 / 3.0)  # ka 0 (1e-400 on its log scale): no fraction, not a crash
        nucleation = third * np.exp((2.0 / (3.0 * third) - 1.0) * z)
    return np.where(t <= (te if branch is None else branch), elongation, nucleation)


def curve_fraction_slopes(model, p, temperature):
    """The derivatives of a phenomenological model's fraction in each of
    its per-curve parameters (te, h_e and ka; tm and delta_h), at the
    temperatures, each within its own regime (a point does not jump across
    the step of the van der Schoot model at Te)."""
    slopes = MODELS[model].curve_slopes
    if slopes is None:
        raise KelvaraError(f"{model} has no per-curve parameters")
    return slopes(p, temperature)


def _sigmoid_slopes(temperature, tm, delta_h):
    import numpy as np

    t = np.asarray(temperature, dtype=float)
    phi = isodesmic_sigmoid(t, tm, delta_h)
    dz = phi * (1.0 - phi) * SIGMOID_FACTOR / (GAS_CONSTANT * tm * tm)
    return {"delta_h": dz * (t - tm), "tm": -dz * delta_h * (2.0 * t - tm) / tm}


def _vanderschoot_slopes(temperature, te, h_e, ka):
    import numpy as np

    t = np.asarray(temperature, dtype=float)
    rte2 = GAS_CONSTANT * te * te
    z = h_e * (t - te) / rte2
    dz_dh = (t - te) / rte2
    dz_dte = -h_e * (2.0 * t - te) / (rte2 * te)
    third = np.float64(ka) ** (1.0 / 3.0)  # ka 0: slopes that are not finite, a flat direction, not a crash
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        rate = 2.0 / (3.0 * third) - 1.0
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
