"""The asyncio server: the listener, its limits and its life cycle.

An application is one coroutine function: it takes a `Request` and returns a
`Response`, whichever protocol the client speaks.

    async def app(request):
        body = await request.read()
        return Response(200, [("content-type", "text/plain")], body)

    vantric.server.run(app, port=8000)

Each accepted connection starts as an HTTP/1.1 connection (`server_h1`),
which hands a client speaking HTTP/2 with prior knowledge over to
`server_h2`; one sweep checks every connection's deadlines.
"""

from __future__ import annotations

import asyncio
import logging
import signal
import socket
from collections import Counter
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any

from ._vantric import H1Codec
from .access_log import access_logger
from .exchange import BodyTooLarge, Handler, Request, Response, Tunnel, logger
from .forwarded import TrustedProxies
from .server_h1 import H1Connection
from .server_h2 import H2Connection
from .wire import LINGER_SECONDS, end_output, loop_clock, peer_text, small_reads

if TYPE_CHECKING:
    from ssl import SSLContext
    from typing import Protocol

    class _Events(Protocol):
        """What `_Protocol` hands the transport's events to: an HTTP/1 or
        HTTP/2 connection, or a refused one."""

        def _on_data(self, data: bytes) -> None: ...
        def _on_eof(self) -> None: ...
        def _on_lost(self) -> None: ...
        def _on_pause_writing(self) -> None: ...
        def _on_resume_writing(self) -> None: ...


__all__ = ["BodyTooLarge", "Request", "Response", "Server", "Tunnel", "serve", "run"]

_TIMEOUT_SWEEP_SECONDS = 0.5


def _default_max_connections() -> int:
    try:
        import resource

        soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    except (ImportError, ValueError, OSError):
        return 1000
    if soft == resource.RLIM_INFINITY:
        return 10000
    return max(16, min(soft - 64, 10000))


class _Stand:
    """Stands in for a connection in `_Protocol`: every transport event is
    ignored unless a subclass takes it."""

    __slots__ = ()

    def _on_data(self, data: bytes) -> None:
        pass

    def _on_eof(self) -> None:
        pass

    def _on_lost(self) -> None:
        pass

    def _on_pause_writing(self) -> None:
        pass

    def _on_resume_writing(self) -> None:
        pass


class _Refused(_Stand):
    """A connection past `max_connections`: answered 503 and closed, what it
    sends dropped."""

    __slots__ = ("_transport",)

    _ANSWER = (
        b"HTTP/1.1 503 Service Unavailable\r\nconnection: close\r\n"
        b"retry-after: 1\r\ncontent-length: 0\r\n\r\n"
    )

    def __init__(self, transport: Any, loop: asyncio.AbstractEventLoop, tls: bool) -> None:
        self._transport = transport
        if tls:
            transport.abort()  # nothing a TLS client could read
            return
        transport.write(self._ANSWER)
        if end_output(transport):
            # Closing with the request unread would reset the connection and
            # could destroy the answer; the client gets a moment to read it.
            loop.call_later(LINGER_SECONDS, transport.close)
        else:
            transport.close()

    def _on_eof(self) -> None:
        self._transport.close()


class _Protocol(asyncio.Protocol):
    """Hands asyncio's transport events to the connection."""

    __slots__ = ("_server", "_conn")

    def __init__(self, server: Server) -> None:
        self._server = server
        self._conn: _Events = None  # type: ignore[assignment]  # until connection_made()

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        small_reads(transport)
        self._conn = self._server._open(transport)  # type: ignore[arg-type]  # a stream transport

    def data_received(self, data: bytes) -> None:
        self._conn._on_data(data)

    def eof_received(self) -> bool:
        self._conn._on_eof()
        # Keep our side open: a client may half-close after its request and
        # still read the answer; the serve loop closes once it sees the end.
        return True

    def connection_lost(self, exc: Exception | None) -> None:
        if exc is not None:
            # The client reset the connection or the socket failed: a normal
            # end for a server, counted rather than logged.
            self._server.counts["peer_gone"] += 1
        conn = self._conn
        if conn is not None:
            conn._on_lost()

    def pause_writing(self) -> None:
        self._conn._on_pause_writing()

    def resume_writing(self) -> None:
        self._conn._on_resume_writing()


class _TlsProtocol(_Protocol):
    """Hands the events of the TLS layer to the connection.  TLS has no
    half-close: the client's close_notify ends the connection both ways."""

    __slots__ = ()

    def eof_received(self) -> bool:
        self._conn._on_eof()
        return False


class _Handshake(_Stand):
    """A TLS connection until its handshake is done: counted among the
    connections (so `max_connections` bounds handshakes too), bounded by
    `handshake_timeout`, then handed to the connection of the protocol ALPN
    chose."""

    __slots__ = ("_server", "_transport", "_task", "_raw")

    def __init__(self, server: Server, transport: asyncio.Transport) -> None:
        self._server = server
        self._transport = transport
        self._raw: list[bytes] = []
        # The loop holds tasks weakly: the handshake keeps its task alive.
        self._task = server._loop.create_task(self._run())
        self._task.add_done_callback(self._ended)

    async def _run(self) -> None:
        server = self._server
        loop = server._loop
        protocol = _TlsProtocol(server)
        held = protocol._conn = _Held()
        starting = loop.create_task(
            loop.start_tls(
                self._transport,
                protocol,
                server.ssl,  # type: ignore[arg-type]  # set while TLS serves
                server_side=True,
                ssl_handshake_timeout=server.handshake_timeout,
            )
        )
        try:
            # Some event loops (uvloop) deliver the first bytes before start_tls
            # takes the transport over, paused or not: once its TLS layer is in
            # place, those bytes (the ClientHello) are its own.
            await asyncio.sleep(0)
            await asyncio.sleep(0)
            if self._raw:
                _feed(self._transport.get_protocol(), b"".join(self._raw))
                self._raw.clear()
            tls = await starting
        except asyncio.CancelledError:
            starting.cancel()  # shutting down
            raise
        except OSError as error:  # TimeoutError included
            # Garbage instead of a ClientHello, a stalled or failed handshake,
            # or a client that left: counted, logged once, no traceback.
            stalled = isinstance(error, (ConnectionAbortedError, TimeoutError))
            server.counts["timeout" if stalled else "client_error"] += 1
            reason = "timed out" if stalled else getattr(error, "reason", None) or type(error).__name__
            logger.info("client %s: TLS handshake failed (%s)", peer_text(self._transport), reason)
            return
        if tls is None:
            return
        conn = server._serve(tls, protocol)
        if held.data:
            conn._on_data(b"".join(held.data))
        if held.eof:
            conn._on_eof()
        if held.lost:
            conn._on_lost()

    # Bytes of the raw transport before the TLS layer takes it over (its end
    # needs nothing: the handshake fails, and says so).
    def _on_data(self, data: bytes) -> None:
        self._raw.append(data)

    def _timed_out(self, now: float) -> bool:
        return False  # start_tls keeps the handshake's deadline

    def request_shutdown(self) -> None:
        self._task.cancel()

    def _ended(self, task: asyncio.Task[None]) -> None:
        """However the handshake ended, it leaves the server's connections;
        cancelled (a shutdown), its socket closes too: a task cancelled before
        its first step never ran any of _run, start_tls included."""
        if task.cancelled():
            self._transport.close()  # a second close is nothing where start_tls closed it
        self._server._forget(self)


class _Held(_Stand):
    """Events of the TLS layer that come before the connection takes over:
    given to it in order once it does."""

    __slots__ = ("data", "eof", "lost")

    def __init__(self) -> None:
        self.data: list[bytes] = []
        self.eof = self.lost = False

    def _on_data(self, data: bytes) -> None:
        self.data.append(data)

    def _on_eof(self) -> None:
        self.eof = True

    def _on_lost(self) -> None:
        self.lost = True


def _feed(protocol: Any, data: bytes) -> None:
    """Hands `data` to a protocol as if the transport had read it."""
    if hasattr(protocol, "buffer_updated"):  # a buffered protocol, as TLS layers are
        view = memoryview(data)
        while view:
            buffer = protocol.get_buffer(len(view))
            size = min(len(buffer), len(view))
            buffer[:size] = view[:size]
            protocol.buffer_updated(size)
            view = view[size:]
    else:
        protocol.data_received(data)


class Server:
    """Serves `handler` on listening sockets until `shutdown()`.

    Every wait on a client has a deadline and every buffer a client can fill
    has a bound; each is an argument (defaults in parentheses):

    idle_timeout: seconds of silence a kept-alive connection may wait for its
        next request (5);
    head_timeout: seconds a request head may take to arrive once it began (10);
    body_timeout: seconds a request body read may wait for bytes (30);
    body_min_rate: bytes a second a request body must average once it has
        taken `body_timeout` (500; 0 turns the floor off);
    send_timeout: seconds a response may wait for the client to read or to
        open its flow-control window (30);
    max_body_size: the largest body `Request.read()` collects (16 MiB; 413
        beyond);
    max_connections: connections served at once; later ones are answered 503
        (the open-file limit less 64, at most 10000);
    max_head_memory: bytes all unfinished request heads may hold together; a
        head that grows past it is answered 503 (32 MiB);
    max_concurrent_streams: HTTP/2 streams, and so handlers, per connection
        (100);
    max_queued_control_frames: HTTP/2 answers (PING and SETTINGS
        acknowledgements, resets) queued for a client that does not read them
        before the connection ends with ENHANCE_YOUR_CALM (1000);
    max_idle_frame_rate: HTTP/2 frames that do no work (PRIORITY, RST_STREAM,
        PING, SETTINGS, frames for streams that are gone) a second, sustained,
        before the connection ends with ENHANCE_YOUR_CALM (1000);
    handshake_timeout: seconds a TLS handshake may take (10).

    `access_log` writes a line per exchange to the "vantric.access" logger.
    `proxy_headers` reads the client's address and scheme from X-Forwarded-For,
    X-Forwarded-Proto and Forwarded, on connections from `forwarded_allow_ips`
    only (addresses or networks, "*" for all, "unix:" for Unix sockets).

    `ssl`, a server-side `ssl.SSLContext`, serves TLS: ALPN offers "h2" and
    "http/1.1" (the context's ALPN list is set to these), and each connection
    speaks what the client chose.  Without it the server speaks cleartext
    HTTP/1.1, and HTTP/2 to clients that open with its preface.
    """

    def __init__(
        self,
        handler: Handler,
        *,
        keep_alive: bool = True,
        idle_timeout: float = 5.0,
        head_timeout: float = 10.0,
        body_timeout: float = 30.0,
        body_min_rate: float = 500.0,
        send_timeout: float = 30.0,
        max_body_size: int = 16 * 1024 * 1024,
        max_connections: int | None = None,
        max_head_memory: int = 32 * 1024 * 1024,
        max_concurrent_streams: int = 100,
        max_queued_control_frames: int = 1000,
        max_idle_frame_rate: float = 1000.0,
        max_buf_size: int | None = None,
        title_case_headers: bool = False,
        ssl: SSLContext | None = None,
        handshake_timeout: float = 10.0,
        access_log: bool = False,
        proxy_headers: bool = False,
        forwarded_allow_ips: str | Iterable[str] = "127.0.0.1",
    ) -> None:
        self.handler = handler
        self.ssl = ssl
        self.handshake_timeout = handshake_timeout
        self.access_log = access_log
        # Whose forwarding fields are believed, when they are read at all.
        self.proxies = TrustedProxies(forwarded_allow_ips) if proxy_headers else None
        self.keep_alive = keep_alive
        self.idle_timeout = idle_timeout
        self.head_timeout = head_timeout
        self.body_timeout = body_timeout
        self.body_min_rate = body_min_rate
        self.send_timeout = send_timeout
        self.max_body_size = max_body_size
        self.max_connections = max_connections if max_connections is not None else _default_max_connections()
        self.max_head_memory = max_head_memory
        self.max_concurrent_streams = max_concurrent_streams
        self.max_queued_control_frames = max_queued_control_frames
        self.max_idle_frame_rate = max_idle_frame_rate
        self._head_bytes = 0  # what unfinished heads hold, across connections
        self._codec_options: dict[str, Any] = {"title_case_headers": title_case_headers}
        if max_buf_size is not None:
            self._codec_options["max_buf_size"] = max_buf_size
        self._loop: asyncio.AbstractEventLoop = None  # type: ignore[assignment]  # set by listen()
        self._listener: asyncio.base_events.Server | None = None
        self._connections: set[H1Connection | H2Connection | _Handshake] = set()
        # What happened to connections, for monitoring: "client_error" (a
        # client broke the protocol), "peer_gone" (a connection ended by a
        # reset or a socket error), "timeout" (a wait on a client ran out),
        # "overload" (a connection or head refused past a server-wide limit).
        self.counts: Counter[str] = Counter()
        # Set when the last connection goes while shutting down.
        self._idle: asyncio.Future[None] | None = None
        self._sweeper: asyncio.TimerHandle | None = None
        self._closing = False

    async def listen(
        self,
        host: str = "127.0.0.1",
        port: int = 8000,
        *,
        sock: socket.socket | None = None,
        backlog: int = 1024,
    ) -> None:
        self._loop = asyncio.get_running_loop()
        self._clock = loop_clock(self._loop)
        if self.access_log and not access_logger.isEnabledFor(logging.INFO):
            self.access_log = False  # nobody would read the lines: not worth their cost
        startup = getattr(self.handler, "startup", None)
        if startup is not None:
            # A handler with a life of its own (an ASGI application's lifespan)
            # starts before the first connection; its failure stops the server.
            await startup()
        if self.ssl is not None:
            # The handshake runs per connection (start_tls), where it is
            # bounded and counted; the listener itself accepts plain sockets.
            self.ssl.set_alpn_protocols(["h2", "http/1.1"])
        if sock is not None:
            self._listener = await self._loop.create_server(
                lambda: _Protocol(self), sock=sock, backlog=backlog
            )
        else:
            self._listener = await self._loop.create_server(
                lambda: _Protocol(self), host, port, backlog=backlog, reuse_address=True
            )
        self._sweeper = self._loop.call_later(_TIMEOUT_SWEEP_SECONDS, self._sweep)

    @property
    def port(self) -> int:
        return self._listener.sockets[0].getsockname()[1]  # type: ignore[union-attr,no-any-return]

    @property
    def sockets(self) -> tuple[socket.socket, ...]:
        return self._listener.sockets if self._listener is not None else ()

    async def shutdown(self, grace: float = 10.0) -> None:
        """Stops accepting, lets requests in flight finish, then closes."""
        if self._closing:
            return
        self._closing = True
        if self._listener is not None:
            self._listener.close()
        for conn in list(self._connections):
            transport = conn.request_shutdown()
            if transport is not None:
                transport.close()
        if self._connections:
            self._idle = self._loop.create_future()
            try:
                await asyncio.wait_for(asyncio.shield(self._idle), grace)
            except TimeoutError:
                self._abort_connections()
        if self._sweeper is not None:
            self._sweeper.cancel()
        if self._listener is not None:
            await self._listener.wait_closed()
        finish = getattr(self.handler, "shutdown", None)
        if finish is not None:
            await finish()

    def _open(self, transport: asyncio.Transport) -> H1Connection | _Handshake | _Refused:
        if len(self._connections) >= self.max_connections:
            self.counts["overload"] += 1
            return _Refused(transport, self._loop, self.ssl is not None)
        if self.ssl is not None:
            # Not a byte may reach this protocol: the ClientHello is the TLS
            # layer's, which start_tls puts in place (and resumes reading).
            transport.pause_reading()
            handshake = _Handshake(self, transport)
            self._connections.add(handshake)
            return handshake
        return self._serve_h1(transport)

    def _serve(self, transport: asyncio.Transport, protocol: _Protocol) -> H1Connection | H2Connection:
        """Serves a TLS connection with the protocol ALPN chose (RFC 7301)."""
        ssl_object = transport.get_extra_info("ssl_object")
        if ssl_object is not None and ssl_object.selected_alpn_protocol() == "h2":
            h2 = H2Connection.create(self, transport)
            self._connections.add(h2)
            h2.start(b"")
            protocol._conn = h2
            return h2
        conn = self._serve_h1(transport)
        protocol._conn = conn
        return conn

    def _serve_h1(self, transport: asyncio.Transport) -> H1Connection:
        conn = H1Connection(H1Codec(**self._codec_options), transport, keep_alive=self.keep_alive)
        conn._setup(self, transport)
        self._connections.add(conn)
        if self._closing:
            conn.request_shutdown()
        return conn

    def _abort_connections(self) -> None:
        """Ends every connection now, requests in flight or not."""
        for conn in list(self._connections):
            conn._transport.abort()

    def _forget(self, conn: H1Connection | H2Connection | _Handshake) -> None:
        self._connections.discard(conn)
        if self._idle is not None and not self._connections and not self._idle.done():
            self._idle.set_result(None)

    def _sweep(self) -> None:
        now = self._clock()
        for conn in self._connections:
            conn._timed_out(now)
        self._sweeper = self._loop.call_later(_TIMEOUT_SWEEP_SECONDS, self._sweep)

    def _report(self, error: BaseException, request: Request | None) -> None:
        self._loop.call_exception_handler(
            {
                "message": f"unhandled error serving {request!r}",
                "exception": error,
            }
        )


async def serve(
    handler: Handler,
    host: str = "127.0.0.1",
    port: int = 8000,
    *,
    sock: socket.socket | None = None,
    backlog: int = 1024,
    **options: Any,
) -> Server:
    """Starts a `Server` for `handler` listening on (host, port), or on the
    listening socket `sock` (a Unix socket, or one inherited from a supervisor)."""
    server = Server(handler, **options)
    await server.listen(host, port, sock=sock, backlog=backlog)
    return server


def run(
    handler: Handler,
    host: str = "127.0.0.1",
    port: int = 8000,
    *,
    grace: float = 10.0,
    ready: Callable[[Server], None] | None = None,
    loop_factory: Callable[[], asyncio.AbstractEventLoop] | None = None,
    **options: Any,
) -> None:
    """Serves until SIGINT or SIGTERM, then shuts down gracefully, on a new
    event loop (from `loop_factory` when given, such as `uvloop.new_event_loop`)."""

    async def main() -> None:
        loop = asyncio.get_running_loop()
        # Errors of handlers (and of the server) go to their own logger.
        loop.set_exception_handler(_log_error)
        server = await serve(handler, host, port, **options)
        stop = asyncio.Event()
        for signum in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(signum, stop.set)
        if ready is not None:
            ready(server)
        try:
            await stop.wait()
            # A second signal during the graceful shutdown ends what is left at once.
            stop.clear()
            closing = asyncio.ensure_future(server.shutdown(grace))
            again = asyncio.ensure_future(stop.wait())
            await asyncio.wait((closing, again), return_when=asyncio.FIRST_COMPLETED)
            if not closing.done():
                server._abort_connections()
            again.cancel()
            await closing
        finally:
            for signum in (signal.SIGINT, signal.SIGTERM):
                loop.remove_signal_handler(signum)

    with asyncio.Runner(loop_factory=loop_factory) as runner:
        runner.run(main())


_error_logger = logging.getLogger("vantric.error")


def _log_error(loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
    error = context.get("exception")
    _error_logger.error("%s", context.get("message", "unhandled error"), exc_info=error)
