"""The ASGI server against independent peers (curl, nghttp, h2load, httpx),
through a relay that cuts every byte stream into 1-50 octet pieces, and
against hostile peers, with open fds, RSS and tasks measured around each
hostile run; graceful shutdown; worker processes from the command line."""

import asyncio
import contextlib
import hashlib
import json
import os
import random
import re
import select
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path
from urllib.parse import parse_qs

import hpack
import httpx
import pytest
from starlette.applications import Starlette
from starlette.responses import JSONResponse, StreamingResponse
from starlette.routing import Route

import vintrel
from conftest import SANITIZED, skip_sanitized
from vintrel.aio.tls import make_self_signed, server_context
from vintrel.server import Config, Limits, Server
from wire import frame

T = 20.0
BLOCK = random.Random(7).randbytes(65521)  # a prime length: piece edges drift against frames
PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
LIMITS = Limits(max_head_size=8192, max_body_size=512 * 1024, max_write_buffer=256 * 1024, max_control_frames=1000,
                keep_alive_timeout=1.0, head_timeout=1.0, write_timeout=1.0, body_timeout=1.0, shutdown_timeout=5.0)
UP = random.Random(8).randbytes(300 * 1024)  # a request body under max_body_size


def pattern(n):
    """The response body of n bytes, in pieces."""
    while n > 0:
        piece = BLOCK[:n]
        n -= len(piece)
        yield piece


def pattern_sha(n):
    h = hashlib.sha256()
    for piece in pattern(n):
        h.update(piece)
    return h.hexdigest()


def sha(data):
    return hashlib.sha256(data).hexdigest()


async def echo(scope, receive, send):
    """Hashes the request body, waits `delay` seconds, streams `n` bytes and,
    where the scope allows, ends with the response body's hash as a trailer."""
    q = {k: v[0] for k, v in parse_qs(scope["query_string"].decode()).items()}
    digest, size = hashlib.sha256(), 0
    while True:
        msg = await receive()
        if msg["type"] == "http.disconnect":
            return
        digest.update(msg["body"])
        size += len(msg["body"])
        if not msg["more_body"]:
            break
    await asyncio.sleep(float(q.get("delay", 0)))
    trailers = "http.response.trailers" in scope["extensions"]
    await send({"type": "http.response.start", "status": 200, "trailers": trailers, "headers": [
        (b"x-sha256", digest.hexdigest().encode()), (b"x-size", b"%d" % size), (b"x-pid", b"%d" % os.getpid())]})
    out = hashlib.sha256()
    for piece in pattern(int(q.get("n", 0))):
        out.update(piece)
        await send({"type": "http.response.body", "body": piece, "more_body": True})
    await send({"type": "http.response.body", "body": b"", "more_body": False})
    if trailers:
        await send({"type": "http.response.trailers", "headers": [(b"x-body-sha256", out.hexdigest().encode())]})


async def hello(request):
    return JSONResponse({"http": request.scope["http_version"], "started": request.state.started})


async def upload(request):
    body = await request.body()
    return JSONResponse({"sha256": sha(body), "size": len(body)})


async def stream(request):
    async def pieces():
        for piece in pattern(int(request.query_params["n"])):
            yield piece

    return StreamingResponse(pieces(), media_type="application/octet-stream")


@contextlib.asynccontextmanager
async def lifespan(app):
    yield {"started": True}


starlette_app = Starlette(lifespan=lifespan, routes=[
    Route("/star/hello", hello), Route("/star/upload", upload, methods=["POST"]), Route("/star/stream", stream)])


async def app(scope, receive, send):
    """The raw echo application, and the Starlette one under /star/ (its lifespan too)."""
    if scope["type"] == "lifespan" or scope["path"].startswith("/star/"):
        return await starlette_app(scope, receive, send)
    return await echo(scope, receive, send)


# ------------------------------------------------------------------ harness

def need(tool):
    path = shutil.which(tool)
    if path is None:
        pytest.skip(f"{tool} is not installed (CI installs it)")
    return path


def open_fds(pid="self"):
    return len(os.listdir(f"/proc/{pid}/fd"))


def rss_mib(pid="self"):
    text = Path(f"/proc/{pid}/status").read_text()
    return int(re.search(r"VmRSS:\s+(\d+)", text).group(1)) / 1024


def wait_until(pred, timeout=T):
    deadline = time.monotonic() + timeout
    while not (value := pred()) and time.monotonic() < deadline:
        time.sleep(0.02)
    return value


class Harness:
    """Servers on one event loop in a background thread."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def run(self, coro, timeout=T):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def call(self, fn):
        async def go():
            return fn()

        return self.run(go())

    def start(self, **config):
        server = Server(app, Config(port=0, access_log=False, **config))
        sock = server.bind()
        port = sock.getsockname()[1]
        done = asyncio.run_coroutine_threadsafe(server.serve(sock, install_signals=False), self.loop)
        assert wait_until(lambda: server.sockets or done.done())
        return server, port, done

    def stop(self, server, done):
        self.loop.call_soon_threadsafe(server.stop)
        done.result(T)


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    need("openssl")
    return make_self_signed(tmp_path_factory.mktemp("certs"))


@pytest.fixture(scope="module")
def srv(certs):
    """One cleartext server (HTTP/1.1 and h2c) and one TLS server (ALPN), small limits."""
    h = Harness()
    h.plain, h.port, plain_done = h.start(limits=LIMITS)
    h.tls, h.tls_port, tls_done = h.start(limits=LIMITS, ssl_context=server_context(*certs, ["h2", "http/1.1"]))
    h.ports = {"h1": h.port, "h2c": h.port, "tls": h.tls_port}
    yield h
    h.stop(h.plain, plain_done)
    h.stop(h.tls, tls_done)
    h.loop.call_soon_threadsafe(h.loop.stop)
    h.thread.join(T)
    h.loop.close()


@contextlib.contextmanager
def bounded(h, rss_growth=16):
    """Around a hostile run: afterwards no connection, request task or fd is
    left, and RSS grew by less than `rss_growth` MiB."""
    state = h.plain.state
    tasks, fds, rss = h.call(lambda: len(asyncio.all_tasks(h.loop))), open_fds(), rss_mib()
    yield
    assert wait_until(lambda: h.call(lambda: not state.connections and not state.active)), "connections left"
    assert wait_until(lambda: h.call(lambda: len(asyncio.all_tasks(h.loop))) <= tasks), "tasks left"
    assert wait_until(lambda: open_fds() <= fds), f"fds: {open_fds()} after, {fds} before"
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory
        assert rss_mib() - rss < rss_growth


def client_ssl(certs):
    return ssl.create_default_context(cafile=str(certs[0]))


@contextlib.contextmanager
def httpx_client(transport, certs):
    kind = {"h1": {"http1": True}, "h2c": {"http1": False, "http2": True}, "tls": {"http2": True}}[transport]
    with httpx.Client(verify=client_ssl(certs), timeout=T, **kind) as client:
        yield client


def url(transport, port, path):
    return f"{'https' if transport == 'tls' else 'http'}://127.0.0.1:{port}{path}"


CURL_FLAGS = {"h1": ["--http1.1"], "h2c": ["--http2-prior-knowledge"], "tls": ["--http2", "-k"]}
VERSIONS = {"h1": ("1.1", "HTTP/1.1"), "h2c": ("2", "HTTP/2"), "tls": ("2", "HTTP/2")}


def fetch(client, transport, port, path, body, tmp_path, certs):
    """One exchange: (status, http version, headers and trailers, body)."""
    target = url(transport, port, path)
    if client == "httpx":
        with httpx_client(transport, certs) as c:
            r = c.request("POST" if body is not None else "GET", target, content=body)
            return r.status_code, r.http_version, {k: v for k, v in r.headers.items()}, r.content
    args = [need("curl"), "-sS", "-o", str(tmp_path / "out"), "-D", str(tmp_path / "head"), "-w", "%{http_version}",
            "-H", "te: trailers", *CURL_FLAGS[transport]]
    if body is not None:
        (tmp_path / "up").write_bytes(body)
        args += ["--data-binary", f"@{tmp_path / 'up'}"]
    done = subprocess.run(args + [target], capture_output=True, timeout=T, check=True, text=True)
    lines = (tmp_path / "head").read_text().splitlines()
    fields = dict(line.lower().split(": ", 1) for line in lines if ": " in line)  # trailers too
    status = int([line for line in lines if line.startswith("HTTP/")][-1].split()[1])
    return status, f"HTTP/{done.stdout}", fields, (tmp_path / "out").read_bytes()


# ------------------------------------------------------------ real peers

@skip_sanitized
@pytest.mark.parametrize("transport", ["h1", "h2c", "tls"])
@pytest.mark.parametrize("client", ["curl", "httpx"])
def test_peers_exchange_whole_bodies(srv, client, transport, tmp_path, certs):
    port, n = srv.ports[transport], 200_000
    status, version, fields, body = fetch(client, transport, port, f"/echo?n={n}", UP, tmp_path, certs)
    assert (status, version, sha(body)) == (200, VERSIONS[transport][1], pattern_sha(n))
    assert (fields["x-sha256"], fields["x-size"]) == (sha(UP), str(len(UP)))
    if client == "curl":  # the client that shows trailers asked for them
        assert fields["x-body-sha256"] == pattern_sha(n)
    status, _, _, body = fetch(client, transport, port, "/star/hello", None, tmp_path, certs)
    assert (status, json.loads(body)) == (200, {"http": VERSIONS[transport][0], "started": True})
    status, _, _, body = fetch(client, transport, port, "/star/upload", UP[:150_000], tmp_path, certs)
    assert (status, json.loads(body)) == (200, {"sha256": sha(UP[:150_000]), "size": 150_000})
    status, _, _, body = fetch(client, transport, port, f"/star/stream?n={n}", None, tmp_path, certs)
    assert (status, sha(body)) == (200, pattern_sha(n))


@skip_sanitized
def test_nghttp_h2c(srv, tmp_path):
    nghttp, n = need("nghttp"), 200_000
    (tmp_path / "up").write_bytes(UP)
    target = url("h2c", srv.port, f"/echo?n={n}")
    args = [nghttp, "-H", "te: trailers", "-d", str(tmp_path / "up"), target]
    assert sha(subprocess.run(args, capture_output=True, timeout=T, check=True).stdout) == pattern_sha(n)
    verbose = subprocess.run(args + ["-v"], capture_output=True, timeout=T, check=True).stdout
    for line in (b":status: 200", b"x-sha256: " + sha(UP).encode(), b"x-body-sha256: " + pattern_sha(n).encode()):
        assert line in verbose


@skip_sanitized
@pytest.mark.parametrize("transport", ["h2c", "tls"])
def test_h2load_every_request_succeeds(srv, transport):
    args = [need("h2load"), "-n", "300", "-c", "3", "-m", "10", url(transport, srv.ports[transport], "/echo?n=3000")]
    out = subprocess.run(args, capture_output=True, timeout=T, check=True, text=True).stdout
    assert "requests: 300 total, 300 started, 300 done, 300 succeeded, 0 failed, 0 errored" in out, out
    assert "status codes: 300 2xx" in out, out


@contextlib.contextmanager
def relay(h, port, seed):
    """A TCP relay to `port` that forwards every byte, both ways, in pieces
    of 1-50 octets; yields its port and the count of pieces sent."""
    rng = random.Random(seed)
    pieces = [0]

    async def pipe(reader, writer):
        try:
            while data := await reader.read(65536):
                at = 0
                while at < len(data):
                    n = rng.randint(1, 50)
                    writer.write(data[at:at + n])
                    at += n
                    pieces[0] += 1
                    await writer.drain()
                    await asyncio.sleep(0)
            writer.write_eof()
        except OSError:
            writer.close()

    async def handle(c_reader, c_writer):
        s_reader, s_writer = await asyncio.open_connection("127.0.0.1", port)
        for w in (c_writer, s_writer):
            w.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        await asyncio.gather(pipe(c_reader, s_writer), pipe(s_reader, c_writer))
        s_writer.close()
        c_writer.close()

    server = h.run(asyncio.start_server(handle, "127.0.0.1", 0))
    try:
        yield server.sockets[0].getsockname()[1], pieces
    finally:
        h.loop.call_soon_threadsafe(server.close)


@skip_sanitized
@pytest.mark.parametrize("transport", ["h1", "h2c", "tls"])
def test_bodies_survive_any_cut(srv, transport, certs):
    n = 250_000
    with relay(srv, srv.ports[transport], seed=len(transport)) as (port, pieces), \
            httpx_client(transport, certs) as c:
        r = c.post(url(transport, port, f"/echo?n={n}"), content=UP)
    assert pieces[0] > (len(UP) + n) / 50
    assert (r.status_code, r.http_version) == (200, VERSIONS[transport][1])
    assert (r.headers["x-sha256"], sha(r.content)) == (sha(UP), pattern_sha(n))


# --------------------------------------------------------------- hostile


GET = [(":method", "GET"), (":scheme", "http"), (":authority", "a"), (":path", "/echo")]
POST = [(":method", "POST"), (":scheme", "http"), (":authority", "a"), (":path", "/echo")]


class RawH2:
    """An HTTP/2 client of raw frames, for what a polite client never sends."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=T)
        self.enc, self.dec = hpack.Encoder(), hpack.Decoder()
        self.buf = b""
        self.sock.sendall(PREFACE + frame(4, 0, 0))

    def headers(self, sid, fields, end=True):
        return frame(1, 4 | (1 if end else 0), sid, self.enc.encode(fields))

    def frames(self, until=lambda f: False):
        """(type, flags, stream, payload, headers) received until `until`
        holds for one, or the server closes."""
        out = []
        while True:
            while len(self.buf) >= 9 and len(self.buf) >= 9 + (size := int.from_bytes(self.buf[:3], "big")):
                ftype, flags, sid = self.buf[3], self.buf[4], int.from_bytes(self.buf[5:9], "big") & 0x7FFFFFFF
                payload, self.buf = self.buf[9:9 + size], self.buf[9 + size:]
                fields = dict(self.dec.decode(payload)) if ftype == 1 else None
                out.append(f := (ftype, flags, sid, payload, fields))
                if until(f):
                    return out
            try:
                data = self.sock.recv(65536)
            except ConnectionResetError:
                data = b""
            if not data:
                return out
            self.buf += data

    def goaway(self):
        frames = self.frames(lambda f: f[0] == 7)
        assert frames and frames[-1][0] == 7, "no GOAWAY"
        return int.from_bytes(frames[-1][3][4:8], "big")

    def close(self):
        self.sock.close()


def h1_exchange(port, data):
    """Sends `data`, returns what the server answers before it closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=T) as s:
        with contextlib.suppress(OSError):
            s.sendall(data)
        out = b""
        with contextlib.suppress(ConnectionResetError):
            while chunk := s.recv(65536):
                out += chunk
        return out


def h1_chunked(total):
    piece = b"%x\r\n%s\r\n" % (16384, b"x" * 16384)
    return b"POST /echo HTTP/1.1\r\nhost: a\r\ntransfer-encoding: chunked\r\n\r\n" + piece * (total // 16384)


@pytest.mark.parametrize("proto", ["h1", "h2"])
def test_oversize_head_and_body(srv, proto):
    big = "x" * (LIMITS.max_head_size + 100)
    too_much = LIMITS.max_body_size + 64 * 1024
    with bounded(srv):
        if proto == "h1":
            head = h1_exchange(srv.port, f"GET / HTTP/1.1\r\nhost: a\r\nx-big: {big}\r\n\r\n".encode())
            body = h1_exchange(srv.port, h1_chunked(too_much))
            assert head.startswith(b"HTTP/1.1 431 ") and body.startswith(b"HTTP/1.1 413 ")
            return
        peer = RawH2(srv.port)
        peer.sock.sendall(peer.headers(1, GET + [("x-big", big)]) + peer.headers(3, POST, end=False))
        for at in range(0, too_much, 16384):  # within the stream window the server announced
            peer.sock.sendall(frame(0, 0, 3, b"x" * 16384))
        statuses = {}
        peer.frames(lambda f: f[0] == 1 and statuses.setdefault(f[2], f[4][":status"]) and len(statuses) == 2)
        peer.close()
        assert statuses == {1: "431", 3: "413"}


def client_hello():
    ctx = ssl.create_default_context()
    ctx.check_hostname, ctx.verify_mode = False, ssl.CERT_NONE
    out = ssl.MemoryBIO()
    with contextlib.suppress(ssl.SSLWantReadError):
        ctx.wrap_bio(ssl.MemoryBIO(), out).do_handshake()
    return out.read()


@pytest.mark.parametrize("proto", ["h1", "h2", "tls"])
def test_slowloris_is_closed_at_the_head_timeout(srv, proto):
    if proto == "h1":
        head = b"GET /echo HTTP/1.1\r\nhost: a\r\nx-padding: " + b"p" * 40 + b"\r\n\r\n"
    elif proto == "h2":
        head = PREFACE + frame(4, 0, 0) + frame(1, 5, 1, hpack.Encoder().encode(GET))
    else:  # the TLS handshake counts as part of the head
        head = client_hello()
    interval = 0.1  # ten times faster than one a second: the same property, sooner
    port = srv.tls_port if proto == "tls" else srv.port
    with bounded(srv), socket.create_connection(("127.0.0.1", port), timeout=T) as s:
        sent, closed = 0, False
        while not closed and sent < len(head):
            with contextlib.suppress(OSError):
                s.sendall(head[sent:sent + 1])
            sent += 1
            deadline = time.monotonic() + interval
            while not closed and (left := deadline - time.monotonic()) > 0 and _readable(s, left):
                try:
                    closed = not s.recv(65536)  # h2: the server's SETTINGS, then GOAWAY
                except ConnectionResetError:
                    closed = True
        # More bytes did not extend the deadline: closed before the head was whole.
        assert closed and 2 < sent < len(head)


@pytest.mark.parametrize("proto", ["h1", "h2"])
def test_a_body_that_stops_is_closed_at_the_body_timeout(srv, proto):
    """Body bytes every 0.3 s keep the request alive for 2 s (each piece
    restarts the 1 s body timeout); then silence closes it within the
    timeout."""
    if proto == "h1":
        head, piece = b"POST /echo HTTP/1.1\r\nhost: a\r\ncontent-length: 100\r\n\r\n", lambda: b"x"
    else:
        fields = hpack.Encoder().encode([(":method", "POST"), (":scheme", "http"), (":path", "/echo"),
                                         (":authority", "a")])
        head, piece = PREFACE + frame(4, 0, 0) + frame(1, 4, 1, fields), lambda: frame(0, 0, 1, b"x")
    with bounded(srv), socket.create_connection(("127.0.0.1", srv.port), timeout=T) as s:
        s.sendall(head)
        started = time.monotonic()
        while time.monotonic() - started < 2.0:
            time.sleep(0.3)
            s.sendall(piece())  # raises if the server closed the connection
        quiet = time.monotonic()
        closed = False
        while not closed and _readable(s, T):
            try:
                closed = not s.recv(65536)
            except ConnectionResetError:
                closed = True
        assert closed and 0.9 < time.monotonic() - quiet < 3.0


def _readable(s, timeout):
    return bool(select.select([s], [], [], timeout)[0])


@pytest.mark.parametrize("proto", ["h1", "h2"])
def test_a_client_that_never_reads_is_closed_at_the_write_timeout(srv, proto):
    path = b"/echo?n=%d" % (64 << 20)
    with bounded(srv, rss_growth=16), socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        s.connect(("127.0.0.1", srv.port))
        if proto == "h1":  # our writes stop: the socket is full
            s.sendall(b"GET %s HTTP/1.1\r\nhost: a\r\n\r\n" % path)
        else:  # the stream's window is spent and none comes back
            s.sendall(PREFACE + frame(4, 0, 0) + frame(1, 5, 1, hpack.Encoder().encode([*GET[:3], (":path", path)])))
        assert wait_until(lambda: srv.call(lambda: srv.plain.state.active == 1), 5)
        # The response's 64 MiB stay in the application, not in our buffers.
        assert wait_until(lambda: srv.call(lambda: not srv.plain.state.connections), LIMITS.write_timeout + 5)


def test_idle_connections_all_close_after_the_keep_alive_timeout(srv):
    with bounded(srv, rss_growth=32):
        socks = [socket.create_connection(("127.0.0.1", srv.port), timeout=T) for _ in range(1000)]
        assert wait_until(lambda: srv.call(lambda: not srv.plain.state.connections), LIMITS.keep_alive_timeout + 5)
        for s in socks:
            assert s.recv(1) == b""  # closed by the server, nothing said
            s.close()


@pytest.mark.parametrize("stage", ["head", "body", "response"])
@pytest.mark.parametrize("proto", ["h1", "h2"])
def test_abrupt_close_leaves_nothing_behind(srv, proto, stage):
    enc = hpack.Encoder()
    enc.header_table_size = 0  # each connection decodes the blocks alike
    h2 = PREFACE + frame(4, 0, 0)
    sends = {
        ("h1", "head"): b"POST /echo HTTP/1.1\r\nhost: a\r\ncontent-le",
        ("h1", "body"): b"POST /echo HTTP/1.1\r\nhost: a\r\ncontent-length: 100000\r\n\r\n" + b"x" * 1000,
        ("h1", "response"): b"GET /echo?n=%d HTTP/1.1\r\nhost: a\r\n\r\n" % (8 << 20),
        ("h2", "head"): h2 + frame(1, 4, 1, enc.encode(GET))[:15],
        ("h2", "body"): h2 + frame(1, 4, 1, enc.encode(POST + [("content-length", "100000")])) + frame(0, 0, 1, b"x" * 1000),
        ("h2", "response"): h2 + frame(1, 5, 1, enc.encode([*GET[:3], (":path", "/echo?n=%d" % (8 << 20))])),
    }
    for rst in (False, True):
        with bounded(srv), socket.create_connection(("127.0.0.1", srv.port), timeout=T) as s:
            s.sendall(sends[proto, stage])
            state, running = srv.plain.state, int(stage != "head")
            assert wait_until(lambda: srv.call(lambda: (len(state.connections), state.active) == (1, running)), 5)
            if stage == "response":
                assert s.recv(1000)
            if rst:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def test_h2_floods_get_enhance_your_calm(srv):
    for flood in ("ping", "reset"):
        with bounded(srv):
            peer = RawH2(srv.port)
            if flood == "ping":
                burst = frame(6, 0, 0, b"12345678") * (LIMITS.max_control_frames + 10)
            else:
                burst = b"".join(peer.headers(sid, GET) + frame(3, 0, sid, struct.pack(">I", 8))
                                 for sid in range(1, 2 * 1200, 2))
            with contextlib.suppress(OSError):
                peer.sock.sendall(burst)
            assert peer.goaway() == 11  # ENHANCE_YOUR_CALM
            peer.close()


# ------------------------------------------------------------ shutdown

def test_graceful_shutdown_finishes_requests_in_flight():
    h = Harness()
    server, port, done = h.start(limits=LIMITS)
    slow = "/echo?delay=1&n=5"
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=T) as h1, \
                contextlib.closing(RawH2(port)) as h2:
            h1.sendall(b"GET %s HTTP/1.1\r\nhost: a\r\n\r\n" % slow.encode())
            h2.sock.sendall(h2.headers(1, [*GET[:3], (":path", slow)]))
            assert wait_until(lambda: h.call(lambda: server.state.active == 2), 5)
            h.loop.call_soon_threadsafe(server.stop)
            frames = h2.frames(lambda f: f[0] == 0 and f[1] & 1)  # to the end of the response
            kinds = [f[0] for f in frames]
            assert 7 in kinds and kinds.index(7) < kinds.index(1)  # GOAWAY, then the response
            body = b"".join(f[3] for f in frames if f[0] == 0)
            assert (frames[kinds.index(1)][4][":status"], body) == ("200", BLOCK[:5])
            with pytest.raises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", port), timeout=T).close()
            answer = b""
            while chunk := h1.recv(65536):
                answer += chunk
            assert answer.startswith(b"HTTP/1.1 200 ") and b"\r\nconnection: close\r\n" in answer.lower()
            assert answer.endswith(b"\r\n5\r\n%s\r\n0\r\n\r\n" % BLOCK[:5])
        done.result(T)  # serve() returned once the requests were answered
    finally:
        h.loop.call_soon_threadsafe(server.stop)
        h.loop.call_soon_threadsafe(h.loop.stop)
        h.thread.join(T)
        h.loop.close()


@skip_sanitized
def test_workers_replace_a_killed_one_and_stop_on_sigterm():
    here = Path(__file__).resolve().parent
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(vintrel.__file__).parent.parent), str(here)]))
    args = [sys.executable, "-m", "vintrel", "serve", "test_server_peers:app", "--workers", "2", "--port", "0",
            "--no-access-log", "--loop", "asyncio", "--timeout-graceful-shutdown", "3"]
    proc = subprocess.Popen(args, env=env, cwd=here, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    log = []
    reader = threading.Thread(target=lambda: log.extend(iter(proc.stderr.readline, "")), daemon=True)
    reader.start()
    try:
        assert wait_until(lambda: sum("serving on" in line for line in log) == 2), log
        port = int(re.search(r"serving on http://127.0.0.1:(\d+)", "".join(log)).group(1))

        def workers():
            return {int(p) for p in re.findall(r"started worker \d \(pid (\d+)\)", "".join(log))}

        def serving_pid():
            with httpx.Client(timeout=T) as c:
                r = c.get(f"http://127.0.0.1:{port}/echo?n=10")
            assert r.status_code == 200 and r.content == BLOCK[:10]
            return int(r.headers["x-pid"])

        first = workers()
        assert wait_until(lambda: {serving_pid() for _ in range(20)} == first, 10)  # both serve
        victim = min(first)
        os.kill(victim, signal.SIGKILL)
        assert wait_until(lambda: len(workers()) == 3, 10), log
        new = workers() - first
        # Requests keep succeeding, and the new worker takes its share.
        assert wait_until(lambda: new & {serving_pid() for _ in range(20)}, 10)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(T) == 0
        for pid in workers():
            with pytest.raises(ProcessLookupError):
                os.kill(pid, 0)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(T)
        reader.join(T)
        proc.stderr.close()
