"""The asyncio glue of one client connection: an ``asyncio.Protocol`` that
feeds the sans-IO client connection (HTTP/1.1 or HTTP/2, chosen when the
connection is made: ALPN over TLS, else prior knowledge or HTTP/1.1), and
one ``Channel`` per request through which the caller awaits the response.

No timer runs per read: a wait that has a time limit arms one call_later
on its own future, which the next event cancels. A read or write that times
out, and a cancelled request, abandon their stream (HTTP/2: RST_STREAM;
HTTP/1.1: the connection is aborted), never waiting for a TLS shutdown.
"""

from __future__ import annotations

import asyncio
from collections import deque
from collections.abc import Callable
from typing import TYPE_CHECKING, cast

from .._sansio.events import NO_ERROR
from ._errors import ClientError, ConnectionClosed, ProtocolError, ReadTimeout, StreamReset, WriteTimeout
from ._events import (
    BodyReceived,
    ConnectionEnded,
    Event,
    Headers,
    ResponseEnded,
    ResponseReceived,
    StreamAborted,
)
from ._h1 import H1ClientConnection
from ._h2 import H2ClientConnection

if TYPE_CHECKING:
    from ._connection import ClientConnection

# Request body bytes left queued in the connection (waiting for HTTP/2
# window) past which a sender waits for them to drain.
SEND_QUEUE = 256 * 1024


class Retry(ClientError):
    """A request the server provably did not process (refused, above a
    GOAWAY's last stream, or a reused connection closed before any byte of
    the response): it may be sent again on another connection."""


def _wake(fut: asyncio.Future[None] | None) -> None:
    if fut is not None and not fut.done():
        fut.set_result(None)


class Channel:
    """One request's stream as its caller sees it."""

    __slots__ = ("proto", "sid", "head", "chunks", "ended", "trailers", "error", "waiter", "done",
                 "deadline")

    def __init__(self, proto: ClientProtocol, sid: int) -> None:
        self.proto = proto
        self.sid = sid
        self.head: ResponseReceived | None = None
        self.chunks: deque[bytes] = deque()
        self.ended = False
        self.trailers: Headers | None = None
        # Why the stream failed: ours, or the caller's body iterable's own.
        self.error: Exception | None = None
        self.waiter: asyncio.Future[None] | None = None
        self.done = False  # released to the connection (stream_done)
        self.deadline = 0.0  # when the current wait times out (0: no limit)

    async def wait(self, timeout: float | None) -> None:
        """Wait for the next event of the stream (or its failure)."""
        proto = self.proto
        self.waiter = fut = proto.loop.create_future()
        if timeout is not None:
            self.deadline = deadline = proto.loop.time() + timeout
            if proto.timer is None or deadline < proto.timer_at:
                proto.arm(deadline)
        try:
            await fut
        finally:
            self.waiter = None
            self.deadline = 0.0

    def take_all(self) -> bytes:
        """Every piece received and not yet taken, as one."""
        chunks = self.chunks
        data = chunks.popleft() if len(chunks) == 1 else b"".join(chunks)
        chunks.clear()
        self.proto.consumed(self, len(data))
        return data

    async def next_chunk(self, timeout: float | None) -> bytes | None:
        """The next piece of the body, or None at its end."""
        while True:
            if self.chunks:
                data = self.chunks.popleft()
                self.proto.consumed(self, len(data))
                return data
            if self.ended:
                return None
            if self.error is not None:
                raise self.error
            await self.wait(timeout)


def _expire(fut: asyncio.Future[None] | None, kind: type[ClientError], message: str) -> None:
    if fut is not None and not fut.done():
        fut.set_exception(kind(message))


class ClientProtocol(asyncio.Protocol):
    """One connection of the pool."""

    def __init__(
        self,
        loop: asyncio.AbstractEventLoop,
        *,
        prior_knowledge: bool,
        on_release: Callable[[ClientProtocol], None],
        max_head_size: int = 65536,
        stream_buffer: int = 1024 * 1024,
    ) -> None:
        self.loop = loop
        self.prior_knowledge = prior_knowledge
        self.on_release = on_release
        self.max_head_size = max_head_size
        self.stream_buffer = stream_buffer
        self.transport: asyncio.Transport | None = None
        self.conn: ClientConnection | None = None
        self.h2 = False
        self.channels: dict[int, Channel] = {}
        self.closed = False
        self.write_paused = False
        self.reading = True
        self.drain_waiters: list[asyncio.Future[None]] = []
        self.flush_scheduled = False
        self.made: asyncio.Future[None] = loop.create_future()
        self.lost: asyncio.Future[None] = loop.create_future()
        self.idle_since = loop.time()
        # One timer for the read limits of every channel: it fires at the
        # earliest deadline it was armed for, expires what is due and sets
        # itself for the next, so a wait that ends in time costs no timer.
        self.timer: asyncio.TimerHandle | None = None
        self.timer_at = 0.0

    # ---------------------------------------------------------- asyncio

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport = cast(asyncio.Transport, transport)
        ssl_object = transport.get_extra_info("ssl_object")
        h2 = self.prior_knowledge if ssl_object is None else ssl_object.selected_alpn_protocol() == "h2"
        self.h2 = h2
        if h2:
            self.conn = H2ClientConnection(max_head_size=self.max_head_size, stream_buffer=self.stream_buffer)
        else:
            self.conn = H1ClientConnection(max_head_size=self.max_head_size, stream_buffer=self.stream_buffer)
        self.flush()
        if not h2:
            _wake(self.made)  # an HTTP/2 connection is made once the server's SETTINGS came

    def data_received(self, data: bytes) -> None:
        conn = self.conn
        if conn is None or self.closed:
            return
        self._handle(conn.receive(data))
        self.flush()
        if not self.made.done() and self.h2 and cast(H2ClientConnection, conn).settled:
            # Its concurrent-stream limit is known: requests may start
            # without being refused for passing it.
            _wake(self.made)
        if self.drain_waiters:
            self._wake_drains()  # window updates may have moved queued body bytes
        if self.reading and not conn.wants_read:
            self.reading = False
            cast(asyncio.Transport, self.transport).pause_reading()

    def eof_received(self) -> bool | None:
        if self.conn is not None and not self.conn.ended:
            self._handle(self.conn.receive_eof())
        return None  # the transport closes itself

    def connection_lost(self, exc: Exception | None) -> None:
        self.closed = True
        if self.timer is not None:
            self.timer.cancel()
        if self.conn is not None and not self.conn.ended:
            self._handle(self.conn.receive_eof())
        for channel in self.channels.values():
            if not channel.ended and channel.error is None:
                channel.error = ConnectionClosed("connection closed before the response was complete")
            _wake(channel.waiter)
        self._wake_drains()
        if not self.made.done():
            self.made.set_exception(ConnectionClosed("connection closed while it was being made"))
        _wake(self.lost)
        self.on_release(self)

    def arm(self, when: float) -> None:
        if self.timer is not None:
            self.timer.cancel()
        self.timer = self.loop.call_at(when, self._deadlines)
        self.timer_at = when

    def _deadlines(self) -> None:
        self.timer = None
        now = self.loop.time()
        first = 0.0
        for channel in self.channels.values():
            deadline = channel.deadline
            if not deadline:
                continue
            if deadline <= now:
                _expire(channel.waiter, ReadTimeout, "no response within the read timeout")
            elif not first or deadline < first:
                first = deadline
        if first:
            self.arm(first)

    def pause_writing(self) -> None:
        self.write_paused = True

    def resume_writing(self) -> None:
        self.write_paused = False
        self._wake_drains()

    # ------------------------------------------------------------ state

    @property
    def http_version(self) -> str:
        return "2" if self.h2 else "1.1"

    @property
    def can_start(self) -> bool:
        return not self.closed and self.conn is not None and self.conn.can_start

    @property
    def usable(self) -> bool:
        """The pool may keep it: open and able to take requests later."""
        return not self.closed and self.conn is not None and self.conn.reusable

    @property
    def idle(self) -> bool:
        return not self.channels

    def close(self, now: bool = False) -> None:
        """Close when the streams in flight are done, or ``now`` (HTTP/2:
        GOAWAY first either way)."""
        if self.closed or self.conn is None:
            return
        self.conn.close()
        self.flush()
        if (now or not self.channels) and not self.closed:
            self.closed = True
            self._end_transport(graceful=True)

    def _end_transport(self, graceful: bool) -> None:
        """Close the transport; over TLS, or after an exchange cut short, at
        once: a TLS close would wait for the server's close_notify, which
        some servers send only at their idle timeout."""
        transport = cast(asyncio.Transport, self.transport)
        if graceful and transport.get_extra_info("ssl_object") is None:
            transport.close()
        else:
            transport.abort()

    # ----------------------------------------------------------- events

    def _handle(self, events: list[Event]) -> None:
        # Informational heads need nothing: no request waits for a 100.
        channels = self.channels
        for ev in events:
            kind = type(ev)
            if kind is BodyReceived:
                channel = channels.get(ev.stream_id)  # type: ignore[union-attr]
                if channel is not None:
                    channel.chunks.append(ev.data)  # type: ignore[union-attr]
                    _wake(channel.waiter)
            elif kind is ResponseReceived:
                channel = channels.get(ev.stream_id)  # type: ignore[union-attr]
                if channel is not None:
                    channel.head = cast(ResponseReceived, ev)
                    _wake(channel.waiter)
            elif kind is ResponseEnded:
                channel = channels.get(ev.stream_id)  # type: ignore[union-attr]
                if channel is not None:
                    channel.ended = True
                    channel.trailers = ev.trailers  # type: ignore[union-attr]
                    _wake(channel.waiter)
                    self._wake_drains()
            elif kind is StreamAborted:
                ev = cast(StreamAborted, ev)
                channel = channels.get(ev.stream_id)
                if channel is not None and channel.error is None:
                    if ev.retryable and channel.head is None:
                        channel.error = Retry(ev.reason)
                    elif ev.error_code == NO_ERROR:
                        channel.error = ConnectionClosed(ev.reason)
                    else:
                        channel.error = StreamReset(f"{ev.reason} (error code {ev.error_code})", ev.error_code)
                    _wake(channel.waiter)
                    self._wake_drains()
            elif kind is ConnectionEnded:
                ev = cast(ConnectionEnded, ev)
                for channel in channels.values():
                    if not channel.ended and channel.error is None:
                        channel.error = (ProtocolError(ev.reason) if ev.error_code
                                         else ConnectionClosed(ev.reason))
                        _wake(channel.waiter)

    # ------------------------------------------------------------ write

    def flush(self) -> None:
        self.flush_scheduled = False
        conn = self.conn
        if conn is None or self.closed:
            return
        out = conn.data_to_send()
        transport = cast(asyncio.Transport, self.transport)
        if out:
            transport.write(out)
        if conn.ended:
            self.closed = True
            self._end_transport(graceful=True)

    def flush_soon(self) -> None:
        """Write in the next turn of the loop: the requests that start in
        one turn on an HTTP/2 connection go out in one write."""
        if not self.flush_scheduled:
            self.flush_scheduled = True
            self.loop.call_soon(self.flush)

    async def drained(self, channel: Channel, timeout: float | None) -> None:
        """Wait until the stream's queued body is under SEND_QUEUE and the
        transport takes writes (or the stream no longer needs its body)."""
        conn = cast("ClientConnection", self.conn)
        while (self.write_paused or conn.pending(channel.sid) > SEND_QUEUE) and not self.closed:
            if channel.error is not None:
                raise channel.error
            if channel.ended:
                return
            fut = self.loop.create_future()
            self.drain_waiters.append(fut)
            handle = None
            if timeout is not None:
                handle = self.loop.call_later(timeout, _expire, fut, WriteTimeout,
                                              "the server took no request body within the write timeout")
            try:
                await fut
            finally:
                if handle is not None:
                    handle.cancel()
        if self.closed and channel.error is None and not channel.ended:
            channel.error = ConnectionClosed("connection closed while the request was being sent")
        if channel.error is not None:
            raise channel.error

    def _wake_drains(self) -> None:
        waiters, self.drain_waiters = self.drain_waiters, []
        for fut in waiters:
            _wake(fut)

    # ---------------------------------------------------------- streams

    def start(self, method: str, target: str, headers: Headers, *, scheme: str, authority: str,
              end_stream: bool) -> Channel:
        conn = cast("ClientConnection", self.conn)
        sid = conn.start_request(method, target, headers, scheme=scheme, authority=authority, end_stream=end_stream)
        channel = Channel(self, sid)
        self.channels[sid] = channel
        if len(self.channels) > 1:
            self.flush_soon()
        else:
            self.flush()
        return channel

    def send(self, channel: Channel, data: bytes, end_stream: bool) -> None:
        if self.closed or channel.done:
            return
        cast("ClientConnection", self.conn).send_body(channel.sid, data, end_stream)
        self.flush()

    def send_trailers(self, channel: Channel, trailers: Headers) -> None:
        if self.closed or channel.done:
            return
        cast("ClientConnection", self.conn).send_trailers(channel.sid, trailers)
        self.flush()

    def consumed(self, channel: Channel, n: int) -> None:
        conn = self.conn
        if conn is None or self.closed or channel.done:
            return
        conn.body_consumed(channel.sid, n)
        if not self.reading and conn.wants_read:
            self.reading = True
            cast(asyncio.Transport, self.transport).resume_reading()
        if self.h2:
            self.flush()  # credit going back (WINDOW_UPDATE), if any is due

    def finish(self, channel: Channel) -> None:
        """The caller is done with the stream: a stream whose response did
        not complete is abandoned (reset) first."""
        if channel.done:
            return
        channel.done = True
        self.channels.pop(channel.sid, None)
        conn = self.conn
        if conn is not None and not self.closed:
            if not channel.ended or channel.error is not None:
                conn.reset_stream(channel.sid)
            conn.stream_done(channel.sid)
            if self.h2 or conn.ended:
                self.flush()  # a reset, credit or the end
            if not conn.reusable and not self.channels and not self.closed:
                # Nothing more will run on it. An exchange cut short is
                # aborted at once, never kept waiting for a TLS shutdown.
                self.closed = True
                self._end_transport(graceful=channel.ended and channel.error is None)
        if not self.channels:
            self.idle_since = self.loop.time()
        self.on_release(self)
