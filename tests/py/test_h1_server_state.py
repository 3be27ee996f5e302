"""H1ServerState: whole exchanges as a driver runs them, verdicts, claims, GC and threads.

A synchronous driver below plays the server connection's serve loop with plain
objects as transports, events and handles; h11 plays the client and parses what
the server wrote.
"""

import gc
import inspect
import sys
import threading
import weakref

import h11
import pytest

from conftest import assert_no_leaks, swallowing
from vantric._vantric import (
    H1_NEXT_CLOSE,
    H1_NEXT_DRAIN,
    H1_NEXT_NONE,
    H1_NEXT_RAISE,
    H1_READ_EOF,
    H1_READ_PARSE,
    H1_READ_SHUTDOWN,
    H1_READ_TRANSPORT,
    H1_READ_WATCHER,
    H1_REQ_ALREADY,
    H1_REQ_CONTINUE,
    H1_REQ_OK,
    H1_REQ_PARKED,
    H1_REQ_PEER_CLOSED,
    H1_REQ_STALE,
    H1BodyDecoder,
    H1Codec,
    H1ParseError,
    H1ServerState,
    H1UserError,
    HeaderMap,
)


class Token:
    """A stand-in for events, task handles and scopes."""

    def __init__(self, name="token"):
        self.name = name

    def __repr__(self):
        return self.name


class Transport:
    """Reads come from a script; writes are collected."""

    def __init__(self, *reads):
        self.reads = list(reads)
        self.written = bytearray()
        self.closed = False

    def read(self):
        return self.reads.pop(0) if self.reads else b""

    def write(self, data):
        assert not self.closed
        self.written += data


class Driver:
    """The serve loop of one server connection, run synchronously."""

    def __init__(self, *reads, **options):
        self.transport = Transport(*reads)
        self.codec = H1Codec()
        self.state = H1ServerState(self.codec, self.transport, **options)

    def next_request(self):
        """(head, seq, decoder) of the next request, or None once the loop ends."""
        state = self.state
        code, obj = state.begin_read()
        if code == H1_NEXT_DRAIN:
            code, obj = state.drain_done(self.drain())
        if code == H1_NEXT_RAISE:
            raise AssertionError("the response is unfinished")
        if code == H1_NEXT_CLOSE:
            obj.closed = True
            return None
        if code in (H1_NEXT_NONE, H1_READ_SHUTDOWN, H1_READ_EOF):
            state.stop_serving()
            return None
        if code == H1_READ_PARSE:
            data = b""
        elif code == H1_READ_WATCHER:
            assert obj is state.watcher_done()  # the watcher task finished and set it
            state.unpark_idle_read()
            state.take_watcher_handle()
            data, error = state.take_watcher_result()
            if error is not None or not data:
                state.stop_serving()
                return None
        else:
            assert code == H1_READ_TRANSPORT and obj is self.transport
            data = obj.read()
            if state.unpark_idle_read() or not data:
                state.stop_serving()
                return None
        while True:
            try:
                accepted = state.accept_head(data)
            except H1ParseError:
                transport = state.fail_read()
                transport.write(b"HTTP/1.1 %d \r\n\r\n" % self.codec.parse_error_status)
                transport.closed = True
                return None
            if accepted is not None:
                return accepted
            data = self.transport.read()
            if not data:
                state.stop_serving()
                return None

    def read_into(self, decoder, sink):
        """Decodes until complete or the transport ends; True when complete."""
        while True:
            piece = decoder.decode()
            if piece is not None:
                sink += piece
                continue
            if decoder.is_complete:
                return True
            data = self.transport.read()
            if not data:
                return False
            decoder.feed(data)

    def drain(self):
        return self.read_into(self.state.current_decoder(), bytearray())

    def read_body(self, seq, decoder):
        if self.state.try_send_continue(seq):
            self.transport.write(H1Codec.continue_response())
        if not self.state.begin_body_read(seq):
            return b""  # no body, or it was read already
        body = bytearray()
        self.state.end_body_read(seq, self.read_into(decoder, body))
        return bytes(body)

    def respond(self, seq, status=200, body=b"", headers=None, want=False, done=None):
        """Writes a whole response; the finish_response verdict, or the refused claim code."""
        done = done if done is not None else Token("done")
        code, head, armed = self.state.respond_head(
            seq, status, headers, done, content_length=len(body), want=want
        )
        if code == H1_REQ_CONTINUE:  # the continue went out in full: claim again
            code, head, armed = self.state.respond_head(
                seq, status, headers, done, content_length=len(body), want=want
            )
        if code != H1_REQ_OK:
            return code
        self.armed = armed
        data = self.codec.serialize_data(body) if body else b""
        self.transport.write(head + data + self.codec.serialize_end())
        switch, close, transport, leftover = self.state.finish_response(seq)
        if close:
            transport.closed = True
        return switch, close, transport, leftover

    def serve(self, app):
        """Serves every request with app(driver, head, seq, decoder); the heads served."""
        heads = []
        while (accepted := self.next_request()) is not None:
            heads.append(accepted[0])
            app(self, *accepted)
        return heads


def echo(driver, head, seq, decoder):
    body = driver.read_body(seq, decoder)
    driver.respond(seq, 200, b"%s %s:%s" % (head.method.encode(), head.target.encode(), body))


def client_requests(*requests):
    """Request bytes as h11 writes them: (method, target, body or None, extra headers)."""
    out = bytearray()
    for method, target, body, extra in requests:
        conn = h11.Connection(h11.CLIENT)
        headers = [("Host", "example.com")] + list(extra)
        if body is not None:
            headers.append(("Content-Length", str(len(body))))
        out += conn.send(h11.Request(method=method, target=target, headers=headers))
        if body:
            out += conn.send(h11.Data(data=body))
        out += conn.send(h11.EndOfMessage())
    return bytes(out)


def client_responses(written, count):
    """h11's reading of what the server wrote: [(status, body, headers)], and the rest."""
    conn = h11.Connection(h11.CLIENT)
    conn.receive_data(bytes(written))
    out = []
    for _ in range(count):
        conn.send(h11.Request(method="GET", target="/", headers=[("Host", "x")]))
        conn.send(h11.EndOfMessage())
        body = b""
        while True:
            event = conn.next_event()
            if isinstance(event, h11.Response):
                response = event
            elif isinstance(event, h11.Data):
                body += event.data
            elif isinstance(event, h11.EndOfMessage):
                break
            else:
                assert not isinstance(event, h11.InformationalResponse) or event.status_code == 100
        out.append((response.status_code, body, dict(response.headers)))
        if conn.our_state is h11.DONE and conn.their_state is h11.DONE:
            conn.start_next_cycle()
    return out, conn


# ---- whole exchanges ---------------------------------------------------------------


def test_keep_alive_reuse():
    d = Driver(client_requests(("GET", "/a", None, ())), client_requests(("POST", "/b", b"xyz", ())))
    heads = d.serve(echo)
    assert [h.target for h in heads] == ["/a", "/b"] and d.state.current_seq == 2
    responses, _ = client_responses(d.transport.written, 2)
    assert [(s, b) for s, b, _ in responses] == [(200, b"GET /a:"), (200, b"POST /b:xyz")]
    assert not d.transport.closed and d.state.closed and d.state.reusable


def test_pipelined_requests_at_every_split():
    stream = client_requests(("GET", "/1", None, ()), ("PUT", "/2", b"body", ()), ("GET", "/3", None, ()))
    expected = [(200, b"GET /1:"), (200, b"PUT /2:body"), (200, b"GET /3:")]
    for cut in range(len(stream) + 1):
        d = Driver(*[part for part in (stream[:cut], stream[cut:]) if part])
        d.serve(echo)
        responses, _ = client_responses(d.transport.written, 3)
        assert [(s, b) for s, b, _ in responses] == expected, cut


def test_pipelined_bytes_come_back_through_the_read_step():
    d = Driver(client_requests(("GET", "/1", None, ()), ("GET", "/2", None, ())))
    head, seq, decoder = d.next_request()
    assert decoder.buffered > 0 and d.codec.buffered() == 0  # the second request rode along
    d.respond(seq)
    assert d.state.begin_read() == (H1_READ_PARSE, None)
    assert d.state.current_decoder() is None and d.codec.buffered() > 0
    assert d.state.accept_head(b"")[1] == 2


@pytest.mark.parametrize("how", ["drained", "reader_parked", "cut_short"])
def test_unread_body(how):
    first = client_requests(("POST", "/upload", b"0123456789", ()))
    reads = [first[:-4], first[-4:] + client_requests(("GET", "/next", None, ()))]
    if how == "cut_short":
        reads = reads[:1]
    d = Driver(*reads)
    head, seq, decoder = d.next_request()
    if how == "reader_parked":
        assert d.state.begin_body_read(seq)
    d.respond(seq, 413)
    code, obj = d.state.begin_read()
    if how == "reader_parked":
        # The body reader owns the read: the rest of the body cannot be skipped.
        assert (code, obj) == (H1_NEXT_CLOSE, d.transport) and d.state.closed
        return
    assert (code, obj) == (H1_NEXT_DRAIN, None)
    assert d.state.begin_body_read(seq) is False  # the drain owns the read
    complete = d.drain()
    code, obj = d.state.drain_done(complete)
    if how == "cut_short":
        assert (code, obj) == (H1_NEXT_CLOSE, d.transport) and not d.state.reusable
        return
    assert code == H1_READ_PARSE
    assert d.state.accept_head(b"")[0].target == "/next"


def test_expect_continue():
    request = client_requests(("PUT", "/f", b"data", [("Expect", "100-continue")]))
    split = request.index(b"\r\n\r\n") + 4
    d = Driver(request[:split], request[split:])
    head, seq, decoder = d.next_request()
    assert head.expect_continue
    # The body reader claims the continue; the handler's claim then waits for it.
    assert d.state.try_send_continue(seq) is True and d.state.try_send_continue(seq) is False
    assert d.state.respond_head(seq, 200, None, Token(), content_length=2) == (H1_REQ_CONTINUE, None, False)
    d.transport.write(H1Codec.continue_response())
    assert d.state.begin_body_read(seq)
    assert d.read_into(decoder, bytearray())
    d.state.end_body_read(seq, True)
    code, head_bytes, armed = d.state.respond_head(seq, 200, None, Token(), content_length=2)
    assert code == H1_REQ_OK and head_bytes.startswith(b"HTTP/1.1 200 OK\r\n")
    assert d.state.respond_head(seq, 200, None, Token()) == (H1_REQ_ALREADY, None, False)
    # A response claimed first: no continue at all (RFC 9110 section 10.1.1).
    d2 = Driver(request[:split])
    head, seq, decoder = d2.next_request()
    assert d2.respond(seq, 417)[1] is False
    assert d2.state.try_send_continue(seq) is False


@pytest.mark.parametrize("extra,reused", [((), False), ((b"Connection: keep-alive\r\n",), True)])
def test_http10(extra, reused):
    request = b"GET /old HTTP/1.0\r\nExpect: 100-continue\r\n" + b"".join(extra) + b"\r\n"
    d = Driver(request, request)
    head, seq, decoder = d.next_request()
    assert head.http10 and d.state.try_send_continue(seq) is False
    switch, close, transport, leftover = d.respond(seq, 200, b"hi")
    assert d.transport.written.startswith(b"HTTP/1.0 200 OK\r\n")
    assert close is not reused and (transport is d.transport) is not reused
    assert (d.next_request() is not None) is reused


@pytest.mark.parametrize(
    "request_line,status,switches",
    [
        (b"GET /chat HTTP/1.1\r\nUpgrade: websocket\r\nConnection: upgrade\r\n", 101, True),
        (b"GET /chat HTTP/1.1\r\nUpgrade: websocket\r\nConnection: upgrade\r\n", 200, False),
        (b"GET /plain HTTP/1.1\r\n", 101, False),
        (b"CONNECT example.com:443 HTTP/1.1\r\n", 200, True),
        (b"CONNECT example.com:443 HTTP/1.1\r\n", 204, True),
        (b"CONNECT example.com:443 HTTP/1.1\r\n", 407, False),
    ],
)
def test_protocol_switches_hand_over_leftover_bytes(request_line, status, switches):
    tunnel = b"\x16\x03\x01 tunnel bytes"
    d = Driver(request_line + b"Host: x\r\n\r\n" + tunnel)
    head, seq, decoder = d.next_request()
    code, head_bytes, armed = d.state.respond_head(seq, status, None, Token())
    assert code == H1_REQ_OK and head_bytes.startswith(b"HTTP/1.1 %d " % status)
    if switches:
        # What the client sent past the head belongs to the tunnel.
        assert d.state.finish_response(seq) == (True, False, d.transport, tunnel)
        assert d.state.upgraded and d.state.closed and d.state.transport_ref() is None
        assert d.state.begin_read() == (H1_NEXT_NONE, None)
    else:
        switch, close, transport, leftover = d.state.finish_response(seq)
        assert not switch and leftover is None and not d.state.upgraded


def test_detach():
    d = Driver(b"GET /raw HTTP/1.1\r\nHost: x\r\n\r\nraw")
    head, seq, decoder = d.next_request()
    assert d.state.detach(seq + 1) == (H1_REQ_STALE, None, None)
    assert d.state.detach(seq) == (H1_REQ_OK, d.transport, b"raw")
    assert d.state.detach(seq) == (H1_REQ_ALREADY, None, None)
    assert d.state.respond_head(seq, 200, None, Token()) == (H1_REQ_ALREADY, None, False)
    assert d.state.upgraded and d.state.mark_closed() == (None, None, True)


def test_detach_with_a_watcher():
    d = Driver(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    head, seq, decoder = d.next_request()
    assert d.state.arm_watcher(seq, Token("done")) is True
    d.state.store_watcher_handle(Token("handle"))
    assert d.state.detach(seq) == (H1_REQ_PARKED, None, None)  # one reader per transport
    assert d.state.watcher_completed(b"cd") is False
    assert d.state.detach(seq) == (H1_REQ_OK, d.transport, b"cd")
    # The slot stays until the closing driver joins the watcher task.
    assert d.state.take_watcher_result() == (None, None) and d.state.has_watcher


def test_peer_closes_mid_response():
    d = Driver(b"GET /slow HTTP/1.1\r\nHost: x\r\n\r\n")
    head, seq, decoder = d.next_request()
    done, handle = Token("done"), Token("handle")
    assert d.state.peer_closed_now(seq) is None  # the window is open: arm and wait
    assert d.state.arm_watcher(seq, done, head_negotiated=True) is True
    assert d.state.watcher_parked and d.state.store_watcher_handle(handle) is None
    assert d.state.store_watcher_handle(Token("again")).name == "again"
    # The watcher task reads end of stream: the client is gone.
    assert d.state.watcher_completed(b"") is True
    assert d.state.watcher_completed(b"") is False and not d.state.reusable
    assert d.state.peer_closed_flag(seq) and not d.state.watcher_parked
    assert d.state.respond_head(seq, 200, None, Token()) == (H1_REQ_PEER_CLOSED, None, False)
    assert d.state.respond_head(seq, 200, None, Token()) == (H1_REQ_ALREADY, None, False)
    assert d.state.finish_response(seq) == (False, True, d.transport, None)
    assert d.state.peer_closed_now(seq) is True
    assert d.state.mark_closed() == (None, done, True)
    assert d.state.take_watcher_handle() is handle and d.state.take_watcher_result() == (b"", None)
    assert not d.state.has_watcher


def test_streamed_response_watcher_hands_the_next_head_over():
    d = Driver(b"GET /1 HTTP/1.1\r\nHost: x\r\n\r\n")
    head, seq, decoder = d.next_request()
    done = Token("done")
    switch, close, transport, leftover = d.respond(seq, 200, b"streamed", want=True, done=done)
    assert d.armed and not close
    # The client sent its next request while the response was in flight.
    assert d.state.watcher_completed(b"GET /2 HTTP/1.1\r\nHost: x\r\n\r\n") is False
    assert d.state.begin_read() == (H1_READ_WATCHER, done)
    d.state.unpark_idle_read()
    d.state.take_watcher_handle()
    data, error = d.state.take_watcher_result()
    assert d.state.accept_head(data)[0].target == "/2" and not d.state.has_watcher


@pytest.mark.parametrize("parked", [True, False])
def test_shutdown(parked):
    d = Driver(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    code, transport = d.state.begin_read()
    assert code == H1_READ_TRANSPORT
    if parked:
        # Closing the returned transport is what ends the parked read.
        assert d.state.request_shutdown() is d.transport
        assert d.state.unpark_idle_read() is True
        return
    # The read returned first: the request it brought is served, then the loop ends.
    assert d.state.unpark_idle_read() is False
    assert d.state.request_shutdown() is None and not d.state.closed
    head, seq, decoder = d.state.accept_head(transport.read())
    switch, close, transport, leftover = d.respond(seq, 200, b"bye")
    assert close and b"connection: close" in d.transport.written.lower()
    assert d.state.begin_read() == (H1_NEXT_NONE, None)


def test_parse_error_leaves_the_state_and_answers_automatically():
    d = Driver(b"GET / HTTP/1.1\r\nBad Header: x\r\n\r\n")
    before = repr(d.state)
    code, transport = d.state.begin_read()
    with pytest.raises(H1ParseError):
        d.state.accept_head(transport.read())
    assert repr(d.state) == before and d.codec.parse_error_status == 400
    assert d.state.fail_read() is d.transport and d.state.fail_read() is None


def test_encoder_error_keeps_the_claim():
    d = Driver(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    head, seq, decoder = d.next_request()
    with pytest.raises(H1UserError) as info:
        d.state.respond_head(seq, 103, None, Token())
    assert info.value.args[0] == "unsupported_status_code"
    assert d.state.respond_head(seq, 200, None, Token()) == (H1_REQ_ALREADY, None, False)
    assert d.state.fail_response(seq) is d.transport and d.state.closed


# ---- verdict and claim tables ---------------------------------------------------------


def test_read_step_on_a_fresh_state():
    d = Driver()
    assert d.state.begin_read() == (H1_READ_TRANSPORT, d.transport)
    d = Driver()
    d.codec.feed(b"G")
    assert d.state.begin_read() == (H1_READ_PARSE, None)
    d = Driver()
    assert d.state.request_shutdown() is None
    assert d.state.begin_read() == (H1_NEXT_NONE, None)
    assert H1ServerState(H1Codec(), None).begin_read() == (H1_READ_EOF, None)


def test_sequence_numbers_and_stale_answers():
    d = Driver(b"GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n")
    head, first, decoder = d.next_request()
    assert d.state.begin_read() == (H1_NEXT_RAISE, None)
    d.respond(first)
    head, second, decoder2 = d.next_request()
    assert (first, second) == (1, 2) and d.state.current_decoder() is decoder2
    seq = second
    for stale in (0, first, second + 1):
        assert d.state.respond_head(stale, 200, None, Token()) == (H1_REQ_STALE, None, False)
        assert d.state.detach(stale) == (H1_REQ_STALE, None, None)
        assert d.state.finish_response(stale) == (False, False, None, None)
        for method in ("try_send_continue", "begin_body_read", "peer_closed_flag", "close_window"):
            assert getattr(d.state, method)(stale) is False, method
        assert d.state.peer_closed_now(stale) is False
        assert d.state.arm_watcher(stale, Token()) is False
        assert d.state.end_body_read(stale, True) is None
    assert repr(d.state) == (
        "H1ServerState(seq=2, closed=false, reusable=true, responded=false, "
        "response_done=false, watcher=false)"
    )
    code, head_bytes, armed = d.state.respond_head(seq, 200, HeaderMap(), Token())
    assert code == H1_REQ_OK and d.state.respond_head(seq, 200, None, Token())[0] == H1_REQ_ALREADY
    # A stale fail_response still closes the connection.
    assert d.state.fail_response(first) is d.transport and d.state.closed


def test_body_read_ownership():
    d = Driver(b"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n")
    head, seq, decoder = d.next_request()
    assert d.state.begin_body_read(seq) and not d.state.begin_body_read(seq)
    d.state.end_body_read(seq, False)
    assert d.state.begin_body_read(seq)
    d.state.end_body_read(seq, True)
    assert d.state.begin_body_read(seq) is False  # the body ended
    # A broken body read: the response announces the close that follows it.
    d.state.mark_unusable()
    switch, close, transport, leftover = d.respond(seq, 400)
    assert close and b"connection: close\r\n" in d.transport.written


def test_watcher_completions():
    d = Driver(b"GET / HTTP/1.1\r\n\r\n")
    assert d.state.watcher_completed(None, RuntimeError()) is False  # no slot
    head, seq, decoder = d.next_request()
    assert d.state.arm_watcher(seq, Token(), want=False) is False
    assert d.state.arm_watcher(seq, Token()) is True and not d.state.arm_watcher(seq, Token())
    assert d.state.watcher_completed(b"x") is False and d.state.reusable
    assert d.state.watcher_completed(None, OSError()) is True and not d.state.reusable
    with pytest.raises(TypeError, match="'data' must be bytes or None, not str"):
        d.state.watcher_completed("x")
    d.state.watcher_aborted()
    assert d.state.close_window(seq) is True and d.state.close_window(seq) is False
    assert H1ServerState(H1Codec(), Token(), half_close=True).half_close


def test_half_close_never_arms():
    codec = H1Codec()
    s = H1ServerState(codec, Token(), half_close=True, keep_alive=False)
    head, seq, decoder = s.accept_head(b"GET / HTTP/1.1\r\n\r\n")
    code, head_bytes, armed = s.respond_head(seq, 200, None, Token(), want=True)
    assert not armed and not s.arm_watcher(seq, Token(), head_negotiated=True)
    assert b"connection: close" in head_bytes and not s.keep_alive_enabled


# ---- the host surface ----------------------------------------------------------------

SIGNATURES = {
    "transport_ref": "(self, /)",
    "current_decoder": "(self, /)",
    "begin_read": "(self, /)",
    "drain_done": "(self, /, complete)",
    "unpark_idle_read": "(self, /)",
    "accept_head": "(self, /, data)",
    "fail_read": "(self, /)",
    "stop_serving": "(self, /)",
    "mark_closed": "(self, /)",
    "mark_unusable": "(self, /)",
    "request_shutdown": "(self, /)",
    "try_send_continue": "(self, /, seq)",
    "begin_body_read": "(self, /, seq)",
    "end_body_read": "(self, /, seq, complete)",
    "peer_closed_now": "(self, /, seq)",
    "peer_closed_flag": "(self, /, seq)",
    "arm_watcher": "(self, /, seq, done, *, want=True, head_negotiated=False)",
    "store_watcher_handle": "(self, /, handle)",
    "watcher_completed": "(self, /, data=None, error=None)",
    "watcher_aborted": "(self, /)",
    "watcher_done": "(self, /)",
    "take_watcher_handle": "(self, /)",
    "take_watcher_result": "(self, /)",
    "close_window": "(self, /, seq)",
    "respond_head": "(self, /, seq, status, headers, done, *, content_length=None, chunked=False, want=False)",
    "finish_response": "(self, /, seq)",
    "fail_response": "(self, /, seq)",
    "detach": "(self, /, seq)",
}


def test_identity_signatures_and_properties():
    assert H1ServerState.__module__ == "vantric._vantric" and H1ServerState.__qualname__ == "H1ServerState"
    assert str(inspect.signature(H1ServerState)) == "(codec, transport, *, keep_alive=True, half_close=False)"
    for name, text in SIGNATURES.items():
        assert str(inspect.signature(getattr(H1ServerState, name))) == text, name
    codec, t = H1Codec(), Token("t")
    s = H1ServerState(codec, t, keep_alive=False)
    assert repr(s) == (
        "H1ServerState(seq=0, closed=false, reusable=true, responded=false, "
        "response_done=true, watcher=false)"
    )
    assert (s.codec, s.transport_ref(), s.current_decoder(), s.current_seq) == (codec, t, None, 0)
    assert (
        s.closed,
        s.reusable,
        s.upgraded,
        s.half_close,
        s.keep_alive_enabled,
        s.shutdown_requested,
        s.has_watcher,
        s.watcher_parked,
    ) == (False, True, False, False, False, False, False, False)
    with pytest.raises(AttributeError):
        s.closed = True
    with pytest.raises(AttributeError):
        s.other = 1
    s.stop_serving()
    assert s.transport_ref() is None and s.mark_closed() == (t, None, True)


def test_argument_errors_name_the_argument():
    with pytest.raises(TypeError, match="'codec' must be H1Codec, not .*H1BodyDecoder"):
        H1ServerState(H1BodyDecoder("chunked"), None)
    with pytest.raises(TypeError, match="'keep_alive' must be bool"):
        H1ServerState(H1Codec(), None, keep_alive=1)
    with pytest.raises(TypeError, match="positional"):
        H1ServerState(H1Codec(), None, True)
    d = Driver(b"GET / HTTP/1.1\r\n\r\n")
    head, seq, decoder = d.next_request()
    before = repr(d.state)
    bad_calls = [
        (TypeError, "'data' must be bytes", d.state.accept_head, ("GET",), {}),
        (OverflowError, None, d.state.begin_body_read, (-1,), {}),
        (OverflowError, None, d.state.close_window, (2**64,), {}),
        (TypeError, None, d.state.detach, ("1",), {}),
        (TypeError, "'complete' must be bool", d.state.drain_done, (1,), {}),
        (TypeError, "'complete' must be bool", d.state.end_body_read, (seq, 1), {}),
        (TypeError, "'want' must be bool", d.state.arm_watcher, (seq, Token()), {"want": 1}),
        (OverflowError, None, d.state.respond_head, (seq, 70000, None, Token()), {}),
        (ValueError, "invalid status", d.state.respond_head, (seq, 99, None, Token()), {}),
        (
            TypeError,
            "'headers' must be HeaderMap, dict, iterable of pairs or None, not int",
            d.state.respond_head,
            (seq, 200, 42, Token()),
            {},
        ),
        (
            TypeError,
            "header value must be str or bytes",
            d.state.respond_head,
            (seq, 200, {"a": 1}, Token()),
            {},
        ),
        (ValueError, "invalid header name", d.state.respond_head, (seq, 200, [("a b", "1")], Token()), {}),
        (OverflowError, None, d.state.respond_head, (seq, 200, None, Token()), {"content_length": -1}),
        (
            TypeError,
            "'chunked' must be bool",
            d.state.respond_head,
            (seq, 200, None, Token()),
            {"chunked": 0},
        ),
        (TypeError, "missing", d.state.respond_head, (seq, 200, None), {}),
    ]
    for exc, message, fn, args, kwargs in bad_calls:
        with pytest.raises(exc, match=message):
            fn(*args, **kwargs)
        assert repr(d.state) == before, fn
    # None of them claimed the response; headers in any form the map accepts.
    code, head_bytes, armed = d.state.respond_head(
        seq, 200, [("X-A", "1"), (b"x-b", b"2")], Token(), content_length=0
    )
    assert code == H1_REQ_OK and b"x-a: 1\r\nx-b: 2\r\n" in head_bytes


# ---- references, collection and threads --------------------------------------------------


def test_released_references_may_reenter_the_state():
    class Connection(H1ServerState):
        pass

    seen = []
    state = Connection(H1Codec(), Transport())

    class Reentrant:
        holder = [state]

        def __del__(self):
            if self.holder:
                seen.append(repr(self.holder[0]))  # takes the state's lock

    head, seq, decoder = state.accept_head(b"GET / HTTP/1.1\r\n\r\n")
    state.arm_watcher(seq, Reentrant(), want=False)  # refused: released after unlocking
    state.arm_watcher(seq, Token())
    state.watcher_completed(None, Reentrant())
    state.watcher_completed(b"x", None)  # drops the stored error
    state.store_watcher_handle(Reentrant())  # stored
    state.respond_head(seq, 200, None, Reentrant())  # not stored: a slot exists
    assert len(seen) == 3 and all(text.startswith("H1ServerState(seq=1") for text in seen)
    # The stored handle is released by the collector's clearing, after unlocking.
    probe = weakref.ref(state)
    del state, head, decoder, Reentrant
    gc.collect()
    assert probe() is None


@pytest.mark.parametrize("link", ["transport", "done", "attribute"])
def test_cycle_through_a_subclass_is_collected(link):
    class Connection(H1ServerState):
        def __init__(self, codec, transport, **options):
            super().__init__()
            self.extra = "driver state"

    wrapper = Token("wrapper")
    conn = Connection(H1Codec(), wrapper, keep_alive=True)
    assert conn.extra == "driver state" and isinstance(conn, H1ServerState)
    head, seq, decoder = conn.accept_head(b"GET / HTTP/1.1\r\n\r\n")
    if link == "transport":
        wrapper.conn = conn  # the state holds its own wrapper as transport
    elif link == "done":
        done = Token("done")
        done.conn = conn
        assert conn.arm_watcher(seq, done)
        del done
    else:
        conn.me = conn
        conn.decoder = decoder
    probe = weakref.ref(conn)
    del conn, wrapper, head, decoder
    gc.collect()
    assert probe() is None


def race(count, *workers, rounds=200):
    """Runs each round's workers together on `count` threads; the results per round."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        out = []
        for _ in range(rounds):
            barrier = threading.Barrier(count)
            results = [None] * count

            def run(i):
                barrier.wait()
                results[i] = workers[i % len(workers)]()

            threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=30)
                assert not t.is_alive(), "deadlock"
            out.append(results)
        return out
    finally:
        sys.setswitchinterval(old)


def test_threads_exactly_one_winner_per_claim():
    def accepted(**options):
        d = Driver(b"POST / HTTP/1.1\r\nContent-Length: 2\r\nExpect: 100-continue\r\n\r\n", **options)
        return d, d.next_request()[1]

    claims = [
        ("respond_head", lambda s, q: s.respond_head(q, 200, None, Token())[0] == H1_REQ_OK),
        ("detach", lambda s, q: s.detach(q)[0] == H1_REQ_OK),
        ("try_send_continue", lambda s, q: s.try_send_continue(q)),
        ("begin_body_read", lambda s, q: s.begin_body_read(q)),
        ("close_window", lambda s, q: s.close_window(q)),
    ]
    for name, claim in claims:
        for _ in range(20):
            d, seq = accepted()
            results = race(4, lambda: claim(d.state, seq), rounds=1)[0]
            assert results.count(True) == 1, name
    # Response against detach, and every close against the others: one taker each.
    for _ in range(30):
        d, seq = accepted()
        results = race(
            2,
            lambda: d.state.respond_head(seq, 200, None, Token())[0],
            lambda: d.state.detach(seq)[0],
            rounds=1,
        )[0]
        assert sorted(results) == [H1_REQ_OK, H1_REQ_ALREADY]
        d, seq = accepted()
        takers = race(
            4,
            d.state.fail_read,
            lambda: d.state.mark_closed()[0],
            lambda: d.state.fail_response(seq),
            d.state.request_shutdown,
            rounds=1,
        )[0]
        assert [t for t in takers if t is not None] == [d.transport]


def test_threads_race_completions_claims_and_the_collector():
    d = Driver()
    codec = d.codec
    stop = threading.Event()
    errors = []

    def loop(fn):
        def run():
            try:
                while not stop.is_set():
                    fn()
            except Exception as exc:  # noqa: BLE001
                errors.append(exc)

        return run

    seq_box = [0]

    def server():
        accepted = d.state.accept_head(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        seq = seq_box[0] = accepted[1]
        d.state.arm_watcher(seq, Token(), head_negotiated=True)
        d.state.respond_head(seq, 200, None, Token(), content_length=0)
        d.state.finish_response(seq)
        d.state.take_watcher_handle()
        d.state.take_watcher_result()
        d.state.begin_read()
        d.state.unpark_idle_read()

    workers = [
        loop(server),
        loop(lambda: d.state.watcher_completed(b"")),
        loop(lambda: d.state.watcher_completed(b"GET")),
        loop(lambda: (d.state.close_window(seq_box[0]), repr(d.state), d.state.watcher_parked)),
        loop(lambda: (codec.buffered(), codec.feed(b""), codec.body_is_eof())),  # the codec's lock alone
        loop(lambda: (gc.collect(0), d.state.current_decoder())),
    ]
    threads = [threading.Thread(target=w) for w in workers]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for t in threads:
            t.start()
        threading.Event().wait(1.0)
        stop.set()
        for t in threads:
            t.join(timeout=30)
            assert not t.is_alive(), "deadlock"
    finally:
        sys.setswitchinterval(old)
    assert not errors, errors
    assert d.state.current_seq > 1


def test_no_leaks():
    def exchange():
        d = Driver(client_requests(("POST", "/a", b"abc", ()), ("GET", "/b", None, ())))
        d.serve(echo)
        d.state.mark_closed()

    def switch_and_detach():
        d = Driver(b"GET / HTTP/1.1\r\nUpgrade: x\r\nConnection: upgrade\r\n\r\nleft")
        head, seq, decoder = d.next_request()
        d.state.respond_head(seq, 101, {"upgrade": "x"}, Token())
        d.state.finish_response(seq)
        d = Driver(b"GET / HTTP/1.1\r\n\r\nover")
        head, seq, decoder = d.next_request()
        d.state.arm_watcher(seq, Token(), head_negotiated=True)
        d.state.watcher_completed(b"x", Token())
        d.state.detach(seq)
        repr(d.state)

    s = H1ServerState(H1Codec(), Token())
    s.accept_head(b"GET / HTTP/1.1\r\n\r\n")
    assert_no_leaks(
        [
            exchange,
            switch_and_detach,
            swallowing(s.respond_head, 1, 103, None, Token()),
            swallowing(s.respond_head, 1, 200, [("a b", "c")], Token()),
            swallowing(H1ServerState(H1Codec(), None).accept_head, b"BAD\r\n\r\n"),
            swallowing(s.watcher_completed, "x", Token()),
            swallowing(H1ServerState, Token(), Token()),
        ]
    )
