"""H2FlowControl: one flow-control window."""

import pytest

from vintrel._vintrel import H2FlowControl, H2FlowControlError

MAX = 2**31 - 1
MIN = -(2**31)


def window(w=0, a=0):
    """A window with window size w and available a, reached through the API."""
    fc = H2FlowControl()
    if w > 0:
        fc.inc_window(w)
    elif w < 0:
        fc.dec_send_window(-w)
    if a > 0:
        fc.assign_capacity(a)
    elif a < 0:
        fc.claim_capacity(-a)
    assert repr(fc) == f"FlowControl {{ window_size: Window({w}), available: Window({a}) }}"
    return fc


def state(fc):
    return repr(fc)


def test_new_window():
    fc = H2FlowControl()
    assert (fc.window_size(), fc.available(), fc.has_unavailable(), fc.unclaimed_capacity()) == (0, 0, False, None)
    assert repr(fc) == "FlowControl { window_size: Window(0), available: Window(0) }"
    with pytest.raises(H2FlowControlError) as info:
        fc.send_data(1)
    assert info.value.args == (3,)


def test_send_full_window():
    fc = window(65535)
    fc.send_data(65535)
    assert (fc.window_size(), fc.available()) == (0, -65535)


def test_negative_window_reads_as_zero():
    fc = window(-10)
    assert fc.window_size() == 0
    assert fc.has_unavailable() is False


@pytest.mark.parametrize("w,a,expected", [
    (0, 0, False), (10, 5, True), (10, 10, False), (10, 20, False), (-1, -5, False), (0, -1, True),
])
def test_has_unavailable(w, a, expected):
    assert window(w, a).has_unavailable() is expected


@pytest.mark.parametrize("w,a,expected", [
    (100, 160, 60),          # unclaimed 60 >= threshold 50
    (100, 140, None),        # unclaimed 40 < threshold 50
    (100, 150, 50),          # equal to the threshold counts
    (100, 100, None),        # window >= available
    (100, 50, None),
    (0, 1, 1),
    (-3, 0, 3),              # negative window: threshold -1
    (-1, MAX, MAX),          # shortfall 2^31: offered as the largest legal increment
    (MIN, MAX, MAX),         # shortfall 2^32-1
    (-1, MAX - 1, MAX),      # shortfall exactly 2^31-1
    (MIN, -1, MAX),
    (MIN, -2, MAX - 1),
    (1, 2, 1),               # threshold 0
])
def test_unclaimed_capacity(w, a, expected):
    assert window(w, a).unclaimed_capacity() == expected


# (method, starting (window, available), amount, resulting (window, available)
# or None when refused with the object unchanged)
UPDATES = [
    ("inc_window", (0, 0), MAX, (MAX, 0)),
    ("inc_window", (MAX, 0), 1, None),
    ("inc_window", (-5, 0), MAX, (MAX - 5, 0)),
    ("inc_window", (0, 0), 2**31, None),
    ("inc_window", (-1, 0), 2**31, (MAX, 0)),
    ("inc_window", (0, 0), 2**32 - 1, None),       # never read as -1
    ("dec_send_window", (0, 0), 2**31, (MIN, 0)),
    ("dec_send_window", (MIN, 0), 1, None),
    ("dec_send_window", (5, 0), 2**32 - 1, None),
    ("assign_capacity", (0, 0), MAX, (0, MAX)),
    ("assign_capacity", (0, MAX), 1, None),
    ("assign_capacity", (0, 0), 2**32 - 1, None),
    ("assign_capacity", (0, MIN), 2**32 - 1, (0, MAX)),
    ("claim_capacity", (0, 0), 2**31, (0, MIN)),
    ("claim_capacity", (0, MIN), 1, None),
    ("claim_capacity", (0, MAX), 2**32 - 1, (0, MIN)),
    ("dec_recv_window", (10, 10), 4, (6, 6)),
    ("dec_recv_window", (MIN, 0), 1, None),
    ("send_data", (10, 3), 10, (0, -7)),
    ("send_data", (10, 3), 11, None),
    ("send_data", (-5, 0), 1, None),
    ("send_data", (-5, 0), 0, (-5, 0)),
    ("send_data", (0, 0), 0, (0, 0)),
    ("send_data", (MAX, 0), 2**31, None),
]


@pytest.mark.parametrize("method,start,amount,result", UPDATES)
def test_updates(method, start, amount, result):
    fc = window(*start)
    before = state(fc)
    if result is None:
        with pytest.raises(H2FlowControlError) as info:
            getattr(fc, method)(amount)
        assert info.value.args == (3,)
        assert state(fc) == before
    else:
        assert getattr(fc, method)(amount) is None
        assert state(fc) == f"FlowControl {{ window_size: Window({result[0]}), available: Window({result[1]}) }}"


@pytest.mark.parametrize("method,start,amount,after", [
    # The window step succeeded; the available step failed and was not stored.
    ("dec_recv_window", (0, -MAX), 5, (-5, -MAX)),
    ("send_data", (5, MIN + 2), 5, (0, MIN + 2)),
])
def test_second_step_failure_keeps_the_first(method, start, amount, after):
    fc = window(*start)
    with pytest.raises(H2FlowControlError):
        getattr(fc, method)(amount)
    assert state(fc) == f"FlowControl {{ window_size: Window({after[0]}), available: Window({after[1]}) }}"


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("arg,exc", [
    (-1, OverflowError), (2**32, OverflowError), (2**64, OverflowError), (2**100, OverflowError),
    (1.0, TypeError), ("1", TypeError), (None, TypeError), (b"1", TypeError),
])
@pytest.mark.parametrize("method", ["inc_window", "dec_send_window", "dec_recv_window",
                                    "send_data", "claim_capacity", "assign_capacity"])
def test_amount_conversion_errors_leave_the_window(method, arg, exc):
    fc = window(7, 3)
    with pytest.raises(exc):
        getattr(fc, method)(arg)
    assert state(fc) == "FlowControl { window_size: Window(7), available: Window(3) }"


def test_width_overflow_message():
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        H2FlowControl().inc_window(2**32)


@pytest.mark.parametrize("arg,value", [(True, 1), (False, 0), (Index(9), 9)])
def test_index_protocol(arg, value):
    fc = H2FlowControl()
    fc.inc_window(arg)
    assert fc.window_size() == value


def test_keyword_and_count_errors():
    fc = H2FlowControl()
    fc.inc_window(sz=3)
    fc.assign_capacity(capacity=3)
    assert (fc.window_size(), fc.available()) == (3, 3)
    for call in (lambda: fc.inc_window(), lambda: fc.inc_window(1, 2), lambda: fc.inc_window(n=1),
                 lambda: fc.inc_window(1, sz=1), lambda: fc.available(1)):
        with pytest.raises(TypeError):
            call()
    assert (fc.window_size(), fc.available()) == (3, 3)


@pytest.mark.parametrize("name,sig", [
    ("window_size", "($self)"), ("available", "($self)"), ("has_unavailable", "($self)"),
    ("unclaimed_capacity", "($self)"), ("claim_capacity", "($self, capacity)"),
    ("assign_capacity", "($self, capacity)"), ("inc_window", "($self, sz)"),
    ("dec_send_window", "($self, sz)"), ("dec_recv_window", "($self, sz)"), ("send_data", "($self, sz)"),
])
def test_text_signatures(name, sig):
    assert getattr(H2FlowControl, name).__text_signature__ == sig
