"""The server speaking HTTP/2 with prior knowledge, against curl and an h2 client.

The HTTP/1.1 listener hands a connection that opens with the HTTP/2 preface
to the HTTP/2 driver; the same application serves both.  Each test runs the
server on a background loop bound to 127.0.0.1 (serving.py) and stops it.
"""

import asyncio
import shutil
import subprocess

import pytest
from h2 import events as ev
from h2.config import H2Configuration
from h2.connection import H2Connection
from h2.settings import SettingCodes, Settings
from hyperframe.frame import GoAwayFrame, PingFrame, SettingsFrame

from h2_raw import RawClient, request_fields
from serving import CHILD_ENV, TIMEOUT, connect, serving, wait_until
from vantric._vantric import HeaderMap
from vantric.server import Response

CURL = shutil.which("curl")
needs_curl = pytest.mark.skipif(CURL is None, reason="curl is not installed")
MAX_ID = 2**31 - 1


def make_app():
    """The routes, with a record of what the handlers saw."""
    seen = {"arrived": 0, "closed": [], "gate": None}

    async def counting(n, pause, sid):
        try:
            for i in range(n):
                yield b"chunk %d\n" % i
                await asyncio.sleep(pause)
        finally:
            seen["closed"].append(sid)

    async def app(request):
        path, _, query = request.target.partition("?")
        if path == "/echo":
            body = await request.read()
            trailers = list(request.trailers.items()) if request.trailers is not None else None
            return Response(200, [("x-version", request.http_version)], body, trailers=trailers)
        if path == "/echo-stream":
            return Response(200, [], aiter(request))
        if path == "/stream":
            n, pause = int(query or 3), 0.02
            return Response(
                200,
                [("content-type", "text/plain")],
                counting(n, pause, query),
                trailers=[("x-chunks", str(n))],
            )
        if path == "/big":
            return Response(200, [], bytes(int(query)))
        if path == "/gate":
            # Answers only once `query` requests are in handlers at the same time.
            if seen["gate"] is None:
                seen["gate"] = asyncio.Event()
            seen["arrived"] += 1
            if seen["arrived"] >= int(query):
                seen["gate"].set()
            await asyncio.wait_for(seen["gate"].wait(), TIMEOUT)
            return Response(200, [], b"together")
        if path == "/slow":
            await asyncio.sleep(float(query))
            return Response(200, [], b"slow done")
        if path == "/boom":
            raise RuntimeError("boom")
        host = request.headers.get("host")
        host = host.decode() if isinstance(host, bytes) else host
        return Response(
            200, [("content-type", "text/plain")], f"{request.method} {request.target} {host}\n".encode()
        )

    return app, seen


def curl(*args, timeout=TIMEOUT):
    done = subprocess.run(
        [CURL, "-sS", "--http2-prior-knowledge", "-m", str(timeout), *args],
        capture_output=True,
        timeout=timeout + 5,
        env=CHILD_ENV,
    )
    assert done.returncode == 0, done.stderr
    return done


class Client:
    """An h2 client over a plain socket; collects each stream's response."""

    def __init__(self, port, window=None):
        self.sock = connect(port)
        self.conn = H2Connection(H2Configuration(client_side=True, header_encoding="utf-8"))
        if window is not None:
            self.conn.local_settings = Settings(
                client=True, initial_values={SettingCodes.INITIAL_WINDOW_SIZE: window}
            )
        self.conn.initiate_connection()
        self.auto_ack = window is None
        self.streams = {}
        self.events = []
        self.closed = False
        self.flush()

    def flush(self):
        data = self.conn.data_to_send()
        if data:
            self.sock.sendall(data)

    def request(self, path, method="GET", body=None, trailers=None):
        sid = self.conn.get_next_available_stream_id()
        headers = [(":method", method), (":scheme", "http"), (":path", path), (":authority", "localhost")]
        self.conn.send_headers(sid, headers, end_stream=body is None and trailers is None)
        if body is not None:
            self.until(lambda: self.of(ev.RemoteSettingsChanged))  # the server's windows
            offset = 0
            while offset < len(body):
                room = min(self.conn.local_flow_control_window(sid), self.conn.max_outbound_frame_size)
                if room == 0:
                    self.pump()
                    continue
                piece = body[offset : offset + room]
                offset += len(piece)
                self.conn.send_data(sid, piece, end_stream=offset == len(body) and trailers is None)
                self.flush()
        if trailers is not None:
            self.conn.send_headers(sid, trailers, end_stream=True)
        self.streams[sid] = {"headers": None, "data": b"", "trailers": None, "ended": False, "reset": None}
        self.flush()
        return sid

    def pump(self):
        """Reads once (blocking up to the socket timeout) and files the events."""
        data = self.sock.recv(65536)
        if not data:
            self.closed = True
            return
        for event in self.conn.receive_data(data):
            self.events.append(event)
            stream = self.streams.get(getattr(event, "stream_id", None))
            if isinstance(event, ev.ResponseReceived):
                stream["headers"] = dict(event.headers)
            elif isinstance(event, ev.DataReceived):
                stream["data"] += event.data
                if self.auto_ack:
                    self.conn.acknowledge_received_data(event.flow_controlled_length, event.stream_id)
            elif isinstance(event, ev.TrailersReceived):
                stream["trailers"] = dict(event.headers)
            elif isinstance(event, ev.StreamEnded):
                stream["ended"] = True
            elif isinstance(event, ev.StreamReset) and stream is not None:
                stream["reset"] = event.error_code
        self.flush()

    def until(self, predicate):
        while not predicate():
            assert not self.closed, "the server closed the connection"
            self.pump()

    def response(self, sid):
        self.until(lambda: self.streams[sid]["ended"] or self.streams[sid]["reset"] is not None)
        return self.streams[sid]

    def of(self, kind):
        return [e for e in self.events if isinstance(e, kind)]

    def until_closed(self):
        while not self.closed:
            self.pump()

    def close(self):
        self.sock.close()


@pytest.fixture
def app_and_seen():
    return make_app()


@pytest.fixture
def running(app_and_seen):
    with serving(app_and_seen[0]) as running:
        yield running
    assert running.errors == []


@needs_curl
def test_curl_get_post_stream_and_trailers(running, tmp_path):
    done = curl("-i", running.url + "/hello")
    head, body = done.stdout.split(b"\r\n\r\n", 1)
    assert head.startswith(b"HTTP/2 200") and b"content-length: " in head
    assert body == f"GET /hello 127.0.0.1:{running.port}\n".encode()
    # The same application answers HTTP/1.1 on the same port.
    plain = subprocess.run(
        [CURL, "-sS", "--http1.1", "-m", str(TIMEOUT), running.url + "/hello"],
        capture_output=True,
        timeout=TIMEOUT + 5,
        env=CHILD_ENV,
    )
    assert plain.stdout == body
    # 3 MiB each way: past the server's stream window, so the body must be
    # released as the handler consumes it.
    upload = tmp_path / "upload"
    payload = bytes(range(256)) * 4096 * 3
    upload.write_bytes(payload)
    assert curl("--data-binary", f"@{upload}", running.url + "/echo").stdout == payload
    assert curl("-T", str(upload), running.url + "/echo-stream").stdout == payload
    # A streamed answer ends with trailers.
    done = curl("-v", running.url + "/stream?4")
    assert done.stdout == b"".join(b"chunk %d\n" % i for i in range(4))
    assert b"< x-chunks: 4" in done.stderr
    # (This curl fails a second request on a reused prior-knowledge connection
    # against any server, so several streams on one connection are left to h2.)


def test_concurrent_streams_a_reset_one_and_ping(app_and_seen):
    app, seen = app_and_seen
    with serving(app) as running:
        client = Client(running.port)
        try:
            # Three handlers at once: each answers only when all three are in.
            gated = [client.request("/gate?3") for _ in range(3)]
            for sid in gated:
                assert client.response(sid)["data"] == b"together"
            # Three streamed answers; the middle one is cancelled mid-way.
            a, b, c = (client.request(f"/stream?{n}") for n in (10, 50, 10))
            client.until(lambda: client.streams[b]["data"])
            client.conn.reset_stream(b, 8)
            client.flush()
            client.conn.ping(b"pingpong")
            client.flush()
            for sid in (a, c):
                got = client.response(sid)
                assert got["data"] == b"".join(b"chunk %d\n" % i for i in range(10))
                assert got["trailers"] == {"x-chunks": "10"} and got["reset"] is None
            assert [e.ping_data for e in client.of(ev.PingAckReceived)] == [b"pingpong"]
            assert not client.streams[b]["ended"]
            # The cancelled stream's generator was closed early by the server.
            client.request("/hello")  # one more round trip gives the server time to notice
            client.response(max(client.streams))
            assert "50" in seen["closed"]
            # A handler that raises answers 500; the connection carries on.
            assert client.response(client.request("/boom"))["headers"][":status"] == "500"
            assert client.response(client.request("/hello"))["headers"][":status"] == "200"
        finally:
            client.close()
        errors = running.errors
    assert [str(e["exception"]) for e in errors] == ["boom"]


def test_request_body_trailers_and_http_version(running):
    client = Client(running.port)
    try:
        sid = client.request("/echo", "POST", b"x" * 100000, trailers=[("x-sum", "100000")])
        got = client.response(sid)
        assert got["data"] == b"x" * 100000
        assert got["headers"]["x-version"] == "2" and got["headers"]["content-length"] == "100000"
        assert got["trailers"] == {"x-sum": "100000"}
        # A body cut short by the client's reset ends the handler's read quietly.
        sid = client.conn.get_next_available_stream_id()
        client.conn.send_headers(
            sid, [(":method", "POST"), (":scheme", "http"), (":path", "/echo"), (":authority", "localhost")]
        )
        client.conn.send_data(sid, b"partial")
        client.flush()
        client.conn.reset_stream(sid, 8)
        client.flush()
        assert client.response(client.request("/hello"))["headers"][":status"] == "200"
    finally:
        client.close()


def test_a_header_map_answering_every_request_stays_as_given():
    # The Content-Length an answer gets is its own: it used to be added to the
    # handler's map, so the next answer carried the first one's length.
    shared = HeaderMap([("content-type", "text/plain")])

    async def handler(request):
        return Response(200, shared, b"x" * int(request.target[1:]))

    with serving(handler) as running:
        client = Client(running.port)
        for size in (3, 7, 0):
            got = client.response(client.request(f"/{size}"))
            assert (got["data"], got["headers"]["content-length"], got["reset"]) == (
                b"x" * size,
                str(size),
                None,
            )
        client.close()
        assert running.errors == []
    assert shared.items() == [("content-type", b"text/plain")]


def test_unread_bodies_give_the_connection_window_back(running):
    client = Client(running.port)
    try:
        # Five bodies the handler never reads add up past the connection window.
        for _ in range(5):
            sid = client.request("/slow?0.05", "POST", bytes(900 * 1024))
            assert client.response(sid)["data"] == b"slow done"
    finally:
        client.close()


def test_small_client_window_stalls_the_sender_until_updated(running):
    client = Client(running.port, window=1000)
    try:
        sid = client.request("/big?50000")
        client.until(lambda: len(client.streams[sid]["data"]) >= 1000)
        client.sock.settimeout(0.3)
        with pytest.raises(TimeoutError):
            client.pump()  # nothing past the window
        assert len(client.streams[sid]["data"]) == 1000
        client.sock.settimeout(TIMEOUT)
        client.auto_ack = True
        client.conn.acknowledge_received_data(1000, sid)
        client.flush()
        assert client.response(sid)["data"] == bytes(50000)
    finally:
        client.close()


def test_client_goaway_lets_the_stream_in_flight_finish(running):
    client = RawClient(running.port)
    try:
        client.request(1, "/slow?0.2")
        client.sock.sendall(GoAwayFrame(0, last_stream_id=0).serialize())
        assert client.body(1) == b"slow done"
        client.until_closed()
        (goaway,) = client.of(GoAwayFrame)
        assert (goaway.error_code, goaway.last_stream_id) == (0, 1)
    finally:
        client.sock.close()
    assert wait_until(lambda: running.connections() == 0)


def test_broken_frames_end_the_connection_with_goaway(running):
    client = RawClient(running.port)
    try:
        client.sock.sendall(b"\x00\x00\x08\x06\x00\x00\x00\x00\x01" + b"12345678")  # PING on a stream
        client.until_closed()
        (goaway,) = client.of(GoAwayFrame)
        assert goaway.error_code == 1
    finally:
        client.sock.close()


def test_graceful_shutdown_seen_by_the_client(running):
    client = RawClient(running.port)
    try:
        client.request(1, "/slow?0.5")
        client.until(lambda: client.of(SettingsFrame))
        stopping = asyncio.run_coroutine_threadsafe(running.server.shutdown(5), running.loop)
        # GOAWAY naming the largest id, a PING (answered by pump()), then the
        # final GOAWAY naming the last stream the server took.
        client.until(lambda: len(client.of(GoAwayFrame)) == 2)
        first, final = client.of(GoAwayFrame)
        assert (first.last_stream_id, first.error_code, final.last_stream_id, final.error_code) == (
            MAX_ID,
            0,
            1,
            0,
        )
        (ping,) = [f for f in client.of(PingFrame) if "ACK" not in f.flags]
        assert client.frames.index(first) < client.frames.index(ping) < client.frames.index(final)
        # A stream opened now is past the final id and ignored; the one in flight completes.
        client.request(3, "/hello")
        assert client.body(1) == b"slow done"
        client.until_closed()
        assert not [f for f in client.frames if f.stream_id == 3]
        stopping.result(TIMEOUT)
    finally:
        client.sock.close()


def test_each_stream_runs_in_a_task_of_its_own_whether_it_waits_or_not():
    """Streams may be started right where their HEADERS frame is read: each
    handler must still find its own current task (asyncio.timeout needs one),
    and requests that arrive in one read are all answered, those whose
    handler answers at once and those whose handler waits."""
    tasks = {}

    async def handler(request):
        async with asyncio.timeout(5):
            tasks[request.target] = asyncio.current_task()
            if request.target == "/waits":
                await asyncio.sleep(0)
        assert asyncio.current_task() is tasks[request.target]
        return Response(200, [], request.target.encode())

    with serving(handler) as running:
        client = RawClient(running.port)
        client.ready()
        fields = [request_fields(path) for path in ("/a", "/waits", "/b")]
        client.send(*(frame for sid, f in zip((1, 3, 5), fields) for frame in client.header_frames(sid, f)))
        assert [client.status(sid) for sid in (1, 3, 5)] == [200, 200, 200]
        client.barrier()
        client.sock.close()
        assert running.errors == []
    assert None not in tasks.values() and len(set(tasks.values())) == 3
