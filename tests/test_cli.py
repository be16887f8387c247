"""The kelvara command: its messages and exit statuses through
kelvara.cli.main in this process, and a few runs as a user runs it, in a
process of its own."""

import csv
import io
import json
import pathlib
import subprocess
import sys

import pytest

from helpers import interruptible, kelvara_in_process
from kelvara import _core

EXAMPLE_TRUTH = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 22000.0}


def kelvara(*args, cwd=None):
    return kelvara_in_process(*args, cwd=cwd)


def kelvara_process(*args, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "kelvara", *map(str, args)],
        capture_output=True, text=True, cwd=cwd, timeout=300,
    )


def needs_fit():
    pytest.importorskip("numpy")
    pytest.importorskip("scipy")


@pytest.mark.parametrize("command", [[], ["curve"], ["fit"], ["compare"]])
def test_every_command_has_help(command):
    result = (kelvara_process if not command else kelvara)(*command, "--help")
    assert result.returncode == 0
    assert "usage: kelvara" in result.stdout


def test_console_script_is_installed():
    script = pathlib.Path(sys.executable).parent / "kelvara"
    if not script.exists():
        pytest.skip("kelvara is not installed as a package here")
    result = subprocess.run([str(script), "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and "fit" in result.stdout


def read_csv(text):
    rows = list(csv.reader(io.StringIO(text)))
    return rows[0], [[float(v) for v in row] for row in rows[1:]]


def test_curve_output_parses_back_and_matches_the_library():
    result = kelvara_process("curve", "cooperative", "--temps", "280:380:0.5", "--delta_h", "-1e5",
                     "--delta_s", "-200", "--delta_h_nuc", "20000", "--c_tot", "1e-5")
    assert result.returncode == 0, result.stderr
    header, rows = read_csv(result.stdout)
    assert header == ["temperature_K", "fraction"]
    temps = [r[0] for r in rows]
    assert len(temps) == 201 and temps[0] == 280.0 and temps[-1] == 380.0
    expected = _core.temp_cooperative_model(temps, -1e5, -200.0, 20000.0, 1e-5, 1.0)
    assert [r[1] for r in rows] == expected


def test_curve_over_concentrations_in_celsius_and_to_a_file(tmp_path):
    out = tmp_path / "curve.csv"
    result = kelvara("curve", "cooperative_n", "--log-conc", "1e-7:1e-4:7", "--k", "1e6",
                     "--sigma", "1e-3", "--nuc_size", "4", "--out", out)
    assert result.returncode == 0 and result.stdout == ""
    header, rows = read_csv(out.read_text())
    assert header == ["c_tot_M", "fraction"]
    assert [r[1] for r in rows] == [_core.cooperative_model_n(r[0], 1e6, 1e-3, 4, 2200) for r in rows]
    result = kelvara("curve", "isodesmic", "--temps", "20:30:5", "--celsius", "--delta_h", "-7e4",
                     "--delta_s", "-150", "--c_tot", "1e-5", "--scaler", "2")
    header, rows = read_csv(result.stdout)
    assert header == ["temperature_C", "signal"]
    assert [r[1] for r in rows] == _core.temp_isodesmic_model([293.15, 298.15, 303.15], -7e4, -150.0, 1e-5, 2.0)


@pytest.fixture(scope="module")
def example_fit(tmp_path_factory):
    needs_fit()
    pytest.importorskip("matplotlib")
    folder = tmp_path_factory.mktemp("example")
    result = kelvara_process("fit", "--example", "--json", "fit.json", "--csv", "fit.csv", "--plot", "fit.png",
                     cwd=folder)
    return result, folder


def test_example_fit_recovers_the_documented_parameters(example_fit):
    result, folder = example_fit
    assert result.returncode == 0, result.stderr
    assert "delta_h" in result.stdout and "Te (K)" in result.stdout
    assert result.stdout.splitlines()[2].startswith("ok: the fit converged")  # after the example's two lines
    data = json.loads((folder / "fit.json").read_text())
    assert data["model"] == "cooperative" and data["statistics"]["converged"]
    for name, true in EXAMPLE_TRUTH.items():
        parameter = data["parameters"][name]
        assert abs(parameter["value"] - true) < 3 * parameter["stderr"], name
    assert [c["c_tot"] for c in data["curves"]] == [5e-6, 1e-5, 2e-5]
    for curve in data["curves"]:
        assert curve["amplitude"] == pytest.approx(0.8, abs=0.01)
        assert curve["baseline"] == pytest.approx(0.05, abs=0.005)
        assert 330.0 < curve["te"] < 360.0


def test_example_fit_writes_csv_and_a_valid_png(example_fit):
    _, folder = example_fit
    rows = list(csv.DictReader((folder / "fit.csv").read_text().splitlines()))
    assert {"delta_h", "delta_s", "delta_h_nuc", "Te[0]"} <= {r["name"] for r in rows}
    png = (folder / "fit.png").read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = int.from_bytes(png[16:20], "big"), int.from_bytes(png[20:24], "big")
    assert width > 500 and height > 400


def test_compare_ranks_the_true_model_first():
    needs_fit()
    result = kelvara("compare", "--example", "--models", "isodesmic,cooperative")
    assert result.returncode == 0, result.stderr
    rows = result.stdout.splitlines()[1:4]
    assert rows[0].startswith("cooperative ") and rows[0].endswith("  ok")
    assert rows[1].startswith("isodesmic ") and rows[1].endswith("  NOT OK (model)")
    assert rows[2] == "best: cooperative (Akaike weight 1)"  # the isodesmic fit is not ok: it has no weight


def test_fit_options_reach_the_fit(tmp_path):
    needs_fit()
    result = kelvara("fit", "--example", "--fix", "delta_h_nuc=22000", "--bound", "delta_h=-2e5:0",
                     "--json", tmp_path / "f.json")
    assert result.returncode == 0, result.stderr
    data = json.loads((tmp_path / "f.json").read_text())
    assert data["parameters"]["delta_h_nuc"] == {"value": 22000.0, "stderr": None, "fixed": True,
                                                 "at_bound": False, "unit": "J/mol", "label": "delta_h_nuc"}


def test_curve_column_and_semicolons(tmp_path):
    needs_fit()
    lines = ["Curve;T (C);CD (mdeg);c_tot"]
    for name, c in (("a", 5e-6), ("b", 2e-5)):
        temps = [5.0 + i for i in range(0, 91)]
        values = _core.temp_cooperative_model([t + 273.15 for t in temps], -95000.0, -180.0, 22000.0, c, 30.0)
        lines += [f"{name};{t};{v + 1.0};{c}" for t, v in zip(temps, values)]
    path = tmp_path / "data.csv"
    path.write_text("\n".join(lines) + "\n")
    result = kelvara("fit", path, "--celsius", "--json", tmp_path / "f.json")
    assert result.returncode == 0, result.stderr
    data = json.loads((tmp_path / "f.json").read_text())
    assert [c["label"] for c in data["curves"]] == ["a", "b"]
    assert data["parameters"]["delta_h"]["value"] == pytest.approx(-95000.0, rel=1e-3)


BAD_FILES = [
    ("", "is empty"),
    ("temperature,signal,conc\n", "has a header but no data rows"),
    ("temperature,signal\n300,1\n310,0.5\n", "no concentration for 1 curve(s) (data); give --c-tot"),
    ("temp,T,signal,conc\n300,300,1,1e-5\n", "ambiguous temperature column: 'temp', 'T'"),
    ("temp,signal,conc\n300,1,1e-5\n310,x,1e-5\n", "line 3, column 'signal': 'x' is not a number"),
    ("temp,signal,conc\n300,1,1e-5\n310,0.5,1e-5\n", "curve '10 µM' has 2 point(s); a curve needs at least 5"),
    ("temp,signal,conc\n300,1,0\n310,0.5,0\n", "total concentration must be positive"),
    ("curve,temp,signal,conc\na,300,1,1e-5\na,310,1,2e-5\n", "curve 'a' has two concentrations"),
]


@pytest.mark.parametrize("content, message", BAD_FILES)
def test_bad_files_get_one_line_and_status_2(tmp_path, content, message):
    needs_fit()
    path = tmp_path / "data.csv"
    path.write_text(content)
    result = kelvara("fit", path)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and message in result.stderr, result.stderr
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize(
    "args, message",
    [
        (["fit", "/no/such/file.csv"], "no such file: /no/such/file.csv"),
        (["fit", "--example", "--model", "helix"], "invalid choice: 'helix'"),
        (["fit", "--example", "--fix", "delta_q=1"], "unknown parameter 'delta_q'"),
        (["fit", "--example", "--fix", "delta_h"], "--fix takes NAME=VALUE"),
        (["fit", "--example", "--bound", "delta_h=5"], "--bound delta_h takes LO:HI"),
        (["fit", "--example", "--nuc-size", "3"], "--nuc-size applies to the cooperative_n model"),
        (["fit", "--example", "--model", "cooperative_n", "--nuc-size", "1000000"],
         "--nuc-size 1000000: sizes from 2 to 100"),
        (["fit", "--example", "--model", "cooperative_n", "--nuc-size", "2:11111111111111111111"],
         "--nuc-size 2:11111111111111111111: sizes from 2 to 100, the smaller first"),
        (["compare", "--example", "--models", ",,,"], "--models takes model names separated by commas, not ',,,'"),
        (["fit", "--example", "--bootstrap", "5", "--seed", "-1"], "--seed takes a whole number from 0"),
        (["fit", "--example", "--bootstrap", "5", "--seed", "x"], "argument --seed: invalid int value: 'x'"),
        (["fit", "--example", "--max-evaluations", "0"], "--max-evaluations takes a positive whole number, not 0"),
        (["read", "--example", "--vary", "pressure"], "invalid choice: 'pressure'"),
        (["fit", "--example", "--fix", "delta_h_n=-72kJ/mol"],
         "fix delta_h_n needs delta_h fixed too: kelvara fits the penalty delta_h_nuc = delta_h_n - delta_h"),
        (["fit", "--example", "--start", "delta_h_n=-72kJ/mol", "--fix", "delta_h_nuc=20kJ/mol"],
         "delta_h_n and delta_h_nuc say the same (= delta_h + delta_h_nuc): give one of them"),
        (["fit", "--example", "--bound", "delta_s_n=-300:0"], "bounds take the penalty delta_s_nuc, not delta_s_n"),
        (["fit"], "give one or more data files, or --example"),
        (["compare", "--example", "--models", "cooperative,helix"], "unknown model 'helix'"),
        (["curve", "cooperative", "--temps", "300:310:5", "--delta_h", "-1e5"], "cooperative needs --delta-s --delta-h-nuc --c-tot"),
        (["curve", "cooperative", "--temps", "310:300:5"], "need START <= STOP"),
        (["curve", "isodesmic", "--conc", "1e-6:2e-6:1e-6", "--k", "1e5", "--sigma", "1"], "takes no --sigma"),
        (["curve", "cooperative_n", "--conc", "1:2:1", "--k", "1", "--sigma", "1", "--nuc_size", "1"],
         "--nuc-size must be from 2 to 4294967295, not 1"),
        (["curve", "cooperative_n", "--conc", "1:2:1", "--k", "1", "--sigma", "1", "--nuc-size", "4294967296"],
         "--nuc-size must be from 2 to 4294967295"),
        (["curve", "isodesmic", "--temps", "-300:10:10", "--delta-h", "-1e5", "--delta-s", "-200", "--c-tot", "1e-5"],
         "temperatures must be above 0 K, not -300 K"),
        (["curve", "isodesmic", "--conc", "0:1e-5:1e-6", "--k", "1e5"], "concentrations must be positive, not 0"),
        (["curve", "cooperative", "--conc", "1e-6:1e-5:1e-6", "--k", "-1e5", "--sigma", "0.1"],
         "--k must not be negative"),
        (["curve", "cooperative", "--conc", "1e-6:1e-5:1e-6", "--k", "1e5", "--sigma", "-0.1"],
         "--sigma must not be negative"),
        (["curve", "isodesmic", "--log-conc", "1e-7:1e-3:20000000", "--k", "1e5"], "20000000 points is too many"),
    ],
)
def test_bad_arguments_get_one_line_and_status_2(args, message):
    if args[0] in ("fit", "compare"):
        needs_fit()
    result = kelvara(*args)
    assert result.returncode == 2, result.stderr
    assert result.stderr.count("\n") == 1 and message in result.stderr, result.stderr


def test_a_fit_that_does_not_converge_exits_1(tmp_path):
    needs_fit()
    result = kelvara("fit", "--example", "--max-evaluations", "3", "--json", tmp_path / "f.json")
    assert result.returncode == 1
    assert result.stderr[result.stderr.index("kelvara: wrote"):].splitlines()[:3] == [
        f"kelvara: wrote {tmp_path / 'f.json'}",
        "kelvara: the fit is not to be trusted (the answer is not determined or not found):",
        "  - the fit did not converge: stopped after 3 model evaluations (the cap given)",
    ]
    assert result.stdout.startswith("example data")
    assert "NOT OK: the answer is not determined or not found; this fit is not to be trusted" in result.stdout
    data = json.loads((tmp_path / "f.json").read_text())
    assert data["statistics"]["converged"] is False and data["ok"] is False


def test_ctrl_c_during_a_bootstrap_stops_cleanly():
    needs_fit()
    import signal
    import time

    process = subprocess.Popen(
        [sys.executable, "-m", "kelvara", "fit", "--example", "--bootstrap", "100000", "--seed", "1"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=interruptible,
    )
    try:
        time.sleep(4.0)  # the fit itself takes well under a second; the bootstrap is under way
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    finally:
        process.kill()
        process.communicate()
    assert process.returncode == 130
    assert err.strip().endswith("kelvara: interrupted")
    assert "Traceback" not in err


def test_bad_input_is_one_class_and_a_bug_is_not_bad_input(monkeypatch, capsys):
    """Every refusal of bad input is a KelvaraError (and, as always, a
    ValueError), which the command reports with status 2; a ValueError from
    a fault of kelvara's own is not caught as bad input."""
    needs_fit()
    from kelvara.cli import UsageError, main
    from kelvara.errors import KelvaraError
    from kelvara.io import ReadError
    from kelvara.writer import OutputError
    from kelvara.units import UnitError

    assert all(issubclass(e, KelvaraError) and issubclass(e, ValueError)
               for e in (ReadError, UnitError, OutputError, UsageError))
    import kelvara.outputs  # the writer's former name

    assert kelvara.outputs.OutputError is OutputError
    assert main(["fit", "--example", "--fix", "delta_h=1e9", "--bound", "delta_h=-2e5:-1e5"]) == 2
    assert "outside its own bounds" in capsys.readouterr().err

    import kelvara.fit.fitting

    def broken(*args, **kwargs):
        raise ValueError("a bug")

    monkeypatch.setattr(kelvara.fit.fitting, "search_starts", broken)
    with pytest.raises(ValueError, match="a bug"):
        main(["fit", "--example"])


# A value of every option of read, fit and compare that takes text (switches
# need none): what a chemist would type.
_TYPED = {"c_tot": "5uM", "temperature": "20C", "temperature_column": "2", "signal_column": "CD",
          "concentration_column": "3", "curve_column": "1", "solvent_column": "4", "sheet": "Sheet2",
          "range": "5:85C", "exclude": "60:64C", "blank_column": "5", "wavelength": "600nm", "nuc_size": "2:4",
          "fix": "delta_h=-95kJ/mol", "free": "delta_s_nuc", "bound": "delta_s=-300:-100", "start": "delta_h_nuc=22kJ/mol",
          "shared": "h_e", "max_evaluations": "500", "figure_size": "single", "dpi": "300", "bootstrap": "20",
          "seed": "7", "models": "isodesmic,cooperative", "example": "series", "path_length": "1mm",
          "start_temperature": "40C", "dilution": "3.5", "seeds": "10nM"}


@pytest.mark.parametrize("command", ["read", "fit", "compare"])
def test_every_declared_option_means_the_same_on_the_command_line_and_in_the_app(command):
    """Every option the page may send goes through the one declaration the
    command line is built from: each, given on both faces, gives the same
    typed value, and moves the value off its default."""
    from kelvara.app.fields import options
    from kelvara.arguments import OPTIONS, request, request_of
    from kelvara.cli import build_parser

    parser = build_parser()
    defaults = request(command, {}).values
    for option in (o for o in OPTIONS[command] if not o.file):
        if option.kind == "switch":
            field, argv = "true", [option.flag]
        elif option.kind == "either":
            field, argv = "false", [option.negative]
        else:
            text = _TYPED.get(option.name) or option.choices[-1]
            field, argv = text, [f"{option.flag}={text}"]
        cli = request_of(command, parser.parse_args([command, *argv, "a.csv"]))
        app = options(command, [(option.name, field)], ["a.csv"])
        assert dict(app.values) == dict(cli.values), option.name
        assert app.values[option.name] != defaults[option.name], option.name
        assert f"--{option.name.replace('_', '-')}" in app.command_line or option.kind == "either"
