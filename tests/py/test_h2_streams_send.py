"""H2Streams send path and shutdown: the verdict records, opening streams, DATA,
heads, trailers, resets, capacity, failure, and h2 as the independent peer on the
other end of a client and of a gracefully shut-down server."""

import inspect
import threading

import hpack
import pytest
from h2 import events as h2_events
from h2.config import H2Configuration
from h2.connection import H2Connection
from hyperframe.frame import GoAwayFrame, HeadersFrame, PingFrame, RstStreamFrame, WindowUpdateFrame

from conftest import assert_no_leaks, swallowing
from test_h2_streams import ARGS, frames
from test_h2_streams_recv import REQUEST, Peer
from vantric import _vantric as v
from vantric.http import HeaderMap

MAX = 2**31 - 1
WAKE, SLOT_FREED, STOP_ACCEPTING = v.H2_FLAG_WAKE, v.H2_FLAG_SLOT_FREED, v.H2_FLAG_STOP_ACCEPTING


def request(peer, method="POST", end_stream=False, handle="req", **kwargs):
    assert peer.s.try_claim_slot()
    return peer.s.open_stream(method, "https://example.com/up", None, end_stream, False, handle, **kwargs)


# ---- the surface -------------------------------------------------------------------

SIGNATURES = {
    "open_stream": "(method, target, headers, end_stream, is_head, handle, *, scheme=None, authority=None)",
    "send_data": "(sid, data, offset, end_stream)",
    "send_trailers": "(sid, trailers)",
    "send_response_head": "(sid, status, headers, end_stream)",
    "reset_stream": "(sid, reason, initiator='user')",
    "reset_on_error": "(sid, reason)",
    "aclose_body": "(sid)",
    "release_capacity": "(sid, n)",
    "release_data_frame": "(sid, payload_len)",
    "accepted": "(sid)",
    "send_goaway": "(reason)",
    "fail": "(exc=None, message='connection closed')",
    "conn_error": "()",
    "goaway_info": "()",
    "is_closed": "()",
    "is_failed": "()",
    "begin_graceful_shutdown": "()",
}


def test_signatures_argument_errors_and_frozen_records():
    s = Peer("client").s
    for name, text in SIGNATURES.items():
        assert str(inspect.signature(getattr(s, name))) == text, name
    with pytest.raises(ValueError, match="^initiator must be 'user' | 'library' | 'remote', got peer$"):
        s.reset_stream(1, 8, "peer")
    with pytest.raises(TypeError, match=r"fail\(\) argument 'exc' must be BaseException or None, not str"):
        s.fail("boom")
    with pytest.raises(TypeError, match="'trailers' must be HeaderMap"):
        s.send_trailers(1, None)
    with pytest.raises(TypeError):
        s.open_stream("GET", "/", None, True, False)  # handle missing
    sent = s.send_data(1, b"x", 0, False)
    reset = s.reset_stream(1, 8)
    assert (
        repr(sent) == "H2SendVerdict(sent=0, done=false, stopped=H2Stopped(reason=None, conn=false), flags=0)"
    )
    assert repr(reset) == "H2ResetVerdict(stop=None, flags=0)"
    assert (reset.handle, sent.handle, sent.reader_stop) == (None, None, None)
    for record in (sent, reset):
        assert type(record).__module__ == "vantric._vantric"
        with pytest.raises(AttributeError):
            record.flags = 1
        with pytest.raises(TypeError):
            type(record)()


# ---- client: opening, DATA, trailers -----------------------------------------------


def test_open_stream_ids_exhaustion_and_refusals():
    peer = Peer("client")
    assert request(peer, "GET", True) == 1 and request(peer) == 3
    heads = frames(peer.take())
    assert [(f.stream_id, "END_STREAM" in f.flags) for f in heads] == [(1, True), (3, False)]
    peer.s.set_next_stream_id(MAX)
    assert request(peer) == MAX
    assert peer.s.num_open_streams == 3
    with pytest.raises(v.H2ProtocolError) as info:
        request(peer)
    assert info.value.args == (7, "stream ID space exhausted (OverflowedStreamId)")
    assert peer.s.num_open_streams == 3
    # A bad target gives the slot back and raises; so does a missing authority.
    other = Peer("client")
    assert other.s.try_claim_slot()
    with pytest.raises(ValueError, match="invalid method"):
        other.s.open_stream("G T", "/", None, True, False, "h", scheme="https", authority="a")
    assert other.s.try_claim_slot()
    with pytest.raises(ValueError):
        other.s.open_stream("GET", "/", None, True, False, "h")
    assert other.s.num_open_streams == 0
    # After a peer GOAWAY: None, the slot back, and is_closed.
    other.s.recv_go_away(other.event(GoAwayFrame(0, 0, 0)))
    assert other.s.is_closed() and not other.s.is_failed()
    assert other.s.goaway_info() == (0, 0, b"")
    assert request(other) is None and other.s.num_open_streams == 0


def test_send_data_limits_and_credit():
    peer = Peer("client")
    sid = request(peer)
    peer.take()
    body = bytes(40000)
    offsets, results = 0, []
    while True:
        verdict = peer.s.send_data(sid, body, offsets, True)
        results.append((verdict.sent, verdict.done, verdict.flags))
        offsets += verdict.sent
        if verdict.done:
            break
    assert results == [(16384, False, WAKE), (16384, False, WAKE), (7232, True, WAKE)]
    data = frames(peer.take())
    assert [len(f.data) for f in data] == [16384, 16384, 7232] and "END_STREAM" in data[-1].flags
    assert peer.s.send_data(sid, b"x", 0, False).stopped is not None
    # A full send buffer waits for credit_written().
    small = Peer("client", max_send_buf_size=1000)
    sid = request(small)
    assert small.s.send_data(sid, bytes(5000), 0, False).sent == 1000
    blocked = small.s.send_data(sid, bytes(5000), 1000, False)
    assert (blocked.sent, blocked.done, blocked.flags) == (0, False, 0)
    small.take()
    assert small.s.credit_written() == ["req"]
    assert small.s.send_data(sid, bytes(5000), 1000, False).sent == 1000
    # Empty data with end_stream: one empty DATA frame.
    empty = small.s.send_data(sid, b"", 0, True)
    assert (empty.sent, empty.done) == (0, True)
    assert [(len(f.data), "END_STREAM" in f.flags) for f in frames(small.take())][-1] == (0, True)


# ---- server: heads, the date rule, the early answer ---------------------------------


def test_response_heads_date_rule_and_malformed_fields():
    peer = Peer()
    peer.open(1, end_stream=True, spare="one")
    peer.open(3, end_stream=True, spare="three")
    peer.open(5, spare="five")
    with pytest.raises(v.H2UserError) as info:
        peer.s.send_response_head(1, 200, HeaderMap([("connection", "close")]), True)
    assert info.value.args == ("malformed_headers", "malformed headers")
    with pytest.raises(ValueError, match="^invalid status: 1000$"):
        peer.s.send_response_head(1, 1000, None, True)
    assert not peer.s.has_pending()
    done = peer.s.send_response_head(1, 200, None, True)
    assert (done.done, done.handle, done.flags) == (True, None, WAKE)
    peer.s.send_response_head(3, 200, HeaderMap([("date", "yesterday")]), False)
    # Stream 5 is answered before its request body is in: reset with NO_ERROR.
    early = peer.s.send_response_head(5, 413, None, True)
    assert early.handle == "five" and repr(early.reader_stop) == "H2Stopped(reason=Some(0), conn=false)"
    conn = H2Connection(H2Configuration(client_side=True, header_encoding="utf-8"))
    conn.initiate_connection()
    for sid in (1, 3, 5):
        conn.send_headers(sid, REQUEST, end_stream=sid != 5)
    events = conn.receive_data(peer.take())
    heads = {e.stream_id: dict(e.headers) for e in events if isinstance(e, h2_events.ResponseReceived)}
    assert len(heads[1]["date"]) == 29 and heads[3]["date"] == "yesterday"
    assert [(e.stream_id, e.error_code) for e in events if isinstance(e, h2_events.StreamReset)] == [(5, 0)]
    no_date = Peer(auto_date_header=False)
    no_date.open(1, end_stream=True)
    no_date.s.send_response_head(1, 204, None, True)
    (head,) = frames(no_date.take())
    assert b"date" not in head.data
    # Trailers end a response; a stream the peer reset gets its stop back.
    trailers = peer.s.send_trailers(3, HeaderMap([("grpc-status", "0")]))
    assert trailers.done and "END_STREAM" in frames(peer.take())[0].flags
    peer.open(7, spare="seven")
    peer.s.recv_data(peer.data(7, b"partial"))
    peer.s.recv_reset(peer.event(RstStreamFrame(7, 2)))
    stopped = peer.s.send_response_head(7, 200, None, False)
    assert repr(stopped.stopped) == "H2Stopped(reason=Some(2), conn=false)" and not peer.s.has_pending()


# ---- resets and capacity ------------------------------------------------------------


def test_resets_and_their_stops():
    peer = Peer(max_local_error_reset_streams=2)
    peer.open(1, spare="one")
    peer.open(3, spare="three")
    cancelled = peer.s.reset_stream(1, 8)
    assert (cancelled.handle, cancelled.stop, cancelled.flags) == ("one", None, WAKE)
    assert repr(peer.s.reset_stream(3, 2, "remote").stop) == "H2Stopped(reason=Some(2), conn=false)"
    assert peer.s.reset_stream(3, 2).handle is None  # gone
    assert [(f.stream_id, f.error_code) for f in frames(peer.take())] == [(1, 8), (3, 2)]
    unknown = peer.s.reset_on_error(9, 1)
    assert (unknown.handle, unknown.flags) == (None, WAKE) and peer.s.in_reset_store(9)
    assert peer.s.recv_data(peer.data(9, b"late")).handle is None
    assert peer.s.reset_on_error(11, 1).handle is None
    with pytest.raises(v.H2ProtocolError) as info:
        peer.s.reset_on_error(13, 1)
    assert info.value.args == (11, "too many stream resets")
    assert peer.s.local_error_resets == 3
    # A reader closed after the body ended: no frame, the stream's octets go back.
    peer.open(15, spare="fifteen")
    peer.s.recv_data(peer.data(15, b"x" * 100, end_stream=True))
    peer.take()
    closed = peer.s.aclose_body(15)
    assert (closed.handle, closed.stop) == ("fifteen", None)
    assert not peer.s.has_pending() and peer.s.stream_recv_unreleased(15) == 0
    assert peer.s.release_capacity(15, 100) == 0  # reclaimed already


def test_release_capacity_and_the_data_budget():
    peer = Peer()
    peer.open(1)
    data = peer.s.recv_data(peer.data(1, b"x" * 16000))
    peer.s.recv_data(peer.data(1, b"y" * 16000))
    peer.s.recv_data(peer.data(1, b"z" * 10))
    assert peer.s.release_capacity(1, 16000) == 0  # below half the window
    assert peer.s.release_capacity(1, 16010) == WAKE
    updates = [(f.stream_id, f.window_increment) for f in frames(peer.take())]
    assert updates == [(1, 32010), (0, 32010)]
    assert peer.s.release_capacity(99, 10) == 0
    charged = peer.s.stream_data_budget_charged(1)
    before = peer.s.data_frame_budget_available
    peer.s.release_data_frame(1, 10)
    assert peer.s.data_frame_budget_available == before + min(charged, 246)
    assert data.budgeted


def test_accepting_a_request_reset_before_accept():
    peer = Peer(max_pending_accept_reset_streams=1)
    peer.open(1, spare="one")
    peer.s.recv_reset(peer.event(RstStreamFrame(1, 8)))
    peer.open(3, spare="three")
    peer.s.accepted(1)
    peer.s.accepted(3)
    # The place of the reset-before-accept is free again.
    assert peer.s.recv_reset(peer.event(RstStreamFrame(3, 8)))[0] == "three"


# ---- the end of the connection -------------------------------------------------------


def test_fail_conn_error_and_goaway():
    peer = Peer("client")
    one = request(peer, handle="one")
    first, second = RuntimeError("first"), RuntimeError("second")
    assert peer.s.conn_error() is None
    pairs = peer.s.fail(first)
    assert [(h, repr(stop)) for h, stop in pairs] == [("one", "H2Stopped(reason=None, conn=true)")]
    assert peer.s.fail(second) == [] and peer.s.conn_error() is first
    assert peer.s.is_failed() and peer.s.is_closed() and request(peer) is None
    assert not peer.s.has_stream(one)  # aborted and closed out
    assert peer.s.send_data(one, b"x", 0, False).stopped is not None
    closed = Peer("client")
    closed.s.fail(None, "connection closed: transport lost")
    err = closed.s.conn_error()
    assert isinstance(err, v.ConnectionClosedError) and err.args == ("connection closed: transport lost",)
    assert closed.s.conn_error() is not err  # a fresh one each time
    server = Peer()
    server.open(1)
    assert server.s.send_goaway(2) == WAKE
    (goaway,) = frames(server.take())
    assert (goaway.last_stream_id, goaway.error_code) == (1, 2)
    client = Peer("client")
    client.s.send_goaway(0)
    assert frames(client.take())[0].last_stream_id == 0


def test_no_reference_leaks():
    def exchange():
        peer = Peer("client")
        sid = request(peer, handle=object())
        peer.s.send_data(sid, b"abc", 0, False)
        peer.s.send_trailers(sid, HeaderMap([("x", "y")]))
        peer.s.reset_stream(sid, 8)
        peer.s.fail(RuntimeError("x"))
        peer.s.conn_error()

    server = Peer()
    server.open(1, spare=object())
    assert_no_leaks(
        [
            exchange,
            swallowing(server.s.send_response_head, 1, 200, HeaderMap([("connection", "x")]), False),
            swallowing(server.s.reset_stream, 1, 8, "nobody"),
            lambda: server.s.reset_stream(99, 8),
        ]
    )


def test_senders_race_the_writer():
    peer = Peer("client", max_send_buf_size=4096)
    peer.s.recv_window_update(peer.event(WindowUpdateFrame(0, MAX - 65535)))
    peer.s.recv_settings(peer.settings(initial_window_size=MAX))
    body = bytes(50000)
    written = []
    done = threading.Event()

    def sender():
        sid = request(peer, handle=threading.current_thread().name)
        offset = 0
        while True:
            verdict = peer.s.send_data(sid, body, offset, True)
            offset += verdict.sent
            if verdict.done:
                return

    def writer():
        while not done.is_set() or peer.s.has_pending():
            view, _ = peer.s.take_pending()
            written.append(bytes(view))
            view.release()
            peer.s.credit_written()

    senders = [threading.Thread(target=sender) for _ in range(4)]
    pump = threading.Thread(target=writer)
    pump.start()
    for thread in senders:
        thread.start()
    for thread in senders:
        thread.join()
    done.set()
    pump.join()
    data = [f for f in frames(b"".join(written)) if f.type == 0]
    assert sorted({f.stream_id for f in data}) == [1, 3, 5, 7]
    for sid in (1, 3, 5, 7):
        assert sum(len(f.data) for f in data if f.stream_id == sid) == len(body)
    assert peer.s.num_streams == 4 and peer.s.num_open_streams == 4  # the responses are still to come


# ---- h2 as the peer ------------------------------------------------------------------


class Wire:
    """Our H2Streams and an h2 connection joined in memory, pumped until quiet."""

    def __init__(self, role, **overrides):
        self.s = v.H2Streams(role, **{**ARGS, **overrides})
        self.h2 = H2Connection(H2Configuration(client_side=role == "server", header_encoding="utf-8"))
        self.h2.initiate_connection()
        self.s.begin()
        self.h2_events, self.bodies, self.heads, self.resets, self.flags = [], {}, {}, [], 0
        self.pump()

    def pump(self):
        while True:
            moved = False
            if self.s.has_pending():
                view, _ = self.s.take_pending()
                data = bytes(view)
                view.release()
                self.s.credit_written()
                self.h2_events += self.h2.receive_data(data)
                moved = True
            out = self.h2.data_to_send()
            if out:
                for event in self.s.receive(out):
                    self.apply(event)
                self.flags |= self.s.maybe_goaway_reply()
                moved = True
            if not moved:
                return

    def apply(self, event):
        s = self.s
        if isinstance(event, v.H2FrameHeaders):
            verdict = s.recv_headers(event, "spare" if s.is_server else None)
            self.heads[event.stream_id] = event
            self.flags |= verdict.flags
        elif isinstance(event, v.H2FrameData):
            verdict = s.recv_data(event)
            if verdict.payload is not None:
                self.bodies[event.stream_id] = self.bodies.get(event.stream_id, b"") + verdict.payload
                s.release_capacity(event.stream_id, len(verdict.payload))
                if verdict.budgeted:
                    s.release_data_frame(event.stream_id, len(verdict.payload))
        elif isinstance(event, v.H2FrameSettings):
            s.recv_settings(event)
        elif isinstance(event, v.H2FrameWindowUpdate):
            s.recv_window_update(event)
        elif isinstance(event, v.H2FramePing):
            self.flags |= s.recv_ping(event)
        elif isinstance(event, v.H2FrameGoAway):
            s.recv_go_away(event)
        elif isinstance(event, v.H2FrameRstStream):
            self.resets.append((event.stream_id, s.recv_reset(event)))

    def send_all(self, sid, body, end_stream=True):
        offset = 0
        while True:
            verdict = self.s.send_data(sid, body, offset, end_stream)
            offset += verdict.sent
            if verdict.done:
                return
            assert verdict.stopped is None
            if verdict.sent == 0:
                self.pump()  # wait for WINDOW_UPDATE credit

    def h2_of(self, kind):
        return [e for e in self.h2_events if isinstance(e, kind)]


def test_client_against_h2_server():
    wire = Wire("client")
    # GET: a head with END_STREAM, answered with a body.
    assert wire.s.try_claim_slot()
    get = wire.s.open_stream(
        "GET",
        "/index",
        HeaderMap([("accept", "*/*")]),
        True,
        False,
        "get",
        scheme="https",
        authority="example.com",
    )
    wire.pump()
    (received,) = wire.h2_of(h2_events.RequestReceived)
    assert dict(received.headers)[":path"] == "/index" and dict(received.headers)["accept"] == "*/*"
    wire.h2.send_headers(get, [(":status", "200")])
    wire.h2.send_data(get, b"hello", end_stream=True)
    wire.pump()
    assert wire.heads[get].status == 200 and wire.bodies[get] == b"hello"
    assert not wire.s.has_stream(get) and wire.s.num_open_streams == 0

    # POST of 200000 octets: four times the initial window, so it goes on
    # only as h2 returns credit.
    assert wire.s.try_claim_slot()
    post = wire.s.open_stream("POST", "https://example.com/upload", None, False, False, "post")
    body = bytes(range(256)) * 781 + b"tail"

    def acknowledge():
        for event in wire.h2_events:
            if isinstance(event, h2_events.DataReceived) and not getattr(event, "_acked", False):
                wire.h2.acknowledge_received_data(event.flow_controlled_length, event.stream_id)
                event._acked = True

    original = wire.pump

    def pump_with_credit():
        original()
        acknowledge()
        original()

    wire.pump = pump_with_credit
    wire.send_all(post, body, end_stream=False)
    wire.s.send_trailers(post, HeaderMap([("x-checksum", "ok")]))
    wire.pump()
    got = b"".join(e.data for e in wire.h2_of(h2_events.DataReceived) if e.stream_id == post)
    assert got == body
    (trailers,) = wire.h2_of(h2_events.TrailersReceived)
    assert dict(trailers.headers) == {"x-checksum": "ok"}
    wire.h2.send_headers(post, [(":status", "201")], end_stream=True)
    wire.pump()
    assert wire.heads[post].status == 201 and not wire.s.has_stream(post)  # gone once written

    # A reset: h2 sees CANCEL and the stream ends on both sides.
    assert wire.s.try_claim_slot()
    doomed = wire.s.open_stream("GET", "https://example.com/slow", None, True, False, "doomed")
    wire.pump()
    verdict = wire.s.reset_stream(doomed, 8)
    assert verdict.handle == "doomed"
    wire.pump()
    assert [(e.stream_id, e.error_code) for e in wire.h2_of(h2_events.StreamReset)] == [(doomed, 8)]
    assert not wire.s.is_failed()


def test_graceful_shutdown_seen_by_h2_client():
    wire = Wire("server")
    wire.h2.send_headers(1, REQUEST, end_stream=True)
    wire.pump()
    assert wire.s.begin_graceful_shutdown() == WAKE
    assert wire.s.begin_graceful_shutdown() == 0
    view, _ = wire.s.take_pending()
    batch = bytes(view)
    view.release()
    goaway, ping = frames(batch)
    assert (goaway.last_stream_id, goaway.error_code) == (MAX, 0)
    assert (ping.opaque_data, ping.flags) == (b"SHUTDOWN", set())
    (terminated,) = wire.h2.receive_data(batch[:17])
    assert (terminated.last_stream_id, terminated.error_code) == (MAX, 0)
    # h2 refuses any frame once it has seen a GOAWAY, so the client's ACK of
    # the PING is written by hand, as h2 would write it.
    ack = PingFrame(0, b"SHUTDOWN")
    ack.flags.add("ACK")
    (event,) = wire.s.receive(ack.serialize())
    assert wire.s.recv_ping(event) == WAKE  # no stream is active: not yet STOP_ACCEPTING
    assert wire.s.shutdown_final and wire.s.max_stream_id == 1
    (final,) = frames(wire.s.take_pending()[0].tobytes())
    assert (final.last_stream_id, final.error_code) == (1, 0)
    (terminated,) = wire.h2.receive_data(final.serialize())
    assert terminated.last_stream_id == 1
    # The request already in is still answered; a later one is ignored.
    verdict = wire.s.send_response_head(1, 200, None, True)
    assert verdict.flags & STOP_ACCEPTING
    late = HeadersFrame(3, hpack.Encoder().encode(REQUEST))
    late.flags.add("END_HEADERS")
    (event,) = wire.s.receive(late.serialize())
    assert wire.s.recv_headers(event, "spare").kind == v.H2_HEADERS_IGNORED
