"""The demo application that `python -m vantric serve` runs."""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator

from .server import Request, Response

_TEXT = [("content-type", "text/plain; charset=utf-8")]
_HELLO = b"Hello from vantric!\n"


async def app(request: Request) -> Response:
    """/ says hello, /echo returns the request body, /stream streams chunks."""
    path = request.target.partition("?")[0]
    if path == "/":
        return Response(200, _TEXT, _HELLO)
    if path == "/echo":
        return Response(200, [("content-type", "application/octet-stream")], await request.read())
    if path == "/stream":
        return Response(200, _TEXT, _count(10))
    return Response(404, _TEXT, b"Not Found\n")


async def _count(n: int) -> AsyncIterator[bytes]:

    for i in range(n):
        yield b"chunk %d\n" % i
        await asyncio.sleep(0)
