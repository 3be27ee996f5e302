"""CPU per request of the HTTP/1.1 server's driver, without the kernel.

A transport that only counts its writes stands in for the socket; requests are
handed to the protocol's data_received from a plain loop callback, as the
event loop does, one head per call (or, with --pipelined N, N heads in one
call).  What is left is the driver's and the extension's own work: the
numbers to watch when changing the per-request path, steadier than a run
under wrk, which adds the kernel and the loop's own reads and writes.

    python bench/e2e/driver_cost.py [--asgi] [--proxy] [--pipelined N] [--loop uvloop]
"""

from __future__ import annotations

import argparse
import asyncio
import time
from typing import Any

from vantric import wire
from vantric.server import Response, Server, _Protocol

_HELLO = b"Hello, world!\n"
_TEXT = [("content-type", "text/plain")]
_REQUEST = b"GET / HTTP/1.1\r\nHost: 127.0.0.1:18080\r\n\r\n"


async def native(request):
    return Response(200, _TEXT, _HELLO)


async def raw_asgi(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": _HELLO})


class CountingTransport(asyncio.Transport):
    def __init__(self) -> None:
        super().__init__()
        self.writes = 0
        self.closing = False

    def write(self, data: Any) -> None:
        self.writes += 1

    def get_extra_info(self, name: str, default: Any = None) -> Any:
        return ("127.0.0.1", 40000) if name in ("peername", "sockname") else default

    def is_closing(self) -> bool:
        return self.closing

    def close(self) -> None:
        self.closing = True

    def pause_reading(self) -> None:
        pass

    def resume_reading(self) -> None:
        pass

    def get_write_buffer_size(self) -> int:
        return 0


async def measure(args: argparse.Namespace) -> float:
    if args.asgi:
        from vantric.asgi import ASGIHandler

        handler: Any = ASGIHandler(raw_asgi)
    else:
        handler = native
    options = {"proxy_headers": True, "forwarded_allow_ips": "127.0.0.1"} if args.proxy else {}
    server = Server(handler, **options)
    loop = asyncio.get_running_loop()
    # What listen() sets (a build before loop_clock read loop.time).
    server._loop, server._clock = loop, getattr(wire, "loop_clock", lambda loop: loop.time)(loop)
    protocol = _Protocol(server)
    transport = CountingTransport()
    protocol.connection_made(transport)
    await asyncio.sleep(0)
    data = _REQUEST * args.pipelined
    calls = max(args.requests // args.pipelined, 1)

    def feed() -> None:
        for _ in range(calls):
            protocol.data_received(data)

    best = float("inf")
    for _ in range(args.rounds):
        expected = transport.writes + calls * args.pipelined
        start = time.perf_counter()
        loop.call_soon(feed)
        while transport.writes < expected:
            await asyncio.sleep(0)  # a batch is served by the task after the call
        best = min(best, (time.perf_counter() - start) / (calls * args.pipelined))
    return best * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--asgi", action="store_true", help="a raw ASGI application instead of a native handler"
    )
    parser.add_argument(
        "--proxy", action="store_true", help="trust the peer as a proxy (as the command line does)"
    )
    parser.add_argument("--pipelined", type=int, default=1, help="request heads per data_received call")
    parser.add_argument("--requests", type=int, default=50_000, help="requests per round")
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--loop", choices=("asyncio", "uvloop"), default="asyncio")
    args = parser.parse_args()
    if args.loop == "uvloop":
        import uvloop

        cost = uvloop.run(measure(args))
    else:
        cost = asyncio.run(measure(args))
    kind = "raw ASGI" if args.asgi else "native handler"
    print(f"{kind}, {args.pipelined} head(s) per read, {args.loop}: {cost:.2f} us per request (best round)")


if __name__ == "__main__":
    main()
