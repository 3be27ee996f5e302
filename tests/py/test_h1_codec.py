"""H1Codec's read side and the parsed heads, as the host sees them."""

import inspect
import sys
import threading

import pytest

from conftest import assert_no_leaks, swallowing
from vantric._vantric import (
    H1BodyDecoder,
    H1Codec,
    H1ParseError,
    H1RequestHead,
    H1ResponseHead,
    HeaderMap,
)

CHUNKED = None  # content_length of chunked and close-delimited bodies


def request(data, **config):
    return H1Codec(**config).receive_request_head(data)


def parse_error(data, side="request", **config):
    codec = H1Codec(**config)
    with pytest.raises(H1ParseError) as info:
        if side == "request":
            codec.receive_request_head(data)
        else:
            codec.receive_head(data)
    return info.value.args[0], codec


# ---- construction --------------------------------------------------------------


def test_constructor():
    assert str(inspect.signature(H1Codec)) == (
        "(*, max_headers=None, ignore_invalid_headers=False, title_case_headers=False, "
        "date_header=True, max_buf_size=Ellipsis)"
    )
    assert H1Codec().max_buf_size == 417792
    assert H1Codec(max_buf_size=8192).max_buf_size == 8192
    with pytest.raises(ValueError) as info:
        H1Codec(max_buf_size=8191)
    assert str(info.value) == "the max_buf_size cannot be smaller than 8192"
    with pytest.raises(OverflowError):
        H1Codec(max_buf_size=-1)
    with pytest.raises(OverflowError):
        H1Codec(max_headers=-1)
    H1Codec(max_headers=0)
    H1Codec(max_headers=2**64 - 1)
    for name in ("ignore_invalid_headers", "title_case_headers", "date_header"):
        with pytest.raises(TypeError, match=f"'{name}' must be bool"):
            H1Codec(**{name: 1})
    with pytest.raises(TypeError):
        H1Codec(max_headers="5")
    with pytest.raises(TypeError, match="takes 0 positional arguments"):
        H1Codec(None)


def test_classes():
    for cls in (H1RequestHead, H1ResponseHead):
        with pytest.raises(TypeError):
            cls()
        assert cls.__module__ == "vantric._vantric"
    for cls in (H1Codec, H1RequestHead, H1ResponseHead):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    head = request(b"GET / HTTP/1.1\r\n\r\n")
    with pytest.raises(AttributeError):
        head.method = "POST"
    with pytest.raises(AttributeError):
        head.extra = 1
    signatures = {
        "feed": "(self, /, data)",
        "receive_head": "(self, /, data)",
        "receive_request_head": "(self, /, data)",
        "take_body": "(self, /)",
        "take_body_into": "(self, /, decoder)",
        "buffered": "(self, /)",
        "reset": "(self, /)",
        "body_is_eof": "(self, /)",
    }
    for method, text in signatures.items():
        assert str(inspect.signature(getattr(H1Codec, method))) == text


def test_data_must_be_bytes():
    codec = H1Codec()
    for method in (codec.feed, codec.receive_head, codec.receive_request_head):
        for bad in ("GET", bytearray(b"GET"), memoryview(b"GET"), None):
            with pytest.raises(TypeError, match="argument 'data' must be bytes"):
                method(bad)
    assert codec.buffered() == 0

    class Sub(bytes):
        pass

    assert codec.receive_request_head(Sub(b"GET / HTTP/1.1\r\n\r\n")).target == "/"


# ---- heads -----------------------------------------------------------------------


def test_request_head_attributes_and_repr():
    head = request(
        b"POST /submit?x=1 HTTP/1.1\r\nHost: example.com\r\nContent-Length: 5\r\n"
        b"Expect: 100-continue\r\nTE: trailers\r\n\r\nhello"
    )
    assert repr(head) == "H1RequestHead(method='POST', target='/submit?x=1', body_kind=length)"
    assert (head.method, head.target, head.body_kind, head.content_length) == (
        "POST",
        "/submit?x=1",
        "length",
        5,
    )
    assert head.headers.items() == [
        ("host", b"example.com"),
        ("content-length", b"5"),
        ("expect", b"100-continue"),
        ("te", b"trailers"),
    ]
    assert (head.keep_alive, head.expect_continue, head.is_upgrade, head.http10, head.allow_trailers) == (
        True,
        True,
        False,
        False,
        True,
    )
    empty = request(b"GET / HTTP/1.0\r\n\r\n")
    assert repr(empty) == "H1RequestHead(method='GET', target='/', body_kind=empty)"
    assert (empty.body_kind, empty.content_length, empty.keep_alive, empty.http10) == (
        "empty",
        0,
        False,
        True,
    )
    chunked = request(b"PUT /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n")
    assert (chunked.body_kind, chunked.content_length) == ("chunked", None)
    odd = request(b"M-SEARCH * HTTP/1.1\r\n\r\n")
    assert repr(odd) == "H1RequestHead(method='M-SEARCH', target='*', body_kind=empty)"


def test_response_head_attributes_and_repr():
    codec = H1Codec()
    head = codec.receive_head(b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nServer: x\r\n\r\nabc")
    assert repr(head) == "H1ResponseHead(status=200, body_kind=length, keep_alive=true)"
    assert (head.status, head.content_length, head.is_upgrade, head.http10) == (200, 3, False, False)
    assert head.headers.items() == [("content-length", b"3"), ("server", b"x")]
    assert codec.buffered() == 3
    head = H1Codec().receive_head(b"HTTP/1.0 404 Not Found\r\n\r\n")
    assert repr(head) == "H1ResponseHead(status=404, body_kind=close, keep_alive=false)"
    assert (head.content_length, head.http10) == (None, True)
    head = H1Codec().receive_head(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n")
    assert repr(head) == "H1ResponseHead(status=101, body_kind=empty, keep_alive=false)"
    assert head.is_upgrade and head.content_length == 0


def test_strings_are_shared():
    one = request(b"GET /a HTTP/1.1\r\n\r\n")
    two = request(b"GET /b HTTP/1.1\r\nContent-Length: 1\r\n\r\n")
    assert one.method is two.method is sys.intern("GET")
    for name in ("OPTIONS", "POST", "PUT", "DELETE", "HEAD", "TRACE", "PATCH", "QUERY"):
        assert request(f"{name} / HTTP/1.1\r\n\r\n".encode()).method is sys.intern(name)
    assert request(b"CONNECT h:1 HTTP/1.1\r\n\r\n").method is sys.intern("CONNECT")
    assert one.body_kind is request(b"HEAD / HTTP/1.1\r\n\r\n").body_kind
    assert two.body_kind is H1Codec().receive_head(b"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n").body_kind
    # Built once: every read returns the same objects.
    assert one.target is one.target and one.headers is one.headers
    # Names come from the shared well-known vocabulary.
    assert (
        two.headers.keys()[0]
        is H1Codec().receive_head(b"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n").headers.keys()[0]
    )


def test_headers_are_an_ordinary_map():
    head = request(b"GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nA: 3\r\n\r\n")
    assert isinstance(head.headers, HeaderMap)
    assert head.headers.get_all("a") == [b"1", b"3"]
    head.headers["c"] = "4"
    assert head.headers is head.headers and head.headers["C"] == b"4"


@pytest.mark.parametrize(
    "line,target",
    [
        (b"GET /p?q HTTP/1.1", "/p?q"),
        (b"GET /p#frag HTTP/1.1", "/p"),
        (b"GET HTTP://Example.COM/P?Q HTTP/1.1", "http://Example.COM/P?Q"),
        (b"GET hTTpS://h HTTP/1.1", "https://h"),
        (b"GET ftp://h/x HTTP/1.1", "ftp://h/x"),
        (b"CONNECT example.com:443 HTTP/1.1", "example.com:443"),
        (b"OPTIONS * HTTP/1.1", "*"),
        (b"GET /caf\xc3\xa9 HTTP/1.1", "/caf\u00e9"),
        (b"GET /\xff\xfe HTTP/1.1", "/\udcff\udcfe"),
    ],
)
def test_targets(line, target):
    head = request(line + b"\r\n\r\n")
    assert head.target == target
    # The octets received can always be recovered.
    if b"#" not in line and b"://" not in line:
        assert head.target.encode("utf-8", "surrogateescape") == line.split(b" ")[1]


# ---- the edge cases of head parsing ----------------------------------------------


def test_request_line_rules():
    assert request(b"\r\n\r\nGET / HTTP/1.1\r\n\r\n").target == "/"
    assert request(b"GET / HTTP/1.1\nHost: a\n\n").headers["host"] == b"a"
    assert parse_error(b"GET / HTTP/1.2\r\n\r\n")[0] == "version"
    kind, codec = parse_error(b"GET / HTTP/2.0\r\n")
    assert (kind, codec.parse_error_status) == ("version", 400)
    kind, codec = parse_error(b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n")
    assert (kind, codec.parse_error_status) == ("version_h2", None)
    # A preface that arrives in pieces is recognised all the same.
    codec = H1Codec()
    assert codec.receive_request_head(b"PRI * HTTP/2.0\r\n") is None
    with pytest.raises(H1ParseError, match="version_h2"):
        codec.receive_request_head(b"\r\nSM\r\n\r\n\x00\x00")
    assert codec.parse_error_status is None
    assert request(b"GET /" + b"a" * 65533 + b" HTTP/1.1\r\n\r\n").target == "/" + "a" * 65533
    kind, codec = parse_error(b"GET /" + b"a" * 65534 + b" HTTP/1.1\r\n\r\n")
    assert (kind, codec.parse_error_status) == ("uri_too_long", 414)


def test_field_line_limits():
    three = b"GET / HTTP/1.1\r\na: 1\r\nb: 2\r\nc: 3\r\n\r\n"
    kind, codec = parse_error(three, max_headers=2)
    assert (kind, codec.parse_error_status) == ("too_large", 431)
    assert len(request(three, max_headers=3).headers) == 3
    assert parse_error(b"GET / HTTP/1.1\r\na: 1\r\n\r\n", max_headers=0)[0] == "too_large"
    assert request(b"GET / HTTP/1.1\r\n\r\n", max_headers=0).target == "/"
    many = b"HTTP/1.1 200 OK\r\n" + b"".join(b"x%d: v\r\n" % i for i in range(101)) + b"\r\n"
    for limit in (None, 1000):
        assert parse_error(many, "response", max_headers=limit)[0] == "too_large"
    big = b"GET / HTTP/1.1\r\n" + b"".join(b"x%d: v\r\n" % i for i in range(500)) + b"\r\n"
    assert len(request(big, max_headers=500).headers) == 500
    assert (
        len(
            request(
                b"GET / HTTP/1.1\r\nbad line\r\nA : b\r\nc: d\r\n\r\n", ignore_invalid_headers=True
            ).headers
        )
        == 1
    )


def test_incomplete_head_cap():
    start = b"GET / HTTP/1.1\r\nX: "
    at_cap = start + b"v" * (8192 - len(start))
    assert parse_error(at_cap, max_buf_size=8192)[0] == "too_large"
    assert H1Codec(max_buf_size=8192).receive_request_head(at_cap[:-1]) is None
    codec = H1Codec(max_buf_size=8192)
    assert codec.receive_head(b"HTTP/1.1 200 OK\r\nX: " + b"v" * 8000) is None
    with pytest.raises(H1ParseError, match="too_large"):
        codec.receive_head(b"v" * 200)


PARSE_ERRORS = [
    (b"G(T / HTTP/1.1\r\n\r\n", "method", 400, "invalid HTTP method parsed"),
    (b"GET /a\x01 HTTP/1.1\r\n\r\n", "uri", 400, "invalid URI"),
    (b"GET http:/x HTTP/1.1\r\n\r\n", "uri", 400, "invalid URI"),
    (b"GET / HTTP/1.1\r\nA : b\r\n\r\n", "header_token", 400, "invalid HTTP header parsed"),
    (b"GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n", "header_token", 400, "invalid HTTP header parsed"),
    (
        b"GET / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n",
        "header_content_length_invalid",
        400,
        "invalid content-length parsed",
    ),
    (
        b"GET / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n",
        "header_transfer_encoding_invalid",
        400,
        "invalid transfer-encoding parsed",
    ),
    (
        b"GET / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n",
        "header_transfer_encoding_unexpected",
        400,
        "unexpected transfer-encoding parsed",
    ),
    (
        b"GET / HTTP/1.1\r\nContent-Length: 18446744073709551614\r\n\r\n",
        "too_large",
        431,
        "message head is too large",
    ),
    (
        b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n",
        "version_h2",
        None,
        "invalid HTTP version parsed (found HTTP2 preface)",
    ),
]


@pytest.mark.parametrize("data,kind,status,message", PARSE_ERRORS)
def test_parse_errors(data, kind, status, message):
    codec = H1Codec()
    with pytest.raises(H1ParseError) as info:
        codec.receive_request_head(data)
    assert info.value.args == (kind, message)
    assert codec.parse_error_status == status
    assert codec.buffered() == len(data)
    codec.reset()
    assert codec.parse_error_status is None


def test_response_status_errors():
    assert parse_error(b"HTTP/1.1 099 Low\r\n\r\n", "response")[0] == "status"
    kind, codec = parse_error(b"HTTP/1.1 20x OK\r\n\r\n", "response")
    assert kind == "status" and codec.parse_error_status is None


# ---- request smuggling: both framing fields, on both sides --------------------------

CL, TE = b"Content-Length", b"Transfer-Encoding"

# (field lines, body_kind or error kind, content_length, content-length values kept)
REQUEST_FRAMING = [
    ([(CL, b"5"), (CL, b"5")], "length", 5, [b"5"]),
    ([(CL, b"5"), (CL, b"6")], "header_content_length_invalid", None, None),
    ([(CL, b"5, 5")], "header_content_length_invalid", None, None),
    ([(CL, b"+5")], "header_content_length_invalid", None, None),
    ([(CL, b"5 ")], "length", 5, [b"5"]),
    ([(CL, b" 5")], "length", 5, [b"5"]),
    ([(CL, b"0x5")], "header_content_length_invalid", None, None),
    ([(CL, b"")], "header_content_length_invalid", None, None),
    ([(CL, b"99999999999999999999")], "header_content_length_invalid", None, None),
    ([(CL, b"10"), (TE, b"chunked")], "chunked", None, []),
    ([(TE, b"chunked"), (CL, b"10")], "chunked", None, []),
    ([(CL, b"10"), (TE, b"chunked"), (CL, b"11")], "chunked", None, []),
    ([(TE, b"chunked"), (CL, b"bogus")], "chunked", None, []),
    ([(CL, b"bogus"), (TE, b"chunked")], "header_content_length_invalid", None, None),
    ([(TE, b"gzip, chunked")], "chunked", None, []),
    ([(TE, b"gzip"), (TE, b"chunked")], "chunked", None, []),
    ([(TE, b"chunked"), (TE, b"gzip")], "header_transfer_encoding_invalid", None, None),
    ([(TE, b"chunked, gzip")], "header_transfer_encoding_invalid", None, None),
    ([(TE, b"gzip")], "header_transfer_encoding_invalid", None, None),
    ([(TE, b"identity"), (CL, b"3")], "header_transfer_encoding_invalid", None, None),
    ([(TE, b"CHUNKED")], "chunked", None, []),
    ([(TE, b"chunked ")], "chunked", None, []),
    ([(TE, b'"chunked"')], "header_transfer_encoding_invalid", None, None),
    ([(TE, b"chunked\xc2\xa0")], "header_transfer_encoding_invalid", None, None),
    ([(b"Transfer-Encoding ", b"chunked"), (CL, b"3")], "header_token", None, None),
    ([(b" Transfer-Encoding", b"chunked")], "header_token", None, None),
    ([(TE, b"\x0bchunked")], "header_token", None, None),
    ([(b"Transfer_Encoding", b"chunked"), (CL, b"3")], "length", 3, [b"3"]),
    ([], "empty", 0, []),
]


@pytest.mark.parametrize("fields,expected,length,kept", REQUEST_FRAMING)
def test_request_smuggling_matrix(fields, expected, length, kept):
    data = b"POST / HTTP/1.1\r\nHost: a\r\n" + b"".join(n + b":" + v + b"\r\n" for n, v in fields) + b"\r\n"
    codec = H1Codec()
    if kept is None:
        with pytest.raises(H1ParseError) as info:
            codec.receive_request_head(data)
        assert info.value.args[0] == expected
        assert codec.parse_error_status == 400
        return
    head = codec.receive_request_head(data)
    assert (head.body_kind, head.content_length) == (expected, length)
    assert head.headers.get_all("content-length") == kept
    # Never both framing fields in what is handed on, and a connection that
    # carried both is not kept alive (RFC 9112 section 6.1).
    assert not ("content-length" in head.headers and "transfer-encoding" in head.headers)
    both = {name for name, _ in fields} >= {CL, TE}
    assert head.keep_alive is not both


def test_request_smuggling_http10():
    for fields in ([(TE, b"chunked")], [(CL, b"3"), (TE, b"chunked")], [(TE, b"gzip, chunked")]):
        data = b"POST / HTTP/1.0\r\n" + b"".join(n + b": " + v + b"\r\n" for n, v in fields) + b"\r\n"
        assert parse_error(data)[0] == "header_transfer_encoding_unexpected"


# (method, status line and fields, body_kind or error kind, content_length)
RESPONSE_FRAMING = [
    (None, b"HTTP/1.1 200 OK\r\nContent-Length: 5, 5\r\n", "length", 5),
    (None, b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5,5\r\n", "length", 5),
    (None, b"HTTP/1.1 200 OK\r\nContent-Length: 5, 6\r\n", "header_content_length_invalid", None),
    (
        None,
        b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n",
        "header_content_length_invalid",
        None,
    ),
    (None, b"HTTP/1.1 200 OK\r\nContent-Length: 5,\r\n", "header_content_length_invalid", None),
    (None, b"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n", "header_content_length_invalid", None),
    (None, b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n", "empty", 0),
    (None, b"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551613\r\n", "length", 2**64 - 3),
    (None, b"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551614\r\n", "too_large", None),
    (None, b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n", "chunked", None),
    (None, b"HTTP/1.1 200 OK\r\nContent-Length: x\r\nTransfer-Encoding: chunked\r\n", "chunked", None),
    (None, b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 5\r\n", "close", None),
    (None, b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n", "close", None),
    (None, b"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n", "header_transfer_encoding_unexpected", None),
    (None, b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n", "length", 2),
    (None, b"HTTP/1.1 200 OK\r\n", "close", None),
    (None, b"HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n", "empty", 0),
    (None, b"HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n", "empty", 0),
    ("HEAD", b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n", "empty", 0),
    ("HEAD", b"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n", "empty", 0),
    ("CONNECT", b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n", "empty", 0),
    ("CONNECT", b"HTTP/1.1 403 Forbidden\r\nContent-Length: 1\r\n", "length", 1),
]


def codec_after(method):
    """A codec whose recorded request method is `method` (None: none recorded)."""
    codec = H1Codec()
    if method is not None:
        target = b"h:1" if method == "CONNECT" else b"/"
        codec.receive_request_head(method.encode() + b" " + target + b" HTTP/1.1\r\n\r\n")
    return codec


@pytest.mark.parametrize("method,head,expected,length", RESPONSE_FRAMING)
def test_response_smuggling_matrix(method, head, expected, length):
    codec = codec_after(method)
    if expected not in ("empty", "length", "chunked", "close"):
        with pytest.raises(H1ParseError) as info:
            codec.receive_head(head + b"\r\n")
        assert info.value.args[0] == expected
        return
    parsed = codec.receive_head(head + b"\r\n")
    assert (parsed.body_kind, parsed.content_length) == (expected, length)


def test_response_upgrades_and_keep_alive():
    head = codec_after("CONNECT").receive_head(b"HTTP/1.1 200 Connection Established\r\n\r\n")
    assert (head.is_upgrade, head.keep_alive, head.body_kind) == (True, False, "empty")
    head = H1Codec().receive_head(b"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\n\r\n")
    assert not head.keep_alive
    head = H1Codec().receive_head(b"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n")
    assert head.keep_alive and head.http10


def test_request_keep_alive_expect_upgrade():
    assert not request(b"GET / HTTP/1.1\r\nConnection: Upgrade, close\r\n\r\n").keep_alive
    assert request(b"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n").keep_alive
    assert not request(b"GET / HTTP/1.0\r\n\r\n").keep_alive
    assert request(b"GET / HTTP/1.1\r\nUpgrade: websocket\r\n\r\n").is_upgrade
    assert not request(b"GET / HTTP/1.0\r\nUpgrade: websocket\r\n\r\n").is_upgrade
    assert request(b"CONNECT h:443 HTTP/1.0\r\nUpgrade: x\r\n\r\n").is_upgrade
    assert request(b"POST / HTTP/1.1\r\nExpect: 100-CONTINUE\r\n\r\n").expect_continue
    assert not request(b"POST / HTTP/1.1\r\nExpect: 100-continue\r\nExpect: other\r\n\r\n").expect_continue
    assert request(b"GET / HTTP/1.1\r\nTE: deflate, trailers\r\n\r\n").allow_trailers
    # Host lines counted (any case) up to two: the server wants exactly one.
    hosts = [request(b"GET / HTTP/1.1\r\n" + b"hOsT: h\r\n" * n + b"\r\n").host_count for n in range(4)]
    assert hosts == [0, 1, 2, 2]


def test_interim_responses():
    codec = H1Codec()
    head = codec.receive_head(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
    assert head.status == 200
    codec = H1Codec()
    assert codec.receive_head(b"HTTP/1.1 100 Continue\r\n\r\n") is None
    assert codec.buffered() == 0
    assert codec.receive_head(b"HTTP/1.1 103 Early Hints\r\nLink: </s>\r\n\r\nHTTP/1.1 2") is None
    assert codec.buffered() == len(b"HTTP/1.1 2")
    assert codec.receive_head(b"04 No Content\r\n\r\n").status == 204


# ---- the codec ---------------------------------------------------------------------


def test_byte_by_byte():
    data = b"GET /index.html HTTP/1.1\r\nHost: example.com\r\nAccept: */*\r\n\r\n"
    codec = H1Codec()
    for i in range(len(data) - 1):
        assert codec.receive_request_head(data[i : i + 1]) is None
    head = codec.receive_request_head(data[-1:])
    assert (head.target, head.headers["accept"]) == ("/index.html", b"*/*")
    assert codec.buffered() == 0


def test_pipelined_requests():
    codec = H1Codec()
    first = codec.receive_request_head(b"GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\nTE: trailers\r\n\r\n")
    assert first.target == "/1"
    rest = codec.take_body()
    assert rest == b"GET /2 HTTP/1.1\r\nTE: trailers\r\n\r\n" and codec.buffered() == 0
    codec.feed(rest)
    codec.reset()
    second = codec.receive_request_head(b"")
    assert (second.target, second.allow_trailers) == ("/2", True)
    assert codec.receive_request_head(b"") is None


def test_buffered_take_body_and_eof():
    codec = H1Codec()
    assert codec.buffered() == 0 and codec.body_is_eof() and codec.take_body() == b""
    assert not codec.response_is_last and not codec.response_close_delimited
    assert not codec.request_connection_close and codec.parse_error_status is None
    codec.receive_request_head(b"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123")
    assert codec.buffered() == 4
    decoder = H1BodyDecoder("length", 10)
    codec.take_body_into(decoder)
    assert codec.buffered() == 0 and decoder.buffered == 4
    assert decoder.decode() == b"0123" and not decoder.is_complete
    codec.feed(b"456789next")
    codec.take_body_into(decoder)
    assert decoder.decode() == b"456789" and decoder.is_complete and decoder.buffered == 4
    with pytest.raises(TypeError, match="argument 'decoder' must be H1BodyDecoder, not bytes"):
        codec.take_body_into(b"bytes")
    codec.take_body_into(H1BodyDecoder("close"))  # nothing buffered: a no-op


def test_threads_share_one_codec():
    codec = H1Codec()
    seen = []
    lock = threading.Lock()

    def worker(n):
        mine = []
        for i in range(300):
            head = codec.receive_request_head(b"GET /%d/%d HTTP/1.1\r\nHost: a\r\n\r\n" % (n, i))
            mine.append(head.target)
            codec.buffered()
            codec.reset()
        with lock:
            seen.extend(mine)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Each call appended a whole request and parsed one whole head, so every
    # target came back once, none torn.
    assert sorted(seen) == sorted(f"/{n}/{i}" for n in range(4) for i in range(300))
    assert codec.buffered() == 0


def test_no_leaks():
    codec = H1Codec()
    pipelined = b"GET /a HTTP/1.1\r\nHost: x\r\nX-Long: " + b"v" * 300 + b"\r\n\r\n"

    def round_trip():
        head = codec.receive_request_head(pipelined)
        head.method, head.target, head.headers.items(), head.body_kind, head.content_length, repr(head)

    def response():
        head = H1Codec().receive_head(
            b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody"
        )
        repr(head), head.headers

    def into_decoder():
        c = H1Codec()
        c.receive_request_head(b"POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody")
        c.take_body_into(H1BodyDecoder("length", 4))

    assert_no_leaks(
        [
            round_trip,
            response,
            into_decoder,
            swallowing(H1Codec().receive_request_head, b"GET / HTTP/9.9\r\n\r\n"),
            swallowing(H1Codec().receive_head, b"HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n"),
            swallowing(H1Codec, max_buf_size=1),
            swallowing(H1Codec().take_body_into, b"x"),
            lambda: request(b"GET /\xff HTTP/1.1\r\nM: 1\r\n\r\n").target,
        ]
    )
