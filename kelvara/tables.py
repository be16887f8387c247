"""The tables of a fit's result: one line per curve (as kelvara fit
prints it), the parameters and derived values as CSV or an Excel workbook,
and every point as a tidy CSV.  Both faces write them from here."""

from __future__ import annotations

import csv
import io
import math

from kelvara.models import unit_of
from kelvara.units import KELVIN_OFFSET, shown_temperature


def curve_table(result, unit="K"):
    """One line per curve: its label (whole: sample, stage, file), its
    conditions, baseline, amplitude and where it is half way (Te of a
    cooling curve, c50 of a series, f50 of a denaturation), temperatures in
    `unit` ("K" or "°C")."""
    from kelvara.units import rounded as _rounded

    def shown(value, style):
        return format(value, style) if value is not None and math.isfinite(value) else ""

    def temperature(kelvin):
        return shown_temperature(kelvin, unit)

    def error(kind, i):
        """The standard error of curve i's baseline, amplitude or Te."""
        for name in (f"{kind}[{i}]", kind):
            found = result.parameters.get(name) or result.derived.get(name)
            if found is not None:
                return found.stderr
        return math.nan

    def rounded(value, kind, i):  # to two significant digits of its error, as the summary prints it
        return _rounded(value, error(kind, i), "1")[0] if value is not None and math.isfinite(value) else ""

    width = max([16] + [len(str(c.label)) + 2 for c in result.curve_results])
    if all(c.vary == "temperature" for c in result.curve_results):
        lines = [f"{'curve':{width}}{'c_tot (M)':>12}{'baseline':>12}{'amplitude':>12}{f'Te ({unit})':>10}"]
        for i, c in enumerate(result.curve_results):
            te = rounded(temperature(c.te), "Te" if f"Te[{i}]" in result.derived else "te", i)
            lines.append(f"{str(c.label):{width}}{c.c_tot:>12.4g}{rounded(c.baseline, 'baseline', i):>12}"
                         f"{rounded(c.amplitude, 'amplitude', i):>12}{te:>10}")
        return "\n".join(lines)
    lines = [f"{'curve':{width}}{'c_tot (M)':>12}{f'T ({unit})':>9}{'baseline':>12}{'amplitude':>12}"
             f"{'midpoint':>22}"]
    for c in result.curve_results:
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
    for i, curve in enumerate(result.curve_results):
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

    celsius = np.asarray(kelvin, dtype=float) - KELVIN_OFFSET
    finite = celsius[np.isfinite(celsius)]
    for decimals in range(7):
        scaled = finite * 10.0 ** decimals
        if np.all(np.abs(scaled - np.round(scaled)) < 1e-6):
            return np.round(celsius, decimals)
    return np.round(celsius, 9)
