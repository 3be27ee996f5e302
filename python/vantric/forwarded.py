"""The client's address and scheme as a trusted proxy reports them.

Behind a reverse proxy every connection comes from the proxy; the proxy names
the real client in `X-Forwarded-For` / `X-Forwarded-Proto` or in RFC 7239's
`Forwarded`.  Those fields are believed only on connections from addresses
listed as trusted: anybody else could write them.  Through a chain of proxies
the client is the last address, from the right, that is not itself a trusted
proxy.
"""

from __future__ import annotations

import ipaddress
from collections.abc import Iterable
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ._vantric import HeaderMap

__all__ = ["TrustedProxies"]

_Network = ipaddress.IPv4Network | ipaddress.IPv6Network


class TrustedProxies:
    """The addresses whose forwarding fields are believed: "*" for every one,
    IP addresses, networks ("10.0.0.0/8"), or "unix:" for Unix-socket peers;
    given as a list or one comma-separated string."""

    def __init__(self, allowed: str | Iterable[str]) -> None:
        items = allowed.split(",") if isinstance(allowed, str) else allowed
        self.everyone = False
        self.unix = False
        self.networks: list[_Network] = []
        for item in (i.strip() for i in items):
            if not item:
                continue
            if item == "*":
                self.everyone = True
            elif item == "unix:":
                self.unix = True
            else:
                self.networks.append(ipaddress.ip_network(item, strict=False))

    def trusts(self, host: str) -> bool:
        if self.everyone:
            return True
        try:
            address = ipaddress.ip_address(host)
        except ValueError:
            return False
        return any(address in network for network in self.networks)

    def trusts_peer(self, peer: object) -> bool:
        """Whether the connection's peer (as the socket names it) is trusted."""
        if type(peer) is tuple:
            return self.trusts(peer[0])
        return self.unix or self.everyone  # a Unix socket: no address to check

    def resolve(self, headers: HeaderMap) -> tuple[str | None, str | None]:
        """(client host, scheme) the forwarding fields of a trusted peer give;
        None for what they do not say."""
        has_forwarded = "forwarded" in headers
        if not has_forwarded and "x-forwarded-for" not in headers and "x-forwarded-proto" not in headers:
            return None, None  # the usual request, even behind a proxy: nothing to say
        forwarded = headers.get_all("forwarded") if has_forwarded else None
        if forwarded:
            hops = _forwarded_hops(b",".join(forwarded).decode("latin-1"))
            chosen = self._client_hop(hops)
            if chosen is not None:
                return _host_of(chosen.get("for")), chosen.get("proto")
        host = scheme = None
        chain = headers.get_all("x-forwarded-for")
        if chain:
            hops = [{"for": h.strip()} for h in b",".join(chain).decode("latin-1").split(",") if h.strip()]
            chosen = self._client_hop(hops)
            if chosen is not None:
                host = _host_of(chosen["for"])
        proto = headers.get_all("x-forwarded-proto")
        if proto:
            # The nearest proxy's word: the last value.
            scheme = b",".join(proto).decode("latin-1").split(",")[-1].strip().lower() or None
        return host, scheme

    def _client_hop(self, hops: list[dict[str, str]]) -> dict[str, str] | None:
        """The hop that names the client: walking from the nearest proxy, the
        first whose address is not a trusted proxy (the farthest when all are)."""
        for hop in reversed(hops):
            address = _host_of(hop.get("for"))
            if address is None or not self.trusts(address):
                return hop
        return hops[0] if hops else None


def _forwarded_hops(value: str) -> list[dict[str, str]]:
    """RFC 7239 section 4: comma-separated elements of semicolon-separated pairs."""
    hops = []
    for element in value.split(","):
        pairs: dict[str, str] = {}
        for pair in element.split(";"):
            name, _, content = pair.partition("=")
            if content:
                pairs[name.strip().lower()] = content.strip().strip('"')
        if pairs:
            if "proto" in pairs:
                pairs["proto"] = pairs["proto"].lower()
            hops.append(pairs)
    return hops


def _host_of(node: str | None) -> str | None:
    """The address of a node: without port, IPv6 brackets removed (RFC 7239
    section 6); None for "unknown" or obfuscated identifiers."""
    if not node:
        return None
    if node.startswith("["):
        return node[1 : node.find("]")] if "]" in node else None
    if node.count(":") == 1:
        node = node.partition(":")[0]
    try:
        ipaddress.ip_address(node)
    except ValueError:
        return None
    return node
