"""asyncio drivers for the codecs: HTTP/1.1 and HTTP/2 clients, and the
handler API on the ASGI server.

Standard library only. A handler, ``async def handler(request: Request) ->
Response``, is served by ``serve_h1``/``serve_h2`` (both run
``vintrel.server.Server``, every protocol on one port) or, as an ASGI 3
application, by ``handler_app(handler)``.
"""

from ._types import Handler, Request, Response
from ._handler import HandlerServer, handler_app, serve_h1, serve_h2
from .h1 import H1Client
from .proxy import open_stream, open_tunnel, proxy_for
from .h2 import H2Client, H2Connection

__all__ = ["Handler", "Request", "Response", "handler_app", "serve_h1", "serve_h2", "HandlerServer",
           "H1Client", "H2Client", "H2Connection",
           "open_stream", "open_tunnel", "proxy_for"]
