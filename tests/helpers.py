"""Small tools shared by the test modules."""

import reference


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
