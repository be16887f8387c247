"""The entropy of nucleation: sigma = exp(delta_s_nuc / R - delta_h_nuc /
(R T)), fixed at 0 unless freed, recovered when freed."""

import json
import math

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

from helpers import write_cooling_run  # noqa: E402
from kelvara.cli import main  # noqa: E402
from kelvara.fit import Curve, compare, fit  # noqa: E402
from kelvara.fit.jacobians import numerical_jacobian, tall_jacobian  # noqa: E402
from kelvara.models import GAS_CONSTANT, MODELS, concentration_fraction, constants  # noqa: E402

TRUTH = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 30000.0, "delta_s_nuc": 40.0}
CONCENTRATIONS = (1e-6, 2e-6, 5e-6, 1e-5, 2e-5, 5e-5, 1e-4)


def cooling(truth=TRUTH, seed=3, model="cooperative"):
    """Seven CD cooling curves from 90 to -5 °C, noise 1 % of the change."""
    rng = np.random.default_rng(seed)
    kelvin = np.linspace(363.15, 268.15, 381)
    curves = []
    for c_tot in CONCENTRATIONS:
        fraction = concentration_fraction(MODELS[model], constants(MODELS[model], truth, kelvin), c_tot,
                                          3 if model == "cooperative_n" else None)
        curves.append(Curve(kelvin, -2.0 - 40.0 * fraction + rng.normal(0.0, 0.4, kelvin.size), c_tot))
    return curves


@pytest.mark.parametrize("seed", [3, 4])
def test_a_free_entropy_of_nucleation_is_recovered(seed):
    result = fit(cooling(seed=seed), "cooperative", free=("delta_s_nuc",))
    assert result.ok, result.problems
    for name, truth in TRUTH.items():
        p = result.parameters[name]
        assert abs(p.value - truth) < 3 * p.stderr, (name, p.value, p.stderr)


def test_fixed_at_zero_it_biases_the_nucleation_enthalpy_and_says_so_in_the_table():
    result = fit(cooling(), "cooperative")
    p = result.parameters["delta_s_nuc"]
    assert p.fixed and p.value == 0.0
    assert result.parameters["delta_h_nuc"].value < 20000.0  # what freeing it mends
    assert "delta_s_nuc" in result.summary()


def test_sigma_at_te_carries_the_entropy():
    result = fit(cooling(), "cooperative", free=("delta_s_nuc",))
    v = {n: p.value for n, p in result.parameters.items()}
    te = result.derived["Te[0]"].value
    assert result.derived["sigma(Te)[0]"].value == pytest.approx(
        math.exp(v["delta_s_nuc"] / GAS_CONSTANT - v["delta_h_nuc"] / (GAS_CONSTANT * te)), rel=1e-12)


def test_at_zero_the_models_are_the_same_doubles():
    """delta_s_nuc = 0 gives exp(0 - h / rt), which is exp(-h / rt) to the bit."""
    kelvin = np.linspace(280.0, 360.0, 81)
    without = {k: v for k, v in TRUTH.items() if k != "delta_s_nuc"}
    for model in ("cooperative", "coop_iso"):
        values = dict(without, delta_h_iso=-60000.0, delta_s_iso=-110.0, delta_h_coop=-95000.0,
                      delta_s_coop=-180.0, delta_h_nuc_coop=30000.0)
        a = constants(MODELS[model], values, kelvin)["sigma"].tolist()
        b = constants(MODELS[model], dict(values, delta_s_nuc=0.0), kelvin)["sigma"].tolist()
        assert a == b


@pytest.mark.parametrize("model, options, text", [
    ("isodesmic", {}, "has no parameter fixed unless freed"),
    ("cooperative", {"fix": {"delta_s_nuc": 10.0}}, "both freed and fixed"),
    ("vanderschoot", {}, "has no parameter fixed unless freed"),
])
def test_freeing_what_cannot_be_freed_is_refused(model, options, text):
    with pytest.raises(ValueError, match=text):
        fit(cooling()[:2], model, free=("delta_s_nuc",), **options)


def test_a_series_at_one_temperature_cannot_free_it():
    c = np.logspace(-7, -4, 30)
    curve = Curve.concentration_series(c, np.linspace(0, 1, c.size), temperature=298.15)
    with pytest.raises(ValueError, match="more than one temperature"):
        fit(curve, "cooperative", free=("delta_s_nuc",))


def test_the_exact_jacobian_covers_it():
    result = fit(cooling(), "cooperative", free=("delta_s_nuc",))
    problem, x = result._problem, result._x
    exact, numerical = tall_jacobian(problem, x), numerical_jacobian(problem, x)
    assert np.all(np.abs(exact - numerical) <= 1e-5 * np.linalg.norm(numerical, axis=0) + 1e-12)


def test_compare_frees_it_where_a_model_has_it():
    comparison = compare(cooling()[:4], ["isodesmic", "cooperative"], free=("delta_s_nuc",))
    by_model = {r.model: r for r in comparison.results}
    assert not by_model["cooperative"].parameters["delta_s_nuc"].fixed
    assert "delta_s_nuc" not in by_model["isodesmic"].parameters


def test_the_command_frees_it_and_writes_value_and_error(tmp_path, capsys):
    data = write_cooling_run(cooling(), tmp_path / "run.csv")
    out = tmp_path / "fit.json"
    assert main(["fit", str(data), "--model", "cooperative", "--free", "delta_s_nuc", "--json", str(out)]) == 0
    parameters = json.loads(out.read_text())["parameters"]
    p = parameters["delta_s_nuc"]
    assert abs(p["value"] - 40.0) < 3 * p["stderr"]
    assert main(["fit", str(data), "--model", "isodesmic", "--free", "delta_s_nuc"]) == 2
    assert "cannot free 'delta_s_nuc'" in capsys.readouterr().err
