"""The models the field publishes with: van der Schoot's nucleation-
elongation curves and the isodesmic sigmoid, fitted per curve."""

import json
import math
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

from kelvara import _core  # noqa: E402
from kelvara.fit import Curve, fit  # noqa: E402
from kelvara.models import GAS_CONSTANT, isodesmic_sigmoid, vanderschoot  # noqa: E402

# Te from one elongation enthalpy and entropy: K(Te) c_tot = 1.
DH, DS, H_E, KA = -100000.0, -200.0, -90000.0, 1e-4
CONCENTRATIONS = (5e-6, 1e-5, 2e-5)


def te_of(c_tot):
    return DH / (DS + GAS_CONSTANT * math.log(c_tot))


def schoot_curves(seed=2, noise=0.004):
    rng = np.random.default_rng(seed)
    curves = []
    for c_tot in CONCENTRATIONS:
        t = np.linspace(290.0, 380.0, 181)
        y = 0.05 + 0.8 * vanderschoot(t, te_of(c_tot), H_E, KA) + rng.normal(0.0, noise, t.size)
        curves.append(Curve(t, y, c_tot))
    return curves


def test_vanderschoot_recovers_te_h_e_and_the_van_t_hoff_line():
    result = fit(schoot_curves(), "vanderschoot")
    assert result.ok, result.problems
    for i, c_tot in enumerate(CONCENTRATIONS):
        te, h_e = result.parameters[f"te[{i}]"], result.parameters[f"h_e[{i}]"]
        assert abs(te.value - te_of(c_tot)) < 3 * te.stderr and te.unit == "K"
        assert abs(h_e.value - H_E) < 3 * h_e.stderr
        assert result.curves[i].te == te.value
        nn = result.derived[f"Nn(Te)[{i}]"]
        assert nn.value == pytest.approx(result.value(f"ka[{i}]") ** (-1 / 3))
    for name, true in (("delta_h_vh", DH), ("delta_s_vh", DS)):
        assert abs(result.derived[name].value - true) < 3 * result.derived[name].stderr, name
    ka = result.profile(["ka[0]"])["ka[0]"]  # profiled on the log scale, reported in ka itself
    assert 0 < ka.low < result.value("ka[0]") < ka.high
    shared = fit(schoot_curves(), "vanderschoot", shared=("h_e",))
    assert "h_e" in shared.parameters and "h_e[0]" not in shared.parameters
    assert abs(shared.value("h_e") - H_E) < 3 * shared.parameters["h_e"].stderr


def test_the_isodesmic_sigmoid_recovers_its_own_parameters():
    rng = np.random.default_rng(1)
    curves, truth = [], [(340.0, -70000.0), (350.0, -80000.0)]
    for tm, dh in truth:
        t = np.linspace(290.0, 400.0, 161)
        curves.append(Curve(t, 0.05 + 0.8 * isodesmic_sigmoid(t, tm, dh) + rng.normal(0.0, 0.004, t.size), 1e-5))
    result = fit(curves, "isodesmic_sigmoid")
    assert result.ok, result.problems
    for i, (tm, dh) in enumerate(truth):
        for name, true in ((f"tm[{i}]", tm), (f"delta_h[{i}]", dh)):
            assert abs(result.value(name) - true) < 3 * result.parameters[name].stderr, name


def test_the_sigmoid_slope_matches_the_exact_isodesmic_balance_near_0_908():
    # d phi / d ln(K c) at phi = 1/2, times 4: the sigmoid's factor
    x0, h = 2.0 - math.sqrt(2.0), 1e-6
    slope = (_core.isodesmic_model_direct(x0 * math.exp(h), 1.0)
             - _core.isodesmic_model_direct(x0 * math.exp(-h), 1.0)) / (2 * h)
    assert 4 * slope == pytest.approx(0.9062, abs=1e-4)


def test_the_command_fits_vanderschoot_with_a_shared_enthalpy(tmp_path):
    lines = ["temperature_K,signal,concentration_M"]
    for curve in schoot_curves():
        lines += [f"{t},{y},{curve.c_tot}" for t, y in zip(curve.temperature, curve.signal)]
    (tmp_path / "d.csv").write_text("\n".join(lines) + "\n")
    result = subprocess.run([sys.executable, "-m", "kelvara", "fit", "d.csv", "--model", "vanderschoot",
                             "--shared", "h_e", "--json", "o.json"], capture_output=True, text=True,
                            cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stderr
    data = json.loads((tmp_path / "o.json").read_text())
    assert set(data["parameters"]) >= {"te[0]", "h_e", "ka[2]"} and data["derived"]["delta_h_vh"]["unit"] == "J/mol"


def test_a_vanishing_nucleation_constant_is_no_crash():
    """ka = 0 (1e-400 on its log scale, where a search may step): the van
    der Schoot fraction above Te is 0 and its slopes are not finite (a flat
    direction to the optimiser), where a ZeroDivisionError once ended the fit."""
    from kelvara.models import curve_fraction_slopes

    t = np.array([300.0, 330.0, 340.0])
    assert vanderschoot(t, 320.0, -80000.0, 0.0)[2] == 0.0
    slopes = curve_fraction_slopes("vanderschoot", {"te": 320.0, "h_e": -80000.0, "ka": 0.0}, t)
    assert np.all(np.isfinite(slopes["h_e"][:1]))
