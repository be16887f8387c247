"""Units in headers and the plausibility of numbers: the unit a header states (in brackets, after a
slash or an underscore), a column headed by a temperature, and kelvin from values refused where they
cannot be in the unit they are taken for (Celsius outside -100 to 150, kelvin below 150 or above
600, Fahrenheit)."""

from __future__ import annotations

import re
from typing import Optional, Tuple

import numpy as np

from kelvara.io.errors import ReadError
from kelvara.units import KELVIN_FLOOR, KELVIN_OFFSET, UnitError, temperature_unit
from kelvara.units import concentration_argument as _concentration_argument
from kelvara.units import temperature_argument as _temperature_argument

CELSIUS_RANGE = (-100.0, 150.0)  # °C: a solution measured outside this is kelvin by mistake
KELVIN_CEILING = 600.0  # K: no solution of a self-assembling compound is measured hotter


def concentration_argument(text: str, what: str = "--c-tot") -> Tuple[float, bool]:
    """A value given on the command line: a number (mol/L) or a number with a
    unit; returns (mol/L, whether a unit was given)."""
    try:
        return _concentration_argument(text, what)
    except UnitError as error:
        raise ReadError(str(error)) from None


def temperature_argument(value, celsius=False, what: str = "--temperature") -> float:
    """A temperature given by hand, in kelvin: a number (kelvin, or Celsius
    with `celsius`) or a number with its unit ("20C", "20 °C", "293.15 K")."""
    try:
        return _temperature_argument(value, celsius, what)
    except UnitError as error:
        raise ReadError(str(error)) from None


def header_unit(header: str) -> Optional[str]:
    """The unit a header states: inside brackets ("T (°C)", "CD [mdeg]"),
    after a slash ("T / K") or after an underscore ("temperature_K")."""
    text = header.strip()
    found = bracketed_unit(text)
    if found is not None:
        return found
    if "_" in text:
        return text.rsplit("_", 1)[1].strip()
    parts = text.split()
    return parts[-1] if len(parts) > 1 else None


def bracketed_unit(text: str) -> Optional[str]:
    """The unit in brackets or after a slash: the forms that say a unit and
    nothing else ("Sample Temp (°C)", "Conc./uM")."""
    found = re.findall(r"[\(\[]\s*([^\)\]]*?)\s*[\)\]]", text)
    if found:
        return found[-1]
    if "/" in text:
        return text.split("/", 1)[1].strip()
    return None


def header_temperature_unit(header: str) -> Optional[str]:
    return temperature_unit(header_unit(header))


_HEADER_TEMPERATURE = re.compile(r"^\s*(?:t\s*=\s*)?([-+]?\d+(?:[.,]\d+)?)\s*(°\s*c|ºc|degc|c|k)\s*$", re.IGNORECASE)


def header_temperature(header) -> Optional[float]:
    """The temperature a column is headed by, in kelvin ("25 °C", "T = 298.15
    K"): a concentration series of the wide layout; None otherwise."""
    match = _HEADER_TEMPERATURE.match(str(header))
    if not match:
        return None
    value = float(match.group(1).replace(",", "."))
    return value if match.group(2).lower() == "k" else value + KELVIN_OFFSET


def in_kelvin(path, column, values, unit, celsius_given, where):
    """Kelvin from values in `unit` ("K", "C", "F" or None: kelvin unless
    --celsius), refusing numbers that cannot be in the unit they are taken
    for.  Returns (kelvin, the unit in words)."""
    if unit == "F":
        raise ReadError(f"{path}, column {column!r}: temperatures in degrees Fahrenheit are not read; give them "
                        "in °C or K")
    celsius = unit == "C" or (unit is None and celsius_given)
    finite = np.isfinite(values)
    if celsius:
        low, high = CELSIUS_RANGE
        bad = np.flatnonzero(finite & ((values < low) | (values > high)))
        if bad.size:
            j = bad[np.argmax(np.abs(values[bad]))]
            fix = "say K in the header (e.g. 'T (K)')" if unit == "C" else "leave out --celsius"
            looks = "these look like kelvin; " if values[j] > high else ""
            raise ReadError(f"{path}, line {where([j])[0]}, column {column!r}: {values[j]:g} °C is outside "
                            f"{low:g} to {high:g} °C; {looks}{fix}")
        return values + KELVIN_OFFSET, "°C" + (" (--celsius)" if unit is None else "")
    bad = np.flatnonzero(finite & (values < KELVIN_FLOOR))
    if bad.size:
        j = bad[0]
        fix = "give --celsius or say so in the header, e.g. 'T (°C)'" if unit is None else \
            "say °C in the header, e.g. 'T (°C)'"
        raise ReadError(f"{path}, line {where([j])[0]}, column {column!r}: {values[j]:g} is below "
                        f"{KELVIN_FLOOR:g} K; if the temperatures are in degrees Celsius, {fix}")
    bad = np.flatnonzero(finite & (values > KELVIN_CEILING))
    if bad.size:
        j = bad[0]
        raise ReadError(f"{path}, line {where([j])[0]}, column {column!r}: {values[j]:g} K is above "
                        f"{KELVIN_CEILING:g} K; these are not temperatures in kelvin (choose the temperature "
                        "column with --temperature-column)")
    return values, "K" + ("" if unit == "K" else " (no unit in the header)")
