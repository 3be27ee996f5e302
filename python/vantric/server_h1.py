"""The HTTP/1.1 server connection.

The connection state of the protocol core decides everything that is protocol
(where the next head comes from, who reads the transport, whether a response
may start, reuse or close); this module only performs the reads, writes and
waits those decisions call for.  A connection that opens with the HTTP/2
preface is handed over to `server_h2`.
"""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING, Any, Literal

from ._vantric import (
    H1_NEXT_CLOSE,
    H1_NEXT_DRAIN,
    H1_NEXT_RAISE,
    H1_READ_PARSE,
    H1_READ_TRANSPORT,
    H1_READ_WATCHER,
    H1_REQ_CONTINUE,
    H1_REQ_OK,
    H1_REQ_PEER_CLOSED,
    H1BodyError,
    H1ParseError,
    H1ServerState,
    HeaderMap,
)
from .access_log import log_exchange
from .exchange import (
    BAD_BODY,
    BAD_HOST,
    COMPLETE,
    CONTINUE,
    INTERNAL_ERROR,
    NOT_STARTED,
    STREAMING,
    SWITCHED,
    TOO_LARGE,
    BodyTooLarge,
    ClientFault,
    Request,
    Response,
    Tunnel,
    Upgrade,
    stream_response,
)
from .policy import has_one_host
from .results import body_error_kind, is_h2_preface, parse_error_kind
from .resume import Resumable
from .server_h2 import H2Connection
from .wire import LINGER_BYTES, LINGER_SECONDS, ReadBuffer, WritePause, end_output

if TYPE_CHECKING:
    from ._vantric import H1BodyDecoder, H1RequestHead
    from .exchange import ServerHost as Server

__all__ = ["H1Connection"]

# An unread request body is drained up to this many bytes so the connection
# can be reused; a larger one closes the connection instead.
_DRAIN_LIMIT = 1024 * 1024
# A read of a head up to this size is parsed before it is counted against
# max_head_memory: most heads arrive whole in one read.
_SMALL_READ = 64 * 1024

_CLOSE_HEADERS = HeaderMap([("connection", "close")])


class H1Connection(H1ServerState, ReadBuffer, WritePause, ClientFault):
    """One HTTP/1.1 server connection: the state plus the asyncio reads and writes."""

    __slots__ = (
        "_server",
        "_loop",
        "_transport",
        "_handler",
        "_endpoints",
        "_handler_cache",
        "_chunks",
        "_buffered",
        "_eof",
        "_lost",
        "_waiter",
        "_deadline",
        "_read_paused",
        "_write_waiter",
        "_watch",
        "_request",
        "_resumable",
        "_complained",
        "_head_bytes",
        "_unsent",
    )

    def _setup(self, server: Server, transport: asyncio.Transport) -> None:
        self._server = server
        self._loop = server._loop
        self._transport = transport
        self._handler = server.handler
        # ((scheme, peer, ours), peer is a trusted proxy), once asked
        self._endpoints: tuple[tuple[str, Any, Any], bool] | None = None
        self._handler_cache: Any = None  # what the handler keeps per connection
        self._chunks: list[bytes] = []
        self._buffered = 0
        self._eof = False  # the client sent its last byte (it may still read)
        self._lost = False  # the connection is gone both ways
        self._waiter: asyncio.Future[bytes | None] | None = None
        self._deadline: float | None = None
        self._read_paused = False
        self._write_waiter: asyncio.Future[None] | None = None
        self._watch: asyncio.Future[None] | None = None
        self._request: Request | None = None
        # The serve loop, resumed in place by the bytes it waits for (the
        # loop holds tasks weakly: the connection keeps its own alive).
        self._resumable = Resumable(self._loop, self._serve())
        self._complained = False
        self._head_bytes = 0  # bytes of an unfinished head, counted by the server
        self._unsent = -1  # the write buffer's size at the last sweep while paused

    # -- transport events (called by _Protocol) --------------------------------

    def _on_data(self, data: bytes) -> None:
        if self._watch is not None:
            # A mid-message read was parked: these bytes are its result.
            self._complete_watch(data)
            return
        waiter = self._waiter
        if waiter is not None and not self._chunks and not waiter.done():
            # ReadBuffer._receive's first case, the usual one, inline: the
            # serve loop takes the bytes right here when it can.
            if not self._resumable.resume(data):
                waiter.set_result(data)
            return
        self._receive(data)

    def _on_eof(self) -> None:
        """The client half-closed: nothing more comes, but it may still read."""
        self._eof = True
        if self._watch is not None:
            self._complete_watch(b"")
        self._receive_eof()

    def _on_lost(self) -> None:
        """The connection is gone: every wait on it ends."""
        self._lost = True
        self._on_eof()
        self._on_resume_writing()

    def _complete_watch(self, data: bytes) -> None:
        done: asyncio.Future[None]
        done, self._watch = self._watch, None  # type: ignore[assignment]  # called only while set
        if self.watcher_completed(data, None):
            request = self._request
            if request is not None:
                gone = request._gone_future()
                if not gone.done():
                    gone.set_result(True)
        if not done.done():
            done.set_result(None)

    def _watch_now(self) -> None:
        """Parks the background read on the slot `arm_watcher` just created."""
        done = self.watcher_done()
        if done is None:
            return
        if self._chunks:
            data = self._take()
            self._watch = done
            self._complete_watch(data)
        elif self._eof:
            self._watch = done
            self._complete_watch(b"")
        else:
            self._watch = done

    def _may_resume_reading(self) -> bool:
        return self._write_waiter is None  # else the write side resumes it

    def _may_read(self) -> bool:
        return not self._read_paused

    # -- reads and writes ------------------------------------------------------

    async def _read(self, timeout: float | None) -> bytes:
        """The next bytes received; b"" at end of stream or when timed out."""
        if not self._chunks:
            if self._eof:
                return b""
            resumable = self._resumable
            self._waiter = resumable.waiter()
            if timeout is not None:
                self._deadline = self._server._clock() + timeout
            try:
                data: bytes | None = await resumable
            finally:
                self._waiter = None
                self._deadline = None
            if data is not None:
                return data
            if not self._chunks:
                return b""
        return self._take()

    async def _read_head_part(self, deadline: float) -> bytes:
        """Bytes of a head under way: they must all arrive before `deadline`."""
        if self._chunks or self._eof:
            return await self._read(None)
        remaining = deadline - self._loop.time()
        if remaining <= 0:
            return b""
        return await self._read(remaining)

    async def _drain_writes(self) -> None:
        """Waits while the client reads slower than we write.  A client that
        stops reading must not hold the connection: past `send_timeout`
        without progress the sweep drops it."""
        while self._write_waiter is not None and not self._lost:
            self._deadline = self._loop.time() + self._server.send_timeout
            try:
                await self._write_waiter
            finally:
                self._deadline = None
        if self._lost:
            raise _PeerGone  # nothing more can be written

    def _timed_out(self, now: float) -> bool:
        waiting_to_write = self._write_waiter is not None
        if waiting_to_write:
            # Idle means silence: output the client keeps reading is activity.
            unsent = self._transport.get_write_buffer_size()
            if unsent != self._unsent:
                self._unsent = unsent
                if self._deadline is not None:
                    self._deadline = max(self._deadline, now + self._server.send_timeout)
        deadline = self._deadline
        if deadline is None or now < deadline:
            return False
        self._deadline = None
        self._server.counts["timeout"] += 1
        if waiting_to_write:
            self._transport.abort()  # the client stopped reading: drop what is queued
        else:
            self._transport.close()
        return True

    # -- the serve loop --------------------------------------------------------

    async def _serve(self) -> None:
        server = self._server
        resumable = self._resumable
        try:
            while not self._lost:
                code, obj = self.begin_read()
                if code == H1_READ_TRANSPORT:
                    data: bytes | None = await self._read(server.idle_timeout)
                    if self.unpark_idle_read() or not data:
                        break
                elif code == H1_READ_PARSE:
                    data = b""
                elif code == H1_READ_WATCHER:
                    await obj
                    self.take_watcher_handle()
                    data, error = self.take_watcher_result()
                    if self.unpark_idle_read() or not data or error is not None:
                        break
                elif code == H1_NEXT_DRAIN:
                    complete = await self._drain_body()
                    code, obj = self.drain_done(complete)
                    if code == H1_NEXT_CLOSE:
                        # The state hands the transport over to be closed.
                        self._close(obj)
                        break
                    continue
                else:
                    # H1_READ_SHUTDOWN, H1_READ_EOF, H1_NEXT_NONE, H1_NEXT_CLOSE;
                    # H1_NEXT_RAISE cannot happen: each response is finished first.
                    assert code != H1_NEXT_RAISE
                    if code == H1_NEXT_CLOSE:
                        self._close(obj)
                    break
                if self._head_bytes or len(data) > _SMALL_READ:
                    accepted = await self._accept(data)
                else:
                    # Most heads arrive whole in one small read: parsed here,
                    # without a coroutine.
                    try:
                        accepted = self.accept_head(data)
                    except H1ParseError as error:
                        await self._refuse_head(error)
                        break
                    if accepted is None:
                        accepted = await self._accept(b"")  # the rest of the head
                if accepted is None:
                    break
                # Each request in a context of its own, as a task per request
                # would have: what one handler sets in context variables (a
                # user id, say) is not seen by the next on the connection.
                if not await resumable.in_fresh_context(self._exchange(*accepted)):
                    break
                resumable.fresh_context()
                # An idle connection holds no request while it waits for the next.
                accepted = data = None
        except OSError:
            pass  # the client went away under a transport call: a normal end
        except Exception as error:
            server._report(error, None)
        finally:
            self._finish()

    async def _accept(self, data: bytes) -> tuple[H1RequestHead, int, H1BodyDecoder] | None:
        """Parses a request head from `data` and whatever follows it in time."""
        deadline = None
        while True:
            # The bytes of a head that did not come whole are counted before
            # the codec keeps them (a single small read is not worth it).
            if (self._head_bytes or len(data) > _SMALL_READ) and not self._count_head(
                self.codec.buffered() + len(data)
            ):
                # Unfinished heads hold too much memory across the server: the
                # one that grows now is refused (honest heads arrive whole).
                self._count_head(0)
                self._server.counts["overload"] += 1
                await self._answer_bad_head(503)
                return None
            try:
                accepted = self.accept_head(data)
            except H1ParseError as error:
                if self._head_bytes:
                    self._count_head(0)
                await self._refuse_head(error)
                return None
            if accepted is not None:
                if self._head_bytes:
                    self._count_head(0)
                return accepted
            self._count_head(self.codec.buffered())
            if deadline is None:
                deadline = self._loop.time() + self._server.head_timeout
            data = await self._read_head_part(deadline)
            if not data:
                self._count_head(0)
                return None

    async def _refuse_head(self, error: H1ParseError) -> None:
        """Answers a head the codec refused, or hands the connection to HTTP/2."""
        if not is_h2_preface(error):
            self._client_fault(f"bad request head ({parse_error_kind(error)})")
            await self._answer_bad_head(self.codec.parse_error_status)
        elif self.current_seq == 0:
            self._hand_over_h2()
        else:
            # RFC 9113 section 3.3: prior knowledge means the preface opens
            # the connection; after an HTTP/1.1 request it is a malformed
            # request, not a change of protocol.
            self._client_fault("HTTP/2 preface after an HTTP/1.1 request")
            await self._answer_bad_head(400)

    def _count_head(self, size: int) -> bool:
        """Accounts the `size` bytes of this connection's unfinished head in the
        server's total; False when the total passes `max_head_memory`."""
        server = self._server
        server._head_bytes += size - self._head_bytes
        self._head_bytes = size
        return server._head_bytes <= server.max_head_memory

    def _hand_over_h2(self) -> None:
        """The client spoke HTTP/2 with prior knowledge (RFC 9113 section 3.3):
        the connection and the bytes read so far go to the HTTP/2 driver."""
        paused = self._read_paused
        data = self.codec.take_body() + self._take()
        transport = self.fail_read()
        if transport is None:
            return
        conn = H2Connection.create(self._server, transport)
        transport.get_protocol()._conn = conn
        self._server._connections.add(conn)
        if paused:
            transport.resume_reading()
        conn.start(data)
        if self._eof:
            conn._on_eof()

    async def _answer_bad_head(self, status: int | None) -> None:
        codec = self.codec
        transport = self.fail_read()
        if transport is None:
            return
        if status is not None:
            codec.reset()
            transport.write(codec.serialize_response(status, _CLOSE_HEADERS, content_length=0))
            # Closing with unread bytes in the socket would send a reset that
            # can destroy the answer before the client reads it (RFC 9112
            # section 9.6): end our side, then drop what the client still sends.
            if end_output(transport):
                deadline = self._loop.time() + LINGER_SECONDS
                dropped = 0
                while dropped <= LINGER_BYTES and (data := await self._read_head_part(deadline)):
                    dropped += len(data)
        transport.close()

    async def _exchange(self, head: H1RequestHead, seq: int, decoder: H1BodyDecoder) -> bool:
        """Runs the handler for one request and sends its response.

        Returns False when the connection must not serve another request."""
        request = Request(self, head, seq, decoder)
        self._request = request
        started = self._loop.time() if self._server.access_log else 0.0
        try:
            try:
                if not has_one_host(head):
                    self._client_fault("a request without exactly one Host field")
                    self.mark_unusable()
                    response = BAD_HOST
                else:
                    response = await self._handler(request)
                if not isinstance(response, Response):
                    raise TypeError(f"the handler returned {type(response).__name__}, not Response")
            except H1BodyError as error:
                # The client sent a broken body (Request.read raised it): its
                # fault, answered as such on a connection that then closes.
                self._client_fault(f"bad request body ({body_error_kind(error)})")
                response = BAD_BODY
            except BodyTooLarge:
                self.mark_unusable()
                response = TOO_LARGE
            except Exception as error:
                self._server._report(error, request)
                response = INTERNAL_ERROR
            phase = request._phase
            if phase == NOT_STARTED:
                body = response.body
                try:
                    if isinstance(body, (bytes, bytearray, memoryview)):
                        # The common answer: one write, and a wait only for a slow reader.
                        if self._write_whole(
                            request, response.status, response.headers, body, response.trailers
                        ):
                            await self._drain_writes()
                    else:
                        await stream_response(self, request, response)
                except Exception as error:
                    if not isinstance(error, _PeerGone):
                        self._server._report(error, request)
                    self._close(self.fail_response(seq))
                    return False
                upgrade = response.upgrade
            elif phase == COMPLETE:
                upgrade = None  # the handler wrote its whole answer itself
            else:
                return self._abandon(request)
            switched = self._finished(request)
            if switched is None:
                return True
            if switched:
                await self._switch(upgrade, *switched)
            return False
        finally:
            self._request = None
            gone = request._gone
            if gone is not None and not gone.done():
                # The response is over: a client still here stays "not gone".
                self.close_window(seq)
                gone.set_result(self.peer_closed_flag(seq))
            if started:
                log_exchange(request, started, self._loop.time())

    def _abandon(self, request: Request) -> bool:
        """The handler wrote part of its response itself (the `_respond_*`
        calls) and left: the connection cannot serve on."""
        if request._phase == SWITCHED:
            request._switched_transport.close()
            return False
        # Begun and never ended, or failed under way: the client cannot tell
        # where this response ends, so the connection does.
        self._close(self.fail_response(request._seq))
        return False

    def _finished(self, request: Request) -> tuple[Any, bytes | None] | Literal[False] | None:
        """The response went out: None when the connection serves on, False
        when it closed, or the (transport, leftover bytes) of a protocol switch."""
        switch, close, transport, leftover = self.finish_response(request._seq)
        if switch:
            return transport, leftover
        if close:
            self._close(transport)
            return False
        return None

    # -- writing a response, whole or piece by piece ---------------------------

    async def _respond_whole(
        self, request: Request, status: int, headers: Any, body: bytes | bytearray | memoryview, trailers: Any
    ) -> None:
        """The whole response in one write: head, body and trailers (when the
        client takes them)."""
        if self._write_whole(request, status, headers, body, trailers):
            # The next request waits until the client reads this answer.
            await self._drain_writes()

    # A whole answer is written by a plain call (`_write_whole`): callers that
    # write it themselves skip a coroutine.
    _writes_at_once = True

    def _write_whole(
        self, request: Request, status: int, headers: Any, body: bytes | bytearray | memoryview, trailers: Any
    ) -> bool:
        """Writes the whole response; True when the client reads slower than we
        write (the caller then waits for it)."""
        request._status, request._sent = status, len(body)
        seq = request._seq
        if request.head.expect_continue and not request._continued and not request._decoder.is_complete:
            # RFC 9110 section 10.1.1: no 100 went out and the body was not
            # read, so the client may never send it; draining would take the
            # next request for the body.
            self.mark_unusable()
        if type(body) is not bytes:
            body = bytes(body)
        while True:
            # A continue claimed by the body reader was written when claimed.
            code, message, armed = self.respond_whole(seq, status, headers, body, trailers)
            if code != H1_REQ_CONTINUE:
                break
        if code != H1_REQ_OK or armed:
            self._claimed(code, armed)
        request._phase = COMPLETE
        self._transport.write(message)  # type: ignore[arg-type]  # claimed: bytes
        return self._write_waiter is not None

    async def _respond_head(self, request: Request, status: int, headers: Any) -> None:
        """The head of a response whose body follows in pieces: framed by a
        Content-Length among `headers`, else chunked."""
        request._status, request._sent = status, 0
        seq = request._seq
        if request.head.expect_continue and not request._continued and not request._decoder.is_complete:
            # The body may yet be read: invite it before the head.
            if self.try_send_continue(seq):
                request._continued = True
                self._transport.write(CONTINUE)
        done = self._loop.create_future()
        while True:
            code, head, armed = self.respond_head(seq, status, headers, done, chunked=True, want=True)
            if code != H1_REQ_CONTINUE:
                break
        self._claimed(code, armed)
        request._phase = STREAMING
        self._transport.write(head)  # type: ignore[arg-type]  # claimed: bytes

    async def _respond_piece(self, request: Request, piece: bytes) -> None:
        request._sent += len(piece)
        if self._lost:
            raise _PeerGone
        if piece:
            self._transport.write(self.codec.serialize_data(piece))
            if self._write_waiter is not None:
                await self._drain_writes()

    async def _respond_end(self, request: Request, trailers: Any) -> None:
        """Ends a body sent in pieces, with `trailers` when the client takes them."""
        codec = self.codec
        if trailers is not None and not isinstance(trailers, HeaderMap):
            trailers = HeaderMap(trailers)
        end = codec.serialize_trailers(trailers) if trailers is not None else codec.serialize_end()
        request._phase = COMPLETE
        if end:
            self._transport.write(end)

    async def _respond_switch(self, request: Request, status: int, headers: Any) -> Tunnel:
        """Answers a protocol switch (101) and hands over the raw connection;
        the handler owns it until it returns."""
        await self._respond_whole(request, status, headers, b"", None)
        switch, _, transport, leftover = self.finish_response(request._seq)
        if not switch:
            raise RuntimeError(f"a {status} answer did not switch protocols")
        request._phase = SWITCHED
        request._switched_transport = transport
        return Tunnel(self, leftover)

    def _claimed(self, code: int, armed: bool) -> None:
        if code != H1_REQ_OK:
            if code == H1_REQ_PEER_CLOSED:
                raise _PeerGone
            raise RuntimeError(f"the response could not be claimed (code {code})")
        if armed:
            self._watch_now()

    async def _switch(self, upgrade: Upgrade | None, transport: Any, leftover: bytes | None) -> None:
        tunnel = Tunnel(self, leftover)
        try:
            if upgrade is not None:
                await upgrade(tunnel)
        except OSError:
            pass  # the client went away: a normal end of a tunnel
        except Exception as error:
            self._server._report(error, None)
        finally:
            transport.close()

    async def _drain_body(self) -> bool:
        """Reads and drops an unread body; True when it ended in time."""
        decoder = self.current_decoder()
        if decoder is None:
            return True
        left = _DRAIN_LIMIT
        try:
            while True:
                piece = decoder.decode_available()
                if piece is not None:
                    left -= len(piece)
                    if left < 0:
                        return False
                    continue
                if decoder.is_complete:
                    return True
                data = await self._read(self._server.body_timeout)
                if not data:
                    return False
                decoder.feed(data)
        except H1BodyError:
            return False

    def _close(self, transport: Any) -> None:
        if transport is not None:
            transport.close()

    def _finish(self) -> None:
        if self._head_bytes:
            self._count_head(0)
        transport, done, _ = self.mark_closed()
        if transport is not None:
            transport.close()
        if done is not None and not done.done():
            # A parked watcher read ends with the transport.
            self._watch = None
            self.watcher_aborted()
        self.take_watcher_handle()
        self.take_watcher_result()
        self._server._forget(self)


class _PeerGone(ConnectionResetError):
    """The client left while its response was being written."""
