"""What every connection does with its asyncio transport, written once.

`ReadBuffer` holds the bytes received and not yet consumed, and stops the
transport reading while too many wait; `WritePause` turns the transport's
write flow control into a future; `end_output` ends our side so a last answer
is read before we close.  The server's connections and the client's wire mix
these in; the protocol decisions stay with their drivers.
"""

from __future__ import annotations

import asyncio
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from typing import Protocol

    class _BufferHost(Protocol):
        _transport: Any
        _chunks: list[bytes]
        _buffered: int
        _read_paused: bool
        _eof: bool
        _waiter: asyncio.Future[bytes | None] | None

        def _may_resume_reading(self) -> bool: ...

    class _PauseHost(Protocol):
        _loop: asyncio.AbstractEventLoop
        _transport: asyncio.Transport
        _write_waiter: asyncio.Future[None] | None

        def _may_read(self) -> bool: ...


__all__ = [
    "READ_HIGH_WATER",
    "LINGER_BYTES",
    "LINGER_SECONDS",
    "ReadBuffer",
    "WritePause",
    "end_output",
    "loop_clock",
    "peer_text",
    "small_reads",
]

# Received bytes held for the consumer before reading from the socket pauses
# (the socket buffer then pushes back on the peer).
READ_HIGH_WATER = 256 * 1024
# After our last answer on a connection the peer may still be sending: what
# it sends is read and dropped for this long, up to this much, so that closing
# with unread bytes does not reset the connection and destroy the answer
# (RFC 9112 section 9.6).
LINGER_SECONDS = 2.0
LINGER_BYTES = 256 * 1024
# The most asyncio's socket transport asks the kernel for in one read.  It
# reads into a new bytes object of that size and shrinks it to what arrived;
# at its default (256 KiB) glibc serves such an object with mmap until its
# mmap threshold happens to rise past it, and then every read costs an mmap,
# an mremap and a munmap besides the recv: a client making one read a
# response spent more time in those than in the rest of its work.  64 KiB is
# below glibc's default threshold (128 KiB) and still more than one read of
# a socket usually holds.
READ_SIZE = 64 * 1024


class ReadBuffer:
    """Received bytes waiting for their consumer, with back-pressure.

    Bytes go straight to a consumer waiting on `_waiter` (its result is the
    bytes) when nothing is buffered, else they are buffered and the waiter is
    woken with None.  Past `READ_HIGH_WATER` buffered bytes the transport stops
    reading until `_take()` empties the buffer and the host's
    `_may_resume_reading()` agrees.

    Mixed into connections that hold `_transport`, `_chunks`, `_buffered`,
    `_read_paused`, `_eof` and `_waiter` in their own slots."""

    __slots__ = ()

    def _receive(self: _BufferHost, data: bytes) -> None:
        waiter = self._waiter
        if waiter is not None and not self._chunks and not waiter.done():
            waiter.set_result(data)
            return
        self._chunks.append(data)
        self._buffered += len(data)
        if self._buffered > READ_HIGH_WATER and not self._read_paused:
            self._read_paused = True
            self._transport.pause_reading()
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def _receive_eof(self: _BufferHost) -> None:
        """Nothing more comes: a waiting consumer wakes (with None)."""
        self._eof = True
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def _take(self: _BufferHost) -> bytes:
        """Every buffered byte (b"" when none), reading resumed when it paused."""
        chunks = self._chunks
        if not chunks:
            return b""
        data = chunks[0] if len(chunks) == 1 else b"".join(chunks)
        chunks.clear()
        self._buffered = 0
        if self._read_paused:
            self._read_paused = False
            if self._may_resume_reading():
                self._transport.resume_reading()
        return data

    def _may_resume_reading(self) -> bool:
        return True


class WritePause:
    """The transport's write flow control as one future, present while paused.

    While the peer does not read what we write, we do not read what it sends
    either: whatever it sends (pipelined requests, PINGs, anything we answer),
    our output cannot grow past the transport's high-water mark by more than
    the answers to one read.

    Mixed into connections that hold `_loop`, `_transport` and `_write_waiter`
    in their own slots and say through `_may_read()` whether reading may
    resume."""

    __slots__ = ()
    _write_waiter: asyncio.Future[None] | None  # the host's slot, which this class sets

    def _on_pause_writing(self: _PauseHost) -> None:
        if self._write_waiter is None:
            self._write_waiter = self._loop.create_future()
            self._transport.pause_reading()

    def _on_resume_writing(self: _PauseHost) -> None:
        waiter, self._write_waiter = self._write_waiter, None
        if waiter is not None:
            if not waiter.done():
                waiter.set_result(None)
            if self._may_read():
                self._transport.resume_reading()

    def _may_read(self) -> bool:
        return True


def small_reads(transport: asyncio.BaseTransport) -> None:
    """Caps what asyncio's socket transport reads at once at READ_SIZE.
    Transports without that setting (TLS, uvloop's) read into a buffer they
    reuse already."""
    if type(getattr(type(transport), "max_size", None)) is int:
        transport.max_size = READ_SIZE  # type: ignore[attr-defined]  # the selector transport's own setting


def loop_clock(loop: asyncio.AbstractEventLoop) -> Callable[[], float]:
    """`loop.time` as the cheapest function that gives the same readings:
    asyncio's own loop reads time.monotonic, which deadlines set on every
    request then call directly."""
    if type(loop).time is asyncio.BaseEventLoop.time:
        return time.monotonic
    return loop.time


def end_output(transport: asyncio.WriteTransport) -> bool:
    """Ends our side of the connection (a FIN after what is queued), so that the
    peer reads our last answer before we close; False when that cannot be done,
    the peer having already gone (a reset races every such call)."""
    if transport.is_closing() or not transport.can_write_eof():
        return False
    try:
        transport.write_eof()
    except (OSError, RuntimeError):
        return False
    return True


def peer_text(transport: asyncio.BaseTransport) -> str:
    """The peer's address as "host:port" for a log line."""
    peer = transport.get_extra_info("peername")
    if isinstance(peer, tuple) and len(peer) >= 2:
        return f"{peer[0]}:{peer[1]}"
    return str(peer)
