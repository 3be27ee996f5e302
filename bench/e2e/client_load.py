"""One client's load: N GETs of URL with C in flight, then the rate on stdout.

python client_load.py KIND URL N C

KIND: vantric-h2 (HTTP/2: ALPN for https, prior knowledge for http),
vantric-h1 (the HTTP/1.1 pool), httpx-h2 (httpx with http2, prior knowledge
for http), aiohttp (HTTP/1.1).  A warm-up of C requests runs first.  TLS
certificates are not checked (a benchmark against a throwaway certificate).
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


def main() -> None:
    kind, url, n, c = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    runs = {
        "vantric-h2": lambda: vantric(url, n, c, True),
        "vantric-h1": lambda: vantric(url, n, c, False),
        "httpx-h2": lambda: httpx_h2(url, n, c),
        "aiohttp": lambda: aiohttp_h1(url, n, c),
    }
    print(f"{asyncio.run(runs[kind]()):.1f}")


if __name__ == "__main__":
    main()
