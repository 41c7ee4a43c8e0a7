"""asyncio on vintrel: the pooled client, and the handler API on the ASGI
server.

``Client`` sends HTTP/1.1 and HTTP/2 requests through a connection pool
(``vintrel.client``; ``vintrel.httpx`` puts it under httpx). A handler,
``async def handler(request: Request) -> Response``, is served by
``serve_h1``/``serve_h2`` (both run ``vintrel.server.Server``, every
protocol on one port) or, as an ASGI 3 application, by
``handler_app(handler)``. Standard library only.
"""

from ..client import (
    BodyTooLarge,
    Client,
    ClientError,
    ClientResponse,
    ClientTimeout,
    ConnectError,
    ConnectionClosed,
    ConnectTimeout,
    PoolLimits,
    PoolTimeout,
    ProtocolError,
    ProxyError,
    ReadTimeout,
    StreamReset,
    Timeout,
    WriteTimeout,
)
from ._handler import HandlerServer, handler_app, serve_h1, serve_h2
from ._types import Handler, Request, Response

__all__ = [
    "Client", "ClientResponse", "Timeout", "PoolLimits",
    "ClientError", "ConnectError", "ProxyError", "ClientTimeout", "ConnectTimeout", "ReadTimeout", "WriteTimeout",
    "PoolTimeout", "ProtocolError", "StreamReset", "ConnectionClosed", "BodyTooLarge",
    "Handler", "Request", "Response", "handler_app", "serve_h1", "serve_h2", "HandlerServer",
]
