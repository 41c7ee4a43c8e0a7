"""The handler adapter (handler_app, serve_h1/serve_h2) as clients meet it:
httpx on HTTP/1.1 and h2c, h11 and h2 where trailers must be seen."""

import asyncio
import shutil
import ssl

import h2.config
import h2.connection
import h2.events
import h11
import httpx
import pytest

from vintrel import H2Codec, H2FrameData, H2FrameGoAway, HeaderMap
from vintrel.aio import Request, Response, handler_app, serve_h1, serve_h2
from vintrel.aio.tls import make_self_signed, server_context
from vintrel.server import Config, Limits, Server
import wire

T = 10.0
PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
seen: list[Request] = []


async def handler(req: Request) -> Response:
    seen.append(req)
    if req.target == "/fail":
        raise RuntimeError("handler failure")
    if req.target == "/slow":
        await asyncio.sleep(0.3)
    h = HeaderMap([("x-method", req.method), ("x-target", req.target), ("x-version", req.http_version),
                   ("x-echo", req.headers.get_all("x-in")[0] if "x-in" in req.headers else b"-")])
    return Response(201, h, req.body or b"hello", HeaderMap([("x-sum", str(len(req.body)))]))


def run(coro):
    return wire.run(coro, 60)


def client(port, proto):
    transport = httpx.AsyncHTTPTransport(http1=proto == "h1", http2=proto == "h2")
    return httpx.AsyncClient(base_url=f"http://127.0.0.1:{port}", transport=transport, timeout=T)


def port_of(server):
    return server.sockets[0].getsockname()[1]


@pytest.fixture(autouse=True)
def _clear_seen():
    seen.clear()


@pytest.mark.parametrize("proto", ["h1", "h2"])
def test_round_trip(proto):
    big = bytes(range(256)) * 1200  # past the default HTTP/2 windows

    async def go():
        async with await serve_h1(handler) as server, client(port_of(server), proto) as c:
            r = await c.post("/a/b?x=1&y=%20", content=big, headers={"x-in": "v1"})
            want_version = "HTTP/2" if proto == "h2" else "HTTP/1.1"
            assert (r.status_code, r.http_version, r.content) == (201, want_version, big)
            assert r.headers["x-target"] == "/a/b?x=1&y=%20" and r.headers["x-echo"] == "v1"
            assert r.headers["x-method"] == "POST" and r.headers["x-version"] == want_version[5:]
            req = seen[-1]
            assert req.headers["x-in"] == b"v1" and "host" in req.headers and req.trailers is None
            # HEAD: the length of the body the handler returned, no body.
            r = await c.head("/h")
            assert (r.status_code, r.headers["content-length"], r.content) == (201, "5", b"")

    run(go())


async def h11_exchange(port, te):
    """One chunked POST with request trailers; the response's head, body and trailers."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    conn = h11.Connection(h11.CLIENT)
    headers = [("host", "x"), ("transfer-encoding", "chunked")] + ([("te", "trailers")] if te else [])
    writer.write(conn.send(h11.Request(method="PUT", target="/t", headers=headers))
                 + conn.send(h11.Data(data=b"abc"))
                 + conn.send(h11.EndOfMessage(headers=[("x-req-trailer", "1")])))
    head, body = None, b""
    while True:
        ev = conn.next_event()
        if ev is h11.NEED_DATA:
            conn.receive_data(await asyncio.wait_for(reader.read(65536), T))
        elif isinstance(ev, h11.Response):
            head = dict(ev.headers)
        elif isinstance(ev, h11.Data):
            body += ev.data
        elif isinstance(ev, h11.EndOfMessage):
            writer.close()
            return head, body, dict(ev.headers)


async def h2_exchange(port, te):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True, header_encoding=None))
    conn.initiate_connection()
    headers = [(":method", "PUT"), (":path", "/t"), (":scheme", "http"), (":authority", "x")]
    conn.send_headers(1, headers + ([("te", "trailers")] if te else []))
    conn.send_data(1, b"abc")
    conn.send_headers(1, [("x-req-trailer", "1")], end_stream=True)
    writer.write(conn.data_to_send())
    head, body, trailers = None, b"", {}
    while True:
        for ev in conn.receive_data(await asyncio.wait_for(reader.read(65536), T)):
            if isinstance(ev, h2.events.ResponseReceived):
                head = dict(ev.headers)
            elif isinstance(ev, h2.events.DataReceived):
                body += ev.data
                conn.acknowledge_received_data(ev.flow_controlled_length, 1)
            elif isinstance(ev, h2.events.TrailersReceived):
                trailers = dict(ev.headers)
            elif isinstance(ev, h2.events.StreamEnded):
                writer.close()
                return head, body, trailers
        writer.write(conn.data_to_send())


@pytest.mark.parametrize("te", [True, False], ids=["te-trailers", "no-te"])
@pytest.mark.parametrize("exchange", [h11_exchange, h2_exchange], ids=["h1", "h2"])
def test_response_trailers_go_to_clients_that_accept_them(exchange, te):
    async def go():
        async with await serve_h2(handler) as server:
            head, body, trailers = await exchange(port_of(server), te)
        assert body == b"abc" and seen[-1].body == b"abc"
        # The server hands an application no request trailers.
        assert seen[-1].trailers is None
        if te:
            assert trailers == {b"x-sum": b"3"}
            assert b"content-length" not in head
        else:
            assert trailers == {}
            assert head[b"content-length"] == b"3"

    run(go())


async def stream(n):
    for _ in range(n):
        yield b"x" * 400


@pytest.mark.parametrize("proto", ["h1", "h2"])
@pytest.mark.parametrize("body", ["declared", "streamed"])
@pytest.mark.parametrize("who", ["server", "app"])
def test_body_past_max_body_gets_413(proto, body, who):
    async def go():
        if who == "server":
            server = await serve_h1(handler, max_body=1000)
        else:
            # The application's own cap, under a server that allows more.
            cfg = Config(port=0, lifespan="off", limits=Limits(max_body_size=1 << 20))
            server = Server(handler_app(handler, max_body=1000), cfg)
            task = asyncio.ensure_future(server.serve(install_signals=False))
            await server.started.wait()
        try:
            async with client(port_of(server), proto) as c:
                content = b"x" * 1200 if body == "declared" else stream(3)
                assert (await c.post("/big", content=content)).status_code == 413
                assert (await c.post("/ok", content=b"x" * 1000)).content == b"x" * 1000
            assert [r.target for r in seen] == ["/ok"]
        finally:
            server.close() if who == "server" else server.stop()
            await (server.wait_closed() if who == "server" else task)

    run(go())


@pytest.mark.parametrize("proto", ["h1", "h2"])
def test_handler_exception_is_500_and_the_connection_goes_on(proto, caplog):
    async def go():
        async with await serve_h1(handler) as server, client(port_of(server), proto) as c:
            r = await c.get("/fail")
            assert r.status_code == 500
            assert (await c.get("/after")).status_code == 201

    run(go())
    assert any(r.exc_info and "handler failure" in str(r.exc_info[1]) for r in caplog.records)


async def raw_h1(port, request):
    """Bytes sent; everything read until the server closes."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(request)
    data = await asyncio.wait_for(reader.read(), T)
    writer.close()
    return data


async def h2_until_closed(port, target):
    """A request on a raw HTTP/2 connection; every frame until the server
    closes it (httpx and h2 give up a stream in flight at GOAWAY, even one
    the GOAWAY lets finish)."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    codec = H2Codec("client")
    writer.write(PREFACE + codec.serialize_settings()
                 + codec.serialize_request_headers(1, "GET", f"http://x{target}", HeaderMap(), end_stream=True))
    data = b""
    while chunk := await asyncio.wait_for(reader.read(65536), T):
        data += chunk
    writer.close()
    return codec.receive(data)


@pytest.mark.parametrize("proto", ["h1", "h2"])
def test_close_finishes_requests_in_flight_then_stops(proto):
    async def go():
        server = await serve_h2(handler)
        port = port_of(server)
        if proto == "h1":
            pending = asyncio.ensure_future(raw_h1(port, b"GET /slow HTTP/1.1\r\nhost: x\r\n\r\n"))
        else:
            pending = asyncio.ensure_future(h2_until_closed(port, "/slow"))
        while not seen:
            await asyncio.sleep(0.01)
        server.close()
        await asyncio.wait_for(server.wait_closed(), T)
        answer = await pending
        if proto == "h1":
            assert answer.startswith(b"HTTP/1.1 201 ") and b"connection: close" in answer.lower()
            assert answer.endswith(b"hello")
        else:
            kinds = [type(e) for e in answer]
            assert H2FrameGoAway in kinds and kinds.index(H2FrameGoAway) < kinds.index(H2FrameData)
            data = [e for e in answer if isinstance(e, H2FrameData)]
            assert [(e.data, e.end_stream) for e in data] == [(b"hello", True)]
        with pytest.raises(OSError):
            await asyncio.open_connection("127.0.0.1", port)

    run(go())


def test_idle_timeout_closes_an_idle_connection():
    async def go():
        async with await serve_h1(handler, idle_timeout=0.2) as server:
            # Answered, then closed once idle.
            data = await raw_h1(port_of(server), b"GET / HTTP/1.1\r\nhost: x\r\n\r\n")
            assert data.startswith(b"HTTP/1.1 201 ") and data.endswith(b"hello")

    run(go())


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    if shutil.which("openssl") is None:
        pytest.skip("the openssl command is not installed")
    return make_self_signed(tmp_path_factory.mktemp("tls"))


@pytest.mark.parametrize("alpn,want", [(["h2", "http/1.1"], "HTTP/2"), (["http/1.1"], "HTTP/1.1")])
def test_tls_uses_the_callers_alpn_untouched(certs, alpn, want):
    ctx = server_context(*certs, alpn)

    async def go():
        async with await serve_h2(handler, ssl=ctx) as server:
            verify = ssl.create_default_context(cafile=str(certs[0]))
            async with httpx.AsyncClient(http2=True, verify=verify, timeout=T) as c:
                r = await c.get(f"https://127.0.0.1:{port_of(server)}/tls")
            assert (r.status_code, r.http_version) == (201, want)

    run(go())
