"""HeaderMap against a plain dict of the same lowercase names, same work,
same run.

    python bench/bench_header_map.py

Statements are timed directly (no wrapper function around them), the two
sides alternate round by round so that machine noise falls on both, and
each line prints the best per-call time of each side and the ratio
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


def py_build(pairs):
    """The same structure in pure Python: lowercase str -> list of bytes."""
    d = {}
    for n, v in pairs:
        d.setdefault(n.lower(), []).append(v.encode())
    return d


D = {}
for n, v in LOWER:
    D.setdefault(n, v)
M = HeaderMap(PAIRS)
NAMES = list(D)
G = dict(globals())

# (case, dict statement, HeaderMap statement, statements whose time is taken
# off (dict, HeaderMap) or "", calls per statement)
CASES = [
    ("construct from 12 pairs", "py_build(PAIRS)", "HeaderMap(PAIRS)", "", 1),
    ("get, present (read again)", "D.get('accept-encoding')", "M.get('accept-encoding')", "", 1),
    # A fresh copy per round and each value read once, so the HeaderMap side
    # makes every bytes object; the time of making the copies is taken off.
    ("get, present (first read)",
     "d = dict(D)\nfor n in NAMES: d.get(n)",
     "m = HeaderMap(M)\nfor n in NAMES: m.get(n)", ("d = dict(D)", "m = HeaderMap(M)"), 12),
    ("get, absent", "D.get('x-missing')", "M.get('x-missing')", "", 1),
    ("in, present", "'accept-encoding' in D", "'accept-encoding' in M", "", 1),
    ("in, absent", "'x-missing' in D", "'x-missing' in M", "", 1),
    ("add 12 pairs (per add)",
     "d = {}\nfor n, v in LOWER: d.setdefault(n, []).append(v)",
     "m = HeaderMap()\nfor n, v in LOWER: m.add(n, v)", "", 12),
]


def run(stmt, setup, number):
    return timeit.Timer(stmt, setup, globals=G).timeit(number)


def main(rounds=7):
    print(f"{'case':28} {'dict ns':>9} {'HeaderMap ns':>13} {'ratio':>6}")
    for name, d_stmt, m_stmt, base, calls in CASES:
        number = 20_000 if calls > 1 or name.startswith("construct") else 500_000
        d_best = m_best = d_base = m_base = float("inf")
        for _ in range(rounds):
            d_best = min(d_best, run(d_stmt, "", number))
            m_best = min(m_best, run(m_stmt, "", number))
            if base:
                d_base = min(d_base, run(base[0], "", number))
                m_base = min(m_base, run(base[1], "", number))
        if base:
            d_best -= d_base
            m_best -= m_base
        d_ns = d_best / number / calls * 1e9
        m_ns = m_best / number / calls * 1e9
        print(f"{name:28} {d_ns:9.1f} {m_ns:13.1f} {m_ns / d_ns:6.2f}")


if __name__ == "__main__":
    main()
