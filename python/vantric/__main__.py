"""Command line: `python -m vantric serve` and `python -m vantric get URL`."""

from __future__ import annotations

import argparse
import asyncio
import sys
from typing import TYPE_CHECKING

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

        def ready(server: Server) -> None:

            host, port = server.sockets[0].getsockname()[:2]
            print(f"serving on http://{host}:{port}/ (Ctrl-C to stop)", file=sys.stderr, flush=True)

        run(app, args.host, args.port, ready=ready)
        return 0

    from .client import fetch_and_print

    return asyncio.run(fetch_and_print(args.url, sys.stdout.buffer))


if __name__ == "__main__":
    sys.exit(main())
