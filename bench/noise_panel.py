"""The verdict and the errors over a panel of instrument noises: how often
the right model is ok, how the scatter of its values over seeds compares
with their standard errors, and how often a wrong model is ok, for every
noise kind x curve length x noise level.

  python bench/noise_panel.py [--seeds 40] [--lengths 37,181,951] [--levels 0.005,0.02] [--jobs 2]

The noise is made here, apart from anything the tests or the fit use:
white; first- and second-order autoregressions; white noise on a slow
first-order drift (lag-1 0.9, as much variance as the white part); a
smooth drift on white (white noise under a Gaussian an eighth of the ramp wide,
as much variance as the white part); boxcar averages of 3, 5 and 9 points and a Savitzky-Golay
smoothing of white noise; 1/f noise; and noise proportional to the
signal (a photomultiplier's).  Three cooling curves (5, 10, 20 uM) from 90
to 10 degrees C, signal change 0.8, the noise SD a fraction (--levels) of
it; the right model is the cooperative one, the wrong one the isodesmic.
Targets per cell: right ok >= 95 %, scatter/SE of dH, dS, dH_nuc within
0.8 to 1.25, wrong ok <= 5 %.
"""

import argparse
import math
import warnings
from concurrent.futures import ProcessPoolExecutor

import numpy as np
from scipy.signal import lfilter, savgol_filter

TRUTH = {"delta_h": -95000.0, "delta_s": -180.0, "delta_h_nuc": 22000.0}
CONCENTRATIONS = (5e-6, 1e-5, 2e-5)
AMPLITUDE = 0.8
KINDS = ("white", "AR(1) 0.9", "AR(2) 1.2 -0.4", "white + AR(1) 0.9", "white + slow drift", "boxcar 3",
         "boxcar 5", "boxcar 9", "Savitzky-Golay 11/2", "1/f", "proportional")


def _unit(x):
    return x / x.std()


def noise(rng, kind, n, signal):
    """Noise of unit SD (over the curve) of the kind named, n points."""
    pad = 200
    e = rng.normal(0.0, 1.0, n + 2 * pad)
    if kind == "white":
        x = e
    elif kind == "AR(1) 0.9":
        x = lfilter([1.0], [1.0, -0.9], e)
    elif kind.startswith("AR(2)"):
        x = lfilter([1.0], [1.0, -1.2, 0.4], e)
    elif kind == "white + AR(1) 0.9":
        x = e + _unit(lfilter([1.0], [1.0, -0.9], rng.normal(0.0, 1.0, e.size)))
    elif kind == "white + slow drift":
        # A smooth random curve (white noise under a Gaussian whose width is
        # an eighth of the ramp) with as much variance as the white part.
        width = max(n / 8.0, 1.0)
        t = np.arange(-4 * int(width) - 1, 4 * int(width) + 2)
        smooth = np.convolve(rng.normal(0.0, 1.0, e.size), np.exp(-0.5 * (t / width) ** 2), "same")
        x = e.copy()
        x[pad:pad + n] += _unit(smooth[pad:pad + n])
    elif kind.startswith("boxcar"):
        width = int(kind.split()[1])
        x = np.convolve(e, np.ones(width) / width, "same")
    elif kind.startswith("Savitzky"):
        x = savgol_filter(e, 11, 2)
    elif kind == "1/f":
        spectrum = np.fft.rfft(e)
        f = np.fft.rfftfreq(e.size)
        f[0] = f[1]
        x = np.fft.irfft(spectrum / np.sqrt(f), e.size)
    elif kind == "proportional":
        x = e[pad:pad + n] * (0.2 + signal / AMPLITUDE)
        return _unit(x)
    else:
        raise ValueError(kind)
    return _unit(x[pad:pad + n])


def data(kind, n, level, seed):
    from kelvara import _core
    from kelvara.fit import Curve

    rng = np.random.default_rng(seed)
    kelvin = np.linspace(363.15, 283.15, n)
    out = []
    for c_tot in CONCENTRATIONS:
        signal = AMPLITUDE * np.array(_core.temp_cooperative_model(kelvin.tolist(), *TRUTH.values(), c_tot, 1.0))
        out.append(Curve(kelvin, 0.1 + signal + level * AMPLITUDE * noise(rng, kind, n, signal), c_tot))
    return out


def one(task):
    kind, n, level, seed = task
    from kelvara.fit import fit

    warnings.simplefilter("ignore")
    curves = data(kind, n, level, seed)
    right = fit(curves, "cooperative")
    wrong = fit(curves, "isodesmic")
    values = {k: (right.parameters[k].value, right.parameters[k].stderr) for k in TRUTH}
    return kind, n, level, right.ok, wrong.ok, values


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=40)
    parser.add_argument("--lengths", default="37,181,951")
    parser.add_argument("--levels", default="0.005,0.02")
    parser.add_argument("--kinds", default=";".join(KINDS))
    parser.add_argument("--jobs", type=int, default=2)
    a = parser.parse_args()
    lengths = [int(v) for v in a.lengths.split(",")]
    levels = [float(v) for v in a.levels.split(",")]
    kinds = [k for k in a.kinds.split(";") if k]
    tasks = [(k, n, lv, 7000 + s) for k in kinds for n in lengths for lv in levels for s in range(a.seeds)]
    cells = {}
    with ProcessPoolExecutor(a.jobs) as pool:
        for kind, n, level, ok, wrong_ok, values in pool.map(one, tasks, chunksize=4):
            cells.setdefault((kind, n, level), []).append((ok, wrong_ok, values))
    print(f"{'noise':22}{'points':>7}{'level':>7}{'right ok':>10}{'dH':>7}{'dS':>7}{'dH_nuc':>8}{'wrong ok':>10}  "
          "(scatter/SE of the ok and not-ok right fits)")
    for (kind, n, level), rows in cells.items():
        ok = sum(r[0] for r in rows)
        wrong = sum(r[1] for r in rows)
        ratios = []
        for name in TRUTH:
            v = np.array([r[2][name][0] for r in rows])
            e = np.array([r[2][name][1] for r in rows])
            good = np.isfinite(v) & np.isfinite(e)
            ratios.append(float(np.std(v[good], ddof=1) / math.sqrt(np.mean(e[good] ** 2)))
                          if good.sum() > 2 else math.nan)
        flag = "" if ok >= 0.95 * len(rows) and wrong <= 0.05 * len(rows) and all(0.8 <= r <= 1.25 for r in ratios) \
            else "  *"
        print(f"{kind:22}{n:>7}{level:>7.3f}{f'{ok}/{len(rows)}':>10}{ratios[0]:>7.2f}{ratios[1]:>7.2f}"
              f"{ratios[2]:>8.2f}{f'{wrong}/{len(rows)}':>10}{flag}", flush=True)


if __name__ == "__main__":
    main()
