"""The HTTP/1.1 server connection: one request at a time on H1Codec and
H1BodyDecoder, without I/O.

A request head is parsed only when no response is in flight; the bytes of a
pipelined next request wait, unparsed, until the response before it is
complete. A response that completes before its request body is read whole
keeps the connection: the rest of the body is read and dropped (no events),
under the same size cap, unless the client still waits for a
``100 Continue`` it never got: that response closes the connection.

Error codes in the events use the HTTP/2 numbers so a driver reads both
protocols alike: 0 a clean end (peer closed, ``connection: close``,
shutdown), 1 PROTOCOL_ERROR (a malformed head or body, answered 400),
2 INTERNAL_ERROR (``reset_stream``, a response shorter than its
content-length), 8 CANCEL (the request's stream when the peer closed),
11 ENHANCE_YOUR_CALM (a limit, answered 413, 414 or 431).
"""

from __future__ import annotations

from .._sansio.h1 import FORBIDDEN_TRAILERS as _FORBIDDEN_TRAILERS
from .._sansio.h1 import has_token as _has_token
from .._sansio.h1 import pairs as _pairs
from .._vintrel import H1BodyDecoder, H1Codec, H1RequestHead, HeaderMap
from ._events import (
    CANCEL,
    ENHANCE_YOUR_CALM,
    INTERNAL_ERROR,
    NO_ERROR,
    PROTOCOL_ERROR,
    BodyReceived,
    ConnectionEnded,
    Event,
    Headers,
    RequestEnded,
    RequestReceived,
    StreamAborted,
)
from ._limits import Limits

CONTINUE = b"HTTP/1.1 100 Continue\r\n\r\n"

_REASONS = {
    100: "Continue",
    102: "Processing",
    103: "Early Hints",
    400: "Bad Request",
    413: "Content Too Large",
    414: "URI Too Long",
    431: "Request Header Fields Too Large",
    500: "Internal Server Error",
    503: "Service Unavailable",
}

# Response fields the connection decides itself: the framing comes from
# content-length (kept) or the connection's choice, and keep-alive from
# the request, the application's `connection: close` and shutdown.
_HOP_FIELDS = frozenset({b"connection", b"transfer-encoding", b"keep-alive"})

# Response states of a request.
_NONE, _STARTED, _DONE = 0, 1, 2


def error_response(status: int, *, head_only: bool = False) -> bytes:
    """A small fixed answer the connection (or a driver refusing a
    connection, 503) writes on its own: ``connection: close``, a
    ``content-length`` and a one-line text body (left out for a HEAD
    request)."""
    body = f"{status} {_REASONS.get(status, '')}\n".encode()
    fields = HeaderMap([("content-type", "text/plain; charset=utf-8"), ("connection", "close")])
    # A fresh codec: the connection's own one would frame the answer for
    # the method of the last request it parsed.
    head = H1Codec().serialize_response(status, fields, keep_alive=False, content_length=len(body))
    return head if head_only else head + body


class _Request:
    """The request in flight: what its response needs to know."""

    __slots__ = (
        "stream_id",
        "method",
        "http10",
        "keep_alive",
        "expect_continue",
        "trailers_accepted",
        "open",
        "body_done",
        "received",
        "unconsumed",
        "continue_sent",
        "response",
        "close",
        "chunked",
        "declared_trailers",
    )

    def __init__(
        self, stream_id: int, head: H1RequestHead, method: str, http10: bool, kind: str, trailers_accepted: bool
    ) -> None:
        self.stream_id = stream_id
        self.method = method
        self.http10 = http10
        # False for HTTP/1.0 without keep-alive, `connection: close` and a
        # request with both Content-Length and Transfer-Encoding.
        self.keep_alive = head.keep_alive
        # An HTTP/1.0 client cannot take a 100; a request without a body
        # needs none.
        self.expect_continue = head.expect_continue and not http10 and kind != "empty"
        self.trailers_accepted = trailers_accepted
        self.open = True  # the stream: until the response completes or aborts
        self.body_done = False
        self.received = 0  # body bytes decoded, for the size cap
        self.unconsumed = 0  # body bytes reported and not yet consumed
        self.continue_sent = False
        self.response = _NONE
        self.close = False  # the response is the connection's last
        self.chunked = False
        self.declared_trailers = False


class H1ServerConnection:
    """One HTTP/1.1 server connection (HTTP/1.0 requests too), sans-IO.

    Events come from ``receive``, ``receive_eof`` and ``take_events``: the
    methods the driver calls to answer (``send_body`` completing a response,
    ``shutdown``...) queue events such as the pipelined request parsed once
    the response before it is complete, or ConnectionEnded after a last
    response; the driver takes them after each such call.
    """

    http_version = "1.1"

    def __init__(self, limits: Limits = Limits()) -> None:
        self._limits = limits
        self._codec = H1Codec()
        self._out = bytearray()
        self._events: list[Event] = []
        self._ended = False
        self._shutting_down = False
        self._last_stream_id = 0
        # The latest request; a finished one stays only until the next head.
        self._req: _Request | None = None
        # The body being read: the open request's, or one being dropped
        # after its response completed.
        self._decoder: H1BodyDecoder | None = None
        # Bytes received after the body of the request in flight: the start
        # of the next request, parsed when the response is complete.
        self._held = bytearray()
        # The connection ended while the peer may still be sending (a body
        # refused or left unread, a head refused): the driver half-closes and
        # drains before closing, so the answer is not lost to a reset.
        self.linger = False

    # ------------------------------------------------------------ receiving

    def receive(self, data: bytes) -> list[Event]:
        if data and not self._ended:
            if self._decoder is not None:
                self._decoder.feed(data)
                self._read_body()
            elif self._req is not None and self._req.open:
                self._held += data
            else:
                self._read_head(bytes(data))
        return self.take_events()

    def receive_eof(self) -> list[Event]:
        if not self._ended:
            self._end(NO_ERROR, "peer closed the connection", stream_code=CANCEL)
        return self.take_events()

    def take_events(self) -> list[Event]:
        """The events queued since the last call (receive and receive_eof
        return them too)."""
        events, self._events = self._events, []
        return events

    def _read_head(self, data: bytes) -> None:
        codec = self._codec
        limit = self._limits.max_head_size
        before = codec.buffered()
        try:
            head = codec.receive_request_head(data)
        except ValueError as exc:
            text = str(exc)
            if "too large" in text:
                self._refuse(431, text)
            elif "URI too long" in text:
                self._refuse(414, text)
            else:
                self._refuse(400, text, code=PROTOCOL_ERROR)
            return
        if head is None:
            if codec.buffered() > limit:
                self._refuse(431, "request head larger than max_head_size")
            return
        # A head that arrived whole in one read is held to the cap as well.
        if before + len(data) - codec.buffered() > limit:
            self._refuse(431, "request head larger than max_head_size")
            return
        rest = codec.take_body()
        kind = head.body_kind
        method = head.method
        if kind == "length" and (head.content_length or 0) > self._limits.max_body_size:
            # Refused before the application sees it, so never after a 100.
            self._refuse(413, "declared request body larger than max_body_size", head_only=method == "HEAD")
            return
        self._last_stream_id += 1
        sid = self._last_stream_id
        fields = head.headers
        http10 = head.http10
        te = fields.get_all("te")
        accepted = bool(te) and not http10 and _has_token(te, b"trailers")
        req = self._req = _Request(sid, head, method, http10, kind, accepted)
        no_body = kind not in ("length", "chunked")
        self._events.append(
            RequestReceived(
                sid, method, head.target, _pairs(fields) or [], "1.0" if http10 else "1.1", None, no_body, accepted
            )
        )
        if no_body:
            req.body_done = True
            self._events.append(RequestEnded(sid, None))
            self._held += rest
        else:
            self._decoder = H1BodyDecoder(kind, head.content_length or 0)
            self._decoder.feed(rest)
            self._read_body()

    def _read_body(self) -> None:
        decoder, req = self._decoder, self._req
        assert decoder is not None and req is not None
        cap = self._limits.max_body_size
        parts: list[bytes] = []
        while True:
            try:
                chunk = decoder.decode()
            except ValueError as exc:
                self._answer_failure(400, PROTOCOL_ERROR, str(exc))
                return
            if chunk is None:
                break
            req.received += len(chunk)
            if req.received > cap:
                self._answer_failure(413, ENHANCE_YOUR_CALM, "request body larger than max_body_size")
                return
            if req.open:
                parts.append(chunk)
        if parts:
            data = parts[0] if len(parts) == 1 else b"".join(parts)
            req.unconsumed += len(data)
            self._events.append(BodyReceived(req.stream_id, data))
        if not decoder.is_complete:
            return
        self._decoder = None
        req.body_done = True
        rest = decoder.take_buffered()
        if req.open:
            self._events.append(RequestEnded(req.stream_id, _pairs(decoder.take_trailers())))
            self._held += rest
        elif rest:
            # The end of a body dropped after its response: what follows is
            # the next request.
            self._read_head(rest)

    def _answer_failure(self, status: int, code: int, reason: str) -> None:
        """A bad or oversized body: answered if no response started, then
        the stream (if still open) aborts and the connection ends."""
        req = self._req
        if req is not None and req.open and req.response == _NONE:
            self._out += error_response(status, head_only=req.method == "HEAD")
        self._end(code, reason)

    def _refuse(self, status: int, reason: str, *, code: int = ENHANCE_YOUR_CALM, head_only: bool = False) -> None:
        self._out += error_response(status, head_only=head_only)
        self._end(code, reason)

    def _end(self, code: int, reason: str, *, stream_code: int | None = None) -> None:
        if self._ended:
            return
        self.linger = self._decoder is not None or code not in (NO_ERROR, INTERNAL_ERROR)
        req = self._req
        if req is not None and req.open:
            req.open = False
            self._events.append(StreamAborted(req.stream_id, code if stream_code is None else stream_code, reason))
        self._ended = True
        self._events.append(ConnectionEnded(code, reason))
        self._decoder = None
        self._held = bytearray()

    # ------------------------------------------------------------ answering

    def _stream(self, stream_id: int) -> _Request:
        req = self._req
        if self._ended or req is None or req.stream_id != stream_id or not req.open:
            raise RuntimeError(f"stream {stream_id} cannot take a response (finished, aborted or unknown)")
        return req

    def start_response(self, stream_id: int, status: int, headers: Headers, end_stream: bool = False) -> None:
        req = self._stream(stream_id)
        if req.response != _NONE:
            raise RuntimeError(f"stream {stream_id}: the response already started")
        if 100 <= status < 200:
            self._informational(req, status, headers)
            return
        if not 200 <= status <= 599:
            raise ValueError(f"invalid status code {status}")
        kept: Headers = []
        app_close = False
        lengths: list[bytes] = []
        declared_trailers = False
        for name, value in headers:
            lower = name.lower()
            if lower in _HOP_FIELDS:
                if lower == b"connection":
                    app_close = app_close or _has_token([value], b"close")
                continue
            if lower == b"content-length":
                lengths.append(value)
                if status == 204:
                    continue  # a 204 carries no length
            elif lower == b"trailer":
                declared_trailers = True
            kept.append((name, value))
        fields = HeaderMap(kept)
        length: int | None = None
        if len(lengths) == 1:
            if not lengths[0].strip().isdigit():
                raise ValueError("response content-length values are not one decimal length")
            length = int(lengths[0])
        elif lengths:
            if not all(v.strip().isdigit() for v in lengths) or len({int(v) for v in lengths}) != 1:
                raise ValueError("response content-length values are not one decimal length")
            length = int(lengths[0])
        bodyless = status in (204, 304) or req.method == "HEAD"
        chunked = length is None and not end_stream
        close = (
            not req.keep_alive
            or self._shutting_down
            or app_close
            # The client may still hold the body back for a 100 it never got.
            or (req.expect_continue and not req.continue_sent and not req.body_done)
            # A tunnel would follow; this connection serves none.
            or (req.method == "CONNECT" and status < 300)
            # HTTP/1.0 has no chunking: the body ends with the connection.
            or (chunked and req.http10 and not bodyless)
        )
        if close:
            fields.add("connection", "close")
        elif req.http10:
            fields.add("connection", "keep-alive")
        head = self._codec.serialize_response(
            status,
            fields,
            keep_alive=not close,
            http10=req.http10,
            content_length=length,  # none and not chunked: content-length: 0
            chunked=chunked,
        )
        req.response = _STARTED
        req.close = close
        req.chunked = chunked and not bodyless and not req.http10
        req.declared_trailers = declared_trailers
        self._out += head
        if end_stream:
            self._end_response(req, None)

    def _informational(self, req: _Request, status: int, headers: Headers) -> None:
        if status == 101:
            raise ValueError("101 Switching Protocols: this connection does not upgrade")
        fields = HeaderMap(headers)  # validates names and values
        if req.http10:
            return  # an HTTP/1.0 client takes no informational response
        if status == 100:
            if req.continue_sent or req.body_done:
                return
            req.continue_sent = True
        lines = [f"HTTP/1.1 {status} {_REASONS.get(status, '')}\r\n".encode()]
        lines += [b"%s: %s\r\n" % (name.encode(), value) for name, value in fields.items()]
        self._out += b"".join(lines) + b"\r\n"

    def send_body(self, stream_id: int, data: bytes, end_stream: bool = False) -> None:
        req = self._stream(stream_id)
        if req.response != _STARTED:
            raise RuntimeError(f"stream {stream_id}: send_body before start_response")
        if data:
            # Past a declared length (and for HEAD, 204, 304) the codec cuts.
            self._out += self._codec.serialize_data(data)
        if end_stream:
            self._end_response(req, None)

    def send_trailers(self, stream_id: int, trailers: Headers) -> None:
        req = self._stream(stream_id)
        if req.response != _STARTED:
            raise RuntimeError(f"stream {stream_id}: send_trailers before start_response")
        self._end_response(req, trailers)

    def _end_response(self, req: _Request, trailers: Headers | None) -> None:
        codec = self._codec
        if trailers and req.trailers_accepted and req.chunked:
            fields = HeaderMap(trailers)
            if req.declared_trailers:
                # The codec sends the names the head declared.
                self._out += codec.serialize_trailers(fields)
            else:
                codec.serialize_end()
                lines = [b"0\r\n"]
                lines += [
                    b"%s: %s\r\n" % (name.encode(), value)
                    for name, value in fields.items()
                    if name not in _FORBIDDEN_TRAILERS
                ]
                self._out += b"".join(lines) + b"\r\n"
        else:
            try:
                self._out += codec.serialize_end()
            except ValueError:
                # Fewer bytes than the head promised: the client can only
                # learn it from the connection ending.
                self._end(INTERNAL_ERROR, "response body shorter than its content-length")
                return
        req.response = _DONE
        req.open = False
        if req.close:
            self._end(NO_ERROR, "connection: close")
        elif self._held:  # only once the body was read whole
            rest = bytes(self._held)
            self._held.clear()
            self._read_head(rest)
        # else: the rest of the request body is read and dropped, or the
        # connection is idle.

    def reset_stream(self, stream_id: int) -> None:
        req = self._req
        if self._ended or req is None or req.stream_id != stream_id or not req.open:
            return
        # A response cannot be cut short on HTTP/1.1 but by the connection.
        req.open = False
        self._end(INTERNAL_ERROR, "the application failed mid-response")

    def application_done(self, stream_id: int) -> None:
        # One request runs at a time, so the limit is kept by the driver; an
        # application that ended without finishing its response ends the
        # connection like a reset.
        self.reset_stream(stream_id)

    def continue_body(self, stream_id: int) -> None:
        req = self._req
        if self._ended or req is None or req.stream_id != stream_id or not req.open:
            return
        if req.expect_continue and not req.continue_sent and req.response == _NONE and not req.body_done:
            req.continue_sent = True
            self._out += CONTINUE

    def body_consumed(self, stream_id: int, n: int) -> None:
        req = self._req
        if req is not None and req.stream_id == stream_id:
            req.unconsumed = max(0, req.unconsumed - n)

    def pending(self, stream_id: int) -> int:
        return 0  # everything queued is in data_to_send() at once

    def data_to_send(self) -> bytes:
        if not self._out:
            return b""
        out = bytes(self._out)
        self._out.clear()
        return out

    def shutdown(self) -> None:
        if self._ended:
            return
        self._shutting_down = True
        req = self._req
        if req is None or not req.open:
            self._end(NO_ERROR, "shutdown")
        elif req.response == _STARTED:
            req.close = True  # ends once the response is complete
        # else: its head will say connection: close. Either way pipelined
        # requests behind it are not served.

    @property
    def open_streams(self) -> int:
        req = self._req
        return 1 if req is not None and req.open and not self._ended else 0

    @property
    def wants_read(self) -> bool:
        if self._ended:
            return False
        req = self._req
        if req is not None and req.open:
            return not self._held and req.unconsumed <= self._limits.stream_buffer
        return True

    @property
    def ended(self) -> bool:
        return self._ended
