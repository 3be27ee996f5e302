"""What the ASGI modules share: the interface's type names, the scope's
version, the error `send()` raises once the client has gone, the limits of a
WebSocket connection, and the handler's answer once the application has
written its response itself.  It imports neither ASGI module."""

from __future__ import annotations

from collections.abc import Awaitable, Callable, MutableMapping
from typing import TYPE_CHECKING, Any, NamedTuple

from .exchange import Response

if TYPE_CHECKING:
    from typing import TypeAlias

Scope: TypeAlias = MutableMapping[str, Any]
Message: TypeAlias = MutableMapping[str, Any]
Receive: TypeAlias = Callable[[], Awaitable[Message]]
Send: TypeAlias = Callable[[Message], Awaitable[None]]
ASGIApp: TypeAlias = Callable[[Scope, Receive, Send], Awaitable[None]]

__all__ = ["ASGIApp", "ASGI_VERSION", "WRITTEN", "ClientDisconnected", "Message", "Receive", "Scope", "Send",
           "WebSocketLimits"]  # fmt: skip

ASGI_VERSION = {"version": "3.0", "spec_version": "2.4"}
# The handler's answer once the application wrote its response itself.
WRITTEN = Response(200)


class ClientDisconnected(OSError):
    """`send()` after the client went away (ASGI spec version 2.4)."""


class WebSocketLimits(NamedTuple):
    max_size: int  # bytes of one message; a larger one closes with 1009
    ping_interval: float | None  # seconds between our pings (None: never)
    ping_timeout: float  # how long a ping may go unanswered
