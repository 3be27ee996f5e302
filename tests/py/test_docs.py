"""The user guide (docs/guide.md) cannot rot: its samples run and its numbers are the code's.

A ```python block is a program: it runs in a fresh interpreter and must exit 0
with nothing on stderr (an unclosed transport or a never-retrieved task
exception would print there).  ```python server blocks serve until SIGINT.
```pycon blocks are doctests.  The programs also type-check in strict mode
against the installed package, as a user's program would.
"""

from __future__ import annotations

import ast
import doctest
import http.client
import inspect
import os
import re
import signal
import subprocess
import sys
from pathlib import Path
from typing import NamedTuple

import pytest
from hyperframe.frame import Frame, SettingsFrame

from serving import CHILD_ENV, TIMEOUT, connect, serving
from vantric import client, server
from vantric._vantric import H2_PREFACE
from vantric.server import Response

ROOT = Path(__file__).resolve().parents[2]
GUIDE = ROOT / "docs" / "guide.md"
SAMPLE_TIMEOUT = 60
# Sample programs run under the sanitizer build keep its preloaded runtime
# (CHILD_ENV drops it for foreign programs; these are ours).
_ASAN_CHILD = {k: v for k, v in os.environ.items() if k in ("LD_PRELOAD", "ASAN_OPTIONS")}


class Block(NamedTuple):
    line: int  # of the opening fence
    info: list[str]  # the fence's info string, split: ["python", "server"]
    code: str


def blocks(text: str) -> list[Block]:
    found, lines = [], text.splitlines()
    i = 0
    while i < len(lines):
        fence = re.match(r"^(`{3,})(.*)$", lines[i])
        if fence is None:
            i += 1
            continue
        end = next(j for j in range(i + 1, len(lines)) if lines[j].startswith(fence.group(1)))
        found.append(Block(i + 1, fence.group(2).split(), "\n".join(lines[i + 1 : end]) + "\n"))
        i = end + 1
    return found


BLOCKS = blocks(GUIDE.read_text())
PROGRAMS = [b for b in BLOCKS if b.info == ["python"]]
SERVERS = [b for b in BLOCKS if b.info == ["python", "server"]]
SESSIONS = [b for b in BLOCKS if b.info == ["pycon"]]


def ids(chosen: list[Block]) -> list[str]:
    return [f"guide.md:{b.line}" for b in chosen]


def test_every_block_is_a_sample_the_suite_runs():
    assert PROGRAMS and SERVERS and SESSIONS
    assert sorted(PROGRAMS + SERVERS + SESSIONS) == sorted(BLOCKS), [
        f"line {b.line}: {b.info}" for b in BLOCKS if b not in PROGRAMS + SERVERS + SESSIONS
    ]


@pytest.mark.parametrize("block", PROGRAMS, ids=ids(PROGRAMS))
def test_program(block, tmp_path):
    sample = tmp_path / "sample.py"
    sample.write_text(block.code)
    done = subprocess.run(
        [sys.executable, str(sample)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=SAMPLE_TIMEOUT,
        env=CHILD_ENV | _ASAN_CHILD,
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert done.stdout


@pytest.mark.parametrize("block", SERVERS, ids=ids(SERVERS))
def test_server_program_serves_until_interrupted(block, tmp_path):
    sample = tmp_path / "sample.py"
    sample.write_text(block.code)
    proc = subprocess.Popen(
        [sys.executable, str(sample)],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=CHILD_ENV | _ASAN_CHILD,
    )
    try:
        announced = proc.stdout.readline()
        port = re.search(r"http://127\.0\.0\.1:(\d+)/", announced)
        assert port is not None, (announced, proc.stderr.read() if proc.poll() is not None else "")
        conn = http.client.HTTPConnection("127.0.0.1", int(port.group(1)), timeout=TIMEOUT)
        conn.request("GET", "/")
        response = conn.getresponse()
        assert (response.status, response.read()) == (200, b"Hello!\n")
        conn.close()
        proc.send_signal(signal.SIGINT)
        _, errors = proc.communicate(timeout=SAMPLE_TIMEOUT)
        assert proc.returncode == 0, errors
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


@pytest.mark.parametrize("block", SESSIONS, ids=ids(SESSIONS))
def test_console_session(block):
    test = doctest.DocTestParser().get_doctest(
        block.code, {}, f"guide.md:{block.line}", str(GUIDE), block.line
    )
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report: list[str] = []
    runner.run(test, out=report.append)
    assert runner.tries and runner.failures == 0, "".join(report)


@pytest.mark.packaging
def test_programs_type_check_against_the_installed_package(tmp_path):
    # Run from a directory outside the source tree: vantric resolves to the
    # installed package, through its py.typed marker and stubs.
    files = []
    for block in PROGRAMS + SERVERS:
        files.append(tmp_path / f"sample_{block.line}.py")
        files[-1].write_text(block.code)
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\nstrict = true\n")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--config-file", str(config), *map(str, files)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
        env=CHILD_ENV | {"MYPYPATH": ""},
    )
    assert done.returncode == 0, done.stdout + done.stderr


# ---- the limits and timeouts table -----------------------------------------------------

CALLABLES = {
    "Server": server.Server.__init__,
    "Server.shutdown": server.Server.shutdown,
    "run": server.run,
    "Client": client.Client.__init__,
}
# Every option of these is a row of the table.
COMPLETE = ("Server", "Client")


def table_rows() -> list[tuple[str, str, str]]:
    """(callable, option, default cell) of each row of the limits table."""
    section = GUIDE.read_text().split("## Limits and timeouts", 1)[1].split("\n## ", 1)[0]
    rows = []
    for line in section.splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) == 4 and cells[0].startswith("`"):
            rows.append((cells[0].strip("`"), cells[1].strip("`"), cells[2]))
    return rows


def literal(text: str) -> object:
    """The value of a default cell written as `expression` (constants and arithmetic only)."""
    tree = ast.parse(text, mode="eval")
    allowed = (ast.Expression, ast.Constant, ast.BinOp, ast.UnaryOp, ast.operator, ast.unaryop)
    assert all(isinstance(node, allowed) for node in ast.walk(tree)), text
    return eval(compile(tree, "<default>", "eval"), {"__builtins__": {}})


def test_limits_table_is_the_code():
    rows = table_rows()
    assert len(rows) >= 10
    for name, option, cell in rows:
        assert name in CALLABLES, f"{name}: map it to its callable in CALLABLES"
        params = inspect.signature(CALLABLES[name]).parameters
        assert option in params, f"{name}({option}=...) does not exist"
        default = params[option].default
        if cell.startswith("`"):
            assert literal(cell.strip("`")) == default, f"{name}({option}=...): the guide says {cell}"
        else:
            # Prose stands only for a default that is no plain value (a sentinel).
            assert not isinstance(default, (type(None), bool, int, float, str)), (name, option)
    for name in COMPLETE:
        documented = {option for row_name, option, _ in rows if row_name == name}
        options = {
            p.name
            for p in inspect.signature(CALLABLES[name]).parameters.values()
            if p.kind is inspect.Parameter.KEYWORD_ONLY
        }
        assert options <= documented, f"{name} options missing from the guide: {options - documented}"


def test_http2_settings_are_the_documented_ones():
    text = GUIDE.read_text()
    documented = {
        SettingsFrame.INITIAL_WINDOW_SIZE: r"(\d+) MiB receive window per stream",
        SettingsFrame.MAX_FRAME_SIZE: r"(\d+)-octet maximum frame size",
        SettingsFrame.MAX_HEADER_LIST_SIZE: r"(\d+)-octet header list limit",
    }
    expected = {}
    for setting, pattern in documented.items():
        found = re.search(pattern, " ".join(text.split()))
        assert found is not None, pattern
        expected[setting] = int(found.group(1)) * (1 << 20 if "MiB" in pattern else 1)
    # The table holds this one, and the table is the code's (above).
    concurrent = inspect.signature(server.Server).parameters["max_concurrent_streams"].default
    expected[SettingsFrame.MAX_CONCURRENT_STREAMS] = concurrent

    async def app(request):
        return Response(200, [], b"")

    with serving(app) as running:
        with connect(running.port) as sock:
            sock.sendall(H2_PREFACE + SettingsFrame(0).serialize())
            received = b""
            while len(received) < 9 or len(received) < 9 + int.from_bytes(received[:3], "big"):
                chunk = sock.recv(65536)
                assert chunk, "the server closed before its SETTINGS"
                received += chunk
    frame, length = Frame.parse_frame_header(memoryview(received[:9]))
    frame.parse_body(memoryview(received[9 : 9 + length]))
    assert isinstance(frame, SettingsFrame) and "ACK" not in frame.flags
    assert {k: frame.settings.get(k) for k in expected} == expected
