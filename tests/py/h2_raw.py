"""An HTTP/2 client that writes and reads raw frames (hyperframe and hpack), for
driving the server with exactly the frames a test needs, malformed ones
included.  Every socket wait is bounded by the suite's timeout."""

from __future__ import annotations

import socket
from itertools import count

import hpack
from hyperframe.frame import (
    ContinuationFrame,
    DataFrame,
    Frame,
    HeadersFrame,
    PingFrame,
    RstStreamFrame,
    SettingsFrame,
)

from serving import connect
from vantric._vantric import H2_PREFACE as PREFACE

MAX_FRAME = 16384


def request_fields(path: str, method: str = "GET", authority: str = "localhost") -> list[tuple[str, str]]:
    return [(":method", method), (":scheme", "http"), (":path", path), (":authority", authority)]


class RawClient:
    """Frames written and read with hyperframe and hpack: it keeps reading after
    a GOAWAY (where h2 closes), and answers SETTINGS and PING as a client must."""

    def __init__(self, port: int, sock: socket.socket | None = None, preface: bytes = PREFACE) -> None:
        """Connects to `port`, or goes on over `sock` whose preface is partly sent."""
        self.sock = connect(port) if sock is None else sock
        self.encoder, self.decoder = hpack.Encoder(), hpack.Decoder()
        self.buf = b""
        self.frames: list[Frame] = []
        self.closed = False
        self._pings = count()
        self.sock.sendall(preface + SettingsFrame(0).serialize())

    # -- sending ---------------------------------------------------------------

    def send(self, *frames: Frame) -> None:
        self.sock.sendall(b"".join(frame.serialize() for frame in frames))

    def headers(self, sid: int, fields, end_stream: bool = True) -> None:
        self.send(*self.header_frames(sid, fields, end_stream))

    def header_frames(self, sid: int, fields, end_stream: bool = True) -> list[Frame]:
        """One header block, cut into HEADERS and CONTINUATION frames as needed."""
        block = self.encoder.encode(fields, huffman=False)
        pieces = [block[i : i + MAX_FRAME] for i in range(0, len(block), MAX_FRAME)] or [b""]
        frames: list[Frame] = [HeadersFrame(sid, pieces[0])]
        frames += [ContinuationFrame(sid, piece) for piece in pieces[1:]]
        if end_stream:
            frames[0].flags.add("END_STREAM")
        frames[-1].flags.add("END_HEADERS")
        return frames

    def request(self, sid: int, path: str, end_stream: bool = True) -> None:
        self.headers(sid, request_fields(path), end_stream)

    def data(self, sid: int, payload: bytes, end_stream: bool = False) -> None:
        self.send(DataFrame(sid, payload, flags=["END_STREAM"] if end_stream else []))

    def reset(self, sid: int, code: int = 8) -> None:
        self.send(RstStreamFrame(sid, code))

    # -- receiving -------------------------------------------------------------

    def pump(self) -> None:
        data = self.sock.recv(65536)
        if not data:
            self.closed = True
            return
        self.buf += data
        while len(self.buf) >= 9:
            frame, length = Frame.parse_frame_header(memoryview(self.buf[:9]))
            if len(self.buf) < 9 + length:
                break
            frame.parse_body(memoryview(self.buf[9 : 9 + length]))
            self.buf = self.buf[9 + length :]
            if isinstance(frame, HeadersFrame):
                frame.fields = self.decoder.decode(frame.data)
            self.frames.append(frame)
            if isinstance(frame, SettingsFrame) and "ACK" not in frame.flags:
                self.send(SettingsFrame(0, flags=["ACK"]))
            if isinstance(frame, PingFrame) and "ACK" not in frame.flags:
                self.send(PingFrame(0, frame.opaque_data, flags=["ACK"]))

    def of(self, kind, sid: int | None = None) -> list:
        return [f for f in self.frames if isinstance(f, kind) and (sid is None or f.stream_id == sid)]

    def until(self, predicate) -> None:
        while not predicate():
            assert not self.closed, "the server closed the connection"
            self.pump()

    def barrier(self) -> None:
        """Returns once the server has answered everything sent before: a PING
        goes after it, and the server answers frames in the order they came."""
        payload = b"barrier%d" % next(self._pings)
        self.send(PingFrame(0, payload[:8].ljust(8, b"_")))
        self.until(
            lambda: any(
                "ACK" in f.flags and f.opaque_data == payload[:8].ljust(8, b"_") for f in self.of(PingFrame)
            )
        )

    def ready(self) -> None:
        """Returns once both sides' SETTINGS are acknowledged (our limits apply)."""
        self.until(lambda: [f for f in self.of(SettingsFrame) if "ACK" not in f.flags])
        self.barrier()

    def status(self, sid: int) -> int:
        self.until(lambda: self.of(HeadersFrame, sid) or self.of(RstStreamFrame, sid))
        heads = self.of(HeadersFrame, sid)
        assert heads, f"stream {sid} was reset: {self.of(RstStreamFrame, sid)}"
        return int(dict(heads[0].fields)[":status"])

    def body(self, sid: int) -> bytes:
        self.until(lambda: any("END_STREAM" in f.flags for f in self.frames if f.stream_id == sid))
        return b"".join(f.data for f in self.of(DataFrame, sid))

    def resets(self, sid: int) -> list[int]:
        return [f.error_code for f in self.of(RstStreamFrame, sid)]

    def until_closed(self) -> None:
        """Reads to the server's end of stream, then ends ours."""
        while not self.closed:
            self.pump()
        self.sock.shutdown(socket.SHUT_WR)

    def close(self) -> None:
        self.sock.close()
