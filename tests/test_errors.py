"""The exception hierarchy and H2Reason."""

import enum

import pytest

import vintrel._vintrel as m

HIERARCHY = [
    ("VintrelError", Exception),
    ("H2Error", m.VintrelError),
    ("ConnectionClosedError", m.VintrelError),
    ("H2ProtocolError", m.H2Error),
    ("H2StreamError", m.H2Error),
    ("H2UserError", m.H2Error),
    ("H2FlowControlError", m.H2Error),
]

DOCS = {
    "VintrelError": "Base class for every vintrel error (HTTP/1 and HTTP/2).",
    "H2Error": "Base class for every vintrel HTTP/2 protocol error.",
    "ConnectionClosedError": (
        "The transport closed (EOF/reset/IO error) with work still in flight \u2014 a transport "
        "failure, not a protocol violation (so no GOAWAY). Protocol-neutral: raised on both "
        "HTTP/1 and HTTP/2, hence it sits under VintrelError, not H2Error."
    ),
    "H2ProtocolError": "Connection-level protocol violation (-> GOAWAY). args = (reason: int|None, message).",
    "H2StreamError": (
        "Stream-level protocol violation (-> RST_STREAM, connection survives). "
        "args = (stream_id: int, reason: int, initiator: str)."
    ),
    "H2FlowControlError": "Flow-control window over/underflow. args = (reason: int,).",
}


@pytest.mark.parametrize("name,base", HIERARCHY)
def test_hierarchy(name, base):
    cls = getattr(m, name)
    assert cls.__bases__ == (base,)
    assert cls.__module__ == "_vintrel"
    assert cls.__qualname__ == name


def test_connection_closed_is_not_an_h2_error():
    assert not issubclass(m.ConnectionClosedError, m.H2Error)


@pytest.mark.parametrize("name,doc", sorted(DOCS.items()))
def test_docstrings(name, doc):
    assert getattr(m, name).__doc__ == doc


def test_user_error_doc_names_its_args():
    doc = m.H2UserError.__doc__
    assert "\n" not in doc and "args = (kind: str, message: str)" in doc


NAMES = [
    "NO_ERROR", "PROTOCOL_ERROR", "INTERNAL_ERROR", "FLOW_CONTROL_ERROR", "SETTINGS_TIMEOUT",
    "STREAM_CLOSED", "FRAME_SIZE_ERROR", "REFUSED_STREAM", "CANCEL", "COMPRESSION_ERROR",
    "CONNECT_ERROR", "ENHANCE_YOUR_CALM", "INADEQUATE_SECURITY", "HTTP_1_1_REQUIRED",
]


def test_reason_enum():
    assert issubclass(m.H2Reason, enum.IntEnum)
    assert m.H2Reason.__module__ == "vintrel._vintrel"
    assert m.H2Reason.__name__ == "H2Reason"
    assert [(r.name, r.value) for r in m.H2Reason] == list(zip(NAMES, range(14)))
    assert m.H2Reason(13).name == "HTTP_1_1_REQUIRED"
    assert m.H2Reason.CANCEL == 8
    with pytest.raises(ValueError):
        m.H2Reason(14)


def test_flow_control_error_args_are_plain_ints():
    fc = m.H2FlowControl()
    with pytest.raises(m.H2FlowControlError) as info:
        fc.send_data(1)
    assert info.value.args == (3,)
    assert type(info.value.args[0]) is int
    assert isinstance(info.value, m.VintrelError)
