"""A server on its own event loop thread, and a raw-socket HTTP/1.1 reader.

Everything binds to loopback with a port the OS picks, and every wait has a
timeout, so a broken server fails a test instead of hanging the run.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import socket
import threading
import time

from vantric.server import Server

TIMEOUT = 5.0
# Child processes such as curl are not built with the sanitizer runtime the
# suite may be preloaded with.
CHILD_ENV = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


class Running:
    """A `Server` listening on 127.0.0.1:0, served by a background loop."""

    def __init__(self, app, **options) -> None:
        self.errors: list[dict] = []
        self.loop = asyncio.new_event_loop()
        self.loop.set_exception_handler(lambda loop, context: self.errors.append(context))
        self.thread = threading.Thread(target=self.loop.run_forever, name="server", daemon=True)
        self.thread.start()
        self.server = Server(app, **options)
        self.call(self.server.listen("127.0.0.1", 0))
        self.port = self.server.port
        self.url = f"http://127.0.0.1:{self.port}"

    def call(self, coro, timeout: float = TIMEOUT):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def connections(self) -> int:
        async def count():
            return len(self.server._connections)

        return self.call(count())

    def stop(self, grace: float = 2.0) -> None:
        try:
            self.call(self.server.shutdown(grace), timeout=grace + TIMEOUT)
        finally:
            self.call(_cancel_others(), timeout=TIMEOUT)
            self.loop.call_soon_threadsafe(self.loop.stop)
            self.thread.join(TIMEOUT)
            assert not self.thread.is_alive(), "the server loop did not stop"
            self.loop.close()


async def _cancel_others() -> None:
    me = asyncio.current_task()
    tasks = [task for task in asyncio.all_tasks() if task is not me]
    for task in tasks:
        task.cancel()
    if tasks:
        await asyncio.wait(tasks, timeout=TIMEOUT)


@contextlib.contextmanager
def serving(app, **options):
    running = Running(app, **options)
    try:
        yield running
    finally:
        running.stop()


def connect(port: int, timeout: float = TIMEOUT) -> socket.socket:
    return socket.create_connection(("127.0.0.1", port), timeout=timeout)


def wait_until(predicate, timeout: float = TIMEOUT) -> bool:
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


class Reader:
    """Reads HTTP/1.1 responses off a socket, independently of the server's code."""

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self.buf = b""

    def _fill(self) -> None:
        data = self.sock.recv(65536)
        if not data:
            raise EOFError("the server closed the connection")
        self.buf += data

    def until(self, sep: bytes) -> bytes:
        while sep not in self.buf:
            self._fill()
        out, self.buf = self.buf.split(sep, 1)
        return out

    def exactly(self, n: int) -> bytes:
        while len(self.buf) < n:
            self._fill()
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def head(self):
        """(status, [(lowercase name, value)]) of the next head."""
        lines = self.until(b"\r\n\r\n").decode("latin-1").split("\r\n")
        version, status = lines[0].split(" ")[:2]
        assert version == "HTTP/1.1", lines[0]
        fields = []
        for line in lines[1:]:
            name, _, value = line.partition(":")
            fields.append((name.strip().lower(), value.strip()))
        return int(status), fields

    def response(self, method: str = "GET"):
        """(status, headers dict, body, trailers dict) of the next final response."""
        status, fields = self.head()
        while 100 <= status < 200 and status != 101:
            status, fields = self.head()
        headers = dict(fields)
        assert len(headers) == len(fields), f"repeated fields {fields}"
        trailers = {}
        if method == "HEAD" or status in (101, 204, 304) or (method == "CONNECT" and status < 300):
            body = b""
        elif headers.get("transfer-encoding") == "chunked":
            assert "content-length" not in headers
            parts = []
            while True:
                size = int(self.until(b"\r\n").split(b";")[0], 16)
                if size == 0:
                    break
                parts.append(self.exactly(size))
                assert self.exactly(2) == b"\r\n"
            while line := self.until(b"\r\n"):
                name, _, value = line.decode("latin-1").partition(":")
                trailers[name.strip().lower()] = value.strip()
            body = b"".join(parts)
        elif "content-length" in headers:
            body = self.exactly(int(headers["content-length"]))
        else:
            body = self.rest()
        return status, headers, body, trailers

    def rest(self) -> bytes:
        """Everything up to the server's close."""
        while True:
            try:
                self._fill()
            except EOFError:
                break
        out, self.buf = self.buf, b""
        return out

    def closed(self) -> bool:
        """True when the server closes (or resets) with nothing more to say."""
        try:
            return self.rest() == b""
        except ConnectionResetError:
            return True
