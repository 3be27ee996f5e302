import pytest

from vantric import _vantric


@pytest.fixture(scope="session")
def testing():
    """The test-hook namespace of builds configured with VANTRIC_TEST_HOOKS."""
    hooks = getattr(_vantric, "_testing", None)
    if hooks is None:
        pytest.skip("the extension was built without test hooks")
    return hooks
