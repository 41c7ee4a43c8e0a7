"""The sans-IO HTTP/2 server connection, driven by bytes only, with h2 as
an independent client: exchanges, windows, limits and floods."""

import hashlib
import random
import struct

import h2.config
import h2.connection
import h2.events
import h2.exceptions
import pytest

from vintrel.server._events import BodyReceived, ConnectionEnded, RequestEnded, RequestReceived, StreamAborted
from vintrel.server._h2 import H2ServerConnection
from vintrel.server._limits import Limits
from wire import frame

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
# GET http://a/ in static-table indices and a literal left out of the table.
RAW_GET = b"\x82\x86\x84\x01\x01a"
GET = [(":method", "GET"), (":scheme", "http"), (":authority", "example.com"), (":path", "/x?y=1")]


class Pair:
    """An h2 client and our server connection, bytes moved by hand (in
    pieces of `cut` octets when given, to prove no event depends on how the
    transport cut the bytes)."""

    def __init__(self, limits=Limits(), cut=None, window=None):
        cfg = h2.config.H2Configuration(client_side=True, header_encoding=None)
        self.client = h2.connection.H2Connection(cfg)
        self.client.initiate_connection()
        if window is not None:
            self.client.update_settings({h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: window})
        self.server = H2ServerConnection(limits)
        self.cut = cut
        self.events = []  # ours
        self.client_events = []
        self.pump()

    def to_server(self, data):
        if self.cut is None:
            self.events += self.server.receive(data)
            return
        rng = random.Random(len(data))
        at = 0
        while at < len(data):
            n = rng.randint(1, self.cut)
            self.events += self.server.receive(data[at:at + n])
            at += n

    def pump(self):
        for _ in range(50):
            out = self.client.data_to_send()
            if out:
                self.to_server(out)
            back = self.server.data_to_send()
            if back:
                self.client_events += self.client.receive_data(back)
                continue
            if not out:
                return

    def of(self, cls):
        return [e for e in self.events if isinstance(e, cls)]

    def client_of(self, cls):
        return [e for e in self.client_events if isinstance(e, cls)]

    def send(self, sid, data, end_stream=False):
        for at in range(0, len(data), 16384):
            self.client.send_data(sid, data[at:at + 16384], end_stream=end_stream and at + 16384 >= len(data))

    def consume_all(self):
        for e in self.of(BodyReceived):
            self.server.body_consumed(e.stream_id, len(e.data))


@pytest.mark.parametrize("cut", [None, 1, 7, 100])
def test_an_exchange_reads_the_same_however_the_bytes_are_cut(cut):
    p = Pair(cut=cut)
    body = bytes(range(256)) * 300  # past one window of 64 KiB
    p.client.send_headers(1, GET + [("te", "trailers"), ("x-a", "1")])
    p.send(1, body[:60000])
    p.pump()
    p.consume_all()
    p.pump()
    p.send(1, body[60000:], end_stream=True)
    p.pump()
    [req] = p.of(RequestReceived)
    assert (req.method, req.target, req.http_version, req.scheme) == ("GET", "/x?y=1", "2", "http")
    assert req.headers == [(b"host", b"example.com"), (b"te", b"trailers"), (b"x-a", b"1")]
    assert req.trailers_accepted and not req.end_stream
    assert b"".join(e.data for e in p.of(BodyReceived)) == body
    assert p.of(RequestEnded) == [RequestEnded(1, None)]
    answer = bytes(100000)
    p.server.start_response(1, 200, [(b"content-type", b"x/y"), (b"connection", b"close")])
    p.server.send_body(1, answer)
    p.server.send_trailers(1, [(b"x-sum", hashlib.sha256(answer).hexdigest().encode())])
    p.pump()
    # The client's window is 64 KiB: the rest waits for its WINDOW_UPDATEs.
    for e in p.client_of(h2.events.DataReceived):
        p.client.acknowledge_received_data(e.flow_controlled_length, 1)
    p.pump()
    [resp] = p.client_of(h2.events.ResponseReceived)
    assert (b"connection", b"close") not in resp.headers  # an HTTP/1.1 field is not sent on HTTP/2
    got = b"".join(e.data for e in p.client_of(h2.events.DataReceived))
    assert got == answer
    [trailers] = p.client_of(h2.events.TrailersReceived)
    assert trailers.headers == [(b"x-sum", hashlib.sha256(answer).hexdigest().encode())]
    assert p.server.pending(1) == 0
    p.server.application_done(1)
    assert p.server.open_streams == 0


def test_body_credit_returns_only_as_the_application_reads():
    p = Pair()
    p.client.send_headers(1, [(":method", "POST")] + GET[1:])
    sent = 0
    with pytest.raises(h2.exceptions.FlowControlError):
        while True:
            p.client.send_data(1, b"z" * 16384)
            sent += 16384
    p.pump()
    # Our stream window (1 MiB by default) bounds what one stream may hold unread.
    assert sent == Limits().stream_buffer
    assert sum(len(e.data) for e in p.of(BodyReceived)) == sent
    p.consume_all()
    p.pump()
    assert p.client.local_flow_control_window(1) > 0


@pytest.mark.parametrize("status, method", [(204, "GET"), (304, "GET"), (200, "HEAD")])
def test_no_body_on_head_204_304(status, method):
    p = Pair()
    p.client.send_headers(1, [(":method", method)] + GET[1:], end_stream=True)
    p.pump()
    with pytest.raises(ValueError):
        p.server.start_response(1, 101, [])  # no upgrades on HTTP/2
    p.server.start_response(1, status, [(b"content-length", b"5")])
    p.server.send_body(1, b"hello", end_stream=True)
    p.pump()
    assert p.client_of(h2.events.DataReceived) == []
    assert len(p.client_of(h2.events.StreamEnded)) == 1


def test_limits_and_their_answers():
    small = Limits(max_head_size=400, max_body_size=10, max_concurrent_streams=2)
    p = Pair(small)
    p.client.send_headers(1, GET + [("x-big", "v" * 500)], end_stream=True)
    p.client.send_headers(3, [(":method", "POST")] + GET[1:] + [("content-length", "11")])
    p.pump()
    p.client.send_headers(5, [(":method", "POST")] + GET[1:])
    p.client.send_data(5, b"0123456789a")
    p.pump()
    statuses = {e.stream_id: dict(e.headers)[b":status"] for e in p.client_of(h2.events.ResponseReceived)}
    assert statuses == {1: b"431", 3: b"413", 5: b"413"}
    assert [(e.stream_id, e.reason) for e in p.of(StreamAborted)] == [(5, "request body too large")]
    assert [e.stream_id for e in p.of(RequestReceived)] == [5]
    # The application of stream 5 still runs: it counts until it ends.
    p.client.send_headers(7, GET, end_stream=True)
    p.pump()
    p.to_server(frame(1, 5, 9, RAW_GET))  # past the limit h2 itself keeps to
    assert p.server.data_to_send() == frame(3, 0, 9, struct.pack(">I", 7))  # REFUSED_STREAM
    assert [e.stream_id for e in p.of(RequestReceived)] == [5, 7]
    p.server.application_done(5)
    p.to_server(frame(1, 5, 11, RAW_GET))
    p.pump()
    assert [e.stream_id for e in p.of(RequestReceived)] == [5, 7, 11]


@pytest.mark.parametrize("headers, ok", [
    (GET, True),
    ([h for h in GET if h[0] != ":path"], False),
    ([h for h in GET if h[0] != ":scheme"], False),
    ([(":method", "CONNECT"), (":authority", "example.com:443")], True),
])
def test_requests_missing_pseudo_headers_are_reset(headers, ok):
    p = Pair()
    cfg = p.client.config
    cfg.validate_outbound_headers = False
    p.client.send_headers(1, headers, end_stream=True)
    p.pump()
    assert bool(p.of(RequestReceived)) == ok
    assert bool(p.client_of(h2.events.StreamReset)) != ok


@pytest.mark.parametrize("declared, sent", [(5, b"1234"), (3, b"1234")])
def test_content_length_must_match_the_body(declared, sent):
    p = Pair()
    p.client.config.validate_outbound_headers = False
    p.client.send_headers(1, [(":method", "POST")] + GET[1:] + [("content-length", str(declared))])
    p.client.send_data(1, sent, end_stream=True)
    p.pump()
    assert [e.error_code for e in p.client_of(h2.events.StreamReset)] == [1]
    assert [e.stream_id for e in p.of(StreamAborted)] == [1]
    assert p.of(RequestEnded) == []


def test_frames_on_a_stream_we_reset_are_ignored():
    p = Pair()
    p.client.send_headers(1, [(":method", "POST")] + GET[1:])
    p.pump()
    p.server.reset_stream(1)
    raw = frame(0, 0, 1, b"late") + frame(1, 4, 1, b"\x82")  # DATA, then trailers-like HEADERS
    p.server.receive(raw)
    out = p.server.data_to_send()
    assert not p.server.ended
    # Only the reset itself and connection credit: no new RST for the late frames.
    assert out.count(b"\x00\x00\x04\x03\x00\x00\x00\x00\x01") == 1


def test_a_reset_flood_ends_the_connection():
    p = Pair()
    wire = b""
    for sid in range(1, 2 * 1100, 2):
        wire += frame(1, 5, sid, RAW_GET) + frame(3, 0, sid, struct.pack(">I", 8))
    events = p.server.receive(wire)
    assert isinstance(events[-1], ConnectionEnded) and events[-1].error_code == 11
    assert p.server.ended


def test_a_ping_flood_ends_the_connection():
    p = Pair(Limits(max_control_frames=100))
    events = p.server.receive(frame(6, 0, 0, b"12345678") * 101)
    assert events[-1] == ConnectionEnded(11, "too many frames without a request")


def test_shutdown_lets_streams_finish_and_refuses_new_ones():
    p = Pair()
    p.client.send_headers(1, GET, end_stream=True)
    p.pump()
    p.server.shutdown()
    p.pump()
    # A stream the client opened before it read the GOAWAY is not served.
    p.server.receive(frame(1, 5, 3, RAW_GET))
    assert p.server.data_to_send() == b""
    assert [e.stream_id for e in p.of(RequestReceived)] == [1]
    [goaway] = p.client_of(h2.events.ConnectionTerminated)
    assert (goaway.error_code, goaway.last_stream_id) == (0, 1)
    assert not p.server.ended
    p.server.start_response(1, 200, [], end_stream=True)
    p.server.application_done(1)
    assert p.server.ended


def test_bad_preface_and_protocol_errors_end_with_goaway():
    s = H2ServerConnection()
    events = s.receive(b"GET / HTTP/1.1\r\n\r\n")
    assert isinstance(events[-1], ConnectionEnded) and s.ended
    s = H2ServerConnection()
    events = s.receive(PREFACE + frame(1, 5, 2, b"\x82"))  # an even stream id
    assert events[-1] == ConnectionEnded(1, "client opened an even stream")


def test_peer_eof_aborts_what_runs():
    p = Pair()
    p.client.send_headers(1, GET, end_stream=True)
    p.pump()
    assert p.server.receive_eof() == [StreamAborted(1, 8, "connection closed by peer"),
                                      ConnectionEnded(0, "connection closed by peer")]
