"""Helpers both roles' HTTP/1.1 connections share."""

from __future__ import annotations

from .._vintrel import HeaderMap
from .events import Headers

# Names a trailer section may not carry (framing, routing, authentication
# and fields a recipient must see before the body).
FORBIDDEN_TRAILERS = frozenset(
    {
        "authorization",
        "cache-control",
        "content-encoding",
        "content-length",
        "content-range",
        "content-type",
        "host",
        "max-forwards",
        "set-cookie",
        "te",
        "trailer",
        "transfer-encoding",
    }
)


def has_token(values: list[bytes], token: bytes) -> bool:
    """Whether a comma-separated field lists token (parameters ignored)."""
    return any(item.split(b";", 1)[0].strip().lower() == token for v in values for item in v.split(b","))


def pairs(fields: HeaderMap | None) -> Headers | None:
    if fields is None:
        return None
    return [(name.encode("latin-1"), value) for name, value in fields.items()]
