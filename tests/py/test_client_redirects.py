"""The client follows redirections when asked: the method and body rules of RFC
9110 section 15.4 as browsers apply them, credentials kept from other
origins, a bound on the chain, and the cases where the redirection itself is
the answer. Over HTTP/1.1 and HTTP/2 against our own servers on loopback."""

import asyncio
import io
import json
import urllib.parse

import pytest

from serving import TIMEOUT, serving
from vantric.__main__ import fetch_and_print
from vantric.client import Client, TooManyRedirects
from vantric.server import Response


async def app(request):
    path, _, query = request.target.partition("?")
    params = dict(urllib.parse.parse_qsl(query))
    body = await request.read()
    if path == "/to":
        padding = b"x" * int(params.get("size", "0"))
        return Response(int(params["code"]), [("location", params["where"])], padding)
    if path == "/loop":
        return Response(302, [("location", "/loop")])
    seen = {
        "method": request.method,
        "target": request.target,
        "body": body.decode(),
        **{
            name: (request.headers.get(name) or b"").decode()
            for name in ("authorization", "cookie", "content-type", "x-kept")
        },
    }
    return Response(200, [("content-type", "application/json")], json.dumps(seen).encode())


@pytest.fixture(scope="module")
def servers():
    with serving(app) as first, serving(app) as second:
        yield first, second


@pytest.fixture(params=[False, "prior-knowledge"], ids=["http1", "http2"])
def http2(request):
    return request.param


def to(code, where, **extra):
    return "/to?" + urllib.parse.urlencode({"code": code, "where": where, **extra})


def send(method, url, *, http2, body=None, headers=None, **options):
    async def go():
        async with Client(http2=http2, **{"follow_redirects": True, **options}) as client:
            response = await client.request(method, url, body=body, headers=headers)
            content = await response.read()
            return response, content

    return asyncio.run(asyncio.wait_for(go(), TIMEOUT * 2))


@pytest.mark.parametrize(
    "code, method, expected",
    [
        (301, "POST", "GET"),  # browsers turn these into GETs, the body dropped
        (302, "POST", "GET"),
        (303, "PUT", "GET"),
        (303, "HEAD", "HEAD"),
        (302, "PUT", "PUT"),  # only a POST changes under 301 and 302
        (307, "POST", "POST"),  # 307 and 308 repeat the request, body and all
        (308, "PUT", "PUT"),
    ],
)
def test_method_and_body_after_each_redirection(servers, http2, code, method, expected):
    server = servers[0]
    headers = [("content-type", "text/plain"), ("x-kept", "yes"), ("authorization", "Bearer t")]
    response, content = send(
        method, server.url + to(code, "/final?n=1"), http2=http2, body=b"payload", headers=headers
    )
    assert response.status == 200 and response.url == server.url + "/final?n=1"
    assert [r.status for r in response.history] == [code]
    if expected == "HEAD":
        assert content == b""
        return
    seen = json.loads(content)
    assert (seen["method"], seen["target"], seen["x-kept"], seen["authorization"]) == (
        expected, "/final?n=1", "yes", "Bearer t"
    )  # fmt: skip
    kept_body = expected != "GET"
    assert seen["body"] == ("payload" if kept_body else "")
    assert seen["content-type"] == ("text/plain" if kept_body else "")


def test_relative_locations_chains_and_another_origin(servers, http2):
    first, second = servers
    # A relative Location, then another origin: credentials stay behind there.
    chain = first.url + to(302, to(301, second.url + "/final"))
    headers = {"authorization": "Basic dTpw", "cookie": "a=1", "x-kept": "yes"}
    response, content = send("GET", chain, http2=http2, headers=headers)
    seen = json.loads(content)
    assert [r.status for r in response.history] == [302, 301]
    assert (seen["authorization"], seen["cookie"], seen["x-kept"]) == ("", "", "yes")
    # A long redirection body is dropped on the way (its connection with it).
    response, content = send("GET", first.url + to(307, "/final", size=200_000), http2=http2)
    assert json.loads(content)["target"] == "/final"


def test_when_the_redirection_is_the_answer(servers, http2):
    server = servers[0]
    # Not asked to follow.
    response, _ = send("GET", server.url + to(302, "/final"), http2=http2, follow_redirects=False)
    assert response.status == 302 and response.history == ()
    # Somewhere the client does not go.
    response, _ = send("GET", server.url + to(301, "ftp://example.org/file"), http2=http2)
    assert response.status == 301

    # A streamed body cannot be sent again for a 307.
    async def streamed():
        yield b"once"

    response, _ = send("POST", server.url + to(307, "/final"), http2=http2, body=streamed())
    assert response.status == 307


def test_a_loop_ends_at_max_redirects(servers, http2):
    with pytest.raises(TooManyRedirects):
        send("GET", servers[0].url + "/loop", http2=http2, max_redirects=3)


def test_command_line_follows_with_location(servers):
    out, err = io.BytesIO(), io.StringIO()
    url = servers[0].url + to(302, "/final")
    assert asyncio.run(fetch_and_print(url, out, err=err, follow_redirects=True)) == 0
    assert json.loads(out.getvalue())["target"] == "/final"
    out, err = io.BytesIO(), io.StringIO()
    assert asyncio.run(fetch_and_print(servers[0].url + "/loop", out, err=err, follow_redirects=True)) == 2
    assert "more than 20 redirections" in err.getvalue()
