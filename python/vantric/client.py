"""The asyncio HTTP client: a pool of connections per origin, and helpers.

`Client` keeps idle connections per (scheme, host, port), opens new ones when
none is free, retries an idempotent request once when a reused connection
turns out to have closed, and routes plain-HTTP requests through a proxy
taken from the environment.  One connection is a `ClientConnection`
(`client_h1`).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Self

from ._vantric import (
    ConnectionClosedError,
    H1IncompleteMessageError,
    HeaderMap,
    ProxyMatcher,
    __version__,
    uri_parts,
)
from .client_h1 import ClientConnection, ConnectTimeout, ReadTimeout, Response

if TYPE_CHECKING:
    from ssl import SSLContext
    from typing import TypeAlias

    from .client_h1 import Body, Headers

    # A pool key: (scheme, host, port), or ("proxy", host, port).
    PoolKey: TypeAlias = tuple[str, str, int]

__all__ = ["Client", "ClientConnection", "ConnectTimeout", "ReadTimeout", "Response", "get"]

_USER_AGENT = f"vantric/{__version__}"
# Methods whose request may be sent again when a reused connection closed before answering
# (RFC 9110 section 9.2.2: idempotent methods).
_IDEMPOTENT = frozenset(("GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"))
_FROM_ENV: Any = object()


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
    """An HTTP/1.1 client with a pool of idle connections per (scheme, host, port).

    `proxy`: by default `ProxyMatcher.from_env()`; None disables proxies; a ProxyMatcher
    or a proxy URL string overrides. Only http:// destinations go through a proxy, and
    only through an http:// proxy. Timeouts are in seconds (None waits forever);
    `read_timeout` bounds each read, not the whole response.
    """

    def __init__(
        self,
        *,
        proxy: ProxyMatcher | str | None = _FROM_ENV,
        connect_timeout: float | None = 30.0,
        read_timeout: float | None = 60.0,
        max_idle_per_host: int = 8,
        ssl_context: SSLContext | None = None,
    ) -> None:
        if proxy is _FROM_ENV:
            proxy = ProxyMatcher.from_env()
        elif isinstance(proxy, str):
            proxy = ProxyMatcher.from_parts(all=proxy)
        self._proxy = proxy
        self.connect_timeout = connect_timeout
        self.read_timeout = read_timeout
        self.max_idle_per_host = max_idle_per_host
        self._ssl_context = ssl_context
        self._idle: dict[PoolKey, list[ClientConnection]] = {}
        self._keys: dict[ClientConnection, PoolKey] = {}
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

    async def _acquire(self, key: PoolKey, host: str, port: int, tls: bool) -> tuple[ClientConnection, bool]:
        """An idle live connection for `key`, else a new one; (connection, reused)."""
        idle = self._idle.get(key)
        while idle:
            conn = idle.pop()
            if not conn.is_dead():
                return conn, True
            del self._keys[conn]
            await conn.close()
        ssl = None
        if tls:
            ssl = self._ssl_context
            if ssl is None:
                import ssl as ssl_module

                ssl = self._ssl_context = ssl_module.create_default_context()
        conn = await ClientConnection.open(
            host,
            port,
            ssl=ssl,
            server_hostname=host,
            connect_timeout=self.connect_timeout,
            read_timeout=self.read_timeout,
            on_idle=self._on_idle,
        )
        self._keys[conn] = key
        return conn, False

    async def request(
        self, method: str, url: str, *, headers: Headers | None = None, body: Body = None
    ) -> Response:
        """Send one request and return its Response once the head arrived.

        `body` is None, bytes, or an async iterable of bytes (sent chunked unless
        `headers` carries a Content-Length).
        """
        if self._closed:
            raise RuntimeError("the client is closed")
        scheme, host, port, authority, target = _split_url(url)
        fields = HeaderMap(headers) if headers is not None else HeaderMap()
        if "host" not in fields:
            fields["host"] = authority
        if "user-agent" not in fields:
            fields["user-agent"] = _USER_AGENT
        key: PoolKey
        dial_host: str
        dial_port: int
        key, dial_host, dial_port, tls = (scheme, host, port), host, port, scheme == "https"
        intercept = self._proxy.intercept(url) if self._proxy is not None else None
        if intercept is not None:
            if scheme != "http":
                raise NotImplementedError(f"{url}: https through a proxy (a CONNECT tunnel) is not supported")
            # An http:// URI always has a host and a port (80 when it names none).
            proxy_scheme, dial_host, dial_port, _ = uri_parts(intercept.uri)  # type: ignore[assignment]

            if proxy_scheme != "http":
                raise NotImplementedError(f"proxy {intercept.uri}: only http:// proxies are supported")
            key = ("proxy", dial_host, dial_port)
            # RFC 9112 section 3.2.2: requests to a proxy carry the absolute form.
            target = f"{scheme}://{authority}{target}"
            auth = intercept.basic_auth()
            if auth is not None and "proxy-authorization" not in fields:
                fields["proxy-authorization"] = auth
        replayable = method in _IDEMPOTENT and (
            body is None or isinstance(body, (bytes, bytearray, memoryview))
        )
        while True:
            conn, reused = await self._acquire(key, dial_host, dial_port, tls)
            try:
                response = await conn.send_request(method, target, fields, body)
            except (H1IncompleteMessageError, ConnectionClosedError):
                # A reused connection the server closed as the request went out: once more
                # on a fresh connection, when nothing of an answer came back.
                if reused and replayable and not conn._received:
                    continue
                raise
            response.url = url
            return response

    async def get(self, url: str, *, headers: Headers | None = None) -> Response:
        """GET `url`; the Response's body is still to be read."""
        return await self.request("GET", url, headers=headers)


async def get(url: str, *, headers: Headers | None = None, **client_options: Any) -> Response:
    """GET `url` on a one-off Client; the returned Response's body is already read."""
    async with Client(**client_options) as client:
        response = await client.get(url, headers=headers)
        await response.read()
        return response
