"""Small tools shared by the test modules."""

import contextlib
import os
import subprocess
import sys
import tempfile

import reference


def interruptible():
    """preexec_fn of a child that a test stops with SIGINT: a shell's
    background job starts with SIGINT ignored, which the child would inherit
    (and Python then leaves it ignored)."""
    import signal

    signal.signal(signal.SIGINT, signal.SIG_DFL)


def kelvara_in_process(*args, cwd=None):
    """`kelvara ARGS` run by kelvara.cli.main in this process, as a
    CompletedProcess: the exit status, and what reached file descriptors 1
    and 2 (print and the writers that write to the descriptor alike), read
    as UTF-8.  For the messages and exit statuses of bad input; a few tests
    per command still start a process, as a user does."""
    from kelvara.cli import main

    args = [str(a) for a in args]
    with contextlib.ExitStack() as stack:
        out, err = (stack.enter_context(tempfile.TemporaryFile()) for _ in range(2))
        for stream in (sys.stdout, sys.stderr):
            stream.flush()
        saved = os.dup(1), os.dup(2)
        streams = sys.stdout, sys.stderr
        here = os.getcwd()
        os.dup2(out.fileno(), 1)
        os.dup2(err.fileno(), 2)
        sys.stdout = open(1, "w", encoding="utf-8", closefd=False)
        sys.stderr = open(2, "w", encoding="utf-8", closefd=False)
        try:
            if cwd is not None:
                os.chdir(cwd)
            try:
                status = main(args)
            except SystemExit as done:  # argparse: --help, or bad usage
                status = done.code if isinstance(done.code, int) else 1
        finally:
            os.chdir(here)
            for stream in (sys.stdout, sys.stderr):
                stream.flush()
                stream.close()
            sys.stdout, sys.stderr = streams
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])
        texts = []
        for handle in (out, err):
            handle.seek(0)
            texts.append(handle.read().decode("utf-8", "replace"))
    return subprocess.CompletedProcess(["kelvara", *args], status, *texts)


def write_cooling_run(curves, path):
    """Cooling curves as a lab's long CSV: temperature in K, CD in mdeg,
    concentration in uM, one row per point."""
    rows = ["T (K),CD (mdeg),c (uM)"]
    for curve in curves:
        rows += [f"{t:.2f},{y:.4f},{curve.c_tot * 1e6:g}" for t, y in zip(curve.temperature, curve.signal)]
    path.write_text("\n".join(rows) + "\n")
    return path


def same(a, b):
    """Equal as doubles bit for bit (NaN equals NaN, 0.0 differs from -0.0),
    also inside lists and tuples of messages."""
    return repr(a) == repr(b)


def outcome(function, *args):
    """The value of one call, or the args of the ValueError it raised."""
    try:
        return function(*args)
    except ValueError as error:
        assert type(error) is ValueError and error.__cause__ is None
        return error.args


def reference_outcome(function, *args):
    """The same for a reference transcription."""
    try:
        return function(*args)
    except reference.ModelError as error:
        return error.args


class Spy:
    """A number whose conversions are recorded in a shared list."""

    def __init__(self, log, value=1.0):
        self.log = log
        self.value = value

    def __float__(self):
        self.log.append(self)
        return self.value
