"""The HTTP/2 client against nghttpd (TLS and cleartext), hypercorn over TLS, our
own server, and scripted servers (h2 library) for GOAWAY, resets and silence.
Certificates are made here by trustme; every server is bounded and stopped by
its test."""

import asyncio
import contextlib
import os
import shutil
import socket
import ssl
import subprocess
import sys
import time

import h2.config
import h2.connection
import h2.events
import pytest
import trustme

from serving import CHILD_ENV, TIMEOUT, serving
from vantric._vantric import ConnectionClosedError, H2StreamError
from vantric.client import Client, ReadTimeout
from vantric.server import Response

MiB = 1024 * 1024


def run(coro, limit=30.0):
    return asyncio.run(asyncio.wait_for(coro, limit))


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    """(CA, directory with cert.pem, key.pem and ca.pem for 127.0.0.1 and localhost)."""
    ca = trustme.CA()
    cert = ca.issue_cert("127.0.0.1", "localhost")
    where = tmp_path_factory.mktemp("certs")
    cert.cert_chain_pems[0].write_to_path(str(where / "cert.pem"))
    cert.private_key_pem.write_to_path(str(where / "key.pem"))
    ca.cert_pem.write_to_path(str(where / "ca.pem"))
    server_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    cert.configure_cert(server_context)
    return ca, where, server_context


def trusting(ca):
    context = ssl.create_default_context()
    ca.configure_trust(context)
    return context


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@contextlib.contextmanager
def process(args, port, cwd=None):
    """A server process, once it accepts connections on `port`; stopped at the end."""
    proc = subprocess.Popen(args, env=CHILD_ENV, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + TIMEOUT
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                break
            except OSError:
                assert proc.poll() is None, proc.stderr.read().decode()
                assert time.monotonic() < deadline, "the server did not start"
                time.sleep(0.05)
        yield proc
    finally:
        proc.terminate()
        try:
            proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(TIMEOUT)


@pytest.fixture(scope="module")
def htdocs(tmp_path_factory):
    where = tmp_path_factory.mktemp("htdocs")
    (where / "small.txt").write_bytes(b"hello over h2\n")
    (where / "big.bin").write_bytes(os.urandom(10 * MiB))
    return where


@pytest.mark.skipif(shutil.which("nghttpd") is None, reason="nghttpd is not installed")
@pytest.mark.parametrize("tls", [True, False], ids=["tls", "h2c"])
def test_nghttpd_many_streams_and_big_bodies_both_ways(certs, htdocs, tls):
    ca, where, _ = certs
    port = free_port()
    args = ["nghttpd", "-a", "127.0.0.1", "-d", str(htdocs), "--echo-upload", "--trailer", "x-end: done"]
    args += [str(port), str(where / "key.pem"), str(where / "cert.pem")] if tls else ["--no-tls", str(port)]
    base = f"{'https' if tls else 'http'}://127.0.0.1:{port}"

    async def fetch():
        http2 = True if tls else "prior-knowledge"
        async with Client(http2=http2, ssl_context=trusting(ca) if tls else None) as client:
            first = await client.get(f"{base}/small.txt")
            assert (first.http_version, first.status) == ("HTTP/2", 200)
            assert await first.read() == b"hello over h2\n"
            assert first.trailers.get("x-end") == b"done"
            many = await asyncio.gather(*[client.get(f"{base}/small.txt") for _ in range(100)])
            assert {id(r.connection) for r in many} == {id(first.connection)}
            assert [await r.read() for r in many] == [b"hello over h2\n"] * 100
            big = await client.get(f"{base}/big.bin")
            assert await big.read() == (htdocs / "big.bin").read_bytes()
            upload = os.urandom(10 * MiB)
            echoed = await client.request("POST", f"{base}/echo", body=upload)
            assert await echoed.read() == upload

    with process(args, port):
        run(fetch())


@pytest.mark.skipif(shutil.which("nghttpd") is None, reason="nghttpd is not installed")
def test_requests_beyond_the_servers_stream_limit_wait_for_a_slot(htdocs):
    port = free_port()

    async def fetch():
        async with Client(http2="prior-knowledge") as client:
            answers = await asyncio.gather(
                *[client.get(f"http://127.0.0.1:{port}/small.txt") for _ in range(20)]
            )
            # Streams sent before the server's SETTINGS arrived were refused,
            # and sent again once a slot was free.
            conn = answers[0].connection
            assert conn.stream_limit == 2
            assert [await r.read() for r in answers] == [b"hello over h2\n"] * 20
            assert {id(r.connection) for r in answers} == {id(conn)}

    with process(["nghttpd", "-a", "127.0.0.1", "-d", str(htdocs), "-m", "2", "--no-tls", str(port)], port):
        run(fetch())


HYPERCORN_APP = """
async def app(scope, receive, send):
    if scope["type"] != "http":
        return
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": scope["http_version"].encode()})
"""


def test_hypercorn_over_tls(certs, tmp_path):
    pytest.importorskip("hypercorn")
    ca, where, _ = certs
    (tmp_path / "hc_app.py").write_text(HYPERCORN_APP)
    port = free_port()
    args = [
        sys.executable,
        "-m",
        "hypercorn",
        "--bind",
        f"127.0.0.1:{port}",
        "--certfile",
        str(where / "cert.pem"),
        "--keyfile",
        str(where / "key.pem"),
        "hc_app:app",
    ]

    async def fetch():
        async with Client(http2=True, ssl_context=trusting(ca)) as client:
            answers = await asyncio.gather(*[client.get(f"https://127.0.0.1:{port}/") for _ in range(10)])
            assert [(r.http_version, await r.read()) for r in answers] == [("HTTP/2", b"2")] * 10

    with process(args, port, cwd=tmp_path):
        run(fetch())


# -- against our own server --------------------------------------------------------


async def app(request):
    path, _, query = request.target.partition("?")
    if path == "/echo":
        body = await request.read()
        trailers = [("x-got", request.trailers.get("x-sum") or b"none")] if request.trailers else None
        return Response(200, [], body, trailers=trailers)
    if path == "/slow":
        await asyncio.sleep(float(query))
        return Response(200, [], b"slow")
    if path == "/broken":

        async def pieces():
            yield b"part"
            raise RuntimeError("the handler broke mid-body")

        return Response(200, [], pieces())
    return Response(200, [], b"ok")


def test_our_server_trailers_both_ways_and_a_reset_that_fails_one_request(certs):
    ca, _, server_context = certs

    async def fetch(url):
        async with Client(http2=True, ssl_context=trusting(ca)) as client:
            echoed = await client.request(
                "POST", f"{url}/echo", body=b"abc", headers=[("te", "trailers")], trailers=[("x-sum", "6")]
            )
            assert await echoed.read() == b"abc" and echoed.trailers.get("x-got") == b"6"
            broken = await client.get(f"{url}/broken")
            slow = asyncio.ensure_future(client.get(f"{url}/slow?0.2"))
            with pytest.raises(H2StreamError):
                await broken.read()
            assert await (await slow).read() == b"slow"  # the same connection goes on
            assert broken.connection is (await slow).connection

    with serving(app, ssl=server_context) as running:
        run(fetch(f"https://127.0.0.1:{running.port}"))
    assert len(running.errors) == 1 and "broke mid-body" in str(running.errors[0]["exception"])


def test_our_server_many_streams_and_big_bodies_over_tls(certs):
    ca, _, server_context = certs
    upload = os.urandom(10 * MiB)

    async def fetch(url):
        async with Client(http2=True, ssl_context=trusting(ca)) as client:
            answers = await asyncio.gather(*[client.get(f"{url}/{i}") for i in range(100)])
            assert {id(r.connection) for r in answers} == {id(answers[0].connection)}
            assert [await r.read() for r in answers] == [b"ok"] * 100
            echoed = await client.request("POST", f"{url}/echo", body=upload)
            assert await echoed.read() == upload

    with serving(app, ssl=server_context) as running:
        run(fetch(f"https://127.0.0.1:{running.port}"))


def test_our_server_with_two_streams_at_a_time():
    running_now, most = 0, 0

    async def counting(request):
        nonlocal running_now, most
        running_now += 1
        most = max(most, running_now)
        await asyncio.sleep(0.01)
        running_now -= 1
        return Response(200, [], b"x" * 1000)

    async def fetch(url):
        async with Client(http2="prior-knowledge") as client:
            answers = await asyncio.gather(*[client.get(url) for _ in range(30)])
            assert [len(await r.read()) for r in answers] == [1000] * 30

    with serving(counting, max_concurrent_streams=2) as running:
        run(fetch(f"http://127.0.0.1:{running.port}/"))
    assert most == 2


def test_a_silent_server_times_out_one_request_and_the_connection_goes_on():
    async def fetch(url):
        async with Client(http2="prior-knowledge", read_timeout=0.3) as client:
            with pytest.raises(ReadTimeout):
                await client.get(f"{url}/slow?5")
            assert await (await client.get(f"{url}/")).read() == b"ok"

    with serving(app) as running:
        run(fetch(f"http://127.0.0.1:{running.port}"))


# -- scripted servers ---------------------------------------------------------------


@contextlib.asynccontextmanager
async def scripted(serve_connection):
    """An HTTP/2 server of the h2 library, each connection run by
    `serve_connection(number, conn, reader, writer)`."""
    count = 0
    tasks = []

    async def accepted(reader, writer):
        nonlocal count
        count += 1
        conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False))
        conn.initiate_connection()
        writer.write(conn.data_to_send())
        tasks.append(asyncio.current_task())
        with contextlib.suppress(Exception):
            await serve_connection(count, conn, reader, writer)
        writer.close()

    server = await asyncio.start_server(accepted, "127.0.0.1", 0)
    try:
        yield f"http://127.0.0.1:{server.sockets[0].getsockname()[1]}"
    finally:
        server.close()
        for task in tasks:
            task.cancel()


async def requests_of(conn, reader, writer, wanted):
    """Reads until `wanted` requests ended; their stream ids by path."""
    got = {}
    while len(got) < wanted:
        data = await reader.read(65536)
        if not data:
            break
        for event in conn.receive_data(data):
            if isinstance(event, h2.events.RequestReceived):
                got[dict(event.headers)[b":path"].decode()] = event.stream_id
        writer.write(conn.data_to_send())
    return got


def answer(conn, sid, body):
    conn.send_headers(sid, [(":status", "200")])
    conn.send_data(sid, body, end_stream=True)


def test_goaway_retries_what_the_server_did_not_process_and_fails_the_rest():
    seen = []

    async def serve_connection(number, conn, reader, writer):
        if number == 1:
            sids = await requests_of(conn, reader, writer, 3)
            seen.append(sorted(sids))
            # /a answered, /b processed (at or below the last stream id) but
            # never answered, /c above it: not processed.
            answer(conn, sids["/a"], b"a")
            conn.close_connection(last_stream_id=sids["/b"])
            writer.write(conn.data_to_send())
            await writer.drain()
            await asyncio.sleep(0.05)
            return
        sids = await requests_of(conn, reader, writer, 1)
        seen.append(sorted(sids))
        for path, sid in sids.items():
            answer(conn, sid, path.encode())
        writer.write(conn.data_to_send())
        await reader.read(65536)

    async def fetch():
        async with scripted(serve_connection) as url, Client(http2="prior-knowledge") as client:

            async def get(path):
                return await (await client.get(url + path)).read()

            return await asyncio.gather(get("/a"), get("/b"), get("/c"), return_exceptions=True)

    a, b, c = run(fetch())
    assert a == b"a"
    assert isinstance(b, ConnectionClosedError) and "GOAWAY" in str(b)
    assert c == b"/c"
    assert seen == [["/a", "/b", "/c"], ["/c"]]


def test_an_unanswered_ping_ends_an_idle_connection():
    async def serve_connection(number, conn, reader, writer):
        sids = await requests_of(conn, reader, writer, 1)
        for sid in sids.values():
            answer(conn, sid, b"first" if number == 1 else b"again")
        writer.write(conn.data_to_send())
        if number == 1:
            await asyncio.sleep(60)  # then silent: PINGs go unanswered
        await reader.read(65536)

    async def fetch():
        async with (
            scripted(serve_connection) as url,
            Client(http2="prior-knowledge", ping_interval=0.1) as client,
        ):
            first = await client.get(url + "/")
            assert await first.read() == b"first"
            conn = first.connection
            deadline = time.monotonic() + TIMEOUT
            while conn.usable and time.monotonic() < deadline:
                await asyncio.sleep(0.05)
            assert not conn.usable
            again = await client.get(url + "/")
            assert again.connection is not conn and await again.read() == b"again"

    run(fetch())


def test_command_line_says_which_protocol_it_used():
    with serving(app) as running:
        url = f"http://127.0.0.1:{running.port}/"
        for flag, version in (("--http2-prior-knowledge", b"HTTP/2 200"), ("--http2", b"HTTP/1.1 200")):
            done = subprocess.run(
                [sys.executable, "-m", "vantric", "get", flag, url], capture_output=True, timeout=TIMEOUT * 2
            )
            assert done.returncode == 0, done.stderr
            assert done.stdout == b"ok" and done.stderr.startswith(version)
