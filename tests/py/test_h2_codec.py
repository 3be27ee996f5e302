"""H2Codec, H2Reason and the H2Frame* events as the host sees them: signatures,
argument errors, exact messages, reprs, the edge cases of the frame codec,
leaks and threads."""

import inspect
import struct
import threading

import pytest

from conftest import assert_no_leaks, swallowing
from vantric import _vantric as v

H2Codec = v.H2Codec
PREFACE = v.H2_PREFACE
EVENT_CLASSES = [
    v.H2FrameHeaders,
    v.H2FrameData,
    v.H2FrameSettings,
    v.H2FrameWindowUpdate,
    v.H2FramePing,
    v.H2FrameGoAway,
    v.H2FrameRstStream,
    v.H2FramePriority,
    v.H2FrameStreamError,
]


def frame(kind, flags, stream_id, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes([kind, flags]) + struct.pack(">I", stream_id) + payload


def setting(ident, value):
    return struct.pack(">HI", ident, value)


# RFC 7541 C.3.1: GET http://www.example.com/
REQUEST_BLOCK = bytes.fromhex("828684410f7777772e6578616d706c652e636f6d")


def literal(name, value):
    """An HPACK literal without indexing with a literal name (short strings)."""
    return bytes([0, len(name)]) + name + bytes([len(value)]) + value


def protocol_error(call, *args):
    with pytest.raises(v.H2ProtocolError) as info:
        call(*args)
    return info.value.args


# ---- surface ---------------------------------------------------------------------

SIGNATURES = {
    "receive": "(data)",
    "buffered": "()",
    "feed_preface": "(data)",
    "set_send_header_table_size": "(val)",
    "set_recv_header_table_size": "(val)",
    "set_max_recv_frame_size": "(val)",
    "set_max_header_list_size": "(val)",
    "set_send_max_frame_size": "(val)",
    "serialize_settings": "(*, header_table_size=None, enable_push=None, max_concurrent_streams=None, "
    "initial_window_size=None, max_frame_size=None, max_header_list_size=None)",
    "serialize_settings_ack": "()",
    "serialize_request_headers": "(stream_id, method, target, headers=None, end_stream=False, *, scheme=None, "
    "authority=None)",
    "serialize_response_headers": "(stream_id, status, headers=None, end_stream=False, auto_date=False)",
    "serialize_trailers": "(stream_id, trailers)",
    "serialize_data": "(stream_id, data, end_stream=False)",
    "serialize_window_update": "(stream_id, increment)",
    "serialize_ping": "(payload)",
    "serialize_ping_ack": "(payload)",
    "serialize_go_away": "(last_stream_id, error_code, debug_data=None)",
    "serialize_rst_stream": "(stream_id, error_code)",
    "match_preface": "(data)",
    "check_send_headers": "(headers)",
    "method_is_head": "(method)",
    "is_client_initiated": "(stream_id)",
}


def test_signatures():
    assert str(inspect.signature(H2Codec)) == "(role='client')"
    assert str(inspect.signature(v.H2Reason)) == "(code)"
    codec = H2Codec()
    for name, text in SIGNATURES.items():
        assert str(inspect.signature(getattr(codec, name))) == text, name
    # The static methods work on the class and on an instance alike.
    for name in ("match_preface", "check_send_headers", "method_is_head", "is_client_initiated"):
        assert isinstance(inspect.getattr_static(H2Codec, name), staticmethod)
        assert str(inspect.signature(getattr(H2Codec, name))) == SIGNATURES[name]
    assert not hasattr(v, "match_preface")


def test_classes_are_sealed():
    for cls in [H2Codec, v.H2Reason] + EVENT_CLASSES:
        assert cls.__module__ == "vantric._vantric"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    for cls in EVENT_CLASSES:
        with pytest.raises(TypeError):
            cls()
    codec = H2Codec()
    with pytest.raises(AttributeError):
        codec.role_client = False
    with pytest.raises(AttributeError):
        codec.anything = 1


def test_role():
    assert H2Codec().role_client is True
    assert H2Codec("server").role_client is False
    assert H2Codec(role="client").role_client is True
    with pytest.raises(ValueError) as info:
        H2Codec("proxy")
    assert str(info.value) == "role must be 'client' or 'server', got proxy"
    with pytest.raises(TypeError):
        H2Codec(5)
    with pytest.raises(TypeError, match="unexpected keyword argument 'rol'"):
        H2Codec(rol="client")


# ---- receiving -------------------------------------------------------------------


def test_events_and_attributes():
    codec = H2Codec()
    events = codec.receive(
        frame(4, 0, 0, setting(3, 100) + setting(4, 1 << 20) + setting(2, 0))
        + frame(1, 0x5, 1, REQUEST_BLOCK)
        + frame(0, 0x1, 1, b"body")
        + frame(2, 0, 3, struct.pack(">IB", 1, 15))
        + frame(3, 0, 3, struct.pack(">I", 8))
        + frame(6, 1, 0, b"pingpong")
        + frame(7, 0, 0, struct.pack(">II", 0x80000007, 11) + b"calm down")
        + frame(8, 0, 0, struct.pack(">I", 1000))
        + frame(2, 0, 5, struct.pack(">IB", 5, 0))
    )
    settings, headers, data, priority, rst, ping, go_away, window, error = events
    assert [type(e) for e in events] == [
        v.H2FrameSettings,
        v.H2FrameHeaders,
        v.H2FrameData,
        v.H2FramePriority,
        v.H2FrameRstStream,
        v.H2FramePing,
        v.H2FrameGoAway,
        v.H2FrameWindowUpdate,
        v.H2FrameStreamError,
    ]
    assert (
        settings.ack,
        settings.header_table_size,
        settings.enable_push,
        settings.max_concurrent_streams,
        settings.initial_window_size,
        settings.max_frame_size,
        settings.max_header_list_size,
    ) == (False, None, False, 100, 1 << 20, None, None)
    assert (headers.stream_id, headers.end_stream, headers.end_headers) == (1, True, True)
    assert (headers.method, headers.scheme, headers.authority, headers.path) == (
        "GET",
        "http",
        "www.example.com",
        "/",
    )
    assert (
        headers.status,
        headers.content_length,
        headers.content_length_invalid,
        headers.is_informational,
    ) == (None, None, False, False)
    assert isinstance(headers.headers, v.HeaderMap) and len(headers.headers) == 0
    assert (data.stream_id, data.end_stream, data.data, data.flow_controlled_len, data.padding) == (
        1,
        True,
        b"body",
        4,
        0,
    )
    assert priority.stream_id == 3
    assert (rst.stream_id, rst.error_code) == (3, 8)
    assert (ping.ack, ping.data) == (True, b"pingpong")
    assert (go_away.last_stream_id, go_away.error_code, go_away.debug_data) == (7, 11, b"calm down")
    assert (window.stream_id, window.increment) == (0, 1000)
    assert (error.stream_id, error.error_code) == (5, 1)
    for event in events:
        assert not hasattr(event, "__dict__")
        with pytest.raises(AttributeError):
            event.stream_id = 9


def test_reprs():
    codec = H2Codec()
    headers, data, settings, ack = codec.receive(
        frame(1, 0x4, 2, b"\x88" + literal(b"a", b"1") + literal(b"a", b"2") + literal(b"b", b""))
        + frame(0, 0, 2, b"hello")
        + frame(4, 0, 0, setting(4, 65535))
        + frame(4, 1, 0)
    )
    assert repr(headers) == "Headers(stream_id=2, status=200, end_stream=false, fields=3)"
    assert repr(data) == "Data(stream_id=2, end_stream=false, len=5)"
    assert (
        repr(settings)
        == "Settings(ack=false, max_concurrent_streams=None, initial_window_size=65535, max_frame_size=None)"
    )
    assert (
        repr(ack)
        == "Settings(ack=true, max_concurrent_streams=None, initial_window_size=None, max_frame_size=None)"
    )
    (request,) = codec.receive(frame(1, 0x5, 1, REQUEST_BLOCK))
    assert repr(request) == "Headers(stream_id=1, status=None, end_stream=true, fields=0)"
    assert repr(v.H2Reason.CANCEL) == "H2Reason.CANCEL"
    # The count follows the map, which belongs to the host.
    headers.headers.add("c", "3")
    assert repr(headers).endswith("fields=4)")


def test_header_fields():
    codec = H2Codec()
    block = (
        b"\x88"
        + literal(b"content-length", b"12")
        + literal(b"content-length", b"x")
        + b"\x10\x06secret\x01s"
    )
    (event,) = codec.receive(frame(1, 0x4, 1, block))
    assert event.status == 200 and event.content_length == 12 and not event.content_length_invalid
    assert event.headers.get_all("content-length") == [b"12", b"x"]
    assert event.headers["secret"] == b"s"
    # The shared scheme strings.
    first, second = codec.receive(frame(1, 0x4, 1, REQUEST_BLOCK) + frame(1, 0x4, 3, b"\x87"))
    assert first.scheme == "http" and second.scheme == "https"
    (third,) = codec.receive(frame(1, 0x4, 5, b"\x86"))
    assert third.scheme is first.scheme
    (interim,) = codec.receive(frame(1, 0x4, 7, b"\x08\x03103"))
    assert (interim.status, interim.is_informational) == (103, True)


@pytest.mark.parametrize(
    "value,length,invalid", [(b"", 0, False), (b"9" * 19, int("9" * 19), False), (b"1" * 20, None, True)]
)
def test_content_length(value, length, invalid):
    (event,) = H2Codec().receive(frame(1, 0x4, 1, literal(b"content-length", value)))
    assert (event.content_length, event.content_length_invalid) == (length, invalid)


def test_continuation():
    codec = H2Codec()
    events = codec.receive(
        frame(1, 0x1, 1, REQUEST_BLOCK[:5])
        + frame(9, 0, 1, REQUEST_BLOCK[5:9])
        + frame(9, 0x4, 1, REQUEST_BLOCK[9:])
    )
    assert [(e.stream_id, e.end_stream, e.authority) for e in events] == [(1, True, "www.example.com")]
    assert protocol_error(H2Codec().receive, frame(9, 0x4, 1, b"")) == (
        1,
        "received unexpected CONTINUATION frame",
    )
    assert protocol_error(H2Codec().receive, frame(1, 0, 1, b"") + frame(9, 0x4, 3, b"")) == (
        1,
        "CONTINUATION frame stream ID does not match previous frame stream ID",
    )
    assert protocol_error(H2Codec().receive, frame(1, 0, 1, b"") + frame(6, 0, 0, b"12345678")) == (
        1,
        "expected CONTINUATION frame",
    )


def test_continuation_flood():
    codec = H2Codec()
    codec.set_max_header_list_size(16384)  # 16384 / 16384 = 1: at most 5
    codec.receive(frame(1, 0, 1, b"") + frame(9, 0, 1, b"") * 5)
    assert protocol_error(codec.receive, frame(9, 0, 1, b"")) == (11, "too_many_continuations")
    # The defaults allow 1280.
    codec = H2Codec()
    assert (
        codec.receive(frame(1, 0, 1, b"\x82") + frame(9, 0, 1, b"") * 1280 + frame(9, 0x4, 1, b""))[0].method
        == "GET"
    )
    codec = H2Codec()
    assert protocol_error(codec.receive, frame(1, 0, 1, b"") + frame(9, 0, 1, b"") * 1281) == (
        11,
        "too_many_continuations",
    )


def test_header_list_limits():
    def field(i):
        return literal(b"x-%d" % (10 + i), b"v" * 40)  # 4 + 40 + 32 = 76 each

    codec = H2Codec()
    codec.set_max_header_list_size(100)
    (event,) = codec.receive(frame(1, 0x4, 1, field(0) + field(1)))
    assert event.headers.items() == [("x-10", b"v" * 40)]
    assert protocol_error(codec.receive, frame(1, 0x4, 3, b"".join(field(i) for i in range(6)))) == (
        11,
        "decoded header list size over abuse limit",
    )
    codec = H2Codec()
    codec.set_max_header_list_size(100)
    assert protocol_error(
        codec.receive, frame(1, 0, 1, field(0) + field(1)) + frame(9, 0x4, 1, b"\x90" * 101)
    ) == (9, "CONTINUATION frame header block size over ignorable limit")


# Connection errors as the host sees them, one per kind of check (the core tests
# have every defect), each as (frames, (reason, message)).
ERRORS = [
    (frame(4, 0, 0, b"\x00" * 7), (1, "failed to load frame: InvalidPayloadAckSettings")),
    (frame(4, 1, 0, setting(1, 1)), (1, "failed to load frame: InvalidPayloadLength")),
    (frame(4, 0, 0, setting(2, 2)), (1, "failed to load frame: InvalidSettingValue")),
    (frame(4, 0, 0, setting(4, 2**31)), (1, "failed to load frame: InvalidSettingValue")),
    (frame(8, 0, 5, struct.pack(">I", 0)), (1, "failed to load frame: InvalidWindowUpdateValue")),
    (frame(6, 0, 0, b"1234567"), (1, "failed to load frame: BadFrameSize")),
    (frame(6, 0, 1, b"12345678"), (1, "failed to load frame: InvalidStreamId")),
    (frame(0, 0x8, 1, b"\x05abc"), (1, "failed to load frame: TooMuchPadding")),
    (frame(1, 0x24, 1, b"\x00\x00"), (1, "failed to load frame: MalformedMessage")),
    (frame(2, 0, 0, b"\x00" * 5), (1, "PRIORITY frame with stream ID 0")),
    (
        frame(5, 0x4, 1, b"\x00\x00\x00\x02" + REQUEST_BLOCK),
        (1, "PUSH_PROMISE received but server push is disabled"),
    ),
    (frame(1, 0x4, 1, b"\x80"), (1, "HPACK decoding failed: InvalidTableIndex")),
    (
        frame(0, 0, 1, b"").replace(b"\x00\x00\x00", b"\x00\x40\x01", 1),
        (6, "frame length exceeds SETTINGS_MAX_FRAME_SIZE"),
    ),
]


@pytest.mark.parametrize("wire,expected", ERRORS)
def test_errors(wire, expected):
    assert protocol_error(H2Codec().receive, wire) == expected
    exc = pytest.raises(v.H2ProtocolError, H2Codec().receive, wire).value
    assert isinstance(exc, v.H2Error) and str(exc) == str(expected)


def test_edge_cases():
    # An unknown type vanishes and the next frame decodes.
    assert [type(e) for e in H2Codec().receive(frame(10, 0xFF, 3, b"zz") + frame(6, 0, 0, b"12345678"))] == [
        v.H2FramePing
    ]
    # Unassigned SETTINGS identifiers are ignored.
    (settings,) = H2Codec().receive(frame(4, 0, 0, setting(7, 1) + setting(9, 1)))
    assert settings.max_header_list_size is None
    # A padded DATA frame with pad length 0 and no data.
    (data,) = H2Codec().receive(frame(0, 0x8, 1, b"\x00"))
    assert (data.data, data.flow_controlled_len, data.padding) == (b"", 1, 1)
    # HEADERS with PRIORITY on itself: a stream error event, and decoding goes on.
    error, ping = H2Codec().receive(
        frame(1, 0x24, 1, struct.pack(">IB", 1, 0) + REQUEST_BLOCK) + frame(6, 0, 0, b"12345678")
    )
    assert (type(error), error.stream_id, error.error_code, type(ping)) == (
        v.H2FrameStreamError,
        1,
        1,
        v.H2FramePing,
    )
    # RFC 9113 section 8.2.1: a field HTTP/2 refuses (CR in :path, an upper-case
    # name) makes the message malformed, a stream error; the connection goes on.
    for block in (b"\x04\x03/a\r", b"\x00\x01A\x01b"):
        error, ping = H2Codec().receive(frame(1, 0x4, 1, block) + frame(6, 0, 0, b"12345678"))
        assert (type(error), error.error_code, type(ping)) == (v.H2FrameStreamError, 1, v.H2FramePing)
    # A header frame announcing 16385 octets fails before the payload arrives.
    assert protocol_error(H2Codec().receive, b"\x00\x40\x01\x00\x00\x00\x00\x00\x01") == (
        6,
        "frame length exceeds SETTINGS_MAX_FRAME_SIZE",
    )
    # An error in the third frame: the first two events are not returned.
    codec = H2Codec()
    wire = (
        frame(6, 0, 0, b"12345678")
        + frame(0, 0, 1, b"x")
        + frame(6, 0, 1, b"12345678")
        + frame(0, 0, 1, b"y")
    )
    assert protocol_error(codec.receive, wire)[1] == "failed to load frame: InvalidStreamId"
    assert codec.buffered() == 10


def test_preface():
    match = H2Codec.match_preface
    assert match(b"") is None
    assert match(PREFACE[:10]) is None
    assert match(b"GET / HTTP/1.1\r\n") is False
    assert match(PREFACE + frame(4, 0, 0)) is True
    assert H2Codec().match_preface(PREFACE) is True
    with pytest.raises(TypeError):
        match("PRI")
    # The stand-alone codec reads the preface as a frame header whatever its role.
    assert protocol_error(H2Codec("server").receive, PREFACE) == (
        6,
        "frame length exceeds SETTINGS_MAX_FRAME_SIZE",
    )
    codec = H2Codec("server")
    assert codec.feed_preface(PREFACE[:7]) is None
    assert codec.feed_preface(PREFACE[7:23]) is None
    assert codec.feed_preface(PREFACE[23:] + frame(6, 0, 0, b"12345678")[:5]) is True
    assert codec.buffered() == 5
    assert codec.feed_preface(frame(6, 0, 0, b"12345678")[5:]) is True
    assert [type(e) for e in codec.receive(b"")] == [v.H2FramePing]
    wrong = H2Codec("server")
    assert wrong.feed_preface(b"PRI * HTTP/1.1") is False
    assert wrong.feed_preface(PREFACE) is False
    assert wrong.buffered() == 0


def test_recv_header_table_size():
    codec = H2Codec()
    codec.set_recv_header_table_size(0)
    # A size update to 4096 exceeds what we announced.
    assert protocol_error(codec.receive, frame(1, 0x4, 1, b"\x3f\xe1\x1f\x82")) == (
        1,
        "HPACK decoding failed: InvalidMaxDynamicSize",
    )
    codec = H2Codec()
    codec.set_recv_header_table_size(0)
    (event,) = codec.receive(frame(1, 0x4, 1, b"\x20\x82"))
    assert event.method == "GET"


def test_limits_setters():
    codec = H2Codec()
    for setter in (codec.set_max_recv_frame_size, codec.set_send_max_frame_size):
        for bad in (16383, 16777216, 0):
            with pytest.raises(ValueError) as info:
                setter(bad)
            assert str(info.value) == f"max_frame_size must be in [16384, 16777215], got {bad}"
        with pytest.raises(OverflowError):
            setter(-1)
        with pytest.raises(TypeError):
            setter("16384")
    codec.set_max_recv_frame_size(16777215)
    assert codec.receive(frame(0, 0, 1, b"x" * 20000))[0].data == b"x" * 20000


# ---- serializing -------------------------------------------------------------------


def roundtrip(wire):
    return H2Codec().receive(wire)


def test_serialize_fixed_frames():
    codec = H2Codec()
    assert codec.serialize_settings_ack() == b"\x00\x00\x00\x04\x01\x00\x00\x00\x00"
    assert codec.serialize_window_update(3, 1000) == frame(8, 0, 3, struct.pack(">I", 1000))
    assert codec.serialize_ping(b"abcdefgh") == frame(6, 0, 0, b"abcdefgh")
    assert codec.serialize_ping_ack(b"abcdefgh") == frame(6, 1, 0, b"abcdefgh")
    assert codec.serialize_rst_stream(5, 8) == frame(3, 0, 5, struct.pack(">I", 8))
    assert codec.serialize_go_away(7, 2) == frame(7, 0, 0, struct.pack(">II", 7, 2))
    assert codec.serialize_go_away(7, 2, b"dbg") == frame(7, 0, 0, struct.pack(">II", 7, 2) + b"dbg")
    assert codec.serialize_go_away(7, 2, None) == codec.serialize_go_away(7, 2, b"")
    assert codec.serialize_data(1, b"abc", True) == frame(0, 1, 1, b"abc")
    assert codec.serialize_data(1, b"") == frame(0, 0, 1)
    assert len(codec.serialize_window_update(0, 1)) == 13 and len(codec.serialize_rst_stream(1, 0)) == 13
    for method in (codec.serialize_ping, codec.serialize_ping_ack):
        for payload in (b"1234567", b"123456789", b""):
            with pytest.raises(ValueError) as info:
                method(payload)
            assert str(info.value) == "ping payload must be exactly 8 bytes"
        with pytest.raises(TypeError):
            method("abcdefgh")


def test_serialize_settings():
    codec = H2Codec()
    wire = codec.serialize_settings(
        header_table_size=4096,
        enable_push=False,
        max_concurrent_streams=100,
        initial_window_size=65535,
        max_frame_size=16384,
        max_header_list_size=8192,
    )
    assert wire == frame(
        4,
        0,
        0,
        setting(1, 4096)
        + setting(2, 0)
        + setting(3, 100)
        + setting(4, 65535)
        + setting(5, 16384)
        + setting(6, 8192),
    )
    assert codec.serialize_settings() == frame(4, 0, 0)
    assert codec.serialize_settings(enable_push=True, max_frame_size=None) == frame(4, 0, 0, setting(2, 1))
    with pytest.raises(TypeError):
        codec.serialize_settings(4096)
    with pytest.raises(TypeError):
        codec.serialize_settings(enable_push=1)
    with pytest.raises(ValueError) as info:
        codec.serialize_settings(initial_window_size=2**31)
    assert str(info.value) == "initial_window_size must be <= 2147483647, got 2147483648"
    with pytest.raises(ValueError) as info:
        codec.serialize_settings(max_frame_size=16383)
    assert str(info.value) == "max_frame_size must be in [16384, 16777215], got 16383"
    with pytest.raises(OverflowError):
        codec.serialize_settings(max_header_list_size=2**32)


def test_serialize_data_limit():
    codec = H2Codec()
    with pytest.raises(v.H2UserError) as info:
        codec.serialize_data(1, b"x" * 16385)
    assert info.value.args == ("payload_too_big", "DATA payload 16385 exceeds SETTINGS_MAX_FRAME_SIZE 16384")
    codec.set_send_max_frame_size(16385)
    assert len(codec.serialize_data(1, b"x" * 16385)) == 16394


@pytest.mark.parametrize(
    "value,error",
    [(-1, OverflowError), (2**32, OverflowError), (2**31, ValueError), ("1", TypeError), (1.0, TypeError)],
)
def test_stream_id_arguments(value, error):
    codec = H2Codec()
    for call in (
        lambda: codec.serialize_data(value, b""),
        lambda: codec.serialize_rst_stream(value, 0),
        lambda: codec.serialize_window_update(value, 1),
        lambda: H2Codec.is_client_initiated(value),
        lambda: codec.serialize_go_away(value, 0),
        lambda: codec.serialize_trailers(value, v.HeaderMap()),
    ):
        with pytest.raises(error):
            call()


def test_window_update_increment():
    codec = H2Codec()
    with pytest.raises(ValueError) as info:
        codec.serialize_window_update(0, 2**31)
    assert str(info.value) == "window increment must be <= 2147483647, got 2147483648"
    # An increment of 0 may be written (the peer refuses it).
    assert (
        protocol_error(H2Codec().receive, codec.serialize_window_update(1, 0))[1]
        == "failed to load frame: InvalidWindowUpdateValue"
    )


def test_request_headers():
    codec = H2Codec()
    headers = v.HeaderMap([("user-agent", "t"), ("accept", "*/*")])
    (event,) = roundtrip(codec.serialize_request_headers(1, "GET", "https://example.com/a?b", headers, True))
    assert (event.method, event.scheme, event.authority, event.path, event.end_stream) == (
        "GET",
        "https",
        "example.com",
        "/a?b",
        True,
    )
    assert event.headers.items() == [("user-agent", b"t"), ("accept", b"*/*")]
    decoder = H2Codec()
    for args, kwargs, expected in [
        ((3, "POST", "/up"), {"scheme": "http", "authority": "h:8080"}, ("POST", "http", "h:8080", "/up")),
        ((5, "GET", "http://u:p@h/"), {}, ("GET", "http", "h", "/")),
        ((7, "GET", "https://h"), {"scheme": "x", "authority": "y"}, ("GET", "https", "h", "/")),
        ((9, "OPTIONS", "*"), {"scheme": "https", "authority": "h"}, ("OPTIONS", "https", "h", "*")),
        ((11, "CONNECT", "h:443"), {}, ("CONNECT", None, "h:443", None)),
    ]:
        (event,) = decoder.receive(codec.serialize_request_headers(*args, **kwargs))
        assert (event.method, event.scheme, event.authority, event.path) == expected
    bare = (
        "request target is a bare path but the connection has no authority; pass authority=... to "
        "H2Connection or use an absolute-URL target"
    )
    for args, kwargs, message in [
        ((1, "G T", "/"), {"scheme": "http", "authority": "h"}, "invalid method: invalid HTTP method"),
        ((1, "GET", "/a b"), {"scheme": "http", "authority": "h"}, "invalid url: invalid uri character"),
        ((1, "GET", ""), {"scheme": "http", "authority": "h"}, "invalid url: empty string"),
        ((1, "GET", "/"), {}, bare),
        ((1, "GET", "/"), {"scheme": "http"}, bare),
        ((1, "GET", "/"), {"authority": "h"}, bare),
    ]:
        with pytest.raises(ValueError) as info:
            codec.serialize_request_headers(*args, **kwargs)
        assert str(info.value) == message
    with pytest.raises(ValueError):
        codec.serialize_request_headers(1, "GET", "/", scheme="http", authority="bad host")
    with pytest.raises(TypeError):
        codec.serialize_request_headers(1, "GET", "/", {"a": "b"}, scheme="http", authority="h")
    with pytest.raises(TypeError):
        codec.serialize_request_headers(1, "GET", "/", None, False, "http", "h")
    with pytest.raises(TypeError):
        codec.serialize_request_headers(1, b"GET", "/", scheme="http", authority="h")


def test_response_headers_and_trailers():
    codec = H2Codec()
    decoder = H2Codec()
    (event,) = decoder.receive(
        codec.serialize_response_headers(1, 200, v.HeaderMap({"server": "x"}), auto_date=True)
    )
    assert event.status == 200 and event.headers["server"] == b"x"
    assert len(event.headers["date"]) == 29 and event.headers["date"].endswith(b" GMT")
    (event,) = decoder.receive(
        codec.serialize_response_headers(1, 204, v.HeaderMap({"date": "d"}), True, True)
    )
    assert event.headers.get_all("date") == [b"d"] and event.end_stream
    (event,) = decoder.receive(codec.serialize_response_headers(3, 103))
    assert event.is_informational and "date" not in event.headers
    for bad in (0, 99, 1000, 65535):
        with pytest.raises(ValueError) as info:
            codec.serialize_response_headers(1, bad)
        assert str(info.value) == f"invalid status: {bad}"
    with pytest.raises(OverflowError):
        codec.serialize_response_headers(1, 65536)
    (event,) = decoder.receive(codec.serialize_trailers(1, v.HeaderMap({"grpc-status": "0"})))
    assert event.end_stream and event.status is None and event.headers.items() == [("grpc-status", b"0")]
    with pytest.raises(TypeError):
        codec.serialize_trailers(1, None)


def test_large_block_continuation():
    codec = H2Codec()
    big = v.HeaderMap([("x-big", "v" * 40000), ("x-small", "s")])
    wire = codec.serialize_response_headers(1, 200, big)
    kinds = []
    at = 0
    while at < len(wire):
        length = int.from_bytes(wire[at : at + 3], "big")
        kinds.append((wire[at + 3], wire[at + 4] & 0x4, length))
        at += 9 + length
    assert [k[0] for k in kinds] == [1, 9, 9] and [k[1] for k in kinds] == [0, 0, 4]
    assert kinds[0][2] == kinds[1][2] == 16384
    (event,) = H2Codec().receive(wire)
    assert event.headers.items() == big.items()
    codec.set_send_max_frame_size(65536)
    assert len(codec.serialize_response_headers(3, 200, big)) < 40100


def test_send_header_table_size():
    codec = H2Codec()
    codec.set_send_header_table_size(0)
    wire = codec.serialize_response_headers(1, 200, v.HeaderMap({"x-a": "1"}))
    # The block opens with a table size update to 0 (0x20).
    assert wire[9] == 0x20
    decoder = H2Codec()
    assert decoder.receive(wire)[0].headers["x-a"] == b"1"


@pytest.mark.parametrize(
    "name,value",
    [
        ("connection", "close"),
        ("keep-alive", "1"),
        ("proxy-connection", "x"),
        ("transfer-encoding", "chunked"),
        ("upgrade", "h2c"),
        ("te", "gzip"),
        ("TE", "trailers, gzip"),
        ("Connection", ""),
    ],
)
def test_check_send_headers_refuses(name, value):
    headers = v.HeaderMap([("a", "b"), (name, value)])
    with pytest.raises(v.H2UserError) as info:
        H2Codec.check_send_headers(headers)
    assert info.value.args == ("malformed_headers", "malformed headers")


def test_check_send_headers_accepts():
    assert H2Codec.check_send_headers(v.HeaderMap({"te": "trailers", "x-connection": "close"})) is None
    assert H2Codec().check_send_headers(v.HeaderMap()) is None
    with pytest.raises(TypeError):
        H2Codec.check_send_headers({"a": "b"})


@pytest.mark.parametrize(
    "method,expected",
    [("HEAD", True), ("head", False), ("GET", False), ("HE AD", False), ("", False), ("HEAD ", False)],
)
def test_method_is_head(method, expected):
    assert H2Codec.method_is_head(method) is expected


def test_is_client_initiated():
    assert [H2Codec.is_client_initiated(i) for i in (0, 1, 2, 3, 2**31 - 1)] == [
        False,
        True,
        False,
        True,
        True,
    ]


# ---- H2Reason ---------------------------------------------------------------------

NAMES = [
    "NO_ERROR",
    "PROTOCOL_ERROR",
    "INTERNAL_ERROR",
    "FLOW_CONTROL_ERROR",
    "SETTINGS_TIMEOUT",
    "STREAM_CLOSED",
    "FRAME_SIZE_ERROR",
    "REFUSED_STREAM",
    "CANCEL",
    "COMPRESSION_ERROR",
    "CONNECT_ERROR",
    "ENHANCE_YOUR_CALM",
    "INADEQUATE_SECURITY",
    "HTTP_1_1_REQUIRED",
]


def test_reason_constants():
    for code, name in enumerate(NAMES):
        reason = getattr(v.H2Reason, name)
        assert type(reason) is v.H2Reason
        assert v.H2Reason(code) is reason
        assert int(reason) == code == reason.value and reason.name == name
        assert repr(reason) == str(reason) == f"H2Reason.{name}"
        assert reason == code and hash(reason) == hash(code)
    assert v.H2Reason.PROTOCOL_ERROR.description == "unspecific protocol error detected"
    assert v.H2Reason.HTTP_1_1_REQUIRED.description == "endpoint requires HTTP/1.1"
    assert v.H2Reason.CANCEL != v.H2Reason.NO_ERROR and v.H2Reason.CANCEL > v.H2Reason.NO_ERROR
    assert sorted([v.H2Reason.CANCEL, v.H2Reason(1)]) == [v.H2Reason.PROTOCOL_ERROR, v.H2Reason.CANCEL]
    assert v.H2Reason.CANCEL != "CANCEL"
    assert [1, 2, 3][v.H2Reason.PROTOCOL_ERROR] == 2
    assert v.H2Reason(True) is v.H2Reason.PROTOCOL_ERROR


@pytest.mark.parametrize("code", [14, -1, 2**32, 2**70])
def test_reason_invalid(code):
    with pytest.raises(ValueError) as info:
        v.H2Reason(code)
    assert str(info.value) == f"{code} is not a valid H2Reason"


def test_reason_arguments():
    with pytest.raises(TypeError):
        v.H2Reason("1")
    with pytest.raises(TypeError):
        v.H2Reason()
    with pytest.raises(TypeError):
        v.H2Reason(1, 2)
    assert v.H2Reason(code=8) is v.H2Reason.CANCEL
    with pytest.raises(AttributeError):
        v.H2Reason.CANCEL.name = "X"


# ---- leaks and threads ---------------------------------------------------------------


def test_no_leaks():
    codec = H2Codec()
    wire = (
        frame(4, 0, 0, setting(4, 1))
        + frame(1, 0x4, 1, b"\x88" + literal(b"a", b"b"))
        + frame(0, 0, 1, b"x")
        + frame(7, 0, 0, b"\x00" * 8 + b"dbg")
        + frame(6, 0, 0, b"12345678")
        + frame(3, 0, 1, b"\x00" * 4)
        + frame(2, 0, 3, b"\x00" * 5)
        + frame(8, 0, 0, b"\x00\x00\x00\x01")
        + frame(2, 0, 3, b"\x00\x00\x00\x03\x00")
    )
    headers = v.HeaderMap({"a": "b", "c": "d"})
    assert_no_leaks(
        [
            lambda: codec.receive(wire),
            lambda: [repr(e) for e in codec.receive(wire)],
            lambda: codec.serialize_request_headers(1, "GET", "https://h/x", headers),
            lambda: codec.serialize_response_headers(1, 200, headers, auto_date=True),
            lambda: codec.serialize_trailers(1, headers),
            lambda: codec.serialize_settings(initial_window_size=1, enable_push=False),
            lambda: codec.serialize_data(1, b"abc"),
            lambda: codec.serialize_go_away(1, 2, b"x"),
            swallowing(H2Codec().receive, frame(6, 0, 1, b"12345678")),
            swallowing(H2Codec().receive, frame(1, 0x4, 1, b"\x80")),
            swallowing(codec.serialize_data, 1, b"x" * 20000),
            swallowing(codec.serialize_request_headers, 1, "GET", "/"),
            swallowing(codec.serialize_ping, b"short"),
            swallowing(v.H2Reason, 99),
            swallowing(H2Codec.check_send_headers, v.HeaderMap({"connection": "x"})),
            lambda: H2Codec("server").feed_preface(PREFACE + b"xyz"),
            lambda: v.H2Reason(5),
        ]
    )


def test_threads_share_one_codec():
    codec = H2Codec()
    wire = frame(4, 0, 0, setting(4, 7)) + frame(0, 1, 3, b"abc") + frame(6, 0, 0, b"12345678")
    errors = []

    def work(n):
        try:
            for i in range(300):
                events = codec.receive(wire)
                assert [type(e) for e in events] == [v.H2FrameSettings, v.H2FrameData, v.H2FramePing]
                assert codec.serialize_data(2 * n + 1, b"x" * i)[9:] == b"x" * i
                assert codec.serialize_ping(b"%08d" % i)[9:] == b"%08d" % i
                codec.set_max_header_list_size(1 << 20)
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert codec.buffered() == 0
