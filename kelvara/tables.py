"""The tables of a fit's result: one line per curve (as kelvara fit
prints it), the parameters and derived values as CSV or an Excel workbook,
and every point as a tidy CSV.  Both faces write them from here."""

from __future__ import annotations

import csv
import io
import math

from kelvara.models import unit_of
from kelvara.names import labelled, unit_named, unit_shown
from kelvara.printable import printable
from kelvara.units import KELVIN_OFFSET, concentration_label, meaningless, shown, shown_temperature


def aligned(values, errors):
    """Values rounded to their errors, written to one number of decimals
    (the most any of them needs) so that a column reads evenly; a value
    without a finite error keeps six significant digits, one in scientific
    notation stays so."""
    from kelvara.units import rounded as _rounded

    texts = [_rounded(v, e, "1")[0] if v is not None and math.isfinite(v) else "" for v, e in zip(values, errors)]
    if any("e" in t for t in texts):
        return texts
    decimals = max([len(t.split(".")[1]) if "." in t else 0 for t in texts if t] or [0])
    return [f"{v:.{decimals}f}" if t else "" for v, t in zip(values, texts)]


def curve_table(result, unit="K"):
    """One line per curve: its label (whole: sample, stage, file), its
    conditions, baseline, amplitude and where it is half way (Te of a
    cooling curve, c50 of a series, f50 of a denaturation), temperatures in
    `unit` ("K" or "°C"), concentrations in the unit that reads best, the
    signal in its header's unit, each column to one number of decimals."""
    curves = result.curve_results
    labels = getattr(result, "labels", None) or [str(c.label) for c in curves]
    signal = getattr(result, "signal_unit", "signal")

    def error(kind, i):
        """The standard error of curve i's baseline, amplitude or Te."""
        for name in (f"{kind}[{i}]", kind):
            found = result.parameters.get(name) or result.derived.get(name)
            if found is not None:
                return found.stderr
        return math.nan

    def temperature(kelvin):
        return shown_temperature(kelvin, unit) if kelvin is not None else None

    def column(kind, values):
        return aligned(values, [error(kind, i) for i in range(len(curves))])

    def concentration(c):
        return concentration_label(c) if c is not None and math.isfinite(c) and c > 0 else ""

    baselines = column("baseline", [c.baseline for c in curves])
    amplitudes = column("amplitude", [c.amplitude for c in curves])
    units = {kind: unit_shown(_unit_of_linear(result, kind), signal) for kind in ("baseline", "amplitude")}
    head = ["curve", "c_tot"]
    values = [f"baseline ({units['baseline']})", f"amplitude ({units['amplitude']})"]
    own = list(getattr(result, "signal_units", None) or [])
    if len(set(own)) > 1:  # channels in units of their own: each value with its curve's
        values = ["baseline", "amplitude"]
        for texts, kind in ((baselines, "baseline"), (amplitudes, "amplitude")):
            for i, text in enumerate(texts):
                texts[i] = f"{text} {unit_shown(_unit_of_linear(result, kind), own[i])}" if text else text
    if all(c.vary == "temperature" for c in curves):
        te_kind = "Te" if "Te[0]" in result.derived else "te"
        tes = column(te_kind, [temperature(c.te) for c in curves])
        tes = [meaningless(c.te, error(te_kind, i), "K") or text if c.te is not None else text
               for i, (c, text) in enumerate(zip(curves, tes))]
        rows = [head + values + [f"Te ({unit})"]]
        rows += [[labels[i], concentration(c.c_tot), baselines[i], amplitudes[i], tes[i]] for i, c in enumerate(curves)]
        return _columns(rows)
    rows = [head + [f"T ({unit})"] + values + ["midpoint"]]
    for i, c in enumerate(curves):
        middle = ""
        if c.te is not None and meaningless(c.te, error("Te", i), "K"):
            middle = f"Te {meaningless(c.te, error('Te', i), 'K')}"
        elif c.te is not None and math.isfinite(c.te):
            middle = f"Te {temperature(c.te):.2f} {unit}"
        elif c.midpoint is not None and c.midpoint[1] is not None and math.isfinite(c.midpoint[1]):
            name, value = c.midpoint
            middle = f"c50 {concentration(value)}" if name == "c50" else f"t50 {value:.4g} s" if name == "t50" \
                else f"{name} {value:.4g}"
        t = temperature(c.temperature)
        rows.append([labels[i], concentration(c.c_tot), format(t, ".2f") if t is not None and math.isfinite(t) else "",
                     baselines[i], amplitudes[i], middle])
    return _columns(rows)


def _unit_of_linear(result, kind):
    """The unit of curve 0's baseline or amplitude as the fit gave it (the
    signal's, or the signal's per mol/L when the signal is extensive)."""
    for name in (f"{kind}[0]", kind):
        if name in result.parameters:
            return result.parameters[name].unit
    return "signal"


def _columns(rows):
    """Rows of text cells as lines: the first column to the left, the others
    to the right, each as wide as its widest cell and two spaces apart, so
    that no two values ever run together."""
    widths = [max(len(row[k]) for row in rows) for k in range(len(rows[0]))]
    return "\n".join((f"{row[0]:<{widths[0]}}" + "".join(f"  {cell:>{w}}" for cell, w in zip(row[1:], widths[1:])))
                     .rstrip() for row in rows)


# A text cell a spreadsheet would take for a formula (=, +, -, @, or a tab or
# carriage return before one): a curve label or file name as written.
_FORMULA_START = ("=", "+", "-", "@", "\t", "\r")


def as_text(value):
    """A text cell of a CSV, never a live formula: one that starts as a
    formula would gets a leading apostrophe, which spreadsheets show as
    text; a number keeps its sign.  Its control characters are escapes (a
    carriage return would start a new row)."""
    value = printable(value)
    if isinstance(value, str) and value.startswith(_FORMULA_START):
        try:
            float(value)
        except ValueError:
            return "'" + value
    return value


def _text_cells(writer):
    """The workbook's text cells as text: openpyxl writes a string that
    starts with "=" as a formula."""
    for sheet in writer.book.worksheets:
        for row in sheet.iter_rows():
            for cell in row:
                if cell.data_type == "f":
                    cell.data_type = "s"


class _TextWriter:
    """A CSV writer whose text cells are never live formulas (as_text)."""

    def __init__(self, out):
        self.writer = csv.writer(out, lineterminator="\n")

    def writerow(self, cells):
        self.writer.writerow([as_text(c) for c in cells])


def _cell(value):
    return "" if value is None or (isinstance(value, float) and not math.isfinite(value)) else repr(value)


def results_csv(result):
    out = io.StringIO()
    writer = _TextWriter(out)
    ends = ["profile_low", "profile_high", "bootstrap_low", "bootstrap_high"]
    writer.writerow(["kind", "name", "value", "stderr", "unit", "fixed", "low", "high"] + ends + ["label"])
    labels = result.labels

    def intervals(name):
        found = result.intervals(name)
        return [_cell(found[end]) if end in found else "" for end in ends]

    for p in result.parameters.values():
        writer.writerow(["parameter", p.name, _cell(p.value), "" if p.fixed else _cell(p.stderr),
                         unit_named(result, p.name, p.unit), p.fixed, "", ""] + intervals(p.name)
                        + [labelled(p.name, labels)])
    for d in result.derived.values():
        writer.writerow(["derived", d.name, _cell(d.value), _cell(d.stderr), unit_named(result, d.name, d.unit), False, "", ""]
                        + intervals(d.name) + [labelled(d.name, labels)])
    for kind, spans in (("profile", {p.name: (p.low, p.high) for p in (result.profiles or {}).values()}),
                        ("bootstrap", result.bootstrap or {})):
        for name, (low, high) in spans.items():
            writer.writerow([f"{kind} interval", name, "", "", unit_of(name), False, _cell(low), _cell(high)]
                            + [""] * 4 + [labelled(name, labels)])
    for key in ("chi2", "reduced_chi2", "aic", "bic", "n_points"):
        writer.writerow(["statistic", key, _cell(getattr(result, key)), "", "", "", "", ""] + [""] * 4)
    writer.writerow(["verdict", "ok", result.ok, "", "", "", "", ""] + [""] * 4)
    for problem in result.problems:
        writer.writerow(["verdict", "problem", problem, "", "", "", "", ""] + [""] * 4)
    return out.getvalue()


def results_xlsx(result, unit="K"):
    """The results as an Excel workbook: parameters, derived values, one
    row per curve, statistics and the verdict, each on its own sheet, with
    units in the headers; values named by their curve ("Te (5 µM)", the
    code name beside), temperatures in `unit`, concentrations in µM."""
    import pandas as pd

    labels, signal = result.labels, result.signal_unit

    def table(items, kind):
        rows = []
        for item in items:
            value, shown_unit = shown(item.value, item.unit, unit)
            row = {"name": labelled(item.name, labels), "value": value, "std. error": item.stderr,
                   "unit": unit_named(result, item.name, shown_unit), "key": item.name}
            if kind == "parameter":
                row["fixed"] = item.fixed
                row["at bound"] = item.at_bound
            row.update({end: shown(v, item.unit, unit)[0] if end.endswith(("_low", "_high")) else v
                        for end, v in result.intervals(item.name).items()})
            rows.append(row)
        return pd.DataFrame(rows)

    def temperature(kelvin):
        return None if kelvin is None else shown(kelvin, "K", unit)[0]

    per_curve = []
    for i, curve in enumerate(result.curve_results):
        misfit = curve.misfit_percent or {}
        per_curve.append({"curve": labels[i], "c_tot (µM)": None if curve.c_tot is None else curve.c_tot * 1e6,
                          f"temperature ({unit})": temperature(curve.temperature), f"Te ({unit})": temperature(curve.te),
                          f"baseline ({signal})": curve.baseline, f"amplitude ({signal})": curve.amplitude,
                          f"slope ({signal}/K)": curve.slope, "misfit RMS (% of signal change)": misfit.get("rms"),
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
            # A workbook refuses control characters (a NUL in a label): escapes, as in the CSV.
            frame = frame.rename(columns=printable).apply(lambda column: column.map(printable))
            frame.to_excel(writer, sheet_name=name, index=False)
        _text_cells(writer)
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
        writer.writerow([as_text(v) if isinstance(v, str) else _cell(float(v)) for v in row])
    return out.getvalue()


def _celsius_at_resolution(kelvin):
    """Kelvin as degrees Celsius, rounded to the fewest decimals (up to 6)
    that hold every reading: the numbers the file gave, not 24.999999999999."""
    import numpy as np

    celsius = np.asarray(kelvin, dtype=float) - KELVIN_OFFSET
    finite = celsius[np.isfinite(celsius)]
    for decimals in range(7):
        scaled = finite * 10.0 ** decimals
        if np.all(np.abs(scaled - np.round(scaled)) < 1e-6):
            return np.round(celsius, decimals)
    return np.round(celsius, 9)
