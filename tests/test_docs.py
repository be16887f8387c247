"""Every example in the README and the user guide runs: Python blocks as
scripts (one namespace per page, in order), `>>>` blocks as doctests, and
each `$ kelvara ...` line of a console block as a command, with the exit
status 0 unless a trailing `# exit N` says otherwise; what a `kelvara read`
block shows under its command is what the command prints.  The files the
examples name are made here, as a lab would have them."""

import doctest
import pathlib
import re
import shlex
import shutil

import pytest
from helpers import kelvara_in_process

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))
FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```", re.M | re.S)

pytestmark = pytest.mark.skipif(not (ROOT / "docs").is_dir(), reason="the user guide is not beside the tests")


def blocks(page, language):
    return [body for kind, body in FENCE.findall(page.read_text(encoding="utf-8")) if kind == language]


@pytest.fixture(scope="module")
def lab(tmp_path_factory):
    """The files the examples read: a cooling run headed 'Sample Temp (°C)',
    headerless tab-separated runs, and the examples shipped with kelvara."""
    np = pytest.importorskip("numpy")
    pytest.importorskip("pandas")
    pytest.importorskip("scipy")
    from kelvara import _core
    from kelvara.cli import EXAMPLES

    folder = tmp_path_factory.mktemp("lab")
    celsius = np.round(np.arange(90.0, 4.99, -0.5), 1)
    rng = np.random.default_rng(1)

    def cd(c_tot):
        fraction = np.array(_core.temp_cooperative_model((celsius + 273.15).tolist(), -95000.0, -180.0, 22000.0,
                                                         c_tot, 1.0))
        return -2.0 - 40.0 * fraction + rng.normal(0.0, 0.3, celsius.size)

    rows = ["Sample Temp (°C),CD (mdeg),c (uM)"]
    rows += [f"{t:.1f},{y:.4f},{c:g}" for c in (5, 10, 20) for t, y in zip(celsius, cd(c * 1e-6))]
    (folder / "run.csv").write_text("\n".join(rows) + "\n", encoding="utf-8")
    for c in (5, 10):
        (folder / f"run_{c}.txt").write_text("".join(
            f"{t:.2f}\t{y:.4f}\t{300 + rng.normal():.3f}\t{0.5 + rng.normal(0, .01):.4f}\t{1000 + rng.normal():.1f}\n"
            for t, y in zip(celsius, cd(c * 1e-6))))
    for name, target in (("cooling", "cooling.csv"), ("series", "series.csv"), ("denaturation", "denat.csv")):
        shutil.copy(EXAMPLES[name][0], folder / target)
    return folder


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_python_examples_run(page, lab, monkeypatch):
    scripts = [b for b in blocks(page, "python") if not b.lstrip().startswith(">>>")]
    tests = [b for b in blocks(page, "python") if b.lstrip().startswith(">>>")]
    if not scripts and not tests:
        pytest.skip("no Python examples")
    pytest.importorskip("matplotlib").use("Agg")
    monkeypatch.chdir(lab)
    namespace = {"__name__": "__docs__"}
    for number, script in enumerate(scripts):
        exec(compile(script, f"{page.name}, Python example {number + 1}", "exec"), namespace)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    session = {}  # the >>> blocks of a page are one session
    for number, text in enumerate(tests):
        test = doctest.DocTestParser().get_doctest(text, session, f"{page.name}[{number}]", str(page), 0)
        runner.run(test, clear_globs=False)
        session = test.globs
    assert runner.failures == 0


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_command_examples_run(page, lab, monkeypatch):
    commands = []
    for block in blocks(page, "console"):
        lines = block.splitlines()
        for i, line in enumerate(lines):
            if line.startswith("$ kelvara"):
                shown = []
                for after in lines[i + 1:]:
                    if after.startswith("$ "):
                        break
                    shown.append(after)
                commands.append((line[2:], shown))
    if not commands:
        pytest.skip("no kelvara commands")
    for command, shown in commands:
        words, _, comment = command.partition("  #")
        status = int(re.search(r"exit (\d)", comment).group(1)) if "exit" in comment else 0
        argv = shlex.split(words)
        monkeypatch.setenv("COLUMNS", "100")
        done = kelvara_in_process(*argv[1:], cwd=lab)
        assert done.returncode == status, f"{page.name}: {command}\n{done.stderr}"
        if argv[1] == "read" and shown:
            assert done.stdout.splitlines() == shown, f"{page.name}: {command}"


def test_the_readme_stays_short_and_its_figure_is_drawn():
    readme = ROOT / "README.md"
    assert len(readme.read_bytes()) <= 6 * 1024  # the details live in the guide
    assert "](docs/images/fit.png)" in readme.read_text(encoding="utf-8")
    assert '"$root/docs/images/fit.png"' in (ROOT / "tools" / "draw-readme-figure").read_text()
    png = (ROOT / "docs" / "images" / "fit.png").read_bytes()
    density = png.find(b"pHYs")  # pixels per metre: kelvara's screen figure, not a screenshot
    assert png.startswith(b"\x89PNG") and round(int.from_bytes(png[density + 4:density + 8], "big") * 0.0254) == 130
