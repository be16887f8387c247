"""How often the reader calls a ramp's cooling and heating different: over
many seeds, ramps at equilibrium (no shift; the thermometer jittering, the
bath held at the bottom, and a thermal lag of 0.5 K) and ramps whose heating
lies 1.5, 2, 3 and 5 K higher; and the scatter of the measured shift over
seeds against its stated error.

  python bench/hysteresis_calibration.py [--seeds 200]

Each ramp is one sample of the cooperative model (-95 kJ/mol, -180
J/(mol K), 22 kJ/mol) at 5 or 20 µM, 90 -> 5 -> 90 °C in 0.5 K steps, CD
noise 0.3 mdeg on a 40 mdeg change.  A call is the reader's: a shift beyond
4 standard errors and 1 K.
"""

import argparse

import numpy as np

from kelvara import _core
from kelvara.io.stages import _HYSTERESIS_KELVIN, _HYSTERESIS_SES, hysteresis

TRUE = (-95000.0, -180.0, 22000.0)
DOWN = np.arange(90.0, 4.9, -0.5)


def cd(celsius, c_tot, shift):
    kelvin = (np.asarray(celsius) + 273.15 - shift).tolist()
    return -40.0 * np.array(_core.temp_cooperative_model(kelvin, *TRUE, c_tot, 1.0))


def one(seed, c_tot, shift, stages_differ=False):
    rng = np.random.default_rng(seed)
    down = np.concatenate([DOWN, np.full(6, 5.0)])
    up = DOWN[::-1]
    cooling = cd(down, c_tot, 0.0) + rng.normal(0, 0.3, down.size)
    heating = cd(up, c_tot, shift) + rng.normal(0, 0.3, up.size)
    if stages_differ:
        # The same transition, the heating stage's signal change 20 % larger,
        # 2 mdeg higher and sloping by 0.05 mdeg/K (a lamp that drifted).
        heating = 1.2 * heating + 2.0 + 0.05 * (up - 50.0)
    jitter = rng.normal(0, 0.03, down.size), rng.normal(0, 0.03, up.size)
    return hysteresis(down + jitter[0], cooling, up + jitter[1], heating)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", type=int, default=200)
    options = parser.parse_args()
    print(f"{options.seeds} seeds per row; a call: |shift| > max({_HYSTERESIS_KELVIN:g} K, "
          f"{_HYSTERESIS_SES:g} SE)")
    print("*: the stages differ in amplitude (x1.2), offset and slope, not in Tm")
    print(f"{'true shift':>10} {'c_tot':>6} {'called':>8} {'mean shift':>11} {'SD':>6} {'mean SE':>8} {'SD/SE':>6}")
    for shift, differ in ((0.0, False), (0.0, True), (0.5, False), (1.5, False), (1.5, True), (2.0, False),
                          (3.0, False), (5.0, False), (5.0, True)):
        for c_tot in (5e-6, 2e-5):
            found = [one(seed, c_tot, shift, differ) for seed in range(options.seeds)]
            measured = np.array([f[0] for f in found if f is not None and np.isfinite(f[1])])
            errors = np.array([f[1] for f in found if f is not None and np.isfinite(f[1])])
            called = sum(1 for f in found if f is not None and abs(f[0]) > max(_HYSTERESIS_KELVIN,
                                                                               _HYSTERESIS_SES * f[1]))
            print(f"{shift:>10g}{'*' if differ else ' '}{c_tot * 1e6:>5g}µ {called:>4}/{options.seeds:<3} {measured.mean():>11.3f} "
                  f"{measured.std():>6.3f} {errors.mean():>8.3f} {measured.std() / errors.mean():>6.2f}")


if __name__ == "__main__":
    main()
