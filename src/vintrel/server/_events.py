"""What a server connection reports to its driver, for either protocol.

A connection object (``H1ServerConnection``, ``H2ServerConnection``) takes
received bytes and returns these events; the driver answers through the
connection's methods and writes what ``data_to_send()`` returns. Stream ids
are the HTTP/2 stream ids, or on HTTP/1.1 a per-connection count of
requests (1, 2, 3, ...), so a driver handles both protocols alike.
"""

from __future__ import annotations

from dataclasses import dataclass

Headers = list[tuple[bytes, bytes]]

# The error codes events carry: HTTP/2's numbers, on HTTP/1.1 too, so a
# driver reads both protocols alike.
NO_ERROR, PROTOCOL_ERROR, INTERNAL_ERROR, FLOW_CONTROL_ERROR = 0, 1, 2, 3
STREAM_CLOSED, REFUSED_STREAM, CANCEL, ENHANCE_YOUR_CALM = 5, 7, 8, 11


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
class BodyReceived:
    """Request body bytes; the driver reports them consumed when the
    application has taken them (``body_consumed``), which returns HTTP/2
    credit and lets a paused HTTP/1.1 connection read again."""

    stream_id: int
    data: bytes


@dataclass(slots=True)
class RequestEnded:
    """The request body is complete, with its trailers if any."""

    stream_id: int
    trailers: Headers | None


@dataclass(slots=True)
class StreamAborted:
    """The request can get no (further) response: the peer reset the stream,
    a limit refused it after it started (body too large: the connection has
    already queued its answer), or the connection failed. The application's
    task for it is cancelled; nothing more may be sent on it."""

    stream_id: int
    error_code: int
    reason: str


@dataclass(slots=True)
class ConnectionEnded:
    """No more events will come: after writing ``data_to_send()`` the driver
    closes the transport. ``error_code`` 0 is a clean end (peer closed,
    GOAWAY, connection: close, idle)."""

    error_code: int
    reason: str


Event = RequestReceived | BodyReceived | RequestEnded | StreamAborted | ConnectionEnded
