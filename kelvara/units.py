"""Units of the numbers chemists type and their files state.

Everything is converted to the units kelvara computes in: kelvin, mol/L,
L/mol, J/mol and J/(mol K).  A number may come with its unit ("5uM",
"14 kJ/mol", "60 °C", "-180 J/mol/K"); a unit that does not belong to the
quantity is an error that names both, never a silent guess.  Pure Python:
the command line's model curves use it without the ``fit`` extra.
"""

from __future__ import annotations

import math
import re
from typing import Dict, Optional, Tuple

from kelvara.errors import KelvaraError

__all__ = [
    "UnitError",
    "formatted",
    "rounded",
    "parse_concentration",
    "concentration_divisor",
    "concentration_argument",
    "temperature_unit",
    "temperature_argument",
    "quantity",
    "split_unit",
    "whole_concentration",
]

KELVIN_OFFSET = 273.15
KELVIN_FLOOR = 150.0  # K: below this a unitless temperature is taken for Celsius by mistake
PLAUSIBLE_MOLAR = 0.5  # mol/L: a unitless concentration this high is not in mol/L
# mol/L: no solution measured here is more dilute than a picomolar or more
# concentrated than HIGHEST_MOLAR (an NMR dilution may start near 1 M),
# whatever unit it is given in.
LOWEST_MOLAR = 1e-12
HIGHEST_MOLAR = 2.0
UNIT_CHOICES = "M, mol/L, mM, uM (µM) or nM"


class UnitError(KelvaraError):
    """A number whose unit is missing where it matters, unknown, or not a
    unit of the quantity: one sentence."""


_NUMBER = r"[-+]?(?:\d+(?:[.,]\d*)?|[.,]\d+)(?:[eE][-+]?\d+)?"

# --- concentrations ----------------------------------------------------------------

# Divisors to mol/L (5 / 1e6 is the double nearest 5e-6; 5 * 1e-6 is not).  The
# micro prefix comes as u, the micro sign (U+00B5) or the Greek mu (U+03BC).
_CONCENTRATION_UNITS = {
    "m": 1.0, "mol/l": 1.0, "mol l-1": 1.0, "mol·l-1": 1.0, "mol/dm3": 1.0,
    "mm": 1e3, "mmol/l": 1e3, "um": 1e6, "µm": 1e6, "μm": 1e6, "umol/l": 1e6, "µmol/l": 1e6,
    "μmol/l": 1e6, "nm": 1e9, "nmol/l": 1e9,
}
# The prefix decides the factor, so "mM" and "MM" must not meet: matched on the text as written.
_CONCENTRATION_PATTERN = re.compile(
    rf"({_NUMBER})\s*"
    r"(mol\s*/\s*[lL]|mol\s*[lL]-1|mol/dm3|[mMuµμn]mol\s*/\s*[lL]|mM|uM|µM|μM|nM|M)(?![A-Za-z])"
)


def listed(words) -> str:
    """Words as a sentence lists them: "2", "2 and 5", "2, 3 and 5"."""
    words = [str(w) for w in words]
    return words[0] if len(words) == 1 else f"{', '.join(words[:-1])} and {words[-1]}"


def concentration_label(c_tot) -> str:
    """A concentration (mol/L) as a label, in the unit that reads best
    ("5 µM", "1.5 mM")."""
    factor, unit = concentration_scale(c_tot)
    return f"{c_tot / factor:.4g} {unit}" if c_tot >= factor else f"{c_tot:g} M"


def concentration_scale(molar) -> Tuple[float, str]:
    """(factor, unit) a concentration in mol/L reads best in: 1e-6, "µM"
    for 5e-6 (a value over the factor is in the unit)."""
    for factor, unit in ((1.0, "M"), (1e-3, "mM"), (1e-6, "µM"), (1e-9, "nM")):
        if molar is not None and math.isfinite(molar) and abs(molar) >= factor:
            return factor, unit
    return 1e-9, "nM"


def readable_scale(value, unit) -> Tuple[float, str]:
    """(factor, unit) a value is shown in: a concentration in mol/L in the
    unit it reads best in (113.9 nM, not 1.139e-07 mol/L), anything else in
    its own (1.0)."""
    return concentration_scale(value) if unit == "mol/L" else (1.0, unit)


def temperature_label(kelvin, unit: str = "K") -> str:
    """A temperature as a label in the unit it is shown in ("25 °C",
    "298.15 K")."""
    return f"{kelvin - KELVIN_OFFSET:.4g} °C" if unit == "°C" else f"{kelvin:.5g} K"


def shown_temperature(kelvin, unit: str):
    """A temperature (K) in the unit it is shown in ("°C" or "K")."""
    return None if kelvin is None else kelvin - KELVIN_OFFSET if unit == "°C" else kelvin


def shown(value, unit: str, temperature_unit: str):
    """(value, unit) as shown: a temperature (unit "K") in °C where
    temperatures are shown in °C; anything else as it is."""
    if unit == "K" and temperature_unit == "°C":
        return value - KELVIN_OFFSET, "°C"
    return value, unit


# The molar units written as a prefix and M: the case decides (lower-case
# nm, mm and um are lengths: a wavelength, a path length, a particle size).
_MOLAR = {"M": 1.0, "mM": 1e3, "uM": 1e6, "µM": 1e6, "μM": 1e6, "nM": 1e9}


def _concentration_key(unit: str) -> Optional[float]:
    text = re.sub(r"\s+", " ", unit.replace("·", " ")).strip()
    if text in _MOLAR:
        return _MOLAR[text]
    key = text.lower().replace(" /", "/").replace("/ ", "/")
    return _CONCENTRATION_UNITS.get(key) if "mol" in key else None


def parse_concentration(text) -> Optional[float]:
    """A concentration with its unit, in mol/L ("5 uM", "c = 1e-5 M",
    "10µM", "3.3e-005 mol/L", "0,5 mM"); None when the text holds none."""
    match = _CONCENTRATION_PATTERN.search(str(text))
    if not match:
        return None
    number, unit = match.groups()
    divisor = _concentration_key(unit)
    if divisor is None:
        return None
    return float(number.replace(",", ".")) / divisor


def concentration_divisor(unit: Optional[str]) -> Optional[float]:
    """What divides a value in `unit` (a header's unit: "uM", "mol/L") to
    give mol/L; None for no unit or one that is not a concentration."""
    return None if unit is None else _concentration_key(unit.strip())


def concentration_argument(text, what: str = "--c-tot") -> Tuple[float, bool]:
    """A concentration typed by hand: a number (mol/L) or a number with a
    unit; returns (mol/L, whether a unit was given).  A bare number of 0.5
    or more is no assay's mol/L and is refused."""
    if isinstance(text, (int, float)) and not isinstance(text, bool):
        value, unit = float(text), False
    else:
        parsed = whole_concentration(text)
        unit = parsed is not None
        if parsed is None:
            try:
                value = float(str(text).strip())
            except ValueError:
                raise UnitError(f"{what} takes a concentration such as 5e-6 or 5uM, not {text!r}") from None
        else:
            value = parsed
    if not (math.isfinite(value) and value > 0.0):
        raise UnitError(f"{what} must be positive, not {text!r}")
    if not unit and value >= PLAUSIBLE_MOLAR:
        raise UnitError(f"{what} {text}: {value:g} mol/L is not a plausible concentration; give its unit "
                        f"({UNIT_CHOICES}), e.g. {what} 5uM")
    if not LOWEST_MOLAR <= value <= HIGHEST_MOLAR:
        raise UnitError(f"{what} {text}: {value:g} mol/L is not a plausible concentration of a solution "
                        f"measured here (1 pM to {HIGHEST_MOLAR:g} M); check the number and its unit, e.g. "
                        f"{what} 5uM")
    return value, unit


def whole_concentration(text) -> Optional[float]:
    """The concentration (mol/L) of a text that is one number with its
    concentration unit and nothing else ("5 uM", "1e-5 M"); None otherwise."""
    text = str(text)
    match = _CONCENTRATION_PATTERN.search(text)
    if not match or text[:match.start()].strip() or text[match.end():].strip():
        return None
    return parse_concentration(text)


# --- temperatures ------------------------------------------------------------------

_TEMPERATURE_UNITS = {"k": "K", "kelvin": "K", "°k": "K", "°c": "C", "ºc": "C", "c": "C", "degc": "C",
                      "deg c": "C", "oc": "C", "celsius": "C", "° c": "C", "deg. c": "C",
                      "°f": "F", "ºf": "F", "f": "F", "degf": "F", "deg f": "F", "fahrenheit": "F", "° f": "F",
                      "\u2103": "C", "\u2109": "F"}  # the one-character signs ℃ and ℉


def temperature_unit(unit: Optional[str]) -> Optional[str]:
    """"K", "C" or "F" for a temperature unit as written ("°C", "degC",
    "K", "°F"); None when it is none."""
    return None if unit is None else _TEMPERATURE_UNITS.get(re.sub(r"\s+", " ", unit.strip().lower()))


_VALUE_WITH_UNIT = re.compile(rf"^\s*({_NUMBER})\s*(.*?)\s*$")


def split_unit(text) -> Tuple[Optional[float], str]:
    """(the number, the unit after it) of a value typed with its unit
    ("14kJ/mol" -> (14.0, "kJ/mol")); (None, "") when it starts with no number."""
    match = _VALUE_WITH_UNIT.match(str(text))
    if not match:
        return None, ""
    return float(match.group(1).replace(",", ".")), match.group(2)


def temperature_argument(value, celsius: bool = False, what: str = "--temperature") -> float:
    """A temperature given by hand, in kelvin: a number (kelvin, or Celsius
    with `celsius`) or a number with its unit ("20C", "20 °C", "293.15 K")."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        number, unit = float(value), ""
    else:
        parsed, unit = split_unit(value)
        if parsed is None or (unit and temperature_unit(unit) not in ("K", "C")):
            raise UnitError(f"{what} takes a temperature such as 293.15 or 20C, not {value!r}")
        number = parsed
    scale = temperature_unit(unit) if unit else ("C" if celsius else "K")
    kelvin = number + KELVIN_OFFSET if scale == "C" else number
    if not math.isfinite(kelvin) or kelvin <= 0.0:
        raise UnitError(f"{what} {value}: not a temperature above absolute zero")
    if not unit and not celsius and kelvin < KELVIN_FLOOR:
        raise UnitError(f"{what} {value}: {kelvin:g} K is implausibly cold; if it is in degrees Celsius "
                        f"give the unit, e.g. {what} 20C")
    return kelvin


# --- the values of parameters ----------------------------------------------------------

# For each unit kelvara reports a parameter in: the units a value may be typed in,
# as factors to it (spaces, "·" and "*" removed, case ignored).
_ENERGY = {"j/mol": 1.0, "jmol-1": 1.0, "kj/mol": 1e3, "kjmol-1": 1e3, "kcal/mol": 4184.0,
           "kcalmol-1": 4184.0, "cal/mol": 4.184, "calmol-1": 4.184}
_ENTROPY = {}
for _prefix, _factor in (("j", 1.0), ("kj", 1e3), ("cal", 4.184), ("kcal", 4184.0)):
    for _form in ("{}/(molk)", "{}/(kmol)", "{}/mol/k", "{}/k/mol", "{}mol-1k-1", "{}k-1mol-1", "{}/molk"):
        _ENTROPY[_form.format(_prefix)] = _factor
_PER_MOLAR = {"l/mol": 1.0, "lmol-1": 1.0, "m-1": 1.0, "m^-1": 1.0, "/m": 1.0, "1/m": 1.0,
              "mm-1": 1e3, "1/mm": 1e3, "um-1": 1e6, "µm-1": 1e6, "μm-1": 1e6, "1/um": 1e6, "1/µm": 1e6,
              "nm-1": 1e9, "1/nm": 1e9}
_EXAMPLES = {"J/mol": "kJ/mol, J/mol or kcal/mol", "J/(mol K)": "J/(mol K), J/mol/K or kJ/(mol K)",
             "K": "K or °C", "mol/L": UNIT_CHOICES, "L/mol": "L/mol or M-1"}


def _compact(unit: str) -> str:
    return re.sub(r"[\s·*]", "", unit).lower()


def quantity(text, unit: str, what: str) -> float:
    """A value typed by hand for a quantity reported in `unit` ("J/mol",
    "J/(mol K)", "K", "mol/L", "L/mol", or anything else: a bare number),
    converted to that unit: "14kJ/mol" -> 14000.0, "60C" -> 333.15,
    "-0.18 kJ/(mol K)" -> -180.0.  A bare number is already in `unit`."""
    if isinstance(text, (int, float)) and not isinstance(text, bool):
        return float(text)
    text = str(text).strip()
    if text.lower() in ("inf", "+inf", "-inf", "infinity", "-infinity", "nan"):
        return float(text)
    number, given = split_unit(text)
    if number is None:
        raise UnitError(f"{what}: {text!r} is not a number" + (f" (with a unit: {_EXAMPLES[unit]})"
                                                                if unit in _EXAMPLES else ""))
    if not given:
        return _plausible(number, unit, what, text)
    if unit == "K":
        scale = temperature_unit(given)
        if scale in ("K", "C"):
            return number + KELVIN_OFFSET if scale == "C" else number
    elif unit == "mol/L":
        divisor = concentration_divisor(given)
        if divisor is not None:
            return number / divisor
    else:
        table: Dict[str, float] = {"J/mol": _ENERGY, "J/(mol K)": _ENTROPY, "L/mol": _PER_MOLAR}.get(unit, {})
        factor = table.get(_compact(given))
        if factor is not None:
            return number * factor
    if unit in _EXAMPLES:
        raise UnitError(f"{what}: {given!r} is not a unit of {unit} (give {_EXAMPLES[unit]})")
    raise UnitError(f"{what}: {given!r} is not a unit this value takes (it is in {unit}: give a bare number)")


# A bare number is in the unit the value is reported in (SI); a value no
# chemist would mean in that unit is most likely typed in the unit printed
# (kJ/mol, degrees Celsius, µM): refused, with both ways to say it.
_IMPLAUSIBLE = {  # unit: (implausible as a bare number, why, the unit likely meant)
    "J/mol": (lambda v: 0.0 < abs(v) < 1000.0, "small for an enthalpy or Gibbs energy", "kJ/mol"),
    "J/(mol K)": (lambda v: abs(v) >= 2000.0, "large for an entropy", None),
    "mol/L": (lambda v: v > 1.0, "large for a concentration", "uM"),
    "K": (lambda v: 0.0 < v < KELVIN_FLOOR, "cold for a temperature", "C"),
}


def _plausible(number: float, unit: str, what: str, text: str) -> float:
    found = _IMPLAUSIBLE.get(unit)
    if found is None or not math.isfinite(number) or not found[0](number):
        return number
    _, why, meant = found
    likely = f"write {text}{meant} if that is meant, or " if meant else "write "
    raise UnitError(f"{what}: {text} {unit} is implausibly {why} (a bare number is in {unit}); "
                    f"{likely}{text}{unit} to insist")


# Numbers as printed.

# A value whose standard error exceeds both the value and this size (in its
# SI unit) is not determined: its number means nothing.
TYPICAL_SIZE = {"J/mol": 10e3, "J/(mol K)": 30.0, "K": 10.0}


def meaningless(value, error, unit) -> Optional[str]:
    """Why a fitted value (in its SI `unit`, with its standard `error`)
    must not be printed as a number, in words ("not determined", "not a
    temperature"), or None when it may: a value or error that is not a
    finite number, an error beyond both the value and the size such values
    take (TYPICAL_SIZE), a temperature at or below absolute zero."""
    if not (isinstance(value, (int, float)) and math.isfinite(value)):
        return "not determined"
    if unit == "K" and value <= 0.0:
        return "not a temperature"
    if not (isinstance(error, (int, float)) and math.isfinite(error)):
        return "not determined"
    if unit in TYPICAL_SIZE and error > max(abs(value), TYPICAL_SIZE[unit]):
        return "not determined"
    return None


def error_place(error: float) -> int:
    """The decimal place (10**place) a value is rounded to by its standard
    error, by the rule particle physicists publish with: the error's first
    three significant digits from 100 to 354 keep two digits, from 355 to
    949 one, and from 950 to 999 are rounded up to 1000 and keep two
    (0.0996 -> 0.10, 0.36 -> 0.4, 0.123 -> 0.12)."""
    mantissa, power = f"{error:.2e}".split("e")
    three, exponent = round(float(mantissa) * 100), int(power)
    # Below 355 two digits end one place down; 355 to 949 keep one, and 950
    # to 999 become 1.0 of the next decade: either way they end here.
    return exponent - 1 if three < 355 else exponent


def rounded(value, error, unit):
    """(value, error, unit) as printed: the value rounded to the place its
    error is rounded to (error_place), enthalpies and Gibbs energies in
    kJ/mol; a value without a finite error keeps six significant digits.
    Very large or small values in scientific notation with the digits the
    error allows."""
    if unit == "J/mol":
        value, error, unit = value / 1000.0, error / 1000.0, "kJ/mol"
    if not math.isfinite(value):
        return "n/a", formatted(error), unit
    if not (math.isfinite(error) and error > 0.0):
        return formatted(value), formatted(error), unit
    place = error_place(error)
    shown_error = _to_place(error, place)
    magnitude = abs(value)
    if magnitude >= 1e6 or (0.0 < magnitude < 1e-3):
        digits = max(math.floor(math.log10(magnitude)) - place + 1, 1)
        error_digits = max(math.floor(math.log10(shown_error)) - place + 1, 1)
        return f"{value:.{digits - 1}e}", f"{error:.{error_digits - 1}e}", unit
    return _to_place(value, place, text=True), _to_place(error, place, text=True), unit


def _to_place(number: float, place: int, text: bool = False):
    """`number` rounded to 10**place (half away from zero, on its decimal
    digits), as a float or as text with the decimals that place has."""
    rounded_ = float(f"{number:.{max(-place, 0)}f}") if place <= 0 else round(number / 10.0 ** place) * 10.0 ** place
    if not text:
        return rounded_
    shown = f"{rounded_:.{max(-place, 0)}f}"
    return shown[1:] if shown.startswith("-") and float(shown) == 0.0 else shown


def formatted(value, style=".6g"):
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return "n/a"
    return format(value, style)
