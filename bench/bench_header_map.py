"""HeaderMap against a plain dict doing the same work, in one run.

    PYTHONPATH=build/dev/pkg python3 bench/bench_header_map.py

Each line prints the best per-call time of both and the ratio
HeaderMap / dict (lower is better; 1.0 means as fast as a dict).
"""

import timeit

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
LOWER = [(n.lower(), v.encode()) for n, v in PAIRS]


def dict_build():
    # The same structure in pure Python: lowercase str -> list of bytes.
    d = {}
    for n, v in PAIRS:
        d.setdefault(n.lower(), []).append(v.encode())
    return d


D = {}
for n, v in LOWER:
    D.setdefault(n, v)
M = HeaderMap(PAIRS)

CASES = [
    ("construction from 12 pairs", dict_build, lambda: HeaderMap(PAIRS)),
    ("get present", lambda: D.get("accept-encoding"), lambda: M.get("accept-encoding")),
    ("get absent", lambda: D.get("x-missing"), lambda: M.get("x-missing")),
    ("in (present)", lambda: "accept-encoding" in D, lambda: "accept-encoding" in M),
]


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=7)) / number


def bench_add(number):
    # Fresh containers each round; adding 12 pairs (one 'add' per pair).
    def dict_add():
        d = {}
        for n, v in LOWER:
            d.setdefault(n, []).append(v)

    def map_add():
        m = HeaderMap()
        for n, v in LOWER:
            m.add(n, v)

    return best(dict_add, number) / 12, best(map_add, number) / 12


def main():
    number = 200_000
    print(f"{'case':32} {'dict ns':>9} {'HeaderMap ns':>13} {'ratio':>6}")
    for name, d_fn, m_fn in CASES:
        n = number // 10 if name.startswith("construction") else number
        d, m = best(d_fn, n), best(m_fn, n)
        print(f"{name:32} {d * 1e9:9.1f} {m * 1e9:13.1f} {m / d:6.2f}")
    d, m = bench_add(number // 10)
    print(f"{'add (per pair, 12 pairs)':32} {d * 1e9:9.1f} {m * 1e9:13.1f} {m / d:6.2f}")


if __name__ == "__main__":
    main()
