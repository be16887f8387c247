"""Blanks: a buffer measured over the same temperatures, subtracted from
every curve from a file of its own (interpolated) or from a column beside
the signal (row by row); refused with the way out where the temperatures
do not overlap, and named with its SHA-256 in the reading, JSON and report."""

import hashlib
import json

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

from kelvara.io import ReadError, read  # noqa: E402

from helpers import kelvara_in_process  # noqa: E402
from test_ramps import DOWN, TRUE, cd  # noqa: E402


def buffer(celsius):
    """A buffer's CD: an offset that drifts with temperature."""
    return 1.5 + 0.02 * (np.asarray(celsius) - 20.0)


def write(path, header, columns):
    path.write_text(header + "\n" + "\n".join(",".join(f"{v:.4f}" for v in row) for row in zip(*columns)) + "\n")
    return path


def test_a_blank_file_is_subtracted_at_each_curves_temperatures(tmp_path):
    rng = np.random.default_rng(8)
    sample = cd(DOWN, 1e-5) + buffer(DOWN) + rng.normal(0, 0.3, DOWN.size)
    write(tmp_path / "sample.csv", "T (°C),CD (mdeg)", [DOWN, sample])
    coarse = np.arange(95.0, 0.0, -1.0)  # another grid, wider than the sample's
    blank = write(tmp_path / "buffer.csv", "T (°C),CD (mdeg)", [coarse, buffer(coarse)])
    reading = read(tmp_path / "sample.csv", c_tot=["10uM"], blank=str(blank))
    assert reading.curves[0].signal == pytest.approx(np.round(sample, 4) - buffer(DOWN), abs=1e-9)
    assert reading.blank["sha256"] == hashlib.sha256(blank.read_bytes()).hexdigest()
    run = kelvara_in_process("fit", "sample.csv", "--c-tot", "10uM", "--blank", "buffer.csv", "--no-baseline-slope",
                             "--json", "out.json", "--report", "out.html", cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
    result = json.loads((tmp_path / "out.json").read_text())
    assert result["reading"]["blank"]["points"] == coarse.size and result["reading"]["options"]["blank"] == "buffer.csv"
    for name, truth in zip(("delta_h", "delta_s", "delta_h_nuc"), TRUE):
        p = result["parameters"][name]
        assert abs(p["value"] - truth) < 3 * p["stderr"], name
    assert abs(result["parameters"]["baseline[0]"]["value"]) < 3 * result["parameters"]["baseline[0]"]["stderr"]
    html = (tmp_path / "out.html").read_text()
    assert "buffer.csv</code> (the blank, subtracted)" in html and reading.blank["sha256"] in html


def test_a_blank_column_is_subtracted_row_by_row(tmp_path):
    rng = np.random.default_rng(9)
    cell_1 = buffer(DOWN) + rng.normal(0, 0.1, DOWN.size)
    cell_2 = cd(DOWN, 1e-5) + buffer(DOWN) + rng.normal(0, 0.3, DOWN.size)
    path = write(tmp_path / "cells.csv", "T (°C),cell 2 (mdeg),cell 1 (mdeg)", [DOWN, cell_2, cell_1])
    reading = read(path, c_tot=["10uM"], signal_column="2", blank_column="3")
    assert reading.curves[0].signal == pytest.approx(np.round(cell_2, 4) - np.round(cell_1, 4), abs=1e-12)
    assert [c.role for c in reading.files[0].columns] == ["temperature", "signal", "blank"]


def test_a_blank_that_does_not_cover_the_curves_is_refused_with_the_range_that_works(tmp_path):
    write(tmp_path / "sample.csv", "T (°C),CD (mdeg)", [DOWN, cd(DOWN, 1e-5)])
    short = np.arange(80.0, 10.0, -1.0)
    write(tmp_path / "short.csv", "T (°C),CD (mdeg)", [short, buffer(short)])
    run = kelvara_in_process("read", "sample.csv", "--c-tot", "10uM", "--blank", "short.csv", cwd=tmp_path)
    assert run.returncode == 2
    assert "the blank spans 11 °C to 80 °C, but curve 'sample' reaches 5 °C to 90 °C; fit only where both were " \
           "measured, e.g. --range 11:80C" in run.stderr
    run = kelvara_in_process("read", "sample.csv", "--c-tot", "10uM", "--blank", "short.csv", "--range", "11:80C",
                             cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    write(tmp_path / "two.csv", "T (°C),CD (mdeg),c (uM)", [np.r_[DOWN, DOWN], np.r_[DOWN, DOWN] * 0,
                                                           np.r_[np.full(DOWN.size, 5.0), np.full(DOWN.size, 10.0)]])
    with pytest.raises(ReadError, match="the blank .*two.csv holds 2 curves; a blank is one signal against"):
        read(tmp_path / "sample.csv", c_tot=["10uM"], blank=str(tmp_path / "two.csv"))


def test_the_page_cannot_name_a_blank_file_on_the_server():
    pytest.importorskip("starlette")
    from kelvara.analysis import UsageError
    from kelvara.app.fields import arguments

    with pytest.raises(UsageError, match="would name a file on the server"):
        arguments("fit", [("blank", "/etc/passwd")], ["data.csv"])
    assert "--blank-column=3" in arguments("fit", [("blank_column", "3")], ["data.csv"])


def test_a_blank_measured_over_a_ramp_is_subtracted_stage_by_stage_before_the_stages_are_compared(tmp_path):
    """The buffer's heating differs from its cooling by a bump near the
    transition: merged, half of it would stay in each stage of the sample
    and read as hysteresis; stage by stage, each stage is left clean."""
    ramp = np.concatenate([DOWN, DOWN[::-1]])
    bump = 0.8 * np.exp(-0.5 * ((DOWN[::-1] - 45.0) / 4.0) ** 2)
    blank = np.concatenate([buffer(DOWN), buffer(DOWN[::-1]) + bump])
    clean = np.concatenate([cd(DOWN, 1e-5), cd(DOWN[::-1], 1e-5)])
    write(tmp_path / "sample.csv", "T (°C),CD (mdeg)", [ramp, clean + blank])
    write(tmp_path / "buffer.csv", "T (°C),CD (mdeg)", [ramp, blank])
    reading = read(tmp_path / "sample.csv", c_tot=["10uM"], blank=str(tmp_path / "buffer.csv"))
    cooling, heating = reading.curves
    assert cooling.signal == pytest.approx(np.round(clean + blank, 4)[:DOWN.size] - np.round(blank, 4)[:DOWN.size],
                                           abs=1e-9)
    assert heating.signal == pytest.approx(np.round(clean + blank, 4)[DOWN.size:] - np.round(blank, 4)[DOWN.size:],
                                           abs=1e-9)
    assert cooling.hysteresis is None and heating.hysteresis is None
    assert any("its 2 stages each subtracted from the data's stages of the same kind" in n for n in reading.notes)
    assert reading.blank["stages"] == ["cooling 1", "heating 1"]
    # A sample that is not a ramp cannot take a blank of stages.
    write(tmp_path / "scattered.csv", "T (°C),CD (mdeg)", [np.tile(DOWN[::8], 6), np.zeros(DOWN[::8].size * 6)])
    with pytest.raises(ReadError, match="the blank holds cooling and heating stages, each subtracted from the "
                                        "data's own, but curve .* is not a ramp"):
        read(tmp_path / "scattered.csv", c_tot=["10uM"], blank=str(tmp_path / "buffer.csv"))
