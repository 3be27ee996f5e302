"""The same handler as app_vantric.py as an ASGI application, for uvicorn and hypercorn."""

_HELLO = b"Hello, world!\n"
_TEXT = [(b"content-type", b"text/plain"), (b"content-length", b"14")]


async def app(scope, receive, send):
    if scope["type"] != "http":
        return  # lifespan: nothing to start
    if scope["method"] == "POST":
        body = b""
        more = True
        while more:
            message = await receive()
            body += message.get("body", b"")
            more = message.get("more_body", False)
        headers = [
            (b"content-type", b"application/octet-stream"),
            (b"content-length", str(len(body)).encode()),
        ]
    else:
        body = _HELLO
        headers = _TEXT
    await send({"type": "http.response.start", "status": 200, "headers": headers})
    await send({"type": "http.response.body", "body": body})
