"""The pooled client against independent servers (nghttpd, h2o, Python's
http.server, uvicorn, hypercorn), against our own server going away with
requests in flight, under httpx as its transport, and with fds, RSS and
pooled connections bounded over thousands of requests. Every server starts
here, on free ports, and is stopped at the end of its module."""

import asyncio
import contextlib
import hashlib
import http.server
import os
import random
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import types
from pathlib import Path

import httpx
import pytest

import vintrel.httpx
from conftest import SANITIZED
from test_client import VERSION, T, pieces, run, url
from test_server_peers import (BLOCK, LIMITS, UP, Harness, app, echo, need, open_fds, pattern, pattern_sha, rss_mib,
                               sha, wait_until)
from vintrel.aio.tls import make_self_signed
from vintrel.client import Client, PoolLimits
from vintrel.server import Config, Server
FILES = {"/small": random.Random(11).randbytes(1500), "/big": random.Random(12).randbytes(1 << 20)}


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as s:
        return s.getsockname()[1]


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


@contextlib.contextmanager
def spawn(cmd, *ports):
    """A server process, once it accepts on every port; stopped at the end."""
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: proc.poll() is not None or all(map(listening, ports)), 10)
        assert proc.poll() is None and all(map(listening, ports)), f"{cmd[0]} did not start"
        yield
    finally:
        proc.kill()  # throwaway servers: no graceful shutdown awaited
        proc.wait()


@pytest.fixture(scope="module")
def site():
    """Files to serve and a throwaway certificate, world-readable and outside
    pytest's private tmp: h2o started as root serves as nobody."""
    need("openssl")
    top = tempfile.mkdtemp(prefix="vintrel-peers-")
    www = os.path.join(top, "www")
    os.mkdir(www)
    for name, body in FILES.items():
        Path(www + name).write_bytes(body)
    cert, key = make_self_signed(top)
    for path, mode in ((top, 0o755), (www, 0o755), (key, 0o644)):
        os.chmod(path, mode)
    yield types.SimpleNamespace(top=top, www=www, cert=cert, key=key)
    shutil.rmtree(top, ignore_errors=True)


@pytest.fixture(scope="module")
def nghttpd(site):
    exe = need("nghttpd")
    ports = {"h2c": free_port(), "tls": free_port()}
    common = [exe, "--echo-upload", "-a", "127.0.0.1", "-d", site.www]
    with spawn([*common, "--no-tls", str(ports["h2c"])], ports["h2c"]), \
            spawn([*common, str(ports["tls"]), str(site.key), str(site.cert)], ports["tls"]):
        yield ports


@pytest.fixture(scope="module")
def h2o(site):
    """h2o on a cleartext port (HTTP/1.1 and h2c) and a TLS one (ALPN); under
    /silent/ it proxies to a socket that accepts and never answers."""
    exe = need("h2o")
    plain, tls = free_port(), free_port()
    with socket.create_server(("127.0.0.1", 0)) as silent:
        conf = Path(site.top, "h2o.conf")
        conf.write_text(f"""num-threads: 1
access-log: /dev/null
error-log: {site.top}/h2o-error.log
listen: {{host: 127.0.0.1, port: {plain}}}
listen: {{host: 127.0.0.1, port: {tls}, ssl: {{certificate-file: "{site.cert}", key-file: "{site.key}"}}}}
hosts: {{default: {{paths: {{/silent: {{proxy.reverse.url: "http://127.0.0.1:{silent.getsockname()[1]}/"}},
                           /: {{file.dir: "{site.www}"}}}}}}}}
""")
        with spawn([exe, "-c", conf], plain, tls):
            yield {"h1": plain, "h2c": plain, "tls": tls}


def ssl_context(site):
    ctx = ssl.create_default_context(cafile=str(site.cert))
    ctx.set_alpn_protocols(["h2", "http/1.1"])
    return ctx


def client(site, transport, **kw):
    return Client(http2_prior_knowledge=transport == "h2c", ssl=ssl_context(site), trust_env=False, **kw)


def conns(c):
    return [p for rp in c._pool.routes.values() for p in rp.conns]


async def streamed(chunks):
    digest = hashlib.sha256()
    async for chunk in chunks:
        digest.update(chunk)
    return digest.hexdigest()


# ------------------------------------------------------------ static files

STATIC = [("nghttpd", "h2c"), ("nghttpd", "tls"), ("h2o", "h1"), ("h2o", "h2c"), ("h2o", "tls")]


@pytest.mark.parametrize("peer,transport", STATIC)
def test_static_files_by_hash_and_fifty_at_once(request, site, peer, transport):
    """Files read whole and streamed, then 50 requests at once: over HTTP/2
    all on one connection, over HTTP/1.1 no more kept than max_keepalive."""
    port = request.getfixturevalue(peer)[transport]

    async def go():
        async with client(site, transport) as c:
            for path, body in FILES.items():
                r = await c.get(url(transport, port, path))
                assert (r.status, r.http_version, sha(await r.read())) == (200, VERSION[transport], sha(body))
                assert await streamed((await c.get(url(transport, port, path))).aiter_bytes()) == sha(body)

            async def one(i):
                path = "/big" if i % 10 == 0 else "/small"
                return sha(await (await c.get(url(transport, port, path))).read()) == sha(FILES[path])

            assert all(await asyncio.gather(*(one(i) for i in range(50))))
            n = len(conns(c))
            assert n == 1 if transport != "h1" else 1 <= n <= c.limits.max_keepalive

    run(go())


# ------------------------------------------------- HTTP/1.0, close-delimited

class CloseDelimited(http.server.BaseHTTPRequestHandler):
    """HTTP/1.0 without content-length: the body ends when the connection does."""

    protocol_version = "HTTP/1.0"

    def do_GET(self):
        self.server.peers.add(self.client_address[1])
        self.send_response(200)
        self.end_headers()
        for piece in pattern(int(self.path.rsplit("=", 1)[1])):
            self.wfile.write(piece)


def test_http10_close_delimited_bodies_one_connection_each():
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), CloseDelimited)
    srv.peers = set()
    threading.Thread(target=srv.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{srv.server_address[1]}/?n="
    fds = open_fds()

    async def go():
        async with Client(trust_env=False) as c:
            for n in (0, 1, 300_000):
                r = await c.get(base + str(n))
                assert (r.http_version, sha(await r.read())) == ("1.0", pattern_sha(n))
                assert await streamed((await c.get(base + str(n))).aiter_bytes()) == pattern_sha(n)
            assert not conns(c)  # nothing kept: the server closes every connection
            got = await asyncio.gather(*(c.get(base + str(i * 999)) for i in range(8)))
            assert [sha(await r.read()) for r in got] == [pattern_sha(i * 999) for i in range(8)]
            assert not conns(c)

    try:
        run(go())
        assert len(srv.peers) == 6 + 8
        assert wait_until(lambda: open_fds() <= fds), f"fds: {open_fds()} after, {fds} before"
    finally:
        srv.shutdown()
        srv.server_close()


# ------------------------------------------------------- uvicorn, hypercorn

def recording(peers):
    """The echo application, recording the client port of every request."""
    async def asgi(scope, receive, send):
        if scope["type"] != "http":
            return  # no lifespan: the servers go on without it
        peers.add(scope["client"][1])
        scope.setdefault("extensions", {})
        await echo(scope, receive, send)
    return asgi


@pytest.fixture(scope="module")
def asgi(site):
    uvicorn = pytest.importorskip("uvicorn", reason="uvicorn is not installed (the test extra has it)")
    hypercorn = pytest.importorskip("hypercorn.asyncio", reason="hypercorn is not installed (the test extra has it)")
    from hypercorn.config import Config as HyperConfig

    h, peers = Harness(), set()
    ports = {"uvicorn": {"h1": free_port()}, "hypercorn": {"h2c": free_port(), "tls": free_port()}}
    uv = uvicorn.Server(uvicorn.Config(recording(peers), host="127.0.0.1", port=ports["uvicorn"]["h1"],
                                       lifespan="off", log_level="warning"))
    cfg = HyperConfig()
    cfg.bind, cfg.insecure_bind = [f"127.0.0.1:{ports['hypercorn']['tls']}"], [f"127.0.0.1:{ports['hypercorn']['h2c']}"]
    cfg.certfile, cfg.keyfile, cfg.loglevel = str(site.cert), str(site.key), "WARNING"
    stop = h.call(asyncio.Event)
    done = [asyncio.run_coroutine_threadsafe(coro, h.loop)
            for coro in (uv.serve(), hypercorn.serve(recording(peers), cfg, shutdown_trigger=stop.wait))]
    every = [p for kinds in ports.values() for p in kinds.values()]
    assert wait_until(lambda: all(map(listening, every)), 10), "uvicorn or hypercorn did not start"
    yield types.SimpleNamespace(ports=ports, peers=peers)
    uv.should_exit = True
    h.loop.call_soon_threadsafe(stop.set)
    for fut in done:
        fut.result(T)
    h.loop.call_soon_threadsafe(h.loop.stop)
    h.thread.join(T)
    h.loop.close()


@pytest.mark.parametrize("peer,transport", [("uvicorn", "h1"), ("hypercorn", "h2c"), ("hypercorn", "tls")])
def test_asgi_servers_uploads_downloads_and_reuse(asgi, site, peer, transport):
    """Uploads whole and streamed, downloads by hash, trailers over HTTP/2;
    sequential requests all on one kept-alive connection; 20 at once."""
    port = asgi.ports[peer][transport]
    asgi.peers.clear()

    async def go():
        async with client(site, transport) as c:
            target = url(transport, port, "/echo?n=%d")
            r = await c.post(target % 200_000, content=UP, headers={"te": "trailers"})
            assert (r.status, r.http_version) == (200, VERSION[transport])
            assert (r.headers["x-sha256"], sha(await r.read())) == (sha(UP).encode(), pattern_sha(200_000))
            if transport != "h1":
                assert r.trailers["x-body-sha256"] == pattern_sha(200_000).encode()
            r = await c.request("PUT", target % 70_000, content=pieces(UP))
            assert (r.headers["x-sha256"], await streamed(r.aiter_bytes())) == (sha(UP).encode(), pattern_sha(70_000))
            for n in (0, 1, 5000):
                assert sha(await (await c.get(target % n)).read()) == pattern_sha(n)
            assert len(asgi.peers) == 1

            async def one(i):
                r = await c.post(target % (i * 1000), content=pieces(UP[:i * 3000], 1000))
                return r.headers["x-sha256"] == sha(UP[:i * 3000]).encode() and sha(await r.read()) == \
                    pattern_sha(i * 1000)

            assert all(await asyncio.gather(*(one(i) for i in range(20))))
            assert len(asgi.peers) == 1 if transport != "h1" else len(asgi.peers) <= 20

    run(go())


# ----------------------------------------------- GOAWAY with requests in flight

def test_goaway_in_flight_then_a_new_server_on_the_same_port():
    """Our server stops gracefully while five requests are in flight on one
    HTTP/2 connection: they complete; the next request goes over a new
    connection to a new server on the same port."""
    h = Harness()
    started = []

    def start(port):
        server = Server(app, Config(port=port, access_log=False, limits=LIMITS))
        sock = server.bind()
        started.append((server, asyncio.run_coroutine_threadsafe(server.serve(sock, install_signals=False), h.loop)))
        return server, sock.getsockname()[1]

    first, port = start(0)

    async def go():
        async with Client(http2_prior_knowledge=True, trust_env=False) as c:
            flights = [asyncio.create_task(c.get(f"http://127.0.0.1:{port}/echo?delay=0.5&n=100000"))
                       for _ in range(5)]
            assert await asyncio.to_thread(wait_until, lambda: h.call(lambda: first.state.active == 5), 5)
            (old,) = conns(c)
            h.loop.call_soon_threadsafe(first.stop)
            for r in await asyncio.gather(*flights):
                assert sha(await r.read()) == pattern_sha(100000)
            await asyncio.to_thread(started[0][1].result, T)
            second, _ = await asyncio.to_thread(start, port)
            r = await c.get(f"http://127.0.0.1:{port}/echo?n=10")
            assert (r.status, await r.read()) == (200, BLOCK[:10])
            assert old.closed and conns(c) and old not in conns(c)

    try:
        run(go())
    finally:
        for server, done in started:
            h.stop(server, done)
        h.loop.call_soon_threadsafe(h.loop.stop)
        h.thread.join(T)
        h.loop.close()


# ------------------------------------------------------------------- httpx

@pytest.mark.parametrize("peer,transport", [("h2o", "h1"), ("h2o", "tls"), ("nghttpd", "h2c"), ("nghttpd", "tls")])
def test_httpx_on_our_transport_answers_as_its_own(request, site, peer, transport):
    """get, post and stream through httpx on our transport give what httpx's
    own transport gives; an httpx timeout is httpx.ReadTimeout."""
    port = request.getfixturevalue(peer)[transport]

    async def exchange(c):
        r = await c.get(url(transport, port, "/big"))
        out = [(r.status_code, r.http_version, sha(r.content))]
        r = await c.post(url(transport, port, "/small"), content=UP[:40000])
        out.append((r.status_code, sha(r.content)))
        async with c.stream("GET", url(transport, port, "/big")) as r:
            return out + [(r.status_code, await streamed(r.aiter_bytes()))]

    async def go():
        ours = vintrel.httpx.AsyncTransport(verify=ssl_context(site), http2_prior_knowledge=transport == "h2c")
        async with httpx.AsyncClient(transport=ours) as c:
            got = await exchange(c)
            if peer == "h2o":
                with pytest.raises(httpx.ReadTimeout):
                    await c.get(url(transport, port, "/silent/"), timeout=0.3)
                assert (await c.get(url(transport, port, "/small"))).content == FILES["/small"]
        kind = {"h1": {"http2": False}, "h2c": {"http1": False, "http2": True}, "tls": {"http2": True}}[transport]
        async with httpx.AsyncClient(verify=ssl_context(site), **kind) as c:
            assert got == await exchange(c)

    run(go())


# --------------------------------------------------------- bounded resources

def test_fds_rss_and_connections_bounded_over_2000_requests(h2o, site):
    """2,000 requests against h2o, half HTTP/1.1 and half HTTP/2 over TLS,
    20 at a time: whole reads, HEADs, streams abandoned after one piece.
    The pool never passes its limits, fds and RSS stay near their start,
    and every fd is back once the client is closed."""
    limits = PoolLimits(max_connections=4, max_keepalive=2)
    fds_before = open_fds()

    async def go():
        async with client(site, "tls", limits=limits) as c:
            peak = []

            async def one(i):
                transport = "tls" if i % 2 else "h1"
                kind = i % 10
                r = await c.request("HEAD" if kind == 5 else "GET",
                                    url(transport, h2o[transport], "/big" if kind in (0, 5) else "/small"))
                peak.append(max(len(rp.conns) + rp.connecting for rp in c._pool.routes.values()))
                if kind == 0:
                    async for _ in r.aiter_bytes():
                        break
                    await r.aclose()
                else:
                    assert sha(await r.read()) == sha(b"" if kind == 5 else FILES["/small"])

            async def batch(start):
                await asyncio.gather(*(one(i) for i in range(start, start + 20)))

            await batch(0)  # connections made, TLS and caches warm
            fds, rss = open_fds(), rss_mib()
            for start in range(20, 2000, 20):
                await batch(start)
            assert max(peak) <= limits.max_connections
            assert all(sum(p.idle for p in rp.conns) <= limits.max_keepalive for rp in c._pool.routes.values())
            assert open_fds() <= fds + 2 * limits.max_connections
            assert SANITIZED or rss_mib() - rss < 16  # the sanitizer's quarantine holds freed memory

    run(go())
    assert wait_until(lambda: open_fds() <= fds_before), f"fds: {open_fds()} after, {fds_before} before"


@pytest.mark.parametrize("peer,transport", [("h2o", "h1"), ("h2o", "tls"), ("nghttpd", "tls")])
def test_aclose_leaves_no_socket_open(request, site, peer, transport):
    """Soon after aclose() returns every socket of the client is closed,
    whether or not the peer answers a TLS close_notify (h2o does not)."""
    port = request.getfixturevalue(peer)[transport]

    async def go():
        fds = open_fds()
        c = client(site, transport)
        for path, body in FILES.items():
            assert sha(await (await c.get(url(transport, port, path))).read()) == sha(body)
        await c.aclose()
        return await asyncio.to_thread(wait_until, lambda: open_fds() <= fds, 1)

    assert run(go())
