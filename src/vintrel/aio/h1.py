"""An asyncio HTTP/1.1 client and server on H1Codec and H1BodyDecoder.

Recipes these drivers follow:

* A server writes ``HTTP/1.1 100 Continue`` itself when the request head
  says ``expect_continue`` (``serialize_response`` refuses 1xx other than
  101); a client sees informational heads consumed silently by
  ``receive_head``.
* After a head, ``take_body()`` gives the bytes already received past it;
  they and every later read feed an ``H1BodyDecoder`` built from the head's
  ``body_kind`` and ``content_length``. Bytes past the body
  (``take_buffered()``) are the start of the next pipelined message and go
  back into the codec's next head parse.
* Any protocol failure (``ValueError`` from the codec or the decoder) closes
  the connection: nothing more can be framed on it safely.
"""

from __future__ import annotations

import asyncio
import ssl as _ssl
from collections.abc import AsyncIterable, Iterable

from .._vintrel import H1BodyDecoder, H1Codec, HeaderMap, ProxyIntercept
from ._types import MAX_BODY, Handler, Request, Response, close_writer, read_some
from .proxy import open_stream

CONTINUE = b"HTTP/1.1 100 Continue\r\n\r\n"


class ProtocolFailure(Exception):
    """The peer broke HTTP/1.1 framing or closed mid-message."""


class BodyTooLarge(ProtocolFailure):
    """A received body outgrew the server's limit."""


async def _read_body(
    reader: asyncio.StreamReader,
    decoder: H1BodyDecoder,
    timeout: float | None,
    limit: int | None = None,
) -> bytes:
    """Decode a whole body; return it (trailers stay in the decoder).

    A body growing past ``limit`` bytes raises ProtocolFailure.
    """
    parts: list[bytes] = []
    size = 0
    while True:
        chunk = decoder.decode()
        if chunk is not None:
            parts.append(chunk)
            size += len(chunk)
            if limit is not None and size > limit:
                raise BodyTooLarge("body too large")
            continue
        if decoder.is_complete:
            return b"".join(parts)
        data = await read_some(reader, timeout)
        if data:
            decoder.feed(data)
        else:
            decoder.mark_eof()
            chunk = decoder.decode()
            if chunk is not None:
                parts.append(chunk)
            if not decoder.is_complete:
                raise ProtocolFailure("connection closed mid-body")
            return b"".join(parts)


def _declare_trailers(headers: HeaderMap | None, trailers: HeaderMap | None) -> HeaderMap:
    """A copy of headers naming the trailers in a ``trailer`` header.

    The codec sends only trailers that the head declared this way.
    """
    out = HeaderMap(headers.items()) if headers is not None else HeaderMap()
    if trailers is not None and "trailer" not in out:
        out["trailer"] = ", ".join(dict.fromkeys(trailers.keys()))
    return out


def _frame_body(codec: H1Codec, body: bytes, trailers: HeaderMap | None) -> list[bytes]:
    """The body and end frames for the message whose head was just serialized."""
    out: list[bytes] = []
    if codec.body_is_eof():
        return out
    if body:
        out.append(codec.serialize_data(body))
    out.append(codec.serialize_trailers(trailers) if trailers is not None else codec.serialize_end())
    return out


# ---------------------------------------------------------------- server


class H1Server:
    """Serve ``handler`` over HTTP/1.1 on asyncio streams.

    Pipelined requests are answered in order; a response is length-framed
    unless it carries trailers (then chunked); the connection stays open
    while both sides allow keep-alive. ``idle_timeout`` bounds every read,
    so a client that stops mid-message is dropped instead of holding the
    connection.
    """

    def __init__(self, handler: Handler, *, idle_timeout: float | None = 30.0, max_body: int = MAX_BODY) -> None:
        self.handler = handler
        self.idle_timeout = idle_timeout
        self.max_body = max_body
        self.errors: list[BaseException] = []

    async def __call__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            await self._serve(reader, writer)
        except (ValueError, ProtocolFailure, TimeoutError, ConnectionError) as exc:
            self.errors.append(exc)
        finally:
            # No wait for the close: a server shutting down cancels this task.
            writer.close()

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        codec = H1Codec()
        pending = b""
        timeout = self.idle_timeout
        while True:
            head = codec.receive_request_head(pending)
            while head is None:
                data = await read_some(reader, timeout)
                if not data:
                    if codec.buffered():
                        raise ProtocolFailure("connection closed mid-head")
                    return
                head = codec.receive_request_head(data)
            if head.expect_continue and head.body_kind != "empty":
                writer.write(CONTINUE)
            decoder = H1BodyDecoder(head.body_kind, head.content_length or 0)
            decoder.feed(codec.take_body())
            if head.content_length is not None and head.content_length > self.max_body:
                writer.write(codec.serialize_response(413, HeaderMap([("connection", "close")])))
                return
            try:
                body = await _read_body(reader, decoder, timeout, self.max_body)
            except BodyTooLarge:
                writer.write(codec.serialize_response(413, HeaderMap([("connection", "close")])))
                raise
            request = Request(
                head.method,
                head.target,
                head.headers,
                body,
                decoder.take_trailers(),
                "1.0" if head.http10 else "1.1",
            )
            pending = decoder.take_buffered()
            response = await self.handler(request)
            chunked = response.trailers is not None and not head.http10
            out = [
                codec.serialize_response(
                    response.status,
                    _declare_trailers(response.headers, response.trailers) if chunked else response.headers,
                    keep_alive=head.keep_alive,
                    http10=head.http10,
                    content_length=None if chunked else len(response.body),
                    chunked=chunked,
                )
            ]
            out += _frame_body(codec, response.body, response.trailers if chunked else None)
            writer.write(b"".join(out))
            await writer.drain()
            if not head.keep_alive or _says_close(response.headers):
                return


def _says_close(headers: HeaderMap) -> bool:
    return any(
        tok.strip().lower() == b"close" for v in headers.get_all("connection") for tok in v.split(b",")
    )


async def serve_h1(
    handler: Handler,
    host: str = "127.0.0.1",
    port: int = 0,
    *,
    ssl: _ssl.SSLContext | None = None,
    idle_timeout: float | None = 30.0,
    max_body: int = MAX_BODY,
) -> asyncio.Server:
    """Start an HTTP/1.1 server; the caller closes the returned server."""
    return await asyncio.start_server(
        H1Server(handler, idle_timeout=idle_timeout, max_body=max_body), host, port, ssl=ssl
    )


# ---------------------------------------------------------------- client


class H1Client:
    """An HTTP/1.1 client on one kept-alive connection to ``host:port``.

    Requests run one at a time (a lock orders them). The connection is
    opened on first use and again after the server ends it. Redirects are
    the caller's business. ``timeout`` bounds every read. With ``proxy``
    (for example ``proxy_for(url)``, from the environment) the connection
    is a CONNECT tunnel through that proxy.
    """

    def __init__(
        self,
        host: str,
        port: int,
        *,
        ssl: _ssl.SSLContext | None = None,
        timeout: float | None = 30.0,
        target_prefix: str = "",
        proxy: ProxyIntercept | None = None,
    ) -> None:
        self.host = host
        self.port = port
        self.ssl = ssl
        self.timeout = timeout
        # An absolute-form prefix ("http://host:port") for plain requests
        # sent to a forward proxy; empty for origin-form.
        self.target_prefix = target_prefix
        self.proxy = proxy
        self.connections_opened = 0
        self._lock = asyncio.Lock()
        self._streams: tuple[asyncio.StreamReader, asyncio.StreamWriter] | None = None
        self._http10 = False

    async def open_connection(self) -> tuple[asyncio.StreamReader, asyncio.StreamWriter]:
        return await open_stream(self.host, self.port, ssl=self.ssl, proxy=self.proxy, timeout=self.timeout)

    @property
    def authority(self) -> str:
        return self.host if self.port in (80, 443) else f"{self.host}:{self.port}"

    async def close(self) -> None:
        if self._streams is not None:
            _, writer = self._streams
            self._streams = None
            await close_writer(writer)

    async def __aenter__(self) -> H1Client:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    async def request(
        self,
        method: str,
        target: str,
        headers: HeaderMap | None = None,
        body: bytes | Iterable[bytes] | AsyncIterable[bytes] | None = None,
        *,
        trailers: HeaderMap | None = None,
        expect_continue: bool = False,
    ) -> Response:
        """Send one request and read its whole response.

        ``body`` as ``bytes`` is length-framed; an iterable of chunks (or
        any body with ``trailers``) is sent chunked, ending with the
        trailers. ``expect_continue`` sends ``Expect: 100-continue`` and
        holds the body until the server's 100 (or a final response) comes.
        """
        async with self._lock:
            if self._streams is None:
                self._streams = await self.open_connection()
                self.connections_opened += 1
            reader, writer = self._streams
            try:
                response, reusable = await self._exchange(
                    reader, writer, method, target, headers, body, trailers, expect_continue
                )
            except BaseException:
                await self.close()
                raise
            if not reusable:
                await self.close()
            return response

    async def _exchange(
        self,
        reader: asyncio.StreamReader,
        writer: asyncio.StreamWriter,
        method: str,
        target: str,
        headers: HeaderMap | None,
        body: bytes | Iterable[bytes] | AsyncIterable[bytes] | None,
        trailers: HeaderMap | None,
        expect_continue: bool,
    ) -> tuple[Response, bool]:
        codec = H1Codec()
        hdrs = _declare_trailers(headers, trailers)
        if "host" not in hdrs:
            hdrs["host"] = self.authority
        chunked = body is not None and (trailers is not None or not isinstance(body, bytes))
        length = len(body) if isinstance(body, bytes) and not chunked else None
        if expect_continue and body is not None:
            hdrs["expect"] = "100-continue"
        names = trailers.keys() if trailers is not None else []
        writer.write(
            codec.serialize_request(
                method,
                self.target_prefix + target,
                hdrs,
                http10=self._http10,
                content_length=length,
                chunked=chunked,
                trailer_fields=names,
            )
        )
        head = None
        if expect_continue and body is not None:
            await writer.drain()
            # The codec consumes a 100 silently, so "go ahead" is simply
            # either bytes arriving (a 100, or an early final response) or
            # a short wait passing with nothing, as servers may ignore Expect.
            try:
                first = await asyncio.wait_for(reader.read(65536), 1.0)
            except TimeoutError:
                first = None
            if first is not None:
                if not first:
                    raise ProtocolFailure("connection closed before the response")
                head = codec.receive_head(first)
        send_error: ConnectionError | None = None
        if head is None:
            try:
                await self._send_body(codec, writer, body, trailers)
            except ConnectionError as exc:
                # The server may have answered early (413, say) and closed:
                # its response is still worth reading.
                send_error = exc
        while head is None:
            data = await read_some(reader, self.timeout)
            if not data:
                raise send_error or ProtocolFailure("connection closed before the response")
            head = codec.receive_head(data)
        decoder = H1BodyDecoder(head.body_kind, head.content_length or 0)
        decoder.feed(codec.take_body())
        resp_body = await _read_body(reader, decoder, self.timeout)
        self._http10 = head.http10
        reusable = head.keep_alive and head.body_kind != "close" and not decoder.take_buffered()
        if send_error is not None or not codec.body_is_eof():
            # The server answered before taking the whole body: the
            # connection cannot carry another request.
            reusable = False
        return Response(head.status, head.headers, resp_body, decoder.take_trailers()), reusable

    @staticmethod
    async def _send_body(
        codec: H1Codec,
        writer: asyncio.StreamWriter,
        body: bytes | Iterable[bytes] | AsyncIterable[bytes] | None,
        trailers: HeaderMap | None,
    ) -> None:
        if body is None or codec.body_is_eof():
            await writer.drain()
            return
        if isinstance(body, bytes):
            writer.write(b"".join(_frame_body(codec, body, trailers)))
        else:
            if isinstance(body, AsyncIterable):
                async for chunk in body:
                    if chunk:
                        writer.write(codec.serialize_data(chunk))
                        await writer.drain()
            else:
                for chunk in body:
                    if chunk:
                        writer.write(codec.serialize_data(chunk))
            writer.write(codec.serialize_trailers(trailers) if trailers is not None else codec.serialize_end())
        await writer.drain()
