"""What the app adds to a fit: the answer of POST /api/fit (upload, the
worker, the JSON and what the page shows) against the same reading and fit
done in one Python process, measured side by side in one run.

  python bench/app_fit.py [--curves 7] [--points 951] [--repeat 5]

The data are a CD run of real size written as a lab's CSV (cooling curves
from 90 to -5 °C at 1 to 100 µM, made by the cooperative model with 1 %
white noise).  The target: the app's answer within 1.5 times the fit
itself (or 0.5 s more, where the fit is quick).  Exits 1 when missed.
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

import numpy as np

from kelvara import _core

TARGET_RATIO = 1.5
TARGET_EXTRA = 0.5  # s


def write_run(path, curves, points, seed=1):
    rng = np.random.default_rng(seed)
    celsius = np.linspace(90.0, -5.0, points)
    rows = ["Temperature (C),CD (mdeg),c (uM)"]
    for c in np.geomspace(1.0, 100.0, curves):
        fraction = np.array(_core.temp_cooperative_model((celsius + 273.15).tolist(), -95000.0, -180.0, 22000.0,
                                                         c * 1e-6, 1.0))
        signal = -2.0 - 40.0 * fraction + rng.normal(0.0, 0.4, points)
        rows += [f"{t:.2f},{y:.4f},{c:.4g}" for t, y in zip(celsius, signal)]
    path.write_text("\n".join(rows) + "\n")


def direct(path):
    from kelvara.fit import fit
    from kelvara.io import read

    start = time.perf_counter()
    result = fit(read([str(path)]).curves, "cooperative")
    assert result.ok
    return time.perf_counter() - start


def through_the_app(server, token, path):
    import http.client
    import uuid

    boundary = uuid.uuid4().hex
    body = (f'--{boundary}\r\nContent-Disposition: form-data; name="files"; filename="{path.name}"\r\n\r\n'.encode()
            + path.read_bytes() + f"\r\n--{boundary}--\r\n".encode())
    start = time.perf_counter()
    connection = http.client.HTTPConnection("127.0.0.1", server, timeout=300)
    connection.request("POST", f"/api/fit?token={token}", body,
                       {"Content-Type": f"multipart/form-data; boundary={boundary}"})
    response = connection.getresponse()
    response.read()
    connection.close()
    assert response.status == 200, response.status
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--curves", type=int, default=7)
    parser.add_argument("--points", type=int, default=951)
    parser.add_argument("--repeat", type=int, default=5)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "run.csv"
        write_run(path, options.curves, options.points)
        app = subprocess.Popen([sys.executable, "-m", "kelvara", "app", "--no-browser"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True, env=dict(os.environ, TMPDIR=folder))
        try:
            address = urllib.parse.urlsplit(app.stdout.readline().strip())
            port, token = address.port, urllib.parse.parse_qs(address.query)["token"][0]
            direct(path), through_the_app(port, token, path)  # warm: imports, the worker
            fits, answers = [], []
            for _ in range(options.repeat):  # interleaved, so that both see the same machine
                fits.append(direct(path))
                answers.append(through_the_app(port, token, path))
                time.sleep(3.0)  # the downloads are written meanwhile, and a spare worker warms up
        finally:
            app.terminate()
            app.wait(30)
    fit_time, answer_time = statistics.median(fits), statistics.median(answers)
    allowed = max(TARGET_RATIO * fit_time, fit_time + TARGET_EXTRA)
    print(f"{options.curves} curves x {options.points} points: the fit in one process {fit_time:.3f} s, "
          f"the app's answer {answer_time:.3f} s ({answer_time / fit_time:.2f}x; allowed {allowed:.3f} s)")
    return 0 if answer_time <= allowed else 1


if __name__ == "__main__":
    sys.exit(main())
