"""The sans-IO HTTP/1.1 client connection: h11 as an independent server for
a run of exchanges on one connection (delivered whole, byte by byte and
at random cuts), and hand-written hostile responses."""

import random

import h11
import pytest

from vintrel.client._events import (
    BodyReceived,
    ConnectionEnded,
    InformationalReceived,
    ResponseEnded,
    ResponseReceived,
    StreamAborted,
)
from vintrel.client._h1 import H1ClientConnection

BIG = bytes(range(256)) * 400


def run_exchanges(cut):
    """Several exchanges on one connection; h11 checks each request and
    writes each response; the client gets the bytes cut as `cut` says."""
    rng = random.Random(7)
    client = H1ClientConnection(stream_buffer=1000)
    server = h11.Connection(h11.SERVER)
    events = []

    def deliver(data):
        if cut == "whole":
            pieces = [data]
        elif cut == "bytes":
            pieces = [data[i:i + 1] for i in range(len(data))]
        else:
            bounds = sorted(rng.sample(range(1, len(data)), min(5, len(data) - 1))) if len(data) > 1 else []
            pieces = [data[a:b] for a, b in zip([0, *bounds], [*bounds, len(data)])]
        for piece in pieces:
            for e in client.receive(piece):
                events.append(e)
                if isinstance(e, BodyReceived):
                    client.body_consumed(e.stream_id, len(e.data))

    def server_reads():
        if server.our_state is h11.DONE:
            server.start_next_cycle()
        server.receive_data(client.data_to_send())
        got = []
        while (e := server.next_event()) is not h11.NEED_DATA:
            got.append(e)
            if isinstance(e, h11.EndOfMessage):
                break
        return got

    def answer(*responses):
        deliver(b"".join(server.send(r) for r in responses))

    # 1: GET, a body of known length.
    sid = client.start_request("GET", "/a", [(b"accept", b"*/*")], authority="example.com", end_stream=True)
    req = server_reads()[0]
    assert req.target == b"/a" and (b"host", b"example.com") in req.headers
    answer(h11.Response(status_code=200, headers=[("content-length", str(len(BIG)))]), h11.Data(data=BIG),
           h11.EndOfMessage())
    client.stream_done(sid)
    # 2: a chunked upload with trailers, after 100 and 103; a chunked answer
    # with trailers.
    sid = client.start_request("POST", "/up", [(b"expect", b"100-continue"), (b"trailer", b"x-sum")],
                               authority="example.com")
    server.start_next_cycle()
    server.receive_data(client.data_to_send())
    assert isinstance(server.next_event(), h11.Request)
    answer(h11.InformationalResponse(status_code=100, headers=[]), h11.InformationalResponse(status_code=103,
                                                                                 headers=[("link", "</s>")]))
    client.send_body(sid, b"part one, ")
    client.send_body(sid, b"part two")
    client.send_trailers(sid, [(b"x-sum", b"42"), (b"content-length", b"1")])
    got = server_reads()
    assert b"".join(e.data for e in got if isinstance(e, h11.Data)) == b"part one, part two"
    assert got[-1].headers == [(b"x-sum", b"42")]
    answer(h11.Response(status_code=201, headers=[("transfer-encoding", "chunked")]), h11.Data(data=b"ok"),
           h11.EndOfMessage(headers=[("x-t", "1")]))
    client.stream_done(sid)
    # 3: HEAD and 4: 204 have no body; 5: a body of known length uploaded.
    for method, status in (("HEAD", 200), ("DELETE", 204)):
        sid = client.start_request(method, "/n", [], authority="example.com", end_stream=True)
        server_reads()
        answer(h11.Response(status_code=status, headers=[("content-length", "5")] if status == 200 else []),
               h11.EndOfMessage())
        client.stream_done(sid)
    sid = client.start_request("PUT", "/p", [(b"content-length", b"6")], authority="example.com")
    client.send_body(sid, b"abc")
    client.send_body(sid, b"def", end_stream=True)
    assert b"".join(e.data for e in server_reads() if isinstance(e, h11.Data)) == b"abcdef"
    # The last: connection: close, the body runs to the close (h11 would
    # chunk it).
    deliver(b"HTTP/1.1 200 OK\r\nconnection: close\r\n\r\nto the end")
    assert not client.reusable
    events += client.receive_eof()
    client.stream_done(sid)
    assert client.ended and not client.can_start
    return events


def test_exchanges_give_the_same_events_however_the_bytes_are_cut():
    runs = {cut: run_exchanges(cut) for cut in ("whole", "bytes", "random")}

    def merged(events):  # body bytes may come in more pieces when cut
        out = []
        for e in events:
            if isinstance(e, BodyReceived) and out and isinstance(out[-1], BodyReceived):
                out[-1] = BodyReceived(e.stream_id, out[-1].data + e.data)
            else:
                out.append(e)
        return out

    whole = merged(runs["whole"])
    assert merged(runs["bytes"]) == whole and merged(runs["random"]) == whole
    kinds = [(type(e).__name__, getattr(e, "stream_id", None)) for e in whole]
    assert kinds == [
        ("ResponseReceived", 1), ("BodyReceived", 1), ("ResponseEnded", 1),
        ("InformationalReceived", 2), ("InformationalReceived", 2), ("ResponseReceived", 2), ("BodyReceived", 2),
        ("ResponseEnded", 2),
        ("ResponseReceived", 3), ("ResponseEnded", 3), ("ResponseReceived", 4), ("ResponseEnded", 4),
        ("ResponseReceived", 5), ("BodyReceived", 5), ("ResponseEnded", 5), ("ConnectionEnded", None),
    ]
    assert whole[1].data == BIG and whole[3] == InformationalReceived(2, 100, [])
    assert whole[4] == InformationalReceived(2, 103, [(b"link", b"</s>")])
    assert whole[7] == ResponseEnded(2, [(b"x-t", b"1")])
    assert whole[8].end_stream and whole[10].end_stream and not whole[0].end_stream
    assert whole[-1].error_code == 0


def fresh(reused=False, method="GET", end_stream=True, **kw):
    c = H1ClientConnection(**kw)
    if reused:
        sid = c.start_request("GET", "/", [], authority="a", end_stream=True)
        c.receive(b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n")
        c.stream_done(sid)
    sid = c.start_request(method, "/", [], authority="a", end_stream=end_stream)
    c.data_to_send()
    return c, sid


@pytest.mark.parametrize(
    "reply, eof, expect",
    [
        (b"HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\nabc", True, "cut"),
        (b"HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n3\r\nabc\r\n", True, "cut"),
        (b"HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\nzz\r\n", False, "bad"),
        (b"HTTP/1.1 200 OK\r\n\r\nabc", True, "ended"),
        (b"HTTP/1.0 200 OK\r\ncontent-length: 3\r\n\r\nabc", False, "ended"),
        (b"HTTP/1.1 200 OK\r\nconnection: close\r\ncontent-length: 0\r\n\r\n", False, "ended"),
        (b"HTTP/1.1 101 Switching Protocols\r\nupgrade: x\r\n\r\n", False, "bad"),
        (b"HTTP/1.1 200 OK\r\nx: " + b"a" * 2000, False, "huge"),
        (b"HTTP/1.1 200 OK\r\n" + b"x: y\r\n" * 400 + b"\r\n", False, "huge"),
        (b"HTTP/1.1 103 Early Hints\r\n" + b"x: y\r\n" * 400, False, "huge"),
        (b"HTTP/1.1 200 OK\r\ncontent-length: 1\r\n\r\nab", False, "stray"),
        (b"HTTP/1.1 20x OK\r\n\r\n", False, "bad"),
    ],
)
def test_responses_that_end_the_connection(reply, eof, expect):
    c, sid = fresh(max_head_size=1024)
    events = c.receive(reply) + (c.receive_eof() if eof else c.take_events())
    aborted = [e for e in events if isinstance(e, StreamAborted)]
    assert not c.reusable and not c.can_start and isinstance(events[-1], ConnectionEnded)
    if expect == "ended":
        assert isinstance(events[-2], ResponseEnded) and not aborted and events[-1].error_code == 0
    elif expect == "stray":
        assert isinstance(events[-2], ResponseEnded) and events[-1].error_code == 1
    else:
        code = 11 if expect == "huge" else 1
        assert aborted == [StreamAborted(sid, code, aborted[0].reason, False)]
        assert not any(isinstance(e, ResponseEnded) for e in events) and events[-1].error_code == code


@pytest.mark.parametrize("reused, got_bytes, retryable", [(True, False, True), (False, False, False),
                                                          (True, True, False)])
def test_only_a_reused_connection_closed_before_the_response_is_retryable(reused, got_bytes, retryable):
    c, sid = fresh(reused)
    events = c.receive(b"HTTP/1.1 2") if got_bytes else []
    events += c.receive_eof()
    assert events[0].stream_id == sid and events[0].retryable is retryable
    assert events[-1] == ConnectionEnded(0, "connection closed by peer")


def test_request_framing_and_keep_alive():
    c = H1ClientConnection()
    sid = c.start_request("POST", "/", [(b"Content-Length", b"3"), (b"connection", b"close")], authority="h")
    assert c.data_to_send() == b"POST / HTTP/1.1\r\nhost: h\r\nconnection: close\r\ncontent-length: 3\r\n\r\n"
    c.send_body(sid, b"abc", end_stream=True)
    assert c.data_to_send() == b"abc" and not c.can_start
    c.receive(b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n")
    assert not c.reusable  # the request said close
    c = H1ClientConnection()
    sid = c.start_request("PUT", "/", [(b"host", b"given")], authority="h")
    c.send_body(sid, b"ab")
    c.send_trailers(sid, [(b"x", b"1")])  # not declared: dropped
    assert c.data_to_send() == b"PUT / HTTP/1.1\r\nhost: given\r\ntransfer-encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n"
    c.receive(b"HTTP/1.1 204 No Content\r\n\r\n")
    c.stream_done(sid)
    assert c.can_start and c.start_request("GET", "/", [], authority="h", end_stream=True) == 2
    with pytest.raises(RuntimeError):
        c.start_request("GET", "/", [], authority="h", end_stream=True)


def test_an_early_answer_stops_the_upload_and_the_connection():
    c, sid = fresh(reused=True, method="POST", end_stream=False)
    c.send_body(sid, b"x" * 100)
    events = c.receive(b"HTTP/1.1 413 Too Large\r\ncontent-length: 2\r\n\r\nno")
    assert [type(e).__name__ for e in events] == ["ResponseReceived", "BodyReceived", "ResponseEnded",
                                                 "ConnectionEnded"]
    c.data_to_send()
    c.send_body(sid, b"more", end_stream=True)  # dropped silently
    assert c.data_to_send() == b"" and c.ended and not c.reusable


def test_reset_mid_exchange_ends_the_connection_without_a_stream_event():
    c, sid = fresh(reused=True)
    c.receive(b"HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\nab")
    c.reset_stream(sid)
    assert c.take_events() == [ConnectionEnded(0, "request cancelled")] and not c.reusable
    assert c.receive(b"late") == []


def test_reading_pauses_past_the_stream_buffer_and_stray_bytes_end_an_idle_connection():
    c, sid = fresh(stream_buffer=4)
    c.receive(b"HTTP/1.1 200 OK\r\ncontent-length: 6\r\n\r\nabcdef")
    assert not c.wants_read
    c.body_consumed(sid, 6)
    assert c.wants_read
    c.stream_done(sid)
    assert c.receive(b"surprise")[-1].error_code == 1 and c.ended


def test_upgrade_and_connect_become_tunnels():
    c = H1ClientConnection()
    sid = c.start_request("GET", "/", [(b"upgrade", b"x"), (b"connection", b"upgrade")], authority="h",
                          end_stream=True)
    events = c.receive(b"HTTP/1.1 101 Switching Protocols\r\nupgrade: x\r\n\r\nraw")
    assert events == [InformationalReceived(sid, 101, [(b"upgrade", b"x")]), BodyReceived(sid, b"raw")]
    c = H1ClientConnection()
    sid = c.start_request("CONNECT", "h:443", [], authority="h:443")
    assert c.data_to_send() == b"CONNECT h:443 HTTP/1.1\r\nhost: h:443\r\n\r\n"
    events = c.receive(b"HTTP/1.1 200 OK\r\n\r\n")
    assert events == [ResponseReceived(sid, 200, [], "1.1", False)]
    c.send_body(sid, b"\x16\x03")
    assert c.data_to_send() == b"\x16\x03"
    assert c.receive(b"tls") == [BodyReceived(sid, b"tls")]
    assert c.receive_eof()[:1] == [ResponseEnded(sid, None)]
