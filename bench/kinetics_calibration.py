"""Calibration of fits to time traces: how often a fit of the right model is
ok, and how far k_plus and a land from the truth in their reported errors.

  python bench/kinetics_calibration.py [--seeds 15] [--workers 2]

Each seed makes three temperature-jump traces (40 -> 20 °C, n = 4, k_plus
2e5 L/(mol s), a = 0.05, at 5, 10 and 20 µM, 60 times from 0.5 s to 3000 s)
with one of six noises: white (1 % of the change), white plus a slow
drift (a random walk reaching about 1 % over the trace), white noise
smoothed by a 5-point running mean (an instrument's filter) or by 9 points,
first-order noise of lag-1 0.8 (a detector's time constant), and noise
proportional to the signal (a photomultiplier's); the
thermodynamic values are fixed at the truth, as from an equilibrium fit.
Reported per noise: the share of fits that are ok, and the mean and SD of
(value - truth) / SE for k_plus and a (0 and 1 when the errors are right).
"""

import argparse
import math
import statistics
import sys
from concurrent.futures import ProcessPoolExecutor

import numpy as np

R = 8.314
ROOM = 293.15
THERMO = dict(delta_h=-80e3, delta_s=R * math.log(4e5) - 80e3 / ROOM, delta_h_nuc=15e3)
TRUTH = {"k_plus": 2e5, "nucleation_ratio": 0.05}
NOISES = ("white", "white + drift", "smoothed", "boxcar 9", "AR(1) 0.8", "proportional")


def one(noise, seed):
    from kelvara.curves import Curve, Start
    from kelvara.fit import fit
    from kelvara.kinetics import simulate

    rng = np.random.default_rng(seed)
    times = np.concatenate(([0.0], np.geomspace(0.5, 3000.0, 60)))
    curves = []
    for c_tot in (5e-6, 10e-6, 20e-6):
        run = simulate(times, c_tot, ROOM, start_temperature=ROOM + 20, nuc_size=4, **THERMO, **TRUTH)
        scale = 40.0 * max(run.fraction.max() - run.fraction.min(), 0.05)
        white = rng.normal(0.0, 0.01 * scale, times.size)
        if noise == "white + drift":
            white += np.cumsum(rng.normal(0.0, 0.01 * scale / math.sqrt(times.size), times.size))
        elif noise == "smoothed":
            white = np.convolve(rng.normal(0.0, 0.01 * scale * math.sqrt(5), times.size + 4), np.ones(5) / 5,
                                mode="valid")
        elif noise == "boxcar 9":
            white = np.convolve(rng.normal(0.0, 0.01 * scale * 3.0, times.size + 8), np.ones(9) / 9, mode="valid")
        elif noise == "AR(1) 0.8":
            shocks = rng.normal(0.0, 0.01 * scale * math.sqrt(1.0 - 0.64), times.size)
            white = np.empty(times.size)
            white[0] = rng.normal(0.0, 0.01 * scale)
            for t in range(1, times.size):
                white[t] = 0.8 * white[t - 1] + shocks[t]
        elif noise == "proportional":
            white = rng.normal(0.0, 0.02, times.size) * (2.0 - 40.0 * run.fraction) * scale / 40.0
        curves.append(Curve.time_trace(times, 2.0 - 40.0 * run.fraction + white, ROOM, c_tot,
                                       start=Start("equilibrium", ROOM + 20)))
    result = fit(curves, model="cooperative_n", nuc_size=4, fix=THERMO)
    pulls = {}
    for name, truth in TRUTH.items():
        p = result.parameters[name]
        # in the logarithm, where the fit works and the errors are symmetric
        se = p.stderr / p.value if p.value > 0 and math.isfinite(p.stderr) else math.nan
        pulls[name] = (math.log(p.value / truth)) / se if se > 0 else math.nan
    return noise, result.ok, pulls


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=15)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args(argv)
    jobs = [(noise, seed) for noise in NOISES for seed in range(args.seeds)]
    with ProcessPoolExecutor(args.workers) as pool:
        done = list(pool.map(one, *zip(*jobs)))
    print(f"{'noise':16} {'ok':>7} " + " ".join(f"{n + ' pull mean/SD':>30}" for n in TRUTH))
    for noise in NOISES:
        rows = [d for d in done if d[0] == noise]
        ok = sum(1 for d in rows if d[1])
        cells = []
        for name in TRUTH:
            pulls = [d[2][name] for d in rows if d[1] and math.isfinite(d[2][name])]
            cells.append(f"{statistics.mean(pulls):+.2f} / {statistics.stdev(pulls):.2f}" if len(pulls) > 1
                         else "n/a")
        print(f"{noise:16} {ok:3d}/{len(rows):<3d} " + " ".join(f"{c:>30}" for c in cells))
    return 0


if __name__ == "__main__":
    sys.exit(main())
