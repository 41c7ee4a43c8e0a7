"""The HTTP client against other asyncio clients, fetching from h2o.

h2o serves a 13-byte and a 1 MiB static file on core 0 (taskset), in clear
(HTTP/1.1, and h2c with prior knowledge) and over TLS (ALPN h2, http/1.1)
with a throwaway certificate. The clients run in this process, pinned to
core 1: vintrel.aio.Client, httpx with its own transport, aiohttp, and httpx
on vintrel.httpx.AsyncTransport. A row whose client cannot be imported reads
"n/a (not importable)". Every pool gets the same size: 100 connections, all kept
alive. Cases: 10,000 small GETs one after another; 10,000 small GETs from
100 concurrent workers; 100 downloads of 1 MiB, one after another, each
body read whole. Each client is opened anew and warmed up before each
measurement, and the rows take turns within each repeat:

    pip install '.[bench]'
    PYTHONPATH=build/dev/pkg python bench/bench_client.py [--quick] [--repeat 3]
        [--only httpx,aiohttp] [--protos h1,h2c,h2-tls] [--loop uvloop] [--profile]

It prints markdown tables: requests/s (MB/s for 1 MiB), best and median of
the repeats; the client's CPU per request (median); ratios of best (and of
median) values: vintrel/httpx on the same protocol, vintrel/aiohttp, and
httpx on vintrel's transport / httpx on its own.

--profile samples httpx on its own transport and on vintrel's, 13-byte
GETs one after another, each in a child process (py-spy, or cProfile when
py-spy is missing), and splits the samples by the package of the innermost
Python frame (httpx, httpcore, h11, h2/hpack/hyperframe, anyio, asyncio,
vintrel, other): the httpx column of the second says what httpx itself
costs a request. cProfile charges its overhead to Python functions, so
under it the pure-Python packages look dearer than they are.
"""

from __future__ import annotations

import argparse
import asyncio
import importlib
import json
import os
import shutil
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
from collections import Counter
from contextlib import asynccontextmanager
from dataclasses import dataclass, field

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_server import Running, free_port  # noqa: E402  (h2o pinned with taskset)

CLIENT_CPU = 1
SMALL, BIG = b"Hello, world!", 1 << 20
POOL = 100
PROTOS = {"h1": "HTTP/1.1", "h2c": "h2c (prior knowledge)", "h2-tls": "h2 over TLS"}


@dataclass(frozen=True)
class Row:
    name: str
    kind: str  # ours, httpx, aiohttp, httpx+ours
    proto: str


NEEDS = {
    "ours": ["vintrel.aio:Client", "vintrel.aio:PoolLimits"],
    "httpx": ["httpx:AsyncClient"],
    "aiohttp": ["aiohttp:ClientSession"],
    "httpx+ours": ["httpx:AsyncClient", "vintrel.httpx:AsyncTransport", "vintrel.aio:PoolLimits"],
}
ROWS = (
    [Row("vintrel Client", "ours", p) for p in PROTOS]
    + [Row("httpx", "httpx", p) for p in PROTOS]
    + [Row("aiohttp", "aiohttp", "h1")]
    + [Row("httpx on vintrel", "httpx+ours", p) for p in PROTOS]
)
RATIOS = [  # (numerator, denominator), each on the protocols both rows speak
    ("vintrel Client", "httpx"), ("vintrel Client", "aiohttp"), ("httpx on vintrel", "httpx"),
]


@dataclass(frozen=True)
class Case:
    key: str
    path: str
    size: int
    workers: int

    def title(self, n: int) -> str:
        what = "1 MiB sequential (MB/s)" if self.size == BIG else \
            f"13 B x{self.workers} concurrent (req/s)" if self.workers > 1 else "13 B sequential (req/s)"
        return f"{n:,} x {what}"


CASES = [Case("seq", "/13", len(SMALL), 1), Case("conc", "/13", len(SMALL), 100), Case("big", "/1m", BIG, 1)]


def loop_factory(name: str):
    if name == "uvloop":
        import uvloop

        return uvloop.new_event_loop
    return None


def importable(row: Row) -> bool:
    for need in NEEDS[row.kind] + (["h2.connection:H2Connection"] if row.kind == "httpx" and row.proto != "h1"
                                   else []):
        module, _, attr = need.partition(":")
        try:
            getattr(importlib.import_module(module), attr)
        except (ImportError, AttributeError):
            return False
    return True


@dataclass
class Target:
    port: int
    tls_port: int
    cert: str

    def base(self, proto: str) -> str:
        return f"https://127.0.0.1:{self.tls_port}" if proto == "h2-tls" else f"http://127.0.0.1:{self.port}"

    def ssl(self, proto: str) -> ssl.SSLContext | None:
        # A context of its own per client: some set their ALPN list on it.
        return ssl.create_default_context(cafile=self.cert) if proto == "h2-tls" else None


def version(v: object) -> str:
    """ "2" or "1.1", whatever way a client spells it."""
    text = str(v).upper().removeprefix("HTTP/")
    return "2" if text in ("2", "2.0", "H2") else text


@asynccontextmanager
async def session(row: Row, t: Target):
    """Yields get(path) -> (status, body length, HTTP version) on a fresh client."""
    base, ctx, h2, prior = t.base(row.proto), t.ssl(row.proto), row.proto != "h1", row.proto == "h2c"
    if row.kind in ("ours", "httpx+ours"):
        from vintrel.aio import PoolLimits

        limits = PoolLimits(max_connections=POOL, max_keepalive=POOL)
        if ctx is not None:  # a context given to vintrel is used as it is: its ALPN list decides
            ctx.set_alpn_protocols(["h2", "http/1.1"] if h2 else ["http/1.1"])
    if row.kind == "ours":
        from vintrel.aio import Client

        async with Client(http2=h2, http2_prior_knowledge=prior, ssl=ctx, trust_env=False, limits=limits) as c:
            async def get(path: str):
                r = await c.request("GET", base + path)
                return r.status, len(await r.read()), r.http_version

            yield get
    elif row.kind in ("httpx", "httpx+ours"):
        import httpx

        if row.kind == "httpx":
            kw = dict(http1=not prior, http2=h2, verify=ctx or True,
                      limits=httpx.Limits(max_connections=POOL, max_keepalive_connections=POOL))
        else:
            from vintrel.httpx import AsyncTransport

            kw = dict(transport=AsyncTransport(http2=h2, http2_prior_knowledge=prior, verify=ctx or True,
                                                limits=limits))
        async with httpx.AsyncClient(trust_env=False, **kw) as c:
            async def get(path: str):
                r = await c.get(base + path)
                return r.status_code, len(r.content), r.http_version

            yield get
    elif row.kind == "aiohttp":
        import aiohttp

        async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=POOL), trust_env=False) as s:
            async def get(path: str):
                async with s.get(base + path) as r:
                    return r.status, len(await r.read()), f"{r.version.major}.{r.version.minor}"

            yield get


async def drive(get, case: Case, n: int) -> None:
    async def worker(count: int) -> None:
        for _ in range(count):
            status, size, _ = await get(case.path)
            if status != 200 or size != case.size:
                raise RuntimeError(f"status {status}, {size} bytes")

    workers = min(case.workers, n)
    await asyncio.gather(*(worker(n // workers + (i < n % workers)) for i in range(workers)))


async def warm(get, row: Row, case: Case) -> None:
    """Checks the protocol the client speaks, then opens its connections."""
    _, _, v = await get("/13")
    want = "1.1" if row.proto == "h1" else "2"
    if version(v) != want:
        raise RuntimeError(f"spoke HTTP/{version(v)}, not HTTP/{want}")
    await drive(get, case, 2 if case.size == BIG else min(200, 2 * case.workers))


async def measure(row: Row, t: Target, case: Case, n: int) -> tuple[float, float]:
    """Rate (requests or MB a second) and client CPU microseconds a request."""
    async with session(row, t) as get:
        await warm(get, row, case)
        t0, c0 = time.perf_counter(), time.process_time()
        await drive(get, case, n)
        wall, cpu = time.perf_counter() - t0, time.process_time() - c0
    return (n * case.size / 1e6 if case.size == BIG else n) / wall, cpu * 1e6 / n


# --------------------------------------------------------------- server


def start_h2o(tmp: str) -> tuple[Running, Target]:
    from vintrel.aio.tls import make_self_signed

    cert, key = make_self_signed(tmp, "127.0.0.1")
    docroot = os.path.join(tmp, "www")
    os.makedirs(docroot)
    with open(os.path.join(docroot, "13"), "wb") as f:
        f.write(SMALL)
    with open(os.path.join(docroot, "1m"), "wb") as f:
        f.write(os.urandom(BIG))
    os.chmod(tmp, 0o755)
    os.chmod(docroot, 0o755)
    t = Target(free_port(), free_port(), str(cert))
    conf = os.path.join(tmp, "h2o.conf")
    with open(conf, "w") as f:
        f.write(f"""user: nobody
num-threads: 1
access-log: /dev/null
error-log: {tmp}/h2o-error.log
listen:
  host: 127.0.0.1
  port: {t.port}
listen:
  host: 127.0.0.1
  port: {t.tls_port}
  ssl:
    certificate-file: {cert}
    key-file: {key}
    ocsp-update-interval: 0
hosts:
  default:
    paths:
      /:
        file.dir: {docroot}
""")
    return Running(["h2o", "-c", conf], t.port, t.tls_port), t


# --------------------------------------------------------------- output


@dataclass
class Got:
    rates: list[float] = field(default_factory=list)
    cpus: list[float] = field(default_factory=list)
    note: str = ""  # "n/a (not importable)" or the error that ended the row


def table(title: str, head: list[str], lines: list[list[str]], left: int = 2) -> None:
    """A markdown table, its first `left` columns text, the others numbers."""
    print(f"\n{title}\n\n| " + " | ".join(head) + " |\n|" + "---|" * left + "--:|" * (len(head) - left))
    for line in lines or [["(none)"] + [""] * (len(head) - 1)]:
        print("| " + " | ".join(line) + " |")


def print_tables(rows: list[Row], res: dict[tuple[Row, str], Got], counts: dict[str, int]) -> None:
    heads = [c.title(counts[c.key]) for c in CASES]
    short = ["client", "protocol"] + [h.split(" (")[0] for h in heads]

    def rate(g: Got, case: Case) -> str:
        if g.note or not g.rates:
            return g.note or "-"
        f = ",.1f" if case.size == BIG else ",.0f"
        return f"{max(g.rates):{f}} ({statistics.median(g.rates):{f}})"

    table("best (median) of the repeats", ["client", "protocol"] + heads,
          [[r.name, PROTOS[r.proto]] + [rate(res[r, c.key], c) for c in CASES] for r in rows])
    table("client CPU, microseconds a request (median)", short,
          [[r.name, PROTOS[r.proto]] + [f"{statistics.median(g.cpus):,.1f}" if (g := res[r, c.key]).cpus
                                        and not g.note else "-" for c in CASES] for r in rows])
    by = {(r.name, r.proto): r for r in rows}
    lines = []
    for a, b in RATIOS:
        for proto in PROTOS:
            ra, rb = by.get((a, proto)), by.get((b, proto))
            if ra and rb:
                cells = []
                for c in CASES:
                    x, y = res[ra, c.key], res[rb, c.key]
                    ok = x.rates and y.rates and not (x.note or y.note)
                    cells.append(f"{max(x.rates) / max(y.rates):.2f}x "
                                 f"({statistics.median(x.rates) / statistics.median(y.rates):.2f}x)" if ok else "-")
                if cells.count("-") < len(cells):
                    lines.append([f"{a} / {b}", PROTOS[proto]] + cells)
    table("ratios of best (of median) rates", ["ratio"] + short[1:], lines)


# -------------------------------------------------------------- profile


PACKAGES = ("httpx", "httpcore", "h11", "h2/hpack/hyperframe", "anyio", "asyncio", "vintrel", "other")
_DIRS = [("/vintrel/", "vintrel"), ("/httpx/", "httpx"), ("/httpcore/", "httpcore"), ("/h11/", "h11"),
         ("/h2/", PACKAGES[3]), ("/hpack/", PACKAGES[3]), ("/hyperframe/", PACKAGES[3]),
         ("/anyio/", "anyio"), ("/sniffio/", "anyio"), ("/asyncio/", "asyncio"), ("/selectors.py", "asyncio")]


def package(filename: str) -> str:
    """py-spy cuts a path to the package ("httpx/_client.py"), cProfile does not."""
    filename = "/" + filename
    return next((pkg for part, pkg in _DIRS if part in filename), "other")


def one(args: argparse.Namespace) -> None:
    """Child of --profile: warm up, wait for the parent's go, time N GETs."""
    row, case = ROWS[args.one], CASES[0]
    t = Target(args.port, args.tls_port, args.cert)

    async def run() -> dict:
        async with session(row, t) as get:
            await warm(get, row, case)
            print("ready", flush=True)
            sys.stdin.readline()
            prof = None
            if args.pstats:
                import cProfile

                prof = cProfile.Profile()
                prof.enable()
            c0 = time.process_time()
            await drive(get, case, args.n)
            cpu = time.process_time() - c0
            if prof:
                prof.disable()
                prof.dump_stats(args.pstats)
        return {"cpu_us": cpu * 1e6 / args.n}

    with asyncio.Runner(loop_factory=loop_factory(args.loop)) as runner:
        print(json.dumps(runner.run(run())), flush=True)


def profile_row(i: int, t: Target, n: int, tmp: str, loop: str) -> tuple[float, Counter[str]] | str:
    spy = shutil.which("py-spy")
    out, stats = os.path.join(tmp, "spy.txt"), os.path.join(tmp, "prof.pstats")
    cmd = [sys.executable, os.path.abspath(__file__), "--one", str(i), "--n", str(n), "--loop", loop,
           "--port", str(t.port), "--tls-port", str(t.tls_port), "--cert", t.cert]
    cmd += [] if spy else ["--pstats", stats]
    child = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    if child.stdout.readline().strip() != "ready":
        child.kill()
        child.wait()
        return "child failed"
    sampler = None
    if spy:
        sampler = subprocess.Popen([spy, "record", "--pid", str(child.pid), "--rate", "500", "--format", "raw",
                                    "--output", out], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        time.sleep(1.0)  # the sampler attaches; the child idles meanwhile
    child.stdin.write("go\n")
    child.stdin.flush()
    result = json.loads(child.stdout.readline())
    child.wait(60)
    shares: Counter[str] = Counter()
    if sampler:
        _, err = sampler.communicate(timeout=60)
        if not os.path.exists(out):
            return f"py-spy failed: {err.strip()[-200:]}"
        with open(out) as f:
            for line in f:
                stack, _, count = line.rstrip("\n").rpartition(" ")
                innermost = stack.split(";")[-1]
                # Left out: the wait for "go" (sampled before the sampler
                # knows it idles) and the benchmark's own loop.
                if innermost and count.isdigit() and "bench_client.py" not in innermost:
                    shares[package(innermost.rpartition("(")[2])] += int(count)
    else:
        import pstats

        for (filename, _, _), (_, _, tottime, _, _) in pstats.Stats(stats).stats.items():  # type: ignore[attr-defined]
            if "bench_client.py" not in filename:
                shares[package(filename)] += tottime
    return result["cpu_us"], shares


def profile(rows: list[Row], t: Target, n: int, tmp: str, loop: str) -> None:
    cols = {f"{r.name}, {PROTOS[r.proto]}": profile_row(ROWS.index(r), t, n, tmp, loop) if importable(r)
            else "n/a (not importable)" for r in rows if r.kind in ("httpx", "httpx+ours")}

    def share(c: tuple[float, Counter[str]] | str, pkg: str) -> str:
        if isinstance(c, str):
            return "-"
        part = c[1][pkg] / max(sum(c[1].values()), 1e-9)
        return f"{100 * part:.1f} % ({part * c[0]:.1f})"

    tool = "py-spy" if shutil.which("py-spy") else "cProfile"
    table(f"{n:,} x 13 B sequential, {tool}: the client's time by the package of the innermost frame, "
          "share (microseconds a request)", ["package", *cols],
          [["client CPU a request"] + [c if isinstance(c, str) else f"{c[0]:.1f} us" for c in cols.values()]]
          + [[pkg] + [share(c, pkg) for c in cols.values()] for pkg in PACKAGES], left=1)


# ----------------------------------------------------------------- main


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="2,000 / 2,000 / 20 requests instead of 10,000 / 10,000 / 100")
    p.add_argument("--repeat", type=int, default=3, help="measurements of each row and case (best and median)")
    p.add_argument("--only", help="comma-separated client names or parts of them (vintrel,httpx,aiohttp...)")
    p.add_argument("--protos", default="h1,h2c,h2-tls", help="protocols to run (h1,h2c,h2-tls)")
    p.add_argument("--loop", default="asyncio", choices=("asyncio", "uvloop"))
    p.add_argument("--profile", action="store_true", help="profile httpx on both transports instead")
    p.add_argument("--one", type=int, help=argparse.SUPPRESS)
    p.add_argument("--n", type=int, help=argparse.SUPPRESS)
    p.add_argument("--port", type=int, help=argparse.SUPPRESS)
    p.add_argument("--tls-port", type=int, help=argparse.SUPPRESS)
    p.add_argument("--cert", help=argparse.SUPPRESS)
    p.add_argument("--pstats", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.one is not None:
        return one(args)
    missing = [tool for tool in ("taskset", "h2o", "openssl") if shutil.which(tool) is None]
    if missing:
        raise SystemExit(f"needs {', '.join(missing)} on PATH")
    counts = dict(zip(("seq", "conc", "big"), (2000, 2000, 20) if args.quick else (10000, 10000, 100)))
    protos = args.protos.split(",")
    rows = [r for r in ROWS if r.proto in protos
            and (not args.only or any(o in r.name or o == r.kind for o in args.only.split(",")))]
    os.sched_setaffinity(0, {CLIENT_CPU})
    import vintrel

    print(f"vintrel from {os.path.dirname(vintrel.__file__)}; Python {sys.version.split()[0]}; {args.loop}; "
          f"h2o on CPU 0, clients on CPU {CLIENT_CPU}; {args.repeat} repeats")
    started = time.monotonic()
    with tempfile.TemporaryDirectory() as tmp:
        server, t = start_h2o(tmp)
        with server:
            if args.profile:
                return profile(rows, t, counts["seq"], tmp, args.loop)
            res = {(r, c.key): Got(note="" if importable(r) else "n/a (not importable)") for r in rows for c in CASES}
            for rep in range(args.repeat):
                for case in CASES:
                    for row in rows:
                        got = res[row, case.key]
                        if got.note:
                            continue
                        try:
                            with asyncio.Runner(loop_factory=loop_factory(args.loop)) as runner:
                                rate, cpu = runner.run(measure(row, t, case, counts[case.key]))
                            got.rates.append(rate)
                            got.cpus.append(cpu)
                        except Exception as exc:  # a failing client is a result, not the end of the run
                            got.note = f"error: {type(exc).__name__}: {exc}"[:80].replace("|", "/")
                print(f"  repeat {rep + 1}/{args.repeat} done ({time.monotonic() - started:.0f} s)", file=sys.stderr)
    print_tables(rows, res, counts)
    print(f"\n(total {time.monotonic() - started:.0f} s)")


if __name__ == "__main__":
    main()
