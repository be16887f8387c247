"""Figures of fits: the data with the fitted curves and their Te, the
residuals, the normalised degree of aggregation, the likelihood profiles of
the thermodynamic parameters, and several models side by side.

Needs matplotlib (the ``fit`` extra).  Nothing here reads files or arguments.
"""

from __future__ import annotations

import textwrap

import numpy as np

from kelvara.fit import Comparison, FitResult
from kelvara.models import unit_of

KELVIN = 273.15


def _backend():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _signal_label(curves):
    names = {c.signal_name for c in curves if c.signal_name}
    return names.pop() if len(names) == 1 else "Signal"


def _concentration_label(c_tot):
    for factor, unit in ((1.0, "M"), (1e-3, "mM"), (1e-6, "µM"), (1e-9, "nM")):
        if c_tot >= factor:
            return f"{c_tot / factor:.4g} {unit}"
    return f"{c_tot:g} M"


def _draw_curves(axis, result, curves, celsius, colours, residuals=None, aggregation=None):
    """Data, fitted curves and Te marks of one result (and its residuals and
    degree of aggregation, when given axes for them)."""
    shift = KELVIN if celsius else 0.0
    table = result.curve_table() if aggregation is not None else None
    offset = 0
    for i, (curve, colour) in enumerate(zip(curves, colours)):
        order = np.argsort(curve.temperature)
        t = curve.temperature[order]
        label = _concentration_label(curve.c_tot)
        if curve.label and curve.label != label:
            label = f"{curve.label} ({label})"
        te = result.curves[i].te
        axis.plot(t - shift, curve.signal[order], "o", ms=2.5, color=colour, alpha=0.5)
        dense = np.linspace(t[0], t[-1], 400)
        axis.plot(dense - shift, result.predict(dense, i), "-", color=colour, lw=1.8, label=label)
        if te is not None and np.isfinite(te) and t[0] <= te <= t[-1]:
            axis.plot([te - shift], result.predict([te], i), "v", color=colour, ms=8, mec="black", mew=0.6)
        if residuals is not None:
            residuals.plot(t - shift, result.curves[i].residuals[order], ".", ms=2.5, color=colour)
        if aggregation is not None:
            n = len(curve.temperature)
            rows = slice(offset, offset + n)
            aggregation.plot(t - shift, table["aggregation"][rows][order], "o", ms=2, color=colour, alpha=0.4)
            aggregation.plot(t - shift, table["fraction"][rows][order], "-", color=colour, lw=1.5)
            offset += n


def fit_figure(result: FitResult, curves, celsius=False, aggregation=False):
    """A matplotlib Figure of the fit: data, fitted curves with their Te (▼),
    residuals, optionally the normalised degree of aggregation, and one
    panel per profiled parameter after `result.profile()`.  A fit that is
    not ok says so in its title and lists its problems."""
    plt = _backend()
    from matplotlib.ticker import MaxNLocator

    profiles = list((result.profiles or {}).values())
    rows = [4.0 + (1.6 if aggregation else 0.0)] + ([1.6] if profiles else [])
    height = 6.5 + (2.0 if aggregation else 0.0) + (2.6 if profiles else 0.0) + 0.3 * len(result.problems)
    figure = plt.figure(figsize=(8.5, height))
    grid = figure.add_gridspec(len(rows), 1, height_ratios=rows, hspace=0.3)
    ratios = [3, 1] + ([1.6] if aggregation else [])
    data = grid[0].subgridspec(len(ratios), 1, height_ratios=ratios, hspace=0.08)
    top = figure.add_subplot(data[0])
    bottom = figure.add_subplot(data[1], sharex=top)
    panel = figure.add_subplot(data[2], sharex=top) if aggregation else None

    colours = plt.get_cmap("viridis")(np.linspace(0.0, 0.85, len(curves)))
    _draw_curves(top, result, curves, celsius, colours, bottom, panel)
    bottom.axhline(0.0, color="0.4", lw=0.8)
    top.set_ylabel(_signal_label(curves))
    bottom.set_ylabel("Residual")
    last = panel if aggregation else bottom
    last.set_xlabel("Temperature (°C)" if celsius else "Temperature (K)")
    for axis in ([top, bottom] if aggregation else [top]):
        plt.setp(axis.get_xticklabels(), visible=False)
    if aggregation:
        panel.set_ylabel("Degree of\naggregation")
        panel.axhline(0.0, color="0.7", lw=0.6)
        panel.axhline(1.0, color="0.7", lw=0.6)
    title = f"kelvara fit: {result.model} model"
    if result.ok:
        top.set_title(title)
    else:
        top.set_title(title + " — NOT OK", color="firebrick", fontweight="bold")
    top.legend(title="▼ Te", frameon=False, fontsize=9)

    if profiles:
        panels = grid[1].subgridspec(1, len(profiles), wspace=0.35)
        variance = result.reduced_chi2
        for k, profile in enumerate(profiles):
            axis = figure.add_subplot(panels[k])
            best = result.parameters[profile.name].value
            axis.plot(profile.values, profile.chi2 - result.chi2, "o-", ms=3, color="C0", label="profile")
            stderr = result.parameters[profile.name].stderr
            if np.isfinite(stderr) and stderr > 0:
                span = np.linspace(profile.values.min(), profile.values.max(), 200)
                axis.plot(span, variance * ((span - best) / stderr) ** 2, "--", color="0.5", lw=1,
                          label="from std. error")
            axis.axhline(profile.threshold - result.chi2, color="firebrick", lw=0.8)
            for end in (profile.low, profile.high):
                if end is not None:
                    axis.axvline(end, color="firebrick", lw=0.8, ls=":")
            axis.set_xlabel(f"{profile.name} ({unit_of(profile.name)})", fontsize=9)
            axis.tick_params(labelsize=8)
            axis.xaxis.set_major_locator(MaxNLocator(4))
            axis.xaxis.get_offset_text().set_fontsize(8)
            if k == 0:
                axis.set_ylabel("Δchi2", fontsize=9)
                axis.legend(fontsize=7, frameon=False)
        figure.text(0.5, 0.005 + 0.022 * len(result.problems),
                    f"likelihood profiles: {100 * profiles[0].level:g} % intervals where Δchi2 "
                    "crosses the red line", ha="center", fontsize=8, color="0.3")
    _problems_footer(figure, result.problems)
    figure.subplots_adjust(left=0.11, right=0.97, top=0.95,
                           bottom=0.07 + 0.03 * len(result.problems) + (0.03 if profiles else 0.0))
    return figure


def comparison_figure(comparison: Comparison, curves, celsius=False):
    """One panel per model, best first: data, fitted curves and residuals,
    each titled with its verdict and its AIC difference."""
    plt = _backend()
    results = comparison.results
    figure = plt.figure(figsize=(5.2 * len(results), 6.0))
    grid = figure.add_gridspec(2, len(results), height_ratios=[3, 1], hspace=0.08, wspace=0.25)
    colours = plt.get_cmap("viridis")(np.linspace(0.0, 0.85, len(curves)))
    good = [r for r in results if r.ok] or results
    aic0 = min(r.aic for r in good)
    first = None
    for k, result in enumerate(results):
        top = figure.add_subplot(grid[0, k], sharey=first)
        first = first or top
        bottom = figure.add_subplot(grid[1, k], sharex=top)
        _draw_curves(top, result, curves, celsius, colours, bottom)
        bottom.axhline(0.0, color="0.4", lw=0.8)
        plt.setp(top.get_xticklabels(), visible=False)
        name = result.model + (f" n={result.nuc_size}" if result.nuc_size else "")
        verdict = "best" if result is comparison.best else ("ok" if result.ok else "NOT OK")
        top.set_title(f"{name}: {verdict}, ΔAIC {result.aic - aic0:.1f}",
                      color="black" if result.ok else "firebrick")
        bottom.set_xlabel("Temperature (°C)" if celsius else "Temperature (K)")
        if k == 0:
            top.set_ylabel(_signal_label(curves))
            bottom.set_ylabel("Residual")
            top.legend(title="▼ Te", frameon=False, fontsize=8)
    figure.subplots_adjust(left=0.07, right=0.98, top=0.92, bottom=0.1)
    return figure


def _problems_footer(figure, problems):
    if problems:
        text = "\n".join(textwrap.shorten(p, 120) for p in problems)
        figure.text(0.02, 0.005, text, fontsize=8, color="firebrick", va="bottom")


def save(figure, path, format=None):
    """Write a figure (PNG, PDF or SVG) and release it."""
    plt = _backend()
    try:
        figure.savefig(path, dpi=130, format=format)
    finally:
        plt.close(figure)

