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

import re
import shlex
from typing import Iterable, List, Sequence, Tuple

from kelvara import arguments as declared

__all__ = ["COMMANDS", "arguments", "on_the_page", "options"]

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


# The command line's flags as the page's own controls name them (index.html):
# a note or problem that names a cure names the control that gives it.
CONTROLS = {
    "--no-baseline-slope": '"Monomer baseline: flat in T"', "--baseline-slope": '"Monomer baseline: sloping in T"',
    "--no-aggregate-slope": '"Aggregate signal: flat in T"', "--aggregate-slope": '"Aggregate signal: sloping in T"',
    "--no-species-signals": 'unticking "oligomers up to the nucleus with a signal of their own"',
    "--species-signals": '"oligomers up to the nucleus with a signal of their own"',
    "--extensive": '"signal proportional to concentration"', "--shared-amplitude": '"one amplitude for all curves"',
    "--shared-baseline": '"one baseline for all curves"', "--free delta_s_nuc": '"free the entropy of nucleation"',
    "--exclude": '"Leave out"', "--range": '"Fit only"', "--c-tot": '"Concentrations"', "--celsius": '"Temperatures"',
    "--display-unit": '"Show temperatures in"', "--segment": '"Segment"', "--vary": '"What varies"',
    "--sheet": '"Sheet"', "--temperature-column": '"Temperature column"', "--signal-column": '"Signal column(s)"',
    "--concentration-column": '"Concentration column"', "--curve-column": '"Curve column"',
    "--solvent-column": '"Solvent column"', "--wavelength": '"Wavelength(s)"', "--blank-column": '"Blank column"',
    "--temperature": '"Temperature of a series"', "--nuc-size": '"Nucleus size"', "--decimal": '"Decimal mark"',
}
_FLAG = re.compile("|".join(re.escape(flag) + r"(?![\w-])" for flag in sorted(CONTROLS, key=len, reverse=True)))


def on_the_page(text: str) -> str:
    """A note or problem with each command-line flag it names replaced by
    the page's control that does the same ("--no-baseline-slope forces it"
    -> '"Monomer baseline: flat in T" forces it')."""
    return _FLAG.sub(lambda found: CONTROLS[found.group(0)], text)
