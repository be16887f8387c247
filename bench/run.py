"""kelvara benchmark: everything measured side by side, in one run, on the
same inputs, and reported as ratios (the machine may be shared and noisy;
the ratios are what to read).

  python bench/run.py [--temperatures 2000] [--chart bench.png]

Needs kelvara installed, NumPy, and g++ (to build bench/plain_loop.cpp, the
plain scalar C++ loop, with the package's floating-point flags).
"""

import argparse
import json
import math
import pathlib
import subprocess
import sys
import tempfile
import timeit

import numpy as np

import kelvara

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))
import numpy_models  # noqa: E402
import reference  # noqa: E402  (the pure-Python transcriptions)

# A cooperative polymer and an isodesmic side pathway: J/mol, J/(mol K), mol/L.
DH, DS, DH_NUC, C_TOT = -100000.0, -200.0, 20000.0, 1e-5
DH_ISO, DS_ISO = -60000.0, -100.0
NUC_SIZE = 10


def python_direct_sweep(temp, delta_h, delta_s, c_tot, scaler):
    out = []
    for t in temp:
        x = c_tot * reference.equilibrium_constant(delta_h, delta_s, t)
        root = math.sqrt(x + 0.25)
        d = (x + 0.5) + root
        out.append(scaler * (x * (2 * root + 3) / ((2 * root + 1) * d) if x < 1 else 1 - 1 / d))
    return out


SWEEPS = {
    "temp_isodesmic_model_direct": ((DH, DS, C_TOT, 1.0), python_direct_sweep),
    "temp_isodesmic_model": ((DH, DS, C_TOT, 1.0), reference.temp_isodesmic_model),
    "temp_cooperative_model": ((DH, DS, DH_NUC, C_TOT, 1.0), reference.temp_cooperative_model),
    "temp_cooperative_model_n": (
        (DH, DS, DH_NUC, C_TOT, 1.0, NUC_SIZE),
        reference.temp_cooperative_model_n,
    ),
    "temp_coop_iso_model": (
        (DH_ISO, DS_ISO, DH, DS, DH_NUC, C_TOT, 1.0),
        reference.temp_coop_iso_model,
    ),
}


def seconds(function, min_time=0.2, repeat=5):
    """Best time of one call of function()."""
    timer = timeit.Timer(function)
    number, _ = timer.autorange()
    number = max(1, int(number * min_time / 0.2))
    return min(timer.repeat(repeat=repeat, number=number)) / number


def call_seconds(statements, setup, rounds=25):
    """Best time of one evaluation of each statement.  The statements are
    timed in turn, round after round, so that a slow spell of a shared
    machine hits them alike."""
    timers = [timeit.Timer(statement, setup=setup) for statement in statements]
    numbers = [timer.autorange()[0] for timer in timers]
    best = [math.inf] * len(timers)
    for _ in range(rounds):
        for i, (timer, number) in enumerate(zip(timers, numbers)):
            best[i] = min(best[i], timer.timeit(number) / number)
    return best


def plain_loop(temps, workdir):
    binary = pathlib.Path(workdir) / "plain_loop"
    subprocess.run(
        ["g++", "-O2", "-std=c++17", "-ffp-contract=off", str(HERE / "plain_loop.cpp"), "-o", str(binary)],
        check=True,
    )
    out = subprocess.run([str(binary), *map(repr, temps)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def ns(value):
    return f"{value * 1e9:10.1f}"


def ratio(slow, fast):
    return f"{slow / fast:8.1f}x"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--temperatures", type=int, default=2000)
    parser.add_argument("--python-temperatures", type=int, default=40,
                        help="the pure-Python sweeps are timed on this many (they are slow)")
    parser.add_argument("--chart", help="also save a bar chart of the sweep timings (needs matplotlib)")
    parser.add_argument("--fits-only", action="store_true", help="time only the fits (kelvara.fit)")
    options = parser.parse_args()
    if options.fits_only:
        print(f"kelvara {kelvara.__version__}, Python {sys.version.split()[0]}, NumPy {np.__version__}")
        fit_timing()
        return

    count = options.temperatures
    temps = [270.0 + 120.0 * i / (count - 1) for i in range(count)]
    temps_np = np.array(temps)
    few = temps[:: max(1, count // options.python_temperatures)]

    print(f"kelvara {kelvara.__version__}, Python {sys.version.split()[0]}, NumPy {np.__version__}")
    with tempfile.TemporaryDirectory() as workdir:
        plain = plain_loop(temps, workdir)

    rows = {}
    print(f"\nPer temperature, {count} temperatures (ns; ratios are times relative to kelvara)")
    print(f"{'sweep':30}{'kelvara':>10}{'plain C++':>10}{'Python':>10}{'NumPy':>10}"
          f"{'C++/kv':>9}{'Py/kv':>9}{'NumPy/kv':>9}")
    for name, (args, python_sweep) in SWEEPS.items():
        function = getattr(kelvara, name)
        numpy_sweep = getattr(numpy_models, name)
        ours = function(temps, *args)
        # Same doubles as the plain loop; NumPy's exp and expm1 may differ in
        # the last bits, so it is only close.
        assert ours[0] == plain[name]["first"] and ours[-1] == plain[name]["last"], name
        assert np.allclose(numpy_sweep(temps_np, *args), ours, rtol=1e-9, atol=1e-14), name
        kv = seconds(lambda: function(temps, *args)) / count
        py = seconds(lambda: python_sweep(few, *args), min_time=0.1, repeat=3) / len(few)
        npy = seconds(lambda: numpy_sweep(temps_np, *args), repeat=3) / count
        c = plain[name]["seconds"]
        rows[name] = (kv, c, py, npy)
        print(f"{name:30}{ns(kv)}{ns(c)}{ns(py)}{ns(npy)}{ratio(c, kv)}{ratio(py, kv)}{ratio(npy, kv)}")

    print("\nPer call of cooperative_model_n(1e-5, 1e6, 1e-3, n, 100) (ns)")
    print(f"{'n':>4}{'kelvara':>10}{'plain C++':>10}{'C++/kv':>9}")
    per_call = {}
    for n in (3, 10, 30):
        (kv,) = call_seconds([f"f(1e-5, 1e6, 1e-3, {n}, 100)"], "from kelvara import cooperative_model_n as f", 7)
        assert kelvara.cooperative_model_n(1e-5, 1e6, 1e-3, n, 100) == plain[f"cooperative_model_n {n}"]["first"]
        c = plain[f"cooperative_model_n {n}"]["seconds"]
        per_call[n] = c / kv
        print(f"{n:>4}{ns(kv)}{ns(c)}{ratio(c, kv)}")

    print("\nPer call from Python, against math.hypot(x, k) (ns)")
    setup = ("import math, kelvara; h = math.hypot; d = kelvara.isodesmic_model_direct; "
             "f = kelvara.cooperative_model; x, k = 1e-5, 1e5")
    hypot, direct, coop = call_seconds(["h(x, k)", "d(x, k)", "f(x, 1e6, 1e-3, 100)"], setup)
    print(f"{'math.hypot(x, k)':40}{ns(hypot)}")
    print(f"{'isodesmic_model_direct(x, k)':40}{ns(direct)}{direct / hypot:8.2f}x hypot")
    print(f"{'cooperative_model(x, 1e6, 1e-3, 100)':40}{ns(coop)}{coop / hypot:8.2f}x hypot")

    sweep_ratio = rows["temp_cooperative_model"][1] / rows["temp_cooperative_model"][0]
    print("\nTargets")
    for text, ok in [
        (f"temp_cooperative_model >= 4x the plain loop per temperature: {sweep_ratio:.1f}x", sweep_ratio >= 4),
        (f"cooperative_model_n, n = 10, >= 4x the plain loop per call: {per_call[10]:.1f}x", per_call[10] >= 4),
        (f"isodesmic_model_direct <= 1.5x math.hypot: {direct / hypot:.2f}x", direct / hypot <= 1.5),
    ]:
        print(f"  [{'met' if ok else 'MISSED'}] {text}")

    fit_timing()

    if options.chart:
        save_chart(options.chart, rows)


def fit_timing():
    """Global fits of three cooling curves of 200 points (kelvara.fit), and
    the example fit with the global search against a single local fit from
    the guessed start, timed in alternating rounds."""
    try:
        from kelvara.fit import Curve, celsius, fit
    except ImportError:
        print("\nkelvara.fit: not timed (install SciPy: pip install 'kelvara[fit]')")
        return
    rng = np.random.default_rng(1)
    curves = []
    temps = celsius(np.linspace(5.0, 95.0, 200))
    for c_tot in (5e-6, 1e-5, 2e-5):
        fraction = np.array(kelvara.temp_cooperative_model(temps.tolist(), -95000.0, -180.0, 22000.0, c_tot, 1.0))
        curves.append(Curve(temps, 0.05 + 0.8 * fraction + rng.normal(0, 0.005, temps.size), c_tot))
    print("\nGlobal fits of three cooling curves of 200 points (kelvara.fit)")
    for model in ("isodesmic", "cooperative", "cooperative_n", "coop_iso"):
        results = []
        elapsed = seconds(lambda: results.append(fit(curves, model)), min_time=0.5, repeat=3)
        r = results[-1]
        print(f"  {model:16}{elapsed * 1e3:8.1f} ms  {r.nfev:5d} model evaluations"
              f"  ({elapsed / r.nfev * 1e6:.0f} us each)  ok: {r.ok}")

    series_timing(Curve, fit, curves)

    example = example_curves(Curve)
    single, searched = [], []
    for _ in range(7):  # alternating, so that both see the same machine
        single.append(seconds(lambda: fit(example, "cooperative", search=False), min_time=0.2, repeat=1))
        searched.append(seconds(lambda: fit(example, "cooperative"), min_time=0.2, repeat=1))
    one, many = min(single), min(searched)
    r = fit(example, "cooperative")
    print("\nThe example fit (kelvara fit --example), cooperative model")
    print(f"  single local fit from the guessed start  {one * 1e3:7.1f} ms")
    print(f"  global search ({r.starts[0]} screened, {r.starts[1]} refined)  {many * 1e3:7.1f} ms"
          f"  = {many / one:.1f} x the single fit")
    print(f"  [{'met' if many / one <= 5.0 else 'MISSED'}] the search costs at most 5 x a single fit")


def series_timing(Curve, fit, cooling):
    """A concentration series (30 points from 0.1 uM to 1 mM at one
    temperature), two denaturations (41 fractions each), and two series at
    two temperatures fitted with the cooling curves above."""
    from kelvara.models import MODELS, concentration_fraction, constants

    rng = np.random.default_rng(2)
    c = np.logspace(-7, -3, 30)
    cooperative = MODELS["cooperative"]
    thermo = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 22000.0}
    one = [Curve.concentration_series(c, 0.8 * concentration_fraction(cooperative, {"k": [2e5] * 30, "sigma": [1e-3] * 30}, c)
                                      + rng.normal(0, 0.005, c.size), 298.15)]
    at_two = [Curve.concentration_series(c, 0.05 + 0.8 * concentration_fraction(
        cooperative, constants(cooperative, thermo, np.full(c.size, t)), c) + rng.normal(0, 0.005, c.size), t)
        for t in (298.15, 318.15)]
    f = np.linspace(0.0, 1.0, 41)
    denaturation = MODELS["denaturation"]
    values = {"delta_g0": -42000.0, "m": 30000.0, "sigma": 1e-2}
    denaturations = [Curve.denaturation(f, concentration_fraction(
        denaturation, constants(denaturation, values, np.full(f.size, 293.15), f), c_tot)
        + rng.normal(0, 0.005, f.size), 293.15, c_tot) for c_tot in (5e-6, 2e-5)]
    print("\nConcentration series and denaturations (kelvara.fit)")
    for name, curves, model in (("series at one T, k and sigma", one, "cooperative"),
                                ("two denaturations", denaturations, "denaturation"),
                                ("3 cooling curves + 2 series", cooling + at_two, "cooperative")):
        results = []
        elapsed = seconds(lambda: results.append(fit(curves, model)), min_time=0.5, repeat=3)
        r = results[-1]
        points = sum(curve.size for curve in curves)
        print(f"  {name:30}{elapsed * 1e3:8.1f} ms  {r.nfev:5d} model evaluations of {points} points"
              f"  ({elapsed / r.nfev * 1e6:.0f} us each)  ok: {r.ok}")


def example_curves(Curve):
    import csv

    path = HERE.parent / "kelvara" / "data" / "example_cooling.csv"
    groups = {}
    with open(path, newline="") as handle:
        for row in csv.DictReader(handle):
            group = groups.setdefault(float(row["concentration_M"]), ([], []))
            group[0].append(float(row["temperature_K"]))
            group[1].append(float(row["signal"]))
    return [Curve(t, y, c) for c, (t, y) in groups.items()]


def save_chart(path, rows):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(rows)
    labels = ["kelvara", "plain C++", "pure Python", "NumPy"]
    fig, ax = plt.subplots(figsize=(9, 4.5))
    width = 0.2
    for j, label in enumerate(labels):
        ax.bar([i + (j - 1.5) * width for i in range(len(names))],
               [rows[n][j] * 1e9 for n in names], width, label=label)
    ax.set_yscale("log")
    ax.set_ylabel("time per temperature (ns, log scale)")
    ax.set_xticks(range(len(names)))
    ax.set_xticklabels([n.replace("temp_", "") for n in names], rotation=15)
    ax.legend()
    ax.set_title("Temperature sweeps, measured side by side")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"chart saved to {path}")


if __name__ == "__main__":
    main()
