"""A gunicorn worker class: `gunicorn -k vantric.workers.VantricWorker module:app`.

gunicorn supervises (forks, timeouts, graceful restarts, its signals); each
worker serves the ASGI application on gunicorn's listening sockets with one
`Server` per socket on an asyncio loop, keeps gunicorn's heartbeat while it
serves, and on SIGTERM (gunicorn's graceful stop and reload) finishes the
requests in flight within `--graceful-timeout`.
"""

from __future__ import annotations

import asyncio
import os
import signal
import sys
from typing import Any

from gunicorn.workers.base import Worker  # type: ignore[import-untyped]

from .asgi import ASGIHandler, limit_requests
from .server import Server, _log_error

__all__ = ["VantricWorker"]


class VantricWorker(Worker):  # type: ignore[misc]  # gunicorn has no type information
    """Serves an ASGI application under gunicorn."""

    def init_signals(self) -> None:
        # The event loop takes the signals gunicorn sends a worker (run()).
        for signum in self.SIGNALS:
            signal.signal(signum, signal.SIG_DFL)
        signal.signal(signal.SIGUSR1, signal.SIG_IGN)  # log reopening: nothing kept open

    def run(self) -> None:
        asyncio.run(self._serve())

    async def _serve(self) -> None:
        loop = asyncio.get_running_loop()
        loop.set_exception_handler(_log_error)
        cfg: Any = self.cfg
        stop = asyncio.Event()
        quick = False

        def leave(now: bool) -> None:
            nonlocal quick
            quick = quick or now
            self.alive = False
            stop.set()

        def restart() -> None:
            self.log.info("Autorestarting worker after current request.")
            leave(False)

        app = self.wsgi
        if self.max_requests < sys.maxsize:
            # gunicorn's --max-requests (with its jitter): the arbiter starts another worker.
            app = limit_requests(app, self.max_requests, restart)
        handler = ASGIHandler(app)
        options: dict[str, Any] = {"keep_alive": cfg.keepalive > 0, "idle_timeout": float(cfg.keepalive or 5)}
        if cfg.is_ssl:
            options["ssl"] = self._ssl_context()
        servers = []
        for listener in self.sockets:
            server = Server(handler, access_log=cfg.accesslog is not None, **options)
            await server.listen(sock=listener.sock)
            servers.append(server)

        loop.add_signal_handler(signal.SIGTERM, leave, False)  # graceful: gunicorn's stop and reload
        loop.add_signal_handler(signal.SIGQUIT, leave, True)
        loop.add_signal_handler(signal.SIGINT, leave, True)
        beat = max(0.5, min(self.timeout / 2.0, 5.0)) if self.timeout else 1.0
        while self.alive:
            self.notify()  # the heartbeat gunicorn's arbiter watches
            if self.ppid != os.getppid():
                break  # the arbiter is gone
            try:
                await asyncio.wait_for(stop.wait(), beat)
            except TimeoutError:
                pass
        grace = 0.0 if quick else float(cfg.graceful_timeout)
        await asyncio.gather(*(server.shutdown(grace) for server in servers))

    def _ssl_context(self) -> Any:
        """gunicorn's TLS settings (certificate, --cert-reqs, --ca-certs,
        --ciphers, a configured ssl_context hook) as gunicorn itself reads them;
        the server sets ALPN."""
        from gunicorn import sock  # type: ignore[import-untyped]

        make = getattr(sock, "ssl_context", None)
        if make is not None:
            return make(self.cfg)
        import ssl  # an older gunicorn: the same settings, read here

        cfg: Any = self.cfg
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH, cafile=cfg.ca_certs)
        context.load_cert_chain(cfg.certfile, cfg.keyfile)
        context.verify_mode = cfg.cert_reqs
        if cfg.ciphers:
            context.set_ciphers(cfg.ciphers)
        return context
