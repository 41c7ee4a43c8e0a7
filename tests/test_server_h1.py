"""H1ServerConnection driven with bytes only; h11 reads what it writes."""

import random

import h11
import pytest

from vintrel.server._events import BodyReceived, ConnectionEnded, RequestEnded, RequestReceived, StreamAborted
from vintrel.server._h1 import CONTINUE, H1ServerConnection
from vintrel.server._limits import Limits

DATE = (b"date", b"Thu, 01 Jan 2026 00:00:00 GMT")  # fixed, so outputs compare
POST = b"POST / HTTP/1.1\r\nhost: x\r\n"
CHUNKED = POST + b"transfer-encoding: chunked\r\n\r\n"
TRAILERS = [(b"x-sum", b"1"), (b"content-type", b"never in trailers")]


def respond(conn, sid, status, kind, body, declare):
    fields = [DATE] + [(b"content-length", b"%d" % len(body))] * (kind == "length") + [(b"trailer", b"x-sum")] * declare
    conn.start_response(sid, status, fields, end_stream=kind == "empty")
    for i in range(0, len(body) * (kind != "empty"), 3):
        conn.send_body(sid, body[i : i + 3])
    if kind == "trailers":
        conn.send_trailers(sid, TRAILERS)
    elif kind != "empty":
        conn.send_body(sid, b"", end_stream=True)


def serve(conn, chunks, plan=None):
    """A driver: feeds chunks, answers each request once it ended (if plan
    is given), returns the events (adjacent bodies merged) and the bytes."""
    events, out = [], bytearray()

    def handle(evs):
        for ev in evs:
            if isinstance(ev, BodyReceived) and events and isinstance(events[-1], BodyReceived):
                ev = BodyReceived(ev.stream_id, events.pop().data + ev.data)
            events.append(ev)
            if isinstance(ev, RequestEnded) and plan:
                respond(conn, ev.stream_id, *plan(ev.stream_id))
                out.extend(conn.data_to_send())
                handle(conn.take_events())

    for c in chunks:
        handle(conn.receive(c))
        out.extend(conn.data_to_send())
    return events, bytes(out)


def cuts(data, how, rng=None):
    if how in ("whole", "bytes"):
        return [data] if how == "whole" else [data[i : i + 1] for i in range(len(data))]
    at = sorted(rng.sample(range(1, len(data)), min(len(data) - 1, 8)))
    return [data[a:b] for a, b in zip([0] + at, at + [len(data)])]


def random_request(rng, i):
    method = rng.choice(["GET", "HEAD", "POST", "PUT"])
    body = rng.randbytes(rng.randint(0, 40)) if method in ("POST", "PUT") else b""
    fields = [(b"host", b"x"), (b"x-n", b"%d" % i)] + [(b"te", b"gzip, trailers;q=1")] * rng.randint(0, 1)
    trailers = None
    if body and rng.random() < 0.5:
        fields.append((b"transfer-encoding", b"chunked"))
        trailers = [(b"x-t", b"%d" % i)] if rng.random() < 0.5 else None
        wire = b"".join(b"%x;e=1\r\n%s\r\n" % (len(body[j : j + 7]), body[j : j + 7]) for j in range(0, len(body), 7))
        wire += b"0\r\n" + b"".join(b"%s: %s\r\n" % t for t in trailers or []) + b"\r\n"
    else:
        fields += [(b"content-length", b"%d" % len(body))] * bool(body)
        wire = body
    head = b"%s /r%d HTTP/1.1\r\n" % (method.encode(), i) + b"".join(b"%s: %s\r\n" % f for f in fields)
    return head + b"\r\n" + wire, (method, f"/r{i}", fields, body, trailers)


@pytest.mark.parametrize("seed", range(12))
def test_pipelined_requests_split_anywhere_give_the_same_events_and_h11_reads_the_answers(seed):
    rng = random.Random(seed)
    reqs = [random_request(rng, i) for i in range(rng.randint(1, 6))]
    wire = b"".join(w for w, _ in reqs)
    kinds = ["length", "chunked", "empty", "trailers"]
    plans = [(rng.choice([200, 204, 304, 404]), rng.choice(kinds), b"r%d" % i, rng.random() < 0.5) for i in range(6)]
    runs = [serve(H1ServerConnection(), cuts(wire, how, rng), lambda i: plans[i - 1]) for how in ("whole", "bytes", 0)]
    assert runs[1] == runs[0] and runs[2] == runs[0]
    want = []
    for sid, (_, (method, target, fields, body, trailers)) in enumerate(reqs, 1):
        te = len(fields) > 2 and fields[2][0] == b"te"
        want.append(RequestReceived(sid, method, target, fields, "1.1", None, not body, te))
        want += [BodyReceived(sid, body)] * bool(body) + [RequestEnded(sid, trailers)]
    assert runs[0][0] == want

    client = h11.Connection(h11.CLIENT)
    client.receive_data(runs[0][1])
    for (_, (method, target, fields, body, _)), (status, kind, rbody, _) in zip(reqs, plans):
        for ev in [h11.Request(method=method, target=target, headers=fields)] + [h11.Data(data=body)] * bool(body):
            client.send(ev)
        client.send(h11.EndOfMessage())
        got = [client.next_event()]
        while not isinstance(got[-1], h11.EndOfMessage):
            got.append(client.next_event())
        empty = method == "HEAD" or status in (204, 304) or kind == "empty"
        assert (got[0].status_code, b"".join(e.data for e in got[1:-1])) == (status, b"" if empty else rbody)
        te = (kind, not empty, fields[2][0] if len(fields) > 2 else None) == ("trailers", True, b"te")
        assert got[-1].headers == TRAILERS[:1] * te
        client.start_next_cycle()
    assert client.next_event() is h11.NEED_DATA


def oracle(out):
    """h11's reading of one response to a GET: (status, fields, body)."""
    client = h11.Connection(h11.CLIENT)
    client.send(h11.Request(method="GET", target="/", headers=[("host", "x")]))
    client.send(h11.EndOfMessage())
    client.receive_data(out)
    resp, body = client.next_event(), b""
    while not isinstance(ev := client.next_event(), h11.EndOfMessage):
        body += ev.data
    return resp.status_code, dict(resp.headers), body


LIMITS = [
    ("head-trickles", Limits(max_head_size=64), b"GET / HTTP/1.1\r\nx: " + b"a" * 100, 431),
    ("head-whole", Limits(max_head_size=64), b"GET / HTTP/1.1\r\nx: " + b"a" * 100 + b"\r\n\r\n", 431),
    ("field-count", Limits(), b"GET / HTTP/1.1\r\n" + b"a: b\r\n" * 101 + b"\r\n", 431),
    ("uri", Limits(max_head_size=1 << 20), b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\n\r\n", 414),
    ("bad-field", Limits(), b"GET / HTTP/1.1\r\nx\x01: y\r\n\r\n", 400),
    ("declared-body", Limits(max_body_size=10), POST + b"expect: 100-continue\r\ncontent-length: 11\r\n\r\n", 413),
    ("chunked-body", Limits(max_body_size=10), CHUNKED + b"6\r\nabcdef\r\n" * 2, 413),
    ("bad-chunk", Limits(), CHUNKED + b"zz\r\n", 400),
]


@pytest.mark.parametrize("how", ["whole", "bytes"])
@pytest.mark.parametrize("limits, wire, status", [c[1:] for c in LIMITS], ids=[c[0] for c in LIMITS])
def test_each_limit_answers_with_a_fixed_response_and_closes(limits, wire, status, how):
    conn = H1ServerConnection(limits)
    events, out = serve(conn, cuts(wire, how))
    code, fields, body = oracle(out)
    assert (code, fields[b"connection"], int(fields[b"content-length"])) == (status, b"close", len(body))
    assert conn.ended and not conn.wants_read and CONTINUE not in out and events[-1].error_code != 0
    opened = [e.stream_id for e in events if isinstance(e, RequestReceived)]
    assert [e.stream_id for e in events if isinstance(e, StreamAborted)] == opened
    assert conn.receive(b"GET / HTTP/1.1\r\n\r\n") == [] and conn.data_to_send() == b""


def test_a_body_past_the_cap_once_the_response_started_just_closes():
    conn = H1ServerConnection(Limits(max_body_size=4))
    conn.receive(CHUNKED)
    conn.start_response(1, 200, [DATE])
    conn.data_to_send()
    assert [type(e) for e in conn.receive(b"5\r\nhello\r\n")] == [StreamAborted, ConnectionEnded]
    assert conn.data_to_send() == b""


HTTP10_KA = b"GET / HTTP/1.0\r\nconnection: keep-alive\r\n\r\n"
CLOSE = b"connection: close"
SMUGGLE = POST + b"content-length: 1\r\ntransfer-encoding: chunked\r\n\r\n0\r\n\r\n"  # both framings
FRAMING = [  # request, status, app fields, body sent (None: end_stream in the head), framing and connection lines
    (b"GET / HTTP/1.1\r\n\r\n", 200, [], None, [b"content-length: 0"]),
    (b"GET / HTTP/1.1\r\n\r\n", 200, [], b"ok", [b"transfer-encoding: chunked"]),
    (b"HEAD / HTTP/1.1\r\n\r\n", 200, [(b"content-length", b"10")], b"ok", [b"content-length: 10"]),
    (b"HEAD / HTTP/1.1\r\n\r\n", 200, [], b"ok", []),
    (b"GET / HTTP/1.1\r\n\r\n", 204, [(b"content-length", b"5")], b"ok", []),
    (b"GET / HTTP/1.1\r\n\r\n", 304, [(b"content-length", b"7")], None, [b"content-length: 7"]),
    (b"GET / HTTP/1.1\r\nconnection: close\r\n\r\n", 200, [], None, [b"content-length: 0", CLOSE]),
    (b"GET / HTTP/1.1\r\n\r\n", 200, [(b"connection", b"close")], None, [b"content-length: 0", CLOSE]),
    (b"GET / HTTP/1.0\r\n\r\n", 200, [], None, [b"content-length: 0", CLOSE]),
    (HTTP10_KA, 200, [], None, [b"content-length: 0", b"connection: keep-alive"]),
    (HTTP10_KA, 200, [], b"ok", [CLOSE]),  # no chunking: the body ends with the connection
    (SMUGGLE, 200, [], None, [CLOSE, b"content-length: 0"]),
    (b"CONNECT x:1 HTTP/1.1\r\n\r\n", 200, [], None, [CLOSE]),  # no tunnels here
]


@pytest.mark.parametrize("wire, status, fields, body, lines", FRAMING)
def test_response_framing_and_keep_alive(wire, status, fields, body, lines):
    conn = H1ServerConnection()
    serve(conn, [wire + b"GET /next HTTP/1.1\r\n\r\n"])
    conn.start_response(1, status, [DATE] + fields, end_stream=body is None)
    conn.send_body(1, body, end_stream=True) if body else None
    head, _, sent = conn.data_to_send().partition(b"\r\n\r\n")
    framing = [ln for ln in head.split(b"\r\n") if ln.startswith((b"content-length", b"transfer", b"connection"))]
    assert sorted(framing) == sorted(lines)
    chunked = b"transfer-encoding: chunked" in lines
    empty = status != 200 or b"HEAD" in wire or not body
    assert sent == (b"" if empty else b"2\r\nok\r\n0\r\n\r\n" if chunked else b"ok")
    assert conn.ended == (b"connection: close" in lines)
    events = [type(e) for e in conn.take_events()]
    assert events == ([ConnectionEnded] if conn.ended else [RequestReceived, RequestEnded])


EXPECT = POST + b"expect: 100-continue\r\ncontent-length: 3\r\n\r\n"


@pytest.mark.parametrize(
    "steps, wire, continues, closes",
    [
        (["continue", "continue", "100", "respond"], EXPECT, 1, False),
        (["head", "continue"], EXPECT, 0, True),  # never after a final response
        (["continue"], EXPECT + b"abc", 0, False),  # the body is already here
        (["continue", "100", "respond"], EXPECT.replace(b"1.1", b"1.0"), 0, True),
        (["continue", "respond"], b"GET / HTTP/1.1\r\nexpect: 100-continue\r\n\r\n", 0, False),
    ],
)
def test_100_continue_only_when_asked_for_and_before_any_response(steps, wire, continues, closes):
    conn = H1ServerConnection()
    serve(conn, [wire])
    out = b""
    for step in steps:
        if step == "continue":
            conn.continue_body(1)
        else:
            conn.start_response(1, 100, []) if step == "100" else conn.start_response(1, 200, [DATE], step == "respond")
        out += conn.data_to_send()
    assert out.count(CONTINUE) == continues and (continues == 0 or out.startswith(CONTINUE))
    assert (b"connection: close" in out) == closes


@pytest.mark.parametrize("respond", [False, True])
def test_eof_at_every_point(respond):
    wire = CHUNKED + b"3\r\nabc\r\n0\r\nx-t: 1\r\n\r\nGET / HTTP/1.1\r\n\r\n"
    for i in range(len(wire) + 1):
        conn = H1ServerConnection()
        events, _ = serve(conn, [wire[:i]], respond and (lambda sid: (200, "chunked", b"hi", False)))
        started = sum(isinstance(e, RequestReceived) for e in events)
        answered = sum(isinstance(e, RequestEnded) for e in events) if respond else 0
        aborted = [StreamAborted(started, 8, "peer closed the connection")] if started > answered else []
        assert conn.receive_eof() == aborted + [ConnectionEnded(0, "peer closed the connection")]
        assert conn.ended and conn.open_streams == 0 and conn.receive_eof() == []


def test_a_waiting_request_or_unread_body_pauses_reading_and_an_early_response_drops_the_body():
    conn = H1ServerConnection(Limits(stream_buffer=4))
    assert [type(e) for e in conn.receive(POST + b"content-length: 10\r\n\r\n01234")] == [RequestReceived, BodyReceived]
    assert not conn.wants_read
    conn.body_consumed(1, 5)
    assert conn.wants_read and conn.receive(b"56789GET /2 HTTP/1.1\r\n\r\n")[-1] == RequestEnded(1, None)
    conn.body_consumed(1, 5)
    assert not conn.wants_read and conn.open_streams == 1  # the next request waits, unparsed
    conn.start_response(1, 200, [DATE], end_stream=True)
    assert [(type(e), e.stream_id) for e in conn.take_events()] == [(RequestReceived, 2), (RequestEnded, 2)]
    assert conn.wants_read and conn.open_streams == 1
    conn = H1ServerConnection(Limits(max_body_size=8))
    conn.receive(POST + b"content-length: 8\r\n\r\nab")
    conn.start_response(1, 200, [DATE], end_stream=True)
    assert conn.open_streams == 0 and conn.take_events() == [] and conn.wants_read
    events = conn.receive(b"cdefghGET /2 HTTP/1.1\r\n\r\n")  # the rest of the body is dropped
    assert [(type(e), e.stream_id) for e in events] == [(RequestReceived, 2), (RequestEnded, 2)]


@pytest.mark.parametrize("stage", ["idle", "before-head", "after-head"])
def test_shutdown(stage):
    conn = H1ServerConnection()
    serve(conn, [b"GET / HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n" * (stage != "idle")])
    conn.start_response(1, 200, [DATE]) if stage == "after-head" else None
    conn.shutdown()
    if stage == "idle":
        assert conn.ended and conn.take_events() == [ConnectionEnded(0, "shutdown")]
        return
    assert not conn.ended and conn.open_streams == 1
    conn.start_response(1, 200, [DATE]) if stage == "before-head" else None
    conn.send_body(1, b"x", end_stream=True)
    assert (b"connection: close" in conn.data_to_send()) == (stage == "before-head")
    assert conn.ended and conn.take_events() == [ConnectionEnded(0, "connection: close")]  # /2 is not served


@pytest.mark.parametrize("before", [(600, []), (200, [(b"x", b"\n")]), (103, [(b"a", b"b")]), (101, []), "shutdown"])
def test_a_500_goes_out_whenever_no_final_head_did_and_reset_ends_the_connection(before):
    conn = H1ServerConnection()
    serve(conn, [b"GET / HTTP/1.1\r\n\r\n"])
    try:
        conn.shutdown() if before == "shutdown" else conn.start_response(1, *before)
    except ValueError:
        pass
    conn.start_response(1, 500, [DATE, (b"content-length", b"0")])
    *first, last = conn.data_to_send().split(b"HTTP/1.1 ")
    assert oracle(b"HTTP/1.1 " + last)[0] == 500 and len(first) == 1 + (before[0] == 103)
    conn.reset_stream(1)
    assert conn.take_events() == [ConnectionEnded(2, "the application failed mid-response")] and conn.ended
    with pytest.raises(RuntimeError):
        conn.send_body(1, b"x")


def test_nothing_grows_per_request():
    conn = H1ServerConnection()
    for i in range(300):
        serve(conn, [b"POST /%d HTTP/1.1\r\ncontent-length: 1\r\n\r\nx" % i], lambda sid: (200, "length", b"ok", False))
    assert conn.open_streams == 0 and not conn.ended
    assert max(len(v) for v in vars(conn).values() if isinstance(v, (list, bytearray, dict))) == 0
