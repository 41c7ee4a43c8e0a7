"""``Client``: one ``request()`` for HTTP/1.1 and HTTP/2 over a connection
pool, and ``ClientResponse``, whose body is read whole or streamed."""

from __future__ import annotations

import asyncio
import ssl as _ssl
from collections.abc import AsyncIterable, AsyncIterator, Iterable, Mapping
from typing import Any, NamedTuple, Union
from urllib.parse import urlsplit

from .._vintrel import HeaderMap, ProxyIntercept, ProxyMatcher
from .._vintrel import __version__ as _version
from ._config import PoolLimits, Timeout
from ._connect import Route, authority, open_connection
from ._errors import BodyTooLarge, ClientError
from ._events import Headers
from ._pool import Pool
from ._protocol import Channel, ClientProtocol, Retry

HeadersLike = Union[Mapping[str, str], Mapping[bytes, bytes], Iterable[tuple[Any, Any]], HeaderMap, None]
Content = Union[bytes, bytearray, memoryview, str, AsyncIterable[bytes], None]

# Methods a server may receive twice with the effect of once: such a request
# that the server provably did not process is sent again, once.
IDEMPOTENT = frozenset(["GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"])
DEFAULT_PORTS = {"http": 80, "https": 443}
_UNSET: Any = object()


def header_pairs(headers: HeadersLike) -> Headers:
    """Name/value byte pairs from a mapping, a HeaderMap or pairs of str or bytes."""
    if headers is None:
        return []
    items = headers.items() if isinstance(headers, (Mapping, HeaderMap)) else headers
    return [(n if isinstance(n, bytes) else n.encode("latin-1"), v if isinstance(v, bytes) else v.encode("latin-1"))
            for n, v in items]


class _Destination(NamedTuple):
    route: Route
    origin: str  # the authority as requests carry it (no default port)
    proxy: ProxyIntercept | None
    proxy_auth: bytes | None


class ClientResponse:
    """A response: its head at once, its body read whole (``read``) or
    streamed (``aiter_bytes``). The connection's stream is held until the
    body is read to its end or the response is closed (``aclose``, or
    ``async with``)."""

    __slots__ = ("status", "raw_headers", "http_version", "url", "_channel", "_timeout", "_max_body", "_headers",
                 "_content", "_closed", "_sender")

    def __init__(self, channel: Channel, url: str, timeout: float | None, max_body: int | None,
                 sender: asyncio.Task[None] | None) -> None:
        head = channel.head
        assert head is not None
        self.status: int = head.status
        #: Lowercase names and values as received, in order.
        self.raw_headers: Headers = head.headers
        #: "1.0", "1.1" or "2".
        self.http_version: str = head.http_version
        self.url = url
        self._channel = channel
        self._timeout = timeout
        self._max_body = max_body
        self._headers: HeaderMap | None = None
        self._content: bytes | None = None
        self._closed = False
        self._sender = sender
        if channel.ended and not channel.chunks:
            self._content = b""
            self._release()

    def __repr__(self) -> str:
        return f"<ClientResponse [{self.status}] HTTP/{self.http_version}>"

    @property
    def headers(self) -> HeaderMap:
        """The response's header fields as a HeaderMap."""
        if self._headers is None:
            self._headers = HeaderMap(self.raw_headers)
        return self._headers

    @property
    def trailers(self) -> HeaderMap | None:
        """The trailer fields, once the body was read to its end (None if none came)."""
        raw = self._channel.trailers
        return None if raw is None else HeaderMap(raw)

    @property
    def content(self) -> bytes:
        """The body, after ``await read()``."""
        if self._content is None:
            raise RuntimeError("the body has not been read: await response.read() first")
        return self._content

    async def read(self) -> bytes:
        """The whole body (at most the client's ``max_body_size``, else BodyTooLarge)."""
        if self._content is not None:
            return self._content
        if self._closed:
            raise RuntimeError("the response was closed before its body was read")
        channel = self._channel
        cap = self._max_body
        parts = []
        size = 0
        try:
            while True:
                if channel.chunks:
                    data = channel.take_all()
                    size += len(data)
                    if cap is not None and size > cap:
                        raise BodyTooLarge(f"the response body passed {cap} bytes")
                    parts.append(data)
                elif channel.ended:
                    break
                elif channel.error is not None:
                    raise channel.error
                else:
                    await channel.wait(self._timeout)
        except BaseException:
            self._abandon()
            raise
        self._content = parts[0] if len(parts) == 1 else b"".join(parts)
        self._release()
        return self._content

    async def aiter_bytes(self) -> AsyncIterator[bytes]:
        """The body piece by piece, as it arrives; HTTP/2 credit goes back to
        the server as the pieces are taken."""
        if self._content is not None:
            if self._content:
                yield self._content
            return
        if self._closed:
            raise RuntimeError("the response was closed before its body was read")
        channel = self._channel
        try:
            while True:
                chunk = await channel.next_chunk(self._timeout)
                if chunk is None:
                    break
                yield chunk
        except BaseException:
            self._abandon()
            raise
        self._release()

    async def aclose(self) -> None:
        """Give the stream back; a body not read to its end is abandoned."""
        if not self._closed:
            self._abandon()

    async def __aenter__(self) -> ClientResponse:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    def _release(self) -> None:
        if not self._closed:
            self._closed = True
            self._channel.proto.finish(self._channel)
            if self._sender is not None and not self._sender.done():
                self._sender.cancel()

    def _abandon(self) -> None:
        self._release()


class Client:
    """A pooled HTTP/1.1 and HTTP/2 client.

    ``http2``: offer h2 by ALPN over TLS (the server picks). ``http2_prior_knowledge``:
    speak HTTP/2 in cleartext to http:// origins without asking. ``ssl``:
    the TLS context for https:// origins, used exactly as given (its ALPN
    list decides whether HTTP/2 is offered); by default the system's trust
    store with ALPN h2 and http/1.1. ``trust_env``: take proxies from the
    environment (HTTP_PROXY, HTTPS_PROXY, ALL_PROXY, NO_PROXY); ``proxy``:
    one proxy URL for every request instead. ``max_body_size``: the cap of
    ``read()`` (None: none); streamed bodies are never capped.
    """

    def __init__(
        self,
        *,
        http2: bool = True,
        http2_prior_knowledge: bool = False,
        ssl: _ssl.SSLContext | None = None,
        timeout: Timeout | float | None = Timeout(),
        limits: PoolLimits = PoolLimits(),
        trust_env: bool = True,
        proxy: str | None = None,
        headers: HeadersLike = None,
        max_body_size: int | None = 64 * 1024 * 1024,
        max_head_size: int = 65536,
        stream_buffer: int = 1024 * 1024,
    ) -> None:
        self.http2 = http2
        self.http2_prior_knowledge = http2_prior_knowledge
        if ssl is None:
            ssl = _ssl.create_default_context()
            ssl.set_alpn_protocols(["h2", "http/1.1"] if http2 else ["http/1.1"])
        self.ssl = ssl
        self.timeout = Timeout.of(timeout)
        self.limits = limits
        if proxy is not None:
            self._proxies: ProxyMatcher | None = ProxyMatcher.from_parts(all=proxy)
        else:
            self._proxies = ProxyMatcher.from_env() if trust_env else None
        self.headers = header_pairs(headers)
        if not any(name.lower() == b"user-agent" for name, _ in self.headers):
            self.headers.append((b"user-agent", b"vintrel/" + _version.encode()))
        self.max_body_size = max_body_size
        self.max_head_size = max_head_size
        self.stream_buffer = stream_buffer
        self._pool = Pool(limits)
        self._destinations: dict[str, _Destination] = {}
        self._routes: dict[tuple[str, str, int, str | None], Route] = {}

    async def __aenter__(self) -> Client:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Close every connection (HTTP/2: GOAWAY); requests in flight on them fail."""
        await self._pool.close()

    async def get(self, url: str, **kwargs: Any) -> ClientResponse:
        return await self.request("GET", url, **kwargs)

    async def post(self, url: str, **kwargs: Any) -> ClientResponse:
        return await self.request("POST", url, **kwargs)

    async def request(
        self,
        method: str,
        url: str,
        *,
        headers: HeadersLike = None,
        content: Content = None,
        trailers: HeadersLike = None,
        timeout: Timeout | float | None = _UNSET,
    ) -> ClientResponse:
        """Send a request and return its response once the head arrived.

        ``content``: the body as bytes or an async iterable of bytes (sent
        as it is produced: chunked on HTTP/1.1 unless a content-length is
        given). ``trailers``: fields sent after the body. Read the body with
        ``await response.read()`` or ``async for chunk in
        response.aiter_bytes()``; either releases the connection at its end
        (or ``await response.aclose()``).
        """
        limits = self.timeout if timeout is _UNSET else Timeout.of(timeout)
        dest, target = self._destination(url)
        route, origin, proxy = dest.route, dest.origin, dest.proxy
        scheme = route.scheme
        fields = list(self.headers)
        fields += header_pairs(headers)
        if route.forward:
            target = f"{scheme}://{origin}{target}"
            if dest.proxy_auth is not None:
                fields.append((b"proxy-authorization", dest.proxy_auth))
        body: bytes | None
        stream: AsyncIterable[bytes] | None = None
        if content is None:
            body = None
        elif isinstance(content, (bytes, bytearray, memoryview)):
            body = bytes(content)
        elif isinstance(content, str):
            body = content.encode()
        else:
            body, stream = None, content
        trailer_pairs = header_pairs(trailers) if trailers is not None else None
        if trailer_pairs is not None and not any(n.lower() == b"trailer" for n, _ in fields):
            fields.append((b"trailer", b", ".join(n.lower() for n, _ in trailer_pairs)))
        if body is not None and trailer_pairs is None and not any(n.lower() == b"content-length" for n, _ in fields):
            fields.append((b"content-length", str(len(body)).encode()))
        replayable = stream is None and method.upper() in IDEMPOTENT
        attempt = 0
        while True:
            try:
                return await self._send(route, proxy, method, target, origin, scheme, fields, body, stream,
                                        trailer_pairs, limits, url)
            except Retry as exc:
                attempt += 1
                if not replayable or attempt > 1:
                    raise _not_retried(exc) from None

    def _destination(self, url: str) -> tuple[_Destination, str]:
        """The route of a URL (kept per scheme and authority: the proxy
        rules depend on nothing else) and its request target."""
        at = url.find("://")
        end = len(url)
        for mark in "/?#":
            i = url.find(mark, at + 3)
            if 0 <= i < end:
                end = i
        dest = self._destinations.get(url[:end]) if at > 0 else None
        if dest is None:
            dest = self._route(url, url[:end])
        target = url[end:].partition("#")[0]
        if not target.startswith("/"):
            target = "/" + target
        return dest, target

    def _route(self, url: str, prefix: str) -> _Destination:
        parts = urlsplit(url)
        scheme = parts.scheme.lower()
        host = parts.hostname
        if scheme not in DEFAULT_PORTS or not host:
            raise ValueError(f"cannot request {url!r}: an absolute http:// or https:// URL is needed")
        port = parts.port or DEFAULT_PORTS[scheme]
        origin = authority(host, port) if port != DEFAULT_PORTS[scheme] else f"[{host}]" if ":" in host else host
        proxy = self._proxies.intercept(url) if self._proxies is not None else None
        key = (scheme, host, port, proxy.uri if proxy is not None else None)
        route = self._routes.get(key)
        if route is None:
            if len(self._routes) >= 4096:
                self._routes.clear()  # a crawler's routes: the pool drops them when unused
            route = self._routes[key] = Route(*key)
        auth = proxy.basic_auth() if proxy is not None else None
        dest = _Destination(route, origin, proxy, auth.encode() if auth is not None else None)
        if len(self._destinations) >= 1024:
            self._destinations.clear()
        self._destinations[prefix] = dest
        return dest

    async def _connection(self, route: Route, proxy: ProxyIntercept | None, limits: Timeout) -> ClientProtocol:
        """A connection of the route from the pool once none is ready: a new
        one, or one that comes free."""
        loop = asyncio.get_running_loop()
        scheme = route.scheme

        def connect(on_release: Any) -> Any:
            def factory() -> ClientProtocol:
                return ClientProtocol(loop, prior_knowledge=self.http2_prior_knowledge and scheme == "http"
                                      and not route.forward, on_release=on_release,
                                      max_head_size=self.max_head_size, stream_buffer=self.stream_buffer)
            return open_connection(route, factory, ssl=self.ssl if scheme == "https" else None, proxy=proxy,
                                   timeout=limits.connect)

        http2: bool | None
        if scheme == "https":
            http2 = None if self.http2 else False
        else:
            http2 = self.http2_prior_knowledge and not route.forward
        return await self._pool.acquire(route, connect, http2=http2, timeout=limits.pool)

    async def _send(self, route: Route, proxy: ProxyIntercept | None, method: str, target: str, origin: str,
                    scheme: str, fields: Headers, body: bytes | None, stream: AsyncIterable[bytes] | None,
                    trailers: Headers | None, limits: Timeout, url: str) -> ClientResponse:
        proto = self._pool.ready(route)
        if proto is None:
            proto = await self._connection(route, proxy, limits)
        end = body is None and stream is None and trailers is None
        channel = proto.start(method, target, fields, scheme=scheme, authority=origin, end_stream=end)
        sender: asyncio.Task[None] | None = None
        try:
            if body is not None:
                proto.send(channel, body, trailers is None)
                if trailers is not None:
                    proto.send_trailers(channel, trailers)
            elif stream is not None:
                sender = proto.loop.create_task(_send_stream(proto, channel, stream, trailers, limits.write))
            elif trailers is not None:
                proto.send_trailers(channel, trailers)
            while channel.head is None:
                if channel.error is not None:
                    raise channel.error
                await channel.wait(limits.read)
        except BaseException:
            if sender is not None:
                sender.cancel()
            proto.finish(channel)
            raise
        if sender is not None and sender.done() and not sender.cancelled() and sender.exception() is not None:
            proto.finish(channel)
            raise sender.exception()  # type: ignore[misc]
        return ClientResponse(channel, url, limits.read, self.max_body_size, sender)


async def _send_stream(proto: ClientProtocol, channel: Channel, stream: AsyncIterable[bytes],
                       trailers: Headers | None, write_timeout: float | None) -> None:
    """Send a request body as it is produced, no further ahead of the
    server than the connection's send queue. An early final response stops
    it quietly; a write timeout fails the request."""
    try:
        async for chunk in stream:
            if channel.done or channel.ended:
                return
            if chunk:
                proto.send(channel, bytes(chunk), False)
                await proto.drained(channel, write_timeout)
        if trailers is not None:
            proto.send_trailers(channel, trailers)
        else:
            proto.send(channel, b"", True)
    except Exception as exc:  # the caller's iterable failed, or the write timed out
        if channel.error is None:
            channel.error = exc
            waiter = channel.waiter
            if waiter is not None and not waiter.done():
                waiter.set_result(None)


def _not_retried(exc: Retry) -> ClientError:
    from ._errors import ConnectionClosed

    return ConnectionClosed(f"{exc} (not sent again)")
