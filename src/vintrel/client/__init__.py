"""A pooled HTTP/1.1 and HTTP/2 client.

The protocol policy lives in sans-IO client connections
(``H1ClientConnection``, ``H2ClientConnection``: bytes in, events and bytes
out) built on the same layer as the server's; an ``asyncio.Protocol`` per
connection, a pool per route and ``Client`` drive them. ``vintrel.aio``
re-exports ``Client`` and what goes with it; ``vintrel.httpx`` puts the
pool under httpx.
"""

from ._client import Client, ClientResponse
from ._config import PoolLimits, Timeout
from ._errors import (
    BodyTooLarge,
    ClientError,
    ClientTimeout,
    ConnectError,
    ConnectionClosed,
    ConnectTimeout,
    PoolTimeout,
    ProtocolError,
    ProxyError,
    ReadTimeout,
    StreamReset,
    WriteTimeout,
)
from ._events import InformationalReceived, ResponseEnded, ResponseReceived
from ._h1 import H1ClientConnection
from ._h2 import H2ClientConnection

__all__ = [
    "BodyTooLarge", "Client", "ClientError", "ClientResponse", "ClientTimeout", "ConnectError", "ConnectTimeout",
    "ConnectionClosed", "H1ClientConnection", "H2ClientConnection", "InformationalReceived", "PoolLimits",
    "PoolTimeout", "ProtocolError", "ProxyError", "ReadTimeout", "ResponseEnded", "ResponseReceived", "StreamReset",
    "Timeout", "WriteTimeout",
]
