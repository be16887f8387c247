"""The analysis both faces run: the command line (kelvara fit, compare,
read) and the app turn their options into the same calls here: read the
data files, fit one model or compare several (with the bootstrap and
profiles asked for), and say what came of it as text, JSON, figures and the
report.  The options are a `kelvara.arguments.Request`: every value typed
and checked by its declaration, the reading's and the fit's as keywords;
bad ones are a UsageError (a KelvaraError), a fit that is not to be trusted
a FitFailed."""

from __future__ import annotations

import json
import pathlib
import warnings
from dataclasses import dataclass
from typing import Any

from kelvara.errors import KelvaraError
from kelvara.models import EXPERIMENTS, MODELS, sized_models, unit_of
from kelvara.tables import curve_table
from kelvara.units import quantity, split_unit

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
DEFAULT_MODELS = {kind: m.name for m in MODELS.values() for kind in m.default_for}

DEFAULT_MODEL = DEFAULT_MODELS["temperature"]

DEFAULT_COMPARED = {kind: ",".join(m.name for m in MODELS.values() if kind in m.compared_for)
                    for kind in EXPERIMENTS}


def default_compared(curves):
    """The models compared unless named: those of what the curves vary,
    and, for curves against temperature with several channels of the same
    samples, the models whose pathways each have a signal of their own
    (one channel seldom tells two pathways from one)."""
    kinds = {c.vary for c in curves}
    kind = varied(curves)
    # Curves of several kinds (cooling curves beside time traces): the models that fit every one of them.
    models = [m.name for m in MODELS.values() if kinds <= set(m.compared_for)]
    if not models:
        raise UsageError("no model is compared on " + " beside ".join(EXPERIMENTS[k] for k in sorted(kinds)) +
                         " unless named: give them with --models")
    if kind == "temperature" and len({c.signal_name for c in curves}) > 1:
        models += [m.name for m in MODELS.values() if m.pathways and m.name not in models]
    return models


class UsageError(KelvaraError):
    """Bad input: reported in one line, exit status 2."""


class FitFailed(Exception):
    """A fit that is not to be trusted: exit status 1."""


def inputs_of(options):
    """The data files the options name (or the example's)."""
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
        from kelvara.io import ReadOptions, read
    except ImportError:
        raise UsageError("reading data needs pandas: python -m pip install 'kelvara[fit]'") from None
    return read(inputs_of(options), ReadOptions(**options.keywords("read")))


def display_unit(options, reading):
    """The unit temperatures are shown in: --display-unit, else the one the
    data came in."""
    chosen = getattr(options, "display_unit", None)
    if chosen:
        return "°C" if chosen.upper() in ("C", "°C") else "K"
    return reading.temperature_unit


def load_fit():
    try:
        import kelvara.fit as fit_module
    except ImportError:
        raise UsageError("fitting needs NumPy and SciPy: python -m pip install 'kelvara[fit]'") from None
    return fit_module


def varied(curves):
    """What the curves vary, for the default model: a solvent series, a
    concentration series, or (also when mixed) temperature."""
    kinds = {c.vary for c in curves}
    return kinds.pop() if len(kinds) == 1 else "temperature"


def assignments(items, what):
    out = {}
    for item in items:
        name, sep, value = item.partition("=")
        if not sep or not name:
            raise UsageError(f"--{what} takes NAME=VALUE, not {item!r}")
        out[name.strip()] = value.strip()
    return out


def value_of(name, text, what):
    """A parameter's value from the command line, in the unit it is
    reported in: a bare number is in that unit already; "14kJ/mol",
    "-0.18 kJ/(mol K)", "60C" are converted; a unit of another quantity is
    an error."""
    try:
        return quantity(text, unit_of(name), f"{what} {name}")
    except ValueError as error:
        raise UsageError(str(error)) from None


def bound_of(name, text):
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
    return (value_of(name, low or "-inf", "--bound"), value_of(name, high or "inf", "--bound"))


# The most bootstrap resamples a fit takes: each is a refit.
MAX_BOOTSTRAP = 100000


def check_figure(options):
    """A figure size the figure can be drawn at, before any work (the
    command line and the app; --dpi is checked by its declaration)."""
    if getattr(options, "figure_size", None) is not None:
        from kelvara.layout import figure_size

        try:
            figure_size(options.figure_size)
        except ValueError as error:
            raise UsageError(f"--figure-size: {error}") from None


def fit_keywords(options, model):
    """The keyword arguments of kelvara.fit.fit that the options give, the
    nucleus size checked against `model` (None: any)."""
    from kelvara.sizes import nuc_sizes

    keywords = options.keywords("fit")
    nuc_sizes(keywords["nuc_size"], model, "--nuc-size")
    return keywords


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


@dataclass
class Analysis:
    """What a fit or a comparison made of the data files: the result (a
    FitResult or a Comparison), how the files were read, the curves, and the
    unit temperatures are shown in."""

    result: Any
    reading: Any
    inputs: list
    curves: list
    unit: str


def _said(progress):
    return progress or (lambda text: None)


def analyse_fit(options, tell=None, progress=None):
    """Read the data files of `options` and fit them as `kelvara fit` does
    (with the bootstrap and profiles asked for); `tell(reading)` hears how
    the files were read, `progress(text)` each stage."""
    fit_module, say = load_fit(), _said(progress)
    keywords = fit_keywords(options, options.model or DEFAULT_MODELS.get(options.vary, DEFAULT_MODEL))
    say("reading the files")
    reading = read_data(options)
    curves = reading.curves
    model = options.model or DEFAULT_MODELS[varied(curves)]
    fit_module.check(curves, model, **keywords)  # bad options are one line, before anything else is said
    if tell:
        tell(reading)
    unit = display_unit(options, reading)
    say(f"fitting the {model} model to {len(curves)} curves")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # non-convergence is in the verdict
        result = fit_module.fit(curves, model, **keywords)
    if getattr(options, "range", None):
        from kelvara.fit.verdict import with_window_cure

        result.problems = with_window_cure(result.problems, options.range)
    if options.bootstrap:
        total = options.bootstrap
        result.run_bootstrap(total, seed=options.seed, progress=progress and (
            lambda done, _: progress(f"bootstrap: {done} of {total} resamples")))
    if options.profile:
        say("profile likelihoods")
        result.profile()
    return Analysis(result, reading, inputs_of(options), curves, unit)


def fit_text(analysis, options):
    """What `kelvara fit` prints: the data, the summary and the curve table."""
    result = analysis.result
    source = "example data" if options.example else ", ".join(options.data)
    lines = [f"{source}: {len(analysis.curves)} curves, {result.n_points} points"]
    lines += [f"({name}: made with {EXAMPLES[name][1]})" for name in dict.fromkeys(options.example or ())]
    lines += [result.summary(temperature_unit=analysis.unit), curve_table(result, analysis.unit)]
    return "\n".join(lines)


def fit_figure(plot, analysis, options):
    return _resolution(plot.fit_figure(analysis.result, analysis.curves, celsius=analysis.unit == "°C",
                                       aggregation=options.aggregation_panel, annotate=options.annotate,
                                       size=options.figure_size), options)


def _resolution(figure, options):
    """A figure to be written at --dpi, where given."""
    if getattr(options, "dpi", None):
        figure.kelvara_dpi = options.dpi
    return figure


def fit_report(analysis, options):
    from kelvara import report

    return report.fit_report(analysis.result, inputs=analysis.inputs, reading=analysis.reading,
                             command=options.command_line, figure_options={"celsius": analysis.unit == "°C"})


def problems_text(result, name=""):
    kind = result.verdict.split(": ", 1)[1]
    lines = [f"the {name + ' ' if name else ''}fit is not to be trusted ({kind}):"]
    lines += [f"  - {problem}" for problem in result.problems]
    return "\n".join(lines)


def compare_failure(comparison):
    return "no model fits well enough to be ranked best:\n" + "\n".join(
        f"  - {r.model}: {problem}" for r in comparison.results for problem in r.problems)


def analyse_compare(options, tell=None, progress=None):
    """Read the data files of `options` and fit every model to them as
    `kelvara compare` does; `progress(text)` hears each model in turn."""
    fit_module, say = load_fit(), _said(progress)
    models = list(options.models or ())
    keywords = fit_keywords(options, None)
    if options.nuc_size is not None and options.models is not None and not any(
            MODELS[m].takes_nuc_size for m in models if m in MODELS):
        raise UsageError(f"--nuc-size applies to the {sized_models()} model, which --models does not name")
    say("reading the files")
    reading = read_data(options)
    curves = reading.curves
    if options.models is None:
        models = default_compared(curves)
    if tell:
        tell(reading)
    unit = display_unit(options, reading)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        comparison = fit_module.compare(curves, models, progress=progress and (
            lambda model, i, n: progress(f"fitting the {model} model ({i + 1} of {n})")), **keywords)
    return Analysis(comparison, reading, inputs_of(options), curves, unit)


def compare_figure(plot, analysis, options):
    return _resolution(plot.comparison_figure(analysis.result, analysis.curves, celsius=analysis.unit == "°C",
                                              size=options.figure_size), options)


def compare_report(analysis, options):
    from kelvara import report

    return report.comparison_report(analysis.result, inputs=analysis.inputs, reading=analysis.reading,
                                    command=options.command_line, figure_options={"celsius": analysis.unit == "°C"})
