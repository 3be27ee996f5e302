"""H2Streams receive path: each frame event applied through its recv_* method, the
verdict records, the flags, and an h2 client as the independent peer."""

import gc
import inspect
import threading
import weakref

import hpack
import pytest
from h2 import events as h2_events
from h2.config import H2Configuration
from h2.connection import H2Connection
from hyperframe.frame import (
    DataFrame,
    GoAwayFrame,
    HeadersFrame,
    PingFrame,
    RstStreamFrame,
    SettingsFrame,
    WindowUpdateFrame,
)

from conftest import assert_no_leaks, swallowing
from test_h2_streams import ARGS, frames
from vantric import _vantric as v

MAX = 2**31 - 1
WAKE, SLOT_FREED, CONN_DONE, STOP_ACCEPTING = (
    v.H2_FLAG_WAKE,
    v.H2_FLAG_SLOT_FREED,
    v.H2_FLAG_CONN_DONE,
    v.H2_FLAG_STOP_ACCEPTING,
)
REQUEST = [(":method", "GET"), (":scheme", "https"), (":path", "/"), (":authority", "a")]


class Peer:
    """The other end, writing frames with hyperframe and hpack into an H2Streams."""

    def __init__(self, role="server", **overrides):
        self.s = v.H2Streams(role, **{**ARGS, **overrides})
        self.encoder = hpack.Encoder()
        if role == "server":
            assert self.s.receive(v.H2_PREFACE) == []

    def events(self, *frames):
        return self.s.receive(b"".join(f.serialize() for f in frames))

    def event(self, frame):
        (event,) = self.events(frame)
        return event

    def events_raw(self, data):
        (event,) = self.s.receive(data)
        return event

    def headers(self, sid, fields=REQUEST, end_stream=False):
        frame = HeadersFrame(sid, self.encoder.encode(fields))
        frame.flags.add("END_HEADERS")
        if end_stream:
            frame.flags.add("END_STREAM")
        return self.event(frame)

    def data(self, sid, payload, end_stream=False, pad=0):
        frame = DataFrame(sid, payload)
        if end_stream:
            frame.flags.add("END_STREAM")
        if pad:
            frame.flags.add("PADDED")
            frame.pad_length = pad
        return self.event(frame)

    def settings(self, ack=False, **values):
        frame = SettingsFrame(0, {getattr(SettingsFrame, k.upper()): n for k, n in values.items()})
        if ack:
            frame.flags.add("ACK")
        return self.event(frame)

    def open(self, sid, fields=REQUEST, end_stream=False, spare="h"):
        verdict = self.s.recv_headers(self.headers(sid, fields, end_stream), spare)
        assert verdict.kind == v.H2_HEADERS_OPENED
        return verdict

    def take(self):
        view, _ = self.s.take_pending()
        data = bytes(view)
        view.release()
        return data


def response(status, *more):
    return [(":status", str(status)), *more]


def open_local(peer, handle, end_stream, is_head=False):
    """A request stream of ours, its head taken off the wire; returns its id."""
    assert peer.s.try_claim_slot()
    sid = peer.s.open_stream(
        "HEAD" if is_head else "GET", "https://example.com/", None, end_stream, is_head, handle
    )
    peer.take()
    return sid


def client_with_stream(is_head=False, **overrides):
    peer = Peer("client", **overrides)
    assert open_local(peer, "s1", True, is_head) == 1
    return peer


def args_of(info):
    return info.value.args


# ---- the verdict records and the method surface ------------------------------------

METHODS = [
    "recv_headers",
    "recv_data",
    "recv_window_update",
    "recv_reset",
    "recv_settings",
    "recv_ping",
    "recv_go_away",
]


def test_signatures_and_frame_type_errors():
    s = Peer().s
    assert str(inspect.signature(s.recv_headers)) == "(frame, spare=None)"
    assert str(inspect.signature(s.maybe_goaway_reply)) == "()"
    for name in METHODS[1:]:
        assert str(inspect.signature(getattr(s, name))) == "(frame)"
        with pytest.raises(TypeError, match=rf"H2Streams.{name}\(\) argument 'frame' must be H2Frame"):
            getattr(s, name)(b"x")
    # The event of another frame class is refused the same way.
    ping = Peer("client").event(PingFrame(0, b"12345678"))
    with pytest.raises(TypeError, match="'frame' must be H2FrameHeaders, not vantric._vantric.H2FramePing$"):
        s.recv_headers(ping)
    with pytest.raises(TypeError):
        s.recv_ping()


def test_verdict_records_are_frozen():
    peer = Peer()
    handle_obj = object()
    headers = peer.open(1, spare=handle_obj)
    assert (headers.kind, headers.handle, headers.stream_id, headers.eof, headers.flags) == (
        1,
        handle_obj,
        1,
        False,
        0,
    )
    assert repr(headers) == "H2RecvHeadersVerdict(kind=1, stream_id=1, eof=false, flags=0)"
    data = peer.s.recv_data(peer.data(1, b"abc"))
    assert repr(data) == "H2RecvDataVerdict(len=3, budgeted=true, eof=false, flags=0)"
    for record, attr in [(headers, "kind"), (data, "payload")]:
        with pytest.raises(AttributeError):
            setattr(record, attr, 1)
        with pytest.raises(AttributeError):
            record.extra = 1
        with pytest.raises(TypeError):
            type(record)()
        with pytest.raises(TypeError):

            class Sub(type(record)):
                pass

    assert type(headers).__module__ == "vantric._vantric"


# ---- HEADERS at a server -----------------------------------------------------------


def test_server_opens_streams():
    peer = Peer(max_concurrent_streams=1)
    verdict = peer.open(3, end_stream=True, spare="three")
    assert (verdict.handle, verdict.eof) == ("three", True)
    assert peer.s.last_processed_id == 3 and peer.s.num_streams == 1
    assert peer.s.is_recv_end_stream(3)
    # Ids must rise and be odd: 1 after 3, and 2, name themselves.
    for sid in (1, 2):
        with pytest.raises(v.H2ProtocolError) as info:
            peer.s.recv_headers(peer.headers(sid), "x")
        assert args_of(info) == (1, f"invalid new stream id {sid}")
    # One stream is active already: the next is refused, not the connection.
    with pytest.raises(v.H2StreamError) as info:
        peer.s.recv_headers(peer.headers(5), "x")
    assert args_of(info) == (5, 7, "library")


def test_server_needs_a_spare():
    peer = Peer()
    with pytest.raises(ValueError, match="^recv_headers: the server role needs a spare stream handle$"):
        peer.s.recv_headers(peer.headers(1))
    assert not peer.s.has_stream(1) and peer.s.num_streams == 0


def test_server_ignores_ids_beyond_its_final_goaway_and_lately_reset_ids(testing):
    peer = Peer()
    peer.open(1)
    peer.s.set_max_stream_id(1)
    verdict = peer.s.recv_headers(peer.headers(3), "x")
    assert (verdict.kind, verdict.handle, verdict.stream_id) == (v.H2_HEADERS_IGNORED, None, 3)
    assert not peer.s.has_stream(3)


def test_data_beyond_the_content_length():
    peer = Peer()
    peer.open(1, REQUEST + [("content-length", "5")])
    with pytest.raises(v.H2StreamError) as info:
        peer.s.recv_data(peer.data(1, b"123456"))
    assert args_of(info) == (1, 1, "library")
    assert peer.s.conn_recv_available == 65535  # the octets went back


# ---- HEADERS at a client -----------------------------------------------------------


@pytest.mark.parametrize(
    "fields, end_stream, is_head, error",
    [
        (response(200, ("content-length", "5")), True, False, (1, 1, "library")),
        (response(304, ("content-length", "5")), True, False, None),
        (response(200, ("content-length", "5")), True, True, None),
        (response(103), True, False, (1, 1, "library")),
    ],
)
def test_response_heads(fields, end_stream, is_head, error):
    peer = client_with_stream(is_head=is_head)
    frame = peer.headers(1, fields, end_stream)
    if error:
        with pytest.raises(v.H2StreamError) as info:
            peer.s.recv_headers(frame)
        assert args_of(info) == error
    else:
        verdict = peer.s.recv_headers(frame)
        assert (verdict.kind, verdict.handle, verdict.eof) == (v.H2_HEADERS_HEAD, "s1", end_stream)


# ---- DATA --------------------------------------------------------------------------


def test_data_delivery_without_a_copy_and_the_budget():
    peer = Peer()
    peer.open(1, REQUEST + [("content-length", "8")])
    frame = peer.data(1, b"abc")
    verdict = peer.s.recv_data(frame)
    assert verdict.payload is frame.data
    assert (verdict.handle, verdict.budgeted, verdict.eof, verdict.flags) == ("h", True, False, 0)
    assert peer.s.stream_data_budget_charged(1) == 253
    empty = peer.s.recv_data(peer.data(1, b""))
    assert (empty.payload, empty.budgeted) == (None, False)
    assert peer.s.data_frame_budget_empty_frames == 1
    last = peer.s.recv_data(peer.data(1, b"12345", True))
    assert (last.payload, last.budgeted, last.eof) == (b"12345", False, True)
    assert peer.s.stream_recv_unreleased(1) == 8 and peer.s.is_recv_end_stream(1)
    # Half-closed (remote): STREAM_CLOSED for the stream, not the connection.
    with pytest.raises(v.H2StreamError) as info:
        peer.s.recv_data(peer.data(1, b"x"))
    assert args_of(info) == (1, 5, "library")


def test_data_on_a_stream_the_server_reset_a_moment_ago(testing):
    peer = Peer()
    peer.open(1)
    peer.open(3)
    assert peer.s.reset_stream(1, 8, "library").handle == "h"
    testing.h2_streams_remove(peer.s, 3)
    assert peer.s.reset_on_error(3, 8).handle is None
    peer.take()
    flags = []
    for sid in (1, 3, 1):
        verdict = peer.s.recv_data(peer.data(sid, b"z" * 12000))
        assert (verdict.handle, verdict.payload) == (None, None)
        flags.append(verdict.flags)
        assert peer.s.conn_recv_available == 65535
    # The window is owed an update once half of what is left of it is: after
    # the second frame (24000 >= 41535 / 2).
    assert flags == [0, WAKE, 0]
    (update,) = frames(peer.take())
    assert isinstance(update, WindowUpdateFrame)
    assert (update.stream_id, update.window_increment) == (0, 24000)


# ---- WINDOW_UPDATE and RST_STREAM --------------------------------------------------


def test_window_updates():
    peer = Peer("client")
    assert open_local(peer, "one", False, False) == 1
    assert open_local(peer, "three", True, False) == 3
    # Only senders the connection window stopped wake on a connection update.
    assert peer.s.recv_window_update(peer.event(WindowUpdateFrame(0, 10))) == []
    assert peer.s.conn_send_window == 65545
    assert peer.s.recv_window_update(peer.event(WindowUpdateFrame(3, 10))) == ["three"]
    with pytest.raises(v.H2FlowControlError):
        peer.s.recv_window_update(peer.event(WindowUpdateFrame(0, MAX)))
    with pytest.raises(v.H2StreamError) as info:
        peer.s.recv_window_update(peer.event(WindowUpdateFrame(1, MAX)))
    assert args_of(info) == (1, 3, "library")
    peer.s.set_next_stream_id(9)
    assert peer.s.recv_window_update(peer.event(WindowUpdateFrame(7, 1))) == []
    with pytest.raises(v.H2ProtocolError) as info:
        peer.s.recv_window_update(peer.event(WindowUpdateFrame(9, 1)))
    assert args_of(info) == (1, "frame on idle stream 9")


def test_resets():
    peer = Peer("client")
    assert open_local(peer, "one", True, False) == 1
    with pytest.raises(v.H2ProtocolError) as info:
        # RST_STREAM on stream 0, which hyperframe will not write.
        peer.s.recv_reset(peer.events_raw(b"\x00\x00\x04\x03\x00\x00\x00\x00\x00\x00\x00\x00\x08"))
    assert args_of(info) == (1, "RST_STREAM on stream 0")
    handle, stop, notify_body, flags = peer.s.recv_reset(peer.event(RstStreamFrame(1, 8)))
    assert (handle, repr(stop), notify_body, flags) == (
        "one",
        "H2Stopped(reason=Some(8), conn=false)",
        True,
        SLOT_FREED,
    )
    assert not peer.s.has_stream(1) and peer.s.num_open_streams == 0
    assert peer.s.recv_reset(peer.event(RstStreamFrame(1, 8))) is None
    with pytest.raises(v.H2ProtocolError):
        peer.s.recv_reset(peer.event(RstStreamFrame(5, 8)))


def test_resets_before_accept_are_capped():
    peer = Peer(max_pending_accept_reset_streams=2)
    for sid in (1, 3):
        peer.open(sid)
        assert peer.s.recv_reset(peer.event(RstStreamFrame(sid, 8)))[2] is True
    peer.open(5)
    with pytest.raises(v.H2ProtocolError) as info:
        peer.s.recv_reset(peer.event(RstStreamFrame(5, 8)))
    assert args_of(info) == (11, "too_many_resets")


# ---- SETTINGS ----------------------------------------------------------------------


def test_settings_ack_applies_our_frame_size_to_the_decoder():
    peer = Peer(max_frame_size=32768)
    with pytest.raises(v.H2ProtocolError) as info:
        peer.s.recv_settings(peer.settings(ack=True))
    assert args_of(info) == (1, "received unexpected settings ack")
    peer.s.begin()
    peer.open(1)
    big = DataFrame(1, b"x" * 20000).serialize()
    # Before the acknowledgement the decoder enforces the default 16384.
    with pytest.raises(v.H2ProtocolError):
        Peer(max_frame_size=32768).s.receive(big)
    assert peer.s.recv_settings(peer.settings(ack=True)) == (False, [], 0)
    (event,) = peer.s.receive(big)
    assert len(peer.s.recv_data(event).payload) == 20000


def test_peer_settings():
    peer = Peer("client")
    assert open_local(peer, "one", False, False) == 1
    assert open_local(peer, "three", True, False) == 3
    initial, wake, flags = peer.s.recv_settings(
        peer.settings(
            initial_window_size=70000, max_concurrent_streams=7, max_frame_size=20000, header_table_size=0
        )
    )
    assert (initial, wake, flags) == (True, ["one"], WAKE | SLOT_FREED)
    assert (peer.s.stream_limit, peer.s.peer_max_concurrent_streams) == (7, 7)
    assert (peer.s.peer_max_frame_size, peer.s.peer_initial_window_size) == (20000, 70000)
    assert peer.s.stream_send_window(1) == 70000 and peer.s.stream_send_window(3) == 65535
    (ack,) = frames(peer.take())
    assert isinstance(ack, SettingsFrame) and "ACK" in ack.flags
    # Lowered to 0: the window goes to 0 (negative inside), nobody is woken.
    assert peer.s.recv_settings(peer.settings(initial_window_size=0)) == (False, [], WAKE)
    assert peer.s.stream_send_window(1) == 0
    assert peer.s.recv_window_update(peer.event(WindowUpdateFrame(1, MAX))) == ["one"]
    with pytest.raises(v.H2FlowControlError) as info:
        peer.s.recv_settings(peer.settings(initial_window_size=1))
    assert args_of(info) == (3,)


# ---- PING, GOAWAY and the reply -----------------------------------------------------


def test_pings():
    client = Peer("client")
    assert client.s.recv_ping(client.event(PingFrame(0, b"12345678"))) == WAKE
    (pong,) = frames(client.take())
    assert pong.opaque_data == b"12345678" and "ACK" in pong.flags
    shutdown_ack = PingFrame(0, b"SHUTDOWN")
    shutdown_ack.flags.add("ACK")
    assert client.s.recv_ping(client.event(shutdown_ack)) == 0
    client.s.begin_graceful_shutdown()
    client.take()
    assert client.s.recv_ping(client.event(shutdown_ack)) == 0  # no phase 2 for a client

    server = Peer()
    assert server.s.recv_ping(server.event(shutdown_ack)) == 0  # not shutting down
    server.open(1)
    server.s.begin_graceful_shutdown()
    server.take()
    assert server.s.recv_ping(server.event(shutdown_ack)) == WAKE
    assert server.s.shutdown_final and server.s.max_stream_id == 1
    (goaway,) = frames(server.take())
    assert (goaway.last_stream_id, goaway.error_code) == (1, 0)
    assert server.s.recv_ping(server.event(shutdown_ack)) == 0
    assert server.s.recv_reset(server.event(RstStreamFrame(1, 8)))[3] == STOP_ACCEPTING


def test_goaway_aborts_unprocessed_requests_and_is_answered():
    peer = Peer("client")
    for sid in (1, 3, 5):
        assert open_local(peer, f"s{sid}", False, False) == sid
    pairs, flags = peer.s.recv_go_away(peer.event(GoAwayFrame(0, 3, 2, b"bye")))
    assert [(h, repr(stop)) for h, stop in pairs] == [("s5", "H2Stopped(reason=Some(2), conn=true)")]
    assert flags == SLOT_FREED and peer.s.num_streams == 2
    assert repr(peer.s).endswith("goaway=true)")
    with pytest.raises(v.H2ProtocolError) as info:
        peer.s.recv_go_away(peer.event(GoAwayFrame(0, 4)))
    assert args_of(info) == (1, "GOAWAY may not raise last_stream_id")
    pairs, _ = peer.s.recv_go_away(peer.event(GoAwayFrame(0, 1)))  # lower: accepted
    assert [h for h, _ in pairs] == ["s3"]
    assert peer.s.maybe_goaway_reply() == 0
    flags = peer.s.recv_reset(peer.event(RstStreamFrame(1, 0)))[3]
    assert flags == SLOT_FREED | WAKE | CONN_DONE
    assert peer.s.goaway_replied and peer.s.maybe_goaway_reply() == 0
    assert repr(peer.s).endswith("failed=true, goaway=true)")
    (goaway,) = frames(peer.take())
    assert (goaway.last_stream_id, goaway.error_code) == (0, 0)


def test_graceful_goaway_is_not_answered():
    peer = Peer()
    assert peer.s.recv_go_away(peer.event(GoAwayFrame(0, MAX))) == ([], SLOT_FREED)
    assert peer.s.maybe_goaway_reply() == 0 and not peer.s.goaway_replied
    peer.s.recv_go_away(peer.event(GoAwayFrame(0, 0)))
    assert peer.s.maybe_goaway_reply() == WAKE | CONN_DONE


def test_wake_flag_means_the_buffer_grew():
    peer = Peer()
    peer.open(1)
    peer.open(3)
    peer.s.reset_stream(3, 8, "library")
    ignored = [lambda: peer.s.recv_data(peer.data(3, b"x" * 16384)).flags] * 3
    steps = [
        *ignored,
        lambda: peer.s.recv_ping(peer.event(PingFrame(0, b"abcdefgh"))),
        lambda: peer.s.recv_settings(peer.settings(max_frame_size=16384))[2],
        lambda: peer.s.recv_data(peer.data(1, b"x" * 100, pad=255)).flags,
        lambda: peer.s.recv_data(peer.data(1, b"x" * 100)).flags,
        lambda: peer.s.recv_headers(peer.headers(1, [("t", "1")], True)).flags,
        lambda: peer.s.recv_go_away(peer.event(GoAwayFrame(0, 1)))[1],
        lambda: peer.s.maybe_goaway_reply(),
    ]
    woken = []
    for step in steps:
        peer.take()
        flags = step()
        assert bool(flags & WAKE) == peer.s.has_pending(), step
        woken.append(flags & WAKE)
    assert woken == [0, WAKE, 0, WAKE, WAKE, 0, 0, 0, 0, 0]


# ---- the independent peer ----------------------------------------------------------


def test_h2_client_drives_a_server():
    s = v.H2Streams("server", **{**ARGS, "connection_window": 1 << 20})
    client = H2Connection(H2Configuration(client_side=True, header_encoding="utf-8"))
    client.initiate_connection()
    seen = []

    def pump_to_client():
        view, _ = s.take_pending()
        got = client.receive_data(bytes(view))
        view.release()
        seen.extend(got)

    def apply(event):
        name = type(event).__name__
        if name == "H2FrameHeaders":
            return s.recv_headers(event, f"stream{event.stream_id}")
        method = {
            "H2FrameData": s.recv_data,
            "H2FrameWindowUpdate": s.recv_window_update,
            "H2FrameRstStream": s.recv_reset,
            "H2FrameSettings": s.recv_settings,
            "H2FramePing": s.recv_ping,
            "H2FrameGoAway": s.recv_go_away,
        }[name]
        return method(event)

    def send():
        results = [apply(e) for e in s.receive(client.data_to_send())]
        s.maybe_goaway_reply()
        pump_to_client()
        return results

    s.begin()
    send()
    assert any(isinstance(e, h2_events.RemoteSettingsChanged) for e in seen)
    assert any(isinstance(e, h2_events.SettingsAcknowledged) for e in seen)
    assert s.peer_max_concurrent_streams == client.local_settings.max_concurrent_streams
    send()  # the client's ACK of our SETTINGS applies them
    client.send_headers(1, REQUEST, end_stream=True)
    client.send_headers(3, [(":method", "POST"), *REQUEST[1:], ("content-length", "30000")])
    client.send_data(3, b"p" * 10000, pad_length=255)
    client.send_data(3, b"p" * 16384)
    client.send_data(3, b"p" * 3616, end_stream=True)
    results = send()
    assert [(r.kind, r.handle, r.eof) for r in results[:2]] == [(1, "stream1", True), (1, "stream3", False)]
    body = b"".join(r.payload for r in results[2:])
    assert body == b"p" * 30000 and results[-1].eof
    assert s.stream_recv_unreleased(3) == 30000
    client.increment_flow_control_window(1000)
    client.ping(b"pingpong")
    client.reset_stream(3, error_code=8)
    results = send()
    assert results[0] == []  # no sender was stopped by the connection window
    assert results[1] == WAKE
    assert results[2][:3] == ("stream3", results[2][1], False)
    assert isinstance(results[2][1], v.H2Stopped) and results[2][1].reason == 8
    assert any(isinstance(e, h2_events.PingAckReceived) and e.ping_data == b"pingpong" for e in seen)
    # begin()'s connection update: the padding and the body the reset gave back
    # are below half the window.
    updates = [(e.stream_id, e.delta) for e in seen if isinstance(e, h2_events.WindowUpdated)]
    assert updates == [(0, (1 << 20) - 65535)]
    client.reset_stream(1)
    client.close_connection()
    send()
    assert s.goaway_replied and any(isinstance(e, h2_events.ConnectionTerminated) for e in seen)


# ---- references and threads --------------------------------------------------------


def test_handles_are_released_and_cycles_collected(testing):
    class Handle:
        pass

    peer = Peer()
    handle = Handle()
    ref = weakref.ref(handle)
    verdict = peer.open(1, end_stream=True, spare=handle)
    handle.verdict = verdict  # a cycle through the verdict
    del handle, verdict
    peer.s.recv_reset(peer.event(RstStreamFrame(1, 8)))
    peer.s.accepted(1)  # a request reset before its accept stays until then
    gc.collect()
    assert ref() is None and not peer.s.has_stream(1)


def test_settings_ack_races_the_decoder():
    # The acknowledgement takes the decoder lock inside the state lock while
    # another thread decodes and applies PINGs: neither may deadlock.
    ping = PingFrame(0, b"12345678").serialize() * 20
    for _ in range(30):
        peer = Peer()
        peer.s.begin()
        errors = []

        def decode():
            try:
                for _ in range(20):
                    for event in peer.s.receive(ping):
                        peer.s.recv_ping(event)
            except BaseException as exc:  # pragma: no cover - reported below
                errors.append(exc)

        thread = threading.Thread(target=decode)
        thread.start()
        assert peer.s.recv_settings(peer.settings(ack=True)) == (False, [], 0)
        thread.join()
        assert not errors


def test_no_leaks(testing):
    # Frames written once: building them is hyperframe's work, not ours.
    settings_ack, settings = SettingsFrame(0), SettingsFrame(0, {SettingsFrame.INITIAL_WINDOW_SIZE: 1000})
    settings_ack.flags.add("ACK")
    frame_bytes = [
        f.serialize()
        for f in (
            settings_ack,
            settings,
            DataFrame(1, b"ab"),
            WindowUpdateFrame(0, 5),
            PingFrame(0, b"12345678"),
            RstStreamFrame(1, 8),
            GoAwayFrame(0, 0, 0, b"debug"),
        )
    ]

    def life():
        peer = Peer()
        peer.s.begin()
        peer.open(1, REQUEST + [("content-length", "3")], spare=object())
        ack, settings, data, update, ping, reset, goaway = (peer.s.receive(b)[0] for b in frame_bytes)
        peer.s.recv_settings(ack)
        peer.s.recv_settings(settings)
        peer.s.recv_data(data)
        peer.s.recv_window_update(update)
        peer.s.recv_ping(ping)
        peer.s.recv_reset(reset)
        peer.s.recv_go_away(goaway)
        peer.s.maybe_goaway_reply()
        peer.take()

    peer = Peer()
    peer.open(1)
    headers = peer.headers(1)
    assert_no_leaks(
        [
            life,
            swallowing(peer.s.recv_headers, headers, object()),
            swallowing(peer.s.recv_data, peer.data(3, b"x")),
            swallowing(Peer().s.recv_headers, peer.headers(1)),
        ]
    )
