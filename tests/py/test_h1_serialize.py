"""H1Codec's write side as the host sees it: every message we write is read back
by our own parser and body decoder, by h11 and by httptools to the same
message; failures leave the codec as documented."""

import inspect
import threading

import h11
import httptools
import pytest

from conftest import assert_no_leaks, swallowing
from vantric._vantric import H1BodyDecoder, H1Codec, H1UserError, HeaderMap, http_date

# ---- readers ---------------------------------------------------------------------
# Each returns (start, fields, body, trailers): start is (method, target) or the
# status; fields and trailers are lists of (lowercase name, value) bytes pairs.


def read_ours(wire, request_method=None, eof=False):
    codec = H1Codec()
    if request_method is None:
        head = codec.receive_request_head(wire)
        start = (head.method, head.target)
    else:
        codec.serialize_request(request_method, "/")
        head = codec.receive_head(wire)
        start = head.status
    decoder = H1BodyDecoder(head.body_kind, head.content_length or 0)
    codec.take_body_into(decoder)
    if eof:
        decoder.mark_eof()
    body = b""
    while (piece := decoder.decode()) is not None:
        body += piece
    assert decoder.is_complete
    assert decoder.buffered == 0
    trailers = decoder.take_trailers()
    return start, head.headers.raw_items(), body, trailers.raw_items() if trailers else []


def read_h11(wire, request_method=None, eof=False):
    if request_method is None:
        conn = h11.Connection(h11.SERVER)
    else:
        conn = h11.Connection(h11.CLIENT)
        conn.send(h11.Request(method=request_method, target="/", headers=[("host", "h")]))
        conn.send(h11.EndOfMessage())
    conn.receive_data(wire)
    if eof:
        conn.receive_data(b"")
    start, fields, body = None, None, b""
    while True:
        event = conn.next_event()
        if isinstance(event, h11.Request):
            start, fields = (event.method.decode(), event.target.decode()), list(event.headers)
        elif isinstance(event, h11.Response):
            start, fields = event.status_code, list(event.headers)
        elif isinstance(event, h11.Data):
            body += event.data
        elif isinstance(event, h11.EndOfMessage):
            return start, fields, body, list(event.headers)
        else:
            raise AssertionError(f"h11 stopped at {event!r}")


class HttptoolsSink:
    def __init__(self):
        self.fields, self.body, self.url, self.done = [], b"", b"", False

    def on_url(self, url):
        self.url += url

    def on_header(self, name, value):
        self.fields.append((name.lower(), value))

    def on_body(self, body):
        self.body += body

    def on_message_complete(self):
        self.done = True


def read_httptools(wire, request_method=None, eof=False):
    sink = HttptoolsSink()
    parser = (httptools.HttpRequestParser if request_method is None else httptools.HttpResponseParser)(sink)
    parser.feed_data(wire)
    assert sink.done
    start = (
        (parser.get_method().decode(), sink.url.decode())
        if request_method is None
        else parser.get_status_code()
    )
    # httptools hands trailer lines to on_header after the body.
    return start, sink.fields, sink.body, None


def fields_of(raw_items):
    return [(bytes(n).lower(), bytes(v)) for n, v in raw_items]


def send_body(codec, pieces, trailers):
    out = b"".join(codec.serialize_data(p) for p in pieces)
    return out + (
        codec.serialize_end() if trailers is None else codec.serialize_trailers(HeaderMap(trailers))
    )


# ---- requests --------------------------------------------------------------------

# (method, url, fields, keyword arguments, body pieces, trailers, readers)
ALL = ("h11", "httptools")
REQUESTS = [
    ("GET", "/", [("Host", "h"), ("Accept", "*/*"), ("User-Agent", "t/1")], {}, [], None, ALL),
    (
        "POST",
        "/submit?x=1",
        [("host", "h"), ("Content-Type", "text/plain")],
        {"content_length": 11},
        [b"hello", b" world"],
        None,
        ALL,
    ),
    ("PUT", "/u", [("host", "h"), ("content-length", "4")], {"chunked": True}, [b"abcd"], None, ALL),
    ("POST", "/c", [("host", "h")], {"chunked": True}, [b"a" * 26, b"", b"b" * 5000], None, ALL),
    (
        "POST",
        "/t",
        [("host", "h"), ("trailer", "x-sum")],
        {"chunked": True},
        [b"data"],
        [("x-sum", "42"), ("content-type", "dropped")],
        ("h11",),
    ),
    (
        "POST",
        "/g",
        [("host", "h"), ("transfer-encoding", "gzip")],
        {"content_length": 3},
        [b"xyz"],
        None,
        ("httptools",),
    ),
    ("POST", "/10", [("host", "h")], {"http10": True, "content_length": 3}, [b"xyz"], None, ALL),
    ("GET", "/close", [("host", "h"), ("connection", "keep-alive, close")], {}, [], None, ALL),
    ("GET", "http://example.com", [("host", "example.com")], {}, [], None, ALL),
    ("OPTIONS", "*", [("host", "h")], {}, [], None, ALL),
    ("REPORT", "/r", [("host", "h")], {"chunked": True}, [b"q"], None, ALL),
]


@pytest.mark.parametrize("method, url, fields, kwargs, pieces, trailers, readers", REQUESTS)
def test_request_round_trip(method, url, fields, kwargs, pieces, trailers, readers):
    codec = H1Codec()
    wire = codec.serialize_request(method, url, HeaderMap(fields), **kwargs) + send_body(
        codec, pieces, trailers
    )
    assert codec.body_is_eof()
    start, head_fields, body, got_trailers = read_ours(wire)
    assert body == b"".join(pieces)
    assert start[0] == method
    for name in readers:
        other = globals()["read_" + name](wire)
        assert other[0] == start
        assert fields_of(other[1])[: len(head_fields)] == fields_of(head_fields)
        assert other[2] == body
        if other[3] is not None:
            assert fields_of(other[3]) == fields_of(got_trailers)
    if trailers:
        assert fields_of(got_trailers) == [(b"x-sum", b"42")]


def test_request_framing_rules():
    codec = H1Codec()
    assert codec.serialize_request("GET", "/", None, chunked=True) == b"GET / HTTP/1.1\r\n\r\n"
    assert codec.body_is_eof()
    assert (
        codec.serialize_request("POST", "/", content_length=5, headers=HeaderMap([("content-length", "7")]))
        == b"POST / HTTP/1.1\r\ncontent-length: 7\r\n\r\n"
    )
    assert codec.serialize_data(b"x" * 10) == b"x" * 7
    head = codec.serialize_request("GET", "/", HeaderMap([("Connection", "keep-alive, Close")]), http10=True)
    assert head == b"GET / HTTP/1.0\r\nconnection: keep-alive, Close\r\n\r\n"
    assert codec.request_connection_close
    codec.serialize_request("GET", "/", HeaderMap([("Connection", "foo, close")]))
    assert codec.request_connection_close
    codec.serialize_request("GET", "/")
    assert not codec.request_connection_close


@pytest.mark.parametrize(
    "method, url, message",
    [
        ("GE T", "/", "invalid method: invalid HTTP method"),
        ("", "/", "invalid method: invalid HTTP method"),
        ("GET", "", "invalid url: empty string"),
        ("GET", "/a b", "invalid url: invalid uri character"),
        ("GET", "/\r\nx: y", "invalid url: invalid uri character"),
        ("GET", "http://h:x/", "invalid url: invalid port"),
        ("GET", "x/y", "invalid url: scheme missing"),
        ("GET", "/" * 65535, "invalid url: uri too long"),
    ],
)
def test_request_line_errors_change_nothing(method, url, message):
    codec = H1Codec()
    codec.serialize_request("POST", "/", HeaderMap([("connection", "close")]), content_length=3)
    with pytest.raises(ValueError) as info:
        codec.serialize_request(method, url, HeaderMap([("connection", "keep-alive")]))
    assert str(info.value) == message
    assert codec.request_connection_close
    assert not codec.body_is_eof()


# ---- responses -------------------------------------------------------------------

# (request method, status, fields, keyword arguments, body pieces, trailers, readers)
RESPONSES = [
    (
        "GET",
        200,
        [
            ("Server", "s"),
            ("X-A", "1"),
            ("Content-Type", "text/plain"),
            ("Cache-Control", "no-cache"),
            ("X-B", "2"),
        ],
        {"content_length": 5},
        [b"hello"],
        None,
        ALL,
    ),
    ("GET", 404, [], {}, [], None, ALL),
    ("GET", 200, [], {"chunked": True}, [b"x" * 17, b"y" * 70000], None, ALL),
    (
        "GET",
        200,
        [("trailer", "x-sum")],
        {"chunked": True},
        [b"body"],
        [("x-sum", "1"), ("set-cookie", "no")],
        ("h11",),
    ),
    ("GET", 200, [("content-length", "3")], {"chunked": True}, [b"abc"], None, ALL),
    ("HEAD", 200, [], {"content_length": 10}, [b"ignored"], None, ("h11",)),
    ("GET", 204, [], {"chunked": True}, [b"ignored"], None, ALL),
    ("GET", 304, [("etag", '"e"')], {"content_length": 7}, [], None, ALL),
    ("GET", 200, [], {"http10": True, "chunked": True}, [b"until", b" close"], None, ("h11",)),
    ("GET", 200, [], {"keep_alive": False, "content_length": 2}, [b"ok"], None, ALL),
    ("GET", 599, [], {}, [], None, ALL),
]


@pytest.mark.parametrize("method, status, fields, kwargs, pieces, trailers, readers", RESPONSES)
@pytest.mark.parametrize("title_case", [False, True])
def test_response_round_trip(method, status, fields, kwargs, pieces, trailers, readers, title_case):
    codec = H1Codec(title_case_headers=title_case)
    codec.serialize_request(method, "/")  # records the method, as a parsed request would
    wire = codec.serialize_response(status, HeaderMap(fields), **kwargs) + send_body(codec, pieces, trailers)
    eof = codec.response_close_delimited
    assert codec.body_is_eof()
    start, head_fields, body, got_trailers = read_ours(wire, method, eof)
    assert start == status
    assert b"date" in dict(fields_of(head_fields))
    if method == "HEAD" or status in (204, 304):
        assert body == b""
    else:
        assert body == b"".join(pieces)
    for name in readers:
        other = globals()["read_" + name](wire, method, eof)
        assert other[0] == status
        assert fields_of(other[1])[: len(head_fields)] == fields_of(head_fields)
        assert other[2] == body
        if other[3] is not None:
            assert fields_of(other[3]) == fields_of(got_trailers)
    if trailers:
        assert fields_of(got_trailers) == [(b"x-sum", b"1")]
    if title_case:
        names = [line.split(b":")[0] for line in wire.split(b"\r\n\r\n")[0].split(b"\r\n")[1:]]
        assert all(n[:1].isupper() for n in names), names


def test_response_verdicts_and_lines():
    codec = H1Codec(date_header=False)
    assert codec.serialize_response(200, content_length=0) == b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n"
    assert (codec.response_is_last, codec.response_close_delimited) == (False, False)
    assert (
        codec.serialize_response(200, keep_alive=False)
        == b"HTTP/1.1 200 OK\r\nconnection: close\r\ncontent-length: 0\r\n\r\n"
    )
    assert codec.response_is_last
    codec.serialize_response(200, HeaderMap([("connection", "close")]))
    assert codec.response_is_last
    assert (
        codec.serialize_response(200, http10=True, chunked=True)
        == b"HTTP/1.0 200 OK\r\nconnection: keep-alive\r\n\r\n"
    )
    assert (codec.response_is_last, codec.response_close_delimited) == (False, True)
    assert (
        codec.serialize_response(101, HeaderMap([("upgrade", "h2c")]))
        == b"HTTP/1.1 101 Switching Protocols\r\nupgrade: h2c\r\n\r\n"
    )
    assert (codec.response_is_last, codec.response_close_delimited) == (True, False)
    for status in (204, 304):
        codec.serialize_response(status, chunked=True)
        assert codec.body_is_eof()
    line = H1Codec().serialize_response(200, content_length=0).split(b"\r\n")[2]
    assert line.startswith(b"date: ") and len(line) == 35
    assert line[6:][-4:] == http_date()[-4:]
    titled = H1Codec(title_case_headers=True).serialize_response(200, HeaderMap([("x-request-id", "1")]))
    assert b"\r\nX-Request-Id: 1\r\n" in titled and b"\r\nDate: " in titled


def raises_user(kind, fn, *args, **kwargs):
    with pytest.raises(H1UserError) as info:
        fn(*args, **kwargs)
    assert info.value.args[0] == kind
    return info.value.args[1]


@pytest.mark.parametrize(
    "status, fields, kwargs, kind",
    [
        (103, [], {}, "unsupported_status_code"),
        (100, [], {}, "unsupported_status_code"),
        (
            200,
            [("content-length", "5"), ("transfer-encoding", "chunked")],
            {"content_length": 5},
            "unexpected_header",
        ),
        (
            200,
            [("transfer-encoding", "chunked"), ("content-length", "5")],
            {"content_length": 5},
            "unexpected_header",
        ),
        (200, [("content-length", "5"), ("content-length", "6")], {"chunked": True}, "unexpected_header"),
    ],
)
def test_failed_response_changes_nothing(status, fields, kwargs, kind):
    codec = H1Codec()
    codec.serialize_request("GET", "/")
    codec.serialize_response(200, HeaderMap([("connection", "close")]), chunked=True)
    message = raises_user(kind, codec.serialize_response, status, HeaderMap(fields), **kwargs)
    assert (
        message
        == {
            "unsupported_status_code": "response has 1xx status code, not supported by server",
            "unexpected_header": "user sent unexpected header",
        }[kind]
    )
    assert (codec.response_is_last, codec.response_close_delimited) == (True, False)
    assert codec.serialize_data(b"abc") == b"3\r\nabc\r\n"


def test_connect_tunnel():
    codec = H1Codec(date_header=False)
    codec.serialize_request("CONNECT", "h:443")
    raises_user("unexpected_header", codec.serialize_response, 200, HeaderMap([("content-length", "0")]))
    assert codec.serialize_response(200) == b"HTTP/1.1 200 OK\r\n\r\n"
    assert codec.response_is_last and codec.body_is_eof()


@pytest.mark.parametrize(
    "status, error",
    [(99, ValueError), (1000, ValueError), (-1, OverflowError), (65536, OverflowError), ("200", TypeError)],
)
def test_status_range(status, error):
    with pytest.raises(error) as info:
        H1Codec().serialize_response(status)
    if error is ValueError:
        assert str(info.value) == "invalid status: invalid status code"


# ---- body ------------------------------------------------------------------------


def test_data_framing_and_identity():
    codec = H1Codec()
    empty = b""
    assert codec.serialize_data(empty) is empty  # no encoder needed for nothing
    with pytest.raises(ValueError, match="^serialize_data with no request in flight$"):
        codec.serialize_data(b"x")
    codec.serialize_request("POST", "/", content_length=4)
    chunk = b"ab"
    assert codec.serialize_data(chunk) is chunk
    assert codec.serialize_data(b"cdefghij") == b"cd"
    assert codec.serialize_data(b"more") == b""
    assert codec.serialize_end() == b""
    codec.serialize_response(200, http10=True, chunked=True)
    big = bytes(100000)
    assert codec.serialize_data(big) is big
    codec.serialize_request("POST", "/", chunked=True)
    assert codec.serialize_data(b"z" * 26) == b"1A\r\n" + b"z" * 26 + b"\r\n"

    class Sub(bytes):
        pass

    sub = Sub(b"q")
    assert codec.serialize_data(sub) == b"1\r\nq\r\n"
    assert codec.serialize_end() == b"0\r\n\r\n"
    ends = []
    for _ in range(2):
        codec.serialize_request("POST", "/", chunked=True)
        ends.append(codec.serialize_end())
    assert ends[0] == b"0\r\n\r\n" and ends[0] is ends[1]
    for bad in (bytearray(b"x"), memoryview(b"x"), "x", None):
        with pytest.raises(TypeError, match="argument 'chunk' must be bytes"):
            codec.serialize_data(bad)


def test_body_write_aborted_takes_the_encoder_out():
    codec = H1Codec()
    codec.serialize_request("POST", "/", content_length=10)
    codec.serialize_data(b"abcd")
    assert (
        raises_user("body_write_aborted", codec.serialize_end)
        == "user body write aborted: early end, expected 6 more bytes"
    )
    assert codec.body_is_eof()
    assert codec.serialize_end() == b""
    head = codec.serialize_request("POST", "/", content_length=3)
    assert (
        raises_user("body_write_aborted", codec.serialize_head_and_body, head, b"ab")
        == "user body write aborted: early end, expected 1 more bytes"
    )
    assert codec.body_is_eof()


def test_trailers_follow_te_trailers():
    server = H1Codec(date_header=False)
    trailers = HeaderMap([("x-checksum", "1"), ("content-type", "t")])
    server.receive_request_head(b"GET / HTTP/1.1\r\nhost: h\r\n\r\n")
    server.serialize_response(200, HeaderMap([("trailer", "X-Checksum")]), chunked=True)
    assert server.serialize_trailers(trailers) == b"0\r\n\r\n"
    server.reset()
    server.receive_request_head(b"GET / HTTP/1.1\r\nhost: h\r\nte: trailers\r\n\r\n")
    server.serialize_response(200, HeaderMap([("trailer", "X-Checksum")]), chunked=True)
    assert server.serialize_trailers(trailers) == b"0\r\nx-checksum: 1\r\n\r\n"
    assert server.body_is_eof()
    assert server.serialize_trailers(trailers) == b""
    with pytest.raises(TypeError, match="argument 'trailers' must be HeaderMap"):
        server.serialize_trailers({"x": "1"})


def test_head_and_body():
    codec = H1Codec(date_header=False)
    head = b"HTTP/1.1 200 OK\r\n\r\n"
    assert codec.serialize_head_and_body(head, b"body") is head  # nothing in flight
    head = codec.serialize_response(200, content_length=0)
    assert codec.serialize_head_and_body(head, b"ignored") == head
    head = codec.serialize_response(200, content_length=4)
    assert codec.serialize_head_and_body(head, b"bodyEXTRA") == head + b"body"
    head = codec.serialize_response(200, HeaderMap([("trailer", "x-t")]), chunked=True)
    assert (
        codec.serialize_head_and_body(head, b"abc", HeaderMap([("x-t", "v")]))
        == head + b"3\r\nabc\r\n0\r\nx-t: v\r\n\r\n"
    )
    assert codec.body_is_eof()
    head = codec.serialize_response(200, chunked=True)
    assert codec.serialize_head_and_body(head) == head + b"0\r\n\r\n"
    head = codec.serialize_response(200, http10=True, chunked=True)
    assert codec.serialize_head_and_body(head, b"raw") == head + b"raw"
    with pytest.raises(TypeError, match="argument 'body' must be bytes"):
        codec.serialize_head_and_body(head, "text")


def test_static_helpers():
    for owner in (H1Codec, H1Codec()):
        assert owner.continue_response() == b"HTTP/1.1 100 Continue\r\n\r\n"
        assert owner.connection_close(HeaderMap([("Connection", "keep-alive"), ("connection", " Close ")]))
        assert not owner.connection_close(HeaderMap([("connection", "closed")]))
    with pytest.raises(TypeError, match="argument 'headers' must be HeaderMap"):
        H1Codec.connection_close(None)


def test_signatures():
    expected = {
        "serialize_request": "(self, /, method, url, headers=None, *, http10=False, content_length=None, "
        "chunked=False)",
        "serialize_response": "(self, /, status, headers=None, *, keep_alive=True, http10=False, "
        "content_length=None, chunked=False)",
        "serialize_data": "(self, /, chunk)",
        "serialize_end": "(self, /)",
        "serialize_trailers": "(self, /, trailers)",
        "serialize_head_and_body": "(self, /, head, body=None, trailers=None)",
        "continue_response": "()",
        "connection_close": "(headers)",
    }
    for name, text in expected.items():
        assert str(inspect.signature(getattr(H1Codec, name))) == text
    with pytest.raises(TypeError, match="argument 'headers' must be HeaderMap or None"):
        H1Codec().serialize_request("GET", "/", [("host", "h")])
    with pytest.raises(OverflowError):
        H1Codec().serialize_request("GET", "/", content_length=-1)
    with pytest.raises(TypeError, match="keyword-only|positional"):
        H1Codec().serialize_response(200, None, True)


# ---- leaks and threads -----------------------------------------------------------


def test_no_leaks():
    codec = H1Codec()
    fields = HeaderMap(
        [("host", "h"), ("trailer", "x"), ("transfer-encoding", "gzip"), ("content-length", "3")]
    )
    response_fields = HeaderMap([("trailer", "x"), ("x-a", "1")])

    def exchange():
        codec.serialize_request("POST", "http://h", fields, content_length=3)
        codec.serialize_data(b"abcdef")
        codec.serialize_end()
        codec.serialize_response(200, response_fields, chunked=True)
        codec.serialize_data(b"abc")
        codec.serialize_trailers(HeaderMap([("x", "1")]))
        head = codec.serialize_response(200, content_length=2)
        codec.serialize_head_and_body(head, b"ok")

    assert_no_leaks(
        [
            exchange,
            swallowing(codec.serialize_request, "G T", "/"),
            swallowing(codec.serialize_response, 103),
            swallowing(codec.serialize_response, 200, HeaderMap([("content-length", "x")]), content_length=1),
            swallowing(
                lambda: (codec.serialize_request("POST", "/", content_length=2), codec.serialize_end())
            ),
            swallowing(codec.serialize_data, "not bytes"),
        ]
    )


def test_threads():
    """One codec per thread and one map shared by all, changed meanwhile: every
    message is whole and the map's lock is never held against the codec's."""
    shared = HeaderMap([("host", "h"), ("x-n", "0")])
    errors = []

    def writer():
        codec = H1Codec(date_header=False)
        try:
            for _ in range(2000):
                head = codec.serialize_request("POST", "/", shared, chunked=True)
                assert head.startswith(b"POST / HTTP/1.1\r\nhost: h\r\nx-n: ") and head.endswith(
                    b"transfer-encoding: chunked\r\n\r\n"
                ), head
                assert codec.serialize_data(b"abc") == b"3\r\nabc\r\n"
                assert codec.serialize_end() == b"0\r\n\r\n"
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    def mutator():
        for i in range(4000):
            shared["x-n"] = str(i)

    # A codec shared by threads stays consistent: each call is one step.
    common = H1Codec()
    common.serialize_request("POST", "/", content_length=1 << 40)

    def counter():
        for _ in range(2000):
            assert common.serialize_data(b"ab") == b"ab"

    threads = [threading.Thread(target=t) for t in (writer, writer, mutator, counter, counter)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors[0]
    with pytest.raises(H1UserError, match=str((1 << 40) - 8000)):
        common.serialize_end()
