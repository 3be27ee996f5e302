"""The asyncio HTTP client: a pool of connections per origin, and helpers.

`Client` keeps connections per (scheme, host, port): idle HTTP/1.1 ones, and
one HTTP/2 connection per origin that speaks it.  It opens new ones when none
is free, retries an idempotent request once when a reused connection turns
out to have closed (and a request an HTTP/2 server did not process), and
routes plain-HTTP requests through a proxy taken from the environment.  A
connection is a `ClientConnection` (`client_h1`) or an `H2ClientConnection`
(`client_h2`).
"""

from __future__ import annotations

import asyncio
import json as _json
from typing import TYPE_CHECKING, Any, Literal, Self
from urllib.parse import urljoin

from ._vantric import (
    ConnectionClosedError,
    H1IncompleteMessageError,
    HeaderMap,
    ProxyMatcher,
    __version__,
    uri_parts,
)
from .client_h1 import ClientConnection, ConnectTimeout, ReadTimeout, Response, connect
from .client_h2 import H2ClientConnection, H2Response, Unprocessed
from .content_coding import ACCEPT_ENCODING, ContentDecodingError, decoder_for

if TYPE_CHECKING:
    from ssl import SSLContext
    from typing import TypeAlias

    from .client_h1 import Body, Headers

    # A pool key: (scheme, host, port), or ("proxy", host, port).
    PoolKey: TypeAlias = tuple[str, str, int]

__all__ = [
    "Client", "ClientConnection", "ConnectTimeout", "ContentDecodingError", "H2ClientConnection", "H2Response",
    "ReadTimeout", "Response", "TooManyRedirects", "Unprocessed", "get",
]  # fmt: skip

_USER_AGENT = f"vantric/{__version__}"
# Methods whose request may be sent again when a reused connection closed before answering
# (RFC 9110 section 9.2.2: idempotent methods).
_IDEMPOTENT = frozenset(("GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"))
_FROM_ENV: Any = object()
_NO_JSON: Any = object()
# RFC 9110 section 15.4: the redirections that name their target in Location.
_REDIRECTS = frozenset((301, 302, 303, 307, 308))
# A redirection's own body is read this far to keep its connection, then dropped.
_REDIRECT_BODY_LIMIT = 64 * 1024
# Fields about the request's content, gone with it when a redirection turns it into a GET.
_CONTENT_FIELDS = ("content-length", "content-type", "content-encoding", "transfer-encoding")
# Credentials meant for the origin they were sent to, not for another.
_CREDENTIAL_FIELDS = ("authorization", "proxy-authorization", "cookie")


class TooManyRedirects(Exception):
    """A request was redirected more than the client's `max_redirects` times."""


def _split_url(url: str) -> tuple[str, str, int, str, str]:
    """(scheme, host, port, host-header text, origin-form target) of an http(s) URL."""
    scheme, host, port, _ = uri_parts(url)
    if scheme not in ("http", "https") or host is None or port is None:
        raise ValueError(f"unsupported url {url!r}: an absolute http:// or https:// URL is required")
    rest = url[url.index("://") + 3 :]
    end = len(rest)
    for mark in "/?#":
        at = rest.find(mark)
        if at != -1 and at < end:
            end = at
    authority = rest[:end].rpartition("@")[2]
    target = rest[end:].partition("#")[0]
    if not target.startswith("/"):
        target = "/" + target
    return scheme, host, port, authority, target


class Client:
    """An HTTP client with a pool of connections per (scheme, host, port).

    HTTP/1.1 by default, one request at a time per connection, idle connections
    kept for reuse.  With `http2=True`, https:// origins whose server selects
    "h2" by ALPN get one HTTP/2 connection that carries concurrent requests as
    streams (up to the server's SETTINGS_MAX_CONCURRENT_STREAMS; requests beyond
    wait for a slot); servers that choose HTTP/1.1 get it.  With
    `http2="prior-knowledge"`, http:// origins are spoken to in HTTP/2 at once,
    too.  A request the server did not process (an HTTP/2 GOAWAY) is sent again
    on a new connection.

    Bodies in gzip or deflate (`Content-Encoding`) are handed out decoded, and
    requests say they take those (`Accept-Encoding`, unless the request sets
    it); `decode_content=False` hands bodies out as they came and asks for
    nothing. A body in another coding, or in several, comes as it is.

    `proxy`: by default `ProxyMatcher.from_env()`; None disables proxies; a ProxyMatcher
    or a proxy URL string overrides. Only http:// destinations go through a proxy, only
    through an http:// proxy, and always over HTTP/1.1. Timeouts are in seconds (None
    waits forever); `read_timeout` bounds each wait for the server, not the whole
    response.  `ssl_context`, when given, gets the ALPN list of the chosen protocols.
    An HTTP/2 connection silent for `ping_interval` seconds is sent a PING, and
    closed when it stays unanswered as long again.

    With `follow_redirects` (or the argument of the same name of a request),
    a 301, 302, 303, 307 or 308 answer with a Location is followed, at most
    `max_redirects` times: as browsers do, 303 (and 301 or 302 to a POST)
    becomes a GET without the body; 307 and 308 repeat the request, body
    included (a body given as an async iterable cannot be sent again: that
    redirection is then the response). Credentials (Authorization, Cookie)
    do not follow to another origin. The final response's `history` holds
    the redirections on the way, their bodies dropped.
    """

    def __init__(
        self,
        *,
        proxy: ProxyMatcher | str | None = _FROM_ENV,
        connect_timeout: float | None = 30.0,
        read_timeout: float | None = 60.0,
        max_idle_per_host: int = 8,
        ssl_context: SSLContext | None = None,
        http2: bool | Literal["prior-knowledge"] = False,
        ping_interval: float = 15.0,
        decode_content: bool = True,
        follow_redirects: bool = False,
        max_redirects: int = 20,
    ) -> None:
        if http2 not in (False, True, "prior-knowledge"):
            raise ValueError(f'http2 must be False, True or "prior-knowledge", got {http2!r}')
        if proxy is _FROM_ENV:
            proxy = ProxyMatcher.from_env()
        elif isinstance(proxy, str):
            proxy = ProxyMatcher.from_parts(all=proxy)
        self._proxy = proxy
        self.connect_timeout = connect_timeout
        self.read_timeout = read_timeout
        self.max_idle_per_host = max_idle_per_host
        self.http2 = http2
        self.ping_interval = ping_interval
        self.decode_content = decode_content
        self.follow_redirects = follow_redirects
        self.max_redirects = max_redirects
        self._ssl_context = ssl_context
        if ssl_context is not None:
            ssl_context.set_alpn_protocols(["h2", "http/1.1"] if http2 else ["http/1.1"])
        self._idle: dict[PoolKey, list[ClientConnection]] = {}
        self._keys: dict[ClientConnection, PoolKey] = {}
        # The HTTP/2 connection of each origin that has one, every HTTP/2
        # connection not yet closed, and the origins a connection is being
        # opened to (the requests behind wait to learn what it speaks).
        self._h2: dict[PoolKey, H2ClientConnection] = {}
        self._h2_all: set[H2ClientConnection] = set()
        self._opening: dict[PoolKey, asyncio.Future[None]] = {}
        self._closed = False

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Close every connection, idle or in use."""
        self._closed = True
        conns, self._keys = list(self._keys), {}
        self._idle.clear()
        for conn in conns:
            await conn.close()
        h2_conns, self._h2_all = list(self._h2_all), set()
        self._h2.clear()
        for h2 in h2_conns:
            await h2.close()

    def _on_idle(self, conn: ClientConnection) -> None:
        key = self._keys.get(conn)
        if key is None:
            return
        idle = self._idle.setdefault(key, [])
        if conn.is_dead() or self._closed or len(idle) >= self.max_idle_per_host:
            del self._keys[conn]
            if conn in idle:
                idle.remove(conn)
            _done, writer = conn._teardown()
            if writer is not None:
                writer.cancel()
            return
        idle.append(conn)

    def _on_h2_close(self, conn: H2ClientConnection) -> None:
        for key, current in list(self._h2.items()):
            if current is conn:
                del self._h2[key]

    def _tls_context(self) -> SSLContext:
        if self._ssl_context is None:
            import ssl as ssl_module

            context = ssl_module.create_default_context()
            context.set_alpn_protocols(["h2", "http/1.1"] if self.http2 else ["http/1.1"])
            self._ssl_context = context
        return self._ssl_context

    async def _acquire(
        self, key: PoolKey, host: str, port: int, tls: bool, h2: bool, origin: str
    ) -> tuple[ClientConnection | H2ClientConnection, bool]:
        """A live connection for `key`: the origin's HTTP/2 connection, an idle
        HTTP/1.1 one, else a new one, HTTP/2 when `h2` and the server agrees;
        (connection, reused)."""
        while h2:
            current = self._h2.get(key)
            if current is not None and current.usable:
                return current, True
            opening = self._opening.get(key)
            if opening is None:
                break
            await asyncio.shield(opening)  # then this origin's protocol is known
        idle = self._idle.get(key)
        while idle:
            conn = idle.pop()
            if not conn.is_dead():
                return conn, True
            del self._keys[conn]
            await conn.close()
        opened: asyncio.Future[None] | None = None
        if h2:
            opened = self._opening[key] = asyncio.get_running_loop().create_future()
        try:
            transport, wire = await connect(
                host,
                port,
                ssl=self._tls_context() if tls else None,
                server_hostname=host,
                connect_timeout=self.connect_timeout,
            )
            if h2:
                ssl_object = transport.get_extra_info("ssl_object")
                chosen = ssl_object.selected_alpn_protocol() if ssl_object is not None else "h2"
                if chosen == "h2":
                    self._h2_all = {c for c in self._h2_all if not c._finished}
                    h2_conn = self._h2[key] = H2ClientConnection.over(
                        transport, wire, origin=origin, read_timeout=self.read_timeout,
                        ping_interval=self.ping_interval, on_close=self._on_h2_close,
                    )  # fmt: skip
                    self._h2_all.add(h2_conn)
                    return h2_conn, False
            conn = ClientConnection(transport, wire, read_timeout=self.read_timeout, on_idle=self._on_idle)
            self._keys[conn] = key
            return conn, False
        finally:
            if opened is not None:
                del self._opening[key]
                opened.set_result(None)

    async def request(
        self,
        method: str,
        url: str,
        *,
        headers: Headers | None = None,
        body: Body = None,
        trailers: Headers | None = None,
        follow_redirects: bool | None = None,
        json: Any = _NO_JSON,
    ) -> Response | H2Response:
        """Send one request and return its Response once the head arrived.

        `body` is None, bytes, or an async iterable of bytes (sent chunked over
        HTTP/1.1 unless `headers` carries a Content-Length); `trailers` go after
        the body (chunked, over HTTP/1.1).  `json`, instead of `body`, is sent
        as a UTF-8 JSON text (with Content-Type application/json unless the
        headers set one).  `follow_redirects` overrides the client's setting
        for this request.
        """
        fields = HeaderMap(headers) if headers is not None else HeaderMap()
        if json is not _NO_JSON:
            if body is not None:
                raise ValueError("a request takes body or json, not both")
            body = _json.dumps(json, ensure_ascii=False, separators=(",", ":")).encode()
            if "content-type" not in fields:
                fields["content-type"] = b"application/json"
        response = await self._send(method, url, fields, body, trailers)
        if not (self.follow_redirects if follow_redirects is None else follow_redirects):
            return response
        history: list[Response | H2Response] = []
        while response.status in _REDIRECTS and "location" in response.headers:
            target = urljoin(url, response.headers["location"].decode("latin-1"))
            if not target.startswith(("http://", "https://")):
                break  # somewhere this client does not go: the redirection is the answer
            if response.status == 303 or (response.status in (301, 302) and method == "POST"):
                if method != "HEAD":
                    method, body, trailers = "GET", None, None
                    for name in _CONTENT_FIELDS:
                        if name in fields:
                            del fields[name]
            elif body is not None and not isinstance(body, (bytes, bytearray, memoryview)):
                break  # a streamed body cannot be sent again
            if len(history) == self.max_redirects:
                await response.aclose()
                raise TooManyRedirects(f"{url}: more than {self.max_redirects} redirections")
            if _split_url(target)[:3] != _split_url(url)[:3]:
                for name in _CREDENTIAL_FIELDS:
                    if name in fields:
                        del fields[name]
            if "host" in fields:
                del fields["host"]  # the new target's own
            await _discard(response)
            history.append(response)
            url = target
            response = await self._send(method, url, fields, body, trailers)
        if history:
            response.history = history
        return response

    async def _send(
        self, method: str, url: str, fields: HeaderMap, body: Body, trailers: Headers | None
    ) -> Response | H2Response:
        """One request as given: `fields` are its own and get Host, User-Agent
        and Accept-Encoding where they lack them."""
        if self._closed:
            raise RuntimeError("the client is closed")
        scheme, host, port, authority, target = _split_url(url)
        if "user-agent" not in fields:
            fields["user-agent"] = _USER_AGENT
        decode = self.decode_content
        if decode and "accept-encoding" not in fields:
            fields["accept-encoding"] = ACCEPT_ENCODING
        end_fields = None if trailers is None else HeaderMap(trailers)
        key: PoolKey
        dial_host: str
        dial_port: int
        key, dial_host, dial_port, tls = (scheme, host, port), host, port, scheme == "https"
        h2 = self.http2 == "prior-knowledge" or (self.http2 is True and tls)
        intercept = self._proxy.intercept(url) if self._proxy is not None else None
        if intercept is not None:
            if scheme != "http":
                raise NotImplementedError(f"{url}: https through a proxy (a CONNECT tunnel) is not supported")
            # An http:// URI always has a host and a port (80 when it names none).
            proxy_scheme, dial_host, dial_port, _ = uri_parts(intercept.uri)  # type: ignore[assignment]

            if proxy_scheme != "http":
                raise NotImplementedError(f"proxy {intercept.uri}: only http:// proxies are supported")
            key = ("proxy", dial_host, dial_port)
            h2 = False
            # RFC 9112 section 3.2.2: requests to a proxy carry the absolute form.
            target = f"{scheme}://{authority}{target}"
            auth = intercept.basic_auth()
            if auth is not None and "proxy-authorization" not in fields:
                fields["proxy-authorization"] = auth
        replayable = method in _IDEMPOTENT and (
            body is None or isinstance(body, (bytes, bytearray, memoryview))
        )
        unprocessed = 0
        while True:
            conn, reused = await self._acquire(key, dial_host, dial_port, tls, h2, f"{scheme}://{authority}")
            if isinstance(conn, H2ClientConnection):
                # RFC 9113 section 8.3.1: :authority stands for Host.
                stream_fields = HeaderMap(fields)
                given_host = stream_fields.get("host")
                if given_host is not None:
                    del stream_fields["host"]
                try:
                    h2_response = await conn.request(
                        method, scheme, given_host.decode("latin-1") if given_host else authority,
                        target, stream_fields, body, end_fields,
                    )  # fmt: skip
                except Unprocessed:
                    # Not processed by the server: safe to send again (RFC 9113
                    # section 8.7), a few times at most; a connection that
                    # went away is replaced.
                    unprocessed += 1
                    if unprocessed < 4 and (body is None or isinstance(body, (bytes, bytearray, memoryview))):
                        continue
                    raise
                h2_response.url = url
                if decode:
                    h2_response._coding = decoder_for(h2_response.headers)
                return h2_response
            if "host" not in fields:
                fields["host"] = authority
            try:
                response = await conn.send_request(method, target, fields, body, end_fields)
            except (H1IncompleteMessageError, ConnectionClosedError):
                # A reused connection the server closed as the request went out: once more
                # on a fresh connection, when nothing of an answer came back.
                if reused and replayable and not conn._received:
                    continue
                raise
            response.url = url
            if decode:
                response._coding = decoder_for(response.headers)
            return response

    async def get(
        self, url: str, *, headers: Headers | None = None, follow_redirects: bool | None = None
    ) -> Response | H2Response:
        """GET `url`; the Response's body is still to be read."""
        return await self.request("GET", url, headers=headers, follow_redirects=follow_redirects)

    async def head(
        self, url: str, *, headers: Headers | None = None, follow_redirects: bool | None = None
    ) -> Response | H2Response:
        return await self.request("HEAD", url, headers=headers, follow_redirects=follow_redirects)

    async def post(self, url: str, **options: Any) -> Response | H2Response:
        """POST to `url`; `options` as for `request` (`body`, `json`, `headers`, ...)."""
        return await self.request("POST", url, **options)

    async def put(self, url: str, **options: Any) -> Response | H2Response:
        return await self.request("PUT", url, **options)

    async def patch(self, url: str, **options: Any) -> Response | H2Response:
        return await self.request("PATCH", url, **options)

    async def delete(self, url: str, **options: Any) -> Response | H2Response:
        return await self.request("DELETE", url, **options)


async def _discard(response: Response | H2Response) -> None:
    """Drops a redirection's body: read when short, so that its connection
    serves on; a longer one ends its connection (or stream)."""
    response._coding = None  # undecoded: nobody reads it
    taken = 0
    async for piece in response:
        taken += len(piece)
        if taken > _REDIRECT_BODY_LIMIT:
            break
    await response.aclose()


async def get(url: str, *, headers: Headers | None = None, **client_options: Any) -> Response | H2Response:
    """GET `url` on a one-off Client; the returned Response's body is already read."""
    async with Client(**client_options) as client:
        response = await client.get(url, headers=headers)
        await response.read()
        return response
