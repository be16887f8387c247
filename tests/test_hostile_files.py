"""Hostile files and outputs: data through pipes and FIFOs, links and
devices as outputs, workbooks that claim a million rows, units that would
be taken silently, readings recorded twice, curves changed after they were
made.  Each class of case either gives the right answer or one line with
status 2; none hangs, leaks a traceback or replaces what it should write
through."""

import dataclasses
import json
import math
import os
import pathlib
import subprocess
import sys

import pytest

from helpers import kelvara_in_process

np = pytest.importorskip("numpy")
pytest.importorskip("pandas")
pytest.importorskip("scipy")

from kelvara import _core  # noqa: E402
from kelvara.fit import Curve, fit  # noqa: E402
from kelvara.io import ReadError, read, read_curves  # noqa: E402

TRUE = (-95000.0, -180.0, 22000.0)
CELSIUS = np.arange(90.0, 4.9, -1.0)


def cd(c_tot, seed=0, noise=0.3):
    fraction = np.array(_core.temp_cooperative_model((CELSIUS + 273.15).tolist(), *TRUE, c_tot, 1.0))
    return -2.0 - 40.0 * fraction + np.random.default_rng(seed).normal(0.0, noise, CELSIUS.size)


def child_environment():
    """The environment of a child run under a memory cap: no sanitizer preloaded."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC")}


def kelvara(*args, cwd, stdin=None, limit=None):
    if stdin is None and limit is None:
        return kelvara_in_process(*args, cwd=cwd)

    def cap():
        if limit:
            import resource

            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    return subprocess.run([sys.executable, "-m", "kelvara", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, timeout=120, input=stdin, preexec_fn=cap if limit else None,
                          env=child_environment() if limit else None)


def files(folder):
    """One small file of each family, as bytes."""
    long = "T (°C),CD (mdeg),c (uM)\n" + "".join(f"{t},{y:.4f},{c}\n" for c in (5, 20)
                                                  for t, y in zip(CELSIUS, cd(c * 1e-6)))
    jasco = "\r\n".join(["TITLE\tPBI", "XUNITS\tTemperature [C]", "YUNITS\tCD [mdeg]", "XYDATA"]
                        + [f"{t}\t{y:.4f}" for t, y in zip(CELSIUS, cd(1e-5))]
                        + ["", "[Detailed Information]", "Concentration\t10 uM"]) + "\r\n"
    cary = "PBI 5uM,,\nTemperature (°C),Abs,\n" + "".join(f"{t},{y / -40:.5f},\n" for t, y in
                                                        zip(CELSIUS, cd(5e-6)))
    openpyxl = pytest.importorskip("openpyxl")
    book = openpyxl.Workbook()
    book.active.append(["T (°C)", "5 uM", "20 uM"])
    for t, a, b in zip(CELSIUS, cd(5e-6), cd(2e-5, 1)):
        book.active.append([float(t), float(a), float(b)])
    book.save(folder / "book.xlsx")
    return {"long": long.encode(), "jasco": jasco.encode("cp1252"), "cary": cary.encode("utf-8-sig"),
            "xlsx": (folder / "book.xlsx").read_bytes()}


# --- inputs that can be read once only ---------------------------------------------


@pytest.mark.parametrize("family", ["long", "jasco", "cary", "xlsx"])
def test_every_family_reads_through_a_pipe(tmp_path, family):
    data = files(tmp_path)[family]
    done = subprocess.run([sys.executable, "-m", "kelvara", "read", "/dev/stdin"], input=data, capture_output=True,
                          cwd=tmp_path, timeout=120)
    assert done.returncode == 0, done.stderr.decode()
    (tmp_path / "data").write_bytes(data)
    from_file = kelvara("read", "data", cwd=tmp_path)
    assert done.stdout.decode() == from_file.stdout.replace("read data as", "read /dev/stdin as") \
        .replace("'data'", "'stdin'")


@pytest.mark.parametrize("family, option, called", [
    ("long", ["--sheet", "2"], "--sheet does not apply to a delimited text file"),
    ("xlsx", ["--decimal", ","], "--decimal does not apply to an Excel workbook"),
    ("jasco", ["--temperature-column", "2"], "--temperature-column does not apply to a JASCO temperature or time scan"),
    ("cary", ["--signal-column", "3"], "--signal-column does not apply to a Cary thermal or kinetics export"),
    ("cary", ["--blank-column", "3"], "--blank-column does not apply to a Cary thermal or kinetics export"),
])
def test_an_option_the_files_format_does_not_use_is_refused(tmp_path, family, option, called):
    (tmp_path / "data").write_bytes(files(tmp_path)[family])
    done = kelvara("read", "data", *option, cwd=tmp_path)
    assert done.returncode == 2 and f"{called} (data): leave it out" in done.stderr, done.stderr


def test_an_option_some_files_use_is_a_note_on_the_others(tmp_path):
    written = files(tmp_path)
    (tmp_path / "run.csv").write_bytes(written["long"])
    done = kelvara("read", "book.xlsx", "run.csv", "--sheet", "1", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "run.csv: --sheet does not apply to a delimited text file: ignored for this file" in done.stdout


def test_a_fifo_is_fitted(tmp_path):
    os.mkfifo(tmp_path / "in.csv")
    writer = subprocess.Popen(["sh", "-c", f"cat > {tmp_path / 'in.csv'}"], stdin=subprocess.PIPE)
    writer.stdin.write(files(tmp_path)["long"])
    writer.stdin.close()
    done = kelvara("fit", "in.csv", "--json", "-", cwd=tmp_path)
    writer.wait(timeout=60)
    assert done.returncode == 0, done.stderr
    parameters = json.loads(done.stdout)["parameters"]
    assert abs(parameters["delta_h"]["value"] - TRUE[0]) < 3 * parameters["delta_h"]["stderr"]


@pytest.mark.parametrize("columns", [700, 800])  # a header of 245 KB, just under the 256 KB the
def test_a_first_line_longer_than_the_sample_is_read_whole(tmp_path, columns):  # sniffer reads; of 280 KB, over
    path = tmp_path / "wide.csv"
    remark = " PBI in methylcyclohexane" + "; cooled at 1 K/min from 90 to 5 °C" * 9
    header = ["T (°C)"] + [f"{5 + i * 1e-4:.4f} uM{remark}" for i in range(columns)]
    rows = [",".join([f"{t}"] + ["0.5"] * columns) for t in CELSIUS[:6]]
    path.write_text("\n".join([",".join(header)] + rows) + "\n")
    assert abs(len(",".join(header)) - 2**18) > 15000  # clearly on one side of the sample's end
    reading = read(path)
    assert len(reading.curves) == columns and reading.curves[0].size == 6
    assert reading.curves[1].c_tot == pytest.approx(5.0001e-6)


def test_a_workbook_claiming_a_million_rows_costs_what_its_cells_cost(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    book = openpyxl.Workbook()
    book.active.append(["T (°C)", "5 uM", "5 uM"])  # a header repeated too
    for t, y in zip(CELSIUS, cd(5e-6)):
        book.active.append([float(t), float(y), float(y) + 0.01])
    book.active["XFD1048576"] = 1
    book.save(tmp_path / "bomb.xlsx")
    done = kelvara("read", "bomb.xlsx", cwd=tmp_path, limit=2 << 30)  # it once took 7.5 GB
    assert done.returncode == 0, done.stderr
    assert "5 uM.1: c_tot 5 µM, 86 points" in done.stdout
    assert "left out 1 row(s) holding only values beyond column 4000 (row 1048576)" in done.stdout


def test_a_workbook_with_far_cells_beside_its_data_is_refused_at_the_cost_of_its_cells(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.append(["T (°C)", "CD (mdeg)"])
    for row in range(2, 20002):
        sheet.cell(row, 1, 90.0 - row * 0.004)
        sheet.cell(row, 2, 1.0)
        sheet.cell(row, 16384, 1)  # column XFD: 275 KB that once took 16 s and 2.6 GB
    book.save(tmp_path / "far.xlsx")
    done = kelvara("read", "far.xlsx", "--c-tot", "5uM", cwd=tmp_path, limit=1 << 30)
    assert done.returncode == 2 and "row 2: a value in column 16384; kelvara reads tables of at most 4000 " \
        "columns" in done.stderr, done.stderr


# --- outputs --------------------------------------------------------------------------


def test_a_link_to_standard_output_is_the_stream_and_stale_temporaries_go(tmp_path):
    (tmp_path / "so").symlink_to("/proc/self/fd/1")
    (tmp_path / ".r.json.999999999.tmp").write_text("left by a killed run")
    done = kelvara("fit", "--example", "--json", "so", "--csv", "r.json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["ok"] and (tmp_path / "so").is_symlink()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["r.json", "so"]


def test_a_folder_that_cannot_be_written_is_refused_before_any_work(tmp_path, monkeypatch, capsys):
    from kelvara import cli, writer

    folder = tmp_path / "locked"
    folder.mkdir()
    # As root every folder is writable: the permission the system would report is what is faked.
    monkeypatch.setattr(writer.os, "access", lambda path, mode: pathlib.Path(path) != folder)
    assert cli.main(["fit", "--example", "--json", str(folder / "f.json")]) == 2
    said = capsys.readouterr()
    assert said.out == "" and said.err == f"kelvara: error: --json {folder / 'f.json'}: the folder {folder} cannot " \
        "be written to\n"


# --- units never taken silently ---------------------------------------------------------


@pytest.mark.parametrize("line, c_tot", [("Concentration\t10 µmol/L", 1e-5), ("Concentration\t10 μM", 1e-5),
                                         ("Concentration\t10 umol/L", 1e-5), ("Concentration\t1e-5", 1e-5),
                                         ("Concentration\t10", None), ("Concentration\t0.05 mg/mL", None)])
def test_a_jasco_concentration_is_read_with_its_unit_or_refused(tmp_path, line, c_tot):
    content = files(tmp_path)["jasco"].replace(b"Concentration\t10 uM", line.encode("utf-8"))
    (tmp_path / "scan.txt").write_bytes(content)
    if c_tot is None:
        with pytest.raises(ReadError, match="has no unit this reader knows.*--c-tot"):
            read_curves(tmp_path / "scan.txt")
    else:
        assert read_curves(tmp_path / "scan.txt")[0].c_tot == pytest.approx(c_tot, rel=1e-15)


@pytest.mark.parametrize("family, old, new", [("jasco", b"Temperature [C]", b"Temperature [F]"),
                                              ("cary", "Temperature (°C)".encode(), "Temperature (°F)".encode())])
def test_fahrenheit_is_refused_with_its_unit_named(tmp_path, family, old, new):
    (tmp_path / "f.txt").write_bytes(files(tmp_path)[family].replace(old, new))
    with pytest.raises(ReadError, match="Fahrenheit"):
        read_curves(tmp_path / "f.txt", c_tot=["5uM"] if family == "cary" else None)


# --- the fit ----------------------------------------------------------------------------


def curves(seed=0):
    return [Curve(CELSIUS + 273.15, cd(c, seed + i), c) for i, c in enumerate((5e-6, 1e-5, 2e-5))]


def test_readings_recorded_twice_leave_a_right_fit_ok(tmp_path):
    doubled = [Curve(np.repeat(c.temperature, 2), np.repeat(c.signal, 2), c.c_tot) for c in curves()]
    result = fit(doubled)
    assert result.ok, result.problems
    assert result.noise == pytest.approx(0.3, rel=0.25)


def test_a_curve_is_frozen_and_a_changed_copy_is_checked_again():
    data = curves()
    result = fit(data)
    before = result.derived["Te[0]"].value
    table = result.curve_table()
    with pytest.raises(dataclasses.FrozenInstanceError):
        data[0].temperature = data[0].temperature + 5.0
    with pytest.raises(ValueError, match="read-only"):
        data[0].signal[:] += 1.0
    after = result.curve_table()
    assert all(np.array_equal(after[k], table[k]) for k in ("signal", "residual", "aggregation"))
    # The arrays a curve was made from are copied: changing them later
    # changes nothing the curve holds.
    signal = np.array(data[0].signal)
    curve = Curve(data[0].temperature, signal, data[0].c_tot)
    signal[:] = 0.0
    assert np.array_equal(curve.signal, data[0].signal)
    moved = [dataclasses.replace(c, temperature=c.temperature + 5.0) for c in data]
    assert fit(moved).derived["Te[0]"].value == pytest.approx(before + 5.0, abs=0.5)
    with pytest.raises(ValueError, match="total concentration must be positive"):
        dataclasses.replace(data[1], c_tot=-1.0)
    with pytest.raises(ValueError, match="signal is not finite at point 3"):
        dataclasses.replace(data[2], signal=np.where(np.arange(data[2].size) == 3, math.nan, data[2].signal))


@pytest.mark.parametrize("options, words", [
    (dict(fix={"delta_h": -95000.0}, bounds={"delta_h": (-90000.0, -80000.0)}), "outside its own bounds"),
    (dict(model="cooperative_n", nuc_size=1000000), "at most 100 in a fit"),
])
def test_options_that_cannot_hold_are_refused_at_once(options, words):
    options = dict(options)
    model = options.pop("model", "cooperative")
    with pytest.raises(ValueError, match=words):
        fit(curves(), model, **options)


@pytest.mark.parametrize("how, words", [
    ("another user's", "is a link that another user owns (uid 4242)"),
    ("in a shared folder", "a folder anyone may write to"),
    ("leading nowhere", "the link leads to nothing"),
])
def test_a_link_a_neighbour_could_have_planted_is_never_written_through(tmp_path, capsys, how, words):
    from kelvara.cli import main

    home = tmp_path / "home"
    home.mkdir()
    precious = home / "thesis.tex"
    precious.write_text("mine")
    folder = tmp_path / "shared"
    folder.mkdir()
    link = folder / "report.html"
    link.symlink_to(home / "gone" if how == "leading nowhere" else precious)
    if how == "in a shared folder":
        folder.chmod(0o1777)
    if how == "another user's":
        if os.geteuid() != 0:
            pytest.skip("giving a link to another user takes root")
        os.lchown(link, 4242, 4242)
    assert main(["fit", "--example", "--report", str(link)]) == 2
    assert words in capsys.readouterr().err
    assert precious.read_text() == "mine" and not (home / "gone").exists()


def test_a_temporary_name_taken_by_a_planted_link_is_not_written_through(tmp_path):
    from kelvara import writer

    precious = tmp_path / "thesis.tex"
    precious.write_text("mine")
    (tmp_path / f".r.json.{os.getpid()}.tmp").symlink_to(precious)
    writer.write(str(tmp_path / "r.json"), "{}")
    assert (tmp_path / "r.json").read_text() == "{}" and precious.read_text() == "mine"
