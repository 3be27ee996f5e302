"""The module surface: registration order, constants, identity across imports."""

import importlib
import importlib.util
import inspect
import shutil
import subprocess
import sys
import sysconfig

import pytest

import vantric
from vantric import _vantric

# Every name the module registers, in registration order.
REGISTRATION_ORDER = [
    "__version__",
    "VantricError",
    "ConnectionClosedError",
    "HeaderMap",
    "http_date",
    "uri_parts",
    "H2Codec",
    "H2FrameHeaders",
    "H2FrameData",
    "H2FrameSettings",
    "H2FrameWindowUpdate",
    "H2FramePing",
    "H2FrameGoAway",
    "H2FrameRstStream",
    "H2FramePriority",
    "H2FrameStreamError",
    "H2StreamState",
    "H2FlowControl",
    "H2ContentLength",
    "H2DataFrameBudget",
    "H2Streams",
    "H2Stopped",
    "H2RecvHeadersVerdict",
    "H2RecvDataVerdict",
    "H2SendVerdict",
    "H2ResetVerdict",
    "H2_FLAG_WAKE",
    "H2_FLAG_SLOT_FREED",
    "H2_FLAG_CONN_DONE",
    "H2_FLAG_STOP_ACCEPTING",
    "H2_HEADERS_IGNORED",
    "H2_HEADERS_OPENED",
    "H2_HEADERS_HEAD",
    "H2_HEADERS_TRAILERS",
    "H2Error",
    "H2ProtocolError",
    "H2StreamError",
    "H2UserError",
    "H2FlowControlError",
    "H2Reason",
    "H2_DEFAULT_HEADER_TABLE_SIZE",
    "H2_DEFAULT_INITIAL_WINDOW_SIZE",
    "H2_DEFAULT_MAX_FRAME_SIZE",
    "H2_MAX_MAX_FRAME_SIZE",
    "H2_MAX_STREAM_ID",
    "H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD",
    "H2_DEFAULT_DATA_FRAME_BUDGET",
    "H2_MAX_RECV_EMPTY_DATA_FRAMES",
    "H2_PREFACE",
    "H1Error",
    "H1ParseError",
    "H1BodyError",
    "H1IncompleteMessageError",
    "H1UnexpectedMessageError",
    "H1UserError",
    "H1Codec",
    "H1ResponseHead",
    "H1RequestHead",
    "H1BodyDecoder",
    "H1ServerState",
    "H1ClientState",
    "OnceLatch",
    "H1_WATCH_HANDOFF",
    "H1_WATCH_IDLE_EOF",
    "H1_WATCH_IDLE_BYTES",
    "H1_WATCH_IDLE_ERROR",
    "H1_WATCH_IGNORED",
    "H1_NEXT_NONE",
    "H1_NEXT_RAISE",
    "H1_NEXT_CLOSE",
    "H1_NEXT_DRAIN",
    "H1_READ_PARSE",
    "H1_READ_SHUTDOWN",
    "H1_READ_WATCHER",
    "H1_READ_TRANSPORT",
    "H1_READ_EOF",
    "H1_REQ_OK",
    "H1_REQ_ALREADY",
    "H1_REQ_STALE",
    "H1_REQ_PARKED",
    "H1_REQ_PEER_CLOSED",
    "H1_REQ_CONTINUE",
    "ProxyMatcher",
    "ProxyIntercept",
]

CONSTANTS = {
    "H2_FLAG_WAKE": 1,
    "H2_FLAG_SLOT_FREED": 2,
    "H2_FLAG_CONN_DONE": 4,
    "H2_FLAG_STOP_ACCEPTING": 8,
    "H2_HEADERS_IGNORED": 0,
    "H2_HEADERS_OPENED": 1,
    "H2_HEADERS_HEAD": 2,
    "H2_HEADERS_TRAILERS": 3,
    "H2_DEFAULT_HEADER_TABLE_SIZE": 4096,
    "H2_DEFAULT_INITIAL_WINDOW_SIZE": 65535,
    "H2_DEFAULT_MAX_FRAME_SIZE": 16384,
    "H2_MAX_MAX_FRAME_SIZE": 16777215,
    "H2_MAX_STREAM_ID": 2147483647,
    "H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD": 256,
    "H2_DEFAULT_DATA_FRAME_BUDGET": 25600,
    "H2_MAX_RECV_EMPTY_DATA_FRAMES": 100,
    "H1_WATCH_HANDOFF": 0,
    "H1_WATCH_IDLE_EOF": 1,
    "H1_WATCH_IDLE_BYTES": 2,
    "H1_WATCH_IDLE_ERROR": 3,
    "H1_WATCH_IGNORED": 4,
    "H1_NEXT_NONE": 0,
    "H1_NEXT_RAISE": 1,
    "H1_NEXT_CLOSE": 2,
    "H1_NEXT_DRAIN": 3,
    "H1_READ_PARSE": 4,
    "H1_READ_SHUTDOWN": 5,
    "H1_READ_WATCHER": 6,
    "H1_READ_TRANSPORT": 7,
    "H1_READ_EOF": 8,
    "H1_REQ_OK": 0,
    "H1_REQ_ALREADY": 1,
    "H1_REQ_STALE": 2,
    "H1_REQ_PARKED": 3,
    "H1_REQ_PEER_CLOSED": 4,
    "H1_REQ_CONTINUE": 5,
}


def test_all_follows_registration_order():
    names = _vantric.__all__
    assert isinstance(names, list)
    assert len(REGISTRATION_ORDER) == 84
    assert names[0] == "__version__"
    assert set(names) <= set(REGISTRATION_ORDER)
    assert names == [n for n in REGISTRATION_ORDER if n in names]
    for name in names:
        assert hasattr(_vantric, name)
    # Everything of this layer is registered already.
    assert set(CONSTANTS) | {"H2_PREFACE", "VantricError", "H1UserError"} <= set(names)
    assert "H2WriteBatch" not in names and not hasattr(_vantric, "H2WriteBatch")


def test_module_identity():
    assert _vantric.__version__ == "0.4.0" == vantric.__version__
    assert _vantric.__doc__ == ""
    assert _vantric.__name__ == "vantric._vantric"
    assert _vantric.H2_PREFACE == b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
    assert type(_vantric.H2_PREFACE) is bytes and len(_vantric.H2_PREFACE) == 24


@pytest.mark.parametrize("name,value", sorted(CONSTANTS.items()))
def test_constants(name, value):
    got = getattr(_vantric, name)
    assert type(got) is int and got == value


def test_second_module_object_shares_classes():
    first = {n: getattr(_vantric, n) for n in _vantric.__all__ if isinstance(getattr(_vantric, n), type)}
    spec = importlib.util.find_spec("vantric._vantric")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not _vantric
    assert again.__all__ == _vantric.__all__
    for name, cls in first.items():
        assert getattr(again, name) is cls


def test_fresh_interpreter_reimport_after_drop():
    code = (
        "import gc, sys, vantric._vantric as m\n"
        "classes = [getattr(m, n) for n in m.__all__ if isinstance(getattr(m, n), type)]\n"
        "del sys.modules['vantric._vantric'], sys.modules['vantric'], m\n"
        "gc.collect()\n"
        "import vantric._vantric as m2\n"
        "assert [getattr(m2, n) for n in m2.__all__ if isinstance(getattr(m2, n), type)] == classes\n"
        "assert all(a is b for a, b in zip(classes, [getattr(m2, n) for n in m2.__all__ if isinstance(getattr(m2, n), type)]))\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


# Runs in a fresh process: the main interpreter imports the module, an isolated
# subinterpreter then tries to, and the main one must be unharmed.
SUBINTERPRETER_SCRIPT = """
import sys
import vantric._vantric as main_module
code = "import vantric._vantric"
if sys.version_info >= (3, 13):
    import _interpreters
    iid = _interpreters.create("isolated")
    failure = _interpreters.run_string(iid, code)
    kind, message = failure.type.__name__, failure.msg
    assert _interpreters.run_string(iid, "x = 1") is None
    _interpreters.destroy(iid)
else:
    import _xxsubinterpreters
    iid = _xxsubinterpreters.create()  # isolated by default
    try:
        _xxsubinterpreters.run_string(iid, code)
        kind = message = None
    except _xxsubinterpreters.RunFailedError as error:
        kind, _, message = str(error).partition(": ")
        kind = kind.strip("<>").removeprefix("class ").strip("'")
    _xxsubinterpreters.run_string(iid, "x = 1")
    _xxsubinterpreters.destroy(iid)
head = main_module.H1Codec().receive_head(b"HTTP/1.1 204 No Content\\r\\n\\r\\n")
assert head.status == 204
print(kind)
print(message)
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters need 3.12")
def test_an_isolated_subinterpreter_is_refused_cleanly():
    done = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER_SCRIPT], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    kind, message = done.stdout.splitlines()
    assert kind == "ImportError"
    assert "does not support loading in subinterpreters" in message


def test_exports_exactly_the_two_entry_points():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run(
        [nm, "-D", "--defined-only", _vantric.__file__], check=True, capture_output=True, text=True
    ).stdout
    symbols = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    assert symbols == ["PyInit__vantric", "PyModExport__vantric"]


@pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter"
)
def test_import_keeps_the_gil_disabled():
    assert not sys._is_gil_enabled()


def test_public_http_module():
    import vantric.http

    assert set(vantric.http.__all__) <= {"HeaderMap", "http_date", "uri_parts"}
    for name in vantric.http.__all__:
        assert getattr(vantric.http, name) is getattr(_vantric, name)


def test_signatures_of_public_callables():
    for name in _vantric.__all__:
        obj = getattr(_vantric, name)
        if callable(obj) and not (isinstance(obj, type) and issubclass(obj, BaseException)):
            if isinstance(obj, type) and obj.__doc__ and not obj.__doc__.startswith(name + "("):
                continue  # constructor-less class
            inspect.signature(obj)
            for attr, member in vars(obj).items() if isinstance(obj, type) else ():
                if callable(member) and not attr.startswith("_"):
                    inspect.signature(getattr(obj, attr))
