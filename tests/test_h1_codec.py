"""H1Codec: head encoding, head parsing, the body encoder and the events."""

import re

import pytest

import vintrel._vintrel as m

DATE = re.compile(rb"date: [A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT\r\n\r\n$")


def hm(*pairs):
    return m.HeaderMap(list(pairs))


def request(*args, **kw):
    c = m.H1Codec()
    return c, c.serialize_request(*args, **kw)


def answering(method):
    """A server codec that received a request with this method."""
    c = m.H1Codec()
    target = "example.com:443" if method == "CONNECT" else "/"
    assert c.receive_request_head(f"{method} {target} HTTP/1.1\r\n\r\n".encode()) is not None
    return c


# ------------------------------------------------------------ request heads

@pytest.mark.parametrize("args,kw,head,eof", [
    (("GET", "/"), {}, b"GET / HTTP/1.1\r\n\r\n", True),
    (("GET", "/", None), {"chunked": True}, b"GET / HTTP/1.1\r\n\r\n", True),
    (("POST", "http://h.example:8080/a/b?q=1#frag"), {"chunked": True},
     b"POST http://h.example:8080/a/b?q=1 HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\n", False),
    (("POST", "http://h.example"), {"content_length": 0}, b"POST http://h.example/ HTTP/1.1\r\ncontent-length: 0\r\n\r\n", True),
    (("POST", "/"), {"content_length": 5}, b"POST / HTTP/1.1\r\ncontent-length: 5\r\n\r\n", False),
    (("POST", "/"), {"content_length": 5, "chunked": True}, b"POST / HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\n", False),
    (("PUT", "/", hm(("Transfer-Encoding", "gzip"))), {"content_length": 3},
     b"PUT / HTTP/1.1\r\ntransfer-encoding: gzip, chunked\r\n\r\n", False),
    (("PUT", "/", hm(("content-length", "7"))), {"content_length": 3},
     b"PUT / HTTP/1.1\r\ncontent-length: 7\r\n\r\n", False),
    (("POST", "/"), {"http10": True, "chunked": True}, b"POST / HTTP/1.0\r\n\r\n", True),
    (("POST", "/"), {"http10": True, "content_length": 2}, b"POST / HTTP/1.0\r\ncontent-length: 2\r\n\r\n", False),
    (("CONNECT", "example.com:443"), {}, b"CONNECT example.com:443 HTTP/1.1\r\n\r\n", True),
    (("OPTIONS", "*"), {}, b"OPTIONS * HTTP/1.1\r\n\r\n", True),
    (("M-SEARCH", "/", hm(("a", "1"), ("B", "2"), ("a", "3"))), {},
     b"M-SEARCH / HTTP/1.1\r\na: 1\r\na: 3\r\nb: 2\r\n\r\n", True),
])
def test_request_heads(args, kw, head, eof):
    c, got = request(*args, **kw)
    assert got == head
    assert c.body_is_eof() is eof


@pytest.mark.parametrize("args,kw,message", [
    (("GE T", "/"), {}, "invalid method: invalid HTTP method"),
    (("", "/"), {}, "invalid method: invalid HTTP method"),
    (("GET", "/a b"), {}, "invalid url: "),
    (("GET", ""), {}, "invalid url: "),
    (("POST", "/"), {"trailer_fields": ["ok", "bad name"]}, "invalid trailer field name: invalid header name"),
])
def test_request_argument_values(args, kw, message):
    with pytest.raises(ValueError) as e:
        request(*args, **kw)
    assert str(e.value).startswith(message)


@pytest.mark.parametrize("call", [
    lambda c: c.serialize_request(b"GET", "/"),
    lambda c: c.serialize_request("GET", "/", {"a": "b"}),
    lambda c: c.serialize_request("GET", "/", [("a", "b")]),
    lambda c: c.serialize_request("POST", "/", trailer_fields="x-t"),
    lambda c: c.serialize_request("POST", "/", trailer_fields=[b"x-t"]),
    lambda c: c.serialize_request("POST", "/", None, False),  # http10 is keyword-only
    lambda c: c.serialize_request("POST", "/", chunked=1),
    lambda c: c.serialize_request("POST", "/", content_length=1.0),
    lambda c: c.serialize_response("200"),
    lambda c: c.serialize_response(200, {}),
    lambda c: c.serialize_data(bytearray(b"x")),
    lambda c: c.serialize_trailers(None),
    lambda c: c.receive_head("HTTP/1.1 200 OK\r\n\r\n"),
    lambda c: c.receive_request_head(memoryview(b"x")),
])
def test_argument_types(call):
    with pytest.raises(TypeError):
        call(m.H1Codec())


@pytest.mark.parametrize("call", [
    lambda c: c.serialize_request("POST", "/", content_length=-1),
    lambda c: c.serialize_request("POST", "/", content_length=2**64),
    lambda c: c.serialize_response(-1),
    lambda c: c.serialize_response(65536),
    lambda c: c.serialize_response(200, content_length=2**64),
])
def test_argument_widths(call):
    with pytest.raises(OverflowError):
        call(m.H1Codec())


# ------------------------------------------------------------ response heads

def response(status, method=None, **kw):
    c = answering(method) if method else m.H1Codec()
    return c, c.serialize_response(status, **kw)


@pytest.mark.parametrize("status,method,kw,lines,eof", [
    (200, None, {}, [b"HTTP/1.1 200 OK", b"content-length: 0"], True),
    (200, None, {"http10": True}, [b"HTTP/1.0 200 OK", b"content-length: 0"], True),
    (204, None, {"content_length": 5}, [b"HTTP/1.1 204 No Content"], True),
    (304, None, {"chunked": True}, [b"HTTP/1.1 304 Not Modified"], True),
    (599, None, {"content_length": 2}, [b"HTTP/1.1 599 <none>", b"content-length: 2"], False),
    (101, None, {}, [b"HTTP/1.1 101 Switching Protocols"], True),
    (200, None, {"chunked": True}, [b"HTTP/1.1 200 OK", b"transfer-encoding: chunked"], False),
    (200, None, {"chunked": True, "http10": True}, [b"HTTP/1.0 200 OK"], False),
    (200, "HEAD", {"content_length": 10}, [b"HTTP/1.1 200 OK", b"content-length: 10"], True),
    (200, "HEAD", {"chunked": True}, [b"HTTP/1.1 200 OK"], True),
    (200, "CONNECT", {"content_length": 10}, [b"HTTP/1.1 200 OK"], True),
    (404, None, {"content_length": 3, "keep_alive": False}, [b"HTTP/1.1 404 Not Found", b"content-length: 3"], False),
])
def test_response_heads(status, method, kw, lines, eof):
    c, head = response(status, method, **kw)
    assert DATE.search(head)
    assert head[:DATE.search(head).start()] == b"".join(line + b"\r\n" for line in lines)
    assert c.body_is_eof() is eof


def test_caller_date_and_connection_headers_are_kept():
    _, head = response(200, headers=hm(("Date", "x"), ("Connection", "close"), ("connection", "te")))
    assert head == b"HTTP/1.1 200 OK\r\ndate: x\r\nconnection: close, te\r\ncontent-length: 0\r\n\r\n"


def test_keep_alive_does_not_change_the_bytes_and_dates_agree():
    a = response(200, content_length=1)[1]
    b = response(200, content_length=1, keep_alive=False)[1]
    assert a == b  # the same second is overwhelmingly likely; the date cache renders once


@pytest.mark.parametrize("status,method,headers,message", [
    (99, None, None, "invalid status code"),
    (1000, None, None, "invalid status code"),
    (103, None, None, "response has 1xx status code, not supported by server"),
    (100, None, None, "response has 1xx status code, not supported by server"),
    (200, "CONNECT", hm(("content-length", "0")), "user sent unexpected header"),
    (200, None, hm(("content-length", "1"), ("transfer-encoding", "chunked")), "user sent unexpected header"),
])
def test_response_failures(status, method, headers, message):
    c = answering(method) if method else m.H1Codec()
    with pytest.raises(ValueError) as e:
        c.serialize_response(status, headers, chunked=True)
    assert e.value.args == ("failed to encode response: " + message,)


def test_refused_informational_leaves_an_empty_body_in_flight():
    c, _ = request("POST", "/", chunked=True)
    assert not c.body_is_eof()
    with pytest.raises(ValueError):
        c.serialize_response(103)
    assert c.body_is_eof()


# ------------------------------------------------------------ body encoder

@pytest.mark.parametrize("size,line", [(5, b"5"), (26, b"1A"), (255, b"FF"), (4096, b"1000")])
def test_chunk_size_lines(size, line):
    c, _ = request("POST", "/", chunked=True)
    assert c.serialize_data(b"x" * size) == line + b"\r\n" + b"x" * size + b"\r\n"


def test_length_body_truncates_and_checks_the_end():
    c, _ = request("POST", "/", content_length=3)
    assert c.serialize_data(b"") == b""
    assert c.serialize_data(b"abcdef") == b"abc"
    assert c.serialize_data(b"g") == b""
    assert c.body_is_eof()
    assert c.serialize_end() == b""
    c, _ = request("POST", "/", content_length=5)
    c.serialize_data(b"ab")
    with pytest.raises(ValueError) as e:
        c.serialize_end()
    assert e.value.args == ("request body shorter than declared Content-Length",)
    assert c.serialize_end() == b""
    with pytest.raises(ValueError, match="^serialize_data with no request in flight$"):
        c.serialize_data(b"x")


def test_chunked_end_and_trailers():
    c, _ = request("POST", "/", chunked=True)
    assert c.serialize_end() == b"0\r\n\r\n"
    assert c.serialize_end() == b""
    # Declared by argument: undeclared and forbidden names are dropped, the last value wins.
    c, _ = request("POST", "/", chunked=True, trailer_fields=["X-Sum", "content-type"])
    assert c.serialize_trailers(hm(("x-sum", "1"), ("x-other", "2"), ("content-type", "t"), ("x-sum", "3"))) == \
        b"0\r\nx-sum: 3\r\n\r\n"
    # Declared by the caller's trailer header.
    c, _ = request("POST", "/", hm(("trailer", "x-a, bad name ,X-B")), chunked=True)
    assert c.serialize_trailers(hm(("x-b", "2"), ("x-a", "1"))) == b"0\r\nx-b: 2\r\nx-a: 1\r\n\r\n"
    # Nothing declared, or only forbidden names kept.
    c, _ = request("POST", "/", chunked=True)
    assert c.serialize_trailers(hm(("x-a", "1"))) == b"0\r\n\r\n"
    c, _ = request("POST", "/", chunked=True, trailer_fields=["content-type"])
    assert c.serialize_trailers(hm(("content-type", "1"))) == b"0\r\n\r\n"
    # A response's trailer header declares its names too.
    s, _ = response(200, headers=hm(("trailer", "x-r")), chunked=True)
    assert s.serialize_trailers(hm(("x-r", "9"))) == b"0\r\nx-r: 9\r\n\r\n"
    # Not chunked: trailers are dropped.
    c, _ = request("POST", "/", content_length=1)
    c.serialize_data(b"x")
    assert c.serialize_trailers(hm(("x-a", "1"))) == b""


def test_body_is_eof_and_new_head_replaces_the_body():
    c = m.H1Codec()
    assert c.body_is_eof()
    c.serialize_request("POST", "/", chunked=True)
    assert not c.body_is_eof()
    c.serialize_request("GET", "/")
    assert c.body_is_eof()
    assert c.serialize_data(b"x") == b""


def test_close_delimited_passes_data_through():
    c, _ = response(200, http10=True, chunked=True)
    assert c.serialize_data(b"raw") == b"raw"
    assert c.serialize_end() == b""


# ------------------------------------------------------------ head parsing

RESP = "malformed HTTP/1 response: "
REQ = "malformed HTTP/1 request: "


@pytest.mark.parametrize("wire,status,kind,length,keep,upgrade,http10", [
    (b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", 200, "length", 5, True, False, False),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 5, 5\r\ncontent-length: 5\r\n\r\n", 200, "length", 5, True, False, False),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 200, "empty", 0, True, False, False),
    (b"HTTP/1.1 204 No Content\r\ncontent-length: 10\r\n\r\n", 204, "empty", 0, True, False, False),
    (b"HTTP/1.1 304 Not Modified\r\ntransfer-encoding: chunked\r\n\r\n", 304, "empty", 0, True, False, False),
    (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", 200, "close", None, True, False, False),
    (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, CHUNKED\r\ncontent-length: 4\r\n\r\n", 200, "chunked", None, True,
     False, False),
    (b"HTTP/1.1 200 OK\r\n\r\n", 200, "close", None, True, False, False),
    (b"HTTP/1.1 200 OK\r\nConnection: keep-alive, Close\r\n\r\n", 200, "close", None, False, False, False),
    (b"HTTP/1.0 200 OK\r\n\r\n", 200, "close", None, False, False, True),
    (b"HTTP/1.0 200 OK\r\nconnection: Keep-Alive\r\ncontent-length: 1\r\n\r\n", 200, "length", 1, True, False, True),
    (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n", 101, "empty", 0, False, True, False),
    (b"\r\n\nHTTP/1.1 404\nX: 1 \t\n\n", 404, "close", None, True, False, False),
    (b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 P\r\nA: b\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n", 200,
     "empty", 0, True, False, False),
])
def test_response_heads_parse(wire, status, kind, length, keep, upgrade, http10):
    c = m.H1Codec()
    head = c.receive_head(wire)
    assert (head.status, head.body_kind, head.content_length, head.keep_alive, head.is_upgrade, head.http10) == \
        (status, kind, length, keep, upgrade, http10)
    assert c.buffered() == 0


@pytest.mark.parametrize("method,wire,kind,upgrade,keep", [
    ("HEAD", b"HTTP/1.1 200 OK\r\ncontent-length: 100\r\n\r\n", "empty", False, True),
    ("CONNECT", b"HTTP/1.1 200 OK\r\n\r\n", "empty", True, False),
    ("CONNECT", b"HTTP/1.1 407 No\r\ncontent-length: 2\r\n\r\n", "length", False, True),
])
def test_response_framing_follows_the_request_method(method, wire, kind, upgrade, keep):
    c, _ = request(method, "example.com:443" if method == "CONNECT" else "/")
    head = c.receive_head(wire)
    assert (head.body_kind, head.is_upgrade, head.keep_alive) == (kind, upgrade, keep)


def test_head_and_body_bytes_split():
    c = m.H1Codec()
    assert c.buffered() == 0 and c.take_body() == b""
    wire = b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n"
    for b in wire[:-1]:
        assert c.receive_head(bytes([b])) is None
    head = c.receive_head(wire[-1:] + b"hel")
    assert repr(head) == 'H1ResponseHead(status=200, body_kind="length", keep_alive=true)'
    assert head.headers.items() == [("content-length", b"5")]
    assert c.buffered() == 3 and c.take_body() == b"hel" and c.buffered() == 0
    # A lone informational head is consumed.
    assert c.receive_head(b"HTTP/1.1 100 Continue\r\n\r\n") is None and c.buffered() == 0


@pytest.mark.parametrize("wire,text,kept", [
    (b"HTTP/1.1 20 OK\r\n\r\n", "invalid HTTP status-code parsed", True),
    (b"HTTP/1.1 099 OK\r\n\r\n", "invalid HTTP status-code parsed", True),
    (b"HTTP/2.0 200 OK\r\n\r\n", "invalid HTTP version parsed", True),
    (b"HTTP/1.1 200 OK\r\nA: b\rc\r\n\r\n", "invalid HTTP header parsed", True),
    (b"HTTP/1.1 200 OK\r\nA : b\r\n\r\n", "invalid HTTP header parsed", True),
    (b"HTTP/1.1 200 OK\r\nA: b\r\n\tc\r\n\r\n", "invalid HTTP header parsed", True),
    (b"HTTP/1.1 200 OK\r\nA: \x00\r\n\r\n", "invalid HTTP header parsed", True),
    (b"HTTP/1.1 200 OK\r\nA: \x7f\r\n\r\n", "invalid HTTP header parsed", True),
    (b"HTTP/1.1 200 OK\r\n" + b"a: b\r\n" * 101 + b"\r\n", "message head is too large", True),
    (b"HTTP/1.1 200 OK\r\n" + b"a" * 65536 + b": b\r\n\r\n", "message head is too large", False),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 5, 6\r\n\r\n", "invalid content-length parsed", False),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\ncontent-length: 6\r\n\r\n", "invalid content-length parsed", False),
    (b"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", "invalid content-length parsed", False),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551614\r\n\r\n", "message head is too large", False),
    (b"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "unexpected transfer-encoding parsed", False),
])
def test_malformed_response_heads(wire, text, kept):
    c = m.H1Codec()
    with pytest.raises(ValueError) as e:
        c.receive_head(wire + b"rest")
    assert e.value.args == (RESP + text,)
    # Syntax failures keep the head; failures of the fields' meaning consumed it.
    assert c.buffered() == (len(wire) + 4 if kept else 4)


@pytest.mark.parametrize("wire,method,target,kind,length,keep,expect,upgrade,http10", [
    (b"GET /x HTTP/1.1\r\n\r\n", "GET", "/x", "empty", 0, True, False, False, False),
    (b"POST /u?q=1 HTTP/1.1\r\nContent-Length: 3\r\ncontent-length: 3\r\nExpect: 100-Continue\r\n\r\n",
     "POST", "/u?q=1", "length", 3, True, True, False, False),
    (b"POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\nContent-Length: 9\r\n\r\n",
     "POST", "/", "chunked", None, False, False, False, False),
    (b"CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n",
     "CONNECT", "example.com:443", "empty", 0, True, False, True, False),
    (b"GET /chat HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n",
     "GET", "/chat", "empty", 0, True, False, True, False),
    (b"GET / HTTP/1.0\r\nUpgrade: x\r\n\r\n", "GET", "/", "empty", 0, False, False, False, True),
    (b"OPTIONS * HTTP/1.1\r\nConnection: close\r\n\r\n", "OPTIONS", "*", "empty", 0, False, False, False, False),
    (b"PURGE http://a/b HTTP/1.1\r\n\r\n", "PURGE", "http://a/b", "empty", 0, True, False, False, False),
])
def test_request_heads_parse(wire, method, target, kind, length, keep, expect, upgrade, http10):
    head = m.H1Codec().receive_request_head(wire)
    assert (head.method, head.target, head.body_kind, head.content_length, head.keep_alive, head.expect_continue,
            head.is_upgrade, head.http10) == (method, target, kind, length, keep, expect, upgrade, http10)


def test_request_head_events():
    head = m.H1Codec().receive_request_head(b"GET /x HTTP/1.1\r\nA: 1\r\ncontent-length: 0\r\nContent-Length: 0\r\n\r\n")
    assert repr(head) == 'H1RequestHead(method="GET", target="/x", body_kind="empty")'
    assert head.headers.items() == [("a", b"1"), ("content-length", b"0")]  # the equal repeat is not stored
    assert head.headers is head.headers
    odd = m.H1Codec().receive_request_head(b'GET /"\\\xc3\xa9 HTTP/1.1\r\n\r\n')
    assert repr(odd) == 'H1RequestHead(method="GET", target="/\\"\\\\\u00e9", body_kind="empty")'
    for cls in (m.H1RequestHead, m.H1ResponseHead):
        with pytest.raises(TypeError):
            cls()
    with pytest.raises(AttributeError):
        head.method = "POST"


@pytest.mark.parametrize("wire,text,kept", [
    (b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", "invalid HTTP version parsed", True),
    (b"G(T / HTTP/1.1\r\n\r\n", "invalid HTTP method parsed", True),
    (b"GET /a\x01 HTTP/1.1\r\n\r\n", "invalid URI", True),
    (b"GET  / HTTP/1.1\r\n\r\n", "invalid URI", True),
    (b"GET /" + b"a" * 65534 + b" HTTP/1.1\r\n\r\n", "URI too long", True),
    (b"GET /" + b"a" * 65533 + b" HTTP/1.1\r\n\r\n", None, False),
    (b"GET / HTTP/1.1\r\n" + b"a: b\r\n" * 100 + b"\r\n", None, False),
    (b"GET / HTTP/1.1\r\n" + b"a: b\r\n" * 101 + b"\r\n", "message head is too large", True),
    (b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", "invalid transfer-encoding parsed", False),
    (b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n\r\n",
     "invalid transfer-encoding parsed", False),
    (b"POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", "unexpected transfer-encoding parsed", False),
    (b"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", "invalid content-length parsed", False),
    (b"POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", "invalid content-length parsed", False),
    (b"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", "message head is too large", False),
    (b"GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n", "invalid HTTP header parsed", True),
    (b"GET / HTTP/1.1\r\nA: b\rc\r\n\r\n", "invalid HTTP header parsed", True),
])
def test_request_head_limits_and_failures(wire, text, kept):
    c = m.H1Codec()
    if text is None:
        assert c.receive_request_head(wire) is not None
        return
    with pytest.raises(ValueError) as e:
        c.receive_request_head(wire)
    assert e.value.args == (REQ + text,)
    assert c.buffered() == (len(wire) if kept else 0)


def test_a_head_that_never_ends_only_grows_the_buffer():
    c = m.H1Codec()
    c.receive_request_head(b"GET / HTTP/1.1\r\n")
    for _ in range(2000):
        assert c.receive_request_head(b"x-long: " + b"v" * 500 + b"\r\n") is None
    assert c.buffered() == 16 + 2000 * 510
