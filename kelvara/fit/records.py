"""The values a fit reports: each parameter and each derived value with
its standard error and unit (re-exported by kelvara.fit.result)."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Tuple

from kelvara.models import unit_of


@dataclass
class Parameter:
    name: str
    value: float
    stderr: float  # NaN when fixed, on a bound, or not determined by the data
    fixed: bool
    bounds: Tuple[float, float] = (-math.inf, math.inf)
    at_bound: bool = False
    per_concentration: bool = False  # a baseline or amplitude of an extensive signal

    @property
    def determined(self) -> bool:
        """A free parameter whose standard error could be estimated."""
        return not self.fixed and not self.at_bound and math.isfinite(self.stderr)

    @property
    def unit(self) -> str:
        unit = unit_of(self.name)
        return unit.replace("signal", "signal L/mol", 1) if self.per_concentration else unit


@dataclass
class Derived:
    name: str
    value: float
    stderr: float

    @property
    def unit(self) -> str:
        return unit_of(self.name)
