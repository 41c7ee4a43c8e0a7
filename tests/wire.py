"""Helpers the tests share: raw HTTP/2 frames and HPACK literals built by
hand (so the bytes under test come from nowhere but here), and running a
coroutine with a deadline."""

import asyncio
import struct


def frame(ftype, flags, stream, payload=b"", length=None):
    """A raw HTTP/2 frame; `length` overrides the length field."""
    n = len(payload) if length is None else length
    return struct.pack(">I", n)[1:] + bytes([ftype, flags]) + struct.pack(">I", stream) + payload


def lit(name, value):
    """A literal header field without indexing, raw strings: it leaves the
    dynamic table alone."""
    return b"\x00" + bytes([len(name)]) + name + bytes([len(value)]) + value


def run(coro, timeout=30):
    """Run a coroutine on a new loop, failing it after `timeout` seconds."""
    return asyncio.run(asyncio.wait_for(coro, timeout))
