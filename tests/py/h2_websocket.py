"""A WebSocket client over HTTP/2 streams (RFC 8441), built from h2 (the
extended CONNECT and the streams) and wsproto (the WebSocket frames).  Every
socket wait is bounded by the suite's timeout."""

from __future__ import annotations

import dataclasses
from typing import Any

import h2.config
import h2.connection
import h2.events
from wsproto import ConnectionType
from wsproto.connection import Connection
from wsproto.events import Message

from serving import connect


class H2WebSockets:
    """One HTTP/2 connection carrying WebSocket connections, one per stream."""

    def __init__(self, port: int) -> None:
        self.port = port
        self.sock = connect(port)
        self.h2 = h2.connection.H2Connection(
            h2.config.H2Configuration(client_side=True, header_encoding="utf-8")
        )
        self.h2.initiate_connection()
        self.responses: dict[int, tuple[int, dict[str, str]]] = {}
        self.codecs: dict[int, Connection] = {}
        self.ended: set[int] = set()
        self.eof_fed: set[int] = set()
        self.bodies: dict[int, bytes] = {}
        self.resets: dict[int, int] = {}
        self.settings_seen = False
        self.acknowledge = True  # hand the received DATA back to the windows
        self._flush()
        self.until(lambda: self.settings_seen)

    @property
    def offers_websocket(self) -> bool:
        """The server announced SETTINGS_ENABLE_CONNECT_PROTOCOL (RFC 8441 section 3)."""
        return bool(self.h2.remote_settings.enable_connect_protocol)

    def open(self, path: str, headers: list[tuple[str, str]] = ()) -> int:  # type: ignore[assignment]
        """Sends the extended CONNECT; returns its stream id once answered."""
        sid = self.h2.get_next_available_stream_id()
        fields = [
            (":method", "CONNECT"),
            (":protocol", "websocket"),
            (":scheme", "http"),
            (":path", path),
            (":authority", f"127.0.0.1:{self.port}"),
            ("sec-websocket-version", "13"),
            *headers,
        ]
        self.h2.send_headers(sid, fields)
        self._flush()
        self.until(lambda: sid in self.responses or sid in self.resets)
        return sid

    def send(self, sid: int, event: Any) -> None:
        """Sends `event` in DATA frames of the largest size allowed (the
        server's windows are far larger than any message sent here)."""
        data, size = self.codecs[sid].send(event), self.h2.max_outbound_frame_size
        for at in range(0, len(data), size):
            self.h2.send_data(sid, data[at : at + size])
        self._flush()

    def next_event(self, sid: int) -> Any:
        """The next WebSocket event of stream `sid`, a message whole (None
        once the stream ended)."""
        codec = self.codecs[sid]
        parts: list[Any] = []
        while True:
            for event in codec.events():
                if not isinstance(event, Message):
                    return event
                parts.append(event.data)
                if event.message_finished:
                    return dataclasses.replace(event, data=parts[0][:0].join(parts))
            if sid in self.ended or sid in self.resets:
                if sid in self.eof_fed:
                    return None
                # Only now: wsproto reports the end before frames it has not parsed yet.
                self.eof_fed.add(sid)
                codec.receive_data(None)
                continue
            self._pump()

    def until(self, done) -> None:
        while not done():
            self._pump()

    def _pump(self) -> None:
        data = self.sock.recv(65536)
        if not data:
            raise ConnectionError("the server closed the connection")
        for event in self.h2.receive_data(data):
            if isinstance(event, h2.events.RemoteSettingsChanged):
                self.settings_seen = True
            elif isinstance(event, h2.events.ResponseReceived):
                fields = dict(event.headers)
                status = int(fields.pop(":status"))
                self.responses[event.stream_id] = (status, fields)
                if status == 200:
                    # Made here: the first frames may come with the answer.
                    self.codecs[event.stream_id] = Connection(ConnectionType.CLIENT)
            elif isinstance(event, h2.events.DataReceived):
                if self.acknowledge:
                    self.h2.acknowledge_received_data(event.flow_controlled_length, event.stream_id)
                if event.stream_id in self.codecs:
                    self.codecs[event.stream_id].receive_data(event.data)
                else:  # an answer that is not a WebSocket
                    self.bodies[event.stream_id] = self.bodies.get(event.stream_id, b"") + event.data
            elif isinstance(event, h2.events.StreamEnded):
                self.ended.add(event.stream_id)
            elif isinstance(event, h2.events.StreamReset):
                self.resets[event.stream_id] = event.error_code
        self._flush()

    def _flush(self) -> None:
        data = self.h2.data_to_send()
        if data:
            self.sock.sendall(data)

    def close(self) -> None:
        self.h2.close_connection()
        self._flush()
        self.sock.close()
