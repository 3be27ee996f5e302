"""Hostile and slow peers against a server in a process of its own.

Each attack runs for seconds on loopback and asserts its bound: the growth of
the server's peak memory (VmHWM in /proc, skipped under the sanitizer, whose
allocator keeps freed memory), that another client is answered within a
second meanwhile, and how the attacker's connection ends.  Honest slow
clients get every byte.
"""

from __future__ import annotations

import json
import os
import select
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import h2.config
import h2.connection
import h2.events
import hpack
import pytest
from hyperframe.frame import (
    Frame,
    GoAwayFrame,
    HeadersFrame,
    PingFrame,
    PriorityFrame,
    RstStreamFrame,
    SettingsFrame,
    WindowUpdateFrame,
)

from h2_raw import RawClient, request_fields
from serving import Reader, connect
from vantric._vantric import H2_PREFACE

HERE = Path(__file__).resolve().parent
ENHANCE_YOUR_CALM, CANCEL = 11, 8
# The sanitizer's allocator holds freed memory back: figures are meaningless there.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
MiB = 1024 * 1024


class ServerProcess:
    """limits_server.py with the given Server options."""

    def __init__(self, **options) -> None:
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        self.proc = subprocess.Popen(
            [sys.executable, str(HERE / "limits_server.py"), json.dumps(options)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env,
        )
        ready, _, _ = select.select([self.proc.stdout], [], [], 20)
        assert ready, "the server did not start"
        self.port = int(self.proc.stdout.readline())
        self.log: str | None = None

    def memory(self, field: str = "VmRSS") -> int:
        for line in Path(f"/proc/{self.proc.pid}/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
        raise AssertionError(field)

    def assert_growth_below(self, before: int, limit: int) -> None:
        if not SANITIZED:
            grown = self.memory("VmHWM") - before
            assert grown < limit, f"the server grew {grown / MiB:.1f} MiB"

    def get(self, path: str = "/", timeout: float = 1.0) -> bytes:
        """A probe: one HTTP/1.1 request that must be answered within `timeout`."""
        with connect(self.port, timeout=timeout) as sock:
            sock.sendall(b"GET %s HTTP/1.1\r\nHost: t\r\n\r\n" % path.encode())
            status, _, body, _ = Reader(sock).response()
        assert status == 200
        return body

    def stop(self) -> str:
        """Stops the server (once) and returns what it logged."""
        if self.log is not None:
            return self.log
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(10)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait(5)
        self.log = self.proc.stderr.read().decode(errors="replace")
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.log


@pytest.fixture
def start():
    started = []

    def launch(**options) -> ServerProcess:
        server = ServerProcess(**options)
        started.append(server)
        return server

    yield launch
    for server in started:
        log = server.stop()
        assert "Traceback" not in log and "exception" not in log.lower(), log
        assert len(log.splitlines()) <= 10, "a flood of log lines"


class Prober:
    """Asks the server every 100 ms from another thread; remembers failures."""

    def __init__(self, server: ServerProcess) -> None:
        self.server, self.failures, self.count = server, [], 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        while not self._stop.wait(0.1):
            try:
                assert self.server.get() == b"ok"
                self.count += 1
            except Exception as error:  # noqa: BLE001 - recorded for the assertion
                self.failures.append(repr(error))

    def __enter__(self) -> Prober:
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join(5)
        assert self.server.get() == b"ok"  # at the end of the attack too, however short
        assert self.failures == [], self.failures


def raw_h2(port: int, rcvbuf: int | None = None) -> socket.socket:
    """An HTTP/2 connection whose client never reads (a small receive buffer)."""
    sock = socket.socket()
    if rcvbuf is not None:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    sock.settimeout(5)
    sock.connect(("127.0.0.1", port))
    sock.sendall(H2_PREFACE + SettingsFrame(0).serialize())
    return sock


def send_until_blocked(sock: socket.socket, chunk: bytes, seconds: float) -> int:
    """Sends `chunk` over and over for `seconds` or until the server stops reading."""
    sock.setblocking(False)
    sent, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            sent += sock.send(chunk)
        except BlockingIOError:
            if not select.select([], [sock], [], 0.2)[1]:
                continue
        except OSError:
            break  # the server ended the connection
    sock.setblocking(True)
    return sent


def frames_until_closed(sock: socket.socket, timeout: float = 10.0) -> list[Frame]:
    """Every frame the server sent, read to its end of stream."""
    sock.settimeout(timeout)
    data = b""
    try:
        while chunk := sock.recv(1 << 20):
            data += chunk
    except (ConnectionResetError, TimeoutError):
        pass
    frames = []
    while len(data) >= 9:
        frame, length = Frame.parse_frame_header(memoryview(data[:9]))
        if len(data) < 9 + length:
            break
        frame.parse_body(memoryview(data[9 : 9 + length]))
        frames.append(frame)
        data = data[9 + length :]
    return frames


def goaway_code(frames: list[Frame]) -> int | None:
    codes = [f.error_code for f in frames if isinstance(f, GoAwayFrame)]
    return codes[-1] if codes else None


# -- peers that make us answer but do not read ------------------------------------


@pytest.mark.parametrize("frame", [PingFrame(0, b"12345678"), SettingsFrame(0)], ids=["PING", "SETTINGS"])
def test_control_frame_flood_without_reading_is_cut_off(start, frame):
    server = start()
    before = server.memory()
    sock = raw_h2(server.port, rcvbuf=4096)
    with Prober(server):
        send_until_blocked(sock, frame.serialize() * 1000, 3.0)
    server.assert_growth_below(before, 8 * MiB)
    frames = frames_until_closed(sock)
    sock.close()
    # What reached the client before we closed ends with our GOAWAY, if it got that far.
    assert goaway_code(frames) in (ENHANCE_YOUR_CALM, None)
    assert "connection error ENHANCE_YOUR_CALM" in server.stop()


def test_pipelined_requests_without_reading_stop_being_read(start):
    server = start(send_timeout=1.0)
    before = server.memory()
    sock = connect(server.port)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    with Prober(server):
        sent = send_until_blocked(sock, b"GET /big?4096 HTTP/1.1\r\nHost: t\r\n\r\n" * 100, 3.0)
    server.assert_growth_below(before, 8 * MiB)
    assert sent < 16 * MiB  # the server stopped reading well before
    # Past send_timeout without the client reading, the connection is dropped.
    sock.settimeout(5)
    with pytest.raises((ConnectionResetError, BrokenPipeError)):
        while sock.recv(1 << 20):
            pass
        sock.sendall(b"x")
    sock.close()


# -- bodies ------------------------------------------------------------------------


def test_body_in_one_byte_chunks_costs_its_size(start):
    server = start()
    before = server.memory()
    size = 1 * MiB
    with connect(server.port, timeout=30) as sock:
        sock.sendall(b"POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n")
        sock.sendall(b"1\r\nx\r\n" * size + b"0\r\n\r\n")
        assert Reader(sock).response()[2] == b"%d" % size
    server.assert_growth_below(before, 16 * MiB)


def test_body_trickled_a_byte_at_a_time_is_cut_off(start):
    server = start(body_timeout=1.0, body_min_rate=100.0)
    with connect(server.port, timeout=10) as sock:
        sock.sendall(b"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 1000\r\n\r\n")
        began = time.monotonic()
        try:
            for _ in range(40):
                sock.sendall(b"x")
                time.sleep(0.25)
        except OSError:
            pass  # the server gave up on us
        elapsed = time.monotonic() - began
        assert Reader(sock).closed() or True
    assert elapsed < 8, "the trickle was never cut off"


# -- HTTP/2 flow control and streams ---------------------------------------------------


def test_connection_window_update_flood_wakes_nobody_needlessly(start):
    server = start()
    client = RawClient(server.port)
    # The client gives new streams no window, then asks for 100 big answers.
    client.send(SettingsFrame(0, settings={SettingsFrame.INITIAL_WINDOW_SIZE: 0}))
    client.ready()
    for sid in range(1, 201, 2):
        client.request(sid, "/big?100000")
    client.barrier()
    updates = WindowUpdateFrame(0, 1).serialize() * 5000
    with Prober(server):
        end = time.monotonic() + 2.0
        while time.monotonic() < end:
            client.sock.sendall(updates)
    client.barrier()  # the connection is still served
    client.close()


def test_reset_streams_cancel_their_handlers(start):
    server = start(max_concurrent_streams=100)
    client = RawClient(server.port)
    client.ready()
    sid = 1
    for _ in range(5):
        first = sid
        for _ in range(100):
            client.request(sid, "/hang")
            sid += 2
        client.barrier()
        client.send(*(RstStreamFrame(s, CANCEL) for s in range(first, sid, 2)))
        client.barrier()
    running, most = map(int, server.get("/running").split())
    assert most <= 100
    deadline = time.monotonic() + 5
    while running and time.monotonic() < deadline:
        time.sleep(0.05)
        running, _ = map(int, server.get("/running").split())
    assert running == 0
    client.close()


def test_streams_waiting_for_a_body_or_a_window_are_reset(start):
    server = start(body_timeout=0.5, send_timeout=0.5)
    client = RawClient(server.port)
    client.send(SettingsFrame(0, settings={SettingsFrame.INITIAL_WINDOW_SIZE: 0}))
    client.ready()
    client.headers(1, request_fields("/echo", "POST"), end_stream=False)  # a body that never comes
    client.request(3, "/big?100000")  # an answer the window never lets out
    client.until(lambda: client.resets(1) and client.resets(3))
    assert (client.resets(1), client.resets(3)) == ([CANCEL], [CANCEL])
    client.close()


@pytest.mark.parametrize("kind", ["PRIORITY", "RST_STREAM"])
def test_floods_of_frames_that_do_no_work_are_cut_off(start, kind):
    server = start()
    sock = raw_h2(server.port)
    if kind == "PRIORITY":
        frames = b"".join(PriorityFrame(s, depends_on=0).serialize() for s in range(1, 2001, 2))
    else:
        # Resets of streams long closed: stream 4001 opens, every lower id is closed.
        block = hpack.Encoder().encode(request_fields("/"))
        sock.sendall(HeadersFrame(4001, block, flags=["END_HEADERS", "END_STREAM"]).serialize())
        frames = b"".join(RstStreamFrame(s, CANCEL).serialize() for s in range(1, 4001, 2))
    with Prober(server):
        for _ in range(20):
            try:
                sock.sendall(frames)
            except OSError:
                break
    frames = frames_until_closed(sock)
    sock.close()
    assert goaway_code(frames) in (ENHANCE_YOUR_CALM, None)
    assert "connection error ENHANCE_YOUR_CALM" in server.stop()


# -- heads and connections -------------------------------------------------------


def count_503(socks: list[socket.socket], at_least: int, timeout: float = 5.0) -> int:
    """How many of `socks` are answered 503, waiting until `at_least` are."""
    refused, waiting, end = 0, list(socks), time.monotonic() + timeout
    while waiting and refused < at_least and time.monotonic() < end:
        readable, _, _ = select.select(waiting, [], [], 0.1)
        for sock in readable:
            waiting.remove(sock)
            try:
                refused += sock.recv(100).startswith(b"HTTP/1.1 503")
            except ConnectionResetError:
                pass
    return refused


def test_unfinished_heads_and_connections_are_bounded(start):
    server = start(max_head_memory=4 * MiB, max_connections=40)
    before = server.memory()
    socks = []
    try:
        head = b"GET / HTTP/1.1\r\nHost: t\r\n" + b"x-pad: " + b"v" * 300_000
        for _ in range(30):
            sock = connect(server.port)
            sock.sendall(head)
            socks.append(sock)
        # The heads that grow past the budget are refused (the others wait).
        assert count_503(socks, at_least=10) >= 10
        server.assert_growth_below(before, 24 * MiB)
        # Past max_connections new connections are refused at once.
        extra = [connect(server.port) for _ in range(40)]
        socks += extra
        assert count_503(extra, at_least=1) >= 1
    finally:
        for sock in socks:
            sock.close()
    server.get()


# -- honest slow clients ----------------------------------------------------------------


def _read_slowly(sock: socket.socket, total: int, rate: int) -> bytes:
    data, began = b"", time.monotonic()
    while len(data) < total:
        chunk = sock.recv(16384)
        if not chunk:
            break
        data += chunk
        ahead = len(data) / rate - (time.monotonic() - began)
        if ahead > 0:
            time.sleep(ahead)
    return data


def test_slow_reader_gets_the_whole_answer_over_http1(start):
    size = 3 * MiB
    server = start(idle_timeout=0.5, send_timeout=2.0)
    with connect(server.port, timeout=10) as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        sock.sendall(b"GET /big?%d HTTP/1.1\r\nHost: t\r\n\r\n" % size)
        reader = Reader(sock)
        assert reader.until(b"\r\n\r\n").startswith(b"HTTP/1.1 200")
        assert len(reader.buf) + len(_read_slowly(sock, size - len(reader.buf), 2 * MiB)) == size


def test_slow_reader_gets_the_whole_answer_over_http2(start):
    size = 3 * MiB
    server = start(idle_timeout=0.5, send_timeout=2.0)
    sock = connect(server.port, timeout=10)
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    conn.initiate_connection()
    conn.send_headers(1, request_fields(f"/big?{size}"), end_stream=True)
    sock.sendall(conn.data_to_send())
    got, ended, began = 0, False, time.monotonic()
    while not ended:
        data = sock.recv(16384)
        assert data, "the server closed the connection"
        for event in conn.receive_data(data):
            if isinstance(event, h2.events.DataReceived):
                got += len(event.data)
                conn.acknowledge_received_data(event.flow_controlled_length, 1)
            ended = ended or isinstance(event, h2.events.StreamEnded)
        sock.sendall(conn.data_to_send())
        ahead = got / (2 * MiB) - (time.monotonic() - began)
        if ahead > 0:
            time.sleep(ahead)
    assert got == size
    sock.close()


def test_half_close_after_the_request_still_gets_the_answer(start):
    server = start()
    with connect(server.port, timeout=5) as sock:
        sock.sendall(b"GET /stream?10 HTTP/1.1\r\nHost: t\r\n\r\n")
        sock.shutdown(socket.SHUT_WR)
        status, _, body, _ = Reader(sock).response()
        assert (status, body.count(b"chunk")) == (200, 10)
    client = RawClient(server.port)
    client.ready()
    client.request(1, "/stream?10")
    client.sock.shutdown(socket.SHUT_WR)
    assert client.body(1).count(b"chunk") == 10
    client.close()
