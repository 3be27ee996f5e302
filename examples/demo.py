"""A short tour of the protocol core: one HTTP/1.1 exchange through the codecs."""

import vantric
from vantric._vantric import H1BodyDecoder, H1Codec, HeaderMap, VantricError, __all__


def main() -> None:
    print(f"vantric {vantric.__version__}: {len(__all__)} names")

    # The server side reads a chunked request arriving in two pieces.
    server = H1Codec()
    wire = (
        b"POST /upload HTTP/1.1\r\nHost: example.com\r\nTransfer-Encoding: chunked\r\n\r\n"
        b"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"
    )
    assert server.receive_request_head(wire[:20]) is None
    head = server.receive_request_head(wire[20:])
    print(head, dict(head.headers.items()))
    body = H1BodyDecoder(head.body_kind, head.content_length or 0)
    server.take_body_into(body)
    pieces = []
    while (piece := body.decode()) is not None:
        pieces.append(piece)
    print("body:", b"".join(pieces), "complete:", body.is_complete)

    # It answers with a fixed-length response, Date line included.
    reply = server.serialize_response(200, HeaderMap([("content-type", "text/plain")]), content_length=2)
    print(reply + b"ok")

    # The client side parses that response.
    client = H1Codec()
    client.serialize_request("POST", "/upload", HeaderMap([("host", "example.com")]))
    response = client.receive_head(reply + b"ok")
    print(response, response.content_length)

    try:
        H1Codec().receive_request_head(b"GET / HTTP/9.9\r\n\r\n")
    except VantricError as exc:
        print("refused:", repr(exc))


if __name__ == "__main__":
    main()
