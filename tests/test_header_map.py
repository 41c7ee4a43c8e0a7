import random
import threading

import pytest

from vintrel import _vintrel
from vintrel._vintrel import HeaderMap

FULL = "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)"
MAX_NAMES = 24576


def abc():
    m = HeaderMap()
    m.add("a", "1")
    m.add("b", "2")
    m.add("a", "3")
    return m


# ------------------------------------------------------------------ class


def test_class_identity():
    assert HeaderMap.__module__ == "vintrel._vintrel"
    assert HeaderMap.__qualname__ == "HeaderMap"
    assert HeaderMap.__text_signature__ == "(init=None)"
    assert _vintrel.__all__.index("HeaderMap") == _vintrel.__all__.index("ConnectionClosedError") + 1
    from vintrel.http import HeaderMap as Public

    assert Public is HeaderMap


@pytest.mark.parametrize(
    "method, sig",
    [
        ("get", "($self, name, default=None)"),
        ("get_all", "($self, name)"),
        ("add", "($self, name, value)"),
        ("setdefault", "($self, name, value)"),
        ("keys", "($self)"),
        ("values", "($self)"),
        ("items", "($self)"),
    ],
)
def test_signatures(method, sig):
    assert getattr(HeaderMap, method).__text_signature__ == sig


def test_no_new_attributes_and_not_hashable():
    m = HeaderMap()
    with pytest.raises(AttributeError):
        m.extra = 1
    with pytest.raises(TypeError):
        hash(m)
    with pytest.raises(TypeError):
        {m}


# ------------------------------------------------------------------ order


def test_values_grouped_by_first_insertion():
    m = abc()
    assert len(m) == 3
    assert m.keys() == ["a", "b"]
    assert m.values() == [b"1", b"3", b"2"]
    assert m.items() == [("a", b"1"), ("a", b"3"), ("b", b"2")]
    assert m.get_all("a") == [b"1", b"3"]
    assert list(m) == ["a", "b"]


def test_setitem_replaces_in_place_or_appends():
    m = abc()
    m["A"] = "x"
    assert m.keys() == ["a", "b"]
    assert m.get_all("a") == [b"x"]
    assert len(m) == 2
    m["c"] = b"y"
    assert m.keys() == ["a", "b", "c"]


def test_delete_moves_last_into_hole():
    m = HeaderMap([("a", "1"), ("b", "2"), ("c", "3"), ("c", "4")])
    del m["A"]
    assert m.keys() == ["c", "b"]
    assert m.items() == [("c", b"3"), ("c", b"4"), ("b", b"2")]
    del m["b"]
    assert m.keys() == ["c"]
    assert len(m) == 2


def test_iteration_is_a_snapshot():
    m = abc()
    seen = []
    for name in m:
        seen.append(name)
        m.add("new-" + name, "v")
        del m[name]
    assert seen == ["a", "b"]


def test_setdefault():
    m = HeaderMap([("a", "1")])
    # present: value is neither converted nor validated
    assert m.setdefault("A", 12345) == b"1"
    assert m.setdefault("a", "bad\nvalue") == b"1"
    assert m.items() == [("a", b"1")]
    assert HeaderMap().setdefault("a", "new") == b"new"
    e = HeaderMap()
    assert e.setdefault("x", "v") == b"v" and e.items() == [("x", b"v")]
    with pytest.raises(ValueError, match="invalid header value"):
        e.setdefault("y", "a\rb")
    assert e.keys() == ["x"]


def test_get_default_is_returned_itself():
    sentinel = object()
    m = HeaderMap()
    assert m.get("missing") is None
    assert m.get("missing", sentinel) is sentinel
    assert m.get(name="missing", default=sentinel) is sentinel
    assert m.get_all("missing") == []


@pytest.mark.parametrize("op", ["getitem", "delitem"])
@pytest.mark.parametrize("key", ["Missing", b"MISSING"])
def test_key_error_carries_lowercase_str(op, key):
    m = HeaderMap()
    with pytest.raises(KeyError) as info:
        if op == "getitem":
            m[key]
        else:
            del m[key]
    assert info.value.args == ("missing",)


def test_names_come_back_as_lowercase_str_values_as_bytes():
    m = HeaderMap([(b"X-Bytes", b"\x80\xff"), ("X-Text", "caf\u00e9")])
    assert m.keys() == ["x-bytes", "x-text"]
    assert m[b"x-text"] == "caf\u00e9".encode()
    assert m["X-BYTES"] == b"\x80\xff"
    assert ("X-Text" in m) and (b"x-bytes" in m) and ("nope" not in m)


# ------------------------------------------------------------------ validation


def _calls(m):
    return {
        "get": lambda n: m.get(n),
        "get_all": lambda n: m.get_all(n),
        "add": lambda n: m.add(n, "v"),
        "setdefault": lambda n: m.setdefault(n, "v"),
        "getitem": lambda n: m[n],
        "setitem": lambda n: m.__setitem__(n, "v"),
        "delitem": lambda n: m.__delitem__(n),
        "contains": lambda n: n in m,
    }


NAME_OPS = ["get", "get_all", "add", "setdefault", "getitem", "setitem", "delitem", "contains"]


@pytest.mark.parametrize("op", NAME_OPS)
@pytest.mark.parametrize(
    "name",
    ["bad name", "", "a:b", "a\x00b", b"a\x00", "caf\u00e9", b"\x80", "x" * 65536, "(x)", 'a"b'],
)
def test_invalid_names(op, name):
    with pytest.raises(ValueError) as info:
        _calls(HeaderMap())[op](name)
    assert info.value.args == ("invalid header name",)


@pytest.mark.parametrize("op", NAME_OPS)
@pytest.mark.parametrize("name", [1, None, bytearray(b"a"), memoryview(b"a"), ["a"]])
def test_name_types(op, name):
    with pytest.raises(TypeError, match="^header name must be str or bytes$"):
        _calls(HeaderMap())[op](name)


@pytest.mark.parametrize("op", NAME_OPS)
def test_lone_surrogate_name(op):
    with pytest.raises(UnicodeEncodeError):
        _calls(HeaderMap())[op]("x\ud800")


def test_token_characters_and_longest_name():
    m = HeaderMap()
    token = "!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
    m.add(token, "v")
    assert m.keys() == [token.lower()]
    m.add("X" * 65535, "v")
    assert m.keys()[1] == "x" * 65535
    assert m.get(b"x" * 65535) == b"v"


@pytest.mark.parametrize("bad", ["a\nb", "a\rb", "\x00", "a\x7f", "\x1f", b"\x0b", "x\r\n"])
@pytest.mark.parametrize("op", ["add", "setitem", "setdefault", "init"])
def test_invalid_values(bad, op):
    m = HeaderMap([("a", "keep")])
    with pytest.raises(ValueError) as info:
        if op == "add":
            m.add("a", bad)
        elif op == "setitem":
            m["a"] = bad
        elif op == "setdefault":
            m.setdefault("b", bad)
        else:
            HeaderMap([("a", bad)])
    assert info.value.args == ("invalid header value",)
    assert m.items() == [("a", b"keep")]


@pytest.mark.parametrize("value", [1, None, bytearray(b"v"), 1.5])
def test_value_types(value):
    m = HeaderMap()
    with pytest.raises(TypeError, match="^header value must be str or bytes$"):
        m.add("a", value)
    with pytest.raises(TypeError, match="^header value must be str or bytes$"):
        m["a"] = value
    assert len(m) == 0


def test_value_bytes_kept_exactly():
    raw = b"\t" + bytes(range(32, 127)) + bytes(range(128, 256))
    m = HeaderMap()
    m.add("a", raw)
    m.add("a", "")
    m.add("a", "  padded  ")
    assert m.get_all("a") == [raw, b"", b"  padded  "]
    with pytest.raises(UnicodeEncodeError):
        m.add("a", "\udfff")


# ------------------------------------------------------------------ construction


def test_init_forms():
    assert HeaderMap().items() == []
    assert HeaderMap(None).items() == []
    assert HeaderMap(init=[("a", "1")]).items() == [("a", b"1")]
    assert HeaderMap({"A": "1", "a": "2", "B": b"3"}).items() == [("a", b"1"), ("a", b"2"), ("b", b"3")]
    pairs = (x for x in [["a", "1"], ("b", "2", "ignored"), "d2"])
    assert HeaderMap(pairs).items() == [("a", b"1"), ("b", b"2"), ("d", b"2")]


def test_init_elements_indexed_not_unpacked():
    class Pair:
        def __getitem__(self, i):
            return ["x-pair", "v"][i]

    assert HeaderMap([Pair(), ["b", "2", "3"]]).items() == [("x-pair", b"v"), ("b", b"2")]
    # bytes elements index to int, which is not a name
    with pytest.raises(TypeError, match="header name"):
        HeaderMap([b"ab"])


def test_init_copies_another_map():
    src = abc()
    copy = HeaderMap(src)
    assert copy.items() == src.items()
    copy.add("c", "4")
    assert "c" not in src


def test_dict_subclass_is_a_dict():
    class D(dict):
        pass

    assert HeaderMap(D(x="1")).items() == [("x", b"1")]


class Boom(Exception):
    pass


def _raising_iter():
    yield ("a", "1")
    raise Boom("from iteration")


class _BadIndex:
    def __getitem__(self, i):
        raise Boom("from indexing")


@pytest.mark.parametrize(
    "init, exc",
    [
        (_raising_iter(), Boom),
        ([_BadIndex()], Boom),
        ([("a",)], IndexError),
        ([{"a": "1"}], KeyError),
        ([1], TypeError),
        (5, TypeError),
        ([("ok", "1"), ("bad name", "1")], ValueError),
        ([("ok", "1"), ("a", "\n")], ValueError),
        ({"a": 1}, TypeError),
        ({1: "a"}, TypeError),
    ],
)
def test_init_errors_propagate(init, exc):
    with pytest.raises(exc):
        HeaderMap(init)


def test_init_iterable_may_touch_other_maps():
    other = HeaderMap([("a", "1")])

    def gen():
        for _ in range(3):
            other.add("a", "x")
            yield ("n", other.get("a"))

    assert HeaderMap(gen()).get_all("n") == [b"1"] * 3


def test_init_rejects_bad_arguments():
    with pytest.raises(TypeError):
        HeaderMap([], [])
    with pytest.raises(TypeError):
        HeaderMap(other=[])


# ------------------------------------------------------------------ comparison


def test_equality_rules():
    a = HeaderMap([("x", "1"), ("y", "2"), ("x", "3")])
    b = HeaderMap([("y", "2"), ("x", "1"), ("x", "3")])
    c = HeaderMap([("y", "2"), ("x", "3"), ("x", "1")])
    assert a == b and not (a != b)
    assert a != c and not (a == c)
    assert a == a
    assert HeaderMap() == HeaderMap()
    assert HeaderMap() != HeaderMap([("a", "")])
    assert (HeaderMap() == {}) is False
    assert (HeaderMap() != {}) is True
    assert (HeaderMap([("a", "1")]) == [("a", b"1")]) is False


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_ordering_unsupported(op):
    with pytest.raises(TypeError):
        eval(f"a {op} b", {"a": HeaderMap(), "b": HeaderMap()})


def test_repr():
    assert repr(HeaderMap()) == "HeaderMap([])"
    assert repr(HeaderMap([("Accept", "*/*")])) == "HeaderMap([('accept', b'*/*')])"
    assert repr(abc()) == "HeaderMap([('a', b'1'), ('a', b'3'), ('b', b'2')])"


# ------------------------------------------------------------------ capacity


@pytest.fixture(scope="module")
def full_map():
    m = HeaderMap()
    for i in range(MAX_NAMES):
        m.add(f"n{i}", "v")
    return m


@pytest.mark.parametrize(
    "store",
    [
        lambda m: m.add("new", "v"),
        lambda m: m.add("n0", "again"),
        lambda m: m.__setitem__("n0", "replaced"),
        lambda m: m.__setitem__("new", "v"),
        lambda m: m.setdefault("new", "v"),
    ],
)
def test_full_map_refuses_every_store(full_map, store):
    before_len, before_tail = len(full_map), full_map.items()[-3:]
    with pytest.raises(ValueError) as info:
        store(full_map)
    assert info.value.args == (FULL,)
    assert len(full_map) == before_len == MAX_NAMES
    assert full_map.items()[-3:] == before_tail
    assert full_map.get_all("n0") == [b"v"]
    assert full_map.setdefault("n1", "other") == b"v"  # present: nothing stored


def test_full_map_from_init_and_copy(full_map):
    pairs = [(f"n{i}", "v") for i in range(MAX_NAMES)]
    assert HeaderMap(pairs) == full_map
    assert HeaderMap(full_map) == full_map
    with pytest.raises(ValueError, match=r"^header map is full \(http::HeaderMap MAX_SIZE"):
        HeaderMap(pairs + [("one-more", "v")])


def test_room_after_removal(full_map):
    m = HeaderMap(full_map)
    del m["n7"]
    m.add("n0", "extra")
    m.add("n1", "extra")
    m["fresh"] = "v"
    with pytest.raises(ValueError, match="full"):
        m.add("n1", "extra")
    assert m.get_all("n1") == [b"v", b"extra"] and m.keys()[7] == "n24575"


def test_extra_values_below_limit_do_not_count():
    m = HeaderMap()
    for i in range(MAX_NAMES - 1):
        m.add(f"n{i}", "v")
    for _ in range(100):
        m.add("n0", "more")
    m.add("last", "v")
    assert len(m) == MAX_NAMES + 100


# ------------------------------------------------------------------ threads


def test_concurrent_adds_are_all_kept():
    m = HeaderMap()
    per_thread, threads = 2000, 6

    def work(t):
        for i in range(per_thread):
            m.add(f"t{t}-{i % 50}", str(i))
            m.get(f"t{t}-0")
            m["shared"] = str(i)

    ts = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    assert len(m) == per_thread * threads + 1
    assert len(m.keys()) == 50 * threads + 1
    assert m.get_all("t3-7") == [str(i).encode() for i in range(7, per_thread, 50)]


def test_cross_comparison_does_not_deadlock():
    a = HeaderMap([("x", "1")])
    b = HeaderMap([("x", "1")])
    results = []

    def work(x, y):
        for _ in range(5000):
            results.append(x == y)

    ts = [threading.Thread(target=work, args=p) for p in [(a, b), (b, a)] * 2]
    for t in ts:
        t.start()
    for t in ts:
        t.join(timeout=30)
    assert not any(t.is_alive() for t in ts)
    assert all(results) and len(results) == 20000


# ---------------------------------------------------------------- value reuse

class BytesSub(bytes):
    pass


def test_reads_hand_out_one_immutable_object():
    m = HeaderMap([("a", "1")])
    first = m.get("a")
    assert m.get("a") is first and m["a"] is first and m.setdefault("a", "z") is first
    m.add("c", BytesSub(b"sub"))
    assert type(m.get("c")) is bytes and m.get("c") == b"sub"
    assert m.get("c") is m.get("c")


@pytest.mark.parametrize("change,expected", [
    (lambda m: m.add("a", "2"), b"1"),            # a further value leaves the first
    (lambda m: m.__setitem__("a", "9"), b"9"),
    (lambda m: m.__setitem__("a", b"8"), b"8"),
    (lambda m: m.__delitem__("b"), b"1"),          # moves the last name into b's place
    (lambda m: m.__delitem__("a"), None),
    (lambda m: m.__setitem__("z", "0"), b"1"),
])
def test_reads_after_changes_see_the_change(change, expected):
    m = HeaderMap([("a", "1"), ("b", "2"), ("c", "3")])
    for name in ("a", "b", "c"):
        m.get(name)
    change(m)
    assert m.get("a") == expected
    assert {n: m.get(n) for n in m} == {n: v for n, v in reversed(m.items())}


def test_reads_agree_with_a_model_under_random_changes():
    rng = random.Random(7)
    names = [f"h{i}" for i in range(12)]
    m = HeaderMap()
    model = {}  # name -> list of values, names in map order
    for step in range(6000):
        name = rng.choice(names)
        op = rng.randrange(6)
        value = f"v{step}".encode() if rng.random() < 0.5 else f"v{step}"
        vb = value if isinstance(value, bytes) else value.encode()
        if op == 0:
            m.add(name, value)
            model.setdefault(name, []).append(vb)
        elif op == 1:
            m[name] = value
            model[name] = [vb]  # an existing name keeps its place
        elif op == 2 and name in model:
            del m[name]
            order = list(model)
            i = order.index(name)
            last = order[-1]
            model.pop(name)
            if last != name:
                order[i] = last
                order.pop()
                model = {n: model[n] for n in order}
        elif op == 3:
            assert m.setdefault(name, value) == model.setdefault(name, [vb])[0]
        else:
            assert m.get(name) == (model[name][0] if name in model else None)
        if step % 97 == 0:
            assert m.keys() == list(model)
            assert m.items() == [(n, v) for n in model for v in model[n]]


# ---------------------------------------------------------------- dict subclasses


def test_dict_subclass_read_in_its_own_order():
    from collections import OrderedDict

    d = OrderedDict([("a", "1"), ("b", "2"), ("c", "3")])
    d.move_to_end("a")
    assert HeaderMap(d).keys() == ["b", "c", "a"]
    # Two spellings of one name: their values follow the subclass's order.
    d = OrderedDict([("x", "1"), ("X", "2")])
    d.move_to_end("x")
    assert HeaderMap(d).get_all("x") == [b"2", b"1"]

    class Reversed(dict):
        def items(self):
            return reversed(list(super().items()))

    assert HeaderMap(Reversed(a="1", b="2")).keys() == ["b", "a"]


# ---------------------------------------------------------------- object reuse


def test_callers_objects_are_kept():
    name, value = "x-lower", b"exact bytes"
    m = HeaderMap([(name, value)])
    assert m.keys()[0] is name
    assert m.get("X-LOWER") is value and m.values()[0] is value
    assert m.items()[0][0] is name and m.items()[0][1] is value
    # A copy shares the objects; a str value becomes bytes once, then stays.
    m.add("x-text", "text")
    assert HeaderMap(m).get("x-lower") is value
    assert m.get("x-text") is m.get_all("x-text")[0] is m.values()[1]
    # Mixed-case and bytes names come back as new lowercase str, kept too.
    m.add(b"X-Bytes", b"v")
    assert m.keys()[2] == "x-bytes" and m.keys()[2] is m.keys()[2]
    # A first listing makes one str per name, shared by its pairs.
    first = HeaderMap([("A", "1"), ("a", "2")]).items()
    assert first == [("a", b"1"), ("a", b"2")] and first[0][0] is first[1][0]


# The map remembers recent lookups by the very key object: every change
# must still be seen through the same key.
@pytest.mark.parametrize("make_key", [str, lambda s: s.encode()], ids=["str", "bytes"])
def test_repeated_keys_see_every_change(make_key):
    a, b, c, new = (make_key(s) for s in ("a", "b", "c", "new"))
    m = HeaderMap([("a", "1"), ("b", "2"), ("c", "3")])
    for k in (a, b, c, new):
        m.get(k), k in m
    del m[a]  # c moves into a's place
    assert (m.get(a), m.get(c), a in m) == (None, b"3", False)
    m.add("new", "4")  # a name that was absent
    assert m.get(new) == b"4" and new in m
    m[c] = "5"
    m.add(c, "6")
    assert m.get_all(c) == [b"5", b"6"] and m[c] == b"5"
    del m[c]
    with pytest.raises(KeyError) as info:
        m[c]
    assert info.value.args == ("c",)
    m.add(a, "7")
    assert m.keys() == ["new", "b", "a"] and m[a] == b"7"


# Converted names are remembered by the address of the name object; a
# freed object's address comes back soon with other contents, which must be
# converted (and validated) anew.
def test_recycled_name_objects_are_converted_afresh():
    m = HeaderMap()
    expected = []
    for i in range(300):
        good = "".join(["x-", str(i)])  # a fresh object each time
        m.add(good, "v")
        expected.append(good)
        del good
        bad = "".join(["x ", str(i)])
        with pytest.raises(ValueError, match="invalid header name"):
            m.add(bad, "v")
        del bad
        mixed = "".join(["X-", str(i)])
        assert m.get(mixed) == b"v"
        del mixed
    assert m.keys() == expected


# Storage blocks are handed on to the next new map of the freeing thread,
# across threads that allocate, free and end.
def test_reused_storage_starts_empty():
    import threading

    def churn(results, tag):
        kept = []
        for i in range(200):
            m = HeaderMap([(f"n{j}-{tag}", str(i)) for j in range(12)])
            c = HeaderMap(m)
            kept.append(c) if i % 3 == 0 else None
            fresh = HeaderMap()
            fresh.add("only", str(i))
            results.append(fresh.items() == [("only", str(i).encode())] and "n0-" + tag not in fresh
                           and c.get_all(f"n11-{tag}") == [str(i).encode()] and len(c) == 12)
        kept.clear()

    results = []
    threads = [threading.Thread(target=churn, args=(results, str(t))) for t in range(3)]
    for t in threads:
        t.start()
    churn(results, "main")
    for t in threads:
        t.join()
    assert len(results) == 800 and all(results)
