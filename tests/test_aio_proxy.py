"""Clients tunnelling through a CONNECT proxy chosen from the environment."""

import asyncio
import shutil

import pytest

from vintrel.aio import H1Client, H2Client, Request, Response, proxy_for, serve_h1, serve_h2
from vintrel.aio.proxy import ProxyError
from vintrel.aio.tls import client_context, make_self_signed, server_context
import wire

T = 10.0


async def handler(req: Request) -> Response:
    return Response(200, body=f"{req.http_version} {req.target}".encode())


class ConnectProxy:
    """A minimal CONNECT proxy; records the CONNECT heads it saw."""

    def __init__(self, require_auth=None):
        self.seen = []
        self.require_auth = require_auth

    async def __call__(self, reader, writer):
        head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), T)
        self.seen.append(head)
        method, target, _ = head.split(b"\r\n", 1)[0].split(b" ")
        if self.require_auth and self.require_auth not in head:
            writer.write(b"HTTP/1.1 407 Proxy Authentication Required\r\ncontent-length: 0\r\n\r\n")
            writer.close()
            return
        host, port = target.rsplit(b":", 1)
        up_r, up_w = await asyncio.open_connection(host.decode(), int(port))
        writer.write(b"HTTP/1.1 200 Connection established\r\n\r\n")

        async def pipe(r, w):
            try:
                while data := await r.read(65536):
                    w.write(data)
                    await w.drain()
            except ConnectionError:
                pass
            finally:
                w.close()

        await asyncio.gather(pipe(reader, up_w), pipe(up_r, writer))


def run(coro):
    return wire.run(coro, 30)


async def start(handler_or_proxy):
    server = await asyncio.start_server(handler_or_proxy, "127.0.0.1", 0)
    return server, server.sockets[0].getsockname()[1]


@pytest.mark.parametrize("proto", ["h1", "h2-tls"])
def test_tunnel_through_env_proxy_with_credentials(monkeypatch, tmp_path, proto):
    if proto == "h2-tls" and shutil.which("openssl") is None:
        pytest.skip("the openssl command is not installed")
    for var in ("NO_PROXY", "no_proxy", "ALL_PROXY", "all_proxy", "REQUEST_METHOD"):
        monkeypatch.delenv(var, raising=False)

    async def go():
        proxy = ConnectProxy(require_auth=b"proxy-authorization: Basic dXNlcjpwdw==")
        pserver, pport = await start(proxy)
        monkeypatch.setenv("HTTP_PROXY", f"http://user:pw@127.0.0.1:{pport}")
        monkeypatch.setenv("HTTPS_PROXY", f"http://user:pw@127.0.0.1:{pport}")
        if proto == "h1":
            origin = await serve_h1(handler)
        else:
            cert, key = make_self_signed(tmp_path)
            origin = await serve_h2(handler, ssl=server_context(cert, key, ["h2"]))
        port = origin.sockets[0].getsockname()[1]
        scheme = "http" if proto == "h1" else "https"
        intercept = proxy_for(f"{scheme}://127.0.0.1:{port}/")
        assert intercept is not None
        try:
            if proto == "h1":
                client = H1Client("127.0.0.1", port, proxy=intercept, timeout=T)
            else:
                client = H2Client("127.0.0.1", port, proxy=intercept, timeout=T,
                                  ssl=client_context(cert, ["h2"]))
            async with client:
                for i in range(3):
                    r = await client.request("GET", f"/via/{i}")
                    assert r.body == (b"1.1" if proto == "h1" else b"2") + b" /via/%d" % i
            assert len(proxy.seen) == 1
            assert proxy.seen[0].startswith(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n" % port)
        finally:
            for s in (origin, pserver):
                s.close()

    run(go())


def test_no_proxy_goes_direct_and_refusal_is_reported(monkeypatch):
    monkeypatch.delenv("REQUEST_METHOD", raising=False)
    monkeypatch.setenv("HTTP_PROXY", "http://127.0.0.1:9")
    monkeypatch.setenv("NO_PROXY", "localhost")
    assert proxy_for("http://localhost:8080/") is None

    async def go():
        pserver, pport = await start(ConnectProxy(require_auth=b"never-sent"))
        monkeypatch.setenv("HTTP_PROXY", f"http://127.0.0.1:{pport}")
        try:
            async with H1Client("127.0.0.1", 1, proxy=proxy_for("http://127.0.0.1:1/"), timeout=T) as c:
                with pytest.raises(ProxyError, match="407"):
                    await c.request("GET", "/")
        finally:
            pserver.close()

    run(go())
