"""The ASGI server under load, beside other servers running the same
application, and where its time goes.

One raw ASGI application (a 13-byte body, a 64 KiB body, and an echo of a
16 KiB request body) is served by vintrel.server (asyncio and uvloop),
uvicorn (httptools and h11, on both loops) and hypercorn (HTTP/1.1 and
h2c, on both loops); h2o serving the same bodies as static files, when it
is installed, is the native ceiling. The server runs alone on core 0, the
load generator on core 1: wrk for HTTP/1.1 (32 and 256 connections),
h2load for HTTP/2 (8 clients x 16 streams, cleartext with prior knowledge
and over TLS). Every server gets one warm-up run per protocol, then
bounded runs of a few seconds each, on loopback only:

    PYTHONPATH=build/dev/pkg python bench/bench_server.py [--seconds 4]
        [--only vintrel,uvicorn-httptools] [--cases h1,h2c,h2-tls]
        [--profile] [--inproc N]

It prints requests per second, p50/p99 latency, the server's CPU (its
utime+stime over the run, from /proc: the share of a core, the
microseconds a request and the kernel's part of them) and the ratios
vintrel/uvicorn (httptools, same loop) on HTTP/1.1, vintrel/hypercorn (same
loop) on HTTP/2 and vintrel/h2o on both, of requests per second and of
requests per CPU-second. The second is the one to read on a machine whose
cores other work shares.

--profile samples vintrel's server (asyncio loop) with py-spy, native
frames included, under the 13-byte HTTP/1.1 and h2c loads, and splits the
busy samples by the innermost frame that belongs to one of: the extension
module (a native frame of _vintrel), vintrel.server's Python code, the
event loop (asyncio or uvloop), the socket system calls it makes, the
application. The sampler pauses the process for each sample, so a
profiled run's throughput means nothing, and it lands on system calls
more often than their share: an unprofiled run beside it gives the
kernel's true part.

--inproc N measures the server's own CPU a 13-byte request with no
sockets (ServerProtocol fed in the same process), steady enough on a busy
machine to tell apart changes of a few per cent.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from collections import Counter
from dataclasses import dataclass, field

SERVER_CPU = "0"
LOAD_CPU = "1"
BODY_13 = b"Hello, world!"
BODY_64K = b"x" * 65536
ECHO_SIZE = 16384

# --------------------------------------------------------- the application


async def app(scope, receive, send):
    """The same raw ASGI application for every Python server."""
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
    path = scope["path"]
    if path == "/echo":
        parts = []
        more = True
        while more:
            message = await receive()
            parts.append(message.get("body", b""))
            more = message.get("more_body", False)
        body = b"".join(parts)
    elif path == "/64k":
        body = BODY_64K
    else:
        body = BODY_13
    await send(
        {
            "type": "http.response.start",
            "status": 200,
            "headers": [(b"content-type", b"text/plain"), (b"content-length", str(len(body)).encode())],
        }
    )
    await send({"type": "http.response.body", "body": body})


# ------------------------------------------------------- the servers (child)


def serve(kind: str, port: int, tls_port: int, cert: str, key: str) -> None:
    """Runs in the child process: one server on port (and TLS on tls_port
    where the server supports it) until SIGTERM or SIGINT."""
    name, _, loop_kind = kind.rpartition("-")
    if loop_kind == "uvloop":
        import uvloop

        new_loop = uvloop.new_event_loop
    else:
        new_loop = asyncio.new_event_loop
    if name == "vintrel":
        from vintrel.server import Config, Server

        async def main() -> None:
            servers = [Server(app, Config(port=port, access_log=False))]
            if tls_port:
                servers.append(Server(app, Config(port=tls_port, access_log=False, certfile=cert, keyfile=key)))
            tasks = [asyncio.ensure_future(s.serve(install_signals=False)) for s in servers]
            stop = asyncio.Event()
            for sig in (signal.SIGTERM, signal.SIGINT):
                asyncio.get_running_loop().add_signal_handler(sig, stop.set)
            await stop.wait()
            for s in servers:
                s.stop()
            await asyncio.gather(*tasks)

        loop = new_loop()
        loop.run_until_complete(main())
    elif name.startswith("uvicorn"):
        import uvicorn

        config = uvicorn.Config(app, host="127.0.0.1", port=port, loop=loop_kind, http=name.split("-")[1],
                                access_log=False, log_level="warning", lifespan="on")
        uvicorn.Server(config).run()
    elif name == "hypercorn":
        from hypercorn.asyncio import serve as hyper_serve
        from hypercorn.config import Config as HyperConfig

        config = HyperConfig()
        config.bind = [f"127.0.0.1:{port}"]
        if tls_port:
            config.insecure_bind = config.bind
            config.bind = [f"127.0.0.1:{tls_port}"]
            config.certfile, config.keyfile = cert, key
        config.accesslog = None
        # Its default closes an HTTP/2 connection after 1,000 requests, which
        # ends h2load's clients early.
        config.keep_alive_max_requests = 10**9
        config.errorlog = "-"
        config.loglevel = "WARNING"
        loop = new_loop()
        asyncio.set_event_loop(loop)
        stop = asyncio.Event()
        for sig in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(sig, stop.set)
        loop.run_until_complete(hyper_serve(app, config, shutdown_trigger=stop.wait))
    else:
        raise SystemExit(f"unknown server {kind}")


# ------------------------------------------------------------ the parent


PYTHON_SERVERS_H1 = [
    "vintrel-asyncio",
    "vintrel-uvloop",
    "uvicorn-httptools-asyncio",
    "uvicorn-httptools-uvloop",
    "uvicorn-h11-asyncio",
    "uvicorn-h11-uvloop",
    "hypercorn-asyncio",
]
PYTHON_SERVERS_H2 = ["vintrel-asyncio", "vintrel-uvloop", "hypercorn-asyncio", "hypercorn-uvloop"]


@dataclass
class Case:
    proto: str  # "h1", "h2c", "h2-tls"
    path: str
    label: str
    conns: int


H1_CASES = [
    Case("h1", "/13", "13 B", 32),
    Case("h1", "/13", "13 B", 256),
    Case("h1", "/64k", "64 KiB", 32),
    Case("h1", "/echo", "echo 16 KiB", 32),
]
H2_CASES = [
    Case("h2c", "/13", "13 B", 8),
    Case("h2c", "/64k", "64 KiB", 8),
    Case("h2c", "/echo", "echo 16 KiB", 8),
    Case("h2-tls", "/13", "13 B", 8),
]
H2_STREAMS = 16


@dataclass
class Result:
    server: str
    case: Case
    rps: float = 0.0
    p50: float | None = None  # milliseconds
    p99: float | None = None
    cpu: float = 0.0  # share of one core over the run
    cpu_us: float = 0.0  # server CPU microseconds per request
    sys_us: float = 0.0  # the part of it in the kernel (system calls)
    errors: str = ""
    notes: list[str] = field(default_factory=list)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port: int, proc: subprocess.Popen, timeout: float = 15.0) -> None:
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if proc.poll() is not None:
            raise RuntimeError(f"server exited with {proc.returncode}")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"server not listening on {port}")


def cpu_ticks(pid: int) -> tuple[int, int]:
    """utime and stime of pid and its children processes (threads included)."""
    user = system = 0
    pids = [pid]
    try:
        children = subprocess.run(["pgrep", "-P", str(pid)], capture_output=True, text=True).stdout.split()
        pids += [int(c) for c in children]
    except OSError:
        pass
    for p in pids:
        try:
            with open(f"/proc/{p}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            user += int(fields[11])
            system += int(fields[12])
        except (OSError, IndexError, ValueError):
            pass
    return user, system


class Running:
    """A server process pinned to the server core, stopped on exit."""

    def __init__(self, cmd: list[str], port: int, tls_port: int) -> None:
        self.port, self.tls_port = port, tls_port
        self.proc = subprocess.Popen(["taskset", "-c", SERVER_CPU, *cmd], stdin=subprocess.DEVNULL)
        try:
            wait_port(port, self.proc)
            if tls_port:
                wait_port(tls_port, self.proc)
        except BaseException:
            self.__exit__()
            raise

    def __enter__(self) -> Running:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def start_server(kind: str, tmp: str, ports: tuple[int, int]) -> Running:
    port, tls_port = ports
    cert, key = os.path.join(tmp, "cert.pem"), os.path.join(tmp, "key.pem")
    if kind == "h2o":
        return Running(["h2o", "-c", os.path.join(tmp, "h2o.conf")], port, tls_port)
    cmd = [sys.executable, os.path.abspath(__file__), "--serve", kind, "--port", str(port),
           "--tls-port", str(tls_port), "--cert", cert, "--key", key]
    return Running(cmd, port, tls_port)


_UNITS = {"us": 1e-3, "ms": 1.0, "s": 1e3}


def _ms(text: str) -> float:
    m = re.fullmatch(r"([\d.]+)(us|ms|s)", text)
    return float(m.group(1)) * _UNITS[m.group(2)] if m else float("nan")


def run_wrk(port: int, case: Case, seconds: float, tmp: str) -> tuple[float, float | None, float | None, str, int]:
    cmd = ["taskset", "-c", LOAD_CPU, "wrk", "-t1", f"-c{case.conns}", f"-d{seconds:g}s", "--latency"]
    if case.path == "/echo":
        cmd += ["-s", os.path.join(tmp, "echo.lua")]
    out = subprocess.run(cmd + [f"http://127.0.0.1:{port}{case.path}"], capture_output=True, text=True,
                         timeout=seconds + 30).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)) if "Requests/sec" in out else 0.0
    total = int(re.search(r"(\d+) requests in", out).group(1)) if "requests in" in out else 0
    p50 = re.search(r"^\s+50%\s+(\S+)", out, re.M)
    p99 = re.search(r"^\s+99%\s+(\S+)", out, re.M)
    errors = []
    if m := re.search(r"Socket errors: (.*)", out):
        errors.append(m.group(1))
    if m := re.search(r"Non-2xx or 3xx responses: (\d+)", out):
        errors.append(f"{m.group(1)} non-2xx")
    return rps, _ms(p50.group(1)) if p50 else None, _ms(p99.group(1)) if p99 else None, "; ".join(errors), total


def run_h2load(port: int, case: Case, seconds: float, tmp: str) -> tuple[float, float | None, float | None, str, int]:
    log = os.path.join(tmp, "h2load.log")
    scheme = "https" if case.proto == "h2-tls" else "http"
    cmd = ["taskset", "-c", LOAD_CPU, "h2load", "-t1", f"-c{case.conns}", f"-m{H2_STREAMS}", "-D", f"{seconds:g}",
           f"--log-file={log}"]
    if case.path == "/echo":
        cmd += ["-d", os.path.join(tmp, "echo.bin")]
    out = subprocess.run(cmd + [f"{scheme}://127.0.0.1:{port}{case.path}"], capture_output=True, text=True,
                         timeout=seconds + 30).stdout
    rps = float(m.group(1)) if (m := re.search(r"finished in [\d.]+\w*, ([\d.]+) req/s", out)) else 0.0
    errors = ""
    if m := re.search(r"requests: (\d+) total, \d+ started, (\d+) done, (\d+) succeeded, (\d+) failed, (\d+) errored",
                      out):
        failed, errored = int(m.group(4)), int(m.group(5))
        if failed or errored:
            errors = f"{failed} failed, {errored} errored"
    if "h2" not in (re.search(r"Application protocol: (\S+)", out) or [None, ""])[1]:
        errors = (errors + "; " if errors else "") + "not HTTP/2"
    durations = []
    try:
        with open(log) as f:
            for line in f:
                parts = line.split("\t")
                if len(parts) >= 3 and parts[1].startswith("2"):
                    durations.append(int(parts[2]))
        os.unlink(log)
    except OSError:
        pass
    durations.sort()
    p50 = durations[len(durations) // 2] / 1000 if durations else None
    p99 = durations[min(len(durations) - 1, len(durations) * 99 // 100)] / 1000 if durations else None
    return rps, p50, p99, errors, len(durations)


def measure(server: Running, case: Case, seconds: float, tmp: str, name: str) -> Result:
    port = server.port if case.proto != "h2-tls" else server.tls_port
    run = run_wrk if case.proto == "h1" else run_h2load
    (user0, sys0), t0 = cpu_ticks(server.proc.pid), time.monotonic()
    rps, p50, p99, errors, total = run(port, case, seconds, tmp)
    wall = time.monotonic() - t0
    user1, sys1 = cpu_ticks(server.proc.pid)
    hz = os.sysconf("SC_CLK_TCK")
    ticks, sys_ticks = user1 - user0 + sys1 - sys0, sys1 - sys0
    per = 1e6 / hz / total if total else 0.0
    return Result(name, case, rps, p50, p99, ticks / hz / wall, ticks * per, sys_ticks * per, errors)


def prepare(tmp: str, h2o_ports: tuple[int, int]) -> None:
    with open(os.path.join(tmp, "echo.lua"), "w") as f:
        f.write(f'wrk.method = "POST"\nwrk.body = string.rep("x", {ECHO_SIZE})\n'
                'wrk.headers["Content-Type"] = "application/octet-stream"\n')
    with open(os.path.join(tmp, "echo.bin"), "wb") as f:
        f.write(b"x" * ECHO_SIZE)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=localhost",
                    "-keyout", os.path.join(tmp, "key.pem"), "-out", os.path.join(tmp, "cert.pem")],
                   check=True, capture_output=True)
    docroot = os.path.join(tmp, "www")
    os.makedirs(docroot)
    for name, body in (("13", BODY_13), ("64k", BODY_64K)):
        with open(os.path.join(docroot, name), "wb") as f:
            f.write(body)
    os.chmod(tmp, 0o755)
    os.chmod(docroot, 0o755)
    with open(os.path.join(tmp, "h2o.conf"), "w") as f:
        f.write(
            f"""user: nobody
num-threads: 1
access-log: /dev/null
error-log: {tmp}/h2o-error.log
file.mime.addtypes:
  text/plain: [".txt"]
listen:
  host: 127.0.0.1
  port: {h2o_ports[0]}
listen:
  host: 127.0.0.1
  port: {h2o_ports[1]}
  ssl:
    certificate-file: {tmp}/cert.pem
    key-file: {tmp}/key.pem
hosts:
  default:
    paths:
      /:
        file.dir: {docroot}
"""
        )


def fmt(value: float | None, spec: str) -> str:
    return "-" if value is None else format(value, spec)


def print_table(results: list[Result]) -> None:
    print()
    print(f"{'server':<26} {'proto':<6} {'case':<12} {'conns':>9} {'req/s':>9} {'p50 ms':>8} {'p99 ms':>8} "
          f"{'cpu %':>6} {'cpu us/req':>10} {'(sys)':>6}  errors")
    for r in results:
        conns = f"{r.case.conns}x{H2_STREAMS}" if r.case.proto != "h1" else str(r.case.conns)
        print(f"{r.server:<26} {r.case.proto:<6} {r.case.label:<12} {conns:>9} {r.rps:>9.0f} {fmt(r.p50, '.2f'):>8} "
              f"{fmt(r.p99, '.2f'):>8} {100 * r.cpu:>6.0f} {r.cpu_us:>10.1f} {r.sys_us:>6.1f}  {r.errors}")


def print_ratios(results: list[Result]) -> None:
    """Two ratios a line: of requests per second, and of requests per second
    of server CPU (the inverse of CPU per request). On a machine whose cores
    other work shares, the second is the steadier: it does not depend on
    how much of its core the server was given."""
    by = {(r.server, r.case.proto, r.case.path, r.case.conns): r for r in results}
    lines = []

    def ratio(a: str, b: str, case: Case, target: float | None) -> None:
        key = (case.proto, case.path, case.conns)
        x, y = by.get((a, *key)), by.get((b, *key))
        if x is None or y is None or not (x.rps and y.rps and x.cpu_us and y.cpu_us):
            return
        goal = ""
        if target:
            met = (x.rps / y.rps >= target, y.cpu_us / x.cpu_us >= target)
            word = {(True, True): "met", (True, False): "met by req/s only", (False, True): "met by CPU only"}
            goal = f"   target {target:g}x: {word.get(met, 'not met')}"
        lines.append(f"  {case.proto:<6} {case.label:<12} c={case.conns:<4} {a + ' / ' + b:<52} "
                     f"{x.rps / y.rps:6.2f}x {y.cpu_us / x.cpu_us:6.2f}x{goal}")

    for case in H1_CASES:
        for loop in ("asyncio", "uvloop"):
            ratio(f"vintrel-{loop}", f"uvicorn-httptools-{loop}", case, 2.0)
    for case in H2_CASES:
        for loop in ("asyncio", "uvloop"):
            ratio(f"vintrel-{loop}", f"hypercorn-{loop}", case, 20.0)
    for case in H1_CASES + H2_CASES:
        target = {("h1", "/13"): 0.5, ("h2c", "/13"): 0.2}.get((case.proto, case.path))
        ratio("vintrel-uvloop", "h2o", case, target)
    if lines:
        print("\nratios: requests per second, then requests per CPU-second of the server (same loop; vintrel on "
              "uvloop against h2o)")
        print("\n".join(lines))


# -------------------------------------------------------------- profile


CATEGORIES = ("module (C extension)", "vintrel.server Python", "event loop", "socket calls", "application", "other")
# Frames of the loop: asyncio's Python and C parts (tasks, the timer heap)
# and uvloop; the system calls it makes on sockets and epoll are counted
# apart, as the part no server code can make cheaper but by making fewer.
LOOP_FRAMES = ("asyncio/", "_asynciomodule.c", "_heapqmodule.c", "uvloop", "selectors.py")
SYSCALL_FRAMES = ("socketmodule.c", "selectmodule.c")


def classify(frames: list[str]) -> tuple[str, str]:
    """The category and the frame that owns one sample: the innermost frame
    of the module, the server package, the loop or the application."""
    for frame in reversed(frames):
        if "_vintrel." in frame:
            return CATEGORIES[0], frame
        if "vintrel/server/" in frame:
            return CATEGORIES[1], frame
        if any(part in frame for part in SYSCALL_FRAMES):
            return CATEGORIES[3], frame
        if any(part in frame for part in LOOP_FRAMES):
            return CATEGORIES[2], frame
        if "bench_server.py" in frame and frame.split(" (")[0] == "app":
            return CATEGORIES[4], frame
    return CATEGORIES[5], frames[-1] if frames else "?"


def function(frame: str) -> str:
    """A frame without its line number, the path cut to the package."""
    frame = re.sub(r":\d+\)$", ")", frame)
    frame = re.sub(r"\(/[^)]*/(vintrel/|asyncio/|uvloop/)", r"(\1", frame)
    frame = re.sub(r"\(/[^)]*/([^/)]+)\)", r"(\1)", frame)
    if "_vintrel." in frame:
        frame = re.sub(r" \([^()]*_vintrel\.cpython[^)]*\)$", "", frame)
        frame = re.sub(r"vintrel::|py::|detail::|\(anonymous namespace\)::|std::|__cxx11::", "", frame)
        if frame.startswith("Catching<&"):
            frame = frame[len("Catching<&"):].split("(")[0]
        frame += " (_vintrel)"
    return frame if len(frame) < 110 else frame[:107] + "..."


def profile_case(kind: str, case: Case, seconds: float, tmp: str) -> None:
    out = os.path.join(tmp, "profile.txt")
    ports = (free_port(), free_port() if case.proto == "h2-tls" else 0)
    with start_server(kind, tmp, ports) as server:
        run = run_wrk if case.proto == "h1" else run_h2load
        measure(server, case, 1, tmp, kind)  # warm-up
        plain = measure(server, case, seconds, tmp, kind)
        spy = subprocess.Popen(["taskset", "-c", LOAD_CPU, "py-spy", "record", "--pid", str(server.proc.pid),
                                "--duration", str(int(seconds)), "--rate", "250", "--native", "--format", "raw",
                                "--output", out], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        time.sleep(0.3)
        run(server.port, case, seconds + 2, tmp)
        _, err = spy.communicate(timeout=60)
    if not os.path.exists(out):
        print(f"py-spy failed: {err.strip()[-500:]}")
        return
    cats: Counter[str] = Counter()
    owners: Counter[tuple[str, str]] = Counter()
    leaves: Counter[str] = Counter()
    lines: Counter[str] = Counter()
    total = 0
    with open(out) as f:
        for line in f:
            stack, _, count_text = line.rstrip("\n").rpartition(" ")
            if not stack or not count_text.isdigit():
                continue
            n = int(count_text)
            frames = stack.split(";")
            cat, owner = classify(frames)
            cats[cat] += n
            owners[(cat, function(owner))] += n
            if cat == CATEGORIES[0]:
                leaves[function(frames[-1])] += n
            elif cat == CATEGORIES[1]:
                lines[re.sub(r"\(/[^)]*/vintrel/server/", "(", owner)] += n
            total += n
    print(f"\nprofile: {kind}, {case.proto} {case.label}, {total} busy samples")
    print(f"  unprofiled run: {plain.rps:.0f} req/s, {plain.cpu_us:.1f} us of server CPU a request, "
          f"{plain.sys_us:.1f} us of it in the kernel ({100 * plain.sys_us / max(plain.cpu_us, 1e-9):.0f} %)")
    # The sampler stops the process to read its stacks, which catches it in
    # system calls more often than their share of CPU (compare the kernel
    # share above): the second column leaves socket calls out.
    rest = max(total - cats[CATEGORIES[3]], 1)
    print(f"  {'':<24} {'samples':>8} {'without socket calls':>21}")
    for cat in CATEGORIES:
        share = "" if cat == CATEGORIES[3] else f"{100 * cats[cat] / rest:5.1f} %"
        print(f"  {cat:<24} {100 * cats[cat] / max(total, 1):6.1f} % {share:>21}")
    print("  top functions (innermost frame of a category; share of busy samples):")
    for (cat, owner), n in owners.most_common(25):
        print(f"    {100 * n / total:5.1f} %  {cat.split(' ')[0]:<8} {owner}")
    print("  top lines of vintrel.server:")
    for line, n in lines.most_common(12):
        print(f"    {100 * n / total:5.1f} %  {line}")
    if leaves:
        print("  innermost native frames under the module:")
        for frame, n in leaves.most_common(6):
            print(f"    {100 * n / total:5.1f} %  {frame}")


# ------------------------------------------------------ in-process driver


class _Transport(asyncio.Transport):
    """A transport that hands what the server writes to a callback."""

    def __init__(self, sink) -> None:
        super().__init__()
        self.sink = sink
        self.closing = False

    def write(self, data) -> None:
        self.sink(data)

    def get_extra_info(self, name, default=None):
        return {"peername": ("127.0.0.1", 40000), "sockname": ("127.0.0.1", 8000)}.get(name, default)

    def set_write_buffer_limits(self, high=None, low=None) -> None:
        pass

    def pause_reading(self) -> None:
        pass

    def resume_reading(self) -> None:
        pass

    def is_closing(self) -> bool:
        return self.closing

    def close(self) -> None:
        self.closing = True

    def abort(self) -> None:
        self.closing = True


def inproc(proto: str, loop_kind: str, requests: int) -> float:
    """Server CPU microseconds per 13-byte request with the sockets taken
    away: ServerProtocol fed by a driver in the same process, 32 HTTP/1.1
    connections with one request each in flight, or 8 HTTP/2 connections
    with 16 streams each, as the load generators do. What it measures is
    the server's own work (module, server code, loop scheduling, the
    application) without the system calls, steady enough on a busy
    machine to tell a change of a few per cent."""
    from vintrel import H2Codec
    from vintrel.server import Config
    from vintrel.server._h2 import PREFACE
    from vintrel.server._protocol import ServerProtocol
    from vintrel.server._serve import ServerState

    if loop_kind == "uvloop":
        import uvloop

        loop = uvloop.new_event_loop()
    else:
        loop = asyncio.new_event_loop()
    conns, per_round = (32, 1) if proto == "h1" else (8, H2_STREAMS)
    rounds = max(1, requests // (conns * per_round))
    if proto == "h1":
        first = [b""] * conns
        batches = [[b"GET /13 HTTP/1.1\r\nHost: 127.0.0.1:8000\r\nUser-Agent: bench\r\n\r\n"] * rounds] * conns
    else:
        first, batches = [], []
        for _ in range(conns):
            client = H2Codec("client")
            first.append(PREFACE + client.serialize_settings() + client.serialize_window_update(0, 2**30))
            sid = 1
            rows = []
            for _ in range(rounds):
                frames = []
                for _ in range(per_round):
                    frames.append(client.serialize_request_headers(sid, "GET", "http://127.0.0.1:8000/13", None, True))
                    sid += 2
                rows.append(b"".join(frames))
            batches.append(rows)

    async def drive() -> float:
        state = ServerState(app, Config(access_log=False), loop)
        state.lifespan_state = {}
        done: asyncio.Future[None] | None = None
        answered = 0

        def sink(data: bytes) -> None:
            nonlocal answered
            answered += data.count(BODY_13)
            if answered == conns * per_round and done is not None and not done.done():
                done.set_result(None)

        protocols = []
        for i in range(conns):
            p = ServerProtocol(state)
            p.connection_made(_Transport(sink))
            if first[i]:
                p.data_received(first[i])
            protocols.append(p)
        await asyncio.sleep(0)
        t0 = time.process_time()
        for r in range(rounds):
            answered = 0
            done = loop.create_future()
            for p, rows in zip(protocols, batches):
                p.data_received(rows[r])
            await done
        elapsed = time.process_time() - t0
        for p in protocols:
            p.connection_lost(None)
        return elapsed * 1e6 / (rounds * conns * per_round)

    try:
        return loop.run_until_complete(drive())
    finally:
        loop.close()


# ----------------------------------------------------------------- main


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=int, default=4, help="length of each measured run")
    p.add_argument("--only", help="comma-separated server names or prefixes (vintrel, uvicorn-h11, h2o...)")
    p.add_argument("--cases", default="h1,h2c,h2-tls", help="protocols to run (h1,h2c,h2-tls)")
    p.add_argument("--profile", action="store_true", help="profile vintrel instead of comparing servers")
    p.add_argument("--profile-loop", default="asyncio", choices=("asyncio", "uvloop"))
    p.add_argument("--inproc", type=int, metavar="N", help="only the in-process measure, N requests a case")
    p.add_argument("--serve", help=argparse.SUPPRESS)
    p.add_argument("--port", type=int, help=argparse.SUPPRESS)
    p.add_argument("--tls-port", type=int, default=0, help=argparse.SUPPRESS)
    p.add_argument("--cert", help=argparse.SUPPRESS)
    p.add_argument("--key", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.serve:
        serve(args.serve, args.port, args.tls_port, args.cert, args.key)
        return
    missing = [t for t in ("taskset", "wrk", "h2load", "openssl") if shutil.which(t) is None]
    if missing:
        raise SystemExit(f"needs {', '.join(missing)} on PATH")
    import vintrel

    if args.inproc:
        for proto in ("h1", "h2c"):
            for loop_kind in ("asyncio", "uvloop"):
                best = min(inproc(proto, loop_kind, args.inproc) for _ in range(3))
                print(f"in-process {proto:<4} {loop_kind:<8} 13 B: {best:6.1f} us/request (best of 3)")
        return
    print(f"vintrel from {os.path.dirname(vintrel.__file__)}; Python {sys.version.split()[0]}; "
          f"server on CPU {SERVER_CPU}, load on CPU {LOAD_CPU}; {args.seconds:g} s runs")
    with tempfile.TemporaryDirectory() as tmp:
        h2o_ports = (free_port(), free_port())
        prepare(tmp, h2o_ports)
        if args.profile:
            if shutil.which("py-spy") is None:
                raise SystemExit("--profile needs py-spy (pip install py-spy)")
            kind = f"vintrel-{args.profile_loop}"
            profile_case(kind, H1_CASES[0], args.seconds, tmp)
            profile_case(kind, H2_CASES[0], args.seconds, tmp)
            return
        protos = set(args.cases.split(","))
        only = args.only.split(",") if args.only else None
        servers = list(dict.fromkeys(PYTHON_SERVERS_H1 + PYTHON_SERVERS_H2 + ["h2o"]))
        if only:
            servers = [s for s in servers if any(s == o or s.startswith(o + "-") for o in only)]
        if "h2o" in servers and shutil.which("h2o") is None:
            print("h2o is not installed (apt-get install h2o): no native ceiling")
            servers.remove("h2o")
        results: list[Result] = []
        started = time.monotonic()
        for kind in servers:
            cases = []
            if kind in PYTHON_SERVERS_H1 or kind == "h2o":
                cases += [c for c in H1_CASES if "h1" in protos]
            if kind in PYTHON_SERVERS_H2 or kind == "h2o":
                cases += [c for c in H2_CASES if c.proto in protos]
            if kind == "h2o":
                cases = [c for c in cases if c.path != "/echo"]  # static files only
            if not cases:
                continue
            ports = h2o_ports if kind == "h2o" else (free_port(), free_port() if "h2-tls" in protos and
                                                       kind in PYTHON_SERVERS_H2 else 0)
            try:
                with start_server(kind, tmp, ports) as server:
                    warmed = set()
                    for case in cases:
                        if case.proto not in warmed:
                            warmed.add(case.proto)
                            measure(server, Case(case.proto, "/13", "", case.conns), 1, tmp, kind)
                        r = measure(server, case, args.seconds, tmp, kind)
                        results.append(r)
                        print(f"  {kind:<26} {case.proto:<6} {case.label:<12} c={case.conns:<4} {r.rps:>9.0f} req/s"
                              f"  {r.errors}", flush=True)
            except RuntimeError as exc:
                print(f"  {kind}: {exc}")
        print_table(results)
        print_ratios(results)
        print(f"\n(total {time.monotonic() - started:.0f} s)")


if __name__ == "__main__":
    main()
