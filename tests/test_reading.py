"""Files read as they are meant, or refused in one line: roles from units,
plausible numbers, files without a header, workbooks, units typed on the
command line, outputs that are not regular files, and temperatures shown in
the unit they came in."""

import json
import os
import pathlib
import stat
import subprocess
import sys

import pytest

from helpers import kelvara_in_process

np = pytest.importorskip("numpy")
pytest.importorskip("pandas")
pytest.importorskip("scipy")

from kelvara import _core  # noqa: E402
from kelvara.io import ReadError, read, read_curves  # noqa: E402
from kelvara.units import UnitError, quantity  # noqa: E402

TRUE = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 22000.0}
CONCENTRATIONS = (5e-6, 1e-5, 2e-5)
CELSIUS = np.round(np.arange(90.0, 4.99, -0.5), 1)  # a cooling run in 0.5 K steps: 171 temperatures


def cd(c_tot, seed, noise=0.3):
    """CD in mdeg of a cooling run, as a spectrometer gives it."""
    fraction = np.array(_core.temp_cooperative_model((CELSIUS + 273.15).tolist(), *TRUE.values(), c_tot, 1.0))
    return -2.0 - 40.0 * fraction + np.random.default_rng(seed).normal(0.0, noise, CELSIUS.size)


def long_file(path, header, temperatures=CELSIUS):
    rows = [header] + [f"{t:.2f},{y:.4f},{c * 1e6:g}" for i, c in enumerate(CONCENTRATIONS)
                       for t, y in zip(temperatures, cd(c, i))]
    path.write_text("\n".join(rows) + "\n", encoding="utf-8")
    return path


def headerless_runs(folder):
    """One tab-separated file per concentration: T, CD, HT, UV, FL, no header."""
    paths = []
    for i, c in enumerate(CONCENTRATIONS):
        rng = np.random.default_rng(10 + i)
        rows = [f"{t:.2f}\t{y:.4f}\t{300 + rng.normal():.3f}\t{0.5 + rng.normal(0, .01):.4f}\t"
                f"{1000 + rng.normal(0, 5):.1f}" for t, y in zip(CELSIUS, cd(c, i))]
        paths.append(folder / f"run_{i}.txt")
        paths[-1].write_text("\n".join(rows) + "\n")
    return paths


def kelvara(*args, cwd, **options):
    if not options:
        return kelvara_in_process(*args, cwd=cwd)
    return subprocess.run([sys.executable, "-m", "kelvara", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, timeout=300, **options)


def recovered(stdout_json):
    """The thermodynamic parameters of a fit's JSON lie within 3 standard errors of the truth."""
    parameters = json.loads(stdout_json)["parameters"]
    for name, truth in TRUE.items():
        value, error = parameters[name]["value"], parameters[name]["stderr"]
        assert abs(value - truth) < 3 * error, (name, value, error)


# --- roles from units, and the report -----------------------------------------------


@pytest.mark.parametrize("header", ["Sample Temp (°C),CD (mdeg),c (uM)", "Temperatur (°C);CD (mdeg);c (uM)",
                                    "Block temperature [°C],ellipticity,[PBI] (uM)"])
def test_a_temperature_unit_makes_a_temperature_column_whatever_its_first_word(tmp_path, header):
    path = long_file(tmp_path / "run.csv", header.replace(";", ","))
    reading = read(path)
    (file,) = reading.files
    assert [c.role for c in file.columns] == ["temperature", "signal", "concentration"]
    assert file.columns[0].unit == "°C" and file.layout.startswith("a long table")
    assert [(c.label, c.c_tot, c.points, c.varies) for c in file.curves] == [
        ("5 µM", 5e-6, 171, "temperature"), ("10 µM", 1e-5, 171, "temperature"), ("20 µM", 2e-5, 171, "temperature")]
    assert (file.curves[0].low, file.curves[0].high) == pytest.approx((278.15, 363.15))
    assert reading.temperature_unit == "°C"
    text = reading.text()
    assert f"column 1 {header.replace(';', ',').split(',')[0]!r}" in text
    assert "5 µM: c_tot 5 µM, 171 points, 5 °C to 90 °C" in text


def test_the_misread_long_file_now_fits_to_the_truth(tmp_path):
    long_file(tmp_path / "run.csv", "Sample Temp (°C),CD (mdeg),c (uM)")
    done = kelvara("fit", "run.csv", "--json", "-", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    recovered(done.stdout)
    # How the file was read comes first on stderr, the results (text) there too, as stdout holds the JSON.
    assert done.stderr.startswith("kelvara: read run.csv as a long table")
    assert "Te (°C)" in done.stderr


def test_read_notes_in_python_hold_the_report_then_the_notes(tmp_path):
    path = long_file(tmp_path / "run.csv", "T (°C),CD (mdeg),c (uM)")
    notes = []
    read_curves(path, notes=notes)
    assert len(notes) == 1 and notes[0].startswith(f"read {path} as a long table")


# --- refused in one line --------------------------------------------------------


def write_rows(path, header, rows):
    path.write_text("\n".join([header] + rows) + "\n", encoding="utf-8")


KELVIN_ROWS = [f"{t + 273.15:.2f},{y:.4f},5" for t, y in zip(CELSIUS, cd(5e-6, 0))]
CELSIUS_ROWS = [f"{t:.1f},{y:.4f},5" for t, y in zip(CELSIUS, cd(5e-6, 0))]


@pytest.mark.parametrize("header, rows, args, words", [
    ("T (°C),CD (mdeg),c (uM)", KELVIN_ROWS, [], "363.15 °C is outside -100 to 150 °C; these look like kelvin"),
    ("T,CD (mdeg),c (uM)", KELVIN_ROWS, ["--celsius"], "these look like kelvin; leave out --celsius"),
    ("T (K),CD (mdeg),c (uM)", [r.replace(".", "", 1) for r in KELVIN_ROWS], [], "K is above 600 K"),
    ("T (K),CD (mdeg),c (uM)", CELSIUS_ROWS, [], "say °C in the header"),
    ("T (°F),CD (mdeg),c (uM)", CELSIUS_ROWS, [], "Fahrenheit are not read"),
    ("T (°C),CD (mdeg),conc (mg/mL)", CELSIUS_ROWS, [], "'mg/mL' is not a concentration unit"),
    ("T (°C),5,10,20", [f"{t},1,2,3" for t in CELSIUS], [], "bare numbers (5, 10, 20); a column headed by its "
                                                            "concentration needs the unit"),
    ("sample,T (°C),CD (mdeg),c (uM)", [f"{t},{r}" for t, r in zip(CELSIUS, CELSIUS_ROWS)], [],
     "one curve per value of column 'sample' would make 171 curves"),
    ("T (°C),Temp. block (°C),CD", [f"{t},{t},1" for t in CELSIUS], [],
     "ambiguous temperature column: 'T (°C)', 'Temp. block (°C)' (choose one with --temperature-column"),
    ("T (°C),CD (mdeg),c (uM)", CELSIUS_ROWS[:4], [], "has 4 point(s); a curve needs at least 5"),
])
def test_a_doubtful_reading_is_one_line_and_status_2(tmp_path, header, rows, args, words):
    write_rows(tmp_path / "d.csv", header, rows)
    for command in ("read", "fit"):
        done = kelvara(command, "d.csv", *args, cwd=tmp_path)
        assert done.returncode == 2 and done.stdout == "", done.stderr
        assert done.stderr.count("\n") == 1 and words in done.stderr, done.stderr


# --- numbers without a header ---------------------------------------------------------


def test_headerless_runs_are_read_by_position_and_fit_to_the_truth(tmp_path):
    paths = headerless_runs(tmp_path)
    refused = kelvara("read", paths[0].name, cwd=tmp_path)
    assert refused.returncode == 2 and "choose them by position, e.g. --temperature-column 1 --signal-column 2" \
        in refused.stderr
    args = [p.name for p in paths] + ["--temperature-column", "1", "--signal-column", "2", "--celsius",
                                      "--c-tot", "5uM", "--c-tot", "10 µM", "--c-tot", "2e-5"]
    shown = kelvara("read", *args, cwd=tmp_path)
    assert shown.returncode == 0, shown.stderr
    assert "column 1  temperature, °C (--celsius)" in shown.stdout and "column 5  unused" in shown.stdout
    assert "run_1: c_tot 10 µM (--c-tot), 171 points, 5 °C to 90 °C" in shown.stdout
    done = kelvara("fit", *args, "--json", "-", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    recovered(done.stdout)


def test_a_headerless_file_of_two_columns_is_temperature_and_signal(tmp_path):
    path = tmp_path / "two.txt"
    path.write_text("\n".join(f"{t + 273.15:.2f}\t{y:.4f}" for t, y in zip(CELSIUS, cd(1e-5, 3))) + "\n")
    (curve,) = read_curves(path, c_tot=["10uM"])
    assert curve.temperature == pytest.approx(CELSIUS + 273.15) and curve.c_tot == 1e-5
    with pytest.raises(ReadError, match="there is no column 7"):
        read_curves(path, c_tot=["10uM"], temperature_column="7")


# --- workbooks ---------------------------------------------------------------------


@pytest.fixture
def workbook(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    book = openpyxl.Workbook()
    notes = book.active
    notes.title = "Notes"
    notes.append(["PBI in MCH, cooled at 1 K/min"])
    data = book.create_sheet("Cooling")
    data.append(["T (°C)", "5 uM", "10 uM", "20 uM"])
    signals = [cd(c, i) for i, c in enumerate(CONCENTRATIONS)]
    for i, t in enumerate(CELSIUS):
        data.append([float(t)] + [float(s[i]) for s in signals])
    path = tmp_path / "book.xlsx"
    book.save(path)
    return path


@pytest.mark.parametrize("sheet", [None, "cooling", "COOLING", "2"])
def test_the_sheet_holding_the_table_is_found_and_named(workbook, sheet):
    reading = read(workbook, sheet=sheet)
    assert [c.c_tot for c in reading.curves] == list(CONCENTRATIONS)
    assert "sheet 'Cooling'" in reading.files[0].details
    assert ("the first holding a table" in reading.files[0].details) == (sheet is None)


@pytest.mark.parametrize("sheet, words", [("heating", "no sheet 'heating'; its sheets are 'Notes', 'Cooling'"),
                                          ("notes", "sheet 'Notes' holds no table")])
def test_a_sheet_without_the_table_names_the_sheets(workbook, sheet, words):
    with pytest.raises(ReadError, match=words):
        read(workbook, sheet=sheet)


# --- labels ------------------------------------------------------------------------


def test_curves_keep_what_tells_them_apart(tmp_path):
    from kelvara.plot import _curve_label

    rows = ["PBI 5uM,,PBI 5uM,", "Temperature (°C),Abs,Temperature (°C),Abs"]
    there_and_back = np.concatenate([CELSIUS, CELSIUS[::-1][1:]])
    rows += [f"{t},{0.1 + i * 1e-4},{t},{0.2 + i * 1e-4}" for i, t in enumerate(there_and_back)]
    (tmp_path / "cary.csv").write_text("\n".join(rows) + "\n")
    single = tmp_path / "a" / "scan.csv"
    single.parent.mkdir()
    single.write_text("T (°C),CD\n" + "\n".join(f"{t},{i}" for i, t in enumerate(CELSIUS)) + "\n")
    other = tmp_path / "b" / "scan.csv"
    other.parent.mkdir()
    other.write_text(single.read_text())
    curves = read_curves([tmp_path / "cary.csv", single, other], c_tot=["1uM", "2uM"])
    assert [c.label for c in curves] == ["PBI 5uM (cooling) #1", "PBI 5uM (heating) #1", "PBI 5uM (cooling) #2",
                                         "PBI 5uM (heating) #2", f"scan ({single})", f"scan ({other})"]
    assert [_curve_label(c) for c in curves[:2]] == ["PBI 5uM (cooling) #1", "PBI 5uM (heating) #1"]


# --- units typed by hand ---------------------------------------------------------------


@pytest.mark.parametrize("text, unit, value", [
    ("14kJ/mol", "J/mol", 14000.0), ("-5 kcal/mol", "J/mol", -20920.0), ("22000", "J/mol", 22000.0),
    ("-180J/(mol K)", "J/(mol K)", -180.0), ("-180 J/mol/K", "J/(mol K)", -180.0),
    ("-0.18kJ/(mol·K)", "J/(mol K)", -180.0), ("60C", "K", 333.15), ("60 °C", "K", 333.15), ("330K", "K", 330.0),
    ("10uM", "mol/L", 1e-5), ("10 µM", "mol/L", 1e-5), ("10 μM", "mol/L", 1e-5), ("1e6 M-1", "L/mol", 1e6),
])
def test_values_with_units_become_the_unit_reported(text, unit, value):
    assert quantity(text, unit, "--fix x") == value


@pytest.mark.parametrize("text, unit", [("14K", "J/mol"), ("14kJ/mol", "J/(mol K)"), ("60C", "J/mol"),
                                        ("3mdeg", "signal"), ("10uK", "mol/L"), ("lots", "J/mol")])
def test_a_unit_that_does_not_fit_is_an_error(text, unit):
    with pytest.raises(UnitError, match="--fix x"):
        quantity(text, unit, "--fix x")


def test_a_fix_with_a_unit_fits_the_same_as_in_si(tmp_path):
    runs = [kelvara("fit", "--example", "--fix", fixed, "--bound", bound, "--json", "-", cwd=tmp_path)
            for fixed, bound in (("delta_h_nuc=22kJ/mol", "delta_h=-120:-80kJ/mol"),
                                 ("delta_h_nuc=22000", "delta_h=-120000:-80000"))]
    assert [r.returncode for r in runs] == [0, 0], runs[0].stderr
    first, second = (json.loads(r.stdout) for r in runs)
    assert first["parameters"] == second["parameters"] and first["parameters"]["delta_h_nuc"]["value"] == 22000.0
    curve = kelvara("curve", "cooperative", "--temps", "330:340:5", "--delta-h", "-95kJ/mol", "--delta-s", "-180",
                    "--delta-h-nuc", "22kJ/mol", "--c-tot", "10uM", cwd=tmp_path)
    values = [float(line.split(",")[1]) for line in curve.stdout.splitlines()[1:]]
    assert values == _core.temp_cooperative_model([330.0, 335.0, 340.0], -95000.0, -180.0, 22000.0, 1e-5, 1.0)


# --- outputs that are not regular files ----------------------------------------------------


def test_a_device_that_refuses_the_write_is_left_as_it_was(tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    done = kelvara("fit", "--example", "--json", "/dev/full", cwd=tmp_path)
    assert done.returncode == 2 and done.stderr.endswith(
        "kelvara: error: no space left on the device, writing /dev/full\n")
    assert stat.S_ISCHR(os.stat("/dev/full").st_mode)


def test_links_fifos_and_standard_output_are_written_not_replaced(tmp_path):
    (tmp_path / "target.json").write_text("{}")  # a link of one's own, to a file (a dangling link is refused)
    (tmp_path / "link.json").symlink_to("target.json")
    os.mkfifo(tmp_path / "pipe")
    reader = subprocess.Popen(["cat", str(tmp_path / "pipe")], stdout=subprocess.PIPE)
    done = kelvara("fit", "--example", "--json", "link.json", "--curves", "pipe", "--csv", "-", cwd=tmp_path)
    piped = reader.communicate(timeout=60)[0].decode()
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "link.json").is_symlink() and json.loads((tmp_path / "target.json").read_text())["ok"]
    assert stat.S_ISFIFO(os.stat(tmp_path / "pipe").st_mode) and piped.count("\n") == 544
    assert done.stdout.startswith("kind,name,value") and "delta_h" in done.stdout
    assert "model: cooperative" in done.stderr  # the text for people moved out of the way
    for outputs, words in (([" --json", "-", "--csv", "-"], "both name -"),
                           (["--plot", "-"], "a plot is written to a file")):
        refused = kelvara("fit", "--example", *[o.strip() for o in outputs], cwd=tmp_path)
        assert refused.returncode == 2 and words in refused.stderr


# --- temperatures in the user's unit ---------------------------------------------------------


def test_celsius_data_show_celsius_everywhere(tmp_path):
    long_file(tmp_path / "run.csv", "T (°C),CD (mdeg),c (uM)")
    done = kelvara("fit", "run.csv", "--curves", "points.csv", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "Te (°C)" in done.stdout and "°C" in next(line for line in done.stdout.splitlines() if line.strip().startswith("Te ("))
    lines = (tmp_path / "points.csv").read_text().splitlines()
    assert lines[0].split(",")[2] == "temperature (°C)"
    assert [line.split(",")[2] for line in lines[1:4]] == ["90.0", "89.5", "89.0"]  # as the file gave them
    kelvin = kelvara("fit", "run.csv", "--display-unit", "K", "--curves", "points.csv", cwd=tmp_path)
    assert "Te (K)" in kelvin.stdout and (tmp_path / "points.csv").read_text().split(",")[2] == "temperature (K)"


GOLDEN = pathlib.Path(__file__).resolve().parent / "golden"


@pytest.mark.parametrize("name, args", [
    ("models.txt", ["models"]),
    ("read_lab_file.txt", ["read", "run.csv"]),
    ("read_headerless_runs.txt", ["read", "run_0.txt", "run_1.txt", "run_2.txt", "--temperature-column", "1",
                                  "--signal-column", "2", "--celsius", "--c-tot", "5uM", "--c-tot", "10 µM",
                                  "--c-tot", "2e-5"]),
])
def test_what_the_commands_print_is_the_golden_text(tmp_path, name, args):
    """The whole text, not pieces of it: a change shows as a diff of the
    golden file (KELVARA_UPDATE_GOLDEN=1 writes them anew, to be read and
    committed)."""
    long_file(tmp_path / "run.csv", "T (°C),CD (mdeg),c (uM)")
    headerless_runs(tmp_path)
    done = kelvara(*args, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    golden = GOLDEN / name
    if os.environ.get("KELVARA_UPDATE_GOLDEN"):
        golden.write_text(done.stdout, encoding="utf-8")
    assert done.stdout == golden.read_text(encoding="utf-8")


def test_a_kelvin_file_shows_celsius_only_when_asked(tmp_path):
    refused = kelvara("fit", "--example", "--celsius", cwd=tmp_path)
    assert refused.returncode == 2 and "use --display-unit C" in refused.stderr
    done = kelvara("fit", "--example", "--display-unit", "C", cwd=tmp_path)
    assert done.returncode == 0 and "Te (°C)" in done.stdout


@pytest.mark.parametrize("args", [["fit", "--example"], ["read", "--example"],
                                  ["curve", "cooperative", "--temps", "300:310:5", "--delta-h", "-95kJ/mol",
                                   "--delta-s", "-180", "--delta-h-nuc", "22kJ/mol", "--c-tot", "10uM"]])
def test_a_closed_standard_output_is_one_line_and_status_2(tmp_path, args):
    done = subprocess.run([sys.executable, "-m", "kelvara", *args], stderr=subprocess.PIPE, text=True, cwd=tmp_path,
                          timeout=300, preexec_fn=lambda: os.close(1))
    assert done.returncode == 2
    assert done.stderr == "kelvara: error: standard output is closed: there is nowhere to show the results\n"


def test_a_file_that_quotes_every_field_is_read(tmp_path):
    path = tmp_path / "quoted.csv"
    rows = ['"T (°C)","CD (mdeg)","c (uM)"'] + [f'"{t}","{y:.4f}","5"' for t, y in zip(CELSIUS, cd(5e-6, 0))]
    path.write_text("\n".join(rows) + "\n", encoding="utf-8")
    (curve,) = read_curves(path)
    assert curve.c_tot == 5e-6 and curve.temperature == pytest.approx(CELSIUS + 273.15)


@pytest.mark.parametrize("kind", ["csv", "xlsx"])
@pytest.mark.parametrize("comments", [None, ["PBI batch 2, cooled at 1 K/min", "", ""], ["", "", ""]])
def test_a_units_row_below_the_names_gives_the_columns_their_units(tmp_path, kind, comments):
    """Origin's layout: a row of names, a row of units, sometimes a row of comments."""
    rows = [["Temperature", "CD", "Concentration"], ["°C", "mdeg", "µM"]] + ([comments] if comments else [])
    rows += [[float(t), float(y), c * 1e6] for c in CONCENTRATIONS for t, y in zip(CELSIUS, cd(c, 1))]
    if kind == "csv":
        path = tmp_path / "origin.csv"
        path.write_text("\n".join(",".join(f'"{v}"' if "," in str(v) else str(v) for v in row) for row in rows)
                        + "\n", encoding="utf-8")
    else:
        openpyxl = pytest.importorskip("openpyxl")
        book = openpyxl.Workbook()
        for row in rows:
            book.active.append([v if v != "" else None for v in row])
        path = tmp_path / "origin.xlsx"
        book.save(path)
    reading = read(path)
    assert [(c.header, c.role) for c in reading.files[0].columns] == [
        ("Temperature (°C)", "temperature"), ("CD (mdeg)", "signal"), ("Concentration (µM)", "concentration")]
    assert "units on line 2" in reading.files[0].details or "units in row 2" in reading.files[0].details
    assert [c.c_tot for c in reading.curves] == pytest.approx(list(CONCENTRATIONS))
    assert reading.curves[0].temperature == pytest.approx(CELSIUS + 273.15)
    assert reading.curves[0].signal_name == "CD (mdeg)"


def test_a_header_of_bare_numbers_is_read_with_concentrations_given_in_order(tmp_path):
    rows = [f"{t}," + ",".join(f"{y:.4f}" for y in values)
            for t, *values in zip(CELSIUS, *(cd(c, i) for i, c in enumerate(CONCENTRATIONS)))]
    write_rows(tmp_path / "bare.csv", "T (°C),5,10,20", rows)
    done = kelvara_in_process("fit", "bare.csv", "--c-tot", "5uM", "--c-tot", "10uM", "--c-tot", "20uM",
                              "--json", "out.json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    result = json.loads((tmp_path / "out.json").read_text())
    assert [c["c_tot"] for c in result["reading"]["files"][0]["curves"]] == pytest.approx(list(CONCENTRATIONS))
    assert {c["c_tot_from"] for c in result["reading"]["files"][0]["curves"]} == {"--c-tot"}
    assert any("bare numbers (5, 10, 20); each is a curve whose concentration comes from --c-tot" in n
               for n in result["reading"]["notes"])
    for name, truth in TRUE.items():
        p = result["parameters"][name]
        assert abs(p["value"] - truth) < 3 * p["stderr"], name
    done = kelvara_in_process("read", "bare.csv", "--c-tot", "5uM", "--c-tot", "10uM", cwd=tmp_path)
    assert done.returncode == 2 and "in order (2 given for 3 columns)" in done.stderr


def test_path_lengths_bring_series_of_two_cells_to_one(tmp_path):
    kelvin = np.linspace(363.15, 278.15, 60)
    fraction = np.array(_core.temp_cooperative_model(kelvin.tolist(), -95000.0, -180.0, 20000.0, 1e-5, 1.0))
    for name, cm in (("thin.csv", 0.1), ("thick.csv", 1.0)):  # the same sample: 40 mdeg in a 1 cm cell
        rows = ["T (K),CD (mdeg),c (M)"] + [f"{t:.2f},{-40.0 * f * cm:.6f},1e-5" for t, f in zip(kelvin, fraction)]
        (tmp_path / name).write_text("\n".join(rows) + "\n", encoding="utf-8")
    files = [tmp_path / "thin.csv", tmp_path / "thick.csv"]
    reading = read(files, path_length=["1mm", "10 mm"])
    thin, thick = reading.curves
    assert np.allclose(thin.signal, thick.signal, atol=1e-4) and thick.signal.min() < -39.0
    assert any("thin.csv: signal scaled to a 1 cm cell (x 10: measured in a 0.1 cm cell)" in n for n in reading.notes)
    assert np.array_equal(read(files, path_length=[1.0]).curves[0].signal, read(files).curves[0].signal)
    for given, words in ((["1mm", "1mm", "1mm"], "--path-length given 3 times for 2 files"),
                         (["1 furlong"], "--path-length takes a length with its unit"), (["0mm"], "must be above 0")):
        done = kelvara_in_process("read", *files, *[a for g in given for a in ("--path-length", g)])
        assert done.returncode == 2 and words in done.stderr, done.stderr
