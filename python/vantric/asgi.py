"""Serving ASGI 3 applications: the `http` and `lifespan` scopes over the server's
HTTP/1.1 and HTTP/2 connections (`websocket` lives in `asgi_websocket`).

`ASGIHandler(app)` is a handler like any other: the server calls it with each
`Request`.  It builds the scope, runs the application in the request's own
task, and writes what the application sends through the connection's
`_respond_*` calls: a response whose body comes in one message goes out in one
write, a longer one piece by piece, with flow control.  Its `startup()` and
`shutdown()` run the lifespan protocol; the server awaits them around serving.
"""

from __future__ import annotations

import asyncio
import functools
import importlib.util
import logging
from collections.abc import Callable
from typing import Any, Literal
from urllib.parse import unquote_to_bytes

from .asgi_types import (
    ASGI_VERSION,
    WRITTEN,
    ASGIApp,
    ClientDisconnected,
    Message,
    Receive,
    Scope,
    Send,
    WebSocketLimits,
)
from .exchange import NOT_STARTED, STREAMING, Request, Response

__all__ = [
    "ASGIApp",
    "ASGIHandler",
    "LifespanFailure",
    "Message",
    "Receive",
    "Scope",
    "Send",
    "limit_requests",
]

logger = logging.getLogger("vantric.asgi")

_LIFESPAN_VERSION = {"version": "3.0", "spec_version": "2.0"}
_DISCONNECT: dict[str, Any] = {"type": "http.disconnect"}


class LifespanFailure(RuntimeError):
    """The application's lifespan startup failed: the server does not start."""


def split_target(target: str) -> tuple[str, bytes, bytes]:
    """(path, raw_path, query_string) of a request-target: the path percent-
    decoded and read as UTF-8 (RFC 3986 section 2.5), the raw parts as the
    client sent them.  An absolute-form target (RFC 9112 section 3.2.2) gives
    its path; the asterisk form is "*", the authority form (CONNECT) none."""
    if not target.startswith("/"):
        if target == "*":
            return "*", b"*", b""
        scheme_end = target.find("://")
        if scheme_end < 0:
            return "", b"", b""
        rest = scheme_end + 3
        ends = [at for at in (target.find("/", rest), target.find("?", rest)) if at >= 0]
        target = target[min(ends) :] if ends else "/"
        if target.startswith("?"):
            target = "/" + target
    raw, _, query = target.partition("?")
    raw_path = raw.encode("utf-8", "surrogateescape")
    if "%" in raw:
        path = unquote_to_bytes(raw_path).decode("utf-8", "replace")
    elif raw.isascii():
        path = raw
    else:
        path = raw_path.decode("utf-8", "replace")
    return path, raw_path, query.encode("utf-8", "surrogateescape")


class ASGIHandler:
    """A server handler that runs an ASGI 3 application.

    `root_path` is the mount point reported in every scope; `lifespan`:
    "auto" runs the lifespan protocol when the application supports it, "on"
    requires it, "off" skips it.  WebSocket connections are limited to
    `ws_max_size` bytes a message and pinged every `ws_ping_interval` seconds
    (closed when a ping goes unanswered for `ws_ping_timeout`).
    """

    def __init__(
        self,
        app: ASGIApp,
        *,
        root_path: str = "",
        lifespan: Literal["auto", "on", "off"] = "auto",
        ws_max_size: int = 16 * 1024 * 1024,
        ws_ping_interval: float | None = 20.0,
        ws_ping_timeout: float = 20.0,
    ) -> None:
        if lifespan not in ("auto", "on", "off"):
            raise ValueError(f'lifespan must be "auto", "on" or "off", got {lifespan!r}')
        self.app = app
        self.root_path = root_path
        self.lifespan = lifespan
        self.ws_limits = WebSocketLimits(ws_max_size, ws_ping_interval, ws_ping_timeout)
        self.state: dict[str, Any] = {}
        self._lifespan: _Lifespan | None = None
        # HTTP/2 connections announce WebSocket over a stream (RFC 8441)
        # when there is a WebSocket codec to serve it with.
        self.websocket_over_h2 = importlib.util.find_spec("wsproto") is not None

    def scope(self, request: Request, kind: str) -> dict[str, Any]:
        """The connection scope of `request`, for the `http` or `websocket` type."""
        head = request.head
        target = head.target
        if target[0] == "/" and "%" not in target and target.isascii():
            path, _, query = target.partition("?")
            raw_path, query_string = path.encode(), query.encode()
        else:
            path, raw_path, query_string = split_target(target)
        root = self.root_path
        if root:
            # The path the client asked for: under root_path when mounted.
            path, raw_path = root + path, root.encode() + raw_path
        conn = request._conn
        endpoints = request._endpoints()
        cached = conn._handler_cache
        base: dict[str, Any]
        if kind == "http" and cached is not None and cached[0] is endpoints:
            base = cached[1]
        else:
            scheme, client, server = endpoints
            base = {
                "type": kind,
                "asgi": ASGI_VERSION,
                "http_version": request.http_version,
                "scheme": scheme if kind == "http" else ("wss" if scheme == "https" else "ws"),
                "root_path": root,
                # [host, port] (IPv6 addresses carry two more items); None off IP.
                "client": client[:2] if type(client) is tuple else None,
                "server": server[:2] if type(server) is tuple else None,
            }
            if kind == "http" and endpoints is conn._endpoints[0]:
                # The connection's own endpoints, the same for each of its
                # requests that no proxy field re-addresses: copied rather
                # than built each time.
                conn._handler_cache = (endpoints, base)
        scope = base.copy()
        scope["method"] = head.method
        scope["path"] = path
        scope["raw_path"] = raw_path
        scope["query_string"] = query_string
        scope["headers"] = request._asgi_headers()
        scope["state"] = self.state.copy()
        if kind == "http":
            if request._accepts_trailers():
                scope["extensions"] = {"http.response.trailers": {}}
        else:
            scope["extensions"] = {"websocket.http.response": {}}
        return scope

    async def __call__(self, request: Request) -> Response:
        if request._wants_websocket():
            serve_websocket = _websocket_server()
            if serve_websocket is not None:
                scope = self.scope(request, "websocket")
                answer: Response = await serve_websocket(self.app, scope, request, self.ws_limits)
                return answer
        exchange = _HTTPExchange(request)
        try:
            await self.app(self.scope(request, "http"), exchange.receive, exchange.send)
        except OSError:
            if exchange.disconnected:
                return WRITTEN  # the client left under send(): not an error of the application
            raise
        return WRITTEN if exchange._ended else exchange.outcome()

    # -- lifespan -------------------------------------------------------------

    async def startup(self) -> None:
        """Runs the application's lifespan startup; raises `LifespanFailure`
        when it fails (or, with lifespan "on", when it is not supported)."""
        if self.lifespan == "off" or self._lifespan is not None:
            return  # off, or started already (one handler behind several servers)
        self._lifespan = _Lifespan(self)
        await self._lifespan.startup()

    async def shutdown(self) -> None:
        """Runs the application's lifespan shutdown, if its startup ran."""
        lifespan, self._lifespan = self._lifespan, None
        if lifespan is not None:
            await lifespan.shutdown()


def limit_requests(app: ASGIApp, limit: int, reached: Callable[[], None]) -> ASGIApp:
    """`app`, calling `reached` as its `limit`-th HTTP or WebSocket request
    begins (that request is still served): for a process that stops after so
    many requests and is replaced, so that what leaks cannot pile up."""
    begun = 0

    async def limited(scope: Scope, receive: Receive, send: Send) -> None:
        nonlocal begun
        if scope["type"] != "lifespan":
            begun += 1
            if begun == limit:
                reached()
        await app(scope, receive, send)

    return limited


@functools.cache
def _websocket_server() -> Any:
    """`serve_websocket`, or None without wsproto (then an upgrade request is
    served as plain HTTP, after one warning)."""
    try:
        from .asgi_websocket import serve_websocket
    except ImportError:
        logger.warning("WebSocket requests are served as HTTP: wsproto is not installed")
        return None
    return serve_websocket


class _HTTPExchange:
    """The `receive` and `send` of one `http` scope."""

    __slots__ = ("_request", "_pieces", "_body_done", "_start", "_trailers", "_ended", "disconnected")

    def __init__(self, request: Request) -> None:
        self._request = request
        self._pieces: Any = None
        self._body_done = False
        self._start: Message | None = None
        self._trailers: Any = None  # the fields of http.response.trailers so far
        self._ended = False  # the response is complete
        self.disconnected = False

    async def receive(self) -> Message:
        request = self._request
        if not self._body_done:
            if self._pieces is None:
                if request._body_complete():  # no body, or none left to read
                    self._body_done = True
                    return {"type": "http.request", "body": b"", "more_body": False}
                self._pieces = aiter(request)
            piece = await anext(self._pieces, None)
            if piece is None:
                self._body_done = True
                return {"type": "http.request", "body": b"", "more_body": False}
            more = not request._body_complete()
            if not more:
                self._body_done = True
                await anext(self._pieces, None)  # the reader ends: trailers taken, body done
            return {"type": "http.request", "body": piece, "more_body": more}
        if not self._ended and await request.disconnected():
            self.disconnected = True
        return _DISCONNECT

    async def send(self, message: Message) -> None:
        kind = message["type"]
        if kind == "http.response.start":
            if self._start is not None:
                raise RuntimeError("http.response.start sent twice")
            self._start = message
            return
        request = self._request
        conn = request._conn
        try:
            if kind == "http.response.body":
                start = self._start
                if start is None:
                    raise RuntimeError("http.response.body before http.response.start")
                if self._ended:
                    raise RuntimeError("http.response.body after the response was complete")
                body = message.get("body", b"")
                more = message.get("more_body", False)
                if request._phase == NOT_STARTED:
                    if not more and not start.get("trailers", False):
                        # The whole answer at once: one write, framed by its length.
                        self._ended = True
                        if not conn._writes_at_once:
                            await conn._respond_whole(
                                request, start["status"], start.get("headers"), body, None
                            )
                        elif conn._write_whole(request, start["status"], start.get("headers"), body, None):
                            await conn._drain_writes()  # a slow reader
                        return
                    await conn._respond_head(request, start["status"], start.get("headers"))
                if body:
                    await conn._respond_piece(request, body)
                if not more and not start.get("trailers", False):
                    self._ended = True
                    await conn._respond_end(request, None)
                return
            if kind == "http.response.trailers":
                start = self._start
                if start is None or not start.get("trailers", False) or request._phase != STREAMING:
                    raise RuntimeError("http.response.trailers without trailers announced and the body sent")
                fields = message.get("headers", ())
                self._trailers = fields if self._trailers is None else [*self._trailers, *fields]
                if not message.get("more_trailers", False):
                    self._ended = True
                    await conn._respond_end(request, self._trailers)
                return
            raise RuntimeError(f"unexpected ASGI message {kind!r} in an http scope")
        except OSError as error:
            self.disconnected = True
            raise ClientDisconnected(str(error) or "the client went away") from error

    def outcome(self) -> Response:
        """What the handler answers once the application returned."""
        if self._ended or self.disconnected:
            return WRITTEN  # complete, or nobody left to answer
        if self._start is None:
            raise RuntimeError("the ASGI application returned without sending a response")
        if self._request._phase == NOT_STARTED:
            raise RuntimeError("the ASGI application returned without sending the response body")
        raise RuntimeError("the ASGI application returned before its response was complete")


class _Lifespan:
    """The lifespan protocol: the application runs in a task of its own from
    startup to shutdown."""

    def __init__(self, handler: ASGIHandler) -> None:
        self._handler = handler
        self._inbox: asyncio.Queue[Message] = asyncio.Queue()
        loop = asyncio.get_running_loop()
        self._started: asyncio.Future[str | None] = loop.create_future()
        self._stopped: asyncio.Future[str | None] = loop.create_future()
        self._task: asyncio.Task[None] | None = None
        self._supported = True

    async def startup(self) -> None:
        scope = {"type": "lifespan", "asgi": _LIFESPAN_VERSION, "state": self._handler.state}
        self._task = asyncio.get_running_loop().create_task(self._run(scope))
        await self._inbox.put({"type": "lifespan.startup"})
        failure = await self._started
        if failure is None:
            return
        if not self._supported and self._handler.lifespan == "auto":
            # An application that raises at once on the lifespan scope does
            # not speak it; "on" says it must.
            logger.info("the ASGI application does not support lifespan (%s)", failure)
            return
        raise LifespanFailure(f"the application's startup failed: {failure}")

    async def shutdown(self) -> None:
        if self._task is None or self._task.done():
            return
        await self._inbox.put({"type": "lifespan.shutdown"})
        failure = await self._stopped
        if failure is not None:
            logger.error("the application's shutdown failed: %s", failure)

    async def _run(self, scope: Scope) -> None:
        try:
            await self._handler.app(scope, self._inbox.get, self._send)
        except BaseException as error:
            if not self._started.done():
                # Raised before answering startup: the application does not
                # speak lifespan (or failed at once).
                self._supported = False
                self._started.set_result(f"{type(error).__name__}: {error}")
            elif not self._stopped.done():
                logger.error("the application's lifespan task failed", exc_info=error)
                self._stopped.set_result(f"{type(error).__name__}: {error}")
            if not isinstance(error, Exception):
                raise
        finally:
            if not self._started.done():
                # Returned without a word: the application has no lifespan.
                self._supported = False
                self._started.set_result(None)
            if not self._stopped.done():
                self._stopped.set_result(None)

    async def _send(self, message: Message) -> None:
        kind = message["type"]
        if kind == "lifespan.startup.complete":
            self._started.set_result(None)
        elif kind == "lifespan.startup.failed":
            self._started.set_result(message.get("message") or "startup failed")
        elif kind == "lifespan.shutdown.complete":
            self._stopped.set_result(None)
        elif kind == "lifespan.shutdown.failed":
            self._stopped.set_result(message.get("message") or "shutdown failed")
        else:
            raise RuntimeError(f"unexpected ASGI message {kind!r} in the lifespan scope")
