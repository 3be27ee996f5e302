"""The server and the client on uvloop's event loop: both protocols, TLS, an
ASGI application and streaming, in one program on one loop."""

import asyncio
import ssl

import pytest
import trustme

from vantric.asgi import ASGIHandler
from vantric.client import Client
from vantric.server import Response, serve

uvloop = pytest.importorskip("uvloop")


async def native(request):
    body = await request.read()
    if request.target == "/stream":

        async def pieces():
            for i in range(3):
                yield b"piece %d;" % i

        return Response(200, [], pieces())
    return Response(200, [], b"%s %d" % (request.http_version.encode(), len(body)))


async def asgi_app(scope, receive, send):
    if scope["type"] != "http":
        return
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": scope["http_version"].encode()})


async def exercise():
    assert type(asyncio.get_running_loop()).__module__.startswith("uvloop")
    authority = trustme.CA()
    server_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    authority.issue_cert("127.0.0.1").configure_cert(server_context)
    client_context = ssl.create_default_context()
    authority.configure_trust(client_context)
    plain = await serve(native, "127.0.0.1", 0)
    secure = await serve(native, "127.0.0.1", 0, ssl=server_context)
    asgi = await serve(ASGIHandler(asgi_app), "127.0.0.1", 0)
    try:
        async with (
            Client(proxy=None) as h1,
            Client(proxy=None, http2="prior-knowledge") as h2c,
            Client(proxy=None, http2=True, ssl_context=client_context) as h2,
        ):
            assert (
                await (await h1.request("POST", f"http://127.0.0.1:{plain.port}/", body=b"x" * 70000)).read()
                == b"1.1 70000"
            )
            assert (
                await (await h1.get(f"http://127.0.0.1:{plain.port}/stream")).read()
                == b"piece 0;piece 1;piece 2;"
            )
            answers = await asyncio.gather(*[h2c.get(f"http://127.0.0.1:{plain.port}/") for _ in range(20)])
            assert [await r.read() for r in answers] == [b"2 0"] * 20
            answers = await asyncio.gather(*[h2.get(f"https://127.0.0.1:{secure.port}/") for _ in range(20)])
            assert [await r.read() for r in answers] == [b"2 0"] * 20
            assert await (await h1.get(f"http://127.0.0.1:{asgi.port}/")).read() == b"1.1"
    finally:
        for server in (plain, secure, asgi):
            await server.shutdown(1)


def test_server_and_client_on_uvloop():
    with asyncio.Runner(loop_factory=uvloop.new_event_loop) as runner:
        runner.run(asyncio.wait_for(exercise(), 30))
