"""uri_parts, http_date and OnceLatch."""

import email.utils
import threading
import time

import pytest

from conftest import assert_no_leaks, swallowing
from vantric._vantric import OnceLatch, http_date, uri_parts

URI_CASES = [
    ("https://[::1]:8443/x", ("https", "::1", 8443, "[::1]:8443")),
    ("ws://H/chat", ("ws", "H", 80, "H:80")),
    ("h", (None, "h", None, None)),
    ("h:8080", (None, "h", 8080, "h:8080")),
    ("ftp://h", ("ftp", "h", None, None)),
    ("http://h:99999", ("http", "h", 80, "h:80")),
    ("http://h:", ("http", "h", 80, "h:80")),
    ("http://user:pw@h:81/p?q", ("http", "h", 81, "h:81")),
    ("WS://h/", ("WS", "h", None, None)),
    ("HTTPS://Example.COM", ("https", "Example.COM", 443, "Example.COM:443")),
    ("wss://h", ("wss", "h", 443, "h:443")),
    ("http://127.0.0.1:0/", ("http", "127.0.0.1", 0, "127.0.0.1:0")),
    ("/just/a/path?x=1", (None, None, None, None)),
    ("*", (None, None, None, None)),
]


@pytest.mark.parametrize("url,parts", URI_CASES)
def test_uri_parts(url, parts):
    assert uri_parts(url) == parts


@pytest.mark.parametrize(
    "url,reason",
    [
        ("http://a b/", "invalid uri character"),
        ("", "empty string"),
        ("x" * 65535, "uri too long"),
    ],
)
def test_uri_parts_errors(url, reason):
    with pytest.raises(ValueError) as info:
        uri_parts(url)
    message = str(info.value)
    assert message.startswith('invalid url "') and message.endswith(": " + reason)


def test_uri_parts_error_quotes_the_input():
    with pytest.raises(ValueError) as info:
        uri_parts('http://a"\\\n b')
    assert str(info.value).startswith('invalid url "http://a\\"\\\\\\n b": ')


def test_uri_parts_arguments():
    with pytest.raises(TypeError, match="'url'"):
        uri_parts(b"http://h/")
    assert uri_parts(url="http://h") == ("http", "h", 80, "h:80")


def test_http_date():
    first = http_date()
    assert type(first) is bytes and len(first) == 29 and first.endswith(b" GMT")
    parsed = email.utils.parsedate_to_datetime(first.decode())
    assert abs(parsed.timestamp() - time.time()) < 3
    # Within one second the value is the same; wait for a fresh second first.
    while http_date() == first:
        time.sleep(0.01)
    a, b = http_date(), http_date()
    assert (
        a == b
        or email.utils.parsedate_to_datetime(b.decode()).timestamp()
        - email.utils.parsedate_to_datetime(a.decode()).timestamp()
        == 1
    )


def test_http_date_per_thread():
    values = []
    threads = [threading.Thread(target=lambda: values.append(http_date())) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(values) == 4 and all(len(v) == 29 for v in values)


def test_once_latch_single_winner():
    for _ in range(20):
        latch = OnceLatch()
        assert latch.is_set is False
        wins = []
        barrier = threading.Barrier(8)

        def race():
            barrier.wait()
            wins.append(latch.try_acquire())

        threads = [threading.Thread(target=race) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert wins.count(True) == 1 and wins.count(False) == 7
        assert latch.is_set is True and latch.try_acquire() is False
    with pytest.raises(AttributeError):
        latch.is_set = False
    with pytest.raises(TypeError):
        OnceLatch(1)


def test_no_leaks():
    latch = OnceLatch()
    assert_no_leaks(
        [
            lambda: uri_parts("https://user@[::1]:8443/x"),
            swallowing(uri_parts, "http://a b"),
            http_date,
            lambda: (OnceLatch().try_acquire(), latch.try_acquire(), latch.is_set),
        ]
    )
