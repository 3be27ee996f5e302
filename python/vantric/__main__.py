"""Command line: `python -m vantric serve` and `python -m vantric get URL`."""

from __future__ import annotations

import argparse
import asyncio
import http
import sys
from typing import IO, TYPE_CHECKING, TextIO

from ._vantric import VantricError

if TYPE_CHECKING:
    from .server import Server


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vantric")
    commands = parser.add_subparsers(dest="command", required=True)
    serve = commands.add_parser("serve", help="serve the demo application over HTTP/1.1")
    serve.add_argument("--host", default="127.0.0.1")
    serve.add_argument("--port", type=int, default=8000)
    get = commands.add_parser("get", help="fetch a URL and print the response body")
    get.add_argument("url")
    args = parser.parse_args(argv)

    if args.command == "serve":
        from .demo import app
        from .server import run

        run(app, args.host, args.port, ready=announce)
        return 0
    return asyncio.run(fetch_and_print(args.url, sys.stdout.buffer))


def announce(server: Server) -> None:
    """Tells the user where the server listens."""
    host, port = server.sockets[0].getsockname()[:2]
    print(f"serving on http://{host}:{port}/ (Ctrl-C to stop)", file=sys.stderr, flush=True)


async def fetch_and_print(url: str, out: IO[bytes], *, err: TextIO | None = None) -> int:
    """GET `url`, print the status line and headers to `err` (stderr) and write the body
    to the binary stream `out`. Returns 0 for a status below 400, 1 for other statuses,
    2 when no response could be had."""
    from .client import Client

    err = sys.stderr if err is None else err
    try:
        async with Client() as client:
            response = await client.get(url)
            print(f"{response.http_version} {response.status} {_reason(response.status)}".rstrip(), file=err)
            for name, value in response.headers.items():
                print(f"{name}: {value.decode('latin-1')}", file=err)
            print(file=err, flush=True)
            async for chunk in response:
                out.write(chunk)
            out.flush()
            return 0 if response.status < 400 else 1
    except (VantricError, OSError, ValueError, NotImplementedError) as exc:
        print(f"error: {exc}", file=err)
        return 2


def _reason(status: int) -> str:
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return ""


if __name__ == "__main__":
    sys.exit(main())
