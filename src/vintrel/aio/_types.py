"""Request and response values shared by the HTTP/1.1 and HTTP/2 drivers."""

from __future__ import annotations

import asyncio
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


async def read_some(reader: asyncio.StreamReader, timeout: float | None) -> bytes:
    """One read of up to 64 KiB; b"" at end of stream.

    A peer that goes silent for longer than ``timeout`` seconds raises
    TimeoutError, so a half-sent message never holds a connection forever.
    """
    if timeout is None:
        return await reader.read(65536)
    return await asyncio.wait_for(reader.read(65536), timeout)


async def close_writer(writer: asyncio.StreamWriter) -> None:
    """Close a transport, ignoring a peer that already went away."""
    writer.close()
    try:
        await writer.wait_closed()
    except (ConnectionError, OSError):
        pass
