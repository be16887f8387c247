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

Only this computer is served (127.0.0.1), and every request must carry the
access token (the address printed at start sets it as a cookie; scripts
may send it as ?token=, an X-Kelvara-Token header or a bearer token) and a
Host header of localhost or 127.0.0.1, which keeps other web pages out
(DNS rebinding).  Otherwise the answer is 403.
"""

from __future__ import annotations

import contextlib
import gzip
import hmac
import http.cookies
import os
import pathlib
import re
import secrets
import shutil
import signal
import socket
import sys
import tempfile
import threading
import unicodedata
import urllib.parse
import webbrowser

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.datastructures import UploadFile
from starlette.responses import FileResponse, JSONResponse, Response
from starlette.routing import Route

from kelvara.app.fields import COMMANDS
from kelvara.app.jobs import Jobs
from kelvara.errors import KelvaraError

__all__ = ["MAX_UPLOAD", "create_app", "serve"]

MAX_UPLOAD = 200 * 1024 * 1024  # bytes in one request
COOKIE = "kelvara_token"
STATIC = pathlib.Path(__file__).resolve().parent / "static"
_LOCAL_HOST = re.compile(r"^(localhost|127\.0\.0\.1)(:\d{1,5})?$", re.IGNORECASE)
_TYPES = {".js": "text/javascript; charset=utf-8", ".css": "text/css; charset=utf-8"}
_DOWNLOAD_TYPES = {".json": "application/json", ".txt": "text/plain; charset=utf-8", ".csv": "text/csv; charset=utf-8",
                   ".xlsx": "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
                   ".png": "image/png", ".svg": "image/svg+xml", ".pdf": "application/pdf",
                   ".html": "text/html; charset=utf-8", ".zip": "application/zip"}


class TooLarge(Exception):
    pass


def _error(message, status):
    return JSONResponse({"error": message}, status_code=status)


class Guard:
    """Every request: a local Host, the token, and a body of at most `limit`
    bytes; the token given in the address is kept as a cookie."""

    def __init__(self, app, token, limit=MAX_UPLOAD):
        self.app = app
        self.token = token
        self.limit = limit

    def _token(self, scope, headers):
        query = urllib.parse.parse_qs(scope.get("query_string", b"").decode("latin-1"))
        if query.get("token"):
            return query["token"][-1], True
        if headers.get("x-kelvara-token"):
            return headers["x-kelvara-token"], False
        authorization = headers.get("authorization", "")
        if authorization.lower().startswith("bearer "):
            return authorization[7:].strip(), False
        cookies = http.cookies.SimpleCookie()
        try:
            cookies.load(headers.get("cookie", ""))
        except http.cookies.CookieError:
            return "", False
        return (cookies[COOKIE].value if COOKIE in cookies else ""), False

    async def __call__(self, scope, receive, send):
        if scope["type"] == "lifespan":
            return await self.app(scope, receive, send)
        if scope["type"] != "http":  # no websockets here
            if scope["type"] == "websocket":
                await send({"type": "websocket.close", "code": 1008})
            return
        headers = {k.decode("latin-1").lower(): v.decode("latin-1") for k, v in scope.get("headers", [])}
        if not _LOCAL_HOST.match(headers.get("host", "").strip()):
            return await _error("this server answers to localhost and 127.0.0.1 only", 403)(scope, receive, send)
        token, from_address = self._token(scope, headers)
        if not hmac.compare_digest(token.encode("utf-8", "replace"), self.token.encode("utf-8")):
            return await _error("the access token is missing or wrong: open the address that kelvara app printed",
                                403)(scope, receive, send)
        length = headers.get("content-length", "")
        if length.isdigit() and int(length) > self.limit:
            return await _error(f"the upload is larger than {self.limit // 2**20} MB", 413)(scope, receive, send)
        received = 0

        async def counted():
            nonlocal received
            message = await receive()
            if message["type"] == "http.request":
                received += len(message.get("body", b""))
                if received > self.limit:
                    raise TooLarge()
            return message

        async def with_cookie(message):
            if from_address and message["type"] == "http.response.start":
                cookie = f"{COOKIE}={self.token}; Path=/; HttpOnly; SameSite=Strict"
                message = dict(message, headers=list(message.get("headers", [])) + [
                    (b"set-cookie", cookie.encode("latin-1"))])
            await send(message)

        await self.app(scope, counted, with_cookie)


def _safe_name(name, taken):
    """A client's file name as a plain name in the job's folder: no folders,
    no hidden or control characters, unique; its suffix kept (it says the format)."""
    name = unicodedata.normalize("NFC", str(name or "")).replace("\\", "/").split("/")[-1]
    name = "".join(ch for ch in name if ch.isprintable() and ch not in '<>:"|?*').strip().lstrip(".-")
    name = name[-120:] or "upload"
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


def create_app(token, jobs, limit=MAX_UPLOAD):
    """The app as an ASGI application, whose analyses `jobs` runs."""
    page = (STATIC / "index.html").read_bytes()
    plotly_gzipped = (STATIC / "plotly.min.js.gz").read_bytes()  # plotly.js, MIT: see plotly.LICENSE.txt

    async def index(request):
        return Response(page, media_type="text/html; charset=utf-8", headers={"Cache-Control": "no-store"})

    async def static(request):
        name = request.path_params["name"]
        if name == "plotly.min.js":  # kept gzipped in the package: sent so where the browser takes it
            if "gzip" in request.headers.get("accept-encoding", ""):
                return Response(plotly_gzipped, media_type=_TYPES[".js"],
                                headers={"Content-Encoding": "gzip", "Cache-Control": "no-cache", "Vary": "Accept-Encoding"})
            return Response(gzip.decompress(plotly_gzipped), media_type=_TYPES[".js"],
                            headers={"Cache-Control": "no-cache", "Vary": "Accept-Encoding"})
        else:
            path = STATIC / name
            if name not in {"app.js", "app.css"} or not path.is_file():
                return _error("no such file", 404)
        return FileResponse(path, media_type=_TYPES[path.suffix], headers={"Cache-Control": "no-cache"})

    async def models(request):
        return JSONResponse(_model_table())

    async def analysis(request, command):
        fields, uploads = [], []
        try:
            form = await request.form(max_files=1000, max_fields=1000)
        except TooLarge:
            return _error(f"the upload is larger than {limit // 2**20} MB", 413)
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
            taken, names = set(), []
            for upload in uploads:
                name = _safe_name(upload.filename, taken)
                await run_in_threadpool(_copy, upload, os.path.join(folder, "in", name))
                names.append(name)
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
                return _error(f"no such job (the server keeps the last {jobs.keep})", 404)
            return await handler(request, job)
        return endpoint

    async def job_state(request, job):
        return JSONResponse(job.to_dict())

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

    routes = [Route("/", index), Route("/static/{name}", static), Route("/api/models", models)]
    routes += [Route(f"/api/{command}", route(command), methods=["POST"]) for command in COMMANDS]
    routes += [Route("/api/jobs/{job}", of_job(job_state)),
               Route("/api/jobs/{job}/cancel", of_job(cancel), methods=["POST"]),
               Route("/api/jobs/{job}/files/{name}", of_job(download))]
    app = Starlette(routes=routes, lifespan=lifespan,
                    exception_handlers={404: not_found, 405: not_found, 500: server_error})
    return Guard(app, token, limit)


def _model_table():
    from kelvara.analysis import DEFAULT_COMPARED, DEFAULT_MODELS
    from kelvara.models import EXPERIMENTS, MODELS, PARAMETER_MEANINGS, unit_of
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
    """Serve the app on 127.0.0.1:`port` (0: a free one) until Ctrl-C; the
    first line on `out` (stdout) is the page's address with its token."""
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
        root = tempfile.mkdtemp(prefix="kelvara-app-")
        url = f"http://127.0.0.1:{listening.getsockname()[1]}/?token={token}"
        print(url, file=out, flush=True)
        print("kelvara: the app is served at that address (this computer only); Ctrl-C stops it", file=sys.stderr)
        jobs = Jobs(root)
        config = uvicorn.Config(create_app(token, jobs), log_config=None, access_log=False,
                                lifespan="on", timeout_graceful_shutdown=2, log_level="warning")
        server = _server(uvicorn, config, jobs)
        if browser:
            opener = threading.Timer(0.3, webbrowser.open, [url])
            opener.daemon = True
            opener.start()
        previous = _stop_on_terminate()
        try:
            server.run(sockets=[listening])
        except KeyboardInterrupt:
            pass
        finally:
            if previous is not None:
                signal.signal(signal.SIGTERM, previous)
    finally:
        listening.close()
        if root is not None:
            shutil.rmtree(root, ignore_errors=True)
    print("kelvara: the app stopped; its uploads and downloads are removed", file=sys.stderr)
    return 0


def _server(uvicorn, config, jobs):
    """A uvicorn server that, when told to stop, first stops the running
    jobs: their requests then answer at once (503) instead of being cut off
    after the grace period."""

    class Server(uvicorn.Server):
        async def shutdown(self, sockets=None):
            await jobs.close()
            await super().shutdown(sockets=sockets)

    return Server(config)


def _stop_on_terminate():
    """SIGTERM stops the server as Ctrl-C does, so that its folder is removed."""
    if threading.current_thread() is not threading.main_thread():
        return None

    def stop(number, frame):
        raise KeyboardInterrupt

    return signal.signal(signal.SIGTERM, stop)

