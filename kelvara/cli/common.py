"""What the commands share: the examples and defaults, the errors that set the exit status, the
options of the data files, the fit and the outputs (declared once), the parsing of values with
units into the fit's keywords, reading the data with its report, and writing every output."""

from __future__ import annotations

import argparse
import io
import json
import pathlib
import sys
from dataclasses import dataclass
from typing import Callable, Optional

from kelvara import outputs
from kelvara.errors import KelvaraError
from kelvara.models import MODELS, unit_of
from kelvara.units import quantity, split_unit

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"

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

PLOT_FORMATS = (".png", ".pdf", ".svg")

# Values typed with a unit, as the help shows them.
_UNIT_EXAMPLES = {"J/mol": "-95kJ/mol", "J/(mol K)": "-180J/mol/K", "mol/L": "10uM", "L/mol": "1e6M-1",
                  "K": "60C"}


@dataclass(frozen=True)
class Command:
    """A subcommand: its name, what adds its own arguments, what runs it,
    and its help texts."""

    name: str
    arguments: Optional[Callable[[argparse.ArgumentParser], None]]
    run: Callable[[argparse.Namespace], int]
    help: str = ""
    description: str = ""
    epilog: Optional[str] = None

    def add_to(self, commands):
        parser = commands.add_parser(self.name, help=self.help, description=self.description, epilog=self.epilog)
        if self.arguments is not None:
            self.arguments(parser)
        parser.set_defaults(handler=self.run)
        return parser


class UsageError(KelvaraError):
    """Bad input: reported in one line, exit status 2."""


class FitFailed(Exception):
    """A fit that is not to be trusted: exit status 1."""


def _parameter_option(name):
    """--delta-h, with --delta_h still accepted."""
    spellings = [f"--{name.replace('_', '-')}"]
    if "_" in name:
        spellings.append(f"--{name}")
    return spellings


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
    parser.add_argument("--free", action="append", default=[], metavar="NAME",
                        help="free a parameter that is fixed unless freed: delta_s_nuc, the entropy of nucleation "
                        "of the cooperative models (0 by default)")
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
    parser.add_argument("--report", metavar="FILE.html",
                        help="write a self-contained HTML report for a paper's supporting information (inputs with "
                             "SHA-256, the model and its papers, verdict, values rounded to their errors with "
                             "intervals, figures, a methods paragraph, versions); it prints cleanly to PDF")
    parser.add_argument("--figure-size", "--figure_size", dest="figure_size", metavar="SIZE",
                        help="draw --plot at a journal's size: single (one column, 8.5 cm), double (17.5 cm) or "
                             "W,H in cm, with text of 7 to 9 pt")
    parser.add_argument("--annotate", action="store_true",
                        help="put the main fitted values, rounded to their errors, in a box on the plot")


def _check_figure_size(options):
    """--figure-size is one a figure can be drawn at, before any work."""
    if getattr(options, "figure_size", None) is None:
        return
    if not getattr(options, "plot", None):
        raise UsageError("--figure-size sizes the figure of --plot, which is not given")
    from kelvara.plot import figure_size

    try:
        figure_size(options.figure_size)
    except ValueError as error:
        raise UsageError(f"--figure-size: {error}") from None


def _check_report(options):
    """--report names an .html file (or '-'), before any work."""
    path = getattr(options, "report", None)
    if path and path != "-" and pathlib.Path(path).suffix.lower() not in (".html", ".htm"):
        raise UsageError(f"--report {path}: the report is written as .html")


def _report(where, make):
    """Write the HTML report `make()` gives (see kelvara.report)."""
    try:
        import matplotlib  # noqa: F401

        import kelvara.report  # noqa: F401  (needs matplotlib)
    except ImportError:
        raise UsageError("--report needs matplotlib: python -m pip install 'kelvara[fit]'") from None
    write_atomic(where, make())


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


def _flush(stream):
    try:
        stream.flush()
    except (AttributeError, ValueError):
        pass  # no stream to flush (stdout closed with >&-)


def _outputs(options, *names):
    return [(f"--{name}", getattr(options, name, None)) for name in names]


def result_json(data, inputs, reading):
    """What fit's and compare's --json write: a result's plain data with the
    inputs and how they were read, as strict JSON."""
    data["input_files"] = [str(p) for p in inputs]
    data["reading"] = reading.to_dict()
    return json.dumps(data, indent=2, allow_nan=False) + "\n"


def reading_json(reading):
    """What read's --json writes: how the files were read, as strict JSON
    (its characters as they are)."""
    return json.dumps(reading.to_dict(), indent=2, allow_nan=False, ensure_ascii=False) + "\n"


def _write_json(where, data, inputs, reading):
    write_atomic(where, result_json(data, inputs, reading))


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


def _fit_module():
    try:
        import kelvara.fit as fit_module
    except ImportError:
        raise UsageError("fitting needs NumPy and SciPy: python -m pip install 'kelvara[fit]'") from None
    return fit_module


def _varied(curves):
    """What the curves vary, for the default model: a solvent series, a
    concentration series, or (also when mixed) temperature."""
    kinds = {c.vary for c in curves}
    return kinds.pop() if len(kinds) == 1 else "temperature"


def _assignments(items, what):
    out = {}
    for item in items:
        name, sep, value = item.partition("=")
        if not sep or not name:
            raise UsageError(f"--{what} takes NAME=VALUE, not {item!r}")
        out[name.strip()] = value.strip()
    return out




def _value(name, text, what):
    """A parameter's value from the command line, in the unit it is
    reported in: a bare number is in that unit already; "14kJ/mol",
    "-0.18 kJ/(mol K)", "60C" are converted; a unit of another quantity is
    an error."""
    try:
        return quantity(text, unit_of(name), f"{what} {name}")
    except ValueError as error:
        raise UsageError(str(error)) from None


def _bound(name, text):
    """LO:HI, either side empty for no bound; a unit after HI alone serves
    both ("-120:-80kJ/mol")."""
    low, sep, high = text.partition(":")
    if not sep:
        raise UsageError(f"--bound {name} takes LO:HI, not {text!r}")
    (low_number, low_unit), (high_number, high_unit) = split_unit(low), split_unit(high)
    if high_unit and not low_unit and low_number is not None:
        low = f"{low.strip()}{high_unit}"
    elif low_unit and not high_unit and high_number is not None:
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
                **({"shared": tuple(options.shared)} if options.shared else {}),
                **({"free": tuple(options.free)} if options.free else {}))
