"""The options of a fit, as one frozen value.

`fit` takes them as keywords and keeps them on its result
(`result.options`), from which its JSON and its report's settings are
written; `compare` gives each model the part that applies to it
(`for_model`).  They are checked where they are used: an option that does
not fit the curves or the model is refused by `fit` in one sentence."""

from __future__ import annotations

from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any, Dict, Iterable, Mapping, Optional, Tuple, Union

from kelvara.models import MODELS
from kelvara.sizes import MAX_FITTED_NUC_SIZE, nuc_sizes  # noqa: F401 (re-exported)

_EMPTY: Mapping[str, Any] = MappingProxyType({})


def _names(given) -> Tuple[str, ...]:
    return (given,) if isinstance(given, str) else tuple(given)


def _frozen_mapping(given):
    # A mapping is copied and made read-only; anything else is left for the
    # fit to refuse with its own words.
    if given is None:
        return _EMPTY
    return MappingProxyType(dict(given)) if isinstance(given, Mapping) else given


@dataclass(frozen=True)
class FitOptions:
    """Every option of a fit (see `fit` for what each does)."""

    nuc_size: Union[int, Iterable[int], None] = None  # a scan as a tuple
    shared_amplitude: bool = False
    shared_baseline: bool = False
    baseline_slope: Optional[bool] = None  # None: chosen by the data
    aggregate_slope: Optional[bool] = None
    extensive: bool = False
    species_signals: Optional[bool] = None  # None: chosen by the data (cooperative_n)
    signal_model: str = "aggregated"  # or "stacked": the isodesmic model's stacked fraction K m
    start: Optional[Mapping[str, float]] = field(default_factory=lambda: _EMPTY)  # read-only maps, None as {}
    fix: Optional[Mapping[str, float]] = field(default_factory=lambda: _EMPTY)
    bounds: Optional[Mapping[str, Tuple[float, float]]] = field(default_factory=lambda: _EMPTY)
    max_nfev: Optional[int] = None
    search: bool = True
    shared: Union[str, Iterable[str]] = ()  # as a tuple
    free: Union[str, Iterable[str]] = ()

    def __post_init__(self):
        for name in ("start", "fix", "bounds"):
            object.__setattr__(self, name, _frozen_mapping(getattr(self, name)))
        for name in ("shared", "free"):
            object.__setattr__(self, name, _names(getattr(self, name)))
        if self.nuc_size is not None and not isinstance(self.nuc_size, (int, str)):
            checked = nuc_sizes(self.nuc_size, None)  # before it is made a tuple: it may be far too long
            object.__setattr__(self, "nuc_size", checked if isinstance(checked, int) or checked is None
                               else tuple(checked))

    def for_model(self, model: str) -> "FitOptions":
        """The options as they apply to `model`: the nucleus size to
        cooperative_n only, and of `shared` and `free` the names the model
        has."""
        entry = MODELS.get(model)
        changes: Dict[str, Any] = {}
        if entry is None or not entry.takes_nuc_size:
            changes["nuc_size"] = None
        if entry is not None:
            changes["shared"] = tuple(n for n in self.shared if n in entry.per_curve)
            changes["free"] = tuple(n for n in self.free if n in entry.nucleation_entropies)
            changes["species_signals"] = self.species_signals if entry.nucleated else None
            changes["signal_model"] = self.signal_model if entry.kernel == "isodesmic" else "aggregated"
        return FitOptions(**{**self.keywords(), **changes})

    def keywords(self) -> Dict[str, Any]:
        """The options as the keywords of `fit`."""
        return {name: getattr(self, name) for name in self.__dataclass_fields__}

    def to_dict(self) -> Dict[str, Any]:
        """Plain data for JSON (SI units, bounds as [low, high])."""
        out = self.keywords()
        out["start"], out["fix"] = dict(self.start or {}), dict(self.fix or {})
        out["bounds"] = {name: list(pair) for name, pair in (self.bounds or {}).items()}
        out["shared"], out["free"] = list(self.shared), list(self.free)
        if isinstance(self.nuc_size, tuple):
            out["nuc_size"] = list(self.nuc_size)
        return out
