"""Threads mixing calls on shared objects with re-entrant arguments: an
__index__ or an iterable runs Python code that calls the same object (or
one it reads) while the call converts its arguments, and another thread may
run meanwhile. No deadlock, no crash, no lost update.

Only such arguments let threads interleave inside a call: a call that runs
no Python code holds the interpreter lock throughout, so plain loops of
calls from several threads prove nothing about the objects' own locks."""

import threading
import time

from conftest import SANITIZED

import vintrel._vintrel as m
from wire import frame

SECONDS = 0.5 if SANITIZED else 1.5
THREADS = 6
ERRORS = (ValueError, KeyError, RuntimeError, m.VintrelError)


class Shared:
    def __init__(self):
        self.hm = m.HeaderMap()
        self.codec = m.H1Codec()
        self.h2 = m.H2Codec("server")
        self.fc = m.H2FlowControl()
        self.flow_rounds = 0
        self.lock = threading.Lock()  # guards the counters above


class Index:
    """An integer whose conversion calls back into the object it is for."""

    def __init__(self, value, callback):
        self.value, self.callback = value, callback

    def __index__(self):
        self.callback()
        return self.value


def names(s, prefix):
    # An iterable of pairs that reads and writes the map being built from it
    # or extended with it.
    for i in range(3):
        s.hm.get("k0")
        s.hm.add(prefix, "x")
        yield (prefix + str(i), b"v")


def header_map_work(s, i):
    k = "k%d" % (i % 4)
    s.hm.add(k, "v")
    s.hm[k] = b"w"
    s.hm.setdefault("k0", "first")
    m.HeaderMap(names(s, "t%d" % i))
    if len(s.hm) > 200:
        for name in list(s.hm):
            try:
                del s.hm[name]
            except KeyError:
                pass  # another thread removed it first
    items = s.hm.items()
    assert all(isinstance(n, str) and isinstance(v, bytes) for n, v in items)


def h1_work(s, i):
    c = s.codec
    try:
        c.serialize_request("POST", "/%d" % i, s.hm if i % 2 else None, content_length=Index(3, c.buffered))
        c.serialize_data(b"abc")
    except ERRORS:
        pass
    try:
        head = c.receive_request_head(b"GET /x HTTP/1.1\r\nhost: a\r\n\r\n")
        if head is not None:
            assert head.method == "GET"
    except ERRORS:
        c.take_body()  # a neighbour's bytes interleaved: start over
    c.serialize_request("GET", "/", trailer_fields=iter([]))


def h2_work(s, i):
    c = s.h2
    events = c.receive(frame(6, 0, 0, b"%08d" % i) + frame(8, 0, 0, b"\x00\x00\x00\x01"))
    assert [type(e) for e in events] == [m.H2FramePing, m.H2FrameWindowUpdate]
    c.serialize_data(Index(1, c.buffered), b"d")
    c.serialize_window_update(1, Index(5, lambda: c.serialize_ping(b"12345678")))
    c.serialize_response_headers(1, 200, m.HeaderMap(names(s, "h%d" % i)))


def flow_work(s, i):
    fc = s.fc
    fc.inc_window(Index(2, lambda: fc.assign_capacity(1)))
    fc.claim_capacity(Index(1, fc.window_size))
    fc.send_data(1)
    with s.lock:
        s.flow_rounds += 1


WORK = [header_map_work, h1_work, h2_work, flow_work]


def test_threads_mixing_calls_on_shared_objects():
    s = Shared()
    stop = time.monotonic() + SECONDS
    errors = []
    rounds = [0] * THREADS

    def worker(t):
        try:
            i = t
            while time.monotonic() < stop:
                WORK[i % len(WORK)](s, i)
                i += THREADS
                rounds[t] += 1
        except BaseException as e:  # surfaced below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=SECONDS + 60)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert errors == []
    assert sum(rounds) > 0

    # Each flow round: window +2 -1, available +1 -1 -1.
    assert s.fc.window_size() == -s.fc.available() == s.flow_rounds > 0
    # The map's three views agree once the writers stopped.
    assert len(s.hm) == len(s.hm.values()) == len(s.hm.items())
    assert list(s.hm) == s.hm.keys()
    # H2 codec and H1 codec still work.
    assert s.h2.buffered() == 0
    s.codec.take_body()
    assert s.codec.receive_request_head(b"GET / HTTP/1.1\r\n\r\n").target == "/"
