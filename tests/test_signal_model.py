"""What the amplitude multiplies: the fraction of molecules in aggregates
(1 - m/c_tot) by default, or, for the isodesmic model, the stacked fraction
K m of the equal-K convention of NMR dilution fits.  Data made either way
give back their own K only under their own convention, and every summary
says which one it used."""

import json

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

from kelvara.errors import KelvaraError  # noqa: E402
from kelvara.fit import Curve, fit  # noqa: E402

from helpers import kelvara_in_process  # noqa: E402

K = 10.34  # L/mol
C_TOT = np.logspace(-3, 0, 15)  # an NMR dilution series, mol/L


def stacked(c_tot, k=K):
    """K m of the isodesmic model, from K c_tot = x / (1 - x)^2."""
    kc = k * c_tot
    return (2 * kc + 1 - np.sqrt(4 * kc + 1)) / (2 * kc)


def series(convention, seed=1):
    x = stacked(C_TOT)
    share = x if convention == "stacked" else 1 - (1 - x) ** 2  # 1 - m/c = 1 - (1 - x)^2
    shift = 7.9 - 0.6 * share + np.random.default_rng(seed).normal(0, 0.005, C_TOT.size)
    return Curve.concentration_series(C_TOT, shift, temperature=298.15, label="H1")


@pytest.mark.parametrize("convention", ["stacked", "aggregated"])
def test_each_convention_gives_back_its_own_k(convention):
    data = series(convention)
    own = fit([data], "isodesmic", signal_model=convention)
    assert own.ok, own.problems
    k = own.parameters["k"]
    assert abs(k.value - K) < 3 * k.stderr
    other = fit([data], "isodesmic", signal_model="aggregated" if convention == "stacked" else "stacked")
    assert abs(other.parameters["k"].value - K) > 5 * k.stderr  # the other reads about half or twice K


def test_the_summary_and_json_say_which_signal(tmp_path):
    data = series("stacked")
    path = tmp_path / "nmr.csv"
    path.write_text("c (M),shift (ppm)\n" + "\n".join(f"{c:.6g},{y:.5f}" for c, y in zip(C_TOT, data.signal)) + "\n")
    run = kelvara_in_process("fit", path, "--model", "isodesmic", "--temperature", "25C", "--signal-model",
                             "stacked", "--json", "out.json", cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "signal: baseline + amplitude x the stacked fraction K m" in run.stdout
    assert json.loads((tmp_path / "out.json").read_text())["options"]["signal_model"] == "stacked"
    run = kelvara_in_process("fit", path, "--model", "isodesmic", "--temperature", "25C", cwd=tmp_path)
    assert "signal: baseline + amplitude x the fraction of molecules in aggregates, 1 - m/c_tot" in run.stdout


def test_the_stacked_fraction_belongs_to_the_isodesmic_model():
    with pytest.raises(KelvaraError, match="signal_model stacked .* applies to the isodesmic model, not 'cooperative'"):
        fit([series("stacked")], "cooperative", signal_model="stacked")
