"""Chunked body decoding: H1BodyDecoder against httptools and a plain copy, in one pyperf run.

A 1 MiB body, chunked in 16 KiB and in 64-octet chunks, arrives in 64 KiB
transport reads (sliced before timing).  Each contender hands every piece of
content to the caller as a bytes object and collects them in a list:

- H1BodyDecoder: feed() each read, decode() until None;
- decode_available: the same decoder, decode_available() until None, which
  joins the chunks a read holds into one bytes object (chunk boundaries carry
  no meaning), the way the package's drivers read bodies;
- httptools: HttpResponseParser.feed_data() each read, on_body() per piece
  (the response head is parsed once per run as well);
- copy: the body sliced into pieces of the chunk size, the least any decoder
  that returns bytes objects can do.

    .venv/bin/python bench/py/bench_h1_body.py -o build/bench_h1_body.json
    .venv/bin/python bench/py/bench_h1_body.py table build/bench_h1_body.json
"""

import random

from common import main_or_table, time_loops

MIB = 1 << 20
READ = 64 * 1024
HEAD = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
BODY = random.Random(1).randbytes(MIB)
CHUNKS = {"16 KiB chunks": 16 * 1024, "64 B chunks": 64}


def chunked(body, size):
    parts = []
    for i in range(0, len(body), size):
        piece = body[i : i + size]
        parts.append(b"%x\r\n%s\r\n" % (len(piece), piece))
    parts.append(b"0\r\n\r\n")
    return b"".join(parts)


def reads_of(wire):
    return [wire[i : i + READ] for i in range(0, len(wire), READ)]


def decode_ours(reads, joined=False):
    from vantric._vantric import H1BodyDecoder

    decoder = H1BodyDecoder("chunked")
    feed, decode = decoder.feed, decoder.decode_available if joined else decoder.decode
    out = []
    append = out.append
    for data in reads:
        feed(data)
        while (piece := decode()) is not None:
            append(piece)
    assert decoder.is_complete
    return out


class HttptoolsSink:
    __slots__ = ("out", "done")

    def __init__(self):
        self.out = []
        self.done = False

    def on_body(self, body):
        self.out.append(body)

    def on_message_complete(self):
        self.done = True


def decode_httptools(reads):
    import httptools

    sink = HttptoolsSink()
    parser = httptools.HttpResponseParser(sink)
    parser.feed_data(HEAD)
    for data in reads:
        parser.feed_data(data)
    assert sink.done
    return sink.out


def copy_slices(body, size):
    return [body[i : i + size] for i in range(0, len(body), size)]


def main():
    import pyperf

    runner = pyperf.Runner()
    for label, size in CHUNKS.items():
        reads = reads_of(chunked(BODY, size))
        assert b"".join(decode_ours(reads)) == BODY == b"".join(decode_httptools(reads))
        assert b"".join(decode_ours(reads, True)) == BODY
        runner.bench_time_func(f"H1BodyDecoder: {label}", time_loops(decode_ours, reads))
        runner.bench_time_func(f"decode_available: {label}", time_loops(decode_ours, reads, True))
        runner.bench_time_func(f"httptools: {label}", time_loops(decode_httptools, reads))
        runner.bench_time_func(f"copy: {label}", time_loops(copy_slices, BODY, size))


def table(path):
    """The results as a Markdown table of MB/s (10^6 octets of content per
    second), from each benchmark's best value: on a machine shared with other
    work the best is what load disturbs least."""
    import pyperf

    suite = pyperf.BenchmarkSuite.load(path)
    speed = {b.get_name(): MIB / min(b.get_values()) / 1e6 for b in suite.get_benchmarks()}
    print(
        "| chunks | decode(), MB/s | decode_available(), MB/s | httptools, MB/s | copy, MB/s "
        "| decode() vs httptools | decode_available() vs httptools | decode() time vs copy |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    who = ("H1BodyDecoder", "decode_available", "httptools", "copy")
    for label in CHUNKS:
        ours, joined, theirs, copy = (speed[f"{name}: {label}"] for name in who)
        print(
            f"| {label} | {ours:,.0f} | {joined:,.0f} | {theirs:,.0f} | {copy:,.0f} | {ours / theirs:.2f}x | "
            f"{joined / theirs:.2f}x | {copy / ours:.2f}x |"
        )


if __name__ == "__main__":
    main_or_table(main, table)
