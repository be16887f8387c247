"""A scan of nucleus sizes says how strongly the data prefer the best one."""

import json
import warnings

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

from helpers import write_cooling_run  # noqa: E402
from kelvara.cli import main  # noqa: E402
from kelvara.fit import Curve, fit  # noqa: E402
from kelvara.models import MODELS, concentration_fraction, constants  # noqa: E402

TRUTH = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 12000.0}


def cooling(nuc_size=4, seed=5):
    rng = np.random.default_rng(seed)
    kelvin = np.linspace(363.15, 268.15, 381)
    model = MODELS["cooperative_n"]
    curves = []
    for c_tot in (2e-6, 5e-6, 1e-5, 2e-5):
        fraction = concentration_fraction(model, constants(model, TRUTH, kelvin), c_tot, nuc_size)
        curves.append(Curve(kelvin, -2.0 - 40.0 * fraction + rng.normal(0.0, 0.4, kelvin.size), c_tot))
    return curves


def test_the_scan_finds_the_nucleus_and_the_range_the_data_do_not_reject():
    # Oligomers known to sign as the polymers do: the sizes compare with equal signals.
    result = fit(cooling(), "cooperative_n", nuc_size=range(2, 7), species_signals=False)
    support = result.nuc_size_support
    assert result.nuc_size == support.best == 4
    low, high = support.supported
    assert 2 < low <= 4 <= high  # a dimer and a trimer are rejected
    assert support.rise[4] == 0.0 and support.rise[2] > 3.84
    assert all((r <= 3.84) == (low <= n <= high) for n, r in support.rise.items())
    assert any(n.startswith("nuc_size scanned 2 to 6: best 4") for n in result.notes)


def silent_oligomers():
    """Cooling curves of a nucleus of four whose oligomers give no signal."""
    from kelvara.fit.points import Workspace

    rng = np.random.default_rng(0)
    kelvin = np.linspace(363.15, 278.15, 341)
    truth = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 8000.0, "delta_s_nuc": 0.0}
    curves = []
    for c_tot in (5e-6, 1e-5, 2e-5, 5e-5):
        points = Workspace(MODELS["cooperative_n"], 4, kelvin.size)
        points.solve(truth, kelvin, np.full(kelvin.size, c_tot), slopes=False)
        _, polymers, _ = points.species(slopes=False)
        curves.append(Curve(kelvin, -2.0 - 40.0 * polymers + rng.normal(0.0, 0.4, kelvin.size), c_tot))
    return curves


def test_silent_oligomers_leave_the_size_open_and_the_fit_says_so():
    """CD-silent oligomers up to a nucleus of four: without species signals a
    dimer nucleus fits as well, with an entropy several standard errors off.
    The scan with species signals at every size does not reject four, and
    the fit names the size it cannot single out instead of passing the
    dimer's values as ok."""
    result = fit(silent_oligomers(), "cooperative_n", nuc_size=range(2, 7))
    assert 4 in result.nuc_size_support.kept
    assert not result.ok and "the data do not single out the nucleus size" in result.problems[-1]
    assert "--no-species-signals" in result.problems[-1]


def test_compare_scans_the_nucleus_and_says_the_dimer_values_rest_on_its_size():
    """compare's default candidates include the nucleus scan with species
    signals: over silent oligomers of four the dimer nucleus stays best of
    the mechanisms, but the ranking says that a larger nucleus fits as well
    with other values."""
    from kelvara.fit import compare

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # coop_iso has no second pathway to find
        comparison = compare(silent_oligomers())
    scan = next(r for r in comparison.results if r.model == "cooperative_n")
    assert 4 in scan.nuc_size_support.kept
    why = comparison.evidence["not_decisive"]
    assert not comparison.evidence["decisive"] and why.startswith("cooperative_n fits about as well")
    assert "the data do not single out its nucleus size (not rejected: " in why


def test_a_range_that_reaches_the_end_of_the_scan_says_so():
    result = fit(cooling(), "cooperative_n", nuc_size=range(3, 6))
    text = result.nuc_size_support.text
    assert "widen the scan" in text and result.nuc_size_support.supported[1] == 5


def test_the_json_carries_the_scan(tmp_path):
    data = write_cooling_run(cooling(), tmp_path / "run.csv")
    out = tmp_path / "fit.json"
    assert main(["fit", str(data), "--model", "cooperative_n", "--nuc-size", "2:5", "--no-species-signals",
                 "--json", str(out)]) == 0
    scan = json.loads(out.read_text())["nuc_size_scan"]
    assert scan["best"] == 4 and set(scan["chi2"]) == {"2", "3", "4", "5"}
    assert scan["supported"][0] <= 4 <= scan["supported"][1] and scan["level"] == 0.95
    single = tmp_path / "one.json"
    assert main(["fit", str(data), "--model", "cooperative_n", "--nuc-size", "4", "--json", str(single)]) == 0
    assert json.loads(single.read_text())["nuc_size_scan"] is None


def test_the_figure_has_a_panel_of_the_scan():
    pytest.importorskip("matplotlib")
    result = fit(cooling(), "cooperative_n", nuc_size=range(3, 6))
    figure = result.plot()
    labels = [axis.get_xlabel() for axis in figure.axes]
    assert "nucleus size" in labels
    single = fit(cooling(), "cooperative_n", nuc_size=4).plot()
    assert "nucleus size" not in [axis.get_xlabel() for axis in single.axes]


def test_a_scan_leaves_out_the_sizes_whose_fit_failed_and_names_them():
    """n = 2 did not converge (at the lowest chi2 of all), n = 5 could not be
    evaluated: neither is compared, no rise is negative, and sizes not
    rejected that are not contiguous are listed."""
    from types import SimpleNamespace

    from kelvara.fit.scan import nucleus_support as _nucleus_support

    def run(n, chi2, converged=True):
        return SimpleNamespace(nuc_size=n, chi2=chi2, converged=converged, n_points=103, free=["a", "b", "c"],
                               parameters={}, noise_model=None, ok=True)

    results = [run(2, 50.0, converged=False), run(3, 101.0), run(4, 100.0), run(5, float("nan")),
               run(6, 500.0), run(7, 102.0)]
    best = results[2]
    best.ok = False  # a likelihood ratio between fits that do not describe the data supports nothing
    refused = _nucleus_support(best, results)
    assert refused.kept == [] and "is NOT OK (see the verdict), so the scan supports no size" in refused.text
    assert "do not reject" not in refused.text
    best.ok = True
    support = _nucleus_support(best, results)
    assert support.failed == [2, 5] and set(support.rise) == {3, 4, 6, 7}
    assert min(support.rise.values()) == 0.0 and support.rise[6] > 3.84
    assert support.kept == [3, 4, 7] and support.supported == (3, 7)
    assert "do not reject 3, 4 and 7" in support.text and "rise per size: 2: not converged" in support.text
    assert "the fit of 2 and 5 did not converge" in support.text
    assert json.loads(json.dumps(support.to_dict(), allow_nan=False))["failed"] == [2, 5]
