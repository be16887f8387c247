"""Type stubs for the compiled module kelvara._kernels (private: the fit's array kernels)."""

from typing import Dict, Optional, Tuple, Union

_Input = Optional[Union[bytes, bytearray]]
_Output = Optional[bytearray]

MODELS: Dict[str, Tuple[int, Tuple[str, ...]]]
"""Every model the kernels solve: its code and the names of the constants it takes, in the order solve takes
them ("k", "sigma", "k_iso"; two pathways: "k", "sigma", "k_b", "sigma_b")."""

def solve(model: int, nuc_size: int, steps: int, conc: _Input, inputs: Tuple[_Input, ...], fraction: _Output,
          monomer: _Output, slopes: Optional[Tuple[_Output, ...]]) -> None:
    """Fractions aggregated (and, where asked, the free monomer and the derivatives of the fraction in the
    logarithm of each input) of every point, written into the output bytearrays; `inputs` and `slopes` follow
    the order MODELS gives the model's constants."""

def solve_pathways(conc: _Input, k: _Input, sigma: _Input, k_b: _Input, sigma_b: _Input, fraction: _Output,
                   monomer: _Output, share_b: _Output, slopes: _Output) -> None:
    """Two cooperative pathways (dimer nuclei) competing for the monomer: the fraction aggregated, the
    free monomer, B's share of conc and (8 blocks of len(conc) doubles) the derivatives of the fraction
    and of B's share in ln k, ln sigma, ln k_b and ln sigma_b."""

def simulate(nuc_size: int, k: float, sigma: float, k_plus: float, ratio: float, c_tot: float, start: _Input,
             forcings: Tuple[int, ...], times: _Input, rtol: float, atol: float, max_steps: int, sums: _Output,
             states: _Output) -> Tuple[int, int, int, int]:
    """Nucleated polymerisation in time from `start` (m, c_2 .. c_N, P, Q over c_tot, then each sensitivity's
    value at time 0) at time 0, with a sensitivity per code of `forcings` (0 ln K, 1 ln sigma, 2 ln k_plus,
    3 ln ratio, 4 none): at each time the free monomer, the monomers in oligomers and in polymers, the number of
    polymers and the monomers beyond the cutoff (over c_tot; 5 per time and block) into `sums`, and the state
    into `states` (or None).  Returns (steps, rejected steps, evaluations, factorisations); ArithmeticError
    when the tolerance cannot be met."""

def exp(values: bytearray, count: int = -1) -> None:
    """exp of the first `count` doubles of `values`, in place."""
