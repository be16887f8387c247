"""The app's worker: a process of its own that reads, fits and compares, so
that the server stays responsive and a fit can be cancelled by stopping it.

It takes one job at a time from its end of a pipe and answers with
messages:
    ("progress", text)                 a stage of the work
    ("answer", status, text, view)     the JSON text `--json` would write
                                       (status 200), or {"error": ...} (400:
                                       bad input; 500: a fault of ours), and
                                       what the page shows besides
    ("file", name)                     a download written to the job's folder
    ("warning", text)                  why the downloads stopped (a full disk)
    ("done",)                          the job is finished
The answer comes first; the downloads (tables, figures, the report, one zip)
follow, so that a page shows its result while they are being made.
"""

from __future__ import annotations

import io
import json
import os
import signal
import sys
import traceback
import zipfile
from typing import Any, List

from kelvara.app.fields import on_the_page

__all__ = ["cap_memory", "error_json", "main", "run"]


def main(connection):
    """Serve jobs until the server closes its end of the pipe.  Ctrl-C in
    the terminal is the server's to handle: it stops its workers itself."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _end_with_the_server()
    cap_memory()
    _warm()
    while True:
        try:
            job = connection.recv()
        except (EOFError, OSError, KeyboardInterrupt):
            return
        try:
            connection.send(("started",))  # the job reached a living worker
            run(job, connection.send)
        except (BrokenPipeError, EOFError, OSError, KeyboardInterrupt):
            return


# A worker may take at most this share of the machine's memory (and at
# least MIN_CAP bytes): a file that would take more (a workbook of far
# cells, a neighbour's upload) ends its job with "not enough memory", not
# the machine's other work.
MEMORY_SHARE = 0.5
MIN_CAP = 2 << 30


def cap_memory():
    """Limit this process's address space (see MEMORY_SHARE), never above a
    limit already set; nothing where the system cannot say or set it."""
    try:
        import resource

        total = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    except (ImportError, ValueError, OSError, AttributeError):
        return
    cap = max(int(total * MEMORY_SHARE), MIN_CAP)
    if hard != resource.RLIM_INFINITY:
        cap = min(cap, hard)
    if soft == resource.RLIM_INFINITY or soft > cap:
        try:
            resource.setrlimit(resource.RLIMIT_AS, (cap, hard))
        except (ValueError, OSError):
            pass


def _end_with_the_server():
    """End at once when the server's process ends, even in the middle of a
    job: a server killed (SIGKILL) leaves no worker computing for no one."""
    import multiprocessing
    import threading

    parent = multiprocessing.parent_process()
    if parent is None:
        return

    def watch():
        parent.join()
        os._exit(0)

    threading.Thread(target=watch, name="kelvara-server-watch", daemon=True).start()


def _warm():
    """Import what a job needs before the first one comes."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import kelvara.fit  # noqa: F401
        import kelvara.io  # noqa: F401
        import kelvara.plot  # noqa: F401
    except ImportError:
        pass  # said to the page when a job needs it


def run(job, send):
    """Run one job: {"command": "read" | "fit" | "compare", "fields": [(name,
    value), ...], "files": [names in "folder"], "folder": where the uploads
    are, "out": where the downloads go}."""
    from kelvara.errors import KelvaraError

    os.chdir(job["folder"])  # the files by their own names, as a user in their folder types them
    try:
        try:
            answer = _COMMANDS[job["command"]](job, lambda text: send(("progress", text)))
        except KelvaraError as error:
            send(("answer", 400, error_json(str(error)), None))
            return
        except MemoryError:
            send(("answer", 500, error_json("not enough memory"), None))
            return
        except (EOFError, ConnectionError):  # the server is gone: no one to answer
            raise
        except Exception as error:  # a fault of ours: said, and the worker goes on
            traceback.print_exc(file=sys.stderr)
            send(("answer", 500, error_json(f"internal error: {type(error).__name__}: {error}"), None))
            return
        text, view, downloads = answer
        send(("answer", 200, text, view))
        _write_downloads(job["out"], downloads, send)
    finally:
        send(("done",))


def _write_downloads(folder, downloads, send):
    """Each download in turn (a failing one is skipped and said), then all
    of them in one zip; each written whole or not at all.  A full disk ends
    them, said, with no half file left."""
    from kelvara.writer import write

    written = []
    try:
        for name, make in downloads:
            try:
                content = make()
            except Exception as error:  # noqa: BLE001  the others are still worth having
                send(("progress", f"could not make {name}: {error}"))
                continue
            write(os.path.join(folder, name), content)
            written.append(name)
            send(("file", name))
        if written:
            archive = io.BytesIO()
            with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as packed:
                for name in written:
                    packed.write(os.path.join(folder, name), name)
            write(os.path.join(folder, "kelvara-results.zip"), archive.getvalue())
            send(("file", "kelvara-results.zip"))
    except OSError as error:
        send(("warning", f"the downloads stopped after {len(written)} of {len(downloads)}: they could not be "
                         f"written ({error.strerror or error}); free some disk space and run it again"))


def error_json(message):
    """An error as the API answers it."""
    return json.dumps({"error": message}, indent=2) + "\n"


def _options(job):
    """The command's options from the job's fields; a figure size or
    resolution no figure can take is refused before any work, as the
    command line refuses it, not left to a download that never comes."""
    from kelvara.analysis import check_figure
    from kelvara.app import fields

    options = fields.options(job["command"], job["fields"], job["files"])
    check_figure(options)
    return options


def _shipped(reading):
    """The reading with an example named by its file, not by where kelvara
    is installed on the server."""
    from kelvara.analysis import DATA

    for read in reading.files:
        if os.path.dirname(os.path.abspath(read.path)) == os.path.abspath(DATA):
            read.path = f"{os.path.basename(read.path)} (the example shipped with kelvara)"
    return reading


def _read(job, progress):
    from kelvara.analysis import display_unit, read_data, reading_json
    from kelvara.plot import traces

    options = _options(job)
    progress("reading the files")
    reading = _shipped(read_data(options))
    celsius = display_unit(options, reading) == "°C"
    view = {"text": reading.text(), "notes": [on_the_page(n) for n in reading.notes], "plot": traces(reading.curves, celsius=celsius)}
    return reading_json(reading), view, []


def _figures(prefix, draw):
    """PNG, SVG and PDF of one figure, drawn once."""
    from kelvara import plot

    figure: List[Any] = []

    def make(format):
        def one():
            if not figure:
                figure.append(draw(plot))
            buffer = io.BytesIO()
            plot.save(figure[0], buffer, format=format, close=format == "pdf")
            return buffer.getvalue()
        return one

    return [(f"{prefix}.{format}", make(format)) for format in ("png", "svg", "pdf")]


def _fit(job, progress):
    from kelvara import analysis as command
    from kelvara import tables
    from kelvara.analysis import result_json
    from kelvara.plot import traces
    from kelvara.report import derived_rows, parameter_rows, value_table

    options = _options(job)
    analysis = command.analyse_fit(options, progress=progress)
    _shipped(analysis.reading)
    result = analysis.result
    text = result_json(result.to_dict(), analysis.inputs, analysis.reading)
    progress("drawing")
    view = {"verdict": result.verdict, "ok": result.ok, "failure": result.failure,
            "problems": [on_the_page(p) for p in result.problems], "notes": [on_the_page(n) for n in result.notes], "parameters": value_table(result, parameter_rows(result), analysis.unit),
            "derived": value_table(result, derived_rows(result), analysis.unit),
            "curves": tables.curve_table(result, analysis.unit),
            "summary": command.fit_text(analysis, options), "reading": analysis.reading.text(),
            "plot": traces(analysis.curves, result, celsius=analysis.unit == "°C")}
    downloads = [("result.json", lambda: text),
                 ("summary.txt", lambda: view["summary"] + "\n"),
                 ("results.csv", lambda: tables.results_csv(result)),
                 ("results.xlsx", lambda: tables.results_xlsx(result, analysis.unit)),
                 ("curves.csv", lambda: tables.curves_csv(result, analysis.unit))]
    downloads += _figures("fit", lambda plot: command.fit_figure(plot, analysis, options))
    downloads.append(("report.html", lambda: command.fit_report(analysis, options)))
    return text, view, downloads


def _compare(job, progress):
    from kelvara import analysis as command
    from kelvara.analysis import result_json
    from kelvara.plot import traces
    from kelvara.report import parameter_rows, value_table

    options = _options(job)
    analysis = command.analyse_compare(options, progress=progress)
    _shipped(analysis.reading)
    comparison = analysis.result
    text = result_json(comparison.to_dict(), analysis.inputs, analysis.reading)
    best = comparison.best
    progress("drawing")
    evidence = comparison.evidence
    ranking = [{"model": r.model, "verdict": r.short_verdict, "ok": r.ok, "aic": r.aic, "bic": r.bic,
                "delta_aic": evidence["delta_aic"][r.model], "delta_bic": evidence["delta_bic"][r.model],
                "weight": evidence["akaike_weights"].get(r.model), "problems": [on_the_page(p) for p in r.problems]}
               for r in comparison.results]
    view = {"ok": best is not None, "best": best.model if best is not None else None,
            "decisive": evidence["decisive"], "verdict": comparison.headline,
            "problems": [],  # each model's, under the ranking
            "notes": [], "ranking": ranking, "summary": comparison.summary(temperature_unit=analysis.unit),
            "reading": analysis.reading.text(),
            "models": {r.model: traces(analysis.curves, r, celsius=analysis.unit == "°C")
                       for r in comparison.results[:4]},
            # each model's own values, as its fit's page shows them (baselines and amplitudes left to its report)
            "parameters": {r.model: value_table(r, [row for row in parameter_rows(r) if row[0] in r.thermodynamic],
                                                analysis.unit)
                           for r in comparison.results}}
    downloads = [("comparison.json", lambda: text),
                 ("summary.txt", lambda: view["summary"] + "\n")]
    downloads += _figures("compare", lambda plot: command.compare_figure(plot, analysis, options))
    downloads.append(("report.html", lambda: command.compare_report(analysis, options)))
    return text, view, downloads


_COMMANDS = {"read": _read, "fit": _fit, "compare": _compare}
