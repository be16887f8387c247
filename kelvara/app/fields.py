"""Form fields as the command's options.

A request to the app names its options as the command does, with
underscores: `model=cooperative`, `c_tot=5uM` (repeated once per curve),
`fix=delta_h_nuc=22kJ/mol`, `baseline_slope=true` (`false` for
--no-baseline-slope, empty for the data's choice).  They go through the
same declarations as the command line's (kelvara.arguments), so that a page
and a script get exactly what `kelvara fit` would do.  What names a file on
the server (every output, the data files themselves) is not a field: the
server chooses where outputs go, and the data are uploads.
"""

from __future__ import annotations

import shlex
from typing import Iterable, List, Sequence, Tuple

from kelvara import arguments as declared

__all__ = ["COMMANDS", "arguments", "options"]

# The commands the app runs, by the name of their API route.
COMMANDS = tuple(declared.OPTIONS)


def arguments(command: str, fields: Iterable[Tuple[str, str]], files: Sequence[str]) -> List[str]:
    """The argument list of `command` that the form `fields` (name, value
    pairs, a name repeated for a repeated option) and the uploaded `files`
    make.  Unknown fields, a field given twice that is not repeatable, and a
    yes/no field with another value are UsageErrors."""
    return declared.command_argv(command, declared.given_fields(command, fields, files))


def options(command: str, fields: Iterable[Tuple[str, str]], files: Sequence[str]) -> declared.Request:
    """The options of `command` for the form `fields` and `files`, as the
    command line would have them (bad values raise UsageError with the
    command line's words)."""
    given = declared.given_fields(command, fields, files)
    return declared.request(command, given, "kelvara " + shlex.join(declared.command_argv(command, given)))
