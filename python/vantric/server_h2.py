"""The HTTP/2 server connection (cleartext, prior knowledge).

The HTTP/1.1 connection hands over a connection that opens with the HTTP/2 client
preface; from then on this module serves it with the same application: each
stream's `Request` goes to the handler in a task of its own, and the
`Response` goes back as HEADERS, DATA and trailers.

The connection state of the protocol core decides everything that is protocol
(stream states, flow-control windows, what goes on the wire and when a stream
or the connection ends); this module feeds it the bytes received, writes the
batches it queues, and wakes the tasks its verdicts name.
"""

from __future__ import annotations

import asyncio
import sys
from collections import deque
from collections.abc import AsyncIterator
from typing import TYPE_CHECKING, Any, NamedTuple

from ._vantric import (
    H2_FLAG_CONN_DONE,
    H2_FLAG_STOP_ACCEPTING,
    H2_FLAG_WAKE,
    H2_HEADERS_OPENED,
    H2_HEADERS_TRAILERS,
    H2_PREFACE,
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
from .access_log import log_exchange
from .exchange import (
    COMPLETE,
    INTERNAL_ERROR,
    NOT_STARTED,
    STREAMING,
    TOO_LARGE,
    BodyTooLarge,
    ClientFault,
    Handler,
    Request,
    Response,
    body_deadline,
    stream_response,
)
from .h2_driver import H2Driver
from .policy import H2RequestHead, h2_response_fields
from .results import ResetReceived, connection_fault, reason_name, stream_fault
from .wire import LINGER_BYTES, LINGER_SECONDS, WritePause, end_output

if TYPE_CHECKING:
    from ._vantric import H2SendVerdict, H2Stopped, _H2Event
    from .exchange import ServerHost as Server

__all__ = ["StreamReset"]

# The receive windows we advertise: each stream may have this much unread
# body in flight, the connection as a whole the second figure.
_STREAM_WINDOW = 1024 * 1024
_CONNECTION_WINDOW = 4 * 1024 * 1024
_MAX_FRAME_SIZE = 16384
_MAX_HEADER_LIST_SIZE = 64 * 1024
# Bytes of one stream that may wait in the send buffer before its sender waits.
_MAX_SEND_BUF_SIZE = 256 * 1024

_PREFACE_LENGTH = len(H2_PREFACE)


class StreamReset(ConnectionError):
    """The stream ended before its request body did (the client reset it, or
    the connection went away)."""


class _Stop(NamedTuple):
    """Why a stream went no further, shaped as the core's H2Stopped."""

    reason: int | None
    conn: bool


# The client half-closed the connection before the request body ended.
_HALF_CLOSED = _Stop(None, True)


class _Stream:
    """The host handle of one stream: what its reader and sender wait on."""

    __slots__ = ("sid", "chunks", "eof", "stop", "trailers", "waiter", "deadline", "sending", "task", "done")

    def __init__(self) -> None:
        self.sid = 0
        self.chunks: deque[tuple[bytes, bool]] = deque()  # (payload, budgeted)
        self.eof = False
        self.stop: H2Stopped | _Stop | None = None  # set once the stream can go no further
        self.trailers: HeaderMap | None = None
        self.waiter: asyncio.Future[None] | None = None
        self.deadline: float | None = None  # when the current wait on the client ends
        self.sending = False  # the wait is for room to send (a window or the send buffer)
        self.task: asyncio.Task[None] | None = None
        self.done = False  # the response is over

    def wake(self) -> None:
        waiter, self.waiter = self.waiter, None
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def halt(self, stop: H2Stopped | _Stop | None) -> None:
        if self.stop is None:
            self.stop = stop
        self.wake()

    def cancel(self) -> None:
        """Ends a handler whose stream went away (its body iterator is closed too)."""
        if self.task is not None and not self.done:
            self.task.cancel()

    async def wait(self, loop: asyncio.AbstractEventLoop, deadline: float | None = None) -> None:
        """Waits for a wake; past `deadline` the connection's sweep resets the stream."""
        waiter = self.waiter
        if waiter is None:
            waiter = self.waiter = loop.create_future()
        self.deadline = deadline
        try:
            await waiter
        finally:
            self.deadline = None


class _H2Request(Request):
    """A request whose body arrives as the DATA frames of one stream."""

    __slots__ = ()
    # The HTTP/1 request's slots, holding this driver's head, connection and stream.
    head: H2RequestHead  # type: ignore[assignment]
    _conn: H2Connection
    _decoder: _Stream  # type: ignore[assignment]

    @property
    def http_version(self) -> str:
        return "2"

    def _asgi_headers(self) -> list[tuple[bytes, bytes]]:
        # :authority leads, as the host field (replacing one the client sent).
        authority = self.head.authority
        fields: list[tuple[bytes, bytes]] = self.head.headers.raw_items()
        if authority is None:
            return fields
        return [(b"host", authority.encode()), *(field for field in fields if field[0] != b"host")]

    def _body_complete(self) -> bool:
        stream = self._decoder
        return stream.eof and not stream.chunks

    def _accepts_trailers(self) -> bool:
        return True  # RFC 9113 section 8.1: trailers are part of every HTTP/2 message

    def _wants_websocket(self) -> bool:
        """An extended CONNECT for the WebSocket protocol (RFC 8441 section 4);
        the core let one through only where the server announced it."""
        head = self.head
        return head.method == "CONNECT" and head.protocol is not None and head.protocol.lower() == "websocket"

    async def _pieces(self) -> AsyncIterator[bytes]:
        conn, stream = self._conn, self._decoder
        if self._continued:
            return  # read once
        self._continued = True
        sid, loop, server = stream.sid, conn._loop, conn._server
        started = loop.time()
        received = 0
        while True:
            if stream.chunks:
                payload = conn._take_received(sid, stream.chunks)
                received += len(payload)
                yield payload
                continue
            if stream.eof:
                break
            if stream.stop is not None:
                raise StreamReset(f"stream {sid} ended before its request body")
            await stream.wait(
                loop, body_deadline(loop.time(), started, received, server.body_timeout, server.body_min_rate)
            )
        self.trailers = stream.trailers

    async def disconnected(self) -> bool:
        """Waits until the client has gone (True) or the response is done (False)."""
        stream = self._decoder
        while True:
            if stream.stop is not None and not stream.done:
                return stream.stop.reason is not None or stream.stop.conn
            if stream.done:
                return False
            await stream.wait(self._conn._loop)


class _StreamTunnel:
    """An extended CONNECT stream (RFC 8441) as the bytes of a tunnel: the
    request's DATA frames in, the response's out, shaped as the HTTP/1.1
    connection's `Tunnel`."""

    __slots__ = ("_conn", "_request", "_stream", "_out", "_writer")

    def __init__(self, conn: H2Connection, request: _H2Request) -> None:
        self._conn = conn
        self._request = request
        self._stream = request._decoder
        self._out: deque[bytes] = deque()  # written, waiting for the stream's window
        self._writer: asyncio.Task[None] | None = None

    async def read(self) -> bytes:
        """The next bytes from the client; b"" once its side or the stream ended."""
        conn, stream = self._conn, self._stream
        while True:
            if stream.chunks:
                return conn._take_received(stream.sid, stream.chunks)
            if stream.eof or stream.stop is not None:
                return b""
            # No deadline of its own: the tunnel's user pings a silent peer,
            # and a sender stalled on the window keeps the one it set.
            waiter = stream.waiter
            if waiter is None:
                waiter = stream.waiter = conn._loop.create_future()
            await waiter

    def write(self, data: bytes) -> None:
        """Queues `data`: it goes out as the stream's window allows, in order."""
        if not data or self._request._phase == COMPLETE:
            return
        self._out.append(data)
        if self._writer is None:
            self._writer = self._conn._loop.create_task(self._flush())

    async def _flush(self) -> None:
        conn, out = self._conn, self._out
        try:
            while out:
                data = out.popleft()
                self._request._sent += len(data)
                await conn._send_data(self._stream, data, False)
        except _Stopped:
            out.clear()  # the stream is gone: nobody reads the rest
        finally:
            self._writer = None

    async def drain(self) -> None:
        """Waits until what was written went out (or the stream ended)."""
        writer = self._writer
        if writer is not None:
            await asyncio.shield(writer)

    def close(self) -> None:
        """Ends the tunnel at once: the stream is reset (CANCEL)."""
        request = self._request
        if request._phase == COMPLETE:
            return
        request._phase = COMPLETE
        self._out.clear()
        verdict = self._conn.reset_stream(self._stream.sid, H2Reason.CANCEL)
        if verdict.handle is not None:
            verdict.handle.halt(verdict.stop)
        self._conn._flags(verdict.flags)

    async def end(self) -> None:
        """Ends the tunnel in order: what was written, then END_STREAM."""
        await self.drain()
        if self._request._phase != COMPLETE:
            try:
                await self._conn._respond_end(self._request, None)
            except _Stopped:
                self._request._phase = COMPLETE


class H2Connection(H2Streams, H2Driver, WritePause, ClientFault):
    """One HTTP/2 server connection: the core state plus the asyncio tasks."""

    __slots__ = (
        "_server",
        "_loop",
        "_transport",
        "_handler",
        "_endpoints",
        "_handler_cache",
        "_pump",
        "_kick",
        "_write_waiter",
        "_closing",
        "_last_active",
        "_finished",
        "_lingering",
        "_dropped",
        "_linger",
        "_complained",
        "_streams",
        "_input_ended",
        "_answers",
        "_frame_tokens",
        "_frame_clock",
        "_unsent",
        "_write_deadline",
    )
    # The slots' types (create() fills them; _write_waiter is _WritePause's).
    _server: Server
    _loop: asyncio.AbstractEventLoop
    _transport: asyncio.Transport
    _handler: Handler
    _endpoints: tuple[tuple[str, Any, Any], bool] | None
    _handler_cache: Any  # what the handler keeps per connection
    _pump: asyncio.Task[None]
    _kick: asyncio.Future[None] | None
    _closing: bool
    _last_active: float
    _finished: bool
    _lingering: bool
    _dropped: int
    _linger: asyncio.TimerHandle | None
    _complained: bool
    _streams: set[_Stream]
    _input_ended: bool
    _answers: int
    _frame_tokens: float
    _frame_clock: float
    _unsent: int
    _write_deadline: float | None

    @classmethod
    def create(cls, server: Server, transport: asyncio.Transport) -> H2Connection:
        conn = cls(
            "server",
            initial_window_size=_STREAM_WINDOW,
            connection_window=_CONNECTION_WINDOW,
            max_frame_size=_MAX_FRAME_SIZE,
            max_header_list_size=_MAX_HEADER_LIST_SIZE,
            max_send_buf_size=_MAX_SEND_BUF_SIZE,
            max_concurrent_streams=server.max_concurrent_streams,
            # RFC 8441: announced to handlers that serve WebSocket over a stream.
            enable_connect_protocol=bool(getattr(server.handler, "websocket_over_h2", False)),
        )
        conn._server = server
        conn._loop = server._loop
        conn._transport = transport
        conn._handler = server.handler
        conn._endpoints = None
        conn._handler_cache = None
        conn._kick = None
        conn._write_waiter = None
        conn._closing = False
        conn._finished = False
        conn._lingering = False
        conn._dropped = 0
        conn._linger = None
        conn._complained = False
        conn._streams = set()  # the streams whose handler runs
        conn._input_ended = False  # the client half-closed
        conn._answers = 0  # control frames (ACKs, resets) queued since the client last read
        conn._frame_tokens = float(server.max_idle_frame_rate)
        conn._frame_clock = conn._loop.time()
        conn._unsent = -1  # the write buffer's size at the last sweep while paused
        conn._write_deadline = None
        conn._last_active = conn._loop.time()
        conn.begin()
        conn._pump = conn._loop.create_task(conn._run_pump())
        conn.store_task_handles(None, conn._pump)
        return conn

    def start(self, data: bytes) -> None:
        """Takes the bytes the HTTP/1 side already read: the preface, or the
        part of it that has arrived (none when TLS chose HTTP/2)."""
        # Only the preface is primed: the frames after it go through receive(),
        # which decodes them where they lie, and finishes a preface begun here.
        if data and self.prime(data[:_PREFACE_LENGTH]) is False:
            self._fail(H2ProtocolError(H2Reason.PROTOCOL_ERROR, "bad client connection preface"))
            return
        if len(data) > _PREFACE_LENGTH:
            self._on_data(data[_PREFACE_LENGTH:])
        if self._server._closing:
            self.request_shutdown()

    # -- transport events (called by the HTTP/1 server's protocol object) ----

    def _on_data(self, data: bytes) -> None:
        if self._lingering:
            # Our side has ended: what the client still sends is dropped, up
            # to a point (a client flooding us is not read for long).
            self._dropped += len(data)
            if self._dropped > LINGER_BYTES:
                self._abort(None)
            return
        self._last_active = self._loop.time()
        try:
            for event in self.receive(data):
                self._apply(event)
        except (H2ProtocolError, H2FlowControlError) as error:
            self._fail(error)
            return
        self._flags(self.maybe_goaway_reply())

    def _on_eof(self) -> None:
        """The client half-closed: it sends nothing more but may still read.
        Requests it sent whole are answered; those still waiting for a body
        end, and the connection closes once no stream is left."""
        if self._finished:
            return
        if self._lingering:
            self._abort(None)  # our side had ended already: both have now
            return
        self._input_ended = True
        for stream in list(self._streams):
            if not stream.eof:
                stream.halt(_HALF_CLOSED)
        if self.num_streams == 0:
            self._close_after_flush()

    def _on_lost(self) -> None:
        if not self._finished:
            self._abort(None)

    def _timed_out(self, now: float) -> bool:
        server = self._server
        # A client that stops reading: dropped past send_timeout without progress.
        if self._write_waiter is not None and not self._finished:
            unsent = self._transport.get_write_buffer_size()
            if unsent != self._unsent or self._write_deadline is None:
                self._unsent = unsent
                self._write_deadline = now + server.send_timeout
            elif now >= self._write_deadline:
                server.counts["timeout"] += 1
                self._transport.abort()
                self._abort(None)  # nothing more is written to it
                return True
        else:
            self._write_deadline = None
        # A stream waiting too long for its body or for a window is reset.
        for stream in [s for s in self._streams if s.deadline is not None and now >= s.deadline]:
            server.counts["timeout"] += 1
            self._end_stream(stream, H2Reason.CANCEL)
        if self.conn_send_window:
            # The connection window wakes the senders it stopped, as many as
            # it may serve; one that then went away cannot leave the others
            # waiting past a sweep.
            for stream in self._streams:
                if stream.sending:
                    stream.wake()
        # An idle connection (no stream, nothing received) is told GOAWAY and closed.
        if (
            self._closing
            or self.num_streams
            or self._streams
            or now - self._last_active < server.idle_timeout
        ):
            return False
        server.counts["timeout"] += 1
        self._flags(self.send_goaway(H2Reason.NO_ERROR))
        self._close_after_flush()
        return True

    def _end_stream(self, stream: _Stream, reason: H2Reason) -> None:
        """Resets a stream of ours and ends its handler."""
        verdict = self.reset_stream(stream.sid, reason, "library")
        stream.halt(verdict.stop if verdict.stop is not None else _Stop(int(reason), False))
        stream.cancel()
        self._flags(verdict.flags)

    def _idle_frame(self) -> None:
        """Charges a frame that does no work (PRIORITY, a reset, a PING, an
        update or DATA for a stream that is gone) to the connection's rate:
        past `max_idle_frame_rate` a second, sustained, the client is
        flooding (ENHANCE_YOUR_CALM)."""
        now = self._loop.time()
        rate = self._server.max_idle_frame_rate
        tokens = min(float(rate), self._frame_tokens + (now - self._frame_clock) * rate)
        self._frame_clock = now
        if tokens < 1.0:
            raise H2ProtocolError(H2Reason.ENHANCE_YOUR_CALM, "too many frames that do no work")
        self._frame_tokens = tokens - 1.0

    def _answer_queued(self) -> None:
        """Counts a control frame queued in answer to the client (an ACK, a
        reset): a client that makes us answer without reading is cut off."""
        self._answers += 1
        if self._answers > self._server.max_queued_control_frames:
            raise H2ProtocolError(H2Reason.ENHANCE_YOUR_CALM, "too many control frames queued")

    def request_shutdown(self) -> None:
        """Starts the graceful shutdown: GOAWAY, PING, then the final GOAWAY."""
        if self._closing:
            return
        self._flags(self.begin_graceful_shutdown())
        if self.num_streams == 0 and self.shutdown_final:
            self._close_after_flush()

    # -- the receive side ------------------------------------------------------

    def _apply(self, event: _H2Event) -> None:
        try:
            if isinstance(event, H2FrameData):
                self._on_frame_data(event)
            elif isinstance(event, H2FrameHeaders):
                self._on_headers(event)
            elif isinstance(event, H2FrameWindowUpdate):
                woken = self.recv_window_update(event)
                if not woken and event.stream_id:
                    self._idle_frame()
                for handle in woken:
                    handle.wake()
            elif isinstance(event, H2FrameRstStream):
                self._idle_frame()
                received = self.recv_reset(event)
                if received is not None:
                    reset = ResetReceived._make(received)
                    if reset.handle is not None:
                        reset.handle.halt(reset.stop)
                        reset.handle.cancel()
                    self._flags(reset.flags)
            elif isinstance(event, H2FrameSettings):
                if not event.ack:
                    self._idle_frame()
                    self._answer_queued()
                _, wake, flags = self.recv_settings(event)
                for handle in wake:
                    handle.wake()
                self._flags(flags)
            elif isinstance(event, H2FramePing):
                if not event.ack:
                    self._idle_frame()
                    self._answer_queued()
                self._flags(self.recv_ping(event))
            elif isinstance(event, H2FrameGoAway):
                pairs, flags = self.recv_go_away(event)
                for handle, stop in pairs:
                    handle.halt(stop)
                self._flags(flags)
            elif isinstance(event, H2FrameStreamError):
                self._reset_on_error(event.stream_id, event.error_code)
            else:
                # PRIORITY frames are advisory (RFC 9113 section 5.3.2) and ignored.
                self._idle_frame()
        except H2StreamError as error:
            fault = stream_fault(error)
            self._reset_on_error(fault.stream_id, fault.reason)

    def _reset_on_error(self, sid: int, reason: int) -> None:
        """The client broke the protocol on one stream: RST_STREAM, the connection goes on."""
        self._client_fault(f"stream {sid} reset ({reason_name(reason)})")
        verdict = self.reset_on_error(sid, reason)
        if verdict.flags & H2_FLAG_WAKE:
            self._answer_queued()
        if verdict.handle is not None:
            verdict.handle.halt(verdict.stop)
            verdict.handle.cancel()
        self._flags(verdict.flags)

    def _on_headers(self, frame: H2FrameHeaders) -> None:
        stream = _Stream()
        verdict = self.recv_headers(frame, stream)
        self._flags(verdict.flags)
        kind = verdict.kind
        if kind == H2_HEADERS_OPENED:
            stream.sid = verdict.stream_id
            stream.eof = verdict.eof
            if frame.over_size:
                self._refuse_head_too_large(stream)
                return
            if len(self._streams) >= self._server.max_concurrent_streams:
                # Handlers of streams the client reset may still be ending:
                # never more of them at once than SETTINGS_MAX_CONCURRENT_STREAMS.
                self._flags(self.reset_stream(stream.sid, H2Reason.REFUSED_STREAM, "library").flags)
                return
            self._streams.add(stream)
            stream.task = self._start_exchange(stream, frame)
        elif kind == H2_HEADERS_TRAILERS:
            handle = verdict.handle
            handle.trailers = frame.headers
            handle.eof = True
            handle.wake()

    if sys.version_info >= (3, 12):

        def _start_exchange(self, stream: _Stream, frame: H2FrameHeaders) -> asyncio.Task[None]:
            # The task's first step runs here and now: a handler that answers
            # without waiting has answered before the next frame is read,
            # never scheduled through the loop.
            return asyncio.Task(self._exchange(stream, frame), loop=self._loop, eager_start=True)

    else:

        def _start_exchange(self, stream: _Stream, frame: H2FrameHeaders) -> asyncio.Task[None]:
            return self._loop.create_task(self._exchange(stream, frame))

    def _refuse_head_too_large(self, stream: _Stream) -> None:
        """A request whose fields passed our SETTINGS_MAX_HEADER_LIST_SIZE lost
        the ones past it: it is answered 431 (RFC 9113 section 10.5.1), never
        served without them."""
        self._client_fault(f"stream {stream.sid}: request header fields over the limit")
        self.accepted(stream.sid)
        stream.done = True
        verdict = self.send_response_head(stream.sid, 431, _EMPTY_BODY_HEADERS, True)
        self._flags(verdict.flags)
        if verdict.handle is not None:
            verdict.handle.halt(verdict.reader_stop)

    def _on_frame_data(self, frame: H2FrameData) -> None:
        verdict = self.recv_data(frame)
        self._flags(verdict.flags)
        stream = verdict.handle
        if stream is None:
            self._idle_frame()
            return
        if verdict.payload is not None:
            stream.chunks.append((verdict.payload, verdict.budgeted))
        if verdict.eof:
            stream.eof = True
        stream.wake()

    # -- one stream ------------------------------------------------------------

    async def _exchange(self, stream: _Stream, frame: H2FrameHeaders) -> None:
        sid = stream.sid
        self.accepted(sid)
        request = _H2Request(self, H2RequestHead(frame), sid, stream)  # type: ignore[arg-type]
        started = self._loop.time() if self._server.access_log else 0.0
        try:
            try:
                response = await self._handler(request)
                if not isinstance(response, Response):
                    raise TypeError(f"the handler returned {type(response).__name__}, not Response")
            except BodyTooLarge:
                response = TOO_LARGE
            except StreamReset:
                return
            except Exception as error:
                if stream.stop is not None:
                    return  # the stream went away under the handler
                self._server._report(error, request)
                response = INTERNAL_ERROR
            if request._phase == NOT_STARTED:
                await self._send(request, response)
            elif request._phase != COMPLETE:
                # Begun and never ended: the client learns it from a reset.
                self._flags(self.reset_stream(sid, H2Reason.INTERNAL_ERROR).flags)
        except _Stopped:
            pass
        except Exception as error:
            self._server._report(error, request)
            verdict = self.reset_stream(sid, H2Reason.INTERNAL_ERROR)
            self._flags(verdict.flags)
        finally:
            stream.done = True
            self._streams.discard(stream)
            # A body the handler left unread goes back to the connection window.
            while stream.chunks:
                payload, budgeted = stream.chunks.popleft()
                self._release(sid, payload, budgeted)
            stream.wake()
            if self._input_ended and not self._streams:
                self._close_after_flush()
            if started:
                log_exchange(request, started, self._loop.time())

    async def _send(self, request: _H2Request, response: Response) -> None:
        """Sends a handler's `Response`."""
        body = response.body
        if isinstance(body, (bytes, bytearray, memoryview)):
            await self._respond_whole(request, response.status, response.headers, body, response.trailers)
            return
        await stream_response(self, request, response)

    # -- writing a response, whole or piece by piece ---------------------------
    # Each raises _Stopped when the stream can send no more (the client reset
    # it, or the connection ended).

    _writes_at_once = False  # a whole answer may wait for a window

    async def _respond_whole(
        self,
        request: _H2Request,
        status: int,
        headers: Any,
        body: bytes | bytearray | memoryview,
        trailers: Any,
    ) -> None:
        request._status, request._sent = status, len(body)
        stream = request._decoder
        if trailers is not None and not isinstance(trailers, HeaderMap):
            trailers = HeaderMap(trailers)
        headers, data = h2_response_fields(request.method, status, headers, bytes(body))
        end_now = not data and trailers is None
        request._phase = COMPLETE
        self._check(self.send_response_head(stream.sid, status, headers, end_now))
        if end_now:
            return
        if data:
            await self._send_data(stream, data, trailers is None)
        if trailers is not None:
            self._check(self.send_trailers(stream.sid, trailers))

    async def _respond_head(self, request: _H2Request, status: int, headers: Any) -> None:
        request._status, request._sent = status, 0
        if headers is not None and not isinstance(headers, HeaderMap):
            headers = HeaderMap(headers)
        request._phase = STREAMING
        self._check(self.send_response_head(request._decoder.sid, status, headers, False))

    async def _respond_piece(self, request: _H2Request, piece: bytes) -> None:
        request._sent += len(piece)
        if piece and request.method != "HEAD":  # RFC 9110 section 9.3.2: no content for HEAD
            await self._send_data(request._decoder, bytes(piece), False)

    async def _respond_switch(self, request: _H2Request, status: int, headers: Any) -> _StreamTunnel:
        """Answers an extended CONNECT (a 2xx, RFC 8441 section 5) and hands
        over its stream as a tunnel; the stream ends with the tunnel's end()."""
        if not (200 <= status < 300 and request._wants_websocket()):
            raise RuntimeError(f"a {status} answer does not open a tunnel on HTTP/2")
        await self._respond_head(request, status, headers)
        return _StreamTunnel(self, request)

    async def _respond_end(self, request: _H2Request, trailers: Any) -> None:
        request._phase = COMPLETE
        if trailers is not None:
            if not isinstance(trailers, HeaderMap):
                trailers = HeaderMap(trailers)
            self._check(self.send_trailers(request._decoder.sid, trailers))
        else:
            await self._send_data(request._decoder, b"", True)

    async def _send_data(self, stream: _Stream, data: bytes, end: bool) -> None:
        sid, offset, loop = stream.sid, 0, self._loop
        stalled_since = None
        while True:
            verdict = self.send_data(sid, data, offset, end)
            self._check(verdict)
            if verdict.done:
                return
            if verdict.sent:
                offset += verdict.sent
                stalled_since = None
                continue
            # No window or no buffer room: a WINDOW_UPDATE or a written batch
            # wakes us; past send_timeout without progress the sweep resets us.
            if stalled_since is None:
                stalled_since = loop.time()
            stream.sending = True
            try:
                await stream.wait(loop, stalled_since + self._server.send_timeout)
            finally:
                stream.sending = False

    def _check(self, verdict: H2SendVerdict) -> None:
        """Acts on a send verdict; raises `_Stopped` when the stream can send no more."""
        self._flags(verdict.flags)
        if verdict.handle is not None:
            verdict.handle.halt(verdict.reader_stop)
        if verdict.stopped is not None:
            raise _Stopped

    # -- the connection --------------------------------------------------------

    def _flags(self, flags: int) -> None:
        if flags & H2_FLAG_WAKE:
            self._wake_pump()
        if flags & (H2_FLAG_CONN_DONE | H2_FLAG_STOP_ACCEPTING):
            self._close_after_flush()

    def _close_after_flush(self) -> None:
        """The pump writes what is queued, then closes the transport."""
        if not self._closing:
            self._closing = True
            self.stop_pump()
            self._wake_pump()

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
                    # The client reads slowly: senders wait with us (the sweep
                    # drops a client that stops reading).
                    await self._write_waiter
                self._answers = 0  # the client read what we answered
                for handle in self.credit_written():
                    handle.wake()
                if stopping or self._finished:
                    break
        except Exception as error:
            # Some transports refuse a write once the client is gone: a normal
            # end.  Anything else is a fault of ours, reported.
            self._server._report(error, None)
            self._abort(None)
        finally:
            if not self._finished:
                self._lingering = True
                # Closing with unread bytes would reset the connection and could
                # destroy the GOAWAY before the client reads it: end our side,
                # then drop what the client still sends until it closes too
                # (at once when it already has: close() still sends what is queued).
                if not self._input_ended and end_output(transport):
                    self._linger = self._loop.call_later(LINGER_SECONDS, transport.close)
                    transport.resume_reading()
                else:
                    transport.close()

    def _fail(self, error: Exception) -> None:
        """The client broke the protocol for the whole connection: GOAWAY with
        the error's code, then close (RFC 9113 section 5.4.1)."""
        if self._lingering:
            return  # failed already
        # Nothing the client sends from now on is answered.
        self._lingering = True
        self._transport.pause_reading()
        reason, message = connection_fault(error)
        self._client_fault(f"connection error {reason_name(reason)}: {message}")
        self._flags(self.send_goaway(reason))
        for handle, stop in self.fail(error):
            handle.halt(stop)
        self._cancel_handlers()
        self._close_after_flush()

    def _cancel_handlers(self) -> None:
        """The connection can carry no more answers: every handler ends."""
        for stream in list(self._streams):
            stream.cancel()

    def _abort(self, error: Exception | None) -> None:
        """The transport is gone: every stream stops, and the connection is forgotten."""
        self._finished = self._lingering = True
        if self._linger is not None:
            self._linger.cancel()
        for handle, stop in self.fail(error):
            handle.halt(stop)
        self._cancel_handlers()
        self._on_resume_writing()
        self._wake_pump()
        self._transport.close()
        self.take_read_handle()
        self.take_pump_handle()
        self._server._forget(self)


class _Stopped(ConnectionResetError):
    """The stream can send no more (reset by the client, or the connection ended)."""


_EMPTY_BODY_HEADERS = HeaderMap([("content-length", "0")])
