"""Peak memory of reading a large long-layout CSV with kelvara.io.

  python bench/read_memory.py [--megabytes 200]

Writes a CSV of three cooling curves (temperature, signal, concentration)
of about the given size into a temporary folder, then reads it in a fresh
process and prints the peak resident memory the reading added, as a
multiple of the file's size (the target is about 3).  Needs the fit extra.
"""

import argparse
import pathlib
import subprocess
import sys
import tempfile

CHILD = r"""
import resource, sys, time
import kelvara.io
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
curves = kelvara.io.read_curves(sys.argv[1])
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before * 1024, peak * 1024, elapsed, sum(len(c.temperature) for c in curves), len(curves))
"""


def write(path, megabytes):
    import numpy as np

    rows_per_block = 200_000
    written = 0
    rng = np.random.default_rng(0)
    with open(path, "w") as handle:
        handle.write("temperature_K,signal,concentration_M\n")
        block = 0
        while written < megabytes * 1_000_000:
            c = (5e-6, 1e-5, 2e-5)[block % 3]
            t = 278.15 + 90.0 * rng.random(rows_per_block)
            y = 0.05 + 0.8 * rng.random(rows_per_block)
            text = "\n".join(f"{a:.3f},{b:.6f},{c:g}" for a, b in zip(t, y)) + "\n"
            handle.write(text)
            written += len(text)
            block += 1
    return written


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--megabytes", type=float, default=200.0)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "large.csv"
        size = write(path, options.megabytes)
        out = subprocess.run([sys.executable, "-c", CHILD, str(path)], capture_output=True, text=True)
        if out.returncode != 0:
            print(out.stderr, file=sys.stderr)
            sys.exit(1)
        before, peak, elapsed, points, curves = out.stdout.split()
        added = int(peak) - int(before)
        print(f"read {int(points):,} points in {curves} curves from {size / 1e6:.0f} MB in {float(elapsed):.1f} s")
        print(f"peak resident memory added by reading: {added / 1e6:.0f} MB = {added / size:.2f} x the file")
        print(f"  [{'met' if added / size <= 3.0 else 'MISSED'}] reading stays within about 3 x the file's size")


if __name__ == "__main__":
    main()
