"""Serving an ASGI application: the listening socket (TCP or a Unix socket,
TLS with ALPN when configured), the lifespan protocol, and graceful
shutdown on SIGTERM/SIGINT (stop accepting, GOAWAY or ``connection:
close``, in-flight requests finish within the shutdown timeout, then every
connection closes)."""

from __future__ import annotations

import asyncio
import logging
import os
import signal
import socket
import ssl
from dataclasses import dataclass, field
from typing import Any

from ._limits import Limits
from ._protocol import ServerProtocol

logger = logging.getLogger("vintrel.server")


@dataclass
class Config:
    host: str = "127.0.0.1"
    port: int = 8000
    uds: str | None = None
    # An SSLContext is used as given (its ALPN protocols included); with
    # certfile/keyfile one is made here offering h2 and http/1.1.
    ssl_context: ssl.SSLContext | None = None
    certfile: str | None = None
    keyfile: str | None = None
    root_path: str = ""
    access_log: bool = True
    # Requests served at once by the process; past it, 503.
    limit_concurrency: int | None = None
    # "auto" (run the application's lifespan if it supports it), "on", "off".
    lifespan: str = "auto"
    backlog: int = 2048
    limits: Limits = field(default_factory=Limits)

    def make_ssl_context(self) -> ssl.SSLContext | None:
        if self.ssl_context is not None:
            return self.ssl_context
        if self.certfile is None:
            return None
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(self.certfile, self.keyfile)
        ctx.set_alpn_protocols(["h2", "http/1.1"])
        return ctx


class ServerState:
    """What every connection of one server shares."""

    def __init__(self, app: Any, config: Config, loop: asyncio.AbstractEventLoop) -> None:
        self.app = app
        self.loop = loop
        self.limits = config.limits
        self.root_path = config.root_path
        self.access_log = config.access_log
        self.limit_concurrency = config.limit_concurrency
        self.connections: set[ServerProtocol] = set()
        self.active = 0
        self.lifespan_state: dict[str, Any] | None = None
        self._all_closed: asyncio.Event | None = None

    def connection_closed(self) -> None:
        if not self.connections and self._all_closed is not None:
            self._all_closed.set()

    async def wait_closed(self) -> None:
        if not self.connections:
            return
        self._all_closed = asyncio.Event()
        await self._all_closed.wait()


class Lifespan:
    """The ASGI lifespan protocol: startup before serving, shutdown after."""

    def __init__(self, app: Any, mode: str) -> None:
        self.app = app
        self.mode = mode
        self.state: dict[str, Any] = {}
        self.queue: asyncio.Queue[dict[str, Any]] = asyncio.Queue()
        self.events: dict[str, asyncio.Future[dict[str, Any]]] = {}
        self.task: asyncio.Task[None] | None = None
        self.supported = True

    async def startup(self) -> None:
        if self.mode == "off":
            self.supported = False
            return
        loop = asyncio.get_running_loop()
        self.events = {k: loop.create_future() for k in ("startup", "shutdown")}
        self.task = loop.create_task(self._run())
        await self.queue.put({"type": "lifespan.startup"})
        done = await self.events["startup"]
        if done["type"] == "lifespan.startup.failed":
            raise RuntimeError(f"application startup failed: {done.get('message', '')}")

    async def shutdown(self) -> None:
        if not self.supported or self.task is None or self.task.done():
            return
        await self.queue.put({"type": "lifespan.shutdown"})
        done = await self.events["shutdown"]
        if done["type"] == "lifespan.shutdown.failed":
            logger.error("application shutdown failed: %s", done.get("message", ""))

    async def _run(self) -> None:
        scope = {"type": "lifespan", "asgi": {"version": "3.0", "spec_version": "2.0"}, "state": self.state}
        try:
            await self.app(scope, self.queue.get, self._send)
        except BaseException as exc:
            self.supported = False
            if self.mode == "on":
                # Asked for: a failing lifespan stops the server from starting.
                logger.exception("lifespan failed")
                outcome = {"type": "lifespan.startup.failed", "message": repr(exc)}
            else:
                logger.debug("the application does not support lifespan: %r", exc)
                outcome = {"type": "lifespan.unsupported"}
            for fut in self.events.values():
                if not fut.done():
                    fut.set_result(outcome)
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                raise

    async def _send(self, message: dict[str, Any]) -> None:
        kind = message["type"]
        for phase in ("startup", "shutdown"):
            if kind.startswith(f"lifespan.{phase}."):
                fut = self.events[phase]
                if not fut.done():
                    fut.set_result(message)
                return
        raise RuntimeError(f"unknown lifespan message {kind!r}")


class Server:
    """An ASGI server on one listening socket, every protocol on it."""

    def __init__(self, app: Any, config: Config | None = None) -> None:
        self.app = app
        self.config = config or Config()
        self._stop: asyncio.Event | None = None
        self.state: ServerState | None = None
        self.sockets: list[socket.socket] = []
        # Set once the server accepts connections (``sockets`` tells where).
        self.started = asyncio.Event()

    def bind(self) -> socket.socket:
        """The listening socket of the configuration (made before workers fork)."""
        cfg = self.config
        if cfg.uds is not None:
            if os.path.exists(cfg.uds):
                os.unlink(cfg.uds)
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        else:
            sock = socket.socket(socket.AF_INET6 if ":" in cfg.host else socket.AF_INET, socket.SOCK_STREAM)
        try:
            if cfg.uds is not None:
                sock.bind(cfg.uds)
            else:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                sock.bind((cfg.host, cfg.port))
            sock.listen(cfg.backlog)
        except BaseException:
            sock.close()  # an address in use must not leak the socket
            raise
        sock.set_inheritable(True)
        return sock

    async def serve(self, sock: socket.socket | None = None, install_signals: bool = True) -> None:
        """Serve until stopped (``stop()``, SIGTERM or SIGINT)."""
        loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()
        cfg = self.config
        lifespan = Lifespan(self.app, cfg.lifespan)
        await lifespan.startup()
        self.state = state = ServerState(self.app, cfg, loop)
        state.lifespan_state = lifespan.state if lifespan.supported else None
        if sock is None:
            sock = self.bind()
        tls = cfg.make_ssl_context()
        # A TLS handshake is part of the first request's head: it gets the
        # head timeout, not the event loop's minute.
        server = await loop.create_server(lambda: ServerProtocol(state), sock=sock, ssl=tls, backlog=cfg.backlog,
                                          ssl_handshake_timeout=cfg.limits.head_timeout if tls else None)
        self.sockets = list(server.sockets)
        self.started.set()
        if install_signals:
            for sig in (signal.SIGTERM, signal.SIGINT):
                try:
                    loop.add_signal_handler(sig, self.stop)
                except (NotImplementedError, RuntimeError):
                    pass
        where = cfg.uds or "%s:%d" % sock.getsockname()[:2]
        logger.info("serving on %s%s", "https://" if tls else "http://", where)
        try:
            await self._stop.wait()
        finally:
            logger.info("shutting down")
            server.close()
            for conn in list(state.connections):
                conn.shutdown()
            try:
                await asyncio.wait_for(state.wait_closed(), cfg.limits.shutdown_timeout)
            except TimeoutError:
                logger.warning("shutdown timeout: closing %d connections", len(state.connections))
                for conn in list(state.connections):
                    conn.abort()
            try:
                await asyncio.wait_for(server.wait_closed(), 1.0)
            except TimeoutError:
                pass
            if install_signals:
                for sig in (signal.SIGTERM, signal.SIGINT):
                    loop.remove_signal_handler(sig)
            await lifespan.shutdown()

    def stop(self) -> None:
        if self._stop is not None:
            self._stop.set()


async def serve(app: Any, config: Config | None = None, **kwargs: Any) -> None:
    """Serve ``app`` until SIGTERM or SIGINT: ``await serve(app, port=8000)``."""
    await Server(app, config or Config(**kwargs)).serve()
