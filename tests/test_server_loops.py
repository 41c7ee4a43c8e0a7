"""The server on each event loop it can run on: asyncio's, and uvloop's
(whose transports are not subclasses of asyncio's) when installed."""

import ast
import asyncio
import subprocess
import sys
import time

import h2.config
import h2.connection
import h2.events
import pytest

from vintrel.server import Config, Limits, Server


async def app(scope, receive, send):
    if scope["type"] != "http":
        return
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": scope["http_version"].encode()})


async def exchange(port: int) -> tuple[bytes, bytes]:
    """Two pipelined HTTP/1.1 requests on one connection, and one h2c request."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(b"GET / HTTP/1.1\r\nhost: x\r\n\r\n" * 2)
    h1 = b""
    while h1.count(b"\r\n\r\n1.1") < 2:
        chunk = await reader.read(65536)
        assert chunk, h1
        h1 += chunk
    writer.close()

    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    client = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    client.initiate_connection()
    client.send_headers(1, [(":method", "GET"), (":path", "/"), (":scheme", "http"), (":authority", "x")],
                        end_stream=True)
    writer.write(client.data_to_send())
    body, ended = b"", False
    while not ended:
        chunk = await reader.read(65536)
        assert chunk, body
        for ev in client.receive_data(chunk):
            if isinstance(ev, h2.events.DataReceived):
                body += ev.data
            ended = ended or isinstance(ev, h2.events.StreamEnded)
        writer.write(client.data_to_send())
    writer.close()
    return h1, body


def serve_once(kind: str) -> tuple[bytes, bytes]:
    if kind == "uvloop":
        import uvloop

        loop = uvloop.new_event_loop()
    else:
        loop = asyncio.new_event_loop()

    async def main() -> tuple[bytes, bytes]:
        server = Server(app, Config(port=0, access_log=False, lifespan="off", limits=Limits(shutdown_timeout=1)))
        sock = server.bind()
        task = asyncio.ensure_future(server.serve(sock, install_signals=False))
        try:
            return await asyncio.wait_for(exchange(sock.getsockname()[1]), 5)
        finally:
            server.stop()
            await task

    try:
        return loop.run_until_complete(main())
    finally:
        loop.close()


@pytest.mark.parametrize("kind", ["asyncio", "uvloop"])
def test_every_loop_serves_both_protocols(kind):
    if kind == "uvloop":
        pytest.importorskip("uvloop")
    # In a child process: a loop whose transports the server mishandles can
    # leave it unable to exit.
    done = subprocess.run([sys.executable, "-P", __file__, kind], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr[-2000:]
    h1, h2_body = ast.literal_eval(done.stdout)
    assert h1.startswith(b"HTTP/1.1 200 OK\r\n") and h1.count(b"HTTP/1.1 200 OK\r\n") == 2
    assert h2_body == b"2"


async def timeouts(port: int) -> tuple[float, float, float]:
    """How long (from its last byte sent) each kind of connection lived:
    one that sends a request every 0.05 s for 1.2 s and then idles (0.3 s
    keep-alive); one that trickles a head a byte each 0.1 s (0.6 s head
    timeout); one that opens and sends nothing."""

    async def closed_after(reader: asyncio.StreamReader, since: float) -> float:
        while await reader.read(65536):
            pass
        return time.monotonic() - since

    loop = asyncio.get_running_loop()
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    end = loop.time() + 1.2
    while True:
        writer.write(b"GET / HTTP/1.1\r\nhost: x\r\n\r\n")
        assert (await reader.readuntil(b"\r\n\r\n")).startswith(b"HTTP/1.1 200")
        assert await reader.readexactly(3) == b"1.1"
        last = time.monotonic()
        if loop.time() > end:
            break
        await asyncio.sleep(0.05)
    busy = await closed_after(reader, last)
    writer.close()

    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    start = time.monotonic()
    trickle = asyncio.ensure_future(closed_after(reader, start))
    for byte in b"GET / HTTP/1.1\r\nhost: x\r\n":
        if trickle.done():
            break
        writer.write(bytes([byte]))
        await asyncio.sleep(0.1)
    head = await trickle
    writer.close()

    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    idle = await closed_after(reader, time.monotonic())
    writer.close()
    return busy, head, idle


@pytest.mark.parametrize("kind", ["asyncio", "uvloop"])
def test_timeouts_count_from_the_state_not_from_each_read(kind):
    loop = pytest.importorskip("uvloop").new_event_loop() if kind == "uvloop" else asyncio.new_event_loop()
    limits = Limits(keep_alive_timeout=0.3, head_timeout=0.6, shutdown_timeout=1)

    async def main() -> tuple[float, float, float]:
        server = Server(app, Config(port=0, access_log=False, lifespan="off", limits=limits))
        sock = server.bind()
        task = asyncio.ensure_future(server.serve(sock, install_signals=False))
        try:
            return await asyncio.wait_for(timeouts(sock.getsockname()[1]), 20)
        finally:
            server.stop()
            await task

    try:
        busy, head, idle = loop.run_until_complete(main())
    finally:
        loop.close()
    # A loaded machine may be late, never early.
    assert 0.25 <= busy < 2 and 0.55 <= head < 2 and 0.25 <= idle < 2, (busy, head, idle)


if __name__ == "__main__":
    print(repr(serve_once(sys.argv[1])))
