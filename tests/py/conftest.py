import gc
import tracemalloc

import pytest

from vantric import _vantric


@pytest.fixture(scope="session")
def testing():
    """The test-hook namespace of builds configured with VANTRIC_TEST_HOOKS."""
    hooks = getattr(_vantric, "_testing", None)
    if hooks is None:
        pytest.skip("the extension was built without test hooks")
    return hooks


def growth(operation, rounds=3000):
    """(bytes, objects) still allocated after `rounds` more calls of `operation`."""
    for _ in range(200):
        operation()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        objects = len(gc.get_objects())
        for _ in range(rounds):
            operation()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before, len(gc.get_objects()) - objects
    finally:
        tracemalloc.stop()


def swallowing(fn, *args, **kwargs):
    """A call of fn that ignores whatever it raises (for leak loops over failures)."""

    def run():
        try:
            fn(*args, **kwargs)
        except BaseException:
            pass

    return run


def assert_no_leaks(operations):
    for operation in operations:
        memory, objects = growth(operation)
        assert objects <= 5, operation
        assert memory < 64 * 1024, operation
