"""Time traces as labs write them: a stopped-flow export, a table with a time
column, and the fit of them from the command line."""

import math

import numpy as np
import pytest

from helpers import kelvara_in_process
from kelvara.io import read
from kelvara.kinetics import simulate

R = 8.314
ROOM = 293.15
THERMO = dict(delta_h=-80e3, delta_s=R * math.log(4e5) - 80e3 / ROOM, delta_h_nuc=15e3)


def biologic(path, times, signal, unit_x="ms", unit_y="V"):
    rows = "\n".join(f"{t:.6g}\t{y:.6g}" for t, y in zip(times, signal))
    path.write_text(f"BIO-KINE ASCII FILE\n_TITLE\tpbi 10uM\n_UNITX\n{unit_x}\n_UNITY\t{unit_y}\n_DATA\n{rows}\n\n",
                    encoding="latin-1")
    return path


def test_a_stopped_flow_export_is_read_as_meant(tmp_path):
    times = np.linspace(-40.0, 2000.0, 103)  # two pre-trigger readings, then 0 to 2 s
    path = biologic(tmp_path / "sf.bka", times, 1.0 + 0.001 * times)
    reading = read(path, c_tot="10uM", temperature="20C", start_temperature="40C", dilution=3.5)
    (curve,) = reading.curves
    assert curve.vary == "time" and curve.c_tot == pytest.approx(10e-6)
    np.testing.assert_allclose(curve.x, times[2:] * 1e-3)  # ms -> s, from time 0
    np.testing.assert_allclose(curve.signal, 1.0 + 0.001 * times[2:])
    assert "2 point(s) before time 0" in reading.text()
    assert curve.temperature == pytest.approx(ROOM)
    assert (curve.start.kind, curve.start.dilution) == ("equilibrium", 3.5)
    assert curve.start.temperature == pytest.approx(313.15)
    assert "Bio-Logic" in reading.text() and "time in ms" in reading.text()


@pytest.mark.parametrize("header, factor", [("time (s)", 1.0), ("t [min]", 60.0), ("Time/ms", 1e-3), ("Time", 1.0)])
def test_a_time_column_is_read_in_seconds_with_a_trace_per_concentration(tmp_path, header, factor):
    times = np.arange(0.0, 50.0)
    lines = [f"{header},5 uM,10 uM"] + [f"{t:g},{t * 2:g},{t * 3:g}" for t in times]
    path = tmp_path / "traces.csv"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    reading = read(path, temperature="20C")
    curves = reading.curves
    assert ("states no unit: read in seconds" in reading.text()) == (header == "Time")  # said, never assumed silently
    assert [c.vary for c in curves] == ["time", "time"]
    assert [c.c_tot for c in curves] == pytest.approx([5e-6, 10e-6])
    np.testing.assert_allclose(curves[1].x, times * factor)
    assert curves[0].start.kind == "monomer"


@pytest.mark.parametrize("args, words", [
    ([], "needs the temperature it was recorded at"),
    (["--temperature", "20C", "--dilution", "0.5"], "1 or more"),
])
def test_time_traces_without_what_they_need_are_refused(tmp_path, args, words):
    lines = ["time (s),5 uM"] + [f"{t},{t}" for t in range(20)]
    (tmp_path / "t.csv").write_text("\n".join(lines) + "\n", encoding="utf-8")
    done = kelvara_in_process("fit", tmp_path / "t.csv", *args)
    assert done.returncode == 2 and words in done.stderr


def test_the_fit_of_stopped_flow_traces_from_the_command_line(tmp_path):
    times = np.concatenate(([0.0], np.geomspace(0.5, 3000.0, 50)))
    rng = np.random.default_rng(3)
    header = ["time (s)"]
    columns = [times]
    for c_tot in (10e-6, 20e-6):
        run = simulate(times, c_tot, ROOM, start_temperature=ROOM + 20, nuc_size=4, k_plus=2e5,
                       nucleation_ratio=0.05, **THERMO)
        header.append(f"{c_tot * 1e6:g} uM")
        columns.append(2.0 - 40.0 * run.fraction + rng.normal(0.0, 0.3, times.size))
    rows = [",".join(header)] + [",".join(f"{v:.8g}" for v in row) for row in np.column_stack(columns)]
    (tmp_path / "traces.csv").write_text("\n".join(rows) + "\n", encoding="utf-8")
    fixed = [f"--fix={name}={value!r}" for name, value in THERMO.items()]
    done = kelvara_in_process("fit", tmp_path / "traces.csv", "--vary", "time", "--model", "cooperative_n",
                              "--nuc-size", "4", "--temperature", "20C", "--start-temperature", "40C", *fixed,
                              "--json", tmp_path / "fit.json")
    assert done.returncode == 0, done.stdout + done.stderr
    import json

    found = json.loads((tmp_path / "fit.json").read_text())["parameters"]
    assert abs(found["k_plus"]["value"] - 2e5) < 3 * found["k_plus"]["stderr"]
    import re

    assert len(re.findall(r"  t50 \d+(\.\d+)? s\n", done.stdout)) == 2  # each trace's half-time, per curve


@pytest.mark.parametrize("text, words", [
    ("BIO-KINE ASCII FILE\n_UNITX\ts\n_UNITY\tV\n", "no _DATA block"),
    ("BIO-KINE ASCII FILE\n_UNITX\tnm\n_DATA\n1\t2\n2\t3\n", "not a time"),
    ("BIO-KINE ASCII FILE\n_UNITX\ts\n_DATA\n1\t2\n1\t3\n", "repeats a time"),
    ("BIO-KINE ASCII FILE\n_UNITX\ts\n_DATA\n1\tx\n", "is not a time and a signal"),
])
def test_a_doubtful_stopped_flow_export_is_refused_in_words(tmp_path, text, words):
    from kelvara.errors import KelvaraError

    path = tmp_path / "sf.bka"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(KelvaraError, match=words):
        read(path, c_tot=["10uM"], temperature="20C")


def _jasco_time_scan(path, minutes, signal):
    head = ["TITLE\tpbi jump", "DATA TYPE\t", "ORIGIN\tJASCO", "XUNITS\tTime [min]", "YUNITS\tCD [mdeg]",
            "Y2UNITS\tHT [V]", "FIRSTX\t0", f"NPOINTS\t{minutes.size}", "XYDATA"]
    rows = [f"{t:g}\t{y:.6g}\t250.1" for t, y in zip(minutes, signal)]
    tail = ["", "##### Extended Information", "[Comments]", "Concentration\t10 uM"]
    path.write_text("\r\n".join(head + rows + tail) + "\r\n", encoding="latin-1")


def _long_traces(path, minutes, signal):
    rows = ["time (min),c (uM),CD (mdeg)"] + [f"{t:g},{c:g},{y:.6g}" for c in (10, 20)
                                             for t, y in zip(minutes, signal)]
    path.write_text("\n".join(rows) + "\n", encoding="utf-8")


def _cary_kinetics(path, minutes, signal):
    rows = ["pbi 10uM,,pbi 20uM,", "Time (min),Abs,Time (min),Abs"] + [f"{t:g},{y:.6g},{t:g},{y:.6g}," for t, y
                                                                       in zip(minutes, signal)]
    path.write_text("\r\n".join(rows) + "\r\n\r\nMethod properties\r\n", encoding="utf-8")


@pytest.mark.parametrize("write, concentrations", [(_jasco_time_scan, [10e-6]), (_long_traces, [10e-6, 20e-6]),
                                                   (_cary_kinetics, [10e-6, 20e-6])])
def test_instrument_exports_and_the_long_layout_are_read_as_traces_in_seconds(tmp_path, write, concentrations):
    minutes = np.arange(0.0, 30.0, 0.5)
    path = tmp_path / "scan.txt"
    write(path, minutes, 1.0 - 0.01 * minutes)
    curves = read(path, temperature="20C", start_temperature="40C").curves
    assert [c.vary for c in curves] == ["time"] * len(concentrations)
    assert [c.c_tot for c in curves] == pytest.approx(concentrations)
    for curve in curves:
        np.testing.assert_allclose(curve.x, minutes * 60.0)
        np.testing.assert_allclose(curve.signal, 1.0 - 0.01 * minutes)
        assert curve.start.temperature == pytest.approx(313.15)


def test_temperature_goes_to_the_traces_beside_cooling_curves(tmp_path):
    cooling = tmp_path / "cooling.csv"
    cooling.write_text("T (C),5 uM\n" + "".join(f"{t},{1 - t / 100:g}\n" for t in range(10, 70)), encoding="utf-8")
    traces = tmp_path / "traces.csv"
    traces.write_text("time (s),5 uM\n" + "".join(f"{t},{t / 100:g}\n" for t in range(30)), encoding="utf-8")
    curves = read([cooling, traces], temperature="20C", start_temperature="40C").curves
    assert [c.vary for c in curves] == ["temperature", "time"]
    assert curves[1].temperature == pytest.approx(ROOM)
    # Given beside curves against temperature alone, it is still refused.
    done = kelvara_in_process("fit", cooling, "--temperature", "20C")
    assert done.returncode == 2 and "holds curves against temperature" in done.stderr


def test_one_trace_far_from_its_half_way_guess_is_fitted_and_its_half_time_determined(tmp_path):
    # k_plus ~ 1 / (c_tot t50) would start 2,400 times too low here (the
    # nucleus slows the trace): the search scans k_plus on the trace's clock.
    # One trace cannot tell k_plus from a (NOT OK, exit 1), but the half-time
    # they make is determined.
    times = np.arange(0.0, 3601.0, 30.0)
    run = simulate(times, 10e-6, ROOM, start_temperature=ROOM + 20, nuc_size=4, k_plus=2e5, nucleation_ratio=0.05,
                   **THERMO)
    signal = -40.0 * run.fraction + np.random.default_rng(2).normal(0.0, 0.3, times.size)
    _jasco_time_scan(tmp_path / "jump.txt", times / 60.0, signal)
    fixed = [f"--fix={name}={value!r}" for name, value in THERMO.items()]
    done = kelvara_in_process("fit", tmp_path / "jump.txt", "--model", "cooperative_n", "--nuc-size", "4",
                              "--temperature", "20C", "--start-temperature", "40C", *fixed, "--json",
                              tmp_path / "fit.json")
    assert done.returncode == 1 and "nucleation_ratio is not determined" in done.stdout, done.stdout + done.stderr
    import json

    half = json.loads((tmp_path / "fit.json").read_text())["derived"]["t50[0]"]
    assert abs(half["value"] - run.t50) < 3 * half["stderr"] < 0.05 * run.t50


def test_compare_takes_the_models_that_fit_every_kind_of_curve_given():
    from kelvara.analysis import default_compared
    from kelvara.curves import Curve

    trace = Curve.time_trace(np.arange(10.0), np.arange(10.0), ROOM, 5e-6)
    cooling = Curve(np.linspace(280.0, 360.0, 10), np.arange(10.0), 5e-6)
    assert default_compared([trace]) == default_compared([cooling, trace]) == ["cooperative", "cooperative_n"]
    assert "isodesmic" in default_compared([cooling])
