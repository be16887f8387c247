"""What a chemist reads: a bare number taken in the unit it is meant in (or
refused), values named by their curve, the signal's unit from its header,
concentrations in µM and temperatures in the data's unit."""

import json

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")
pytest.importorskip("openpyxl")

from helpers import kelvara_in_process as kelvara  # noqa: E402
from test_reading import CONCENTRATIONS, cd  # noqa: E402

from kelvara.units import UnitError, quantity  # noqa: E402


@pytest.mark.parametrize("option, meant", [
    ("delta_h_nuc=18", "write 18kJ/mol if that is meant, or 18J/mol to insist"),
    ("delta_s=-3000", "write -3000J/(mol K) to insist"),
    ("Te=60", "write 60C if that is meant, or 60K to insist"),
])
def test_a_bare_number_implausible_in_si_is_refused_with_its_likely_meaning(tmp_path, option, meant):
    run = kelvara("fit", "--example", "--fix" if not option.startswith("Te") else "--start", option, cwd=tmp_path)
    assert run.returncode == 2 and "implausibly" in run.stderr and meant in run.stderr, run.stderr
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("text, unit, value", [
    ("18J/mol", "J/mol", 18.0), ("0", "J/mol", 0.0), ("-3000J/(mol K)", "J/(mol K)", -3000.0),
    ("-180", "J/(mol K)", -180.0), ("22000", "J/mol", 22000.0), ("60K", "K", 60.0), ("-inf", "J/mol", -np.inf),
])
def test_a_plausible_or_insisted_value_is_taken(text, unit, value):
    assert quantity(text, unit, "--fix x") == value


def test_a_concentration_of_molar_is_refused_as_a_bare_number():
    with pytest.raises(UnitError, match="write 5uM if that is meant"):
        quantity("5", "mol/L", "--fix c50")


@pytest.fixture(scope="module")
def jasco_run(tmp_path_factory):
    """Cooling curves of a CD spectrometer in °C, the signal headed `CD [mdeg]`."""
    path = tmp_path_factory.mktemp("cd") / "pbi.csv"
    from test_reading import CELSIUS

    rows = ["Temperature [°C],CD [mdeg],c (uM)"]
    for i, c in enumerate(CONCENTRATIONS):
        rows += [f"{t:.1f},{y:.4f},{c * 1e6:g}" for t, y in zip(CELSIUS, cd(c, i))]
    path.write_text("\n".join(rows) + "\n", encoding="utf-8")
    return path


def test_the_summary_names_values_by_curve_in_the_datas_units(jasco_run, tmp_path):
    run = kelvara("fit", jasco_run, "--json", "fit.json", "--results", "r.xlsx", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    text = run.stdout
    assert "Te (5 µM)" in text and "baseline (20 µM)" in text and "Te[" not in text and "baseline[" not in text
    assert "mdeg" in text.split("derived:")[0] and "  signal\n" not in text
    table = text.splitlines()[-4:]
    assert table[0].split()[:2] == ["curve", "c_tot"] and "Te (°C)" in table[0] and "baseline (mdeg)" in table[0]
    assert all(" µM " in row and "e-0" not in row for row in table[1:])
    # Te in °C in the summary, as in the table
    te = float(next(line for line in text.splitlines() if line.strip().startswith("Te (5 µM)")).split()[3])
    assert 55 < te < 75
    data = json.loads((tmp_path / "fit.json").read_text())
    assert data["derived"]["Te[0]"]["label"] == "Te (5 µM)" and data["signal_unit"] == "mdeg"
    assert data["derived"]["Te[0]"]["value"] > 273.15  # the JSON keeps SI
    import pandas as pd

    sheets = pd.read_excel(tmp_path / "r.xlsx", sheet_name=None)
    derived = sheets["derived"].set_index("key")
    assert derived.loc["Te[0]", "name"] == "Te (5 µM)" and derived.loc["Te[0]", "unit"] == "°C"
    assert abs(derived.loc["Te[0]", "value"] - te) < 0.01
    curves = sheets["curves"]
    assert list(curves["c_tot (µM)"]) == pytest.approx([5.0, 10.0, 20.0]) and "baseline (mdeg)" in curves


def test_the_report_writes_symbols_and_temperatures_in_celsius(jasco_run, tmp_path):
    run = kelvara("fit", jasco_run, "--report", "r.html", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    page = (tmp_path / "r.html").read_text(encoding="utf-8")
    assert 'ΔH<sub>nuc</sub> <code class="name">delta_h_nuc</code>' in page
    assert 'T<sub>e</sub> <span class="curve">(10 µM)</span>' in page and "Te[1]" not in page
    te_row = page.split('T<sub>e</sub> <span class="curve">(5 µM)</span>')[1].split("</tr>")[0]
    assert "<td>°C</td>" in te_row and "<td>mdeg</td>" in page


@pytest.mark.parametrize("options, cure", [
    (dict(shared_amplitude=True), "--extensive describes it"),
    (dict(baseline_slope=False), "--baseline-slope lets a sloping plateau slope"),
])
def test_a_not_ok_with_a_common_cure_names_it(options, cure):
    from kelvara import _core
    from kelvara.fit import Curve, fit

    temperatures = np.linspace(280.0, 370.0, 181)
    rng = np.random.default_rng(1)
    curves = []
    for c in CONCENTRATIONS:
        f = np.array(_core.temp_cooperative_model(temperatures.tolist(), -95000.0, -180.0, 22000.0, c, 1.0))
        if "shared_amplitude" in options:  # an absorbance: the signal grows with the concentration
            signal = 0.05 + 0.8 * (c / 1e-5) * f
        else:  # a monomer baseline sloping in temperature
            signal = 0.05 + 0.002 * (temperatures - 280.0) + 0.8 * f
        curves.append(Curve(temperatures, signal + rng.normal(0.0, 0.003, temperatures.size), c))
    result = fit(curves, "cooperative", **options)
    assert not result.ok and any(p.code == "structure" and cure in p for p in result.problems), result.problems
    assert sum(cure in p for p in result.problems) == 1


def test_a_window_that_cuts_the_transition_off_is_named(tmp_path):
    run = kelvara("fit", "--example", "--range", "5C:40C", "--json", "-", cwd=tmp_path)
    assert run.returncode == 1
    problems = json.loads(run.stdout)["problems"]
    assert any("--range 5C:40C may cut the transition off: widen it" in p for p in problems), problems


def test_the_report_printed_by_chromium_keeps_headings_with_their_content(jasco_run, tmp_path):
    """Every page printed ends in content, never in a heading whose table
    or paragraph went to the next page; the Methods say what was fixed."""
    import shutil
    import subprocess

    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None or shutil.which("pdftotext") is None:
        pytest.skip("needs chromium and pdftotext (apt-get install chromium poppler-utils)")
    assert kelvara("fit", jasco_run, "--profile", "--fix", "delta_h_nuc=22kJ/mol", "--report", "r.html",
                   cwd=tmp_path).returncode == 0
    subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-pdf-header-footer",
                    f"--print-to-pdf={tmp_path / 'r.pdf'}", (tmp_path / "r.html").as_uri()],
                   check=True, capture_output=True, timeout=120)
    text = subprocess.run(["pdftotext", "-layout", str(tmp_path / "r.pdf"), "-"], check=True,
                          capture_output=True, text=True).stdout
    pages = [page for page in text.split("\f") if page.strip()]
    headings = {"Verdict", "Inputs", "How the files were read", "Fit settings", "Results", "Parameters",
                "Derived values", "Statistics", "Figures", "Methods", "Provenance",
                "Command line that reproduces this report", "Correlation of the thermodynamic parameters"}
    for page in pages:
        assert page.strip().splitlines()[-1].strip() not in headings, page[-300:]
    methods = text.split("Methods")[-1]
    assert "Fixed: delta_h_nuc = 22 kJ/mol" in " ".join(methods.split())


@pytest.mark.parametrize("args, code, width", [
    (["--figure-size", "single"], 0, 1004),  # 8.5 cm at 300 dpi
    (["--figure-size", "single", "--dpi", "600"], 0, 2008),  # line art
    (["--dpi", "50"], 2, None),
])
def test_a_journals_png_is_printed_at_300_dpi_or_as_asked(tmp_path, args, code, width):
    import struct

    run = kelvara("fit", "--example", "--plot", "f.png", *args, cwd=tmp_path)
    assert run.returncode == code, run.stderr
    if width is None:
        assert "--dpi 50: give 72 to 1200" in run.stderr and not (tmp_path / "f.png").exists()
    else:
        assert abs(struct.unpack(">I", (tmp_path / "f.png").read_bytes()[16:20])[0] - width) <= 2


def test_the_pages_example_is_named_not_found_on_the_server(tmp_path):
    from kelvara.app import worker

    text, view, _ = worker._read({"command": "read", "fields": [("example", "cooling")], "files": []}, print)
    assert "example_cooling.csv (the example shipped with kelvara)" in view["text"]
    assert "/data/" not in view["text"] and "/data/" not in text


@pytest.mark.parametrize("value, error, unit, said", [
    (-95000.0, 200.0, "J/mol", None),
    (0.0, 1.6e12, "J/mol", "not determined"),  # 0 +- 1600000000 kJ/mol
    (5.1e32, float("nan"), "J/mol", "not determined"),
    (-180.0, 45.0, "J/(mol K)", None),  # wide, but within the size entropies take
    (-413.8 + 273.15, 0.5, "K", "not a temperature"),
    (float("inf"), 1.0, "K", "not determined"),
    (0.003, 0.004, "1", None),  # sigma: the verdict judges it, the number stands
])
def test_a_value_that_means_nothing_is_said_so(value, error, unit, said):
    from kelvara.units import meaningless

    assert meaningless(value, error, unit) == said


def test_nothing_is_said_at_a_te_that_is_no_temperature():
    import pathlib
    import warnings

    import kelvara
    from kelvara.fit import fit
    from kelvara.io import read_curves
    from kelvara.tables import curve_table

    curves = read_curves(pathlib.Path(kelvara.__file__).parent / "data" / "example_cooling.csv")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        result = fit(curves, "cooperative", fix={"delta_h": 50000.0, "delta_s": -180.0, "delta_h_nuc": 22000.0})
    assert not result.ok and "te_not_a_temperature" in [p.code for p in result.problems]
    text = result.summary("°C") + "\n" + curve_table(result, "°C")
    assert "not a temperature" in text and "-450" not in text and "-454" not in text
    # Nothing is computed at a Te that is no temperature: sigma and the degree of polymerisation there.
    assert all(not np.isfinite(d.value) for name, d in result.derived.items() if name.startswith(("sigma", "dp_n")))
