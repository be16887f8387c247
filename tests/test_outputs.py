"""What the command writes: files that are whole, checked before any work,
never an input; strict JSON; and an interface that explains itself."""

import csv
import json
import subprocess
import sys

import pytest

from helpers import kelvara_in_process
from kelvara import __version__


def kelvara(*args, cwd=None):
    return kelvara_in_process(*args, cwd=cwd)


def kelvara_process(*args, cwd=None, **options):
    return subprocess.run([sys.executable, "-m", "kelvara", *map(str, args)], capture_output=True,
                          text=True, cwd=cwd, timeout=300, **options)


def strict(text):
    def refuse(token):
        raise ValueError(f"not JSON: {token}")

    return json.loads(text, parse_constant=refuse)


@pytest.fixture
def data(tmp_path):
    pytest.importorskip("pandas")
    pytest.importorskip("scipy")
    from kelvara.cli import EXAMPLE

    path = tmp_path / "data.csv"
    path.write_bytes(EXAMPLE.read_bytes())
    return path


@pytest.mark.parametrize("outputs, words", [
    (["--json", "{data}"], "--json {data} would replace the input file {data}"),
    (["--json", "a.json", "--csv", "./a.json"], "--csv and --json both name ./a.json"),
    (["--plot", "fit.csv"], "--plot fit.csv: the plot is written as .png, .pdf, .svg, not .csv"),
    (["--csv", "missing/out.csv"], "--csv missing/out.csv: the folder missing does not exist"),
    (["--curves", "fit.png"], "--curves fit.png: that is the name of a plot, not of curves output"),
])
def test_outputs_are_checked_before_any_work_and_inputs_stay_whole(data, tmp_path, outputs, words):
    before = data.read_bytes()
    outputs = [o.format(data=data) for o in outputs]
    result = kelvara("fit", data, *outputs, cwd=tmp_path)
    assert result.returncode == 2 and result.stdout == ""  # refused before the fit printed anything
    assert result.stderr == f"kelvara: error: {words.format(data=data)}\n"
    assert data.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["data.csv"]


def test_an_interrupted_write_leaves_the_old_file_whole(tmp_path, monkeypatch):
    from kelvara import cli

    target = tmp_path / "results.json"
    target.write_text("old and whole\n")

    def killed(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(cli.os, "replace", killed)
    with pytest.raises(KeyboardInterrupt):
        cli.write_atomic(target, "new" * 100000)
    assert target.read_text() == "old and whole\n"
    assert [p.name for p in tmp_path.iterdir()] == ["results.json"]  # no temporary left behind


def test_fit_writes_strict_json_csv_curves_and_a_pdf(data, tmp_path):
    result = kelvara_process("fit", data, "--json", "f.json", "--csv", "f.csv", "--curves", "points.csv",
                     "--plot", "f.pdf", "--aggregation-panel", "--fix", "delta_h_nuc=22000", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    said = result.stderr.splitlines()
    assert said[0].startswith(f"kelvara: read {data} as a long table")  # how the file was read, first
    assert [line for line in said if "wrote" in line] == [f"kelvara: wrote {name}" for name in
                                                         ("f.json", "f.csv", "points.csv", "f.pdf")]
    fitted = strict((tmp_path / "f.json").read_text())
    assert fitted["input_files"] == [str(data)] and fitted["kelvara_version"] == __version__
    assert fitted["parameters"]["delta_h"]["unit"] == "J/mol" and fitted["derived"]["Te[0]"]["unit"] == "K"
    assert fitted["correlation"]["parameters"][:2] == ["delta_h", "delta_s"]
    with open(tmp_path / "points.csv", newline="") as handle:
        rows = list(csv.DictReader(handle))
    assert len(rows) == 543 and list(rows[0]) == ["curve", "c_tot", "temperature (K)", "signal", "fitted",
                                                  "residual", "fraction", "aggregation", "dp_n", "dp_n_all"]
    for row in rows[::50]:
        assert float(row["fitted"]) - float(row["signal"]) == pytest.approx(float(row["residual"]), abs=1e-12)
        assert 0.0 <= float(row["fraction"]) <= 1.0
    pdf = (tmp_path / "f.pdf").read_bytes()
    assert pdf[:5] == b"%PDF-"
    # Fonts a journal takes: TrueType (Type 42) embedded, no Type 3.
    assert b"/Type3" not in pdf and (b"/TrueType" in pdf or b"/CIDFontType2" in pdf)


def test_compare_takes_fit_options_and_writes_json_and_a_plot(data, tmp_path):
    result = kelvara("compare", data, "--models", "isodesmic,cooperative", "--baseline-slope",
                     "--json", "c.json", "--plot", "c.svg", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "cooperative: delta_h -9" in result.stdout  # main parameters with their errors
    compared = strict((tmp_path / "c.json").read_text())
    assert compared["best"] == "cooperative" and compared["ranking"] == ["cooperative", "isodesmic"]
    assert [m["ok"] for m in compared["models"]] == [True, False]
    assert "slope[0]" in compared["models"][0]["parameters"]
    svg = (tmp_path / "c.svg").read_bytes()
    assert b"<svg" in svg[:500]
    assert b"<text" in svg and b">cooperative model (dimer nucleus): best" in svg  # text kept as text, editable


def test_the_interface_explains_itself():
    assert kelvara("--version").stdout == f"kelvara {__version__}\n"
    listing = kelvara("models").stdout
    for words in ("cooperative: nucleation-elongation", "delta_h_nuc        J/mol", "nuc_size"):
        assert words in listing
    assert "(default: cooperative)" in kelvara("fit", "--help").stdout
    assert "J/(mol K)" in kelvara("curve", "--help").stdout


def test_negative_ranges_and_both_spellings_are_taken():
    result = kelvara("curve", "cooperative", "--temps", "-10:20:10", "--celsius", "--delta-h", "-1e5",
                     "--delta_s", "-200", "--delta-h-nuc", "20000", "--c_tot", "1e-5")
    assert result.returncode == 0, result.stderr
    assert [line.split(",")[0] for line in result.stdout.splitlines()] == [
        "temperature_C", "-10.0", "0.0", "10.0", "20.0"]


CURVE = ["curve", "isodesmic", "--temps", "280:380:1", "--delta-h", "-7e4", "--delta-s", "-150",
         "--c-tot", "1e-5"]


def test_a_closed_pipe_is_one_line_and_status_2(capsys, monkeypatch):
    from kelvara import cli

    class Closed:
        def write(self, text):
            raise BrokenPipeError(32, "Broken pipe")

    monkeypatch.setattr(sys, "stdout", Closed())
    assert cli.main(CURVE) == 2
    assert capsys.readouterr().err == "kelvara: error: the output pipe was closed\n"


def test_a_full_disk_is_one_line_and_status_2(tmp_path, capsys, monkeypatch):
    import errno

    from kelvara import cli

    def full(fd, payload, shown):
        raise OSError(errno.ENOSPC, "No space left on device", shown)

    from kelvara import writer

    monkeypatch.setattr(writer, "_write_all", full)
    assert cli.main(CURVE + ["--out", str(tmp_path / "c.csv")]) == 2
    assert capsys.readouterr().err.startswith("kelvara: error: no space left on the device, writing ")
    assert list(tmp_path.iterdir()) == []


def test_results_draw_themselves_in_python(tmp_path):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from kelvara.cli import EXAMPLE
    from kelvara.fit import compare, fit
    from kelvara.io import read_curves

    curves = read_curves(EXAMPLE)
    result = fit(curves)
    figure = result.plot(aggregation=True)
    assert len(figure.axes) == 3 and figure.axes[0].get_xlabel() == ""  # data over residuals over aggregation
    assert figure.axes[2].get_xlabel() == "Temperature (K)"
    own, ax = plt.subplots()
    assert result.plot(ax=ax) is own and [t.get_text() for t in ax.get_legend().get_texts()] == \
        ["5 µM", "10 µM", "20 µM"]
    warm = result.plot(celsius=True)
    assert warm.axes[1].get_xlabel() == "Temperature (°C)"
    plt.close(warm)
    panels = compare(curves, ["isodesmic", "cooperative"]).plot()
    assert panels.axes[0].get_title().startswith("cooperative model (dimer nucleus): best")
    for f in (figure, own, panels):
        plt.close(f)
