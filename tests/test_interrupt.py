"""Long calls: the bisection ends at its fixed point, and a signal's
handler ends a long sweep or a huge nucleus within a fraction of a second."""

import signal
import subprocess
import sys
import time
from array import array

import pytest

from helpers import interruptible
from kelvara import _core, _kernels

HUGE = 10**12


@pytest.mark.parametrize("function, args", [
    (_core.isodesmic_model, (1e-5, 1e5)),
    (_core.cooperative_model, (1e-5, 1e5, 0.01)),
    (_core.coop_iso_model, (1e-5, 1e4, 1e5, 0.01)),
])
def test_a_huge_step_count_returns_at_once_what_every_step_would(function, args):
    start = time.perf_counter()
    assert repr(function(*args, HUGE)) == repr(function(*args, 2000))  # the fixed point lies before 2000
    assert time.perf_counter() - start < 1.0
    nucleus = _core.cooperative_model_n(1e-5, 1e5, 0.01, 5, HUGE)
    assert repr(nucleus) == repr(_core.cooperative_model_n(1e-5, 1e5, 0.01, 5, 2000))


class Stop(Exception):
    pass


@pytest.fixture
def alarm():
    """A SIGALRM 50 ms from now whose handler raises Stop."""
    def handler(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("call", [
    # 20,000 temperatures of a nucleus too large for the tables: seconds of work
    lambda: _core.temp_cooperative_model_n([300.0] * 20000, -1e5, -200.0, 2e4, 1e-5, 1.0, 1000),
    # a nucleus of 10^9 where sigma k m is 1 at the first midpoint: no term
    # of the sum decays, which takes seconds
    lambda: _core.cooperative_model_n(1e-5, 1e5, 2.0, 10**9, 100),
    # a simulation in time of 64,000 sizes over ten decades, its slopes too: seconds
    lambda: __import__("kelvara.kinetics").kinetics.simulate(
        [0.0, 1e7], 1e-5, 293.15, nuc_size=3, delta_h=-80e3, delta_s=-140.0, delta_h_nuc=10e3, k_plus=1e6,
        cutoff=64000, slopes=True, rtol=1e-10, atol=1e-16),
])
def test_a_signal_handler_ends_a_long_call(alarm, call):
    start = time.perf_counter()
    with pytest.raises(Stop):
        call()
    assert time.perf_counter() - start < 1.0


def test_ctrl_c_ends_a_huge_nucleus_with_keyboard_interrupt():
    code = "import kelvara; print('go', flush=True); kelvara.cooperative_model_n(1e-5, 1e5, 2.0, 4294967295, 100)"
    process = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               preexec_fn=interruptible)
    try:
        assert process.stdout.readline() == "go\n"
        time.sleep(0.5)
        start = time.perf_counter()
        process.send_signal(signal.SIGINT)
        _, error = process.communicate(timeout=60)
    finally:
        process.kill()
        process.communicate()
    assert time.perf_counter() - start < 1.0
    assert error.strip().endswith("KeyboardInterrupt")


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize("victim, resize", [
    ("fraction", lambda a: a.extend(bytes(8_000_000))),  # grown: reallocated elsewhere
    ("fraction", lambda a: a.clear()),                    # emptied: freed
    ("conc", lambda a: a.clear()),                        # an input read after the poll
])
def test_an_array_a_signal_handler_resizes_stops_the_kernels(victim, resize):
    """The fit's kernels hold the arrays' memory while their stop poll runs
    Python signal handlers; one that resizes an array stops the call with
    BufferError before the kernels touch that memory again (they wrote into
    freed memory before, which the sanitizer run of this test reports)."""
    n = 1_000_000
    arrays = {"conc": bytearray(array("d", [1e-5]) * n), "fraction": bytearray(8 * n)}
    k, sigma = (array("d", [1e6]) * n).tobytes(), (array("d", [1e-3]) * n).tobytes()
    resized = []

    def handler(signum, frame):
        resize(arrays[victim])
        resized.append(len(arrays[victim]))

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        with pytest.raises(BufferError, match="resized during the call"):
            _kernels.solve(2, 40, 2200, arrays["conc"], (k, sigma), arrays["fraction"], None, None)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert resized == [len(arrays[victim])]
