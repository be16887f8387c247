"""Conversion of arguments to native values, and the exceptions it raises."""

import fractions
import math
import sys

import pytest

from helpers import Spy
from kelvara import _core

iso = _core.isodesmic_model
direct = _core.isodesmic_model_direct

# isodesmic_model(1.0, 5e-324, n) fails at its first guard whatever n is,
# which shows that n itself was accepted without running n steps.
GUARD_FAILS = (1.0, 5e-324)
ISODESMIC_ERROR = "K * c_monomer must be less than 1 for the isodesmic model."


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raising:
    """__float__ and __index__ raise the given exception."""

    def __init__(self, exception):
        self.exception = exception

    def __float__(self):
        raise self.exception

    def __index__(self):
        raise self.exception


@pytest.mark.parametrize(
    "x, expected",
    [
        (1, 0.6180339887498949),
        (True, 0.6180339887498949),
        (Floaty(1.0), 0.6180339887498949),
        (Indexy(2), 0.75),
        (fractions.Fraction(1, 4), 0.31370849898476116),
        (2.0, 0.75),
    ],
)
def test_float_parameters_accept_numbers(x, expected):
    assert direct(x, 1.0) == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize(
    "call, expected",
    [
        # A returned -1.0 from __float__ is a value, not an error.
        (lambda: iso(Floaty(-1.0), 1.0, 100), 1.0),
        (lambda: iso(1.0, -1.0, 100), 2.0),
        (lambda: iso(1.0, -0.0, 100), math.inf),
        (lambda: iso(math.nan, 1.0, 100), math.nan),
        (lambda: direct(-0.25, 1.0), -3.0),
        (lambda: direct(-0.0, 1.0), math.nan),
        (lambda: direct(math.inf, 1.0), math.nan),
    ],
)
def test_float_parameters_pass_every_double_to_the_model(call, expected):
    assert repr(call()) == repr(expected)


@pytest.mark.parametrize("bad", ["a", None, [1.0], b"1", 1j])
def test_float_refusal_is_relabelled_with_the_parameter_name(bad):
    with pytest.raises(TypeError) as caught:
        iso(1.0, bad, 10)
    assert type(caught.value) is TypeError
    assert str(caught.value).startswith("argument 'k': ")
    assert type(bad).__name__ in str(caught.value)


def test_only_the_first_failing_parameter_is_reported():
    with pytest.raises(TypeError) as caught:
        iso("a", 2.0, -1)
    assert str(caught.value).startswith("argument 'conc': ")


def test_conversion_stops_at_the_first_failure():
    converted = []
    with pytest.raises(TypeError):
        iso(Spy(converted), "a", Spy(converted))
    assert len(converted) == 1


def test_int_too_large_for_a_double_is_an_unprefixed_overflow():
    with pytest.raises(OverflowError) as caught:
        direct(10**400, 1.0)
    assert not str(caught.value).startswith("argument")


@pytest.mark.parametrize("num_itr", [0, 1, True, False, Indexy(1), 2**63, 2**64 - 1])
def test_num_itr_accepts_every_unsigned_64_bit_integer(num_itr):
    with pytest.raises(ValueError) as caught:
        iso(*GUARD_FAILS, num_itr)
    assert str(caught.value) == ISODESMIC_ERROR


def test_num_itr_bool_counts_as_one_step():
    assert iso(1.0, 1.0, True) == iso(1.0, 1.0, 1) == 0.75
    assert iso(1.0, 1.0, Indexy(2)) == iso(1.0, 1.0, 2)


@pytest.mark.parametrize("num_itr", [-1, 2**64, -(2**70), Indexy(-1), Indexy(2**64)])
def test_num_itr_out_of_range_is_an_unprefixed_overflow(num_itr):
    with pytest.raises(OverflowError) as caught:
        iso(1.0, 1.0, num_itr)
    assert type(caught.value) is OverflowError
    assert not str(caught.value).startswith("argument")


@pytest.mark.parametrize("num_itr", [2.5, 1.0, "3", None, fractions.Fraction(3)])
def test_num_itr_refuses_non_integers_with_a_labelled_type_error(num_itr):
    with pytest.raises(TypeError) as caught:
        iso(1.0, 1.0, num_itr)
    assert type(caught.value) is TypeError
    assert str(caught.value).startswith("argument 'num_itr': ")


def test_relabelled_type_error_keeps_the_original_cause_only():
    root = KeyError("root")
    original = TypeError("bad number")
    original.__cause__ = root

    with pytest.raises(TypeError) as caught:
        direct(1.0, Raising(original))
    error = caught.value
    assert error is not original
    assert type(error) is TypeError
    assert str(error) == "argument 'k': bad number"
    assert error.args == ("argument 'k': bad number",)
    assert error.__cause__ is root
    assert error.__suppress_context__
    assert error.__context__ is not original


def test_relabelled_type_error_without_cause_has_none():
    with pytest.raises(TypeError) as caught:
        direct(Raising(TypeError("plain")), 1.0)
    assert str(caught.value) == "argument 'x': plain"
    assert caught.value.__cause__ is None
    assert caught.value.__suppress_context__


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    "exception",
    [
        ValueError("value"),
        TypeErrorSubclass("subclass"),
        OverflowError("overflow"),
        ZeroDivisionError("zero"),
        KeyboardInterrupt(),
        RuntimeError("runtime"),
    ],
)
def test_other_exceptions_from_user_code_arrive_unchanged(exception):
    with pytest.raises(BaseException) as caught:
        iso(1.0, 1.0, Raising(exception))
    assert caught.value is exception
    with pytest.raises(BaseException) as caught:
        direct(Raising(exception), 1.0)
    assert caught.value is exception


def test_unprintable_type_error_is_reported_and_labelled(monkeypatch):
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    with pytest.raises(TypeError) as caught:
        direct(1.0, Raising(TypeError(Unprintable())))
    assert str(caught.value) == "argument 'k': <unprintable TypeError object>"
    assert len(reported) == 1
    assert type(reported[0].exc_value) is RuntimeError


def test_model_error_is_a_plain_value_error():
    with pytest.raises(ValueError) as caught:
        iso(1.0, 5e-324, 10)
    error = caught.value
    assert type(error) is ValueError
    assert error.args == (ISODESMIC_ERROR,)
    assert error.__cause__ is None
    assert not error.__suppress_context__


def test_reentrant_calls_from_a_conversion():
    class Reentrant:
        def __float__(self):
            return iso(2.0, 1.0, 100) + direct(2.0, 1.0) - 0.5

    assert direct(Reentrant(), 1.0) == direct(1.0, 1.0)
    assert iso(Reentrant(), 1.0, 100) == iso(1.0, 1.0, 100)


@pytest.mark.parametrize(
    "call",
    [
        lambda a: iso(a, 1.0, 10),
        lambda a: iso(a, 5e-324, 10),
        lambda a: iso(a, "bad", 10),
        lambda a: iso(a, 1.0, -1),
        lambda a: iso(a, 1.0, 10, 3),
        lambda a: iso(a, 1.0, num_itr=10, conc=1.0),
        lambda a: iso(a, 1.0, bogus=1),
        lambda a: direct(1.0, k=a),
        lambda a: direct(1.0, Raising(TypeError("x")), a),
    ],
)
def test_calls_do_not_leak_references_to_their_arguments(call):
    argument = Floaty(1.5)
    before = sys.getrefcount(argument)
    for _ in range(200):
        try:
            call(argument)
        except (TypeError, ValueError, OverflowError):
            pass
    assert sys.getrefcount(argument) == before


# --- list of floats (temp) -----------------------------------------------------

sweep = _core.temp_isodesmic_model_direct
SWEEP_ARGS = (0.0, 0.0, 1.0, 1.0)  # K = 1 at every temperature: 0.618... each
VALUE = 0.6180339887498949


class GetitemOnly:
    """A sequence by the old protocol: __getitem__ until IndexError."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, index):
        return self.items[index]


class LyingLength(GetitemOnly):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


@pytest.mark.parametrize(
    "temp, count",
    [
        ([300.0, 310.0], 2),
        ((300.0, 310.0, 320.0), 3),
        (range(250, 260), 10),
        ([300, True, fractions.Fraction(7, 2), Floaty(3.0), Indexy(4)], 5),
        (GetitemOnly([1.0, 2.0, 3.0]), 3),
        (bytes([100, 200]), 2),
        (bytearray(b"\x01"), 1),
        ([], 0),
        ((), 0),
        (range(0), 0),
    ],
)
def test_temp_accepts_any_sequence_of_numbers(temp, count):
    assert sweep(temp, *SWEEP_ARGS) == [VALUE] * count


@pytest.mark.parametrize(
    "length",
    [0, 1, 10**6, sys.maxsize, -1, ValueError("no length"), TypeError("no"), OverflowError()],
)
def test_temp_length_is_only_a_hint(length):
    # Wrong, enormous or failing lengths (a negative one fails inside len()):
    # converted by iteration, correctly, without reserving what is claimed.
    assert sweep(LyingLength([300.0, 310.0, 320.0], length), *SWEEP_ARGS) == [VALUE] * 3


@pytest.mark.parametrize(
    "temp, message",
    [
        ("300", "argument 'temp': Can't extract `str` to `Vec`"),
        ("", "argument 'temp': Can't extract `str` to `Vec`"),
        (300.0, "argument 'temp': 'float' object is not an instance of 'Sequence'"),
        (None, "argument 'temp': 'None' is not an instance of 'Sequence'"),
        ({300.0: 1}, "argument 'temp': 'dict' object is not an instance of 'Sequence'"),
        ({300.0}, "argument 'temp': 'set' object is not an instance of 'Sequence'"),
        (iter([300.0]), "argument 'temp': 'list_iterator' object is not an instance of 'Sequence'"),
        ((t for t in [300.0]), "argument 'temp': 'generator' object is not an instance of 'Sequence'"),
        (Floaty, "argument 'temp': 'type' object is not an instance of 'Sequence'"),
        (Floaty(1.0), "argument 'temp': 'Floaty' object is not an instance of 'Sequence'"),
        ([300.0, "310"], None),
        ([300.0, None], None),
    ],
)
def test_temp_refusals_are_labelled(temp, message):
    with pytest.raises(TypeError) as caught:
        sweep(temp, *SWEEP_ARGS)
    assert type(caught.value) is TypeError
    if message is None:
        assert str(caught.value).startswith("argument 'temp': ")
    else:
        assert str(caught.value) == message


def test_type_qualname_names_nested_classes():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as caught:
        sweep(Outer.Inner(), *SWEEP_ARGS)
    assert "'test_type_qualname_names_nested_classes.<locals>.Outer.Inner' object" in str(caught.value)


def test_a_bad_element_stops_before_the_next_parameter():
    converted = []
    with pytest.raises(TypeError):
        sweep([300.0, "bad", 320.0], *[Spy(converted) for _ in range(4)])
    assert converted == []


def test_errors_from_iteration_arrive_unchanged_or_labelled():
    class Failing(GetitemOnly):
        def __getitem__(self, index):
            if index == 2:
                raise self.items
            return 300.0

    failure = KeyError("iteration")
    with pytest.raises(KeyError) as caught:
        sweep(Failing(failure), *SWEEP_ARGS)
    assert caught.value is failure
    with pytest.raises(TypeError) as caught:
        sweep(Failing(TypeError("from getitem")), *SWEEP_ARGS)
    assert str(caught.value) == "argument 'temp': from getitem"


def test_iter_failure_propagates():
    class NoIter:
        def __getitem__(self, index):
            return 1.0

        def __iter__(self):
            raise ZeroDivisionError("no iterator")

    with pytest.raises(ZeroDivisionError):
        sweep(NoIter(), *SWEEP_ARGS)


def test_list_mutated_during_conversion_converts_what_iteration_yields():
    temps = [300.0, 310.0]

    class Growing:
        def __float__(self):
            temps.append(330.0)
            return 320.0

    temps.append(Growing())
    assert sweep(temps, *SWEEP_ARGS) == [VALUE] * 4
    assert len(temps) == 4

    shrinking = [300.0, 310.0, 320.0, 330.0]

    class Clearing:
        def __float__(self):
            shrinking.clear()
            return 1.0

    shrinking.insert(1, Clearing())
    assert sweep(shrinking, *SWEEP_ARGS) == [VALUE] * 2


def test_result_is_a_new_list_the_caller_owns():
    temps = [300.0, 310.0]
    first = sweep(temps, *SWEEP_ARGS)
    second = sweep(temps, *SWEEP_ARGS)
    assert type(first) is list and first is not second and first is not temps
    first.append(1.0)
    assert temps == [300.0, 310.0] and len(second) == 2


def test_large_temperature_lists_convert():
    temps = [300.0 + i * 1e-4 for i in range(200_000)]
    values = sweep(temps, *SWEEP_ARGS)
    assert len(values) == len(temps) and values[-1] == VALUE


# --- 32-bit unsigned integer (nuc_size) -------------------------------------------

coop_n = _core.cooperative_model_n


@pytest.mark.parametrize("nuc_size", [2, 3, True + 1, Indexy(3), 4294967295, 2**31])
def test_nuc_size_accepts_the_unsigned_32_bit_range(nuc_size):
    assert 0.0 < coop_n(1e-5, 1e6, 0.01, nuc_size, 20) < 1.0


@pytest.mark.parametrize("nuc_size", [0, 1, False, True])
def test_nuc_size_below_two_is_a_model_error_not_a_conversion_error(nuc_size):
    with pytest.raises(ValueError, match="Nucleation size must be at least 2"):
        coop_n(1e-5, 1e6, 0.01, nuc_size, 20)


@pytest.mark.parametrize("nuc_size", [4294967296, -1, -(2**63), 2**63 - 1, Indexy(2**32)])
def test_nuc_size_out_of_range(nuc_size):
    with pytest.raises(OverflowError) as caught:
        coop_n(1e-5, 1e6, 0.01, nuc_size, 20)
    assert type(caught.value) is OverflowError
    assert str(caught.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize("nuc_size", [2**63, -(2**63) - 1, 10**30])
def test_nuc_size_beyond_64_bits_is_the_interpreters_overflow(nuc_size):
    with pytest.raises(OverflowError) as caught:
        coop_n(1e-5, 1e6, 0.01, nuc_size, 20)
    assert not str(caught.value).startswith("argument")


@pytest.mark.parametrize("nuc_size", [2.0, "3", None])
def test_nuc_size_refuses_non_integers(nuc_size):
    with pytest.raises(TypeError) as caught:
        coop_n(1e-5, 1e6, 0.01, nuc_size, 20)
    assert str(caught.value).startswith("argument 'nuc_size': ")
    with pytest.raises(TypeError) as caught:
        _core.temp_cooperative_model_n([300.0], 1.0, 1.0, 1.0, 1.0, 1.0, nuc_size)
    assert str(caught.value).startswith("argument 'nuc_size': ")
