"""The app's server: the page, its files, and the HTTP API.

    POST /api/read | /api/fit | /api/compare
        multipart: `files` (one or more data files) and the command's options
        as fields named with underscores (model, models, c_tot repeated,
        fix=name=value repeated, baseline_slope=true, ...).  Answers the JSON
        that `--json` writes, or {"error": "..."} with 400 (bad input), 409
        (cancelled), 413 (over 200 MB), 503 (the app was stopped meanwhile)
        or 500.  An optional field `job` (8 to 64 letters and
        digits) names the job, so that its progress can be followed while
        the request runs; the answer's header X-Kelvara-Job names it always.
    GET  /api/jobs/ID                  state, progress, downloads, and what the page shows
    POST /api/jobs/ID/cancel           stop it
    GET  /api/jobs/ID/files/NAME       a download (the zip: kelvara-results.zip)
    GET  /api/models                   the models, their parameters and when to use each
    GET  /api/options                  the options of read, fit and compare: name, flag, kind, help, unit

Only this computer is served (127.0.0.1).  Every request must carry a Host
header of localhost or 127.0.0.1 (DNS rebinding).  The API besides takes the
access token (the address printed at start carries it; the page keeps it in
its tab and sends it as an X-Kelvara-Token header; scripts may send it so,
as a bearer token or as ?token=) and refuses what another page sends (an
Origin or Sec-Fetch-Site not its own); a download's link carries a key for
that file alone.  No cookie is set: cookies go to every port of 127.0.0.1.
Otherwise the answer is 403.
"""

from __future__ import annotations

import asyncio
import contextlib
import gzip
import hashlib
import hmac
import os
import pathlib
import re
import secrets
import shutil
import signal
import socket
import stat
import sys
import tempfile
import threading
import unicodedata
import urllib.parse
import webbrowser
from typing import List, Set

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.datastructures import UploadFile
from starlette.responses import FileResponse, JSONResponse, Response
from starlette.routing import Route

from kelvara.app.fields import COMMANDS
from kelvara.app.jobs import Jobs
from kelvara.app.protocol import guarded_protocol
from kelvara.errors import KelvaraError

__all__ = ["MAX_UPLOAD", "create_app", "serve"]

MAX_UPLOAD = 200 * 1024 * 1024  # bytes in one request
READ_TIMEOUT = 30.0  # seconds a request's headers, or any part of its body, may take to come
_STEP = 0.25  # seconds between looks at whether the app is stopping, while a body comes
MAX_CONNECTIONS = 64  # open at once; a browser opens six
STATIC = pathlib.Path(__file__).resolve().parent / "static"
_LOCAL_HOST = re.compile(r"^(localhost|127\.0\.0\.1)(:\d{1,5})?$", re.IGNORECASE)
_PUBLIC = re.compile(r"^/(static/[A-Za-z0-9._-]+)?$")
_DOWNLOAD = re.compile(r"^/api/jobs/([^/]+)/files/([^/]+)$")
# Only the app's own scripts run; its page is framed by no other; no address is sent on.
_SAFETY = [(b"content-security-policy", b"default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
            b"img-src 'self' data: blob:; font-src 'self' data:; connect-src 'self'; frame-ancestors 'none'; "
            b"base-uri 'none'; form-action 'none'"),
           (b"x-frame-options", b"DENY"), (b"x-content-type-options", b"nosniff"),
           (b"referrer-policy", b"no-referrer"), (b"cross-origin-resource-policy", b"same-origin")]
_TYPES = {".js": "text/javascript; charset=utf-8", ".css": "text/css; charset=utf-8"}
_DOWNLOAD_TYPES = {".json": "application/json", ".txt": "text/plain; charset=utf-8", ".csv": "text/csv; charset=utf-8",
                   ".xlsx": "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
                   ".png": "image/png", ".svg": "image/svg+xml", ".pdf": "application/pdf",
                   ".html": "text/html; charset=utf-8", ".zip": "application/zip"}


class TooLarge(Exception):
    pass


class TooSlow(Exception):
    pass


class Stopping(Exception):
    """The app is stopping while a request's body is still coming."""


def _error(message, status):
    return JSONResponse({"error": message}, status_code=status)


def download_key(token, job, name):
    """The key of one download's link: it opens that file alone, so that a
    link (saved, or opened in a new tab) carries no access token."""
    return hmac.new(token.encode("utf-8"), f"{job}/{name}".encode("utf-8"), hashlib.sha256).hexdigest()[:32]


class Guard:
    """Every request: a local Host, and a body of at most `limit` bytes read
    within `read_timeout` seconds a part.  The API besides takes the token (a
    download also its own key) and refuses what another page sent: a page on
    another port of 127.0.0.1 is another origin, but the same site, and the
    browser lets it post forms and scripts anywhere.  The page and its
    scripts are public (they hold nothing secret) and may not be framed."""

    def __init__(self, app, token, limit=MAX_UPLOAD, read_timeout=READ_TIMEOUT, stopping=lambda: False):
        self.app = app
        self.token = token
        self.limit = limit
        self.read_timeout = read_timeout
        self.stopping = stopping  # whether the app is stopping: a body still coming then ends its request

    def authenticated(self, scope) -> bool:
        """Whether a request carries the access token."""
        headers = {k.decode("latin-1").lower(): v.decode("latin-1") for k, v in scope.get("headers", [])}
        return _same(self._token(scope, headers), self.token)

    def _token(self, scope, headers):
        query = urllib.parse.parse_qs(scope.get("query_string", b"").decode("latin-1"))
        if query.get("token"):
            return query["token"][-1]
        if headers.get("x-kelvara-token"):
            return headers["x-kelvara-token"]
        authorization = headers.get("authorization", "")
        if authorization.lower().startswith("bearer "):
            return authorization[7:].strip()
        return ""

    def _refusal(self, scope, headers):
        """Why the request is refused (403), or None."""
        path, method = scope.get("path", ""), scope.get("method", "GET")
        if method in ("GET", "HEAD") and _PUBLIC.match(path):
            return None  # the page, opened from anywhere (the browser starts on a file)
        site = headers.get("sec-fetch-site", "same-origin")
        origin = headers.get("origin")
        if site not in ("same-origin", "none") or (origin is not None and origin != "http://" + headers["host"]):
            return "a request from another page (or another port of this computer) is refused"
        if _same(self._token(scope, headers), self.token):
            return None
        download = _DOWNLOAD.match(path)
        if download and method in ("GET", "HEAD"):
            key = urllib.parse.parse_qs(scope.get("query_string", b"").decode("latin-1")).get("key", [""])[-1]
            if _same(key, download_key(self.token, *download.groups())):  # the path comes unquoted
                return None
        return "the access token is missing or wrong: open the address that kelvara app printed"

    async def __call__(self, scope, receive, send):
        if scope["type"] == "lifespan":
            return await self.app(scope, receive, send)
        if scope["type"] != "http":  # no websockets here
            if scope["type"] == "websocket":
                await send({"type": "websocket.close", "code": 1008})
            return
        headers = {k.decode("latin-1").lower(): v.decode("latin-1") for k, v in scope.get("headers", [])}

        async def guarded(message):
            if message["type"] == "http.response.start":
                message = dict(message, headers=list(message.get("headers", [])) + _SAFETY)
            await send(message)

        headers["host"] = headers.get("host", "").strip()
        if not _LOCAL_HOST.match(headers["host"]):
            return await _error("this server answers to localhost and 127.0.0.1 only", 403)(scope, receive, guarded)
        refusal = self._refusal(scope, headers)
        if refusal is not None:
            return await _error(refusal, 403)(scope, receive, guarded)
        length = headers.get("content-length", "")
        if length.isdigit() and int(length) > self.limit:
            return await _error(f"the upload is larger than {self.limit // 2**20} MB", 413)(scope, receive, guarded)
        received = 0

        async def counted():
            nonlocal received
            loop = asyncio.get_running_loop()
            deadline = loop.time() + self.read_timeout
            while True:
                # In steps, so that a body still coming when the app stops
                # ends its request at once (answered 503), not at the
                # server's grace period (cut off, with uvicorn's complaint).
                try:
                    message = await asyncio.wait_for(receive(), min(_STEP, max(deadline - loop.time(), 0.0)))
                    break
                except asyncio.TimeoutError:
                    if self.stopping():
                        raise Stopping() from None
                    if loop.time() >= deadline:
                        raise TooSlow() from None
            if message["type"] == "http.request":
                received += len(message.get("body", b""))
                if received > self.limit:
                    raise TooLarge()
            return message

        try:
            await self.app(scope, counted, guarded)
        except asyncio.CancelledError:  # the app is stopping under a request: its end, not a fault
            pass


def _same(given, expected):
    return hmac.compare_digest(given.encode("utf-8", "replace"), expected.encode("utf-8"))


def _safe_name(name, taken):
    """A client's file name as a plain name in the job's folder: no folders,
    no hidden or control characters, unique; its suffix kept (it says the format)."""
    name = unicodedata.normalize("NFC", str(name or "")).replace("\\", "/").split("/")[-1]
    name = "".join(ch for ch in name if ch.isprintable() and ch not in '<>:"|?*').strip().lstrip(".-")
    name = name[-120:]
    while len(name.encode("utf-8")) > 200:  # a file name holds 255 bytes; room for "-2"
        name = name[1:]
    name = name or "upload"
    stem, suffix = os.path.splitext(name)
    candidate, n = name, 1
    while candidate.lower() in taken:
        n += 1
        candidate = f"{stem}-{n}{suffix}"
    taken.add(candidate.lower())
    return candidate


def _copy(upload, path):
    upload.file.seek(0)
    with open(path, "xb") as out:
        shutil.copyfileobj(upload.file, out, 1 << 20)


def create_app(token, jobs, limit=MAX_UPLOAD, read_timeout=READ_TIMEOUT):
    """The app as an ASGI application, whose analyses `jobs` runs."""
    page = (STATIC / "index.html").read_bytes()
    plotly_gzipped = (STATIC / "plotly.min.js.gz").read_bytes()  # plotly.js, MIT: see plotly.LICENSE.txt
    plotly_plain: List[bytes] = []  # decompressed once, the first time a browser asks for it so

    async def index(request):
        return Response(page, media_type="text/html; charset=utf-8", headers={"Cache-Control": "no-store"})

    async def static(request):
        name = request.path_params["name"]
        if name == "plotly.min.js":  # kept gzipped in the package: sent so where the browser takes it
            if "gzip" in request.headers.get("accept-encoding", ""):
                return Response(plotly_gzipped, media_type=_TYPES[".js"],
                                headers={"Content-Encoding": "gzip", "Cache-Control": "no-cache", "Vary": "Accept-Encoding"})
            if not plotly_plain:
                plotly_plain.append(gzip.decompress(plotly_gzipped))
            return Response(plotly_plain[0], media_type=_TYPES[".js"],
                            headers={"Cache-Control": "no-cache", "Vary": "Accept-Encoding"})
        else:
            path = STATIC / name
            if name not in {"app.js", "app.css"} or not path.is_file():
                return _error("no such file", 404)
        return FileResponse(path, media_type=_TYPES[path.suffix], headers={"Cache-Control": "no-cache"})

    async def models(request):
        return JSONResponse(_model_table())

    async def options(request):
        from kelvara.arguments import describe

        return JSONResponse({command: describe(command) for command in COMMANDS})

    async def analysis(request, command):
        fields, uploads = [], []
        try:
            form = await request.form(max_files=1000, max_fields=1000)
        except TooLarge:
            return _error(f"the upload is larger than {limit // 2**20} MB", 413)
        except TooSlow:
            return _error(f"the upload stalled: no part of it came for {read_timeout:g} s", 408)
        except Stopping:
            return _error("the app was stopped before the upload ended", 503)
        except OSError as error:  # a full disk under the parts kept while they come
            return _error(f"could not keep the upload: {error.strerror or error}", 507)
        except Exception as error:  # a body that is no form: the client's fault
            return _error(f"send the data as a multipart form with the files in 'files': {error}", 400)
        try:
            for name, value in form.multi_items():
                if isinstance(value, UploadFile):
                    if name != "files":
                        return _error(f"a file was sent in the field {name!r}; data files go in 'files'", 400)
                    uploads.append(value)
                elif name == "files":
                    return _error("'files' takes uploaded files, not text: the server reads no paths", 400)
                else:
                    fields.append((name, value))
            asked = [v for k, v in fields if k == "job"]
            fields = [(k, v) for k, v in fields if k != "job"]
            try:
                job_id, folder = jobs.new(asked[-1] if asked else None)
            except KelvaraError as error:
                return _error(str(error), 400)
            taken: Set[str] = set()
            names: List[str] = []
            try:
                for upload in uploads:
                    name = _safe_name(upload.filename, taken)
                    await run_in_threadpool(_copy, upload, os.path.join(folder, "in", name))
                    names.append(name)
            except OSError as error:  # a full disk: nothing of the job is kept
                shutil.rmtree(folder, ignore_errors=True)
                return _error(f"could not keep the upload: {error.strerror or error}", 507)
            except BaseException:
                shutil.rmtree(folder, ignore_errors=True)
                raise
        finally:
            await form.close()
        job = jobs.submit(job_id, folder, command, fields, names)
        await job.answered.wait()
        # The JSON text as the command writes it.
        return Response(job.text, status_code=job.status, media_type="application/json",
                        headers={"X-Kelvara-Job": job.id})

    def route(command):
        async def endpoint(request):
            return await analysis(request, command)
        return endpoint

    def of_job(handler):
        """A route about one job: `handler(request, job)`, or 404."""
        async def endpoint(request):
            job = jobs.get(request.path_params["job"])
            if job is None:
                return _error(f"no such job (the app keeps the {jobs.keep} analyses used last, "
                              "and as many readings)", 404)
            return await handler(request, job)
        return endpoint

    async def job_state(request, job):
        state = job.to_dict()
        state["links"] = {name: f"/api/jobs/{job.id}/files/{urllib.parse.quote(name)}"
                                f"?key={download_key(token, job.id, name)}" for name in job.downloads}
        return JSONResponse(state)

    async def cancel(request, job):
        jobs.cancel(job)
        return JSONResponse(job.to_dict(view=False))

    async def download(request, job):
        name = request.path_params["name"]
        if name not in job.downloads:
            return _error(f"no download {name!r} for this job (yet)", 404)
        return FileResponse(os.path.join(job.outputs, name), filename=job.saved_name(name),
                            media_type=_DOWNLOAD_TYPES.get(pathlib.Path(name).suffix, "application/octet-stream"))

    async def not_found(request, exc):
        return _error("no such page", 404)

    async def server_error(request, exc):
        return _error(f"internal error: {type(exc).__name__}", 500)

    @contextlib.asynccontextmanager
    async def lifespan(app):
        jobs.warm()
        try:
            yield
        finally:
            await jobs.close()

    routes = [Route("/", index), Route("/static/{name}", static), Route("/api/models", models),
              Route("/api/options", options)]
    routes += [Route(f"/api/{command}", route(command), methods=["POST"]) for command in COMMANDS]
    routes += [Route("/api/jobs/{job}", of_job(job_state)),
               Route("/api/jobs/{job}/cancel", of_job(cancel), methods=["POST"]),
               Route("/api/jobs/{job}/files/{name}", of_job(download))]
    app = Starlette(routes=routes, lifespan=lifespan,
                    exception_handlers={404: not_found, 405: not_found, 500: server_error})
    return Guard(app, token, limit, read_timeout, stopping=lambda: jobs.closed)


def _model_table():
    from kelvara.analysis import DEFAULT_COMPARED, DEFAULT_MODELS
    from kelvara.models import EXPERIMENTS, MODELS, unit_of
    from kelvara.quantities import PARAMETER_MEANINGS
    from kelvara.names import symbol_html

    def parameter(name, per_curve=False):
        return {"name": name, "unit": unit_of(name), "meaning": PARAMETER_MEANINGS.get(name, ""),
                "per_curve": per_curve, "symbol": symbol_html(name, ())}

    return {"models": [{"name": m.name, "description": m.description,
                        "experiments": list(m.experiments), "fits": [EXPERIMENTS[k] for k in m.experiments],
                        "parameters": [parameter(n) for n in m.thermo]
                        + [parameter(n, True) for n in m.per_curve],
                        "constants": [parameter(n) for n in m.constants],
                        "nucleation_entropy": m.nucleation_entropy and parameter(m.nucleation_entropy),
                        "nuc_size": m.takes_nuc_size,
                        "nucleated": m.nucleated}
                       for m in MODELS.values()],
            "default": DEFAULT_MODELS, "compared": {k: v.split(",") for k, v in DEFAULT_COMPARED.items()}}


def serve(port=0, browser=True, out=None):
    """Serve the app on 127.0.0.1:`port` (0: a free one) until Ctrl-C,
    SIGTERM, SIGHUP or SIGQUIT; the first line on `out` (stdout) is the
    page's address with its token.  The browser is opened on a file only
    this user can read, which leads to that address: the token is on no
    command line."""
    import uvicorn

    from kelvara.analysis import UsageError

    out = out or sys.stdout
    token = secrets.token_urlsafe(24)
    listening = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    root = None
    try:
        try:
            listening.bind(("127.0.0.1", port))
            listening.listen(128)
        except OSError as error:
            raise UsageError(f"cannot serve on 127.0.0.1 port {port}: {error.strerror or error}") from None
        _remove_stale_folders()
        root = tempfile.mkdtemp(prefix=FOLDER_PREFIX)
        with open(os.path.join(root, SERVER_PID), "w") as pid:
            pid.write(str(os.getpid()))
        url = f"http://127.0.0.1:{listening.getsockname()[1]}/?token={token}"
        print(url, file=out, flush=True)
        print("kelvara: the app is served at that address (this computer only); Ctrl-C stops it", file=sys.stderr)
        jobs = Jobs(root)
        app = create_app(token, jobs)
        config = uvicorn.Config(app, log_config=None, access_log=False,
                                lifespan="on", timeout_graceful_shutdown=2, log_level="warning",
                                http=guarded_protocol(READ_TIMEOUT, MAX_CONNECTIONS, app.authenticated))
        server = _server(uvicorn, config, jobs)
        if browser:
            opener = threading.Timer(0.3, webbrowser.open, [_opening_file(root, url)])
            opener.daemon = True
            opener.start()
        previous = _stop_on_signals(server)
        try:
            server.run(sockets=[listening])
        except KeyboardInterrupt:
            pass
        finally:
            for number, handler in previous.items():
                signal.signal(number, handler)
    finally:
        listening.close()
        if root is not None:
            shutil.rmtree(root, ignore_errors=True)
    print("kelvara: the app stopped; its uploads and downloads are removed", file=sys.stderr)
    return 0


FOLDER_PREFIX = "kelvara-app-"
SERVER_PID = "server.pid"


def _opening_file(root, url):
    """A page in the server's own folder (this user's alone) that leads to
    `url`; its file:// address, for the browser."""
    path = os.path.join(root, "open.html")
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, "w", encoding="utf-8") as page:
        page.write(f'<!doctype html><meta charset="utf-8"><meta http-equiv="refresh" content="0;url={url}">'
                   f'<title>kelvara</title><p><a href="{url}">Open kelvara</a></p>\n')
    return pathlib.Path(path).as_uri()


def _remove_stale_folders():
    """Remove what servers of this user that died without stopping (SIGKILL,
    a crash, the machine's power) left in the temporary folder: a folder
    whose server's process is gone."""
    base = pathlib.Path(tempfile.gettempdir())
    try:
        candidates = list(base.glob(FOLDER_PREFIX + "*"))
    except OSError:
        return
    for folder in candidates:
        try:
            info = folder.lstat()
            if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.getuid():
                continue
            pid = int((folder / SERVER_PID).read_text())
        except (OSError, ValueError):
            continue  # not ours, being made, or of a kelvara that wrote no pid: left alone
        if pid != os.getpid() and not _running(pid):
            shutil.rmtree(folder, ignore_errors=True)


def _running(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # another user's process: running
        return True
    return True


def _server(uvicorn, config, jobs):
    """A uvicorn server that, when told to stop, first stops the running
    jobs: their requests then answer at once (503) instead of being cut off
    after the grace period."""

    class Server(uvicorn.Server):  # type: ignore[name-defined]
        async def shutdown(self, sockets=None):
            await jobs.close()
            await super().shutdown(sockets=sockets)

    return Server(config)


def _stop_on_signals(server):
    """SIGHUP (the terminal closed) and SIGQUIT stop the server as Ctrl-C and
    SIGTERM do, so that its workers end and its folder is removed; the
    handlers they replace.  (uvicorn takes SIGINT and SIGTERM while it runs,
    and raises them again when it has stopped.)"""
    if threading.current_thread() is not threading.main_thread():
        return {}

    def interrupt(number, frame):
        raise KeyboardInterrupt

    def stop(number, frame):
        server.handle_exit(number, frame)

    handlers = {signal.SIGTERM: interrupt}
    handlers.update({getattr(signal, name): stop for name in ("SIGHUP", "SIGQUIT") if hasattr(signal, name)})
    return {number: signal.signal(number, handler) for number, handler in handlers.items()}
