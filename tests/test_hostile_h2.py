"""HTTP/2 floods: the codec's work follows the frames and its memory its limits."""

import struct
import tracemalloc

import pytest

import vintrel._vintrel as m
from wire import frame

DATA, HEADERS, PRIORITY, RST, SETTINGS, PING, CONT = 0, 1, 2, 3, 4, 6, 9
END_STREAM, END_HEADERS = 0x1, 0x4

# ":method: GET", ":path: /", ":scheme: https" from the static table.
REQUEST_BLOCK = b"\x82\x84\x87"


def raises(codec, data):
    with pytest.raises(m.H2ProtocolError) as e:
        codec.receive(data)
    return e.value.args


def literal(name, value):
    # Literal without indexing, new name; lengths below 127.
    return b"\x00" + bytes([len(name)]) + name + bytes([len(value)]) + value


def test_continuation_stream_without_end_is_cut_at_the_cap():
    c = m.H2Codec("server")
    assert c.receive(frame(HEADERS, 0, 1, REQUEST_BLOCK)) == []
    # Empty CONTINUATION frames cost nothing to send: the cap must stop them.
    assert c.receive(frame(CONT, 0, 1) * 1280) == []
    assert c.buffered() == 0
    assert raises(c, frame(CONT, 0, 1) * 100_000) == (11, "too_many_continuations")


def test_continuation_pending_bytes_stay_under_the_ignorable_limit():
    c = m.H2Codec("server")
    c.set_max_header_list_size(1000)
    big = literal(b"x-a", b"v" * 120)
    c.receive(frame(HEADERS, 0, 1, REQUEST_BLOCK + big * 8))
    # The block is now over size; an incomplete representation keeps pending
    # bytes, and CONTINUATIONs that would grow them past the limit are refused.
    cut = b"\x00\x03x-b\x7f\x81\x10"  # a value of 127 + 272 bytes, never completed
    assert c.receive(frame(CONT, 0, 1, cut)) == []
    assert raises(c, b"".join(frame(CONT, 0, 1, b"v" * 300) for _ in range(4))) == (
        9,
        "CONTINUATION frame header block size over ignorable limit",
    )


def test_headers_past_the_abuse_limit_raise():
    c = m.H2Codec("server")
    c.set_max_header_list_size(4096)
    field = literal(b"x-f", b"v" * 100)  # 135 bytes towards the list size
    kept_max = c.receive(frame(HEADERS, END_HEADERS | END_STREAM, 1, REQUEST_BLOCK + field * 100))
    assert len(kept_max) == 1 and len(kept_max[0].headers) < 4096 // 135 + 1
    assert raises(c, frame(HEADERS, END_HEADERS, 3, REQUEST_BLOCK + field * 130)) == (
        11,
        "decoded header list size over abuse limit",
    )


@pytest.mark.parametrize(
    "one, kind",
    [
        (frame(PING, 0, 0, b"12345678"), m.H2FramePing),
        (frame(DATA, 0, 1, b"x"), m.H2FrameData),
        (frame(DATA, 0, 1), m.H2FrameData),
        (frame(PRIORITY, 0, 3, b"\x00\x00\x00\x01\x10"), m.H2FramePriority),
        (frame(SETTINGS, 0, 0), m.H2FrameSettings),
        (frame(0x42, 0xFF, 5, b"unknown"), None),
    ],
)
def test_tiny_frames_in_huge_numbers(one, kind):
    c = m.H2Codec("server")
    n = 50_000
    blob = one * n
    # Fed in uneven pieces so that frames straddle calls.
    events = []
    step = 4093
    for i in range(0, len(blob), step):
        events += c.receive(blob[i : i + step])
    assert c.buffered() == 0
    if kind is None:
        assert events == []
    else:
        assert len(events) == n and all(type(e) is kind for e in events)


def test_rapid_reset_pattern_comes_out_as_paired_events():
    c = m.H2Codec("server")
    n = 20_000
    blob = b"".join(
        frame(HEADERS, END_HEADERS | END_STREAM, sid, REQUEST_BLOCK) + frame(RST, 0, sid, b"\x00\x00\x00\x08")
        for sid in range(1, 2 * n, 2)
    )
    tracemalloc.start()
    try:
        events = c.receive(blob)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert len(events) == 2 * n
    heads, resets = events[0::2], events[1::2]
    assert [e.stream_id for e in heads] == [e.stream_id for e in resets] == list(range(1, 2 * n, 2))
    assert all(e.path == "/" for e in heads) and {e.error_code for e in resets} == {8}
    assert c.buffered() == 0
    # The events themselves are the only thing that grows with n.
    assert peak < 2 * n * 2_000


def test_announced_giant_frame_is_refused_before_its_payload():
    c = m.H2Codec("server")
    head = struct.pack(">I", 2**24 - 1)[1:] + bytes([DATA, 0]) + struct.pack(">I", 1)
    assert raises(c, head) == (6, "frame length exceeds SETTINGS_MAX_FRAME_SIZE")
    assert raises(c, b"x" * 100_000) == (6, "frame length exceeds SETTINGS_MAX_FRAME_SIZE")


def test_a_frame_trickled_byte_by_byte_buffers_only_itself():
    c = m.H2Codec("server")
    f = frame(DATA, 0, 1, b"y" * 16384)
    for i, b in enumerate(f[:-1]):
        assert c.receive(bytes([b])) == []
    assert c.buffered() == len(f) - 1
    (e,) = c.receive(f[-1:])
    assert e.data == b"y" * 16384 and c.buffered() == 0
