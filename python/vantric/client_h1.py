"""The HTTP/1.1 client connection: one connection driven through `H1ClientState`.

`ClientConnection` runs one exchange at a time over an `H1Codec`: it writes a
request and returns the `Response` once its head arrived; the body streams
from the connection.  The transport is an asyncio Protocol (`_Wire`), so the
idle watcher is the protocol's own receive path rather than a task per idle
period: whatever arrives while a connection sits idle is reported through
`watcher_completed`.
"""

from __future__ import annotations

import asyncio
import json
from collections.abc import AsyncIterable, AsyncIterator, Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, NoReturn, Self

from ._vantric import (
    H1_WATCH_IDLE_BYTES,
    H1_WATCH_IDLE_EOF,
    H1_WATCH_IDLE_ERROR,
    ConnectionClosedError,
    H1BodyDecoder,
    H1ClientState,
    H1Codec,
    H1Error,
    H1IncompleteMessageError,
    H1ResponseHead,
    H1UnexpectedMessageError,
    HeaderMap,
)
from .content_coding import ContentDecoder
from .wire import ReadBuffer, loop_clock, small_reads

if TYPE_CHECKING:
    from ssl import SSLContext
    from typing import TypeAlias

    # What HeaderMap(...) accepts.
    Headers: TypeAlias = (
        HeaderMap
        | Mapping[str, str | bytes]
        | Mapping[bytes, str | bytes]
        | Iterable[tuple[str | bytes, str | bytes]]
    )
    # A request body: none, bytes, or an async iterable of bytes.
    Body: TypeAlias = bytes | bytearray | memoryview | AsyncIterable[bytes] | None

__all__ = ["BaseResponse", "ClientConnection", "ConnectTimeout", "ReadTimeout", "Response", "connect"]


class ConnectTimeout(TimeoutError):
    """Opening a connection took longer than the connect timeout."""


class ReadTimeout(TimeoutError):
    """No bytes arrived from the server within the read timeout."""


def _detached(exc: BaseException) -> BaseException:
    """A traceback-free copy of `exc` for storing in the state (no frames kept alive)."""
    if isinstance(exc, asyncio.CancelledError):
        return H1Error("operation was canceled")
    try:
        copy = type(exc)(*exc.args)
    except Exception:
        return ConnectionClosedError(str(exc) or type(exc).__name__)
    return copy


def _raise_stored(error: BaseException | None) -> NoReturn:
    """Raise a fresh copy of a connection's stored failure, chained from it."""
    if error is None:
        raise ConnectionClosedError("connection closed")
    raise _detached(error) from error


class _Wire(asyncio.Protocol, ReadBuffer):
    """The transport's byte stream: buffers what the exchange reads; while the connection
    is idle with a watcher armed, hands what arrives to the watcher instead."""

    __slots__ = (
        "_loop",
        "_transport",
        "conn",
        "_chunks",
        "_buffered",
        "_eof",
        "_exc",
        "_waiter",
        "_read_paused",
        "_write_paused",
        "_drain",
        "_clock",
        "_deadline",
        "_timeout",
        "_timer",
    )

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = loop
        # An asyncio.Transport once connection_made() ran.
        self._transport: Any = None
        self.conn: ClientConnection | None = None
        self._chunks: list[bytes] = []
        self._buffered = 0
        self._eof = False
        self._exc: BaseException | None = None
        self._waiter: asyncio.Future[bytes | None] | None = None
        self._read_paused = False
        self._write_paused = False
        self._drain: asyncio.Future[None] | None = None
        # The current wait's deadline, checked by one timer that outlives
        # the waits: a wait sets a deadline instead of starting and
        # cancelling a timer of its own (one per response read).
        self._clock = loop_clock(loop)
        self._deadline: float | None = None
        self._timeout: float | None = None
        self._timer: asyncio.TimerHandle | None = None

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        small_reads(transport)
        self._transport = transport

    def data_received(self, data: bytes) -> None:
        conn = self.conn
        if conn is not None and conn._watching:
            conn._watch_complete(data, None)
            return
        self._receive(data)

    def eof_received(self) -> bool:
        conn = self.conn
        if conn is not None and conn._watching:
            self._eof = True
            conn._watch_complete(b"", None)
        self._receive_eof()
        return False

    def connection_lost(self, exc: Exception | None) -> None:
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        if exc is not None:
            self._exc = exc
        conn = self.conn
        if conn is not None and conn._watching:
            self._eof = True
            conn._watch_complete(None if exc is not None else b"", exc)
        self._receive_eof()
        drain, self._drain = self._drain, None
        if drain is not None and not drain.done():
            if exc is None:
                drain.set_result(None)
            else:
                drain.set_exception(ConnectionClosedError(str(exc) or "connection error"))

    def pause_writing(self) -> None:
        self._write_paused = True

    def resume_writing(self) -> None:
        self._write_paused = False
        drain, self._drain = self._drain, None
        if drain is not None and not drain.done():
            drain.set_result(None)

    def _wake(self) -> None:
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    async def wait(self, timeout: float | None) -> bytes | None:
        """Wait for the next receive event (bytes, end of stream, an idle-watcher verdict);
        the bytes when they came straight to this wait, else None.  Raises ReadTimeout
        after `timeout` seconds without an event."""
        waiter = self._waiter = self._loop.create_future()
        if timeout is not None:
            deadline = self._deadline = self._clock() + timeout
            self._timeout = timeout
            timer = self._timer
            if timer is None or timer.when() > deadline:
                # None armed, or armed for a later deadline (a longer timeout before).
                if timer is not None:
                    timer.cancel()
                self._timer = self._loop.call_at(deadline, self._check_deadline)
        try:
            data: bytes | None = await waiter
        finally:
            self._waiter = None
            self._deadline = None
        return data

    def _check_deadline(self) -> None:
        """The timer's check: the wait in progress times out once past its
        deadline; the timer is set again for a later one, or lapses."""
        self._timer = None
        deadline = self._deadline
        if deadline is None:
            return  # no wait in progress
        if self._clock() < deadline:
            self._timer = self._loop.call_at(deadline, self._check_deadline)
            return
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_exception(ReadTimeout(f"no response bytes within {self._timeout} s"))

    async def read(self, timeout: float | None) -> bytes:
        """The next received bytes; b"" at end of stream. Raises ReadTimeout after
        `timeout` seconds without bytes, ConnectionClosedError on a transport error."""
        while not self._chunks:
            if self._eof:
                if self._exc is not None:
                    raise ConnectionClosedError(str(self._exc) or "connection error") from self._exc
                return b""
            data = await self.wait(timeout)
            if data is not None:
                return data
        return self._take()

    def write(self, data: bytes) -> None:
        transport = self._transport
        if transport is None or transport.is_closing():
            raise ConnectionClosedError("connection closed")
        transport.write(data)

    async def drain(self) -> None:
        if self._write_paused:
            if self._eof and self._exc is not None:
                raise ConnectionClosedError(str(self._exc) or "connection error")
            if self._drain is None:
                self._drain = self._loop.create_future()
            await self._drain


async def _streamed(body: Body) -> AsyncIterator[bytes]:
    if isinstance(body, (bytes, bytearray, memoryview)):
        yield bytes(body)
    elif body is not None:
        async for piece in body:
            yield piece


async def connect(
    host: str,
    port: int,
    *,
    ssl: SSLContext | None = None,
    server_hostname: str | None = None,
    connect_timeout: float | None = None,
) -> tuple[asyncio.Transport, _Wire]:
    """A connection to host:port (TLS when `ssl` is given), its received bytes
    buffered by a `_Wire` until a connection driver takes them."""
    loop = asyncio.get_running_loop()
    opening = loop.create_connection(
        lambda: _Wire(loop), host, port, ssl=ssl, server_hostname=server_hostname if ssl else None
    )
    try:
        transport, wire = await asyncio.wait_for(opening, connect_timeout)
    except TimeoutError:
        raise ConnectTimeout(f"connecting to {host}:{port} took longer than {connect_timeout} s") from None
    return transport, wire


class ClientConnection(H1ClientState):
    """One HTTP/1.1 client connection over an asyncio transport.

    Exchanges run one at a time: `send_request` writes a request and returns its
    `Response` once the head arrived; the body streams from the connection and, once it
    is complete, the connection goes idle with its watcher armed (or closes when it
    cannot be reused) and `on_idle(self)` is called.
    """

    __slots__ = ("codec", "wire", "read_timeout", "on_idle", "_watching", "_received")

    def __new__(
        cls,
        transport: asyncio.BaseTransport,
        wire: _Wire,
        *,
        read_timeout: float | None = None,
        on_idle: Callable[[ClientConnection], None] | None = None,
    ) -> Self:
        return super().__new__(cls, transport)

    def __init__(
        self,
        transport: asyncio.BaseTransport,
        wire: _Wire,
        *,
        read_timeout: float | None = None,
        on_idle: Callable[[ClientConnection], None] | None = None,
    ) -> None:
        self.codec = H1Codec()
        self.wire = wire
        self.read_timeout = read_timeout
        self.on_idle = on_idle
        # True while an armed watcher owns the receive path (the read is parked).
        self._watching = False
        self._received = False
        wire.conn = self

    @classmethod
    async def open(
        cls,
        host: str,
        port: int,
        *,
        ssl: SSLContext | None = None,
        server_hostname: str | None = None,
        connect_timeout: float | None = None,
        read_timeout: float | None = None,
        on_idle: Callable[[ClientConnection], None] | None = None,
    ) -> Self:
        """Connect to host:port (TLS when `ssl` is an SSLContext) and return the connection."""
        transport, wire = await connect(
            host, port, ssl=ssl, server_hostname=server_hostname, connect_timeout=connect_timeout
        )
        return cls(transport, wire, read_timeout=read_timeout, on_idle=on_idle)

    # -- one exchange --------------------------------------------------------------------

    async def send_request(
        self,
        method: str,
        target: str,
        headers: Headers | None = None,
        body: Body = None,
        trailers: HeaderMap | None = None,
    ) -> Response:
        """Write one request and return its Response as soon as the response head arrived.

        `target` is the request-target as sent (origin or absolute form); `headers` a
        HeaderMap, a mapping or pairs, Host included; `body` None, bytes, or an async
        iterable of bytes (chunked unless `headers` carries a Content-Length);
        `trailers` follow a chunked body.
        """
        if headers is not None and not isinstance(headers, HeaderMap):
            headers = HeaderMap(headers)
        if trailers is not None and not self.peer_http10:
            # Trailers need the chunked framing, which a streamed body gets.
            body = _streamed(body)
        if not self.try_begin_exchange():
            raise RuntimeError("the connection is busy with another exchange")
        if self.is_dead():
            self.end_exchange()
            _raise_stored(self.error)
        self._received = False
        try:
            # From here a watcher read that completes belongs to this exchange.
            self.exchange_started()
            await self._write_request(method, target, headers, body, trailers)
            head = await self._read_head()
            return self._start_body(head)
        except BaseException as exc:
            self._abort(exc)
            raise

    async def _write_request(
        self, method: str, target: str, headers: HeaderMap | None, body: Body, trailers: HeaderMap | None
    ) -> None:
        codec, wire = self.codec, self.wire
        http10 = self.peer_http10
        if body is None:
            wire.write(codec.serialize_request(method, target, headers, http10=http10))
        elif isinstance(body, (bytes, bytearray, memoryview)):
            body = bytes(body)
            head = codec.serialize_request(method, target, headers, http10=http10, content_length=len(body))
            if len(body) <= codec.max_buf_size:
                wire.write(codec.serialize_head_and_body(head, body))
            else:
                wire.write(head)
                wire.write(codec.serialize_data(body))
                wire.write(codec.serialize_end())
        else:
            headers = HeaderMap(headers)
            sized = "content-length" in headers
            if http10 and not sized:
                # An HTTP/1.0 server cannot take a chunked body: send it with its length.
                return await self._write_request(
                    method, target, headers, b"".join([bytes(c) async for c in body]), None
                )
            if not sized and "transfer-encoding" not in headers:
                # Without this the codec frames a GET or HEAD body as empty.
                headers["transfer-encoding"] = "chunked"
            # An unknown length: the codec takes a Content-Length field over it.
            wire.write(codec.serialize_request(method, target, headers, http10=http10, chunked=True))
            writer = asyncio.get_running_loop().create_task(self._write_body(body, trailers))
            refused = self.store_writer(writer)
            if refused is not None:
                refused.cancel()
                _raise_stored(self.error)
            return
        self.writer_done()
        await wire.drain()

    async def _write_body(self, body: AsyncIterable[bytes], trailers: HeaderMap | None) -> None:
        """The request body writer: runs beside the response reader, so a server that
        answers before reading the whole body is still heard."""
        codec, wire = self.codec, self.wire
        try:
            async for chunk in body:
                if chunk:
                    wire.write(codec.serialize_data(bytes(chunk)))
                    await wire.drain()
            wire.write(codec.serialize_end() if trailers is None else codec.serialize_trailers(trailers))
            await wire.drain()
            self.writer_done()
        except asyncio.CancelledError:
            raise
        except BaseException as exc:
            # Closing the transport wakes the reader, which raises the stored error.
            transport = self.fail(_detached(exc))
            if transport is not None:
                transport.close()

    async def _first_read(self) -> bytes:
        """The exchange's first read: what the idle watcher read once the request went
        out (handed over by its verdict), or b"" when no watcher was armed."""
        if not self.has_watcher:
            return b""
        while self._watching:
            await self.wire.wait(self.read_timeout)
        # The watcher read is the protocol's receive path, not a task: nothing to join.
        self.take_watcher_handle()
        data, error = self.take_watcher_result()
        if error is not None:
            raise ConnectionClosedError(str(error) or "connection error") from error
        return data or b""

    async def _read_head(self) -> H1ResponseHead:
        codec, wire = self.codec, self.wire
        data = await self._first_read()
        while True:
            if data:
                self._received = True
            head = codec.receive_head(data)
            if head is not None:
                return head
            data = await wire.read(self.read_timeout)
            if not data:
                if self.error is not None:
                    _raise_stored(self.error)
                raise H1IncompleteMessageError("connection closed before message completed")

    def _start_body(self, head: H1ResponseHead) -> Response:
        if head.http10:
            self.set_peer_http10(True)
        reusable = head.keep_alive and not self.codec.request_connection_close
        if head.is_upgrade:
            # Tunnels are not offered by this client: the switched connection is closed.
            transport = self.upgrade()
            if transport is not None:
                transport.close()
            reusable = False
        decoder = H1BodyDecoder(head.body_kind, head.content_length or 0)
        self.codec.take_body_into(decoder)
        response = Response(self, head, decoder, reusable and head.body_kind != "close")
        if decoder.is_complete:
            self._finish(response)
        return response

    async def _next_chunk(self, response: Response) -> bytes | None:
        """The next body chunk of `response`, or None once the body is complete."""
        decoder = response._decoder
        try:
            while True:
                chunk = decoder.decode_available()
                if chunk is not None:
                    return chunk
                if decoder.is_complete:
                    self._finish(response)
                    return None
                data = await self.wire.read(self.read_timeout)
                if data:
                    decoder.feed(data)
                elif self.error is not None:
                    _raise_stored(self.error)
                else:
                    decoder.mark_eof()
        except BaseException as exc:
            response._done = True
            self._abort(exc)
            raise

    def _finish(self, response: Response) -> None:
        """The body is complete: make the connection idle again, or close it."""
        decoder = response._decoder
        response._done = True
        response.trailers = decoder.take_trailers()
        # Bytes past the response were never asked for: the connection cannot be trusted.
        reusable = response._reusable and decoder.buffered == 0
        writer = self.take_writer()
        if writer is not None and not writer.done():
            writer.cancel()
        if not self.writer_finished:
            reusable = False
        self.codec.reset()
        if reusable:
            self.end_exchange()
            self._arm()
        else:
            transport = self.close_now()
            if transport is not None:
                transport.close()
            self.end_exchange()
        if self.on_idle is not None:
            self.on_idle(self)

    def _abort(self, exc: BaseException) -> None:
        """The exchange failed: store the failure and close, then release the claim."""
        transport = self.fail(_detached(exc))
        if transport is not None:
            transport.close()
        writer = self.take_writer()
        if writer is not None:
            writer.cancel()
        self.end_exchange()
        if self.on_idle is not None:
            self.on_idle(self)

    # -- the idle watcher ------------------------------------------------------------------

    def _arm(self) -> None:
        done = self.wire._loop.create_future()
        if not self.arm_watcher(done):
            return
        self._watching = True
        wire = self.wire
        # Whatever arrived after the last read and before arming is the watcher's.
        if wire._chunks:
            self._watch_complete(wire._take(), None)
        elif wire._eof:
            self._watch_complete(None if wire._exc is not None else b"", wire._exc)

    def _watch_complete(self, data: bytes | None, error: BaseException | None) -> None:
        """Report the watcher read's outcome and act on the verdict."""
        self._watching = False
        done = self.watcher_done()
        verdict, transport = self.watcher_completed(data, error)
        if verdict == H1_WATCH_IDLE_EOF:
            pass
        elif verdict == H1_WATCH_IDLE_BYTES:
            transport = self.fail(H1UnexpectedMessageError("received unexpected message from connection"))
        elif verdict == H1_WATCH_IDLE_ERROR:
            transport = self.fail(ConnectionClosedError(str(error) or "connection error"))
        # H1_WATCH_HANDOFF keeps the read for the exchange; H1_WATCH_IGNORED needs nothing.
        if transport is not None:
            transport.close()
        if done is not None and not done.done():
            done.set_result(verdict)
        self.wire._wake()

    # -- closing ---------------------------------------------------------------------------

    def _teardown(self) -> tuple[asyncio.Future[int] | None, asyncio.Task[None] | None]:
        transport, done, writer, _idle = self.mark_closed()
        if transport is not None:
            transport.close()
        if self._watching:
            # Closing the transport ends the parked read.
            self._watch_complete(None, None)
        self.wire.conn = None
        return done, writer

    async def close(self) -> None:
        """Close the connection: the transport, the idle watcher and any body writer."""
        done, writer = self._teardown()
        if done is not None:
            await done
        handle = self.take_watcher_handle()
        if handle is not None:
            await handle
        self.take_watcher_result()
        if writer is not None:
            writer.cancel()
            await asyncio.gather(writer, return_exceptions=True)


def _charset(headers: HeaderMap) -> str | None:
    """The charset parameter of a Content-Type field (RFC 9110 section 8.3.2)."""
    value = headers.get("content-type")
    if value is None:
        return None
    for parameter in value.decode("latin-1").split(";")[1:]:
        name, _, given = parameter.partition("=")
        if name.strip().lower() == "charset":
            return given.strip().strip('"') or None
    return None


class BaseResponse:
    """A response whose head has arrived; the body streams from the connection.

    Iterate with `async for` over body pieces, or `await read()` for the whole body;
    `trailers` (a HeaderMap or None) is set once the body is complete.  `aclose()`
    (or leaving `async with`) stops reading.
    """

    __slots__ = (
        "status",
        "headers",
        "http_version",
        "trailers",
        "url",
        "history",
        "_done",
        "_body",
        "_coding",
    )

    def __init__(self, status: int, headers: HeaderMap, http_version: str) -> None:
        self.status = status
        self.headers = headers
        self.http_version = http_version
        self.trailers: HeaderMap | None = None
        self.url: str | None = None
        # The redirections a client followed to this response, first to last.
        self.history: Sequence[BaseResponse] = ()
        self._done = False
        self._body: bytes | None = None
        # Undoes the body's content coding as it streams, when the client
        # decodes content and the body has a coding it knows.
        self._coding: ContentDecoder | None = None

    def __repr__(self) -> str:
        return f"<Response {self.status} {self.url}>"

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> bytes:
        coding = self._coding
        if coding is not None:
            return await self._next_decoded(coding)
        if self._done:
            raise StopAsyncIteration
        piece = await self._next_piece()
        if piece is None:
            raise StopAsyncIteration
        return piece

    async def _next_piece(self) -> bytes | None:
        """The next piece of the body as it came, or None once it is complete."""
        raise NotImplementedError

    async def _next_decoded(self, coding: ContentDecoder) -> bytes:
        while True:
            if coding.pending:
                decoded = coding.more()
            elif self._done:
                self._coding = None
                decoded = coding.end()
                if not decoded:
                    raise StopAsyncIteration
            else:
                piece = await self._next_piece()
                if piece is None:
                    continue  # complete: what the decoder holds comes next
                decoded = coding.feed(piece)
            if decoded:
                return decoded

    async def read(self) -> bytes:
        """The rest of the body as bytes (the same bytes again on later calls)."""
        if self._body is None:
            self._body = b"".join([chunk async for chunk in self])
        return self._body

    async def text(self, encoding: str | None = None) -> str:
        """The body as text: in `encoding`, else the charset its Content-Type
        names, else UTF-8; what does not decode becomes U+FFFD."""
        body = await self.read()
        name = encoding or _charset(self.headers) or "utf-8"
        try:
            return body.decode(name, "replace")
        except LookupError:  # a charset Python does not know
            return body.decode("utf-8", "replace")

    async def json(self) -> Any:
        """The body parsed as JSON (RFC 8259: UTF-8, or UTF-16/32 as detected)."""
        return json.loads(await self.read())

    @property
    def is_complete(self) -> bool:
        """The body was read to its end (or failed)."""
        return self._done

    async def aclose(self) -> None:
        raise NotImplementedError

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()


class Response(BaseResponse):
    """An HTTP/1.x response on a `ClientConnection`."""

    __slots__ = ("_conn", "_decoder", "_reusable")

    def __init__(
        self, conn: ClientConnection, head: H1ResponseHead, decoder: H1BodyDecoder, reusable: bool
    ) -> None:
        super().__init__(head.status, head.headers, "HTTP/1.0" if head.http10 else "HTTP/1.1")
        self._conn = conn
        self._decoder = decoder
        self._reusable = reusable

    async def __anext__(self) -> bytes:
        # BaseResponse's, with the connection called directly: one coroutine
        # less for every piece of a body without a content coding.
        coding = self._coding
        if coding is not None:
            return await self._next_decoded(coding)
        if self._done:
            raise StopAsyncIteration
        chunk = await self._conn._next_chunk(self)
        if chunk is None:
            raise StopAsyncIteration
        return chunk

    async def _next_piece(self) -> bytes | None:
        return await self._conn._next_chunk(self)

    @property
    def connection(self) -> ClientConnection:
        """The ClientConnection this response arrived on."""
        return self._conn

    async def aclose(self) -> None:
        """Stop reading: an unfinished body closes its connection."""
        self._coding = None
        if not self._done:
            self._done = True
            self._conn._abort(H1Error("operation was canceled"))
