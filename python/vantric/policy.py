"""Message rules the server drivers apply around the protocol core, for both
protocols side by side.

The core frames messages and enforces the wire rules; what is left is
deciding what a request must carry before a handler sees it, and what a
response needs that the handler did not say.  HTTP/1.1 response framing
(Content-Length, no body for HEAD, 204 and 304) is the core's serializer's;
HTTP/2 carries no framing in the head, so the same decisions are made here.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._vantric import HeaderMap

if TYPE_CHECKING:
    from ._vantric import H1RequestHead, H2FrameHeaders

__all__ = ["H2RequestHead", "has_one_host", "h2_response_fields"]

# Statuses whose responses never carry content (RFC 9110 sections 15.3.5 and 15.4.5).
_NO_CONTENT = frozenset((204, 304))


def has_one_host(head: H1RequestHead) -> bool:
    """RFC 9112 section 3.2: an HTTP/1.1 request carries exactly one Host
    field (an HTTP/1.0 one may carry none)."""
    return head.http10 or head.host_count == 1


class H2RequestHead:
    """An HTTP/2 request head shaped as the HTTP/1 one, so one handler serves
    both: `:path` is the target (`:authority` for CONNECT), and `:authority`
    stands in for a missing Host (RFC 9113 section 8.3.1; the core already
    refused one that disagrees)."""

    __slots__ = (
        "method", "target", "authority", "protocol", "headers", "content_length", "http10", "expect_continue",
    )  # fmt: skip

    def __init__(self, frame: H2FrameHeaders) -> None:
        self.method = frame.method
        self.target = frame.path if frame.path is not None else frame.authority
        self.authority = frame.authority
        self.protocol = frame.protocol  # an extended CONNECT's (RFC 8441)
        headers = frame.headers
        if frame.authority is not None and headers.get("host") is None:
            headers.add("host", frame.authority)
        self.headers = headers
        self.content_length = frame.content_length
        self.http10 = False
        # An HTTP/2 client waiting for 100 is answered by the response itself.
        self.expect_continue = False


def h2_response_fields(method: str, status: int, headers: Any, body: bytes) -> tuple[HeaderMap | None, bytes]:
    """The header fields (a HeaderMap of its own, or None) and body of an
    HTTP/2 response whose whole body is known: a Content-Length for it (RFC
    9113 section 8.1.1 lets a client check the body against it), and no body
    for HEAD (RFC 9110 section 9.3.2).  `headers` is what the handler gave:
    None, a HeaderMap or pairs; a HeaderMap given is left as it was (a
    handler may answer every request with the same one)."""
    if method == "HEAD" or status in _NO_CONTENT:
        if headers is not None and not isinstance(headers, HeaderMap):
            headers = HeaderMap(headers)
        return headers, b"" if method == "HEAD" else body
    fields = HeaderMap() if headers is None else HeaderMap(headers)
    if fields.get("content-length") is None:
        fields.add("content-length", str(len(body)))
    return fields, body
