"""kelvara read: how the data files are read (layout, columns with roles and units, curves), without
fitting."""

from __future__ import annotations

import json

from kelvara.cli.common import (
    Command,
    _check_outputs,
    _data_arguments,
    _flush,
    _inputs,
    _outputs,
    _report_stream,
    read_data,
    write_atomic,
)


def run_read(options):
    inputs = _inputs(options)
    targets = _check_outputs(inputs, _outputs(options, "json"))
    reading = read_data(options)
    stream = _report_stream(targets)
    print(reading.text(), file=stream)
    if options.json:
        data = reading.to_dict()
        write_atomic(targets["--json"], json.dumps(data, indent=2, allow_nan=False, ensure_ascii=False) + "\n")
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
