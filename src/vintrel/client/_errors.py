"""The client's exceptions: one root, ``ClientError``, that callers catch.

Timeouts are also ``TimeoutError`` and connection failures also
``ConnectionError``, so code written against the built-in classes keeps
working.
"""

from __future__ import annotations


class ClientError(Exception):
    """Every failure of the client (and of ``vintrel.aio.Client``) is one of these."""


class ConnectError(ClientError, ConnectionError):
    """The connection could not be made (refused, unreachable, DNS, TLS)."""


class ProxyError(ConnectError):
    """The proxy refused or broke the CONNECT tunnel."""


class ClientTimeout(ClientError, TimeoutError):
    """A time limit of ``Timeout`` passed."""


class ConnectTimeout(ClientTimeout):
    """Connecting (TCP, proxy tunnel and TLS handshake) took longer than ``Timeout.connect``."""


class ReadTimeout(ClientTimeout):
    """The server sent nothing for ``Timeout.read`` seconds while a response was awaited."""


class WriteTimeout(ClientTimeout):
    """The server took none of the request body for ``Timeout.write`` seconds."""


class PoolTimeout(ClientTimeout):
    """No connection became free within ``Timeout.pool`` seconds."""


class ProtocolError(ClientError):
    """The server broke the protocol, or the response was cut short."""


class StreamReset(ProtocolError):
    """The server reset the request's stream (HTTP/2), or the connection
    failed under it; ``error_code`` is the HTTP/2 error code."""

    def __init__(self, message: str, error_code: int) -> None:
        super().__init__(message)
        self.error_code = error_code


class ConnectionClosed(ProtocolError):
    """The connection closed before the response was complete."""


class BodyTooLarge(ClientError):
    """A response body read whole passed the client's ``max_body_size``."""
