"""Public HTTP vocabulary: the header collection and shared helpers."""

from ._vantric import HeaderMap, http_date, uri_parts

__all__ = ["HeaderMap", "http_date", "uri_parts"]
