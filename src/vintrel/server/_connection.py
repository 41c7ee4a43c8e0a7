"""The methods every server connection offers its driver (sans-IO: bytes
in, events and bytes out, no sockets, no clocks, no tasks)."""

from __future__ import annotations

from typing import Protocol

from ._events import Event, Headers


class ServerConnection(Protocol):
    #: "1.1" or "2" (an HTTP/1.0 request is reported per request).
    http_version: str

    def receive(self, data: bytes) -> list[Event]:
        """Take received bytes; return the events they complete. Never
        raises on bad input: a protocol error queues its answer (400, 431,
        GOAWAY...) and ends with ConnectionEnded."""

    def receive_eof(self) -> list[Event]:
        """The peer closed its side: abort what is in flight, end."""

    def start_response(self, stream_id: int, status: int, headers: Headers, end_stream: bool = False) -> None:
        """Queue a response head (status 100-599; 1xx as informational).
        Headers are lowercase name/value byte pairs; connection-specific
        fields are dropped on HTTP/2, and the framing (content-length or
        chunked) is chosen from them on HTTP/1.1. A HEAD request, 204 and
        304 send no body whatever the application passes. Raises
        RuntimeError if the stream cannot take a response (already started,
        aborted, unknown)."""

    def send_body(self, stream_id: int, data: bytes, end_stream: bool = False) -> None:
        """Queue response body bytes (after start_response). On HTTP/2 they
        go out as the windows allow; ``pending(stream_id)`` tells what still
        waits, and the driver awaits a drain before queueing more."""

    def send_trailers(self, stream_id: int, trailers: Headers) -> None:
        """End the response with trailers (only if the request accepted
        them, else the body simply ends)."""

    def reset_stream(self, stream_id: int) -> None:
        """The application failed after the response started: abort the
        stream (RST_STREAM INTERNAL_ERROR; on HTTP/1.1 the connection ends).
        Before the response started the driver sends a 500 instead."""

    def continue_body(self, stream_id: int) -> None:
        """The application asks for the request body (its first receive()):
        on HTTP/1.1 a request that expects 100-continue gets
        ``HTTP/1.1 100 Continue`` now, unless a final response started or the
        body was already refused. Nothing on HTTP/2."""

    def body_consumed(self, stream_id: int, n: int) -> None:
        """The application took ``n`` body bytes: HTTP/2 returns that credit
        (WINDOW_UPDATE), HTTP/1.1 lets a paused connection read again."""

    def application_done(self, stream_id: int) -> None:
        """The application's task for the stream has ended, however it ended.
        A stream counts against the concurrency limit until then; a response
        left unfinished is aborted (reset_stream)."""

    def pending(self, stream_id: int) -> int:
        """Response bytes queued for the stream and not yet in
        ``data_to_send()`` (waiting for flow-control window); for stream 0,
        those of every stream together."""

    def take_events(self) -> list[Event]:
        """The events that calls other than receive() made ready: a
        pipelined HTTP/1.1 request parsed once the response before it is
        complete, ConnectionEnded after a last response, a shutdown or a
        reset_stream. receive() and receive_eof() return them too, first.
        The driver takes them after each answering call."""

    def data_to_send(self) -> bytes:
        """Everything ready to be written now (empty if nothing)."""

    def shutdown(self) -> None:
        """Begin a graceful close: HTTP/2 sends GOAWAY, HTTP/1.1 answers the
        request in flight with connection: close (or ends at once if idle).
        In-flight requests finish; ConnectionEnded follows when none is left."""

    @property
    def open_streams(self) -> int:
        """Requests started and not yet finished (response complete or
        aborted): a connection with none is idle."""

    @property
    def wants_read(self) -> bool:
        """False while the driver should stop reading: on HTTP/1.1, request
        body not yet taken past the stream buffer, or a pipelined request
        waiting behind the one in flight. (The driver also stops reading
        while its transport's write buffer is over the limit.)"""

    #: The connection ended while the peer may still be sending (a refused
    #: request): half-close and drain before closing, so the answer is not
    #: lost to a reset.
    linger: bool

    @property
    def ended(self) -> bool:
        """True once the connection has nothing more to do: write what
        ``data_to_send()`` returns, then close. Check it after every call
        (``shutdown`` and ``application_done`` can end a connection without
        an event; ``receive`` also reports ConnectionEnded)."""
