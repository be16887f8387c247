"""Several models fitted to the same curves and ranked by AIC (BIC
alongside); fits that are not ok come last and are never ranked best."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from kelvara import __version__
from kelvara.errors import KelvaraError
from kelvara.fit.curves import Curve, came_in_celsius
from kelvara.fit.fitting import fit
from kelvara.fit.noise import whitened
from kelvara.fit.options import FitOptions
from kelvara.fit.result import FitResult
from kelvara.units import rounded as _rounded
from kelvara.fit.threads import one_blas_thread
from kelvara.models import MODELS, unit_of
from kelvara.units import meaningless, shown as shown_in


# The two best models closer than this in AIC are not told apart (a
# likelihood ratio of e, a weight of 0.73 against 0.27).
DECISIVE_AIC = 2.0
# The nucleus sizes a model that takes one scans in a comparison, unless
# given: oligomers of three to six that signal apart from the polymers
# can fit as a dimer nucleus does, with other values; the scan tells
# whether the data single out the size (see _rival_mechanism).
COMPARED_NUC_SIZES = range(2, 7)


@dataclass
class Comparison:
    """Several models fitted to the same curves: the fits that are ok first,
    by AIC (BIC alongside), then those that are not; `best` is never one
    that is not ok."""

    results: List[FitResult]
    # How the noise entered the information criteria, where it is correlated.
    noise: Optional[str] = None

    @property
    def best(self) -> Optional[FitResult]:
        """The ok fit with the lowest AIC, or None when no fit is ok."""
        return self.results[0] if self.results and self.results[0].ok else None

    @property
    def evidence(self) -> Dict[str, Any]:
        """How strongly the data prefer the best model: each model's AIC and
        BIC above the lowest of the ok fits (all fits when none is ok), the
        Akaike weights of the ok fits, whether the ranking is decisive, and
        why not in words.  It is not decisive when the best two ok fits are
        within DECISIVE_AIC of each other in AIC, or when AIC and BIC prefer
        different ok models."""
        good = [r for r in self.results if r.ok] or self.results
        aic0 = min(r.aic for r in good)
        bic0 = min(r.bic for r in good)
        raw = {r.model: math.exp(-0.5 * (r.aic - aic0)) for r in self.results if r.ok}
        total = sum(raw.values())
        weights = {m: w / total for m, w in raw.items()} if total > 0 else {}
        why = None
        ok = [r for r in self.results if r.ok]
        if ok:
            why = _rival_mechanism(ok[0], self.results)
        if len(ok) >= 2 and why is None:
            by_bic = min(ok, key=lambda r: r.bic)
            if ok[1].aic - ok[0].aic < DECISIVE_AIC:
                why = (f"{ok[0].model} and {ok[1].model} are within {ok[1].aic - ok[0].aic:.2g} of each other in "
                       f"AIC (less than {DECISIVE_AIC:g}): the data do not tell them apart")
            elif by_bic is not ok[0]:
                why = (f"AIC prefers {ok[0].model} (by {ok[1].aic - ok[0].aic:.2g}), BIC prefers {by_bic.model} (by "
                       f"{ok[0].bic - by_bic.bic:.2g}): the extra parameters are not clearly worth it")
        return {"delta_aic": {r.model: r.aic - aic0 for r in self.results},
                "delta_bic": {r.model: r.bic - bic0 for r in self.results},
                "akaike_weights": weights, "decisive": self.best is not None and why is None,
                "not_decisive": why}

    @property
    def headline(self) -> str:
        """The comparison in a few words: the best model and how strongly the
        data prefer it, or that none fits well enough."""
        best = self.best
        if best is None:
            return "NOT OK: no model fits well enough to be ranked best"
        evidence = self.evidence
        weight = evidence["akaike_weights"].get(best.model, 1.0)
        if evidence["not_decisive"]:
            return f"best: {best.model}, not decisive ({evidence['not_decisive']})"
        return f"best: {best.model} (Akaike weight {weight:.2g})"

    def to_dict(self) -> dict:
        """Plain data (strict JSON): the ranking and every model's results."""
        best = self.best
        return {
            "kelvara_version": __version__,
            "ok": best is not None,
            "best": None if best is None else best.model,
            "ranking": [r.model for r in self.results],
            "evidence": self.evidence,
            "noise": self.noise,
            "models": [r.to_dict() for r in self.results],
        }

    def plot(self, celsius: Optional[bool] = None):
        """One panel per model, best first (data, fitted curves, residuals,
        each titled with its verdict and ΔAIC), as a matplotlib Figure;
        temperatures in °C with `celsius` (default: as the curves came in)."""
        from kelvara import plot  # matplotlib only when a figure is asked for

        curves = self.results[0].data
        if celsius is None:
            celsius = came_in_celsius(curves)
        return plot.comparison_figure(self, curves, celsius=celsius)

    def report(self, path, *, command: Optional[str] = None) -> None:
        """Write the comparison as one self-contained HTML page: the ranking
        with each model's verdict, then each model's results (see
        FitResult.report)."""
        from kelvara import report

        report.write(path, report.comparison_report(self, command=command))

    def summary(self, temperature_unit: str = "K") -> str:
        """The ranking, each model's main parameters (temperatures in
        `temperature_unit`, "K" or "°C") and every problem, as text."""
        if temperature_unit not in ("K", "°C"):
            raise KelvaraError(f"temperature_unit must be 'K' or '°C', not {temperature_unit!r}")

        def shown(name, value):
            return shown_in(value, unit_of(name), temperature_unit)

        evidence = self.evidence
        lines = [f"{'model':18}{'free':>6}{'chi2':>14}{'AIC':>12}{'dAIC':>9}{'BIC':>12}{'dBIC':>9}{'weight':>8}"
                 "  verdict"]
        for r in self.results:
            name = r.model + (f" n={r.nuc_size}" if r.nuc_size else "")
            weight = evidence["akaike_weights"].get(r.model)
            lines.append(f"{name:18}{len(r.free):>6}{r.chi2:>14.6g}{r.aic:>12.3f}{evidence['delta_aic'][r.model]:>9.2f}"
                         f"{r.bic:>12.3f}{evidence['delta_bic'][r.model]:>9.2f}"
                         f"{'' if weight is None else f'{weight:.2g}':>8}  {_verdict_word(r)}")
        lines.append(self.headline)
        if self.noise:
            lines.append(self.noise)
        lines.append("")
        lines.append("main parameters (value +- std. error):")
        for r in self.results:
            main = ", ".join(_main_value(n, r.parameters[n], shown) for n in r.thermodynamic)
            lines.append(f"  {r.model}: {main}")
        for r in self.results:
            for problem in r.problems:
                lines.append(f"{r.model}: {problem}")
        return "\n".join(lines)


@one_blas_thread
def compare(curves, models: Sequence[str] = ("isodesmic", "cooperative", "coop_iso", "cooperative_n"), *,
            progress=None, **options) -> Comparison:
    """Fit every model to the same curves and rank them by AIC.

    Every model sees the same points, so their AIC compare; a
    phenomenological model pays for each of its per-curve parameters (three
    per curve for vanderschoot against three in all for cooperative).

    Parameters
    ----------
    curves : Curve or iterable of Curve
    models : sequence of str
        Names from `kelvara.models.MODELS`.
    progress : callable, optional
        Called as ``progress(model, index, count)`` before each model's fit.
    **options
        What `fit` takes; `nuc_size` reaches cooperative_n only (which scans
        COMPARED_NUC_SIZES unless given one), `shared` and `free` each model
        that has those parameters.

    Returns
    -------
    Comparison
        The results ranked by AIC (BIC alongside); fits that are not ok come
        last, whatever their AIC, and `best` is None when none is ok.
    """
    curves = [curves] if isinstance(curves, Curve) else list(curves)
    given = FitOptions(**options)
    results = []
    models = list(models)
    for index, model in enumerate(models):
        if progress is not None:
            progress(model, index, len(models))
        keywords = given.for_model(model).keywords()
        if MODELS[model].takes_nuc_size and keywords.get("nuc_size") is None:
            keywords["nuc_size"] = COMPARED_NUC_SIZES
        results.append(fit(curves, model, **keywords))
    noise = shared_noise_criteria(results)
    results.sort(key=lambda r: (not r.ok, r.aic, r.bic))
    return Comparison(results, noise)


def shared_noise_criteria(results: List[FitResult]) -> Optional[str]:
    """Give every result AIC and BIC from one likelihood that includes the
    correlated noise, the same noise for every candidate: the
    autoregression read from the residuals of the ok fit with the fewest
    free parameters (a richer model follows part of the correlated noise
    and reads it shorter than it is).  Each model's
    residuals are whitened by it (its innovations, curve by curve), so
    that a correlated stretch of noise, which a richer model can follow
    for a while, counts as the few independent values it holds and cannot
    buy the richer mechanism.  Under white noise nothing changes.  Returns
    the sentence that says which noise was used, or None."""
    readable = [(len(r.free), r.chi2, i, r.noise_model) for i, r in enumerate(results)
                if r.ok and r.noise_model is not None and r.noise_model.misfit is None
                and r.noise_model.coefficients is not None]
    if not readable:
        return None
    *_, index, noise = min(readable, key=lambda entry: entry[:3])
    phi = noise.coefficients
    if phi is None:  # (never: the readable have them)
        return None
    for r in results:
        weights = r._fit.curve_weights if r._problem is not None else None
        innovations = []
        for i, c in enumerate(r.curve_results):
            e = np.asarray(c.residuals, dtype=float)
            if i in noise.curves and e.size > phi.size:
                e = whitened(e, phi)
            innovations.append(e * (weights[i] if weights is not None else 1.0))
        e = np.concatenate(innovations)
        n, k = e.size, len(r.free)
        rss = float(e @ e)
        log_term = n * math.log(rss / n) if rss > 0 else -math.inf
        r.aic, r.bic = log_term + 2 * k, log_term + k * math.log(n)
    return (f"AIC and BIC from one likelihood for every model, of noise correlated over about {noise.span:.0f} "
            f"points (an autoregression of order {noise.order}, read from the residuals of the {results[index].model} "
            "fit): correlated points count as the independent values they hold")


def _rival_mechanism(best, results):
    """Why the best cannot be trusted to be the mechanism, when another
    candidate fits about as well (chi2 within the 95 % likelihood-ratio
    limit, in the best fit's residual variances) and is refused only
    because its own answer is not singled out (another nucleus size or
    minimum fits as well): its doubt is the best's too.  None otherwise."""
    rivals = [r for r in results if r is not best and not r.ok and getattr(r, "problems", None)
              and all(getattr(p, "code", None) == "rival_minimum" for p in r.problems) and r.converged]
    if not rivals:
        return None
    variance = best.chi2 / max(best.n_points - len(best.free), 1)
    noise = best.noise_model
    if noise is not None and not noise.white and noise.misfit is None:
        variance *= noise.error_scale ** 2
    for r in rivals:
        if variance > 0 and (r.chi2 - best.chi2) / variance <= 3.841458820694124:
            support = getattr(r, "nuc_size_support", None)
            if support is not None and len(support.kept) > 1:
                return (f"{r.model} fits about as well, and the data do not single out its nucleus size (not "
                        f"rejected: {', '.join(str(n) for n in support.kept)}), which moves the values beyond their "
                        "errors: see its problem")
            return f"{r.model} fits about as well, and {r.problems[0]}"
    return None


def _verdict_word(result):
    return result.short_verdict


def _main_value(name, parameter, shown):
    """name value +- error unit, rounded to the error (enthalpies in kJ/mol)."""
    value, unit = shown(name, parameter.value)
    if parameter.fixed:
        text, _, unit = _rounded(value, math.nan, unit)
        return f"{name} {text} fixed {unit}"
    nothing = None if parameter.at_bound else meaningless(parameter.value, parameter.stderr, parameter.unit)
    if nothing:
        return f"{name} {nothing}"
    text, error, unit = _rounded(value, parameter.stderr, unit)
    return f"{name} {text} +- {error} {unit}"
