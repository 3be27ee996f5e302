"""HTTP/2 stream state, flow-control window, content length and DATA budget."""

import inspect
import threading

import pytest

from conftest import assert_no_leaks, swallowing
from vantric import _vantric as v

MAX = 2**31 - 1
BROKEN_PIPE = "stream closed because of a broken pipe"
RESET = "Reset(StreamId(1), CANCEL, Remote)"
IO = f'Io(BrokenPipe, Some("{BROKEN_PIPE}"))'

# ---- H2StreamState: every state against every operation -----------------------

STATES = {
    "Idle": "Idle",
    "RL": "ReservedLocal",
    "RR": "ReservedRemote",
    "AA": "Open { local: AwaitingHeaders, remote: AwaitingHeaders }",
    "SA": "Open { local: Streaming, remote: AwaitingHeaders }",
    "AS": "Open { local: AwaitingHeaders, remote: Streaming }",
    "SS": "Open { local: Streaming, remote: Streaming }",
    "HclA": "HalfClosedLocal(AwaitingHeaders)",
    "HclS": "HalfClosedLocal(Streaming)",
    "HcrA": "HalfClosedRemote(AwaitingHeaders)",
    "HcrS": "HalfClosedRemote(Streaming)",
    "End": "Closed(EndStream)",
    "RstE": f"Closed(Error({RESET}))",
    "RstA": f"Closed(ErrorAfterEndStream({RESET}))",
    "IoE": f"Closed(Error({IO}))",
    "IoA": f"Closed(ErrorAfterEndStream({IO}))",
    "UsrE": "Closed(Error(Reset(StreamId(5), INTERNAL_ERROR, User)))",
    "Sched": "Closed(ScheduledLibraryReset(CANCEL))",
}

OPERATIONS = {
    "so": lambda s: s.send_open(False),
    "so_eos": lambda s: s.send_open(eos=True),
    "ro_eos": lambda s: s.recv_open(True, False),
    "ro_1xx": lambda s: s.recv_open(False, informational=True),
    "ro": lambda s: s.recv_open(False, False),
    "rsv_r": lambda s: s.reserve_remote(),
    "rsv_l": lambda s: s.reserve_local(),
    "rc": lambda s: s.recv_close(),
    "sc": lambda s: s.send_close(),
    "rst": lambda s: s.recv_reset(1, 8, False),
    "rst_q": lambda s: s.recv_reset(stream_id=1, reason=8, queued=True),
    "eof": lambda s: s.recv_eof(),
    "set": lambda s: s.set_reset(5, 2, "user"),
    "sched": lambda s: s.set_scheduled_reset(8),
    "ensure": lambda s: s.ensure_recv_open(),
}

# How each state is reached from Idle; every step is itself a cell of TABLE.
SETUP = {
    "Idle": [],
    "RL": ["rsv_l"],
    "RR": ["rsv_r"],
    "AA": ["ro_1xx"],
    "SA": ["so"],
    "AS": ["ro"],
    "SS": ["so", "ro"],
    "HclA": ["so_eos"],
    "HclS": ["so_eos", "ro"],
    "HcrA": ["ro_eos"],
    "HcrS": ["ro_eos", "so"],
    "End": ["so_eos", "ro_eos"],
    "RstE": ["so", "rst"],
    "RstA": ["ro_eos", "rst"],
    "IoE": ["so", "eof"],
    "IoA": ["ro_eos", "eof"],
    "UsrE": ["set"],
    "Sched": ["so", "sched"],
}

# A cell: the next state (result None), "=" for unchanged, "T:"/"F:" before it
# for a True/False result, or an error key (state unchanged).
ERRORS = {
    "P": (v.H2ProtocolError, (1, "unspecific protocol error detected")),
    "U": (v.H2UserError, ("unexpected_frame_type", "unexpected frame type")),
    "!Rst": (v.H2StreamError, (1, 8, "remote")),
    "!Usr": (v.H2StreamError, (5, 2, "user")),
    "!Io": (v.ConnectionClosedError, (BROKEN_PIPE,)),
    "!Sched": (v.H2ProtocolError, (8, "stream no longer needed")),
}

TABLE = {
    #        so   so_eos ro_eos ro_1xx ro     rsv_r rsv_l rc   sc     rst  rst_q eof set  sched   ensure
    "Idle": "SA   HclA   T:HcrA T:AA   T:AS   RR    RL    P    F:=    RstE RstE  IoE UsrE T:Sched T:=",
    "RL": "HcrS End    P      P      P      P     U     P    F:=    RstE RstE  IoE UsrE T:Sched F:=",
    "RR": "U    U      T:End  T:=    T:HclS P     U     P    F:=    RstE RstE  IoE UsrE T:Sched T:=",
    "AA": "SA   HclA   F:HcrA F:=    F:AS   P     U     HcrA F:=    RstE RstE  IoE UsrE T:Sched T:=",
    "SA": "U    U      F:HcrS F:=    F:SS   P     U     HcrS T:HclA RstE RstE  IoE UsrE T:Sched T:=",
    "AS": "SS   HclS   P      P      P      P     U     HcrA F:=    RstE RstE  IoE UsrE T:Sched T:=",
    "SS": "U    U      P      P      P      P     U     HcrS T:HclS RstE RstE  IoE UsrE T:Sched T:=",
    "HclA": "U    U      F:End  F:=    F:HclS P     U     End  F:=    RstE RstE  IoE UsrE T:Sched T:=",
    "HclS": "U    U      P      P      P      P     U     End  F:=    RstE RstE  IoE UsrE T:Sched T:=",
    "HcrA": "HcrS End    P      P      P      P     U     P    F:=    RstA RstA  IoA UsrE T:Sched F:=",
    "HcrS": "U    U      P      P      P      P     U     P    T:End  RstA RstA  IoA UsrE T:Sched F:=",
    "End": "U    U      P      P      P      P     U     P    F:=    =    RstA  =   UsrE F:=     F:=",
    "RstE": "U    U      P      P      P      P     U     P    F:=    =    RstE  =   UsrE F:=     !Rst",
    "RstA": "U    U      P      P      P      P     U     P    F:=    =    RstA  =   UsrE F:=     F:=",
    "IoE": "U    U      P      P      P      P     U     P    F:=    =    RstE  =   UsrE F:=     !Io",
    "IoA": "U    U      P      P      P      P     U     P    F:=    =    RstA  =   UsrE F:=     F:=",
    "UsrE": "U    U      P      P      P      P     U     P    F:=    =    RstE  =   UsrE F:=     !Usr",
    "Sched": "U    U      P      P      P      P     U     P    F:=    =    RstE  =   UsrE F:=     !Sched",
}

PREDICATES = [
    "is_idle",
    "is_closed",
    "is_reset",
    "is_scheduled_reset",
    "is_local_error",
    "is_remote_reset",
    "is_send_streaming",
    "is_send_closed",
    "is_recv_headers",
    "is_recv_streaming",
    "is_recv_end_stream",
]
PREDICATE_BITS = {
    "Idle": "10000000100",
    "RL": "00000000000",
    "RR": "00000001100",
    "AA": "00000000100",
    "SA": "00000010100",
    "AS": "00000000010",
    "SS": "00000010010",
    "HclA": "00000001100",
    "HclS": "00000001010",
    "HcrA": "00000000001",
    "HcrS": "00000010001",
    "End": "01000001001",
    "RstE": "01100101000",
    "RstA": "01100101001",
    "IoE": "01101001000",
    "IoA": "01101001001",
    "UsrE": "01101001000",
    "Sched": "01111001000",
}


def reach(name):
    state = v.H2StreamState()
    for step in SETUP[name]:
        OPERATIONS[step](state)
    assert repr(state) == STATES[name]
    return state


@pytest.mark.parametrize("start", STATES)
@pytest.mark.parametrize("op", OPERATIONS)
def test_transition(start, op):
    cell = TABLE[start].split()[list(OPERATIONS).index(op)]
    state = reach(start)
    if cell in ERRORS:
        cls, args = ERRORS[cell]
        with pytest.raises(cls) as info:
            OPERATIONS[op](state)
        assert type(info.value) is cls and info.value.args == args
        assert repr(state) == STATES[start]
        return
    result, _, after = cell.rpartition(":")
    assert OPERATIONS[op](state) is {"T": True, "F": False, "": None}[result]
    assert repr(state) == STATES[start if after == "=" else after]


@pytest.mark.parametrize("name", STATES)
def test_predicates(name):
    state = reach(name)
    bits = "".join("1" if getattr(state, p)() else "0" for p in PREDICATES)
    assert bits == PREDICATE_BITS[name]
    assert all(type(getattr(state, p)()) is bool for p in PREDICATES)
    assert state.get_scheduled_reset() == (8 if name == "Sched" else None)


@pytest.mark.parametrize(
    "initiator,local,remote", [("user", True, False), ("library", True, False), ("remote", False, True)]
)
def test_set_reset_initiators(initiator, local, remote):
    state = v.H2StreamState()
    state.set_reset(MAX, 2**32 - 1, initiator)
    assert repr(state) == (
        f"Closed(Error(Reset(StreamId({MAX}), Reason(4294967295), {initiator.capitalize()})))"
    )
    assert (state.is_local_error(), state.is_remote_reset()) == (local, remote)
    with pytest.raises(v.H2StreamError) as info:
        state.ensure_recv_open()
    assert info.value.args == (MAX, 2**32 - 1, initiator)


@pytest.mark.parametrize(
    "reason,name,text",
    [
        (0, "NO_ERROR", "not a result of an error"),
        (13, "HTTP_1_1_REQUIRED", "endpoint requires HTTP/1.1"),
        (14, "Reason(14)", "unknown reason"),
    ],
)
def test_scheduled_reset_reasons(reason, name, text):
    state = v.H2StreamState()
    assert state.set_scheduled_reset(reason) is True
    assert repr(state) == f"Closed(ScheduledLibraryReset({name}))"
    assert state.get_scheduled_reset() == reason
    with pytest.raises(v.H2ProtocolError) as info:
        state.ensure_recv_open()
    assert info.value.args == (reason, text)


# ---- arguments ----------------------------------------------------------------

S = v.H2StreamState
ARGUMENT_ERRORS = [
    (
        lambda: S().send_open(1),
        TypeError,
        r"^H2StreamState\.send_open\(\) argument 'eos' must be bool, not int$",
    ),
    (
        lambda: S().recv_open(True),
        TypeError,
        r"^H2StreamState\.recv_open\(\) missing 1 required positional argument: 'informational'$",
    ),
    (lambda: S(1), TypeError, r"^H2StreamState\(\) takes 0 positional arguments but 1 was given$"),
    (
        lambda: S().recv_reset(-1, 8, False),
        OverflowError,
        r"^H2StreamState\.recv_reset\(\) argument 'stream_id' is out of range for an unsigned "
        r"32-bit integer$",
    ),
    (lambda: S().recv_reset(2**32, 8, False), OverflowError, "'stream_id' is out of range"),
    (
        lambda: S().recv_reset(2**31, 8, False),
        ValueError,
        r"^H2StreamState\.recv_reset\(\) argument 'stream_id' must be at most 2147483647, "
        r"got 2147483648$",
    ),
    (lambda: S().set_reset(2**32 - 1, 8, "user"), ValueError, "got 4294967295$"),
    (lambda: S().set_reset(1, 8, b"user"), TypeError, "'initiator' must be str, not bytes$"),
    (
        lambda: S().set_reset(1, 8, "peer"),
        ValueError,
        r"^initiator must be 'user' \| 'library' \| 'remote', got peer$",
    ),
    (lambda: S().set_reset(1, 8, "User"), ValueError, "got User$"),
    (lambda: S().set_reset(1, 8, "\udc80"), UnicodeEncodeError, "surrogates"),
    (lambda: S().set_scheduled_reset(2**32), OverflowError, "'reason' is out of range"),
    (
        lambda: v.H2FlowControl().claim_capacity(2**32),
        OverflowError,
        r"^H2FlowControl\.claim_capacity\(\) argument 'capacity' is out of range",
    ),
    (
        lambda: v.H2ContentLength(1),
        TypeError,
        r"^H2ContentLength\(\) argument 'is_head' must be bool, not int$",
    ),
    (lambda: v.H2ContentLength().set(2**64), OverflowError, "unsigned 64-bit integer$"),
    (lambda: v.H2ContentLength().dec(-1), OverflowError, "'len' is out of range"),
    (lambda: v.H2DataFrameBudget(-1), OverflowError, "'configured' is out of range"),
    (
        lambda: v.H2DataFrameBudget(connection_window=2**32),
        OverflowError,
        "'connection_window' is out of range",
    ),
    (
        lambda: v.H2DataFrameBudget("1"),
        TypeError,
        r"^H2DataFrameBudget\(\) argument 'configured' must be int, not str$",
    ),
    (lambda: v.H2DataFrameBudget().record(2**32), OverflowError, "'payload_len' is out of range"),
]


@pytest.mark.parametrize("call,cls,message", ARGUMENT_ERRORS)
def test_argument_errors(call, cls, message):
    with pytest.raises(cls, match=message):
        call()


def test_failed_conversions_change_nothing():
    state = S()
    for call in (
        lambda: state.recv_reset(2**31, 8, True),
        lambda: state.set_reset(1, 8, "x"),
        lambda: state.set_reset(2**31, 8, "user"),
        lambda: state.send_open(None),
    ):
        with pytest.raises((TypeError, ValueError)):
            call()
    assert repr(state) == "Idle"


SIGNATURES = {
    (v.H2StreamState, None): "()",
    (v.H2FlowControl, None): "()",
    (v.H2ContentLength, None): "(is_head=False)",
    (v.H2DataFrameBudget, None): "(configured=None, connection_window=None)",
    (v.H2StreamState, "recv_open"): "(eos, informational)",
    (v.H2StreamState, "recv_reset"): "(stream_id, reason, queued)",
    (v.H2StreamState, "set_reset"): "(stream_id, reason, initiator)",
    (v.H2StreamState, "set_scheduled_reset"): "(reason)",
    (v.H2StreamState, "is_recv_end_stream"): "()",
    (v.H2FlowControl, "claim_capacity"): "(capacity)",
    (v.H2FlowControl, "send_data"): "(sz)",
    (v.H2ContentLength, "set"): "(value)",
    (v.H2ContentLength, "dec"): "(len)",
    (v.H2DataFrameBudget, "record"): "(payload_len)",
    (v.H2DataFrameBudget, "release"): "(charge)",
}


@pytest.mark.parametrize("cls", [v.H2StreamState, v.H2FlowControl, v.H2ContentLength, v.H2DataFrameBudget])
def test_class_identity(cls):
    assert cls.__module__ == "vantric._vantric"
    for (owner, method), text in SIGNATURES.items():
        if owner is cls:
            assert str(inspect.signature(getattr(cls(), method) if method else cls)) == text
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj = cls()
    with pytest.raises(AttributeError):
        obj.extra = 1
    if cls is v.H2DataFrameBudget:
        with pytest.raises(AttributeError):
            obj.available = 1


# ---- H2FlowControl --------------------------------------------------------------

FLOW = (v.H2FlowControlError, (3,))


def too_large(n):
    return (ValueError, (f"window size {n} exceeds the maximum 2147483647 (RFC 9113 6.9.1)",))


# Steps from a fresh window, the error of the last step (None: it succeeds),
# and the signed (window_size, available) afterwards.
FLOW_CASES = [
    ([("inc_window", 65535), ("assign_capacity", 65535), ("send_data", 10000)], None, (55535, 55535)),
    ([("inc_window", 65535), ("dec_send_window", 70000)], None, (-4465, 0)),
    ([("inc_window", MAX), ("inc_window", MAX)], FLOW, (MAX, 0)),
    ([("inc_window", MAX), ("inc_window", 1)], FLOW, (MAX, 0)),
    ([("dec_send_window", MAX), ("dec_send_window", 1)], None, (-(2**31), 0)),
    ([("dec_send_window", MAX), ("dec_send_window", 2)], FLOW, (-MAX, 0)),
    ([("assign_capacity", MAX), ("assign_capacity", 1)], FLOW, (0, MAX)),
    ([("claim_capacity", MAX), ("claim_capacity", 1), ("claim_capacity", 1)], FLOW, (0, -(2**31))),
    ([("inc_window", 10), ("assign_capacity", 10), ("dec_recv_window", 4)], None, (6, 6)),
    # Both values move or neither does.
    ([("claim_capacity", MAX), ("claim_capacity", 1), ("dec_recv_window", 1)], FLOW, (0, -(2**31))),
    ([("dec_send_window", MAX), ("dec_send_window", 1), ("dec_recv_window", 1)], FLOW, (-(2**31), 0)),
    ([("inc_window", 2**31)], too_large(2**31), (0, 0)),
    ([("dec_send_window", 2**32 - 1)], too_large(2**32 - 1), (0, 0)),
    ([("dec_recv_window", 2**31)], too_large(2**31), (0, 0)),
    ([("claim_capacity", 2**31)], too_large(2**31), (0, 0)),
    ([("assign_capacity", 2**31)], too_large(2**31), (0, 0)),
    ([("send_data", 1)], FLOW, (0, 0)),
    ([("send_data", 0)], None, (0, 0)),
    ([("dec_send_window", 5), ("send_data", 0)], None, (-5, 0)),
    ([("dec_send_window", 5), ("send_data", 1)], FLOW, (-5, 0)),
    ([("inc_window", 10), ("send_data", 10)], None, (0, -10)),
    ([("inc_window", 10), ("send_data", 11)], FLOW, (10, 0)),
    # send_data has no argument check of its own: too large is a window overrun.
    ([("inc_window", MAX), ("send_data", 2**32 - 1)], FLOW, (MAX, 0)),
    (
        [("inc_window", 10), ("claim_capacity", MAX), ("claim_capacity", 1), ("send_data", 1)],
        FLOW,
        (10, -(2**31)),
    ),
]


@pytest.mark.parametrize("steps,error,after", FLOW_CASES)
def test_window_arithmetic(steps, error, after):
    flow = v.H2FlowControl()
    *head, (last_op, last_arg) = steps
    for op, arg in head:
        assert getattr(flow, op)(arg) is None
    if error is None:
        assert getattr(flow, last_op)(last_arg) is None
    else:
        with pytest.raises(error[0]) as info:
            getattr(flow, last_op)(last_arg)
        assert type(info.value) is error[0] and info.value.args == error[1]
    window, available = after
    assert repr(flow) == (f"FlowControl {{ window_size: Window({window}), available: Window({available}) }}")
    assert (flow.window_size(), flow.available()) == (max(window, 0), available)


def flow_with(window, available):
    flow = v.H2FlowControl()
    (flow.inc_window if window >= 0 else flow.dec_send_window)(min(abs(window), MAX))
    if window == -(2**31):
        flow.dec_send_window(1)
    (flow.assign_capacity if available >= 0 else flow.claim_capacity)(abs(available))
    return flow


@pytest.mark.parametrize(
    "window,available,has_unavailable,unclaimed",
    [
        (0, 0, False, None),
        (100, 149, False, None),
        (100, 150, False, 50),
        (100, 50, True, None),
        (1, 1, False, None),
        (3, 4, False, 1),
        (5, -1, True, None),
        (-3, -4, False, None),
        (-4465, 0, False, 4465),
        (-(2**31), MAX, False, 2**32 - 1),
    ],
)
def test_window_queries(window, available, has_unavailable, unclaimed):
    flow = flow_with(window, available)
    assert flow.has_unavailable() is has_unavailable
    assert flow.unclaimed_capacity() == unclaimed


# ---- H2ContentLength ------------------------------------------------------------

# (is_head, [(method, argument or None, expected result)])
CONTENT_LENGTH_CASES = [
    (False, [("dec", 5, True), ("is_satisfied", None, True), ("is_head", None, False)]),
    (
        False,
        [
            ("set", 10, None),
            ("dec", 4, True),
            ("is_satisfied", None, False),
            ("dec", 7, False),
            ("dec", 6, True),
            ("is_satisfied", None, True),
            ("dec", 1, False),
            ("dec", 0, True),
        ],
    ),
    (
        True,
        [
            ("set", 10, None),
            ("is_head", None, True),
            ("dec", 0, True),
            ("dec", 1, False),
            ("is_satisfied", None, True),
        ],
    ),
    (
        False,
        [
            ("set", 2**64 - 1, None),
            ("dec", 2**64 - 2, True),
            ("is_satisfied", None, False),
            ("dec", 2, False),
            ("dec", 1, True),
            ("is_satisfied", None, True),
        ],
    ),
    (False, [("set", 5, None), ("set", 0, None), ("is_satisfied", None, True), ("dec", 1, False)]),
]


@pytest.mark.parametrize("is_head,steps", CONTENT_LENGTH_CASES)
def test_content_length(is_head, steps):
    tracker = v.H2ContentLength(is_head=is_head) if is_head else v.H2ContentLength()
    for method, arg, expected in steps:
        args = () if arg is None else (arg,)
        assert getattr(tracker, method)(*args) is expected, (method, arg)


# ---- H2DataFrameBudget ----------------------------------------------------------

CALM = (11, "too_many_data_frames")


@pytest.mark.parametrize(
    "args,kwargs,available",
    [
        ((), {}, 32767),
        ((None, None), {}, 32767),
        ((), {"connection_window": 1048576}, 524288),
        ((), {"connection_window": 40000}, 25600),
        ((), {"connection_window": 51201}, 25600),
        ((), {"connection_window": 51203}, 25601),
        ((), {"connection_window": 2**32 - 1}, MAX),
        ((1000,), {}, 1000),
        ((), {"configured": 0}, 0),
        ((5, 1048576), {}, 5),
    ],
)
def test_budget_resolution(args, kwargs, available):
    budget = v.H2DataFrameBudget(*args, **kwargs)
    assert (budget.available, budget.empty_frames) == (available, 0)


# (configured, [(method, argument, expected result or "calm", available afterwards)])
BUDGET_CASES = [
    (
        1000,
        [("record", 6, 250, 750)]
        + [("record", 6, 250, n) for n in (500, 250, 0)]
        + [("record", 6, "calm", 0), ("record", 1256, 0, 1000), ("release", 250, None, 1000)],
    ),
    (
        1000,
        [
            ("record", 255, 1, 999),
            ("record", 256, 0, 999),
            ("record", 257, 0, 1000),
            ("record", 6, 250, 750),
            ("record", 2**32 - 1, 0, 1000),
        ],
    ),
    (1000, [("record", 1, 255, 745), ("release", 2**32 - 1, None, 1000)]),
    (
        1000,
        [
            ("record", 6, 250, 750),
            ("record", 6, 250, 500),
            ("record", 6, 250, 250),
            ("record", 7, 249, 1),
            ("record", 255, 1, 0),
            ("record", 255, "calm", 0),
        ],
    ),
    (0, [("record", 1, "calm", 0), ("record", 0, 0, 0), ("record", 256, 0, 0), ("release", 5, None, 0)]),
]


@pytest.mark.parametrize("configured,steps", BUDGET_CASES)
def test_budget_accounting(configured, steps):
    budget = v.H2DataFrameBudget(configured=configured)
    for method, arg, expected, available in steps:
        if expected == "calm":
            with pytest.raises(v.H2ProtocolError) as info:
                getattr(budget, method)(arg)
            assert type(info.value) is v.H2ProtocolError and info.value.args == CALM
        else:
            assert getattr(budget, method)(arg) == expected
        assert budget.available == available, (method, arg)


def test_empty_frame_cap():
    budget = v.H2DataFrameBudget(configured=1000)
    assert [budget.record(0) for _ in range(v.H2_MAX_RECV_EMPTY_DATA_FRAMES)] == [0] * 100
    assert budget.empty_frames == 100
    for count in (101, 102):
        with pytest.raises(v.H2ProtocolError) as info:
            budget.record(0)
        assert info.value.args == CALM and budget.empty_frames == count
    assert budget.record(300) == 0 and budget.available == 1000


# ---- threads and leaks ----------------------------------------------------------


def run_threads(count, target):
    start = threading.Barrier(count)
    errors = []

    def run(index):
        try:
            start.wait()
            target(index)
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


def test_threads_share_one_window():
    flow = v.H2FlowControl()

    def work(index):
        for _ in range(5000):
            if index % 2:
                flow.assign_capacity(3)
                flow.claim_capacity(1)
            else:
                flow.inc_window(1)
                repr(flow)

    run_threads(4, work)
    assert repr(flow) == "FlowControl { window_size: Window(10000), available: Window(20000) }"


def test_threads_race_for_one_budget():
    budget = v.H2DataFrameBudget(configured=1000)
    granted = []

    def work(_):
        for _ in range(400):
            try:
                granted.append(budget.record(255))
            except v.H2ProtocolError:
                pass

    run_threads(4, work)
    assert len(granted) == 1000 and budget.available == 0


def test_threads_schedule_each_reset_once():
    states = [reach("SA") for _ in range(300)]
    scheduled = []

    def work(index):
        for state in states:
            if state.set_scheduled_reset(index):
                scheduled.append(state.get_scheduled_reset())

    run_threads(4, work)
    assert len(scheduled) == len(states)
    assert all(s.is_scheduled_reset() for s in states)


def test_no_leaks():
    closed = reach("IoE")
    budget = v.H2DataFrameBudget(configured=0)
    assert_no_leaks(
        [
            lambda: [OPERATIONS[op](v.H2StreamState()) for op in ("so", "eof", "sched", "rst_q")],
            lambda: repr(closed),
            swallowing(closed.ensure_recv_open),
            swallowing(reach("Sched").ensure_recv_open),
            swallowing(reach("RstE").ensure_recv_open),
            swallowing(closed.send_open, True),
            swallowing(closed.recv_open, True, False),
            swallowing(closed.set_reset, 1, 2, "peer"),
            swallowing(closed.recv_reset, 2**31, 2, True),
            lambda: repr(v.H2FlowControl()),
            swallowing(v.H2FlowControl().inc_window, 2**31),
            swallowing(v.H2FlowControl().send_data, 1),
            lambda: v.H2ContentLength(True).dec(1),
            swallowing(budget.record, 1),
            lambda: v.H2DataFrameBudget(None, 70000).available,
        ]
    )
