"""The asyncio HTTP/1.1 client against loopback servers: reuse, framing, idle watcher,
proxies and timeouts. Every server is bounded in time and stopped by its test."""

import asyncio
import contextlib
import http.server
import io
import re
import socket
import threading
import urllib.parse

import pytest

from vantric.__main__ import fetch_and_print
from vantric._vantric import ConnectionClosedError, H1IncompleteMessageError, H1UnexpectedMessageError
from vantric.client import Client, ClientConnection, ConnectTimeout, ReadTimeout
from vantric.client_h1 import _Wire

PROXY_VARIABLES = [
    "ALL_PROXY",
    "all_proxy",
    "HTTP_PROXY",
    "http_proxy",
    "HTTPS_PROXY",
    "https_proxy",
    "NO_PROXY",
    "no_proxy",
    "REQUEST_METHOD",
]


def run(coro, limit=10.0):
    return asyncio.run(asyncio.wait_for(coro, limit))


class Handler(http.server.BaseHTTPRequestHandler):
    """/len: a sized body naming the client port; /chunked: a chunked body with a trailer;
    POST /echo: the request body back, with the framing it came in."""

    protocol_version = "HTTP/1.1"
    timeout = 5

    def log_message(self, *args):
        pass

    def reply(self, body, **fields):
        self.send_response(200)
        for name, value in fields.items():
            self.send_header(name.replace("_", "-"), value)
        self.send_header("content-length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path
        if path == "/chunked":
            self.send_response(200)
            self.send_header("transfer-encoding", "chunked")
            self.send_header("trailer", "x-sum")
            self.end_headers()
            self.wfile.write(b"5\r\nhello\r\n6\r\n world\r\n0\r\nx-sum: 42\r\n\r\n")
        else:
            self.reply(f"port {self.client_address[1]}".encode(), x_target=self.path)

    def do_POST(self):
        if self.headers.get("transfer-encoding") == "chunked":
            body = b""
            while size := int(self.rfile.readline().split(b";")[0], 16):
                body += self.rfile.read(size)
                self.rfile.readline()
            self.rfile.readline()
            self.reply(body, x_framing="chunked")
        else:
            self.reply(self.rfile.read(int(self.headers["content-length"])), x_framing="length")


@contextlib.contextmanager
def threaded_server():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_port}"
    finally:
        server.shutdown()
        server.server_close()
        thread.join(5)


@contextlib.asynccontextmanager
async def raw_server(answer, heads=None, host="127.0.0.1"):
    """An asyncio server that calls answer(writer) after each request head (and its
    Content-Length body) until the client leaves; yields (base url, accepted writers)."""
    accepted = []

    async def serve(reader, writer):
        accepted.append(writer)
        with contextlib.suppress(Exception):
            while head := await reader.readuntil(b"\r\n\r\n"):
                if heads is not None:
                    heads.append(head)
                length = re.search(rb"content-length: (\d+)", head)
                await reader.readexactly(int(length[1]) if length else 0)
                await answer(writer)
        writer.close()

    server = await asyncio.start_server(serve, host, 0)
    authority = f"[{host}]" if ":" in host else host
    try:
        yield f"http://{authority}:{server.sockets[0].getsockname()[1]}", accepted
    finally:
        server.close()
        for writer in accepted:
            writer.close()


async def connect(base, **options):
    host, port = base.rsplit("/", 1)[1].split(":")
    return await ClientConnection.open(host, int(port), **options)


@pytest.fixture
def env(monkeypatch):
    for name in PROXY_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


# A URL's tail after the authority, and the request-target it must become.
URL_TAILS = [
    ("/p?q=1", "/p?q=1"),
    ("", "/"),
    ("?q=1", "/?q=1"),  # a query without a path
    ("/a#frag", "/a"),  # a fragment is never sent
    ("#frag/x?y", "/"),
    ("/x@y?to=a@b", "/x@y?to=a@b"),  # "@" past the authority is no userinfo
]


def _ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as sock:
            sock.bind(("::1", 0))
    except OSError:
        return False
    return True


@pytest.mark.parametrize(
    "host",
    [
        "127.0.0.1",
        pytest.param("::1", marks=pytest.mark.skipif(not _ipv6_loopback(), reason="no IPv6 loopback")),
    ],
)
def test_urls_become_the_request_line_and_host_the_server_sees(env, host):
    async def answer(writer):
        writer.write(b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n")

    async def fetch_all(heads):
        async with raw_server(answer, heads, host=host) as (base, accepted):
            authority = base.removeprefix("http://")
            async with Client(proxy=None) as client:
                for tail, _ in URL_TAILS:
                    for userinfo in ("", "user:secret@"):
                        response = await client.get(f"http://{userinfo}{authority}{tail}")
                        assert response.status == 200
                        await response.read()
            return authority, len(accepted)

    heads = []
    authority, connections = run(fetch_all(heads))
    seen = [
        (head.split(b" ")[1].decode(), re.search(rb"(?im)^host: *(.*?)\r$", head)[1].decode())
        for head in heads
    ]
    assert seen == [(target, authority) for _, target in URL_TAILS for _ in range(2)]
    assert not any(b"secret" in head for head in heads), "userinfo leaked into the request"
    assert connections == 1  # one origin, whatever the URL's shape


def test_keep_alive_framing_and_upload(env):
    async def upload():
        yield b"streamed "
        yield b"upload"

    async def scenario(base):
        async with Client() as client:
            first = await (await client.get(base + "/len")).read()
            second = await (await client.get(base + "/len")).read()
            assert first == second  # one TCP connection for both requests
            chunked = await client.get(base + "/chunked")
            # The chunks that arrive together come out as one piece.
            assert b"".join([c async for c in chunked]) == b"hello world"
            assert chunked.trailers["x-sum"] == b"42"
            sent = await client.request("POST", base + "/echo", body=upload())
            assert (sent.headers["x-framing"], await sent.read()) == (b"chunked", b"streamed upload")
            sized = await client.request(
                "POST", base + "/echo", body=upload(), headers={"content-length": "15"}
            )
            assert (sized.headers["x-framing"], await sized.read()) == (b"length", b"streamed upload")
            whole = await client.request("POST", base + "/echo", body=b"x" * 500000)
            assert await whole.read() == b"x" * 500000
            assert await (await client.get(base + "/len")).read() == first

    with threaded_server() as base:
        run(scenario(base))


@pytest.mark.parametrize(
    "method, reply, status, body, reusable",
    [
        (
            "GET",
            b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok",
            200,
            b"ok",
            True,
        ),
        ("HEAD", b"HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\n", 200, b"", True),
        ("GET", b"HTTP/1.1 204 No Content\r\n\r\n", 204, b"", True),
        ("GET", b"HTTP/1.1 200 OK\r\nconnection: close\r\ncontent-length: 2\r\n\r\nok", 200, b"ok", False),
        ("GET", b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nokEXTRA", 200, b"ok", False),
        ("GET", b"HTTP/1.0 200 OK\r\n\r\nuntil close", 200, b"until close", False),
    ],
)
def test_response_shapes_and_reuse(method, reply, status, body, reusable):
    async def answer(writer):
        writer.write(reply)
        if body == b"until close":
            writer.write_eof()

    async def scenario():
        async with raw_server(answer) as (base, accepted):
            conn = await connect(base, read_timeout=5)
            response = await conn.send_request(method, "/", {"host": "x"})
            assert (response.status, await response.read()) == (status, body)
            assert conn.is_dead() is not reusable and conn.has_watcher is reusable
            await conn.close()
            assert conn.closed and not conn.has_watcher

    run(scenario())


def test_idle_watcher_verdicts(env):
    """A server closing an idle connection, or sending bytes on it, is noticed at once;
    the pool then dials a fresh connection instead of reusing it."""

    async def closes(writer):
        writer.write(b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok")
        writer.write_eof()

    async def babbles(writer):
        writer.write(b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok")
        await asyncio.sleep(0.05)
        writer.write(b"HTTP/1.1 200 OK\r\n")

    async def scenario(answer, expected_error):
        async with raw_server(answer) as (base, accepted), Client() as client:
            response = await client.get(base + "/")
            assert await response.read() == b"ok"
            conn = response.connection
            for _ in range(500):
                if conn.closed:
                    break
                await asyncio.sleep(0.01)
            assert conn.closed and not conn.busy
            assert type(conn.error) is expected_error
            assert await (await client.get(base + "/")).read() == b"ok"
            assert len(accepted) == 2

    run(scenario(closes, type(None)))
    run(scenario(babbles, H1UnexpectedMessageError))


def test_http10_peer_and_early_answer():
    """After an HTTP/1.0 answer later requests go out as HTTP/1.0 with a sized body; an
    answer that comes before the streamed upload ended leaves the connection unusable."""
    heads = []

    async def answer(writer):
        writer.write(b"HTTP/1.0 200 OK\r\nconnection: keep-alive\r\ncontent-length: 2\r\n\r\nok")

    async def upload(pause=0.0):
        yield b"abc"
        await asyncio.sleep(pause)
        yield b"def"

    async def scenario():
        async with raw_server(answer, heads) as (base, accepted):
            conn = await connect(base, read_timeout=5)
            for body in (None, upload()):
                response = await conn.send_request("POST", "/", {"host": "x"}, body)
                assert (response.http_version, await response.read()) == ("HTTP/1.0", b"ok")
            assert conn.peer_http10 and not conn.is_dead() and len(accepted) == 1
            await conn.close()
            early = await connect(base, read_timeout=5)
            response = await early.send_request("POST", "/", {"host": "x"}, upload(pause=5))
            assert await response.read() == b"ok" and early.is_dead()
            await early.close()

    run(scenario())
    assert heads[0].startswith(b"POST / HTTP/1.1\r\n")
    assert heads[1].startswith(b"POST / HTTP/1.0\r\n") and b"content-length: 6" in heads[1]
    assert heads[2].startswith(b"POST / HTTP/1.1\r\n") and b"transfer-encoding: chunked" in heads[2]


def test_reused_connection_dropped_mid_request(env):
    """A kept-alive connection the server drops as the next request arrives: an
    idempotent request is sent again on a fresh connection, a POST fails."""
    answered = {}

    async def answers_once(writer):
        answered[writer] = answered.get(writer, 0) + 1
        if answered[writer] > 1:
            return writer.transport.abort()
        writer.write(b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok")

    async def scenario():
        async with raw_server(answers_once) as (base, accepted), Client() as client:
            for _ in range(2):
                assert await (await client.get(base + "/")).read() == b"ok"
            assert len(accepted) == 2
            with pytest.raises((H1IncompleteMessageError, ConnectionClosedError)):
                await client.request("POST", base + "/", body=b"once")

    run(scenario())


async def forward_proxy(seen, handlers):
    """A proxy that records each connection's first request head and relays the bytes
    until the client leaves."""

    async def pipe(reader, writer):
        with contextlib.suppress(Exception):
            while data := await reader.read(65536):
                writer.write(data)

    async def serve(reader, writer):
        handlers.append(asyncio.current_task())
        head = await reader.readuntil(b"\r\n\r\n")
        seen.append(head.decode())
        origin = urllib.parse.urlsplit(head.split()[1].decode())
        up_reader, up_writer = await asyncio.open_connection(origin.hostname, origin.port)
        up_writer.write(head)
        back = asyncio.ensure_future(pipe(up_reader, writer))
        await pipe(reader, up_writer)
        back.cancel()
        for end in (writer, up_writer):
            end.close()
            await end.wait_closed()

    return await asyncio.start_server(serve, "127.0.0.1", 0)


def test_proxy_from_environment_and_no_proxy(env):
    async def scenario(base, no_proxy):
        seen, handlers = [], []
        proxy = await forward_proxy(seen, handlers)
        env.setenv("HTTP_PROXY", f"http://user:pw@127.0.0.1:{proxy.sockets[0].getsockname()[1]}")
        env.setenv("NO_PROXY", no_proxy)
        try:
            async with Client() as client:
                response = await client.get(base + "/len?q=1")
                await response.read()
            await asyncio.gather(*handlers)
            return seen, response.headers["x-target"]
        finally:
            proxy.close()

    with threaded_server() as base:
        seen, target = run(scenario(base, "example.com"))
        assert target.decode() == base + "/len?q=1"
        assert seen[0].startswith(f"GET {base}/len?q=1 HTTP/1.1\r\n")
        assert "proxy-authorization: Basic dXNlcjpwdw==\r\n" in seen[0]
        seen, target = run(scenario(base, "localhost, 127.0.0.0/8"))
        assert (seen, target) == ([], b"/len?q=1")


def test_timeouts(env):
    async def silent(writer):
        await asyncio.sleep(5)

    async def read_timeout():
        async with raw_server(silent) as (base, _), Client(read_timeout=0.1) as client:
            with pytest.raises(ReadTimeout):
                await client.get(base + "/")

    run(read_timeout())

    # One timer serves a connection's waits: bytes that keep arriving within
    # the timeout keep an exchange alive past it, and a short timeout after a
    # long one still ends on time.
    async def deadlines():
        loop = asyncio.get_running_loop()
        wire = _Wire(loop)
        wire.connection_made(asyncio.Transport())
        for _ in range(6):
            loop.call_later(0.05, wire.data_received, b"x")
            assert await wire.read(0.12) == b"x"
        loop.call_soon(wire.data_received, b"y")
        assert await wire.read(30.0) == b"y"
        started = loop.time()
        with pytest.raises(ReadTimeout):
            await wire.read(0.1)
        assert loop.time() - started < 1.0
        wire.connection_lost(None)
        assert wire._timer is None

    run(deadlines())
    # A listener whose accept queue is full lets new connections hang in the handshake.
    listener = socket.create_server(("127.0.0.1", 0), backlog=0)
    fillers = [socket.socket() for _ in range(4)]
    for sock in fillers:
        sock.setblocking(False)
        sock.connect_ex(listener.getsockname())

    async def connect_timeout():
        async with Client(connect_timeout=0.1) as client:
            with pytest.raises(ConnectTimeout):
                await client.get(f"http://127.0.0.1:{listener.getsockname()[1]}/")

    try:
        run(connect_timeout())
    finally:
        for sock in fillers + [listener]:
            sock.close()


def test_fetch_and_print(env):
    with threaded_server() as base:
        out, err = io.BytesIO(), io.StringIO()
        assert run(fetch_and_print(base + "/chunked", out, err=err)) == 0
        assert out.getvalue() == b"hello world"
        assert err.getvalue().startswith("HTTP/1.1 200 OK\n")
    assert run(fetch_and_print(base + "/", io.BytesIO(), err=err)) == 2
