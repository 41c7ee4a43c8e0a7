"""The sans-IO HTTP/2 server connection: the shared HTTP/2 machinery
(``vintrel._sansio.h2``) with the policy a server needs (requests, stream
limits, its own small answers, rapid resets), driven by bytes in and
events out.

Choices of this connection (the shared ones are listed in
``vintrel._sansio.h2``):

* A request's body credit goes back to the peer only as the application
  takes the bytes (``body_consumed``).
* A stream counts against the concurrency limit from its HEADERS until both
  its protocol state has closed and its application has ended
  (``application_done``): a peer that resets streams cannot run more
  applications at once than the limit.
* A peer that sends frames that carry no request (PING, SETTINGS, PRIORITY,
  empty DATA, RST_STREAM) many times in a row, or resets most of its streams
  before their response starts, gets GOAWAY(ENHANCE_YOUR_CALM).
"""

from __future__ import annotations

from dataclasses import dataclass

from .._sansio.h2 import CONNECTION_FIELDS, PREFACE, ConnectionFailure, H2Connection, H2Stream, pairs
from .._vintrel import H2FrameGoAway, H2FrameHeaders, HeaderMap
from ._events import (
    CANCEL,
    ENHANCE_YOUR_CALM,
    INTERNAL_ERROR,
    NO_ERROR,
    PROTOCOL_ERROR,
    REFUSED_STREAM,
    STREAM_CLOSED,
    Event,
    Headers,
    RequestEnded,
    RequestReceived,
    StreamAborted,
)
from ._limits import Limits

__all__ = ["PREFACE", "H2ServerConnection"]


@dataclass(slots=True)
class _Counters:
    opened: int = 0
    early_resets: int = 0


class H2ServerConnection(H2Connection):
    """One HTTP/2 connection, server side, without I/O (see ServerConnection)."""

    #: HTTP/2 ends with GOAWAY, which tells the peer what was processed:
    #: nothing is lost by closing at once.
    linger = False

    _malformed = "malformed request"
    _flood_reason = "too many frames without a request"

    def __init__(self, limits: Limits = Limits()) -> None:
        super().__init__(
            "server",
            max_head_size=limits.max_head_size,
            stream_buffer=limits.stream_buffer,
            connection_buffer=limits.connection_buffer,
            max_control_frames=limits.max_control_frames,
        )
        self.limits = limits
        self._preface = b""  # the part of the client preface seen so far
        self._preface_done = False
        self._counters = _Counters()
        self._announce(
            self._codec.serialize_settings(
                max_concurrent_streams=limits.max_concurrent_streams,
                initial_window_size=limits.stream_buffer,
                max_header_list_size=limits.max_head_size,
            ),
            limits.connection_buffer,
        )

    # ---------------------------------------------------------- receive

    def _before_frames(self, data: bytes, events: list[Event]) -> bytes:
        if self._preface_done:
            return data
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

    def _peer_stream(self, sid: int) -> bool:
        return sid % 2 == 1

    def _is_idle(self, sid: int) -> bool:
        return sid > self._last_peer

    def _on_goaway(self, frame: H2FrameGoAway, events: list[Event]) -> None:
        self._going_away = True
        if frame.error_code != NO_ERROR:
            raise ConnectionFailure(NO_ERROR, f"GOAWAY received ({frame.error_code})")

    def _on_headers(self, frame: H2FrameHeaders, events: list[Event]) -> None:
        sid = frame.stream_id
        if sid % 2 == 0:
            raise ConnectionFailure(PROTOCOL_ERROR, "client opened an even stream")
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
            events.append(RequestEnded(sid, pairs(frame.headers)))
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
        headers = pairs(frame.headers)
        stream = H2Stream(sid, self._peer_window, self.limits.stream_buffer)
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

    def _recv_ended(self, stream: H2Stream, trailers: Headers | None, events: list[Event]) -> None:
        events.append(RequestEnded(stream.sid, trailers))

    def _data_refused(self, stream: H2Stream, n: int, events: list[Event]) -> bool:
        if stream.received <= self.limits.max_body_size:
            return False
        self._give_back(None, n)
        if stream.started:
            self._reset(stream.sid, CANCEL)
        else:
            self._answer(stream, 413)
        stream.aborted = True
        events.append(StreamAborted(stream.sid, CANCEL, "request body too large"))
        self._drop_if_done(stream)
        return True

    def _on_peer_reset(self, stream: H2Stream, code: int, events: list[Event]) -> None:
        if not stream.started:
            self._early_reset()
        super()._on_peer_reset(stream, code, events)

    def _early_reset(self) -> None:
        """A stream refused, or reset by the peer before its response began:
        a peer doing that to most of its streams makes us work for nothing."""
        c = self._counters
        c.early_resets += 1
        if c.early_resets > self.limits.max_rapid_resets and 2 * c.early_resets > c.opened:
            raise ConnectionFailure(ENHANCE_YOUR_CALM, "too many streams reset")

    # ------------------------------------------------------------- send

    def start_response(self, stream_id: int, status: int, headers: Headers, end_stream: bool = False) -> None:
        stream = self._sendable(stream_id)
        if stream.started:
            raise RuntimeError("response already started")
        if status == 101:
            raise ValueError("101 Switching Protocols does not exist on HTTP/2")
        informational = 100 <= status < 200
        # Names as bytes: the map takes them as they are (no decoding).
        hm = HeaderMap(
            [
                (name, value)
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
        self._queue_body(stream, data, end_stream)

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
                    hm.add(name, value)
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

    def _sendable(self, stream_id: int) -> H2Stream:
        stream = self._streams.get(stream_id)
        if stream is None or stream.aborted or self._ended:
            raise RuntimeError(f"stream {stream_id} cannot take a response")
        return stream

    def _after_send_end(self, stream: H2Stream) -> None:
        if stream.state.is_recv_streaming():
            # The response is complete before the request: the peer may stop
            # sending it (an early answer such as 413).
            self._reset(stream.sid, NO_ERROR)

    def _answer(self, stream: H2Stream, status: int) -> None:
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
