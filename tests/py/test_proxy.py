"""ProxyMatcher and ProxyIntercept: environment, proxy entries, NO_PROXY rules."""

import base64
import inspect
import threading
import urllib.parse
import urllib.request

import pytest

from conftest import assert_no_leaks, swallowing
from vantric._vantric import ProxyIntercept, ProxyMatcher

VARIABLES = [
    "ALL_PROXY",
    "all_proxy",
    "HTTP_PROXY",
    "http_proxy",
    "HTTPS_PROXY",
    "https_proxy",
    "NO_PROXY",
    "no_proxy",
    "REQUEST_METHOD",
]


@pytest.fixture
def env(monkeypatch):
    """A process environment without any proxy variable; set more per test."""
    for name in VARIABLES:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


def uri_for(matcher, url):
    found = matcher.intercept(url)
    return None if found is None else found.uri


def basic(user, password):
    return "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()


# ---- from_env ------------------------------------------------------------------

ENV_CASES = [
    # variables, proxy for http://h/, proxy for https://h/
    ({}, None, None),
    ({"HTTP_PROXY": "p:1"}, "http://p:1/", None),
    ({"http_proxy": "p:1"}, "http://p:1/", None),
    ({"HTTPS_PROXY": "https://s"}, None, "https://s/"),
    ({"HTTP_PROXY": "p:1", "http_proxy": "q:2"}, "http://p:1/", None),
    ({"HTTP_PROXY": "", "http_proxy": "q:2"}, None, None),
    ({"HTTP_PROXY": "", "http_proxy": "q:2", "ALL_PROXY": "a:3"}, "http://a:3/", "http://a:3/"),
    ({"all_proxy": "socks5h://a"}, "socks5h://a/", "socks5h://a/"),
    ({"HTTP_PROXY": "ftp://p", "ALL_PROXY": "a:3"}, "http://a:3/", "http://a:3/"),
    # Invalid UTF-8 makes a variable unusable: its lower-case twin counts.
    ({"HTTP_PROXY": "\udcff", "http_proxy": "q:2"}, "http://q:2/", None),
    # CGI: request headers arrive as HTTP_* variables, so nothing is read.
    ({"REQUEST_METHOD": "GET", "HTTP_PROXY": "p:1", "ALL_PROXY": "a:3"}, None, None),
    ({"REQUEST_METHOD": "", "http_proxy": "p:1", "HTTPS_PROXY": "s:2"}, None, None),
    # NO_PROXY follows the same rules.
    ({"HTTP_PROXY": "p:1", "NO_PROXY": "h"}, None, None),
    ({"HTTP_PROXY": "p:1", "NO_PROXY": "", "no_proxy": "h"}, "http://p:1/", None),
]


@pytest.mark.parametrize("variables,http,https", ENV_CASES)
def test_from_env(env, variables, http, https):
    for name, value in variables.items():
        env.setenv(name, value)
    matcher = ProxyMatcher.from_env()
    assert uri_for(matcher, "http://h/") == http
    assert uri_for(matcher, "https://h/") == https


def test_from_env_reads_when_called(env):
    before = ProxyMatcher.from_env()
    env.setenv("HTTP_PROXY", "p:1")
    after = ProxyMatcher.from_env()
    env.delenv("HTTP_PROXY")
    assert uri_for(before, "http://h/") is None
    assert uri_for(after, "http://h/") == "http://p:1/"
    assert uri_for(ProxyMatcher.from_env(), "http://h/") is None


# ---- from_parts and proxy entries ------------------------------------------------


def test_all_serves_http_and_https_only():
    matcher = ProxyMatcher.from_parts(all="http://proxy:3128")
    for url in ["http://h/", "https://h/", "HTTPS://H:8443/x?y#z"]:
        assert uri_for(matcher, url) == "http://proxy:3128/"
    for url in ["ws://h/", "wss://h/", "ftp://h/", "h:80", "/path", "*", "", "http://a b/"]:
        assert matcher.intercept(url) is None, url


def test_own_settings_win_over_all():
    matcher = ProxyMatcher.from_parts(all="a", http="p", https="")
    assert uri_for(matcher, "http://h/") == "http://p/"
    assert uri_for(matcher, "https://h/") == "http://a/"
    unset = ProxyMatcher.from_parts(all=None, http=None, https=None, no=None)
    assert unset.intercept("http://h/") is None and unset.intercept("https://h/") is None


ENTRY_CASES = [
    ("proxy:3128", "http://proxy:3128/"),
    ("HTTP://Proxy.Example:8080/path?q", "http://Proxy.Example:8080/"),
    ("http://p:", "http://p/"),
    ("ftp://p", None),
    ("http://p:99999", None),
    ("http://\udcff", None),
]


@pytest.mark.parametrize("setting,uri", ENTRY_CASES)
def test_proxy_entries(setting, uri):
    assert uri_for(ProxyMatcher.from_parts(http=setting), "http://h/") == uri


CREDENTIAL_CASES = [
    # setting, user, password (None: no user information)
    ("http://user:pass@p:1", "user", "pass"),
    ("user:pass@p:1", "user", "pass"),
    ("http://a%20b:p@p", "a b", "p"),
    ("http://user@p", "user", ""),
    ("http://u:%3A%40%25@p", "u", ":@%"),
    ("http://%C3%A9t%C3%A9:%E2%82%AC@p", "\u00e9t\u00e9", "\u20ac"),
    ("http://%ff%c3:p%80@p", "%ff%c3", "p%80"),
    ("https://p", None, None),
]


@pytest.mark.parametrize("setting,user,password", CREDENTIAL_CASES)
def test_basic_auth(setting, user, password):
    found = ProxyMatcher.from_parts(https=setting).intercept("https://h/")
    assert "@" not in found.uri and found.raw_auth() is None
    if user is None:
        assert found.basic_auth() is None
        return
    # The test decodes independently, with the host's own replacement rules.
    user = urllib.parse.unquote(user, errors="replace")
    password = urllib.parse.unquote(password, errors="replace")
    assert found.basic_auth() == basic(user, password)


@pytest.mark.parametrize(
    "setting,raw",
    [
        ("socks5://u:p@s:1080", ("u", "p")),
        ("socks5h://u@s", ("u", "")),
        ("socks4://a%20b:%e2%82%ac%ff@s", ("a b", "\u20ac\ufffd")),
        ("socks4a://s", None),
    ],
)
def test_socks_credentials(setting, raw):
    found = ProxyMatcher.from_parts(all=setting).intercept("http://h/")
    assert found.raw_auth() == raw and found.basic_auth() is None
    assert "@" not in found.uri


# ---- NO_PROXY --------------------------------------------------------------------

BYPASS_CASES = [
    # NO_PROXY, destination host, bypassed
    ("example.com", "example.com", True),
    ("example.com", "www.example.com", True),
    ("example.com", "badexample.com", False),
    (".example.com", "example.com", True),
    (".example.com", "a.b.example.com", True),
    ("example.com", "example.com.", True),
    ("example.com.", "www.example.com", True),
    ("*", "anything.test", True),
    ("*", "10.0.0.1", False),
    ("*", "[::1]", False),
    ("*.example.com", "www.example.com", False),
    ("10.0.0.0/8", "10.1.2.3", True),
    ("127.0.0.1", "127.0.0.1", True),
    ("::1", "[::1]", True),
    ("[::1]", "[::1]", True),
    ("fe80::/10", "[FE80::AB]", True),
    ("fe80::/10", "[fec0::1]", False),
    ("2001:DB8::/32", "[2001:db8:ffff::1]", True),
    ("::/0", "10.0.0.1", False),
    ("10.0.0.1", "10.0.0.1.nip.io", False),
    ("example.com", "10.0.0.1", False),
    # Lists: trimmed pieces, empty pieces ignored.
    ("  a.test ,\tb.test  ", "b.test", True),
    ("a.test,,b.test,", "b.test", True),
    ("x.test, 10.0.0.0/8, ::1, .example.com", "[::1]", True),
    ("x.test, 10.0.0.0/8, ::1, .example.com", "example.org", False),
]


def case_variants(text):
    return {text, text.upper(), text.lower()}


@pytest.mark.parametrize("no,host,bypassed", BYPASS_CASES)
def test_bypass(no, host, bypassed):
    for no_text in case_variants(no):
        matcher = ProxyMatcher.from_parts(all="p:1", no=no_text)
        for host_text in case_variants(host):
            for scheme in ["http", "HTTPS"]:
                url = f"{scheme}://{host_text}:8080/path"
                expected = None if bypassed else "http://p:1/"
                assert uri_for(matcher, url) == expected, (no_text, url)


def test_bypass_agrees_with_urllib_on_names():
    # For name hosts and plain domain entries the standard library's rule is
    # the same one; it is the differential oracle here.
    names = ["a.test", "b.a.test", "ba.test", "test", "A.Test", "x.b.a.test", "a.test.x"]
    entries = ["a.test", ".a.test", "test", ".test", "b.a.test", "A.TEST", "x"]
    for no in [", ".join(entries[:k]) for k in range(1, len(entries) + 1)] + entries:
        matcher = ProxyMatcher.from_parts(http="p", no=no)
        for host in names:
            expected = urllib.request.proxy_bypass_environment(host, {"no": no})
            assert (matcher.intercept(f"http://{host}/") is None) == bool(expected), (no, host)


# ---- host surface --------------------------------------------------------------------


def test_repr_and_uri():
    found = ProxyMatcher.from_parts(all="socks5://u:p@[::1]:1080/x").intercept("http://h/")
    assert repr(found) == 'ProxyIntercept(uri="socks5://[::1]:1080/")'
    assert found.uri == "socks5://[::1]:1080/" and type(found.uri) is str
    assert repr(ProxyMatcher.from_parts()).startswith("<vantric._vantric.ProxyMatcher object at ")


def test_intercepts_outlive_their_matcher():
    matcher = ProxyMatcher.from_parts(all="http://u:p@p")
    first, second = matcher.intercept("http://h/"), matcher.intercept("https://h/")
    assert first is not second
    del matcher
    assert first.uri == second.uri == "http://p/" and first.basic_auth() == basic("u", "p")


def test_lone_surrogates_are_unusable_text_not_errors():
    matcher = ProxyMatcher.from_parts(all="p", no="\udcff.test, b.test")
    assert matcher.intercept("http://b.test/") is None
    assert uri_for(matcher, "http://h/\udcff") == "http://p/"
    assert matcher.intercept("http://\udcff/") is None
    assert ProxyMatcher.from_parts(all="\udcffp").intercept("http://h/") is None


@pytest.mark.parametrize(
    "call,message",
    [
        (
            lambda: ProxyMatcher.from_parts().intercept(b"http://h/"),
            "ProxyMatcher.intercept() argument 'url' must be str, not bytes",
        ),
        (
            lambda: ProxyMatcher.from_parts().intercept(None),
            "ProxyMatcher.intercept() argument 'url' must be str, not NoneType",
        ),
        (
            lambda: ProxyMatcher.from_parts().intercept(),
            "ProxyMatcher.intercept() missing 1 required positional argument: 'url'",
        ),
        (
            lambda: ProxyMatcher.from_parts(all=b"p"),
            "ProxyMatcher.from_parts() argument 'all' must be str or None, not bytes",
        ),
        (
            lambda: ProxyMatcher.from_parts(no=1),
            "ProxyMatcher.from_parts() argument 'no' must be str or None, not int",
        ),
        (
            lambda: ProxyMatcher.from_parts("p"),
            "ProxyMatcher.from_parts() takes 0 positional arguments but 1 was given",
        ),
        (
            lambda: ProxyMatcher.from_parts(every="p"),
            "ProxyMatcher.from_parts() got an unexpected keyword argument 'every'",
        ),
        (
            lambda: ProxyMatcher.from_env(1),
            "ProxyMatcher.from_env() takes 0 positional arguments but 1 was given",
        ),
        (
            lambda: ProxyMatcher.from_parts(all="p").intercept("http://h/").basic_auth(1),
            "ProxyIntercept.basic_auth() takes 1 positional argument but 2 were given",
        ),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_classes():
    for cls in (ProxyMatcher, ProxyIntercept):
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        assert cls.__module__ == "vantric._vantric"
    found = ProxyMatcher.from_parts(all="p").intercept("http://h/")
    with pytest.raises(AttributeError):
        found.uri = "x"
    with pytest.raises(AttributeError):
        found.other = 1
    assert str(inspect.signature(ProxyMatcher.from_parts)) == "(*, all=None, http=None, https=None, no=None)"
    assert str(inspect.signature(ProxyMatcher.from_env)) == "()"
    assert str(inspect.signature(ProxyMatcher.intercept)) == "(self, /, url)"
    # Static methods work on an instance too.
    assert uri_for(ProxyMatcher.from_parts().from_parts(http="p"), "http://h/") == "http://p/"


def test_threads_share_one_matcher():
    matcher = ProxyMatcher.from_parts(all="p", no="10.0.0.0/8, .direct.test")
    failures = []

    def run():
        for i in range(2000):
            if matcher.intercept(f"http://10.0.{i % 256}.1/") is not None:
                failures.append(i)
            if uri_for(matcher, f"https://h{i}.test/") != "http://p/":
                failures.append(i)

    threads = [threading.Thread(target=run) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_no_leaks(env):
    env.setenv("HTTP_PROXY", "http://u:p@p:1")
    env.setenv("NO_PROXY", "a.test, 10.0.0.0/8")
    matcher = ProxyMatcher.from_parts(all="socks5://u:p@s", http="http://u:p@p", no="a.test")
    found = matcher.intercept("http://h/")
    socks = matcher.intercept("https://h/")
    assert_no_leaks(
        [
            ProxyMatcher.from_env,
            lambda: ProxyMatcher.from_parts(all="socks5://u:p@s", no="a, b, ::1, 10.0.0.0/8"),
            lambda: matcher.intercept("http://h/"),
            lambda: matcher.intercept("http://a.test/"),
            lambda: matcher.intercept("http://h/\udcff"),
            found.basic_auth,
            socks.raw_auth,
            lambda: repr(found),
            lambda: found.uri,
            swallowing(matcher.intercept, b"x"),
            swallowing(ProxyMatcher.from_parts, no=1),
        ]
    )
