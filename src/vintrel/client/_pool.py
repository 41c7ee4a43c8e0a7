"""The connection pool: per route, the open connections, the ones being
made, and the requests waiting for one.

A request takes a connection that can start a stream now (an HTTP/2
connection under the server's concurrent-stream limit, an idle HTTP/1.1
one); else, while the route may speak HTTP/2 and a connection is being
made, it waits for that one; else it opens one if the route is under
``max_connections``; else it waits for a stream or a connection to come
free, up to the pool timeout. Idle connections past ``max_keepalive`` are
closed, and an idle one is closed after ``keepalive_expiry``.
"""

from __future__ import annotations

import asyncio
from collections import deque
from collections.abc import Awaitable, Callable

from ._config import PoolLimits
from ._connect import Route
from ._errors import PoolTimeout
from ._protocol import ClientProtocol


class _RoutePool:
    __slots__ = ("conns", "connecting", "waiters", "http2")

    def __init__(self, http2: bool | None) -> None:
        self.conns: list[ClientProtocol] = []
        self.connecting = 0
        self.waiters: deque[asyncio.Future[None]] = deque()
        # Whether the route's connections speak HTTP/2: None until the
        # first one is made (ALPN decides), then what it chose.
        self.http2 = http2


class Pool:
    def __init__(self, limits: PoolLimits) -> None:
        self.limits = limits
        self.routes: dict[Route, _RoutePool] = {}
        self.closed = False
        self._sweeper: asyncio.TimerHandle | None = None

    async def acquire(
        self,
        route: Route,
        connect: Callable[[Callable[[ClientProtocol], None]], Awaitable[ClientProtocol]],
        *,
        http2: bool | None,
        timeout: float | None,
    ) -> ClientProtocol:
        """A connection of ``route`` that can start a request now.
        ``connect(on_release)`` makes a new one."""
        rp = self.routes.get(route)
        if rp is None:
            rp = self.routes[route] = _RoutePool(http2)
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        while True:
            if self.closed:
                raise RuntimeError("the client is closed")
            proto = self._ready(rp, loop.time())
            if proto is not None:
                return proto
            if rp.connecting and rp.http2 is not False:
                pass  # an HTTP/2 connection on its way may carry this request too
            elif len(rp.conns) + rp.connecting < self.limits.max_connections:
                rp.connecting += 1
                try:
                    proto = await connect(lambda p: self._released(route, p))
                finally:
                    rp.connecting -= 1
                    self._wake(rp, everyone=True)
                rp.http2 = proto.http_version == "2"
                rp.conns.append(proto)
                if proto.can_start:
                    return proto
                continue
            fut = loop.create_future()
            rp.waiters.append(fut)
            try:
                if deadline is None:
                    await fut
                else:
                    async with asyncio.timeout_at(deadline):
                        await fut
            except BaseException as exc:
                if fut.done() and not fut.cancelled():
                    self._wake(rp)  # the wake this waiter got goes to the next one
                if isinstance(exc, TimeoutError):
                    raise PoolTimeout("no connection became free within the pool timeout") from None
                raise
            finally:
                if not fut.done():
                    fut.cancel()
                try:
                    rp.waiters.remove(fut)
                except ValueError:
                    pass

    def ready(self, route: Route) -> ClientProtocol | None:
        """A connection of ``route`` that can start a request now, if any
        (the path of a request that needs no wait)."""
        rp = self.routes.get(route)
        if rp is None or self.closed:
            return None
        for proto in rp.conns:
            if proto.can_start and not proto.idle:
                return proto  # an HTTP/2 connection in use: never expired
        return self._ready(rp, rp.conns[0].loop.time()) if rp.conns else None

    def _ready(self, rp: _RoutePool, now: float) -> ClientProtocol | None:
        expiry = self.limits.keepalive_expiry
        for proto in rp.conns:
            if not proto.can_start:
                continue
            if expiry is not None and proto.idle and now - proto.idle_since > expiry:
                proto.close()  # the server may close it as we send: do not use it
                continue
            return proto
        return None

    def _released(self, route: Route, proto: ClientProtocol) -> None:
        """A stream of ``proto`` is done, or ``proto`` closed."""
        rp = self.routes.get(route)
        if rp is None:
            return
        if not proto.usable:
            if proto in rp.conns:
                rp.conns.remove(proto)
            if proto.idle:
                proto.close()
        elif proto.idle:
            if self.closed or (len(rp.conns) > self.limits.max_keepalive
                               and sum(1 for p in rp.conns if p.idle) > self.limits.max_keepalive):
                rp.conns.remove(proto)
                proto.close()
            elif self.limits.keepalive_expiry is not None and self._sweeper is None:
                self._sweeper = proto.loop.call_later(self.limits.keepalive_expiry, self._sweep)
        self._wake(rp, everyone=proto.closed)
        if not rp.conns and not rp.connecting and not rp.waiters:
            del self.routes[route]  # nothing left of the route: memory stays bounded over many origins

    def _sweep(self) -> None:
        """Close the connections idle for longer than the keep-alive expiry;
        one timer for the pool, running while any connection is idle."""
        self._sweeper = None
        expiry = self.limits.keepalive_expiry
        if expiry is None or self.closed:
            return
        loop = asyncio.get_running_loop()
        now = loop.time()
        first = None
        for rp in self.routes.values():
            for proto in list(rp.conns):
                if proto.idle:
                    if now - proto.idle_since >= expiry:
                        rp.conns.remove(proto)
                        proto.close()
                    elif first is None or proto.idle_since < first:
                        first = proto.idle_since
        if first is not None:
            self._sweeper = loop.call_at(first + expiry, self._sweep)

    @staticmethod
    def _wake(rp: _RoutePool, everyone: bool = False) -> None:
        """A stream came free (one waiter may take it), or a connection
        was made or lost (every waiter looks again)."""
        for fut in rp.waiters:
            if not fut.done():
                fut.set_result(None)
                if not everyone:
                    return

    async def close(self) -> None:
        """Close every connection (GOAWAY on HTTP/2), wait a moment for them
        to go, and abort what is left."""
        self.closed = True
        if self._sweeper is not None:
            self._sweeper.cancel()
        protos = []
        for rp in self.routes.values():
            protos += rp.conns
            for proto in rp.conns:
                proto.close(now=True)
            rp.conns.clear()
            self._wake(rp, everyone=True)
        self.routes.clear()
        pending = [p.lost for p in protos if not p.lost.done()]
        if pending:
            await asyncio.wait(pending, timeout=0.25)
            for proto in protos:
                if not proto.lost.done() and proto.transport is not None:
                    proto.transport.abort()
