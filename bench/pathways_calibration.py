"""How often the two-pathway model is ok on curves it made, how its errors
match the scatter over seeds, and how often the one-pathway cooperative
model is ok on the same curves (it should not be).

  python bench/pathways_calibration.py [--seeds 20]

Four CD cooling curves (5 to 40 µM), 300 points each from 90 to 0 °C, made
by two_pathways: B (CD +20) forms first on cooling and gives way to A (CD
-30); white noise of SD 0.2.  scatter/SE is the standard deviation of the
values over the seeds over the root-mean-square of their standard errors
(1: the errors are right); mean z is the mean of (value - truth) / SE.
"""

import argparse
import math
import warnings

import numpy as np

from kelvara.fit import Curve, fit
from kelvara.fit.points import Workspace
from kelvara.models import MODELS

TRUTH = {"delta_h": -120e3, "delta_s": -260.0, "delta_h_nuc": 15e3, "delta_h_b": -60e3, "delta_s_b": -90.0,
         "delta_h_nuc_b": 5e3}
KELVIN = np.linspace(363.15, 273.15, 300)
CONCENTRATIONS = (5e-6, 1e-5, 2e-5, 4e-5)


def curves(seed):
    rng = np.random.default_rng(seed)
    out = []
    for c_tot in CONCENTRATIONS:
        work = Workspace(MODELS["two_pathways"], 0, KELVIN.size)
        work.solve(TRUTH, KELVIN, np.full(KELVIN.size, c_tot), slopes=False)
        share_b, share_a, _ = work.species(slopes=False)
        signal = 1.0 - 30.0 * share_a + 20.0 * share_b + rng.normal(0.0, 0.2, KELVIN.size)
        out.append(Curve(KELVIN, signal, c_tot, label=f"{c_tot * 1e6:g} uM"))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", type=int, default=20)
    options = parser.parse_args()
    values = {name: [] for name in TRUTH}
    errors = {name: [] for name in TRUTH}
    ok = wrong_ok = 0
    for seed in range(options.seeds):
        data = curves(seed)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            result = fit(data, "two_pathways")
            wrong_ok += fit(data, "cooperative").ok
        ok += result.ok
        if result.ok:
            for name in TRUTH:
                values[name].append(result.parameters[name].value)
                errors[name].append(result.parameters[name].stderr)
    print(f"two_pathways ok: {ok}/{options.seeds}; cooperative ok on the same curves: {wrong_ok}/{options.seeds}")
    print(f"{'parameter':16} {'scatter/SE':>10} {'mean z':>8}")
    for name, truth in TRUTH.items():
        v, e = np.array(values[name]), np.array(errors[name])
        if v.size < 2:
            continue
        ratio = float(np.std(v, ddof=1) / math.sqrt(np.mean(e ** 2)))
        z = float(np.mean((v - truth) / e))
        print(f"{name:16} {ratio:10.2f} {z:8.2f}")


if __name__ == "__main__":
    main()
