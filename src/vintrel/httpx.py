"""An httpx transport on vintrel's pooled client:

    client = httpx.AsyncClient(transport=vintrel.httpx.AsyncTransport())

Every httpx program runs over the pool, streaming included, and sees
httpx's own exceptions. httpx is an optional extra (``pip install
vintrel[httpx]``): importing this module needs it, the rest of the
package does not.
"""

from __future__ import annotations

import ssl as _ssl
from collections.abc import AsyncIterator
from typing import Any

import httpx

from .client import (
    BodyTooLarge,
    Client,
    ClientError,
    ClientResponse,
    ConnectError,
    ConnectTimeout,
    PoolLimits,
    PoolTimeout,
    ProtocolError,
    ProxyError,
    ReadTimeout,
    Timeout,
    WriteTimeout,
)

__all__ = ["AsyncTransport"]

_VERSIONS = {"1.0": b"HTTP/1.0", "1.1": b"HTTP/1.1", "2": b"HTTP/2"}

# Ours to httpx's, most specific first.
_ERRORS: list[tuple[type[ClientError], type[httpx.TransportError]]] = [
    (ConnectTimeout, httpx.ConnectTimeout),
    (ReadTimeout, httpx.ReadTimeout),
    (WriteTimeout, httpx.WriteTimeout),
    (PoolTimeout, httpx.PoolTimeout),
    (ProxyError, httpx.ProxyError),
    (ConnectError, httpx.ConnectError),
    (ProtocolError, httpx.RemoteProtocolError),
    (BodyTooLarge, httpx.ReadError),
]


def _mapped(exc: ClientError, request: httpx.Request) -> httpx.TransportError:
    for ours, theirs in _ERRORS:
        if isinstance(exc, ours):
            return theirs(str(exc), request=request)
    return httpx.TransportError(str(exc), request=request)


class _Body(httpx.AsyncByteStream):
    """A response body that httpx reads lazily; closing it gives the stream back."""

    def __init__(self, response: ClientResponse, request: httpx.Request) -> None:
        self._response = response
        self._request = request

    async def __aiter__(self) -> AsyncIterator[bytes]:
        try:
            async for chunk in self._response.aiter_bytes():
                yield chunk
        except ClientError as exc:
            raise _mapped(exc, self._request) from exc

    async def aclose(self) -> None:
        await self._response.aclose()


class AsyncTransport(httpx.AsyncBaseTransport):
    """An ``httpx.AsyncBaseTransport`` on ``vintrel.aio.Client``'s pool.

    ``http2``: offer h2 by ALPN over TLS; ``http2_prior_knowledge``: h2c to
    http:// origins. ``verify``: True (the system's trust store), False
    (no verification) or an ``ssl.SSLContext`` used as given. ``limits``:
    the pool's ``PoolLimits``. Proxies are httpx's business above the
    transport (``trust_env``, ``proxy=``), so the pool here goes direct
    unless ``proxy`` is given. Time limits come from each request (httpx's
    ``timeout``).
    """

    def __init__(
        self,
        *,
        http2: bool = True,
        http2_prior_knowledge: bool = False,
        verify: bool | _ssl.SSLContext = True,
        limits: PoolLimits = PoolLimits(),
        proxy: str | None = None,
        **client_options: Any,
    ) -> None:
        ssl: _ssl.SSLContext | None
        if isinstance(verify, _ssl.SSLContext):
            ssl = verify
        else:
            ssl = _ssl.create_default_context()
            if not verify:
                ssl.check_hostname = False
                ssl.verify_mode = _ssl.CERT_NONE
            ssl.set_alpn_protocols(["h2", "http/1.1"] if http2 else ["http/1.1"])
        self._client = Client(http2=http2, http2_prior_knowledge=http2_prior_knowledge, ssl=ssl, limits=limits,
                              trust_env=False, proxy=proxy, headers=None, max_body_size=None, **client_options)
        self._client.headers = []  # httpx sends its own user-agent

    async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
        timeouts = request.extensions.get("timeout", {})
        timeout = Timeout(timeouts.get("connect"), timeouts.get("read"), timeouts.get("write"), timeouts.get("pool"))
        stream = request.stream
        content: Any
        if isinstance(stream, httpx.ByteStream):
            # A body given whole (read into the request by httpx): sent with
            # its length, and a request without one sends none.
            content = request.content or (b"" if "content-length" in request.headers else None)
        else:
            content = stream
        try:
            response = await self._client.request(request.method, str(request.url), headers=request.headers.raw,
                                                  content=content, timeout=timeout)
        except ClientError as exc:
            raise _mapped(exc, request) from exc
        return httpx.Response(
            response.status,
            headers=response.raw_headers,
            stream=_Body(response, request),
            extensions={"http_version": _VERSIONS.get(response.http_version, b"HTTP/1.1")},
        )

    async def aclose(self) -> None:
        await self._client.aclose()
