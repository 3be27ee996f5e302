"""The ASGI `websocket` scope over an HTTP/1.1 protocol switch (RFC 6455) or
an HTTP/2 extended CONNECT stream (RFC 8441), with wsproto as the frame codec.

The handshake is the server's own: the request arrived as any other, and the
application's `websocket.accept` becomes the 101 answer (over HTTP/2 a 200
that leaves the stream open; with the subprotocol, its headers and
permessage-deflate when the client offered it) or its `websocket.close` a
403.  After the switch one reader task per connection
feeds wsproto, answers pings and closes, and queues whole messages for the
application, a few at a time (the client waits while the application does
not read); the server pings a silent client and drops one that stops
answering.
"""

from __future__ import annotations

import asyncio
from typing import Any, Protocol

from wsproto import ConnectionType
from wsproto.connection import Connection, ConnectionState
from wsproto.events import BytesMessage, CloseConnection, Ping, Pong, TextMessage
from wsproto.extensions import Extension, PerMessageDeflate
from wsproto.utilities import LocalProtocolError, generate_accept_token

from .asgi_types import WRITTEN, ASGIApp, ClientDisconnected, Message, Scope, WebSocketLimits
from .exchange import Request, Response

__all__ = ["serve_websocket"]


class _Tunnel(Protocol):
    """The bytes of a WebSocket connection: a switched HTTP/1.1 connection or
    an HTTP/2 stream."""

    async def read(self) -> bytes: ...
    def write(self, data: bytes) -> None: ...
    async def drain(self) -> None: ...
    def close(self) -> None: ...
    async def end(self) -> None: ...


# Whole messages waiting for the application before the reader stops reading.
_QUEUED_MESSAGES = 8
# How long a closing handshake may take before the connection just ends.
_CLOSE_TIMEOUT = 5.0
# _DENYING: the application began its own answer to the handshake (the
# "websocket.http.response" extension) and has not finished it.
_CONNECTING, _DENYING, _OPEN, _CLOSING, _CLOSED = range(5)
# RFC 6455 section 7.4.1: no close frame seen, message too big, server failure.
_ABNORMAL, _TOO_BIG, _INTERNAL = 1006, 1009, 1011


async def serve_websocket(app: ASGIApp, scope: Scope, request: Request, limits: WebSocketLimits) -> Response:
    """Runs the application for one WebSocket request (`scope` its websocket
    scope); the handler's answer."""
    headers = request.headers
    # RFC 8441 section 5: over HTTP/2 there is no key to answer.
    key = headers.get("sec-websocket-key") if request.http_version != "2" else b""
    if key is None or headers.get("sec-websocket-version") != b"13":
        # RFC 6455 section 4.4: the versions we speak, for the client to retry.
        return Response(426, [("sec-websocket-version", "13"), ("content-type", "text/plain")],
                        b"WebSocket version 13 is required.\n")  # fmt: skip
    offered = headers.get_all("sec-websocket-protocol")
    scope["subprotocols"] = [p.strip() for v in offered for p in v.decode("latin-1").split(",") if p.strip()]
    session = _Session(limits, request, key)
    failed = False
    try:
        await app(scope, session.receive, session.send)
    except BaseException:
        failed = True
        raise
    finally:
        await session.finish(failed)
        if session._tunnel is not None:
            await session._tunnel.end()
    if session.state == _CONNECTING:
        raise RuntimeError("the ASGI application returned without accepting or closing the WebSocket")
    if session.state == _DENYING:
        raise RuntimeError("the ASGI application returned before its denial response was complete")
    return WRITTEN


class _Session:
    """One WebSocket connection: the application's `receive` and `send`."""

    def __init__(self, limits: WebSocketLimits, request: Request, key: bytes) -> None:
        self._limits = limits
        self._request = request
        self._key = key
        self.state = _CONNECTING
        self._connect_sent = False
        self._ws: Connection | None = None
        self._tunnel: _Tunnel | None = None
        self._inbox: asyncio.Queue[Message] = asyncio.Queue(_QUEUED_MESSAGES)
        self._reader: asyncio.Task[None] | None = None
        self._closed_by_client: asyncio.Event = asyncio.Event()
        self._disconnect: Message | None = None
        self._pinger: asyncio.TimerHandle | None = None
        self._pong_due: float | None = None
        self._denial: tuple[int, list[Any], list[bytes]] | None = None  # status, headers, body so far

    # -- what the application calls ------------------------------------------

    async def receive(self) -> Message:
        if not self._connect_sent:
            self._connect_sent = True
            return {"type": "websocket.connect"}
        if self.state <= _DENYING:
            # Neither accepted nor denied: nothing can arrive but the end.
            await self._request.disconnected()
            return {"type": "websocket.disconnect", "code": _ABNORMAL, "reason": ""}
        if self._disconnect is not None and self._inbox.empty():
            return self._disconnect
        return await self._inbox.get()

    async def send(self, message: Message) -> None:
        kind = message["type"]
        if self.state == _CONNECTING:
            if kind == "websocket.accept":
                await self._accept(message)
            elif kind == "websocket.close":
                # RFC 6455 section 4.2.2: a refused handshake is a plain HTTP answer.
                self.state = _CLOSED
                await self._request._conn._respond_whole(
                    self._request, 403, [("content-length", "0")], b"", None
                )
            elif kind == "websocket.http.response.start":
                # The application's own answer instead (the ASGI denial
                # response extension), sent whole once its body is.
                self._denial = (message["status"], list(message.get("headers", ())), [])
                self.state = _DENYING
            else:
                raise RuntimeError(f"{kind!r} before websocket.accept")
            return
        if self.state == _DENYING:
            if kind != "websocket.http.response.body":
                raise RuntimeError(f"{kind!r} during a denial response")
            assert self._denial is not None
            status, headers, body = self._denial
            body.append(bytes(message.get("body", b"")))
            if not message.get("more_body", False):
                self.state = _CLOSED
                await self._request._conn._respond_whole(self._request, status, headers, b"".join(body), None)
            return
        if kind == "websocket.send":
            if self.state != _OPEN:
                raise ClientDisconnected("the WebSocket is closed")
            text, data = message.get("text"), message.get("bytes")
            if text is not None and data is None:
                await self._write(TextMessage(text))
            elif data is not None and text is None:
                await self._write(BytesMessage(bytes(data)))
            else:
                raise RuntimeError("websocket.send needs exactly one of text and bytes")
        elif kind == "websocket.close":
            if self.state == _OPEN:
                await self._close(message.get("code", 1000), message.get("reason") or "")
        elif kind == "websocket.accept":
            raise RuntimeError("websocket.accept sent twice")
        else:
            raise RuntimeError(f"unexpected ASGI message {kind!r} in a websocket scope")

    # -- the handshake ---------------------------------------------------------

    async def _accept(self, message: Message) -> None:
        request = self._request
        over_h2 = request.http_version == "2"
        fields: list[tuple[bytes, bytes]] = (
            []
            if over_h2
            else [
                (b"upgrade", b"websocket"),
                (b"connection", b"Upgrade"),
                (b"sec-websocket-accept", generate_accept_token(self._key)),
            ]
        )
        subprotocol = message.get("subprotocol")
        if subprotocol:
            fields.append((b"sec-websocket-protocol", subprotocol.encode()))
        extensions: list[Extension] = []
        offer = b", ".join(request.headers.get_all("sec-websocket-extensions")).decode("latin-1")
        for offered in offer.split(","):
            if offered.split(";", 1)[0].strip() == "permessage-deflate":
                # RFC 7692: the first offer we can take; its parameters answered.
                deflate = PerMessageDeflate()
                accepted = deflate.accept(offered.strip())
                if accepted:
                    value = deflate.name if accepted is True else f"{deflate.name}; {accepted}"
                    fields.append((b"sec-websocket-extensions", value.encode()))
                    extensions.append(deflate)
                    break
        fields.extend((bytes(name), bytes(value)) for name, value in message.get("headers", ()))
        tunnel = await request._conn._respond_switch(request, 200 if over_h2 else 101, fields)
        self._tunnel = tunnel
        self._ws = Connection(ConnectionType.SERVER, extensions=extensions)
        self.state = _OPEN
        self._reader = asyncio.get_running_loop().create_task(self._read())
        self._schedule_ping()

    # -- frames ------------------------------------------------------------------

    async def _write(self, event: Any) -> None:
        assert self._ws is not None and self._tunnel is not None
        self._tunnel.write(self._ws.send(event))
        await self._tunnel.drain()

    async def _read(self) -> None:
        """Feeds what the client sends to wsproto until the connection ends."""
        assert self._ws is not None and self._tunnel is not None
        ws, tunnel, limit = self._ws, self._tunnel, self._limits.max_size
        parts: list[Any] = []
        size = 0
        code, reason = _ABNORMAL, ""
        try:
            while True:
                data = await tunnel.read()
                ws.receive_data(data or None)
                for event in ws.events():
                    if isinstance(event, (TextMessage, BytesMessage)):
                        parts.append(event.data)
                        size += len(event.data)
                        if size > limit:
                            code, reason = _TOO_BIG, "message too big"
                            if self.state == _OPEN:
                                tunnel.write(ws.send(CloseConnection(code, reason)))
                                self.state = _CLOSING
                            return
                        if event.message_finished:
                            kind = "text" if isinstance(event, TextMessage) else "bytes"
                            whole = (
                                parts[0] if len(parts) == 1 else ("" if kind == "text" else b"").join(parts)
                            )
                            parts, size = [], 0
                            await self._inbox.put({"type": "websocket.receive", kind: whole})
                    elif isinstance(event, Ping):
                        tunnel.write(ws.send(event.response()))
                    elif isinstance(event, Pong):
                        self._pong_due = None
                    elif isinstance(event, CloseConnection):
                        code, reason = event.code, event.reason or ""
                        if ws.state == ConnectionState.REMOTE_CLOSING:
                            tunnel.write(ws.send(event.response()))  # RFC 6455 section 5.5.1
                        self._closed_by_client.set()
                        return
                if not data:
                    return
        except (OSError, LocalProtocolError):
            return  # the connection went away, or ended while we answered
        finally:
            self.state = _CLOSED
            self._disconnect = {"type": "websocket.disconnect", "code": code, "reason": reason}
            if self._inbox.empty():
                self._inbox.put_nowait(self._disconnect)
            if self._pinger is not None:
                self._pinger.cancel()

    async def _close(self, code: int, reason: str) -> None:
        """Our closing handshake: the close frame, then the client's, for a while."""
        self.state = _CLOSING
        assert self._ws is not None and self._tunnel is not None
        if self._ws.state != ConnectionState.OPEN:
            return  # the client closed first: the reader answered it
        self._tunnel.write(self._ws.send(CloseConnection(code, reason)))
        try:
            await asyncio.wait_for(self._closed_by_client.wait(), _CLOSE_TIMEOUT)
        except TimeoutError:
            pass

    def _schedule_ping(self) -> None:
        interval = self._limits.ping_interval
        if interval is not None:
            self._pinger = asyncio.get_running_loop().call_later(interval, self._ping)

    def _ping(self) -> None:
        """A silent client is pinged; one that leaves a ping unanswered is dropped."""
        if self.state != _OPEN or self._ws is None or self._tunnel is None:
            return
        loop = asyncio.get_running_loop()
        if self._pong_due is not None and loop.time() >= self._pong_due:
            self._tunnel.close()
            return
        if self._pong_due is None:
            self._tunnel.write(self._ws.send(Ping(b"vantric")))
            self._pong_due = loop.time() + self._limits.ping_timeout
        self._pinger = loop.call_later(
            min(self._limits.ping_interval or 0.0, self._limits.ping_timeout), self._ping
        )

    async def finish(self, failed: bool) -> None:
        """The application returned (or raised): the connection ends properly."""
        if self.state == _OPEN:
            try:
                await self._close(_INTERNAL if failed else 1000, "")
            except OSError:
                pass
        if self._pinger is not None:
            self._pinger.cancel()
        if self._reader is not None and not self._reader.done():
            self._reader.cancel()
            await asyncio.gather(self._reader, return_exceptions=True)
