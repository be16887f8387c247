"""Cooperative models (dimer nucleus, nucleus of n) and the mixed model."""

import math
import random
import time

import pytest

import reference
from helpers import outcome, reference_outcome, same
from kelvara import _core
from reference import COOPERATIVE_ERROR, ISODESMIC_ERROR, NUCLEUS_ERROR

coop = _core.cooperative_model
coop_n = _core.cooperative_model_n
mixed = _core.coop_iso_model
INF = math.inf
NAN = math.nan


# --- cooperative_model ------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [
        ((1e-5, 1e6, 1e-3, 0), 0.95),
        ((1e-5, 1e6, 1e-3, 1), 0.925),
        ((1e-5, 1e6, 1e-3, 2), 0.9125),
        ((1e-5, 1e6, 1e-3, 100), 0.9010478877239755),
        ((1e-5, 1e6, 1.0, 100), 0.9270156211871643),
        ((1.0, 1e15, 1e-20, 52), 0.999999999999999),
        ((1.0, 1e-310, 0.5, 0), -INF),  # no step, no guard
        ((1.0, 0.0, 0.5, 100), -INF),
        ((1.0, -0.0, 0.5, 100), INF),
        ((0.0, 1e6, 1e-3, 100), -INF),
        ((1e-5, NAN, 1e-3, 100), NAN),
    ],
)
def test_cooperative_values(args, expected):
    assert same(coop(*args), expected)


@pytest.mark.parametrize(
    "args",
    [
        (1.0, 1e15, 1e-20, 53),  # the 53rd midpoint rounds to x >= 1
        (1.0, 1e15, 1e-20, 100),
        (1.0, 1e-310, 0.5, 1),  # 1/k overflows: the first midpoint is infinite
        (1.0, -1e-310, 0.5, 1),
    ],
)
def test_cooperative_guard(args):
    assert outcome(coop, *args) == (COOPERATIVE_ERROR,)
    assert len(COOPERATIVE_ERROR) == 60


def test_cooperative_keywords_in_any_order():
    assert coop(num_itr=50, sigma=0.01, k=1e5, conc=1e-5) == coop(1e-5, 1e5, 0.01, 50)


@pytest.mark.parametrize("conc", [1e-7, 1e-6, 1e-5, 1e-4])
@pytest.mark.parametrize("k, sigma", [(1e5, 1e-4), (1e6, 1e-2), (3e6, 0.5), (1e6, 1.0)])
def test_cooperative_root_satisfies_the_mass_balance(conc, k, sigma):
    fraction = coop(conc, k, sigma, 100)
    assert reference.on_the_root(lambda m: reference.cooperative_total(m, k, sigma), fraction, conc)


def test_sigma_one_is_the_isodesmic_balance():
    # m / (1 - x)^2 = conc: the same mass balance as the isodesmic model.
    for conc, k in [(1e-5, 1e6), (1e-4, 3e4), (2.0, 1.0)]:
        assert coop(conc, k, 1.0, 100) == pytest.approx(_core.isodesmic_model(conc, k, 100), rel=1e-13)


def test_cooperative_fraction_is_lower_for_stronger_nucleation_penalty():
    values = [coop(1e-5, 1e6, sigma, 100) for sigma in (1.0, 1e-1, 1e-2, 1e-3, 1e-4)]
    assert all(a > b for a, b in zip(values, values[1:]))


# --- cooperative_model_n ----------------------------------------------------


@pytest.mark.parametrize("num_itr", [0, 1, 100])
@pytest.mark.parametrize("nuc_size", [0, 1])
def test_nucleus_below_two_is_an_error_before_anything_else(nuc_size, num_itr):
    assert outcome(coop_n, 1e-5, 1e6, 1e-3, nuc_size, num_itr) == (NUCLEUS_ERROR,)
    assert outcome(coop_n, NAN, 0.0, -1.0, nuc_size, num_itr) == (NUCLEUS_ERROR,)


@pytest.mark.parametrize(
    "args, expected",
    [
        ((1e-5, 1e6, 1e-3, 2, 0), 0.95),
        ((1e-5, 1e6, 0.7, 17, 0), 0.95),
        ((1e-5, 1e6, 1e-3, 3, 1), 0.925),
        ((1e-5, 1e6, 1e-3, 3, 2), 0.9125),
        ((1e-5, 1e6, 1e-3, 2, 100), 0.9010478877239755),
        ((1.0, 1e15, 1e-20, 2, 53), 0.999999999999999),  # no guard in this model
        ((1.0, 1e15, 1e-20, 2, 100), 0.999999999999999),
        ((1e-5, 1e6, 1.0, 2, 100), 0.9270156211871643),
        ((1e-5, 1e6, 1.0, 3, 100), 0.9270156211871643),
        ((1e-5, 1e6, 1.0, 6, 100), 0.9270156211871643),
        ((1.0, 0.0, 1e-3, 3, 100), -INF),
        ((1.0, 1e-310, 1e-3, 3, 100), -INF),
        ((0.0, 1e6, 1e-3, 3, 100), -INF),
    ],
)
def test_cooperative_n_values(args, expected):
    assert same(coop_n(*args), expected)


def test_cooperative_n_approaches_the_elongation_limit():
    values = [coop_n(1e-5, 1e6, 1e-3, n, 100) for n in (2, 3, 4, 5, 8)]
    assert values[1] == pytest.approx(0.9000333, abs=5e-8)
    assert values[2] == pytest.approx(0.9000011, abs=5e-8)
    assert all(a > b > 0.9 for a, b in zip(values, values[1:]))


def realistic_cases(count, seed):
    rng = random.Random(seed)
    for _ in range(count):
        conc = 10.0 ** rng.uniform(-7, -3)
        k = 10.0 ** rng.uniform(3, 8)
        sigma = 10.0 ** rng.uniform(-5, 0)
        yield conc, k, sigma


def test_n_two_equals_the_dimer_model_wherever_that_succeeds():
    for conc, k, sigma in realistic_cases(300, 1):
        assert same(coop_n(conc, k, sigma, 2, 100), coop(conc, k, sigma, 100))
    # Where the dimer model fails, n = 2 counts x >= 1 as too high instead.
    assert outcome(coop, 1.0, 1e15, 1e-20, 100) == (COOPERATIVE_ERROR,)
    assert coop_n(1.0, 1e15, 1e-20, 2, 100) == 0.999999999999999


def test_sigma_one_gives_the_same_value_for_every_nucleus_size():
    for conc, k, _ in realistic_cases(40, 2):
        expected = coop_n(conc, k, 1.0, 2, 100)
        for n in (3, 4, 7, 30):
            assert same(coop_n(conc, k, 1.0, n, 100), expected)


@pytest.mark.parametrize("nuc_size", [2, 3, 4, 5, 9, 25])
def test_cooperative_n_matches_the_reference_bit_for_bit(nuc_size):
    rng = random.Random(nuc_size)
    cases = list(realistic_cases(25, nuc_size))
    # Edges: sigma 0 and above 1, negative and huge constants, x near 1.
    cases += [
        (1e-5, 1e6, 0.0), (1e-5, 1e6, 1.5), (1e-5, -1e6, 0.3), (1.0, 1e15, 1e-20),
        (1e-5, 1e6, 1.0 - 2**-40), (1e-3, 1e9, 1e-9), (-1e-5, 1e6, 0.1), (1e-5, 1e300, 0.5),
    ]
    for conc, k, sigma in cases:
        num_itr = rng.choice([1, 7, 60, 100])
        got = outcome(coop_n, conc, k, sigma, nuc_size, num_itr)
        want = reference_outcome(reference.cooperative_model_n, conc, k, sigma, nuc_size, num_itr)
        assert same(got, want), (conc, k, sigma, num_itr)


@pytest.mark.parametrize("nuc_size", [2**31 - 1, 2**31, 2**31 + 1, 2**31 + 3, 2**32 - 2, 2**32 - 1])
def test_nucleus_sizes_beyond_the_signed_range_work_like_any_other(nuc_size):
    # Once sigma^(n-1) has underflowed, a larger nucleus changes nothing:
    # the terms beyond are exact zeros.  So every size from 2000 up gives the
    # same double, and the call takes no longer than a small nucleus.
    expected = coop_n(1e-5, 1e6, 1e-3, 2000, 100)
    start = time.perf_counter()
    assert same(coop_n(1e-5, 1e6, 1e-3, nuc_size, 100), expected)
    assert time.perf_counter() - start < 5.0
    assert expected == pytest.approx(0.9, abs=1e-12)
    # sigma below 0 makes the correction NaN at every midpoint; above 1 the
    # positive sum's powers of sigma x vanish or overflow within thousands
    # of terms: the same result as any other size where that holds, and as
    # fast.
    start = time.perf_counter()
    assert same(coop_n(1e-5, 1e6, -0.5, nuc_size, 100), coop_n(1e-5, 1e6, -0.5, 50, 100))
    assert same(coop_n(1e-5, 1e6, 1.5, nuc_size, 100), coop_n(1e-5, 1e6, 1.5, 100000, 100))
    assert time.perf_counter() - start < 5.0


def test_nucleus_size_does_not_wrap_around():
    # 2^32 - 1 is not 1 (which would fail) and 2^31 + 2 is not negative.
    assert coop_n(1e-5, 1e6, 0.5, 2**32 - 1, 100) == coop_n(1e-5, 1e6, 0.5, 4000, 100)
    assert coop_n(1e-5, 1e6, 0.5, 2**31 + 2, 100) == coop_n(1e-5, 1e6, 0.5, 4000, 100)


# --- coop_iso_model ---------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [
        ((1.0, 1.0, 2.0, 0.3, 0), 0.75),
        ((1.0, 1.0, 2.0, NAN, 0), 0.75),
        ((1e-5, 1e5, 0.0, 0.3, 100), 0.6180339887498949),
        ((1e-5, 0.0, 1e5, 1e-3, 100), 0.09637801242333455),
        ((1.0, 1.0, 1.0, 1.0, 100), 0.6888921825340181),
        ((1.0, -2.0, -1.0, 0.5, 1), 1.75),
        ((1.0, 0.0, 0.0, 0.5, 100), -INF),
        ((0.0, 1e5, 1e5, 0.5, 100), -INF),
    ],
)
def test_mixed_values(args, expected):
    assert same(mixed(*args), expected)


@pytest.mark.parametrize(
    "args, message",
    [
        ((1.0, -2.0, -1.0, 0.5, 2), ISODESMIC_ERROR),
        ((1.0, -1.0, -2.0, 0.5, 1), COOPERATIVE_ERROR),
        ((1.0, -1.0, -2.0, 0.5, 100), COOPERATIVE_ERROR),
        ((1.0, 1e-310, 1e-310, 0.5, 1), ISODESMIC_ERROR),  # both guards fail: isodesmic first
        ((1.0, 0.0, 1e-310, 0.5, 1), COOPERATIVE_ERROR),
    ],
)
def test_mixed_guards(args, message):
    assert outcome(mixed, *args) == (message,)


def test_mixed_reduces_to_each_pathway():
    # Equal up to the rounding of adding and removing the monomer once more.
    for conc, k, sigma in realistic_cases(200, 3):
        assert mixed(conc, k, 0.0, sigma, 100) == pytest.approx(_core.isodesmic_model(conc, k, 100), rel=1e-12)
        assert mixed(conc, 0.0, k, sigma, 100) == pytest.approx(coop(conc, k, sigma, 100), rel=1e-12)


def test_mixed_aggregates_more_than_either_pathway_alone():
    for conc, k, sigma in realistic_cases(100, 4):
        both = mixed(conc, 0.3 * k, k, sigma, 100)
        assert both >= coop(conc, k, sigma, 100)
        assert both >= _core.isodesmic_model(conc, 0.3 * k, 100)


def test_mixed_root_satisfies_the_mass_balance():
    for conc, k, sigma in realistic_cases(100, 5):
        k_iso = 0.2 * k
        fraction = mixed(conc, k_iso, k, sigma, 100)
        total = lambda m: reference.mixed_total(m, k_iso, k, sigma)
        assert reference.on_the_root(total, fraction, conc), (conc, k, sigma)


@pytest.mark.parametrize("seed", range(4))
def test_dimer_and_mixed_models_match_the_reference_bit_for_bit(seed):
    rng = random.Random(100 + seed)
    values = [0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 1e-310, 5e-324, 1e300, INF, -INF, NAN]
    for _ in range(150):
        pick = lambda: rng.choice(values) if rng.random() < 0.3 else 10.0 ** rng.uniform(-8, 8)
        conc, k1, k2, sigma = pick(), pick(), pick(), pick()
        num_itr = rng.choice([0, 1, 2, 5, 53, 100])
        assert same(
            outcome(coop, conc, k1, sigma, num_itr),
            reference_outcome(reference.cooperative_model, conc, k1, sigma, num_itr),
        )
        assert same(
            outcome(mixed, conc, k1, k2, sigma, num_itr),
            reference_outcome(reference.coop_iso_model, conc, k1, k2, sigma, num_itr),
        )
        assert same(
            outcome(_core.isodesmic_model, conc, k1, num_itr),
            reference_outcome(reference.isodesmic_model, conc, k1, num_itr),
        )
