"""Reference leaks, counted exactly on a debug interpreter.

Every success path and every failure path of every function is called many
times; the interpreter's running total of references (and of allocated
memory blocks) must not grow, and the arguments' own reference counts must
come back to where they were.  Runs only under a debug build of CPython
(sys.gettotalrefcount) with an extension built for it (Py_DEBUG); elsewhere
it is skipped.
"""

import gc
import signal
import struct
import sys

import pytest

from kelvara import _core, _kernels

pytestmark = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter (sys.gettotalrefcount)"
)

WARMUP = 20
CALLS = 100
REPEATS = 3


class Raising:
    def __init__(self, make):
        self.make = make

    def __float__(self):
        raise self.make()

    def __index__(self):
        raise self.make()


def caused_type_error():
    error = TypeError("with a cause")
    error.__cause__ = KeyError("cause")
    return error


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


class LenRaises:
    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, index):
        if index < 3:
            return 300.0 + index
        raise IndexError(index)


class IterRaises:
    def __getitem__(self, index):
        return 300.0

    def __iter__(self):
        raise RuntimeError("no iterator")


class NextRaises:
    def __getitem__(self, index):
        if index == 2:
            raise KeyError("third")
        return 300.0


class HugeLen(LenRaises):
    def __len__(self):
        return sys.maxsize


class Reentrant:
    def __float__(self):
        _core.temp_cooperative_model([300.0, 310.0], -1e5, -200.0, 2e4, 1e-5, 1.0)
        return 1.0


C = (-100000.0, -200.0, 20000.0)  # a cooperative polymer: delta_h, delta_s, delta_h_nuc
M = (-60000.0, -100.0, *C)  # the mixed model's five

# name -> (function, positional args, keyword args); the args are built once,
# so their reference counts can be checked afterwards.
def interrupted(function, *args):
    """The call, with a SIGALRM 1 ms in whose handler raises."""
    def handler(signum, frame):
        raise InterruptedError

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        return function(*args)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


# Doubles as the kernels take them: c_tot 1e-5, K 1e6, sigma 1e-3.
ONE = struct.pack("d", 1e-5)
K = struct.pack("d", 1e6)
SIGMA = struct.pack("d", 1e-3)

PATHS = {
    # success, by position and by keyword
    "direct": (_core.isodesmic_model_direct, (1e-5, 1e5), {}),
    "direct keywords": (_core.isodesmic_model_direct, (), {"k": 1e5, "x": 1e-5}),
    "isodesmic": (_core.isodesmic_model, (1e-5, 1e5, 100), {}),
    "temp direct": (_core.temp_isodesmic_model_direct, ([300.0, 320.0], -7e4, -150.0, 1e-5, 1.0), {}),
    "temp isodesmic": (_core.temp_isodesmic_model, ((300.0, 320.0),), {"delta_h": -7e4, "delta_s": -150.0, "c_tot": 1e-5, "scaler": 1.0}),
    "cooperative": (_core.cooperative_model, (1e-5, 1e6, 1e-3, 100), {}),
    "temp cooperative": (_core.temp_cooperative_model, (range(290, 300), *C, 1e-5, 1.0), {}),
    "mixed": (_core.coop_iso_model, (1e-5, 1e4, 1e6, 1e-3, 100), {}),
    "temp mixed": (_core.temp_coop_iso_model, ([300.0, 320.0], *M, 1e-5, 2.0), {}),
    "cooperative n": (_core.cooperative_model_n, (1e-5, 1e6, 1e-3, 5, 100), {}),
    "temp cooperative n": (_core.temp_cooperative_model_n, ([300.0, 320.0], *C, 1e-5, 1.0, 4), {}),
    "empty sweep": (_core.temp_cooperative_model_n, ([], *C, 1e-5, 1.0, 0), {}),
    "length raises": (_core.temp_isodesmic_model_direct, (LenRaises(), 0.0, 0.0, 1.0, 1.0), {}),
    "huge length": (_core.temp_isodesmic_model_direct, (HugeLen(), 0.0, 0.0, 1.0, 1.0), {}),
    "reentrant": (_core.isodesmic_model_direct, (Reentrant(), 1.0), {}),
    # binding errors
    "too many positional": (_core.isodesmic_model, (1.0, 2.0, 3, 4), {"foo": 1}),
    "unexpected keyword": (_core.isodesmic_model, (1.0,), {"bogus": 2.0}),
    "undecodable keyword": (_core.isodesmic_model, (1.0,), {"k\udcff": 2.0}),
    "multiple values": (_core.isodesmic_model, (1.0, 2.0), {"conc": 3.0}),
    "missing": (_core.coop_iso_model, (1.0,), {"sigma": 0.5}),
    "nothing": (_core.temp_coop_iso_model, (), {}),
    # conversion errors
    "float refused": (_core.isodesmic_model, (1.0, "k", 3), {}),
    "relabel with cause": (_core.isodesmic_model_direct, (Raising(caused_type_error), 1.0), {}),
    "relabel unprintable": (_core.isodesmic_model_direct, (1.0, Raising(lambda: TypeError(Unprintable()))), {}),
    "value error unchanged": (_core.cooperative_model, (1.0, Raising(lambda: ValueError("v")), 0.5, 3), {}),
    "int too large for a double": (_core.isodesmic_model_direct, (10**400, 1.0), {}),
    "num_itr negative": (_core.isodesmic_model, (1.0, 1.0, -1), {}),
    "num_itr too large": (_core.cooperative_model, (1.0, 1.0, 0.5, 2**64), {}),
    "num_itr float": (_core.coop_iso_model, (1.0, 1.0, 1.0, 0.5, 2.5), {}),
    "num_itr index raises": (_core.isodesmic_model, (1.0, 1.0, Raising(caused_type_error)), {}),
    "nuc_size out of range": (_core.cooperative_model_n, (1.0, 1.0, 0.5, 2**32, 3), {}),
    "nuc_size beyond 64 bits": (_core.cooperative_model_n, (1.0, 1.0, 0.5, 2**70, 3), {}),
    "nuc_size float": (_core.temp_cooperative_model_n, ([300.0], *C, 1e-5, 1.0, 2.0), {}),
    "temp str": (_core.temp_isodesmic_model, ("300", 1.0, 1.0, 1.0, 1.0), {}),
    "temp not a sequence": (_core.temp_isodesmic_model, (300.0, 1.0, 1.0, 1.0, 1.0), {}),
    "temp None": (_core.temp_cooperative_model, (None, *C, 1.0, 1.0), {}),
    "temp bad element": (_core.temp_coop_iso_model, ([300.0, "x", 320.0], *M, 1.0, 1.0), {}),
    "temp element raises": (_core.temp_coop_iso_model, ([300.0, Raising(caused_type_error)], *M, 1.0, 1.0), {}),
    "temp iter raises": (_core.temp_isodesmic_model_direct, (IterRaises(), 1.0, 1.0, 1.0, 1.0), {}),
    "temp next raises": (_core.temp_isodesmic_model_direct, (NextRaises(), 1.0, 1.0, 1.0, 1.0), {}),
    "later parameter after temp": (_core.temp_isodesmic_model, ([300.0], 1.0, "s", 1.0, 1.0), {}),
    # model errors, at once and at a later temperature
    "isodesmic guard": (_core.isodesmic_model, (1.0, 5e-324, 100), {}),
    "cooperative guard": (_core.cooperative_model, (1.0, 1e15, 1e-20, 100), {}),
    "nucleus size": (_core.cooperative_model_n, (1.0, 1.0, 0.5, 1, 100), {}),
    "mixed isodesmic guard": (_core.coop_iso_model, (1.0, -2.0, -1.0, 0.5, 2), {}),
    "mixed cooperative guard": (_core.coop_iso_model, (1.0, -1.0, -2.0, 0.5, 2), {}),
    "sweep fails later": (_core.temp_isodesmic_model, ([300.0, 320.0, 1.0], 5986.08, 0.0, 1.0, 1.0), {}),
    "cooperative sweep fails later": (
        _core.temp_cooperative_model,
        ([400.0, 350.0, 300.0, 250.0], -100000.0, -100.0, 100000.0, 1e-3, 1.0),
        {},
    ),
    "mixed sweep fails later": (_core.temp_coop_iso_model, ([300.0, 1.0], 5986.08, 0.0, 5986.08, 0.0, 0.0, 1.0, 1.0), {}),
    "n sweep fails at once": (_core.temp_cooperative_model_n, ([300.0, 310.0], *C, 1e-5, 1.0, 1), {}),
    # a long sweep ended by a signal handler's exception
    "interrupted sweep": (lambda *args: interrupted(_core.temp_cooperative_model, *args),
                          ([300.0] * 20000, -1e5, -200.0, 2e4, 1e-5, 1.0), {}),
    "interrupted nucleus": (lambda *args: interrupted(_core.cooperative_model_n, *args),
                            (1e-5, 1e5, 0.5, 5000, 10**12), {}),
    # the fit's array kernels: success, a model error, refused arguments
    "kernel cooperative": (_kernels.solve, (1, 0, 2200, bytes(ONE * 20), (bytes(K * 20), bytes(SIGMA * 20)),
                                            bytearray(160), bytearray(160), (bytearray(160), bytearray(160))), {}),
    "kernel nucleus": (_kernels.solve, (2, 5, 2200, bytearray(ONE * 3), (bytes(K * 3), bytes(SIGMA * 3)),
                                        bytearray(24), None, (bytearray(24), None)), {}),
    "kernel model error": (_kernels.solve, (2, 1, 10, bytes(ONE), (bytes(K), bytes(SIGMA)), None, None, None), {}),
    "kernel wrong type": (_kernels.solve, (0, 0, 10, [1.0], (bytes(K),), None, None, None), {}),
    "kernel size mismatch": (_kernels.solve, (0, 0, 10, bytes(ONE * 2), (bytes(K),), None, None, None), {}),
    "kernel inputs refused": (_kernels.solve, (3, 0, 10, bytes(ONE), (bytes(K),) * 2, None, None, None), {}),
    "kernel too few arguments": (_kernels.solve, (0, 0, 10), {}),
    "kernel pathways": (_kernels.solve_pathways, (bytes(ONE * 3), bytes(K * 3), bytes(SIGMA * 3), bytes(K * 3),
                                                  bytes(SIGMA * 3), bytearray(24), None, bytearray(24),
                                                  bytearray(192)), {}),
    "kernel pathways refused": (_kernels.solve_pathways, (bytes(ONE * 3), bytes(K * 3), bytes(SIGMA * 3),
                                                          bytes(K * 3), bytes(SIGMA * 3), None, None, None,
                                                          bytearray(24)), {}),
    "kernel exp": (_kernels.exp, (bytearray(ONE * 4),), {}),
    "kernel exp refused": (_kernels.exp, (b"12345678",), {}),
}


def fresh(value):
    """A new object equal to value, referenced from nowhere else (shared
    constants have reference counts that other code moves)."""
    if type(value) is float:
        return value * 1.0 if value == value else float("nan")
    if type(value) is int:
        return int(str(value))
    if type(value) in (list, tuple):
        return type(value)(fresh(v) for v in value)
    return value


def run(function, args, kwargs, calls):
    for _ in range(calls):
        try:
            function(*args, **kwargs)
        except Exception:
            pass


def growth(function, args, kwargs, calls):
    """(references, memory blocks) gained over `calls` calls."""
    gc.collect()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    run(function, args, kwargs, calls)
    gc.collect()
    return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks


@pytest.mark.parametrize("path", PATHS)
def test_no_reference_or_memory_growth(path, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)
    function, args, kwargs = PATHS[path]
    args = tuple(fresh(a) for a in args)
    kwargs = {k: fresh(v) for k, v in kwargs.items()}
    # Small ints are cached and shared: only the new objects are counted.
    objects = [o for o in list(args) + list(kwargs.values()) if sys.getrefcount(o) < 100]
    counts = [sys.getrefcount(o) for o in objects]

    run(function, args, kwargs, WARMUP)
    # The measurement itself costs a few references: take it from empty
    # runs made the same way.  A leak grows every repeat by CALLS or more;
    # as in CPython's own -R checks, one repeat at the baseline clears it.
    # What exists already is frozen out of the collections, which then look
    # at what the calls made alone (with the fit's libraries loaded, each
    # full collection of a debug interpreter takes a tenth of a second).
    gc.collect()
    gc.freeze()
    try:
        baseline = [growth(function, args, kwargs, 0) for _ in range(REPEATS)]
        measured = [growth(function, args, kwargs, CALLS) for _ in range(REPEATS)]
    finally:
        gc.unfreeze()
    for kind in (0, 1):  # references, memory blocks
        assert min(m[kind] for m in measured) <= max(b[kind] for b in baseline), (measured, baseline)

    assert [sys.getrefcount(o) for o in objects] == counts
