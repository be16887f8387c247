"""Nucleation favoured over elongation (sigma > 1) in the nucleus-of-n model:
fractions to full precision against a 50-digit solution of the mass
balance, the kernels the same doubles, and fits that reach that region
recover what made their data."""

import math
import random
from array import array

import pytest

pytest.importorskip("mpmath")

from helpers import write_cooling_run  # noqa: E402
from reference import exact_nucleus_fraction  # noqa: E402
from kelvara import _core, _kernels  # noqa: E402

# sigma = exp(delta_s_nuc / R - delta_h_nuc / RT) crosses 1 at 289 K and
# reaches 1.1e4 at 90 °C.
TRUTH = {"delta_h": -150000.0, "delta_s": -460.0, "delta_h_nuc": 110000.0, "delta_s_nuc": 380.0}


def favoured_cases(n, count=14):
    rng = random.Random(n)
    cases = [(1e-5, kc / 1e-5, sigma) for kc in (1e-6, 1e6) for sigma in (1.0 + 2 ** -40, 1e12)]
    for _ in range(count):
        conc, kc, sigma = 10.0 ** rng.uniform(-7, -3), 10.0 ** rng.uniform(-6, 6), 10.0 ** rng.uniform(0, 12)
        cases.append((conc, kc / conc, sigma))
    return cases


@pytest.mark.parametrize("n", [3, 4, 5, 6, 8, 10, 12])
def test_fractions_are_exact_where_nucleation_is_favoured(n):
    for conc, k, sigma in favoured_cases(n):
        got = _core.cooperative_model_n(conc, k, sigma, n, 100)
        assert got == pytest.approx(exact_nucleus_fraction(conc, k, sigma, n), rel=1e-12, abs=0), (conc, k, sigma)


@pytest.mark.parametrize("args, exact", [
    # Once -332068.86, 0.9449 and 0.99999.
    ((1e-5, 1e-3, 1e4, 8, 2000), 1.99950013995801e-4),
    ((1e-5, 10.0, 1e3, 8, 100), 0.16079781647787),
    ((1e-6, 0.0218, 3.74e4, 8, 100), 1.62732383571407e-3),
])
def test_the_cases_once_wrong_are_right(args, exact):
    assert _core.cooperative_model_n(*args) == pytest.approx(exact, rel=1e-12)
    assert exact == pytest.approx(exact_nucleus_fraction(*args[:4]), rel=1e-13)


@pytest.mark.parametrize("n", [3, 8, 40])
def test_the_fraction_is_continuous_across_sigma_one(n):
    """sigma = 1 keeps its own arithmetic and the next double above takes
    the positive sum: they meet to within the rounding of 1 - m / c_tot."""
    for kc in (1e-3, 1.0, 1e3):
        at_one = _core.cooperative_model_n(1e-5, kc / 1e-5, 1.0, n, 100)
        above = _core.cooperative_model_n(1e-5, kc / 1e-5, math.nextafter(1.0, 2.0), n, 100)
        assert abs(above - at_one) <= 4e-16 * n


def test_a_large_nucleus_costs_only_the_terms_that_matter():
    """A power of sigma x that decays is flushed to zero below the smallest
    normal double (it would otherwise stick at the smallest subnormal and
    run every one of 2^32 terms): every nucleus beyond the decay is the same."""
    expected = _core.cooperative_model_n(1e-5, 1e6, 1.5, 10000, 100)
    assert _core.cooperative_model_n(1e-5, 1e6, 1.5, 2**32 - 1, 100) == expected
    assert expected == pytest.approx(exact_nucleus_fraction(1e-5, 1e6, 1.5, 400), rel=1e-12)


def test_the_kernels_give_the_model_functions_doubles():
    """Mixed with points where nucleation is not favoured, so that groups of
    lanes hold both arithmetics."""
    for n in (3, 8, 12, 300):
        cases = favoured_cases(n, 20) + [(c, k, 1.0 / s) for c, k, s in favoured_cases(n + 1, 20)]
        random.Random(n).shuffle(cases)
        conc, k, sigma = (array("d", column).tobytes() for column in zip(*cases))
        fraction = bytearray(8 * len(cases))
        _kernels.solve(2, n, 4000, conc, (k, sigma), fraction, None, None)
        expected = [_core.cooperative_model_n(*case, n, 4000) for case in cases]
        assert array("d", fraction).tolist() == expected


def cooling(seed):
    """Seven CD cooling curves 90 to -5 °C, a nucleus of 8, noise 1 % of the change."""
    np = pytest.importorskip("numpy")
    pytest.importorskip("scipy")
    from kelvara.fit import Curve
    from kelvara.models import MODELS, concentration_fraction, constants

    rng = np.random.default_rng(seed)
    kelvin = np.linspace(363.15, 268.15, 381)
    model = MODELS["cooperative_n"]
    curves = []
    for c_tot in (1e-6, 2e-6, 5e-6, 1e-5, 2e-5, 5e-5, 1e-4):
        fraction = concentration_fraction(model, constants(model, TRUTH, kelvin), c_tot, 8)
        curves.append(Curve(kelvin, -2.0 - 40.0 * fraction + rng.normal(0.0, 0.4, kelvin.size), c_tot))
    return curves


@pytest.mark.parametrize("seed", [3, 4])
def test_a_fit_across_sigma_one_recovers_its_truths(seed):
    curves = cooling(seed)
    from kelvara.fit import fit

    result = fit(curves, "cooperative_n", nuc_size=8, free=("delta_s_nuc",))
    assert result.ok, result.problems
    for name, truth in TRUTH.items():
        p = result.parameters[name]
        assert abs(p.value - truth) < 3 * p.stderr, (name, p.value, p.stderr)


def test_fixing_the_truth_evaluates_and_fits(tmp_path, capsys):
    data = write_cooling_run(cooling(5), tmp_path / "run.csv")
    from kelvara.cli import main

    fixes = [f"--fix={name}={value:g}" for name, value in TRUTH.items()]
    code = main(["fit", str(data), "--model", "cooperative_n", "--nuc-size", "8", *fixes])
    out = capsys.readouterr()
    assert code == 0, out.err
    assert "cannot be evaluated" not in out.out + out.err
