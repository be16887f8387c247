"""The kelvara command: model curves, global fits of measured data, comparisons.

    kelvara curve cooperative --temps 280:380:0.5 --delta-h -95000 --delta-s -180 \\
        --delta-h-nuc 22000 --c-tot 1e-5
    kelvara fit DATA.csv --model cooperative --plot fit.png
    kelvara compare DATA.csv --json compare.json --plot compare.png
    kelvara read DATA.csv
    kelvara models
    kelvara fit --example
    kelvara app

Bad input gets one line on stderr and exit status 2; a fit that is not ok
(not converged, a parameter not determined, no transition in the data,
structure left in the residuals, Te far outside the data), exit status 1
with the reasons on stderr.  The command line only turns arguments into
calls of the library and results into files and exit statuses: `common`
holds what the commands share (options declared once, reading, writing),
and each command has its module (`fit` for fit and compare, `curve`,
`read`, `models`, `app`).
"""

from __future__ import annotations

import argparse
import errno
import os
import re
import shlex
import sys
from typing import List

from kelvara import __version__
from kelvara.cli import app, curve, fit, models, read
from kelvara.cli.common import EXAMPLE, EXAMPLES, FitFailed, UsageError, read_curves, say, write_atomic
from kelvara.errors import KelvaraError

__all__ = ["EXAMPLE", "EXAMPLES", "FitFailed", "UsageError", "build_parser", "main", "read_curves", "write_atomic"]


class Parser(argparse.ArgumentParser):
    """argparse, with its errors in one line."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


# A value that starts with a minus and a digit or a point: a negative number
# or a range ("-1e5", "-10:20:10", "-7:-3:5"), never an option.
_NEGATIVE_VALUE = re.compile(r"^-(\d|\.\d|inf\b)", re.IGNORECASE)


def _join_negative_values(argv):
    """`--delta-h -1e5` as `--delta-h=-1e5`: argparse would take -1e5 or
    -10:20:10 for an option (it knows only plain negative numbers)."""
    out: List[str] = []
    for token in argv:
        if out and _NEGATIVE_VALUE.match(token) and out[-1].startswith("-") and "=" not in out[-1] \
                and not _NEGATIVE_VALUE.match(out[-1]):
            out[-1] = f"{out[-1]}={token}"
        else:
            out.append(token)
    return out


def main(argv=None) -> int:
    parser = build_parser()
    given = sys.argv[1:] if argv is None else [str(a) for a in argv]
    options = parser.parse_args(_join_negative_values(given))
    options.command_line = "kelvara " + shlex.join(given)  # what a report says reproduces it
    if not hasattr(options, "handler"):
        parser.print_help(sys.stderr)
        return 2
    try:
        if sys.stdout is None and not getattr(options, "out", None):
            raise UsageError("standard output is closed: there is nowhere to show the results")
        return options.handler(options)
    except KelvaraError as error:  # bad input; anything else is a fault of ours, and shows as one
        say(f"kelvara: error: {error}", sys.stderr)
        return 2
    except MemoryError:
        print("kelvara: error: not enough memory", file=sys.stderr)
        return 2
    except FitFailed as error:
        say(f"kelvara: {error}", sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\nkelvara: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`kelvara fit ... | head`): say so once, where it can still be read.
        _quiet_stdout()
        print("kelvara: error: the output pipe was closed", file=sys.stderr)
        return 2
    except OSError as error:
        say(f"kelvara: error: {_os_error(error)}", sys.stderr)
        return 2


def _quiet_stdout():
    """Point stdout at /dev/null, so that the interpreter's last flush of a
    closed pipe does not print a second error."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def _os_error(error):
    where = f" {error.filename}" if getattr(error, "filename", None) else ""
    if error.errno == errno.ENOSPC:
        return f"no space left on the device, writing{where}"
    return f"cannot write{where}: {error.strerror or error}"


def build_parser():
    parser = Parser(
        prog="kelvara",
        description="Equilibrium models of supramolecular polymerisation: model curves, "
        "global fits of measured cooling/heating curves, model comparison.",
    )
    parser.add_argument("--version", action="version", version=f"kelvara {__version__}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND")

    for command in (models.COMMAND, curve.COMMAND, fit.FIT, fit.COMPARE, read.COMMAND, app.COMMAND):
        command.add_to(commands)
    return parser


if __name__ == "__main__":
    sys.exit(main())
