"""Precision of the nucleus-of-n model against a 50-digit solution of its
mass balance, over nucleation favoured (sigma > 1) and not.

    python bench/nucleus_precision.py

prints, per nucleus size and sigma, the worst relative error of
cooperative_model_n(c_tot, K, sigma, n, 100) over K c_tot from 1e-6 to 1e6
(needs mpmath).  Where sigma <= 1 the fraction is 1 - m / c_tot, whose
rounding is an absolute 1e-16: relative errors near 1e-10 there belong to
the smallest fractions (about 2e-6 at K c_tot = 1e-6).
"""

import pathlib
import sys

from kelvara import _core

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from reference import exact_nucleus_fraction  # noqa: E402  (needs mpmath)

SIGMAS = (1e-3, 1.0, 1.001, 1.5, 3.0, 10.0, 30.0, 100.0, 1e3, 1e4, 1e6, 1e9, 1e12)
PRODUCTS = (1e-6, 1e-4, 1e-2, 1.0, 1e2, 1e4, 1e6)
SIZES = (3, 4, 5, 6, 8, 10, 12)


def main():
    print("worst relative error over K c_tot 1e-6 .. 1e6 (c_tot 1e-5 M)")
    print("n  " + "".join(f"{s:>9.3g}" for s in SIGMAS))
    for n in SIZES:
        row = []
        for sigma in SIGMAS:
            worst = 0.0
            for product in PRODUCTS:
                conc = 1e-5
                got = _core.cooperative_model_n(conc, product / conc, sigma, n, 100)
                truth = exact_nucleus_fraction(conc, product / conc, sigma, n)
                worst = max(worst, abs((got - truth) / truth))
            row.append(worst)
        print(f"{n:<3}" + "".join(f"{w:>9.1e}" for w in row))


if __name__ == "__main__":
    main()
