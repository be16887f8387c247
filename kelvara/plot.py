"""Figures of fits: the data with the fitted curves and their Te, the
residuals, the normalised degree of aggregation, the likelihood profiles of
the thermodynamic parameters, and several models side by side.

Needs matplotlib (the ``fit`` extra).  Nothing here reads files or arguments,
and nothing here imports the fit: a `FitResult` or `Comparison` is drawn from
what it carries (`result.plot()` and `comparison.plot()` call in here).
"""

from __future__ import annotations

import math
import textwrap
import warnings
from typing import Any

import numpy as np

from kelvara.layout import (CM, JOURNAL_STYLE, PRINT_DPI, SCREEN_DPI, SCREEN_SIZES, SMALL_SIZES, legends_off_data,
                            margin_of, place, unclipped)
from kelvara.layout import JOURNAL_WIDTHS, figure_size  # noqa: F401 (their old home)
from kelvara.models import MODELS, unit_of
from kelvara.names import model_title, symbol_math
from kelvara.panels import (_COMPACT, _MARK_NAMES, _MARKS, SHARP_ONSET_SIGMA, _colours, _concentration_ticks,  # noqa: F401
                            _concentration_unit, _curve_label, _groups, _kinds, _literal, _residual_label,
                            _signal_label, _x_label, half_way_mark)
from kelvara.units import KELVIN_OFFSET
from kelvara.units import meaningless, rounded as _rounded

KELVIN = KELVIN_OFFSET


def _backend():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _draw_curves(axis, result, curves, celsius, colours, residuals=None, aggregation=None, kind="temperature",
                 channel=None):
    """Data, fitted curves and their half-way marks (Te, c50, f50) of the
    curves of one kind in one result (and their residuals and degree of
    aggregation, when given axes for them)."""
    shift = KELVIN if celsius and kind == "temperature" else 0.0
    table: Any = result.curve_table() if aggregation is not None else None
    offsets = np.cumsum([0] + [c.size for c in curves])
    marked = False
    shortest = _log_time(curves) if kind == "time" else None
    for i, (curve, colour) in enumerate(zip(curves, colours)):
        if curve.vary != kind or (channel is not None and curve.signal_name != channel):
            continue
        order = np.argsort(curve.x)
        t = curve.x[order]
        fitted = result.curve_results[i]
        mark = half_way_mark(result, i, kind)
        axis.plot(t - shift, curve.signal[order], "o", ms=2.5, color=colour, alpha=0.5)
        dense = _dense(kind, t, shortest)
        label = _curve_label(curve)
        if channel is not None and label.endswith(f" · {channel}"):
            label = label[: -len(f" · {channel}")]  # the panel's axis names its channel
        axis.plot(dense - shift, result.predict(dense, i), "-", color=colour, lw=1.8, label=_literal(label))
        if mark is not None and np.isfinite(mark) and t[0] <= mark <= t[-1]:
            axis.plot([mark - shift], result.predict([mark], i), "v", color=colour, ms=8, mec="black", mew=0.6)
            marked = True
        if residuals is not None:
            residuals.plot(t - shift, fitted.residuals[order], ".", ms=2.5, color=colour, alpha=0.6)
            if fitted.misfit_percent is not None:
                residuals.plot(t - shift, result.misfit(i)[order], "-", lw=1.3, color=colour)
        if aggregation is not None:
            rows = slice(int(offsets[i]), int(offsets[i + 1]))
            shares = result.species(dense, i)
            if shares is None:  # with species signals no one amplitude normalises the data
                aggregation.plot(t - shift, table["aggregation"][rows][order], "o", ms=2, color=colour, alpha=0.4)
            fraction = result.fraction(dense, i)
            aggregation.plot(dense - shift, fraction, "-", color=colour, lw=1.5)
            if shares is not None:  # the second kind's share dashed (oligomers, pathway B), the first's dotted
                first, second = MODELS[result.model].species
                aggregation.plot(dense - shift, shares[second], "--", color=colour, lw=1.0)
                aggregation.plot(dense - shift, shares[first], ":", color=colour, lw=1.0)
                if i == 0:
                    from matplotlib.lines import Line2D

                    aggregation.legend([Line2D([], [], color="0.3", ls=style) for style in ("-", "--", ":")],
                                       ["aggregated", _SPECIES_WORDS.get(second, second),
                                        _SPECIES_WORDS.get(first, first)], fontsize="small", loc="best", frameon=False)
    if kind == "concentration":
        axis.set_xscale("log")
        _concentration_ticks(axis, curves)
    if shortest is not None:  # logarithmic from the first time after 0, which stays on the axis
        axis.set_xscale("symlog", linthresh=shortest, linscale=0.5)
    return _MARKS[kind] if marked else None  # the legend's title: what the marks are, where any is drawn


def _log_time(curves):
    """The shortest time after 0 of traces that span two decades or more
    after it (drawn on a logarithmic axis from there), else None."""
    times = np.concatenate([c.x[c.x > 0] for c in curves if c.vary == "time"] or [np.zeros(0)])
    return float(times.min()) if times.size and times.max() >= 100.0 * times.min() else None


def _dense(kind, x, shortest):
    """The fitted line's grid over the sorted `x`: even in the logarithm of
    a concentration, and of a time on a logarithmic axis (from `shortest`,
    0 kept)."""
    if kind == "concentration":
        return np.geomspace(x[0], x[-1], 400)
    if shortest is not None and x[-1] > shortest:
        return np.concatenate(([x[0]] if x[0] < shortest else [], np.geomspace(max(x[0], shortest), x[-1], 400)))
    return np.linspace(x[0], x[-1], 400)


_SPECIES_WORDS = {"oligomers": "oligomers (up to the nucleus)", "pathway_a": "pathway A", "pathway_b": "pathway B"}


def _annotation(axis, result, fontsize=8):
    """The free thermodynamic parameters, rounded to their errors, in a
    box inside the data panel where it covers no data point, fitted line,
    mark or legend: the free place nearest a corner, else room made above
    the data by raising the panel's top.  Returns the box's lower-left
    corner in the panel's coordinates."""
    lines = []
    for name in result.thermodynamic:
        p = result.parameters[name]
        if p.fixed:
            continue
        value, error, unit = _rounded(p.value, p.stderr, p.unit)
        nothing = None if p.at_bound else meaningless(p.value, p.stderr, p.unit)
        symbol = symbol_math(name, result.labels)
        value = value.replace("-", "−")  # a minus sign, as the axes write it
        lines.append(f"{symbol}: {nothing}" if nothing else f"{symbol} = {value} ± {error} {_literal(unit)}")
    if not lines:
        return None
    from matplotlib.legend import Legend
    from matplotlib.lines import Line2D

    box = Legend(axis, [Line2D([], [], alpha=0.0)] * len(lines), lines, handlelength=0, handletextpad=0,
                 fontsize=fontsize, framealpha=0.9, edgecolor="0.6", loc="lower left", borderaxespad=0.0)
    box.set_in_layout(False)  # inside the panel: not a margin for the layout to make room for
    axis.add_artist(box)
    for _ in range(3):
        if place(box, axis):
            return box
        figure = axis.figure
        renderer = figure.canvas.get_renderer()
        size, frame = box.get_window_extent(renderer), axis.get_window_extent(renderer)
        low, high = axis.get_ylim()  # no room: raise the top by the box's height
        axis.set_ylim(low, high + (high - low) * (size.height + 2 * margin_of(figure)) / frame.height)
    return box


def _misfit_label(axis, result, curves, kind, channel=None):
    """Say in the residual panel what its lines are: the misfit."""
    def shown(curve):
        return curve.vary == kind and (channel is None or curve.signal_name == channel)

    sized = [c.misfit_percent for c, curve in zip(result.curve_results, curves)
             if c.misfit_percent is not None and shown(curve)]
    if not sized:
        return
    span = max(result.misfit_window(i) for i, c in enumerate(curves) if shown(c))
    axis.text(0.01, 0.96, f"lines: averaged over {span} points; misfit {max(m['rms'] for m in sized):.2g} % RMS "
              f"(noise alone {max(m['noise'] for m in sized):.2g} %)",
              transform=axis.transAxes, fontsize=7, va="top", color="0.25",
              bbox=dict(facecolor="white", alpha=0.75, lw=0, pad=1.5))
    # Room above the residuals for the line of text, which would hide the highest of them.
    low, high = axis.get_ylim()
    axis.set_ylim(low, high + 0.2 * (high - low))


def draw_fit(ax, result, curves=None, kind=None, celsius=False):
    """Draw a fit's data and fitted curves (with their half-way marks) into
    an existing matplotlib Axes, for figures of one's own.

    Parameters
    ----------
    ax : matplotlib.axes.Axes
    result : FitResult
    curves : list of Curve, optional
        The fit's own curves by default.
    kind : {"temperature", "concentration", "solvent"}, optional
        Which curves (default: the first kind the fit holds); x in K (or °C),
        on a log axis in the unit the series reads best in (µM), or the
        good-solvent fraction.
    celsius : bool
        Temperatures in °C.

    Returns
    -------
    matplotlib.axes.Axes
        `ax`.
    """
    plt = _backend()
    curves = result.data if curves is None else curves
    kind = kind or _kinds(curves)[0]
    colours = plt.get_cmap("viridis")(np.linspace(0.0, 0.85, len(curves)))
    marks = _draw_curves(ax, result, curves, celsius, colours, kind=kind)
    ax.set_xlabel(_x_label(kind, celsius, curves))
    ax.set_ylabel(_literal(_signal_label(curves)))
    ax.legend(title=marks, frameon=False, fontsize=9)
    legends_off_data([ax], outside=False)  # the figure is the caller's: room beside it is not ours to make
    return ax


def fit_figure(result, curves, celsius=False, aggregation=False, annotate=False, size=None):
    """A matplotlib Figure of the fit: data, fitted curves with their Te (▼),
    residuals, optionally the normalised degree of aggregation, and one
    panel per profiled parameter after `result.profile()`.  A fit that is
    not ok says so in its title and lists its problems.

    Parameters
    ----------
    result : FitResult
    curves : list of Curve
        The curves fitted, in the fit's order.
    celsius : bool
        Temperatures in °C (else K).
    aggregation : bool
        Add a panel of the degree of aggregation (0 to 1).
    annotate : bool
        A box of the main fitted values (the free thermodynamic
        parameters), rounded to their errors, with units.
    size : str or (float, float), optional
        A journal's size: "single" (one column, 8.5 cm wide), "double"
        (two columns, 17.5 cm) or (width, height) in cm, drawn with text
        of 7 to 9 pt at that size.  The default is drawn for a screen.

    Returns
    -------
    matplotlib.figure.Figure
    """
    plt = _backend()
    if size is None:
        return _fit_figure(plt, result, curves, celsius, aggregation, annotate, None)
    with plt.rc_context(JOURNAL_STYLE):
        figure = _fit_figure(plt, result, curves, celsius, aggregation, False, figure_size(size))
        return _for_print(figure, (result, SMALL_SIZES["legend"]) if annotate else None)


def _fit_figure(plt, result, curves, celsius, aggregation, annotate, journal):
    """fit_figure's drawing; `journal` is (width, height or None) in cm."""
    from matplotlib.ticker import MaxNLocator, NullFormatter

    small = SMALL_SIZES if journal else SCREEN_SIZES

    profiles = list((result.profiles or {}).values())
    support = getattr(result, "nuc_size_support", None)
    extra = bool(profiles) or support is not None  # a row of small panels below
    rows = [4.0 + (1.6 if aggregation else 0.0)] + ([1.6] if extra else [])
    footer = _footer_lines(result.problems)
    height = 6.5 + (2.0 if aggregation else 0.0) + (2.6 if extra else 0.0) + 0.16 * len(footer)
    kinds = _groups(curves)
    if journal:
        width = journal[0] * CM
        # A column is portrait, a page's width landscape.
        shape = (0.95, 0.3, 0.45) if journal[0] < 12.0 else (0.6, 0.2, 0.28)
        tall = journal[1] * CM if journal[1] else \
            width * (shape[0] + shape[1] * aggregation + shape[2] * extra) / len(kinds) ** 0.5
        figure = plt.figure(figsize=(width, tall), constrained_layout=True)
    else:
        figure = plt.figure(figsize=(8.5 if len(kinds) == 1 else 6.0 * len(kinds), height))
    grid = figure.add_gridspec(len(rows), 1, height_ratios=rows, hspace=0.3)
    ratios = [3, 1] + ([1.6] if aggregation else [])
    columns = grid[0].subgridspec(1, len(kinds), wspace=0.25)
    colours = _colours(plt, curves)
    tops = []
    for k, (kind, channel) in enumerate(kinds):
        data = columns[0, k].subgridspec(len(ratios), 1, height_ratios=ratios, hspace=0.08)
        top = figure.add_subplot(data[0])
        bottom = figure.add_subplot(data[1], sharex=top)
        panel: Any = figure.add_subplot(data[2], sharex=top) if aggregation else None
        marks = _draw_curves(top, result, curves, celsius, colours, bottom, panel, kind, channel)
        bottom.axhline(0.0, color="0.4", lw=0.8)
        if not journal:  # at a journal's size the caption says what the lines are
            _misfit_label(bottom, result, curves, kind, channel)
        if k == 0 or channel is not None:
            own = curves if channel is None else [c for c in curves if c.signal_name == channel]
            top.set_ylabel(_literal(_signal_label(own)))
            bottom.set_ylabel(_literal(_residual_label(own)))
        last = panel if aggregation else bottom
        last.set_xlabel(_x_label(kind, celsius, curves))
        for axis in ([top, bottom] if aggregation else [top]):
            plt.setp(axis.get_xticklabels(), visible=False)
        if aggregation:
            if k == 0:
                panel.set_ylabel("Degree of\naggregation")
            panel.axhline(0.0, color="0.7", lw=0.6)
            panel.axhline(1.0, color="0.7", lw=0.6)
        top.legend(title=marks, frameon=False, fontsize=small["legend"], title_fontsize=small["legend"],
                   **(_COMPACT if journal else {}))
        if marks:
            figure.kelvara_marks = getattr(figure, "kelvara_marks", []) + [_MARK_NAMES[kind]]
        tops.append(top)
    top = tops[0]
    title = model_title(result.model, result.nuc_size)
    title = title[0].upper() + title[1:]
    # One title over every column of panels: centred on the figure when the
    # fit joins several kinds of curves.
    place = figure.suptitle if len(kinds) > 1 else top.set_title
    if result.ok:
        place(title)
    else:  # in a column's width the verdict takes a line of its own
        narrow = journal is not None and journal[0] < 12.0
        place(title + ("\nNOT OK" if narrow else " — NOT OK"), color="firebrick", fontweight="bold")

    panels: Any = grid[1].subgridspec(1, len(profiles) + (support is not None), wspace=0.35) if extra else None
    if support is not None:
        _draw_nucleus_scan(figure.add_subplot(panels[len(profiles)]), support)
    if profiles:
        variance = result.reduced_chi2
        for k, profile in enumerate(profiles):
            axis = figure.add_subplot(panels[k])
            best = result.parameters[profile.name].value
            # In noise variances, correlated noise's widening taken out, so
            # that the red line sits where independent noise would put it.
            unit = variance * result.error_scale(profile.name) ** 2
            # Enthalpies in kJ/mol, as printed.
            shown = 1e-3 if unit_of(profile.name) == "J/mol" else 1.0
            values = profile.values * shown
            axis.plot(values, (profile.chi2 - result.chi2) / unit, "o-", ms=small["marker"], color="C0",
                      label="profile")
            best *= shown
            stderr = result.parameters[profile.name].stderr * shown
            logarithmic = result.fitted_as_logarithm(profile.name)
            if np.isfinite(stderr) and stderr > 0:
                if logarithmic:  # fitted as its logarithm: the error is relative
                    span = np.geomspace(values.min(), values.max(), 200)
                    distance = np.log(span / best) / (stderr / best)
                else:
                    span = np.linspace(values.min(), values.max(), 200)
                    distance = (span - best) / stderr
                axis.plot(span, distance ** 2, "--", color="0.5", lw=1, label="from std. error")
            if logarithmic and profile.values.max() > 3.0 * profile.values.min() > 0:
                axis.set_xscale("log")  # wide: a log axis (a narrow one keeps its plain ticks)
                axis.xaxis.set_minor_formatter(NullFormatter())
            axis.axhline((profile.threshold - result.chi2) / unit, color="firebrick", lw=0.8)
            for end in (profile.low, profile.high):
                if end is not None:
                    axis.axvline(end * shown, color="firebrick", lw=0.8, ls=":")
            narrow = journal is not None and journal[0] < 12.0
            shown_unit = "kJ/mol" if shown != 1.0 else unit_of(profile.name)
            symbol = symbol_math(profile.name)
            axis.set_xlabel(f"{symbol}\n({shown_unit})" if narrow else f"{symbol} ({shown_unit})",
                            fontsize=small["label"])
            axis.tick_params(labelsize=small["tick"])
            axis.xaxis.set_major_locator(MaxNLocator(4 if not journal else 3 if journal[0] >= 12.0 else 2))
            axis.xaxis.get_offset_text().set_fontsize(small["tick"])
            if narrow:
                plt.setp(axis.get_xticklabels(), rotation=40, ha="right")
            if k == 0:
                axis.set_ylabel("Δχ² / noise var." if journal else "Δχ² / noise variance", fontsize=small["label"])
                if not narrow:  # a column has no room for it: the caption says it
                    axis.legend(fontsize=small["note"], frameon=False)
        if not journal:
            figure.text(0.5, 0.005 + 0.16 * len(footer) / height,
                        f"likelihood profiles: {100 * profiles[0].level:g} % intervals where Δχ² "
                        "crosses the red line", ha="center", fontsize=8, color="0.3")
    if journal:
        return figure  # laid out by matplotlib; the problems are in the title's NOT OK and the report
    if footer:
        figure.text(0.02, 0.005, _literal("\n".join(footer)), fontsize=8, color="firebrick", va="bottom")
    figure.subplots_adjust(left=0.11, right=0.97, top=0.95,
                           bottom=0.07 + 0.16 * len(footer) / height + (0.03 if extra else 0.0))
    legends_off_data(tops)
    _room_for_outside_legends(figure, tops)
    if annotate:
        _annotation(top, result, 8)
    return figure


def _room_for_outside_legends(figure, axes):
    """Narrow the panels where a legend was moved outside their right edge
    (a figure laid out by hand), so that it stays on the figure."""
    renderer = figure.canvas.get_renderer()
    over = max([0.0] + [legend.get_window_extent(renderer).x1 / (figure.get_figwidth() * figure.dpi) - 0.99
                        for legend in (a.get_legend() for a in axes) if legend is not None])
    if over > 0.0:
        figure.subplots_adjust(right=figure.subplotpars.right - over)


def _draw_nucleus_scan(axis, support):
    """The rise of chi2 with the nucleus size, in residual variances: the
    best size, the likelihood ratio's line and the sizes the data do not
    reject (shaded)."""
    from matplotlib.ticker import FuncFormatter, NullFormatter

    sizes = list(support.rise)
    rises = [support.rise[n] for n in sizes]
    for j, n in enumerate(support.kept):
        axis.axvspan(n - 0.4, n + 0.4, color="C2", alpha=0.15, lw=0, label="not rejected" if j == 0 else None)
    axis.plot(sizes, rises, "o-", ms=4, color="C0")
    for n in support.failed:
        axis.axvline(n, color="0.6", lw=0.8, ls=":", label="did not converge" if n == support.failed[0] else None)
    axis.plot([support.best], [0.0], "v", ms=8, color="C3", label=f"best: {support.best}")
    threshold = 3.841458820694124 if support.level == 0.95 else None
    if threshold is not None:
        axis.axhline(threshold, color="firebrick", lw=0.8)
    axis.set_yscale("symlog", linthresh=10.0)
    axis.set_ylim(bottom=-0.5)  # no rise is below the best
    # Plain ticks at 0, 1, 10, 100, ... (a symlog axis otherwise labels its
    # ends as "6.91006 × 10⁰" and "−5 × 10⁻¹").
    top = max([threshold or 1.0] + [r for r in rises if np.isfinite(r)])
    axis.set_yticks([0.0] + [10.0 ** k for k in range(int(np.ceil(np.log10(max(top, 1.0)))) + 1)])
    axis.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:g}"))
    axis.yaxis.set_minor_formatter(NullFormatter())
    axis.set_xticks(sorted(sizes + list(support.failed)))
    axis.set_xlabel("nucleus size", fontsize=9)
    axis.set_ylabel("Δχ² / variance", fontsize=9)
    axis.tick_params(labelsize=8)
    axis.legend(fontsize=7, frameon=False)


def comparison_figure(comparison, curves, celsius=False, size=None):
    """One panel per model, best first: data, fitted curves and residuals,
    each titled with its verdict and its AIC difference (`size` as in
    fit_figure)."""
    plt = _backend()
    if size is None:
        return _comparison_figure(plt, comparison, curves, celsius, None)
    with plt.rc_context(JOURNAL_STYLE):
        return _for_print(_comparison_figure(plt, comparison, curves, celsius, figure_size(size)))


def _comparison_figure(plt, comparison, curves, celsius, journal):
    results = comparison.results
    kinds = _groups(curves)  # a block of panels per kind of curve, or per channel
    # The models in a grid, best first, reading order: at most three a row
    # (two in a column's width).
    across = min(len(results), 2 if journal and journal[0] < 12.0 else 3)
    down = -(-len(results) // across)
    if journal:
        width = journal[0] * CM
        cell = 1.4 if journal[0] < 12.0 else 1.05  # a cell's height to its width: titles of two lines in a column
        tall = journal[1] * CM if journal[1] else width * cell * len(kinds) * down / across
        figure = plt.figure(figsize=(width, tall), constrained_layout=True)
    else:
        figure = plt.figure(figsize=(5.2 * across, 5.0 * down * len(kinds) + 0.6))
    grid = figure.add_gridspec(len(kinds) * down, across, hspace=0.3 if journal else 0.35, wspace=0.25)
    colours = _colours(plt, curves)
    good = [r for r in results if r.ok] or results
    aic0 = min(r.aic for r in good)
    for block, (kind, channel) in enumerate(kinds):
        first = None
        own = curves if channel is None else [c for c in curves if c.signal_name == channel]
        for k, result in enumerate(results):
            cell = grid[block * down + k // across, k % across].subgridspec(2, 1, height_ratios=[3, 1], hspace=0.08)
            top = figure.add_subplot(cell[0], sharey=first)
            first = first or top
            bottom = figure.add_subplot(cell[1], sharex=top)
            try:
                marks = _draw_curves(top, result, curves, celsius, colours, bottom, kind=kind, channel=channel)
            except (ArithmeticError, ValueError) as error:
                # A model whose values cannot be evaluated over the data's
                # range (a fit that ran off) is named, not drawn.
                for axis in (top, bottom):
                    axis.cla()
                top.text(0.5, 0.5, _literal(f"cannot be drawn:\n{error}"), transform=top.transAxes, ha="center",
                         va="center", wrap=True, color="firebrick", fontsize=8)
                marks = None
            bottom.axhline(0.0, color="0.4", lw=0.8)
            plt.setp(top.get_xticklabels(), visible=False)
            name = model_title(result.model, result.nuc_size)
            if journal and journal[0] < 12.0:  # a column's panels are narrow: the name on lines of its own
                name = textwrap.fill(name, 20)
            verdict = "best" if result is comparison.best else ("ok" if result.ok else "NOT OK")
            top.set_title(f"{name}:{chr(10) if journal else ' '}{verdict}, ΔAIC {result.aic - aic0:.1f}",
                          color="black" if result.ok else "firebrick", fontsize=None if journal else 10)
            bottom.set_xlabel(_x_label(kind, celsius, curves))
            if k % across == 0:
                top.set_ylabel(_literal(_signal_label(own)))
                bottom.set_ylabel(_literal(_residual_label(own)))
            if k == 0 and marks is not None:
                top.legend(title=marks, frameon=False, fontsize=7 if journal else 8, **(_COMPACT if journal else {}))
    if not journal:
        figure.subplots_adjust(left=0.08, right=0.98, top=1.0 - 0.35 / figure.get_size_inches()[1],
                               bottom=0.6 / figure.get_size_inches()[1])
        legends_off_data(figure.axes, outside=False)
    return figure


def _for_print(figure, annotation=None):
    """A figure at a journal's size, laid out for good: nothing clipped,
    the annotation (result, font size) of its first panel placed on the
    panels as laid out, then the layout kept as it is."""
    figure.kelvara_dpi = PRINT_DPI
    with warnings.catch_warnings():
        # A height given too short for its rows of panels (12,9 with profiles)
        # is laid out as matplotlib can; its own warning says nothing of use.
        warnings.filterwarnings("ignore", message="constrained_layout not applied", category=UserWarning)
        unclipped(figure)
        # As laid out: a free place inside, if any (a column has no room beside).
        legends_off_data(figure.axes, outside=False)
        if annotation is not None:
            axis = figure.axes[0]
            box = _annotation(axis, *annotation)
            if box is not None:
                unclipped(figure)  # a raised top may widen the tick labels
                place(box, axis)
        figure.canvas.draw()
    if hasattr(figure, "set_layout_engine"):
        figure.set_layout_engine("none")
    else:  # matplotlib before 3.6
        figure.set_constrained_layout(False)
    return figure


def _footer_lines(problems, width=130):
    """The problems of a fit as the lines under its figure: each whole,
    wrapped, never cut short."""
    lines = []
    for problem in problems:
        lines += textwrap.wrap(f"– {problem}", width, subsequent_indent="  ")
    return lines


def save(figure, path, format=None, close=True, dpi=None):
    """Write a figure (PNG, PDF or SVG; to a path or a binary stream) and
    release it; a PNG at `dpi`, by default 300 for a journal's size and
    130 for a screen's."""
    plt = _backend()
    try:
        # Text stays text: editable in an SVG, and TrueType (Type 42) fonts
        # in a PDF or PostScript file, which journals take (Type 3 they refuse).
        with plt.rc_context({"svg.fonttype": "none", "pdf.fonttype": 42, "ps.fonttype": 42}):
            figure.savefig(path, dpi=dpi or getattr(figure, "kelvara_dpi", SCREEN_DPI), format=format)
    finally:
        if close:
            plt.close(figure)



def traces(curves, result=None, celsius=False, most=4000):
    """The figures' numbers as plain data, for a plot drawn elsewhere (the
    app's interactive page): per kind of curve (temperature, concentration,
    solvent) its axis labels and, per curve, its legend label and the data
    in the order of x (temperatures in °C when `celsius`); with a result,
    the fitted curve on a grid of 400 points, the residuals (and each
    curve's misfit), the degree of aggregation and the model's fraction,
    the half-way mark, and the profiles.  A curve of more than `most` points
    gives every k-th of them (the fit used them all), and says so."""
    def listed(values):
        return [None if not math.isfinite(v) else float(v) for v in np.asarray(values, dtype=float)]

    from matplotlib.colors import to_hex

    table: Any = result.curve_table() if result is not None else None
    offsets = np.cumsum([0] + [c.size for c in curves])
    colours = [to_hex(c) for c in _colours(_backend(), curves)]  # the figures' colours
    kinds = []
    for kind in _kinds(curves):
        shift = KELVIN if celsius and kind == "temperature" else 0.0
        # A concentration in the unit the series reads best in (µM), as the figures draw it.
        per = _concentration_unit(curves)[0] if kind == "concentration" else 1.0
        out = {"kind": kind, "x_label": _x_label(kind, celsius, curves), "signal_label": _signal_label(curves),
               "residual_label": _residual_label(curves), "log_x": kind == "concentration", "curves": []}
        for i, curve in enumerate(curves):
            if curve.vary != kind:
                continue
            order = np.argsort(curve.x, kind="stable")
            step = max(1, -(-curve.size // most))
            shown = order[::step]
            x = curve.x[order]
            entry = {"label": _curve_label(curve), "colour": colours[i], "x": listed((curve.x[shown] - shift) / per),
                     "signal": listed(curve.signal[shown]), "every": step, "points": int(curve.size)}
            if result is not None:
                fitted = result.curve_results[i]
                dense = _dense(kind, x, None)
                rows = slice(int(offsets[i]), int(offsets[i + 1]))
                mark = half_way_mark(result, i, kind)
                entry.update(
                    fit_x=listed((dense - shift) / per), fit=listed(result.predict(dense, i)),
                    residual=listed(fitted.residuals[shown]),
                    misfit=listed(result.misfit(i)[shown]) if fitted.misfit_percent is not None else None,
                    aggregation=None if result.with_species else listed(table["aggregation"][rows][shown]),
                    fraction=listed(result.fraction(dense, i)),
                    mark=None if mark is None or not np.isfinite(mark) else {
                        "name": _MARK_NAMES[kind], "x": float((mark - shift) / per),
                        "y": float(result.predict([mark], i)[0])})
            out["curves"].append(entry)
        kinds.append(out)
    profiles = []
    if result is not None:
        variance = result.reduced_chi2
        for profile in (result.profiles or {}).values():
            unit = variance * result.error_scale(profile.name) ** 2
            factor = 1e-3 if unit_of(profile.name) == "J/mol" else 1.0
            profiles.append({
                "name": profile.name, "unit": "kJ/mol" if factor != 1.0 else unit_of(profile.name),
                "x": listed(profile.values * factor), "rise": listed((profile.chi2 - result.chi2) / unit),
                "threshold": float((profile.threshold - result.chi2) / unit),
                "low": None if profile.low is None else float(profile.low * factor),
                "high": None if profile.high is None else float(profile.high * factor)})
    return {"kinds": kinds, "profiles": profiles}
