"""The server over TLS: ALPN picks HTTP/2 or HTTP/1.1 on one port, for curl,
nghttp and Python's ssl with h2; a failed or stalled handshake is bounded,
counted and logged once while others are served.  The certificates are made
here, by trustme; every process is bounded and stopped by its test."""

import asyncio
import logging
import shutil
import socket
import ssl
import subprocess

import h2.config
import h2.connection
import h2.events
import pytest
import trustme

from serving import CHILD_ENV, TIMEOUT, serving, wait_until
from vantric.server import Response, Server


@pytest.fixture(scope="module")
def ca():
    return trustme.CA()


@pytest.fixture(scope="module")
def ca_file(ca, tmp_path_factory):
    path = tmp_path_factory.mktemp("ca") / "ca.pem"
    ca.cert_pem.write_to_path(str(path))
    return str(path)


def server_context(ca):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ca.issue_cert("127.0.0.1", "localhost").configure_cert(context)
    return context


async def app(request):
    body = await request.read()
    if request.target == "/trailers":
        return Response(200, [("trailer", "x-sum")], b"data", trailers=[("x-sum", "4")])
    return Response(
        200,
        [("content-type", "text/plain")],
        b"%s %s %d" % (request.http_version.encode(), request.target.encode(), len(body)),
    )


@pytest.fixture
def tls(ca):
    with serving(app, ssl=server_context(ca), handshake_timeout=1.0) as running:
        yield running
        assert running.errors == [], "the server reported errors"


def curl(*args):
    done = subprocess.run(
        ["curl", "-sS", "--max-time", str(TIMEOUT), *args],
        capture_output=True,
        env=CHILD_ENV,
        timeout=TIMEOUT * 2,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.skipif(shutil.which("curl") is None, reason="curl is not installed")
def test_alpn_picks_the_protocol_for_curl(tls, ca_file):
    url = f"https://127.0.0.1:{tls.port}/a"
    form = ["-w", " %{http_version}", "--cacert", ca_file]
    assert curl("--http2", *form, url) == b"2 /a 0 2"
    assert curl("--http1.1", *form, url) == b"1.1 /a 0 1.1"
    assert curl("--http2", *form, "--data-binary", "x" * 70000, url) == b"2 /a 70000 2"


@pytest.mark.skipif(shutil.which("nghttp") is None, reason="nghttp is not installed")
def test_nghttp_over_tls(tls):
    done = subprocess.run(
        ["nghttp", "-m", "3", f"https://127.0.0.1:{tls.port}/n"],
        capture_output=True,
        env=CHILD_ENV,
        timeout=TIMEOUT * 2,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == b"2 /n 0" * 3


def h2_over_tls(port, ca_file):
    context = ssl.create_default_context(cafile=ca_file)
    context.set_alpn_protocols(["h2"])
    sock = context.wrap_socket(
        socket.create_connection(("127.0.0.1", port), TIMEOUT), server_hostname="localhost"
    )
    assert sock.selected_alpn_protocol() == "h2"
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    conn.initiate_connection()
    return sock, conn


def exchange(sock, conn, wanted):
    """Reads until `wanted` streams ended; their (headers, body, trailers)."""
    got = {sid: [None, b"", None] for sid in wanted}
    ended = set()
    while ended != set(wanted):
        sock.sendall(conn.data_to_send())
        data = sock.recv(65536)
        assert data, "the server closed the connection"
        for event in conn.receive_data(data):
            if isinstance(event, h2.events.ResponseReceived):
                got[event.stream_id][0] = dict(event.headers)
            elif isinstance(event, h2.events.DataReceived):
                got[event.stream_id][1] += event.data
                conn.acknowledge_received_data(event.flow_controlled_length, event.stream_id)
            elif isinstance(event, h2.events.TrailersReceived):
                got[event.stream_id][2] = dict(event.headers)
            elif isinstance(event, h2.events.StreamEnded):
                ended.add(event.stream_id)
    return got


def test_python_ssl_with_h2_streams_bodies_and_trailers(tls, ca_file):
    sock, conn = h2_over_tls(tls.port, ca_file)
    with sock:
        fields = [(":method", "POST"), (":scheme", "https"), (":authority", "localhost")]
        conn.send_headers(1, [*fields, (":path", "/up")])
        for _ in range(3):  # within the initial window, one frame each
            conn.send_data(1, b"y" * 16384)
        conn.end_stream(1)
        conn.send_headers(3, [*fields, (":path", "/trailers"), ("te", "trailers")], end_stream=True)
        got = exchange(sock, conn, [1, 3])
    assert got[1][0][b":status"] == b"200" and got[1][1] == b"2 /up 49152"
    assert got[3][1] == b"data" and got[3][2] == {b"x-sum": b"4"}


def client_hello():
    """The first flight of a real TLS client."""
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ssl.create_default_context().wrap_bio(incoming, outgoing, server_hostname="localhost")
    with pytest.raises(ssl.SSLWantReadError):
        tls.do_handshake()
    return outgoing.read()


@pytest.mark.parametrize(
    "opening",
    [
        pytest.param(b"GET / HTTP/1.1\r\nHost: t\r\n\r\n", id="garbage"),
        pytest.param(client_hello()[:40], id="stalled-mid-handshake"),
    ],
)
def test_a_failed_or_stalled_handshake_is_closed_while_others_are_served(tls, ca_file, caplog, opening):
    caplog.set_level(logging.INFO, logger="vantric.server")
    with socket.create_connection(("127.0.0.1", tls.port), TIMEOUT) as sock:
        sock.sendall(opening)
        # Others are served meanwhile.
        sock2, conn = h2_over_tls(tls.port, ca_file)
        with sock2:
            conn.send_headers(
                1,
                [(":method", "GET"), (":scheme", "https"), (":authority", "localhost"), (":path", "/other")],
                end_stream=True,
            )
            assert exchange(sock2, conn, [1])[1][1] == b"2 /other 0"
        try:
            while sock.recv(1024):  # perhaps a TLS alert, then the close
                pass
        except ConnectionResetError:
            pass
    assert wait_until(lambda: tls.connections() == 0)
    failures = [r.getMessage() for r in caplog.records if "TLS handshake failed" in r.getMessage()]
    assert len(failures) == 1, failures
    stalled = opening != b"GET / HTTP/1.1\r\nHost: t\r\n\r\n"
    assert ("timed out" in failures[0]) == stalled
    assert tls.server.counts["timeout" if stalled else "client_error"] == 1


class _QuietTransport(asyncio.Transport):
    """A connection that has just arrived: its handshake has not begun."""

    def __init__(self) -> None:
        super().__init__()
        self.closed = False

    def pause_reading(self) -> None:
        pass

    def close(self) -> None:
        self.closed = True

    def is_closing(self) -> bool:
        return self.closed

    def get_extra_info(self, name, default=None):
        return ("127.0.0.1", 40000) if name == "peername" else default


def test_shutdown_just_after_a_connection_arrives_does_not_wait_for_its_handshake(ca):
    # The connection comes in the same turn of the loop as the shutdown: its
    # handshake task is cancelled before it first runs, and must still leave
    # the server (else the shutdown holds for its whole grace period).
    async def scenario():
        server = Server(app, ssl=server_context(ca))
        await server.listen("127.0.0.1", 0)
        transport = _QuietTransport()
        server._open(transport)
        await asyncio.wait_for(server.shutdown(grace=60), TIMEOUT)
        assert transport.closed and not server._connections

    asyncio.run(scenario())
