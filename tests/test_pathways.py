"""Two cooperative pathways competing for the monomer: the kernel's
fractions and shares against the mass balance solved in high precision,
its derivatives, and a fit that recovers both pathways from curves on which
B, with a CD opposite to A's, forms first on cooling."""

import json

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")
mp = pytest.importorskip("mpmath")

from kelvara import _kernels  # noqa: E402
from kelvara.fit import Curve, fit  # noqa: E402
from kelvara.io import read  # noqa: E402
from kelvara.fit.points import Workspace  # noqa: E402
from kelvara.models import EXACT_STEPS, MODELS  # noqa: E402

from helpers import kelvara_in_process  # noqa: E402

TRUTH = {"delta_h": -120e3, "delta_s": -260.0, "delta_h_nuc": 15e3, "delta_h_b": -60e3, "delta_s_b": -90.0,
         "delta_h_nuc_b": 5e3}


def pathways(conc, k, sigma, k_b, sigma_b):
    """fraction, B's share, and the 8 rows of derivatives."""
    n = len(conc)
    data = [np.ascontiguousarray(v, dtype=float).tobytes() for v in (conc, k, sigma, k_b, sigma_b)]
    fraction, share_b, slopes = bytearray(8 * n), bytearray(8 * n), bytearray(64 * n)
    _kernels.solve_pathways(*data, fraction, None, share_b, slopes)
    return np.frombuffer(fraction), np.frombuffer(share_b), np.frombuffer(slopes).reshape(8, n)


def exact(conc, k, sigma, k_b, sigma_b):
    """(fraction, B's share) from c = m + h_A + h_B solved by bisection at 40 digits."""
    mp.mp.dps = 40
    c, k, sigma, k_b, sigma_b = map(mp.mpf, (conc, k, sigma, k_b, sigma_b))

    def held(m, k, sigma):
        x = k * m
        return sigma / k * x * x * (2 - x) / (1 - x) ** 2 if k else mp.mpf(0)

    low, high = mp.mpf(0), min(c, 1 / max(k, k_b))
    for _ in range(300):
        m = (low + high) / 2
        if m + held(m, k, sigma) + held(m, k_b, sigma_b) > c:
            high = m
        else:
            low = m
    return float(1 - m / c), float(held(m, k_b, sigma_b) / c)


@pytest.mark.parametrize("point", [
    (1e-5, 3e5, 1e-3, 1e5, 0.1),  # both pathways hold some
    (1e-3, 1e9, 1e-2, 1e9 * (1 - 1e-12), 1e-2),  # deep in the aggregate, constants equal to 12 digits
    (1e-4, 1e3, 1e-3, 1e3, 1e-3),  # little aggregated: no cancellation in 1 - m / c
    (1e-5, 1e20, 1e-30, 1e8, 1e-2),  # A strong with a vanishing sigma, B weak
    (1e-6, 1e-3, 1.0, 1e-3, 1.0),  # almost nothing aggregated (fraction 4e-9)
    (2e-5, 1e4, 0.5, 6e5, 1e-4),  # B the stronger
])
def test_fractions_and_shares_solve_the_mass_balance(point):
    fraction, share_b, slopes = pathways(*[[v] for v in point])
    want_fraction, want_share = exact(*point)
    assert fraction[0] == pytest.approx(want_fraction, rel=1e-13, abs=1e-300)
    assert share_b[0] == pytest.approx(want_share, rel=1e-12, abs=1e-300)
    assert np.all(np.isfinite(slopes))


def test_derivatives_are_those_of_the_fraction_and_of_b_share():
    point = np.array([2e-5, 3e5, 1e-3, 1e5, 0.1])
    fraction, share_b, slopes = pathways(*[[v] for v in point])
    for j in range(4):
        step = np.zeros(5)
        step[1 + j] = 1e-6
        up = pathways(*[[v] for v in point * np.exp(step)])
        down = pathways(*[[v] for v in point * np.exp(-step)])
        assert slopes[j, 0] == pytest.approx((up[0][0] - down[0][0]) / 2e-6, rel=1e-5, abs=1e-12), j
        assert slopes[4 + j, 0] == pytest.approx((up[1][0] - down[1][0]) / 2e-6, rel=1e-5, abs=1e-12), j


def test_one_pathway_alone_is_the_cooperative_model():
    conc = np.geomspace(1e-7, 1e-3, 40)
    k, sigma, zero = np.full(40, 4e5), np.full(40, 1e-3), np.zeros(40)
    sigma[::5] = 0.0  # no nucleation: the monomer stays at 1/k where k c > 1
    cooperative = bytearray(8 * 40)
    _kernels.solve(_kernels.MODELS["cooperative"][0], 0, EXACT_STEPS, conc.tobytes(), (k.tobytes(), sigma.tobytes()),
                   cooperative, None, None)
    alone_a = pathways(conc, k, sigma, zero, zero)
    alone_b = pathways(conc, zero, zero, k, sigma)
    assert np.abs(alone_a[0] - np.frombuffer(cooperative)).max() < 2e-15
    assert np.array_equal(alone_a[0], alone_b[0]) and np.array_equal(alone_b[1], alone_b[0])
    assert not alone_a[1].any()


def test_inputs_that_give_no_number_give_nan_and_refused_calls_say_why():
    fraction, share_b, _ = pathways([0.0, 1e-5], [1e5, np.inf], [1e-3, 1e-3], [1e5, 1e5], [1e-3, 1e-3])
    assert np.isnan(fraction).all() and np.isnan(share_b).all()
    with pytest.raises(ValueError, match="slopes holds 8 values, not 16"):
        _kernels.solve_pathways(*[bytes(16)] * 5, None, None, None, bytearray(64))
    with pytest.raises(ValueError, match="the two_pathways model is solved by solve_pathways"):
        _kernels.solve(_kernels.MODELS["two_pathways"][0], 0, 10, bytes(8), (bytes(8),) * 4, None, None, None)


def cooling_run(path, seed=0, n=300):
    """Four concentrations cooled from 90 to 0 °C: B (CD +20) forms first
    and gives way to A (CD -30) below, noise 0.2 mdeg."""
    rng = np.random.default_rng(seed)
    kelvin = np.linspace(363.15, 273.15, n)
    concs = (5e-6, 1e-5, 2e-5, 4e-5)
    columns = []
    for c in concs:
        points = Workspace(MODELS["two_pathways"], 0, n)
        points.solve(TRUTH, kelvin, np.full(n, c))
        share_b, share_a, _ = points.species(slopes=False)
        columns.append(1.0 - 30.0 * share_a + 20.0 * share_b + rng.normal(0, 0.2, n))
    rows = ["T (°C)," + ",".join(f"{c * 1e6:g} µM CD (mdeg)" for c in concs)]
    rows += [f"{t - 273.15:.2f}," + ",".join(f"{col[i]:.4f}" for col in columns) for i, t in enumerate(kelvin)]
    path.write_text("\n".join(rows) + "\n", encoding="utf-8")
    return path


def test_a_fit_recovers_both_pathways_and_their_opposite_signals(tmp_path):
    data = cooling_run(tmp_path / "run.csv")
    done = kelvara_in_process("fit", data, "--model", "two_pathways", "--json", tmp_path / "fit.json",
                              "--curves", tmp_path / "curves.csv")
    assert done.returncode == 0, done.stderr
    out = json.loads((tmp_path / "fit.json").read_text(encoding="utf-8"))
    assert out["ok"], out["problems"]
    for name, truth in TRUTH.items():
        p = out["parameters"][name]
        assert abs(p["value"] - truth) < 3 * p["stderr"], (name, p)
    assert [c["amplitude"] for c in out["curves"]] == pytest.approx([-30.0] * 4, rel=0.05)
    assert [c["amplitude_b"] for c in out["curves"]] == pytest.approx([20.0] * 4, rel=0.4)
    header = (tmp_path / "curves.csv").read_text(encoding="utf-8").splitlines()[0]
    assert "pathway_a" in header and "pathway_b" in header
    # One cooperative pathway cannot make a CD that rises and then falls: it is said so.
    assert not fit(read(data).curves, "cooperative").ok


def test_a_and_b_are_named_by_the_rule_whichever_way_the_search_ends(tmp_path):
    curves = read(cooling_run(tmp_path / "run.csv", n=120)).curves
    mirrored = {name: TRUTH[name[:-2] if name.endswith("_b") else name + "_b"] for name in TRUTH}
    straight, swapped = (fit(curves, "two_pathways", start=start, search=False) for start in (TRUTH, mirrored))
    # Started from B's values for A, the fit ends at the mirror image and is named back: A prevails when cold.
    for name in TRUTH:
        assert swapped.value(name) == pytest.approx(straight.value(name), rel=1e-4), name
        assert swapped.parameters[name].stderr == pytest.approx(straight.parameters[name].stderr, rel=1e-2), name
    assert [c.amplitude for c in swapped.curve_results] == pytest.approx([-30.0] * 4, rel=0.05)
    assert any(n.startswith("pathways: pathway A is the one holding more of the monomer") for n in swapped.notes)


@pytest.mark.parametrize("options, message", [
    (["--species-signals"], "species_signals applies to the models with a nucleus ("),
    (["--free", "delta_s_nuc_c"], "cannot free 'delta_s_nuc_c': the parameters fixed unless freed in the "
                                  "two_pathways model are delta_s_nuc and delta_s_nuc_b"),
])
def test_what_two_pathways_do_not_take_is_refused(tmp_path, options, message):
    done = kelvara_in_process("fit", cooling_run(tmp_path / "run.csv", n=40), "--model", "two_pathways", *options)
    assert done.returncode == 2
    assert message in done.stderr


def test_compare_adds_two_pathways_where_the_curves_have_several_channels():
    from kelvara.analysis import default_compared

    kelvin = np.linspace(280.0, 360.0, 20)
    cd, uv = (Curve(kelvin, np.zeros(20), c_tot=1e-5, signal_name=name) for name in ("CD (mdeg)", "Abs"))
    assert "two_pathways" not in default_compared([cd])
    assert default_compared([cd, uv])[-1] == "two_pathways"
