"""Files read in a doubtful way are refused, never read silently wrong;
what a file names comes out as text, never as a spreadsheet's formula."""

import csv
import io

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")
pytest.importorskip("openpyxl")

from helpers import kelvara_in_process as kelvara  # noqa: E402
from kelvara.cli import main  # noqa: E402
from kelvara.io import ReadError, read_curves  # noqa: E402
from test_reading import CELSIUS, CONCENTRATIONS, cd  # noqa: E402


def _run_file(path, header, labels=None):
    rows = [f"{header},CD (mdeg),c (uM)" + (",sample" if labels else "")]
    for i, c in enumerate(CONCENTRATIONS):
        extra = f",{labels[i]}" if labels else ""
        rows += [f"{t:.1f},{y:.4f},{c * 1e6:g}{extra}" for t, y in zip(CELSIUS, cd(c, i))]
    path.write_text("\n".join(rows) + "\n", encoding="utf-8")
    return path


@pytest.mark.parametrize("header, words", [
    ("T (mK)", "states the unit 'mK', which is not a temperature unit"),
    ("T (°)", "states the unit '°', which is not a temperature unit"),
    ("T (zorks)", "states the unit 'zorks'"),
    ("T (\u2109)", "degrees Fahrenheit are not read"),
])
def test_a_temperature_unit_not_known_is_refused_not_taken_for_kelvin(tmp_path, header, words):
    run = kelvara("fit", _run_file(tmp_path / "run.csv", header), cwd=tmp_path)
    assert run.returncode == 2 and words in run.stderr, run.stderr


def test_the_one_character_celsius_sign_is_read_as_celsius(tmp_path):
    run = kelvara("read", _run_file(tmp_path / "run.csv", "T (\u2103)"), cwd=tmp_path)
    assert run.returncode == 0 and "temperature, °C" in run.stderr + run.stdout


def test_labels_that_look_like_formulas_are_written_as_text(tmp_path):
    import openpyxl

    labels = ['=HYPERLINK("http://x";"y")', "+1+1", "@SUM(A1)"]
    data = _run_file(tmp_path / "run.csv", "T (°C)", labels)
    run = kelvara("fit", data, "--curve-column", "sample", "--results", "r.xlsx", "--curves", "points.csv",
                  "--csv", "r.csv", cwd=tmp_path)
    assert run.returncode in (0, 1), run.stderr
    book = openpyxl.load_workbook(tmp_path / "r.xlsx")
    cells = [cell for sheet in book.worksheets for row in sheet.iter_rows() for cell in row
             if isinstance(cell.value, str) and cell.value.startswith(("=", "+", "@"))]
    assert cells and all(cell.data_type == "s" for cell in cells)  # none is a formula
    for name in ("points.csv", "r.csv"):
        texts = [cell for row in csv.reader(io.StringIO((tmp_path / name).read_text(encoding="utf-8")))
                 for cell in row]
        assert not [t for t in texts if t.startswith(("=", "+", "@"))], name
        assert any(t.startswith("'=HYPERLINK") or "'=HYPERLINK" in t for t in texts) or name == "r.csv"
        assert not [t for t in texts if t.startswith("'-") and t[2:3].isdigit()]  # numbers keep their sign


def test_control_characters_in_labels_are_shown_as_escapes_everywhere(tmp_path, capsys):
    """A carriage return would start a new CSV row (and a spreadsheet a
    formula), an escape sequence repaint the terminal, a NUL end the
    workbook: each is written as its escape, and every output is made."""
    import openpyxl

    from kelvara.cli import main

    labels = ['"run\r=1+1"', '"run \x1b[2J\x1b[31mok"', '"nul\x00x"']
    data = _run_file(tmp_path / "run.csv", "T (°C)", labels)
    code = main(["fit", str(data), "--curve-column", "sample", "--results", str(tmp_path / "r.xlsx"),
                 "--csv", str(tmp_path / "r.csv"), "--curves", str(tmp_path / "points.csv")])
    printed = "".join(capsys.readouterr())
    assert code in (0, 1) and "run\\r=1+1" in printed and "run \\x1b[2J" in printed  # (pandas 1.5 cuts at the NUL)
    assert not any(c in printed for c in "\r\x1b\x00")
    rows = list(csv.reader(io.StringIO((tmp_path / "r.csv").read_text(encoding="utf-8"))))
    assert {row[0] for row in rows} <= {"kind", "parameter", "derived", "statistic", "verdict", "problem", "note",
                                        "noise"}  # no row broken in two
    assert not any(c in (tmp_path / "points.csv").read_text(encoding="utf-8") for c in "\r\x1b\x00")
    names = [c.value for c in openpyxl.load_workbook(tmp_path / "r.xlsx")["parameters"]["A"]]
    assert "baseline (run\\r=1+1)" in names and any(str(n).startswith("baseline (nul") for n in names)


def test_a_dollar_in_a_header_or_label_is_drawn_as_written(tmp_path):
    rows = ["T (°C),CD $\\alpha$ (mdeg),c (uM),sample"]
    for i, c in enumerate(CONCENTRATIONS):
        rows += [f"{t:.1f},{y:.4f},{c * 1e6:g},run $x {i}" for t, y in zip(CELSIUS, cd(c, i))]
    (tmp_path / "run.csv").write_text("\n".join(rows) + "\n", encoding="utf-8")
    run = kelvara("fit", "run.csv", "--curve-column", "sample", "--plot", "f.svg", "--annotate", "--report", "r.html",
                  cwd=tmp_path)
    assert run.returncode in (0, 1), run.stderr
    assert "Traceback" not in run.stderr and "mathtext" not in run.stderr.lower()
    svg = (tmp_path / "f.svg").read_text(encoding="utf-8")
    assert "CD $\\alpha$ (mdeg)" in svg and "run $x 0" in svg
    assert (tmp_path / "r.html").stat().st_size > 10000


def test_an_instrument_file_cut_inside_a_number_leaves_the_cut_line_out(tmp_path):
    from test_io import jasco

    from kelvara.io import read

    content, _ = jasco("Concentration\t1,0e-005 mol/L")
    rows = content.split(b"\r\n")
    last = max(i for i, row in enumerate(rows) if row[:1].isdigit())
    cut = b"\r\n".join(rows[:last] + [rows[last][:3]])  # "-3" of "-38.2419": no line end after it
    (tmp_path / "cut.txt").write_bytes(cut)
    (tmp_path / "whole.txt").write_bytes(b"\r\n".join(rows[:last + 1]) + b"\r\n")
    cut_reading, whole_reading = (read(tmp_path / name, c_tot=["10 uM"]) for name in ("cut.txt", "whole.txt"))
    assert cut_reading.curves[0].size == whole_reading.curves[0].size - 1
    assert any("has no line end: the file was cut short" in note for note in cut_reading.notes)
    assert not any("cut short" in note for note in whole_reading.notes)


def test_a_title_line_above_a_table_does_not_make_it_a_cary_export(tmp_path):
    data = _run_file(tmp_path / "run.csv", "Temperature (°C)")
    data.write_text("PBI batch 2 1uM stock\n" + data.read_text(encoding="utf-8"), encoding="utf-8")
    run = kelvara("read", data, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    shown = run.stdout + run.stderr
    assert "long table" in shown and "Cary" not in shown and "concentration, uM" in shown


@pytest.mark.parametrize("factor", [1e200, 1e-200])
def test_a_signal_whose_squares_are_not_numbers_is_refused(tmp_path, factor):
    rows = [f"{t:.1f},{y * factor:.6g},{c * 1e6:g}"
            for i, c in enumerate(CONCENTRATIONS) for t, y in zip(CELSIUS, cd(c, i))]
    (tmp_path / "run.csv").write_text("T (C),CD (mdeg),c (uM)\n" + "\n".join(rows) + "\n")
    run = kelvara("fit", "run.csv", cwd=tmp_path)
    assert run.returncode == 2, run.stderr
    assert "kelvara fits signals of size 1e-100 to 1e+100; rescale the column" in run.stderr


@pytest.mark.parametrize("command", ["read", "fit"])
def test_a_symlink_loop_is_a_file_that_cannot_be_read(tmp_path, command):
    (tmp_path / "a.csv").symlink_to(tmp_path / "b.csv")
    (tmp_path / "b.csv").symlink_to(tmp_path / "a.csv")
    run = kelvara(command, "a.csv", "--json", "out.json", cwd=tmp_path)
    assert run.returncode == 2 and run.stderr.startswith("kelvara: error: cannot read a.csv: "), run.stderr


@pytest.mark.parametrize("suffix", [".csv", ".xlsx"])
def test_values_under_no_header_are_refused_not_left_out(tmp_path, suffix):
    """A header cell merged over two columns names only the first: the second
    column's curve was left out unsaid."""
    rows = [[float(t), float(a), float(b)] for t, a, b in zip(CELSIUS, cd(5e-6, 0), cd(1e-5, 1))]
    if suffix == ".csv":
        (tmp_path / "run.csv").write_text("T (C),5 uM\n" + "\n".join(",".join(map(str, r)) for r in rows) + "\n")
    else:
        openpyxl = pytest.importorskip("openpyxl")
        book = openpyxl.Workbook()
        book.active.append(["T (C)", "5 uM", None])
        for row in rows:
            book.active.append(row)
        book.active.merge_cells("B1:C1")
        book.save(tmp_path / "run.xlsx")
    run = kelvara("read", "run" + suffix, cwd=tmp_path)
    assert run.returncode == 2, run.stdout
    assert "2: column 3 holds values but the header names 2 columns" in run.stderr


def test_more_curves_than_a_fit_takes_are_refused_before_the_fit(tmp_path):
    curve = cd(5e-6, 0)
    header = ",".join(f"{1 + 0.1 * j:.1f} uM" for j in range(101))
    body = "\n".join(f"{t:.1f}," + ",".join(f"{y:.4f}" for _ in range(101)) for t, y in zip(CELSIUS, curve))
    (tmp_path / "wide.csv").write_text(f"T (C),{header}\n{body}\n")
    assert kelvara("read", "wide.csv", cwd=tmp_path).returncode == 0  # reading them is fine
    run = kelvara("fit", "wide.csv", cwd=tmp_path)
    assert run.returncode == 2 and "101 curves are more than one fit takes (100" in run.stderr, run.stderr


def test_a_file_of_one_endless_line_is_refused_before_it_is_parsed(tmp_path):
    (tmp_path / "line.csv").write_text("T,CD\n" + ",".join("0.5" for _ in range(50000)) + "\n")
    run = kelvara("read", "line.csv", cwd=tmp_path)
    assert run.returncode == 2 and "line 2: 50000 columns; kelvara reads tables of at most 4000" in run.stderr


def _table(path, header, rows):
    path.write_text(header + "\n" + "\n".join(",".join(str(v) for v in row) for row in rows) + "\n",
                    encoding="utf-8")
    return path


@pytest.mark.parametrize("header, value", [("Pathlength (mm)", 10), ("Em (nm)", 520), ("Bandwidth (nm)", 1),
                                           ("Slit (nm)", 5), ("Size (um)", 2), ("Ex wavelength (nm)", 480)])
def test_a_length_is_never_read_as_a_concentration(tmp_path, header, value):
    path = _table(tmp_path / "run.csv", f"T (°C),CD (mdeg),{header}",
                  [(f"{t:.1f}", f"{y:.5f}", value) for t, y in zip(CELSIUS, cd(1e-5, 0))])
    curves = read_curves(path, c_tot=["10uM"])
    assert [c.c_tot for c in curves] == [1e-5]


@pytest.mark.parametrize("header", ["c (uM)", "[PBI] (uM)", "Total concentration (uM)", "Conc./uM"])
def test_a_concentration_column_is_named_and_in_a_molar_unit(tmp_path, header):
    rows = [(f"{t:.1f}", f"{y:.5f}", c) for c in (5, 20) for t, y in zip(CELSIUS, cd(c * 1e-6, 0))]
    curves = read_curves(_table(tmp_path / "run.csv", f"T (°C),CD (mdeg),{header}", rows))
    assert [c.c_tot for c in curves] == [5e-6, 2e-5]


@pytest.mark.parametrize("given", ["1e-300M", "5M", "2.5 M", "2e-13", "0.5"])
def test_an_absurd_concentration_is_refused(tmp_path, capsys, given):
    path = _table(tmp_path / "run.csv", "T (°C),CD (mdeg)",
                  [(f"{t:.1f}", f"{y:.5f}") for t, y in zip(CELSIUS, cd(1e-5, 0))])
    assert main(["read", str(path), "--c-tot", given]) == 2
    assert "is not a plausible concentration" in capsys.readouterr().err


def test_an_absurd_concentration_in_a_file_is_refused(tmp_path, capsys):
    path = _table(tmp_path / "run.csv", "T (°C),CD (mdeg),c (M)", [(f"{t:.1f}", f"{y:.5f}", 5) for t, y in
                                                                  zip(CELSIUS, cd(1e-5, 0))])
    assert main(["read", str(path)]) == 2
    assert "line 2, column 'c (M)': concentration 5 is 5 mol/L, not a plausible concentration" in \
        capsys.readouterr().err


def _cary(path, unit):
    rows = ["PBI 10uM,", f"Temperature ({unit}),Abs,"]
    rows += [f"{t:.2f},{y:.6f}," for t, y in zip(np.concatenate([CELSIUS, CELSIUS[::-1]]),
                                                 np.concatenate([cd(1e-5, 0), cd(1e-5, 1)[::-1]]))]
    path.write_text("\n".join(rows) + "\n", encoding="utf-8")
    return path


@pytest.mark.parametrize("unit", ["mK", "zorks", "°", "°Ré"])
def test_a_cary_export_in_an_unknown_temperature_unit_is_refused(tmp_path, unit):
    with pytest.raises(ReadError, match=f"states the unit '{unit}', which is not a temperature unit kelvara reads"):
        read_curves(_cary(tmp_path / "cary.csv", unit))


@pytest.mark.parametrize("unit", ["°C", "Â°C", "\ufffdC"])
def test_a_cary_export_in_celsius_is_read_with_its_degree_sign_mangled_or_not(tmp_path, unit):
    curves = read_curves(_cary(tmp_path / "cary.csv", unit))
    assert curves[0].temperature == pytest.approx(CELSIUS + 273.15)


@pytest.mark.parametrize("header, units, label", [
    ('T (°C),CD (mdeg),c (uM),sample', None, '"A, run {i}"'),  # a quoted comma in the data rows
    ('Temperature,"CD, smoothed",c', "°C,mdeg,uM", None),  # and in a header over a units row
])
def test_a_quoted_separator_is_part_of_its_cell(tmp_path, header, units, label):
    rows = [header] + ([units] if units else [])
    for i, c in enumerate(CONCENTRATIONS):
        rows += [f"{t:.1f},{y:.4f},{c * 1e6:g}" + (f",{label.format(i=i)}" if label else "")
                 for t, y in zip(CELSIUS, cd(c, i))]
    (tmp_path / "run.csv").write_text("\n".join(rows) + "\n", encoding="utf-8")
    from kelvara.io import read

    reading = read(tmp_path / "run.csv")
    assert [c.c_tot for c in reading.curves] == list(CONCENTRATIONS)
    assert [(c.header, c.unit) for c in reading.files[0].columns if c.role == "signal"] == \
        [("CD (mdeg)", "mdeg")] if label else [("CD, smoothed (mdeg)", "mdeg")]


@pytest.mark.parametrize("args, words", [
    (["--range", "0x10:0x50C"], "not '0x10'"),  # the value as given, not a number re-written from it
    (["--exclude", "62.5C@"], "name the curve after @"),  # not every curve
    (["--range", "5:85C", "--range", "10:80C"], "--range is given twice (5:85C and 10:80C)"),  # not the last
])
def test_a_range_that_cannot_be_what_was_meant_is_refused(capsys, args, words):
    from kelvara.cli import main

    try:
        code = main(["read", "--example", *args])
    except SystemExit as stop:  # the parser's own refusal
        code = stop.code
    assert code == 2 and words in capsys.readouterr().err


@pytest.mark.parametrize("unit", ["V", "volts", "-"])
def test_a_units_row_of_volts_or_a_dash_is_units_not_the_header(tmp_path, unit):
    from kelvara.io import read

    rows = ["Temperature,CD,HT", f"°C,mdeg,{unit}"] + [f"{t:.1f},{y:.4f},400" for t, y in zip(CELSIUS, cd(1e-5, 0))]
    (tmp_path / "run.csv").write_text("\n".join(rows) + "\n", encoding="utf-8")
    reading = read(tmp_path / "run.csv", c_tot=["10uM"], signal_column="CD")
    assert [c.header for c in reading.files[0].columns] == ["Temperature (°C)", "CD (mdeg)", f"HT ({unit})"]
    assert reading.curves[0].size == CELSIUS.size


def test_signals_missing_at_the_start_leave_their_rows_out_not_the_header(tmp_path):
    from kelvara.io import read

    rows = ["T (°C),CD (mdeg)"] + [f"{t:.1f},{'nan' if i < 20 else f'{y:.4f}'}"
                                   for i, (t, y) in enumerate(zip(CELSIUS, cd(1e-5, 0)))]
    (tmp_path / "run.csv").write_text("\n".join(rows) + "\n", encoding="utf-8")
    reading = read(tmp_path / "run.csv", c_tot=["10uM"])
    assert reading.files[0].columns[1].header == "CD (mdeg)" and reading.curves[0].size == CELSIUS.size - 20
    assert any("dropped 20 row(s) with missing values" in note for note in reading.notes)


def test_formulas_a_workbook_holds_no_value_for_are_said_to_be_so(tmp_path, capsys):
    import openpyxl

    from kelvara.cli import main

    book = openpyxl.Workbook()
    book.active.append(["T (°C)", "CD (mdeg)", "c (uM)"])
    for i, t in enumerate(CELSIUS[:40]):
        book.active.append([float(t), f"=A{i + 2}*0.1", 10])  # saved by a program that calculates nothing
    book.save(tmp_path / "run.xlsx")
    assert main(["read", str(tmp_path / "run.xlsx")]) == 2
    assert "row 2, column 2: a formula the workbook holds no value for (40 such cell(s)" in capsys.readouterr().err
