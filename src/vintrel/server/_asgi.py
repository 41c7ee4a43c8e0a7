"""One request as an ASGI 3.0 ``http`` scope: the ``receive`` and ``send``
callables over a server connection, and the task that runs the application.

Body bytes reach the application as they arrive and are reported consumed
when it takes them (HTTP/2 credit, HTTP/1.1 reading resumed). A response
head is held until the first body message, so a response sent in one
message gets a ``content-length``. ``send`` waits while the stream's queued
output or the transport's write buffer is over its limit.
"""

from __future__ import annotations

import asyncio
import logging
from collections import deque
from typing import TYPE_CHECKING, Any
from urllib.parse import unquote

from ._events import Headers, RequestReceived

if TYPE_CHECKING:
    from ._protocol import ServerProtocol

logger = logging.getLogger("vintrel.server")
access_logger = logging.getLogger("vintrel.access")

# Queued response bytes of one stream past which send() waits.
STREAM_HIGH_WATER = 256 * 1024
NO_BODY_STATUSES = (204, 304)


class ClientDisconnected(OSError):
    """Raised by send() once the request can get no (further) response."""


class RequestCycle:
    """The ASGI exchange of one request on one connection."""

    __slots__ = (
        "proto", "sid", "scope", "body", "more_body", "final_sent", "waiter", "disconnected", "asked", "head",
        "trailers", "started", "complete", "task", "status", "sent", "method", "finished", "running",
    )

    def __init__(self, proto: ServerProtocol, ev: RequestReceived, scope: dict[str, Any]) -> None:
        self.proto = proto
        self.sid = ev.stream_id
        self.scope = scope
        self.method = ev.method
        self.body: deque[bytes] = deque()
        self.more_body = not ev.end_stream
        self.final_sent = False  # the message with more_body False went out
        self.waiter: asyncio.Future[None] | None = None
        self.disconnected = False
        self.asked = False
        self.head: tuple[int, Headers] | None = None  # held until the first body message
        self.trailers = False
        self.started = False
        self.complete = False
        self.task: asyncio.Task[None] | None = None
        self.running = False  # the task took its first step (run() began)
        self.status = 0
        self.sent = 0
        self.finished = False  # the connection and the server were told the task ended

    # ------------------------------------------- events from the connection

    def wake(self) -> None:
        if self.waiter is not None and not self.waiter.done():
            self.waiter.set_result(None)

    def on_body(self, data: bytes) -> None:
        self.body.append(data)
        self.wake()

    def on_end(self) -> None:
        self.more_body = False
        self.wake()

    def on_abort(self) -> None:
        self.disconnected = True
        self.more_body = False
        self.wake()
        if self.task is not None and not self.task.done() and not self.complete:
            self.task.cancel()
            if not self.running:
                # Cancelled before its first step, the task never enters
                # run() and its cleanup: the stream stops counting now.
                self.finish()

    # -------------------------------------------------------------- ASGI

    async def receive(self) -> dict[str, Any]:
        conn = self.proto.conn
        assert conn is not None
        if not self.asked:
            self.asked = True
            conn.continue_body(self.sid)
            self.proto.flush()
        while True:
            # After the response, or once the client is gone, only this.
            if self.disconnected or self.complete:
                return {"type": "http.disconnect"}
            if self.body:
                data = self.body.popleft() if len(self.body) == 1 else b"".join(self.body)
                self.body.clear()
                conn.body_consumed(self.sid, len(data))
                self.proto.flush()
                self.final_sent = not self.more_body
                return {"type": "http.request", "body": data, "more_body": self.more_body}
            if not self.more_body and not self.final_sent:
                self.final_sent = True
                return {"type": "http.request", "body": b"", "more_body": False}
            self.waiter = asyncio.get_running_loop().create_future()
            proto = self.proto
            proto.body_waits += 1
            proto.body_wait_started()
            try:
                await self.waiter
            finally:
                self.waiter = None
                proto.body_waits -= 1

    async def send(self, message: dict[str, Any]) -> None:
        conn = self.proto.conn
        assert conn is not None
        kind = message["type"]
        if self.disconnected:
            raise ClientDisconnected("the client is gone")
        if self.complete:
            raise RuntimeError(f"ASGI message {kind!r} after the response completed")
        if kind == "http.response.start":
            if self.head is not None or self.started:
                raise RuntimeError("http.response.start sent twice")
            status = int(message["status"])
            headers = _headers(message.get("headers", ()))
            self.trailers = bool(message.get("trailers", False))
            if 100 <= status < 200:
                conn.start_response(self.sid, status, headers)
                self.proto.flush()
                return
            self.head = (status, headers)
            self.status = status
            return
        if kind == "http.response.body":
            if self.head is None and not self.started:
                raise RuntimeError("http.response.body before http.response.start")
            body = bytes(message.get("body", b""))
            more = bool(message.get("more_body", False))
            end = not more and not self.trailers
            # An empty body that ends the response goes out with the head.
            ended_by_head = not self.started and end and not body
            if not self.started:
                self._start(body, end)
            if (body or end) and not ended_by_head:
                conn.send_body(self.sid, body, end)
                self.sent += len(body)
            if not more and not self.trailers:
                self.complete = True
                self.wake()
                self.proto.flush_soon(1)  # this one and others: written together
            else:
                self.proto.flush()
            if self.disconnected or self.proto.write_paused or conn.pending(self.sid) > STREAM_HIGH_WATER:
                await self._drain()
            return
        if kind == "http.response.trailers":
            if not self.trailers or not self.started:
                raise RuntimeError("http.response.trailers not announced or before the body")
            if not message.get("more_trailers", False):
                headers = _headers(message.get("headers", ()))
                conn.send_trailers(self.sid, headers)
                self.complete = True
                self.wake()
                self.proto.flush_soon(1)
            return
        raise RuntimeError(f"unknown ASGI message type {kind!r}")

    def _start(self, first: bytes, end: bool) -> None:
        assert self.head is not None
        status, headers = self.head
        if end and status not in NO_BODY_STATUSES and self.method != "HEAD":
            for n, _ in headers:
                if n == b"content-length":
                    break
            else:
                headers.append((b"content-length", str(len(first)).encode()))  # the list is our own copy
        conn = self.proto.conn
        assert conn is not None
        conn.start_response(self.sid, status, headers, end and not first)
        self.started = True
        self.head = None

    async def _drain(self) -> None:
        conn = self.proto.conn
        assert conn is not None
        while not self.disconnected and (conn.pending(self.sid) > STREAM_HIGH_WATER or self.proto.write_paused):
            await self.proto.drained(self)
        if self.disconnected and not self.complete:
            raise ClientDisconnected("the client is gone")

    # --------------------------------------------------------------- run

    async def run(self, app: Any) -> None:
        self.running = True
        conn = self.proto.conn
        assert conn is not None
        try:
            await app(self.scope, self.receive, self.send)
            if not self.complete and not self.disconnected:
                if not self.started:
                    logger.error("ASGI application returned without a response: %s %s", self.method,
                                 self.scope["path"])
                    self._answer_500()
                else:
                    logger.error("ASGI application returned before its response completed")
                    conn.reset_stream(self.sid)
        except asyncio.CancelledError:
            if not self.disconnected:
                raise
        except ClientDisconnected:
            pass
        except Exception:
            logger.exception("Exception in ASGI application")
            if not self.disconnected:
                if not self.started:
                    self._answer_500()
                else:
                    conn.reset_stream(self.sid)
        finally:
            self.finish()

    def finish(self) -> None:
        """The application ended (or its task was cancelled before it
        began): the stream stops counting."""
        if self.finished:
            return
        self.finished = True
        self.complete = True
        conn = self.proto.conn
        assert conn is not None
        conn.application_done(self.sid)
        self.proto.request_done(self)

    def _answer_500(self) -> None:
        conn = self.proto.conn
        assert conn is not None
        body = b"Internal Server Error"
        self.status = 500
        try:
            conn.start_response(self.sid, 500, [(b"content-type", b"text/plain; charset=utf-8"),
                                                (b"content-length", str(len(body)).encode())])
            conn.send_body(self.sid, body, True)
        except RuntimeError:
            conn.reset_stream(self.sid)
        self.started = True


def _headers(pairs: Any) -> Headers:
    """ASGI header pairs as our own list of bytes, names lowercased."""
    return [
        (n.lower(), v) if type(n) is bytes and type(v) is bytes else (bytes(n).lower(), bytes(v)) for n, v in pairs
    ]


def http_scope(ev: RequestReceived, tls: bool, client: Any, server: Any, root_path: str,
               state: dict[str, Any] | None) -> dict[str, Any]:
    """The ASGI ``http`` scope of a request."""
    target = ev.target
    if ev.method == "CONNECT" or target == "*":
        raw_path, query = target, ""
    else:
        if target.startswith(("http://", "https://")):
            rest = target.split("://", 1)[1]
            slash = rest.find("/")
            target = rest[slash:] if slash >= 0 else "/"
        raw_path, _, query = target.partition("?")
    scheme = ev.scheme or ("https" if tls else "http")
    scope: dict[str, Any] = {
        "type": "http",
        "asgi": {"version": "3.0", "spec_version": "2.4"},
        "http_version": ev.http_version,
        "method": ev.method,
        "scheme": scheme,
        "path": root_path + (unquote(raw_path, errors="surrogateescape") if "%" in raw_path else raw_path),
        "raw_path": raw_path.encode("latin-1", "replace"),
        "query_string": query.encode("latin-1", "replace"),
        "root_path": root_path,
        "headers": ev.headers,
        "client": client,
        "server": server,
        "extensions": {},
    }
    if ev.trailers_accepted:
        scope["extensions"]["http.response.trailers"] = {}
    if state is not None:
        scope["state"] = dict(state)
    return scope
