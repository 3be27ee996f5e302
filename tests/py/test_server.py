"""The asyncio server against real peers (curl, http.client, h11, raw sockets) and hostile clients.

Each test runs the server on a background event loop (see serving.py), bound
to 127.0.0.1 on a port the OS picks, and stops it before returning.
"""

import asyncio
import contextvars
import http.client
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import h11
import pytest

from serving import CHILD_ENV, Reader, connect, serving, wait_until
from vantric._vantric import H1BodyError
from vantric.server import Response

CURL = shutil.which("curl")
needs_curl = pytest.mark.skipif(CURL is None, reason="curl is not installed")


async def counting(n, pause=0.0):
    for i in range(n):
        yield b"chunk %d\n" % i
        await asyncio.sleep(pause)


async def echo_tunnel(tunnel):
    while data := await tunnel.read():
        tunnel.write(data)
        await tunnel.drain()


# Set when a /slow handler starts: tests wait on it rather than sleep.
SLOW_STARTED = threading.Event()


async def app(request):
    """The routes most tests share."""
    path, _, query = request.target.partition("?")
    if request.method == "CONNECT":
        return Response(200, [], upgrade=echo_tunnel)
    if path == "/echo":
        body = await request.read()
        return Response(200, [("x-method", request.method)], body)
    if path == "/echo-stream":
        return Response(200, [], aiter(request))
    if path == "/ignore":
        return Response(200, [], b"ignored")
    if path == "/client":
        return Response(200, [], b"%d" % request.client[1])
    if path == "/stream":
        return Response(200, [("content-type", "text/plain")], counting(int(query or 3)))
    if path == "/sized":
        return Response(200, [("content-length", str(len(streamed(2))))], counting(2))
    if path == "/trailers":
        return Response(200, [("trailer", "x-checksum")], counting(2), trailers=[("x-checksum", "c0ffee")])
    if path == "/boom":
        raise ValueError("boom")
    if path == "/slow":
        SLOW_STARTED.set()
        await asyncio.sleep(float(query))
        return Response(200, [], b"slow done")
    if path == "/upgrade":
        return Response(101, [("upgrade", "echo"), ("connection", "upgrade")], upgrade=echo_tunnel)
    return Response(404, [], b"not found")


def streamed(n):
    return b"".join(b"chunk %d\n" % i for i in range(n))


def get(path, extra=b""):
    return b"GET " + path + b" HTTP/1.1\r\nHost: t\r\n" + extra + b"\r\n"


def post(path, body, extra=b""):
    return b"POST %s HTTP/1.1\r\nHost: t\r\nContent-Length: %d\r\n%s\r\n%s" % (path, len(body), extra, body)


@pytest.fixture
def srv():
    with serving(app, head_timeout=0.5, idle_timeout=1.0, body_timeout=1.0) as running:
        yield running
        assert running.errors == [], "the server reported errors"


# -- curl ------------------------------------------------------------------------


def curl(*args, timeout=15):
    done = subprocess.run(
        [CURL, "-sS", "--max-time", "10", *args], capture_output=True, timeout=timeout, env=CHILD_ENV
    )
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    return done.stdout, done.stderr.decode(errors="replace")


@needs_curl
def test_curl_keep_alive_and_http10(srv):
    out, err = curl("-v", f"{srv.url}/client", f"{srv.url}/client")
    assert "Re-using existing connection" in err
    half = len(out) // 2
    assert out[:half] == out[half:]  # the same client port twice

    # HTTP/1.0 has no keep-alive by default and no chunked coding: the
    # streamed body is delimited by the close.
    out, err = curl("-v", "-0", f"{srv.url}/stream?20", f"{srv.url}/client")
    assert "Re-using existing connection" not in err
    assert out.startswith(streamed(20)) and out[len(streamed(20)) :].isdigit()
    assert "< Transfer-Encoding" not in err


@needs_curl
def test_curl_uploads(srv, tmp_path):
    payload = bytes(range(256)) * 400
    upload = tmp_path / "upload.bin"
    upload.write_bytes(payload)

    out, err = curl("-v", "-T", str(upload), "-H", "Transfer-Encoding: chunked", f"{srv.url}/echo")
    assert out == payload
    assert "> Transfer-Encoding: chunked" in err

    # 100 (Continue) is sent once the handler reads the body.
    out, err = curl(
        "-v",
        "--expect100-timeout",
        "30",
        "-H",
        "Expect: 100-continue",
        "--data-binary",
        f"@{upload}",
        f"{srv.url}/echo",
    )
    assert out == payload
    assert "< HTTP/1.1 100 Continue" in err

    # A streamed answer may read the body after its head: the 100 goes first.
    out, err = curl(
        "-v",
        "--expect100-timeout",
        "30",
        "-H",
        "Expect: 100-continue",
        "--data-binary",
        f"@{upload}",
        f"{srv.url}/echo-stream",
        timeout=8,
    )
    assert out == payload
    assert err.index("< HTTP/1.1 100 Continue") < err.index("< HTTP/1.1 200 OK")

    # A handler that never reads gets no 100: curl must see the final
    # answer without waiting out its (long) expectation timeout.
    out, err = curl(
        "-v",
        "--expect100-timeout",
        "30",
        "-H",
        "Expect: 100-continue",
        "--data-binary",
        f"@{upload}",
        f"{srv.url}/ignore",
        timeout=8,
    )
    assert out == b"ignored"
    assert "100 Continue" not in err


@needs_curl
def test_curl_reuses_the_connection_after_an_unmet_expectation(srv):
    # No 100 went out and the body was not read: the next request's head is
    # taken for the 5-byte body unless the connection is closed after the
    # answer (RFC 9110 section 10.1.1).
    out, err = curl(
        "--expect100-timeout",
        "30",
        "-H",
        "Expect: 100-continue",
        "--data-binary",
        "hello",
        f"{srv.url}/ignore",
        f"{srv.url}/echo",
    )
    assert out == b"ignoredhello"


# Never finished: a complete head may arrive in one read and be accepted
# whatever its size, an unfinished one is refused once it fills the buffer.
HUGE_FIELD = b"X-Big: " + b"a" * 500_000
BAD_HEADS = [
    pytest.param(b"GET / HTTP/1.1\r\nHost: t\r\nBad Name: x\r\n\r\n", 400, id="space-in-name"),
    pytest.param(b"GET / HTTP/9.9\r\nHost: t\r\n\r\n", 400, id="version"),
    pytest.param(b"G(T / HTTP/1.1\r\nHost: t\r\n\r\n", 400, id="method"),
    pytest.param(b"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400, id="two-lengths"),
    pytest.param(b"GET /" + b"a" * 70 * 1024 + b" HTTP/1.1\r\nHost: t\r\n\r\n", 414, id="long-target"),
    pytest.param(b"GET / HTTP/1.1\r\nHost: t\r\n" + HUGE_FIELD + b"\r\n", 431, id="huge-head"),
    pytest.param(b"GET / HTTP/1.1\r\n" + b"X-A: b\r\n" * 200 + b"\r\n", 431, id="many-fields"),
]


@pytest.mark.parametrize("request_bytes, status", BAD_HEADS)
def test_bad_head_is_answered_and_closed(srv, request_bytes, status):
    with connect(srv.port) as sock:
        try:
            sock.sendall(request_bytes)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the server may answer before the whole head is sent
        reader = Reader(sock)
        got, headers, body, _ = reader.response()
        assert got == status
        assert headers.get("connection") == "close"
        assert reader.closed()
    with connect(srv.port) as sock:
        sock.sendall(post(b"/echo", b"still serving"))
        assert Reader(sock).response()[2] == b"still serving"


REFUSED_HEAD = b"GET / HTTP/9.9\r\nHost: t\r\n\r\n"


def test_a_refused_head_is_answered_before_the_close_and_the_linger_is_bounded(srv):
    # Bytes still coming after a refused head are read and dropped, so closing
    # does not reset the connection under the answer (RFC 9112 section 9.6).
    with connect(srv.port) as sock:
        sock.sendall(REFUSED_HEAD)
        reader = Reader(sock)
        assert reader.response()[0] == 400
        assert srv.connections() == 1, "the server stopped reading at its answer"
        sock.sendall(b"x" * 200_000)  # less than the server drops
        sock.shutdown(socket.SHUT_WR)
        assert reader.rest() == b"", "the answer ends with a close, not a reset"
    # A client that keeps sending is not read for long ...
    with connect(srv.port) as sock:
        sock.sendall(REFUSED_HEAD)
        with pytest.raises((BrokenPipeError, ConnectionResetError)):
            for _ in range(64 * 1024):  # 64 MiB at most, then the test fails
                sock.sendall(b"x" * 1024)
    # ... and one that neither sends nor closes is let go after a moment.
    with connect(srv.port) as sock:
        sock.sendall(REFUSED_HEAD)
        assert Reader(sock).response()[0] == 400
        assert wait_until(lambda: srv.connections() == 0)


MUST_CLOSE = [
    # RFC 9112 section 6.1: "Regardless, the server MUST close the connection
    # after responding to such a request".
    pytest.param(
        b"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 5\r\n"
        b"Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
        id="length-and-chunked",
    ),
    # RFC 9112 section 3.2: 400 to an HTTP/1.1 request without Host or with two.
    pytest.param(b"GET /echo HTTP/1.1\r\n\r\n", id="no-host"),
    pytest.param(b"GET /echo HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", id="two-hosts"),
]


@pytest.mark.parametrize("request_bytes", MUST_CLOSE)
def test_suspect_framing_ends_the_connection(srv, request_bytes):
    with connect(srv.port) as sock:
        sock.sendall(request_bytes + get(b"/echo"))
        reader = Reader(sock)
        status, headers, _, _ = reader.response()
        assert headers.get("connection") == "close"
        assert reader.closed()


# -- http.client and h11 ---------------------------------------------------------


def test_http_client_reuse_chunked_upload_and_streamed_download(srv):
    conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=5)
    try:
        ports = set()
        for _ in range(3):
            conn.request("GET", "/client")
            response = conn.getresponse()
            ports.add(response.read())
        assert len(ports) == 1
        assert srv.connections() == 1

        pieces = [b"alpha-", b"", b"beta-" * 1000, b"gamma"]
        conn.request("POST", "/echo", body=iter(pieces), encode_chunked=True)
        response = conn.getresponse()
        assert response.status == 200 and response.read() == b"".join(pieces)

        conn.request("GET", "/stream?50")
        response = conn.getresponse()
        assert response.getheader("transfer-encoding") == "chunked"
        assert response.read() == streamed(50)

        conn.request("GET", "/client")
        assert conn.getresponse().read() in ports
    finally:
        conn.close()


def test_trailers_only_for_clients_that_accept_them(srv):
    with connect(srv.port) as sock:
        reader = Reader(sock)
        sock.sendall(get(b"/trailers", b"TE: trailers\r\n"))
        status, headers, body, trailers = reader.response()
        assert (status, body, trailers) == (200, streamed(2), {"x-checksum": "c0ffee"})

        sock.sendall(get(b"/trailers"))
        status, headers, body, trailers = reader.response()
        assert (status, body, trailers) == (200, streamed(2), {})


def h11_exchange(sock, conn, method, target, body=b"", headers=()):
    """One request through h11; returns (response, body, trailers)."""
    fields = [("host", "t"), *headers]
    if body:
        fields.append(("content-length", str(len(body))))
    sock.sendall(conn.send(h11.Request(method=method, target=target, headers=fields)))
    if body:
        sock.sendall(conn.send(h11.Data(data=body)))
    sock.sendall(conn.send(h11.EndOfMessage()))
    response, parts = None, []
    while True:
        event = conn.next_event()
        if event is h11.NEED_DATA:
            conn.receive_data(sock.recv(65536))
        elif isinstance(event, h11.Response):
            response = event
        elif isinstance(event, h11.Data):
            parts.append(event.data)
        elif isinstance(event, h11.EndOfMessage):
            conn.start_next_cycle()
            return response, b"".join(parts), list(event.headers)
        else:
            raise AssertionError(event)


def test_h11_accepts_our_framing(srv):
    with connect(srv.port) as sock:
        conn = h11.Connection(h11.CLIENT)
        response, body, _ = h11_exchange(sock, conn, "GET", "/echo")
        assert (response.status_code, body) == (200, b"")
        response, body, _ = h11_exchange(sock, conn, "POST", "/echo", b"x" * 70_000)
        assert (response.status_code, body) == (200, b"x" * 70_000)
        response, body, _ = h11_exchange(sock, conn, "HEAD", "/stream?5")
        assert (response.status_code, body) == (200, b"")
        response, body, _ = h11_exchange(sock, conn, "HEAD", "/echo")
        assert (response.status_code, body) == (200, b"")
        response, body, _ = h11_exchange(sock, conn, "GET", "/stream?5")
        assert (response.status_code, body) == (200, streamed(5))
        response, body, _ = h11_exchange(sock, conn, "GET", "/sized")
        assert (response.status_code, body) == (200, streamed(2))
        assert dict(response.headers)[b"content-length"] == b"16"
        response, body, _ = h11_exchange(sock, conn, "HEAD", "/sized")
        assert (dict(response.headers)[b"content-length"], body) == (b"16", b"")
        response, body, trailers = h11_exchange(sock, conn, "GET", "/trailers", headers=[("te", "trailers")])
        assert (body, trailers) == (streamed(2), [(b"x-checksum", b"c0ffee")])
        response, body, _ = h11_exchange(sock, conn, "GET", "/nowhere")
        assert (response.status_code, body) == (404, b"not found")
        assert conn.our_state is h11.IDLE


# -- one connection, several messages -------------------------------------------


def test_pipelined_requests_are_answered_in_order(srv):
    with connect(srv.port) as sock:
        # The first handler is still running when the rest arrive.
        sock.sendall(get(b"/slow?0.1") + post(b"/echo", b"middle") + get(b"/stream?2") + get(b"/client"))
        reader = Reader(sock)
        assert reader.response()[2] == b"slow done"
        assert reader.response()[2] == b"middle"
        assert reader.response()[2] == streamed(2)
        assert reader.response()[2] == b"%d" % sock.getsockname()[1]


@pytest.mark.parametrize(
    "head",
    [
        pytest.param(get(b"/upgrade", b"Upgrade: echo\r\nConnection: upgrade\r\n"), id="upgrade"),
        pytest.param(b"CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n", id="connect"),
    ],
)
def test_tunnel_gets_bytes_sent_with_the_head(srv, head):
    with connect(srv.port) as sock:
        sock.sendall(head + b"early bytes|")
        reader = Reader(sock)
        status, headers, _, _ = reader.response(head.split(b" ")[0].decode())
        assert status in (101, 200)
        assert reader.exactly(len(b"early bytes|")) == b"early bytes|"
        sock.sendall(b"later")
        assert reader.exactly(5) == b"later"
        sock.shutdown(socket.SHUT_WR)
        assert reader.closed()


def test_unread_body_is_drained_or_the_connection_closed(srv):
    with connect(srv.port) as sock:
        reader = Reader(sock)
        sock.sendall(post(b"/ignore", b"z" * 10_000))
        assert reader.response()[2] == b"ignored"
        sock.sendall(get(b"/echo"))
        assert reader.response()[0] == 200

    big = 5 * 1024 * 1024
    with connect(srv.port) as sock:

        def send():
            try:
                sock.sendall(b"POST /ignore HTTP/1.1\r\nHost: t\r\nContent-Length: %d\r\n\r\n" % big)
                sock.sendall(b"z" * big)
            except OSError:
                pass  # the server stops reading once it gives up draining

        sender = threading.Thread(target=send)
        sender.start()
        reader = Reader(sock)
        assert reader.response()[2] == b"ignored"
        assert reader.closed()
        sender.join(5)


# -- hostile clients -------------------------------------------------------------


def test_head_trickled_within_the_head_timeout_is_served():
    # A head in one-byte pieces is put together; the head timeout is far off.
    with serving(app, head_timeout=5.0) as srv, connect(srv.port) as sock:
        for byte in get(b"/echo"):
            sock.sendall(bytes([byte]))
            time.sleep(0.003)
        assert Reader(sock).response()[0] == 200


def test_stalled_head_is_closed_while_others_are_served(srv):
    with connect(srv.port) as stalled:
        stalled.sendall(b"GET / HTTP/1.1\r\nHost:")
        with connect(srv.port) as other:
            other.sendall(get(b"/echo"))
            assert Reader(other).response()[0] == 200
        assert Reader(stalled).closed()


def test_idle_keep_alive_connection_is_closed(srv):
    with connect(srv.port) as sock:
        reader = Reader(sock)
        sock.sendall(get(b"/echo"))
        assert reader.response()[0] == 200
        assert reader.closed()
    assert wait_until(lambda: srv.connections() == 0)


SHORT_BODIES = [
    pytest.param(b"Content-Length: 100\r\n\r\n0123456789", True, id="length-half-closed"),
    pytest.param(b"Transfer-Encoding: chunked\r\n\r\n5\r\n01234\r\n", True, id="chunked-half-closed"),
    pytest.param(b"Content-Length: 100\r\n\r\n0123456789", False, id="length-stalled"),
    pytest.param(b"Transfer-Encoding: chunked\r\n\r\n5\r\n012", False, id="chunked-stalled"),
]


@pytest.mark.parametrize("rest_of_head, half_close", SHORT_BODIES)
def test_short_body_fails_the_read_and_the_connection(rest_of_head, half_close):
    failures = []

    async def reader_app(request):
        try:
            await request.read()
        except Exception as error:
            failures.append(error)
            raise
        return Response(200, [], b"complete")

    with serving(reader_app, body_timeout=0.5) as srv:
        with connect(srv.port) as sock:
            sock.sendall(b"POST / HTTP/1.1\r\nHost: t\r\n" + rest_of_head)
            if half_close:
                # Our side stays open: the broken body is answered with a 400.
                sock.shutdown(socket.SHUT_WR)
            assert Reader(sock).rest().startswith(b"HTTP/1.1 400 ") is half_close
        assert wait_until(lambda: failures)
        assert [type(error) for error in failures] == [H1BodyError]
        with connect(srv.port) as sock:
            sock.sendall(post(b"/", b"whole"))
            assert Reader(sock).response()[2] == b"complete"


def test_a_request_followed_by_a_half_close_is_still_answered(srv):
    with connect(srv.port) as sock:
        sock.sendall(post(b"/echo", b"last words"))
        sock.shutdown(socket.SHUT_WR)
        reader = Reader(sock)
        assert reader.response()[2] == b"last words"
        assert reader.closed()


def test_body_over_the_limit_is_refused_with_413():
    async def reading_app(request):
        return Response(200, [], await request.read())

    with serving(reading_app, max_body_size=1000) as srv:
        with connect(srv.port) as sock:
            # Declared too large: refused before any 100 Continue invites it.
            sock.sendall(
                b"POST / HTTP/1.1\r\nHost: t\r\nContent-Length: 1001\r\nExpect: 100-continue\r\n\r\n"
            )
            reader = Reader(sock)
            status, headers, _, _ = reader.response()
            assert (status, headers.get("connection")) == (413, "close")
            assert reader.closed()
        with connect(srv.port) as sock:
            # Chunked: refused once the collected pieces pass the limit.
            sock.sendall(
                b"POST / HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n"
                + b"258\r\n"
                + b"x" * 600
                + b"\r\n"
                + b"258\r\n"
                + b"x" * 600
                + b"\r\n0\r\n\r\n"
            )
            assert Reader(sock).response()[0] == 413
        with connect(srv.port) as sock:
            sock.sendall(post(b"/", b"y" * 1000))
            assert Reader(sock).response()[2] == b"y" * 1000


def test_handler_error_is_a_500_and_serving_goes_on(srv):
    with connect(srv.port) as sock:
        reader = Reader(sock)
        sock.sendall(get(b"/boom"))
        assert reader.response()[0] == 500
        sock.sendall(get(b"/echo"))
        assert reader.response()[0] == 200
    assert [type(context.get("exception")) for context in srv.errors] == [ValueError]
    srv.errors.clear()


def test_handler_slower_than_the_connection_timeouts_is_answered(srv):
    # Only reads are timed: the fixture's idle and head timeouts are 1 s and 0.5 s.
    with connect(srv.port) as sock:
        sock.sendall(get(b"/slow?1.2"))
        assert Reader(sock).response()[2] == b"slow done"


# -- the client going away or not reading ---------------------------------------


async def endless(yielded, closed, piece, pause):
    try:
        while True:
            yielded.append(1)
            yield piece
            await asyncio.sleep(pause)
    finally:
        closed.set()


def test_client_leaving_mid_stream_stops_the_stream():
    yielded, closed = [], threading.Event()

    async def stream_app(request):
        return Response(200, [], endless(yielded, closed, b"x" * 1000, 0.01))

    with serving(stream_app) as srv:
        with connect(srv.port) as sock:
            sock.sendall(get(b"/"))
            reader = Reader(sock)
            reader.head()
            reader.exactly(3000)
        assert closed.wait(5)
        count = len(yielded)
        time.sleep(0.1)
        assert len(yielded) == count
        assert wait_until(lambda: srv.connections() == 0)
        assert srv.errors == []


def test_client_that_stops_reading_is_dropped():
    yielded, closed = [], threading.Event()

    async def stream_app(request):
        return Response(200, [], endless(yielded, closed, b"x" * 65536, 0))

    with serving(stream_app, send_timeout=0.5) as srv:
        with connect(srv.port) as sock:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            sock.sendall(get(b"/"))
            assert closed.wait(5)
            assert wait_until(lambda: srv.connections() == 0)


def test_disconnected_resolves_when_the_client_goes_or_the_response_ends():
    outcomes, tasks = [], set()

    async def watch(request):
        outcomes.append(await request.disconnected())

    async def watch_app(request):
        if request.target == "/wait":
            await watch(request)
            return Response(200, [], b"too late")
        if request.target == "/read-first":
            # Asked before the body is read: the watch can start only after it.
            task = asyncio.get_running_loop().create_task(watch(request))
            await asyncio.sleep(0.05)
            await request.read()
            await asyncio.wait_for(asyncio.shield(task), 5)
            return Response(200, [], b"too late")
        task = asyncio.get_running_loop().create_task(watch(request))
        tasks.add(task)
        await asyncio.sleep(0.05)  # the watch starts while the response is pending
        return Response(200, [], b"answered")

    with serving(watch_app) as srv:
        with connect(srv.port) as sock:
            sock.sendall(get(b"/wait"))
            time.sleep(0.1)
        assert wait_until(lambda: outcomes == [True])
        with connect(srv.port) as sock:
            sock.sendall(get(b"/answer"))
            assert Reader(sock).response()[2] == b"answered"
            assert wait_until(lambda: outcomes == [True, False])
        with connect(srv.port) as sock:
            sock.sendall(post(b"/read-first", b"body"))
            time.sleep(0.2)
        assert wait_until(lambda: outcomes == [True, False, True])


# -- shutdown --------------------------------------------------------------------


def test_shutdown_lets_a_request_in_flight_finish(srv):
    SLOW_STARTED.clear()
    with connect(srv.port) as busy, connect(srv.port) as idle:
        busy.sendall(get(b"/slow?0.3"))
        idle.sendall(get(b"/echo"))
        Reader(idle).response()
        assert SLOW_STARTED.wait(5)  # the busy request is in its handler
        stopping = asyncio.run_coroutine_threadsafe(srv.server.shutdown(5), srv.loop)
        reader = Reader(busy)
        status, headers, body, _ = reader.response()
        assert (status, body, headers.get("connection")) == (200, b"slow done", "close")
        assert reader.closed()
        assert Reader(idle).closed()
        stopping.result(5)
    with pytest.raises(OSError):
        connect(srv.port, timeout=1).close()


def test_command_line_server_stops_on_sigterm():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen(
        [sys.executable, "-m", "vantric", "serve", "--port", str(port)], stderr=subprocess.PIPE, env=env
    )
    try:
        ready, _, _ = select.select([proc.stderr], [], [], 10)
        assert ready, "no output from the server"
        assert b"serving on" in proc.stderr.readline()
        with connect(port) as sock:
            reader = Reader(sock)
            sock.sendall(get(b"/stream"))
            assert reader.response()[2] == streamed(10)
            sock.sendall(post(b"/echo", b"hi"))
            assert reader.response()[2] == b"hi"
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=10) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(5)
        proc.stderr.close()


# -- many clients at once ------------------------------------------------------


def _pipelined_exchange(port, rng):
    """Several requests in one stream cut at random points; h11 checks the answers."""
    bodies = [rng.randbytes(rng.choice((0, 1, 100, 5000))) for _ in range(rng.randint(1, 5))]
    wire = b"".join(post(b"/echo", body) if body else get(b"/echo") for body in bodies)
    cuts = sorted(rng.sample(range(1, len(wire)), min(3, len(wire) - 1)))
    with connect(port) as sock:
        for start, end in zip([0, *cuts], [*cuts, len(wire)]):
            sock.sendall(wire[start:end])
            time.sleep(rng.random() / 200)
        client = h11.Connection(h11.CLIENT)
        for body in bodies:
            client.send(h11.Request(method="GET", target="/", headers=[("host", "t")]))
            client.send(h11.EndOfMessage())
            got = b""
            while True:
                event = client.next_event()
                if event is h11.NEED_DATA:
                    client.receive_data(sock.recv(65536))
                elif isinstance(event, h11.Data):
                    got += event.data
                elif isinstance(event, h11.EndOfMessage):
                    break
            assert got == body
            client.start_next_cycle()


def _hostile_exchange(port, rng):
    """Garbage, a cut-off request or a reset, then gone."""
    with connect(port) as sock:
        kind = rng.randrange(3)
        if kind == 0:
            sock.sendall(rng.randbytes(rng.randint(1, 3000)))
        elif kind == 1:
            whole = post(b"/echo", rng.randbytes(2000))
            sock.sendall(whole[: rng.randrange(1, len(whole))])
        else:
            sock.sendall(get(b"/stream?1000"))
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        time.sleep(rng.random() / 50)


def test_many_clients_well_behaved_and_hostile_at_once(srv):
    import concurrent.futures
    import random

    jobs = [(_pipelined_exchange if i % 3 else _hostile_exchange, random.Random(i)) for i in range(60)]
    with concurrent.futures.ThreadPoolExecutor(12) as pool:
        for done in [pool.submit(job, srv.port, rng) for job, rng in jobs]:
            done.result(timeout=20)
    with connect(srv.port) as sock:
        sock.sendall(post(b"/echo", b"still here"))
        assert Reader(sock).response()[2] == b"still here"
    assert wait_until(lambda: srv.connections() == 0)


def test_a_handler_runs_in_its_connections_task_whether_resumed_in_place_or_not():
    """Handlers run straight from the read that brought their request: they
    must still find a current task (asyncio.timeout needs one), keep their
    context across their awaits, read their body from a task of their own,
    and never see what an earlier request on the connection set in a context
    variable (a user id set for one client must not reach the next)."""
    seen = []
    marker = contextvars.ContextVar("marker", default=None)

    async def handler(request):
        task = asyncio.current_task()
        previous = marker.get()
        marker.set(request.target)
        async with asyncio.timeout(1):
            body = await asyncio.get_running_loop().create_task(request.read())
        await asyncio.sleep(0)
        seen.append((task is not None and task is asyncio.current_task(), previous, marker.get()))
        return Response(200, [], body)

    with serving(handler) as running, connect(running.port) as sock:
        reader = Reader(sock)
        sock.sendall(b"POST /a HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\n")
        time.sleep(0.05)  # the body arrives in a read of its own, awaited by the other task
        sock.sendall(b"hello")
        assert reader.response()[2] == b"hello"
        sock.sendall(post(b"/b", b"again") + post(b"/c", b"third"))
        assert reader.response()[2] == b"again"
        assert reader.response()[2] == b"third"
    assert seen == [(True, None, "/a"), (True, None, "/b"), (True, None, "/c")]


def test_an_idle_keep_alive_connection_holds_nothing_of_its_last_request():
    # Hundreds of idle connections must not each keep a head, its header
    # map and its body decoder alive until their next request.
    heads = []

    async def handler(request):
        heads.append(request.head)
        return Response(200, [], b"ok")

    # (An idle timeout would end the connection and free everything anyway.)
    with serving(handler, idle_timeout=60) as running, connect(running.port) as sock:
        sock.sendall(get(b"/first"))
        assert Reader(sock).response()[2] == b"ok"
        # Only the list (and getrefcount's argument) once the loop waits again.
        assert wait_until(lambda: sys.getrefcount(heads[0]) == 2), sys.getrefcount(heads[0])
