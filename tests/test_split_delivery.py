"""A transport cuts the byte stream anywhere: every incremental reader gives
the same events, with the same bytes, whether a random stream of messages
arrives whole, one octet a call, at frame boundaries or at random cuts, and
events already returned read the same after later calls.

HTTP/2 errors in mid-stream: the events of the raising call are dropped,
the frames before the failing one stay consumed and so does the failing one
(an oversize frame stays buffered and fails every later call), and the
bytes after it are read by later calls exactly as a fresh codec would read
them (but a header block that the failing frame interrupted stays open for
its CONTINUATION). A model predicts each call's result, events and
buffered() from the frames fed one at a time, so the whole delivery, the
split ones and the frame-by-frame reading are held to one list. Header
blocks use no dynamic-table entries, so a fresh codec's HPACK state
matches."""

import random
import struct

import pytest

import vintrel._vintrel as m
from wire import frame, lit

SEEDS = range(8)
FRAME_TOO_LARGE = (6, "frame length exceeds SETTINGS_MAX_FRAME_SIZE")
H, C, EH = 0x1, 0x9, 0x4  # HEADERS, CONTINUATION, END_HEADERS


def describe(obj):
    """Every public property: header maps as item lists, bytes as copies (a
    payload later changed in place would then show)."""
    out = {}
    for k in dir(obj):
        v = getattr(obj, k)
        if k.startswith("_") or callable(v):
            continue
        out[k] = v.items() if isinstance(v, m.HeaderMap) else bytes(bytearray(v)) if isinstance(v, bytes) else v
    return type(obj).__name__, out


def cut_plans(rng, n, bounds):
    """Each plan lists where every call ends: whole, one octet a call, at the
    frame (message) boundaries, 1-20 octets a call, a few octets either side
    of each boundary, and anywhere."""
    small, at = [], 0
    while at < n:
        at = min(n, at + rng.randint(1, 20))
        small.append(at)
    near = sorted({min(n, max(0, b + rng.randint(-4, 15))) for b in bounds} | {n})
    anywhere = sorted(rng.sample(range(1, n), min(n - 1, rng.randint(1, 12)))) + [n] if n > 1 else [n]
    plans = {"whole": [n], "octets": list(range(1, n + 1)), "boundaries": sorted(set(bounds) | {n}),
             "small": small, "near": near, "anywhere": anywhere}
    return {name: cuts if cuts and cuts[-1] == n else cuts + [n] for name, cuts in plans.items()}


def first_difference(plan, got, want):
    i = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    return f"{plan}: item {i}: got {got[i] if i < len(got) else None}, want {want[i] if i < len(want) else None}"


# ---------------------------------------------------------------- HTTP/2


def h2_block(rng, role):
    head = b"\x82\x86\x84" + lit(b":authority", b"h") if role == "server" else b"\x88"  # GET http / or 200
    fields = b"".join(lit(b"x-%d" % i, bytes(rng.choice(b"abc 09~\t\x80") for _ in range(rng.randint(0, 9))))
                      for i in range(rng.randint(0, 3)))
    return head + fields


def h2_valid(rng, role):
    """The frames of one valid item: the smallest frames of every kind."""
    s, kind, es = rng.randrange(1, 40, 2), rng.randrange(9), rng.getrandbits(1)
    if kind == 0:
        data = rng.randbytes(rng.choice([0, 1, 2, 5, 8, 16, rng.randint(0, 300)]))
        if rng.random() < 0.3:
            pad = rng.randint(0, 4)
            return [frame(0, 0x8 | es, s, bytes([pad]) + data + b"\0" * pad)]
        return [frame(0, es, s, data)]
    if kind == 1:  # HEADERS, with CONTINUATION frames when the block is cut
        block = h2_block(rng, role)
        cuts = sorted(rng.randint(0, len(block)) for _ in range(rng.choice([0, 0, 1, 2, 3])))
        parts = [block[a:b] for a, b in zip([0] + cuts, cuts + [len(block)])]
        flags = es | (EH if len(parts) == 1 else 0)
        if rng.random() < 0.3:  # padded, with a priority
            first = bytes([2]) + struct.pack(">IB", s + 2, 15) + parts[0] + b"\0\0"
            out = [frame(H, flags | 0x28, s, first)]
        else:
            out = [frame(H, flags, s, parts[0])]
        return out + [frame(C, EH if i == len(parts) - 1 else 0, s, p) for i, p in enumerate(parts) if i]
    if kind == 2:
        return [frame(2, 0, s, struct.pack(">IB", rng.choice([0, s + 2]) | rng.getrandbits(1) << 31, 7))]
    if kind == 3:
        return [frame(3, 0, s, struct.pack(">I", rng.randint(0, 13)))]
    if kind == 4:
        if rng.random() < 0.3:
            return [frame(4, 1, 0)]
        ids = rng.sample([(1, 4096), (2, 0), (3, 100), (4, 65535), (5, 16384), (6, 8000)], rng.randint(0, 3))
        return [frame(4, 0, 0, b"".join(struct.pack(">HI", i, v) for i, v in ids))]
    if kind == 5:
        return [frame(6, rng.getrandbits(1), 0, rng.randbytes(8))]
    if kind == 6:
        return [frame(7, 0, 0, struct.pack(">II", s, rng.randint(0, 13)) + rng.randbytes(rng.randint(0, 8)))]
    if kind == 7:
        return [frame(8, 0, rng.choice([0, s]), struct.pack(">I", rng.randint(1, 2**31 - 1)))]
    return [frame(rng.randint(0xA, 0xFF), rng.getrandbits(8), rng.choice([0, s]), rng.randbytes(rng.randint(0, 20)))]


def h2_invalid(rng, role):
    """The frames of one item whose last frame is a connection error."""
    return rng.choice([
        [frame(0, 0, 0, b"x")], [frame(0, 8, 1, b"\x05abc")], [frame(7, 0, 0, b"\0" * rng.randint(0, 7))],
        [frame(6, 0, 0, b"\0" * 7)], [frame(6, 0, 1, b"\0" * 8)], [frame(3, 0, 1, b"\0" * rng.choice([0, 3, 5]))],
        [frame(8, 0, 0, b"\0" * 4)], [frame(8, 0, 1, b"\0" * 3)], [frame(4, 0, 1)], [frame(4, 0, 0, b"\0" * 5)],
        [frame(4, 1, 0, b"\0" * 6)], [frame(4, 0, 0, struct.pack(">HI", 2, 2))], [frame(2, 0, 0, b"\0" * 5)],
        [frame(2, 0, 1, b"\0" * 4)], [frame(C, EH, 1)], [frame(5, 4, 1, b"\0\0\0\2")], [frame(H, EH, 1, b"\x80")],
        # A frame inside a block fails; the block stays open for its CONTINUATION.
        [frame(H, 0, 1, h2_block(rng, role))] + h2_valid(rng, role)[:1] + [frame(C, EH, 1)],
    ])


def h2_reference(role, frames):
    """Each frame's outcome when fed alone: its events, or the error that
    ends it, after which a fresh codec reads on. Only a header block that a
    frame interrupted stays open (that frame is dropped), waiting for its
    CONTINUATION."""
    c, out = m.H2Codec(role), []
    for f in frames:
        try:
            out.append(("ok", [describe(e) for e in c.receive(f)]))
        except m.H2ProtocolError as e:
            out.append(("err", e.args))
            if e.args != (1, "expected CONTINUATION frame"):
                c = m.H2Codec(role)
        assert c.buffered() == 0
    return out


def h2_model(frames, outcomes, oversize, offsets):
    """Each call's ("ok", events, buffered()) or ("err", args, buffered()), for calls ending at offsets."""
    ends, out, k = [sum(map(len, frames[:i + 1])) for i in range(len(frames))], [], 0
    for p in offsets:
        events, error = [], None
        while k < len(frames) and ends[k] <= p:
            kind, value = outcomes[k]
            k += 1
            if kind == "err":
                error = (value, p - ends[k - 1])
                break
            events += value
        if error is None and k == len(frames) and oversize and p >= ends[-1] + 9:
            error = (FRAME_TOO_LARGE, p - ends[-1])
        out.append(("err",) + error if error else ("ok", events, p - (ends[k - 1] if k else 0)))
    return out


def h2_deliver(role, wire, offsets):
    c, out, kept, prev = m.H2Codec(role), [], [], 0
    for p in offsets:
        try:
            events = c.receive(wire[prev:p])
            kept += events
            out.append(("ok", [describe(e) for e in events], c.buffered()))
        except m.H2ProtocolError as e:
            out.append(("err", e.args, c.buffered()))
        prev = p
    # Twenty more calls, then every event kept reads as when it was returned.
    filler = b"".join(frame(0, 0, 1, bytes([i]) * i) for i in range(1, 21))
    for i in range(20):
        try:
            c.receive(filler[i * len(filler) // 20:(i + 1) * len(filler) // 20])
        except m.H2ProtocolError:
            pass
    assert [describe(e) for e in kept] == [d for call in out if call[0] == "ok" for d in call[1]]
    return out


def check_h2(rng, role, frames, oversize=b"", extra=()):
    wire = b"".join(frames) + oversize
    outcomes = h2_reference(role, frames)
    bounds = [sum(map(len, frames[:i + 1])) for i in range(len(frames))]
    plans = cut_plans(rng, len(wire), bounds)
    plans.update(("extra %d" % i, list(cuts)) for i, cuts in enumerate(extra))
    drains = [len(wire)] * (1 + sum(kind == "err" for kind, _ in outcomes))  # receive(b"") until it settles
    for plan, offsets in plans.items():
        offsets = offsets + drains
        want = h2_model(frames, outcomes, bool(oversize), offsets)
        got = h2_deliver(role, wire, offsets)
        assert got == want, first_difference(plan, got, want)
    return outcomes


@pytest.mark.parametrize("role", ["client", "server"])
@pytest.mark.parametrize("seed", SEEDS)
def test_h2_codec_reads_any_split_alike(role, seed):
    rng = random.Random(seed)
    frames, n = [], rng.randint(10, 40)
    bad = rng.randrange(n)
    for i in range(n):
        frames += h2_invalid(rng, role) if i == bad or rng.random() < 0.15 else h2_valid(rng, role)
    oversize = frame(0, 0, 1, length=16385 + rng.randint(0, 9))[:9] + b"x" * rng.randint(0, 20)
    outcomes = check_h2(rng, role, frames, oversize if seed % 3 == 0 else b"")
    assert any(kind == "err" for kind, _ in outcomes) and sum(len(v) for kind, v in outcomes if kind == "ok") > 0


REST = [frame(0, 1, 3, b"after"), frame(7, 0, 0, b"\0\0\0\1\0\0\0\0" + b"debug"), frame(6, 1, 0, b"pingpong"),
        frame(3, 0, 5, b"\0\0\0\x08"), frame(8, 0, 0, b"\0\0\1\0"), frame(4, 0, 0, struct.pack(">HI", 3, 9)),
        frame(0x20, 0, 0, b"unknown")]


@pytest.mark.parametrize("frames,cuts", [
    # A short frame completed from the reader's held bytes by a call that
    # ends 9-15 octets into the next frame.
    ([frame(0, 0, 1, b"hello"), frame(0, 0, 3, b"WORLD!" * 3)], [10, 26]),
    ([frame(0, 8, 1, b"\x01ab\0"), frame(7, 0, 0, b"\0" * 8 + b"debug")], [4, 13 + 9]),
    # Complete frames buffered after a failing one.
    *[([frame(6, 0, 1, b"\0" * 8), f, REST[2]], []) for f in REST],
    ([frame(H, 0, 1, b"\x88"), frame(6, 0, 0, b"\0" * 8), frame(C, EH, 1), REST[0]], []),
])
def test_h2_issue_cases(frames, cuts):
    check_h2(random.Random(1), "client", frames, extra=[cuts] if cuts else ())


@pytest.mark.parametrize("first", [0, 5])
@pytest.mark.parametrize("limit", [20000, 32768, 16385])
def test_oversize_frame_then_a_raised_limit(first, limit):
    # The failing call carries 8 MiB after the oversize frame; once the limit
    # is raised, the next call reads the declared frame and then the rest.
    wire = frame(0, 0, 1, b"b" * 20000) + b"".join(frame(0, 0, 3, bytes([i % 256]) * 16384) for i in range(512))
    c = m.H2Codec()
    assert c.receive(wire[:first]) == []
    with pytest.raises(m.H2ProtocolError) as e:
        c.receive(wire[first:])
    assert e.value.args == FRAME_TOO_LARGE and c.buffered() == len(wire)
    c.set_max_recv_frame_size(limit)
    if limit < 20000:
        with pytest.raises(m.H2ProtocolError, match="exceeds"):
            c.receive(b"")
        assert c.buffered() == len(wire)
        return
    fresh = m.H2Codec()
    fresh.set_max_recv_frame_size(limit)
    events = c.receive(b"")
    assert [len(ev.data) for ev in events] == [20000] + [16384] * 512
    assert [describe(ev) for ev in events] == [describe(ev) for ev in fresh.receive(wire)]
    assert c.buffered() == 0


# ---------------------------------------------------------------- HTTP/1


def chunked(rng, body, trailers):
    """body in chunks of random sizes, hex sizes in either case with leading
    zeros, some with extensions; then the last chunk and the trailers."""
    out, at = [], 0
    while at < len(body):
        n = min(len(body) - at, rng.choice([1, 3, 16, 200, 5000]))
        size = ("0" * rng.randint(0, 2) + rng.choice(["%x", "%X"]) % n).encode()
        out.append(size + rng.choice([b"", b";e", b";a=b", b' ;q="x y"']) + b"\r\n" + body[at:at + n] + b"\r\n")
        at += n
    out.append(rng.choice([b"0", b"000", b"0;end"]) + b"\r\n" + b"".join(b"%s: %s\r\n" % t for t in trailers) + b"\r\n")
    return out


def trailer_fields(rng):
    return [(b"t-%d" % i, rng.choice([b"v", b"", b"a b"])) for i in range(rng.choice([0, 0, 1, 2]))]


def body_events(d, emit, eof=False):
    """Drains a body decoder (reporting EOF first when eof); at the body's
    end, its trailers and what follows it."""
    if eof:
        d.mark_eof()
    while (data := d.decode()) is not None:
        emit("data", data)
    if not d.is_complete:
        return None
    t = d.take_trailers()
    emit("end", None if t is None else t.items())
    return d.take_buffered()


def emitter(out):
    def emit(kind, value):
        # A body's data comes in pieces that follow the cuts: compare it joined.
        if kind == "data" and out and out[-1][0] == "data":
            out[-1] = ("data", out[-1][1] + value)
        else:
            out.append((kind, bytes(bytearray(value)) if isinstance(value, bytes) else value))
    return emit


def h1_stream(rng, server):
    """Pipelined messages, each head and body piece a boundary; the bodies
    and trailers each message must yield; whether the stream ends at EOF;
    whether it ends with a bad message."""
    pieces, want, eof = [], [], False
    for i in range(rng.randint(1, 6)):
        body, trailers = rng.randbytes(rng.choice([0, 1, 5, 40, 300, 3000])), trailer_fields(rng)
        framing = rng.choice(["length", "chunked", "none"])
        if framing == "none" and not server and i < 5:
            framing = "length"  # a response without framing runs to EOF: only the last one
        head = [b"POST /%d HTTP/1.1\r\nhost: h\r\n" % i] if server else \
            [b"HTTP/1.1 100 Continue\r\n\r\n"] * rng.getrandbits(1) + [b"HTTP/1.1 200 OK\r\nx-n: %d\r\n" % i]
        if framing == "length":
            pieces += head + [b"content-length: %d\r\n\r\n" % len(body), body]
        elif framing == "chunked":
            pieces += head + [b"transfer-encoding: chunked\r\n\r\n"] + chunked(rng, body, trailers)
        else:
            pieces += head + [b"\r\n", b"" if server else body]
            body, eof = b"" if server else body, not server
        want.append((body, [(n.decode(), v) for n, v in trailers if framing == "chunked"] or None))
        if eof:
            break
    bad = not eof and rng.random() < 0.3
    if bad:  # a bad head or a bad chunk to end with
        pieces.append(rng.choice([b"G(T / HTTP/1.1\r\n\r\n" if server else b"HTTP/1.1 20 OK\r\n\r\n",
                                  (b"PUT / HTTP/1.1\r\n" if server else b"HTTP/1.1 200 OK\r\n")
                                  + b"transfer-encoding: chunked\r\n\r\n5\r\nhello\r\n5x\r\n"]))
    return pieces, want, eof, bad


def h1_deliver(server, wire, offsets, eof):
    c, out, kept, body, prev = m.H1Codec(), [], [], None, 0
    receive, emit = c.receive_request_head if server else c.receive_head, emitter(out)
    try:
        for p in offsets:
            data, prev = wire[prev:p], p
            while data is not None:
                if body is None:
                    head = receive(data)
                    if head is None:
                        break
                    kept.append(head)
                    emit("head", describe(head))
                    body, data = m.H1BodyDecoder(head.body_kind, head.content_length or 0), c.take_body()
                body.feed(data)
                data = body_events(body, emit)
                if data is not None:
                    body = None
        if eof:
            body_events(body, emit, eof=True)
    except ValueError as e:
        emit("error", e.args)
    for i in range(20):  # later calls leave the heads already returned as they were
        try:
            receive(b"GET /%d HTTP/1.1\r\n\r\n" % i if server else b"HTTP/1.1 204 No\r\nx-%d: y\r\n\r\n" % i)
        except ValueError:
            pass
    assert [describe(h) for h in kept] == [v for kind, v in out if kind == "head"]
    return out


@pytest.mark.parametrize("server", [False, True])
@pytest.mark.parametrize("seed", SEEDS)
def test_h1_codec_reads_any_split_alike(server, seed):
    rng = random.Random(seed)
    pieces, want, eof, bad = h1_stream(rng, server)
    wire = b"".join(pieces)
    whole = h1_deliver(server, wire, [len(wire)], eof)
    got = []  # each message's body and trailers
    for kind, value in whole:
        if kind == "head":
            got.append([b"", None])
        elif kind in ("data", "end"):
            got[-1][kind == "end"] = value
    assert [tuple(g) for g in got[:len(want)]] == want
    assert (whole[-1][0] == "error") == bad
    for plan, offsets in cut_plans(rng, len(wire), [sum(map(len, pieces[:i + 1])) for i in range(len(pieces))]).items():
        split = h1_deliver(server, wire, offsets, eof)
        assert split == whole, first_difference(plan, split, whole)


DECODERS = {"length": ("length", 0), "short": ("length", 1), "close": ("close", 0), "chunked": ("chunked", 0),
            "bad chunk": ("chunked", 0)}


@pytest.mark.parametrize("kind", DECODERS)
@pytest.mark.parametrize("seed", SEEDS)
def test_h1_body_decoder_reads_any_split_alike(kind, seed):
    rng = random.Random(seed)
    body, trailers = rng.randbytes(rng.choice([0, 1, 7, 100, 3000, 20000])), trailer_fields(rng)
    rest = rng.choice([b"", b"NEXT", b"GET / HTTP/1.1\r\n\r\n"]) if kind in ("length", "chunked") else b""
    pieces = chunked(rng, body, trailers) + [rest] if "chunk" in kind else [body, rest]
    if kind == "bad chunk":
        pieces[-2:] = [rng.choice([b"5x\r\n", b"1\r\nax", b"0\r\nbad name: v\r\n\r\n", b"f" * 17 + b"\r\n"])]
    wire = b"".join(pieces)
    want = ([("data", body)] if body else []) + {
        "short": [("error", ("malformed HTTP/1 body: end of file before message length reached",))],
        "chunked": [("end", [(n.decode(), v) for n, v in trailers] or None), ("rest", rest)],
    }.get(kind, [("end", None), ("rest", rest)])
    results = {}
    for plan, offsets in cut_plans(rng, len(wire), [sum(map(len, pieces[:i + 1])) for i in range(len(pieces))]).items():
        d = m.H1BodyDecoder(DECODERS[kind][0], len(body) + DECODERS[kind][1])
        out, prev = [], 0
        emit = emitter(out)
        try:
            for p in offsets:
                d.feed(wire[prev:p])
                prev = p
                if (left := body_events(d, emit, eof=kind in ("close", "short") and p == len(wire))) is not None:
                    emit("rest", left + wire[p:])  # fed after the end, or not fed yet
                    break
        except ValueError as e:
            emit("error", e.args)
        results[plan] = out
        assert out == results["whole"], first_difference(plan, out, results["whole"])
    if kind == "bad chunk":  # the chunks before the bad one (the start of it, maybe), then the error
        assert results["whole"][-1][0] == "error"
        assert b"".join(v for k, v in results["whole"] if k == "data").startswith(body)
    else:
        assert results["whole"] == want
