"""Every public method, on its success and error paths, leaves nothing behind."""

import gc
import os
import struct
import tracemalloc

import pytest

import vintrel._vintrel as m
from conftest import SANITIZED
from wire import frame

ROUNDS = 500 if SANITIZED else 5_000


def swallow(fn, *args, **kw):
    try:
        return fn(*args, **kw)
    except (ValueError, TypeError, KeyError, IndexError, OverflowError, RuntimeError, m.VintrelError):
        return None


H2_STREAM = (
    frame(4, 0, 0, struct.pack(">HI", 3, 100))
    + frame(1, 0x4, 1, b"\x82\x84\x87\x40\x03x-a\x01v\xbe")
    + frame(0, 0x1, 1, b"body")
    + frame(6, 0, 0, b"12345678")
    + frame(7, 0, 0, b"\x00\x00\x00\x01\x00\x00\x00\x00dbg")
    + frame(3, 0, 1, b"\x00\x00\x00\x08")
    + frame(8, 0, 1, b"\x00\x00\x00\x01")
    + frame(2, 0, 3, b"\x00\x00\x00\x03\x10")  # self-dependent: a stream error
)


def header_map():
    hm = m.HeaderMap([("a", "1"), (b"b", b"2")])
    hm.add("a", "3")
    hm["c"] = b"4"
    hm.setdefault("d", "5")
    hm.get("a"), hm.get_all("a"), hm.keys(), hm.values(), hm.items(), list(hm), repr(hm)
    del hm["b"]
    assert hm == m.HeaderMap(hm) and "a" in hm
    swallow(hm.__getitem__, "zz")
    swallow(hm.add, "bad name", "v")
    swallow(hm.add, "n", "bad\x00")
    swallow(hm.__setitem__, 1, "v")
    swallow(m.HeaderMap, [("a",)])
    swallow(m.HeaderMap, {"a": object()})


def h1_client():
    c = m.H1Codec()
    c.serialize_request("POST", "http://a/x", m.HeaderMap({"host": "a"}), chunked=True, trailer_fields=["x-t"])
    c.serialize_data(b"abc")
    c.serialize_trailers(m.HeaderMap({"x-t": "1"}))
    c.body_is_eof()
    head = c.receive_head(b"HTTP/1.1 200 OK\r\ncontent-length: 3\r\nx: y\r\n\r\nabc")
    (head.status, head.headers, head.keep_alive, head.body_kind, head.content_length, head.is_upgrade, head.http10)
    c.take_body(), c.buffered()
    swallow(c.receive_head, b"HTTP/1.1 200 OK\r\ncontent-length: 1, 2\r\n\r\n")
    swallow(c.serialize_request, "BAD METHOD", "/")
    swallow(c.serialize_data, b"x")


def h1_server():
    c = m.H1Codec()
    r = c.receive_request_head(b"PUT /p HTTP/1.1\r\nhost: a\r\nexpect: 100-continue\r\ncontent-length: 2\r\n\r\nhi")
    (r.method, r.target, r.headers, r.keep_alive, r.body_kind, r.content_length, r.expect_continue, r.is_upgrade)
    c.serialize_response(200, m.HeaderMap({"x": "y"}), content_length=2)
    c.serialize_data(b"ok"), c.serialize_end()
    swallow(c.receive_request_head, b"GET / HTTP/1.1\r\n folded\r\n\r\n")
    swallow(c.serialize_response, 1000)


def h1_body():
    for kind, data in (("chunked", b"3\r\nabc\r\n0\r\nx-t: 1\r\n\r\nrest"), ("length", b"abcdef"), ("close", b"xyz")):
        d = m.H1BodyDecoder(kind, 3)
        d.feed(data)
        d.mark_eof() if kind == "close" else None
        while d.decode() is not None:
            pass
        d.is_complete, d.take_trailers(), d.take_buffered()
    bad = m.H1BodyDecoder("chunked")
    bad.feed(b"zz\r\n")
    swallow(bad.decode)
    short = m.H1BodyDecoder("length", 10)
    short.mark_eof()
    swallow(short.decode)


def h2():
    c = m.H2Codec("client")
    events = c.receive(H2_STREAM)
    for e in events:
        for name in dir(e):
            if not name.startswith("_"):
                getattr(e, name)
    c.serialize_settings(header_table_size=100, enable_push=False, max_frame_size=20000)
    c.serialize_settings_ack()
    c.serialize_request_headers(1, "GET", "https://a/x", m.HeaderMap({"x": "y"}))
    c.serialize_trailers(1, m.HeaderMap({"t": "1"}))
    c.serialize_data(1, b"x" * 100, end_stream=True)
    c.serialize_window_update(1, 5), c.serialize_ping(b"12345678"), c.serialize_ping_ack(b"12345678")
    c.serialize_go_away(1, 0, b"bye"), c.serialize_rst_stream(1, 8)
    c.set_send_header_table_size(0), c.set_recv_header_table_size(100), c.set_max_header_list_size(1000)
    c.set_max_recv_frame_size(20000), c.set_send_max_frame_size(20000), c.buffered(), c.role_client
    s = m.H2Codec("server")
    s.serialize_response_headers(1, 200, m.HeaderMap({"x": "y"}), end_stream=True)
    swallow(s.receive, frame(1, 0, 1, b"\x82") + frame(6, 0, 0, b"12345678"))
    swallow(s.receive, frame(1, 0x4, 3, b"\xff\xff\xff\xff\xff"))
    swallow(s.serialize_ping, b"short")
    swallow(s.serialize_request_headers, 1, "GET", "no url")
    swallow(m.H2Codec, "neither")


def h2_state_and_flow():
    s = m.H2StreamState()
    s.send_open(False), s.recv_open(False, False), s.is_send_streaming(), repr(s)
    swallow(s.reserve_local)
    s.set_reset(1, 8, "user")
    swallow(s.ensure_recv_open)
    s.get_scheduled_reset(), s.is_reset(), s.is_closed()
    for name in dir(s):
        if name.startswith("is_"):
            getattr(s, name)()
    r = m.H2StreamState()
    r.reserve_remote(), r.recv_open(True, False)
    swallow(r.send_close)
    swallow(r.recv_close)
    r.recv_reset(1, 8, True), r.set_scheduled_reset(2)
    swallow(r.ensure_recv_open)
    t = m.H2StreamState()
    t.recv_eof()
    swallow(t.ensure_recv_open)
    swallow(t.set_reset, 2**31, 0, "user")
    fc = m.H2FlowControl()
    fc.inc_window(100), fc.assign_capacity(50), fc.send_data(10), fc.claim_capacity(5)
    fc.dec_recv_window(1), fc.dec_send_window(1), fc.unclaimed_capacity(), fc.has_unavailable()
    swallow(fc.inc_window, 2**31)
    swallow(fc.send_data, 10**6)


def proxy():
    p = m.ProxyMatcher.from_parts(http="http://u:p@proxy:8080", https="socks5://u:p@s:1080", no="*.local,10.0.0.0/8")
    for url in ("http://a/x", "https://b/y", "http://x.local/", "ftp://a/", "not a url"):
        i = p.intercept(url)
        if i is not None:
            i.uri, i.basic_auth(), i.raw_auth()
    m.ProxyMatcher.from_env()
    swallow(m.ProxyMatcher)


SCENARIOS = [header_map, h1_client, h1_server, h1_body, h2, h2_state_and_flow, proxy]


def rss_pages():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1])


@pytest.mark.parametrize("scenario", SCENARIOS, ids=lambda f: f.__name__)
def test_repeated_calls_do_not_grow_the_process(scenario):
    for _ in range(ROUNDS // 10):  # warm-up: caches, free lists, interned names
        scenario()
    gc.collect()
    objects = len(gc.get_objects())
    rss = rss_pages() if not SANITIZED and os.path.exists("/proc/self/statm") else None
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        for _ in range(ROUNDS):
            scenario()
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    grown = sum(s.size_diff for s in after.compare_to(before, "filename") if s.size_diff > 0)
    # Each round allocates kilobytes; a leak of even a few bytes a round
    # shows as ROUNDS times that.
    assert grown < 64 * 1024
    assert len(gc.get_objects()) - objects < 100
    if rss is not None:
        assert (rss_pages() - rss) * os.sysconf("SC_PAGE_SIZE") < 2 * 1024 * 1024
