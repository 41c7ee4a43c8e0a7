"""HeaderMap against multidict's CIMultiDict: the same work, in one run.

    python bench/bench_header_map.py [--rounds N] [--quick] [--wall] [--only TEXT]

CIMultiDict (the `bench` extra) is the case-insensitive multi-valued map
Python users already know. Every row runs one statement on each side; the
two sides alternate round by round so that machine noise falls on both, and
the best per-call time of each side is kept. The ratio is CIMultiDict's
time over ours: above 1.0 we are faster.

Times are the calling thread's CPU time (`time.thread_time`), so that
other processes on a busy machine weigh less; `--wall` times by the wall
clock instead.

Where the two APIs differ, each side does what a caller does to get the
same result: our `keys()`, `values()` and `items()` return lists, so the
CIMultiDict side lists its views (`list(md.items())`); our `get_all` is its
`getall`. Rows marked "per op" loop over the fields and report the time of
one operation: add fills a new empty map with 12 fields; deletion empties
a fresh copy of the 11 names, and the time of making the copy is taken
off.
"""

import argparse
import time
import timeit

from multidict import CIMultiDict

from vintrel._vintrel import HeaderMap

PAIRS = [
    ("Host", "example.com"),
    ("User-Agent", "bench/1.0"),
    ("Accept", "text/html,application/xhtml+xml"),
    ("Accept-Language", "en-GB,en;q=0.8"),
    ("Accept-Encoding", "gzip, deflate, br"),
    ("Connection", "keep-alive"),
    ("Cookie", "a=1; b=2"),
    ("Cookie", "c=3"),
    ("Cache-Control", "no-cache"),
    ("Referer", "https://example.com/"),
    ("X-Request-Id", "4b1c5e9a-2f"),
    ("Content-Type", "text/plain"),
]
BYTE_PAIRS = [(n, v.encode()) for n, v in PAIRS]
LOWER = [(n.lower(), v) for n, v in PAIRS]
NAMES = list(dict.fromkeys(n for n, _ in LOWER))

M = HeaderMap(PAIRS)
M2 = HeaderMap(PAIRS)
D = CIMultiDict(PAIRS)
D2 = CIMultiDict(PAIRS)

# (row, CIMultiDict statement, our statement, (setup time taken off, per
# side) or None, operations per statement)
ROWS = [
    ("construct, 12 (str, str)", "CIMultiDict(PAIRS)", "HeaderMap(PAIRS)", None, 1),
    ("construct, 12 (str, bytes)", "CIMultiDict(BYTE_PAIRS)", "HeaderMap(BYTE_PAIRS)", None, 1),
    ("get, present", "D.get('accept-encoding')", "M.get('accept-encoding')", None, 1),
    ("get, present mixed case", "D.get('Accept-Encoding')", "M.get('Accept-Encoding')", None, 1),
    ("get, absent", "D.get('x-missing')", "M.get('x-missing')", None, 1),
    ("in, present", "'accept-encoding' in D", "'accept-encoding' in M", None, 1),
    ("in, absent", "'x-missing' in D", "'x-missing' in M", None, 1),
    ("get_all", "D.getall('cookie')", "M.get_all('cookie')", None, 1),
    ("items", "list(D.items())", "M.items()", None, 1),
    ("keys", "list(D.keys())", "M.keys()", None, 1),
    ("values", "list(D.values())", "M.values()", None, 1),
    ("iteration", "for k in D: pass", "for k in M: pass", None, 1),
    ("add (per op)",
     "d = CIMultiDict()\nfor n, v in LOWER: d.add(n, v)",
     "m = HeaderMap()\nfor n, v in LOWER: m.add(n, v)", None, 12),
    ("item assignment", "D['connection'] = 'close'", "M['connection'] = 'close'", None, 1),
    ("deletion (per op)",
     "d = D.copy()\nfor n in NAMES: del d[n]",
     "m = HeaderMap(M)\nfor n in NAMES: del m[n]", ("d = D.copy()", "m = HeaderMap(M)"), len(NAMES)),
    ("==", "D == D2", "M == M2", None, 1),
    ("len", "len(D)", "len(M)", None, 1),
]


TIMER = time.thread_time


def best(stmt, number, rounds_left):
    return min(timeit.Timer(stmt, timer=TIMER, globals=globals()).timeit(number) for _ in range(rounds_left))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--quick", action="store_true", help="fewer calls per round")
    ap.add_argument("--only", default="", help="rows whose name contains this text")
    ap.add_argument("--wall", action="store_true", help="time by the wall clock")
    args = ap.parse_args()
    global TIMER
    if args.wall:
        TIMER = time.perf_counter
    scale = 10 if args.quick else 1
    print(f"{'row':28} {'CIMultiDict ns':>15} {'HeaderMap ns':>13} {'ratio':>6}")
    worst = float("inf")
    for row, d_stmt, m_stmt, setup, ops in ROWS:
        if args.only not in row:
            continue
        number = (20_000 if ops > 1 or row.startswith(("construct", "items", "keys", "values", "iter")) else 300_000)
        number //= scale
        d = m = d_off = m_off = float("inf")
        for _ in range(args.rounds):
            d = min(d, best(d_stmt, number, 1))
            m = min(m, best(m_stmt, number, 1))
            if setup:
                d_off = min(d_off, best(setup[0], number, 1))
                m_off = min(m_off, best(setup[1], number, 1))
        if setup:
            d -= d_off
            m -= m_off
        d_ns = d / number / ops * 1e9
        m_ns = m / number / ops * 1e9
        ratio = d_ns / m_ns
        worst = min(worst, ratio)
        print(f"{row:28} {d_ns:15.1f} {m_ns:13.1f} {ratio:5.2f}x")
    print(f"{'lowest ratio':28} {'':15} {'':13} {worst:5.2f}x")


if __name__ == "__main__":
    main()
