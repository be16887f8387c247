"""kelvara fit and kelvara compare: one model, or several ranked, fitted to every curve of the data
files; the results as text, JSON, CSV, a table of every point and figures."""

from __future__ import annotations

import csv
import io
import math
import pathlib
import warnings
from dataclasses import dataclass
from typing import Any

from kelvara.cli.common import (
    DEFAULT_COMPARED,
    DEFAULT_MODEL,
    DEFAULT_MODELS,
    EXAMPLES,
    Command,
    FitFailed,
    UsageError,
    _check_figure_size,
    _check_outputs,
    _check_report,
    _data_arguments,
    _display_unit,
    _fit_arguments,
    _fit_module,
    _fit_options,
    _flush,
    _inputs,
    _output_arguments,
    _outputs,
    _plot,
    _report,
    _report_stream,
    _tell_reading,
    _varied,
    _write_json,
    read_data,
    write_atomic,
)
from kelvara.models import MODELS, PARAMETER_UNITS, unit_of


def run_fit(options):
    inputs = _inputs(options)
    targets = _check_outputs(inputs, _outputs(options, "json", "csv", "results", "curves", "plot", "report"))
    _check_report(options)
    _check_figure_size(options)
    if options.results and options.results != "-" and \
            pathlib.Path(options.results).suffix.lower() not in (".xlsx", ".csv"):
        raise UsageError(f"--results {options.results}: the results are written as .xlsx or .csv")
    analysis = analyse_fit(options, tell=_tell_reading)
    result, reading, unit = analysis.result, analysis.reading, analysis.unit

    # The files first: a reader that closes stdout early (| head) must not cost them.
    if options.json:
        _write_json(targets["--json"], result.to_dict(), inputs, reading)
    if options.csv:
        write_atomic(targets["--csv"], results_csv(result))
    if options.results:
        where = targets["--results"]
        xlsx = pathlib.Path(options.results).suffix.lower() == ".xlsx"
        write_atomic(where, results_xlsx(result, unit) if xlsx else results_csv(result))
    if options.curves:
        write_atomic(targets["--curves"], curves_csv(result, unit))
    if options.plot:
        _plot(targets["--plot"], lambda plot: fit_figure(plot, analysis, options))
    if options.report:
        _report(targets["--report"], lambda: fit_report(analysis, options))
    stream = _report_stream(targets)
    print(fit_text(analysis, options), file=stream)
    _flush(stream)
    if not result.ok:
        raise FitFailed(_problems_text(result))
    return 0


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
    fit_module, say = _fit_module(), _said(progress)
    if options.bootstrap and options.bootstrap < 2:
        raise UsageError("--bootstrap needs at least 2 resamples")
    keywords = _fit_options(options, options.model or DEFAULT_MODELS.get(options.vary, DEFAULT_MODEL))
    say("reading the files")
    reading = read_data(options)
    curves = reading.curves
    model = options.model or DEFAULT_MODELS[_varied(curves)]
    fit_module.check(curves, model, **keywords)  # bad options are one line, before anything else is said
    if tell:
        tell(reading)
    unit = _display_unit(options, reading)
    say(f"fitting the {model} model to {len(curves)} curves")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # non-convergence is in the verdict
        result = fit_module.fit(curves, model, **keywords)
    if options.bootstrap:
        total = options.bootstrap
        result.run_bootstrap(total, seed=options.seed, progress=progress and (
            lambda done, _: progress(f"bootstrap: {done} of {total} resamples")))
    if options.profile:
        say("profile likelihoods")
        result.profile()
    return Analysis(result, reading, _inputs(options), curves, unit)


def fit_text(analysis, options):
    """What `kelvara fit` prints: the data, the summary and the curve table."""
    result = analysis.result
    source = "example data" if options.example else ", ".join(options.data)
    lines = [f"{source}: {len(analysis.curves)} curves, {result.n_points} points"]
    lines += [f"({name}: made with {EXAMPLES[name][1]})" for name in dict.fromkeys(options.example or ())]
    lines += [result.summary(temperature_unit=analysis.unit), curve_table(result, analysis.unit)]
    return "\n".join(lines)


def fit_figure(plot, analysis, options):
    return plot.fit_figure(analysis.result, analysis.curves, celsius=analysis.unit == "°C",
                           aggregation=options.aggregation_panel, annotate=options.annotate,
                           size=options.figure_size)


def fit_report(analysis, options):
    from kelvara import report

    return report.fit_report(analysis.result, inputs=analysis.inputs, reading=analysis.reading,
                             command=options.command_line, figure_options={"celsius": analysis.unit == "°C"})


def _problems_text(result, name=""):
    kind = result.verdict.split(": ", 1)[1]
    lines = [f"the {name + ' ' if name else ''}fit is not to be trusted ({kind}):"]
    lines += [f"  - {problem}" for problem in result.problems]
    return "\n".join(lines)


def curve_table(result, unit="K"):
    """One line per curve: its label (whole: sample, stage, file), its
    conditions, baseline, amplitude and where it is half way (Te of a
    cooling curve, c50 of a series, f50 of a denaturation), temperatures in
    `unit` ("K" or "°C")."""
    from kelvara.units import rounded as _rounded

    def shown(value, style):
        return format(value, style) if value is not None and math.isfinite(value) else ""

    def temperature(kelvin):
        return None if kelvin is None else kelvin - 273.15 if unit == "°C" else kelvin

    def error(kind, i):
        """The standard error of curve i's baseline, amplitude or Te."""
        for name in (f"{kind}[{i}]", kind):
            found = result.parameters.get(name) or result.derived.get(name)
            if found is not None:
                return found.stderr
        return math.nan

    def rounded(value, kind, i):  # to two significant digits of its error, as the summary prints it
        return _rounded(value, error(kind, i), "1")[0] if value is not None and math.isfinite(value) else ""

    width = max([16] + [len(str(c.label)) + 2 for c in result.curves])
    if all(c.vary == "temperature" for c in result.curves):
        lines = [f"{'curve':{width}}{'c_tot (M)':>12}{'baseline':>12}{'amplitude':>12}{f'Te ({unit})':>10}"]
        for i, c in enumerate(result.curves):
            te = rounded(temperature(c.te), "Te" if f"Te[{i}]" in result.derived else "te", i)
            lines.append(f"{str(c.label):{width}}{c.c_tot:>12.4g}{rounded(c.baseline, 'baseline', i):>12}"
                         f"{rounded(c.amplitude, 'amplitude', i):>12}{te:>10}")
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


def results_csv(result):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    ends = ["profile_low", "profile_high", "bootstrap_low", "bootstrap_high"]
    writer.writerow(["kind", "name", "value", "stderr", "unit", "fixed", "low", "high"] + ends)

    def intervals(name):
        found = result.intervals(name)
        return [_cell(found[end]) if end in found else "" for end in ends]

    for p in result.parameters.values():
        writer.writerow(["parameter", p.name, _cell(p.value), "" if p.fixed else _cell(p.stderr), p.unit,
                         p.fixed, "", ""] + intervals(p.name))
    for d in result.derived.values():
        writer.writerow(["derived", d.name, _cell(d.value), _cell(d.stderr), d.unit, False, "", ""]
                        + intervals(d.name))
    for kind, intervals in (("profile", {p.name: (p.low, p.high) for p in (result.profiles or {}).values()}),
                            ("bootstrap", result.bootstrap or {})):
        for name, (low, high) in intervals.items():
            writer.writerow([f"{kind} interval", name, "", "", unit_of(name), False, _cell(low), _cell(high)]
                            + [""] * 4)
    for key in ("chi2", "reduced_chi2", "aic", "bic", "n_points"):
        writer.writerow(["statistic", key, _cell(getattr(result, key)), "", "", "", "", ""] + [""] * 4)
    writer.writerow(["verdict", "ok", result.ok, "", "", "", "", ""] + [""] * 4)
    for problem in result.problems:
        writer.writerow(["verdict", "problem", problem, "", "", "", "", ""] + [""] * 4)
    return out.getvalue()


def results_xlsx(result, unit="K"):
    """The results as an Excel workbook: parameters, derived values, one
    row per curve, statistics and the verdict, each on its own sheet, with
    units in the headers."""
    import pandas as pd

    def table(items, kind):
        rows = []
        for item in items:
            row = {"name": item.name, "value": item.value, "std. error": item.stderr, "unit": item.unit}
            if kind == "parameter":
                row["fixed"] = item.fixed
                row["at bound"] = item.at_bound
            row.update(result.intervals(item.name))
            rows.append(row)
        return pd.DataFrame(rows)

    per_curve = []
    for i, curve in enumerate(result.curves):
        misfit = curve.misfit_percent or {}
        per_curve.append({"curve": curve.label or f"curve {i}", "c_tot (mol/L)": curve.c_tot,
                          "temperature (K)": curve.temperature, "Te (K)": curve.te,
                          "baseline (signal)": curve.baseline, "amplitude (signal)": curve.amplitude,
                          "slope (signal/K)": curve.slope, "misfit RMS (% of signal change)": misfit.get("rms"),
                          "misfit largest (%)": misfit.get("max"), "noise alone (%)": misfit.get("noise")})
    statistics = pd.DataFrame([{"statistic": k, "value": getattr(result, k)}
                               for k in ("chi2", "reduced_chi2", "aic", "bic", "n_points", "nfev")])
    verdict = pd.DataFrame([{"verdict": result.verdict}] + [{"verdict": p} for p in result.problems]
                           + [{"verdict": f"note: {n}"} for n in result.notes])
    buffer = io.BytesIO()
    with pd.ExcelWriter(buffer, engine="openpyxl") as writer:
        for name, frame in (("parameters", table(result.parameters.values(), "parameter")),
                            ("derived", table(result.derived.values(), "derived")),
                            ("curves", pd.DataFrame(per_curve)), ("statistics", statistics), ("verdict", verdict)):
            frame.to_excel(writer, sheet_name=name, index=False)
    return buffer.getvalue()


def curves_csv(result, unit="K"):
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


def run_compare(options):
    inputs = _inputs(options)
    targets = _check_outputs(inputs, _outputs(options, "json", "plot", "report"))
    _check_report(options)
    _check_figure_size(options)
    analysis = analyse_compare(options, tell=_tell_reading)
    comparison = analysis.result
    if options.json:
        _write_json(targets["--json"], comparison.to_dict(), inputs, analysis.reading)
    if options.plot:
        _plot(targets["--plot"], lambda plot: compare_figure(plot, analysis, options))
    if options.report:
        _report(targets["--report"], lambda: compare_report(analysis, options))
    stream = _report_stream(targets)
    print(comparison.summary(temperature_unit=analysis.unit), file=stream)
    _flush(stream)
    if comparison.best is None:
        raise FitFailed(compare_failure(comparison))
    return 0


def compare_failure(comparison):
    return "no model fits well enough to be ranked best:\n" + "\n".join(
        f"  - {r.model}: {problem}" for r in comparison.results for problem in r.problems)


def analyse_compare(options, tell=None, progress=None):
    """Read the data files of `options` and fit every model to them as
    `kelvara compare` does; `progress(text)` hears each model in turn."""
    fit_module, say = _fit_module(), _said(progress)
    models = [m.strip() for m in (options.models or "").split(",") if m.strip()]
    unknown = [m for m in models if m not in MODELS]
    if unknown:
        raise UsageError(f"unknown model {unknown[0]!r}; the models are {', '.join(MODELS)}")
    keywords = _fit_options(options, None)
    if options.nuc_size is not None and options.models is not None and "cooperative_n" not in models:
        raise UsageError("--nuc-size applies to the cooperative_n model, which --models does not name")
    say("reading the files")
    reading = read_data(options)
    curves = reading.curves
    if options.models is None:
        models = DEFAULT_COMPARED[_varied(curves)].split(",")
    if tell:
        tell(reading)
    unit = _display_unit(options, reading)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        comparison = fit_module.compare(curves, models, progress=progress and (
            lambda model, i, n: progress(f"fitting the {model} model ({i + 1} of {n})")), **keywords)
    return Analysis(comparison, reading, _inputs(options), curves, unit)


def compare_figure(plot, analysis, options):
    return plot.comparison_figure(analysis.result, analysis.curves, celsius=analysis.unit == "°C",
                                  size=options.figure_size)


def compare_report(analysis, options):
    from kelvara import report

    return report.comparison_report(analysis.result, inputs=analysis.inputs, reading=analysis.reading,
                                    command=options.command_line)


def _fit_command_arguments(fit):
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
    fit.add_argument("--results", metavar="FILE", help="write parameters, derived values and per-curve tables "
                     "with units in the headers: .xlsx (one sheet each) or .csv (as --csv)")
    fit.add_argument("--curves", metavar="FILE", help="write a tidy CSV of every point: curve, c_tot, "
                     "temperature (in the unit shown), signal, fitted, residual, fraction, normalised degree of "
                     "aggregation ('-' for standard output)")


FIT = Command(
    "fit", _fit_command_arguments, run_fit,
    help="fit one model globally to every curve of the data files",
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



def _compare_command_arguments(compare):
    _data_arguments(compare)
    compare.add_argument("--models", default=None,
                         help="comma-separated models (default: " + DEFAULT_COMPARED["temperature"]
                         + "; " + DEFAULT_COMPARED["concentration"] + " for a concentration series; "
                         + DEFAULT_COMPARED["solvent"] + " for a solvent series)")
    _fit_arguments(compare)
    _output_arguments(compare, "every model's results")


COMPARE = Command(
    "compare", _compare_command_arguments, run_compare,
    help="fit several models and rank them by AIC and BIC",
    description="Fit every model (or those of --models) to the same curves and rank them by "
    "AIC, with BIC alongside; fits that are not ok come last and are never ranked best.",
)
