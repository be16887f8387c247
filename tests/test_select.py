"""Choosing what is fitted: --range keeps a span of temperatures (or of
concentrations for a series), --exclude drops points or spans, of every
curve or of one; each is checked before any fit and recorded, and the
verdict that finds outliers names the option that drops them."""

import json
import re

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

from kelvara.io import read  # noqa: E402

from helpers import kelvara_in_process  # noqa: E402
from test_ramps import DOWN, TRUE, cd  # noqa: E402


def write_run(path, outlier=None):
    """A long CSV of three cooling curves in 0.5 K steps, noise 0.3 mdeg;
    `outlier` (°C, c in µM) lifts that point by 15 mdeg."""
    rng = np.random.default_rng(7)
    rows = ["T (°C),CD (mdeg),c (uM)"]
    for c in (5, 10, 20):
        signal = cd(DOWN, c * 1e-6) + rng.normal(0, 0.3, DOWN.size)
        if outlier is not None and outlier[1] == c:
            signal[np.argmin(np.abs(DOWN - outlier[0]))] += 15.0
        rows += [f"{t:.1f},{y:.3f},{c}" for t, y in zip(DOWN, signal)]
    path.write_text("\n".join(rows) + "\n")
    return path


def test_range_and_exclude_keep_what_they_say_and_are_recorded(tmp_path):
    path = write_run(tmp_path / "run.csv")
    reading = read(path, range="10:80C", exclude=["62.5C", "40:42C@10 µM"])
    kelvin = [c.temperature for c in reading.curves]
    assert all(t.min() >= 283.15 - 1e-9 and t.max() <= 353.15 + 1e-9 for t in kelvin)
    assert not any(np.any(np.isclose(t, 335.65)) for t in kelvin)  # 62.5 °C, from every curve
    assert [c.size for c in reading.curves] == [140, 135, 140]  # 141 in range; 5 more from 10 µM
    assert "--exclude 40:42C@10 µM (40 °C to 42 °C): dropped 5 of 171 points" in reading.notes
    assert [c.points for c in reading.files[0].curves] == [140, 135, 140]
    run = kelvara_in_process("fit", path, "--range", ":80C", "--exclude", "62.5C", "--json", "out.json",
                             cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    options = json.loads((tmp_path / "out.json").read_text())["reading"]["options"]
    assert options["range"] == ":80C" and options["exclude"] == ["62.5C"]


@pytest.mark.parametrize("args, words", [
    (["--range", "10:80"], "--range '10:80': give the unit, e.g. 5:85C"),
    (["--range", "80:10C"], "the low end lies above the high end"),
    (["--range", "62C"], "is one value; give a range LOW:HIGH"),
    (["--range", "1uM:5uM"], "--range 1uM:5uM: no curve varies concentration (the curves vary temperature)"),
    (["--exclude", "200C"], "--exclude 200C: no curve has a point there"),
    (["--exclude", "50C@7 µM"], "no curve '7 µM' against temperature; the curves are '5 µM', '10 µM', '20 µM'"),
    (["--range", "88.5:90C"], "keeps 4 point(s) of 171 within --range and --exclude; a curve needs at least 5"),
])
def test_a_bad_choice_is_refused_before_any_fit(tmp_path, args, words):
    path = write_run(tmp_path / "run.csv")
    run = kelvara_in_process("fit", path, *args, cwd=tmp_path)
    assert run.returncode == 2 and run.stdout == ""
    assert words in run.stderr, run.stderr


def test_the_outlier_verdict_names_the_option_that_drops_it(tmp_path):
    path = write_run(tmp_path / "run.csv", outlier=(40.0, 10))
    run = kelvara_in_process("fit", path, cwd=tmp_path)
    assert run.returncode == 1 and "outliers pull a least-squares fit" in run.stdout
    hint = re.search(r"the worst: --exclude '([^']+)'", run.stdout)
    assert hint and hint[1] == "40C@10 µM", run.stdout
    run = kelvara_in_process("fit", path, "--exclude", hint[1], "--json", "out.json", cwd=tmp_path)
    assert run.returncode == 0, run.stdout
    result = json.loads((tmp_path / "out.json").read_text())
    assert abs(result["parameters"]["delta_h"]["value"] - TRUE[0]) < 3 * result["parameters"]["delta_h"]["stderr"]


def test_the_outlier_of_a_concentration_series_is_named_in_its_own_unit(tmp_path):
    """A series names its worst point by its concentration, in a form
    --exclude takes back."""
    from kelvara.analysis import EXAMPLES

    lines = EXAMPLES["series"][0].read_text().splitlines()
    t, c, y = lines[20].split(",")
    lines[20] = f"{t},{c},{float(y) + 0.3}"
    (tmp_path / "series.csv").write_text("\n".join(lines) + "\n")
    run = kelvara_in_process("fit", "series.csv", cwd=tmp_path)
    hint = re.search(r"the worst: --exclude '([^']+)'", run.stdout)
    assert run.returncode == 1 and hint and hint[1] == f"{c}uM@{t} °C", run.stdout
    assert kelvara_in_process("fit", "series.csv", "--exclude", hint[1], cwd=tmp_path).returncode == 0

