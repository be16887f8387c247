"""The options of the commands, declared once: the command line builds its
parsers from these declarations, and the app its form fields, so that a page
and a script take the same options with the same words and checks."""

from __future__ import annotations

import argparse

from kelvara.analysis import DEFAULT_COMPARED, DEFAULT_MODEL, EXAMPLE_TRUTH, EXAMPLES
from kelvara.models import MODELS


# Values typed with a unit, as the help shows them.
UNIT_EXAMPLES = {"J/mol": "-95kJ/mol", "J/(mol K)": "-180J/mol/K", "mol/L": "10uM", "L/mol": "1e6M-1",
                  "K": "60C"}


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


def data_arguments(parser):
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
                            action="append" if role == "signal" else "store",
                            help=f"the {role} column: its header, its header's first word, or its 1-based "
                            "position (the way into a file without a header)"
                            + (": the fraction of good solvent, 0 to 1 (or %% in its header)"
                               if role == "solvent" else "")
                            + ("; repeated, each is a channel of the same samples (CD, HT, UV), fitted together"
                               if role == "signal" else ""))
    parser.add_argument("--decimal", choices=(".", ","), help="the decimal mark (default: detected)")
    parser.add_argument("--sheet", metavar="NAME", help="the sheet of an Excel file, by name (any case) or "
                        "number (default: the first sheet holding a table of numbers)")
    parser.add_argument("--range", action=_Once, metavar="LOW:HIGH", help="fit only the points within a range of temperatures, "
                        "e.g. 5:85C (an end may be open, :85C), or of concentrations for a series, e.g. 1uM:50uM")
    parser.add_argument("--exclude", action="append", metavar="VALUE or LOW:HIGH",
                        help="leave out the point nearest to a value (62.5C) or the points within a range "
                        "(60:64C), of every curve or of one ('62.5C@10 µM', by its label); repeat for more")
    parser.add_argument("--blank", metavar="FILE", help="a reference measured over the same temperatures (the "
                        "buffer), subtracted from every curve, interpolated at its temperatures")
    parser.add_argument("--blank-column", "--blank_column", dest="blank_column", metavar="NAME or N",
                        help="a column beside the signal (the buffer's cell), subtracted from it row by row")
    parser.add_argument("--wavelength", action="append", metavar="NM",
                        help="of a table of spectra (columns headed by wavelengths, or a wavelength column beside "
                        "columns headed by temperatures): the wavelength to read, e.g. 600nm, at the nearest "
                        "measured; repeat for several, read as channels of the same samples")
    parser.add_argument("--segment", choices=("all", "cooling", "heating"), default="all",
                        help="where a curve's temperature goes down and up again (a ramp in one file, a Cary "
                        "export), the stages to fit (default: all)")


def fit_options_arguments(parser):
    parser.add_argument("--nuc-size", "--nuc_size", dest="nuc_size", metavar="N or A:B",
                        help="nucleus size of cooperative_n, or a range A:B to scan (default 2; sizes 2 to 100)")
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
    for name, what in (("baseline", "the monomer baseline"), ("aggregate", "the aggregated state's signal")):
        dest = f"{name}_slope"
        parser.add_argument(f"--{name}-slope", f"--{dest}", dest=dest, action="store_const", const=True,
                            default=None, help=f"let {what} slope in T (by default the data choose)")
        parser.add_argument(f"--no-{name}-slope", f"--no_{dest}", dest=dest, action="store_const", const=False,
                            help=f"keep {what} flat in T")
    parser.add_argument("--species-signals", "--species_signals", dest="species_signals", action="store_const",
                        const=True, default=None,
                        help="the models with a nucleus: oligomers up to the nucleus give a signal of their own "
                        "(oligomer_amplitude), the amplitude is the polymers' (by default the data choose for "
                        "cooperative_n)")
    parser.add_argument("--no-species-signals", "--no_species_signals", dest="species_signals",
                        action="store_const", const=False, help="one signal for every aggregate")
    parser.add_argument("--signal-model", "--signal_model", dest="signal_model", default="aggregated",
                        choices=("aggregated", "stacked"),
                        help="what the amplitude multiplies: the fraction of molecules in aggregates, 1 - m/c_tot "
                        "(default), or, for the isodesmic model, the stacked fraction K m (the equal-K convention "
                        "of NMR dilution analyses such as Bindfit's)")
    parser.add_argument("--extensive", action="store_true",
                        help="the signal is proportional to the concentration (raw absorbance, CD in mdeg): "
                        "signal = c_tot (baseline + amplitude x fraction), per mol/L")
    parser.add_argument("--shared", action="append", default=[], metavar="NAME",
                        help="a per-curve parameter of a phenomenological model that every curve shares "
                        "(--shared h_e for vanderschoot)")
    parser.add_argument("--max-evaluations", "--max_evaluations", dest="max_evaluations", type=int,
                        default=None, metavar="N", help="stop after N model evaluations")


def output_arguments(parser, what):
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
    parser.add_argument("--dpi", type=int, metavar="N",
                        help="pixels per inch of a PNG --plot (default 300 at a journal's --figure-size, 130 for a "
                             "screen; 600 for line art), 72 to 1200")


def fit_arguments(fit):
    data_arguments(fit)
    fit.add_argument("--model", default=None, choices=list(MODELS),
                     help=f"the model (default: {DEFAULT_MODEL}); a solvent series defaults to denaturation")
    fit_options_arguments(fit)
    fit.add_argument("--bootstrap", type=int, default=0, metavar="N", help="N residual-bootstrap resamples (at most 100000)")
    fit.add_argument("--seed", type=int, default=None, help="seed of the bootstrap")
    fit.add_argument("--profile", action="store_true",
                     help="profile-likelihood 95 %% intervals of the thermodynamic parameters "
                     "(each refitted along a grid; drawn in --plot)")
    output_arguments(fit, "the results")
    fit.add_argument("--csv", metavar="FILE", help="write parameters and derived values as CSV ('-' for "
                     "standard output)")
    fit.add_argument("--results", metavar="FILE", help="write parameters, derived values and per-curve tables "
                     "with units in the headers: .xlsx (one sheet each) or .csv (as --csv)")
    fit.add_argument("--curves", metavar="FILE", help="write a tidy CSV of every point: curve, c_tot, "
                     "temperature (in the unit shown), signal, fitted, residual, fraction, normalised degree of "
                     "aggregation ('-' for standard output)")


def compare_arguments(compare):
    data_arguments(compare)
    compare.add_argument("--models", default=None,
                         help="comma-separated models (default: " + DEFAULT_COMPARED["temperature"]
                         + ", and two_pathways where the curves have several channels; "
                         + DEFAULT_COMPARED["concentration"] + " for a concentration series; "
                         + DEFAULT_COMPARED["solvent"] + " for a solvent series)")
    fit_options_arguments(compare)
    output_arguments(compare, "every model's results")


def read_arguments(read):
    data_arguments(read)
    read.add_argument("--json", metavar="FILE", help="write the same as JSON ('-' for standard output)")


# The arguments of each command, by its name.
COMMANDS = {"read": read_arguments, "fit": fit_arguments, "compare": compare_arguments}
