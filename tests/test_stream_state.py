import pytest

from vintrel import _vintrel as v

AH, S = "AwaitingHeaders", "Streaming"


def OPEN(local, remote):
    return f"Open {{ local: {local}, remote: {remote} }}"


def HCL(remote):
    return f"HalfClosedLocal({remote})"


def HCR(local):
    return f"HalfClosedRemote({local})"


ENDED = "Closed(EndStream)"
REMOTE_RESET = "Closed(Error(Reset(StreamId(1), CANCEL, Remote)))"
USER_RESET = "Closed(Error(Reset(StreamId(3), INTERNAL_ERROR, User)))"
LIBRARY_RESET = "Closed(Error(Reset(StreamId(5), PROTOCOL_ERROR, Library)))"
BROKEN = 'Closed(Error(Io(BrokenPipe, Some("stream closed because of a broken pipe"))))'
SCHEDULED = "Closed(ScheduledLibraryReset(CANCEL))"

# Every reachable state (named by its repr) and the calls that reach it.
PATHS = {
    "Idle": [],
    "ReservedLocal": [("reserve_local",)],
    "ReservedRemote": [("reserve_remote",)],
    OPEN(AH, AH): [("recv_open", False, True)],
    OPEN(AH, S): [("recv_open", False, False)],
    OPEN(S, AH): [("send_open", False)],
    OPEN(S, S): [("send_open", False), ("recv_open", False, False)],
    HCL(AH): [("send_open", True)],
    HCL(S): [("send_open", True), ("recv_open", False, False)],
    HCR(AH): [("recv_open", True, False)],
    HCR(S): [("recv_open", True, False), ("send_open", False)],
    ENDED: [("send_open", True), ("recv_open", True, False)],
    REMOTE_RESET: [("recv_reset", 1, 8, False)],
    USER_RESET: [("set_reset", 3, 2, "user")],
    LIBRARY_RESET: [("set_reset", 5, 1, "library")],
    BROKEN: [("recv_eof",)],
    SCHEDULED: [("set_scheduled_reset", 8)],
}
STATES = list(PATHS)
CLOSED = [s for s in STATES if s.startswith("Closed")]


def reach(name):
    state = v.H2StreamState()
    for method, *args in PATHS[name]:
        getattr(state, method)(*args)
    assert repr(state) == name
    return state


P = (v.H2ProtocolError, (1, "unspecific protocol error detected"))
U = (v.H2UserError, ("unexpected_frame_type", "unexpected frame type"))


def check(start, call, expected):
    """expected: the repr after the call, or (exception class, args)."""
    state = reach(start)
    if isinstance(expected, tuple):
        with pytest.raises(expected[0]) as info:
            call(state)
        assert info.value.args == expected[1]
        assert repr(state) == start
    else:
        call(state)
        assert repr(state) == expected


def table(rows, default):
    return [(start, rows.get(start, default)) for start in STATES]


@pytest.mark.parametrize(
    "eos, rows",
    [
        (False, {"Idle": OPEN(S, AH), OPEN(AH, AH): OPEN(S, AH), OPEN(AH, S): OPEN(S, S),
                 HCR(AH): HCR(S), "ReservedLocal": HCR(S)}),
        (True, {"Idle": HCL(AH), OPEN(AH, AH): HCL(AH), OPEN(AH, S): HCL(S),
                HCR(AH): ENDED, "ReservedLocal": ENDED}),
    ],
)
def test_send_open(eos, rows):
    for start, expected in table(rows, U):
        check(start, lambda s: s.send_open(eos), expected)


# (repr after, return value) per state; any other state is error P.
RECV_OPEN = {
    (True, False): {"Idle": (HCR(AH), True), "ReservedRemote": (ENDED, True),
                    OPEN(AH, AH): (HCR(AH), False), OPEN(S, AH): (HCR(S), False),
                    HCL(AH): (ENDED, False)},
    (False, False): {"Idle": (OPEN(AH, S), True), "ReservedRemote": (HCL(S), True),
                     OPEN(AH, AH): (OPEN(AH, S), False), OPEN(S, AH): (OPEN(S, S), False),
                     HCL(AH): (HCL(S), False)},
    (False, True): {"Idle": (OPEN(AH, AH), True), "ReservedRemote": ("ReservedRemote", True),
                    OPEN(AH, AH): (OPEN(AH, AH), False), OPEN(S, AH): (OPEN(S, AH), False),
                    HCL(AH): (HCL(AH), False)},
}
RECV_OPEN[(True, True)] = RECV_OPEN[(True, False)]  # END_STREAM decides


@pytest.mark.parametrize("eos, informational", list(RECV_OPEN))
def test_recv_open(eos, informational):
    for start, expected in table(RECV_OPEN[(eos, informational)], P):
        if expected is P:
            check(start, lambda s: s.recv_open(eos, informational), P)
            continue
        state = reach(start)
        assert state.recv_open(eos, informational) is expected[1]
        assert repr(state) == expected[0]


@pytest.mark.parametrize(
    "method, rows, default",
    [
        ("reserve_remote", {"Idle": "ReservedRemote"}, P),
        ("reserve_local", {"Idle": "ReservedLocal"}, U),
        ("recv_close", {OPEN(AH, AH): HCR(AH), OPEN(AH, S): HCR(AH), OPEN(S, AH): HCR(S),
                        OPEN(S, S): HCR(S), HCL(AH): ENDED, HCL(S): ENDED}, P),
    ],
)
def test_frame_transitions(method, rows, default):
    for start, expected in table(rows, default):
        check(start, lambda s: getattr(s, method)(), expected)


SEND_CLOSE = {OPEN(AH, AH): HCL(AH), OPEN(AH, S): HCL(S), OPEN(S, AH): HCL(AH),
              OPEN(S, S): HCL(S), HCR(AH): ENDED, HCR(S): ENDED}


@pytest.mark.parametrize("start", STATES)
def test_send_close(start):
    expected = SEND_CLOSE.get(start, (RuntimeError, ("send_close: unexpected state " + start,)))
    check(start, lambda s: s.send_close(), expected)


@pytest.mark.parametrize("start", STATES)
@pytest.mark.parametrize("queued", [False, True])
def test_recv_reset(start, queued):
    after = "Closed(Error(Reset(StreamId(7), CANCEL, Remote)))"
    unchanged = start in CLOSED and not queued
    check(start, lambda s: s.recv_reset(7, 8, queued), start if unchanged else after)


@pytest.mark.parametrize("start", STATES)
def test_resets_from_any_state(start):
    check(start, lambda s: s.recv_eof(), start if start in CLOSED else BROKEN)
    check(start, lambda s: s.set_reset(2**31 - 1, 0x63, "user"),
          "Closed(Error(Reset(StreamId(2147483647), Reason(0x63), User)))")
    check(start, lambda s: s.set_scheduled_reset(0), "Closed(ScheduledLibraryReset(NO_ERROR))")


TRUE_IN = {
    "is_idle": {"Idle"},
    "is_closed": set(CLOSED),
    "is_reset": set(CLOSED) - {ENDED},
    "is_scheduled_reset": {SCHEDULED},
    "is_local_error": {USER_RESET, LIBRARY_RESET, BROKEN, SCHEDULED},
    "is_remote_reset": {REMOTE_RESET},
    "is_send_streaming": {OPEN(S, AH), OPEN(S, S), HCR(S)},
    "is_send_closed": set(CLOSED) | {HCL(AH), HCL(S), "ReservedRemote"},
    "is_recv_headers": {"Idle", "ReservedRemote", OPEN(AH, AH), OPEN(S, AH), HCL(AH)},
    "is_recv_streaming": {OPEN(AH, S), OPEN(S, S), HCL(S)},
    "is_recv_end_stream": {ENDED, HCR(AH), HCR(S)},
}


@pytest.mark.parametrize("predicate", list(TRUE_IN))
def test_predicates(predicate):
    for start in STATES:
        assert getattr(reach(start), predicate)() is (start in TRUE_IN[predicate]), start


ENSURE_RAISES = {
    REMOTE_RESET: (v.H2StreamError, (1, 8, "remote")),
    USER_RESET: (v.H2StreamError, (3, 2, "user")),
    LIBRARY_RESET: (v.H2StreamError, (5, 1, "library")),
    BROKEN: (v.ConnectionClosedError, ("stream closed because of a broken pipe",)),
    SCHEDULED: (v.H2ProtocolError, (8, "stream no longer needed")),
}
RECV_CLOSED = {ENDED, HCR(AH), HCR(S), "ReservedLocal"}


@pytest.mark.parametrize("start", STATES)
def test_ensure_recv_open_and_scheduled_reason(start):
    state = reach(start)
    if start in ENSURE_RAISES:
        cls, args = ENSURE_RAISES[start]
        with pytest.raises(cls) as info:
            state.ensure_recv_open()
        assert info.value.args == args
        assert repr(state) == start
    else:
        assert state.ensure_recv_open() is (start not in RECV_CLOSED)
    assert state.get_scheduled_reset() == (8 if start == SCHEDULED else None)


@pytest.mark.parametrize(
    "reason, text, message",
    [(13, "HTTP_1_1_REQUIRED", "endpoint requires HTTP/1.1"),
     (99, "Reason(0x63)", "unknown reason"),
     (2**32 - 1, "Reason(0xffffffff)", "unknown reason")],
)
def test_scheduled_reason_forms(reason, text, message):
    state = v.H2StreamState()
    state.set_scheduled_reset(reason)
    assert repr(state) == f"Closed(ScheduledLibraryReset({text}))"
    assert state.get_scheduled_reset() == reason
    with pytest.raises(v.H2ProtocolError) as info:
        state.ensure_recv_open()
    assert info.value.args == (reason, message)


MSB = (ValueError, ("invalid stream ID -- MSB is set",))
BAD_INITIATOR = "initiator must be 'user' | 'library' | 'remote', got "


@pytest.mark.parametrize("start", ["Idle", OPEN(S, AH), ENDED])
@pytest.mark.parametrize(
    "call, error",
    [
        (lambda s: s.send_open(1), TypeError),
        (lambda s: s.send_open(None), TypeError),
        (lambda s: s.recv_open(False, 0), TypeError),
        (lambda s: s.recv_reset(1, 8, 1), TypeError),
        (lambda s: s.recv_reset("1", 8, True), TypeError),
        (lambda s: s.recv_reset(1.0, 8, True), TypeError),
        (lambda s: s.set_reset(1, 8, b"user"), TypeError),
        (lambda s: s.send_open(), TypeError),
        (lambda s: s.recv_close(1), TypeError),
        (lambda s: s.recv_reset(-1, 8, True), OverflowError),
        (lambda s: s.recv_reset(1, 2**32, True), OverflowError),
        (lambda s: s.set_reset(2**32, 8, "user"), OverflowError),
        (lambda s: s.set_reset(1, -1, "user"), OverflowError),
        (lambda s: s.set_scheduled_reset(2**32), OverflowError),
        (lambda s: s.set_scheduled_reset(-1), OverflowError),
        # width errors come before value checks, in argument order
        (lambda s: s.set_reset(2**31, 2**32, "nobody"), OverflowError),
        (lambda s: s.recv_reset(2**31, 8, True), MSB),
        (lambda s: s.set_reset(2**31, 8, "user"), MSB),
        (lambda s: s.set_reset(2**32 - 1, 8, "Remote"), MSB),  # id checked first
        (lambda s: s.set_reset(3, 2, "Remote"), (ValueError, (BAD_INITIATOR + "Remote",))),
        (lambda s: s.set_reset(3, 2, ""), (ValueError, (BAD_INITIATOR,))),
    ],
)
def test_bad_arguments_leave_state(start, call, error):
    cls, args = error if isinstance(error, tuple) else (error, None)
    state = reach(start)
    with pytest.raises(cls) as info:
        call(state)
    if args is not None:
        assert info.value.args == args
    assert type(info.value) is cls
    assert repr(state) == start


def test_keywords_and_index_protocol():
    state = v.H2StreamState()
    assert state.recv_open(informational=True, eos=False) is True
    state.set_reset(stream_id=True, reason=2**32 - 1, initiator="remote")
    assert repr(state) == "Closed(Error(Reset(StreamId(1), Reason(0xffffffff), Remote)))"


SIGNATURES = {
    "send_open": "($self, eos)",
    "recv_open": "($self, eos, informational)",
    "recv_reset": "($self, stream_id, reason, queued)",
    "set_reset": "($self, stream_id, reason, initiator)",
    "set_scheduled_reset": "($self, reason)",
    **{name: "($self)" for name in [
        "reserve_remote", "reserve_local", "recv_close", "recv_eof", "send_close",
        "get_scheduled_reset", "ensure_recv_open", *TRUE_IN]},
}


def test_class_surface():
    cls = v.H2StreamState
    assert cls.__module__ == "vintrel._vintrel" and cls.__qualname__ == "H2StreamState"
    assert cls.__text_signature__ == "()"
    assert v.__all__.index("H2StreamState") + 1 == v.__all__.index("H2FlowControl")
    for name, sig in SIGNATURES.items():
        assert getattr(cls, name).__text_signature__ == sig, name
    with pytest.raises(TypeError):
        cls(1)
    with pytest.raises(AttributeError):
        cls().anything = 1
