"""The options of kelvara read, fit and compare, declared once.

Each option is an `Option`: its name (the keyword of the Python API and the
field of the app), its flag, metavar, unit and help, what it goes to (the
reading, the fit, the run or the output) and how the text given for it
becomes a value.  The command line builds its parsers from these
declarations (`add_options`); the app serves them (`describe`) and takes its
form fields through them (`given_fields`); both hand the analysis a
`Request`: every value typed and checked once, with the reading's options
as the keywords of kelvara.io.read and the fit's as those of
kelvara.fit.FitOptions."""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from types import MappingProxyType
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from kelvara.analysis import (DEFAULT_COMPARED, DEFAULT_MODEL, EXAMPLE_TRUTH, EXAMPLES, MAX_BOOTSTRAP, UsageError,
                              assignments, bound_of, value_of)
from kelvara.models import MODELS

# Values typed with a unit, as the help shows them.
UNIT_EXAMPLES = {"J/mol": "-95kJ/mol", "J/(mol K)": "-180J/mol/K", "mol/L": "10uM", "L/mol": "1e6M-1",
                  "K": "60C"}

_TRUE = {"true", "1", "on", "yes"}
_FALSE = {"false", "0", "off", "no", ""}


@dataclass(frozen=True)
class Option:
    """One option of the commands.

    `kind` is "text" (a value, or one per use when `repeat`), "switch" (on
    or off) or "either" (on, off, or unsaid: the data choose; the command
    line has --no-NAME for off).  `to` is what takes it: "source" (which
    files), "read" (kelvara.io.read), "fit" (kelvara.fit.FitOptions),
    "run" (the analysis) or "output" (what is written, and how).  `parse`
    turns what was given (text, a list of texts for `repeat`, or None)
    into the value; `keyword` is its name where it goes, when not `name`.
    `file` marks an option that names a file: the app never takes it."""

    name: str
    help: str
    to: str
    kind: str = "text"
    metavar: Optional[str] = None
    choices: Tuple[str, ...] = ()
    default: Any = None
    repeat: bool = False
    unit: Optional[str] = None
    parse: Optional[Callable[[Any], Any]] = None
    keyword: Optional[str] = None
    file: bool = False
    once: bool = False  # the command line refuses it given twice
    const: Optional[str] = None  # the value of the flag given alone
    negative_help: Optional[str] = None

    @property
    def flag(self) -> str:
        return "--" + self.name.replace("_", "-")

    @property
    def flags(self) -> Tuple[str, ...]:
        return (self.flag, f"--{self.name}") if "_" in self.name else (self.flag,)

    @property
    def negative(self) -> str:
        return "--no-" + self.name.replace("_", "-")

    def add_to(self, parser: argparse.ArgumentParser) -> None:
        """The option as the command line takes it."""
        text = self.help.replace("%", "%%")
        if self.name == "data":
            parser.add_argument("data", nargs="*", metavar=self.metavar, help=text)
        elif self.kind == "switch":
            parser.add_argument(*self.flags, dest=self.name, action="store_true", help=text)
        elif self.kind == "either":
            parser.add_argument(*self.flags, dest=self.name, action="store_const", const=True, default=None,
                                help=text)
            negatives = (self.negative, f"--no_{self.name}") if "_" in self.name else (self.negative,)
            parser.add_argument(*negatives, dest=self.name, action="store_const", const=False,
                                help=(self.negative_help or "").replace("%", "%%"))
        else:
            keywords: Dict[str, Any] = {"dest": self.name, "metavar": self.metavar, "help": text}
            if self.choices:
                keywords["choices"] = list(self.choices)
            if self.const is not None:
                keywords.update(nargs="?", const=self.const)
            if self.repeat:
                keywords["action"] = "append"
            elif self.once:
                keywords["action"] = _Once
            parser.add_argument(*self.flags, **keywords)

    def from_field(self, values: List[str]) -> Any:
        """What the form fields of this name give, as the command line
        would have it: True, False or None for a switch, a list for a
        repeated option, else one text or None."""
        if self.kind in ("switch", "either"):
            for value in values:
                if value.strip().lower() not in _TRUE | _FALSE:
                    either = " (or empty, for the data's choice)" if self.kind == "either" else ""
                    raise UsageError(f"the field {self.name!r} is true or false{either}, not {value!r}")
            last = values[-1].strip().lower()
            if self.kind == "switch":
                return last in _TRUE
            return True if last in _TRUE else (False if last else None)
        values = [v.strip() for v in values if v.strip()]  # an empty field of a form is no value
        if self.repeat:
            return values
        if len(values) > 1:
            raise UsageError(f"the field {self.name!r} takes one value, not {len(values)}")
        return values[0] if values else None

    def argv(self, given: Any) -> List[str]:
        """The command-line arguments that give this value."""
        if given is None or (given is False and self.kind == "switch"):
            return []
        if self.kind in ("switch", "either"):
            return [self.flag if given else self.negative]
        return [f"{self.flag}={value}" for value in (given if self.repeat else [given])]

    def value(self, given: Any) -> Any:
        """The value of what was given (the default where nothing was)."""
        if self.kind == "switch":
            return bool(given)
        if given is None or (self.repeat and not given):
            given = self.default
        if self.choices and given is not None:
            for one in (given if self.repeat else [given]):
                if one not in self.choices:
                    raise UsageError(f"argument {self.flag}: invalid choice: {one!r} (choose from "
                                     f"{', '.join(self.choices)})")
        if self.parse is not None:
            return self.parse(given)
        return tuple(given or ()) if self.repeat else given

    def describe(self) -> Dict[str, Any]:
        """The declaration as plain data (what the app serves)."""
        out = {"name": self.name, "flag": self.flag, "kind": self.kind, "to": self.to, "help": self.help,
               "repeat": self.repeat}
        for key in ("metavar", "unit", "default"):
            if getattr(self, key) is not None:
                out[key] = getattr(self, key)
        if self.choices:
            out["choices"] = list(self.choices)
        if self.kind == "either":
            out["negative"] = self.negative
        return out


class _Once(argparse.Action):
    """An option given at most once: a second would silently replace the first."""

    def __call__(self, parser, namespace, values, option_string=None):
        if getattr(namespace, self.dest, None) is not None:
            parser.error(f"{option_string} is given twice ({getattr(namespace, self.dest)} and {values}); give one "
                         "range (--exclude leaves out points within it)")
        setattr(namespace, self.dest, values)


def parameter_option(name):
    """--delta-h, with --delta_h still accepted."""
    spellings = [f"--{name.replace('_', '-')}"]
    if "_" in name:
        spellings.append(f"--{name}")
    return spellings


# ---- how text becomes values --------------------------------------------------------------------

def _whole(flag: str, low: int, high: int, refused: str, default: Any = None) -> Callable[[Any], Any]:
    """A whole number from low to high; `refused` says why another is not
    taken (formatted with the number)."""
    def parse(given):
        if given is None:
            return default
        try:
            number = int(given)
        except (TypeError, ValueError):
            raise UsageError(f"argument {flag}: invalid int value: {given!r}") from None
        if not low <= number <= high:
            raise UsageError(refused.format(number=number))
        return number
    return parse


def _parameters(what: str) -> Callable[[Any], Mapping[str, float]]:
    def parse(given):
        return MappingProxyType({n: value_of(n, v, f"--{what}") for n, v in assignments(given or (), what).items()})
    return parse


def _bounds(given):
    return MappingProxyType({n: bound_of(n, t) for n, t in assignments(given or (), "bound").items()})


def _nuc_size(given):
    from kelvara.sizes import nuc_sizes

    return nuc_sizes(given, None, "--nuc-size")


def _signal_columns(given):
    return None if not given else given[0] if len(given) == 1 else tuple(given)


def _models(given):
    if given is None:
        return None
    models = tuple(m.strip() for m in given.split(",") if m.strip())
    if not models:
        raise UsageError(f"--models takes model names separated by commas, not {given!r}")
    unknown = [m for m in models if m not in MODELS]
    if unknown:
        raise UsageError(f"unknown model {unknown[0]!r}; the models are {', '.join(MODELS)}")
    return models


def _bootstrap(given):
    resamples = _whole("--bootstrap", 0, MAX_BOOTSTRAP, f"--bootstrap takes 0 to {MAX_BOOTSTRAP} resamples, not "
                       "{number} (each is a fit of its own; a few thousand give 95 % intervals to about a percent)",
                       0)(given)
    if resamples == 1:
        raise UsageError("--bootstrap needs at least 2 resamples")
    return resamples


# ---- the declarations ---------------------------------------------------------------------------

_PARAMETER_UNITS = ("J/mol for enthalpies, J/(mol K) for entropies, the signal's unit for baselines and amplitudes; "
                    "or with a unit: 22kJ/mol, -5.3kcal/mol, -180J/mol/K, 60C")

DATA_OPTIONS: Tuple[Option, ...] = (
    Option("data", "data files (CSV or other text, .xlsx, JASCO or Cary exports); several files make one global fit",
           "source", metavar="FILE", repeat=True, file=True),
    Option("example", "use the example data shipped with kelvara: cooling (the default; "
           f"{EXAMPLE_TRUTH}), series (a concentration series of the same compound) or denaturation; give it "
           "twice for a joint fit (--example cooling --example series)", "source", metavar="NAME",
           choices=tuple(EXAMPLES), repeat=True, const="cooling"),
    Option("celsius", "temperature columns without a unit are in degrees Celsius (a header that says kelvin is an "
           "error); results are then shown in °C", "read", kind="switch"),
    Option("display_unit", "show temperatures (Te, plots, --curves) in K or °C, whatever the data came in (default: "
           "the data's own unit); never changes how the data are read", "run", choices=("K", "C")),
    Option("c_tot", "total concentration of a curve whose file states none, with its unit (5uM, 1e-5 M; mol/L "
           "without one, below 0.5); once per such curve or file, in order", "read", metavar="VALUE", repeat=True,
           unit="mol/L"),
    Option("path_length", "the cell's path length with its unit (1mm, 10 mm, 0.1cm; cm without one): each file's "
           "signal is scaled to a 1 cm cell; once for every file, or once per file in order", "read",
           metavar="LENGTH", repeat=True, unit="cm"),
    Option("vary", "what the curves vary: temperature (cooling/heating curves), concentration (a concentration "
           "series: one curve per temperature or per curve column value), solvent (a denaturation against the "
           "good-solvent fraction), time (traces after a jump, a mixing or a seeding); default: told from the file",
           "read", choices=("auto", "temperature", "concentration", "solvent", "time"), default="auto"),
    Option("temperature", "temperature of a concentration series, denaturation or time trace whose file has no "
           "temperature column: kelvin, or with a unit (293.15, 20C)", "read", metavar="VALUE", unit="K"),
    Option("start_temperature", "time traces that start from the equilibrium at this temperature (a temperature "
           "jump): kelvin, or with a unit (40C)", "read", metavar="VALUE", unit="K"),
    Option("dilution", "time traces that start from an equilibrium diluted this many times at time 0 (a "
           "stopped-flow mix of 1 + 2.5 is 3.5), at --start-temperature or the traces' own", "read",
           metavar="RATIO"),
    Option("seeds", "time traces seeded at time 0 with this concentration of aggregates (their ends), e.g. 10nM; "
           "the seeds' monomers are part of c_tot", "read", metavar="CONC", unit="mol/L"),
    Option("temperature_column", "the temperature column: its header, its header's first word, or its 1-based "
           "position (the way into a file without a header)", "read", metavar="NAME"),
    Option("signal_column", "the signal column: its header, its header's first word, or its 1-based position (the "
           "way into a file without a header); repeated, each is a channel of the same samples (CD, HT, UV), "
           "fitted together", "read", metavar="NAME", repeat=True, parse=_signal_columns),
    Option("concentration_column", "the concentration column: its header, its header's first word, or its 1-based "
           "position (the way into a file without a header)", "read", metavar="NAME"),
    Option("curve_column", "the curve column: its header, its header's first word, or its 1-based position (the "
           "way into a file without a header)", "read", metavar="NAME"),
    Option("solvent_column", "the solvent column: its header, its header's first word, or its 1-based position "
           "(the way into a file without a header): the fraction of good solvent, 0 to 1 (or % in its header)",
           "read", metavar="NAME"),
    Option("decimal", "the decimal mark (default: detected)", "read", choices=(".", ",")),
    Option("sheet", "the sheet of an Excel file, by name (any case) or number (default: the first sheet holding a "
           "table of numbers)", "read", metavar="NAME"),
    Option("range", "fit only the points within a range of temperatures, e.g. 5:85C (an end may be open, :85C), or "
           "of concentrations for a series, e.g. 1uM:50uM", "read", metavar="LOW:HIGH", once=True),
    Option("exclude", "leave out the point nearest to a value (62.5C) or the points within a range (60:64C), of "
           "every curve or of one ('62.5C@10 µM', by its label); repeat for more", "read",
           metavar="VALUE or LOW:HIGH", repeat=True),
    Option("blank", "a reference measured over the same temperatures (the buffer), subtracted from every curve, "
           "interpolated at its temperatures", "read", metavar="FILE", file=True),
    Option("blank_column", "a column beside the signal (the buffer's cell), subtracted from it row by row", "read",
           metavar="NAME or N"),
    Option("wavelength", "of a table of spectra (columns headed by wavelengths, or a wavelength column beside "
           "columns headed by temperatures): the wavelength to read, e.g. 600nm, at the nearest measured; repeat "
           "for several, read as channels of the same samples", "read", metavar="NM", repeat=True, unit="nm"),
    Option("segment", "where a curve's temperature goes down and up again (a ramp in one file, a Cary export), the "
           "stages to fit (default: all)", "read", choices=("all", "cooling", "heating"), default="all"),
)

FIT_OPTIONS: Tuple[Option, ...] = (
    Option("nuc_size", "nucleus size of cooperative_n, or a range A:B to scan (default 2; sizes 2 to 100)", "fit",
           metavar="N or A:B", parse=_nuc_size),
    Option("fix", f"fix a parameter ({_PARAMETER_UNITS})", "fit", metavar="NAME=VALUE", repeat=True,
           parse=_parameters("fix")),
    Option("free", "free a parameter that is fixed unless freed: delta_s_nuc, the entropy of nucleation of the "
           "cooperative models (0 by default)", "fit", metavar="NAME", repeat=True),
    Option("bound", f"bound a parameter ({_PARAMETER_UNITS})", "fit", metavar="NAME=LO:HI", repeat=True,
           parse=_bounds, keyword="bounds"),
    Option("start", f"starting value of a parameter ({_PARAMETER_UNITS})", "fit", metavar="NAME=VALUE", repeat=True,
           parse=_parameters("start")),
    Option("shared_amplitude", "one amplitude for all curves", "fit", kind="switch"),
    Option("shared_baseline", "one monomer baseline for all curves", "fit", kind="switch"),
    Option("baseline_slope", "let the monomer baseline slope in T (by default the data choose)", "fit",
           kind="either", negative_help="keep the monomer baseline flat in T"),
    Option("aggregate_slope", "let the aggregated state's signal slope in T (by default the data choose)", "fit",
           kind="either", negative_help="keep the aggregated state's signal flat in T"),
    Option("species_signals", "the models with a nucleus: oligomers up to the nucleus give a signal of their own "
           "(oligomer_amplitude), the amplitude is the polymers' (by default the data choose for cooperative_n)",
           "fit", kind="either", negative_help="one signal for every aggregate"),
    Option("signal_model", "what the amplitude multiplies: the fraction of molecules in aggregates, 1 - m/c_tot "
           "(default), or, for the isodesmic model, the stacked fraction K m (the equal-K convention of NMR "
           "dilution analyses such as Bindfit's)", "fit", choices=("aggregated", "stacked"), default="aggregated"),
    Option("extensive", "the signal is proportional to the concentration (raw absorbance, CD in mdeg): signal = "
           "c_tot (baseline + amplitude x fraction), per mol/L", "fit", kind="switch"),
    Option("shared", "a per-curve parameter of a phenomenological model that every curve shares (--shared h_e for "
           "vanderschoot)", "fit", metavar="NAME", repeat=True),
    Option("max_evaluations", "stop after N model evaluations", "fit", metavar="N", keyword="max_nfev",
           parse=_whole("--max-evaluations", 1, 2 ** 63 - 1, "--max-evaluations takes a positive whole number, not "
                        "{number}")),
)


def _output_options(what: str) -> Tuple[Option, ...]:
    return (
        Option("json", f"write {what} as JSON ('-' for standard output)", "output", metavar="FILE", file=True),
        Option("plot", "draw data, fitted curves and residuals (.png, .pdf or .svg)", "output", metavar="FILE",
               file=True),
        Option("aggregation_panel", "add a panel of the normalised degree of aggregation", "output", kind="switch"),
        Option("report", "write a self-contained HTML report for a paper's supporting information (inputs with "
               "SHA-256, the model and its papers, verdict, values rounded to their errors with intervals, figures, "
               "a methods paragraph, versions); it prints cleanly to PDF", "output", metavar="FILE.html", file=True),
        Option("figure_size", "draw --plot at a journal's size: single (one column, 8.5 cm), double (17.5 cm) or "
               "W,H in cm, with text of 7 to 9 pt", "output", metavar="SIZE"),
        Option("annotate", "put the main fitted values, rounded to their errors, in a box on the plot", "output",
               kind="switch"),
        Option("dpi", "pixels per inch of a PNG --plot (default 300 at a journal's --figure-size, 130 for a "
               "screen; 600 for line art), 72 to 1200", "output", metavar="N",
               parse=_whole("--dpi", 72, 1200, "--dpi {number}: give 72 to 1200 pixels per inch (600 for line art)")),
    )


MODEL = Option("model", f"the model (default: {DEFAULT_MODEL}); a solvent series defaults to denaturation", "run",
               choices=tuple(MODELS))
MODELS_COMPARED = Option(
    "models", "comma-separated models (default: " + DEFAULT_COMPARED["temperature"] + ", and two_pathways where the "
    "curves have several channels; " + DEFAULT_COMPARED["concentration"] + " for a concentration series; "
    + DEFAULT_COMPARED["solvent"] + " for a solvent series; " + DEFAULT_COMPARED["time"]
    + " for time traces)", "run", metavar="MODELS", parse=_models)
FIT_RUN: Tuple[Option, ...] = (
    Option("bootstrap", f"N residual-bootstrap resamples (at most {MAX_BOOTSTRAP})", "run", metavar="N",
           parse=_bootstrap),
    Option("seed", "seed of the bootstrap", "run", metavar="SEED",
           parse=_whole("--seed", 0, 2 ** 128 - 1, "--seed takes a whole number from 0 to 2**128 - 1, not {number}")),
    Option("profile", "profile-likelihood 95 % intervals of the thermodynamic parameters (each refitted along a "
           "grid; drawn in --plot)", "run", kind="switch"),
)
FIT_FILES: Tuple[Option, ...] = (
    Option("csv", "write parameters and derived values as CSV ('-' for standard output)", "output", metavar="FILE",
           file=True),
    Option("results", "write parameters, derived values and per-curve tables with units in the headers: .xlsx (one "
           "sheet each) or .csv (as --csv)", "output", metavar="FILE", file=True),
    Option("curves", "write a tidy CSV of every point: curve, c_tot, temperature (in the unit shown), signal, "
           "fitted, residual, fraction, normalised degree of aggregation ('-' for standard output)", "output",
           metavar="FILE", file=True),
)

# The options of each command, in the order --help shows them.
OPTIONS: Dict[str, Tuple[Option, ...]] = {
    "read": DATA_OPTIONS + (Option("json", "write the same as JSON ('-' for standard output)", "output",
                                   metavar="FILE", file=True),),
    "fit": DATA_OPTIONS + (MODEL,) + FIT_OPTIONS + FIT_RUN + _output_options("the results") + FIT_FILES,
    "compare": DATA_OPTIONS + (MODELS_COMPARED,) + FIT_OPTIONS + _output_options("every model's results"),
}


def add_options(parser: argparse.ArgumentParser, options: Iterable[Option]) -> None:
    for option in options:
        option.add_to(parser)


def data_arguments(parser):
    add_options(parser, DATA_OPTIONS)


def fit_options_arguments(parser):
    add_options(parser, FIT_OPTIONS)


def output_arguments(parser, what):
    add_options(parser, _output_options(what))


def read_arguments(read):
    add_options(read, OPTIONS["read"])


def fit_arguments(fit):
    add_options(fit, OPTIONS["fit"])


def compare_arguments(compare):
    add_options(compare, OPTIONS["compare"])


# The arguments of each command, by its name.
COMMANDS = {"read": read_arguments, "fit": fit_arguments, "compare": compare_arguments}


def describe(command: str) -> List[Dict[str, Any]]:
    """The options of `command` that a form may give, as plain data."""
    return [option.describe() for option in OPTIONS[command] if not option.file]


# ---- what the analysis is given -----------------------------------------------------------------

@dataclass(frozen=True)
class Request:
    """What a command is asked to do: the value of every option of the
    command, typed and checked (`values`, by name; also as attributes), and
    the command line that asks for it (what a report says reproduces it)."""

    command: str
    values: Mapping[str, Any]
    command_line: str = ""

    def __getattr__(self, name: str) -> Any:
        values = self.__dict__.get("values", {})
        if name in values:
            return values[name]
        raise AttributeError(name)

    def keywords(self, to: str) -> Dict[str, Any]:
        """The values that go to `to` ("read": kelvara.io.read, "fit":
        kelvara.fit.FitOptions), under the names they have there."""
        return {option.keyword or option.name: self.values[option.name] for option in OPTIONS[self.command]
                if option.to == to}


def request(command: str, given: Mapping[str, Any], command_line: str = "") -> Request:
    """The Request of `command` for what was given, by option name (as the
    command line's parser or the app's fields give it: texts, lists of
    texts, True/False/None); bad values are a UsageError."""
    options = OPTIONS[command]
    values = {option.name: option.value(given.get(option.name)) for option in options}
    return Request(command, MappingProxyType(values), command_line)


def request_of(command: str, namespace: argparse.Namespace) -> Request:
    """The Request of the command line's parsed options."""
    return request(command, vars(namespace), getattr(namespace, "command_line", ""))


def given_fields(command: str, fields: Iterable[Tuple[str, str]], files: Sequence[str]) -> Dict[str, Any]:
    """What the app's form `fields` (name, value pairs, a name repeated for
    a repeated option) and uploaded `files` give, by option name, as the
    command line's parser would give it.  Unknown fields, fields that
    would name a file on the server, a field given twice that is not
    repeated, and a yes/no field with another value are UsageErrors."""
    if command not in OPTIONS:
        raise UsageError(f"unknown command {command!r}")
    options = {option.name: option for option in OPTIONS[command]}
    collected: Dict[str, List[str]] = {}
    for name, value in fields:
        collected.setdefault(name, []).append(value)
    given: Dict[str, Any] = {}
    for name, values in collected.items():
        option = options.get(name)
        if option is None or option.file:
            if name == "blank":
                raise UsageError("the field 'blank' would name a file on the server: a blank file is subtracted on "
                                 "the command line (--blank FILE); here, a blank column of the data (blank_column)")
            if option is not None or name in ("csv", "results", "curves", "help"):
                raise UsageError(f"the field {name!r} is not taken: the server writes every output itself, "
                                 "and data files are uploaded as 'files'")
            known = ", ".join(sorted(o.name for o in options.values() if not o.file))
            raise UsageError(f"unknown field {name!r}; the fields of {command} are files, {known}")
        given[name] = option.from_field(values)
    given["data"] = list(files)
    return given


def command_argv(command: str, given: Mapping[str, Any]) -> List[str]:
    """The command line that gives `given` (option name to what was given):
    the command, each option in the order given, then the files."""
    options = {option.name: option for option in OPTIONS[command]}
    argv = [command]
    for name, value in given.items():
        if name != "data":
            argv += options[name].argv(value)
    files = list(given.get("data") or ())
    return argv + ["--"] + files if files else argv
