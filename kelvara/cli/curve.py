"""kelvara curve: a model evaluated over temperatures or concentrations, as CSV."""

from __future__ import annotations

import csv
import inspect
import io
import math
import sys

from kelvara.analysis import UsageError
from kelvara.arguments import UNIT_EXAMPLES, parameter_option
from kelvara.cli.common import Command, check_outputs, flush_stream, write_atomic
from kelvara.models import EXACT_STEPS, MODELS
from kelvara.quantities import PARAMETER_MEANINGS, PARAMETER_UNITS
from kelvara.units import KELVIN_OFFSET, quantity

# The parameters of the _core functions that `kelvara curve` sets.
CURVE_PARAMETERS = ("delta_h", "delta_s", "delta_h_nuc", "delta_h_iso", "delta_s_iso", "delta_h_coop",
                    "delta_s_coop", "delta_h_nuc_coop", "c_tot", "k", "k_iso", "k_coop", "sigma")


def parse_range(text, what, points=False):
    parts = text.split(":")
    if len(parts) != 3:
        raise UsageError(f"{what} must be START:STOP:{'POINTS' if points else 'STEP'}, not {text!r}")
    try:
        start, stop, step = (float(p) for p in parts)
    except ValueError:
        raise UsageError(f"{what} must be three numbers separated by ':', not {text!r}") from None
    if points:
        count = int(step)
        if count < 2 or count != step or start <= 0 or stop <= 0:
            raise UsageError(f"{what}: START and STOP must be positive and POINTS a whole number >= 2")
        if count > 10_000_000:
            raise UsageError(f"{what}: {count} points is too many")
        ratio = (stop / start) ** (1.0 / (count - 1))
        return [start * ratio**i for i in range(count)]
    if step <= 0 or stop < start or not all(map(math.isfinite, (start, stop, step))):
        raise UsageError(f"{what}: need START <= STOP and a positive STEP, got {text!r}")
    count = int(math.floor((stop - start) / step + 1e-9)) + 1
    if count > 10_000_000:
        raise UsageError(f"{what}: {count} points is too many")
    return [start + i * step for i in range(count)]


def run_curve(options):
    model = MODELS[options.model]
    temperature_model = options.temps is not None
    function = model.function if temperature_model else model.concentration_function
    if function is None:
        raise UsageError(f"{options.model} has no curve against {'temperature' if temperature_model else 'concentration'}")
    name = function.__name__
    # The function's own parameters, apart from the one the range fills.
    parameters = [p for p in inspect.signature(function).parameters if p not in ("temp", "conc", "x")]
    if options.celsius and not temperature_model:
        raise UsageError("--celsius applies to --temps")
    targets = check_outputs([], [("--out", options.out)])
    if temperature_model:
        axis = parse_range(options.temps, "--temps")
    elif options.log_conc:
        axis = parse_range(options.log_conc, "--log-conc", points=True)
    else:
        axis = parse_range(options.conc, "--conc")
    unused = [p for p in (*CURVE_PARAMETERS, "nuc_size") if getattr(options, p) is not None and p not in parameters]
    if unused:
        raise UsageError(f"{options.model} ({name}) takes no {parameter_option(unused[0])[0]}")
    given = {p: _typed(p, getattr(options, p, None)) for p in parameters}
    if "num_itr" in given and given["num_itr"] is None:
        given["num_itr"] = EXACT_STEPS
    missing = [p for p, value in given.items() if value is None]
    if missing:
        raise UsageError(f"{options.model} needs " + " ".join(parameter_option(p)[0] for p in missing))
    _check_physical(given, axis, temperature_model, options.celsius)

    if temperature_model:
        kelvin = [t + KELVIN_OFFSET for t in axis] if options.celsius else axis
        evaluate = lambda: function(kelvin, **given)  # noqa: E731
        header = "temperature_C" if options.celsius else "temperature_K"
    else:
        key = "x" if name == "isodesmic_model_direct" else "conc"
        evaluate = lambda: [options.scaler * function(**{key: c}, **given) for c in axis]  # noqa: E731
        header = "c_tot_M"
    try:
        values = evaluate()
    except (ValueError, OverflowError) as error:
        raise UsageError(f"{name}: {error}") from None
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow([header, "fraction" if options.scaler == 1.0 else "signal"])
    for a, v in zip(axis, values):
        writer.writerow([repr(a), repr(v)])
    if options.out is None:
        sys.stdout.write(out.getvalue())
        flush_stream(sys.stdout)
    else:
        write_atomic(targets["--out"], out.getvalue())
    return 0


def _typed(name, value):
    """A model parameter from the command line, in SI: a bare number, or a
    number with a unit of the parameter ("-95kJ/mol", "10uM")."""
    if not isinstance(value, str):
        return value
    try:
        return quantity(value, PARAMETER_UNITS[name], parameter_option(name)[0])
    except ValueError as error:
        raise UsageError(str(error)) from None


def _check_physical(given, axis, temperature_model, celsius):
    """kelvara curve refuses what has no physical meaning (the _core
    functions themselves compute whatever IEEE arithmetic gives)."""
    if temperature_model:
        kelvin = [t + KELVIN_OFFSET for t in axis] if celsius else axis
        if min(kelvin) <= 0:
            raise UsageError(f"temperatures must be above 0 K, not {min(axis):g}{' °C' if celsius else ' K'}")
    elif min(axis) <= 0:
        raise UsageError(f"concentrations must be positive, not {min(axis):g} mol/L")
    for name, value in given.items():
        if name == "c_tot" and not value > 0:
            raise UsageError(f"--c-tot must be positive, not {value:g} mol/L")
        if name in ("k", "k_iso", "k_coop", "sigma") and not value >= 0:
            raise UsageError(f"{parameter_option(name)[0]} must not be negative, not {value:g}")
        if name == "nuc_size" and not 2 <= value <= 4294967295:
            raise UsageError(f"--nuc-size must be from 2 to 4294967295, not {value}")
        if name == "num_itr" and value < 0:
            raise UsageError(f"--num-itr must not be negative, not {value}")
        if isinstance(value, float) and not math.isfinite(value):
            raise UsageError(f"{parameter_option(name)[0]} must be finite, not {value}")


def _curve_command_arguments(curve):
    curve.add_argument("model", choices=[m.name for m in MODELS.values() if m.function is not None])
    where = curve.add_mutually_exclusive_group(required=True)
    where.add_argument("--temps", metavar="START:STOP:STEP", help="temperatures (kelvin, or --celsius)")
    where.add_argument("--conc", metavar="START:STOP:STEP", help="total concentrations (mol/L)")
    where.add_argument("--log-conc", "--log_conc", dest="log_conc", metavar="START:STOP:POINTS",
                       help="total concentrations spaced evenly on a log scale (mol/L)")
    curve.add_argument("--celsius", action="store_true", help="--temps and the output in degrees Celsius")
    for name in CURVE_PARAMETERS:
        meaning = PARAMETER_MEANINGS.get(name, "")
        curve.add_argument(*parameter_option(name), dest=name, metavar="VALUE",
                           help=f"{meaning + ', ' if meaning else ''}{PARAMETER_UNITS[name]} (or with a unit: "
                           f"{UNIT_EXAMPLES.get(PARAMETER_UNITS[name], 'a bare number')})")
    curve.add_argument("--scaler", type=float, default=1.0, help="multiplies every value (default 1)")
    curve.add_argument("--nuc-size", "--nuc_size", dest="nuc_size", type=int, help="nucleus size (cooperative_n)")
    curve.add_argument("--num-itr", "--num_itr", dest="num_itr", type=int, default=None,
                       help=f"bisection steps of the concentration models (default {EXACT_STEPS}: every value "
                       "exact to double precision; steps past the fixed point cost nothing)")
    curve.add_argument("--out", help="write the CSV here instead of to stdout (a file, written whole, or a "
                       "device or FIFO)")


COMMAND = Command(
    "curve", _curve_command_arguments, run_curve,
    help="evaluate a model over temperatures or concentrations, as CSV",
    description="Evaluate a model over a range of temperatures (the temperature models, "
    "parameters delta-*) or of total concentrations (the concentration models, parameters "
    "k*, sigma) and write CSV. Parameters are in SI units: J/mol, J/(mol K), mol/L, L/mol.",
)
