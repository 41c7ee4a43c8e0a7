"""An asyncio HTTP/2 client on H2Codec, H2StreamState and H2FlowControl.

:class:`H2Connection` (either role; ``H2Client`` uses the client one, and
servers are ``vintrel.server``'s) owns the socket, the codec,
the connection windows and one :class:`_Stream` (state machine plus send
and receive windows) per stream. Recipes these drivers follow:

* A raised receive limit (``set_max_recv_frame_size``,
  ``set_max_header_list_size``) is applied when it is announced, not on the
  peer's acknowledgement: ``receive`` drops the events of a read that
  raises, so an ACK arriving with the first frame using the new limit
  would be lost.
* The server checks and strips the client preface itself; the client
  writes it before its SETTINGS.
* Trailers: ``recv_open`` refuses a second HEADERS, so a HEADERS frame on a
  stream that ``is_recv_streaming()`` is taken as trailers and ends the
  stream with ``recv_close()``; after sending ``serialize_trailers`` the
  driver calls ``send_close()``.
* Received DATA is charged to the stream and connection receive windows
  with ``send_data(flow_controlled_len)``; consumed bytes are given back
  with ``assign_capacity`` and a WINDOW_UPDATE goes out whenever
  ``unclaimed_capacity()`` returns an increment (then ``inc_window``).
* Sending waits for send window (``window_size()``) on both the stream and
  the connection, charging it with ``send_data``: that is the back-pressure.
* ``H2FrameStreamError`` events and ``H2StreamError`` from the state
  machine answer with RST_STREAM; ``H2ProtocolError`` and
  ``H2FlowControlError`` close the connection with GOAWAY carrying their
  reason.
"""

from __future__ import annotations

import asyncio
import ssl as _ssl
from typing import Any

from .._vintrel import (
    H2Codec,
    H2FlowControl,
    H2FlowControlError,
    H2FrameData,
    H2FrameGoAway,
    H2FrameHeaders,
    H2FramePing,
    H2FrameRstStream,
    H2FrameSettings,
    H2FrameStreamError,
    H2FrameWindowUpdate,
    H2ProtocolError,
    H2StreamError,
    H2StreamState,
    HeaderMap,
    ProxyIntercept,
)
from ._types import MAX_BODY, Handler, Request, Response, close_writer, read_some
from .proxy import open_stream

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
DEFAULT_WINDOW = 65535
# What we announce: a 1 MiB stream window and a 16 MiB connection window
# keep bulk transfers off the WINDOW_UPDATE round trip.
LOCAL_STREAM_WINDOW = 1 << 20
LOCAL_CONN_WINDOW = 1 << 24
LOCAL_MAX_STREAMS = 128
NO_ERROR, PROTOCOL_ERROR, INTERNAL_ERROR, FLOW_CONTROL_ERROR = 0, 1, 2, 3
REFUSED_STREAM, CANCEL, ENHANCE_YOUR_CALM = 7, 8, 11


class StreamReset(Exception):
    """The stream was reset (by the peer or by us) or the connection ended."""


class _Stream:
    __slots__ = ("sid", "state", "send", "recv", "head", "body", "size", "trailers", "done", "writable")

    def __init__(self, sid: int, send_window: int, recv_window: int) -> None:
        self.sid = sid
        self.state = H2StreamState()
        self.send = H2FlowControl()
        self.send.inc_window(send_window)
        self.recv = H2FlowControl()
        self.recv.inc_window(recv_window)
        self.recv.assign_capacity(recv_window)
        self.head: H2FrameHeaders | None = None
        self.body: list[bytes] = []
        self.size = 0
        self.trailers: HeaderMap | None = None
        self.done: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self.writable = asyncio.Event()


class H2Connection:
    """One HTTP/2 connection (either role) over asyncio streams."""

    def __init__(
        self,
        reader: asyncio.StreamReader,
        writer: asyncio.StreamWriter,
        role: str,
        *,
        handler: Handler | None = None,
        timeout: float | None = 30.0,
    ) -> None:
        self.reader = reader
        self.writer = writer
        self.role = role
        self.codec = H2Codec(role)
        self.handler = handler
        self.timeout = timeout
        self.streams: dict[int, _Stream] = {}
        self.conn_send = H2FlowControl()
        self.conn_send.inc_window(DEFAULT_WINDOW)
        self.conn_recv = H2FlowControl()
        self.conn_recv.inc_window(LOCAL_CONN_WINDOW)
        self.conn_recv.assign_capacity(LOCAL_CONN_WINDOW)
        self.peer_initial_window = DEFAULT_WINDOW
        self.peer_max_frame = 16384
        self.peer_max_streams = 100
        self.next_stream_id = 1
        self.last_peer_stream = 0
        self.closed: BaseException | None = None
        self.writable = asyncio.Event()
        self.settings_acked = asyncio.Event()
        self.tasks: set[asyncio.Task[Any]] = set()
        self.error: BaseException | None = None
        # Bodies are held whole: a stream whose body outgrows this is reset.
        self.max_body = MAX_BODY

    # -------------------------------------------------------- start / stop

    def start(self) -> None:
        """Send our preface (client) and SETTINGS, applying our limits now."""
        self.codec.set_max_recv_frame_size(16384)
        out = [PREFACE] if self.role == "client" else []
        out.append(
            self.codec.serialize_settings(
                enable_push=False if self.role == "client" else None,
                max_concurrent_streams=LOCAL_MAX_STREAMS,
                initial_window_size=LOCAL_STREAM_WINDOW,
            )
        )
        out.append(self.codec.serialize_window_update(0, LOCAL_CONN_WINDOW - DEFAULT_WINDOW))
        self.writer.write(b"".join(out))

    async def run(self, initial: bytes = b"") -> None:
        """Read and dispatch frames until the connection ends."""
        try:
            if self.role == "server":
                rest = await self._strip_preface(initial)
                if rest is None:
                    return
                initial = rest
                self.start()
            if initial:
                self._receive(initial)
            while self.closed is None:
                data = await read_some(self.reader, None if self.role == "client" else self.timeout)
                if not data:
                    break
                # No drain here: the reader must keep reading while senders
                # wait for the transport, or two peers that both fill their
                # socket buffers would wait on each other forever. What the
                # reader itself writes (acks, WINDOW_UPDATE, RST) is small.
                self._receive(data)
        except (H2ProtocolError, H2FlowControlError) as exc:
            self.error = exc
            reason = exc.args[0] if exc.args and isinstance(exc.args[0], int) else PROTOCOL_ERROR
            self.go_away(reason, str(exc.args[-1]).encode()[:200])
        except TimeoutError as exc:
            self.error = exc
            self.go_away(NO_ERROR, b"idle")
        except (ConnectionError, OSError) as exc:
            self.error = exc
        finally:
            self._shutdown(self.error or ConnectionError("connection closed"))
            # No wait for the close: a server shutting down cancels this task.
            self.writer.close()

    async def _strip_preface(self, data: bytes) -> bytes | None:
        while len(data) < len(PREFACE):
            if not PREFACE.startswith(data):
                break
            more = await read_some(self.reader, self.timeout)
            if not more:
                return None
            data += more
        if not data.startswith(PREFACE):
            self.error = H2ProtocolError(PROTOCOL_ERROR, "invalid client preface")
            self.writer.write(self.codec.serialize_go_away(0, PROTOCOL_ERROR, b"invalid preface"))
            return None
        return data[len(PREFACE) :]

    def go_away(self, reason: int, debug: bytes = b"") -> None:
        if self.closed is None and not self.writer.is_closing():
            self.writer.write(self.codec.serialize_go_away(self.last_peer_stream, reason, debug or None))
        self.closed = self.closed or ConnectionError(f"GOAWAY sent ({reason})")

    def _shutdown(self, exc: BaseException) -> None:
        self.closed = self.closed or exc
        for stream in self.streams.values():
            if not stream.state.is_closed():
                stream.state.recv_eof()
            if not stream.done.done():
                stream.done.set_exception(StreamReset(str(exc)))
            stream.writable.set()
        self.writable.set()

    # ------------------------------------------------------------ receive

    def _receive(self, data: bytes) -> None:
        for ev in self.codec.receive(data):
            if isinstance(ev, H2FrameData):
                self._on_data(ev)
            elif isinstance(ev, H2FrameHeaders):
                self._on_headers(ev)
            elif isinstance(ev, H2FrameSettings):
                self._on_settings(ev)
            elif isinstance(ev, H2FrameWindowUpdate):
                self._on_window_update(ev)
            elif isinstance(ev, H2FramePing):
                if not ev.ack:
                    self.writer.write(self.codec.serialize_ping_ack(ev.data))
            elif isinstance(ev, H2FrameRstStream):
                stream = self.streams.pop(ev.stream_id, None)
                if stream is not None:
                    stream.state.recv_reset(ev.stream_id, ev.error_code, False)
                    self._fail(stream, StreamReset(f"stream reset by peer ({ev.error_code})"))
            elif isinstance(ev, H2FrameStreamError):
                self.reset(ev.stream_id, ev.error_code)
            elif isinstance(ev, H2FrameGoAway):
                self._on_go_away(ev)
            # PRIORITY frames carry nothing we act on.

    def _on_headers(self, ev: H2FrameHeaders) -> None:
        sid = ev.stream_id
        stream = self.streams.get(sid)
        if stream is None:
            if self.role == "server" and sid % 2 == 0:
                raise H2ProtocolError(PROTOCOL_ERROR, "client opened an even stream")
            if self.role == "client" or sid <= self.last_peer_stream:
                # A stream we no longer track (reset or finished): the
                # codec already decoded the block, so HPACK stays in step.
                if self.role == "server":
                    raise H2ProtocolError(PROTOCOL_ERROR, "HEADERS on a closed stream")
                return
            self.last_peer_stream = sid
            if len(self.streams) >= LOCAL_MAX_STREAMS:
                self.writer.write(self.codec.serialize_rst_stream(sid, REFUSED_STREAM))
                return
            stream = _Stream(sid, self.peer_initial_window, LOCAL_STREAM_WINDOW)
            self.streams[sid] = stream
        try:
            if stream.state.is_recv_streaming():
                # A second HEADERS is the trailer block.
                if not ev.end_stream:
                    raise H2StreamError(sid, PROTOCOL_ERROR, "library")
                stream.trailers = ev.headers
                stream.state.recv_close()
            else:
                informational = ev.status is not None and 100 <= ev.status < 200
                stream.state.recv_open(ev.end_stream, informational)
                if informational:
                    return
                stream.head = ev
        except H2StreamError as exc:
            self.reset(sid, exc.args[1])
            return
        if ev.end_stream:
            self._finish_recv(stream)

    def _on_data(self, ev: H2FrameData) -> None:
        n = ev.flow_controlled_len
        self.conn_recv.send_data(n)
        self.conn_recv.assign_capacity(n)
        stream = self.streams.get(ev.stream_id)
        if stream is None or not stream.state.is_recv_streaming():
            if stream is not None or ev.stream_id > max(self.last_peer_stream, self.next_stream_id - 2):
                self.reset(ev.stream_id, 5)  # STREAM_CLOSED
            self._replenish(None)
            return
        try:
            stream.recv.send_data(n)
        except H2FlowControlError:
            self.reset(ev.stream_id, FLOW_CONTROL_ERROR)
            self._replenish(None)
            return
        # The body is consumed as it arrives, so its capacity comes back at once.
        stream.recv.assign_capacity(n)
        stream.size += len(ev.data)
        if stream.size > self.max_body:
            self.reset(ev.stream_id, ENHANCE_YOUR_CALM)
            self._replenish(None)
            return
        stream.body.append(ev.data)
        if ev.end_stream:
            stream.state.recv_close()
            self._finish_recv(stream)
            self._replenish(None)
        else:
            self._replenish(stream)

    def _replenish(self, stream: _Stream | None) -> None:
        out = []
        inc = self.conn_recv.unclaimed_capacity()
        if inc:
            self.conn_recv.inc_window(inc)
            out.append(self.codec.serialize_window_update(0, inc))
        if stream is not None:
            inc = stream.recv.unclaimed_capacity()
            if inc:
                stream.recv.inc_window(inc)
                out.append(self.codec.serialize_window_update(stream.sid, inc))
        if out:
            self.writer.write(b"".join(out))

    def _on_settings(self, ev: H2FrameSettings) -> None:
        if ev.ack:
            self.settings_acked.set()
            return
        if ev.header_table_size is not None:
            self.codec.set_send_header_table_size(ev.header_table_size)
        if ev.max_frame_size is not None:
            self.codec.set_send_max_frame_size(ev.max_frame_size)
            self.peer_max_frame = ev.max_frame_size
        if ev.max_concurrent_streams is not None:
            self.peer_max_streams = ev.max_concurrent_streams
        if ev.initial_window_size is not None:
            delta = ev.initial_window_size - self.peer_initial_window
            self.peer_initial_window = ev.initial_window_size
            for stream in self.streams.values():
                if delta >= 0:
                    stream.send.inc_window(delta)
                else:
                    stream.send.dec_send_window(-delta)
                stream.writable.set()
        self.writer.write(self.codec.serialize_settings_ack())

    def _on_window_update(self, ev: H2FrameWindowUpdate) -> None:
        if ev.stream_id == 0:
            self.conn_send.inc_window(ev.increment)
            for stream in self.streams.values():
                stream.writable.set()
            return
        target = self.streams.get(ev.stream_id)
        if target is None:
            return
        try:
            target.send.inc_window(ev.increment)
        except H2FlowControlError:
            self.reset(ev.stream_id, FLOW_CONTROL_ERROR)
            return
        target.writable.set()

    def _on_go_away(self, ev: H2FrameGoAway) -> None:
        exc = StreamReset(f"GOAWAY received ({ev.error_code})")
        for sid, stream in list(self.streams.items()):
            if sid > ev.last_stream_id and (sid % 2 == 1) == (self.role == "client"):
                self._fail(stream, exc)
        if ev.error_code:
            self.closed = exc

    def reset(self, sid: int, reason: int) -> None:
        """Send RST_STREAM and drop the stream."""
        self.writer.write(self.codec.serialize_rst_stream(sid, reason))
        stream = self.streams.pop(sid, None)
        if stream is not None:
            stream.state.set_reset(sid, reason, "library")
            self._fail(stream, StreamReset(f"stream reset ({reason})"))

    def _fail(self, stream: _Stream, exc: BaseException) -> None:
        self.streams.pop(stream.sid, None)
        if not stream.done.done():
            stream.done.set_exception(exc)
        stream.writable.set()

    def _finish_recv(self, stream: _Stream) -> None:
        if not stream.done.done():
            stream.done.set_result(None)
        if self.role == "server" and self.handler is not None:
            task = asyncio.get_running_loop().create_task(self._respond(stream))
            self.tasks.add(task)
            task.add_done_callback(self.tasks.discard)
        elif stream.state.is_closed():
            self.streams.pop(stream.sid, None)

    # -------------------------------------------------------------- send

    async def send_message(
        self,
        stream: _Stream,
        headers_frame: bytes,
        body: bytes,
        trailers: HeaderMap | None,
    ) -> None:
        """Write a head (already serialized), the body within the windows, and trailers."""
        end_on_head = not body and trailers is None
        stream.state.send_open(end_on_head)
        self.writer.write(headers_frame)
        view = memoryview(body)
        while view and self.closed is None:
            n = min(len(view), stream.send.window_size(), self.conn_send.window_size(), self.peer_max_frame)
            if n <= 0:
                stream.writable.clear()
                await self.writer.drain()
                await stream.writable.wait()
                if stream.state.is_reset() or stream.sid not in self.streams:
                    raise StreamReset("stream reset while sending")
                continue
            last = n == len(view) and trailers is None
            stream.send.send_data(n)
            self.conn_send.send_data(n)
            self.writer.write(self.codec.serialize_data(stream.sid, bytes(view[:n]), last))
            view = view[n:]
            if last:
                stream.state.send_close()
            await self.writer.drain()
        if self.closed is not None:
            raise StreamReset(str(self.closed))
        if trailers is not None:
            self.writer.write(self.codec.serialize_trailers(stream.sid, trailers))
            stream.state.send_close()
        await self.writer.drain()
        if stream.state.is_closed():
            self.streams.pop(stream.sid, None)

    async def _respond(self, stream: _Stream) -> None:
        head = stream.head
        assert head is not None and self.handler is not None
        request = Request(
            head.method or "",
            head.path or "",
            head.headers,
            b"".join(stream.body),
            stream.trailers,
            "2",
        )
        if head.authority is not None and "host" not in request.headers:
            request.headers["host"] = head.authority
        try:
            response = await self.handler(request)
            if stream.sid not in self.streams:
                return  # reset while the handler ran
            frame = self.codec.serialize_response_headers(
                stream.sid,
                response.status,
                response.headers,
                end_stream=not response.body and response.trailers is None,
            )
            await self.send_message(stream, frame, response.body, response.trailers)
        except (StreamReset, ConnectionError):
            pass
        except Exception:
            if stream.sid in self.streams:
                self.reset(stream.sid, INTERNAL_ERROR)

    # ------------------------------------------------------------ client

    async def request(
        self,
        method: str,
        url: str,
        headers: HeaderMap | None = None,
        body: bytes = b"",
        trailers: HeaderMap | None = None,
    ) -> Response:
        """Send one request on a new stream; wait for the whole response."""
        if self.closed is not None:
            raise StreamReset(f"connection closed: {self.closed}")
        while len(self.streams) >= self.peer_max_streams:
            # Back-pressure: wait for a stream slot to free.
            self.writable.clear()
            await self.writable.wait()
            if self.closed is not None:
                raise StreamReset(f"connection closed: {self.closed}")
        sid = self.next_stream_id
        self.next_stream_id += 2
        stream = _Stream(sid, self.peer_initial_window, LOCAL_STREAM_WINDOW)
        self.streams[sid] = stream
        try:
            frame = self.codec.serialize_request_headers(
                sid, method, url, headers, end_stream=not body and trailers is None
            )
            await self.send_message(stream, frame, body, trailers)
            await stream.done
        finally:
            if self.streams.pop(sid, None) is not None and not stream.state.is_closed() and self.closed is None:
                # Abandoned (timeout or cancellation): tell the server to stop.
                self.writer.write(self.codec.serialize_rst_stream(sid, CANCEL))
                stream.state.set_reset(sid, CANCEL, "user")
            self.writable.set()
        assert stream.head is not None
        return Response(stream.head.status or 0, stream.head.headers, b"".join(stream.body), stream.trailers)


class H2Client:
    """An HTTP/2 client on one connection, h2c prior knowledge or TLS with ALPN "h2".

    Concurrent ``request`` calls share the connection as separate streams,
    up to the server's SETTINGS_MAX_CONCURRENT_STREAMS. With ``proxy`` the
    connection is a CONNECT tunnel through that proxy.
    """

    def __init__(
        self,
        host: str,
        port: int,
        *,
        ssl: _ssl.SSLContext | None = None,
        timeout: float | None = 30.0,
        proxy: ProxyIntercept | None = None,
    ) -> None:
        self.host = host
        self.proxy = proxy
        self.port = port
        self.ssl = ssl
        self.timeout = timeout
        self.conn: H2Connection | None = None
        self._task: asyncio.Task[None] | None = None
        self._connecting = asyncio.Lock()

    @property
    def base_url(self) -> str:
        scheme = "https" if self.ssl is not None else "http"
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{scheme}://{host}:{self.port}"

    async def connect(self) -> None:
        if self.ssl is not None:
            self.ssl.set_alpn_protocols(["h2"])
        reader, writer = await open_stream(
            self.host, self.port, ssl=self.ssl, proxy=self.proxy, timeout=self.timeout
        )
        if self.ssl is not None:
            ssl_obj = writer.get_extra_info("ssl_object")
            if ssl_obj is None or ssl_obj.selected_alpn_protocol() != "h2":
                writer.close()
                raise ConnectionError("server did not select ALPN h2")
        self.conn = H2Connection(reader, writer, "client", timeout=self.timeout)
        self.conn.start()
        self._task = asyncio.get_running_loop().create_task(self.conn.run())

    async def request(
        self,
        method: str,
        path: str,
        headers: HeaderMap | None = None,
        body: bytes = b"",
        *,
        trailers: HeaderMap | None = None,
    ) -> Response:
        if self.conn is None:
            async with self._connecting:
                if self.conn is None:
                    await self.connect()
        assert self.conn is not None
        coro = self.conn.request(method, self.base_url + path, headers, body, trailers)
        return await asyncio.wait_for(coro, self.timeout)

    async def close(self) -> None:
        if self.conn is not None:
            self.conn.go_away(NO_ERROR)
            await close_writer(self.conn.writer)
        if self._task is not None:
            await asyncio.wait([self._task], timeout=self.timeout)
        self.conn = None

    async def __aenter__(self) -> H2Client:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()
