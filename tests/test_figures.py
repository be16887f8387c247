"""What goes into a paper: intervals in the tables, figures whose text
stays text, residuals with the signal's unit, one title over a joint fit."""

import csv
import dataclasses
import io
import math
import re
import shutil
import struct
import subprocess
import warnings

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

from test_correlated_noise import cooling  # noqa: E402

from kelvara.fit import Curve, fit  # noqa: E402
from kelvara.plot import save  # noqa: E402


def quiet_fit(*args, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return fit(*args, **options)


def test_intervals_reach_the_table_and_the_csv(tmp_path):
    pytest.importorskip("pandas")
    from kelvara.cli.fit import results_csv

    result = fit(cooling(0.9, 3), "cooperative")
    frame = result.to_frame()
    assert "profile_low" not in frame and "bootstrap_low" not in frame
    result.profile(["delta_h"])
    result.run_bootstrap(12, seed=1)
    frame = result.to_frame()
    assert frame.loc["delta_h", "profile_low"] < frame.loc["delta_h", "value"] < frame.loc["delta_h", "profile_high"]
    assert math.isnan(frame.loc["delta_s", "profile_low"])  # not profiled
    assert frame.loc["Te[0]", "bootstrap_low"] < frame.loc["Te[0]", "bootstrap_high"]
    rows = {row["name"]: row for row in csv.DictReader(results_csv(result).splitlines())
            if row["kind"] == "parameter"}
    assert float(rows["delta_h"]["profile_low"]) == frame.loc["delta_h", "profile_low"]
    assert float(rows["delta_h"]["bootstrap_high"]) == frame.loc["delta_h", "bootstrap_high"]
    summary = result.summary()
    assert "bootstrap 95 % percentile intervals (12 resamples, the noise's correlation kept):" in summary
    assert "kJ/mol" in summary[summary.index("bootstrap 95 %"):]


def test_residuals_carry_the_signal_unit_and_a_joint_fit_one_title():
    pytest.importorskip("matplotlib")
    from kelvara.plot import _residual_label, fit_figure

    curves = cooling(0.0, 3)
    assert _residual_label(curves) == "Residual (signal)"
    curves = [dataclasses.replace(curve, signal_name="CD (mdeg)") for curve in curves]
    assert _residual_label(curves) == "Residual (mdeg)"
    series = [Curve.concentration_series(np.geomspace(1e-6, 1e-4, 12), 0.1 + 0.8 * np.linspace(0.05, 0.95, 12),
                                         temperature=300.0)]
    result = quiet_fit(curves + series, "cooperative")
    figure = fit_figure(result, result._problem.curves)
    assert figure._suptitle is not None and figure._suptitle.get_text().startswith("Cooperative model (dimer nucleus)")
    assert all(axis.get_title() == "" for axis in figure.axes)


def test_annotate_writes_the_free_values_only(tmp_path):
    pytest.importorskip("matplotlib")
    from kelvara.cli import main

    if shutil.which("pdftotext") is None:
        pytest.skip("pdftotext (poppler-utils) is not installed")
    assert main(["fit", "--example", "--plot", str(tmp_path / "f.pdf"), "--annotate", "--profile"]) == 0
    text = subprocess.run(["pdftotext", str(tmp_path / "f.pdf"), "-"], capture_output=True, check=True,
                          encoding="utf-8").stdout
    words = " ".join(text.split())
    # Symbols as a paper writes them, not code names; fixed values stay out.
    assert "Cooperative model (dimer nucleus)" in words and "kelvara fit" not in words
    assert re.search(r"ΔH ?= ?−94\.78 ± 0\.21 kJ/mol", words) and re.search(r"ΔH ?nuc ?= ?22\.24 ± 0\.33", words)
    assert not re.search(r"delta_|ΔS ?nuc|cooperative_n", words)
    assert re.search(r"ΔH ?\(kJ/mol\)", words) and "Δχ² / noise variance" in words  # the profiles' axes



@pytest.mark.parametrize("size, width_cm", [("single", 8.5), ("double", 17.5), ("12,9", 12.0)])
def test_journal_sizes_have_their_width_and_text_of_7_to_9_pt(size, width_cm):
    pytest.importorskip("matplotlib")
    from matplotlib.text import Text

    from kelvara.plot import comparison_figure, fit_figure

    result = fit(cooling(0.0, 3), "cooperative")
    result.profile(["delta_h"])
    figures = [fit_figure(result, result._problem.curves, size=size, aggregation=True, annotate=True)]
    from kelvara.fit import compare

    figures.append(comparison_figure(compare(cooling(0.0, 3), ["isodesmic", "cooperative"]),
                                     result._problem.curves, size=size))
    for figure in figures:
        assert figure.get_size_inches()[0] * 2.54 == pytest.approx(width_cm)
        figure.canvas.draw()
        sizes = {t.get_fontsize() for t in figure.findobj(Text) if t.get_text() and t.get_visible()}
        assert min(sizes) >= 7 and max(sizes) <= 9, sizes
        if "," not in size:  # a height of one's own may be too short for four rows of panels
            _nothing_clipped_or_covered(figure)
        buffer = io.BytesIO()
        save(figure, buffer, format="png")
        assert struct.unpack(">I", buffer.getvalue()[16:20])[0] == pytest.approx(width_cm / 2.54 * 300, abs=2)


def _nothing_clipped_or_covered(figure):
    """Every text inside the figure; an annotation box over no drawn point,
    mark or legend of its panel."""
    from matplotlib.legend import Legend

    from kelvara.layout import drawn_points as _drawn_points

    renderer = figure.canvas.get_renderer()
    width, height = figure.get_size_inches()
    box = figure.get_tightbbox(renderer)
    assert box.x0 >= 0 and box.y0 >= 0 and box.x1 <= width and box.y1 <= height, (box, width, height)
    for axis in figure.axes:
        for annotation in [a for a in axis.artists if isinstance(a, Legend)]:
            extent = annotation.get_window_extent(renderer)
            points = _drawn_points(axis)
            inside = ((points[:, 0] >= extent.x0) & (points[:, 0] <= extent.x1)
                      & (points[:, 1] >= extent.y0) & (points[:, 1] <= extent.y1))
            assert not inside.any()
            legend = axis.get_legend()
            assert legend is None or not legend.get_window_extent(renderer).overlaps(extent)


@pytest.mark.parametrize("size", [None, "single"])
@pytest.mark.parametrize("model", ["cooperative", "isodesmic_sigmoid"])
def test_the_annotation_covers_nothing_and_a_legend_promises_only_marks_drawn(size, model):
    from kelvara.plot import fit_figure

    result = fit(cooling(0.0, 3), model)
    figure = fit_figure(result, result._problem.curves, annotate=True, size=size)
    figure.canvas.draw()
    _nothing_clipped_or_covered(figure)
    top = figure.axes[0]
    marks = [line for line in top.lines if line.get_marker() == "v"]
    title = top.get_legend().get_title().get_text()
    assert bool(marks) == bool(title) and (not title or "T_\\mathrm{e}" in title)
    assert [a for a in top.artists if type(a).__name__ == "Legend"]  # the values are drawn


@pytest.mark.filterwarnings("ignore:kelvara.fit")  # the two pathways need not converge on these data
def test_six_models_compared_make_a_grid():
    from kelvara.fit import compare
    from kelvara.plot import comparison_figure

    curves = cooling(0.0, 3)
    models = ["isodesmic", "cooperative", "coop_iso", "cooperative_n", "isodesmic_sigmoid", "two_pathways"]
    figure = comparison_figure(compare(curves, models), curves)
    width, height = figure.get_size_inches()
    assert len(figure.axes) == 12 and width / height < 2.0  # two rows of three, not one row of six


def test_a_compared_model_that_cannot_be_drawn_is_named_and_the_others_drawn(monkeypatch):
    from kelvara import plot
    from kelvara.fit import compare

    curves = cooling(0.0, 3)
    comparison = compare(curves, ["isodesmic", "cooperative"])
    draw = plot._draw_curves

    def refuse_isodesmic(axis, result, *args, **options):
        if result.model == "isodesmic":
            raise ValueError("K * c_monomer must be less than 1")
        return draw(axis, result, *args, **options)

    monkeypatch.setattr(plot, "_draw_curves", refuse_isodesmic)
    figure = plot.comparison_figure(comparison, curves)
    texts = [t.get_text() for axis in figure.axes for t in axis.texts]
    assert any("cannot be drawn" in t and "K * c_monomer must be less than 1" in t for t in texts)
    assert sum(bool(axis.lines) for axis in figure.axes) >= 2  # the cooperative panel and its residuals


@pytest.mark.parametrize("args, words", [
    (["--plot", "f.png", "--figure-size", "wide"], "give single (8.5 cm), double (17.5 cm) or W,H in cm"),
    (["--plot", "f.png", "--figure-size", "1,90"], "each from 2 to 60"),
    (["--figure-size", "single"], "sizes the figure of --plot, which is not given"),
])
def test_a_figure_size_is_checked_before_any_work(tmp_path, capsys, args, words):
    from kelvara.cli import main

    args = [str(tmp_path / a) if a.endswith(".png") else a for a in args]
    assert main(["fit", "--example"] + args) == 2
    assert words in capsys.readouterr().err
    assert not (tmp_path / "f.png").exists()


def test_a_profile_has_points_enough_to_draw_a_smooth_curve():
    result = fit(cooling(0.0, 3), "cooperative")
    profile = result.profile(["delta_h"])["delta_h"]
    assert profile.values.size >= 11
    inside = (profile.values > profile.low) & (profile.values < profile.high)
    assert inside.sum() >= 9  # the curve itself, not only its ends


@pytest.mark.parametrize("text, legends", [
    # a Cary export: the sample's name states its concentration
    ("PBI 5uM,,\nTemperature (°C),Abs,\n{rows}", ["PBI 5uM (cooling)"]),
    # a wide table headed by concentrations: the header is the condition
    ("T (°C),5 uM\n{rows}", ["5 uM"]),
    # a long table with runs of its own names: the concentration is added
    ("T (°C),Abs,c (uM),curve\n{long}", ["first (5 µM)"]),
])
def test_a_legend_adds_the_concentration_only_where_the_label_does_not_state_it(tmp_path, text, legends):
    pytest.importorskip("pandas")
    from kelvara.io import read
    from kelvara.plot import _curve_label

    temperatures = np.linspace(90.0, 10.0, 12)
    rows = "".join(f"{t:.1f},{0.1 + t / 100:.4f},\n" for t in temperatures)
    long = "".join(f"{t:.1f},{0.1 + t / 100:.4f},5,first\n" for t in temperatures)
    path = tmp_path / "data.csv"
    path.write_text(text.format(rows=rows.replace(",\n", "\n") if "uM\n" in text else rows, long=long))
    assert [_curve_label(c) for c in read(path).curves] == legends


def test_a_not_ok_figure_prints_every_problem_whole():
    from kelvara.plot import fit_figure

    result = fit(cooling(0.0, 3), "isodesmic")
    assert not result.ok
    figure = fit_figure(result, result._problem.curves)
    shown = " ".join(" ".join(t.get_text().split()) for t in figure.texts)
    for problem in result.problems:
        assert " ".join(problem.split()) in shown.replace("  ", " ")
    assert "[...]" not in shown


@pytest.mark.parametrize("sigma, marked", [(3.6e-4, True), (0.05, True), (0.1, False), (15.7, False),
                                           (float("nan"), False), (None, True)])
def test_te_is_marked_only_where_aggregation_sets_in_sharply(sigma, marked):
    from types import SimpleNamespace

    from kelvara.plot import half_way_mark

    derived = {} if sigma is None else {"sigma(Te)[0]": SimpleNamespace(value=sigma)}  # None: a per-curve te
    result = SimpleNamespace(model="cooperative", curve_results=[SimpleNamespace(te=340.0, midpoint=None)],
                             derived=derived)
    assert half_way_mark(result, 0, "temperature") == (340.0 if marked else None)


@pytest.mark.parametrize("low, high, unit, labels", [
    (1e-8, 1e-4, "µM", ["0.01", "0.1", "1", "10", "100"]),
    (5e-4, 4e-3, "mM", ["0.5", "1", "2"]),  # an NMR dilution: under a decade, still labelled
])
def test_a_concentration_axis_reads_in_the_series_own_unit(low, high, unit, labels):
    pytest.importorskip("matplotlib")
    from types import SimpleNamespace

    import matplotlib.pyplot as plt

    from kelvara.plot import _concentration_ticks, _x_label

    curves = [SimpleNamespace(vary="concentration", x=np.geomspace(low, high, 12))]
    figure, axis = plt.subplots()
    axis.plot(curves[0].x, np.ones(12))
    axis.set_xscale("log")
    _concentration_ticks(axis, curves)
    figure.canvas.draw()
    shown = [t.get_text() for t in axis.get_xticklabels() if t.get_text() and low <= t.get_position()[0] <= high]
    plt.close(figure)
    assert _x_label("concentration", False, curves) == f"Total concentration ({unit})"
    assert set(labels) <= set(shown) and all(re.fullmatch(r"[\d.]+", t) for t in shown), shown


@pytest.mark.parametrize("size", [None, "single"])
def test_legends_cover_no_data_in_a_two_channel_figure(tmp_path, size):
    pytest.importorskip("matplotlib")
    from test_channels import run_file

    from kelvara.io import read
    from kelvara.layout import drawn_points
    from kelvara.plot import fit_figure

    curves = read(run_file(tmp_path / "run.csv"), signal_column=["CD", "Abs"]).curves
    figure = fit_figure(fit(curves, "cooperative"), curves, celsius=True, size=size)
    figure.canvas.draw()
    renderer = figure.canvas.get_renderer()
    legends = [(axis, axis.get_legend()) for axis in figure.axes if axis.get_legend() is not None]
    assert len(legends) == 2
    for axis, legend in legends:
        box, points = legend.get_window_extent(renderer), drawn_points(axis)
        inside = (points[:, 0] > box.x0) & (points[:, 0] < box.x1) & (points[:, 1] > box.y0) & (points[:, 1] < box.y1)
        assert not inside.any(), (size, int(inside.sum()))
        assert "·" not in " ".join(t.get_text() for t in legend.get_texts())  # the axis names the channel
    import matplotlib.pyplot as plt

    plt.close(figure)


def test_the_pages_traces_give_a_series_in_its_own_unit():
    pytest.importorskip("matplotlib")
    from kelvara.analysis import DATA
    from kelvara.io import read
    from kelvara.plot import traces

    curves = read(DATA / "example_series.csv").curves
    kind = traces(curves)["kinds"][0]
    assert kind["x_label"] == "Total concentration (µM)"
    assert kind["curves"][0]["x"] == pytest.approx(np.sort(curves[0].x) * 1e6, rel=1e-12)
