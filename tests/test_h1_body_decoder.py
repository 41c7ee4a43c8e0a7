"""H1BodyDecoder: framings, splits, limits, error texts and what stays buffered."""

import random

import pytest

import vintrel._vintrel as m

PREFIX = "malformed HTTP/1 body: "


def drain(d):
    out = []
    while (chunk := d.decode()) is not None:
        assert chunk
        out.append(chunk)
    return out


def decode_split(kind, length, data, sizes, eof=False):
    """Feeds data in pieces of the given sizes, draining after each."""
    d = m.H1BodyDecoder(kind, length)
    out, pos = [], 0
    for n in sizes:
        d.feed(data[pos:pos + n])
        pos += n
        out += drain(d)
    d.feed(data[pos:])
    out += drain(d)
    if eof:
        d.mark_eof()
        out += drain(d)
    return d, b"".join(out)


CHUNKED = b"4\r\nWiki\r\n5;a=b\r\npedia\r\nE \t;x\r\n in\r\n\r\nchunks.\r\n0\r\nExpires: x\r\nX-A: 1\r\nExpires: y\r\n\r\nNEXT"


@pytest.mark.parametrize("kind,length,data,body,rest,eof", [
    ("length", 5, b"hello world", b"hello", b" world", False),
    ("length", 0, b"abc", b"", b"abc", False),
    ("empty", 9, b"abc", b"", b"abc", False),
    ("other", 9, b"abc", b"", b"abc", False),
    ("chunked", 0, CHUNKED, b"Wikipedia in\r\n\r\nchunks.", b"NEXT", False),
    ("chunked", 0, b"5\r\nhello\r\n0\r\n\r\n", b"hello", b"", False),
    ("chunked", 0, b"0000000000000000000005\r\nhello\r\n0\r\n\r\n", b"hello", b"", False),
    ("close", 0, b"x" * 20000, b"x" * 20000, b"", True),
])
def test_whole_byte_by_byte_and_random_splits_agree(kind, length, data, body, rest, eof):
    rng = random.Random(7)
    splits = [[], [1] * len(data)] + [[rng.randint(1, 40) for _ in range(len(data) // 5)] for _ in range(5)]
    for sizes in splits:
        d, got = decode_split(kind, length, data, sizes, eof)
        assert got == body
        assert d.is_complete
        assert d.take_buffered() == rest
        assert d.take_buffered() == b""


def test_completion_is_noticed_by_the_call_after_the_data():
    d = m.H1BodyDecoder("length", 5)
    d.feed(b"hello world")
    assert d.decode() == b"hello" and not d.is_complete
    assert d.decode() is None and d.is_complete
    d.feed(b"!")  # feeding goes on after completion
    assert d.decode() is None
    assert d.take_buffered() == b" world!"


@pytest.mark.parametrize("kind", ["length", "empty", "nonsense", ""])
def test_bodyless_decoders_are_complete_at_once(kind):
    d = m.H1BodyDecoder(kind)
    assert d.is_complete and d.decode() is None and d.take_trailers() is None


def test_trailers_last_value_wins_and_are_taken_once():
    d, body = decode_split("chunked", 0, CHUNKED, [])
    t = d.take_trailers()
    assert isinstance(t, m.HeaderMap)
    assert t.items() == [("expires", b"y"), ("x-a", b"1")]
    assert d.take_trailers() is None


def test_close_delimited_reads_8192_at_most_and_ends_at_eof():
    d = m.H1BodyDecoder("close")
    d.feed(b"z" * 20000)
    assert [len(c) for c in drain(d)] == [8192, 8192, 3616]
    assert not d.is_complete
    d.mark_eof()
    assert d.decode() is None and d.is_complete


@pytest.mark.parametrize("kind,length,data,text", [
    ("length", 5, b"abc", "end of file before message length reached"),
    ("chunked", 0, b"5\r\nab", "end of file before message length reached"),
    ("chunked", 0, b"5", "unexpected EOF during chunk size line"),
    ("chunked", 0, b"5\r\nhello\r\n0\r\n", "unexpected EOF during chunk size line"),
    ("chunked", 0, b"\r\n", "Invalid chunk size line: missing size digit"),
    ("chunked", 0, b"5x\r\n", "Invalid chunk size line: Invalid Size"),
    ("chunked", 0, b"5 6\r\n", "Invalid chunk size linear white space"),
    ("chunked", 0, b"f" * 17 + b"\r\n", "invalid chunk size: overflow"),
    ("chunked", 0, b"5;a\nb\r\n", "invalid chunk extension contains newline"),
    ("chunked", 0, b"5\n", "Invalid chunk size line: Invalid Size"),  # bare LF
    ("chunked", 0, b"5\rx", "Invalid chunk size LF"),
    ("chunked", 0, b"1\r\nax", "Invalid chunk body CR"),
    ("chunked", 0, b"1\r\na\rx", "Invalid chunk body LF"),
    ("chunked", 0, b"1\r\na\n", "Invalid chunk body CR"),
    ("chunked", 0, b"0\r\nA: b\rx", "Invalid trailer end LF"),
    ("chunked", 0, b"0\r\n\rx", "Invalid chunk end LF"),
    ("chunked", 0, b"0\r\nbad name: v\r\n\r\n", "invalid header name"),
    ("chunked", 0, b"0\r\nA: \x00\r\n\r\n", "invalid header value"),
    ("chunked", 0, b"0\r\nA: \x7f\r\n\r\n", "invalid header value"),
    ("chunked", 0, b"0\r\nA: b\r\n folded\r\n\r\n", "invalid header name"),
    ("chunked", 0, b"0\r\nA\r\n\r\n", "invalid token"),
])
def test_malformed_bodies(kind, length, data, text):
    d = m.H1BodyDecoder(kind, length)
    d.feed(data)
    d.mark_eof()
    with pytest.raises(ValueError) as e:
        drain(d)
    assert e.value.args == (PREFIX + text,)
    with pytest.raises(ValueError) as again:  # the failure sticks
        d.decode()
    assert again.value.args == e.value.args


@pytest.mark.parametrize("lines,ok", [(99, True), (100, False)])
def test_trailer_line_limit(lines, ok):
    d = m.H1BodyDecoder("chunked")
    d.feed(b"0\r\n" + b"".join(b"t%d: v\r\n" % i for i in range(lines)) + b"\r\n")
    if ok:
        assert d.decode() is None and len(d.take_trailers()) == lines
    else:
        with pytest.raises(ValueError, match="chunk trailers count overflow"):
            d.decode()


@pytest.mark.parametrize("size,ok", [(16383, True), (16384, False)])
def test_trailer_byte_limit(size, ok):
    # "0\r\n", then "x: " + value + "\r\n" and the final "\r\n" count.
    value = b"v" * (size - len(b"x: \r\n\r\n"))
    d = m.H1BodyDecoder("chunked")
    d.feed(b"0\r\nx: " + value + b"\r\n\r\n")
    if ok:
        assert d.decode() is None and d.take_trailers()["x"] == value
    else:
        with pytest.raises(ValueError, match="chunk trailers bytes over limit"):
            d.decode()


@pytest.mark.parametrize("total,ok", [(16383, True), (16384, False)])
def test_extension_bytes_count_over_the_whole_body(total, ok):
    first = total // 2
    data = b"1;" + b"e" * first + b"\r\na\r\n1;" + b"e" * (total - first) + b"\r\nb\r\n0\r\n\r\n"
    d = m.H1BodyDecoder("chunked")
    d.feed(data)
    if ok:
        assert drain(d) == [b"a", b"b"] and d.is_complete
    else:
        with pytest.raises(ValueError, match="chunk extensions over limit"):
            drain(d)


def test_arguments():
    with pytest.raises(TypeError, match="kind"):
        m.H1BodyDecoder(b"length")
    with pytest.raises(OverflowError):
        m.H1BodyDecoder("length", -1)
    with pytest.raises(OverflowError):
        m.H1BodyDecoder("length", 2**64)
    d = m.H1BodyDecoder(kind="length", length=2**64 - 1)
    for bad in (bytearray(b"x"), memoryview(b"x"), "x"):
        with pytest.raises(TypeError, match="data"):
            d.feed(bad)
    assert not d.is_complete
    with pytest.raises(AttributeError):
        d.is_complete = True


def test_results_survive_later_feeds():
    # A result is a copy: feeding more (which may move the buffer) leaves it intact.
    d = m.H1BodyDecoder("close")
    d.feed(b"a" * 100)
    first = d.decode()
    d.feed(b"b" * 100000)
    assert first == b"a" * 100
    assert b"".join(drain(d)) == b"b" * 100000
