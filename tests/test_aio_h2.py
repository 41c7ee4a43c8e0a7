"""The asyncio HTTP/2 client, against serve_h2 and a hand-driven server."""

import asyncio
import shutil

import pytest

from vintrel import H2Codec, HeaderMap
from vintrel.aio import H2Client, Request, Response, serve_h2
from vintrel.aio.h2 import StreamReset
from vintrel.aio.tls import client_context, make_self_signed, server_context
import wire

T = 10.0


async def handler(req: Request) -> Response:
    h = HeaderMap([("x-method", req.method), ("x-path", req.target), ("x-len", str(len(req.body)))])
    if req.target.startswith("/big/"):
        return Response(200, h, b"z" * int(req.target[5:]))
    if req.target == "/trailers":
        return Response(200, h, b"body", HeaderMap([("x-done", "yes")]))
    if req.target == "/slow":
        await asyncio.sleep(3)
    if req.target == "/fail":
        raise RuntimeError("handler failure")
    return Response(200, h, req.body)


def run(coro):
    return wire.run(coro, 60)


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    if shutil.which("openssl") is None:
        pytest.skip("the openssl command is not installed")
    return make_self_signed(tmp_path_factory.mktemp("tls"))


async def with_server(fn, tls=None):
    ssl = server_context(*tls, ["h2"]) if tls else None
    server = await serve_h2(handler, ssl=ssl, idle_timeout=T)
    port = server.sockets[0].getsockname()[1]
    client_ssl = client_context(tls[0], ["h2"]) if tls else None
    try:
        async with H2Client("127.0.0.1", port, ssl=client_ssl, timeout=T) as c:
            return await fn(c, port)
    finally:
        server.close()
        await server.wait_closed()


@pytest.mark.parametrize("tls", [False, True], ids=["h2c", "tls"])
def test_exchanges_on_one_connection(tls, request):
    certs = request.getfixturevalue("certs") if tls else None

    async def go(c, _):
        r = await c.request("GET", "/hello")
        assert (r.status, r.headers["x-path"], r.body) == (200, b"/hello", b"")
        # Both directions well past the default 64 KiB windows.
        big = bytes(range(256)) * 12000
        r = await c.request("POST", "/echo", body=big)
        assert r.body == big
        r = await c.request("GET", "/big/5000000")
        assert len(r.body) == 5000000
        # Request trailers reach no handler now; response trailers need `te`.
        te = HeaderMap([("te", "trailers")])
        r = await c.request("POST", "/trailers", te, body=b"up", trailers=HeaderMap([("x-sum", "2")]))
        assert r.headers["x-len"] == b"2"
        assert r.body == b"body" and r.trailers["x-done"] == b"yes"
        r = await c.request("POST", "/only-trailers", trailers=HeaderMap([("x-a", "1")]))
        assert r.status == 200 and r.headers["x-len"] == b"0"

    run(with_server(go, certs))


def test_concurrent_streams_beyond_the_stream_limit():
    async def go(c, _):
        results = await asyncio.gather(*(c.request("POST", f"/n{i}", body=b"x" * (i * 1000)) for i in range(300)))
        assert [len(r.body) for r in results] == [i * 1000 for i in range(300)]
        assert c.conn.next_stream_id == 601

    run(with_server(go))


def test_failed_or_abandoned_stream_leaves_the_connection_usable():
    async def go(c, _):
        assert (await c.request("GET", "/fail")).status == 500
        c.timeout = 0.2
        with pytest.raises(TimeoutError):
            await c.request("GET", "/slow")
        c.timeout = T
        assert (await c.request("GET", "/ok")).status == 200
        assert not c.conn.streams

    run(with_server(go))


def test_client_fails_requests_when_server_goes_away():
    async def bad(reader, writer):
        await reader.read(100)
        writer.write(b"\x00\x00\x00\x04\x00\x00\x00\x00\x00")  # SETTINGS
        writer.write(H2Codec("server").serialize_go_away(0, 2))
        await writer.drain()
        writer.close()

    async def go():
        server = await asyncio.start_server(bad, "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        try:
            async with H2Client("127.0.0.1", port, timeout=T) as c:
                with pytest.raises(StreamReset):
                    await c.request("GET", "/")
        finally:
            server.close()
            await server.wait_closed()

    run(go())
