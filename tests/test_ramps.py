"""Ramps in one file: a curve whose temperature goes down and up again is
split into its cooling and heating stages in any layout, `--segment` picks
them, and a sample whose cooling and heating differ beyond the noise makes
every fit of it say that an equilibrium model does not apply."""

import json
import re

import pytest

np = pytest.importorskip("numpy")

from kelvara import _core  # noqa: E402
from kelvara.io import ReadError, read  # noqa: E402
from kelvara.io.stages import hysteresis, stages  # noqa: E402

from helpers import kelvara_in_process  # noqa: E402

DOWN = np.arange(90.0, 4.9, -0.5)
TRUE = (-95000.0, -180.0, 22000.0)


def cd(celsius, c_tot, shift=0.0):
    """The CD of the cooperative model, the transition `shift` K higher."""
    kelvin = (np.asarray(celsius) + 273.15 - shift).tolist()
    return -40.0 * np.array(_core.temp_cooperative_model(kelvin, *TRUE, c_tot, 1.0))


def write_ramps(path, heating_shift=0.0, seed=1, concentrations=(5, 10, 20)):
    """A long CSV of 90 -> 5 -> 90 °C ramps, the thermometer jittering by
    0.03 K and the bath held at 5 °C for six readings."""
    rng = np.random.default_rng(seed)
    rows = ["T (°C),CD (mdeg),c (uM)"]
    for c in concentrations:
        for temps, shift in ((np.concatenate([DOWN, np.full(6, 5.0)]), 0.0), (DOWN[::-1], heating_shift)):
            signal = cd(temps, c * 1e-6, shift) + rng.normal(0, 0.3, temps.size)
            rows += [f"{t + rng.normal(0, 0.03):.2f},{y:.3f},{c}" for t, y in zip(temps, signal)]
    path.write_text("\n".join(rows) + "\n")
    return path


@pytest.mark.parametrize("temperatures, expected", [
    (np.concatenate([DOWN, DOWN[::-1], DOWN]), ["cooling", "heating", "cooling"]),
    (DOWN + np.random.default_rng(0).normal(0, 0.3, DOWN.size), ["cooling"]),  # jitter: one stage
    (np.concatenate([DOWN[::-1], np.full(20, 90.0), DOWN]), ["heating", "cooling"]),  # a hold at the top
])
def test_stages_follow_the_turns_not_the_jitter(temperatures, expected):
    found = stages(temperatures)
    assert [name for name, _ in found] == expected
    parts = [part for _, part in found]
    assert parts[0].start == 0 and parts[-1].stop == temperatures.size
    assert all(a.stop == b.start for a, b in zip(parts, parts[1:]))  # every point in one stage


def test_temperatures_out_of_order_are_no_ramp():
    assert stages(np.random.default_rng(2).permutation(DOWN)) is None


def test_a_ramp_in_a_long_table_is_split_and_segment_picks_its_stages(tmp_path):
    path = write_ramps(tmp_path / "ramp.csv")
    reading = read(path)
    cooling, heating = reading.curves[:2]
    assert (cooling.label, heating.label) == ("5 µM (cooling)", "5 µM (heating)")
    # The hold at 5 °C ends the cooling where the jittering thermometer read lowest.
    assert cooling.size + heating.size == 177 + 171 and 171 <= cooling.size <= 177
    assert len(reading.curves) == 6 and all(c.hysteresis is None for c in reading.curves)
    assert reading.curves[0].temperature.min() == pytest.approx(278.15, abs=0.1)
    assert any("split where the temperature turns" in n for n in reading.notes)
    heating = read(path, segment="heating").curves
    assert [c.label for c in heating] == ["5 µM (heating)", "10 µM (heating)", "20 µM (heating)"]
    assert all(np.all(np.diff(c.temperature) > -1.0) for c in heating)
    run = kelvara_in_process("fit", path, "--segment", "cooling", "--json", "out.json", cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
    result = json.loads((tmp_path / "out.json").read_text())
    assert result["ok"] and abs(result["parameters"]["delta_h"]["value"] - TRUE[0]) < \
        3 * result["parameters"]["delta_h"]["stderr"]


def test_a_curve_of_one_direction_reads_as_before_and_refuses_the_other_segment(tmp_path):
    path = tmp_path / "cooling.csv"
    path.write_text("T (°C),CD (mdeg)\n" + "\n".join(f"{t:.1f},{y:.3f}" for t, y in zip(DOWN, cd(DOWN, 1e-5))) + "\n")
    (curve,) = read(path, c_tot=["10uM"]).curves
    assert "(" not in (curve.label or "") and curve.size == DOWN.size
    run = kelvara_in_process("read", path, "--c-tot", "10uM", "--segment", "heating")
    assert run.returncode == 2
    assert "no heating stage of 5 points or more in any sample" in run.stderr


def test_a_shift_between_cooling_and_heating_is_measured_within_its_error():
    for c_tot in (5e-6, 2e-5):
        rng = np.random.default_rng(3)
        up = DOWN[::-1]
        shift, error = hysteresis(DOWN, cd(DOWN, c_tot) + rng.normal(0, 0.3, DOWN.size),
                                  up, cd(up, c_tot, 4.0) + rng.normal(0, 0.3, up.size))
        assert abs(shift - 4.0) < 3 * error and error < 0.5
    flat = np.zeros(DOWN.size)
    assert hysteresis(DOWN, flat + np.random.default_rng(4).normal(0, 0.3, DOWN.size), DOWN[::-1],
                      flat + np.random.default_rng(5).normal(0, 0.3, DOWN.size)) is None


@pytest.mark.parametrize("heating_shift, called", [(0.0, False), (3.0, True)])
def test_stages_that_differ_in_offset_slope_and_size_are_compared_by_their_transition(heating_shift, called):
    rng = np.random.default_rng(8)
    up = DOWN[::-1]
    heating = 1.2 * cd(up, 2e-5, heating_shift) + 2.0 + 0.05 * (up - 50.0) + rng.normal(0, 0.3, up.size)
    shift, error = hysteresis(DOWN, cd(DOWN, 2e-5) + rng.normal(0, 0.3, DOWN.size), up, heating)
    assert abs(shift - heating_shift) < 3 * error
    assert bool(abs(shift) > max(1.0, 4 * error)) is called


def test_a_shift_beyond_the_search_is_not_reported_as_its_edge():
    up = DOWN[::-1]
    assert hysteresis(DOWN, cd(DOWN, 2e-5), up, cd(up, 2e-5, 35.0)) is None


def test_hysteresis_makes_every_fit_of_the_sample_not_ok(tmp_path):
    path = write_ramps(tmp_path / "hysteresis.csv", heating_shift=4.0, concentrations=(10, 20))
    run = kelvara_in_process("fit", path, "--segment", "cooling", "--json", "out.json", cwd=tmp_path)
    assert run.returncode == 1
    found = re.search(r"cooling and heating of 10 µM differ by ([0-9.]+) K .*; ± ([0-9.]+) K\)", run.stdout)
    assert found and abs(float(found[1]) - 4.0) < 3 * float(found[2]), run.stdout
    assert "an equilibrium model does not apply" in run.stdout
    result = json.loads((tmp_path / "out.json").read_text())
    assert not result["ok"] and "hysteresis" in result["problem_codes"]
    with pytest.raises(ReadError, match="not in the order of a ramp"):
        shuffled = tmp_path / "shuffled.csv"
        lines = path.read_text().splitlines()
        shuffled.write_text("\n".join([lines[0]] + list(np.random.default_rng(6).permutation(lines[1:]))) + "\n")
        read(shuffled, segment="cooling")


@pytest.mark.parametrize("heating_shift, differ", [(0.0, False), (4.0, True)])
def test_cooling_and_heating_in_separate_files_are_compared(tmp_path, heating_shift, differ):
    rng = np.random.default_rng(2)
    for name, temps, shift in (("cool.csv", DOWN, 0.0), ("heat.csv", DOWN[::-1], heating_shift)):
        signal = cd(temps, 1e-5, shift) + rng.normal(0, 0.3, temps.size)
        (tmp_path / name).write_text("T (°C),CD (mdeg)\n" + "\n".join(f"{t:.2f},{y:.3f}" for t, y in zip(temps, signal)))
    reading = read([tmp_path / "cool.csv", tmp_path / "heat.csv"], c_tot=["10uM", "10uM"])
    said = [c.hysteresis for c in reading.curves]
    if differ:
        assert all(s and "cooling and heating of 10 µM (cool.csv and heat.csv) differ by" in s for s in said), said
        assert any(s in note for note in reading.notes for s in said)
    else:
        assert said == [None, None]
