"""A fit as text: its verdict, parameters with standard errors and units, intervals, derived values,
correlations and statistics.  Reads the result's public values; imports nothing of the fit."""

from __future__ import annotations

import math

import numpy as np

from kelvara.errors import KelvaraError
from kelvara.models import unit_of
from kelvara.names import distinct_derived, labelled, signal_words, unit_named
from kelvara.units import formatted as _format
from kelvara.units import meaningless, readable_scale
from kelvara.units import rounded as _rounded
from kelvara.units import shown as shown_in


# What an ok fit passed: the checks every fit is put through.
OK_LINE = ("ok: the fit converged, the data determine every free parameter, the values are physically "
           "meaningful and the residuals leave no structure beyond the noise")


def verdict_lines(result):
    """The verdict as the summary opens with it: the ok line, or NOT OK
    with each problem on a line of its own."""
    if not result.problems:
        return [OK_LINE]
    return [f"{result.verdict}; this fit is not to be trusted:"] + [f"  - {p}" for p in result.problems]


def short_lines(result):
    """`repr(FitResult)`: the model and verdict, each free value that is
    not a curve's own rounded to its error, and the data's size."""
    head = f"<FitResult {result.model}" + (f" (nuc_size {result.nuc_size})" if result.nuc_size else "")
    lines = [f"{head}: {result.verdict}"]
    for name in result.free:
        p = result.parameters[name]
        if "[" in name:
            continue
        nothing = meaningless(p.value, p.stderr, p.unit)
        text, error, unit = _rounded(p.value, p.stderr, p.unit)
        shown = nothing or f"{text} ± {error}"
        lines.append(f"  {result.shown_name(name)} = {shown} {unit_named(result, name, unit)}".rstrip())
    curves = len(result.curve_results)
    lines.append(f"  {result.n_points} points in {curves} curve{'s' if curves != 1 else ''}, chi2 {result.chi2:.6g}>")
    return lines


def fit_summary(result, temperature_unit: str = "K") -> str:
    """`FitResult.summary`: temperatures (Te, tm, te) in `temperature_unit`
    ("K" or "°C"; their standard errors are the same in both)."""
    if temperature_unit not in ("K", "°C"):
        raise KelvaraError(f"temperature_unit must be 'K' or '°C', not {temperature_unit!r}")

    def shown(value, unit, name=""):
        value, unit = shown_in(value, unit, temperature_unit)
        return value, unit_named(result, name, unit)

    names = {n: result.shown_name(n) for n in list(result.parameters) + list(result.derived)}
    width = max([24] + [len(n) + 2 for n in names.values()])

    lines = verdict_lines(result)
    lines.append(f"model: {result.model}" + (f" (nuc_size {result.nuc_size})" if result.nuc_size else ""))
    lines.append(f"signal: {signal_words(result)}")
    lines += result.notes
    screened, refined, reached = result.starts
    if refined > 1:
        lines.append(f"global search: {screened} starts screened, {refined} refined, "
                     f"{reached} reached the best chi2")
    lines.append(f"{'parameter':{width}}{'value':>16}{'std. error':>14}  unit")
    for p in result.parameters.values():
        if p.fixed:
            error = "fixed"
        elif p.at_bound:
            error = "at bound"
        else:
            error = None
        nothing = meaningless(p.value, p.stderr, p.unit) if error is None else None
        value, unit = shown(p.value, p.unit, p.name)
        factor, unit = readable_scale(value, unit)
        value, spread = value / factor, p.stderr / factor
        text, rounded_error, unit = _rounded(value, spread if error is None else math.nan, unit)
        if nothing:
            text, rounded_error = nothing, ""
        lines.append(f"{names[p.name]:{width}}{text:>16}{error or rounded_error:>14}  {unit}")
    if result.profiles:
        level = next(iter(result.profiles.values())).level
        lines.append(f"profile-likelihood {100 * level:g} % intervals:")
        for pr in result.profiles.values():
            warning = "" if pr.converged else "  (some refits did not converge: may be too narrow)"
            unit = unit_of(pr.name)
            low, high = (shown(v, unit)[0] if v is not None else None for v in (pr.low, pr.high))
            spread = result.parameters[pr.name].stderr if pr.name in result.parameters else math.nan
            ends = [_rounded(v, spread, shown(0.0, unit)[1]) if v is not None else ("n/a", "", "")
                    for v in (low, high)]
            shown_unit = _rounded(0.0, 1.0, shown(0.0, unit)[1])[2]
            lines.append(f"  {names.get(pr.name, pr.name):{width - 2}}[{ends[0][0]}, {ends[1][0]}]  {shown_unit}"
                         + warning)
    if result.bootstrap:
        lines.append(f"bootstrap 95 % percentile intervals ({result.bootstrap_resamples} resamples"
                     + (", the noise's correlation kept" if result.noise_model is not None
                        and not result.noise_model.white else "") + "):")
        for name, (low, high) in result.bootstrap.items():
            spread = result.parameters[name].stderr if name in result.parameters else \
                result.derived[name].stderr if name in result.derived else math.nan
            unit = unit_of(name)
            ends = [_rounded(shown(v, unit)[0], spread, shown(0.0, unit)[1]) for v in (low, high)]
            lines.append(f"  {names.get(name, name):{width - 2}}[{ends[0][0]}, {ends[1][0]}]  {ends[0][2]}")
    lines.append("derived:")
    kept, samples = distinct_derived(result)
    for name in kept:
        d = result.derived[name]
        names[name] = labelled(name, samples)
        nothing = meaningless(d.value, d.stderr, d.unit)
        value, unit = shown(d.value, d.unit, name)
        factor, unit = readable_scale(value, unit)
        value, spread = value / factor, d.stderr / factor
        text, error, unit = _rounded(value, spread, unit)
        if nothing:
            text, error = nothing, ""
        elif spread == 0.0:
            error = "fixed"  # of fixed values only
        lines.append(f"  {names[d.name]:{width - 2}}{text:>16}{error:>14}  {unit}")
    thermodynamic = set(result.thermodynamic)
    thermo = [n for n in result.free if n in thermodynamic]
    if len(thermo) > 1:
        lines.append("correlation of the thermodynamic parameters:")
        index = [result.free.index(n) for n in thermo]
        corr = result.correlation[np.ix_(index, index)]
        lines.append(" " * width + "".join(f"{n[:12]:>13}" for n in thermo))
        for n, row in zip(thermo, corr):
            lines.append(f"  {n:{width - 2}}" + "".join(f"{_format(0.0 if abs(v) < 5e-6 else v, '13.5f'):>13}" for v in row))
    noise = f", noise SD {result.noise:.3g} (from the data)" if result.noise else ""
    lines.append(
        f"chi2 {result.chi2:.6g}, reduced chi2 {result.reduced_chi2:.6g}{noise}, AIC {result.aic:.3f}, "
        f"BIC {result.bic:.3f}, {result.n_points} points, {len(result.free)} free parameters, "
        f"{result.nfev} model evaluations"
    )
    return "\n".join(lines)
