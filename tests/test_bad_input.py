"""Whatever is passed, every method raises a documented exception or
returns; nothing crashes, deadlocks or leaves half-made state."""

import itertools

import pytest

import vintrel._vintrel as m

ALLOWED = (TypeError, ValueError, OverflowError, KeyError, RuntimeError, UnicodeError, m.VintrelError)


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("index")


class StrIndex:
    def __index__(self):
        return "1"


POOL = [None, True, 0, -1, 2**31, 2**32, 2**64, 2**200, 1.5, "", "x", "\ud800", "user", b"", b"\x00\xff",
        bytearray(b"x"), memoryview(b"x"), [], (), {}, object(), StrIndex()]


def factories():
    def matcher():
        return m.ProxyMatcher.from_parts(all="http://u:p@10.0.0.1:3128", no="x.com,10.0.0.0/8")

    return {
        "H2FlowControl": m.H2FlowControl,
        "H2StreamState": m.H2StreamState,
        "HeaderMap": lambda: m.HeaderMap([("a", "1"), ("b", "2"), ("a", "3")]),
        "H2Codec": m.H2Codec,
        "ProxyMatcher": matcher,
        "ProxyIntercept": lambda: matcher().intercept("http://example.com/"),
        "H1Codec": m.H1Codec,
        "H1BodyDecoder": lambda: m.H1BodyDecoder("chunked"),
        "H1ResponseHead": lambda: m.H1Codec().receive_head(b"HTTP/1.1 200 OK\r\n\r\n"),
        "H1RequestHead": lambda: m.H1Codec().receive_request_head(b"GET / HTTP/1.1\r\n\r\n"),
    }


def public_methods(obj):
    return [n for n in dir(obj) if not n.startswith("_") and callable(getattr(obj, n))]


CASES = [(name, meth) for name, make in factories().items() for meth in public_methods(make())]


def test_header_map_operators_survive_any_arguments():
    for args in itertools.product(POOL, repeat=2):
        check_operators(factories()["HeaderMap"](), args)


def check_operators(hm, args):
    for op in (lambda: hm[args[0]], lambda: args[0] in hm, lambda: hm.__setitem__(*args),
               lambda: hm.__delitem__(args[0]), lambda: hm == args[0], lambda: m.HeaderMap(args[0])):
        try:
            op()
        except ALLOWED + (IndexError,):  # construction: errors of e[1] propagate
            pass
    repr(hm)


@pytest.mark.parametrize("name,method", CASES)
def test_methods_survive_any_arguments(name, method):
    make = factories()[name]
    for arity in (0, 1, 2, 3):
        for args in itertools.islice(itertools.product(POOL, repeat=arity), 400):
            obj = make()
            try:
                getattr(obj, method)(*args)
            except ALLOWED:
                pass
            repr(obj)


@pytest.mark.parametrize("name,method", CASES)
def test_errors_of_index_propagate(name, method):
    obj = factories()[name]()
    for arity in (1, 2, 3):
        try:
            getattr(obj, method)(*([BadIndex()] * arity))
        except (ZeroDivisionError,) + ALLOWED:
            pass


def test_reentrant_conversion_does_not_deadlock():
    fc = m.H2FlowControl()

    class Reenter:
        def __index__(self):
            # Runs while the outer call converts its argument, before it
            # takes the object's lock.
            fc.inc_window(1)
            return 2

    fc.inc_window(Reenter())
    assert fc.window_size() == 3


def test_reentrant_stream_state_conversion():
    s = m.H2StreamState()

    class Reenter:
        def __index__(self):
            s.send_open(False)  # changes the state before the outer call locks
            return 5

    s.set_reset(Reenter(), 8, "user")
    assert repr(s) == "Closed(Error(Reset(StreamId(5), CANCEL, User)))"


def test_reentrant_iteration_during_construction():
    other = m.HeaderMap([("a", "1")])

    def pairs():
        other.add("b", "2")
        yield ("x", other.get("a"))
        yield ("y", str(len(other)))
        yield ("z", repr(m.HeaderMap(other)))

    made = m.HeaderMap(pairs())
    assert made.items() == [("x", b"1"), ("y", b"2"), ("z", b"HeaderMap([('a', b'1'), ('b', b'2')])")]


def test_h1_constructors_survive_any_arguments():
    for args in itertools.product(POOL, repeat=2):
        for make in (m.H1BodyDecoder, m.H1Codec):
            try:
                make(*args)
            except ALLOWED:
                pass


def test_h1_keyword_options_survive_any_values():
    for value in POOL:
        for kw in ("http10", "content_length", "chunked", "trailer_fields"):
            try:
                m.H1Codec().serialize_request("POST", "/", None, **{kw: value})
            except ALLOWED:
                pass
        for kw in ("keep_alive", "http10", "content_length", "chunked"):
            try:
                m.H1Codec().serialize_response(200, None, **{kw: value})
            except ALLOWED:
                pass


def test_reentrant_trailer_fields_do_not_deadlock():
    c = m.H1Codec()

    class Names:
        def __iter__(self):
            # Runs while the outer call converts its arguments, before any lock.
            c.serialize_request("GET", "/other")
            yield "x-t"

    c.serialize_request("POST", "/", chunked=True, trailer_fields=Names())
    assert c.serialize_trailers(m.HeaderMap([("x-t", "1")])) == b"0\r\nx-t: 1\r\n\r\n"
