"""The isodesmic model: bisection solver and closed-form fraction."""

import math
import random
import struct
import sys
from decimal import Decimal, localcontext

import pytest

import reference
from kelvara import _core

iso = _core.isodesmic_model
direct = _core.isodesmic_model_direct
ERROR = "K * c_monomer must be less than 1 for the isodesmic model."
INF = math.inf


@pytest.mark.parametrize(
    "conc, k, num_itr, expected",
    [
        (1.0, 1.0, 0, 0.5),  # no residual; m* = 0.5
        (1.0, 1.0, 1, 0.75),
        (2.0, 1.0, 1, 0.625),  # a zero residual moves the lower bound
        (2.0, 1.0, 2, 0.6875),
        (2.0, 1.0, 100, 0.75),  # the exact root m = 0.5
        (1.0, 1.0, 100, 0.6180339887498948),
        (1e40, 1.0, 100, 1.0),  # p == 1.0 passes the strict guard
        (1.0, 0.0, 100, -INF),
        (1.0, -1.0, 100, 2.0),
        (0.0, 1.0, 100, -INF),
        (-1.0, 1.0, 100, 1.0),
        (math.nan, 1.0, 100, math.nan),
        (1.0, math.nan, 100, math.nan),
        (1.0, INF, 100, 1.0),
    ],
)
def test_solver_values(conc, k, num_itr, expected):
    assert repr(iso(conc, k, num_itr)) == repr(expected)


@pytest.mark.parametrize("num_itr", [0, 1, 100])
@pytest.mark.parametrize("conc", [1e-12, 1.0, 1e300, 0.0, -1.0])
@pytest.mark.parametrize("k", [5e-324, -5e-324, 1e-310, -1e-309])
def test_solver_guard_fails_when_one_over_k_overflows(k, conc, num_itr):
    with pytest.raises(ValueError) as caught:
        iso(conc, k, num_itr)
    assert caught.value.args == (ERROR,)
    assert len(ERROR) == 58


@pytest.mark.parametrize("conc", [1e-9, 3e-6, 1e-4, 0.05])
@pytest.mark.parametrize("k", [1e2, 1e5, 3e7])
def test_solver_root_satisfies_the_mass_balance(conc, k):
    fraction = iso(conc, k, 100)
    assert 0.0 < fraction < 1.0
    assert reference.on_the_root(lambda m: reference.isodesmic_total(m, k), fraction, conc)
    assert fraction == pytest.approx(direct(conc, k), rel=1e-12)


def test_solver_fraction_grows_with_concentration():
    fractions = [iso(10.0 ** (e / 4), 1e5, 100) for e in range(-40, -8)]
    assert all(a < b for a, b in zip(fractions, fractions[1:]))


# The closed form: 1 - 2 / (1 + 2X + sqrt(1 + 4X)).


def exact_fraction(x):
    """The fraction aggregated at X, to far more digits than a double holds."""
    with localcontext() as context:
        context.prec = 800  # 1 + 4X keeps every digit of X >= 1e-300
        X = Decimal(x)
        return 1 - 2 / (1 + 2 * X + (1 + 4 * X).sqrt())


def relative_error(x):
    exact = exact_fraction(x)
    return abs((Decimal(direct(x, 1.0)) - exact) / exact)


@pytest.mark.parametrize(
    "x, expected",
    [
        (1.0, 0.6180339887498949),
        (2.0, 0.75),
        (6.0, 8.0 / 9.0),  # sqrt(25) = 5: 1 - 2/18
        (1e-20, 2e-20),
        (sys.float_info.max, 1.0),
        (1e300, 1.0),
        (5e-324, 1e-323),
    ],
)
def test_direct_values(x, expected):
    assert direct(x, 1.0) == pytest.approx(expected, rel=1e-15, abs=0.0)


def test_direct_small_x_is_about_two_x():
    # The textbook steps gave 2.1011e-05 here (5 % off) and 1.0 or negative
    # values further down.
    assert direct(1e-5, 1.0) == pytest.approx(1.99995e-05, rel=1e-6)
    for x in (1e-6, 1e-8, 1e-10, 3e-12, 1e-20, 1e-100):
        assert direct(x, 1.0) == pytest.approx(2 * x, rel=3 * x + 1e-16)


@pytest.mark.parametrize(
    "x, expected",
    [
        (0.0, math.nan),
        (-0.0, math.nan),
        (INF, math.nan),
        (-INF, math.nan),
        (math.nan, math.nan),
        (-0.25, -3.0),
        (-0.2500000000000001, math.nan),
        (-1.0, math.nan),
    ],
)
def test_direct_outside_the_positive_finite_range_follows_the_textbook_steps(x, expected):
    assert repr(direct(x, 1.0)) == repr(expected)


def log_uniform_sample(count, seed=20261207):
    rng = random.Random(seed)
    return [10.0 ** rng.uniform(-300.0, 300.0) for _ in range(count)]


EDGES = [
    1e-300, 1e300, 0.25, 0.5, 0.999999999999, 1.0, 1.0000000000000002,
    math.nextafter(1.0, 0.0),
    1e-8, 1e-16, 1e16, 4.49e307, 8.99e307, sys.float_info.max, sys.float_info.min,
]


@pytest.mark.parametrize("x", EDGES + [10.0**e for e in range(-300, 301, 10)])
def test_direct_is_accurate_at_decades_and_edges(x):
    assert relative_error(x) < Decimal("1e-15")


def test_direct_is_accurate_for_random_x():
    worst = max(relative_error(x) for x in log_uniform_sample(3000))
    assert worst < Decimal("1e-15")


def test_direct_is_accurate_for_subnormal_x():
    # The exact fraction is 2X - 5X^2 + ...: 2X is its correctly rounded value.
    for bits in (1, 2, 3, 12345, 2**51, 2**52 - 1):
        x = struct.unpack("<d", struct.pack("<Q", bits))[0]
        assert direct(x, 1.0) == 2.0 * x


def test_direct_rises_with_x():
    xs = [10.0 ** (e / 8) for e in range(-2400, 2400)]
    values = [direct(x, 1.0) for x in xs]
    assert all(a <= b for a, b in zip(values, values[1:]))
    assert all(0.0 < v <= 1.0 for v in values)


def test_direct_multiplies_x_by_k():
    assert direct(0.5, 4.0) == direct(2.0, 1.0) == 0.75
    assert direct(1e-3, 1e3) == direct(1.0, 1.0)
