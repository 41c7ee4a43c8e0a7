"""The binding helpers the codecs build on, through the test-only module
_vintrel_probe (development builds): event classes, reprs, bytes built in
place, interned texts, conversions, the entry guard and the lock checks."""

import os
import subprocess
import sys

import pytest

from conftest import skip_sanitized

probe = pytest.importorskip("_vintrel_probe")


def test_event_fields_and_repr():
    data = b"abc"
    e = probe.make_event(1, True, 200, body_kind="length", data=data, text='a"b\n')
    assert (e.stream_id, e.end_stream, e.status, e.body_kind, e.data, e.text, e.delta) == \
        (1, True, 200, "length", b"abc", 'a"b\n', -1)
    assert e.data is not data and e.data == data  # copied, never shared
    assert repr(e) == 'Probe(stream_id=1, end_stream=true, status=Some(200), body_kind="length", ' \
                      'text="a\\"b\\n", len=3)'
    bare = probe.make_event(2**32 - 1, False)
    assert (bare.status, bare.body_kind, bare.data, bare.text) == (None, "empty", b"", "")
    assert repr(bare).startswith("Probe(stream_id=4294967295, end_stream=false, status=None, ")


def test_events_are_read_only_and_not_constructible():
    e = probe.make_event(1, False)
    for name in ("stream_id", "data", "body_kind"):
        with pytest.raises(AttributeError):
            setattr(e, name, 1)
    with pytest.raises(AttributeError):
        e.extra = 1
    with pytest.raises(TypeError, match="cannot create '_vintrel_probe.ProbeEvent' instances"):
        probe.ProbeEvent()


def test_choice_texts_are_interned_once():
    a = probe.make_event(1, False, body_kind="chunked").body_kind
    b = probe.make_event(2, False, body_kind="chunked").body_kind
    assert a is b and a == "chunked"
    with pytest.raises(ValueError, match="unknown body kind Chunked"):
        probe.make_event(1, False, body_kind="Chunked")  # case matters
    with pytest.raises(TypeError, match="argument 'body_kind' must be str, not bytes"):
        probe.make_event(1, False, body_kind=b"empty")


@pytest.mark.parametrize("status,error", [(-1, OverflowError), (65536, OverflowError), (1.0, TypeError),
                                          ("1", TypeError)])
def test_optional_unsigned_refuses(status, error):
    with pytest.raises(error):
        probe.make_event(1, False, status)


def test_optional_unsigned_accepts_none_and_index():
    assert probe.make_event(1, False, None).status is None
    assert probe.make_event(1, False, True).status == 1
    assert probe.make_event(1, False, 65535).status == 65535


@pytest.mark.parametrize("names,joined", [
    (["a", "b"], "a|b"), (("x",), "x"), ([], ""), (iter(["p", "q"]), "p|q"),
    ({"k": 1}, "k"), (["\u00e9t\u00e9"], "\u00e9t\u00e9"),
])
def test_text_list_accepts_any_iterable_of_str(names, joined):
    assert probe.names(names) == joined


@pytest.mark.parametrize("names,message", [
    ("ab", "must be a sequence of str, not str"),
    (b"ab", "must be a sequence of str, not bytes"),
    (bytearray(b"ab"), "must be a sequence of str, not bytearray"),
    (3, "must be a sequence of str, not int"),
    (["a", b"b"], "must contain only str, not bytes"),
    ([None], "must contain only str, not NoneType"),
])
def test_text_list_refuses(names, message):
    with pytest.raises(TypeError, match=f"^argument 'names' {message}$"):
        probe.names(names)


def test_text_list_keeps_errors_of_the_iterable():
    def broken():
        yield "a"
        raise TypeError("from the generator")

    with pytest.raises(TypeError, match="from the generator"):
        probe.names(broken())
    with pytest.raises(UnicodeEncodeError):
        probe.names(["\ud800"])


def test_bytes_joined():
    assert probe.joined(b"\x00\x00\x05", b"hello") == b"\x00\x00\x05hello"
    assert probe.joined(b"", b"") == b""


@skip_sanitized  # the sanitizer reports a huge request instead of failing it
@pytest.mark.parametrize("size", [2**62, 2**64 - 1])
def test_cpp_allocation_failure_is_memory_error(size):
    with pytest.raises(MemoryError):
        probe.allocate(size)
    assert probe.allocate(3) == 3


def test_other_cpp_exceptions_are_system_error():
    with pytest.raises(SystemError, match="unexpected internal error: probe"):
        probe.throw_logic()


def test_python_code_under_a_lock_aborts_with_lock_checks():
    done = subprocess.run([sys.executable, "-P", "-c", "import _vintrel_probe; _vintrel_probe.python_under_lock()"],
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), capture_output=True, text=True, timeout=60)
    assert done.returncode != 0
    assert "vintrel: probing while holding an object's lock" in done.stderr
