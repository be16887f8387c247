"""kelvara's local web page: the analysis of the command line in a browser.

`kelvara app` serves it on 127.0.0.1 (see `server`): one page to drop data
files on, see how they were read, fit or compare models, look at the fit
and download every result; and an HTTP API that answers what `--json`
writes.  The form's fields are the command's options (`fields`), each
analysis runs in a worker process (`jobs`, `worker`), and the page itself
is static (`static/`).  Needs the `app` extra: python -m pip install
'kelvara[app]'.
"""
