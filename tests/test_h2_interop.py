"""H2Codec against independent peers: every frame we write parses with
hyperframe to the same fields; header blocks go both ways with hpack; the
hpack-test-case stories arrive through receive() cut into HEADERS and
CONTINUATION frames at random boundaries; and whole h2 connections, in both
roles, run with a small in-memory driver on our codec, H2StreamState and
H2FlowControl."""

import json
import pathlib
import random
import struct

import pytest

import vintrel._vintrel as m

hyperframe = pytest.importorskip("hyperframe.frame")
hpack = pytest.importorskip("hpack")

HERE = pathlib.Path(__file__).parent
LOCAL_CORPUS = HERE / "data" / "hpack" / "corpus"
SHARED_CORPUS = HERE.parent.parent / "shared" / "data" / "hpack-test-case"
CONNECTION_SPECIFIC = {"connection", "transfer-encoding", "upgrade", "keep-alive", "proxy-connection"}
PSEUDO = {":method", ":scheme", ":authority", ":path", ":protocol", ":status"}


def parse_one(data):
    f, length = hyperframe.Frame.parse_frame_header(memoryview(data[:9]))
    assert length == len(data) - 9
    f.parse_body(memoryview(data[9:]))
    return f


@pytest.mark.parametrize("call,kind,fields", [
    (lambda c: c.serialize_data(5, b"abc", end_stream=True), "DataFrame",
     dict(stream_id=5, data=b"abc", flags={"END_STREAM"})),
    (lambda c: c.serialize_settings(header_table_size=1, enable_push=False, max_concurrent_streams=3,
                                    initial_window_size=4, max_frame_size=20000, max_header_list_size=6),
     "SettingsFrame", dict(stream_id=0, flags=set(), settings={1: 1, 2: 0, 3: 3, 4: 4, 5: 20000, 6: 6})),
    (lambda c: c.serialize_settings_ack(), "SettingsFrame", dict(stream_id=0, flags={"ACK"}, settings={})),
    (lambda c: c.serialize_window_update(7, 1000), "WindowUpdateFrame", dict(stream_id=7, window_increment=1000)),
    (lambda c: c.serialize_ping(b"pingpong"), "PingFrame", dict(flags=set(), opaque_data=b"pingpong")),
    (lambda c: c.serialize_ping_ack(b"pingpong"), "PingFrame", dict(flags={"ACK"}, opaque_data=b"pingpong")),
    (lambda c: c.serialize_go_away(9, 2, b"why"), "GoAwayFrame",
     dict(stream_id=0, last_stream_id=9, error_code=2, additional_data=b"why")),
    (lambda c: c.serialize_rst_stream(3, 8), "RstStreamFrame", dict(stream_id=3, error_code=8)),
    (lambda c: c.serialize_trailers(3, m.HeaderMap([("t", "1")])), "HeadersFrame",
     dict(stream_id=3, flags={"END_STREAM", "END_HEADERS"})),
])
def test_frames_parse_with_hyperframe(call, kind, fields):
    f = parse_one(call(m.H2Codec()))
    assert type(f).__name__ == kind
    for name, want in fields.items():
        got = getattr(f, name)
        assert (set(got) if name == "flags" else got) == want


def frames_of(data):
    out = []
    while data:
        f, length = hyperframe.Frame.parse_frame_header(memoryview(data[:9]))
        f.parse_body(memoryview(data[9:9 + length]))
        out.append(f)
        data = data[9 + length:]
    return out


def test_blocks_we_encode_decode_with_hpack():
    c = m.H2Codec()
    c.set_send_max_frame_size(50)
    dec = hpack.Decoder()
    rng = random.Random(3)
    for r in range(40):
        pairs = [(rng.choice(["accept", "x-custom", "cookie", "user-agent", "x-%d" % rng.randint(0, 5)]),
                  "v" * rng.randint(0, 80)) for _ in range(rng.randint(0, 8))]
        if r == 20:
            c.set_send_header_table_size(256)
            dec.header_table_size = 256
        frames = frames_of(c.serialize_request_headers(2 * r + 1, "GET", f"https://h{r % 3}/p{r}",
                                                       m.HeaderMap(pairs)))
        assert all(len(f.data) <= 50 for f in frames)
        decoded = dec.decode(b"".join(f.data for f in frames), raw=True)
        expected_fields = m.HeaderMap(pairs).items()  # map order: values of one name grouped
        assert decoded[:4] == [(b":method", b"GET"), (b":scheme", b"https"), (b":authority", f"h{r % 3}".encode()),
                               (b":path", f"/p{r}".encode())]
        assert [(n.decode(), v) for n, v in decoded[4:]] == expected_fields


def headers_frames(block, stream_id, rng, end_stream=False):
    """A block cut into HEADERS and CONTINUATION frames at random points."""
    cuts = sorted(rng.sample(range(1, len(block)), min(len(block) - 1, rng.randint(0, 4)))) if block else []
    parts = [block[a:b] for a, b in zip([0] + cuts, cuts + [len(block)])]
    out = b""
    for i, part in enumerate(parts):
        flags = (0x4 if i == len(parts) - 1 else 0) | (0x1 if i == 0 and end_stream else 0)
        out += struct.pack(">I", len(part))[1:] + bytes([0x1 if i == 0 else 0x9, flags])
        out += struct.pack(">I", stream_id) + part
    return out


def feed_in_pieces(codec, data, rng):
    events, at = [], 0
    while at < len(data):
        n = rng.randint(1, 64)
        events += codec.receive(data[at:at + n])
        at += n
    return events


def test_blocks_hpack_encodes_decode_with_us():
    enc = hpack.Encoder()
    s = m.H2Codec("server")
    rng = random.Random(5)
    for r in range(40):
        fields = [("x-%d" % rng.randint(0, 9), "w" * rng.randint(0, 40)) for _ in range(rng.randint(0, 6))]
        block = enc.encode([(":method", "POST"), (":path", "/u%d" % r)] + fields)
        [ev] = feed_in_pieces(s, headers_frames(block, 2 * r + 1, rng, end_stream=r % 2 == 1), rng)
        assert (ev.stream_id, ev.method, ev.path, ev.end_stream) == (2 * r + 1, "POST", "/u%d" % r, r % 2 == 1)
        assert ev.headers == m.HeaderMap(fields)


def passes_header_rules(headers):
    seen_regular, pseudo = False, set()
    for name, value in headers:
        if name in PSEUDO:
            if seen_regular or name in pseudo or any(ch in value for ch in "\0\r\n"):
                return False
            pseudo.add(name)
        else:
            if name in CONNECTION_SPECIFIC or (name == "te" and value != "trailers"):
                return False
            seen_regular = True
    return True


def corpus_stories(root):
    return sorted(p for p in root.glob("*/story_*.json") if p.parent.name != "raw-data")


def check_story(path):
    story = json.loads(path.read_text())
    # The reader reads alike in both roles.
    codec = m.H2Codec(random.Random(path.name).choice(["client", "server"]))
    rng = random.Random(str(path))
    for i, case in enumerate(story["cases"]):
        if "header_table_size" in case:
            codec.set_recv_header_table_size(case["header_table_size"])
        headers = [next(iter(h.items())) for h in case["headers"]]
        block = bytes.fromhex(case["wire"])
        passes = passes_header_rules(headers)
        # A malformed block that is complete before its last frame is reset
        # at once, and the CONTINUATION after it fails the connection: such
        # blocks go in one frame.
        data = headers_frames(block, 2 * i + 1, rng) if passes else (
            struct.pack(">I", len(block))[1:] + b"\x01\x04" + struct.pack(">I", 2 * i + 1) + block)
        events = feed_in_pieces(codec, data, rng)
        assert len(events) == 1
        ev = events[0]
        if not passes:
            assert (type(ev).__name__, ev.stream_id, ev.error_code) == ("H2FrameStreamError", 2 * i + 1, 1)
            continue
        pseudo = dict(h for h in headers if h[0] in PSEUDO)
        assert (ev.method, ev.scheme, ev.authority, ev.path) == tuple(
            pseudo.get(k) for k in (":method", ":scheme", ":authority", ":path"))
        assert ev.status == (int(pseudo[":status"]) if ":status" in pseudo else None)
        regular = [(n, v.encode()) for n, v in headers if n not in PSEUDO]
        assert ev.headers == m.HeaderMap(regular)
    assert codec.buffered() == 0


@pytest.mark.parametrize("path", corpus_stories(LOCAL_CORPUS), ids=lambda p: f"{p.parent.name}/{p.name}")
def test_local_corpus_through_receive(path):
    check_story(path)


@pytest.mark.skipif(not SHARED_CORPUS.is_dir(), reason="the shared hpack-test-case corpus is not beside the checkout")
def test_shared_corpus_through_receive():
    stories = corpus_stories(SHARED_CORPUS)
    assert stories
    for path in stories:
        check_story(path)


# ---------------------------------------------------------------- whole connections with h2

h2conn = pytest.importorskip("h2.connection")
h2config = pytest.importorskip("h2.config")
h2events = pytest.importorskip("h2.events")

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
WINDOW = 65535


class Driver:
    """A minimal connection driver on our codec: it answers SETTINGS and
    PING, tracks each stream's state and both windows, and gives back
    every byte of DATA it takes in as WINDOW_UPDATE."""

    def __init__(self, role):
        self.codec = m.H2Codec(role)
        self.out = bytearray(PREFACE if role == "client" else b"")
        self.out += self.codec.serialize_settings(max_frame_size=20000, initial_window_size=WINDOW)
        self.streams = {}
        self.send_conn = self.window(WINDOW)
        self.peer_initial = WINDOW
        self.peer_frame = 16384
        self.received = []
        self.pending_preface = role == "server"

    @staticmethod
    def window(size):
        fc = m.H2FlowControl()
        fc.inc_window(size)
        return fc

    def stream(self, sid):
        if sid not in self.streams:
            self.streams[sid] = (m.H2StreamState(), self.window(self.peer_initial), self.window(WINDOW))
        return self.streams[sid]

    def feed(self, data):
        if self.pending_preface:
            assert data.startswith(PREFACE)
            data, self.pending_preface = data[len(PREFACE):], False
        for ev in self.codec.receive(data):
            self.received.append(ev)
            kind = type(ev).__name__
            if kind == "H2FrameSettings":
                if ev.ack:
                    self.codec.set_max_recv_frame_size(20000)
                else:
                    if ev.max_frame_size is not None:
                        self.codec.set_send_max_frame_size(ev.max_frame_size)
                        self.peer_frame = ev.max_frame_size
                    if ev.header_table_size is not None:
                        self.codec.set_send_header_table_size(ev.header_table_size)
                    if ev.initial_window_size is not None:
                        self.peer_initial = ev.initial_window_size
                    self.out += self.codec.serialize_settings_ack()
            elif kind == "H2FramePing" and not ev.ack:
                self.out += self.codec.serialize_ping_ack(ev.data)
            elif kind == "H2FrameHeaders":
                state = self.stream(ev.stream_id)[0]
                informational = ev.status is not None and ev.status < 200
                if ev.method is not None or ev.status is not None:
                    state.recv_open(ev.end_stream, informational)
                elif ev.end_stream:  # trailers
                    state.recv_close()
            elif kind == "H2FrameData":
                state, _, recv = self.stream(ev.stream_id)
                recv.send_data(ev.flow_controlled_len)
                if ev.end_stream:
                    state.recv_close()
                if ev.flow_controlled_len:
                    recv.inc_window(ev.flow_controlled_len)
                    self.out += self.codec.serialize_window_update(ev.stream_id, ev.flow_controlled_len)
                    self.out += self.codec.serialize_window_update(0, ev.flow_controlled_len)
            elif kind == "H2FrameWindowUpdate":
                (self.send_conn if ev.stream_id == 0 else self.stream(ev.stream_id)[1]).inc_window(ev.increment)
            elif kind == "H2FrameRstStream":
                self.stream(ev.stream_id)[0].recv_reset(ev.stream_id, ev.error_code, False)
            elif kind == "H2FrameStreamError":
                self.out += self.codec.serialize_rst_stream(ev.stream_id, ev.error_code)

    def send_headers(self, sid, end_stream, **kw):
        self.stream(sid)[0].send_open(end_stream)
        if "status" in kw:
            self.out += self.codec.serialize_response_headers(sid, kw["status"], kw.get("headers"), end_stream)
        else:
            self.out += self.codec.serialize_request_headers(sid, kw["method"], kw["url"], kw.get("headers"),
                                                             end_stream)

    def send_data(self, sid, data, end_stream=False):
        state, send, _ = self.stream(sid)
        step = self.peer_frame
        for at in range(0, max(len(data), 1), step):
            chunk = data[at:at + step]
            assert send.window_size() >= len(chunk) and self.send_conn.window_size() >= len(chunk)
            send.send_data(len(chunk))
            self.send_conn.send_data(len(chunk))
            self.out += self.codec.serialize_data(sid, chunk, end_stream and at + step >= len(data))
        if end_stream:
            state.send_close()

    def take(self):
        data, self.out = bytes(self.out), bytearray()
        return data


def pump(ours, theirs, peer_events):
    for _ in range(10):
        data = ours.take()
        if data:
            peer_events += theirs.receive_data(data)
        back = theirs.data_to_send()
        if not data and not back:
            return
        if back:
            ours.feed(back)


def test_h2_server_with_our_client():
    client = Driver("client")
    server = h2conn.H2Connection(h2config.H2Configuration(client_side=False, header_encoding=None))
    server.initiate_connection()
    events = []
    pump(client, server, events)
    body = bytes(range(256)) * 200  # 51200 octets: several frames and window updates
    client.send_headers(1, False, method="POST", url="https://example.com/up",
                        headers=m.HeaderMap([("content-type", "application/octet-stream")]))
    client.send_data(1, body)
    client.out += client.codec.serialize_trailers(1, m.HeaderMap([("x-checksum", "42")]))
    client.stream(1)[0].send_close()
    client.send_headers(3, True, method="GET", url="https://example.com/")
    client.out += client.codec.serialize_ping(b"ping0001")
    pump(client, server, events)
    got = {}
    for ev in events:
        if isinstance(ev, h2events.DataReceived):
            got[ev.stream_id] = got.get(ev.stream_id, b"") + ev.data
            server.acknowledge_received_data(ev.flow_controlled_length, ev.stream_id)
    requests = [e for e in events if isinstance(e, h2events.RequestReceived)]
    assert [dict(e.headers)[b":path"] for e in requests] == [b"/up", b"/"]
    assert got[1] == body
    trailers = [e for e in events if isinstance(e, h2events.TrailersReceived)]
    assert dict(trailers[0].headers)[b"x-checksum"] == b"42"
    assert any(isinstance(e, h2events.PingReceived) and e.ping_data == b"ping0001" for e in events)
    for sid in (1, 3):
        server.send_headers(sid, [(b":status", b"200"), (b"server", b"h2")])
        for _ in range(3 if sid == 1 else 1):
            server.send_data(sid, b"r" * (10000 if sid == 1 else 10))
        server.send_headers(sid, [(b"x-done", b"yes")], end_stream=True)
    server.ping(b"pingpong")
    server.close_connection(error_code=0, additional_data=b"bye")
    client.feed(server.data_to_send())  # the server is closed: nothing goes back
    kinds = [type(e).__name__ for e in client.received]
    assert "H2FrameGoAway" in kinds and client.received[-1].debug_data == b"bye"
    heads = [e for e in client.received if type(e).__name__ == "H2FrameHeaders"]
    assert [(h.stream_id, h.status, h.end_stream) for h in heads] == [(1, 200, False), (1, None, True),
                                                                     (3, 200, False), (3, None, True)]
    assert heads[0].headers.items() == [("server", b"h2")] and heads[1].headers.items() == [("x-done", b"yes")]
    data = b"".join(e.data for e in client.received if type(e).__name__ == "H2FrameData" and e.stream_id == 1)
    assert data == b"r" * 30000
    assert any(type(e).__name__ == "H2FramePing" and e.ack for e in client.received)


def test_h2_client_with_our_server():
    server = Driver("server")
    client = h2conn.H2Connection(h2config.H2Configuration(client_side=True, header_encoding=None))
    client.initiate_connection()
    events = []
    server.feed(client.data_to_send())
    pump(server, client, events)
    client.send_headers(1, [(b":method", b"PUT"), (b":scheme", b"https"), (b":authority", b"h"),
                            (b":path", b"/f"), (b"x-a", b"1"), (b"x-a", b"2")])
    for _ in range(3):
        client.send_data(1, b"q" * 16000)
    client.send_headers(1, [(b"x-trailer", b"t")], end_stream=True)
    client.increment_flow_control_window(1000)
    client.ping(b"12345678")
    server.feed(client.data_to_send())
    heads = [e for e in server.received if type(e).__name__ == "H2FrameHeaders"]
    assert (heads[0].method, heads[0].path, heads[0].headers.get_all("x-a")) == ("PUT", "/f", [b"1", b"2"])
    assert heads[1].end_stream and heads[1].headers.items() == [("x-trailer", b"t")]
    data = b"".join(e.data for e in server.received if type(e).__name__ == "H2FrameData")
    assert data == b"q" * 48000
    server.send_headers(1, False, status=201, headers=m.HeaderMap([("location", "/f")]))
    server.send_data(1, b"created", end_stream=True)
    server.out += server.codec.serialize_go_away(1, 0, b"done")
    pump(server, client, events)
    responses = [e for e in events if isinstance(e, h2events.ResponseReceived)]
    assert dict(responses[0].headers)[b":status"] == b"201"
    assert b"".join(e.data for e in events if isinstance(e, h2events.DataReceived)) == b"created"
    assert any(isinstance(e, h2events.StreamEnded) for e in events)
    assert any(isinstance(e, h2events.PingAckReceived) for e in events)
    assert any(isinstance(e, h2events.ConnectionTerminated) and e.additional_data == b"done" for e in events)
