"""kelvara read: how the data files are read (layout, columns with roles and units, curves), without
fitting."""

from __future__ import annotations

from kelvara.cli.common import (
    Command,
    _check_outputs,
    _data_arguments,
    _flush,
    _inputs,
    _outputs,
    _report_stream,
    read_data,
    reading_json,
    write_atomic,
)


def run_read(options):
    inputs = _inputs(options)
    targets = _check_outputs(inputs, _outputs(options, "json"))
    reading = read_data(options)
    stream = _report_stream(targets)
    print(reading.text(), file=stream)
    if options.json:
        write_atomic(targets["--json"], reading_json(reading))
    _flush(stream)
    return 0


def _read_command_arguments(read):
    _data_arguments(read)
    read.add_argument("--json", metavar="FILE", help="write the same as JSON ('-' for standard output)")


COMMAND = Command(
    "read", _read_command_arguments, run_read,
    help="say how data files are read, without fitting",
    description="Read the data files as fit and compare would, and say how: each file's layout, every "
    "column with the role given to it (temperature, signal, concentration, curve, solvent or unused) and "
    "the unit assumed, and the curves (label, c_tot, points, range). Nothing is fitted.",
)
