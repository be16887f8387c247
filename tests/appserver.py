"""`kelvara app` run as a user runs it (a subprocess), and a small HTTP
client for its API: the standard library's, so that nothing of the
server's own stack checks the server."""

import http.client
import json
import os
import pathlib
import signal
import subprocess
import sys
import time
import urllib.parse
import uuid

import pytest
from helpers import interruptible, kelvara_in_process

DATA = pathlib.Path(__file__).resolve().parent.parent / "kelvara" / "data"


def needs_app():
    for module in ("numpy", "scipy", "pandas", "matplotlib", "starlette", "uvicorn", "multipart"):
        pytest.importorskip(module)


class App:
    """A running `kelvara app --no-browser`, its address and token; its
    temporary folder lives under `tmp` (TMPDIR), so that a test can see it
    go."""

    def __init__(self, tmp, *arguments):
        self.tmp = pathlib.Path(tmp)
        self.tmp.mkdir(parents=True, exist_ok=True)
        environment = dict(os.environ, TMPDIR=str(self.tmp))
        self.process = subprocess.Popen([sys.executable, "-m", "kelvara", "app", "--no-browser", *arguments],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=environment,
                                        preexec_fn=interruptible)
        self.url = self.process.stdout.readline().strip()
        if not self.url.startswith("http://127.0.0.1:"):
            self.process.kill()
            raise RuntimeError(f"kelvara app printed {self.url!r}; stderr: {self.process.stderr.read()}")
        address = urllib.parse.urlsplit(self.url)
        self.port = address.port
        self.token = urllib.parse.parse_qs(address.query)["token"][0]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def folders(self):
        return sorted(self.tmp.glob("kelvara-app-*"))

    def stop(self, number=signal.SIGINT, timeout=30):
        """Stop it as Ctrl-C (or `number`) does: its exit status and stderr."""
        if self.process.poll() is None:
            self.process.send_signal(number)
        try:
            _, stderr = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            _, stderr = self.process.communicate()
        return self.process.returncode, stderr

    def request(self, method, path, fields=(), files=(), headers=None, token=True, body=None, timeout=120):
        """(status, headers, body bytes); `files` as (name, bytes) pairs go
        in the field 'files', `fields` as (name, value) pairs."""
        headers = dict(headers or {})
        if token:
            path += ("&" if "?" in path else "?") + "token=" + self.token
        if body is None and (fields or files or method == "POST"):
            body, kind = multipart(fields, files)
            headers.setdefault("Content-Type", kind)
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            connection.putrequest(method, path, skip_host="Host" in headers)
            for key, value in headers.items():
                connection.putheader(key, value)
            if body is not None and "Content-Length" not in headers:
                connection.putheader("Content-Length", str(len(body)))
            connection.endheaders(body)
            response = connection.getresponse()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
        finally:
            connection.close()

    def json(self, method, path, **keywords):
        status, headers, body = self.request(method, path, **keywords)
        return status, headers, json.loads(body)

    def finished(self, job, timeout=120):
        """The job's state once its downloads are written."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            status, _, state = self.json("GET", f"/api/jobs/{job}")
            if state["state"] in ("done", "cancelled"):
                return state
            time.sleep(0.2)
        raise AssertionError(f"job {job} still {state['state']} after {timeout} s")


def multipart(fields, files):
    boundary = uuid.uuid4().hex
    parts = []
    for name, value in fields:
        parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n'.encode()
                     + str(value).encode("utf-8") + b"\r\n")
    for name, data in files:
        parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="files"; filename="{name}"\r\n'
                     "Content-Type: application/octet-stream\r\n\r\n".encode("utf-8") + data + b"\r\n")
    return b"".join(parts) + f"--{boundary}--\r\n".encode(), f"multipart/form-data; boundary={boundary}"


def kelvara(*arguments, cwd=None):
    return kelvara_in_process(*arguments, cwd=cwd)
