"""kelvara fit and kelvara compare: one model, or several ranked, fitted to every curve of the data
files; the results as text, JSON, CSV, a table of every point and figures."""

from __future__ import annotations

import pathlib

from kelvara.analysis import (  # noqa: F401  (named here as they always were)
    Analysis,
    FitFailed,
    UsageError,
    analyse_compare,
    analyse_fit,
    compare_failure,
    compare_figure,
    compare_report,
    fit_figure,
    fit_report,
    fit_text,
    inputs_of,
    problems_text,
)
from kelvara.arguments import compare_arguments, fit_arguments
from kelvara.cli.common import (
    Command,
    check_figure_size,
    check_outputs,
    check_report,
    flush_stream,
    output_options,
    write_plot,
    write_report,
    report_stream,
    say,
    tell_reading,
    write_json,
    write_atomic,
)
from kelvara.models import MODELS
from kelvara.quantities import PARAMETER_UNITS
from kelvara.tables import curve_table, curves_csv, results_csv, results_xlsx  # noqa: F401

_problems_text = problems_text


def run_fit(options):
    inputs = inputs_of(options)
    targets = check_outputs(inputs, output_options(options, "json", "csv", "results", "curves", "plot", "report"))
    check_report(options)
    check_figure_size(options)
    if options.results and options.results != "-" and \
            pathlib.Path(options.results).suffix.lower() not in (".xlsx", ".csv"):
        raise UsageError(f"--results {options.results}: the results are written as .xlsx or .csv")
    analysis = analyse_fit(options, tell=tell_reading)
    result, reading, unit = analysis.result, analysis.reading, analysis.unit

    # The files first: a reader that closes stdout early (| head) must not cost them.
    if options.json:
        write_json(targets["--json"], result.to_dict(), inputs, reading)
    if options.csv:
        write_atomic(targets["--csv"], results_csv(result))
    if options.results:
        where = targets["--results"]
        xlsx = pathlib.Path(options.results).suffix.lower() == ".xlsx"
        write_atomic(where, results_xlsx(result, unit) if xlsx else results_csv(result))
    if options.curves:
        write_atomic(targets["--curves"], curves_csv(result, unit))
    if options.plot:
        write_plot(targets["--plot"], lambda plot: fit_figure(plot, analysis, options))
    if options.report:
        write_report(targets["--report"], lambda: fit_report(analysis, options))
    stream = report_stream(targets)
    say(fit_text(analysis, options), stream)
    flush_stream(stream)
    if not result.ok:
        raise FitFailed(_problems_text(result))
    return 0


def run_compare(options):
    inputs = inputs_of(options)
    targets = check_outputs(inputs, output_options(options, "json", "plot", "report"))
    check_report(options)
    check_figure_size(options)
    analysis = analyse_compare(options, tell=tell_reading)
    comparison = analysis.result
    if options.json:
        write_json(targets["--json"], comparison.to_dict(), inputs, analysis.reading)
    if options.plot:
        write_plot(targets["--plot"], lambda plot: compare_figure(plot, analysis, options))
    if options.report:
        write_report(targets["--report"], lambda: compare_report(analysis, options))
    stream = report_stream(targets)
    say(comparison.summary(temperature_unit=analysis.unit), stream)
    flush_stream(stream)
    if comparison.best is None:
        raise FitFailed(compare_failure(comparison))
    return 0


FIT = Command(
    "fit", fit_arguments, run_fit,
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


COMPARE = Command(
    "compare", compare_arguments, run_compare,
    help="fit several models and rank them by AIC and BIC",
    description="Fit every model (or those of --models) to the same curves and rank them by "
    "AIC, with BIC alongside; fits that are not ok come last and are never ranked best.",
)
