"""The asyncio HTTP/1.1 client, against serve_h1 and a hand-written server."""

import asyncio

import pytest

from vintrel import HeaderMap
from vintrel.aio import H1Client, Request, Response, serve_h1
import wire

T = 5.0  # every wait in these tests is bounded


async def echo(req: Request) -> Response:
    h = HeaderMap()
    h["x-method"] = req.method
    h["x-target"] = req.target
    if req.target == "/trailers":
        t = HeaderMap()
        t["x-sum"] = str(len(req.body))
        return Response(200, h, req.body, t)
    if req.method == "HEAD":
        return Response(200, h, b"as-for-get")
    if req.target == "/close":
        h["connection"] = "close"
    return Response(200, h, req.body)


def run(coro):
    return wire.run(coro, 20)


async def with_server(fn):
    server = await serve_h1(echo, idle_timeout=T)
    port = server.sockets[0].getsockname()[1]
    try:
        return await fn(port, server)
    finally:
        server.close()
        await server.wait_closed()


async def chunks(n):
    for i in range(n):
        yield b"part%d;" % i


@pytest.mark.parametrize(
    "method,target,body,kw,want_body",
    [
        ("GET", "/", None, {}, b""),
        ("POST", "/len", b"hello" * 1000, {}, b"hello" * 1000),
        ("POST", "/iter", [b"a", b"", b"bc"], {}, b"abc"),
        # Request trailers reach no handler now; response trailers need `te`.
        ("POST", "/trailers", b"xyz", {"trailers": HeaderMap([("x-check", "1")]),
                                       "headers": HeaderMap([("te", "trailers")])}, b"xyz"),
        ("PUT", "/expect", b"q" * 70000, {"expect_continue": True}, b"q" * 70000),
        ("HEAD", "/", None, {}, b""),
    ],
)
def test_round_trip(method, target, body, kw, want_body):
    async def go(port, _):
        async with H1Client("127.0.0.1", port, timeout=T) as c:
            r = await c.request(method, target, body=body, **kw)
            assert r.status == 200
            assert r.body == want_body
            assert r.headers["x-method"] == method.encode()
            if "trailers" in kw:
                assert r.trailers["x-sum"] == b"3"
            if method == "HEAD":
                assert r.headers["content-length"] == b"10"

    run(with_server(go))


def test_async_chunked_upload_and_keep_alive_reuse():
    async def go(port, _):
        async with H1Client("127.0.0.1", port, timeout=T) as c:
            for i in range(5):
                r = await c.request("POST", f"/n{i}", body=chunks(3))
                assert r.body == b"part0;part1;part2;"
            assert c.connections_opened == 1
            r = await c.request("GET", "/close")
            assert r.status == 200
            r = await c.request("GET", "/after")
            assert r.headers["x-target"] == b"/after"
            assert c.connections_opened == 2

    run(with_server(go))


def test_client_reports_server_closing_mid_body():
    async def half(reader, writer):
        await reader.read(1000)
        writer.write(b"HTTP/1.1 200 OK\r\ncontent-length: 100\r\n\r\nshort")
        await writer.drain()
        writer.close()

    async def go():
        server = await asyncio.start_server(half, "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        try:
            async with H1Client("127.0.0.1", port, timeout=T) as c:
                with pytest.raises(Exception, match="mid-body|malformed"):
                    await c.request("GET", "/")
        finally:
            server.close()
            await server.wait_closed()

    run(go())
