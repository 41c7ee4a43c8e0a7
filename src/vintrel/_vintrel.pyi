"""HTTP/1.1 and HTTP/2 protocol logic without I/O: header map, HTTP/1 codec,
HTTP/2 frame codec with HPACK, stream state, flow control and proxy selection.
"""

import enum
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import TypeVar, final

_T = TypeVar("_T")

__version__: str
__all__ = [
    "__version__",
    "VintrelError",
    "ConnectionClosedError",
    "HeaderMap",
    "H2Codec",
    "H2FrameHeaders",
    "H2FrameData",
    "H2FrameSettings",
    "H2FrameWindowUpdate",
    "H2FramePing",
    "H2FrameGoAway",
    "H2FrameRstStream",
    "H2FramePriority",
    "H2FrameStreamError",
    "H2StreamState",
    "H2FlowControl",
    "H2Error",
    "H2ProtocolError",
    "H2StreamError",
    "H2UserError",
    "H2FlowControlError",
    "H2Reason",
    "H1Codec",
    "H1ResponseHead",
    "H1RequestHead",
    "H1BodyDecoder",
    "ProxyMatcher",
    "ProxyIntercept",
]

class VintrelError(Exception):
    """Base class for every vintrel error (HTTP/1 and HTTP/2)."""

class ConnectionClosedError(VintrelError):
    """The transport closed (EOF/reset/IO error) with work still in flight — a
    transport failure, not a protocol violation (so no GOAWAY).
    Protocol-neutral: raised on both HTTP/1 and HTTP/2, hence it sits under
    VintrelError, not H2Error.
    """

class H2Error(VintrelError):
    """Base class for every vintrel HTTP/2 protocol error."""

class H2ProtocolError(H2Error):
    """Connection-level protocol violation (-> GOAWAY). args = (reason: int|None, message)."""

class H2StreamError(H2Error):
    """Stream-level protocol violation (-> RST_STREAM, connection survives).
    args = (stream_id: int, reason: int, initiator: str).
    """

class H2UserError(H2Error):
    """Local API misuse (the caller broke a rule of the API). args = (kind: str,
    message: str).
    """

class H2FlowControlError(H2Error):
    """Flow-control window over/underflow. args = (reason: int,)."""

class H2Reason(enum.IntEnum):
    NO_ERROR = 0
    PROTOCOL_ERROR = 1
    INTERNAL_ERROR = 2
    FLOW_CONTROL_ERROR = 3
    SETTINGS_TIMEOUT = 4
    STREAM_CLOSED = 5
    FRAME_SIZE_ERROR = 6
    REFUSED_STREAM = 7
    CANCEL = 8
    COMPRESSION_ERROR = 9
    CONNECT_ERROR = 10
    ENHANCE_YOUR_CALM = 11
    INADEQUATE_SECURITY = 12
    HTTP_1_1_REQUIRED = 13

@final
class HeaderMap:
    """An ordered, case-insensitive, multi-valued header collection.

    Names are returned as lowercase str and values as bytes; both are
    accepted as str (taken as UTF-8) or bytes. A name is 1 to 65535 token
    characters; a value may hold tab, 32-126 and 128-255 bytes. Other types
    raise TypeError, invalid names and values ValueError.

    Names keep the order of their first insertion; the values of one name
    stay grouped in insertion order. A map holds at most 24,576 distinct
    names; beyond that every storing operation raises
    ValueError("header map is full (http::HeaderMap MAX_SIZE, 32768 entries)")
    and leaves the map unchanged.

    init is None, a HeaderMap (copied), a dict (its items in order, appended
    as by add) or any iterable of elements e giving the name e[0] and the
    value e[1].

    As a mapping: m[name] is the first value (KeyError with the lowercase
    name when absent); m[name] = value makes value the name's only value
    (an existing name keeps its place); del m[name] removes the name and
    its values (the last name moves into its place); name in m tells
    whether it is present (an invalid name raises); iteration gives a
    snapshot of the distinct names; len() counts values, not names. Maps
    compare equal when they hold the same names with the same values in
    the same order per name; they are not hashable and not ordered.
    """

    def __new__(
        cls,
        init: HeaderMap | Mapping[str | bytes, str | bytes] | Iterable[tuple[str | bytes, str | bytes]] | None = None,
    ) -> HeaderMap: ...
    def get(self, name: str | bytes, default: _T | None = None) -> bytes | _T | None:
        """The first value of name, or default when the name is absent."""
    def get_all(self, name: str | bytes) -> list[bytes]:
        """Every value of name in insertion order; an empty list when absent."""
    def add(self, name: str | bytes, value: str | bytes) -> None:
        """Append value to name's values; a new name goes to the end."""
    def setdefault(self, name: str | bytes, value: str | bytes) -> bytes:
        """The first value of name when present (value is then ignored); otherwise
        store value as the name's only value and return it."""
    def keys(self) -> list[str]:
        """The distinct names, in order."""
    def values(self) -> list[bytes]:
        """Every value in the map's order, duplicates included."""
    def items(self) -> list[tuple[str, bytes]]:
        """Every (name, value) pair in the map's order, duplicates included."""
    def __getitem__(self, name: str | bytes, /) -> bytes: ...
    def __setitem__(self, name: str | bytes, value: str | bytes, /) -> None: ...
    def __delitem__(self, name: str | bytes, /) -> None: ...
    def __contains__(self, name: object, /) -> bool: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class H2Codec:
    """The HTTP/2 frame codec of one connection, without I/O.

    receive() turns inbound bytes into frame events; the serialize_*
    methods return the bytes of outbound frames. It owns the connection's
    HPACK decoder and encoder and the size limits that SETTINGS negotiate;
    it keeps no stream state: the driver keeps an H2StreamState and two
    H2FlowControl windows per stream, and two windows for the connection.
    role is "client" or "server"; anything else raises ValueError.

    Which call goes with which frame:

    - Start: a client writes the 24-byte preface, then serialize_settings;
      a server strips the preface from its first reads and sends
      serialize_settings. Apply the receive limits announced there
      (set_max_recv_frame_size, set_max_header_list_size,
      set_recv_header_table_size) when sending them.
    - H2FrameSettings received without ack: apply header_table_size with
      set_send_header_table_size and max_frame_size with
      set_send_max_frame_size, move every stream's send window by the
      change of initial_window_size, then send serialize_settings_ack.
    - H2FrameHeaders received: H2StreamState.recv_open(end_stream,
      informational) for a head; on a stream that is_recv_streaming() it is
      the trailer block: recv_close().
    - H2FrameData received: send_data(flow_controlled_len) on the stream's
      and the connection's receive windows, recv_close() if end_stream;
      give consumed bytes back with assign_capacity and send
      serialize_window_update when unclaimed_capacity() offers one.
    - H2FrameWindowUpdate received: inc_window(increment) on the send
      window of stream_id (0: the connection's).
    - H2FramePing received without ack: send serialize_ping_ack(data).
    - H2FrameRstStream received: H2StreamState.recv_reset.
    - H2FrameStreamError: send serialize_rst_stream(stream_id,
      error_code); the connection goes on.
    - H2FrameGoAway: open no more streams; ours above last_stream_id
      were not processed.
    - H2ProtocolError or H2FlowControlError: send serialize_go_away with
      args[0] as error_code, then close.
    - Sending a request or response: serialize_request_headers or
      serialize_response_headers with send_open, serialize_data within
      the send windows, serialize_trailers or end_stream with send_close.

    Every stream_id of 2**31 or more raises
    ValueError("invalid stream ID -- MSB is set") before any output.
    """

    def __new__(cls, role: str = "client") -> H2Codec: ...
    @property
    def role_client(self) -> bool:
        """True for a codec made with role "client"."""
    def receive(
        self, data: bytes
    ) -> list[
        H2FrameHeaders
        | H2FrameData
        | H2FrameSettings
        | H2FrameWindowUpdate
        | H2FramePing
        | H2FrameGoAway
        | H2FrameRstStream
        | H2FramePriority
        | H2FrameStreamError
    ]:
        """Feed inbound bytes; return the list of complete frames now decodable.

        Call it with every chunk read from the transport, in order (a server
        strips the 24-byte client preface first), and act on the events in
        the order given. A frame cut by the end of data is held until the
        next call completes it. A connection error raises H2ProtocolError
        (answer with serialize_go_away carrying args[0], then close): the
        events of that call are dropped, the frames before the failing one
        stay consumed and the bytes after it stay held. A malformed header
        block costs its stream only and comes as an H2FrameStreamError event.
        """
    def buffered(self) -> int:
        """Number of bytes currently buffered awaiting a complete frame.

        Bytes held from earlier receive calls: a frame cut by a read, or what
        follows a frame that failed.
        """
    def set_send_header_table_size(self, val: int) -> None:
        """Apply the peer's SETTINGS_HEADER_TABLE_SIZE: the bound on the table
        our encoder may use.

        Call it when an H2FrameSettings event carries header_table_size, before
        serializing the next header block; the encoder signals the change at
        the start of that block.
        """
    def set_recv_header_table_size(self, val: int) -> None:
        """Apply our SETTINGS_HEADER_TABLE_SIZE: the largest table size the
        peer's encoder may switch to.

        Call it when sending the SETTINGS frame that announces the value, not
        on the peer's acknowledgement: a raised limit must be in force before
        the first frame that uses it arrives, and receive drops every event of
        a read that raises, so an acknowledgement arriving in that read would
        be lost. A lowered limit may instead wait for the acknowledgement.
        """
    def set_max_recv_frame_size(self, val: int) -> None:
        """Apply our SETTINGS_MAX_FRAME_SIZE: the largest frame payload receive
        accepts (16384 until set).

        Call it when sending the SETTINGS frame that announces the value, not
        on the peer's acknowledgement: a raised limit must be in force before
        the first frame that uses it arrives, and receive drops every event of
        a read that raises, so an acknowledgement arriving in that read would
        be lost. A lowered limit may instead wait for the acknowledgement.
        0 raises ValueError("receive max frame size must be at least 1, got 0").
        """
    def set_max_header_list_size(self, val: int) -> None:
        """Apply our SETTINGS_MAX_HEADER_LIST_SIZE: the decoded size of a header
        list past which receive keeps no more of a block's fields (the block
        is still decoded to its end, and its event says truncated).

        Call it when sending the SETTINGS frame that announces the value, not
        on the peer's acknowledgement: a raised limit must be in force before
        the first frame that uses it arrives, and receive drops every event of
        a read that raises, so an acknowledgement arriving in that read would
        be lost. A lowered limit may instead wait for the acknowledgement.
        """
    def set_send_max_frame_size(self, val: int) -> None:
        """Apply the peer's SETTINGS_MAX_FRAME_SIZE: the payload budget of every
        frame we write (16384 until set).

        Call it when an H2FrameSettings event carries max_frame_size. Header
        blocks are cut into CONTINUATION frames at this size; serialize_data
        refuses a larger payload. 0 or a value above 16777215 raises
        ValueError and changes nothing.
        """
    def serialize_settings(
        self,
        *,
        header_table_size: int | None = None,
        enable_push: bool | None = None,
        max_concurrent_streams: int | None = None,
        initial_window_size: int | None = None,
        max_frame_size: int | None = None,
        max_header_list_size: int | None = None,
    ) -> bytes:
        """One SETTINGS frame carrying the settings given (None leaves one out).

        Send it at the start of the connection (a client after the preface)
        and whenever our settings change; apply the receive limits it raises
        with the set_* methods at the same time. The peer answers with an
        H2FrameSettings event whose ack is True. A max_frame_size outside
        16384 to 16777215 or an initial_window_size above 2147483647 raises
        ValueError.
        """
    def serialize_settings_ack(self) -> bytes:
        """One SETTINGS frame with ACK set and no settings.

        Send it after applying the settings of an H2FrameSettings event whose
        ack is False.
        """
    def serialize_request_headers(
        self, stream_id: int, method: str, url: str, headers: HeaderMap | None = None, end_stream: bool = False
    ) -> bytes:
        """The HEADERS frame (and CONTINUATION frames) that opens a request.

        The pseudo-headers come from method and url (:scheme, :authority and
        :path; CONNECT sends only :authority), followed by the fields of
        headers in map order. end_stream is True for a request without body.
        Call H2StreamState.send_open(end_stream) for the stream with it. An
        invalid method or URL raises ValueError before the encoder is touched.
        """
    def serialize_response_headers(
        self, stream_id: int, status: int, headers: HeaderMap | None = None, end_stream: bool = False
    ) -> bytes:
        """The HEADERS frame (and CONTINUATION frames) of a response head.

        The :status pseudo-header, then the fields of headers in map order.
        end_stream is True for a response without body. Call
        H2StreamState.send_open(end_stream) with a final head; a 1xx head
        changes no state. A status outside 100 to 999 raises ValueError.
        """
    def serialize_trailers(self, stream_id: int, trailers: HeaderMap) -> bytes:
        """A trailing HEADERS frame without pseudo-headers and with END_STREAM
        set, carrying request or response trailers after the DATA frames.

        Call H2StreamState.send_close() with it.
        """
    def serialize_data(self, stream_id: int, data: bytes, end_stream: bool = False) -> bytes:
        """One DATA frame carrying data, unpadded.

        Charge len(data) to the stream's and the connection's send windows
        first (H2FlowControl.send_data), and call H2StreamState.send_close()
        with the frame that sets end_stream. data longer than the peer's
        maximum frame size raises H2UserError("payload_too_big", ...):
        cut it into several frames.
        """
    def serialize_window_update(self, stream_id: int, increment: int) -> bytes:
        """One WINDOW_UPDATE frame; stream_id 0 is the connection.

        Send it when the receive window's unclaimed_capacity() returns an
        increment, and call that window's inc_window(increment) with it.
        """
    def serialize_ping_ack(self, payload: bytes) -> bytes:
        """One PING frame with ACK set.

        Answer every H2FramePing event whose ack is False with the event's
        data as payload. A payload other than 8 bytes raises ValueError.
        """
    def serialize_ping(self, payload: bytes) -> bytes:
        """A PING frame (not ACK) carrying an 8-byte payload — for keep-alive.

        The peer answers with an H2FramePing event whose ack is True and whose
        data is the same payload. A payload other than 8 bytes raises
        ValueError.
        """
    def serialize_go_away(self, last_stream_id: int, error_code: int, debug_data: bytes | None = None) -> bytes:
        """A GOAWAY frame (connection shutdown), `stream_id = 0`.

        last_stream_id is the highest peer-initiated stream we processed.
        Send it with H2Reason.NO_ERROR to close gracefully, or with args[0] of
        an H2ProtocolError or H2FlowControlError, then close the transport.
        Debug data over 16777207 bytes raises ValueError.
        """
    def serialize_rst_stream(self, stream_id: int, error_code: int) -> bytes:
        """A RST_STREAM frame — abruptly terminate `stream_id`.

        Send it for an H2FrameStreamError event (with its error_code), for an
        H2StreamError raised by the stream's state, or to cancel a stream of
        our own; record it with H2StreamState.set_reset.
        """

@final
class H2FrameHeaders:
    """A complete header block: HEADERS and its CONTINUATION frames.

    The pseudo-headers are attributes of their own (None when absent); the
    regular fields are in headers. The first block on a stream is a head:
    call H2StreamState.recv_open(end_stream, informational), informational
    for a 1xx status. A later block on a stream that is_recv_streaming()
    is the trailer block: call recv_close().
    """

    @property
    def stream_id(self) -> int:
        """The stream the header block belongs to."""
    @property
    def end_stream(self) -> bool:
        """Whether the HEADERS frame set END_STREAM."""
    @property
    def end_headers(self) -> bool:
        """Always True: the event is a complete header block."""
    @property
    def method(self) -> str | None:
        """The :method pseudo-header, or None."""
    @property
    def scheme(self) -> str | None:
        """The :scheme pseudo-header, or None."""
    @property
    def authority(self) -> str | None:
        """The :authority pseudo-header, or None."""
    @property
    def path(self) -> str | None:
        """The :path pseudo-header, or None."""
    @property
    def status(self) -> int | None:
        """The :status pseudo-header as an int, or None."""
    @property
    def headers(self) -> HeaderMap:
        """Regular header fields as a `vintrel.http.HeaderMap`."""
    @property
    def truncated(self) -> bool:
        """True when the header list reached the max header list size: the
        headers from there on were dropped, so a server answers 431 rather
        than act on a partial request."""

@final
class H2FrameData:
    """A DATA frame.

    Charge flow_controlled_len to the stream's and the connection's receive
    windows (H2FlowControl.send_data) and, when end_stream is set, call
    H2StreamState.recv_close().
    """

    @property
    def stream_id(self) -> int:
        """The stream the DATA frame belongs to."""
    @property
    def end_stream(self) -> bool:
        """Whether END_STREAM is set."""
    @property
    def data(self) -> bytes:
        """The payload as bytes, padding removed."""
    @property
    def flow_controlled_len(self) -> int:
        """The payload length plus the padding plus the pad-length byte. Flow
        control counts padding while `data` does not, so account windows on
        flow_controlled_len, not on len(data).
        """

@final
class H2FrameSettings:
    """A SETTINGS frame or its acknowledgement.

    Each setting is None when the frame leaves it out. Apply the peer's
    settings (H2Codec.set_send_header_table_size,
    H2Codec.set_send_max_frame_size, the send windows for
    initial_window_size), then answer with
    H2Codec.serialize_settings_ack(). An acknowledgement (ack True) of our
    own SETTINGS needs no answer.
    """

    @property
    def ack(self) -> bool:
        """Whether this is an acknowledgement (every setting is then None)."""
    @property
    def header_table_size(self) -> int | None:
        """SETTINGS_HEADER_TABLE_SIZE, or None."""
    @property
    def enable_push(self) -> bool | None:
        """SETTINGS_ENABLE_PUSH as a bool, or None."""
    @property
    def max_concurrent_streams(self) -> int | None:
        """SETTINGS_MAX_CONCURRENT_STREAMS, or None."""
    @property
    def initial_window_size(self) -> int | None:
        """SETTINGS_INITIAL_WINDOW_SIZE, or None."""
    @property
    def max_frame_size(self) -> int | None:
        """SETTINGS_MAX_FRAME_SIZE, or None."""
    @property
    def max_header_list_size(self) -> int | None:
        """SETTINGS_MAX_HEADER_LIST_SIZE, or None."""

@final
class H2FrameWindowUpdate:
    """A WINDOW_UPDATE frame.

    Call inc_window(increment) on the send window of stream_id, or of the
    connection for stream 0; a refusal (H2FlowControlError) resets the
    stream or, for the connection, ends it with GOAWAY.
    """

    @property
    def stream_id(self) -> int:
        """The stream, or 0 for the connection."""
    @property
    def increment(self) -> int:
        """The window increment."""

@final
class H2FramePing:
    """A PING frame.

    Answer one without ack with H2Codec.serialize_ping_ack(data); one with
    ack answers a serialize_ping of ours.
    """

    @property
    def ack(self) -> bool:
        """Whether ACK is set."""
    @property
    def data(self) -> bytes:
        """The 8 payload bytes."""

@final
class H2FrameGoAway:
    """A GOAWAY frame.

    The peer is shutting the connection down: open no more streams. Streams
    we opened above last_stream_id were not processed and may be retried
    on another connection.
    """

    @property
    def last_stream_id(self) -> int:
        """The last stream id the peer may process."""
    @property
    def error_code(self) -> int:
        """The error code as a plain int."""
    @property
    def debug_data(self) -> bytes:
        """The debug data as bytes, possibly empty."""

@final
class H2FrameRstStream:
    """A RST_STREAM frame.

    The peer ended the stream: call H2StreamState.recv_reset and send
    nothing more on it.
    """

    @property
    def stream_id(self) -> int:
        """The stream being reset."""
    @property
    def error_code(self) -> int:
        """The error code as a plain int."""

@final
class H2FramePriority:
    """A PRIORITY frame (its dependency and weight are not reported).

    Nothing needs to be done with it.
    """

    @property
    def stream_id(self) -> int:
        """The stream the PRIORITY frame names."""

@final
class H2FrameStreamError:
    """A stream-level protocol error found while decoding.

    The driver resets stream_id with error_code (H2Codec.serialize_rst_stream)
    and keeps the connection. It is an event, not an exception, so that frames
    decoded earlier in the same receive() call are not lost.
    """

    @property
    def stream_id(self) -> int:
        """The stream to reset."""
    @property
    def error_code(self) -> int:
        """The error code to reset it with."""

@final
class H2StreamState:
    """The state machine of one HTTP/2 stream.

    The driver reports every frame sent or received on the stream and asks
    what is allowed next. A frame the peer may not send raises
    H2ProtocolError(1, ...); a frame the driver may not send raises
    H2UserError("unexpected_frame_type", ...). A failing call leaves the
    state unchanged. repr() is the debug form of the state, for example
    "Open { local: Streaming, remote: AwaitingHeaders }".
    """

    def __init__(self) -> None: ...
    def send_open(self, eos: bool) -> None:
        """HEADERS sent on the stream; eos: with END_STREAM.

        Call it with each serialize_request_headers or
        serialize_response_headers that carries a final head (not with trailers:
        those go with send_close). A stream whose head was already sent, or that
        is closed, raises H2UserError("unexpected_frame_type", ...).
        """
    def recv_open(self, eos: bool, informational: bool) -> bool:
        """HEADERS received; informational: a 1xx head.

        Call it for an H2FrameHeaders event that carries a head: eos is its
        end_stream, informational whether its status is 1xx (the stream then
        still awaits the final head). Returns True when this call opened the
        stream (from Idle or ReservedRemote). A second final head raises
        H2ProtocolError(1, ...): on a stream that is_recv_streaming(), a
        HEADERS frame is the trailer block (call recv_close instead).
        """
    def reserve_remote(self) -> None:
        """The peer reserved the stream (PUSH_PROMISE received).

        Only from Idle; elsewhere H2ProtocolError(1, ...).
        """
    def reserve_local(self) -> None:
        """The stream was reserved locally (PUSH_PROMISE sent).

        Only from Idle; elsewhere H2UserError("unexpected_frame_type", ...).
        """
    def recv_close(self) -> None:
        """END_STREAM received.

        Call it for an H2FrameData event with end_stream set, and for a trailer
        block. A stream whose remote direction is not open raises
        H2ProtocolError(1, ...).
        """
    def recv_reset(self, stream_id: int, reason: int, queued: bool) -> None:
        """RST_STREAM received; queued: frames for the stream are still queued.

        Call it for an H2FrameRstStream event with its stream_id and
        error_code. A closed stream takes the reset only while frames are
        queued (they must not go out). A stream_id of 2**31 or more raises
        ValueError.
        """
    def recv_eof(self) -> None:
        """The transport ended; an unclosed stream closes as broken.

        Call it for every stream still tracked when the connection's reads end;
        ensure_recv_open() then raises ConnectionClosedError.
        """
    def send_close(self) -> None:
        """The local side ended its direction (END_STREAM sent).

        Call it with the DATA frame that sets end_stream, or with
        serialize_trailers. Only from Open or HalfClosedRemote; elsewhere
        RuntimeError naming the state, and nothing changes.
        """
    def set_reset(self, stream_id: int, reason: int, initiator: str) -> None:
        """Close the stream as reset; initiator is "user", "library" or
        "remote".

        Call it when sending RST_STREAM: "user" when the application cancelled
        the stream, "library" when the driver reset it for a protocol reason.
        A stream_id of 2**31 or more raises ValueError (checked first), and so
        does any other initiator text.
        """
    def set_scheduled_reset(self, reason: int) -> None:
        """Close the stream with a library reset still to be sent.

        For a driver that queues its RST_STREAM: get_scheduled_reset() gives the
        reason to send, and ensure_recv_open() raises H2ProtocolError(reason,
        ...) meanwhile.
        """
    def get_scheduled_reset(self) -> int | None:
        """The reason of a scheduled library reset, or None.

        Read it when writing the queued RST_STREAM of set_scheduled_reset.
        """
    def ensure_recv_open(self) -> bool:
        """Whether frames may still be received.

        False once the remote direction ended normally. Raises the stored
        failure of a reset or broken stream: H2StreamError for a reset,
        ConnectionClosedError after recv_eof, H2ProtocolError for a scheduled
        reset. Call it before handing a received frame's content to the
        application.
        """
    def is_scheduled_reset(self) -> bool:
        """Closed with a scheduled library reset."""
    def is_local_error(self) -> bool:
        """Closed by a local reset, a scheduled reset or a broken transport."""
    def is_remote_reset(self) -> bool:
        """Closed by a reset the peer initiated."""
    def is_reset(self) -> bool:
        """Closed other than by both directions ending normally: reset,
        scheduled reset or broken transport.
        """
    def is_send_streaming(self) -> bool:
        """The local direction has sent its head and is still open: DATA and
        trailers may follow.
        """
    def is_recv_headers(self) -> bool:
        """The remote direction still awaits its final head: a HEADERS frame now
        is a head.
        """
    def is_recv_streaming(self) -> bool:
        """The remote direction has sent its head and is still open: a HEADERS
        frame now is the trailer block.
        """
    def is_recv_end_stream(self) -> bool:
        """The remote direction ended normally (END_STREAM received)."""
    def is_closed(self) -> bool:
        """The stream is closed, whatever the cause: the driver may forget it.
        """
    def is_send_closed(self) -> bool:
        """Nothing more may be sent on the stream: END_STREAM was sent, or it
        closed.
        """
    def is_idle(self) -> bool:
        """The stream has not been used yet: no HEADERS or PUSH_PROMISE either
        way.
        """

@final
class H2FlowControl:
    """One HTTP/2 flow-control window.

    Two signed 32-bit counters, both starting at 0: the window size as the
    peer knows it and the capacity available to the window's user. Amounts
    are unsigned 32-bit; an update whose exact result leaves the signed
    32-bit range raises H2FlowControlError(3) and changes nothing.

    A driver keeps a send window and a receive window per stream and per
    connection. A send window starts with inc_window(the peer's initial
    window) and is charged with send_data before each DATA frame; a
    receive window starts with inc_window and assign_capacity of our
    initial window, is charged with send_data(flow_controlled_len) for
    each DATA frame received, and gets consumed bytes back with
    assign_capacity.
    """

    def __init__(self) -> None: ...
    def window_size(self) -> int:
        """The window size if positive, else 0.

        On a send window: the most DATA that may go out now.
        """
    def available(self) -> int:
        """The capacity assigned to the window's user (may be negative).

        On a receive window: what the application has given back, counted
        against the window in unclaimed_capacity().
        """
    def has_unavailable(self) -> bool:
        """Whether the window is non-negative and above available: part of the
        window is not yet assigned to its user.
        """
    def unclaimed_capacity(self) -> int | None:
        """The increment of a WINDOW_UPDATE worth sending, or None.

        On a receive window, after assign_capacity: an increment once available
        exceeds the window by at least half the window (so updates are
        batched), capped at 2147483647. Send serialize_window_update with it
        and call inc_window(increment).
        """
    def claim_capacity(self, capacity: int) -> None:
        """Lower available by capacity.

        For capacity the window's user takes back or hands elsewhere; the
        window itself does not change.
        """
    def assign_capacity(self, capacity: int) -> None:
        """Raise available by capacity.

        On a receive window: call it with the bytes the application consumed
        (and once with the initial window), then ask unclaimed_capacity().
        """
    def inc_window(self, sz: int) -> None:
        """Raise the window by sz (a WINDOW_UPDATE was received).

        On a send window: for each H2FrameWindowUpdate, for the peer's initial
        window when the window is made, and for a raised
        SETTINGS_INITIAL_WINDOW_SIZE (by the difference). On a receive window:
        with each WINDOW_UPDATE we send, and for our initial window.
        """
    def dec_send_window(self, sz: int) -> None:
        """Lower the window by sz (the peer lowered its initial window).

        On every open stream's send window, by the difference, when the peer's
        SETTINGS lower SETTINGS_INITIAL_WINDOW_SIZE; the window may go
        negative.
        """
    def dec_recv_window(self, sz: int) -> None:
        """Lower the window, then available, by sz.

        On every open stream's receive window, by the difference, once the
        peer acknowledged our lower SETTINGS_INITIAL_WINDOW_SIZE. If the second
        step fails, the window keeps its lowered value.
        """
    def send_data(self, sz: int) -> None:
        """Record sz octets of DATA sent: window and available both drop by sz.

        On a send window: before serialize_data, with len(data) at most
        window_size(). On a receive window: for each H2FrameData, with its
        flow_controlled_len (a refusal is a FLOW_CONTROL_ERROR). sz above
        window_size() raises H2FlowControlError.
        """

@final
class H1Codec:
    """A synchronous HTTP/1 client codec.

    The same object serves the server role: one HTTP/1 connection without
    I/O. Heads and body chunks to send come back as bytes; received bytes
    go to receive_head (client) or receive_request_head (server), and the
    body bytes after a head are taken with take_body for an H1BodyDecoder.
    Protocol failures raise ValueError with a prefix naming what failed.
    """

    def __init__(self) -> None: ...
    def serialize_request(
        self,
        method: str,
        url: str,
        headers: HeaderMap | None = None,
        *,
        http10: bool = False,
        content_length: int | None = None,
        chunked: bool = False,
        trailer_fields: Sequence[str] = ...,
    ) -> bytes:
        """The bytes of a request head; installs the body's framing.

        Client role. The body that follows is framed by content_length or
        chunked (chunked wins), or else by the caller's own framing headers;
        send it with serialize_data and end it with serialize_end or
        serialize_trailers. trailer_fields declares the trailer names that
        serialize_trailers may send. The method is recorded, so that the
        answer to HEAD or CONNECT is read without a body. An invalid method or
        URL raises ValueError.
        """
    def serialize_data(self, chunk: bytes) -> bytes:
        """One body chunk, framed for the message in flight.

        Call it after serialize_request or serialize_response, once per piece
        of the body. With a body of known length, bytes past the declared
        length are cut off without an error (so a driver may pass the same body
        to a HEAD, 204 or 304 answer, which sends none of it).
        """
    def serialize_end(self) -> bytes:
        """The end of the body in flight ("0\\r\\n\\r\\n" when chunked, else
        empty).

        Call it after the last serialize_data of a message; body_is_eof() is
        then True. A body of known length that is still short raises
        ValueError.
        """
    def serialize_trailers(self, trailers: HeaderMap) -> bytes:
        """The end of a chunked body with the declared, allowed fields of
        trailers.

        Call it instead of serialize_end. Only fields that the head declared
        (trailer_fields, or the head's trailer header) are sent; for other
        bodies it is the same as serialize_end.
        """
    def body_is_eof(self) -> bool:
        """Whether no body (or no more of it) is to be sent.

        True after a head without body, after a body of known length is
        complete, and after serialize_end or serialize_trailers.
        """
    def receive_head(self, data: bytes) -> H1ResponseHead | None:
        """Append data and parse a response head; None while incomplete.

        Client role: call it with every read until it returns an
        H1ResponseHead, then read the body with take_body() and an
        H1BodyDecoder. Informational (1xx) heads other than 101 are consumed
        silently. A malformed head raises
        ValueError("malformed HTTP/1 response: ..."); close the connection.
        """
    def receive_request_head(self, data: bytes) -> H1RequestHead | None:
        """Append data and parse a request head; None while incomplete.

        Server role: call it with every read until it returns an
        H1RequestHead, then read the body with take_body() and an
        H1BodyDecoder; the next request's bytes come back from the decoder's
        take_buffered(). A malformed head raises
        ValueError("malformed HTTP/1 request: ..."); answer 400 and close.
        """
    def serialize_response(
        self,
        status: int,
        headers: HeaderMap | None = None,
        *,
        keep_alive: bool = True,
        http10: bool = False,
        content_length: int | None = None,
        chunked: bool = False,
    ) -> bytes:
        """The bytes of a response head to the request received last.

        Server role. The body that follows is framed by content_length or
        chunked (chunked wins; where chunked is not allowed, as on HTTP/1.0, the
        body runs to the connection's close); with neither, the head says
        content-length: 0. An answer to HEAD, a 2xx answer to CONNECT, 204 and
        304 carry no body. keep_alive does not change the bytes: put connection:
        close in headers for an answer after which the connection closes. A 1xx
        status other than 101 raises ValueError: write "HTTP/1.1 100 Continue"
        yourself when expect_continue asks.
        """
    def take_body(self) -> bytes:
        """Remove and return everything in the receive buffer.

        Call it after a head: the body bytes that came with it, to feed to an
        H1BodyDecoder.
        """
    def buffered(self) -> int:
        """The number of bytes in the receive buffer: an incomplete head, or
        body bytes not taken yet.
        """

@final
class H1ResponseHead:
    """A parsed HTTP/1 response head (the event `receive_head` yields).

    Read the body with an H1BodyDecoder(body_kind, content_length or 0)
    fed from take_body().
    """

    @property
    def status(self) -> int:
        """The status code, 101 or 200 to 999 (other 1xx heads are skipped)."""
    @property
    def headers(self) -> HeaderMap:
        """The header fields in wire order (a HeaderMap of the head's own)."""
    @property
    def keep_alive(self) -> bool:
        """Whether the connection may be reused after this message.

        False for HTTP/1.0 without keep-alive, for connection: close, for a
        response that turns the connection into a tunnel, and for a request
        carrying both Content-Length and Transfer-Encoding (answer it, then
        close).
        """
    @property
    def body_kind(self) -> str:
        """How the body is framed: "empty", "length", "chunked" or "close"; the
        kind of the H1BodyDecoder that reads it.
        """
    @property
    def content_length(self) -> int | None:
        """The body length for "length", 0 for "empty", None for "chunked" and
        "close".
        """
    @property
    def is_upgrade(self) -> bool:
        """Whether the connection becomes a tunnel that the caller takes over.

        Set for a CONNECT request or one with an upgrade header, and for a 101
        Switching Protocols or a 2xx answer to CONNECT. Once the tunnel is
        granted, take_body() and every later read belong to it.
        """
    @property
    def http10(self) -> bool:
        """Whether the message was HTTP/1.0."""

@final
class H1RequestHead:
    """A parsed HTTP/1 request head (the event `receive_request_head` yields).

    Read the body with an H1BodyDecoder(body_kind, content_length or 0)
    fed from take_body(), then answer with serialize_response.
    """

    @property
    def method(self) -> str:
        """The method text, as sent."""
    @property
    def target(self) -> str:
        """The request-target verbatim (origin, absolute or authority form)."""
    @property
    def headers(self) -> HeaderMap:
        """The header fields in wire order (a HeaderMap of the head's own)."""
    @property
    def keep_alive(self) -> bool:
        """Whether the connection may be reused after this message.

        False for HTTP/1.0 without keep-alive, for connection: close, for a
        response that turns the connection into a tunnel, and for a request
        carrying both Content-Length and Transfer-Encoding (answer it, then
        close).
        """
    @property
    def body_kind(self) -> str:
        """How the body is framed: "empty", "length", "chunked" or "close"; the
        kind of the H1BodyDecoder that reads it.
        """
    @property
    def content_length(self) -> int | None:
        """The body length for "length", 0 for "empty", None for "chunked" and
        "close".
        """
    @property
    def expect_continue(self) -> bool:
        """Whether the client sent Expect: 100-continue: write "HTTP/1.1 100
        Continue" before reading the body, or answer at once.
        """
    @property
    def is_upgrade(self) -> bool:
        """Whether the connection becomes a tunnel that the caller takes over.

        Set for a CONNECT request or one with an upgrade header, and for a 101
        Switching Protocols or a 2xx answer to CONNECT. Once the tunnel is
        granted, take_body() and every later read belong to it.
        """
    @property
    def http10(self) -> bool:
        """Whether the message was HTTP/1.0."""

@final
class H1BodyDecoder:
    """Decodes one HTTP/1 message body.

    kind is "length" (length bytes), "chunked" (with trailers), "close"
    (until mark_eof) or "empty" (any other text: no body); take kind and
    length from the parsed head's body_kind and content_length. Every
    failure raises ValueError("malformed HTTP/1 body: ...").
    """

    def __new__(cls, kind: str, length: int = 0) -> H1BodyDecoder: ...
    def feed(self, data: bytes) -> None:
        """Append data to the read buffer, also after the body ended.

        Feed it the bytes take_body() returned after the head, then every
        later read, calling decode() after each feed. Bytes past the body's
        end stay buffered for take_buffered().
        """
    def mark_eof(self) -> None:
        """Report that the transport closed.

        Call it when a read returns no bytes. Once the buffered bytes are
        decoded, a close-delimited body ends and any other unfinished body
        fails.
        """
    def decode(self) -> bytes | None:
        """The next body data (non-empty), or None when more input is needed or
        the body ended (is_complete tells which).

        Call it until it returns None after every feed or mark_eof. A malformed
        body raises ValueError("malformed HTTP/1 body: ..."), and so does every
        later call.
        """
    @property
    def is_complete(self) -> bool:
        """Whether the body has ended: read it when decode() returns None."""
    def take_buffered(self) -> bytes:
        """Remove and return every byte still in the read buffer.

        After the body: the start of the next message on the connection (for a
        server, feed it to the next receive_request_head).
        """
    def take_trailers(self) -> HeaderMap | None:
        """The trailers of a completed chunked body, moved out once.

        A HeaderMap, or None when none were received or they were already
        taken. Call it once is_complete is True.
        """

@final
class ProxyMatcher:
    """Proxy selection: the proxies for http and https destinations and the
    no-proxy rules, fixed when built by from_env() or from_parts(); immutable.

    Calling the class raises TypeError.
    """

    @staticmethod
    def from_env() -> ProxyMatcher:
        """A matcher from ALL_PROXY, HTTP_PROXY, HTTPS_PROXY and NO_PROXY.

        Each setting comes from its uppercase variable when that is set (even
        to the empty string, which means no proxy), else from its lowercase
        twin. When REQUEST_METHOD is set (a CGI program, where HTTP_PROXY may
        come from a request header), the matcher proxies nothing. The
        environment is read once, now: build a new matcher after it changes.
        """
    @staticmethod
    def from_parts(
        *,
        all: str | None = None,
        http: str | None = None,
        https: str | None = None,
        no: str | None = None,
    ) -> ProxyMatcher:
        """A matcher from explicit settings; None means unset.

        all, http and https are proxy URLs (no scheme means http; http,
        https, socks4, socks4a, socks5 and socks5h are supported); an unset,
        empty or unusable http or https proxy falls back to all. no is a
        comma-separated list of host names, domain suffixes (".example.com"),
        "*", IP addresses and CIDR networks.
        """
    def intercept(self, url: str) -> ProxyIntercept | None:
        """The ProxyIntercept for the destination url, or None when it goes
        direct.

        Call it for each request's URL before connecting. None also for URLs
        that do not parse, that have no host, or whose scheme is neither http
        nor https.
        """

@final
class ProxyIntercept:
    """The proxy chosen for one destination: its URL without userinfo and
    the credentials that the userinfo carried. Returned by
    ProxyMatcher.intercept; immutable.

    Connect to uri instead of the destination (through an http or https
    proxy, an https destination needs a CONNECT tunnel).
    """

    @property
    def uri(self) -> str:
        """The proxy URL as scheme://host[:port]/, without userinfo, path or query."""
    def basic_auth(self) -> str | None:
        """The Proxy-Authorization value "Basic <base64>" for an http or https
        proxy whose URL carried a userinfo, else None.

        Send it as the proxy-authorization header of the CONNECT request (or of
        each request sent to an http proxy).
        """
    def raw_auth(self) -> tuple[str, str] | None:
        """The tuple (user, password) for a SOCKS proxy whose URL carried a
        userinfo, else None: the credentials of the SOCKS handshake.
        """
