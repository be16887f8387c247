"""Nothing in a file or an option read as what it is not: a length is no
concentration, an absurd concentration or an unknown temperature unit is
refused, a wavelength is read only where it was measured."""

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("pandas")
pytest.importorskip("scipy")

from kelvara import _core  # noqa: E402
from kelvara.cli import main  # noqa: E402
from kelvara.io import ReadError, read_curves  # noqa: E402

CELSIUS = np.arange(90.0, 4.9, -1.0)


def cd(c_tot, celsius=CELSIUS):
    kelvin = (np.asarray(celsius) + 273.15).tolist()
    return -40.0 * np.array(_core.temp_cooperative_model(kelvin, -95000.0, -180.0, 22000.0, c_tot, 1.0))


def table(path, header, rows):
    path.write_text(header + "\n" + "\n".join(",".join(str(v) for v in row) for row in rows) + "\n",
                    encoding="utf-8")
    return path


@pytest.mark.parametrize("header, value", [("Pathlength (mm)", 10), ("Em (nm)", 520), ("Bandwidth (nm)", 1),
                                           ("Slit (nm)", 5), ("Size (um)", 2), ("Ex wavelength (nm)", 480)])
def test_a_length_is_never_read_as_a_concentration(tmp_path, header, value):
    path = table(tmp_path / "run.csv", f"T (°C),CD (mdeg),{header}",
                 [(f"{t:.1f}", f"{y:.5f}", value) for t, y in zip(CELSIUS, cd(1e-5))])
    curves = read_curves(path, c_tot=["10uM"])
    assert [c.c_tot for c in curves] == [1e-5]


@pytest.mark.parametrize("header", ["c (uM)", "[PBI] (uM)", "Total concentration (uM)", "Conc./uM"])
def test_a_concentration_column_is_named_and_in_a_molar_unit(tmp_path, header):
    rows = [(f"{t:.1f}", f"{y:.5f}", c) for c in (5, 20) for t, y in zip(CELSIUS, cd(c * 1e-6))]
    curves = read_curves(table(tmp_path / "run.csv", f"T (°C),CD (mdeg),{header}", rows))
    assert [c.c_tot for c in curves] == [5e-6, 2e-5]


@pytest.mark.parametrize("given", ["1e-300M", "5M", "0.5 M", "2e-13"])
def test_an_absurd_concentration_is_refused(tmp_path, capsys, given):
    path = table(tmp_path / "run.csv", "T (°C),CD (mdeg)", [(f"{t:.1f}", f"{y:.5f}") for t, y in zip(CELSIUS, cd(1e-5))])
    assert main(["read", str(path), "--c-tot", given]) == 2
    assert "is not a plausible concentration" in capsys.readouterr().err


def test_an_absurd_concentration_in_a_file_is_refused(tmp_path, capsys):
    path = table(tmp_path / "run.csv", "T (°C),CD (mdeg),c (M)", [(f"{t:.1f}", f"{y:.5f}", 5) for t, y in
                                                                  zip(CELSIUS, cd(1e-5))])
    assert main(["read", str(path)]) == 2
    assert "line 2, column 'c (M)': concentration 5 is 5 mol/L, not a plausible concentration" in \
        capsys.readouterr().err


def cary(path, unit):
    rows = ["PBI 10uM,", f"Temperature ({unit}),Abs,"]
    rows += [f"{t:.2f},{y:.6f}," for t, y in zip(np.concatenate([CELSIUS, CELSIUS[::-1]]),
                                                 np.concatenate([cd(1e-5), cd(1e-5, CELSIUS[::-1])]))]
    path.write_text("\n".join(rows) + "\n", encoding="utf-8")
    return path


@pytest.mark.parametrize("unit", ["mK", "zorks", "°", "°Ré"])
def test_a_cary_export_in_an_unknown_temperature_unit_is_refused(tmp_path, unit):
    with pytest.raises(ReadError, match=f"states the unit '{unit}', which is not a temperature unit kelvara reads"):
        read_curves(cary(tmp_path / "cary.csv", unit))


@pytest.mark.parametrize("unit", ["°C", "Â°C", "\ufffdC"])
def test_a_cary_export_in_celsius_is_read_with_its_degree_sign_mangled_or_not(tmp_path, unit):
    curves = read_curves(cary(tmp_path / "cary.csv", unit))
    assert curves[0].temperature == pytest.approx(CELSIUS + 273.15)
