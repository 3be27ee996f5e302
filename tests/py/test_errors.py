"""The exception hierarchy and the conversion of core error values."""

import pytest

from vantric import _vantric as v

TREE = {
    "VantricError": Exception,
    "ConnectionClosedError": "VantricError",
    "H1Error": "VantricError",
    "H1ParseError": "H1Error",
    "H1BodyError": "H1Error",
    "H1IncompleteMessageError": "H1Error",
    "H1UnexpectedMessageError": "H1Error",
    "H1UserError": "H1Error",
    "H2Error": "VantricError",
    "H2ProtocolError": "H2Error",
    "H2StreamError": "H2Error",
    "H2UserError": "H2Error",
    "H2FlowControlError": "H2Error",
}


@pytest.mark.parametrize("name,base", TREE.items())
def test_class_identity(name, base):
    cls = getattr(v, name)
    base_cls = getattr(v, base) if isinstance(base, str) else base
    assert cls.__bases__ == (base_cls,)
    assert cls.__module__ == "_vantric"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__doc__
    # Plain exception classes: any arguments, default str().
    exc = cls("a", 2, None)
    assert exc.args == ("a", 2, None) and str(exc) == "('a', 2, None)"
    assert str(cls("only")) == "only"
    with pytest.raises(v.VantricError):
        raise cls()


def test_connection_closed_is_protocol_neutral():
    assert not issubclass(v.ConnectionClosedError, (v.H1Error, v.H2Error))


# (kind, sub_kind, causes) -> (class, args)
H1_CASES = [
    ((0, 0, None), "H1ParseError", ("method", "invalid HTTP method parsed")),
    ((0, 2, None), "H1ParseError", ("version_h2", "invalid HTTP version parsed (found HTTP2 preface)")),
    ((0, 5, None), "H1ParseError", ("header_token", "invalid HTTP header parsed")),
    ((0, 9, None), "H1ParseError", ("too_large", "message head is too large")),
    (
        (0, 11, None),
        "H1ParseError",
        ("internal", "internal error inside the HTTP core and/or its dependencies, please report"),
    ),
    ((1, 1, None), "H1UserError", ("body_write_aborted", "user body write aborted")),
    (
        (1, 4, None),
        "H1UserError",
        ("unsupported_status_code", "response has 1xx status code, not supported by server"),
    ),
    ((1, 7, None), "H1UserError", ("dispatch_gone", "dispatch task is gone")),
    ((2, 0, None), "H1IncompleteMessageError", ("connection closed before message completed",)),
    ((3, 0, None), "H1UnexpectedMessageError", ("received unexpected message from connection",)),
    ((4, 0, None), "H1Error", ("operation was canceled",)),
    ((5, 0, None), "H1Error", ("channel closed",)),
    ((6, 0, [("broken pipe", "BrokenPipe")]), "ConnectionClosedError", ("connection error: broken pipe",)),
    ((7, 0, None), "H1Error", ("read header from client timeout",)),
    (
        (8, 0, [("unexpected EOF during chunk size line", "UnexpectedEof")]),
        "H1BodyError",
        ("unexpected_eof", "error reading a body from connection: unexpected EOF during chunk size line"),
    ),
    (
        (8, 0, [("bad chunk", "InvalidData")]),
        "H1BodyError",
        ("invalid_data", "error reading a body from connection: bad chunk"),
    ),
    (
        (8, 0, [("outer", None), ("middle", None), ("inner", "InvalidInput")]),
        "H1BodyError",
        ("invalid_input", "error reading a body from connection: outer"),
    ),
    ((8, 0, [("outer", None)]), "H1BodyError", ("other", "error reading a body from connection: outer")),
    ((8, 0, None), "H1BodyError", ("other", "error reading a body from connection")),
    ((8, 0, [("x", "Other")]), "H1BodyError", ("other", "error reading a body from connection: x")),
    ((9, 0, None), "H1Error", ("error writing a body to connection",)),
    ((10, 0, None), "ConnectionClosedError", ("error shutting down connection",)),
]


@pytest.mark.parametrize("record,cls,args", H1_CASES)
def test_h1_error_records(testing, record, cls, args):
    with pytest.raises(getattr(v, cls)) as info:
        testing.raise_h1(*record)
    assert type(info.value) is getattr(v, cls)
    assert info.value.args == args


def test_h1_parse_error_text(testing):
    with pytest.raises(v.H1ParseError) as info:
        testing.raise_h1(0, 5)
    assert str(info.value) == str(("header_token", "invalid HTTP header parsed"))


H2_CASES = [
    (("reset", 5, 8, 2), "H2StreamError", (5, 8, "remote")),
    (("reset", 1, 1, 0), "H2StreamError", (1, 1, "user")),
    (("library_reset", 3, 7), "H2StreamError", (3, 7, "library")),
    (("goaway", 1), "H2ProtocolError", (1, "unspecific protocol error detected")),
    (("goaway", 0), "H2ProtocolError", (0, "not a result of an error")),
    (("goaway", 13), "H2ProtocolError", (13, "endpoint requires HTTP/1.1")),
    (("goaway", 31), "H2ProtocolError", (31, "unknown reason")),
    (
        ("protocol", None, 0, 0, "decoded header list size over abuse limit"),
        "H2ProtocolError",
        (None, "decoded header list size over abuse limit"),
    ),
    (("protocol", 11, 0, 0, "too many resets"), "H2ProtocolError", (11, "too many resets")),
    (("user", 0), "H2UserError", ("inactive_stream_id", "inactive stream")),
    (("user", 9), "H2UserError", ("send_ping_while_pending", "send_ping before received previous pong")),
    (
        ("user", 12, 0, 0, "status 101 is not informational"),
        "H2UserError",
        ("invalid_informational_status_code", "status 101 is not informational"),
    ),
    (("flow",), "H2FlowControlError", (3,)),
    (("io", 17), "ConnectionClosedError", ("unexpected end of file",)),
    (("io", 3, 0, 0, "peer reset"), "ConnectionClosedError", ("peer reset",)),
    (("closed", None, 0, 0, "transport lost"), "ConnectionClosedError", ("transport lost",)),
]


@pytest.mark.parametrize("value,cls,args", H2_CASES)
def test_h2_error_values(testing, value, cls, args):
    with pytest.raises(getattr(v, cls)) as info:
        testing.raise_h2(*value)
    assert type(info.value) is getattr(v, cls)
    assert info.value.args == args


def test_h2_user_error_kinds(testing):
    kinds = []
    for index in range(13):
        with pytest.raises(v.H2UserError) as info:
            testing.raise_h2("user", index)
        kinds.append(info.value.args[0])
    assert kinds == [
        "inactive_stream_id",
        "unexpected_frame_type",
        "payload_too_big",
        "rejected",
        "release_capacity_too_big",
        "overflowed_stream_id",
        "malformed_headers",
        "missing_uri_scheme_and_authority",
        "poll_reset_after_send_response",
        "send_ping_while_pending",
        "send_settings_while_pending",
        "peer_disabled_server_push",
        "invalid_informational_status_code",
    ]


def test_initiator_strings_are_shared(testing):
    seen = []
    for _ in range(2):
        with pytest.raises(v.H2StreamError) as info:
            testing.raise_h2("reset", 1, 8, 2)
        seen.append(info.value.args[2])
    assert seen[0] is seen[1]
    assert testing.word(2) is seen[0]


def test_internal_fault(testing):
    with pytest.raises(BaseException) as info:
        testing.fault("state record in an impossible combination")
    fault = type(info.value)
    assert not issubclass(fault, Exception)
    assert fault.__bases__ == (BaseException,)
    assert fault.__module__ == "_vantric"
    assert str(info.value).startswith("state record in an impossible combination")


def test_memory_error_crosses_as_memory_error(testing):
    with pytest.raises(MemoryError):
        testing.bad_alloc()
    # An allocation failure changes nothing, so the lock it held stays usable.
    with pytest.raises(MemoryError):
        testing.bad_alloc(hold_lock=True)
    assert testing.probe_lock("alloc") is True


def test_abandoned_lock_stays_unusable(testing):
    assert testing.probe_lock("fault") is True
    with pytest.raises(BaseException) as first:
        testing.fault("half-changed", hold_lock=True)
    fault = type(first.value)
    for _ in range(2):
        with pytest.raises(fault, match="abandoned"):
            testing.probe_lock("fault")
