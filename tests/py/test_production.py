"""Running in production: worker processes, the gunicorn worker class, the access
log, proxy headers, reload and Unix sockets.  Every process is bounded and
stopped by its test; waits poll for a state, never sleep for a result."""

import contextlib
import logging
import os
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest
import trustme
from cryptography.hazmat.primitives import serialization

from serving import CHILD_ENV, TIMEOUT, Reader, connect, serving, wait_until
from vantric.asgi import ASGIHandler

APP = """
import os, time, asyncio

async def app(scope, receive, send):
    if scope["type"] != "http":
        return
    path = scope["path"]
    if path == "/block":  # holds this worker's event loop: the next connection goes to another
        open(os.environ["BLOCK_MARK"], "w").close()
        time.sleep(1.0)
    elif path == "/slow":  # a request in flight, as the test can see
        open(os.environ["BLOCK_MARK"], "w").close()
        await asyncio.sleep(1.0)
    client = scope["client"][0] if scope["client"] else "-"
    body = f"{os.getpid()} {VERSION} {client} {scope['scheme']}".encode()
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})

VERSION = "one"
"""


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def get(port, path="/", headers=b""):
    """(pid, version, client, scheme) of one answer."""
    with connect(port) as sock:
        sock.sendall(b"GET %s HTTP/1.1\r\nHost: t\r\n%s\r\n" % (path.encode(), headers))
        status, _, body, _ = Reader(sock).response()
    assert status == 200
    pid, version, client, scheme = body.decode().split()
    return int(pid), version, client, scheme


def answering(port):
    try:
        get(port)
    except OSError:
        return False
    return True


class Supervised:
    """`python -m vantric serve app:app ARGS` in `where`, stopped at the end."""

    def __init__(self, where: Path, *args: str) -> None:
        self.port = free_port()
        self.mark = where / "blocked"
        # Our own processes keep the environment (a sanitizer runtime included).
        env = dict(os.environ, BLOCK_MARK=str(self.mark))
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "vantric", "serve", "app:app", "--port", str(self.port), *args],
            cwd=where,
            env=env,
            stderr=subprocess.PIPE,
            text=True,
        )
        assert wait_until(lambda: answering(self.port), TIMEOUT * 2), "the server did not start"

    def stop(self, signum=signal.SIGTERM) -> str:
        if self.proc.poll() is None:
            self.proc.send_signal(signum)
        try:
            self.proc.wait(TIMEOUT * 3)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise
        return self.proc.stderr.read()


@pytest.fixture
def app_dir(tmp_path):
    (tmp_path / "app.py").write_text(textwrap.dedent(APP))
    return tmp_path


def test_two_workers_both_serve_and_a_killed_one_is_replaced(app_dir):
    server = Supervised(app_dir, "--workers", "2", "--no-access-log")
    try:
        import threading

        blocked = {}
        holder = threading.Thread(target=lambda: blocked.setdefault("pid", get(server.port, "/block")[0]))
        holder.start()
        assert wait_until(server.mark.exists)
        other = get(server.port)[0]  # the blocked worker cannot take it
        holder.join(TIMEOUT)
        assert blocked["pid"] != other
        os.kill(other, signal.SIGKILL)
        # The survivor goes on serving, and a new worker takes the dead one's place.
        seen = set()
        deadline = time.monotonic() + TIMEOUT * 2
        while not (seen - {blocked["pid"]}) and time.monotonic() < deadline:
            server.mark.unlink(missing_ok=True)
            holder = threading.Thread(target=lambda: get(server.port, "/block"))
            holder.start()
            assert wait_until(server.mark.exists)
            seen.add(get(server.port)[0])
            holder.join(TIMEOUT)
        assert other not in seen and seen - {blocked["pid"]}, seen
    finally:
        assert "Traceback" not in server.stop()


def test_sigterm_lets_a_slow_request_finish(app_dir):
    server = Supervised(app_dir, "--workers", "2", "--no-access-log")
    with connect(server.port) as sock:
        sock.sendall(b"GET /slow HTTP/1.1\r\nHost: t\r\n\r\n")
        assert wait_until(server.mark.exists)  # the handler runs: stop now, mid-request
        server.proc.send_signal(signal.SIGTERM)
        status, _, body, _ = Reader(sock).response()
    assert status == 200 and body.split()[1] == b"one"
    assert server.proc.wait(TIMEOUT * 2) == 0


def test_a_changed_file_reloads_the_worker_once(app_dir):
    server = Supervised(app_dir, "--reload", "--reload-dir", str(app_dir), "--no-access-log")
    try:
        before = get(server.port)
        app_file = app_dir / "app.py"
        app_file.write_text(app_file.read_text().replace('VERSION = "one"', 'VERSION = "two"'))
        assert wait_until(lambda: get(server.port)[1] == "two", TIMEOUT * 2)
        after = get(server.port)
        assert after[0] != before[0]
    finally:
        log = server.stop()
    assert log.count("reloading") == 1, log


@pytest.mark.skipif(shutil.which("curl") is None, reason="curl is not installed")
def test_unix_socket_served_to_curl(app_dir):
    path = app_dir / "serve.sock"
    proc = subprocess.Popen(
        [sys.executable, "-m", "vantric", "serve", "app:app", "--uds", str(path)],
        cwd=app_dir,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert wait_until(path.exists, TIMEOUT * 2)
        done = subprocess.run(
            ["curl", "-sS", "--max-time", str(TIMEOUT), "--unix-socket", str(path), "http://localhost/"],
            capture_output=True,
            text=True,
            env=CHILD_ENV,
            timeout=TIMEOUT * 2,
        )
        assert done.returncode == 0, done.stderr
        pid, version, client, scheme = done.stdout.split()
        assert (int(pid), version, client, scheme) == (proc.pid, "one", "-", "http")
    finally:
        proc.send_signal(signal.SIGINT)
        assert proc.wait(TIMEOUT * 2) == 0
        assert "Traceback" not in proc.stderr.read()


def serve_announced(where: Path, *args: str) -> tuple[subprocess.Popen, str, int]:
    """`python -m vantric serve ARGS` in `where`, and the scheme and port it
    announces: known without a probe connection, which the server would count."""
    proc = subprocess.Popen(
        [sys.executable, "-m", "vantric", "serve", *args, "--port", str(free_port())],
        cwd=where,
        stderr=subprocess.PIPE,
    )
    seen = b""
    deadline = time.monotonic() + TIMEOUT * 2
    while b"\n" not in seen:
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([proc.stderr], [], [], remaining)[0]:
            proc.kill()
            raise AssertionError("the server did not start")
        part = os.read(proc.stderr.fileno(), 4096)
        assert part, "the server exited"
        seen += part
    line = seen.split(b"\n")[0].decode()
    assert line.startswith("serving on "), seen
    scheme, _, rest = line.split()[2].partition("://")
    return proc, scheme, int(rest.rsplit(":", 1)[1].rstrip("/"))


def stopped(proc: subprocess.Popen) -> bytes:
    proc.send_signal(signal.SIGINT)
    assert proc.wait(TIMEOUT * 2) == 0
    return proc.stderr.read()


def status_of(port):
    """The status of one GET on a connection of its own."""
    with connect(port) as sock:
        sock.sendall(b"GET / HTTP/1.1\r\nHost: t\r\n\r\n")
        return Reader(sock).response()[0]


def test_app_dir_concurrency_limit_and_keep_alive_timeout(app_dir):
    # Started from another directory: the application comes from --app-dir.
    elsewhere = app_dir / "elsewhere"
    elsewhere.mkdir()
    proc, _, port = serve_announced(
        elsewhere, "app:app", "--app-dir", str(app_dir), "--limit-concurrency", "1", "--timeout-keep-alive", "0.2"
    )  # fmt: skip
    try:
        with connect(port) as held:
            held.sendall(b"GET / HTTP/1.1\r\n")  # a head under way: the idle timeout does not apply
            # The one connection allowed is taken: the next is answered 503.
            assert status_of(port) == 503
            held.sendall(b"Host: t\r\n\r\n")
            assert Reader(held).response()[0] == 200
            # Idle after its answer, it is closed once --timeout-keep-alive
            # passes, long before the default of 5 seconds.
            answered = time.monotonic()
            assert held.recv(1) == b""
            assert time.monotonic() - answered < 4
        assert wait_until(lambda: status_of(port) == 200)  # room again
    finally:
        assert b"Traceback" not in stopped(proc)


def test_limit_max_requests_stops_the_process_after_its_last_answer(app_dir):
    proc, _, port = serve_announced(app_dir, "app:app", "--limit-max-requests", "2")
    try:
        assert [status_of(port), status_of(port)] == [200, 200]
        assert proc.wait(TIMEOUT * 2) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
    assert b"Traceback" not in proc.stderr.read()


def test_tls_options_with_client_certificates_required(tmp_path):
    ca = trustme.CA()
    leaf = ca.issue_cert("127.0.0.1")
    # An encrypted key, opened with --ssl-keyfile-password.
    key = serialization.load_pem_private_key(leaf.private_key_pem.bytes(), None)
    (tmp_path / "key.pem").write_bytes(
        key.private_bytes(
            serialization.Encoding.PEM,
            serialization.PrivateFormat.PKCS8,
            serialization.BestAvailableEncryption(b"sesame"),
        )
    )
    leaf.cert_chain_pems[0].write_to_path(str(tmp_path / "cert.pem"))
    ca.cert_pem.write_to_path(str(tmp_path / "ca.pem"))
    (tmp_path / "app.py").write_text(textwrap.dedent(APP))
    proc, scheme, port = serve_announced(
        tmp_path, "app:app", "--ssl-certfile", "cert.pem", "--ssl-keyfile", "key.pem",
        "--ssl-keyfile-password", "sesame", "--ssl-ca-certs", "ca.pem", "--ssl-cert-reqs", "2",
    )  # fmt: skip
    assert scheme == "https"

    def ask(with_certificate: bool) -> bytes:
        context = ssl.create_default_context(cafile=str(tmp_path / "ca.pem"))
        if with_certificate:
            ca.issue_cert("client@example.org").configure_cert(context)
        with connect(port) as raw, context.wrap_socket(raw, server_hostname="127.0.0.1") as sock:
            sock.sendall(b"GET / HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n")
            answer = b""
            while part := sock.recv(65536):
                answer += part
            return answer

    try:
        assert ask(with_certificate=True).startswith(b"HTTP/1.1 200 ")
        # Without one the handshake fails (with TLS 1.3 the client learns it
        # on its first read, from an alert or the connection's end): no
        # request is served.
        try:
            refused = ask(with_certificate=False)
        except (ssl.SSLError, ConnectionResetError):
            refused = b""
        assert refused == b""
    finally:
        assert b"Traceback" not in stopped(proc)


# -- in-process: the access log and proxy headers -------------------------------------


async def scope_app(scope, receive, send):
    if scope["type"] != "http":
        return
    body = f"{scope['client'][0]} {scope['scheme']}".encode()
    await send({"type": "http.response.start", "status": 201, "headers": []})
    await send({"type": "http.response.body", "body": body})


def ask(port, headers=b""):
    with connect(port) as sock:
        sock.sendall(b"GET /q?x=1 HTTP/1.1\r\nHost: t\r\n%s\r\n" % headers)
        return Reader(sock).response()[2].decode()


# Forwarding fields, and the (client, scheme) the application sees behind a
# trusted proxy at 127.0.0.1 that trusts 10.0.0.0/8 as an earlier hop.
FORWARDED = [
    (b"X-Forwarded-For: 203.0.113.7, 10.0.0.1\r\nX-Forwarded-Proto: https\r\n", "203.0.113.7 https"),
    (b"X-Forwarded-For: 203.0.113.7, 198.51.100.9\r\n", "198.51.100.9 http"),  # the nearest untrusted hop
    (b"Forwarded: for=198.51.100.2;proto=https\r\n", "198.51.100.2 https"),
    # RFC 7239: each proxy adds an element; the nearest untrusted one is the client.
    (b'Forwarded: for=198.51.100.2;proto=https, for="[2001:db8::1]:4711"\r\n', "2001:db8::1 http"),
    (b"", "127.0.0.1 http"),
]


@pytest.mark.parametrize("headers, seen", FORWARDED)
def test_forwarded_headers_only_from_trusted_proxies(headers, seen):
    with serving(
        ASGIHandler(scope_app), proxy_headers=True, forwarded_allow_ips="127.0.0.1, 10.0.0.0/8"
    ) as running:
        assert ask(running.port, headers) == seen
    with serving(ASGIHandler(scope_app), proxy_headers=True, forwarded_allow_ips="192.0.2.1") as running:
        assert ask(running.port, headers) == "127.0.0.1 http"  # nobody we trust said so
    with serving(ASGIHandler(scope_app)) as running:  # proxy headers off
        assert ask(running.port, headers) == "127.0.0.1 http"


def test_each_request_through_a_trusted_proxy_names_its_own_client():
    # A proxy multiplexes many clients over one keep-alive connection: what a
    # scope says of the client belongs to the request, not the connection.
    with (
        serving(ASGIHandler(scope_app), proxy_headers=True, forwarded_allow_ips="127.0.0.1") as running,
        connect(running.port) as sock,
    ):
        reader = Reader(sock)
        for headers, seen in FORWARDED[1:]:
            sock.sendall(b"GET / HTTP/1.1\r\nHost: t\r\n%s\r\n" % headers)
            assert reader.response()[2].decode() == seen


def test_access_log_has_a_line_per_request(caplog):
    caplog.set_level(logging.INFO, logger="vantric.access")
    with serving(ASGIHandler(scope_app), access_log=True) as running:
        for _ in range(3):
            ask(running.port)
        assert wait_until(lambda: len([r for r in caplog.records if r.name == "vantric.access"]) == 3)
    lines = [r.getMessage() for r in caplog.records if r.name == "vantric.access"]
    assert all(line.startswith("127.0.0.1:") and '"GET /q?x=1 HTTP/1.1" 201 14 ' in line for line in lines), (
        lines
    )


# -- gunicorn --------------------------------------------------------------------------

STARLETTE_APP = """
import os
from starlette.applications import Starlette
from starlette.responses import PlainTextResponse
from starlette.routing import Route

async def home(request):
    return PlainTextResponse(str(os.getpid()))

app = Starlette(routes=[Route("/", home)])
"""


def start_gunicorn(where: Path, port: int, *args: str) -> subprocess.Popen:
    return subprocess.Popen(
        [sys.executable, "-m", "gunicorn", "-k", "vantric.workers.VantricWorker", "-b", f"127.0.0.1:{port}",
         *args, "gapp:app"],
        cwd=where,
        stderr=subprocess.PIPE,
        text=True,
    )  # fmt: skip


def stop_gunicorn(proc: subprocess.Popen) -> str:
    proc.send_signal(signal.SIGTERM)
    proc.wait(TIMEOUT * 3)
    return proc.stderr.read()


def worker_pid(port: int, context: ssl.SSLContext | None = None) -> int | None:
    """The pid of the worker that answers a GET; None while nothing listens."""
    # A worker told to stop closes the connections it holds idle, and one it
    # accepted a moment before (in its TLS handshake or not) holds no request
    # yet: like any HTTP client (RFC 9112 section 9.3.1), send a GET closed
    # before its answer began again on a new connection.
    for _ in range(3):
        try:
            raw = connect(port)
        except OSError:
            return None
        with contextlib.ExitStack() as open_sockets:
            sock = open_sockets.enter_context(raw)
            try:
                if context is not None:
                    sock = open_sockets.enter_context(context.wrap_socket(raw, server_hostname="127.0.0.1"))
                sock.sendall(b"GET / HTTP/1.1\r\nHost: t\r\n\r\n")
                first = sock.recv(65536)
            except ConnectionResetError:
                first = b""
            if not first:
                continue  # closed before any byte of an answer
            reader = Reader(sock)
            reader.buf = first
            status, _, body, _ = reader.response()
        assert status == 200
        return int(body)
    raise AssertionError("three connections closed before an answer")


def test_gunicorn_worker_serves_starlette_and_survives_a_graceful_reload(tmp_path):
    pytest.importorskip("gunicorn")
    pytest.importorskip("starlette")
    (tmp_path / "gapp.py").write_text(textwrap.dedent(STARLETTE_APP))
    port = free_port()
    proc = start_gunicorn(tmp_path, port, "-w", "2", "--graceful-timeout", "5")
    try:
        assert wait_until(lambda: worker_pid(port) is not None, TIMEOUT * 3)
        before = {worker_pid(port) for _ in range(10)}
        proc.send_signal(signal.SIGHUP)  # gunicorn's graceful reload: new workers, old ones drained
        assert wait_until(lambda: worker_pid(port) not in before | {None}, TIMEOUT * 3)
        assert all(worker_pid(port) for _ in range(10))  # and everything keeps being answered
    finally:
        log = stop_gunicorn(proc)
    assert "Traceback" not in log, log


def test_gunicorn_worker_takes_max_requests_and_client_certificates(tmp_path):
    pytest.importorskip("gunicorn")
    pytest.importorskip("starlette")
    (tmp_path / "gapp.py").write_text(textwrap.dedent(STARLETTE_APP))
    ca = trustme.CA()
    leaf = ca.issue_cert("127.0.0.1")
    leaf.private_key_and_cert_chain_pem.write_to_path(str(tmp_path / "server.pem"))
    ca.cert_pem.write_to_path(str(tmp_path / "ca.pem"))
    port = free_port()
    proc = start_gunicorn(
        tmp_path, port, "-w", "1", "--max-requests", "3", "--certfile", "server.pem",
        "--ca-certs", "ca.pem", "--cert-reqs", "2",
    )  # fmt: skip
    with_certificate = ssl.create_default_context(cafile=str(tmp_path / "ca.pem"))
    ca.issue_cert("client@example.org").configure_cert(with_certificate)
    without = ssl.create_default_context(cafile=str(tmp_path / "ca.pem"))
    try:
        assert wait_until(lambda: worker_pid(port, with_certificate) is not None, TIMEOUT * 3)
        # --cert-reqs 2: a client without a certificate is not served.
        with pytest.raises((OSError, AssertionError)):
            worker_pid(port, without)
        # The third request is the worker's last (the wait's request was the
        # first): it answers it, leaves, and gunicorn starts another.
        first = worker_pid(port, with_certificate)
        assert worker_pid(port, with_certificate) == first
        assert wait_until(lambda: worker_pid(port, with_certificate) not in (first, None), TIMEOUT * 3)
    finally:
        log = stop_gunicorn(proc)
    assert "Traceback" not in log and "Autorestarting worker" in log, log
