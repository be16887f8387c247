"""What the commands share: the subcommand record, checking every output
before any work, and writing the outputs (files atomically, figures, the
report, the reading's report on stderr).  The analysis itself, the defaults
and the errors that set the exit status live in `kelvara.analysis` (the
options' declarations in `kelvara.arguments`), and are named here too."""

from __future__ import annotations

import argparse
import io
import pathlib
import sys
from dataclasses import dataclass
from typing import Any, Callable, Optional

from kelvara import writer as outputs
from kelvara.printable import printable
from kelvara.analysis import (  # noqa: F401  (named here as they always were)
    DATA,
    DEFAULT_COMPARED,
    DEFAULT_MODEL,
    DEFAULT_MODELS,
    EXAMPLE,
    EXAMPLE_TRUTH,
    EXAMPLES,
    FitFailed,
    UsageError,
    assignments,
    bound_of,
    load_fit,
    value_of,
    varied,
    read_data,
    reading_json,
    result_json,
)
from kelvara.analysis import display_unit as _display_unit  # noqa: F401
from kelvara.analysis import fit_keywords as _fit_options  # noqa: F401
from kelvara.analysis import inputs_of as _inputs  # noqa: F401
from kelvara.arguments import data_arguments as _data_arguments  # noqa: F401
from kelvara.arguments import fit_options_arguments as _fit_arguments  # noqa: F401
from kelvara.arguments import output_arguments as _output_arguments  # noqa: F401
from kelvara.arguments import parameter_option as _parameter_option  # noqa: F401

PLOT_FORMATS = (".png", ".pdf", ".svg")


@dataclass(frozen=True)
class Command:
    """A subcommand: its name, what adds its own arguments, what runs it,
    and its help texts."""

    name: str
    arguments: Optional[Callable[[argparse.ArgumentParser], None]]
    run: Callable[[Any], int]  # a Request for the commands declared in kelvara.arguments
    help: str = ""
    description: str = ""
    epilog: Optional[str] = None

    def add_to(self, commands):
        parser = commands.add_parser(self.name, help=self.help, description=self.description, epilog=self.epilog)
        if self.arguments is not None:
            self.arguments(parser)
        parser.set_defaults(handler=self.handle)
        return parser

    def handle(self, options):
        """Run the command: one whose options are declared in
        kelvara.arguments is given them as a Request, typed and checked."""
        from kelvara.arguments import OPTIONS, request_of

        return self.run(request_of(self.name, options) if self.name in OPTIONS else options)


def check_figure_size(options):
    """--figure-size is one a figure can be drawn at, and --dpi a
    resolution, each for a --plot that is given, before any work."""
    from kelvara.analysis import check_figure

    check_figure(options)
    for option, name, what in (("dpi", "--dpi", "sets the resolution"),
                               ("figure_size", "--figure-size", "sizes the figure")):
        if getattr(options, option, None) is not None and not getattr(options, "plot", None):
            raise UsageError(f"{name} {what} of --plot, which is not given")


def check_report(options):
    """--report names an .html file (or '-'), before any work."""
    path = getattr(options, "report", None)
    if path and path != "-" and pathlib.Path(path).suffix.lower() not in (".html", ".htm"):
        raise UsageError(f"--report {path}: the report is written as .html")


def write_report(where, make):
    """Write the HTML report `make()` gives (see kelvara.report)."""
    try:
        import matplotlib  # noqa: F401

        import kelvara.report  # noqa: F401  (needs matplotlib)
    except ImportError:
        raise UsageError("--report needs matplotlib: python -m pip install 'kelvara[fit]'") from None
    write_atomic(where, make())


def say(text, stream):
    """Print a line (or lines) for people: every control character that
    came with a file's label or name (a carriage return, an escape
    sequence that would repaint the terminal) shown as an escape."""
    print(printable(str(text), keep="\n\t"), file=stream)


def write_atomic(path, text):
    """Write text to an output (see kelvara.writer: files atomically,
    devices, FIFOs and `-` as they are) and say so on stderr."""
    where = path if isinstance(path, outputs.Target) else outputs.target(path)
    outputs.write(where, text)
    if where.kind != "stream":
        say(f"kelvara: wrote {where.shown}", sys.stderr)


def check_outputs(inputs, given):
    """Before any work: every output's target (see kelvara.writer.check);
    at most one of them on standard output."""
    try:
        found = outputs.check(given, inputs, plots=("--plot",), plot_formats=PLOT_FORMATS)
    except outputs.OutputError as error:
        raise UsageError(str(error)) from None
    return found


def report_stream(targets):
    """Where the text meant for people goes: stdout, or stderr when an
    output takes stdout."""
    return sys.stderr if any(t.is_stdout for t in targets.values()) else sys.stdout


def flush_stream(stream):
    try:
        stream.flush()
    except (AttributeError, ValueError):
        pass  # no stream to flush (stdout closed with >&-)


def output_options(options, *names):
    return [(f"--{name}", getattr(options, name, None)) for name in names]


def write_json(where, data, inputs, reading):
    write_atomic(where, result_json(data, inputs, reading))


def write_plot(where, draw):
    try:
        import kelvara.plot as plot
    except ImportError:
        raise UsageError("--plot needs matplotlib: python -m pip install 'kelvara[fit]'") from None
    figure = draw(plot)
    buffer = io.BytesIO()
    suffix = pathlib.Path(where.shown).suffix.lower()
    plot.save(figure, buffer, format=suffix[1:] if suffix in PLOT_FORMATS else "png")
    write_atomic(where, buffer.getvalue())


def read_curves(options):
    """The curves of the data files (or of the example), as kelvara.fit.Curve;
    how each file was read, and notes on what was dropped, go to stderr."""
    reading = read_data(options)
    tell_reading(reading)
    return reading.curves


def tell_reading(reading, stream=None):
    """How every file was read, then the notes: on stderr, before a fit."""
    stream = stream or sys.stderr
    for file in reading.files:
        say(f"kelvara: {file.text()}", stream)
    for note in reading.notes:
        say(f"kelvara: note: {note}", stream)


