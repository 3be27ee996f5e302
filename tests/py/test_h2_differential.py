"""The frame codec against independent HTTP/2 implementations: frames we write
parse with hyperframe (header blocks decoded with hpack) to the same fields;
frames hyperframe and hpack write decode here to the same fields; and whole
exchanges with the h2 state machine in both directions."""

import random

import h2.config
import h2.connection
import h2.events
import hpack
import pytest
from hyperframe import frame as hf

from vantric import _vantric as v

H2Codec = v.H2Codec


def parse_all(wire):
    """hyperframe's frames of `wire`, in order."""
    frames = []
    view = memoryview(wire)
    while view:
        header, length = hf.Frame.parse_frame_header(view[:9])
        header.parse_body(view[9 : 9 + length])
        frames.append(header)
        view = view[9 + length :]
    return frames


def block_of(frames):
    """The header block of a HEADERS frame and its CONTINUATION frames."""
    assert isinstance(frames[0], hf.HeadersFrame)
    assert all(isinstance(f, hf.ContinuationFrame) for f in frames[1:])
    assert all("END_HEADERS" not in f.flags for f in frames[:-1]) and "END_HEADERS" in frames[-1].flags
    return b"".join(f.data for f in frames)


def random_headers(rng, count):
    names = [
        "accept",
        "accept-encoding",
        "cookie",
        "user-agent",
        "x-request-id",
        "x-a",
        "cache-control",
        "authorization",
        "set-cookie",
        "etag",
        "x-" + "n" * 30,
    ]
    pairs = []
    for _ in range(count):
        name = rng.choice(names)
        value = "".join(rng.choice("abcdefghij0123456789 ;=,/-") for _ in range(rng.randrange(0, 60))).strip()
        pairs.append((name, value))
    return pairs


def grouped(pairs):
    """Pairs as a HeaderMap orders them: by name in first-seen order."""
    order, by_name = [], {}
    for name, value in pairs:
        if name not in by_name:
            order.append(name)
            by_name[name] = []
        by_name[name].append(value)
    return [(name, value) for name in order for value in by_name[name]]


# ---- our frames, parsed by hyperframe ---------------------------------------------


def test_fixed_frames_parse_with_hyperframe():
    codec = H2Codec()
    (settings,) = parse_all(
        codec.serialize_settings(
            header_table_size=0,
            enable_push=True,
            max_concurrent_streams=7,
            initial_window_size=2**31 - 1,
            max_frame_size=16777215,
            max_header_list_size=2**32 - 1,
        )
    )
    assert isinstance(settings, hf.SettingsFrame) and settings.stream_id == 0
    assert settings.settings == {1: 0, 2: 1, 3: 7, 4: 2**31 - 1, 5: 16777215, 6: 2**32 - 1}
    (ack,) = parse_all(codec.serialize_settings_ack())
    assert "ACK" in ack.flags and ack.settings == {}
    (data,) = parse_all(codec.serialize_data(5, b"payload", True))
    assert (type(data), data.stream_id, data.data, data.flags) == (
        hf.DataFrame,
        5,
        b"payload",
        {"END_STREAM"},
    )
    (window,) = parse_all(codec.serialize_window_update(0, 2**31 - 1))
    assert (window.stream_id, window.window_increment) == (0, 2**31 - 1)
    (ping,) = parse_all(codec.serialize_ping(b"\x00\x01\x02\x03\x04\x05\x06\x07"))
    assert (ping.opaque_data, "ACK" in ping.flags) == (b"\x00\x01\x02\x03\x04\x05\x06\x07", False)
    (pong,) = parse_all(codec.serialize_ping_ack(b"ABCDEFGH"))
    assert (pong.opaque_data, "ACK" in pong.flags) == (b"ABCDEFGH", True)
    for debug in (None, b"", b"some debug data"):
        (go_away,) = parse_all(codec.serialize_go_away(2**31 - 1, 11, debug))
        assert (go_away.last_stream_id, go_away.error_code, go_away.additional_data) == (
            2**31 - 1,
            11,
            debug or b"",
        )
    (rst,) = parse_all(codec.serialize_rst_stream(9, 2**32 - 1))
    assert (rst.stream_id, rst.error_code) == (9, 2**32 - 1)


@pytest.mark.parametrize("seed", range(30))
def test_header_blocks_parse_with_hyperframe_and_hpack(seed):
    rng = random.Random(seed)
    codec = H2Codec()
    if seed % 3 == 0:
        codec.set_send_max_frame_size(rng.choice([16384, 20000, 65536]))
    decoder = hpack.Decoder()
    decoder.max_header_list_size = 1 << 20
    for sid in range(1, 40, 2):
        pairs = random_headers(rng, rng.randrange(0, 15))
        if rng.random() < 0.1:
            pairs.append(("x-large", "L" * rng.randrange(10000, 70000)))
        headers = v.HeaderMap(pairs)
        kind = rng.randrange(3)
        if kind == 0:
            wire = codec.serialize_request_headers(sid, "POST", f"https://example.org/p/{sid}?q=1", headers)
            pseudo = [
                (":method", "POST"),
                (":scheme", "https"),
                (":authority", "example.org"),
                (":path", f"/p/{sid}?q=1"),
            ]
        elif kind == 1:
            status = rng.choice([200, 204, 404, 503, 100])
            wire = codec.serialize_response_headers(sid, status, headers, rng.random() < 0.5)
            pseudo = [(":status", str(status))]
        else:
            wire = codec.serialize_trailers(sid, headers)
            pseudo = []
        frames = parse_all(wire)
        assert all(f.stream_id == sid for f in frames)
        assert all(len(f.data) <= (65536 if seed % 3 == 0 else 16384) for f in frames)
        decoded = decoder.decode(block_of(frames), raw=False)
        assert decoded == pseudo + grouped(pairs)
        if kind == 2:
            assert "END_STREAM" in frames[0].flags


def test_sensitive_values_stay_out_of_tables():
    codec = H2Codec()
    headers = v.HeaderMap()
    headers.add("authorization", "secret")
    headers.add("x-token", "t1")
    wire = codec.serialize_trailers(1, headers)
    decoder = hpack.Decoder()
    fields = decoder.decode(block_of(parse_all(wire)), raw=True)
    assert fields == [(b"authorization", b"secret"), (b"x-token", b"t1")]
    # authorization is never entered in the table; an ordinary field is.
    assert [(bytes(n), bytes(v_)) for n, v_ in decoder.header_table.dynamic_entries] == [(b"x-token", b"t1")]


# ---- hyperframe's frames, decoded here ----------------------------------------------


def test_hyperframe_frames_decode_here():
    enc = hpack.Encoder()
    block = enc.encode(
        [
            (":method", "GET"),
            (":scheme", "https"),
            (":authority", "h.example"),
            (":path", "/x"),
            ("user-agent", "hyper"),
            ("accept", "*/*"),
        ]
    )
    frames = [
        hf.SettingsFrame(
            0,
            settings={
                hf.SettingsFrame.HEADER_TABLE_SIZE: 100,
                hf.SettingsFrame.ENABLE_PUSH: 0,
                hf.SettingsFrame.MAX_CONCURRENT_STREAMS: 5,
                hf.SettingsFrame.INITIAL_WINDOW_SIZE: 1000,
                hf.SettingsFrame.MAX_FRAME_SIZE: 20000,
                hf.SettingsFrame.MAX_HEADER_LIST_SIZE: 9999,
            },
        ),
        hf.SettingsFrame(0, flags=["ACK"]),
        hf.HeadersFrame(
            1,
            data=block[:5],
            flags=["PRIORITY", "PADDED"],
            depends_on=0,
            stream_weight=200,
            exclusive=True,
            pad_length=7,
        ),
        hf.ContinuationFrame(1, data=block[5:11]),
        hf.ContinuationFrame(1, data=block[11:], flags=["END_HEADERS"]),
        hf.DataFrame(1, data=b"first"),
        hf.DataFrame(1, data=b"padded", pad_length=9, flags=["PADDED"]),
        hf.DataFrame(1, data=b"", pad_length=0, flags=["PADDED", "END_STREAM"]),
        hf.PriorityFrame(3, depends_on=1, stream_weight=16, exclusive=False),
        hf.RstStreamFrame(3, error_code=8),
        hf.PingFrame(0, opaque_data=b"12345678"),
        hf.PingFrame(0, opaque_data=b"abcdefgh", flags=["ACK"]),
        hf.WindowUpdateFrame(0, window_increment=65535),
        hf.WindowUpdateFrame(1, window_increment=1),
        # An extension frame (hyperframe 6.1 writes ExtensionFrame with a zero length).
        b"\x00\x00\x07\x42\xff\x00\x00\x00\x01ignored",
        hf.GoAwayFrame(0, last_stream_id=3, error_code=0, additional_data=b"bye"),
    ]
    wire = b"".join(f if isinstance(f, bytes) else f.serialize() for f in frames)
    codec = H2Codec()
    events = codec.receive(wire)
    settings, ack, headers, d1, d2, d3, priority, rst, ping, pong, w0, w1, go_away = events
    assert (
        settings.header_table_size,
        settings.enable_push,
        settings.max_concurrent_streams,
        settings.initial_window_size,
        settings.max_frame_size,
        settings.max_header_list_size,
    ) == (100, False, 5, 1000, 20000, 9999)
    assert ack.ack is True and ack.initial_window_size is None
    assert (
        headers.stream_id,
        headers.end_stream,
        headers.method,
        headers.scheme,
        headers.authority,
        headers.path,
    ) == (1, False, "GET", "https", "h.example", "/x")
    assert headers.headers.items() == [("user-agent", b"hyper"), ("accept", b"*/*")]
    assert [(d.data, d.flow_controlled_len, d.padding, d.end_stream) for d in (d1, d2, d3)] == [
        (b"first", 5, 0, False),
        (b"padded", 16, 10, False),
        (b"", 1, 1, True),
    ]
    assert priority.stream_id == 3 and (rst.stream_id, rst.error_code) == (3, 8)
    assert (ping.ack, ping.data, pong.ack, pong.data) == (False, b"12345678", True, b"abcdefgh")
    assert [(w.stream_id, w.increment) for w in (w0, w1)] == [(0, 65535), (1, 1)]
    assert (go_away.last_stream_id, go_away.error_code, go_away.debug_data) == (3, 0, b"bye")
    # The same, one octet at a time.
    codec = H2Codec()
    split = [e for i in range(len(wire)) for e in codec.receive(wire[i : i + 1])]
    assert [repr(e) for e in split] == [repr(e) for e in events]


@pytest.mark.parametrize("seed", range(20))
def test_hpack_blocks_decode_here(seed):
    """Blocks from the hpack package (Huffman or not, indexing or not, table
    size changes) decode here to the same fields, over one connection."""
    rng = random.Random(seed)
    encoder = hpack.Encoder()
    codec = H2Codec()
    for sid in range(1, 60, 2):
        if rng.random() < 0.1:
            size = rng.choice([0, 100, 4096])
            encoder.header_table_size = size
        pairs = [(":status", rng.choice(["200", "404", "302"]))] + random_headers(rng, rng.randrange(0, 12))
        sensitive = [(n, val, True) if rng.random() < 0.2 else (n, val) for n, val in pairs[1:]]
        block = encoder.encode([pairs[0]] + sensitive, huffman=rng.random() < 0.7)
        max_frame = 16384
        cuts = sorted(rng.sample(range(1, len(block)), min(len(block) - 1, rng.randrange(0, 6))))
        pieces = [block[a:b] for a, b in zip([0] + cuts, cuts + [len(block)])]
        wire = hf.HeadersFrame(
            sid, data=pieces[0], flags=[] if len(pieces) > 1 else ["END_HEADERS"]
        ).serialize()
        for k, piece in enumerate(pieces[1:], 1):
            wire += hf.ContinuationFrame(
                sid, data=piece, flags=["END_HEADERS"] if k == len(pieces) - 1 else []
            ).serialize()
        assert all(len(p) <= max_frame for p in pieces)
        (event,) = codec.receive(wire)
        assert event.status == int(pairs[0][1])
        assert event.headers.items() == [(n, val.encode()) for n, val in grouped(pairs[1:])]


def test_hpack_table_size_announced_by_us():
    """Our SETTINGS_HEADER_TABLE_SIZE lets the hpack package's encoder shrink
    its table; a larger update than announced is refused."""
    codec = H2Codec()
    codec.set_recv_header_table_size(256)
    encoder = hpack.Encoder()
    encoder.header_table_size = 256
    (event,) = codec.receive(
        hf.HeadersFrame(1, data=encoder.encode([("x-a", "b")]), flags=["END_HEADERS"]).serialize()
    )
    assert event.headers["x-a"] == b"b"
    encoder.header_table_size = 4096
    with pytest.raises(v.H2ProtocolError) as info:
        codec.receive(
            hf.HeadersFrame(3, data=encoder.encode([("x-a", "b")]), flags=["END_HEADERS"]).serialize()
        )
    assert info.value.args == (1, "HPACK decoding failed: InvalidMaxDynamicSize")


# ---- whole exchanges with h2 ----------------------------------------------------------


def test_h2_client_to_our_reader():
    rng = random.Random(5)
    client = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True, header_encoding="utf-8"))
    client.initiate_connection()
    expected = []
    for _ in range(10):
        sid = client.get_next_available_stream_id()
        pairs = [(n, val) for n, val in random_headers(rng, rng.randrange(1, 10)) if n != "te"]
        request = [
            (":method", "POST"),
            (":scheme", "https"),
            (":authority", "example.com"),
            (":path", f"/r/{sid}"),
        ] + pairs
        client.send_headers(sid, request)
        body = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 3000)))
        client.send_data(sid, body, end_stream=True, pad_length=rng.choice([None, 0, 17]))
        expected.append((sid, grouped(pairs), body))
    wire = client.data_to_send()
    codec = H2Codec("server")
    assert codec.feed_preface(wire[:24]) is True
    events = codec.receive(wire[24:])
    assert type(events[0]) is v.H2FrameSettings
    heads = [e for e in events if type(e) is v.H2FrameHeaders]
    assert [(e.stream_id, e.method, e.path, e.authority) for e in heads] == [
        (sid, "POST", f"/r/{sid}", "example.com") for sid, _, _ in expected
    ]
    for head, (_, pairs, _) in zip(heads, expected):
        assert head.headers.items() == [(n, val.encode()) for n, val in pairs]
    for sid, _, body in expected:
        data = [e for e in events if type(e) is v.H2FrameData and e.stream_id == sid]
        assert b"".join(e.data for e in data) == body and data[-1].end_stream


def test_our_frames_to_h2_client():
    """A response written by us, as the h2 client sees it."""
    client = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True, header_encoding="utf-8"))
    client.initiate_connection()
    client.send_headers(
        1, [(":method", "GET"), (":scheme", "https"), (":authority", "h"), (":path", "/")], end_stream=True
    )
    client.data_to_send()
    server = H2Codec("server")
    wire = server.serialize_settings(max_concurrent_streams=100)
    wire += server.serialize_settings_ack()
    headers = v.HeaderMap(
        [("content-type", "text/plain"), ("set-cookie", "a=1"), ("set-cookie", "b=2"), ("x-big", "z" * 30000)]
    )
    wire += server.serialize_response_headers(1, 200, headers, auto_date=True)
    wire += server.serialize_data(1, b"hello ")
    wire += server.serialize_data(1, b"world")
    wire += server.serialize_trailers(1, v.HeaderMap({"x-checksum": "42"}))
    events = client.receive_data(wire)
    response = next(e for e in events if isinstance(e, h2.events.ResponseReceived))
    fields = response.headers
    assert fields[0] == (":status", "200")
    assert [f for f in fields if f[0] != "date"][1:] == [
        ("content-type", "text/plain"),
        ("set-cookie", "a=1"),
        ("set-cookie", "b=2"),
        ("x-big", "z" * 30000),
    ]
    assert len(dict(fields)["date"]) == 29
    body = b"".join(e.data for e in events if isinstance(e, h2.events.DataReceived))
    assert body == b"hello world"
    trailers = next(e for e in events if isinstance(e, h2.events.TrailersReceived))
    assert trailers.headers == [("x-checksum", "42")]
    assert any(isinstance(e, h2.events.StreamEnded) for e in events)


def test_our_requests_to_h2_server():
    server = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, header_encoding="utf-8"))
    server.initiate_connection()
    codec = H2Codec()
    wire = v.H2_PREFACE + codec.serialize_settings(enable_push=False, initial_window_size=1 << 20)
    headers = v.HeaderMap(
        [("user-agent", "vantric"), ("accept", "*/*"), ("cookie", "a=1"), ("cookie", "b=2")]
    )
    for sid in (1, 3, 5):
        wire += codec.serialize_request_headers(sid, "PUT", f"https://example.net/u/{sid}", headers)
        wire += codec.serialize_data(sid, b"x" * sid, end_stream=True)
    events = server.receive_data(wire)
    requests = [e for e in events if isinstance(e, h2.events.RequestReceived)]
    assert [e.stream_id for e in requests] == [1, 3, 5]
    for e in requests:
        assert e.headers == [
            (":method", "PUT"),
            (":scheme", "https"),
            (":authority", "example.net"),
            (":path", f"/u/{e.stream_id}"),
            ("user-agent", "vantric"),
            ("accept", "*/*"),
            ("cookie", "a=1; b=2"),
        ]  # h2 joins cookie fields (RFC 9113 section 8.2.3)
    data = {e.stream_id: e.data for e in events if isinstance(e, h2.events.DataReceived)}
    assert data == {1: b"x", 3: b"xxx", 5: b"xxxxx"}
    assert not any(isinstance(e, h2.events.ConnectionTerminated) for e in events)
