"""End-to-end HTTP/1.1 server benchmark: vantric.server against uvicorn under wrk.

Each server runs alone, pinned to one CPU, while wrk runs pinned to the other.
Rounds interleave the servers so that load from elsewhere on the machine falls
on both alike; the table shows the median of the rounds.  With --profile the
vantric server is then sampled with py-spy under the GET load.

    python bench/e2e/bench.py [--rounds 3] [--duration 8] [--loop uvloop] [--profile]
"""

from __future__ import annotations

import argparse
import collections
import json
import linecache
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
PORT = 18080

SERVERS = {
    "vantric": lambda port: [sys.executable, str(HERE / "app_vantric.py"), str(port)],
    "uvicorn": lambda port: [
        sys.executable,
        "-m",
        "uvicorn",
        "app_uvicorn:app",
        "--app-dir",
        str(HERE),
        "--host",
        "127.0.0.1",
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
        "--no-server-header",
    ],
    "raw asyncio": lambda port: [sys.executable, str(HERE / "app_raw.py"), str(port)],
}
CASES = {
    "GET, keep-alive, 14-byte text": [],
    "POST 4 KiB echo, keep-alive": ["-s", str(HERE / "post_4k.lua")],
}
# The canned-response ceiling answers GETs only.
SKIP = {("raw asyncio", "POST 4 KiB echo, keep-alive")}


# Environments of servers that need their own (the baseline build's PYTHONPATH).
ENVIRONMENTS: dict[str, dict[str, str]] = {}


def use_uvloop() -> None:
    """Every server on uvloop: ours and the ceiling take --loop, uvicorn its own."""
    for name in ("vantric", "raw asyncio"):
        command = SERVERS[name]
        SERVERS[name] = lambda port, command=command: command(port) + ["--loop", "uvloop"]
    uvicorn = SERVERS["uvicorn"]
    SERVERS["uvicorn"] = lambda port: ["uvloop" if arg == "asyncio" else arg for arg in uvicorn(port)]


def apps_importable() -> dict[str, str]:
    """The environment of a server that imports its application from this
    directory; a PYTHONPATH given (a build to measure, installed with pip
    --target) still comes first."""
    path = os.pathsep.join(p for p in (os.environ.get("PYTHONPATH"), str(HERE)) if p)
    return dict(os.environ, PYTHONPATH=path)


def add_baseline(path: str) -> None:
    """Adds "baseline": the same handler on another build of the package,
    imported from `path` (e.g. an earlier commit installed with pip --target)."""
    SERVERS["baseline"] = SERVERS["vantric"]
    ENVIRONMENTS["baseline"] = dict(os.environ, PYTHONPATH=str(Path(path).resolve()))


def start(name: str, cpu: int, port: int, extra: list[str] | None = None) -> subprocess.Popen:
    cmd = ["taskset", "-c", str(cpu)] + SERVERS[name](port) + (extra or [])
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, env=ENVIRONMENTS.get(name))
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"{name} exited with {proc.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return proc
        except OSError:
            time.sleep(0.1)
    stop(proc)
    raise RuntimeError(f"{name} did not start listening")


def stop(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def wrk(args, case: str, duration: float, port: int) -> dict:
    cmd = [
        "taskset",
        "-c",
        str(args.wrk_cpu),
        "wrk",
        f"-t{args.threads}",
        f"-c{args.connections}",
        f"-d{duration:g}s",
        *CASES[case],
        f"http://127.0.0.1:{port}/",
    ]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    result = {"rps": float(re.search(r"Requests/sec:\s*([\d.]+)", out).group(1)), "non2xx": 0, "errors": 0}
    match = re.search(r"Non-2xx or 3xx responses:\s*(\d+)", out)
    if match:
        result["non2xx"] = int(match.group(1))
    match = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    if match:
        result["errors"] = sum(int(n) for n in match.groups())
    return result


def h2load(cpu: int, url: str, duration: int) -> tuple[float, int]:
    """(requests a second, requests that failed) of one h2load run on `cpu`:
    10 connections of 10 streams, `duration` seconds after one of warm-up."""
    cmd = ["taskset", "-c", str(cpu), "h2load", "-D", str(duration), "--warm-up-time", "1",
           "-c", "10", "-m", "10", url]  # fmt: skip
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    failed = re.search(r"requests: \d+ total, \d+ started, \d+ done, \d+ succeeded, (\d+) failed", out)
    rate = re.search(r"finished in [\d.]+s, ([\d.]+) req/s", out)
    if failed is None or rate is None:
        raise RuntimeError(f"unexpected h2load output:\n{out}")
    return float(rate.group(1)), int(failed.group(1))


def measure(args) -> dict:
    runs: dict = collections.defaultdict(list)
    names = [n for n in SERVERS if n != "raw asyncio" or not args.no_raw]
    for rnd in range(args.rounds):
        # Alternate who goes first so neither always follows the other.
        order = names if rnd % 2 == 0 else names[::-1]
        for case in CASES:
            for name in order:
                if (name, case) in SKIP:
                    continue
                proc = start(name, args.server_cpu, PORT)
                try:
                    wrk(args, case, args.warmup, PORT)
                    result = wrk(args, case, args.duration, PORT)
                finally:
                    stop(proc)
                runs[(case, name)].append(result)
                print(
                    f"round {rnd + 1}: {case:32} {name:12} {result['rps']:>10.0f} req/s"
                    f"  non-2xx {result['non2xx']}  socket errors {result['errors']}",
                    flush=True,
                )
    return runs


def table(runs: dict) -> str:
    def med(case, name):
        values = [r["rps"] for r in runs.get((case, name), [])]
        return statistics.median(values) if values else None

    def bad(case, name):
        return sum(r["non2xx"] + r["errors"] for r in runs.get((case, name), []))

    lines = [
        "| case | vantric, req/s | uvicorn, req/s | ratio | raw asyncio ceiling, req/s | non-2xx + socket errors |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for case in CASES:
        ours, theirs, raw = med(case, "vantric"), med(case, "uvicorn"), med(case, "raw asyncio")
        errors = f"{bad(case, 'vantric')} / {bad(case, 'uvicorn')}"
        lines.append(
            f"| {case} | {ours:,.0f} | {theirs:,.0f} | {ours / theirs:.2f} | "
            f"{'—' if raw is None else f'{raw:,.0f}'} | {errors} |"
        )
    if any(name == "baseline" for _, name in runs):
        lines += ["", "| case | vantric, req/s | baseline build, req/s | ratio |", "|---|---:|---:|---:|"]
        for case in CASES:
            ours, before = med(case, "vantric"), med(case, "baseline")
            lines.append(f"| {case} | {ours:,.0f} | {before:,.0f} | {ours / before:.3f} |")
    lines.append("")
    for (case, name), results in runs.items():
        lines.append(f"rounds, {name}, {case}: " + ", ".join(f"{r['rps']:,.0f}" for r in results))
    return "\n".join(lines)


# -- profile -------------------------------------------------------------------


def profile(args) -> None:
    """Profiles the vantric server under the GET load, each time on a fresh
    server: py-spy samples by Python line, cProfile counts calls and own time
    per function, perf (where present) splits kernel, interpreter and extension."""
    out = Path(args.out_dir)
    out.mkdir(parents=True, exist_ok=True)
    speedscope = out / "vantric_get.speedscope.json"
    spy = [
        _tool("py-spy"),
        "record",
        "--nonblocking",
        "--idle",
        "-r",
        str(args.rate),
        "-d",
        str(args.profile_seconds),
        "-f",
        "speedscope",
        "-o",
        str(speedscope),
        "-p",
    ]
    done, rps = _under_load(args, spy)
    if done.returncode != 0:
        print("py-spy failed:", done.stderr.strip()[-800:], file=sys.stderr)
    else:
        print(f"\npy-spy: {speedscope} (GET load while sampled: {rps} req/s)")
        print(summarise(speedscope))
    stats = out / "vantric_get.cprofile"
    proc = start("vantric", args.server_cpu, PORT, ["--cprofile", str(stats)])
    try:
        rps = wrk(args, next(iter(CASES)), args.profile_seconds, PORT)["rps"]
    finally:
        stop(proc)
    print(f"\ncProfile: {stats} (GET load while traced: {rps:,.0f} req/s)")
    print(summarise_cprofile(stats))
    if shutil.which("perf") is None:
        return
    data = out / "vantric_get.perf.data"
    perf = ["perf", "record", "-F", "999", "-o", str(data), "--", "sleep", str(args.profile_seconds)]
    done, rps = _under_load(args, perf[:-3] + ["-p", None] + perf[-3:], pid_last=False)
    if done.returncode != 0:
        print("perf failed:", done.stderr.strip()[-800:], file=sys.stderr)
        return
    print(f"\nperf: {data} (GET load while sampled: {rps} req/s)")
    for sort, top in (("dso", 8), ("dso,sym", 25)):
        report = subprocess.run(
            [
                "perf",
                "report",
                "-i",
                str(data),
                "--no-children",
                "--sort",
                sort,
                "--stdio",
                "--percent-limit",
                "0.7",
            ],
            capture_output=True,
            text=True,
        ).stdout
        rows = [line for line in report.splitlines() if line.strip() and not line.startswith("#")]
        print(f"self time by {sort}:")
        print("\n".join(rows[:top]))


def _under_load(args, sampler: list, pid_last: bool = True):
    """Runs `sampler` against a fresh vantric server while wrk sends GETs."""
    case = next(iter(CASES))
    proc = start("vantric", args.server_cpu, PORT)
    try:
        load = subprocess.Popen(
            [
                "taskset",
                "-c",
                str(args.wrk_cpu),
                "wrk",
                f"-t{args.threads}",
                f"-c{args.connections}",
                f"-d{args.profile_seconds + 4}s",
                *CASES[case],
                f"http://127.0.0.1:{PORT}/",
            ],
            stdout=subprocess.PIPE,
            text=True,
        )
        time.sleep(1.5)
        if pid_last:
            cmd = sampler + [str(proc.pid)]
        else:
            cmd = [str(proc.pid) if arg is None else arg for arg in sampler]
        done = subprocess.run(["taskset", "-c", str(args.wrk_cpu)] + cmd, capture_output=True, text=True)
        match = re.search(r"Requests/sec:\s*([\d.]+)", load.communicate()[0])
    finally:
        stop(proc)
    return done, (f"{float(match.group(1)):,.0f}" if match else "?")


def _tool(name: str) -> str:
    """A console script of this interpreter's environment, else one on PATH."""
    local = Path(sys.executable).parent / name
    return str(local) if local.exists() else name


# py-spy charges the time spent in a C function to the Python line that called
# it, so a leaf frame's source line tells syscalls and extension calls apart.
_SYSCALL_LINES = (
    (re.compile(r"\.send\(|\.sendmsg\("), "send() on the socket"),
    (re.compile(r"\.recv(_into)?\("), "recv() on the socket"),
    (re.compile(r"\.poll\(|\.control\("), "epoll_wait() (ready events or idle)"),
)


def _extension_names() -> set[str]:
    try:
        from vantric import _vantric
    except ImportError:
        return set()
    names = set()
    for cls in (_vantric.H1ServerState, _vantric.H1Codec, _vantric.H1BodyDecoder):
        names.update(n for n in dir(cls) if not n.startswith("_"))
    return names


def _category(frame: dict, extension: set[str]) -> str:
    file = frame.get("file", "") or ""
    text = linecache.getline(file, frame.get("line") or 0) if file.endswith(".py") else ""
    for pattern, label in _SYSCALL_LINES:
        if pattern.search(text):
            return "syscall: " + label
    if file.endswith(("vantric/server.py", "vantric/exchange.py")):
        called = set(re.findall(r"\.(\w+)\(", text)) | set(re.findall(r"\.(\w+)\b", text))
        if called & extension:
            return "driver line calling the extension (server.py -> _vantric)"
        return "driver, Python (server.py)"
    if "asyncio" in file or file.endswith("selectors.py"):
        return "event loop, Python (asyncio, selectors)"
    if file.endswith("app_vantric.py"):
        return "handler (app_vantric.py)"
    return "other"


def summarise(path: Path, top: int = 15) -> str:
    data = json.loads(path.read_text())
    frames = data["shared"]["frames"]
    self_time: collections.Counter = collections.Counter()
    inclusive: collections.Counter = collections.Counter()
    categories: collections.Counter = collections.Counter()
    extension = _extension_names()
    total = 0
    for prof in data["profiles"]:
        for stack in prof["samples"]:
            if not stack:
                continue
            total += 1
            chain = [frames[i] for i in stack]
            leaf = chain[-1]
            self_time[_label(leaf)] += 1
            for label in {_label(f) for f in chain}:
                inclusive[label] += 1
            categories[_category(leaf, extension)] += 1
    lines = [
        f"{total} samples (py-spy puts time in C code on the calling line)",
        "",
        "self time by category:",
    ]
    lines += [f"  {100 * w / total:5.1f}%  {c}" for c, w in categories.most_common()]
    lines += ["", "self time, top frames:"]
    lines += [f"  {100 * w / total:5.1f}%  {f}" for f, w in self_time.most_common(top)]
    # Without pausing the process some stacks are read torn or cut short.
    whole = max(inclusive.values(), default=0)
    lines += ["", f"stacks read whole down from the module: {100 * whole / max(total, 1):.0f}%"]
    return "\n".join(lines)


def summarise_cprofile(path: Path, top: int = 20) -> str:
    """Own time per function from cProfile, grouped like the py-spy summary."""
    import pstats

    extension = _extension_names()
    table = pstats.Stats(str(path)).stats
    requests = max(
        (
            cc
            for (file, _, name), (cc, *_rest) in table.items()
            if file.endswith("app_vantric.py") and name == "app"
        ),
        default=0,
    )
    groups: collections.Counter = collections.Counter()
    rows = []
    total = sum(tt for (_cc, _nc, tt, _ct, _callers) in table.values())
    for (file, _line, name), (cc, _nc, tt, _ct, _callers) in table.items():
        if file == "~":
            if name in (
                "<method 'send' of '_socket.socket' objects>",
                "<method 'recv' of '_socket.socket' objects>",
                "<method 'poll' of 'select.epoll' objects>",
            ):
                group = "syscall: " + name.split("'")[1] + "()"
            elif "vantric" in name or any(f"'{n}'" in name for n in extension):
                group = "extension calls (_vantric)"
            else:
                group = "other C functions (builtins, Future, Context.run)"
        elif file.endswith(("vantric/server.py", "vantric/exchange.py")):
            group = "driver, Python (server.py)"
        elif "asyncio" in file or file.endswith("selectors.py"):
            group = "event loop, Python (asyncio, selectors)"
        elif file.endswith("app_vantric.py"):
            group = "handler (app_vantric.py)"
        else:
            group = "other Python"
        groups[group] += tt
        rows.append((tt, cc, f"{name} ({'/'.join(file.split('/')[-2:])})" if file != "~" else name))
    calls = sum(cc for (cc, *_rest) in table.values())
    lines = [
        f"{requests} requests, {calls / max(requests, 1):.1f} calls per request "
        f"(a resumed coroutine counts as a call); own time, traced:"
    ]
    lines += [f"  {100 * t / total:5.1f}%  {g}" for g, t in groups.most_common()]
    lines += ["top functions by own time (calls per request):"]
    lines += [
        f"  {100 * tt / total:5.1f}%  {name}  ({cc / max(requests, 1):.2f})"
        for tt, cc, name in sorted(rows, reverse=True)[:top]
    ]
    return "\n".join(lines)


def _label(frame: dict) -> str:
    file = frame.get("file", "") or ""
    short = "/".join(file.split("/")[-2:]) if file else "?"
    line = frame.get("line")
    return f"{frame.get('name', '?')} ({short}{':' + str(line) if line else ''})"


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--duration", type=int, default=8, help="seconds per measurement")
    parser.add_argument("--warmup", type=int, default=1, help="seconds of warm-up, not counted")
    parser.add_argument("--connections", type=int, default=50)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--server-cpu", type=int, default=0)
    parser.add_argument("--wrk-cpu", type=int, default=1)
    parser.add_argument("--no-raw", action="store_true", help="skip the canned-response ceiling")
    parser.add_argument("--no-bench", action="store_true", help="only profile")
    parser.add_argument("--profile", action="store_true", help="sample vantric under GET load with py-spy")
    parser.add_argument("--no-profile", action="store_true", help="skip the profile")
    parser.add_argument("--profile-seconds", type=int, default=10)
    parser.add_argument("--rate", type=int, default=500, help="py-spy samples per second")
    parser.add_argument("--out-dir", default=str(HERE.parent.parent / "build" / "e2e"))
    parser.add_argument("--summarise", metavar="SPEEDSCOPE", help="only summarise a saved profile")
    parser.add_argument(
        "--baseline",
        metavar="DIR",
        help="also run the server from another build of the package importable from DIR",
    )
    parser.add_argument(
        "--loop", choices=("asyncio", "uvloop"), default="asyncio", help="the event loop of every server"
    )
    args = parser.parse_args()
    if args.loop == "uvloop":
        use_uvloop()
    if args.baseline:
        add_baseline(args.baseline)
    if args.summarise:
        print(summarise(Path(args.summarise)))
        return
    if not args.no_bench:
        print(
            f"wrk -t{args.threads} -c{args.connections} -d{args.duration:g}s on CPU {args.wrk_cpu}, "
            f"servers on CPU {args.server_cpu}, {args.rounds} interleaved rounds",
            flush=True,
        )
        runs = measure(args)
        print()
        print(table(runs))
    if args.profile and not args.no_profile:
        profile(args)


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    main()
