"""The sans-IO HTTP/2 client connection: the shared HTTP/2 machinery
(``vintrel._sansio.h2``) with the policy a client needs (requests on odd
streams, responses checked, the peer's concurrency limit, GOAWAY retries).

Choices of this connection (the shared ones are listed in
``vintrel._sansio.h2``):

* Until the server's first SETTINGS, at most 100 streams are opened; after
  it, its SETTINGS_MAX_CONCURRENT_STREAMS (no limit if it gives none).
* A response that ends (END_STREAM) while the request body is still going
  out stops the upload: the rest is dropped and the stream reset
  (CANCEL), since nothing more of it will be read.
* A response without a body (HEAD, 204, 304, content-length 0) is reported
  ended with its head; DATA with bytes on it is a stream error.
* Push is disabled in our SETTINGS, so PUSH_PROMISE is a connection error.
"""

from __future__ import annotations

from typing import Any

from .._sansio.h2 import CONNECTION_FIELDS, PREFACE, ConnectionFailure, H2Connection, H2Stream, pairs
from .._vintrel import H2FrameGoAway, H2FrameHeaders, H2FrameSettings, HeaderMap
from .._sansio.events import CANCEL, NO_ERROR, PROTOCOL_ERROR, REFUSED_STREAM, STREAM_CLOSED
from ._events import Event, Headers, InformationalReceived, ResponseEnded, ResponseReceived, StreamAborted

_ASSUMED_MAX_STREAMS = 100  # before the server's first SETTINGS
_UNLIMITED = 2**31 - 1
_LAST_STREAM_ID = 2**31 - 1


class H2ClientConnection(H2Connection):
    """One HTTP/2 connection, client side, without I/O (see ClientConnection)."""

    _malformed = "malformed response"
    _flood_reason = "too many frames without a response"

    def __init__(
        self,
        *,
        max_head_size: int = 65536,
        stream_buffer: int = 1024 * 1024,
        connection_buffer: int = 16 * 1024 * 1024,
        max_control_frames: int = 10000,
    ) -> None:
        super().__init__(
            "client",
            max_head_size=max_head_size,
            stream_buffer=stream_buffer,
            connection_buffer=connection_buffer,
            max_control_frames=max_control_frames,
        )
        self._next_sid = 1
        self._max_streams = _ASSUMED_MAX_STREAMS
        self._settled = False  # the server's first SETTINGS came
        self._out.append(PREFACE)
        self._announce(
            self._codec.serialize_settings(
                enable_push=False, initial_window_size=stream_buffer, max_header_list_size=max_head_size
            ),
            connection_buffer,
        )

    # ------------------------------------------------------------ state

    @property
    def can_start(self) -> bool:
        return (
            not self._ended
            and not self._going_away
            and self._next_sid <= _LAST_STREAM_ID
            and self.open_streams < self._max_streams
        )

    @property
    def settled(self) -> bool:
        """The server's first SETTINGS came: its concurrent-stream limit is
        known. A driver that starts many requests on a new connection waits
        for this, or some may be refused."""
        return self._settled

    @property
    def reusable(self) -> bool:
        return not self._ended and not self._going_away and self._next_sid <= _LAST_STREAM_ID

    @property
    def max_streams(self) -> int:
        return self._max_streams

    @property
    def open_streams(self) -> int:
        return sum(1 for s in self._streams.values() if s.app_running and not s.aborted)

    # ------------------------------------------------------------- send

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
        if not self.can_start:
            raise RuntimeError("the connection cannot start a request now")
        hm = HeaderMap()
        host: str | None = None
        for name, value in headers:
            name = name.lower()
            if name in CONNECTION_FIELDS:
                continue
            if name == b"host":
                host = host or value.decode("latin-1")
                continue
            if name == b"te":
                if not any(v.strip().lower() == b"trailers" for v in value.split(b",")):
                    continue
                value = b"trailers"
            hm.add(name, value)
        authority = authority if authority is not None else host
        if method == "CONNECT":
            url = target
        elif "://" in target:
            url = target  # absolute form: its authority is the request's
        elif authority is None:
            raise ValueError("an HTTP/2 request needs an authority (or a host field)")
        else:
            url = f"{scheme}://{authority}{'' if target == '*' else target}"
        sid = self._next_sid
        # Encoded and queued in one step (an invalid method or URL raises
        # before anything changes): header blocks reach the peer in the
        # order the HPACK encoder made them.
        block = self._codec.serialize_request_headers(sid, method, url, hm, end_stream)
        self._next_sid += 2
        stream = H2Stream(sid, self._peer_window, self._stream_buffer)
        stream.head_only = method == "HEAD"
        stream.state.send_open(end_stream)
        self._streams[sid] = stream
        self._out.append(block)
        if end_stream:
            stream.end_queued = True
        return sid

    def _live(self, stream_id: int) -> H2Stream | None:
        """The stream if its request body may still go out."""
        stream = self._streams.get(stream_id)
        if stream is None or stream.aborted or stream.reset_done or stream.finished or self._ended:
            return None
        if stream.end_queued:
            raise RuntimeError(f"stream {stream_id}: the request already ended")
        return stream

    def send_body(self, stream_id: int, data: bytes, end_stream: bool = False) -> None:
        stream = self._live(stream_id)
        if stream is not None:
            self._queue_body(stream, data, end_stream)

    def send_trailers(self, stream_id: int, trailers: Headers) -> None:
        stream = self._live(stream_id)
        if stream is None:
            return
        hm = self._trailer_map(trailers)
        stream.trailers = hm if len(hm) else None
        stream.end_queued = True
        self._flush(stream)

    def reset_stream(self, stream_id: int) -> None:
        stream = self._streams.get(stream_id)
        if stream is None:
            return
        stream.queue.clear()
        stream.queued = 0
        stream.aborted = True
        if not stream.reset_done and not stream.state.is_closed():
            self._reset(stream_id, CANCEL)
        stream.reset_done = True
        self._drop_if_done(stream)
        self._check_end(self._ready)

    def stream_done(self, stream_id: int) -> None:
        stream = self._streams.get(stream_id)
        if stream is None:
            return
        stream.app_running = False
        if not stream.reset_done and not stream.state.is_closed():
            # Abandoned before both directions ended.
            stream.queue.clear()
            stream.queued = 0
            self._reset(stream_id, CANCEL)
        self._drop_if_done(stream)
        self._check_end(self._ready)

    def close(self) -> None:
        if self._ended:
            return
        if not self._going_away:
            self._going_away = True
            self._out.append(self._codec.serialize_go_away(0, NO_ERROR, None))
        self._check_end(self._ready)

    # ---------------------------------------------------------- receive

    def _peer_stream(self, sid: int) -> bool:
        return False  # push is disabled: the server opens no stream

    def _is_idle(self, sid: int) -> bool:
        return sid % 2 == 0 or sid >= self._next_sid

    def _releasable(self, stream: H2Stream) -> bool:
        return not stream.app_running or stream.aborted

    def _on_settings_extra(self, frame: H2FrameSettings) -> None:
        if frame.max_concurrent_streams is not None:
            self._max_streams = frame.max_concurrent_streams
        elif not self._settled:
            self._max_streams = _UNLIMITED
        self._settled = True

    def _aborted(self, stream: H2Stream, code: int, reason: str, events: list[Any], retryable: bool = False) -> None:
        if not stream.finished:  # after ResponseEnded the caller needs no word
            events.append(StreamAborted(stream.sid, code, reason, retryable))

    def _on_peer_reset(self, stream: H2Stream, code: int, events: list[Event]) -> None:
        if stream.aborted or stream.finished:
            # A complete response stays; the upload stops (RST_STREAM
            # NO_ERROR after a response asks exactly that).
            return
        stream.aborted = True
        self._aborted(stream, code, "stream reset by peer", events, code == REFUSED_STREAM)

    def _on_goaway(self, frame: H2FrameGoAway, events: list[Event]) -> None:
        self._going_away = True
        last = frame.last_stream_id
        for stream in list(self._streams.values()):
            if stream.sid > last and not stream.aborted:
                # Never processed: safe to send again elsewhere.
                stream.aborted = True
                stream.reset_done = True
                stream.queue.clear()
                stream.queued = 0
                self._remember_reset(stream.sid)
                self._aborted(stream, REFUSED_STREAM, "not processed by the server (GOAWAY)", events, True)
                self._drop_if_done(stream)
        if frame.error_code != NO_ERROR:
            raise ConnectionFailure(frame.error_code, f"GOAWAY received ({frame.error_code})", reply=NO_ERROR)

    def _on_headers(self, frame: H2FrameHeaders, events: list[Event]) -> None:
        sid = frame.stream_id
        stream = self._streams.get(sid)
        if stream is None:
            if self._is_idle(sid):
                raise ConnectionFailure(PROTOCOL_ERROR, "HEADERS on a stream the client did not open")
            if sid not in self._reset_set:
                self._reset(sid, STREAM_CLOSED)
            return
        if stream.reset_done or stream.aborted:
            return
        state = stream.state
        if state.is_recv_streaming():
            # A second block ends the response: its trailers.
            if not frame.end_stream or frame.status is not None:
                self._stream_error(sid, PROTOCOL_ERROR, events, "malformed trailers")
                return
            if frame.truncated:
                self._stream_error(sid, PROTOCOL_ERROR, events, "trailers larger than max_head_size")
                return
            state.recv_close()
            if not self._length_ok(stream):
                self._stream_error(sid, PROTOCOL_ERROR, events, "body shorter than content-length")
                return
            self._recv_ended(stream, pairs(frame.headers), events)
            return
        if not state.is_recv_headers():
            self._stream_error(sid, STREAM_CLOSED, events, "HEADERS on a closed stream")
            return
        status = frame.status
        if status is None or not 100 <= status <= 999 or frame.method is not None or frame.path is not None:
            self._stream_error(sid, PROTOCOL_ERROR, events, "malformed response head")
            return
        if frame.truncated:  # the codec dropped what passed the header-list size
            self._stream_error(sid, PROTOCOL_ERROR, events, "response head larger than max_head_size")
            return
        headers = pairs(frame.headers)
        if status < 200:
            if status == 101 or frame.end_stream:
                self._stream_error(sid, PROTOCOL_ERROR, events, f"invalid informational response {status}")
                return
            state.recv_open(False, True)
            events.append(InformationalReceived(sid, status, headers))
            return
        declared: int | None = None
        for name, value in headers:
            if name == b"content-length":
                try:
                    n = int(value)
                except ValueError:
                    n = -1
                if n < 0 or (declared is not None and n != declared):
                    self._stream_error(sid, PROTOCOL_ERROR, events, "invalid content-length")
                    return
                declared = n
        no_body = stream.head_only or status in (204, 304)
        # A response to HEAD (or a 304) declares the length of the body it
        # does not carry: none may come either way.
        stream.declared = 0 if no_body else declared
        state.recv_open(frame.end_stream, False)
        stream.started = True
        if frame.end_stream and stream.declared:
            self._stream_error(sid, PROTOCOL_ERROR, events, "body shorter than content-length")
            return
        ended = frame.end_stream or stream.declared == 0
        events.append(ResponseReceived(sid, status, headers, "2", ended))
        if frame.end_stream:
            self._recv_ended(stream, None, events)
        elif ended:
            # Nothing more can be in the response; its END_STREAM (an empty
            # DATA or trailers) is taken quietly when it comes.
            stream.finished = True
            events.append(ResponseEnded(sid, None))

    def _recv_ended(self, stream: H2Stream, trailers: Headers | None, events: list[Event]) -> None:
        if not stream.finished:
            stream.finished = True
            events.append(ResponseEnded(stream.sid, trailers))
        if not stream.state.is_send_closed() and not stream.reset_done:
            # The response is complete before the request: the rest of the
            # upload is not needed.
            stream.queue.clear()
            stream.queued = 0
            self._reset(stream.sid, CANCEL)
        self._drop_if_done(stream)
