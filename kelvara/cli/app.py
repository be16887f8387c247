"""kelvara app: the whole analysis in a local web page (see kelvara.app)."""

from __future__ import annotations

import argparse

from kelvara.cli.common import Command, UsageError


def run_app(options):
    try:
        from kelvara.app.server import serve
    except ImportError as error:
        raise UsageError(f"the app needs its web libraries ({error.name or error}): "
                         "python -m pip install 'kelvara[app]'") from None
    return serve(port=options.port, browser=not options.no_browser)


def _port(text):
    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"takes a number from 0 to 65535, not {text!r}")
    return port


def _app_arguments(parser):
    parser.add_argument("--port", type=_port, default=0,
                        help="the port on 127.0.0.1 to serve on (default: a free one)")
    parser.add_argument("--no-browser", "--no_browser", dest="no_browser", action="store_true",
                        help="do not open the page in a browser; its address is the first line printed")


COMMAND = Command(
    "app", _app_arguments, run_app,
    help="the analysis in a local web page",
    description="Serve the analysis as a web page on this computer only (127.0.0.1): drop data files, "
    "read them, fit or compare models, look at the fit and download every result. The first line printed is "
    "the page's address with its access token; the page opens in the browser unless --no-browser. Ctrl-C "
    "stops it and removes the uploaded files.",
)
