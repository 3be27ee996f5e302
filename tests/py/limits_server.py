"""A server in a process of its own, for tests that measure what an attack
costs it: `python limits_server.py '{"send_timeout": 1}'` prints its port and
serves until SIGTERM.  Its memory is read from /proc by the test.

Routes: / answers "ok"; /big?N sends N bytes; /stream?N sends N chunks 20 ms
apart; /echo answers the length of the body read whole; /hang sleeps for a
minute; /running answers "now max" (handlers running now, and at most so far).
Client errors are logged to stderr.
"""

import asyncio
import json
import logging
import sys

from vantric.server import Response, run

running = 0
most = 0


async def chunks(n):
    for i in range(n):
        yield b"chunk %d\n" % i
        await asyncio.sleep(0.02)


async def app(request):
    global running, most
    path, _, query = request.target.partition("?")
    if path == "/running":
        return Response(200, [], b"%d %d" % (running, most))
    running += 1
    most = max(most, running)
    try:
        if path == "/big":
            return Response(200, [], bytes(int(query)))
        if path == "/stream":
            return Response(200, [], chunks(int(query)))
        if path == "/echo":
            return Response(200, [], b"%d" % len(await request.read()))
        if path == "/hang":
            await asyncio.sleep(60)
        return Response(200, [], b"ok")
    finally:
        running -= 1


def main():
    options = json.loads(sys.argv[1]) if len(sys.argv) > 1 else {}
    # Client errors go to stderr, where the tests read how connections ended.
    logging.basicConfig(level=logging.INFO, format="%(name)s %(message)s")

    def ready(server):
        print(server.port, flush=True)

    run(app, "127.0.0.1", 0, grace=1.0, ready=ready, **options)


if __name__ == "__main__":
    main()
