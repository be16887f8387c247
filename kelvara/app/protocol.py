"""The HTTP protocol the app's server speaks: uvicorn's HTTP/1.1 with the limits a page on a shared
machine needs (a deadline for a request's headers, a stalled reader dropped, a cap on connections that
keeps room for the user)."""

from __future__ import annotations

from typing import Any, Dict

WRITE_TIMEOUT = 30.0  # seconds an answer may wait for a reader that takes none of it


def guarded_protocol(header_timeout, most, trusted=None, write_timeout=WRITE_TIMEOUT):
    """uvicorn's HTTP/1.1 protocol with the limits it lacks: a request's
    headers must come within `header_timeout` seconds of the connection (or
    of the last answer on it), an answer that no one reads for
    `write_timeout` seconds is dropped, and at most `most` connections are
    open at once.  At the cap, room is kept for the user: the oldest
    connection that has not carried a request with the access token
    (`trusted(scope)`) is closed for the new one (a neighbour's idle
    sockets, or downloads of the big script it never reads); only when
    every open connection has is the new one answered 503 and closed."""
    from uvicorn.protocols.http.h11_impl import H11Protocol

    open_now: Dict[Any, None] = {}  # the open connections' protocols, in the order they came
    body = b'{"error": "too many connections: try again"}\n'
    busy = (b"HTTP/1.1 503 Service Unavailable\r\ncontent-type: application/json\r\nconnection: close\r\n"
            b"content-length: %d\r\n\r\n" % len(body)) + body

    class Protocol(H11Protocol):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self._deadline = _Timer()  # for the next request's headers
            self._stall = _Timer()  # for a reader to take what was written
            self._trusted = False
            inner = self.app

            async def app(scope, receive, send):
                self._deadline.cancel()  # the headers are in: the body has its own timeout
                if trusted is not None and scope.get("type") == "http" and trusted(scope):
                    self._trusted = True
                try:
                    await inner(scope, receive, send)
                finally:
                    self._arm()

            self.app = app

        def connection_made(self, transport):
            super().connection_made(transport)
            open_now[self] = None
            if len(open_now) > most:
                oldest = None if trusted is None else next(
                    (p for p in open_now if p is not self and not p._trusted), None)
                if oldest is None:
                    transport.write(busy)
                    transport.close()
                    return
                open_now.pop(oldest, None)
                oldest.transport.abort()  # what it had not read is dropped with it
            self._arm()

        def connection_lost(self, exc):
            open_now.pop(self, None)
            self._deadline.cancel()
            self._stall.cancel()
            super().connection_lost(exc)

        def pause_writing(self):
            super().pause_writing()
            self._stall.start(self.loop, write_timeout, self.transport.abort)

        def resume_writing(self):
            self._stall.cancel()
            super().resume_writing()

        def _arm(self):
            if self.transport.is_closing():
                self._deadline.cancel()
            else:
                self._deadline.start(self.loop, header_timeout, self._too_slow)

        def _too_slow(self):
            if not self.transport.is_closing():
                self.transport.close()

    return Protocol


class _Timer:
    """One pending call on an event loop: started again, it replaces the
    call it had; cancelled or run, it has none."""

    __slots__ = ("_handle",)

    def __init__(self):
        self._handle = None

    def start(self, loop, delay, action):
        self.cancel()
        self._handle = loop.call_later(delay, self._run, action)

    def _run(self, action):
        self._handle = None
        action()

    def cancel(self):
        if self._handle is not None:
            self._handle.cancel()
            self._handle = None
