"""HPACK bombs: small blocks that decode to large lists stay within the limits."""

import tracemalloc

import pytest

import vintrel._vintrel as m
from wire import frame

HEADERS, CONT = 1, 9
END_STREAM, END_HEADERS = 0x1, 0x4
REQUEST_BLOCK = b"\x82\x84\x87"


def integer(value, prefix, first=0):
    # An HPACK integer with the given prefix width and high bits.
    top = (1 << prefix) - 1
    if value < top:
        return bytes([first | value])
    out = [first | top]
    value -= top
    while value >= 0x80:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    out.append(value)
    return bytes(out)


def string(raw):
    return integer(len(raw), 7) + raw


def indexed_literal(name, value):
    # Literal with incremental indexing, new name: it lands at index 62.
    return b"\x40" + string(name) + string(value)


def receive_block(codec, block, stream=1, piece=16384):
    # A request block cut into HEADERS and CONTINUATION frames.
    block = REQUEST_BLOCK + block
    frames = [block[i : i + piece] for i in range(0, len(block), piece)]
    return codec.receive(
        b"".join(
            frame(CONT if i else HEADERS, (END_HEADERS if i == len(frames) - 1 else 0) | (0 if i else END_STREAM), stream, f)
            for i, f in enumerate(frames)
        )
    )


def hpack_error(codec, block):
    with pytest.raises(m.H2ProtocolError) as e:
        receive_block(codec, block)
    return e.value.args


@pytest.mark.parametrize("refs", [10, 1000, 16000])
def test_reference_bomb_is_held_to_the_list_size(refs):
    # One 4000-byte entry referenced by one-byte representations: each
    # reference is worth 4000 bytes of header list.
    c = m.H2Codec("server")
    c.set_max_header_list_size(16384)  # abuse limit: 65536
    block = indexed_literal(b"x-bomb", b"b" * 4000) + b"\xbe" * refs
    if 4038 * (refs + 1) <= 4 * 16384:
        (e,) = receive_block(c, block)
        assert e.headers.get_all("x-bomb") == [b"b" * 4000] * 4
    else:
        assert hpack_error(c, block) == (11, "decoded header list size over abuse limit")


def test_reference_bomb_memory_is_bounded_at_the_default_limits():
    # At the default limits (16 MiB list, 64 MiB abuse limit) a 64 KiB block
    # of references still refuses to hold more than the list size.
    c = m.H2Codec("server")
    block = indexed_literal(b"x-bomb", b"b" * 4000) + b"\xbe" * 16000
    tracemalloc.start()
    try:
        out = receive_block(c, block)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    (e,) = out
    kept = len(e.headers)
    assert kept * 4038 <= 16 * 1024 * 1024
    assert peak < 2 * 16 * 1024 * 1024


@pytest.mark.parametrize(
    "block, text",
    [
        (integer(4097, 5, 0x20), "InvalidMaxDynamicSize"),
        (b"\x82\x20", "InvalidMaxDynamicSize"),  # update after a field
        (b"\xbe", "InvalidTableIndex"),
        (b"\x80", "InvalidTableIndex"),
        (b"\xff\xff\xff\xff\xff\x01", "IntegerOverflow"),
        (b"\x00\x81\xff\x01a", "InvalidHuffmanCode"),  # EOS-only padding run
        (b"\x00\x03x-a\x7f\xff\xff\xff\x7f", "NeedMore(StringUnderflow)"),
        (b"\x00\x04:bad\x01a", "InvalidPseudoheader"),
        (b"\x00\x03X-A\x01a", "InvalidUtf8"),
        (b"\x00\x03x-a\x01\x00", "InvalidUtf8"),
        (b"\x00\x03x-a\x01\x7f", "InvalidUtf8"),
    ],
)
def test_hostile_representations_fail_with_their_kind(block, text):
    c = m.H2Codec("server")
    with pytest.raises(m.H2ProtocolError) as e:
        c.receive(frame(HEADERS, END_HEADERS, 1, block))
    assert e.value.args == (1, "HPACK decoding failed: Hpack(%s)" % text)


def test_table_churn_keeps_the_table_within_its_maximum():
    # Entries larger than the table empty it; many small ones evict in turn.
    c = m.H2Codec("server")
    big = indexed_literal(b"x-big", b"v" * 5000)
    churn = b"".join(indexed_literal(b"x-%d" % i, b"v" * 100) for i in range(500))
    (e,) = receive_block(c, big + churn)
    assert len(e.headers) == 501
    # Only the entries that fit 4096 bytes are still addressable.
    assert hpack_error(c, b"\xbe" + integer(62 + 4096 // 136, 7, 0x80))[1].endswith("InvalidTableIndex)")
