"""Head parsing against h11 on many generated valid heads.

The heads stay within what RFC 9112, h11 and our rules agree on: a Host
field on HTTP/1.1 requests, only the chunked transfer coding, no repeated
Content-Length, no fragment in the target.  Both parsers must then see the
same method, target, status, fields, framing and keep-alive decision.  The
framing is compared by behaviour: a body framed as we decided is fed to h11,
which must read it to its end exactly.
"""

import random

import pytest

from vantric._vantric import H1Codec

h11 = pytest.importorskip("h11")

TCHAR = "!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
PATH = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~!$&'()*+,;=:@%/"
VISIBLE = "".join(chr(c) for c in range(0x21, 0x7F))
COMMON = [
    "Accept",
    "Accept-Encoding",
    "Accept-Language",
    "User-Agent",
    "Cookie",
    "Cache-Control",
    "X-Request-Id",
    "Referer",
    "Authorization",
    "Content-Type",
    "Date",
    "Server",
    "Vary",
    "ETag",
]
FRAMING = {"content-length", "transfer-encoding", "connection", "expect", "upgrade", "te", "host"}


def token(rng, alphabet=TCHAR, low=1, high=20):
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(low, high)))


def value(rng):
    words = [token(rng, VISIBLE, 1, 12) for _ in range(rng.randint(0, 4))]
    return " ".join(words)


def fields(rng):
    out = []
    for _ in range(rng.randint(0, 14)):
        name = rng.choice(COMMON) if rng.random() < 0.5 else token(rng)
        if name.lower() in FRAMING:
            continue
        out.append((name, value(rng)))
    return out


def framing_fields(rng, http10, allow_chunked=True):
    """Framing and connection fields, and the body framing they declare."""
    out = []
    kind = rng.choice(["none", "length", "chunked"] if allow_chunked and not http10 else ["none", "length"])
    if kind == "length":
        out.append((rng.choice(["Content-Length", "content-length"]), str(rng.randint(0, 40))))
    elif kind == "chunked":
        out.append(
            (rng.choice(["Transfer-Encoding", "transfer-encoding"]), rng.choice(["chunked", "Chunked"]))
        )
    if rng.random() < 0.3:
        out.append(("Connection", rng.choice(["close", "keep-alive", "Keep-Alive", "x-token"])))
    return out


def head_bytes(start_line, all_fields, rng):
    eol = "\r\n" if rng.random() < 0.8 else "\n"
    lines = [start_line] + [f"{n}:{rng.choice(['', ' ', '  '])}{v}" for n, v in all_fields]
    return (eol.join(lines) + eol + eol).encode()


def grouped(pairs):
    """Name -> values in order, and the names in order of first appearance.

    h11 hands transfer codings on in lowercase; they are case-insensitive
    (RFC 9112 section 7), so they are compared that way.
    """
    by_name = {}
    for name, val in pairs:
        if name == b"transfer-encoding":
            val = val.lower()
        by_name.setdefault(name, []).append(val)
    return by_name, list(by_name)


def body_for(kind, length):
    if kind == "length":
        return b"x" * length
    if kind == "chunked":
        return b"5\r\nhello\r\n0\r\n\r\n"
    return b""


def h11_reads_body(conn, body, close_delimited):
    """Feeds `body` to h11; True when h11 ends the message exactly after it."""
    if body:
        conn.receive_data(body)
    got = b""
    while True:
        event = conn.next_event()
        if isinstance(event, h11.Data):
            got += event.data
        elif isinstance(event, h11.EndOfMessage):
            return True
        elif event is h11.NEED_DATA and close_delimited:
            conn.receive_data(b"")
            close_delimited = False
        else:
            return False


def generate_request(rng):
    http10 = rng.random() < 0.2
    method = rng.choice(
        ["GET", "POST", "PUT", "DELETE", "PATCH", "OPTIONS", "HEAD", "QUERY", "PURGE", "M-SEARCH"]
    )
    target = "/" + token(rng, PATH, 0, 40)
    if rng.random() < 0.4:
        target += "?" + token(rng, PATH + "?", 0, 30)
    all_fields = fields(rng)
    if not http10 or rng.random() < 0.5:
        all_fields.insert(rng.randint(0, len(all_fields)), ("Host", "example.com"))
    for field in framing_fields(rng, http10):
        all_fields.insert(rng.randint(0, len(all_fields)), field)
    start = f"{method} {target} HTTP/1.{0 if http10 else 1}"
    return head_bytes(start, all_fields, rng)


@pytest.mark.parametrize("seed", range(8))
def test_requests_agree_with_h11(seed):
    rng = random.Random(seed)
    for _ in range(150):
        data = generate_request(rng)
        ours = H1Codec().receive_request_head(data)
        conn = h11.Connection(h11.SERVER)
        conn.receive_data(data)
        theirs = conn.next_event()
        assert isinstance(theirs, h11.Request), data
        assert ours.method == theirs.method.decode(), data
        assert ours.target == theirs.target.decode(), data
        assert ours.http10 == (theirs.http_version == b"1.0"), data
        assert grouped(ours.headers.raw_items()) == grouped(list(theirs.headers)), data
        length = ours.content_length if ours.body_kind == "length" else 0
        assert h11_reads_body(conn, body_for(ours.body_kind, length), False), data
        # h11 keeps HTTP/1.0 connections only by its own rule (never), so
        # keep-alive is compared where both follow RFC 9112 section 9.3.
        if not ours.http10 or b"keep-alive" not in data.lower():
            assert ours.keep_alive == (conn.their_state is h11.DONE), data


def generate_response(rng, method):
    http10 = rng.random() < 0.2
    status = rng.choice([200, 200, 201, 204, 206, 301, 304, 404, 418, 500, 503])
    reason = rng.choice(["", " OK", " Something Else", " "]) if rng.random() < 0.9 else ""
    all_fields = fields(rng)
    for field in framing_fields(rng, http10):
        all_fields.insert(rng.randint(0, len(all_fields)), field)
    return head_bytes(f"HTTP/1.{0 if http10 else 1} {status}{reason}", all_fields, rng)


@pytest.mark.parametrize("seed", range(8))
def test_responses_agree_with_h11(seed):
    rng = random.Random(1000 + seed)
    for _ in range(150):
        method = rng.choice(["GET", "HEAD", "POST"])
        data = generate_response(rng, method)
        codec = H1Codec()
        # A parsed request records the method the response answers.
        codec.receive_request_head(method.encode() + b" / HTTP/1.1\r\nHost: a\r\n\r\n")
        ours = codec.receive_head(data)
        conn = h11.Connection(h11.CLIENT)
        conn.send(h11.Request(method=method, target="/", headers=[("Host", "a")]))
        conn.send(h11.EndOfMessage())
        conn.receive_data(data)
        theirs = conn.next_event()
        assert isinstance(theirs, h11.Response), data
        assert ours.status == theirs.status_code, data
        assert grouped(ours.headers.raw_items()) == grouped(list(theirs.headers)), data
        length = ours.content_length if ours.body_kind == "length" else 0
        assert h11_reads_body(conn, body_for(ours.body_kind, length), ours.body_kind == "close"), data
        if ours.body_kind != "close" and (not ours.http10 or b"keep-alive" not in data.lower()):
            assert ours.keep_alive == (conn.their_state is h11.DONE), data
