"""The HTTP/1.1 client connection: one request at a time on H1Codec and
H1BodyDecoder, without I/O.

Choices of this connection:

* The request's framing comes from its fields: a ``content-length`` field
  is that length; otherwise a request given with ``end_stream`` has no body
  and any other is sent chunked. Trailers go out only on a chunked body
  that declared them in a ``trailer`` field.
* Informational heads (1xx) are reported one by one; 101 only answers a
  request that asked to upgrade (or it is a protocol error). After a 101,
  or a 2xx to CONNECT, the connection is a tunnel: its bytes come as
  BodyReceived, the peer's close ends the "response", and ``send_body``
  writes raw bytes.
* A final response that completes before the request body was sent whole
  (an early 413) is kept; the rest of the upload is dropped and the
  connection is not reused.
* A reused connection closed before any byte of the response makes the
  request retryable (the server closed it as idle); on a fresh connection
  it does not.
* Bytes from the server while no request waits for them end the
  connection; so does any error, or a request given up mid-exchange.

Error codes in the events use the HTTP/2 numbers: 0 a clean end,
1 PROTOCOL_ERROR (a malformed or cut response), 8 CANCEL (the connection
closed before the response began), 11 ENHANCE_YOUR_CALM (a head past
``max_head_size``).
"""

from __future__ import annotations

import re

from .._sansio.events import CANCEL, ENHANCE_YOUR_CALM, NO_ERROR, PROTOCOL_ERROR
from .._sansio.h1 import FORBIDDEN_TRAILERS, has_token, pairs
from .._vintrel import H1BodyDecoder, H1Codec, HeaderMap
from ._events import (
    BodyReceived,
    ConnectionEnded,
    Event,
    Headers,
    InformationalReceived,
    ResponseEnded,
    ResponseReceived,
    StreamAborted,
)

_INFORMATIONAL = re.compile(rb"HTTP/1\.[01] (1\d\d)(?:[ \r]|$)")
_BODY_METHODS = frozenset({"POST", "PUT", "PATCH"})


class _Exchange:
    __slots__ = (
        "sid", "method", "upgrade", "close", "request_done", "head", "decoder", "tunnel", "got_bytes",
        "response_done", "unconsumed", "aborted", "remaining",
    )

    def __init__(self, sid: int, method: str, upgrade: bool, close: bool) -> None:
        self.sid = sid
        self.method = method
        self.upgrade = upgrade  # the request asked for a 101
        self.close = close  # the request said connection: close
        self.request_done = False
        self.head = False  # the final head came
        self.decoder: H1BodyDecoder | None = None
        self.tunnel = False
        self.got_bytes = False  # any byte of the response came
        self.response_done = False
        self.unconsumed = 0
        self.aborted = False
        # Body bytes still due of a content-length body: those are passed on
        # as received, without the decoder's two copies.
        self.remaining: int | None = None


class H1ClientConnection:
    """One HTTP/1.1 client connection, sans-IO (see ClientConnection)."""

    http_version = "1.1"

    def __init__(self, *, max_head_size: int = 65536, stream_buffer: int = 1024 * 1024) -> None:
        self._max_head = max_head_size
        self._stream_buffer = stream_buffer
        self._codec = H1Codec()
        self._out = bytearray()
        self._events: list[Event] = []
        self._ended = False
        self._reusable = True
        self._closing = False
        self._last_sid = 0
        self._completed = 0  # exchanges completed on this connection
        self._ex: _Exchange | None = None
        self._head_buf = bytearray()  # head bytes scanned for 1xx heads
        self._direct = False  # the final head is going to the codec

    # ------------------------------------------------------------ state

    @property
    def can_start(self) -> bool:
        return not self._ended and self._reusable and not self._closing and self._ex is None

    @property
    def reusable(self) -> bool:
        return not self._ended and self._reusable and not self._closing

    @property
    def max_streams(self) -> int:
        return 1

    @property
    def open_streams(self) -> int:
        ex = self._ex
        return 1 if ex is not None and not ex.aborted and not self._ended else 0

    @property
    def wants_read(self) -> bool:
        if self._ended:
            return False
        ex = self._ex
        return ex is None or ex.unconsumed <= self._stream_buffer

    @property
    def ended(self) -> bool:
        return self._ended

    def pending(self, stream_id: int) -> int:
        return 0  # everything queued is in data_to_send() at once

    def take_events(self) -> list[Event]:
        events, self._events = self._events, []
        return events

    def data_to_send(self) -> bytes:
        if not self._out:
            return b""
        out = bytes(self._out)
        self._out.clear()
        return out

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
        kept: Headers = []
        length: int | None = None
        chunked = False
        has_host = upgrade = close = False
        for name, value in headers:
            lower = name.lower()
            if lower == b"content-length":
                if not value.strip().isdigit() or (length is not None and int(value) != length):
                    raise ValueError("request content-length values are not one decimal length")
                length = int(value)
                continue  # the codec writes it
            if lower == b"transfer-encoding":
                chunked = chunked or has_token([value], b"chunked")
                continue
            if lower == b"host":
                has_host = True
            elif lower == b"upgrade":
                upgrade = True
            elif lower == b"connection":
                close = close or has_token([value], b"close")
            kept.append((lower, value))
        if not has_host and authority is not None:
            kept.insert(0, (b"host", authority.encode("latin-1")))
        if method == "CONNECT":
            # No body: what follows a 2xx is the tunnel's.
            length, chunked, end_stream = None, False, True
        elif length is None and not chunked and end_stream and method in _BODY_METHODS:
            length = 0
        chunked = length is None and (chunked or not end_stream)
        head = self._codec.serialize_request(
            method, target, HeaderMap(kept), content_length=None if chunked else length, chunked=chunked
        )
        self._last_sid += 1
        ex = self._ex = _Exchange(self._last_sid, method, upgrade or method == "CONNECT", close)
        self._head_buf.clear()
        self._direct = False
        self._out += head
        if end_stream:
            self._end_request(ex, None)
        return ex.sid

    def _sendable(self, stream_id: int) -> _Exchange | None:
        ex = self._ex
        if self._ended or ex is None or ex.sid != stream_id or ex.aborted:
            return None  # dropped silently: aborted, finished or unknown
        if ex.tunnel:
            return ex
        if ex.response_done:
            return None
        if ex.request_done:
            raise RuntimeError(f"stream {stream_id}: the request already ended")
        return ex

    def send_body(self, stream_id: int, data: bytes, end_stream: bool = False) -> None:
        ex = self._sendable(stream_id)
        if ex is None:
            return
        if ex.tunnel:
            self._out += data
            return
        if data:
            self._out += self._codec.serialize_data(bytes(data))
        if end_stream:
            self._end_request(ex, None)

    def send_trailers(self, stream_id: int, trailers: Headers) -> None:
        ex = self._sendable(stream_id)
        if ex is None or ex.tunnel:
            return
        self._end_request(ex, trailers)

    def _end_request(self, ex: _Exchange, trailers: Headers | None) -> None:
        try:
            if trailers:
                kept = [(n.lower(), v) for n, v in trailers if n.lower().decode("latin-1") not in FORBIDDEN_TRAILERS]
                # The codec sends the names the head declared (else none).
                self._out += self._codec.serialize_trailers(HeaderMap(kept))
            else:
                self._out += self._codec.serialize_end()
        except ValueError:
            # Shorter than its content-length: the server waits for bytes
            # that will not come.
            self._reusable = False
            raise
        ex.request_done = True
        self._maybe_finished(ex)

    def reset_stream(self, stream_id: int) -> None:
        ex = self._ex
        if self._ended or ex is None or ex.sid != stream_id or ex.aborted:
            return
        if ex.response_done and ex.request_done and not ex.tunnel:
            return
        # An exchange cannot be cut short on HTTP/1.1 but by the connection.
        ex.aborted = True
        self._end(NO_ERROR, "request cancelled")

    def body_consumed(self, stream_id: int, n: int) -> None:
        ex = self._ex
        if ex is not None and ex.sid == stream_id:
            ex.unconsumed = max(0, ex.unconsumed - n)

    def stream_done(self, stream_id: int) -> None:
        ex = self._ex
        if ex is None or ex.sid != stream_id:
            return
        if not ex.aborted and not (ex.response_done and ex.request_done) or ex.tunnel:
            self.reset_stream(stream_id)
        self._ex = None
        if not self._ended and (not self._reusable or self._closing):
            self._end(NO_ERROR, "connection finished")

    def close(self) -> None:
        if self._ended:
            return
        self._closing = True
        ex = self._ex
        if ex is None or ex.aborted or ex.response_done:
            self._end(NO_ERROR, "connection finished")

    # ---------------------------------------------------------- receive

    def receive(self, data: bytes) -> list[Event]:
        if data and not self._ended:
            ex = self._ex
            if ex is None or ex.response_done or ex.aborted:
                self._fail(PROTOCOL_ERROR, "bytes from the server with no request in flight")
            else:
                ex.got_bytes = True
                if ex.tunnel:
                    ex.unconsumed += len(data)
                    self._events.append(BodyReceived(ex.sid, bytes(data)))
                elif ex.remaining is not None:
                    self._read_length(ex, bytes(data))
                elif ex.decoder is not None:
                    ex.decoder.feed(bytes(data))
                    self._read_body(ex)
                else:
                    self._read_head(ex, bytes(data))
        return self.take_events()

    def receive_eof(self) -> list[Event]:
        if self._ended:
            return self.take_events()
        ex = self._ex
        if ex is not None and not ex.aborted and not ex.response_done:
            if ex.tunnel:
                self._response_ended(ex, None)
            elif ex.remaining is not None:
                self._fail(PROTOCOL_ERROR, "response body cut short by the connection's close")
            elif ex.decoder is not None:
                ex.decoder.mark_eof()
                self._read_body(ex)
                if not self._ended and not ex.response_done:
                    self._fail(PROTOCOL_ERROR, "response body cut short by the connection's close")
            elif not ex.got_bytes:
                # A reused connection the server closed as idle did not see
                # the request: it may go again elsewhere.
                ex.aborted = True
                self._events.append(
                    StreamAborted(ex.sid, CANCEL, "connection closed before the response", self._completed > 0)
                )
            else:
                ex.aborted = True
                self._events.append(StreamAborted(ex.sid, PROTOCOL_ERROR, "connection closed in the response head"))
        self._end(NO_ERROR, "connection closed by peer")
        return self.take_events()

    def _read_head(self, ex: _Exchange, data: bytes) -> None:
        codec = self._codec
        if not self._direct and not self._head_buf and len(data) > 9 and data[9] != 0x31 and data[:7] == b"HTTP/1.":
            self._direct = True  # a final status line in the first read: no informational head to take out
        if not self._direct:
            buf = self._head_buf
            buf += data
            while True:
                eol = buf.find(b"\n")
                if eol < 0:
                    if len(buf) > self._max_head:
                        self._fail(ENHANCE_YOUR_CALM, "response head larger than max_head_size")
                    return
                m = _INFORMATIONAL.match(bytes(buf[:eol]).rstrip(b"\r"))
                if m is None or m.group(1) == b"101":
                    break
                end = buf.find(b"\r\n\r\n")
                if end < 0:
                    if len(buf) > self._max_head:
                        self._fail(ENHANCE_YOUR_CALM, "response head larger than max_head_size")
                    return
                if end + 4 > self._max_head:
                    self._fail(ENHANCE_YOUR_CALM, "response head larger than max_head_size")
                    return
                fields = _informational_fields(bytes(buf[eol + 1:end]))
                if fields is None:
                    self._fail(PROTOCOL_ERROR, "malformed informational response")
                    return
                del buf[:end + 4]
                self._events.append(InformationalReceived(ex.sid, int(m.group(1)), fields))
            data = bytes(buf)
            buf.clear()
            self._direct = True
        before = codec.buffered()
        try:
            head = codec.receive_head(data)
        except ValueError as exc:
            text = str(exc)
            self._fail(ENHANCE_YOUR_CALM if "too large" in text else PROTOCOL_ERROR, text)
            return
        if head is None:
            if codec.buffered() > self._max_head:
                self._fail(ENHANCE_YOUR_CALM, "response head larger than max_head_size")
            return
        # A head that arrived whole in one read is held to the cap as well.
        if before + len(data) - codec.buffered() > self._max_head:
            self._fail(ENHANCE_YOUR_CALM, "response head larger than max_head_size")
            return
        rest = codec.take_body()
        status = head.status
        fields = pairs(head.headers) or []
        if status == 101:
            if not ex.upgrade:
                self._fail(PROTOCOL_ERROR, "101 Switching Protocols to a request that did not ask")
                return
            self._reusable = False
            ex.tunnel = True
            self._events.append(InformationalReceived(ex.sid, 101, fields))
        else:
            ex.head = True
            if not head.keep_alive or ex.close:
                self._reusable = False
            if ex.method == "CONNECT" and 200 <= status < 300:
                self._reusable = False
                ex.tunnel = True
            kind = "close" if ex.tunnel else head.body_kind
            if kind == "close" and not ex.tunnel:
                self._reusable = False  # the body ends with the connection
            ended = kind == "empty" or (kind == "length" and not head.content_length)
            self._events.append(
                ResponseReceived(ex.sid, status, fields, "1.0" if head.http10 else "1.1", ended and not ex.tunnel)
            )
            if not ex.tunnel:
                if kind == "length":
                    ex.remaining = head.content_length or 0
                    self._read_length(ex, rest)
                    return
                ex.decoder = H1BodyDecoder(kind, head.content_length or 0)
                ex.decoder.feed(rest)
                self._read_body(ex)
                return
        if rest:
            ex.unconsumed += len(rest)
            self._events.append(BodyReceived(ex.sid, rest))

    def _read_length(self, ex: _Exchange, data: bytes) -> None:
        remaining = ex.remaining
        assert remaining is not None
        taken = min(len(data), remaining)
        if taken:
            piece = data if taken == len(data) else data[:taken]
            remaining -= taken
            ex.remaining = remaining
            ex.unconsumed += taken
            self._events.append(BodyReceived(ex.sid, piece))
        if remaining:
            return
        ex.remaining = None
        self._response_ended(ex, None)
        if taken < len(data) and not self._ended:
            self._fail(PROTOCOL_ERROR, "bytes from the server past the response")

    def _read_body(self, ex: _Exchange) -> None:
        decoder = ex.decoder
        assert decoder is not None
        parts: list[bytes] = []
        failed: str | None = None
        while True:
            try:
                chunk = decoder.decode()
            except ValueError as exc:
                failed = str(exc)
                break
            if chunk is None:
                break
            parts.append(chunk)
        if parts:
            data = parts[0] if len(parts) == 1 else b"".join(parts)
            ex.unconsumed += len(data)
            self._events.append(BodyReceived(ex.sid, data))
        if failed is not None:
            self._fail(PROTOCOL_ERROR, failed)
            return
        if not decoder.is_complete:
            return
        ex.decoder = None
        stray = decoder.take_buffered()
        self._response_ended(ex, pairs(decoder.take_trailers()))
        if stray and not self._ended:
            self._fail(PROTOCOL_ERROR, "bytes from the server past the response")

    def _response_ended(self, ex: _Exchange, trailers: Headers | None) -> None:
        ex.response_done = True
        self._events.append(ResponseEnded(ex.sid, trailers))
        if not ex.request_done:
            self._reusable = False  # the rest of the upload is dropped
        self._maybe_finished(ex)

    def _maybe_finished(self, ex: _Exchange) -> None:
        if not ex.response_done or ex.tunnel:
            return
        if ex.request_done:
            self._completed += 1
        if not self._reusable or self._closing:
            self._end(NO_ERROR, "connection: close" if ex.request_done else "response before the request ended")

    def _fail(self, code: int, reason: str) -> None:
        self._reusable = False
        ex = self._ex
        if ex is not None and not ex.aborted and not ex.response_done:
            ex.aborted = True
            self._events.append(StreamAborted(ex.sid, code, reason))
        self._end(code, reason)

    def _end(self, code: int, reason: str) -> None:
        if self._ended:
            return
        self._reusable = False
        self._ended = True
        ex = self._ex
        if ex is not None:
            ex.decoder = None
            ex.remaining = None
        self._events.append(ConnectionEnded(code, reason))


def _informational_fields(block: bytes) -> Headers | None:
    """The fields of a 1xx head (None if malformed)."""
    fields: Headers = []
    for line in block.split(b"\n"):
        line = line.rstrip(b"\r")
        if not line:
            continue
        name, sep, value = line.partition(b":")
        if not sep or not name or name[:1] in b" \t" or name[-1:] in b" \t":
            return None
        fields.append((name.lower(), value.strip(b" \t")))
    try:
        HeaderMap(fields)  # names and values checked
    except ValueError:
        return None
    return fields
