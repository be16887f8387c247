"""A scan of nucleus sizes: how strongly the data prefer the best size
(the sizes a likelihood ratio does not reject), and whether a size not
rejected gives other values (then the answer depends on a size the data do
not tell)."""

from __future__ import annotations

import math

from kelvara.fit.result import NucleusSupport
from kelvara.fit.verdict import Problem
from kelvara.units import listed

# The rise of chi2, in residual variances, that a likelihood-ratio test
# rejects at 95 % (chi-squared with one degree of freedom).
_NUCLEUS_LEVEL = 0.95
_NUCLEUS_RISE = 3.841458820694124


# Elongation values of a nucleus size the data do not reject that lie this
# many of the reported fit's standard errors away leave them undetermined.
_RIVAL_SDS = 3.0


def rival_sizes(best, results, support):
    """A problem when a nucleus size the scan does not reject gives the
    elongation values (those every size shares: delta_h, delta_s) more
    than _RIVAL_SDS standard errors from the reported fit's: the values
    depend on a size the data do not single out (silent oligomers of four
    fit as a dimer nucleus does, with an entropy 6 standard errors off)."""
    shared = [name for name in best.parameters if name in ("delta_h", "delta_s") and best.parameters[name].determined]
    worst = None
    for r in results:
        if r.nuc_size not in support.kept or r.nuc_size == best.nuc_size and r.chi2 == best.chi2:
            continue
        for name in shared:
            p, other = best.parameters[name], r.parameters.get(name)
            if other is None or not math.isfinite(other.value):
                continue
            away = abs(other.value - p.value) / p.stderr
            if away > _RIVAL_SDS and (worst is None or away > worst[0]):
                worst = (away, r, name, other.value)
    if worst is None:
        return []
    away, r, name, value = worst
    species = " with species signals" if "oligomer_amplitude[0]" in r.parameters else ""
    shown = f"{value / 1000:.4g} kJ/mol" if name == "delta_h" else f"{value:.4g} J/(mol K)"
    return [Problem("rival_minimum", (
        f"the data do not single out the nucleus size: {r.nuc_size}{species} fits about as well (not rejected by the "
        f"scan) with {name} {shown}, {away:.0f} standard errors from this fit's (nucleus {best.nuc_size}); the "
        "values depend on a size the data do not tell, and the standard errors describe one size only; if the "
        "oligomers' signal is the polymers', --no-species-signals says so and the sizes compare with equal signals"))]


def sizes_of(results):
    """'2 to 6': the sizes a scan fitted."""
    sizes = sorted(r.nuc_size for r in results)
    return f"{sizes[0]} to {sizes[-1]}"


def nucleus_support(best, results):
    """How strongly the data prefer the best nucleus size of a scan: each
    converged size's chi2 above the best in the best fit's residual
    variances (a likelihood ratio, -2 ln L = chi2 / variance), and the
    converged sizes within the 95 % rise: the sizes the data do not reject.
    Sizes whose fit did not converge (or could not be evaluated) have no
    chi2 to compare and are named apart.  Under correlated noise the
    variance is widened as the errors are, when the best fit is one to read
    it from (converged, every parameter determined, residuals that are
    noise)."""
    failed = sorted(r.nuc_size for r in results if not (r.converged and math.isfinite(r.chi2)))
    usable = [r for r in results if r.nuc_size not in failed]
    if usable and best not in results and best.ok:
        # The scan compared sizes with species signals; the fit reported
        # is the one without them (the data did not keep them).
        reference = min(usable, key=lambda r: r.chi2)
        support = nucleus_support(reference, results)
        support.text = support.text.replace(f"{sizes_of(results)}:", f"{sizes_of(results)}, each with species "
                                            "signals (the family that holds the fit without them):", 1)
        return support
    variance = best.chi2 / max(best.n_points - len(best.free), 1)
    determined = best.converged and all(p.determined for p in best.parameters.values() if not p.fixed)
    noise = best.noise_model
    if noise is not None and determined and noise.misfit is None:
        # Correlated noise lets chi2 wander further by chance.
        variance *= noise.error_scale ** 2
    rise = {r.nuc_size: max((r.chi2 - best.chi2) / variance, 0.0) if variance > 0 else math.inf for r in usable}
    kept = sorted(n for n, r in rise.items() if r <= _NUCLEUS_RISE and math.isfinite(r))
    sizes = sorted(r.nuc_size for r in results)
    low, high = (kept[0], kept[-1]) if kept else (best.nuc_size, best.nuc_size)
    if not usable:
        text = (f"nuc_size scanned {sizes[0]} to {sizes[-1]}: no size's fit converged, so the scan says nothing of "
                "the nucleus size")
        return NucleusSupport(best.nuc_size, (low, high), {}, _NUCLEUS_LEVEL, text, failed=failed, kept=[])
    if not best.ok:
        # A likelihood ratio between fits that do not describe the data
        # says nothing of which size would.
        text = (f"nuc_size scanned {sizes[0]} to {sizes[-1]}: the best size's fit ({best.nuc_size}) is NOT OK (see "
                "the verdict), so the scan supports no size; rise per size: "
                + ", ".join(f"{n}: {rise[n]:.3g}" if n in rise else f"{n}: not converged" for n in sizes))
        return NucleusSupport(best.nuc_size, (best.nuc_size, best.nuc_size), dict(sorted(rise.items())),
                              _NUCLEUS_LEVEL, text, failed=failed, kept=[])
    contiguous = kept == [n for n in sizes if low <= n <= high]
    shown = f"{low} to {high}" if contiguous and low != high else listed(kept) if kept else str(best.nuc_size)
    text = (f"nuc_size scanned {sizes[0]} to {sizes[-1]}: best {best.nuc_size}; the data do not reject {shown} "
            f"(likelihood ratio at {_NUCLEUS_LEVEL:.0%}: chi2 within {_NUCLEUS_RISE:.2f} residual variances of the "
            "best); rise per size: " + ", ".join(f"{n}: {rise[n]:.3g}" if n in rise else f"{n}: not converged"
                                                 for n in sizes))
    if failed:
        text += (f"; the fit of {listed(failed)} did not converge (or could not be evaluated): "
                 f"{'they are' if len(failed) > 1 else 'it is'} left out of the comparison")
    # A range that reaches an end of the scan (other than 2, the smallest
    # nucleus there is) may go on beyond it.
    open_ends = [str(n) for n, end in ((low, sizes[0]), (high, sizes[-1])) if n == end and not (n == 2 and n == low)]
    if open_ends and kept:
        text += f"; the range ends where the scan does ({' and '.join(open_ends)}): widen the scan to bound it"
    return NucleusSupport(best.nuc_size, (low, high), dict(sorted(rise.items())), _NUCLEUS_LEVEL, text,
                          failed=failed, kept=kept)
