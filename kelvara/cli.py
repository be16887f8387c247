"""The kelvara command: model curves, global fits of measured data, comparisons.

    kelvara curve cooperative --temps 280:380:0.5 --delta-h -95000 --delta-s -180 \\
        --delta-h-nuc 22000 --c-tot 1e-5
    kelvara fit DATA.csv --model cooperative --plot fit.png
    kelvara compare DATA.csv --json compare.json --plot compare.png
    kelvara read DATA.csv
    kelvara models
    kelvara fit --example

Bad input gets one line on stderr and exit status 2; a fit that is not ok
(not converged, a parameter not determined, no transition in the data,
structure left in the residuals, Te far outside the data), exit status 1
with the reasons on stderr.  This module only turns arguments into calls
of the library and results into files and exit statuses.
"""

from __future__ import annotations

import argparse
import csv
import errno
import inspect
import io
import json
import math
import os
import pathlib
import re
import sys
import warnings

from kelvara import __version__, outputs
from kelvara.models import EXACT_STEPS, EXPERIMENTS, MODELS, PARAMETER_MEANINGS, PARAMETER_UNITS, unit_of
from kelvara.units import concentration_argument, quantity

DATA = pathlib.Path(__file__).resolve().parent / "data"
EXAMPLE = DATA / "example_cooling.csv"
EXAMPLE_TRUTH = "delta_h = -95000 J/mol, delta_s = -180 J/(mol K), delta_h_nuc = 22000 J/mol"
# The examples shipped with kelvara, by name: file and what made it.
EXAMPLES = {
    "cooling": (EXAMPLE, EXAMPLE_TRUTH),
    "series": (DATA / "example_series.csv", EXAMPLE_TRUTH + " (the same compound at 25 and 45 °C)"),
    "denaturation": (DATA / "example_denaturation.csv",
                     "delta_g0 = -42000 J/mol, m = 30000 J/mol, sigma = 0.01 at 293.15 K"),
}
# The default of a fit (and the models compared) by what the curves vary.
DEFAULT_MODELS = {"temperature": "cooperative", "concentration": "cooperative", "solvent": "denaturation"}
DEFAULT_MODEL = DEFAULT_MODELS["temperature"]
DEFAULT_COMPARED = {"temperature": "isodesmic,cooperative,coop_iso", "concentration": "isodesmic,cooperative",
                    "solvent": "denaturation_isodesmic,denaturation"}
# The parameters of the _core functions that `kelvara curve` sets.
CURVE_PARAMETERS = ("delta_h", "delta_s", "delta_h_nuc", "delta_h_iso", "delta_s_iso", "delta_h_coop",
                    "delta_s_coop", "delta_h_nuc_coop", "c_tot", "k", "k_iso", "k_coop", "sigma")
PLOT_FORMATS = (".png", ".pdf", ".svg")
# Values typed with a unit, as the help shows them.
_UNIT_EXAMPLES = {"J/mol": "-95kJ/mol", "J/(mol K)": "-180J/mol/K", "mol/L": "10uM", "L/mol": "1e6M-1",
                  "K": "60C"}


class UsageError(Exception):
    """Bad input: reported in one line, exit status 2."""


class FitFailed(Exception):
    """A fit that is not to be trusted: exit status 1."""


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
    out = []
    for token in argv:
        if out and _NEGATIVE_VALUE.match(token) and out[-1].startswith("-") and "=" not in out[-1] \
                and not _NEGATIVE_VALUE.match(out[-1]):
            out[-1] = f"{out[-1]}={token}"
        else:
            out.append(token)
    return out


def main(argv=None) -> int:
    parser = build_parser()
    options = parser.parse_args(_join_negative_values(sys.argv[1:] if argv is None else list(argv)))
    if not hasattr(options, "handler"):
        parser.print_help(sys.stderr)
        return 2
    try:
        if sys.stdout is None and not getattr(options, "out", None):
            raise UsageError("standard output is closed: there is nowhere to show the results")
        return options.handler(options)
    except (UsageError, ValueError) as error:
        print(f"kelvara: error: {error}", file=sys.stderr)
        return 2
    except MemoryError:
        print("kelvara: error: not enough memory", file=sys.stderr)
        return 2
    except FitFailed as error:
        print(f"kelvara: {error}", file=sys.stderr)
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
        print(f"kelvara: error: {_os_error(error)}", file=sys.stderr)
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


def _parameter_option(name):
    """--delta-h, with --delta_h still accepted."""
    spellings = [f"--{name.replace('_', '-')}"]
    if "_" in name:
        spellings.append(f"--{name}")
    return spellings


def build_parser():
    parser = Parser(
        prog="kelvara",
        description="Equilibrium models of supramolecular polymerisation: model curves, "
        "global fits of measured cooling/heating curves, model comparison.",
    )
    parser.add_argument("--version", action="version", version=f"kelvara {__version__}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND")

    models = commands.add_parser("models", help="list the models, their parameters and when to use each",
                                 description="List every model: its parameters with their units, and "
                                 "when the field uses it.")
    models.set_defaults(handler=run_models)

    curve = commands.add_parser(
        "curve", help="evaluate a model over temperatures or concentrations, as CSV",
        description="Evaluate a model over a range of temperatures (the temperature models, "
        "parameters delta-*) or of total concentrations (the concentration models, parameters "
        "k*, sigma) and write CSV. Parameters are in SI units: J/mol, J/(mol K), mol/L, L/mol.",
    )
    curve.add_argument("model", choices=[m.name for m in MODELS.values() if m.function is not None])
    where = curve.add_mutually_exclusive_group(required=True)
    where.add_argument("--temps", metavar="START:STOP:STEP", help="temperatures (kelvin, or --celsius)")
    where.add_argument("--conc", metavar="START:STOP:STEP", help="total concentrations (mol/L)")
    where.add_argument("--log-conc", "--log_conc", dest="log_conc", metavar="START:STOP:POINTS",
                       help="total concentrations spaced evenly on a log scale (mol/L)")
    curve.add_argument("--celsius", action="store_true", help="--temps and the output in degrees Celsius")
    for name in CURVE_PARAMETERS:
        meaning = PARAMETER_MEANINGS.get(name, "")
        curve.add_argument(*_parameter_option(name), dest=name, metavar="VALUE",
                           help=f"{meaning + ', ' if meaning else ''}{PARAMETER_UNITS[name]} (or with a unit: "
                           f"{_UNIT_EXAMPLES.get(PARAMETER_UNITS[name], 'a bare number')})")
    curve.add_argument("--scaler", type=float, default=1.0, help="multiplies every value (default 1)")
    curve.add_argument("--nuc-size", "--nuc_size", dest="nuc_size", type=int, help="nucleus size (cooperative_n)")
    curve.add_argument("--num-itr", "--num_itr", dest="num_itr", type=int, default=None,
                       help=f"bisection steps of the concentration models (default {EXACT_STEPS}: every value "
                       "exact to double precision; steps past the fixed point cost nothing)")
    curve.add_argument("--out", help="write the CSV here instead of to stdout (a file, written whole, or a "
                       "device or FIFO)")
    curve.set_defaults(handler=run_curve)

    fit = commands.add_parser(
        "fit", help="fit one model globally to every curve of the data files",
        description="Fit one model globally to every curve of the data files: cooling and heating "
        "curves, concentration series (--vary concentration) and solvent denaturations (--vary "
        "solvent), alone or together. Prints values with standard errors and units, derived values "
        "(Te per cooling curve, c50 per concentration series, f50 per denaturation, K and dG), fit "
        "statistics and the verdict; exit status 1 when the fit is not to be trusted.",
        epilog="models: " + "; ".join(f"{m.name}: {m.description}" for m in MODELS.values())
        + ". Parameters: " + ", ".join(f"{n} ({PARAMETER_UNITS[n]})" for n in
                                       ("delta_h", "delta_s", "delta_h_nuc")) + "; a concentration series "
        "at one temperature: k (L/mol) and sigma; a denaturation: delta_g0, m (J/mol) and sigma; per curve "
        "baseline[i], amplitude[i], slope[i] (signal units); see kelvara models.",
    )
    _data_arguments(fit)
    fit.add_argument("--model", default=None, choices=list(MODELS),
                     help=f"the model (default: {DEFAULT_MODEL}); a solvent series defaults to denaturation")
    _fit_arguments(fit)
    fit.add_argument("--bootstrap", type=int, default=0, metavar="N", help="N residual-bootstrap resamples")
    fit.add_argument("--seed", type=int, default=None, help="seed of the bootstrap")
    fit.add_argument("--profile", action="store_true",
                     help="profile-likelihood 95 %% intervals of the thermodynamic parameters "
                     "(each refitted along a grid; drawn in --plot)")
    _output_arguments(fit, "the results")
    fit.add_argument("--csv", metavar="FILE", help="write parameters and derived values as CSV ('-' for "
                     "standard output)")
    fit.add_argument("--curves", metavar="FILE", help="write a tidy CSV of every point: curve, c_tot, "
                     "temperature (in the unit shown), signal, fitted, residual, fraction, normalised degree of "
                     "aggregation ('-' for standard output)")
    fit.set_defaults(handler=run_fit)

    compare = commands.add_parser(
        "compare", help="fit several models and rank them by AIC and BIC",
        description="Fit every model (or those of --models) to the same curves and rank them by "
        "AIC, with BIC alongside; fits that are not ok come last and are never ranked best.",
    )
    _data_arguments(compare)
    compare.add_argument("--models", default=None,
                         help="comma-separated models (default: " + DEFAULT_COMPARED["temperature"]
                         + "; " + DEFAULT_COMPARED["concentration"] + " for a concentration series; "
                         + DEFAULT_COMPARED["solvent"] + " for a solvent series)")
    _fit_arguments(compare)
    _output_arguments(compare, "every model's results")
    compare.set_defaults(handler=run_compare)

    read = commands.add_parser(
        "read", help="say how data files are read, without fitting",
        description="Read the data files as fit and compare would, and say how: each file's layout, every "
        "column with the role given to it (temperature, signal, concentration, curve, solvent or unused) and "
        "the unit assumed, and the curves (label, c_tot, points, range). Nothing is fitted.",
    )
    _data_arguments(read)
    read.add_argument("--json", metavar="FILE", help="write the same as JSON ('-' for standard output)")
    read.set_defaults(handler=run_read)
    return parser


def _data_arguments(parser):
    parser.add_argument("data", nargs="*", metavar="FILE",
                        help="data files (CSV or other text, .xlsx, JASCO or Cary exports); "
                        "several files make one global fit")
    parser.add_argument("--example", action="append", nargs="?", const="cooling", choices=list(EXAMPLES),
                        metavar="NAME", help="use the example data shipped with kelvara: cooling (the default; "
                        f"{EXAMPLE_TRUTH}), series (a concentration series of the same compound) or "
                        "denaturation; give it twice for a joint fit (--example cooling --example series)")
    parser.add_argument("--celsius", action="store_true",
                        help="temperature columns without a unit are in degrees Celsius (a header that says "
                        "kelvin is an error); results are then shown in °C")
    parser.add_argument("--display-unit", "--display_unit", dest="display_unit", choices=("K", "C"),
                        help="show temperatures (Te, plots, --curves) in K or °C, whatever the data came in "
                        "(default: the data's own unit); never changes how the data are read")
    parser.add_argument("--c-tot", "--c_tot", dest="c_tot", action="append", metavar="VALUE",
                        help="total concentration of a curve whose file states none, with its unit (5uM, "
                        "1e-5 M; mol/L without one, below 0.5); once per such curve or file, in order")
    parser.add_argument("--vary", choices=("auto", "temperature", "concentration", "solvent"), default="auto",
                        help="what the curves vary: temperature (cooling/heating curves), concentration (a "
                        "concentration series: one curve per temperature or per curve column value), solvent "
                        "(a denaturation against the good-solvent fraction); default: told from the file")
    parser.add_argument("--temperature", metavar="VALUE",
                        help="temperature of a concentration series or denaturation whose file has no "
                        "temperature column: kelvin, or with a unit (293.15, 20C)")
    for role in ("temperature", "signal", "concentration", "curve", "solvent"):
        parser.add_argument(f"--{role}-column", f"--{role}_column", dest=f"{role}_column", metavar="NAME",
                            help=f"the {role} column: its header, its header's first word, or its 1-based "
                            "position (the way into a file without a header)"
                            + (": the fraction of good solvent, 0 to 1 (or %% in its header)"
                               if role == "solvent" else ""))
    parser.add_argument("--decimal", choices=(".", ","), help="the decimal mark (default: detected)")
    parser.add_argument("--sheet", metavar="NAME", help="the sheet of an Excel file, by name (any case) or "
                        "number (default: the first sheet holding a table of numbers)")
    parser.add_argument("--segment", choices=("all", "cooling", "heating"), default="all",
                        help="stages of a Cary export to fit (default: all)")


def _fit_arguments(parser):
    parser.add_argument("--nuc-size", "--nuc_size", dest="nuc_size", metavar="N or A:B",
                        help="nucleus size of cooperative_n, or a range A:B to scan (default 2)")
    units = ("J/mol for enthalpies, J/(mol K) for entropies, the signal's unit for baselines and amplitudes; "
             "or with a unit: 22kJ/mol, -5.3kcal/mol, -180J/mol/K, 60C")
    parser.add_argument("--fix", action="append", default=[], metavar="NAME=VALUE",
                        help=f"fix a parameter ({units})")
    parser.add_argument("--bound", action="append", default=[], metavar="NAME=LO:HI",
                        help=f"bound a parameter ({units})")
    parser.add_argument("--start", action="append", default=[], metavar="NAME=VALUE",
                        help=f"starting value of a parameter ({units})")
    parser.add_argument("--shared-amplitude", "--shared_amplitude", dest="shared_amplitude",
                        action="store_true", help="one amplitude for all curves")
    parser.add_argument("--shared-baseline", "--shared_baseline", dest="shared_baseline",
                        action="store_true", help="one monomer baseline for all curves")
    parser.add_argument("--baseline-slope", "--baseline_slope", dest="baseline_slope", action="store_true",
                        help="let the monomer baseline slope in T")
    parser.add_argument("--aggregate-slope", "--aggregate_slope", dest="aggregate_slope", action="store_true",
                        help="let the aggregated state's signal slope in T too")
    parser.add_argument("--extensive", action="store_true",
                        help="the signal is proportional to the concentration (raw absorbance, CD in mdeg): "
                        "signal = c_tot (baseline + amplitude x fraction), per mol/L")
    parser.add_argument("--shared", action="append", default=[], metavar="NAME",
                        help="a per-curve parameter of a phenomenological model that every curve shares "
                        "(--shared h_e for vanderschoot)")
    parser.add_argument("--max-evaluations", "--max_evaluations", dest="max_evaluations", type=int,
                        default=None, metavar="N", help="stop after N model evaluations")


def _output_arguments(parser, what):
    parser.add_argument("--json", metavar="FILE", help=f"write {what} as JSON ('-' for standard output)")
    parser.add_argument("--plot", metavar="FILE",
                        help="draw data, fitted curves and residuals (.png, .pdf or .svg)")
    parser.add_argument("--aggregation-panel", "--aggregation_panel", dest="aggregation_panel",
                        action="store_true", help="add a panel of the normalised degree of aggregation")


# --- writing --------------------------------------------------------------------


def write_atomic(path, text):
    """Write text to an output (see kelvara.outputs: files atomically,
    devices, FIFOs and `-` as they are) and say so on stderr."""
    where = path if isinstance(path, outputs.Target) else outputs.target(path)
    outputs.write(where, text)
    if where.kind != "stream":
        print(f"kelvara: wrote {where.shown}", file=sys.stderr)


def _check_outputs(inputs, given):
    """Before any work: every output's target (see kelvara.outputs.check);
    at most one of them on standard output."""
    try:
        found = outputs.check(given, inputs, plots=("--plot",), plot_formats=PLOT_FORMATS)
    except outputs.OutputError as error:
        raise UsageError(str(error)) from None
    return found


def _report_stream(targets):
    """Where the text meant for people goes: stdout, or stderr when an
    output takes stdout."""
    return sys.stderr if any(t.is_stdout for t in targets.values()) else sys.stdout


# --- kelvara models ---------------------------------------------------------------


def run_models(options):
    for model in MODELS.values():
        print(f"{model.name}: {model.description}")
        print(f"    fits {', '.join(EXPERIMENTS[k] for k in model.experiments)}")
        for name in model.thermo:
            meaning = PARAMETER_MEANINGS.get(name, "")
            print(f"    {name:18} {PARAMETER_UNITS[name]:10} {meaning}")
        for name in model.per_curve:
            meaning = PARAMETER_MEANINGS.get(name, "")
            print(f"    {name + '[i]':18} {PARAMETER_UNITS.get(name, PARAMETER_UNITS.get(name.split('[')[0], '1')):10} "
                  f"{meaning}{', per curve' if meaning else 'per curve'}")
        if model.constants:
            print(f"    at one temperature (a concentration series): {', '.join(model.constants)} instead")
            for name in model.constants:
                print(f"    {name:18} {PARAMETER_UNITS[name]:10} {PARAMETER_MEANINGS.get(name, '')}")
        if model.takes_nuc_size:
            print(f"    {'nuc_size':18} {'1':10} nucleus size, fixed or scanned (--nuc-size N or A:B)")
        print(f"    {'baseline[i]':18} {'signal':10} signal of the free monomer of curve i")
        print(f"    {'amplitude[i]':18} {'signal':10} change of curve i's signal on full aggregation")
    return 0


# --- kelvara curve -------------------------------------------------------------


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
    name = function.__name__
    # The function's own parameters, apart from the one the range fills.
    parameters = [p for p in inspect.signature(function).parameters if p not in ("temp", "conc", "x")]
    if options.celsius and not temperature_model:
        raise UsageError("--celsius applies to --temps")
    targets = _check_outputs([], [("--out", options.out)])
    if temperature_model:
        axis = parse_range(options.temps, "--temps")
    elif options.log_conc:
        axis = parse_range(options.log_conc, "--log-conc", points=True)
    else:
        axis = parse_range(options.conc, "--conc")
    unused = [p for p in (*CURVE_PARAMETERS, "nuc_size") if getattr(options, p) is not None and p not in parameters]
    if unused:
        raise UsageError(f"{options.model} ({name}) takes no {_parameter_option(unused[0])[0]}")
    given = {p: _typed(p, getattr(options, p, None)) for p in parameters}
    if "num_itr" in given and given["num_itr"] is None:
        given["num_itr"] = EXACT_STEPS
    missing = [p for p, value in given.items() if value is None]
    if missing:
        raise UsageError(f"{options.model} needs " + " ".join(_parameter_option(p)[0] for p in missing))
    _check_physical(given, axis, temperature_model, options.celsius)

    if temperature_model:
        kelvin = [t + 273.15 for t in axis] if options.celsius else axis
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
        _flush(sys.stdout)
    else:
        write_atomic(targets["--out"], out.getvalue())
    return 0


def _typed(name, value):
    """A model parameter from the command line, in SI: a bare number, or a
    number with a unit of the parameter ("-95kJ/mol", "10uM")."""
    if not isinstance(value, str):
        return value
    try:
        return quantity(value, PARAMETER_UNITS[name], _parameter_option(name)[0])
    except ValueError as error:
        raise UsageError(str(error)) from None


def _check_physical(given, axis, temperature_model, celsius):
    """kelvara curve refuses what has no physical meaning (the _core
    functions themselves compute whatever IEEE arithmetic gives)."""
    if temperature_model:
        kelvin = [t + 273.15 for t in axis] if celsius else axis
        if min(kelvin) <= 0:
            raise UsageError(f"temperatures must be above 0 K, not {min(axis):g}{' °C' if celsius else ' K'}")
    elif min(axis) <= 0:
        raise UsageError(f"concentrations must be positive, not {min(axis):g} mol/L")
    for name, value in given.items():
        if name == "c_tot" and not value > 0:
            raise UsageError(f"--c-tot must be positive, not {value:g} mol/L")
        if name in ("k", "k_iso", "k_coop", "sigma") and not value >= 0:
            raise UsageError(f"{_parameter_option(name)[0]} must not be negative, not {value:g}")
        if name == "nuc_size" and not 2 <= value <= 4294967295:
            raise UsageError(f"--nuc-size must be from 2 to 4294967295, not {value}")
        if name == "num_itr" and value < 0:
            raise UsageError(f"--num-itr must not be negative, not {value}")
        if isinstance(value, float) and not math.isfinite(value):
            raise UsageError(f"{_parameter_option(name)[0]} must be finite, not {value}")


# --- reading data --------------------------------------------------------------


def _inputs(options):
    paths = [EXAMPLES[name][0] for name in dict.fromkeys(options.example)] if options.example else list(options.data)
    if not paths:
        raise UsageError("give one or more data files, or --example")
    if options.example and options.data:
        raise UsageError("give data files or --example, not both")
    return paths


def read_data(options):
    """The reading of the data files (or of the example): kelvara.io.Reading,
    with the curves and how every file was read."""
    try:
        from kelvara.io import read
    except ImportError:
        raise UsageError("reading data needs pandas: python -m pip install 'kelvara[fit]'") from None
    return read(
        _inputs(options), c_tot=options.c_tot, celsius=options.celsius,
        temperature_column=options.temperature_column, signal_column=options.signal_column,
        concentration_column=options.concentration_column, curve_column=options.curve_column,
        decimal=options.decimal, sheet=options.sheet, segment=options.segment,
        vary=options.vary, temperature=options.temperature, solvent_column=options.solvent_column,
    )


def read_curves(options):
    """The curves of the data files (or of the example), as kelvara.fit.Curve;
    how each file was read, and notes on what was dropped, go to stderr."""
    reading = read_data(options)
    _tell_reading(reading)
    return reading.curves


def _tell_reading(reading, stream=None):
    """How every file was read, then the notes: on stderr, before a fit."""
    stream = stream or sys.stderr
    for file in reading.files:
        print(f"kelvara: {file.text()}", file=stream)
    for note in reading.notes:
        print(f"kelvara: note: {note}", file=stream)


def _display_unit(options, reading):
    """The unit temperatures are shown in: --display-unit, else the one the
    data came in."""
    chosen = getattr(options, "display_unit", None)
    if chosen:
        return "°C" if chosen.upper() in ("C", "°C") else "K"
    return reading.temperature_unit


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


def _flush(stream):
    try:
        stream.flush()
    except (AttributeError, ValueError):
        pass  # no stream to flush (stdout closed with >&-)


def _fit_module():
    try:
        import kelvara.fit as fit_module
    except ImportError:
        raise UsageError("fitting needs NumPy and SciPy: python -m pip install 'kelvara[fit]'") from None
    return fit_module


# --- kelvara fit ---------------------------------------------------------------


def _assignments(items, what):
    out = {}
    for item in items:
        name, sep, value = item.partition("=")
        if not sep or not name:
            raise UsageError(f"--{what} takes NAME=VALUE, not {item!r}")
        out[name.strip()] = value.strip()
    return out


_UNIT_TAIL = re.compile(r"^\s*[-+]?(?:\d+(?:[.,]\d*)?|[.,]\d+)(?:[eE][-+]?\d+)?\s*(\S.*?)?\s*$")


def _value(name, text, what):
    """A parameter's value from the command line, in the unit it is
    reported in: a bare number is in that unit already; "14kJ/mol",
    "-0.18 kJ/(mol K)", "60C" are converted; a unit of another quantity is
    an error."""
    try:
        return quantity(text, unit_of(name), f"{what} {name}")
    except ValueError as error:
        raise UsageError(str(error)) from None


def _unit_tail(text):
    match = _UNIT_TAIL.match(text)
    return (match.group(1) or "") if match else ""


def _bound(name, text):
    """LO:HI, either side empty for no bound; a unit after HI alone serves
    both ("-120:-80kJ/mol")."""
    low, sep, high = text.partition(":")
    if not sep:
        raise UsageError(f"--bound {name} takes LO:HI, not {text!r}")
    low_unit, high_unit = _unit_tail(low), _unit_tail(high)
    if high_unit and not low_unit and _UNIT_TAIL.match(low):
        low = f"{low.strip()}{high_unit}"
    elif low_unit and not high_unit and _UNIT_TAIL.match(high):
        raise UsageError(f"--bound {name} {text}: give the unit after HI (it serves both) or on both sides")
    return (_value(name, low or "-inf", "--bound"), _value(name, high or "inf", "--bound"))


def _fit_options(options, model):
    """The keyword arguments of kelvara.fit.fit from the command line."""
    fix = {n: _value(n, v, "--fix") for n, v in _assignments(options.fix, "fix").items()}
    start = {n: _value(n, v, "--start") for n, v in _assignments(options.start, "start").items()}
    bounds = {name: _bound(name, text) for name, text in _assignments(options.bound, "bound").items()}
    nuc_size = None
    if options.nuc_size is not None:
        if model is not None and not MODELS[model].takes_nuc_size:
            raise UsageError(f"--nuc-size applies to the cooperative_n model, not {model}")
        low, sep, high = options.nuc_size.partition(":")
        try:
            nuc_size = range(int(low), int(high) + 1) if sep else int(low)
        except ValueError:
            raise UsageError(f"--nuc-size takes N or A:B, not {options.nuc_size!r}") from None
    return dict(nuc_size=nuc_size, shared_amplitude=options.shared_amplitude,
                shared_baseline=options.shared_baseline, baseline_slope=options.baseline_slope,
                aggregate_slope=options.aggregate_slope, extensive=options.extensive,
                start=start, fix=fix, bounds=bounds, max_nfev=options.max_evaluations,
                **({"shared": tuple(options.shared)} if options.shared else {}))


def _outputs(options, *names):
    return [(f"--{name}", getattr(options, name, None)) for name in names]


def run_fit(options):
    fit_module = _fit_module()
    inputs = _inputs(options)
    targets = _check_outputs(inputs, _outputs(options, "json", "csv", "curves", "plot"))
    if options.bootstrap and options.bootstrap < 2:
        raise UsageError("--bootstrap needs at least 2 resamples")
    keywords = _fit_options(options, options.model or DEFAULT_MODELS.get(options.vary, DEFAULT_MODEL))
    reading = read_data(options)
    curves = reading.curves
    model = options.model or DEFAULT_MODELS[_varied(curves)]
    fit_module.check(curves, model, **keywords)  # bad options are one line, before anything else is said
    _tell_reading(reading)
    unit = _display_unit(options, reading)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # non-convergence is in the verdict
        result = fit_module.fit(curves, model, **keywords)
    if options.bootstrap:
        result.run_bootstrap(options.bootstrap, seed=options.seed)
    if options.profile:
        result.profile()

    # The files first: a reader that closes stdout early (| head) must not cost them.
    if options.json:
        data = result.to_dict()
        data["input_files"] = [str(p) for p in inputs]
        data["reading"] = reading.to_dict()
        write_atomic(targets["--json"], json.dumps(data, indent=2, allow_nan=False) + "\n")
    if options.csv:
        write_atomic(targets["--csv"], _results_csv(result))
    if options.curves:
        write_atomic(targets["--curves"], _curves_csv(result, unit))
    if options.plot:
        _plot(targets["--plot"], lambda plot: plot.fit_figure(result, curves, celsius=unit == "°C",
                                                             aggregation=options.aggregation_panel))
    stream = _report_stream(targets)
    source = "example data" if options.example else ", ".join(options.data)
    print(f"{source}: {len(curves)} curves, {result.n_points} points", file=stream)
    for name in dict.fromkeys(options.example or ()):
        print(f"({name}: made with {EXAMPLES[name][1]})", file=stream)
    print(result.summary(temperature_unit=unit), file=stream)
    print(_curve_table(result, unit), file=stream)
    _flush(stream)
    if not result.ok:
        raise FitFailed(_problems_text(result))
    return 0


def _varied(curves):
    """What the curves vary, for the default model: a solvent series, a
    concentration series, or (also when mixed) temperature."""
    kinds = {c.vary for c in curves}
    return kinds.pop() if len(kinds) == 1 else "temperature"


def _problems_text(result, name=""):
    lines = [f"the {name + ' ' if name else ''}fit is not to be trusted:"]
    lines += [f"  - {problem}" for problem in result.problems]
    return "\n".join(lines)


def _curve_table(result, unit="K"):
    """One line per curve: its label (whole: sample, stage, file), its
    conditions, baseline, amplitude and where it is half way (Te of a
    cooling curve, c50 of a series, f50 of a denaturation), temperatures in
    `unit` ("K" or "°C")."""
    def shown(value, style):
        return format(value, style) if value is not None and math.isfinite(value) else ""

    def temperature(kelvin):
        return None if kelvin is None else kelvin - 273.15 if unit == "°C" else kelvin

    width = max([16] + [len(str(c.label)) + 2 for c in result.curves])
    if all(c.vary == "temperature" for c in result.curves):
        lines = [f"{'curve':{width}}{'c_tot (M)':>12}{'baseline':>12}{'amplitude':>12}{f'Te ({unit})':>10}"]
        for c in result.curves:
            lines.append(f"{str(c.label):{width}}{c.c_tot:>12.4g}{c.baseline:>12.5g}{c.amplitude:>12.5g}"
                         f"{shown(temperature(c.te), '10.2f'):>10}")
        return "\n".join(lines)
    lines = [f"{'curve':{width}}{'c_tot (M)':>12}{f'T ({unit})':>9}{'baseline':>12}{'amplitude':>12}"
             f"{'midpoint':>22}"]
    for c in result.curves:
        if c.te is not None:
            middle = f"Te {shown(temperature(c.te), '.2f')} {unit}" if shown(c.te, ".2f") else ""
        elif c.midpoint is not None:
            name, value = c.midpoint
            middle = f"{name} {shown(value, '.4g')}{' M' if name == 'c50' else ''}" if shown(value, "g") else ""
        else:
            middle = ""
        lines.append(f"{str(c.label):{width}}{shown(c.c_tot, '.4g'):>12}{shown(temperature(c.temperature), '.2f'):>9}"
                     f"{c.baseline:>12.5g}{c.amplitude:>12.5g}{middle:>22}")
    return "\n".join(lines)


def _cell(value):
    return "" if value is None or (isinstance(value, float) and not math.isfinite(value)) else repr(value)


def _results_csv(result):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["kind", "name", "value", "stderr", "unit", "fixed", "low", "high"])
    for p in result.parameters.values():
        writer.writerow(["parameter", p.name, _cell(p.value), "" if p.fixed else _cell(p.stderr), p.unit,
                         p.fixed, "", ""])
    for d in result.derived.values():
        writer.writerow(["derived", d.name, _cell(d.value), _cell(d.stderr), d.unit, False, "", ""])
    for kind, intervals in (("profile", {p.name: (p.low, p.high) for p in (result.profiles or {}).values()}),
                            ("bootstrap", result.bootstrap or {})):
        for name, (low, high) in intervals.items():
            writer.writerow([f"{kind} interval", name, "", "", unit_of(name), False, _cell(low), _cell(high)])
    for key in ("chi2", "reduced_chi2", "aic", "bic", "n_points"):
        writer.writerow(["statistic", key, _cell(getattr(result, key)), "", "", "", "", ""])
    writer.writerow(["verdict", "ok", result.ok, "", "", "", "", ""])
    for problem in result.problems:
        writer.writerow(["verdict", "problem", problem, "", "", "", "", ""])
    return out.getvalue()


def _curves_csv(result, unit="K"):
    """Every point as a tidy CSV; the temperature column names its unit
    ("temperature (K)" at full precision, or "temperature (°C)" rounded to
    the resolution of the data)."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    table = result.curve_table()
    kelvin = table["temperature"]
    if unit == "°C":
        table["temperature"] = _celsius_at_resolution(kelvin)
    names = [f"temperature ({unit})" if name == "temperature" else name for name in table]
    writer.writerow(names)
    for row in zip(*table.values()):
        writer.writerow([v if isinstance(v, str) else _cell(float(v)) for v in row])
    return out.getvalue()


def _celsius_at_resolution(kelvin):
    """Kelvin as degrees Celsius, rounded to the fewest decimals (up to 6)
    that hold every reading: the numbers the file gave, not 24.999999999999."""
    import numpy as np

    celsius = np.asarray(kelvin, dtype=float) - 273.15
    finite = celsius[np.isfinite(celsius)]
    for decimals in range(7):
        scaled = finite * 10.0 ** decimals
        if np.all(np.abs(scaled - np.round(scaled)) < 1e-6):
            return np.round(celsius, decimals)
    return np.round(celsius, 9)


def _plot(where, draw):
    try:
        import kelvara.plot as plot
    except ImportError:
        raise UsageError("--plot needs matplotlib: python -m pip install 'kelvara[fit]'") from None
    figure = draw(plot)
    buffer = io.BytesIO()
    suffix = pathlib.Path(where.shown).suffix.lower()
    plot.save(figure, buffer, format=suffix[1:] if suffix in PLOT_FORMATS else "png")
    write_atomic(where, buffer.getvalue())


# --- kelvara compare ------------------------------------------------------------


def run_compare(options):
    fit_module = _fit_module()
    models = [m.strip() for m in (options.models or "").split(",") if m.strip()]
    unknown = [m for m in models if m not in MODELS]
    if unknown:
        raise UsageError(f"unknown model {unknown[0]!r}; the models are {', '.join(MODELS)}")
    inputs = _inputs(options)
    targets = _check_outputs(inputs, _outputs(options, "json", "plot"))
    keywords = _fit_options(options, None)
    if options.nuc_size is not None and options.models is not None and "cooperative_n" not in models:
        raise UsageError("--nuc-size applies to the cooperative_n model, which --models does not name")
    reading = read_data(options)
    curves = reading.curves
    if options.models is None:
        models = DEFAULT_COMPARED[_varied(curves)].split(",")
    _tell_reading(reading)
    unit = _display_unit(options, reading)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        comparison = fit_module.compare(curves, models, **keywords)
    if options.json:
        data = comparison.to_dict()
        data["input_files"] = [str(p) for p in inputs]
        data["reading"] = reading.to_dict()
        write_atomic(targets["--json"], json.dumps(data, indent=2, allow_nan=False) + "\n")
    if options.plot:
        _plot(targets["--plot"], lambda plot: plot.comparison_figure(comparison, curves, celsius=unit == "°C"))
    stream = _report_stream(targets)
    print(comparison.summary(), file=stream)
    _flush(stream)
    if comparison.best is None:
        raise FitFailed("no model fits well enough to be ranked best:\n" + "\n".join(
            f"  - {r.model}: {problem}" for r in comparison.results for problem in r.problems))
    return 0


if __name__ == "__main__":
    sys.exit(main())
