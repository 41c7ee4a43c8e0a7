"""``python -m vintrel.demo``: the server and the client talking to
each other on loopback.

Starts the ASGI server (``vintrel.server``) on one cleartext port, which
serves HTTP/1.1 and HTTP/2 with prior knowledge alike, and, when the
``openssl`` command can make a throwaway certificate, on one TLS port that
offers h2 and http/1.1 by ALPN; fetches a few resources over HTTP/1.1, h2c
and h2 over TLS with ``vintrel.aio.Client`` (one pool per protocol), and
prints what was exchanged and how long it took.
"""

from __future__ import annotations

import asyncio
import tempfile
import time
from pathlib import Path
from typing import Any

from . import __version__
from .aio import Client, PoolLimits
from .aio.tls import client_context, make_self_signed, server_context
from .server import Config, Server


async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
    """The demo's ASGI application."""
    body = b""
    while True:
        message = await receive()
        body += message.get("body", b"")
        if not message.get("more_body"):
            break
    path, version = scope["path"], scope["http_version"].encode()
    if path.startswith("/bytes/"):
        answer = b"v" * int(path[7:])
    elif scope["method"] == "POST":
        answer = b"received %d bytes over HTTP/%s" % (len(body), version)
    else:
        answer = b"hello from vintrel over HTTP/" + version
    trailers = scope["method"] == "POST" and "http.response.trailers" in scope["extensions"]
    headers = [(b"content-type", b"text/plain"), (b"server", b"vintrel-demo")]
    await send({"type": "http.response.start", "status": 200, "headers": headers, "trailers": trailers})
    await send({"type": "http.response.body", "body": answer, "more_body": trailers})
    if trailers:
        await send({"type": "http.response.trailers", "headers": [(b"x-body-length", b"%d" % len(body))]})


async def exchange(client: Client, proto: str, base: str, method: str, path: str, body: bytes | None) -> None:
    t = time.perf_counter()
    headers = {"te": "trailers"} if method == "POST" else None
    r = await client.request(method, base + path, content=body, headers=headers)
    data = await r.read()
    took = time.perf_counter() - t
    shown = data if len(data) <= 60 else b"<%d bytes>" % len(data)
    trail = f" trailers={dict(r.trailers.items())}" if r.trailers else ""
    print(f"  {proto:9} {method:4} {path:14} -> {r.status} HTTP/{r.http_version} {shown.decode()}{trail}"
          f"  ({took * 1000:.1f} ms)")


async def fetch_all(client: Client, proto: str, base: str) -> None:
    for method, path, body in [("GET", "/", None), ("GET", "/bytes/1000000", None),
                               ("POST", "/upload", b"u" * 200_000)]:
        await exchange(client, proto, base, method, path, body)
    t = time.perf_counter()

    async def get(i: int) -> int:
        return len(await (await client.get(f"{base}/bytes/{i * 1000}")).read())

    sizes = await asyncio.gather(*(get(i) for i in range(50)))
    assert sizes == [i * 1000 for i in range(50)]
    conns = sum(len(route.conns) for route in client._pool.routes.values())
    print(f"  {proto:9} 50 concurrent GETs on {conns} connection(s) ({(time.perf_counter() - t) * 1000:.1f} ms)")


async def start(config: Config) -> tuple[Server, asyncio.Task[None], int]:
    server = Server(app, config)
    task = asyncio.create_task(server.serve(install_signals=False))
    await server.started.wait()
    return server, task, server.sockets[0].getsockname()[1]


async def main() -> None:
    print(f"vintrel {__version__} demo: the ASGI server on 127.0.0.1")
    running = [await start(Config(port=0, lifespan="off", access_log=False))]
    port = running[0][2]
    with tempfile.TemporaryDirectory() as tmp:
        certs: tuple[Path, Path] | None = None
        try:
            certs = make_self_signed(tmp)
        except (FileNotFoundError, OSError) as exc:
            print(f"  (no TLS part: {exc})")
        if certs is not None:
            tls = server_context(*certs, ["h2", "http/1.1"])
            running.append(await start(Config(port=0, lifespan="off", access_log=False, ssl_context=tls)))
        try:
            base = f"http://127.0.0.1:{port}"
            async with Client(trust_env=False, limits=PoolLimits(max_connections=8)) as c1:
                await fetch_all(c1, "HTTP/1.1", base)
            async with Client(trust_env=False, http2_prior_knowledge=True) as c2:
                await fetch_all(c2, "h2c", base)
            if certs is not None:
                ctx = client_context(certs[0], ["h2", "http/1.1"])
                async with Client(trust_env=False, ssl=ctx) as c3:
                    await fetch_all(c3, "h2 (TLS)", f"https://127.0.0.1:{running[1][2]}")
        finally:
            for server, task, _ in running:
                server.stop()
                await task
    print("done")


if __name__ == "__main__":
    asyncio.run(main())
