"""The client's settings: time limits and pool limits."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class Timeout:
    """Seconds allowed for each step of a request; None means no limit.

    ``connect``: TCP, proxy tunnel and TLS handshake. ``read``: each wait
    for the response (its head, then each piece of its body). ``write``:
    each wait for the server to take request body bytes. ``pool``: waiting
    for a connection when the pool is at its limit.
    """

    connect: float | None = 10.0
    read: float | None = 30.0
    write: float | None = 30.0
    pool: float | None = 10.0

    @classmethod
    def of(cls, value: Timeout | float | None) -> Timeout:
        """A Timeout from a Timeout, one number for every step, or None (no limits)."""
        if isinstance(value, Timeout):
            return value
        return cls(value, value, value, value)


@dataclass(frozen=True, slots=True)
class PoolLimits:
    """How many connections the pool keeps.

    ``max_connections``: open connections per origin (an HTTP/2 connection
    carries up to the server's concurrent-stream limit; past it a second
    one opens). ``max_keepalive``: idle connections kept per origin.
    ``keepalive_expiry``: seconds an idle connection is kept.
    """

    max_connections: int = 100
    max_keepalive: int = 20
    keepalive_expiry: float | None = 5.0
