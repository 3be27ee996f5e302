"""Command line: `python -m vantric serve` and `python -m vantric get URL`."""

from __future__ import annotations

import argparse
import asyncio
import http
import ssl
import sys
from typing import IO, TYPE_CHECKING, Literal, TextIO

from ._vantric import VantricError

if TYPE_CHECKING:
    from .server import Server


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vantric")
    commands = parser.add_subparsers(dest="command", required=True)
    serve = commands.add_parser("serve", help="serve the demo application over HTTP/1.1 and HTTP/2")
    serve.add_argument("--host", default="127.0.0.1")
    serve.add_argument("--port", type=int, default=8000)
    serve.add_argument(
        "--certfile", help="serve TLS (HTTP/2 and HTTP/1.1 by ALPN) with this certificate chain"
    )
    serve.add_argument("--keyfile", help="the private key of --certfile (when not in that file)")
    get = commands.add_parser("get", help="fetch a URL and print the response body")
    get.add_argument("url")
    version = get.add_mutually_exclusive_group()
    version.add_argument(
        "--http2", action="store_true", help="HTTP/2 for https:// when the server agrees (ALPN)"
    )
    version.add_argument(
        "--http2-prior-knowledge", action="store_true", help="HTTP/2 for http:// too, without asking"
    )
    args = parser.parse_args(argv)

    if args.command == "serve":
        from .demo import app
        from .server import run

        context = None
        if args.certfile is not None:
            context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            context.load_cert_chain(args.certfile, args.keyfile)
        elif args.keyfile is not None:
            parser.error("--keyfile needs --certfile")
        run(app, args.host, args.port, ready=announce, ssl=context)
        return 0
    http2: bool | Literal["prior-knowledge"] = "prior-knowledge" if args.http2_prior_knowledge else args.http2
    return asyncio.run(fetch_and_print(args.url, sys.stdout.buffer, http2=http2))


def announce(server: Server) -> None:
    """Tells the user where the server listens."""
    host, port = server.sockets[0].getsockname()[:2]
    scheme = "https" if server.ssl is not None else "http"
    print(f"serving on {scheme}://{host}:{port}/ (Ctrl-C to stop)", file=sys.stderr, flush=True)


async def fetch_and_print(
    url: str, out: IO[bytes], *, err: TextIO | None = None, http2: bool | Literal["prior-knowledge"] = False
) -> int:
    """GET `url`, print the status line (whose version says which protocol was
    used) and headers to `err` (stderr) and write the body to the binary stream
    `out`. Returns 0 for a status below 400, 1 for other statuses, 2 when no
    response could be had."""
    from .client import Client

    err = sys.stderr if err is None else err
    try:
        async with Client(http2=http2) as client:
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
