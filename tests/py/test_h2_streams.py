"""H2Streams: construction, the handshake, inbound bytes, the write batch, slots,
getters, H2Stopped, references and threads; h2 as the independent peer."""

import gc
import inspect
import threading
import weakref

import pytest
from h2 import events as h2_events
from h2.config import H2Configuration
from h2.connection import H2Connection
from hyperframe.frame import Frame, SettingsFrame, WindowUpdateFrame

from conftest import assert_no_leaks, swallowing
from vantric import _vantric as v

MAX = 2**31 - 1
ARGS = dict(
    initial_window_size=65535,
    connection_window=65535,
    max_frame_size=16384,
    max_header_list_size=65536,
    max_send_buf_size=65536,
)


def streams(role="client", **overrides):
    return v.H2Streams(role, **{**ARGS, **overrides})


def frames(data):
    """The frames of a batch (after any client preface) as hyperframe objects."""
    if data.startswith(v.H2_PREFACE):
        data = data[len(v.H2_PREFACE) :]
    out = []
    while data:
        frame, length = Frame.parse_frame_header(data[:9])
        frame.parse_body(memoryview(data[9 : 9 + length]))
        out.append(frame)
        data = data[9 + length :]
    return out


def take(s):
    view, stopping = s.take_pending()
    data = bytes(view)
    view.release()
    return data, stopping


# ---- construction ------------------------------------------------------------------


@pytest.mark.parametrize(
    "overrides, message",
    [
        (dict(role="proxy"), "role must be 'client' or 'server', got proxy"),
        (dict(max_frame_size=16383), "max_frame_size must be in [16384, 16777215], got 16383"),
        (dict(max_frame_size=16777216), "max_frame_size must be in [16384, 16777215], got 16777216"),
        (dict(connection_window=MAX + 1), "window sizes must be <= 2147483647 (RFC 9113 6.9.1)"),
        (dict(initial_window_size=MAX + 1), "window sizes must be <= 2147483647 (RFC 9113 6.9.1)"),
        # The role is checked before the sizes.
        (dict(role="proxy", max_frame_size=1), "role must be 'client' or 'server', got proxy"),
    ],
)
def test_constructor_value_errors(overrides, message):
    role = overrides.pop("role", "client")
    with pytest.raises(ValueError) as info:
        streams(role, **overrides)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "overrides, error, name",
    [
        (dict(max_frame_size="x"), TypeError, "max_frame_size"),
        (dict(max_send_buf_size=-1), OverflowError, "max_send_buf_size"),
        (dict(connection_window=2**32), OverflowError, "connection_window"),
        (dict(enable_push=3), TypeError, "enable_push"),
        (dict(max_local_error_reset_streams="3"), TypeError, "max_local_error_reset_streams"),
    ],
)
def test_constructor_argument_types(overrides, error, name):
    with pytest.raises(error, match=name):
        streams(**overrides)


def test_constructor_signature_and_defaults():
    sig = inspect.signature(v.H2Streams)
    assert list(sig.parameters)[:2] == ["role", "initial_window_size"]
    assert sig.parameters["initial_window_size"].kind is inspect.Parameter.KEYWORD_ONLY
    assert sig.parameters["max_local_error_reset_streams"].default is Ellipsis
    with pytest.raises(TypeError):
        v.H2Streams("client", 65535)
    with pytest.raises(TypeError, match="max_send_buf_size"):
        v.H2Streams("client", **{k: a for k, a in ARGS.items() if k != "max_send_buf_size"})
    s = streams()
    assert (s.max_pending_accept_reset_streams, s.max_local_error_reset_streams) == (20, 1024)
    assert streams(max_local_error_reset_streams=None).max_local_error_reset_streams is None
    assert streams(max_local_error_reset_streams=...).max_local_error_reset_streams == 1024
    assert streams(max_local_error_reset_streams=2).max_local_error_reset_streams == 2
    assert streams(max_pending_accept_reset_streams=3).max_pending_accept_reset_streams == 3
    # The DATA budget: half the connection window above 51201, else 25600.
    for window, budget in [(65535, 32767), (51201, 25600), (1000, 25600), (1048576, 524288)]:
        assert streams(connection_window=window).data_frame_budget_available == budget
    assert streams(data_frame_budget=7).data_frame_budget_available == 7


def test_fresh_state_and_repr():
    c, s = streams(), streams("server", max_concurrent_streams=5)
    assert repr(c) == "H2Streams(role=client, streams=0, active=0, failed=false, goaway=false)"
    assert repr(s) == "H2Streams(role=server, streams=0, active=0, failed=false, goaway=false)"
    assert (c.is_server, s.is_server) == (False, True)
    assert (c.num_streams, c.num_open_streams, c.stream_limit) == (0, 0, None)
    assert (c.max_stream_id, c.last_processed_id, c.local_error_resets) == (MAX, 0, 0)
    assert (c.graceful, c.shutdown_final, c.goaway_replied) == (False, False, False)
    assert (c.conn_send_window, c.conn_recv_available) == (65535, 65535)
    assert (c.peer_initial_window_size, c.peer_max_frame_size, c.peer_max_concurrent_streams) == (
        65535,
        16384,
        None,
    )
    assert c.data_frame_budget_empty_frames == 0
    assert not c.has_pending()
    for attr in ("num_streams", "is_server", "stream_limit"):
        with pytest.raises(AttributeError):
            setattr(c, attr, 1)


# ---- the handshake -----------------------------------------------------------------


def test_client_begin_preface_then_settings():
    c = streams(enable_push=False)
    c.begin()
    assert c.has_pending()
    data, stopping = take(c)
    assert not stopping and not c.has_pending()
    assert data[:24] == v.H2_PREFACE
    (settings,) = frames(data)
    assert isinstance(settings, SettingsFrame)
    assert settings.settings == {
        SettingsFrame.INITIAL_WINDOW_SIZE: 65535,
        SettingsFrame.MAX_FRAME_SIZE: 16384,
        SettingsFrame.MAX_HEADER_LIST_SIZE: 65536,
        SettingsFrame.ENABLE_PUSH: 0,
    }
    c.begin()  # queues nothing more
    assert not c.has_pending()


def test_server_begin_settings_first():
    s = streams("server", max_concurrent_streams=100)
    s.begin()
    data, _ = take(s)
    assert not data.startswith(v.H2_PREFACE)
    (settings,) = frames(data)
    assert settings.settings[SettingsFrame.MAX_CONCURRENT_STREAMS] == 100
    assert SettingsFrame.ENABLE_PUSH not in settings.settings
    # A client never announces MAX_CONCURRENT_STREAMS.
    c = streams(max_concurrent_streams=100)
    c.begin()
    assert SettingsFrame.MAX_CONCURRENT_STREAMS not in frames(take(c)[0])[0].settings


@pytest.mark.parametrize(
    "window, increment",
    [
        (0, None),
        (65535, None),
        (65535 + 32766, None),
        (65535 + 32767, 32767),
        (1048576, 983041),
        (MAX, MAX - 65535),
    ],
)
def test_begin_connection_window_update(window, increment):
    c = streams(connection_window=window)
    c.begin()
    got = frames(take(c)[0])[1:]
    if increment is None:
        assert got == []
    else:
        (update,) = got
        assert isinstance(update, WindowUpdateFrame)
        assert (update.stream_id, update.window_increment) == (0, increment)
    assert c.conn_recv_available == max(window, 65535)


def test_h2_server_accepts_our_client_handshake():
    c = streams(connection_window=1048576, initial_window_size=131072, max_frame_size=32768)
    c.begin()
    peer = H2Connection(config=H2Configuration(client_side=False))
    peer.initiate_connection()
    got = peer.receive_data(take(c)[0])
    kinds = [type(e) for e in got]
    assert kinds == [h2_events.RemoteSettingsChanged, h2_events.WindowUpdated]
    changed = {k: s.new_value for k, s in got[0].changed_settings.items()}
    assert changed[SettingsFrame.INITIAL_WINDOW_SIZE] == 131072
    assert changed[SettingsFrame.MAX_FRAME_SIZE] == 32768
    assert (got[1].stream_id, got[1].delta) == (0, 983041)
    assert peer.outbound_flow_control_window == 1048576
    assert peer.remote_settings.initial_window_size == 131072


# ---- inbound bytes -----------------------------------------------------------------


def test_server_receive_decodes_an_h2_client():
    peer = H2Connection(config=H2Configuration(client_side=True))
    peer.initiate_connection()
    peer.send_headers(
        1,
        [
            (":method", "GET"),
            (":path", "/x"),
            (":scheme", "https"),
            (":authority", "example.com"),
            ("user-agent", "h2"),
        ],
        end_stream=True,
    )
    wire = peer.data_to_send()
    s = streams("server")
    events = []
    for i in range(0, len(wire), 7):  # the preface and frames arrive in pieces
        events += s.receive(wire[i : i + 7])
    assert [type(e) for e in events] == [v.H2FrameSettings, v.H2FrameHeaders]
    settings, headers = events
    assert not settings.ack
    assert (headers.stream_id, headers.end_stream, headers.method, headers.path) == (1, True, "GET", "/x")
    assert (headers.scheme, headers.authority) == ("https", "example.com")
    assert headers.headers.get("user-agent") == b"h2"
    # The state is untouched by decoding.
    assert not s.has_pending() and not s.has_stream(1)


def test_receive_errors_and_types():
    s = streams("server")
    with pytest.raises(v.H2ProtocolError):
        s.receive(b"GET / HTTP/1.1\r\n\r\n" + b"x" * 10)
    c = streams()
    with pytest.raises(TypeError, match="data"):
        c.receive("text")
    # A client expects no preface: a bare SETTINGS ACK decodes.
    (ack,) = c.receive(b"\x00\x00\x00\x04\x01\x00\x00\x00\x00")
    assert isinstance(ack, v.H2FrameSettings) and ack.ack


def test_prime():
    assert streams().prime(b"anything at all") is True
    s = streams("server")
    assert s.prime(v.H2_PREFACE[:12]) is None
    assert s.prime(v.H2_PREFACE[12:] + b"\x00\x00") is True
    # The rest of a SETTINGS ACK completes a frame on the next receive.
    (ack,) = s.receive(b"\x00\x04\x01\x00\x00\x00\x00")
    assert ack.ack
    assert streams("server").prime(b"GET / HTTP/1.1\r\n") is False
    # Seeded octets may hold several frames: all of them decode, in order.
    ping = b"\x00\x00\x08\x06\x00\x00\x00\x00\x00"
    s = streams("server")
    assert s.prime(v.H2_PREFACE + ping + b"12345678" + ping + b"abcd") is True
    assert [e.data for e in s.receive(b"efgh")] == [b"12345678", b"abcdefgh"]


# ---- the write batch ---------------------------------------------------------------


def test_take_pending_on_empty_buffer():
    c = streams()
    view, stopping = c.take_pending()
    assert isinstance(view, memoryview) and view.readonly
    assert (len(view), bytes(view), stopping) == (0, b"", False)
    assert not c.has_pending()
    assert c.credit_written() == []


def test_write_batch_exports_without_copy_and_is_not_registered():
    c = streams()
    c.begin()
    view, _ = c.take_pending()
    batch = view.obj
    assert type(batch).__name__ == "H2WriteBatch"
    assert type(batch).__module__ == "vantric._vantric"
    assert not hasattr(v, "H2WriteBatch")
    assert len(batch) == len(view) == 24 + 9 + 18
    second = memoryview(batch)
    assert second.tobytes() == view.tobytes()
    # Read-only: the buffer cannot be written through.
    with pytest.raises(TypeError):
        view[0] = 0
    with pytest.raises(TypeError):
        type(batch)()
    assert bytes(second)[:24] == v.H2_PREFACE


def test_write_batch_keeps_its_streams_alive():
    class Conn(v.H2Streams):
        pass

    c = Conn("client", **ARGS)
    c.begin()
    view, _ = c.take_pending()
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is not None and bytes(view[:24]) == v.H2_PREFACE
    del view
    gc.collect()
    assert ref() is None


def test_stop_pump():
    c = streams()
    assert take(c)[1] is False
    c.stop_pump()
    assert take(c)[1] is True
    assert take(c)[1] is True


def test_credit_written_wakes_each_stream_once(testing):
    c = streams()
    h1, h3 = object(), object()
    assert testing.h2_streams_add(c, 1, h1) and testing.h2_streams_add(c, 3, h3)
    assert not testing.h2_streams_add(c, 1, h1)
    for sid, data in [(1, b"abc"), (3, b"xy"), (1, b"defgh")]:
        assert testing.h2_streams_queue_data(c, sid, data, False)
    assert c.stream_send_buffered(1) == 8
    view, _ = c.take_pending()
    assert [f.data for f in frames(bytes(view))] == [b"abc", b"xy", b"defgh"]
    del view
    # A frame queued after the take belongs to the next batch.
    testing.h2_streams_queue_data(c, 1, b"later", True)
    # A stream removed between take_pending and credit_written is skipped.
    assert testing.h2_streams_remove(c, 3) is h3
    woken = c.credit_written()
    assert len(woken) == 1 and woken[0] is h1
    assert c.stream_send_buffered(1) == 5
    assert c.credit_written() == []
    take(c)
    assert c.credit_written() == [h1]
    assert c.stream_send_buffered(1) == 0


def test_spare_buffer_reuse(testing):
    c = streams()
    testing.h2_streams_add(c, 1, None)
    testing.h2_streams_queue_data(c, 1, b"x" * 1000, False)
    view, _ = c.take_pending()
    del view  # the batch dies: its buffer becomes the spare, emptied
    testing.h2_streams_queue_data(c, 1, b"y" * 10, True)
    view, _ = c.take_pending()
    assert len(view) == 19
    (frame,) = frames(bytes(view))
    assert frame.data == b"y" * 10 and "END_STREAM" in frame.flags
    # While a batch lives the next one gets fresh storage.
    testing.h2_streams_queue_data(c, 1, b"z", False)
    other, _ = c.take_pending()
    assert bytes(view)[9:] == b"y" * 10 and frames(bytes(other))[0].data == b"z"


# ---- slots, task handles and getters -----------------------------------------------


def test_slots():
    c = streams()
    assert c.can_open() and c.try_claim_slot() and c.try_claim_slot()
    c.apply_stream_limit(0)
    assert c.stream_limit == 0
    assert not c.can_open() and not c.try_claim_slot()
    assert c.num_open_streams == 2
    c.apply_stream_limit(3)
    assert c.try_claim_slot() and not c.try_claim_slot()
    c.release_slot_count()
    assert c.num_open_streams == 2 and c.can_open()
    c.apply_stream_limit(None)
    assert c.stream_limit is None and c.try_claim_slot()
    for _ in range(5):
        c.release_slot_count()
    assert c.num_open_streams == 0
    with pytest.raises(OverflowError):
        c.apply_stream_limit(-1)


def test_task_handles():
    c = streams()
    assert c.take_read_handle() is None and c.take_pump_handle() is None
    read, pump, later = object(), object(), object()
    c.store_task_handles(read, pump)
    c.store_task_handles(later, None)
    assert c.take_read_handle() is later
    assert c.take_read_handle() is None
    assert c.take_pump_handle() is None
    c.store_task_handles(read, pump)
    assert c.take_pump_handle() is pump and c.take_pump_handle() is None


def test_stream_getters(testing):
    c = streams("server", initial_window_size=1000)
    for name in (
        "stream_recv_unreleased",
        "stream_recv_reclaimed",
        "stream_data_budget_charged",
        "stream_send_buffered",
        "stream_send_window",
        "stream_state",
    ):
        assert getattr(c, name)(1) is None, name
    for name in ("has_stream", "is_recv_end_stream", "in_reset_store"):
        assert getattr(c, name)(1) is False, name
    testing.h2_streams_add(c, 1, None)
    assert c.has_stream(1) and not c.is_recv_end_stream(1)
    assert c.stream_state(1) == repr(v.H2StreamState()) == "Idle"
    assert (c.stream_recv_unreleased(1), c.stream_recv_reclaimed(1)) == (0, 0)
    assert (c.stream_data_budget_charged(1), c.stream_send_buffered(1)) == (0, 0)
    assert c.stream_send_window(1) == 65535
    assert repr(c) == "H2Streams(role=server, streams=1, active=0, failed=false, goaway=false)"
    with pytest.raises(OverflowError):
        c.has_stream(2**32)
    with pytest.raises(TypeError, match="sid"):
        c.stream_state("1")


def test_id_hooks():
    s = streams("server")
    s.set_max_stream_id(7)
    s.set_last_processed_id(5)
    s.set_next_stream_id(9)
    assert (s.max_stream_id, s.last_processed_id) == (7, 5)


# ---- H2Stopped ---------------------------------------------------------------------


def test_h2_stopped(testing):
    assert repr(testing.h2_stopped(None, False)) == "H2Stopped(reason=None, conn=false)"
    stop = testing.h2_stopped(8, True)
    assert repr(stop) == "H2Stopped(reason=Some(8), conn=true)"
    assert (stop.reason, stop.conn) == (8, True)
    assert testing.h2_stopped(None, False).reason is None
    with pytest.raises(TypeError):
        v.H2Stopped()
    with pytest.raises(AttributeError):
        stop.reason = 1
    with pytest.raises(TypeError):

        class Sub(v.H2Stopped):
            pass


# ---- subclassing, references and threads -------------------------------------------


def test_subclass_cycles_are_collected(testing):
    class Conn(v.H2Streams):
        pass

    c = Conn("client", **ARGS)
    c.extra = 1
    c.store_task_handles(c, c)  # a cycle through the task handles
    testing.h2_streams_add(c, 1, c)  # and through a stream handle
    c.view = c.take_pending()[0]  # and through the write batch
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is None


def test_threads_race_senders_writer_and_decoder(testing):
    c = streams()
    c.begin()
    testing.h2_streams_add(c, 1, "h")
    stop = threading.Event()
    errors = []
    written = []

    def loop(work):
        def run():
            try:
                while not stop.is_set():
                    work()
            except BaseException as exc:  # pragma: no cover - reported below
                errors.append(exc)

        return run

    def writer():
        view, _ = c.take_pending()
        written.append(len(view))
        del view
        c.credit_written()

    workers = [
        loop(lambda: testing.h2_streams_queue_data(c, 1, b"d" * 100, False)),
        loop(writer),
        loop(lambda: c.receive(b"\x00\x00\x00\x04\x01\x00\x00\x00\x00")),
        loop(lambda: (gc.collect(0), c.try_claim_slot(), c.release_slot_count(), repr(c))),
    ]
    threads = [threading.Thread(target=w) for w in workers]
    for t in threads:
        t.start()
    threading.Event().wait(0.5)
    stop.set()
    for t in threads:
        t.join()
    assert not errors
    writer()
    c.credit_written()
    assert c.stream_send_buffered(1) == 0 and not c.has_pending()


def test_no_leaks(testing):
    c = streams()
    testing.h2_streams_add(c, 1, object())

    def batch():
        c.begin()
        testing.h2_streams_queue_data(c, 1, b"x" * 50, False)
        view, _ = c.take_pending()
        del view
        c.credit_written()

    def handles():
        c.store_task_handles(object(), object())
        c.take_read_handle()

    def full_life():
        s = streams("server")
        s.begin()
        s.receive(v.H2_PREFACE + b"\x00\x00\x00\x04\x00\x00\x00\x00\x00")
        s.take_pending()

    assert_no_leaks(
        [
            batch,
            handles,
            full_life,
            swallowing(streams, "proxy"),
            swallowing(streams("server").receive, b"GET / HTTP/1.1\r\n\r\n" + b"x" * 20),
            lambda: (c.stream_state(1), c.stream_state(3), repr(c)),
        ]
    )
