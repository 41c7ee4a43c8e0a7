"""The handler API's request and response values (both protocols)."""

from __future__ import annotations

from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field

from .._vintrel import HeaderMap


@dataclass
class Request:
    """A request as a server handler sees it (the body fully read)."""

    method: str
    target: str
    headers: HeaderMap
    body: bytes = b""
    trailers: HeaderMap | None = None
    http_version: str = "1.1"


@dataclass
class Response:
    """A response: what a handler returns and what a client gets back."""

    status: int
    headers: HeaderMap = field(default_factory=HeaderMap)
    body: bytes = b""
    trailers: HeaderMap | None = None


# Servers refuse request bodies above this many bytes by default: bodies are
# held whole in memory before the handler runs.
MAX_BODY = 64 << 20

Handler = Callable[[Request], Awaitable[Response]]
