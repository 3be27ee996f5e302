"""The benchmark handler on vantric.server: GET answers a fixed text, POST echoes its body.

python app_vantric.py PORT [--cprofile FILE] [--certfile F --keyfile F] [--loop uvloop]
"""

import argparse
import ssl

from vantric.server import Response, run

_HELLO = b"Hello, world!\n"
_TEXT = [("content-type", "text/plain")]
_OCTETS = [("content-type", "application/octet-stream")]


async def app(request):
    if request.method == "POST":
        return Response(200, _OCTETS, await request.read())
    return Response(200, _TEXT, _HELLO)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("--cprofile", metavar="FILE")
    parser.add_argument("--certfile")
    parser.add_argument("--keyfile")
    parser.add_argument("--loop", choices=("asyncio", "uvloop"), default="asyncio")
    args = parser.parse_args()
    options = {}  # none unless asked: an older build (--baseline) takes no ssl
    if args.loop == "uvloop":
        import uvloop

        options["loop_factory"] = uvloop.new_event_loop
    if args.certfile:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.certfile, args.keyfile)
        options["ssl"] = context
    if args.cprofile:
        import cProfile

        profiler = cProfile.Profile()
        profiler.enable()
        try:
            run(app, "127.0.0.1", args.port, **options)
        finally:
            profiler.disable()
            profiler.dump_stats(args.cprofile)
    else:
        run(app, "127.0.0.1", args.port, **options)


if __name__ == "__main__":
    main()
