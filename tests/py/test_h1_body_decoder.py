"""H1BodyDecoder: Content-Length, chunked and close-delimited bodies."""

import inspect
import random
import sys
import threading

import h11
import pytest

from conftest import assert_no_leaks, swallowing
from vantric import _vantric as v

D = v.H1BodyDecoder
PREFIX = "error reading a body from connection: "


def drain(decoder, method="decode"):
    """Every piece available now, and the error raised, if any."""
    pieces = []
    while True:
        try:
            piece = getattr(decoder, method)()
        except v.H1BodyError as exc:
            return pieces, exc.args
        if piece is None:
            return pieces, None
        assert type(piece) is bytes and piece
        pieces.append(piece)


def run(kind, length, data, eof, cuts=(), method="decode"):
    """Feeds `data` cut at `cuts`, decoding after each piece with `method`;
    then end of file.  Returns (body, complete, buffered, error args, trailer
    items)."""
    decoder = D(kind, length)
    body, error, start = [], None, 0
    for end in [*cuts, len(data)]:
        decoder.feed(data[start:end])
        start = end
        pieces, error = drain(decoder, method)
        body += pieces
        if error:
            decoder.feed(data[start:])
            break
    if error is None and eof:
        decoder.mark_eof()
        pieces, error = drain(decoder, method)
        body += pieces
    trailers = decoder.take_trailers()
    if trailers is not None:
        assert type(trailers) is v.HeaderMap
        assert decoder.take_trailers() is None
        trailers = trailers.items()
    return b"".join(body), decoder.is_complete, decoder.buffered, error, trailers


def run_every_split(kind, length, data, eof, method="decode"):
    whole = run(kind, length, data, eof, method=method)
    assert run(kind, length, data, eof, range(1, len(data)), method) == whole
    for i in range(1, len(data)):
        assert run(kind, length, data, eof, [i], method) == whole, i
    return whole


def bad(io_kind, text):
    return (io_kind, PREFIX + text)


# (kind, length, input, eof) -> (body, complete, buffered, error, trailers)
CASES = [
    (("length", 0, b"", False), (b"", True, 0, None, None)),
    (("empty", 0, b"abc", False), (b"", True, 3, None, None)),
    (("length", 5, b"hel", False), (b"hel", False, 0, None, None)),
    (
        ("length", 5, b"hel", True),
        (b"hel", False, 0, bad("unexpected_eof", "end of file before message length reached"), None),
    ),
    (("length", 5, b"hellowor", False), (b"hello", True, 3, None, None)),
    (("close", 0, b"abc", False), (b"abc", False, 0, None, None)),
    (("close", 0, b"abc", True), (b"abc", True, 0, None, None)),
    (("chunked", 0, b"5\r\nhello\r\n0\r\n\r\n", False), (b"hello", True, 0, None, None)),
    (("chunked", 0, b"1A\r\n" + b"z" * 26 + b"\r\n0\r\n\r\n", False), (b"z" * 26, True, 0, None, None)),
    (("chunked", 0, b"1a\r\n" + b"z" * 26 + b"\r\n0\r\n\r\n", False), (b"z" * 26, True, 0, None, None)),
    (
        ("chunked", 0, b"10000000000000000\r\n", False),
        (b"", False, 2, bad("invalid_data", "invalid chunk size: overflow"), None),
    ),
    (("chunked", 0, b"5;name=value\r\nhello\r\n0\r\n\r\n", False), (b"hello", True, 0, None, None)),
    (
        ("chunked", 0, b"5;na\nme\r\nhello\r\n0\r\n\r\n", False),
        (b"", False, 16, bad("invalid_data", "invalid chunk extension contains newline"), None),
    ),
    (("chunked", 0, b"5  \r\nhello\r\n0\r\n\r\n", False), (b"hello", True, 0, None, None)),
    (
        ("chunked", 0, b"5 6\r\nhello\r\n0\r\n\r\n", False),
        (b"", False, 14, bad("invalid_input", "Invalid chunk size linear white space"), None),
    ),
    (
        ("chunked", 0, b"5\r\nhelloX\r\n0\r\n\r\n", False),
        (b"hello", False, 7, bad("invalid_input", "Invalid chunk body CR"), None),
    ),
    (
        ("chunked", 0, b"5\r\nhello\rX0\r\n\r\n", False),
        (b"hello", False, 5, bad("invalid_input", "Invalid chunk body LF"), None),
    ),
    (
        ("chunked", 0, b"5\r\nhel", True),
        (b"hel", False, 0, bad("unexpected_eof", "end of file before message length reached"), None),
    ),
    (
        ("chunked", 0, b"5\r\nhello", True),
        (b"hello", False, 0, bad("unexpected_eof", "unexpected EOF during chunk size line"), None),
    ),
    (("chunked", 0, b"0\r\nExpires: never\r\n\r\nNEXT", True), (b"", True, 4, None, [("expires", b"never")])),
    (
        ("chunked", 0, b"0\r\na: 1\r\nB:2\r\nA: 3 \r\n\r\n", False),
        (b"", True, 0, None, [("a", b"1"), ("a", b"3"), ("b", b"2")]),
    ),
    (
        ("chunked", 0, b"0\r\na: \x00\r\n\r\n", False),
        (b"", False, 0, bad("invalid_input", "invalid header value"), None),
    ),
]


# decode_available() joins what decode() returns piece by piece: the same
# content, and a failure met after content only on the call after it.
@pytest.mark.parametrize("method", ["decode", "decode_available"])
@pytest.mark.parametrize("args,expected", CASES)
def test_cases_at_every_split(args, expected, method):
    assert run_every_split(*args, method=method) == expected


def test_decode_available_joins_one_read():
    pieces = [b"a" * n for n in (1, 64, 300, 7)]
    decoder = D("chunked")
    decoder.feed(chunked_of(pieces)[:-5] + b"0\r\nx: 1\r\n\r\nNEXT")
    assert decoder.decode_available() == b"".join(pieces)
    assert decoder.decode_available() is None and decoder.is_complete and decoder.buffered == 4
    assert decoder.take_trailers().items() == [("x", b"1")]
    # Content then a broken chunk: the content first, the error next.
    decoder = D("chunked")
    decoder.feed(b"3\r\nabc\r\n2\r\nxyZZ")
    assert decoder.decode_available() == b"abcxy"
    for _ in range(2):
        with pytest.raises(v.H1BodyError, match="Invalid chunk body CR"):
            decoder.decode_available()
    # A sized body stops at its length; a close-delimited one takes everything.
    decoder = D("length", 3)
    decoder.feed(b"abcGET / HTTP/1.1\r\n")
    assert decoder.decode_available() == b"abc" and decoder.is_complete
    decoder = D("close")
    decoder.feed(b"x" * 20000)
    assert decoder.decode_available() == b"x" * 20000 and decoder.decode_available() is None


def test_trailer_line_limit():
    def lines(count):
        return b"".join(b"t%d: v\r\n" % i for i in range(count))

    _, complete, _, _, trailers = run("chunked", 0, b"0\r\n" + lines(100) + b"\r\n", False)
    assert complete and len(trailers) == 100
    _, complete, _, error, _ = run("chunked", 0, b"0\r\n" + lines(101) + b"\r\n", False)
    assert not complete and error == bad("invalid_data", "chunk trailers count overflow")


def test_close_pieces_are_capped():
    decoder = D("close")
    decoder.feed(b"c" * 20000)
    assert [len(decoder.decode()) for _ in range(3)] == [8192, 8192, 3616]
    assert decoder.decode() is None and not decoder.is_complete
    decoder.mark_eof()
    assert decoder.decode() is None and decoder.is_complete


def test_complete_is_terminal_and_failures_repeat():
    decoder = D("chunked")
    decoder.feed(b"0\r\n\r\n")
    assert decoder.decode() is None and decoder.is_complete
    assert decoder.take_trailers() is None
    decoder.feed(b"more")
    assert decoder.decode() is None and decoder.buffered == 4

    decoder = D("chunked")
    decoder.feed(b"5\r\nhelloXX")
    assert decoder.decode() == b"hello"
    for _ in range(2):
        with pytest.raises(v.H1BodyError) as info:
            decoder.decode()
        assert info.value.args == bad("invalid_input", "Invalid chunk body CR")
    assert not decoder.is_complete and decoder.buffered == 1
    assert isinstance(info.value, v.H1Error) and str(info.value) == str(info.value.args)


def test_trailers_before_the_end_and_as_a_map():
    decoder = D("chunked")
    decoder.feed(b"0\r\nA: 1\r\n")
    assert decoder.decode() is None and decoder.take_trailers() is None
    decoder.feed(b"a: 2\r\n\r\n")
    assert decoder.decode() is None and decoder.is_complete
    trailers = decoder.take_trailers()
    assert trailers == v.HeaderMap([("a", "1"), ("a", "2")])
    trailers.add("b", "3")  # an ordinary map the host owns
    assert len(trailers) == 3 and decoder.take_trailers() is None


def test_bytes_subclass_and_empty_feeds():
    class Sub(bytes):
        pass

    decoder = D("length", 4)
    decoder.feed(b"")
    assert decoder.decode() is None and decoder.buffered == 0
    decoder.feed(Sub(b"ab"))
    decoder.feed(b"cdef")
    assert decoder.buffered == 6
    assert decoder.decode() == b"ab" and decoder.decode() == b"cd"
    assert decoder.is_complete and decoder.buffered == 2


def test_fed_objects_are_not_kept():
    data = bytes(bytearray(b"x" * 1000))
    base = sys.getrefcount(data)
    decoder = D("length", 1500)
    decoder.feed(data)
    assert decoder.decode() == data
    assert sys.getrefcount(data) == base
    decoder.feed(data)  # the decoder may refer to what is still unread...
    assert decoder.decode() == data[:500] and decoder.buffered == 500
    del decoder  # ...until it goes away
    assert sys.getrefcount(data) == base


def test_codec_hand_over_and_back():
    # The bytes after a head move into the decoder; those past the body stay
    # buffered there.
    codec = v.H1Codec()
    head = codec.receive_head(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel")
    decoder = D(head.body_kind)
    codec.take_body_into(decoder)
    decoder.feed(b"lo\r\n0\r\nT: 1\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n")
    assert drain(decoder) == ([b"hel", b"lo"], None) and decoder.is_complete
    assert decoder.take_trailers() == v.HeaderMap({"t": "1"})
    assert codec.buffered() == 0 and decoder.buffered == 27
    with pytest.raises(TypeError):
        codec.take_body_into(b"")


# ---- arguments and class --------------------------------------------------------

ARGUMENT_ERRORS = [
    (lambda: D(), TypeError, r"^H1BodyDecoder\(\) missing 1 required positional argument: 'kind'$"),
    (lambda: D(1), TypeError, r"^H1BodyDecoder\(\) argument 'kind' must be str, not int$"),
    (lambda: D(b"length"), TypeError, "'kind' must be str, not bytes$"),
    (lambda: D("length", -1), OverflowError, "'length' is out of range"),
    (lambda: D("length", 2**64), OverflowError, "unsigned 64-bit integer$"),
    (lambda: D("length", "1"), TypeError, r"^H1BodyDecoder\(\) argument 'length' must be int, not str$"),
    (
        lambda: D("length", 1, 2),
        TypeError,
        r"^H1BodyDecoder\(\) takes from 1 to 2 positional arguments but 3 were given$",
    ),
    (lambda: D("length", size=1), TypeError, "unexpected keyword argument 'size'"),
    (
        lambda: D("x").feed("str"),
        TypeError,
        r"^H1BodyDecoder\.feed\(\) argument 'data' must be bytes, not str$",
    ),
    (lambda: D("x").feed(bytearray(b"a")), TypeError, "must be bytes, not bytearray$"),
    (lambda: D("x").feed(memoryview(b"a")), TypeError, "must be bytes, not memoryview$"),
    (lambda: D("x").feed(), TypeError, "missing 1 required positional argument: 'data'$"),
    (
        lambda: D("x").decode(1),
        TypeError,
        r"^H1BodyDecoder\.decode\(\) takes 1 positional argument but 2 were given$",
    ),
    (lambda: D("x").mark_eof(x=1), TypeError, "unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("call,cls,message", ARGUMENT_ERRORS)
def test_argument_errors(call, cls, message):
    with pytest.raises(cls, match=message):
        call()


def test_keywords_and_integer_like_length():
    class Index:
        def __index__(self):
            return 3

    decoder = D(kind="length", length=Index())
    decoder.feed(data=b"abcd")
    assert decoder.decode() == b"abc" and decoder.buffered == 1
    assert D("length", 2**64 - 1).is_complete is False


def test_class_identity():
    assert D.__module__ == "vantric._vantric" and D.__qualname__ == "H1BodyDecoder"
    assert str(inspect.signature(D)) == "(kind, length=0)"
    decoder = D("close")
    methods = ["feed", "mark_eof", "decode", "decode_available", "take_trailers"]
    for method, text in zip(methods, ["(data)", "()", "()", "()", "()"], strict=True):
        assert str(inspect.signature(getattr(decoder, method))) == text
    with pytest.raises(TypeError):
        type("Sub", (D,), {})
    for name in ("is_complete", "buffered", "extra"):
        with pytest.raises(AttributeError):
            setattr(decoder, name, 1)


# ---- differential: h11's chunked decoding ---------------------------------------

TOKEN = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.!#$%&'*+^`|~"
VALUE = "".join(chr(c) for c in range(0x21, 0x7F))


def random_chunked(rng):
    """A valid chunked body: (wire bytes, content, trailer pairs)."""
    wire, content = [], []
    for _ in range(rng.randrange(0, 8)):
        size = rng.choice([1, 2, 15, 16, 17, 255, 256, 1000, rng.randrange(1, 5000)])
        data = rng.randbytes(size)
        digits = format(size, rng.choice(["x", "X"])).zfill(rng.choice([0, 0, 3, 8]))
        ext = ""
        for _ in range(rng.choice([0, 0, 0, 1, 2])):
            name = "".join(rng.choices(TOKEN, k=rng.randrange(1, 8)))
            value = rng.choice(["", "=" + "".join(rng.choices(TOKEN, k=4)), '="q s;t"'])
            ext += ";" + name + value
        ows = rng.choice(["", "", " ", "\t "]) if not ext else ""
        wire.append(f"{digits}{ext}{ows}\r\n".encode() + data + b"\r\n")
        content.append(data)
    trailers = []
    for _ in range(rng.choice([0, 0, 1, 3])):
        name = "".join(rng.choices(TOKEN, k=rng.randrange(1, 10)))
        value = " ".join(
            "".join(rng.choices(VALUE, k=rng.randrange(1, 6))) for _ in range(rng.randrange(0, 3))
        )
        trailers.append((name, value))
    last = "0" + rng.choice(["", ";end=1"]) + "\r\n"
    wire.append(
        last.encode()
        + b"".join(f"{n}:{rng.choice(['', ' ', '  '])}{val}\r\n".encode() for n, val in trailers)
        + b"\r\n"
    )
    return b"".join(wire), b"".join(content), trailers


def h11_decode(wire, cuts):
    conn = h11.Connection(h11.CLIENT)
    conn.send(h11.Request(method="GET", target="/", headers=[("Host", "x")]))
    conn.send(h11.EndOfMessage())
    conn.receive_data(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
    body, start = [], 0
    for end in [*cuts, len(wire)]:
        conn.receive_data(wire[start:end])
        start = end
        while True:
            event = conn.next_event()
            if event is h11.NEED_DATA:
                break
            if isinstance(event, h11.Data):
                body.append(event.data)
            elif isinstance(event, h11.EndOfMessage):
                return b"".join(body), [(bytes(n), bytes(val)) for n, val in event.headers]
    raise AssertionError("h11 did not finish")


def grouped(pairs):
    """Pairs with the values of one name adjacent, names in first-seen order."""
    order = {}
    for name, value in pairs:
        order.setdefault(name, []).append(value)
    return [(name, value) for name, values in order.items() for value in values]


def test_differential_against_h11():
    rng = random.Random(0x5EED)
    for _ in range(400):
        wire, content, _ = random_chunked(rng)
        cuts = sorted(rng.sample(range(1, len(wire)), min(len(wire) - 1, rng.randrange(0, 6))))
        expected_body, expected_trailers = h11_decode(wire, cuts)
        assert expected_body == content
        cuts = sorted(rng.sample(range(1, len(wire)), min(len(wire) - 1, rng.randrange(0, 6))))
        method = rng.choice(["decode", "decode_available"])
        body, complete, buffered, error, trailers = run("chunked", 0, wire + b"NEXT", False, cuts, method)
        assert (body, complete, buffered, error) == (content, True, 4, None)
        expected = grouped((n.decode(), val) for n, val in expected_trailers)
        assert (trailers or []) == expected


# ---- threads and leaks ----------------------------------------------------------


def chunked_of(pieces):
    return b"".join(b"%x\r\n%s\r\n" % (len(p), p) for p in pieces) + b"0\r\n\r\n"


def test_feeder_and_reader_threads():
    rng = random.Random(7)
    pieces = [rng.randbytes(rng.randrange(1, 300)) for _ in range(40)]
    wire = chunked_of(pieces)
    decoder = D("chunked")
    got = []
    errors = []

    def feeder():
        for i in range(0, len(wire), 7):
            decoder.feed(wire[i : i + 7])

    def reader():
        try:
            while not decoder.is_complete:
                piece = decoder.decode()
                if piece is not None:
                    got.append(piece)
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=feeder), threading.Thread(target=reader)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not errors and b"".join(got) == b"".join(pieces)


def test_racing_readers_share_the_pieces():
    # Every 4-octet word names its own position, so the pieces can be put
    # back in order whichever thread took them.
    body = b"".join(i.to_bytes(4, "big") for i in range(30000))
    decoder = D("close")
    for i in range(0, len(body), 100):
        decoder.feed(body[i : i + 100])
    decoder.mark_eof()
    taken = [[] for _ in range(4)]
    start = threading.Barrier(4)

    def reader(index):
        start.wait()
        while (piece := decoder.decode()) is not None:
            taken[index].append(piece)

    threads = [threading.Thread(target=reader, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    pieces = sorted((p for lst in taken for p in lst), key=lambda p: p[:4])
    assert b"".join(pieces) == body and decoder.is_complete


def test_no_leaks():
    chunked = b"5;x=y\r\nhello\r\n3\r\nabc\r\n0\r\nA: 1\r\nB: 2\r\n\r\nnext"

    def full_cycle():
        decoder = D("chunked")
        decoder.feed(chunked[:9])
        decoder.feed(chunked[9:])
        drain(decoder)
        decoder.take_trailers()

    def failing():
        decoder = D("chunked")
        decoder.feed(b"5\r\nhelloXX")
        drain(decoder)
        drain(decoder)

    def eof():
        decoder = D("length", 10)
        decoder.feed(b"abc")
        decoder.mark_eof()
        drain(decoder)

    assert_no_leaks(
        [
            full_cycle,
            failing,
            eof,
            swallowing(D, 1),
            swallowing(D("x").feed, "s"),
            swallowing(D, "length", -1),
        ]
    )
