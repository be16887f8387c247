"""Binding of positional and keyword arguments: the messages a caller sees."""

import pytest

from helpers import Spy
from kelvara import _core

from test_registry import REGISTRY

iso = _core.isodesmic_model
direct = _core.isodesmic_model_direct


@pytest.mark.parametrize(
    "function, args, kwargs, message",
    [
        (iso, (1.0, 2.0, 10, 4), {}, "isodesmic_model() takes 3 positional arguments but 4 were given"),
        # A surplus of positional arguments is reported before any keyword.
        (iso, (1.0, 2.0, 10, 4), {"foo": 1}, "isodesmic_model() takes 3 positional arguments but 4 were given"),
        (iso, (1.0, 2.0, 10, 4), {"conc": 1}, "isodesmic_model() takes 3 positional arguments but 4 were given"),
        (direct, (1, 2, 3, 4, 5), {}, "isodesmic_model_direct() takes 2 positional arguments but 5 were given"),
        (iso, (1.0,), {}, "isodesmic_model() missing 2 required positional arguments: 'k' and 'num_itr'"),
        (iso, (1.0, 2.0), {}, "isodesmic_model() missing 1 required positional argument: 'num_itr'"),
        (iso, (), {"k": 1.0}, "isodesmic_model() missing 2 required positional arguments: 'conc' and 'num_itr'"),
        (iso, (), {}, "isodesmic_model() missing 3 required positional arguments: 'conc', 'k', and 'num_itr'"),
        (direct, (), {}, "isodesmic_model_direct() missing 2 required positional arguments: 'x' and 'k'"),
        (direct, (), {"k": 2.0}, "isodesmic_model_direct() missing 1 required positional argument: 'x'"),
        (iso, (1.0, 2.0, 10), {"conc": 3.0}, "isodesmic_model() got multiple values for argument 'conc'"),
        (iso, (1.0,), {"num_itr": 3, "conc": 3.0}, "isodesmic_model() got multiple values for argument 'conc'"),
        # An unknown keyword is reported, not the missing parameters.
        (iso, (), {"foo": 1}, "isodesmic_model() got an unexpected keyword argument 'foo'"),
        # Matching is exact and case-sensitive.
        (iso, (1.0, 2.0), {"Num_itr": 1}, "isodesmic_model() got an unexpected keyword argument 'Num_itr'"),
        (iso, (1.0, 2.0), {"num_itr ": 1}, "isodesmic_model() got an unexpected keyword argument 'num_itr '"),
        (iso, (1.0, 2.0), {"num_it": 1}, "isodesmic_model() got an unexpected keyword argument 'num_it'"),
        (direct, (1.0, 2.0), {"\u00e9": 1}, "isodesmic_model_direct() got an unexpected keyword argument '\u00e9'"),
        # A key that cannot be encoded as UTF-8 names no parameter.
        (direct, (1.0,), {"k\udcff": 1}, "isodesmic_model_direct() got an unexpected keyword argument 'k\udcff'"),
        # The first failing keyword, in the order written, ends the binding.
        (iso, (1.0,), {"bar": 1, "conc": 2}, "isodesmic_model() got an unexpected keyword argument 'bar'"),
        (iso, (1.0,), {"conc": 2, "bar": 1}, "isodesmic_model() got multiple values for argument 'conc'"),
    ],
)
def test_binding_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert caught.value.__cause__ is None


@pytest.mark.parametrize("name, signature, sentence", REGISTRY)
def test_no_arguments_names_every_parameter_as_missing(name, signature, sentence):
    names = [f"'{p}'" for p in signature[1:-1].split(", ")]
    listed = names[0] if len(names) == 1 else (
        f"{names[0]} and {names[1]}" if len(names) == 2 else ", ".join(names[:-1]) + ", and " + names[-1]
    )
    word = "argument" if len(names) == 1 else "arguments"
    with pytest.raises(TypeError) as caught:
        getattr(_core, name)()
    assert str(caught.value) == f"{name}() missing {len(names)} required positional {word}: {listed}"


def test_binding_errors_convert_nothing():
    calls = []
    for kwargs in ({"foo": 1}, {"conc": Spy(calls)}):
        with pytest.raises(TypeError):
            iso(Spy(calls), Spy(calls), **kwargs)
    with pytest.raises(TypeError):
        iso(Spy(calls), Spy(calls), 1, 2)
    assert calls == []


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {"num_itr": 50, "k": 1.5, "conc": 2.0}),
        ((2.0,), {"num_itr": 50, "k": 1.5}),
        ((2.0, 1.5), {"num_itr": 50}),
        ((), {"k": 1.5, "conc": 2.0, "num_itr": 50}),
    ],
)
def test_keywords_bind_by_name_in_any_order(args, kwargs):
    assert iso(*args, **kwargs) == iso(2.0, 1.5, 50)


def test_str_subclass_keyword_binds_by_its_text():
    class Name(str):
        pass

    assert direct(**{Name("x"): 0.5, Name("k"): 4.0}) == 0.75


def test_unexpected_keyword_message_uses_str_of_the_key():
    class Name(str):
        def __str__(self):
            return "shown"

    with pytest.raises(TypeError) as caught:
        direct(1.0, 2.0, **{Name("other"): 1})
    assert str(caught.value) == "isodesmic_model_direct() got an unexpected keyword argument 'shown'"
