"""Equilibrium models of supramolecular (self-assembled) polymerisation.

The models live in the compiled module :mod:`kelvara._core`; its functions
are re-exported here.  Concentrations are in mol/L, equilibrium constants in
L/mol, enthalpies in J/mol, entropies in J/(mol K), temperatures in kelvin.
Fitting measured curves is :mod:`kelvara.fit` (the ``fit`` extra).
"""

# Named one by one, so that type checkers and editors see them; the tests
# hold this list equal to the module's own __all__.
from kelvara._core import (
    coop_iso_model,
    cooperative_model,
    cooperative_model_n,
    isodesmic_model,
    isodesmic_model_direct,
    temp_coop_iso_model,
    temp_cooperative_model,
    temp_cooperative_model_n,
    temp_isodesmic_model,
    temp_isodesmic_model_direct,
)

__all__ = [
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
__version__ = "0.1.0"
