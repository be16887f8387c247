"""The report for a paper's supporting information and the results
workbook: every section there, the inputs hashed, the command that
reproduces it, values rounded with units, images embedded, no network."""

import hashlib
import html
import json
import re

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")
pytest.importorskip("matplotlib")

from test_correlated_noise import cooling  # noqa: E402

from kelvara.cli import main  # noqa: E402
from kelvara.fit import compare, fit  # noqa: E402


def example_file():
    from kelvara.cli.common import EXAMPLE

    return str(EXAMPLE)


def test_the_fit_report_holds_every_section(tmp_path, capsys):
    path = tmp_path / "r.html"
    assert main(["fit", example_file(), "--profile", "--bootstrap", "10", "--seed", "1", "--report", str(path)]) == 0
    page = path.read_text(encoding="utf-8")
    for heading in ("Verdict", "Inputs", "How the files were read", "Fit settings",
                    "Command line that reproduces this report",
                    "Model: cooperative", "Results", "Parameters", "Derived values",
                    "Correlation of the thermodynamic parameters", "Statistics", "Figures", "Methods", "Provenance"):
        assert f">{heading}<" in page, heading
    assert "<p class='ok'>ok</p>" in page
    with open(example_file(), "rb") as handle:
        digest = hashlib.sha256(handle.read()).hexdigest()
    assert digest in page
    assert f"kelvara fit {example_file()} --profile --bootstrap 10 --seed 1 --report {path}" in page
    # Values rounded to their errors, with units; intervals of both kinds.
    assert re.search(r"<td>ΔH <code class=\"name\">delta_h</code></td><td class='number'>-9\d\.\d\d</td>"
                     r"<td class='number'>0\.\d\d</td><td>kJ/mol</td><td class='number'>\[-9", page)
    assert "profile likelihood 95 %" in page and "bootstrap 95 % (10 resamples)" in page
    assert page.count("src='data:image/png;base64,") >= 5  # the equations and the figure, embedded
    assert "<figcaption>Data and fitted curves (<i>T</i><sub>e</sub> marked)," in page
    assert 'ΔH<sub>n</sub> <code class="name">delta_h_n</code>' in page  # with the name --fix takes it by
    assert "http://" not in page.replace("http://www.w3.org", "") and "https://" not in page  # nothing fetched
    methods = re.search(r"<p class='methods'>(.*?)</p>", page).group(1)
    assert "cooperative model (dimer nucleus) was fitted globally to 3 cooling or heating curves (543 points" in methods
    assert "The signal was taken as proportional to the fraction of molecules in aggregates" in methods
    assert "Goldstein" in page and "Python" in page and "SciPy" in page


def test_python_writes_the_same_report_and_a_comparison_has_its_ranking(tmp_path):
    result = fit(cooling(0.9, 3), "cooperative", baseline_slope=True, fix={"delta_h_nuc": 22000.0})
    assert result.report(tmp_path / "fit.html") == tmp_path / "fit.html"
    page = (tmp_path / "fit.html").read_text(encoding="utf-8")
    given = result.report()  # no path: the page itself
    assert given.split("<h2>Provenance</h2>")[0] == page.split("<h2>Provenance</h2>")[0]
    # The repr is a few lines: verdict, the shared values rounded to their errors, the data's size.
    shown = repr(result).splitlines()
    assert len(shown) == 4 and shown[0].startswith("<FitResult cooperative: ")
    assert re.fullmatch(r"  delta_h = -\d+\.\d+ ± \d\.\d+ kJ/mol", shown[1]) and "baseline" not in repr(result)
    assert "<li>fixed: delta_h_nuc = 22 kJ/mol, delta_s_nuc = 0 J/(mol K)</li>" in page
    assert "<li>baseline slope in T (per curve)</li>" in page
    assert "noise correlated from point to point" in page and "sandwich covariance" in page
    # The Methods say of the noise what the notes say: one reading of it, not two figures.
    note = next(n for n in result.notes if n.startswith("noise: residuals correlated"))
    assert note.split(" (", 1)[1].split(")")[0] in html.unescape(page)
    comparison = compare(cooling(0.0, 3), ["isodesmic", "cooperative"])
    comparison.report(tmp_path / "compare.html")
    page = (tmp_path / "compare.html").read_text(encoding="utf-8")
    assert ">Ranking<" in page and "NOT OK: the model does not describe the data" in page
    # Each curve's baseline and amplitude in the best model's table only: three curves, one row each.
    assert page.count("<td>baseline <span class=\"curve\">") == 3
    methods = re.search(r"<p class='methods'>(.*?)</p>", page).group(1)
    assert methods.startswith("2 models (the cooperative model (dimer nucleus) and the isodesmic model) were each "
                              "fitted globally to 3 cooling or heating curves")
    assert "The models were ranked by the Akaike information criterion (AIC)." in methods and "NOT OK" not in methods
    assert "these did not: the isodesmic model: the model does not describe the data." in methods


@pytest.mark.parametrize("option, path, words", [
    ("--report", "r.txt", "the report is written as .html"),
    ("--results", "r.json", "the results are written as .xlsx or .csv"),
])
def test_report_and_results_names_are_checked_before_any_work(tmp_path, capsys, option, path, words):
    assert main(["fit", "--example", option, str(tmp_path / path)]) == 2
    assert words in capsys.readouterr().err
    assert not (tmp_path / path).exists()


def test_the_results_workbook_has_a_sheet_each_with_units(tmp_path):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("openpyxl")
    path = tmp_path / "r.xlsx"
    assert main(["fit", "--example", "--profile", "--results", str(path)]) == 0
    sheets = pd.read_excel(path, sheet_name=None)
    assert list(sheets) == ["parameters", "derived", "curves", "statistics", "verdict"]
    parameters = sheets["parameters"].set_index("name")
    assert parameters.loc["delta_h", "unit"] == "J/mol"
    assert parameters.loc["delta_h", "profile_low"] < parameters.loc["delta_h", "value"]
    assert "Te (K)" in sheets["curves"] and len(sheets["curves"]) == 3
    assert sheets["verdict"]["verdict"][0] == "ok"


@pytest.mark.parametrize("model, options, words", [
    ("cooperative", {}, "The thermodynamic parameters were shared by every curve; each curve had its own baseline "
                        "and amplitude, solved"),
    ("cooperative", {"shared_amplitude": True, "shared_baseline": True},
     "shared by every curve; every curve shared one baseline and one amplitude, solved"),
    ("cooperative", {"shared_baseline": True}, "every curve shared one baseline and had its own amplitude"),
    ("vanderschoot", {}, "Each curve had its own te, h_e and ka; each curve had its own baseline and amplitude"),
])
def test_the_methods_paragraph_says_what_the_curves_shared(tmp_path, model, options, words):
    result = fit(cooling(0.0, 3), model, **options)
    result.report(tmp_path / "fit.html")
    methods = re.search(r"<p class='methods'>(.*?)</p>", (tmp_path / "fit.html").read_text(encoding="utf-8")).group(1)
    assert words in methods


def test_a_series_methods_say_nothing_of_slopes_nobody_asked_for(tmp_path):
    assert main(["fit", "--example", "series", "--report", str(tmp_path / "s.html"), "--json",
                 str(tmp_path / "s.json")]) == 0
    methods = re.search(r"<p class='methods'>(.*?)</p>", (tmp_path / "s.html").read_text(encoding="utf-8")).group(1)
    assert "concentration series" in methods and "slope" not in methods and "as asked" not in methods
    assert "slope" not in " ".join(json.loads((tmp_path / "s.json").read_text())["notes"])


def test_the_options_travel_with_the_result_into_json_and_the_report(tmp_path):
    from kelvara.fit.options import FitOptions

    result = fit(cooling(0.0, 3), "cooperative", bounds={"delta_h": (-2e5, -5e4)}, start={"delta_h": -9e4},
                 shared_baseline=True)
    options = result.options
    assert options.shared_baseline and dict(options.bounds) == {"delta_h": (-2e5, -5e4)}
    with pytest.raises(TypeError):
        options.fix["delta_h"] = 1.0  # frozen, maps included
    saved = result.to_dict()["options"]
    assert saved["bounds"] == {"delta_h": [-2e5, -5e4]} and saved["shared_baseline"] is True
    result.report(tmp_path / "fit.html")
    page = (tmp_path / "fit.html").read_text(encoding="utf-8")
    assert "<li>bounds of delta_h: -200 kJ/mol to -50 kJ/mol</li>" in page  # in the unit printed
    assert "<li>started at: delta_h = -90 kJ/mol</li>" in page
    # What compare gives each model: its own part of the options.
    given = FitOptions(nuc_size=(2, 3, 4), shared=("te",), free=("delta_s_nuc",))
    assert given.for_model("cooperative") == FitOptions(free=("delta_s_nuc",))
    assert given.for_model("cooperative_n").nuc_size == (2, 3, 4)
    assert given.for_model("vanderschoot") == FitOptions(shared=("te",))
