"""A ceiling, not an HTTP server: one canned response per request head seen.

It counts blank lines that end a head and answers each with the same bytes,
without parsing anything.  Only for the keep-alive GET case.

    python app_raw.py PORT [--loop uvloop]
"""

import asyncio
import signal
import sys

_RESPONSE = b"HTTP/1.1 200 OK\r\ncontent-type: text/plain\r\ncontent-length: 14\r\n\r\nHello, world!\n"


class _Canned(asyncio.Protocol):
    def connection_made(self, transport):
        self.transport = transport
        self.tail = b""

    def data_received(self, data):
        data = self.tail + data
        count = data.count(b"\r\n\r\n")
        self.tail = data[-3:]
        if count:
            self.transport.write(_RESPONSE * count)


async def main(port: int) -> None:
    loop = asyncio.get_running_loop()
    server = await loop.create_server(_Canned, "127.0.0.1", port, backlog=1024, reuse_address=True)
    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    await stop.wait()
    server.close()


if __name__ == "__main__":
    if sys.argv[2:] == ["--loop", "uvloop"]:
        import uvloop

        uvloop.run(main(int(sys.argv[1])))
    else:
        asyncio.run(main(int(sys.argv[1])))
