"""Fuzz the public methods of the extension module with atheris.

One input drives a short program: each step picks an object and a method
and takes its arguments from the remaining bytes. Any exception other than
the documented ones (ValueError, TypeError, KeyError, OverflowError,
RuntimeError and the module's own errors) is a finding, and so is a crash.
"""

import sys

import atheris

import vintrel._vintrel as m

EXPECTED = (ValueError, TypeError, KeyError, OverflowError, RuntimeError, m.VintrelError)
KINDS = ("chunked", "length", "close", "empty")
INITIATORS = ("user", "library", "remote", "other")


class Program:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.hm = m.HeaderMap()
        self.h1 = m.H1Codec()
        self.body = m.H1BodyDecoder(KINDS[0])
        self.h2 = m.H2Codec("server")
        self.h2c = m.H2Codec("client")
        self.state = m.H2StreamState()
        self.fc = m.H2FlowControl()

    def raw(self, limit=64):
        return self.fdp.ConsumeBytes(self.fdp.ConsumeIntInRange(0, limit))

    def text(self, limit=32):
        return self.fdp.ConsumeUnicodeNoSurrogates(self.fdp.ConsumeIntInRange(0, limit))

    def name(self):
        # Mostly plausible header names, sometimes arbitrary bytes or text.
        pick = self.fdp.ConsumeIntInRange(0, 3)
        if pick == 0:
            return self.raw(16)
        if pick == 1:
            return self.text(16)
        return ("x-a", "host", "content-length", "te")[pick - 2 + self.fdp.ConsumeIntInRange(0, 1)]

    def number(self):
        return self.fdp.ConsumeIntInRange(-(2**33), 2**33) if self.fdp.ConsumeBool() else self.fdp.ConsumeIntInRange(0, 300)

    def headers(self):
        return m.HeaderMap([(self.name(), self.raw(16)) for _ in range(self.fdp.ConsumeIntInRange(0, 4))])

    def steps(self):
        return [
            lambda: self.hm.add(self.name(), self.raw(16)),
            lambda: self.hm.__setitem__(self.name(), self.text(8)),
            lambda: self.hm.__delitem__(self.name()),
            lambda: self.hm.setdefault(self.name(), self.raw(8)),
            lambda: (self.hm.get_all(self.name()), self.hm.items(), repr(self.hm)),
            lambda: self.h1.receive_head(self.raw(200)),
            lambda: self.h1.receive_request_head(self.raw(200)),
            lambda: self.h1.take_body(),
            lambda: self.h1.serialize_request(
                self.text(8), self.text(40), self.headers(),
                content_length=self.number() if self.fdp.ConsumeBool() else None,
                chunked=self.fdp.ConsumeBool(), trailer_fields=[self.text(8)],
            ),
            lambda: self.h1.serialize_response(self.number(), self.headers(), keep_alive=self.fdp.ConsumeBool()),
            lambda: self.h1.serialize_data(self.raw()),
            lambda: self.h1.serialize_trailers(self.headers()),
            lambda: self.h1.serialize_end(),
            lambda: setattr(self, "body", m.H1BodyDecoder(KINDS[self.fdp.ConsumeIntInRange(0, 3)], self.number())),
            lambda: self.body.feed(self.raw(200)),
            lambda: self.body.decode(),
            lambda: self.body.mark_eof(),
            lambda: (self.body.take_trailers(), self.body.take_buffered()),
            lambda: self.h2.receive(self.raw(300)),
            lambda: self.h2c.receive(self.raw(300)),
            lambda: self.h2.set_max_header_list_size(self.number()),
            lambda: self.h2.set_max_recv_frame_size(self.number() + 16384),
            lambda: self.h2.set_recv_header_table_size(self.number()),
            lambda: self.h2c.set_send_header_table_size(self.number()),
            lambda: self.h2c.serialize_request_headers(self.number(), self.text(8), self.text(40), self.headers()),
            lambda: self.h2.serialize_response_headers(self.number(), self.number(), self.headers()),
            lambda: self.h2.serialize_data(self.number(), self.raw(), self.fdp.ConsumeBool()),
            lambda: self.h2.serialize_go_away(self.number(), self.number(), self.raw()),
            lambda: self.h2.serialize_settings(header_table_size=self.number(), max_frame_size=self.number()),
            lambda: self.state.send_open(self.fdp.ConsumeBool()),
            lambda: self.state.recv_open(self.fdp.ConsumeBool(), self.fdp.ConsumeBool()),
            lambda: self.state.recv_close(),
            lambda: self.state.send_close(),
            lambda: self.state.set_reset(self.number(), self.number(), INITIATORS[self.fdp.ConsumeIntInRange(0, 3)]),
            lambda: (self.state.ensure_recv_open(), repr(self.state)),
            lambda: self.fc.inc_window(self.number()),
            lambda: self.fc.send_data(self.number()),
            lambda: self.fc.dec_recv_window(self.number()),
            lambda: (self.fc.assign_capacity(self.number()), self.fc.unclaimed_capacity()),
            lambda: m.ProxyMatcher.from_parts(all=self.text(), no=self.text()).intercept(self.text(40)),
        ]

    def run(self):
        steps = self.steps()
        while self.fdp.remaining_bytes():
            try:
                out = steps[self.fdp.ConsumeIntInRange(0, len(steps) - 1)]()
            except EXPECTED as e:
                out = e
            # Branch on the outcome's type so that new outcomes count as coverage.
            if isinstance(out, list):
                for event in out:
                    repr(event)


def TestOneInput(data):
    Program(data).run()


if __name__ == "__main__":
    # The module is native: coverage comes from this driver's own branches
    # (which step ran, which outcome it had), so instrument this file.
    atheris.instrument_all()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
