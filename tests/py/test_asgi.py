"""ASGI applications served over real sockets: Starlette and FastAPI apps hit
with httpx (HTTP/1.1 and HTTP/2), curl and the websockets client; scopes
checked exactly for tricky targets; misbehaving applications; lifespan; the
command line.  Every server is bounded and stopped by its test."""

import asyncio
import contextlib
import json
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import time

import httpx
import pytest
import websockets
from websockets.asyncio.client import connect as ws_connect
from wsproto.events import BytesMessage, CloseConnection, Ping, Pong, TextMessage

from h2_raw import RawClient
from h2_websocket import H2WebSockets
from serving import CHILD_ENV, TIMEOUT, Reader, connect, serving, wait_until
from vantric.asgi import ASGIHandler, LifespanFailure
from vantric.server import Response, Server

pytest.importorskip("starlette")


def starlette_app():
    import contextlib as cl

    from starlette.applications import Starlette
    from starlette.background import BackgroundTask
    from starlette.responses import JSONResponse, StreamingResponse
    from starlette.routing import Route, WebSocketRoute

    log = []

    @cl.asynccontextmanager
    async def lifespan(app):
        log.append("startup")
        yield {"greeting": "hi"}
        log.append("shutdown")

    async def home(request):
        return JSONResponse(
            {
                "greeting": request.state.greeting,
                "http": request.scope["http_version"],
                "path": request.url.path,
            }
        )

    async def echo(request):
        return JSONResponse(
            {"got": await request.json()}, background=BackgroundTask(log.append, "background")
        )

    async def stream(request):
        async def pieces():
            for i in range(5):
                yield f"piece {i}\n"
                await asyncio.sleep(0)

        return StreamingResponse(pieces(), media_type="text/plain")

    async def log_view(request):
        return JSONResponse(log)

    async def ws_echo(websocket):
        await websocket.accept(subprotocol="chat" if "chat" in websocket.scope["subprotocols"] else None)
        async for message in websocket.iter_text():
            await websocket.send_text("echo: " + message)

    app = Starlette(
        lifespan=lifespan,
        routes=[
            Route("/", home),
            Route("/echo", echo, methods=["POST"]),
            Route("/stream", stream),
            Route("/log", log_view),
            WebSocketRoute("/ws", ws_echo),
        ],
    )
    return app, log


@contextlib.contextmanager
def asgi_served(app, **handler_options):
    handler = ASGIHandler(app, **handler_options)
    with serving(handler) as running:
        yield running
    assert running.errors == [], running.errors


def test_starlette_over_http1_http2_curl_and_websockets():
    app, log = starlette_app()
    with asgi_served(app) as running:
        url = running.url
        with (
            httpx.Client(timeout=TIMEOUT) as h1,
            httpx.Client(http1=False, http2=True, timeout=TIMEOUT) as h2,
        ):
            for client, version in ((h1, "1.1"), (h2, "2")):
                assert client.get(url + "/").json() == {"greeting": "hi", "http": version, "path": "/"}
                assert client.post(url + "/echo", json={"a": [1, 2]}).json() == {"got": {"a": [1, 2]}}
                assert client.get(url + "/stream").text == "".join(f"piece {i}\n" for i in range(5))
        if shutil.which("curl"):
            done = subprocess.run(
                ["curl", "-sS", "--http2-prior-knowledge", url + "/"],
                capture_output=True,
                env=CHILD_ENV,
                timeout=TIMEOUT,
            )
            assert json.loads(done.stdout)["http"] == "2"

        async def talk():
            async with ws_connect(url.replace("http", "ws") + "/ws", subprotocols=["chat"]) as ws:
                assert ws.subprotocol == "chat"
                for text in ("one", "two", "é" * 10000):
                    await ws.send(text)
                    assert await ws.recv() == "echo: " + text

        asyncio.run(asyncio.wait_for(talk(), TIMEOUT))
        # The same endpoint over an HTTP/2 stream (RFC 8441).
        h2_ws = H2WebSockets(running.port)
        sid = h2_ws.open("/ws", [("sec-websocket-protocol", "chat")])
        status, fields = h2_ws.responses[sid]
        assert (status, fields["sec-websocket-protocol"]) == (200, "chat")
        h2_ws.send(sid, TextMessage("over h2"))
        assert h2_ws.next_event(sid).data == "echo: over h2"
        h2_ws.close()
        assert wait_until(lambda: log.count("background") == 2)
    assert log[0] == "startup" and log[-1] == "shutdown"


def test_fastapi_json_validation_and_streaming():
    fastapi = pytest.importorskip("fastapi")
    from fastapi.responses import StreamingResponse
    from pydantic import BaseModel

    app = fastapi.FastAPI()

    class Item(BaseModel):
        name: str
        price: float

    @app.post("/items/{item_id}")
    async def create(item_id: int, item: Item, q: str | None = None):
        return {"id": item_id, "name": item.name, "price": item.price, "q": q}

    @app.get("/numbers")
    async def numbers():
        async def lines():
            for i in range(3):
                yield f"{i}\n"

        return StreamingResponse(lines())

    with asgi_served(app) as running:
        with httpx.Client(base_url=running.url, timeout=TIMEOUT) as client:
            answer = client.post("/items/7?q=%C3%A9", json={"name": "pen", "price": 1.5})
            assert answer.json() == {"id": 7, "name": "pen", "price": 1.5, "q": "é"}
            assert client.post("/items/x", json={}).status_code == 422
            assert client.get("/numbers").text == "0\n1\n2\n"


# -- the scope -------------------------------------------------------------------------


def capturing_app(scopes):
    async def app(scope, receive, send):
        if scope["type"] != "http":
            return
        scopes.append(scope)
        await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"2")]})
        await send({"type": "http.response.body", "body": b"ok"})

    return app


TARGETS = [
    # (request-target as sent, path, raw_path, query_string)
    (b"/a%2Fb/%C3%A9?q=%C3%A9&x=%20", "/a/b/é", b"/a%2Fb/%C3%A9", b"q=%C3%A9&x=%20"),
    (b"/plain", "/plain", b"/plain", b""),
    (b"/caf\xc3\xa9?k=\xc3\xa9", "/café", b"/caf\xc3\xa9", b"k=\xc3\xa9"),  # non-ASCII sent raw
    (b"/bad%FF?", "/bad\ufffd", b"/bad%FF", b""),  # an escape that is not UTF-8
    (b"http://example.com/p/q?x=1", "/p/q", b"/p/q", b"x=1"),  # absolute form
    (b"http://example.com?x=1", "/", b"/", b"x=1"),
]


@pytest.mark.parametrize("target, path, raw_path, query", TARGETS)
def test_http1_scope_for_tricky_targets(target, path, raw_path, query):
    scopes = []
    with asgi_served(capturing_app(scopes), root_path="/mount") as running:
        with connect(running.port) as sock:
            sock.sendall(b"GET " + target + b" HTTP/1.1\r\nHost: h\r\nX-Two: 1\r\nx-two: 2\r\n\r\n")
            assert Reader(sock).response()[2] == b"ok"
    (scope,) = scopes
    client, server = scope.pop("client"), scope.pop("server")
    assert client[0] == "127.0.0.1" and server == ("127.0.0.1", running.port)
    assert scope == {
        "type": "http",
        "asgi": {"version": "3.0", "spec_version": "2.4"},
        "http_version": "1.1",
        "method": "GET",
        "scheme": "http",
        "path": "/mount" + path,
        "raw_path": b"/mount" + raw_path,
        "query_string": query,
        "root_path": "/mount",
        "headers": [(b"host", b"h"), (b"x-two", b"1"), (b"x-two", b"2")],
        "state": {},
    }


def test_http2_scope_puts_the_authority_first_as_host():
    scopes = []
    with asgi_served(capturing_app(scopes)) as running:
        client = RawClient(running.port)
        client.headers(
            1,
            [
                (":method", "GET"),
                (":scheme", "http"),
                (":path", "/x?y"),
                (":authority", "example.com"),
                ("te", "trailers"),
                ("cookie", "a=1"),
            ],
        )
        assert client.body(1) == b"ok"
        client.close()
    (scope,) = scopes
    assert scope["http_version"] == "2" and scope["path"] == "/x" and scope["query_string"] == b"y"
    assert scope["headers"] == [(b"host", b"example.com"), (b"te", b"trailers"), (b"cookie", b"a=1")]
    assert "http.response.trailers" in scope["extensions"]


# -- request bodies, trailers and disconnects ----------------------------------------


def test_request_body_streams_and_response_trailers():
    async def app(scope, receive, send):
        if scope["type"] != "http":
            return
        pieces = []
        while True:
            message = await receive()
            pieces.append(len(message["body"]))
            if not message["more_body"]:
                break
        await send(
            {
                "type": "http.response.start",
                "status": 200,
                "trailers": True,
                "headers": [(b"trailer", b"x-count")],
            }
        )
        await send({"type": "http.response.body", "body": b"%d" % sum(pieces), "more_body": True})
        await send({"type": "http.response.body", "body": b"!"})
        await send({"type": "http.response.trailers", "headers": [(b"x-count", b"%d" % len(pieces))]})

    with asgi_served(app) as running:
        with connect(running.port) as sock:
            chunks = b"".join(b"%x\r\n%s\r\n" % (n, b"x" * n) for n in (10, 2000, 30)) + b"0\r\n\r\n"
            sock.sendall(
                b"POST / HTTP/1.1\r\nHost: h\r\nTE: trailers\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks
            )
            status, _, body, trailers = Reader(sock).response()
        assert (status, body) == (200, b"2040!") and "x-count" in trailers


def test_receive_after_the_body_waits_for_the_client_to_leave():
    left = asyncio.Event()
    seen = []

    async def app(scope, receive, send):
        if scope["type"] != "http":
            return
        seen.append(await receive())
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"streaming", "more_body": True})
        seen.append(await receive())  # blocks until the client goes
        left.set()

    with asgi_served(app) as running:
        with connect(running.port) as sock:
            sock.sendall(b"GET / HTTP/1.1\r\nHost: h\r\n\r\n")
            assert Reader(sock).until(b"streaming")
        assert wait_until(lambda: left.is_set())
    assert seen == [{"type": "http.request", "body": b"", "more_body": False}, {"type": "http.disconnect"}]


# -- misbehaving applications -------------------------------------------------------


async def never_starts(scope, receive, send):
    await receive()


async def body_before_start(scope, receive, send):
    await send({"type": "http.response.body", "body": b"early"})


async def sends_after_complete(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"4")]})
    await send({"type": "http.response.body", "body": b"done"})
    await send({"type": "http.response.body", "body": b"extra"})


async def raises_mid_stream(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"half", "more_body": True})
    raise RuntimeError("broke mid-stream")


async def ignores_a_large_body(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"7")]})
    await send({"type": "http.response.body", "body": b"ignored"})


MISBEHAVING = {
    "/never-starts": never_starts,
    "/body-before-start": body_before_start,
    "/after-complete": sends_after_complete,
    "/mid-stream": raises_mid_stream,
    "/ignores": ignores_a_large_body,
}


async def router(scope, receive, send):
    if scope["type"] != "http":
        return
    if scope["path"] == "/fine":
        await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"4")]})
        await send({"type": "http.response.body", "body": b"fine"})
        return
    await MISBEHAVING[scope["path"]](scope, receive, send)


def test_misbehaving_applications_get_answers_and_others_are_served():
    handler = ASGIHandler(router, lifespan="off")
    with serving(handler) as running:

        def fine():
            with connect(running.port) as sock:
                sock.sendall(b"GET /fine HTTP/1.1\r\nHost: h\r\n\r\n")
                assert Reader(sock).response()[2] == b"fine"

        for path, status in (("/never-starts", 500), ("/body-before-start", 500)):
            with connect(running.port) as sock:
                sock.sendall(b"GET %s HTTP/1.1\r\nHost: h\r\n\r\n" % path.encode())
                assert Reader(sock).response()[0] == status
            fine()
        with connect(running.port) as sock:
            sock.sendall(
                b"GET /after-complete HTTP/1.1\r\nHost: h\r\n\r\nGET /fine HTTP/1.1\r\nHost: h\r\n\r\n"
            )
            reader = Reader(sock)
            assert reader.response()[2] == b"done" and reader.response()[2] == b"fine"
        with connect(running.port) as sock:
            sock.sendall(b"GET /mid-stream HTTP/1.1\r\nHost: h\r\n\r\n")
            reader = Reader(sock)
            reader.head()
            # The chunked body never gets its last chunk: the connection is cut.
            assert reader.rest() == b"4\r\nhalf\r\n"
        fine()
        with connect(running.port) as sock:  # 5 MB never read: answered, then the connection closes
            sock.sendall(
                b"POST /ignores HTTP/1.1\r\nHost: h\r\nContent-Length: 5000000\r\n\r\n" + b"x" * 100000
            )
            reader = Reader(sock)
            assert reader.response()[2] == b"ignored"
        fine()
        # Over HTTP/2 the broken stream is reset and the connection goes on.
        client = RawClient(running.port)
        client.headers(
            1, [(":method", "GET"), (":scheme", "http"), (":path", "/mid-stream"), (":authority", "h")]
        )
        client.until(lambda: client.resets(1))
        client.headers(3, [(":method", "GET"), (":scheme", "http"), (":path", "/fine"), (":authority", "h")])
        assert client.body(3) == b"fine"
        client.close()
    messages = [str(error.get("exception")) for error in running.errors]
    assert any("without sending a response" in m for m in messages)
    assert any("before http.response.start" in m for m in messages)
    assert any("after the response was complete" in m for m in messages)
    assert any("broke mid-stream" in m for m in messages)


# -- lifespan -----------------------------------------------------------------------


def test_lifespan_failure_stops_the_server_and_state_reaches_requests():
    async def failing(scope, receive, send):
        await receive()
        await send({"type": "lifespan.startup.failed", "message": "no database"})

    async def no_lifespan(scope, receive, send):
        if scope["type"] == "lifespan":
            raise RuntimeError("lifespan? never heard of it")
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"served"})

    async def start(handler):
        server = Server(handler)
        try:
            await server.listen("127.0.0.1", 0)
        finally:
            await server.shutdown(1)

    with pytest.raises(LifespanFailure, match="no database"):
        asyncio.run(start(ASGIHandler(failing)))
    with pytest.raises(LifespanFailure):
        asyncio.run(start(ASGIHandler(no_lifespan, lifespan="on")))
    with asgi_served(no_lifespan, lifespan="auto") as running:  # unsupported, and that is fine
        with connect(running.port) as sock:
            sock.sendall(b"GET / HTTP/1.1\r\nHost: h\r\n\r\n")
            assert Reader(sock).response()[2] == b"served"


# -- WebSocket ------------------------------------------------------------------------


async def ws_app(scope, receive, send):
    if scope["type"] != "websocket":
        return
    assert (await receive())["type"] == "websocket.connect"
    path = scope["path"]
    if path == "/deny":
        await send({"type": "websocket.close"})
        return
    if path == "/deny-custom":  # the denial response extension, its body in two parts
        assert "websocket.http.response" in scope["extensions"]
        await send(
            {"type": "websocket.http.response.start", "status": 401, "headers": [(b"x-why", b"token")]}
        )
        await send({"type": "websocket.http.response.body", "body": b"no ", "more_body": True})
        await send({"type": "websocket.http.response.body", "body": b"entry"})
        return
    await send(
        {
            "type": "websocket.accept",
            "subprotocol": scope["subprotocols"][0] if scope["subprotocols"] else None,
            "headers": [(b"x-welcome", b"yes")],
        }
    )
    if path == "/close-4000":
        await send({"type": "websocket.close", "code": 4000, "reason": "bye"})
        return
    while True:
        message = await receive()
        if message["type"] == "websocket.disconnect":
            ws_app.closed_with = message["code"]
            return
        if message.get("text") is not None:
            await send({"type": "websocket.send", "text": message["text"].upper()})
        else:
            await send({"type": "websocket.send", "bytes": message["bytes"][::-1]})


def test_websocket_messages_close_codes_denial_and_size_limit():
    ws_app.closed_with = None
    with asgi_served(ws_app, ws_max_size=64 * 1024) as running:
        base = running.url.replace("http", "ws")

        async def talk():
            async with ws_connect(base + "/echo", subprotocols=["v2", "v1"]) as ws:
                assert ws.subprotocol == "v2" and ws.response.headers["x-welcome"] == "yes"
                await ws.send("hello")
                assert await ws.recv() == "HELLO"
                await ws.send(b"\x01\x02\x03")
                assert await ws.recv() == b"\x03\x02\x01"
                await asyncio.wait_for(await ws.ping(), TIMEOUT)  # answered with a pong
                await ws.close(4001, "client done")
            assert wait_until(lambda: ws_app.closed_with == 4001)
            async with ws_connect(base + "/close-4000") as ws:
                with pytest.raises(websockets.ConnectionClosed):
                    await ws.recv()
                assert (ws.close_code, ws.close_reason) == (4000, "bye")
            with pytest.raises(websockets.InvalidStatus) as denied:
                async with ws_connect(base + "/deny"):
                    pass
            assert denied.value.response.status_code == 403
            with pytest.raises(websockets.InvalidStatus) as denied:
                async with ws_connect(base + "/deny-custom"):
                    pass
            response = denied.value.response
            assert (response.status_code, response.headers["x-why"], response.body) == (
                401,
                "token",
                b"no entry",
            )
            async with ws_connect(base + "/echo", max_size=None) as ws:
                await ws.send("x" * (64 * 1024 + 1))
                with pytest.raises(websockets.ConnectionClosed):
                    await ws.recv()
                assert ws.close_code == 1009

        asyncio.run(asyncio.wait_for(talk(), TIMEOUT * 2))


def test_websocket_over_http2_streams():
    ws_app.closed_with = None
    with asgi_served(ws_app, ws_max_size=64 * 1024) as running:
        client = H2WebSockets(running.port)
        try:
            assert client.offers_websocket
            # Two WebSockets on one connection, side by side.
            first = client.open("/echo", [("sec-websocket-protocol", "v2, v1")])
            second = client.open("/echo")
            status, fields = client.responses[first]
            assert (status, fields.get("sec-websocket-protocol"), fields.get("x-welcome")) == (
                200,
                "v2",
                "yes",
            )
            assert "sec-websocket-accept" not in fields and "upgrade" not in fields
            client.send(first, TextMessage("hello"))
            client.send(second, BytesMessage(b"\x01\x02\x03"))
            assert client.next_event(second).data == b"\x03\x02\x01"
            assert client.next_event(first).data == "HELLO"
            client.send(first, Ping(b"p"))
            assert isinstance(client.next_event(first), Pong)
            # 1.2 MB of messages pass the stream's 1 MiB window only as the
            # server hands the window back; past the size limit it closes with 1009.
            for _ in range(20):
                client.send(second, TextMessage("y" * (60 * 1024)))
                assert client.next_event(second).data == "Y" * (60 * 1024)
            client.send(second, TextMessage("y" * (100 * 1024)))
            closing = client.next_event(second)
            assert isinstance(closing, CloseConnection) and closing.code == 1009
            client.send(first, CloseConnection(4001, "client done"))
            assert isinstance(client.next_event(first), CloseConnection)
            client.until(lambda: first in client.ended)  # the server ends its side
            assert wait_until(lambda: ws_app.closed_with == 4001)
            closed = client.open("/close-4000")
            event = client.next_event(closed)
            assert (type(event), event.code, event.reason) == (CloseConnection, 4000, "bye")
            denied = client.open("/deny")
            assert client.responses[denied][0] == 403
            custom = client.open("/deny-custom")
            client.until(lambda: custom in client.ended)
            assert (client.responses[custom][0], client.responses[custom][1]["x-why"]) == (401, "token")
            assert client.bodies[custom] == b"no entry"
            # A server done with a stream the client still sends on tells it
            # to stop (RFC 9113 section 8.1), never of an error.
            assert set(client.resets.values()) <= {0}
        finally:
            client.close()


def test_websocket_over_http2_ends_when_the_client_resets_or_goes_silent():
    with asgi_served(ws_app, ws_ping_interval=0.2, ws_ping_timeout=0.3) as running:
        client = H2WebSockets(running.port)
        try:
            gone = client.open("/echo")
            client.h2.reset_stream(gone, 8)  # CANCEL, mid-conversation
            client._flush()
            # The connection serves on; a WebSocket that leaves the server's
            # pings unanswered is cut off (RST_STREAM CANCEL).
            silent = client.open("/echo")
            client.send(silent, TextMessage("still here"))
            assert client.next_event(silent).data == "STILL HERE"
            assert isinstance(client.next_event(silent), Ping)
            client.until(lambda: silent in client.resets)
            assert client.resets[silent] == 8
        finally:
            client.close()


def test_websocket_over_http2_sender_stalled_by_the_window_is_cut_off():
    ended = []

    async def flood(scope, receive, send):
        await receive()
        await send({"type": "websocket.accept"})
        try:
            while True:
                await send({"type": "websocket.send", "bytes": b"x" * 16384})
        finally:
            ended.append("ended")  # cancelled with its stream, as any stream's handler

    with serving(ASGIHandler(flood), send_timeout=0.3) as running:
        client = H2WebSockets(running.port)
        client.acknowledge = False  # the client never opens its window again
        sid = client.open("/")
        client.until(lambda: sid in client.resets)
        assert wait_until(lambda: ended == ["ended"])
        client.close()
    assert running.errors == []


def test_extended_connect_refused_where_not_offered():
    async def native(request):
        return Response(200, None, b"plain")

    with serving(native) as running:
        client = H2WebSockets(running.port)
        assert not client.offers_websocket
        client.close()
        raw = RawClient(running.port)
        fields = [(":method", "CONNECT"), (":protocol", "websocket"), (":scheme", "http")]
        raw.headers(1, [*fields, (":path", "/"), (":authority", "h")], end_stream=False)
        raw.request(3, "/after")
        assert raw.body(3) == b"plain" and raw.resets(1) == [1]  # PROTOCOL_ERROR; the connection goes on
        raw.close()


# -- the command line --------------------------------------------------------------

CLI_APP = """
state = {}

async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                scope["state"]["started"] = True
                await send({"type": "lifespan.startup.complete"})
            else:
                await send({"type": "lifespan.shutdown.complete"})
                return
    body = ("%s %s %s" % (scope["root_path"], scope["path"], scope["state"].get("started"))).encode()
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": body})

def make():
    return app

async def broken(scope, receive, send):
    await receive()
    await send({"type": "lifespan.startup.failed", "message": "cannot start"})
"""


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.mark.parametrize(
    "args",
    [
        ["cli_app:app", "--root-path", "/api", "--lifespan", "on"],
        ["cli_app:make", "--factory", "--loop", "uvloop", "--root-path", "/api"],
    ],
    ids=["plain", "factory-uvloop"],
)
def test_command_line_serves_an_application(tmp_path, args):
    if "uvloop" in args:
        pytest.importorskip("uvloop")
    (tmp_path / "cli_app.py").write_text(textwrap.dedent(CLI_APP))
    port = free_port()
    proc = subprocess.Popen(
        [sys.executable, "-m", "vantric", "serve", *args, "--port", str(port)],
        cwd=tmp_path,
        stderr=subprocess.PIPE,
    )
    try:
        deadline = time.monotonic() + TIMEOUT
        while True:
            try:
                # Behind a proxy that took "/api" off: the path it was mounted at is put back.
                answer = httpx.get(f"http://127.0.0.1:{port}/x", timeout=1)
                break
            except httpx.TransportError:
                assert proc.poll() is None and time.monotonic() < deadline, "the server did not start"
                time.sleep(0.05)
        assert answer.text == "/api /api/x True"
    finally:
        proc.send_signal(signal.SIGINT)
        assert proc.wait(TIMEOUT) == 0
        assert b"Traceback" not in proc.stderr.read()


def test_command_line_refuses_to_start_when_startup_fails(tmp_path):
    (tmp_path / "cli_app.py").write_text(textwrap.dedent(CLI_APP))
    done = subprocess.run(
        [sys.executable, "-m", "vantric", "serve", "cli_app:broken", "--port", str(free_port())],
        cwd=tmp_path,
        capture_output=True,
        timeout=TIMEOUT * 2,
    )
    assert done.returncode == 3 and b"cannot start" in done.stderr and b"Traceback" not in done.stderr
