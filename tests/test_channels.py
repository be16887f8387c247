"""Several channels of the same samples (CD, HT, absorbance of one run)
fitted together: read from repeated signal columns, each curve weighted by
its own noise, the thermodynamics shared, one panel per channel."""

import csv
import json
import re

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

from kelvara import _core  # noqa: E402
from kelvara.fit import fit  # noqa: E402
from kelvara.io import read  # noqa: E402
from kelvara.tables import results_csv  # noqa: E402

from helpers import kelvara_in_process  # noqa: E402

TRUTH = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 18000.0}


def run_file(path, seed=7):
    """A run's export: temperature, CD (noise 0.3 mdeg), HT and absorbance
    (noise 0.002) of three samples, one row per point."""
    rng = np.random.default_rng(seed)
    kelvin = np.linspace(363.15, 278.15, 171)
    rows = ["T (°C),CD (mdeg),HT (V),Abs,c (µM)"]
    for c_tot in (5e-6, 1e-5, 2e-5):
        f = np.array(_core.temp_cooperative_model(kelvin.tolist(), *TRUTH.values(), c_tot, 1.0))
        cd, ht, ab = (-30.0 * f + rng.normal(0, 0.3, f.size), 300 + 5 * f + rng.normal(0, 0.5, f.size),
                      0.5 - 0.15 * f + rng.normal(0, 0.002, f.size))
        rows += [f"{t - 273.15:.2f},{a:.4f},{h:.3f},{b:.5f},{c_tot * 1e6:g}"
                 for t, a, h, b in zip(kelvin, cd, ht, ab)]
    path.write_text("\n".join(rows) + "\n", encoding="utf-8")
    return path


def test_each_signal_column_is_a_channel_of_the_same_samples(tmp_path):
    reading = read(run_file(tmp_path / "run.csv"), signal_column=["CD", "Abs"])
    assert [c.label for c in reading.curves] == [f"{c} µM · {s}" for s in ("CD (mdeg)", "Abs") for c in (5, 10, 20)]
    roles = {c.header: c.role for c in reading.files[0].columns}
    assert roles == {"T (°C)": "temperature", "CD (mdeg)": "signal", "HT (V)": "unused", "Abs": "signal",
                     "c (µM)": "concentration"}
    assert "2 channels of the same samples: 'CD (mdeg)', 'Abs'" in reading.text()
    assert read(tmp_path / "run.csv", signal_column=["Abs"]).curves[0].label == "5 µM"  # one is no channel


def test_channels_share_the_thermodynamics_each_weighted_by_its_noise(tmp_path):
    both = read(run_file(tmp_path / "run.csv"), signal_column=["CD", "Abs"]).curves
    joint = fit(both, "cooperative")
    alone = fit(both[:3], "cooperative")
    assert joint.ok, joint.problems
    for name, truth in TRUTH.items():
        p = joint.parameters[name]
        assert abs(p.value - truth) < 3 * p.stderr, (name, p.value, p.stderr)
        assert p.stderr < alone.parameters[name].stderr  # the second channel adds what it knows
    weights = np.asarray(joint._problem.curve_weights)
    assert weights[3:].min() / weights[:3].max() == pytest.approx(0.3 / 0.002, rel=0.4)
    assert [c.amplitude for c in joint.curve_results] == pytest.approx([-30.0] * 3 + [-0.15] * 3, rel=0.02)
    # Each channel's parameters in its own unit; what depends on c_tot alone once per sample.
    text = joint.summary()
    assert re.search(r"^baseline \(5 µM · CD \(mdeg\)\) .* mdeg$", text, re.M)
    assert re.search(r"^amplitude \(5 µM · Abs\) .* Abs$", text, re.M)
    assert re.findall(r"^  Te \((.*?)\) ", text, re.M) == ["5 µM", "10 µM", "20 µM"]
    units = {row[1]: row[4] for row in csv.reader(results_csv(joint).splitlines())}
    assert (units["baseline[0]"], units["amplitude[3]"], units["Te[4]"]) == ("mdeg", "Abs", "K")


def test_the_command_fits_channels_draws_a_panel_each_and_refuses_a_column_twice(tmp_path):
    data = run_file(tmp_path / "run.csv")
    run = kelvara_in_process("fit", data, "--signal-column", "CD", "--signal-column", "4", "--json", "out.json",
                             "--plot", "fit.svg", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    out = json.loads((tmp_path / "out.json").read_text())
    assert out["reading"]["options"]["signal_column"] == ["CD", "4"]
    assert [(c["label"], c["channel"]) for c in out["curves"]][2:4] == [("20 µM · CD (mdeg)", "CD (mdeg)"),
                                                                        ("5 µM · Abs", "Abs")]
    svg = (tmp_path / "fit.svg").read_text()
    assert "Residual (mdeg)" in svg and "Residual (Abs)" in svg
    run = kelvara_in_process("fit", data, "--signal-column", "CD", "--signal-column", "CD", cwd=tmp_path)
    assert run.returncode == 2 and "a signal column is given twice: 'CD', 'CD'" in run.stderr
    # One amplitude across mdeg and absorbance means nothing: refused, naming the units.
    run = kelvara_in_process("fit", data, "--signal-column", "CD", "--signal-column", "Abs", "--shared-amplitude")
    assert run.returncode == 2 and "these curves' signals are in 2 units (mdeg, Abs)" in run.stderr


def test_files_that_name_their_signal_differently_each_give_the_columns_they_have(tmp_path):
    rows = run_file(tmp_path / "run.csv").read_text(encoding="utf-8").splitlines()
    (tmp_path / "a.csv").write_text("\n".join(rows[:172]) + "\n", encoding="utf-8")  # the 5 µM sample
    renamed = ["T (°C),Ellipticity (mdeg),HT (V),Abs,c (µM)"] + rows[172:343]  # the 10 µM one
    (tmp_path / "b.csv").write_text("\n".join(renamed) + "\n", encoding="utf-8")
    done = kelvara_in_process("read", "a.csv", "b.csv", "--signal-column", "CD", "--signal-column", "Ellipticity",
                              cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "a.csv: signal column 'CD'; 'Ellipticity' is not in this file" in done.stderr + done.stdout
    reading = read([tmp_path / "a.csv", tmp_path / "b.csv"], signal_column=["CD", "Ellipticity"])
    assert [(c.label, c.signal_name) for c in reading.curves] == [("5 µM", "CD (mdeg)"), ("10 µM", "Ellipticity (mdeg)")]
    done = kelvara_in_process("read", "a.csv", "b.csv", "--signal-column", "CD", "--signal-column", "Fl",
                              cwd=tmp_path)
    assert done.returncode == 2
    assert "b.csv: none of the signal columns 'CD', 'Fl' is in this file (no column named 'CD'" in done.stderr
