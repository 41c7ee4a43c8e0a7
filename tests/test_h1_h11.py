"""Differential tests against h11 where the two rule sets agree: heads and
bodies h11 writes mean the same to us, and what we write h11 accepts with
the same meaning."""

import random
import string

import pytest

import vintrel._vintrel as m

h11 = pytest.importorskip("h11")

TCHAR = string.ascii_letters + string.digits + "!#$%&'*+-.^_|~`"
VCHAR = bytes(range(0x21, 0x7F)) + bytes(range(0x80, 0x100))
METHODS = ["GET", "POST", "PUT", "DELETE", "PATCH", "OPTIONS", "M-SEARCH"]
FRAMING = {"content-length", "transfer-encoding", "connection", "trailer", "expect", "upgrade", "te", "date", "host"}


def random_value(rng):
    if rng.random() < 0.1:
        return b""
    words = [bytes(rng.choice(VCHAR) for _ in range(rng.randint(1, 8))) for _ in range(rng.randint(1, 3))]
    return (b" " if rng.random() < 0.5 else b"\t").join(words)


def random_fields(rng):
    fields = []
    for _ in range(rng.randint(0, 12)):
        name = "".join(rng.choice(TCHAR) for _ in range(rng.randint(1, 12)))
        if name.lower() not in FRAMING:
            fields.append((name, random_value(rng)))
    return fields


def grouped(pairs):
    """name -> values in order: how a HeaderMap keeps repeated names."""
    out = {}
    for name, value in pairs:
        out.setdefault(name.decode().lower() if isinstance(name, bytes) else name.lower(), []).append(value)
    return out


def ours(headers):
    return {name: headers.get_all(name) for name in headers.keys()}


def h11_body(conn):
    data = b""
    while True:
        event = conn.next_event()
        if isinstance(event, h11.Data):
            data += bytes(event.data)
        elif isinstance(event, h11.EndOfMessage):
            return data
        else:
            raise AssertionError(event)


def our_body(codec, head):
    d = m.H1BodyDecoder(head.body_kind, head.content_length or 0)
    d.feed(codec.take_body())
    out = b""
    while (chunk := d.decode()) is not None:
        out += chunk
    assert d.is_complete
    return out


CASES = range(120)


@pytest.mark.parametrize("seed", CASES)
def test_requests_h11_writes_parse_the_same(seed):
    rng = random.Random(seed)
    fields = [("Host", b"example.com")] + random_fields(rng)
    method = rng.choice(METHODS)
    target = "/" + "".join(rng.choice(string.ascii_letters + "/?=&%") for _ in range(rng.randint(0, 20)))
    body = bytes(rng.randrange(256) for _ in range(rng.randint(0, 50)))
    framing = rng.choice(["length", "chunked"])
    if framing == "length":
        fields.append(("Content-Length", str(len(body)).encode()))
    else:
        fields.append(("Transfer-Encoding", b"chunked"))
    client = h11.Connection(h11.CLIENT)
    wire = client.send(h11.Request(method=method, target=target, headers=fields))
    wire += client.send(h11.Data(data=body)) + client.send(h11.EndOfMessage())

    codec = m.H1Codec()
    head = codec.receive_request_head(wire)
    assert (head.method, head.target, head.http10, head.keep_alive) == (method, target, False, True)
    assert ours(head.headers) == grouped(fields)
    expected_kind = "chunked" if framing == "chunked" else ("length" if body else "empty")
    assert head.body_kind == expected_kind
    assert our_body(codec, head) == body


@pytest.mark.parametrize("seed", CASES)
def test_responses_h11_writes_parse_the_same(seed):
    rng = random.Random(seed)
    server = h11.Connection(h11.SERVER)
    server.receive_data(b"GET / HTTP/1.1\r\nhost: a\r\n\r\n")
    server.next_event()
    server.next_event()  # EndOfMessage
    fields = random_fields(rng)
    body = bytes(rng.randrange(256) for _ in range(rng.randint(0, 50)))
    if rng.random() < 0.5:
        fields.append(("Content-Length", str(len(body)).encode()))
    status = rng.choice([200, 201, 202, 203, 206, 299, 400, 404, 500, 599])
    wire = server.send(h11.Response(status_code=status, headers=fields))
    wire += server.send(h11.Data(data=body)) + server.send(h11.EndOfMessage())

    codec = m.H1Codec()
    codec.serialize_request("GET", "/")
    head = codec.receive_head(wire)
    assert head.status == status
    parsed = h11.Connection(h11.CLIENT)
    parsed.send(h11.Request(method="GET", target="/", headers=[("host", "a")]))
    parsed.receive_data(wire)
    event = parsed.next_event()
    assert ours(head.headers) == grouped(event.headers)
    assert our_body(codec, head) == body == h11_body(parsed)


@pytest.mark.parametrize("seed", CASES)
def test_requests_we_write_h11_accepts(seed):
    rng = random.Random(seed)
    fields = [("host", b"example.com")] + random_fields(rng)
    method = rng.choice(["POST", "PUT", "PATCH"])
    body = bytes(rng.randrange(256) for _ in range(rng.randint(1, 50)))
    chunked = rng.random() < 0.5
    codec = m.H1Codec()
    wire = codec.serialize_request(method, "/p?q=1", m.HeaderMap(fields), content_length=None if chunked else len(body),
                                   chunked=chunked)
    half = len(body) // 2
    wire += codec.serialize_data(body[:half]) + codec.serialize_data(body[half:]) + codec.serialize_end()

    server = h11.Connection(h11.SERVER)
    server.receive_data(wire)
    event = server.next_event()
    assert isinstance(event, h11.Request)
    assert (event.method.decode(), event.target.decode()) == (method, "/p?q=1")
    framing = {b"transfer-encoding"} if chunked else {b"content-length"}
    assert grouped(f for f in event.headers if f[0] not in framing) == grouped(fields)
    assert h11_body(server) == body


@pytest.mark.parametrize("seed", CASES)
def test_responses_we_write_h11_accepts(seed):
    rng = random.Random(seed)
    fields = random_fields(rng)
    body = bytes(rng.randrange(256) for _ in range(rng.randint(0, 50)))
    chunked = rng.random() < 0.5
    status = rng.choice([200, 201, 404, 500, 599])
    codec = m.H1Codec()
    codec.receive_request_head(b"GET / HTTP/1.1\r\nhost: a\r\n\r\n")
    wire = codec.serialize_response(status, m.HeaderMap(fields), content_length=None if chunked else len(body),
                                    chunked=chunked)
    wire += codec.serialize_data(body) + codec.serialize_end()

    client = h11.Connection(h11.CLIENT)
    client.send(h11.Request(method="GET", target="/", headers=[("host", "a")]))
    client.receive_data(wire)
    event = client.next_event()
    assert isinstance(event, h11.Response) and event.status_code == status
    seen = grouped(f for f in event.headers if f[0] not in (b"date", b"content-length", b"transfer-encoding"))
    assert seen == grouped(fields)
    assert h11_body(client) == body
