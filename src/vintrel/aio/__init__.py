"""asyncio drivers for the codecs: HTTP/1.1 and HTTP/2 clients and servers.

Standard library only. The servers take one handler,
``async def handler(request: Request) -> Response``, for both protocols.
"""

from ._types import Handler, Request, Response
from .h1 import H1Client, H1Server, serve_h1
from .proxy import open_stream, open_tunnel, proxy_for
from .h2 import H2Client, H2Connection, H2Server, serve_h2

__all__ = ["Handler", "Request", "Response", "H1Client", "H1Server", "serve_h1",
           "H2Client", "H2Connection", "H2Server", "serve_h2",
           "open_stream", "open_tunnel", "proxy_for"]
