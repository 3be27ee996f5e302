"""The HTTP/1.1 client end to end: vantric's pool against aiohttp's client.

A server that costs as little as a server can (bench/e2e/app_raw.py, the
canned answer) on CPU 0; one client process at a time on CPU 1 fetching small
answers over keep-alive connections, with 50 requests in flight and one after
the other, on the asyncio loop or uvloop (clients and server alike).  "bare"
is the most a client can do on that loop: asyncio protocols that write a
request and take whatever comes back as its answer.  Rounds interleave the
clients; the table shows medians.

    python bench/e2e/client_bench.py [--rounds 3] [--requests 50000] [--loop uvloop]
"""

from __future__ import annotations

import argparse
import collections
import statistics
import subprocess
import sys

from bench import HERE, start, stop

PORT = 18093
CLIENTS = ["vantric-h1", "aiohttp", "bare"]
# (label, requests in flight, share of --requests): one at a time is slower,
# so it makes fewer.
CASES = [("50 in flight", 50, 1.0), ("one at a time", 1, 0.2)]


def rate(client: str, requests: int, in_flight: int, cpu: int, loop: str) -> float:
    cmd = ["taskset", "-c", str(cpu), sys.executable, str(HERE / "client_load.py"), client,
           f"http://127.0.0.1:{PORT}/", str(requests), str(in_flight), loop]  # fmt: skip
    return float(subprocess.run(cmd, capture_output=True, text=True, check=True).stdout)


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--requests", type=int, default=50000)
    parser.add_argument("--server-cpu", type=int, default=0)
    parser.add_argument("--client-cpu", type=int, default=1)
    parser.add_argument("--loop", choices=("asyncio", "uvloop"), default="asyncio")
    args = parser.parse_args()

    runs: dict = collections.defaultdict(list)
    proc = start(
        "raw asyncio", args.server_cpu, PORT, ["--loop", "uvloop"] if args.loop == "uvloop" else None
    )
    try:
        for rnd in range(args.rounds):
            for label, in_flight, share in CASES:
                for client in CLIENTS if rnd % 2 == 0 else CLIENTS[::-1]:
                    got = rate(client, int(args.requests * share), in_flight, args.client_cpu, args.loop)
                    runs[label, client].append(got)
                    print(f"round {rnd + 1}: {label:14} {client:11} {got:>9.0f} req/s", flush=True)
    finally:
        stop(proc)

    print()
    print(f"On {args.loop}:")
    print("| case | vantric, req/s | aiohttp, req/s | ratio | bare client, req/s | share of bare |")
    print("|---|---:|---:|---:|---:|---:|")
    for label, _, _ in CASES:
        ours, theirs, ceiling = (statistics.median(runs[label, client]) for client in CLIENTS)
        print(
            f"| {label} | {ours:,.0f} | {theirs:,.0f} | {ours / theirs:.2f} | {ceiling:,.0f} | {ours / ceiling:.2f} |"
        )


if __name__ == "__main__":
    main()
