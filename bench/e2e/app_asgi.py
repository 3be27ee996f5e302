"""The ASGI applications of the ASGI benchmark, for vantric, uvicorn and hypercorn alike.

raw: a bare ASGI application answering a fixed 14-byte text.
starlette: a small Starlette JSON endpoint.
"""

_HELLO = b"Hello, world!\n"
_HEADERS = [(b"content-type", b"text/plain"), (b"content-length", b"14")]


async def raw(scope, receive, send):
    if scope["type"] != "http":
        return
    await send({"type": "http.response.start", "status": 200, "headers": _HEADERS})
    await send({"type": "http.response.body", "body": _HELLO})


def _starlette():
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    async def item(request):
        return JSONResponse({"id": int(request.path_params["id"]), "name": "pen", "tags": ["a", "b"]})

    return Starlette(routes=[Route("/items/{id:int}", item)])


starlette = _starlette()
