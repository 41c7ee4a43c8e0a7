"""HTTP/1 input a hostile peer shapes to smuggle requests or exhaust memory."""

import pytest

import vintrel._vintrel as m

REQ = "malformed HTTP/1 request: "
RESP = "malformed HTTP/1 response: "
BODY = "malformed HTTP/1 body: "


def request(*lines):
    return b"POST / HTTP/1.1\r\nhost: a\r\n" + b"".join(line + b"\r\n" for line in lines) + b"\r\n"


def response(*lines):
    return b"HTTP/1.1 200 OK\r\n" + b"".join(line + b"\r\n" for line in lines) + b"\r\n"


# Framing a front end and a back end could read differently.
@pytest.mark.parametrize(
    "lines, error",
    [
        ((b"content-length: 5, 6",), "invalid content-length parsed"),
        ((b"content-length: 5", b"content-length: 6"), "invalid content-length parsed"),
        ((b"content-length: +5",), "invalid content-length parsed"),
        ((b"content-length: -5",), "invalid content-length parsed"),
        ((b"content-length: 5 5",), "invalid content-length parsed"),
        ((b"content-length: 0x5",), "invalid content-length parsed"),
        ((b"content-length: ",), "invalid content-length parsed"),
        ((b"content-length: 5,",), "invalid content-length parsed"),
        ((b"content-length: 18446744073709551614",), "message head is too large"),
        ((b"content-length: 99999999999999999999999",), "message head is too large"),
        ((b"transfer-encoding: chunked, gzip",), "invalid transfer-encoding parsed"),
        ((b"transfer-encoding: chunked", b"transfer-encoding: identity"), "invalid transfer-encoding parsed"),
        ((b"transfer-encoding: xchunked",), "invalid transfer-encoding parsed"),
        ((b"x: 1", b" folded"), "invalid HTTP header parsed"),
        ((b"x: 1", b"\tfolded"), "invalid HTTP header parsed"),
        ((b"content-length : 5",), "invalid HTTP header parsed"),
        ((b"x: a\rb",), "invalid HTTP header parsed"),
        ((b"x: a\x00b",), "invalid HTTP header parsed"),
        ((b"x: a\x7fb",), "invalid HTTP header parsed"),
        ((b"x: a\x0bb",), "invalid HTTP header parsed"),
        ((b"x\x00: a",), "invalid HTTP header parsed"),
    ],
)
def test_request_smuggling_shapes_are_refused(lines, error):
    c = m.H1Codec()
    with pytest.raises(ValueError) as e:
        c.receive_request_head(request(*lines))
    assert str(e.value) == REQ + error


@pytest.mark.parametrize(
    "lines, kind, length, keep_alive",
    [
        # Transfer-Encoding wins over Content-Length, whichever comes first,
        # and the connection ends after the answer.
        ((b"content-length: 5", b"transfer-encoding: chunked"), "chunked", None, False),
        ((b"transfer-encoding: chunked", b"content-length: 5"), "chunked", None, False),
        ((b"transfer-encoding: chunked", b"content-length: x"), "chunked", None, False),
        ((b"content-length: 5, 5", b"content-length: 5"), "length", 5, True),
        ((b"content-length: 007",), "length", 7, True),
        ((b"transfer-encoding: gzip, CHUNKED",), "chunked", None, True),
    ],
)
def test_request_framing_has_one_reading(lines, kind, length, keep_alive):
    head = m.H1Codec().receive_request_head(request(*lines))
    assert (head.body_kind, head.content_length, head.keep_alive) == (kind, length, keep_alive)


@pytest.mark.parametrize(
    "lines, error",
    [
        ((b"content-length: 5, 6",), "invalid content-length parsed"),
        ((b"content-length: 5", b"content-length: 6"), "invalid content-length parsed"),
        ((b"content-length: -1",), "invalid content-length parsed"),
        ((b"x: 1", b" folded"), "invalid HTTP header parsed"),
        ((b"x: a\x00",), "invalid HTTP header parsed"),
    ],
)
def test_response_smuggling_shapes_are_refused(lines, error):
    with pytest.raises(ValueError) as e:
        m.H1Codec().receive_head(response(*lines))
    assert str(e.value) == RESP + error


def test_response_with_both_framings_reads_as_chunked():
    head = m.H1Codec().receive_head(response(b"content-length: 3", b"transfer-encoding: chunked"))
    assert head.body_kind == "chunked"


@pytest.mark.parametrize("line_end", [b"\r\n", b"\n"])
def test_header_count_is_capped(line_end):
    lines = b"".join(b"x%d: v" % i + line_end for i in range(101))
    with pytest.raises(ValueError, match="message head is too large"):
        m.H1Codec().receive_request_head(b"GET / HTTP/1.1" + line_end + lines + line_end)


@pytest.mark.parametrize(
    "data, error",
    [
        (b"GET / HTTP/1.1\rhost: a\r\n\r\n", "invalid HTTP version parsed"),
        (b"GET / HTTP/1.1\r\nhost: a\r\r\n\r\n", "invalid HTTP header parsed"),
    ],
)
def test_bare_cr_line_ends_are_refused(data, error):
    with pytest.raises(ValueError) as e:
        m.H1Codec().receive_request_head(data)
    assert str(e.value) == REQ + error


# ------------------------------------------------------------ chunked bodies


def chunked_error(data):
    d = m.H1BodyDecoder("chunked")
    d.feed(data)
    with pytest.raises(ValueError) as e:
        while d.decode() is not None or not d.is_complete:
            pass
    return str(e.value)


@pytest.mark.parametrize(
    "data, error",
    [
        (b"5\nhello\r\n0\r\n\r\n", "Invalid chunk size line: Invalid Size"),
        (b"5;a\nhello\r\n", "invalid chunk extension contains newline"),
        (b"5\r\rhello\r\n", "Invalid chunk size LF"),
        (b"5\r\nhelloX\r\n", "Invalid chunk body CR"),
        (b"5\r\nhello\r\r", "Invalid chunk body LF"),
        (b"5\r\nhello\n0\r\n\r\n", "Invalid chunk body CR"),
        (b"-5\r\nhello\r\n", "Invalid chunk size line: missing size digit"),
        (b"+5\r\nhello\r\n", "Invalid chunk size line: missing size digit"),
        (b"0x5\r\nhello\r\n", "Invalid chunk size line: Invalid Size"),
        (b"1" + b"0" * 16 + b"\r\n", "invalid chunk size: overflow"),
        (b"f" * 17 + b"\r\n", "invalid chunk size: overflow"),
        (b"0\r\nx: 1\r\r", "Invalid trailer end LF"),
        (b"0\r\n\r\r", "Invalid chunk end LF"),
    ],
)
def test_chunk_line_shapes_are_refused(data, error):
    assert chunked_error(data) == BODY + error


def test_huge_chunk_size_is_bounded_by_input():
    d = m.H1BodyDecoder("chunked")
    d.feed(b"fffffffffffffff\r\n" + b"x" * 1000)
    assert d.decode() == b"x" * 1000
    assert d.decode() is None and not d.is_complete
    d.mark_eof()
    with pytest.raises(ValueError, match="end of file before message length reached"):
        d.decode()


@pytest.mark.parametrize("piece", [1, 7, 4096])
def test_extension_flood_is_capped_however_it_arrives(piece):
    # 16384 extension bytes spread over many chunks: the cap counts the body.
    data = b"".join(b"1;" + b"e" * 1100 + b"\r\nx\r\n" for _ in range(16)) + b"0\r\n\r\n"
    d = m.H1BodyDecoder("chunked")
    got = b""
    with pytest.raises(ValueError) as e:
        for i in range(0, len(data), piece):
            d.feed(data[i : i + piece])
            while (out := d.decode()) is not None:
                got += out
    assert str(e.value) == BODY + "chunk extensions over limit"
    assert got == b"x" * 14


@pytest.mark.parametrize(
    "trailers, error",
    [
        (b"x: " + b"v" * 16400 + b"\r\n", "chunk trailers bytes over limit"),
        (b"".join(b"x%d: v\r\n" % i for i in range(100)), "chunk trailers count overflow"),
        (b"x: a\x00b\r\n", None),
        (b" folded\r\n", None),
    ],
)
def test_trailer_floods_and_bad_fields_are_refused(trailers, error):
    msg = chunked_error(b"0\r\n" + trailers + b"\r\n")
    assert msg.startswith(BODY)
    if error is not None:
        assert msg == BODY + error


def test_close_delimited_body_hands_out_bounded_pieces():
    d = m.H1BodyDecoder("close")
    d.feed(b"x" * 100_000)
    sizes = []
    while (out := d.decode()) is not None:
        sizes.append(len(out))
    assert max(sizes) == 8192 and sum(sizes) == 100_000
