"""The events both roles' connections report, and the error codes they
carry.

Stream ids are the HTTP/2 stream ids, or on HTTP/1.1 a per-connection count
of requests (1, 2, 3, ...), so a driver handles both protocols alike.
"""

from __future__ import annotations

from dataclasses import dataclass

Headers = list[tuple[bytes, bytes]]

# The error codes events carry: HTTP/2's numbers, on HTTP/1.1 too, so a
# driver reads both protocols alike.
NO_ERROR, PROTOCOL_ERROR, INTERNAL_ERROR, FLOW_CONTROL_ERROR = 0, 1, 2, 3
STREAM_CLOSED, REFUSED_STREAM, CANCEL, ENHANCE_YOUR_CALM = 5, 7, 8, 11


@dataclass(slots=True)
class BodyReceived:
    """Body bytes (a server's request body, a client's response body); the
    driver reports them consumed when the application has taken them
    (``body_consumed``), which returns HTTP/2 credit and lets a paused
    HTTP/1.1 connection read again."""

    stream_id: int
    data: bytes


@dataclass(slots=True)
class StreamAborted:
    """The stream can go no further: the peer reset it, a limit refused it
    after it started, or the connection failed or closed. On a server the
    application's task is cancelled and nothing more may be sent on it."""

    stream_id: int
    error_code: int
    reason: str
    # The peer provably did not process the request, so a client may send
    # it again on another connection: refused (REFUSED_STREAM), above a
    # GOAWAY's last stream id, or, on HTTP/1.1, a reused connection closed
    # before any byte of the response (the peer closed it as idle).
    retryable: bool = False


@dataclass(slots=True)
class ConnectionEnded:
    """No more events will come: after writing ``data_to_send()`` the driver
    closes the transport. ``error_code`` 0 is a clean end (peer closed,
    GOAWAY, connection: close, idle)."""

    error_code: int
    reason: str
