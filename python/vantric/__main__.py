"""Command line: `python -m vantric serve [module:app]` and `python -m vantric get URL`."""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import http
import importlib
import logging
import os
import signal
import socket
import ssl
import stat
import sys
from typing import IO, TYPE_CHECKING, Any, Literal, TextIO

from ._vantric import VantricError

if TYPE_CHECKING:
    from .server import Server

_LOG_LEVELS = ["critical", "error", "warning", "info", "debug", "trace"]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vantric")
    commands = parser.add_subparsers(dest="command", required=True)
    serve = commands.add_parser(
        "serve", help="serve an ASGI application (or the demo) over HTTP/1.1 and HTTP/2"
    )
    serve.add_argument(
        "app", nargs="?", help='the ASGI application as "module:attribute" (default: the demo)'
    )
    serve.add_argument("--host", default="127.0.0.1")
    serve.add_argument("--port", type=int, default=8000)
    serve.add_argument(
        "--app-dir", default="", help="import APP from this directory (default: the working directory)"
    )
    serve.add_argument(
        "--certfile",
        "--ssl-certfile",
        help="serve TLS (HTTP/2 and HTTP/1.1 by ALPN) with this certificate chain",
    )
    serve.add_argument(
        "--keyfile", "--ssl-keyfile", help="the private key of --certfile (when not in that file)"
    )
    serve.add_argument("--ssl-keyfile-password", help="the password of an encrypted --keyfile")
    serve.add_argument(
        "--ssl-ca-certs", help="the CA certificates that client certificates are checked against"
    )
    serve.add_argument(
        "--ssl-cert-reqs",
        type=int,
        choices=[0, 1, 2],
        default=0,
        help="client certificates: 0 not asked for, 1 checked when sent, 2 required (as the ssl module's "
        "CERT_* constants)",
    )
    serve.add_argument(
        "--factory", action="store_true", help="APP is a function that returns the application"
    )
    serve.add_argument("--lifespan", choices=["auto", "on", "off"], default="auto")
    serve.add_argument("--root-path", default="", help="the path the application is mounted at")
    serve.add_argument("--loop", choices=["asyncio", "uvloop"], default="asyncio")
    serve.add_argument("--log-level", choices=_LOG_LEVELS, default="info")
    serve.add_argument(
        "--no-access-log",
        dest="access_log",
        action="store_false",
        help="no line per request on the vantric.access logger",
    )
    serve.add_argument(
        "--proxy-headers",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="take the client address and scheme from X-Forwarded-* and Forwarded",
    )
    serve.add_argument(
        "--forwarded-allow-ips",
        default=None,
        help='proxies trusted with those fields: addresses, networks, "*" or "unix:" '
        "(default: $FORWARDED_ALLOW_IPS, else 127.0.0.1)",
    )
    serve.add_argument(
        "--timeout-keep-alive",
        type=float,
        default=5.0,
        metavar="SECONDS",
        help="how long an idle connection stays open between requests",
    )
    serve.add_argument(
        "--limit-concurrency",
        type=_count,
        metavar="N",
        help="connections served at once; more are answered 503 (default: from the open-file limit)",
    )
    serve.add_argument("--backlog", type=int, default=2048, help="connections waiting to be accepted")
    serve.add_argument(
        "--limit-max-requests",
        type=_count,
        metavar="N",
        help="stop after serving N requests (a worker of --workers is then replaced)",
    )
    serve.add_argument(
        "--ws-max-size", type=int, default=16 * 1024 * 1024, help="the largest WebSocket message, in bytes"
    )
    serve.add_argument(
        "--ws-ping-interval",
        type=float,
        default=20.0,
        metavar="SECONDS",
        help="WebSocket pings this often (0: none)",
    )
    serve.add_argument(
        "--ws-ping-timeout",
        type=float,
        default=20.0,
        metavar="SECONDS",
        help="a WebSocket whose ping goes unanswered this long is closed",
    )
    serve.add_argument("--uds", help="serve on this Unix domain socket instead of a TCP port")
    serve.add_argument("--fd", type=int, help="serve on this inherited listening socket (systemd)")
    serve.add_argument("--workers", type=_count, default=1, help="worker processes on one listening socket")
    serve.add_argument("--reload", action="store_true", help="restart the worker when a Python file changes")
    serve.add_argument(
        "--reload-dir",
        action="append",
        dest="reload_dirs",
        help="a directory to watch with --reload (default: the working directory)",
    )
    serve.add_argument(
        "--timeout-graceful-shutdown",
        type=float,
        default=10.0,
        metavar="SECONDS",
        help="how long requests in flight may finish on shutdown",
    )
    serve.add_argument("--ready-fd", type=int, help=argparse.SUPPRESS)  # a worker tells its supervisor
    get = commands.add_parser("get", help="fetch a URL and print the response body")
    get.add_argument("url")
    get.add_argument("-L", "--location", action="store_true", help="follow redirections (as curl -L)")
    version = get.add_mutually_exclusive_group()
    version.add_argument(
        "--http2", action="store_true", help="HTTP/2 for https:// when the server agrees (ALPN)"
    )
    version.add_argument(
        "--http2-prior-knowledge", action="store_true", help="HTTP/2 for http:// too, without asking"
    )
    args = parser.parse_args(argv)

    if args.command == "serve":
        return _serve(parser, args, sys.argv[2:] if argv is None else argv[1:])
    http2: bool | Literal["prior-knowledge"] = "prior-knowledge" if args.http2_prior_knowledge else args.http2
    return asyncio.run(
        fetch_and_print(args.url, sys.stdout.buffer, http2=http2, follow_redirects=args.location)
    )


def _count(text: str) -> int:
    """An option's count of something: a whole number, at least 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _serve(parser: argparse.ArgumentParser, args: argparse.Namespace, argv: list[str]) -> int:
    from .asgi import ASGIHandler, LifespanFailure, limit_requests
    from .server import run

    level = logging.DEBUG if args.log_level == "trace" else getattr(logging, args.log_level.upper())
    logging.basicConfig(level=level, format="%(levelname)s: %(message)s")
    try:
        sock = _listening_socket(args)
    except OSError as error:
        logging.getLogger("vantric.server").error("cannot listen: %s", error)
        return 1
    if args.fd is None and (args.workers > 1 or args.reload):
        from .supervisor import supervise

        assert sock is not None
        paths = (args.reload_dirs or [os.getcwd()]) if args.reload else None
        return supervise(_worker_argv(argv), sock, workers=args.workers, grace=args.timeout_graceful_shutdown,
                         reload_paths=paths)  # fmt: skip
    context = None
    if args.certfile is not None:
        context = _tls_context(args)
    elif args.keyfile is not None or args.ssl_ca_certs is not None:
        parser.error("--keyfile and --ssl-ca-certs need --certfile")
    loop_factory = None
    if args.loop == "uvloop":
        try:
            import uvloop
        except ImportError:
            parser.error("--loop uvloop needs uvloop (python -m pip install uvloop)")
        loop_factory = uvloop.new_event_loop
    handler: Any
    if args.app is None:
        from .demo import app

        handler = app
    else:
        try:
            application = load_app(args.app, factory=args.factory, app_dir=args.app_dir)
        except (ImportError, AttributeError, ValueError) as error:
            parser.error(f"cannot load {args.app!r}: {error}")
        if args.limit_max_requests is not None:
            application = limit_requests(application, args.limit_max_requests, _stop_after_the_limit)
        handler = ASGIHandler(
            application,
            root_path=args.root_path,
            lifespan=args.lifespan,
            ws_max_size=args.ws_max_size,
            ws_ping_interval=args.ws_ping_interval or None,
            ws_ping_timeout=args.ws_ping_timeout,
        )
    allowed = args.forwarded_allow_ips or os.environ.get("FORWARDED_ALLOW_IPS", "127.0.0.1")

    def ready(server: Server) -> None:
        if args.ready_fd is not None:
            os.write(args.ready_fd, b"1")  # the supervisor waits for this
            os.close(args.ready_fd)
        else:
            announce(server)

    try:
        run(handler, args.host, args.port, sock=sock, ready=ready, ssl=context, loop_factory=loop_factory,
            grace=args.timeout_graceful_shutdown, access_log=args.access_log, proxy_headers=args.proxy_headers,
            forwarded_allow_ips=allowed, idle_timeout=args.timeout_keep_alive,
            max_connections=args.limit_concurrency, backlog=args.backlog)  # fmt: skip
    except LifespanFailure as error:
        logging.getLogger("vantric.asgi").error("%s; not serving", error)
        return 3
    except OSError as error:
        logging.getLogger("vantric.server").error("cannot listen on %s:%s: %s", args.host, args.port, error)
        return 1
    return 0


def _stop_after_the_limit() -> None:
    """The request --limit-max-requests allows last has begun: the process
    stops as on SIGTERM, gracefully, once that request is answered."""
    logging.getLogger("vantric.server").info("the last request --limit-max-requests allows; stopping")
    os.kill(os.getpid(), signal.SIGTERM)


def _tls_context(args: argparse.Namespace) -> ssl.SSLContext:
    """The server's TLS context: its certificate, and the client certificates
    it asks for (--ssl-cert-reqs) checked against --ssl-ca-certs."""
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.certfile, args.keyfile, args.ssl_keyfile_password)
    if args.ssl_ca_certs is not None:
        context.load_verify_locations(args.ssl_ca_certs)
    context.verify_mode = ssl.VerifyMode(args.ssl_cert_reqs)
    return context


def _listening_socket(args: argparse.Namespace) -> socket.socket | None:
    """The socket to serve on when it is not simply (host, port) for one process:
    inherited (--fd), a Unix socket (--uds), or one the workers will share."""
    if args.fd is not None:
        return socket.socket(fileno=args.fd)
    if args.uds is not None:
        with contextlib.suppress(FileNotFoundError):
            if stat.S_ISSOCK(os.stat(args.uds).st_mode):
                os.unlink(args.uds)  # a stale socket of an earlier run
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.bind(args.uds)
        sock.listen(args.backlog)
        return sock
    if args.workers > 1 or args.reload:
        family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
        sock = socket.socket(family, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((args.host, args.port))
        sock.listen(args.backlog)
        sock.set_inheritable(True)
        return sock
    return None


# Options of the supervisor that its workers do not take (with a value or not).
_SUPERVISOR_OPTIONS = {"--workers": True, "--reload": False, "--reload-dir": True, "--host": True,
                       "--port": True, "--uds": True}  # fmt: skip


def _worker_argv(argv: list[str]) -> list[str]:
    """The command line of a worker: the supervisor's, without its own options."""
    kept: list[str] = []
    skip = False
    for arg in argv:
        if skip:
            skip = False
            continue
        name = arg.split("=", 1)[0]
        if name in _SUPERVISOR_OPTIONS:
            skip = _SUPERVISOR_OPTIONS[name] and "=" not in arg
            continue
        kept.append(arg)
    return kept


def load_app(spec: str, *, factory: bool = False, app_dir: str = "") -> Any:
    """The object "module:attribute" names (the attribute may be dotted),
    imported with `app_dir` (the working directory by default) first on the
    module path; called first when it is a factory."""
    module_name, _, attribute = spec.partition(":")
    if not module_name or not attribute:
        raise ValueError('expected "module:attribute"')
    if app_dir not in sys.path:
        sys.path.insert(0, app_dir)  # like python -m: modules of the working directory
    obj: Any = importlib.import_module(module_name)
    for part in attribute.split("."):
        obj = getattr(obj, part)
    return obj() if factory else obj


def announce(server: Server) -> None:
    """Tells the user where the server listens."""
    address = server.sockets[0].getsockname()
    scheme = "https" if server.ssl is not None else "http"
    where = f"{scheme}://{address[0]}:{address[1]}/" if isinstance(address, tuple) else f"unix:{address}"
    print(f"serving on {where} (Ctrl-C to stop)", file=sys.stderr, flush=True)


async def fetch_and_print(
    url: str,
    out: IO[bytes],
    *,
    err: TextIO | None = None,
    http2: bool | Literal["prior-knowledge"] = False,
    follow_redirects: bool = False,
) -> int:
    """GET `url`, print the status line (whose version says which protocol was
    used) and headers to `err` (stderr) and write the body to the binary stream
    `out`. Returns 0 for a status below 400, 1 for other statuses, 2 when no
    response could be had."""
    from .client import Client, TooManyRedirects

    err = sys.stderr if err is None else err
    try:
        async with Client(http2=http2, follow_redirects=follow_redirects) as client:
            response = await client.get(url)
            print(f"{response.http_version} {response.status} {_reason(response.status)}".rstrip(), file=err)
            for name, value in response.headers.items():
                print(f"{name}: {value.decode('latin-1')}", file=err)
            print(file=err, flush=True)
            async for chunk in response:
                out.write(chunk)
            out.flush()
            return 0 if response.status < 400 else 1
    except (VantricError, OSError, ValueError, NotImplementedError, TooManyRedirects) as exc:
        print(f"error: {exc}", file=err)
        return 2


def _reason(status: int) -> str:
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return ""


if __name__ == "__main__":
    sys.exit(main())
