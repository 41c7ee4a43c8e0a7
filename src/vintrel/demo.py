"""``python -m vintrel.demo``: the drivers talking to each other on loopback.

Starts an embedded server for HTTP/1.1, one for HTTP/2 over cleartext
(prior knowledge) and, when the ``openssl`` command can make a throwaway
certificate, one for HTTP/2 over TLS with ALPN "h2"; fetches a few
resources from each with the client drivers and prints what was exchanged
and how long it took.
"""

from __future__ import annotations

import asyncio
import tempfile
import time
from pathlib import Path

from . import HeaderMap, __version__
from .aio import H1Client, H2Client, Request, Response, serve_h1, serve_h2
from .aio.tls import client_context, make_self_signed, server_context


async def handler(req: Request) -> Response:
    headers = HeaderMap([("content-type", "text/plain"), ("server", "vintrel-demo")])
    if req.target.startswith("/bytes/"):
        return Response(200, headers, b"v" * int(req.target[7:]))
    if req.method == "POST":
        text = b"received %d bytes over HTTP/%s" % (len(req.body), req.http_version.encode())
        return Response(200, headers, text, HeaderMap([("x-body-length", str(len(req.body)))]))
    return Response(200, headers, b"hello from vintrel over HTTP/" + req.http_version.encode())


def show(proto: str, method: str, path: str, r: Response, took: float) -> None:
    body = r.body if len(r.body) <= 60 else b"<%d bytes>" % len(r.body)
    trail = f" trailers={dict(r.trailers.items())}" if r.trailers else ""
    print(f"  {proto:9} {method:4} {path:14} -> {r.status} {body.decode()}{trail}  ({took * 1000:.1f} ms)")


async def fetch_all(client: H1Client | H2Client, proto: str) -> None:
    for method, path, body in [
        ("GET", "/", None),
        ("GET", "/bytes/1000000", None),
        ("POST", "/upload", b"u" * 200_000),
    ]:
        t = time.perf_counter()
        if isinstance(client, H2Client):
            r = await client.request(method, path, body=body or b"")
        else:
            r = await client.request(method, path, body=body)
        show(proto, method, path, r, time.perf_counter() - t)
    if isinstance(client, H2Client):
        t = time.perf_counter()
        rs = await asyncio.gather(*(client.request("GET", f"/bytes/{i * 1000}") for i in range(50)))
        assert all(len(r.body) == i * 1000 for i, r in enumerate(rs))
        print(f"  {proto:9} 50 concurrent GETs on one connection ({(time.perf_counter() - t) * 1000:.1f} ms)")


async def main() -> None:
    print(f"vintrel {__version__} demo: embedded servers on 127.0.0.1")
    h1 = await serve_h1(handler)
    h2c = await serve_h2(handler)
    servers = [h1, h2c]
    with tempfile.TemporaryDirectory() as tmp:
        certs: tuple[Path, Path] | None = None
        try:
            certs = make_self_signed(tmp)
        except (FileNotFoundError, OSError) as exc:
            print(f"  (no TLS part: {exc})")
        h2tls = None
        if certs is not None:
            h2tls = await serve_h2(handler, ssl=server_context(*certs, ["h2"]))
            servers.append(h2tls)
        try:
            port = h1.sockets[0].getsockname()[1]
            async with H1Client("127.0.0.1", port) as c1:
                await fetch_all(c1, "HTTP/1.1")
                print(f"  HTTP/1.1 requests used {c1.connections_opened} connection(s)")
            async with H2Client("127.0.0.1", h2c.sockets[0].getsockname()[1]) as c2:
                await fetch_all(c2, "h2c")
            if h2tls is not None and certs is not None:
                ctx = client_context(certs[0], ["h2"])
                async with H2Client("127.0.0.1", h2tls.sockets[0].getsockname()[1], ssl=ctx) as c3:
                    await fetch_all(c3, "h2 (TLS)")
        finally:
            for s in servers:
                s.close()
                await s.wait_closed()
    print("done")


if __name__ == "__main__":
    asyncio.run(main())
