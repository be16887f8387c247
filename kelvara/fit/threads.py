"""Linear algebra inside a fit on one BLAS thread.

The systems of a fit are thin (thousands of rows, a few dozen columns):
threads gain nothing on them and oversubscribe the cores of a busy machine,
or of a pool of fits.  Measured on a 6657 x 35 SVD: 7.5 ms with the default
threads of a two-core machine, 4.9 ms on one.  Without threadpoolctl the
library's own setting stays."""

from __future__ import annotations

import functools


def one_blas_thread(function):
    """`function` run with BLAS limited to one thread (restored after)."""

    @functools.wraps(function)
    def limited(*args, **kwargs):
        try:
            from threadpoolctl import threadpool_limits
        except ImportError:
            return function(*args, **kwargs)
        with threadpool_limits(limits=1, user_api="blas"):
            return function(*args, **kwargs)

    return limited
