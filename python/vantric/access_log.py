"""The access log: one line per exchange on the "vantric.access" logger.

    127.0.0.1:50312 - "GET /items/7?full=1 HTTP/1.1" 200 42 0.8ms

(client, request line, status, body bytes sent, time from the request head to
the end of the response).  A status of 0 means no response went out (the
client left first).
"""

from __future__ import annotations

import logging
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .exchange import Request

__all__ = ["access_logger", "log_exchange"]

access_logger = logging.getLogger("vantric.access")


def log_exchange(request: Request, started: float, ended: float) -> None:
    client = request.client
    who = f"{client[0]}:{client[1]}" if type(client) is tuple else (client or "-")
    access_logger.info(
        '%s - "%s %s HTTP/%s" %d %d %.1fms',
        who, request.method, request.target, request.http_version,
        getattr(request, "_status", 0), getattr(request, "_sent", 0),
        (ended - started) * 1000.0,
    )  # fmt: skip
