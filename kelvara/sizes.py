"""The nucleus sizes a fit takes: one size, or a scan of them, checked
once for the command line, the app and the Python API alike."""

from __future__ import annotations

from numbers import Integral
from typing import Any, Optional, Tuple, Union

from kelvara.errors import KelvaraError
from kelvara.models import MODELS, sized_models

# The largest nucleus a fit takes: each evaluation costs more as the nucleus
# grows (100 fits in about a second, 1000 in about 20 s); published scans stop near 10.
MAX_FITTED_NUC_SIZE = 100

def nuc_sizes(given: Any, model: Optional[str], shown: str = "nuc_size") -> Union[int, range, Tuple[int, ...], None]:
    """A nucleus size or a scan of them, checked once for the command line
    (text: "8" or "2:6") and the Python API (an int or an iterable of
    ints) alike, against `model` (None: any model); `shown` names the
    option in the message."""
    if given is None:
        return None
    if model is not None and not MODELS[model].takes_nuc_size:
        raise KelvaraError(f"{shown} applies to the {sized_models()} model, not {model!r}")
    value: Union[int, range, Tuple[int, ...]]
    if isinstance(given, str):
        low, sep, high = given.partition(":")
        try:
            value = range(int(low), int(high) + 1) if sep else int(low)
        except ValueError:
            raise KelvaraError(f"{shown} takes N or A:B, not {given!r}") from None
    elif isinstance(given, (bytes, bool, float)):
        raise KelvaraError(f"{shown} must be a whole number or a range of them (range(2, 7)), not {given!r}")
    elif isinstance(given, Integral):
        value = int(given)
    elif isinstance(given, range):
        value = given
    else:
        try:
            value = tuple(given)
        except TypeError:
            raise KelvaraError(f"{shown} must be a whole number or a range of them, not {given!r}") from None
    # A range's ends stand for it (it may be given far too long).
    sizes = [value] if isinstance(value, int) else [value[0], value[-1]] if isinstance(value, range) and value \
        else list(value)
    if not all(isinstance(n, Integral) and not isinstance(n, bool) for n in sizes):
        raise KelvaraError(f"{shown} must be a whole number or a range of them, not {given!r}")
    if any(int(n) < 2 for n in sizes):
        raise KelvaraError(f"{shown} must be 2 or more, got {given!r}")
    if not sizes or any(int(n) > MAX_FITTED_NUC_SIZE for n in sizes):
        raise KelvaraError(f"{shown} {given}: sizes from 2 to {MAX_FITTED_NUC_SIZE}, the smaller first (at most "
                           f"{MAX_FITTED_NUC_SIZE} in a fit: its cost grows with the nucleus; one of 1000 takes about "
                           "20 s)")
    return value
