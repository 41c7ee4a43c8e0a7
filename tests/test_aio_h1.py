"""The asyncio HTTP/1.1 client and server, against each other and raw sockets."""

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
    if req.trailers is not None:
        for name, value in req.trailers.items():
            h.add("x-trailer-" + name, value)
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
        ("POST", "/trailers", b"xyz", {"trailers": HeaderMap([("x-check", "1")])}, b"xyz"),
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
                assert r.headers["x-trailer-x-check"] == b"1"
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


async def raw(port, payload, *, close_write=False):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(payload)
    if close_write:
        writer.write_eof()
    data = b""
    while True:
        chunk = await asyncio.wait_for(reader.read(65536), T)
        if not chunk:
            break
        data += chunk
    writer.close()
    return data


def test_pipelined_requests_answered_in_order():
    payload = (
        b"GET /a HTTP/1.1\r\nhost: x\r\n\r\n"
        b"POST /b HTTP/1.1\r\nhost: x\r\ncontent-length: 3\r\n\r\nabc"
        b"POST /c HTTP/1.1\r\nhost: x\r\ntransfer-encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\n\r\n"
        b"GET /d HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n"
    )

    async def go(port, _):
        data = await raw(port, payload)
        assert data.count(b"HTTP/1.1 200 OK") == 4
        targets = [line.split(b": ")[1] for line in data.split(b"\r\n") if line.startswith(b"x-target")]
        assert targets == [b"/a", b"/b", b"/c", b"/d"]
        assert b"\r\n\r\nabcHTTP/1.1" in data and b"\r\n\r\nhiHTTP/1.1" in data

    run(with_server(go))


def test_http10_request_gets_http10_close_delimited_answer():
    async def go(port, _):
        data = await raw(port, b"GET /old HTTP/1.0\r\n\r\n")
        assert data.startswith(b"HTTP/1.0 200 OK\r\n")

    run(with_server(go))


@pytest.mark.parametrize(
    "payload",
    [
        b"GET / HTTP/1.1\r\nhost: x\r\ncontent-length: 10\r\n\r\nabc",  # body cut short
        b"GET / HTTP/1.1\r\nhost: ",  # head cut short
        b"POST / HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\n5\r\nab",  # chunk cut short
        b"BAD\x00REQUEST\r\n\r\n",  # not HTTP at all
        b"POST / HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\nzz\r\n",  # bad chunk size
    ],
)
def test_server_survives_broken_clients(payload):
    async def go(port, server):
        data = await raw(port, payload, close_write=True)
        assert b"200 OK" not in data
        async with H1Client("127.0.0.1", port, timeout=T) as c:
            assert (await c.request("GET", "/still-alive")).status == 200

    run(with_server(go))


def test_server_drops_silent_client_after_idle_timeout():
    async def go():
        server = await serve_h1(echo, idle_timeout=0.2)
        port = server.sockets[0].getsockname()[1]
        try:
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
            writer.write(b"POST / HTTP/1.1\r\ncontent-length: 5\r\n\r\nab")
            assert await asyncio.wait_for(reader.read(), T) == b""
            writer.close()
        finally:
            server.close()
            await server.wait_closed()

    run(go())


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


@pytest.mark.parametrize("body", [b"x" * 2000, [b"x" * 600] * 4], ids=["length", "chunked"])
def test_oversized_body_gets_413_and_close(body):
    async def go():
        server = await serve_h1(echo, max_body=1000)
        port = server.sockets[0].getsockname()[1]
        try:
            async with H1Client("127.0.0.1", port, timeout=T) as c:
                assert (await c.request("POST", "/", body=body)).status == 413
                assert (await c.request("POST", "/", body=b"small")).body == b"small"
                assert c.connections_opened == 2
        finally:
            server.close()

    run(go())
