"""An asyncio HTTP/1.1 client on H1Codec and H1BodyDecoder.

Recipes this driver follows:

* A client sees informational heads consumed silently by
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
from ._types import Response, close_writer, read_some
from .proxy import open_stream


class ProtocolFailure(Exception):
    """The peer broke HTTP/1.1 framing or closed mid-message."""


async def _read_body(reader: asyncio.StreamReader, decoder: H1BodyDecoder, timeout: float | None) -> bytes:
    """Decode a whole body; return it (trailers stay in the decoder)."""
    parts: list[bytes] = []
    while True:
        chunk = decoder.decode()
        if chunk is not None:
            parts.append(chunk)
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
