"""kelvara read: how the data files are read (layout, columns with roles and units, curves), without
fitting."""

from __future__ import annotations

from kelvara.analysis import inputs_of, read_data, reading_json
from kelvara.arguments import read_arguments
from kelvara.cli.common import (Command, check_outputs, flush_stream, output_options, report_stream, say,
                                 write_atomic)


def run_read(options):
    inputs = inputs_of(options)
    targets = check_outputs(inputs, output_options(options, "json"))
    reading = read_data(options)
    stream = report_stream(targets)
    say(reading.text(), stream)
    if options.json:
        write_atomic(targets["--json"], reading_json(reading))
    flush_stream(stream)
    return 0


COMMAND = Command(
    "read", read_arguments, run_read,
    help="say how data files are read, without fitting",
    description="Read the data files as fit and compare would, and say how: each file's layout, every "
    "column with the role given to it (temperature, signal, concentration, curve, solvent or unused) and "
    "the unit assumed, and the curves (label, c_tot, points, range). Nothing is fitted.",
)
