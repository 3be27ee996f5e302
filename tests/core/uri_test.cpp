#include "core/http/uri.h"

#include <gtest/gtest.h>

#include <string>

namespace vantric::http {
namespace {

constexpr int kNoPort = -1;

// nullptr stands for an absent component; "" for a present, empty one.
struct Parsed {
  const char* input;
  UriForm form;
  const char* scheme;
  const char* userinfo;
  const char* host;
  const char* port_text;
  int port;
  const char* path;
  const char* query;
  const char* fragment;
};

std::string show(std::string_view v, bool present) {
  return present ? "'" + std::string(v) + "'" : "-";
}
std::string show(const char* v) {
  return v ? "'" + std::string(v) + "'" : "-";
}

void expect_parsed(const Parsed& c, const Uri& u) {
  SCOPED_TRACE(c.input);
  EXPECT_EQ(u.form, c.form);
  EXPECT_EQ(show(u.scheme, u.scheme_kind != SchemeKind::kNone), show(c.scheme));
  EXPECT_EQ(show(u.userinfo, u.has_userinfo), show(c.userinfo));
  EXPECT_EQ(show(u.host, !u.host.empty()), show(c.host));
  EXPECT_EQ(show(u.port_text, u.has_port), show(c.port_text));
  EXPECT_EQ(u.port ? int{*u.port} : kNoPort, c.port);
  EXPECT_EQ(u.path, c.path ? c.path : "");
  EXPECT_EQ(show(u.query, u.has_query), show(c.query));
  EXPECT_EQ(show(u.fragment, u.has_fragment), show(c.fragment));
}

TEST(Uri, AcceptedForms) {
  using F = UriForm;
  const Parsed cases[] = {
      // input, form, scheme, userinfo, host, port text, port, path, query, fragment
      {"/", F::kOrigin, nullptr, nullptr, nullptr, nullptr, kNoPort, "/", nullptr, nullptr},
      {"/a/b?x=1&y", F::kOrigin, nullptr, nullptr, nullptr, nullptr, kNoPort, "/a/b", "x=1&y", nullptr},
      {"/?", F::kOrigin, nullptr, nullptr, nullptr, nullptr, kNoPort, "/", "", nullptr},
      {"//evil/x", F::kOrigin, nullptr, nullptr, nullptr, nullptr, kNoPort, "//evil/x", nullptr, nullptr},
      {"/p?q?r/s#f#g", F::kOrigin, nullptr, nullptr, nullptr, nullptr, kNoPort, "/p", "q?r/s", "f#g"},
      {"/{a}|^`\"<>\\?[x]", F::kOrigin, nullptr, nullptr, nullptr, nullptr, kNoPort, "/{a}|^`\"<>\\", "[x]",
       nullptr},
      {"/caf\xc3\xa9/%zz", F::kOrigin, nullptr, nullptr, nullptr, nullptr, kNoPort, "/caf\xc3\xa9/%zz",
       nullptr, nullptr},
      {"*", F::kAsterisk, nullptr, nullptr, nullptr, nullptr, kNoPort, "*", nullptr, nullptr},
      {"http://example.com", F::kAbsolute, "http", nullptr, "example.com", nullptr, kNoPort, "", nullptr,
       nullptr},
      {"HTTPS://Example.COM:8443/P?Q#F", F::kAbsolute, "https", nullptr, "Example.COM", "8443", 8443, "/P",
       "Q", "F"},
      {"hTtP://h?q", F::kAbsolute, "http", nullptr, "h", nullptr, kNoPort, "", "q", nullptr},
      {"ws://h/chat", F::kAbsolute, "ws", nullptr, "h", nullptr, kNoPort, "/chat", nullptr, nullptr},
      {"WS://h", F::kAbsolute, "WS", nullptr, "h", nullptr, kNoPort, "", nullptr, nullptr},
      {"svn+ssh.x-y://h", F::kAbsolute, "svn+ssh.x-y", nullptr, "h", nullptr, kNoPort, "", nullptr, nullptr},
      {"http://u:p@h:81/", F::kAbsolute, "http", "u:p", "h", "81", 81, "/", nullptr, nullptr},
      {"http://@h/", F::kAbsolute, "http", "", "h", nullptr, kNoPort, "/", nullptr, nullptr},
      {"http://a%20b:p%zz!$@h", F::kAbsolute, "http", "a%20b:p%zz!$", "h", nullptr, kNoPort, "", nullptr,
       nullptr},
      {"http://h:/", F::kAbsolute, "http", nullptr, "h", "", kNoPort, "/", nullptr, nullptr},
      {"http://h:99999", F::kAbsolute, "http", nullptr, "h", "99999", kNoPort, "", nullptr, nullptr},
      {"http://h:65535", F::kAbsolute, "http", nullptr, "h", "65535", 65535, "", nullptr, nullptr},
      {"http://h:00080", F::kAbsolute, "http", nullptr, "h", "00080", 80, "", nullptr, nullptr},
      {"http://h:0", F::kAbsolute, "http", nullptr, "h", "0", 0, "", nullptr, nullptr},
      {"http://h:123456789012345678901234567890", F::kAbsolute, "http", nullptr, "h",
       "123456789012345678901234567890", kNoPort, "", nullptr, nullptr},
      {"http://[::1]:8443/x", F::kAbsolute, "http", nullptr, "[::1]", "8443", 8443, "/x", nullptr, nullptr},
      {"http://[2001:DB8::192.0.2.1]", F::kAbsolute, "http", nullptr, "[2001:DB8::192.0.2.1]", nullptr,
       kNoPort, "", nullptr, nullptr},
      {"http://192.0.2.1:80", F::kAbsolute, "http", nullptr, "192.0.2.1", "80", 80, "", nullptr, nullptr},
      {"http://a.b-c_d~e!$&'()*+,;=%41", F::kAbsolute, "http", nullptr, "a.b-c_d~e!$&'()*+,;=%41", nullptr,
       kNoPort, "", nullptr, nullptr},
      {"example.com", F::kAuthority, nullptr, nullptr, "example.com", nullptr, kNoPort, nullptr, nullptr,
       nullptr},
      {"example.com:443", F::kAuthority, nullptr, nullptr, "example.com", "443", 443, nullptr, nullptr,
       nullptr},
      {"localhost:", F::kAuthority, nullptr, nullptr, "localhost", "", kNoPort, nullptr, nullptr, nullptr},
      {"[::1]:80", F::kAuthority, nullptr, nullptr, "[::1]", "80", 80, nullptr, nullptr, nullptr},
      {"user:pw@proxy:3128", F::kAuthority, nullptr, "user:pw", "proxy", "3128", 3128, nullptr, nullptr,
       nullptr},
      {"*x", F::kAuthority, nullptr, nullptr, "*x", nullptr, kNoPort, nullptr, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    Uri u;
    ASSERT_EQ(parse_uri(c.input, u), std::nullopt) << c.input;
    expect_parsed(c, u);
  }
}

TEST(Uri, ViewsCoverTheInput) {
  std::string input = "HTTP://user@[::1]:8080/a/b?c=d#e";
  Uri u;
  ASSERT_EQ(parse_uri(input, u), std::nullopt);
  EXPECT_EQ(u.scheme, "http");
  EXPECT_EQ(u.authority, "user@[::1]:8080");
  EXPECT_EQ(u.path_and_query, "/a/b?c=d");
  EXPECT_EQ(u.authority.data(), input.data() + 7);
  EXPECT_EQ(u.path_and_query.data(), input.data() + 22);
  // The absolute target minus its scheme, to rebuild it with a normalized one.
  EXPECT_EQ(std::string_view(input).substr(u.scheme.size()), "://user@[::1]:8080/a/b?c=d#e");
}

TEST(Uri, Errors) {
  struct Case {
    std::string input;
    UriError error;
  };
  const Case cases[] = {
      {"", UriError::kEmpty},
      {"http://a b/", UriError::kInvalidUriChar},
      {"/a b", UriError::kInvalidUriChar},
      {"/a\tb", UriError::kInvalidUriChar},
      {"/a\x7f", UriError::kInvalidUriChar},
      {"/a?b\nc", UriError::kInvalidUriChar},
      {"/a#b c", UriError::kInvalidUriChar},
      {std::string("/a\0", 3), UriError::kInvalidUriChar},
      {"a b", UriError::kInvalidUriChar},
      {"http://h:8 0/", UriError::kInvalidUriChar},
      {"1http://h", UriError::kInvalidScheme},
      {"-x://h", UriError::kInvalidScheme},
      {"://h", UriError::kSchemeMissing},
      {"example.com/path", UriError::kSchemeMissing},
      {"localhost:8080/x", UriError::kSchemeMissing},
      {"h?q", UriError::kSchemeMissing},
      {"h#f", UriError::kSchemeMissing},
      {"mailto:a/b", UriError::kInvalidFormat},
      {"http:/x", UriError::kInvalidFormat},
      {"data:text/plain,hi", UriError::kInvalidFormat},
      {"http://", UriError::kAuthorityMissing},
      {"http:///x", UriError::kAuthorityMissing},
      {"file:///etc/passwd", UriError::kAuthorityMissing},
      {"http://?q", UriError::kAuthorityMissing},
      {"http://:80/", UriError::kInvalidAuthority},
      {"http://u@/", UriError::kInvalidAuthority},
      {"http://a@b@h/", UriError::kInvalidAuthority},
      {"http://h\"/", UriError::kInvalidAuthority},
      {"http://h<x>/", UriError::kInvalidAuthority},
      {"http://caf\xc3\xa9.fr/", UriError::kInvalidAuthority},
      {"http://h%4/", UriError::kInvalidAuthority},
      {"http://h%zz/", UriError::kInvalidAuthority},
      {"http://u\"@h/", UriError::kInvalidAuthority},
      {"http://[::1/", UriError::kInvalidAuthority},
      {"http://[::1]x/", UriError::kInvalidAuthority},
      {"http://[1::2::3]/", UriError::kInvalidAuthority},
      {"http://[fe80::1%25eth0]/", UriError::kInvalidAuthority},
      {"http://[v1.x]/", UriError::kInvalidAuthority},
      {"http://[]/", UriError::kInvalidAuthority},
      {"http://h]:80/", UriError::kInvalidAuthority},
      {"::1", UriError::kInvalidAuthority},
      {"http://h:8a/", UriError::kInvalidPort},
      {"http://h:-1/", UriError::kInvalidPort},
      {"http://h:80:90/", UriError::kInvalidPort},
      {"host:port", UriError::kInvalidPort},
      {"urn:isbn:0451", UriError::kInvalidPort},
      {std::string(65, 'a') + "://h", UriError::kSchemeTooLong},
      {"/" + std::string(65534, 'a'), UriError::kTooLong},
  };
  for (const auto& c : cases) {
    Uri u;
    EXPECT_EQ(parse_uri(c.input, u), c.error) << c.input.substr(0, 70);
  }
}

TEST(Uri, LengthLimitIsInclusive) {
  Uri u;
  std::string at_limit = "/" + std::string(kMaxUriLength - 1, 'a');
  EXPECT_EQ(parse_uri(at_limit, u), std::nullopt);
  EXPECT_EQ(parse_uri(at_limit + "a", u), UriError::kTooLong);
  std::string scheme_at_limit = std::string(kMaxSchemeLength, 'a') + "://h";
  EXPECT_EQ(parse_uri(scheme_at_limit, u), std::nullopt);
}

TEST(Uri, ErrorDescriptions) {
  const std::pair<UriError, const char*> cases[] = {
      {UriError::kInvalidUriChar, "invalid uri character"},
      {UriError::kInvalidScheme, "invalid scheme"},
      {UriError::kInvalidAuthority, "invalid authority"},
      {UriError::kInvalidPort, "invalid port"},
      {UriError::kInvalidFormat, "invalid format"},
      {UriError::kSchemeMissing, "scheme missing"},
      {UriError::kAuthorityMissing, "authority missing"},
      {UriError::kPathMissing, "path missing"},
      {UriError::kPathNoSlash, "path does not start with slash"},
      {UriError::kTooLong, "uri too long"},
      {UriError::kEmpty, "empty string"},
      {UriError::kSchemeTooLong, "scheme too long"},
  };
  for (auto [error, text] : cases) EXPECT_EQ(uri_error_text(error), text);
}

TEST(Uri, AuthorityAlone) {
  struct Case {
    const char* input;
    std::optional<UriError> error;
    const char* host;
  };
  const Case cases[] = {
      {"example.com", std::nullopt, "example.com"},
      {"example.com:8080", std::nullopt, "example.com"},
      {"[2001:db8::1]:443", std::nullopt, "[2001:db8::1]"},
      {"", UriError::kEmpty, ""},
      {"example.com/x", UriError::kInvalidAuthority, ""},
      {"example.com:80/x", UriError::kInvalidPort, ""},
      {"a b", UriError::kInvalidUriChar, ""},
      {"http://example.com", UriError::kInvalidPort, ""},
  };
  for (const auto& c : cases) {
    Uri u;
    EXPECT_EQ(parse_authority(c.input, u), c.error) << c.input;
    if (c.error == std::nullopt) {
      EXPECT_EQ(u.host, c.host);
    }
  }
}

TEST(Uri, RequestPath) {
  struct Case {
    const char* input;
    std::optional<UriError> error;
    const char* path_and_query;
  };
  const Case cases[] = {
      {"/", std::nullopt, "/"},
      {"/a?b", std::nullopt, "/a?b"},
      {"*", std::nullopt, "*"},
      {"", UriError::kPathMissing, ""},
      {"a/b", UriError::kPathNoSlash, ""},
      {"http://h/", UriError::kPathNoSlash, ""},
      {"?q", UriError::kPathNoSlash, ""},
      {"/a b", UriError::kInvalidUriChar, ""},
      {"a b", UriError::kInvalidUriChar, ""},
  };
  for (const auto& c : cases) {
    Uri u;
    EXPECT_EQ(parse_request_path(c.input, u), c.error) << c.input;
    if (c.error == std::nullopt) {
      EXPECT_EQ(u.path_and_query, c.path_and_query);
    }
  }
}

TEST(Uri, IpAddresses) {
  struct Case4 {
    const char* text;
    bool ok;
    std::array<uint8_t, 4> bytes;
  };
  const Case4 v4[] = {
      {"0.0.0.0", true, {0, 0, 0, 0}},
      {"192.0.2.255", true, {192, 0, 2, 255}},
      {"256.0.0.1", false, {}},
      {"01.2.3.4", false, {}},
      {"1.2.3", false, {}},
      {"1.2.3.4.5", false, {}},
      {"1..2.3", false, {}},
      {"1.2.3.4 ", false, {}},
      {"", false, {}},
      {"1234.1.1.1", false, {}},
  };
  for (const auto& c : v4) {
    std::array<uint8_t, 4> out{};
    EXPECT_EQ(parse_ipv4(c.text, &out), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(out, c.bytes) << c.text;
    }
  }

  struct Case6 {
    const char* text;
    bool ok;
    std::array<uint8_t, 16> bytes;
  };
  const Case6 v6[] = {
      {"::", true, {}},
      {"::1", true, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
      {"1::", true, {0, 1}},
      {"2001:DB8::8:800:200C:417A",
       true,
       {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 8, 8, 0, 0x20, 0x0c, 0x41, 0x7a}},
      {"1:2:3:4:5:6:7:8", true, {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8}},
      {"1:2:3:4:5:6::8", true, {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 0, 0, 8}},
      {"::ffff:192.0.2.1", true, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1}},
      {"1:2:3:4:5:6:1.2.3.4", true, {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 1, 2, 3, 4}},
      {"", false, {}},
      {":", false, {}},
      {":::", false, {}},
      {"1:2:3:4:5:6:7:8:9", false, {}},
      {"1:2:3:4:5:6:7", false, {}},
      {"1:2:3:4::5:6:7:8", false, {}},
      {"1::2::3", false, {}},
      {":1::", false, {}},
      {"1:", false, {}},
      {"12345::", false, {}},
      {"g::", false, {}},
      {"::1.2.3", false, {}},
      {"1:2:3:4:5:6:7:1.2.3.4", false, {}},
      {"::1.2.3.4:5", false, {}},
      {"[::1]", false, {}},
  };
  for (const auto& c : v6) {
    std::array<uint8_t, 16> out{};
    EXPECT_EQ(parse_ipv6(c.text, &out), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(out, c.bytes) << c.text;
    }
  }
}

TEST(Uri, Parts) {
  struct Case {
    const char* url;
    const char* scheme;
    const char* host;
    int port;
    const char* authority;
  };
  const Case cases[] = {
      {"https://[::1]:8443/x", "https", "::1", 8443, "[::1]:8443"},
      {"ws://H/chat", "ws", "H", 80, "H:80"},
      {"h", nullptr, "h", kNoPort, nullptr},
      {"ftp://h", "ftp", "h", kNoPort, nullptr},
      {"http://h:99999", "http", "h", 80, "h:80"},
      {"http://user:pw@h:81/", "http", "h", 81, "h:81"},
      {"WS://h/", "WS", "h", kNoPort, nullptr},
      {"HTTPS://Example.com", "https", "Example.com", 443, "Example.com:443"},
      {"wss://h", "wss", "h", 443, "h:443"},
      {"http://h:/", "http", "h", 80, "h:80"},
      {"h:8080", nullptr, "h", 8080, "h:8080"},
      {"[::1]", nullptr, "::1", kNoPort, nullptr},
      {"/just/a/path", nullptr, nullptr, kNoPort, nullptr},
      {"*", nullptr, nullptr, kNoPort, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    UriParts p;
    ASSERT_EQ(uri_parts(c.url, p), std::nullopt);
    EXPECT_EQ(show(p.scheme.value_or(""), p.scheme.has_value()), show(c.scheme));
    EXPECT_EQ(show(p.host.value_or(""), p.host.has_value()), show(c.host));
    EXPECT_EQ(p.port ? int{*p.port} : kNoPort, c.port);
    EXPECT_EQ(show(p.authority.value_or(""), p.authority.has_value()), show(c.authority));
  }
  UriParts p;
  EXPECT_EQ(uri_parts("http://a b/", p), UriError::kInvalidUriChar);
}

TEST(Uri, QuoteForMessage) {
  struct Case {
    std::string in;
    const char* out;
  };
  const Case cases[] = {
      {"", "\"\""},
      {"http://h/", "\"http://h/\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\t\r\n", "\"\\t\\r\\n\""},
      {std::string("\0\x1b\x7f", 3), "\"\\x00\\x1b\\x7f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"\xc2\x85", "\"\\x85\""},                         // C1 control NEL
      {"\xff\xc3", "\"\\xff\\xc3\""},                    // not UTF-8
      {"\xc0\xaf", "\"\\xc0\\xaf\""},                    // overlong
      {"\xed\xa0\x80", "\"\\xed\\xa0\\x80\""},           // surrogate
      {"\xf4\x90\x80\x80", "\"\\xf4\\x90\\x80\\x80\""},  // above U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(quote_for_message(c.in), c.out);
}

}  // namespace
}  // namespace vantric::http
