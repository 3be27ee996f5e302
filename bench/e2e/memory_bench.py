"""Server memory with many idle keep-alive connections, side by side.

Each server starts alone on CPU 0; N connections open (HTTP/1.1, or HTTP/2
with prior knowledge), each sends one GET, reads the whole answer and stays
open.  The server's resident set is read from /proc before the connections
open (after one warm-up request) and once they are all answered and idle.
HTTP/1.1: vantric (native handler and raw ASGI application) against uvicorn
(httptools, the raw ASGI application); HTTP/2: vantric against hypercorn.

    python bench/e2e/memory_bench.py [--connections 400] [--rounds 3]
"""

from __future__ import annotations

import argparse
import collections
import socket
import statistics
import time

import h2.config
import h2.connection
import h2.events
from asgi_bench import hypercorn, uvicorn, vantric
from bench import ENVIRONMENTS, SERVERS, apps_importable, start, stop

PORT = 18095

HTTP1 = {"vantric": SERVERS["vantric"], "vantric ASGI": vantric("raw"), "uvicorn ASGI": uvicorn("raw")}
HTTP2 = {"vantric ASGI": vantric("raw"), "hypercorn ASGI": hypercorn("raw")}


def rss_kib(pid: int) -> int:
    """The resident set of `pid` and its children (a server may run its app
    in a child process), in KiB."""
    total = 0
    pids = [pid]
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as children:
            pids += [int(p) for p in children.read().split()]
    except OSError:
        pass
    for one in pids:
        with open(f"/proc/{one}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    total += int(line.split()[1])
    return total


def http1_get(sock: socket.socket) -> None:
    sock.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    data = b""
    while b"\r\n\r\n" not in data:
        data += sock.recv(65536)
    head, _, body = data.partition(b"\r\n\r\n")
    length = int(
        next(
            line.split(b":")[1] for line in head.split(b"\r\n") if line.lower().startswith(b"content-length")
        )
    )
    while len(body) < length:
        body += sock.recv(65536)


def http2_get(sock: socket.socket) -> h2.connection.H2Connection:
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    conn.initiate_connection()
    stream = conn.get_next_available_stream_id()
    conn.send_headers(stream, [(":method", "GET"), (":path", "/"), (":scheme", "http"),
                               (":authority", "127.0.0.1")], end_stream=True)  # fmt: skip
    sock.sendall(conn.data_to_send())
    while True:
        events = conn.receive_data(sock.recv(65536))
        sock.sendall(conn.data_to_send())
        if any(isinstance(e, (h2.events.StreamEnded, h2.events.StreamReset)) for e in events):
            return conn


def measure(name: str, command, get, count: int) -> tuple[int, int]:
    SERVERS[name] = command
    ENVIRONMENTS[name] = apps_importable()
    proc = start(name, 0, PORT)
    sockets = []
    try:
        warm = socket.create_connection(("127.0.0.1", PORT), timeout=10)
        keep = get(warm)
        warm.close()
        del keep
        time.sleep(0.5)
        before = rss_kib(proc.pid)
        holders = []
        for _ in range(count):
            sock = socket.create_connection(("127.0.0.1", PORT), timeout=10)
            holders.append(get(sock))
            sockets.append(sock)
        time.sleep(1.0)  # the server settles: nothing in flight
        after = rss_kib(proc.pid)
    finally:
        for sock in sockets:
            sock.close()
        stop(proc)
    return before, after


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--connections", type=int, default=400)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    runs: dict = collections.defaultdict(list)
    for rnd in range(args.rounds):
        for protocol, servers, get in (("HTTP/1.1", HTTP1, http1_get), ("HTTP/2", HTTP2, http2_get)):
            for name, command in servers.items():
                before, after = measure(name, command, get, args.connections)
                runs[(protocol, name)].append((before, after))
                print(f"round {rnd + 1}: {protocol:8} {name:15} {before / 1024:7.1f} MiB idle, "
                      f"{after / 1024:7.1f} MiB with {args.connections} connections", flush=True)  # fmt: skip
    print()
    print(f"| protocol | server | RSS idle, MiB | RSS with {args.connections} connections, MiB "
          "| per connection, KiB |")  # fmt: skip
    print("|---|---|---:|---:|---:|")
    for (protocol, name), values in runs.items():
        before = statistics.median(b for b, _ in values)
        after = statistics.median(a for _, a in values)
        print(f"| {protocol} | {name} | {before / 1024:.1f} | {after / 1024:.1f} "
              f"| {(after - before) / args.connections:.1f} |")  # fmt: skip


if __name__ == "__main__":
    main()
