"""The texts of the reading options, parsed and checked when given: spans of temperature or
concentration (`--range 5:85C`, `--exclude 62.5C@10 µM`) and wavelengths (`--wavelength 600nm`)."""

from __future__ import annotations

import re
from typing import List, NamedTuple, Optional, Sequence, Tuple

from kelvara.io.errors import ReadError
from kelvara.units import UnitError, concentration_argument, split_unit, temperature_argument, temperature_unit


class Span(NamedTuple):
    """A range as given: what it applies to ("temperature" or
    "concentration"), its ends in K or mol/L (None: open), whether it is one
    value, and the text."""

    vary: str
    low: Optional[float]
    high: Optional[float]
    single: bool
    text: str
    celsius: bool = False  # given in °C: shown in °C
    curve: Optional[str] = None  # the one curve it applies to, by label ("62.5C@10 µM")


def parse_span(text: str, what: str) -> Span:
    """A range "5:85C", "278:358K", "1uM:50uM", ":85C", or (for --exclude)
    one value "62.5C": the unit at the end serves both ends.  "@LABEL" after
    it names the one curve it applies to."""
    text = str(text).strip()
    values, at, curve = text.partition("@")
    if at and not curve.strip():
        raise ReadError(f"{what} {text!r}: name the curve after @, by its label (e.g. 62.5C@10 µM), or leave out "
                        "the @ for every curve")
    parts = values.split(":")
    if len(parts) > 2 or not any(p.strip() for p in parts):
        raise ReadError(f"{what} {text!r}: give a range LOW:HIGH with a unit, e.g. {_EXAMPLE[what]}")
    if len(parts) == 1 and what == "--range":
        raise ReadError(f"{what} {text!r} is one value; give a range LOW:HIGH, e.g. 5:85C (either end may be left "
                        "open: :85C)")
    unit = split_unit(parts[-1].strip())[1] or split_unit(parts[0].strip())[1]
    if not unit:
        raise ReadError(f"{what} {text!r}: give the unit, e.g. {_EXAMPLE[what]} (°C or K, or a concentration "
                        "unit such as uM for a series)")
    vary = "temperature" if temperature_unit(unit) in ("K", "C") else "concentration"
    ends: List[Optional[float]] = []
    for part in parts:
        part = part.strip()
        if not part:
            ends.append(None)
            continue
        number, own = split_unit(part)
        if number is None:
            raise ReadError(f"{what} {text!r}: {part!r} is not a number, e.g. {_EXAMPLE[what]}")
        try:
            # The part as given (its own unit, or the range's): never a number re-written from a misreading.
            given = part if own else part + unit
            if vary == "temperature":
                ends.append(temperature_argument(given, what=what))
            else:
                ends.append(concentration_argument(given, what)[0])
        except UnitError as error:
            raise ReadError(f"{what} {text!r}: {error}") from None
    celsius = temperature_unit(unit) == "C"
    if len(ends) == 1:
        return Span(vary, ends[0], ends[0], True, text, celsius, curve.strip() or None)
    low, high = ends
    if low is not None and high is not None and low > high:
        raise ReadError(f"{what} {text!r}: the low end lies above the high end")
    return Span(vary, low, high, False, text, celsius, curve.strip() or None)


_EXAMPLE = {"--range": "5:85C", "--exclude": "62.5C or 60:64C"}


def checked(kept: Optional[str], excluded: Sequence[str]) -> Tuple[Optional[str], Tuple[str, ...]]:
    """The options as given, each parsed once to refuse a bad one early."""
    if kept is not None:
        parse_span(kept, "--range")
    for e in excluded:
        parse_span(e, "--exclude")
    return kept, tuple(excluded)


_WAVELENGTH = re.compile(r"^\s*(?:λ|lambda|wl)?\s*=?\s*(\d+(?:\.\d+)?)\s*(?:nm)?\s*$", re.IGNORECASE)
_SHORTEST, _LONGEST = 100.0, 3000.0  # nm: what a spectrometer measures


def wavelength_of(text) -> Optional[float]:
    """A wavelength in nm as a header or an option writes it ("600", "600
    nm", "600nm", "λ 600"), or None."""
    match = _WAVELENGTH.match(str(text))
    if not match:
        return None
    value = float(match.group(1))
    return value if _SHORTEST <= value <= _LONGEST else None


def check_wavelengths(given) -> None:
    for text in given:
        if wavelength_of(text) is None:
            raise ReadError(f"--wavelength {text!r}: give a wavelength in nm between {_SHORTEST:g} and "
                            f"{_LONGEST:g}, e.g. --wavelength 600nm")
