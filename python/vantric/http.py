"""Public HTTP vocabulary: the header collection and shared helpers."""

from . import _vantric

__all__ = [name for name in ("HeaderMap", "http_date", "uri_parts") if hasattr(_vantric, name)]

globals().update({name: getattr(_vantric, name) for name in __all__})
