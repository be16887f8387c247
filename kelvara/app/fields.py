"""Form fields as command-line arguments.

A request to the app names its options as the command does, with
underscores: `model=cooperative`, `c_tot=5uM` (repeated once per curve),
`fix=delta_h_nuc=22kJ/mol`, `baseline_slope=true` (`false` for
--no-baseline-slope, empty for the data's choice).  They become the
arguments of the same command and go through the same parser, so that a
page and a script get exactly what `kelvara fit` would do.  What names a
file on the server (every output, the data files themselves) is not a
field: the server chooses where outputs go, and the data are uploads.
"""

from __future__ import annotations

import argparse
from typing import Dict, Iterable, List, Sequence, Tuple

from kelvara import arguments as declared
from kelvara.analysis import UsageError

__all__ = ["COMMANDS", "arguments", "options"]

# The commands the app runs, by the name of their API route.
COMMANDS = tuple(declared.COMMANDS)

# Options that write files (the server writes those itself) or are not the
# analysis's.
_SERVER_ONLY = {"data", "json", "csv", "results", "curves", "plot", "report", "help", "blank"}

_TRUE = {"true", "1", "on", "yes"}
_FALSE = {"false", "0", "off", "no", ""}


class _Parser(argparse.ArgumentParser):
    """The command's parser, raising UsageError with its message instead of
    exiting, and keeping each option as it was declared: the action and
    the keywords it was declared with."""

    def __init__(self, *args, **kwargs):
        self.declared: List[Tuple[argparse.Action, dict]] = []  # before argparse adds --help
        super().__init__(*args, **kwargs)

    def add_argument(self, *args, **kwargs):
        action = super().add_argument(*args, **kwargs)
        self.declared.append((action, kwargs))
        return action

    def error(self, message):
        raise UsageError(message)

    def exit(self, status=0, message=None):
        raise UsageError((message or f"exit status {status}").strip())


def _actions(command):
    """The command's own parser (its options declared once, in
    kelvara.arguments), its options by name, and the --no- flag of each
    switch whose default is the data's choice (a field "false" says it)."""
    if command not in COMMANDS:
        raise UsageError(f"unknown command {command!r}")
    parser = _Parser(prog=f"kelvara {command}")
    declared.COMMANDS[command](parser)
    actions: Dict[str, Tuple[argparse.Action, bool]] = {}
    negatives: Dict[str, str] = {}
    for action, declared_with in parser.declared:
        if action.dest not in _SERVER_ONLY and action.option_strings:
            if action.const is False and action.dest in actions:
                negatives[action.dest] = action.option_strings[0]
            actions.setdefault(action.dest, (action, declared_with.get("action") == "append"))
    return parser, actions, negatives


def arguments(command: str, fields: Iterable[Tuple[str, str]], files: Sequence[str]) -> List[str]:
    """The argument list of `command` that the form `fields` (name, value
    pairs, a name repeated for a repeated option) and the uploaded `files`
    make.  Unknown fields, a field given twice that is not repeatable, and a
    yes/no field with another value are UsageErrors."""
    return _arguments(command, fields, files, *_actions(command)[1:])


def _arguments(command, fields, files, actions, negatives):
    given: Dict[str, List[str]] = {}
    for name, value in fields:
        given.setdefault(name, []).append(value)
    argv = [command]
    for name, values in given.items():
        action, repeatable = actions.get(name, (None, False))
        if action is None:
            if name == "blank":
                raise UsageError("the field 'blank' would name a file on the server: a blank file is subtracted on "
                                 "the command line (--blank FILE); here, a blank column of the data (blank_column)")
            if name in _SERVER_ONLY:
                raise UsageError(f"the field {name!r} is not taken: the server writes every output itself, "
                                 "and data files are uploaded as 'files'")
            known = ", ".join(sorted(actions))
            raise UsageError(f"unknown field {name!r}; the fields of {command} are files, {known}")
        option = action.option_strings[0]
        if action.nargs == 0:  # a switch: yes or no
            for value in values:
                if value.strip().lower() not in _TRUE | _FALSE:
                    either = " (or empty, for the data's choice)" if name in negatives else ""
                    raise UsageError(f"the field {name!r} is true or false{either}, not {value!r}")
            last = values[-1].strip().lower()
            if last in _TRUE:
                argv.append(option)
            elif last and name in negatives:
                argv.append(negatives[name])  # said false, where the default is the data's choice
            continue
        values = [v.strip() for v in values if v.strip()]  # an empty field of a form is no value
        if len(values) > 1 and not repeatable:
            raise UsageError(f"the field {name!r} takes one value, not {len(values)}")
        argv += [f"{option}={value}" for value in values]
    return argv + ["--"] + list(files) if files else argv


def options(command: str, fields: Iterable[Tuple[str, str]], files: Sequence[str]) -> argparse.Namespace:
    """The parsed options of `command` for the form `fields` and `files`, as
    the command line would have them (bad values raise UsageError with the
    parser's message)."""
    import shlex

    parser, actions, negatives = _actions(command)
    argv = _arguments(command, fields, files, actions, negatives)
    namespace = parser.parse_args(argv[1:])
    namespace.command_line = "kelvara " + shlex.join(argv)
    return namespace
