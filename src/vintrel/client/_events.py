"""What a client connection reports to its driver, for either protocol.

A client connection (``H1ClientConnection``, ``H2ClientConnection``) takes
received bytes and returns these events; the driver writes what
``data_to_send()`` returns. Stream ids are the HTTP/2 stream ids, or on
HTTP/1.1 a per-connection count of requests (1, 2, 3, ...).
``BodyReceived``, ``StreamAborted`` and ``ConnectionEnded`` are the same
classes the server connections report.
"""

from __future__ import annotations

from dataclasses import dataclass

from .._sansio.events import BodyReceived, ConnectionEnded, Headers, StreamAborted

__all__ = ["BodyReceived", "ConnectionEnded", "Headers", "InformationalReceived", "ResponseEnded", "ResponseReceived",
           "StreamAborted", "Event"]


@dataclass(slots=True)
class InformationalReceived:
    """A 1xx response head before the final one (100 Continue, 103 Early
    Hints). After 100 Continue the driver sends a body it held back."""

    stream_id: int
    status: int
    headers: Headers


@dataclass(slots=True)
class ResponseReceived:
    """A final response head."""

    stream_id: int
    status: int
    # Lowercase names, in wire order; HTTP/2 pseudo-headers are not here.
    headers: Headers
    http_version: str  # "1.0", "1.1" or "2"
    # The response has no body (HEAD, 204, 304, END_STREAM on HEADERS,
    # content-length 0): ResponseEnded follows at once.
    end_stream: bool


@dataclass(slots=True)
class ResponseEnded:
    """The response body is complete, with its trailers if any. The
    response's bytes all arrived and matched its content-length."""

    stream_id: int
    trailers: Headers | None


Event = InformationalReceived | ResponseReceived | BodyReceived | ResponseEnded | StreamAborted | ConnectionEnded
