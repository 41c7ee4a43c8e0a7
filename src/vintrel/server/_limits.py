"""The server's limits, each with its default and what a peer gets for
passing it. Memory a connection can be made to hold is bounded by these."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(slots=True, frozen=True)
class Limits:
    # HTTP/1.1: a request head larger than this is answered 431 and the
    # connection closed. HTTP/2: the header-list size we announce and apply
    # in our first SETTINGS; a request whose header list reaches it is
    # answered 431.
    max_head_size: int = 65536
    # A request body past this (declared or received): 413 and close on
    # HTTP/1.1 if no response started, else the connection is closed;
    # HTTP/2 answers 413 if no response started, else RST_STREAM(CANCEL).
    max_body_size: int = 64 * 1024 * 1024
    # HTTP/2 concurrent streams we announce; a stream past it is refused
    # (RST_STREAM REFUSED_STREAM). Running applications count until they end.
    max_concurrent_streams: int = 100
    # Body bytes received but not yet taken by the application, per stream:
    # HTTP/2 announces this as its stream window (credit comes back as the
    # application reads); HTTP/1.1 stops reading past it.
    stream_buffer: int = 1024 * 1024
    # HTTP/2 connection window (all streams' unread bytes together).
    connection_buffer: int = 16 * 1024 * 1024
    # Bytes queued in the transport past which the driver stops reading
    # (a client that never reads cannot make us buffer its answers).
    max_write_buffer: int = 4 * 1024 * 1024
    # HTTP/2 frames that carry no request (PING, SETTINGS, PRIORITY,
    # RST_STREAM, empty DATA) more than this many in a row (HEADERS or DATA
    # with body bytes starts the count again): GOAWAY ENHANCE_YOUR_CALM.
    max_control_frames: int = 10000
    # HTTP/2 streams the peer resets before their response began (or that
    # we refused) past which, when they are also more than half of the
    # streams it opened, it gets GOAWAY ENHANCE_YOUR_CALM.
    max_rapid_resets: int = 1000
    # Seconds: a connection with no open request (idle), a head that does
    # not complete (slowloris), a peer that takes no bytes (write stall).
    keep_alive_timeout: float = 5.0
    head_timeout: float = 10.0
    write_timeout: float = 30.0
    # Seconds an application waiting for request body bytes may wait with
    # none arriving on the connection (a body trickled in, or stopped).
    body_timeout: float = 30.0
    # Connections served at once by one process: past it, new connections
    # get 503 (HTTP/1.1) or are closed at once.
    max_connections: int = 10000
    # Seconds a graceful shutdown waits for in-flight requests.
    shutdown_timeout: float = 30.0
