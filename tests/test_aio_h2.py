"""The asyncio HTTP/2 client and server, against each other and a hand-driven peer."""

import asyncio
import shutil

import pytest

from vintrel import H2Codec, H2FrameGoAway, H2FramePing, H2FrameSettings, HeaderMap
from vintrel.aio import H2Client, Request, Response, serve_h2
from vintrel.aio.h2 import PREFACE, StreamReset
from vintrel.aio.tls import client_context, make_self_signed, server_context
import wire

T = 10.0


async def handler(req: Request) -> Response:
    h = HeaderMap([("x-method", req.method), ("x-path", req.target), ("x-len", str(len(req.body)))])
    if req.trailers is not None:
        h["x-got-trailers"] = ",".join(req.trailers.keys())
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
        r = await c.request("POST", "/trailers", body=b"up", trailers=HeaderMap([("x-sum", "2")]))
        assert r.headers["x-got-trailers"] == b"x-sum"
        assert r.body == b"body" and r.trailers["x-done"] == b"yes"
        r = await c.request("POST", "/only-trailers", trailers=HeaderMap([("x-a", "1")]))
        assert r.headers["x-len"] == b"0" and r.headers["x-got-trailers"] == b"x-a"

    run(with_server(go, certs))


def test_concurrent_streams_beyond_the_stream_limit():
    async def go(c, _):
        results = await asyncio.gather(*(c.request("POST", f"/n{i}", body=b"x" * (i * 1000)) for i in range(300)))
        assert [len(r.body) for r in results] == [i * 1000 for i in range(300)]
        assert c.conn.next_stream_id == 601

    run(with_server(go))


def test_failed_or_abandoned_stream_leaves_the_connection_usable():
    async def go(c, _):
        with pytest.raises(StreamReset):
            await c.request("GET", "/fail")
        c.timeout = 0.2
        with pytest.raises(TimeoutError):
            await c.request("GET", "/slow")
        c.timeout = T
        assert (await c.request("GET", "/ok")).status == 200
        assert not c.conn.streams

    run(with_server(go))


async def raw_exchange(port, payload, *, until=None):
    """Send payload, decode what the server answers until it closes or `until` matches."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(payload)
    codec = H2Codec("client")
    events = []
    try:
        while True:
            data = await asyncio.wait_for(reader.read(65536), T)
            if not data:
                break
            events += codec.receive(data)
            if until is not None and any(until(e) for e in events):
                break
    finally:
        writer.close()
    return events


def test_idle_server_connection_ends_with_goaway():
    async def go():
        server = await serve_h2(handler, idle_timeout=0.2)
        port = server.sockets[0].getsockname()[1]
        try:
            events = await raw_exchange(port, PREFACE + H2Codec("client").serialize_settings())
            assert [e.error_code for e in events if isinstance(e, H2FrameGoAway)] == [0]
        finally:
            server.close()

    run(go())


def test_server_answers_ping_and_acks_settings():
    c = H2Codec("client")
    payload = PREFACE + c.serialize_settings() + c.serialize_ping(b"12345678")

    async def go(_, port):
        events = await raw_exchange(port, payload, until=lambda e: isinstance(e, H2FramePing))
        assert any(isinstance(e, H2FrameSettings) and e.ack for e in events)
        ping = [e for e in events if isinstance(e, H2FramePing)][0]
        assert ping.ack and ping.data == b"12345678"

    run(with_server(go))


@pytest.mark.parametrize(
    "payload,reason",
    [
        (b"GET / HTTP/1.1\r\nhost: x\r\n\r\n" + b"x" * 10, 1),  # not the preface
        (PREFACE + b"\x00\x00\x04\x04\x00\x00\x00\x00\x00" + b"\x00" * 4, 1),  # SETTINGS of bad length
        (PREFACE + b"\x00\x00\x00\x01\x05\x00\x00\x00\x02", 1),  # HEADERS on an even stream
        (PREFACE + b"\x00\x00\x08\x06\x00\x00\x00\x00\x01abcdefgh", 1),  # PING on a stream
    ],
)
def test_protocol_errors_close_with_goaway(payload, reason):
    async def go(c, port):
        events = await raw_exchange(port, payload)
        goaways = [e for e in events if isinstance(e, H2FrameGoAway)]
        assert goaways and goaways[-1].error_code == reason
        assert (await c.request("GET", "/still-serving")).status == 200

    run(with_server(go))


def test_server_survives_client_vanishing_mid_message():
    c = H2Codec("client")
    head = c.serialize_request_headers(1, "POST", "http://x/up", HeaderMap([("content-length", "100000")]))
    payload = PREFACE + c.serialize_settings() + head + c.serialize_data(1, b"partial")

    async def go(client, port):
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.write(payload)
        await writer.drain()
        writer.close()
        assert (await client.request("GET", "/after")).status == 200

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


def test_oversized_body_resets_its_stream():
    async def go():
        server = await serve_h2(handler, max_body=100_000)
        port = server.sockets[0].getsockname()[1]
        try:
            async with H2Client("127.0.0.1", port, timeout=T) as c:
                with pytest.raises(StreamReset, match="11"):
                    await c.request("POST", "/", body=b"x" * 200_000)
                assert (await c.request("POST", "/", body=b"x" * 1000)).status == 200
        finally:
            server.close()

    run(go())
