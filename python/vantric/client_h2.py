"""The HTTP/2 client connection: many requests at once over one connection, each
a stream.

The connection state of the protocol core (`H2Streams` in the client role)
decides everything that is protocol: stream ids and states, flow-control
windows, the concurrency slots the server's SETTINGS_MAX_CONCURRENT_STREAMS
allows, what goes on the wire and when a stream or the connection ends.  This
module feeds it the bytes received, writes the batches it queues (one pump
task per connection), and wakes the requests its verdicts name.
"""

from __future__ import annotations

import asyncio
from collections import deque
from collections.abc import AsyncIterable, Callable
from typing import TYPE_CHECKING, Self

from ._vantric import (
    H2_FLAG_CONN_DONE,
    H2_FLAG_SLOT_FREED,
    H2_FLAG_WAKE,
    H2_HEADERS_HEAD,
    H2_HEADERS_TRAILERS,
    ConnectionClosedError,
    H2Codec,
    H2FlowControlError,
    H2FrameData,
    H2FrameGoAway,
    H2FrameHeaders,
    H2FramePing,
    H2FrameRstStream,
    H2FrameSettings,
    H2FrameStreamError,
    H2FrameWindowUpdate,
    H2ProtocolError,
    H2Reason,
    H2StreamError,
    H2Streams,
    HeaderMap,
)
from .client_h1 import BaseResponse, ReadTimeout, _Wire
from .h2_driver import H2Driver
from .results import ResetReceived, connection_fault, reason_name, stream_fault
from .wire import WritePause

if TYPE_CHECKING:
    from ._vantric import H2SendVerdict, H2Stopped, _H2Event

__all__ = ["H2ClientConnection", "H2Response", "Unprocessed"]

# The receive windows we advertise: each stream may have this much unread
# response body in flight, the connection as a whole the second figure.
_STREAM_WINDOW = 1024 * 1024
_CONNECTION_WINDOW = 16 * 1024 * 1024
_MAX_FRAME_SIZE = 16384
_MAX_HEADER_LIST_SIZE = 256 * 1024
# Bytes of one stream that may wait in the send buffer before its sender waits.
_MAX_SEND_BUF_SIZE = 256 * 1024
_PING_PAYLOAD = b"vantric?"
_PING_FRAME = H2Codec().serialize_ping(_PING_PAYLOAD)


class Unprocessed(ConnectionError):
    """The server did not process the request: it was above the last stream id
    of the server's GOAWAY, or the connection took no new streams.  Sending it
    again on another connection is safe (RFC 9113 section 8.7)."""


class _Stream:
    """The host handle of one request stream: what its tasks wait on."""

    __slots__ = ("sid", "head", "chunks", "eof", "stop", "trailers", "waiters", "writer", "failure")

    def __init__(self) -> None:
        self.sid = 0
        self.head: H2FrameHeaders | None = None
        self.chunks: deque[tuple[bytes, bool]] = deque()  # (payload, budgeted)
        self.eof = False
        self.stop: H2Stopped | None = None  # set once the stream can go no further
        self.trailers: HeaderMap | None = None
        # The response reader and the body writer each wait on their own future.
        self.waiters: list[asyncio.Future[bool]] = []
        self.writer: asyncio.Task[None] | None = None  # sends a streamed request body
        self.failure: BaseException | None = None  # what ended the stream, when not a stop

    def wake(self) -> None:
        waiters = self.waiters
        while waiters:
            waiter = waiters.pop()
            if not waiter.done():
                waiter.set_result(True)

    def halt(self, stop: H2Stopped | None) -> None:
        if self.stop is None:
            self.stop = stop
        self.wake()

    async def wait(self, loop: asyncio.AbstractEventLoop, timeout: float | None) -> bool:
        """Waits for a wake; False when `timeout` passed first."""
        waiter: asyncio.Future[bool] = loop.create_future()
        self.waiters.append(waiter)
        if timeout is None:
            return await waiter
        timer = loop.call_later(timeout, _expire, waiter)
        try:
            return await waiter
        finally:
            timer.cancel()


def _expire(waiter: asyncio.Future[bool]) -> None:
    if not waiter.done():
        waiter.set_result(False)


class _H2Wire(asyncio.Protocol):
    """Hands the transport's events to the connection."""

    __slots__ = ("_conn",)

    def __init__(self, conn: H2ClientConnection) -> None:
        self._conn = conn

    def data_received(self, data: bytes) -> None:
        self._conn._on_data(data)

    def eof_received(self) -> bool:
        self._conn._on_lost(None)
        return False

    def connection_lost(self, exc: Exception | None) -> None:
        self._conn._on_lost(exc)

    def pause_writing(self) -> None:
        self._conn._on_pause_writing()

    def resume_writing(self) -> None:
        self._conn._on_resume_writing()


class H2ClientConnection(H2Streams, H2Driver, WritePause):
    """One HTTP/2 client connection over an asyncio transport.

    `request()` opens a stream per request and returns its `H2Response` once
    the response head arrived; requests beyond the server's concurrency limit
    wait for a slot.  `on_close(self)` is called once the connection takes no
    more requests."""

    __slots__ = (
        "_loop", "_transport", "read_timeout", "on_close", "_kick", "_write_waiter", "_pump",
        "_closing", "_finished", "_slot_waiters", "_ticker", "_heard", "_ping_sent", "origin", "ping_interval",
    )  # fmt: skip
    _loop: asyncio.AbstractEventLoop
    _transport: asyncio.Transport
    read_timeout: float | None
    on_close: Callable[[H2ClientConnection], None] | None
    _kick: asyncio.Future[None] | None
    _pump: asyncio.Task[None]
    _closing: bool
    _finished: bool
    _slot_waiters: deque[asyncio.Future[None]]
    _ticker: asyncio.TimerHandle | None
    _heard: bool  # a frame arrived since the last tick
    _ping_sent: bool  # our PING is unanswered
    origin: str  # "scheme://authority", for messages
    ping_interval: float  # a silent connection is sent a PING after this long

    @classmethod
    def over(
        cls,
        transport: asyncio.Transport,
        wire: _Wire,
        *,
        origin: str,
        read_timeout: float | None = None,
        ping_interval: float = 15.0,
        on_close: Callable[[H2ClientConnection], None] | None = None,
    ) -> Self:
        """Takes over a connected transport (prior knowledge, or TLS where ALPN
        chose "h2") with the bytes its `_Wire` already received."""
        conn = cls(
            "client",
            initial_window_size=_STREAM_WINDOW,
            connection_window=_CONNECTION_WINDOW,
            max_frame_size=_MAX_FRAME_SIZE,
            max_header_list_size=_MAX_HEADER_LIST_SIZE,
            max_send_buf_size=_MAX_SEND_BUF_SIZE,
            enable_push=False,
        )
        conn._loop = loop = asyncio.get_running_loop()
        conn._transport = transport
        conn.origin = origin
        conn.read_timeout = read_timeout
        conn.ping_interval = ping_interval
        conn.on_close = on_close
        conn._kick = None
        conn._write_waiter = None
        conn._closing = conn._finished = False
        conn._slot_waiters = deque()
        conn._heard = True
        conn._ping_sent = False
        conn.begin()
        conn._pump = loop.create_task(conn._run_pump())
        conn.store_task_handles(None, conn._pump)
        early, eof, error = wire._take(), wire._eof, wire._exc
        transport.set_protocol(_H2Wire(conn))
        if early:
            conn._on_data(early)
        if eof:
            conn._on_lost(error)  # type: ignore[arg-type]  # a transport error is an Exception
        conn._ticker = loop.call_later(ping_interval, conn._tick)
        return conn

    @property
    def usable(self) -> bool:
        """The connection may still take new requests."""
        return not self._closing and not self.is_closed()

    # -- one request -------------------------------------------------------------------

    async def request(
        self,
        method: str,
        scheme: str,
        authority: str,
        target: str,
        headers: HeaderMap,
        body: bytes | bytearray | memoryview | AsyncIterable[bytes] | None = None,
        trailers: HeaderMap | None = None,
    ) -> H2Response:
        """Sends one request and returns its response once the head arrived.

        Raises `Unprocessed` when the server did not take the request (send it
        again on another connection), `H2StreamError` when the server reset its
        stream, `ConnectionClosedError` when the connection failed under it and
        `ReadTimeout` when the server stays silent past `read_timeout`."""
        await self._claim_slot()
        stream = _Stream()
        ends = body is None and trailers is None
        sid = self.open_stream(
            method, target, headers, ends, method == "HEAD", stream, scheme=scheme, authority=authority
        )
        if sid is None:
            raise Unprocessed(f"{self.origin} takes no new streams")
        stream.sid = sid
        self._wake_pump()
        try:
            if isinstance(body, (bytes, bytearray, memoryview)):
                await self._send_body(stream, bytes(body), trailers)
            elif body is not None:
                stream.writer = self._loop.create_task(self._write_body(stream, body, trailers))
            elif trailers is not None:
                self._check(self.send_trailers(sid, trailers))
            while stream.head is None:
                self._raise_if_stopped(stream)
                if not await stream.wait(self._loop, self.read_timeout):
                    raise ReadTimeout(f"no response head within {self.read_timeout} s")
        except BaseException:
            self._abandon(stream)
            raise
        return H2Response(self, stream)

    async def _claim_slot(self) -> None:
        while not self.try_claim_slot():
            if not self.usable:
                raise Unprocessed(f"{self.origin} takes no new streams")
            waiter = self._loop.create_future()
            self._slot_waiters.append(waiter)
            await waiter
        if not self.usable:
            self.release_slot_count()
            raise Unprocessed(f"{self.origin} takes no new streams")

    async def _write_body(
        self, stream: _Stream, body: AsyncIterable[bytes], trailers: HeaderMap | None
    ) -> None:
        """The streamed request body: runs beside the response reader, so a server
        that answers before reading the whole body is still heard."""
        try:
            async for piece in body:
                if piece and not await self._send_data(stream, bytes(piece), False):
                    return
            await self._send_body(stream, b"", trailers)
        except asyncio.CancelledError:
            raise
        except BaseException as error:
            stream.failure = error
            self._reset(stream, H2Reason.CANCEL)

    async def _send_body(self, stream: _Stream, data: bytes, trailers: HeaderMap | None) -> None:
        if trailers is None:
            await self._send_data(stream, data, True)
        elif not data or await self._send_data(stream, data, False):
            self._check(self.send_trailers(stream.sid, trailers))

    async def _send_data(self, stream: _Stream, data: bytes, end: bool) -> bool:
        """Frames `data` as the windows allow; False when the stream can send no
        more (the server answered or reset it: the reader finds out why)."""
        offset = 0
        while True:
            verdict = self.send_data(stream.sid, data, offset, end)
            if not self._check(verdict):
                return False
            if verdict.done:
                return True
            if verdict.sent:
                offset += verdict.sent
                continue
            # No window or no buffer room: a WINDOW_UPDATE or a written batch wakes us.
            if not await stream.wait(self._loop, self.read_timeout):
                raise ReadTimeout(f"the server opened no window within {self.read_timeout} s")

    def _check(self, verdict: H2SendVerdict) -> bool:
        self._flags(verdict.flags)
        return verdict.stopped is None

    # -- the response body -------------------------------------------------------------

    async def _next_piece(self, stream: _Stream) -> bytes | None:
        """The body bytes that arrived, as one piece; None at the body's end."""
        while True:
            if stream.chunks:
                return self._take_received(stream.sid, stream.chunks)
            if stream.eof:
                return None
            self._raise_if_stopped(stream)
            if not await stream.wait(self._loop, self.read_timeout):
                raise ReadTimeout(f"no response bytes within {self.read_timeout} s")

    def _raise_if_stopped(self, stream: _Stream) -> None:
        if stream.failure is not None:
            raise stream.failure
        stop = stream.stop
        if stop is None:
            return
        if stop.conn:
            goaway = self.goaway_info()
            if goaway is not None and stop.reason is not None:
                # Above the GOAWAY's last stream id: never processed.
                raise Unprocessed(f"{self.origin} did not process stream {stream.sid} (GOAWAY)")
            error = self.conn_error()
            after = f" after GOAWAY ({reason_name(goaway[1])})" if goaway is not None else ""
            raise ConnectionClosedError(f"{self.origin}: {error or 'connection closed'}{after}") from error
        if stop.reason == H2Reason.REFUSED_STREAM:
            # RFC 9113 section 8.7: refused before any processing (a request
            # sent before the server's SETTINGS said how many it takes).
            raise Unprocessed(f"{self.origin} refused stream {stream.sid}")
        if stop.reason is not None:
            raise H2StreamError(stream.sid, stop.reason, "remote")
        raise ConnectionClosedError(f"{self.origin}: stream {stream.sid} was cancelled")

    def _finished_stream(self, stream: _Stream) -> None:
        """The response is read whole; a request body still going out is not
        wanted any more (the stream is cancelled so that it ends)."""
        if stream.writer is not None and not stream.writer.done():
            stream.writer.cancel()
            self._reset(stream, H2Reason.CANCEL)

    def _abandon(self, stream: _Stream) -> None:
        """The caller stopped before the response ended: the stream is cancelled."""
        writing = stream.writer is not None and not stream.writer.done()
        if writing:
            stream.writer.cancel()  # type: ignore[union-attr]  # writing: set
        sid = stream.sid
        if not sid:
            return
        while stream.chunks:
            payload, budgeted = stream.chunks.popleft()
            if budgeted:
                self.release_data_frame(sid, len(payload))
        verdict = self.reset_stream(sid, H2Reason.CANCEL) if writing else self.aclose_body(sid)
        stream.halt(verdict.stop)
        self._flags(verdict.flags)

    def _reset(self, stream: _Stream, reason: H2Reason) -> None:
        verdict = self.reset_stream(stream.sid, reason)
        stream.halt(verdict.stop)
        self._flags(verdict.flags)

    # -- received frames ---------------------------------------------------------------

    def _on_data(self, data: bytes) -> None:
        if self._finished:
            return
        self._heard = True
        try:
            for event in self.receive(data):
                self._apply(event)
        except (H2ProtocolError, H2FlowControlError) as error:
            self._fail(error)
            return
        self._flags(self.maybe_goaway_reply())

    def _apply(self, event: _H2Event) -> None:
        try:
            if isinstance(event, H2FrameData):
                verdict = self.recv_data(event)
                self._flags(verdict.flags)
                stream = verdict.handle
                if stream is not None:
                    if verdict.payload is not None:
                        stream.chunks.append((verdict.payload, verdict.budgeted))
                    if verdict.eof:
                        stream.eof = True
                    stream.wake()
            elif isinstance(event, H2FrameHeaders):
                headers = self.recv_headers(event)
                self._flags(headers.flags)
                handle = headers.handle
                if headers.kind == H2_HEADERS_HEAD:
                    handle.head = event
                    handle.eof = headers.eof
                    handle.wake()
                elif headers.kind == H2_HEADERS_TRAILERS:
                    handle.trailers = event.headers
                    handle.eof = True
                    handle.wake()
            elif isinstance(event, H2FrameWindowUpdate):
                for handle in self.recv_window_update(event):
                    handle.wake()
            elif isinstance(event, H2FrameRstStream):
                received = self.recv_reset(event)
                if received is not None:
                    reset = ResetReceived._make(received)
                    if reset.handle is not None:
                        reset.handle.halt(reset.stop)
                    self._flags(reset.flags)
            elif isinstance(event, H2FrameSettings):
                _, wake, flags = self.recv_settings(event)
                for handle in wake:
                    handle.wake()
                self._flags(flags)
            elif isinstance(event, H2FramePing):
                if event.ack and event.data == _PING_PAYLOAD:
                    self._ping_sent = False
                self._flags(self.recv_ping(event))
            elif isinstance(event, H2FrameGoAway):
                pairs, flags = self.recv_go_away(event)
                for handle, stop in pairs:
                    handle.halt(stop)
                self._flags(flags)
                self._no_more_streams()
            elif isinstance(event, H2FrameStreamError):
                self._reset_on_error(event.stream_id, event.error_code)
            # PRIORITY frames are advisory (RFC 9113 section 5.3.2) and ignored.
        except H2StreamError as error:
            fault = stream_fault(error)
            self._reset_on_error(fault.stream_id, fault.reason)

    def _reset_on_error(self, sid: int, reason: int) -> None:
        """The server broke the protocol on one stream: RST_STREAM, its request
        fails, the connection goes on."""
        verdict = self.reset_on_error(sid, reason)
        if verdict.handle is not None:
            handle = verdict.handle
            handle.failure = H2StreamError(sid, reason, "library")
            handle.halt(verdict.stop)
        self._flags(verdict.flags)

    # -- the connection ----------------------------------------------------------------

    def _flags(self, flags: int) -> None:
        if flags & H2_FLAG_WAKE:
            self._wake_pump()
        if flags & H2_FLAG_SLOT_FREED:
            self._wake_slot_waiters()
        if flags & H2_FLAG_CONN_DONE:
            self._close_after_flush()

    def _wake_slot_waiters(self) -> None:
        waiters = self._slot_waiters
        while waiters:
            waiter = waiters.popleft()
            if not waiter.done():
                waiter.set_result(None)

    def _no_more_streams(self) -> None:
        """The connection takes no new requests: the pool forgets it, and the
        requests waiting for a slot go elsewhere."""
        self._wake_slot_waiters()
        on_close, self.on_close = self.on_close, None
        if on_close is not None:
            on_close(self)
        if self.num_streams == 0:
            self._close_after_flush()

    def _close_after_flush(self) -> None:
        """The pump writes what is queued, then closes the transport."""
        if not self._closing:
            self._closing = True
            self.stop_pump()
            self._wake_pump()
            self._no_more_streams()

    def _fail(self, error: Exception) -> None:
        """The server broke the protocol for the whole connection: GOAWAY with
        the error's code, then close (RFC 9113 section 5.4.1)."""
        reason, _ = connection_fault(error)
        self._flags(self.send_goaway(reason))
        for handle, stop in self.fail(error):
            handle.halt(stop)
        self._close_after_flush()

    def _on_lost(self, exc: Exception | None) -> None:
        """The transport is gone: every stream stops."""
        if self._finished:
            return
        self._finished = True
        if self._ticker is not None:
            self._ticker.cancel()
        message = f"connection closed ({exc})" if exc is not None else "connection closed by the server"
        for handle, stop in self.fail(None, message):
            handle.halt(stop)
        self._on_resume_writing()
        self._close_after_flush()
        self._wake_pump()

    def _tick(self) -> None:
        """Every `ping_interval`: a connection that heard nothing is sent a PING;
        one whose PING stayed unanswered a whole interval is dead."""
        if self._finished:
            return
        if self._ping_sent and not self._heard:
            self._fail(ConnectionClosedError(f"{self.origin} did not answer a PING"))
            self._transport.abort()
            return
        if not self._heard and not self._closing:
            self._transport.write(_PING_FRAME)  # whole frames only: between the pump's batches
            self._ping_sent = True
        self._heard = False
        self._ticker = self._loop.call_later(self.ping_interval, self._tick)

    async def _run_pump(self) -> None:
        transport = self._transport
        try:
            while not self._finished:
                if not self.has_pending() and not self._closing:
                    self._kick = self._loop.create_future()
                    await self._kick
                    continue
                view, stopping = self.take_pending()
                if len(view):
                    transport.write(view)
                del view
                while self._write_waiter is not None and not self._finished:
                    await self._write_waiter
                for handle in self.credit_written():
                    handle.wake()
                if stopping:
                    break
        except Exception as error:  # a transport that refuses writes: the connection is lost
            self._on_lost(error)
        finally:
            transport.close()

    async def close(self) -> None:
        """Ends the connection: GOAWAY, then the transport; requests still
        running fail."""
        if not self._finished and not self._closing:
            self._flags(self.send_goaway(H2Reason.NO_ERROR))
            for handle, stop in self.fail(None, "connection closed by the client"):
                handle.halt(stop)
            self._close_after_flush()
        if self._ticker is not None:
            self._ticker.cancel()
        pump = self.take_pump_handle()
        if pump is not None:
            try:
                await asyncio.wait_for(asyncio.shield(pump), 5.0)
            except TimeoutError:
                self._transport.abort()


class H2Response(BaseResponse):
    """An HTTP/2 response: the body streams from its stream."""

    __slots__ = ("_conn", "_stream")

    def __init__(self, conn: H2ClientConnection, stream: _Stream) -> None:
        head = stream.head
        assert head is not None and head.status is not None  # a response head has one
        super().__init__(head.status, head.headers, "HTTP/2")
        self._conn = conn
        self._stream = stream

    async def _next_piece(self) -> bytes | None:
        try:
            piece = await self._conn._next_piece(self._stream)
        except BaseException:
            self._done = True
            self._conn._abandon(self._stream)
            raise
        if piece is None:
            self._done = True
            self.trailers = self._stream.trailers
            self._conn._finished_stream(self._stream)
        return piece

    @property
    def connection(self) -> H2ClientConnection:
        """The connection this response arrived on."""
        return self._conn

    async def aclose(self) -> None:
        """Stop reading: an unfinished body's stream is cancelled."""
        self._coding = None
        if not self._done:
            self._done = True
            self._conn._abandon(self._stream)
