"""The extension module's exceptions and tuple results, read by name.

The module reports an error's details as positional `args` and some results
as tuples (its surface is fixed); the drivers read them through these helpers
instead of indexing.
"""

from __future__ import annotations

from typing import Any, NamedTuple

from ._vantric import H1BodyError, H1ParseError, H2Reason, H2StreamError

__all__ = [
    "ConnectionFault",
    "ResetReceived",
    "StreamFault",
    "body_error_kind",
    "connection_fault",
    "is_h2_preface",
    "parse_error_kind",
    "reason_name",
    "stream_fault",
]


def parse_error_kind(error: H1ParseError) -> str:
    """What was malformed in a request or response head ("header_token", ...)."""
    kind: str = error.args[0]
    return kind


def is_h2_preface(error: H1ParseError) -> bool:
    """The "head" was the HTTP/2 client preface (RFC 9113 section 3.4): a
    client speaking HTTP/2 with prior knowledge, not a malformed request."""
    return bool(error.args[0] == "version_h2")


def body_error_kind(error: H1BodyError) -> str:
    """Why a body could not be decoded: "unexpected_eof" when the peer closed
    before its end, "invalid_data" or "invalid_input" for bad framing."""
    kind: str = error.args[0]
    return kind


class StreamFault(NamedTuple):
    """An `H2StreamError`: which stream, why, and who ended it."""

    stream_id: int
    reason: int
    initiator: str


def stream_fault(error: H2StreamError) -> StreamFault:
    return StreamFault(*error.args[:3])


class ConnectionFault(NamedTuple):
    """An HTTP/2 connection error: the GOAWAY code and the text to log."""

    reason: int
    message: str


def connection_fault(error: BaseException) -> ConnectionFault:
    """The code and message of an HTTP/2 connection error (PROTOCOL_ERROR when
    the error carries no code)."""
    args = error.args
    code = args[0] if args else None
    reason = int(code) if isinstance(code, (int, H2Reason)) else int(H2Reason.PROTOCOL_ERROR)
    message = args[1] if len(args) > 1 else reason_name(reason)
    return ConnectionFault(reason, message)


def reason_name(reason: int) -> str:
    """The RFC 9113 name of an error code, or the number for an unknown one."""
    try:
        return H2Reason(reason).name
    except ValueError:
        return str(reason)


class ResetReceived(NamedTuple):
    """`H2Streams.recv_reset()` for a stream that was open."""

    handle: Any
    stop: Any  # H2Stopped
    queued: bool
    flags: int
