"""HTTP/2 end to end: the client against httpx, the TLS server against hypercorn.

Client: a fast server on CPU 0 and one client process on CPU 1 that fetches
N small answers with 50 in flight.  Against nghttpd (HTTP/2 only, cleartext
with prior knowledge and TLS): vantric's HTTP/2 client and httpx with http2.
Against vantric's own server (which speaks both): vantric's HTTP/2 client,
its HTTP/1.1 pool, httpx (http2) and aiohttp (HTTP/1.1).

Server: h2load (10 connections, 10 streams each) against vantric and nghttpd
in cleartext (prior knowledge), and against vantric, hypercorn and nghttpd
over TLS, serving the same trivial answer (bench/e2e/app_vantric.py,
bench/e2e/app_uvicorn.py, a 14-byte file), each pinned to CPU 0, h2load to
CPU 1; nghttpd, a C server, is the yardstick the others are a share of.

Rounds interleave the contenders; the tables show medians.

    python bench/e2e/h2_bench.py [--rounds 3] [--requests 2000] [--duration 6]
"""

from __future__ import annotations

import argparse
import collections
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from bench import ENVIRONMENTS, HERE, h2load, start, stop
from bench import SERVERS as H1_SERVERS

PORT = 18443


def certificates(where: Path) -> tuple[str, str]:
    import trustme

    ca = trustme.CA()
    cert = ca.issue_cert("127.0.0.1", "localhost")
    certfile, keyfile = where / "cert.pem", where / "key.pem"
    cert.cert_chain_pems[0].write_to_path(str(certfile))
    cert.private_key_pem.write_to_path(str(keyfile))
    return str(certfile), str(keyfile)


def client_case(args, servers: dict, clients: list[str], scheme: str) -> dict:
    runs: dict = collections.defaultdict(list)
    for rnd in range(args.rounds):
        for server in servers:
            proc = start(server, args.server_cpu, PORT)
            try:
                order = clients if rnd % 2 == 0 else clients[::-1]
                for client in order:
                    if server == "nghttpd" and client in ("vantric-h1", "aiohttp"):
                        continue  # nghttpd speaks HTTP/2 only
                    cmd = [
                        "taskset",
                        "-c",
                        str(args.client_cpu),
                        sys.executable,
                        str(HERE / "client_load.py"),
                        client,
                        f"{scheme}://127.0.0.1:{PORT}/",
                        str(args.requests),
                        "50",
                    ]
                    rate = float(subprocess.run(cmd, capture_output=True, text=True, check=True).stdout)
                    runs[(server, client)].append(rate)
                    print(f"round {rnd + 1}: {server:8} {client:11} {rate:>9.0f} req/s", flush=True)
            finally:
                stop(proc)
    return runs


def server_case(args, servers: list[str], scheme: str) -> dict:
    runs: dict = collections.defaultdict(list)
    for rnd in range(args.rounds):
        for name in servers if rnd % 2 == 0 else servers[::-1]:
            proc = start(name, args.server_cpu, PORT)
            try:
                rate, failed = h2load(args.client_cpu, f"{scheme}://127.0.0.1:{PORT}/", args.duration)
            finally:
                stop(proc)
            runs[name].append(rate)
            runs[name, "failed"].append(failed)
            print(f"round {rnd + 1}: {name:10} {rate:>9.0f} req/s  {failed} failed", flush=True)
    return runs


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--requests", type=int, default=2000, help="GETs per client measurement")
    parser.add_argument("--duration", type=int, default=6, help="seconds per h2load measurement")
    parser.add_argument("--server-cpu", type=int, default=0)
    parser.add_argument("--client-cpu", type=int, default=1)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        where = Path(scratch)
        certfile, keyfile = certificates(where)
        (where / "index.html").write_bytes(b"Hello, world!\n")
        tls = ["--certfile", certfile, "--keyfile", keyfile]
        H1_SERVERS["nghttpd"] = lambda port: [
            "nghttpd",
            "-a",
            "127.0.0.1",
            "-d",
            scratch,
            "--no-tls",
            str(port),
        ]
        H1_SERVERS["nghttpd-tls"] = lambda port: [
            "nghttpd",
            "-a",
            "127.0.0.1",
            "-d",
            scratch,
            str(port),
            keyfile,
            certfile,
        ]
        H1_SERVERS["vantric-tls"] = lambda port: [
            sys.executable,
            str(HERE / "app_vantric.py"),
            str(port),
            *tls,
        ]
        H1_SERVERS["hypercorn-tls"] = lambda port: [
            sys.executable,
            "-m",
            "hypercorn",
            "--bind",
            f"127.0.0.1:{port}",
            "--log-level",
            "warning",
            *tls,
            "app_uvicorn:app",
        ]
        ENVIRONMENTS["hypercorn-tls"] = dict(os.environ, PYTHONPATH=str(HERE))

        print("== client: 50 in flight, cleartext", flush=True)
        plain = client_case(
            args, {"nghttpd": 0, "vantric": 0}, ["vantric-h2", "httpx-h2", "vantric-h1", "aiohttp"], "http"
        )
        print("== client: 50 in flight, TLS", flush=True)
        secure = client_case(args, {"nghttpd-tls": 0}, ["vantric-h2", "httpx-h2"], "https")
        print("== server: h2load in cleartext (prior knowledge), c10 m10", flush=True)
        served_plain = server_case(args, ["vantric", "nghttpd"], "http")
        print("== server: h2load over TLS, c10 m10", flush=True)
        served_tls = server_case(args, ["vantric-tls", "hypercorn-tls", "nghttpd-tls"], "https")

    print()
    print("| server | client | req/s (median) |")
    print("|---|---|---:|")
    for (server, client), rates in {**plain, **secure}.items():
        print(f"| {server} | {client} | {statistics.median(rates):,.0f} |")
    for title, served, yardstick in (
        ("cleartext", served_plain, "nghttpd"),
        ("over TLS", served_tls, "nghttpd-tls"),
    ):
        print()
        print(
            f"| server {title}, h2load c10 m10 | req/s (median) | share of nghttpd | failed requests (all rounds) |"
        )
        print("|---|---:|---:|---:|")
        best = statistics.median(served[yardstick])
        for name, rates in served.items():
            if isinstance(name, str):
                rate = statistics.median(rates)
                print(f"| {name} | {rate:,.0f} | {rate / best:.2f} | {sum(served[name, 'failed'])} |")


if __name__ == "__main__":
    main()
