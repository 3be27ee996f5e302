"""HeaderMap against multidict's CIMultiDict, and http_date, in one pyperf run.

.venv/bin/python bench/py/bench_header_map.py -o bench/py/header_map.json
"""

import pyperf

# The timed statements import these from __main__.
from multidict import CIMultiDict  # noqa: F401

from vantric._vantric import HeaderMap, http_date  # noqa: F401

PAIRS = [
    ("Host", "example.com"),
    ("User-Agent", "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0"),
    ("Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    ("Accept-Language", "en-US,en;q=0.5"),
    ("Accept-Encoding", "gzip, deflate, br"),
    ("Connection", "keep-alive"),
    ("Cookie", "session=7f3a9c1e; theme=dark"),
    ("Upgrade-Insecure-Requests", "1"),
    ("Cache-Control", "max-age=0"),
    ("X-Request-Id", "b1946ac9-2492-4a6d-8e1e-1b6c3f0a5b7d"),
]

SETUP = "from __main__ import PAIRS, HeaderMap, CIMultiDict, http_date\n"
CASES = {
    "build from 10 pairs": ("HeaderMap(PAIRS)", "CIMultiDict(PAIRS)", ""),
    "get present": ("m.get('Accept-Encoding')", "m.get('Accept-Encoding')", "m = {cls}(PAIRS)"),
    "get absent": ("m.get('X-Missing')", "m.get('X-Missing')", "m = {cls}(PAIRS)"),
    "items()": ("m.items()", "list(m.items())", "m = {cls}(PAIRS)"),
    "m[name] = value": (
        "m['Cache-Control'] = 'no-cache'",
        "m['Cache-Control'] = 'no-cache'",
        "m = {cls}(PAIRS)",
    ),
}


def main():
    runner = pyperf.Runner()
    for name, (ours, theirs, setup) in CASES.items():
        runner.timeit(f"HeaderMap: {name}", ours, setup=SETUP + setup.format(cls="HeaderMap"))
        runner.timeit(f"CIMultiDict: {name}", theirs, setup=SETUP + setup.format(cls="CIMultiDict"))
    runner.timeit("http_date()", "http_date()", setup=SETUP)


if __name__ == "__main__":
    main()
