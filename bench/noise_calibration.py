"""How often the right model is ok, and how its errors match the scatter
over seeds, under the noise instruments and spreadsheets leave: white, a
first-order filter (AR(1)), a second-order one, 3- and 5-point moving
averages, a Savitzky-Golay smoothing, and a monomer baseline that slopes
in T; how often the fit keeps a baseline slope (the data's choice: right
where the data slope, wrong where they do not) and how far the values lie
from the truth on average, in standard errors; and how often a wrong model
(the isodesmic one on cooperative curves) is ok under the same noise.

  python bench/noise_calibration.py [--seeds 40]

Three cooling curves (5, 10, 20 µM), 201 points each from 90 to 10 °C,
signal change 0.8, noise SD 0.01; "+ slope" adds a monomer baseline
sloping by 0.00053 per K (0.02 mdeg/K on a 30 mdeg change).  scatter/SE is the standard deviation of
the values over the seeds over the root-mean-square of their standard
errors (1: the errors are right; below 1: too wide, above 1: too narrow).
"""

import argparse
import math
import warnings

import numpy as np
from scipy.signal import lfilter, savgol_filter

from kelvara import _core
from kelvara.fit import Curve, fit

TRUTH = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 22000.0}
KELVIN = np.linspace(363.15, 283.15, 201)
CONCENTRATIONS = (5e-6, 1e-5, 2e-5)
KINDS = ("white", "AR(1) 0.6", "AR(1) 0.9", "AR(2) 0.9, -0.3", "3-point average", "5-point average",
         "Savitzky-Golay 9/2", "AR(1) 0.6 + slope", "white + slope")
SLOPE = 0.02 * 0.8 / 30.0


def noise(rng, kind, n, sd=0.01):
    e = rng.normal(0.0, 1.0, n + 40)
    if kind == "white":
        x = e
    elif kind.startswith("AR(1)"):
        rho = float(kind.split()[1])
        x = lfilter([1.0], [1.0, -rho], e)
    elif kind.startswith("AR(2)"):
        x = lfilter([1.0], [1.0, -0.9, 0.3], e)
    elif kind.startswith("Savitzky"):
        x = savgol_filter(e, 9, 2)
    else:
        width = int(kind.split("-")[0])
        x = np.convolve(e, np.ones(width) / width, "same")
    x = x[20:20 + n]
    return sd * x / x.std()


def curves(kind, seed):
    rng = np.random.default_rng(seed)
    slope = SLOPE * (KELVIN - 298.15) if kind.endswith("+ slope") else 0.0
    return [Curve(KELVIN, 0.1 + slope + 0.8 * np.array(_core.temp_cooperative_model(
        KELVIN.tolist(), *TRUTH.values(), c_tot, 1.0)) + noise(rng, kind.split(" + ")[0], KELVIN.size), c_tot)
        for c_tot in CONCENTRATIONS]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=40)
    seeds = parser.parse_args().seeds
    warnings.simplefilter("ignore", RuntimeWarning)
    print(f"{'noise':22}{'right ok':>10}{'slope kept':>12}{'mean z dH_nuc':>15}{'scatter/SE dH':>15}{'dS':>7}"
          f"{'dH_nuc':>8}{'wrong ok':>10}")
    for kind in KINDS:
        ok = wrong_ok = kept = 0
        z = []
        values = {name: [] for name in TRUTH}
        errors = {name: [] for name in TRUTH}
        for seed in range(seeds):
            data = curves(kind, 1000 + seed)
            right = fit(data, "cooperative")
            ok += right.ok
            kept += right.choices[0].kept
            p = right.parameters["delta_h_nuc"]
            z.append((p.value - TRUTH["delta_h_nuc"]) / p.stderr)
            for name in TRUTH:
                values[name].append(right.parameters[name].value)
                errors[name].append(right.parameters[name].stderr)
            wrong_ok += fit(data, "isodesmic").ok
        ratios = [float(np.std(values[n], ddof=1) / math.sqrt(np.mean(np.square(errors[n])))) for n in TRUTH]
        print(f"{kind:22}{f'{ok}/{seeds}':>10}{f'{kept}/{seeds}':>12}{np.mean(z):>15.2f}{ratios[0]:>15.2f}{ratios[1]:>7.2f}{ratios[2]:>8.2f}"
              f"{f'{wrong_ok}/{seeds}':>10}", flush=True)


if __name__ == "__main__":
    main()
