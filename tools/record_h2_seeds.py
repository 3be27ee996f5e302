"""Records HTTP/2 connections for the seed corpus of fuzz/h2_frame_fuzzer.cpp.

A listener on the loopback interface answers with the h2 package's server
state machine while nghttp (the nghttp2 command-line client) requests a few
resources; both directions are captured.  Each seed is the fuzzer's
configuration octet followed by one direction's bytes: what the client sent
(configuration bit 0 set: the reader expects the preface) or what the server
sent.

    .venv/bin/python tools/record_h2_seeds.py fuzz/corpus/h2_frame

Needs nghttp (Debian: nghttp2-client) and the h2 package.
"""

import os
import socket
import subprocess
import sys
import threading

import h2.config
import h2.connection
import h2.events


def serve(listener, client_bytes, server_bytes, trailers):
    sock, _ = listener.accept()
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, header_encoding=None))
    conn.initiate_connection()
    sock.sendall(out := conn.data_to_send())
    server_bytes.append(out)
    open_streams = set()
    while True:
        data = sock.recv(65536)
        if not data:
            break
        client_bytes.append(data)
        for event in conn.receive_data(data):
            if isinstance(event, h2.events.RequestReceived):
                open_streams.add(event.stream_id)
                path = dict(event.headers)[b":path"]
                body = b"x" * (20000 if path.endswith(b"big") else 32)
                conn.send_headers(
                    event.stream_id,
                    [
                        (b":status", b"200"),
                        (b"content-type", b"text/plain"),
                        (b"content-length", str(len(body)).encode()),
                        (b"cache-control", b"max-age=60"),
                        (b"server", b"seed"),
                    ],
                )
                for at in range(0, len(body), 16384):
                    end = at + 16384 >= len(body) and not trailers
                    conn.send_data(event.stream_id, body[at : at + 16384], end_stream=end)
                if trailers:
                    conn.send_headers(event.stream_id, [(b"x-checksum", b"abc")], end_stream=True)
            elif isinstance(event, h2.events.ConnectionTerminated):
                conn.close_connection()
        if out := conn.data_to_send():
            sock.sendall(out)
            server_bytes.append(out)
    sock.close()


def record(args, trailers=False):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    port = listener.getsockname()[1]
    client_bytes, server_bytes = [], []
    thread = threading.Thread(target=serve, args=(listener, client_bytes, server_bytes, trailers))
    thread.start()
    urls = [f"http://127.0.0.1:{port}{path}" for path in ("/", "/index.html", "/big")]
    subprocess.run(["nghttp", "-n", "-t", "5"] + args + urls, check=True, timeout=20)
    thread.join(timeout=20)
    listener.close()
    return b"".join(client_bytes), b"".join(server_bytes)


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    runs = {
        "plain": ([], False),
        "headers-trailers": (
            [
                "-H",
                "user-agent: seed/1.0",
                "-H",
                "accept-encoding: gzip",
                "-H",
                "cookie: a=1",
                "-H",
                "cookie: b=2",
            ],
            True,
        ),
        "post-data": (["-d", os.devnull, "-w", "16", "-W", "20"], False),
        "large-header": (["-H", "x-large: " + "v" * 40000, "--header-table-size", "0"], False),
    }
    for name, (args, trailers) in runs.items():
        client, server = record(args, trailers)
        with open(os.path.join(out_dir, f"nghttp-{name}-client"), "wb") as f:
            f.write(b"\x01" + client)
        with open(os.path.join(out_dir, f"nghttp-{name}-server"), "wb") as f:
            f.write(b"\x00" + server)
        # The same bytes with small limits and split feeding.
        with open(os.path.join(out_dir, f"nghttp-{name}-client-small"), "wb") as f:
            f.write(b"\x33" + client)


if __name__ == "__main__":
    main(sys.argv[1])
