"""An ASGI 3.0 server for HTTP/1.1 and HTTP/2 on one port.

``python -m vintrel serve module:app`` runs it from the command line;
``await vintrel.server.serve(app, host=..., port=...)`` from a program. The
protocol policy lives in sans-IO connection objects (``H1ServerConnection``,
``H2ServerConnection``: bytes in, events and bytes out) that the asyncio
glue drives.
"""

from ._events import BodyReceived, ConnectionEnded, RequestEnded, RequestReceived, StreamAborted
from ._h1 import H1ServerConnection
from ._h2 import H2ServerConnection
from ._limits import Limits
from ._serve import Config, Server, serve

__all__ = [
    "BodyReceived",
    "Config",
    "ConnectionEnded",
    "H1ServerConnection",
    "H2ServerConnection",
    "Limits",
    "RequestEnded",
    "RequestReceived",
    "Server",
    "StreamAborted",
    "serve",
]
