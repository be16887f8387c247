"""A model is one entry of the table: a new one, written there only, fits,
reports and is refused where its entry is incomplete."""

import dataclasses

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

from kelvara import _kernels  # noqa: E402
from kelvara.fit import Curve, fit  # noqa: E402
from kelvara.fit.points import Workspace  # noqa: E402
from kelvara.models import MODELS, Model, isodesmic_sigmoid  # noqa: E402


def cooling_curves(model="cooperative"):
    truth = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 22000.0}
    rng = np.random.default_rng(3)
    t = np.linspace(280.0, 370.0, 121)
    curves = []
    for c_tot in (5e-6, 2e-5):
        fraction = np.array(MODELS[model].function(t.tolist(), *truth.values(), c_tot, 1.0))
        curves.append(Curve(t, 0.1 + 0.9 * fraction + rng.normal(0, 0.004, t.size), c_tot))
    return curves


def test_a_model_written_only_in_the_table_fits_and_reports_as_its_twin(monkeypatch):
    twin = dataclasses.replace(MODELS["cooperative"], name="my_cooperative", description="a twin",
                               citations=("A. Author, A Paper, J. Chem. 2026, 1, 1-2.",))
    monkeypatch.setitem(MODELS, "my_cooperative", twin)
    curves = cooling_curves()
    mine, theirs = fit(curves, "my_cooperative"), fit(curves, "cooperative")
    assert mine.ok and mine.model == "my_cooperative"
    assert {n: p.value for n, p in mine.parameters.items()} == {n: p.value for n, p in theirs.parameters.items()}
    assert mine.derived.keys() == theirs.derived.keys()

    pytest.importorskip("matplotlib")  # the report's equations
    from kelvara.report import fit_report

    page = fit_report(mine)
    assert "A. Author, A Paper" in page and "Model: my_cooperative" in page


def test_a_phenomenological_model_with_new_per_curve_names_is_started_from_its_table_entry(monkeypatch):
    def slopes(p, t):
        own = MODELS["isodesmic_sigmoid"].curve_slopes({"tm": p["t_half"], "delta_h": p["enthalpy"]}, t)
        return {"t_half": own["tm"], "enthalpy": own["delta_h"]}

    entry = Model("midpoint_sigmoid", None, None, (), "a sigmoid per curve", per_curve=("t_half", "enthalpy"),
                  starts=("temperature", "enthalpy"), curve_slopes=slopes,
                  curve_fraction=lambda p, t: isodesmic_sigmoid(t, p["t_half"], p["enthalpy"]))
    monkeypatch.setitem(MODELS, entry.name, entry)
    rng = np.random.default_rng(5)
    t = np.linspace(290.0, 400.0, 161)
    curve = Curve(t, 0.05 + 0.8 * isodesmic_sigmoid(t, 345.0, -75000.0) + rng.normal(0, 0.004, t.size), 1e-5)
    result = fit([curve], entry.name)
    assert result.ok, result.problems
    half = result.parameters["t_half[0]"]
    assert abs(half.value - 345.0) < 3 * half.stderr and half.unit == "K"


@pytest.mark.parametrize("fields, words", [
    ({"per_curve": ("width",)}, "needs a start"),
    ({"per_curve": ("width",), "starts": ("guess",)}, "needs a start"),
    ({"kernel": "no_such_kernel", "function": len}, "needs a kernel"),
    ({"function": len}, "needs a kernel"),
])
def test_an_incomplete_entry_is_refused_where_it_is_written(fields, words):
    with pytest.raises(ValueError, match=words):
        Model(**{"name": "incomplete", "function": None, "concentration_function": None, "thermo": (),
                 "description": "incomplete", **fields})


@pytest.mark.parametrize("name", [m.name for m in MODELS.values() if m.mass_balance])
def test_every_mass_balance_model_solves_with_the_kernel_its_entry_names(name):
    model = MODELS[name]
    nuc_size = 3 if model.takes_nuc_size else None
    points = Workspace(model, nuc_size, 4)
    assert points.code == _kernels.MODELS[model.kernel][0]
    # the kernel takes exactly the constants the entry gives
    assert sorted(model.slots.values()) == sorted(_kernels.MODELS[model.kernel][1])
    # and gives, at a series' temperature, the doubles of the entry's own concentration function
    if model.kernel == "isodesmic_direct" or model.pathways:  # no _core function (two pathways: test_pathways)
        return
    values = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 22000.0, "delta_h_iso": -70000.0,
              "delta_s_iso": -150.0, "delta_h_coop": -95000.0, "delta_s_coop": -180.0, "delta_h_nuc_coop": 22000.0,
              "delta_g0": -42000.0, "m": 30000.0, "sigma": 0.01}
    c_tot = np.array([2e-6, 1e-5, 5e-5, 2e-4])
    temperature = np.full(c_tot.size, 320.0)
    solvent = np.full(c_tot.size, 0.3)
    fractions = points.solve(values, temperature, c_tot, solvent, slopes=False).tolist()
    from kelvara.models import concentration_fraction, constants

    own = concentration_fraction(model, constants(model, values, temperature, solvent), c_tot, nuc_size).tolist()
    assert fractions == own
