"""Generated inputs, from ordinary to hostile.

Numbers: every double (NaN, infinities, signed zeros, subnormals, extremes)
and integers at and beyond every range limit, checked bit for bit against
the reference transcriptions.  Calls: arbitrary argument counts, keyword
sets and objects whose conversions raise anything, return the wrong type,
call the module again, mutate the sequence being converted or report wrong
lengths.  Every call must return the right type or raise a documented
exception, and the same call must give the same bits twice.

The example counts are fixed and the search derandomised, so CI runs the
same cases every time; KELVARA_HYPOTHESIS=thorough searches much further.
"""

import copy
import math
import os
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference
from helpers import outcome, reference_outcome, same
from kelvara import _core
from test_registry import REGISTRY

settings.register_profile(
    "ci", max_examples=150, derandomize=True, deadline=None, database=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "thorough", max_examples=5000, deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile(os.environ.get("KELVARA_HYPOTHESIS", "ci"))

PARAMETERS = {name: signature[1:-1].split(", ") for name, signature, _ in REGISTRY}
FUNCTIONS = [name for name, _, _ in REGISTRY]

SPECIAL_DOUBLES = [
    0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-310, 1.0, -1.0, 0.5, 2.0,
    -0.25, 1e300, sys.float_info.max, -sys.float_info.max, math.inf, -math.inf, math.nan,
]
doubles = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True) | st.sampled_from(
    SPECIAL_DOUBLES
)
realistic_positive = st.floats(min_value=1e-12, max_value=1e12)
LIMIT_INTS = [
    -(2**64), -(2**63) - 1, -(2**63), -(2**31) - 1, -1, 0, 1, 2, 3,
    2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 10**30,
]


def classify(result):
    """The outcome of one call as comparable data: value bits or exception."""
    return ("value", repr(result)) if not isinstance(result, BaseException) else (
        "error", type(result).__name__, str(result)
    )


def call(function, args, kwargs):
    try:
        return function(*args, **kwargs)
    except BaseException as error:  # noqa: B902 - hostile objects raise anything
        return error


# --- ordinary numbers, checked against the reference --------------------------


@given(x=doubles, k=doubles)
def test_direct_formula_any_doubles(x, k):
    value = _core.isodesmic_model_direct(x, k)
    product = x * k
    if product > 0.0 and product != math.inf:
        assert 0.0 < value <= 1.0
        assert value == pytest.approx(float(reference_exact(product)), rel=1e-15)
    else:
        assert same(value, reference.isodesmic_textbook(product))


def reference_exact(x):
    from decimal import Decimal, localcontext

    with localcontext() as context:
        context.prec = 800
        X = Decimal(x)
        return 1 - 2 / (1 + 2 * X + (1 + 4 * X).sqrt())


small_counts = st.integers(min_value=0, max_value=120)


@given(conc=doubles, k=doubles, num_itr=small_counts)
def test_isodesmic_solver_any_doubles(conc, k, num_itr):
    assert same(
        outcome(_core.isodesmic_model, conc, k, num_itr),
        reference_outcome(reference.isodesmic_model, conc, k, num_itr),
    )


@given(conc=doubles, k=doubles, sigma=doubles, num_itr=small_counts)
def test_cooperative_solver_any_doubles(conc, k, sigma, num_itr):
    assert same(
        outcome(_core.cooperative_model, conc, k, sigma, num_itr),
        reference_outcome(reference.cooperative_model, conc, k, sigma, num_itr),
    )


@given(conc=doubles, k_iso=doubles, k_coop=doubles, sigma=doubles, num_itr=small_counts)
def test_mixed_solver_any_doubles(conc, k_iso, k_coop, sigma, num_itr):
    assert same(
        outcome(_core.coop_iso_model, conc, k_iso, k_coop, sigma, num_itr),
        reference_outcome(reference.coop_iso_model, conc, k_iso, k_coop, sigma, num_itr),
    )


@given(
    conc=doubles,
    k=doubles,
    sigma=doubles | st.floats(min_value=0.0, max_value=1.0),
    nuc_size=st.integers(min_value=0, max_value=12),
    num_itr=st.integers(min_value=0, max_value=40),
)
def test_cooperative_n_solver_any_doubles(conc, k, sigma, nuc_size, num_itr):
    assert same(
        outcome(_core.cooperative_model_n, conc, k, sigma, nuc_size, num_itr),
        reference_outcome(reference.cooperative_model_n, conc, k, sigma, nuc_size, num_itr),
    )


temperatures = st.lists(doubles | st.floats(min_value=1.0, max_value=600.0), max_size=6)
enthalpies = doubles | st.floats(min_value=-3e5, max_value=3e5)
entropies = doubles | st.floats(min_value=-1e3, max_value=1e3)


@given(temp=temperatures, dh=enthalpies, ds=entropies, c_tot=doubles | realistic_positive, scaler=doubles)
def test_isodesmic_sweeps_any_doubles(temp, dh, ds, c_tot, scaler):
    assert same(
        outcome(_core.temp_isodesmic_model, temp, dh, ds, c_tot, scaler),
        reference_outcome(reference.temp_isodesmic_model, temp, dh, ds, c_tot, scaler),
    )
    direct = _core.temp_isodesmic_model_direct(temp, dh, ds, c_tot, scaler)
    assert len(direct) == len(temp)
    for t, value in zip(temp, direct):
        single = _core.isodesmic_model_direct(c_tot, reference.equilibrium_constant(dh, ds, t))
        assert same(value, scaler * single)


@given(
    temp=temperatures,
    dh=enthalpies,
    ds=entropies,
    dh_nuc=enthalpies,
    c_tot=doubles | realistic_positive,
    scaler=doubles,
    nuc_size=st.integers(min_value=0, max_value=8),
)
def test_cooperative_sweeps_any_doubles(temp, dh, ds, dh_nuc, c_tot, scaler, nuc_size):
    assert same(
        outcome(_core.temp_cooperative_model, temp, dh, ds, dh_nuc, c_tot, scaler),
        reference_outcome(reference.temp_cooperative_model, temp, dh, ds, dh_nuc, c_tot, scaler),
    )
    assert same(
        outcome(_core.temp_cooperative_model_n, temp[:3], dh, ds, dh_nuc, c_tot, scaler, nuc_size),
        reference_outcome(
            reference.temp_cooperative_model_n, temp[:3], dh, ds, dh_nuc, c_tot, scaler, nuc_size
        ),
    )


@given(
    temp=temperatures,
    thermo=st.tuples(enthalpies, entropies, enthalpies, entropies, enthalpies),
    c_tot=doubles | realistic_positive,
    scaler=doubles,
)
def test_mixed_sweep_any_doubles(temp, thermo, c_tot, scaler):
    assert same(
        outcome(_core.temp_coop_iso_model, temp, *thermo, c_tot, scaler),
        reference_outcome(reference.temp_coop_iso_model, temp, *thermo, c_tot, scaler),
    )


@given(num_itr=st.sampled_from(LIMIT_INTS), nuc_size=st.sampled_from(LIMIT_INTS))
def test_integers_at_and_beyond_every_limit(num_itr, nuc_size):
    in_u64 = 0 <= num_itr < 2**64
    in_u32 = 0 <= nuc_size < 2**32
    # k = 5e-324 fails the isodesmic guard at the first midpoint (and at the
    # final one when there is no step), so even 2^64 - 1 steps return at once.
    result = call(_core.isodesmic_model, (1.0, 5e-324, num_itr), {})
    assert type(result) is (ValueError if in_u64 else OverflowError)
    # The cooperative guard likewise, except that no step means no guard.
    result = call(_core.cooperative_model, (1.0, 5e-324, 0.5, num_itr), {})
    if not in_u64:
        assert type(result) is OverflowError
    else:
        assert type(result) is (float if num_itr == 0 else ValueError)
    # The nucleus-size model converts nuc_size before num_itr and checks the
    # nucleus before any step; only short runs are made here.
    if in_u32 and nuc_size >= 2 and in_u64 and num_itr > 3:
        return
    result = call(_core.cooperative_model_n, (1.0, 1.0, 0.5, nuc_size, num_itr), {})
    if not in_u32:
        assert type(result) is OverflowError
        if -(2**63) <= nuc_size < 2**63:
            assert str(result) == "out of range integral type conversion attempted"
    elif not in_u64:
        assert type(result) is OverflowError
    elif nuc_size < 2:
        assert result.args == (reference.NUCLEUS_ERROR,)
    else:
        assert type(result) is float


# --- arbitrary calls and hostile objects --------------------------------------


class Hostile:
    """Conversions that misbehave in one chosen way."""

    def __init__(self, behaviour, payload=None):
        self.behaviour = behaviour
        self.payload = payload

    def __repr__(self):
        return f"Hostile({self.behaviour!r}, {self.payload!r})"

    def _act(self, kind):
        if self.behaviour == "raise":
            raise self.payload("from __%s__" % kind)
        if self.behaviour == "wrong type":
            return self.payload
        if self.behaviour == "reentrant":
            name, args = self.payload
            try:
                getattr(_core, name)(*args)
            except ValueError:
                pass
            return 2.0 if kind == "float" else 2
        return 1.0 if kind == "float" else 1

    def __float__(self):
        return self._act("float")

    def __index__(self):
        result = self._act("index")
        return int(result) if self.behaviour == "reentrant" else result


class HostileSequence:
    """A sequence whose length, iteration or items misbehave."""

    def __init__(self, items, length=None, fail_at=None, error=None, mutate=False):
        self.items = list(items)
        self.length = length
        self.fail_at = fail_at
        self.error = error
        self.mutate = mutate

    def __repr__(self):
        return f"HostileSequence({self.items!r}, {self.length!r}, {self.fail_at!r}, {self.error!r}, {self.mutate})"

    def __len__(self):
        if isinstance(self.length, type):
            raise self.length("from __len__")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        if index == self.fail_at:
            raise self.error("from __getitem__")
        if self.mutate and index == 1:
            self.items.append(330.0)
            del self.items[0]
        return self.items[index]


EXCEPTIONS = [TypeError, ValueError, OverflowError, ZeroDivisionError, RuntimeError, KeyError, ArithmeticError]
WRONG_TYPES = [None, "1.0", 1j, [1.0], 2**70]
REENTRANT_CALLS = [
    ("isodesmic_model", (1.0, 1.0, 10)),
    ("temp_cooperative_model", ([300.0, 1.0], -1e5, -200.0, 2e4, 1e-5, 1.0)),
    ("coop_iso_model", (1.0, -1.0, -2.0, 0.5, 3)),
]

hostile_numbers = st.one_of(
    st.builds(Hostile, st.just("raise"), st.sampled_from(EXCEPTIONS)),
    st.builds(Hostile, st.just("wrong type"), st.sampled_from(WRONG_TYPES)),
    st.builds(Hostile, st.just("reentrant"), st.sampled_from(REENTRANT_CALLS)),
    st.builds(Hostile, st.just("fine")),
)
sequence_items = st.lists(doubles | st.integers(-5, 500) | hostile_numbers, max_size=6)
hostile_sequences = st.builds(
    HostileSequence,
    sequence_items,
    length=st.none() | st.sampled_from([0, 1, 10**9, sys.maxsize, -1, ValueError, TypeError]),
    fail_at=st.none() | st.integers(0, 5),
    error=st.sampled_from(EXCEPTIONS),
    mutate=st.booleans(),
)
small_ints = st.integers(min_value=0, max_value=60)
anything = st.one_of(
    doubles,
    small_ints,
    st.sampled_from([-1, 2**32, 2**64, -(2**70), True, False]),
    hostile_numbers,
    hostile_sequences,
    sequence_items,
    st.tuples(doubles, doubles),
    st.text(max_size=3),
    st.none(),
    st.just(range(3)),
    st.dictionaries(st.integers(), st.integers(), max_size=2),
)
keywords = st.sampled_from(sorted({p for ps in PARAMETERS.values() for p in ps}) + ["", "foo", "K", "x\udcff"])


def allowed(error):
    """Documented: binding and conversion errors, model errors, and any
    exception raised by the caller's own objects."""
    if isinstance(error, (TypeError, OverflowError, ValueError)):
        return True
    return isinstance(error, tuple(EXCEPTIONS)) and "from __" in str(error)


@settings(max_examples=settings().max_examples * 4)
@given(
    name=st.sampled_from(FUNCTIONS),
    args=st.lists(anything, max_size=9),
    kwargs=st.dictionaries(keywords, anything, max_size=4),
)
def test_arbitrary_calls_return_the_right_type_or_a_documented_error(name, args, kwargs):
    function = getattr(_core, name)
    # Step counts and nucleus sizes are bounded in this test (the integer
    # limits have their own), so that no call runs for long.
    first = call(function, args, kwargs)
    if isinstance(first, BaseException):
        assert allowed(first), repr(first)
    else:
        assert type(first) is (list if name.startswith("temp_") else float)
        if type(first) is list:
            assert all(type(v) is float for v in first)


@given(
    name=st.sampled_from(FUNCTIONS),
    seed_args=st.lists(st.one_of(doubles, small_ints, sequence_items, hostile_numbers), max_size=8),
)
def test_the_same_call_gives_the_same_bits(name, seed_args):
    # Objects without state between calls: two calls must agree exactly.
    function = getattr(_core, name)
    args = [list(a) if isinstance(a, list) else a for a in seed_args]
    assert classify(call(function, args, {})) == classify(call(function, args, {}))


@given(temp=hostile_sequences)
def test_hostile_sequences_convert_or_fail_cleanly(temp):
    # A copy, iterated the way the conversion does, tells what it must see.
    twin = copy.deepcopy(temp)
    result = call(_core.temp_isodesmic_model_direct, (temp, -5e4, -100.0, 1e-5, 1.0), {})
    if isinstance(result, BaseException):
        assert allowed(result), repr(result)
    else:
        items = []
        index = 0
        while True:
            try:
                items.append(float(twin[index]))
            except IndexError:
                break
            index += 1
        expected = _core.temp_isodesmic_model_direct(items, -5e4, -100.0, 1e-5, 1.0)
        assert same(result, expected)
