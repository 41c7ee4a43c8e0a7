"""H2Codec: settings, limits, every serializer's layout and refusals, the
events and their reprs, the reader's rules and the state a failure leaves,
and hostile input."""

import random
import struct

import pytest

import vintrel._vintrel as m
from wire import frame, lit

H = 0x1  # HEADERS
C = 0x9  # CONTINUATION
EH = 0x4  # END_HEADERS


def describe(event):
    """An event's class and properties, the header map as its items."""
    props = {k: getattr(event, k) for k in dir(event) if not k.startswith("_")}
    if "headers" in props:
        props["headers"] = props["headers"].items()
    return type(event).__name__, props


def protocol_error(codec, data):
    with pytest.raises(m.H2ProtocolError) as e:
        codec.receive(data)
    return e.value.args


# ---------------------------------------------------------------- construction and setters


def test_roles_and_fresh_state():
    assert m.H2Codec().role_client and m.H2Codec(role="client").role_client
    assert not m.H2Codec("server").role_client
    for bad in ("Client", "", "server "):
        with pytest.raises(ValueError, match=f"^role must be 'client' or 'server', got {bad}$"):
            m.H2Codec(bad)
    with pytest.raises(TypeError):
        m.H2Codec(b"client")
    c = m.H2Codec()
    assert c.buffered() == 0 and c.receive(b"") == []
    assert c.receive(b"\0" * 8) == [] and c.buffered() == 8
    for name in ("H2Codec", "H2FrameData", "H2FrameHeaders", "H2FrameStreamError"):
        assert getattr(m, name).__module__ == "vintrel._vintrel"
    with pytest.raises(TypeError):
        m.H2FrameData()


@pytest.mark.parametrize("setter", ["set_send_header_table_size", "set_recv_header_table_size",
                                    "set_max_recv_frame_size", "set_max_header_list_size",
                                    "set_send_max_frame_size"])
def test_setters_take_unsigned_32_bit(setter):
    c = m.H2Codec()
    assert getattr(c, setter)(16384) is None
    with pytest.raises(OverflowError):
        getattr(c, setter)(-1)
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        getattr(c, setter)(2**32)


def test_frame_size_setters_refuse_unusable_values():
    c = m.H2Codec()
    with pytest.raises(ValueError, match="^receive max frame size must be at least 1, got 0$"):
        c.set_max_recv_frame_size(0)
    for bad in (0, 16777216):
        with pytest.raises(ValueError, match=f"^send max frame size must be in \\[1, 16777215\\], got {bad}$"):
            c.set_send_max_frame_size(bad)
    assert len(c.serialize_data(1, b"x" * 16384)) == 16393  # nothing stored


def test_receive_frame_size_limit():
    big = frame(0, 0, 1, b"x" * 20000)
    c = m.H2Codec()
    assert protocol_error(c, big[:9]) == (6, "frame length exceeds SETTINGS_MAX_FRAME_SIZE")
    assert c.buffered() == 9
    assert protocol_error(c, b"") == (6, "frame length exceeds SETTINGS_MAX_FRAME_SIZE")
    c = m.H2Codec()
    c.set_max_recv_frame_size(32768)
    assert [len(e.data) for e in c.receive(big)] == [20000]


@pytest.mark.parametrize("list_size,frame_size,cap", [(None, None, 1280), (100, None, 5),
                                                      (None, 16777215, 5), (40000, 16384, 5), (163840, 16384, 12)])
def test_continuation_cap(list_size, frame_size, cap):
    c = m.H2Codec()
    if list_size is not None:
        c.set_max_header_list_size(list_size)
    if frame_size is not None:
        c.set_max_recv_frame_size(frame_size)
    data = frame(H, 0, 1, b"\x82") + frame(C, 0, 1) * cap
    assert c.receive(data) == []
    assert isinstance(c.receive(frame(C, EH, 1))[0], m.H2FrameHeaders)
    c.receive(frame(H, 0, 3) + frame(C, 0, 3) * cap)
    assert protocol_error(c, frame(C, 0, 3)) == (11, "too_many_continuations")


# ---------------------------------------------------------------- serializers


@pytest.mark.parametrize("call,expected", [
    (lambda c: c.serialize_settings(), "000000040000000000"),
    (lambda c: c.serialize_settings_ack(), "000000040100000000"),
    (lambda c: c.serialize_settings(max_frame_size=16384, enable_push=False),
     "00000c040000000000" "000200000000" "000500004000"),
    (lambda c: c.serialize_settings(max_header_list_size=1, header_table_size=2, initial_window_size=3,
                                    max_concurrent_streams=4, enable_push=True, max_frame_size=16777215),
     "000024040000000000" "000100000002" "000200000001" "000300000004" "000400000003" "000500ffffff"
     "000600000001"),
    (lambda c: c.serialize_window_update(0, 65535), "000004080000000000" "0000ffff"),
    (lambda c: c.serialize_window_update(1, 2**32 - 1), "000004080000000001" "ffffffff"),
    (lambda c: c.serialize_rst_stream(1, 8), "000004030000000001" "00000008"),
    (lambda c: c.serialize_go_away(3, 0), "000008070000000000" "0000000300000000"),
    (lambda c: c.serialize_go_away(3, 2**32 - 1, b"ab"), "00000a070000000000" "00000003ffffffff6162"),
    (lambda c: c.serialize_ping(b"12345678"), "000008060000000000" + b"12345678".hex()),
    (lambda c: c.serialize_ping_ack(b"12345678"), "000008060100000000" + b"12345678".hex()),
    (lambda c: c.serialize_data(1, b"", end_stream=True), "000000000100000001"),
    (lambda c: c.serialize_request_headers(1, "GET", "/"), "000002010400000001" "8284"),
    (lambda c: c.serialize_trailers(1, m.HeaderMap()), "000000010500000001"),
])
def test_serialized_bytes(call, expected):
    assert call(m.H2Codec()).hex() == expected


class DriftingId:
    """A stream id whose __index__ gives 1, then an unwritable id, then others."""

    def __init__(self):
        self.calls = 0

    def __index__(self):
        self.calls += 1
        return 1 if self.calls == 1 else 2**31 + self.calls


@pytest.mark.parametrize("call", [
    lambda c, sid: c.serialize_request_headers(sid, "GET", "/"),
    lambda c, sid: c.serialize_response_headers(sid, 200),
    lambda c, sid: c.serialize_trailers(sid, m.HeaderMap()),
    lambda c, sid: c.serialize_data(sid, b"x"),
    lambda c, sid: c.serialize_window_update(sid, 1),
    lambda c, sid: c.serialize_rst_stream(sid, 8),
    lambda c, sid: c.serialize_go_away(sid, 0),
])
def test_stream_id_is_converted_once(call):
    sid = DriftingId()
    assert call(m.H2Codec(), sid) == call(m.H2Codec(), 1)
    assert sid.calls == 1


@pytest.mark.parametrize("call,exc,message", [
    (lambda c: c.serialize_settings(max_frame_size=16383), ValueError,
     "max_frame_size must be in [16384, 16777215], got 16383"),
    (lambda c: c.serialize_settings(max_frame_size=16777216), ValueError,
     "max_frame_size must be in [16384, 16777215], got 16777216"),
    (lambda c: c.serialize_settings(initial_window_size=2**31), ValueError,
     "initial_window_size must be <= 2147483647, got 2147483648"),
    (lambda c: c.serialize_ping(b"1234567"), ValueError, "ping payload must be exactly 8 bytes"),
    (lambda c: c.serialize_ping_ack(b"123456789"), ValueError, "ping payload must be exactly 8 bytes"),
    (lambda c: c.serialize_response_headers(1, 99), ValueError, "invalid status: invalid status code"),
    (lambda c: c.serialize_response_headers(1, 1000), ValueError, "invalid status: invalid status code"),
    (lambda c: c.serialize_response_headers(1, 70000), OverflowError, None),
    (lambda c: c.serialize_request_headers(1, "G ET", "/"), ValueError, "invalid method: invalid HTTP method"),
    (lambda c: c.serialize_request_headers(1, "GET", "/a b"), ValueError, None),
    (lambda c: c.serialize_request_headers(2**31, "GET", "/"), ValueError, "invalid stream ID -- MSB is set"),
    (lambda c: c.serialize_data(2**31, b""), ValueError, "invalid stream ID -- MSB is set"),
    (lambda c: c.serialize_go_away(2**32 - 1, 0), ValueError, "invalid stream ID -- MSB is set"),
    (lambda c: c.serialize_request_headers(1, "GET", "/", {"a": "b"}), TypeError, None),
    (lambda c: c.serialize_trailers(1, None), TypeError, None),
    (lambda c: c.serialize_data(1, bytearray(b"x")), TypeError, None),
    (lambda c: c.serialize_settings(enable_push=1), TypeError, None),
    (lambda c: c.serialize_settings(1), TypeError, None),
    (lambda c: c.serialize_data(1, b"", None), TypeError, None),
    (lambda c: c.serialize_response_headers(1, 200, None, 1), TypeError, None),
])
def test_serializer_refusals(call, exc, message):
    with pytest.raises(exc) as e:
        call(m.H2Codec())
    if message is not None:
        assert str(e.value) == message


def test_data_size_check_follows_the_peer_frame_size():
    c = m.H2Codec()
    assert len(c.serialize_data(1, b"x" * 16384)) == 16393
    with pytest.raises(m.H2UserError) as e:
        c.serialize_data(1, b"x" * 16385)
    assert e.value.args == ("payload_too_big", "DATA payload 16385 exceeds SETTINGS_MAX_FRAME_SIZE 16384")
    c.set_send_max_frame_size(100)
    with pytest.raises(m.H2UserError, match="DATA payload 101 exceeds SETTINGS_MAX_FRAME_SIZE 100"):
        c.serialize_data(1, b"x" * 101)


def split_frames(data):
    out = []
    while data:
        n = int.from_bytes(data[:3], "big")
        out.append((data[3], data[4], int.from_bytes(data[5:9], "big"), data[9:9 + n]))
        data = data[9 + n:]
    return out


@pytest.mark.parametrize("max_size,value_len", [(100, 400), (16384, 64000)])
@pytest.mark.parametrize("end_stream", [False, True])
def test_header_blocks_split_at_the_peer_frame_size(max_size, value_len, end_stream):
    c = m.H2Codec()
    c.set_send_max_frame_size(max_size)
    headers = m.HeaderMap([("x", b"a" * value_len)])
    frames = split_frames(c.serialize_response_headers(1, 200, headers, end_stream))
    total = sum(len(f[3]) for f in frames)
    assert len(frames) == -(-total // max_size) >= 3
    assert all(len(f[3]) == max_size for f in frames[:-1])
    assert [f[0] for f in frames] == [H] + [C] * (len(frames) - 1)
    assert [f[1] for f in frames] == [int(end_stream)] + [0] * (len(frames) - 2) + [EH]
    assert {f[2] for f in frames} == {1}
    server = m.H2Codec("server")
    [ev] = server.receive(b"".join(frame(*f) for f in frames))
    assert ev.headers["x"] == b"a" * value_len and ev.end_stream is end_stream


def test_request_pseudo_headers_and_refused_blocks_leave_the_table():
    c, s = m.H2Codec(), m.H2Codec("server")
    for args in [("GET", "https://Example.com:8443/p?q=1"), ("OPTIONS", "http://h"), ("CONNECT", "h:443"),
                 ("POST", "HTTP://h/x")]:
        try:
            c.serialize_request_headers(9, args[0], "bad url \x00")
        except ValueError:
            pass
        [ev] = s.receive(c.serialize_request_headers(1, *args, m.HeaderMap([("a", "1")]), True))
        assert ev.method == args[0] and ev.end_stream and ev.headers.items() == [("a", b"1")]
        assert (ev.scheme, ev.authority, ev.path) == {
            "GET": ("https", "Example.com:8443", "/p?q=1"), "OPTIONS": ("http", "h", "*"),
            "CONNECT": (None, "h:443", None), "POST": ("http", "h", "/x")}[args[0]]


def test_table_size_updates_reach_the_peer():
    c, s = m.H2Codec(), m.H2Codec("server")
    c.set_send_header_table_size(0)
    s.set_recv_header_table_size(0)
    block = c.serialize_trailers(1, m.HeaderMap())
    assert block.hex() == "000001010500000001" "20"
    assert repr(s.receive(block)[0]) == "Headers(stream_id=1, status=None, end_stream=true, fields=0)"


# ---------------------------------------------------------------- events


def test_events_and_reprs():
    c = m.H2Codec()
    settings = frame(4, 0, 0, struct.pack(">HI", 2, 0) + struct.pack(">HI", 7, 9) + struct.pack(">HI", 8, 1))
    data = (frame(0, 0x9, 3, b"\x02hello\0\0") + frame(4, 1, 0) + settings + frame(2, 0, 5, b"\0\0\0\1\x10")
            + frame(3, 0, 0, b"\0\0\0\x0e") + frame(6, 1, 0, b"ABCDEFGH") + frame(7, 0, 9, b"\x80\0\0\1\0\0\0\2")
            + frame(8, 0, 0, b"\x80\0\0\1") + frame(0xA, 0xFF, 7, b"unknown"))
    ev = c.receive(data)
    assert [type(e).__name__ for e in ev] == ["H2FrameData", "H2FrameSettings", "H2FrameSettings",
                                              "H2FramePriority", "H2FrameRstStream", "H2FramePing",
                                              "H2FrameGoAway", "H2FrameWindowUpdate"]
    d, ack, st, pr, rst, ping, ga, wu = ev
    assert repr(d) == "Data(stream_id=3, end_stream=true, len=5)"
    assert (d.data, d.flow_controlled_len) == (b"hello", 8)
    [empty] = c.receive(frame(0, 8, 1, b"\x03abc"))
    assert (empty.data, empty.flow_controlled_len) == (b"", 4)
    [block] = c.receive(frame(1, 0x2C, 1, b"\x02" + b"\0\0\0\3\x10" + b"\0\0"))  # padding to the end
    assert repr(block) == "Headers(stream_id=1, status=None, end_stream=false, fields=0)"
    assert repr(ack) == "Settings(ack=true, max_concurrent_streams=None, initial_window_size=None, max_frame_size=None)"
    assert st.enable_push is False and not st.ack and st.header_table_size is None
    assert pr.stream_id == 5 and (rst.stream_id, rst.error_code) == (0, 14)
    assert (ping.ack, ping.data) == (True, b"ABCDEFGH")
    assert (ga.last_stream_id, ga.error_code, ga.debug_data) == (1, 2, b"")
    assert (wu.stream_id, wu.increment) == (0, 1)
    with pytest.raises(AttributeError):
        d.stream_id = 4


# ---------------------------------------------------------------- the reader's rules


@pytest.mark.parametrize("data,args", [
    (frame(6, 0, 1, b"1234567"), (1, "failed to load frame: InvalidStreamId")),
    (frame(0, 0, 0, b"x"), (1, "failed to load frame: InvalidStreamId")),
    (frame(1, 4, 0, b"\x82"), (1, "failed to load frame: InvalidStreamId")),
    (frame(4, 0, 1), (1, "failed to load frame: InvalidStreamId")),
    (frame(1, 0xC, 1, b"\x03\x82\0"), (1, "failed to load frame: TooMuchPadding")),
    (frame(2, 0, 0, b"1234"), (1, "PRIORITY frame with stream ID 0")),
    (frame(0, 8, 1, b"\x04abc"), (1, "failed to load frame: TooMuchPadding")),
    (frame(0, 8, 1), (1, "failed to load frame: TooMuchPadding")),
    (frame(1, 8, 1), (1, "failed to load frame: MalformedMessage")),
    (frame(1, 0x20, 1, b"\0\0\0"), (1, "failed to load frame: MalformedMessage")),
    (frame(4, 0, 0, struct.pack(">HI", 5, 16383)), (1, "failed to load frame: InvalidSettingValue")),
    (frame(4, 0, 0, struct.pack(">HI", 8, 2)), (1, "failed to load frame: InvalidSettingValue")),
    (frame(4, 1, 0, b"\0" * 6), (1, "failed to load frame: InvalidPayloadLength")),
    (frame(4, 0, 0, b"\0" * 5), (1, "failed to load frame: InvalidPayloadAckSettings")),
    (frame(8, 0, 1, b"\x80\0\0\0"), (1, "failed to load frame: InvalidWindowUpdateValue")),
    (frame(7, 0, 0, b"\0" * 7), (1, "failed to load frame: BadFrameSize")),
    (frame(5, 4, 1, b"\0\0\0\2"), (1, "PUSH_PROMISE received but server push is disabled")),
    (frame(C, EH, 1), (1, "received unexpected CONTINUATION frame")),
    (frame(H, 0, 1) + frame(6, 0, 0, b"\0" * 8), (1, "expected CONTINUATION frame")),
    (frame(H, 0, 1) + frame(0xA, 0, 1), (1, "expected CONTINUATION frame")),
    (frame(H, 0, 1) + frame(C, EH, 3), (1, "CONTINUATION frame stream ID does not match previous frame stream ID")),
    (frame(H, EH, 1, b"\x80"), (1, "HPACK decoding failed: Hpack(InvalidTableIndex)")),
    (frame(H, EH, 1, b"\x41\x05ab"), (1, "HPACK decoding failed: Hpack(NeedMore(StringUnderflow))")),
    (frame(H, EH, 1, lit(b":foo", b"x")), (1, "HPACK decoding failed: Hpack(InvalidPseudoheader)")),
    # An empty literal name waits for more like a cut representation.
    (frame(H, 0, 1, lit(b"", b"v")) + frame(C, EH, 1),
     (1, "HPACK decoding failed: Hpack(NeedMore(UnexpectedEndOfStream))")),
])
def test_connection_errors(data, args):
    assert protocol_error(m.H2Codec(), data) == args


@pytest.mark.parametrize("block", [
    lit(b"connection", b"close"), lit(b"te", b"gzip"), lit(b"upgrade", b"h2c"), lit(b"keep-alive", b"1"),
    lit(b"a", b"1") + b"\x84", b"\x84\x84", lit(b":path", b"/\r\nx: y"), lit(b":authority", b"a\0b"),
])
def test_malformed_blocks_are_stream_errors_after_earlier_events(block):
    c = m.H2Codec()
    ev = c.receive(frame(0, 0, 1, b"x") + frame(H, EH, 3, b"\x82" + block) + frame(H, EH, 5, b"\x82"))
    assert [type(e).__name__ for e in ev] == ["H2FrameData", "H2FrameStreamError", "H2FrameHeaders"]
    assert (ev[1].stream_id, ev[1].error_code) == (3, 1)


def test_te_trailers_keeps_the_block():
    [ev] = m.H2Codec().receive(frame(H, EH, 1, b"\x82" + lit(b"te", b"trailers")))
    assert ev.headers.items() == [("te", b"trailers")]


def indexed_lit(name, value):
    """A literal header with incremental indexing: it enters the dynamic table."""
    return b"\x40" + bytes([len(name)]) + name + bytes([len(value)]) + value


@pytest.mark.parametrize("refused", [False, True], ids=["malformed", "self-dependent"])
def test_a_bad_block_costs_its_stream_wherever_it_is_cut(refused):
    # The block adds "a: b" to the dynamic table; the next block refers to it
    # (index 62), so the whole block must reach the decoder however it is cut.
    block = b"\x82" + indexed_lit(b"a", b"b") + (b"" if refused else lit(b"connection", b"x")) + b"\x84"
    prefix, flags = (b"\0\0\0\1\x10", 0x20) if refused else (b"", 0)
    for i in range(len(block) + 1):
        for j in range(i, len(block) + 1):
            c = m.H2Codec("server")
            ev = c.receive(frame(H, flags, 1, prefix + block[:i]) + frame(C, 0, 1, block[i:j]))
            ev += c.receive(frame(C, EH, 1, block[j:]) + frame(H, EH, 3, b"\x82\x84\xbe"))
            assert [(type(e).__name__, e.stream_id) for e in ev] == [
                ("H2FrameStreamError", 1), ("H2FrameHeaders", 3)], (i, j)
            assert ev[0].error_code == 1
            assert ev[1].headers.items() == [("a", b"b")]


def test_header_list_limits():
    c = m.H2Codec()
    c.set_max_header_list_size(100)
    fields = [lit(b"a%d" % i, b"v" * 13) for i in range(3)]  # 48 octets counted each
    [ev] = c.receive(frame(H, EH, 1, b"".join(fields)))
    assert ev.headers.keys() == ["a0", "a1"] and ev.truncated
    [ev] = c.receive(frame(H, EH, 5, b"".join(fields[:2])))
    assert ev.headers.keys() == ["a0", "a1"] and not ev.truncated
    many = b"".join(lit(b"b%03d" % i, b"") for i in range(12))  # 36 each, 432 in all
    assert protocol_error(c, frame(H, EH, 3, many)) == (11, "decoded header list size over abuse limit")


def test_ignorable_limit_on_an_over_size_block():
    c = m.H2Codec()
    c.set_max_header_list_size(64)
    c.receive(frame(H, 0, 1, lit(b"a", b"v" * 40) + b"\x00\x01b\x7f\x80\x01"))  # over size, a value pending
    assert protocol_error(c, frame(C, 0, 1, b"x" * 60)) == (
        9, "CONTINUATION frame header block size over ignorable limit")


def test_failure_keeps_earlier_frames_consumed_and_later_bytes_buffered():
    c = m.H2Codec()
    ping = frame(6, 0, 0, b"\0" * 8)
    assert protocol_error(c, ping + frame(6, 0, 1, b"\0" * 8) + ping[:5]) == (
        1, "failed to load frame: InvalidStreamId")
    assert c.buffered() == 5
    assert [type(e).__name__ for e in c.receive(ping[5:])] == ["H2FramePing"]


# ---------------------------------------------------------------- splitting and hostile input


def test_any_split_gives_the_same_events():
    c = m.H2Codec()
    big = m.HeaderMap([("k%d" % i, "v" * 50) for i in range(20)])
    c.set_send_max_frame_size(64)
    wire = (c.serialize_request_headers(1, "POST", "https://h/p", big) + c.serialize_data(1, b"d" * 60)
            + c.serialize_go_away(0, 0, b"bye") + c.serialize_trailers(1, m.HeaderMap([("t", "1")])))
    whole = [describe(e) for e in m.H2Codec("server").receive(wire)]
    rng = random.Random(7)
    for _ in range(30):
        s = m.H2Codec("server")
        got, at = [], 0
        while at < len(wire):
            step = rng.randint(1, 40)
            got += s.receive(wire[at:at + step])
            at += step
        assert [describe(e) for e in got] == whole
        assert got[1].data == b"d" * 60 and got[2].debug_data == b"bye"


def complete_frames(buf):
    """The complete frames at the start of buf, and whether an oversize frame follows them."""
    out, at = [], 0
    while len(buf) - at >= 9:
        n = int.from_bytes(buf[at:at + 3], "big")
        if n > 16384:
            return out, True
        if len(buf) - at - 9 < n:
            break
        out.append(buf[at:at + 9 + n])
        at += 9 + n
    return out, False


def test_random_garbage_never_crashes():
    # A twin codec reads the same bytes one frame a call: the codec under
    # test must fail where it fails and hold exactly the bytes left after
    # the failing frame (or from an oversize one on).
    rng = random.Random(11)
    heads = [frame(t, f, s) for t in range(12) for f in (0, 1, 4, 8, 0x20, 0xFF) for s in (0, 1)]
    for _ in range(3000):
        role = rng.choice(["client", "server"])
        c, twin, held = m.H2Codec(role), m.H2Codec(role), b""
        first = b"".join(rng.choice(heads)[:9] + bytes(rng.getrandbits(8) for _ in range(rng.randint(0, 12)))
                         for _ in range(rng.randint(1, 4)))
        for data in (first, bytes(rng.getrandbits(8) for _ in range(rng.randint(0, 40)))):
            try:
                c.receive(data)
                error = None
            except m.H2ProtocolError as e:
                assert isinstance(e.args[1], str) and (e.args[0] is None or isinstance(e.args[0], int))
                error = e.args
            held += data
            frames, oversize = complete_frames(held)
            expected = (6, "frame length exceeds SETTINGS_MAX_FRAME_SIZE") if oversize else None
            for f in frames:
                held = held[len(f):]
                try:
                    twin.receive(f)
                except m.H2ProtocolError as e:
                    expected = e.args
                    break
            assert error == expected
            assert c.buffered() == len(held)
