"""The host crossing: argument binding, conversions, results and class machinery."""

import gc
import inspect
import itertools
import sys
import threading

import pytest

from conftest import assert_no_leaks, swallowing


def bind(a, b=None, *, c, d=0):
    return (a, b, c, d)


class Probe:
    """What the module's Probe test class looks like when written in Python."""

    def bind(self, a, b=None, *, c, d=0):
        return (a, b, c, d)


POSITIONAL = [(), (1,), (1, 2), (1, 2, 3), (1, 2, 3, 4)]
KEYWORDS = [
    {},
    {"c": 3},
    {"a": 1},
    {"b": 2, "c": 3},
    {"c": 3, "d": 4},
    {"a": 1, "c": 3},
    {"x": 1},
    {"cc": 3},
    {"A": 1, "c": 3},
    {"d": 4},
    {"b": 2},
    {"bb": 1, "a": 0},
]


def outcome(fn, args, kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except TypeError as exc:
        return ("TypeError", str(exc))


@pytest.mark.parametrize("args,kwargs", list(itertools.product(POSITIONAL, KEYWORDS)))
def test_binding_matches_host_functions(testing, args, kwargs):
    assert outcome(testing.bind, args, kwargs) == outcome(bind, args, kwargs)
    ours, theirs = testing.Probe(), Probe()
    assert outcome(ours.bind, args, kwargs) == outcome(theirs.bind, args, kwargs)


def test_text_signatures(testing):
    assert str(inspect.signature(testing.bind)) == "(a, b=None, *, c, d=0)"
    assert str(inspect.signature(testing.Probe)) == "(value=None)"
    assert str(inspect.signature(testing.Probe().bind)) == "(a, b=None, *, c, d=0)"
    assert str(inspect.signature(testing.Probe.twice)) == "(number)"
    assert testing.Probe.bind.__doc__.splitlines()[0] == "Bind arguments."
    assert testing.bind.__module__ == "vantric._vantric._testing"


def test_constructor_binding(testing):
    assert testing.Probe().value is None
    marker = object()
    assert testing.Probe(marker).value is marker
    assert testing.Probe(value=marker).value is marker
    with pytest.raises(
        TypeError, match=r"^Probe\(\) takes from 0 to 1 positional arguments but 2 were given$"
    ):
        testing.Probe(1, 2)
    with pytest.raises(TypeError, match=r"^Probe\(\) got an unexpected keyword argument 'other'"):
        testing.Probe(other=1)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


WIDTHS = {"u16": 16, "u32": 32, "u64": 64}


@pytest.mark.parametrize("kind", sorted(WIDTHS))
def test_integer_widths(testing, kind):
    top = 2 ** WIDTHS[kind] - 1
    for value in (0, 1, top, True, Index(7)):
        assert testing.convert(kind, value) == int(getattr(value, "value", value))
    for value in (-1, top + 1, 2**200, -(2**200), Index(-1)):
        with pytest.raises(OverflowError, match="convert\\(\\) argument 'value'"):
            testing.convert(kind, value)
    for value in ("1", 1.0, None, b"1"):
        with pytest.raises(TypeError, match=r"^convert\(\) argument 'value' must be int, not "):
            testing.convert(kind, value)


def test_stream_identifier_bounds(testing):
    with pytest.raises(OverflowError):
        testing.Probe.twice(-1)
    with pytest.raises(OverflowError):
        testing.Probe.twice(2**32)
    with pytest.raises(TypeError):
        testing.Probe.twice("1")
    assert testing.Probe.twice(2**32 - 1) == 2**33 - 2


def test_flags_take_only_bool(testing):
    assert testing.convert("bool", True) is True
    assert testing.convert("bool", False) is False
    for value in (0, 1, None, "yes"):
        with pytest.raises(TypeError, match=r"^convert\(\) argument 'value' must be bool, not "):
            testing.convert("bool", value)


def test_text_and_bytes(testing):
    assert testing.convert("str", "caf\u00e9") == "caf\u00e9".encode()
    with pytest.raises(UnicodeEncodeError):
        testing.convert("str", "\udc80")
    with pytest.raises(TypeError, match="must be str, not bytes"):
        testing.convert("str", b"x")
    assert testing.convert("bytes", b"\x00\xff") == b"\x00\xff"
    for value in ("x", bytearray(b"x"), memoryview(b"x")):
        with pytest.raises(TypeError, match="must be bytes"):
            testing.convert("bytes", value)


def test_bytes_results(testing):
    assert testing.bytes_of_size(5) == b"xxxxx"
    with pytest.raises(OverflowError, match="^bytes size does not fit Py_ssize_t$"):
        testing.bytes_of_size(sys.maxsize + 1)


def test_vocabulary_strings_are_created_once(testing):
    words = [testing.word(i) for i in range(5)]
    assert words == ["user", "library", "remote", "client", "server"]
    assert all(testing.word(i) is w for i, w in enumerate(words))


def test_class_machinery(testing):
    probe = testing.Probe(1)
    assert testing.Probe.__module__ == "vantric._vantric._testing".rsplit(".", 1)[0]
    assert testing.Probe.__qualname__ == "Probe"
    assert testing.Probe.ANSWER == 42
    assert not hasattr(probe, "__dict__")
    with pytest.raises(AttributeError):
        probe.other = 1
    with pytest.raises(AttributeError):
        probe.value = 2
    with pytest.raises(AttributeError):
        del probe.value
    with pytest.raises(TypeError):
        testing.Probe.ANSWER = 1
    with pytest.raises(TypeError):
        testing.Sealed()
    with pytest.raises(TypeError):
        type("Sub", (testing.Probe,), {})


def test_subclassing_and_cycles(testing):
    class Derived(testing.Base):
        pass

    obj = Derived(3)
    obj.extra = obj  # a cycle through the subclass's own dict
    assert obj.value == 3 and isinstance(obj, testing.Base)
    ref_count = sys.getrefcount(Derived)
    del obj
    gc.collect()
    assert sys.getrefcount(Derived) == ref_count - 1


def test_concurrent_calls(testing):
    errors = []

    def worker():
        try:
            for i in range(2000):
                assert testing.bind(i, c=i) == (i, None, i, 0)
                assert testing.Probe.twice(i) == 2 * i
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


def test_no_leaks(testing):
    operations = [
        lambda: testing.bind(1, 2, c=3),
        swallowing(testing.bind, 1, x=2),
        swallowing(testing.bind, 1, 2, 3),
        lambda: testing.Probe(object()).bind(1, c=2),
        lambda: testing.convert("u32", Index(5)),
        swallowing(testing.convert, "u32", -1),
        swallowing(testing.raise_h1, 8, 0, [("outer", None), ("inner", "UnexpectedEof")]),
        swallowing(testing.raise_h2, "reset", 5, 8, 2),
        swallowing(testing.raise_h2, "goaway", 1),
        swallowing(testing.raise_h2, "user", 3, 0, 0, "custom"),
        swallowing(testing.fault, "boom"),
        swallowing(testing.bad_alloc),
    ]
    assert_no_leaks(operations)
