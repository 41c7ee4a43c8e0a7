"""The handler API on the ASGI server: ``async def handler(request) -> Response``.

:func:`handler_app` turns a handler into an ASGI 3 application, and
:func:`serve_h1` / :func:`serve_h2` run it on :class:`vintrel.server.Server`
(HTTP/1.1 and HTTP/2 on one port, whichever they are called). Everything a
connection does (framing, limits, timeouts, flow control, graceful
shutdown) is the server's; this module only gathers a request whole and
writes a response whole.
"""

from __future__ import annotations

import asyncio
import socket
import ssl as _ssl
from typing import Any

from .._vintrel import HeaderMap
from ..server import Config, Limits, Server
from ._types import MAX_BODY, Handler, Request, Response

# ``idle_timeout=None`` asks for no idle limit; the server's timer takes a
# number, and a year is never in practice.
_NO_TIMEOUT = 365 * 24 * 3600.0

_TOO_LARGE = b"Payload Too Large"


def handler_app(handler: Handler, *, max_body: int = MAX_BODY) -> Any:
    """An ASGI 3 application that serves ``handler``.

    The request body is read whole before the handler runs; one larger than
    ``max_body`` bytes is answered 413 without calling it (the servers of
    :func:`serve_h1` / :func:`serve_h2` refuse it even earlier, as it
    arrives). ``Request.target`` is the path and query; ``Request.trailers``
    is always None, as an ASGI application is given no request trailers.
    ``Response.trailers`` are sent when the client accepts them (``te:
    trailers``, the ``http.response.trailers`` extension) and dropped
    otherwise. A response to HEAD gets the length of the body the handler
    returned, unless it set one. A handler that raises is the server's to
    answer (500, or a reset once the response began).
    """

    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        kind = scope["type"]
        if kind == "lifespan":
            await _lifespan(receive, send)
            return
        if kind != "http":
            raise RuntimeError(f"a handler serves HTTP requests only, not {kind!r}")
        headers = HeaderMap(scope["headers"])
        declared = headers.get_all("content-length")
        body = None
        if not (declared and declared[0].strip().isdigit() and int(declared[0]) > max_body):
            try:
                body = await _read_body(receive, max_body)
            except _Gone:
                return
        if body is None:
            await _send_whole(send, 413, [(b"content-type", b"text/plain; charset=utf-8")], _TOO_LARGE)
            return
        target = scope["raw_path"].decode("latin-1")
        if scope["query_string"]:
            target += "?" + scope["query_string"].decode("latin-1")
        request = Request(scope["method"], target, headers, body, None, scope["http_version"])
        response = await handler(request)
        trailers = response.trailers if "http.response.trailers" in scope.get("extensions", {}) else None
        await _send_response(send, scope["method"], response, trailers)

    return app


class _Gone(Exception):
    """The client went away before its request body ended."""


async def _read_body(receive: Any, limit: int) -> bytes | None:
    """The whole body, or None once it grows past ``limit`` bytes."""
    parts: list[bytes] = []
    size = 0
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            raise _Gone
        chunk = message.get("body", b"")
        size += len(chunk)
        if size > limit:
            return None
        if chunk:
            parts.append(chunk)
        if not message.get("more_body", False):
            return b"".join(parts)


async def _send_whole(send: Any, status: int, headers: list[tuple[bytes, bytes]], body: bytes) -> None:
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": body})


async def _send_response(send: Any, method: str, response: Response, trailers: HeaderMap | None) -> None:
    headers = [(name.encode("latin-1"), value) for name, value in response.headers.items()]
    body = response.body
    if method == "HEAD":
        # The server sends no body to HEAD and so would count none: the
        # length is that of the body a GET would get.
        if "content-length" not in response.headers and response.status not in (204, 304):
            headers.append((b"content-length", str(len(body)).encode()))
        body = b""
    if trailers is not None and "trailer" not in response.headers:
        # Announced in the head, as HTTP/1.1 asks of a sender of trailers.
        headers.append((b"trailer", ", ".join(dict.fromkeys(trailers.keys())).encode()))
    await send({"type": "http.response.start", "status": response.status, "headers": headers,
                "trailers": trailers is not None})
    await send({"type": "http.response.body", "body": body})
    if trailers is not None:
        pairs = [(name.encode("latin-1"), value) for name, value in trailers.items()]
        await send({"type": "http.response.trailers", "headers": pairs})


async def _lifespan(receive: Any, send: Any) -> None:
    """A handler has nothing to start or stop: both phases succeed."""
    while True:
        message = await receive()
        if message["type"] == "lifespan.startup":
            await send({"type": "lifespan.startup.complete"})
        elif message["type"] == "lifespan.shutdown":
            await send({"type": "lifespan.shutdown.complete"})
            return


class HandlerServer:
    """A running :class:`vintrel.server.Server`, as :func:`serve_h1` and
    :func:`serve_h2` return it.

    ``close()`` starts a graceful stop (no new connections; requests in
    flight finish within the server's shutdown timeout); ``await
    wait_closed()`` waits for it and raises what stopped the server, if it
    failed. ``async with`` does both on exit. ``sockets`` are the listening
    sockets; ``server`` is the :class:`vintrel.server.Server` itself.
    """

    def __init__(self, server: Server, task: asyncio.Task[None]) -> None:
        self.server = server
        self._task = task

    @property
    def sockets(self) -> list[socket.socket]:
        """The listening sockets."""
        return self.server.sockets

    def close(self) -> None:
        """Stop accepting and let the requests in flight finish."""
        self.server.stop()

    async def wait_closed(self) -> None:
        """Wait until the server has stopped (after ``close()``)."""
        # Shielded: a caller that stops waiting does not kill the server.
        await asyncio.shield(self._task)

    async def __aenter__(self) -> HandlerServer:
        return self

    async def __aexit__(self, *exc: object) -> None:
        self.close()
        await self.wait_closed()


async def _start(
    handler: Handler,
    host: str,
    port: int,
    ssl: _ssl.SSLContext | None,
    idle_timeout: float | None,
    max_body: int,
) -> HandlerServer:
    limits = Limits(
        max_body_size=max_body,
        keep_alive_timeout=_NO_TIMEOUT if idle_timeout is None else idle_timeout,
    )
    config = Config(host=host, port=port, ssl_context=ssl, lifespan="off", limits=limits)
    server = Server(handler_app(handler, max_body=max_body), config)
    task = asyncio.get_running_loop().create_task(server.serve(install_signals=False))
    # Its outcome is wait_closed()'s to report; a server nobody waits for
    # must not leave "exception never retrieved" behind.
    task.add_done_callback(lambda t: t.cancelled() or t.exception())
    started = asyncio.ensure_future(server.started.wait())
    try:
        await asyncio.wait([task, started], return_when=asyncio.FIRST_COMPLETED)
    except BaseException:
        task.cancel()  # the caller gave up waiting: no server left behind
        started.cancel()
        raise
    if not server.started.is_set():
        started.cancel()
        await task  # raises what kept it from listening (an address in use...)
        raise RuntimeError("the server stopped before it listened")
    return HandlerServer(server, task)


async def serve_h1(
    handler: Handler,
    host: str = "127.0.0.1",
    port: int = 0,
    *,
    ssl: _ssl.SSLContext | None = None,
    idle_timeout: float | None = 30.0,
    max_body: int = MAX_BODY,
) -> HandlerServer:
    """Serve ``handler`` on ``host:port``; return once it listens.

    The port serves HTTP/1.1 and HTTP/2 alike (cleartext HTTP/2 with prior
    knowledge; over TLS, the ALPN protocols of ``ssl`` decide, the context
    used as given). ``idle_timeout`` is how long a connection with no
    request in flight stays open (None: no limit); request bodies past
    ``max_body`` bytes are refused with 413. The caller closes the returned
    :class:`HandlerServer`.
    """
    return await _start(handler, host, port, ssl, idle_timeout, max_body)


async def serve_h2(
    handler: Handler,
    host: str = "127.0.0.1",
    port: int = 0,
    *,
    ssl: _ssl.SSLContext | None = None,
    idle_timeout: float | None = 30.0,
    max_body: int = MAX_BODY,
) -> HandlerServer:
    """The same server as :func:`serve_h1`: both protocols on one port.

    The ``ssl`` context is not changed: for HTTP/2 over TLS it must offer
    ALPN "h2" (``ctx.set_alpn_protocols(["h2", "http/1.1"])``); a client
    that negotiates nothing may still start HTTP/2 with its preface.
    """
    return await _start(handler, host, port, ssl, idle_timeout, max_body)
