"""Whole HTTP/1 exchanges: a client H1Codec and a server H1Codec talking
through bytes in memory, every exchange delivered whole and one byte at a
time."""

import random

import pytest

import vintrel._vintrel as m

STEPS = [None, 1, 7]  # whole, byte by byte, odd pieces


def pieces(wire, step):
    return [wire] if step is None else [wire[i:i + step] for i in range(0, len(wire), step)]


class Peer:
    """One side's receive path: heads from the codec, bodies from a decoder."""

    def __init__(self, codec, role):
        self.codec = codec
        self.receive = codec.receive_head if role == "client" else codec.receive_request_head
        self.pending = []  # pieces not yet delivered

    def deliver(self, wire, step):
        self.pending += pieces(wire, step)

    def next_head(self):
        head = self.receive(b"")  # pipelined bytes already buffered come first
        while head is None and self.pending:
            head = self.receive(self.pending.pop(0))
        return head

    def body(self, head, eof=False):
        d = m.H1BodyDecoder(head.body_kind, head.content_length or 0)
        d.feed(self.codec.take_body())
        out = []
        while True:
            while (chunk := d.decode()) is not None:
                out.append(chunk)
            if d.is_complete:
                break
            if self.pending:
                d.feed(self.pending.pop(0))
            elif eof:
                d.mark_eof()
            else:
                raise AssertionError("body incomplete with nothing left to deliver")
        # What follows the body belongs to the next message.
        rest = d.take_buffered() + b"".join(self.pending)
        self.pending = [rest] if rest else []
        return b"".join(out), d.take_trailers()


def pair():
    client, server = m.H1Codec(), m.H1Codec()
    return client, server, Peer(client, "client"), Peer(server, "server")


def send_body(codec, chunks, trailers=None):
    out = b"".join(codec.serialize_data(c) for c in chunks)
    return out + (codec.serialize_trailers(trailers) if trailers is not None else codec.serialize_end())


@pytest.mark.parametrize("step", STEPS)
def test_length_both_ways(step):
    client, server, cpeer, speer = pair()
    speer.deliver(client.serialize_request("POST", "/up", m.HeaderMap([("host", "h")]), content_length=11)
                  + send_body(client, [b"hello", b" ", b"world"]), step)
    req = speer.next_head()
    assert (req.method, req.target, req.body_kind, req.content_length) == ("POST", "/up", "length", 11)
    assert speer.body(req) == (b"hello world", None)
    cpeer.deliver(server.serialize_response(200, m.HeaderMap([("x", "y")]), content_length=2)
                  + send_body(server, [b"ok"]), step)
    resp = cpeer.next_head()
    assert (resp.status, resp.body_kind, resp.keep_alive, resp.headers["x"]) == (200, "length", True, b"y")
    assert cpeer.body(resp) == (b"ok", None)


@pytest.mark.parametrize("step", STEPS)
def test_chunked_with_trailers_both_ways(step):
    client, server, cpeer, speer = pair()
    wire = client.serialize_request("PUT", "http://h/x", m.HeaderMap([("trailer", "x-sum")]), chunked=True)
    wire += send_body(client, [b"a" * 300, b"", b"b"], m.HeaderMap([("x-sum", "301"), ("x-no", "1")]))
    speer.deliver(wire, step)
    req = speer.next_head()
    assert req.body_kind == "chunked" and req.content_length is None
    body, trailers = speer.body(req)
    assert body == b"a" * 300 + b"b" and trailers.items() == [("x-sum", b"301")]
    cpeer.deliver(server.serialize_response(200, m.HeaderMap([("trailer", "x-t")]), chunked=True)
                  + send_body(server, [b"xyz"], m.HeaderMap([("x-t", "1")])), step)
    resp = cpeer.next_head()
    body, trailers = cpeer.body(resp)
    assert (resp.body_kind, body, trailers.items()) == ("chunked", b"xyz", [("x-t", b"1")])


@pytest.mark.parametrize("step", STEPS)
def test_close_delimited_response(step):
    client, server, cpeer, speer = pair()
    speer.deliver(client.serialize_request("GET", "/", http10=True), step)
    req = speer.next_head()
    assert req.http10 and not req.keep_alive
    head = server.serialize_response(200, http10=True, chunked=True)
    assert not server.body_is_eof()
    cpeer.deliver(head + send_body(server, [b"x" * 10000, b"tail"]), step)
    resp = cpeer.next_head()
    assert (resp.body_kind, resp.http10, resp.keep_alive) == ("close", True, False)
    assert cpeer.body(resp, eof=True) == (b"x" * 10000 + b"tail", None)


@pytest.mark.parametrize("step", STEPS)
@pytest.mark.parametrize("method,status,kw", [
    ("HEAD", 200, {"content_length": 100}),
    ("GET", 204, {"content_length": 5}),
    ("GET", 304, {"chunked": True}),
])
def test_bodyless_responses(step, method, status, kw):
    client, server, cpeer, speer = pair()
    speer.deliver(client.serialize_request(method, "/"), step)
    speer.next_head()
    head = server.serialize_response(status, **kw)
    assert server.body_is_eof()
    # The next response on the connection follows at once.
    cpeer.deliver(head + b"HTTP/1.1 200 OK\r\ncontent-length: 1\r\n\r\nZ", step)
    resp = cpeer.next_head()
    assert (resp.status, resp.body_kind, resp.content_length) == (status, "empty", 0)
    assert cpeer.body(resp) == (b"", None)
    client.serialize_request("GET", "/")
    nxt = cpeer.next_head()
    assert nxt.status == 200 and cpeer.body(nxt) == (b"Z", None)


@pytest.mark.parametrize("step", STEPS)
def test_expect_100_continue(step):
    client, server, cpeer, speer = pair()
    speer.deliver(client.serialize_request("POST", "/", m.HeaderMap([("expect", "100-continue")]), content_length=4), step)
    req = speer.next_head()
    assert req.expect_continue and req.body_kind == "length"
    # The server codec refuses to encode informational heads: the driver writes it itself.
    cpeer.deliver(b"HTTP/1.1 100 Continue\r\n\r\n", step)
    assert cpeer.next_head() is None and client.buffered() == 0
    speer.deliver(send_body(client, [b"data"]), step)
    assert speer.body(req) == (b"data", None)
    cpeer.deliver(b"HTTP/1.1 100 Continue\r\n\r\n" + server.serialize_response(201, content_length=0), step)
    resp = cpeer.next_head()
    assert (resp.status, resp.body_kind) == (201, "empty")


@pytest.mark.parametrize("step", STEPS)
def test_connect_tunnel(step):
    client, server, cpeer, speer = pair()
    speer.deliver(client.serialize_request("CONNECT", "example.com:443") + b"\x16\x03client-hello", step)
    req = speer.next_head()
    assert (req.is_upgrade, req.target, req.body_kind) == (True, "example.com:443", "empty")
    assert speer.body(req) == (b"", None)
    assert b"".join(speer.pending) == b"\x16\x03client-hello"
    head = server.serialize_response(200)
    assert b"content-length" not in head and server.body_is_eof()
    cpeer.deliver(head + b"\x16\x03server-hello", step)
    resp = cpeer.next_head()
    assert (resp.is_upgrade, resp.keep_alive, resp.body_kind) == (True, False, "empty")
    cpeer.body(resp)
    assert b"".join(cpeer.pending) == b"\x16\x03server-hello"


@pytest.mark.parametrize("step", STEPS)
def test_upgrade(step):
    client, server, cpeer, speer = pair()
    headers = m.HeaderMap([("upgrade", "websocket"), ("connection", "upgrade")])
    speer.deliver(client.serialize_request("GET", "/chat", headers), step)
    req = speer.next_head()
    assert req.is_upgrade and req.body_kind == "empty"
    cpeer.deliver(server.serialize_response(101, headers) + b"\x81\x00", step)
    resp = cpeer.next_head()
    assert (resp.status, resp.is_upgrade, resp.keep_alive) == (101, True, False)
    cpeer.body(resp)
    assert b"".join(cpeer.pending) == b"\x81\x00"


@pytest.mark.parametrize("step", STEPS)
def test_pipelined_requests_from_leftover_bytes(step):
    client, server, cpeer, speer = pair()
    wire = client.serialize_request("POST", "/1", content_length=3) + send_body(client, [b"one"])
    wire += client.serialize_request("POST", "/2", chunked=True) + send_body(client, [b"two"])
    wire += client.serialize_request("GET", "/3")
    speer.deliver(wire, step)
    seen = []
    while (req := speer.next_head()) is not None:
        body, _ = speer.body(req)
        seen.append((req.target, body))
        server.serialize_response(200, content_length=0)
    assert seen == [("/1", b"one"), ("/2", b"two"), ("/3", b"")]
    assert server.buffered() == 0 and speer.pending == []


def outcome(receive, wire, step):
    """The head's meaning and the bytes after it, or the error."""
    codec = m.H1Codec()
    recv = getattr(codec, receive)
    delivered = 0
    try:
        for piece in pieces(wire, step):
            delivered += len(piece)
            head = recv(piece)
            if head is not None:
                fields = (head.body_kind, head.content_length, head.keep_alive, head.is_upgrade, head.headers.items())
                return ("head", fields, codec.take_body() + wire[delivered:])
    except ValueError as e:
        return ("error", str(e))
    return ("incomplete", codec.buffered())


SEEDS = (b"POST /a?b=c HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\nX-A: v\r\n\r\nabc",
                 b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n0\r\n\r\n")


@pytest.mark.parametrize("seed", range(300))
def test_mutated_heads_fail_or_parse_the_same_whole_and_split(seed):
    rng = random.Random(seed)
    base = SEEDS[seed % 2]
    receive = "receive_request_head" if seed % 2 == 0 else "receive_head"
    wire = bytearray(base)
    for _ in range(rng.randint(1, 4)):
        pos = rng.randrange(len(wire))
        action = rng.random()
        byte = rng.choice(b"\r\n\t :\x00\x7f\x80,;0aZ")
        if action < 0.4:
            wire[pos] = byte
        elif action < 0.7:
            wire.insert(pos, byte)
        else:
            del wire[pos]
    wire = bytes(wire)
    whole = outcome(receive, wire, None)
    assert outcome(receive, wire, 1) == whole
    assert outcome(receive, wire, 5) == whole
