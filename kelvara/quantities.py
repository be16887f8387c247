"""Every quantity a user sets or the package reports, by its code name: its unit, its symbol as a
paper writes it (with its subscript), and what it means.  The one table of these facts: the options,
the summaries, the page and the report all read it."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, Optional, Tuple


@dataclass(frozen=True)
class Quantity:
    """A quantity's unit ("J/mol"; "signal" is the data's own; None where
    its name tells: K... in L/mol, dG... in J/mol), its symbol and
    subscript (("ΔH", "nuc")), and its meaning."""

    unit: Optional[str]
    symbol: Optional[Tuple[str, str]] = None
    meaning: str = ""


QUANTITIES: Dict[str, Quantity] = {
    "delta_h": Quantity("J/mol", ("ΔH", ""), "enthalpy of elongation"),
    "delta_s": Quantity("J/(mol K)", ("ΔS", ""), "entropy of elongation"),
    "delta_h_nuc": Quantity("J/mol", ("ΔH", "nuc"), "nucleation penalty: sigma = exp(delta_s_nuc / R - delta_h_nuc "
                            "/ RT)"),
    "delta_s_nuc": Quantity("J/(mol K)", ("ΔS", "nuc"), "entropy of nucleation (fixed at 0 unless freed: --free "
                            "delta_s_nuc)"),
    "delta_h_iso": Quantity("J/mol", ("ΔH", "iso"), "enthalpy of the isodesmic pathway"),
    "delta_s_iso": Quantity("J/(mol K)", ("ΔS", "iso"), "entropy of the isodesmic pathway"),
    "delta_h_coop": Quantity("J/mol", ("ΔH", "coop"), "enthalpy of cooperative elongation"),
    "delta_s_coop": Quantity("J/(mol K)", ("ΔS", "coop"), "entropy of cooperative elongation"),
    "delta_h_nuc_coop": Quantity("J/mol", ("ΔH", "nuc,coop"), "nucleation penalty of the cooperative pathway"),
    "c_tot": Quantity("mol/L", None),
    "k_plus": Quantity("L/(mol s)", ("k", "+"), "elongation rate constant: a monomer joins an aggregate beyond the "
                       "nucleus at k_plus m"),
    "nucleation_ratio": Quantity("1", ("a", ""), "the nucleation rate constant over k_plus: additions up to the "
                                 "nucleus go at a k_plus m"),
    "delta_h_b": Quantity("J/mol", ("ΔH", "B"), "enthalpy of elongation of pathway B"),
    "delta_s_b": Quantity("J/(mol K)", ("ΔS", "B"), "entropy of elongation of pathway B"),
    "delta_h_nuc_b": Quantity("J/mol", ("ΔH", "nuc,B"), "nucleation penalty of pathway B: sigma_b = "
                              "exp(delta_s_nuc_b / R - delta_h_nuc_b / RT)"),
    "delta_s_nuc_b": Quantity("J/(mol K)", ("ΔS", "nuc,B"), "entropy of nucleation of pathway B (fixed at 0 unless "
                              "freed: --free delta_s_nuc_b)"),
    "k_b": Quantity("L/mol", ("K", "B")),
    # The nucleation step's own values, as papers publish them: the elongation's plus the penalty.
    "delta_h_n": Quantity("J/mol", ("ΔH", "n"), "enthalpy of the nucleation step, delta_h + delta_h_nuc (the "
                          "absolute value papers publish; --fix and --start take it)"),
    "delta_s_n": Quantity("J/(mol K)", ("ΔS", "n"), "entropy of the nucleation step, delta_s + delta_s_nuc"),
    "delta_h_n_coop": Quantity("J/mol", ("ΔH", "n,coop"), "enthalpy of the cooperative pathway's nucleation "
                               "step, delta_h_coop + delta_h_nuc_coop"),
    "delta_s_n_coop": Quantity("J/(mol K)", ("ΔS", "n,coop"), "entropy of the cooperative pathway's nucleation "
                               "step, delta_s_coop + delta_s_nuc"),
    "delta_h_n_b": Quantity("J/mol", ("ΔH", "n,B"), "enthalpy of pathway B's nucleation step, delta_h_b + "
                            "delta_h_nuc_b"),
    "delta_s_n_b": Quantity("J/(mol K)", ("ΔS", "n,B"), "entropy of pathway B's nucleation step, delta_s_b + "
                            "delta_s_nuc_b"),
    "sigma_b": Quantity("1", ("σ", "B")),
    "amplitude_b": Quantity("signal", None),
    "k": Quantity("L/mol", ("K", ""), "elongation constant at the series' temperature, fitted on a log scale"),
    "k_iso": Quantity("L/mol", ("K", "iso"), "constant of the isodesmic pathway, fitted on a log scale"),
    "k_coop": Quantity("L/mol", ("K", "coop"), "elongation constant of the cooperative pathway, fitted on a log "
                       "scale"),
    "sigma": Quantity("1", ("σ", ""), "cooperativity: nucleation constant / elongation constant, fitted on a log "
                      "scale"),
    "baseline": Quantity("signal", None),
    "amplitude": Quantity("signal", None),
    "slope": Quantity("signal/K", None),
    "aggregate_slope": Quantity("signal/K", None),
    "oligomer_amplitude": Quantity("signal", None),
    "Te": Quantity("K", ("T", "e")),
    "Tm": Quantity("K", ("T", "m")),
    "sigma(Te)": Quantity("1", None),
    "nuc_size": Quantity("1", None),
    "te": Quantity("K", ("T", "e"), "elongation temperature of the curve"),
    "h_e": Quantity("J/mol", ("h", "e"), "molar elongation enthalpy (negative)"),
    "ka": Quantity("1", ("K", "a"), "activation constant of nucleation, fitted on a log scale"),
    "tm": Quantity("K", ("T", "m"), "melting temperature of the curve"),
    "delta_h_vh": Quantity("J/mol", ("ΔH", "vH")),
    "delta_s_vh": Quantity("J/(mol K)", ("ΔS", "vH")),
    "delta_g0": Quantity("J/mol", ("ΔG", "0"), "Gibbs energy of elongation without good solvent (f = 0)"),
    "m": Quantity("J/mol", None, "how much a unit fraction of good solvent raises the Gibbs energy of elongation"),
    "f50": Quantity("1", ("f", "50")),
    "c50": Quantity("mol/L", ("c", "50")),
    "t50": Quantity("s", ("t", "50"), "when a time trace has gone half way from its start to the equilibrium"),
    "t90": Quantity("s", ("t", "90"), "when a time trace has gone nine tenths of the way to the equilibrium"),
    "t50_exponent": Quantity("1", ("γ", ""), "the slope of log t50 against log c_tot over the traces"),
    "temperature": Quantity("K", None),
    "solvent": Quantity("1", None),
    "K": Quantity(None, ("K", "")),
    "K_iso": Quantity(None, ("K", "iso")),
    "K_coop": Quantity(None, ("K", "coop")),
    "K_b": Quantity(None, ("K", "B")),
    "dG": Quantity(None, ("ΔG", "")),
    "dG_iso": Quantity(None, ("ΔG", "iso")),
    "dG_coop": Quantity(None, ("ΔG", "coop")),
    "dG_b": Quantity(None, ("ΔG", "B")),
    "dp_n": Quantity(None, ("DP", "n")),
    "dp_n_all": Quantity(None, ("DP", "n,all")),
    "Nn": Quantity(None, ("N", "n")),
}

# The views the rest of the package reads.
PARAMETER_UNITS = {name: q.unit for name, q in QUANTITIES.items() if q.unit is not None}
PARAMETER_MEANINGS = {name: q.meaning for name, q in QUANTITIES.items() if q.meaning}
SYMBOLS = {name: q.symbol for name, q in QUANTITIES.items() if q.symbol is not None}
