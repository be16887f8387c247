"""Type stubs for the compiled module kelvara._kernels (private: the fit's array kernels)."""

from typing import Dict, Optional, Tuple, Union

_Input = Optional[Union[bytes, bytearray]]
_Output = Optional[bytearray]

MODELS: Dict[str, Tuple[int, Tuple[str, ...]]]
"""Every model the kernels solve: its code and the constants it takes ("k", "sigma", "k_iso"; "k_b", "sigma_b")."""

def solve(model: int, nuc_size: int, steps: int, conc: _Input, k: _Input, sigma: _Input, k_iso: _Input,
          fraction: _Output, monomer: _Output, d_ln_k: _Output, d_ln_sigma: _Output,
          d_ln_k_iso: _Output) -> None:
    """Fractions aggregated (and, where asked, the free monomer and the derivatives of the fraction in
    ln k, ln sigma and ln k_iso) of every point, written into the output bytearrays."""

def solve_pathways(conc: _Input, k: _Input, sigma: _Input, k_b: _Input, sigma_b: _Input, fraction: _Output,
                   monomer: _Output, share_b: _Output, slopes: _Output) -> None:
    """Two cooperative pathways (dimer nuclei) competing for the monomer: the fraction aggregated, the
    free monomer, B's share of conc and (8 blocks of len(conc) doubles) the derivatives of the fraction
    and of B's share in ln k, ln sigma, ln k_b and ln sigma_b."""

def exp(values: bytearray, count: int = -1) -> None:
    """exp of the first `count` doubles of `values`, in place."""
