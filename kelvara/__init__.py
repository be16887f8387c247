"""Equilibrium models of supramolecular (self-assembled) polymerisation.

The models live in the compiled module :mod:`kelvara._core`; its functions
are re-exported here.  Concentrations are in mol/L, equilibrium constants in
L/mol, enthalpies in J/mol, entropies in J/(mol K), temperatures in kelvin.
"""

from kelvara import _core
from kelvara._core import *  # noqa: F401,F403

__all__ = list(_core.__all__)
__version__ = "0.1.0"
