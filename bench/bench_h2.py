"""H2Codec against hyperframe + hpack on the same work in the same run.

    PYTHONPATH=build/dev/pkg python bench/bench_h2.py

Cases:
- DATA: 256 DATA frames of 16 KiB received in 64 KiB reads (MB/s), also
  against copying the same payload twice (into a buffer, then into new
  bytes), the floor any receive path that hands out bytes must pay.
- small DATA: 20,000 DATA frames of 0-16 octets received in 1,000-octet
  reads, so that every read ends inside a frame that the next completes.
- control: 10,000 small control frames (PING, WINDOW_UPDATE, SETTINGS,
  RST_STREAM) received in 64 KiB reads (frames/s).
- decode: a response HEADERS frame with a typical 8-field block, decoded on a
  warm connection.
- encode: a request header block serialized into a HEADERS frame on a warm
  connection.
The baseline receives through h2's frame buffer (hyperframe's parser with the
buffering a driver needs) and decodes with hpack.
"""

import struct
import sys
import timeit

import hpack
import hyperframe.frame as hf
from h2.frame_buffer import FrameBuffer

from vintrel import HeaderMap, H2Codec

READ = 65536


def frame(ftype, flags, stream, payload):
    return struct.pack(">I", len(payload))[1:] + bytes([ftype, flags]) + struct.pack(">I", stream) + payload


def reads(wire, size=READ):
    return [wire[i:i + size] for i in range(0, len(wire), size)]


def ours_receive(chunks):
    c = H2Codec("server")
    n = 0
    for chunk in chunks:
        n += len(c.receive(chunk))
    return n


def theirs_receive(chunks):
    fb = FrameBuffer(server=False)
    fb.max_frame_size = 16384
    n = 0
    for chunk in chunks:
        fb.add_data(chunk)
        for _ in fb:
            n += 1
    return n


def copy_twice(chunks):
    # Into a buffer, then each frame's payload into new bytes.
    n = 0
    buf = bytearray()
    for chunk in chunks:
        buf += chunk
        view = memoryview(buf)
        at = 0
        while len(buf) - at >= 9:
            length = int.from_bytes(view[at:at + 3], "big")
            if len(buf) - at < 9 + length:
                break
            bytes(view[at + 9:at + 9 + length])
            at += 9 + length
            n += 1
        view.release()
        del buf[:at]
    return n


RESPONSE = [(":status", "200"), ("content-type", "text/html; charset=utf-8"), ("content-length", "5123"),
            ("date", "Tue, 08 Dec 2026 06:00:00 GMT"), ("server", "example/1.2"), ("cache-control", "max-age=600"),
            ("vary", "accept-encoding"), ("etag", '"5f3a-1b2c"'), ("x-request-id", "4f8e2a1c9b7d")]
REQUEST = [("user-agent", "client/3.1"), ("accept", "*/*"), ("accept-encoding", "gzip, deflate, br"),
           ("accept-language", "en-US,en;q=0.9"), ("cookie", "session=abcdef0123456789"),
           ("x-trace", "00-abc-def-01"), ("cache-control", "no-cache"), ("referer", "https://example.com/")]


def decode_case():
    enc = hpack.Encoder()
    first = frame(1, 4, 1, enc.encode(RESPONSE))
    warm = frame(1, 4, 3, enc.encode(RESPONSE))  # every field indexed now
    ours = H2Codec()
    ours.receive(first)
    their_dec = hpack.Decoder()
    their_dec.decode(first[9:])

    def run_ours():
        ev = ours.receive(warm)[0]
        return ev.headers

    def run_theirs():
        f, length = hf.Frame.parse_frame_header(memoryview(warm[:9]))
        f.parse_body(memoryview(warm[9:9 + length]))
        return their_dec.decode(f.data)

    assert len(run_ours()) + 1 == len(run_theirs())
    return run_ours, run_theirs


def encode_case():
    ours = H2Codec()
    hm = HeaderMap(REQUEST)
    their_enc = hpack.Encoder()
    pseudo = [(":method", "GET"), (":scheme", "https"), (":authority", "example.com"), (":path", "/index?q=1")]

    def run_ours():
        return ours.serialize_request_headers(1, "GET", "https://example.com/index?q=1", hm)

    def run_theirs():
        f = hf.HeadersFrame(1)
        f.data = their_enc.encode(pseudo + REQUEST)
        f.flags.add("END_HEADERS")
        return f.serialize()

    run_ours()
    run_theirs()
    return run_ours, run_theirs


def best(runs, repeat):
    """Best time per call of each (fn, number), the functions timed in turns
    so that every one meets the same machine state."""
    times = [float("inf")] * len(runs)
    for _ in range(repeat):
        for i, (fn, number) in enumerate(runs):
            times[i] = min(times[i], timeit.timeit(fn, number=number) / number)
    return times


def main():
    repeat = 15 if "--quick" not in sys.argv else 5
    data_wire = b"".join(frame(0, 0, 1, bytes([i % 256]) * 16384) for i in range(256))
    data_reads = reads(data_wire)
    assert ours_receive(data_reads) == theirs_receive(data_reads) == copy_twice(data_reads) == 256
    small_wire = b"".join(frame(0, 0, 1, bytes([i % 256]) * (i % 17)) for i in range(20000))
    small_reads = reads(small_wire, 1000)
    assert ours_receive(small_reads) == theirs_receive(small_reads) == 20000
    control = [frame(6, 0, 0, b"12345678"), frame(8, 0, 1, b"\0\0\1\0"), frame(4, 1, 0, b""),
               frame(3, 0, 3, b"\0\0\0\x08")]
    control_wire = b"".join(control[i % 4] for i in range(10000))
    control_reads = reads(control_wire)
    assert ours_receive(control_reads) == theirs_receive(control_reads) == 10000
    dec_ours, dec_theirs = decode_case()
    enc_ours, enc_theirs = encode_case()

    rows = []
    t_ours, t_theirs, t_copy = best([(lambda: ours_receive(data_reads), 20), (lambda: theirs_receive(data_reads), 5),
                                     (lambda: copy_twice(data_reads), 20)], repeat)
    mb = len(data_wire) / 1e6
    rows.append(("DATA 256x16KiB, 64KiB reads (MB/s)", mb / t_ours, mb / t_theirs, t_theirs / t_ours, ">= 2x"))
    rows.append(("  DATA vs copying twice (time ratio)", t_ours * 1e3, t_copy * 1e3, t_ours / t_copy, "<= 2x"))
    t_ours, t_theirs = best([(lambda: ours_receive(small_reads), 10), (lambda: theirs_receive(small_reads), 2)],
                            repeat)
    rows.append(("small DATA x20000, 1000B reads (frames/s)", 20000 / t_ours, 20000 / t_theirs, t_theirs / t_ours,
                 ">= 10x"))
    t_ours, t_theirs = best([(lambda: ours_receive(control_reads), 20), (lambda: theirs_receive(control_reads), 2)],
                            repeat)
    rows.append(("control frames x10000 (frames/s)", 10000 / t_ours, 10000 / t_theirs, t_theirs / t_ours, ">= 10x"))
    t_ours, t_theirs = best([(dec_ours, 20000), (dec_theirs, 1000)], repeat)
    rows.append(("HEADERS 8 fields decoded, warm (ns)", t_ours * 1e9, t_theirs * 1e9, t_theirs / t_ours, ">= 30x"))
    t_ours, t_theirs = best([(enc_ours, 20000), (enc_theirs, 1000)], repeat)
    rows.append(("request block serialized, warm (ns)", t_ours * 1e9, t_theirs * 1e9, t_theirs / t_ours, ">= 30x"))

    print(f"{'case':<40}{'vintrel':>14}{'baseline':>14}{'ratio':>9}  target")
    for name, ours, theirs, ratio, target in rows:
        print(f"{name:<40}{ours:>14.1f}{theirs:>14.1f}{ratio:>8.2f}x  {target}")
    print("(the DATA-vs-copy row: times in ms, ratio = ours / copying twice)")


if __name__ == "__main__":
    main()
