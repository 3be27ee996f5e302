"""One client's load: N GETs of URL with C in flight, then the rate on stdout.

python client_load.py KIND URL N C [LOOP]

KIND: vantric-h2 (HTTP/2: ALPN for https, prior knowledge for http),
vantric-h1 (the HTTP/1.1 pool), httpx-h2 (httpx with http2, prior knowledge
for http), aiohttp (HTTP/1.1), bare (C asyncio protocols that write a
request's bytes and take whatever comes back as its answer, parsing nothing:
the most a client on this event loop can do against a server answering in
one read).  LOOP: asyncio (the default) or uvloop.  A warm-up of C requests
runs first.  TLS certificates are not checked (a benchmark against a
throwaway certificate).
"""

from __future__ import annotations

import asyncio
import ssl
import sys
import time


def _insecure() -> ssl.SSLContext:
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


async def _drive(get, n: int, c: int) -> float:
    async def worker(count: int) -> None:
        for _ in range(count):
            await get()

    await asyncio.gather(*[worker(1) for _ in range(c)])  # warm-up: connections open
    began = time.perf_counter()
    await asyncio.gather(*[worker(n // c + (i < n % c)) for i in range(c)])
    return n / (time.perf_counter() - began)


async def vantric(url: str, n: int, c: int, http2: bool) -> float:
    from vantric.client import Client

    mode = (True if url.startswith("https") else "prior-knowledge") if http2 else False
    async with Client(http2=mode, ssl_context=_insecure(), max_idle_per_host=c) as client:

        async def get() -> None:
            response = await client.get(url)
            await response.read()

        return await _drive(get, n, c)


async def httpx_h2(url: str, n: int, c: int) -> float:
    import httpx

    limits = httpx.Limits(max_connections=c, max_keepalive_connections=c)
    async with httpx.AsyncClient(http1=False, http2=True, verify=False, limits=limits) as client:

        async def get() -> None:
            response = await client.get(url)
            response.read()

        return await _drive(get, n, c)


async def aiohttp_h1(url: str, n: int, c: int) -> float:
    import aiohttp

    connector = aiohttp.TCPConnector(limit=c, ssl=False)
    async with aiohttp.ClientSession(connector=connector) as session:

        async def get() -> None:
            async with session.get(url) as response:
                await response.read()

        return await _drive(get, n, c)


class _Bare(asyncio.Protocol):
    def __init__(self) -> None:
        self.answered: asyncio.Future[None] | None = None

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        # Reads capped as vantric's client caps them: asyncio's 256 KiB reads
        # cost an mmap and a munmap each in a process like this one.
        if type(getattr(type(transport), "max_size", None)) is int:
            transport.max_size = 64 * 1024  # type: ignore[attr-defined]

    def data_received(self, data: bytes) -> None:
        if self.answered is not None and not self.answered.done():
            self.answered.set_result(None)


async def bare(url: str, n: int, c: int) -> float:
    from urllib.parse import urlsplit

    parts = urlsplit(url)
    request = f"GET {parts.path or '/'} HTTP/1.1\r\nHost: {parts.netloc}\r\n\r\n".encode()
    loop = asyncio.get_running_loop()
    free: list[tuple[asyncio.Transport, _Bare]] = []
    for _ in range(c):
        free.append(await loop.create_connection(_Bare, parts.hostname, parts.port))

    async def get() -> None:
        transport, protocol = free.pop()
        protocol.answered = loop.create_future()
        transport.write(request)
        await protocol.answered
        free.append((transport, protocol))

    try:
        return await _drive(get, n, c)
    finally:
        for transport, _ in free:
            transport.close()


def main() -> None:
    kind, url, n, c = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    loop = sys.argv[5] if len(sys.argv) > 5 else "asyncio"
    runs = {
        "vantric-h2": lambda: vantric(url, n, c, True),
        "vantric-h1": lambda: vantric(url, n, c, False),
        "httpx-h2": lambda: httpx_h2(url, n, c),
        "aiohttp": lambda: aiohttp_h1(url, n, c),
        "bare": lambda: bare(url, n, c),
    }
    if loop == "uvloop":
        import uvloop

        print(f"{uvloop.run(runs[kind]()):.1f}")
    else:
        print(f"{asyncio.run(runs[kind]()):.1f}")


if __name__ == "__main__":
    main()
