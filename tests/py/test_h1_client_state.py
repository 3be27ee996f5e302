"""H1ClientState: every transition, verdicts, reference handling and GC."""

import gc
import inspect
import threading
import weakref

import pytest

from conftest import assert_no_leaks, swallowing
from vantric._vantric import (
    H1_WATCH_HANDOFF,
    H1_WATCH_IDLE_BYTES,
    H1_WATCH_IDLE_EOF,
    H1_WATCH_IDLE_ERROR,
    H1_WATCH_IGNORED,
    H1ClientState,
)


class Token:
    """A stand-in for transports, events, handles and scopes."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return self.name


def test_identity_and_signatures():
    assert H1ClientState.__module__ == "vantric._vantric"
    assert str(inspect.signature(H1ClientState)) == "(transport)"
    assert str(inspect.signature(H1ClientState.watcher_completed)) == "(self, /, data=None, error=None)"
    s = H1ClientState(Token("t"))
    with pytest.raises(AttributeError):
        s.closed = True
    with pytest.raises(AttributeError):
        s.other = 1
    assert repr(s) == (
        "H1ClientState(closed=false, failed=false, busy=false, exchange_active=false, watcher=false)"
    )


def test_exchange_claims():
    s = H1ClientState(Token("t"))
    assert s.try_begin_exchange() is True and s.try_begin_exchange() is False
    assert s.busy is True
    assert s.end_exchange() is True and s.end_exchange() is False
    s.close_now()
    assert s.try_begin_exchange() is True  # only busy is checked
    assert s.is_dead() is True


def test_fail_first_error_wins():
    t = Token("t")
    s = H1ClientState(t)
    e1, e2 = ValueError("first"), ValueError("second")
    assert s.fail(e1) is t
    assert s.fail(e2) is None
    assert s.error is e1 and s.closed and s.is_dead()
    assert s.transport_ref() is None
    assert H1ClientState(t).fail() is t  # no error given: closes all the same


def test_close_variants():
    t = Token("t")
    s = H1ClientState(t)
    assert s.upgrade() is t and s.upgraded and s.closed
    assert s.mark_closed() == (None, None, None, True)
    s = H1ClientState(t)
    done = Token("done")
    assert s.arm_watcher(done) is True
    s.store_writer(Token("scope"))
    assert s.try_begin_exchange()
    transport, got_done, scope, idle = s.mark_closed()
    assert transport is t and got_done is done and repr(scope) == "scope" and idle is False
    assert s.has_watcher  # close() still joins it


def test_writer_scope():
    s = H1ClientState(Token("t"))
    scope = Token("scope")
    assert s.store_writer(scope) is None and s.take_writer() is scope and s.take_writer() is None
    s.writer_done()
    assert s.writer_finished
    assert s.try_begin_exchange() and not s.writer_finished
    s.close_now()
    assert s.store_writer(scope) is scope and s.take_writer() is None


@pytest.mark.parametrize("prepare", ["watcher", "fail", "close_now", "upgrade", "no_transport"])
def test_arm_watcher_refusals(prepare):
    s = H1ClientState(None if prepare == "no_transport" else Token("t"))
    if prepare == "watcher":
        assert s.arm_watcher(Token("first"))
    elif prepare != "no_transport":
        getattr(s, prepare)()
    assert s.arm_watcher(Token("done")) is False


WATCHER_CASES = [
    # (exchange started, closed first, data, error, verdict, transport returned)
    (False, False, b"", None, H1_WATCH_IDLE_EOF, True),
    (False, False, None, None, H1_WATCH_IDLE_EOF, True),
    (False, False, b"x", None, H1_WATCH_IDLE_BYTES, False),
    (False, False, b"x", "err", H1_WATCH_IDLE_ERROR, False),
    (False, False, None, "err", H1_WATCH_IDLE_ERROR, False),
    (False, True, None, "err", H1_WATCH_IGNORED, False),
    (True, False, b"abc", None, H1_WATCH_HANDOFF, False),
    (True, False, None, "err", H1_WATCH_HANDOFF, False),
]


@pytest.mark.parametrize("started,closed_first,data,error,verdict,returns_transport", WATCHER_CASES)
def test_watcher_completed(started, closed_first, data, error, verdict, returns_transport):
    t = Token("t")
    s = H1ClientState(t)
    assert s.arm_watcher(Token("done"))
    if started:
        s.try_begin_exchange()
        s.exchange_started()
    if closed_first:
        s.close_now()
    exc = RuntimeError(error) if error else None
    code, transport = s.watcher_completed(data, exc)
    assert code == verdict
    assert transport is (t if returns_transport else None)
    if verdict == H1_WATCH_HANDOFF:
        assert s.take_watcher_result() == (data, exc)
    if verdict == H1_WATCH_IDLE_EOF:
        assert s.closed and s.watcher_completed(b"") == (H1_WATCH_IDLE_EOF, None)
    if verdict == H1_WATCH_IDLE_BYTES:
        assert not s.closed


def test_watcher_completed_without_slot_and_bad_data():
    s = H1ClientState(Token("t"))
    assert s.watcher_completed(None, RuntimeError()) == (H1_WATCH_IGNORED, None)
    with pytest.raises(TypeError, match="'data'"):
        s.watcher_completed("text")
    with pytest.raises(TypeError):
        s.set_peer_http10(1)
    s.set_peer_http10(True)
    assert s.peer_http10


def test_watcher_handle_and_result():
    s = H1ClientState(Token("t"))
    done, handle = Token("done"), Token("handle")
    assert s.arm_watcher(done)
    assert s.watcher_done() is done
    assert s.store_watcher_handle(handle) is None
    assert s.store_watcher_handle(Token("again")).name == "again"
    s.watcher_aborted()
    assert s.take_watcher_handle() is handle and s.take_watcher_handle() is None
    assert s.take_watcher_result() == (None, None)
    assert not s.has_watcher and s.watcher_done() is None


def test_released_references_may_reenter_the_state():
    s = H1ClientState(Token("t"))
    seen = []

    class Reentrant(Exception):
        def __del__(self):
            seen.append(repr(s))  # takes the state's lock

    assert s.arm_watcher(Token("done"))
    s.try_begin_exchange()
    s.exchange_started()
    s.watcher_completed(None, Reentrant())
    # Replacing the handed-off error drops the last reference to the old one;
    # its finalizer re-enters the state, which must no longer be locked.
    assert s.watcher_completed(b"x", None) == (H1_WATCH_HANDOFF, None)
    assert seen and seen[0].startswith("H1ClientState(closed=false")


def test_subclass_and_collection():
    class Connection(H1ClientState):
        def __init__(self, transport):
            super().__init__()
            self.extra = "driver state"

    conn = Connection(Token("t"))
    assert conn.extra == "driver state" and isinstance(conn, H1ClientState)
    # A cycle through the state: transport -> connection -> transport.
    transport = Token("cyclic")
    conn = Connection(transport)
    transport.conn = conn
    conn.fail(ValueError("x"))  # transport taken...
    conn2 = Connection(transport)  # ...and held again in a new cycle
    probe = weakref.ref(conn2)
    del conn, conn2, transport
    gc.collect()
    assert probe() is None


def test_threads_claim_exclusively():
    s = H1ClientState(Token("t"))
    claims = []
    barrier = threading.Barrier(6)

    def worker():
        barrier.wait()
        for _ in range(500):
            if s.try_begin_exchange():
                claims.append(1)
                assert s.busy
                assert s.end_exchange()

    threads = [threading.Thread(target=worker) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert claims and not s.busy


def test_no_leaks():
    def cycle():
        s = H1ClientState(Token("t"))
        s.arm_watcher(Token("done"))
        s.store_watcher_handle(Token("h"))
        s.try_begin_exchange()
        s.exchange_started()
        s.watcher_completed(b"abc", None)
        s.take_watcher_result()
        s.store_writer(Token("w"))
        s.mark_closed()
        s.fail(ValueError())
        repr(s)
        s.error

    assert_no_leaks([cycle, swallowing(H1ClientState(None).watcher_completed, "x")])
