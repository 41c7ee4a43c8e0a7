"""The asyncio glue: one ``asyncio.Protocol`` per connection that picks the
protocol (ALPN over TLS, else the HTTP/2 preface or HTTP/1.1), feeds the
sans-IO connection, runs one ASGI task per request, and keeps the
connection's timers and back-pressure.

Timers without a timeout per read: one deadline per connection, computed
from its state (idle: keep-alive; a request head begun while idle: head
timeout, not extended by more bytes; writes paused, or response bytes held
back by the peer's flow-control window with none taken since: write timeout;
requests in flight: none), and one timer that moves only to an earlier time:
a deadline that moves later is read when the timer fires, which sets itself
again for what is left, so requests on a busy connection make no timers.
Back-pressure: the transport's write-buffer high-water mark pauses reading
(``pause_writing``), as does the connection itself (unread HTTP/1.1 body,
a pipelined request waiting); ``send`` waits for the stream's queue and the
transport to drain.
"""

from __future__ import annotations

import asyncio
import time
from typing import TYPE_CHECKING, Any, cast

from ._asgi import RequestCycle, access_logger, http_scope, logger
from ._events import BodyReceived, ConnectionEnded, Event, RequestEnded, RequestReceived, StreamAborted
from ._h1 import H1ServerConnection
from ._h2 import PREFACE, H2ServerConnection

if TYPE_CHECKING:
    from ._connection import ServerConnection
    from ._serve import ServerState


# Seconds a connection refused mid-request keeps draining the peer's bytes
# after its answer, before it closes.
LINGER = 2.0


class ServerProtocol(asyncio.Protocol):
    def __init__(self, state: ServerState) -> None:
        self.state = state
        self.loop = state.loop
        self.transport: asyncio.Transport | None = None
        self.conn: ServerConnection | None = None
        self.cycles: dict[int, RequestCycle] = {}
        self.tls = False
        self.client: Any = None
        self.server: Any = None
        self.sniffed = b""  # first bytes while the protocol is not known yet
        self.write_paused = False
        self.paused_at = 0.0
        # Since when response bytes wait for the peer's window and none went
        # out (0: none wait): a peer that grants no window stalls us as
        # surely as one that reads nothing.
        self.stalled_at = 0.0
        self.waiting = 0
        self.reading = True
        self.idle_at = 0.0
        self.head_at = 0.0  # first byte received while idle, 0 if none
        self.timer: asyncio.TimerHandle | None = None
        self.timer_at = 0.0  # when the timer fires (monotonic)
        self.deadline = 0.0  # when the connection's state says it ends, 0 if never
        self.drain_waiters: list[asyncio.Future[None]] = []
        self.flush_scheduled = False
        self.closed = False
        self.lingering: asyncio.TimerHandle | None = None
        # Applications waiting in receive() for body bytes, and when bytes
        # last arrived: a body that stops arriving ends at the body timeout.
        self.body_waits = 0
        self.received_at = 0.0

    # ---------------------------------------------------------- asyncio

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        # A stream transport, though not always a subclass of asyncio's:
        # uvloop's are not.
        self.transport = transport = cast(asyncio.Transport, transport)
        limits = self.state.limits
        transport.set_write_buffer_limits(high=limits.max_write_buffer)
        self.client = _address(transport.get_extra_info("peername"))
        self.server = _address(transport.get_extra_info("sockname"))
        ssl_object = transport.get_extra_info("ssl_object")
        self.tls = ssl_object is not None
        self.idle_at = time.monotonic()
        self.state.connections.add(self)
        if len(self.state.connections) > limits.max_connections:
            logger.warning("connection limit %d reached: refusing a connection", limits.max_connections)
            transport.write(b"HTTP/1.1 503 Service Unavailable\r\ncontent-length: 0\r\nconnection: close\r\n\r\n")
            transport.close()
            self.closed = True
            return
        if ssl_object is not None and ssl_object.selected_alpn_protocol() == "h2":
            self._start(H2ServerConnection(limits))
        self._arm()

    def data_received(self, data: bytes) -> None:
        if self.closed:
            return  # also what a lingering connection drains
        if self.conn is None:
            data = self.sniffed + data
            if len(data) < len(PREFACE) and PREFACE.startswith(data):
                self.sniffed = data  # maybe the HTTP/2 preface: wait for it whole
                self._note_bytes()
                return
            self.sniffed = b""
            limits = self.state.limits
            self._start(H2ServerConnection(limits) if data.startswith(PREFACE) else H1ServerConnection(limits))
        assert self.conn is not None
        if self.body_waits:
            self.received_at = time.monotonic()
        if self.conn.open_streams == 0:
            self._note_bytes()
        self._handle(self.conn.receive(data))
        self.flush()

    def eof_received(self) -> bool | None:
        if self.lingering is not None:
            return None  # the peer read our answer and closed: done
        if self.conn is not None and not self.conn.ended:
            self._handle(self.conn.receive_eof())
            self.flush()
        return None  # the transport closes itself

    def connection_lost(self, exc: Exception | None) -> None:
        self.closed = True
        if self.lingering is not None:
            self.lingering.cancel()
        self.state.connections.discard(self)
        if self.timer is not None:
            self.timer.cancel()
        if self.conn is not None and not self.conn.ended:
            self._handle(self.conn.receive_eof())
        for cycle in list(self.cycles.values()):
            cycle.on_abort()
        self._wake_drains()
        self.state.connection_closed()

    def pause_writing(self) -> None:
        self.write_paused = True
        self.paused_at = time.monotonic()
        self._reading()
        self._arm()

    def resume_writing(self) -> None:
        self.write_paused = False
        self._reading()
        self._wake_drains()
        self._arm()

    # ------------------------------------------------------------- glue

    def _start(self, conn: ServerConnection) -> None:
        self.conn = conn
        self.flush()

    def _note_bytes(self) -> None:
        if self.head_at == 0.0:
            self.head_at = time.monotonic()
            self._arm()

    def _handle(self, events: list[Event]) -> None:
        for ev in events:
            if isinstance(ev, BodyReceived):
                cycle = self.cycles.get(ev.stream_id)
                if cycle is not None:
                    cycle.on_body(ev.data)
            elif isinstance(ev, RequestReceived):
                self._request(ev)
            elif isinstance(ev, RequestEnded):
                cycle = self.cycles.get(ev.stream_id)
                if cycle is not None:
                    cycle.on_end()
            elif isinstance(ev, StreamAborted):
                cycle = self.cycles.get(ev.stream_id)
                if cycle is not None:
                    cycle.on_abort()
            elif isinstance(ev, ConnectionEnded):
                if ev.error_code:
                    logger.debug("connection from %s ended: %s", self.client, ev.reason)

    def _request(self, ev: RequestReceived) -> None:
        assert self.conn is not None
        self.head_at = 0.0
        state = self.state
        if state.limit_concurrency is not None and state.active >= state.limit_concurrency:
            body = b"Service Unavailable"
            self.conn.start_response(ev.stream_id, 503, [(b"content-type", b"text/plain; charset=utf-8"),
                                                         (b"content-length", str(len(body)).encode())])
            self.conn.send_body(ev.stream_id, body, True)
            self.conn.application_done(ev.stream_id)
            return
        scope = http_scope(ev, self.tls, self.client, self.server, state.root_path, state.lifespan_state)
        cycle = RequestCycle(self, ev, scope)
        self.cycles[ev.stream_id] = cycle
        state.active += 1
        cycle.task = self.loop.create_task(cycle.run(state.app))

    def request_done(self, cycle: RequestCycle) -> None:
        self.cycles.pop(cycle.sid, None)
        self.state.active -= 1
        if self.state.access_log:
            access_logger.info('%s - "%s %s HTTP/%s" %d', _client_text(self.client), cycle.method,
                               cycle.scope["path"], cycle.scope["http_version"], cycle.status)
        if not self.closed:
            self.flush_soon(0)

    def flush_soon(self, running: int) -> None:
        """Flush now, or, while more than ``running`` requests of the
        connection are running, once in the next turn of the loop: the
        answers of the streams that complete in one turn then go out in one
        write instead of one each."""
        if len(self.cycles) <= running:
            self.flush()
        elif not self.flush_scheduled:
            self.flush_scheduled = True
            self.loop.call_soon(self._scheduled_flush)

    def _scheduled_flush(self) -> None:
        self.flush_scheduled = False
        self.flush()

    def flush(self) -> None:
        """Write what the connection has ready; close once it has ended."""
        conn, transport = self.conn, self.transport
        if conn is None or transport is None or self.closed:
            return
        ready = conn.take_events()
        if ready:
            self._handle(ready)
        data = conn.data_to_send()
        if data and not transport.is_closing():  # a lost connection drops it (and warns)
            transport.write(data)
        if conn.ended:
            self.closed = True
            if conn.linger and transport.can_write_eof() and not transport.is_closing():
                # The peer may still be sending what we refused: half-close,
                # let it read our answer, and drop what it sends meanwhile;
                # a close with its bytes unread would reset the connection
                # and could destroy the answer in its receive buffer.
                transport.write_eof()
                self.lingering = self.loop.call_later(LINGER, transport.close)
            else:
                transport.close()
            for cycle in list(self.cycles.values()):
                cycle.on_abort()
            self._wake_drains()
            return
        waiting = conn.pending(0)
        if not waiting:
            self.stalled_at = 0.0
        elif waiting < self.waiting or not self.stalled_at:
            self.stalled_at = time.monotonic()  # bytes went out: the peer takes them
        self.waiting = waiting
        if conn.open_streams:
            if not self.idle_at and self.cycles and not self.stalled_at and not self.write_paused \
                    and not self.body_waits:
                # Requests in flight, nothing held back: no deadline, and
                # reading stays as it is unless the connection says stop.
                if self.reading != conn.wants_read:
                    self._reading()
                if self.drain_waiters:
                    self._wake_drains()
                self.deadline = 0.0
                return
            self.idle_at = 0.0
        elif not self.cycles and self.idle_at == 0.0:
            self.idle_at = time.monotonic()
        if self.drain_waiters:
            self._wake_drains()
        self._reading()
        self._arm()

    def shutdown(self) -> None:
        """Graceful close: no new requests, in-flight ones finish."""
        if self.closed or self.transport is None:
            return
        if self.conn is None:
            self.closed = True
            self.transport.close()
            return
        self.conn.shutdown()
        self.flush()

    def abort(self) -> None:
        if self.transport is not None:
            self.transport.abort()

    async def drained(self, cycle: RequestCycle) -> None:
        waiter = self.loop.create_future()
        self.drain_waiters.append(waiter)
        await waiter

    def _wake_drains(self) -> None:
        waiters, self.drain_waiters = self.drain_waiters, []
        for w in waiters:
            if not w.done():
                w.set_result(None)

    def _reading(self) -> None:
        transport = self.transport
        if transport is None or self.closed:
            return
        want = not self.write_paused and (self.conn is None or self.conn.wants_read)
        if want != self.reading:
            self.reading = want
            if want:
                transport.resume_reading()
            else:
                transport.pause_reading()

    # ----------------------------------------------------------- timers

    def _arm(self) -> None:
        if self.closed:
            return
        limits = self.state.limits
        if stalled := self._stalled_since():
            deadline = stalled + limits.write_timeout
        elif self.body_waits:
            deadline = self.received_at + limits.body_timeout
        elif self.cycles or (self.conn is not None and self.conn.open_streams):
            deadline = 0.0
        elif self.head_at:
            deadline = self.head_at + limits.head_timeout
        else:
            deadline = (self.idle_at or time.monotonic()) + limits.keep_alive_timeout
        self.deadline = deadline
        # The timer is moved only to an earlier time. A deadline that goes
        # away or moves later (each request does both) leaves it: when it
        # fires it reads the deadline then, and sets itself again for what
        # is left, so a busy connection makes no timer per request.
        if deadline and (self.timer is None or deadline < self.timer_at):
            if self.timer is not None:
                self.timer.cancel()
            self._set_timer(deadline, time.monotonic())

    def _set_timer(self, deadline: float, now: float) -> None:
        self.timer_at = deadline
        self.timer = self.loop.call_at(self.loop.time() + (deadline - now), self._expired)

    def body_wait_started(self) -> None:
        """An application began to wait for body bytes: the body timeout
        runs from the last bytes received, or from now."""
        if self.body_waits == 1:
            self.received_at = time.monotonic()
        self._arm()

    def _stalled_since(self) -> float:
        paused = self.paused_at if self.write_paused else 0.0
        stalled = self.stalled_at
        return min(paused, stalled) if paused and stalled else paused or stalled

    def _expired(self) -> None:
        self.timer = None
        if self.closed or self.transport is None or not self.deadline:
            return
        now = time.monotonic()
        if now < self.deadline:
            self._set_timer(self.deadline, now)
            return
        self.deadline = 0.0
        stalled = self._stalled_since()
        if stalled and now - stalled >= self.state.limits.write_timeout:
            logger.debug("write timeout: %s does not read", self.client)
            self.abort()
            return
        if self.body_waits and now - self.received_at >= self.state.limits.body_timeout:
            logger.debug("body timeout: %s sent no request body for %g s", self.client,
                         self.state.limits.body_timeout)
            self.abort()  # the waiting applications get http.disconnect
            return
        if self.conn is None or not (self.conn.open_streams or self.cycles):
            # Idle, or a head that did not complete in time.
            if self.conn is not None:
                self.conn.shutdown()
                data = self.conn.data_to_send()
                if data:
                    self.transport.write(data)
            self.closed = True
            self.transport.close()
            return
        self._arm()


def _address(value: Any) -> Any:
    if isinstance(value, tuple) and len(value) >= 2:
        return [str(value[0]), int(value[1])]
    return None


def _client_text(client: Any) -> str:
    return f"{client[0]}:{client[1]}" if client else "-"
