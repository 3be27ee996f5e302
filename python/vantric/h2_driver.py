"""What the HTTP/2 server and client connections share around `H2Streams`:
handing received body bytes to a reader and giving them back to the peer's
windows, and waking the connection's writer.

Mixed into both connections, which hold `_kick` (the writer's wake-up
future) in their own slots and act on flags with `_flags()`."""

from __future__ import annotations

import asyncio
from collections import deque
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from typing import Protocol

    class _Host(Protocol):
        _kick: asyncio.Future[None] | None

        def _flags(self, flags: int) -> None: ...
        def release_data_frame(self, sid: int, payload_len: int) -> None: ...
        def release_capacity(self, sid: int, n: int) -> int: ...


__all__ = ["H2Driver"]


class H2Driver:
    __slots__ = ()
    _kick: asyncio.Future[None] | None  # the host's slot

    def _take_received(self: _Host, sid: int, chunks: deque[tuple[bytes, bool]]) -> bytes:
        """Every DATA payload of a stream that arrived and was not read, as one
        piece (small frames cost one object together, whatever their framing),
        its bytes given back to the windows and the DATA budget."""
        payload, budgeted = chunks.popleft()
        H2Driver._release(self, sid, payload, budgeted)
        if not chunks:
            return payload
        joined = bytearray(payload)
        while chunks:
            more, budgeted = chunks.popleft()
            H2Driver._release(self, sid, more, budgeted)
            joined += more
        return bytes(joined)

    def _release(self: _Host, sid: int, payload: bytes, budgeted: bool) -> None:
        """Gives consumed body bytes back to the peer's windows and the DATA budget."""
        if budgeted:
            self.release_data_frame(sid, len(payload))
        self._flags(self.release_capacity(sid, len(payload)))

    def _wake_pump(self: _Host) -> None:
        kick, self._kick = self._kick, None
        if kick is not None and not kick.done():
            kick.set_result(None)
