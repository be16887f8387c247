"""Type stubs for the compiled module kelvara._core."""

from typing import List

__all__: List[str]

def isodesmic_model_direct(x: float, k: float) -> float:
    """Calculate the fraction of aggregated species (direct formula)."""

def isodesmic_model(conc: float, k: float, num_itr: int) -> float:
    """Calculate the aggregation from total concentration (bisection method)."""
