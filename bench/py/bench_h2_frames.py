"""HTTP/2 frames: H2Codec against hyperframe + hpack doing the same work, in one pyperf run.

Decoding: 100 inbound batches of one client connection, each a SETTINGS, a
WINDOW_UPDATE, a request HEADERS frame with 10 regular fields (one HPACK
context across the batches, as on a real connection) and a 1 KiB DATA frame.
Per round a fresh decoder takes all 100 in order:

- H2Codec: receive(batch) returns the four events (header fields in a
  HeaderMap, payload as bytes);
- hyperframe + hpack: Frame.parse_frame_header and parse_body per frame,
  hpack.Decoder.decode of the header block.

Serializing, per round one response: a HEADERS frame with :status and 10
fields and a 16 KiB DATA frame, one encoder across rounds:

- H2Codec: serialize_response_headers and serialize_data;
- hyperframe + hpack: hpack.Encoder.encode, then HeadersFrame and DataFrame
  serialize().

HPACK encoding of a request, per round one: 9 fields (the 4 pseudo-header
fields and 5 regular ones), one encoder across rounds:

- H2Codec: serialize_request_headers, the whole HEADERS frame;
- hpack: hpack.Encoder.encode, the header block alone.

    .venv/bin/python bench/py/bench_h2_frames.py -o build/bench_h2_frames.json
    .venv/bin/python bench/py/bench_h2_frames.py table build/bench_h2_frames.json
"""

from common import main_or_table, time_loops

BATCHES = 100
FIELDS = [
    ("user-agent", "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0"),
    ("accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    ("accept-language", "en-US,en;q=0.5"),
    ("accept-encoding", "gzip, deflate, br, zstd"),
    ("referer", "https://www.example.com/articles/"),
    ("cookie", "session=4f1c2a9e7b; theme=dark; consent=1"),
    ("sec-fetch-dest", "document"),
    ("sec-fetch-mode", "navigate"),
    ("upgrade-insecure-requests", "1"),
    ("priority", "u=0, i"),
]
RESPONSE_FIELDS = [
    ("content-type", "text/html; charset=utf-8"),
    ("content-length", "16384"),
    ("cache-control", "private, max-age=0"),
    ("server", "vantric-bench"),
    ("vary", "Accept-Encoding"),
    ("etag", '"5f3a-17c2b4e1"'),
    ("last-modified", "Mon, 07 Dec 2026 10:00:00 GMT"),
    ("x-content-type-options", "nosniff"),
    ("strict-transport-security", "max-age=63072000"),
    ("x-request-id", "a1b2c3d4e5f6"),
]
BODY = bytes(range(256)) * 64  # 16 KiB
REQUEST = ("GET", "/articles/42?page=2", "https", "www.example.com")
REQUEST_FIELDS = FIELDS[:5]


def inbound_batches():
    """The 100 batches, written with h2's own encoder state through hyperframe."""
    import hpack
    from hyperframe import frame as hf

    encoder = hpack.Encoder()
    batches = []
    for i in range(BATCHES):
        sid = 2 * i + 1
        headers = [
            (":method", "GET"),
            (":scheme", "https"),
            (":authority", "www.example.com"),
            (":path", f"/articles/{i}?page=2"),
        ] + FIELDS
        batches.append(
            b"".join(
                f.serialize()
                for f in (
                    hf.SettingsFrame(0, settings={hf.SettingsFrame.INITIAL_WINDOW_SIZE: 65535 + i}),
                    hf.WindowUpdateFrame(0, window_increment=32768 + i),
                    hf.HeadersFrame(sid, data=encoder.encode(headers), flags=["END_HEADERS"]),
                    hf.DataFrame(sid, data=BODY[:1024], flags=["END_STREAM"]),
                )
            )
        )
    return batches


def decode_ours(batches):
    from vantric._vantric import H2Codec

    receive = H2Codec("server").receive
    out = []
    for batch in batches:
        out.append(receive(batch))
    return out


def decode_theirs(batches):
    import hpack
    from hyperframe import frame as hf

    decoder = hpack.Decoder()
    parse_header = hf.Frame.parse_frame_header
    out = []
    for batch in batches:
        view = memoryview(batch)
        events = []
        while view:
            frame, length = parse_header(view[:9])
            frame.parse_body(view[9 : 9 + length])
            if isinstance(frame, hf.HeadersFrame):
                events.append((frame, decoder.decode(frame.data, raw=True)))
            elif isinstance(frame, hf.DataFrame):
                events.append((frame, bytes(frame.data)))
            else:
                events.append(frame)
            view = view[9 + length :]
        out.append(events)
    return out


def serializer_ours():
    from vantric._vantric import H2Codec, HeaderMap

    codec = H2Codec("server")
    headers = HeaderMap(RESPONSE_FIELDS)
    state = {"sid": 1}

    def serialize():
        sid = state["sid"]
        state["sid"] = sid + 2 if sid < 2**31 - 3 else 1
        return (codec.serialize_response_headers(sid, 200, headers), codec.serialize_data(sid, BODY, True))

    return serialize


def serializer_theirs():
    import hpack
    from hyperframe import frame as hf

    encoder = hpack.Encoder()
    headers = [(":status", "200")] + RESPONSE_FIELDS
    state = {"sid": 1}

    def serialize():
        sid = state["sid"]
        state["sid"] = sid + 2 if sid < 2**31 - 3 else 1
        block = encoder.encode(headers)
        return (
            hf.HeadersFrame(sid, data=block, flags=["END_HEADERS"]).serialize(),
            hf.DataFrame(sid, data=BODY, flags=["END_STREAM"]).serialize(),
        )

    return serialize


def request_encoder_ours():
    from vantric._vantric import H2Codec, HeaderMap

    codec = H2Codec("client")
    headers = HeaderMap(REQUEST_FIELDS)
    method, path, scheme, authority = REQUEST
    serialize = codec.serialize_request_headers

    def encode():
        return serialize(1, method, path, headers, True, scheme=scheme, authority=authority)

    return encode


def request_encoder_theirs():
    import hpack

    method, path, scheme, authority = REQUEST
    fields = [(":method", method), (":scheme", scheme), (":authority", authority), (":path", path)]
    fields += REQUEST_FIELDS
    encode = hpack.Encoder().encode

    def encode_block():
        return encode(fields)

    return encode_block


def check(batches):
    import hpack

    from vantric._vantric import H2Codec

    ours = decode_ours(batches)
    theirs = decode_theirs(batches)
    for mine, other in zip(ours, theirs):
        assert [type(e).__name__ for e in mine] == [
            "H2FrameSettings",
            "H2FrameWindowUpdate",
            "H2FrameHeaders",
            "H2FrameData",
        ]
        headers = mine[2]
        fields = [(k.encode(), val) for k, val in headers.headers.items()]
        assert [(n, val) for n, val in other[2][1] if not n.startswith(b":")] == fields
        assert mine[3].data == other[3][1]
    a, b = serializer_ours()(), serializer_theirs()()
    for wire in (a[0], b[0]):
        (event,) = H2Codec().receive(wire)
        assert event.status == 200 and len(event.headers) == len(RESPONSE_FIELDS)
    assert a[1] == b[1]
    (event,) = H2Codec("server").receive(request_encoder_ours()())
    assert (event.method, event.path, len(event.headers)) == (REQUEST[0], REQUEST[1], len(REQUEST_FIELDS))
    assert len(hpack.Decoder().decode(request_encoder_theirs()())) == 4 + len(REQUEST_FIELDS)


def main():
    import pyperf

    runner = pyperf.Runner()
    batches = inbound_batches()
    check(batches)
    runner.bench_time_func("decode: H2Codec", time_loops(decode_ours, batches))
    runner.bench_time_func("decode: hyperframe + hpack", time_loops(decode_theirs, batches))
    runner.bench_time_func("serialize: H2Codec", time_loops(serializer_ours()))
    runner.bench_time_func("serialize: hyperframe + hpack", time_loops(serializer_theirs()))
    runner.bench_time_func("encode request: H2Codec", time_loops(request_encoder_ours()))
    runner.bench_time_func("encode request: hyperframe + hpack", time_loops(request_encoder_theirs()))


def table(path):
    """The results as a Markdown table: microseconds per batch or response."""
    import pyperf

    suite = pyperf.BenchmarkSuite.load(path)
    med = {b.get_name(): b.median() for b in suite.get_benchmarks()}
    print("| | H2Codec, µs | hyperframe + hpack, µs | ratio | speed-up |")
    print("|---|---:|---:|---:|---:|")
    for label, per in (
        ("decode: one inbound batch (SETTINGS, WINDOW_UPDATE, HEADERS with 10 fields, 1 KiB DATA)", BATCHES),
        ("serialize: HEADERS with 10 fields + 16 KiB DATA", 1),
        ("encode request: 9 fields (hpack: the header block only)", 1),
    ):
        kind = label.split(":")[0]
        ours = med[f"{kind}: H2Codec"] / per * 1e6
        theirs = med[f"{kind}: hyperframe + hpack"] / per * 1e6
        print(f"| {label} | {ours:.2f} | {theirs:.2f} | {ours / theirs:.3f} | {theirs / ours:.1f}x |")


if __name__ == "__main__":
    main_or_table(main, table)
