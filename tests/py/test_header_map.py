"""HeaderMap as the host sees it."""

import random
import threading

import pytest

import vantric.http
from conftest import assert_no_leaks, swallowing
from vantric import _vantric
from vantric._vantric import H1Codec, H1ServerState, H2Codec, HeaderMap


def test_public_path():
    assert vantric.http.HeaderMap is HeaderMap
    assert HeaderMap.__module__ == "vantric._vantric"


def test_grouping_and_length():
    m = HeaderMap([("A", "1"), ("b", "2"), ("a", "3")])
    assert m.items() == [("a", b"1"), ("a", b"3"), ("b", b"2")]
    assert m.raw_items() == [(b"a", b"1"), (b"a", b"3"), (b"b", b"2")]
    assert m.keys() == ["a", "b"] and m.values() == [b"1", b"3", b"2"]
    assert len(m) == 3 and list(m) == ["a", "b"]
    assert repr(m) == "HeaderMap([('a', b'1'), ('a', b'3'), ('b', b'2')])"
    assert repr(HeaderMap()) == "HeaderMap([])"


def test_construction_sources():
    pairs = [("x", b"1"), ["Y", "2"], (b"z", "3", "ignored")]
    assert HeaderMap(pairs).items() == [("x", b"1"), ("y", b"2"), ("z", b"3")]
    assert HeaderMap({"B": "1", "a": b"2"}).items() == [("b", b"1"), ("a", b"2")]
    assert HeaderMap(init=iter([("k", "v")])).items() == [("k", b"v")]

    class Pair:
        def __getitem__(self, i):
            return ("name", "value")[i]

    assert HeaderMap([Pair()]).items() == [("name", b"value")]
    original = HeaderMap([("a", "1")])
    copy = HeaderMap(original)
    copy.add("a", "2")
    original["b"] = "3"
    assert original.items() == [("a", b"1"), ("b", b"3")]
    assert copy.items() == [("a", b"1"), ("a", b"2")]
    with pytest.raises(TypeError):
        HeaderMap(5)


def test_construction_walks_a_changing_list_as_iteration_does():
    # Lists and tuples are read in place; a list that an element's
    # __getitem__ grows or shrinks must give what iterating it gives.
    def build(source):
        pairs = []

        class Changing:
            def __init__(self, n):
                self.n = n

            def __getitem__(self, i):
                if i == 0 and self.n < 5:
                    pairs.append(Changing(self.n + 1))
                if i == 0 and self.n == 3:
                    del pairs[-1]
                    pairs.append(("late", "x"))
                return (f"n{self.n}", str(self.n))[i]

        pairs.append(Changing(0))
        return HeaderMap(source(pairs))

    walked, iterated = build(lambda p: p), build(iter)
    assert walked.items() == iterated.items()
    assert walked.keys() == ["n0", "n1", "n2", "n3", "late"]
    many = [(f"name-{i}", str(i)) for i in range(100)]
    for source in (many, tuple(many), iter(many)):
        m = HeaderMap(source)
        assert m.items() == [(n, v.encode()) for n, v in many]
        assert m.keys() == [n for n, _ in many] and len(m.values()) == 100
    with pytest.raises((TypeError, IndexError)):
        HeaderMap([("only-name",)])
    with pytest.raises(TypeError, match="^header value must be str or bytes$"):
        HeaderMap([("a", None)])
    with pytest.raises(TypeError, match=r"^HeaderMap\(\) got an unexpected keyword argument 'x'"):
        HeaderMap(x=1)


# (name, exception, message) for names that must be refused
BAD_NAMES = [
    ("a b", ValueError, "invalid header name: invalid HTTP header name"),
    ("a:b", ValueError, "invalid header name: invalid HTTP header name"),
    ("", ValueError, "invalid header name: invalid HTTP header name"),
    ("caf\u00e9", ValueError, "invalid header name: invalid HTTP header name"),
    (b"x\x00", ValueError, "invalid header name: invalid HTTP header name"),
    ("a" * 65536, ValueError, "invalid header name: invalid HTTP header name"),
    (42, TypeError, "header name must be str or bytes"),
    (None, TypeError, "header name must be str or bytes"),
    (bytearray(b"a"), TypeError, "header name must be str or bytes"),
]


@pytest.mark.parametrize("name,exc,message", BAD_NAMES)
def test_bad_names(name, exc, message):
    m = HeaderMap([("a", "1")])
    for operation in (
        m.get,
        m.get_all,
        lambda n: m.add(n, "v"),
        lambda n: m.setdefault(n, "v"),
        m.__getitem__,
        m.__delitem__,
        lambda n: m.__setitem__(n, "v"),
        lambda n: HeaderMap([(n, "v")]),
    ):
        with pytest.raises(exc) as info:
            operation(name)
        assert str(info.value) == message
    assert name not in m
    assert m.items() == [("a", b"1")]


@pytest.mark.parametrize(
    "value,ok",
    [
        ("", True),
        ("\t tab and space ", True),
        ("caf\u00e9", True),
        (b"\x80\xff", True),
        ("a\nb", False),
        ("a\rb", False),
        (b"\x00", False),
        (b"\x7f", False),
        (b"\x1f", False),
    ],
)
def test_value_rule(value, ok):
    m = HeaderMap()
    if ok:
        m.add("v", value)
        expected = value.encode() if isinstance(value, str) else value
        assert m["v"] == expected and m.get_all("v") == [expected]
    else:
        with pytest.raises(ValueError, match="^invalid header value: failed to parse header value$"):
            m.add("v", value)
        assert len(m) == 0


def test_surrogate_raises_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        HeaderMap().add("a", "\udc80")
    with pytest.raises(UnicodeEncodeError):
        HeaderMap().add("\udc80", "a")


def test_access_and_mutation():
    m = HeaderMap([("A", "1"), ("b", "2"), ("a", "3")])
    marker = object()
    assert m.get("A") == b"1" and m.get("zz") is None and m.get("zz", marker) is marker
    assert m.get_all("missing") == []
    assert m["B"] == b"2"
    with pytest.raises(KeyError) as info:
        m["Missing-Name"]
    assert info.value.args == ("missing-name",)
    m["a"] = "x"
    assert m.items() == [("a", b"x"), ("b", b"2")]
    m["new"] = b"y"
    assert m.keys() == ["a", "b", "new"]
    assert m.setdefault("a", 42) == b"x"  # the value is not examined
    assert m.setdefault("c", "v") == b"v" and m.get_all("c") == [b"v"]
    with pytest.raises(TypeError, match="^header value must be str or bytes$"):
        m.setdefault("d", 42)
    with pytest.raises(KeyError) as info:
        del m["Gone"]
    assert info.value.args == ("gone",)


def test_remove_moves_last_entry_into_the_hole():
    m = HeaderMap([("a", "1"), ("b", "2"), ("c", "3")])
    del m["a"]
    assert m.keys() == ["c", "b"]
    del m["b"]
    assert m.keys() == ["c"]


def test_membership_never_raises():
    m = HeaderMap([("a", "1")])
    assert "A" in m and b"a" in m
    for name in ("a b", 42, None, "", "\udc80", object()):
        assert name not in m


def test_equality():
    a = HeaderMap([("x", "1"), ("y", "2")])
    b = HeaderMap([("Y", "2"), ("x", "1")])
    assert a == b and not a != b
    assert HeaderMap([("a", "1"), ("a", "2")]) != HeaderMap([("a", "2"), ("a", "1")])
    assert HeaderMap([("a", "1")]) != HeaderMap([("a", "1"), ("b", "")])
    assert a == a
    assert a != {"x": "1", "y": "2"} and not a == {"x": "1", "y": "2"}
    assert a != [("x", "1"), ("y", "2")]
    for compare in (lambda: a < b, lambda: a <= b, lambda: a > b, lambda: a >= b):
        with pytest.raises(TypeError):
            compare()
    with pytest.raises(TypeError):
        hash(a)


def test_name_limits_and_capacity():
    m = HeaderMap()
    m.add("a" * 65535, "v")
    assert m.get("A" * 65535) == b"v"
    m = HeaderMap([(f"h{i}", "v") for i in range(24576)])
    with pytest.raises(ValueError, match=r"^header map is full \(HeaderMap MAX_SIZE, 32768 entries\)$"):
        m.add("one-more", "v")
    with pytest.raises(ValueError, match="header map is full"):
        m["one-more"] = "v"
    with pytest.raises(ValueError, match="header map is full"):
        HeaderMap([(f"h{i}", "v") for i in range(24577)])
    assert len(m) == 24576 and "one-more" not in m
    m.add("h0", "again")  # more values under an existing name are not limited
    assert len(m) == 24577


def test_snapshot_iteration():
    m = HeaderMap([("a", "1"), ("b", "2")])
    seen = []
    for name in m:
        seen.append(name)
        m.add(name + "x", "v")
        if "b" in m:
            del m["b"]
    assert seen == ["a", "b"]
    items = m.items()
    m["a"] = "changed"
    assert items[0] == ("a", b"1")


def test_not_subclassable_no_attributes():
    with pytest.raises(TypeError):
        type("Sub", (HeaderMap,), {})
    with pytest.raises(AttributeError):
        HeaderMap().anything = 1


def test_threads_mutate_and_compare():
    a = HeaderMap([("k", "v")])
    b = HeaderMap([("k", "v")])
    errors = []
    start = threading.Barrier(4)

    def mutate(m, tag):
        try:
            start.wait()
            for i in range(3000):
                m.add(f"{tag}{i % 50}", "x")
                del m[f"{tag}{i % 50}"]
        except BaseException as exc:
            errors.append(exc)

    def compare(x, y):
        try:
            start.wait()
            for _ in range(3000):
                x == y
                y != x
        except BaseException as exc:
            errors.append(exc)

    threads = [
        threading.Thread(target=mutate, args=(a, "a")),
        threading.Thread(target=mutate, args=(b, "b")),
        threading.Thread(target=compare, args=(a, b)),
        threading.Thread(target=compare, args=(b, a)),
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert a == b == HeaderMap([("k", "v")])


def test_reads_follow_every_mutation():
    # A map keeps the bytes it handed out and gives them again; every kind of
    # change must be seen by every reader, including values that take over the
    # storage of replaced or removed ones (same, shorter and longer octets).
    rng = random.Random(7)
    names = ["a", "B", "c", "Host", "x-long-" + "n" * 60, "e"]
    m = HeaderMap()
    model = []  # [(lowercase name, [bytes values])] in sequence order

    def entry(name):
        return next((e for e in model if e[0] == name.lower()), None)

    for step in range(3000):
        name = rng.choice(names)
        value = rng.choice(["", "v", "vv", f"value-{step}", "w" * rng.randrange(1, 40)])
        raw = value.encode() if rng.random() < 0.5 else value
        op = rng.randrange(5)
        found = entry(name)
        if op == 0:
            m.add(name, raw)
            if found:
                found[1].append(value.encode())
            else:
                model.append((name.lower(), [value.encode()]))
        elif op == 1:
            m[name] = raw
            if found:
                found[1][:] = [value.encode()]
            else:
                model.append((name.lower(), [value.encode()]))
        elif op == 2:
            if found:
                del m[name]
                index = model.index(found)
                last = model.pop()
                if index < len(model):
                    model[index] = last
            else:
                with pytest.raises(KeyError):
                    del m[name]
        elif op == 3:
            result = m.setdefault(name, raw)
            if found:
                assert result == found[1][0]
            else:
                model.append((name.lower(), [value.encode()]))
                assert result == value.encode()
        else:
            assert m.get(name) == (found[1][0] if found else None)
        probe = rng.choice(names)
        expected = entry(probe)
        assert m.get(probe) == (expected[1][0] if expected else None), step
        assert m.get_all(probe) == (expected[1] if expected else []), step
        if expected:
            assert m[probe] == expected[1][0]
        items = [(n, v) for n, vs in model for v in vs]
        assert m.items() == items, step
        assert m.keys() == [n for n, _ in model] == list(m)
        assert m.values() == [v for _, v in items]
        assert m.raw_items() == [(n.encode(), v) for n, v in items]


def test_threads_read_their_own_writes():
    # One map shared by writers that each own a name (so each knows what it
    # must read back) and a reader of whole snapshots.
    m = HeaderMap([("shared", "s")])
    errors = []
    start = threading.Barrier(5)

    def write(tag):
        try:
            start.wait()
            for i in range(2000):
                m[tag] = str(i)
                assert m[tag] == str(i).encode()
                m.add(tag, "x" * (i % 7))
                assert m.get_all(tag) == [str(i).encode(), b"x" * (i % 7)]
                assert m.setdefault(tag, "unused") == str(i).encode()
                if i % 3 == 0:
                    del m[tag]
                    assert m.get(tag) is None
        except BaseException as exc:
            errors.append(exc)

    def read():
        try:
            start.wait()
            for _ in range(2000):
                seen = {}
                for name, value in m.items():
                    seen.setdefault(name, []).append(value)
                assert seen["shared"] == [b"s"]
                for name, values in seen.items():
                    if name != "shared":
                        assert values[0].isdigit() and len(values) <= 2, (name, values)
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=write, args=(f"w{i}",)) for i in range(4)]
    threads.append(threading.Thread(target=read))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors[0]


def test_no_leaks():
    m = HeaderMap([("a", "1"), ("b", "2")])
    assert_no_leaks(
        [
            lambda: HeaderMap([("A", "1"), ("b", "2"), ("a", "3")]),
            lambda: HeaderMap({"x": "y"}),
            lambda: HeaderMap(m),
            lambda: (
                m.get("a"),
                m.get("zz"),
                m.get_all("a"),
                m.keys(),
                m.values(),
                m.items(),
                m.raw_items(),
                repr(m),
                list(m),
                "a" in m,
                m == m,
                m == HeaderMap(m),
            ),
            lambda: m.setdefault("a", 1),
            lambda: (m.__setitem__("t", "v"), m.__delitem__("t")),
            # values read, then replaced or removed while the map keeps their bytes
            lambda: (
                m.__setitem__("t", "v"),
                m.get("t"),
                m.__setitem__("t", "w"),
                m.items(),
                m.add("t", "u"),
                m.get_all("t"),
                m.__delitem__("t"),
            ),
            swallowing(m.__getitem__, "missing"),
            swallowing(m.add, "a b", "v"),
            swallowing(m.add, "a", "\n"),
            swallowing(HeaderMap, [("a", None)]),
        ]
    )


# ---- headers arguments of the other classes ----------------------------------------


def _streams():
    return _vantric.H2Streams(
        "client",
        initial_window_size=65535,
        connection_window=65535,
        max_frame_size=16384,
        max_header_list_size=65536,
        max_send_buf_size=65536,
    )


# Every parameter that takes a header collection: (call with the value, what it
# admits besides a HeaderMap).  A HeaderMap is always taken as it is; None and
# a missing optional argument mean no fields; only respond_head converts what
# HeaderMap(init) converts.
HEADERS_PARAMETERS = {
    "H1Codec.serialize_request.headers": (lambda h: H1Codec().serialize_request("GET", "/", h), "or None"),
    "H1Codec.serialize_response.headers": (lambda h: H1Codec().serialize_response(200, h), "or None"),
    "H1Codec.serialize_trailers.trailers": (lambda h: H1Codec().serialize_trailers(h), ""),
    "H1Codec.serialize_head_and_body.trailers": (
        lambda h: H1Codec().serialize_head_and_body(b"", None, h),
        "or None",
    ),
    "H1Codec.connection_close.headers": (lambda h: H1Codec.connection_close(h), ""),
    "H1ServerState.respond_head.headers": (
        lambda h: H1ServerState(H1Codec(), None).respond_head(1, 200, h, None),
        "convertible",
    ),
    "H2Codec.serialize_request_headers.headers": (
        lambda h: H2Codec().serialize_request_headers(1, "GET", "https://a/", h),
        "or None",
    ),
    "H2Codec.serialize_response_headers.headers": (
        lambda h: H2Codec().serialize_response_headers(1, 200, h),
        "or None",
    ),
    "H2Codec.serialize_trailers.trailers": (lambda h: H2Codec().serialize_trailers(1, h), ""),
    "H2Codec.check_send_headers.headers": (lambda h: H2Codec.check_send_headers(h), ""),
    "H2Streams.open_stream.headers": (
        lambda h: _streams().open_stream("GET", "https://a/", h, True, False, None),
        "or None",
    ),
    "H2Streams.send_trailers.trailers": (lambda h: _streams().send_trailers(1, h), ""),
    "H2Streams.send_response_head.headers": (
        lambda h: _streams().send_response_head(1, 200, h, True),
        "or None",
    ),
}


def _refusal(call, value):
    """The TypeError message a call gives for `value`, or None when the argument is taken
    (the call may still fail for other reasons: the states here are fresh)."""
    try:
        call(value)
    except TypeError as exc:
        return str(exc)
    except Exception:
        pass
    return None


@pytest.mark.parametrize("where", sorted(HEADERS_PARAMETERS))
def test_headers_parameters_share_one_rule(where):
    call, admits = HEADERS_PARAMETERS[where]
    qualname, name = where.rsplit(".", 1)
    expected = {
        "": "HeaderMap",
        "or None": "HeaderMap or None",
        "convertible": "HeaderMap, dict, iterable of pairs or None",
    }[admits]
    prefix = f"{qualname}() argument '{name}' must be {expected}, not "
    assert _refusal(call, HeaderMap([("x", "1")])) is None
    assert _refusal(call, 5) == prefix + "int"
    assert _refusal(call, None) == (None if admits else prefix + "NoneType")
    for init in ({"x": "1"}, [("x", "1")]):
        assert _refusal(call, init) == (None if admits == "convertible" else prefix + type(init).__name__)
