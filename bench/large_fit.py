"""A fit of a one-million-point file: its time in sweeps of its own size
and the memory it adds, as a multiple of the file's size.

  python bench/large_fit.py [--points 1000000] [--curves 4]

Writes a long-layout CSV (temperature in K, CD signal, concentration) of
cooling curves made by the cooperative model with noise, then in a fresh
process reads it and fits it with the global search.  The unit of time is
one evaluation of the cooperative model over every point of the file
through the core's own sweeps, measured in the same process; memory is the
peak resident size the reading and the fit add to a process that has
imported everything.  Targets: 1500 sweeps, 3 times the file's size.
"""

import argparse
import os
import subprocess
import sys
import tempfile

TARGET_SWEEPS = 1500
TARGET_MEMORY = 3.0

CHILD = r"""
import resource, statistics, sys, time, warnings
import numpy as np
import pandas, scipy.optimize, scipy.stats
from kelvara import _core
from kelvara.fit import fit
from kelvara.io import read_curves

warnings.simplefilter("ignore")
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
start = time.perf_counter()
curves = read_curves(sys.argv[1])
read_seconds = time.perf_counter() - start
after_reading = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
start = time.perf_counter()
result = fit(curves, "cooperative")
fit_seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
# The unit, measured after the peak was read (its lists of floats are the
# core's own way in, not the fit's).
lists = [(c.temperature.tolist(), c.c_tot) for c in curves]
times = []
for _ in range(5):
    t0 = time.perf_counter()
    for temps, c_tot in lists:
        _core.temp_cooperative_model(temps, -95000.0, -180.0, 22000.0, c_tot, 1.0)
    times.append(time.perf_counter() - t0)
one = statistics.median(times)
print(sum(c.size for c in curves), read_seconds, one, fit_seconds, peak - before, after_reading - before,
      int(result.ok),
      result.parameters["delta_h"].value, result.parameters["delta_h"].stderr)
"""


def write(path, points, count):
    import numpy as np

    from kelvara import _core

    rng = np.random.default_rng(0)
    per_curve = points // count
    with open(path, "w") as handle:
        handle.write("Temperature (K),CD (mdeg),c (uM)\n")
        for c_um in (2.0, 5.0, 10.0, 20.0, 50.0, 100.0)[:count]:
            kelvin = np.linspace(363.15, 268.15, per_curve)
            fraction = np.array(_core.temp_cooperative_model(kelvin.tolist(), -95000.0, -180.0, 22000.0,
                                                             c_um * 1e-6, 1.0))
            signal = -2.0 - 40.0 * fraction + rng.normal(0.0, 0.4, per_curve)
            handle.write("".join(f"{t:.5f},{y:.4f},{c_um:g}\n" for t, y in zip(kelvin, signal)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--curves", type=int, default=4, help="cooling curves (1 to 6, default 4)")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "large.csv")
        write(path, options.points, options.curves)
        size = os.path.getsize(path)
        out = subprocess.run([sys.executable, "-c", CHILD, path], capture_output=True, text=True, check=True).stdout
    points, read_s, sweep_s, fit_s, added, reading, ok, delta_h, stderr = out.split()
    sweeps = float(fit_s) / float(sweep_s)
    memory = float(added) / size
    print(f"{int(points)} points, file {size / 1e6:.1f} MB; reading {float(read_s):.2f} s; "
          f"one sweep {1e3 * float(sweep_s):.1f} ms")
    print(f"  fit {float(fit_s):.2f} s = {sweeps:.0f} sweeps [{'met' if sweeps <= TARGET_SWEEPS else 'NOT met'}: "
          f"<= {TARGET_SWEEPS}]  ok: {bool(int(ok))}  delta_h {float(delta_h):.1f} +- {float(stderr):.1f} J/mol")
    print(f"  memory added by reading and fitting: {float(added) / 1e6:.0f} MB = {memory:.2f} x the file "
          f"[{'met' if memory <= TARGET_MEMORY else 'NOT met'}: <= {TARGET_MEMORY:g}] "
          f"(reading alone: {float(reading) / size:.2f} x)")
    return 0 if sweeps <= TARGET_SWEEPS and memory <= TARGET_MEMORY else 1


if __name__ == "__main__":
    sys.exit(main())
