"""Reaching an origin through an HTTP proxy with CONNECT.

``ProxyMatcher.from_env().intercept(url)`` picks the proxy for a URL (or
None to go direct); :func:`open_stream` opens the connection either way,
tunnelling through the proxy with CONNECT and then starting TLS to the
origin when asked.
"""

from __future__ import annotations

import asyncio
import ssl as _ssl
from urllib.parse import urlsplit

from .._vintrel import H1Codec, HeaderMap, ProxyIntercept, ProxyMatcher


class ProxyError(ConnectionError):
    """The proxy refused or broke the CONNECT tunnel."""


def proxy_for(url: str) -> ProxyIntercept | None:
    """The proxy that the environment (HTTP_PROXY, NO_PROXY, ...) picks for url."""
    return ProxyMatcher.from_env().intercept(url)


async def open_tunnel(
    proxy: ProxyIntercept,
    host: str,
    port: int,
    *,
    timeout: float | None = 30.0,
) -> tuple[asyncio.StreamReader, asyncio.StreamWriter]:
    """A byte stream to host:port through an http:// proxy, by CONNECT."""
    parts = urlsplit(proxy.uri)
    if parts.scheme != "http" or parts.hostname is None:
        raise ProxyError(f"unsupported proxy {proxy.uri!r} (only http:// proxies tunnel here)")
    reader, writer = await asyncio.wait_for(
        asyncio.open_connection(parts.hostname, parts.port or 80), timeout
    )
    try:
        authority = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
        headers = HeaderMap([("host", authority)])
        auth = proxy.basic_auth()
        if auth is not None:
            headers["proxy-authorization"] = auth
        codec = H1Codec()
        writer.write(codec.serialize_request("CONNECT", authority, headers))
        # Read exactly the head (up to the blank line) so that no tunnelled
        # byte is taken from the stream; 1xx heads are consumed by the codec.
        head = None
        while head is None:
            block = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), timeout)
            head = codec.receive_head(block)
        if not head.is_upgrade:
            raise ProxyError(f"proxy answered CONNECT with {head.status}")
        return reader, writer
    except BaseException:
        writer.close()
        raise


async def open_stream(
    host: str,
    port: int,
    *,
    ssl: _ssl.SSLContext | None = None,
    proxy: ProxyIntercept | None = None,
    timeout: float | None = 30.0,
) -> tuple[asyncio.StreamReader, asyncio.StreamWriter]:
    """Connect to host:port, directly or through ``proxy``; TLS to the origin with ``ssl``."""
    if proxy is None:
        return await asyncio.wait_for(asyncio.open_connection(host, port, ssl=ssl), timeout)
    reader, writer = await open_tunnel(proxy, host, port, timeout=timeout)
    if ssl is not None:
        await asyncio.wait_for(writer.start_tls(ssl, server_hostname=host), timeout)
    return reader, writer
