"""Figures of a fit: the data with the fitted curves, the residuals, and the
likelihood profiles of the thermodynamic parameters when they were computed.

Needs matplotlib (the ``fit`` extra).  Nothing here reads files or arguments.
"""

from __future__ import annotations

import textwrap

import numpy as np

from kelvara.fit import FitResult, unit_of


def fit_figure(result: FitResult, curves):
    """A matplotlib Figure of the fit (data, fitted curves, residuals and,
    after `result.profile()`, one panel per profiled parameter).  A fit that
    is not ok says so in its title and lists its problems."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator

    profiles = list((result.profiles or {}).values())
    rows = [4.0] + ([1.6] if profiles else [])
    figure = plt.figure(figsize=(8.5, 6.5 + (2.6 if profiles else 0.0) + 0.3 * len(result.problems)))
    grid = figure.add_gridspec(len(rows), 1, height_ratios=rows, hspace=0.3)
    data = grid[0].subgridspec(2, 1, height_ratios=[3, 1], hspace=0.08)
    top = figure.add_subplot(data[0])
    bottom = figure.add_subplot(data[1], sharex=top)

    colours = plt.get_cmap("viridis")(np.linspace(0.0, 0.85, len(curves)))
    for i, (curve, colour) in enumerate(zip(curves, colours)):
        order = np.argsort(curve.temperature)
        t = curve.temperature[order]
        label = f"{curve.c_tot * 1e6:g} µM"
        if result.curves[i].te is not None and np.isfinite(result.curves[i].te):
            label += f", Te = {result.curves[i].te:.1f} K"
        top.plot(t, curve.signal[order], "o", ms=2.5, color=colour, alpha=0.5)
        dense = np.linspace(t[0], t[-1], 400)
        top.plot(dense, result.predict(dense, i), "-", color=colour, lw=1.8, label=label)
        bottom.plot(t, result.curves[i].residuals[order], ".", ms=2.5, color=colour)
    bottom.axhline(0.0, color="0.4", lw=0.8)
    top.set_ylabel("Signal")
    bottom.set_ylabel("Residual")
    bottom.set_xlabel("Temperature (K)")
    plt.setp(top.get_xticklabels(), visible=False)
    title = f"kelvara fit: {result.model} model"
    if result.ok:
        top.set_title(title)
    else:
        top.set_title(title + " — NOT OK", color="firebrick", fontweight="bold")
    top.legend(title="total concentration", frameon=False)

    if profiles:
        panels = grid[1].subgridspec(1, len(profiles), wspace=0.35)
        variance = result.reduced_chi2
        for k, profile in enumerate(profiles):
            axis = figure.add_subplot(panels[k])
            best = result.parameters[profile.name].value
            rise = profile.chi2 - result.chi2
            axis.plot(profile.values, rise, "o-", ms=3, color="C0", label="profile")
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
    if result.problems:
        text = "\n".join(textwrap.shorten(p, 120) for p in result.problems)
        figure.text(0.02, 0.005, text, fontsize=8, color="firebrick", va="bottom")
    figure.subplots_adjust(left=0.1, right=0.97, top=0.95,
                           bottom=0.08 + 0.03 * len(result.problems) + (0.03 if profiles else 0.0))
    return figure


def save_fit_figure(result: FitResult, curves, path) -> None:
    """Draw `fit_figure` into `path` (PNG, PDF or SVG by its extension)."""
    import matplotlib.pyplot as plt

    figure = fit_figure(result, curves)
    try:
        figure.savefig(path, dpi=130)
    finally:
        plt.close(figure)
