"""What a server connection reports to its driver, for either protocol.

A connection object (``H1ServerConnection``, ``H2ServerConnection``) takes
received bytes and returns these events; the driver answers through the
connection's methods and writes what ``data_to_send()`` returns.
``BodyReceived``, ``StreamAborted`` and ``ConnectionEnded`` (and the error
codes) are shared with the client connections.
"""

from __future__ import annotations

from dataclasses import dataclass

from .._sansio.events import (
    CANCEL,
    ENHANCE_YOUR_CALM,
    FLOW_CONTROL_ERROR,
    INTERNAL_ERROR,
    NO_ERROR,
    PROTOCOL_ERROR,
    REFUSED_STREAM,
    STREAM_CLOSED,
    BodyReceived,
    ConnectionEnded,
    Headers,
    StreamAborted,
)

__all__ = [
    "CANCEL", "ENHANCE_YOUR_CALM", "FLOW_CONTROL_ERROR", "INTERNAL_ERROR", "NO_ERROR", "PROTOCOL_ERROR",
    "REFUSED_STREAM", "STREAM_CLOSED", "BodyReceived", "ConnectionEnded", "Event", "Headers", "RequestEnded",
    "RequestReceived", "StreamAborted",
]


@dataclass(slots=True)
class RequestReceived:
    """A request head: the application may start."""

    stream_id: int
    method: str
    # The request target as sent: path and query (HTTP/1.1 origin form or
    # HTTP/2 :path), an absolute URL, "*", or the authority of CONNECT.
    target: str
    # Lowercase names, in wire order; HTTP/2 pseudo-headers are not here
    # (see scheme/authority), an HTTP/2 :authority without a host field is
    # given as a host field first.
    headers: Headers
    http_version: str  # "1.0", "1.1" or "2"
    scheme: str | None  # HTTP/2 :scheme; None on HTTP/1
    # The request has no body (HTTP/1: no body framing; HTTP/2: END_STREAM
    # on HEADERS). RequestEnded follows at once either way.
    end_stream: bool
    # The client said `te: trailers`: http.response.trailers may be sent.
    trailers_accepted: bool


@dataclass(slots=True)
class RequestEnded:
    """The request body is complete, with its trailers if any."""

    stream_id: int
    trailers: Headers | None


Event = RequestReceived | BodyReceived | RequestEnded | StreamAborted | ConnectionEnded
