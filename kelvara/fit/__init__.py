"""Global fits of the models to measured cooling and heating curves,
concentration series and solvent denaturations, alone or together.

Needs the ``fit`` extra (NumPy and SciPy): ``python -m pip install 'kelvara[fit]'``.

A curve is a signal measured against temperature at one total
concentration, against the total concentration at one temperature (a
concentration series), or against the fraction of a good solvent at one
temperature and concentration (a denaturation).  All curves of a fit share
the parameters of one model (for example ``delta_h``, ``delta_s`` and
``delta_h_nuc`` of the cooperative model; ``k`` and ``sigma`` for a series at
one temperature; ``delta_g0``, ``m`` and ``sigma`` for denaturations); each
curve is

    signal = baseline + slope * (T - 298.15 K) + amplitude * fraction

where ``fraction`` is the fraction aggregated from the model's ``_core``
functions, ``baseline`` (and, against temperature, the optional ``slope``)
describe the signal of the free monomer, and ``amplitude`` the change on
full aggregation.  Each of these is per curve or shared, as chosen.

A fit is a global search: many starts spread over plausible elongation
temperatures, enthalpies and cooperativities are screened cheaply (the
baselines and amplitudes of a trial set are solved for exactly, as a linear
least-squares problem), the most promising are refined, and the best is
polished over every parameter at once.  The result carries a verdict:
``result.ok`` is False, and ``result.problems`` says why in sentences, when
the fit did not converge, a thermodynamic parameter is not determined by the
data, the data show no transition, the residuals hold structure beyond the
noise, or an elongation temperature lies far outside the measured range.

    >>> from kelvara.fit import Curve, fit
    >>> result = fit([Curve(temps, signal, 1e-5), ...], "cooperative")
    >>> print(result.summary())
"""

from kelvara.fit.compare import Comparison, compare
from kelvara.fit.curves import REFERENCE_TEMPERATURE, VARIED, Curve, celsius
from kelvara.fit.fitting import MAX_FITTED_NUC_SIZE, check, fit
from kelvara.fit.options import FitOptions
from kelvara.fit.result import CurveResult, Derived, FitResult, Parameter
from kelvara.fit.uncertainty import Profile
from kelvara.fit.verdict import Problem
from kelvara.models import GAS_CONSTANT, MODELS

__all__ = [
    "GAS_CONSTANT",
    "MAX_FITTED_NUC_SIZE",
    "MODELS",
    "REFERENCE_TEMPERATURE",
    "VARIED",
    "Comparison",
    "Curve",
    "CurveResult",
    "Derived",
    "FitOptions",
    "FitResult",
    "Parameter",
    "Problem",
    "Profile",
    "celsius",
    "check",
    "compare",
    "fit",
]
