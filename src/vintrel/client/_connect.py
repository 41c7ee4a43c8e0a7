"""Opening one connection of the pool: directly, or through an HTTP proxy
(a CONNECT tunnel for https:// origins, then TLS to the origin inside it).

Every failure comes out as ConnectError (ProxyError for the proxy's) or
ConnectTimeout; a connection that fails half made is aborted, not closed,
so no TLS shutdown is awaited.
"""

from __future__ import annotations

import asyncio
import ssl as _ssl
from collections.abc import Callable
from dataclasses import dataclass
from typing import TypeVar

from .._vintrel import H1Codec, HeaderMap, ProxyIntercept
from ._errors import ConnectError, ConnectTimeout, ProxyError
from ._protocol import ClientProtocol


@dataclass(frozen=True, slots=True, eq=False)
class Route:
    """Where a connection goes: the pool keeps connections per route. A
    client makes one Route object per distinct route and reuses it, so the
    pool finds it by identity."""

    scheme: str  # the origin's: "http" or "https"
    host: str
    port: int
    # The proxy to go through, as "http://host:port/" (None: direct). An
    # http:// origin through a proxy is a connection to the proxy itself,
    # shared by every http:// origin it serves (requests in absolute form).
    proxy: str | None = None

    @property
    def tunnel(self) -> bool:
        return self.proxy is not None and self.scheme == "https"

    @property
    def forward(self) -> bool:
        """Requests go to the proxy in absolute form."""
        return self.proxy is not None and self.scheme == "http"


def authority(host: str, port: int) -> str:
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


class _TunnelProtocol(asyncio.Protocol):
    """Reads the proxy's answer to CONNECT, no byte further."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.codec = H1Codec()
        self.done: asyncio.Future[int] = loop.create_future()
        self.transport: asyncio.Transport | None = None
        self.received = 0

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport  # type: ignore[assignment]

    def data_received(self, data: bytes) -> None:
        if self.done.done():
            return
        # The tunnel's bytes start after the head: a proxy sends none before
        # our first TLS bytes, so whatever follows the head is an error.
        self.received += len(data)
        if self.received > 65536:
            self.done.set_exception(ProxyError("proxy answered CONNECT with an oversized head"))
            return
        try:
            head = self.codec.receive_head(data)
        except ValueError as exc:
            self.done.set_exception(ProxyError(f"proxy answered CONNECT with a malformed head: {exc}"))
            return
        if head is not None:
            if head.status // 100 != 2:
                self.done.set_exception(ProxyError(f"proxy answered CONNECT with {head.status}"))
            elif self.codec.take_body():
                self.done.set_exception(ProxyError("proxy sent bytes after its CONNECT answer"))
            else:
                self.done.set_result(head.status)

    def connection_lost(self, exc: Exception | None) -> None:
        if not self.done.done():
            self.done.set_exception(ProxyError("proxy closed the connection during CONNECT"))


async def open_connection(
    route: Route,
    factory: Callable[[], ClientProtocol],
    *,
    ssl: _ssl.SSLContext | None,
    proxy: ProxyIntercept | None,
    timeout: float | None,
) -> ClientProtocol:
    """A made connection for ``route`` (TLS to the origin when its scheme is https)."""
    loop = asyncio.get_running_loop()
    transport: asyncio.BaseTransport | None = None
    try:
        async with asyncio.timeout(timeout):
            if route.proxy is None:
                transport, proto = await loop.create_connection(
                    factory, route.host, route.port, ssl=ssl, server_hostname=route.host if ssl else None
                )
            elif route.forward:
                transport, proto = await _to_proxy(loop, route.proxy, factory)
            else:
                assert proxy is not None and ssl is not None
                transport, tunnel = await _to_proxy(loop, route.proxy, lambda: _TunnelProtocol(loop))
                target = authority(route.host, route.port)
                headers = HeaderMap([("host", target)])
                auth = proxy.basic_auth()
                if auth is not None:
                    headers["proxy-authorization"] = auth
                transport.write(tunnel.codec.serialize_request("CONNECT", target, headers))
                await tunnel.done
                proto = factory()
                tls = await loop.start_tls(transport, proto, ssl, server_hostname=route.host)
                if tls is None:
                    raise ConnectError("the TLS handshake through the proxy did not complete")
                transport = tls
                proto.connection_made(tls)
            await proto.made
            return proto
    except TimeoutError:
        _abort(transport)
        raise ConnectTimeout(f"connecting to {authority(route.host, route.port)} took longer than {timeout} s") from None
    except ProxyError:
        _abort(transport)
        raise
    except (OSError, _ssl.SSLError, ConnectionError) as exc:
        _abort(transport)
        raise ConnectError(f"cannot connect to {authority(route.host, route.port)}: {exc}") from exc
    except BaseException:
        _abort(transport)
        raise


P = TypeVar("P", bound=asyncio.Protocol)


async def _to_proxy(loop: asyncio.AbstractEventLoop, proxy_uri: str,
                    factory: Callable[[], P]) -> tuple[asyncio.Transport, P]:
    from urllib.parse import urlsplit

    parts = urlsplit(proxy_uri)
    if parts.scheme not in ("http", "https") or parts.hostname is None:
        raise ProxyError(f"unsupported proxy {proxy_uri!r} (http:// and https:// proxies only)")
    ctx = _ssl.create_default_context() if parts.scheme == "https" else None
    try:
        return await loop.create_connection(
            factory, parts.hostname, parts.port or (443 if ctx else 80), ssl=ctx,
            server_hostname=parts.hostname if ctx else None,
        )
    except (OSError, _ssl.SSLError) as exc:
        raise ProxyError(f"cannot connect to the proxy {proxy_uri}: {exc}") from exc


def _abort(transport: asyncio.BaseTransport | None) -> None:
    if transport is not None:
        transport.abort()  # type: ignore[attr-defined]
