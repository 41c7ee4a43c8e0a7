"""HTTP/1.1 and HTTP/2 protocol logic without I/O."""

import enum
from collections.abc import Iterable, Iterator, Mapping
from typing import TypeVar, final

_T = TypeVar("_T")

__version__: str
__all__: list[str]

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

    def __init__(
        self,
        init: HeaderMap | Mapping[str | bytes, str | bytes] | Iterable[tuple[str | bytes, str | bytes]] | None = None,
    ) -> None: ...
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
    def __getitem__(self, name: str | bytes) -> bytes:
        """The first value of name; KeyError(lowercase name) when absent."""
    def __setitem__(self, name: str | bytes, value: str | bytes) -> None:
        """Make value the name's only value; an existing name keeps its place."""
    def __delitem__(self, name: str | bytes) -> None:
        """Remove name and its values; the last name moves into its place."""
    def __contains__(self, name: object) -> bool:
        """Whether name is present; an invalid name raises."""
    def __iter__(self) -> Iterator[str]:
        """Iterate over a snapshot of the distinct names."""
    def __len__(self) -> int:
        """The number of values, duplicates included."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]

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
