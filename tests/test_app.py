"""kelvara app's HTTP API, through a plain HTTP client against the command
as a user starts it: the same answers as the command line, its guards
(token, Host, size), its errors as JSON, cancelling, and a clean stop."""

import contextlib
import io
import json
import os
import pathlib
import signal
import subprocess
import sys
import time
import zipfile

import pytest
from appserver import DATA, App, kelvara, needs_app


@pytest.fixture(scope="module")
def app(tmp_path_factory):
    needs_app()
    with App(tmp_path_factory.mktemp("app")) as server:
        yield server


@pytest.fixture(scope="module")
def lab(tmp_path_factory):
    """Files as labs write them: the example, and one curve in °C with
    neither a concentration nor a header unit (semicolons, decimal commas)."""
    folder = tmp_path_factory.mktemp("lab")
    (folder / "cooling.csv").write_bytes((DATA / "example_cooling.csv").read_bytes())
    rows = [line.split(",") for line in (DATA / "example_cooling.csv").read_text().splitlines()[1:]]
    one = [f"{float(t) - 273.15:.2f};{s}".replace(".", ",") for t, s, c in rows if float(c) == 1e-5]
    (folder / "one curve.csv").write_text("T;CD\n" + "\n".join(one) + "\n")
    (folder / "cooling copy.csv").write_bytes((DATA / "example_cooling.csv").read_bytes())
    (folder / "broken.csv").write_bytes(b"\x00\x01\x02 not a table \xff\xfe\n" * 3)
    (folder / "traces.csv").write_text("time (min),5 uM,10 uM\n" + "".join(f"{t},{1 - t / 40:g},{1 - t / 20:g}\n"
                                                                         for t in range(20)))
    return folder


CASES = {
    "fit": ("fit", ["cooling.csv"], [("model", "cooperative")]),
    "fit, concentration given": ("fit", ["one curve.csv"], [("model", "cooperative"), ("c_tot", "10uM"),
                                                           ("celsius", "true"), ("fix", "delta_h_nuc=22kJ/mol")]),
    "fit, slopes": ("fit", ["cooling.csv"], [("baseline_slope", "true"), ("shared_amplitude", "on")]),
    "compare": ("compare", ["cooling.csv"], [("models", "isodesmic,cooperative")]),
    "read": ("read", ["one curve.csv"], [("c_tot", "10uM"), ("celsius", "true")]),
    "read, two files": ("read", ["cooling.csv", "cooling copy.csv"], [("display_unit", "C")]),
    "read, time traces": ("read", ["traces.csv"], [("temperature", "20C"), ("start_temperature", "40C"),
                                                   ("dilution", "3.5")]),
}


def _argv(fields):
    out = []
    for name, value in fields:
        option = "--" + name.replace("_", "-")
        out += [option] if value in ("true", "on") else [f"{option}={value}"]
    return out


@pytest.mark.parametrize("case", list(CASES))
def test_the_api_answers_what_the_command_line_writes(app, lab, case, tmp_path):
    command, names, fields = CASES[case]
    status, headers, body = app.request("POST", f"/api/{command}", fields=fields,
                                        files=[(n, (lab / n).read_bytes()) for n in names])
    assert status == 200, body
    run = kelvara(command, *names, *_argv(fields), "--json", tmp_path / "cli.json", cwd=lab)
    assert run.returncode in (0, 1), run.stderr
    # byte for byte: the same values, the files by the names they were given, the same layout
    assert body == (tmp_path / "cli.json").read_bytes()
    answer = json.loads(body)
    if command == "fit" and case == "fit":
        assert answer["ok"] is True
        assert answer["parameters"]["delta_h"]["value"] == pytest.approx(-95000, rel=0.01)
    assert len(headers["x-kelvara-job"]) == 32


def test_downloads_hold_every_result_and_their_links_open_them_alone(app, lab):
    status, headers, body = app.request("POST", "/api/fit", fields=[("profile", "true")],
                                        files=[("cooling.csv", (lab / "cooling.csv").read_bytes())])
    assert status == 200
    job = headers["x-kelvara-job"]
    state = app.finished(job)
    expected = {"result.json", "summary.txt", "results.csv", "results.xlsx", "curves.csv", "fit.png", "fit.svg",
                "fit.pdf", "report.html", "kelvara-results.zip"}
    assert set(state["downloads"]) == expected
    assert state["view"]["ok"] is True and "delta_h" in state["view"]["parameters"]
    assert [p["name"] for p in state["view"]["plot"]["profiles"]] == ["delta_h", "delta_s", "delta_h_nuc"]
    files = {name: app.request("GET", f"/api/jobs/{job}/files/{name}")[2] for name in expected}
    assert files["result.json"] == body
    assert files["fit.png"].startswith(b"\x89PNG") and files["fit.pdf"].startswith(b"%PDF")
    assert b"<svg" in files["fit.svg"] and b"<html" in files["report.html"].lower()
    assert files["results.xlsx"].startswith(b"PK")
    assert "delta_h" in files["results.csv"].decode() and "residual" in files["curves.csv"].decode()
    with zipfile.ZipFile(io.BytesIO(files["kelvara-results.zip"])) as archive:
        assert set(archive.namelist()) == expected - {"kelvara-results.zip"}
        assert archive.read("result.json") == body
    assert app.request("GET", f"/api/jobs/{job}/files/..%2F..%2Fetc%2Fpasswd")[0] == 404
    assert app.request("GET", f"/api/jobs/{job}/files/nothing.txt")[0] == 404

    # The page's links: each carries a key that opens its own file alone, and no token.
    links = state["links"]
    assert set(links) == expected and app.token not in json.dumps(links)
    assert app.request("GET", links["result.json"], token=False)[2] == body
    key = links["result.json"].split("key=")[1]
    assert app.request("GET", f"/api/jobs/{job}/files/fit.png?key={key}", token=False)[0] == 403
    assert app.request("GET", f"/api/jobs/{job}/files/result.json", token=False)[0] == 403


@pytest.mark.parametrize("how", ["no token", "wrong token", "cookie only", "foreign host", "host that ends like ours",
                                 "host with a local prefix"])
@pytest.mark.parametrize("method, path", [("GET", "/"), ("GET", "/api/models"), ("POST", "/api/fit"),
                                          ("GET", "/static/app.js"), ("GET", "/api/jobs/abcdefgh")])
def test_a_request_without_the_token_or_from_a_foreign_host_gets_403(app, lab, how, method, path):
    """The API needs the token, and never takes it from a cookie: cookies go
    to every port of 127.0.0.1.  The page and its scripts hold nothing
    secret and are served to any local request, but to no foreign host."""
    foreign = how.endswith("host") or "prefix" in how
    headers = {"Host": {"foreign host": "evil.example", "host that ends like ours": "evil.localhost",
                        "host with a local prefix": "127.0.0.1.evil.example"}[how]} if foreign else {}
    if how == "wrong token":
        headers["X-Kelvara-Token"] = "x" + app.token
    if how == "cookie only":
        headers["Cookie"] = f"kelvara_token={app.token}"
    files = [("cooling.csv", (lab / "cooling.csv").read_bytes())] if method == "POST" else ()
    status, response, body = app.request(method, path, headers=headers, token=foreign, files=files)
    public = path in ("/", "/static/app.js") and not foreign
    assert status == (200 if public else 403)
    assert public or "error" in json.loads(body)
    assert app.token.encode() not in body and "set-cookie" not in response


@pytest.mark.parametrize("how", ["query", "header", "bearer", "localhost"])
def test_the_token_may_come_as_a_header_or_in_the_address(app, how):
    headers = {"header": {"X-Kelvara-Token": app.token}, "bearer": {"Authorization": f"Bearer {app.token}"},
               "localhost": {"Host": f"localhost:{app.port}"}}.get(how, {})
    status, response, body = app.request("GET", "/api/models", headers=headers, token=how in ("query", "localhost"))
    assert status == 200
    assert "cooperative" in [m["name"] for m in json.loads(body)["models"]]
    assert "set-cookie" not in response


@pytest.mark.parametrize("headers, allowed", [
    ({"Origin": "http://127.0.0.1:{other}"}, False),  # a page on another port: the same site, not the same origin
    ({"Origin": "http://localhost:{port}", "Host": "127.0.0.1:{port}"}, False),
    ({"Origin": "null"}, False),  # a file or a sandboxed frame
    ({"Sec-Fetch-Site": "same-site"}, False),
    ({"Sec-Fetch-Site": "cross-site"}, False),
    ({"Origin": "http://127.0.0.1:{port}", "Sec-Fetch-Site": "same-origin"}, True),  # the app's own page
    ({}, True),  # a script
])
def test_requests_from_other_pages_are_refused_even_with_the_token(app, lab, headers, allowed):
    headers = {k: v.format(port=app.port, other=app.port + 1) for k, v in headers.items()}
    before = len(list(app.tmp.glob("kelvara-app-*/*/in")))
    status, _, body = app.request("POST", "/api/read", headers=headers,
                                  files=[("cooling.csv", (lab / "cooling.csv").read_bytes())])
    assert status == (200 if allowed else 403), body
    assert allowed or "another page" in json.loads(body)["error"]
    assert len(list(app.tmp.glob("kelvara-app-*/*/in"))) == before + allowed  # no job was even begun


def test_the_page_runs_only_its_own_scripts_and_is_framed_by_none(app):
    import re

    status, response, page = app.request("GET", "/", token=False)
    assert status == 200
    policy = dict(part.strip().split(" ", 1) for part in response["content-security-policy"].split(";"))
    assert policy["script-src"] == "'self'" and policy["frame-ancestors"] == "'none'"
    assert policy["default-src"] == "'none'" and response["x-frame-options"] == "DENY"
    assert not re.search(rb"<script(?![^>]*\bsrc=)|\son[a-z]+=", page)  # nothing inline the policy would block


def test_an_upload_named_longer_than_a_file_name_may_be_is_read(app, lab):
    name = "測定 " + "測" * 150 + ".csv"  # 461 bytes in UTF-8: a file name holds 255
    status, _, body = app.request("POST", "/api/read", files=[(name, (lab / "cooling.csv").read_bytes())])
    assert status == 200, body
    assert json.loads(body)["files"][0]["path"] == "測" * 65 + ".csv"


def test_the_page_is_served_with_its_scripts_and_plotly(app):
    status, _, page = app.request("GET", "/")
    assert status == 200
    for marker in (b'id="files"', b'id="fit"', b'id="compare"', b"/static/plotly.min.js"):
        assert marker in page
    assert b"http://" not in page and b"https://" not in page  # nothing from the network
    for name in ("app.js", "app.css", "plotly.min.js"):
        status, _, body = app.request("GET", f"/static/{name}")
        assert status == 200 and len(body) > 1000
    assert body.startswith(b"/**\n* plotly.js v")  # served from the package, whole, without the plotly package
    assert app.request("GET", "/static/..%2Fserver.py")[0] == 404


def test_a_reading_error_is_the_command_lines_line(app, lab):
    status, _, body = app.request("POST", "/api/fit", files=[("broken.csv", (lab / "broken.csv").read_bytes())])
    run = kelvara("fit", "broken.csv", cwd=lab)
    assert run.returncode == 2
    assert status == 400
    assert f"kelvara: error: {json.loads(body)['error']}\n" == run.stderr


@pytest.mark.parametrize("fields, files, words", [
    ([("bogus", "1")], True, "unknown field 'bogus'"),
    ([("plot", "/tmp/x.png")], True, "server writes every output itself"),
    ([("json", "/etc/passwd")], True, "server writes every output itself"),
    ([("model", "nonsense")], True, "invalid choice: 'nonsense'"),
    ([("model", "isodesmic"), ("model", "cooperative")], True, "takes one value"),
    ([("baseline_slope", "perhaps")], True, "true or false"),
    ([("fix", "delta_h")], True, "--fix takes NAME=VALUE"),
    ([("fix", "delta_h=5 parsecs")], True, "delta_h"),
    ([("job", "../../x")], True, "a job id"),
    ([("model", "cooperative")], False, "give one or more data files, or --example"),
    ([("files", "/etc/passwd")], False, "reads no paths"),
    ([("figure_size", "1e9,1e9")], True, "--figure-size: figure size '1e9,1e9'"),
    ([("bootstrap", str(10 ** 30))], True, "--bootstrap takes 0 to 100000 resamples"),
    ([("dpi", "5")], True, "--dpi 5: give 72 to 1200"),
])
def test_bad_input_is_a_400_with_one_sentence(app, lab, fields, files, words):
    status, headers, body = app.request("POST", "/api/fit", fields=fields,
                                        files=[("cooling.csv", (lab / "cooling.csv").read_bytes())] if files else ())
    assert status == 400
    assert words in json.loads(body)["error"]
    assert headers["content-type"].startswith("application/json")


@pytest.mark.parametrize("method, path, headers, body", [
    ("POST", "/api/fit", {"Content-Type": "application/json"}, b'{"model": "cooperative"}'),
    ("POST", "/api/fit", {"Content-Type": "multipart/form-data; boundary=x"}, b"--y\r\nnonsense"),
    ("GET", "/nothing", {}, None),
    ("GET", "/api/fit", {}, None),
])
def test_requests_that_make_no_sense_get_json_errors(app, method, path, headers, body):
    status, response, text = app.request(method, path, headers=headers, body=body)
    assert 400 <= status < 500
    assert "error" in json.loads(text)
    assert app.request("GET", "/api/models")[0] == 200  # and the server goes on


def test_an_upload_larger_than_200_mb_is_refused_before_it_is_read(app):
    status, _, body = app.request("POST", "/api/fit", body=b"x" * 100,
                                  headers={"Content-Type": "multipart/form-data; boundary=x",
                                           "Content-Length": str(201 * 2**20)})
    assert status == 413
    assert "200 MB" in json.loads(body)["error"]


def _wait_for_bootstrap(app, job):
    deadline = time.monotonic() + 60
    state = None
    while time.monotonic() < deadline:
        status, _, state = app.json("GET", f"/api/jobs/{job}")
        if status == 200 and state["progress"].startswith("bootstrap: "):
            return
        time.sleep(0.1)
    raise AssertionError(f"no bootstrap progress: {state}")


def test_a_fit_can_be_cancelled_and_the_next_one_runs(app, lab):
    import threading

    job = "cancelme-" + str(time.monotonic_ns())
    answer = {}

    def slow():
        answer["fit"] = app.request("POST", "/api/fit", fields=[("bootstrap", "5000"), ("job", job)],
                                    files=[("cooling.csv", (lab / "cooling.csv").read_bytes())])

    thread = threading.Thread(target=slow)
    thread.start()
    _wait_for_bootstrap(app, job)  # progress is told while it runs
    status, _, state = app.json("POST", f"/api/jobs/{job}/cancel")
    assert status == 200
    thread.join(60)
    status, _, body = answer["fit"]
    assert status == 409 and "cancelled" in json.loads(body)["error"]
    assert app.json("GET", f"/api/jobs/{job}")[2]["state"] == "cancelled"
    status, _, body = app.request("POST", "/api/fit", files=[("cooling.csv", (lab / "cooling.csv").read_bytes())])
    assert status == 200 and json.loads(body)["ok"] is True


def _children(pid):
    found = set()
    for task in pathlib.Path(f"/proc/{pid}/task").glob("*"):
        try:
            found |= {int(n) for n in (task / "children").read_text().split()}
        except OSError:
            pass
    return found


def test_a_worker_that_dies_costs_its_job_only(app, lab):
    import os
    import threading

    if not os.path.exists(f"/proc/{app.process.pid}/task"):
        pytest.skip("needs /proc to find the workers")
    job = "doomed-" + str(time.monotonic_ns())
    answer = {}
    data = [("cooling.csv", (lab / "cooling.csv").read_bytes())]
    thread = threading.Thread(target=lambda: answer.update(fit=app.request(
        "POST", "/api/fit", fields=[("bootstrap", "5000"), ("job", job)], files=data)))
    thread.start()
    _wait_for_bootstrap(app, job)
    for pid in _children(app.process.pid):  # every worker, the busy one and the spare
        os.kill(pid, signal.SIGKILL)
    thread.join(60)
    status, _, body = answer["fit"]
    assert status == 500 and "stopped unexpectedly" in json.loads(body)["error"]
    status, _, body = app.request("POST", "/api/fit", files=data)
    assert status == 200 and json.loads(body)["ok"] is True, body


def test_fits_sent_at_once_all_come_back_the_same(app, lab):
    from concurrent.futures import ThreadPoolExecutor

    data = [("cooling.csv", (lab / "cooling.csv").read_bytes())]
    with ThreadPoolExecutor(4) as pool:  # more than the server runs at once: one waits its turn
        answers = list(pool.map(lambda _: app.request("POST", "/api/fit", files=data), range(4)))
    assert [status for status, _, _ in answers] == [200] * 4
    assert len({body for _, _, body in answers}) == 1


def _gone(pid):
    try:
        return pathlib.Path(f"/proc/{pid}/stat").read_text().split(")")[-1].split()[0] == "Z"
    except OSError:
        return True


@pytest.mark.parametrize("number, when", [
    (number, when) for number in (signal.SIGINT, signal.SIGTERM)
    for when in ("fit answered, downloads being written", "bootstrap running")
] + [(signal.SIGHUP, "bootstrap running"), (signal.SIGQUIT, "upload half sent")])
def test_stopping_removes_every_upload_and_download(tmp_path, number, when):
    """Stopped at any moment of a job, by Ctrl-C, SIGTERM, the terminal
    closing (SIGHUP) or SIGQUIT, the server ends cleanly: exit 0, no
    traceback, its folder removed, none of its workers left."""
    import socket
    import threading

    needs_app()
    server = App(tmp_path)
    data = [("cooling.csv", (DATA / "example_cooling.csv").read_bytes())]
    workers, answer, thread = set(), {}, None
    try:
        if when == "upload half sent":
            stalled = socket.create_connection(("127.0.0.1", server.port))
            stalled.sendall(f"POST /api/fit?token={server.token} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                            "Content-Type: multipart/form-data; boundary=x\r\nContent-Length: 100000\r\n\r\n"
                            "--x\r\n".encode())
            server.request("GET", "/api/models")  # the server is up and has read the half
            workers = _children(server.process.pid)
            thread = threading.Thread(target=lambda: answer.update(upload=stalled.recv(100)), daemon=True)
            thread.start()
        elif when == "bootstrap running":
            job = "stopped-" + str(time.monotonic_ns())
            thread = threading.Thread(target=lambda: answer.update(fit=server.request(
                "POST", "/api/fit", files=data, fields=[("bootstrap", "5000"), ("job", job)])))
            thread.start()
            _wait_for_bootstrap(server, job)
        else:
            status, _, _ = server.request("POST", "/api/fit", files=data)
            assert status == 200
        [folder] = server.folders()
        assert when == "upload half sent" or list(folder.rglob("cooling.csv"))
        workers |= _children(server.process.pid)
    finally:
        code, stderr = server.stop(number)
    assert code == 0, stderr
    assert server.folders() == []
    assert "stopped" in stderr and "Traceback" not in stderr and "ASGI callable" not in stderr, stderr
    deadline = time.monotonic() + 10
    while not all(_gone(pid) for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert all(_gone(pid) for pid in workers)
    if when == "upload half sent":  # answered, not cut off
        thread.join(30)
        stalled.close()
        assert answer["upload"].startswith(b"HTTP/1.1 503"), answer
    elif thread is not None:  # the running fit's request was answered, not cut off
        thread.join(30)
        status, _, body = answer["fit"]
        assert status == 503 and json.loads(body) == {"error": "the app was stopped before the analysis ended"}


def test_a_spare_worker_that_died_unseen_is_replaced_not_blamed(tmp_path, monkeypatch):
    """A pooled worker may die between jobs and still look alive for a
    moment: the job that finds it so goes to a new worker and is answered."""
    import asyncio
    import shutil

    needs_app()
    from kelvara.app.jobs import Jobs, Worker

    async def scenario():
        jobs = Jobs(str(tmp_path))
        try:
            jobs.warm()
            [spare] = jobs.idle
            spare.kill()
            spare.process.join(10)
            monkeypatch.setattr(Worker, "alive", property(lambda self: True))  # not yet seen dead
            job_id, folder = jobs.new()
            shutil.copy(DATA / "example_cooling.csv", pathlib.Path(folder, "in", "cooling.csv"))
            job = jobs.submit(job_id, folder, "fit", [], ["cooling.csv"])
            await asyncio.wait_for(job.finished.wait(), 120)
            return job, spare
        finally:
            await jobs.close()

    job, spare = asyncio.run(scenario())
    assert job.status == 200, job.text
    assert json.loads(job.text)["ok"] is True and "result.json" in job.downloads
    assert spare.process.exitcode == -signal.SIGKILL


def test_a_port_in_use_is_one_line_and_exit_status_2(app):
    run = kelvara("app", "--no-browser", "--port", app.port)
    assert run.returncode == 2
    assert run.stderr.startswith(f"kelvara: error: cannot serve on 127.0.0.1 port {app.port}")
    assert kelvara("app", "--port", "http").returncode == 2


@pytest.mark.parametrize("given, expected", [
    ("data.csv", "data.csv"), ("../../etc/passwd", "passwd"), ("C:\\lab\\run 1.xlsx", "run 1.xlsx"),
    ("é" * 150 + ".csv", "é" * 98 + ".csv"),  # a name holds 255 bytes: 200 are kept, the format's suffix last
    (".bashrc", "bashrc"), ("", "upload"), ("a\x00b\nc.csv", "abc.csv"), ("-rf.csv", "rf.csv"),
])
def test_an_uploads_name_never_leaves_its_folder(given, expected):
    pytest.importorskip("starlette")
    from kelvara.app.server import _safe_name

    taken = set()
    assert _safe_name(given, taken) == expected
    assert _safe_name(given, taken) != expected  # a second file of that name is kept apart


def test_the_page_takes_its_options_from_the_declarations(app):
    """Every field of the page is an option the server declares, served
    with its flag and help; nothing that names a file on the server is."""
    import re

    status, _, declared = app.json("GET", "/api/options")
    assert status == 200 and set(declared) == {"read", "fit", "compare"}
    names = {o["name"] for options in declared.values() for o in options}
    page = app.request("GET", "/")[2].decode()
    fields = set(re.findall(r'data-field="([a-z_]+)"', page))
    assert fields and fields <= names, fields - names
    assert not names & {"data", "json", "plot", "report", "csv", "results", "curves", "blank"}
    fix = next(o for o in declared["fit"] if o["name"] == "fix")
    assert fix["flag"] == "--fix" and fix["repeat"] and "kJ/mol" in fix["help"]
    assert "model" not in {o["name"] for o in declared["compare"]} | {o["name"] for o in declared["read"]}


@pytest.mark.parametrize("fields, argv", [
    ([("model", "cooperative_n"), ("nuc_size", "2:5"), ("fix", "delta_h=-95kJ/mol"), ("bound", "delta_s=-300:-100"),
      ("baseline_slope", "false"), ("bootstrap", "20"), ("seed", "7")],
     ["--model", "cooperative_n", "--nuc-size", "2:5", "--fix", "delta_h=-95kJ/mol", "--bound", "delta_s=-300:-100",
      "--no-baseline-slope", "--bootstrap", "20", "--seed", "7"]),
    ([("signal_column", "CD"), ("signal_column", "HT"), ("c_tot", "5uM"), ("range", "5:85C"), ("celsius", "true")],
     ["--signal-column", "CD", "--signal_column", "HT", "--c-tot", "5uM", "--range", "5:85C", "--celsius"]),
])
def test_a_form_and_a_command_line_ask_for_the_same_values(fields, argv):
    """The page and the command line go through one set of declarations:
    the same options give the same typed values (SI units, ranges)."""
    needs_app()
    from kelvara.app.fields import options
    from kelvara.arguments import request_of
    from kelvara.cli import build_parser

    parsed = request_of("fit", build_parser().parse_args(["fit", *argv, "a.csv"]))
    given = options("fit", fields, ["a.csv"])
    assert dict(given.values) == dict(parsed.values)
    assert given.values["data"] == ("a.csv",)
    if "fix" in dict(fields):
        assert parsed.keywords("fit")["fix"] == {"delta_h": -95000.0}
        assert parsed.keywords("fit")["bounds"] == {"delta_s": (-300.0, -100.0)}
        assert parsed.keywords("fit")["nuc_size"] == range(2, 6)


@pytest.mark.parametrize("fields, argv", [
    ([("model", "isodesmic")], ["fit", "--model=isodesmic"]),
    ([("c_tot", "5uM"), ("c_tot", "10uM")], ["fit", "--c-tot=5uM", "--c-tot=10uM"]),
    ([("baseline_slope", "true"), ("aggregate_slope", "false"), ("extensive", "")],
     ["fit", "--baseline-slope", "--no-aggregate-slope"]),
    ([("baseline_slope", ""), ("aggregate_slope", "true")], ["fit", "--aggregate-slope"]),  # empty: the data choose
    ([("fix", "delta_h=-95kJ/mol"), ("sheet", " ")], ["fit", "--fix=delta_h=-95kJ/mol"]),
    ([("example", "series")], ["fit", "--example=series"]),
])
def test_form_fields_are_the_commands_options(fields, argv):
    from kelvara.app.fields import arguments

    assert arguments("fit", fields, []) == argv
    assert arguments("fit", fields, ["a.csv"]) == argv + ["--", "a.csv"]


def test_a_killed_servers_workers_end_and_its_folder_goes_at_the_next_start(tmp_path):
    """SIGKILL leaves the folder with the uploads: the next server removes
    it (not a live server's, not one it cannot tell); the workers end with
    their server, even in the middle of a bootstrap."""
    import os
    import threading

    needs_app()
    if not os.path.exists("/proc/self/task"):
        pytest.skip("needs /proc to find the workers")
    alive = tmp_path / "kelvara-app-alive"
    (alive / "job").mkdir(parents=True)
    (alive / "server.pid").write_text(str(os.getpid()))
    unknown = tmp_path / "kelvara-app-unknown"
    unknown.mkdir()
    killed = App(tmp_path)
    job = "orphan-" + str(time.monotonic_ns())

    def fit():
        with contextlib.suppress(OSError):  # the server dies under it
            killed.request("POST", "/api/fit", files=[("cooling.csv", (DATA / "example_cooling.csv").read_bytes())],
                           fields=[("bootstrap", "20000"), ("job", job)])

    thread = threading.Thread(target=fit, daemon=True)
    thread.start()
    _wait_for_bootstrap(killed, job)
    workers = _children(killed.process.pid)
    [left] = set(killed.folders()) - {alive, unknown}
    _, stderr = killed.stop(signal.SIGKILL)  # read to its end: when the workers, which share it, have ended
    assert "Traceback" not in stderr, stderr
    deadline = time.monotonic() + 15
    while not all(_gone(pid) for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert workers and all(_gone(pid) for pid in workers)
    assert left.exists()
    with App(tmp_path) as server:
        assert not left.exists()
        assert alive.exists() and unknown.exists() and len(server.folders()) == 3


def test_the_browser_is_opened_on_a_private_file_not_on_the_token(tmp_path):
    """Every user of the machine sees a command line: the browser's holds a
    file only this user can read, which leads to the address."""
    import os
    import stat
    import subprocess
    import sys

    needs_app()
    seen = tmp_path / "argv.txt"
    browser = tmp_path / "browser"
    browser.write_text(f"#!/bin/sh\nprintf '%s\\n' \"$@\" > {seen}\n")
    browser.chmod(0o755)
    environment = dict(os.environ, TMPDIR=str(tmp_path), BROWSER=f"{browser} %s")
    process = subprocess.Popen([sys.executable, "-m", "kelvara", "app"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, env=environment)
    try:
        url = process.stdout.readline().strip()
        deadline = time.monotonic() + 30
        while not seen.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        [opened] = seen.read_text().split()
        token = url.split("token=")[1]
        assert token not in opened and opened.startswith("file://")
        page = pathlib.Path(opened[len("file://"):])
        assert stat.S_IMODE(page.stat().st_mode) == 0o600 and stat.S_IMODE(page.parent.stat().st_mode) == 0o700
        assert f'url={url}"' in page.read_text()
    finally:
        process.send_signal(signal.SIGINT)
        process.communicate(timeout=30)
    assert not page.exists()


def test_slow_and_surplus_connections_are_closed(tmp_path):
    """Headers that do not come in time, a body that stalls, and more
    connections than the cap: each is ended, none holds the server."""
    needs_app()
    from kelvara.app.protocol import guarded_protocol

    def connection(first=b"GET /api/models HTTP/1.1\r\nHost: 127.0.0.1\r\n"):
        return connect(first, pause=0)

    with _served(tmp_path, lambda app: guarded_protocol(0.5, 3), read_timeout=0.5) as connect:
        half = [connection(), connection()]
        body = connection(b"POST /api/read HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Kelvara-Token: " + b"t" * 32
                          + b"\r\nContent-Type: multipart/form-data; boundary=x\r\nContent-Length: 1000\r\n\r\n--x")
        surplus = connection()
        head, _, answer = surplus.recv(1000).partition(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 503") and b"content-length: %d" % len(answer) in head
        started = time.monotonic()
        assert [sock.recv(100) for sock in half] == [b"", b""]  # closed, not answered
        assert b" 408 " in body.recv(200).split(b"\r\n")[0] + b" "
        assert time.monotonic() - started < 5
        fresh = connection(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        assert fresh.recv(100).startswith(b"HTTP/1.1 200")  # the slots are free again


def test_readings_do_not_push_out_the_fit_a_page_shows(tmp_path):
    import asyncio

    from kelvara.app.jobs import Job, Jobs

    async def main():
        jobs = Jobs(str(tmp_path), keep=3)
        for n, command in enumerate(["fit"] + ["read"] * 5 + ["fit"] * 3):
            job = Job(f"job{n:05d}", command, [], [], str(tmp_path / f"job{n:05d}"))
            job.finished.set()
            jobs.jobs[job.id] = job
            if n == 7:
                assert jobs.get("job00000") is not None  # the page asked for it: used last
            jobs._forget_old()
        return list(jobs.jobs)

    assert asyncio.run(main()) == ["job00003", "job00004", "job00005", "job00007", "job00000", "job00008"]


def test_a_job_id_is_never_given_twice_so_an_old_download_key_opens_nothing_new(tmp_path):
    import shutil

    from kelvara.app.jobs import Jobs
    from kelvara.errors import KelvaraError

    jobs = Jobs(str(tmp_path))
    job_id, folder = jobs.new("chosen-by-a-client")
    shutil.rmtree(folder)  # the job forgotten, its folder gone
    with pytest.raises(KelvaraError, match="and new: not 'chosen-by-a-client'"):
        jobs.new("chosen-by-a-client")


def test_a_full_disk_stops_the_downloads_says_why_and_leaves_no_half_file(tmp_path, monkeypatch):
    import errno

    from kelvara import writer
    from kelvara.app import worker

    def full(fd, payload, shown):
        if shown.endswith("fit.png"):
            os.write(fd, payload[:3])  # a part went to disk before it filled
            raise OSError(errno.ENOSPC, "No space left on device", shown)
        os.write(fd, payload)

    monkeypatch.setattr(writer, "_write_all", full)
    sent = []
    worker._write_downloads(str(tmp_path), [("results.csv", lambda: "kind,name\n"), ("fit.png", lambda: b"PNG" * 99),
                                            ("report.html", lambda: "<html>")], sent.append)
    assert sent[0] == ("file", "results.csv") and sent[-1][0] == "warning" and len(sent) == 2
    assert sent[-1][1].startswith("the downloads stopped after 1 of 3: they could not be written (No space left")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["results.csv"]


def test_a_worker_cannot_take_more_than_its_share_of_memory():
    code = ("import resource, sys\nfrom kelvara.app import worker\nworker.MEMORY_SHARE, worker.MIN_CAP = 0.0, 1 << 30\n"
            "worker.cap_memory()\nprint(resource.getrlimit(resource.RLIMIT_AS)[0])\n"
            "try:\n    bytearray(2 << 30) if sys.argv[1:] else None\nexcept MemoryError:\n    print('refused')\n")
    # Under a sanitizer its allocator aborts where Python's says MemoryError: the cap alone is checked.
    sanitized = "asan" in os.environ.get("LD_PRELOAD", "")
    done = subprocess.run([sys.executable, "-c", code] + ([] if sanitized else ["allocate"]), capture_output=True,
                          text=True, timeout=60)
    assert done.stdout.split() == [str(1 << 30)] + ([] if sanitized else ["refused"]), done.stderr


@contextlib.contextmanager
def _served(tmp_path, protocol, **app_options):
    """A server on a port of its own, `protocol(app)` its HTTP protocol;
    yields connect(first bytes, receive buffer, pause after) -> a socket."""
    import asyncio
    import socket
    import threading

    needs_app()
    import uvicorn

    from kelvara.app.jobs import Jobs
    from kelvara.app.server import create_app

    listening = socket.socket()
    listening.bind(("127.0.0.1", 0))
    port = listening.getsockname()[1]
    app = create_app("t" * 32, Jobs(str(tmp_path)), **app_options)
    server = uvicorn.Server(uvicorn.Config(app, lifespan="off", log_config=None, log_level="critical",
                                           http=protocol(app)))
    server.install_signal_handlers = lambda: None  # uvicorn before 0.29
    thread = threading.Thread(target=lambda: asyncio.run(server.serve(sockets=[listening])), daemon=True)
    thread.start()
    while not server.started:
        time.sleep(0.05)
    opened = []

    def connect(first=b"", buffer=None, pause=0.2):
        sock = socket.socket()
        if buffer:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, buffer)
        sock.settimeout(10)
        sock.connect(("127.0.0.1", port))
        opened.append(sock)
        sock.sendall(first)
        time.sleep(pause)  # in the order they came
        return sock

    try:
        yield connect
    finally:
        for sock in opened:
            sock.close()
        server.should_exit = True
        thread.join(10)
        listening.close()


def test_at_the_cap_a_neighbours_connections_make_room_for_the_user(tmp_path):
    needs_app()
    from kelvara.app.protocol import guarded_protocol

    asked = b"GET /api/models HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Kelvara-Token: " + b"t" * 32 + b"\r\n\r\n"

    def status(sock):
        return sock.recv(1 << 20).split(b"\r\n")[0]  # the whole answer, its first line

    with _served(tmp_path, lambda app: guarded_protocol(5, 2, app.authenticated)) as connect:
        user = connect(asked)
        assert status(user) == b"HTTP/1.1 200 OK"  # the user's: kept open, and kept
        idle = connect()  # a neighbour's, that sends nothing
        fresh = connect(asked)  # over the cap: the neighbour's goes, not the user's nor the new one
        assert idle.recv(100) == b"" and status(fresh) == b"HTTP/1.1 200 OK"
        assert status(connect(asked)) == b"HTTP/1.1 503 Service Unavailable"  # every open one the user's
        user.sendall(asked)
        time.sleep(0.2)
        assert status(user) == b"HTTP/1.1 200 OK"


def test_an_answer_no_one_reads_is_dropped_and_its_place_freed(tmp_path):
    needs_app()
    from kelvara.app.protocol import guarded_protocol

    script = b"GET /static/plotly.min.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"  # megabytes, never read
    with _served(tmp_path, lambda app: guarded_protocol(5, 1, write_timeout=0.5)) as connect:
        connect(script, buffer=4096)
        time.sleep(1.0)
        assert connect(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").recv(100).startswith(b"HTTP/1.1 200")


def test_an_upload_the_disk_cannot_hold_is_507_not_the_clients_fault(tmp_path, monkeypatch):
    needs_app()
    import errno

    from appserver import multipart
    from starlette.datastructures import UploadFile

    from kelvara.app.protocol import guarded_protocol

    async def full(self, data):
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(UploadFile, "write", full)
    body, kind = multipart([], [("cooling.csv", (DATA / "example_cooling.csv").read_bytes())])
    with _served(tmp_path, lambda app: guarded_protocol(5, 8, app.authenticated)) as connect:
        sock = connect(b"POST /api/read HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Kelvara-Token: " + b"t" * 32
                       + f"\r\nContent-Type: {kind}\r\nContent-Length: {len(body)}\r\n\r\n".encode() + body)
        head, _, answer = sock.recv(1 << 16).partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 507") and b"No space left on device" in answer



def test_the_page_names_its_own_controls_where_a_note_names_a_flag():
    import html
    import re

    import kelvara.app
    from kelvara.app.fields import CONTROLS, on_the_page

    page = html.unescape((pathlib.Path(kelvara.app.__file__).parent / "static" / "index.html").read_text())
    for flag, words in CONTROLS.items():
        for part in re.findall(r'"([^"]+)"', words)[0].split(": "):  # "Monomer baseline: flat in T"
            assert part in page, (flag, part)
    note = ("monomer baseline slope: kept (...); --no-baseline-slope forces it; --baseline-slope-x stays; "
            "--free delta_s_nuc fits it; give --c-tot 5uM")
    assert on_the_page(note) == ('monomer baseline slope: kept (...); "Monomer baseline: flat in T" forces it; '
                                 '--baseline-slope-x stays; "free the entropy of nucleation" fits it; give '
                                 '"Concentrations" 5uM')
