"""What a parameter or derived value is called where a chemist reads it.

The code names ("delta_h_nuc", "Te[1]") are what options and JSON keys
take; a summary names a curve's values by the curve ("Te (5 µM)"), and the
page and the report write the field's symbols (ΔH<sub>nuc</sub>, T<sub>e</sub>)
with the code name beside them.  The signal's unit is the one its header
states ("CD [mdeg]" -> mdeg).
"""

from __future__ import annotations

import re
from html import escape
from typing import Dict, List, Optional, Sequence, Tuple

from kelvara.models import MODELS
from kelvara.quantities import SYMBOLS as _SYMBOLS

__all__ = ["curve_labels", "labelled", "model_title", "signal_unit", "signal_words", "symbol_html", "symbol_math",
           "unit_shown"]

_INDEXED = re.compile(r"^(.*)\[(\d+)\]$")


def curve_labels(curves) -> List[str]:
    """Each curve's label ("5 µM", "10 µM (heating)"), made unique by its
    place where two are alike."""
    labels = [str(getattr(c, "label", None) or _condition(c) or f"curve {i + 1}") for i, c in enumerate(curves)]
    seen: Dict[str, int] = {}
    for label in labels:
        seen[label] = seen.get(label, 0) + 1
    return [f"{label} #{i + 1}" if seen[label] > 1 else label for i, label in enumerate(labels)]


def _condition(curve) -> Optional[str]:
    """An unlabelled curve's condition, as its legend shows it: its
    concentration ("5 µM"), a series' temperature."""
    from kelvara.units import concentration_label, temperature_label

    c_tot, temperature = getattr(curve, "c_tot", None), getattr(curve, "temperature", None)
    if getattr(curve, "vary", None) == "concentration":
        return temperature_label(temperature) if isinstance(temperature, (int, float)) else None
    return concentration_label(c_tot) if isinstance(c_tot, (int, float)) and c_tot > 0 else None


def _split(name: str):
    """(base, argument, curve index) of "sigma(Te)[0]": ("sigma", "Te", 0)."""
    found = _INDEXED.match(name)
    index = int(found.group(2)) if found else None
    rest = found.group(1) if found else name
    base, paren, argument = rest.partition("(")
    return base, argument[:-1] if paren else None, index


def labelled(name: str, labels: Sequence[str]) -> str:
    """"Te[1]" -> "Te (10 µM)": a curve's value named by its curve."""
    found = _INDEXED.match(name)
    if not found or int(found.group(2)) >= len(labels):
        return name
    return f"{found.group(1)} ({labels[int(found.group(2))]})"


def _html_symbol(base: str) -> Optional[str]:
    symbol = _SYMBOLS.get(base)
    if symbol is None:
        return None
    letter, sub = symbol
    return escape(letter) + (f"<sub>{escape(sub)}</sub>" if sub else "")


def symbol_html(name: str, labels: Sequence[str], code: bool = True) -> str:
    """The name as the field writes it, in HTML: "delta_h_nuc" ->
    ΔH<sub>nuc</sub> with its code name beside it; "sigma(Te)[0]" ->
    σ(T<sub>e</sub>) of the curve "5 µM"; a name without a symbol
    (baseline, amplitude) stays as it is, by its curve.  `code`: the code
    name beside the symbol (what an option takes)."""
    base, argument, index = _split(name)
    symbol = _html_symbol(base)
    if symbol is None:
        shown = escape(base if index is not None else name.split("[")[0])
        if argument is not None and index is not None:
            shown += f"({escape(argument)})"
    else:
        shown = symbol
        if argument is not None:
            inner = _html_symbol(argument)
            shown += f"({inner if inner else escape(argument)})"
    if index is not None and index < len(labels):
        shown += f" <span class=\"curve\">({escape(labels[index])})</span>"
    if code and symbol is not None:
        shown += f" <code class=\"name\">{escape(name.split('[')[0])}</code>"
    return shown


_TEX_LETTERS = {"Δ": r"\Delta ", "σ": r"\sigma ", "DP": r"\mathrm{DP}"}


def _math(symbol) -> str:
    letter, sub = symbol
    for plain, tex in _TEX_LETTERS.items():
        letter = letter.replace(plain, tex)
    return letter.rstrip() + (r"_\mathrm{" + sub.replace(",", r",\,") + "}" if sub else "")


def symbol_math(name: str, labels: Sequence[str] = ()) -> str:
    """The name as a paper writes it, for a figure (matplotlib mathtext):
    "delta_h_nuc" -> $\\Delta H_\\mathrm{nuc}$, "sigma(Te)[0]" -> σ(T_e)
    with the curve's label; a name without a symbol stays as it is (by its
    curve where it is a curve's)."""
    base, argument, index = _split(name)
    symbol = _SYMBOLS.get(base)
    if symbol is None and base == "sigma(Te)":
        symbol = _SYMBOLS["sigma"]
    if symbol is None:
        shown = labelled(name, labels) if index is not None else name
        return shown.replace("$", r"\$")
    inner = ""
    if argument is not None:  # "Te" in sigma(Te), "298.15 K" in K(298.15 K)
        inner = _math(_SYMBOLS[argument]) if argument in _SYMBOLS else r"\mathrm{" + argument.replace(" ", r"\ ") + "}"
        inner = f"({inner})"
    shown = f"${_math(symbol)}{inner}$"
    if index is not None and index < len(labels):
        shown += f" ({labels[index]})".replace("$", r"\$")
    return shown


def model_title(model: str, nuc_size=None) -> str:
    """What a paper calls the model ("cooperative model (nucleus of 8)"),
    for figures and headings; the code name is what --model takes."""
    found = MODELS.get(model)
    title = found.title if found is not None and found.title else model
    return title.replace("nucleus of n", f"nucleus of {nuc_size}") if nuc_size else title


def signal_unit(curves) -> str:
    """The unit the signal's header states ("CD [mdeg]" -> "mdeg"), when
    every curve's says the same; else "signal"."""
    units = {_own_unit(c.signal_name) if getattr(c, "signal_name", None) else None for c in curves}
    unit = units.pop() if len(units) == 1 else None
    return unit.strip() if unit and unit.strip() else "signal"


def unit_shown(unit: str, signal: str) -> str:
    """A parameter's unit with the data's signal unit for "signal"."""
    return unit.replace("signal", signal) if signal != "signal" and unit.startswith("signal") else unit


_ABSORBANCE = ("abs", "absorbance", "a", "od", "o.d.")


def _own_unit(name: str) -> Optional[str]:
    """The unit a signal's header states ("CD [mdeg]" -> "mdeg"), or Abs
    for a header that names an absorbance ("Abs", "A", "OD")."""
    from kelvara.io.units import bracketed_unit

    unit = bracketed_unit(name)
    if unit is None and name.strip().lower() in _ABSORBANCE:
        return "Abs"
    return unit


def signal_units(curves) -> List[str]:
    """Each curve's signal unit, as its header states it ("signal" where
    none does)."""
    return [signal_unit([c]) for c in curves]


def unit_named(result, name: str, unit: str) -> str:
    """A parameter's or derived value's unit as shown: "signal" replaced by
    the unit of its own curve's signal (mdeg, Abs) where it is a curve's,
    else by the unit every curve's header states."""
    found = _INDEXED.match(name)
    units = getattr(result, "signal_units", None)
    if found and units and int(found.group(2)) < len(units):
        return unit_shown(unit, units[int(found.group(2))])
    return unit_shown(unit, getattr(result, "signal_unit", "signal"))


def distinct_derived(result) -> Tuple[List[str], List[str]]:
    """(names, labels): the derived values to show, and the curves' labels
    to name them by.  A curve's value that another channel of the same
    sample repeats exactly (Te, sigma(Te) and the degrees of polymerisation
    depend on c_tot alone) is shown once, named by the sample ("Te (5 uM)",
    not once per channel)."""
    labels = list(getattr(result, "labels", []))
    data = getattr(result, "data", None) or []
    channels = [getattr(c, "signal_name", None) for c in data] if len(data) == len(labels) else [None] * len(labels)
    seen: Dict[Tuple[str, Optional[float], str, str], int] = {}
    repeated: Dict[int, bool] = {}
    keep = []
    for d in result.derived.values():
        found = _INDEXED.match(d.name)
        if not found:
            keep.append(d.name)
            continue
        i = int(found.group(2))
        c_tot = result.curve_results[i].c_tot if i < len(result.curve_results) else None
        key = (found.group(1), c_tot, repr(d.value), repr(d.stderr))
        first = seen.setdefault(key, i)
        if first != i and channels[first] is not None and channels[first] != channels[i]:
            repeated[first] = True
            continue
        keep.append(d.name)
    samples = list(labels)
    for i in repeated:
        suffix = f" · {channels[i]}"
        if samples[i].endswith(suffix):
            samples[i] = samples[i][: -len(suffix)]
    return keep, samples


def signal_words(result) -> str:
    """What the fit's signal is, in words: what the amplitudes multiply."""
    model = MODELS[result.model]
    names = set(result.parameters)
    options = result.options
    if model.pathways:
        out = "baseline + amplitude x pathway A's share + amplitude_b x pathway B's share (of c_tot)"
    elif any(n.startswith("oligomer_amplitude") for n in names):
        out = ("baseline + amplitude x the polymers' share (beyond the nucleus) + oligomer_amplitude x the "
               "oligomers' share (up to the nucleus)")
    elif options is not None and options.signal_model == "stacked":
        out = ("baseline + amplitude x the stacked fraction K m (stacking contacts per molecule, 1 - (all "
               "species)/c_tot: the equal-K convention of NMR dilution fits)")
    elif model.mass_balance:
        out = "baseline + amplitude x the fraction of molecules in aggregates, 1 - m/c_tot"
    else:
        out = "baseline + amplitude x the model's fraction aggregated"
    if options is not None and options.extensive:
        out = f"c_tot x ({out}): an extensive signal, its baseline and amplitudes per mol/L of c_tot"
    return out
