"""Concentration series and solvent denaturations: alone, across
temperatures and together with cooling curves."""

import json
import math

import pytest

from helpers import kelvara_in_process

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

from kelvara import _core  # noqa: E402
from kelvara.fit import Curve, fit  # noqa: E402
from kelvara.models import (MODELS, concentration_fraction, constants,  # noqa: E402
                            half_aggregation_constant)

R = 8.314
COOPERATIVE = {"delta_h": -90000.0, "delta_s": -170.0, "delta_h_nuc": 15000.0}


def series(k, sigma=None, seed=1, points=30, noise=0.01, model="cooperative", temperature=298.15, extensive=False,
           decades=(-7, -3)):
    rng = np.random.default_rng(seed)
    c = np.logspace(*decades, points)
    consts = {"k": [k] * points, "k_iso": [k / 20] * points, "k_coop": [k] * points, "sigma": [sigma] * points}
    fraction = concentration_fraction(MODELS[model], {n: consts[n] for n in MODELS[model].constants}, c)
    signal = (c / 1e-5 if extensive else 1.0) * (0.1 + 0.8 * fraction) + rng.normal(0, noise, points)
    return Curve.concentration_series(c, signal, temperature)


def denaturations(model="denaturation", seed=2, truth=(-42000.0, 30000.0, 1e-2), temperature=293.15):
    rng = np.random.default_rng(seed)
    f = np.linspace(0.0, 1.0, 41)
    values = dict(zip(("delta_g0", "m", "sigma"), truth))
    curves = []
    for c in (5e-6, 2e-5):
        consts = constants(MODELS[model], values, np.full(f.size, temperature), f)
        y = 0.05 + concentration_fraction(MODELS[model], consts, c) + rng.normal(0, 0.01, f.size)
        curves.append(Curve.denaturation(f, y, temperature, c))
    return curves


def cooling(seed=3):
    rng = np.random.default_rng(seed)
    t = np.linspace(290.0, 370.0, 121)
    return [Curve(t, np.array(_core.temp_cooperative_model(t.tolist(), *COOPERATIVE.values(), c, 1.0))
                  + rng.normal(0, 0.01, t.size), c) for c in (5e-6, 2e-5)]


def thermo_series(temperatures=(298.15, 318.15), seed=4):
    rng = np.random.default_rng(seed)
    c = np.logspace(-7, -3, 30)
    out = []
    for t in temperatures:
        consts = constants(MODELS["cooperative"], COOPERATIVE, np.full(c.size, t))
        y = concentration_fraction(MODELS["cooperative"], consts, c) + rng.normal(0, 0.01, c.size)
        out.append(Curve.concentration_series(c, y, t))
    return out


def within(result, truth, log=()):
    """Each true value within 3 standard errors (on a log scale for `log`)."""
    for name, value in truth.items():
        p = result.parameters[name]
        if name in log:
            assert abs(math.log(p.value / value)) <= 3 * p.stderr / p.value, (name, p.value, p.stderr)
        else:
            assert abs(p.value - value) <= 3 * p.stderr, (name, p.value, p.stderr)


@pytest.mark.parametrize("model, curves, truth, log, options", [
    ("cooperative", lambda: [series(2e5, 1e-3)], {"k": 2e5, "sigma": 1e-3}, ("k", "sigma"), {}),
    ("cooperative", lambda: [series(2e5, 1e-3, extensive=True, decades=(-6, -4), noise=0.003)],
     {"k": 2e5, "sigma": 1e-3}, ("k", "sigma"), {"extensive": True}),
    ("isodesmic", lambda: [series(1e5, model="isodesmic")], {"k": 1e5}, ("k",), {}),
    ("coop_iso", lambda: [series(2e5, 1e-3, model="coop_iso", noise=0.002, points=40)],
     {"k_coop": 2e5, "sigma": 1e-3}, ("k_coop", "sigma"), {}),
    ("denaturation", denaturations, {"delta_g0": -42000.0, "m": 30000.0, "sigma": 1e-2}, ("sigma",), {}),
    ("denaturation_isodesmic", lambda: denaturations("denaturation_isodesmic"),
     {"delta_g0": -42000.0, "m": 30000.0}, (), {}),
    ("cooperative", lambda: thermo_series(), COOPERATIVE, (), {}),
])
def test_known_parameters_are_recovered_and_the_fit_is_ok(model, curves, truth, log, options):
    result = fit(curves(), model, **options)
    assert result.ok, result.problems
    within(result, truth, log)


@pytest.mark.parametrize("model, curves, words", [
    ("isodesmic", lambda: [series(2e5, 1e-3)], "structure"),
    # A transition sharper than the points can resolve: sigma is only bounded from above.
    ("cooperative", lambda: [series(2e5, 1e-9, seed=2)], "sigma runs off towards zero"),
])
def test_a_fit_that_cannot_be_trusted_says_why(model, curves, words):
    result = fit(curves(), model)
    assert not result.ok and words in " ".join(result.problems)


def test_joint_fit_of_cooling_curves_and_series_has_smaller_errors():
    cool, conc = cooling(), thermo_series()
    results = [fit(c, "cooperative") for c in (cool, conc, cool + conc)]
    assert all(r.ok for r in results)
    within(results[2], COOPERATIVE)
    for name in COOPERATIVE:
        errors = [r.parameters[name].stderr for r in results]
        assert errors[2] < min(errors[:2]), (name, errors)


def test_experiments_with_different_noise_each_count_by_their_own():
    # Cooling curves in absorbance (noise 0.01) beside a series in mdeg
    # (noise 0.3): unweighted, the series' noise would read as outliers.
    cool = cooling()
    conc = [Curve.concentration_series(c.x, -30.0 * c.signal, c.temperature) for c in thermo_series()]
    results = [fit(c, "cooperative") for c in (cool, conc, cool + conc)]
    assert all(r.ok for r in results) and "weighted by its own noise" in " ".join(results[2].notes)
    within(results[2], COOPERATIVE)
    for name in COOPERATIVE:
        errors = [r.parameters[name].stderr for r in results]
        assert errors[2] < min(errors[:2]), (name, errors)


def test_curves_normalised_each_by_its_own_scale_are_weighted():
    # Denaturations whose noise grows with their amplitude (2 to 50 uM).
    rng = np.random.default_rng(5)
    f = np.linspace(0.0, 1.0, 41)
    truth = {"delta_g0": -45000.0, "m": 30000.0, "sigma": 0.02}
    curves = []
    for c in (2e-6, 1e-5, 5e-5):
        consts = constants(MODELS["denaturation"], truth, np.full(f.size, 293.15), f)
        amplitude = c * 1e5
        signal = amplitude * concentration_fraction(MODELS["denaturation"], consts, c)
        curves.append(Curve.denaturation(f, signal + rng.normal(0, 0.002 * amplitude, f.size), 293.15, c))
    result = fit(curves, "denaturation")
    assert result.ok and "weighted by its own noise" in " ".join(result.notes), result.problems
    within(result, truth, ("sigma",))


@pytest.mark.parametrize("model, values", [
    ("cooperative", COOPERATIVE),
    ("isodesmic", {"delta_h": -90000.0, "delta_s": -170.0}),
    ("coop_iso", {"delta_h_iso": -60000.0, "delta_s_iso": -120.0, "delta_h_coop": -90000.0,
                  "delta_s_coop": -170.0, "delta_h_nuc_coop": 15000.0}),
])
def test_a_series_point_is_the_temperature_models_double(model, values):
    """K(T) and sigma(T) of a series are those of the temperature models:
    where 100 steps reach the root, every fraction is the same double."""
    t, c = 320.0, np.logspace(-7, -3, 9)
    consts = constants(MODELS[model], values, np.full(c.size, t))
    mine = concentration_fraction(MODELS[model], consts, c)
    theirs = [getattr(_core, f"temp_{model}_model")([t], *values.values(), cc, 1.0)[0] for cc in c]
    assert mine.tolist() == theirs


def test_weak_association_is_exact_and_the_guard_has_an_answer():
    # K c_tot = 1e-30: 100 halvings of [0, 1/K] cannot see the root (they
    # give -0.18); enough steps give 2 K c_tot to first order.
    model = MODELS["isodesmic"]
    assert concentration_fraction(model, {"k": [1e-25]}, 1e-5)[0] == pytest.approx(2e-30, rel=1e-9)
    assert _core.isodesmic_model(1e-5, 1e-25, 100) < -0.1
    # A root within rounding of 1/K ends the dimer-nucleus solver in its guard.
    with pytest.raises(ValueError):
        _core.cooperative_model(1.0, 1e15, 1e-20, 100)
    assert concentration_fraction(MODELS["cooperative"], {"k": [1e15], "sigma": [1e-20]}, 1.0)[0] == \
        _core.cooperative_model_n(1.0, 1e15, 1e-20, 2, 2200)


@pytest.mark.parametrize("sigma", [1.0, 0.3, 1e-3, 1e-7])
def test_half_aggregation_in_closed_form(sigma):
    k = half_aggregation_constant(sigma, 1e-5)
    function = _core.isodesmic_model if sigma == 1.0 else _core.cooperative_model
    args = (1e-5, k, 2200) if sigma == 1.0 else (1e-5, k, sigma, 2200)
    assert function(*args) == pytest.approx(0.5, abs=1e-12)


def test_f50_and_c50_are_half_aggregated():
    result = fit(denaturations(), "denaturation")
    for i, curve in enumerate(result._problem.curves):
        f50 = result.derived[f"f50[{i}]"].value
        values = result._problem.values(result._x)
        assert result._problem.fraction(values, curve, np.array([f50]))[0] == pytest.approx(0.5, abs=1e-9)
    conc = fit([series(2e5, 1e-3)], "cooperative")
    c50 = conc.derived["c50[0]"].value
    values = conc._problem.values(conc._x)
    assert conc._problem.fraction(values, conc._problem.curves[0], np.array([c50]))[0] == \
        pytest.approx(0.5, abs=1e-9)


@pytest.mark.parametrize("make, words", [
    (lambda: Curve.concentration_series([1e-6, 1e-6, 1e-6], [1, 2, 3], 298.15), "does not vary"),
    (lambda: Curve.concentration_series([1e-6, -2e-6, 3e-6], [1, 2, 3]), "must be positive"),
    (lambda: Curve.denaturation([0.0, 0.5, 1.2], [1, 2, 3], 293.15, 1e-5), "between 0 and 1"),
    (lambda: Curve.denaturation([0.0, 0.5, 1.0], [1, 2, 3], None, 1e-5), "temperature"),
    (lambda: fit([series(2e5, 1e-3)], "denaturation"), "use isodesmic, cooperative"),
    (lambda: fit(denaturations(), "cooperative"), "use denaturation"),
    (lambda: fit([series(2e5, 1e-3, temperature=None)] + cooling(), "cooperative"), "needs the temperature"),
])
def test_bad_series_are_refused(make, words):
    with pytest.raises(ValueError, match=words):
        make()


# --- from files, through the command --------------------------------------------


def kelvara(*args, cwd):
    return kelvara_in_process(*args, cwd=cwd)


def write_series(path, curve, header="c (uM),CD (mdeg)", temperature=None):
    rows = [header] + [f"{c * 1e6:.8g},{y:.6f}" + ("" if temperature is None else f",{temperature}")
                       for c, y in zip(curve.x, curve.signal)]
    path.write_text("\n".join(rows) + "\n")


def test_the_command_fits_a_series_and_a_denaturation(tmp_path):
    pytest.importorskip("pandas")
    write_series(tmp_path / "series.csv", series(2e5, 1e-3), "concentration (uM),absorbance,T (°C)", 25)
    done = kelvara("fit", "series.csv", "--vary", "concentration", "--model", "cooperative", "--json", "s.json",
                   cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    parameters = json.loads((tmp_path / "s.json").read_text())["parameters"]
    assert math.log10(parameters["k"]["value"]) == pytest.approx(math.log10(2e5), abs=0.1)
    assert parameters["sigma"]["unit"] == "1"

    lines = ["f,5 uM,20 uM"] + [f"{f:.4f},{a:.6f},{b:.6f}" for f, a, b in
                                 zip(*(c.x for c in denaturations()[:1]), *(c.signal for c in denaturations()))]
    (tmp_path / "den.txt").write_text("\n".join(lines) + "\n")
    done = kelvara("fit", "den.txt", "--vary", "solvent", "--model", "denaturation", "--temperature", "293.15",
                   "--json", "d.json", "--curves", "points.csv", "--plot", "d.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    result = json.loads((tmp_path / "d.json").read_text())
    assert result["parameters"]["m"]["value"] == pytest.approx(30000.0, rel=0.05)
    assert [c["f50"] is not None for c in result["curves"]] == [True, True]
    assert (tmp_path / "points.csv").read_text().splitlines()[0].startswith(
        "curve,c_tot,temperature (K),solvent,signal,fitted")


@pytest.mark.parametrize("content, args, words", [
    ("c (uM),CD\n1,0.1\n1,0.2\n1,0.3\n", ["--vary", "concentration"], "does not vary"),
    ("c (uM),CD\n1,0.1\n-2,0.2\n3,0.3\n", ["--vary", "concentration"], "line 3"),
    ("f,CD,c (uM)\n0,1,5\n0.5,2,5\n1.5,3,5\n", ["--vary", "solvent", "--temperature", "20C"], "line 4"),
    ("f,CD,c (uM)\n0,1,5\n0.5,2,5\n1,3,5\n", ["--vary", "solvent"], "needs its temperature"),
    ("f (%),CD,c (uM)\n0,1,5\n25,1.5,5\n50,2,5\n75,2.5,5\n100,3,5\n", ["--temperature", "20C", "--model",
                                                                      "cooperative"],
     "use denaturation"),
])
def test_bad_series_files_get_one_line_and_exit_2(tmp_path, content, args, words):
    pytest.importorskip("pandas")
    (tmp_path / "bad.csv").write_text(content)
    done = kelvara("fit", "bad.csv", *args, cwd=tmp_path)
    assert done.returncode == 2 and words in done.stderr and len(done.stderr.strip().splitlines()) == 1, \
        done.stderr


def test_what_a_file_varies_is_told_from_its_content(tmp_path):
    pytest.importorskip("pandas")
    from kelvara.io import read_curves

    path = tmp_path / "two.csv"
    rows = ["T (°C),c (uM),signal"] + [f"{t},{c:g},{0.1 * i}" for t in (25, 45)
                                         for i, c in enumerate((0.1, 1, 10, 100, 1000))]
    path.write_text("\n".join(rows) + "\n")
    curves = read_curves(path)
    assert [(c.vary, c.temperature, c.size) for c in curves] == [("concentration", 298.15, 5),
                                                                 ("concentration", 318.15, 5)]
    path.write_text("c (uM),25 °C,T = 318.15 K\n0.1,0,0\n1,0.2,0.1\n10,0.9,0.5\n20,0.9,0.6\n40,1,0.7\n")
    assert [(c.vary, c.temperature, c.label) for c in read_curves(path)] == [
        ("concentration", 298.15, "25 °C"), ("concentration", 318.15, "T = 318.15 K")]
    path = tmp_path / "den.csv"
    path.write_text("good solvent (%),c_tot (uM),CD\n0,5,1\n20,5,1.5\n40,5,2\n60,5,2.5\n80,5,3\n")
    (curve,) = read_curves(path, temperature="20C")
    assert curve.vary == "solvent" and curve.x.tolist() == [0.0, 0.2, 0.4, 0.6, 0.8] and curve.temperature == 293.15
    # A concentration stated above the header serves the file's curves.
    path.write_text("# OPV in MCH/CHCl3\nc_tot = 10 uM\nf;CD\n0;1\n0,2;0,8\n0,4;0,5\n0,6;0,2\n0,8;0\n")
    (curve,) = read_curves(path, temperature=293.15, vary="solvent")
    assert (curve.c_tot, curve.x.tolist()) == (1e-5, [0.0, 0.2, 0.4, 0.6, 0.8])
    assert read_curves(path, temperature=293.15, c_tot=["7uM"])[0].c_tot == 7e-6  # the command line wins


@pytest.mark.parametrize("examples, truth", [
    (["series"], {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 22000.0}),
    (["denaturation"], {"delta_g0": -42000.0, "m": 30000.0, "sigma": 0.01}),
    (["cooling", "series"], {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 22000.0}),
])
def test_the_shipped_examples_give_back_what_made_them(tmp_path, examples, truth):
    pytest.importorskip("pandas")
    done = kelvara("fit", *(a for name in examples for a in ("--example", name)), "--json", "out.json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    parameters = json.loads((tmp_path / "out.json").read_text())["parameters"]
    for name, value in truth.items():
        p = parameters[name]
        assert abs(p["value"] - value) <= 3 * p["stderr"], (name, p)

