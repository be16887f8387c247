"""Reading the files labs write: every layout and text format, from small
files the tests write themselves."""

import json
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("scipy")

from kelvara import _core  # noqa: E402
from kelvara.io import ReadError, parse_concentration, read_curves  # noqa: E402

TRUE = (-95000.0, -180.0, 22000.0)
CONCENTRATIONS = (5e-6, 1e-5, 2e-5)
CELSIUS = np.arange(95.0, 4.9, -2.5)  # cooling, 37 points


def signal(c_tot, celsius=CELSIUS, noise=0.0, seed=0):
    fraction = np.array(_core.temp_cooperative_model((celsius + 273.15).tolist(), *TRUE, c_tot, 1.0))
    return 0.05 + 0.8 * fraction + np.random.default_rng(seed).normal(0.0, noise, celsius.size)


def long_rows(fmt, sep, decimal=".", conc=lambda c: f"{c * 1e6:g}"):
    rows = []
    for c in CONCENTRATIONS:
        for t, y in zip(CELSIUS, signal(c)):
            cells = [f"{t:.1f}", f"{y:.6f}", conc(c)]
            rows.append(sep.join(cell.replace(".", decimal) for cell in cells))
    return rows


def check_long(curves, labels=("5 µM", "10 µM", "20 µM")):
    assert [c.label for c in curves] == list(labels)
    for curve, c_tot in zip(curves, CONCENTRATIONS):
        assert curve.c_tot == pytest.approx(c_tot, rel=1e-12)
        assert curve.temperature == pytest.approx(CELSIUS + 273.15)
        assert curve.signal == pytest.approx(signal(c_tot), abs=1e-6)


@pytest.mark.parametrize("encoding, sep, decimal, newline", [
    ("utf-8", ",", ".", "\n"),
    ("utf-8-sig", ";", ",", "\r\n"),  # European: semicolons, decimal commas, a BOM
    ("utf-16", "\t", ",", "\r\n"),    # as instrument software writes it
    ("cp1252", ";", ".", "\n"),       # the µ of the header as one byte
])
def test_long_layout_in_every_text_format(tmp_path, encoding, sep, decimal, newline):
    lines = ["Instrument: Cary 60", "Operator: somebody", "", "# cooling at 1 K/min",
             sep.join(["T (°C)", "CD [mdeg]", "conc (µM)"])]
    rows = long_rows("long", sep, decimal)
    rows.insert(5, "# lamp changed")
    path = tmp_path / "data.csv"
    path.write_bytes((newline.join(lines + rows) + newline).encode(encoding))
    check_long(read_curves(path))


def test_missing_cells_drop_their_rows_with_a_note(tmp_path):
    rows = long_rows("long", ",")
    rows[3] = rows[3].split(",")[0] + ",#N/A," + rows[3].split(",")[2]
    rows[40] = rows[40].split(",")[0] + ",," + rows[40].split(",")[2]
    rows[41] = rows[41].split(",")[0] + ",NA," + rows[41].split(",")[2]
    path = tmp_path / "gaps.csv"
    path.write_text("\n".join(["temperature (C),signal,c_tot (uM)"] + rows) + "\n")
    notes = []
    curves = read_curves(path, notes=notes)
    assert [len(c.temperature) for c in curves] == [36, 35, 37]
    # First how the file was read, then what was dropped.
    assert notes[0].startswith(f"read {path} as a long table")
    assert notes[1:] == [f"{path}: dropped 3 row(s) with missing values (1 from 5 µM, 2 from 10 µM)"]


def test_wide_layout_takes_each_curves_concentration_from_its_header(tmp_path):
    lines = ["Temperature (°C),5 uM,c = 1e-5 M,20µM"]
    values = [signal(c) for c in CONCENTRATIONS]
    lines += [",".join([f"{t:.1f}"] + [f"{v[i]:.6f}" for v in values]) for i, t in enumerate(CELSIUS)]
    path = tmp_path / "wide.csv"
    path.write_text("\n".join(lines) + "\n")
    check_long(read_curves(path), labels=("5 uM", "c = 1e-5 M", "20µM"))


def test_single_curve_files_with_concentrations_given(tmp_path):
    paths = []
    for c in CONCENTRATIONS:
        paths.append(tmp_path / f"{c * 1e6:g}.csv")
        paths[-1].write_text("temperature_C,absorbance\n" + "".join(
            f"{t},{y}\n" for t, y in zip(CELSIUS, signal(c))))
    check_long(read_curves(paths, c_tot=["5uM", "1e-5 M", 2e-5]), labels=("5", "10", "20"))
    with pytest.raises(ReadError, match="no concentration for 3 curve"):
        read_curves(paths)
    with pytest.raises(ReadError, match="--c-tot given 2 times, but 3 curves in 3 files"):
        read_curves(paths, c_tot=["5uM", "10uM"])
    with pytest.raises(ReadError, match="not a plausible concentration; give its unit"):
        read_curves(paths, c_tot=["5", "10", "20"])


def jasco(c_tot_line, locale_comma=True):
    def number(x):
        text = f"{x:.4f}"
        return text.replace(".", ",") if locale_comma else text

    head = ["TITLE\tPBI", "DATA TYPE\t", "ORIGIN\tJASCO", "OWNER\t", "DATE\t26/11/24", "TIME\t10:00:00",
            "SPECTROMETER/DATA SYSTEM\tJ-1500", "LOCALE\t1043", "XUNITS\tTemperature[C]",
            "YUNITS\tCD [mdeg]", "Y2UNITS\tHT [V]", "Y3UNITS\tABSORBANCE",
            f"FIRSTX\t   {number(CELSIUS[0])}", f"LASTX\t   {number(CELSIUS[-1])}",
            f"NPOINTS\t{CELSIUS.size}", "XYDATA"]
    y = signal(1e-5)
    rows = [f"{number(t)}\t{number(-30 * v)}\t{number(300 + v)}\t{number(v)}" for t, v in zip(CELSIUS, y)]
    tail = ["", "##### Extended Information", "[Comments]", "Sample name\tPBI", "", "[Detailed Information]",
            c_tot_line]
    return ("\r\n".join(head + rows + tail) + "\r\n").encode("cp1252"), y


@pytest.mark.parametrize("c_tot_line, given", [("Concentration\t1,0e-005 mol/L", None),
                                               ("Concentration\t", ["10 uM"])])
def test_jasco_scan(tmp_path, c_tot_line, given):
    content, y = jasco(c_tot_line)
    path = tmp_path / "scan.txt"
    path.write_bytes(content)
    cd, absorbance = (read_curves(path, c_tot=given, signal_column=name)[0] for name in (None, "ABSORBANCE"))
    assert cd.c_tot == pytest.approx(1e-5) and cd.label == "PBI"
    assert cd.temperature == pytest.approx(CELSIUS + 273.15)
    assert cd.signal == pytest.approx(-30 * y, abs=1e-4)
    assert absorbance.signal == pytest.approx(y, abs=1e-4)


@pytest.mark.parametrize("given, named", [("5uM", True), ("10uM", False)])
def test_a_concentration_against_the_files_own_title_is_named(tmp_path, given, named):
    from kelvara.io import read

    content, _ = jasco("Concentration\t")
    path = tmp_path / "scan.txt"
    path.write_bytes(content.replace(b"TITLE\tPBI", b"TITLE\tPBI 10uM"))
    reading = read(path, c_tot=[given])
    assert reading.curves[0].c_tot == pytest.approx(float(given[:-2]) * 1e-6)  # --c-tot is what is fitted
    said = [n for n in reading.notes if "but the file states 10 µM in its title; check which is meant" in n]
    assert bool(said) is named


def test_cary_export_is_split_into_cooling_and_heating(tmp_path):
    heating = CELSIUS[::-1]
    names = ["PBI 5uM", "", "PBI 20uM", ""]
    rows = [",".join(names), "Temperature (°C),Abs,Temperature (°C),Abs,"]
    for t in np.concatenate([CELSIUS, heating]):
        cells = [f"{t:.2f}", f"{signal(5e-6, np.array([t]))[0]:.6f}",
                 f"{t:.2f}", f"{signal(2e-5, np.array([t]))[0]:.6f}"]
        rows.append(",".join(cells) + ",")
    rows += ["", "PBI 5uM", "Collection Time: 24/11/2026 10:00:00", "Method: thermal"]
    path = tmp_path / "cary.csv"
    path.write_text("\n".join(rows) + "\n")
    curves = read_curves(path)
    assert [(c.label, c.c_tot) for c in curves] == [
        ("PBI 5uM (cooling)", 5e-6), ("PBI 5uM (heating)", 5e-6),
        ("PBI 20uM (cooling)", 2e-5), ("PBI 20uM (heating)", 2e-5)]
    assert curves[0].temperature == pytest.approx(CELSIUS + 273.15)
    assert curves[1].temperature == pytest.approx(heating + 273.15)
    assert [c.label for c in read_curves(path, segment="heating")] == ["PBI 5uM (heating)", "PBI 20uM (heating)"]


def test_reading_options_are_one_value_checked_once(tmp_path, monkeypatch):
    from kelvara.cli import main
    from kelvara.io import ReadOptions, read

    path = tmp_path / "run.csv"
    path.write_text("T (°C),CD (mdeg),c (uM)\n" + "\n".join(long_rows("", ",")) + "\n", encoding="utf-8")
    options = ReadOptions(c_tot=["5uM"], segment="cooling")
    assert options.c_tot == ("5uM",)
    with pytest.raises(AttributeError):
        options.celsius = True  # frozen
    for bad, words in ((dict(segment="down"), "segment must be"), (dict(vary="pressure"), "vary must be"),
                       (dict(decimal=";"), "decimal must be")):
        with pytest.raises(ReadError, match=words):
            ReadOptions(**bad)
    given = read(path, ReadOptions(decimal="."))
    assert [c.label for c in given.curves] == [c.label for c in read(path, decimal=".").curves]
    assert given.to_dict()["options"] == {"decimal": ".", "segment": "all", "vary": "auto"}
    with pytest.raises(ReadError, match="not both"):
        read(path, ReadOptions(), celsius=True)
    # the command line reads with the same value
    import kelvara.io

    seen = []
    real = kelvara.io.read
    monkeypatch.setattr(kelvara.io, "read", lambda paths, options: seen.append(options) or real(paths, options))
    assert main(["read", str(path), "--segment", "cooling", "--decimal", "."]) == 0
    assert seen == [ReadOptions(segment="cooling", decimal=".")]


def test_a_new_format_is_one_entry_of_the_list(tmp_path, monkeypatch):
    """A reader takes the file's sample and the options and gives its curves
    and its report; the first format whose sniff says yes reads the file."""
    from kelvara.io import FileRead, FileReading, Format, read
    from kelvara.io import detect
    from kelvara.io.reading import PendingCurve

    def read_pairs(sample, options):
        rows = [line.split("=") for line in sample.lines[1:]]
        t, y = (np.array([float(r[i]) for r in rows]) for i in (0, 1))
        return FileRead([PendingCurve(t, y, 1e-5, "pairs", str(sample.file))],
                        FileReading(str(sample.file), "pairs"), ["read as pairs"])

    pairs = Format("pairs", lambda sample: sample.lines[:1] == ["PAIRS"], read_pairs)
    monkeypatch.setattr(detect, "FORMATS", (pairs,) + detect.FORMATS)
    path = tmp_path / "p.txt"
    path.write_text("PAIRS\n" + "".join(f"{300 + i}={0.1 * i}\n" for i in range(8)))
    reading = read(path)
    assert [c.label for c in reading.curves] == ["pairs"] and reading.curves[0].size == 8
    assert reading.files[0].layout == "pairs" and reading.notes == ["read as pairs"]
    assert list(reading) == reading.curves and reading[0] is reading.curves[0]  # fit(read(...)) takes it


def test_excel_workbook_in_the_long_layout(tmp_path):
    pytest.importorskip("openpyxl")
    table = pd.DataFrame([(t, y, c * 1e6) for c in CONCENTRATIONS for t, y in zip(CELSIUS, signal(c))],
                         columns=["Temperature (C)", "Absorbance", "c (uM)"])
    path = tmp_path / "melts.xlsx"
    with pd.ExcelWriter(path) as writer:
        pd.DataFrame([["notes"]]).to_excel(writer, sheet_name="Info", header=False, index=False)
        pd.DataFrame([["Experiment", "melt"]]).to_excel(writer, sheet_name="Data", header=False, index=False)
        table.to_excel(writer, sheet_name="Data", index=False, startrow=2)
    check_long(read_curves(path, sheet="Data"))


@pytest.mark.parametrize("header, rows, options, words", [
    ("temperature,signal,concentration", ["300,0.1,5", "310,0.2,5"], {},
     "line 2, column 'concentration': concentration 5 has no unit and is not plausible in mol/L"),
    ("temperature,signal,conc", ["25,0.1,5e-6", "35,0.2,5e-6"], {}, "line 2, column 'temperature': 25 is below 150 K"),
    ("temperature_K,signal,conc", ["300,0.1,5e-6", "310,0.2,5e-6"], {"celsius": True},
     "--celsius contradicts the header 'temperature_K'"),
    ("T,signal,conc", ["300,0.1,5e-6", "310,1e999,5e-6"], {}, "line 3, column 'signal': the number overflows"),
    ("T,signal,conc", ["300,0.1,5e-6", "", "# x", "310,oops,5e-6"], {}, "line 5, column 'signal': 'oops' is not"),
    ("T,signal,conc", ["300,0.1,5 parts", "310,0.2,5 parts"], {}, "'5 parts' is not a concentration"),
])
def test_doubtful_files_are_refused_naming_file_line_and_column(tmp_path, header, rows, options, words):
    path = tmp_path / "bad.csv"
    path.write_text("\n".join([header] + rows) + "\n")
    with pytest.raises(ReadError) as error:
        read_curves(path, **options)
    assert words in str(error.value) and str(error.value).startswith(str(path))


@pytest.mark.parametrize("text, value", [("5 uM", 5e-6), ("c = 1e-5 M", 1e-5), ("10µM", 1e-5), ("10μM", 1e-5),
                                         ("3.3e-005 mol/L", 3.3e-5), ("0,5 mM", 5e-4), ("250 nM", 2.5e-7),
                                         ("PBI 5uM", 5e-6), ("5 MM", None), ("temperature", None)])
def test_concentrations_with_units(text, value):
    assert parse_concentration(text) == (None if value is None else pytest.approx(value))


def test_several_files_make_one_global_fit_that_recovers_the_truth(tmp_path):
    paths = []
    for i, c in enumerate(CONCENTRATIONS):
        celsius = np.arange(95.0, 4.9, -1.0)
        paths.append(tmp_path / f"curve{i}.csv")
        paths[-1].write_text("T (°C);CD (mdeg)\n" + "".join(
            f"{t:.1f};{y:.6f}\n".replace(".", ",") for t, y in zip(celsius, signal(c, celsius, 0.005, i))))
    args = [sys.executable, "-m", "kelvara", "fit", *map(str, paths), "--c-tot", "5uM", "--c-tot", "10uM",
            "--c-tot", "20 uM", "--json", str(tmp_path / "out.json")]
    result = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    data = json.loads((tmp_path / "out.json").read_text())
    for name, true in zip(("delta_h", "delta_s", "delta_h_nuc"), TRUE):
        assert abs(data["parameters"][name]["value"] - true) < 3 * data["parameters"][name]["stderr"]
    paths[0].write_text("temperature,signal,conc\n300,0.1,5\n310,0.2,5\n")
    result = subprocess.run(args[:5], capture_output=True, text=True, timeout=300)
    assert result.returncode == 2 and "unit" in result.stderr and result.stderr.count("\n") == 1


@pytest.mark.parametrize("code, absent", [
    # Reading makes frozen curves without the fit: no SciPy, even for the read command.
    ("import kelvara.io", "scipy"),
    ("from kelvara.cli import main; assert main(['read', '--example']) == 0", "scipy"),
    # The app runs the analysis, never the command line.
    ("import kelvara.app.server, kelvara.app.worker, kelvara.app.fields", "kelvara.cli"),
])
def test_what_a_part_does_not_import(code, absent):
    if "app" in code:
        pytest.importorskip("starlette")
    check = f"{code}\nimport sys\nassert not [m for m in sys.modules if m == {absent!r} or m.startswith({absent!r} + '.')]"
    done = subprocess.run([sys.executable, "-c", check], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
