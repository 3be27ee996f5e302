"""Worker processes: `serve --workers N` and `serve --reload`.

The supervisor binds the listening socket once and starts each worker as
`python -m vantric serve ... --fd N` on that socket, so the kernel spreads the
connections over them.  It replaces a worker that dies; SIGTERM or SIGINT
shut every worker down gracefully (SIGTERM to each, SIGKILL for those still
running after the grace period); SIGHUP, or a changed file under `--reload`,
starts a fresh worker before stopping each old one, so no connection is
refused meanwhile.  The supervisor itself runs no event loop.
"""

from __future__ import annotations

import logging
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Sequence

__all__ = ["supervise"]

logger = logging.getLogger("vantric.supervisor")

# How long a new worker may take to say it listens before it is taken as started.
_READY_TIMEOUT = 30.0
# A worker that dies sooner than this after its start is restarted after a pause.
_CRASH_LOOP = 1.0


class _Worker:
    def __init__(self, argv: Sequence[str], sock: socket.socket) -> None:
        ready_read, ready_write = os.pipe()
        fd = sock.fileno()
        self.proc = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "vantric",
                "serve",
                *argv,
                "--fd",
                str(fd),
                "--ready-fd",
                str(ready_write),
            ],
            pass_fds=(fd, ready_write),
        )
        os.close(ready_write)
        self.ready_pipe = ready_read
        self.started = time.monotonic()

    def wait_ready(self, timeout: float) -> bool:
        """Whether the worker said it listens (a byte on its pipe) within `timeout`."""
        try:
            import select

            readable, _, _ = select.select([self.ready_pipe], [], [], timeout)
            return bool(readable) and os.read(self.ready_pipe, 1) == b"1"
        finally:
            os.close(self.ready_pipe)
            self.ready_pipe = -1


def supervise(argv: Sequence[str], sock: socket.socket, *, workers: int, grace: float,
              reload_paths: Sequence[str] | None = None) -> int:  # fmt: skip
    """Runs `workers` workers on `sock` until SIGTERM or SIGINT; the exit status."""
    events: list[str] = []
    wake = threading.Event()

    def on_signal(signum: int, frame: object) -> None:
        events.append("stop" if signum in (signal.SIGINT, signal.SIGTERM) else "restart")
        wake.set()

    previous = {s: signal.signal(s, on_signal) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    stop_watching = threading.Event()
    if reload_paths:
        threading.Thread(target=_watch, args=(reload_paths, stop_watching, events, wake), daemon=True).start()
    pool = [_Worker(argv, sock) for _ in range(workers)]
    for worker in pool:
        worker.wait_ready(_READY_TIMEOUT)
    logger.info("supervisor %d: %d worker%s (pids %s)", os.getpid(), workers, "s" * (workers > 1),
                " ".join(str(w.proc.pid) for w in pool))  # fmt: skip
    try:
        while True:
            wake.wait(0.2)
            wake.clear()
            while events:
                event = events.pop(0)
                if event == "stop":
                    return _stop_all(pool, grace)
                _roll(pool, argv, sock, grace)
            for index, worker in enumerate(pool):
                code = worker.proc.poll()
                if code is None:
                    continue
                logger.warning("worker %d exited with %d; starting another", worker.proc.pid, code)
                if time.monotonic() - worker.started < _CRASH_LOOP:
                    time.sleep(_CRASH_LOOP)  # a worker that cannot start must not spin the machine
                pool[index] = _Worker(argv, sock)
                pool[index].wait_ready(_READY_TIMEOUT)
    finally:
        stop_watching.set()
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _roll(pool: list[_Worker], argv: Sequence[str], sock: socket.socket, grace: float) -> None:
    """Replaces the workers one by one: the new one listens before the old one stops."""
    for index, old in enumerate(list(pool)):
        fresh = _Worker(argv, sock)
        fresh.wait_ready(_READY_TIMEOUT)
        pool[index] = fresh
        old.proc.send_signal(signal.SIGTERM)  # finishes what it serves, then exits
        threading.Thread(target=_reap, args=(old.proc, grace), daemon=True).start()
    logger.info("workers restarted (pids %s)", " ".join(str(w.proc.pid) for w in pool))


def _reap(proc: subprocess.Popen[bytes], grace: float) -> None:
    try:
        proc.wait(grace + 5.0)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def _stop_all(pool: list[_Worker], grace: float) -> int:
    for worker in pool:
        if worker.proc.poll() is None:
            worker.proc.send_signal(signal.SIGTERM)
    deadline = time.monotonic() + grace + 5.0
    for worker in pool:
        try:
            worker.proc.wait(max(0.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            worker.proc.kill()
            worker.proc.wait()
    return 0


def _watch(paths: Sequence[str], stop: threading.Event, events: list[str], wake: threading.Event) -> None:
    """Asks for a restart when a Python file under `paths` changes."""
    from watchfiles import PythonFilter, watch

    for changes in watch(*paths, watch_filter=PythonFilter(), stop_event=stop):
        logger.info("reloading: %s changed", ", ".join(sorted({os.path.basename(p) for _, p in changes})))
        events.append("restart")
        wake.set()
