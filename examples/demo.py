"""A short tour of the protocol core: what the module offers and how its errors look."""

import vantric
from vantric import _vantric


def main() -> None:
    print(f"vantric {vantric.__version__}: {len(_vantric.__all__)} names")
    print("HTTP/2 connection preface:", _vantric.H2_PREFACE)
    print("largest stream id:", _vantric.H2_MAX_STREAM_ID)
    for cls in (_vantric.H1ParseError, _vantric.H2StreamError, _vantric.ConnectionClosedError):
        chain = " -> ".join(c.__name__ for c in cls.__mro__[:-2])
        print(f"{cls.__name__}: {chain}")
    try:
        raise _vantric.H2StreamError(5, 8, "remote")
    except _vantric.VantricError as exc:
        print("caught:", repr(exc))


if __name__ == "__main__":
    main()
