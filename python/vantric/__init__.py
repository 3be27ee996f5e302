"""Sans-IO HTTP/1.1 and HTTP/2 protocol core for asynchronous clients and servers."""

from . import _vantric  # noqa: F401  # loaded first, as vantric._vantric
from ._vantric import __version__

__all__ = ["__version__"]
