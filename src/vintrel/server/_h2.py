"""The sans-IO HTTP/2 server connection: H2Codec, H2StreamState and
H2FlowControl with the policy a server needs (settings, windows, stream
limits, remembered resets, floods), driven by bytes in and events out.

Choices of this connection:

* Our limits are applied when announced in our first SETTINGS, not on the
  peer's acknowledgement (a read that raises loses its events, so an ACK
  arriving with the first frame using a new limit would be lost).
* A request's body credit goes back to the peer only as the application
  takes the bytes (``body_consumed``), so a stream holds at most its window
  of unread body, and the connection at most the connection window.
* A stream counts against the concurrency limit from its HEADERS until both
  its protocol state has closed and its application has ended
  (``application_done``): a peer that resets streams cannot run more
  applications at once than the limit.
* Frames on streams we reset are ignored (the last 1,024 ids are kept).
* A peer that sends frames that carry no request (PING, SETTINGS, PRIORITY,
  empty DATA, RST_STREAM) many times in a row, or resets most of its streams
  before their response starts, gets GOAWAY(ENHANCE_YOUR_CALM).
"""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass, field

from .._vintrel import (
    H2Codec,
    H2FlowControl,
    H2FlowControlError,
    H2FrameData,
    H2FrameGoAway,
    H2FrameHeaders,
    H2FramePing,
    H2FramePriority,
    H2FrameRstStream,
    H2FrameSettings,
    H2FrameStreamError,
    H2FrameWindowUpdate,
    H2ProtocolError,
    H2StreamState,
    HeaderMap,
)
from ._events import (
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
    Event,
    Headers,
    RequestEnded,
    RequestReceived,
    StreamAborted,
)
from ._limits import Limits

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
DEFAULT_WINDOW = 65535
# Fields that mean something only to one HTTP/1.1 hop: never sent on HTTP/2.
CONNECTION_FIELDS = frozenset([b"connection", b"keep-alive", b"proxy-connection", b"transfer-encoding", b"upgrade"])
RESET_MEMORY = 1024


class _Stream:
    __slots__ = (
        "sid", "state", "send", "recv", "head_only", "suppress", "started", "queue", "queued", "end_queued",
        "trailers", "trailers_accepted", "declared", "received", "unconsumed", "app_running", "aborted",
        "reset_done",
    )

    def __init__(self, sid: int, send_window: int, recv_window: int) -> None:
        self.sid = sid
        self.state = H2StreamState()
        self.send = H2FlowControl()
        self.send.inc_window(send_window)
        self.recv = H2FlowControl()
        self.recv.inc_window(recv_window)
        self.recv.assign_capacity(recv_window)
        self.head_only = False  # HEAD request: the response has no body
        self.suppress = False  # the response has no body (HEAD, 204, 304)
        self.started = False  # a final response head went out
        self.queue: deque[bytes | memoryview] = deque()
        self.queued = 0
        self.end_queued = False  # the body ends after the queue
        self.trailers: HeaderMap | None = None
        self.trailers_accepted = False
        self.declared: int | None = None  # the request's content-length
        self.received = 0
        self.unconsumed = 0
        self.app_running = True
        self.aborted = False  # the application may send nothing more
        self.reset_done = False  # RST_STREAM sent or received: no more frames


@dataclass(slots=True)
class _Counters:
    opened: int = 0
    early_resets: int = 0
    idle_frames: int = 0  # frames in a row that carried no request
    answers: list[bytes] = field(default_factory=list)


class H2ServerConnection:
    """One HTTP/2 connection, server side, without I/O (see ServerConnection)."""

    http_version = "2"

    def __init__(self, limits: Limits = Limits()) -> None:
        self.limits = limits
        self._codec = H2Codec("server")
        self._out: list[bytes] = []
        self._preface = b""  # the part of the client preface seen so far
        self._preface_done = False
        self._streams: dict[int, _Stream] = {}
        self._resets: deque[int] = deque()
        self._reset_set: set[int] = set()
        self._last_peer = 0
        self._peer_window = DEFAULT_WINDOW
        self._peer_max_frame = 16384
        self._conn_send = H2FlowControl()
        self._conn_send.inc_window(DEFAULT_WINDOW)
        self._conn_recv = H2FlowControl()
        self._conn_recv.inc_window(limits.connection_buffer)
        self._conn_recv.assign_capacity(limits.connection_buffer)
        self._going_away = False  # GOAWAY sent or received: no new streams
        self._ended = False
        self._ready: list[Event] = []  # events made by calls other than receive()
        self._counters = _Counters()
        self._codec.set_max_header_list_size(limits.max_head_size)
        self._out.append(
            self._codec.serialize_settings(
                max_concurrent_streams=limits.max_concurrent_streams,
                initial_window_size=limits.stream_buffer,
                max_header_list_size=limits.max_head_size,
            )
        )
        if limits.connection_buffer > DEFAULT_WINDOW:
            self._out.append(self._codec.serialize_window_update(0, limits.connection_buffer - DEFAULT_WINDOW))

    # ------------------------------------------------------------ state

    @property
    def ended(self) -> bool:
        return self._ended

    @property
    def open_streams(self) -> int:
        return len(self._streams)

    @property
    def wants_read(self) -> bool:
        return not self._ended

    def pending(self, stream_id: int) -> int:
        if stream_id == 0:
            return sum(stream.queued for stream in self._streams.values())
        stream = self._streams.get(stream_id)
        return 0 if stream is None else stream.queued

    def take_events(self) -> list[Event]:
        events, self._ready = self._ready, []
        return events

    def data_to_send(self) -> bytes:
        if not self._out:
            return b""
        out = b"".join(self._out)
        self._out.clear()
        return out

    # ---------------------------------------------------------- receive

    def receive(self, data: bytes) -> list[Event]:
        events = self.take_events()
        if self._ended:
            return events
        if not self._preface_done:
            data = self._take_preface(data, events)
            if not data:
                return events
        try:
            frames = self._codec.receive(data)
        except (H2ProtocolError, H2FlowControlError) as exc:
            self._fail(events, _reason(exc), str(exc.args[-1]))
            return events
        try:
            for frame in frames:
                self._dispatch(frame, events)
                if self._ended:
                    break
        except H2FlowControlError:
            self._fail(events, FLOW_CONTROL_ERROR, "flow-control window exceeded")
        except _ConnectionError as exc:
            self._fail(events, exc.code, exc.message)
        self._check_end(events)
        return events

    def receive_eof(self) -> list[Event]:
        events = self.take_events()
        if self._ended:
            return events
        for stream in list(self._streams.values()):
            if stream.app_running and not stream.aborted:
                stream.aborted = True
                events.append(StreamAborted(stream.sid, CANCEL, "connection closed by peer"))
        self._streams.clear()
        self._ended = True
        events.append(ConnectionEnded(NO_ERROR, "connection closed by peer"))
        return events

    def _take_preface(self, data: bytes, events: list[Event]) -> bytes:
        need = len(PREFACE) - len(self._preface)
        head, rest = data[:need], data[need:]
        self._preface += head
        if not PREFACE.startswith(self._preface):
            self._fail(events, PROTOCOL_ERROR, "invalid client preface")
            return b""
        if len(self._preface) == len(PREFACE):
            self._preface_done = True
            return rest
        return b""

    def _dispatch(self, frame: object, events: list[Event]) -> None:
        if isinstance(frame, H2FrameData):
            self._on_data(frame, events)
        elif isinstance(frame, H2FrameHeaders):
            self._counters.idle_frames = 0
            self._on_headers(frame, events)
        elif isinstance(frame, H2FrameWindowUpdate):
            self._on_window_update(frame, events)
        elif isinstance(frame, H2FramePing):
            self._idle_frame()
            if not frame.ack:
                self._out.append(self._codec.serialize_ping_ack(frame.data))
        elif isinstance(frame, H2FrameSettings):
            if not frame.ack:
                self._idle_frame()
                self._on_settings(frame)
        elif isinstance(frame, H2FrameRstStream):
            self._idle_frame()
            self._on_rst_stream(frame, events)
        elif isinstance(frame, H2FrameStreamError):
            self._stream_error(frame.stream_id, frame.error_code, events, "malformed request")
        elif isinstance(frame, H2FrameGoAway):
            self._going_away = True
            if frame.error_code != NO_ERROR:
                raise _ConnectionError(NO_ERROR, f"GOAWAY received ({frame.error_code})")
        elif isinstance(frame, H2FramePriority):
            self._idle_frame()

    def _idle_frame(self) -> None:
        self._counters.idle_frames += 1
        if self._counters.idle_frames > self.limits.max_control_frames:
            raise _ConnectionError(ENHANCE_YOUR_CALM, "too many frames without a request")

    def _on_headers(self, frame: H2FrameHeaders, events: list[Event]) -> None:
        sid = frame.stream_id
        if sid % 2 == 0:
            raise _ConnectionError(PROTOCOL_ERROR, "client opened an even stream")
        stream = self._streams.get(sid)
        if stream is not None:
            if stream.reset_done:
                return
            if stream.aborted or not stream.state.is_recv_streaming():
                self._stream_error(sid, STREAM_CLOSED, events, "HEADERS on a closed stream")
                return
            # A second block ends the request: its trailers.
            if not frame.end_stream or frame.method is not None or frame.path is not None:
                self._stream_error(sid, PROTOCOL_ERROR, events, "malformed trailers")
                return
            stream.state.recv_close()
            if not self._length_ok(stream):
                self._stream_error(sid, PROTOCOL_ERROR, events, "body shorter than content-length")
                return
            events.append(RequestEnded(sid, _pairs(frame.headers)))
            return
        if sid <= self._last_peer:
            if sid not in self._reset_set:
                self._reset(sid, STREAM_CLOSED)
            return
        self._last_peer = sid
        self._counters.opened += 1
        if self._going_away:
            # Past the GOAWAY's last stream: the peer knows it is not served.
            self._remember_reset(sid)
            return
        if len(self._streams) >= self.limits.max_concurrent_streams:
            self._early_reset()
            self._reset(sid, REFUSED_STREAM)
            return
        method, path, scheme = frame.method, frame.path, frame.scheme
        authority = frame.authority
        connect = method == "CONNECT"
        if method is None or (
            (scheme is None or not path) if not connect else (authority is None or path is not None or scheme is not None)
        ):
            self._reset(sid, PROTOCOL_ERROR)
            return
        headers = _pairs(frame.headers)
        stream = _Stream(sid, self._peer_window, self.limits.stream_buffer)
        stream.state.recv_open(frame.end_stream, False)
        stream.head_only = method == "HEAD"
        self._streams[sid] = stream
        if frame.truncated:  # the codec dropped what passed the header-list size
            stream.app_running = False
            self._answer(stream, 431)
            return
        has_host = False
        for name, value in headers:
            if name == b"content-length":
                try:
                    declared = int(value)
                except ValueError:
                    declared = -1
                if declared < 0 or (stream.declared is not None and declared != stream.declared):
                    self._streams.pop(sid)
                    self._reset(sid, PROTOCOL_ERROR)
                    return
                stream.declared = declared
            elif name == b"te":
                stream.trailers_accepted = b"trailers" in value.lower()
            elif name == b"host":
                has_host = True
        if stream.declared is not None and stream.declared > self.limits.max_body_size:
            stream.app_running = False
            self._answer(stream, 413)
            return
        if authority is not None and not has_host:
            headers.insert(0, (b"host", authority.encode()))
        events.append(
            RequestReceived(
                sid, method, authority if connect and authority is not None else path or "", headers, "2",
                scheme, frame.end_stream, stream.trailers_accepted,
            )
        )
        if frame.end_stream:
            if stream.declared:
                self._stream_error(sid, PROTOCOL_ERROR, events, "body shorter than content-length")
                return
            events.append(RequestEnded(sid, None))

    def _on_data(self, frame: H2FrameData, events: list[Event]) -> None:
        n = frame.flow_controlled_len
        self._conn_recv.send_data(n)  # past the connection window: a connection error
        sid = frame.stream_id
        data = frame.data
        if data or frame.end_stream:
            self._counters.idle_frames = 0
        else:
            self._idle_frame()
        stream = self._streams.get(sid)
        if stream is None or stream.aborted or not stream.state.is_recv_streaming():
            self._give_back(None, n)
            if stream is None and sid > self._last_peer:
                raise _ConnectionError(PROTOCOL_ERROR, "DATA on an idle stream")
            if sid not in self._reset_set and (stream is None or not stream.aborted):
                self._stream_error(sid, STREAM_CLOSED, events, "DATA on a closed stream")
            return
        try:
            stream.recv.send_data(n)
        except H2FlowControlError:
            self._give_back(None, n)
            self._stream_error(sid, FLOW_CONTROL_ERROR, events, "stream window exceeded")
            return
        # Padding is nobody's to consume: its credit comes back at once.
        if n > len(data):
            self._give_back(stream, n - len(data))
        stream.received += len(data)
        if stream.declared is not None and stream.received > stream.declared:
            self._give_back(None, len(data))
            self._stream_error(sid, PROTOCOL_ERROR, events, "body longer than content-length")
            return
        if stream.received > self.limits.max_body_size:
            self._give_back(None, len(data))
            if stream.started:
                self._reset(sid, CANCEL)
            else:
                self._answer(stream, 413)
            stream.aborted = True
            events.append(StreamAborted(sid, CANCEL, "request body too large"))
            self._drop_if_done(stream)
            return
        if data:
            stream.unconsumed += len(data)
            events.append(BodyReceived(sid, data))
        if frame.end_stream:
            stream.state.recv_close()
            if not self._length_ok(stream):
                self._stream_error(sid, PROTOCOL_ERROR, events, "body shorter than content-length")
                return
            events.append(RequestEnded(sid, None))

    @staticmethod
    def _length_ok(stream: _Stream) -> bool:
        return stream.declared is None or stream.declared == stream.received

    def _on_window_update(self, frame: H2FrameWindowUpdate, events: list[Event]) -> None:
        if frame.stream_id == 0:
            self._conn_send.inc_window(frame.increment)  # overflow: a connection error
            self._flush_all()
            return
        stream = self._streams.get(frame.stream_id)
        if stream is None or stream.reset_done:
            return
        try:
            stream.send.inc_window(frame.increment)
        except H2FlowControlError:
            self._stream_error(stream.sid, FLOW_CONTROL_ERROR, events, "stream window overflow")
            return
        self._flush(stream)

    def _on_settings(self, frame: H2FrameSettings) -> None:
        if frame.header_table_size is not None:
            self._codec.set_send_header_table_size(frame.header_table_size)
        if frame.max_frame_size is not None:
            self._codec.set_send_max_frame_size(frame.max_frame_size)
            self._peer_max_frame = frame.max_frame_size
        if frame.initial_window_size is not None:
            delta = frame.initial_window_size - self._peer_window
            self._peer_window = frame.initial_window_size
            for stream in self._streams.values():
                if delta >= 0:
                    stream.send.inc_window(delta)  # overflow: a connection error
                else:
                    stream.send.dec_send_window(-delta)
        self._out.append(self._codec.serialize_settings_ack())
        if frame.initial_window_size is not None:
            self._flush_all()

    def _on_rst_stream(self, frame: H2FrameRstStream, events: list[Event]) -> None:
        sid = frame.stream_id
        stream = self._streams.get(sid)
        if stream is None:
            if sid > self._last_peer:
                raise _ConnectionError(PROTOCOL_ERROR, "RST_STREAM on an idle stream")
            return
        if not stream.started:
            self._early_reset()
        self._remember_reset(sid)
        stream.reset_done = True
        stream.queue.clear()
        stream.queued = 0
        if not stream.aborted:
            stream.aborted = True
            events.append(StreamAborted(sid, frame.error_code, "stream reset by peer"))
        self._drop_if_done(stream)

    def _early_reset(self) -> None:
        """A stream refused, or reset by the peer before its response began:
        a peer doing that to most of its streams makes us work for nothing."""
        c = self._counters
        c.early_resets += 1
        if c.early_resets > self.limits.max_rapid_resets and 2 * c.early_resets > c.opened:
            raise _ConnectionError(ENHANCE_YOUR_CALM, "too many streams reset")

    def _stream_error(self, sid: int, code: int, events: list[Event], reason: str) -> None:
        stream = self._streams.get(sid)
        if sid > self._last_peer:
            self._last_peer = sid
        self._reset(sid, code)
        if stream is not None:
            stream.queue.clear()
            stream.queued = 0
            if not stream.aborted:
                stream.aborted = True
                events.append(StreamAborted(sid, code, reason))
            self._drop_if_done(stream)

    # ------------------------------------------------------------- send

    def start_response(self, stream_id: int, status: int, headers: Headers, end_stream: bool = False) -> None:
        stream = self._sendable(stream_id)
        if stream.started:
            raise RuntimeError("response already started")
        if status == 101:
            raise ValueError("101 Switching Protocols does not exist on HTTP/2")
        informational = 100 <= status < 200
        hm = HeaderMap(
            [
                (name.decode("latin-1"), value)
                for name, value in headers
                if name not in CONNECTION_FIELDS and (name != b"te" or value.lower() == b"trailers")
            ]
        )
        if informational:
            self._out.append(self._codec.serialize_response_headers(stream_id, status, hm, False))
            return
        stream.suppress = stream.head_only or status in (204, 304)
        end = end_stream or stream.suppress
        stream.started = True
        stream.state.send_open(end)
        # Encoded and queued in one step: header blocks reach the peer in
        # the order the HPACK encoder made them.
        self._out.append(self._codec.serialize_response_headers(stream_id, status, hm, end))
        if end:
            self._finish_send(stream)

    def send_body(self, stream_id: int, data: bytes, end_stream: bool = False) -> None:
        stream = self._sendable(stream_id)
        if not stream.started:
            raise RuntimeError("response not started")
        if stream.suppress:
            return  # a body on HEAD, 204 or 304: nothing is sent
        if stream.end_queued:
            raise RuntimeError("response already ended")
        if data:
            # bytes as they are (a frame of the whole takes them without a
            # copy); anything else viewed
            stream.queue.append(data if type(data) is bytes else memoryview(data))
            stream.queued += len(data)
        stream.end_queued = end_stream
        self._flush(stream)

    def send_trailers(self, stream_id: int, trailers: Headers) -> None:
        stream = self._sendable(stream_id)
        if stream.suppress:
            return
        if not stream.started or stream.end_queued:
            raise RuntimeError("no response body in progress")
        if stream.trailers_accepted:
            hm = HeaderMap()
            for name, value in trailers:
                if name not in CONNECTION_FIELDS and name != b"te":
                    hm.add(name.decode("latin-1"), value)
            stream.trailers = hm
        stream.end_queued = True
        self._flush(stream)

    def reset_stream(self, stream_id: int) -> None:
        stream = self._streams.get(stream_id)
        if stream is None or stream.reset_done:
            return
        stream.aborted = True
        stream.queue.clear()
        stream.queued = 0
        self._reset(stream_id, INTERNAL_ERROR)
        self._drop_if_done(stream)

    def continue_body(self, stream_id: int) -> None:
        return None

    def body_consumed(self, stream_id: int, n: int) -> None:
        stream = self._streams.get(stream_id)
        if stream is None or stream.aborted or n <= 0:
            return
        n = min(n, stream.unconsumed)
        stream.unconsumed -= n
        self._give_back(stream if stream.state.is_recv_streaming() else None, n)

    def application_done(self, stream_id: int) -> None:
        stream = self._streams.get(stream_id)
        if stream is None:
            return
        stream.app_running = False
        if not stream.reset_done and not stream.end_queued:
            # The application ended without finishing its response.
            self.reset_stream(stream_id)
        self._drop_if_done(stream)
        self._check_end(self._ready)

    def shutdown(self) -> None:
        if self._ended:
            return
        if not self._going_away:
            self._going_away = True
            self._out.append(self._codec.serialize_go_away(self._last_peer, NO_ERROR, None))
        self._check_end(self._ready)

    # ---------------------------------------------------------- helpers

    def _sendable(self, stream_id: int) -> _Stream:
        stream = self._streams.get(stream_id)
        if stream is None or stream.aborted or self._ended:
            raise RuntimeError(f"stream {stream_id} cannot take a response")
        return stream

    def _flush_all(self) -> None:
        for stream in list(self._streams.values()):
            if stream.queue or stream.end_queued:
                self._flush(stream)

    def _flush(self, stream: _Stream) -> None:
        if stream.reset_done or stream.state.is_send_closed():
            return
        sid = stream.sid
        while stream.queue:
            room = min(stream.send.window_size(), self._conn_send.window_size(), self._peer_max_frame)
            if room <= 0:
                return
            chunk = stream.queue[0]
            n = min(room, len(chunk))
            if n == len(chunk):
                stream.queue.popleft()
                piece = chunk if type(chunk) is bytes else bytes(chunk)
            else:
                view = chunk if type(chunk) is memoryview else memoryview(chunk)
                piece = bytes(view[:n])
                stream.queue[0] = view[n:]
            stream.queued -= n
            last = not stream.queue and stream.end_queued and stream.trailers is None
            stream.send.send_data(n)
            self._conn_send.send_data(n)
            self._out.append(self._codec.serialize_data(sid, piece, last))
            if last:
                self._finish_send(stream)
                return
        if not stream.end_queued:
            return
        if stream.trailers is not None:
            self._out.append(self._codec.serialize_trailers(sid, stream.trailers))
            stream.trailers = None
        else:
            self._out.append(self._codec.serialize_data(sid, b"", True))
        self._finish_send(stream)

    def _finish_send(self, stream: _Stream) -> None:
        if stream.state.is_send_streaming():
            stream.state.send_close()
        stream.end_queued = True
        if stream.state.is_recv_streaming():
            # The response is complete before the request: the peer may stop
            # sending it (an early answer such as 413).
            self._reset(stream.sid, NO_ERROR)
        self._drop_if_done(stream)

    def _answer(self, stream: _Stream, status: int) -> None:
        """A small final response of our own, in place of the application's."""
        body = b"%d\n" % status
        hm = HeaderMap([("content-type", b"text/plain; charset=utf-8"), ("content-length", str(len(body)).encode())])
        stream.started = True
        stream.state.send_open(False)
        self._out.append(self._codec.serialize_response_headers(stream.sid, status, hm, False))
        stream.queue.append(memoryview(body))
        stream.queued += len(body)
        stream.end_queued = True
        self._flush(stream)

    def _give_back(self, stream: _Stream | None, n: int) -> None:
        if n <= 0:
            return
        self._conn_recv.assign_capacity(n)
        inc = self._conn_recv.unclaimed_capacity()
        if inc:
            self._conn_recv.inc_window(inc)
            self._out.append(self._codec.serialize_window_update(0, inc))
        if stream is not None:
            stream.recv.assign_capacity(n)
            inc = stream.recv.unclaimed_capacity()
            if inc:
                stream.recv.inc_window(inc)
                self._out.append(self._codec.serialize_window_update(stream.sid, inc))

    def _reset(self, sid: int, code: int) -> None:
        self._out.append(self._codec.serialize_rst_stream(sid, code))
        self._remember_reset(sid)
        stream = self._streams.get(sid)
        if stream is not None:
            stream.reset_done = True

    def _remember_reset(self, sid: int) -> None:
        if sid in self._reset_set:
            return
        self._resets.append(sid)
        self._reset_set.add(sid)
        if len(self._resets) > RESET_MEMORY:
            self._reset_set.discard(self._resets.popleft())

    def _drop_if_done(self, stream: _Stream) -> None:
        """A stream stops counting once its exchange is over and its
        application has ended."""
        if stream.app_running:
            return
        if stream.reset_done or stream.state.is_closed():
            if stream.unconsumed:
                self._give_back(None, stream.unconsumed)
                stream.unconsumed = 0
            self._streams.pop(stream.sid, None)

    def _check_end(self, events: list[Event]) -> None:
        if not self._ended and self._going_away and not self._streams:
            self._ended = True
            events.append(ConnectionEnded(NO_ERROR, "connection finished"))

    def _fail(self, events: list[Event], code: int, message: str) -> None:
        self._out.append(self._codec.serialize_go_away(self._last_peer, code, message.encode()[:256]))
        for stream in self._streams.values():
            if stream.app_running and not stream.aborted:
                stream.aborted = True
                events.append(StreamAborted(stream.sid, code, message))
        self._streams.clear()
        self._ended = True
        events.append(ConnectionEnded(code, message))


class _ConnectionError(Exception):
    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.message = message


def _reason(exc: BaseException) -> int:
    return exc.args[0] if exc.args and isinstance(exc.args[0], int) else PROTOCOL_ERROR


def _pairs(headers: HeaderMap) -> Headers:
    return [(name.encode(), value) for name, value in headers.items()]
