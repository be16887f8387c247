"""Several threads calling every function at once get what one thread gets."""

import sys
import threading

from helpers import outcome
from kelvara import _core

C = (-100000.0, -200.0, 20000.0)
TEMPS = [280.0 + 2.0 * i for i in range(40)]
CALLS = [
    (_core.isodesmic_model_direct, (1e-5, 1e5)),
    (_core.isodesmic_model, (1e-5, 1e5, 100)),
    (_core.isodesmic_model, (1.0, 5e-324, 100)),
    (_core.temp_isodesmic_model_direct, (TEMPS, -7e4, -150.0, 1e-5, 1.0)),
    (_core.temp_isodesmic_model, (TEMPS, -7e4, -150.0, 1e-5, 1.0)),
    (_core.temp_isodesmic_model, ([300.0, 1.0], 5986.08, 0.0, 1.0, 1.0)),
    (_core.cooperative_model, (1e-5, 1e6, 1e-3, 100)),
    (_core.temp_cooperative_model, (TEMPS, *C, 1e-5, 1.0)),
    (_core.coop_iso_model, (1e-5, 1e4, 1e6, 1e-3, 100)),
    (_core.temp_coop_iso_model, (TEMPS, -6e4, -100.0, *C, 1e-5, 1.0)),
    (_core.cooperative_model_n, (1e-5, 1e6, 1e-3, 6, 100)),
    (_core.temp_cooperative_model_n, (TEMPS, *C, 1e-5, 1.0, 5)),
    (_core.temp_cooperative_model_n, (TEMPS, *C, 1e-5, 1.0, 1)),
]


def test_threads_agree_with_one_thread():
    # Switch threads as often as the interpreter allows.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        run_threads()
    finally:
        sys.setswitchinterval(previous)


def run_threads():
    expected = [repr(outcome(f, *args)) for f, args in CALLS]
    start = threading.Barrier(8)
    results = {}

    def work(index):
        start.wait()
        rounds = []
        for _ in range(30):
            # Each thread walks the calls in its own order.
            got = [None] * len(CALLS)
            for step in range(len(CALLS)):
                i = (index + step) % len(CALLS)
                function, args = CALLS[i]
                got[i] = repr(outcome(function, *args))
            rounds.append(got)
        results[index] = rounds

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(results) == list(range(8))
    for rounds in results.values():
        assert all(r == expected for r in rounds)
