"""What the HTTP/1 and HTTP/2 server connections share: the request and
response types a handler sees, the canned answers, and how a connection deals
with a client that breaks the protocol.

It imports neither driver, so that each driver module imports it and the
HTTP/1 driver can import the HTTP/2 one without a cycle.
"""

from __future__ import annotations

import asyncio
import logging
from collections import Counter
from collections.abc import AsyncIterable, AsyncIterator, Awaitable, Callable
from typing import TYPE_CHECKING, Any

from ._vantric import H1Codec, HeaderMap
from .wire import peer_text

if TYPE_CHECKING:
    from typing import Protocol

    from ._vantric import H1BodyDecoder, H1RequestHead
    from .forwarded import TrustedProxies

    class ServerHost(Protocol):
        """What a connection reads of the server it serves for."""

        handler: Handler
        counts: Counter[str]
        idle_timeout: float
        head_timeout: float
        body_timeout: float
        body_min_rate: float
        send_timeout: float
        max_body_size: int
        max_head_memory: int
        max_concurrent_streams: int
        max_queued_control_frames: int
        max_idle_frame_rate: float
        access_log: bool
        proxies: TrustedProxies | None
        _loop: asyncio.AbstractEventLoop
        _clock: Callable[[], float]  # the loop's time, as cheaply as it can be read
        _closing: bool
        _head_bytes: int
        _connections: set[Any]

        def _report(self, error: BaseException, request: Request | None) -> None: ...
        def _forget(self, conn: Any) -> None: ...

    class _FaultHost(Protocol):
        """What `ClientFault` needs of the connection it is mixed into."""

        @property
        def _server(self) -> ServerHost: ...

        _transport: asyncio.Transport
        _complained: bool


Handler = Callable[["Request"], Awaitable["Response"]]
Upgrade = Callable[["Tunnel"], Awaitable[None]]

# How far a request's response has gone out (Request._phase): the server
# sends a returned Response itself, unless the handler wrote it already.
NOT_STARTED, STREAMING, COMPLETE, SWITCHED = 0, 1, 2, 3

# The server connection a request or tunnel belongs to; typed loosely here so
# that this module needs neither driver.
_Connection = Any

logger = logging.getLogger("vantric.server")

CONTINUE = H1Codec.continue_response()


class BodyTooLarge(Exception):
    """`Request.read()` refused a body over the server's `max_body_size`.

    Left to the server it is answered with 413 and the connection closes."""


class Response:
    """What a handler returns: a status, header fields and a body.

    `body` is bytes (sent with a Content-Length) or an async iterable of
    bytes (streamed; chunked unless the headers carry a Content-Length).
    `trailers` go after a chunked body when the client accepts them and a
    Trailer header field names them.
    `upgrade`, for a 101 answer to an Upgrade request or a 2xx answer to
    CONNECT, is a coroutine function that receives the `Tunnel` once the head
    is on the wire.
    """

    __slots__ = ("status", "headers", "body", "trailers", "upgrade")

    def __init__(
        self,
        status: int = 200,
        headers: Any = None,
        body: bytes | AsyncIterable[bytes] = b"",
        *,
        trailers: Any = None,
        upgrade: Callable[[Tunnel], Awaitable[None]] | None = None,
    ) -> None:
        self.status = status
        self.headers = headers
        self.body = body
        self.trailers = trailers
        self.upgrade = upgrade

    def __repr__(self) -> str:
        return f"Response(status={self.status})"


class Request:
    """One request head plus access to its body.

    The body is read once, either whole with `read()` or piece by piece with
    `async for piece in request`.  A body the handler leaves unread is
    drained by the server after the response (or the connection is closed).
    """

    __slots__ = (
        "head", "_conn", "_seq", "_decoder", "trailers", "_gone", "_continued", "_phase", "_switched_transport",
        "_status", "_sent",
    )  # fmt: skip
    _status: int
    _sent: int
    _switched_transport: Any

    def __init__(self, conn: _Connection, head: H1RequestHead, seq: int, decoder: H1BodyDecoder) -> None:
        self.head = head
        self._conn = conn
        self._seq = seq
        self._decoder = decoder
        self.trailers: HeaderMap | None = None
        self._gone: asyncio.Future[bool] | None = None
        self._continued = False
        self._phase = NOT_STARTED
        # Set once the response starts: _status and _sent (body bytes written),
        # for the access log; _switched_transport once the connection switches.

    @property
    def method(self) -> str:
        return self.head.method

    @property
    def target(self) -> str:
        return self.head.target

    @property
    def headers(self) -> HeaderMap:
        return self.head.headers

    @property
    def http_version(self) -> str:
        return "1.0" if self.head.http10 else "1.1"

    @property
    def client(self) -> Any:
        """The peer's address as the socket reports it."""
        return self._endpoints()[1]

    @property
    def server(self) -> Any:
        """Our address on this connection, as the socket reports it."""
        return self._endpoints()[2]

    @property
    def scheme(self) -> str:
        """The URI scheme: https over TLS, else http."""
        return self._endpoints()[0]

    def _endpoints(self) -> tuple[str, Any, Any]:
        """(scheme, peer address, our address): the connection's, read once,
        or what a trusted proxy says of its client."""
        conn = self._conn
        cached: tuple[tuple[str, Any, Any], bool] | None = conn._endpoints
        if cached is None:
            transport = conn._transport
            scheme = "http" if transport.get_extra_info("ssl_object") is None else "https"
            peer, ours = transport.get_extra_info("peername"), transport.get_extra_info("sockname")
            proxies = conn._server.proxies
            cached = conn._endpoints = (
                (scheme, peer, ours),
                proxies is not None and proxies.trusts_peer(peer),
            )
        endpoints, trusted = cached
        if not trusted:
            return endpoints
        # A trusted proxy: the client it names (the very tuple of the
        # connection when it names none, so callers can tell).
        host, scheme = conn._server.proxies.resolve(self.head.headers)
        if host is None and scheme is None:
            return endpoints
        return (scheme or endpoints[0], (host, 0) if host else endpoints[1], endpoints[2])

    def _asgi_headers(self) -> list[tuple[bytes, bytes]]:
        """The header fields as lower-case name and value bytes, in order."""
        return self.head.headers.raw_items()

    def _body_complete(self) -> bool:
        """Nothing of the body is left to read (or there is none)."""
        return bool(self._decoder.is_complete)

    def _accepts_trailers(self) -> bool:
        """RFC 9110 section 10.1.4: a client says "TE: trailers" when it takes them."""
        return bool(self.head.allow_trailers)

    def _wants_websocket(self) -> bool:
        """An HTTP/1.1 request to switch to the WebSocket protocol (RFC 6455 section 4.1)."""
        head = self.head
        if not head.is_upgrade or head.method != "GET":
            return False
        upgrade = head.headers.get("upgrade")
        return upgrade is not None and upgrade.lower() == b"websocket"

    def __repr__(self) -> str:
        return f"Request(method={self.method!r}, target={self.target!r})"

    async def read(self) -> bytes:
        """The whole body (b"" once it was read or when there is none).

        Raises `BodyTooLarge` past the server's `max_body_size` (before any
        `100 Continue` when the declared length already says so); iterating
        over the request has no such limit."""
        limit = self._conn._server.max_body_size
        declared = self.head.content_length
        if declared is not None and declared > limit:
            raise BodyTooLarge(f"the request body exceeds {limit} bytes")
        # One buffer grows, whatever the pieces (no list of them), so the
        # memory of a read is the body's own size plus the final copy.
        first = b""
        joined: bytearray | None = None
        async for piece in self._pieces():
            if joined is None:
                if not first:
                    first = piece
                    if len(first) > limit:
                        raise BodyTooLarge(f"the request body exceeds {limit} bytes")
                    continue
                joined = bytearray(first)
            if len(joined) + len(piece) > limit:
                raise BodyTooLarge(f"the request body exceeds {limit} bytes")
            joined += piece
        return first if joined is None else bytes(joined)

    def __aiter__(self) -> AsyncIterator[bytes]:
        return self._pieces()

    async def _pieces(self) -> AsyncIterator[bytes]:
        conn, seq, decoder = self._conn, self._seq, self._decoder
        if not conn.begin_body_read(seq):
            return
        complete = False
        try:
            if conn.try_send_continue(seq):
                self._continued = True
                conn._transport.write(CONTINUE)
            # The chunks of one read come out joined: one object per read
            # whatever the chunk size.
            started = None
            received = 0
            while True:
                piece = decoder.decode_available()
                if piece is not None:
                    yield piece
                    continue
                if decoder.is_complete:
                    complete = True
                    break
                server = conn._server
                now = conn._loop.time()
                if started is None:
                    started = now
                deadline = body_deadline(now, started, received, server.body_timeout, server.body_min_rate)
                data = await conn._read(max(deadline - now, 0.0))
                if data:
                    received += len(data)
                    decoder.feed(data)
                else:
                    decoder.mark_eof()
        except GeneratorExit:
            raise  # the reader stopped early: the rest is drained or the connection closed
        except BaseException:
            conn.mark_unusable()
            raise
        finally:
            conn.end_body_read(seq, complete)
        self.trailers = decoder.take_trailers()
        if self._gone is not None and not self._gone.done():
            # Somebody waits in disconnected(): the watcher is armable only now.
            if conn.arm_watcher(seq, conn._loop.create_future()):
                conn._watch_now()

    async def disconnected(self) -> bool:
        """Waits until the client has gone (True) or the response is done (False)."""
        conn, seq = self._conn, self._seq
        verdict: bool | None = conn.peer_closed_now(seq)
        if verdict is not None:
            return verdict
        gone = self._gone_future()
        if conn.arm_watcher(seq, conn._loop.create_future(), want=True):
            conn._watch_now()
        return await gone

    def _gone_future(self) -> asyncio.Future[bool]:
        if self._gone is None:
            self._gone = self._conn._loop.create_future()
            if self._conn.peer_closed_flag(self._seq):
                self._gone.set_result(True)
        return self._gone


class Tunnel:
    """The raw connection after a protocol switch: bytes both ways."""

    __slots__ = ("_conn", "_leftover")

    def __init__(self, conn: _Connection, leftover: bytes | None) -> None:
        self._conn = conn
        self._leftover = leftover or b""

    async def read(self) -> bytes:
        """The next bytes from the client; b"" at end of stream."""
        if self._leftover:
            data, self._leftover = self._leftover, b""
            return data
        received: bytes = await self._conn._read(None)
        return received

    def write(self, data: bytes) -> None:
        self._conn._transport.write(data)

    async def drain(self) -> None:
        await self._conn._drain_writes()

    def close(self) -> None:
        self._conn._transport.close()

    async def end(self) -> None:
        """Nothing to end here: the connection closes once the handler returns."""


async def stream_response(conn: _Connection, request: Request, response: Response) -> None:
    """Sends a `Response` whose body is an async iterable, through the
    connection's `_respond_*` calls; the iterator is closed however it ends."""
    await conn._respond_head(request, response.status, response.headers)
    pieces = aiter(response.body)  # type: ignore[arg-type]  # not bytes: an async iterable
    try:
        async for piece in pieces:
            await conn._respond_piece(request, piece)
    finally:
        close = getattr(pieces, "aclose", None)
        if close is not None:
            await close()
    await conn._respond_end(request, response.trailers)


def body_deadline(now: float, started: float, received: int, timeout: float, min_rate: float) -> float:
    """When the wait (from `now`) for more of a body ends: `timeout` after it
    began, and later only while the body keeps up `min_rate` bytes a second on
    average (a client trickling a byte now and then cannot hold a handler
    forever).  Each read also waits at most `timeout`."""
    floor = started + max(timeout, received / min_rate) if min_rate > 0 else float("inf")
    return min(now + timeout, floor)


class ClientFault:
    """What a connection does about a client that broke the protocol: it is
    counted every time and logged once per connection, without a traceback
    (a hostile client must not be able to flood the log).

    Mixed into the HTTP/1 and HTTP/2 connections, which hold `_server`,
    `_transport` and `_complained` in their own slots."""

    __slots__ = ()

    def _client_fault(self: _FaultHost, what: str) -> None:
        self._server.counts["client_error"] += 1
        if not self._complained:
            self._complained = True
            logger.info("client %s: %s", peer_text(self._transport), what)


# The server's own answers.
TOO_LARGE = Response(413, [("content-type", "text/plain")], b"The request body is too large.\n")
INTERNAL_ERROR = Response(500, [("content-type", "text/plain")], b"Internal Server Error\n")
BAD_HOST = Response(400, [("content-type", "text/plain")], b"A request needs exactly one Host field.\n")
BAD_BODY = Response(400, [("content-type", "text/plain")], b"The request body is malformed or incomplete.\n")
