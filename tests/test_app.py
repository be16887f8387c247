"""kelvara app's HTTP API, through a plain HTTP client against the command
as a user starts it: the same answers as the command line, its guards
(token, Host, size), its errors as JSON, cancelling, and a clean stop."""

import io
import json
import pathlib
import signal
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
    return folder


CASES = {
    "fit": ("fit", ["cooling.csv"], [("model", "cooperative")]),
    "fit, concentration given": ("fit", ["one curve.csv"], [("model", "cooperative"), ("c_tot", "10uM"),
                                                           ("celsius", "true"), ("fix", "delta_h_nuc=22kJ/mol")]),
    "fit, slopes": ("fit", ["cooling.csv"], [("baseline_slope", "true"), ("shared_amplitude", "on")]),
    "compare": ("compare", ["cooling.csv"], [("models", "isodesmic,cooperative")]),
    "read": ("read", ["one curve.csv"], [("c_tot", "10uM"), ("celsius", "true")]),
    "read, two files": ("read", ["cooling.csv", "cooling copy.csv"], [("display_unit", "C")]),
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


def test_downloads_hold_every_result(app, lab):
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


@pytest.mark.parametrize("how", ["no token", "wrong token", "foreign host", "host that ends like ours",
                                 "host with a local prefix"])
@pytest.mark.parametrize("method, path", [("GET", "/"), ("GET", "/api/models"), ("POST", "/api/fit"),
                                          ("GET", "/static/app.js"), ("GET", "/api/jobs/abcdefgh")])
def test_a_request_without_the_token_or_from_a_foreign_host_gets_403(app, lab, how, method, path):
    headers = {"Host": {"foreign host": "evil.example", "host that ends like ours": "evil.localhost",
                        "host with a local prefix": "127.0.0.1.evil.example"}[how]} if "host" in how else {}
    if how == "wrong token":
        headers["X-Kelvara-Token"] = "x" + app.token
    files = [("cooling.csv", (lab / "cooling.csv").read_bytes())] if method == "POST" else ()
    status, _, body = app.request(method, path, headers=headers, token=how.endswith("host") or "prefix" in how,
                                  files=files)
    assert status == 403
    assert "error" in json.loads(body)


@pytest.mark.parametrize("how", ["query", "cookie", "header", "bearer", "localhost"])
def test_the_token_may_come_as_a_cookie_header_or_in_the_address(app, how):
    headers = {"cookie": {"Cookie": f"kelvara_token={app.token}"}, "header": {"X-Kelvara-Token": app.token},
               "bearer": {"Authorization": f"Bearer {app.token}"},
               "localhost": {"Host": f"localhost:{app.port}"}}.get(how, {})
    status, response, body = app.request("GET", "/api/models", headers=headers, token=how in ("query", "localhost"))
    assert status == 200
    assert "cooperative" in [m["name"] for m in json.loads(body)["models"]]
    if how == "query":  # the address's token is kept as a cookie for the page
        cookie = response["set-cookie"]
        assert cookie.startswith(f"kelvara_token={app.token};") and "HttpOnly" in cookie and "SameSite=Strict" in cookie


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


@pytest.mark.parametrize("when", ["fit answered, downloads being written", "bootstrap running"])
@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM])
def test_stopping_removes_every_upload_and_download(tmp_path, number, when):
    """Stopped at any moment of a job, the server ends cleanly: exit 0, no
    traceback, its folder removed, none of its workers left."""
    import threading

    needs_app()
    server = App(tmp_path)
    data = [("cooling.csv", (DATA / "example_cooling.csv").read_bytes())]
    workers, answer, thread = set(), {}, None
    try:
        if when == "bootstrap running":
            job = "stopped-" + str(time.monotonic_ns())
            thread = threading.Thread(target=lambda: answer.update(fit=server.request(
                "POST", "/api/fit", files=data, fields=[("bootstrap", "5000"), ("job", job)])))
            thread.start()
            _wait_for_bootstrap(server, job)
        else:
            status, _, _ = server.request("POST", "/api/fit", files=data)
            assert status == 200
        [folder] = server.folders()
        assert list(folder.rglob("cooling.csv"))
        workers = _children(server.process.pid)
    finally:
        code, stderr = server.stop(number)
    assert code == 0, stderr
    assert server.folders() == []
    assert "stopped" in stderr and "Traceback" not in stderr, stderr
    deadline = time.monotonic() + 10
    while not all(_gone(pid) for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert all(_gone(pid) for pid in workers)
    if thread is not None:  # the running fit's request was answered, not cut off
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
    (".bashrc", "bashrc"), ("", "upload"), ("a\x00b\nc.csv", "abc.csv"), ("-rf.csv", "rf.csv"),
])
def test_an_uploads_name_never_leaves_its_folder(given, expected):
    pytest.importorskip("starlette")
    from kelvara.app.server import _safe_name

    taken = set()
    assert _safe_name(given, taken) == expected
    assert _safe_name(given, taken) != expected  # a second file of that name is kept apart


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
