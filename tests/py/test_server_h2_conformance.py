"""What the HTTP/2 server answers to requests and frames RFC 9113 forbids.

Each case is written frame by frame (h2_raw.RawClient) against a server on a
background loop; the test checks the frame the server sends back, that the
handler never ran, and that the connection survives to serve the next request.
Waits are barriers (a PING after the frames under test: its ACK comes after
everything the server answered to them), never sleeps.
"""

import asyncio
import logging
import shutil
import socket
import struct
import subprocess

import pytest
from hyperframe.frame import GoAwayFrame, HeadersFrame

from h2_raw import RawClient, request_fields
from serving import CHILD_ENV, TIMEOUT, Reader, connect, serving, wait_until
from vantric._vantric import H2_PREFACE
from vantric.server import Response

PROTOCOL_ERROR, STREAM_CLOSED = 1, 5


@pytest.fixture
def served():
    """A running server and the (method, target, headers) its handler saw."""
    seen = []

    async def app(request):
        seen.append((request.method, request.target, dict(request.headers.items())))
        path, _, query = request.target.partition("?")
        if path == "/slow":
            await asyncio.sleep(float(query))
        elif path == "/echo":
            return Response(200, [], await request.read())
        return Response(200, [], b"ok")

    with serving(app) as running:
        yield running, seen
        assert running.errors == [], "the server reported errors"


@pytest.fixture
def client(served):
    client = RawClient(served[0].port)
    client.ready()
    yield client
    client.close()


def still_serving(client, sid, seen):
    """The connection is alive: the next request is answered."""
    before = len(seen)
    client.request(sid, "/after")
    assert client.body(sid) == b"ok"
    assert [target for _, target, _ in seen[before:]] == ["/after"]


GOOD = request_fields("/x")
METHOD, SCHEME, PATH, AUTHORITY = GOOD

MALFORMED = {
    "no :method": [SCHEME, PATH, AUTHORITY],
    "no :scheme": [METHOD, PATH, AUTHORITY],
    "no :path": [METHOD, SCHEME, AUTHORITY],
    "empty :path": [METHOD, SCHEME, (":path", ""), AUTHORITY],
    ":status in a request": [*GOOD, (":status", "200")],
    "undefined pseudo-header": [*GOOD, (":foo", "bar")],
    "CONNECT with :scheme": [(":method", "CONNECT"), SCHEME, AUTHORITY],
    "CONNECT with :path": [(":method", "CONNECT"), PATH, AUTHORITY],
    "CONNECT without :authority": [(":method", "CONNECT")],
    "host disagreeing with :authority": [*GOOD, ("host", "elsewhere.example")],
    "value with leading whitespace": [*GOOD, ("x-a", " b")],
    "value with trailing whitespace": [*GOOD, ("x-a", "b\t")],
    "upper-case field name": [*GOOD, ("X-Upper", "b")],
    "CR in a value": [*GOOD, ("x-a", "b\rc")],
    "connection-specific field": [*GOOD, ("connection", "keep-alive")],
}


@pytest.mark.parametrize("fields", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_request_is_a_stream_error(served, client, fields):
    # RFC 9113 section 8.1.1: a stream error of type PROTOCOL_ERROR.
    running, seen = served
    client.headers(1, fields)
    client.barrier()
    assert client.resets(1) == [PROTOCOL_ERROR]
    assert not client.of(GoAwayFrame) and seen == []
    still_serving(client, 3, seen)


def test_pseudo_header_in_trailers_is_a_stream_error(served, client):
    running, seen = served
    client.headers(1, request_fields("/slow?0.2", "POST"), end_stream=False)
    client.data(1, b"body")
    client.headers(1, [(":path", "/again"), ("x-t", "1")])
    client.barrier()
    assert client.resets(1) == [PROTOCOL_ERROR]
    still_serving(client, 3, seen)


def test_frames_after_the_clients_end_of_stream_are_stream_closed(served, client):
    # RFC 9113 section 5.1, half-closed (remote): STREAM_CLOSED for the stream.
    running, seen = served
    client.request(1, "/slow?0.2")
    client.data(1, b"more")
    client.request(3, "/slow?0.2")
    client.headers(3, [("x-late", "1")])
    client.barrier()
    assert (client.resets(1), client.resets(3)) == ([STREAM_CLOSED], [STREAM_CLOSED])
    # The streams are reset for good: nothing else arrives on them.
    client.data(1, b"again")
    client.barrier()
    assert not client.of(HeadersFrame, 1) and client.resets(1) == [STREAM_CLOSED]
    still_serving(client, 5, seen)


def test_data_after_the_clients_reset_is_answered_once(served, client):
    running, seen = served
    client.headers(1, request_fields("/slow?0.2", "POST"), end_stream=False)
    client.reset(1)
    client.data(1, b"late")
    client.data(1, b"later")
    client.barrier()
    assert client.resets(1) == [STREAM_CLOSED]
    still_serving(client, 3, seen)


def test_frames_on_streams_we_reset_are_ignored(served, client):
    running, seen = served
    # A malformed request is reset by us; the body the client had queued is dropped.
    client.headers(1, MALFORMED["no :path"], end_stream=False)
    client.data(1, b"queued")
    # An answer before the request body ends the stream with RST_STREAM(NO_ERROR).
    client.headers(3, request_fields("/early", "POST"), end_stream=False)
    client.until(lambda: client.resets(3))
    client.data(3, b"queued")
    client.data(3, b"more", end_stream=True)
    client.barrier()
    assert (client.resets(1), client.resets(3)) == ([PROTOCOL_ERROR], [0])
    still_serving(client, 5, seen)


def test_header_list_over_our_limit_is_answered_431_not_truncated(served, client):
    # 20 fields of 4 KiB pass the 64 KiB SETTINGS_MAX_HEADER_LIST_SIZE we
    # announce; the field the application would rely on comes last.
    running, seen = served
    bulk = [(f"x-bulk-{i}", "v" * 4000) for i in range(20)]
    client.headers(1, [*GOOD, *bulk, ("x-auth-user", "mallory")])
    assert client.status(1) == 431
    assert seen == []
    still_serving(client, 3, seen)


def test_head_over_the_limit_over_http1_is_431(served):
    # The HTTP/1.1 head limit (max_buf_size, 408 KiB by default) refuses too.
    running, seen = served
    with connect(running.port) as sock:
        bulk = b"".join(b"x-bulk-%d: %s\r\n" % (i, b"v" * 4000) for i in range(99))
        sock.sendall(b"GET / HTTP/1.1\r\nHost: t\r\n" + bulk + b"x-auth-user: mallory\r\n\r\n")
        assert Reader(sock).response()[0] == 431
    assert seen == []


def test_preface_only_opens_a_connection(served):
    # RFC 9113 section 3.3: after an HTTP/1.1 request the preface is no
    # change of protocol but a bad request.
    running, seen = served
    with connect(running.port) as sock:
        sock.sendall(b"GET /first HTTP/1.1\r\nHost: t\r\n\r\n")
        reader = Reader(sock)
        assert reader.response()[2] == b"ok"
        sock.sendall(H2_PREFACE)
        assert reader.response()[0] == 400
        assert reader.closed()
    assert [target for _, target, _ in seen] == ["/first"]


def test_a_preface_arriving_in_pieces_still_opens_http2(served):
    running, seen = served

    async def buffered():
        return [conn.codec.buffered() for conn in running.server._connections]

    with connect(running.port) as sock:
        # The request line and a blank line: a whole HTTP/1 head of version 2.0,
        # which must wait for the rest of the preface, not be refused.
        sock.sendall(H2_PREFACE[:18])
        assert wait_until(lambda: running.call(buffered()) == [18])
        client = RawClient(running.port, sock=sock, preface=H2_PREFACE[18:])
        client.request(1, "/whole")
        assert client.body(1) == b"ok"
    assert [target for _, target, _ in seen] == ["/whole"]


def test_client_errors_are_counted_and_logged_once_per_connection(served, client, caplog):
    running, seen = served
    caplog.set_level(logging.INFO, logger="vantric.server")
    for sid in (1, 3, 5):
        client.headers(sid, MALFORMED["no :path"])
    client.barrier()
    assert running.server.counts["client_error"] == 3
    records = [r for r in caplog.records if r.name == "vantric.server"]
    assert len(records) == 1 and records[0].exc_info is None
    assert "stream 1" in records[0].getMessage()


def _reset_right_away(sock):
    """Closes with a reset (SO_LINGER 0), as h2load and nghttp do after GOAWAY."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def test_clients_that_reset_at_once_end_quietly(served):
    # Whatever the server is doing when the reset lands (answering a bad head
    # and half-closing, writing a GOAWAY, lingering), nothing is logged as an
    # error and every connection goes.
    running, seen = served
    for round_ in range(30):
        bad = connect(running.port)
        bad.sendall(b"GET / HTTP/9.9\r\n\r\n")
        _reset_right_away(bad)
        h2 = RawClient(running.port)
        h2.send(GoAwayFrame(0, last_stream_id=0))
        if round_ % 2:
            h2.until(lambda: h2.of(GoAwayFrame))  # the reset then lands in our linger
        _reset_right_away(h2.sock)
        broken = RawClient(running.port)
        broken.sock.sendall(b"\x00\x00\x08\x06\x00\x00\x00\x00\x01" + b"12345678")  # PING on a stream
        _reset_right_away(broken.sock)
    assert wait_until(lambda: running.connections() == 0, TIMEOUT)
    assert running.errors == []


def test_a_reset_while_a_handler_runs_is_counted(served):
    running, seen = served
    sock = connect(running.port)
    sock.sendall(b"GET /slow?0.2 HTTP/1.1\r\nHost: t\r\n\r\n")
    assert wait_until(lambda: seen)
    _reset_right_away(sock)
    assert wait_until(lambda: running.server.counts["peer_gone"] == 1)
    assert wait_until(lambda: running.connections() == 0)


H2LOAD = shutil.which("h2load")


@pytest.mark.skipif(H2LOAD is None, reason="h2load is not installed")
def test_h2load_closing_right_after_goaway_leaves_a_clean_log(served):
    # h2load sends GOAWAY and closes at once: each connection races our reply.
    running, seen = served
    done = subprocess.run(
        [H2LOAD, "-n", "2000", "-c", "20", "-m", "10", running.url + "/"],
        capture_output=True,
        timeout=60,
        env=CHILD_ENV,
        text=True,
    )
    assert done.returncode == 0, done.stderr
    assert "2000 succeeded" in done.stdout, done.stdout
    assert wait_until(lambda: running.connections() == 0)
    assert running.errors == [] and running.server.counts["client_error"] == 0
