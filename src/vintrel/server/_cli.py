"""``python -m vintrel serve module:app``: the command line of the server,
with the flags users of other ASGI servers know, and worker processes
sharing one listening socket (a worker that dies is replaced)."""

from __future__ import annotations

import argparse
import asyncio
import importlib
import logging
import os
import signal
import socket
import sys
import time
from typing import Any

from ._limits import Limits
from ._serve import Config, Server

logger = logging.getLogger("vintrel.server")
LEVELS = ("critical", "error", "warning", "info", "debug", "trace")


def load_app(spec: str) -> Any:
    """``module:attribute`` (dots allowed in both) to the application."""
    module_name, _, attr = spec.partition(":")
    if not module_name or not attr:
        raise SystemExit(f'error: the application must be given as "module:attribute", got {spec!r}')
    if "" not in sys.path and os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())
    try:
        obj: Any = importlib.import_module(module_name)
    except ImportError as exc:
        if exc.name != module_name:
            raise
        raise SystemExit(f"error: could not import module {module_name!r}") from None
    for part in attr.split("."):
        try:
            obj = getattr(obj, part)
        except AttributeError:
            raise SystemExit(f"error: attribute {attr!r} not found in module {module_name!r}") from None
    return obj


def add_serve_arguments(p: argparse.ArgumentParser) -> None:
    d = Limits()
    p.add_argument("app", help='the ASGI application, as "module:attribute"')
    p.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8000, help="port to bind (default 8000)")
    p.add_argument("--uds", help="bind to this Unix domain socket instead")
    p.add_argument("--workers", type=int, default=1, help="worker processes sharing the socket (default 1)")
    p.add_argument("--certfile", "--ssl-certfile", dest="certfile", help="TLS certificate (PEM): serve HTTPS")
    p.add_argument("--keyfile", "--ssl-keyfile", dest="keyfile", help="TLS private key (PEM)")
    p.add_argument("--loop", choices=("auto", "asyncio", "uvloop"), default="auto",
                   help="event loop: uvloop if installed (auto), or the one named")
    p.add_argument("--lifespan", choices=("auto", "on", "off"), default="auto", help="ASGI lifespan (default auto)")
    p.add_argument("--log-level", choices=LEVELS, default="info", help="log level (default info)")
    p.add_argument("--access-log", action=argparse.BooleanOptionalAction, default=True,
                   help="log every request (default on)")
    p.add_argument("--root-path", default="", help="the ASGI root_path of a mounted application")
    p.add_argument("--limit-concurrency", type=int, help="requests served at once per worker; past it, 503")
    p.add_argument("--limit-connections", type=int, default=d.max_connections,
                   help=f"connections per worker; past it, 503 and close (default {d.max_connections})")
    p.add_argument("--backlog", type=int, default=2048, help="listen backlog (default 2048)")
    p.add_argument("--timeout-keep-alive", type=float, default=d.keep_alive_timeout,
                   help=f"seconds an idle connection is kept (default {d.keep_alive_timeout:g})")
    p.add_argument("--timeout-head", type=float, default=d.head_timeout,
                   help=f"seconds a request head may take to arrive (default {d.head_timeout:g})")
    p.add_argument("--timeout-write", type=float, default=d.write_timeout,
                   help=f"seconds a client may leave our output unread (default {d.write_timeout:g})")
    p.add_argument("--timeout-body", type=float, default=d.body_timeout,
                   help=f"seconds an application may wait for request body bytes (default {d.body_timeout:g})")
    p.add_argument("--timeout-graceful-shutdown", type=float, default=d.shutdown_timeout,
                   help=f"seconds in-flight requests get at shutdown (default {d.shutdown_timeout:g})")
    p.add_argument("--max-head-size", type=int, default=d.max_head_size,
                   help=f"request head / header list bytes; past it, 431 (default {d.max_head_size})")
    p.add_argument("--max-body-size", type=int, default=d.max_body_size,
                   help=f"request body bytes; past it, 413 (default {d.max_body_size})")
    p.add_argument("--max-streams", type=int, default=d.max_concurrent_streams,
                   help=f"HTTP/2 concurrent streams per connection (default {d.max_concurrent_streams})")


def config_from(args: argparse.Namespace) -> Config:
    limits = Limits(
        max_head_size=args.max_head_size,
        max_body_size=args.max_body_size,
        max_concurrent_streams=args.max_streams,
        keep_alive_timeout=args.timeout_keep_alive,
        head_timeout=args.timeout_head,
        write_timeout=args.timeout_write,
        body_timeout=args.timeout_body,
        max_connections=args.limit_connections,
        shutdown_timeout=args.timeout_graceful_shutdown,
    )
    return Config(
        host=args.host, port=args.port, uds=args.uds, certfile=args.certfile, keyfile=args.keyfile,
        root_path=args.root_path, access_log=args.access_log, limit_concurrency=args.limit_concurrency,
        lifespan=args.lifespan, backlog=args.backlog, limits=limits,
    )


def configure_logging(level: str) -> None:
    numeric = 5 if level == "trace" else getattr(logging, level.upper())
    handler = logging.StreamHandler()
    handler.setFormatter(logging.Formatter("%(levelname)s:     %(message)s"))
    for name in ("vintrel.server", "vintrel.access"):
        log = logging.getLogger(name)
        log.handlers[:] = [handler]
        log.setLevel(numeric)
        log.propagate = False


def new_loop(kind: str) -> asyncio.AbstractEventLoop:
    if kind in ("auto", "uvloop"):
        try:
            uvloop = importlib.import_module("uvloop")  # an optional extra
        except ImportError:
            if kind == "uvloop":
                raise SystemExit("error: --loop uvloop needs uvloop installed") from None
        else:
            loop: asyncio.AbstractEventLoop = uvloop.new_event_loop()
            return loop
    return asyncio.new_event_loop()


def run_worker(app: Any, config: Config, sock: socket.socket, loop_kind: str) -> None:
    loop = new_loop(loop_kind)
    asyncio.set_event_loop(loop)
    try:
        loop.run_until_complete(Server(app, config).serve(sock))
    finally:
        loop.close()


def supervise(app: Any, config: Config, sock: socket.socket, loop_kind: str, workers: int) -> int:
    """Forks the workers and replaces any that dies, until SIGTERM/SIGINT."""
    children: dict[int, int] = {}  # pid -> worker number
    stopping = False

    def spawn(n: int) -> None:
        pid = os.fork()
        if pid == 0:
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            code = 0
            try:
                run_worker(app, config, sock, loop_kind)
            except BaseException:
                logger.exception("worker %d failed", n)
                code = 1
            os._exit(code)
        children[pid] = n
        logger.info("started worker %d (pid %d)", n, pid)

    def stop(signum: int, _frame: Any) -> None:
        nonlocal stopping
        stopping = True
        for pid in children:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    for n in range(workers):
        spawn(n)
    deadline: float | None = None
    while children:
        try:
            pid, status = os.waitpid(-1, os.WNOHANG if stopping else 0)
        except ChildProcessError:
            break
        except InterruptedError:
            continue
        if pid == 0:
            deadline = deadline or time.monotonic() + config.limits.shutdown_timeout + 5
            if time.monotonic() > deadline:
                for p in children:
                    os.kill(p, signal.SIGKILL)
            time.sleep(0.05)
            continue
        n = children.pop(pid)
        if not stopping:
            logger.warning("worker %d (pid %d) exited with status %d: replacing it", n, pid, status)
            time.sleep(0.1)
            spawn(n)
    return 0


def serve_main(args: argparse.Namespace) -> int:
    configure_logging(args.log_level)
    app = load_app(args.app)
    config = config_from(args)
    if args.workers <= 1:
        run_worker(app, config, Server(app, config).bind(), args.loop)
        return 0
    if not hasattr(os, "fork"):
        raise SystemExit("error: --workers needs a platform with fork()")
    return supervise(app, config, Server(app, config).bind(), args.loop, args.workers)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vintrel", description="vintrel's command line")
    commands = parser.add_subparsers(dest="command", required=True)
    serve = commands.add_parser("serve", help="serve an ASGI application over HTTP/1.1 and HTTP/2",
                                description="Serve an ASGI 3.0 application over HTTP/1.1 and HTTP/2 "
                                            "(cleartext and TLS with ALPN) on one port.")
    add_serve_arguments(serve)
    commands.add_parser("demo", help="run the demo (python -m vintrel.demo)")
    args = parser.parse_args(argv)
    if args.command == "demo":
        import runpy

        runpy.run_module("vintrel.demo", run_name="__main__")
        return 0
    return serve_main(args)
