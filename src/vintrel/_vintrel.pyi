"""HTTP/1.1 and HTTP/2 protocol logic without I/O."""

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
    """The transport closed (EOF/reset/IO error) with work still in flight.

    args = (message: str,)
    """

class H2Error(VintrelError):
    """Base class for every vintrel HTTP/2 protocol error."""

class H2ProtocolError(H2Error):
    """Connection-level protocol violation (-> GOAWAY). args = (reason: int|None, message)."""

class H2StreamError(H2Error):
    """Stream-level protocol violation (-> RST_STREAM). args = (stream_id, reason, initiator)."""

class H2UserError(H2Error):
    """Local API misuse. args = (kind: str, message: str)."""

class H2FlowControlError(H2Error):
    """Flow-control window over/underflow. args = (reason: int,)."""

class H2Reason(enum.IntEnum):
    """HTTP/2 error codes (RFC 9113 section 7)."""

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
    stay grouped in insertion order. len() counts values, not names. A map
    holds at most 24,576 distinct names; beyond that every storing operation
    raises ValueError("header map is full (http::HeaderMap MAX_SIZE, 32768
    entries)") and leaves the map unchanged.

    init is None, a HeaderMap (copied), a dict (its items in order, appended
    as by add) or any iterable of elements e giving the name e[0] and the
    value e[1]. Maps compare equal when they hold the same names with the
    same values in the same order per name; they are not hashable and not
    ordered.
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
    def __getitem__(self, name: str | bytes, /) -> bytes:
        """The first value of name; KeyError(lowercase name) when absent."""
    def __setitem__(self, name: str | bytes, value: str | bytes, /) -> None:
        """Make value the name's only value; an existing name keeps its place."""
    def __delitem__(self, name: str | bytes, /) -> None:
        """Remove name and its values; the last name moves into its place."""
    def __contains__(self, name: object, /) -> bool:
        """Whether name is present; an invalid name raises."""
    def __iter__(self) -> Iterator[str]:
        """Iterate over a snapshot of the distinct names."""
    def __len__(self) -> int:
        """The number of values, duplicates included."""
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class H2Codec:
    """The HTTP/2 frame codec of one connection, without I/O.

    receive() turns inbound bytes into frame events; the serialize_*
    methods return the bytes of outbound frames. It owns the connection's
    HPACK decoder and encoder and the size limits that SETTINGS negotiate;
    it keeps no stream state.
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
        """Feed inbound bytes; return the list of complete frames now decodable."""
    def buffered(self) -> int:
        """Number of bytes currently buffered awaiting a complete frame."""
    def set_send_header_table_size(self, val: int) -> None: ...
    def set_recv_header_table_size(self, val: int) -> None: ...
    def set_max_recv_frame_size(self, val: int) -> None: ...
    def set_max_header_list_size(self, val: int) -> None: ...
    def set_send_max_frame_size(self, val: int) -> None: ...
    def serialize_settings(
        self,
        *,
        header_table_size: int | None = None,
        enable_push: bool | None = None,
        max_concurrent_streams: int | None = None,
        initial_window_size: int | None = None,
        max_frame_size: int | None = None,
        max_header_list_size: int | None = None,
    ) -> bytes: ...
    def serialize_settings_ack(self) -> bytes: ...
    def serialize_request_headers(
        self, stream_id: int, method: str, url: str, headers: HeaderMap | None = None, end_stream: bool = False
    ) -> bytes: ...
    def serialize_response_headers(
        self, stream_id: int, status: int, headers: HeaderMap | None = None, end_stream: bool = False
    ) -> bytes: ...
    def serialize_trailers(self, stream_id: int, trailers: HeaderMap) -> bytes:
        """A trailing HEADERS frame without pseudo-headers and with END_STREAM set."""
    def serialize_data(self, stream_id: int, data: bytes, end_stream: bool = False) -> bytes: ...
    def serialize_window_update(self, stream_id: int, increment: int) -> bytes: ...
    def serialize_ping_ack(self, payload: bytes) -> bytes: ...
    def serialize_ping(self, payload: bytes) -> bytes:
        """A PING frame (not ACK) carrying an 8-byte payload — for keep-alive."""
    def serialize_go_away(self, last_stream_id: int, error_code: int, debug_data: bytes | None = None) -> bytes:
        """A GOAWAY frame (connection shutdown), `stream_id = 0`."""
    def serialize_rst_stream(self, stream_id: int, error_code: int) -> bytes:
        """A RST_STREAM frame — abruptly terminate `stream_id`."""

@final
class H2FrameHeaders:
    """A complete header block: HEADERS and its CONTINUATION frames."""

    @property
    def stream_id(self) -> int: ...
    @property
    def end_stream(self) -> bool: ...
    @property
    def end_headers(self) -> bool: ...
    @property
    def method(self) -> str | None: ...
    @property
    def scheme(self) -> str | None: ...
    @property
    def authority(self) -> str | None: ...
    @property
    def path(self) -> str | None: ...
    @property
    def status(self) -> int | None: ...
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
    """A DATA frame."""

    @property
    def stream_id(self) -> int: ...
    @property
    def end_stream(self) -> bool: ...
    @property
    def data(self) -> bytes: ...
    @property
    def flow_controlled_len(self) -> int:
        """Payload length plus padding plus the pad-length byte: account
        flow-control windows on this, not on len(data)."""

@final
class H2FrameSettings:
    """A SETTINGS frame or its acknowledgement."""

    @property
    def ack(self) -> bool: ...
    @property
    def header_table_size(self) -> int | None: ...
    @property
    def enable_push(self) -> bool | None: ...
    @property
    def max_concurrent_streams(self) -> int | None: ...
    @property
    def initial_window_size(self) -> int | None: ...
    @property
    def max_frame_size(self) -> int | None: ...
    @property
    def max_header_list_size(self) -> int | None: ...

@final
class H2FrameWindowUpdate:
    """A WINDOW_UPDATE frame."""

    @property
    def stream_id(self) -> int: ...
    @property
    def increment(self) -> int: ...

@final
class H2FramePing:
    """A PING frame."""

    @property
    def ack(self) -> bool: ...
    @property
    def data(self) -> bytes: ...

@final
class H2FrameGoAway:
    """A GOAWAY frame."""

    @property
    def last_stream_id(self) -> int: ...
    @property
    def error_code(self) -> int: ...
    @property
    def debug_data(self) -> bytes: ...

@final
class H2FrameRstStream:
    """A RST_STREAM frame."""

    @property
    def stream_id(self) -> int: ...
    @property
    def error_code(self) -> int: ...

@final
class H2FramePriority:
    """A PRIORITY frame (its dependency and weight are not reported)."""

    @property
    def stream_id(self) -> int: ...

@final
class H2FrameStreamError:
    """A stream-level protocol error found while decoding: reset stream_id
    with error_code and keep the connection."""

    @property
    def stream_id(self) -> int: ...
    @property
    def error_code(self) -> int: ...

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
        """HEADERS sent on the stream; eos: with END_STREAM."""
    def recv_open(self, eos: bool, informational: bool) -> bool:
        """HEADERS received; informational: a 1xx head.

        Returns True when this call opened the stream (from Idle or
        ReservedRemote).
        """
    def reserve_remote(self) -> None:
        """The peer reserved the stream (PUSH_PROMISE received)."""
    def reserve_local(self) -> None:
        """The stream was reserved locally (PUSH_PROMISE sent)."""
    def recv_close(self) -> None:
        """END_STREAM received."""
    def recv_reset(self, stream_id: int, reason: int, queued: bool) -> None:
        """RST_STREAM received; queued: frames for the stream are still queued.

        A closed stream takes the reset only while frames are queued.
        A stream_id of 2**31 or more raises ValueError.
        """
    def recv_eof(self) -> None:
        """The transport ended; an unclosed stream closes as broken."""
    def send_close(self) -> None:
        """The local side ended its direction (END_STREAM sent).

        Only from Open or HalfClosedRemote; elsewhere RuntimeError.
        """
    def set_reset(self, stream_id: int, reason: int, initiator: str) -> None:
        """Close the stream as reset; initiator is "user", "library" or "remote".

        A stream_id of 2**31 or more raises ValueError (checked first), and
        so does any other initiator text.
        """
    def set_scheduled_reset(self, reason: int) -> None:
        """Close the stream with a library reset still to be sent."""
    def get_scheduled_reset(self) -> int | None:
        """The reason of a scheduled library reset, or None."""
    def ensure_recv_open(self) -> bool:
        """Whether frames may still be received.

        Raises the stored failure of a reset or broken stream:
        H2StreamError, ConnectionClosedError, or H2ProtocolError for a
        scheduled reset.
        """
    def is_scheduled_reset(self) -> bool:
        """Closed with a scheduled library reset."""
    def is_local_error(self) -> bool:
        """Closed by a local reset, a scheduled reset or a broken transport."""
    def is_remote_reset(self) -> bool:
        """Closed by a reset the peer initiated."""
    def is_reset(self) -> bool:
        """Closed other than by both directions ending normally."""
    def is_send_streaming(self) -> bool:
        """The local direction has sent its head and is still open."""
    def is_recv_headers(self) -> bool:
        """The remote direction still awaits its final head."""
    def is_recv_streaming(self) -> bool:
        """The remote direction has sent its head and is still open."""
    def is_recv_end_stream(self) -> bool:
        """The remote direction ended normally."""
    def is_closed(self) -> bool:
        """The stream is closed, whatever the cause."""
    def is_send_closed(self) -> bool:
        """Nothing more may be sent on the stream."""
    def is_idle(self) -> bool:
        """The stream has not been used yet."""

@final
class H2FlowControl:
    """One HTTP/2 flow-control window.

    Two signed 32-bit counters, both starting at 0: the window size as the
    peer knows it and the capacity available to the window's user. Amounts
    are unsigned 32-bit; an update whose exact result leaves the signed
    32-bit range raises H2FlowControlError(3) and changes nothing.
    """

    def __init__(self) -> None: ...
    def window_size(self) -> int:
        """The window size if positive, else 0."""
    def available(self) -> int:
        """The capacity assigned to the window's user (may be negative)."""
    def has_unavailable(self) -> bool:
        """Whether the window is non-negative and above available."""
    def unclaimed_capacity(self) -> int | None:
        """The increment of a WINDOW_UPDATE worth sending, or None."""
    def claim_capacity(self, capacity: int) -> None:
        """Lower available by capacity."""
    def assign_capacity(self, capacity: int) -> None:
        """Raise available by capacity."""
    def inc_window(self, sz: int) -> None:
        """Raise the window by sz (a WINDOW_UPDATE was received)."""
    def dec_send_window(self, sz: int) -> None:
        """Lower the window by sz (the peer lowered its initial window)."""
    def dec_recv_window(self, sz: int) -> None:
        """Lower the window, then available, by sz.

        If the second step fails, the window keeps its lowered value.
        """
    def send_data(self, sz: int) -> None:
        """Record sz octets of DATA sent: window and available both drop by sz.

        sz above window_size() raises H2FlowControlError.
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
        """The bytes of a request head; installs the body's framing."""
    def serialize_data(self, chunk: bytes) -> bytes:
        """One body chunk, framed for the message in flight.

        With a body of known length, bytes past the declared length are cut
        off without an error (so a driver may pass the same body to a HEAD,
        204 or 304 answer, which sends none of it).
        """
    def serialize_end(self) -> bytes:
        """The end of the body in flight."""
    def serialize_trailers(self, trailers: HeaderMap) -> bytes:
        """The end of a chunked body with its declared, allowed trailers."""
    def body_is_eof(self) -> bool:
        """Whether no body (or no more of it) is to be sent."""
    def receive_head(self, data: bytes) -> H1ResponseHead | None:
        """Append data and parse a response head; None while incomplete."""
    def receive_request_head(self, data: bytes) -> H1RequestHead | None:
        """Append data and parse a request head; None while incomplete."""
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
        """The bytes of a response head to the request received last."""
    def take_body(self) -> bytes:
        """Remove and return everything in the receive buffer."""
    def buffered(self) -> int:
        """The number of bytes in the receive buffer."""

@final
class H1ResponseHead:
    """A parsed HTTP/1 response head (the event `receive_head` yields)."""

    @property
    def status(self) -> int: ...
    @property
    def headers(self) -> HeaderMap: ...
    @property
    def keep_alive(self) -> bool: ...
    @property
    def body_kind(self) -> str: ...
    @property
    def content_length(self) -> int | None: ...
    @property
    def is_upgrade(self) -> bool: ...
    @property
    def http10(self) -> bool: ...

@final
class H1RequestHead:
    """A parsed HTTP/1 request head (the event `receive_request_head` yields)."""

    @property
    def method(self) -> str: ...
    @property
    def target(self) -> str: ...
    @property
    def headers(self) -> HeaderMap: ...
    @property
    def keep_alive(self) -> bool:
        """Whether the connection may be reused: false for HTTP/1.0 without
        keep-alive, `connection: close`, and a request carrying both
        Content-Length and Transfer-Encoding (answer it, then close)."""
    @property
    def body_kind(self) -> str: ...
    @property
    def content_length(self) -> int | None: ...
    @property
    def expect_continue(self) -> bool: ...
    @property
    def is_upgrade(self) -> bool: ...
    @property
    def http10(self) -> bool: ...

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
        """Append data to the read buffer, also after the body ended."""
    def mark_eof(self) -> None:
        """Report that the transport closed."""
    def decode(self) -> bytes | None:
        """The next body data (non-empty), or None when more input is needed
        or the body ended (is_complete tells which)."""
    @property
    def is_complete(self) -> bool:
        """Whether the body has ended."""
    def take_buffered(self) -> bytes:
        """Remove and return every byte still in the read buffer."""
    def take_trailers(self) -> HeaderMap | None:
        """The trailers of a completed chunked body, moved out once."""

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
        come from a request header), the matcher proxies nothing.
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
        """The ProxyIntercept for the destination url, or None when it goes direct.

        None also for URLs that do not parse, that have no host, or whose
        scheme is neither http nor https.
        """

@final
class ProxyIntercept:
    """The proxy chosen for one destination: its URL without userinfo and
    the credentials that the userinfo carried. Returned by
    ProxyMatcher.intercept; immutable.
    """

    @property
    def uri(self) -> str:
        """The proxy URL as scheme://host[:port]/, without userinfo, path or query."""
    def basic_auth(self) -> str | None:
        """The Proxy-Authorization value "Basic <base64>" for an http or https
        proxy whose URL carried a userinfo, else None."""
    def raw_auth(self) -> tuple[str, str] | None:
        """The tuple (user, password) for a SOCKS proxy whose URL carried a
        userinfo, else None."""
