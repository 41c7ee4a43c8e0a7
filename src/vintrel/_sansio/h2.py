"""The HTTP/2 connection machinery both roles share: H2Codec, H2StreamState
and H2FlowControl with the policy every endpoint needs (settings, windows,
the send queue, remembered resets, floods), driven by bytes in and events
out. ``H2ServerConnection`` and ``H2ClientConnection`` add what only their
role knows through a few hooks: what a HEADERS block means, which stream
ids the peer may open, what a peer's reset or GOAWAY does to a stream.

Choices shared by both roles:

* Our limits are applied when announced in our first SETTINGS, not on the
  peer's acknowledgement (a read that raises loses its events, so an ACK
  arriving with the first frame using a new limit would be lost).
* Body credit goes back to the peer only as the caller takes the bytes
  (``body_consumed``), so a stream holds at most its window of unread
  body, and the connection at most the connection window.
* Frames on streams we reset are ignored (the last 1,024 ids are kept).
* A peer that sends frames that carry no message (PING, SETTINGS, PRIORITY,
  empty DATA, RST_STREAM) more than ``max_control_frames`` times in a row
  gets GOAWAY(ENHANCE_YOUR_CALM).
* A body longer or shorter than its content-length is a stream error
  (RST_STREAM PROTOCOL_ERROR).
"""

from __future__ import annotations

from collections import deque
from typing import Any

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
from .events import (
    CANCEL,
    ENHANCE_YOUR_CALM,
    FLOW_CONTROL_ERROR,
    NO_ERROR,
    PROTOCOL_ERROR,
    STREAM_CLOSED,
    BodyReceived,
    ConnectionEnded,
    Headers,
    StreamAborted,
)

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
DEFAULT_WINDOW = 65535
# Fields that mean something only to one HTTP/1.1 hop: never sent on HTTP/2.
CONNECTION_FIELDS = frozenset([b"connection", b"keep-alive", b"proxy-connection", b"transfer-encoding", b"upgrade"])
RESET_MEMORY = 1024


class H2Stream:
    __slots__ = (
        "sid", "state", "send", "recv", "head_only", "suppress", "started", "queue", "queued", "end_queued",
        "trailers", "trailers_accepted", "declared", "received", "unconsumed", "app_running", "aborted",
        "reset_done", "finished",
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
        self.started = False  # a final head went out (server) or came in (client)
        self.queue: deque[bytes | memoryview] = deque()
        self.queued = 0
        self.end_queued = False  # the body we send ends after the queue
        self.trailers: HeaderMap | None = None
        self.trailers_accepted = False
        self.declared: int | None = None  # the received message's content-length
        self.received = 0
        self.unconsumed = 0
        self.app_running = True  # the caller still holds the stream
        self.aborted = False  # the caller may send nothing more
        self.reset_done = False  # RST_STREAM sent or received: no more frames
        self.finished = False  # the received message was reported complete


class ConnectionFailure(Exception):
    """A connection error found while handling frames: GOAWAY(``reply``)
    and ConnectionEnded(``code``)."""

    def __init__(self, code: int, message: str, reply: int | None = None) -> None:
        super().__init__(message)
        self.code = code
        self.message = message
        self.reply = code if reply is None else reply


class H2Connection:
    """One HTTP/2 connection without I/O, either role; subclasses say what
    the frames mean to their role."""

    http_version = "2"

    def __init__(
        self, role: str, *, max_head_size: int, stream_buffer: int, connection_buffer: int, max_control_frames: int
    ) -> None:
        self._codec = H2Codec(role)
        self._out: list[bytes] = []
        self._streams: dict[int, H2Stream] = {}
        self._resets: deque[int] = deque()
        self._reset_set: set[int] = set()
        self._last_peer = 0  # the highest stream id the peer opened
        self._peer_window = DEFAULT_WINDOW
        self._peer_max_frame = 16384
        self._stream_buffer = stream_buffer
        self._max_control_frames = max_control_frames
        self._conn_send = H2FlowControl()
        self._conn_send.inc_window(DEFAULT_WINDOW)
        self._conn_recv = H2FlowControl()
        self._conn_recv.inc_window(connection_buffer)
        self._conn_recv.assign_capacity(connection_buffer)
        self._going_away = False  # GOAWAY sent or received: no new streams
        self._ended = False
        self._ready: list[Any] = []  # events made by calls other than receive()
        self._idle_frames = 0  # frames in a row that carried no message
        self._codec.set_max_header_list_size(max_head_size)

    def _announce(self, settings: bytes, connection_buffer: int) -> None:
        """Our first SETTINGS and the connection window past the default."""
        self._out.append(settings)
        if connection_buffer > DEFAULT_WINDOW:
            self._out.append(self._codec.serialize_window_update(0, connection_buffer - DEFAULT_WINDOW))

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

    def take_events(self) -> list[Any]:
        events, self._ready = self._ready, []
        return events

    def data_to_send(self) -> bytes:
        if not self._out:
            return b""
        out = b"".join(self._out)
        self._out.clear()
        return out

    # ---------------------------------------------------------- receive

    def receive(self, data: bytes) -> list[Any]:
        events = self.take_events()
        if self._ended:
            return events
        data = self._before_frames(data, events)
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
        except ConnectionFailure as exc:
            self._fail(events, exc.code, exc.message, reply=exc.reply)
        self._check_end(events)
        return events

    def receive_eof(self) -> list[Any]:
        events = self.take_events()
        if self._ended:
            return events
        for stream in list(self._streams.values()):
            if stream.app_running and not stream.aborted:
                stream.aborted = True
                self._aborted(stream, CANCEL, "connection closed by peer", events)
        self._streams.clear()
        self._ended = True
        events.append(ConnectionEnded(NO_ERROR, "connection closed by peer"))
        return events

    def _before_frames(self, data: bytes, events: list[Any]) -> bytes:
        """What of the received bytes goes to the codec (a server strips the
        client preface first)."""
        return data

    def _dispatch(self, frame: object, events: list[Any]) -> None:
        if isinstance(frame, H2FrameData):
            self._on_data(frame, events)
        elif isinstance(frame, H2FrameHeaders):
            self._idle_frames = 0
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
            self._stream_error(frame.stream_id, frame.error_code, events, self._malformed)
        elif isinstance(frame, H2FrameGoAway):
            self._on_goaway(frame, events)
        elif isinstance(frame, H2FramePriority):
            self._idle_frame()

    # Reasons the events give, worded for the role.
    _malformed = "malformed message"
    _flood_reason = "too many frames without a message"

    def _idle_frame(self) -> None:
        self._idle_frames += 1
        if self._idle_frames > self._max_control_frames:
            raise ConnectionFailure(ENHANCE_YOUR_CALM, self._flood_reason)

    # Role hooks ---------------------------------------------------------

    def _on_headers(self, frame: H2FrameHeaders, events: list[Any]) -> None:
        raise NotImplementedError

    def _on_goaway(self, frame: H2FrameGoAway, events: list[Any]) -> None:
        raise NotImplementedError

    def _peer_stream(self, sid: int) -> bool:
        """Whether the peer opens streams with this id (by parity)."""
        raise NotImplementedError

    def _is_idle(self, sid: int) -> bool:
        """Whether no stream with this id was ever opened, by either side."""
        raise NotImplementedError

    def _recv_ended(self, stream: H2Stream, trailers: Headers | None, events: list[Any]) -> None:
        """The received message is complete (END_STREAM, lengths checked)."""
        raise NotImplementedError

    def _data_refused(self, stream: H2Stream, n: int, events: list[Any]) -> bool:
        """A limit refuses the stream's body now that it has n more bytes."""
        return False

    def _on_peer_reset(self, stream: H2Stream, code: int, events: list[Any]) -> None:
        if not stream.aborted:
            stream.aborted = True
            self._aborted(stream, code, "stream reset by peer", events)

    def _aborted(self, stream: H2Stream, code: int, reason: str, events: list[Any], retryable: bool = False) -> None:
        """Report that the stream can go no further."""
        events.append(StreamAborted(stream.sid, code, reason, retryable))

    def _after_send_end(self, stream: H2Stream) -> None:
        """Our side of the stream is complete."""

    def _releasable(self, stream: H2Stream) -> bool:
        return not stream.app_running

    def _on_settings_extra(self, frame: H2FrameSettings) -> None:
        """Settings of the peer only one role cares about."""

    # Frames ---------------------------------------------------------------

    def _on_data(self, frame: H2FrameData, events: list[Any]) -> None:
        n = frame.flow_controlled_len
        self._conn_recv.send_data(n)  # past the connection window: a connection error
        sid = frame.stream_id
        data = frame.data
        if data or frame.end_stream:
            self._idle_frames = 0
        else:
            self._idle_frame()
        stream = self._streams.get(sid)
        if stream is None or stream.aborted or not stream.state.is_recv_streaming():
            self._give_back(None, n)
            if stream is None and self._is_idle(sid):
                raise ConnectionFailure(PROTOCOL_ERROR, "DATA on an idle stream")
            if sid not in self._reset_set and (stream is None or not stream.aborted):
                if stream is not None and stream.state.is_recv_headers():
                    self._stream_error(sid, PROTOCOL_ERROR, events, "DATA before the head")
                else:
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
        if self._data_refused(stream, len(data), events):
            return
        if data:
            if stream.finished:
                self._give_back(stream, len(data))  # nobody will read it
            else:
                stream.unconsumed += len(data)
                events.append(BodyReceived(sid, data))
        if frame.end_stream:
            stream.state.recv_close()
            if not self._length_ok(stream):
                self._stream_error(sid, PROTOCOL_ERROR, events, "body shorter than content-length")
                return
            self._recv_ended(stream, None, events)

    @staticmethod
    def _length_ok(stream: H2Stream) -> bool:
        return stream.declared is None or stream.declared == stream.received

    def _on_window_update(self, frame: H2FrameWindowUpdate, events: list[Any]) -> None:
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
        self._on_settings_extra(frame)
        self._out.append(self._codec.serialize_settings_ack())
        if frame.initial_window_size is not None:
            self._flush_all()

    def _on_rst_stream(self, frame: H2FrameRstStream, events: list[Any]) -> None:
        sid = frame.stream_id
        stream = self._streams.get(sid)
        if stream is None:
            if self._is_idle(sid):
                raise ConnectionFailure(PROTOCOL_ERROR, "RST_STREAM on an idle stream")
            return
        self._remember_reset(sid)
        stream.reset_done = True
        stream.queue.clear()
        stream.queued = 0
        self._on_peer_reset(stream, frame.error_code, events)
        self._drop_if_done(stream)

    def _stream_error(self, sid: int, code: int, events: list[Any], reason: str) -> None:
        stream = self._streams.get(sid)
        if self._peer_stream(sid) and sid > self._last_peer:
            self._last_peer = sid
        self._reset(sid, code)
        if stream is not None:
            stream.queue.clear()
            stream.queued = 0
            if not stream.aborted:
                stream.aborted = True
                self._aborted(stream, code, reason, events)
            self._drop_if_done(stream)

    # ------------------------------------------------------------- send

    def _queue_body(self, stream: H2Stream, data: bytes, end_stream: bool) -> None:
        if data:
            # bytes as they are (a frame of the whole takes them without a
            # copy); anything else viewed
            stream.queue.append(data if type(data) is bytes else memoryview(data))
            stream.queued += len(data)
        stream.end_queued = end_stream
        self._flush(stream)

    @staticmethod
    def _trailer_map(trailers: Headers) -> HeaderMap:
        hm = HeaderMap()
        for name, value in trailers:
            name = name.lower()
            if name not in CONNECTION_FIELDS and name != b"te":
                hm.add(name, value)
        return hm

    def body_consumed(self, stream_id: int, n: int) -> None:
        stream = self._streams.get(stream_id)
        if stream is None or stream.aborted or n <= 0:
            return
        n = min(n, stream.unconsumed)
        stream.unconsumed -= n
        self._give_back(stream if stream.state.is_recv_streaming() else None, n)

    # ---------------------------------------------------------- helpers

    def _flush_all(self) -> None:
        for stream in list(self._streams.values()):
            if stream.queue or stream.end_queued:
                self._flush(stream)

    def _flush(self, stream: H2Stream) -> None:
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

    def _finish_send(self, stream: H2Stream) -> None:
        if stream.state.is_send_streaming():
            stream.state.send_close()
        stream.end_queued = True
        self._after_send_end(stream)
        self._drop_if_done(stream)

    def _give_back(self, stream: H2Stream | None, n: int) -> None:
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

    def _drop_if_done(self, stream: H2Stream) -> None:
        """A stream stops counting once its exchange is over and its caller
        is done with it."""
        if not self._releasable(stream):
            return
        if stream.reset_done or stream.state.is_closed():
            if stream.unconsumed:
                self._give_back(None, stream.unconsumed)
                stream.unconsumed = 0
            self._streams.pop(stream.sid, None)

    def _check_end(self, events: list[Any]) -> None:
        if not self._ended and self._going_away and not self.open_streams:
            self._ended = True
            events.append(ConnectionEnded(NO_ERROR, "connection finished"))

    def _fail(self, events: list[Any], code: int, message: str, *, reply: int | None = None) -> None:
        reply = code if reply is None else reply
        self._out.append(self._codec.serialize_go_away(self._last_peer, reply, message.encode()[:256]))
        for stream in self._streams.values():
            if stream.app_running and not stream.aborted:
                stream.aborted = True
                self._aborted(stream, code, message, events)
        self._streams.clear()
        self._ended = True
        events.append(ConnectionEnded(code, message))


def _reason(exc: BaseException) -> int:
    return exc.args[0] if exc.args and isinstance(exc.args[0], int) else PROTOCOL_ERROR


def pairs(headers: HeaderMap) -> Headers:
    return [(name.encode(), value) for name, value in headers.items()]
