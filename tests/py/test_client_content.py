"""The client and response content: gzip and deflate undone over HTTP/1.1 and
HTTP/2, whole or in small pieces; codings it does not know left as they came,
broken coded bodies refused, a compression bomb handed out in bounded pieces;
JSON and text both ways, and the methods' shortcuts. The server is our own,
on loopback, stopped by each test."""

import asyncio
import gzip
import zlib

import pytest

from serving import TIMEOUT, serving
from vantric.client import Client, ContentDecodingError
from vantric.content_coding import PIECE_LIMIT
from vantric.server import Response

TEXT = b"".join(b"line %d of a text that compresses well\n" % i for i in range(5000))


def raw_deflate(data: bytes) -> bytes:
    squeeze = zlib.compressobj(wbits=-zlib.MAX_WBITS)
    return squeeze.compress(data) + squeeze.flush()


BOMB_SIZE = 64 << 20
BODIES = {
    "/gzip": (b"gzip", gzip.compress(TEXT)),
    "/x-gzip": (b"x-gzip", gzip.compress(TEXT)),
    "/deflate": (b"deflate", zlib.compress(TEXT)),
    "/raw-deflate": (b"deflate", raw_deflate(TEXT)),
    "/identity": (b"identity", TEXT),
    "/unknown": (b"br", b"not a coding we undo"),
    "/stacked": (b"gzip, gzip", gzip.compress(gzip.compress(TEXT))),
    "/corrupt": (b"gzip", b"this is not gzip at all"),
    "/truncated": (b"gzip", gzip.compress(TEXT)[:-12]),
    "/bomb": (b"gzip", gzip.compress(bytes(BOMB_SIZE), compresslevel=9)),
}


async def app(request):
    if request.target == "/accept-encoding":
        return Response(200, [], request.headers.get("accept-encoding", b"-"))
    if request.target == "/echo":
        fields = [("content-type", request.headers.get("content-type", b"-")), ("x-method", request.method)]
        return Response(200, fields, await request.read())
    if request.target == "/text":
        return Response(200, [("content-type", request.headers["x-type"])], "café".encode("latin-1"))
    path, _, how = request.target.partition("?")
    coding, body = BODIES[path]
    headers = [("content-encoding", coding)]
    if how == "small":

        async def pieces():
            for at in range(0, len(body), 97):
                yield body[at : at + 97]

        return Response(200, headers, pieces())
    return Response(200, headers, body)


@pytest.fixture(params=[False, "prior-knowledge"], ids=["http1", "http2"], scope="module")
def http2(request):
    return request.param


@pytest.fixture(scope="module")
def server():
    with serving(app) as running:
        yield running


def fetch(server, http2, path, method="GET", **options):
    async def go():
        async with Client(http2=http2, **options) as client:
            response = await client.request(method, f"{server.url}{path}")
            pieces = [piece async for piece in response]
            return response, pieces

    return asyncio.run(asyncio.wait_for(go(), TIMEOUT * 2))


@pytest.mark.parametrize("how", ["", "?small"], ids=["whole", "in-small-pieces"])
@pytest.mark.parametrize("path", ["/gzip", "/x-gzip", "/deflate", "/raw-deflate", "/identity"])
def test_known_codings_are_undone(server, http2, path, how):
    response, pieces = fetch(server, http2, path + how)
    assert b"".join(pieces) == TEXT and all(pieces)
    # The fields stay as the server sent them.
    assert response.headers["content-encoding"] == BODIES[path][0]


@pytest.mark.parametrize("path", ["/unknown", "/stacked"])
def test_codings_we_do_not_undo_come_as_they_are(server, http2, path):
    _, pieces = fetch(server, http2, path)
    assert b"".join(pieces) == BODIES[path][1]


def test_accept_encoding_is_asked_for_unless_set_or_decoding_is_off(server, http2):
    assert b"".join(fetch(server, http2, "/accept-encoding")[1]) == b"gzip, deflate"
    assert b"".join(fetch(server, http2, "/accept-encoding", decode_content=False)[1]) == b"-"
    # A coded body comes as it came when decoding is off.
    assert b"".join(fetch(server, http2, "/gzip", decode_content=False)[1]) == BODIES["/gzip"][1]


@pytest.mark.parametrize("path", ["/corrupt", "/truncated"])
def test_a_broken_coded_body_is_an_error_not_a_short_body(server, http2, path):
    with pytest.raises(ContentDecodingError):
        fetch(server, http2, path)


def test_a_head_response_has_nothing_to_decode(server, http2):
    response, pieces = fetch(server, http2, "/gzip", method="HEAD")
    assert response.status == 200 and pieces == []


def test_a_compression_bomb_comes_in_bounded_pieces(server, http2):
    # 64 MiB of zeros in about 64 KiB: no piece is larger than the limit,
    # however much one compressed piece inflates to.
    async def go():
        async with Client(http2=http2) as client:
            response = await client.get(f"{server.url}/bomb")
            total = largest = 0
            async for piece in response:
                total += len(piece)
                largest = max(largest, len(piece))
                assert not piece.strip(b"\0")
            return total, largest

    total, largest = asyncio.run(asyncio.wait_for(go(), TIMEOUT * 4))
    assert total == BOMB_SIZE and largest <= PIECE_LIMIT


def test_json_and_text_both_ways_and_the_method_shortcuts(server, http2):
    async def go():
        async with Client(http2=http2) as client:
            url = f"{server.url}/echo"
            sent = await client.post(url, json={"name": "café", "n": [1, 2]})
            assert sent.headers["content-type"] == b"application/json"
            assert await sent.json() == {"name": "café", "n": [1, 2]}
            methods = []
            for call in (client.put, client.patch, client.delete):
                response = await call(url, body=b"x")
                methods.append(response.headers["x-method"])
                await response.read()
            head = await client.head(url)
            assert await head.read() == b""
            methods.append(head.headers["x-method"])
            assert methods == [b"PUT", b"PATCH", b"DELETE", b"HEAD"]
            texts = []
            for charset in ("text/plain; charset=ISO-8859-1", 'text/plain; charset="latin-1"', "text/plain"):
                texts.append(
                    await (await client.get(f"{server.url}/text", headers={"x-type": charset})).text()
                )
            with pytest.raises(ValueError):
                await client.post(url, body=b"x", json={})
            return texts

    texts = asyncio.run(asyncio.wait_for(go(), TIMEOUT * 2))
    # Without a charset the text is read as UTF-8, what does not decode replaced.
    assert texts == ["café", "café", "caf\ufffd"]
