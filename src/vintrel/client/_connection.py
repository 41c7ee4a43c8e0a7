"""The methods every client connection offers its driver (sans-IO: bytes
in, events and bytes out, no sockets, no clocks, no tasks)."""

from __future__ import annotations

from typing import Protocol

from ._events import Event, Headers


class ClientConnection(Protocol):
    #: "1.1" or "2".
    http_version: str

    def start_request(
        self,
        method: str,
        target: str,
        headers: Headers,
        *,
        scheme: str = "https",
        authority: str | None = None,
        end_stream: bool = False,
    ) -> int:
        """Queue a request head; return its stream id. ``target`` is the
        path and query (origin form), an absolute URL (to a proxy over
        HTTP/1.1) or, for CONNECT, the authority. ``headers`` are
        name/value byte pairs (any case; sent lowercase on HTTP/2). On
        HTTP/2 ``authority`` becomes ``:authority`` and a ``host`` field is
        dropped; on HTTP/1.1 a missing ``host`` is added from
        ``authority``. Connection-specific fields are dropped on HTTP/2,
        and the request framing (content-length or chunked) comes from the
        fields on HTTP/1.1. Raises RuntimeError if ``can_start`` is False."""

    def send_body(self, stream_id: int, data: bytes, end_stream: bool = False) -> None:
        """Queue request body bytes. On HTTP/2 they go out as the windows
        allow; ``pending(stream_id)`` tells what still waits. Bytes for a
        stream whose response is already complete, or that was aborted,
        are dropped silently (an early answer such as 413 stops the upload
        without failing it)."""

    def send_trailers(self, stream_id: int, trailers: Headers) -> None:
        """End the request body with trailers."""

    def reset_stream(self, stream_id: int) -> None:
        """The caller gives up on the stream (cancelled, timed out, response
        abandoned): HTTP/2 sends RST_STREAM(CANCEL); HTTP/1.1 ends the
        connection unless the exchange is already complete. No event
        follows for the stream."""

    def body_consumed(self, stream_id: int, n: int) -> None:
        """The caller took ``n`` response body bytes: HTTP/2 returns that
        credit (WINDOW_UPDATE); HTTP/1.1 lets a paused connection read."""

    def stream_done(self, stream_id: int) -> None:
        """The caller is finished with the stream (response ended and read,
        or abandoned after reset_stream): it stops counting against the
        concurrency limit, and an HTTP/1.1 connection may take the next
        request."""

    def receive(self, data: bytes) -> list[Event]:
        """Take received bytes; return the events they complete. Never
        raises on bad input: a protocol error aborts the streams in flight
        and ends with ConnectionEnded."""

    def receive_eof(self) -> list[Event]:
        """The peer closed its side: what is in flight is aborted (an
        HTTP/1.1 response delimited by the close ends normally), end."""

    def take_events(self) -> list[Event]:
        """Events that calls other than receive() made ready."""

    def data_to_send(self) -> bytes:
        """Everything ready to be written now (empty if nothing)."""

    def pending(self, stream_id: int) -> int:
        """Request body bytes queued for the stream and not yet in
        ``data_to_send()`` (waiting for flow-control window)."""

    def close(self) -> None:
        """Begin closing: HTTP/2 sends GOAWAY(NO_ERROR); no new requests
        start; ConnectionEnded follows once no stream is open (at once if
        none is)."""

    @property
    def can_start(self) -> bool:
        """A new request may start now: not ended, not going away, no
        response in flight on HTTP/1.1, under the peer's concurrent-stream
        limit on HTTP/2."""

    @property
    def reusable(self) -> bool:
        """False once the connection will never take another request
        (ended, going away, HTTP/1.1 ``connection: close`` or an exchange
        cut short): the pool drops it when its streams are done."""

    @property
    def max_streams(self) -> int:
        """Requests that may be open at once: 1 on HTTP/1.1, the peer's
        SETTINGS_MAX_CONCURRENT_STREAMS on HTTP/2."""

    @property
    def open_streams(self) -> int:
        """Streams started and not yet done (stream_done or aborted)."""

    @property
    def wants_read(self) -> bool:
        """False while the driver should stop reading (response body not
        yet taken past the stream buffer on HTTP/1.1)."""

    @property
    def ended(self) -> bool:
        """True once the connection has nothing more to do: write what
        ``data_to_send()`` returns, then close."""
