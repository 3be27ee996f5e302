"""Undoing a response body's content coding (RFC 9110 section 8.4) as it streams.

The client asks for gzip and deflate (`ACCEPT_ENCODING`) and decodes a body
that carries one of them. Each call hands out at most `PIECE_LIMIT` decoded
bytes and keeps the compressed rest for the next: a small body that inflates
to gigabytes (a compression bomb) costs memory only as fast as its reader
takes the pieces.
"""

from __future__ import annotations

import zlib

from ._vantric import HeaderMap

__all__ = ["ACCEPT_ENCODING", "PIECE_LIMIT", "ContentDecoder", "ContentDecodingError", "decoder_for"]

ACCEPT_ENCODING = b"gzip, deflate"
PIECE_LIMIT = 1 << 20

# zlib's window bits for each coding: gzip's header and trailer (RFC 1952);
# deflate as RFC 9110 section 8.4.1.2 defines it, in the zlib format (RFC
# 1950), though some servers send the raw format (RFC 1951): told apart by
# the first bytes, as browsers do.
_GZIP = 16 + zlib.MAX_WBITS
_ZLIB = zlib.MAX_WBITS
_RAW = -zlib.MAX_WBITS
_CODINGS = {"gzip": _GZIP, "x-gzip": _GZIP, "deflate": _ZLIB}


class ContentDecodingError(ValueError):
    """The body is not valid in the content coding its response names."""


class ContentDecoder:
    """Decodes one body, piece by piece: `feed` what arrives, take `more()`
    while `pending`, and `end()` once the body is complete."""

    __slots__ = ("_coding", "_wbits", "_inflate", "_fed")

    def __init__(self, coding: str) -> None:
        self._coding = coding
        self._wbits = _CODINGS[coding]
        self._inflate = zlib.decompressobj(self._wbits)
        self._fed = False

    @property
    def pending(self) -> bool:
        """Compressed bytes are left that the limit kept back."""
        return bool(self._inflate.unconsumed_tail)

    def feed(self, data: bytes) -> bytes:
        """The decoded bytes of `data`, at most PIECE_LIMIT of them."""
        if not self._fed and data:
            self._fed = True
            if self._wbits == _ZLIB and not _looks_like_zlib(data):
                self._inflate = zlib.decompressobj(_RAW)
        return self._decompress(data)

    def more(self) -> bytes:
        """The next decoded bytes of what the limit kept back."""
        return self._decompress(self._inflate.unconsumed_tail)

    def end(self) -> bytes:
        """What is left once the body is complete; raises ContentDecodingError
        when the coded stream stopped short of its end."""
        try:
            tail = self._inflate.flush()
        except zlib.error as error:
            raise ContentDecodingError(f"invalid {self._coding} body: {error}") from None
        if self._fed and not self._inflate.eof:
            raise ContentDecodingError(f"the {self._coding} body ended before its coded stream did")
        return tail

    def _decompress(self, data: bytes) -> bytes:
        try:
            return self._inflate.decompress(data, PIECE_LIMIT)
        except zlib.error as error:
            raise ContentDecodingError(f"invalid {self._coding} body: {error}") from None


def _looks_like_zlib(data: bytes) -> bool:
    """A zlib stream's first two bytes (RFC 1950 section 2.2): the deflate
    method, and a header checksum that makes them a multiple of 31."""
    if len(data) < 2:
        return True  # too short to tell; the zlib format is the standard one
    return data[0] & 0x0F == 8 and (data[0] << 8 | data[1]) % 31 == 0


def decoder_for(headers: HeaderMap) -> ContentDecoder | None:
    """A decoder for a body whose Content-Encoding is one coding we undo;
    None for no coding, identity, or codings we leave as they are (several,
    or one we do not know: the body is then handed out as it came)."""
    if "content-encoding" not in headers:
        return None  # the usual answer, told without a list
    values = headers.get_all("content-encoding")
    listed = (c.strip().lower() for c in b",".join(values).decode("latin-1").split(","))
    codings = [c for c in listed if c and c != "identity"]
    if len(codings) != 1 or codings[0] not in _CODINGS:
        return None
    return ContentDecoder(codings[0])
