"""End-to-end load: one handler on our server (``serve_h1``: vintrel.server), on h11 and on h2.

Each server runs alone in a child process (one core's worth of Python);
wrk loads the HTTP/1.1 servers and h2load the HTTP/2 ones, on loopback,
with bounded duration (wrk) and request counts (h2load):

    python bench/bench_e2e.py [--seconds 3] [--requests 40000]

It prints requests per second for each server, our ratio over the peer,
and the share of the server's CPU time spent inside the extension module.
That share comes from a second, profiled run of our server under
cProfile: the tottime of the module's methods over the total. cProfile
charges its own overhead to the Python functions it traces, so the share
is a lower bound of the unprofiled one; it still shows where the time
goes, which a sampling tool would need symbols and privileges for.
"""

from __future__ import annotations

import argparse
import asyncio
import cProfile
import os
import pstats
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

BODY = b"hello, world\n" * 8


async def handler(req):
    from vintrel import HeaderMap
    from vintrel.aio import Response

    return Response(200, HeaderMap([("content-type", "text/plain")]), BODY)


# ------------------------------------------------------------ peer servers


async def h11_connection(reader, writer):
    import h11

    conn = h11.Connection(h11.SERVER)
    body = []
    try:
        while True:
            ev = conn.next_event()
            if ev is h11.NEED_DATA:
                data = await reader.read(65536)
                conn.receive_data(data)
                if not data:
                    break
            elif isinstance(ev, h11.Request):
                req, body = ev, []
            elif isinstance(ev, h11.Data):
                body.append(ev.data)
            elif isinstance(ev, h11.EndOfMessage):
                resp = await handler(req)
                headers = [(k, v) for k, v in resp.headers.items()]
                headers.append(("content-length", str(len(resp.body))))
                out = conn.send(h11.Response(status_code=resp.status, headers=headers))
                out += conn.send(h11.Data(data=resp.body)) + conn.send(h11.EndOfMessage())
                writer.write(out)
                await writer.drain()
                if conn.our_state is h11.MUST_CLOSE:
                    break
                conn.start_next_cycle()
            else:
                break
    except (h11.RemoteProtocolError, ConnectionError):
        pass
    writer.close()


async def h2_connection(reader, writer):
    import h2.config
    import h2.connection
    import h2.events

    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, header_encoding=None))
    conn.initiate_connection()
    writer.write(conn.data_to_send())
    streams = {}
    tasks = set()

    async def respond(sid):
        headers, body = streams.pop(sid)
        resp = await handler(headers)
        conn.send_headers(sid, [(b":status", b"%d" % resp.status), *resp.headers.items()])
        conn.send_data(sid, resp.body, end_stream=True)
        writer.write(conn.data_to_send())

    try:
        while data := await reader.read(65536):
            for ev in conn.receive_data(data):
                if isinstance(ev, h2.events.RequestReceived):
                    streams[ev.stream_id] = (ev.headers, [])
                elif isinstance(ev, h2.events.DataReceived):
                    streams[ev.stream_id][1].append(ev.data)
                    conn.acknowledge_received_data(ev.flow_controlled_length, ev.stream_id)
                elif isinstance(ev, h2.events.StreamEnded):
                    t = asyncio.get_running_loop().create_task(respond(ev.stream_id))
                    tasks.add(t)
                    t.add_done_callback(tasks.discard)
            writer.write(conn.data_to_send())
    except ConnectionError:
        pass
    writer.close()


def serve(impl: str, port: int, profile: str | None) -> None:
    async def main():
        if impl in ("vintrel-h1", "vintrel-h2"):
            # One server for both protocols: the handler on vintrel.server.
            from vintrel.aio import serve_h1

            server = await serve_h1(handler, "127.0.0.1", port, idle_timeout=None)
        else:
            cb = {"h11": h11_connection, "h2": h2_connection}[impl]
            server = await asyncio.start_server(cb, "127.0.0.1", port, backlog=1024)
        stop = asyncio.Event()
        asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
        print("ready", flush=True)
        await stop.wait()
        server.close()
        await server.wait_closed()

    if profile:
        prof = cProfile.Profile()
        prof.runcall(asyncio.run, main())
        prof.dump_stats(profile)
    else:
        asyncio.run(main())


# ------------------------------------------------------------ load driver


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_server(impl, profile, load):
    port = free_port()
    args = [sys.executable, __file__, "serve", impl, str(port)] + (["--profile", profile] if profile else [])
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "ready"
        return load(port)
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(30)


def wrk(seconds):
    def load(port):
        out = subprocess.run(
            ["wrk", "-t1", "-c32", f"-d{seconds}s", f"http://127.0.0.1:{port}/"],
            capture_output=True, text=True, timeout=seconds + 30, check=True,
        ).stdout
        if "Non-2xx" in out or "Socket errors" in out:
            raise RuntimeError(out)
        return float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))

    return load


def h2load(requests):
    def load(port):
        out = subprocess.run(
            ["h2load", "-n", str(requests), "-c", "8", "-m", "16", f"http://127.0.0.1:{port}/"],
            capture_output=True, text=True, timeout=120, check=True,
        ).stdout
        m = re.search(r"requests: \d+ total, \d+ started, (\d+) done, (\d+) succeeded", out)
        if m is None or int(m.group(2)) != requests:
            raise RuntimeError(out)
        return float(re.search(r"finished in [\d.]+\w+, ([\d.]+) req/s", out).group(1))

    return load


def module_share(path: str) -> float:
    stats = pstats.Stats(path)
    total = inside = 0.0
    for (_file, _line, name), (_cc, _nc, tt, _ct, _callers) in stats.stats.items():
        total += tt
        if "vintrel._vintrel" in name:
            inside += tt
    return inside / total if total else 0.0


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "serve":
        profile = sys.argv[sys.argv.index("--profile") + 1] if "--profile" in sys.argv else None
        serve(sys.argv[2], int(sys.argv[3]), profile)
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=int, default=3, help="wrk duration per run")
    ap.add_argument("--requests", type=int, default=40000, help="h2load requests per run")
    ap.add_argument("--rounds", type=int, default=3, help="best of this many runs each")
    a = ap.parse_args()
    for tool in ("wrk", "h2load"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is not installed (apt-get install wrk nghttp2-client)")
    print(f"{'protocol':10}{'server':12}{'req/s':>10}{'ratio':>8}{'in module':>11}")
    with tempfile.TemporaryDirectory() as tmp:
        for proto, ours, peer, load in (
            ("HTTP/1.1", "vintrel-h1", "h11", wrk(a.seconds)),
            ("HTTP/2", "vintrel-h2", "h2", h2load(a.requests)),
        ):
            rps = {}
            for _ in range(a.rounds):
                # Alternate the two servers so drift hits both alike.
                for impl in (ours, peer):
                    rps[impl] = max(rps.get(impl, 0.0), run_server(impl, None, load))
            prof = os.path.join(tmp, ours + ".prof")
            run_server(ours, prof, load)
            share = module_share(prof)
            print(f"{proto:10}{peer:12}{rps[peer]:10.0f}{'':>8}")
            print(f"{proto:10}{ours:12}{rps[ours]:10.0f}{rps[ours] / rps[peer]:7.2f}x{share:10.0%}")


if __name__ == "__main__":
    main()
