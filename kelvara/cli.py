"""The kelvara command: model curves, global fits of CSV data, comparisons.

    kelvara curve cooperative --temps 280:380:0.5 --delta_h -95000 --delta_s -180 \\
        --delta_h_nuc 22000 --c_tot 1e-5
    kelvara fit DATA.csv --model cooperative --plot fit.png
    kelvara compare DATA.csv
    kelvara fit --example

Bad input gets one line on stderr and exit status 2; a fit that is not ok
(not converged, a parameter not determined, no transition in the data,
structure left in the residuals, Te far outside the data), exit status 1
with the reasons on stderr.
"""

from __future__ import annotations

import argparse
import csv
import inspect
import io
import json
import math
import pathlib
import re
import sys
import warnings

from kelvara import _core

EXAMPLE = pathlib.Path(__file__).resolve().parent / "data" / "example_cooling.csv"
EXAMPLE_TRUTH = "delta_h = -95000 J/mol, delta_s = -180 J/(mol K), delta_h_nuc = 22000 J/mol"

MODEL_NAMES = ("isodesmic", "isodesmic_direct", "cooperative", "cooperative_n", "coop_iso")
TEMPERATURE_FUNCTIONS = {
    "isodesmic": "temp_isodesmic_model",
    "isodesmic_direct": "temp_isodesmic_model_direct",
    "cooperative": "temp_cooperative_model",
    "cooperative_n": "temp_cooperative_model_n",
    "coop_iso": "temp_coop_iso_model",
}
CONCENTRATION_FUNCTIONS = {
    "isodesmic": "isodesmic_model",
    "isodesmic_direct": "isodesmic_model_direct",
    "cooperative": "cooperative_model",
    "cooperative_n": "cooperative_model_n",
    "coop_iso": "coop_iso_model",
}
# Every parameter of the _core functions that a user sets, with its unit.
PARAMETERS = {
    "delta_h": "J/mol", "delta_s": "J/(mol K)", "delta_h_nuc": "J/mol",
    "delta_h_iso": "J/mol", "delta_s_iso": "J/(mol K)", "delta_h_coop": "J/mol",
    "delta_s_coop": "J/(mol K)", "delta_h_nuc_coop": "J/mol", "c_tot": "mol/L",
    "k": "L/mol", "k_iso": "L/mol", "k_coop": "L/mol", "sigma": "dimensionless",
}

class UsageError(Exception):
    """Bad input: reported in one line, exit status 2."""


class FitFailed(Exception):
    """A fit that is not to be trusted: exit status 1."""


class Parser(argparse.ArgumentParser):
    """argparse, with its errors in one line."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


_NEGATIVE_NUMBER = re.compile(r"^-(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$|^-inf$", re.IGNORECASE)


def _join_negative_values(argv):
    """`--delta_h -1e5` as `--delta_h=-1e5`: argparse would take -1e5 for an
    option (it knows negative numbers only without an exponent)."""
    out = []
    for token in argv:
        if out and _NEGATIVE_NUMBER.match(token) and out[-1].startswith("--") and "=" not in out[-1]:
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
        return 0


def build_parser():
    parser = Parser(
        prog="kelvara",
        description="Equilibrium models of supramolecular polymerisation: model curves, "
        "global fits of measured cooling/heating curves, model comparison.",
    )
    commands = parser.add_subparsers(title="commands", metavar="COMMAND")

    curve = commands.add_parser(
        "curve", help="evaluate a model over temperatures or concentrations, as CSV",
        description="Evaluate a model over a range of temperatures (the temperature models, "
        "parameters delta_*) or of total concentrations (the concentration models, parameters "
        "k*, sigma) and write CSV. Parameters are in SI units: J/mol, J/(mol K), mol/L, L/mol.",
    )
    curve.add_argument("model", choices=MODEL_NAMES)
    where = curve.add_mutually_exclusive_group(required=True)
    where.add_argument("--temps", metavar="START:STOP:STEP", help="temperatures (kelvin, or --celsius)")
    where.add_argument("--conc", metavar="START:STOP:STEP", help="total concentrations (mol/L)")
    where.add_argument("--log-conc", metavar="START:STOP:POINTS",
                       help="total concentrations spaced evenly on a log scale (mol/L)")
    curve.add_argument("--celsius", action="store_true", help="--temps and the output in degrees Celsius")
    for name, unit in PARAMETERS.items():
        curve.add_argument(f"--{name}", type=float, metavar="VALUE", help=unit)
    curve.add_argument("--scaler", type=float, default=1.0, help="multiplies every value (default 1)")
    curve.add_argument("--nuc_size", "--nuc-size", dest="nuc_size", type=int, help="nucleus size (cooperative_n)")
    curve.add_argument("--num_itr", "--num-itr", dest="num_itr", type=int, default=100,
                       help="bisection steps of the concentration models (default 100)")
    curve.add_argument("--out", help="write the CSV here instead of to stdout")
    curve.set_defaults(handler=run_curve)

    fit = commands.add_parser(
        "fit", help="fit one model globally to every curve of a CSV file",
        description="Fit one model globally to every curve in a CSV file (a temperature, a signal "
        "and a concentration column; one curve per concentration, or per value of a 'curve' "
        "column). Prints values with standard errors, derived values (Te per curve, K and dG at "
        "298.15 K) and fit statistics.",
    )
    _data_arguments(fit)
    fit.add_argument("--model", default="cooperative", choices=MODEL_NAMES)
    fit.add_argument("--nuc-size", "--nuc_size", dest="nuc_size", metavar="N or A:B",
                     help="nucleus size of cooperative_n, or a range A:B to scan (default 2)")
    fit.add_argument("--fix", action="append", default=[], metavar="NAME=VALUE", help="fix a parameter")
    fit.add_argument("--bound", action="append", default=[], metavar="NAME=LO:HI", help="bound a parameter")
    fit.add_argument("--start", action="append", default=[], metavar="NAME=VALUE", help="starting value")
    fit.add_argument("--shared-amplitude", action="store_true", help="one amplitude for all curves")
    fit.add_argument("--shared-baseline", action="store_true", help="one monomer baseline for all curves")
    fit.add_argument("--baseline-slope", action="store_true", help="let the monomer baseline slope in T")
    fit.add_argument("--max-evaluations", type=int, default=None, metavar="N",
                     help="stop the optimiser after N model evaluations")
    fit.add_argument("--bootstrap", type=int, default=0, metavar="N", help="N residual-bootstrap resamples")
    fit.add_argument("--seed", type=int, default=None, help="seed of the bootstrap")
    fit.add_argument("--profile", action="store_true",
                     help="profile-likelihood 95 %% intervals of the thermodynamic parameters "
                     "(each refitted along a grid; drawn in --plot)")
    fit.add_argument("--json", metavar="FILE", help="write the results as JSON")
    fit.add_argument("--csv", metavar="FILE", help="write parameters and derived values as CSV")
    fit.add_argument("--plot", metavar="FILE", help="draw data, fitted curves and residuals (PNG)")
    fit.set_defaults(handler=run_fit)

    compare = commands.add_parser(
        "compare", help="fit several models and rank them by AIC and BIC",
        description="Fit every model (or those of --models) to the same curves and rank them by "
        "AIC, with BIC alongside.",
    )
    _data_arguments(compare)
    compare.add_argument("--models", default="isodesmic,cooperative,coop_iso",
                         help="comma-separated models (default: isodesmic,cooperative,coop_iso)")
    compare.set_defaults(handler=run_compare)
    return parser


def _data_arguments(parser):
    parser.add_argument("data", nargs="*", metavar="FILE",
                        help="data files (CSV or other text, .xlsx, JASCO or Cary exports); "
                        "several files make one global fit")
    parser.add_argument("--example", action="store_true",
                        help=f"use the example data shipped with kelvara ({EXAMPLE_TRUTH})")
    parser.add_argument("--celsius", action="store_true",
                        help="temperature columns without a unit are in degrees Celsius")
    parser.add_argument("--c-tot", "--c_tot", dest="c_tot", action="append", metavar="VALUE",
                        help="total concentration of a curve whose file states none, with an optional "
                        "unit (5uM, 1e-5 M; mol/L without one); once per such curve or file, in order")
    for role in ("temperature", "signal", "concentration", "curve"):
        parser.add_argument(f"--{role}-column", metavar="NAME",
                            help=f"the {role} column's header (or its first word)")
    parser.add_argument("--decimal", choices=(".", ","), help="the decimal mark (default: detected)")
    parser.add_argument("--sheet", metavar="NAME", help="the sheet of an Excel file (default: the first)")
    parser.add_argument("--segment", choices=("all", "cooling", "heating"), default="all",
                        help="stages of a Cary export to fit (default: all)")


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
        ratio = (stop / start) ** (1.0 / (count - 1))
        return [start * ratio**i for i in range(count)]
    if step <= 0 or stop < start or not all(map(math.isfinite, (start, stop, step))):
        raise UsageError(f"{what}: need START <= STOP and a positive STEP, got {text!r}")
    count = int(math.floor((stop - start) / step + 1e-9)) + 1
    if count > 10_000_000:
        raise UsageError(f"{what}: {count} points is too many")
    return [start + i * step for i in range(count)]


def run_curve(options):
    temperature_model = options.temps is not None
    name = (TEMPERATURE_FUNCTIONS if temperature_model else CONCENTRATION_FUNCTIONS)[options.model]
    function = getattr(_core, name)
    # The function's own parameters, apart from the one the range fills.
    parameters = [p for p in inspect.signature(function).parameters if p not in ("temp", "conc", "x")]
    if options.celsius and not temperature_model:
        raise UsageError("--celsius applies to --temps")
    if temperature_model:
        axis = parse_range(options.temps, "--temps")
    elif options.log_conc:
        axis = parse_range(options.log_conc, "--log-conc", points=True)
    else:
        axis = parse_range(options.conc, "--conc")
    unused = [p for p in (*PARAMETERS, "nuc_size") if getattr(options, p) is not None and p not in parameters]
    if unused:
        raise UsageError(f"{options.model} ({name}) takes no --{unused[0]}")
    given = {p: getattr(options, p, None) for p in parameters}
    missing = [p for p, value in given.items() if value is None]
    if missing:
        raise UsageError(f"{options.model} needs --{' --'.join(missing)}")

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
    _write(out.getvalue(), options.out)
    return 0


def _write(text, path):
    if path is None:
        sys.stdout.write(text)
        return
    try:
        pathlib.Path(path).write_text(text)
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror}") from None


# --- reading data --------------------------------------------------------------


def read_curves(options):
    """The curves of the data files (or of the example), as kelvara.fit.Curve;
    notes on what was dropped go to stderr."""
    paths = [EXAMPLE] if options.example else list(options.data)
    if not paths:
        raise UsageError("give one or more data files, or --example")
    if options.example and options.data:
        raise UsageError("give data files or --example, not both")
    try:
        from kelvara.io import read_curves as read
    except ImportError:
        raise UsageError("reading data needs pandas: python -m pip install 'kelvara[fit]'") from None
    notes = []
    curves = read(
        paths, c_tot=options.c_tot, celsius=options.celsius,
        temperature_column=options.temperature_column, signal_column=options.signal_column,
        concentration_column=options.concentration_column, curve_column=options.curve_column,
        decimal=options.decimal, sheet=options.sheet, segment=options.segment, notes=notes,
    )
    for note in notes:
        print(f"kelvara: note: {note}", file=sys.stderr)
    return curves


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


def _number(text, what):
    try:
        return float(text)
    except ValueError:
        raise UsageError(f"{what}: {text!r} is not a number") from None


def run_fit(options):
    fit_module = _fit_module()
    curves = read_curves(options)
    fix = {n: _number(v, f"--fix {n}") for n, v in _assignments(options.fix, "fix").items()}
    start = {n: _number(v, f"--start {n}") for n, v in _assignments(options.start, "start").items()}
    bounds = {}
    for name, text in _assignments(options.bound, "bound").items():
        low, sep, high = text.partition(":")
        if not sep:
            raise UsageError(f"--bound {name} takes LO:HI, not {text!r}")
        bounds[name] = (_number(low or "-inf", f"--bound {name}"), _number(high or "inf", f"--bound {name}"))
    nuc_size = None
    if options.nuc_size is not None:
        if options.model != "cooperative_n":
            raise UsageError(f"--nuc-size applies to the cooperative_n model, not {options.model}")
        low, sep, high = options.nuc_size.partition(":")
        try:
            nuc_size = range(int(low), int(high) + 1) if sep else int(low)
        except ValueError:
            raise UsageError(f"--nuc-size takes N or A:B, not {options.nuc_size!r}") from None

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # non-convergence is reported below
        result = fit_module.fit(
            curves, options.model, nuc_size=nuc_size, shared_amplitude=options.shared_amplitude,
            shared_baseline=options.shared_baseline, baseline_slope=options.baseline_slope,
            start=start, fix=fix, bounds=bounds, max_nfev=options.max_evaluations,
        )
    if options.bootstrap:
        if options.bootstrap < 2:
            raise UsageError("--bootstrap needs at least 2 resamples")
        result.run_bootstrap(options.bootstrap, seed=options.seed)
    if options.profile:
        result.profile()

    source = "example data" if options.example else ", ".join(options.data)
    print(f"{source}: {len(curves)} curves, {result.n_points} points")
    if options.example:
        print(f"(made with {EXAMPLE_TRUTH})")
    print(result.summary())
    print(_curve_table(result))
    if options.json:
        _write(json.dumps(result.to_dict(), indent=2, allow_nan=False) + "\n", options.json)
    if options.csv:
        _write(_results_csv(result), options.csv)
    if options.plot:
        plot(result, curves, options.plot)
    if not result.ok:
        raise FitFailed(_problems_text(result))
    return 0


def _problems_text(result, name=""):
    lines = [f"the {name + ' ' if name else ''}fit is not to be trusted:"]
    lines += [f"  - {problem}" for problem in result.problems]
    return "\n".join(lines)


def _curve_table(result):
    lines = [f"{'curve':16}{'c_tot (M)':>12}{'baseline':>12}{'amplitude':>12}{'Te (K)':>10}"]
    for c in result.curves:
        te = f"{c.te:10.2f}" if c.te is not None else f"{'':>10}"
        lines.append(f"{str(c.label):16}{c.c_tot:>12.4g}{c.baseline:>12.5g}{c.amplitude:>12.5g}{te}")
    return "\n".join(lines)


def _results_csv(result):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["kind", "name", "value", "stderr", "fixed"])
    for p in result.parameters.values():
        writer.writerow(["parameter", p.name, repr(p.value), "" if p.fixed else repr(p.stderr), p.fixed])
    for d in result.derived.values():
        writer.writerow(["derived", d.name, repr(d.value), repr(d.stderr), False])
    for key in ("chi2", "reduced_chi2", "aic", "bic", "n_points"):
        writer.writerow(["statistic", key, repr(getattr(result, key)), "", ""])
    writer.writerow(["verdict", "ok", result.ok, "", ""])
    for problem in result.problems:
        writer.writerow(["verdict", "problem", problem, "", ""])
    return out.getvalue()


def plot(result, curves, path):
    try:
        from kelvara.plot import save_fit_figure
    except ImportError:
        raise UsageError("--plot needs matplotlib: python -m pip install 'kelvara[fit]'") from None
    try:
        save_fit_figure(result, curves, path)
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror}") from None


# --- kelvara compare ------------------------------------------------------------


def run_compare(options):
    fit_module = _fit_module()
    models = [m.strip() for m in options.models.split(",") if m.strip()]
    unknown = [m for m in models if m not in MODEL_NAMES]
    if unknown:
        raise UsageError(f"unknown model {unknown[0]!r}; the models are {', '.join(MODEL_NAMES)}")
    curves = read_curves(options)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        comparison = fit_module.compare(curves, models)
    print(comparison.summary())
    if comparison.best is None:
        raise FitFailed("no model fits well enough to be ranked best:\n" + "\n".join(
            f"  - {r.model}: {problem}" for r in comparison.results for problem in r.problems))
    return 0


if __name__ == "__main__":
    sys.exit(main())
