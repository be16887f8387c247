"""Where the parts of a figure go: a note box placed where no data are drawn, legends kept where they
were put, nothing past the figure's edges; and the sizes of a journal's columns, with the text sizes
that go with them.  Works on matplotlib figures; knows nothing of fits."""

from __future__ import annotations

import math

import numpy as np

from kelvara.errors import KelvaraError


def margin_of(figure):
    return 4.0 * figure.dpi / 72.0  # about half a mark, in pixels


def place(box, axis):
    """Move an annotation box to the free place nearest a corner of its
    panel, as the figure is drawn now; False where there is none."""
    figure = axis.figure
    figure.canvas.draw()
    renderer = figure.canvas.get_renderer()
    pin_legend(axis, renderer)
    margin = margin_of(figure)
    size = box.get_window_extent(renderer)
    found = free_place(axis, size.width + 2 * margin, size.height + 2 * margin, renderer)
    if found is None:
        return False
    frame = axis.get_window_extent(renderer)
    corner = ((found[0] + margin - frame.x0) / frame.width, (found[1] + margin - frame.y0) / frame.height)
    box.set_bbox_to_anchor((*corner, 0.0, 0.0), transform=axis.transAxes)
    return True


def pin_legend(axis, renderer):
    """Keep an Axes' legend where "best" put it: drawn again around a box it
    does not know, it would move."""
    legend = axis.get_legend()
    if legend is None:
        return
    extent = legend.get_window_extent(renderer).transformed(axis.transAxes.inverted())
    legend.set_bbox_to_anchor((extent.x0, extent.y0, extent.width, extent.height), transform=axis.transAxes)
    if hasattr(legend, "set_loc"):
        legend.set_loc("center")
    else:  # matplotlib before 3.8
        legend._loc = 10


def legends_off_data(axes, outside=True) -> None:
    """Move each panel's legend off the data where it covers a drawn point
    or line: to the free place nearest a corner of its panel, else (with
    `outside`) just outside its right edge, where the figure must make room
    for it.  The figure is drawn once for all of them: a legend moved inside
    its own panel moves nothing of another's."""
    axes = [axis for axis in axes if axis.get_legend() is not None]
    if not axes:
        return
    figure = axes[0].figure
    figure.canvas.draw()
    renderer = figure.canvas.get_renderer()
    margin = margin_of(figure)
    for axis in axes:
        legend = axis.get_legend()
        box = legend.get_window_extent(renderer)
        points = drawn_points(axis)
        if not np.any((points[:, 0] >= box.x0) & (points[:, 0] <= box.x1) & (points[:, 1] >= box.y0)
                      & (points[:, 1] <= box.y1)):
            continue
        found = free_place(axis, box.width + 2 * margin, box.height + 2 * margin, renderer, own_legend=False)
        if found is not None:
            frame = axis.get_window_extent(renderer)
            anchor, corner = ((found[0] + margin - frame.x0) / frame.width,
                              (found[1] + margin - frame.y0) / frame.height), 3  # lower left
        elif outside:
            anchor, corner = (1.02, 1.0), 2  # upper left, outside the right edge
        else:
            continue
        legend.set_bbox_to_anchor((*anchor, 0.0, 0.0), transform=axis.transAxes)
        if hasattr(legend, "set_loc"):
            legend.set_loc({3: "lower left", 2: "upper left"}[corner])
        else:  # matplotlib before 3.8
            legend._loc = corner


def free_place(axis, width, height, renderer, own_legend=True):
    """The lower-left corner (pixels) of a free width x height place in an
    Axes, nearest one of its corners, away from its legend (unless
    `own_legend` is False: a place for the legend itself); None where there
    is none."""
    frame = axis.get_window_extent(renderer)
    if width > frame.width or height > frame.height:
        return None
    points = drawn_points(axis)
    legend = axis.get_legend() if own_legend else None
    taken = legend.get_window_extent(renderer) if legend is not None else None
    xs = np.linspace(frame.x0, frame.x1 - width, 25)
    ys = np.linspace(frame.y0, frame.y1 - height, 25)
    best, distance = None, math.inf
    for x in xs:
        for y in ys:
            if taken is not None and not (x + width < taken.x0 or x > taken.x1 or y + height < taken.y0
                                          or y > taken.y1):
                continue
            if np.any((points[:, 0] >= x) & (points[:, 0] <= x + width)
                      & (points[:, 1] >= y) & (points[:, 1] <= y + height)):
                continue
            near = min(x - frame.x0, frame.x1 - x - width) + min(y - frame.y0, frame.y1 - y - height)
            if near < distance:
                best, distance = (x, y), near
    return best


def drawn_points(axis):
    """Every drawn line of an Axes as points in pixels, its segments filled
    in every 2 pixels (a steep fitted curve crosses a box between its
    vertices)."""
    out = [np.zeros((0, 2))]
    for line in axis.lines:
        xy = np.column_stack(line.get_data()).astype(float)
        if not len(xy):
            continue
        pixels = axis.transData.transform(xy)
        pixels = pixels[np.all(np.isfinite(pixels), axis=1)]
        if line.get_linestyle() not in ("None", "", " ") and len(pixels) > 1:
            steps = np.maximum(np.ceil(np.hypot(*np.diff(pixels, axis=0).T) / 2.0), 1).astype(int)
            starts = np.repeat(pixels[:-1], steps, axis=0)
            moves = np.repeat(np.diff(pixels, axis=0) / steps[:, None], steps, axis=0)
            within = np.concatenate([np.arange(n) for n in steps])[:, None]
            pixels = np.vstack([starts + moves * within, pixels[-1:]])
        out.append(pixels)
    return np.vstack(out)


# A journal's column widths, in cm, and the text sizes at them: titles 9 pt,
# labels 8 pt, ticks, legends and notes 7 pt.
JOURNAL_WIDTHS = {"single": 8.5, "double": 17.5}
CM = 1.0 / 2.54
JOURNAL_STYLE = {"font.size": 8, "axes.titlesize": 9, "figure.titlesize": 9, "axes.labelsize": 8,
                  "xtick.labelsize": 7, "ytick.labelsize": 7, "legend.fontsize": 7, "legend.title_fontsize": 7,
                  "lines.linewidth": 1.0, "axes.linewidth": 0.6, "xtick.major.width": 0.6,
                  "ytick.major.width": 0.6}
SCREEN_SIZES = {"legend": 9, "label": 9, "tick": 8, "note": 7, "marker": 3}
SMALL_SIZES = {"legend": 7, "label": 8, "tick": 7, "note": 7, "marker": 2}


def figure_size(given):
    """(width, height or None) in cm from "single", "double", "W,H" (cm)
    or a pair of numbers; ValueError saying what is accepted otherwise."""
    if isinstance(given, (tuple, list)):
        width, height = (float(v) for v in given)
    elif str(given).strip().lower() in JOURNAL_WIDTHS:
        return JOURNAL_WIDTHS[str(given).strip().lower()], None
    else:
        try:
            width, height = (float(v) for v in str(given).split(","))
        except ValueError:
            raise KelvaraError(f"figure size {given!r}: give single (8.5 cm), double (17.5 cm) or W,H in cm") from None
    if not (2.0 <= width <= 60.0 and 2.0 <= height <= 60.0):
        raise KelvaraError(f"figure size {given!r}: width and height in cm, each from 2 to 60")
    return width, height


# Pixels per inch of a PNG: a journal's size is printed (300 dpi, the usual
# demand for figures with colour), a screen's is looked at.
PRINT_DPI, SCREEN_DPI = 300, 130


def unclipped(figure, rounds=3):
    """A figure laid out by matplotlib with nothing past its edges: where a
    label still sticks out (a narrow panel's long label), the panels are
    laid out again inside a frame smaller by the overhang."""
    engine = figure.get_layout_engine() if hasattr(figure, "get_layout_engine") else None
    if engine is None or "rect" not in engine.get():
        return figure  # matplotlib before 3.6 lays out as it can
    left, bottom, right, top = 0.0, 0.0, 1.0, 1.0
    whole = 0
    for _ in range(2 * rounds):
        # Each drawing lays the panels out anew from the last one's ticks:
        # whole twice running, it stays whole.
        figure.canvas.draw()
        box = figure.get_tightbbox(figure.canvas.get_renderer())
        width, height = figure.get_size_inches()
        over = (max(-box.x0, 0.0) / width, max(-box.y0, 0.0) / height, max(box.x1 - width, 0.0) / width,
                max(box.y1 - height, 0.0) / height)
        whole = whole + 1 if max(over) <= 0.0 else 0
        if whole == 2:
            break
        if whole:
            continue
        pad = 0.01
        left, bottom = left + (over[0] and over[0] + pad), bottom + (over[1] and over[1] + pad)
        right, top = right - (over[2] and over[2] + pad), top - (over[3] and over[3] + pad)
        engine.set(rect=(float(left), float(bottom), float(right - left), float(top - bottom)))
    return figure
