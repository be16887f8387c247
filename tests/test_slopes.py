"""Sloping signals chosen by the data: a monomer baseline that slopes in T
(as most CD curves do) is found and fitted, one that does not is left out
without changing the fit, a slope never rescues a model that does not
apply, and every model of a comparison chooses for itself."""

import json
import math
import warnings

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

from kelvara import _core  # noqa: E402
from kelvara.fit import Curve, compare, fit  # noqa: E402

from helpers import kelvara_in_process, write_cooling_run  # noqa: E402
from test_correlated_noise import ar1, cooling  # noqa: E402

KELVIN = np.linspace(363.15, 278.15, 171)
TRUTH = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 18000.0}


def sloped(seed, slope=0.02, aggregate=0.0):
    """CD cooling curves of 30 mdeg whose monomer baseline slopes by `slope`
    mdeg/K (and the aggregate's signal by `aggregate` more), under AR(1)
    noise of rho 0.6 and SD 0.3 mdeg."""
    rng = np.random.default_rng(seed)
    curves = []
    for c_tot in (5e-6, 1e-5, 2e-5):
        f = np.array(_core.temp_cooperative_model(KELVIN.tolist(), *TRUTH.values(), c_tot, 1.0))
        dt = KELVIN - 298.15
        curves.append(Curve(KELVIN, slope * dt + (-30.0 + aggregate * dt) * f + ar1(rng, KELVIN.size, 0.6, 0.3),
                            c_tot))
    return curves


def choices(result):
    return {c.option: c for c in result.choices}


@pytest.mark.parametrize("seed", [0, 1])
def test_a_sloping_baseline_is_found_and_the_values_come_back(seed):
    """Left out, a slope of 0.02 mdeg/K biased delta_h_nuc by about 3 SE
    while the fit looked sound; found, the values are the truth's."""
    result = fit(sloped(seed), "cooperative")
    chosen = choices(result)
    assert result.ok, result.problems
    assert chosen["baseline_slope"].kept and chosen["baseline_slope"].chosen
    assert chosen["baseline_slope"].statistic > chosen["baseline_slope"].limit
    assert not chosen["aggregate_slope"].kept
    assert result.notes[0].startswith("monomer baseline slope: kept, chosen by the data (the 3 slopes differ")
    for name, truth in TRUTH.items():
        p = result.parameters[name]
        assert abs(p.value - truth) < 3 * p.stderr, (name, p.value, p.stderr)
    assert all(0.01 < c.slope < 0.03 for c in result.curve_results)
    forced = fit(sloped(seed), "cooperative", baseline_slope=False)
    assert not choices(forced)["baseline_slope"].kept and not choices(forced)["baseline_slope"].chosen
    assert not any(n.startswith("monomer baseline slope") for n in forced.notes)


def test_without_a_slope_the_choice_leaves_the_fit_as_it_was():
    curves = cooling(0.0, 5)
    chosen = fit(curves, "cooperative")
    flat = fit(curves, "cooperative", baseline_slope=False, aggregate_slope=False)
    assert [c.kept for c in chosen.choices] == [False, False]
    assert chosen.chi2 == flat.chi2 and chosen.free == flat.free
    assert chosen.parameters["delta_h"].value == flat.parameters["delta_h"].value
    data = json.loads(json.dumps(chosen.to_dict(), allow_nan=False))
    assert [(s["option"], s["kept"], s["chosen_by_data"]) for s in data["choices"]] == [
        ("baseline_slope", False, True), ("aggregate_slope", False, True)]
    assert data["options"]["baseline_slope"] is None


def test_the_aggregate_slope_is_found_when_the_rest_is_sound():
    result = fit(sloped(2, 0.02, 0.1), "cooperative")
    assert result.ok and [c.kept for c in result.choices] == [True, True]
    for i, curve in enumerate(result.curve_results):
        assert abs(curve.aggregate_slope - 0.1) < 3 * result.parameters[f"aggregate_slope[{i}]"].stderr
    assert abs(result.parameters["delta_h"].value - TRUTH["delta_h"]) < 3 * result.parameters["delta_h"].stderr


@pytest.mark.parametrize("kind, model, seed", [
    ("cooperative", "isodesmic", 100),  # the aggregate's slope alone would bend isodesmic towards the data
    ("two pathways", "cooperative", 102),
])
def test_a_slope_never_turns_a_model_that_does_not_apply_into_one_that_does(kind, model, seed):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        result = fit(cooling(0.9, seed, kind), model)
    aggregate = choices(result)["aggregate_slope"]
    assert not result.ok and "model" in result.failure
    assert not aggregate.kept and aggregate.reason == "misfit"
    assert any(n.startswith("aggregate signal slope: left out: the residuals without it are not noise")
               for n in result.notes)


def test_a_slope_that_would_swallow_the_transition_is_left_out():
    """A transition wider than its window is as much a slope as a
    transition: the slope is left out, and the verdict names the missing
    plateaus instead of losing the transition."""
    from kelvara.models import isodesmic_sigmoid

    t = np.linspace(320.0, 360.0, 161)
    signal = 0.1 + 0.8 * isodesmic_sigmoid(t, 340.0, -40000.0) + np.random.default_rng(4).normal(0, 0.003, t.size)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        result = fit([Curve(t, signal, 1e-5)], "isodesmic_sigmoid")
    baseline = choices(result)["baseline_slope"]
    assert not baseline.kept and baseline.reason == "confounded"
    assert result.to_dict()["problem_codes"] == ["no_plateau"]


def test_compare_lets_every_model_choose_so_none_wins_by_absorbing_the_slope():
    """Without the slope, the isodesmic pathway of coop_iso soaked up the
    baseline and won the comparison."""
    ranking = compare(sloped(0), ["cooperative", "coop_iso"])
    assert all(choices(r)["baseline_slope"].kept for r in ranking.results)
    assert ranking.best is not None and ranking.best.model == "cooperative"


@pytest.mark.parametrize("flags, kept, chosen", [
    ([], True, True),
    (["--no-baseline-slope"], False, False),
    (["--baseline-slope", "--no-baseline-slope"], False, False),  # the last one given holds
    (["--no-baseline-slope", "--baseline-slope"], True, False),
])
def test_the_command_says_what_it_chose_and_obeys_either_flag(tmp_path, flags, kept, chosen):
    data = write_cooling_run(sloped(1), tmp_path / "sloped.csv")
    run = kelvara_in_process("fit", data, "--json", tmp_path / "out.json", *flags, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    slope = json.loads((tmp_path / "out.json").read_text())["choices"][0]
    assert (slope["kept"], slope["chosen_by_data"]) == (kept, chosen)
    assert ("monomer baseline slope: kept, chosen by the data" in run.stdout) == (kept and chosen)
    if chosen:
        assert math.isfinite(slope["wald_chi2"]) and slope["limit"] == pytest.approx(11.345, abs=1e-3)
