"""Our drivers against independent peers on loopback: curl, nghttp, nghttpd, http.server."""

import asyncio
import contextlib
import functools
import hashlib
import http.server
import os
import shutil
import socket
import subprocess
import threading
import time

import pytest

from vintrel import HeaderMap
from vintrel.aio import Client, Request, Response, serve_h1, serve_h2
from vintrel.aio.tls import client_context, make_self_signed, server_context

T = 20.0
BIG = 3_000_000  # well past every default flow-control window


def need(tool):
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed (CI installs it)")
    return tool


async def handler(req: Request) -> Response:
    h = HeaderMap([("content-type", "application/octet-stream")])
    if req.target.startswith("/bytes/"):
        return Response(200, h, b"b" * int(req.target[7:]))
    digest = hashlib.sha256(req.body).hexdigest()
    return Response(200, h, f"{req.method} {len(req.body)} {digest}".encode())


class Servers:
    """Three handler servers (serve_h1/serve_h2: the ASGI server) on a loop
    in a background thread."""

    def __init__(self, certs):
        self.loop = asyncio.new_event_loop()
        self.ready = threading.Event()
        self.thread = threading.Thread(target=self._run, args=(certs,), daemon=True)
        self.thread.start()
        assert self.ready.wait(T)

    def _run(self, certs):
        asyncio.set_event_loop(self.loop)

        async def start():
            self.h1 = await serve_h1(handler, idle_timeout=T)
            self.h2c = await serve_h2(handler, idle_timeout=T)
            self.tls = await serve_h2(handler, ssl=server_context(*certs, ["h2"]), idle_timeout=T)
            self.ready.set()

        self.loop.run_until_complete(start())
        self.loop.run_forever()
        self.loop.run_until_complete(self.loop.shutdown_asyncgens())
        self.loop.close()

    def port(self, name):
        return getattr(self, name).sockets[0].getsockname()[1]

    def stop(self):
        async def stop():
            for s in (self.h1, self.h2c, self.tls):
                s.close()
            for s in (self.h1, self.h2c, self.tls):
                await s.wait_closed()

        asyncio.run_coroutine_threadsafe(stop(), self.loop).result(T)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(T)


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    need("openssl")
    return make_self_signed(tmp_path_factory.mktemp("tls"))


@pytest.fixture(scope="module")
def servers(certs):
    s = Servers(certs)
    yield s
    s.stop()


# The peers are not ours: under the sanitizer build they must not inherit the
# preloaded sanitizer runtimes (curl hangs with them).
PEER_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def sh(*args):
    return subprocess.run(args, capture_output=True, timeout=60, check=True, env=PEER_ENV).stdout


@pytest.fixture(scope="module")
def upload(tmp_path_factory):
    path = tmp_path_factory.mktemp("up") / "upload.bin"
    data = os.urandom(BIG)
    path.write_bytes(data)
    return path, f"POST {BIG} {hashlib.sha256(data).hexdigest()}".encode()


CURL_MODES = {
    "http1": ("h1", "http", ["--http1.1"], "1.1"),
    "h2c": ("h2c", "http", ["--http2-prior-knowledge"], "2"),
    "h2-tls": ("tls", "https", ["--http2", "-k"], "2"),
}


@pytest.mark.parametrize("mode", CURL_MODES)
def test_curl_against_our_servers(servers, upload, mode):
    need("curl")
    name, scheme, flags, version = CURL_MODES[mode]
    base = [need("curl"), "-sS", "--max-time", "30", *flags]
    url = f"{scheme}://127.0.0.1:{servers.port(name)}"
    out = sh(*base, "-w", "\n%{http_version}", f"{url}/bytes/{BIG}")
    body, got_version = out.rsplit(b"\n", 1)
    assert len(body) == BIG and got_version.decode() == version
    path, want = upload
    assert sh(*base, "--data-binary", f"@{path}", f"{url}/up") == want
    # Chunked upload with Expect: 100-continue (HTTP/1.1), plain upload on HTTP/2.
    extra = ["-H", "Transfer-Encoding: chunked", "-H", "Expect: 100-continue"] if mode == "http1" else []
    assert sh(*base, *extra, "--data-binary", f"@{path}", f"{url}/up") == want
    # Several requests on one connection (keep-alive, or streams). Not with
    # prior knowledge: curl 7.88 fails to reuse such a connection against
    # any server (nghttpd too) with "Error in the HTTP2 framing layer".
    if mode != "h2c":
        out = sh(*base, *[f"{url}/bytes/{n}" for n in (1, 10, 100)])
        assert out == b"b" * 111


@pytest.mark.parametrize("scheme,name", [("http", "h2c"), ("https", "tls")])
def test_nghttp_against_our_servers(servers, upload, scheme, name):
    nghttp = need("nghttp")
    url = f"{scheme}://127.0.0.1:{servers.port(name)}"
    # Many concurrent streams on one connection, large enough to need WINDOW_UPDATE.
    urls = [f"{url}/bytes/{200_000 + i}" for i in range(40)]
    out = sh(nghttp, "-n", "-s", "-t", "30", *urls)
    assert out.count(b"/bytes/") >= 40 and b"GOAWAY" not in out
    path, want = upload
    assert sh(nghttp, "-t", "30", "-d", str(path), f"{url}/up") == want
    assert sh(nghttp, "-t", "30", "-w", "16", "-W", "16", f"{url}/bytes/{BIG}") == b"b" * BIG


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def nghttpd(docroot, *tls):
    port = free_port()
    args = [need("nghttpd"), "-d", str(docroot), "--address=127.0.0.1"]
    args += [str(port), *map(str, tls)] if tls else ["--no-tls", str(port)]
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=PEER_ENV)
    try:
        deadline = time.monotonic() + T
        while True:
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 0.5):
                break
            assert time.monotonic() < deadline and proc.poll() is None, "nghttpd did not start"
            time.sleep(0.05)
        yield port
    finally:
        proc.terminate()
        proc.wait(T)


@pytest.mark.parametrize("tls", [False, True], ids=["h2c", "tls"])
def test_our_h2_client_against_nghttpd(tmp_path, certs, tls):
    data = os.urandom(BIG)
    (tmp_path / "big.bin").write_bytes(data)
    (tmp_path / "small.txt").write_bytes(b"small\n")
    with nghttpd(tmp_path, *(certs[::-1] if tls else ())) as port:
        async def go():
            base = f"{'https' if tls else 'http'}://127.0.0.1:{port}"
            ssl = client_context(certs[0], ["h2"]) if tls else None
            async with Client(ssl=ssl, http2_prior_knowledge=not tls, trust_env=False, timeout=T) as c:
                r = await c.get(base + "/big.bin")
                assert (r.status, r.http_version, await r.read()) == (200, "2", data)

                async def small():
                    return await (await c.get(base + "/small.txt")).read()

                assert await asyncio.gather(*(small() for _ in range(50))) == [b"small\n"] * 50
                assert (await c.get(base + "/missing")).status == 404
                assert len(c._pool.routes[next(iter(c._pool.routes))].conns) == 1

        asyncio.run(asyncio.wait_for(go(), 60))


def test_our_h1_client_against_http_server(tmp_path):
    (tmp_path / "file.txt").write_bytes(b"x" * 100_000)

    class Handler(http.server.SimpleHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def do_POST(self):
            body = self.rfile.read(int(self.headers["content-length"]))
            self.send_response(201)
            self.send_header("content-length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[::-1])

    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Handler, directory=str(tmp_path)))
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    try:
        async def go():
            base = f"http://127.0.0.1:{httpd.server_address[1]}"
            async with Client(trust_env=False, timeout=T) as c:
                for _ in range(3):
                    r = await c.get(base + "/file.txt")
                    assert r.status == 200 and await r.read() == b"x" * 100_000
                r = await c.request("HEAD", base + "/file.txt")
                assert await r.read() == b"" and r.headers["content-length"] == b"100000"
                r = await c.post(base + "/p", content=b"abc")
                assert (r.status, await r.read()) == (201, b"cba")
                routes = list(c._pool.routes.values())
                assert len(routes[0].conns) == 1  # one kept-alive connection served them all
                r = await c.get(base + "/nope")  # answered with connection: close
                assert r.status == 404 and b"404" in await r.read()
                assert routes[0].conns == []

        asyncio.run(asyncio.wait_for(go(), 60))
    finally:
        httpd.shutdown()
        httpd.server_close()
