"""What the parts of a fit's problem (the blocks of its linear parameters, its
derived values) read of the whole: the attributes and methods that
`FitProblem` sets and defines, declared here once so that each part is
type-checked against them.  Nothing here runs."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Set

import numpy as np

from kelvara.fit.curves import Curve
from kelvara.fit.terms import Term
from kelvara.models import Model


class ProblemParts:
    """The problem as its parts see it."""

    curves: List[Curve]
    terms: List[Term]  # each curve's kind of data
    model: Model
    nuc_size: Optional[int]
    at_one_temperature: bool
    species: bool
    second_kind: Optional[str]
    nonlinear: List[str]
    nonlinear_set: Set[str]
    fixed: Dict[str, float]
    free: List[str]
    free_thermo: List[str]
    free_linear: List[str]
    thermo_index: np.ndarray
    linear_index: np.ndarray
    per_curve: Dict[Any, str]
    curve_weights: Optional[np.ndarray]
    observed: List[Any]
    n_points: int
    penalty: float
    _fraction: Any  # the last evaluation's fractions, or None
    _projected: Any  # the last projection (key, data, result), or None
    _rows_kept: Any  # the chunks' fixed rows (weights, {chunk: rows}), or None

    plain: Callable[[Dict[str, float]], Dict[str, float]]
    values: Callable[[np.ndarray], Dict[str, float]]
    thermo_values: Callable[[np.ndarray], Dict[str, float]]
    weight: Callable[[int, np.ndarray], Any]
    fraction: Callable[..., np.ndarray]
    fractions: Callable[..., Optional[np.ndarray]]
    block_slopes: Callable[..., Any]
    span_slopes: Callable[..., Any]
    _axes: Callable[..., Any]
