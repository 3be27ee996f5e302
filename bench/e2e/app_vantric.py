"""The benchmark handler on vantric.server: GET answers a fixed text, POST echoes its body.

python app_vantric.py PORT [--cprofile FILE]
"""

import sys

from vantric.server import Response, run

_HELLO = b"Hello, world!\n"
_TEXT = [("content-type", "text/plain")]
_OCTETS = [("content-type", "application/octet-stream")]


async def app(request):
    if request.method == "POST":
        return Response(200, _OCTETS, await request.read())
    return Response(200, _TEXT, _HELLO)


def main() -> None:
    port = int(sys.argv[1])
    if len(sys.argv) > 3 and sys.argv[2] == "--cprofile":
        import cProfile

        profiler = cProfile.Profile()
        profiler.enable()
        try:
            run(app, "127.0.0.1", port)
        finally:
            profiler.disable()
            profiler.dump_stats(sys.argv[3])
    else:
        run(app, "127.0.0.1", port)


if __name__ == "__main__":
    main()
