"""Type stubs for the compiled module kelvara._core."""

from typing import List, Sequence, SupportsFloat, SupportsIndex, Union

__all__: List[str] = [
    "isodesmic_model_direct",
    "isodesmic_model",
    "temp_isodesmic_model_direct",
    "temp_isodesmic_model",
    "cooperative_model",
    "temp_cooperative_model",
    "coop_iso_model",
    "temp_coop_iso_model",
    "cooperative_model_n",
    "temp_cooperative_model_n",
]

_Float = Union[SupportsFloat, SupportsIndex]

def isodesmic_model_direct(x: _Float, k: _Float) -> float:
    """Calculate the fraction of aggregated species (direct formula)."""

def isodesmic_model(conc: _Float, k: _Float, num_itr: SupportsIndex) -> float:
    """Calculate the aggregation from total concentration (bisection method).

    num_itr halvings of the bracket [0, 1/k] know the free monomer to
    (1/k) * 2**-(num_itr + 1): the fraction is exact to double precision
    only when that is far below conc (100 steps: k * conc above about
    1e-14).  Steps past the bracket's fixed point change nothing and cost
    nothing, so a generous num_itr is safe."""

def temp_isodesmic_model_direct(
    temp: Sequence[_Float], delta_h: _Float, delta_s: _Float, c_tot: _Float, scaler: _Float
) -> List[float]:
    """Calculate isodesmic aggregation (direct formula, temperature-dependent)."""

def temp_isodesmic_model(
    temp: Sequence[_Float], delta_h: _Float, delta_s: _Float, c_tot: _Float, scaler: _Float
) -> List[float]:
    """Calculate isodesmic aggregation (bisection method, temperature-dependent)."""

def cooperative_model(conc: _Float, k: _Float, sigma: _Float, num_itr: SupportsIndex) -> float:
    """Calculate the aggregation from total concentration (bisection method).

    num_itr halvings of the bracket [0, 1/k] know the free monomer to
    (1/k) * 2**-(num_itr + 1): the fraction is exact to double precision
    only when that is far below conc (100 steps: k * conc above about
    1e-14).  Steps past the bracket's fixed point change nothing and cost
    nothing, so a generous num_itr is safe."""

def temp_cooperative_model(
    temp: Sequence[_Float],
    delta_h: _Float,
    delta_s: _Float,
    delta_h_nuc: _Float,
    c_tot: _Float,
    scaler: _Float,
) -> List[float]:
    """Calculate cooperative aggregation (bisection method, temperature-dependent)."""

def coop_iso_model(
    conc: _Float, k_iso: _Float, k_coop: _Float, sigma: _Float, num_itr: SupportsIndex
) -> float:
    """Calculate the aggregation from total concentration (bisection method, mixed model).

    num_itr halvings of the bracket [0, 1/k] know the free monomer to
    (1/k) * 2**-(num_itr + 1): the fraction is exact to double precision
    only when that is far below conc (100 steps: k * conc above about
    1e-14).  Steps past the bracket's fixed point change nothing and cost
    nothing, so a generous num_itr is safe."""

def temp_coop_iso_model(
    temp: Sequence[_Float],
    delta_h_iso: _Float,
    delta_s_iso: _Float,
    delta_h_coop: _Float,
    delta_s_coop: _Float,
    delta_h_nuc_coop: _Float,
    c_tot: _Float,
    scaler: _Float,
) -> List[float]:
    """Calculate mixed model aggregation (bisection method, temperature-dependent)."""

def cooperative_model_n(
    conc: _Float, k: _Float, sigma: _Float, nuc_size: SupportsIndex, num_itr: SupportsIndex
) -> float:
    """Calculate the aggregation from total concentration (bisection method).

    num_itr halvings of the bracket [0, 1/k] know the free monomer to
    (1/k) * 2**-(num_itr + 1): the fraction is exact to double precision
    only when that is far below conc (100 steps: k * conc above about
    1e-14).  Steps past the bracket's fixed point change nothing and cost
    nothing, so a generous num_itr is safe."""

def temp_cooperative_model_n(
    temp: Sequence[_Float],
    delta_h: _Float,
    delta_s: _Float,
    delta_h_nuc: _Float,
    c_tot: _Float,
    scaler: _Float,
    nuc_size: SupportsIndex,
) -> List[float]:
    """Calculate cooperative aggregation (bisection method, temperature-dependent)."""
