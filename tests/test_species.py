"""Species that differ in signal: oligomers up to the nucleus with a signal
of their own beside the polymers.  Their shares are exact, equal signals
give the fit without them, and fits of data made with known signals (CD-
silent oligomers, oligomers of opposite sign) come back to their truths or
say that they cannot."""

import json
import warnings

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")
pytest.importorskip("mpmath")

from kelvara.fit import Curve, fit  # noqa: E402
from kelvara.fit.points import Workspace  # noqa: E402
from kelvara.models import MODELS, constants  # noqa: E402

from helpers import kelvara_in_process, write_cooling_run  # noqa: E402
from reference import exact_nucleus_species  # noqa: E402

# sigma crosses 1 at 289 K: nucleation favoured above, disfavoured below.
TRUTH = {"delta_h": -150000.0, "delta_s": -460.0, "delta_h_nuc": 110000.0, "delta_s_nuc": 380.0}
KELVIN = np.linspace(363.15, 268.15, 381)
CONCENTRATIONS = (1e-6, 2e-6, 5e-6, 1e-5, 2e-5, 5e-5, 1e-4)


def shares(c_tot, n=8, kelvin=KELVIN, values=TRUTH):
    """(fraction aggregated, oligomers' share, polymers' share) from the kernels."""
    points = Workspace(MODELS["cooperative_n"], n, kelvin.size)
    total = points.solve(values, kelvin, np.full(kelvin.size, c_tot), slopes=False).copy()
    oligomers, polymers, _ = points.species(slopes=False)
    return total, oligomers.copy(), polymers.copy()


def cooling(seed, oligomers, polymers=-40.0):
    """Seven CD cooling curves whose oligomers give `oligomers` and polymers
    `polymers` mdeg at full share, noise 0.4 mdeg."""
    rng = np.random.default_rng(seed)
    curves = []
    for c_tot in CONCENTRATIONS:
        _, o, p = shares(c_tot)
        curves.append(Curve(KELVIN, -2.0 + oligomers * o + polymers * p + rng.normal(0, 0.4, KELVIN.size), c_tot))
    return curves


def species_fit(curves, **options):
    return fit(curves, "cooperative_n", nuc_size=8, free=("delta_s_nuc",), species_signals=True,
               baseline_slope=False, aggregate_slope=False, **options)


@pytest.mark.parametrize("n", [2, 3, 8])
def test_the_shares_are_the_species_summed_one_by_one(n):
    kelvin = np.array([363.15, 300.0, 289.0, 280.0, 268.15])
    k = constants(MODELS["cooperative_n"], TRUTH, kelvin)
    for c_tot in (1e-6, 1e-4):
        total, oligomers, polymers = shares(c_tot, n, kelvin)
        for j in range(kelvin.size):
            exact_total, exact_oligomers = exact_nucleus_species(c_tot, k["k"][j], k["sigma"][j], n)
            assert oligomers[j] == pytest.approx(exact_oligomers, rel=1e-13)
            assert polymers[j] == pytest.approx(exact_total - exact_oligomers, rel=1e-9, abs=1e-15 * exact_total)
            assert oligomers[j] + polymers[j] == pytest.approx(total[j], rel=1e-13)


def test_equal_signals_give_the_fit_without_species():
    curves = cooling(4, -40.0)
    plain = fit(curves, "cooperative_n", nuc_size=8, free=("delta_s_nuc",), baseline_slope=False,
                aggregate_slope=False)
    fixed = {f"oligomer_amplitude[{i}]": c.amplitude for i, c in enumerate(plain.curve_results)}
    held = {n: p.value for n, p in plain.parameters.items()}
    same = fit(curves, "cooperative_n", nuc_size=8, species_signals=True, baseline_slope=False,
               aggregate_slope=False, fix={**fixed, **held})
    assert same.chi2 == pytest.approx(plain.chi2, rel=1e-9)
    problem, x = plain._problem, plain._x
    other = same._problem
    for i, curve in enumerate(curves):
        assert other.signal(same._x, i, curve.x) == pytest.approx(problem.signal(x, i, curve.x), rel=1e-12, abs=1e-12)


@pytest.mark.parametrize("oligomers, seed", [(20.0, 3), (20.0, 4), (-40.0, 3)])
def test_signals_of_each_species_come_back(oligomers, seed):
    result = species_fit(cooling(seed, oligomers))
    assert result.ok, result.problems
    for name, truth in TRUTH.items():
        p = result.parameters[name]
        assert abs(p.value - truth) < 3 * p.stderr, (name, p.value, p.stderr)
    # the curves with most oligomers say what they give
    for i in (4, 5, 6):
        p = result.parameters[f"oligomer_amplitude[{i}]"]
        assert abs(p.value - oligomers) < 3 * p.stderr + 1.0, (i, p.value, p.stderr)
    assert result.curve_results[6].oligomer_amplitude == result.parameters["oligomer_amplitude[6]"].value


def test_silent_oligomers_are_found_and_recovered_or_the_fit_says_it_cannot_choose():
    """CD-silent oligomers: fitted as one aggregate the curves looked sound
    with delta_h_nuc some 800 kJ/mol from the truth.  By default the data
    now choose species signals, and the fit either comes back to the truth
    or names why it cannot; forced to one signal, it is the old answer."""
    outcomes = []
    for seed in (3, 4):
        curves = cooling(seed, 0.0)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            result = fit(curves, "cooperative_n", nuc_size=8, free=("delta_s_nuc",))
        species = {c.option: c for c in result.choices}["species_signals"]
        assert species.kept and species.chosen and species.statistic > species.limit
        if result.ok:
            for name, truth in TRUTH.items():
                p = result.parameters[name]
                assert abs(p.value - truth) < 3 * p.stderr, (seed, name, p.value, p.stderr)
        else:
            assert [p.code for p in result.problems] == ["rival_minimum"], result.problems
            assert result.problems[0].startswith("the data do not single out one answer")
        outcomes.append(result.ok)
    assert any(outcomes)
    forced = fit(cooling(3, 0.0), "cooperative_n", nuc_size=8, free=("delta_s_nuc",), species_signals=False,
                 baseline_slope=False, aggregate_slope=False)
    assert abs(forced.parameters["delta_h_nuc"].value - TRUTH["delta_h_nuc"]) > 10 * forced.parameters[
        "delta_h_nuc"].stderr  # 22 SE off


def test_equal_signals_leave_species_out_or_cost_only_precision():
    for seed in (3, 4):
        result = fit(cooling(seed, -40.0), "cooperative_n", nuc_size=8, free=("delta_s_nuc",))
        assert result.ok, result.problems
        for name, truth in TRUTH.items():
            p = result.parameters[name]
            assert abs(p.value - truth) < 3 * p.stderr, (seed, name, p.value, p.stderr)


def test_species_signals_are_refused_where_there_is_no_nucleus_and_shown_where_there_is(tmp_path):
    data = write_cooling_run(cooling(3, 20.0), tmp_path / "run.csv")
    run = kelvara_in_process("fit", data, "--model", "isodesmic", "--species-signals", cwd=tmp_path)
    assert run.returncode == 2
    assert "species_signals applies to the models with a nucleus (cooperative, cooperative_n" in run.stderr
    run = kelvara_in_process("fit", data, "--model", "cooperative_n", "--nuc-size", "8", "--free", "delta_s_nuc",
                             "--species-signals", "--no-baseline-slope", "--no-aggregate-slope",
                             "--json", "out.json", "--curves", "points.csv", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "oligomer_amplitude (100 µM)" in run.stdout  # the seventh curve's, by its label
    data = json.loads((tmp_path / "out.json").read_text())
    assert data["options"]["species_signals"] is True and "oligomer_amplitude" in data["curves"][6]
    header = (tmp_path / "points.csv").read_text().splitlines()[0]
    assert "oligomers" in header and "polymers" in header
