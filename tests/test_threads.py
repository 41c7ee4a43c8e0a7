"""Several threads driving one object end with exact counts."""

import threading

import pytest

import vintrel._vintrel as m

THREADS = 8
ROUNDS = 5000


def run_threads(target):
    barrier = threading.Barrier(THREADS)
    errors = []

    def worker(i):
        barrier.wait()
        try:
            target(i)
        except BaseException as e:  # surfaced below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_flow_control_counts_are_exact():
    fc = m.H2FlowControl()

    def work(_):
        for _ in range(ROUNDS):
            fc.inc_window(3)
            fc.assign_capacity(2)
            fc.send_data(1)
            fc.claim_capacity(1)

    run_threads(work)
    n = THREADS * ROUNDS
    assert fc.window_size() == 2 * n
    assert fc.available() == 0


def test_flow_control_refuses_exactly_at_the_limit():
    fc = m.H2FlowControl()
    fc.inc_window(2**31 - 1 - THREADS * ROUNDS // 2)
    accepted = []
    refused = []

    def work(_):
        ok = bad = 0
        for _ in range(ROUNDS):
            try:
                fc.inc_window(1)
                ok += 1
            except m.H2FlowControlError:
                bad += 1
        accepted.append(ok)
        refused.append(bad)

    run_threads(work)
    assert sum(accepted) == THREADS * ROUNDS // 2
    assert sum(refused) == THREADS * ROUNDS // 2
    assert fc.window_size() == 2**31 - 1


@pytest.mark.skipif(not hasattr(m, "H2StreamState"), reason="H2StreamState not built")
def test_stream_state_transitions_happen_once():
    opened = []
    rounds = 500
    states = [m.H2StreamState() for _ in range(rounds)]

    received = []

    def work(_):
        sent = got = 0
        for s in states:
            try:
                s.send_open(False)
                sent += 1
            except m.H2UserError as e:
                assert e.args == ("unexpected_frame_type", "unexpected frame type")
            try:
                assert s.recv_open(False, False) is False
                got += 1
            except m.H2ProtocolError as e:
                assert e.args == (1, "unspecific protocol error detected")
        opened.append(sent)
        received.append(got)

    run_threads(work)
    assert sum(opened) == rounds
    assert sum(received) == rounds
    assert all(repr(s) == "Open { local: Streaming, remote: Streaming }" for s in states)


@pytest.mark.skipif(not hasattr(m, "HeaderMap"), reason="HeaderMap not built")
def test_header_map_reads_stay_consistent_while_others_write():
    hm = m.HeaderMap([(f"k{i}", f"{i}") for i in range(8)])

    def work(i):
        for r in range(2000):
            name = f"k{(i + r) % 8}"
            if i % 2:
                hm[name] = f"{(i + r) % 8}"     # the same text the name started with
                if r % 50 == 0:
                    hm.add(f"x{i}", "v")
                    del hm[f"x{i}"]
            else:
                value = hm.get(name)
                assert value is None or value == name[1:].encode()

    run_threads(work)
    assert sorted(hm.keys()) == [f"k{i}" for i in range(8)]
    assert all(hm.get_all(f"k{i}") == [str(i).encode()] for i in range(8))


@pytest.mark.skipif(not hasattr(m, "H1Codec"), reason="H1Codec not built")
def test_h1_codec_serves_every_thread_whole_heads():
    # Each thread feeds a whole request and takes what follows it: heads
    # never interleave and no byte is lost or duplicated.
    c = m.H1Codec()
    heads, bodies = [], []

    def work(i):
        for k in range(ROUNDS // 10):
            head = c.receive_request_head(b"GET /%d/%d HTTP/1.1\r\nx: y\r\n\r\n" % (i, k))
            if head is not None:
                heads.append(head.target)
            bodies.append(c.take_body())
            c.serialize_response(200, content_length=1)
            c.serialize_data(b"x")

    run_threads(work)
    assert len(heads) == THREADS * (ROUNDS // 10)
    assert b"".join(bodies) == b""


@pytest.mark.skipif(not hasattr(m, "H1BodyDecoder"), reason="H1BodyDecoder not built")
def test_h1_body_decoder_hands_out_every_byte_once():
    d = m.H1BodyDecoder("close")
    out = []

    def work(i):
        piece = bytes([65 + i]) * 100
        for _ in range(ROUNDS // 10):
            d.feed(piece)
            while (chunk := d.decode()) is not None:
                out.append(chunk)

    run_threads(work)
    got = b"".join(out) + d.take_buffered()
    assert len(got) == THREADS * (ROUNDS // 10) * 100
    for i in range(THREADS):
        assert got.count(bytes([65 + i])) == (ROUNDS // 10) * 100


@pytest.mark.skipif(not hasattr(m, "H2Codec"), reason="H2Codec not built")
def test_h2_codec_blocks_and_frames_stay_whole():
    # With the table off every block stands alone, so blocks made by
    # several threads at once must each decode to their own fields.
    sender = m.H2Codec()
    sender.set_send_header_table_size(0)
    rounds = 300
    made = [[] for _ in range(THREADS)]

    def send(i):
        for r in range(rounds):
            h = m.HeaderMap([("x-thread", str(i)), ("x-round", str(r))])
            made[i].append(sender.serialize_request_headers(2 * r + 1, "GET", f"/t{i}", h))

    run_threads(send)
    receiver = m.H2Codec("server")
    receiver.set_recv_header_table_size(0)
    for i, blocks in enumerate(made):
        for r, block in enumerate(blocks):
            [ev] = receiver.receive(block)
            assert (ev.path, ev.headers.items()) == (f"/t{i}", [("x-thread", str(i).encode()),
                                                                ("x-round", str(r).encode())])

    # Receiving threads each feed whole frames: every payload arrives intact.
    frames = b"".join(sender.serialize_data(1, bytes([i]) * 1000) for i in range(6))
    got = []

    def recv(_):
        for _ in range(200):
            got.extend(receiver.receive(frames))

    run_threads(recv)
    assert receiver.buffered() == 0 and len(got) == 6 * 200 * THREADS
    assert all(len(e.data) == 1000 and len(set(e.data)) == 1 for e in got)
