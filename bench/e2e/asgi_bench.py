"""ASGI end to end: vantric against uvicorn (httptools, the asyncio loop) under wrk
keep-alive, for a raw ASGI application and a small Starlette JSON endpoint; and
the raw application over HTTP/2 (cleartext, prior knowledge) under h2load,
against hypercorn.  Each server pinned to CPU 0, the load generator to CPU 1;
rounds interleave the servers; medians.

    python bench/e2e/asgi_bench.py [--rounds 3] [--duration 6]
"""

from __future__ import annotations

import argparse
import collections
import re
import statistics
import subprocess
import sys

from bench import ENVIRONMENTS, SERVERS, apps_importable, h2load, start, stop

PORT = 18090
CASES = {"raw": "/", "starlette": "/items/7"}


def vantric(app: str):
    return lambda port: [
        sys.executable,
        "-m",
        "vantric",
        "serve",
        f"app_asgi:{app}",
        "--port",
        str(port),
        "--lifespan",
        "off",
        "--log-level",
        "warning",
    ]


def uvicorn(app: str):
    return lambda port: [
        sys.executable,
        "-m",
        "uvicorn",
        f"app_asgi:{app}",
        "--port",
        str(port),
        "--http",
        "httptools",
        "--loop",
        "asyncio",
        "--no-access-log",
        "--log-level",
        "warning",
        "--lifespan",
        "off",
    ]


def hypercorn(app: str):
    return lambda port: [
        sys.executable,
        "-m",
        "hypercorn",
        "--bind",
        f"127.0.0.1:{port}",
        "--log-level",
        "warning",
        f"app_asgi:{app}",
    ]


def wrk(args, path: str, duration: int) -> float:
    cmd = [
        "taskset",
        "-c",
        str(args.client_cpu),
        "wrk",
        "-t1",
        "-c50",
        f"-d{duration}s",
        f"http://127.0.0.1:{PORT}{path}",
    ]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    if "Non-2xx" in out or "Socket errors" in out:
        raise RuntimeError(f"wrk saw errors:\n{out}")
    return float(re.search(r"Requests/sec:\s*([\d.]+)", out).group(1))


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--duration", type=int, default=6)
    parser.add_argument("--server-cpu", type=int, default=0)
    parser.add_argument("--client-cpu", type=int, default=1)
    parser.add_argument(
        "--cases", default="raw,starlette,h2", help="which of raw, starlette and h2 to run (comma-separated)"
    )
    args = parser.parse_args()
    chosen = set(args.cases.split(","))
    for case in CASES:
        SERVERS[f"vantric {case}"] = vantric(case)
        SERVERS[f"uvicorn {case}"] = uvicorn(case)
    SERVERS["vantric raw h2"] = vantric("raw")
    SERVERS["hypercorn raw h2"] = hypercorn("raw")
    for name in SERVERS:
        ENVIRONMENTS[name] = apps_importable()

    runs: dict = collections.defaultdict(list)
    for rnd in range(args.rounds):
        for case, path in CASES.items():
            if case not in chosen:
                continue
            names = [f"vantric {case}", f"uvicorn {case}"]
            for name in names if rnd % 2 == 0 else names[::-1]:
                proc = start(name, args.server_cpu, PORT)
                try:
                    wrk(args, path, 1)
                    rate = wrk(args, path, args.duration)
                finally:
                    stop(proc)
                runs[name].append(rate)
                print(f"round {rnd + 1}: {name:20} {rate:>9.0f} req/s", flush=True)
        names = ["vantric raw h2", "hypercorn raw h2"] if "h2" in chosen else []
        for name in names if rnd % 2 == 0 else names[::-1]:
            proc = start(name, args.server_cpu, PORT)
            try:
                rate, _ = h2load(args.client_cpu, f"http://127.0.0.1:{PORT}/", args.duration)
            finally:
                stop(proc)
            runs[name].append(rate)
            print(f"round {rnd + 1}: {name:20} {rate:>9.0f} req/s", flush=True)

    print()
    print("| case | vantric, req/s | anchor, req/s | ratio |")
    print("|---|---:|---:|---:|")
    for case, anchor in (
        ("raw", "uvicorn raw"),
        ("starlette", "uvicorn starlette"),
        ("raw h2", "hypercorn raw h2"),
    ):
        if not runs[anchor]:
            continue
        ours, theirs = statistics.median(runs[f"vantric {case}"]), statistics.median(runs[anchor])
        print(f"| {case} ({anchor.split()[0]}) | {ours:,.0f} | {theirs:,.0f} | {ours / theirs:.2f} |")


if __name__ == "__main__":
    main()
