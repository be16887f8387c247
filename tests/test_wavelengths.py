"""Spectra: tables headed by wavelengths (a temperature or a concentration
per row) or by temperatures (a wavelength per row) give, with --wavelength,
the signal at the nearest measured wavelength: one curve per wavelength,
several of them channels of one sample; without it they are refused."""

import json
import re

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

from kelvara import _core  # noqa: E402
from kelvara.io import ReadError, read  # noqa: E402

from helpers import kelvara_in_process  # noqa: E402

TRUE = (-95000.0, -180.0, 22000.0)
WAVELENGTHS = np.arange(300.0, 700.1, 2.0)
CELSIUS = np.arange(90.0, 4.9, -1.0)


def spectra(seed=0):
    """Variable-temperature spectra at 10 µM: the monomer's band at 450 nm
    gives way to the aggregate's at 520 nm."""
    kelvin = (CELSIUS + 273.15).tolist()
    f = np.array(_core.temp_cooperative_model(kelvin, *TRUE, 1e-5, 1.0))
    monomer, aggregate = (np.exp(-((WAVELENGTHS - centre) / width) ** 2) for centre, width in ((450, 30), (520, 25)))
    noise = np.random.default_rng(seed).normal(0, 0.003, (CELSIUS.size, WAVELENGTHS.size))
    return (1 - f)[:, None] * monomer + f[:, None] * aggregate + noise


def write_by_temperature(path, values, headed=lambda w: f"{w:g}"):
    lines = ["T (°C)," + ",".join(headed(w) for w in WAVELENGTHS)]
    lines += [f"{t:g}," + ",".join(f"{v:.5f}" for v in row) for t, row in zip(CELSIUS, values)]
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


def write_by_wavelength(path, values):
    lines = ["Wavelength (nm)," + ",".join(f"{t:g} °C" for t in CELSIUS)]
    lines += [f"{w:g}," + ",".join(f"{v:.5f}" for v in column) for w, column in zip(WAVELENGTHS, values.T)]
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


@pytest.mark.parametrize("headed", [lambda w: f"{w:g}", lambda w: f"{w:g} nm"])
def test_two_wavelengths_of_vt_spectra_are_two_channels_of_one_fit(tmp_path, headed):
    values = spectra()
    write_by_temperature(tmp_path / "vt.csv", values, headed)
    run = kelvara_in_process("fit", "vt.csv", "--wavelength", "521nm", "--wavelength", "450", "--c-tot", "10uM",
                             "--json", "out.json", cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
    result = json.loads((tmp_path / "out.json").read_text())
    assert [c["label"] for c in result["curves"]] == ["vt · 520 nm", "vt · 450 nm"]  # 521 asked, 520 measured
    notes = result["reading"]["notes"]
    assert any("521 nm: column" in n and "(520 nm)" in n for n in notes), notes
    for name, truth in zip(("delta_h", "delta_s", "delta_h_nuc"), TRUE):
        p = result["parameters"][name]
        assert abs(p["value"] - truth) < 3 * p["stderr"], name
    columns = result["reading"]["files"][0]["columns"]
    assert [c["role"] for c in columns] == ["temperature", "signal", "signal"]  # the other 199 folded


def test_a_table_by_wavelength_reads_the_same_curve_transposed(tmp_path):
    values = spectra()
    by_temperature = read(write_by_temperature(tmp_path / "a.csv", values), wavelength=["520nm"], c_tot=["10uM"])
    by_wavelength = read(write_by_wavelength(tmp_path / "b.csv", values), wavelength=["520nm"], c_tot=["10uM"])
    (a,), (b,) = by_temperature.curves, by_wavelength.curves
    assert a.temperature == pytest.approx(b.temperature) and a.signal == pytest.approx(b.signal)
    assert by_wavelength.files[0].layout == "spectra, a wavelength per row and a temperature per column"


def test_a_dilution_series_of_spectra_is_a_series_per_wavelength(tmp_path):
    c_tot = np.logspace(-6, -4, 12)
    lines = ["c (uM)," + ",".join(f"{w:g}" for w in WAVELENGTHS)]
    lines += [f"{c * 1e6:.4g}," + ",".join("0.1" for _ in WAVELENGTHS) for c in c_tot]
    (tmp_path / "dilution.csv").write_text("\n".join(lines) + "\n")
    (curve,) = read(tmp_path / "dilution.csv", wavelength=["600nm"], temperature="25C").curves
    assert curve.vary == "concentration" and curve.c_tot == pytest.approx(c_tot, rel=1e-3)
    assert curve.temperature == pytest.approx(298.15)


@pytest.mark.parametrize("args, words", [
    (["--wavelength", "900nm"], "--wavelength 900nm lies outside the measured 300 to 700 nm"),
    (["--wavelength", "blue"], "--wavelength 'blue': give a wavelength in nm between 100 and 3000"),
    ([], "columns headed by wavelengths are read with --wavelength, e.g. --wavelength 600nm"),
])
def test_a_table_of_wavelengths_without_one_that_fits_is_refused(tmp_path, args, words):
    write_by_temperature(tmp_path / "vt.csv", spectra())
    run = kelvara_in_process("read", "vt.csv", "--c-tot", "10uM", *args, cwd=tmp_path)
    assert run.returncode == 2 and words in run.stderr, run.stderr
    with pytest.raises(ReadError):
        read(tmp_path / "vt.csv", c_tot=["10uM"], wavelength=args[1:])


def test_a_wavelength_column_is_never_a_concentration_in_nanomolar(tmp_path):
    """'Wavelength (nm)' once read as c_tot in nM: a single spectrum made a
    concentration series.  It is refused now, as a file with no curve."""
    (tmp_path / "spectrum.csv").write_text("Wavelength (nm),Abs\n" + "\n".join(
        f"{w:g},{np.exp(-((w - 450) / 30) ** 2):.5f}" for w in WAVELENGTHS) + "\n")
    run = kelvara_in_process("read", "spectrum.csv", cwd=tmp_path)
    assert run.returncode == 2 and "concentration" not in run.stdout
    assert "no temperature column among 'Wavelength (nm)', 'Abs'" in run.stderr, run.stderr


@pytest.mark.parametrize("asked, words", [
    (["320nm", "320.5nm"], "--wavelength 320nm and 320.5nm both read column '320' (320 nm): its points would be "
                           "fitted twice"),
    (["500nm"], "--wavelength 500nm: no wavelength was measured near it (the nearest, column '400' at 400 nm, lies "
                "100 nm away; the measured run 300 to 700 nm, every 2 nm)"),
])
def test_a_wavelength_is_read_once_and_only_where_it_was_measured(tmp_path, asked, words):
    kept = (WAVELENGTHS <= 400) | (WAVELENGTHS >= 600)  # a gap, as where a detector changes
    lines = ["T (°C)," + ",".join(f"{w:g}" for w in WAVELENGTHS[kept])]
    lines += [f"{t:g}," + ",".join(f"{v:.5f}" for v in row[kept]) for t, row in zip(CELSIUS, spectra())]
    (tmp_path / "vt.csv").write_text("\n".join(lines) + "\n", encoding="utf-8")
    with pytest.raises(ReadError, match=re.escape(words)):
        read(tmp_path / "vt.csv", c_tot=["10uM"], wavelength=asked)
