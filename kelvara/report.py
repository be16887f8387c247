"""A fit (or a comparison) as one self-contained HTML page for a paper's
supporting information: the inputs with their SHA-256 and how they were
read, the command that reproduces it, the model's equations, assumptions
and papers, the verdict, every value rounded to its error with units and
intervals, the correlations and statistics, the figures (embedded), a
methods paragraph and the versions it was made with.  No network: images
are embedded, the style is inline, and the page prints cleanly to PDF.

Needs the `fit` extra (matplotlib draws the figures and the equations)."""

from __future__ import annotations

import base64
import datetime
import html
import io
import math
import pathlib
import platform
import sys
import warnings
from typing import List, Optional, Sequence

from kelvara import __version__
from kelvara.io.text import file_sha256
from kelvara.models import MODELS, unit_of
from kelvara.names import distinct_derived, model_title, signal_words, symbol_html, unit_named
from kelvara.units import listed, meaningless, readable_scale
from kelvara.units import shown as shown_in
from kelvara.units import rounded as _rounded

_STYLE = """
body { font-family: 'DejaVu Sans', Arial, sans-serif; font-size: 10.5pt; max-width: 62em; margin: 1.5em auto;
       color: #222; line-height: 1.35; }
h1 { font-size: 17pt; margin-bottom: 0.2em; } h2 { font-size: 13pt; border-bottom: 1px solid #bbb;
       margin-top: 1.4em; } h3 { font-size: 11pt; }
table { border-collapse: collapse; margin: 0.4em 0 0.8em; } td, th { border: 1px solid #ccc; padding: 2px 7px;
       text-align: right; } th { background: #f2f2f2; } td:first-child, th:first-child { text-align: left; }
.ok { color: #1a6b1a; font-weight: bold; } .bad { color: firebrick; font-weight: bold; }
code, pre { font-family: 'DejaVu Sans Mono', monospace; font-size: 9pt; } pre { background: #f7f7f7;
       padding: 0.5em; white-space: pre-wrap; word-break: break-all; }
img { max-width: 100%; } .equation { margin: 0.2em 0 0.2em 1.5em; } .methods { background: #f7f7f7;
       padding: 0.6em 0.8em; border-left: 3px solid #999; }
figure { margin: 0.5em 0; } figcaption { font-size: 0.9em; color: #444; }
.side { display: flex; flex-wrap: wrap; gap: 0 2em; align-items: flex-start; }
@media print { body { margin: 0; max-width: none; }
       h1, h2, h3, h4 { break-after: avoid; page-break-after: avoid; }
       .keep, figure, img, table, pre, .methods, li { break-inside: avoid; page-break-inside: avoid; }
       figure img { max-height: 13cm; width: auto; max-width: 100%; }
       table { font-size: 8.5pt; } td, th { padding: 1px 5px; } }
"""


def fit_report(result, *, inputs: Sequence = (), reading=None, command: Optional[str] = None,
               figure_options: Optional[dict] = None) -> str:
    """The HTML page of one fit.  `inputs` are the data files (hashed when
    they exist; the curves' own files otherwise), `reading` how they were
    read, `command` the command line that reproduces the fit."""
    parts = [_head(f"kelvara fit: {result.model} model"),
             f"<h1>kelvara fit: {_e(result.model)} model</h1>", _verdict(result),
             _inputs(result, inputs, reading, command), _model(result.model, result.nuc_size, traces=_has_traces(result)),
             _results(result, unit=_unit(figure_options)), _figures(result, figure_options), _methods([result]), _provenance(), "</body></html>"]
    return "\n".join(parts)


def comparison_report(comparison, *, inputs: Sequence = (), reading=None, command: Optional[str] = None,
                      figure_options: Optional[dict] = None) -> str:
    """The HTML page of a comparison: the ranking with each model's verdict,
    then every model's own sections."""
    best = comparison.best
    first = comparison.results[0]
    parts = [_head("kelvara compare"), "<h1>kelvara compare</h1>",
             f"<p><span class='{'ok' if best and comparison.evidence['decisive'] else 'bad'}'>"
             f"{_e(comparison.headline)}</span></p>",
             _ranking(comparison), _inputs(first, inputs, reading, command)]
    for result in comparison.results:
        # Each curve's baseline and amplitude in the best model's section only (the others' thermodynamics
        # are what is compared; their full tables are in their own fits' reports).
        parts += [f"<h2>{_e(result.model)}</h2>", _verdict(result, level=3), _model(result.model, result.nuc_size, 3, _has_traces(result)),
                  _results(result, 3, _unit(figure_options), every_parameter=result is best)]
    parts += [_comparison_figure(comparison), _methods(comparison.results, compared=True), _provenance(),
              "</body></html>"]
    return "\n".join(parts)


def _unit(figure_options) -> str:
    """The unit temperatures are shown in: °C where the figures draw them so."""
    return "°C" if (figure_options or {}).get("celsius") else "K"


def _e(text) -> str:
    return html.escape(str(text))


def _head(title):
    return (f"<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'><title>{_e(title)}</title>"
            f"<style>{_STYLE}</style></head><body>")


def _verdict(result, level=2):
    words = _e(result.verdict)
    out = [f"<h{level}>Verdict</h{level}>",
           f"<p class='{'ok' if result.ok else 'bad'}'>{words}</p>"]
    if result.problems:
        out.append("<ul>" + "".join(f"<li>{_e(p)}</li>" for p in result.problems) + "</ul>")
    if result.notes:
        out.append("<p>Notes:</p><ul>" + "".join(f"<li>{_e(n)}</li>" for n in result.notes) + "</ul>")
    return "\n".join(out)


def _inputs(result, inputs, reading, command):
    files = [str(p) for p in inputs] or list(dict.fromkeys(
        c.source for c in result.data if getattr(c, "source", None)))
    rows = "".join(f"<tr><td><code>{_e(f)}</code></td><td><code>{_e(file_sha256(f) or 'not a file')}</code></td></tr>"
                   for f in files)
    blank = getattr(reading, "blank", None)
    if blank:
        rows += (f"<tr><td><code>{_e(blank['path'])}</code> (the blank, subtracted)</td>"
                 f"<td><code>{_e(blank['sha256'] or 'not a file')}</code></td></tr>")
    out = ["<h2>Inputs</h2>"]
    if rows:
        out.append(f"<table><tr><th>file</th><th>SHA-256</th></tr>{rows}</table>")
    if reading is not None:
        out.append("<h3>How the files were read</h3><pre>" + _e(reading.text()) + "</pre>")
    curves = result.data
    out.append(f"<p>{len(curves)} curve(s), {result.n_points} points.</p>")
    out.append("<h3>Fit settings</h3><ul>" + "".join(f"<li>{_e(line)}</li>" for line in _settings(result)) + "</ul>")
    if command:
        out.append("<div class='keep'><h3>Command line that reproduces this report</h3><pre>" + _e(command)
                   + "</pre></div>")
    return "\n".join(out)


def _settings(result):
    """The options of a fit, as they show in its result."""
    names = set(result.parameters)
    lines = [f"model {result.model}" + (f", nucleus of {result.nuc_size}" if result.nuc_size else ""),
             f"signal: {signal_words(result)}"]
    fixed = [p for p in result.parameters.values() if p.fixed]
    if fixed:
        lines.append("fixed: " + ", ".join(f"{p.name} = {_rounded(p.value, math.nan, p.unit)[0]} "
                                            f"{_rounded(p.value, math.nan, p.unit)[2]}" for p in fixed))
    freed = [n for n in result.free if n in MODELS[result.model].nucleation_entropies]
    if freed:
        lines.append("freed: " + ", ".join(freed))
    chosen = {c.option: c for c in result.choices if c.chosen}
    for name, option, words in (("slope", "baseline_slope", "baseline slope in T"),
                                ("aggregate_slope", "aggregate_slope", "aggregated state's slope in T")):
        if name in names or any(n.startswith(name + "[") for n in names):
            lines.append(words + (" (shared)" if name in names else " (per curve)"))
        if option in chosen:
            lines.append(chosen[option].text)
    if "species_signals" in chosen:
        lines.append(chosen["species_signals"].text)
    for name in ("amplitude", "baseline"):
        if name in names:
            lines.append(f"one {name} shared by every curve")
    options = result.options
    if options is not None:
        if isinstance(options.nuc_size, tuple):
            lines.append(f"nucleus sizes scanned: {options.nuc_size[0]} to {options.nuc_size[-1]}")
        if options.shared:
            lines.append("shared by every curve: " + ", ".join(options.shared))
        if options.extensive:
            lines.append("extensive signal: proportional to c_tot")
        if options.species_signals:
            lines.append("species signals: the oligomers up to the nucleus have a signal of their own "
                         "(oligomer_amplitude); the amplitude is the polymers'")
        for name, (low, high) in (options.bounds or {}).items():
            lines.append(f"bounds of {name}: {_typed(low, name)} to {_typed(high, name)}")
        if options.start:
            lines.append("started at: " + ", ".join(f"{n} = {_typed(v, n)}" for n, v in options.start.items()))
        if options.max_nfev is not None:
            lines.append(f"at most {options.max_nfev} evaluations")
        if not options.search:
            lines.append("no global search: one local fit from the start")
    if result.weighting:
        lines.append(result.weighting)
    at_bound = [p.name for p in result.parameters.values() if p.at_bound]
    if at_bound:
        lines.append("on a bound: " + ", ".join(at_bound))
    return lines


def _equation_image(expression):
    from matplotlib import mathtext

    buffer = io.BytesIO()
    with warnings.catch_warnings():
        # Older matplotlib builds its parser with arguments that newer
        # pyparsing deprecates: their quarrel, not the report's.
        warnings.simplefilter("ignore", DeprecationWarning)
        mathtext.math_to_image(expression, buffer, dpi=150, format="png")
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f"<div class='equation'><img alt='{_e(expression)}' src='data:image/png;base64,{data}'></div>"


# What time traces add to a model's equations and assumptions.
_RATES = r"$r_i = f_i\,(m\,c_i - c_{i+1}\,/\,K_i)$"
_IN_TIME = ("time traces: each aggregate grows and shrinks by one monomer at a time, at the net rate r_i = f_i (m c_i "
            "- c_(i+1) / K_i) of the addition that makes an (i+1)-mer, f_i = a k+ and K_i = sigma K up to the nucleus, "
            "k+ and K beyond; the equilibrium above is where each trace ends")


def _model(name, nuc_size, level=2, traces=False):
    entry = MODELS[name]
    equations, assumptions, papers = entry.equations, entry.assumptions, entry.citations
    if traces:
        equations, assumptions = equations + (_RATES,), assumptions + (_IN_TIME,)
    out = [f"<h{level}>Model: {_e(name)}" + (f" (nucleus of {nuc_size})" if nuc_size else "") + f"</h{level}>",
           f"<p>{_e(entry.description)}.</p>"]
    if equations:
        out.append("<p>Equations (R = 8.314 J/(mol K); m the free monomer concentration):</p>")
        out += [_equation_image(e) for e in equations]
    if assumptions:
        out.append("<p>Assumptions:</p><ul>" + "".join(f"<li>{_e(a)}</li>" for a in assumptions) + "</ul>")
    if papers:
        out.append("<p>To cite:</p><ol>" + "".join(f"<li>{_e(p)}</li>" for p in papers) + "</ol>")
    return "\n".join(out)


def _results(result, level=2, unit="K", every_parameter=True):
    out = [f"<h{level}>Results</h{level}>", "<p>Each value is rounded to the place of its standard error, "
           "which keeps two significant digits when its first three are 100 to 354 and one from 355 to 949 "
           "(950 and up: 1.0 of the next decade); enthalpies and Gibbs energies in kJ/mol.</p>",
           f"<div class='keep'><h{level + 1}>Parameters</h{level + 1}>"
           + value_table(result, [row for row in parameter_rows(result)
                                  if every_parameter or row[0] in result.thermodynamic], unit)
           + ("" if every_parameter else "<p>Each curve's baseline and amplitude: in this model's own fit.</p>")
           + "</div>",
           "<div class='side'>", f"<div class='keep'><h{level + 1}>Derived values</h{level + 1}>"
           + value_table(result, derived_rows(result), unit) + "</div>", "<div>"]
    thermo = [n for n in result.free if n in result.thermodynamic]
    if len(thermo) > 1:
        index = [result.free.index(n) for n in thermo]
        matrix = result.correlation[index][:, index]
        rows = "".join(f"<tr><td>{symbol_html(n, ())}</td>" + "".join(
            f"<td>{v:.4f}</td>" if math.isfinite(v) else "<td>n/a</td>" for v in line) + "</tr>"
            for n, line in zip(thermo, matrix))
        out.append(f"<div class='keep'><h{level + 1}>Correlation of the thermodynamic parameters</h{level + 1}>"
                   "<table><tr><th></th>"
                   + "".join(f"<th>{symbol_html(n, ())}</th>" for n in thermo) + f"</tr>{rows}</table></div>")
    stats = [("chi2", f"{result.chi2:.6g}"), ("reduced chi2", f"{result.reduced_chi2:.6g}"),
             ("noise SD (from the data)", f"{result.noise:.3g}" if result.noise else "n/a"),
             ("AIC", f"{result.aic:.3f}"), ("BIC", f"{result.bic:.3f}"), ("points", str(result.n_points)),
             ("free parameters", str(len(result.free))), ("model evaluations", str(result.nfev))]
    if result.noise_model is not None and not result.noise_model.white:
        stats.append(("noise correlated over (points)", f"{result.noise_model.span:.1f}"))
        stats.append(("errors scaled for the correlation by", f"{result.noise_model.error_scale:.3g}"))
    out.append(f"<div class='keep'><h{level + 1}>Statistics</h{level + 1}><table>" + "".join(
        f"<tr><td>{_e(k)}</td><td>{_e(v)}</td></tr>" for k, v in stats) + "</table></div>")
    out.append("</div></div>")  # the correlations and statistics beside the derived values
    return "\n".join(out)


def parameter_rows(result):
    """The rows of `value_table` for a result's parameters."""
    return [(p.name, p.value, p.stderr, p.unit, "fixed" if p.fixed else "at bound" if p.at_bound else None)
            for p in result.parameters.values()]


def derived_rows(result):
    """The rows of `value_table` for a result's derived values (Te, c50, K,
    ...), each once where channels of one sample repeat it; those of fixed
    values alone (an error of exactly 0) are marked fixed, as the summary
    marks them, not given an error of 0."""
    kept, _ = distinct_derived(result)
    return [(d.name, d.value, d.stderr, d.unit, "fixed" if d.stderr == 0.0 and math.isfinite(d.value) else None)
            for d in (result.derived[n] for n in kept)]


def value_table(result, items, temperature_unit="K"):
    """Rows of (name, value, error, unit, mark) rounded to their errors,
    with a column for each kind of interval that any of them has: names
    as the field writes them (ΔH<sub>nuc</sub>, T<sub>e</sub> of the curve
    "5 µM") with the code name beside, temperatures in `temperature_unit`,
    the signal in its header's unit."""
    found = {name: result.intervals(name) for name, *_ in items}
    kinds = [kind for kind in ("profile", "bootstrap")
             if any(math.isfinite(f.get(f"{kind}_low", math.nan)) or math.isfinite(f.get(f"{kind}_high", math.nan))
                    for f in found.values())]
    titles = {"bootstrap": f"bootstrap 95 % ({result.bootstrap_resamples} resamples)"}
    if result.profiles:
        titles["profile"] = f"profile likelihood {100 * next(iter(result.profiles.values())).level:g} %"
    head = "<tr><th>name</th><th>value</th><th>std. error</th><th>unit</th>" + "".join(
        f"<th>{_e(titles[k])}</th>" for k in kinds) + "</tr>"
    labels = result.labels
    # Derived values are named by their sample where channels repeat them (see distinct_derived).
    samples = distinct_derived(result)[1] if any(name not in result.parameters for name, *_ in items) else labels
    rows = []
    for name, value, error, unit, mark in items:
        nothing = None if mark else meaningless(value, error, unit)
        value, unit = shown_in(value, unit, temperature_unit)
        factor, unit = readable_scale(value, unit)
        value, error = value / factor, error / factor
        text, shown_error, shown_unit = _rounded(value, math.nan if mark else error, unit)
        if nothing:
            text, shown_error = nothing, ""  # never a number that means nothing
        taken = name in result.parameters or name in MODELS[result.model].absolute_nucleation  # --fix takes it
        named = symbol_html(name, labels if name in result.parameters else samples, taken)
        cells = (f"<tr><td>{named}</td><td class='number'>{_e(text)}</td>"
                 f"<td class='number'>{_e(mark or shown_error)}</td><td>{_e(unit_named(result, name, shown_unit))}</td>")
        for kind in kinds:
            low, high = found[name].get(f"{kind}_low", math.nan), found[name].get(f"{kind}_high", math.nan)
            if math.isfinite(low) or math.isfinite(high):
                ends = [_rounded(shown_in(v, unit_of(name), temperature_unit)[0] / factor, error, unit)[0]
                        if math.isfinite(v) else "n/a" for v in (low, high)]
                cells += f"<td class='number'>[{_e(ends[0])}, {_e(ends[1])}]</td>"
            else:
                cells += "<td></td>"
        rows.append(cells + "</tr>")
    return f"<table class='values'>{head}{''.join(rows)}</table>"


def _png(figure):
    from kelvara.plot import save

    buffer = io.BytesIO()
    save(figure, buffer, format="png")
    return base64.b64encode(buffer.getvalue()).decode("ascii")


_MARK_SYMBOLS = {"Te": "<i>T</i><sub>e</sub>", "c50": "<i>c</i><sub>50</sub>", "f50": "<i>f</i><sub>50</sub>",
                 "t50": "<i>t</i><sub>50</sub>"}


def _figures(result, options):
    from kelvara.plot import fit_figure

    curves = result.data
    celsius = bool((options or {}).get("celsius"))
    figure = fit_figure(result, curves, celsius=celsius, aggregation=True, annotate=True)
    marks = list(dict.fromkeys(getattr(figure, "kelvara_marks", [])))
    marked = f" ({', '.join(_MARK_SYMBOLS[m] for m in marks)} marked)" if marks else ""
    data = _png(figure)
    return ("<h2>Figures</h2><figure class='keep'>"
            f"<img alt='the fit' src='data:image/png;base64,{data}'><figcaption>Data and fitted curves{marked}, "
            "residuals with each curve's misfit, the degree of aggregation"
            + (", and the likelihood profiles" if result.profiles else "") + ".</figcaption></figure>")


def _ranking(comparison):
    evidence = comparison.evidence
    weights = evidence["akaike_weights"]
    rows = "".join(f"<tr><td>{_e(r.model)}</td><td>{len(r.free)}</td><td>{r.chi2:.6g}</td><td>{r.aic:.2f}</td>"
                   f"<td>{evidence['delta_aic'][r.model]:.2f}</td><td>{evidence['delta_bic'][r.model]:.2f}</td>"
                   f"<td>{'' if r.model not in weights else f'{weights[r.model]:.2g}'}</td>"
                   f"<td class='{'ok' if r.ok else 'bad'}'>{_e(r.verdict)}</td></tr>"
                   for r in comparison.results)
    return ("<h2>Ranking</h2><p>By AIC; fits that are not ok come last and are never ranked best. The Akaike "
            "weight is each ok model's share of the evidence; the ranking is not decisive when the best two are "
            "within 2 in AIC or AIC and BIC prefer different models.</p>"
            + (f"<p>{_e(comparison.noise)}.</p>" if getattr(comparison, "noise", None) else "") +
            "<table><tr><th>model</th><th>free</th><th>chi2</th><th>AIC</th><th>ΔAIC</th><th>ΔBIC</th>"
            f"<th>Akaike weight</th><th>verdict</th></tr>{rows}</table>")


def _comparison_figure(comparison):
    from kelvara.plot import comparison_figure

    data = _png(comparison_figure(comparison, comparison.results[0].data))
    return f"<h2>Figures</h2><img alt='the models compared' src='data:image/png;base64,{data}'>"


def _concentrations(curves):
    values = sorted({c.c_tot for c in curves if c.vary != "concentration" and c.c_tot})
    if not values:
        return ""
    shown = ", ".join(f"{v * 1e6:.3g}" for v in values)
    return f" at total concentrations of {shown} µM"


def _sharing(result):
    """What the curves of a fit shared and what each had of its own, as the
    result's parameters show it."""
    names = set(result.parameters)
    entry = MODELS[result.model]
    if entry.per_curve:
        shared = [n for n in entry.per_curve if n in names]
        own = [n for n in entry.per_curve if n not in names]
        head = (f"Each curve had its own {listed(own)}" if own else "Every curve shared one value of each "
                "parameter") + (f", every curve shared {listed(shared)}" if shared and own else "")
    else:
        head = "The thermodynamic parameters were shared by every curve"
    baseline, amplitude = "baseline" in names, "amplitude" in names
    linear = {(False, False): "each curve had its own baseline and amplitude",
              (True, False): "every curve shared one baseline and had its own amplitude",
              (False, True): "each curve had its own baseline and every curve shared one amplitude",
              (True, True): "every curve shared one baseline and one amplitude"}[baseline, amplitude]
    return f"{head}; {linear}"


def _methods(results: List, compared=False):
    result = results[0]
    curves = result.data
    kinds = sorted({c.vary for c in curves})
    what = {"temperature": "cooling or heating curves", "concentration": "concentration series",
            "solvent": "solvent denaturation curves", "time": "time traces"}
    import numpy
    import scipy

    screened, refined, _ = result.starts
    noise = result.noise_model
    if noise is not None and not noise.white:
        errors = (f"Standard errors were taken from the Jacobian at the optimum, allowing for noise correlated from "
                  f"point to point over about {noise.span:.0f} points ({noise.described}; sandwich covariance).")
    else:
        errors = "Standard errors were taken from the Jacobian at the optimum (independent noise)."
    if result.profiles:
        errors += " Profile-likelihood intervals were computed for the thermodynamic parameters."
    if result.bootstrap:
        errors += f" Bootstrap percentile intervals came from {result.bootstrap_resamples} resamples."
    fitted = (f"{len(results)} models ({listed(['the ' + model_title(r.model, r.nuc_size) for r in results])}) "
              "were each fitted"
              if compared else f"The {model_title(result.model, result.nuc_size)} was fitted")
    ranked = " The models were ranked by the Akaike information criterion (AIC)." if compared else ""
    text = (f"{fitted} globally to {len(curves)} {' and '.join(what[k] for k in kinds)} ({result.n_points} points"
            f"{_concentrations(curves)}) with kelvara {__version__} (Python {platform.python_version()}, NumPy "
            f"{numpy.__version__}, SciPy {scipy.__version__}). {_sharing(result)}, solved exactly by linear least "
            f"squares at every step; a global search screened {screened} starting points and refined the {refined} most "
            f"promising by trust-region nonlinear least squares. {_signal(result)}{_in_time(curves)}{_choices(result)}"
            f"{errors} Values are "
            f"given with one standard error, rounded to it.{ranked} {_outcome(results, compared)}")
    return f"<h2>Methods</h2><p class='methods'>{_e(text)}</p>"


def _typed(value, name) -> str:
    """A value given by hand, in the unit it is printed in ("-120 kJ/mol")."""
    return " ".join(_rounded(value, math.nan, unit_of(name))[::2]).rstrip()


_SLOPE_WORDS = {"baseline_slope": "a slope in temperature of the monomer baseline",
                "aggregate_slope": "a slope in temperature of the aggregates' signal",
                "species_signals": "a signal of the oligomers up to the nucleus of their own"}


def _has_traces(result):
    return any(c.vary == "time" for c in result.data)


def _in_time(curves):
    """How time traces were modelled, in the Methods' words."""
    starts = sorted({c.start.described() for c in curves if c.vary == "time"})
    if not starts:
        return ""
    return ("Each time trace was simulated from its start (" + "; ".join(starts) + ") by integrating the "
            "concentration of every aggregate, grown and shrunk one monomer at a time (rate constant a k+ up to "
            "the nucleus and k+ beyond, losses at the rates the equilibrium constants give), up to 1,000 "
            "monomers or more with the larger ones in two moments, by the three-stage Radau IIA method; the "
            "derivatives in the parameters came from the sensitivities integrated alongside. ")


def _signal(result):
    """What the amplitudes multiply, in the Methods' words: the fraction of
    molecules in aggregates, the stacked fraction, each species' share."""
    names = set(result.parameters)
    options = result.options
    if MODELS[result.model].pathways:
        return "Each pathway's aggregates had a signal of their own (an amplitude per curve for A and for B). "
    if any(n.startswith("oligomer_amplitude") for n in names):
        return ("The oligomers up to the nucleus and the polymers beyond it each had a signal of their own (species "
                "signals). ")
    if options is not None and options.signal_model == "stacked":
        return ("The signal was taken as proportional to the stacked fraction K m (stacking contacts per molecule, "
                "the convention of NMR dilution fits). ")
    if MODELS[result.model].mass_balance:
        return "The signal was taken as proportional to the fraction of molecules in aggregates, 1 - m/c_tot. "
    return ""


def _choices(result):
    """What the Methods say of the signal and the options: fixed and
    bounded parameters, a freed nucleation entropy, the slopes and how they
    were chosen, an extensive signal."""
    out = []
    fixed = [p for p in result.parameters.values() if p.fixed]
    if fixed:
        out.append("Fixed: " + "; ".join(f"{p.name} = {' '.join(_rounded(p.value, math.nan, p.unit)[::2])}"
                                           for p in fixed) + ".")
    freed = [n for n in result.free if n in MODELS[result.model].nucleation_entropies]
    if freed:
        out.append(f"The nucleation entropy ({listed(freed)}) was fitted.")
    options = result.options
    bounds = (options.bounds or {}) if options is not None else {}
    if bounds:
        out.append("Bounded: " + "; ".join(f"{name} from {_typed(low, name)} to {_typed(high, name)}"
                                           for name, (low, high) in bounds.items()) + ".")
    for choice in result.choices:
        words = _SLOPE_WORDS.get(choice.option)
        if words is None:
            continue
        how = (f"as the data chose by a Wald test (chi2 {choice.statistic:.3g} against {choice.limit:.3g})"
               if choice.chosen and choice.reason == "wald" and choice.statistic is not None
               else "as the data chose" if choice.chosen else "as asked")
        out.append(f"{words[0].upper()}{words[1:]} was {'included' if choice.kept else 'left out'}, {how}.")
    if options is not None and options.extensive:
        out.append("The signal was taken as proportional to the total concentration (extensive).")
    if result.weighting:
        out.append(f"{result.weighting[0].upper()}{result.weighting[1:]}.")
    return " ".join(out) + (" " if out else "")


def _outcome(results, compared):
    """The verdict, in the Methods' words: what was checked, what was found."""
    checks = ("Every fit was checked for convergence, for parameters the data determine, for physically "
              "meaningful values and for structure left in the residuals")
    bad = [r for r in results if not r.ok]
    if not bad:
        return f"{checks}: no problem was found."
    if compared:  # each model's verdict in a sentence; the problems themselves are in its section
        passed = [model_title(r.model, r.nuc_size) for r in results if r.ok]
        failed = "; ".join(f"the {model_title(r.model, r.nuc_size)}: {r.verdict.split(': ', 1)[-1]}" for r in bad)
        return (f"{checks}; {listed(passed) + ' passed' if passed else 'no model passed'}, and these did not: "
                f"{failed}.")
    return f"{checks}; the fit did not pass them: {'; '.join(bad[0].problems)}."


def _provenance():
    import matplotlib
    import numpy
    import scipy

    rows = [("kelvara", __version__), ("Python", sys.version.split()[0]), ("NumPy", numpy.__version__),
            ("SciPy", scipy.__version__), ("matplotlib", matplotlib.__version__),
            ("platform", platform.platform()),
            ("date", datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"))]
    return "<h2>Provenance</h2><p class='provenance'>" + "; ".join(f"{_e(k)} {_e(v)}" for k, v in rows) + ".</p>"


def write(path, text):
    """Write a report atomically (see kelvara.writer)."""
    from kelvara import writer as outputs

    outputs.write(outputs.target(str(pathlib.Path(path))), text)


__all__ = ["fit_report", "comparison_report", "value_table", "write"]
