"""HTTP/1 head parsing against httptools and h11, side by side in one pyperf run.

    .venv/bin/python bench/py/bench_h1_parse.py -o h1_parse.json
    .venv/bin/python bench/py/bench_h1_parse.py --interleaved

The second form runs the same statements in one process, the libraries in
turn round after round, and prints the best round of each: on a machine shared
with other work a slow spell then hits every library alike.

Each case parses one head and collects the same data into host objects
through each library's own interface: the method, target and fields of a
request; the status, fields and framing of a response.

- vantric: H1Codec.receive_request_head / receive_head build the head record
  with its HeaderMap; the attributes are read once.  "vantric items()" also
  makes the fields Python pairs (HeaderMap.items()), as httptools' callbacks
  do.
- httptools: a parser with a protocol object whose callbacks collect the URL
  and the (name, value) pairs into a list, as its users write it.
- h11: the Request / Response event.

Request parsers are per connection and reused across requests, as a server
does (h11 takes a new Connection per request: reusing one needs a response
written first).  The response case builds a new parser each time for every
library: a response parser that was fed only a head with a Content-Length
expects its body next.  h11 must have sent a request before it reads a
response; the statements below send it, so h11's figure for the
response case includes writing that request.
"""

import sys
import timeit

# The timed statements import these from __main__.
import h11  # noqa: F401
import httptools  # noqa: F401
import pyperf

from vantric._vantric import H1Codec  # noqa: F401

MINIMAL = b"GET / HTTP/1.1\r\nHost: example.com\r\n\r\n"

BROWSER = (
    b"GET /search?q=http%2F1.1&ie=UTF-8 HTTP/1.1\r\n"
    b"Host: www.example.org\r\n"
    b"User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0\r\n"
    b"Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
    b"Accept-Language: en-US,en;q=0.5\r\n"
    b"Accept-Encoding: gzip, deflate, br, zstd\r\n"
    b"Connection: keep-alive\r\n"
    b"Cookie: session=4f2a9c1e7b; theme=dark\r\n"
    b"Upgrade-Insecure-Requests: 1\r\n"
    b"Sec-Fetch-Dest: document\r\n"
    b"Sec-Fetch-Mode: navigate\r\n"
    b"\r\n"
)

RESPONSE = (
    b"HTTP/1.1 200 OK\r\n"
    b"Server: nginx/1.24.0\r\n"
    b"Date: Mon, 07 Dec 2026 10:00:00 GMT\r\n"
    b"Content-Type: text/html; charset=utf-8\r\n"
    b"Content-Length: 1256\r\n"
    b"Last-Modified: Tue, 01 Dec 2026 09:00:00 GMT\r\n"
    b"Connection: keep-alive\r\n"
    b'ETag: "6555d2f1-4e8"\r\n'
    b"\r\n"
)


class Collector:
    """httptools' protocol object: collects what a head carries."""

    __slots__ = ("url", "headers")

    def __init__(self):
        self.url = None
        self.headers = []

    def on_message_begin(self):
        self.headers = []

    def on_url(self, url):
        self.url = url

    def on_header(self, name, value):
        self.headers.append((name, value))


SETUP = "from __main__ import MINIMAL, BROWSER, RESPONSE, Collector, H1Codec, httptools, h11\n"

REQUEST_CASES = {
    "vantric": (
        "codec = H1Codec(); receive = codec.receive_request_head",
        "head = receive(DATA); head.method; head.target; head.headers",
    ),
    "vantric items()": (
        "codec = H1Codec(); receive = codec.receive_request_head",
        "head = receive(DATA); head.method; head.target; head.headers.items()",
    ),
    "httptools": (
        "c = Collector(); p = httptools.HttpRequestParser(c); feed = p.feed_data",
        "feed(DATA); p.get_method(); c.url; c.headers",
    ),
    "h11": (
        "",
        "conn = h11.Connection(h11.SERVER); conn.receive_data(DATA); e = conn.next_event(); "
        "e.method; e.target; e.headers",
    ),
}

RESPONSE_CASES = {
    "vantric": (
        "",
        "head = H1Codec().receive_head(RESPONSE); head.status; head.headers; head.content_length",
    ),
    "httptools": (
        "",
        "c = Collector(); p = httptools.HttpResponseParser(c); p.feed_data(RESPONSE); "
        "p.get_status_code(); c.headers",
    ),
    "h11": (
        "req = h11.Request(method='GET', target='/', headers=[('Host', 'a')]); end = h11.EndOfMessage()",
        "conn = h11.Connection(h11.CLIENT); conn.send(req); conn.send(end); conn.receive_data(RESPONSE); "
        "e = conn.next_event(); e.status_code; e.headers",
    ),
}


def cases():
    """(case, library, setup, statement) for every measurement."""
    for case, data in (("minimal GET", "MINIMAL"), ("browser GET", "BROWSER")):
        for library, (setup, stmt) in REQUEST_CASES.items():
            yield case, library, SETUP + setup.replace("DATA", data), stmt.replace("DATA", data)
    for library, (setup, stmt) in RESPONSE_CASES.items():
        yield "response, 6 fields + length", library, SETUP + setup, stmt


def interleaved(rounds=15):
    timers = [
        (case, library, timeit.Timer(stmt, setup, globals={"__name__": "__main__"}))
        for case, library, setup, stmt in cases()
    ]
    best = {}
    for _ in range(rounds):
        for case, library, timer in timers:
            number = 200 if library == "h11" else 20000
            per_call = timer.timeit(number) / number
            key = (case, library)
            best[key] = min(best.get(key, per_call), per_call)
    # Ratios are ours over the anchor: below 1 we take less time.
    print(
        "| case | vantric, ns | httptools, ns | ratio | h11, ns | ratio | vantric items(), ns | ratio to httptools |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for case in dict.fromkeys(case for case, _ in best):
        ours, ht, h = (best[(case, lib)] * 1e9 for lib in ("vantric", "httptools", "h11"))
        items = best.get((case, "vantric items()"))
        tail = f"{items * 1e9:,.0f} | {items * 1e9 / ht:.2f}" if items else "- | -"
        print(f"| {case} | {ours:,.0f} | {ht:,.0f} | {ours / ht:.2f} | {h:,.0f} | {ours / h:.3f} | {tail} |")


def main():
    if "--interleaved" in sys.argv:
        interleaved()
        return
    runner = pyperf.Runner()
    for case, library, setup, stmt in cases():
        runner.timeit(f"{case}: {library}", stmt, setup=setup)


if __name__ == "__main__":
    main()
