"""The sans-IO HTTP/2 client connection, driven by bytes only, with h2 as an
independent server, and hand-made frames for what h2 will not send."""

import random

import h2.config
import h2.connection
import h2.events
import h2.settings
import pytest

from vintrel._vintrel import H2Codec, HeaderMap
from vintrel.client._events import (
    BodyReceived,
    ConnectionEnded,
    InformationalReceived,
    ResponseEnded,
    ResponseReceived,
    StreamAborted,
)
from vintrel.client._h2 import H2ClientConnection
from wire import frame

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"


class Pair:
    """Our client and an h2 server, bytes moved by hand (in pieces of at
    most `cut` octets when given)."""

    def __init__(self, cut=None, settings=None, ack=True, **kw):
        self.client = H2ClientConnection(**kw)
        cfg = h2.config.H2Configuration(client_side=False, header_encoding=None)
        self.server = h2.connection.H2Connection(cfg)
        self.server.initiate_connection()
        if settings:
            self.server.update_settings(settings)
        self.cut = cut
        self.ack = ack
        self.events = []
        self.server_events = []
        self.pump()

    def pieces(self, data):
        if self.cut is None:
            yield data
            return
        rng = random.Random(len(data))
        at = 0
        while at < len(data):
            n = rng.randint(1, self.cut)
            yield data[at:at + n]
            at += n

    def pump(self):
        for _ in range(200):
            out = self.client.data_to_send()
            for piece in self.pieces(out):
                for e in self.server.receive_data(piece):
                    self.server_events.append(e)
                    if self.ack and isinstance(e, h2.events.DataReceived):
                        self.server.acknowledge_received_data(e.flow_controlled_length, e.stream_id)
            back = self.server.data_to_send()
            for piece in self.pieces(back):
                self.events += self.client.receive(piece)
            self.events += self.client.take_events()
            if not out and not back:
                return

    def consume(self):
        for e in self.events:
            if isinstance(e, BodyReceived):
                self.client.body_consumed(e.stream_id, len(e.data))
        self.pump()

    def of(self, cls, events=None):
        return [e for e in (self.events if events is None else events) if isinstance(e, cls)]

    def server_of(self, cls):
        return [e for e in self.server_events if isinstance(e, cls)]

    def respond(self, sid, status=200, body=b"", headers=(), trailers=None, end=True):
        self.server.send_headers(sid, [(b":status", str(status).encode()), *headers], end_stream=end and not body
                                 and trailers is None)
        at = 0
        while at < len(body):
            n = min(self.server.local_flow_control_window(sid), self.server.max_outbound_frame_size, len(body) - at)
            if n == 0:
                self.pump()
                self.consume()
                continue
            last = at + n == len(body)
            self.server.send_data(sid, body[at:at + n], end_stream=end and last and trailers is None)
            at += n
        if trailers is not None:
            self.server.send_headers(sid, trailers, end_stream=True)
        self.pump()


class Raw:
    """Our client against hand-made server frames."""

    def __init__(self, **kw):
        self.client = H2ClientConnection(**kw)
        self.codec = H2Codec("server")
        out = self.client.data_to_send()
        assert out.startswith(PREFACE)
        self.codec.receive(out[len(PREFACE):])
        self.events = self.client.receive(self.codec.serialize_settings())

    def get(self, method="GET", end_stream=True):
        sid = self.client.start_request(method, "/", [], authority="a", end_stream=end_stream)
        self.sent()
        return sid

    def head(self, sid, status, fields=(), end=False):
        return self.codec.serialize_response_headers(sid, status, HeaderMap(list(fields)), end)

    def feed(self, data):
        self.events += self.client.receive(data)
        return self.events

    def sent(self):
        return self.codec.receive(self.client.data_to_send())


def kinds(frames):
    return [type(f).__name__ for f in frames]


_SIGNATURES = {}  # the first delivery's events, for the others to match


@pytest.mark.parametrize("cut", [None, 1, 7, 100])
def test_exchanges_give_the_same_events_however_the_bytes_are_cut(cut):
    p = Pair(cut=cut, settings={h2.settings.SettingCodes.MAX_CONCURRENT_STREAMS: 10}, stream_buffer=65535)
    c = p.client
    assert c.max_streams == 10 and c.open_streams == 0
    # Without a body; with a large body and trailers each way; HEAD.
    s1 = c.start_request("GET", "/a?b=1", [(b"Host", b"ignored"), (b"Connection", b"close"), (b"x", b"1")],
                         authority="example.com", end_stream=True)
    upload = bytes(range(256)) * 1200  # 307,200 octets: several windows
    s3 = c.start_request("POST", "/up", [(b"te", b"trailers"), (b"content-length", b"%d" % len(upload))],
                         scheme="http", authority="example.com")
    c.send_body(s3, upload[:1000])
    c.send_body(s3, upload[1000:])
    c.send_trailers(s3, [(b"x-sum", b"abc"), (b"connection", b"x")])
    s5 = c.start_request("HEAD", "/h", [], authority="example.com", end_stream=True)
    assert (s1, s3, s5) == (1, 3, 5)
    p.pump()
    reqs = p.server_of(h2.events.RequestReceived)
    assert [dict(r.headers)[b":path"] for r in reqs] == [b"/a?b=1", b"/up", b"/h"]
    h1 = reqs[0].headers
    assert (b":authority", b"example.com") in h1 and (b":scheme", b"https") in h1 and (b"x", b"1") in h1
    assert not any(n in (b"host", b"connection") for n, _ in h1)
    assert (b":scheme", b"http") in reqs[1].headers and (b"te", b"trailers") in reqs[1].headers
    got = b"".join(e.data for e in p.server_of(h2.events.DataReceived) if e.stream_id == 3)
    assert got == upload and c.pending(3) == 0
    assert [t.headers for t in p.server_of(h2.events.TrailersReceived)] == [[(b"x-sum", b"abc")]]

    big = bytes(range(251)) * 1000
    p.server.send_headers(1, [(b":status", b"100")])
    p.respond(1, 200, big, headers=[(b"content-length", b"%d" % len(big))], trailers=[(b"x-t", b"1")])
    p.respond(3, 201)
    p.respond(5, 200, headers=[(b"content-length", b"1234")])
    p.consume()
    ev = p.events
    assert p.of(InformationalReceived) == [InformationalReceived(1, 100, [])]
    heads = {e.stream_id: e for e in p.of(ResponseReceived)}
    assert heads[1].status == 200 and heads[1].http_version == "2" and not heads[1].end_stream
    assert heads[3].end_stream and heads[5].end_stream  # HEAD: no body whatever the length says
    assert b"".join(e.data for e in ev if isinstance(e, BodyReceived) and e.stream_id == 1) == big
    ends = {e.stream_id: e.trailers for e in p.of(ResponseEnded)}
    assert ends == {1: [(b"x-t", b"1")], 3: None, 5: None}
    assert not p.of(StreamAborted)
    for sid in (1, 3, 5):
        c.stream_done(sid)
    assert c.open_streams == 0 and c.can_start
    # The same run, however cut, gives the same events.
    signature = [type(e).__name__ + str(getattr(e, "stream_id", "")) for e in ev]
    assert signature == _SIGNATURES.setdefault("exchange", signature)
    c.close()
    assert p.of(ConnectionEnded, c.take_events()) == [ConnectionEnded(0, "connection finished")]
    p.pump()
    assert p.server_of(h2.events.ConnectionTerminated)[0].last_stream_id == 0


def test_preface_settings_and_stream_limits():
    r = Raw(max_head_size=1000, stream_buffer=70000)
    c = H2ClientConnection(max_head_size=1000, stream_buffer=70000, connection_buffer=100000)
    out = c.data_to_send()
    frames = H2Codec("server").receive(out[len(PREFACE):])
    assert kinds(frames) == ["H2FrameSettings", "H2FrameWindowUpdate"]
    s = frames[0]
    assert (s.enable_push, s.initial_window_size, s.max_header_list_size) == (False, 70000, 1000)
    assert frames[1].increment == 100000 - 65535
    # 100 streams are assumed before the server's SETTINGS; after a SETTINGS
    # without the limit there is none.
    assert c.max_streams == 100
    assert r.client.max_streams == 2**31 - 1
    r.feed(r.codec.serialize_settings(max_concurrent_streams=1))
    assert r.client.max_streams == 1
    sid = r.get()
    assert not r.client.can_start and r.client.reusable
    with pytest.raises(RuntimeError):
        r.client.start_request("GET", "/", [], authority="a")
    r.feed(r.head(sid, 204, end=True))
    assert r.events[-2:] == [ResponseReceived(1, 204, [], "2", True), ResponseEnded(1, None)]
    assert not r.client.can_start  # the caller still holds it
    r.client.stream_done(sid)
    assert r.client.can_start and r.client.open_streams == 0
    # The host field is the authority when none is given.
    r.client.start_request("GET", "/p", [(b"host", b"h.example")], end_stream=True)
    (head,) = r.sent()
    assert (head.authority, head.path, head.scheme) == ("h.example", "/p", "https")


@pytest.mark.parametrize(
    "status, fields, frames, outcome",
    [
        (200, [("content-length", "5")], [(b"abc", False), (b"", True)], "short"),
        (200, [("content-length", "2")], [(b"abc", True)], "long"),
        (200, [("content-length", "3")], [(b"abc", True)], "ok"),
        (200, [("content-length", "3")], "end-on-head", "short"),
        (101, [], [], "bad-1xx"),
        (204, [], [(b"x", True)], "long-after-end"),
    ],
)
def test_response_checks(status, fields, frames, outcome):
    r = Raw()
    sid = r.get()
    if frames == "end-on-head":
        r.feed(r.head(sid, status, fields, end=True))
    else:
        r.feed(r.head(sid, status, fields))
        for data, end in frames:
            r.feed(r.codec.serialize_data(sid, data, end))
    aborted = [e for e in r.events if isinstance(e, StreamAborted)]
    sent = r.sent()
    if outcome == "ok":
        assert r.events[-1] == ResponseEnded(sid, None) and not aborted
    elif outcome == "long-after-end":
        # Ended with its head; the stray DATA costs the stream, silently.
        assert r.events[-1] == ResponseEnded(sid, None) and not aborted
        assert [f.error_code for f in sent if type(f).__name__ == "H2FrameRstStream"] == [1]
    else:
        assert aborted == [StreamAborted(sid, 1, aborted[0].reason, False)]
        assert not any(isinstance(e, ResponseEnded) for e in r.events)
        assert [f.error_code for f in sent if type(f).__name__ == "H2FrameRstStream"] == [1]
        assert r.client.open_streams == 0 and r.client.can_start


@pytest.mark.parametrize("code, retryable", [(0, False), (7, True), (8, False)])
def test_reset_by_server_before_the_response_ended(code, retryable):
    r = Raw()
    sid = r.get()
    r.feed(r.head(sid, 200))
    r.feed(r.codec.serialize_rst_stream(sid, code))
    assert r.events[-1] == StreamAborted(sid, code, "stream reset by peer", retryable)
    assert r.client.open_streams == 0
    r.client.send_body(sid, b"dropped")  # silently
    assert r.client.data_to_send() == b""


def test_early_complete_response_stops_the_upload_and_is_kept():
    p = Pair(ack=False)
    c = p.client
    sid = c.start_request("POST", "/", [], authority="a")
    c.send_body(sid, b"x" * 200_000)  # more than the default windows
    p.pump()
    assert c.pending(sid) > 0
    p.respond(sid, 413, b"no")
    assert [type(e).__name__ for e in p.events] == ["ResponseReceived", "BodyReceived", "ResponseEnded"]
    assert [e.error_code for e in p.server_of(h2.events.StreamReset)] == [8]  # the upload is cancelled
    assert c.pending(sid) == 0
    c.send_body(sid, b"more", end_stream=True)  # dropped silently
    c.send_trailers(sid, [(b"a", b"b")])
    p.pump()
    assert c.data_to_send() == b""
    c.stream_done(sid)
    assert c.open_streams == 0 and c.can_start


def test_reset_after_a_complete_response_keeps_it():
    r = Raw()
    sid = r.client.start_request("PUT", "/", [], authority="a")
    r.client.send_body(sid, b"part")
    r.feed(r.head(sid, 200, end=True))
    r.sent()
    r.feed(r.codec.serialize_rst_stream(sid, 0))
    assert [type(e).__name__ for e in r.events[-2:]] == ["ResponseReceived", "ResponseEnded"]
    r.client.send_body(sid, b"more", end_stream=True)
    assert r.sent() == [] and r.client.open_streams == 1
    r.client.stream_done(sid)
    assert r.client.open_streams == 0 and r.sent() == []


def test_goaway_aborts_the_unprocessed_streams_and_ends_when_the_rest_are_done():
    r = Raw()
    s1, s3, s5 = r.get(), r.get(), r.get()
    r.feed(r.codec.serialize_go_away(s1, 0))
    assert r.events[-2:] == [
        StreamAborted(s3, 7, "not processed by the server (GOAWAY)", True),
        StreamAborted(s5, 7, "not processed by the server (GOAWAY)", True),
    ]
    assert not r.client.can_start and not r.client.reusable and not r.client.ended
    r.feed(r.head(s1, 200, end=True))
    assert r.events[-1] == ResponseEnded(s1, None)
    r.client.stream_done(s1)
    assert r.client.take_events() == [ConnectionEnded(0, "connection finished")] and r.client.ended


def test_goaway_with_an_error_ends_at_once():
    r = Raw()
    s1, s3 = r.get(), r.get()
    events = r.feed(r.codec.serialize_go_away(s1, 2, b"bye"))
    assert events[-3:] == [
        StreamAborted(s3, 7, "not processed by the server (GOAWAY)", True),
        StreamAborted(s1, 2, "GOAWAY received (2)", False),
        ConnectionEnded(2, "GOAWAY received (2)"),
    ]
    assert r.client.ended and r.sent()[0].error_code == 0


@pytest.mark.parametrize(
    "attack, code",
    [
        ("push", 1),
        ("flood", 11),
        ("data-idle", 1),
        ("headers-even", 1),
    ],
)
def test_hostile_server_gets_a_connection_error(attack, code):
    r = Raw(max_control_frames=50)
    sid = r.get()
    if attack == "push":
        data = frame(5, 4, sid, b"\x00\x00\x00\x02" + b"\x82")
    elif attack == "flood":
        data = b"".join(r.codec.serialize_ping(b"12345678") for _ in range(51))
    elif attack == "data-idle":
        data = r.codec.serialize_data(9, b"x")
    else:
        data = r.head(2, 200)
    events = r.feed(data)
    assert events[-2] == StreamAborted(sid, code, events[-2].reason, False)
    assert isinstance(events[-1], ConnectionEnded) and events[-1].error_code == code
    assert r.sent()[-1].error_code == code and r.client.ended and not r.client.can_start


def test_truncated_head_is_a_stream_error_and_reset_streams_ignore_data():
    r = Raw(max_head_size=200)
    s1, s3 = r.get(), r.get()
    r.feed(r.head(s1, 200, [("x-big", "v" * 300)]))
    assert r.events[-1] == StreamAborted(s1, 1, "response head larger than max_head_size", False)
    assert [f.error_code for f in r.sent()] == [1]
    r.client.reset_stream(s3)
    assert r.client.take_events() == []
    (rst,) = r.sent()
    assert (rst.stream_id, rst.error_code) == (s3, 8)
    before = len(r.events)
    r.feed(r.codec.serialize_data(s3, b"late") + r.codec.serialize_data(s1, b"late"))
    assert len(r.events) == before and not r.client.ended
    assert r.sent() == []  # nothing owed but window credit (none yet)
    assert r.client.open_streams == 0


def test_stream_done_returns_unread_credit_and_close_waits_for_open_streams():
    r = Raw(stream_buffer=65535, connection_buffer=65535)
    s1, s3 = r.get(), r.get()
    r.feed(r.head(s1, 200) + r.codec.serialize_data(s1, b"x" * 16384) + r.codec.serialize_data(s1, b"y" * 16384))
    r.feed(r.codec.serialize_data(s1, b"z" * 10, True))
    assert r.sent() == []
    r.client.close()
    (goaway,) = r.sent()
    assert (goaway.last_stream_id, goaway.error_code) == (0, 0)
    assert not r.client.can_start and not r.client.ended
    r.client.stream_done(s1)  # 32,778 unread octets come back to the connection
    (update,) = r.sent()
    assert (update.stream_id, update.increment) == (0, 32778)
    r.client.reset_stream(s3)
    assert r.client.take_events() == [ConnectionEnded(0, "connection finished")]
    assert r.client.ended
