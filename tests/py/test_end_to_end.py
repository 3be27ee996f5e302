"""Our client against our server, both on one event loop over loopback."""

import asyncio

from vantric.client import Client
from vantric.server import Response, Server


async def pieces(*parts, pause=0.0):
    for part in parts:
        yield part
        await asyncio.sleep(pause)


async def app(request):
    path = request.target
    if path == "/echo":
        return Response(200, [("x-peer-port", str(request.client[1]))], await request.read())
    if path == "/echo-stream":
        return Response(200, [], aiter(request))
    if path == "/trailers":
        return Response(200, [("trailer", "x-sum")], pieces(b"a", b"b"), trailers=[("x-sum", "2")])
    if path == "/slow":
        await asyncio.sleep(0.05)
        return Response(200, [], b"slow")
    return Response(404, [], b"")


def run(scenario, **server_options):
    async def main():
        server = Server(app, **server_options)
        await server.listen("127.0.0.1", 0)
        try:
            async with Client(proxy=None, read_timeout=5, connect_timeout=5) as client:
                await asyncio.wait_for(scenario(client, f"http://127.0.0.1:{server.port}"), 20)
        finally:
            await server.shutdown(2)

    asyncio.run(main())


def test_keep_alive_streams_and_trailers_both_ways():
    async def scenario(client, base):
        ports = set()
        for size in (0, 1, 70_000):
            response = await client.request("POST", base + "/echo", body=b"x" * size)
            assert (response.status, await response.read()) == (200, b"x" * size)
            ports.add(response.headers.get("x-peer-port"))
        assert len(ports) == 1  # one connection carried all three

        response = await client.request(
            "PUT", base + "/echo-stream", body=pieces(b"one ", b"", b"two " * 5000, b"three")
        )
        assert response.headers.get("transfer-encoding") == b"chunked"
        assert await response.read() == b"one " + b"two " * 5000 + b"three"

        response = await client.request("GET", base + "/trailers", headers=[("te", "trailers")])
        assert await response.read() == b"ab"
        assert response.trailers.get("x-sum") == b"2"

        response = await client.request("HEAD", base + "/echo")
        assert (response.status, await response.read()) == (200, b"")

    run(scenario)


def test_concurrent_requests_share_a_pool():
    async def scenario(client, base):
        responses = await asyncio.gather(*(client.request("GET", base + "/slow") for _ in range(12)))
        assert [await r.read() for r in responses] == [b"slow"] * 12
        # The connections went back to the pool: a second wave opens none.
        ports = {
            (await client.request("POST", base + "/echo", body=b"")).headers.get("x-peer-port")
            for _ in range(3)
        }
        assert len(ports) == 1

    run(scenario)


def test_server_closing_an_idle_connection_is_noticed_by_the_client():
    async def scenario(client, base):
        first = await client.request("POST", base + "/echo", body=b"1")
        await first.read()
        # Past the idle timeout the server closes; the client's idle watcher
        # notices, whenever the server's sweep gets to it.
        for _ in range(500):
            if first.connection.closed:
                break
            await asyncio.sleep(0.01)
        assert first.connection.closed
        second = await client.request("POST", base + "/echo", body=b"2")
        assert await second.read() == b"2"
        assert second.headers.get("x-peer-port") != first.headers.get("x-peer-port")

    run(scenario, idle_timeout=0.3)
